// The update services the hub workers call: locks, configuration and
// firmware writes, ROM read-back, re-identification after a reset.
//
// Locks: m_ThreadCriticalSection (held by a worker in console mode) comes
// before any other lock of the utility; none of these services holds two of
// the other five at once, and the log lock is always the innermost.
//
// The rescans (the read-back recovery and the re-identification) run under
// m_EnumCriticalSection, so two of them never overlap. Each walks into an
// entry list of its own: the hub device object's entries and their count
// stay those of the run's identification scan, which the other workers' chip
// operations and the recovery's count check rely on. They never touch the
// other rows of the hub table, its count or m_MaxHubDepth: the target's row
// is the only one they write, and a hub is found again by its full position,
// never by the one-byte position index.
//
// The read-back recovery only walks (a quiet walk: no hub is restarted or
// relinked, and no other hub's filter device object is asked anything), so
// the hubs other workers are writing meanwhile are left alone. Only the
// re-identification may restart its target, and a restart names that one
// device instance.
#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/VntlFilter0.h"
#include "hubaccess/VntlHubDev.h"
#include "platform/Win32Errors.h"

namespace hubaccess {
namespace {

constexpr std::size_t kConfigBytes = kConfigTableSize;
constexpr int kReadAttempts = 3;
constexpr int kReEnumAttempts = 3;
constexpr DWORD kUnusedPositionIndex = 0xFFFFFFFFu;

constexpr std::uint32_t kAfterConfigMs = 500;
constexpr std::uint32_t kAfterFirmwareMs = 800;
constexpr std::uint32_t kAfterFailedReadMs = 5000;
constexpr std::uint32_t kAfterRebindMs = 500;
constexpr std::uint32_t kAfterReadBackMs = 500;
constexpr std::uint32_t kAfterEmptyRescanMs = 2000;
constexpr std::uint32_t kAfterUnmatchedRescanMs = 750;
constexpr std::uint32_t kAfterDeadEntryMs = 5000;

// The serial string read through the filter: at most this many bytes with
// its terminator.
constexpr std::size_t kSerialBufferSize = 20;
constexpr BYTE kSerialIndexOffset = 16;

const wchar_t kNoSerial[] = L"----";

// Where the lock and the table come from, for one target.
struct Target {
    CVntlHubDev* dev = nullptr;
    DEV_LIST_ITEM* row = nullptr;
};

// The hub device object and the target's row, or nulls (with a record) when
// there is no such row.
Target FindTarget(CHubUtility& utility, BYTE ucTarget, const wchar_t* method) {
    Target t;
    CVntlHubDev* dev = utility.m_USBLib.m_pHubDev.get();
    if (dev == nullptr || dev->m_pDevList == nullptr || ucTarget >= kDevListRowsUsed) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d] has no hub", method, __LINE__, ucTarget);
        return t;
    }
    t.dev = dev;
    t.row = &dev->m_pDevList->rows[ucTarget];
    return t;
}

// The lock a service holds for its whole run, or null (with a record) when
// the locks have not been created.
platform::Mutex* Lock(const std::unique_ptr<platform::Mutex>& lock, const wchar_t* name,
                      const wchar_t* method) {
    if (!lock) vDEBUG_ERR_printf(L"%s:%d: %s has not been created", method, __LINE__, name);
    return lock.get();
}

bool IsUsb3(const std::wstring& bcdUSB) { return bcdUSB.size() >= 2 && bcdUSB[0] == L'0' && bcdUSB[1] == L'3'; }

}  // namespace

// ---------------------------------------------------------------------------
// Locks

BOOL CHubUtility::vInitializeCriticalSection() {
    static const wchar_t kMethod[] = L"CHubUtility::vInitializeCriticalSection";
    struct Slot {
        std::unique_ptr<platform::Mutex>* lock;
        const char* name;
    };
    const Slot slots[] = {
        {&m_UpdateConfigurationCriticalSection, "m_UpdateConfigurationCriticalSection"},
        {&m_UpdateFirmwareCriticalSection, "m_UpdateFirmwareCriticalSection"},
        {&m_CPURSTCriticalSection, "m_CPURSTCriticalSection"},
        {&m_EnumCriticalSection, "m_EnumCriticalSection"},
        {&m_VerifyFWCriticalSection, "m_VerifyFWCriticalSection"},
        {&m_ThreadCriticalSection, "m_ThreadCriticalSection"},
    };
    BOOL result = FALSE;
    for (const Slot& slot : slots) {
        std::unique_ptr<platform::Mutex> created;
        try {
            created = m_ports.threads->CreateMutex(slot.name);
        } catch (const std::exception&) {
            SetLastSystemError(platform::kErrorNotEnoughMemory);
        }
        result = created ? TRUE : FALSE;
        if (!created) {
            const std::wstring format = L"%s:%d: Utility: InitializeCriticalSectionAndSpinCount " +
                                        std::wstring(slot.name, slot.name + std::strlen(slot.name)) +
                                        L" Fail, ErrorCode %d ";
            vDEBUG_ERR_printf(format.c_str(), kMethod, __LINE__, GetLastSystemError());
        }
        *slot.lock = std::move(created);
    }
    return result;
}

void CHubUtility::vDeleteCriticalSection() {
    m_UpdateConfigurationCriticalSection.reset();
    m_UpdateFirmwareCriticalSection.reset();
    m_CPURSTCriticalSection.reset();
    m_EnumCriticalSection.reset();
    m_VerifyFWCriticalSection.reset();
    m_ThreadCriticalSection.reset();
}

bool CHubUtility::bPauseUnlessCancelled(std::uint32_t ms) {
    if (m_pRunCancel == nullptr) {
        m_ports.clock->Sleep(ms);
        return false;
    }
    return m_ports.clock->SleepCancellable(ms, *m_pRunCancel);
}

// ---------------------------------------------------------------------------
// Configuration and firmware

BYTE CHubUtility::vWrRdConfiguration(BYTE ucTarget, BYTE bWrite, BYTE* pConfig256, BYTE ucImage,
                                     bool* pEraseStarted, bool bCompletesErase) {
    static const wchar_t kMethod[] = L"CHubUtility::vWrRdConfiguration";
    if (pEraseStarted != nullptr) *pEraseStarted = false;
    const Target t = FindTarget(*this, ucTarget, kMethod);
    if (t.dev == nullptr || pConfig256 == nullptr) return FALSE;

    int rc = 0;
    if (bWrite == 1) {
        // After the run's time-out no erase starts but the repeat of one
        // whose download failed: that table is erased already.
        if (bRunCancelled() && !bCompletesErase) {
            vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], run cancelled, image %d not erased", kMethod, __LINE__,
                              ucTarget, ucImage);
            return FALSE;
        }
        // A table written over bytes that were not erased comes out corrupted:
        // no download without a confirmed erase.
        if (pEraseStarted != nullptr) *pEraseStarted = true;
        rc = t.dev->VTL262xBlockErase(ucTarget, ucImage);
        if (rc != 0) {
            vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], VTL262xBlockErase[%d] return %d, no download, dwErrorCode %d",
                              kMethod, __LINE__, ucTarget, ucImage, rc, GetLastSystemError());
        } else {
            // An erased table is never left behind: the download that
            // completes the erase goes, the run's cancel notwithstanding.
            if (bRunCancelled())
                vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], run cancelled, image %d erased: its table download completes it",
                                  kMethod, __LINE__, ucTarget, ucImage);
            rc = t.dev->VTL262xConfigWrite(ucTarget, pConfig256, ucImage, 1);
        }
    } else {
        rc = t.dev->VTL262xConfigRead(ucTarget, pConfig256, ucImage);
    }
    m_ports.clock->Sleep(kAfterConfigMs);
    return rc == 0 ? TRUE : FALSE;
}

BOOL CHubUtility::vUpdateFirmware(BYTE ucTarget, BYTE ucImage) {
    const std::wstring path = m_szModuleDirectory + L"\\" + L"Temp" + L"\\" + L"TempBinData.bin";
    return UpdateFirmware(ucTarget, ucImage, &path, nullptr);
}

BOOL CHubUtility::vUpdateFirmware(BYTE ucTarget, BYTE ucImage, const std::vector<BYTE>& image) {
    return UpdateFirmware(ucTarget, ucImage, nullptr, &image);
}

BOOL CHubUtility::UpdateFirmware(BYTE ucTarget, BYTE ucImage, const std::wstring* path,
                                 const std::vector<BYTE>* image) {
    static const wchar_t kMethod[] = L"CHubUtility::vUpdateFirmware";
    const Target t = FindTarget(*this, ucTarget, kMethod);
    platform::Mutex* lock = Lock(m_UpdateFirmwareCriticalSection, L"m_UpdateFirmwareCriticalSection", kMethod);
    if (t.dev == nullptr || lock == nullptr) return FALSE;

    BOOL result = TRUE;
    {
        // One download at a time, whichever hub it is for.
        platform::ScopedLock held(*lock);
        // The lock may have been waited for across the run's time-out.
        if (bRunCancelled()) {
            vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], run cancelled, no firmware download to image %d", kMethod,
                              __LINE__, ucTarget, ucImage);
            return FALSE;
        }
        const int rc = image != nullptr ? t.dev->VTL262xFirmwareWrite(ucTarget, *image, ucImage, 1)
                                        : t.dev->VTL262xFirmwareWrite(ucTarget, *path, ucImage, 1);
        if (rc != 0) {
            vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareWrite , dwErrorCode %d", kMethod, __LINE__,
                              GetLastSystemError());
            result = FALSE;
        }
    }
    m_ports.clock->Sleep(kAfterFirmwareMs);
    return result;
}

// ---------------------------------------------------------------------------
// ROM read-back

BOOL CHubUtility::bReadSPIROM(BYTE ucTarget, BYTE* pBuf, std::size_t capacity, BYTE ucImage,
                              int* pFirmwareResult) {
    static const wchar_t kMethod[] = L"CHubUtility::bReadSPIROM";
    const Target t = FindTarget(*this, ucTarget, kMethod);
    platform::Mutex* lock = Lock(m_EnumCriticalSection, L"m_EnumCriticalSection", kMethod);
    if (t.dev == nullptr || lock == nullptr) return FALSE;
    if (pBuf == nullptr || capacity < kConfigBytes) {
        vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], a buffer of %d bytes cannot hold the ROM", kMethod, __LINE__,
                          ucTarget, pBuf ? capacity : 0);
        return FALSE;
    }
    CVntlHubDev& dev = *t.dev;
    DEV_LIST_ITEM& row = *t.row;

    BOOL result = FALSE;
    if (pFirmwareResult != nullptr) *pFirmwareResult = kChannelFailed;
    {
        platform::ScopedLock held(*lock);
        try {
            for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
                std::array<BYTE, kConfigBytes> config;
                config.fill(0xFF);
                if (dev.VTL262xConfigRead(ucTarget, config.data(), ucImage) == 0) {
                    std::memcpy(pBuf, config.data(), kConfigBytes);
                    const int firmware =
                        dev.VTL262xFirmwareRead(ucTarget, pBuf + kConfigBytes, capacity - kConfigBytes, ucImage);
                    if (pFirmwareResult != nullptr) *pFirmwareResult = firmware;
                    if (firmware == 0) {
                        result = TRUE;
                    } else {
                        vDEBUG_ERR_printf(L"%s:%d: VTL262xFirmwareRead Failed[%d] , Retry[%d], dwErrorCode=%x", kMethod,
                                          __LINE__, ucTarget, attempt, GetLastSystemError());
                        bPauseUnlessCancelled(kAfterFailedReadMs);
                    }
                    break;  // a firmware-area failure is not retried
                }

                vDEBUG_ERR_printf(L"%s:%d: VTL262xConfigRead Failed[%d] , Retry[%d], dwErrorCode=%x", kMethod,
                                  __LINE__, ucTarget, attempt, GetLastSystemError());
                if (bPauseUnlessCancelled(kAfterFailedReadMs)) break;

                // The hub may have come back under another object name: walk
                // again and look for it at its own place in the tree. The
                // walk's count is held against the run's identification scan.
                const BYTE scanCount = dev.m_DriverNum;
                const HubPosition position = row.m_position;
                std::array<DRIVERINFO, kDriverInfoCapacity> entries{};
                BYTE count = 0;
                GetDeviceList(entries, count, true);
                if (count != scanCount) {
                    if (bPauseUnlessCancelled(kAfterFailedReadMs)) break;
                    vDEBUG_ERR_printf(
                        L"%s:%d: ucTargetNumber[%d], the total target hub number[%d] is not equal to ucOldPositionIndex[%d] !!! ",
                        kMethod, __LINE__, ucTarget, count, scanCount);
                    continue;
                }
                for (BYTE i = 0; i < count; ++i) {
                    const DRIVERINFO& entry = entries[i];
                    if (position.empty() || entry.position != position) continue;
                    if (entry.ObjectName.empty()) {
                        vDEBUG_ERR_printf(L"%s:%d: bReadSPIROM Failed  , Retry[%d], dwErrorCode=%x", kMethod, __LINE__,
                                          attempt, GetLastSystemError());
                        continue;
                    }
                    row.m_strObjectName = entry.ObjectName;
                    vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], re-bound to [%s], ucPositionIndex[%d]", kMethod,
                                      __LINE__, ucTarget, entry.ObjectName, entry.ucPositionIndex);
                    break;
                }
                if (bPauseUnlessCancelled(kAfterRebindMs)) break;
            }
        } catch (const std::exception&) {
            vDEBUG_ERR_printf(L"%s:%d:  catch , dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
            result = FALSE;
        }
    }
    bPauseUnlessCancelled(kAfterReadBackMs);
    return result;
}

// ---------------------------------------------------------------------------
// Re-identification after a reset

BOOL CHubUtility::ReEnumrationTargetHub(BYTE ucTarget) {
    static const wchar_t kMethod[] = L"CHubUtility::ReEnumrationTargetHub";
    const Target t = FindTarget(*this, ucTarget, kMethod);
    platform::Mutex* lock = Lock(m_EnumCriticalSection, L"m_EnumCriticalSection", kMethod);
    if (t.dev == nullptr || lock == nullptr) return FALSE;
    CVntlHubDev& dev = *t.dev;
    DEV_LIST_ITEM& row = *t.row;

    platform::ScopedLock held(*lock);
    // The walk takes only hubs at a saved position while the mode is on;
    // whatever happens below, the mode and the saved positions end with the
    // call.
    struct EndOfMode {
        CHubUtility& u;
        ~EndOfMode() {
            u.m_bAllHubCheck4ReEnum = 0;
            u.m_ulOldPositionIndex.fill(kUnusedPositionIndex);
            u.m_OldPositions.fill(HubPosition{});
        }
    } endOfMode{*this};

    const BYTE oldDriverNum = dev.m_DriverNum;
    std::array<DRIVERINFO, kDriverInfoCapacity> entries{};
    BYTE count = 0;
    m_ulOldPositionIndex[ucTarget] = static_cast<DWORD>(static_cast<BYTE>(row.m_ucPositionIndex));
    m_OldPositions[ucTarget] = row.m_position;
    vDEBUG_MSG_printf(L"%s:%d: Entry , ucOldPositionIndex=%d, ucOldDriverNum=%d!!!!", kMethod, __LINE__,
                      m_ulOldPositionIndex[ucTarget], oldDriverNum);

    try {
        for (int attempt = 0; attempt < kReEnumAttempts && !bRunCancelled(); ++attempt) {
            m_bAllHubCheck4ReEnum = 1;
            dev.ScanEntries(entries, count);
            if (count == 0) {
                bPauseUnlessCancelled(kAfterEmptyRescanMs);
                vDEBUG_ERR_printf(L"%s:%d: ucTargetNumber[%d], get Hubs Number is 0, Retry[%d]!!! ", kMethod, __LINE__,
                                  ucTarget, attempt);
                continue;
            }
            for (BYTE i = 0; i < count; ++i) {
                const DRIVERINFO& entry = entries[i];
                if (m_OldPositions[ucTarget].empty() || entry.position != m_OldPositions[ucTarget]) continue;
                vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], Find the target hub[%s] ucOldPositionIndex[%d] ", kMethod,
                                  __LINE__, ucTarget, row.m_strObjectName, m_ulOldPositionIndex[ucTarget]);
                // A hub that cannot tell its version yet has not come back.
                if (!entry.ucFWVersion.IsValid()) {
                    vDEBUG_WRN_printf(L"%s:%d: ucTargetNumber[%d], the version block of [%s] is not valid yet", kMethod,
                                      __LINE__, ucTarget, entry.ObjectName);
                    continue;
                }

                platform::DeviceIo& io = *m_ports.deviceIo;
                const platform::DeviceOpenResult opened =
                    entry.ObjectName.empty()
                        ? platform::DeviceOpenResult{Handle::Invalid(), platform::kErrorPathNotFound}
                        : io.CreateFile(entry.ObjectName, platform::DeviceOpenMode::Filter);
                if (!opened.handle.IsValid()) {
                    SetLastSystemError(opened.error != 0 ? opened.error : platform::kErrorInvalidHandle);
                    vDEBUG_ERR_printf(L"%s:%d: This device[%s] handle can not be open, ", kMethod, __LINE__,
                                      entry.ObjectName);
                    if (bPauseUnlessCancelled(kAfterDeadEntryMs)) return FALSE;
                    continue;
                }
                CVNTLFILTER0 filter(io, *m_ports.clock);
                std::array<BYTE, 18> descriptor{};
                if (filter.Get_Descriptor(opened.handle, descriptor.data()) != kChannelOk) {
                    vDEBUG_ERR_printf(L"%s:%d: VNTLFILTER0.Get_Descriptor Failed  Error:%d", kMethod, __LINE__,
                                      GetLastSystemError());
                    io.CloseHandle(opened.handle);
                    if (bPauseUnlessCancelled(kAfterDeadEntryMs)) return FALSE;
                    continue;
                }
                std::wstring serial = kNoSerial;
                const BYTE iSerial = descriptor[kSerialIndexOffset];
                if (iSerial != 0) {
                    char text[kSerialBufferSize] = {};
                    filter.Get_StringDescriptor(opened.handle, text, sizeof text, kSerialBufferSize, iSerial);
                    serial = MultiStrToWideStr(text);
                }
                io.CloseHandle(opened.handle);

                const unsigned bcdUSB = descriptor[2] | (descriptor[3] << 8);
                const unsigned idVendor = descriptor[8] | (descriptor[9] << 8);
                const unsigned idProduct = descriptor[10] | (descriptor[11] << 8);
                row.m_strFWVersion = entry.ucFWVersion.VersionText();
                row.m_strBcdUSB = textfmt::Format(L"%04x", bcdUSB);
                row.m_strVID = textfmt::Format(L"%04x", idVendor);
                if (IsUsb3(row.m_strBcdUSB)) {
                    row.m_strPID30 = textfmt::Format(L"%04x", idProduct);
                } else {
                    row.m_strPID20 = textfmt::Format(L"%04x", idProduct);
                }
                row.m_strSN = serial;
                row.m_strObjectName = entry.ObjectName;
                vDEBUG_MSG_printf(L"%s:%d: ucTargetNumber[%d], Version[%s], SN[%s], ObjectName[%s]", kMethod, __LINE__,
                                  ucTarget, row.m_strFWVersion, row.m_strSN, row.m_strObjectName);
                return TRUE;
            }
            bPauseUnlessCancelled(kAfterUnmatchedRescanMs);
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d:  catch , dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
    }
    return FALSE;
}

}  // namespace hubaccess
