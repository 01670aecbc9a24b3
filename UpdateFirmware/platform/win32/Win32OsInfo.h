// platform::OsInfo on GetVersionExW, the WOW64 functions of kernel32 (looked
// up at run time), GetModuleFileNameW, SetCurrentDirectoryW and the version
// information API.
#pragma once

#include "platform/OsInfo.h"

namespace platform::win32 {

class Win32OsInfo final : public OsInfo {
public:
    OsVersion GetVersionEx() override;
    // IsWow64Process of the current process.
    Wow64Query IsWow64Process() override;
    // File-system redirection is a setting of the calling thread, so the old
    // value is kept per thread. Disable while this thread already holds a
    // saved value, and Revert without one, fail with ERROR_INVALID_STATE
    // without calling the system.
    FsRedirectionResult DisableWow64FsRedirection() override;
    FsRedirectionResult RevertWow64FsRedirection() override;
    // The whole path, however long.
    std::wstring GetModuleFileName() override;
    bool SetCurrentDirectory(const std::wstring& path) override;
    // GetFileVersionInfoSizeW / GetFileVersionInfoW / VerQueryValueW("\\").
    FileVersionResult GetFileVersion(const std::wstring& path) override;
    std::wstring GetWindowsDirectory() override;
    std::wstring GetSystemDirectory() override;
};

}  // namespace platform::win32
