// platform::CodePage on WideCharToMultiByte / MultiByteToWideChar.
#pragma once

#include "platform/CodePage.h"

namespace platform::win32 {

class Win32CodePage final : public CodePage {
public:
    // Out through CP_ACP (no flags), back through the thread's ANSI code page
    // (CP_THREAD_ACP). The text ends at its first NUL. A failed conversion
    // throws std::system_error carrying GetLastError().
    std::wstring AnsiRoundTrip(const std::wstring& text) override;
    std::wstring ThreadAnsiToWide(const std::string& text) override;
};

}  // namespace platform::win32
