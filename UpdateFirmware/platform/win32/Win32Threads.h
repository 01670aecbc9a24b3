// platform::Threads on _beginthreadex, critical sections and events.
#pragma once

#include "platform/Threads.h"

namespace platform::win32 {

// A manual-reset event, set once by Cancel(). Win32Clock::SleepCancellable
// waits on it directly.
class Win32CancelToken final : public CancelToken {
public:
    // Takes ownership of `event` (a HANDLE from CreateEventW).
    explicit Win32CancelToken(void* event) : event_(event) {}
    ~Win32CancelToken() override;
    Win32CancelToken(const Win32CancelToken&) = delete;
    Win32CancelToken& operator=(const Win32CancelToken&) = delete;

    void Cancel() override;
    bool IsCancelled() const override;
    void* Event() const { return event_; }

private:
    void* event_;
};

class Win32Threads final : public Threads {
public:
    // Started suspended, given its priority, then resumed. Returns nullptr
    // when `body` is empty or the system cannot start a thread. An exception
    // escaping `body` ends the process (std::terminate). `name` is not used.
    std::unique_ptr<Thread> Start(std::function<void()> body, ThreadPriority priority,
                                  const std::string& name) override;
    // A CRITICAL_SECTION with spin count 0x80000400.
    std::unique_ptr<Mutex> CreateMutex(const std::string& name) override;
    // Returns nullptr when the system cannot create the event.
    std::unique_ptr<CancelToken> CreateCancelToken() override;
    std::uint32_t CurrentThreadId() override;
};

}  // namespace platform::win32
