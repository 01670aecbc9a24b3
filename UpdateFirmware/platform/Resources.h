// Resources of the program's own executable, looked up by type and numeric
// identifier (FindResourceW, LoadResource, LockResource, SizeofResource).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ResourceData {
    bool found = false;
    std::uint32_t error = 0;  // GetLastError() when not found
    // The resource's bytes, exactly SizeofResource of them: resources carry
    // no terminator of their own.
    std::vector<std::uint8_t> bytes;
};

class Resources {
public:
    virtual ~Resources() = default;
    // FindResourceW(own module, MAKEINTRESOURCEW(id), type), then the bytes.
    virtual ResourceData Load(const std::wstring& type, std::uint16_t id) = 0;
};

}  // namespace platform
