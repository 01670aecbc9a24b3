// Entry point of 262FWUpgradeTool.exe (console subsystem, -municode).
#include "platform/win32/Win32Ports.h"

int wmain(int argc, wchar_t** argv) {
    (void)argc;
    (void)argv;
    platform::win32::Win32Ports win32;
    const platform::Ports ports = win32.Ports();
    (void)ports;
    return 0;
}
