#include "platform/win32/Win32Files.h"

#include <io.h>

#include <cerrno>
#include <vector>

#include "platform/win32/WindowsApi.h"

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
static_assert(kFileAttributeReadOnly == FILE_ATTRIBUTE_READONLY &&
                  kFileAttributeHidden == FILE_ATTRIBUTE_HIDDEN &&
                  kFileAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY &&
                  kFileAttributeNormal == FILE_ATTRIBUTE_NORMAL,
              "attribute bits");

}  // namespace

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
