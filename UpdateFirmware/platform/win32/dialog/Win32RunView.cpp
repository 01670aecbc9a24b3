#include "platform/win32/dialog/Win32RunView.h"

#include <commctrl.h>

#include <string>

namespace platform::win32::dialog {

void Win32RunView::SendToControl(int controlId, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (controlId == 0) return;
    dialog_.PostToUi([this, controlId, msg, wParam, lParam] {
        if (HWND control = ::GetDlgItem(dialog_.uiWindow(), controlId)) ::SendMessageW(control, msg, wParam, lParam);
    });
}

int Win32RunView::MessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t flags) {
    return ::MessageBoxW(dialog_.uiWindow(), text.c_str(), caption.c_str(), flags);
}

void Win32RunView::SetStatusText(const std::wstring& text, app::COLORREF colour, int fontHeight) {
    dialog_.PostToUi([this, text, colour, fontHeight] {
        ColorStaticWindow& status = dialog_.BindStatusStatic();
        status.StopTextBlink();
        LOGFONTW lf{};
        lf.lfHeight = fontHeight;
        lf.lfWidth = 0;
        lf.lfWeight = FW_BOLD;
        ::wcscpy(lf.lfFaceName, L"Arial");
        const HFONT font = ::CreateFontIndirectW(&lf);
        status.SetTextColor(colour);
        // The new font goes in before the old one is deleted.
        dialog_.SetResultFont(font);
        ::SetWindowTextW(status.hwnd(), text.c_str());
    });
}

void Win32RunView::SetControlText(int controlId, const std::wstring& text) {
    if (controlId == 0) return;
    dialog_.PostToUi([this, controlId, text] { ::SetDlgItemTextW(dialog_.uiWindow(), controlId, text.c_str()); });
}

void Win32RunView::ShowControl(int controlId, bool show) {
    if (controlId == 0) return;
    dialog_.PostToUi([this, controlId, show] {
        if (HWND control = ::GetDlgItem(dialog_.uiWindow(), controlId)) ::ShowWindow(control, show ? SW_SHOW : SW_HIDE);
    });
}

void Win32RunView::EnableControl(int controlId, bool enable) {
    if (controlId == 0) return;
    dialog_.PostToUi([this, controlId, enable] {
        if (HWND control = ::GetDlgItem(dialog_.uiWindow(), controlId)) ::EnableWindow(control, enable ? TRUE : FALSE);
    });
}

void Win32RunView::SetBarPos(int controlId, int pos) {
    SendToControl(controlId, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

int Win32RunView::GetBarPos(int controlId) {
    return controlId == 0 ? 0 : dialog_.BarPos(controlId);
}

void Win32RunView::SetBarRange(int controlId, int lo, int hi) {
    SendToControl(controlId, PBM_SETRANGE32, static_cast<WPARAM>(lo), static_cast<LPARAM>(hi));
}

void Win32RunView::SetBarColour(int controlId, app::COLORREF colour) {
    SendToControl(controlId, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(colour));
}

void Win32RunView::PrepareForPrompt() {
    dialog_.PostToUi([this] {
        ::SetWindowPos(dialog_.uiWindow(), HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    });
}

void Win32RunView::ConsolePrint(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(consoleLock_);
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE || text.empty()) return;
    DWORD written = 0;
    if (::GetFileType(out) == FILE_TYPE_CHAR &&
        ::WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        return;
    // Redirected: the text in the console's code page, as the C runtime writes it.
    const UINT codePage = ::GetConsoleOutputCP() ? ::GetConsoleOutputCP() : CP_ACP;
    const int n = ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
    if (n <= 0) return;
    std::string bytes(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr,
                          nullptr);
    ::WriteFile(out, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

void Win32RunView::ConsoleFocus() {
    if (HWND console = ::GetConsoleWindow()) ::SetForegroundWindow(console);
}

void Win32RunView::RequestExit(int exitCode) { dialog_.RequestExit(exitCode); }

}  // namespace platform::win32::dialog
