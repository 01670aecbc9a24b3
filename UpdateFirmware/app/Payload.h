// The payload the executable carries in its resources, and the operations
// that write it out, install the filter driver through SetupAPI's INF
// installer, and remove driver and files again.
//
// Places:
//   package folder  <temporary folder>VTL262xFW\FilterDriver: the INF, an
//                   empty catalogue, i386\ and amd64\revodereriri.sys, the
//                   two support DLLs, devcon (devconAMD64.exe on 64-bit
//                   Windows, else devcon.exe), and the uninstall batch once
//                   removal asks for it;
//   program folder  the firmware image under its embedded name, hidden.
//
// The tool runs elevated and runs or loads what it writes here, so the
// package folder is locked before anything goes into it: VTL262xFW and its
// folders are made by this run and reach Administrators and SYSTEM only.
// Each is made and opened in one step, so the folder held is the one made;
// it is held from then on without sharing deletion, so none can be renamed
// or deleted while the run uses it. Whatever already has one of those names
// (anyone's folder, one an earlier run left, a link, junction, mount point
// or file) is renamed aside in its folder, through a handle on the name
// itself, and left there; it is never listed, entered or deleted. A package
// folder whose path holds a character the command interpreter reads as its
// own (payload::kCommandCharacters) is never made.
// Before the installer, the command interpreter or devcon starts, the name
// of each file it takes is checked to reach the very file this run holds.
//
// Every item is written whole or not at all, then closed, opened again for
// reading with sharing for reading only, compared with the bytes it should
// hold and kept open that way until it is deleted: nobody can change it
// while the installer, the command interpreter or devcon read it. In the
// program folder a file of the same name that is not byte-identical is
// someone else's and is never overwritten or deleted (the firmware image
// then goes to the program's Temp folder, never through a redirection). The
// object remembers what this process wrote or found to be ours, and removal
// deletes only that; what cannot be deleted is logged and kept on the list.
//
// The operations are those of the main dialog and log under its name; they
// run one at a time (start-up, then the end of the run or a way out).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/WinTypes.h"

namespace app {

struct PayloadResourceId {
    const wchar_t* type;
    std::uint16_t id;
};

// Resource types and identifiers of the payload.
namespace payload {
constexpr PayloadResourceId kInf{L"INF", 157};
constexpr PayloadResourceId kSys32{L"SYS", 154};
constexpr PayloadResourceId kSys64Win10{L"SYS", 165};
constexpr PayloadResourceId kSys64{L"SYS", 155};
constexpr PayloadResourceId kSupportDll{L"DLL", 148};
constexpr PayloadResourceId kDebugRuntimeDll{L"DLL", 147};
constexpr PayloadResourceId kUninstallBatch{L"INF", 164};
constexpr PayloadResourceId kDevcon64{L"EXE", 152};
constexpr PayloadResourceId kDevcon32{L"EXE", 158};
constexpr PayloadResourceId kFirmwareImage{L"BIN", 166};
constexpr PayloadResourceId kFirmwareName{L"INI", 167};

constexpr wchar_t kPackageSubfolder[] = L"VTL262xFW";
constexpr wchar_t kPackageFolderName[] = L"FilterDriver";
constexpr wchar_t kInfName[] = L"revodereriri.inf";
constexpr wchar_t kCatalogName[] = L"revodereriri.cat";
constexpr wchar_t kSys32Name[] = L"i386\\revodereriri.sys";
constexpr wchar_t kSys64Name[] = L"amd64\\revodereriri.sys";
constexpr wchar_t kSupportDllName[] = L"k9371937.DLL";
constexpr wchar_t kDebugRuntimeDllName[] = L"msvcrtd.dll";
constexpr wchar_t kUninstallBatchName[] = L"DeleteRevodereriri.bat";
constexpr wchar_t kDevcon64Name[] = L"devconAMD64.exe";
constexpr wchar_t kDevcon32Name[] = L"devcon.exe";
// The program folder's subfolder that takes the firmware image when a file
// of its name that is not ours is in the way.
constexpr wchar_t kFallbackFolder[] = L"Temp";

// Characters the command interpreter reads as its own in a line (a command
// separator, an escape, a variable, a pipe, a redirection): a package folder
// whose path holds one is never made, written, listed or run in.
constexpr wchar_t kCommandCharacters[] = L"&^!%|<>";

// What the INF installer (rundll32, by its full path) is given, followed by
// the INF's full path: the installer takes the rest of its command line as
// the path, blanks included, and no quotes.
constexpr wchar_t kInstallArguments[] = L" setupapi,InstallHinfSection DefaultInstall 132 ";

// The text the build's placeholder firmware image begins with.
constexpr char kPlaceholderFirmwareMarker[] = "VTL262x PLACEHOLDER FIRMWARE IMAGE: NOT FOR ANY CHIP";
}  // namespace payload

// True when the image is the build's placeholder firmware image: its marker
// stands within the first kilobyte (at the start of a plain image, behind
// the 256-byte table of a "Config_" file, behind the length word of a
// temporary image). Such an image must never be written to a chip.
bool IsPlaceholderFirmwareImage(const std::vector<std::uint8_t>& image);

class CPayload {
public:
    CPayload(hubaccess::CHubUtility& utility, CMy262FWUpgradeToolDlg& dialog);
    ~CPayload();
    CPayload(const CPayload&) = delete;
    CPayload& operator=(const CPayload&) = delete;

    // --- filter driver (base: the temporary folder, GetTempPathW)
    // 0; the extraction's code (-1 or -10); -1 when the installer could not
    // be started.
    int InstallFilterDriver(const std::wstring& base);
    // Writes the package: 0; -1 the INF could not be written; -10 a later
    // file could not be written (those before it stay).
    int nLoadFilterDriverLib(const std::wstring& base);
    // Runs the INF installer in the package folder and waits for it: 0; -1.
    int Launch_INF(const std::wstring& base);
    // Runs the uninstall batch, then deletes the package files this process
    // wrote and what the batch left in the folders this process made, then
    // those folders, deepest first (VTL262xFW included): 0; -1 when the
    // batch could not be started (nothing is deleted then).
    int Remove_FilterDriverAndFiles(const std::wstring& base);
    // Makes sure the batch and the INF are there and runs the batch by its
    // full path (through the 64-bit command interpreter on 64-bit Windows):
    // 0; -1.
    int Launch_DelINF(const std::wstring& base);
    // Writes the uninstall batch: 0; -10.
    int nLoadDelInstall_INF(const std::wstring& base);

    // --- devcon (base: the temporary folder, as for the driver)
    // bAdd TRUE: writes the platform's build into the locked package folder
    // (one there that is not this build's is replaced), holds it open and
    // gives the hub utility its full path: 0; -10. bAdd FALSE: deletes the
    // devcon this process wrote: 0. A devcon in the program folder is never
    // run, replaced or deleted.
    int nADD_Delete_DevconFile(const std::wstring& base, hubaccess::BOOL bAdd);

    // --- the embedded firmware image
    // Writes it, hidden, into the program folder under its embedded name
    // (into the program's Temp folder when a file of that name that is not
    // ours is in the way) and sets the dialog's m_strFWBinFile to the name
    // relative to the program folder. FALSE when it is not written.
    hubaccess::BOOL vExtractBinFiles();
    // Deletes the image this process extracted: TRUE when it is gone (or
    // none was extracted), FALSE when the name resource is missing or the
    // file cannot be deleted.
    hubaccess::BOOL vRemoveBinFiles();

    // The last step of every way out of the process: deletes whatever this
    // process extracted and is still there (firmware image, devcon, the
    // driver package files), then the folders it made (the package's, the
    // program's Temp), each once it is empty. Runs no uninstaller. TRUE when
    // nothing of ours is left.
    hubaccess::BOOL vRemoveExtractedFiles(const std::wstring& base);

    // "<base>VTL262xFW\FilterDriver" (a backslash is put after base when it
    // has none).
    static std::wstring strPackageFolder(const std::wstring& base);
    // The command line that runs the uninstall batch.
    std::wstring strUninstallCommandLine(const std::wstring& batchPath);
    // The command line that runs the INF installer on the package folder's INF.
    std::wstring strInstallCommandLine(const std::wstring& packageFolder);
    // The paths this process wrote or found to be its own, still present.
    std::vector<std::wstring> ExtractedFiles() const;

private:
    enum class Place { Written, Ours, Foreign, Failed };
    struct PlaceResult {
        Place place = Place::Failed;
        std::uint32_t error = 0;
    };

    platform::Files& Files() const;
    // Writes `bytes` to `path` and holds it, unless a file is there:
    // identical to them means ours (held), anything else is foreign (kept,
    // not ours) or, with `replaceOther`, deleted and written anew.
    PlaceResult PlaceItem(const std::wstring& path, const std::vector<std::uint8_t>& bytes,
                          bool replaceOther = false);
    // Places a resource into the locked package folder; on failure logs
    // `record` with the error.
    bool PlaceResource(const std::wstring& path, const PayloadResourceId& resource, const wchar_t* method,
                       const wchar_t* record);
    // Opens the file for reading with read sharing only and compares it
    // with `bytes`; the handle is kept when they match.
    bool HoldIfEqual(const std::wstring& path, const std::vector<std::uint8_t>& bytes, std::uint32_t* error);
    void Release(const std::wstring& path);
    // A folder this process made and holds: its path, the handle it was made
    // with (no delete access, no delete sharing) and what it is.
    struct HeldFolder {
        std::wstring path;
        platform::Handle handle;
        platform::FileIdentity identity;
    };
    // The package folder and its parent made safe (see above) and held until
    // they are removed; false, with a record, when that cannot be done.
    bool LockPackageFolder(const std::wstring& base, const wchar_t* method);
    // One folder made and held by this process in one step; anything at that
    // name before (a folder of anyone's, a link, a file) is renamed aside
    // first.
    bool SecureFolder(const std::wstring& path, const wchar_t* method, std::uint32_t* error);
    bool RenameAside(const std::wstring& path, const wchar_t* what, const wchar_t* method, std::uint32_t* error);
    bool IsHeldFolder(const std::wstring& path) const;
    // The file this process wrote and holds is still what the name reaches;
    // false, with a record, otherwise.
    bool UsableHeldFile(const std::wstring& path, const wchar_t* method);
    // Deletes what is in a folder this process made (its own files, what the
    // programs it started left, links without their targets).
    void EmptyFolder(const std::wstring& folder, const wchar_t* method, int depth = 0);
    // Deepest first: each folder this process made is emptied while it is
    // held, then deleted through a handle that reaches only it (a sharing
    // violation tried again over about a second); the others are let go.
    void RemovePackageFolders(const wchar_t* method);
    void ReleaseFolders();
    // The system program's full path: the 64-bit one on 64-bit Windows
    // (Sysnative for a 32-bit thread that sees redirection); empty when the
    // Windows folder is unknown.
    std::wstring SystemProgram(const wchar_t* name);
    // Deletes a file of this process; logs and keeps what cannot go.
    bool DeleteOwn(const std::wstring& path, const wchar_t* method);
    bool IsOwn(const std::wstring& path) const;
    // The text of the firmware image's name resource within its size, up to
    // a NUL; false when the resource is missing.
    bool ReadFirmwareName(std::wstring* text, std::uint32_t* error);

    hubaccess::CHubUtility& m_utility;
    CMy262FWUpgradeToolDlg& m_dialog;
    std::set<std::wstring> m_ownFiles;  // by FoldPath
    std::map<std::wstring, platform::Handle> m_held;  // by FoldPath
    std::wstring m_lockedFolder;                      // FoldPath, empty: none
    std::vector<HeldFolder> m_folders;                // parents before their sub-folders
    std::vector<std::wstring> m_ownOrder;
    std::wstring m_strExtractedImage;  // full path, empty when none
};

// The process's payload object (set by the entry point before the dialog
// runs).
extern CPayload* pPayload;

}  // namespace app
