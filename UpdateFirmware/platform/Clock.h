// Time: the only way the core reads clocks or waits for time to pass.
#pragma once

#include <cstdint>

namespace platform {

class CancelToken;

constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

class Clock {
public:
    virtual ~Clock() = default;

    // Milliseconds since an arbitrary start; never goes backwards
    // (GetTickCount64).
    virtual std::uint64_t MonotonicMs() = 0;
    // Calendar time in whole seconds since 1970 (time()). May jump.
    virtual std::int64_t CalendarSeconds() = 0;
    // QueryPerformanceCounter / QueryPerformanceFrequency.
    virtual std::int64_t PerformanceCounter() = 0;
    virtual std::int64_t PerformanceFrequency() = 0;

    // Sleep(ms).
    virtual void Sleep(std::uint32_t ms) = 0;
    // Sleeps up to `ms` or until `token` is cancelled, whichever comes first.
    // Returns true when the sleep ended because of the token (also when it
    // was already cancelled on entry).
    virtual bool SleepCancellable(std::uint32_t ms, CancelToken& token) = 0;
};

}  // namespace platform
