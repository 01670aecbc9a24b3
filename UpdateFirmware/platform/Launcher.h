// Starting other programs and waiting for them.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr int kSwHide = 0;
// WaitForSingleObject without a time limit.
constexpr std::uint32_t kWaitInfinite = 0xFFFFFFFFu;

struct LaunchResult {
    bool started = false;    // ShellExecuteExW gave a process
    std::uint32_t error = 0;  // GetLastError() when it did not
    bool ended = false;       // the process ended within the wait
};

struct ProcessRunResult {
    bool started = false;       // CreateProcessW worked
    std::uint32_t error = 0;    // GetLastError() when it did not
    bool ended = false;         // the process ended within the wait
    std::uint32_t exitCode = 0;  // GetExitCodeProcess once it ended
};

class Launcher {
public:
    virtual ~Launcher() = default;
    // ShellExecuteExW(SEE_MASK_NOCLOSEPROCESS, no window, no verb, file,
    // parameters, no directory, showCommand), then WaitForSingleObject on the
    // process for at most `waitMs`; the process handle is closed.
    virtual LaunchResult ShellExecuteAndWait(const std::wstring& file, const std::wstring& parameters,
                                             int showCommand, std::uint32_t waitMs) = 0;
    // CreateProcessW(no application name, the command line, no inheritance,
    // no creation flags, the caller's environment, `currentDirectory` as the
    // child's working directory, a zeroed STARTUPINFOW); the thread handle is
    // closed at once, the process is waited for at most `waitMs`, its exit
    // code read and its handle closed. The caller's current directory stays.
    // `noWindow`: CREATE_NO_WINDOW, a console program gets no window of its
    // own.
    virtual ProcessRunResult CreateProcessAndWait(const std::wstring& commandLine,
                                                  const std::wstring& currentDirectory, std::uint32_t waitMs,
                                                  bool noWindow) = 0;
};

}  // namespace platform
