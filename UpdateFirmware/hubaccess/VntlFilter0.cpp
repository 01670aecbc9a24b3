#include "hubaccess/VntlFilter0.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/LastError.h"
#include "platform/Win32Errors.h"

namespace hubaccess {
namespace {

constexpr std::uint32_t kMaxRegisterRead = 255;

}  // namespace

CVNTLFILTER0::CVNTLFILTER0(platform::DeviceIo& deviceIo, platform::Clock& clock)
    : m_deviceIo(deviceIo), m_clock(clock) {}

CVNTLFILTER0::~CVNTLFILTER0() = default;

int CVNTLFILTER0::IO_Sync(Handle device, std::uint32_t ioctlCode, const std::uint8_t* in,
                          std::uint32_t inLen, std::uint8_t* out, std::uint32_t outLen,
                          std::uint32_t* bytesReturned) {
    if (bytesReturned) *bytesReturned = 0;
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Driver Handle is NULL", L"CVNTLFILTER0::IO_Sync", __LINE__);
        return kChannelNullHandle;
    }
    const platform::IoctlResult r = m_deviceIo.DeviceIoControl(device, ioctlCode, in, inLen, out, outLen);
    switch (r.status) {
        case platform::IoctlStatus::NoEvent:
            SetLastSystemError(r.error);
            return kChannelNoEvent;
        case platform::IoctlStatus::Failed:
            SetLastSystemError(r.error);
            vDEBUG_MSG_printf(L"%s:%d: DeviceIoControl Failed, code = %x, dwError = %d",
                              L"CVNTLFILTER0::IO_Sync", __LINE__, ioctlCode, r.error);
            return r.error == platform::kErrorGenFailure ? kChannelGenFailure : kChannelFailed;
        case platform::IoctlStatus::PendingThenFailed:
            SetLastSystemError(r.error);
            return kChannelFailed;
        case platform::IoctlStatus::TimedOut:
            SetLastSystemError(r.error);
            vDEBUG_ERR_printf(r.abandoned
                                  ? L"%s:%d: DeviceIoControl timed out after %d ms, code = %x, request abandoned and handle closed"
                                  : L"%s:%d: DeviceIoControl timed out after %d ms, code = %x, request cancelled",
                              L"CVNTLFILTER0::IO_Sync", __LINE__, platform::kFilterRequestLimitMs, ioctlCode);
            return kChannelFailed;
        case platform::IoctlStatus::Completed:
        case platform::IoctlStatus::CompletedAfterPending:
            break;
    }
    SetLastSystemError(platform::kErrorSuccess);
    if (bytesReturned) *bytesReturned = std::min(r.bytesReturned, outLen);
    return kChannelOk;
}

int CVNTLFILTER0::SendNew(Handle device, std::uint32_t code, const FILTER_REQUEST& req,
                          const std::uint8_t* extra, std::uint32_t extraLen, std::uint8_t* out,
                          std::uint32_t outLen, std::uint32_t* bytesReturned) {
    const FilterBlock block = req.Encode();
    std::vector<std::uint8_t> input(block.begin(), block.end());
    if (extraLen) input.insert(input.end(), extra, extra + extraLen);
    return IO_Sync(device, code, input.data(), static_cast<std::uint32_t>(input.size()), out, outLen,
                   bytesReturned);
}

int CVNTLFILTER0::SendLegacy(Handle device, const FILTER_REQUEST_LEGACY& req, std::uint8_t* out,
                             std::uint32_t outLen, std::uint32_t* bytesReturned) {
    const FilterBlock block = req.Encode();
    return IO_Sync(device, IOCTL_FILTER_LEGACY, block.data(), static_cast<std::uint32_t>(block.size()),
                   out, outLen, bytesReturned);
}

bool CVNTLFILTER0::ShortReply(const wchar_t* method, int line, std::uint32_t asked, std::uint32_t got) {
    if (got >= asked) return false;
    vDEBUG_WRN_printf(L"%s:%d: short reply, %d of %d bytes", method, line, got, asked);
    return true;
}

int CVNTLFILTER0::RegisterReadWriteCmd(Handle device, std::uint8_t* data, std::uint32_t length,
                                       std::uint32_t address, std::uint8_t bWrite,
                                       std::uint8_t timeout) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::RegisterReadWriteCmd";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Driver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    const bool write = bWrite != 0;
    if (data == nullptr || length == 0 || (!write && length > kMaxRegisterRead)) {
        vDEBUG_ERR_printf(L"%s:%d: register access of %d bytes at 0x%x refused", kMethod, __LINE__,
                          length, address);
        return kChannelFailed;
    }

    FILTER_REQUEST req;
    req.dwTimeout = timeout ? timeout : kDefaultRequestTimeoutMs;
    req.dwIndex = address;
    int rc;
    if (write) {
        req.dwCommand = CMD_REG_WRITE;
        req.dwValue = data[0];
        // The 16-bit register takes both bytes in one command (first byte low).
        if (address == REG_WRITE16_ADDR) {
            req.dwCommand = CMD_REG_WRITE16;
            req.dwValue = data[0] | (length >= 2 ? static_cast<std::uint32_t>(data[1]) << 8 : 0u);
        }
        const std::vector<std::uint8_t> padding(length, 0);
        rc = SendNew(device, IOCTL_FILTER_WRITE, req, padding.data(), length, nullptr, 0, nullptr);
    } else {
        req.dwCommand = CMD_REG_READ;
        std::vector<std::uint8_t> reply(length, 0);
        std::uint32_t got = 0;
        rc = SendNew(device, IOCTL_FILTER_READ, req, nullptr, 0, reply.data(), length, &got);
        if (rc == kChannelOk && ShortReply(kMethod, __LINE__, length, got)) rc = kChannelFailed;
        if (rc == kChannelOk) std::memcpy(data, reply.data(), length);
    }
    if (rc != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: set_device_paths: couldn't send device command", kMethod, __LINE__);
        return kChannelFailed;
    }
    return kChannelOk;
}

int CVNTLFILTER0::RegisterReadWriteCmd(Handle device, FW_VERSION_BLOCK* out) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::RegisterReadWriteCmd";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Driver Handle is NULL", kMethod, __LINE__);
    } else {
        FILTER_REQUEST req;
        req.dwCommand = CMD_REG_READ;
        req.dwIndex = REG_VERSION_BLOCK;
        std::array<std::uint8_t, 16> reply{};
        std::uint32_t got = 0;
        if (SendNew(device, IOCTL_FILTER_READ, req, nullptr, 0, reply.data(), 16, &got) == kChannelOk &&
            !ShortReply(kMethod, __LINE__, 16, got)) {
            out->bytes = reply;
            return kChannelOk;
        }
        vDEBUG_ERR_printf(L"%s:%d: set_device_paths: couldn't send device command", kMethod, __LINE__);
    }
    return RegisterReadWriteCmdOld(device, out->bytes.data(), 16, REG_VERSION_BLOCK, 0);
}

int CVNTLFILTER0::ReadVersionAgreed(Handle device, FW_VERSION_BLOCK* out) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::ReadVersionAgreed";
    if (out == nullptr) return kChannelFailed;
    const auto version = [](const FW_VERSION_BLOCK& b) {
        return std::array<std::uint8_t, 6>{b.bytes[0], b.bytes[1], b.bytes[2], b.bytes[3], b.bytes[4], b.bytes[5]};
    };
    std::vector<std::array<std::uint8_t, 6>> seen;
    int rc = kChannelFailed;
    for (int i = 0; i < kVersionReadLimit; ++i) {
        FW_VERSION_BLOCK block;
        rc = RegisterReadWriteCmd(device, &block);
        if (rc == kChannelNullHandle) return rc;
        if (rc != kChannelOk || !block.IsValid()) continue;
        const auto v = version(block);
        if (std::find(seen.begin(), seen.end(), v) != seen.end()) {
            *out = block;
            return kChannelOk;
        }
        seen.push_back(v);
    }
    vDEBUG_WRN_printf(L"%s:%d: no two of %d version reads agree (%d valid)", kMethod, __LINE__, kVersionReadLimit,
                      seen.size());
    return seen.empty() && rc != kChannelOk ? rc : kChannelFailed;
}

int CVNTLFILTER0::RegisterReadWriteCmdOld(Handle device, std::uint8_t* data, std::uint8_t length,
                                          std::uint32_t address, std::uint8_t bWrite) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::RegisterReadWriteCmdOld";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Deriver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    const bool write = bWrite != 0;
    FILTER_REQUEST_LEGACY req;
    req.dwRequestKind = write ? LEGACY_REG_WRITE : LEGACY_REG_READ;
    req.dwValue = (write && length > 0) ? data[0] : 0;
    req.dwIndex = address;
    std::vector<std::uint8_t> reply(length, 0);
    std::uint32_t got = 0;
    if (SendLegacy(device, req, reply.data(), length, &got) != kChannelOk ||
        (!write && ShortReply(kMethod, __LINE__, length, got))) {
        vDEBUG_MSG_printf(L"%s:%d: set_device_paths: couldn't read device descriptor", kMethod, __LINE__);
        return kChannelFailed;
    }
    if (!write && length > 0) std::memcpy(data, reply.data(), length);
    return kChannelOk;
}

int CVNTLFILTER0::Get_Descriptor(Handle device, std::uint8_t* out18) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::Get_Descriptor";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Deriver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    FILTER_REQUEST_LEGACY req;
    req.dwRequestKind = LEGACY_GET_DEVICE_DESCRIPTOR;
    std::array<std::uint8_t, 18> reply{};
    std::uint32_t got = 0;
    if (SendLegacy(device, req, reply.data(), 18, &got) != kChannelOk || got < 18) {
        vDEBUG_MSG_printf(L"%s:%d: set_device_paths: couldn't read device descriptor", kMethod, __LINE__);
        return kChannelFailed;
    }
    std::memcpy(out18, reply.data(), 18);
    return kChannelOk;
}

int CVNTLFILTER0::Get_StringDescriptor(Handle device, char* out, std::size_t outCapacity,
                                       std::uint8_t length, std::uint8_t index) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::Get_StringDescriptor";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Deriver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    if (out && outCapacity) out[0] = '\0';

    // The first language of the device's language list.
    FILTER_REQUEST_LEGACY langReq;
    langReq.dwRequestKind = LEGACY_GET_STRING_DESCRIPTOR;
    std::array<std::uint8_t, 4> langs{};
    std::uint32_t got = 0;
    if (SendLegacy(device, langReq, langs.data(), 4, &got) != kChannelOk || got < 4) {
        vDEBUG_MSG_printf(L"%s:%d: set_device_paths: couldn't read device descriptor", kMethod, __LINE__);
        return kChannelFailed;
    }
    const std::uint32_t langId = langs[2] | (static_cast<std::uint32_t>(langs[3]) << 8);

    FILTER_REQUEST_LEGACY strReq;
    strReq.dwRequestKind = LEGACY_GET_STRING_DESCRIPTOR;
    strReq.dwValue = index;
    strReq.dwIndex = langId;
    const std::uint32_t asked = 2u * length;
    std::vector<std::uint8_t> reply(asked, 0);
    // A string descriptor is as long as its first byte says (the reply is cut
    // at what was asked); fewer bytes than that is a short reply.
    const bool replied = SendLegacy(device, strReq, reply.data(), asked, &got) == kChannelOk;
    if (!replied || ShortReply(kMethod, __LINE__, got < 2 ? 2 : std::min<std::uint32_t>(asked, reply[0]), got)) {
        vDEBUG_MSG_printf(L"%s:%d: set_device_paths: couldn't read device descriptor", kMethod, __LINE__);
        return kChannelFailed;
    }

    // Low byte of each UTF-16 unit after the 2-byte header, within what came
    // back, the descriptor's own length and the caller's buffer.
    std::uint32_t limit = std::min(got, asked);
    if (limit > 0) limit = std::min<std::uint32_t>(limit, reply[0]);
    std::size_t written = 0;
    if (out && outCapacity) {
        for (std::uint32_t i = 2; i + 1 < limit && written + 1 < outCapacity; i += 2) {
            const char c = static_cast<char>(reply[i]);
            if (c == '\0') break;
            out[written++] = c;
        }
        out[written] = '\0';
    }
    return kChannelOk;
}

int CVNTLFILTER0::DownLoadCMD(Handle device, const std::uint8_t* data, std::uint32_t length,
                              std::uint8_t command, std::uint8_t value) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::DownLoadCMD";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Driver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    if (data == nullptr || length == 0) {
        vDEBUG_ERR_printf(L"%s:%d: download of %d bytes refused", kMethod, __LINE__, length);
        return kChannelFailed;
    }
    FILTER_REQUEST req;
    req.dwCommand = command;
    req.dwValue = value;
    req.dwIndex = length;  // the total length in every chunk; the driver counts chunks
    const FilterBlock block = req.Encode();

    const std::uint32_t chunks = (length + kDownloadChunkData - 1) / kDownloadChunkData;
    std::array<std::uint8_t, kDownloadChunkSize> chunk{};
    std::copy(block.begin(), block.end(), chunk.begin());
    for (std::uint32_t i = 0; i < chunks; ++i) {
        const std::uint32_t offset = i * kDownloadChunkData;
        const std::uint32_t n = std::min<std::uint32_t>(kDownloadChunkData, length - offset);
        std::fill(chunk.begin() + kFilterRequestSize, chunk.end(), 0);
        std::memcpy(chunk.data() + kFilterRequestSize, data + offset, n);
        const int rc = IO_Sync(device, IOCTL_FILTER_WRITE, chunk.data(),
                               static_cast<std::uint32_t>(chunk.size()), nullptr, 0, nullptr);
        if (rc != kChannelOk) {
            vDEBUG_MSG_printf(L"%s:%d: Write Cmd failed...dwWrCnt[%d], ErrorCode[%d]", kMethod, __LINE__,
                              i, GetLastSystemError());
            return rc;
        }
    }
    return kChannelOk;
}

int CVNTLFILTER0::SendCpuResetByFilterDriver(Handle device, std::uint8_t bByRegister) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::SendCpuResetByFilterDriver";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Driver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    if (bByRegister) {
        std::uint8_t start = 0;
        if (RegisterReadWriteCmd(device, &start, 1, CPU_START_POSITION_ADDR, 1, 0) != kChannelOk) {
            vDEBUG_MSG_printf(L"%s:%d: CPU_START_POSITION_ADDR command failed ErrorCode[%d]", kMethod,
                              __LINE__, GetLastSystemError());
            return kChannelFailed;
        }
        m_clock.Sleep(200);
        // The chip restarts at once and may never answer this write.
        std::uint8_t reset = 1;
        RegisterReadWriteCmd(device, &reset, 1, REG_CPU_RESET, 1, 200);
        m_clock.Sleep(2000);
        return kChannelOk;
    }
    FILTER_REQUEST req;
    req.dwCommand = CMD_CPU_RESET;
    return SendNew(device, IOCTL_FILTER_WRITE, req, nullptr, 0, nullptr, 0, nullptr);
}

int CVNTLFILTER0::ReadConfigFWCmd(Handle device, std::uint8_t* out32, std::uint32_t offset,
                                  std::uint8_t value) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::ReadConfigFWCmd";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Driver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    FILTER_REQUEST req;
    req.dwCommand = CMD_ROM_READ;
    req.dwValue = value;
    req.dwIndex = offset;
    std::array<std::uint8_t, 32> reply{};
    std::uint32_t got = 0;
    if (SendNew(device, IOCTL_FILTER_READ, req, nullptr, 0, reply.data(), 32, &got) != kChannelOk ||
        ShortReply(kMethod, __LINE__, 32, got)) {
        vDEBUG_MSG_printf(L"%s:%d: set_device_paths: couldn't read device descriptor", kMethod, __LINE__);
        return kChannelFailed;
    }
    std::memcpy(out32, reply.data(), 32);
    return kChannelOk;
}

int CVNTLFILTER0::SPIBlockEraseCmd(Handle device, std::uint8_t block, std::uint8_t part) {
    static const wchar_t kMethod[] = L"CVNTLFILTER0::SPIBlockEraseCmd";
    if (device.IsNull()) {
        vDEBUG_MSG_printf(L"%s:%d: Driver Handle is NULL", kMethod, __LINE__);
        return kChannelNullHandle;
    }
    FILTER_REQUEST req;
    req.dwCommand = CMD_SPI_BLOCK_ERASE;
    req.dwValue = static_cast<std::uint32_t>(part) * 256u + block;
    if (SendNew(device, IOCTL_FILTER_WRITE, req, nullptr, 0, nullptr, 0, nullptr) != kChannelOk) {
        vDEBUG_MSG_printf(L"%s:%d: IO_Sync Failed ", kMethod, __LINE__);
        return kChannelFailed;
    }
    return kChannelOk;
}

}  // namespace hubaccess
