// platform::Launcher on ShellExecuteExW, CreateProcessW and WaitForSingleObject.
#pragma once

#include "platform/Launcher.h"

namespace platform::win32 {

// COM on the calling thread for one scope, as ShellExecuteExW asks of its
// callers (shell extensions may need it): CoInitializeEx with an
// apartment-threaded model and no OLE1 DDE, balanced by CoUninitialize when it
// succeeded. A thread already in the multithreaded apartment keeps it
// (RPC_E_CHANGED_MODE) and is left as it was.
class ComApartment {
public:
    ComApartment();
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    // CoInitializeEx's result (an HRESULT).
    long result() const { return result_; }

private:
    long result_;
};

class Win32Launcher final : public Launcher {
public:
    // SEE_MASK_NOCLOSEPROCESS with SEE_MASK_FLAG_NO_UI: a program that cannot
    // be started is reported in the result, never in an error box that would
    // hold a hidden run. A start that gives no process handle counts as not
    // started (ERROR_INVALID_HANDLE). COM is initialised on the calling thread
    // for the call (ComApartment).
    LaunchResult ShellExecuteAndWait(const std::wstring& file, const std::wstring& parameters,
                                     int showCommand, std::uint32_t waitMs) override;
    // An empty `currentDirectory` keeps the caller's. A process that is
    // still running after the wait is left running (its handle is closed).
    ProcessRunResult CreateProcessAndWait(const std::wstring& commandLine,
                                          const std::wstring& currentDirectory,
                                          std::uint32_t waitMs, bool noWindow) override;
};

}  // namespace platform::win32
