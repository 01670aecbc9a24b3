// CColorStaticST: a static text with colours of its own. This is its colour
// and blink state; the window side (platform/win32/dialog/) answers the
// reflected WM_CTLCOLOR with these colours and the background brush.
#pragma once

#include <cstdint>

#include "widgets/WidgetTypes.h"

namespace widgets {

// The reflected WM_CTLCOLOR the dialog sends back to the control.
constexpr std::uint32_t WM_REFLECTED_CTLCOLOR = 0xBC19;

class CColorStaticST {
public:
    // The system's COLOR_BTNTEXT and COLOR_BTNFACE, read once.
    CColorStaticST(COLORREF btnText, COLORREF btnFace)
        : m_crTextColor(btnText), m_crBkColor(btnFace) {}

    // Stores the colour; the window then invalidates itself with erasing.
    void SetTextColor(COLORREF color) { m_crTextColor = color; }

    // Ends blinking. Returns the id of the blink timer the window has to
    // kill, 0 when none ran.
    std::uint32_t StopTextBlink() {
        const std::uint32_t timer = m_nBlinkTimer;
        m_nBlinkTimer = 0;
        m_nTextBlinkState = 0;
        m_bTextBlinking = 0;
        return timer;
    }

    COLORREF textColor() const { return m_crTextColor; }
    COLORREF bkColor() const { return m_crBkColor; }
    bool blinking() const { return m_bTextBlinking != 0; }

private:
    std::uint32_t m_nBlinkTimer = 0;
    COLORREF m_crTextColor;
    int m_bTextBlinking = 0;
    int m_nTextBlinkState = 0;
    COLORREF m_crBkColor;
};

}  // namespace widgets
