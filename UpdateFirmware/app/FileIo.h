// Whole-file reads and writes over the Files port for the application's own
// files (firmware files, the temporary image, the version text file).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hubaccess/WinTypes.h"

namespace platform {
class Files;
}

namespace app {

enum class FileReadStatus { Ok, Failed, TooLarge };

// Reads the whole file, opened read-only with read sharing. Failed: it could
// not be opened or read whole (`*pError` tells why); TooLarge: longer than
// `limit` (nothing read).
FileReadStatus ReadWholeFile(platform::Files& files, const std::wstring& path, std::uint64_t limit,
                             std::vector<hubaccess::BYTE>* pOut, std::uint32_t* pError);

// (Re)writes the file with exactly these bytes: created when missing
// (write-through), written from its start, cut behind the last byte and
// flushed. On any failure the file is deleted again, so no half-written file
// stays, and `*pError` tells why.
bool WriteWholeFile(platform::Files& files, const std::wstring& path,
                    const std::vector<hubaccess::BYTE>& bytes, std::uint32_t* pError);

}  // namespace app
