#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/win32/Win32Clock.h"
#include "platform/win32/Win32Threads.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::kInfinite;
using platform::ScopedLock;
using platform::ThreadPriority;
using platform::win32::Win32Clock;
using platform::win32::Win32Threads;

// Generous upper bound for "returned early": Wine under load is slow.
constexpr std::uint64_t kSlackMs = 2000;

TEST(Win32Clock, SleepAdvancesBothClocksAlike) {
    Win32Clock clock;
    const std::int64_t frequency = clock.PerformanceFrequency();
    ASSERT_GT(frequency, 0);

    const std::uint64_t ms0 = clock.MonotonicMs();
    const std::int64_t pc0 = clock.PerformanceCounter();
    clock.Sleep(200);
    const std::uint64_t ms1 = clock.MonotonicMs();
    const std::int64_t pc1 = clock.PerformanceCounter();

    const std::uint64_t tickMs = ms1 - ms0;
    const std::int64_t counterMs = (pc1 - pc0) * 1000 / frequency;
    EXPECT_GE(tickMs, 180u);  // the tick count has ~16 ms granularity
    EXPECT_LT(tickMs, 200u + kSlackMs);
    EXPECT_GE(counterMs, 195);
    EXPECT_LT(counterMs, static_cast<std::int64_t>(200 + kSlackMs));
    EXPECT_LT(std::llabs(counterMs - static_cast<std::int64_t>(tickMs)), 100);
}

// A token of the core's own making has no event; the clock must still honour it.
class FlagToken : public platform::CancelToken {
public:
    void Cancel() override { cancelled_ = true; }
    bool IsCancelled() const override { return cancelled_; }

private:
    std::atomic<bool> cancelled_{false};
};

TEST(Win32Clock, SleepCancellable) {
    Win32Clock clock;
    Win32Threads threads;
    struct Case {
        const char* what;
        bool foreignToken;
    };
    for (const Case c : {Case{"event token", false}, Case{"foreign token", true}}) {
        SCOPED_TRACE(c.what);
        auto make = [&]() -> std::unique_ptr<platform::CancelToken> {
            if (c.foreignToken) return std::make_unique<FlagToken>();
            return threads.CreateCancelToken();
        };

        // Not cancelled: runs to its end.
        auto quiet = make();
        ASSERT_TRUE(quiet);
        std::uint64_t t0 = clock.MonotonicMs();
        EXPECT_FALSE(clock.SleepCancellable(100, *quiet));
        EXPECT_GE(clock.MonotonicMs() - t0, 80u);

        // Cancelled before: returns at once.
        auto early = make();
        early->Cancel();
        EXPECT_TRUE(early->IsCancelled());
        t0 = clock.MonotonicMs();
        EXPECT_TRUE(clock.SleepCancellable(kInfinite, *early));
        EXPECT_LT(clock.MonotonicMs() - t0, kSlackMs);

        // Cancelled from another thread during a long sleep.
        auto late = make();
        auto canceller = threads.Start(
            [&] {
                ::Sleep(150);
                late->Cancel();
            },
            ThreadPriority::Normal, "canceller");
        ASSERT_TRUE(canceller);
        t0 = clock.MonotonicMs();
        EXPECT_TRUE(clock.SleepCancellable(30000, *late));
        const std::uint64_t elapsed = clock.MonotonicMs() - t0;
        EXPECT_GE(elapsed, 100u);
        EXPECT_LT(elapsed, 150u + kSlackMs);
        EXPECT_TRUE(canceller->Join(kInfinite));
    }
}

TEST(Win32Threads, JoinWithTimeLimit) {
    Win32Clock clock;
    Win32Threads threads;
    std::atomic<bool> done{false};
    auto thread = threads.Start(
        [&] {
            ::Sleep(300);
            done = true;
        },
        ThreadPriority::Normal, "sleeper");
    ASSERT_TRUE(thread);

    std::uint64_t t0 = clock.MonotonicMs();
    EXPECT_FALSE(thread->Join(50));
    const std::uint64_t waited = clock.MonotonicMs() - t0;
    EXPECT_GE(waited, 30u);
    EXPECT_LT(waited, 280u);
    EXPECT_FALSE(thread->HasEnded());

    EXPECT_TRUE(thread->Join(kInfinite));
    EXPECT_GE(clock.MonotonicMs() - t0, 250u);
    EXPECT_TRUE(done);
    EXPECT_TRUE(thread->HasEnded());
    EXPECT_TRUE(thread->Join(0));
}

TEST(Win32Threads, StartsWithRequestedPriorityOnItsOwnThread) {
    Win32Threads threads;
    struct Case {
        ThreadPriority priority;
        int expected;
    };
    const Case cases[] = {
        {ThreadPriority::Idle, THREAD_PRIORITY_IDLE},
        {ThreadPriority::Lowest, THREAD_PRIORITY_LOWEST},
        {ThreadPriority::BelowNormal, THREAD_PRIORITY_BELOW_NORMAL},
        {ThreadPriority::Normal, THREAD_PRIORITY_NORMAL},
        {ThreadPriority::AboveNormal, THREAD_PRIORITY_ABOVE_NORMAL},
        {ThreadPriority::Highest, THREAD_PRIORITY_HIGHEST},
        {ThreadPriority::TimeCritical, THREAD_PRIORITY_TIME_CRITICAL},
    };
    const std::uint32_t mainId = threads.CurrentThreadId();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        int seen = THREAD_PRIORITY_ERROR_RETURN;
        std::uint32_t bodyId = mainId;
        auto thread = threads.Start(
            [&] {
                seen = ::GetThreadPriority(::GetCurrentThread());
                bodyId = threads.CurrentThreadId();
            },
            c.priority, "prio");
        ASSERT_TRUE(thread);
        ASSERT_TRUE(thread->Join(kInfinite));
        EXPECT_EQ(seen, c.expected);
        EXPECT_NE(bodyId, mainId);
    }
}

TEST(Win32Threads, EmptyBodyIsRefused) {
    Win32Threads threads;
    EXPECT_EQ(threads.Start(std::function<void()>(), ThreadPriority::Normal, "empty"), nullptr);
}

TEST(Win32Threads, TerminateEndsAThreadThatNeverReturns) {
    Win32Threads threads;
    std::atomic<bool> running{false};
    auto thread = threads.Start(
        [&] {
            running = true;
            for (;;) ::Sleep(10);
        },
        ThreadPriority::Normal, "endless");
    ASSERT_TRUE(thread);
    while (!running) ::Sleep(1);
    EXPECT_FALSE(thread->Join(50));
    thread->Terminate();
    EXPECT_TRUE(thread->Join(10000));
    EXPECT_TRUE(thread->HasEnded());
}

TEST(Win32Mutex, ExcludesOtherThreads) {
    Win32Threads threads;
    auto mutex = threads.CreateMutex("counter");
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long counter = 0;  // deliberately not atomic

    std::vector<std::unique_ptr<platform::Thread>> workers;
    for (int i = 0; i < kThreads; ++i) {
        workers.push_back(threads.Start(
            [&] {
                for (int n = 0; n < kRounds; ++n) {
                    ScopedLock lock(*mutex);
                    const long seen = counter;
                    if ((n & 0xFF) == 0) ::Sleep(0);  // invite a switch inside the section
                    counter = seen + 1;
                }
            },
            ThreadPriority::Normal, "worker"));
        ASSERT_TRUE(workers.back());
    }
    for (auto& w : workers) EXPECT_TRUE(w->Join(kInfinite));
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

TEST(Win32Mutex, IsRecursiveAndCountsItsEntries) {
    Win32Threads threads;
    auto mutex = threads.CreateMutex("recursive");
    mutex->Lock();
    mutex->Lock();  // same thread: must not block
    mutex->Unlock();

    // Still held once: another thread has to wait.
    std::atomic<bool> acquired{false};
    auto other = threads.Start(
        [&] {
            ScopedLock lock(*mutex);
            acquired = true;
        },
        ThreadPriority::Normal, "other");
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->Join(150));
    EXPECT_FALSE(acquired);

    mutex->Unlock();
    EXPECT_TRUE(other->Join(10000));
    EXPECT_TRUE(acquired);
}

}  // namespace
