// Payload extraction, filter-driver installation and removal, devcon and the
// embedded firmware image, on the simulated machine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PayloadMachine.h"
#include "app/Payload.h"

namespace {

using testing_machine::Bytes;
using testing_machine::PayloadMachine;

// --- the package: layout per platform, write order and the code of each failure

struct LayoutCase {
    bool win10;
    const char* amd64;  // the 64-bit driver written
};

class PackageLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(PackageLayout, BothDriversTheSupportFilesAndAnEmptyCatalogue) {
    PayloadMachine m;
    if (GetParam().win10) m.SetWindows10();
    ASSERT_EQ(m.payload->nLoadFilterDriverLib(PayloadMachine::kTemp), 0);
    EXPECT_EQ(m.File(m.Package(L"revodereriri.inf")), Bytes("[Version]\r\ninf\r\n"));
    EXPECT_TRUE(m.files.Exists(m.Package(L"revodereriri.cat")));
    EXPECT_TRUE(m.File(m.Package(L"revodereriri.cat")).empty());
    EXPECT_EQ(m.File(m.Package(L"i386\\revodereriri.sys")), Bytes("sys i386"));
    EXPECT_EQ(m.File(m.Package(L"amd64\\revodereriri.sys")), Bytes(GetParam().amd64));
    EXPECT_EQ(m.File(m.Package(L"k9371937.DLL")), Bytes("support dll"));
    EXPECT_EQ(m.File(m.Package(L"msvcrtd.dll")), Bytes("debug runtime dll"));
    EXPECT_FALSE(m.files.Exists(m.Package(L"DeleteRevodereriri.bat")));
}

INSTANTIATE_TEST_SUITE_P(Platforms, PackageLayout,
                         ::testing::Values(LayoutCase{true, "sys amd64 win10"}, LayoutCase{false, "sys amd64"}));

struct WriteFailureCase {
    const wchar_t* file;
    int code;
    const wchar_t* record;
};

class PackageWriteFailure : public ::testing::TestWithParam<WriteFailureCase> {};

TEST_P(PackageWriteFailure, StopsThereKeepsEarlierFilesAndInstallsNothing) {
    const std::vector<std::wstring> order = {L"revodereriri.inf", L"revodereriri.cat", L"i386\\revodereriri.sys",
                                             L"amd64\\revodereriri.sys", L"k9371937.DLL", L"msvcrtd.dll"};
    PayloadMachine m;
    sim::FileFault fault;
    fault.op = sim::FileOp::Open;
    fault.path = m.Package(GetParam().file);
    fault.error = platform::kErrorAccessDenied;
    m.files.AddFault(fault);
    EXPECT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), GetParam().code);
    EXPECT_TRUE(m.Has(L"ERR", L"nLoadFilterDriverLib", std::wstring(GetParam().record) + L"5"));
    EXPECT_TRUE(m.Has(L"ERR", L"InstallFilterDriver",
                      L"LoadFilterDriverLib failed[" + std::to_wstring(GetParam().code) + L"],"));
    EXPECT_TRUE(m.launcher.Calls().empty());
    bool before = true;
    for (const auto& name : order) {
        if (name == GetParam().file) before = false;
        EXPECT_EQ(m.files.Exists(m.Package(name)), before) << std::string(name.begin(), name.end());
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachFile, PackageWriteFailure,
    ::testing::Values(
        WriteFailureCase{L"revodereriri.inf", -1, L"Load Filter Driver inf, WriteFile Failed, Erroe="},
        WriteFailureCase{L"revodereriri.cat", -10, L"Load Filter Driver cat, WriteFile Failed, Erroe="},
        WriteFailureCase{L"i386\\revodereriri.sys", -10,
                         L"Load Load Filter Driver i368/revodereriri.sys, WriteFile Failed, Erroe="},
        WriteFailureCase{L"amd64\\revodereriri.sys", -10,
                         L"Load Filter Driver amd64/revodereriri.sys, WriteFile Failed, Erroe="},
        WriteFailureCase{L"k9371937.DLL", -10, L"Load k9371937.DLL, WriteFile Failed, Erroe="},
        WriteFailureCase{L"msvcrtd.dll", -10, L" Load msvcrtd.dll, WriteFile Failed, Erroe="}));

TEST(Package, ShortWriteLeavesNoPartialFileAndAForeignFileIsNeverReplaced) {
    PayloadMachine m;
    sim::FileFault fault;
    fault.op = sim::FileOp::Write;
    fault.path = m.Package(L"k9371937.DLL");
    fault.shortWrite = true;
    fault.shortBytes = 3;
    m.files.AddFault(fault);
    EXPECT_EQ(m.payload->nLoadFilterDriverLib(PayloadMachine::kTemp), -10);
    EXPECT_FALSE(m.files.Exists(m.Package(L"k9371937.DLL")));

    // Someone else's driver file stays as it is; an identical one is ours.
    PayloadMachine n;
    n.files.PutFile(n.Package(L"i386\\revodereriri.sys"), Bytes("another driver"));
    n.files.PutFile(n.Package(L"revodereriri.inf"), Bytes("[Version]\r\ninf\r\n"));
    EXPECT_EQ(n.payload->nLoadFilterDriverLib(PayloadMachine::kTemp), -10);
    EXPECT_EQ(n.File(n.Package(L"i386\\revodereriri.sys")), Bytes("another driver"));
    EXPECT_EQ(n.payload->ExtractedFiles(),
              (std::vector<std::wstring>{n.Package(L"revodereriri.inf"), n.Package(L"revodereriri.cat")}));
}

// --- installation and removal through the process starter

TEST(FilterDriver, InstallRunsTheInfInstallerInThePackageFolder) {
    PayloadMachine m;
    bool infThere = false;
    m.launcher.SetProgram([&](const sim::ProcessCall& c) {
        infThere = m.files.Exists(c.currentDirectory + L"\\revodereriri.inf");
        return 0u;
    });
    ASSERT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), 0);
    ASSERT_EQ(m.launcher.Calls().size(), 1u);
    const sim::ProcessCall call = m.launcher.Calls()[0];
    EXPECT_EQ(call.commandLine, L"rundll32.exe setupapi,InstallHinfSection DefaultInstall 132 .\\revodereriri.inf");
    EXPECT_EQ(call.currentDirectory, PayloadMachine::kPackage);
    EXPECT_EQ(call.waitMs, platform::kWaitInfinite);
    EXPECT_TRUE(infThere);
    EXPECT_EQ(m.files.CurrentDirectory(), L"C:\\Tool");

    m.launcher.FailStarts(platform::kErrorFileNotFound);
    EXPECT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), -1);
    EXPECT_TRUE(m.Has(L"ERR", L"Launch_INF", L"CreateProcess failed, szCmdLine=rundll32.exe"));
    EXPECT_TRUE(m.Has(L"ERR", L"InstallFilterDriver", L"Launch_INF failed[-1],"));
}

struct UninstallCase {
    bool wow64;
    bool sysnative;  // %windir%\Sysnative\cmd.exe is visible
    const wchar_t* interpreter;
};

class Uninstall : public ::testing::TestWithParam<UninstallCase> {};

TEST_P(Uninstall, RunsTheBatchByFullPathThenDeletesThePackage) {
    PayloadMachine m;
    m.os.SetWow64(GetParam().wow64);
    if (GetParam().sysnative) m.files.PutFile(L"C:\\Windows\\Sysnative\\cmd.exe", Bytes("cmd"));
    ASSERT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), 0);
    m.launcher.ClearCalls();
    bool batchAndInfThere = false;
    m.launcher.SetProgram([&](const sim::ProcessCall&) {
        batchAndInfThere = m.files.Exists(m.Package(L"DeleteRevodereriri.bat")) &&
                           m.files.Exists(m.Package(L"revodereriri.inf"));
        return 0u;
    });
    ASSERT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
    ASSERT_EQ(m.launcher.Calls().size(), 1u);
    EXPECT_EQ(m.launcher.Calls()[0].commandLine,
              std::wstring(GetParam().interpreter) + L" /c \"\"" + m.Package(L"DeleteRevodereriri.bat") + L"\"\"");
    EXPECT_EQ(m.launcher.Calls()[0].currentDirectory, PayloadMachine::kPackage);
    EXPECT_TRUE(batchAndInfThere);
    EXPECT_FALSE(m.files.Exists(PayloadMachine::kPackage));
    EXPECT_TRUE(m.files.IsDirectory(L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW"));
    EXPECT_TRUE(m.payload->ExtractedFiles().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Interpreters, Uninstall,
    ::testing::Values(UninstallCase{true, true, L"\"C:\\Windows\\Sysnative\\cmd.exe\""},
                      UninstallCase{true, false, L"\"C:\\Windows\\System32\\cmd.exe\""},
                      UninstallCase{false, true, L"\"C:\\Windows\\System32\\cmd.exe\""}));

TEST(FilterDriver, RemovalAfterARunThatInstalledNothingWritesBatchAndInf) {
    PayloadMachine m;
    EXPECT_EQ(m.payload->InstallFilterDriver(L""), -1);  // no temporary folder
    EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(L""), -1);
    EXPECT_TRUE(m.launcher.Calls().empty());
    ASSERT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
    EXPECT_EQ(m.launcher.Calls().size(), 1u);
    EXPECT_FALSE(m.files.Exists(PayloadMachine::kPackage));
}

TEST(FilterDriver, RemovalDeletesOnlyItsOwnFilesAndNothingWhenTheBatchCannotStart) {
    PayloadMachine m;
    ASSERT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), 0);
    m.launcher.FailStarts(platform::kErrorAccessDenied);
    EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), -1);
    EXPECT_TRUE(m.Has(L"ERR", L"Remove_FilterDriverAndFiles", L"Launch_DelINF failed[-1],"));
    EXPECT_EQ(m.payload->ExtractedFiles().size(), 7u);  // the package and the batch
    EXPECT_TRUE(m.files.Exists(m.Package(L"msvcrtd.dll")));

    m.launcher.FailStarts(0);
    m.files.PutFile(m.Package(L"notes.txt"), Bytes("user"));
    sim::FileFault inUse;
    inUse.op = sim::FileOp::Delete;
    inUse.path = m.Package(L"amd64\\revodereriri.sys");
    inUse.error = platform::kErrorSharingViolation;
    m.files.AddFault(inUse);
    EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
    EXPECT_TRUE(m.Has(L"ERR", L"Remove_FilterDriverAndFiles", L"DeleteFile failed, " + m.Package(L"amd64\\revodereriri.sys")));
    EXPECT_EQ(m.payload->ExtractedFiles(), std::vector<std::wstring>{m.Package(L"amd64\\revodereriri.sys")});
    EXPECT_EQ(m.File(m.Package(L"notes.txt")), Bytes("user"));
    EXPECT_FALSE(m.files.Exists(m.Package(L"i386")));
}

// --- devcon

TEST(Devcon, PlatformBuildKeptWhenPresentAndDeletedOnlyWhenOurs) {
    for (const bool wow64 : {true, false}) {
        PayloadMachine m;
        m.os.SetWow64(wow64);
        const std::wstring path = wow64 ? L"C:\\Tool\\devconAMD64.exe" : L"C:\\Tool\\devcon.exe";
        const std::wstring other = wow64 ? L"C:\\Tool\\devcon.exe" : L"C:\\Tool\\devconAMD64.exe";
        ASSERT_EQ(m.payload->nADD_Delete_DevconFile(L"C:\\Tool", 1), 0);
        EXPECT_EQ(m.File(path), Bytes(wow64 ? "devcon amd64" : "devcon x86"));
        EXPECT_FALSE(m.files.Exists(other));
        EXPECT_EQ(m.payload->nADD_Delete_DevconFile(L"C:\\Tool", 0), 0);
        EXPECT_FALSE(m.files.Exists(path));

        // A devcon that is there already is kept; someone else's is never deleted.
        m.files.PutFile(path, Bytes("their devcon"));
        EXPECT_EQ(m.payload->nADD_Delete_DevconFile(L"C:\\Tool", 1), 0);
        EXPECT_EQ(m.payload->nADD_Delete_DevconFile(L"C:\\Tool", 0), 0);
        EXPECT_EQ(m.File(path), Bytes("their devcon"));
    }
    PayloadMachine m;
    m.files.PutFile(L"C:\\Tool\\devcon.exe", Bytes("read-only"));
    m.files.SetReadOnly(L"C:\\Tool\\devcon.exe", true);
    EXPECT_EQ(m.payload->nADD_Delete_DevconFile(L"C:\\Tool", 1), -10);
    EXPECT_TRUE(m.Has(L"ERR", L"nADD_Delete_DevconFile", L"Load Filter Driver inf, WriteFile Failed, Erroe=80"));
}

// --- the embedded firmware image

TEST(FirmwareImage, ExtractedHiddenUnderItsNameAndRemovedAgain) {
    PayloadMachine m;
    ASSERT_EQ(m.payload->vExtractBinFiles(), 1);
    EXPECT_EQ(m.dialog.m_strFWBinFile, L"140415_03_E5_00.bin");
    EXPECT_EQ(m.File(L"C:\\Tool\\140415_03_E5_00.bin"), Bytes("firmware image bytes"));
    EXPECT_TRUE(m.files.IsHidden(L"C:\\Tool\\140415_03_E5_00.bin"));
    EXPECT_TRUE(m.Has(L"MSG", L"vExtractBinFiles", L" !!! m_strFWBinFile: 140415_03_E5_00.bin"));
    EXPECT_EQ(m.payload->vRemoveBinFiles(), 1);
    EXPECT_FALSE(m.files.Exists(L"C:\\Tool\\140415_03_E5_00.bin"));
    EXPECT_EQ(m.payload->vRemoveBinFiles(), 1);  // nothing left is no failure
}

TEST(FirmwareImage, SomeoneElsesFileOfThatNameStaysAndTheImageGoesToTemp) {
    PayloadMachine m;
    m.files.PutFile(L"C:\\Tool\\140415_03_E5_00.bin", Bytes("the user's image"));
    ASSERT_EQ(m.payload->vExtractBinFiles(), 1);
    EXPECT_EQ(m.dialog.m_strFWBinFile, L"Temp\\140415_03_E5_00.bin");
    EXPECT_EQ(m.File(L"C:\\Tool\\Temp\\140415_03_E5_00.bin"), Bytes("firmware image bytes"));
    EXPECT_EQ(m.payload->vRemoveBinFiles(), 1);
    EXPECT_FALSE(m.files.Exists(L"C:\\Tool\\Temp\\140415_03_E5_00.bin"));
    EXPECT_EQ(m.File(L"C:\\Tool\\140415_03_E5_00.bin"), Bytes("the user's image"));
}

TEST(FirmwareImage, NameResourceReadWithinItsSizeAndBadNamesRefused) {
    const std::vector<std::string> refused = {"", "\r\n", "..\\140415.bin", "sub/140415.bin", "C:140415.bin",
                                              "firmware.img"};
    for (const auto& name : refused) {
        PayloadMachine m;
        m.resources.AddText(L"INI", 167, name);
        EXPECT_EQ(m.payload->vExtractBinFiles(), 0) << name;
        EXPECT_TRUE(m.dialog.m_strFWBinFile.empty());
        EXPECT_TRUE(m.payload->ExtractedFiles().empty());
    }
    PayloadMachine m;
    m.resources.AddText(L"INI", 167, "140415_03_E5_00.bin");  // no line end, no terminator
    EXPECT_EQ(m.payload->vExtractBinFiles(), 1);
    EXPECT_EQ(m.dialog.m_strFWBinFile, L"140415_03_E5_00.bin");

    PayloadMachine missing;
    missing.resources.Remove(L"BIN", 166);
    EXPECT_EQ(missing.payload->vExtractBinFiles(), 0);
    EXPECT_TRUE(missing.Has(L"ERR", L"vExtractBinFiles", L"FindResource fail: 1813"));
    missing.resources.Remove(L"INI", 167);
    EXPECT_EQ(missing.payload->vRemoveBinFiles(), 0);
}

TEST(FirmwareImage, PlaceholderImageIsRecognised) {
    const std::vector<std::uint8_t> placeholder =
        testing_machine::ReadHostFile(FW_PAYLOAD_PLACEHOLDER_DIR "/140415_03_E5_00.bin");
    ASSERT_EQ(placeholder.size(), 24576u);
    EXPECT_TRUE(app::IsPlaceholderFirmwareImage(placeholder));
    std::vector<std::uint8_t> config(256, 0xA5);
    config.insert(config.end(), placeholder.begin(), placeholder.end());
    EXPECT_TRUE(app::IsPlaceholderFirmwareImage(config));  // behind a "Config_" table
    std::vector<std::uint8_t> late(2048, 0xFF);
    late.insert(late.end(), placeholder.begin(), placeholder.end());
    EXPECT_FALSE(app::IsPlaceholderFirmwareImage(late));
    EXPECT_FALSE(app::IsPlaceholderFirmwareImage(std::vector<std::uint8_t>(24576, 0x02)));
    EXPECT_FALSE(app::IsPlaceholderFirmwareImage({}));
    EXPECT_FALSE(app::IsPlaceholderFirmwareImage(Bytes("VTL262x PLACEHOLDER")));
}

}  // namespace
