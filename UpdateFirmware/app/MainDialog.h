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
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hubaccess/HubRecords.h"
#include "hubaccess/WinTypes.h"
#include "app/RunResults.h"
#include "app/RunView.h"
#include "platform/Threads.h"

namespace platform {
class Processes;
}

namespace app {

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
    // The worker's monotonic time when it started a table's erase and
    // download, 0 while it is in none: the coordinator's last resort leaves
    // such a step alone until its worst case has passed.
    std::atomic<std::uint64_t> ullTableStepSinceMs{0};

    void Clear() {
        hDlgWnd = 0;
        ucTargetNumber = 0;
        ucTotalTarget = 0;
        ucMainStatus = 0;
        bAllPass = 0;
        ucThreadState = 0;
        ullTableStepSinceMs = 0;
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
    // Number of hubs (and workers) of the run, fixed before the workers start.
    std::atomic<BYTE> m_ucRunHubCount{0};
    // The payload clean-up of a run.
    RunCleanup* m_pRunCleanup = nullptr;

    // ===================================================================
    // Dialog frame (the Win32 dialog reads these)
    // ===================================================================

    // A run is going: from Start until the run's clean-up has ended. While it
    // is set, closing the window (and OK) waits; the dialog ends once it is
    // cleared.
    std::atomic<bool> m_bRunGoing{false};
    // Clears the per-run state before a run: the eight child records.
    void vResetRunState();

    // ===================================================================
    // Results, messages and exit codes (RunResults.cpp)
    // ===================================================================

    // The view every control change goes through; set before the run starts
    // (the Win32 dialog, or a fake in tests). Null: nothing is shown.
    RunView* m_pRunView = nullptr;

    // Message box of a type (1 "Error", 2 "TimeOut", 3 "Warning",
    // 4 "Information", 5 "Question"), its icon added to `flags`. Returns the
    // button pressed, or -1 when no box is shown (/DOS, or a type below
    // m_ucMsgThreshold: /SILENT shows none).
    int nMessageOut(const std::wstring& text, BYTE type, DWORD flags);
    // Control 1003: the text in the colour of index `colour` (0 red, 1 green,
    // 2 and 4 orange, 3 blue, 5+ white), bold Arial of `fontHeight`.
    void vShowUpddateResult(const std::wstring& text, BYTE colour, BYTE fontHeight);
    // Hides the five hub rows, then shows rows 0..n-1 with each hub's speed
    // and version text and the bar at 0; n of 0 or above 5 shows none.
    void vShowHubInfo(BYTE n);
    // Bars of the hubs that have a row: this colour, full.
    void vSetAllProgressColor(COLORREF colour);
    // Timer handler of the UI thread; timer 1 animates the overall bar by the
    // main record's status. Returns true when timer 1 is to be killed.
    bool OnTimer(std::uintptr_t id);
    // Stores the exit code, deletes the extracted firmware file and, under
    // /SILENT, /A, /? or /DOS, asks the view to end the process with the code
    // (under /DOS alone after "\n" and the console's focus). Returns either
    // way; after an exit request the caller only winds down.
    void SetExitcode(int iExitcode);
    // Set once SetExitcode has asked for the process to end.
    std::atomic<bool> m_bExitRequested{false};
    // Set by the coordinator when a worker had not ended at the run's end:
    // it may still use this state, the hub utility, its locks and the run's
    // cancel token, so none of them may be destroyed.
    std::atomic<bool> m_bWorkerLeftRunning{false};
    // The end of the process once the dialog has ended. While the run's
    // coordinator or a worker it left may still run, nothing they use is
    // destroyed: the log is flushed and the process terminates itself with
    // `exitCode` (TerminateProcess on its own id); true then (a termination
    // that returns, as in tests, leaves everything as it is). False when no
    // thread of the run is left: the caller tears down as usual.
    bool bTerminateIfRunThreadsLeft(platform::Processes& processes, int exitCode);
    // Deletes the extracted embedded firmware file (wired to the payload's
    // vRemoveBinFiles by the program); SetExitcode calls it.
    std::function<void()> m_pfnRemoveBinFiles;

    // Row helpers for the workers and the coordinator: hubs 5..7 have no
    // row, so these do nothing for them.
    void vSetHubBarPos(int row, int pos);
    void vSetHubBarColor(int row, COLORREF colour);
    void vSetHubVersionText(int row, const std::wstring& text);
    // Writes to the console under /DOS only.
    void vConsolePrint(const std::wstring& text);

    // The description of a hub's failure that the workers format; any worker
    // may overwrite it (the last writer wins). Behind a lock of its own.
    void SetRunMessage(const std::wstring& text);
    std::wstring GetRunMessage() const;

    // ===================================================================
    // Firmware files (FirmwareFiles.cpp)
    // ===================================================================

    // Splits a "Config_" file: its first 256 bytes into the hub utility's
    // m_ucFileConfigTable (0xFF where the file is shorter), the rest
    // unchanged into Temp\TempBinData.bin. FALSE when the file cannot be
    // read, is shorter than 256 bytes, or the image cannot be written whole.
    BOOL bConfig_File2TempBinFile(const std::wstring& strPath);
    // The run's firmware preparation: a "Config_" file is split, a packed
    // file unpacked into the program's Temp folder (the named file is only
    // read, never deleted) and framed, a plain image framed; then the
    // temporary image is checked (CheckTempBinImage). Returns 0 when the
    // image is ready (m_bImagePrepared set), 1 when no firmware file is
    // named (nothing prepared), -10 when preparation or the check failed: the
    // result text is shown, the bars are red and no temporary image is left.
    int nPrepareFirmwareFile();
    // Set only when this run prepared and checked the temporary image; the
    // workers write no firmware without it.
    std::atomic<bool> m_bImagePrepared{false};
    // The bytes of the temporary image as this run prepared and checked them,
    // read once: the workers download and verify these, never the file
    // again. Written before the workers start, only read while they run.
    std::vector<BYTE> m_TempBinImage;
    // <module directory>\Temp\TempBinData.bin
    std::wstring strTempBinDataFilePath() const;
    // The temporary image is held open for reading with read sharing only
    // from when it was written and read back to the end of the run: nobody
    // can replace or delete it in between, while the run itself can still
    // read it. TakeTempImage takes the file and the bytes the hub utility
    // wrote and read back (false when there are none).
    bool TakeTempImage();
    // The name still reaches the held file (checked before each download).
    bool bTempImageStillHeld() const;
    // Its last use is over: let go of and deleted.
    void ReleaseTempImage();
    // No image is prepared any more: let go, forgotten and deleted.
    void DiscardTempImage();
    std::uintptr_t m_hTempImageHeld = 0;  // a platform::Handle's value, 0: none
    // Start's reading of a packed file (opened read-only): the trailer's
    // filters, type, trailer words and version text (vApplyFwFileTrailer).
    // FALSE when the file cannot be read or is shorter than its trailer;
    // nothing is changed then.
    BOOL bReadFirmwareTrailer(const std::wstring& path);
    // The version text a file name carries (strFWVersionFromFileName).
    static std::wstring VersionTextFromFileName(const std::wstring& path);

    // ===================================================================
    // Side modes (SideModes.cpp): run on the coordinator after the scan
    // ===================================================================

    // /O: writes the version text file, shows the rows and, only when the
    // file was written whole, "Output Version File PASS" and green bars.
    // 0, or -1 when the file could not be written.
    int outputFWVersionTask();
    // Writes "VTL262xVersion.txt" in the module directory: one line
    // "%d:%012S\r\n" per hub of the table. 0, or -1 (nothing half-written
    // stays).
    int nOutputVerTextFile();
    // /I: exactly two hubs whose serial texts are equal ignoring case: 0;
    // else -3. Shows the result text and colours the bars.
    int nCmpHubSNTask();

private:
    mutable std::mutex m_RunMessageLock;
    std::wstring m_strRunMessage;
    CMainBarAnimator m_mainBarAnimator;

public:
};

// The one dialog of the process (set before the dialog runs).
extern CMy262FWUpgradeToolDlg* pFWUpdateDlg;

}  // namespace app
