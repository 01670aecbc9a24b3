// Registry values under HKEY_LOCAL_MACHINE, in the 64-bit view of the
// registry on 64-bit Windows (KEY_WOW64_64KEY): the machine's own values, not
// the WOW6432Node copies under SOFTWARE that a 32-bit process sees by default.
// Keys shared by both views (all of SYSTEM) are the same either way; 32-bit
// Windows ignores the flag.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

struct RegistryReadResult {
    // RegOpenKeyExW(HKLM, subKey, 0, KEY_READ) status (0 = opened).
    std::uint32_t openStatus = 0;
    // RegQueryValueExW status (0 = read); only meaningful when opened.
    std::uint32_t queryStatus = 0;
    std::uint32_t type = 0;
    // The value's bytes as stored, at most the asked size.
    std::vector<std::uint8_t> data;
};

struct RegistryWriteResult {
    // RegOpenKeyExW(HKLM, subKey, 0, KEY_WRITE) status; the key is not created.
    std::uint32_t openStatus = 0;
    // RegSetValueExW status; only meaningful when opened. It is the set's
    // only report of an error: the call leaves the thread's last error alone.
    std::uint32_t setStatus = 0;
};

class Registry {
public:
    virtual ~Registry() = default;
    // Opens the key (KEY_READ), queries the value with a buffer of `maxBytes` and closes
    // the key.
    virtual RegistryReadResult ReadValue(const std::wstring& subKey, const std::wstring& name,
                                         std::uint32_t maxBytes) = 0;
    // Opens the existing key (KEY_WRITE), sets a REG_DWORD value, flushes and closes it.
    virtual RegistryWriteResult WriteDword(const std::wstring& subKey, const std::wstring& name,
                                           std::uint32_t value) = 0;
};

}  // namespace platform
