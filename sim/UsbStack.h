// The simulated machine's Windows USB stack: host controllers, root hubs,
// external hubs and other devices on ports, as the hub IOCTLs, SetupAPI, devcon
// and the code page show them.
//
// Tests build a topology with AddHostController / AddDevice. Every hub
// interface of a VTL262x chip is a device whose spec names the chip; the two
// interfaces of one chip (USB 2.0 and USB 3.0) share that one HubChip, so one
// register file and one flash.
//
// Presence is computed lazily from the clock: a restarted device and its
// whole subtree are away until the device's return time, and whenever the
// stack is next asked anything after that, they start again in the order in
// which they came back, each with a fresh PDO number (so a fresh filter
// device object name). Hub names, interface paths, driver keys and chip state
// stay as they were.
//
// A hub's filter device object exists only while the hub is started and the
// USB class's UpperFilters held a name containing "VNTLFILTER" when it
// started. A chip's objects are served by the FilterDriver given to the
// stack; those of other hubs open, but every request on them fails with
// ERROR_GEN_FAILURE (such a hub stalls vendor requests).
//
// Handles: hub-query opens of controllers and hubs are the stack's own;
// filter device objects are opened through the FilterDriver, and every handle
// the stack does not know is passed on to it.
//
// Not thread-safe by itself, like the FilterDriver: it runs under the
// deterministic scheduler, where one participant runs at a time. The stack
// must outlive the interface sets it hands out.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/DeviceIo.h"
#include "platform/Launcher.h"
#include "platform/SetupApi.h"
#include "sim/FilterDriver.h"
#include "sim/HubChip.h"

namespace sim {

class SimRegistry;
class Scheduler;

// The wire layouts the stack answers with (32-bit Windows, packed structures).
namespace usbwire {
constexpr std::uint32_t kIoctlRootHubNameOrNodeInfo = 0x220408;  // controller: root hub name; hub: node information
constexpr std::uint32_t kIoctlConnectionInfo = 0x22040C;
constexpr std::uint32_t kIoctlDescriptorFromConnection = 0x220410;
constexpr std::uint32_t kIoctlConnectionName = 0x220414;
constexpr std::uint32_t kIoctlConnectionInfoEx = 0x220448;

constexpr std::uint32_t kRootHubNameFixedSize = 6;      // ActualLength, RootHubName[1]
constexpr std::uint32_t kNodeInfoSize = 76;             // NodeType, HubDescriptor (71), HubIsBusPowered
constexpr std::uint32_t kNodeInfoPortsOffset = 6;       // HubDescriptor.bNumberOfPorts
constexpr std::uint32_t kConnectionInfoFixedSize = 35;  // up to PipeList
constexpr std::uint32_t kPipeInfoSize = 11;             // endpoint descriptor (7), ScheduleOffset
constexpr std::uint32_t kConnectionNameFixedSize = 10;  // ConnectionIndex, ActualLength, NodeName[1]
constexpr std::uint32_t kDescriptorRequestHeaderSize = 12;
}  // namespace usbwire

// Error codes the stack reports beyond platform/Win32Errors.h.
constexpr std::uint32_t kErrorNoSuchDevinst = 0xE000020B;

// The driver stack that enumerates a hub; it decides the hub's names and the
// registry keys its power management lives in.
enum class HostDriver {
    Inbox,        // "USB#..."        Enum\USB
    IUsb,         // "IUSB3#..."      Enum\IUSB3
    AmdUsb,       // "AMDUSB30#..."   Enum\AMDUSB30 (Enum\USB for a made-up instance id)
    Renesas,      // "RENESAS_USB3#..." Enum\RENESAS_USB3
    Nusb3,        // "NUSB3#..."      Enum\NUSB3
    VantrelUsbd,  // hub names are braced GUIDs; the class key holds the value
};

struct HostControllerSpec {
    // "\\?\pci#ven_8086&dev_a12f&...#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}".
    std::wstring interfacePath;
    std::wstring description = L"USB xHCI Compliant Host Controller";
    std::vector<std::wstring> hardwareIds;  // default: from the path
    std::wstring driverKey;                  // default: the next USB class instance
    HostDriver hostDriver = HostDriver::Inbox;
    // Root hub: its name without prefix (default "USB#ROOT_HUB30#4&...#{f18a0e88-...}")
    // and its ports.
    std::wstring rootHubName;
    std::uint8_t rootPorts = 4;
    bool usb3 = true;  // a USB 3.0 root hub (else 2.0)
};

// One device on a port: a hub interface (ports > 0) or another device.
struct UsbDeviceSpec {
    // Device descriptor.
    std::uint16_t vid = 0x7A7D;
    std::uint16_t pid = 0x3262;
    std::uint16_t bcdUSB = 0x0300;
    std::uint16_t bcdDevice = 0x0100;
    std::uint8_t deviceClass = 9;
    std::uint8_t iManufacturer = 0, iProduct = 0, iSerialNumber = 0;
    // Chip-backed interfaces: the descriptor is the chip's with this spec's
    // idProduct and bcdUSB, and the strings are the chip's in its languages.
    std::shared_ptr<HubChip> chip;
    bool descriptorsFromChip = false;
    // String descriptors: the LANGID table in order, and the texts by
    // (LANGID, index).
    std::vector<std::uint16_t> languages{0x0409};
    std::map<std::pair<std::uint16_t, std::uint8_t>, std::u16string> strings;

    std::uint8_t ports = 0;  // > 0: a hub with that many ports
    // The name the parent reports on the port ("USB#VID_7A7D&PID_3262#6&...#{f18a0e88-...}",
    // or "{...}" under VantrelUsbd); default made from the enumerator, VID,
    // PID and a made-up instance id.
    std::wstring name;
    std::wstring interfacePath;  // default "\\?\" + name in lower case (VantrelUsbd: "\\?\vantrelusbd_hub#...")
    std::wstring driverKey;      // default "{36FC9E60-...}\NNNN", the next instance
    std::vector<std::wstring> hardwareIds;  // default "<enum>\VID_v&PID_p&REV_r", "<enum>\VID_v&PID_p"
    std::wstring description;               // default "Generic USB Hub" / "USB Composite Device"
    std::optional<HostDriver> hostDriver;   // default: the controller's

    std::optional<std::uint8_t> speed;  // 0 low, 1 full, 2 high, 3 super; default from bcdUSB
    std::uint32_t connectionStatus = 1;  // while present; anything but 1 is not usable
    // Interrupt or bulk endpoints reported as open pipes (7-byte endpoint
    // descriptors); default for a hub: one interrupt IN endpoint.
    std::optional<std::vector<std::array<std::uint8_t, 7>>> pipes;

    // Restart: virtual time away (default: the stack's); never back.
    std::optional<std::uint32_t> restartDelayMs;
    bool neverReturns = false;

    // Power-management registry keys made when the hub is added (with the
    // stack's registry): the keys, and the value stored in them (none: the
    // keys hold no value).
    bool createRegistryKeys = true;
    std::optional<std::uint32_t> powerValue;
    // The "Device Parameters\WDF" key (IdleInWorkingState). Default: made
    // for USB 3.x hub interfaces only; Windows makes none for a hub driven
    // by the USB 2.0 hub driver, so writing the value there fails.
    std::optional<bool> wdfKey;
    // A CPU reset brings the interface back as a new device instance (a
    // firmware with another serial number): new instance id in its name and
    // path, new driver key, hence new power-management keys, which hold
    // Windows' default (selective suspend on, 1).
    bool newInstanceOnReset = false;

    bool IsHub() const { return ports > 0; }
    void SetString(std::uint8_t index, const std::u16string& text, std::uint16_t langId = 0x0409) {
        strings[{langId, index}] = text;
    }
};

// Which request a fault hits.
enum class UsbOp {
    Open,                   // CreateFile (any path, filter objects included)
    Ioctl,                  // DeviceIoControl on a hub-query handle
    ClassDevs,              // SetupDiGetClassDevs
    EnumInterface,          // SetupDiEnumDeviceInterfaces
    InterfaceDetail,        // SetupDiGetDeviceInterfaceDetail
    Property,               // SetupDiGetDeviceRegistryProperty
    SetClassInstallParams,  // property change, first step
    CallClassInstaller,     // property change, second step
    Launch,                 // StartAndWait
    InstanceId,             // SetupDiGetDeviceInstanceId
};

enum class UsbFaultKind {
    Fail,              // the call fails with `error`
    ActualLength,      // root hub name / connection name: ActualLength reads `value`
    NameWithoutBrace,  // connection name: the name comes without its "}"
    OutOfMemory,       // interface detail: the buffer cannot be had
    Hang,              // launch: the program never ends
};

struct UsbFault {
    UsbOp op = UsbOp::Ioctl;
    UsbFaultKind kind = UsbFaultKind::Fail;
    std::uint32_t error = 31;  // ERROR_GEN_FAILURE
    std::uint32_t value = 0;
    // Every given field must match.
    // A device path or name with "\\.\", "\\?\" or no prefix, any case: the
    // opened path, or any name of the device a request concerns; for Launch
    // the program.
    std::optional<std::wstring> path;
    std::optional<std::uint32_t> ioctl;
    std::optional<std::uint32_t> port;      // ConnectionIndex of the request
    std::optional<std::uint32_t> index;     // SetupAPI entry index
    std::optional<std::uint32_t> property;  // SPDRP_ code
    std::optional<platform::Guid> interfaceClass;
    int skip = 0;   // matching requests to let through first
    int times = 1;  // how many to hit; -1: every one
    int hits = 0;
};

enum class UsbEventKind { Open, Ioctl, Launch, Restart, Return, PropertyChange };
enum class RestartCause { Explicit, PropertyChange, Devcon, ChipReset };

struct UsbEvent {
    UsbEventKind kind = UsbEventKind::Ioctl;
    std::uint64_t timeMs = 0;  // MonotonicMs of the clock
    int node = -1;             // device concerned, -1 when none
    std::wstring path;         // opened path, the handle's path, the launched program
    std::wstring parameters;   // launch parameters
    std::wstring directory;    // launch: the program's working directory
    RestartCause cause = RestartCause::Explicit;
    std::uint32_t ioctl = 0;
    std::uint32_t port = 0;
    std::uint32_t scope = 0;  // property change scope; launch: 0 hidden, 1 shown
    bool ok = false;
    std::uint32_t error = 0;
    std::uint32_t bytesReturned = 0;
    std::vector<std::uint8_t> input, output;
    std::vector<int> restarted;  // launch: devices devcon restarted
};

// A devcon start as the hub restart makes it: hidden, in the folder that holds devcon.
inline platform::ChildProcess DevconChild(const std::wstring& parameters,
                                          const std::wstring& program = L"C:\\Tool\\devconAMD64.exe") {
    platform::ChildProcess child;
    child.program = program;
    child.commandLine = L"\"" + program + L"\" " + parameters;
    child.currentDirectory = program.substr(0, program.rfind(L'\\'));
    child.noWindow = true;
    child.hidden = true;
    return child;
}

class UsbStack : public platform::DeviceIo,
                 public platform::SetupApi,
                 public platform::Launcher,
                 public platform::CodePage {
public:
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
    static const wchar_t* const kUsbClassKey;  // HKLM path of the USB class key

    struct HostNodes {
        int controller = -1;
        int rootHub = -1;
    };

    // `registry` (optional) is read for UpperFilters when a hub starts and
    // receives the power-management keys of the hubs added.
    UsbStack(platform::Clock& clock, FilterDriver& filter, SimRegistry* registry = nullptr);
    ~UsbStack() override;
    UsbStack(const UsbStack&) = delete;
    UsbStack& operator=(const UsbStack&) = delete;

    // --- topology (std::invalid_argument on a bad parent, port or duplicate name)
    HostNodes AddHostController(const HostControllerSpec& spec);
    // Puts a device on port `port` (1-based) of hub `parentHub`.
    int AddDevice(int parentHub, std::uint32_t port, const UsbDeviceSpec& spec);

    // Specs for common devices.
    static UsbDeviceSpec Hub(std::uint16_t vid, std::uint16_t pid, std::uint16_t bcdUSB, std::uint8_t ports);
    static UsbDeviceSpec Device(std::uint16_t vid, std::uint16_t pid, std::uint16_t bcdUSB);
    // One interface of a VTL262x chip (pid 0: 0x3262 for USB 3.x, 0x2262 else).
    static UsbDeviceSpec ChipInterface(std::shared_ptr<HubChip> chip, std::uint16_t bcdUSB,
                                       std::uint16_t pid = 0, std::uint8_t ports = 4);

    // --- restarts
    void SetDefaultRestartDelay(std::uint32_t ms) { defaultRestartDelayMs_ = ms; }
    // Takes the device and its subtree away; it comes back after its delay.
    void Restart(int node, RestartCause cause = RestartCause::Explicit);
    // Every started interface of the chip leaves and comes back (a CPU reset).
    // Adding a chip's interface hooks this into the chip's onReset (after any
    // hook the chip already had).
    void ResetChip(const HubChip& chip);

    // --- devcon
    void SetDevconRunMs(std::uint32_t ms) { devconRunMs_ = ms; }
    // Device instance id as SetupDiGetDeviceInstanceIdW gives it
    // ("USB\VID_7A7D&PID_3262\6&2A3B4C5E&0&1"); devcon's "@<id>" names it.
    std::wstring InstanceId(int node) const;

    // --- state for assertions
    bool IsPresent(int node);
    std::wstring PdoName(int node);           // empty while not started
    std::wstring FilterObjectName(int node);  // empty when there is none
    std::wstring Name(int node) const;        // hub name / controller path
    std::wstring InterfacePath(int node) const;
    std::wstring DriverKey(int node) const;
    int Parent(int node) const;
    int NodeCount() const { return static_cast<int>(nodes_.size()); }

    UsbFault& AddFault(const UsbFault& fault);
    void ClearFaults() { faults_.clear(); }
    const std::vector<UsbEvent>& Journal() const { return journal_; }
    void ClearJournal() { journal_.clear(); }
    int OpenHandleCount() const { return static_cast<int>(handles_.size()); }

    // --- platform::DeviceIo
    platform::DeviceOpenResult CreateFile(const std::wstring& path, platform::DeviceOpenMode mode) override;
    platform::IoctlResult DeviceIoControl(platform::Handle device, std::uint32_t code,
                                          const std::uint8_t* in, std::uint32_t inLen,
                                          std::uint8_t* out, std::uint32_t outCapacity) override;
    bool CloseHandle(platform::Handle device) override;
    // Filter device objects: the FilterDriver's; the stack's own handles
    // have nothing to cancel.
    bool CancelIoEx(platform::Handle device) override;

    // --- platform::SetupApi
    std::unique_ptr<platform::DeviceInterfaceSet> GetClassDevs(const platform::Guid& interfaceClass,
                                                               std::uint32_t flags,
                                                               std::uint32_t* error) override;

    // --- platform::Launcher: "<path>\devconAMD64.exe" with "Restart <hardware
    // id>" restarts every present device whose first hardware id is that id,
    // and "Restart @<instance id>" the one device of that instance id (any
    // case); then it runs for the devcon time (Sleep on the clock). The stack
    // knows no other program (ERROR_FILE_NOT_FOUND).
    platform::ProcessRunResult StartAndWait(const platform::ChildProcess& child, std::uint32_t waitMs) override;

    // --- platform::CodePage: ASCII passes, anything else becomes '?'.
    std::wstring AnsiRoundTrip(const std::wstring& text) override;
    // The thread's code page is Windows-1252: bytes 0x80..0x9F read as its
    // characters there (0x80 is U+20AC), the others as the same code point.
    std::wstring ThreadAnsiToWide(const std::string& text) override;

private:
    enum class Kind { Controller, Hub, Device };
    struct Node {
        Kind kind = Kind::Device;
        int parent = -1;
        std::uint32_t port = 0;  // on the parent hub (0 for controllers and root hubs)
        int controller = -1;
        UsbDeviceSpec spec;  // controllers: name = interface path, description, ids, key
        HostDriver hostDriver = HostDriver::Inbox;
        std::vector<int> children;  // hubs: device per port (index port - 1), -1 empty;
                                    // controllers: the root hub
        std::uint64_t returnAtMs = 0;
        bool started = false;
        std::uint32_t generation = 0;  // starts so far
        std::wstring pdoName;
        std::wstring filterObject;
        std::uint16_t address = 0;
        std::uint16_t nextAddress = 1;  // controllers: next device address on the bus
    };
    struct OpenHandle {
        int node = -1;
        std::uint32_t generation = 0;
        std::wstring path;
        bool foreignFilter = false;  // filter object of a hub without a chip
    };
    // What a request is about, for fault matching.
    struct Request {
        std::optional<std::uint32_t> ioctl, port, index, property;
        std::optional<platform::Guid> interfaceClass;
    };
    class InterfaceSet;
    friend class InterfaceSet;

    static std::wstring Key(const std::wstring& path);
    void Refresh();
    std::uint64_t EffectiveReturn(int node) const;
    bool Usable(int node) const;  // started and, for devices on ports, connected
    void Start(int node, std::uint64_t atMs);
    void Stop(int node);
    bool FilterInstalled() const;
    void AddRegistryKeys(const Node& n);
    void IndexName(const std::wstring& name, int node);
    std::vector<std::wstring> NodeKeys(int node) const;
    UsbFault* FindFault(UsbOp op, int node, const std::wstring& path, const Request& request);
    std::vector<std::uint8_t> DeviceDescriptor(const Node& n) const;
    std::vector<std::uint16_t> Languages(const Node& n) const;
    // The full string descriptor, or empty when the device has none.
    std::vector<std::uint8_t> StringDescriptor(const Node& n, std::uint8_t index, std::uint16_t langId) const;
    platform::IoctlResult ControllerIoctl(const Node& n, std::uint32_t code, std::uint32_t outCapacity,
                                          const UsbFault* fault, std::vector<std::uint8_t>& reply);
    platform::IoctlResult HubIoctl(const Node& n, std::uint32_t code, const std::vector<std::uint8_t>& in,
                                   std::uint32_t outCapacity, const UsbFault* fault,
                                   std::vector<std::uint8_t>& reply);
    // SetupAPI property bytes as stored; false with `error` when unreadable.
    bool PropertyBytes(int node, std::uint32_t property, std::uint32_t* regType,
                       std::vector<std::uint8_t>* bytes, std::uint32_t* error) const;
    void Log(UsbEvent e) { journal_.push_back(std::move(e)); }
    void SchedulingPoint();
    // Gives the device a new instance id, driver key and registry keys.
    void NewInstance(int node);

    platform::Clock& clock_;
    Scheduler* scheduler_ = nullptr;  // the clock, when it is the scheduler
    FilterDriver& filter_;
    SimRegistry* registry_;
    std::vector<Node> nodes_;
    std::vector<int> controllers_;
    std::map<std::wstring, int> byKey_;                // normalized name -> node
    std::map<std::wstring, int> filterKeys_;           // normalized filter object name -> node
    std::map<std::uintptr_t, OpenHandle> handles_;
    std::uintptr_t nextHandle_ = 0x10000000;
    std::list<UsbFault> faults_;
    std::vector<UsbEvent> journal_;
    std::map<HubChip*, std::function<void(HubChip&)>> hookedChips_;  // chip -> its earlier hook
    std::uint32_t defaultRestartDelayMs_ = 1500;
    std::uint32_t devconRunMs_ = 2000;
    std::uint32_t nextPdo_ = 1;
    std::uint32_t nextPciPdo_ = 0x12;
    std::uint32_t nextClassInstance_ = 0;
    std::uint32_t nextInstanceSerial_ = 0;
};

}  // namespace sim
