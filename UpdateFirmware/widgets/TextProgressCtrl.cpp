#include "widgets/TextProgressCtrl.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "hubaccess/TextFormat.h"

namespace widgets {

int CTextProgressCtrl::s_nMarqueeDirection = 1;

namespace {

int ClampToInt(long long v) {
    return static_cast<int>(std::clamp<long long>(v, std::numeric_limits<int>::min(),
                                                  std::numeric_limits<int>::max()));
}

COLORREF Resolve(COLORREF stored, COLORREF system) {
    return stored == kClrDefault ? system : stored;
}

// (old max << 16) | (old min & 0xFFFF), as the 32-bit result of the message.
std::intptr_t PackedRange(int oldMin, int oldMax) {
    const std::uint32_t packed =
        (static_cast<std::uint32_t>(oldMax) << 16) | (static_cast<std::uint32_t>(oldMin) & 0xFFFFu);
    return static_cast<std::int32_t>(packed);
}

}  // namespace

int CTextProgressCtrl::UpperBound() const {
    if (!(m_dwStyle & pbs::MARQUEE)) return m_nRangeMax;
    const double limit =
        std::trunc(((static_cast<double>(m_nMarqueePercent) + 100.0) * m_nRangeMax + 0.5) / 100.0);
    return ClampToInt(static_cast<long long>(
        std::clamp(limit, static_cast<double>(std::numeric_limits<int>::min()),
                   static_cast<double>(std::numeric_limits<int>::max()))));
}

int CTextProgressCtrl::SetPos(long long pos, ProgressEffects& fx) {
    const int old = m_nPos;
    const long long upper = UpperBound();
    if (pos < m_nRangeMin) pos = m_nRangeMin;
    else if (pos > upper) pos = upper;
    m_nPos = ClampToInt(pos);
    fx.repaint = true;
    return old;
}

bool CTextProgressCtrl::Handle(std::uint32_t msg, std::uintptr_t wParam, std::intptr_t lParam,
                               const ProgressSysColors& sys, std::intptr_t& result,
                               ProgressEffects& fx, ProgressRange* range) {
    const int wInt = static_cast<int>(static_cast<std::int32_t>(wParam));
    const COLORREF lColor = static_cast<COLORREF>(lParam);
    switch (msg) {
    case pbm::SETRANGE: {
        result = PackedRange(m_nRangeMin, m_nRangeMax);
        const auto packed = static_cast<std::uint32_t>(lParam);
        m_nRangeMin = static_cast<int>(packed & 0xFFFFu);
        m_nRangeMax = static_cast<int>((packed >> 16) & 0xFFFFu);
        return true;
    }
    case pbm::SETRANGE32:
        result = PackedRange(m_nRangeMin, m_nRangeMax);
        m_nRangeMin = wInt;
        m_nRangeMax = static_cast<int>(static_cast<std::int32_t>(lParam));
        return true;
    case pbm::SETPOS:
        result = SetPos(wInt, fx);
        return true;
    case pbm::DELTAPOS:
        result = SetPos(static_cast<long long>(m_nPos) + wInt, fx);
        return true;
    case pbm::SETSTEP:
        result = m_nStep;
        m_nStep = wInt;
        return true;
    case pbm::GETSTEP:
        result = m_nStep;
        return true;
    case pbm::STEPIT: {
        long long n = static_cast<long long>(m_nPos) + m_nStep;
        if (n < m_nRangeMin) n = m_nRangeMax - (m_nRangeMin - n);
        else if (n > m_nRangeMax) n = m_nRangeMin + (n - m_nRangeMax);
        result = SetPos(n, fx);
        return true;
    }
    case pbm::GETRANGE:
        if (range) {
            range->iLow = m_nRangeMin;
            range->iHigh = m_nRangeMax;
        }
        result = wParam ? m_nRangeMin : m_nRangeMax;
        return true;
    case pbm::GETPOS:
        result = m_nPos;
        return true;
    case pbm::SETBARCOLOR:
        result = static_cast<std::intptr_t>(m_crBar);
        m_crBar = lColor;
        fx.repaint = true;
        return true;
    case pbm::SETBKCOLOR:
        result = static_cast<std::intptr_t>(m_crBackground);
        m_crBackground = lColor;
        fx.repaint = true;
        return true;
    case pbm::GETBARCOLOR:
        result = static_cast<std::intptr_t>(Resolve(m_crBar, sys.highlight));
        return true;
    case pbm::GETBKCOLOR:
        result = static_cast<std::intptr_t>(Resolve(m_crBackground, sys.btnFace));
        return true;
    case PBM_SETTEXTCOLOR:
        result = static_cast<std::intptr_t>(m_crText);
        m_crText = lColor;
        fx.repaint = true;
        return true;
    case PBM_GETTEXTCOLOR:
        result = static_cast<std::intptr_t>(Resolve(m_crText, sys.windowText));
        return true;
    case PBM_SETTEXTBKCOLOR:
        result = static_cast<std::intptr_t>(m_crTextOnBar);
        m_crTextOnBar = lColor;
        fx.repaint = true;
        return true;
    case PBM_GETTEXTBKCOLOR:
        result = static_cast<std::intptr_t>(Resolve(m_crTextOnBar, sys.window));
        return true;
    case PBM_SETSHOWTEXT:
        result = m_bShowPercent;
        m_bShowPercent = wInt;
        fx.repaint = true;
        return true;
    case PBM_ALIGNTEXT:
        result = m_nTextAlign;
        m_nTextAlign = wInt;
        fx.repaint = true;
        return true;
    case pbm::SETMARQUEE:
        m_bShowPercent = 0;
        if (wParam) {
            m_dwStyle |= pbs::MARQUEE;
            fx.startTimer = true;
            fx.timerMs = static_cast<std::uint32_t>(lParam);
        } else {
            fx.killTimer = true;
            m_dwStyle &= ~pbs::MARQUEE;
        }
        fx.styleChanged = true;
        fx.repaint = true;
        result = static_cast<std::intptr_t>(wParam);
        return true;
    case PBM_SETMARQUEEOPTIONS:
        m_nMarqueePercent = wInt;
        fx.repaint = true;
        result = static_cast<std::intptr_t>(wParam);
        return true;
    default:
        return false;
    }
}

void CTextProgressCtrl::OnMarqueeTimer(ProgressEffects& fx) {
    const int limit = UpperBound();
    if (s_nMarqueeDirection > 0 && m_nPos >= limit) s_nMarqueeDirection = -1;
    else if (s_nMarqueeDirection < 0 && m_nPos <= m_nRangeMin) s_nMarqueeDirection = 1;
    SetPos(static_cast<long long>(m_nPos) + s_nMarqueeDirection, fx);
}

ProgressLayout CTextProgressCtrl::Layout(
    const Rect& rc, const std::wstring& windowText, const ProgressSysColors& sys,
    const std::function<Size(const std::wstring&)>& measure) const {
    ProgressLayout out;
    if (m_nRangeMin >= m_nRangeMax) {
        out.paintNothing = true;
        return out;
    }
    out.barColor = Resolve(m_crBar, sys.highlight);
    out.backColor = Resolve(m_crBackground, sys.btnFace);
    out.textColor = Resolve(m_crText, sys.windowText);
    out.textOnBarColor = Resolve(m_crTextOnBar, sys.window);
    out.vertical = (m_dwStyle & pbs::VERTICAL) != 0;
    const bool marquee = (m_dwStyle & pbs::MARQUEE) != 0;

    // A position outside the range (the range may have changed under it)
    // paints clamped: never a bar past its frame. A marquee segment may run
    // past the end up to the marquee limit; it is cut at the frame below.
    const double span = static_cast<double>(m_nRangeMax) - m_nRangeMin;
    const double raw = (static_cast<double>(m_nPos) - m_nRangeMin) / span;
    const double highest = marquee ? std::max(1.0, (static_cast<double>(UpperBound()) - m_nRangeMin) / span) : 1.0;
    const double f = std::clamp(raw, 0.0, highest);

    const int width = std::max(0, rc.width());
    const int height = std::max(0, rc.height());
    if (!marquee) {
        if (!out.vertical) {
            const int edge = rc.left + static_cast<int>(width * f);
            out.bar = {rc.left, rc.top, edge, rc.bottom};
            if (edge < rc.right) out.after = {edge, rc.top, rc.right, rc.bottom};
        } else {
            const int edge = rc.bottom - static_cast<int>(height * f);
            out.bar = {rc.left, edge, rc.right, rc.bottom};
            if (edge > rc.top) out.after = {rc.left, rc.top, rc.right, edge};
        }
    } else if (!out.vertical) {
        int e = rc.left + static_cast<int>(width * f);
        int s = e - (width * m_nMarqueePercent + 50) / 100;
        s = std::min(s, rc.right);
        if (s > rc.left) out.before = {rc.left, rc.top, s, rc.bottom};
        else s = rc.left;
        if (e < rc.right) out.after = {e, rc.top, rc.right, rc.bottom};
        else e = rc.right;
        out.bar = {s, rc.top, e, rc.bottom};
    } else {
        int e = rc.bottom - static_cast<int>(height * f);   // upper end of the segment
        int s = e + (height * m_nMarqueePercent + 50) / 100;  // lower end
        s = std::max(s, rc.top);
        if (s < rc.bottom) out.before = {rc.left, s, rc.right, rc.bottom};
        else s = rc.bottom;
        if (e > rc.top) out.after = {rc.left, rc.top, rc.right, e};
        else e = rc.top;
        out.bar = {rc.left, e, rc.right, s};
    }

    out.text = windowText;
    if (m_bShowPercent) {
        const int percent = static_cast<int>(std::clamp(f, 0.0, 1.0) * 100.0 + 0.5);
        out.text += textfmt::Format(L"%d%%", percent);
    }
    if (out.text.empty()) return out;

    const Size ext = measure(out.text);
    if (!out.vertical) {
        if (m_nTextAlign == 0) out.textOrigin.x = rc.left + 2;
        else if (m_nTextAlign == 2) out.textOrigin.x = rc.right - ext.cx - 3;
        else out.textOrigin.x = (rc.right - ext.cx - rc.left) / 2 + rc.left;
        out.textOrigin.y = (rc.bottom - ext.cy - rc.top) / 2 + rc.top;
    } else {
        if (m_nTextAlign == 0) out.textOrigin.y = rc.bottom - 3;
        else if (m_nTextAlign == 2) out.textOrigin.y = rc.top + ext.cx + 2;
        else out.textOrigin.y = (rc.bottom - ext.cx - rc.top) / 2 + ext.cx + rc.top;
        out.textOrigin.x = (rc.right - ext.cy - rc.left) / 2 + rc.left;
    }
    return out;
}

}  // namespace widgets
