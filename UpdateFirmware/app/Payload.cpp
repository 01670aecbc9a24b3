#include "app/Payload.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "app/AppHelpers.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/LastError.h"

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

constexpr wchar_t kInfRecord[] = L"%s:%d: Load Filter Driver inf, WriteFile Failed, Erroe=%d";

// The package files in the order the removal deletes them.
const wchar_t* const kRemovalOrder[] = {
    payload::kInfName,        payload::kUninstallBatchName, payload::kCatalogName, payload::kSupportDllName,
    payload::kDebugRuntimeDllName, payload::kSys32Name,     payload::kSys64Name,
};

std::wstring Join(const std::wstring& folder, const std::wstring& name) { return folder + L"\\" + name; }

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

CPayload::PlaceResult CPayload::PlaceItem(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    PlaceResult result;
    if (bIsFileExist(Files(), path)) {
        const auto existing = ReadWholeFile(Files(), path);
        if (existing && *existing == bytes) {
            result.place = Place::Ours;
        } else {
            result.place = Place::Foreign;
            result.error = platform::kErrorFileExists;
            return result;
        }
    } else {
        const WriteOutcome written = WriteNewFile(Files(), path, bytes);
        if (!written.ok) {
            result.error = written.error;
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
        placed = PlaceItem(path, data.bytes);
    if (placed.place == Place::Written || placed.place == Place::Ours) return true;
    SetLastSystemError(placed.error);
    vDEBUG_ERR_printf(record, method, __LINE__, GetLastSystemError());
    return false;
}

void CPayload::EnsureFolder(const std::wstring& path) {
    if (!bIsFileExist(Files(), path)) Files().CreateDirectory(path);
}

bool CPayload::DeleteOwn(const std::wstring& path, const wchar_t* method) {
    if (!IsOwn(path)) {
        if (bIsFileExist(Files(), path))
            vDEBUG_MSG_printf(L"%s:%d: not written by this run, kept: %s", method, __LINE__, path);
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
    if (base.empty()) {  // no temporary folder: nothing goes to the drive's root
        SetLastSystemError(platform::kErrorPathNotFound);
        vDEBUG_ERR_printf(kInfRecord, kLoadLibMethod, __LINE__, GetLastSystemError());
        return -1;
    }
    const std::wstring folder = strPackageFolder(base);
    EnsureFolder(folder.substr(0, folder.rfind(L'\\')));
    EnsureFolder(folder);
    EnsureFolder(Join(folder, L"i386"));
    EnsureFolder(Join(folder, L"amd64"));

    if (!PlaceResource(Join(folder, payload::kInfName), payload::kInf, kLoadLibMethod, kInfRecord)) return -1;

    const PlaceResult catalog = PlaceItem(Join(folder, payload::kCatalogName), {});
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

int CPayload::Launch_INF(const std::wstring& base) {
    const std::wstring folder = strPackageFolder(base);
    const platform::ProcessRunResult run =
        m_utility.Ports().launcher->CreateProcessAndWait(payload::kInstallCommandLine, folder, platform::kWaitInfinite);
    if (!run.started) {
        SetLastSystemError(run.error);
        vDEBUG_ERR_printf(L"%s:%d: CreateProcess failed, szCmdLine=%s, szFilterDriver=%s, Erroe=%d", kLaunchInfMethod,
                          __LINE__, payload::kInstallCommandLine, folder, GetLastSystemError());
        return -1;
    }
    return 0;
}

int CPayload::nLoadDelInstall_INF(const std::wstring& base) {
    if (base.empty()) {
        SetLastSystemError(platform::kErrorPathNotFound);
        vDEBUG_ERR_printf(kInfRecord, kLoadDelMethod, __LINE__, GetLastSystemError());
        return -10;
    }
    const std::wstring folder = strPackageFolder(base);
    EnsureFolder(folder.substr(0, folder.rfind(L'\\')));
    EnsureFolder(folder);
    if (!PlaceResource(Join(folder, payload::kUninstallBatchName), payload::kUninstallBatch, kLoadDelMethod,
                       kInfRecord))
        return -10;
    return 0;
}

std::wstring CPayload::strUninstallCommandLine(const std::wstring& batchPath) {
    // The batch runs under the command interpreter by its full path: a bare
    // name would be looked for in this process's directories, never in the
    // child's working directory. A 32-bit process on 64-bit Windows whose
    // thread has redirection on reaches the 64-bit interpreter (and so the
    // 64-bit rundll32 the batch starts) only through Sysnative.
    const std::wstring windir = m_utility.Ports().osInfo->GetWindowsDirectory();
    std::wstring interpreter = L"cmd.exe";
    if (!windir.empty()) {
        const std::wstring sysnative = windir + L"\\Sysnative\\cmd.exe";
        if (m_utility.IsWow64() && bIsFileExist(Files(), sysnative))
            interpreter = L"\"" + sysnative + L"\"";
        else
            interpreter = L"\"" + windir + L"\\System32\\cmd.exe\"";
    }
    return interpreter + L" /c \"\"" + batchPath + L"\"\"";
}

int CPayload::Launch_DelINF(const std::wstring& base) {
    const std::wstring folder = strPackageFolder(base);
    // The batch uninstalls through the INF: both must be ours and present,
    // also after a run that installed nothing.
    if (nLoadDelInstall_INF(base) != 0) return -1;
    if (!PlaceResource(Join(folder, payload::kInfName), payload::kInf, kLaunchDelMethod, kInfRecord)) return -1;

    const std::wstring commandLine = strUninstallCommandLine(Join(folder, payload::kUninstallBatchName));
    vDEBUG_MSG_printf(L"%s:%d:  szCmdLine[%s], szFilterDriver[%s]", kLaunchDelMethod, __LINE__, commandLine, folder);
    const platform::ProcessRunResult run =
        m_utility.Ports().launcher->CreateProcessAndWait(commandLine, folder, platform::kWaitInfinite);
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
        if (bIsFileExist(Files(), folder)) {
            for (const wchar_t* name : kRemovalOrder) DeleteOwn(Join(folder, name), kRemoveMethod);
            for (const wchar_t* sub : {L"\\amd64", L"\\i386", L""}) {
                const platform::FileResult removed = Files().RemoveDirectory(folder + sub);
                if (!removed.ok)
                    vDEBUG_MSG_printf(L"%s:%d: RemoveDirectory failed, %s, Erroe=%d", kRemoveMethod, __LINE__,
                                      folder + sub, removed.error);
            }
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: catch Failed, ERROR=%d", kRemoveMethod, __LINE__, GetLastSystemError());
    }
    return 0;
}

BOOL CPayload::vRemoveExtractedFiles(const std::wstring& base) {
    static constexpr wchar_t kMethod[] = L"CMy262FWUpgradeToolDlg::vRemoveExtractedFiles";
    if (!m_strExtractedImage.empty()) vRemoveBinFiles();
    const std::wstring folder = strPackageFolder(base);
    const std::wstring folded = FoldPath(folder + L"\\");
    bool packageOurs = false;
    for (const std::wstring& path : ExtractedFiles()) {
        if (FoldPath(path).compare(0, folded.size(), folded) == 0) packageOurs = true;
        DeleteOwn(path, kMethod);
    }
    // The folders only when this process put package files in them.
    if (packageOurs && bIsFileExist(Files(), folder))
        for (const wchar_t* sub : {L"\\amd64", L"\\i386", L""}) Files().RemoveDirectory(folder + sub);
    return ExtractedFiles().empty() ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// devcon

int CPayload::nADD_Delete_DevconFile(const std::wstring& base, BOOL bAdd) {
    const bool wow64 = m_utility.IsWow64() != FALSE;
    const std::wstring path = Join(base, wow64 ? payload::kDevcon64Name : payload::kDevcon32Name);
    if (!bAdd) {
        DeleteOwn(path, kDevconMethod);
        return 0;
    }
    if (m_utility.bCheckFilePathExists(path, 0)) {
        // Kept as it is; it is ours to delete only when it is our build.
        const platform::ResourceData data =
            m_utility.Ports().resources->Load(wow64 ? payload::kDevcon64.type : payload::kDevcon32.type,
                                              wow64 ? payload::kDevcon64.id : payload::kDevcon32.id);
        const auto existing = ReadWholeFile(Files(), path);
        if (data.found && existing && *existing == data.bytes && m_ownFiles.insert(FoldPath(path)).second)
            m_ownOrder.push_back(path);
        return 0;
    }
    if (!PlaceResource(path, wow64 ? payload::kDevcon64 : payload::kDevcon32, kDevconMethod, kInfRecord)) return -10;
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
        EnsureFolder(Join(directory, payload::kFallbackFolder));
        path = Join(directory, relative);
        placed = PlaceItem(path, image.bytes);
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
