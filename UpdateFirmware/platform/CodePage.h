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
    // MultiByteToWideChar(CP_THREAD_ACP): a narrow text (up to its first NUL)
    // as the thread's ANSI code page reads it. Throws std::system_error when
    // the conversion fails.
    virtual std::wstring ThreadAnsiToWide(const std::string& text) = 0;
};

}  // namespace platform
