// Plain geometry and colour types of the dialog's widgets, laid out as their
// Win32 counterparts (RECT, POINT, SIZE, PBRANGE, COLORREF) so the window side
// can copy them field by field.
#pragma once

#include <cstdint>

namespace widgets {

using COLORREF = std::uint32_t;

// "Use the system colour": the stored colour stands for a system colour.
constexpr COLORREF kClrDefault = 0xFF000000u;

constexpr COLORREF Rgb(unsigned r, unsigned g, unsigned b) {
    return (r & 0xFFu) | ((g & 0xFFu) << 8) | ((b & 0xFFu) << 16);
}

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool empty() const { return right <= left || bottom <= top; }
    bool operator==(const Rect& o) const {
        return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
    }
};

struct Point {
    int x = 0, y = 0;
    bool operator==(const Point& o) const { return x == o.x && y == o.y; }
};

struct Size {
    int cx = 0, cy = 0;
};

struct ProgressRange {
    int iLow = 0;
    int iHigh = 0;
};

}  // namespace widgets
