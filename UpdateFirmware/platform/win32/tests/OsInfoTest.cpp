#include <gtest/gtest.h>

#include <string>

#include "platform/win32/Win32OsInfo.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::win32::Win32OsInfo;

// FW_TOOL_EXE_PATH as the system names it; a path from the build machine
// ("/work/...") is reached through Wine's drive for the file system root.
std::wstring ToolPath() {
    const std::string path = FW_TOOL_EXE_PATH;
    std::wstring wide(path.begin(), path.end());
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    if (!wide.empty() && wide[0] == L'\\') wide = L"Z:" + wide;
    return wide;
}

bool SystemIs64Bit() {
    SYSTEM_INFO info{};
    ::GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ||
           info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
}

TEST(Win32OsInfo, VersionIsAnNtSystem) {
    Win32OsInfo os;
    const auto version = os.GetVersionEx();
    EXPECT_TRUE(version.ok);
    EXPECT_EQ(version.platformId, static_cast<std::uint32_t>(VER_PLATFORM_WIN32_NT));
    EXPECT_GE(version.major, 5u);
}

TEST(Win32OsInfo, IsWow64ProcessTellsA32BitProcessOn64BitWindows) {
    Win32OsInfo os;
    const auto query = os.IsWow64Process();
    EXPECT_TRUE(query.functionFound);
    EXPECT_TRUE(query.ok);
    EXPECT_EQ(query.isWow64, sizeof(void*) == 4 && SystemIs64Bit());
}

// Redirection exists only for a 32-bit process on 64-bit Windows; elsewhere
// the system refuses to turn it off and nothing is kept for a revert.
TEST(Win32OsInfo, RedirectionRevertNeedsAnEarlierDisable) {
    Win32OsInfo os;
    const auto early = os.RevertWow64FsRedirection();
    EXPECT_FALSE(early.ok);
    EXPECT_EQ(early.error, static_cast<std::uint32_t>(ERROR_INVALID_STATE));

    const auto disabled = os.DisableWow64FsRedirection();
    EXPECT_TRUE(disabled.libraryLoaded);
    EXPECT_TRUE(disabled.functionFound);
    if (sizeof(void*) == 4 && SystemIs64Bit()) {
        EXPECT_TRUE(disabled.ok) << disabled.error;
    }
    if (disabled.ok) {
        const auto twice = os.DisableWow64FsRedirection();
        EXPECT_FALSE(twice.ok);
        EXPECT_EQ(twice.error, static_cast<std::uint32_t>(ERROR_INVALID_STATE));
        const auto reverted = os.RevertWow64FsRedirection();
        EXPECT_TRUE(reverted.ok) << reverted.error;
    } else {
        EXPECT_NE(disabled.error, 0u);
    }
    EXPECT_EQ(os.RevertWow64FsRedirection().error, static_cast<std::uint32_t>(ERROR_INVALID_STATE));
}

TEST(Win32OsInfo, ModuleFileNameAndCurrentDirectory) {
    Win32OsInfo os;
    const std::wstring module = os.GetModuleFileName();
    const std::wstring tail = L"\\win32_tests.exe";
    ASSERT_GT(module.size(), tail.size());
    EXPECT_EQ(module.substr(module.size() - tail.size()), tail);

    wchar_t before[MAX_PATH] = {};
    ASSERT_NE(::GetCurrentDirectoryW(MAX_PATH, before), 0u);
    const std::wstring directory = module.substr(0, module.size() - tail.size());
    EXPECT_TRUE(os.SetCurrentDirectory(directory));
    wchar_t now[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, now);
    EXPECT_EQ(::lstrcmpiW(now, directory.c_str()), 0);
    EXPECT_FALSE(os.SetCurrentDirectory(directory + L"\\NoSuchFolder262"));
    EXPECT_TRUE(os.SetCurrentDirectory(before));
}

TEST(Win32OsInfo, FileVersionFromTheVersionResource) {
    Win32OsInfo os;
    const auto tool = os.GetFileVersion(ToolPath());
    ASSERT_TRUE(tool.ok);
    EXPECT_EQ(tool.fileVersionMS, 0x00010000u);  // 1.0
    EXPECT_EQ(tool.fileVersionLS, 0x00000000u);  // .0.0

    // The test program carries no version resource; a missing file has none.
    EXPECT_FALSE(os.GetFileVersion(os.GetModuleFileName()).ok);
    EXPECT_FALSE(os.GetFileVersion(ToolPath() + L".missing").ok);
}

}  // namespace
