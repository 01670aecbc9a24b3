#include "app/RunRules.h"

#include <cwctype>

namespace app {

namespace {

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

constexpr std::uint64_t kLegacyVersions[] = {0x121030000000ull, 0x111117000000ull};
constexpr std::uint64_t kA1NewestFile = 0x120621000000ull;
constexpr std::uint64_t kA2OldestFileExcluded = 0x120720000000ull;

constexpr std::uint16_t kMinImageLength = 0x5000;
constexpr std::size_t kMaxDownload = 0x10000;

}  // namespace

bool ParseVersion48(const std::wstring& text, std::uint64_t* value) {
    if (text.size() != 12) return false;
    std::uint64_t v = 0;
    for (wchar_t c : text) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<std::uint64_t>(d);
    }
    if (value != nullptr) *value = v;
    return true;
}

bool SameVersionText(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
}

std::wstring ChipNameFromVersionRegister(BYTE value) {
    std::wstring name;
    switch (value & 0x70) {
        case 0x10: name = L"VTL262xB"; break;
        case 0x20: name = L"VTL262xC"; break;
        default: name = L"VTL262xA"; break;
    }
    const int digit = value & 0x0F;
    if (digit >= 1 && digit <= 5) name += static_cast<wchar_t>(L'0' + digit);
    return name;
}

LimitVerdict CheckFirmwareLimits(const std::wstring& chipName, std::uint64_t fileVersion) {
    if (chipName == L"VTL262xA1" && fileVersion > kA1NewestFile) return LimitVerdict::TooNew;
    if (chipName == L"VTL262xA2" && fileVersion <= kA2OldestFileExcluded) return LimitVerdict::TooOld;
    return LimitVerdict::Allowed;
}

bool IsLegacyVersion(const std::wstring& hubVersion) {
    std::uint64_t v = 0;
    if (!ParseVersion48(hubVersion, &v)) return false;
    for (std::uint64_t legacy : kLegacyVersions)
        if (v == legacy) return true;
    return false;
}

std::int8_t NextResetTier(std::int8_t currentTier, const BYTE* states, const BYTE* depths, std::size_t n) {
    if (currentTier <= 1) return currentTier;
    for (std::size_t i = 0; i < n; ++i) {
        if (depths[i] != static_cast<BYTE>(currentTier)) continue;
        if (states[i] != 5 && states[i] != 8) return currentTier;
    }
    return static_cast<std::int8_t>(currentTier - 1);
}

bool AllWorkersReady(const BYTE* states, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (states[i] != 4 && states[i] != 5 && states[i] != 8) return false;
    return true;
}

bool AllWorkersReset(const BYTE* states, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (states[i] != 5 && states[i] != 8) return false;
    return true;
}

bool IsFlashableImage(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < 4) return false;
    const std::size_t f = static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1]) << 8);
    if (f < kMinImageLength || f + 4 > size) return false;
    return ((size + 31) / 32) * 32 <= kMaxDownload;
}

}  // namespace app
