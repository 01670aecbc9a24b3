#include <gtest/gtest.h>

#include "DialogMachine.h"
#include "app/RunResults.h"

namespace {

using app::RowControlId;
using app::RowPart;
using testing_machine::DialogMachine;

// --- message routing: caption, icon, suppression
struct MessageRow {
    int type;
    int threshold;
    bool console;
    std::uint32_t flags;
    const wchar_t* caption;
    std::uint32_t shownFlags;
    bool shown;
};

void PrintTo(const MessageRow& r, std::ostream* os) {
    *os << "type " << r.type << ", threshold " << r.threshold << (r.console ? ", console" : "") << ", flags 0x"
        << std::hex << r.flags << std::dec;
}

class MessageRouting : public testing::TestWithParam<MessageRow> {};

TEST_P(MessageRouting, CaptionIconAndSuppression) {
    const MessageRow& row = GetParam();
    DialogMachine m;
    m.dlg->m_ucMsgThreshold = static_cast<app::BYTE>(row.threshold);
    m.dlg->m_bConsoleMode = row.console;
    if (row.shown) m.view.ScriptAnswer(app::kIdCancel);
    const int r = m.dlg->nMessageOut(L"text", static_cast<app::BYTE>(row.type), row.flags);
    if (!row.shown) {
        EXPECT_EQ(r, -1);
        EXPECT_TRUE(m.view.Boxes().empty());
        return;
    }
    EXPECT_EQ(r, app::kIdCancel);
    ASSERT_EQ(m.view.Boxes().size(), 1u);
    EXPECT_EQ(m.view.Boxes()[0].caption, row.caption);
    EXPECT_EQ(m.view.Boxes()[0].flags, row.shownFlags);
}

INSTANTIATE_TEST_SUITE_P(
    Types, MessageRouting,
    testing::Values(MessageRow{1, 0, false, 0, L"Error", 0x10, true},
                    MessageRow{2, 0, false, 0, L"TimeOut", 0x10, true},
                    MessageRow{3, 0, false, app::kMbOkCancel, L"Warning", 0x31, true},
                    MessageRow{4, 0, false, 0, L"Information", 0x40, true},
                    MessageRow{5, 0, false, 0, L"Question", 0x20, true},
                    MessageRow{0, 0, false, 0x1, L"", 0x1, true},   // no caption, flags unchanged
                    MessageRow{6, 0, false, 0x4, L"", 0x4, true},
                    MessageRow{5, 0xFF, false, 0, L"", 0, false},   // /SILENT
                    MessageRow{1, 0, true, 0, L"", 0, false},       // /DOS
                    MessageRow{3, 3, false, 0, L"Warning", 0x30, true},
                    MessageRow{2, 3, false, 0, L"", 0, false}));

// --- colours of the status line and the final result line
TEST(RunResults, ColourIndexAndFinalLine) {
    const app::COLORREF colours[] = {app::MakeRgb(250, 50, 50), app::MakeRgb(50, 250, 50), app::MakeRgb(250, 165, 0),
                                     app::MakeRgb(50, 50, 250), app::MakeRgb(250, 165, 0), app::MakeRgb(255, 255, 255),
                                     app::MakeRgb(255, 255, 255), app::MakeRgb(255, 255, 255)};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(app::ResultColour(static_cast<app::BYTE>(i)), colours[i]) << i;

    struct Row {
        int hubs;
        bool timedOut;
        int code;
        bool allPass;
        const wchar_t* text;
        int colour, height;
    };
    const Row rows[] = {
        {0, false, -4, false, L"Failed!!(-4)", 0, 30},
        {0, true, -9, false, L"Failed!!(-9)", 0, 30},
        {3, true, -9, false, L"TimeOut!!(-9)", 0, 40},
        {1, false, -12, false, L"The lastest Version!!(-12)", 1, 30},
        {2, false, -11, false, L"Failed!!(-11)", 0, 40},
        {2, false, -1, false, L"Failed!!(-1)", 0, 40},
        {2, false, 0, true, L"Pass!!", 1, 40},
        {2, false, 1, true, L"Pass!!", 1, 40},
    };
    for (const Row& r : rows) {
        const app::ResultLine line = app::FinalResultLine(r.hubs, r.timedOut, r.code, r.allPass);
        EXPECT_EQ(line.text, r.text);
        EXPECT_EQ(line.colour, r.colour) << r.text;
        EXPECT_EQ(line.height, r.height) << r.text;
    }
}

TEST(RunResults, ExitCodeTable) {
    const std::pair<int, const wchar_t*> rows[] = {
        {0, L"the run passed"},
        {-11, L"a hub's table or firmware could not be written"},
        {-13, L"more hubs than the tool can update at once"},
        {18, L"the dialog was closed"},
    };
    for (const auto& [code, text] : rows) EXPECT_EQ(app::ExitCodeMeaning(code), text);
    for (int code = -20; code <= 1; ++code) {
        const bool known = code >= -13 || code == -20;
        EXPECT_EQ(!app::ExitCodeMeaning(code).empty(), known) << code;
    }
    EXPECT_TRUE(app::ExitCodeMeaning(2).empty());
}

// --- the overall bar's tick
TEST(RunResults, MainBarTickByStatus) {
    struct Row {
        app::BYTE status, allPass;
        int pos;
        int newPos;
        std::optional<app::COLORREF> colour;
        bool stop;
        std::uint32_t sleep;
    };
    const Row rows[] = {
        {app::MAIN_THREAD_START, 0, 0, 1, {}, false, 0},
        {app::MAIN_THREAD_SCAN_DONE, 0, 99, 100, {}, false, 0},
        {app::MAIN_THREAD_PROCEED, 0, 100, 0, {}, false, 0},  // wraps
        {app::MAIN_THREAD_SCANNING, 0, 41, 42, {}, false, 0},
        {app::MAIN_THREAD_LATEST, 1, 7, 8, {}, false, 0},
        {app::MAIN_THREAD_PROMPT, 0, 57, 0, {}, false, 200},
        {app::MAIN_THREAD_FINISH, 1, 33, 100, app::kColourGreen, true, 0},
        {app::MAIN_THREAD_FINISH, 0, 33, 100, app::kColourRed, true, 0},
    };
    for (const Row& r : rows) {
        app::CMainBarAnimator a;
        const app::MainBarStep s = a.Tick(r.status, r.allPass, r.pos, false);
        EXPECT_EQ(s.pos, r.newPos) << int(r.status);
        EXPECT_EQ(s.colour, r.colour) << int(r.status);
        EXPECT_EQ(s.stopTimer, r.stop) << int(r.status);
        EXPECT_EQ(s.finished, r.stop) << int(r.status);
        EXPECT_EQ(s.sleepMs, r.sleep) << int(r.status);
        EXPECT_TRUE(s.console.empty());
    }
}

TEST(RunResults, ConsoleSearchTickerWipesAfterThirtyCharacters) {
    app::CMainBarAnimator a;
    int pos = 0;
    std::wstring last;
    for (int tick = 1; tick <= 21; ++tick) {
        const app::MainBarStep s = a.Tick(app::MAIN_THREAD_SCANNING, 0, pos, true);
        EXPECT_EQ(s.console, L"Search Hub" + std::wstring(tick, L'.') + L"\r") << tick;
        EXPECT_EQ(s.sleepMs, 50u);
        EXPECT_EQ(s.pos, pos + 1);
        pos = s.pos;
    }
    // "Search Hub" and 21 dots is longer than 30: wiped, then one dot again.
    const app::MainBarStep s = a.Tick(app::MAIN_THREAD_SCANNING, 0, pos, true);
    EXPECT_EQ(s.console, L"\r" + std::wstring(56, L' ') + L"\rSearch Hub.\r");
    // Other states print nothing, also under /DOS.
    EXPECT_TRUE(a.Tick(app::MAIN_THREAD_SCAN_DONE, 0, 0, true).console.empty());
}

TEST(RunResults, OnTimerDrivesTheMainBarUntilTheRunEnds) {
    DialogMachine m;
    auto& main = m.dlg->m_MainThreadInfo;
    m.dlg->m_pMainThreadInfo = &main;
    main.ucMainStatus = app::MAIN_THREAD_SCANNING;
    EXPECT_FALSE(m.dlg->OnTimer(2));  // another timer: nothing
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(m.dlg->OnTimer(app::kMainBarTimerId));
    EXPECT_EQ(m.view.BarPos(app::kIdProgressMain), 3);

    main.ucMainStatus = app::MAIN_THREAD_PROMPT;
    const std::uint64_t before = m.sched.MonotonicMs();
    EXPECT_FALSE(m.dlg->OnTimer(app::kMainBarTimerId));
    EXPECT_EQ(m.sched.MonotonicMs() - before, 200u);
    EXPECT_EQ(m.view.BarPos(app::kIdProgressMain), 0);

    main.bAllPass = 1;
    main.ucMainStatus = app::MAIN_THREAD_FINISH;
    EXPECT_TRUE(m.dlg->OnTimer(app::kMainBarTimerId));
    EXPECT_EQ(m.view.BarPos(app::kIdProgressMain), 100);
    EXPECT_EQ(m.view.BarColour(app::kIdProgressMain), app::kColourGreen);
    EXPECT_TRUE(m.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::OnTimer", L"main  Finish!!!  "));
}

// --- hub rows and bars
TEST(RunResults, HubRowsShowOnlyTheHubsThatHaveARow) {
    for (int n : {0, 1, 3, 5, 6, 8}) {
        DialogMachine m;
        m.SetHubs(n);
        m.dlg->m_devList.rows[0].m_strFWVersion = L"120621000000";
        m.dlg->vShowHubInfo(static_cast<app::BYTE>(n));
        const bool rowsShown = n >= 1 && n <= 5;
        for (int r = 0; r < app::kRunViewRows; ++r) {
            const bool shown = rowsShown && r < n;
            for (RowPart part : {RowPart::Label, RowPart::Speed, RowPart::Version, RowPart::Bar})
                EXPECT_EQ(m.view.Row(r, part).visible, shown) << n << " row " << r;
            if (shown) {
                EXPECT_EQ(m.view.Row(r, RowPart::Version).text, r == 0 ? L"120621000000" : L"140415030000");
                EXPECT_EQ(m.view.Row(r, RowPart::Speed).text, r % 2 ? L"USB 2.0" : L"USB 3.0");
            }
        }
        EXPECT_EQ(m.HasRecord(L"ERR", L"CMy262FWUpgradeToolDlg::vShowHubInfo", L" ucHubNum Invalid"), !rowsShown)
            << n;

        // All bars: only the rows that exist, all full in the colour.
        m.dlg->vSetAllProgressColor(app::kColourRed);
        for (int r = 0; r < app::kRunViewRows; ++r) {
            const bool coloured = r < n;
            EXPECT_EQ(m.view.Row(r, RowPart::Bar).barColour.has_value(), coloured) << n << " row " << r;
            EXPECT_EQ(m.view.Row(r, RowPart::Bar).barPos, coloured ? 100 : 0) << n << " row " << r;
        }
        // Row helpers ignore hubs 5..7.
        m.dlg->vSetHubBarPos(7, 50);
        m.dlg->vSetHubVersionText(5, L"x");
        m.dlg->vSetHubBarColor(6, app::kColourGreen);
        EXPECT_TRUE(m.view.Failures().empty());
    }
}

TEST(RunResults, StatusLineTakesColourAndHeight) {
    DialogMachine m;
    m.dlg->vShowUpddateResult(L"Search Target Hub...", 3, 34);
    EXPECT_EQ(m.view.GetStatus().text, L"Search Target Hub...");
    EXPECT_EQ(m.view.GetStatus().colour, app::kColourBlue);
    EXPECT_EQ(m.view.GetStatus().fontHeight, 34);
}

// --- the exit code leaves through the view, never from the caller's thread
struct ExitRow {
    bool silent, autoMode, help, console;
    bool exits;
    const wchar_t* console_text;
};

void PrintTo(const ExitRow& r, std::ostream* os) {
    *os << (r.silent ? "/SILENT " : "") << (r.autoMode ? "/A " : "") << (r.help ? "/? " : "")
        << (r.console ? "/DOS " : "") << (r.exits ? "exits" : "stays");
}

class ExitCode : public testing::TestWithParam<ExitRow> {};

TEST_P(ExitCode, StoresTheCodeAndEndsUnattendedRuns) {
    const ExitRow& row = GetParam();
    DialogMachine m;
    int removed = 0;
    m.dlg->m_pfnRemoveBinFiles = [&] { ++removed; };
    m.dlg->m_bSilentMode = row.silent;
    m.dlg->m_bAutoMode = row.autoMode;
    m.dlg->m_bShowHelp = row.help;
    m.dlg->m_bConsoleMode = row.console;
    m.dlg->SetExitcode(-7);
    EXPECT_EQ(m.dlg->m_iRet.load(), -7);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(m.dlg->m_bExitRequested.load(), row.exits);
    EXPECT_EQ(m.view.ExitRequests(), row.exits ? std::vector<int>{-7} : std::vector<int>{});
    EXPECT_EQ(m.view.ConsoleText(), row.console_text);
    EXPECT_EQ(m.view.ConsoleFocusCount(), *row.console_text ? 1 : 0);
    EXPECT_TRUE(m.HasRecord(L"MSG", L"CMy262FWUpgradeToolDlg::SetExitcode", L" iExitcode[ -7]"));
}

INSTANTIATE_TEST_SUITE_P(Modes, ExitCode,
                         testing::Values(ExitRow{false, false, false, false, false, L""},
                                         ExitRow{true, false, false, false, true, L""},
                                         ExitRow{false, true, false, false, true, L""},
                                         ExitRow{false, false, true, false, true, L""},
                                         ExitRow{false, false, false, true, true, L"\n"},
                                         ExitRow{true, false, false, true, true, L""}));

TEST(RunResults, RunMessageLastWriterWins) {
    DialogMachine m;
    m.dlg->SetRunMessage(L"the 1th Hub is not ready!!!");
    m.dlg->SetRunMessage(L"Hub[0] No responesed, Time out!!!");
    EXPECT_EQ(m.dlg->GetRunMessage(), L"Hub[0] No responesed, Time out!!!");
}

}  // namespace
