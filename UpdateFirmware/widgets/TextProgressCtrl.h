// CTextProgressCtrl: a progress bar that paints itself, with text, percent
// and marquee. This is its state and message handling, and the layout of one
// paint (bar, empty parts, text and its origin); the window that owns it
// (platform/win32/dialog/) feeds it the messages and draws what the layout
// says with GDI.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "widgets/WidgetTypes.h"

namespace widgets {

// The progress-bar messages the control answers (named as the system names
// them; in namespaces of their own so they never meet the system's macros).
namespace pbm {
constexpr std::uint32_t SETRANGE = 0x401;
constexpr std::uint32_t SETPOS = 0x402;
constexpr std::uint32_t DELTAPOS = 0x403;
constexpr std::uint32_t SETSTEP = 0x404;
constexpr std::uint32_t STEPIT = 0x405;
constexpr std::uint32_t SETRANGE32 = 0x406;
constexpr std::uint32_t GETRANGE = 0x407;
constexpr std::uint32_t GETPOS = 0x408;
constexpr std::uint32_t SETBARCOLOR = 0x409;
constexpr std::uint32_t SETMARQUEE = 0x40A;
constexpr std::uint32_t GETSTEP = 0x40D;
constexpr std::uint32_t GETBKCOLOR = 0x40E;
constexpr std::uint32_t GETBARCOLOR = 0x40F;
constexpr std::uint32_t SETBKCOLOR = 0x2001;
}  // namespace pbm

// The control's private messages for its text.
constexpr std::uint32_t PBM_SETTEXTCOLOR = 0x466;
constexpr std::uint32_t PBM_GETTEXTCOLOR = 0x467;
constexpr std::uint32_t PBM_SETTEXTBKCOLOR = 0x468;
constexpr std::uint32_t PBM_GETTEXTBKCOLOR = 0x469;
constexpr std::uint32_t PBM_SETSHOWTEXT = 0x46A;
constexpr std::uint32_t PBM_ALIGNTEXT = 0x46B;
constexpr std::uint32_t PBM_SETMARQUEEOPTIONS = 0x46C;

// Styles.
namespace pbs {
constexpr std::uint32_t VERTICAL = 0x04;
constexpr std::uint32_t MARQUEE = 0x08;
}  // namespace pbs

constexpr std::uint32_t kMarqueeTimerId = 1;

// The system colours the kClrDefault settings stand for.
struct ProgressSysColors {
    COLORREF highlight = 0;   // bar
    COLORREF btnFace = 0;     // empty part
    COLORREF windowText = 0;  // text over the empty part
    COLORREF window = 0;      // text over the bar
};

// What the window has to do after a message was handled.
struct ProgressEffects {
    bool repaint = false;           // RedrawWindow(INVALIDATE | ERASE | UPDATENOW)
    bool styleChanged = false;      // write style() back to the window
    bool startTimer = false;        // SetTimer(kMarqueeTimerId, timerMs)
    std::uint32_t timerMs = 0;
    bool killTimer = false;         // KillTimer(kMarqueeTimerId)
};

// What one paint draws. Regions are empty when absent.
struct ProgressLayout {
    bool paintNothing = false;  // min >= max: validate, draw nothing
    Rect before;                // empty part before a marquee segment
    Rect bar;                   // the bar or the marquee segment
    Rect after;                 // empty part after the bar
    COLORREF barColor = 0;
    COLORREF backColor = 0;
    COLORREF textColor = 0;
    COLORREF textOnBarColor = 0;
    bool vertical = false;      // draw the text with the turned font
    std::wstring text;          // empty: no text is drawn
    Point textOrigin;
};

class CTextProgressCtrl {
public:
    // The window's style bits (pbs::VERTICAL, pbs::MARQUEE, ...).
    explicit CTextProgressCtrl(std::uint32_t style = 0) : m_dwStyle(style) {}

    // Handles a progress-bar or private message. Returns false for a message
    // that is not the control's own (the window passes it on). `range` is
    // filled by pbm::GETRANGE when the caller passed a PBRANGE.
    bool Handle(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam,
                const ProgressSysColors& sys, std::intptr_t& result, ProgressEffects& fx,
                ProgressRange* range = nullptr);

    // WM_TIMER with the marquee timer: one marquee step.
    void OnMarqueeTimer(ProgressEffects& fx);

    // Upper bound of the position: the marquee limit in marquee mode.
    int UpperBound() const;

    // The layout of one paint. `interior`: the client rectangle inside the
    // frame. `measure`: the text's extent in the font it is drawn with (the
    // turned font for a vertical bar).
    ProgressLayout Layout(const Rect& interior, const std::wstring& windowText,
                          const ProgressSysColors& sys,
                          const std::function<Size(const std::wstring&)>& measure) const;

    std::uint32_t style() const { return m_dwStyle; }
    void set_style(std::uint32_t style) { m_dwStyle = style; }
    int pos() const { return m_nPos; }
    int step() const { return m_nStep; }
    int rangeMin() const { return m_nRangeMin; }
    int rangeMax() const { return m_nRangeMax; }
    bool showPercent() const { return m_bShowPercent != 0; }
    int marqueePercent() const { return m_nMarqueePercent; }

    // The one marquee direction of the process (+1 or -1).
    static int MarqueeDirection() { return s_nMarqueeDirection; }
    static void ResetMarqueeDirection() { s_nMarqueeDirection = 1; }

private:
    int SetPos(long long pos, ProgressEffects& fx);

    std::uint32_t m_dwStyle;
    int m_bShowPercent = 1;
    COLORREF m_crBar = kClrDefault;
    COLORREF m_crBackground = kClrDefault;
    COLORREF m_crText = kClrDefault;
    COLORREF m_crTextOnBar = kClrDefault;
    int m_nTextAlign = 1;
    int m_nPos = 0;
    int m_nStep = 10;
    int m_nRangeMin = 0;
    int m_nRangeMax = 100;
    int m_nMarqueePercent = 20;

    static int s_nMarqueeDirection;
};

}  // namespace widgets
