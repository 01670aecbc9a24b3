#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/Win32Errors.h"
#include "platform/win32/Win32Files.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::FileDisposition;
using platform::win32::Win32Files;

// A fresh, not yet existing path in the temporary directory.
std::wstring TempPath(const wchar_t* tag) {
    wchar_t dir[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"fwtool-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId()) +
           L"-" + std::to_wstring(::GetTickCount64());
}

constexpr std::uint32_t kReadWrite = platform::kGenericRead | platform::kGenericWrite;

TEST(Win32Files, WriteSeekTruncateReadDelete) {
    Win32Files files;
    const std::wstring path = TempPath(L"file");
    const auto opened = files.CreateFile(path, kReadWrite, platform::kFileShareRead,
                                         FileDisposition::CreateAlways,
                                         platform::kFileFlagWriteThrough);
    ASSERT_TRUE(opened.handle.IsValid()) << opened.error;
    const platform::Handle h = opened.handle;

    const std::uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::uint32_t done = 0;
    EXPECT_TRUE(files.WriteFile(h, data, sizeof data, &done).ok);
    EXPECT_EQ(done, 10u);
    // Cut after the fourth byte.
    EXPECT_TRUE(files.Seek(h, 4).ok);
    EXPECT_TRUE(files.SetEndOfFile(h).ok);
    EXPECT_TRUE(files.FlushFileBuffers(h).ok);
    std::uint64_t size = 0;
    EXPECT_TRUE(files.GetFileSize(h, &size).ok);
    EXPECT_EQ(size, 4u);

    std::uint8_t back[10] = {};
    EXPECT_TRUE(files.Seek(h, 0).ok);
    EXPECT_TRUE(files.ReadFile(h, back, sizeof back, &done).ok);
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::memcmp(back, data, 4), 0);
    EXPECT_TRUE(files.CloseHandle(h));

    const auto again = files.CreateFile(path, kReadWrite, 0, FileDisposition::CreateNew, 0);
    EXPECT_EQ(again.error, static_cast<std::uint32_t>(ERROR_FILE_EXISTS));
    EXPECT_TRUE(files.DeleteFile(path).ok);
    EXPECT_EQ(files.DeleteFile(path).error, platform::kErrorFileNotFound);
    const auto missing =
        files.CreateFile(path, platform::kGenericRead, 0, FileDisposition::OpenExisting, 0);
    EXPECT_TRUE(missing.handle.IsInvalid());
    EXPECT_EQ(missing.error, platform::kErrorFileNotFound);
}

TEST(Win32Files, AccessGivesErrnoAndDirectoriesExistOnce) {
    Win32Files files;
    const std::wstring path = TempPath(L"access");
    EXPECT_EQ(files.Access(path, platform::kAccessExists), ENOENT);

    const auto opened = files.CreateFile(path, kReadWrite, 0, FileDisposition::CreateNew, 0);
    ASSERT_TRUE(opened.handle.IsValid());
    files.CloseHandle(opened.handle);
    EXPECT_EQ(files.Access(path, platform::kAccessReadWrite), 0);
    // A read-only file exists but may not be written.
    ASSERT_TRUE(::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(files.Access(path, platform::kAccessExists), 0);
    EXPECT_EQ(files.Access(path, platform::kAccessReadWrite), EACCES);
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(files.DeleteFile(path).ok);

    EXPECT_TRUE(files.CreateDirectory(path).ok);
    EXPECT_EQ(files.CreateDirectory(path).error, platform::kErrorAlreadyExists);
    EXPECT_TRUE(::RemoveDirectoryW(path.c_str()));
}

// The system would read such a path only up to its NUL, a different file.
TEST(Win32Files, EmbeddedNulIsRefused) {
    Win32Files files;
    const std::wstring path = TempPath(L"nul") + std::wstring(1, L'\0') + L"tail";
    EXPECT_EQ(files.Access(path, platform::kAccessExists), EINVAL);
    EXPECT_EQ(files.CreateFile(path, kReadWrite, 0, FileDisposition::CreateAlways, 0).error,
              platform::kErrorInvalidParameter);
    EXPECT_EQ(files.CreateDirectory(path).error, platform::kErrorInvalidParameter);
    EXPECT_EQ(files.DeleteFile(path).error, platform::kErrorInvalidParameter);
    EXPECT_EQ(files.Access(path.substr(0, path.find(L'\0')), platform::kAccessExists), ENOENT);
}

}  // namespace
