// platform::Processes: the process list through the PSAPI functions, looked up
// at run time (never linked): kernel32's K32 exports, else psapi.dll loaded by
// its bare name; and process termination.
#pragma once

#include <memory>
#include <mutex>

#include "platform/Processes.h"

namespace platform::win32 {

class Win32Processes final : public Processes {
public:
    Win32Processes();
    ~Win32Processes() override;
    Win32Processes(const Win32Processes&) = delete;
    Win32Processes& operator=(const Win32Processes&) = delete;

    // The functions are looked up on first use and kept until the object
    // ends; a failed lookup is tried again on the next call.
    ProcessListResult EnumProcesses() override;
    bool FirstModuleBaseName(std::uint32_t processId, std::wstring* name) override;
    TerminateResult TerminateProcess(std::uint32_t processId, std::uint32_t exitCode) override;
    std::uint32_t CurrentProcessId() override;

private:
    struct Psapi;
    // Looks the three functions up when needed. Returns them, or nullptr
    // with `status` and `error` (the failed call's own) saying why not.
    const Psapi* Load(ProcessListStatus* status, std::uint32_t* error);

    std::mutex loadLock_;
    std::unique_ptr<Psapi> psapi_;
};

}  // namespace platform::win32
