#include "app/AppHelpers.h"

#include <limits>

namespace app {

int nHexStrToInt(const std::wstring& strHex) {
    std::uint32_t value = 0;
    for (const wchar_t c : strHex) {
        std::uint32_t digit = 0;
        if (c >= L'0' && c <= L'9')
            digit = static_cast<std::uint32_t>(c - L'0');
        else if (c >= L'A' && c <= L'F')
            digit = static_cast<std::uint32_t>(c - L'A' + 10);
        else if (c >= L'a' && c <= L'f')
            digit = static_cast<std::uint32_t>(c - L'a' + 10);
        value = (value << 4) + digit;
    }
    // The same bits as an int (two's complement), without relying on an
    // implementation-defined conversion.
    if (value <= static_cast<std::uint32_t>(std::numeric_limits<int>::max())) return static_cast<int>(value);
    return static_cast<int>(value - 0x80000000u) + std::numeric_limits<int>::min();
}

hubaccess::BOOL bIsFileExist(platform::Files& files, const std::wstring& strPath) {
    return files.FindFirstFile(strPath).ok ? hubaccess::TRUE : hubaccess::FALSE;
}

WriteOutcome WriteNewFile(platform::Files& files, const std::wstring& path,
                          const std::vector<std::uint8_t>& bytes) {
    WriteOutcome outcome;
    const platform::FileOpenResult opened =
        files.CreateFile(path, platform::kGenericRead | platform::kGenericWrite, platform::kFileShareRead,
                         platform::FileDisposition::CreateNew, 0);
    if (!opened.handle.IsValid()) {
        outcome.error = opened.error;
        return outcome;
    }
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) {
        files.CloseHandle(opened.handle);
        files.DeleteFile(path);
        outcome.error = platform::kErrorInvalidParameter;
        return outcome;
    }
    static const std::uint8_t kNothing = 0;
    const auto count = static_cast<std::uint32_t>(bytes.size());
    std::uint32_t done = 0;
    const platform::FileResult written =
        files.WriteFile(opened.handle, bytes.empty() ? &kNothing : bytes.data(), count, &done);
    files.CloseHandle(opened.handle);
    if (!written.ok || done != count) {
        outcome.error = written.ok ? platform::kErrorHandleEof : written.error;
        files.DeleteFile(path);
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(platform::Files& files, const std::wstring& path) {
    const platform::FileOpenResult opened =
        files.CreateFile(path, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite,
                         platform::FileDisposition::OpenExisting, 0);
    if (!opened.handle.IsValid()) return std::nullopt;
    std::optional<std::vector<std::uint8_t>> result;
    std::uint64_t size = 0;
    if (files.GetFileSize(opened.handle, &size).ok && size <= (64u << 20)) {
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        std::uint32_t done = 0;
        const auto count = static_cast<std::uint32_t>(bytes.size());
        if (count == 0 || (files.ReadFile(opened.handle, bytes.data(), count, &done).ok && done == count))
            result = std::move(bytes);
    }
    files.CloseHandle(opened.handle);
    return result;
}

std::wstring FoldPath(const std::wstring& path) {
    std::wstring out(path);
    for (auto& c : out) {
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
        if (c == L'/') c = L'\\';
    }
    return out;
}

}  // namespace app
