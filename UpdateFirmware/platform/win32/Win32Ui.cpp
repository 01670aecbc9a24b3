#include "platform/win32/Win32Ui.h"

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

static_assert(kMbOk == MB_OK, "MB_OK");

int Win32Ui::MessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t type) {
    return ::MessageBoxW(nullptr, text.c_str(), caption.c_str(), type);
}

}  // namespace platform::win32
