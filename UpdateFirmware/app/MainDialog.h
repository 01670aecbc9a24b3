// CMy262FWUpgradeToolDlg: the main dialog's state, in portable form. The
// Win32 dialog (platform/win32/) shows it; the run (coordinator and hub
// workers), the switches and the initialisation read and write it through
// pFWUpdateDlg. Every control change goes through the run's view port, so
// this class has no window of its own.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "hubaccess/HubRecords.h"
#include "hubaccess/WinTypes.h"
#include "app/RunView.h"

namespace app {

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

    // ===================================================================
    // Results, messages and exit codes (RunResults.cpp)
    // ===================================================================

    // The view every control change goes through; set before the run starts
    // (the Win32 dialog, or a fake in tests). Null: nothing is shown.
    RunView* m_pRunView = nullptr;

    // The description of a hub's failure that the workers format; any worker
    // may overwrite it (the last writer wins). Behind a lock of its own.
    void SetRunMessage(const std::wstring& text);
    std::wstring GetRunMessage() const;

private:
    mutable std::mutex m_RunMessageLock;
    std::wstring m_strRunMessage;

public:
};

// The one dialog of the process (set before the dialog runs).
extern CMy262FWUpgradeToolDlg* pFWUpdateDlg;

}  // namespace app
