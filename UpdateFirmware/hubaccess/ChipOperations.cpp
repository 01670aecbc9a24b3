// The chip operations of the hub device object and the erase-status wait.
//
// Every operation addresses a hub by its row in the hub table, opens the
// row's filter device object, sends its requests and closes the handle again
// before it returns. A row without an object name has no hub behind it; the
// operations test the name, never the interface count of the last scan, which
// a rescan on another thread may have cleared meanwhile.
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <new>
#include <utility>
#include <vector>

#include "hubaccess/ByteOrder.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/VntlHubDev.h"
#include "platform/Win32Errors.h"

namespace hubaccess {
namespace {

constexpr std::uint32_t kRegEraseStatus = 0x7FF;
constexpr std::uint32_t kRomBlock = 32;
// The firmware area: a TEMP_BIN_IMAGE (length word, image, type byte, sum)
// from ROM offset 0x100, read with value 0.
constexpr std::uint32_t kFirmwareAreaOffset = 0x100;
constexpr WORD kMinFirmwareLength = 0x5000;
constexpr WORD kMaxFirmwareLength = 0xFFFE;
// Length word, type byte and sum around the image.
constexpr std::uint64_t kImageFrameBytes = 4;
// Largest download the chip takes, after rounding up to whole chunks.
constexpr std::uint64_t kMaxFirmwareDownload = 0x10000;
constexpr std::uint32_t kConfigBytes = 256;
// Reads of a register until two of them agree.
constexpr int kAgreedReadLimit = 4;

constexpr std::uint64_t kPollBudgetMs = 3000;
constexpr int kPollBudgetSeconds = 3;
constexpr std::uint32_t kPollPauseMs = 100;

// Runs `release` when the scope ends, on every path out of it.
template <class F>
class OnScopeExit {
public:
    explicit OnScopeExit(F release) : m_release(std::move(release)) {}
    ~OnScopeExit() { m_release(); }
    OnScopeExit(const OnScopeExit&) = delete;
    OnScopeExit& operator=(const OnScopeExit&) = delete;

private:
    F m_release;
};

}  // namespace

std::wstring CVntlHubDev::ObjectNameOf(BYTE ucTarget) const {
    if (m_pDevList == nullptr || ucTarget >= m_pDevList->rows.size()) return {};
    return m_pDevList->rows[ucTarget].m_strObjectName;
}

platform::DeviceOpenResult CVntlHubDev::OpenFilterObject(BYTE ucTarget, const std::wstring& name) {
    platform::DeviceOpenResult r;
    if (name.empty()) {
        r.error = platform::kErrorPathNotFound;
    } else {
        r = m_utility.Ports().deviceIo->CreateFile(name, platform::DeviceOpenMode::Filter);
        if (!r.handle.IsValid() && r.error == 0) r.error = platform::kErrorInvalidHandle;
    }
    if (r.handle.IsValid() && ucTarget < m_openHandles.size()) {
        platform::ScopedLock held(*m_openHandlesLock);
        m_openHandles[ucTarget] = r.handle;
    }
    SetLastSystemError(r.handle.IsValid() ? platform::kErrorSuccess : r.error);
    return r;
}

void CVntlHubDev::CloseFilterObject(BYTE ucTarget, Handle h) {
    if (ucTarget < m_openHandles.size()) {
        // Forgotten before it is closed: a cancel never meets a closed
        // handle. One a cancel is being sent to now is closed by that cancel
        // once it has returned, so this close waits for no driver.
        platform::ScopedLock held(*m_openHandlesLock);
        if (m_openHandles[ucTarget] == h) m_openHandles[ucTarget] = Handle::Invalid();
        if (m_cancelling[ucTarget] == h) {
            m_closeAfterCancel[ucTarget] = true;
            return;
        }
    }
    m_utility.Ports().deviceIo->CloseHandle(h);
}

BOOL CVntlHubDev::CancelTargetRequests(BYTE ucTarget) {
    static const wchar_t kMethod[] = L"CVntlHubDev::CancelTargetRequests";
    if (ucTarget >= m_openHandles.size()) return FALSE;
    Handle h = Handle::Invalid();
    {
        platform::ScopedLock held(*m_openHandlesLock);
        // One cancel of a row at a time.
        if (m_cancelling[ucTarget].IsValid()) return FALSE;
        h = m_openHandles[ucTarget];
        if (!h.IsValid()) return FALSE;
        m_cancelling[ucTarget] = h;
        m_closeAfterCancel[ucTarget] = false;
    }
    // The cancel may wait on the driver: no lock is held meanwhile, and the
    // handle stays open until it has returned.
    const bool cancelled = m_utility.Ports().deviceIo->CancelIoEx(h);
    bool close = false;
    {
        platform::ScopedLock held(*m_openHandlesLock);
        m_cancelling[ucTarget] = Handle::Invalid();
        close = m_closeAfterCancel[ucTarget];
        m_closeAfterCancel[ucTarget] = false;
    }
    if (close) m_utility.Ports().deviceIo->CloseHandle(h);
    vDEBUG_WRN_printf(L"%s:%d: Target[%d] requests in flight cancelled[%d]", kMethod, __LINE__, ucTarget,
                      cancelled ? 1 : 0);
    return cancelled ? TRUE : FALSE;
}

int CVntlHubDev::VTL262xAccessRegister(BYTE ucTarget, BYTE* pData, WORD wAddress, BYTE bWrite) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xAccessRegister";
    const std::wstring name = ObjectNameOf(ucTarget);
    if (name.empty()) return kChipNoHub;
    const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, name);
    if (!dev.handle.IsValid()) return kChannelFailed;
    OnScopeExit closeDev([&] { CloseFilterObject(ucTarget, dev.handle); });
    const int rc = m_filter.RegisterReadWriteCmd(dev.handle, pData, 1, wAddress, bWrite, 0);
    if (rc != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: RegisterReadWriteCmd failed, CreateFile[%s] ", kMethod, __LINE__,
                          name);
    }
    return rc;
}

int CVntlHubDev::VTL262xFirmwareWrite(BYTE ucTarget, const std::wstring& strFile, BYTE ucImage,
                                      BYTE bSel) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xFirmwareWrite";
    try {
        if (!m_utility.bCheckFilePathExists(strFile, 0)) return kChannelFailed;

        platform::Files& files = *m_utility.Ports().files;
        const platform::FileOpenResult file =
            files.CreateFile(strFile, platform::kGenericRead, platform::kFileShareRead,
                             platform::FileDisposition::OpenExisting, 0);
        if (!file.handle.IsValid()) {
            SetLastSystemError(file.error);
            vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite[%d]: dwErrorCode %d", kMethod, __LINE__,
                              ucTarget, GetLastSystemError());
            return kChannelFailed;
        }
        OnScopeExit closeFile([&] { files.CloseHandle(file.handle); });

        std::uint64_t fileLen = 0;
        const platform::FileResult sized = files.GetFileSize(file.handle, &fileLen);
        if (!sized.ok) {
            SetLastSystemError(sized.error);
            vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite[%d]: dwErrorCode %d", kMethod, __LINE__,
                              ucTarget, GetLastSystemError());
            return kChannelFailed;
        }
        const std::uint64_t rounded = (fileLen + kRomBlock - 1) / kRomBlock * kRomBlock;
        if (rounded > kMaxFirmwareDownload) {
            vDEBUG_ERR_printf(
                L"%s:%d: Malloc ucpFileBuf Fail , dwFWFileLen %d , strFWBinaryNamePath  %s , dwErrorCode : %d",
                kMethod, __LINE__, rounded, strFile, GetLastSystemError());
            return kChannelFailed;
        }
        std::vector<BYTE> image;
        try {
            image.assign(static_cast<std::size_t>(fileLen), 0);
        } catch (const std::bad_alloc&) {
            SetLastSystemError(platform::kErrorNotEnoughMemory);
            vDEBUG_ERR_printf(
                L"%s:%d: Malloc ucpFileBuf Fail , dwFWFileLen %d , strFWBinaryNamePath  %s , dwErrorCode : %d",
                kMethod, __LINE__, rounded, strFile, GetLastSystemError());
            return kChannelFailed;
        }
        const std::uint32_t wanted = static_cast<std::uint32_t>(fileLen);
        std::uint32_t got = 0;
        const platform::FileResult read =
            wanted == 0 ? platform::FileResult{true, 0} : files.ReadFile(file.handle, image.data(), wanted, &got);
        if (!read.ok || got != wanted) {
            SetLastSystemError(read.ok ? platform::kErrorSuccess : read.error);
            vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite[%d]: read %d of %d bytes of %s, dwErrorCode %d",
                              kMethod, __LINE__, ucTarget, got, wanted, strFile, GetLastSystemError());
            return kChannelFailed;
        }
        return VTL262xFirmwareWrite(ucTarget, image, ucImage, bSel);
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite[%d]: dwErrorCode %d", kMethod, __LINE__,
                          ucTarget, GetLastSystemError());
        return kChannelFailed;
    }
}

int CVntlHubDev::VTL262xFirmwareWrite(BYTE ucTarget, const std::vector<BYTE>& image, BYTE ucImage, BYTE bSel) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xFirmwareWrite";
    try {
        const std::uint64_t length = image.size();
        const std::uint64_t rounded = (length + kRomBlock - 1) / kRomBlock * kRomBlock;
        std::vector<BYTE> buffer;
        bool allocated = rounded <= kMaxFirmwareDownload;
        if (allocated) {
            try {
                buffer.assign(static_cast<std::size_t>(rounded), 0);  // rounding bytes stay 0
            } catch (const std::bad_alloc&) {
                SetLastSystemError(platform::kErrorNotEnoughMemory);
                allocated = false;
            }
        }
        if (!allocated) {
            vDEBUG_ERR_printf(L"%s:%d: Malloc ucpFileBuf Fail , dwFWFileLen %d , dwErrorCode : %d", kMethod,
                              __LINE__, rounded, GetLastSystemError());
            return kChannelFailed;
        }
        // Nothing shorter than the frame around an image can be one.
        if (length < kImageFrameBytes) {
            vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite[%d]: %d bytes, no firmware image", kMethod, __LINE__,
                              ucTarget, length);
            return kChannelFailed;
        }
        std::copy(image.begin(), image.end(), buffer.begin());

        // The length word must describe an image the chip accepts, and the
        // bytes must hold all of it with its type byte and sum.
        const WORD imageLen = GetLe16(buffer.data());
        if (imageLen < kMinFirmwareLength || length < imageLen + kImageFrameBytes) {
            vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite[%d]: refused, wFWLength=%x, dwFWFileLen %d", kMethod,
                              __LINE__, ucTarget, imageLen, length);
            return kChannelFailed;
        }

        const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, ObjectNameOf(ucTarget));
        if (!dev.handle.IsValid()) return kChannelFailed;
        OnScopeExit closeDev([&] { CloseFilterObject(ucTarget, dev.handle); });
        const int rc = m_filter.DownLoadCMD(dev.handle, buffer.data(), static_cast<std::uint32_t>(rounded),
                                            static_cast<std::uint8_t>(bSel ? CMD_FW_DOWNLOAD : CMD_FW_DOWNLOAD_ALT),
                                            ucImage);
        if (rc != kChannelOk) {
            vDEBUG_ERR_printf(L"%s:%d: DownLoad[%d] FW return %d, dwErrorCode %d", kMethod, __LINE__,
                              ucTarget, rc, GetLastSystemError());
        }
        return rc;
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite[%d]: dwErrorCode %d", kMethod, __LINE__,
                          ucTarget, GetLastSystemError());
        return kChannelFailed;
    }
}

int CVntlHubDev::VTL262xConfigWrite(BYTE ucTarget, const BYTE* pData256, BYTE ucImage, BYTE bSel) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xConfigWrite";
    const std::wstring name = ObjectNameOf(ucTarget);
    if (name.empty()) return kChannelNullHandle;
    const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, name);
    if (!dev.handle.IsValid()) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], CreateFile[%s] failed, dwErrorCode %d", kMethod,
                          __LINE__, ucTarget, name, GetLastSystemError());
        return kChannelFailed;
    }
    OnScopeExit closeDev([&] { CloseFilterObject(ucTarget, dev.handle); });
    const int rc = m_filter.DownLoadCMD(dev.handle, pData256, kConfigBytes,
                                        static_cast<std::uint8_t>(bSel ? CMD_CONFIG_DOWNLOAD : CMD_CONFIG_DOWNLOAD_ALT),
                                        ucImage);
    if (rc != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: VTL262xConfigWrite[%d] return %d, dwErrorCode %d", kMethod, __LINE__,
                          ucTarget, rc, GetLastSystemError());
    }
    return rc;
}

int CVntlHubDev::VTL262xBlockErase(BYTE ucTarget, BYTE ucBlock) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xBlockErase";
    const std::wstring name = ObjectNameOf(ucTarget);
    if (name.empty()) return kChannelNullHandle;
    const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, name);
    if (!dev.handle.IsValid()) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], CreateFile[%s] failed, dwErrorCode %d", kMethod,
                          __LINE__, ucTarget, name, GetLastSystemError());
        return kChannelFailed;
    }
    OnScopeExit closeDev([&] { CloseFilterObject(ucTarget, dev.handle); });
    const BYTE ready = 1;

    // Both parts must be erased, each confirmed by the erase status, or the
    // table written next would land on bytes that still hold the old one.
    int rc = m_filter.SPIBlockEraseCmd(dev.handle, ucBlock, 0);
    if (rc != kChannelOk) {
        vDEBUG_WRN_printf(L"%s:%d: SPIBlockEraseCmd[%d] Bolcok 0, return %d, dwErrorCode %d", kMethod,
                          __LINE__, ucTarget, rc, GetLastSystemError());
        return rc;
    }
    if (!m_utility.PollingRegStatus(dev.handle, &ready)) {
        vDEBUG_WRN_printf(L"%s:%d: PollingRegStatus [Dev%d] TimeOut!!! Bolcok 0, dwErrorCode %d", kMethod,
                          __LINE__, ucTarget, GetLastSystemError());
        return kChannelFailed;
    }
    rc = m_filter.SPIBlockEraseCmd(dev.handle, ucBlock, 1);
    if (rc != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: SPIBlockEraseCmd[%d] return %d, dwErrorCode %d", kMethod, __LINE__,
                          ucTarget, rc, GetLastSystemError());
        return rc;
    }
    if (!m_utility.PollingRegStatus(dev.handle, &ready)) {
        vDEBUG_ERR_printf(L"%s:%d: PollingRegStatus [Dev%d] TimeOut!!! Bolcok 0, dwErrorCode %d", kMethod,
                          __LINE__, ucTarget, GetLastSystemError());
        return kChannelFailed;
    }
    return kChannelOk;
}

BOOL CHubUtility::PollingRegStatus(Handle hDevice, const BYTE* pWanted) {
    static const wchar_t kMethod[] = L"CHubUtility::PollingRegStatus";
    if (pWanted == nullptr) return FALSE;
    platform::Clock& clock = *m_ports.clock;
    CVNTLFILTER0 filter(*m_ports.deviceIo, clock);
    // The budget runs on the monotonic clock: a calendar change during an
    // erase can neither end the wait early nor make it endless.
    const std::uint64_t start = clock.MonotonicMs();
    for (;;) {
        BYTE status = 0;
        if (filter.RegisterReadWriteCmd(hDevice, &status, 1, kRegEraseStatus, 0, 0) != kChannelOk) {
            vDEBUG_ERR_printf(L"%s:%d: RegisterReadWriteCmd Failed ,  dwErrorCode %d", kMethod, __LINE__,
                              GetLastSystemError());
            return FALSE;
        }
        // A status read in time is taken even when the budget has just run out.
        if (status == *pWanted) {
            vDEBUG_MSG_printf(L"%s:%d:   ucTargetValue=%d, pBLockEraseStatus[0]=%d", kMethod, __LINE__,
                              *pWanted, status);
            clock.Sleep(kPollPauseMs);
            return TRUE;
        }
        if (clock.MonotonicMs() - start > kPollBudgetMs) {
            vDEBUG_ERR_printf(L"%s:%d:  Time Out (%ds), ucTargetValue=%d", kMethod, __LINE__,
                              kPollBudgetSeconds, *pWanted);
            return FALSE;
        }
        clock.Sleep(kPollPauseMs);
    }
}

int CVntlHubDev::VTL262xConfigRead(BYTE ucTarget, BYTE* pOut256, BYTE ucImage) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xConfigRead";
    const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, ObjectNameOf(ucTarget));
    if (!dev.handle.IsValid()) {
        vDEBUG_ERR_printf(L"%s:%d: Target[%d] CreateFile FAIL, ret:%d", kMethod, __LINE__, ucTarget,
                          GetLastSystemError());
        return kChannelFailed;
    }
    OnScopeExit closeDev([&] { CloseFilterObject(ucTarget, dev.handle); });
    if (pOut256 == nullptr) return kChannelFailed;
    int rc = kChannelOk;
    for (std::uint32_t offset = 0; offset < kConfigBytes; offset += kRomBlock) {
        BYTE block[kRomBlock];
        if (m_filter.ReadConfigFWCmd(dev.handle, block, offset, ucImage) != kChannelOk) {
            vDEBUG_ERR_printf(L"%s:%d: Target[%d] ReadConfigFWCmd FAIL, ret:%d", kMethod, __LINE__,
                              ucTarget, GetLastSystemError());
            rc = kChannelFailed;
            break;
        }
        std::memcpy(pOut256 + offset, block, kRomBlock);
    }
    if (rc != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: Target[%d] ReadConfigFWCmd FAIL, ret:%d", kMethod, __LINE__, ucTarget,
                          rc);
    }
    return rc;
}

int CVntlHubDev::VTL262xFirmwareRead(BYTE ucTarget, BYTE* pOut, std::size_t outCapacity, BYTE ucImage) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xFirmwareRead";
    const std::wstring name = ObjectNameOf(ucTarget);
    const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, name);
    if (!dev.handle.IsValid()) {
        vDEBUG_ERR_printf(L"%s:%d: Target[%d] CreateFile FAIL[%s], ret:%d", kMethod, __LINE__, ucTarget,
                          name, GetLastSystemError());
        return kChannelFailed;
    }
    OnScopeExit closeDev([&] { CloseFilterObject(ucTarget, dev.handle); });

    // The first block carries the length word. A failed read is a failed
    // read, never taken for an area without an image.
    BYTE first[kRomBlock];
    std::memset(first, 0xFF, sizeof first);
    if (m_filter.ReadConfigFWCmd(dev.handle, first, kFirmwareAreaOffset, ucImage) != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: Target[%d] ReadConfigFWCmd FAIL, offset=%x, Error:%d", kMethod, __LINE__,
                          ucTarget, kFirmwareAreaOffset, GetLastSystemError());
        return kChannelFailed;
    }
    const WORD length = GetLe16(first);
    if (length < kMinFirmwareLength || length > kMaxFirmwareLength) {
        vDEBUG_ERR_printf(L"%s:%d: Target[%d] ReadConfigFWCmd FAIL, wFWLength=%x, Error:%d", kMethod,
                          __LINE__, ucTarget, length, GetLastSystemError());
        return kChipFirmwareLengthInvalid;
    }

    // Length word, image, type byte and sum, in whole blocks.
    const std::uint32_t blocks = (length + kRomBlock + kRomBlock - 1) / kRomBlock;
    const std::size_t needed = static_cast<std::size_t>(blocks) * kRomBlock;
    if (pOut == nullptr || needed > outCapacity) {
        vDEBUG_ERR_printf(L"%s:%d: Target[%d] firmware area of %d bytes does not fit in %d bytes",
                          kMethod, __LINE__, ucTarget, needed, pOut ? outCapacity : 0);
        return kChannelFailed;
    }
    std::memcpy(pOut, first, kRomBlock);
    for (std::uint32_t i = 1; i < blocks; ++i) {
        const std::uint32_t offset = kFirmwareAreaOffset + i * kRomBlock;
        if (m_filter.ReadConfigFWCmd(dev.handle, pOut + i * kRomBlock, offset, ucImage) != kChannelOk) {
            vDEBUG_ERR_printf(L"%s:%d: Target[%d] ReadConfigFWCmd FAIL, offset=%x, Error:%d", kMethod,
                              __LINE__, ucTarget, offset, GetLastSystemError());
            return kChannelFailed;
        }
    }
    return kChannelOk;
}

int CVntlHubDev::VTL262xReadRegisterAgreed(BYTE ucTarget, BYTE* pData, WORD wAddress) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xReadRegisterAgreed";
    if (pData == nullptr) return kChannelFailed;
    std::vector<BYTE> seen;
    int rc = kChannelFailed;
    for (int i = 0; i < kAgreedReadLimit; ++i) {
        BYTE value = 0;
        rc = VTL262xAccessRegister(ucTarget, &value, wAddress, 0);
        if (rc == kChipNoHub) return rc;
        if (rc != kChannelOk) continue;
        if (std::find(seen.begin(), seen.end(), value) != seen.end()) {
            *pData = value;
            return kChannelOk;
        }
        seen.push_back(value);
    }
    if (seen.empty()) return rc;
    // No two reads agreed: the last one that answered.
    vDEBUG_WRN_printf(L"%s:%d: Target[%d] register %04x: no two of %d reads agree, %02x taken", kMethod, __LINE__,
                      ucTarget, wAddress, kAgreedReadLimit, seen.back());
    *pData = seen.back();
    return kChannelOk;
}

int CVntlHubDev::VTL262xRomBlockReadAgreed(BYTE ucTarget, DWORD dwOffset, BYTE ucValue, BYTE* pOut32) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xRomBlockReadAgreed";
    if (pOut32 == nullptr) return kChannelFailed;
    const std::wstring name = ObjectNameOf(ucTarget);
    if (name.empty()) return kChipNoHub;
    using Block = std::array<BYTE, kRomBlock>;
    std::vector<Block> seen;
    int rc = kChannelFailed;
    for (int i = 0; i < kAgreedReadLimit; ++i) {
        const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, name);
        if (!dev.handle.IsValid()) {
            rc = kChannelFailed;
            continue;
        }
        Block block;
        block.fill(0xFF);
        rc = m_filter.ReadConfigFWCmd(dev.handle, block.data(), dwOffset, ucValue);
        CloseFilterObject(ucTarget, dev.handle);
        if (rc != kChannelOk) continue;
        if (std::find(seen.begin(), seen.end(), block) != seen.end()) {
            std::memcpy(pOut32, block.data(), kRomBlock);
            return kChannelOk;
        }
        seen.push_back(block);
    }
    vDEBUG_WRN_printf(L"%s:%d: Target[%d] ROM block %x (value %d): no two of %d reads agree", kMethod, __LINE__,
                      ucTarget, dwOffset, ucValue, kAgreedReadLimit);
    return seen.empty() ? rc : kChannelFailed;
}

int CVntlHubDev::VTL262xReset(BYTE ucTarget, BYTE bByRegister) {
    static const wchar_t kMethod[] = L"CVntlHubDev::VTL262xReset";
    const std::wstring name = ObjectNameOf(ucTarget);
    const platform::DeviceOpenResult dev = OpenFilterObject(ucTarget, name);
    if (!dev.handle.IsValid()) {
        vDEBUG_ERR_printf(L"%s:%d: Target[%d] CreateFile FAIL,objectname=%s,  Error:%d", kMethod, __LINE__,
                          ucTarget, name, GetLastSystemError());
        return kChipNoHub;
    }
    OnScopeExit closeDev([&] { CloseFilterObject(ucTarget, dev.handle); });
    return m_filter.SendCpuResetByFilterDriver(dev.handle, bByRegister);
}

}  // namespace hubaccess
