// The simulated system services behave as Windows does where the core relies
// on it: file dispositions and errors, registry storage, process list.
#include <gtest/gtest.h>

#include "sim/SimSystem.h"

using platform::FileDisposition;
using platform::kGenericRead;
using platform::kGenericWrite;

namespace {

std::vector<std::uint8_t> B(std::initializer_list<int> v) {
    std::vector<std::uint8_t> out;
    for (int x : v) out.push_back(static_cast<std::uint8_t>(x));
    return out;
}

struct OpenCase {
    const char* name;
    bool exists;
    bool readOnly;
    std::uint32_t access;
    FileDisposition disposition;
    bool ok;
    std::uint32_t error;              // failure error, or GetLastError after success
    std::optional<std::size_t> size;  // file size after the open
};

TEST(SimFilesTest, DispositionsFollowWindows) {
    const std::vector<OpenCase> cases = {
        {"create new, missing", false, false, kGenericWrite, FileDisposition::CreateNew, true, 0, 0},
        {"create new, existing", true, false, kGenericWrite, FileDisposition::CreateNew, false, 80, 3},
        {"create always truncates", true, false, kGenericWrite, FileDisposition::CreateAlways, true, 183, 0},
        {"open existing, missing", false, false, kGenericRead, FileDisposition::OpenExisting, false, 2, {}},
        {"open always keeps data", true, false, kGenericWrite, FileDisposition::OpenAlways, true, 183, 3},
        {"open always creates", false, false, kGenericWrite, FileDisposition::OpenAlways, true, 0, 0},
        {"truncate existing", true, false, kGenericWrite, FileDisposition::TruncateExisting, true, 0, 0},
        {"truncate needs write", true, false, kGenericRead, FileDisposition::TruncateExisting, false, 87, 3},
        {"read-only for write", true, true, kGenericWrite, FileDisposition::OpenExisting, false, 5, 3},
        {"read-only for read", true, true, kGenericRead, FileDisposition::OpenExisting, true, 0, 3},
        {"read-only create always", true, true, kGenericWrite, FileDisposition::CreateAlways, false, 5, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimFiles fs;
        fs.MakeDirectory(L"C:\\dir");
        if (c.exists) fs.PutFile(L"C:\\dir\\f.bin", B({1, 2, 3}));
        if (c.readOnly) fs.SetReadOnly(L"c:\\DIR\\F.BIN", true);
        const auto r = fs.CreateFile(L"C:\\Dir\\F.bin", c.access, 0, c.disposition, 0);
        EXPECT_EQ(r.handle.IsValid(), c.ok);
        EXPECT_EQ(r.error, c.error);
        const auto data = fs.GetFile(L"c:/dir/f.bin");
        EXPECT_EQ(data.has_value(), c.size.has_value());
        if (data && c.size) {
            EXPECT_EQ(data->size(), *c.size);
        }
        if (r.handle.IsValid()) {
            EXPECT_TRUE(fs.CloseHandle(r.handle));
        }
        EXPECT_EQ(fs.OpenHandleCount(), 0);
    }
}

TEST(SimFilesTest, DirectoriesAccessAndDelete) {
    sim::SimFiles fs;
    EXPECT_EQ(fs.CreateFile(L"C:\\no\\f", kGenericWrite, 0, FileDisposition::CreateAlways, 0).error, 3u);
    EXPECT_TRUE(fs.CreateDirectory(L"C:\\no").ok);
    EXPECT_EQ(fs.CreateDirectory(L"c:\\NO\\").error, 183u);
    EXPECT_EQ(fs.CreateDirectory(L"C:\\a\\b").error, 3u);
    EXPECT_EQ(fs.DeleteFile(L"C:\\no\\f").error, 2u);
    fs.PutFile(L"C:\\no\\f", B({9}));
    EXPECT_EQ(fs.Access(L"C:\\no\\f", 0), 0);
    EXPECT_EQ(fs.Access(L"C:\\no\\g", 0), sim::kSimErrnoNoEnt);
    fs.SetReadOnly(L"C:\\no\\f", true);
    EXPECT_EQ(fs.Access(L"C:\\no\\f", 6), sim::kSimErrnoAccess);
    EXPECT_EQ(fs.Access(L"C:\\no\\f", 4), 0);
    EXPECT_EQ(fs.DeleteFile(L"C:\\no\\f").error, 5u);
    fs.SetReadOnly(L"C:\\no\\f", false);
    // An open handle without delete sharing blocks the deletion.
    const auto h = fs.CreateFile(L"C:\\no\\f", kGenericRead, 1, FileDisposition::OpenExisting, 0).handle;
    EXPECT_EQ(fs.DeleteFile(L"C:\\no\\f").error, 32u);
    EXPECT_EQ(fs.CreateFile(L"C:\\no\\f", kGenericWrite, 1, FileDisposition::OpenExisting, 0).error, 32u);
    fs.CloseHandle(h);
    EXPECT_TRUE(fs.DeleteFile(L"C:\\no\\..\\no\\.\\f").ok);
    EXPECT_FALSE(fs.Exists(L"C:\\no\\f"));
    // Relative names resolve against the current directory.
    fs.SetCurrentDirectory(L"C:\\no");
    fs.PutFile(L".\\rel.txt", B({1}));
    EXPECT_TRUE(fs.Exists(L"C:\\no\\rel.txt"));
}

TEST(SimFilesTest, PositionsTruncationAndFaults) {
    sim::SimFiles fs;
    fs.PutFile(L"C:\\f", B({1, 2, 3, 4, 5, 6}));
    const auto h = fs.CreateFile(L"C:\\f", kGenericRead | kGenericWrite, 0, FileDisposition::OpenExisting, 0).handle;
    std::uint8_t buf[8] = {};
    std::uint32_t done = 0;
    ASSERT_TRUE(fs.Seek(h, 4).ok);
    EXPECT_TRUE(fs.ReadFile(h, buf, 8, &done).ok);
    EXPECT_EQ(done, 2u);
    EXPECT_EQ(buf[0], 5);
    ASSERT_TRUE(fs.Seek(h, 1).ok);
    const std::uint8_t w[2] = {0xAA, 0xBB};
    EXPECT_TRUE(fs.WriteFile(h, w, 2, &done).ok);
    EXPECT_TRUE(fs.SetEndOfFile(h).ok);
    EXPECT_EQ(*fs.GetFile(L"C:\\f"), B({1, 0xAA, 0xBB}));
    std::uint64_t size = 0;
    EXPECT_TRUE(fs.GetFileSize(h, &size).ok);
    EXPECT_EQ(size, 3u);

    fs.AddFault({sim::FileOp::Read, L"c:\\F", 0, true, 1});
    ASSERT_TRUE(fs.Seek(h, 0).ok);
    EXPECT_TRUE(fs.ReadFile(h, buf, 3, &done).ok);
    EXPECT_EQ(done, 1u);  // short read
    EXPECT_TRUE(fs.ReadFile(h, buf, 3, &done).ok);
    EXPECT_EQ(done, 2u);  // the fault hit once
    auto& every = fs.AddFault({sim::FileOp::Write, L"", 112, false, 0, 1, -1});
    EXPECT_TRUE(fs.WriteFile(h, w, 2, &done).ok);  // skip 1: the second and later fail
    EXPECT_EQ(fs.WriteFile(h, w, 2, &done).error, 112u);
    EXPECT_EQ(fs.WriteFile(h, w, 2, &done).error, 112u);
    EXPECT_EQ(every.hits, 2);
    fs.CloseHandle(h);
    EXPECT_FALSE(fs.CloseHandle(h));
    EXPECT_EQ(fs.ReadFile(h, buf, 1, &done).error, 6u);
}

// A second open is refused when either handle's sharing excludes the
// other's access; a delete needs every open handle to share deletion.
TEST(SimFilesTest, SharingIsCheckedBothWays) {
    constexpr std::uint32_t R = platform::kFileShareRead, W = platform::kFileShareWrite,
                            D = platform::kFileShareDelete;
    struct Row {
        std::uint32_t firstAccess, firstShare, secondAccess, secondShare;
        bool opens;
        bool deletable;  // with the first handle open
    };
    const Row rows[] = {
        {kGenericRead, R, kGenericRead, R, true, false},            // the held files: readers only
        {kGenericRead, R, kGenericWrite, R | W | D, false, false},  // no writer while held
        {kGenericRead, R, kGenericRead, R | W, true, false},
        {kGenericRead | kGenericWrite, R | W, kGenericRead, R, false, false},  // the first writes: share it
        {kGenericWrite, R, kGenericRead, R, false, false},
        {kGenericWrite, R | W, kGenericRead, R | W, true, false},
        {kGenericRead, R | D, kGenericRead, R | D, true, true},
    };
    for (const Row& row : rows) {
        sim::SimFiles files;
        files.PutFile(L"C:\\f.bin", B({1, 2}));
        const auto first = files.CreateFile(L"C:\\f.bin", row.firstAccess, row.firstShare,
                                            FileDisposition::OpenExisting, 0);
        ASSERT_TRUE(first.handle.IsValid());
        const auto second = files.CreateFile(L"C:\\f.bin", row.secondAccess, row.secondShare,
                                             FileDisposition::OpenExisting, 0);
        EXPECT_EQ(second.handle.IsValid(), row.opens);
        if (!row.opens) {
            EXPECT_EQ(second.error, platform::kErrorSharingViolation);
        }
        if (second.handle.IsValid()) files.CloseHandle(second.handle);
        EXPECT_EQ(files.DeleteFile(L"C:\\f.bin").ok, row.deletable);
        files.CloseHandle(first.handle);
    }
}

// Junctions are followed on the way, never as the last name; ownership and
// the private access list are reported; listing names each entry once.
TEST(SimFilesTest, RedirectionsOwnersAndListing) {
    sim::SimFiles files;
    files.PutFile(L"C:\\Target\\a.txt", B({1}));
    files.MakeRedirection(L"C:\\Temp\\Link", L"C:\\Target");
    EXPECT_EQ(*files.GetFile(L"C:\\Temp\\Link\\a.txt"), B({1}));
    platform::PathFacts facts;
    ASSERT_TRUE(files.InspectPath(L"C:\\Temp\\Link", &facts).ok);
    EXPECT_TRUE(facts.exists && facts.directory && facts.redirection && !facts.trustedOwner);
    EXPECT_EQ(files.CreateHeldFolder(L"C:\\Temp\\Link").error, platform::kErrorAlreadyExists);
    std::vector<platform::DirectoryEntry> entries;
    ASSERT_TRUE(files.ListDirectory(L"C:\\Temp", &entries).ok);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].name == L"Link" && entries[0].redirection);
    EXPECT_EQ(files.ListDirectory(L"C:\\Temp\\Link", &entries).error, platform::kErrorDirectory);
    EXPECT_TRUE(files.RemoveDirectory(L"C:\\Temp\\Link").ok);  // the link, not its target
    EXPECT_TRUE(files.Exists(L"C:\\Target\\a.txt"));

    files.SetForeignOwner(L"C:\\Target");
    ASSERT_TRUE(files.InspectPath(L"C:\\Target", &facts).ok);
    EXPECT_FALSE(facts.trustedOwner);
    EXPECT_EQ(files.CreateHeldFolder(L"C:\\Target").error, platform::kErrorAlreadyExists);
    EXPECT_EQ(files.CreateHeldFolder(L"C:\\Target\\a.txt").error, platform::kErrorAlreadyExists);
    EXPECT_EQ(files.CreateHeldFolder(L"C:\\Nowhere\\Made").error, platform::kErrorPathNotFound);
    // Made and held at once: the handle is on the folder the name reaches,
    // which cannot be renamed.
    const platform::FileOpenResult made = files.CreateHeldFolder(L"C:\\Made");
    ASSERT_TRUE(made.handle.IsValid());
    EXPECT_EQ(files.RenameEntry(L"C:\\Made", L"theirs").error, platform::kErrorSharingViolation);
    EXPECT_TRUE(platform::IsSameFile(files, made.handle, L"C:\\Made"));
    ASSERT_TRUE(files.InspectPath(L"C:\\Made", &facts).ok);
    EXPECT_TRUE(facts.directory && facts.trustedOwner && files.IsPrivate(L"C:\\Made"));
    files.CloseHandle(made.handle);
    EXPECT_EQ(files.OpenHandleCount(), 0);
    ASSERT_TRUE(files.InspectPath(L"C:\\Nowhere", &facts).ok);
    EXPECT_FALSE(facts.exists);
}

// A held folder (no delete sharing) can be renamed or deleted neither
// itself nor through a folder above it; a rename keeps every identity and
// moves open handles along; a junction is renamed as the name itself; a
// hook acts as another program between two calls.
TEST(SimFilesTest, HeldFoldersRenamesIdentitiesAndHooks) {
    sim::SimFiles files;
    files.PutFile(L"C:\\T\\Pkg\\Sub\\a.txt", B({1}));
    files.PutFile(L"C:\\Protected\\p.txt", B({9}));
    platform::PathFacts facts;
    const platform::FileOpenResult held = files.HoldFolder(L"C:\\T\\Pkg\\Sub", &facts);
    ASSERT_TRUE(held.handle.IsValid());
    EXPECT_TRUE(facts.directory && !facts.redirection);
    platform::FileIdentity sub, named;
    ASSERT_TRUE(files.GetFileIdentity(held.handle, &sub).ok);
    for (const wchar_t* path : {L"C:\\T\\Pkg\\Sub", L"C:\\T\\Pkg", L"C:\\T"})
        EXPECT_EQ(files.RenameEntry(path, L"moved").error, platform::kErrorSharingViolation);
    EXPECT_EQ(files.DeleteEntry(L"C:\\T\\Pkg\\Sub", sub).error, platform::kErrorSharingViolation);
    EXPECT_EQ(files.RemoveDirectory(L"C:\\T\\Pkg\\Sub").error, platform::kErrorSharingViolation);
    EXPECT_TRUE(platform::IsSameFile(files, held.handle, L"C:\\T\\Pkg\\Sub"));
    files.CloseHandle(held.handle);

    // Renamed with a file open that shares deletion: the handle follows.
    const auto open = files.CreateFile(L"C:\\T\\Pkg\\Sub\\a.txt", platform::kGenericRead,
                                       platform::kFileShareRead | platform::kFileShareDelete,
                                       FileDisposition::OpenExisting, 0);
    ASSERT_TRUE(files.GetPathIdentity(L"C:\\T\\Pkg\\Sub\\a.txt", &named).ok);
    ASSERT_TRUE(files.RenameEntry(L"C:\\T\\Pkg", L"Old").ok);
    EXPECT_EQ(files.RenameEntry(L"C:\\T\\Old", L"Old").error, 0u);
    EXPECT_FALSE(files.Exists(L"C:\\T\\Pkg"));
    platform::FileIdentity moved;
    ASSERT_TRUE(files.GetPathIdentity(L"C:\\T\\Old\\Sub\\a.txt", &moved).ok);
    EXPECT_EQ(moved, named);
    EXPECT_TRUE(platform::IsSameFile(files, open.handle, L"C:\\T\\Old\\Sub\\a.txt"));
    files.CloseHandle(open.handle);
    EXPECT_EQ(files.DeleteEntry(L"C:\\T\\Old\\Sub", moved).error, platform::kErrorFileInvalid);
    ASSERT_TRUE(files.GetPathIdentity(L"C:\\T\\Old\\Sub", &sub).ok);
    EXPECT_EQ(files.DeleteEntry(L"C:\\T\\Old\\Sub", sub).error, platform::kErrorDirNotEmpty);

    // A junction swapped in by a hook before the second deletion; renaming
    // it moves the name, never its target.
    files.PutFile(L"C:\\T\\Old\\Sub\\b.txt", B({2}));
    files.OnCall(sim::FileOp::Delete, L"", [&] {
        ASSERT_TRUE(files.RenameEntry(L"C:\\T\\Old\\Sub", L"Real").ok);
        files.MakeRedirection(L"C:\\T\\Old\\Sub", L"C:\\Protected");
    }, 1);
    EXPECT_TRUE(files.DeleteFile(L"C:\\T\\Old\\Sub\\a.txt").ok);
    EXPECT_EQ(files.DeleteFile(L"C:\\T\\Old\\Sub\\b.txt").error, platform::kErrorFileNotFound);
    EXPECT_TRUE(files.Exists(L"C:\\T\\Old\\Real\\b.txt"));
    ASSERT_TRUE(files.RenameEntry(L"C:\\T\\Old\\Sub", L"Link").ok);
    ASSERT_TRUE(files.InspectPath(L"C:\\T\\Old\\Link", &facts).ok);
    EXPECT_TRUE(facts.redirection);
    EXPECT_EQ(*files.GetFile(L"C:\\Protected\\p.txt"), B({9}));
    EXPECT_EQ(files.RenameEntry(L"C:\\T\\Old\\Link", L"Real").error, platform::kErrorAlreadyExists);
}

TEST(SimRegistryTest, StoresAsWindowsAndNeverCreatesKeysOnWrite) {
    sim::SimRegistry reg;
    reg.SetMultiString(L"K\\Sub", L"Multi", {L"a", L"b"});
    const auto r = reg.ReadValue(L"k\\sub\\", L"MULTI", 8192);
    EXPECT_EQ(r.openStatus, 0u);
    EXPECT_EQ(r.queryStatus, 0u);
    EXPECT_EQ(r.type, 7u);
    EXPECT_EQ(r.data, B({'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ(reg.ReadValue(L"K\\Sub", L"Multi", 9).queryStatus, platform::kErrorMoreData);
    EXPECT_EQ(reg.ReadValue(L"K\\\\Sub", L"Multi", 100).openStatus, 2u);
    EXPECT_EQ(reg.ReadValue(L"K\\Sub", L"none", 100).queryStatus, 2u);

    EXPECT_EQ(reg.WriteDword(L"K\\New", L"v", 1).openStatus, 2u);
    EXPECT_FALSE(reg.HasKey(L"K\\New"));
    EXPECT_EQ(reg.WriteDword(L"K\\Sub", L"v", 0x12345678).openStatus, 0u);
    EXPECT_EQ(reg.GetDword(L"k\\sub", L"V"), 0x12345678u);
    reg.AddFault({sim::RegOp::Set, L"k\\SUB", L"", 5});
    const auto w = reg.WriteDword(L"K\\Sub", L"v", 2);
    EXPECT_EQ(w.setStatus, 5u);
    EXPECT_EQ(reg.GetDword(L"K\\Sub", L"v"), 0x12345678u);
    ASSERT_EQ(reg.Writes().size(), 3u);
    EXPECT_TRUE(reg.Writes()[1].ok);
    EXPECT_FALSE(reg.Writes()[2].ok);
}

TEST(SimProcessesTest, ListAndTerminate) {
    sim::SimProcesses p;
    p.AddProcess(8, L"a.exe");
    p.AddUnreadableProcess(9);
    p.FailTerminate(8, 5);
    std::wstring name;
    EXPECT_TRUE(p.FirstModuleBaseName(8, &name));
    EXPECT_EQ(name, L"a.exe");
    EXPECT_FALSE(p.FirstModuleBaseName(9, &name));
    EXPECT_EQ(p.EnumProcesses().ids, (std::vector<std::uint32_t>{8, 9}));
    EXPECT_TRUE(p.TerminateProcess(8, 0).opened);
    EXPECT_FALSE(p.TerminateProcess(77, 0).opened);
    EXPECT_TRUE(p.TerminateProcess(9, 3).terminated);
    EXPECT_FALSE(p.IsRunning(9));
    ASSERT_EQ(p.Terminations().size(), 3u);
    EXPECT_EQ(p.Terminations()[2].exitCode, 3u);
    p.SetListStatus(platform::ProcessListStatus::LibraryMissing, 126);
    EXPECT_TRUE(p.EnumProcesses().ids.empty());
}

}  // namespace
