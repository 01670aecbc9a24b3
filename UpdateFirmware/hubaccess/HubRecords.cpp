#include "hubaccess/HubRecords.h"

namespace hubaccess {

std::int8_t ComputePositionIndex(BYTE parentDepth, BYTE parentPortCount, BYTE port) {
    const std::uint32_t index = (static_cast<std::uint32_t>(parentDepth) + 1u) * parentPortCount + port;
    return static_cast<std::int8_t>(static_cast<std::uint8_t>(index & 0xFFu));
}

std::wstring BoundedText(const std::wstring& text, std::size_t size) {
    return size == 0 ? std::wstring() : text.substr(0, size - 1);
}

std::string BoundedText(const std::string& text, std::size_t size) {
    return size == 0 ? std::string() : text.substr(0, size - 1);
}

}  // namespace hubaccess
