#include "platform/win32/dialog/TextProgressWindow.h"

#include <string>

#include "platform/win32/dialog/MyMemDC.h"

#include <commctrl.h>

namespace platform::win32::dialog {

using widgets::ProgressEffects;

widgets::ProgressSysColors ProgressSystemColors() {
    return {::GetSysColor(COLOR_HIGHLIGHT), ::GetSysColor(COLOR_BTNFACE),
            ::GetSysColor(COLOR_WINDOWTEXT), ::GetSysColor(COLOR_WINDOW)};
}

namespace {

RECT ToRect(const widgets::Rect& r) { return {r.left, r.top, r.right, r.bottom}; }

void FillSolid(HDC dc, const widgets::Rect& r, COLORREF color) {
    if (r.empty()) return;
    const RECT rc = ToRect(r);
    HBRUSH brush = ::CreateSolidBrush(color);
    ::FillRect(dc, &rc, brush);
    ::DeleteObject(brush);
}

std::wstring WindowText(HWND hwnd) {
    std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(hwnd)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(::GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
    return text;
}

// Draws the text clipped to one region (logical units of `dc`).
void TextInRegion(HDC dc, const widgets::Rect& region, COLORREF color, const RECT& clip,
                  const widgets::Point& origin, const std::wstring& text) {
    if (region.empty()) return;
    RECT device = ToRect(region);
    ::LPtoDP(dc, reinterpret_cast<POINT*>(&device), 2);  // clip regions are in device units
    HRGN rgn = ::CreateRectRgnIndirect(&device);
    ::SelectClipRgn(dc, rgn);
    ::SetTextColor(dc, color);
    ::ExtTextOutW(dc, origin.x, origin.y, ETO_CLIPPED, &clip, text.c_str(),
                  static_cast<UINT>(text.size()), nullptr);
    ::SelectClipRgn(dc, nullptr);
    ::DeleteObject(rgn);
}

}  // namespace

TextProgressWindow::~TextProgressWindow() {
    Detach();
    if (m_fontVertical) ::DeleteObject(m_fontVertical);
}

void TextProgressWindow::OnAttached() {
    state_.set_style(static_cast<std::uint32_t>(::GetWindowLongPtrW(hwnd(), GWL_STYLE)));
}

void TextProgressWindow::Apply(const ProgressEffects& fx) {
    if (fx.styleChanged) {
        const auto style = static_cast<std::uint32_t>(::GetWindowLongPtrW(hwnd(), GWL_STYLE));
        const std::uint32_t updated = (style & ~widgets::pbs::MARQUEE) | (state_.style() & widgets::pbs::MARQUEE);
        if (updated != style) ::SetWindowLongPtrW(hwnd(), GWL_STYLE, static_cast<LONG_PTR>(updated));
    }
    if (fx.killTimer) ::KillTimer(hwnd(), widgets::kMarqueeTimerId);
    if (fx.startTimer) ::SetTimer(hwnd(), widgets::kMarqueeTimerId, fx.timerMs, nullptr);
    if (fx.repaint) ::RedrawWindow(hwnd(), nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

HFONT TextProgressWindow::ControlFont() const {
    auto font = reinterpret_cast<HFONT>(::SendMessageW(hwnd(), WM_GETFONT, 0, 0));
    if (!font) font = reinterpret_cast<HFONT>(::SendMessageW(::GetParent(hwnd()), WM_GETFONT, 0, 0));
    if (!font) font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    return font;
}

void TextProgressWindow::CreateVerticalFont(HFONT base) {
    if (m_fontVertical) ::DeleteObject(m_fontVertical);
    m_fontVertical = nullptr;
    LOGFONTW lf{};
    if (!::GetObjectW(base, sizeof lf, &lf)) return;
    lf.lfEscapement = 900;
    lf.lfOrientation = 900;
    m_fontVertical = ::CreateFontIndirectW(&lf);
}

LRESULT TextProgressWindow::WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_ERASEBKGND:
        return TRUE;
    case WM_PAINT:
        Paint();
        return 0;
    case WM_TIMER:
        if (wParam == widgets::kMarqueeTimerId) {
            ProgressEffects fx;
            state_.OnMarqueeTimer(fx);
            Apply(fx);
        }
        return 0;
    default:
        break;
    }
    std::intptr_t result = 0;
    ProgressEffects fx;
    widgets::ProgressRange range;
    if (!state_.Handle(msg, wParam, lParam, ProgressSystemColors(), result, fx, &range))
        return Default(msg, wParam, lParam);
    if (msg == widgets::pbm::GETRANGE && lParam) {
        auto* out = reinterpret_cast<PBRANGE*>(lParam);
        out->iLow = range.iLow;
        out->iHigh = range.iHigh;
    }
    Apply(fx);
    return static_cast<LRESULT>(result);
}

void TextProgressWindow::Paint() {
    if (state_.rangeMin() >= state_.rangeMax()) {
        PAINTSTRUCT ps;
        ::BeginPaint(hwnd(), &ps);
        ::EndPaint(hwnd(), &ps);
        return;
    }
    PAINTSTRUCT ps;
    HDC paintDc = ::BeginPaint(hwnd(), &ps);
    {
        CMyMemDC dc(paintDc);
        const HFONT font = ControlFont();
        const HGDIOBJ oldFont = ::SelectObject(dc, font);

        RECT rc;
        ::GetClientRect(hwnd(), &rc);
        ::DrawEdge(dc, &rc, EDGE_SUNKEN, BF_RECT | BF_FLAT | BF_ADJUST);

        const bool vertical = (state_.style() & widgets::pbs::VERTICAL) != 0;
        if (vertical && !m_fontVertical) CreateVerticalFont(font);
        const HFONT textFont = vertical && m_fontVertical ? m_fontVertical : font;

        const widgets::ProgressLayout layout = state_.Layout(
            {rc.left, rc.top, rc.right, rc.bottom}, WindowText(hwnd()), ProgressSystemColors(),
            [&](const std::wstring& text) {
                const HGDIOBJ old = ::SelectObject(dc, textFont);
                SIZE size{};
                ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
                ::SelectObject(dc, old);
                return widgets::Size{size.cx, size.cy};
            });

        FillSolid(dc, layout.before, layout.backColor);
        FillSolid(dc, layout.after, layout.backColor);
        FillSolid(dc, layout.bar, layout.barColor);

        if (!layout.text.empty()) {
            const HGDIOBJ old = ::SelectObject(dc, textFont);
            ::SetBkMode(dc, TRANSPARENT);
            TextInRegion(dc, layout.before, layout.textColor, rc, layout.textOrigin, layout.text);
            TextInRegion(dc, layout.bar, layout.textOnBarColor, rc, layout.textOrigin, layout.text);
            TextInRegion(dc, layout.after, layout.textColor, rc, layout.textOrigin, layout.text);
            ::SelectObject(dc, old);
        }
        ::SelectObject(dc, oldFont);
    }
    ::EndPaint(hwnd(), &ps);
}

}  // namespace platform::win32::dialog
