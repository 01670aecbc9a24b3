// Files and directories: the Win32 file calls the tool makes, one to one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Handle.h"
#include "Win32Errors.h"

namespace platform {

// dwDesiredAccess bits.
constexpr std::uint32_t kGenericRead = 0x80000000u;
constexpr std::uint32_t kGenericWrite = 0x40000000u;
// dwShareMode bits.
constexpr std::uint32_t kFileShareRead = 0x1;
constexpr std::uint32_t kFileShareWrite = 0x2;
constexpr std::uint32_t kFileShareDelete = 0x4;
// dwCreationDisposition.
enum class FileDisposition : std::uint32_t {
    CreateNew = 1,
    CreateAlways = 2,
    OpenExisting = 3,
    OpenAlways = 4,
    TruncateExisting = 5,
};
// dwFlagsAndAttributes bits the tool uses.
constexpr std::uint32_t kFileFlagWriteThrough = 0x80000000u;

// File attribute bits (GetFileAttributesW / SetFileAttributesW).
constexpr std::uint32_t kFileAttributeReadOnly = 0x1;
constexpr std::uint32_t kFileAttributeHidden = 0x2;
constexpr std::uint32_t kFileAttributeDirectory = 0x10;
constexpr std::uint32_t kFileAttributeNormal = 0x80;

// _waccess modes.
constexpr int kAccessExists = 0;
constexpr int kAccessWrite = 2;
constexpr int kAccessRead = 4;
constexpr int kAccessReadWrite = 6;

struct FileResult {
    bool ok = false;
    std::uint32_t error = 0;  // GetLastError() when !ok
};

struct FileOpenResult {
    Handle handle = Handle::Invalid();  // INVALID on failure
    std::uint32_t error = 0;
};

// One name as InspectPath sees it, never following it when it redirects.
struct PathFacts {
    bool exists = false;
    bool directory = false;
    // A symbolic link, junction or mount point (a name-surrogate reparse
    // point): a redirection to another place. Other reparse points, such as
    // cloud-file placeholders, are ordinary files and folders.
    bool redirection = false;
    // Owned by the Administrators group or by SYSTEM.
    bool trustedOwner = false;
};

struct DirectoryEntry {
    std::wstring name;
    bool directory = false;
    bool redirection = false;  // as in PathFacts
};

class Files {
public:
    virtual ~Files() = default;

    // _waccess: 0 when allowed, else the C library's errno (ENOENT 2,
    // EACCES 13, ...).
    virtual int Access(const std::wstring& path, int mode) = 0;

    virtual FileOpenResult CreateFile(const std::wstring& path, std::uint32_t access,
                                      std::uint32_t share, FileDisposition disposition,
                                      std::uint32_t flags) = 0;
    // ReadFile / WriteFile: `done` is the number of bytes transferred.
    virtual FileResult ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t count,
                                std::uint32_t* done) = 0;
    virtual FileResult WriteFile(Handle file, const std::uint8_t* buffer, std::uint32_t count,
                                 std::uint32_t* done) = 0;
    // SetFilePointerEx from the file's start.
    virtual FileResult Seek(Handle file, std::uint64_t offset) = 0;
    // GetFileSizeEx.
    virtual FileResult GetFileSize(Handle file, std::uint64_t* size) = 0;
    virtual FileResult SetEndOfFile(Handle file) = 0;
    virtual FileResult FlushFileBuffers(Handle file) = 0;
    virtual bool CloseHandle(Handle file) = 0;

    // CreateDirectoryW: fails with ERROR_ALREADY_EXISTS (183) for an existing one.
    virtual FileResult CreateDirectory(const std::wstring& path) = 0;
    virtual FileResult DeleteFile(const std::wstring& path) = 0;
    // RemoveDirectoryW: only an empty directory goes (ERROR_DIR_NOT_EMPTY).
    virtual FileResult RemoveDirectory(const std::wstring& path) = 0;
    // FindFirstFileW on the path, FindClose on success: ok when a file or
    // directory of that name exists.
    virtual FileResult FindFirstFile(const std::wstring& path) = 0;
    virtual FileResult GetFileAttributes(const std::wstring& path, std::uint32_t* attributes) = 0;
    virtual FileResult SetFileAttributes(const std::wstring& path, std::uint32_t attributes) = 0;
    // GetTempPathW: the temporary folder, ending with a backslash; empty on
    // failure.
    virtual std::wstring GetTempPath() = 0;

    // What the name is, without following it: a missing name is ok with
    // exists false.
    virtual FileResult InspectPath(const std::wstring& path, PathFacts* facts) = 0;
    // Makes the folder when it is missing, or takes an existing real folder
    // (never through a redirection), and gives it access for Administrators
    // and SYSTEM only, inherited by what is made in it, owner Administrators
    // where the process may set it.
    virtual FileResult MakePrivateDirectory(const std::wstring& path) = 0;
    // The names in a folder (without "." and ".."), never following the
    // folder when it redirects.
    virtual FileResult ListDirectory(const std::wstring& path, std::vector<DirectoryEntry>* entries) = 0;
};

}  // namespace platform
