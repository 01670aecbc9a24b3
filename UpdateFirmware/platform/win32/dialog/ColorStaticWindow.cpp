#include "platform/win32/dialog/ColorStaticWindow.h"

namespace platform::win32::dialog {

ColorStaticWindow::ColorStaticWindow()
    : state_(::GetSysColor(COLOR_BTNTEXT), ::GetSysColor(COLOR_BTNFACE)),
      m_brBkBrush(::CreateSolidBrush(state_.bkColor())) {}

ColorStaticWindow::~ColorStaticWindow() {
    Detach();
    if (m_brBkBrush) ::DeleteObject(m_brBkBrush);
}

void ColorStaticWindow::OnAttached() {
    // A control attached again after a WM_DESTROY gets a new brush.
    if (!m_brBkBrush) m_brBkBrush = ::CreateSolidBrush(state_.bkColor());
}

void ColorStaticWindow::SetTextColor(COLORREF color) {
    state_.SetTextColor(color);
    if (hwnd()) ::InvalidateRect(hwnd(), nullptr, TRUE);
}

BOOL ColorStaticWindow::StopTextBlink() {
    const std::uint32_t timer = state_.StopTextBlink();
    return timer && hwnd() ? ::KillTimer(hwnd(), timer) : FALSE;
}

LRESULT ColorStaticWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case widgets::WM_REFLECTED_CTLCOLOR: {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, state_.textColor());
        ::SetBkColor(dc, state_.bkColor());
        return reinterpret_cast<LRESULT>(m_brBkBrush);
    }
    case WM_DESTROY: {
        const LRESULT result = Default(msg, wParam, lParam);
        StopTextBlink();
        if (m_brBkBrush) ::DeleteObject(m_brBkBrush);
        m_brBkBrush = nullptr;
        return result;
    }
    default:
        return Default(msg, wParam, lParam);
    }
}

}  // namespace platform::win32::dialog
