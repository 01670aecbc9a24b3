// The window side of CTextProgressCtrl: a subclassed progress-bar control
// that answers the progress-bar messages from its own state and paints
// itself with GDI through CMyMemDC. The system control never sees these
// messages, so it neither paints nor runs timers of its own.
#pragma once

#include "platform/win32/dialog/SubclassedControl.h"
#include "widgets/TextProgressCtrl.h"

namespace platform::win32::dialog {

class TextProgressWindow : public SubclassedControl {
public:
    TextProgressWindow() = default;
    ~TextProgressWindow() override;

    const widgets::CTextProgressCtrl& state() const { return state_; }

protected:
    void OnAttached() override;
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void Apply(const widgets::ProgressEffects& fx);
    void Paint();
    HFONT ControlFont() const;
    void CreateVerticalFont(HFONT base);

    widgets::CTextProgressCtrl state_;
    HFONT m_fontVertical = nullptr;
};

// The four system colours the progress bar's defaults stand for.
widgets::ProgressSysColors ProgressSystemColors();

}  // namespace platform::win32::dialog
