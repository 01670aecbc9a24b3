// The USB topology walk: every host controller, its root hub and every hub
// below it. Each hub interface that passes the target filters becomes a
// DRIVERINFO entry of the hub device object.
//
// A hub's identity is its position: the root hub's name and the port numbers
// from the root hub down to it. The one-byte position index is still computed
// and logged, but it collides across ports, tiers and controllers, so
// re-enumeration compares the whole position.
#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "hubaccess/ByteOrder.h"
#include "hubaccess/AsciiText.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/LastError.h"
#include "hubaccess/UsbLayouts.h"
#include "hubaccess/VntlFilter0.h"
#include "hubaccess/VntlHubDev.h"
#include "platform/Win32Errors.h"

namespace hubaccess {
namespace {

namespace lay = usblayout;

constexpr wchar_t kOwnHostVendor[] = L"7A7C";
constexpr wchar_t kDefaultTargetVid[] = L"7A7D";
constexpr wchar_t kExcludedVid[] = L"8087";
constexpr wchar_t kUsb3Head[] = L"03";
constexpr wchar_t kUsb2Head[] = L"02";
constexpr wchar_t kXhciMark[] = L"xHCI";
constexpr wchar_t kRootHubPrefix[] = L"\\\\.\\";
constexpr wchar_t kHubPrefix[] = L"\\\\?\\";

// Hubs at tiers 1 to 7 below a root hub are examined; nothing deeper.
constexpr ULONG kMaxHubTier = 7;
// A host controller's description is handed down cut to this many characters.
constexpr std::size_t kDescriptionMax = 254;
constexpr BYTE kAllPorts = 0xFF;
constexpr DWORD kConnectionNameAttempts = 3;

// Speed filter values of m_ucCheckSpeedOnly.
constexpr BYTE kSpeedUsb2Only = 1;
constexpr BYTE kSpeedUsb3Only = 2;

// ERROR_INVALID_DATA: a reply too short for the field the walk needs.

// True when `mark` first occurs in `text` after its first character.
bool OccursAfterStart(const std::wstring& text, const wchar_t* mark) {
    const std::size_t at = text.find(mark);
    return at != std::wstring::npos && at > 0;
}

// The text up to and including its first '}'; empty when it has none.
std::wstring CutAfterBrace(const std::wstring& name) {
    const std::size_t brace = name.find(L'}');
    return brace == std::wstring::npos ? std::wstring() : name.substr(0, brace + 1);
}

// "root hub name:3.2" for the records.
std::wstring PositionText(const HubPosition& position) {
    std::wstring text = position.rootHubName + L":";
    for (std::size_t i = 0; i < position.portChain.size(); ++i) {
        if (i) text += L'.';
        text += std::to_wstring(position.portChain[i]);
    }
    return text;
}

// A hub-query handle of the walk, closed when the walk leaves its scope.
class HubHandle {
public:
    explicit HubHandle(platform::DeviceIo& io) : m_io(io) {}
    ~HubHandle() { Close(); }
    HubHandle(const HubHandle&) = delete;
    HubHandle& operator=(const HubHandle&) = delete;

    // Opens `path`; false (with the last system error set) when it fails.
    bool Open(const std::wstring& path) {
        Close();
        const platform::DeviceOpenResult r = m_io.CreateFile(path, platform::DeviceOpenMode::HubQuery);
        if (!r.handle.IsValid()) {
            SetLastSystemError(r.error != 0 ? r.error : platform::kErrorInvalidHandle);
            return false;
        }
        m_handle = r.handle;
        return true;
    }
    void Close() {
        if (m_handle.IsValid()) m_io.CloseHandle(m_handle);
        m_handle = Handle::Invalid();
    }
    Handle Get() const { return m_handle; }

private:
    platform::DeviceIo& m_io;
    Handle m_handle = Handle::Invalid();
};

// One request with `buffer` as input and output. Only the bytes the driver
// returned are kept; the rest of the buffer stays as it was (zero-filled by
// the callers). Sets the last system error from a failure.
bool Request(platform::DeviceIo& io, Handle h, std::uint32_t code, std::vector<std::uint8_t>& buffer,
             std::uint32_t* bytesReturned = nullptr) {
    const std::vector<std::uint8_t> input(buffer);
    std::vector<std::uint8_t> output(buffer.size(), 0);
    const platform::IoctlResult r =
        io.DeviceIoControl(h, code, input.data(), static_cast<std::uint32_t>(input.size()), output.data(),
                           static_cast<std::uint32_t>(output.size()));
    if (!r.Succeeded()) {
        SetLastSystemError(r.error);
        return false;
    }
    const std::size_t got = std::min<std::size_t>(r.bytesReturned, buffer.size());
    std::copy(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(got), buffer.begin());
    if (bytesReturned) *bytesReturned = static_cast<std::uint32_t>(got);
    SetLastSystemError(platform::kErrorSuccess);
    return true;
}

// IOCTL_USB_GET_NODE_INFORMATION: the hub's number of downstream ports. A
// reply too short to hold it counts as a failed request.
bool NodePortCount(platform::DeviceIo& io, Handle h, ULONG* ports) {
    std::vector<std::uint8_t> info(lay::kNodeInfoSize, 0);
    std::uint32_t got = 0;
    if (!Request(io, h, lay::kIoctlGetNodeInformation, info, &got)) return false;
    BYTE count = 0;
    if (!lay::DecodeNodeInfoPorts(info.data(), got, &count)) {
        SetLastSystemError(platform::kErrorInvalidData);
        return false;
    }
    *ports = count;
    return true;
}

// One connection-information request of the given layout.
bool ConnectionRequest(platform::DeviceIo& io, Handle h, ULONG port, bool ex, lay::ConnectionInfo* info) {
    std::vector<std::uint8_t> buffer =
        lay::EncodeConnectionInfoRequest(port, ex ? lay::kConnInfoExSize : lay::kConnInfoSize);
    std::uint32_t got = 0;
    if (!Request(io, h, ex ? lay::kIoctlGetNodeConnectionInformationEx : lay::kIoctlGetNodeConnectionInformation,
                 buffer, &got))
        return false;
    if (!lay::DecodeConnectionInfo(buffer.data(), got, ex, info)) {
        SetLastSystemError(platform::kErrorInvalidData);
        return false;
    }
    return true;
}

// A port's connection information: the EX request, or else the plain one
// (whose speed reads 0). False when neither answers.
bool ConnectionInformation(platform::DeviceIo& io, Handle h, ULONG port, lay::ConnectionInfo* info) {
    return ConnectionRequest(io, h, port, true, info) || ConnectionRequest(io, h, port, false, info);
}

}  // namespace

// ---------------------------------------------------------------------------
// Host controllers

BOOL CHubUtility::GetDeviceList() {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetDeviceList";
    CVntlHubDev* dev = m_USBLib.m_pHubDev.get();
    if (dev == nullptr) {
        vDEBUG_ERR_printf(L"%s:%d: no hub device object, m_pHubDev=NULL", kMethod, __LINE__);
        return FALSE;
    }
    return Walk(WalkSink{&dev->m_DriverInfo, &dev->m_DriverNum, false});
}

BOOL CHubUtility::GetDeviceList(std::array<DRIVERINFO, kDriverInfoCapacity>& entries, BYTE& count, bool quiet) {
    entries.fill(DRIVERINFO{});
    count = 0;
    return Walk(WalkSink{&entries, &count, quiet});
}

DRIVERINFO* CHubUtility::CurrentWalkEntry() {
    WalkSink sink = m_walk;
    if (sink.entries == nullptr) {
        // Outside a walk: the hub device object's next entry.
        CVntlHubDev* dev = m_USBLib.m_pHubDev.get();
        if (dev == nullptr) return nullptr;
        sink = WalkSink{&dev->m_DriverInfo, &dev->m_DriverNum, false};
    }
    if (*sink.count >= sink.entries->size()) return nullptr;
    return &(*sink.entries)[*sink.count];
}

BOOL CHubUtility::Walk(const WalkSink& sink) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetDeviceList";
    struct Bind {
        WalkSink& current;
        ~Bind() { current = WalkSink{}; }
    } bind{m_walk};
    m_walk = sink;
    try {
        if (!m_USBLib.m_pHubDev) {
            vDEBUG_ERR_printf(L"%s:%d: no hub device object, m_pHubDev=NULL", kMethod, __LINE__);
            return FALSE;
        }
        std::uint32_t error = 0;
        const std::unique_ptr<platform::DeviceInterfaceSet> set = m_ports.setupApi->GetClassDevs(
            platform::kGuidDevInterfaceUsbHostController, platform::kDigcfPresent | platform::kDigcfDeviceInterface,
            &error);
        if (!set) {
            SetLastSystemError(error);
            vDEBUG_ERR_printf(L"%s:%d: SetupDiGetClassDevs fail , dwErrorCode : %d", kMethod, __LINE__,
                              GetLastSystemError());
            return FALSE;
        }
        std::uint32_t count = 0;
        while (set->EnumInterface(count).ok) ++count;
        if (count == 0) {
            vDEBUG_MSG_printf(L"%s:%d: No USB Host Controller found", kMethod, __LINE__);
            return FALSE;
        }

        for (std::uint32_t index = 0; set->EnumInterface(index).ok; ++index) {
            const platform::InterfaceDetailResult detail = set->GetInterfaceDetail(index);
            if (!detail.ok) {
                if (detail.outOfMemory) vShowMessage(L"Insufficient memory");
                SetLastSystemError(detail.error);
                vDEBUG_ERR_printf(L"%s:%d: SetupDiGetDeviceInterfaceDetail fail , dwErrorCode : %d", kMethod,
                                  __LINE__, GetLastSystemError());
                return FALSE;
            }

            const platform::DevicePropertyResult size =
                set->GetDeviceRegistryProperty(index, platform::kSpdrpDeviceDesc, 0);
            if (size.ok || size.error != platform::kErrorInsufficientBuffer) {
                SetLastSystemError(size.error);
                vDEBUG_ERR_printf(L"%s:%d: SetupDiGetDeviceRegistryProperty fail , dwErrorCode : %d", kMethod,
                                  __LINE__, GetLastSystemError());
                return FALSE;
            }
            const platform::DevicePropertyResult desc =
                set->GetDeviceRegistryProperty(index, platform::kSpdrpDeviceDesc, size.requiredSize);
            if (!desc.ok) {
                SetLastSystemError(desc.error);
                vDEBUG_ERR_printf(L"%s:%d: SetupDiGetDeviceRegistryProperty fail , dwErrorCode : %d", kMethod,
                                  __LINE__, GetLastSystemError());
                return FALSE;
            }
            std::wstring description = lay::DecodeUtf16(desc.data.data(), desc.data.size());
            vDEBUG_MSG_printf(L"%s:%d: Found USB Host , strDeviceName=%s ", kMethod, __LINE__, description);
            description = BoundedText(description, kDescriptionMax + 1);

            const std::wstring& path = detail.devicePath;
            HubHandle host(*m_ports.deviceIo);
            if (!host.Open(path)) {
                vDEBUG_MSG_printf(L"%s:%d: Enum: strHostControllerName : %s ,", kMethod, __LINE__, path);
                continue;
            }
            const BYTE bOwnHost = OccursAfterStart(ToUpperAscii(path), kOwnHostVendor) ? 1 : 0;
            vDEBUG_MSG_printf(L"%s:%d: Enum: strHostControllerName : %s ,", kMethod, __LINE__, path);
            EnumerateHost(host.Get(), description, bOwnHost);
        }
        return TRUE;
    } catch (const std::bad_alloc&) {
        vShowMessage(L"Insufficient memory");
        return FALSE;
    }
}

// ---------------------------------------------------------------------------
// Root hub

DWORD CHubUtility::EnumerateHost(Handle hHostController, const std::wstring& strDescription, BYTE bOwnHost) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::EnumerateHost";
    HubHandle root(*m_ports.deviceIo);
    try {
        if (!GetRootHubName(hHostController)) {
            vDEBUG_ERR_printf(L"%s:%d: GetRootHubName Fail , dwErrorCode : %d", kMethod, __LINE__,
                              GetLastSystemError());
            return GetLastSystemError();
        }
        const std::wstring rootName = strRootHubName;
        vDEBUG_MSG_printf(L"%s:%d:  Root hub name is %s ", kMethod, __LINE__, rootName);

        const std::wstring path = kRootHubPrefix + rootName;
        if (!root.Open(path)) {
            vDEBUG_ERR_printf(L"%s:%d:  CreateFile[%s] fail , dwErrorCode : %d", kMethod, __LINE__, path,
                              GetLastSystemError());
            return GetLastSystemError();
        }
        ULONG ports = 0;
        if (!NodePortCount(*m_ports.deviceIo, root.Get(), &ports)) {
            const DWORD error = GetLastSystemError();
            root.Close();
            vDEBUG_ERR_printf(L"%s:%d: EnumerateHostController: IOCTL_USB_GET_NODE_INFORMATION fail , dwErrorCode : %d",
                              kMethod, __LINE__, error);
            return error;
        }
        GetHubPort(root.Get(), ports, 0, rootName, strDescription, bOwnHost, {});
        return 0;
    } catch (const std::exception&) {
        root.Close();
        vDEBUG_ERR_printf(L"%s:%d: EnumerateHostController: dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
        return GetLastSystemError();
    }
}

// ---------------------------------------------------------------------------
// Port walk

void CHubUtility::GetHubPort(Handle hHub, ULONG ulPorts, ULONG ulDepth, const std::wstring& strHubName,
                             const std::wstring& strDescription, BYTE bOwnHost, const std::vector<BYTE>& portChain) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetHubPort";
    platform::DeviceIo& io = *m_ports.deviceIo;
    HubHandle below(io);
    std::wstring lastPath;
    bool pathBuilt = false;
    try {
        CVntlHubDev* hubDev = m_USBLib.m_pHubDev.get();
        if (hubDev == nullptr || ulDepth >= kMaxHubTier) return;
        lay::ConnectionInfo connection;
        for (ULONG port = 1; port <= ulPorts; ++port) {
            vDEBUG_MSG_printf(L"%s:%d: Search Hub port[%d]/[%d] of host[%s]\n ", kMethod, __LINE__, port, ulPorts,
                              strDescription);
            if (!ConnectionInformation(io, hHub, port, &connection)) continue;
            if (connection.connectionStatus != lay::kDeviceConnected || !connection.deviceIsHub) continue;

            const std::int8_t positionIndex = ComputePositionIndex(static_cast<BYTE>(ulDepth),
                                                                   static_cast<BYTE>(ulPorts), static_cast<BYTE>(port));
            HubPosition position{strHubName, portChain};
            position.portChain.push_back(static_cast<BYTE>(port));
            vDEBUG_MSG_printf(L"%s:%d:  There is a hub be found , port number[%d], ucHubPortIndex[%d]", kMethod,
                              __LINE__, port, positionIndex);
            vDEBUG_MSG_printf(L"%s:%d:  Hub position[%s], tier[%d]", kMethod, __LINE__, PositionText(position),
                              ulDepth + 1);

            GetDeviceDescriptor(hHub, port, connection.deviceDescriptor.data());
            std::wstring connectedName;
            bool nameRead = false;
            TakeHub(hHub, port, ulDepth, strHubName, strDescription, bOwnHost, position, positionIndex, *hubDev,
                    &connectedName, &nameRead);

            // Walk below the hub, taken or not; a hub the speed filter turned
            // away still needs its name for that.
            if (!nameRead) connectedName = strGetExternalHubName(hHub, port);
            lastPath = kHubPrefix + CutAfterBrace(connectedName);
            pathBuilt = true;
            if (ulDepth + 1 >= kMaxHubTier) {
                vDEBUG_WRN_printf(L"%s:%d:  Hub[%s] is at tier %d, the hubs below it are not searched", kMethod,
                                  __LINE__, lastPath, ulDepth + 1);
                continue;
            }
            if (!below.Open(lastPath)) {
                vDEBUG_ERR_printf(L"%s:%d:  CreateFile[%s] fail , dwErrorCode : %d", kMethod, __LINE__, lastPath,
                                  GetLastSystemError());
                continue;
            }
            ULONG belowPorts = 0;
            if (!NodePortCount(io, below.Get(), &belowPorts)) {
                vDEBUG_ERR_printf(L"%s:%d:  IOCTL_USB_ET_NODE_INFORMATION (%s) Fail , dwErrorCode %d", kMethod,
                                  __LINE__, lastPath, GetLastSystemError());
            } else {
                vDEBUG_MSG_printf(L"%s:%d:  try NEXT_HUB Searching [%s]", kMethod, __LINE__, lastPath);
                GetHubPort(below.Get(), belowPorts, ulDepth + 1, strHubName, strDescription, bOwnHost,
                           position.portChain);
            }
            below.Close();
        }
    } catch (const std::exception&) {
        vDEBUG_ERR_printf(L"%s:%d:  dwErrorCode %d", kMethod, __LINE__, GetLastSystemError());
        below.Close();
    }
    if (pathBuilt) vDEBUG_MSG_printf(L"%s:%d:  End of Hub[%s] search ", kMethod, __LINE__, lastPath);
}

// The target filters and the steps of taking the hub on `port`, whose
// descriptor texts GetDeviceDescriptor has just left. Once the name step has
// run (*pNameRead), *pConnectedName holds the name the parent reports for the
// hub (empty when it could not be read).
void CHubUtility::TakeHub(Handle hHub, ULONG port, ULONG ulDepth, const std::wstring& strHubName,
                          const std::wstring& strDescription, BYTE bOwnHost, const HubPosition& position,
                          std::int8_t positionIndex, CVntlHubDev& hubDev, std::wstring* pConnectedName,
                          bool* pNameRead) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetHubPort";

    if (m_ucCheckSpeedOnly == kSpeedUsb3Only && !StartsWithIgnoringAsciiCase(strbcdUSB, kUsb3Head)) {
        vDEBUG_WRN_printf(L"%s:%d:  Check USB 3.0 Only!!!strBCDUSB[%s]", kMethod, __LINE__, strbcdUSB);
        return;
    }
    if (m_ucCheckSpeedOnly == kSpeedUsb2Only && !StartsWithIgnoringAsciiCase(strbcdUSB, kUsb2Head)) {
        vDEBUG_WRN_printf(L"%s:%d:  Check USB 2.0 Only!!!strBCDUSB[%s]", kMethod, __LINE__, strbcdUSB);
        return;
    }

    vDEBUG_MSG_printf(L"%s:%d: ready to get ExternalHubName, strHubName=%s, ulPortIndex=%d", kMethod, __LINE__,
                      strHubName, port);
    const std::wstring connectedName = strGetExternalHubName(hHub, port);
    *pConnectedName = connectedName;
    *pNameRead = true;
    if (connectedName.empty()) {
        vDEBUG_ERR_printf(L"%s:%d:  strGetExternalHubName failed, strHubName=%s, ulPortIndex=%d", kMethod, __LINE__,
                          strHubName, port);
        bPauseUnlessCancelled(5000);
        return;
    }

    if (!m_bAllHubCheck4ReEnum) {
        vDEBUG_MSG_printf(L"%s:%d: m_bAllHubCheck4ReEnum == FALSE", kMethod, __LINE__);
        if (!m_strVID_Indetify.empty() && !EqualsIgnoringAsciiCase(strVID, kDefaultTargetVid) &&
            !EqualsIgnoringAsciiCase(strVID, m_strVID_Indetify)) {
            vDEBUG_WRN_printf(L"%s:%d:  VID compare Error, this->strVID=%s, this->m_strVID_Indetify=%s", kMethod,
                              __LINE__, strVID, m_strVID_Indetify);
            return;
        }
    } else {
        const int devNums = hubDev.m_pDevList ? hubDev.m_pDevList->nCount : 0;
        vDEBUG_MSG_printf(L"%s:%d: m_bAllHubCheck4ReEnum == TRUE, ulHubPortIndex=%d, DevNums=%d", kMethod, __LINE__,
                          positionIndex, devNums);
        bool found = false;
        for (std::size_t ii = 0; ii < m_ulOldPositionIndex.size() && !found; ++ii) {
            vDEBUG_MSG_printf(L"%s:%d: m_ulOldPositionIndex[ii]=%d", kMethod, __LINE__, m_ulOldPositionIndex[ii]);
            if (m_OldPositions[ii].empty() || m_OldPositions[ii] != position) continue;
            vDEBUG_MSG_printf(L"%s:%d:  [%d]Found current hub port index[%d]=m_ulOldPositionIndex[%d], ulPortIndex=%d",
                              kMethod, __LINE__, ii, positionIndex, m_ulOldPositionIndex[ii], port);
            found = true;
        }
        if (!found) return;
    }
    vDEBUG_MSG_printf(L"%s:%d:  get ExternalHubName, strConnectedHubName=%s, ulPortIndex=%d", kMethod, __LINE__,
                      connectedName, port);

    if (m_bCheckManuString == 1 && !EqualsIgnoringAsciiCase(strIManufacture, m_strManuString_Indetify)) {
        vDEBUG_WRN_printf(L"%s:%d:  Manufactory compare Error, this->strIManufacture=%s, this->m_strManuString_Indetify=%s",
                          kMethod, __LINE__, strIManufacture, m_strManuString_Indetify);
        return;
    }
    if (!m_strPID30_Indetify.empty()) {
        if (!StartsWithIgnoringAsciiCase(strbcdUSB, kUsb3Head)) {
            vDEBUG_WRN_printf(L"%s:%d:  Current connection is not USB3.0, this->strbcdUSB=%s", kMethod, __LINE__,
                              strbcdUSB);
            return;
        }
        if (!EqualsIgnoringAsciiCase(strPID, m_strPID30_Indetify)) {
            vDEBUG_WRN_printf(L"%s:%d:  USB3.0 PID compare Error, this->strPID=%s, this->m_strPID30_Indetify=%s, ",
                              kMethod, __LINE__, strPID, m_strPID30_Indetify);
            return;
        }
    }
    if (!m_strPID20_Indetify.empty()) {
        if (!StartsWithIgnoringAsciiCase(strbcdUSB, kUsb2Head)) {
            vDEBUG_WRN_printf(L"%s:%d:  Current connection is not USB2.0, this->strbcdUSB=%s", kMethod, __LINE__,
                              strbcdUSB);
            return;
        }
        if (!EqualsIgnoringAsciiCase(strPID, m_strPID20_Indetify)) {
            vDEBUG_WRN_printf(L"%s:%d:  USB2.0 PID compare Error, this->strPID=%s, this->m_strPID20_Indetify=%s, ",
                              kMethod, __LINE__, strPID, m_strPID20_Indetify);
            return;
        }
    }
    if (EqualsIgnoringAsciiCase(strVID, kExcludedVid)) return;

    const std::wstring driverName = BoundedText(strChangeDeviceNameForMCCI(connectedName));
    vDEBUG_MSG_printf(L"%s:%d:  strChangeDeviceNameForMCCI=%s", kMethod, __LINE__, driverName);
    DRIVERINFO scratch;
    scratch.DriverName = driverName;
    if (GetObjecNameFromDriverName(&scratch, 0) != 0) {
        vDEBUG_ERR_printf(L"%s:%d: GetObjecNameFromDriverName Failed, str262xDriverName=%s", kMethod, __LINE__,
                          driverName);
        return;
    }

    // Outside GetDeviceList (a port walk started on its own) the entries are
    // the hub device object's.
    if (m_walk.entries == nullptr) m_walk = WalkSink{&hubDev.m_DriverInfo, &hubDev.m_DriverNum, false};
    BYTE& walkCount = *m_walk.count;
    if (walkCount >= kDriverInfoMax) {
        vDEBUG_WRN_printf(L"%s:%d: Find un-reasonable case, there are some exactly the same Hubs cascade, m_DriverNum=%d ",
                          kMethod, __LINE__, walkCount);
        return;
    }
    // The slot starts empty: nothing of the hub that held it before (its
    // power-management flag included) carries over.
    DRIVERINFO& entry = (*m_walk.entries)[walkCount];
    entry = DRIVERINFO{};
    entry.ObjectName = BoundedText(scratch.ObjectName);
    entry.DriverName = driverName;
    vDEBUG_MSG_printf(L"%s:%d:  Get the ObjecName =%s", kMethod, __LINE__, entry.ObjectName);

    const int portStatus = GetPortStatus(connectedName, kAllPorts);
    const BYTE os = ucGetOSVersion();
    const bool xhci = OccursAfterStart(strDescription, kXhciMark);
    if (portStatus == 0 || (os > kOsWin7 && xhci)) {
        HUBREC rec;
        rec.strConnectedHubName = driverName;
        rec.strHubVID = strVID;
        rec.strHubPID = strPID;
        rec.bOwnHostController = bOwnHost;
        bSetHubPowerManagementByRegistry(rec, 0);
    } else if (os > kOsWin7) {
        vDEBUG_MSG_printf(L"%s:%d: Hub[%s] is connect to Intel 2.0 Hot and Post status[%d] is not 0, ucPortStatus",
                          kMethod, __LINE__, driverName, portStatus);
    }

    if (m_walk.quiet && m_strFW_Indetify.empty()) {
        // A quiet walk leaves the hubs' filter device objects alone.
    } else if (bGet262xFWVersion(&entry) != 1) {
        vDEBUG_WRN_printf(L"%s:%d:  bGet262xFWVersion Failed, ucPositionIndex[%d]", kMethod, __LINE__, positionIndex);
    } else if (!m_strFW_Indetify.empty()) {
        std::wstring version;
        for (int i = 0; i < 6; ++i) textfmt::FormatTo(version, 2, L"%02X", entry.ucFWVersion.bytes[i]);
        if (!EqualsIgnoringAsciiCase(version, m_strFW_Indetify)) {
            vDEBUG_MSG_printf(L"%s:%d:  Filter Out FW version this->m_strFW_Indetify = [%s], Get FW Version=%s",
                              kMethod, __LINE__, m_strFW_Indetify, version);
            return;
        }
    }

    entry.szVID = BoundedText(strVID);
    entry.szPID = BoundedText(strPID);
    entry.szBcdUSB = BoundedText(strbcdUSB);
    entry.szParentHubName = BoundedText(strHubName);
    entry.ucPortNumber = static_cast<BYTE>(port);
    entry.ucHubDepth = static_cast<BYTE>(ulDepth + 1);
    entry.ucPositionIndex = positionIndex;
    entry.position = position;
    vDEBUG_MSG_printf(L"%s:%d:  Find VTL262x Hub, VID[%s], PID[%s], Speed[%s], ucPositionIndex[%d]", kMethod, __LINE__,
                      entry.szVID, entry.szPID, entry.szBcdUSB, positionIndex);
    ++walkCount;
}

// ---------------------------------------------------------------------------
// Supporting methods

std::wstring CHubUtility::strGetExternalHubName(Handle hHub, ULONG ulPort) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::strGetExternalHubName";
    if (hHub.IsNull()) return {};
    platform::DeviceIo& io = *m_ports.deviceIo;
    const ULONG port = ulPort & 0xFFu;
    for (DWORD attempt = 0; attempt < kConnectionNameAttempts; ++attempt) {
        std::wstring name;
        do {
            std::vector<std::uint8_t> probe = lay::EncodeConnectionNameRequest(port, lay::kConnNameFixedSize);
            std::uint32_t got = 0;
            if (!Request(io, hHub, lay::kIoctlGetNodeConnectionName, probe, &got)) {
                vDEBUG_ERR_printf(L"%s:%d: IOCTL_USB_GET_NODE_CONNECTION_NAME, Retry[%d],   dwErrorCode %d", kMethod,
                                  __LINE__, attempt, GetLastSystemError());
                bPauseUnlessCancelled(2500);
                break;
            }
            const DWORD actualLength = lay::DecodeConnectionNameLength(probe.data(), got);
            if (!lay::IsValidConnectionNameLength(actualLength)) {
                vDEBUG_ERR_printf(L"%s:%d: Retry[%d], Allocate space to hold the external hub name Fail nBytes=%x, sizeof(extHubName)=%x, dwErrorCode %d",
                                  kMethod, __LINE__, attempt, actualLength, lay::kConnNameFixedSize,
                                  GetLastSystemError());
                bPauseUnlessCancelled(500);
                break;
            }
            std::vector<std::uint8_t> block = lay::EncodeConnectionNameRequest(port, actualLength);
            if (!Request(io, hHub, lay::kIoctlGetNodeConnectionName, block, &got)) {
                vDEBUG_ERR_printf(L"%s:%d: Retry[%d], IOCTL_USB_GET_NODE_CONNECTION_NAME Fail , dwErrorCode %d",
                                  kMethod, __LINE__, attempt, GetLastSystemError());
                bPauseUnlessCancelled(200);
                break;
            }
            name = CutAfterBrace(WideStrToMultiStr(lay::DecodeConnectionName(block.data(), got)));
        } while (false);
        if (!name.empty()) {
            vDEBUG_MSG_printf(L"%s:%d: Retry[%d], Get connected Hub Name[%s]", kMethod, __LINE__, attempt, name);
            return name;
        }
        bPauseUnlessCancelled(400);
    }
    return {};
}

std::wstring CHubUtility::strChangeDeviceNameForMCCI(const std::wstring& strName) {
    if (strName.size() < 2 || strName.front() != L'{' || strName.back() != L'}') return strName;
    const std::wstring head = ToUpperAscii(strName.substr(1, 8));
    const std::wstring tail = strName.size() > 9 ? strName.substr(9) : std::wstring();
    const DWORD value = vCharToHex(head) - 1u;
    std::wstring result = textfmt::Format(L"{%08s%s", textfmt::Format(L"%x", value), tail);
    result = ToLowerAscii(result);
    std::replace(result.begin(), result.end(), L'-', L'_');
    return result;
}

BOOL CHubUtility::bGet262xFWVersion(DRIVERINFO* pEntry) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::bGet262xFWVersion";
    if (pEntry == nullptr) return FALSE;
    platform::DeviceIo& io = *m_ports.deviceIo;
    pEntry->ucFWVersion = FW_VERSION_BLOCK{};
    BOOL result = FALSE;
    const platform::DeviceOpenResult dev = pEntry->ObjectName.empty()
                                               ? platform::DeviceOpenResult{Handle::Invalid(), platform::kErrorPathNotFound}
                                               : io.CreateFile(pEntry->ObjectName, platform::DeviceOpenMode::Filter);
    if (!dev.handle.IsValid()) {
        SetLastSystemError(dev.error != 0 ? dev.error : platform::kErrorInvalidHandle);
        vDEBUG_ERR_printf(L"%s:%d: Create[%s] Failed,Retry[%d],  dwErrorCode=%d", kMethod, __LINE__,
                          pEntry->ObjectName, 0, GetLastSystemError());
    } else {
        CVNTLFILTER0 filter(io, *m_ports.clock);
        // The filter and the check after a reset go by this version: two
        // reads of a valid block must agree, or the hub has no version yet.
        FW_VERSION_BLOCK block;
        if (filter.ReadVersionAgreed(dev.handle, &block) != kChannelOk) {
            vDEBUG_WRN_printf(L"%s:%d: Get_Version Failed, Retry[%d], dev_name=%s , dwErrorCode=%d", kMethod, __LINE__,
                              0, pEntry->ObjectName, GetLastSystemError());
        } else {
            pEntry->ucFWVersion = block;
            result = TRUE;
        }
        io.CloseHandle(dev.handle);
    }
    if (!result) bPauseUnlessCancelled(500);
    return result;
}

int CHubUtility::GetPortStatus(const std::wstring& strHubName, BYTE ucMask) {
    static constexpr wchar_t kMethod[] = L"CHubUtility::GetPortStatus";
    platform::DeviceIo& io = *m_ports.deviceIo;
    HubHandle hub(io);
    ULONG ports = 0;
    if (!hub.Open(kHubPrefix + strHubName) || !NodePortCount(io, hub.Get(), &ports)) {
        vDEBUG_ERR_printf(L"%s:%d: GetPortData: IOCTL_USB_GET_NODE_INFORMATION (ConnectedHubHandle) Fail , dwErrorCode %d",
                          kMethod, __LINE__, GetLastSystemError());
        return 0;
    }
    int status = 0;
    for (ULONG port = 1; port <= ports; ++port) {
        if (port > 8 || (ucMask & (1u << (port - 1))) == 0) {
            vDEBUG_MSG_printf(L"%s:%d: This Port[%d] is disabel, do not check[%x] , continue....\n ", kMethod, __LINE__,
                              port, ucMask);
            continue;
        }
        // The request's own result is not looked at: a failed one leaves the
        // zeroed status.
        std::vector<std::uint8_t> info = lay::EncodeConnectionInfoRequest(port, lay::kConnInfoSize);
        std::uint32_t got = 0;
        Request(io, hub.Get(), lay::kIoctlGetNodeConnectionInformationEx, info, &got);
        lay::ConnectionInfo connection;
        if (!lay::DecodeConnectionInfo(info.data(), got, true, &connection) ||
            connection.connectionStatus != lay::kDeviceConnected)
            continue;
        switch (port) {
            case 4: status |= 8; break;
            case 3: status |= 4; break;
            case 2: status |= 2; break;
            default: status |= 1; break;
        }
    }
    return status;
}

}  // namespace hubaccess
