// Starting other programs and waiting for them.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr int kSwHide = 0;

struct LaunchResult {
    bool started = false;    // ShellExecuteExW gave a process
    std::uint32_t error = 0;  // GetLastError() when it did not
    bool ended = false;       // the process ended within the wait
};

class Launcher {
public:
    virtual ~Launcher() = default;
    // ShellExecuteExW(SEE_MASK_NOCLOSEPROCESS, no window, no verb, file,
    // parameters, no directory, showCommand), then WaitForSingleObject on the
    // process for at most `waitMs`; the process handle is closed.
    virtual LaunchResult ShellExecuteAndWait(const std::wstring& file, const std::wstring& parameters,
                                             int showCommand, std::uint32_t waitMs) = 0;
};

}  // namespace platform
