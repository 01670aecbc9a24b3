// The frame of the main dialog, in portable form: the command text handed
// to the dialog, the window title, the rule that keeps the window hidden in
// unattended modes, and the colours and timer of its controls.
#pragma once

#include <cstdint>
#include <string>

namespace app {

// The text after the program name, as the C runtime splits it off (a quoted
// name or the text up to the first blank, then any blanks), with every TAB
// and LF removed: "prog /A<TAB>/SILENT" gives "/A/SILENT"; blanks stay.
std::wstring BuildCommandText(const std::wstring& commandLine);

// Window title: the product text followed directly by the tool version.
constexpr const wchar_t* kToolVersionText = L"Vantrel 262x FW UpgToolVer2, 4, 1, 6";
std::wstring WindowTitle();

// WINDOWPOS flags under /SILENT or /DOS: the show bit cleared and the hide
// bit set, so the window never becomes visible; every other bit kept.
constexpr std::uint32_t kSwpShowWindow = 0x0040;
constexpr std::uint32_t kSwpHideWindow = 0x0080;
constexpr std::uint32_t HiddenWindowPosFlags(std::uint32_t flags) {
    return (flags & ~kSwpShowWindow) | kSwpHideWindow;
}

// The system-menu commands of the About item (0x10 with any low bits).
constexpr bool IsAboutCommand(std::uint32_t id) { return (id & 0xFFF0u) == 0x0010u; }

// Timer 1 of the dialog drives the main bar.
constexpr std::uint32_t kUiTimerId = 1;
constexpr std::uint32_t kUiTimerMs = 80;
// Colour of every progress bar while a run goes on: RGB(50, 250, 50).
constexpr std::uint32_t kProgressBarColor = 0x0032FA32;
// The quit code of a closed window.
constexpr int kCloseExitCode = 18;

}  // namespace app
