// platform::Registry on RegOpenKeyExW / RegQueryValueExW / RegSetValueExW
// under HKEY_LOCAL_MACHINE.
#pragma once

#include "platform/Registry.h"

namespace platform::win32 {

class Win32Registry final : public Registry {
public:
    // KEY_READ. A value larger than `maxBytes` gives the query status
    // ERROR_MORE_DATA and no data.
    RegistryReadResult ReadValue(const std::wstring& subKey, const std::wstring& name,
                                 std::uint32_t maxBytes) override;
    // KEY_WRITE; RegFlushKey and RegCloseKey follow the set whatever its outcome.
    RegistryWriteResult WriteDword(const std::wstring& subKey, const std::wstring& name,
                                   std::uint32_t value) override;
};

}  // namespace platform::win32
