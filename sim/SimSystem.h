// The simulated machine's system services: an in-memory file system, the
// registry, the process list, OS facts and the message box. Deterministic,
// with fault injection, and with journals that tests can read.
//
// Each object guards its state with a lock of its own, so it may be used from
// scheduler participants and from real threads alike.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "platform/OsInfo.h"
#include "platform/Processes.h"
#include "platform/Registry.h"
#include "platform/Threads.h"
#include "platform/Ui.h"

namespace sim {

// C library errno values the simulation reports (Win32 codes: platform/Win32Errors.h).
constexpr int kSimErrnoNoEnt = 2;
constexpr int kSimErrnoAccess = 13;
constexpr int kSimErrnoInval = 22;

// ---------------------------------------------------------------------------
// Files

enum class FileOp {
    Open,             // CreateFile (any disposition)
    Read,             // ReadFile
    Write,            // WriteFile
    Delete,           // DeleteFile
    CreateDirectory,  // CreateDirectory
    RemoveDirectory,  // RemoveDirectory
    SetAttributes,    // SetFileAttributes
    Rename,           // RenameEntry
    Hold,             // HoldFolder
    DeleteEntry,      // DeleteEntry
    Close,            // CloseHandle (the path the handle reaches)
};

// Makes matching calls fail with `error` (or, for reads with `shortRead` and
// writes with `shortWrite`, succeed with at most `shortBytes` bytes).
struct FileFault {
    FileOp op = FileOp::Open;
    std::wstring path;  // empty: any path; else compared like the file system does
    std::uint32_t error = platform::kErrorAccessDenied;
    bool shortRead = false;
    std::uint32_t shortBytes = 0;
    int skip = 0;   // matching calls to let through first
    int times = 1;  // how many to hit; -1: every one
    int hits = 0;
    bool shortWrite = false;
};

// Windows semantics (as NTFS has them): paths compare without letter case, '\\' and '/' both
// separate, "." and ".." are resolved, a relative path is taken from the
// current directory (initially "C:\\"). A drive root ("X:") always exists.
// A file can only be created in an existing directory. Sharing covers
// reading, writing and deletion: a name open with a handle that does not
// share deletion cannot be deleted or renamed, and neither can a folder
// above it. Each file and folder has an identity of its own that a rename
// keeps; a name deleted and made again is another file.
class SimFiles : public platform::Files {
public:
    // --- test helpers (they bypass faults)
    // Puts a file with these bytes, creating missing parent directories.
    void PutFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes);
    std::optional<std::vector<std::uint8_t>> GetFile(const std::wstring& path) const;
    bool Exists(const std::wstring& path) const;  // file or directory
    bool IsDirectory(const std::wstring& path) const;
    void SetReadOnly(const std::wstring& path, bool readOnly);
    bool IsHidden(const std::wstring& path) const;
    // What GetTempPath reports (default "C:\\Users\\user\\AppData\\Local\\Temp\\");
    // an empty text makes it fail.
    void SetTempPath(const std::wstring& path);
    // Creates the directory and its missing parents.
    void MakeDirectory(const std::wstring& path);
    void SetCurrentDirectory(const std::wstring& path);
    std::wstring CurrentDirectory() const;
    // The full path a name resolves to, in the file system's spelling.
    std::wstring FullPath(const std::wstring& path) const;
    // A junction: the folder name `path` (made, with missing parents)
    // redirects to `target`. Paths through it reach the target; the name
    // itself is removed with RemoveDirectory, which leaves the target alone.
    void MakeRedirection(const std::wstring& path, const std::wstring& target);
    // The file or folder is owned by someone other than Administrators or
    // SYSTEM (as what a user makes in a folder everybody may write).
    void SetForeignOwner(const std::wstring& path, bool foreign = true);
    // CreateHeldFolder gave the folder its access list.
    bool IsPrivate(const std::wstring& path) const;

    // As Wine has it: a folder above a held name can be renamed (only
    // handles on the entry itself count), unlike NTFS.
    void SetRenameChecksEntryOnly(bool entryOnly);

    FileFault& AddFault(const FileFault& fault);
    void ClearFaults();
    // Runs `action` (another program's doing, through this object's own
    // calls) right before the (skip+1)-th matching call, once; `path` empty:
    // any path. For Close, the path the closed handle reaches.
    void OnCall(FileOp op, const std::wstring& path, std::function<void()> action, int skip = 0);
    // Runs `observer` (another program's doing) right before every call
    // that runs hooks, with the call's kind and the key of its path; its
    // own calls are not observed. Empty: none.
    void ObserveCalls(std::function<void(FileOp, const std::wstring&)> observer);

    int OpenHandleCount() const;
    int OpenCount() const;  // successful CreateFile calls so far

    // --- platform::Files
    int Access(const std::wstring& path, int mode) override;
    platform::FileOpenResult CreateFile(const std::wstring& path, std::uint32_t access,
                                        std::uint32_t share, platform::FileDisposition disposition,
                                        std::uint32_t flags) override;
    platform::FileResult ReadFile(platform::Handle file, std::uint8_t* buffer, std::uint32_t count,
                                  std::uint32_t* done) override;
    platform::FileResult WriteFile(platform::Handle file, const std::uint8_t* buffer,
                                   std::uint32_t count, std::uint32_t* done) override;
    platform::FileResult Seek(platform::Handle file, std::uint64_t offset) override;
    platform::FileResult GetFileSize(platform::Handle file, std::uint64_t* size) override;
    platform::FileResult SetEndOfFile(platform::Handle file) override;
    platform::FileResult FlushFileBuffers(platform::Handle file) override;
    bool CloseHandle(platform::Handle file) override;
    platform::FileResult CreateDirectory(const std::wstring& path) override;
    platform::FileResult DeleteFile(const std::wstring& path) override;
    platform::FileResult RemoveDirectory(const std::wstring& path) override;
    // Exact names only: a wildcard finds nothing (ERROR_INVALID_NAME).
    platform::FileResult FindFirstFile(const std::wstring& path) override;
    platform::FileResult GetFileAttributes(const std::wstring& path, std::uint32_t* attributes) override;
    // Keeps the read-only and hidden bits; the rest are accepted and dropped.
    platform::FileResult SetFileAttributes(const std::wstring& path, std::uint32_t attributes) override;
    std::wstring GetTempPath() override;
    platform::FileResult InspectPath(const std::wstring& path, platform::PathFacts* facts) override;
    // Made and held in one step (IsPrivate tells it); faults and hooks:
    // FileOp::CreateDirectory.
    platform::FileOpenResult CreateHeldFolder(const std::wstring& path) override;
    platform::FileOpenResult HoldFolder(const std::wstring& path, platform::PathFacts* facts) override;
    platform::FileResult GetFileIdentity(platform::Handle handle, platform::FileIdentity* identity) override;
    platform::FileResult GetPathIdentity(const std::wstring& path, platform::FileIdentity* identity) override;
    // Refused (ERROR_SHARING_VIOLATION) while a handle on the name or below
    // it does not share deletion.
    platform::FileResult RenameEntry(const std::wstring& path, const std::wstring& newName) override;
    platform::FileResult DeleteEntry(const std::wstring& path, const platform::FileIdentity& expected) override;
    platform::FileResult ListDirectory(const std::wstring& path,
                                       std::vector<platform::DirectoryEntry>* entries) override;

private:
    struct Node {
        std::wstring path;  // full path as first spelled
        bool directory = false;
        bool readOnly = false;
        bool hidden = false;
        bool foreignOwner = false;
        bool privateAccess = false;
        std::wstring redirectsTo;  // a junction's target (full path)
        std::vector<std::uint8_t> data;
        std::uint64_t id = 0;  // the file index
    };
    struct OpenFile {
        std::wstring key;  // empty once the file was deleted under the handle
        std::uint32_t access = 0;
        std::uint32_t share = 0;
        std::uint64_t position = 0;
        std::uint64_t id = 0;
    };
    struct Hook {
        FileOp op = FileOp::Open;
        std::wstring key;
        int skip = 0;
        std::function<void()> action;
    };
    using Lock = std::lock_guard<std::recursive_mutex>;

    std::wstring Resolve(const std::wstring& path) const;  // full path
    static std::wstring Key(const std::wstring& fullPath);
    static std::wstring Parent(const std::wstring& fullPath);
    bool DirectoryExists(const std::wstring& fullPath) const;
    FileFault* FindFault(FileOp op, const std::wstring& key);
    // The handle's entry, or null with `error` set (unknown or orphaned).
    OpenFile* FindHandle(platform::Handle file, std::uint32_t* error);
    bool SharingAllows(const std::wstring& key, std::uint32_t access, std::uint32_t share) const;
    void MakeDirectoryLocked(const std::wstring& fullPath);
    Node NewNode(const std::wstring& fullPath, bool directory);
    // Runs the hooks due before this call (the lock is held: a hook's own
    // calls come back in).
    void RunHooks(FileOp op, const std::wstring& key);
    // A handle is open on the name or below it (only those that do not
    // share deletion, when asked).
    bool HandleOpenBelow(const std::wstring& key, bool withoutDeleteSharing) const;
    std::uint32_t VolumeSerial(const std::wstring& fullPath) const;
    // Why a folder cannot go (an entry below it, or it is the current
    // directory), or 0.
    std::uint32_t FolderBusy(const std::wstring& key) const;
    // Removes the entry; handles open on it no longer reach anything.
    platform::FileResult Unlink(std::map<std::wstring, Node>::iterator it);

    mutable std::recursive_mutex mutex_;
    std::wstring currentDirectory_ = L"C:";
    std::wstring tempPath_ = L"C:\\Users\\user\\AppData\\Local\\Temp\\";
    std::map<std::wstring, Node> nodes_;  // by Key()
    std::map<std::uintptr_t, OpenFile> handles_;
    std::uintptr_t nextHandle_ = 0x1000;
    std::list<FileFault> faults_;
    std::list<Hook> hooks_;
    std::function<void(FileOp, const std::wstring&)> observer_;
    bool observing_ = false;
    int openCount_ = 0;
    std::uint64_t nextId_ = 0x100;
    bool renameChecksEntryOnly_ = false;
};

// ---------------------------------------------------------------------------
// Registry (HKEY_LOCAL_MACHINE)

enum class RegOp { Open, Query, Set };

struct RegFault {
    RegOp op = RegOp::Open;
    std::wstring key;   // empty: any key
    std::wstring name;  // empty: any value (Query and Set)
    std::uint32_t status = platform::kErrorAccessDenied;
    int skip = 0;
    int times = 1;  // -1: every one
    int hits = 0;
};

struct RegValue {
    std::wstring name;
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;  // as Windows stores it (texts UTF-16LE)
};

struct RegRead {
    std::wstring key, name;
    std::uint32_t maxBytes = 0;
};

struct RegWrite {
    std::wstring key, name;
    std::uint32_t value = 0;
    bool ok = false;
};

// Keys and value names compare without letter case; one trailing '\\' of a
// key path is tolerated; an empty component ("a\\\\b") names no key. Keys are
// independent of each other: adding "A\\B" does not add "A". Writes through
// the port never create a key.
class SimRegistry : public platform::Registry {
public:
    void AddKey(const std::wstring& key);
    void DeleteKey(const std::wstring& key);
    bool HasKey(const std::wstring& key) const;
    // These create the key when needed.
    void SetDword(const std::wstring& key, const std::wstring& name, std::uint32_t value);
    void SetString(const std::wstring& key, const std::wstring& name, const std::wstring& text);
    void SetMultiString(const std::wstring& key, const std::wstring& name,
                        const std::vector<std::wstring>& texts);
    void SetRaw(const std::wstring& key, const std::wstring& name, std::uint32_t type,
                const std::vector<std::uint8_t>& data);
    void DeleteValue(const std::wstring& key, const std::wstring& name);
    std::optional<RegValue> GetValue(const std::wstring& key, const std::wstring& name) const;
    std::optional<std::uint32_t> GetDword(const std::wstring& key, const std::wstring& name) const;

    RegFault& AddFault(const RegFault& fault);
    void ClearFaults();

    std::vector<RegRead> Reads() const;
    std::vector<RegWrite> Writes() const;
    void ClearJournal();

    // --- platform::Registry
    platform::RegistryReadResult ReadValue(const std::wstring& subKey, const std::wstring& name,
                                           std::uint32_t maxBytes) override;
    platform::RegistryWriteResult WriteDword(const std::wstring& subKey, const std::wstring& name,
                                             std::uint32_t value) override;

private:
    struct Key {
        std::map<std::wstring, RegValue> values;  // by folded name
    };
    static std::optional<std::wstring> KeyId(const std::wstring& key);
    RegFault* FindFault(RegOp op, const std::wstring& keyId, const std::wstring& nameId);
    Key& KeyFor(const std::wstring& key);

    mutable std::mutex mutex_;
    std::map<std::wstring, Key> keys_;
    std::list<RegFault> faults_;
    std::vector<RegRead> reads_;
    std::vector<RegWrite> writes_;
};

// ---------------------------------------------------------------------------
// Processes

struct SimProcess {
    std::uint32_t pid = 0;
    std::optional<std::wstring> firstModule;  // nullopt: cannot be read
};

struct TerminateCall {
    std::uint32_t pid = 0;
    std::uint32_t exitCode = 0;
    platform::TerminateResult result;
};

class SimProcesses : public platform::Processes {
public:
    // The list in the system's order.
    void SetProcesses(const std::vector<SimProcess>& processes);
    void AddProcess(std::uint32_t pid, const std::wstring& firstModule);
    void AddUnreadableProcess(std::uint32_t pid);
    void SetCurrentProcessId(std::uint32_t pid);
    // Makes EnumProcesses fail (PSAPI missing, a function missing, the call
    // failing); Ok restores it.
    void SetListStatus(platform::ProcessListStatus status, std::uint32_t error = 0);
    // OpenProcess(PROCESS_TERMINATE) or TerminateProcess of this process fails.
    void FailOpen(std::uint32_t pid, std::uint32_t error);
    void FailTerminate(std::uint32_t pid, std::uint32_t error);

    std::vector<TerminateCall> Terminations() const;
    bool IsRunning(std::uint32_t pid) const;

    // --- platform::Processes
    platform::ProcessListResult EnumProcesses() override;
    bool FirstModuleBaseName(std::uint32_t processId, std::wstring* name) override;
    platform::TerminateResult TerminateProcess(std::uint32_t processId,
                                               std::uint32_t exitCode) override;
    std::uint32_t CurrentProcessId() override;

private:
    mutable std::mutex mutex_;
    std::vector<SimProcess> processes_;
    std::uint32_t currentPid_ = 4242;
    platform::ProcessListStatus status_ = platform::ProcessListStatus::Ok;
    std::uint32_t statusError_ = 0;
    std::map<std::uint32_t, std::uint32_t> openFailures_, terminateFailures_;
    std::vector<TerminateCall> terminations_;
};

// ---------------------------------------------------------------------------
// OS facts

struct RedirectionCall {
    bool disable = false;  // true: Disable, false: Revert
    std::uint32_t threadId = 0;
    platform::FsRedirectionResult result;
};

class SimOsInfo : public platform::OsInfo {
public:
    // `threads` (optional) names the calling thread in the redirection
    // journal; `files` (optional) receives the current directory, and a
    // directory missing there cannot be made current.
    explicit SimOsInfo(platform::Threads* threads = nullptr, SimFiles* files = nullptr);

    void SetVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t platformId = 2);
    void SetVersionFails();
    void SetWow64(bool isWow64);
    void SetWow64FunctionMissing();
    void SetWow64CallFails(std::uint32_t error);
    // Result of the next (and later) Disable / Revert calls.
    void SetDisableResult(const platform::FsRedirectionResult& result);
    void SetRevertResult(const platform::FsRedirectionResult& result);
    void SetModuleFileName(const std::wstring& path);
    void FailSetCurrentDirectory(bool fail);
    void SetFileVersion(const std::wstring& path, std::uint16_t a, std::uint16_t b,
                        std::uint16_t c, std::uint16_t d);
    // What GetWindowsDirectory reports (default "C:\\Windows").
    void SetWindowsDirectory(const std::wstring& path);

    std::vector<RedirectionCall> RedirectionCalls() const;
    // Whether redirection is off for this thread id now.
    bool RedirectionDisabled(std::uint32_t threadId) const;
    std::wstring CurrentDirectory() const;
    int SetCurrentDirectoryCalls() const;
    int Wow64Queries() const;

    // --- platform::OsInfo
    platform::OsVersion GetVersionEx() override;
    platform::Wow64Query IsWow64Process() override;
    platform::FsRedirectionResult DisableWow64FsRedirection() override;
    platform::FsRedirectionResult RevertWow64FsRedirection() override;
    std::wstring GetModuleFileName() override;
    bool SetCurrentDirectory(const std::wstring& path) override;
    platform::FileVersionResult GetFileVersion(const std::wstring& path) override;
    std::wstring GetWindowsDirectory() override;
    // The Windows directory's "system32".
    std::wstring GetSystemDirectory() override;

private:
    std::uint32_t ThreadId();

    platform::Threads* threads_;
    SimFiles* files_;
    mutable std::mutex mutex_;
    platform::OsVersion version_{true, 2, 6, 1};
    platform::Wow64Query wow64_{true, true, false, 0};
    platform::FsRedirectionResult disableResult_{true, true, true, 0};
    platform::FsRedirectionResult revertResult_{true, true, true, 0};
    std::wstring moduleFileName_ = L"C:\\Tool\\262FWUpgradeTool.exe";
    std::wstring windowsDirectory_ = L"C:\\Windows";
    std::wstring currentDirectory_;
    bool failSetCurrentDirectory_ = false;
    int setCurrentDirectoryCalls_ = 0;
    int wow64Queries_ = 0;
    std::map<std::wstring, platform::FileVersionResult> versions_;  // by folded path
    std::vector<RedirectionCall> redirectionCalls_;
    std::set<std::uint32_t> redirectionOff_;
};

// ---------------------------------------------------------------------------
// Message boxes

struct MessageBoxCall {
    std::wstring text, caption;
    std::uint32_t type = 0;
};

class SimUi : public platform::Ui {
public:
    void SetAnswer(int answer);  // default IDOK (1)
    std::vector<MessageBoxCall> Messages() const;
    void Clear();

    int MessageBox(const std::wstring& text, const std::wstring& caption,
                   std::uint32_t type) override;

private:
    mutable std::mutex mutex_;
    int answer_ = 1;
    std::vector<MessageBoxCall> messages_;
};

}  // namespace sim
