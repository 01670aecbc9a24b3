// Small helpers of the application: hexadecimal text to a number, the
// file-exists test, and whole-file reads and writes on the files port.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hubaccess/WinTypes.h"
#include "platform/Files.h"

namespace app {

// Hexadecimal text to a number: for each character the result (unsigned
// 32-bit, wrapping) is shifted left by 4 bits and the character's value
// added: '0'-'9' give 0-9, 'A'-'F' and 'a'-'f' give 10-15, any other
// character gives 0. The bit pattern is returned as int; "" gives 0.
int nHexStrToInt(const std::wstring& strHex);

// TRUE when FindFirstFileW finds the path (the search is closed again).
hubaccess::BOOL bIsFileExist(platform::Files& files, const std::wstring& strPath);

struct WriteOutcome {
    bool ok = false;
    std::uint32_t error = 0;  // the system error when !ok
};

// Creates the file anew (CreateFileW with GENERIC_READ | GENERIC_WRITE,
// FILE_SHARE_READ, CREATE_NEW) and writes all bytes with one WriteFile. The
// file is written whole or not at all: after a failed or short write the
// partial file is deleted again (a short write reports ERROR_HANDLE_EOF).
WriteOutcome WriteNewFile(platform::Files& files, const std::wstring& path,
                          const std::vector<std::uint8_t>& bytes);

// The whole contents of a file; nullopt when it cannot be opened or read.
std::optional<std::vector<std::uint8_t>> ReadWholeFile(platform::Files& files, const std::wstring& path);

// ASCII-only lower case, for comparing paths the way the file system does.
std::wstring FoldPath(const std::wstring& path);

}  // namespace app
