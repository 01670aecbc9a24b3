#include "platform/win32/Win32Launcher.h"

#include "platform/win32/SystemLibraries.h"
#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

bool HasNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

// "X:\..." or "\\server\...": no search, no current directory.
bool IsFullPath(const std::wstring& path) {
    return (path.size() > 2 && path[1] == L':' && path[2] == L'\\') ||
           (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\');
}

}  // namespace

bool MachineEnvironment(std::vector<EnvironmentVariable>* variables, std::uint32_t* error) {
    using CreateFn = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
    using DestroyFn = BOOL(WINAPI*)(LPVOID);
    static const HMODULE userenv = LoadSystemLibrary(L"userenv.dll");
    const auto create = SystemFunction<CreateFn>(userenv, "CreateEnvironmentBlock");
    const auto destroy = SystemFunction<DestroyFn>(userenv, "DestroyEnvironmentBlock");
    if (create == nullptr || destroy == nullptr) {
        *error = ERROR_PROC_NOT_FOUND;
        return false;
    }
    // The machine's Path names its folders through %SystemRoot%, which
    // CreateEnvironmentBlock may expand with the caller's own SystemRoot
    // (Wine does): this process's is the system's Windows folder first.
    const std::wstring windows = SystemWindowsDirectory();
    if (!windows.empty()) ::SetEnvironmentVariableW(L"SystemRoot", windows.c_str());
    void* block = nullptr;
    if (!create(&block, nullptr, FALSE) || block == nullptr) {
        *error = ::GetLastError() != 0 ? ::GetLastError() : static_cast<DWORD>(ERROR_INVALID_DATA);
        return false;
    }
    *variables = ParseEnvironmentBlock(static_cast<const wchar_t*>(block));
    destroy(block);
    return true;
}

ProcessRunResult Win32Launcher::StartAndWait(const ChildProcess& child, std::uint32_t waitMs) {
    ProcessRunResult result;
    if (!IsFullPath(child.program) || child.currentDirectory.empty() || HasNul(child.program) ||
        HasNul(child.commandLine) || HasNul(child.currentDirectory)) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    std::vector<EnvironmentVariable> machine;
    if (!MachineEnvironment(&machine, &result.error)) return result;
    const std::wstring windows = SystemWindowsDirectory();
    if (windows.empty()) {
        result.error = ::GetLastError() != 0 ? ::GetLastError() : static_cast<DWORD>(ERROR_PATH_NOT_FOUND);
        return result;
    }
    std::vector<wchar_t> environment =
        BuildEnvironmentBlock(ChildEnvironment(machine, windows, child.currentDirectory));

    // CreateProcessW may write into its command line.
    std::vector<wchar_t> line(child.commandLine.begin(), child.commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (child.hidden) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = SW_HIDE;
    }
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (child.noWindow ? CREATE_NO_WINDOW : 0);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(child.program.c_str(), line.data(), nullptr, nullptr, FALSE, flags, environment.data(),
                          child.currentDirectory.c_str(), &startup, &process)) {
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
