// Payload extraction, filter-driver installation and removal, devcon and the
// embedded firmware image, on the simulated machine.
#include <gtest/gtest.h>

#include <functional>
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

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << (c.win10 ? "Windows 10: " : "before Windows 10: ") << c.amd64;
}

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

void PrintTo(const WriteFailureCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.file); }

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

TEST(Package, ShortWriteLeavesNoPartialFileAndFilesOfAnotherBuildAreReplaced) {
    PayloadMachine m;
    sim::FileFault fault;
    fault.op = sim::FileOp::Write;
    fault.path = m.Package(L"k9371937.DLL");
    fault.shortWrite = true;
    fault.shortBytes = 3;
    m.files.AddFault(fault);
    EXPECT_EQ(m.payload->nLoadFilterDriverLib(PayloadMachine::kTemp), -10);
    EXPECT_FALSE(m.files.Exists(m.Package(L"k9371937.DLL")));

    // Left by another build (a killed run, an older release): the whole
    // folder goes aside unread, and the installation goes on in a new one.
    PayloadMachine n;
    n.files.PutFile(n.Package(L"i386\\revodereriri.sys"), Bytes("another driver"));
    n.files.SetReadOnly(n.Package(L"i386\\revodereriri.sys"), true);
    n.files.PutFile(n.Package(L"revodereriri.inf"), Bytes("[Version]\r\ninf\r\n"));
    n.files.PutFile(n.Package(L"devcon.exe"), Bytes("older devcon"));
    EXPECT_EQ(n.payload->InstallFilterDriver(PayloadMachine::kTemp), 0);
    EXPECT_EQ(n.File(n.Package(L"i386\\revodereriri.sys")), Bytes("sys i386"));
    EXPECT_EQ(n.launcher.Calls().size(), 1u);
    EXPECT_EQ(n.payload->ExtractedFiles().size(), 6u);
    EXPECT_TRUE(n.Has(L"WRN", L"nLoadFilterDriverLib",
                      std::wstring(PayloadMachine::kTemp) + L"VTL262xFW is left by an earlier run: renamed aside to "
                                                            L"VTL262xFW.aside-3600000-0 and left there"));
    EXPECT_EQ(n.File(std::wstring(PayloadMachine::kTemp) + L"VTL262xFW.aside-3600000-0\\FilterDriver\\devcon.exe"),
              Bytes("older devcon"));
    ASSERT_EQ(n.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 1), 0);
    EXPECT_EQ(n.File(n.Package(L"devcon.exe")), Bytes("devcon x86"));
}

// --- the package folder is locked before anything goes into it

// A package folder of someone else's that cannot be renamed for a sharing
// violation the given number of times; -1: a file in it stays open without
// sharing deletion.
void ForeignWithABusyFile(PayloadMachine& m, int times) {
    m.files.PutFile(m.Package(L"busy.txt"), Bytes("x"));
    m.files.SetForeignOwner(PayloadMachine::kPackage);
    if (times < 0) {
        m.files.CreateFile(m.Package(L"busy.txt"), platform::kGenericRead, platform::kFileShareRead,
                           platform::FileDisposition::OpenExisting, 0);
        return;
    }
    sim::FileFault busy;
    busy.op = sim::FileOp::Rename;
    busy.path = L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW";
    busy.error = platform::kErrorSharingViolation;
    busy.times = times;
    m.files.AddFault(busy);
}

struct UnsafeFolderCase {
    const char* name;
    std::function<void(PayloadMachine&)> arrange;
    bool installs;
    const wchar_t* unsafe = L"";  // the folder the record names when it does not
};

void PrintTo(const UnsafeFolderCase& c, std::ostream* os) { *os << c.name; }

class PackageFolder : public ::testing::TestWithParam<UnsafeFolderCase> {};

TEST_P(PackageFolder, IsMadeAnewWithoutFollowingOrTheInstallationEndsUnrun) {
    PayloadMachine m;
    const std::wstring parent = L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW";
    m.files.PutFile(L"C:\\Tool\\keep.txt", Bytes("tool folder file"));
    GetParam().arrange(m);
    m.launcher.SetProgram([&](const sim::ProcessCall& c) {
        // Everything the installer reads is held: readable, never writable
        // or deletable, until the installer is done.
        const std::wstring inf = c.currentDirectory + L"\\revodereriri.inf";
        const platform::FileOpenResult read = m.files.CreateFile(inf, platform::kGenericRead, platform::kFileShareRead,
                                                                 platform::FileDisposition::OpenExisting, 0);
        EXPECT_TRUE(read.handle.IsValid());
        m.files.CloseHandle(read.handle);
        for (const wchar_t* name : {L"revodereriri.inf", L"amd64\\revodereriri.sys", L"k9371937.DLL"}) {
            const std::wstring path = c.currentDirectory + L"\\" + name;
            const platform::FileOpenResult write =
                m.files.CreateFile(path, platform::kGenericWrite, platform::kFileShareRead | platform::kFileShareWrite,
                                   platform::FileDisposition::OpenExisting, 0);
            EXPECT_EQ(write.error, platform::kErrorSharingViolation);
            EXPECT_EQ(m.files.DeleteFile(path).error, platform::kErrorSharingViolation);
        }
        return 0u;
    });
    const int rc = m.payload->InstallFilterDriver(PayloadMachine::kTemp);
    EXPECT_EQ(m.File(L"C:\\Tool\\keep.txt"), Bytes("tool folder file"));  // never followed
    if (!GetParam().installs) {
        EXPECT_EQ(rc, -1);
        EXPECT_TRUE(m.launcher.Calls().empty());
        EXPECT_TRUE(m.Has(L"ERR", L"nLoadFilterDriverLib", L"the package folder " + std::wstring(GetParam().unsafe)));
        return;
    }
    ASSERT_EQ(rc, 0);
    ASSERT_EQ(m.launcher.Calls().size(), 1u);
    for (const std::wstring& folder : {parent, std::wstring(PayloadMachine::kPackage)}) {
        platform::PathFacts facts;
        ASSERT_TRUE(m.files.InspectPath(folder, &facts).ok);
        EXPECT_TRUE(facts.directory && !facts.redirection && facts.trustedOwner);
        EXPECT_TRUE(m.files.IsPrivate(folder));
    }
    EXPECT_FALSE(m.files.Exists(L"C:\\Tool\\revodereriri.inf"));
    EXPECT_FALSE(m.files.Exists(parent + L"\\planted.dll"));
    // Held until the removal lets go of them: afterwards nothing is open.
    ASSERT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
    EXPECT_FALSE(m.files.Exists(parent));
    EXPECT_EQ(m.files.OpenHandleCount(), GetParam().unsafe[0] ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackageFolder,
    ::testing::Values(
        UnsafeFolderCase{"Absent", [](PayloadMachine&) {}, true},
        UnsafeFolderCase{"OwnedBySomeoneElse",
                         [](PayloadMachine& m) {
                             m.files.PutFile(L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW\\planted.dll",
                                             Bytes("x"));
                             m.files.SetForeignOwner(L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW");
                         },
                         true},
        UnsafeFolderCase{"SubfolderOwnedBySomeoneElse",
                         [](PayloadMachine& m) {
                             m.files.PutFile(m.Package(L"amd64\\revodereriri.sys"), Bytes("theirs"));
                             m.files.SetForeignOwner(m.Package(L"amd64"));
                         },
                         true},
        UnsafeFolderCase{"JunctionToTheToolFolder",
                         [](PayloadMachine& m) { m.files.MakeRedirection(PayloadMachine::kPackage, L"C:\\Tool"); },
                         true},
        UnsafeFolderCase{"AFileInItsPlace",
                         [](PayloadMachine& m) {
                             m.files.PutFile(L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW", Bytes("file"));
                         },
                         true},
        UnsafeFolderCase{"ForeignAndInUse",
                         [](PayloadMachine& m) { ForeignWithABusyFile(m, -1); },
                         false, L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW cannot"},
        UnsafeFolderCase{"ForeignAndBrieflyInUse",
                         [](PayloadMachine& m) { ForeignWithABusyFile(m, 3); },
                         true},
        UnsafeFolderCase{"CannotBeLocked",
                         [](PayloadMachine& m) {
                             sim::FileFault fault;
                             fault.op = sim::FileOp::CreateDirectory;
                             fault.path = L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW";
                             m.files.AddFault(fault);
                         },
                         false, L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW cannot"}),
    [](const auto& info) { return std::string(info.param.name); });

// A foreign VTL262xFW whose sub-folder the user turns into a junction to a
// protected folder after the first deletion in it: nothing in there is ever
// listed or deleted; the whole tree goes aside as it is.
TEST(PackageFolder, AForeignTreeIsNeverListedOrDeletedInEvenWhenItTurnsIntoAJunction) {
    PayloadMachine m;
    const std::wstring vtl = std::wstring(PayloadMachine::kTemp) + L"VTL262xFW";
    const std::vector<std::wstring> names = {L"a.sys", L"b.sys", L"c.sys", L"d.sys", L"e.sys"};
    for (const auto& name : names) {
        m.files.PutFile(L"C:\\Windows\\Protected\\" + name, Bytes("protected"));
        m.files.PutFile(vtl + L"\\Sub\\" + name, Bytes("user"));
    }
    m.files.SetForeignOwner(vtl);
    m.files.OnCall(sim::FileOp::Delete, L"", [&] {
        m.files.RenameEntry(vtl + L"\\Sub", L"Gone");
        m.files.MakeRedirection(vtl + L"\\Sub", L"C:\\Windows\\Protected");
    }, 1);
    EXPECT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), 0);
    EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
    EXPECT_EQ(m.payload->vRemoveExtractedFiles(PayloadMachine::kTemp), 1);
    for (const auto& name : names) {
        EXPECT_EQ(m.File(L"C:\\Windows\\Protected\\" + name), Bytes("protected"));
        EXPECT_EQ(m.File(vtl + L".aside-3600000-0\\Sub\\" + name), Bytes("user"));
    }
    EXPECT_TRUE(m.Has(L"WRN", L"nLoadFilterDriverLib",
                      vtl + L" is owned by someone else: renamed aside to VTL262xFW.aside-3600000-0 and left there"));
    EXPECT_FALSE(m.files.Exists(vtl));
    EXPECT_EQ(m.files.OpenHandleCount(), 0);
}

// The user renames the package folder away and puts a folder of their own in
// its place: at the start (before the first file is held) and at the
// clean-up (once devcon is gone). The folders are held from the start, so the
// renames fail; nothing is written into, run from or deleted in a folder this
// run did not make.
TEST(PackageFolder, HeldFoldersCannotBeSwappedAtTheStartOrAtTheCleanUp) {
    PayloadMachine m;
    const std::wstring vtl = std::wstring(PayloadMachine::kTemp) + L"VTL262xFW";
    std::vector<std::uint32_t> renames;
    const auto swap = [&] {
        for (const std::wstring& path : {vtl, std::wstring(PayloadMachine::kPackage)}) {
            const platform::FileResult renamed = m.files.RenameEntry(path, L"theirs-" + std::to_wstring(renames.size()));
            renames.push_back(renamed.error);
            if (renamed.ok) {
                m.files.PutFile(path + L"\\FilterDriver\\rundll32.exe", Bytes("planted"));
                m.files.PutFile(path + L"\\notes.txt", Bytes("user"));
                m.files.SetForeignOwner(path);
            }
        }
    };
    m.files.OnCall(sim::FileOp::Open, m.Package(L"devcon.exe"), swap);
    m.files.OnCall(sim::FileOp::Delete, m.Package(L"devcon.exe"), swap);
    std::vector<std::wstring> runIn;
    m.launcher.SetProgram([&](const sim::ProcessCall& c) {
        EXPECT_TRUE(m.files.IsPrivate(c.currentDirectory) && m.files.IsPrivate(vtl)) << c.commandLine;
        runIn.push_back(c.currentDirectory);
        return 0u;
    });
    EXPECT_EQ(m.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 1), 0);
    EXPECT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), 0);
    EXPECT_EQ(m.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 0), 0);
    EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
    EXPECT_EQ(renames, std::vector<std::uint32_t>(4, platform::kErrorSharingViolation));
    EXPECT_EQ(runIn, std::vector<std::wstring>(2, PayloadMachine::kPackage));
    EXPECT_FALSE(m.files.Exists(vtl));
    EXPECT_EQ(m.files.OpenHandleCount(), 0);
}

// Where a folder above held ones can be renamed (Wine), the user moves the
// whole temporary folder away and puts a package of their own at the same
// paths: the names no longer reach the files this run holds, so neither the
// installer nor the uninstall batch is started.
TEST(PackageFolder, NamesThatNoLongerReachTheHeldFilesStartNothing) {
    PayloadMachine m;
    m.files.SetRenameChecksEntryOnly(true);
    const std::wstring temp = L"C:\\Users\\user\\AppData\\Local\\Temp";
    const auto swap = [&] {
        ASSERT_TRUE(m.files.RenameEntry(temp, L"Temp-moved").ok);
        m.files.PutFile(m.Package(L"revodereriri.inf"), Bytes("[Version] theirs"));
        m.files.PutFile(m.Package(L"DeleteRevodereriri.bat"), Bytes("theirs"));
    };
    // The INF's third open is the check before the installer: after its
    // writing and its reading back.
    m.files.OnCall(sim::FileOp::Open, m.Package(L"revodereriri.inf"), swap, 2);
    EXPECT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), -1);
    EXPECT_TRUE(m.Has(L"ERR", L"Launch_INF", m.Package(L"revodereriri.inf") +
                                                 L" is not the file this run wrote and holds, not used"));
    // Nothing is written, run or deleted in the folders put in their place.
    EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), -1);
    EXPECT_TRUE(m.Has(L"ERR", L"nLoadDelInstall_INF",
                      std::wstring(L"the package folder ") + PayloadMachine::kPackage +
                          L" is no longer the one this run made, nothing is written or run"));
    EXPECT_EQ(m.payload->vRemoveExtractedFiles(PayloadMachine::kTemp), 1);
    EXPECT_TRUE(m.launcher.Calls().empty());
    EXPECT_EQ(m.File(m.Package(L"revodereriri.inf")), Bytes("[Version] theirs"));
    EXPECT_EQ(m.File(m.Package(L"DeleteRevodereriri.bat")), Bytes("theirs"));
    // The run's own files went with the folder moved away, untouched.
    EXPECT_EQ(m.File(L"C:\\Users\\user\\AppData\\Local\\Temp-moved\\VTL262xFW\\FilterDriver\\revodereriri.inf"),
              Bytes("[Version]\r\ninf\r\n"));
    EXPECT_EQ(m.files.OpenHandleCount(), 0);
}

// A program of the user at every moment of a whole package life (devcon
// placed, driver installed, devcon deleted, driver removed, the way out):
// before the n-th file-system call it renames one package folder aside when
// it can and puts a folder of its own at that name (a planted newdev.dll, a
// sub-folder that turns into a junction to a protected folder once the
// clean-up has listed it). Among those moments is the one right after the
// run made the folder. Whenever it acts: no program runs in a folder this
// run did not make or beside the planted DLL, nothing outside is deleted,
// nothing stays open.
TEST(PackageFolderFaultSweep, ASwapAtAnyMomentNeverGetsAProgramRunOrAnythingOutsideDeleted) {
    const std::vector<std::wstring> names = {L"a.sys", L"b.sys"};
    const std::wstring vtl = std::wstring(PayloadMachine::kTemp) + L"VTL262xFW";
    struct Outcome {
        int calls = 0;
        bool swapped = false;
    };
    const auto life = [&](const std::wstring& target, int at) {
        PayloadMachine m;
        Outcome out;
        for (const auto& name : names) m.files.PutFile(L"C:\\Windows\\Protected\\" + name, Bytes("protected"));
        m.files.ObserveCalls([&](sim::FileOp, const std::wstring&) {
            if (out.calls++ != at) return;
            if (m.files.Exists(target) && !m.files.RenameEntry(target, L"moved-away").ok) return;
            if (m.files.Exists(target) || !m.files.IsDirectory(target.substr(0, target.rfind(L'\\')))) return;
            out.swapped = true;
            m.files.PutFile(target + L"\\newdev.dll", Bytes("planted"));
            for (const auto& name : names) m.files.PutFile(target + L"\\Sub\\" + name, Bytes("user"));
            m.files.SetForeignOwner(target);
            m.files.OnCall(sim::FileOp::Delete, target + L"\\Sub\\a.sys", [&m, target] {
                m.files.RenameEntry(target + L"\\Sub", L"Gone");
                m.files.MakeRedirection(target + L"\\Sub", L"C:\\Windows\\Protected");
            });
        });
        m.launcher.SetProgram([&](const sim::ProcessCall& c) {
            EXPECT_TRUE(m.files.IsPrivate(c.currentDirectory) && m.files.IsPrivate(vtl)) << c.commandLine;
            EXPECT_FALSE(m.files.Exists(c.currentDirectory + L"\\newdev.dll")) << c.commandLine;
            return 0u;
        });
        m.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 1);
        m.payload->InstallFilterDriver(PayloadMachine::kTemp);
        m.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 0);
        m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp);
        m.payload->vRemoveExtractedFiles(PayloadMachine::kTemp);
        m.files.ObserveCalls(nullptr);
        for (const auto& name : names) EXPECT_EQ(m.File(L"C:\\Windows\\Protected\\" + name), Bytes("protected"));
        EXPECT_EQ(m.files.OpenHandleCount(), 0);
        return out;
    };
    for (const std::wstring& target :
         {vtl, std::wstring(PayloadMachine::kPackage), std::wstring(PayloadMachine::kPackage) + L"\\amd64"}) {
        const int calls = life(target, -1).calls;
        ASSERT_GT(calls, 50);
        int swaps = 0;
        for (int at = 0; at < calls; ++at) {
            SCOPED_TRACE(testing::Message() << std::string(target.begin(), target.end()) << " before call " << at);
            swaps += life(target, at).swapped ? 1 : 0;
            if (HasFailure()) return;
        }
        EXPECT_GT(swaps, 0);  // it got its folder in somewhere
    }
}

// A temporary folder whose path holds a character the command interpreter
// reads as its own (the uninstall batch puts its folder into a command
// unquoted): nothing is made, written or run there, every step fails with
// its code and a record naming the folder. A plain path with blanks, dots
// and parentheses works.
TEST(PackageFolder, APathTheCommandInterpreterWouldSplitIsNeverUsed) {
    struct Row {
        const wchar_t* temp;
        bool used;
    };
    const Row rows[] = {
        {L"C:\\T&cd ..&mkdir INJECTED&rem x\\", false},
        {L"C:\\Users\\a^b\\Temp\\", false},
        {L"C:\\Users\\user\\Temp!x!\\", false},
        {L"C:\\Users\\user\\%windir%\\", false},
        {L"C:\\T|x\\", false},
        {L"C:\\T<x\\", false},
        {L"C:\\Users\\user\\T>x\\", false},
        {L"C:\\Users\\Jane Doe (x86)\\Temp.1\\", true},
    };
    for (const Row& row : rows) {
        const std::wstring temp = row.temp;
        SCOPED_TRACE(std::string(temp.begin(), temp.end()));
        PayloadMachine m;
        m.files.MakeDirectory(temp);
        const std::wstring package = app::CPayload::strPackageFolder(temp);
        EXPECT_EQ(m.payload->nADD_Delete_DevconFile(temp, 1), row.used ? 0 : -10);
        std::vector<platform::DirectoryEntry> entries;
        ASSERT_TRUE(m.files.ListDirectory(temp, &entries).ok);
        EXPECT_EQ(entries.size(), row.used ? 1u : 0u);  // VTL262xFW
        EXPECT_EQ(m.payload->InstallFilterDriver(temp), row.used ? 0 : -1);
        EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(temp), row.used ? 0 : -1);
        EXPECT_EQ(m.launcher.Calls().size(), row.used ? 2u : 0u);
        EXPECT_EQ(m.Has(L"ERR", L"nADD_Delete_DevconFile",
                        L"the package folder " + package +
                            L" holds a character the command interpreter reads as its own"),
                  !row.used);
        EXPECT_EQ(m.payload->vRemoveExtractedFiles(temp), 1);
        EXPECT_FALSE(m.files.Exists(temp + L"VTL262xFW"));
        EXPECT_FALSE(m.files.Exists(L"C:\\INJECTED"));
        EXPECT_EQ(m.files.OpenHandleCount(), 0);
    }
}

// --- installation and removal through the process starter

struct LaunchCase {
    const wchar_t* temp;
    bool wow64;
    bool sysnative;  // %windir%\Sysnative is visible
    const wchar_t* system;  // where rundll32 and cmd are taken from
};

void PrintTo(const LaunchCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(c.temp) << (c.wow64 ? ", WOW64" : ", native") << (c.sysnative ? ", Sysnative" : "");
}

class Launch : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(Launch, InstallerAndBatchRunByFullPathOnTheFullInfPath) {
    PayloadMachine m;
    const std::wstring temp = GetParam().temp;
    const std::wstring package = app::CPayload::strPackageFolder(temp);
    m.files.MakeDirectory(temp);
    m.os.SetWow64(GetParam().wow64);
    if (GetParam().sysnative) {
        m.files.PutFile(L"C:\\Windows\\Sysnative\\cmd.exe", Bytes("cmd"));
        m.files.PutFile(L"C:\\Windows\\Sysnative\\rundll32.exe", Bytes("rundll32"));
    }
    // A planted program next to the tool and in the current directory.
    m.files.PutFile(L"C:\\Tool\\rundll32.exe", Bytes("planted"));
    m.files.PutFile(L"C:\\Tool\\cmd.exe", Bytes("planted"));
    bool infThere = false;
    m.launcher.SetProgram([&](const sim::ProcessCall& c) {
        infThere = infThere || m.files.Exists(package + L"\\revodereriri.inf");
        return 0u;
    });
    ASSERT_EQ(m.payload->InstallFilterDriver(temp), 0);
    ASSERT_EQ(m.launcher.Calls().size(), 1u);
    const std::wstring system = GetParam().system;
    sim::ProcessCall call = m.launcher.Calls()[0];
    EXPECT_EQ(call.commandLine, L"\"" + system + L"\\rundll32.exe\" setupapi,InstallHinfSection DefaultInstall 132 " +
                                    package + L"\\revodereriri.inf");
    EXPECT_EQ(call.currentDirectory, package);
    EXPECT_EQ(call.waitMs, platform::kWaitInfinite);
    EXPECT_TRUE(infThere);
    EXPECT_EQ(m.files.CurrentDirectory(), L"C:\\Tool");

    m.launcher.ClearCalls();
    ASSERT_EQ(m.payload->Remove_FilterDriverAndFiles(temp), 0);
    ASSERT_EQ(m.launcher.Calls().size(), 1u);
    call = m.launcher.Calls()[0];
    EXPECT_EQ(call.commandLine,
              L"\"" + system + L"\\cmd.exe\" /d /v:off /c \"\"" + package + L"\\DeleteRevodereriri.bat\"\"");
    EXPECT_EQ(call.currentDirectory, package);
    EXPECT_TRUE(call.noWindow);
    EXPECT_FALSE(m.files.Exists(package.substr(0, package.rfind(L'\\'))));
    EXPECT_TRUE(m.payload->ExtractedFiles().empty());

    m.launcher.FailStarts(platform::kErrorFileNotFound);
    EXPECT_EQ(m.payload->InstallFilterDriver(temp), -1);
    EXPECT_TRUE(m.Has(L"ERR", L"Launch_INF", L"CreateProcess failed, szCmdLine=\"" + system + L"\\rundll32.exe\""));
    EXPECT_TRUE(m.Has(L"ERR", L"InstallFilterDriver", L"Launch_INF failed[-1],"));
}

INSTANTIATE_TEST_SUITE_P(
    Systems, Launch,
    ::testing::Values(LaunchCase{L"C:\\Users\\user\\AppData\\Local\\Temp\\", true, true, L"C:\\Windows\\Sysnative"},
                      LaunchCase{L"C:\\Users\\user\\AppData\\Local\\Temp\\", true, false, L"C:\\Windows\\System32"},
                      LaunchCase{L"C:\\Users\\user\\AppData\\Local\\Temp\\", false, true, L"C:\\Windows\\System32"},
                      LaunchCase{L"C:\\Users\\Jane Doe\\Temp Files\\", false, false, L"C:\\Windows\\System32"}));

TEST(FilterDriver, PackageFolderRemovalIsTriedAgainOverASecond) {
    struct Row { int busy; bool removed; std::uint64_t ms; };
    for (const Row row : {Row{3, true, 300}, Row{-1, false, 900}}) {
        PayloadMachine m;
        ASSERT_EQ(m.payload->InstallFilterDriver(PayloadMachine::kTemp), 0);
        sim::FileFault busy;
        busy.op = sim::FileOp::DeleteEntry;
        busy.path = PayloadMachine::kPackage;
        busy.error = platform::kErrorSharingViolation;
        busy.times = row.busy;
        m.files.AddFault(busy);
        const std::uint64_t start = m.sched.MonotonicMs();
        ASSERT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
        EXPECT_EQ(m.sched.MonotonicMs() - start, row.ms);
        EXPECT_EQ(m.files.Exists(PayloadMachine::kPackage), !row.removed);
        EXPECT_EQ(m.Has(L"MSG", L"Remove_FilterDriverAndFiles", L"RemoveDirectory failed"), !row.removed);
    }
}

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

    // What the elevated installer left in the folders this run made goes
    // too (nobody else can write there); nothing outside them is touched.
    m.launcher.FailStarts(0);
    m.files.PutFile(m.Package(L"setupapi.log"), Bytes("installer"));
    m.files.PutFile(std::wstring(PayloadMachine::kTemp) + L"notes.txt", Bytes("user"));
    sim::FileFault inUse;
    inUse.op = sim::FileOp::Delete;
    inUse.path = m.Package(L"amd64\\revodereriri.sys");
    inUse.error = platform::kErrorSharingViolation;
    inUse.times = -1;
    m.files.AddFault(inUse);
    EXPECT_EQ(m.payload->Remove_FilterDriverAndFiles(PayloadMachine::kTemp), 0);
    EXPECT_TRUE(m.Has(L"ERR", L"Remove_FilterDriverAndFiles", L"DeleteFile failed, " + m.Package(L"amd64\\revodereriri.sys")));
    EXPECT_EQ(m.payload->ExtractedFiles(), std::vector<std::wstring>{m.Package(L"amd64\\revodereriri.sys")});
    EXPECT_FALSE(m.files.Exists(m.Package(L"setupapi.log")));
    EXPECT_EQ(m.File(std::wstring(PayloadMachine::kTemp) + L"notes.txt"), Bytes("user"));
    EXPECT_FALSE(m.files.Exists(m.Package(L"i386")));
    EXPECT_TRUE(m.files.Exists(m.Package(L"amd64")));
}

// --- devcon

TEST(Devcon, WrittenIntoTheLockedPackageFolderAndRunFromThereOnly) {
    for (const bool wow64 : {true, false}) {
        PayloadMachine m;
        m.os.SetWow64(wow64);
        const std::wstring name = wow64 ? L"devconAMD64.exe" : L"devcon.exe";
        const std::wstring path = m.Package(name);
        const std::wstring program = L"C:\\Tool\\" + name;
        m.files.PutFile(program, Bytes("their devcon"));
        ASSERT_EQ(m.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 1), 0);
        EXPECT_EQ(m.File(path), Bytes(wow64 ? "devcon amd64" : "devcon x86"));
        EXPECT_EQ(m.utility->m_strDevconPath, path);
        EXPECT_TRUE(m.files.IsPrivate(PayloadMachine::kPackage));
        EXPECT_FALSE(m.files.Exists(m.Package(wow64 ? L"devcon.exe" : L"devconAMD64.exe")));
        // Held: readable for the start, never writable before it.
        EXPECT_EQ(m.files
                      .CreateFile(path, platform::kGenericWrite, platform::kFileShareRead | platform::kFileShareWrite,
                                  platform::FileDisposition::OpenExisting, 0)
                      .error,
                  platform::kErrorSharingViolation);
        EXPECT_EQ(m.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 0), 0);
        EXPECT_FALSE(m.files.Exists(path));
        EXPECT_TRUE(m.utility->m_strDevconPath.empty());
        EXPECT_EQ(m.File(program), Bytes("their devcon"));  // neither replaced nor deleted
        EXPECT_EQ(m.payload->vRemoveExtractedFiles(PayloadMachine::kTemp), 1);
        EXPECT_FALSE(m.files.Exists(std::wstring(PayloadMachine::kTemp) + L"VTL262xFW"));
        EXPECT_EQ(m.files.OpenHandleCount(), 0);
    }
    PayloadMachine m;
    sim::FileFault fault;
    fault.op = sim::FileOp::CreateDirectory;
    fault.path = PayloadMachine::kPackage;
    m.files.AddFault(fault);
    EXPECT_EQ(m.payload->nADD_Delete_DevconFile(PayloadMachine::kTemp, 1), -10);
    EXPECT_TRUE(m.Has(L"ERR", L"nADD_Delete_DevconFile",
                      L"the package folder " + std::wstring(PayloadMachine::kPackage) + L" cannot be made safe"));
    EXPECT_TRUE(m.utility->m_strDevconPath.empty());
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

    // A Temp folder that redirects elsewhere is never written through.
    PayloadMachine n;
    n.files.PutFile(L"C:\\Tool\\140415_03_E5_00.bin", Bytes("the user's image"));
    n.files.MakeDirectory(L"C:\\Elsewhere");
    n.files.MakeRedirection(L"C:\\Tool\\Temp", L"C:\\Elsewhere");
    EXPECT_EQ(n.payload->vExtractBinFiles(), 0);
    EXPECT_FALSE(n.files.Exists(L"C:\\Elsewhere\\140415_03_E5_00.bin"));
    EXPECT_TRUE(n.sink.HasRecord(L"ERR", L"CHubUtility::bHoldTempFolder",
                                 L"[C:\\Tool\\Temp] is a redirection or no folder, nothing is written there"));
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
