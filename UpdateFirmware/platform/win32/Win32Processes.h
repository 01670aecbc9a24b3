// platform::Processes: the process list through PSAPI.DLL, loaded at run time
// from the system directory (never linked), and process termination.
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

    // PSAPI.DLL is loaded on first use and kept until the object ends; a
    // failed load is tried again on the next call.
    ProcessListResult EnumProcesses() override;
    bool FirstModuleBaseName(std::uint32_t processId, std::wstring* name) override;
    TerminateResult TerminateProcess(std::uint32_t processId, std::uint32_t exitCode) override;
    std::uint32_t CurrentProcessId() override;

private:
    struct Psapi;
    // Loads PSAPI.DLL when needed. Returns the library with its three
    // functions, or nullptr with `status` and `error` saying why not.
    const Psapi* Load(ProcessListStatus* status, std::uint32_t* error);

    std::mutex loadLock_;
    std::unique_ptr<Psapi> psapi_;
};

}  // namespace platform::win32
