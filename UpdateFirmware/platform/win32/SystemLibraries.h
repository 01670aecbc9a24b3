// The DLLs this process uses beyond the Known DLLs it imports.
//
// The tool runs elevated from folders other programs may write (a downloads
// folder): nothing may be loaded from there. Its image imports only Known
// DLLs, which the system maps from its own copies; the DLL search is limited
// to the system folder before anything else runs; and the few other system
// DLLs (version, common controls, configuration manager) are loaded at run
// time by their full path in the system folder of the process's own bitness,
// with the search for what they import limited to the system folder
// (LOAD_LIBRARY_SEARCH_SYSTEM32) where Windows has it.
#pragma once

#include <string>

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

// SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32), looked up at run
// time; where Windows lacks it, SetDllDirectoryW with an empty text takes
// the current directory out of the search. True when the search is limited
// to the system folder.
bool LimitDllSearch();

// The system folder of this process's bitness: SysWOW64 for a 32-bit
// process on 64-bit Windows (whatever the thread's redirection), else the
// system directory. Empty on failure.
std::wstring OwnSystemDirectory();

// GetSystemWindowsDirectoryW: the system's Windows folder (never a user's
// own on a terminal server). Empty on failure.
std::wstring SystemWindowsDirectory();

// LoadLibraryExW on "<own system folder>\name" with
// LOAD_LIBRARY_SEARCH_SYSTEM32: what the DLL imports is looked for in the
// system folder only. A Windows 7 without the DLL search update (no
// AddDllDirectory, or the flag refused with ERROR_INVALID_PARAMETER) loads
// with LOAD_WITH_ALTERED_SEARCH_PATH instead, and a warning says so once.
// Null when it cannot be loaded. The module stays loaded for the life of
// the process.
HMODULE LoadSystemLibrary(const wchar_t* name);

// The flags LoadSystemLibrary tries first on this system.
DWORD SystemLibraryLoadFlags();

// A function of a system DLL loaded as above; null when either is missing.
template <class Function>
Function SystemFunction(HMODULE module, const char* name) {
    if (module == nullptr) return nullptr;
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// InitCommonControlsEx from the system's common controls (ICC_ flags);
// false when it is missing or fails.
bool InitCommonControlsFromSystem(DWORD classes);

}  // namespace platform::win32
