#include "platform/win32/Win32Processes.h"

#include <algorithm>
#include <string>

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

// The PSAPI functions the list needs, by their exported names.
using EnumProcessesFn = BOOL(WINAPI*)(DWORD* ids, DWORD bytes, DWORD* bytesNeeded);
using EnumProcessModulesFn = BOOL(WINAPI*)(HANDLE process, HMODULE* modules, DWORD bytes,
                                           DWORD* bytesNeeded);
using GetModuleBaseNameWFn = DWORD(WINAPI*)(HANDLE process, HMODULE module, LPWSTR name,
                                            DWORD size);

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
    // Through the generic function pointer type, which converts to any other.
    using Generic = void (*)();
    return reinterpret_cast<Fn>(reinterpret_cast<Generic>(::GetProcAddress(module, name)));
}

constexpr DWORD kMaxProcessIds = 1024;
constexpr DWORD kModuleNameChars = 260;

// Closes a process handle at the end of a scope.
struct ProcessHandle {
    HANDLE h;
    ~ProcessHandle() {
        if (h) ::CloseHandle(h);
    }
};

}  // namespace

struct Win32Processes::Psapi {
    HMODULE module = nullptr;
    EnumProcessesFn enumProcesses = nullptr;
    EnumProcessModulesFn enumProcessModules = nullptr;
    GetModuleBaseNameWFn getModuleBaseName = nullptr;
};

Win32Processes::Win32Processes() = default;

Win32Processes::~Win32Processes() {
    if (psapi_) ::FreeLibrary(psapi_->module);
}

const Win32Processes::Psapi* Win32Processes::Load(ProcessListStatus* status, std::uint32_t* error) {
    std::lock_guard<std::mutex> hold(loadLock_);
    *status = ProcessListStatus::Ok;
    *error = 0;
    if (psapi_) return psapi_.get();

    // From the system directory only, never from the program's own.
    wchar_t directory[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        *status = ProcessListStatus::LibraryMissing;
        *error = length == 0 ? ::GetLastError() : ERROR_INSUFFICIENT_BUFFER;
        return nullptr;
    }
    const std::wstring path = std::wstring(directory, length) + L"\\PSAPI.DLL";
    HMODULE module = ::LoadLibraryW(path.c_str());
    if (module == nullptr) {
        *status = ProcessListStatus::LibraryMissing;
        *error = ::GetLastError();
        return nullptr;
    }

    auto loaded = std::make_unique<Psapi>();
    loaded->module = module;
    loaded->enumProcessModules = Lookup<EnumProcessModulesFn>(module, "EnumProcessModules");
    loaded->getModuleBaseName = Lookup<GetModuleBaseNameWFn>(module, "GetModuleBaseNameW");
    loaded->enumProcesses = Lookup<EnumProcessesFn>(module, "EnumProcesses");
    if (!loaded->enumProcessModules || !loaded->getModuleBaseName || !loaded->enumProcesses) {
        *status = ProcessListStatus::FunctionMissing;
        *error = ::GetLastError();
        ::FreeLibrary(module);
        return nullptr;
    }
    psapi_ = std::move(loaded);
    return psapi_.get();
}

ProcessListResult Win32Processes::EnumProcesses() {
    ProcessListResult result;
    const Psapi* psapi = Load(&result.status, &result.error);
    if (!psapi) return result;

    DWORD ids[kMaxProcessIds] = {};
    DWORD bytesNeeded = 0;
    if (!psapi->enumProcesses(ids, sizeof ids, &bytesNeeded)) {
        result.status = ProcessListStatus::EnumFailed;
        result.error = ::GetLastError();
        return result;
    }
    const DWORD count = std::min<DWORD>(bytesNeeded / sizeof(DWORD), kMaxProcessIds);
    result.ids.assign(ids, ids + count);
    return result;
}

bool Win32Processes::FirstModuleBaseName(std::uint32_t processId, std::wstring* name) {
    ProcessListStatus status;
    std::uint32_t error;
    const Psapi* psapi = Load(&status, &error);
    if (!psapi) return false;

    ProcessHandle process{
        ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId)};
    if (process.h == nullptr) return false;

    HMODULE first = nullptr;
    DWORD bytesNeeded = 0;
    if (!psapi->enumProcessModules(process.h, &first, sizeof first, &bytesNeeded) ||
        bytesNeeded < sizeof first)
        return false;

    wchar_t buffer[kModuleNameChars] = {};
    const DWORD length = psapi->getModuleBaseName(process.h, first, buffer, kModuleNameChars);
    if (length == 0) return false;
    if (name) name->assign(buffer, std::min<DWORD>(length, kModuleNameChars));
    return true;
}

TerminateResult Win32Processes::TerminateProcess(std::uint32_t processId, std::uint32_t exitCode) {
    TerminateResult result;
    ProcessHandle process{::OpenProcess(PROCESS_TERMINATE, FALSE, processId)};
    if (process.h == nullptr) {
        result.error = ::GetLastError();
        return result;
    }
    result.opened = true;
    result.terminated = ::TerminateProcess(process.h, exitCode) != FALSE;
    if (!result.terminated) result.error = ::GetLastError();
    return result;
}

std::uint32_t Win32Processes::CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace platform::win32
