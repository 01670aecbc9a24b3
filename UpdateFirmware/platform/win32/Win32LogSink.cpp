#include "platform/win32/Win32LogSink.h"

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

void Win32LogSink::OutputDebugString(const std::wstring& record) { ::OutputDebugStringW(record.c_str()); }

}  // namespace platform::win32
