// The command-line switches: cleaning of the command text, the switch
// parser with its refusals, the choice of the firmware file of an update,
// the usage text and the console of /DOS.
//
// Switches are found by substring search in the cleaned (upper-cased,
// quote-free) command text. So that the letters of a value never turn on
// another switch, the values that may hold free text are cut out before any
// other switch is searched:
//   1. every "/UN" followed by white space, "/" or the end (sets /UN);
//   2. the /U value: "/U" through the first ".BIN", or, without one, up to
//      the next white space followed by "/" (or the end);
//   3. the /MSTR value, then the /C value: each up to the next "/" that
//      begins a switch of the table followed by white space, "/" or the end
//      (so "ACME/INC" stays whole).
// The rest is read in the fixed order of the table (/?, /DBG, /DOS, /MP,
// /SILENT, /A, /O, /VID, /P3, /P2, /MSTR, /N, /UN, /I, /E, /C, /U). A cut
// switch still counts as present wherever the parser asks whether anything
// is left. A command line that names no mode switch (/U, /C, /E, /O, /I) is
// an update with the embedded firmware image.
//
// Nothing here ends the process: a step that would end it returns an
// ExitRequest with the exit code and the messages to show first, which
// vEndProcess carries out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/MainDialog.h"
#include "app/RunResults.h"
#include "app/RunView.h"
#include "hubaccess/HubUtility.h"
#include "platform/Console.h"

namespace app {

// Message types of nMessageOut.
constexpr BYTE kMsgError = 1;
constexpr BYTE kMsgQuestion = 5;

// One message for the user, shown through nMessageOut.
struct UserMessage {
    std::wstring text;
    BYTE type = 0;
    std::uint32_t flags = 0;

    bool operator==(const UserMessage& o) const {
        return text == o.text && type == o.type && flags == o.flags;
    }
};

// The end of the process a step asks for: the messages to show through
// nMessageOut, in order, then the end with `code`.
struct ExitRequest {
    int code = 0;
    std::vector<UserMessage> messages;
};

// What the switches do beyond the dialog state (control texts go through
// its run view) and the hub utility.
class SwitchServices {
public:
    virtual ~SwitchServices() = default;
    // Writes the embedded firmware image next to the executable and sets
    // the dialog's m_strFWBinFile to its name.
    virtual BOOL vExtractBinFiles() = 0;
    // Hides the dialog (/SILENT).
    virtual void HideDialog() = 0;
    // Opens the console window of /DOS (vOpenConsoleWindow).
    virtual void vOpenConsoleWindow() = 0;
};

struct SwitchOutcome {
    // The working text where the parser stopped: what no switch took.
    std::wstring remaining;
    // Set when the process must end.
    std::optional<ExitRequest> exit;
};

// The command text as the switches read it: upper case (ASCII letters) and
// without double-quote characters.
std::wstring CleanCommandText(const std::wstring& text);

// Reads the switches of dlg.g_strInitCmd (cleaning it first, in place) into
// the dialog's flags and values, the filters of `utility` and the log level
// g_nMessageLevel, and chooses the firmware file of an update.
SwitchOutcome ParseSwitches(CMy262FWUpgradeToolDlg& dlg, hubaccess::CHubUtility& utility,
                            SwitchServices& services);

// The usage text for this command text.
std::wstring BuildUsageText(const std::wstring& commandText);

// The end with the usage text: shown as a Question, except in console mode.
ExitRequest vShowUsage(const CMy262FWUpgradeToolDlg& dlg, int code);

// AllocConsole, then stdout bound to the console, unbuffered.
void vOpenConsoleWindow(platform::Console& console);

// Ends the process as asked: the messages through the dialog's nMessageOut
// (which shows none under /DOS or /SILENT), the code as the run's exit code,
// the extracted firmware file removed, then the view's exit request.
void vEndProcess(CMy262FWUpgradeToolDlg& dlg, const ExitRequest& request);

}  // namespace app
