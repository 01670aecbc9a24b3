// The command-line switches: cleaning of the command text, the switch
// parser with its refusals, the choice of the firmware file of an update,
// the usage text and the console of /DOS.
//
// The cleaned (upper-cased, quote-free) command text is read once, left to
// right. Outside a value a switch is "/" and a name of the table, longest
// name first; its value may follow at once ("/VID2109", "/UC:\X.BIN").
// Each value ends where its own form ends, and the text of a value is never
// searched for switches:
//   - /DBG, /N, /E, /C: up to the next "/", or the end;
//   - /VID, /P3, /P2: the blanks behind the name skipped, then up to the
//     next blank or "/" ("/P30611", "/VID 2109/A");
//   - /MSTR: up to the next switch, or the end;
//   - /U: from the first character that is not white space: empty when a
//     switch begins there (the embedded image), else through the first
//     ".BIN" that ends a word before a switch standing between blanks (a
//     blank, "/", a name, then a blank, "/" or the end), else up to the
//     next switch.
// Inside the text of /MSTR or /U (which may hold a "/": "ACME/INC"), a
// switch begins where "/" and a name of the table stand and either the "/"
// follows white space or the name is followed by white space, "/" or the
// end ("ACME /C120621000000", "ACME/U C:\X.BIN"). The effects are then
// applied in the table's order (/?, /DBG, /DOS, /MP, /SILENT, /A, /O, /VID,
// /P3, /P2, /MSTR, /N, /UN, /I, /E, /C, /U), so refusals come in that order.
// A line the reading does not wholly understand is refused after /C, before
// the firmware file is chosen, in this order: a word ending in ".BIN"
// outside /U's value, left over or inside another value ("/SILENT FW.BIN",
// "/DBG 3 FW.BIN"), with "Please Input FW File!!! "; a value its switch does
// not take (/DBG, /N, /E: hexadecimal digits or nothing; /VID, /P3, /P2:
// exactly four hexadecimal digits); a switch given again with another value
// ("/U A.BIN /U B.BIN"); any other text no switch took ("/HELP", "-?",
// "/F ACME"); the last three with the usage and -10. A command line that
// names no mode switch (/U, /C, /E, /O, /I) is an update with the embedded
// firmware image. /? shows the usage in a box, or prints it on the console
// when /DOS is anywhere on the line.
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
    // Printed on the console before the end (the usage under /DOS).
    std::wstring consoleText;
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
    // The command text that no switch and no value took.
    std::wstring remaining;
    // Set when the process must end.
    std::optional<ExitRequest> exit;
};

// The command text as the switches read it: upper case (ASCII letters) and
// without double-quote characters.
std::wstring CleanCommandText(const std::wstring& text);

// One switch as the reading of the command text finds it: its name as the
// table writes it ("/VID") and its value, trimmed, before any effect.
struct FoundSwitch {
    std::wstring name;
    std::wstring value;

    bool operator==(const FoundSwitch& o) const { return name == o.name && value == o.value; }
};

// One left-to-right reading of a cleaned command text.
struct CommandReading {
    // Every switch found, in the order written.
    std::vector<FoundSwitch> switches;
    // The text no switch and no value took.
    std::wstring rest;
};

CommandReading ReadCommandText(const std::wstring& cleanText);

// True when the command text names /SILENT or /DOS, read as the parser
// reads it: a start-up that ends before the switches are applied shows no
// box then.
bool NamesUnattendedMode(const std::wstring& commandText);

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

// Ends the process as asked: the console text printed, the messages through
// the dialog's nMessageOut (which shows none under /DOS or /SILENT), the code as the run's exit code,
// the extracted firmware file removed, then the view's exit request.
void vEndProcess(CMy262FWUpgradeToolDlg& dlg, const ExitRequest& request);

}  // namespace app
