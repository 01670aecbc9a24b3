// The main dialog under Wine: its template, its unattended modes, the About
// box, closing and OK, and what a failed run looks like on the screen.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/RunResults.h"

#include "DialogHarness.h"
#include "app/DialogFrame.h"
#include "res/resource.h"
#include "widgets/TextProgressCtrl.h"

#include <commctrl.h>

namespace {

using namespace dialogtest;

constexpr COLORREF kRed = RGB(250, 50, 50);

std::wstring Text(HWND w) {
    wchar_t buf[512] = {};
    ::GetWindowTextW(w, buf, 512);
    return buf;
}

std::wstring ClassOf(HWND w) {
    wchar_t buf[64] = {};
    ::GetClassNameW(w, buf, 64);
    std::wstring s(buf);
    for (auto& c : s) c = static_cast<wchar_t>(::towlower(c));
    return s;
}

struct ControlRow {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    bool visible;
    RECT dlu;  // x, y, width, height in dialog units
    LONG style;  // style bits that must be set
    bool edge;   // a border or edge (the system may turn WS_BORDER into an edge)
};

bool HasEdge(HWND w) {
    return (::GetWindowLongW(w, GWL_STYLE) & WS_BORDER) ||
           (::GetWindowLongW(w, GWL_EXSTYLE) & (WS_EX_CLIENTEDGE | WS_EX_STATICEDGE));
}

TEST(MainDialog, ShowsTheControlsOfItsTemplate) {
    DialogRun run;
    ASSERT_TRUE(run.hwnd());
    const HWND dlg = run.hwnd();
    ASSERT_TRUE(WaitFor([&] { return ::IsWindowVisible(dlg) != FALSE; }));
    EXPECT_EQ(Text(dlg), app::WindowTitle());

    const ControlRow rows[] = {
        {IDC_STATIC_DEVICE_NUMBER, L"static", L"Display Device Number", false, {7, 168, 105, 20}, 0, false},
        {IDC_BUTTON_START, L"button", L"Start", false, {242, 169, 38, 19}, 0, false},
        {IDC_PROGRESS_MAIN, L"msctls_progress32", L"", true, {17, 39, 253, 10}, PBS_SMOOTH, true},
        {IDC_STATIC_STATUS, L"static", L"Update Status", true, {7, 154, 216, 29}, SS_CENTER, false},
        {IDC_STATIC_CUR_VERSION, L"static", L"", false, {55, 178, 72, 10}, 0, false},
        {IDC_STATIC_UPDATE_VERSION, L"static", L"FW Version", true, {148, 26, 65, 10}, 0, false},
        {IDC_BUTTON_OK, L"button", L"OK", true, {224, 169, 56, 19}, 0, false},
        {IDC_STATIC_CAPTION, L"static", L"Update Version:", true, {61, 26, 72, 10}, SS_RIGHT, false},
        {IDC_STATIC_WARNING, L"static",
         L"Attention! During updating,. DO NOT shut down or restart system to prevent an incomplete update.",
         false, {32, 54, 219, 17}, 0, true},
        {IDC_STATIC_HUB1, L"static", L"Hub 1:", true, {18, 80, 24, 10}, 0, false},
        {IDC_STATIC_HUB2, L"static", L"Hub 2:", true, {18, 95, 24, 10}, 0, false},
        {IDC_STATIC_HUB3, L"static", L"Hub 3:", true, {18, 110, 24, 10}, 0, false},
        {IDC_STATIC_HUB4, L"static", L"Hub 4:", true, {18, 125, 24, 10}, 0, false},
        {IDC_STATIC_HUB5, L"static", L"Hub 5:", true, {18, 140, 24, 10}, 0, false},
        {IDC_STATIC_HUB1_SPEED, L"static", L"USB 3.0", false, {44, 80, 30, 10}, 0, false},
        {IDC_STATIC_HUB3_SPEED, L"static", L"USB 3.0", false, {44, 110, 30, 10}, 0, false},
        {IDC_STATIC_HUB5_SPEED, L"static", L"USB 3.0", false, {44, 140, 30, 10}, 0, false},
        {IDC_STATIC_HUB1_VERSION, L"static", L"Version", true, {76, 80, 77, 10}, SS_CENTER, false},
        {IDC_STATIC_HUB4_VERSION, L"static", L"Version", true, {76, 125, 77, 10}, SS_CENTER, false},
        {IDC_PROGRESS_HUB1, L"msctls_progress32", L"", true, {160, 80, 107, 9}, 0, true},
        {IDC_PROGRESS_HUB2, L"msctls_progress32", L"", true, {160, 95, 107, 9}, 0, true},
        {IDC_PROGRESS_HUB5, L"msctls_progress32", L"", true, {160, 140, 107, 9}, 0, true},
    };
    for (const ControlRow& row : rows) {
        SCOPED_TRACE(row.id);
        const HWND ctl = ::GetDlgItem(dlg, row.id);
        ASSERT_TRUE(ctl);
        EXPECT_EQ(ClassOf(ctl), row.cls);
        // The progress control keeps no text and turns its border into a frame of its own.
        if (std::wstring(row.cls) != L"msctls_progress32") {
            EXPECT_EQ(Text(ctl), row.text);
            EXPECT_EQ(HasEdge(ctl), row.edge);
        }
        EXPECT_EQ(::IsWindowVisible(ctl) != FALSE, row.visible);
        EXPECT_EQ(::GetWindowLongW(ctl, GWL_STYLE) & row.style, row.style);
        // The dialog manager maps the position and the size each on its own.
        RECT mapped = row.dlu;
        ::MapDialogRect(dlg, &mapped);
        const RECT expected{mapped.left, mapped.top, mapped.left + mapped.right, mapped.top + mapped.bottom};
        RECT actual;
        ::GetWindowRect(ctl, &actual);
        ::MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&actual), 2);
        EXPECT_EQ(actual.left, expected.left);
        EXPECT_EQ(actual.top, expected.top);
        EXPECT_EQ(actual.right, expected.right);
        EXPECT_EQ(actual.bottom, expected.bottom);
    }
    EXPECT_TRUE(::GetWindowLongW(dlg, GWL_EXSTYLE) & WS_EX_APPWINDOW);

    // The set-up: bars 0..100 by 1 in the run's green, the main bar without text.
    for (int id : {IDC_PROGRESS_MAIN, IDC_PROGRESS_HUB3}) {
        const HWND bar = ::GetDlgItem(dlg, id);
        EXPECT_EQ(::SendMessageW(bar, PBM_GETRANGE, FALSE, 0), 100);
        EXPECT_EQ(::SendMessageW(bar, PBM_GETSTEP, 0, 0), 1);
        EXPECT_EQ(static_cast<COLORREF>(::SendMessageW(bar, PBM_GETBARCOLOR, 0, 0)), RGB(50, 250, 50));
        EXPECT_EQ(::SendMessageW(bar, widgets::PBM_SETSHOWTEXT, 1, 0), id == IDC_PROGRESS_HUB3 ? 1 : 0);
    }
}

TEST(MainDialog, FailedRunShowsRedStatusAndRedBars) {
    DialogRun run([](app::CMy262FWUpgradeToolDlg& m) {
        m.m_devList.nCount = 2;
        m.m_devList.rows[0].m_strFWVersion = L"121030000000";
        m.m_devList.rows[1].m_strFWVersion = L"121030000001";
    });
    const HWND dlg = run.hwnd();
    ASSERT_TRUE(dlg);
    app::CMy262FWUpgradeToolDlg& m = run.model();
    // The run, from a thread of its own: scanning, then two hubs fail.
    std::thread worker([&] {
        m.m_MainThreadInfo.ucMainStatus = app::MAIN_THREAD_SCANNING;
        m.vShowHubInfo(2);
        m.vSetHubBarPos(0, 40);
        m.vSetHubBarPos(6, 40);  // a seventh hub has no row
        run.view().ShowControl(app::RowControlId(7, app::RowPart::Bar), true);
    });
    worker.join();
    EXPECT_TRUE(WaitFor([&] { return run.view().GetBarPos(app::kIdProgressMain) > 3; }))
        << "timer 1 sweeps the main bar while the run scans";
    EXPECT_EQ(run.view().GetBarPos(app::RowControlId(0, app::RowPart::Bar)), 40);
    worker = std::thread([&] {
        m.vSetAllProgressColor(app::kColourRed);
        const app::ResultLine line = app::FinalResultLine(2, false, -4, false);
        m.vShowUpddateResult(line.text, line.colour, line.height);
        m.vShowUpddateResult(line.text, line.colour, line.height);  // the font is replaced
        m.m_MainThreadInfo.bAllPass = 0;
        m.m_MainThreadInfo.ucMainStatus = app::MAIN_THREAD_FINISH;
        m.SetExitcode(-4);
    });
    worker.join();
    ASSERT_TRUE(WaitFor([&] { return run.view().GetBarPos(app::kIdProgressMain) == 100; }));
    ASSERT_TRUE(WaitFor([&] { return ::IsWindowVisible(dlg) != FALSE; }));
    run.OnUi([&] { ::RedrawWindow(dlg, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN); });
    ::Sleep(200);
    run.OnUi([] {});
    EXPECT_FALSE(run.Ended()) << "an interactive run waits for OK";

    Screenshot shot(dlg);
    if (const char* path = std::getenv("DIALOG_TEST_SCREENSHOT")) shot.SaveBmp(path);
    const HWND status = ::GetDlgItem(dlg, IDC_STATIC_STATUS);
    EXPECT_EQ(Text(status), L"Failed!!(-4)");
    EXPECT_GT(shot.Count(status, kRed), 50) << "the status text is drawn in red";
    for (int id : {IDC_PROGRESS_MAIN, IDC_PROGRESS_HUB1, IDC_PROGRESS_HUB2}) {
        SCOPED_TRACE(id);
        const HWND bar = ::GetDlgItem(dlg, id);
        RECT rc;
        ::GetClientRect(bar, &rc);
        EXPECT_EQ(shot.At(bar, 4, rc.bottom / 2), kRed);
        EXPECT_EQ(shot.At(bar, rc.right - 4, rc.bottom / 2), kRed);
    }
    // Rows 1 and 2 shown with their versions, the other rows hidden.
    EXPECT_EQ(Text(::GetDlgItem(dlg, IDC_STATIC_HUB2_VERSION)), L"121030000001");
    EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(dlg, IDC_PROGRESS_HUB2)));
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(dlg, IDC_PROGRESS_HUB3)));
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(dlg, IDC_STATIC_HUB5)));
}

TEST(MainDialog, ConsoleOutputGoesToStandardOutput) {
    DialogRun run;
    ASSERT_TRUE(run.hwnd());
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0));
    const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
    ::SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
    run.view().ConsolePrint(L"=====VNTL Hub FWUpg Tool(x)======\r\n");
    run.view().ConsolePrint(L"Search Hub.\r");
    ::SetStdHandle(STD_OUTPUT_HANDLE, saved);
    ::CloseHandle(writeEnd);
    char buf[256] = {};
    DWORD got = 0;
    std::string text;
    while (::ReadFile(readEnd, buf, sizeof buf, &got, nullptr) && got) text.append(buf, got);
    ::CloseHandle(readEnd);
    EXPECT_EQ(text, "=====VNTL Hub FWUpg Tool(x)======\r\nSearch Hub.\r");
}

TEST(MainDialog, UnattendedModesNeverShowTheWindow) {
    struct Mode {
        const char* name;
        bool silent, console;
    };
    for (const Mode& mode : {Mode{"/SILENT", true, false}, Mode{"/DOS", false, true}}) {
        SCOPED_TRACE(mode.name);
        DialogRun run([&](app::CMy262FWUpgradeToolDlg& m) {
            m.m_bSilentMode = mode.silent;
            m.m_bConsoleMode = mode.console;
        });
        const HWND dlg = run.hwnd();
        ASSERT_TRUE(dlg);
        ::ShowWindow(dlg, SW_SHOW);
        ::SetWindowPos(dlg, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_SHOWWINDOW);
        ::Sleep(300);
        run.OnUi([] {});
        EXPECT_FALSE(::IsWindowVisible(dlg));
        EXPECT_FALSE(::GetWindowLongW(dlg, GWL_STYLE) & WS_VISIBLE);
        ::PostMessageW(dlg, WM_CLOSE, 0, 0);
        EXPECT_EQ(run.WaitForExit(), 18);
    }
}

TEST(MainDialog, AboutBoxOpensFromTheSystemMenu) {
    DialogRun run;
    const HWND dlg = run.hwnd();
    ASSERT_TRUE(dlg);
    wchar_t item[128] = {};
    ::GetMenuStringW(::GetSystemMenu(dlg, FALSE), IDM_ABOUTBOX, item, 128, MF_BYCOMMAND);
    EXPECT_STREQ(item, L"&About 262FWUpgradeTool...");

    ::PostMessageW(dlg, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
    HWND about = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        about = ::FindWindowW(nullptr, L"About 262FWUpgradeTool");
        return about && ::IsWindowVisible(about);
    }));
    EXPECT_EQ(::GetWindow(about, GW_OWNER), dlg);
    EXPECT_FALSE(::IsWindowEnabled(dlg)) << "the About box is modal";
    ::PostMessageW(about, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitFor([&] { return !::IsWindow(about); }));
    EXPECT_FALSE(run.Ended());
    ::PostMessageW(dlg, WM_CLOSE, 0, 0);
    EXPECT_EQ(run.WaitForExit(), 18);
}

TEST(MainDialog, ClosingEndsWith18AndEnterNeverEnds) {
    struct Way {
        const char* name;
        UINT msg;
        WPARAM w;
    };
    const Way ways[] = {{"WM_CLOSE", WM_CLOSE, 0},
                        {"close box", WM_SYSCOMMAND, SC_CLOSE},
                        {"Esc", WM_COMMAND, IDCANCEL}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        std::atomic<int> removed{0};
        DialogRun run([&](app::CMy262FWUpgradeToolDlg& m) { m.m_pfnRemoveBinFiles = [&] { ++removed; }; });
        const HWND dlg = run.hwnd();
        ASSERT_TRUE(dlg);
        ::PostMessageW(dlg, WM_COMMAND, IDOK, 0);  // Enter
        ::Sleep(100);
        EXPECT_FALSE(run.Ended());
        ::PostMessageW(dlg, way.msg, way.w, 0);
        EXPECT_EQ(run.WaitForExit(), 18);
        EXPECT_EQ(removed.load(), 1);
    }
}

TEST(MainDialog, OkEndsWithTheRunsCodeOnlyWhenEnabled) {
    std::atomic<int> removed{0};
    DialogRun run([&](app::CMy262FWUpgradeToolDlg& m) {
        m.m_iRet = -4;
        m.m_pfnRemoveBinFiles = [&] { ++removed; };
    });
    const HWND dlg = run.hwnd();
    ASSERT_TRUE(dlg);
    const HWND ok = ::GetDlgItem(dlg, IDC_BUTTON_OK);
    run.OnUi([&] { ::EnableWindow(ok, FALSE); });
    ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_BUTTON_OK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    ::Sleep(100);
    run.OnUi([] {});
    EXPECT_FALSE(run.Ended());
    EXPECT_EQ(removed.load(), 0);
    run.OnUi([&] { ::EnableWindow(ok, TRUE); });
    ::PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDC_BUTTON_OK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
    EXPECT_EQ(run.WaitForExit(), -4);
    EXPECT_EQ(removed.load(), 1);
}

TEST(MainDialog, CloseDuringARunWaitsForItsEnd) {
    std::atomic<int> removed{0};
    auto counting = [&](app::CMy262FWUpgradeToolDlg& m) { m.m_pfnRemoveBinFiles = [&] { ++removed; }; };
    {
        DialogRun run(counting);
        ASSERT_TRUE(run.hwnd());
        run.window().SetRunGoing(true);
        ::PostMessageW(run.hwnd(), WM_CLOSE, 0, 0);
        ::PostMessageW(run.hwnd(), WM_COMMAND, IDCANCEL, 0);
        ::Sleep(200);
        run.OnUi([] {});
        EXPECT_FALSE(run.Ended());
        EXPECT_EQ(removed.load(), 0);
        run.window().SetRunGoing(false);
        EXPECT_EQ(run.WaitForExit(), 18);
        EXPECT_EQ(removed.load(), 1);
    }
    {
        // The run's own end request after a waiting close still gives 18.
        DialogRun run(counting);
        ASSERT_TRUE(run.hwnd());
        run.window().SetRunGoing(true);
        ::PostMessageW(run.hwnd(), WM_CLOSE, 0, 0);
        run.OnUi([] {});
        run.window().RequestExit(-4);
        EXPECT_EQ(run.WaitForExit(), 18);
    }
    {
        // The run sets and clears the flag itself; OK pressed meanwhile waits
        // too and then ends with the run's code.
        DialogRun run([](app::CMy262FWUpgradeToolDlg& m) { m.m_iRet = -7; });
        ASSERT_TRUE(run.hwnd());
        run.model().m_bRunGoing = true;
        const HWND ok = ::GetDlgItem(run.hwnd(), IDC_BUTTON_OK);
        ::PostMessageW(run.hwnd(), WM_COMMAND, MAKEWPARAM(IDC_BUTTON_OK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
        ::Sleep(300);
        EXPECT_FALSE(run.Ended());
        run.model().m_bRunGoing = false;
        EXPECT_EQ(run.WaitForExit(), -7);
    }
    {
        // Without a close, the run's end request gives its code.
        DialogRun run;
        ASSERT_TRUE(run.hwnd());
        run.window().RequestExit(-4);
        EXPECT_EQ(run.WaitForExit(), -4);
    }
}

}  // namespace
