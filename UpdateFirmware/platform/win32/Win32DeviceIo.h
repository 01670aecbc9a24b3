// platform::DeviceIo on CreateFileW / DeviceIoControl / CloseHandle.
#pragma once

#include "platform/DeviceIo.h"

namespace platform::win32 {

class Win32DeviceIo final : public DeviceIo {
public:
    // HubQuery: GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING, no flags.
    // Filter:   access 0, share 0, OPEN_EXISTING, FILE_FLAG_OVERLAPPED.
    // A path with an embedded NUL cannot be passed to the system and fails
    // with ERROR_INVALID_PARAMETER without an open attempt.
    DeviceOpenResult CreateFile(const std::wstring& path, DeviceOpenMode mode) override;

    // Always sent with an OVERLAPPED and an event of its own (manual reset),
    // whatever the handle's mode; a synchronous handle simply never pends.
    // The byte count comes from GetOverlappedResult.
    IoctlResult DeviceIoControl(Handle device, std::uint32_t code, const std::uint8_t* in,
                                std::uint32_t inLen, std::uint8_t* out,
                                std::uint32_t outCapacity) override;

    bool CloseHandle(Handle device) override;

    // CancelIoEx from kernel32, looked up at run time (Windows Vista and
    // later); where it is missing the call fails with ERROR_NOT_SUPPORTED.
    bool CancelIoEx(Handle device) override;
};

}  // namespace platform::win32
