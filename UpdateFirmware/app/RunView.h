// RunView: the run's window onto the main dialog.
//
// The coordinator, the hub workers, the side modes and the UI thread drive
// the dialog's controls only through this port. Every method may be called
// from any thread: the Win32 dialog hands control changes to its UI thread
// (owned copies of the texts), so a caller never waits for the UI thread,
// except for the message box, which is modal on the calling thread.
//
// Controls are named by their dialog ids. The hub rows have fixed ids per
// row (RowControlId); only rows 0..4 exist.
#pragma once

#include <cstdint>
#include <string>

namespace app {

using COLORREF = std::uint32_t;

constexpr COLORREF MakeRgb(unsigned r, unsigned g, unsigned b) {
    return static_cast<COLORREF>((r & 0xFF) | ((g & 0xFF) << 8) | ((b & 0xFF) << 16));
}
constexpr unsigned RedOf(COLORREF c) { return c & 0xFF; }
constexpr unsigned GreenOf(COLORREF c) { return (c >> 8) & 0xFF; }
constexpr unsigned BlueOf(COLORREF c) { return (c >> 16) & 0xFF; }

// The run's colours.
constexpr COLORREF kColourRed = MakeRgb(250, 50, 50);
constexpr COLORREF kColourGreen = MakeRgb(50, 250, 50);
constexpr COLORREF kColourOrange = MakeRgb(250, 165, 0);
constexpr COLORREF kColourBlue = MakeRgb(50, 50, 250);
constexpr COLORREF kColourWhite = MakeRgb(255, 255, 255);

// Dialog control ids (named apart from any resource header's macros).
constexpr int kIdDeviceNumber = 1000;   // hub-count text
constexpr int kIdButtonStart = 1001;    // Start
constexpr int kIdProgressMain = 1002;   // overall bar
constexpr int kIdStaticStatus = 1003;   // status and result text
constexpr int kIdCurrentVersion = 1004; // current-version text
constexpr int kIdUpdateVersion = 1005;  // version of the firmware file (or /C)
constexpr int kIdButtonOk = 1008;       // OK
constexpr int kIdVersionCaption = 1034; // caption of the version line
constexpr int kIdStaticWarning = 1035;  // "Attention! ..." text

// The five hub rows.
constexpr int kRunViewRows = 5;
enum class RowPart { Label, Speed, Version, Bar };

// Control id of a row's part; 0 for a row the dialog does not have (< 0, > 4).
constexpr int RowControlId(int row, RowPart part) {
    constexpr int kLabel[kRunViewRows] = {1015, 1016, 1022, 1026, 1030};
    constexpr int kSpeed[kRunViewRows] = {1017, 1020, 1024, 1028, 1032};
    constexpr int kVersion[kRunViewRows] = {1018, 1021, 1025, 1029, 1033};
    constexpr int kBar[kRunViewRows] = {1014, 1019, 1023, 1027, 1031};
    if (row < 0 || row >= kRunViewRows) return 0;
    switch (part) {
        case RowPart::Label: return kLabel[row];
        case RowPart::Speed: return kSpeed[row];
        case RowPart::Version: return kVersion[row];
        case RowPart::Bar: return kBar[row];
    }
    return 0;
}

// Message box results and flags (MessageBoxW's values; named apart from the
// system header's macros).
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr std::uint32_t kMbOk = 0x0;
constexpr std::uint32_t kMbOkCancel = 0x1;
constexpr std::uint32_t kMbIconError = 0x10;
constexpr std::uint32_t kMbIconQuestion = 0x20;
constexpr std::uint32_t kMbIconWarning = 0x30;
constexpr std::uint32_t kMbIconInformation = 0x40;

class RunView {
public:
    virtual ~RunView() = default;

    // A modal message box owned by the dialog, shown on the calling thread;
    // returns the button pressed (kIdOk, kIdCancel, ...). Whether a box is shown
    // at all (/SILENT, /DOS) is decided before this call.
    virtual int MessageBox(const std::wstring& text, const std::wstring& caption,
                           std::uint32_t flags) = 0;

    // Control 1003: the text in this colour, bold Arial of this height. Any
    // blinking of the control stops.
    virtual void SetStatusText(const std::wstring& text, COLORREF colour, int fontHeight) = 0;

    // The text of a static control: 1000, 1004, 1005, 1034 or a row's speed
    // or version text.
    virtual void SetControlText(int controlId, const std::wstring& text) = 0;
    // ShowWindow(SW_SHOW / SW_HIDE) of any control, rows included.
    virtual void ShowControl(int controlId, bool show) = 0;
    // EnableWindow of a button (1001, 1008).
    virtual void EnableControl(int controlId, bool enable) = 0;

    // Progress bars: the main bar (1002) or a row's bar.
    virtual void SetBarPos(int controlId, int pos) = 0;        // PBM_SETPOS
    virtual int GetBarPos(int controlId) = 0;                  // PBM_GETPOS
    virtual void SetBarRange(int controlId, int lo, int hi) = 0;  // PBM_SETRANGE32
    virtual void SetBarColour(int controlId, COLORREF colour) = 0;  // PBM_SETBARCOLOR

    // Called before a question box: keeps the dialog from hiding the box
    // (the dialog leaves the top-most band; no move, no size, no activation).
    virtual void PrepareForPrompt() = 0;

    // Console of /DOS: text written as is to standard output; focus gives the
    // console window the focus.
    virtual void ConsolePrint(const std::wstring& text) = 0;
    virtual void ConsoleFocus() = 0;

    // Asks the UI thread to end the process with this exit code. Returns at
    // once; the caller goes on (and should end its work soon).
    virtual void RequestExit(int exitCode) = 0;
};

}  // namespace app
