#include "platform/win32/Win32OsInfo.h"

#include <vector>

#include "platform/win32/SystemLibraries.h"
#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE process, BOOL* isWow64);
using Wow64DisableFn = BOOL(WINAPI*)(PVOID* oldValue);
using Wow64RevertFn = BOOL(WINAPI*)(PVOID oldValue);

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
    // Through the generic function pointer type, which converts to any other.
    using Generic = void (*)();
    return reinterpret_cast<Fn>(reinterpret_cast<Generic>(::GetProcAddress(module, name)));
}

// The redirection value that Disable saved on this thread, for its Revert.
struct SavedRedirection {
    bool held = false;
    PVOID oldValue = nullptr;
};
thread_local SavedRedirection t_saved;

// Loads kernel32 (a reference of our own, released when done) and looks up
// `name`; fills the loader stages of `result`.
template <typename Fn>
HMODULE LoadKernel32Function(const char* name, Fn* fn, FsRedirectionResult* result) {
    HMODULE kernel32 = ::LoadLibraryW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        result->libraryLoaded = false;
        result->functionFound = false;
        result->error = ::GetLastError();
        return nullptr;
    }
    *fn = Lookup<Fn>(kernel32, name);
    if (*fn == nullptr) {
        result->functionFound = false;
        result->error = ::GetLastError();
    }
    return kernel32;
}

constexpr DWORD kFirstModulePathChars = MAX_PATH;
constexpr DWORD kLongestPathChars = 32768;

}  // namespace

OsVersion Win32OsInfo::GetVersionEx() {
    OsVersion version;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!::GetVersionExW(&info)) return version;
    version.ok = true;
    version.platformId = info.dwPlatformId;
    version.major = info.dwMajorVersion;
    version.minor = info.dwMinorVersion;
    return version;
}

Wow64Query Win32OsInfo::IsWow64Process() {
    Wow64Query query;
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32");
    const auto fn = kernel32 ? Lookup<IsWow64ProcessFn>(kernel32, "IsWow64Process") : nullptr;
    if (fn == nullptr) {
        query.error = ::GetLastError();
        return query;
    }
    query.functionFound = true;
    BOOL answer = FALSE;
    query.ok = fn(::GetCurrentProcess(), &answer) != FALSE;
    if (query.ok)
        query.isWow64 = answer != FALSE;
    else
        query.error = ::GetLastError();
    return query;
}

FsRedirectionResult Win32OsInfo::DisableWow64FsRedirection() {
    FsRedirectionResult result;
    if (t_saved.held) {
        result.error = ERROR_INVALID_STATE;
        return result;
    }
    Wow64DisableFn disable = nullptr;
    HMODULE kernel32 = LoadKernel32Function("Wow64DisableWow64FsRedirection", &disable, &result);
    if (disable != nullptr) {
        PVOID oldValue = nullptr;
        result.ok = disable(&oldValue) != FALSE;
        if (result.ok)
            t_saved = SavedRedirection{true, oldValue};
        else
            result.error = ::GetLastError();
    }
    if (kernel32) ::FreeLibrary(kernel32);
    return result;
}

FsRedirectionResult Win32OsInfo::RevertWow64FsRedirection() {
    FsRedirectionResult result;
    if (!t_saved.held) {
        result.error = ERROR_INVALID_STATE;
        return result;
    }
    Wow64RevertFn revert = nullptr;
    HMODULE kernel32 = LoadKernel32Function("Wow64RevertWow64FsRedirection", &revert, &result);
    if (revert != nullptr) {
        result.ok = revert(t_saved.oldValue) != FALSE;
        if (result.ok)
            t_saved = SavedRedirection{};
        else
            result.error = ::GetLastError();
    }
    if (kernel32) ::FreeLibrary(kernel32);
    return result;
}

std::wstring Win32OsInfo::GetModuleFileName() {
    // A path that fills the buffer may have been cut: try again with more room.
    for (DWORD chars = kFirstModulePathChars;; chars *= 2) {
        std::vector<wchar_t> buffer(chars);
        const DWORD length = ::GetModuleFileNameW(nullptr, buffer.data(), chars);
        if (length == 0) return {};
        if (length < chars) return std::wstring(buffer.data(), length);
        if (chars >= kLongestPathChars) return {};
    }
}

bool Win32OsInfo::SetCurrentDirectory(const std::wstring& path) {
    if (path.find(L'\0') != std::wstring::npos) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return ::SetCurrentDirectoryW(path.c_str()) != FALSE;
}

FileVersionResult Win32OsInfo::GetFileVersion(const std::wstring& path) {
    FileVersionResult result;
    if (path.find(L'\0') != std::wstring::npos) return result;

    // version.dll is no Known DLL: taken from the system folder by its path.
    using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
    using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
    using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
    static const HMODULE versionDll = LoadSystemLibrary(L"version.dll");
    const auto getSize = SystemFunction<SizeFn>(versionDll, "GetFileVersionInfoSizeW");
    const auto getInfo = SystemFunction<InfoFn>(versionDll, "GetFileVersionInfoW");
    const auto query = SystemFunction<QueryFn>(versionDll, "VerQueryValueW");
    if (getSize == nullptr || getInfo == nullptr || query == nullptr) return result;

    DWORD ignored = 0;
    const DWORD size = getSize(path.c_str(), &ignored);
    if (size == 0) return result;
    std::vector<std::uint8_t> block(size);
    if (!getInfo(path.c_str(), 0, size, block.data())) return result;

    void* fixed = nullptr;
    UINT fixedSize = 0;
    if (!query(block.data(), L"\\", &fixed, &fixedSize) || fixed == nullptr ||
        fixedSize < sizeof(VS_FIXEDFILEINFO))
        return result;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    result.ok = true;
    result.fileVersionMS = info->dwFileVersionMS;
    result.fileVersionLS = info->dwFileVersionLS;
    return result;
}

std::wstring Win32OsInfo::GetWindowsDirectory() {
    for (UINT chars = MAX_PATH;;) {
        std::vector<wchar_t> buffer(chars);
        const UINT length = ::GetSystemWindowsDirectoryW(buffer.data(), chars);
        if (length == 0) return {};
        if (length < chars) return std::wstring(buffer.data(), length);
        if (length > 32768) return {};
        chars = length + 1;
    }
}

std::wstring Win32OsInfo::GetSystemDirectory() {
    wchar_t buffer[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(buffer, length);
}

}  // namespace platform::win32
