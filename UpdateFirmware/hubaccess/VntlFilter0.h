// CVNTLFILTER0: the command channel to the hub's upper-filter driver.
//
// Every request is a 24-byte block sent over one of three I/O control codes
// through IO_Sync. The channel keeps no state between calls; the device
// handle always belongs to the caller, who opens the hub's filter device
// object, hands the handle in and closes it again.
//
// Results: 0 success, -1 the request failed, -3 the driver reported a general
// failure (ERROR_GEN_FAILURE), -8 no event object could be made, -10 the
// handle is NULL.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hubaccess/FilterRequest.h"
#include "platform/Clock.h"
#include "platform/DeviceIo.h"

namespace hubaccess {

using platform::Handle;

constexpr int kChannelOk = 0;
constexpr int kChannelFailed = -1;
constexpr int kChannelGenFailure = -3;
constexpr int kChannelNoEvent = -8;
constexpr int kChannelNullHandle = -10;

class CVNTLFILTER0 {
public:
    CVNTLFILTER0(platform::DeviceIo& deviceIo, platform::Clock& clock);
    virtual ~CVNTLFILTER0();

    // The one path to the driver. `bytesReturned` may be null.
    int IO_Sync(Handle device, std::uint32_t ioctlCode, const std::uint8_t* in, std::uint32_t inLen,
                std::uint8_t* out, std::uint32_t outLen, std::uint32_t* bytesReturned);

    // Register access: `length` bytes at `address` (a write sends data[0]).
    // `timeout` 0 means 500 ms.
    int RegisterReadWriteCmd(Handle device, std::uint8_t* data, std::uint32_t length,
                             std::uint32_t address, std::uint8_t bWrite, std::uint8_t timeout);
    // Version read: the 16 bytes at 0x7F0, falling back to the legacy layout.
    int RegisterReadWriteCmd(Handle device, FW_VERSION_BLOCK* out);
    // Version read for a decision: repeated until two successful reads (the
    // request succeeded and the block is valid) agree on the bytes the tool
    // uses (the version, which holds the customer code), at most
    // kVersionReadLimit reads. 0 with the agreed block; otherwise a failure
    // (-1, or the last request's failure when no read succeeded) and `out`
    // untouched.
    static constexpr int kVersionReadLimit = 4;
    int ReadVersionAgreed(Handle device, FW_VERSION_BLOCK* out);
    int RegisterReadWriteCmdOld(Handle device, std::uint8_t* data, std::uint8_t length,
                                std::uint32_t address, std::uint8_t bWrite);

    // The 18-byte USB device descriptor.
    int Get_Descriptor(Handle device, std::uint8_t* out18);
    // String descriptor `index` in the device's first language, reduced to the
    // low bytes of its UTF-16 units. `length` is the reply size asked for in
    // UTF-16 units; at most outCapacity - 1 characters are stored and a NUL
    // always follows them.
    int Get_StringDescriptor(Handle device, char* out, std::size_t outCapacity, std::uint8_t length,
                             std::uint8_t index);

    // Configuration or firmware download in 32-byte chunks.
    int DownLoadCMD(Handle device, const std::uint8_t* data, std::uint32_t length,
                    std::uint8_t command, std::uint8_t value);

    // CPU reset through the register path (bByRegister != 0) or command 0x54.
    int SendCpuResetByFilterDriver(Handle device, std::uint8_t bByRegister);

    // 32 bytes of the SPI ROM at `offset`; `value` is the image number for
    // configuration reads and 0 for firmware reads.
    int ReadConfigFWCmd(Handle device, std::uint8_t* out32, std::uint32_t offset, std::uint8_t value);

    // Starts the erase of one SPI block; the caller polls the erase status.
    int SPIBlockEraseCmd(Handle device, std::uint8_t block, std::uint8_t part);

private:
    // Sends a new-layout block with optional extra input bytes.
    int SendNew(Handle device, std::uint32_t code, const FILTER_REQUEST& req,
                const std::uint8_t* extra, std::uint32_t extraLen, std::uint8_t* out,
                std::uint32_t outLen, std::uint32_t* bytesReturned);
    int SendLegacy(Handle device, const FILTER_REQUEST_LEGACY& req, std::uint8_t* out,
                   std::uint32_t outLen, std::uint32_t* bytesReturned);
    // True (with a warning record) when a read reply holds fewer bytes than
    // asked: such a read fails, and none of its bytes reach the caller.
    static bool ShortReply(const wchar_t* method, int line, std::uint32_t asked, std::uint32_t got);

    platform::DeviceIo& m_deviceIo;
    platform::Clock& m_clock;
};

}  // namespace hubaccess
