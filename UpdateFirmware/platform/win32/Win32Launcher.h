// platform::Launcher on CreateProcessW and WaitForSingleObject.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ChildEnvironment.h"
#include "platform/Launcher.h"

namespace platform::win32 {

// The machine's variables: CreateEnvironmentBlock without a user token and
// without this process's environment, userenv.dll taken by its full path
// from the system folder. False (and `error`) when they cannot be had.
// This process's SystemRoot is set to the system's Windows folder on the way.
bool MachineEnvironment(std::vector<EnvironmentVariable>* variables, std::uint32_t* error);

class Win32Launcher final : public Launcher {
public:
    // A program that is not a full path, an empty working directory or a
    // text with a NUL in it is refused (ERROR_INVALID_PARAMETER). A process
    // that is still running after the wait is left running (its handle is
    // closed).
    ProcessRunResult StartAndWait(const ChildProcess& child, std::uint32_t waitMs) override;
};

}  // namespace platform::win32
