// platform::DeviceIo on CreateFileW / DeviceIoControl / CloseHandle.
#pragma once

#include "platform/DeviceIo.h"

namespace platform::win32 {

class Win32DeviceIo final : public DeviceIo {
public:
    // The limits of a pending request (the contract's; tests pass shorter).
    explicit Win32DeviceIo(std::uint32_t limitMs = kFilterRequestLimitMs,
                           std::uint32_t cancelWaitMs = kCancelCompletionWaitMs)
        : limitMs_(limitMs), cancelWaitMs_(cancelWaitMs) {}

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
    // hand out is passed to the system as it is.
    IoctlResult DeviceIoControl(Handle device, std::uint32_t code, const std::uint8_t* in,
                                std::uint32_t inLen, std::uint8_t* out,
                                std::uint32_t outCapacity) override;

    bool CloseHandle(Handle device) override;

    // CancelIoEx from kernel32, looked up at run time (Windows Vista and
    // later); where it is missing the call fails with ERROR_NOT_SUPPORTED.
    bool CancelIoEx(Handle device) override;

private:
    std::uint32_t limitMs_;
    std::uint32_t cancelWaitMs_;
};

}  // namespace platform::win32
