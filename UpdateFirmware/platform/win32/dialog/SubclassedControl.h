// A dialog control whose window procedure is replaced by ours; what we do
// not handle goes on to the control's own procedure.
#pragma once

#include "platform/win32/WindowsApi.h"

namespace platform::win32::dialog {

class SubclassedControl {
public:
    SubclassedControl() = default;
    virtual ~SubclassedControl() { Detach(); }
    SubclassedControl(const SubclassedControl&) = delete;
    SubclassedControl& operator=(const SubclassedControl&) = delete;

    // Subclasses the control `id` of `dialog`; false when there is none or
    // this object is already attached.
    bool Attach(HWND dialog, int id);
    bool Attach(HWND control);
    void Detach();
    HWND hwnd() const { return hwnd_; }

protected:
    virtual void OnAttached() {}
    virtual LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam) {
        return Default(msg, wParam, lParam);
    }
    LRESULT Default(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    HWND hwnd_ = nullptr;
    WNDPROC oldProc_ = nullptr;
};

}  // namespace platform::win32::dialog
