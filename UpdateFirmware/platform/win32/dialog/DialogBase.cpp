#include "platform/win32/dialog/DialogBase.h"

#include "widgets/ColorStaticST.h"

namespace platform::win32::dialog {

INT_PTR DialogBase::DoModal(HWND parent) {
    return ::DialogBoxParamW(instance_, MAKEINTRESOURCEW(templateId_), parent, &DialogBase::Proc,
                             reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK DialogBase::Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    DialogBase* self;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<DialogBase*>(lParam);
        self->hwnd_ = hwnd;
        ::SetWindowLongPtrW(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<DialogBase*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    if (!self) return FALSE;
    const INT_PTR result = self->Dispatch(msg, wParam, lParam);
    if (msg == WM_NCDESTROY) {
        ::SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->hwnd_ = nullptr;
    }
    return result;
}

INT_PTR DialogBase::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id == IDOK) {
            OnOK();
            return TRUE;
        }
        if (id == IDCANCEL) {
            OnCancel();
            return TRUE;
        }
        return OnCommand(id, HIWORD(wParam), reinterpret_cast<HWND>(lParam)) ? TRUE : FALSE;
    }
    case WM_SYSCOMMAND:
        return OnSysCommand(static_cast<UINT>(wParam), lParam) ? TRUE : FALSE;
    case WM_CLOSE:
        OnClose();
        return TRUE;
    case WM_PAINT:
        return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    case WM_WINDOWPOSCHANGING:
        OnWindowPosChanging(reinterpret_cast<WINDOWPOS*>(lParam));
        return FALSE;  // the default processing goes on with the changed record
    case WM_TIMER:
        OnTimer(static_cast<UINT_PTR>(wParam));
        return TRUE;
    case WM_CTLCOLORSTATIC: {
        // Reflected to the control: a colour static answers with its brush,
        // any other static with 0 (the dialog's colours).
        const LRESULT brush = ::SendMessageW(reinterpret_cast<HWND>(lParam),
                                             widgets::WM_REFLECTED_CTLCOLOR, wParam, CTLCOLOR_STATIC);
        return brush ? static_cast<INT_PTR>(brush) : FALSE;
    }
    case WM_DESTROY:
        OnDestroy();
        return FALSE;
    default: {
        LRESULT result = 0;
        if (!OnMessage(msg, wParam, lParam, result)) return FALSE;
        ::SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
        return TRUE;
    }
    }
}

}  // namespace platform::win32::dialog
