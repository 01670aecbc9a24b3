// platform::DeviceIo on CreateFileW / DeviceIoControl / CloseHandle.
#pragma once

#include <functional>
#include <utility>

#include "platform/DeviceIo.h"
#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

class Win32DeviceIo final : public DeviceIo {
public:
    // The two system calls through which a request is cancelled and a
    // native handle closed; empty: the system's own (CancelIoEx, CancelIo
    // where it is missing; CloseHandle). Tests put stand-ins here (a driver
    // that keeps a request despite its cancel, a close that blocks).
    struct NativeCalls {
        std::function<BOOL(HANDLE, LPOVERLAPPED)> cancelIoEx;
        std::function<BOOL(HANDLE)> closeHandle;
    };

    // The limits of a pending request (the contract's; tests pass shorter).
    explicit Win32DeviceIo(std::uint32_t limitMs = kFilterRequestLimitMs,
                           std::uint32_t cancelWaitMs = kCancelCompletionWaitMs, NativeCalls calls = {})
        : limitMs_(limitMs), cancelWaitMs_(cancelWaitMs), calls_(std::move(calls)) {}

    // HubQuery: GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, no flags.
    // Filter:   access 0, share 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED.
    // A path with an embedded NUL cannot be passed to the system and fails
    // with ERROR_INVALID_PARAMETER without an open attempt.
    DeviceOpenResult CreateFile(const std::wstring& path, DeviceOpenMode mode) override;

    // Always sent with an OVERLAPPED, an event (manual reset) and copies of
    // the buffers of its own, whatever the handle's mode; a synchronous
    // handle simply never pends. A pending request is waited for at most
    // limitMs, then cancelled by its own OVERLAPPED and, when the driver does
    // not complete it within cancelWaitMs, abandoned as the port describes.
    // Handles handed out are numbers of the adapter's own; one it did not
    // hand out is passed to the system as it is. No call that may wait on a
    // driver (DeviceIoControl, CancelIoEx, CloseHandle) is made while the
    // adapter's handle table is locked: a native handle in use by a call is
    // closed only once no call uses it any more, and an abandoned request's
    // handle is closed by the thread that gave the request up, after it has
    // let go of the table. A thread held in that close is held alone.
    IoctlResult DeviceIoControl(Handle device, std::uint32_t code, const std::uint8_t* in,
                                std::uint32_t inLen, std::uint8_t* out,
                                std::uint32_t outCapacity) override;

    bool CloseHandle(Handle device) override;

    // CancelIoEx from kernel32, looked up at run time (Windows Vista and
    // later); where it is missing the call fails with ERROR_NOT_SUPPORTED.
    bool CancelIoEx(Handle device) override;

private:
    BOOL CancelNative(HANDLE h, LPOVERLAPPED ov) const;
    BOOL CloseNative(HANDLE h) const;

    std::uint32_t limitMs_;
    std::uint32_t cancelWaitMs_;
    NativeCalls calls_;
};

}  // namespace platform::win32
