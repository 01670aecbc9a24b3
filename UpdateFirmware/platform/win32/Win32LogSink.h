// platform::LogSink on OutputDebugStringW.
#pragma once

#include "platform/LogSink.h"

namespace platform::win32 {

class Win32LogSink final : public LogSink {
public:
    void OutputDebugString(const std::wstring& record) override;
};

}  // namespace platform::win32
