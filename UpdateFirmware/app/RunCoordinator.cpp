// Start and MainThreadFun: the spine of a run.
//
// Start turns the firmware file into the run's target description and starts
// the coordinator once. The coordinator scans, dispatches on the mode, runs
// the version pre-checks, prepares and checks the temporary image, starts one
// worker per hub, opens the reset gate tier by tier from the deepest hub up,
// ends the run on its time-out by cancelling the workers and joining them,
// collects the results, cleans up and asks the dialog to end with the exit
// code. Every ending after the scan goes through the clean-up, also when
// something throws.
#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "app/AppHelpers.h"
#include "app/FirmwareFiles.h"
#include "app/MainDialog.h"
#include "app/Payload.h"
#include "app/RunCleanup.h"
#include "app/RunRules.h"
#include "app/RunView.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/TextFormat.h"
#include "hubaccess/VntlHubDev.h"

namespace app {
namespace {

using namespace hubaccess;

const wchar_t kMethod[] = L"CMy262FWUpgradeToolDlg::MainThreadFun";
const wchar_t kScanMethod[] = L"CMy262FWUpgradeToolDlg::vScanUSBPort";

constexpr int kScanTries = 3;
constexpr std::uint32_t kScanRetryMs = 100;
constexpr std::uint32_t kXpPauseMs = 250;
constexpr std::uint32_t kWaitPassMs = 500;
constexpr int kWaitPasses = 520;
// The grace after the time-out covers the longest step a worker may not cut:
// a firmware download of the largest image waited for behind the firmware
// lock's holder, with one request of it running to its limit, abandoned.
constexpr std::uint32_t kJoinGraceMs = 30000;
// After the grace, the last resort: the workers' requests in flight are
// cancelled, and they get this long more.
constexpr std::uint32_t kLastResortMs = platform::kCancelCompletionWaitMs + 1000;
constexpr std::uint32_t kBeforeOkMs = 500;

// Colour indexes of the result text.
constexpr BYTE kTextRed = 0, kTextBlue = 3;

const wchar_t kNoHubText[] = L"Can't Find VTL262x Hub Controller in current platform";

class RunCoordinator {
public:
    RunCoordinator(CMy262FWUpgradeToolDlg& dlg, CHILD_THREAD_INFO& info)
        : dlg_(dlg), info_(info), u_(*pUtility), clock_(*u_.Ports().clock) {}

    void Run();

private:
    // The run up to its results; CleanUp follows every ending after it.
    void Body();
    bool PreChecks();       // false: the run ends (1 or -12)
    bool PrepareImage();    // false: -10
    void StartWorkers();
    void WaitForWorkers();  // sets bTimeOut_ on time-out
    void StopWorkers(bool cancel);
    void Results();
    void CleanUp();

    RunView* View() const { return dlg_.m_pRunView; }
    void Status(BYTE s) { info_.ucMainStatus = s; }
    void SetText(int id, const std::wstring& text) {
        if (View() != nullptr) View()->SetControlText(id, text);
    }
    void SetRowBar(int row, COLORREF colour, int pos) {
        dlg_.vSetHubBarColor(row, colour);
        dlg_.vSetHubBarPos(row, pos);
    }
    void Console(const std::wstring& text) { dlg_.vConsolePrint(text); }
    const std::wstring& VersionShown() const {
        return dlg_.m_bCheckFWVersion ? dlg_.m_strChkFWVer : dlg_.m_strCurFileFWVer;
    }

    CMy262FWUpgradeToolDlg& dlg_;
    CHILD_THREAD_INFO& info_;
    CHubUtility& u_;
    platform::Clock& clock_;

    BYTE bAllPass_ = 1;
    int nRunResult_ = 0;
    bool bTimeOut_ = false;
    BYTE n_ = 0;
    bool workersStarted_ = false;
    // A worker outlived the stop: it may still open filter device objects.
    bool workersLeftRunning_ = false;
    bool cleanupDue_ = false;
};

void RunCoordinator::Run() {
    try {
        Body();
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: Catch Error, Error=%d ", kMethod, __LINE__, GetLastSystemError());
        // No hub is left with a worker running, and the clean-up still runs.
        try {
            if (workersStarted_) StopWorkers(true);
        } catch (const std::exception&) {
        }
        bAllPass_ = 0;
        const int stored = dlg_.m_iRet.load();
        if (nRunResult_ >= 0) nRunResult_ = stored < 0 ? stored : kExitInvalidInput;
        cleanupDue_ = true;
    }
    if (cleanupDue_) {
        try {
            CleanUp();
        } catch (const std::exception&) {
            vDEBUG_ERR_printf(L"%s:%d: Catch Error in clean-up, Error=%d ", kMethod, __LINE__, GetLastSystemError());
            info_.bAllPass = 0;
            Status(MAIN_THREAD_FINISH);
            try {
                if (View() != nullptr) View()->EnableControl(kIdButtonOk, true);
                dlg_.SetExitcode(nRunResult_ < 0 ? nRunResult_ : kExitInvalidInput);
            } catch (const std::exception&) {
            }
        }
    }
    // The run has ended: a close waiting for it may end the dialog now.
    dlg_.m_bRunGoing = false;
}

void RunCoordinator::Body() {
    vDEBUG_MSG_printf(L"%s:%d:   MainThreadFun !!! ", kMethod, __LINE__);
    dlg_.m_pMainThreadInfo = &info_;
    if (View() != nullptr) View()->SetBarPos(kIdProgressMain, 0);
    dlg_.vShowUpddateResult(L"Search Target Hub...", kTextBlue, 34);
    SetText(kIdUpdateVersion, VersionShown());

    Status(MAIN_THREAD_SCANNING);
    dlg_.vScanUSBPort();
    Status(MAIN_THREAD_SCAN_DONE);
    CVntlHubDev* dev = u_.m_USBLib.m_pHubDev.get();
    if (dev != nullptr) dev->vInitHubStatusFlags();
    cleanupDue_ = true;

    const int count = dlg_.m_devList.nCount;
    n_ = static_cast<BYTE>(std::clamp(count, 0, kMaxChildThreads));
    if (count <= 0) {
        dlg_.vShowHubInfo(0);
        if (View() != nullptr) View()->EnableControl(kIdButtonStart, false);
        dlg_.vShowUpddateResult(kNoHubText, kTextRed, 20);
        bAllPass_ = 0;
        Status(MAIN_THREAD_FINISH);
        clock_.Sleep(kScanRetryMs);
        dlg_.vSetAllProgressColor(kColourRed);
        if (View() != nullptr) View()->EnableControl(kIdButtonOk, true);
        nRunResult_ = kExitNoHub;
        Console(textfmt::Format(L"%S", kNoHubText));
        return;
    }

    SetText(kIdUpdateVersion, VersionShown());
    dlg_.vShowUpddateResult(L"Processing!!", kTextBlue, 40);
    info_.ucTargetNumber = n_;
    dlg_.vShowHubInfo(n_);
    Console(textfmt::Format(L"\nFind %d VNTL Hub \r\n", n_));

    // More hubs than the tool can update at once: none is touched.
    if (dev != nullptr && dev->m_ucHubsLeftOut > 0) {
        vDEBUG_ERR_printf(L"%s:%d: %d more hubs than the hub table holds, nothing is written", kMethod, __LINE__,
                          dev->m_ucHubsLeftOut);
        bAllPass_ = 0;
        nRunResult_ = kExitTooManyHubs;
        dlg_.vSetAllProgressColor(kColourRed);
        return;
    }

    if (dlg_.m_bOutputVerFile) {
        nRunResult_ = dlg_.outputFWVersionTask();
        bAllPass_ = nRunResult_ == 0 ? 1 : 0;
        dlg_.vSetAllProgressColor(bAllPass_ ? kColourGreen : kColourRed);
        return;
    }
    if (dlg_.m_bUpdateFW && !bIsFWVersionText(dlg_.m_strCurFileFWVer)) {
        // No version (also a packed file that could not be read), or one
        // that is not 12 hexadecimal digits: nothing can be checked.
        dlg_.nMessageOut(L"Cannot Get FW File Version...", 1, kMbIconError);
        Status(MAIN_THREAD_FINISH);
        dlg_.vSetAllProgressColor(kColourRed);
        bAllPass_ = 0;
        nRunResult_ = kExitInvalidInput;
        return;
    }
    if (dlg_.m_bCompareSN) {
        nRunResult_ = dlg_.nCmpHubSNTask();
        bAllPass_ = nRunResult_ == 0 ? 1 : 0;
        dlg_.vSetAllProgressColor(bAllPass_ ? kColourGreen : kColourRed);
        return;
    }
    // Without a file version (no update asked) there is nothing to compare.
    if (!dlg_.m_bMPMode && !dlg_.m_bCheckFWVersion && !dlg_.m_bExportFW &&
        bIsFWVersionText(dlg_.m_strCurFileFWVer)) {
        if (!PreChecks()) return;
    }
    if (!PrepareImage()) return;

    StartWorkers();
    WaitForWorkers();
    Results();
}

bool RunCoordinator::PreChecks() {
    int current = 0;
    for (int i = 0; i < n_; ++i) {
        DEV_LIST_ITEM& row = dlg_.m_devList.rows[i];
        if (!SameVersionText(row.m_strFWVersion, dlg_.m_strCurFileFWVer)) continue;
        row.m_bUpdateFWResult = 1;
        row.m_bReloadFWResult = 1;
        SetRowBar(i, kColourGreen, 100);
        if (dlg_.m_bConsoleMode) {
            Console(textfmt::Format(
                L"===Hub[%d], FW Versoin[%S] The Firmware version has been the latest version\n", i, row.m_strFWVersion));
            nRunResult_ = kExitLatest;
            bAllPass_ = 1;
            Status(MAIN_THREAD_LATEST);
            return false;
        }
        ++current;
    }
    if (current == n_) {
        Status(MAIN_THREAD_PROMPT);
        dlg_.nMessageOut(L"The Firmware version has been the latest version.\r\n Click \"OK\" to exit this utility.\n", 3,
                         kMbIconWarning);
        bAllPass_ = 1;
        nRunResult_ = kExitLatest;
        Status(MAIN_THREAD_LATEST);
        return false;
    }

    const std::uint64_t fileVersion = ullFWVersionValue(dlg_.m_strCurFileFWVer);
    int newer = 0;
    for (int i = 0; i < n_; ++i) {
        const std::wstring cur = dlg_.m_devList.rows[i].m_strFWVersion;
        vDEBUG_MSG_printf(L"%s:%d: strCur=[%s], strNew=[%s]", kMethod, __LINE__, cur, dlg_.m_strCurFileFWVer);
        if (!bIsFWVersionText(cur)) continue;
        const std::uint64_t hubVersion = ullFWVersionValue(cur);
        if (hubVersion > fileVersion) {
            vDEBUG_MSG_printf(L"%s:%d: liCurrentver.QuadPart=[%lld], liUpdateVer.QuadPart=[%lld]", kMethod, __LINE__,
                              static_cast<long long>(hubVersion), static_cast<long long>(fileVersion));
            ++newer;
        }
    }
    if (newer > 0) {
        if (View() != nullptr) View()->PrepareForPrompt();
        const std::wstring message = std::wstring(L"This Updating firmware version is Older than Current one.\r\n") +
                                     L"if you are sure to updte it, please click \"OK\" to continue.\r\n" +
                                     L"if Not, please click \"Cancel\" to exit\r\n";
        Status(MAIN_THREAD_PROMPT);
        const int answer = dlg_.nMessageOut(message, 3, kMbOkCancel | kMbIconWarning);
        if (answer == kIdCancel) {
            vDEBUG_ERR_printf(L"%s:%d:   Update Older newer FW function be rejected!! ", kMethod, __LINE__);
            bAllPass_ = 0;
            nRunResult_ = kExitDowngradeRefused;
            dlg_.m_iRet = kExitDowngradeRefused;
            dlg_.vSetAllProgressColor(kColourRed);
            return false;
        }
        Status(MAIN_THREAD_PROCEED);
    }
    return true;
}

bool RunCoordinator::PrepareImage() {
    // 0: ready, 1: no file named (the workers write nothing), else -10 with
    // the text shown and the bars red.
    const int prepared = dlg_.nPrepareFirmwareFile();
    if (prepared < 0) {
        bAllPass_ = 0;
        nRunResult_ = prepared;
        return false;
    }
    if (prepared == 0) {
        // The build's placeholder image is never written to a chip.
        const std::wstring tempImage = dlg_.strTempBinDataFilePath();
        if (IsPlaceholderFirmwareImage(dlg_.m_TempBinImage)) {
            vDEBUG_ERR_printf(L"%s:%d: [%s] is the placeholder firmware image or unreadable, nothing is written", kMethod,
                              __LINE__, tempImage);
            dlg_.DiscardTempImage();
            dlg_.vShowUpddateResult(L"The FW is not valide, Please check again!!", kTextRed, 40);
            dlg_.vSetAllProgressColor(kColourRed);
            bAllPass_ = 0;
            nRunResult_ = kExitInvalidInput;
            return false;
        }
    }
    return true;
}

void RunCoordinator::StartWorkers() {
    u_.vInitializeCriticalSection();
    if (u_.ucGetOSVersion() == kOsXp) clock_.Sleep(kXpPauseMs);
    info_.ucTargetNumber = n_;
    dlg_.m_ucRunHubCount = n_;
    if (View() != nullptr) View()->ShowControl(kIdStaticWarning, true);
    platform::Threads& threads = *u_.Ports().threads;
    for (int i = 0; i < n_; ++i) {
        CHILD_THREAD_INFO& rec = dlg_.m_ChildThreadInfo[i];
        rec.hDlgWnd = info_.hDlgWnd;
        rec.ucTargetNumber = static_cast<BYTE>(i);
        rec.ucTotalTarget = info_.ucTargetNumber.load();
        rec.ucThreadState = CHILD_THREAD_RUNNING;
    }
    workersStarted_ = true;
    for (int i = 0; i < n_; ++i) {
        CHILD_THREAD_INFO* rec = &dlg_.m_ChildThreadInfo[i];
        dlg_.m_pChildThread[i] = threads.Start([rec] { CMy262FWUpgradeToolDlg::ChildThreadFun(rec); },
                                               platform::ThreadPriority::Highest, "hub worker " + std::to_string(i));
    }
}

void RunCoordinator::WaitForWorkers() {
    BYTE states[kMaxChildThreads] = {};
    BYTE depths[kMaxChildThreads] = {};
    for (int i = 0; i < n_; ++i) depths[i] = dlg_.m_devList.rows[i].m_ucHubDepth;
    int passes = 0;
    for (;;) {
        int finished = 0;
        for (int i = 0; i < n_; ++i) {
            states[i] = dlg_.m_ChildThreadInfo[i].ucThreadState.load();
            if (states[i] == CHILD_THREAD_FINISH) ++finished;
        }
        if (finished >= info_.ucTargetNumber.load()) {
            vDEBUG_MSG_printf(L"%s:%d:  All Thread done, ucCheckChildThreadFinishCount[%d]!!! ", kMethod, __LINE__,
                              finished);
            StopWorkers(false);
            return;
        }
        if (++passes >= kWaitPasses) break;
        const std::int8_t tier = u_.m_MaxHubDepth.load();
        const std::int8_t next = NextResetTier(tier, states, depths, n_);
        if (next != tier) {
            u_.m_MaxHubDepth = next;
            vDEBUG_MSG_printf(L"%s:%d:  Reset Thread,pUtility.m_MaxHubDepth decrese [%d] ", kMethod, __LINE__, next);
        }
        clock_.Sleep(kWaitPassMs);
    }
    StopWorkers(true);
    vDEBUG_MSG_printf(L"%s:%d:  TimeOut dwErrorCode %d", kMethod, __LINE__, 0);
    bTimeOut_ = true;
    dlg_.m_iRet = kExitTimeOut;
}

// Ends the workers: when asked, cancels the run (no worker starts a write
// after that; one in progress runs to its end) and joins each within one
// shared grace. A worker still inside a table's erase and download is waited
// for until that step's worst case (kTableStepWorstMs from its start) has
// passed. Only then are the requests of a worker still running cancelled, as
// a last resort; a worker that outlives that too is
// left to itself: the run then fails, the clean-up leaves the driver
// installed and nothing the worker may use is destroyed (the process ends
// itself instead). Every state ends 8. The locks go only when no worker is
// left.
void RunCoordinator::StopWorkers(bool cancel) {
    // Until every worker is seen ended, one may be left (also when this
    // throws half-way).
    workersLeftRunning_ = true;
    dlg_.m_bWorkerLeftRunning = true;
    if (cancel && dlg_.m_pRunCancel) dlg_.m_pRunCancel->Cancel();
    const auto running = [&](int i) { return dlg_.m_pChildThread[i] && !dlg_.m_pChildThread[i]->HasEnded(); };
    const auto joinAll = [&](std::uint32_t withinMs) {
        const std::uint64_t deadline = clock_.MonotonicMs() + withinMs;
        for (int i = 0; i < n_; ++i) {
            if (!running(i)) continue;
            const std::uint64_t now = clock_.MonotonicMs();
            dlg_.m_pChildThread[i]->Join(now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now));
        }
    };
    joinAll(kJoinGraceMs);
    // An erased table is never left without its download: no table step's
    // requests are cancelled before its worst case.
    for (int i = 0; i < n_; ++i) {
        if (!running(i)) continue;
        const std::uint64_t since = dlg_.m_ChildThreadInfo[i].ullTableStepSinceMs.load();
        const std::uint64_t now = clock_.MonotonicMs();
        if (since == 0 || now >= since + kTableStepWorstMs) continue;
        const std::uint64_t wait = since + kTableStepWorstMs - now;
        vDEBUG_WRN_printf(L"%s:%d:  worker[%d] inside a table's erase and download: waited for up to %d ms more",
                          kMethod, __LINE__, i, wait);
        dlg_.m_pChildThread[i]->Join(static_cast<std::uint32_t>(wait));
    }
    bool lastResort = false;
    for (int i = 0; i < n_; ++i) {
        if (!running(i)) continue;
        lastResort = true;
        vDEBUG_ERR_printf(L"%s:%d:  worker[%d] still running after the grace, its requests cancelled", kMethod,
                          __LINE__, i);
        if (CVntlHubDev* dev = u_.m_USBLib.m_pHubDev.get()) dev->CancelTargetRequests(static_cast<BYTE>(i));
    }
    if (lastResort) joinAll(kLastResortMs);
    bool allJoined = true;
    for (int i = 0; i < n_; ++i) {
        auto& thread = dlg_.m_pChildThread[i];
        if (!thread) continue;
        if (!thread->Join(0)) {
            allJoined = false;
            vDEBUG_ERR_printf(L"%s:%d:  worker[%d] still running, left to itself", kMethod, __LINE__, i);
            continue;
        }
        thread.reset();
    }
    workersLeftRunning_ = !allJoined;
    dlg_.m_bWorkerLeftRunning = !allJoined;
    for (int i = 0; i < n_; ++i) dlg_.m_ChildThreadInfo[i].ucThreadState = CHILD_THREAD_FINISH;
    if (cancel && allJoined) u_.vDeleteCriticalSection();
}

void RunCoordinator::Results() {
    for (int i = 0; i < n_; ++i) {
        const DEV_LIST_ITEM& row = dlg_.m_devList.rows[i];
        if (dlg_.m_bUpdateFW) {
            if (row.m_bUpdateFWResult && row.m_bReloadFWResult) {
                vDEBUG_MSG_printf(L"%s:%d: Update FW PASS, target[%d], m_bUpdateFWResult [%d],m_bReloadFWResult[%d] ",
                                  kMethod, __LINE__, i, BYTE(row.m_bUpdateFWResult), BYTE(row.m_bReloadFWResult));
            } else {
                vDEBUG_ERR_printf(L"%s:%d: Update FW failed[%d], m_bUpdateFWResult [%d],m_bReloadFWResult[%d] ",
                                  kMethod, __LINE__, i, BYTE(row.m_bUpdateFWResult), BYTE(row.m_bReloadFWResult));
                bAllPass_ = 0;
                nRunResult_ = dlg_.m_iRet.load();
                break;
            }
        }
        if (dlg_.m_bCheckFWVersion) {
            if (row.m_bChkFWResult) {
                vDEBUG_MSG_printf(L"%s:%d: Check FW [%d]m_bChkFWResult[%d] ", kMethod, __LINE__, i, BYTE(row.m_bChkFWResult));
            } else {
                vDEBUG_ERR_printf(L"%s:%d: [%d]Version Check Failed, ,m_bChkFWResult[%d] ", kMethod, __LINE__, i,
                                  BYTE(row.m_bChkFWResult));
                nRunResult_ = kExitContentMismatch;
                bAllPass_ = 0;
                break;
            }
        }
        if (dlg_.m_bExportFW && !dlg_.m_bCheckFWVersion && !row.m_bExportResult && !row.m_bUpdateFWResult) {
            vDEBUG_ERR_printf(L"%s:%d: [%d] export failed", kMethod, __LINE__, i);
            nRunResult_ = kExitReadBack;
            bAllPass_ = 0;
            break;
        }
    }
    if (bTimeOut_) {
        // A run that timed out never reads as success.
        bAllPass_ = 0;
        if (nRunResult_ >= 0) nRunResult_ = kExitTimeOut;
    }
    if (!bAllPass_ && nRunResult_ >= 0) nRunResult_ = dlg_.m_iRet.load() < 0 ? dlg_.m_iRet.load() : kExitWriteFailed;
    vDEBUG_MSG_printf(L"%s:%d:  Final result bAllPass [%d] ", kMethod, __LINE__, bAllPass_);
}

void RunCoordinator::CleanUp() {
    if (workersLeftRunning_) {
        // Whatever the hubs showed, a run that leaves a worker behind has
        // not ended well.
        bAllPass_ = 0;
        if (nRunResult_ >= 0) nRunResult_ = kExitTimeOut;
        vDEBUG_ERR_printf(L"%s:%d:  a worker is still running at the end of the run, result [%d]", kMethod,
                          __LINE__, nRunResult_);
    }
    RunCleanup* cleanup = dlg_.m_pRunCleanup;
    if (cleanup != nullptr) cleanup->DeleteIniFile();
    vDEBUG_MSG_printf(L"%s:%d: Device Number : %d", kMethod, __LINE__, n_);

    // Only the devcon this process wrote; one in the program folder stays.
    // A worker left running may be inside a restart, which reads devcon's
    // path and runs it: it is kept, as is the image a worker may still read.
    if (workersLeftRunning_) {
        vDEBUG_ERR_printf(L"%s:%d:  a worker is still running: devcon and the run's image are kept", kMethod,
                          __LINE__);
    } else if (cleanup != nullptr) {
        cleanup->DeleteDevcon();
    }

    if (!dlg_.m_bKeepFilterDriver) {
        if (workersLeftRunning_) {
            // No worker may open filter objects of a driver being removed.
            vDEBUG_ERR_printf(L"%s:%d:  a worker is still running: the filter driver is not removed", kMethod,
                              __LINE__);
        } else if (cleanup != nullptr) {
            const int rc = cleanup->Remove_FilterDriverAndFiles(cleanup->TempPath());
            if (rc != 0)
                vDEBUG_ERR_printf(L"%s:%d:  Remove_FilterDriverAndFiles Failed... [%d] ", kMethod, __LINE__, rc);
        }
        vDEBUG_MSG_printf(L"%s:%d:  Set Power Management registery to be active!!!m_DriverNum=%d", kMethod, __LINE__,
                          u_.PowerManagementChangeCount());
        u_.bRestorePowerManagement();
    }

    // The run is over: the image it wrote and verified is let go of and
    // deleted, then the Temp folder (deleted when this run made it).
    if (!workersLeftRunning_) {
        dlg_.ReleaseTempImage();
        u_.vReleaseTempFolder();
    }
    info_.bAllPass = bAllPass_;
    Status(MAIN_THREAD_FINISH);
    // The suffix shows the run's exit code; the hub count is the run's own.
    const ResultLine line = FinalResultLine(n_, bTimeOut_, nRunResult_, bAllPass_ != 0);
    dlg_.vShowUpddateResult(line.text, line.colour, line.height);

    clock_.Sleep(kBeforeOkMs);
    if (View() != nullptr) View()->EnableControl(kIdButtonOk, true);
    dlg_.SetExitcode(nRunResult_);
}

}  // namespace

BOOL CMy262FWUpgradeToolDlg::vScanUSBPort() {
    vDEBUG_MSG_printf(L"%s:%d:   vScanUSBPort !!! ", kScanMethod, __LINE__);
    try {
        CHubUtility& u = *pUtility;
        for (int attempt = 0; attempt < kScanTries; ++attempt) {
            u.m_USBLib.OpenDev(&m_devList, 0);
            if (m_devList.nCount == 0) {
                if (m_pRunView != nullptr) {
                    m_pRunView->SetControlText(kIdDeviceNumber, L"0");
                    m_pRunView->SetControlText(kIdCurrentVersion, L"");
                }
                vDEBUG_ERR_printf(L"%s:%d: Can not found Vantrel hubs:  , retry [%d]", kScanMethod, __LINE__, attempt);
                m_iRet = kExitNoHub;
                u.Ports().clock->Sleep(kScanRetryMs);
                continue;
            }
            vDEBUG_MSG_printf(L"%s:%d: Device Number : %d", kScanMethod, __LINE__, m_devList.nCount);
            vShowHubInfo(static_cast<BYTE>(std::min(m_devList.nCount, 255)));
            break;
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: vScanUSBPort:  dwErrorCode %d", kScanMethod, __LINE__, GetLastSystemError());
        return FALSE;
    }
    return TRUE;
}

unsigned CMy262FWUpgradeToolDlg::MainThreadFun(CHILD_THREAD_INFO* pMainThreadInfo) {
    if (pMainThreadInfo == nullptr || pFWUpdateDlg == nullptr || pUtility == nullptr) return 1;
    RunCoordinator coordinator(*pFWUpdateDlg, *pMainThreadInfo);
    coordinator.Run();
    return 1;
}

void CMy262FWUpgradeToolDlg::OnBnClickedButtonStart() {
    // One run per process.
    if (m_bRunStarted.exchange(true)) return;
    CHubUtility& u = *pUtility;
    m_MainThreadInfo.ucMainStatus = MAIN_THREAD_START;

    const std::wstring& path = u.m_strFWBinFilePath;
    if (path.find(L"VTL262XFW.BIN") != std::wstring::npos) {
        if (!bReadFirmwareTrailer(path)) {
            // Without a version the coordinator ends the run with -10 after
            // its clean-up.
            m_strCurFileFWVer.clear();
        }
        if (m_pRunView != nullptr) m_pRunView->SetControlText(kIdUpdateVersion, m_strCurFileFWVer);
    } else if (m_bUpdateFW) {
        if (path.find(L"Config_") != std::wstring::npos) m_ucFWType = 1;  // as named: case-sensitive
        m_strCurFileFWVer = VersionTextFromFileName(path);
        if (m_pRunView != nullptr) m_pRunView->SetControlText(kIdUpdateVersion, m_strCurFileFWVer);
    }

    if (m_pRunView != nullptr) m_pRunView->EnableControl(kIdButtonOk, false);
    m_bRunGoing = true;
    platform::Threads& threads = *u.Ports().threads;
    m_pRunCancel = threads.CreateCancelToken();
    u.m_pRunCancel = m_pRunCancel.get();
    CHILD_THREAD_INFO* info = &m_MainThreadInfo;
    try {
        m_pMainThread = threads.Start([info] { CMy262FWUpgradeToolDlg::MainThreadFun(info); },
                                      platform::ThreadPriority::Highest, "run coordinator");
    } catch (const std::exception&) {
        // No coordinator: nothing runs, and a close need not wait.
        vDEBUG_ERR_printf(L"%s:%d: the run coordinator could not be started, dwErrorCode %d", kMethod, __LINE__,
                          GetLastSystemError());
        m_bRunGoing = false;
        if (m_pRunView != nullptr) m_pRunView->EnableControl(kIdButtonOk, true);
    }
}

}  // namespace app
