// Real-time host implementations of the clock and thread ports.
#include "sim/HostPorts.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace sim {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class HostMutex : public platform::Mutex {
public:
    void Lock() override { mutex_.lock(); }
    void Unlock() override { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

class HostCancelToken : public platform::CancelToken {
public:
    void Cancel() override {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            cancelled_ = true;
        }
        wake_.notify_all();
    }

    bool IsCancelled() const override {
        std::lock_guard<std::mutex> guard(mutex_);
        return cancelled_;
    }

    // Waits up to `ms` (kInfinite: no limit) for Cancel; true when cancelled.
    bool WaitFor(std::uint32_t ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto cancelled = [this] { return cancelled_; };
        if (ms == platform::kInfinite) {
            wake_.wait(lock, cancelled);
            return true;
        }
        return wake_.wait_for(lock, milliseconds(ms), cancelled);
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = false;
};

// What a started thread and its handle share.
struct ThreadState {
    std::mutex mutex;
    std::condition_variable endedChanged;
    bool ended = false;
};

class HostThread : public platform::Thread {
public:
    HostThread(std::shared_ptr<ThreadState> state, std::thread thread)
        : state_(std::move(state)), thread_(std::move(thread)) {}

    ~HostThread() override {
        // Letting go of the handle neither stops nor waits for the thread.
        std::lock_guard<std::mutex> guard(joinMutex_);
        if (!thread_.joinable()) return;
        if (HasEnded())
            thread_.join();
        else
            thread_.detach();
    }

    bool Join(std::uint32_t timeoutMs) override {
        {
            std::unique_lock<std::mutex> lock(state_->mutex);
            auto ended = [this] { return state_->ended; };
            if (timeoutMs == platform::kInfinite)
                state_->endedChanged.wait(lock, ended);
            else if (!state_->endedChanged.wait_for(lock, milliseconds(timeoutMs), ended))
                return false;
        }
        // The body has returned; reap the backing thread.
        std::lock_guard<std::mutex> guard(joinMutex_);
        if (thread_.joinable()) thread_.join();
        return true;
    }

    void Terminate() override {
        throw std::logic_error("sim::HostThreads: Terminate is not supported on host threads");
    }

    bool HasEnded() override {
        std::lock_guard<std::mutex> guard(state_->mutex);
        return state_->ended;
    }

private:
    std::shared_ptr<ThreadState> state_;
    std::mutex joinMutex_;
    std::thread thread_;
};

}  // namespace

std::uint64_t HostClock::MonotonicMs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::int64_t HostClock::CalendarSeconds() {
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::int64_t HostClock::PerformanceCounter() {
    return static_cast<std::int64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(steady_clock::now().time_since_epoch())
            .count());
}

std::int64_t HostClock::PerformanceFrequency() {
    return 1000000000;
}

void HostClock::Sleep(std::uint32_t ms) {
    if (ms == platform::kInfinite) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(milliseconds(ms));
}

bool HostClock::SleepCancellable(std::uint32_t ms, platform::CancelToken& token) {
    auto* hostToken = dynamic_cast<HostCancelToken*>(&token);
    if (hostToken == nullptr)
        throw std::invalid_argument("sim::HostClock: the cancel token does not come from HostThreads");
    return hostToken->WaitFor(ms);
}

std::unique_ptr<platform::Thread> HostThreads::Start(std::function<void()> body,
                                                     platform::ThreadPriority /*priority*/,
                                                     const std::string& /*name*/) {
    auto state = std::make_shared<ThreadState>();
    std::thread thread([state, body = std::move(body)] {
        body();
        {
            std::lock_guard<std::mutex> guard(state->mutex);
            state->ended = true;
        }
        state->endedChanged.notify_all();
    });
    return std::make_unique<HostThread>(std::move(state), std::move(thread));
}

std::unique_ptr<platform::Mutex> HostThreads::CreateMutex(const std::string& /*name*/) {
    return std::make_unique<HostMutex>();
}

std::unique_ptr<platform::CancelToken> HostThreads::CreateCancelToken() {
    return std::make_unique<HostCancelToken>();
}

std::uint32_t HostThreads::CurrentThreadId() {
    static std::atomic<std::uint32_t> lastId{0};
    thread_local const std::uint32_t id = ++lastId;
    return id;
}

}  // namespace sim
