#include "sim/SimLauncher.h"

#include <cwctype>

#include "platform/Win32Errors.h"

namespace sim {

namespace {

bool SameName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::towupper(a[i]) != std::towupper(b[i])) return false;
    return true;
}

bool IsDevcon(const std::wstring& program) {
    const std::size_t slash = program.find_last_of(L"\\/");
    const std::wstring name = program.substr(slash == std::wstring::npos ? 0 : slash + 1);
    return name.size() >= 6 && SameName(name.substr(0, 6), L"devcon");
}

}  // namespace

std::wstring ProcessCall::Variable(const std::wstring& name) const {
    for (const auto& v : environment)
        if (SameName(v.name, name)) return v.value;
    return {};
}

bool ProcessCall::HasVariable(const std::wstring& name) const {
    for (const auto& v : environment)
        if (SameName(v.name, name)) return true;
    return false;
}

std::vector<platform::EnvironmentVariable> SimLauncher::MachineVariables() {
    return {
        {L"ALLUSERSPROFILE", L"C:\\ProgramData"},
        {L"ComSpec", L"C:\\Windows\\system32\\cmd.exe"},
        {L"COMPUTERNAME", L"BENCH"},
        {L"NUMBER_OF_PROCESSORS", L"8"},
        {L"OS", L"Windows_NT"},
        {L"Path", L"C:\\Windows\\system32;C:\\Windows;C:\\Windows\\System32\\Wbem"},
        {L"PATHEXT", L".COM;.EXE;.BAT;.CMD;.VBS;.VBE;.JS;.JSE;.WSF;.WSH;.MSC"},
        {L"PROCESSOR_ARCHITECTURE", L"AMD64"},
        {L"PROCESSOR_IDENTIFIER", L"Intel64 Family 6 Model 158 Stepping 10, GenuineIntel"},
        {L"PROCESSOR_LEVEL", L"6"},
        {L"ProgramFiles", L"C:\\Program Files"},
        {L"SystemDrive", L"C:"},
        {L"SystemRoot", L"C:\\Windows"},
        {L"TEMP", L"C:\\Windows\\TEMP"},
        {L"TMP", L"C:\\Windows\\TEMP"},
        {L"USERNAME", L"SYSTEM"},
        {L"USERPROFILE", L"C:\\Users\\Default"},
        {L"windir", L"C:\\Windows"},
    };
}

void SimLauncher::SetProgram(Program program) {
    std::lock_guard<std::mutex> guard(mutex_);
    program_ = std::move(program);
}

void SimLauncher::FailStarts(std::uint32_t error) {
    std::lock_guard<std::mutex> guard(mutex_);
    startError_ = error;
}

void SimLauncher::SetMachineEnvironment(std::vector<platform::EnvironmentVariable> variables) {
    std::lock_guard<std::mutex> guard(mutex_);
    machine_ = std::move(variables);
}

std::vector<ProcessCall> SimLauncher::Calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
}

void SimLauncher::ClearCalls() {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.clear();
}

platform::ProcessRunResult SimLauncher::StartAndWait(const platform::ChildProcess& child, std::uint32_t waitMs) {
    ProcessCall call;
    call.program = child.program;
    call.commandLine = child.commandLine;
    call.currentDirectory = child.currentDirectory;
    call.waitMs = waitMs;
    call.noWindow = child.noWindow;
    call.hidden = child.hidden;
    Program program;
    platform::ProcessRunResult r;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        call.environment = platform::ChildEnvironment(machine_, L"C:\\Windows", child.currentDirectory);
        if (startError_ != 0) {
            r.error = startError_;
        } else {
            call.started = true;
            program = program_;
        }
        calls_.push_back(call);
    }
    if (!call.started) return r;
    if (devcon_ != nullptr && IsDevcon(child.program)) return devcon_->StartAndWait(child, waitMs);
    r.started = true;
    r.ended = true;
    // The program runs outside the lock: it may look at other ports.
    r.exitCode = program ? program(call) : 0;
    return r;
}

}  // namespace sim
