// The executable itself under Wine: it opens the main dialog, and closing the
// window ends the process with the quit code 18. In a bare prefix the start-up
// finds no filter driver file and says so in a message box first; the test
// answers it with OK.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
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

BOOL CALLBACK AppendStaticText(HWND control, LPARAM param) {
    wchar_t cls[16] = {};
    ::GetClassNameW(control, cls, 16);
    if (std::wstring(cls) == L"Static") {
        wchar_t text[512] = {};
        ::GetWindowTextW(control, text, 512);
        *reinterpret_cast<std::wstring*>(param) += text;
    }
    return TRUE;
}

// The texts of the message boxes answered so far (each box once).
std::wstring g_answeredBoxTexts;
std::set<HWND> g_answeredBoxes;

// A message box of the tool's process: its text kept, answered with OK.
BOOL CALLBACK AnswerBoxesOf(HWND window, LPARAM param) {
    DWORD pid = 0;
    ::GetWindowThreadProcessId(window, &pid);
    wchar_t cls[16] = {};
    ::GetClassNameW(window, cls, 16);
    if (pid == static_cast<DWORD>(param) && std::wstring(cls) == L"#32770" && ::IsWindowVisible(window) &&
        !::GetDlgItem(window, IDC_PROGRESS_MAIN)) {
        std::wstring text;
        ::EnumChildWindows(window, &AppendStaticText, reinterpret_cast<LPARAM>(&text));
        if (g_answeredBoxes.insert(window).second) g_answeredBoxTexts += text + L"\n";
        ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    }
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

// A start-up that cannot write its INI (an old read-only one next to the
// executable) ends with -5 before the dialog is shown: an interactive user
// gets one box naming the file; the old file is left as it was.
TEST(ToolProcess, IniThatCannotBeWrittenEndsWithOneBoxAndMinusFive) {
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring dir = std::wstring(temp) + L"ini-read-only-" + std::to_wstring(::GetCurrentProcessId());
    const std::wstring exe = dir + L"\\262FWUpgradeTool.exe";
    const std::wstring ini = dir + L"\\VTL262xFWUpg.ini";
    ::CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(FW_TOOL_EXE_WIDE, exe.c_str(), FALSE)) << ::GetLastError();
    const char stale[] = "check_vid=1\r\nvid=FFFF\r\n";
    HANDLE h = ::CreateFileW(ini.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(h, stale, sizeof stale - 1, &written, nullptr);
    ::CloseHandle(h);
    ::SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_READONLY);

    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 dir.c_str(), &si, &pi))
        << ::GetLastError();
    const DWORD pid = pi.dwProcessId;
    g_answeredBoxTexts.clear();
    EXPECT_EQ(static_cast<int>(EndedAnsweringBoxes(pi, "the tool did not end after its box")), -5);
    EXPECT_EQ(g_answeredBoxTexts, L"Can not write " + ini + L" !!\n");
    Found found{pid, nullptr};
    ::EnumWindows(&FindDialogOf, reinterpret_cast<LPARAM>(&found));
    EXPECT_EQ(found.window, nullptr);
    EXPECT_EQ(::GetFileAttributesW(ini.c_str()) & FILE_ATTRIBUTE_READONLY, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));

    ::SetFileAttributesW(ini.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(ini.c_str());
    ::DeleteFileW(exe.c_str());
    ::RemoveDirectoryW(dir.c_str());
}

}  // namespace
