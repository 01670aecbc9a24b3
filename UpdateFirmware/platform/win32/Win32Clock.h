// platform::Clock on GetTickCount64, time(), QueryPerformanceCounter and Sleep.
#pragma once

#include "platform/Clock.h"

namespace platform::win32 {

class Win32Clock final : public Clock {
public:
    std::uint64_t MonotonicMs() override;
    std::int64_t CalendarSeconds() override;
    std::int64_t PerformanceCounter() override;
    std::int64_t PerformanceFrequency() override;
    void Sleep(std::uint32_t ms) override;
    // Waits on the token's event. The token must come from Win32Threads;
    // any other token is polled every 10 ms.
    bool SleepCancellable(std::uint32_t ms, CancelToken& token) override;
};

}  // namespace platform::win32
