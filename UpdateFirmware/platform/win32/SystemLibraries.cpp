#include "platform/win32/SystemLibraries.h"

#include <commctrl.h>

#include <atomic>
#include <vector>

#include "hubaccess/DebugLog.h"

namespace platform::win32 {

namespace {

constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD kAlteredSearchPath = 0x00000008;  // LOAD_WITH_ALTERED_SEARCH_PATH

// The warning of a load without the search flag, written the first time the
// log's level lets it through.
std::atomic<bool> g_fallbackLogged{false};

void NoteFallback(const wchar_t* name) {
    if (g_nMessageLevel < 2 || g_fallbackLogged.exchange(true)) return;
    vDEBUG_WRN_printf(L"%s:%d: LOAD_LIBRARY_SEARCH_SYSTEM32 is not available (a Windows 7 without its DLL search "
                      L"update), %s and what it imports are loaded with the altered search path",
                      L"LoadSystemLibrary", __LINE__, name);
}

std::wstring FromCall(UINT (WINAPI* call)(LPWSTR, UINT)) {
    for (UINT chars = MAX_PATH;;) {
        std::vector<wchar_t> buffer(chars);
        const UINT length = call(buffer.data(), chars);
        if (length == 0) return {};
        if (length < chars) return std::wstring(buffer.data(), length);
        if (length > 32768) return {};
        chars = length + 1;
    }
}

bool RunsUnderWow64() {
#ifdef _WIN64
    return false;
#else
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64 = SystemFunction<IsWow64ProcessFn>(::GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(::GetCurrentProcess(), &wow64) && wow64;
#endif
}

}  // namespace

bool LimitDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const auto setDefault =
        SystemFunction<SetDefaultDllDirectoriesFn>(::GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
    if (setDefault != nullptr && setDefault(kSearchSystem32)) return true;
    ::SetDllDirectoryW(L"");
    return false;
}

std::wstring OwnSystemDirectory() {
    return RunsUnderWow64() ? FromCall(::GetSystemWow64DirectoryW) : FromCall(::GetSystemDirectoryW);
}

std::wstring SystemWindowsDirectory() { return FromCall(::GetSystemWindowsDirectoryW); }

DWORD SystemLibraryLoadFlags() {
    // The DLL search update brings AddDllDirectory together with the flags.
    static const bool searchFlags =
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "AddDllDirectory") != nullptr;
    return searchFlags ? kSearchSystem32 : kAlteredSearchPath;
}

HMODULE LoadSystemLibrary(const wchar_t* name) {
    const std::wstring folder = OwnSystemDirectory();
    if (folder.empty()) return nullptr;
    const std::wstring path = folder + L"\\" + name;
    const DWORD flags = SystemLibraryLoadFlags();
    if (flags == kSearchSystem32) {
        const HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, kSearchSystem32);
        if (module != nullptr || ::GetLastError() != ERROR_INVALID_PARAMETER) return module;
    }
    NoteFallback(name);
    return ::LoadLibraryExW(path.c_str(), nullptr, kAlteredSearchPath);
}

bool InitCommonControlsFromSystem(DWORD classes) {
    using InitCommonControlsExFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    static const HMODULE comctl32 = LoadSystemLibrary(L"comctl32.dll");
    const auto init = SystemFunction<InitCommonControlsExFn>(comctl32, "InitCommonControlsEx");
    if (init == nullptr) return false;
    INITCOMMONCONTROLSEX icc{};
    icc.dwSize = sizeof icc;
    icc.dwICC = classes;
    return init(&icc) != FALSE;
}

}  // namespace platform::win32
