// The DLLs this process uses beyond the Known DLLs it imports.
//
// The tool runs elevated from folders other programs may write (a downloads
// folder): nothing may be loaded from there. Its image imports only Known
// DLLs, which the system maps from its own copies; the DLL search is limited
// to the system folder before anything else runs; and the few other system
// DLLs (version, common controls, configuration manager) are loaded at run
// time by their full path in the system folder of the process's own bitness.
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

// LoadLibraryExW on "<own system folder>\name" (the DLL's own folder is
// searched for what it imports); null when it cannot be loaded. The module
// stays loaded for the life of the process.
HMODULE LoadSystemLibrary(const wchar_t* name);

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
