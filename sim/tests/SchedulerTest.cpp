#include "sim/Scheduler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using platform::kInfinite;
using platform::ThreadPriority;
using sim::Scheduler;

constexpr auto kNormal = ThreadPriority::Normal;

std::chrono::milliseconds RealMsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start);
}

// Catches the exception Run throws and returns its message ("" when none).
template <typename E>
std::string RunExpectingFailure(Scheduler& s, std::function<void()> body) {
    try {
        s.Run(std::move(body));
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "Run did not throw the expected error";
    return "";
}

// Three workers sharing a mutex, sleeping and yielding; returns the order in
// which the workers passed their steps, and the trace.
struct Workload {
    std::vector<std::string> order;
    std::vector<std::string> trace;
};

Workload RunMixedWorkload(std::uint64_t seed) {
    Scheduler::Options options;
    options.seed = seed;
    Scheduler s(options);
    Workload w;
    s.Run([&] {
        auto mutex = s.CreateMutex("shared");
        std::vector<std::unique_ptr<platform::Thread>> threads;
        for (int i = 0; i < 3; ++i) {
            const std::string name = "worker-" + std::to_string(i);
            threads.push_back(s.Start(
                [&, name, i] {
                    for (int step = 0; step < 4; ++step) {
                        {
                            platform::ScopedLock lock(*mutex);
                            w.order.push_back(name);
                            s.Sleep(step % 2 == 0 ? 0 : 10 * (i + 1));
                        }
                        s.Sleep(0);
                    }
                },
                kNormal, name));
        }
        for (auto& t : threads) EXPECT_TRUE(t->Join(kInfinite));
    });
    w.trace = s.Trace();
    return w;
}

TEST(SchedulerDeterminism, SameInputsGiveSameTraceAndSeedsExploreOtherOrders) {
    const Workload first = RunMixedWorkload(0);
    const Workload second = RunMixedWorkload(0);
    EXPECT_EQ(first.trace, second.trace);
    EXPECT_EQ(first.order, second.order);
    ASSERT_EQ(first.order.size(), 12u);

    bool someSeedDiffers = false;
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        const Workload a = RunMixedWorkload(seed);
        const Workload b = RunMixedWorkload(seed);
        EXPECT_EQ(a.trace, b.trace) << "seed " << seed;
        EXPECT_EQ(a.order.size(), 12u);
        someSeedDiffers = someSeedDiffers || a.order != first.order;
    }
    EXPECT_TRUE(someSeedDiffers);
}

TEST(SchedulerDeterminism, DefaultOrderIsFifoOfReadiness) {
    Scheduler s;
    std::vector<std::string> order;
    s.Run([&] {
        auto a = s.Start([&] { for (int i = 0; i < 3; ++i) { order.push_back("a"); s.Sleep(0); } },
                         kNormal, "a");
        auto b = s.Start([&] { for (int i = 0; i < 3; ++i) { order.push_back("b"); s.Sleep(0); } },
                         kNormal, "b");
        // Three sleepers due at the same moment wake in the order they slept.
        std::vector<std::unique_ptr<platform::Thread>> sleepers;
        for (const char* n : {"s1", "s2", "s3"}) {
            sleepers.push_back(s.Start([&, n] { s.Sleep(100); order.push_back(n); }, kNormal, n));
        }
        a->Join(kInfinite);
        b->Join(kInfinite);
        for (auto& t : sleepers) t->Join(kInfinite);
        EXPECT_EQ(s.NowMs(), 100u);
    });
    EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "a", "b", "a", "b", "s1", "s2", "s3"}));
}

TEST(SchedulerTime, SleepersCostNoRealTime) {
    Scheduler s;
    const auto realStart = std::chrono::steady_clock::now();
    std::uint64_t endedAt[2] = {0, 0};
    s.Run([&] {
        auto t1 = s.Start([&] { s.Sleep(2000); endedAt[0] = s.NowMs(); }, kNormal, "two");
        auto t2 = s.Start([&] { s.Sleep(3000); endedAt[1] = s.NowMs(); }, kNormal, "three");
        t1->Join(kInfinite);
        t2->Join(kInfinite);
    });
    EXPECT_EQ(endedAt[0], 2000u);
    EXPECT_EQ(endedAt[1], 3000u);
    EXPECT_EQ(s.NowMs(), 3000u);
    EXPECT_LT(RealMsSince(realStart).count(), 1000);
}

TEST(SchedulerTime, LongPollingRunWithEightWorkersFinishesFast) {
    Scheduler s;
    const auto realStart = std::chrono::steady_clock::now();
    std::atomic<int> workerPolls{0};
    int coordinatorPolls = 0;
    s.Run([&] {
        auto stop = s.CreateCancelToken();
        std::vector<std::unique_ptr<platform::Thread>> workers;
        for (int i = 0; i < 8; ++i) {
            workers.push_back(s.Start(
                [&] {
                    s.Sleep(2000);  // settle
                    while (!s.SleepCancellable(100, *stop)) ++workerPolls;
                },
                kNormal, "worker-" + std::to_string(i)));
        }
        const std::uint64_t start = s.MonotonicMs();
        while (s.MonotonicMs() - start < 260'000) {
            s.Sleep(500);
            ++coordinatorPolls;
        }
        stop->Cancel();
        for (auto& w : workers) EXPECT_TRUE(w->Join(kInfinite));
    });
    EXPECT_EQ(s.NowMs(), 260'000u);
    EXPECT_EQ(coordinatorPolls, 520);
    EXPECT_EQ(workerPolls.load(), 8 * 2580);
    EXPECT_LT(RealMsSince(realStart).count(), 15000);
}

TEST(SchedulerTime, ClocksFollowVirtualTimeAndCalendarCanBeMoved) {
    Scheduler::Options options;
    options.monotonicStartMs = 50'000;
    options.calendarStartSeconds = 1'600'000'000;
    Scheduler s(options);

    EXPECT_EQ(s.PerformanceFrequency(), 10'000'000);
    s.Sleep(1500);  // outside a run: just advances time
    EXPECT_EQ(s.NowMs(), 1500u);
    s.Run([&] {
        s.Sleep(2500);
        EXPECT_EQ(s.MonotonicMs(), 54'000u);
        EXPECT_EQ(s.PerformanceCounter(), 54'000 * 10'000);
        EXPECT_EQ(s.CalendarSeconds(), 1'600'000'004);
        s.AdjustCalendarSeconds(-3600);  // clock set back an hour
        EXPECT_EQ(s.CalendarSeconds(), 1'599'996'404);
        EXPECT_EQ(s.MonotonicMs(), 54'000u);
    });
    s.AdjustCalendarSeconds(7200);
    EXPECT_EQ(s.CalendarSeconds(), 1'600'003'604);
}

TEST(SchedulerMutex, ExcludesOthersAndHandsOverInRequestOrder) {
    Scheduler s;
    std::vector<std::string> acquired;
    int inside = 0;
    int maxInside = 0;
    s.Run([&] {
        auto m = s.CreateMutex("m");
        m->Lock();
        std::vector<std::unique_ptr<platform::Thread>> threads;
        for (const char* name : {"c", "a", "b"}) {
            threads.push_back(s.Start(
                [&, name] {
                    for (int i = 0; i < 2; ++i) {
                        platform::ScopedLock lock(*m);
                        acquired.push_back(name);
                        maxInside = std::max(maxInside, ++inside);
                        s.Sleep(10);  // others run and queue up meanwhile
                        --inside;
                    }
                },
                kNormal, name));
        }
        s.Sleep(5);  // all three now wait for the lock, in start order
        m->Unlock();
        for (auto& t : threads) t->Join(kInfinite);
    });
    EXPECT_EQ(maxInside, 1);
    EXPECT_EQ(acquired, (std::vector<std::string>{"c", "a", "b", "c", "a", "b"}));
    EXPECT_EQ(s.NowMs(), 5u + 6 * 10);
}

TEST(SchedulerMutex, IsRecursiveForItsOwner) {
    Scheduler s;
    std::uint64_t otherGotItAt = 0;
    s.Run([&] {
        auto m = s.CreateMutex("r");
        m->Lock();
        m->Lock();
        auto other = s.Start([&] { platform::ScopedLock l(*m); otherGotItAt = s.NowMs(); }, kNormal,
                             "other");
        s.Sleep(100);
        m->Unlock();  // still held once
        s.Sleep(100);
        EXPECT_FALSE(other->HasEnded());
        m->Unlock();
        other->Join(kInfinite);
    });
    EXPECT_EQ(otherGotItAt, 200u);

    // Outside a run the calling thread owns mutexes single-threaded.
    auto m = s.CreateMutex("outside");
    m->Lock();
    m->Lock();
    m->Unlock();
    m->Unlock();
    EXPECT_THROW(m->Unlock(), sim::MutexOwnershipError);
}

TEST(SchedulerMutex, UnlockByNonOwnerFailsTheRun) {
    Scheduler s;
    const std::string message = RunExpectingFailure<sim::MutexOwnershipError>(s, [&] {
        auto m = s.CreateMutex("guarded");
        auto holder = s.Start([&] { m->Lock(); s.Sleep(kInfinite); }, kNormal, "holder");
        s.Sleep(10);
        m->Unlock();
        s.Sleep(10);
        ADD_FAILURE() << "main kept running after the fault";
    });
    EXPECT_NE(message.find("main (#1) unlocked mutex \"guarded\" held by holder (#2)"),
              std::string::npos)
        << message;
}

TEST(SchedulerJoin, TimeLimitAndEnd) {
    struct Case {
        std::uint32_t workMs;
        std::uint32_t limitMs;
        bool joined;
        std::uint64_t returnsAt;
    };
    const Case cases[] = {
        {5000, 1000, false, 1000},  // times out exactly at the limit
        {300, 1000, true, 300},     // the thread ends first
        {300, kInfinite, true, 300},
        {300, 0, false, 0},         // only looks
    };
    for (const Case& c : cases) {
        Scheduler s;
        bool joined = !c.joined;
        std::uint64_t returnedAt = 12345;
        s.Run([&] {
            auto t = s.Start([&] { s.Sleep(c.workMs); }, kNormal, "worker");
            joined = t->Join(c.limitMs);
            returnedAt = s.NowMs();
            EXPECT_EQ(t->HasEnded(), joined);
            EXPECT_TRUE(t->Join(kInfinite));
        });
        EXPECT_EQ(joined, c.joined) << c.workMs << "/" << c.limitMs;
        EXPECT_EQ(returnedAt, c.returnsAt) << c.workMs << "/" << c.limitMs;
        EXPECT_EQ(s.NowMs(), c.workMs);
    }
}

TEST(SchedulerFailures, DeadlockNamesWhatEachParticipantWaitsOn) {
    {
        Scheduler s;
        const std::string message = RunExpectingFailure<sim::DeadlockError>(s, [&] {
            auto a = s.CreateMutex("A");
            auto b = s.CreateMutex("B");
            auto t1 = s.Start([&] { platform::ScopedLock la(*a); s.Sleep(10);
                                    platform::ScopedLock lb(*b); }, kNormal, "ab");
            auto t2 = s.Start([&] { platform::ScopedLock lb(*b); s.Sleep(10);
                                    platform::ScopedLock la(*a); }, kNormal, "ba");
            t1->Join(kInfinite);
        });
        EXPECT_NE(message.find("main (#1) joins ab (#2) without limit"), std::string::npos) << message;
        EXPECT_NE(message.find("ab (#2) waits for mutex \"B\" held by ba (#3)"), std::string::npos)
            << message;
        EXPECT_NE(message.find("ba (#3) waits for mutex \"A\" held by ab (#2)"), std::string::npos)
            << message;
        EXPECT_EQ(s.NowMs(), 10u);
    }
    {
        Scheduler s;
        const std::string message = RunExpectingFailure<sim::DeadlockError>(s, [&] {
            auto token = s.CreateCancelToken();
            auto t = s.Start([&] { s.SleepCancellable(kInfinite, *token); }, kNormal, "forever");
            t->Join(kInfinite);
        });
        EXPECT_NE(message.find("main (#1) joins forever (#2) without limit"), std::string::npos)
            << message;
        EXPECT_NE(message.find("forever (#2) sleeps cancellably on token #1 without limit"),
                  std::string::npos)
            << message;
    }
}

TEST(SchedulerCancel, CancellableSleep) {
    Scheduler s;
    s.Run([&] {
        auto token = s.CreateCancelToken();
        bool cancelled = false;
        std::uint64_t endedAt = 0;
        auto sleeper = s.Start([&] { cancelled = s.SleepCancellable(10'000, *token);
                                     endedAt = s.NowMs(); }, kNormal, "sleeper");
        s.Sleep(1000);
        token->Cancel();
        EXPECT_FALSE(sleeper->HasEnded());  // runnable, but the canceller keeps running
        sleeper->Join(kInfinite);
        EXPECT_TRUE(cancelled);
        EXPECT_EQ(endedAt, 1000u);

        EXPECT_TRUE(s.SleepCancellable(5000, *token));  // already cancelled
        EXPECT_EQ(s.NowMs(), 1000u);

        auto fresh = s.CreateCancelToken();
        EXPECT_FALSE(s.SleepCancellable(5000, *fresh));
        EXPECT_EQ(s.NowMs(), 6000u);
    });
}

TEST(SchedulerTerminate, TargetNeverContinuesAndKeepsItsLocks) {
    Scheduler s;
    bool afterSleep = false;
    bool caught = false;
    bool portThrewAgain = false;
    bool neverStartedRan = false;
    const std::string message = RunExpectingFailure<sim::DeadlockError>(s, [&] {
        auto m = s.CreateMutex("held");
        auto victim = s.Start(
            [&] {
                platform::ScopedLock lock(*m);
                try {
                    s.Sleep(10'000);
                    afterSleep = true;
                } catch (...) {
                    caught = true;
                    try {
                        s.Sleep(1);
                    } catch (...) {
                        portThrewAgain = true;
                        throw;
                    }
                }
            },
            kNormal, "victim");
        auto notYet = s.Start([&] { neverStartedRan = true; }, kNormal, "not-yet");
        notYet->Terminate();
        s.Sleep(100);
        victim->Terminate();
        EXPECT_TRUE(victim->HasEnded());
        EXPECT_TRUE(victim->Join(0));
        EXPECT_TRUE(notYet->Join(kInfinite));
        victim->Terminate();  // no effect once ended
        auto locker = s.Start([&] { platform::ScopedLock l(*m); }, kNormal, "locker");
        locker->Join(kInfinite);
    });
    EXPECT_FALSE(afterSleep);
    EXPECT_TRUE(caught);
    EXPECT_TRUE(portThrewAgain);
    EXPECT_FALSE(neverStartedRan);
    EXPECT_EQ(s.NowMs(), 100u);
    EXPECT_NE(message.find("locker (#4) waits for mutex \"held\" held by victim (#2) (terminated)"),
              std::string::npos)
        << message;
}

TEST(SchedulerFailures, RunReportsLimitsLeftoversAndExceptions) {
    {
        Scheduler::Options options;
        options.virtualLimitMs = 10'000;
        Scheduler s(options);
        const std::string message = RunExpectingFailure<sim::VirtualTimeLimitExceeded>(s, [&] {
            for (;;) s.Sleep(1000);
        });
        EXPECT_EQ(s.NowMs(), 10'000u);
        EXPECT_NE(message.find("main (#1) sleeps until 11000 ms"), std::string::npos) << message;
    }
    {
        Scheduler s;
        bool workerContinued = false;
        const std::string message = RunExpectingFailure<sim::LeftoverThreadsError>(s, [&] {
            auto t = s.Start([&] { s.Sleep(5000); workerContinued = true; }, kNormal, "straggler");
            s.Sleep(10);
        });
        EXPECT_FALSE(workerContinued);
        EXPECT_NE(message.find("straggler (#2) sleeps until 5000 ms"), std::string::npos) << message;
    }
    {
        Scheduler s;
        EXPECT_THROW(s.Run([] { throw std::runtime_error("from main"); }), std::runtime_error);
    }
    {
        Scheduler s;
        try {
            s.Run([&] {
                auto t = s.Start([] { throw std::out_of_range("from worker"); }, kNormal, "w");
                t->Join(kInfinite);
                ADD_FAILURE() << "main kept running after a worker failed";
            });
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "from worker");
        }
    }
    {
        Scheduler::Options options;
        options.watchdogRealMs = 200;
        Scheduler s(options);
        const std::string message = RunExpectingFailure<sim::WatchdogExpired>(s, [&] {
            auto spinner = s.Start([&] { for (;;) s.Sleep(0); }, kNormal, "spinner");
            for (;;) s.Sleep(0);
        });
        EXPECT_NE(message.find("spinner (#2)"), std::string::npos) << message;
    }
}

TEST(SchedulerPorts, ThreadIdsAndUseOutsideRun) {
    Scheduler s;
    EXPECT_EQ(s.CurrentThreadId(), 0u);
    EXPECT_THROW(s.Start([] {}, kNormal, "x"), std::logic_error);
    EXPECT_THROW(s.Sleep(kInfinite), sim::DeadlockError);
    std::vector<std::uint32_t> ids;
    s.Run([&] {
        ids.push_back(s.CurrentThreadId());
        auto a = s.Start([&] { ids.push_back(s.CurrentThreadId()); }, kNormal, "a");
        auto b = s.Start([&] { ids.push_back(s.CurrentThreadId()); }, kNormal, "b");
        a->Join(kInfinite);
        b->Join(kInfinite);
        EXPECT_THROW(s.Run([] {}), std::logic_error);
    });
    EXPECT_EQ(ids, (std::vector<std::uint32_t>{1, 2, 3}));
    EXPECT_THROW(s.Run([] {}), std::logic_error);
}

}  // namespace
