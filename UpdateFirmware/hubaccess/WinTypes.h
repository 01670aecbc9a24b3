// The Windows integer names the hub access layer uses, as fixed-width types.
// They live in our namespace so they never clash with the system headers.
#pragma once

#include <cstdint>

namespace hubaccess {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using USHORT = std::uint16_t;
using BOOL = int;

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

}  // namespace hubaccess
