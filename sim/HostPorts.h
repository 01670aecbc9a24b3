// Real-time host implementations of the clock and thread ports, for tests
// that want true concurrency (std::thread, std::recursive_mutex,
// std::condition_variable, steady_clock).
//
// Thread priorities are accepted and ignored. Thread::Terminate cannot be
// done safely with std::thread and throws std::logic_error.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/Threads.h"

namespace sim {

class HostClock : public platform::Clock {
public:
    std::uint64_t MonotonicMs() override;
    std::int64_t CalendarSeconds() override;
    // Nanoseconds of steady_clock; the frequency is 1e9.
    std::int64_t PerformanceCounter() override;
    std::int64_t PerformanceFrequency() override;
    void Sleep(std::uint32_t ms) override;
    // `token` must come from HostThreads::CreateCancelToken.
    bool SleepCancellable(std::uint32_t ms, platform::CancelToken& token) override;
};

class HostThreads : public platform::Threads {
public:
    std::unique_ptr<platform::Thread> Start(std::function<void()> body,
                                            platform::ThreadPriority priority,
                                            const std::string& name) override;
    std::unique_ptr<platform::Mutex> CreateMutex(const std::string& name) override;
    std::unique_ptr<platform::CancelToken> CreateCancelToken() override;
    // A small number per thread of the process (1, 2, ... in order of first
    // use); never 0.
    std::uint32_t CurrentThreadId() override;
};

}  // namespace sim
