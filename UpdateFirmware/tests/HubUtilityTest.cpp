// The hub utility's construction and its system services against the
// simulated files, registry, process list, OS facts and message boxes.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "sim/CaptureLogSink.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"

namespace ha = hubaccess;
using ha::BOOL;
using ha::BYTE;
using ha::DWORD;
using ha::FALSE;
using ha::TRUE;

namespace {

const std::wstring kCurrentVersion = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const std::wstring kUsbClass =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";

class HubUtilityTest : public ::testing::Test {
protected:
    HubUtilityTest() {
        files.MakeDirectory(L"C:\\Tool");
        os.SetModuleFileName(L"C:\\Tool\\262FWUpgradeTool.exe");
        ports.clock = &sched;
        ports.threads = &sched;
        ports.logSink = &sink;
        ports.files = &files;
        ports.registry = &registry;
        ports.processes = &processes;
        ports.osInfo = &os;
        ports.ui = &ui;
        g_nMessageLevel = 3;
    }
    ~HubUtilityTest() override {
        utility.reset();
        g_nMessageLevel = 0;
        vDEBUG_Shutdown_printf();
    }

    ha::CHubUtility& Build() {
        utility = std::make_unique<ha::CHubUtility>(ports);
        return *utility;
    }

    // A record of this kind from `method` whose text after "<line>: " begins
    // with `text`.
    bool HasRecord(const std::wstring& kind, const std::wstring& method, const std::wstring& text) const {
        return sink.HasRecord(kind, method, text);
    }

    sim::Scheduler sched;
    sim::CaptureLogSink sink;
    sim::SimFiles files;
    sim::SimRegistry registry;
    sim::SimProcesses processes;
    sim::SimOsInfo os{&sched, &files};
    sim::SimUi ui;
    platform::Ports ports;
    std::unique_ptr<ha::CHubUtility> utility;
};

TEST_F(HubUtilityTest, ConstructionSetsUpTheObject) {
    auto& u = Build();
    EXPECT_EQ(u.m_szModulePath, L"C:\\Tool\\262FWUpgradeTool.exe");
    EXPECT_EQ(u.m_szModuleDirectory, L"C:\\Tool");
    EXPECT_EQ(os.CurrentDirectory(), L"C:\\Tool");
    EXPECT_EQ(files.FullPath(L".\\devconAMD64.exe"), L"C:\\Tool\\devconAMD64.exe");
    for (DWORD v : u.m_ulOldPositionIndex) EXPECT_EQ(v, 0xFFFFFFFFu);
    EXPECT_EQ(u.m_ucRegTable, ha::kDefaultRegTable);
    EXPECT_EQ(u.m_liFrequency, sched.PerformanceFrequency());
    EXPECT_TRUE(u.m_strFWBinFilePath.empty());
    EXPECT_EQ(u.m_bCheckManuString, 0);
    // The log lock exists: records are written.
    sink.Clear();
    vDEBUG_MSG_printf(L"%s:%d: x", L"T", 1);
    EXPECT_EQ(sink.Records().size(), 1u);
}

TEST_F(HubUtilityTest, UnreadableModulePathLeavesTheDirectoryAlone) {
    os.SetModuleFileName(L"");
    auto& u = Build();
    EXPECT_TRUE(u.m_szModuleDirectory.empty());
    EXPECT_EQ(os.SetCurrentDirectoryCalls(), 0);
    EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::CHubUtility", L"Utility: dwErrorCode:"));
    // The rest of the construction still happens.
    EXPECT_EQ(u.m_ucRegTable, ha::kDefaultRegTable);
    EXPECT_EQ(u.m_ulOldPositionIndex[7], 0xFFFFFFFFu);
}

struct Wow64Case {
    const char* name;
    std::optional<bool> wow64;  // nullopt: IsWow64Process missing
    bool disableOk;
    int expectedCalls;  // Disable + Revert
    const wchar_t* record;
};

TEST_F(HubUtilityTest, RedirectionOffOnlyOnWow64ForTheConstructingThread) {
    const std::vector<Wow64Case> cases = {
        {"32-bit Windows", false, true, 0, nullptr},
        {"no IsWow64Process", std::nullopt, true, 0, nullptr},
        {"64-bit Windows", true, true, 2, nullptr},
        {"disable fails: nothing to revert", true, false, 1, L"  f_Wow64DisableWow64FsRedirection failed, Erroe=31"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::Scheduler runner;  // Run() once per scheduler
        sim::SimOsInfo local{&runner, &files};
        platform::Ports p = ports;
        p.clock = &runner;
        p.threads = &runner;
        p.osInfo = &local;
        if (c.wow64)
            local.SetWow64(*c.wow64);
        else
            local.SetWow64FunctionMissing();
        local.SetDisableResult({true, true, c.disableOk, c.disableOk ? 0u : 31u});
        sink.Clear();
        std::uint32_t builder = 0;
        runner.Run([&] {
            builder = runner.CurrentThreadId();
            utility = std::make_unique<ha::CHubUtility>(p);
            EXPECT_EQ(local.RedirectionDisabled(builder), c.wow64.value_or(false) && c.disableOk);
            utility.reset();
        });
        const auto calls = local.RedirectionCalls();
        ASSERT_EQ(static_cast<int>(calls.size()), c.expectedCalls);
        if (!calls.empty()) {
            EXPECT_TRUE(calls[0].disable);
            EXPECT_EQ(calls[0].threadId, builder);
        }
        if (calls.size() == 2) {
            EXPECT_FALSE(calls[1].disable);
            EXPECT_EQ(calls[1].threadId, builder);
        }
        EXPECT_FALSE(local.RedirectionDisabled(builder));
        if (c.record) {
            EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::CHubUtility", c.record));
        }
    }
}

struct PathCase {
    const char* name;
    bool exists;
    bool readOnly;
    BYTE showMsg;
    BOOL expected;
    const wchar_t* record;   // after "bCheckFilePathExists: "
    const wchar_t* message;  // after the path; nullptr: none shown
};

TEST_F(HubUtilityTest, CheckFilePathExists) {
    auto& u = Build();
    const std::wstring path = L"C:\\Tool\\data.bin";
    const std::vector<PathCase> cases = {
        {"present", true, false, 1, TRUE, nullptr, nullptr},
        {"missing, quiet", false, false, 0, FALSE, L"Not Exist , strFilePath : C:\\Tool\\data.bin , err : 2", nullptr},
        {"missing, shown", false, false, 1, FALSE, L"Not Exist ", L" File/Path Not Exist"},
        {"read-only, quiet", true, true, 0, FALSE, L"Not Read/Write , strFilePath : C:\\Tool\\data.bin , err : 13", nullptr},
        {"read-only, shown", true, true, 1, FALSE, L"Not Read/Write ", L" File/Path Not Read/Write"},
        {"shown only for 1", false, false, 2, FALSE, L"Not Exist ", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        files.DeleteFile(path);
        if (c.exists) files.PutFile(path, {1});
        files.SetReadOnly(path, c.readOnly);
        ui.Clear();
        sink.Clear();
        EXPECT_EQ(u.bCheckFilePathExists(path, c.showMsg), c.expected);
        if (c.record) {
            EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::bCheckFilePathExists",
                                  std::wstring(L"bCheckFilePathExists: ") + c.record));
        }
        const auto shown = ui.Messages();
        ASSERT_EQ(shown.size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_EQ(shown[0].text, path + c.message);
            EXPECT_EQ(shown[0].caption, L"262FWUpgradeTool");
            EXPECT_EQ(shown[0].type, platform::kMbOk);
        }
        files.SetReadOnly(path, false);
    }
}

// The error logged with a failed check is the check's own, whatever an
// earlier call left behind.
TEST_F(HubUtilityTest, CheckFilePathExistsLogsItsOwnError) {
    struct InvalidName : sim::SimFiles {
        int Access(const std::wstring&, int) override { return 22; }  // EINVAL
    } invalid;
    ports.files = &invalid;
    auto& u = Build();
    ha::SetLastSystemError(1234);
    EXPECT_EQ(u.bCheckFilePathExists(L"C:\\Tool\\a?b", 0), FALSE);
    EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::bCheckFilePathExists",
                          L"bCheckFilePathExists: Not Exist , strFilePath : C:\\Tool\\a?b , err : 22 , dwErrorCode 87"));
}

struct OsCase {
    std::uint32_t platformId, major, minor;
    std::optional<std::uint32_t> registryMajor;
    const wchar_t* registryBuild;  // nullptr: no value
    BYTE expected;
};

TEST_F(HubUtilityTest, WindowsVersionCodes) {
    auto& u = Build();
    const std::vector<OsCase> cases = {
        {2, 5, 1, {}, L"2600", ha::kOsXp},
        {2, 5, 0, {}, L"2195", ha::kOsOther5},
        {2, 5, 2, {}, L"3790", ha::kOsOther5},
        {2, 6, 0, {}, L"6002", ha::kOsVista},
        {2, 6, 1, {}, L"7601", ha::kOsWin7},
        {2, 6, 2, {}, L"9200", ha::kOsWin8},
        {2, 6, 2, 10, L"9200", ha::kOsWin10},
        {2, 6, 2, 0x1000A, nullptr, ha::kOsWin10},  // low 16 bits of the number
        {2, 6, 3, {}, L"9600", ha::kOsWin81},
        {2, 6, 3, {}, L"19045", ha::kOsWin10},
        {2, 6, 3, {}, L"9999", ha::kOsWin81},
        {2, 6, 4, {}, nullptr, ha::kOsUnknown},
        {2, 10, 0, 10, L"19045", ha::kOsUnknown},
        {1, 4, 10, {}, nullptr, ha::kOsUnknown},  // not NT
        {1, 6, 1, 10, nullptr, ha::kOsUnknown},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.major << "." << c.minor << " platform " << c.platformId);
        registry.DeleteKey(kCurrentVersion);
        registry.AddKey(kCurrentVersion);
        if (c.registryMajor) registry.SetDword(kCurrentVersion, L"CurrentMajorVersionNumber", *c.registryMajor);
        if (c.registryBuild) registry.SetString(kCurrentVersion, L"CurrentBuildNumber", c.registryBuild);
        os.SetVersion(c.major, c.minor, c.platformId);
        EXPECT_EQ(u.ucGetOSVersion(), c.expected);
    }
    os.SetVersionFails();
    EXPECT_EQ(u.ucGetOSVersion(), ha::kOsUnknown);
}

TEST_F(HubUtilityTest, FilterDriverRegistration) {
    auto& u = Build();
    registry.SetMultiString(kUsbClass, L"UpperFilters", {L"otherflt", L"vntlfilter"});
    EXPECT_EQ(u.bIsInstallVntlFilterDriverFromRegistry(), TRUE);

    registry.SetMultiString(kUsbClass, L"UpperFilters", {L"otherflt"});
    sink.Clear();
    EXPECT_EQ(u.bIsInstallVntlFilterDriverFromRegistry(), FALSE);
    EXPECT_TRUE(HasRecord(L"WRN", L"CHubUtility::bIsInstallVntlFilterDriverFromRegistry",
                          L"The Filter driver is not installed, strRegValue[otherflt  ]"));

    registry.DeleteValue(kUsbClass, L"UpperFilters");
    sink.Clear();
    EXPECT_EQ(u.bIsInstallVntlFilterDriverFromRegistry(), FALSE);
    EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::bIsInstallVntlFilterDriverFromRegistry",
                          L"bRegistryReadWrite(REG_MULTI_SZ) Failed, wSubKey[" + kUsbClass +
                              L"], wKeyName[UpperFilters"));
}

struct ProcessCase {
    const char* name;
    std::vector<sim::SimProcess> list;
    platform::ProcessListStatus status;
    int count;
    DWORD firstOther;
    const wchar_t* record;  // after "GetProcessID: "
};

TEST_F(HubUtilityTest, ProcessesOfThisProgram) {
    auto& u = Build();
    const std::wstring tool = L"262FWUpgradeTool.exe";
    const auto ok = platform::ProcessListStatus::Ok;
    const std::vector<ProcessCase> cases = {
        {"our own copy first", {{4, L"System"}, {100, tool}, {200, tool}}, ok, 2, 200, nullptr},
        {"the other copy first", {{200, tool}, {100, tool}}, ok, 2, 200, nullptr},
        {"only ourselves", {{100, tool}, {300, L"explorer.exe"}}, ok, 1, 0, nullptr},
        {"letter case differs", {{100, tool}, {200, L"262fwupgradetool.exe"}}, ok, 1, 0, nullptr},
        {"unreadable skipped", {{150, std::nullopt}, {100, tool}, {200, tool}}, ok, 2, 200, nullptr},
        {"no PSAPI", {{100, tool}, {200, tool}}, platform::ProcessListStatus::LibraryMissing, 0, 0, L"hPsApi = NULL "},
        {"function missing", {{100, tool}, {200, tool}}, platform::ProcessListStatus::FunctionMissing, 0, 0, L"Module = NULL "},
        {"list fails", {{100, tool}, {200, tool}}, platform::ProcessListStatus::EnumFailed, 0, 0, L"EnumProcesses = FAIL "},
    };
    processes.SetCurrentProcessId(100);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        processes.SetProcesses(c.list);
        processes.SetListStatus(c.status, 126);
        sink.Clear();
        EXPECT_EQ(u.DetectProcess(), c.count);
        EXPECT_EQ(u.GetProcessID(), c.firstOther);
        if (c.record) {
            EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::GetProcessID", std::wstring(L"GetProcessID: ") + c.record));
            EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::DetectProcess", std::wstring(L"DetectProcess: ") + c.record));
        }
    }
}

TEST_F(HubUtilityTest, KillProcess) {
    auto& u = Build();
    processes.SetProcesses({{200, L"262FWUpgradeTool.exe"}, {300, L"a.exe"}, {400, L"b.exe"}});
    processes.FailOpen(300, 5);
    processes.FailTerminate(400, 5);
    EXPECT_EQ(u.KillProcess(200), TRUE);
    EXPECT_FALSE(processes.IsRunning(200));
    EXPECT_EQ(u.KillProcess(300), FALSE);
    EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::KillProcess", L"KillProcess: OpenProcess fail, dwProcessId : 300"));
    EXPECT_EQ(u.KillProcess(400), FALSE);
    EXPECT_TRUE(processes.IsRunning(400));
    const auto calls = processes.Terminations();
    ASSERT_EQ(calls.size(), 3u);
    for (const auto& call : calls) EXPECT_EQ(call.exitCode, 0u);
}

TEST_F(HubUtilityTest, FileVersionText) {
    auto& u = Build();
    os.SetFileVersion(L"C:\\Tool\\drv.sys", 1, 0, 7, 0);
    os.SetFileVersion(L"C:\\Tool\\big.dll", 65535, 10, 0, 65534);
    EXPECT_EQ(u.vGetFileVersionInfo(L"C:\\Tool\\drv.sys"), L"1.0.7.0");
    EXPECT_EQ(u.vGetFileVersionInfo(L".\\DRV.SYS"), L"1.0.7.0");
    EXPECT_EQ(u.vGetFileVersionInfo(L"C:\\Tool\\big.dll"), L"65535.10.0.65534");
    EXPECT_EQ(u.vGetFileVersionInfo(L"C:\\Tool\\plain.txt"), L"");
}

TEST_F(HubUtilityTest, RegistryReads) {
    auto& u = Build();
    const std::wstring key = L"SYSTEM\\Test";
    registry.SetMultiString(key, L"Multi", {L"a", L"b"});
    registry.SetString(key, L"Text", L"abc");
    registry.SetDword(key, L"Number", 0x12345678);
    registry.SetRaw(key, L"Long", 1, std::vector<std::uint8_t>(8194, 'x'));
    registry.SetRaw(key, L"Odd", 1, {'z', 0, 'y'});

    struct ReadCase {
        const wchar_t* name;
        BYTE type;
        BOOL ok;
        DWORD number;
        std::wstring text;
    };
    const std::vector<ReadCase> cases = {
        {L"Multi", 7, TRUE, 0, std::wstring(L"a b  ")},
        {L"Text", 1, TRUE, 0, L"abc "},
        {L"Number", 4, TRUE, 0x12345678, L""},
        {L"Odd", 1, TRUE, 0, L"z"},
        {L"Long", 1, FALSE, 99, L"kept"},  // longer than a read may ask for
        {L"Missing", 1, FALSE, 99, L"kept"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + std::wcslen(c.name)));
        registry.ClearJournal();
        ha::RegistryData d{99, L"kept"};
        EXPECT_EQ(u.bRegistryReadWrite(key, c.name, &d, 0, c.type), c.ok);
        EXPECT_EQ(d.number, c.number);
        EXPECT_EQ(d.text, c.text);
        ASSERT_EQ(registry.Reads().size(), 1u);
        EXPECT_EQ(registry.Reads()[0].maxBytes, 8192u);
    }
    sink.Clear();
    ha::RegistryData d;
    EXPECT_EQ(u.bRegistryReadWrite(L"SYSTEM\\Nowhere", L"x", &d, 0, 4), FALSE);
    EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::bRegistryReadWrite",
                          L"RegOpenKeyExW fail, szSubKeyHub3=SYSTEM\\Nowhere, dwErrorCode=2"));
}

TEST_F(HubUtilityTest, RegistryWrites) {
    auto& u = Build();
    const std::wstring key = L"SYSTEM\\Test";
    registry.AddKey(key);
    ha::RegistryData d{0x12345678, L""};
    EXPECT_EQ(u.bRegistryReadWrite(key, L"Value", &d, 1, 4), TRUE);
    EXPECT_EQ(registry.GetDword(key, L"Value"), 0x5678u);

    sink.Clear();
    EXPECT_EQ(u.bRegistryReadWrite(L"SYSTEM\\Missing", L"Value", &d, 1, 4), FALSE);
    EXPECT_FALSE(registry.HasKey(L"SYSTEM\\Missing"));
    EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::bRegistryReadWrite",
                          L"RegCreateKeyEx fail, szSubKeyHub3=SYSTEM\\Missing, dwErrorCode=2"));

    registry.AddFault({sim::RegOp::Set, key, L"Value", 5});
    d.number = 1;
    EXPECT_EQ(u.bRegistryReadWrite(key, L"Value", &d, 1, 4), FALSE);
    EXPECT_EQ(registry.GetDword(key, L"Value"), 0x5678u);
    EXPECT_TRUE(HasRecord(L"ERR", L"CHubUtility::bRegistryReadWrite",
                          L"RegSetValueEx fail, lResult5, szKeyName[Value], dwErrorCode5"));

    // Only numbers are written.
    const auto writes = registry.Writes().size();
    EXPECT_EQ(u.bRegistryReadWrite(key, L"Value", &d, 1, 1), FALSE);
    EXPECT_EQ(registry.Writes().size(), writes);
}

}  // namespace
