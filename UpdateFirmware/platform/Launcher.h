// Starting other programs and waiting for them.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// WaitForSingleObject without a time limit.
constexpr std::uint32_t kWaitInfinite = 0xFFFFFFFFu;

struct ProcessRunResult {
    bool started = false;       // CreateProcessW worked
    std::uint32_t error = 0;    // GetLastError() when it did not
    bool ended = false;         // the process ended within the wait
    std::uint32_t exitCode = 0;  // GetExitCodeProcess once it ended
};

// A program the elevated tool starts: named by its full path, never looked
// up by a search or through the shell's file associations, in a folder of
// the tool's, with none of the user's environment.
struct ChildProcess {
    std::wstring program;      // full path: CreateProcessW's application name
    std::wstring commandLine;  // the whole command line, the quoted program first
    // The child's working directory, which is also its TEMP and TMP (the
    // locked package folder).
    std::wstring currentDirectory;
    bool noWindow = false;  // CREATE_NO_WINDOW: a console program gets no window
    bool hidden = false;    // STARTUPINFO asks SW_HIDE for the program's window
};

class Launcher {
public:
    virtual ~Launcher() = default;
    // CreateProcessW(program, command line, no inheritance,
    // CREATE_UNICODE_ENVIRONMENT, the child environment (ChildEnvironment.h)
    // built over the machine's own variables, `currentDirectory`); the thread
    // handle is closed at once, the process is waited for at most `waitMs`,
    // its exit code read and its handle closed. The caller's current
    // directory stays. When the machine's variables cannot be had nothing is
    // started (never with this process's environment instead).
    virtual ProcessRunResult StartAndWait(const ChildProcess& child, std::uint32_t waitMs) = 0;
};

}  // namespace platform
