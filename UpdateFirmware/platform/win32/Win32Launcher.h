// platform::Launcher on ShellExecuteExW and WaitForSingleObject.
#pragma once

#include "platform/Launcher.h"

namespace platform::win32 {

class Win32Launcher final : public Launcher {
public:
    // SEE_MASK_NOCLOSEPROCESS with SEE_MASK_FLAG_NO_UI: a program that cannot
    // be started is reported in the result, never in an error box that would
    // hold a hidden run. A start that gives no process handle counts as not
    // started (ERROR_INVALID_HANDLE).
    LaunchResult ShellExecuteAndWait(const std::wstring& file, const std::wstring& parameters,
                                     int showCommand, std::uint32_t waitMs) override;
};

}  // namespace platform::win32
