#include "platform/win32/Win32DeviceIo.h"

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
struct HandleTable {
    struct Entry {
        HANDLE native = INVALID_HANDLE_VALUE;
        bool closedByAbandon = false;
    };
    std::mutex lock;
    std::map<std::uintptr_t, Entry> entries;
    std::uintptr_t next = 0x40000000;
};

HandleTable& Table() {
    // Never destroyed: requests abandoned to the driver may outlive main.
    static HandleTable* table = new HandleTable;
    return *table;
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
    table.entries[id] = HandleTable::Entry{h, false};
    result.handle = Handle{id};
    return result;
}

IoctlResult Win32DeviceIo::DeviceIoControl(Handle device, std::uint32_t code,
                                           const std::uint8_t* in, std::uint32_t inLen,
                                           std::uint8_t* out, std::uint32_t outCapacity) {
    IoctlResult result;
    HANDLE h = INVALID_HANDLE_VALUE;
    {
        HandleTable& table = Table();
        std::lock_guard<std::mutex> held(table.lock);
        auto it = table.entries.find(device.raw);
        if (it == table.entries.end()) h = reinterpret_cast<HANDLE>(device.raw);
        else if (!it->second.closedByAbandon) h = it->second.native;
    }
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
            const CancelIoExFn cancel = CancelIoExEntry();
            const BOOL cancelled = cancel ? cancel(h, &req->ov) : ::CancelIo(h);
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
                // closed so nothing else is sent on it.
                release = false;
                {
                    HandleTable& table = Table();
                    std::lock_guard<std::mutex> held(table.lock);
                    auto it = table.entries.find(device.raw);
                    if (it == table.entries.end()) {
                        table.entries[device.raw] = HandleTable::Entry{h, true};
                        ::CloseHandle(h);
                    } else if (!it->second.closedByAbandon) {
                        it->second.closedByAbandon = true;
                        ::CloseHandle(it->second.native);
                    }
                }
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
    return result;
}

bool Win32DeviceIo::CloseHandle(Handle device) {
    HandleTable& table = Table();
    HANDLE native = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> held(table.lock);
        auto it = table.entries.find(device.raw);
        if (it == table.entries.end()) return ::CloseHandle(reinterpret_cast<HANDLE>(device.raw)) != FALSE;
        const bool closed = it->second.closedByAbandon;
        native = it->second.native;
        table.entries.erase(it);
        if (closed) return true;
    }
    return ::CloseHandle(native) != FALSE;
}

bool Win32DeviceIo::CancelIoEx(Handle device) {
    const CancelIoExFn cancel = CancelIoExEntry();
    if (cancel == nullptr) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    // Under the table's lock, so the handle cannot be closed (and its number
    // reused by the system) meanwhile. Every request on the handle; each
    // waiting call then completes with ERROR_OPERATION_ABORTED.
    HandleTable& table = Table();
    std::lock_guard<std::mutex> held(table.lock);
    auto it = table.entries.find(device.raw);
    if (it == table.entries.end()) return cancel(reinterpret_cast<HANDLE>(device.raw), nullptr) != FALSE;
    if (it->second.closedByAbandon) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return cancel(it->second.native, nullptr) != FALSE;
}

}  // namespace platform::win32
