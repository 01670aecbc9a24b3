// Results, messages and exit codes: the pure rules behind the dialog's
// result methods (CMy262FWUpgradeToolDlg::nMessageOut, vShowUpddateResult,
// vShowHubInfo, vSetAllProgressColor, OnTimer, SetExitcode; declared in
// MainDialog.h), and the tool's exit codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "app/RunView.h"
#include "hubaccess/WinTypes.h"

namespace app {

// --- exit codes of the tool (all negative codes are failures)
constexpr int kExitPass = 0;              // run passed; /O written; /I equal; /E; /C passed; /?
constexpr int kExitLatest = 1;            // every hub already has the file's version
constexpr int kExitVersionFile = -1;      // /O: the version text file could not be written
constexpr int kExitContentMismatch = -2;  // /C version differs; ROM content differs from the image
constexpr int kExitLengthMismatch = -3;   // /I count or serial numbers; ROM length differs
constexpr int kExitNoHub = -4;            // no hub found in 3 scan tries
constexpr int kExitExtraFiles = -5;       // devcon could not be written
constexpr int kExitReadBack = -6;         // ROM read-back failed; /E export failed
constexpr int kExitReset = -7;            // reset failed, hub not back, version still wrong
constexpr int kExitImageUnreadable = -8;  // the image file could not be read for verification
constexpr int kExitTimeOut = -9;          // the run's wait or a worker's reset gate ran out
constexpr int kExitInvalidInput = -10;    // command-line error; firmware file not valid
constexpr int kExitWriteFailed = -11;     // a hub's table or firmware could not be written
constexpr int kExitDowngradeRefused = -12;  // the user refused an older firmware
constexpr int kExitTooManyHubs = -13;     // more hubs than the tool can update at once
constexpr int kExitDriver = -20;          // the filter driver could not be installed
constexpr int kExitQuitCode = 18;         // posted when the dialog is closed

// What an exit code means (one line); empty for a code the tool never gives.
std::wstring ExitCodeMeaning(int code);

// --- status line: colour by index (0 red, 1 green, 2 orange, 3 blue,
// 4 orange, 5 and above white)
COLORREF ResultColour(hubaccess::BYTE index);

// --- message routing
struct MessageStyle {
    std::wstring caption;     // "Error", "TimeOut", "Warning", "Information", "Question", or empty
    std::uint32_t iconFlag;   // added to the caller's flags
};
MessageStyle MessageStyleOf(hubaccess::BYTE type);
// Whether nMessageOut shows a box of this type: never under /DOS, never
// below the threshold (0xFF under /SILENT).
bool MessageShown(hubaccess::BYTE type, hubaccess::BYTE threshold, bool consoleMode);

// --- the run's result line (the end of a run)
struct ResultLine {
    std::wstring text;
    hubaccess::BYTE colour = 0;  // index for vShowUpddateResult
    hubaccess::BYTE height = 0;
};
// The final text: "Failed!!" when no hub was found, "TimeOut!!" after a
// time-out, "The lastest Version!!" after a refused downgrade, "Failed!!"
// when a hub failed, else "Pass!!". Every text but "Pass!!" carries the
// suffix "(%d)" with the run's exit code `exitCode`. `hubCount` is the
// number of hubs the run started with.
ResultLine FinalResultLine(int hubCount, bool timedOut, int exitCode, bool allPass);

// --- the overall bar, driven by timer 1 (80 ms) on the UI thread
constexpr std::uintptr_t kMainBarTimerId = 1;
constexpr std::uint32_t kMainBarTimerMs = 80;

// What one tick does.
struct MainBarStep {
    int pos = 0;                          // the bar's new position
    std::optional<COLORREF> colour;       // set the bar's colour first
    bool stopTimer = false;               // kill timer 1
    bool finished = false;                // the run has ended (log the record)
    std::uint32_t sleepMs = 0;            // the UI thread pauses this long first
    std::wstring console;                 // /DOS search ticker output
};

// The tick as a function of the run status and the overall result. It keeps
// the /DOS ticker's text between ticks ("Search Hub" plus one dot a tick,
// wiped after 30 characters).
class CMainBarAnimator {
public:
    MainBarStep Tick(hubaccess::BYTE mainStatus, hubaccess::BYTE allPass, int currentPos,
                     bool consoleMode);

private:
    std::wstring m_strSearchTicker = L"Search Hub";
};

}  // namespace app
