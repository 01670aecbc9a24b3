#include "platform/win32/Win32Clock.h"

#include <algorithm>
#include <ctime>

#include "platform/Threads.h"
#include "platform/win32/Win32Threads.h"
#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

static_assert(kInfinite == INFINITE, "kInfinite is the system's INFINITE");

std::uint64_t Win32Clock::MonotonicMs() { return ::GetTickCount64(); }

std::int64_t Win32Clock::CalendarSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

std::int64_t Win32Clock::PerformanceCounter() {
    LARGE_INTEGER value{};
    ::QueryPerformanceCounter(&value);
    return value.QuadPart;
}

std::int64_t Win32Clock::PerformanceFrequency() {
    LARGE_INTEGER value{};
    ::QueryPerformanceFrequency(&value);
    return value.QuadPart;
}

void Win32Clock::Sleep(std::uint32_t ms) { ::Sleep(ms); }

bool Win32Clock::SleepCancellable(std::uint32_t ms, CancelToken& token) {
    if (auto* own = dynamic_cast<Win32CancelToken*>(&token)) {
        return ::WaitForSingleObject(static_cast<HANDLE>(own->Event()), ms) == WAIT_OBJECT_0;
    }

    // A token from elsewhere has no event to wait on.
    constexpr std::uint32_t kSliceMs = 10;
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        if (token.IsCancelled()) return true;
        const ULONGLONG elapsed = ::GetTickCount64() - start;
        if (ms != kInfinite && elapsed >= ms) return false;
        std::uint32_t slice = kSliceMs;
        if (ms != kInfinite) slice = static_cast<std::uint32_t>(std::min<ULONGLONG>(kSliceMs, ms - elapsed));
        ::Sleep(slice);
    }
}

}  // namespace platform::win32
