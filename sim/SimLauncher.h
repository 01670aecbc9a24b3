// A simulated process starter for the driver package's installer and
// uninstall batch: CreateProcess calls are recorded and handed to a program
// the test supplies; ShellExecute calls (devcon) go on to another launcher,
// such as the simulated USB stack.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Launcher.h"

namespace sim {

struct ProcessCall {
    std::wstring commandLine;
    std::wstring currentDirectory;
    std::uint32_t waitMs = 0;
    bool started = false;
    bool noWindow = false;
};

class SimLauncher : public platform::Launcher {
public:
    // Runs the started process; returns its exit code.
    using Program = std::function<std::uint32_t(const ProcessCall&)>;

    explicit SimLauncher(platform::Launcher* shellExecute = nullptr) : shellExecute_(shellExecute) {}

    void SetProgram(Program program);
    // Every later CreateProcess fails with this error (0: starts again).
    void FailStarts(std::uint32_t error);
    std::vector<ProcessCall> Calls() const;
    void ClearCalls();

    platform::LaunchResult ShellExecuteAndWait(const std::wstring& file, const std::wstring& parameters,
                                               int showCommand, std::uint32_t waitMs) override;
    platform::ProcessRunResult CreateProcessAndWait(const std::wstring& commandLine,
                                                    const std::wstring& currentDirectory,
                                                    std::uint32_t waitMs, bool noWindow) override;

private:
    platform::Launcher* shellExecute_;
    mutable std::mutex mutex_;
    Program program_;
    std::uint32_t startError_ = 0;
    std::vector<ProcessCall> calls_;
};

}  // namespace sim
