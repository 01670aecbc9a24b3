// The filter driver's wire format: I/O control codes, the 24-byte request
// block in its two layouts, vendor command codes and the version block.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace hubaccess {

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr std::uint32_t FilterCtlCode(std::uint32_t function) {
    return (0x22u << 16) | (0u << 14) | (function << 2) | 0u;
}

constexpr std::uint32_t IOCTL_FILTER_LEGACY = FilterCtlCode(0x803);  // 0x22200C
constexpr std::uint32_t IOCTL_FILTER_WRITE = FilterCtlCode(0x804);   // 0x222010
constexpr std::uint32_t IOCTL_FILTER_READ = FilterCtlCode(0x805);    // 0x222014
static_assert(IOCTL_FILTER_LEGACY == 0x22200C && IOCTL_FILTER_WRITE == 0x222010 &&
              IOCTL_FILTER_READ == 0x222014);

// Vendor commands of the new layout.
constexpr std::uint32_t CMD_REG_WRITE16 = 0x40;
constexpr std::uint32_t CMD_FW_DOWNLOAD = 0x50;
constexpr std::uint32_t CMD_CONFIG_DOWNLOAD = 0x51;
constexpr std::uint32_t CMD_REG_READ = 0x52;
constexpr std::uint32_t CMD_REG_WRITE = 0x53;
constexpr std::uint32_t CMD_CPU_RESET = 0x54;
constexpr std::uint32_t CMD_ROM_READ = 0x55;
constexpr std::uint32_t CMD_SPI_BLOCK_ERASE = 0x57;
constexpr std::uint32_t CMD_FW_DOWNLOAD_ALT = 0x60;
constexpr std::uint32_t CMD_CONFIG_DOWNLOAD_ALT = 0x61;

// Request kinds of the legacy layout.
constexpr std::uint32_t LEGACY_GET_DEVICE_DESCRIPTOR = 1;
constexpr std::uint32_t LEGACY_GET_STRING_DESCRIPTOR = 3;
constexpr std::uint32_t LEGACY_REG_READ = 0x52;
constexpr std::uint32_t LEGACY_REG_WRITE = 0x53;

constexpr std::uint32_t kDefaultRequestTimeoutMs = 500;
constexpr std::uint32_t kRequestTypeVendor = 2;
constexpr std::size_t kFilterRequestSize = 24;
constexpr std::size_t kDownloadChunkData = 32;
constexpr std::size_t kDownloadChunkSize = kFilterRequestSize + kDownloadChunkData;  // 56

// Registers the channel itself touches.
constexpr std::uint32_t REG_VERSION_BLOCK = 0x7F0;
constexpr std::uint32_t REG_WRITE16_ADDR = 0x6400;
constexpr std::uint32_t CPU_START_POSITION_ADDR = 0x5846;
constexpr std::uint32_t REG_CPU_RESET = 0x5810;

using FilterBlock = std::array<std::uint8_t, kFilterRequestSize>;

// New layout (IOCTL_FILTER_WRITE / IOCTL_FILTER_READ).
struct FILTER_REQUEST {
    std::uint32_t dwTimeout = kDefaultRequestTimeoutMs;
    std::uint32_t dwRequestType = kRequestTypeVendor;
    std::uint32_t dwReserved = 0;
    std::uint32_t dwCommand = 0;
    std::uint32_t dwValue = 0;
    std::uint32_t dwIndex = 0;

    FilterBlock Encode() const;
    static FILTER_REQUEST Decode(const std::uint8_t* block);
};

// Legacy layout (IOCTL_FILTER_LEGACY).
struct FILTER_REQUEST_LEGACY {
    std::uint32_t dwTimeout = kDefaultRequestTimeoutMs;
    std::uint32_t dwRequestKind = 0;
    std::uint32_t dwValue = 0;
    std::uint32_t dwIndex = 0;
    std::uint32_t dwReserved1 = 0;
    std::uint32_t dwReserved2 = 0;

    FilterBlock Encode() const;
    static FILTER_REQUEST_LEGACY Decode(const std::uint8_t* block);
};

// The 16 bytes from register 0x7F0 upward.
struct FW_VERSION_BLOCK {
    std::array<std::uint8_t, 16> bytes{};

    // Bytes 0..5 as 12 lower-case hexadecimal digits.
    std::wstring VersionText() const;
    // Byte 8 is 1 or 2, byte 9 is 0 and byte 10 is 7 in a valid block.
    bool IsValid() const;
};

}  // namespace hubaccess
