#include "platform/win32/Win32Launcher.h"

#include "platform/win32/WindowsApi.h"

#include <objbase.h>
#include <shellapi.h>

#include <vector>

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

ProcessRunResult Win32Launcher::CreateProcessAndWait(const std::wstring& commandLine,
                                                     const std::wstring& currentDirectory,
                                                     std::uint32_t waitMs, bool noWindow) {
    ProcessRunResult result;
    if (commandLine.find(L'\0') != std::wstring::npos ||
        currentDirectory.find(L'\0') != std::wstring::npos) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    // CreateProcessW may write into its command line.
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, noWindow ? CREATE_NO_WINDOW : 0, nullptr,
                          currentDirectory.empty() ? nullptr : currentDirectory.c_str(), &startup,
                          &process)) {
        result.error = ::GetLastError();
        return result;
    }
    result.started = true;
    ::CloseHandle(process.hThread);
    if (::WaitForSingleObject(process.hProcess, waitMs) == WAIT_OBJECT_0) {
        result.ended = true;
        DWORD code = 0;
        if (::GetExitCodeProcess(process.hProcess, &code)) result.exitCode = code;
    }
    ::CloseHandle(process.hProcess);
    return result;
}

static_assert(kWaitInfinite == INFINITE, "INFINITE");

}  // namespace platform::win32
