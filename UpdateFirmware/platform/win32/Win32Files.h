// platform::Files on the Win32 file calls and the C library's _waccess.
#pragma once

#include "platform/Files.h"

namespace platform::win32 {

// A path with an embedded NUL cannot be passed to the system: the calls
// taking a path fail with ERROR_INVALID_PARAMETER (Access with EINVAL)
// without reaching it.
class Win32Files final : public Files {
public:
    int Access(const std::wstring& path, int mode) override;
    // CreateFileW(path, access, share, no security, disposition, flags, no template).
    FileOpenResult CreateFile(const std::wstring& path, std::uint32_t access, std::uint32_t share,
                              FileDisposition disposition, std::uint32_t flags) override;
    // `done` may be null.
    FileResult ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t count,
                        std::uint32_t* done) override;
    FileResult WriteFile(Handle file, const std::uint8_t* buffer, std::uint32_t count,
                         std::uint32_t* done) override;
    FileResult Seek(Handle file, std::uint64_t offset) override;
    FileResult GetFileSize(Handle file, std::uint64_t* size) override;
    FileResult SetEndOfFile(Handle file) override;
    FileResult FlushFileBuffers(Handle file) override;
    bool CloseHandle(Handle file) override;
    FileResult CreateDirectory(const std::wstring& path) override;
    FileResult DeleteFile(const std::wstring& path) override;
    FileResult RemoveDirectory(const std::wstring& path) override;
    // A path with a wildcard ('*' or '?') is refused (ERROR_INVALID_NAME):
    // the question is whether this one name exists.
    FileResult FindFirstFile(const std::wstring& path) override;
    FileResult GetFileAttributes(const std::wstring& path, std::uint32_t* attributes) override;
    FileResult SetFileAttributes(const std::wstring& path, std::uint32_t attributes) override;
    std::wstring GetTempPath() override;
    // Through a handle opened with FILE_FLAG_OPEN_REPARSE_POINT: the
    // attributes, the reparse tag and the owner.
    FileResult InspectPath(const std::wstring& path, PathFacts* facts) override;
    // NtCreateFile on the NT name "\??\<full path>" with FILE_CREATE and
    // FILE_DIRECTORY_FILE, the security descriptor
    // "O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;RC;;;OW)" (without the
    // owner part where the token may not set it) and HoldFolder's access and
    // sharing. STATUS_OBJECT_NAME_COLLISION gives ERROR_ALREADY_EXISTS, any
    // other status what RtlNtStatusToDosError makes of it.
    FileOpenResult CreateHeldFolder(const std::wstring& path) override;
    // FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
    // READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, with
    // FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT.
    FileOpenResult HoldFolder(const std::wstring& path, PathFacts* facts) override;
    FileResult GetFileIdentity(Handle handle, FileIdentity* identity) override;
    FileResult GetPathIdentity(const std::wstring& path, FileIdentity* identity) override;
    // SetFileInformationByHandle(FileRenameInfo) with the new full path.
    FileResult RenameEntry(const std::wstring& path, const std::wstring& newName) override;
    // SetFileInformationByHandle(FileDispositionInfo); the deletion happens
    // when the handle is closed, and is checked then.
    FileResult DeleteEntry(const std::wstring& path, const FileIdentity& expected) override;
    FileResult ListDirectory(const std::wstring& path, std::vector<DirectoryEntry>* entries) override;
};

}  // namespace platform::win32
