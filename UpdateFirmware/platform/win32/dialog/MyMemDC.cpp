#include "platform/win32/dialog/MyMemDC.h"

namespace platform::win32::dialog {

namespace {

constexpr ATOM kDialogClassAtom = 32770;

void PreFill(HDC mem, HDC target, const RECT& rc) {
    HBRUSH brush = nullptr;
    bool own = false;
    if (HWND window = ::WindowFromDC(target)) {
        if (static_cast<ATOM>(::GetClassLongPtrW(window, GCW_ATOM)) == kDialogClassAtom) {
            brush = ::GetSysColorBrush(COLOR_BTNFACE);
        } else {
            brush = reinterpret_cast<HBRUSH>(::GetClassLongPtrW(window, GCLP_HBRBACKGROUND));
        }
    }
    if (!brush) {
        brush = ::CreateSolidBrush(::GetBkColor(target));
        own = true;
    }
    ::FillRect(mem, &rc, brush);
    if (own) ::DeleteObject(brush);
}

}  // namespace

CMyMemDC::CMyMemDC(HDC target) : m_pTargetDC(target) {
    ::GetClipBox(target, &m_rcBounds);
    m_hMemDC = ::CreateCompatibleDC(target);
    if (!m_hMemDC) return;  // draw straight to the target

    RECT device = m_rcBounds;
    ::LPtoDP(target, reinterpret_cast<POINT*>(&device), 2);
    m_bmpOffscreen = ::CreateCompatibleBitmap(target, device.right - device.left,
                                              device.bottom - device.top);
    if (!m_bmpOffscreen) {
        ::DeleteDC(m_hMemDC);
        m_hMemDC = nullptr;
        return;
    }
    m_pOldBitmap = ::SelectObject(m_hMemDC, m_bmpOffscreen);
    ::SetMapMode(m_hMemDC, ::GetMapMode(target));
    SIZE extent;
    if (::GetWindowExtEx(target, &extent)) ::SetWindowExtEx(m_hMemDC, extent.cx, extent.cy, nullptr);
    if (::GetViewportExtEx(target, &extent))
        ::SetViewportExtEx(m_hMemDC, extent.cx, extent.cy, nullptr);
    ::DPtoLP(target, reinterpret_cast<POINT*>(&device), 2);
    m_rcBounds = device;
    ::SetWindowOrgEx(m_hMemDC, m_rcBounds.left, m_rcBounds.top, nullptr);
    PreFill(m_hMemDC, target, m_rcBounds);
}

CMyMemDC::~CMyMemDC() {
    if (!m_hMemDC) return;
    ::BitBlt(m_pTargetDC, m_rcBounds.left, m_rcBounds.top, m_rcBounds.right - m_rcBounds.left,
             m_rcBounds.bottom - m_rcBounds.top, m_hMemDC, m_rcBounds.left, m_rcBounds.top, SRCCOPY);
    ::SelectObject(m_hMemDC, m_pOldBitmap);
    ::DeleteObject(m_bmpOffscreen);
    ::DeleteDC(m_hMemDC);
}

}  // namespace platform::win32::dialog
