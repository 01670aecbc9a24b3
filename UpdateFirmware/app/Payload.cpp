#include "app/Payload.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "app/AppHelpers.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/LastError.h"
#include "hubaccess/TextFormat.h"

namespace app {

CPayload* pPayload = nullptr;

namespace {

using hubaccess::BOOL;
using hubaccess::FALSE;
using hubaccess::GetLastSystemError;
using hubaccess::SetLastSystemError;
using hubaccess::TRUE;

constexpr wchar_t kInstallMethod[] = L"CMy262FWUpgradeToolDlg::InstallFilterDriver";
constexpr wchar_t kLoadLibMethod[] = L"CMy262FWUpgradeToolDlg::nLoadFilterDriverLib";
constexpr wchar_t kLaunchInfMethod[] = L"CMy262FWUpgradeToolDlg::Launch_INF";
constexpr wchar_t kRemoveMethod[] = L"CMy262FWUpgradeToolDlg::Remove_FilterDriverAndFiles";
constexpr wchar_t kLaunchDelMethod[] = L"CMy262FWUpgradeToolDlg::Launch_DelINF";
constexpr wchar_t kLoadDelMethod[] = L"CMy262FWUpgradeToolDlg::nLoadDelInstall_INF";
constexpr wchar_t kDevconMethod[] = L"CMy262FWUpgradeToolDlg::nADD_Delete_DevconFile";
constexpr wchar_t kExtractBinMethod[] = L"CMy262FWUpgradeToolDlg::vExtractBinFiles";
constexpr wchar_t kRemoveBinMethod[] = L"CMy262FWUpgradeToolDlg::vRemoveBinFiles";

// A file or folder still in use right after its process ended is tried
// again this often, this far apart (about a second in all).
constexpr int kBusyTries = 10;
constexpr std::uint32_t kBusyPauseMs = 100;

// Runs `op` (a file-system step giving a FileResult) again while it fails
// because the file or folder is still in use; any other result ends it.
template <typename Op>
platform::FileResult TryWhileBusy(platform::Clock& clock, Op op) {
    platform::FileResult done = op();
    for (int attempt = 1; attempt < kBusyTries && !done.ok &&
                          (done.error == platform::kErrorSharingViolation || done.error == platform::kErrorAccessDenied);
         ++attempt) {
        clock.Sleep(kBusyPauseMs);
        done = op();
    }
    return done;
}

constexpr wchar_t kInfRecord[] = L"%s:%d: Load Filter Driver inf, WriteFile Failed, Erroe=%d";

// The package files in the order the removal deletes them.
const wchar_t* const kRemovalOrder[] = {
    payload::kInfName,        payload::kUninstallBatchName, payload::kCatalogName, payload::kSupportDllName,
    payload::kDebugRuntimeDllName, payload::kSys32Name,     payload::kSys64Name,
};

std::wstring Join(const std::wstring& folder, const std::wstring& name) { return folder + L"\\" + name; }

// A command line of ours, the program's full path quoted first, started in
// the package folder.
platform::ChildProcess Child(const std::wstring& commandLine, const std::wstring& folder, bool noWindow) {
    platform::ChildProcess child;
    const std::size_t close = commandLine.find(L'"', 1);
    if (!commandLine.empty() && commandLine[0] == L'"' && close != std::wstring::npos)
        child.program = commandLine.substr(1, close - 1);
    child.commandLine = commandLine;
    child.currentDirectory = folder;
    child.noWindow = noWindow;
    return child;
}

}  // namespace

bool IsPlaceholderFirmwareImage(const std::vector<std::uint8_t>& image) {
    const std::size_t markerLength = std::strlen(payload::kPlaceholderFirmwareMarker);
    const std::size_t window = std::min<std::size_t>(image.size(), 1024 + markerLength);
    const auto end = image.begin() + static_cast<std::ptrdiff_t>(window);
    return std::search(image.begin(), end, payload::kPlaceholderFirmwareMarker,
                       payload::kPlaceholderFirmwareMarker + markerLength) != end;
}

CPayload::CPayload(hubaccess::CHubUtility& utility, CMy262FWUpgradeToolDlg& dialog)
    : m_utility(utility), m_dialog(dialog) {}

CPayload::~CPayload() {
    for (const auto& held : m_held) Files().CloseHandle(held.second);
    for (const HeldFolder& folder : m_folders) Files().CloseHandle(folder.handle);
    if (m_utility.m_hDevconHeld.IsValid()) m_utility.m_hDevconHeld = platform::Handle::Invalid();
}

platform::Files& CPayload::Files() const { return *m_utility.Ports().files; }

std::wstring CPayload::strPackageFolder(const std::wstring& base) {
    std::wstring folder = base;
    if (folder.empty() || (folder.back() != L'\\' && folder.back() != L'/')) folder += L'\\';
    return folder + payload::kPackageSubfolder + L"\\" + payload::kPackageFolderName;
}

bool CPayload::IsOwn(const std::wstring& path) const { return m_ownFiles.count(FoldPath(path)) != 0; }

std::vector<std::wstring> CPayload::ExtractedFiles() const {
    std::vector<std::wstring> out;
    for (const auto& path : m_ownOrder)
        if (IsOwn(path)) out.push_back(path);
    return out;
}

bool CPayload::HoldIfEqual(const std::wstring& path, const std::vector<std::uint8_t>& bytes, std::uint32_t* error) {
    const platform::FileOpenResult opened = Files().CreateFile(path, platform::kGenericRead, platform::kFileShareRead,
                                                               platform::FileDisposition::OpenExisting, 0);
    if (!opened.handle.IsValid()) {
        *error = opened.error;
        return false;
    }
    std::uint64_t size = 0;
    bool equal = Files().GetFileSize(opened.handle, &size).ok && size == bytes.size();
    if (equal && !bytes.empty()) {
        std::vector<std::uint8_t> read(bytes.size());
        std::uint32_t done = 0;
        const auto count = static_cast<std::uint32_t>(read.size());
        equal = Files().ReadFile(opened.handle, read.data(), count, &done).ok && done == count && read == bytes;
    }
    if (!equal) {
        Files().CloseHandle(opened.handle);
        *error = platform::kErrorInvalidData;
        return false;
    }
    Release(path);
    m_held[FoldPath(path)] = opened.handle;
    return true;
}

void CPayload::Release(const std::wstring& path) {
    const auto it = m_held.find(FoldPath(path));
    if (it == m_held.end()) return;
    Files().CloseHandle(it->second);
    m_held.erase(it);
}

CPayload::PlaceResult CPayload::PlaceItem(const std::wstring& path, const std::vector<std::uint8_t>& bytes,
                                          bool replaceOther) {
    PlaceResult result;
    if (IsOwn(path) && m_held.count(FoldPath(path))) {
        result.place = Place::Ours;
        return result;
    }
    platform::PathFacts facts;
    const platform::FileResult inspected = Files().InspectPath(path, &facts);
    if (!inspected.ok) {
        result.error = inspected.error;
        return result;
    }
    if (facts.exists) {
        std::uint32_t error = 0;
        if (!facts.directory && !facts.redirection && HoldIfEqual(path, bytes, &error)) {
            result.place = Place::Ours;
        } else if (!replaceOther) {
            result.place = Place::Foreign;
            result.error = platform::kErrorFileExists;
            return result;
        } else {
            // Only in a folder this run made (nobody but administrators
            // writes there): a file is deleted by name, anything else stays.
            vDEBUG_WRN_printf(L"%s:%d: %s is not this build's, replaced", L"CMy262FWUpgradeToolDlg::PlaceItem",
                              __LINE__, path);
            if (facts.directory || facts.redirection) {
                result.error = platform::kErrorDirectory;
                return result;
            }
            Release(path);
            Files().SetFileAttributes(path, platform::kFileAttributeNormal);
            const platform::FileResult deleted = Files().DeleteFile(path);
            if (!deleted.ok) {
                result.error = deleted.error;
                return result;
            }
        }
    }
    if (result.place != Place::Ours) {
        const WriteOutcome written = WriteNewFile(Files(), path, bytes);
        if (!written.ok) {
            result.error = written.error;
            return result;
        }
        // Written and closed: what is read back now is what stays until it
        // is used, or the item is not placed.
        if (!HoldIfEqual(path, bytes, &result.error)) {
            Files().DeleteFile(path);
            return result;
        }
        result.place = Place::Written;
    }
    if (m_ownFiles.insert(FoldPath(path)).second) m_ownOrder.push_back(path);
    return result;
}

bool CPayload::PlaceResource(const std::wstring& path, const PayloadResourceId& resource, const wchar_t* method,
                             const wchar_t* record) {
    PlaceResult placed;
    const platform::ResourceData data = m_utility.Ports().resources->Load(resource.type, resource.id);
    if (!data.found)
        placed.error = data.error;
    else
        placed = PlaceItem(path, data.bytes, true);
    if (placed.place == Place::Written || placed.place == Place::Ours) return true;
    SetLastSystemError(placed.error);
    vDEBUG_ERR_printf(record, method, __LINE__, GetLastSystemError());
    return false;
}

bool CPayload::IsHeldFolder(const std::wstring& path) const {
    for (const HeldFolder& folder : m_folders)
        if (FoldPath(folder.path) == FoldPath(path)) return true;
    return false;
}

bool CPayload::RenameAside(const std::wstring& path, const wchar_t* what, const wchar_t* method,
                           std::uint32_t* error) {
    const std::wstring leaf = path.substr(path.rfind(L'\\') + 1);
    const std::uint64_t stamp = m_utility.Ports().clock->MonotonicMs();
    platform::FileResult renamed{false, platform::kErrorAlreadyExists};
    std::wstring aside;
    for (int attempt = 0; attempt < 16 && !renamed.ok && renamed.error == platform::kErrorAlreadyExists; ++attempt) {
        aside = textfmt::Format(L"%s.aside-%u-%d", leaf, static_cast<unsigned long>(stamp & 0xFFFFFFFFu), attempt);
        // A process that just ended (another copy of the tool) may hold its
        // files for a moment: tried again over about a second.
        renamed = TryWhileBusy(*m_utility.Ports().clock, [&] { return Files().RenameEntry(path, aside); });
    }
    if (!renamed.ok) {
        *error = renamed.error;
        SetLastSystemError(renamed.error);
        vDEBUG_ERR_printf(L"%s:%d: %s is %s and cannot be renamed aside, Erroe=%d", method, __LINE__, path, what,
                          GetLastSystemError());
        return false;
    }
    vDEBUG_WRN_printf(L"%s:%d: %s is %s: renamed aside to %s and left there, a new one is made", method, __LINE__, path,
                      what, aside);
    return true;
}

bool CPayload::SecureFolder(const std::wstring& path, const wchar_t* method, std::uint32_t* error) {
    if (IsHeldFolder(path)) return true;
    for (int attempt = 0; attempt < 4; ++attempt) {
        // Made and held in one step: the handle is on the folder made here,
        // whoever may write beside it. Nothing read back (owner, access list)
        // makes a folder ours: the user's own programs can give theirs the
        // same.
        const platform::FileOpenResult made = Files().CreateHeldFolder(path);
        if (made.handle.IsValid()) {
            platform::FileIdentity identity;
            if (Files().GetFileIdentity(made.handle, &identity).ok) {
                m_folders.push_back(HeldFolder{path, made.handle, identity});
                return true;
            }
            *error = platform::kErrorInvalidHandle;
            Files().CloseHandle(made.handle);
            return false;
        }
        if (made.error != platform::kErrorAlreadyExists) {
            *error = made.error;
            return false;
        }
        // Whatever holds the name was not made by this run: never listed,
        // entered or deleted; the name itself goes aside.
        platform::PathFacts facts;
        const platform::FileResult inspected = Files().InspectPath(path, &facts);
        // Gone again in the meantime: made on the next try.
        if (inspected.ok && !facts.exists) continue;
        const wchar_t* what = !inspected.ok         ? L"not to be inspected"
                              : facts.redirection   ? L"a redirection"
                              : !facts.directory    ? L"no folder"
                              : !facts.trustedOwner ? L"owned by someone else"
                                                    : L"left by an earlier run";
        if (!RenameAside(path, what, method, error)) return false;
    }
    *error = platform::kErrorAccessDenied;
    return false;
}

bool CPayload::LockPackageFolder(const std::wstring& base, const wchar_t* method) {
    const std::wstring folder = strPackageFolder(base);
    if (!base.empty() && m_lockedFolder == FoldPath(folder)) {
        // Still the folders made and held here under their names (where a
        // folder above may be renamed, they may have been moved away).
        bool reached = true;
        for (const HeldFolder& held : m_folders)
            reached = reached && platform::IsSameFile(Files(), held.handle, held.path);
        if (reached) return true;
        vDEBUG_ERR_printf(L"%s:%d: the package folder %s is no longer the one this run made, nothing is written or run",
                          method, __LINE__, folder);
        return false;
    }
    if (base.empty()) {
        vDEBUG_ERR_printf(L"%s:%d: no temporary folder, no package folder", method, __LINE__);
        return false;
    }
    // The uninstall batch puts its own folder into a command unquoted: there
    // such a character would make the rest of the path commands of the
    // user's choosing, run elevated. Nothing is made there at all.
    if (folder.find_first_of(payload::kCommandCharacters) != std::wstring::npos) {
        vDEBUG_ERR_printf(L"%s:%d: the package folder %s holds a character the command interpreter reads as its own "
                          L"(%s), nothing is made, written or run there",
                          method, __LINE__, folder, payload::kCommandCharacters);
        return false;
    }
    if (!m_lockedFolder.empty()) ReleaseFolders();
    std::uint32_t error = platform::kErrorPathNotFound;
    // Every folder of the package is made by this run: whatever an earlier
    // run or anybody else left at those names is renamed aside unseen.
    const std::wstring parent = folder.substr(0, folder.rfind(L'\\'));
    for (const std::wstring& path : {parent, folder, Join(folder, L"i386"), Join(folder, L"amd64")}) {
        if (SecureFolder(path, method, &error)) continue;
        SetLastSystemError(error);
        vDEBUG_ERR_printf(L"%s:%d: the package folder %s cannot be made safe, nothing is written or run, Erroe=%d",
                          method, __LINE__, path, GetLastSystemError());
        return false;
    }
    m_lockedFolder = FoldPath(folder);
    return true;
}

bool CPayload::UsableHeldFile(const std::wstring& path, const wchar_t* method) {
    const auto it = m_held.find(FoldPath(path));
    if (it != m_held.end() && platform::IsSameFile(Files(), it->second, path)) return true;
    vDEBUG_ERR_printf(L"%s:%d: %s is not the file this run wrote and holds, not used", method, __LINE__, path);
    return false;
}

void CPayload::EmptyFolder(const std::wstring& folder, const wchar_t* method, int depth) {
    std::vector<platform::DirectoryEntry> entries;
    if (depth > 8 || !Files().ListDirectory(folder, &entries).ok) return;
    for (const platform::DirectoryEntry& entry : entries) {
        const std::wstring path = Join(folder, entry.name);
        if (entry.directory && !entry.redirection) {
            // Our own sub-folders are emptied in their own turn.
            if (IsHeldFolder(path)) continue;
            EmptyFolder(path, method, depth + 1);
            TryWhileBusy(*m_utility.Ports().clock, [&] { return Files().RemoveDirectory(path); });
        } else if (entry.redirection) {
            // A link goes by itself; what it points at is never touched.
            Files().RemoveDirectory(path);
            Files().DeleteFile(path);
        } else if (IsOwn(path)) {
            DeleteOwn(path, method);
        } else {
            // Left by the elevated programs this run started (only
            // administrators write here).
            Files().SetFileAttributes(path, platform::kFileAttributeNormal);
            const platform::FileResult deleted = Files().DeleteFile(path);
            if (!deleted.ok)
                vDEBUG_MSG_printf(L"%s:%d: DeleteFile failed, %s, Erroe=%d", method, __LINE__, path, deleted.error);
        }
    }
}

void CPayload::RemovePackageFolders(const wchar_t* method) {
    // Deepest first; each one's files while it is still held.
    for (std::size_t i = m_folders.size(); i-- > 0;) {
        HeldFolder& folder = m_folders[i];
        if (!platform::IsSameFile(Files(), folder.handle, folder.path)) {
            // Moved away with what is in it: nothing at that name is ours.
            vDEBUG_ERR_printf(L"%s:%d: %s is no longer the folder this run made, nothing is deleted there", method,
                              __LINE__, folder.path);
            Files().CloseHandle(folder.handle);
            folder.handle = platform::Handle::Invalid();
            continue;
        }
        EmptyFolder(folder.path, method);
        Files().CloseHandle(folder.handle);
        folder.handle = platform::Handle::Invalid();
        // Through a handle on the name itself, only when it still reaches the
        // folder made here; one still in use right after the batch ended is
        // tried again.
        const platform::FileResult removed = TryWhileBusy(
            *m_utility.Ports().clock, [&] { return Files().DeleteEntry(folder.path, folder.identity); });
        if (!removed.ok && removed.error != platform::kErrorFileNotFound)
            vDEBUG_MSG_printf(L"%s:%d: RemoveDirectory failed, %s, Erroe=%d", method, __LINE__, folder.path,
                              removed.error);
    }
    m_folders.clear();
    m_lockedFolder.clear();
}

void CPayload::ReleaseFolders() {
    for (const HeldFolder& folder : m_folders) Files().CloseHandle(folder.handle);
    m_folders.clear();
    m_lockedFolder.clear();
}

std::wstring CPayload::SystemProgram(const wchar_t* name) {
    const std::wstring windir = m_utility.Ports().osInfo->GetWindowsDirectory();
    if (windir.empty()) return {};
    // A 32-bit thread with redirection on reaches the 64-bit programs only
    // through Sysnative; with redirection off System32 is the 64-bit folder.
    const std::wstring sysnative = windir + L"\\Sysnative\\" + name;
    if (m_utility.IsWow64() && bIsFileExist(Files(), sysnative)) return sysnative;
    return windir + L"\\System32\\" + name;
}

bool CPayload::DeleteOwn(const std::wstring& path, const wchar_t* method) {
    if (!IsOwn(path)) {
        if (bIsFileExist(Files(), path))
            vDEBUG_MSG_printf(L"%s:%d: not written by this run, kept: %s", method, __LINE__, path);
        return false;
    }
    // Deleted by name only while the name still reaches the file written
    // here; otherwise whatever is there now is someone else's and stays.
    const auto held = m_held.find(FoldPath(path));
    const bool reached = held == m_held.end() || platform::IsSameFile(Files(), held->second, path);
    Release(path);
    if (!reached) {
        vDEBUG_ERR_printf(L"%s:%d: %s no longer reaches the file this run wrote, nothing is deleted there", method,
                          __LINE__, path);
        m_ownFiles.erase(FoldPath(path));
        m_ownOrder.erase(std::remove(m_ownOrder.begin(), m_ownOrder.end(), path), m_ownOrder.end());
        return false;
    }
    const platform::FileResult deleted = Files().DeleteFile(path);
    if (!deleted.ok && deleted.error != platform::kErrorFileNotFound &&
        deleted.error != platform::kErrorPathNotFound) {
        SetLastSystemError(deleted.error);
        vDEBUG_ERR_printf(L"%s:%d: DeleteFile failed, %s, Erroe=%d", method, __LINE__, path, GetLastSystemError());
        return false;
    }
    m_ownFiles.erase(FoldPath(path));
    m_ownOrder.erase(std::remove(m_ownOrder.begin(), m_ownOrder.end(), path), m_ownOrder.end());
    return true;
}

// ---------------------------------------------------------------------------
// Filter driver

int CPayload::InstallFilterDriver(const std::wstring& base) {
    vDEBUG_MSG_printf(L"%s:%d: InstallFilterDriver [%s],", kInstallMethod, __LINE__, base);
    const int loaded = nLoadFilterDriverLib(base);
    if (loaded != 0) {
        vDEBUG_ERR_printf(L"%s:%d: LoadFilterDriverLib failed[%d],", kInstallMethod, __LINE__, loaded);
        return loaded;
    }
    if (Launch_INF(base) != 0) {
        vDEBUG_ERR_printf(L"%s:%d: Launch_INF failed[%d],", kInstallMethod, __LINE__, -1);
        return -1;
    }
    return 0;
}

int CPayload::nLoadFilterDriverLib(const std::wstring& base) {
    if (!LockPackageFolder(base, kLoadLibMethod)) {
        SetLastSystemError(platform::kErrorAccessDenied);
        vDEBUG_ERR_printf(kInfRecord, kLoadLibMethod, __LINE__, GetLastSystemError());
        return -1;
    }
    const std::wstring folder = strPackageFolder(base);
    if (!PlaceResource(Join(folder, payload::kInfName), payload::kInf, kLoadLibMethod, kInfRecord)) return -1;

    const PlaceResult catalog = PlaceItem(Join(folder, payload::kCatalogName), {}, true);
    if (catalog.place != Place::Written && catalog.place != Place::Ours) {
        SetLastSystemError(catalog.error);
        vDEBUG_ERR_printf(L"%s:%d: Load Filter Driver cat, WriteFile Failed, Erroe=%d", kLoadLibMethod, __LINE__,
                          GetLastSystemError());
        return -10;
    }
    if (!PlaceResource(Join(folder, payload::kSys32Name), payload::kSys32, kLoadLibMethod,
                       L"%s:%d: Load Load Filter Driver i368/revodereriri.sys, WriteFile Failed, Erroe=%d"))
        return -10;
    const bool win10 = m_utility.ucGetOSVersion() == hubaccess::kOsWin10;
    if (!PlaceResource(Join(folder, payload::kSys64Name), win10 ? payload::kSys64Win10 : payload::kSys64,
                       kLoadLibMethod, L"%s:%d: Load Filter Driver amd64/revodereriri.sys, WriteFile Failed, Erroe=%d"))
        return -10;
    if (!PlaceResource(Join(folder, payload::kSupportDllName), payload::kSupportDll, kLoadLibMethod,
                       L"%s:%d: Load k9371937.DLL, WriteFile Failed, Erroe=%d"))
        return -10;
    if (!PlaceResource(Join(folder, payload::kDebugRuntimeDllName), payload::kDebugRuntimeDll, kLoadLibMethod,
                       L"%s:%d:  Load msvcrtd.dll, WriteFile Failed, Erroe=%d"))
        return -10;
    return 0;
}

std::wstring CPayload::strInstallCommandLine(const std::wstring& packageFolder) {
    const std::wstring rundll32 = SystemProgram(L"rundll32.exe");
    if (rundll32.empty()) return {};
    return L"\"" + rundll32 + L"\"" + payload::kInstallArguments + Join(packageFolder, payload::kInfName);
}

int CPayload::Launch_INF(const std::wstring& base) {
    const std::wstring folder = strPackageFolder(base);
    const std::wstring commandLine = strInstallCommandLine(folder);
    // The installer reads only what this process holds in its locked folder.
    platform::ProcessRunResult run;
    run.error = platform::kErrorFileNotFound;
    if (m_lockedFolder != FoldPath(folder) || !UsableHeldFile(Join(folder, payload::kInfName), kLaunchInfMethod))
        run.error = platform::kErrorAccessDenied;
    else if (!commandLine.empty())
        run = m_utility.Ports().launcher->StartAndWait(Child(commandLine, folder, false), platform::kWaitInfinite);
    if (!run.started) {
        SetLastSystemError(run.error);
        vDEBUG_ERR_printf(L"%s:%d: CreateProcess failed, szCmdLine=%s, szFilterDriver=%s, Erroe=%d", kLaunchInfMethod,
                          __LINE__, commandLine, folder, GetLastSystemError());
        return -1;
    }
    return 0;
}

int CPayload::nLoadDelInstall_INF(const std::wstring& base) {
    if (!LockPackageFolder(base, kLoadDelMethod)) {
        SetLastSystemError(platform::kErrorAccessDenied);
        vDEBUG_ERR_printf(kInfRecord, kLoadDelMethod, __LINE__, GetLastSystemError());
        return -10;
    }
    const std::wstring folder = strPackageFolder(base);
    if (!PlaceResource(Join(folder, payload::kUninstallBatchName), payload::kUninstallBatch, kLoadDelMethod,
                       kInfRecord))
        return -10;
    return 0;
}

std::wstring CPayload::strUninstallCommandLine(const std::wstring& batchPath) {
    // The batch runs under the command interpreter by its full path: a bare
    // name would be looked for in this process's directories, never in the
    // child's working directory. The 64-bit interpreter starts the 64-bit
    // rundll32 the batch names.
    const std::wstring interpreter = SystemProgram(L"cmd.exe");
    if (interpreter.empty()) return {};
    // /d: no AutoRun command of the registry runs first; /v:off: the lines
    // are read without delayed expansion, whatever the user's setting.
    return L"\"" + interpreter + L"\" /d /v:off /c \"\"" + batchPath + L"\"\"";
}

int CPayload::Launch_DelINF(const std::wstring& base) {
    const std::wstring folder = strPackageFolder(base);
    // The batch uninstalls through the INF: both must be ours and present,
    // also after a run that installed nothing.
    if (nLoadDelInstall_INF(base) != 0) return -1;
    if (!PlaceResource(Join(folder, payload::kInfName), payload::kInf, kLaunchDelMethod, kInfRecord)) return -1;

    const std::wstring commandLine = strUninstallCommandLine(Join(folder, payload::kUninstallBatchName));
    vDEBUG_MSG_printf(L"%s:%d:  szCmdLine[%s], szFilterDriver[%s]", kLaunchDelMethod, __LINE__, commandLine, folder);
    platform::ProcessRunResult run;
    run.error = platform::kErrorFileNotFound;
    // The batch and the INF it names are still the files this run holds.
    if (!UsableHeldFile(Join(folder, payload::kUninstallBatchName), kLaunchDelMethod) ||
        !UsableHeldFile(Join(folder, payload::kInfName), kLaunchDelMethod))
        run.error = platform::kErrorAccessDenied;
    // No console window of its own: unattended runs stay unseen.
    else if (!commandLine.empty())
        run = m_utility.Ports().launcher->StartAndWait(Child(commandLine, folder, true), platform::kWaitInfinite);
    if (!run.started) {
        SetLastSystemError(run.error);
        vDEBUG_ERR_printf(L"%s:%d:   CreateProcess Failed,szCmdLine=%s, szFilterDriver=%s, Erroe=%d",
                          kLaunchDelMethod, __LINE__, commandLine, folder, GetLastSystemError());
        return -1;
    }
    return 0;
}

int CPayload::Remove_FilterDriverAndFiles(const std::wstring& base) {
    vDEBUG_MSG_printf(L"%s:%d:  Remove_FilterDriverAndFiles ..... ", kRemoveMethod, __LINE__);
    try {
        const int launched = Launch_DelINF(base);
        if (launched != 0) {
            vDEBUG_ERR_printf(L"%s:%d: Launch_DelINF failed[%d],", kRemoveMethod, __LINE__, launched);
            return launched;
        }
        const std::wstring folder = strPackageFolder(base);
        if (m_lockedFolder == FoldPath(folder)) {
            for (const wchar_t* name : kRemovalOrder) DeleteOwn(Join(folder, name), kRemoveMethod);
            RemovePackageFolders(kRemoveMethod);
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: catch Failed, ERROR=%d", kRemoveMethod, __LINE__, GetLastSystemError());
    }
    return 0;
}

BOOL CPayload::vRemoveExtractedFiles(const std::wstring& base) {
    static constexpr wchar_t kMethod[] = L"CMy262FWUpgradeToolDlg::vRemoveExtractedFiles";
    if (!m_strExtractedImage.empty()) vRemoveBinFiles();
    (void)base;
    if (m_utility.m_hDevconHeld.IsValid()) {
        m_utility.m_hDevconHeld = platform::Handle::Invalid();
        m_utility.m_strDevconPath.clear();
    }
    for (const std::wstring& path : ExtractedFiles()) DeleteOwn(path, kMethod);
    // The folders this process made, deepest first, once their files are gone.
    RemovePackageFolders(kMethod);
    m_utility.vReleaseTempFolder();
    return ExtractedFiles().empty() ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// devcon

int CPayload::nADD_Delete_DevconFile(const std::wstring& base, BOOL bAdd) {
    const bool wow64 = m_utility.IsWow64() != FALSE;
    const std::wstring path = Join(strPackageFolder(base), wow64 ? payload::kDevcon64Name : payload::kDevcon32Name);
    if (!bAdd) {
        if (FoldPath(m_utility.m_strDevconPath) == FoldPath(path)) {
            m_utility.m_strDevconPath.clear();
            m_utility.m_hDevconHeld = platform::Handle::Invalid();
        }
        DeleteOwn(path, kDevconMethod);
        return 0;
    }
    if (!LockPackageFolder(base, kDevconMethod)) {
        SetLastSystemError(platform::kErrorAccessDenied);
        vDEBUG_ERR_printf(kInfRecord, kDevconMethod, __LINE__, GetLastSystemError());
        return -10;
    }
    if (!PlaceResource(path, wow64 ? payload::kDevcon64 : payload::kDevcon32, kDevconMethod, kInfRecord)) return -10;
    m_utility.m_strDevconPath = path;
    m_utility.m_hDevconHeld = m_held[FoldPath(path)];
    return 0;
}

// ---------------------------------------------------------------------------
// The embedded firmware image

bool CPayload::ReadFirmwareName(std::wstring* text, std::uint32_t* error) {
    const platform::ResourceData data =
        m_utility.Ports().resources->Load(payload::kFirmwareName.type, payload::kFirmwareName.id);
    if (!data.found) {
        *error = data.error;
        return false;
    }
    // Within the resource's size: it carries no terminator of its own.
    text->clear();
    for (const std::uint8_t byte : data.bytes) {
        if (byte == 0) break;
        text->push_back(static_cast<wchar_t>(byte));
    }
    return true;
}

BOOL CPayload::vExtractBinFiles() {
    std::wstring text;
    std::uint32_t error = 0;
    if (!ReadFirmwareName(&text, &error)) {
        SetLastSystemError(error);
        vDEBUG_ERR_printf(L"%s:%d: FindResource fail: %d", kExtractBinMethod, __LINE__, GetLastSystemError());
        return FALSE;
    }
    const std::size_t bin = text.find(L"bin");
    const std::wstring name = bin == std::wstring::npos ? std::wstring() : text.substr(0, bin + 3);
    if (name.empty() || name.find_first_of(L"\\/:") != std::wstring::npos) {
        vDEBUG_ERR_printf(L"%s:%d: the firmware file name [%s] is refused", kExtractBinMethod, __LINE__, text);
        return FALSE;
    }
    vDEBUG_MSG_printf(L"%s:%d:  !!! m_strFWBinFile: %s", kExtractBinMethod, __LINE__, name);

    const platform::ResourceData image =
        m_utility.Ports().resources->Load(payload::kFirmwareImage.type, payload::kFirmwareImage.id);
    if (!image.found) {
        SetLastSystemError(image.error);
        vDEBUG_ERR_printf(L"%s:%d: FindResource fail: %d", kExtractBinMethod, __LINE__, GetLastSystemError());
        return FALSE;
    }

    const std::wstring& directory = m_utility.m_szModuleDirectory;
    std::wstring relative = name;
    std::wstring path = Join(directory, relative);
    PlaceResult placed = PlaceItem(path, image.bytes);
    if (placed.place == Place::Foreign) {
        vDEBUG_WRN_printf(L"%s:%d: %s is not ours and stays; the image goes to %s", kExtractBinMethod, __LINE__, path,
                          payload::kFallbackFolder);
        relative = std::wstring(payload::kFallbackFolder) + L"\\" + name;
        path = Join(directory, relative);
        placed = PlaceResult{};
        placed.error = platform::kErrorAccessDenied;
        if (m_utility.bHoldTempFolder()) placed = PlaceItem(path, image.bytes);
    }
    if (placed.place != Place::Written && placed.place != Place::Ours) {
        SetLastSystemError(placed.error);
        vDEBUG_ERR_printf(L"%s:%d: restore FW.bin to %s failed, Erroe=%d", kExtractBinMethod, __LINE__, path,
                          GetLastSystemError());
        return FALSE;
    }
    m_strExtractedImage = path;
    m_dialog.m_strFWBinFile = relative;
    vDEBUG_MSG_printf(L"%s:%d: restore FW.bin to %s", kExtractBinMethod, __LINE__, path);

    std::uint32_t attributes = 0;
    const platform::FileResult got = Files().GetFileAttributes(path, &attributes);
    if (!got.ok) {
        vDEBUG_MSG_printf(L"%s:%d: GetFileAttributes fail.", kExtractBinMethod, __LINE__);
    } else if (!(attributes & platform::kFileAttributeHidden)) {
        Files().SetFileAttributes(path, (attributes & ~platform::kFileAttributeNormal) |
                                            platform::kFileAttributeHidden);
    }
    return TRUE;
}

BOOL CPayload::vRemoveBinFiles() {
    std::wstring text;
    std::uint32_t error = 0;
    if (!ReadFirmwareName(&text, &error)) {
        SetLastSystemError(error);
        vDEBUG_ERR_printf(L"%s:%d: FindResource fail: %d", kRemoveBinMethod, __LINE__, GetLastSystemError());
        return FALSE;
    }
    vDEBUG_MSG_printf(L"%s:%d:  !!! strLine: %s, GetLastError() %d", kRemoveBinMethod, __LINE__, text,
                      GetLastSystemError());
    if (m_strExtractedImage.empty()) return TRUE;
    const bool deleted = DeleteOwn(m_strExtractedImage, kRemoveBinMethod);
    vDEBUG_MSG_printf(L"%s:%d: ::GetLastError() %d", kRemoveBinMethod, __LINE__, GetLastSystemError());
    if (!deleted) return FALSE;
    m_strExtractedImage.clear();
    return TRUE;
}

}  // namespace app
