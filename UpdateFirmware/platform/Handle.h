// Opaque OS handle value as the core sees it.
//
// Windows has two "no handle" values that callers must keep apart: NULL (0)
// and INVALID_HANDLE_VALUE (all bits set). Some operations answer them with
// different result codes, so the core never folds one into the other.
#pragma once

#include <cstdint>

namespace platform {

struct Handle {
    std::uintptr_t raw = 0;

    static constexpr Handle Null() { return Handle{0}; }
    static constexpr Handle Invalid() { return Handle{~static_cast<std::uintptr_t>(0)}; }

    constexpr bool IsNull() const { return raw == 0; }
    constexpr bool IsInvalid() const { return raw == ~static_cast<std::uintptr_t>(0); }
    // A handle that refers to an open object (neither NULL nor INVALID).
    constexpr bool IsValid() const { return !IsNull() && !IsInvalid(); }

    friend constexpr bool operator==(Handle a, Handle b) { return a.raw == b.raw; }
    friend constexpr bool operator!=(Handle a, Handle b) { return a.raw != b.raw; }
};

}  // namespace platform
