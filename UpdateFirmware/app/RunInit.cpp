#include "app/RunInit.h"

#include "app/DialogFrame.h"
#include "app/RunResults.h"
#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/LastError.h"
#include "hubaccess/TextFormat.h"

namespace app {

namespace {

using hubaccess::FALSE;
using hubaccess::GetLastSystemError;
using hubaccess::TRUE;

constexpr wchar_t kMethod[] = L"CMy262FWUpgradeToolDlg::OnInitDialog";
constexpr wchar_t kFailedText[] = L"Failed!!";
constexpr BYTE kFailedColour = 0;
constexpr BYTE kFailedFontHeight = 40;
constexpr std::size_t kMaxTempPath = 255;
constexpr wchar_t kSysWow64Directory[] = L"C:\\Windows\\SysWOW64";
constexpr wchar_t kDefaultVid[] = L"7A7D";

std::wstring TempPath(hubaccess::CHubUtility& u) {
    std::wstring path = u.Ports().files->GetTempPath();
    if (path.size() > kMaxTempPath) path.resize(kMaxTempPath);
    return path;
}

bool EqualsIgnoringCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (x >= L'a' && x <= L'z') x = static_cast<wchar_t>(x - L'a' + L'A');
        if (y >= L'a' && y <= L'z') y = static_cast<wchar_t>(y - L'a' + L'A');
        if (x != y) return false;
    }
    return true;
}

class Initialisation {
public:
    Initialisation(CMy262FWUpgradeToolDlg& dlg, hubaccess::CHubUtility& u, CPayload& payload, Ini& ini,
                   RunInitServices& services)
        : dlg_(dlg), u_(u), payload_(payload), ini_(ini), services_(services) {}

    int Run();

private:
    bool LoadIni();
    void ApplyIni();
    void SingleInstance();
    bool Unattended() const {
        return dlg_.m_bSilentMode || dlg_.m_bAutoMode || dlg_.m_bShowHelp || dlg_.m_bConsoleMode;
    }
    // The end of the process with `code` after a failure: "Failed!!", the
    // driver uninstalled again on -20 when this process installed it
    // (unless /UN), every extracted file removed, then SetExitcode.
    void End(int code, bool forced);
    // InstallFilterDriver; false (after the end with -20) when it failed.
    bool InstallDriver();

    CMy262FWUpgradeToolDlg& dlg_;
    hubaccess::CHubUtility& u_;
    CPayload& payload_;
    Ini& ini_;
    RunInitServices& services_;
    bool driverInstalled_ = false;
};

void Initialisation::End(int code, bool forced) {
    dlg_.vShowUpddateResult(kFailedText, kFailedColour, kFailedFontHeight);
    const std::wstring temp = TempPath(u_);
    if (code == kExitDriver && driverInstalled_ && !dlg_.m_bKeepFilterDriver) {
        const int rc = payload_.Remove_FilterDriverAndFiles(temp);
        if (rc != 0) vDEBUG_ERR_printf(L"%s:%d:  Remove_FilterDriverAndFiles Failed... [%d] ", kMethod, __LINE__, rc);
    }
    vRemoveProcessFiles(u_, payload_, ini_);
    if (forced) dlg_.m_bSilentMode = 1;
    dlg_.SetExitcode(code);
}

bool Initialisation::LoadIni() {
    const std::wstring& dir = u_.m_szModuleDirectory;
    const std::wstring path = Ini::strIniFilePath(dir);
    // The file is written fresh or the start-up ends: an old file that cannot
    // be replaced is never taken for the embedded one.
    if (ini_.nExtractINILib(u_.Ports(), dir) != 0) {
        vDEBUG_ERR_printf(L"%s:%d: vLoadINIFile Failed(%s]", kMethod, __LINE__, path);
        // Nothing has been shown yet: an interactive user learns why the tool
        // ends; an unattended run only logs it.
        if (!NamesUnattendedMode(dlg_.g_strInitCmd))
            dlg_.nMessageOut(textfmt::Format(L"Can not write %s !!", path), kMsgError, 0);
        return false;
    }
    // The values come from the embedded text itself, never from what the
    // file holds by now. No message box: the switches are not read yet.
    if (ini_.vLoadEmbeddedINI(u_.Ports(), FALSE)) return true;
    vDEBUG_ERR_printf(L"%s:%d: vLoadINIFile Failed(%s]", kMethod, __LINE__, path);
    return false;
}

void Initialisation::ApplyIni() {
    if (ini_.m_ucCheckU2Only != 0)
        u_.m_ucCheckSpeedOnly = 1;
    else if (ini_.m_ucCheckU3Only != 0)
        u_.m_ucCheckSpeedOnly = 2;
    ini_.nDeleteINIFile(u_.Ports(), u_.m_szModuleDirectory);

    dlg_.m_ucFWType = 0;
    dlg_.m_wTrailerVID = 0;
    dlg_.m_strCurFileFWVer.clear();
    u_.m_strVID_Indetify = ini_.m_ucCheckVID == 1 ? ini_.m_strVID : std::wstring(kDefaultVid);
    u_.m_strFW_Indetify.clear();
    u_.m_strPID30_Indetify.clear();
    u_.m_strPID20_Indetify.clear();
    u_.m_strFWCustomerCode_Indetify.clear();
    u_.m_ucCustomerCodeStart = 0;
    u_.m_ucCustomerCodeLength = 0;
    if (ini_.m_ucCheckFWVersion == 1) u_.m_strFW_Indetify = ini_.m_strFWVersion;
    if (ini_.m_ucCheckPartOfFWVersion == 1) {
        u_.m_strFWCustomerCode_Indetify = ini_.m_strPartOfFWVersion;
        u_.m_ucCustomerCodeStart = ini_.m_ucStartAddressOfPartOfFWVersion;
        u_.m_ucCustomerCodeLength = ini_.m_ucPartOfFWVersionLength;
    }
    if (ini_.m_ucCheckManufactureString == 1) {
        u_.m_bCheckManuString = 1;
        u_.m_strManuString_Indetify = ini_.m_strManufactureString;
    }
}

void Initialisation::SingleInstance() {
    const int count = u_.DetectProcess();
    if (count <= 1) return;
    // The hub utility never names this process: only another copy is ended,
    // and with an exit code its caller cannot take for success.
    const DWORD pid = u_.GetProcessID();
    if (pid != 0) u_.KillProcess(pid, static_cast<DWORD>(kKilledInstanceExitCode));
    vDEBUG_MSG_printf(L"%s:%d: iProcessCount: %d , dwProcessID : %d dwErrorCode %d", kMethod, __LINE__, count, pid,
                      GetLastSystemError());
}

bool Initialisation::InstallDriver() {
    driverInstalled_ = true;
    if (payload_.InstallFilterDriver(TempPath(u_)) == 0) return true;
    dlg_.nMessageOut(L"Please install Vantrel Filter Driver !!", kMsgError, 0);
    End(kExitDriver, true);
    return false;
}

int Initialisation::Run() {
    dlg_.m_ucMsgThreshold = 0;
    if (!LoadIni()) {
        // The end with -5: nothing else of the run is done.
        End(kExitExtraFiles, true);
        return kExitExtraFiles;
    }
    ApplyIni();
    g_nMessageLevel = 0;

    dlg_.g_strInitCmd = CleanCommandText(dlg_.g_strInitCmd);
    dlg_.vShowHubInfo(0);
    const SwitchOutcome switches = ParseSwitches(dlg_, u_, services_);
    if (switches.exit) {
        vRemoveProcessFiles(u_, payload_, ini_);
        vEndProcess(dlg_, *switches.exit);
        return TRUE;
    }

    services_.vSetupDialogControls();
    SingleInstance();
    u_.Ports().osInfo->SetCurrentDirectory(u_.m_szModuleDirectory);
    if (dlg_.m_bConsoleMode) {
        if (dlg_.m_pRunView) dlg_.m_pRunView->ConsolePrint(ConsoleBanner());
    } else if (u_.Ports().console != nullptr) {
        u_.Ports().console->FreeConsole();
    }
    dlg_.vResetRunState();

    // devcon goes into the locked package folder under the temporary folder.
    if (payload_.nADD_Delete_DevconFile(TempPath(u_), TRUE) != 0) {
        vDEBUG_ERR_printf(L"%s:%d: nADD_Delete_DevconFile Failed(%s]", kMethod, __LINE__, TempPath(u_));
        dlg_.nMessageOut(L"extra necessary files failed!!", kMsgError, 0);
        End(kExitExtraFiles, true);
        return TRUE;
    }
    u_.vLoadRegTableFromFile(L"");

    if (!u_.bIsInstallVntlFilterDriverFromRegistry() && !InstallDriver()) return TRUE;

    const std::wstring first = FilterDriverFilePath(u_.Ports().osInfo->GetSystemDirectory());
    std::wstring version;
    if (u_.bCheckFilePathExists(first, 0)) {
        version = u_.vGetFileVersionInfo(first);
    } else if (u_.IsWow64() && u_.bCheckFilePathExists(FilterDriverFilePath(kSysWow64Directory), 0)) {
        version = u_.vGetFileVersionInfo(FilterDriverFilePath(kSysWow64Directory));
    } else {
        dlg_.vShowHubInfo(0);
        dlg_.nMessageOut(L"Can not find Vantrel Filter Driver !!", kMsgError, kMbIconWarning);
        if (Unattended()) {
            End(kExitDriver, false);
            return TRUE;
        }
        // Interactive: the driver is installed again below and the run goes
        // on; the extracted firmware image it needs stays.
        dlg_.vShowUpddateResult(kFailedText, kFailedColour, kFailedFontHeight);
        dlg_.m_iRet = kExitDriver;
    }
    if ((version.empty() || !EqualsIgnoringCase(version, kRequiredDriverVersion)) && !InstallDriver()) return TRUE;

    vDEBUG_MSG_printf(L"%s:%d: OnBnClickedStartButton:: fw path=[%ls],", kMethod, __LINE__, u_.m_strFWBinFilePath);
    services_.SendStart();
    return TRUE;
}

}  // namespace

std::wstring FilterDriverFilePath(const std::wstring& systemDirectory) {
    return systemDirectory + textfmt::Format(L"\\%s%s", L"drivers", L"\\revodereriri.sys");
}

std::wstring ConsoleBanner() {
    return textfmt::Format(L"=====VNTL Hub FWUpg Tool(%S)======\r\n", kToolVersionText);
}

int OnInitDialogRun(CMy262FWUpgradeToolDlg& dlg, hubaccess::CHubUtility& utility, CPayload& payload, Ini& ini,
                    RunInitServices& services) {
    Initialisation init(dlg, utility, payload, ini, services);
    return init.Run();
}

void vRemoveProcessFiles(hubaccess::CHubUtility& utility, CPayload& payload, Ini& ini, bool bRunThreadsLeft) {
    // A thread of the run still running may read devcon's path, run devcon
    // or read the run's image: what was extracted stays with the process.
    if (bRunThreadsLeft) {
        vDEBUG_ERR_printf(L"%s:%d:  a thread of the run is still running: the extracted files are kept",
                          L"CMy262FWUpgradeToolDlg::vRemoveProcessFiles", __LINE__);
    } else {
        payload.vRemoveExtractedFiles(TempPath(utility));
    }
    ini.nDeleteINIFile(utility.Ports(), utility.m_szModuleDirectory);
}

}  // namespace app
