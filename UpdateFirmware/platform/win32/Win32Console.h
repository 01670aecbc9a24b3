// platform::Console on AllocConsole / FreeConsole and the C runtime's stdout.
#pragma once

#include "platform/Console.h"

namespace platform::win32 {

class Win32Console final : public Console {
public:
    bool AllocConsole() override;
    // Wraps STD_OUTPUT_HANDLE as a C runtime descriptor in text mode
    // (_open_osfhandle with _O_TEXT) and puts it under stdout's descriptor,
    // then sets stdout unbuffered (_IONBF).
    bool BindStdout() override;
    bool FreeConsole() override;
};

}  // namespace platform::win32
