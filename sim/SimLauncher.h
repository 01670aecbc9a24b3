// A simulated process starter: every start is recorded with the environment
// the child would get (ChildEnvironment over a simulated machine's
// variables) and handed to a program the test supplies; devcon starts go on
// to another launcher when one is given, such as the simulated USB stack.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ChildEnvironment.h"
#include "platform/Launcher.h"

namespace sim {

struct ProcessCall {
    std::wstring program;
    std::wstring commandLine;
    std::wstring currentDirectory;
    std::uint32_t waitMs = 0;
    bool started = false;
    bool noWindow = false;
    bool hidden = false;
    // The child's variables, in the order ChildEnvironment gives them.
    std::vector<platform::EnvironmentVariable> environment;

    // The value of a variable (any case of its name); empty when it has none.
    std::wstring Variable(const std::wstring& name) const;
    bool HasVariable(const std::wstring& name) const;
};

class SimLauncher : public platform::Launcher {
public:
    // Runs the started process; returns its exit code.
    using Program = std::function<std::uint32_t(const ProcessCall&)>;

    // The machine's variables a Windows 10 system gives without a user token.
    static std::vector<platform::EnvironmentVariable> MachineVariables();

    explicit SimLauncher(platform::Launcher* devcon = nullptr) : devcon_(devcon) {}

    void SetProgram(Program program);
    // Every later start fails with this error (0: starts again).
    void FailStarts(std::uint32_t error);
    void SetMachineEnvironment(std::vector<platform::EnvironmentVariable> variables);
    std::vector<ProcessCall> Calls() const;
    void ClearCalls();

    platform::ProcessRunResult StartAndWait(const platform::ChildProcess& child, std::uint32_t waitMs) override;

private:
    platform::Launcher* devcon_;
    mutable std::mutex mutex_;
    Program program_;
    std::uint32_t startError_ = 0;
    std::vector<platform::EnvironmentVariable> machine_ = MachineVariables();
    std::vector<ProcessCall> calls_;
};

}  // namespace sim
