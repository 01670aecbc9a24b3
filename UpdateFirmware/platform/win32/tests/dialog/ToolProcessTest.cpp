// The executable itself under Wine: it opens the main dialog, and closing the
// window ends the process with the quit code 18.
#include <gtest/gtest.h>

#include <string>

#include "DialogHarness.h"
#include "app/DialogFrame.h"
#include "res/resource.h"

namespace {

struct Found {
    DWORD pid;
    HWND window;
};

BOOL CALLBACK FindDialogOf(HWND window, LPARAM param) {
    auto* found = reinterpret_cast<Found*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    if (pid == found->pid && ::GetDlgItem(window, IDC_PROGRESS_MAIN)) {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

TEST(ToolProcess, ShowsTheDialogAndClosingGives18) {
    std::wstring commandLine = L"\"" FW_TOOL_EXE_WIDE L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 nullptr, &si, &pi))
        << ::GetLastError();
    Found found{pi.dwProcessId, nullptr};
    const bool shown = dialogtest::WaitFor(
        [&] {
            ::EnumWindows(&FindDialogOf, reinterpret_cast<LPARAM>(&found));
            return found.window && ::IsWindowVisible(found.window);
        },
        30000);
    EXPECT_TRUE(shown);
    if (found.window) {
        wchar_t title[256] = {};
        ::GetWindowTextW(found.window, title, 256);
        EXPECT_EQ(std::wstring(title), app::WindowTitle());
        ::PostMessageW(found.window, WM_CLOSE, 0, 0);
    }
    if (::WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
        ::TerminateProcess(pi.hProcess, 1);
        ADD_FAILURE() << "the tool did not end after the close";
    }
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 18u);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
}

}  // namespace
