// The window side of CColorStaticST: a subclassed static that answers the
// reflected WM_CTLCOLOR with its own text and background colours.
#pragma once

#include "platform/win32/dialog/SubclassedControl.h"
#include "widgets/ColorStaticST.h"

namespace platform::win32::dialog {

class ColorStaticWindow : public SubclassedControl {
public:
    ColorStaticWindow();
    ~ColorStaticWindow() override;

    // Stores the colour and repaints the whole control with its background.
    void SetTextColor(COLORREF color);
    // KillTimer's result, or 0 when no blink timer ran.
    BOOL StopTextBlink();
    const widgets::CColorStaticST& state() const { return state_; }

protected:
    void OnAttached() override;
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    widgets::CColorStaticST state_;
    HBRUSH m_brBkBrush;
};

}  // namespace platform::win32::dialog
