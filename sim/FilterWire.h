// The filter driver's side of its wire format, written down here on its own
// (not taken from the core's headers): a wrong code or field position in the
// core then shows up as a request this driver refuses.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sim::filterwire {

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803..0x805, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr std::uint32_t kIoctlLegacy = 0x22200C;
constexpr std::uint32_t kIoctlWrite = 0x222010;
constexpr std::uint32_t kIoctlRead = 0x222014;

// A request block: six little-endian 32-bit words.
constexpr std::size_t kBlockSize = 24;
// Word positions of the new layout: time-out, request type (always 2),
// reserved, command, value, index.
constexpr int kWordTimeout = 0;
constexpr int kWordRequestType = 1;
constexpr int kWordCommand = 3;
constexpr int kWordValue = 4;
constexpr int kWordIndex = 5;
constexpr std::uint32_t kVendorRequestType = 2;
// Word positions of the legacy layout: time-out, kind, value, index, 0, 0.
constexpr int kLegacyWordKind = 1;
constexpr int kLegacyWordValue = 2;
constexpr int kLegacyWordIndex = 3;

// Vendor commands (new layout).
constexpr std::uint32_t kCmdWrite16 = 0x40;
constexpr std::uint32_t kCmdFirmwareDownload = 0x50;
constexpr std::uint32_t kCmdConfigDownload = 0x51;
constexpr std::uint32_t kCmdRegisterRead = 0x52;
constexpr std::uint32_t kCmdRegisterWrite = 0x53;
constexpr std::uint32_t kCmdCpuReset = 0x54;
constexpr std::uint32_t kCmdRomRead = 0x55;
constexpr std::uint32_t kCmdSpiErase = 0x57;
constexpr std::uint32_t kCmdFirmwareDownloadAlt = 0x60;
constexpr std::uint32_t kCmdConfigDownloadAlt = 0x61;

// Request kinds (legacy layout).
constexpr std::uint32_t kLegacyDeviceDescriptor = 1;
constexpr std::uint32_t kLegacyStringDescriptor = 3;
constexpr std::uint32_t kLegacyRegisterRead = 0x52;
constexpr std::uint32_t kLegacyRegisterWrite = 0x53;

// Downloads: the block followed by 32 data bytes.
constexpr std::size_t kChunkData = 32;
constexpr std::size_t kChunkSize = kBlockSize + kChunkData;
// ROM reads hand back this many bytes.
constexpr std::uint32_t kRomReadBytes = 32;

inline std::uint32_t Word(const std::uint8_t* block, int index) {
    const std::uint8_t* p = block + 4 * index;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace sim::filterwire
