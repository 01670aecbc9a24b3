// platform::Registry on RegOpenKeyExW / RegQueryValueExW / RegSetValueExW
// under HKEY_LOCAL_MACHINE, in the 64-bit registry view (KEY_WOW64_64KEY).
#pragma once

#include "platform/Registry.h"

namespace platform::win32 {

class Win32Registry final : public Registry {
public:
    // KEY_READ | KEY_WOW64_64KEY. A value larger than `maxBytes` gives the query status
    // ERROR_MORE_DATA and no data.
    RegistryReadResult ReadValue(const std::wstring& subKey, const std::wstring& name,
                                 std::uint32_t maxBytes) override;
    // KEY_WRITE | KEY_WOW64_64KEY; RegFlushKey and RegCloseKey follow the set whatever its outcome.
    RegistryWriteResult WriteDword(const std::wstring& subKey, const std::wstring& name,
                                   std::uint32_t value) override;
};

}  // namespace platform::win32
