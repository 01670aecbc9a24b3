// The process list (PSAPI, loaded at run time) and process termination.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

enum class ProcessListStatus {
    Ok,
    LibraryMissing,   // PSAPI.DLL could not be loaded
    FunctionMissing,  // one of its functions was not found
    EnumFailed,       // EnumProcesses failed
};

struct ProcessListResult {
    ProcessListStatus status = ProcessListStatus::Ok;
    std::uint32_t error = 0;
    // Process IDs in the system's order (at most 1024).
    std::vector<std::uint32_t> ids;
};

struct TerminateResult {
    bool opened = false;      // OpenProcess(PROCESS_TERMINATE) worked
    bool terminated = false;  // TerminateProcess worked
    std::uint32_t error = 0;
};

class Processes {
public:
    virtual ~Processes() = default;
    virtual ProcessListResult EnumProcesses() = 0;
    // Base name of the process's first module (OpenProcess with query and
    // VM-read rights, EnumProcessModules, GetModuleBaseNameW). False when any
    // step fails.
    virtual bool FirstModuleBaseName(std::uint32_t processId, std::wstring* name) = 0;
    virtual TerminateResult TerminateProcess(std::uint32_t processId, std::uint32_t exitCode) = 0;
    virtual std::uint32_t CurrentProcessId() = 0;
};

}  // namespace platform
