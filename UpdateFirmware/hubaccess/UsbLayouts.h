// Byte layouts of the Windows USB hub requests the topology walk and the hub
// queries send, with small encode / decode helpers. The structures are packed
// (one-byte alignment) and the same on 32- and 64-bit Windows; the Windows
// build checks every constant here against the system's own headers
// (platform/win32/UsbLayoutChecks.cpp).
//
// Decoders only ever read the bytes a request returned: a field beyond them
// reads as absent (false / empty), never from the rest of the buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hubaccess/ByteOrder.h"
#include "hubaccess/WinTypes.h"

namespace hubaccess::usblayout {

// --- IOCTL codes (device type FILE_DEVICE_USB, METHOD_BUFFERED, FILE_ANY_ACCESS).
// 0x220408 is the root hub name on a host controller handle and the node
// information on a hub handle.
constexpr DWORD kIoctlGetRootHubName = 0x220408;
constexpr DWORD kIoctlGetNodeInformation = 0x220408;
constexpr DWORD kIoctlGetNodeConnectionInformation = 0x22040C;
constexpr DWORD kIoctlGetDescriptorFromNodeConnection = 0x220410;
constexpr DWORD kIoctlGetNodeConnectionName = 0x220414;
constexpr DWORD kIoctlGetNodeConnectionInformationEx = 0x220448;

// --- Standard USB device descriptor (18 bytes).
constexpr std::size_t kDeviceDescriptorSize = 18;
constexpr std::size_t kDevDescBcdUsb = 2;
constexpr std::size_t kDevDescIdVendor = 8;
constexpr std::size_t kDevDescIdProduct = 10;
constexpr std::size_t kDevDescBcdDevice = 12;
constexpr std::size_t kDevDescIManufacturer = 14;
constexpr std::size_t kDevDescIProduct = 15;
constexpr std::size_t kDevDescISerialNumber = 16;

struct DeviceDescriptorFields {
    WORD bcdUSB = 0;
    WORD idVendor = 0;
    WORD idProduct = 0;
    WORD bcdDevice = 0;
    BYTE iManufacturer = 0;
    BYTE iProduct = 0;
    BYTE iSerialNumber = 0;
};

inline DeviceDescriptorFields DecodeDeviceDescriptor(const BYTE* d) {
    DeviceDescriptorFields f;
    f.bcdUSB = GetLe16(d + kDevDescBcdUsb);
    f.idVendor = GetLe16(d + kDevDescIdVendor);
    f.idProduct = GetLe16(d + kDevDescIdProduct);
    f.bcdDevice = GetLe16(d + kDevDescBcdDevice);
    f.iManufacturer = d[kDevDescIManufacturer];
    f.iProduct = d[kDevDescIProduct];
    f.iSerialNumber = d[kDevDescISerialNumber];
    return f;
}

// --- USB_NODE_INFORMATION: NodeType (4), HubDescriptor (71), HubIsBusPowered (1).
constexpr std::size_t kNodeInfoSize = 76;
constexpr std::size_t kNodeInfoHubDescriptor = 4;
constexpr std::size_t kNodeInfoNumberOfPorts = 6;  // HubDescriptor.bNumberOfPorts

// The hub's bNumberOfPorts; false when the reply did not reach it.
inline bool DecodeNodeInfoPorts(const BYTE* reply, std::size_t bytesReturned, BYTE* ports) {
    if (bytesReturned <= kNodeInfoNumberOfPorts) return false;
    *ports = reply[kNodeInfoNumberOfPorts];
    return true;
}

// --- USB_NODE_CONNECTION_INFORMATION(_EX): the fixed part, then the open pipes.
constexpr std::size_t kConnInfoConnectionIndex = 0;
constexpr std::size_t kConnInfoDeviceDescriptor = 4;
constexpr std::size_t kConnInfoCurrentConfigurationValue = 22;
constexpr std::size_t kConnInfoSpeed = 23;  // EX; LowSpeed in the plain layout
constexpr std::size_t kConnInfoDeviceIsHub = 24;
constexpr std::size_t kConnInfoDeviceAddress = 25;
constexpr std::size_t kConnInfoNumberOfOpenPipes = 27;
constexpr std::size_t kConnInfoConnectionStatus = 31;
constexpr std::size_t kConnInfoPipeList = 35;
constexpr std::size_t kConnInfoFixedSize = 35;
constexpr std::size_t kPipeInfoSize = 11;  // endpoint descriptor (7), ScheduleOffset (4)
// The buffers the tool sends: room for 60 pipes (EX) and 30 pipes (plain).
constexpr std::size_t kConnInfoExSize = kConnInfoFixedSize + 60 * kPipeInfoSize;  // 695
constexpr std::size_t kConnInfoSize = kConnInfoFixedSize + 30 * kPipeInfoSize;    // 365
// ConnectionStatus DeviceConnected.
constexpr ULONG kDeviceConnected = 1;

struct ConnectionInfo {
    ULONG connectionIndex = 0;
    std::array<BYTE, kDeviceDescriptorSize> deviceDescriptor{};
    BYTE currentConfigurationValue = 0;
    BYTE speed = 0;  // 0 when read through the plain layout
    bool deviceIsHub = false;
    WORD deviceAddress = 0;
    ULONG numberOfOpenPipes = 0;
    ULONG connectionStatus = 0;
};

// A zeroed request buffer of `size` bytes (kConnInfoExSize or kConnInfoSize)
// asking about `port`.
inline std::vector<BYTE> EncodeConnectionInfoRequest(ULONG port, std::size_t size) {
    std::vector<BYTE> buffer(size < kConnInfoFixedSize ? kConnInfoFixedSize : size, 0);
    PutLe32(buffer.data() + kConnInfoConnectionIndex, port);
    return buffer;
}

// The fixed part of a reply; false when fewer than its 35 bytes came back.
// `ex` says which layout the reply has (the plain one has no Speed).
inline bool DecodeConnectionInfo(const BYTE* reply, std::size_t bytesReturned, bool ex,
                                 ConnectionInfo* info) {
    if (bytesReturned < kConnInfoFixedSize) return false;
    ConnectionInfo c;
    c.connectionIndex = GetLe32(reply + kConnInfoConnectionIndex);
    for (std::size_t i = 0; i < kDeviceDescriptorSize; ++i)
        c.deviceDescriptor[i] = reply[kConnInfoDeviceDescriptor + i];
    c.currentConfigurationValue = reply[kConnInfoCurrentConfigurationValue];
    c.speed = ex ? reply[kConnInfoSpeed] : 0;
    c.deviceIsHub = reply[kConnInfoDeviceIsHub] != 0;
    c.deviceAddress = GetLe16(reply + kConnInfoDeviceAddress);
    c.numberOfOpenPipes = GetLe32(reply + kConnInfoNumberOfOpenPipes);
    c.connectionStatus = GetLe32(reply + kConnInfoConnectionStatus);
    *info = c;
    return true;
}

// --- Name blocks. Wide names are UTF-16LE, NUL-terminated; ActualLength is
// the size in bytes of the whole block. A reported length is believed only
// when it is even, covers at least the fixed part and stays within this bound.
constexpr ULONG kMaxNameBlockSize = 4096;

// Reads UTF-16LE text from `bytes` bytes at `p`, up to the first NUL unit or
// the last whole unit.
inline std::wstring DecodeUtf16(const BYTE* p, std::size_t bytes) {
    std::wstring text;
    const std::size_t units = bytes / 2;
    for (std::size_t i = 0; i < units; ++i) {
        std::uint32_t u = GetLe16(p + 2 * i);
        if (u == 0) break;
        if (sizeof(wchar_t) == 4 && u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            const std::uint32_t low = GetLe16(p + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        text.push_back(static_cast<wchar_t>(u));
    }
    return text;
}

// USB_ROOT_HUB_NAME: ActualLength, RootHubName.
constexpr std::size_t kRootHubNameActualLength = 0;
constexpr std::size_t kRootHubNameText = 4;
constexpr std::size_t kRootHubNameFixedSize = 6;

inline bool IsValidRootHubNameLength(ULONG actualLength) {
    return actualLength % 2 == 0 && actualLength >= kRootHubNameFixedSize &&
           actualLength <= kMaxNameBlockSize;
}

// The ActualLength field of a reply; 0 when the reply did not reach it.
inline ULONG DecodeRootHubNameLength(const BYTE* reply, std::size_t bytesReturned) {
    if (bytesReturned < kRootHubNameText) return 0;
    return GetLe32(reply + kRootHubNameActualLength);
}

// The name in a reply of `bytesReturned` bytes.
inline std::wstring DecodeRootHubName(const BYTE* reply, std::size_t bytesReturned) {
    if (bytesReturned <= kRootHubNameText) return {};
    return DecodeUtf16(reply + kRootHubNameText, bytesReturned - kRootHubNameText);
}

// USB_NODE_CONNECTION_NAME: ConnectionIndex, ActualLength, NodeName. A port
// without a hub reports 10 (an empty name), so a usable length is above 10.
constexpr std::size_t kConnNameConnectionIndex = 0;
constexpr std::size_t kConnNameActualLength = 4;
constexpr std::size_t kConnNameText = 8;
constexpr std::size_t kConnNameFixedSize = 10;

inline bool IsValidConnectionNameLength(ULONG actualLength) {
    return actualLength % 2 == 0 && actualLength > kConnNameFixedSize &&
           actualLength <= kMaxNameBlockSize;
}

// A zeroed request of `size` bytes (at least the fixed part) for `port`:
// the length probe with kConnNameFixedSize, the read with the reported
// ActualLength.
inline std::vector<BYTE> EncodeConnectionNameRequest(ULONG port, std::size_t size) {
    std::vector<BYTE> buffer(size < kConnNameFixedSize ? kConnNameFixedSize : size, 0);
    PutLe32(buffer.data() + kConnNameConnectionIndex, port);
    return buffer;
}

// The ActualLength field of a reply; 0 when the reply did not reach it.
inline ULONG DecodeConnectionNameLength(const BYTE* reply, std::size_t bytesReturned) {
    if (bytesReturned < kConnNameText) return 0;
    return GetLe32(reply + kConnNameActualLength);
}

inline std::wstring DecodeConnectionName(const BYTE* reply, std::size_t bytesReturned) {
    if (bytesReturned <= kConnNameText) return {};
    return DecodeUtf16(reply + kConnNameText, bytesReturned - kConnNameText);
}

// --- USB_DESCRIPTOR_REQUEST: ConnectionIndex, the setup packet, then the
// data; the tool uses one block of 12 + 2048 bytes as input and output.
constexpr std::size_t kDescReqConnectionIndex = 0;
constexpr std::size_t kDescReqBmRequest = 4;
constexpr std::size_t kDescReqBRequest = 5;
constexpr std::size_t kDescReqWValue = 6;
constexpr std::size_t kDescReqWIndex = 8;
constexpr std::size_t kDescReqWLength = 10;
constexpr std::size_t kDescReqData = 12;
constexpr std::size_t kDescReqHeaderSize = 12;
constexpr std::size_t kDescReqDataSize = 2048;
constexpr std::size_t kDescReqSize = kDescReqHeaderSize + kDescReqDataSize;  // 2060

constexpr BYTE kRequestTypeDeviceToHost = 0x80;
constexpr BYTE kRequestGetDescriptor = 0x06;
constexpr BYTE kDescriptorTypeString = 0x03;

using DescriptorRequestBlock = std::array<BYTE, kDescReqSize>;

// Zeroes the block and fills in the port and the setup packet.
inline void EncodeDescriptorRequest(DescriptorRequestBlock& block, ULONG port, BYTE bmRequest,
                                    BYTE bRequest, WORD wValue, WORD wIndex, WORD wLength) {
    block.fill(0);
    PutLe32(block.data() + kDescReqConnectionIndex, port);
    block[kDescReqBmRequest] = bmRequest;
    block[kDescReqBRequest] = bRequest;
    PutLe16(block.data() + kDescReqWValue, wValue);
    PutLe16(block.data() + kDescReqWIndex, wIndex);
    PutLe16(block.data() + kDescReqWLength, wLength);
}

// GET_DESCRIPTOR of string descriptor `index` in language `langId`.
inline void EncodeStringDescriptorRequest(DescriptorRequestBlock& block, ULONG port, BYTE index,
                                          WORD langId, WORD wLength) {
    EncodeDescriptorRequest(block, port, kRequestTypeDeviceToHost, kRequestGetDescriptor,
                            static_cast<WORD>((kDescriptorTypeString << 8) | index), langId, wLength);
}

// The first language ID of a string descriptor 0 reply (data bytes 2 and 3);
// false when the reply did not carry it.
inline bool DecodeFirstLanguageId(const DescriptorRequestBlock& block, std::size_t bytesReturned,
                                  WORD* langId) {
    if (bytesReturned > kDescReqSize) bytesReturned = kDescReqSize;
    if (bytesReturned < kDescReqData + 4) return false;
    *langId = GetLe16(block.data() + kDescReqData + 2);
    return true;
}

// The text of a string descriptor reply: from data byte 2 to the first NUL
// or the end of the bytes returned (bLength is not consulted).
inline std::wstring DecodeStringDescriptor(const DescriptorRequestBlock& block,
                                           std::size_t bytesReturned) {
    if (bytesReturned > kDescReqSize) bytesReturned = kDescReqSize;
    if (bytesReturned <= kDescReqData + 2) return {};
    return DecodeUtf16(block.data() + kDescReqData + 2, bytesReturned - kDescReqData - 2);
}

}  // namespace hubaccess::usblayout
