// Conversions through the system's ANSI code page.
#pragma once

#include <string>

namespace platform {

class CodePage {
public:
    virtual ~CodePage() = default;
    // WideCharToMultiByte(CP_ACP) and back: characters the code page lacks
    // come back as its replacement character.
    virtual std::wstring AnsiRoundTrip(const std::wstring& text) = 0;
};

}  // namespace platform
