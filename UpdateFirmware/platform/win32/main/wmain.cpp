// Entry point of 262FWUpgradeTool.exe (console subsystem, -municode).
//
// The process-wide objects are built here, explicitly and in a fixed order,
// on the main thread, and torn down in the reverse order when wmain returns:
// first the ports, then the hub utility (its constructor creates the debug
// log's lock, makes the program's directory current and, on 64-bit Windows,
// turns file-system redirection off for this thread).
#include "hubaccess/HubUtility.h"
#include "platform/win32/Win32Ports.h"

int wmain(int argc, wchar_t** argv) {
    (void)argc;
    (void)argv;
    platform::win32::Win32Ports win32;
    const platform::Ports ports = win32.Ports();

    hubaccess::CHubUtility utility(ports);
    hubaccess::pUtility = &utility;

    hubaccess::pUtility = nullptr;
    return 0;
}
