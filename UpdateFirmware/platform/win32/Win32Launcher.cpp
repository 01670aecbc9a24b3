#include "platform/win32/Win32Launcher.h"

#include "platform/win32/WindowsApi.h"

#include <objbase.h>
#include <shellapi.h>

namespace platform::win32 {

ComApartment::ComApartment()
    : result_(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}

ComApartment::~ComApartment() {
    // S_OK and S_FALSE both count one initialisation to undo.
    if (SUCCEEDED(result_)) ::CoUninitialize();
}

LaunchResult Win32Launcher::ShellExecuteAndWait(const std::wstring& file, const std::wstring& parameters,
                                                int showCommand, std::uint32_t waitMs) {
    LaunchResult result;
    const ComApartment com;
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    info.hwnd = nullptr;
    info.lpVerb = nullptr;
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = nullptr;
    info.nShow = showCommand;
    if (!::ShellExecuteExW(&info)) {
        result.error = ::GetLastError();
        return result;
    }
    if (info.hProcess == nullptr) {
        result.error = ERROR_INVALID_HANDLE;
        return result;
    }
    result.started = true;
    result.ended = ::WaitForSingleObject(info.hProcess, waitMs) == WAIT_OBJECT_0;
    ::CloseHandle(info.hProcess);
    return result;
}

}  // namespace platform::win32
