// The process's console: opening it for console mode (/DOS) with the C
// runtime's stdout bound to it, or detaching from it. (What the run prints
// goes through the run view's ConsolePrint.)
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
};

}  // namespace platform
