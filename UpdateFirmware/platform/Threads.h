// Threads, locks and cancellation: the only way the core starts threads or
// waits for another thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Clock.h"

namespace platform {

enum class ThreadPriority { Idle, Lowest, BelowNormal, Normal, AboveNormal, Highest, TimeCritical };

// A critical section: recursive for the thread that holds it, as Win32's.
class Mutex {
public:
    virtual ~Mutex() = default;
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
};

class ScopedLock {
public:
    explicit ScopedLock(Mutex& m) : m_(m) { m_.Lock(); }
    ~ScopedLock() { m_.Unlock(); }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Mutex& m_;
};

// A one-way flag that a cancellable sleep observes.
class CancelToken {
public:
    virtual ~CancelToken() = default;
    virtual void Cancel() = 0;
    virtual bool IsCancelled() const = 0;
};

// A started thread. Destroying the object neither stops nor waits for the
// thread; it only lets go of the handle.
class Thread {
public:
    virtual ~Thread() = default;
    // Waits until the thread has ended or `timeoutMs` has passed (kInfinite:
    // no limit). Returns true when the thread has ended.
    virtual bool Join(std::uint32_t timeoutMs) = 0;
    // TerminateThread: ends the thread where it stands. Last resort only.
    virtual void Terminate() = 0;
    virtual bool HasEnded() = 0;
};

class Threads {
public:
    virtual ~Threads() = default;
    virtual std::unique_ptr<Thread> Start(std::function<void()> body, ThreadPriority priority,
                                          const std::string& name) = 0;
    // `name` is for diagnostics only.
    virtual std::unique_ptr<Mutex> CreateMutex(const std::string& name) = 0;
    virtual std::unique_ptr<CancelToken> CreateCancelToken() = 0;
    virtual std::uint32_t CurrentThreadId() = 0;
};

}  // namespace platform
