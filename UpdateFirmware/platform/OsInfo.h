// Facts about the running system and the program: version, WOW64, module
// path, current directory, file version resources.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

struct OsVersion {
    bool ok = false;               // GetVersionExW worked
    std::uint32_t platformId = 2;  // VER_PLATFORM_WIN32_NT
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
};

// IsWow64Process looked up at run time.
struct Wow64Query {
    bool functionFound = false;
    bool ok = false;       // the call worked
    bool isWow64 = false;  // its answer
    std::uint32_t error = 0;
};

struct FsRedirectionResult {
    bool libraryLoaded = true;  // kernel32 could be loaded
    bool functionFound = true;  // the function was found
    bool ok = false;            // the call worked
    std::uint32_t error = 0;
};

struct FileVersionResult {
    bool ok = false;  // a version resource with a fixed file info block
    std::uint32_t fileVersionMS = 0;
    std::uint32_t fileVersionLS = 0;
};

class OsInfo {
public:
    virtual ~OsInfo() = default;
    virtual OsVersion GetVersionEx() = 0;
    virtual Wow64Query IsWow64Process() = 0;
    // Wow64DisableWow64FsRedirection for the calling thread; the adapter
    // keeps the old value for the revert.
    virtual FsRedirectionResult DisableWow64FsRedirection() = 0;
    virtual FsRedirectionResult RevertWow64FsRedirection() = 0;
    // GetModuleFileNameW(NULL): the executable's full path; empty on failure.
    virtual std::wstring GetModuleFileName() = 0;
    virtual bool SetCurrentDirectory(const std::wstring& path) = 0;
    virtual FileVersionResult GetFileVersion(const std::wstring& path) = 0;
    // GetSystemWindowsDirectoryW (%windir%); empty on failure.
    virtual std::wstring GetWindowsDirectory() = 0;
    // GetSystemDirectoryW (at most 260 characters); empty on failure.
    virtual std::wstring GetSystemDirectory() = 0;
};

}  // namespace platform
