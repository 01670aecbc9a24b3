// CMyMemDC: an off-screen drawing context over a paint DC. Everything drawn
// into it is copied to the target in one BitBlt when it goes out of scope,
// so a control repainting itself does not flicker.
#pragma once

#include "platform/win32/WindowsApi.h"

namespace platform::win32::dialog {

class CMyMemDC {
public:
    explicit CMyMemDC(HDC target);
    ~CMyMemDC();
    CMyMemDC(const CMyMemDC&) = delete;
    CMyMemDC& operator=(const CMyMemDC&) = delete;

    HDC dc() const { return m_hMemDC ? m_hMemDC : m_pTargetDC; }
    operator HDC() const { return dc(); }
    // The target's clip box in logical units.
    const RECT& bounds() const { return m_rcBounds; }

private:
    HDC m_pTargetDC;
    HDC m_hMemDC = nullptr;
    HBITMAP m_bmpOffscreen = nullptr;
    HGDIOBJ m_pOldBitmap = nullptr;
    RECT m_rcBounds{};
};

}  // namespace platform::win32::dialog
