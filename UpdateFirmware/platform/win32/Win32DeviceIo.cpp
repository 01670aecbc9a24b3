#include "platform/win32/Win32DeviceIo.h"

#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

static_assert(sizeof(Handle::raw) >= sizeof(HANDLE), "a Handle holds a HANDLE");

// What the adapter hands out is a number of its own, never the system's
// handle: a handle closed by an abandoned request may be reused by the
// system at once, and the caller's later close must not reach that new one.
// The numbers start far above any handle value the system gives a process;
// a handle that is not one of them is passed to the system as it is.
//
// The table's lock only guards the table: it is never held across a call
// that may wait on a driver. A call takes a use of an entry's native handle
// (Acquire) and lets it go afterwards (Release); a close waits, without the
// lock, until no call uses the handle, so the system cannot reuse the value
// while a call still holds it.
struct HandleTable {
    struct Entry {
        HANDLE native = INVALID_HANDLE_VALUE;
        int users = 0;                 // calls using `native` now
        bool closedByAbandon = false;  // given up with a request: nothing more is sent
        bool closing = false;          // the caller's close waits for the users
    };
    std::mutex lock;
    std::condition_variable released;  // an entry's users went down
    std::map<std::uintptr_t, Entry> entries;
    std::uintptr_t next = 0x40000000;

    // Users of an entry now (0 when it is gone); under the lock.
    int Users(std::uintptr_t id) const {
        const auto it = entries.find(id);
        return it == entries.end() ? 0 : it->second.users;
    }
};

HandleTable& Table() {
    // Never destroyed: requests abandoned to the driver may outlive main.
    static HandleTable* table = new HandleTable;
    return *table;
}

// The native handle behind `id` with a use taken (`*tracked`), or the value
// itself for a handle the adapter did not hand out; INVALID when the handle
// was closed or given up.
HANDLE Acquire(std::uintptr_t id, bool* tracked) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> held(table.lock);
    *tracked = false;
    auto it = table.entries.find(id);
    if (it == table.entries.end()) return reinterpret_cast<HANDLE>(id);
    if (it->second.closedByAbandon || it->second.closing) return INVALID_HANDLE_VALUE;
    ++it->second.users;
    *tracked = true;
    return it->second.native;
}

void Release(std::uintptr_t id) {
    HandleTable& table = Table();
    {
        std::lock_guard<std::mutex> held(table.lock);
        auto it = table.entries.find(id);
        if (it != table.entries.end() && it->second.users > 0) --it->second.users;
    }
    table.released.notify_all();
}

// One request's OVERLAPPED, event and buffers, owned by the call until the
// driver completes it; an abandoned one is never freed.
struct Request {
    OVERLAPPED ov{};
    std::vector<std::uint8_t> in, out;
};

using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);

CancelIoExFn CancelIoExEntry() {
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<CancelIoExFn>(
                        reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "CancelIoEx")))
                  : nullptr;
}

// A request that ended: its result, and the bytes copied back.
IoctlResult Finish(HANDLE h, Request& req, IoctlStatus ok, std::uint8_t* out) {
    IoctlResult result;
    DWORD transferred = 0;
    if (::GetOverlappedResult(h, &req.ov, &transferred, FALSE)) {
        result.status = ok;
        result.bytesReturned = transferred > req.out.size() ? static_cast<std::uint32_t>(req.out.size()) : transferred;
        if (out && result.bytesReturned) std::memcpy(out, req.out.data(), result.bytesReturned);
    } else {
        result.status = IoctlStatus::PendingThenFailed;
        result.error = ::GetLastError();
    }
    return result;
}

}  // namespace

DeviceOpenResult Win32DeviceIo::CreateFile(const std::wstring& path, DeviceOpenMode mode) {
    DeviceOpenResult result;
    if (path.find(L'\0') != std::wstring::npos) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }

    DWORD access = 0;
    DWORD share = 0;
    DWORD flags = 0;
    switch (mode) {
    case DeviceOpenMode::HubQuery:
        access = GENERIC_WRITE;
        share = FILE_SHARE_WRITE;
        break;
    case DeviceOpenMode::Filter:
        flags = FILE_FLAG_OVERLAPPED;
        break;
    }

    HANDLE h = ::CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        result.error = ::GetLastError();
        return result;
    }
    HandleTable& table = Table();
    std::lock_guard<std::mutex> held(table.lock);
    const std::uintptr_t id = table.next;
    table.next += 4;
    HandleTable::Entry entry;
    entry.native = h;
    table.entries[id] = entry;
    result.handle = Handle{id};
    return result;
}

IoctlResult Win32DeviceIo::DeviceIoControl(Handle device, std::uint32_t code,
                                           const std::uint8_t* in, std::uint32_t inLen,
                                           std::uint8_t* out, std::uint32_t outCapacity) {
    IoctlResult result;
    bool tracked = false;
    HANDLE h = Acquire(device.raw, &tracked);
    if (h == INVALID_HANDLE_VALUE) {
        result.status = IoctlStatus::Failed;
        result.error = ERROR_INVALID_HANDLE;
        return result;
    }

    auto* req = new Request;
    req->ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (req->ov.hEvent == nullptr) {
        result.status = IoctlStatus::NoEvent;
        result.error = ::GetLastError();
        delete req;
        if (tracked) Release(device.raw);
        return result;
    }
    if (in && inLen) req->in.assign(in, in + inLen);
    req->out.assign(outCapacity, 0);

    // lpBytesReturned must not be NULL when the handle is synchronous.
    DWORD bytes = 0;
    bool release = true;
    if (::DeviceIoControl(h, code, inLen ? req->in.data() : nullptr, inLen,
                          outCapacity ? req->out.data() : nullptr, outCapacity, &bytes, &req->ov)) {
        DWORD transferred = 0;
        if (::GetOverlappedResult(h, &req->ov, &transferred, FALSE)) bytes = transferred;
        result.status = IoctlStatus::Completed;
        result.bytesReturned = bytes > outCapacity ? outCapacity : bytes;
        if (out && result.bytesReturned) std::memcpy(out, req->out.data(), result.bytesReturned);
    } else {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            result.status = IoctlStatus::Failed;
            result.error = error;
        } else if (::WaitForSingleObject(req->ov.hEvent, limitMs_) == WAIT_OBJECT_0) {
            result = Finish(h, *req, IoctlStatus::CompletedAfterPending, out);
        } else {
            // Its limit: cancel this request only. Windows 7 has no
            // GetOverlappedResultEx: wait on the event, then ask without
            // waiting.
            const BOOL cancelled = CancelNative(h, &req->ov);
            const DWORD cancelError = cancelled ? ERROR_SUCCESS : ::GetLastError();
            if (::WaitForSingleObject(req->ov.hEvent, cancelWaitMs_) == WAIT_OBJECT_0) {
                result = Finish(h, *req, IoctlStatus::CompletedAfterPending, out);
                // Completed by the driver meanwhile (ERROR_NOT_FOUND): its own
                // result stands; ended by the cancel: it timed out.
                if (cancelError != ERROR_NOT_FOUND && !result.Succeeded() &&
                    result.error == ERROR_OPERATION_ABORTED) {
                    result.status = IoctlStatus::TimedOut;
                    result.error = ERROR_TIMEOUT;
                }
            } else {
                // The driver still holds it: give it up for good. Its
                // OVERLAPPED, event and buffers stay allocated; the handle is
                // closed so nothing else is sent on it, by this thread once
                // no other call uses it, and never under the table's lock.
                release = false;
                HANDLE toClose = INVALID_HANDLE_VALUE;
                {
                    HandleTable& table = Table();
                    std::unique_lock<std::mutex> held(table.lock);
                    auto it = table.entries.find(device.raw);
                    if (!tracked) {
                        if (it == table.entries.end()) {
                            HandleTable::Entry gone;
                            gone.native = h;
                            gone.closedByAbandon = true;
                            table.entries[device.raw] = gone;
                            toClose = h;
                        }
                    } else if (it != table.entries.end()) {
                        if (!it->second.closedByAbandon) {
                            it->second.closedByAbandon = true;
                            toClose = it->second.native;
                        }
                        --it->second.users;
                        tracked = false;
                        table.released.notify_all();
                        if (toClose != INVALID_HANDLE_VALUE)
                            table.released.wait(held, [&] { return table.Users(device.raw) == 0; });
                    }
                }
                if (toClose != INVALID_HANDLE_VALUE) CloseNative(toClose);
                result.status = IoctlStatus::TimedOut;
                result.error = ERROR_TIMEOUT;
                result.abandoned = true;
            }
        }
    }

    if (release) {
        ::CloseHandle(req->ov.hEvent);
        delete req;
    }
    if (tracked) Release(device.raw);
    return result;
}

bool Win32DeviceIo::CloseHandle(Handle device) {
    HandleTable& table = Table();
    HANDLE native = INVALID_HANDLE_VALUE;
    {
        std::unique_lock<std::mutex> held(table.lock);
        auto it = table.entries.find(device.raw);
        if (it == table.entries.end()) {
            held.unlock();
            return CloseNative(reinterpret_cast<HANDLE>(device.raw)) != FALSE;
        }
        if (it->second.closing) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        // No new call takes the handle; the ones using it end first (the
        // thread that gave a request up waits for them too).
        it->second.closing = true;
        table.released.wait(held, [&] { return table.Users(device.raw) == 0; });
        it = table.entries.find(device.raw);
        // Closed by the thread that gave its request up.
        const bool abandoned = it->second.closedByAbandon;
        native = it->second.native;
        table.entries.erase(it);
        if (abandoned) return true;
    }
    return CloseNative(native) != FALSE;
}

bool Win32DeviceIo::CancelIoEx(Handle device) {
    const CancelIoExFn cancel = CancelIoExEntry();
    if (cancel == nullptr && !calls_.cancelIoEx) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    // With a use of the handle taken, so it cannot be closed (and its value
    // reused by the system) meanwhile; the table itself is not locked while
    // the driver is asked. Every request on the handle; each waiting call
    // then completes with ERROR_OPERATION_ABORTED.
    bool tracked = false;
    HANDLE h = Acquire(device.raw, &tracked);
    if (h == INVALID_HANDLE_VALUE) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const BOOL cancelled = calls_.cancelIoEx ? calls_.cancelIoEx(h, nullptr) : cancel(h, nullptr);
    const DWORD error = ::GetLastError();
    if (tracked) Release(device.raw);
    ::SetLastError(error);
    return cancelled != FALSE;
}

BOOL Win32DeviceIo::CancelNative(HANDLE h, LPOVERLAPPED ov) const {
    if (calls_.cancelIoEx) return calls_.cancelIoEx(h, ov);
    const CancelIoExFn cancel = CancelIoExEntry();
    return cancel ? cancel(h, ov) : ::CancelIo(h);
}

BOOL Win32DeviceIo::CloseNative(HANDLE h) const {
    return calls_.closeHandle ? calls_.closeHandle(h) : ::CloseHandle(h);
}

}  // namespace platform::win32
