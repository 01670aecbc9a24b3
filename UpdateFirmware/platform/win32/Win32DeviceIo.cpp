#include "platform/win32/Win32DeviceIo.h"

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

HANDLE ToNative(Handle h) { return reinterpret_cast<HANDLE>(h.raw); }
Handle FromNative(HANDLE h) { return Handle{reinterpret_cast<std::uintptr_t>(h)}; }

static_assert(sizeof(Handle::raw) == sizeof(HANDLE), "a Handle holds a HANDLE");

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
    result.handle = FromNative(h);
    return result;
}

IoctlResult Win32DeviceIo::DeviceIoControl(Handle device, std::uint32_t code,
                                           const std::uint8_t* in, std::uint32_t inLen,
                                           std::uint8_t* out, std::uint32_t outCapacity) {
    IoctlResult result;
    HANDLE h = ToNative(device);

    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) {
        result.status = IoctlStatus::NoEvent;
        result.error = ::GetLastError();
        return result;
    }

    // lpBytesReturned must not be NULL when the handle is synchronous.
    DWORD bytes = 0;
    if (::DeviceIoControl(h, code, const_cast<std::uint8_t*>(in), inLen, out, outCapacity, &bytes,
                          &ov)) {
        DWORD transferred = 0;
        if (::GetOverlappedResult(h, &ov, &transferred, FALSE)) bytes = transferred;
        result.status = IoctlStatus::Completed;
        result.bytesReturned = bytes;
    } else {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            result.status = IoctlStatus::Failed;
            result.error = error;
        } else {
            DWORD transferred = 0;
            if (::GetOverlappedResult(h, &ov, &transferred, TRUE)) {
                result.status = IoctlStatus::CompletedAfterPending;
                result.bytesReturned = transferred;
            } else {
                result.status = IoctlStatus::PendingThenFailed;
                result.error = ::GetLastError();
            }
        }
    }

    ::CloseHandle(ov.hEvent);
    return result;
}

bool Win32DeviceIo::CloseHandle(Handle device) { return ::CloseHandle(ToNative(device)) != FALSE; }

bool Win32DeviceIo::CancelIoEx(Handle device) {
    using CancelIoExFn = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
    HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
    const auto cancel =
        kernel ? reinterpret_cast<CancelIoExFn>(reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "CancelIoEx")))
               : nullptr;
    if (cancel == nullptr) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    // Every request on the handle; each waiting call then completes with
    // ERROR_OPERATION_ABORTED and only then lets its OVERLAPPED go.
    return cancel(ToNative(device), nullptr) != FALSE;
}

}  // namespace platform::win32
