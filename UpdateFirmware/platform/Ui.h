// What the core asks of the user interface.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr std::uint32_t kMbOk = 0x0;

class Ui {
public:
    virtual ~Ui() = default;
    // A modal message box (MessageBoxW); returns the button pressed.
    virtual int MessageBox(const std::wstring& text, const std::wstring& caption,
                           std::uint32_t type) = 0;
};

}  // namespace platform
