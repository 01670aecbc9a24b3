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

// How one overlapped DeviceIoControl went, stage by stage:
//   NoEvent            CreateEventW failed; no request was sent.
//   Completed          DeviceIoControl succeeded at once.
//   CompletedAfterPending  it returned ERROR_IO_PENDING and
//                      GetOverlappedResult(wait) succeeded.
//   Failed             DeviceIoControl failed at once with `error`
//                      (never ERROR_IO_PENDING).
//   PendingThenFailed  it was pending and GetOverlappedResult failed with
//                      `error`.
enum class IoctlStatus { NoEvent, Completed, CompletedAfterPending, Failed, PendingThenFailed };

struct IoctlResult {
    IoctlStatus status = IoctlStatus::Failed;
    std::uint32_t error = 0;
    // Bytes the driver reported as transferred (0 unless completed).
    std::uint32_t bytesReturned = 0;

    bool Succeeded() const {
        return status == IoctlStatus::Completed || status == IoctlStatus::CompletedAfterPending;
    }
};

class DeviceIo {
public:
    virtual ~DeviceIo() = default;

    virtual DeviceOpenResult CreateFile(const std::wstring& path, DeviceOpenMode mode) = 0;

    // Sends `code` with `inLen` input bytes and room for `outCapacity` output
    // bytes. Handles opened in Filter mode are used overlapped: the adapter
    // creates an event, issues the request and waits for it without limit.
    // Hub-query handles are used synchronously (status Completed or Failed).
    virtual IoctlResult DeviceIoControl(Handle device, std::uint32_t code, const std::uint8_t* in,
                                        std::uint32_t inLen, std::uint8_t* out,
                                        std::uint32_t outCapacity) = 0;

    virtual bool CloseHandle(Handle device) = 0;

    // CancelIoEx(device, NULL): ends every request in flight on the handle,
    // from any thread. The DeviceIoControl waiting for such a request then
    // returns PendingThenFailed with ERROR_OPERATION_ABORTED; the request's
    // buffers are let go only after that completion. False when no request
    // was in flight (ERROR_NOT_FOUND) or the call is not available.
    virtual bool CancelIoEx(Handle device) = 0;
};

}  // namespace platform
