// CVntlHubDev: the hub device object. It keeps the hub interfaces the last
// walk found and points at the caller's hub table; its chip operations
// address a hub by its row in that table, open the hub's filter device
// object, send their requests over the filter channel and close it again.
//
// CVntlUSBLib: the facade through which the hub utility reaches it.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "hubaccess/HubRecords.h"
#include "hubaccess/VntlFilter0.h"
#include "hubaccess/WinTypes.h"
#include "platform/Threads.h"

namespace hubaccess {

class CHubUtility;

// Results of the chip operations besides the channel's own.
constexpr int kChipNoHub = -4;
// The firmware area was read, but its length word lies outside 0x5000..0xFFFE:
// the image there cannot boot.
constexpr int kChipFirmwareLengthInvalid = -2;

class CVntlHubDev {
public:
    explicit CVntlHubDev(CHubUtility& utility);
    virtual ~CVntlHubDev();

    // The scan: fills the hub table (at most kDevListRowsUsed rows), the
    // entries and m_MaxHubDepth. -4 when the walk found no hub interface.
    int OpenDevice(DEV_LIST* pList);
    // The rescan of a re-identification: walks, restarts silent hubs and
    // relinks into `entries` / `count` only. The hub table, its count,
    // m_MaxHubDepth and this object's own entries (m_DriverInfo, m_DriverNum:
    // the run's identification scan) stay as they are. -4 when the walk found
    // no hub interface.
    int ScanEntries(std::array<DRIVERINFO, kDriverInfoCapacity>& entries, BYTE& count);

    // Record presets.
    void vInitialPrivateData();
    void vClearPrivateData();
    void vInitHubStatusFlags();

    // Chip operations. ucTarget is the row of m_pDevList.
    int VTL262xAccessRegister(BYTE ucTarget, BYTE* pData, WORD wAddress, BYTE bWrite);
    int VTL262xFirmwareWrite(BYTE ucTarget, const std::wstring& strFile, BYTE ucImage, BYTE bSel);
    // Downloads the image given as its bytes (a TEMP_BIN_IMAGE), padded
    // with zeros to whole 32-byte chunks, into image ucImage.
    int VTL262xFirmwareWrite(BYTE ucTarget, const std::vector<BYTE>& image, BYTE ucImage, BYTE bSel);
    int VTL262xConfigWrite(BYTE ucTarget, const BYTE* pData256, BYTE ucImage, BYTE bSel);
    int VTL262xBlockErase(BYTE ucTarget, BYTE ucBlock);
    int VTL262xConfigRead(BYTE ucTarget, BYTE* pOut256, BYTE ucImage);
    // Reads the firmware area into pOut, which holds outCapacity bytes,
    // with ROM read value ucImage (0: the area the chip runs from first).
    // 0; kChipFirmwareLengthInvalid when the area's length word is out of
    // range (nothing copied); -1 when a request or the open fails.
    int VTL262xFirmwareRead(BYTE ucTarget, BYTE* pOut, std::size_t outCapacity, BYTE ucImage = 0);
    // A register read until two successful reads agree, at most four reads;
    // when none agree, the last value read. The failure of the last read
    // when none succeeded.
    int VTL262xReadRegisterAgreed(BYTE ucTarget, BYTE* pData, WORD wAddress);
    // One 32-byte block of the ROM at dwOffset with ROM read value ucValue,
    // read until two successful reads agree, at most four reads. 0 with the
    // agreed bytes in pOut32; -1 when no two agree (pOut32 untouched), or
    // the failure of the last read when none succeeded.
    int VTL262xRomBlockReadAgreed(BYTE ucTarget, DWORD dwOffset, BYTE ucValue, BYTE* pOut32);
    int VTL262xReset(BYTE ucTarget, BYTE bByRegister);

    // Cancels the requests in flight on the filter device object a chip
    // operation of row ucTarget holds open now (the device port's
    // CancelIoEx), from any thread: the waiting operation then fails with
    // ERROR_OPERATION_ABORTED. TRUE when a request was cancelled. For a run's
    // time-out, so that a driver that never completes a request cannot hang
    // the tool. No lock is held while the driver is asked: the handle stays
    // open until the cancel has returned, and when the operation lets go of
    // it meanwhile, the cancel closes it.
    BOOL CancelTargetRequests(BYTE ucTarget);

    // Descriptor texts of the interface being examined.
    std::wstring m_strDescPID, m_strDescVID, m_strDescSN, m_strDescManufacturer, m_strDescProduct,
        m_strDescBcdDevice, m_strDescBcdUSB;
    DEV_LIST* m_pDevList = nullptr;
    // The hub interfaces of the run's identification scan (OpenDevice); no
    // rescan rewrites them.
    std::array<DRIVERINFO, kDriverInfoCapacity> m_DriverInfo{};
    BYTE ucListIndex = 0;
    BYTE m_DriverNum = 0;
    // Hubs of the family the last scan (OpenDevice) found but could not
    // take because the hub table was full.
    BYTE m_ucHubsLeftOut = 0;

protected:
    CHubUtility& m_utility;
    CVNTLFILTER0 m_filter;

    // The filter device object name of row ucTarget, or empty when there is
    // no such row.
    std::wstring ObjectNameOf(BYTE ucTarget) const;
    // Opens the hub's filter device object (overlapped, access 0, share 0)
    // for row ucTarget; while it is open CancelTargetRequests can reach it.
    platform::DeviceOpenResult OpenFilterObject(BYTE ucTarget, const std::wstring& name);
    void CloseFilterObject(BYTE ucTarget, Handle h);

    // The filter device object each row's chip operation holds open; the
    // one a cancel of the row is sent to now, and whether its chip
    // operation has let go of it meanwhile (its close is then the cancel's).
    // The lock guards these only: it is never held across a call that may
    // wait on a driver.
    std::unique_ptr<platform::Mutex> m_openHandlesLock;
    std::array<Handle, kDevListCapacity> m_openHandles;
    std::array<Handle, kDevListCapacity> m_cancelling;
    std::array<bool, kDevListCapacity> m_closeAfterCancel{};
};

class CVntlUSBLib {
public:
    explicit CVntlUSBLib(CHubUtility& utility) : m_utility(utility) {}
    virtual ~CVntlUSBLib();
    // Creates the hub device object on first use, then scans into pList.
    int OpenDev(DEV_LIST* pList, int unused);
    std::unique_ptr<CVntlHubDev> m_pHubDev;

private:
    CHubUtility& m_utility;
};

}  // namespace hubaccess
