// CHubUtility: the hub utility, one per process (pUtility). It holds the
// state shared by the hub access layer and the application (target filters,
// module directory, locks, tables, the hub-device facade) and offers the
// system services: file checks, the process list, file versions, the
// filter-driver registration test, WOW64 and the Windows version.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hubaccess/HubRecords.h"
#include "hubaccess/VntlHubDev.h"
#include "hubaccess/WinTypes.h"
#include "platform/Ports.h"
#include "platform/SetupApi.h"

namespace hubaccess {

constexpr std::size_t kRegTableSize = 107;
// Most hub interfaces one restart search returns.
constexpr std::size_t kMaxHubInterfaceMatches = 16;
// The register values a configuration table carries at 0x8D, as built in.
extern const std::array<BYTE, kRegTableSize> kDefaultRegTable;

// Windows-version codes of ucGetOSVersion.
constexpr BYTE kOsXp = 2, kOsOther5 = 1, kOsVista = 4, kOsWin7 = 8, kOsWin8 = 16, kOsWin81 = 32,
               kOsWin10 = 64, kOsUnknown = 255;

// A value read or written by bRegistryReadWrite: REG_DWORD values use
// `number`; texts use `text` (a multi-string reads as one line, its NULs
// turned into blanks).
struct RegistryData {
    DWORD number = 0;
    std::wstring text;
};

class CHubUtility {
public:
    // Builds the object on the given ports (every port must be set). The
    // module path comes from OsInfo; the log lock is created here.
    explicit CHubUtility(const platform::Ports& ports);
    ~CHubUtility();
    CHubUtility(const CHubUtility&) = delete;
    CHubUtility& operator=(const CHubUtility&) = delete;

    const platform::Ports& Ports() const { return m_ports; }

    // --- system services
    void vResetMembers();
    BOOL bCheckFilePathExists(const std::wstring& strFilePath, BYTE bShowMsg);
    int DetectProcess();
    DWORD GetProcessID();
    // Ends the process with this exit code (the start-up's single-instance
    // rule passes -9, so the ended copy never reads as a success).
    BOOL KillProcess(DWORD dwProcessId, DWORD dwExitCode = 0);
    std::wstring vGetFileVersionInfo(const std::wstring& strFile);
    BOOL bIsInstallVntlFilterDriverFromRegistry();
    BOOL IsWow64();
    BYTE ucGetOSVersion();
    void vShowMessage(const std::wstring& text);
    BOOL bRegistryReadWrite(const std::wstring& szSubKeyHub3, const std::wstring& szKeyName,
                            RegistryData* pData, BYTE bWrite, BYTE ucType);

    // --- erase status wait
    BOOL PollingRegStatus(Handle hDevice, const BYTE* pWanted);

    // --- temporary firmware image file
    BOOL vCreateTempBinDataFile(const std::wstring& strSrcFile, BOOL bStripHeader, BOOL bWithCRC,
                                BOOL bMainName);
    void vInitCRC32Table();
    DWORD CRC32(const BYTE* data, std::size_t length) const;
    // The image file vCreateTempBinDataFile wrote last, held open for
    // reading with read sharing only, and the bytes it was built from and
    // read back as: taken over by the caller (an invalid handle and no
    // bytes when there is none).
    platform::Handle TakeTempImage(std::vector<BYTE>* pBytes);
    // Writes a file that must not exist yet (nobody else may open it while it
    // is written), closes it, opens it again read-only with read sharing only
    // and compares it byte for byte with `bytes`. TRUE: it holds exactly
    // them and `*pHeld` keeps it from then on. FALSE: `*pDiffers` tells
    // whether it was written but read back otherwise (the file is then
    // deleted again), `*pError` why it failed otherwise.
    static BOOL bWriteNewFileAndHold(platform::Files& files, const std::wstring& path, const std::vector<BYTE>& bytes,
                                     platform::Handle* pHeld, std::uint32_t* pError, bool* pDiffers);

    // --- the program folder's Temp folder (the temporary image, the
    // unpacked copy of a packed image, the firmware image when its name in
    // the program folder is taken)
    // m_szModuleDirectory + "\Temp"
    std::wstring strTempFolderPath() const;
    // Made when missing, never taken when it is a redirection or no folder,
    // and held (Files::HoldFolder) from its first use until vReleaseTempFolder:
    // nobody can rename or delete it meanwhile. FALSE, with an error record,
    // when it cannot be had.
    BOOL bHoldTempFolder();
    // Lets go of it; one this process made is deleted (through a handle that
    // reaches it only, never a folder put in its place) when it is empty.
    void vReleaseTempFolder();
    // It is held and its name still reaches it.
    bool bTempFolderReached();

    // --- configuration table
    // Puts the default table into row ucTarget and into m_ucFileConfigTable;
    // several workers may call it at once.
    void vSetMConfigInfo(BYTE ucTarget);
    // A copy of m_ucFileConfigTable, taken under the lock its writers hold.
    std::array<BYTE, kConfigTableSize> GetFileConfigTable() const;
    // Builds the default configuration table into `out`.
    void BuildDefaultConfigTable(std::array<BYTE, kConfigTableSize>& out) const;
    BOOL vLoadRegTableFromFile(const std::wstring& strTablePath);

    // --- signature marks
    BYTE bIsSignatureMarked(Handle hDevice);
    // The index byte (register 0x7FC), 255 when the read failed; since 255
    // is also a legal index byte, *pReadOk (when given) tells the two apart.
    BYTE ucGetSignatureMarked(Handle hDevice, BYTE* pOut4, bool* pReadOk = nullptr);
    int WriteSignatureWORD(Handle hDevice, WORD value);
    int MarkSignatureforIdentify(Handle hDevice, BYTE ucIndexChar);

    // --- hub update services
    BOOL vInitializeCriticalSection();
    void vDeleteCriticalSection();
    // A write erases the image's table and downloads it. Once the erase has
    // started the download always follows, the run's cancel notwithstanding;
    // *pEraseStarted (when given) tells whether an erase was started, so
    // that a caller whose write failed knows the table may be left erased.
    // After the run's cancel no first erase starts; bCompletesErase marks the
    // repeat of an erase whose download failed, which goes all the same.
    BYTE vWrRdConfiguration(BYTE ucTarget, BYTE bWrite, BYTE* pConfig256, BYTE ucImage,
                            bool* pEraseStarted = nullptr, bool bCompletesErase = false);
    // Downloads Temp\TempBinData.bin of the module directory.
    BOOL vUpdateFirmware(BYTE ucTarget, BYTE ucImage);
    // Downloads the image given as its bytes (what the run prepared and
    // checked, held in memory).
    BOOL vUpdateFirmware(BYTE ucTarget, BYTE ucImage, const std::vector<BYTE>& image);
    // Reads configuration image ucImage and the firmware area with ROM read
    // value ucImage into pBuf, which holds `capacity` bytes. When given,
    // *pFirmwareResult receives the last firmware-area read's result
    // (kChipFirmwareLengthInvalid: read, but no length word in range; -1
    // also when it was never reached).
    BOOL bReadSPIROM(BYTE ucTarget, BYTE* pBuf, std::size_t capacity, BYTE ucImage = 0,
                     int* pFirmwareResult = nullptr);
    BOOL ReEnumrationTargetHub(BYTE ucTarget);
    // The run's cancel token (null outside a run). Once it is set no service
    // starts an erase or a firmware download (a table download that completes
    // an erase still goes), and the waits of the read-back recovery
    // and the re-identification end early (the service then fails).
    platform::CancelToken* m_pRunCancel = nullptr;
    bool bRunCancelled() const { return m_pRunCancel != nullptr && m_pRunCancel->IsCancelled(); }
    // Sleeps `ms`, ending early when the run is cancelled; true when it was.
    bool bPauseUnlessCancelled(std::uint32_t ms);

    // --- USB topology walk
    // Walks into the hub device object's entries (m_DriverInfo, m_DriverNum).
    BOOL GetDeviceList();
    // Walks into a list of the caller's own (zeroed first); nothing of the
    // hub device object is written. A quiet walk reads no hub's version
    // unless a version filter needs it, so it sends no request to a hub's
    // filter device object that another worker may be writing.
    BOOL GetDeviceList(std::array<DRIVERINFO, kDriverInfoCapacity>& entries, BYTE& count, bool quiet);
    DWORD EnumerateHost(Handle hHostController, const std::wstring& strDescription, BYTE bOwnHost);
    // Walks ports 1..ulPorts of an opened hub at depth ulDepth; portChain is
    // the hub's own position (the port numbers from the root hub down).
    void GetHubPort(Handle hHub, ULONG ulPorts, ULONG ulDepth, const std::wstring& strHubName,
                    const std::wstring& strDescription, BYTE bOwnHost,
                    const std::vector<BYTE>& portChain);
    std::wstring strGetExternalHubName(Handle hHub, ULONG ulPort);
    std::wstring strChangeDeviceNameForMCCI(const std::wstring& strName);
    BOOL bGet262xFWVersion(DRIVERINFO* pEntry);
    int GetPortStatus(const std::wstring& strHubName, BYTE ucMask);

    // --- USB hub queries
    std::wstring WideStrToMultiStr(const std::wstring& text);
    // A narrow text read from a device (up to its first NUL), converted with
    // the thread's ANSI code page; empty (with a record) when that fails.
    std::wstring MultiStrToWideStr(const std::string& text);
    BOOL GetRootHubName(Handle hHostController);
    std::wstring GetStringDescriptor(Handle hHub, ULONG ulPortIndex, USHORT* uspLanguageID,
                                     BYTE ucIndex);
    void GetDeviceDescriptor(Handle hHub, ULONG ulPort, const BYTE* pDeviceDescriptor18);
    DWORD vCharToHex(const std::wstring& text);

    // --- filter device object names
    int GetObjecNameFromDriverName(DRIVERINFO* Driverinfo, BYTE bRetry);

    // --- hub restart; the path lists hold at most kMaxHubInterfaceMatches
    BYTE ucGetHubHWIds(HUBREC rec, std::vector<std::wstring>* pPaths, BYTE bRestart);
    BYTE ucGetHWId(const platform::Guid& guid, HUBREC rec, std::vector<std::wstring>* pPaths,
                   BYTE bRestart);
    BOOL bChangeDeviceStatus(platform::DeviceInterfaceSet& set, std::uint32_t index);
    std::wstring vGetSetupDiDeviceRegistryProperty(platform::DeviceInterfaceSet& set,
                                                   std::uint32_t index, DWORD property);

    // --- hub power management
    BOOL bSetHubPowerManagementByRegistry(HUBREC rec, DWORD dwValue);
    // Writes the restore value into every value the run changed (the list
    // below), whatever walks and rescans happened since.
    BOOL bRestorePowerManagement();

    // --- members shared with the rest of the system
    BYTE m_ucCheckSpeedOnly = 0;
    std::int64_t m_liFrequency = 0;
    std::unique_ptr<platform::Mutex> m_UpdateConfigurationCriticalSection;
    std::unique_ptr<platform::Mutex> m_UpdateFirmwareCriticalSection;
    std::unique_ptr<platform::Mutex> m_CPURSTCriticalSection;
    std::unique_ptr<platform::Mutex> m_EnumCriticalSection;
    std::unique_ptr<platform::Mutex> m_VerifyFWCriticalSection;
    std::unique_ptr<platform::Mutex> m_ThreadCriticalSection;
    CVntlUSBLib m_USBLib{*this};
    BYTE m_bAllHubCheck4ReEnum = 0;
    std::array<DWORD, kDevListRowsUsed> m_ulOldPositionIndex{};
    // The full positions of the hubs a re-enumeration looks for, parallel to
    // m_ulOldPositionIndex; the walk compares these (an empty one matches
    // nothing).
    std::array<HubPosition, kDevListRowsUsed> m_OldPositions{};
    // Written by vSetMConfigInfo under m_FileConfigTableLock; read it with
    // GetFileConfigTable while workers run.
    std::array<BYTE, kConfigTableSize> m_ucFileConfigTable{};
    std::array<BYTE, kRegTableSize> m_ucRegTable{};
    std::wstring m_szModuleDirectory;
    std::wstring m_szModulePath;
    // The full path of the devcon this process wrote and holds open (set at
    // start-up, before any worker runs); empty: no devcon, no restart
    // through it. Each start checks that the name still reaches the held
    // file (m_hDevconHeld, the payload's handle).
    std::wstring m_strDevconPath;
    platform::Handle m_hDevconHeld = platform::Handle::Invalid();
    std::wstring m_strFWBinFilePath;
    std::wstring strPID, strVID, strbcdUSB, strISerialNumber, strIManufacture, strIProduct,
        strbcdDevice;
    std::wstring m_strVID_Indetify, m_strFW_Indetify, m_strPID30_Indetify, m_strPID20_Indetify,
        m_strManuString_Indetify, m_strFWCustomerCode_Indetify;
    BYTE m_ucCustomerCodeStart = 0;
    BYTE m_ucCustomerCodeLength = 0;
    BYTE m_bCheckManuString = 0;
    std::wstring strRootHubName;
    std::array<std::wstring, 16> m_strDriverInstance;
    // Deepest tier whose hubs may reset now; one writer, readers poll.
    std::atomic<std::int8_t> m_MaxHubDepth{0};
    std::array<DWORD, 256> m_CRC32Table{};

    // One power-management value changed during the run: recorded when it is
    // changed, once per key and value name.
    struct PowerManagementChange {
        std::wstring key;
        std::wstring valueName;
        bool existed = false;  // the value was there before the run
        DWORD previous = 0;    // and held this number
    };
    // Written by the walks (a worker left running at the run's end may still
    // walk) and read by the restore: both under m_PowerManagementLock.
    std::vector<PowerManagementChange> m_PowerManagementChanges;
    std::size_t PowerManagementChangeCount();

private:
    // The walk's filters and entry steps for the hub on one port (GetHubPort).
    void TakeHub(Handle hHub, ULONG port, ULONG ulDepth, const std::wstring& strHubName,
                 const std::wstring& strDescription, BYTE bOwnHost, const HubPosition& position,
                 std::int8_t positionIndex, CVntlHubDev& hubDev, std::wstring* pConnectedName,
                 bool* pNameRead);
    // The entry the running walk is filling now (outside a walk: the hub
    // device object's entry at m_DriverNum), or null when there is none.
    DRIVERINFO* CurrentWalkEntry();

    // Where the running walk puts the hub interfaces it takes (walks never
    // overlap: see m_EnumCriticalSection).
    struct WalkSink {
        std::array<DRIVERINFO, kDriverInfoCapacity>* entries = nullptr;
        BYTE* count = nullptr;
        bool quiet = false;
    };
    BOOL Walk(const WalkSink& sink);
    // vUpdateFirmware from a file or from bytes (exactly one given).
    BOOL UpdateFirmware(BYTE ucTarget, BYTE ucImage, const std::wstring* path, const std::vector<BYTE>* image);

    platform::Ports m_ports;
    bool m_redirectionDisabled = false;
    platform::Handle m_hTempFolderHeld = platform::Handle::Invalid();
    platform::FileIdentity m_TempFolderIdentity;
    bool m_bTempFolderMade = false;
    platform::Handle m_hTempImageHeld = platform::Handle::Invalid();
    std::vector<BYTE> m_TempImageBytes;
    WalkSink m_walk;
    // Guards m_ucFileConfigTable only; nothing else is locked while it is
    // held (the log's lock aside).
    std::unique_ptr<platform::Mutex> m_FileConfigTableLock;
    // Guards m_PowerManagementChanges only; held for no registry or device
    // call (the log's lock aside).
    std::unique_ptr<platform::Mutex> m_PowerManagementLock;
};

// The process-wide hub utility, set by the program's entry.
extern CHubUtility* pUtility;

}  // namespace hubaccess
