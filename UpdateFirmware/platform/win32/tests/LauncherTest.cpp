// The launcher adapter under Wine: a missing program, and a program that
// ends within the wait.
#include <gtest/gtest.h>

#include "platform/Launcher.h"
#include "platform/win32/Win32Launcher.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::win32::Win32Launcher;

TEST(Win32Launcher, MissingProgramIsReportedNotStarted) {
    Win32Launcher launcher;
    const platform::LaunchResult r =
        launcher.ShellExecuteAndWait(L".\\devcon-not-here.exe", L"Restart USB\\VID_7A7D&PID_3262", platform::kSwHide, 5000);
    EXPECT_FALSE(r.started);
    EXPECT_FALSE(r.ended);
    EXPECT_NE(r.error, 0u);
}

TEST(Win32Launcher, HiddenProgramRunsAndIsWaitedFor) {
    wchar_t directory[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
    ASSERT_GT(length, 0u);
    const std::wstring cmd = std::wstring(directory, length) + L"\\cmd.exe";
    Win32Launcher launcher;
    const platform::LaunchResult r = launcher.ShellExecuteAndWait(cmd, L"/c exit 0", platform::kSwHide, 60000);
    EXPECT_TRUE(r.started);
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.error, 0u);
}

}  // namespace
