#include "platform/win32/Win32Resources.h"

#include "platform/Win32Errors.h"
#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

static_assert(kErrorResourceTypeNotFound == ERROR_RESOURCE_TYPE_NOT_FOUND &&
                  kErrorResourceNameNotFound == ERROR_RESOURCE_NAME_NOT_FOUND,
              "resource errors");

ResourceData Win32Resources::Load(const std::wstring& type, std::uint16_t id) {
    ResourceData result;
    if (type.empty() || type.find(L'\0') != std::wstring::npos) {
        result.error = ERROR_INVALID_PARAMETER;
        return result;
    }
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC info = ::FindResourceW(module, MAKEINTRESOURCEW(id), type.c_str());
    if (info == nullptr) {
        result.error = ::GetLastError();
        return result;
    }
    const DWORD size = ::SizeofResource(module, info);
    HGLOBAL loaded = ::LoadResource(module, info);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr && size != 0) {
        result.error = ::GetLastError();
        return result;
    }
    result.found = true;
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    if (size != 0) result.bytes.assign(first, first + size);
    return result;
}

}  // namespace platform::win32
