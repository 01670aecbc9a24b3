// The process's console: the Win32 calls of console mode (/DOS) and the
// standard output the run narrates on.
#pragma once

#include <string>

namespace platform {

class Console {
public:
    virtual ~Console() = default;
    // AllocConsole: false when the process already has a console or the
    // call failed.
    virtual bool AllocConsole() = 0;
    // Binds the C runtime's stdout to the console's standard output handle
    // (text mode) and makes it unbuffered; false when the handle cannot be
    // wrapped.
    virtual bool BindStdout() = 0;
    // FreeConsole: detaches the process from its console.
    virtual bool FreeConsole() = 0;
    // Writes the text to stdout (printf of the tool's console lines).
    virtual void Write(const std::wstring& text) = 0;
};

}  // namespace platform
