// The scan: the hub interfaces the topology walk found become rows of the
// hub table, one row per chip.
//
// A full scan (OpenDevice) runs four phases over the walk's entries:
//   1. the walk itself (GetDeviceList);
//   2. the filter link check: a hub whose filter device object does not
//      open, whose product string does not come back through the filter, or
//      whose power management the walk just changed is restarted, and every
//      entry is then linked to its new filter device object;
//   3. the identification signature of every interface is cleared;
//   4. identification: the first interface met of a chip marks the chip with
//      its row number and takes that row; the chip's other interface finds
//      the mark and only adds its PID, port, root hub name and bcdUSB to the
//      row.
// The rescan of a re-identification (ScanEntries) does phases 1 and 2 only,
// into an entry list of its caller's: the hub table, the hub device object's
// entries and their count then belong to the hub workers and stay as the
// identification scan left them.
//
// Merging goes only by a mark this scan wrote and verified: an interface
// whose mark could not be cleared in phase 3 counts as unmarked, and a mark
// naming a row whose own marking was not verified merges nothing.
#include <algorithm>
#include <array>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/VntlFilter0.h"
#include "hubaccess/VntlHubDev.h"
#include "platform/Win32Errors.h"

namespace hubaccess {

namespace {

constexpr wchar_t kOpenDevMethod[] = L"CVntlUSBLib::OpenDev";
constexpr wchar_t kOpenDeviceMethod[] = L"CVntlHubDev::OpenDevice";

// String descriptor the link check reads, and the buffers of the texts read
// through the filter (in bytes, terminator included).
constexpr BYTE kLinkCheckStringIndex = 2;
constexpr std::size_t kLinkCheckBufferSize = 44;
constexpr std::size_t kSerialBufferSize = 20;
constexpr std::size_t kManufacturerBufferSize = 44;
constexpr std::size_t kProductBufferSize = 48;

constexpr std::uint32_t kRestartSettleMs = 500;
constexpr std::uint32_t kRelinkPowerSettleMs = 500;
constexpr std::uint32_t kReopenPauseMs = 200;
constexpr int kRelinkAttempts = 3;
constexpr int kClearAttempts = 3;
// Tries of each filter request that decides whether a port holds a hub of
// the family (descriptor, string, register), as many as the scan's names get.
constexpr int kScanRequestTries = 3;

constexpr WORD kClearedSignature = 0xFFFF;
constexpr BYTE kSignatureUnmarked = 0, kSignatureMarked = 1;
const wchar_t kNoText[] = L"----";
const wchar_t kUsb2Head[] = L"02";
const wchar_t kUsb2Type[] = L"USB 2.0";
const wchar_t kUsb3Type[] = L"USB 3.0";

// The narrow form of an interface path, cut to fit its field; a path that
// is not plain ASCII has none (empty).
std::string NarrowPath(const std::wstring& path) {
    std::string narrow;
    for (wchar_t c : path) {
        if (c <= 0 || c >= 0x80) return {};
        narrow += static_cast<char>(c);
    }
    return BoundedText(narrow);
}

// An opened filter device object, closed when it leaves its scope. A failed
// open leaves the last system error set.
class FilterHandle {
public:
    FilterHandle(platform::DeviceIo& io, const std::wstring& name) : m_io(io), m_name(name) { Open(); }
    ~FilterHandle() { Close(); }
    FilterHandle(const FilterHandle&) = delete;
    FilterHandle& operator=(const FilterHandle&) = delete;

    bool IsOpen() const { return m_handle.IsValid(); }
    Handle Get() const { return m_handle; }
    void Close() {
        if (m_handle.IsValid()) m_io.CloseHandle(m_handle);
        m_handle = Handle::Invalid();
    }
    // Closes the object and opens it again by its name.
    void Reopen() {
        Close();
        Open();
    }

private:
    void Open() {
        platform::DeviceOpenResult r;
        if (m_name.empty()) {
            r.error = platform::kErrorPathNotFound;
        } else {
            r = m_io.CreateFile(m_name, platform::DeviceOpenMode::Filter);
            if (!r.handle.IsValid() && r.error == 0) r.error = platform::kErrorInvalidHandle;
        }
        if (r.handle.IsValid()) m_handle = r.handle;
        SetLastSystemError(r.handle.IsValid() ? platform::kErrorSuccess : r.error);
    }

    platform::DeviceIo& m_io;
    std::wstring m_name;
    Handle m_handle = Handle::Invalid();
};

// One filter request of the scan, tried up to kScanRequestTries times until
// `request` (given the open handle) returns 0. A try after a failed one opens
// the object again first: a request the driver never completed takes its
// handle with it. The last try's result.
template <class Request>
int Tried(FilterHandle& h, Request request) {
    int rc = kChannelFailed;
    for (int attempt = 0; attempt < kScanRequestTries; ++attempt) {
        if (attempt > 0 || !h.IsOpen()) h.Reopen();
        if (!h.IsOpen()) continue;
        rc = request(h.Get());
        if (rc == kChannelOk) return rc;
    }
    return rc;
}

// One scan over a list of entries: the hub device object's own, or a
// rescan's.
class Scan {
public:
    Scan(CVntlHubDev& dev, CHubUtility& utility, const wchar_t* method,
         std::array<DRIVERINFO, kDriverInfoCapacity>& entries, BYTE& count)
        : m_dev(dev),
          m_entries(entries),
          m_count(count),
          m_utility(utility),
          m_io(*utility.Ports().deviceIo),
          m_clock(*utility.Ports().clock),
          m_filter(m_io, m_clock),
          m_method(method) {}

    // Phase 1: zeroed entries, then the walk. False when it found no hub.
    bool Walk();
    // Phase 2: restarts and relinks; every entry gets its interface path.
    void CheckLinks();
    // Phase 3.
    void ClearSignatures();
    // Phase 4: fills the hub table.
    void Identify();

private:
    void Restart(DRIVERINFO& entry);
    void RelinkAll();
    std::string InterfacePath(const DRIVERINFO& entry, BYTE bRestart);
    void IdentifyEntry(BYTE index);
    void PassOver(const std::wstring& objectName, const wchar_t* what);
    void ReadDescriptorTexts(FilterHandle& h, const std::array<BYTE, 18>& descriptor);
    std::wstring ReadString(FilterHandle& h, BYTE index, std::size_t bufferSize);
    bool MergeIntoMarkedRow(FilterHandle& h, const DRIVERINFO& entry, bool usb2);
    void ClearMark(Handle h, const std::wstring& objectName);
    void FillRow(const DRIVERINFO& entry, const std::wstring& objectName, const std::wstring& version, bool usb2);

    CVntlHubDev& m_dev;
    std::array<DRIVERINFO, kDriverInfoCapacity>& m_entries;
    BYTE& m_count;
    // Phase 3's outcome per entry, and the rows whose mark was verified.
    std::array<bool, kDriverInfoCapacity> m_clearFailed{};
    std::array<bool, kDevListCapacity> m_rowMarked{};
    CHubUtility& m_utility;
    platform::DeviceIo& m_io;
    platform::Clock& m_clock;
    CVNTLFILTER0 m_filter;
    const wchar_t* m_method;
};

bool Scan::Walk() {
    m_utility.GetDeviceList(m_entries, m_count, false);
    if (m_count == 0) return false;
    vDEBUG_MSG_printf(L"%s:%d: Found %d Hubs", m_method, __LINE__, m_count);
    return true;
}

void Scan::CheckLinks() {
    const BYTE os = m_utility.ucGetOSVersion();
    for (BYTE i = 0; i < m_count; ++i) {
        DRIVERINFO& entry = m_entries[i];
        std::array<char, kLinkCheckBufferSize> text{};
        bool opened = false;
        {
            FilterHandle h(m_io, entry.ObjectName);
            opened = h.IsOpen();
            if (opened) {
                Tried(h, [&](Handle d) {
                    text.fill('\0');
                    return m_filter.Get_StringDescriptor(d, text.data(), text.size(),
                                                         static_cast<std::uint8_t>(text.size()), kLinkCheckStringIndex);
                });
            } else {
                vDEBUG_ERR_printf(L"%s:%d: This device[%s] handle can not be open, ", m_method, __LINE__,
                                  entry.ObjectName);
            }
        }
        // An empty string is accepted on Windows 7 only.
        const bool silent = text[0] == '\0' && os != kOsWin7;
        if (entry.bPMChanged || !opened || silent) {
            Restart(entry);
            RelinkAll();
        }
        entry.szHWIdPath = InterfacePath(entry, 0);
    }
}

void Scan::Restart(DRIVERINFO& entry) {
    HUBREC strHubInfo;
    strHubInfo.strConnectedHubName = entry.DriverName;
    vDEBUG_MSG_printf(L"%s:%d: Trigger Hub, strHubInfo.strConnectedHubName[%s]", m_method, __LINE__,
                      strHubInfo.strConnectedHubName);
    entry.szHWIdPath = InterfacePath(entry, 1);
}

std::string Scan::InterfacePath(const DRIVERINFO& entry, BYTE bRestart) {
    HUBREC strHubInfo;
    strHubInfo.strConnectedHubName = entry.DriverName;
    std::vector<std::wstring> paths;
    m_utility.ucGetHubHWIds(strHubInfo, &paths, bRestart);
    if (bRestart) m_utility.bPauseUnlessCancelled(kRestartSettleMs);
    return paths.empty() ? std::string() : NarrowPath(paths.front());
}

void Scan::RelinkAll() {
    for (BYTE p = 0; p < m_count; ++p) {
        DRIVERINFO& entry = m_entries[p];
        for (int attempt = 0; attempt < kRelinkAttempts; ++attempt) {
            if (entry.bPMChanged) m_utility.bPauseUnlessCancelled(kRelinkPowerSettleMs);
            DRIVERINFO scratch;
            scratch.DriverName = entry.DriverName;
            if (m_utility.GetObjecNameFromDriverName(&scratch, entry.bPMChanged) != 0) {
                vDEBUG_ERR_printf(L"%s:%d: GetObjecNameFromDriverName Failed, Driverinfo->DriverName[%s]", m_method,
                                  __LINE__, entry.DriverName);
                m_utility.GetObjecNameFromDriverName(&scratch, entry.bPMChanged);
                continue;
            }
            entry.ObjectName = scratch.ObjectName;
            vDEBUG_MSG_printf(L"%s:%d:  RE-GetObjecNameFromDriverName [%s]", m_method, __LINE__, entry.DriverName);
            FilterHandle h(m_io, entry.ObjectName);
            if (h.IsOpen()) break;
            vDEBUG_ERR_printf(
                L"%s:%d:  Re-Get Objec Handler Open still failed. This device[%s] handle can not be open, ERROR=%d,Retry[%d] ",
                m_method, __LINE__, entry.ObjectName, GetLastSystemError(), attempt);
            m_utility.bPauseUnlessCancelled(kReopenPauseMs);
        }
    }
}

void Scan::ClearSignatures() {
    for (BYTE i = 0; i < m_count; ++i) {
        const DRIVERINFO& entry = m_entries[i];
        m_clearFailed[i] = true;
        for (int attempt = 0; attempt < kClearAttempts && m_clearFailed[i]; ++attempt) {
            FilterHandle h(m_io, entry.ObjectName);
            if (!h.IsOpen()) {
                vDEBUG_ERR_printf(
                    L"%s:%d:  Clear mark Handler Open failed. This device[%s] handle can not be open, ERROR=%d,Retry[%d] ",
                    m_method, __LINE__, entry.ObjectName, GetLastSystemError(), attempt);
                continue;
            }
            const int rc = m_utility.WriteSignatureWORD(h.Get(), kClearedSignature);
            h.Close();
            if (rc == 0) {
                m_clearFailed[i] = false;
                break;
            }
            vDEBUG_ERR_printf(L"%s:%d: VNTLFILTER1.RegisterReadWriteCmd Failed  Error:%d", m_method, __LINE__,
                              GetLastSystemError());
        }
    }
}

void Scan::Identify() {
    for (BYTE i = 0; i < m_count; ++i) IdentifyEntry(i);
}

void Scan::IdentifyEntry(BYTE entryIndex) {
    const DRIVERINFO& entry = m_entries[entryIndex];
    const std::wstring objectName = entry.ObjectName;
    FilterHandle h(m_io, objectName);
    std::array<BYTE, 18> descriptor{};
    if (Tried(h, [&](Handle d) { return m_filter.Get_Descriptor(d, descriptor.data()); }) != kChannelOk) {
        if (!h.IsOpen()) {
            vDEBUG_ERR_printf(L"%s:%d: This device[%s] handle can not be open, ", m_method, __LINE__, objectName);
        } else {
            vDEBUG_ERR_printf(L"%s:%d: VNTLFILTER0.Get_Descriptor Failed  Error:%d", m_method, __LINE__, 0);
        }
        PassOver(objectName, L"device descriptor");
        return;
    }
    ReadDescriptorTexts(h, descriptor);
    const bool usb2 = StartsWith(m_dev.m_strDescBcdUSB, kUsb2Head);

    // A mark that could not be cleared is an earlier scan's: not this one's.
    if (m_clearFailed[entryIndex]) {
        vDEBUG_WRN_printf(L"%s:%d: Hub [%s] kept a mark of an earlier scan, taken as unmarked", m_method, __LINE__,
                          entry.DriverName);
    } else if (MergeIntoMarkedRow(h, entry, usb2)) {
        return;
    }

    // The rest of the system is sized for kDevListRowsUsed hubs.
    if (m_dev.ucListIndex >= kDevListRowsUsed) {
        vDEBUG_WRN_printf(L"%s:%d: Hub [%s] left out, the hub table is full with %d hubs", m_method, __LINE__,
                          objectName, static_cast<int>(m_dev.ucListIndex));
        ++m_dev.m_ucHubsLeftOut;
        ClearMark(h.Get(), objectName);
        return;
    }

    const BYTE rowIndex = m_dev.ucListIndex;
    const auto mark = [&](Handle d) {
        return m_utility.MarkSignatureforIdentify(d, static_cast<BYTE>('0' + rowIndex)) == 0 ? kChannelOk
                                                                                              : kChannelFailed;
    };
    if (Tried(h, mark) != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: Hub [%s] MarkSignatureforIdentify Failed  Error:%d", m_method, __LINE__,
                          objectName, 0);
    } else {
        m_rowMarked[rowIndex] = true;
    }

    // From here on a dropped chip loses its mark again, so that its other
    // interface cannot merge into the row the next hub takes.
    // The version decides whether the hub is current, newer or legacy: one
    // altered reply must not decide it (two reads of a valid block agree).
    FW_VERSION_BLOCK block;
    if (Tried(h, [&](Handle d) { return m_filter.ReadVersionAgreed(d, &block); }) != kChannelOk) {
        vDEBUG_ERR_printf(L"%s:%d: Get_Version Failed,  dwErrorCode=%d", m_method, __LINE__, GetLastSystemError());
        PassOver(objectName, L"version");
        ClearMark(h.Get(), objectName);
        return;
    }
    std::wstring version;
    for (int i = 0; i < 6; ++i) textfmt::FormatTo(version, 2, L"%02x", block.bytes[i]);

    const std::wstring& fwFilter = m_utility.m_strFW_Indetify;
    if (!fwFilter.empty() && !EqualsIgnoringAsciiCase(fwFilter, version)) {
        vDEBUG_MSG_printf(L"%s:%d:  Filter Out FW version this->m_strFW_Indetify = [%s], Get FW Version=%s", m_method,
                          __LINE__, fwFilter, version);
        ClearMark(h.Get(), objectName);
        return;
    }

    const std::wstring& codeFilter = m_utility.m_strFWCustomerCode_Indetify;
    if (!codeFilter.empty()) {
        const std::size_t start = m_utility.m_ucCustomerCodeStart;
        const std::wstring strCustomerCode =
            start < version.size() ? version.substr(start, m_utility.m_ucCustomerCodeLength) : std::wstring();
        // Hexadecimal digits: an upper-case filter names the same code.
        if (!EqualsIgnoringAsciiCase(strCustomerCode, codeFilter)) {
            vDEBUG_WRN_printf(
                L"%s:%d:  Filter Out FW Customer Code strCustomerCode = [%s], Get FW Version=%s, pUtility.m_strFWCustomerCode_Indetify=%s",
                m_method, __LINE__, strCustomerCode, version, codeFilter);
            ClearMark(h.Get(), objectName);
            return;
        }
    }

    FillRow(entry, objectName, version, usb2);
}

// A port whose hub could not be told apart after every try.
void Scan::PassOver(const std::wstring& objectName, const wchar_t* what) {
    vDEBUG_WRN_printf(L"%s:%d: Hub [%s] passed over, its %s not read in %d tries", m_method, __LINE__, objectName, what,
                      kScanRequestTries);
}

void Scan::ReadDescriptorTexts(FilterHandle& h, const std::array<BYTE, 18>& d) {
    const auto word = [&d](std::size_t at) { return static_cast<unsigned>(d[at] | (d[at + 1] << 8)); };
    const BYTE iManufacturer = d[14], iProduct = d[15], iSerialNumber = d[16];
    m_dev.m_strDescVID = textfmt::Format(L"%04x", word(8));
    m_dev.m_strDescPID = textfmt::Format(L"%04x", word(10));
    m_dev.m_strDescSN = iSerialNumber > 0 ? ReadString(h, iSerialNumber, kSerialBufferSize) : kNoText;
    m_dev.m_strDescManufacturer = ReadString(h, iManufacturer, kManufacturerBufferSize);
    m_dev.m_strDescProduct = ReadString(h, iProduct, kProductBufferSize);
    m_dev.m_strDescBcdDevice = textfmt::Format(L"%04x", word(12));
    m_dev.m_strDescBcdUSB = textfmt::Format(L"%04x", word(2));
}

// String `index` through the filter; index 0 names no string (empty text),
// and a read that fails every try gives an empty text too.
std::wstring Scan::ReadString(FilterHandle& h, BYTE index, std::size_t bufferSize) {
    if (index == 0) return {};
    std::vector<char> buffer(bufferSize, '\0');
    Tried(h, [&](Handle d) {
        std::fill(buffer.begin(), buffer.end(), '\0');
        return m_filter.Get_StringDescriptor(d, buffer.data(), buffer.size(), static_cast<std::uint8_t>(bufferSize),
                                             index);
    });
    return m_utility.MultiStrToWideStr(buffer.data());
}

// The chip's other interface was met before when it carries the mark; the
// row number the mark holds counts only when it was read and names a row of
// this scan. Returns true when the interface was merged into that row.
bool Scan::MergeIntoMarkedRow(FilterHandle& h, const DRIVERINFO& entry, bool usb2) {
    BYTE marked = kSignatureUnmarked;
    Tried(h, [&](Handle d) {
        marked = m_utility.bIsSignatureMarked(d);
        // Anything but marked or unmarked is a read that did not answer.
        return marked == kSignatureMarked || marked == kSignatureUnmarked ? kChannelOk : kChannelFailed;
    });
    if (marked != kSignatureMarked) return false;
    bool readOk = false;
    std::array<BYTE, 4> regs{};
    BYTE indexChar = 0;
    Tried(h, [&](Handle d) {
        indexChar = m_utility.ucGetSignatureMarked(d, regs.data(), &readOk);
        return readOk ? kChannelOk : kChannelFailed;
    });
    const int row = static_cast<int>(indexChar) - '0';
    if (!readOk || row < 0 || row >= m_dev.ucListIndex || !m_rowMarked[static_cast<std::size_t>(row)]) {
        vDEBUG_WRN_printf(L"%s:%d: Hub [%s] carries no mark of this scan (index byte %02x, read %d), taken as unmarked",
                          m_method, __LINE__, entry.DriverName, indexChar, readOk ? 1 : 0);
        return false;
    }
    vDEBUG_MSG_printf(L"%s:%d: This  Hub [%s] have been marked, ", m_method, __LINE__, entry.DriverName);
    DEV_LIST_ITEM& item = m_dev.m_pDevList->rows[static_cast<std::size_t>(row)];
    item.m_strCompanionParentHubName = entry.szParentHubName;
    item.m_ucCompanionPortNumber = entry.ucPortNumber;
    item.m_strCompanionBcdUSB = m_dev.m_strDescBcdUSB;
    (usb2 ? item.m_strPID20 : item.m_strPID30) = m_dev.m_strDescPID;
    return true;
}

void Scan::ClearMark(Handle h, const std::wstring& objectName) {
    for (int attempt = 0; attempt < kClearAttempts; ++attempt)
        if (m_utility.WriteSignatureWORD(h, kClearedSignature) == 0) return;
    vDEBUG_ERR_printf(L"%s:%d: Hub [%s] keeps its mark, Error:%d", m_method, __LINE__, objectName,
                      GetLastSystemError());
}

void Scan::FillRow(const DRIVERINFO& entry, const std::wstring& objectName, const std::wstring& version, bool usb2) {
    const BYTE index = m_dev.ucListIndex;
    DEV_LIST_ITEM& row = m_dev.m_pDevList->rows[index];
    (usb2 ? row.m_strPID20 : row.m_strPID30) = m_dev.m_strDescPID;
    row.m_strVID = m_dev.m_strDescVID;
    row.m_strSN = m_dev.m_strDescSN;
    row.m_strManufacturer = m_dev.m_strDescManufacturer;
    row.m_strProduct = m_dev.m_strDescProduct;
    row.m_strBcdDevice = m_dev.m_strDescBcdDevice;
    row.m_strBcdUSB = m_dev.m_strDescBcdUSB;
    row.m_strFWVersion = version;
    row.m_strUSBType = usb2 ? kUsb2Type : kUsb3Type;
    row.m_ucTargetNumber = index;
    row.m_strParentHubName = entry.szParentHubName;
    row.m_strDriverName = entry.DriverName;
    row.m_strObjectName = objectName;
    row.m_ucPortNumber = entry.ucPortNumber;
    row.m_ucPositionIndex = entry.ucPositionIndex;
    row.m_ucHubDepth = entry.ucHubDepth;
    row.m_position = entry.position;
    // A companion of an earlier scan is no companion of this chip.
    row.m_strCompanionParentHubName.clear();
    row.m_ucCompanionPortNumber = 0;
    row.m_strCompanionBcdUSB.clear();

    if (row.m_ucHubDepth > m_utility.m_MaxHubDepth.load())
        m_utility.m_MaxHubDepth.store(static_cast<std::int8_t>(row.m_ucHubDepth));

    vDEBUG_MSG_printf(
        L"%s:%d: Found Hubs[%d], USB[%s], VID[%s], PID 3.0[%s], PID2.0[%s], SN[%s], M String[%s], P String[%s], Index[%d], Version[%s]",
        m_method, __LINE__, index, row.m_strUSBType, row.m_strVID, row.m_strPID30, row.m_strPID20, row.m_strSN,
        row.m_strManufacturer, row.m_strProduct, row.m_ucPositionIndex, version);
    m_dev.ucListIndex = static_cast<BYTE>(index + 1);
    m_dev.m_pDevList->nCount = m_dev.ucListIndex;
}

}  // namespace

int CVntlUSBLib::OpenDev(DEV_LIST* pList, int) {
    if (!m_pHubDev) {
        try {
            m_pHubDev = std::make_unique<CVntlHubDev>(m_utility);
        } catch (const std::exception&) {
            vDEBUG_MSG_printf(L"%s:%d: OpenDev: OSv%d Fail:%d ", kOpenDevMethod, __LINE__, 0, GetLastSystemError());
            return kChipNoHub;
        }
    }
    return m_pHubDev->OpenDevice(pList);
}

int CVntlHubDev::OpenDevice(DEV_LIST* pList) {
    if (pList == nullptr) {
        vDEBUG_ERR_printf(L"%s:%d: no hub table to fill", kOpenDeviceMethod, __LINE__);
        return kChipNoHub;
    }
    // The walk fills the entries of the facade's hub device object.
    if (m_utility.m_USBLib.m_pHubDev.get() != this) {
        vDEBUG_ERR_printf(L"%s:%d: this hub device object is not the hub utility's", kOpenDeviceMethod, __LINE__);
        return kChipNoHub;
    }
    try {
        m_pDevList = pList;
        m_utility.m_MaxHubDepth.store(0);
        m_DriverInfo.fill(DRIVERINFO{});
        m_DriverNum = 0;
        vClearPrivateData();
        m_ucHubsLeftOut = 0;
        Scan scan(*this, m_utility, kOpenDeviceMethod, m_DriverInfo, m_DriverNum);
        if (!scan.Walk()) return kChipNoHub;
        scan.CheckLinks();
        scan.ClearSignatures();
        scan.Identify();
        return 0;
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d:  Error:%d", kOpenDeviceMethod, __LINE__, GetLastSystemError());
        return 0;
    }
}

int CVntlHubDev::ScanEntries(std::array<DRIVERINFO, kDriverInfoCapacity>& entries, BYTE& count) {
    entries.fill(DRIVERINFO{});
    count = 0;
    if (m_utility.m_USBLib.m_pHubDev.get() != this) {
        vDEBUG_ERR_printf(L"%s:%d: this hub device object is not the hub utility's", kOpenDeviceMethod, __LINE__);
        return kChipNoHub;
    }
    try {
        Scan scan(*this, m_utility, kOpenDeviceMethod, entries, count);
        if (!scan.Walk()) return kChipNoHub;
        scan.CheckLinks();
        return 0;
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d:  Error:%d", kOpenDeviceMethod, __LINE__, GetLastSystemError());
        return count == 0 ? kChipNoHub : 0;
    }
}

}  // namespace hubaccess
