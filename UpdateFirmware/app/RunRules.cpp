#include "app/RunRules.h"

#include "app/FirmwareFiles.h"

#include <cwctype>

namespace app {

namespace {

constexpr std::uint64_t kLegacyVersions[] = {0x121030000000ull, 0x111117000000ull};
constexpr std::uint64_t kA1NewestFile = 0x120621000000ull;
constexpr std::uint64_t kA2OldestFileExcluded = 0x120720000000ull;

}  // namespace

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
    if (!bIsFWVersionText(hubVersion)) return false;
    const std::uint64_t v = ullFWVersionValue(hubVersion);
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

}  // namespace app
