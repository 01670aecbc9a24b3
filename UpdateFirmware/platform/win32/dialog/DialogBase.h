// A small dialog layer on plain Win32: a modal dialog from a resource
// template, with its messages dispatched to virtual handlers.
#pragma once

#include "platform/win32/WindowsApi.h"

namespace platform::win32::dialog {

class DialogBase {
public:
    DialogBase(HINSTANCE instance, int templateId) : instance_(instance), templateId_(templateId) {}
    virtual ~DialogBase() = default;
    DialogBase(const DialogBase&) = delete;
    DialogBase& operator=(const DialogBase&) = delete;

    // DialogBoxParamW: runs the dialog until EndDialog; its result, or -1
    // when the dialog could not be created.
    INT_PTR DoModal(HWND parent = nullptr);
    HWND hwnd() const { return hwnd_; }
    HINSTANCE instance() const { return instance_; }
    void EndDialog(INT_PTR result) { ::EndDialog(hwnd_, result); }

protected:
    // WM_INITDIALOG: the result goes back to the system (TRUE: default focus).
    virtual BOOL OnInitDialog() { return TRUE; }
    // WM_COMMAND of a control other than IDOK and IDCANCEL; true when handled.
    virtual bool OnCommand(int id, int code, HWND control) { return false; }
    // IDOK (Enter) and IDCANCEL (Esc). By default both end the dialog.
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { OnClose(); }
    // WM_SYSCOMMAND; false lets the system handle it.
    virtual bool OnSysCommand(UINT id, LPARAM lParam) { return false; }
    // WM_PAINT; false lets the dialog paint itself.
    virtual bool OnPaint() { return false; }
    virtual HICON OnQueryDragIcon() { return nullptr; }
    virtual void OnWindowPosChanging(WINDOWPOS* pos) {}
    virtual void OnTimer(UINT_PTR id) {}
    // WM_CLOSE (close box, Alt+F4, and Esc through OnCancel).
    virtual void OnClose() { EndDialog(IDCANCEL); }
    virtual void OnDestroy() {}
    // Any other message; true when handled, with its result.
    virtual bool OnMessage(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
        return false;
    }

private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    INT_PTR Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);

    HINSTANCE instance_;
    int templateId_;
    HWND hwnd_ = nullptr;
};

}  // namespace platform::win32::dialog
