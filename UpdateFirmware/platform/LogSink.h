// Where a finished debug-log record goes (OutputDebugStringW on Windows).
#pragma once

#include <string>

namespace platform {

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void OutputDebugString(const std::wstring& record) = 0;
};

}  // namespace platform
