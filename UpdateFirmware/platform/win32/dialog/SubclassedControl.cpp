#include "platform/win32/dialog/SubclassedControl.h"

namespace platform::win32::dialog {

namespace {
constexpr wchar_t kProp[] = L"VTL262xFWUpg.Subclass";
}

bool SubclassedControl::Attach(HWND dialog, int id) {
    return Attach(::GetDlgItem(dialog, id));
}

bool SubclassedControl::Attach(HWND control) {
    if (!control || hwnd_ || ::GetPropW(control, kProp)) return false;
    if (!::SetPropW(control, kProp, this)) return false;
    hwnd_ = control;
    oldProc_ = reinterpret_cast<WNDPROC>(::SetWindowLongPtrW(
        control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassedControl::Proc)));
    OnAttached();
    return true;
}

void SubclassedControl::Detach() {
    if (!hwnd_) return;
    ::SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(oldProc_));
    ::RemovePropW(hwnd_, kProp);
    hwnd_ = nullptr;
}

LRESULT SubclassedControl::Default(UINT msg, WPARAM wParam, LPARAM lParam) {
    return ::CallWindowProcW(oldProc_, hwnd_, msg, wParam, lParam);
}

LRESULT CALLBACK SubclassedControl::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* self = static_cast<SubclassedControl*>(::GetPropW(hwnd, kProp));
    if (!self) return ::DefWindowProcW(hwnd, msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        const WNDPROC old = self->oldProc_;
        self->Detach();
        return ::CallWindowProcW(old, hwnd, msg, wParam, lParam);
    }
    return self->WndProc(msg, wParam, lParam);
}

}  // namespace platform::win32::dialog
