// The command-line switches on a simulated machine: one table of command
// lines with everything each one leaves behind (flags, values, filters,
// control texts, console, what no switch took, the exit and its messages),
// the usage text, the message-box rule of the file check and the console.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "DialogMachine.h"
#include "SwitchLines.h"
#include "app/Switches.h"
#include "hubaccess/DebugLog.h"
#include "sim/SimConsole.h"

namespace {

using app::BOOL;
using app::BYTE;
using app::CMy262FWUpgradeToolDlg;

constexpr wchar_t kEmbeddedName[] = L"140415_03_E5_00.bin";

class RecordingServices : public app::SwitchServices {
public:
    explicit RecordingServices(CMy262FWUpgradeToolDlg& dlg, sim::SimFiles& files, bool imageNamed = true)
        : dlg_(dlg), files_(files), imageNamed_(imageNamed) {}

    BOOL vExtractBinFiles() override {
        log += L"extract; ";
        if (!imageNamed_) return 0;
        dlg_.m_strFWBinFile = kEmbeddedName;
        files_.PutFile(std::wstring(L"C:\\Tool\\") + kEmbeddedName, {1, 2, 3});
        return 1;
    }
    void HideDialog() override { log += L"hide; "; }
    void vOpenConsoleWindow() override { log += L"console; "; }

    std::wstring log;

private:
    CMy262FWUpgradeToolDlg& dlg_;
    sim::SimFiles& files_;
    bool imageNamed_;
};

struct Parsed {
    std::wstring summary;
    app::SwitchOutcome outcome;
};

// A machine whose program directory C:\Tool holds a few firmware files, with
// the VID filter "7A7D" the INI would give, and a fresh dialog.
struct Bench {
    Bench() : dlg(*m.dlg) {
        for (const wchar_t* name : {L"FW.BIN", L"CONFIG_120621_000000.BIN", L"SUB\\X_1.BIN", L"IMAGE.BIN",
                                    L"ABC.BIN", L"CONFIG_X.BIN", L"UN\\X.BIN"})
            m.files.PutFile(std::wstring(L"C:\\Tool\\") + name, {1});
        m.utility->m_strVID_Indetify = L"7A7D";
    }

    // Parses `cmd`; the summary lists what the parse left behind.

    Parsed Parse(const std::wstring& cmd, bool imageNamed = true) {
        dlg.g_strInitCmd = cmd;
        RecordingServices services(dlg, m.files, imageNamed);
        g_nMessageLevel = 0;
        Parsed p;
        p.outcome = app::ParseSwitches(dlg, *m.utility, services);
        const int level = g_nMessageLevel;
        g_nMessageLevel = 3;  // as the machine keeps it
        std::wstring s;
        const auto flag = [&](BYTE f, const wchar_t* name) {
            if (f) s += std::wstring(name) + L" ";
        };
        flag(dlg.m_bShowHelp, L"?");
        flag(dlg.m_bConsoleMode, L"DOS");
        flag(dlg.m_bMPMode, L"MP");
        flag(dlg.m_bSilentMode, L"SILENT");
        flag(dlg.m_bAutoMode, L"A");
        flag(dlg.m_bOutputVerFile, L"O");
        flag(dlg.m_bKeepFilterDriver, L"UN");
        flag(dlg.m_bCompareSN, L"I");
        flag(dlg.m_bExportFW, L"E");
        flag(dlg.m_bCheckFWVersion, L"C");
        flag(dlg.m_bUpdateFW, L"U");
        flag(m.utility->m_bCheckManuString, L"MSTR");
        if (dlg.m_ucMsgThreshold) s += L"quiet ";
        const auto value = [&](const wchar_t* name, const std::wstring& v) {
            if (!v.empty()) s += std::wstring(name) + L"=" + v + L" ";
        };
        if (m.utility->m_strVID_Indetify != L"7A7D") value(L"vid", m.utility->m_strVID_Indetify + L"|");
        value(L"p3", m.utility->m_strPID30_Indetify);
        value(L"p2", m.utility->m_strPID20_Indetify);
        value(L"mstr", m.utility->m_strManuString_Indetify);
        value(L"chk", dlg.m_strChkFWVer);
        value(L"path", m.utility->m_strFWBinFilePath);
        value(L"ver", dlg.m_strCurFileFWVer);
        if (level) s += L"dbg=" + std::to_wstring(level) + L" ";
        s += L"| " + services.log;
        for (const auto& e : m.view.Events())
            if (e.kind == sim::FakeRunView::EventKind::ControlText)
                s += std::to_wstring(e.id) + L"=" + e.text + L"; ";
        s += L"rest=[" + p.outcome.remaining + L"]";
        if (p.outcome.exit) {
            s += L" exit=" + std::to_wstring(p.outcome.exit->code);
            if (!p.outcome.exit->consoleText.empty())
                s += p.outcome.exit->consoleText == app::BuildUsageText(dlg.g_strInitCmd) ? L" +console usage"
                                                                                          : L" +console ?";
            for (const auto& msg : p.outcome.exit->messages)
                s += msg.type == app::kMsgQuestion ? std::wstring(L" +usage") : L" +" + msg.text;
        }
        p.summary = s;
        return p;
    }

    testing_machine::DialogMachine m;
    CMy262FWUpgradeToolDlg& dlg;
};

class SwitchesTest : public ::testing::Test, protected Bench {};

struct Row {
    const wchar_t* cmd;
    const wchar_t* expected;
};

void PrintTo(const Row& row, std::ostream* os) { *os << ::testing::PrintToString(row.cmd); }

const Row kRows[] = {
    // --- no mode switch: an update with the embedded image
    {L"", L"U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/silent /a",
     L"SILENT A U quiet path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | hide; extract; rest=[ ]"},
    {L"/A/SILENT",
     L"SILENT A U quiet path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | hide; extract; rest=[]"},
    {L"/DBG 3", L"U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 dbg=3 | extract; rest=[]"},
    {L"/DBG 3 /DOS /A",
     L"DOS A U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 dbg=3 | console; extract; rest=[ ]"},
    {L"/MP", L"MP U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/UN", L"UN U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/N 5", L"U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/VID 2109 /SILENT",
     L"SILENT U quiet vid=2109| path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | hide; extract; rest=[ ]"},
    {L"/P3 0611", L"U p3=0611 path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/P2 0610", L"U p2=0610 path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/MSTR Acme /A",
     L"A U MSTR mstr=ACME path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/MSTR ACME/INC /A",
     L"A U MSTR mstr=ACME/INC path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/MSTR X/AB",
     L"U MSTR mstr=X/AB path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/MSTR ACME/I", L"I MSTR mstr=ACME | 1034=Compare Serial Number:; rest=[]"},
    // --- /U: named files, relative and absolute
    {L"/U FW.BIN", L"U path=C:\\Tool\\FW.BIN ver=FW | extract; rest=[]"},
    {L"/u ./fw.bin /silent", L"SILENT U quiet path=C:\\Tool\\FW.BIN ver=FW | hide; extract; rest=[ ]"},
    {L"/U C:\\FW\\ABC.BIN", L"U path=C:\\FW\\ABC.BIN | extract; rest=[]"},
    {L"/U \"C:\\My FW\\A.BIN\" /A", L"A U path=C:\\MY FW\\A.BIN | extract; rest=[ ]"},
    {L"/U CONFIG_120621_000000.BIN /MP",
     L"MP U path=C:\\Tool\\CONFIG_120621_000000.BIN ver=120621000000 | extract; rest=[ ]"},
    {L"/U SUB\\X_1.BIN", L"U path=C:\\Tool\\SUB\\X_1.BIN ver=SUB\\X1 | extract; rest=[]"},
    {L"/U", L"U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/U /SILENT",
     L"SILENT U quiet path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | hide; extract; rest=[]"},
    {L"/SILENT /U FW.BIN", L"SILENT U quiet path=C:\\Tool\\FW.BIN ver=FW | hide; extract; rest=[ ]"},
    // --- the letters of a path never turn on another switch
    {L"/U ./IMAGE.BIN", L"U path=C:\\Tool\\IMAGE.BIN ver=IMAGE | extract; rest=[]"},
    {L"/U ./ABC.BIN /SILENT", L"SILENT U quiet path=C:\\Tool\\ABC.BIN ver=ABC | hide; extract; rest=[ ]"},
    {L"/U C:/EXPORT/CONFIG_X.BIN /O",
     L"O U path=C:/EXPORT/CONFIG_X.BIN | extract; 1034=Output Hub Version:; rest=[ ]"},
    {L"/UN /U FW.BIN", L"UN U path=C:\\Tool\\FW.BIN ver=FW | extract; rest=[ ]"},
    // --- the other modes
    {L"/O", L"O | 1034=Output Hub Version:; rest=[]"},
    {L"/I /SILENT /A", L"SILENT A I quiet | hide; 1034=Compare Serial Number:; rest=[  ]"},
    {L"/E", L"E | rest=[]"},
    {L"/C 120621_000000 /SILENT",
     L"SILENT C quiet chk=120621000000 | hide; 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    {L"/C 120621000000/A",
     L"A C chk=120621000000 | 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    // --- /?, /DOS alone
    {L"/? /SILENT", L"? | rest=[ ] exit=0 +usage"},
    {L"/DOS", L"DOS | console; rest=[] exit=0"},
    {L"/DBG 3 /DOS", L"DOS dbg=3 | console; rest=[] exit=0"},
    {L"/DOS /UN", L"DOS UN U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | console; extract; rest=[ ]"},
    // --- refusals
    {L"/P3 0611 /P2 0610", L"| rest=[ ] exit=-10 +You can not check /P3 /P2 at the same time!!! "},
    // refused in the table's order, whatever the order on the line
    {L"/C 1206 /E /P3 0611 /P2 0610",
     L"| rest=[ ] exit=-10 +You can not check /P3 /P2 at the same time!!! "},
    {L"/C 1206", L"C | 1034=Check FW Version:; rest=[] exit=-10 +Please Input Correctly FW Version!!!  +usage"},
    {L"/C", L"C | 1034=Check FW Version:; rest=[] exit=-10 +Please Input Correctly FW Version!!!  +usage"},
    {L"/DOS /C 1206 /A", L"DOS A C | console; 1034=Check FW Version:; rest=[ ] exit=-10 +Please Input Correctly FW Version!!! "},
    {L"/E /U X.BIN", L"E | extract; rest=[] exit=-10 +Export FW  and Update FW can not be enabled at the same time!!"},
    {L"/U FIRMWARE /A", L"A U | extract; rest=[] exit=-10 +Input FW File is not exist!!!  +usage"},
    {L"/U MISSING.BIN", L"U path=C:\\Tool\\MISSING.BIN | extract; rest=[] exit=-10 +Input FW File is not exist!!!  +usage"},
    // --- switches written as scripts write them: without blanks, values at once
    {L"/U/SILENT/A",
     L"SILENT A U quiet path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | hide; extract; rest=[]"},
    {L"/A/SILENT/U",
     L"SILENT A U quiet path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | hide; extract; rest=[]"},
    {L"/UC:\\X.BIN", L"U path=C:\\X.BIN | extract; rest=[]"},
    {L"/C120621000000", L"C chk=120621000000 | 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    {L"/C 120621_000000/A", L"A C chk=120621000000 | 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    {L"/MSTRACME /A",
     L"A U MSTR mstr=ACME path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/VID2109", L"U vid=2109| path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/VID 2109/A",
     L"A U vid=2109| path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/DBG 3/DOS", L"DOS dbg=3 | console; rest=[] exit=0"},
    // --- text inside a value never turns on a switch
    {L"/U ./UN/X.BIN /UN", L"UN U path=C:\\Tool\\UN/X.BIN ver=UN/X | extract; rest=[ ]"},
    {L"/MSTR ACME/UK /A",
     L"A U MSTR mstr=ACME/UK path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/U C:\\MY FILES\\FW.BIN /SILENT",
     L"SILENT U quiet path=C:\\MY FILES\\FW.BIN | hide; extract; rest=[ ]"},
    {L"/U ./ABC.BIN", L"U path=C:\\Tool\\ABC.BIN ver=ABC | extract; rest=[]"},
    {L"/U ./CONFIG_X.BIN", L"U path=C:\\Tool\\CONFIG_X.BIN ver=X | extract; rest=[]"},
    // --- /? with /DOS anywhere: the usage on the console, no box
    {L"/DOS /?", L"? DOS | console; rest=[ ] exit=0 +console usage"},
    {L"/? /DOS", L"? DOS | console; rest=[ ] exit=0 +console usage"},
    // --- a VID or PID not of four hexadecimal digits: the usage, -10
    {L"/P3", L"| rest=[] exit=-10 +usage"},
    {L"/SILENT /P2 06", L"SILENT quiet p2=06 | hide; rest=[ ] exit=-10 +usage"},
    {L"/VID 21", L"vid=21| | rest=[] exit=-10 +usage"},
    {L"/VID", L"vid=| | rest=[] exit=-10 +usage"},
    // --- each value ends where its own form ends: a switch after it is never swallowed
    {L"/DBG 3 /C120621000000", L"C chk=120621000000 dbg=3 | 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    {L"/DBG3/C120621000000", L"C chk=120621000000 dbg=3 | 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    {L"/SILENT /A /DBG 3 /UC:\\FW\\NEW.BIN",
     L"SILENT A U quiet path=C:\\FW\\NEW.BIN dbg=3 | hide; extract; rest=[  ]"},
    {L"/N 1 /VID2109 /A",
     L"A U vid=2109| path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[ ]"},
    {L"/MSTR ACME /C120621000000",
     L"C MSTR mstr=ACME chk=120621000000 | 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    {L"/MSTR ACME /DBG3",
     L"U MSTR mstr=ACME path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 dbg=3 | extract; rest=[]"},
    {L"/DBG 3 /MSTRACME",
     L"U MSTR mstr=ACME path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 dbg=3 | extract; rest=[]"},
    {L"/MSTR ACME/U C:\\X.BIN", L"U MSTR mstr=ACME path=C:\\X.BIN | extract; rest=[]"},
    {L"/U /DBG3", L"U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 dbg=3 | extract; rest=[]"},
    {L"/VID2109/UC:\\X.BIN", L"U vid=2109| path=C:\\X.BIN | extract; rest=[]"},
    {L"/VID2109/A", L"A U vid=2109| path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/VID 21 /A", L"A vid=21| | rest=[ ] exit=-10 +usage"},
    {L"/VID  2109/A", L"A U vid=2109| path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/VID/A", L"A vid=| | rest=[] exit=-10 +usage"},
    {L"/C 120621000000 /VID2109",
     L"C vid=2109| chk=120621000000 | 1034=Check FW Version:; 1005=120621000000; rest=[]"},
    {L"/P30611", L"U p3=0611 path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    // --- a file name left over without its /U: refused before the image is extracted
    {L"/SILENT FW.BIN", L"SILENT quiet | hide; rest=[ FW.BIN] exit=-10 +Please Input FW File!!!  +usage"},
    {L"/UNEWFW.BIN", L"UN | rest=[EWFW.BIN] exit=-10 +Please Input FW File!!!  +usage"},
    {L"/DOS /A C:\\FW\\NEW.BIN", L"DOS A | console; rest=[  C:\\FW\\NEW.BIN] exit=-10 +Please Input FW File!!! "},
    {L"/SILENT FW.BIN.OLD NOTE", L"SILENT quiet | hide; rest=[ FW.BIN.OLD NOTE] exit=-10 +usage"},
    // after the refusals of the steps before it, before the export conflict
    {L"/C 1206 /A FW.BIN",
     L"A C | 1034=Check FW Version:; rest=[ FW.BIN] exit=-10 +Please Input Correctly FW Version!!!  +usage"},
    {L"/E /U X.BIN FW.BIN", L"E | rest=[ FW.BIN] exit=-10 +Please Input FW File!!!  +usage"},
    // --- each value what its switch takes; values a script may write that are
    {L"/VID 2a7d /U \"\"", L"U vid=2A7D| path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[ ]"},
    {L"/DBG 1F /MSTR \"Acme Inc\" /A",
     L"A U MSTR mstr=ACME INC path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 dbg=31 | extract; rest=[]"},
    {L"/DBG /A", L"A U path=C:\\Tool\\140415_03_E5_00.bin ver=14041503E500 | extract; rest=[]"},
    {L"/C 12062100000G", L"C chk=12062100000G | 1034=Check FW Version:; 1005=12062100000G; rest=[]"},
    {L"/E 1", L"E | rest=[]"},
    {L"/E 1 X", L"E | rest=[] exit=-10 +usage"},
    // --- /U's value ends where a switch stands between blanks
    {L"/U C:\\PROGRAM FILES\\ACME /A\\FW.BIN", L"U path=C:\\PROGRAM FILES\\ACME /A\\FW.BIN | extract; rest=[]"},
    {L"/U C:\\FW /SILENT /A C:\\X.BIN",
     L"SILENT A quiet | hide; rest=[  C:\\X.BIN] exit=-10 +Please Input FW File!!!  +usage"},
    {L"/U C:\\FW /SILENT /A", L"SILENT A U quiet | hide; extract; rest=[ ] exit=-10 +Input FW File is not exist!!!  +usage"},
    // --- text no switch took: refused with the usage in every mode, after the
    // refusals of the table's own steps; a file name first
    {L"/O -?", L"O | 1034=Output Hub Version:; rest=[ -?] exit=-10 +usage"},
    {L"/DOS /HELP", L"DOS | console; rest=[ /HELP] exit=-10"},
    {L"/? FOO", L"? | rest=[ FOO] exit=0 +usage"},
    {L"/DBG X /DOS", L"DOS | console; rest=[] exit=0"},
    {L"/P3 0611 /P2 0610 FW.BIN", L"| rest=[  FW.BIN] exit=-10 +You can not check /P3 /P2 at the same time!!! "},
    {L"/VID 21 /HELP FW.BIN", L"vid=21| | rest=[ /HELP FW.BIN] exit=-10 +Please Input FW File!!!  +usage"},
};

class SwitchTable : public ::testing::TestWithParam<Row> {};

TEST_P(SwitchTable, CommandLineLeavesItsFlagsValuesAndExit) {
    Bench bench;
    EXPECT_EQ(bench.Parse(GetParam().cmd).summary, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Switches, SwitchTable, ::testing::ValuesIn(kRows));

// Generated command lines (see SwitchLines.h) read back every switch and
// value they were written with, in order, and leave nothing else behind;
// those written with faults are refused as their writer expects.
TEST(SwitchReading, GeneratedLinesReadBackEverySwitchAndValue) {
    const char* full = std::getenv("FW_FULL_SWEEP");
    const int count = full != nullptr && std::string(full) == "1" ? 1000000 : 20000;
    std::mt19937_64 rng(0x5717C4E5);
    const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    switch_lines::LineParser parser;
    int misread = 0, faulty = 0;
    std::wstring first;
    for (int i = 0; i < count; ++i) {
        const switch_lines::Line line = switch_lines::WriteLine(pick);
        faulty += line.verdict != switch_lines::Verdict::kRead;
        const std::wstring what = switch_lines::Misreading(line, parser);
        if (!what.empty() && ++misread == 1) first = what;
    }
    EXPECT_EQ(misread, 0) << "of " << count << ", first: " << ::testing::PrintToString(first);
    EXPECT_GT(faulty, count / 5);
}

// What the reading did not understand is named in an error record; a value
// its switch does not take is judged before the text no switch took.
TEST_F(SwitchesTest, RefusedTextIsNamedInTheLog) {
    const wchar_t kInit[] = L"CMy262FWUpgradeToolDlg::OnInitDialog";
    Parse(L"/DBG 1 /A -? /HELP");
    EXPECT_TRUE(m.sink.HasRecord(L"ERR", kInit, L" Not a switch: [-? /HELP]"));
    Bench order;
    order.Parse(L"/DBG 1 /VID 21 -?");
    EXPECT_TRUE(order.m.sink.HasRecord(L"ERR", kInit, L" /VID does not take [21]"));
    EXPECT_FALSE(order.m.sink.Contains(L"Not a switch"));
}

TEST_F(SwitchesTest, NoEmbeddedImageNameAndNoFileIsRefused) {
    EXPECT_EQ(Parse(L"/SILENT", false).summary,
              L"SILENT U quiet | hide; extract; rest=[] exit=-10 +Please Input FW File!!!  +usage");
}

TEST_F(SwitchesTest, CommandTextIsStoredCleanAndShownByTheUsage) {
    const Parsed p = Parse(L"/C \"12\" /u \"a b\"");
    EXPECT_EQ(dlg.g_strInitCmd, L"/C 12 /U A B");
    ASSERT_TRUE(p.outcome.exit);
    ASSERT_EQ(p.outcome.exit->messages.size(), 2u);
    EXPECT_EQ(p.outcome.exit->messages[1].text, app::BuildUsageText(L"/C 12 /U A B"));
    EXPECT_EQ(p.outcome.exit->messages[1].type, app::kMsgQuestion);
    EXPECT_EQ(p.outcome.exit->messages[0].type, app::kMsgError);
}

TEST_F(SwitchesTest, MissingRelativeFileShowsTheUtilityBoxOnlyInteractively) {
    Parse(L"/U GONE.BIN");
    ASSERT_EQ(m.ui.Messages().size(), 1u);
    EXPECT_EQ(m.ui.Messages()[0].text, L"C:\\Tool\\GONE.BIN File/Path Not Exist");
    for (const wchar_t* unattended : {L"/U GONE.BIN /SILENT", L"/DOS /U GONE.BIN"}) {
        Bench bench;
        const Parsed p = bench.Parse(unattended);
        ASSERT_TRUE(p.outcome.exit);
        EXPECT_EQ(p.outcome.exit->code, -10);
        EXPECT_TRUE(bench.m.ui.Messages().empty()) << ::testing::PrintToString(unattended);
    }
}

TEST(Switches, UsageTextIsTheToolsOwn) {
    const std::wstring golden =
        L"262FWUpgradeTool.exe 2, 4, 1, 6\r\n"
        L"Your Input: /X\r\n"
        L"Usage: 262FWUpgradeTool.exe  [/? | | /SILENT  | /MP | /A | /O | /VID | /U file | /C [version] |/P3 PID "
        L"| /P2 PID | /MSTR [M string]| /N | /UN |/DBG ] \r\n"
        L"OPTIONS\r\n"
        L" /?\tDisplay help message.\r\n"
        L" /SILENT\tSilent Install -- do not show any message and button operaions\r\n"
        L" /MP\tMP Version -- do not check firmware \r\n"
        L" /A\tAuto Mode--  do not Need to press confirm \"OK\" button \r\n"
        L" /O\tOutput version text file \r\n"
        L" /VID\t [VID]\tassign target VID Hubs \r\n"
        L" /C\t [FW version]Check Firmware Version\r\n"
        L" /E\t [Target Number]\tExport SPI-ROM in VTL262xFW.bin file\r\n"
        L" /U [file]\t update FW \r\n"
        L" /MSTR [M string]\tassign target Hub's Manufacturing string  \r\n"
        L" /P3 [U3 PID]\tassign target USB 3.0 PID Hubs  \r\n"
        L" /P2 [U2 PID]\tassign target USB 2.0 PID Hubs  \r\n"
        L" /N [No.]\tSet Hubs Humber \r\n"
        L" /UN\t Do not unstaill Filter Driver after program finished. \r\n"
        L" /DBG \tSet Message Level \r\n"
        L" /DOS \tEnable Console Windows \r\n";
    EXPECT_EQ(app::BuildUsageText(L"/X"), golden);
}

TEST_F(SwitchesTest, EndOfProcessShowsItsMessagesRemovesTheImageAndAsksForTheExit) {
    int removed = 0;
    dlg.m_pfnRemoveBinFiles = [&] { ++removed; };
    m.view.ScriptAnswer(app::kIdOk, L"Please Input Correctly FW Version");
    m.view.ScriptAnswer(app::kIdOk, L"Usage: 262FWUpgradeTool.exe");
    const Parsed p = Parse(L"/C 1206");
    ASSERT_TRUE(p.outcome.exit);
    app::vEndProcess(dlg, *p.outcome.exit);
    const auto boxes = m.view.Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, L"Error");
    EXPECT_EQ(boxes[0].flags, app::kMbIconError);
    EXPECT_EQ(boxes[1].caption, L"Question");
    EXPECT_EQ(boxes[1].flags, app::kMbIconQuestion);
    EXPECT_EQ(m.view.ExitRequests(), std::vector<int>{-10});
    EXPECT_EQ(dlg.m_iRet, -10);
    EXPECT_TRUE(dlg.m_bExitRequested);
    EXPECT_EQ(removed, 1);

    // Under /DOS nothing is shown; the end is the same.
    Bench console;
    console.dlg.m_pfnRemoveBinFiles = [&] { ++removed; };
    const Parsed c = console.Parse(L"/DOS /C 1206");
    ASSERT_TRUE(c.outcome.exit);
    app::vEndProcess(console.dlg, *c.outcome.exit);
    EXPECT_TRUE(console.m.view.Boxes().empty());
    EXPECT_EQ(console.m.view.ExitRequests(), std::vector<int>{-10});
    EXPECT_EQ(removed, 2);
}

TEST(Switches, ConsoleOpensWithStdoutBound) {
    sim::SimConsole console;
    app::vOpenConsoleWindow(console);
    EXPECT_EQ(console.Allocations(), 1);
    EXPECT_TRUE(console.StdoutBound());
}

}  // namespace
