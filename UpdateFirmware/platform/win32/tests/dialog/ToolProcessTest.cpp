// The executable itself under Wine: it opens the main dialog, and closing the
// window ends the process with the quit code 18. In a bare prefix the start-up
// finds no filter driver file and says so in a message box first; the test
// answers it with OK.
#include <gtest/gtest.h>

#include <cstdlib>
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

// A message box of the tool's process: answered with OK.
BOOL CALLBACK AnswerBoxesOf(HWND window, LPARAM param) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t cls[16] = {};
    ::GetClassNameW(window, cls, 16);
    if (pid == static_cast<DWORD>(param) && std::wstring(cls) == L"#32770" && ::IsWindowVisible(window) &&
        !::GetDlgItem(window, IDC_PROGRESS_MAIN))
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return TRUE;
}

// Waits up to a minute for the tool to end, answering its message boxes
// meanwhile; a tool that does not end is ended and the test fails with
// `what`. Returns its exit code and lets go of its handles.
DWORD EndedAnsweringBoxes(PROCESS_INFORMATION& pi, const char* what) {
    bool ended = false;
    for (int waited = 0; !ended && waited < 60000; waited += 200) {
        ::EnumWindows(&AnswerBoxesOf, static_cast<LPARAM>(pi.dwProcessId));
        ended = ::WaitForSingleObject(pi.hProcess, 200) == WAIT_OBJECT_0;
    }
    if (!ended) {
        ::TerminateProcess(pi.hProcess, 1);
        ADD_FAILURE() << what;
    }
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return code;
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
            ::EnumWindows(&AnswerBoxesOf, static_cast<LPARAM>(pi.dwProcessId));
            ::EnumWindows(&FindDialogOf, reinterpret_cast<LPARAM>(&found));
            return found.window && ::IsWindowVisible(found.window);
        },
        30000);
    EXPECT_TRUE(shown);
    if (found.window) {
        wchar_t title[256] = {};
        ::GetWindowTextW(found.window, title, 256);
        EXPECT_EQ(std::wstring(title), app::WindowTitle());
        // The run starts on its own, finds no hub and shows its result in red.
        const HWND status = ::GetDlgItem(found.window, IDC_STATIC_STATUS);
        const bool failed = dialogtest::WaitFor(
            [&] {
                ::EnumWindows(&AnswerBoxesOf, static_cast<LPARAM>(pi.dwProcessId));
                wchar_t text[64] = {};
                ::GetWindowTextW(status, text, 64);
                return std::wstring(text) == L"Failed!!(-4)";
            },
            60000);
        EXPECT_TRUE(failed) << "no \"Failed!!(-4)\" without a hub";
        ::Sleep(500);
        dialogtest::Screenshot shot(found.window);
        if (const char* path = std::getenv("TOOL_TEST_SCREENSHOT")) shot.SaveBmp(path);
        EXPECT_GT(shot.Count(status, RGB(250, 50, 50)), 50) << "the result is drawn in red";
        ::PostMessageW(found.window, WM_CLOSE, 0, 0);
    }
    // The close waits for the run (a scan that finds no hub) to end.
    EXPECT_EQ(EndedAnsweringBoxes(pi, "the tool did not end after the close"), 18u);
}

// "/?" alone: the usage in a question box; once it is answered the process
// ends with 0.
TEST(ToolProcess, UsageBoxThenZero) {
    std::wstring commandLine = L"\"" FW_TOOL_EXE_WIDE L"\" /?";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 nullptr, &si, &pi))
        << ::GetLastError();
    EXPECT_EQ(EndedAnsweringBoxes(pi, "the tool did not end after its usage box"), 0u);
}

// Two copies at once: the second ends the first with -9 (never 0, its
// caller must not read success) and goes on with its own run (here a bare
// prefix: no driver file after the placeholder package, -20).
TEST(ToolProcess, SecondInstanceEndsTheFirstWithMinusNine) {
    std::wstring firstLine = L"\"" FW_TOOL_EXE_WIDE L"\"";
    std::wstring secondLine = L"\"" FW_TOOL_EXE_WIDE L"\" /SILENT /A";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION first{}, second{};
    ASSERT_TRUE(::CreateProcessW(nullptr, firstLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 nullptr, &si, &first));
    Found found{first.dwProcessId, nullptr};
    const bool shown = dialogtest::WaitFor(
        [&] {
            ::EnumWindows(&AnswerBoxesOf, static_cast<LPARAM>(first.dwProcessId));
            ::EnumWindows(&FindDialogOf, reinterpret_cast<LPARAM>(&found));
            return found.window && ::IsWindowVisible(found.window);
        },
        30000);
    EXPECT_TRUE(shown);
    ASSERT_TRUE(::CreateProcessW(nullptr, secondLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 nullptr, &si, &second));
    const bool firstEnded = ::WaitForSingleObject(first.hProcess, 60000) == WAIT_OBJECT_0;
    const bool secondEnded = ::WaitForSingleObject(second.hProcess, 120000) == WAIT_OBJECT_0;
    if (!firstEnded) ::TerminateProcess(first.hProcess, 1);
    if (!secondEnded) ::TerminateProcess(second.hProcess, 1);
    EXPECT_TRUE(firstEnded && secondEnded);
    DWORD firstCode = 0, secondCode = 0;
    ::GetExitCodeProcess(first.hProcess, &firstCode);
    ::GetExitCodeProcess(second.hProcess, &secondCode);
    EXPECT_EQ(static_cast<int>(firstCode), -9);
    EXPECT_EQ(static_cast<int>(secondCode), -20);
    for (HANDLE h : {first.hThread, first.hProcess, second.hThread, second.hProcess}) ::CloseHandle(h);
}

}  // namespace
