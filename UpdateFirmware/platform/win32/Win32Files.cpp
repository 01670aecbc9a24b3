#include "platform/win32/Win32Files.h"

#include <io.h>

#include <cerrno>
#include <vector>

#include "platform/win32/WindowsApi.h"

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

namespace platform::win32 {

namespace {

HANDLE ToNative(Handle h) { return reinterpret_cast<HANDLE>(h.raw); }
Handle FromNative(HANDLE h) { return Handle{reinterpret_cast<std::uintptr_t>(h)}; }

bool HasEmbeddedNul(const std::wstring& path) { return path.find(L'\0') != std::wstring::npos; }

FileResult FromBool(BOOL ok) {
    FileResult result;
    result.ok = ok != FALSE;
    if (!result.ok) result.error = ::GetLastError();
    return result;
}

FileResult InvalidParameter() {
    FileResult result;
    result.error = ERROR_INVALID_PARAMETER;
    return result;
}

static_assert(kGenericRead == GENERIC_READ && kGenericWrite == GENERIC_WRITE, "access bits");
static_assert(kFileShareRead == FILE_SHARE_READ && kFileShareWrite == FILE_SHARE_WRITE &&
                  kFileShareDelete == FILE_SHARE_DELETE,
              "share bits");
static_assert(static_cast<DWORD>(FileDisposition::CreateNew) == CREATE_NEW &&
                  static_cast<DWORD>(FileDisposition::CreateAlways) == CREATE_ALWAYS &&
                  static_cast<DWORD>(FileDisposition::OpenExisting) == OPEN_EXISTING &&
                  static_cast<DWORD>(FileDisposition::OpenAlways) == OPEN_ALWAYS &&
                  static_cast<DWORD>(FileDisposition::TruncateExisting) == TRUNCATE_EXISTING,
              "dispositions");
static_assert(kFileFlagWriteThrough == FILE_FLAG_WRITE_THROUGH, "write-through flag");
static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS, "ERROR_ALREADY_EXISTS");
static_assert(kErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY, "ERROR_DIR_NOT_EMPTY");
static_assert(kErrorFileInvalid == ERROR_FILE_INVALID, "ERROR_FILE_INVALID");
static_assert(kDeleteAccess == DELETE, "DELETE");
static_assert(kFileAttributeReadOnly == FILE_ATTRIBUTE_READONLY &&
                  kFileAttributeHidden == FILE_ATTRIBUTE_HIDDEN &&
                  kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
                  kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL,
              "attribute bits");

// A reparse point that redirects to another name (IsReparseTagNameSurrogate).
bool IsRedirection(DWORD attributes, DWORD tag) {
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && (tag & 0x20000000u) != 0;
}

bool IsMissing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// The name itself, never what it redirects to.
HANDLE OpenName(const std::wstring& path, DWORD access) {
    return ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

struct LocalSd {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ~LocalSd() {
        if (sd) ::LocalFree(sd);
    }
};

// Administrators and SYSTEM only. The owner-rights entry takes from whoever
// owns a file in there (when the system names the creator as owner) the
// right to change its access list.
constexpr wchar_t kPrivateWithOwner[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;RC;;;OW)";
constexpr wchar_t kPrivate[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;RC;;;OW)";

// What the open name is: attributes, reparse tag and owner.
FileResult FactsOf(HANDLE h, PathFacts* facts) {
    PathFacts out;
    FileResult result{true, 0};
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag)) {
        out.exists = true;
        out.directory = (tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        out.redirection = IsRedirection(tag.FileAttributes, tag.ReparseTag);
    } else {
        // Without the tag any reparse point counts as a redirection.
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileInformationByHandle(h, &info)) {
            out.exists = true;
            out.directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            out.redirection = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        } else {
            result = FileResult{false, ::GetLastError()};
        }
    }
    if (result.ok) {
        PSID owner = nullptr;
        LocalSd sd;
        const DWORD status =
            ::GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &sd.sd);
        if (status == ERROR_SUCCESS && owner != nullptr)
            out.trustedOwner = ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                               ::IsWellKnownSid(owner, WinLocalSystemSid);
    }
    if (facts) *facts = out;
    return result;
}

// NT status values the folder's creation tells apart (<ntstatus.h> does not
// go together with <windows.h>).
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035L);
constexpr NTSTATUS kStatusInvalidOwner = static_cast<NTSTATUS>(0xC000005AL);
constexpr NTSTATUS kStatusAccessDenied = static_cast<NTSTATUS>(0xC0000022L);
constexpr NTSTATUS kStatusPrivilegeNotHeld = static_cast<NTSTATUS>(0xC0000061L);

// The Win32 error CreateDirectoryW gives for the status (a taken name:
// ERROR_ALREADY_EXISTS, a missing parent: ERROR_PATH_NOT_FOUND).
DWORD ErrorOfStatus(NTSTATUS status) {
    if (status == kStatusObjectNameCollision) return ERROR_ALREADY_EXISTS;
    const ULONG error = ::RtlNtStatusToDosError(status);
    return error == 0 || error == ERROR_MR_MID_NOT_FOUND ? ERROR_GEN_FAILURE : error;
}

// The NT name of a local or network path, as the Win32 calls build it: the
// full path (GetFullPathNameW) after "\??\" ("\??\UNC\" for "\\server");
// empty for anything else (devices, relative names that cannot be made full).
std::wstring NtPathOf(const std::wstring& path) {
    const DWORD needed = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return {};
    std::wstring full(needed, L'\0');
    const DWORD length = ::GetFullPathNameW(path.c_str(), needed, &full[0], nullptr);
    if (length == 0 || length >= needed) return {};
    full.resize(length);
    if (full.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + full.substr(4);
    if (full.rfind(L"\\\\.\\", 0) == 0) return {};
    if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
    if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') return L"\\??\\" + full;
    return {};
}

FileResult IdentityOf(HANDLE h, FileIdentity* identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info)) return FromBool(FALSE);
    if (identity) {
        identity->volumeSerial = info.dwVolumeSerialNumber;
        identity->fileIndex = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    }
    return FileResult{true, 0};
}

}  // namespace

FileResult Win32Files::InspectPath(const std::wstring& path, PathFacts* facts) {
    if (facts) *facts = PathFacts{};
    if (HasEmbeddedNul(path)) return InvalidParameter();
    const HANDLE h = OpenName(path, READ_CONTROL | FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (IsMissing(error)) return FileResult{true, 0};
        return FileResult{false, error};
    }
    const FileResult result = FactsOf(h, facts);
    ::CloseHandle(h);
    return result;
}

FileOpenResult Win32Files::CreateHeldFolder(const std::wstring& path) {
    FileOpenResult result;
    const std::wstring ntPath = HasEmbeddedNul(path) ? std::wstring() : NtPathOf(path);
    // UNICODE_STRING counts bytes in 16 bits.
    if (ntPath.empty() || ntPath.size() * sizeof(wchar_t) > 0xFFF0) {
        result.error = HasEmbeddedNul(path) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME;
        return result;
    }
    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(ntPath.c_str());
    name.Length = static_cast<USHORT>(ntPath.size() * sizeof(wchar_t));
    name.MaximumLength = name.Length;
    for (const wchar_t* text : {kPrivateWithOwner, kPrivate}) {
        LocalSd sd;
        if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &sd.sd, nullptr)) {
            result.error = ::GetLastError();
            return result;
        }
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, sd.sd);
        IO_STATUS_BLOCK io{};
        HANDLE h = nullptr;
        // Made and opened in one call: the handle is on the folder made, with
        // the access and sharing HoldFolder uses.
        const NTSTATUS status =
            ::NtCreateFile(&h, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                           &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           FILE_CREATE, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_FOR_BACKUP_INTENT,
                           nullptr, 0);
        if (status >= 0) {
            result.handle = FromNative(h);
            return result;
        }
        // The owner part is what a token without the right to name the
        // Administrators group as owner refuses (nothing is made then); the
        // folder is then made with the process's default owner.
        if (text == kPrivate || (status != kStatusInvalidOwner && status != kStatusAccessDenied &&
                                 status != kStatusPrivilegeNotHeld)) {
            result.error = ErrorOfStatus(status);
            return result;
        }
    }
    result.error = ERROR_INVALID_FUNCTION;
    return result;
}

FileOpenResult Win32Files::HoldFolder(const std::wstring& path, PathFacts* facts) {
    FileOpenResult result;
    if (facts) *facts = PathFacts{};
    if (HasEmbeddedNul(path)) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    const HANDLE h = ::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        result.error = ::GetLastError();
        return result;
    }
    const FileResult described = FactsOf(h, facts);
    if (!described.ok) {
        ::CloseHandle(h);
        result.error = described.error;
        return result;
    }
    result.handle = FromNative(h);
    return result;
}

FileResult Win32Files::GetFileIdentity(Handle handle, FileIdentity* identity) {
    return IdentityOf(ToNative(handle), identity);
}

FileResult Win32Files::GetPathIdentity(const std::wstring& path, FileIdentity* identity) {
    if (HasEmbeddedNul(path)) return InvalidParameter();
    const HANDLE h = ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FromBool(FALSE);
    const FileResult result = IdentityOf(h, identity);
    ::CloseHandle(h);
    return result;
}

FileResult Win32Files::RenameEntry(const std::wstring& path, const std::wstring& newName) {
    if (HasEmbeddedNul(path) || HasEmbeddedNul(newName) || newName.empty() ||
        newName.find_first_of(L"\\/:") != std::wstring::npos)
        return InvalidParameter();
    const std::size_t slash = path.find_last_of(L"\\/");
    const std::wstring target = (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1)) + newName;
    const HANDLE h = OpenName(path, DELETE | SYNCHRONIZE);
    if (h == INVALID_HANDLE_VALUE) return FromBool(FALSE);
    const std::size_t bytes = target.size() * sizeof(wchar_t);
    std::vector<std::uint8_t> buffer(sizeof(FILE_RENAME_INFO) + bytes + sizeof(wchar_t), 0);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(bytes);
    std::copy(target.begin(), target.end(), info->FileName);
    FileResult result =
        FromBool(::SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buffer.size())));
    if (!result.ok && result.error == ERROR_FILE_EXISTS) result.error = ERROR_ALREADY_EXISTS;
    ::CloseHandle(h);
    return result;
}

FileResult Win32Files::DeleteEntry(const std::wstring& path, const FileIdentity& expected) {
    if (HasEmbeddedNul(path)) return InvalidParameter();
    const HANDLE h = OpenName(path, DELETE | FILE_READ_ATTRIBUTES);
    if (h == INVALID_HANDLE_VALUE) return FromBool(FALSE);
    FileIdentity identity;
    FileResult result = IdentityOf(h, &identity);
    if (result.ok && identity != expected) result = FileResult{false, ERROR_FILE_INVALID};
    if (result.ok) {
        // (Its one member is spelled DeleteFileW here, after the macro.)
        FILE_DISPOSITION_INFO disposition{TRUE};
        result = FromBool(::SetFileInformationByHandle(h, FileDispositionInfo, &disposition, sizeof disposition));
    }
    ::CloseHandle(h);
    if (result.ok) {
        // A folder that is not empty keeps its name on some file systems
        // although the request was taken.
        PathFacts facts;
        const FileResult after = InspectPath(path, &facts);
        if (after.ok && facts.exists) {
            FileIdentity now;
            if (GetPathIdentity(path, &now).ok && now == expected) result = FileResult{false, ERROR_DIR_NOT_EMPTY};
        }
    }
    return result;
}

FileResult Win32Files::ListDirectory(const std::wstring& path, std::vector<DirectoryEntry>* entries) {
    if (entries) entries->clear();
    if (HasEmbeddedNul(path) || path.find_first_of(L"*?") != std::wstring::npos) return InvalidParameter();
    PathFacts facts;
    const FileResult inspected = InspectPath(path, &facts);
    if (!inspected.ok) return inspected;
    if (!facts.exists) return FileResult{false, ERROR_PATH_NOT_FOUND};
    if (!facts.directory || facts.redirection) return FileResult{false, ERROR_DIRECTORY};
    WIN32_FIND_DATAW data{};
    const HANDLE h = ::FindFirstFileW((path + L"\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND ? FileResult{true, 0} : FileResult{false, error};
    }
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        DirectoryEntry entry;
        entry.name = name;
        entry.directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.redirection = IsRedirection(data.dwFileAttributes, data.dwReserved0);
        if (entries) entries->push_back(entry);
    } while (::FindNextFileW(h, &data));
    const DWORD error = ::GetLastError();
    ::FindClose(h);
    return error == ERROR_NO_MORE_FILES ? FileResult{true, 0} : FileResult{false, error};
}

int Win32Files::Access(const std::wstring& path, int mode) {
    if (HasEmbeddedNul(path)) return EINVAL;
    if (::_waccess(path.c_str(), mode) == 0) return 0;
    return errno;
}

FileOpenResult Win32Files::CreateFile(const std::wstring& path, std::uint32_t access,
                                      std::uint32_t share, FileDisposition disposition,
                                      std::uint32_t flags) {
    FileOpenResult result;
    if (HasEmbeddedNul(path)) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    HANDLE h = ::CreateFileW(path.c_str(), access, share, nullptr, static_cast<DWORD>(disposition),
                             flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        result.error = ::GetLastError();
        return result;
    }
    result.handle = FromNative(h);
    return result;
}

FileResult Win32Files::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t count,
                                std::uint32_t* done) {
    DWORD transferred = 0;
    const FileResult result = FromBool(::ReadFile(ToNative(file), buffer, count, &transferred, nullptr));
    if (done) *done = transferred;
    return result;
}

FileResult Win32Files::WriteFile(Handle file, const std::uint8_t* buffer, std::uint32_t count,
                                 std::uint32_t* done) {
    DWORD transferred = 0;
    const FileResult result =
        FromBool(::WriteFile(ToNative(file), buffer, count, &transferred, nullptr));
    if (done) *done = transferred;
    return result;
}

FileResult Win32Files::Seek(Handle file, std::uint64_t offset) {
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return FromBool(::SetFilePointerEx(ToNative(file), distance, nullptr, FILE_BEGIN));
}

FileResult Win32Files::GetFileSize(Handle file, std::uint64_t* size) {
    LARGE_INTEGER value{};
    const FileResult result = FromBool(::GetFileSizeEx(ToNative(file), &value));
    if (size) *size = result.ok ? static_cast<std::uint64_t>(value.QuadPart) : 0;
    return result;
}

FileResult Win32Files::SetEndOfFile(Handle file) { return FromBool(::SetEndOfFile(ToNative(file))); }

FileResult Win32Files::FlushFileBuffers(Handle file) {
    return FromBool(::FlushFileBuffers(ToNative(file)));
}

bool Win32Files::CloseHandle(Handle file) { return ::CloseHandle(ToNative(file)) != FALSE; }

FileResult Win32Files::CreateDirectory(const std::wstring& path) {
    if (HasEmbeddedNul(path)) return InvalidParameter();
    return FromBool(::CreateDirectoryW(path.c_str(), nullptr));
}

FileResult Win32Files::DeleteFile(const std::wstring& path) {
    if (HasEmbeddedNul(path)) return InvalidParameter();
    return FromBool(::DeleteFileW(path.c_str()));
}

FileResult Win32Files::RemoveDirectory(const std::wstring& path) {
    if (HasEmbeddedNul(path)) return InvalidParameter();
    return FromBool(::RemoveDirectoryW(path.c_str()));
}

FileResult Win32Files::FindFirstFile(const std::wstring& path) {
    if (HasEmbeddedNul(path)) return InvalidParameter();
    if (path.find_first_of(L"*?") != std::wstring::npos) {
        FileResult result;
        result.error = ERROR_INVALID_NAME;
        return result;
    }
    WIN32_FIND_DATAW data{};
    HANDLE h = ::FindFirstFileW(path.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return FromBool(FALSE);
    ::FindClose(h);
    return FileResult{true, 0};
}

FileResult Win32Files::GetFileAttributes(const std::wstring& path, std::uint32_t* attributes) {
    if (attributes) *attributes = 0;
    if (HasEmbeddedNul(path)) return InvalidParameter();
    const DWORD value = ::GetFileAttributesW(path.c_str());
    if (value == INVALID_FILE_ATTRIBUTES) return FromBool(FALSE);
    if (attributes) *attributes = value;
    return FileResult{true, 0};
}

FileResult Win32Files::SetFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    if (HasEmbeddedNul(path)) return InvalidParameter();
    return FromBool(::SetFileAttributesW(path.c_str(), attributes));
}

std::wstring Win32Files::GetTempPath() {
    // The documented limit is MAX_PATH + 1; a longer %TMP% is asked again.
    for (DWORD chars = MAX_PATH + 1;;) {
        std::vector<wchar_t> buffer(chars);
        const DWORD length = ::GetTempPathW(chars, buffer.data());
        if (length == 0) return {};
        if (length < chars) return std::wstring(buffer.data(), length);
        if (length > 32768) return {};
        chars = length + 1;
    }
}

}  // namespace platform::win32
