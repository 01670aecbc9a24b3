#include "sim/SimLauncher.h"

#include "platform/Win32Errors.h"

namespace sim {

void SimLauncher::SetProgram(Program program) {
    std::lock_guard<std::mutex> guard(mutex_);
    program_ = std::move(program);
}

void SimLauncher::FailStarts(std::uint32_t error) {
    std::lock_guard<std::mutex> guard(mutex_);
    startError_ = error;
}

std::vector<ProcessCall> SimLauncher::Calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
}

void SimLauncher::ClearCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.clear();
}

platform::LaunchResult SimLauncher::ShellExecuteAndWait(const std::wstring& file,
                                                        const std::wstring& parameters,
                                                        int showCommand, std::uint32_t waitMs) {
    if (shellExecute_) return shellExecute_->ShellExecuteAndWait(file, parameters, showCommand, waitMs);
    platform::LaunchResult r;
    r.error = platform::kErrorFileNotFound;
    return r;
}

platform::ProcessRunResult SimLauncher::CreateProcessAndWait(const std::wstring& commandLine,
                                                             const std::wstring& currentDirectory,
                                                             std::uint32_t waitMs, bool noWindow) {
    ProcessCall call{commandLine, currentDirectory, waitMs, false, noWindow};
    Program program;
    platform::ProcessRunResult r;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (startError_ != 0) {
            r.error = startError_;
        } else {
            call.started = true;
            program = program_;
        }
        calls_.push_back(call);
    }
    if (!call.started) return r;
    r.started = true;
    r.ended = true;
    // The program runs outside the lock: it may look at other ports.
    r.exitCode = program ? program(call) : 0;
    return r;
}

}  // namespace sim
