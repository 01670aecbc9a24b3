// The run's initialisation on a simulated machine: the failure rows with
// their exit codes and clean-up, the driver check, the INI's filters, the
// single-instance rule.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PayloadMachine.h"
#include "app/DialogFrame.h"
#include "app/RunInit.h"
#include "app/RunResults.h"
#include "hubaccess/AsciiText.h"
#include "sim/FakeRunView.h"
#include "sim/SimConsole.h"

namespace {

using testing_machine::Bytes;
using testing_machine::PayloadMachine;

constexpr wchar_t kClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";
constexpr wchar_t kDriverFile[] = L"C:\\Windows\\system32\\drivers\\revodereriri.sys";
constexpr wchar_t kImage[] = L"C:\\Tool\\140415_03_E5_00.bin";
constexpr wchar_t kDevcon[] = L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW\\FilterDriver\\devcon.exe";
constexpr wchar_t kProgramDevcon[] = L"C:\\Tool\\devcon.exe";
constexpr wchar_t kIni[] = L"C:\\Tool\\VTL262xFWUpg.ini";

class RecordingServices : public app::RunInitServices {
public:
    explicit RecordingServices(app::CPayload& payload) : payload_(payload) {}
    hubaccess::BOOL vExtractBinFiles() override { return payload_.vExtractBinFiles(); }
    void HideDialog() override { log += L"hide; "; }
    void vOpenConsoleWindow() override { log += L"console; "; }
    void vSetupDialogControls() override { log += L"controls; "; }
    void SendStart() override { log += L"start; "; }
    std::wstring log;

private:
    app::CPayload& payload_;
};

std::string EmbeddedIni() {
    const auto bytes = testing_machine::ReadHostFile(FW_RES_DIR "/VTL262xFWUpg.ini");
    return std::string(bytes.begin(), bytes.end());
}

struct InitMachine : PayloadMachine {
    explicit InitMachine(const std::wstring& command, const std::string& ini = EmbeddedIni()) {
        ports.console = &console;
        payload.reset();
        utility = std::make_unique<hubaccess::CHubUtility>(ports);
        utility->m_szModuleDirectory = L"C:\\Tool";
        payload = std::make_unique<app::CPayload>(*utility, dialog);
        services = std::make_unique<RecordingServices>(*payload);
        resources.AddText(L"INI", 138, ini);
        files.MakeDirectory(L"C:\\Windows\\system32\\drivers");
        dialog.m_pRunView = &view;
        dialog.m_pfnRemoveBinFiles = [this] { payload->vRemoveBinFiles(); };
        dialog.g_strInitCmd = command;
        processes.SetCurrentProcessId(4242);
        processes.AddProcess(4242, L"262FWUpgradeTool.exe");
        // The INF installer registers the filter and copies a driver file
        // of `installVersion`; the uninstall batch removes both.
        launcher.SetProgram([this](const sim::ProcessCall& call) -> std::uint32_t {
            if (call.commandLine.find(L"DefaultInstall") != std::wstring::npos) {
                ++installs;
                if (installRegisters) SetDriver(installVersion);
            } else if (call.commandLine.find(L"DeleteRevodereriri") != std::wstring::npos) {
                ++uninstalls;
            }
            return 0;
        });
    }

    void SetDriver(std::uint16_t minor) {
        registry.SetMultiString(kClassKey, L"UpperFilters", {L"VntlFilter"});
        files.PutFile(kDriverFile, Bytes("driver"));
        os.SetFileVersion(kDriverFile, 1, 0, minor, 0);
    }
    int Init() {
        const int rc = app::OnInitDialogRun(dialog, *utility, *payload, ini, *services);
        exits = view.ExitRequests();
        return rc;
    }
    bool NothingLeft() const {
        return payload->ExtractedFiles().empty() && !files.Exists(kIni) && !files.Exists(kImage) &&
               !files.Exists(std::wstring(kPackage) + L"\\revodereriri.inf");
    }

    sim::SimConsole console;
    sim::FakeRunView view;
    app::Ini ini;
    std::unique_ptr<RecordingServices> services;
    std::vector<int> exits;
    int installs = 0;
    int uninstalls = 0;
    bool installRegisters = true;
    std::uint16_t installVersion = 7;
};

struct FailureRow {
    const char* name;
    std::wstring command;
    std::function<void(InitMachine&)> arrange;
    std::vector<const wchar_t*> boxes;  // scripted (interactive) message boxes
    int exitCode;
    int uninstalls;
    bool started;
};

void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }

class RunInitFailures : public ::testing::TestWithParam<FailureRow> {};

TEST_P(RunInitFailures, EndsWithItsCodeAndLeavesNothingBehind) {
    const FailureRow& row = GetParam();
    InitMachine m(row.command);
    if (row.arrange) row.arrange(m);
    for (const wchar_t* box : row.boxes) m.view.ScriptAnswer(app::kIdOk, box);
    m.Init();
    EXPECT_EQ(m.view.PendingAnswers(), 0u);
    EXPECT_TRUE(m.ui.Messages().empty()) << "no box outside the dialog's own";
    EXPECT_TRUE(m.view.Failures().empty()) << (m.view.Failures().empty() ? "" : "unexpected box");
    EXPECT_EQ(m.exits, std::vector<int>{row.exitCode});
    EXPECT_EQ(m.dialog.m_iRet.load(), row.exitCode);
    EXPECT_EQ(m.view.Get(app::kIdStaticStatus).text, L"Failed!!");
    EXPECT_EQ(m.uninstalls, row.uninstalls);
    EXPECT_EQ(m.services->log.find(L"start") != std::wstring::npos, row.started);
    EXPECT_TRUE(m.NothingLeft());
}

const FailureRow kFailureRows[] = {
    // devcon cannot be written safely (the package folder cannot be locked):
    // -5 right after its one message, also without /SILENT.
    {"DevconNotWritable", L"", [](InitMachine& m) {
         m.SetDriver(7);
         sim::FileFault fault;
         fault.op = sim::FileOp::CreateDirectory;
         fault.path = PayloadMachine::kPackage;
         fault.times = -1;
         m.files.AddFault(fault);
     },
     {L"extra necessary files failed!!"}, app::kExitExtraFiles, 0, false},
    // The INI fails: -5 without a box, nothing of the run done.
    {"IniNotLoadable", L"", [](InitMachine& m) { m.resources.AddText(L"INI", 138, "check_vid=1\r\nbogus=2\r\n"); },
     {}, app::kExitExtraFiles, 0, false},
    // The driver is not registered and its installer cannot be started:
    // forced -20, the package this process wrote is deleted again.
    {"DriverInstallFails", L"", [](InitMachine& m) { m.launcher.FailStarts(2); },
     {L"Please install Vantrel Filter Driver !!"}, app::kExitDriver, 0, false},
    // Installed by this run but the file is not there: unattended -20, and
    // the driver this process installed is uninstalled again.
    {"DriverFileMissingSilent", L"/SILENT /A", [](InitMachine& m) {
         m.installRegisters = false;
     },
     {}, app::kExitDriver, 1, false},
    // The same with /UN: the driver stays.
    {"DriverFileMissingKeep", L"/SILENT /A /UN", [](InitMachine& m) { m.installRegisters = false; },
     {}, app::kExitDriver, 0, false},
    // Registered by someone else, file gone, /DOS: -20, nothing uninstalled.
    {"DriverFileMissingConsole", L"/DOS /U ./X.BIN", [](InitMachine& m) {
         m.registry.SetMultiString(kClassKey, L"UpperFilters", {L"VntlFilter"});
         m.files.PutFile(L"C:\\Tool\\X.BIN", Bytes("image"));
     },
     {}, app::kExitDriver, 0, false},
    // Version 1.0.6.0, reinstallation fails: forced -20 and uninstalled.
    {"OldDriverReinstallFails", L"/SILENT", [](InitMachine& m) {
         m.SetDriver(6);
         m.launcher.FailStarts(5);
     },
     {}, app::kExitDriver, 0, false},
};

INSTANTIATE_TEST_SUITE_P(Rows, RunInitFailures, ::testing::ValuesIn(kFailureRows),
                         [](const auto& info) { return std::string(info.param.name); });

// The user's TEMP holds commands for the command interpreter: devcon, placed
// first, cannot be, so the start-up ends with -5 and nothing is made in the
// temporary folder or started.
TEST(RunInit, TempTheCommandInterpreterWouldSplitEndsWithMinusFiveStartingNothing) {
    InitMachine m(L"/SILENT /A");
    const std::wstring temp = L"C:\\T&cd ..&cd ..&cd ..&mkdir INJECTED-BY-TEMP&rem x\\";
    m.files.SetTempPath(temp);
    m.files.MakeDirectory(temp);
    m.Init();
    EXPECT_EQ(m.exits, std::vector<int>{app::kExitExtraFiles});
    EXPECT_TRUE(m.launcher.Calls().empty());
    std::vector<platform::DirectoryEntry> entries;
    ASSERT_TRUE(m.files.ListDirectory(temp, &entries).ok);
    EXPECT_TRUE(entries.empty());
    EXPECT_TRUE(m.NothingLeft());
}

// An INI that cannot be written fresh ends the start-up with -5 before any
// switch is applied: one box naming the file for an interactive user, none
// under /SILENT or /DOS; no value of the old file is ever used.
TEST(RunInit, IniThatCannotBeWrittenFreshEndsWithMinusFive) {
    const std::string stale = "check_vid=1\r\nvid=FFFF\r\ncheck_U2_only=1\r\n";
    struct Case {
        const wchar_t* command;
        bool readOnlyFolder;  // else an old read-only INI
        bool box;
    };
    for (const Case& c : {Case{L"", false, true}, Case{L"/A", true, true}, Case{L"/SILENT /A", false, false},
                          Case{L"/u/silent/a", true, false}, Case{L"/DOS /U ./X.BIN", false, false}}) {
        SCOPED_TRACE(::testing::PrintToString(c.command));
        InitMachine m(c.command);
        m.SetDriver(7);
        if (c.readOnlyFolder) {
            m.files.AddFault(sim::FileFault{sim::FileOp::Open, kIni, platform::kErrorAccessDenied, false, 0, 0, -1});
        } else {
            m.files.PutFile(kIni, Bytes(stale));
            m.files.SetReadOnly(kIni, true);
        }
        if (c.box) m.view.ScriptAnswer(app::kIdOk, L"Can not write C:\\Tool\\VTL262xFWUpg.ini !!");
        EXPECT_EQ(m.Init(), app::kExitExtraFiles);
        EXPECT_EQ(m.exits, std::vector<int>{app::kExitExtraFiles});
        EXPECT_EQ(m.view.Boxes().size(), c.box ? 1u : 0u);
        EXPECT_EQ(m.view.PendingAnswers(), 0u);
        EXPECT_TRUE(m.ui.Messages().empty());
        EXPECT_EQ(m.view.Get(app::kIdStaticStatus).text, L"Failed!!");
        // Nothing of the old file reached the filters, no switch was applied.
        EXPECT_EQ(m.ini.m_ucCheckVID, 0);
        EXPECT_EQ(m.utility->m_ucCheckSpeedOnly, 0);
        EXPECT_NE(m.utility->m_strVID_Indetify, L"FFFF");
        EXPECT_EQ(m.services->log, L"");
        EXPECT_FALSE(m.files.Exists(kImage));
        if (!c.readOnlyFolder) {
            EXPECT_EQ(m.files.GetFile(kIni), Bytes(stale)) << "someone else's file is kept";
        }
    }
}

// The values come from the embedded text even where the file written from it
// reads back otherwise (changed by another process before the load).
TEST(RunInit, IniValuesAreTheEmbeddedOnesWhateverTheFileReadsBack) {
    InitMachine m(L"/SILENT /A");
    m.SetDriver(7);
    m.files.AddFault(sim::FileFault{sim::FileOp::Read, kIni, platform::kErrorAccessDenied, false, 0, 0, -1});
    EXPECT_EQ(m.Init(), 1);
    EXPECT_TRUE(m.exits.empty());
    EXPECT_EQ(m.utility->m_strVID_Indetify, L"103C");
    EXPECT_EQ(m.utility->m_ucCheckSpeedOnly, 2);
    EXPECT_FALSE(m.files.Exists(kIni));
}

TEST(RunInit, DriverVersionDecidesTheReinstallation) {
    for (std::uint16_t minor : {7, 6}) {
        InitMachine m(L"");
        m.SetDriver(minor);
        m.files.PutFile(kProgramDevcon, Bytes("their devcon"));
        EXPECT_EQ(m.Init(), 1);
        EXPECT_EQ(m.installs, minor == 7 ? 0 : 1) << minor;
        EXPECT_TRUE(m.exits.empty());
        EXPECT_EQ(m.services->log, L"controls; start; ");
        // The run has what it needs: the image, devcon, the default table;
        // the INI is gone.
        EXPECT_TRUE(m.files.Exists(kImage));
        EXPECT_TRUE(m.files.Exists(kDevcon));
        EXPECT_EQ(m.utility->m_strDevconPath, kDevcon);
        EXPECT_EQ(m.File(kProgramDevcon), Bytes("their devcon"));  // neither replaced nor the one run
        EXPECT_FALSE(m.files.Exists(kIni));
        EXPECT_EQ(m.utility->m_strFWBinFilePath.find(L"140415_03_E5_00.bin") != std::wstring::npos, true);
        EXPECT_EQ(m.console.Frees(), 1);
        EXPECT_EQ(m.os.CurrentDirectory(), L"C:\\Tool");
    }
}

TEST(RunInit, InteractiveMissingDriverKeepsTheImageAndGoesOn) {
    InitMachine m(L"");
    m.registry.SetMultiString(kClassKey, L"UpperFilters", {L"VntlFilter"});
    m.view.ScriptAnswer(app::kIdOk, L"Can not find Vantrel Filter Driver !!");
    EXPECT_EQ(m.Init(), 1);
    ASSERT_EQ(m.view.Boxes().size(), 1u);
    EXPECT_EQ(m.view.Boxes()[0].flags & app::kMbIconWarning, app::kMbIconWarning);
    EXPECT_TRUE(m.exits.empty());
    EXPECT_EQ(m.installs, 1);
    EXPECT_TRUE(m.files.Exists(kImage));
    EXPECT_EQ(m.services->log, L"controls; start; ");
}

struct IniRow {
    const char* name;
    std::string ini;
    std::wstring command;
    hubaccess::BYTE speed;
    std::wstring vid;
    std::wstring fw;
    std::wstring customer;
    hubaccess::BYTE start, length, manu;
};

void PrintTo(const IniRow& row, std::ostream* os) { *os << row.name; }

class RunInitIni : public ::testing::TestWithParam<IniRow> {};

TEST_P(RunInitIni, FiltersComeFromTheIniThenTheSwitches) {
    const IniRow& row = GetParam();
    InitMachine m(row.command, row.ini);
    m.SetDriver(7);
    m.utility->m_strPID30_Indetify = L"STALE";
    m.Init();
    EXPECT_TRUE(m.exits.empty());
    EXPECT_EQ(m.utility->m_ucCheckSpeedOnly, row.speed);
    EXPECT_EQ(m.utility->m_strVID_Indetify, row.vid);
    EXPECT_EQ(m.utility->m_strFW_Indetify, row.fw);
    EXPECT_EQ(m.utility->m_strFWCustomerCode_Indetify, row.customer);
    EXPECT_EQ(m.utility->m_ucCustomerCodeStart, row.start);
    EXPECT_EQ(m.utility->m_ucCustomerCodeLength, row.length);
    EXPECT_EQ(m.utility->m_bCheckManuString, row.manu);
    EXPECT_EQ(m.utility->m_strPID30_Indetify, L"");
    EXPECT_FALSE(m.files.Exists(kIni));
}

const IniRow kIniRows[] = {
    {"Embedded", EmbeddedIni(), L"", 2, L"103C", L"", L"", 0, 0, 0},
    {"BothSpeedsTakeU2", "check_U2_only=1\r\ncheck_U3_only=1\r\n", L"", 1, L"7A7D", L"", L"", 0, 0, 0},
    {"U3Only", "check_U3_only=3\r\n", L"", 2, L"7A7D", L"", L"", 0, 0, 0},
    {"CheckVidTwoIsDefault", "check_vid=2\r\nvid=1234\r\n", L"", 0, L"7A7D", L"", L"", 0, 0, 0},
    {"VidSwitchWins", "check_vid=1\r\nvid=1234\r\n", L"/VID ABCD", 0, L"ABCD", L"", L"", 0, 0, 0},
    {"Filters",
     "check_fw_version=1\r\nfw_version=121030000000\r\ncheck_part_of_fw_version=1\r\npart_of_fw_version=37\r\n"
     "start_address_of_part_of_fw_version=8\r\npart_of_fw_version_length=2\r\ncheck_manufacture_string=1\r\n"
     "manufacture_string=VANTREL\r\n",
     L"", 0, L"7A7D", L"121030000000", L"37", 8, 2, 1},
};

INSTANTIATE_TEST_SUITE_P(Rows, RunInitIni, ::testing::ValuesIn(kIniRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RunInit, SingleInstanceEndsTheOtherCopyWithMinusNine) {
    InitMachine m(L"/SILENT");
    m.SetDriver(7);
    // This process comes first in the system's list: it is never the one ended.
    m.processes.SetProcesses({{4242, L"262FWUpgradeTool.exe"}, {17, L"other.exe"}, {99, L"262FWUpgradeTool.exe"}});
    m.Init();
    const auto kills = m.processes.Terminations();
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0].pid, 99u);
    EXPECT_EQ(static_cast<int>(kills[0].exitCode), -9);
    EXPECT_TRUE(m.processes.IsRunning(4242));
    EXPECT_EQ(m.services->log, L"hide; controls; start; ");
}

TEST(RunInit, SwitchRefusalEndsBeforeAnythingIsWritten) {
    InitMachine m(L"/SILENT /U ./MISSING.BIN");
    m.SetDriver(7);
    m.Init();
    EXPECT_EQ(m.exits, std::vector<int>{app::kExitInvalidInput});
    EXPECT_TRUE(m.NothingLeft());
    EXPECT_EQ(m.services->log.find(L"start"), std::wstring::npos);
}

// Command lines as deployment scripts write them that the tool does not
// wholly understand: a file name after a value, text no switch takes, values
// their switch does not take, a /U path run across switches. Read from the
// whole command line, each is refused with -10 (a file name with "Please
// Input FW File!!! ") and no start-up reaches Start or leaves a file behind.
struct ScriptLine {
    const wchar_t* args;
    bool fileName;  // refused for a file name outside /U's value
};

void PrintTo(const ScriptLine& row, std::ostream* os) { *os << ::testing::PrintToString(row.args); }

class ScriptLines : public ::testing::TestWithParam<ScriptLine> {};

TEST_P(ScriptLines, NotWhollyUnderstoodIsRefusedBeforeStart) {
    const ScriptLine& row = GetParam();
    const std::wstring text = app::BuildCommandText(std::wstring(L"\"C:\\Tool\\262FWUpgradeTool.exe\" ") + row.args);
    const std::wstring upper = hubaccess::ToUpperAscii(row.args);
    const bool unattended = upper.find(L"/SILENT") != std::wstring::npos || upper.find(L"/DOS") != std::wstring::npos;

    InitMachine m(text);
    m.SetDriver(7);
    if (!unattended) {
        if (row.fileName) m.view.ScriptAnswer(app::kIdOk, L"Please Input FW File!!! ");
        m.view.ScriptAnswer(app::kIdOk, L"Usage: 262FWUpgradeTool.exe");
    }
    m.Init();
    EXPECT_EQ(m.exits, std::vector<int>{app::kExitInvalidInput});
    EXPECT_EQ(m.services->log.find(L"start"), std::wstring::npos);
    EXPECT_EQ(m.view.PendingAnswers(), 0u);
    EXPECT_TRUE(m.view.Failures().empty()) << "unexpected box";
    EXPECT_TRUE(m.ui.Messages().empty());
    EXPECT_TRUE(m.NothingLeft());

    // The refusal's own message, shown or not.
    InitMachine p(text);
    const app::SwitchOutcome out = app::ParseSwitches(p.dialog, *p.utility, *p.services);
    ASSERT_TRUE(out.exit);
    EXPECT_EQ(out.exit->code, app::kExitInvalidInput);
    const bool fileMessage = !out.exit->messages.empty() && out.exit->messages[0].text == L"Please Input FW File!!! ";
    EXPECT_EQ(fileMessage, row.fileName);
}

const ScriptLine kScriptLines[] = {
    // a file name without /U after a value that runs to the next "/"
    {L"/DBG 3 FW.BIN", true},
    {L"/N 2 FW.BIN", true},
    {L"/SILENT /A /DBG 3 FW.BIN", true},
    {L"/DBG 3 C:\\FW\\NEW.BIN /SILENT /A", true},
    {L"/DBG 3 \"C:\\My Files\\fw.bin\"", true},
    {L"/U /DBG 3 FW.BIN", true},
    {L"/DBG 3 C:/FW/NEW.BIN", true},
    {L"/MSTR ACME FW.BIN", true},
    {L"/E 1 FW.BIN /SILENT", true},
    // a /U path that would run across switches to a later file name
    {L"/U C:\\FW /SILENT /A C:\\FW\\NEW.BIN", true},
    // text no switch takes, switches the tool does not have
    {L"/HELP", false},
    {L"/H", false},
    {L"-?", false},
    {L"-C 120621000000", false},
    {L"/UNINSTALL", false},
    {L"/U FW.BIN extra", false},
    {L"/F ACME /SILENT /A", false},
    {L"/fw 120621000000 /SILENT /A", false},
    {L"/hwid USB\\VID_2109&PID_0817 /SILENT /A", false},
    {L"/forcerestart", false},
    {L"/C 120621000000 /O -?", false},
    // values their switch does not take
    {L"/VID \"\" /SILENT /A", false},
    {L"/VID 0x2109", false},
    {L"/P3 611", false},
    {L"/VID ZZZZ", false},
    {L"/DBG high", false},
    {L"/DOS /N 1X", false},
    {L"/U C:\\A.BIN /U C:\\B.BIN /SILENT", false},
};

INSTANTIATE_TEST_SUITE_P(Lines, ScriptLines, ::testing::ValuesIn(kScriptLines));

TEST(RunInit, ConsoleModePrintsTheBanner) {
    InitMachine m(L"/DOS");
    m.SetDriver(7);
    m.Init();
    // /DOS alone ends with 0 and prints nothing.
    EXPECT_EQ(m.exits, std::vector<int>{0});
    EXPECT_EQ(m.view.ConsoleText(), L"");
    // /? with /DOS anywhere: the usage on the console, no box, 0.
    for (const wchar_t* help : {L"/DOS /?", L"/? /DOS", L"/?/DOS"}) {
        InitMachine h(help);
        h.SetDriver(7);
        h.Init();
        EXPECT_EQ(h.exits, std::vector<int>{0}) << ::testing::PrintToString(help);
        EXPECT_TRUE(h.view.Boxes().empty());
        EXPECT_EQ(h.view.ConsoleText(), app::BuildUsageText(h.dialog.g_strInitCmd));
        EXPECT_TRUE(h.NothingLeft());
    }
    InitMachine c(L"/DOS /A");
    c.SetDriver(7);
    c.Init();
    EXPECT_TRUE(c.exits.empty());
    EXPECT_EQ(c.view.ConsoleText().rfind(L"=====VNTL Hub FWUpg Tool(Vantrel 262x FW UpgToolVer2, 4, 1, 6)======\r\n", 0),
              0u);
    EXPECT_EQ(c.console.Frees(), 0);
}

}  // namespace
