#include <gtest/gtest.h>

#include <cstdio>

#include "platform/win32/Win32Console.h"
#include "platform/win32/WindowsApi.h"

namespace {

// The process's standard output (a pipe or a console under the test runner)
// bound under stdout keeps working, and the standard output handle itself
// stays open for others that write to it.
TEST(Win32Console, StdoutBoundToTheStandardOutputHandleStaysUsable) {
    platform::win32::Win32Console console;
    ASSERT_TRUE(console.BindStdout());
    EXPECT_GE(std::printf("Win32Console probe\n"), 0);
    EXPECT_EQ(std::fflush(stdout), 0);

    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    ASSERT_NE(out, nullptr);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(out, "handle probe\n", 13, &written, nullptr));
    EXPECT_EQ(written, 13u);
}

}  // namespace
