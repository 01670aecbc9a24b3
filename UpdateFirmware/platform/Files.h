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
// DELETE: the right to delete or rename the name (sharing: kFileShareDelete).
constexpr std::uint32_t kDeleteAccess = 0x00010000u;
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

// Which file a handle or a name reaches (GetFileInformationByHandle): the
// volume's serial number and the file's index on it.
struct FileIdentity {
    std::uint32_t volumeSerial = 0;
    std::uint64_t fileIndex = 0;
    friend bool operator==(const FileIdentity& a, const FileIdentity& b) {
        return a.volumeSerial == b.volumeSerial && a.fileIndex == b.fileIndex;
    }
    friend bool operator!=(const FileIdentity& a, const FileIdentity& b) { return !(a == b); }
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
    // Makes a new folder and opens it in one step, so that the handle is on
    // the very folder made here and nothing can take its place in between:
    // it reaches Administrators and SYSTEM only, inherited by what is made
    // in it, owner Administrators where the process may set it, and is held
    // as HoldFolder holds (no delete access, no delete sharing). A name that
    // is taken (a folder, a file, a link) fails with ERROR_ALREADY_EXISTS and
    // is left as it is; a missing parent with ERROR_PATH_NOT_FOUND.
    virtual FileOpenResult CreateHeldFolder(const std::wstring& path) = 0;
    // Opens the name itself, never what it redirects to, and keeps it from
    // being renamed or deleted while the handle is open: listing access and
    // no delete access, sharing reading and writing but not deletion (on
    // NTFS no folder above it can be renamed either). A child process can
    // still take the folder as its current directory. `facts` describes what
    // was opened; a file or a redirection is opened too, for the caller to
    // refuse. A missing name fails with ERROR_FILE_NOT_FOUND.
    virtual FileOpenResult HoldFolder(const std::wstring& path, PathFacts* facts) = 0;
    // GetFileInformationByHandle's volume serial number and file index.
    virtual FileResult GetFileIdentity(Handle handle, FileIdentity* identity) = 0;
    // The name opened with attribute access only (sharing everything), its
    // identity read and the handle closed.
    virtual FileResult GetPathIdentity(const std::wstring& path, FileIdentity* identity) = 0;
    // Gives the name itself (a link or junction is renamed, never its target)
    // the name `newName` in the same folder, through a handle opened with
    // delete access without following it. A taken name fails with
    // ERROR_ALREADY_EXISTS; nothing is replaced.
    virtual FileResult RenameEntry(const std::wstring& path, const std::wstring& newName) = 0;
    // Deletes the name itself (a folder only when empty; a link without its
    // target) through a handle opened with delete access without following
    // it, and only when that handle reaches `expected`: anything else there
    // stays and the call fails with ERROR_FILE_INVALID.
    virtual FileResult DeleteEntry(const std::wstring& path, const FileIdentity& expected) = 0;
    // The names in a folder (without "." and ".."), never following the
    // folder when it redirects.
    virtual FileResult ListDirectory(const std::wstring& path, std::vector<DirectoryEntry>* entries) = 0;
};

// The name reaches the very file (or folder) that `held` is open on: the
// name is opened with attribute access only and the volume serial numbers
// and file indexes are compared.
inline bool IsSameFile(Files& files, Handle held, const std::wstring& path) {
    FileIdentity heldIdentity, named;
    return held.IsValid() && files.GetFileIdentity(held, &heldIdentity).ok &&
           files.GetPathIdentity(path, &named).ok && heldIdentity == named;
}

// Writes all of `bytes` from the file's position, then ends the file there
// and flushes it. A write that moves nothing fails (ERROR_WRITE_FAULT).
inline FileResult WriteAllAndFlush(Files& files, Handle file, const std::vector<std::uint8_t>& bytes) {
    constexpr std::uint32_t kErrorWriteFault = 29;
    FileResult r{true, 0};
    std::size_t written = 0;
    while (r.ok && written < bytes.size()) {
        std::uint32_t done = 0;
        r = files.WriteFile(file, bytes.data() + written, static_cast<std::uint32_t>(bytes.size() - written), &done);
        if (r.ok && done == 0) r = FileResult{false, kErrorWriteFault};
        written += done;
    }
    if (r.ok) r = files.SetEndOfFile(file);
    if (r.ok) r = files.FlushFileBuffers(file);
    return r;
}

}  // namespace platform
