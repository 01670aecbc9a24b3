#include "hubaccess/LastError.h"

namespace hubaccess {
namespace {
thread_local std::uint32_t t_lastError = 0;
}

std::uint32_t GetLastSystemError() { return t_lastError; }
void SetLastSystemError(std::uint32_t error) { t_lastError = error; }

}  // namespace hubaccess
