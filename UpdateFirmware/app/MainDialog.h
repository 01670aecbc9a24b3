// CMy262FWUpgradeToolDlg: the main dialog's state, in portable form. The
// Win32 dialog (platform/win32/) shows it; the run (coordinator and hub
// workers), the switches and the initialisation read and write it through
// pFWUpdateDlg. Every control change goes through the run's view port, so
// this class has no window of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "hubaccess/HubRecords.h"
#include "hubaccess/WinTypes.h"
#include "platform/Threads.h"

namespace app {

class RunView;
class RunCleanup;

using hubaccess::BOOL;
using hubaccess::BYTE;
using hubaccess::DWORD;
using hubaccess::WORD;

// Main status values (CHILD_THREAD_INFO::ucMainStatus).
constexpr BYTE MAIN_THREAD_START = 1;
constexpr BYTE MAIN_THREAD_SCANNING = 6;
constexpr BYTE MAIN_THREAD_SCAN_DONE = 7;
constexpr BYTE MAIN_THREAD_FINISH = 8;
constexpr BYTE MAIN_THREAD_LATEST = 9;
constexpr BYTE MAIN_THREAD_PROMPT = 10;
constexpr BYTE MAIN_THREAD_PROCEED = 11;

// Child state values (CHILD_THREAD_INFO::ucThreadState).
constexpr BYTE CHILD_THREAD_RUNNING = 1;
constexpr BYTE CHILD_THREAD_RST_READY = 4;
constexpr BYTE CHILD_THREAD_RST_DONE = 5;
constexpr BYTE CHILD_THREAD_FINISH = 8;

constexpr int kMaxChildThreads = 8;
// Hub rows the dialog shows (labels, speeds, versions and bars).
constexpr int kDialogHubRows = 5;

// The record of one worker thread. The state bytes are shared between the
// UI timer, the coordinator and the workers, so they are atomics.
struct CHILD_THREAD_INFO {
    std::uintptr_t hDlgWnd = 0;
    std::atomic<BYTE> ucTargetNumber{0};
    std::atomic<BYTE> ucTotalTarget{0};
    std::atomic<BYTE> ucMainStatus{0};
    std::atomic<BYTE> bAllPass{0};
    std::atomic<BYTE> ucThreadState{0};

    void Clear() {
        hDlgWnd = 0;
        ucTargetNumber = 0;
        ucTotalTarget = 0;
        ucMainStatus = 0;
        bAllPass = 0;
        ucThreadState = 0;
    }
};

class CMy262FWUpgradeToolDlg {
public:
    CMy262FWUpgradeToolDlg() = default;
    CMy262FWUpgradeToolDlg(const CMy262FWUpgradeToolDlg&) = delete;
    CMy262FWUpgradeToolDlg& operator=(const CMy262FWUpgradeToolDlg&) = delete;

    // --- firmware file of the run
    BYTE m_ucFWType = 0;
    WORD m_wTrailerVID = 0;
    WORD m_wTrailerPID30 = 0;
    WORD m_wTrailerPID20 = 0;
    std::wstring m_strCurFileFWVer;
    std::wstring m_strChkFWVer;

    // --- switch flags (set by the switch parser before any worker starts)
    BYTE m_bMPMode = 0;
    BYTE m_bShowHelp = 0;
    BYTE m_bSilentMode = 0;
    BYTE m_bAutoMode = 0;
    BYTE m_bOutputVerFile = 0;
    BYTE m_bCheckFWVersion = 0;
    BYTE m_bExportFW = 0;
    BYTE m_bCompareSN = 0;
    BYTE m_bUpdateFW = 0;
    BYTE m_bKeepFilterDriver = 0;
    BYTE m_bConsoleMode = 0;
    BYTE m_ucMsgThreshold = 0;

    // --- the run's exit code (SetExitcode, the scan)
    std::atomic<int> m_iRet{0};

    // --- the command text (upper-cased and stripped of '"' by the switches)
    std::wstring g_strInitCmd;

    // --- the extracted embedded firmware file
    std::wstring m_strFWBinFile;

    // --- the hub table
    hubaccess::DEV_LIST m_devList;

    // --- thread records: the main record (filled by Start) and one per hub
    CHILD_THREAD_INFO* m_pMainThreadInfo = nullptr;
    CHILD_THREAD_INFO m_MainThreadInfo;
    std::array<CHILD_THREAD_INFO, kMaxChildThreads> m_ChildThreadInfo;

    // --- control 1004's text
    std::wstring m_strCurVersionText;

    // ===== The run: Start, the coordinator and the hub workers
    // (RunCoordinator.cpp, HubWorker.cpp).
    void OnBnClickedButtonStart();
    static unsigned MainThreadFun(CHILD_THREAD_INFO* pMainThreadInfo);
    static unsigned ChildThreadFun(CHILD_THREAD_INFO* pChildThreadInfo);
    BOOL vScanUSBPort();

    // The threads of the run. Destroying one neither stops nor waits for it.
    std::unique_ptr<platform::Thread> m_pMainThread;
    std::array<std::unique_ptr<platform::Thread>, kMaxChildThreads> m_pChildThread;
    // Set by the coordinator when the run ends early (time-out, failure):
    // workers stop at their next step and store no result.
    std::unique_ptr<platform::CancelToken> m_pRunCancel;
    // One run per process: a second Start does nothing.
    std::atomic<bool> m_bRunStarted{false};
    // True once the coordinator has ended (results shown, exit requested).
    std::atomic<bool> m_bRunEnded{false};
    // The temporary image was written and checked by this run; workers
    // write firmware only then.
    std::atomic<bool> m_bImagePrepared{false};
    // The packed firmware file named at start could not be read.
    bool m_bPackedFileUnreadable = false;
    // Number of hubs (and workers) of the run, fixed before the workers start.
    std::atomic<BYTE> m_ucRunHubCount{0};
    // The clean-up of the run has run.
    std::atomic<bool> m_bCleanupDone{false};
    // The dialog as the run drives it, and the payload clean-up of a run.
    RunView* m_pRunView = nullptr;
    RunCleanup* m_pRunCleanup = nullptr;

    // ===== Interim: results, firmware files and side modes as the run
    // calls them (RunInterim.cpp).
    void SetRunMessage(const std::wstring& text);
    std::wstring GetRunMessage() const;
    int nMessageOut(const std::wstring& text, BYTE type, std::uint32_t flags);
    void vShowUpddateResult(const std::wstring& text, BYTE colourIndex, BYTE fontHeight);
    void vShowHubInfo(BYTE n);
    void vSetAllProgressColor(std::uint32_t colour);
    void SetExitcode(int iExitcode);
    BOOL bConfig_File2TempBinFile(const std::wstring& path);
    BOOL bReadFirmwareTrailer(const std::wstring& path);
    static std::wstring VersionTextFromFileName(const std::wstring& path);
    int outputFWVersionTask();
    int nCmpHubSNTask();
    std::wstring m_strRunMessage;
};

// The one dialog of the process (set before the dialog runs).
extern CMy262FWUpgradeToolDlg* pFWUpdateDlg;

}  // namespace app
