// platform::Ui on MessageBoxW.
#pragma once

#include "platform/Ui.h"

namespace platform::win32 {

class Win32Ui final : public Ui {
public:
    // A message box without an owner window.
    int MessageBox(const std::wstring& text, const std::wstring& caption,
                   std::uint32_t type) override;
};

}  // namespace platform::win32
