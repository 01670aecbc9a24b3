// The identification signature in chip registers 0x7FB and 0x7FC.
//
// The first interface met of a chip gets the mark 'Z' at 0x7FB and its hub
// table row as the character '0' + row at 0x7FC; the chip's other interface
// reads both back. Cleared, both registers hold 0xFF.
#include <array>
#include <cstring>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"

namespace hubaccess {

namespace {

constexpr std::uint32_t kRegSignatureMark = 0x7FB;
constexpr std::uint32_t kRegSignatureIndex = 0x7FC;
constexpr BYTE kMark = 0x5A;  // 'Z'
constexpr WORD kClearedSignature = 0xFFFF;
constexpr BYTE kMarkedNo = 0, kMarkedYes = 1, kMarkReadFailed = 255, kMarkInvalidHandle = 246;
constexpr int kSignatureFailed = -1;
constexpr int kSignatureInvalidHandle = -10;

// One 4-byte register read from 0x7FB (the mark, the index and the two
// registers above). A failure is logged under `method`.
bool ReadSignatureBytes(const platform::Ports& ports, Handle hDevice, std::array<BYTE, 4>& out,
                        const wchar_t* method) {
    CVNTLFILTER0 filter(*ports.deviceIo, *ports.clock);
    std::array<BYTE, 4> reply{};
    if (filter.RegisterReadWriteCmd(hDevice, reply.data(), 4, kRegSignatureMark, 0, 0) != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: VNTLFILTER1.RegisterReadWriteCmd Failed  Error:%d", method, __LINE__,
                          GetLastSystemError());
        return false;
    }
    out = reply;
    return true;
}

}  // namespace

BYTE CHubUtility::bIsSignatureMarked(Handle hDevice) {
    if (hDevice.IsInvalid()) return kMarkInvalidHandle;
    std::array<BYTE, 4> regs{};
    if (!ReadSignatureBytes(m_ports, hDevice, regs, L"CHubUtility::bIsSignatureMarked"))
        return kMarkReadFailed;
    return regs[0] == kMark ? kMarkedYes : kMarkedNo;
}

BYTE CHubUtility::ucGetSignatureMarked(Handle hDevice, BYTE* pOut4, bool* pReadOk) {
    static const wchar_t kMethod[] = L"CHubUtility::ucGetSignatureMarked";
    if (pReadOk) *pReadOk = false;
    if (hDevice.IsInvalid()) {
        // Never handed to the driver: it is no device handle.
        vDEBUG_ERR_printf(L"%s:%d: VNTLFILTER1.RegisterReadWriteCmd Failed  Error:%d", kMethod, __LINE__,
                          GetLastSystemError());
        return kMarkReadFailed;
    }
    std::array<BYTE, 4> regs{};
    if (!ReadSignatureBytes(m_ports, hDevice, regs, kMethod)) return kMarkReadFailed;
    if (pOut4) std::memcpy(pOut4, regs.data(), regs.size());
    if (pReadOk) *pReadOk = true;
    return regs[1];
}

int CHubUtility::WriteSignatureWORD(Handle hDevice, WORD value) {
    if (hDevice.IsInvalid()) return kSignatureInvalidHandle;
    CVNTLFILTER0 filter(*m_ports.deviceIo, *m_ports.clock);
    const struct {
        std::uint32_t address;
        BYTE value;
    } writes[] = {
        {kRegSignatureMark, static_cast<BYTE>(value & 0xFF)},
        {kRegSignatureIndex, static_cast<BYTE>(value >> 8)},
    };
    for (const auto& w : writes) {
        BYTE b = w.value;
        if (filter.RegisterReadWriteCmd(hDevice, &b, 1, w.address, 1, 0) != kChannelOk) {
            vDEBUG_ERR_printf(L"%s:%d: RegisterReadWriteCmd Failed  Error:%d", L"CHubUtility::WriteSignatureWORD",
                              __LINE__, GetLastSystemError());
            return kSignatureFailed;
        }
    }
    return 0;
}

int CHubUtility::MarkSignatureforIdentify(Handle hDevice, BYTE ucIndexChar) {
    static const wchar_t kMethod[] = L"CHubUtility::MarkSignatureforIdentify";
    if (hDevice.IsInvalid()) return kSignatureInvalidHandle;
    const WORD mark = static_cast<WORD>((static_cast<WORD>(ucIndexChar) << 8) | kMark);
    for (const WORD value : {kClearedSignature, mark}) {
        if (WriteSignatureWORD(hDevice, value) != 0) {
            vDEBUG_ERR_printf(L"%s:%d: VNTLFILTER1.RegisterReadWriteCmd Failed  Error:%d", kMethod, __LINE__,
                              GetLastSystemError());
            return kSignatureFailed;
        }
    }
    // Both bytes must have stuck: a lost index byte would merge the chip's
    // other interface into the wrong row.
    std::array<BYTE, 4> regs{};
    if (!ReadSignatureBytes(m_ports, hDevice, regs, L"CHubUtility::bIsSignatureMarked") || regs[0] != kMark ||
        regs[1] != ucIndexChar) {
        vDEBUG_ERR_printf(L"%s:%d: bIsSignatureMarked Failed  Error:%d", kMethod, __LINE__, GetLastSystemError());
        return kSignatureFailed;
    }
    return 0;
}

}  // namespace hubaccess
