#include "platform/win32/Win32CodePage.h"

#include <string>
#include <system_error>
#include <vector>

#include "platform/win32/WindowsApi.h"

namespace platform::win32 {

namespace {

[[noreturn]] void ThrowLastError(const char* what) {
    throw std::system_error(static_cast<int>(::GetLastError()), std::system_category(), what);
}

}  // namespace

std::wstring Win32CodePage::AnsiRoundTrip(const std::wstring& text) {
    const std::wstring wide = text.substr(0, text.find(L'\0'));
    if (wide.empty()) return {};

    // Measure (the count includes the NUL), then convert into a zeroed buffer
    // one byte longer.
    const int narrowBytes = ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (narrowBytes <= 0) ThrowLastError("WideCharToMultiByte");
    std::vector<char> narrow(static_cast<std::size_t>(narrowBytes) + 1, '\0');
    if (::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow.data(), narrowBytes, nullptr, nullptr) <= 0)
        ThrowLastError("WideCharToMultiByte");

    const int wideChars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), -1, nullptr, 0);
    if (wideChars <= 0) ThrowLastError("MultiByteToWideChar");
    std::vector<wchar_t> back(static_cast<std::size_t>(wideChars), L'\0');
    if (::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), -1, back.data(), wideChars) <= 0)
        ThrowLastError("MultiByteToWideChar");
    return std::wstring(back.data());
}

std::wstring Win32CodePage::ThreadAnsiToWide(const std::string& text) {
    const std::string narrow = text.substr(0, text.find('\0'));
    if (narrow.empty()) return {};
    const int wideChars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.c_str(), -1, nullptr, 0);
    if (wideChars <= 0) ThrowLastError("MultiByteToWideChar");
    std::vector<wchar_t> wide(static_cast<std::size_t>(wideChars), L'\0');
    if (::MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.c_str(), -1, wide.data(), wideChars) <= 0)
        ThrowLastError("MultiByteToWideChar");
    return std::wstring(wide.data());
}

}  // namespace platform::win32
