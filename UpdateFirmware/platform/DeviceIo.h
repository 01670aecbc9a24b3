// Device access: CreateFileW on a device path, DeviceIoControl, CloseHandle.
#pragma once

#include <cstdint>
#include <string>

#include "Handle.h"

namespace platform {

// The two ways the tool opens a device.
enum class DeviceOpenMode {
    // USB host controller / hub queries: GENERIC_WRITE, FILE_SHARE_WRITE,
    // OPEN_EXISTING, no flags.
    HubQuery,
    // Filter device object of a hub: access 0, share 0, OPEN_EXISTING,
    // FILE_FLAG_OVERLAPPED.
    Filter,
};

struct DeviceOpenResult {
    // INVALID on failure (as CreateFileW); NULL is never produced by a real
    // open but callers still test for it.
    Handle handle = Handle::Invalid();
    // GetLastError() after a failed open, 0 on success.
    std::uint32_t error = 0;
};

// Every request on a filter device object waits at most this long for the
// driver. The driver ends a chip request after the block's `dwTimeout` (500 ms
// by default, at most 255 ms for a caller's own time-out byte), so a request
// still pending after 10 s is one the driver has lost.
constexpr std::uint32_t kFilterRequestLimitMs = 10000;
// After cancelling its own request at the limit, how long a call waits for
// the driver to complete that request before it gives it up.
constexpr std::uint32_t kCancelCompletionWaitMs = 2000;

// How one overlapped DeviceIoControl went, stage by stage:
//   NoEvent            CreateEventW failed; no request was sent.
//   Completed          DeviceIoControl succeeded at once.
//   CompletedAfterPending  it returned ERROR_IO_PENDING and completed
//                      successfully within its limit.
//   Failed             DeviceIoControl failed at once with `error`
//                      (never ERROR_IO_PENDING).
//   PendingThenFailed  it was pending and completed with `error` (a cancel
//                      from elsewhere gives ERROR_OPERATION_ABORTED).
//   TimedOut           it was still pending at kFilterRequestLimitMs and was
//                      cancelled by the call itself; `error` is ERROR_TIMEOUT.
//                      `abandoned`: the driver did not complete it within
//                      kCancelCompletionWaitMs either, so the call gave it up
//                      and closed the handle.
enum class IoctlStatus { NoEvent, Completed, CompletedAfterPending, Failed, PendingThenFailed, TimedOut };

struct IoctlResult {
    IoctlStatus status = IoctlStatus::Failed;
    std::uint32_t error = 0;
    // Bytes the driver reported as transferred (0 unless completed).
    std::uint32_t bytesReturned = 0;
    bool abandoned = false;

    bool Succeeded() const {
        return status == IoctlStatus::Completed || status == IoctlStatus::CompletedAfterPending;
    }
};

class DeviceIo {
public:
    virtual ~DeviceIo() = default;

    virtual DeviceOpenResult CreateFile(const std::wstring& path, DeviceOpenMode mode) = 0;

    // Sends `code` with `inLen` input bytes and room for `outCapacity` output
    // bytes. Hub-query handles are used synchronously (status Completed or
    // Failed). Handles opened in Filter mode are used overlapped, with an
    // event of the call's own, and no request waits without limit:
    //   - a request pending at kFilterRequestLimitMs cancels itself only
    //     (CancelIoEx with its own OVERLAPPED; the handle's other requests go
    //     on). If it completed meanwhile (ERROR_NOT_FOUND) its own result is
    //     returned. Otherwise the call waits up to kCancelCompletionWaitMs
    //     for the driver to complete it and returns TimedOut;
    //   - when the driver has not completed it by then, the request is
    //     abandoned: its OVERLAPPED, event and buffers stay allocated for the
    //     life of the process (the driver may still write them), the handle is
    //     closed (later requests on it fail with ERROR_INVALID_HANDLE, and the
    //     caller's CloseHandle of it still succeeds) and the result is TimedOut
    //     with `abandoned` set. The close is made by the calling thread and
    //     holds nothing other requests need: a driver that holds it up holds
    //     up this call alone.
    // The caller's buffers are never written after the call has returned.
    virtual IoctlResult DeviceIoControl(Handle device, std::uint32_t code, const std::uint8_t* in,
                                        std::uint32_t inLen, std::uint8_t* out,
                                        std::uint32_t outCapacity) = 0;

    virtual bool CloseHandle(Handle device) = 0;

    // CancelIoEx(device, NULL): ends every request in flight on the handle,
    // from any thread, healthy ones included; kept for a last resort. The
    // DeviceIoControl waiting for such a request then returns
    // PendingThenFailed with ERROR_OPERATION_ABORTED. False when no request
    // was in flight (ERROR_NOT_FOUND) or the call is not available.
    virtual bool CancelIoEx(Handle device) = 0;
};

}  // namespace platform
