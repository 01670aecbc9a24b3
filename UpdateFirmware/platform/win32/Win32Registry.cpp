#include "platform/win32/Win32Registry.h"

#include <algorithm>

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

// The access masks the tool asks for, as the system defines them, in the
// 64-bit view: a 32-bit process would otherwise read and write the
// WOW6432Node copy of SOFTWARE (the Windows version among it).
constexpr REGSAM kView64 = 0x0100;
constexpr REGSAM kKeyRead = 0x20019 | kView64;
constexpr REGSAM kKeyWrite = 0x20006 | kView64;
static_assert(kView64 == KEY_WOW64_64KEY, "64-bit registry view");
static_assert(kKeyRead == (KEY_READ | KEY_WOW64_64KEY) && kKeyWrite == (KEY_WRITE | KEY_WOW64_64KEY),
              "registry access masks");
static_assert(kRegSz == REG_SZ && kRegDword == REG_DWORD && kRegMultiSz == REG_MULTI_SZ,
              "registry value types");

bool HasEmbeddedNul(const std::wstring& text) { return text.find(L'\0') != std::wstring::npos; }

}  // namespace

RegistryReadResult Win32Registry::ReadValue(const std::wstring& subKey, const std::wstring& name,
                                            std::uint32_t maxBytes) {
    RegistryReadResult result;
    if (HasEmbeddedNul(subKey) || HasEmbeddedNul(name)) {
        result.openStatus = ERROR_INVALID_PARAMETER;
        return result;
    }

    HKEY key = nullptr;
    result.openStatus = static_cast<std::uint32_t>(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, kKeyRead, &key));
    if (result.openStatus != ERROR_SUCCESS) return result;

    // One byte more than asked, so that a buffer of 0 bytes still has an
    // address: with none the system would report the size instead of data.
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(maxBytes) + 1);
    DWORD type = 0;
    DWORD size = maxBytes;
    result.queryStatus = static_cast<std::uint32_t>(
        ::RegQueryValueExW(key, name.c_str(), nullptr, &type, buffer.data(), &size));
    if (result.queryStatus == ERROR_SUCCESS) {
        result.type = type;
        buffer.resize(std::min<DWORD>(size, maxBytes));
        result.data = std::move(buffer);
    }
    ::RegCloseKey(key);
    return result;
}

RegistryWriteResult Win32Registry::WriteDword(const std::wstring& subKey, const std::wstring& name,
                                              std::uint32_t value) {
    RegistryWriteResult result;
    if (HasEmbeddedNul(subKey) || HasEmbeddedNul(name)) {
        result.openStatus = ERROR_INVALID_PARAMETER;
        return result;
    }

    HKEY key = nullptr;
    result.openStatus = static_cast<std::uint32_t>(
        ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, kKeyWrite, &key));
    if (result.openStatus != ERROR_SUCCESS) return result;

    const DWORD data = value;
    result.setStatus = static_cast<std::uint32_t>(::RegSetValueExW(
        key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data));
    ::RegFlushKey(key);
    ::RegCloseKey(key);
    return result;
}

}  // namespace platform::win32
