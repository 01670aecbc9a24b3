#include "platform/win32/Win32Threads.h"

#include <process.h>

#include <utility>

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

// The spin count the system uses for its own log lock; the high bit asks
// for the wait event to be allocated up front.
constexpr DWORD kCriticalSectionSpinCount = 0x80000400;

int NativePriority(ThreadPriority priority) {
    switch (priority) {
    case ThreadPriority::Idle: return THREAD_PRIORITY_IDLE;
    case ThreadPriority::Lowest: return THREAD_PRIORITY_LOWEST;
    case ThreadPriority::BelowNormal: return THREAD_PRIORITY_BELOW_NORMAL;
    case ThreadPriority::Normal: return THREAD_PRIORITY_NORMAL;
    case ThreadPriority::AboveNormal: return THREAD_PRIORITY_ABOVE_NORMAL;
    case ThreadPriority::Highest: return THREAD_PRIORITY_HIGHEST;
    case ThreadPriority::TimeCritical: return THREAD_PRIORITY_TIME_CRITICAL;
    }
    return THREAD_PRIORITY_NORMAL;
}

unsigned __stdcall ThreadMain(void* arg) noexcept {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return 0;
}

class Win32Thread final : public Thread {
public:
    explicit Win32Thread(HANDLE handle) : handle_(handle) {}
    ~Win32Thread() override { ::CloseHandle(handle_); }
    Win32Thread(const Win32Thread&) = delete;
    Win32Thread& operator=(const Win32Thread&) = delete;

    bool Join(std::uint32_t timeoutMs) override {
        return ::WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0;
    }
    void Terminate() override { ::TerminateThread(handle_, 1); }
    bool HasEnded() override { return ::WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0; }

private:
    HANDLE handle_;
};

class Win32Mutex final : public Mutex {
public:
    Win32Mutex() { ::InitializeCriticalSectionAndSpinCount(&section_, kCriticalSectionSpinCount); }
    ~Win32Mutex() override { ::DeleteCriticalSection(&section_); }
    Win32Mutex(const Win32Mutex&) = delete;
    Win32Mutex& operator=(const Win32Mutex&) = delete;

    void Lock() override { ::EnterCriticalSection(&section_); }
    void Unlock() override { ::LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

}  // namespace

Win32CancelToken::~Win32CancelToken() { ::CloseHandle(static_cast<HANDLE>(event_)); }

void Win32CancelToken::Cancel() { ::SetEvent(static_cast<HANDLE>(event_)); }

bool Win32CancelToken::IsCancelled() const {
    return ::WaitForSingleObject(static_cast<HANDLE>(event_), 0) == WAIT_OBJECT_0;
}

std::unique_ptr<Thread> Win32Threads::Start(std::function<void()> body, ThreadPriority priority,
                                            const std::string& /*name*/) {
    if (!body) return nullptr;
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    unsigned id = 0;
    const std::uintptr_t started =
        ::_beginthreadex(nullptr, 0, &ThreadMain, owned.get(), CREATE_SUSPENDED, &id);
    if (started == 0) return nullptr;
    owned.release();  // ThreadMain owns the body now

    HANDLE handle = reinterpret_cast<HANDLE>(started);
    ::SetThreadPriority(handle, NativePriority(priority));
    ::ResumeThread(handle);
    return std::make_unique<Win32Thread>(handle);
}

std::unique_ptr<Mutex> Win32Threads::CreateMutex(const std::string& /*name*/) {
    return std::make_unique<Win32Mutex>();
}

std::unique_ptr<CancelToken> Win32Threads::CreateCancelToken() {
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return nullptr;
    return std::make_unique<Win32CancelToken>(event);
}

std::uint32_t Win32Threads::CurrentThreadId() { return ::GetCurrentThreadId(); }

}  // namespace platform::win32
