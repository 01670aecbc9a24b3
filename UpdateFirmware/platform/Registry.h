// Registry values under HKEY_LOCAL_MACHINE.
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
    // RegSetValueExW status; only meaningful when opened.
    std::uint32_t setStatus = 0;
    // GetLastError() after a failed set.
    std::uint32_t lastError = 0;
};

class Registry {
public:
    virtual ~Registry() = default;
    // Opens the key, queries the value with a buffer of `maxBytes` and closes
    // the key.
    virtual RegistryReadResult ReadValue(const std::wstring& subKey, const std::wstring& name,
                                         std::uint32_t maxBytes) = 0;
    // Opens the existing key, sets a REG_DWORD value, flushes and closes it.
    virtual RegistryWriteResult WriteDword(const std::wstring& subKey, const std::wstring& name,
                                           std::uint32_t value) = 0;
};

}  // namespace platform
