// The calling thread's last system error, as the core's operations see it.
//
// The ports report errors as values; operations that log "the last system
// error" read it from here, so records show the same number on Linux and on
// Windows whatever else ran on the thread in between.
#pragma once

#include <cstdint>

namespace hubaccess {

std::uint32_t GetLastSystemError();
void SetLastSystemError(std::uint32_t error);

}  // namespace hubaccess
