#include "platform/win32/Win32Console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

bool Win32Console::AllocConsole() { return ::AllocConsole() != FALSE; }

bool Win32Console::BindStdout() {
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return false;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(out), _O_TEXT);
    if (fd < 0) return false;
    // The stream keeps its own record; its descriptor now names the console.
    // The new descriptor stays open: closing it would close the process's
    // standard output handle as well.
    std::fflush(stdout);
    const int stdoutFd = ::_fileno(stdout);
    bool bound = true;
    if (stdoutFd >= 0 && fd != stdoutFd) {
        bound = ::_dup2(fd, stdoutFd) == 0;
    } else if (stdoutFd < 0) {
        // No descriptor behind stdout (a GUI start): open the console afresh.
        bound = std::freopen("CONOUT$", "w", stdout) != nullptr;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    return bound;
}

bool Win32Console::FreeConsole() { return ::FreeConsole() != FALSE; }

}  // namespace platform::win32
