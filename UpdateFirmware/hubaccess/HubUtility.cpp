// Construction, destruction and the system services of the hub utility.
#include "hubaccess/HubUtility.h"

#include <exception>

#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/LastError.h"
#include "hubaccess/TextFormat.h"

namespace hubaccess {

CHubUtility* pUtility = nullptr;

namespace {

// The executable's own file name: processes of this program carry it as the
// base name of their first module (compared exactly, letter case included).
constexpr wchar_t kProgramFileName[] = L"262FWUpgradeTool.exe";

// The USB device class; its UpperFilters name the filter driver once it is
// installed.
constexpr wchar_t kUsbClassKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";
constexpr wchar_t kUpperFiltersValue[] = L"UpperFilters";
constexpr wchar_t kFilterDriverTag[] = L"VNTLFILTER";

constexpr wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

// Registry value types as the accessor's callers name them.
constexpr BYTE kRegSz = 1;
constexpr BYTE kRegDword = 4;
constexpr BYTE kRegMultiSz = 7;
// A registry read asks for at most this many bytes.
constexpr std::uint32_t kRegistryReadBytes = 8192;

constexpr std::uint32_t kErrnoNoEnt = 2;
constexpr std::uint32_t kErrnoAccess = 13;
constexpr std::uint32_t kErrnoInval = 22;

// The leading decimal number of a text, as _wtoi reads it (0 when none).
long long LeadingDecimal(const std::wstring& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
    long long value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        if (value < 1000000000000LL) value = value * 10 + (text[i] - L'0');
    }
    return negative ? -value : value;
}

enum class ProcessWalk { Count, FirstOther };

// Walks the running processes and finds those of this program. Count gives
// the number of them (this process included); FirstOther gives the ID of
// the first one in list order that is not this process, 0 when none.
// `tag` is the operation's name in its records.
DWORD WalkProcesses(platform::Processes& processes, ProcessWalk mode, const wchar_t* method,
                    const std::wstring& tag) {
    DWORD count = 0;
    try {
        const platform::ProcessListResult list = processes.EnumProcesses();
        switch (list.status) {
            case platform::ProcessListStatus::Ok:
                break;
            case platform::ProcessListStatus::LibraryMissing:
                SetLastSystemError(list.error);
                vDEBUG_ERR_printf((L"%s:%d: " + tag + L": hPsApi = NULL , hPsApi : %x , pName : %s , dwErrorCode %d").c_str(),
                                  method, __LINE__, 0, kProgramFileName, GetLastSystemError());
                return 0;
            case platform::ProcessListStatus::FunctionMissing:
                SetLastSystemError(list.error);
                vDEBUG_ERR_printf((L"%s:%d: " + tag +
                                   L": Module = NULL , EnumProcessModules : %x , GetModuleBaseName = %x ,  EnumProcesses : %x , pName : %s , dwErrorCode %d")
                                      .c_str(),
                                  method, __LINE__, 0, 0, 0, kProgramFileName, GetLastSystemError());
                return 0;
            case platform::ProcessListStatus::EnumFailed:
                SetLastSystemError(list.error);
                vDEBUG_ERR_printf((L"%s:%d: " + tag +
                                   L": EnumProcesses = FAIL , processID : %x , cbNeeded : %x , pName : %s , dwErrorCode %d")
                                      .c_str(),
                                  method, __LINE__, 0, 0, kProgramFileName, GetLastSystemError());
                return 0;
        }
        const DWORD self = processes.CurrentProcessId();
        std::wstring name;
        for (const DWORD id : list.ids) {
            name.clear();
            if (!processes.FirstModuleBaseName(id, &name) || name != kProgramFileName) continue;
            if (mode == ProcessWalk::Count) {
                ++count;
            } else if (id != self) {
                return id;
            }
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf((L"%s:%d: " + tag + L": pName : %s , dwErrorCode %d").c_str(), method,
                          __LINE__, kProgramFileName, GetLastSystemError());
        return mode == ProcessWalk::Count ? count : 0;
    }
    return mode == ProcessWalk::Count ? count : 0;
}

// The system error that goes with a failed access check: the check's own,
// never one an earlier call left behind.
std::uint32_t SystemErrorOfAccess(int err) {
    switch (static_cast<std::uint32_t>(err)) {
        case kErrnoNoEnt: return platform::kErrorFileNotFound;
        case kErrnoAccess: return platform::kErrorAccessDenied;
        case kErrnoInval: return platform::kErrorInvalidParameter;
        default: return platform::kErrorGenFailure;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

CHubUtility::CHubUtility(const platform::Ports& ports)
    : m_ports(ports), m_FileConfigTableLock(ports.threads->CreateMutex("m_FileConfigTableLock")),
      m_PowerManagementLock(ports.threads->CreateMutex("m_PowerManagementLock")) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::CHubUtility";
    vDEBUG_Initial_printf(*m_ports.threads, *m_ports.logSink);
    vResetMembers();
    try {
        // The executable's path and directory; the directory becomes the
        // current one, so relative names resolve next to the executable.
        const std::wstring modulePath = m_ports.osInfo->GetModuleFileName();
        const std::size_t slash = modulePath.rfind(L'\\');
        if (modulePath.empty() || slash == std::wstring::npos) {
            vDEBUG_ERR_printf(L"%s:%d: Utility: dwErrorCode:%d", kMethod, __LINE__, GetLastSystemError());
        } else {
            m_szModulePath = modulePath;
            m_szModuleDirectory = modulePath.substr(0, slash);
            if (!m_ports.osInfo->SetCurrentDirectory(m_szModuleDirectory))
                vDEBUG_ERR_printf(L"%s:%d: Utility: dwErrorCode:%d", kMethod, __LINE__, GetLastSystemError());
        }

        m_ulOldPositionIndex.fill(0xFFFFFFFFu);
        m_ucRegTable = kDefaultRegTable;
        m_liFrequency = m_ports.clock->PerformanceFrequency();

        // On 64-bit Windows file-system redirection goes off for this
        // (the main) thread only, until the destructor.
        if (IsWow64()) {
            const platform::FsRedirectionResult r = m_ports.osInfo->DisableWow64FsRedirection();
            SetLastSystemError(r.error);
            if (!r.libraryLoaded) {
                vDEBUG_ERR_printf(L"%s:%d: LoadLibrary( Kernel32.dll) Failed, Erroe=%d", kMethod, __LINE__,
                                  GetLastSystemError());
            } else if (!r.functionFound) {
                vDEBUG_ERR_printf(L"%s:%d: f_Wow64DisableWow64FsRedirection=NULL, Erroe=%d", kMethod, __LINE__,
                                  GetLastSystemError());
            } else if (!r.ok) {
                vDEBUG_ERR_printf(L"%s:%d:   f_Wow64DisableWow64FsRedirection failed, Erroe=%d", kMethod,
                                  __LINE__, GetLastSystemError());
            } else {
                m_redirectionDisabled = true;
            }
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: Utility: dwErrorCode:%d", kMethod, __LINE__, GetLastSystemError());
    }
}

CHubUtility::~CHubUtility() {
    static constexpr wchar_t kMethod[] = L"CHubUtility::~CHubUtility";
    try {
        if (m_hTempImageHeld.IsValid()) m_ports.files->CloseHandle(m_hTempImageHeld);
        if (m_hTempFolderHeld.IsValid()) m_ports.files->CloseHandle(m_hTempFolderHeld);
        // Only a redirection that was really turned off is turned back on.
        if (m_redirectionDisabled) {
            const platform::FsRedirectionResult r = m_ports.osInfo->RevertWow64FsRedirection();
            SetLastSystemError(r.error);
            if (!r.libraryLoaded || !r.functionFound) {
                vDEBUG_ERR_printf(L"%s:%d: f_Wow64RevertWow64FsRedirection=NULL, Erroe=%d", kMethod, __LINE__,
                                  GetLastSystemError());
            } else if (!r.ok) {
                vDEBUG_ERR_printf(L"%s:%d: f_Wow64RevertWow64FsRedirection failed, Erroe=%d", kMethod, __LINE__,
                                  GetLastSystemError());
            }
            m_redirectionDisabled = false;
        }
        vResetMembers();
    } catch (const std::exception&) {
    }
    // The log stays as it is: its lock and sink outlive this object, so a
    // record written now or later by a thread still running is safe.
}

void CHubUtility::vResetMembers() {
    m_szModuleDirectory.clear();
    m_szModulePath.clear();
    m_strFWBinFilePath.clear();
    m_bCheckManuString = 0;
}

// ---------------------------------------------------------------------------
// Files, messages

BOOL CHubUtility::bCheckFilePathExists(const std::wstring& strFilePath, BYTE bShowMsg) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::bCheckFilePathExists";
    try {
        int err = m_ports.files->Access(strFilePath, platform::kAccessExists);
        if (err != 0) {
            SetLastSystemError(SystemErrorOfAccess(err));
            vDEBUG_ERR_printf(L"%s:%d: bCheckFilePathExists: Not Exist , strFilePath : %s , err : %d , dwErrorCode %d",
                              kMethod, __LINE__, strFilePath, err, GetLastSystemError());
            if (bShowMsg == 1) vShowMessage(strFilePath + L" File/Path Not Exist");
            return FALSE;
        }
        err = m_ports.files->Access(strFilePath, platform::kAccessReadWrite);
        if (err != 0) {
            SetLastSystemError(SystemErrorOfAccess(err));
            vDEBUG_ERR_printf(L"%s:%d: bCheckFilePathExists: Not Read/Write , strFilePath : %s , err : %d , dwErrorCode %d",
                              kMethod, __LINE__, strFilePath, err, GetLastSystemError());
            if (bShowMsg == 1) vShowMessage(strFilePath + L" File/Path Not Read/Write");
            return FALSE;
        }
        return TRUE;
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: bCheckFilePathExists: strFilePath : %s , err : %d , dwErrorCode %d", kMethod,
                          __LINE__, strFilePath, 0, GetLastSystemError());
        if (bShowMsg == 1) vShowMessage(strFilePath + L" File/Path Not Exist");
        return FALSE;
    }
}

void CHubUtility::vShowMessage(const std::wstring& text) {
    // The caption is the program's name, as the framework's message box has it.
    std::wstring caption = m_szModulePath.substr(m_szModulePath.rfind(L'\\') + 1);
    const std::size_t dot = caption.rfind(L'.');
    if (dot != std::wstring::npos) caption.erase(dot);
    m_ports.ui->MessageBox(text, caption, platform::kMbOk);
}

std::wstring CHubUtility::vGetFileVersionInfo(const std::wstring& strFile) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::vGetFileVersionInfo";
    try {
        const platform::FileVersionResult v = m_ports.osInfo->GetFileVersion(strFile);
        if (!v.ok) return {};
        return textfmt::Format(L"%d.%d.%d.%d", v.fileVersionMS >> 16, v.fileVersionMS & 0xFFFFu,
                               v.fileVersionLS >> 16, v.fileVersionLS & 0xFFFFu);
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: vGetFileVersionInfo fail, dwErrorCode : %d", kMethod, __LINE__,
                          GetLastSystemError());
        return {};
    }
}

// ---------------------------------------------------------------------------
// Processes

int CHubUtility::DetectProcess() {
    return static_cast<int>(WalkProcesses(*m_ports.processes, ProcessWalk::Count,
                                          L"CHubUtility::DetectProcess", L"DetectProcess"));
}

DWORD CHubUtility::GetProcessID() {
    return WalkProcesses(*m_ports.processes, ProcessWalk::FirstOther, L"CHubUtility::GetProcessID",
                         L"GetProcessID");
}

BOOL CHubUtility::KillProcess(DWORD dwProcessId, DWORD dwExitCode) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::KillProcess";
    const platform::TerminateResult r = m_ports.processes->TerminateProcess(dwProcessId, dwExitCode);
    if (!r.opened) {
        SetLastSystemError(r.error);
        vDEBUG_ERR_printf(L"%s:%d: KillProcess: OpenProcess fail, dwProcessId : %d , dwErrorCode %d", kMethod,
                          __LINE__, dwProcessId, GetLastSystemError());
        return FALSE;
    }
    if (!r.terminated) {
        SetLastSystemError(r.error);
        vDEBUG_ERR_printf(L"%s:%d: KillProcess: TerminateProcess fail, dwProcessId : %d , dwErrorCode %d", kMethod,
                          __LINE__, dwProcessId, GetLastSystemError());
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// System facts

BOOL CHubUtility::bIsInstallVntlFilterDriverFromRegistry() {
    static constexpr wchar_t kMethod[] = L"CHubUtility::bIsInstallVntlFilterDriverFromRegistry";
    RegistryData value;
    if (!bRegistryReadWrite(kUsbClassKey, kUpperFiltersValue, &value, 0, kRegMultiSz)) {
        vDEBUG_ERR_printf(L"%s:%d: bRegistryReadWrite(REG_MULTI_SZ) Failed, wSubKey[%s], wKeyName[%s", kMethod,
                          __LINE__, kUsbClassKey, kUpperFiltersValue);
        return FALSE;
    }
    if (ToUpperAscii(value.text).find(kFilterDriverTag) != std::wstring::npos) return TRUE;
    vDEBUG_WRN_printf(L"%s:%d: The Filter driver is not installed, strRegValue[%s]", kMethod, __LINE__, value.text);
    return FALSE;
}

BOOL CHubUtility::IsWow64() {
    static constexpr wchar_t kMethod[] = L"CHubUtility::IsWow64";
    const platform::Wow64Query q = m_ports.osInfo->IsWow64Process();
    if (!q.functionFound) return FALSE;
    if (!q.ok) {
        SetLastSystemError(q.error);
        vDEBUG_ERR_printf(L"%s:%d:  dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
        return FALSE;
    }
    return q.isWow64 ? TRUE : FALSE;
}

BYTE CHubUtility::ucGetOSVersion() {
    DWORD registryMajor = 0;
    long long registryBuild = 0;
    RegistryData value;
    if (bRegistryReadWrite(kCurrentVersionKey, L"CurrentMajorVersionNumber", &value, 0, kRegDword))
        registryMajor = value.number & 0xFFFFu;
    if (bRegistryReadWrite(kCurrentVersionKey, L"CurrentBuildNumber", &value, 0, kRegSz))
        registryBuild = LeadingDecimal(value.text);

    const platform::OsVersion v = m_ports.osInfo->GetVersionEx();
    constexpr std::uint32_t kPlatformNt = 2;
    if (!v.ok || v.platformId != kPlatformNt) return kOsUnknown;
    if (v.major == 5) return v.minor == 1 ? kOsXp : kOsOther5;
    if (v.major != 6) return kOsUnknown;
    if (registryMajor == 10 || registryBuild >= 10000) return kOsWin10;
    switch (v.minor) {
        case 0: return kOsVista;
        case 1: return kOsWin7;
        case 2: return kOsWin8;
        case 3: return kOsWin81;
        default: return kOsUnknown;
    }
}

// ---------------------------------------------------------------------------
// Registry

BOOL CHubUtility::bRegistryReadWrite(const std::wstring& szSubKeyHub3, const std::wstring& szKeyName,
                                     RegistryData* pData, BYTE bWrite, BYTE ucType) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::bRegistryReadWrite";
    if (pData == nullptr) return FALSE;

    if (bWrite) {
        if (ucType != kRegDword) {
            vDEBUG_ERR_printf(L"%s:%d: only REG_DWORD values are written, ucType=%d, szKeyName[%s]", kMethod,
                              __LINE__, ucType, szKeyName);
            return FALSE;
        }
        const DWORD number = pData->number & 0xFFFFu;
        const platform::RegistryWriteResult r = m_ports.registry->WriteDword(szSubKeyHub3, szKeyName, number);
        if (r.openStatus != 0) {
            SetLastSystemError(r.openStatus);
            vDEBUG_ERR_printf(L"%s:%d: RegCreateKeyEx fail, szSubKeyHub3=%s, dwErrorCode=%d", kMethod, __LINE__,
                              szSubKeyHub3, r.openStatus);
            return FALSE;
        }
        if (r.setStatus != 0) {
            // RegSetValueExW reports its error only in its result, never in
            // the thread's last error.
            SetLastSystemError(r.setStatus);
            vDEBUG_ERR_printf(L"%s:%d: RegSetValueEx fail, lResult%d, szKeyName[%ws], dwErrorCode%d", kMethod,
                              __LINE__, r.setStatus, szKeyName, GetLastSystemError());
            return FALSE;
        }
        return TRUE;
    }

    const platform::RegistryReadResult r = m_ports.registry->ReadValue(szSubKeyHub3, szKeyName, kRegistryReadBytes);
    if (r.openStatus != 0) {
        SetLastSystemError(r.openStatus);
        vDEBUG_ERR_printf(L"%s:%d: RegOpenKeyExW fail, szSubKeyHub3=%ws, dwErrorCode=%d", kMethod, __LINE__,
                          szSubKeyHub3, r.openStatus);
        return FALSE;
    }
    if (r.queryStatus != 0 || r.data.size() > kRegistryReadBytes) return FALSE;

    RegistryData out;
    if (ucType == kRegDword) {
        // The value's first bytes, little-endian.
        for (std::size_t i = 0; i < r.data.size() && i < 4; ++i)
            out.number |= static_cast<DWORD>(r.data[i]) << (8 * i);
    } else {
        // The value's UTF-16 characters; every NUL (separators and
        // terminators alike) becomes a blank.
        out.text.reserve(r.data.size() / 2);
        for (std::size_t i = 0; i + 1 < r.data.size(); i += 2) {
            const wchar_t c = static_cast<wchar_t>(r.data[i] | (r.data[i + 1] << 8));
            out.text.push_back(c == L'\0' ? L' ' : c);
        }
    }
    *pData = std::move(out);
    return TRUE;
}

}  // namespace hubaccess
