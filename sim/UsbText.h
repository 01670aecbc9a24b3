// Text helpers of the simulated USB stack: ASCII case folding and UTF-16LE
// encoding of wide texts as Windows stores them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace sim::usbtext {

inline std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
    return s;
}

inline std::wstring Lower(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

inline bool IEquals(const std::wstring& a, const std::wstring& b) { return Upper(a) == Upper(b); }

// Appends `text` as UTF-16LE code units (no terminator).
inline void AppendUtf16(std::vector<std::uint8_t>& out, const std::wstring& text) {
    auto unit = [&out](std::uint32_t u) {
        out.push_back(static_cast<std::uint8_t>(u));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    };
    // Room for the text and a terminator at once, still growing geometrically
    // over repeated appends (multi-strings).
    const std::size_t need = out.size() + 2 * text.size() + 2;
    if (out.capacity() < need) out.reserve(std::max(need, 2 * out.capacity()));
    for (wchar_t wc : text) {
        const auto c = static_cast<std::uint32_t>(wc);
        if (c > 0xFFFF) {
            unit(0xD800 + ((c - 0x10000) >> 10));
            unit(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            unit(c);
        }
    }
}

}  // namespace sim::usbtext
