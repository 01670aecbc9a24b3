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

// Looks `name` up into `fn`; a failed lookup leaves its own error in `error`,
// taken before any other call can overwrite it.
template <typename Fn>
bool Lookup(HMODULE module, const char* name, Fn* fn, std::uint32_t* error) {
    // Through the generic function pointer type, which converts to any other.
    using Generic = void (*)();
    *fn = reinterpret_cast<Fn>(reinterpret_cast<Generic>(::GetProcAddress(module, name)));
    if (*fn == nullptr) {
        *error = ::GetLastError();
        return false;
    }
    return true;
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
    HMODULE module = nullptr;  // psapi.dll when loaded; none for kernel32's
    EnumProcessesFn enumProcesses = nullptr;
    EnumProcessModulesFn enumProcessModules = nullptr;
    GetModuleBaseNameWFn getModuleBaseName = nullptr;
};

Win32Processes::Win32Processes() = default;

Win32Processes::~Win32Processes() {
    if (psapi_ && psapi_->module) ::FreeLibrary(psapi_->module);
}

const Win32Processes::Psapi* Win32Processes::Load(ProcessListStatus* status, std::uint32_t* error) {
    std::lock_guard<std::mutex> hold(loadLock_);
    *status = ProcessListStatus::Ok;
    *error = 0;
    if (psapi_) return psapi_.get();

    // Windows 7 and later have the three functions in kernel32 itself.
    auto loaded = std::make_unique<Psapi>();
    std::uint32_t ignored = 0;
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    if (kernel32 && Lookup(kernel32, "K32EnumProcessModules", &loaded->enumProcessModules, &ignored) &&
        Lookup(kernel32, "K32GetModuleBaseNameW", &loaded->getModuleBaseName, &ignored) &&
        Lookup(kernel32, "K32EnumProcesses", &loaded->enumProcesses, &ignored)) {
        psapi_ = std::move(loaded);
        return psapi_.get();
    }

    // Earlier systems have them in psapi.dll only. It is loaded by its bare
    // name, a known DLL, so the loader takes the system's copy of this
    // process's bitness: a path built from the system directory would name
    // the 64-bit DLL on a 32-bit thread that has file-system redirection off.
    HMODULE module = ::LoadLibraryW(L"psapi.dll");
    if (module == nullptr) {
        *status = ProcessListStatus::LibraryMissing;
        *error = ::GetLastError();
        return nullptr;
    }
    loaded = std::make_unique<Psapi>();
    loaded->module = module;
    if (!Lookup(module, "EnumProcessModules", &loaded->enumProcessModules, error) ||
        !Lookup(module, "GetModuleBaseNameW", &loaded->getModuleBaseName, error) ||
        !Lookup(module, "EnumProcesses", &loaded->enumProcesses, error)) {
        *status = ProcessListStatus::FunctionMissing;
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

namespace {
constexpr DWORD kTerminateWaitMs = 5000;
}  // namespace

TerminateResult Win32Processes::TerminateProcess(std::uint32_t processId, std::uint32_t exitCode) {
    TerminateResult result;
    ProcessHandle process{::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId)};
    if (process.h == nullptr) {
        result.error = ::GetLastError();
        return result;
    }
    result.opened = true;
    result.terminated = ::TerminateProcess(process.h, exitCode) != FALSE;
    if (!result.terminated) result.error = ::GetLastError();
    // The ended process lets go of its files before this one goes on (for
    // a few seconds at most).
    if (result.terminated) ::WaitForSingleObject(process.h, kTerminateWaitMs);
    return result;
}

std::uint32_t Win32Processes::CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace platform::win32
