#include "sim/UsbStack.h"

#include "sim/Scheduler.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "hubaccess/ByteOrder.h"
#include "platform/Registry.h"
#include "platform/Win32Errors.h"
#include "sim/SimSystem.h"
#include "sim/UsbText.h"

namespace sim {

using platform::IoctlResult;
using platform::IoctlStatus;
using hubaccess::GetLe16;
using hubaccess::GetLe32;
using hubaccess::PutLe16;
using hubaccess::PutLe32;
using usbtext::Lower;
using usbtext::Upper;
namespace wire = usbwire;

const wchar_t* const UsbStack::kUsbClassKey =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}";

namespace {

const std::wstring kHubInterfaceGuid = L"{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::wstring kDeviceInterfaceGuid = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const std::wstring kUsbClassGuid = L"{36FC9E60-C465-11CF-8056-444553540000}";

IoctlResult Done(std::uint32_t bytes) { return {IoctlStatus::Completed, 0, bytes}; }
IoctlResult Fail(std::uint32_t error) { return {IoctlStatus::Failed, error, 0}; }

std::wstring Hex(std::uint32_t v, int digits, bool upper) {
    static const wchar_t* kUpper = L"0123456789ABCDEF";
    static const wchar_t* kLower = L"0123456789abcdef";
    std::wstring s(static_cast<std::size_t>(digits), L'0');
    for (int i = digits - 1; i >= 0; --i, v >>= 4) s[static_cast<std::size_t>(i)] = (upper ? kUpper : kLower)[v & 0xF];
    return s;
}

std::wstring Decimal4(std::uint32_t v) {
    std::wstring s = std::to_wstring(v);
    return s.size() < 4 ? std::wstring(4 - s.size(), L'0') + s : s;
}

bool HasDevicePrefix(const std::wstring& path) {
    return path.size() > 4 && path[0] == L'\\' && path[1] == L'\\' && (path[2] == L'.' || path[2] == L'?') &&
           path[3] == L'\\';
}

const wchar_t* Enumerator(HostDriver d) {
    switch (d) {
        case HostDriver::IUsb: return L"IUSB3";
        case HostDriver::AmdUsb: return L"AMDUSB30";
        case HostDriver::Renesas: return L"RENESAS_USB3";
        case HostDriver::Nusb3: return L"NUSB3";
        case HostDriver::VantrelUsbd: return L"VANTRELUSBD_HUB";
        case HostDriver::Inbox: break;
    }
    return L"USB";
}

// The instance segment of a device name or path: what stands between its
// last two "#".
std::wstring InstanceOf(const std::wstring& name) {
    const std::size_t last = name.rfind(L'#');
    if (last == std::wstring::npos || last == 0) return L"";
    const std::size_t prev = name.rfind(L'#', last - 1);
    return prev == std::wstring::npos ? L"" : name.substr(prev + 1, last - prev - 1);
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

bool IsBracedName(const std::wstring& name) {
    if (name.size() < 10 || name.front() != L'{' || name.back() != L'}') return false;
    for (std::size_t i = 1; i <= 8; ++i)
        if (HexDigit(name[i]) < 0) return false;
    return true;
}

// "{xxxxxxxx-...}" with the first group lowered by one, in lower case: the
// physical device object name of a hub of the VANTRELUSBD stack.
std::wstring BracedNameLessOne(const std::wstring& name) {
    std::uint32_t v = 0;
    for (std::size_t i = 1; i <= 8; ++i) v = v * 16 + static_cast<std::uint32_t>(HexDigit(name[i]));
    return L"{" + Hex(v - 1, 8, false) + Lower(name.substr(9));
}

// Text after the last backslash.
std::wstring ShortName(const std::wstring& s) {
    const std::size_t p = s.rfind(L'\\');
    return p == std::wstring::npos ? s : s.substr(p + 1);
}

std::wstring DefaultDriverKey(std::uint32_t& counter) { return kUsbClassGuid + L"\\" + Decimal4(counter++); }

// The four hexadecimal digits after `tag` ("VEN_", "DEV_") in a path, "0000"
// when there are none.
std::wstring AfterTag(const std::wstring& upperPath, const std::wstring& tag) {
    const std::size_t p = upperPath.find(tag);
    if (p == std::wstring::npos || p + tag.size() + 4 > upperPath.size()) return L"0000";
    const std::wstring digits = upperPath.substr(p + tag.size(), 4);
    for (wchar_t c : digits)
        if (HexDigit(c) < 0) return L"0000";
    return digits;
}

std::uint16_t HexValue(const std::wstring& digits) {
    std::uint32_t v = 0;
    for (wchar_t c : digits) v = v * 16 + static_cast<std::uint32_t>(HexDigit(c));
    return static_cast<std::uint16_t>(v);
}

}  // namespace

UsbStack::UsbStack(platform::Clock& clock, FilterDriver& filter, SimRegistry* registry)
    : clock_(clock), scheduler_(dynamic_cast<Scheduler*>(&clock)), filter_(filter), registry_(registry) {}

void UsbStack::SchedulingPoint() {
    if (scheduler_) scheduler_->Preempt();
}

std::wstring UsbStack::InstanceId(int node) const {
    const std::wstring& path = nodes_.at(static_cast<std::size_t>(node)).spec.interfacePath;
    std::wstring id = HasDevicePrefix(path) ? path.substr(4) : path;
    const std::size_t guid = id.rfind(L'#');
    if (guid != std::wstring::npos) id.erase(guid);
    std::replace(id.begin(), id.end(), L'#', L'\\');
    return Upper(id);
}

void UsbStack::NewInstance(int node) {
    Node& n = nodes_[static_cast<std::size_t>(node)];
    if (IsBracedName(n.spec.name) || InstanceOf(n.spec.name).empty() || InstanceOf(n.spec.interfacePath).empty()) return;
    const std::wstring fresh =
        L"7&" + Hex(0x5e6f7a8bu + nextInstanceSerial_++, 8, false) + L"&0&" + std::to_wstring(n.port);
    const auto replaceInstance = [](const std::wstring& text, const std::wstring& instance) {
        const std::size_t last = text.rfind(L'#');
        const std::size_t prev = text.rfind(L'#', last - 1);
        return text.substr(0, prev + 1) + instance + text.substr(last);
    };
    byKey_.erase(Key(n.spec.name));
    byKey_.erase(Key(n.spec.interfacePath));
    n.spec.name = replaceInstance(n.spec.name, Upper(fresh));
    n.spec.interfacePath = replaceInstance(n.spec.interfacePath, Lower(fresh));
    n.spec.driverKey = DefaultDriverKey(nextClassInstance_);
    IndexName(n.spec.name, node);
    IndexName(n.spec.interfacePath, node);
    // A new device instance starts with Windows' defaults: selective suspend on.
    const std::optional<std::uint32_t> configured = n.spec.powerValue;
    n.spec.powerValue = 1;
    AddRegistryKeys(n);
    n.spec.powerValue = configured;
}

UsbStack::~UsbStack() {
    for (auto& [chip, previous] : hookedChips_) chip->onReset = previous;
}

std::wstring UsbStack::Key(const std::wstring& path) {
    return Upper(HasDevicePrefix(path) ? path.substr(4) : path);
}

// ---------------------------------------------------------------------------
// Topology

void UsbStack::IndexName(const std::wstring& name, int node) {
    const std::wstring k = Key(name);
    auto it = byKey_.find(k);
    if (it != byKey_.end() && it->second != node) {
        throw std::invalid_argument("UsbStack: two devices share a name or path");
    }
    byKey_[k] = node;
}

UsbStack::HostNodes UsbStack::AddHostController(const HostControllerSpec& spec) {
    if (!HasDevicePrefix(spec.interfacePath)) {
        throw std::invalid_argument("UsbStack: a host controller needs a \\\\?\\ interface path");
    }
    if (spec.rootPorts == 0) throw std::invalid_argument("UsbStack: a root hub needs ports");
    const int ci = static_cast<int>(nodes_.size());
    const int ri = ci + 1;
    const std::uint64_t now = clock_.MonotonicMs();
    const std::wstring upperPath = Upper(spec.interfacePath);

    Node c;
    c.kind = Kind::Controller;
    c.controller = ci;
    c.hostDriver = spec.hostDriver;
    c.spec.name = spec.interfacePath;
    c.spec.interfacePath = spec.interfacePath;
    c.spec.description = spec.description;
    c.spec.hardwareIds = spec.hardwareIds;
    if (c.spec.hardwareIds.empty()) {
        // "\\?\pci#ven_...&dev_...#instance#{guid}" -> "PCI\VEN_...&DEV_..."
        const std::wstring body = upperPath.substr(4);
        const std::size_t hash = body.find(L'#');
        const std::size_t hash2 = hash == std::wstring::npos ? hash : body.find(L'#', hash + 1);
        c.spec.hardwareIds = {hash2 == std::wstring::npos
                                  ? body
                                  : body.substr(0, hash) + L"\\" + body.substr(hash + 1, hash2 - hash - 1)};
    }
    c.spec.driverKey = spec.driverKey.empty() ? DefaultDriverKey(nextClassInstance_) : spec.driverKey;
    c.children = {ri};
    c.returnAtMs = now;

    Node r;
    r.kind = Kind::Hub;
    r.parent = ci;
    r.controller = ci;
    r.hostDriver = spec.hostDriver;
    r.spec.ports = spec.rootPorts;
    r.spec.bcdUSB = spec.usb3 ? 0x0300 : 0x0200;
    r.spec.vid = HexValue(AfterTag(upperPath, L"VEN_"));
    r.spec.pid = HexValue(AfterTag(upperPath, L"DEV_"));
    const std::wstring tag = spec.usb3 ? L"ROOT_HUB30" : L"ROOT_HUB20";
    r.spec.name = spec.rootHubName.empty()
                      ? L"USB#" + tag + L"#4&" + Hex(0x1f1d0b2u + static_cast<std::uint32_t>(ci), 8, false) +
                            L"&0&0#" + kHubInterfaceGuid
                      : spec.rootHubName;
    r.spec.interfacePath = L"\\\\?\\" + Lower(r.spec.name);
    r.spec.description = spec.usb3 ? L"USB Root Hub (USB 3.0)" : L"USB Root Hub";
    r.spec.hardwareIds = {L"USB\\" + tag + L"&VID" + AfterTag(upperPath, L"VEN_") + L"&PID" +
                              AfterTag(upperPath, L"DEV_") + L"&REV0001",
                          L"USB\\" + tag};
    r.spec.driverKey = DefaultDriverKey(nextClassInstance_);
    r.children.assign(spec.rootPorts, -1);
    r.returnAtMs = now;

    nodes_.push_back(std::move(c));
    nodes_.push_back(std::move(r));
    controllers_.push_back(ci);
    IndexName(nodes_[ci].spec.interfacePath, ci);
    IndexName(nodes_[ri].spec.name, ri);
    Refresh();
    return {ci, ri};
}

int UsbStack::AddDevice(int parentHub, std::uint32_t port, const UsbDeviceSpec& spec) {
    if (parentHub < 0 || parentHub >= NodeCount() || nodes_[parentHub].kind != Kind::Hub) {
        throw std::invalid_argument("UsbStack: the parent is not a hub");
    }
    if (port == 0 || port > nodes_[parentHub].children.size()) {
        throw std::invalid_argument("UsbStack: the parent hub has no such port");
    }
    if (nodes_[parentHub].children[port - 1] >= 0) throw std::invalid_argument("UsbStack: the port is taken");
    if (spec.chip && !spec.IsHub()) throw std::invalid_argument("UsbStack: a chip interface is a hub");

    const int idx = NodeCount();
    Node n;
    n.kind = spec.IsHub() ? Kind::Hub : Kind::Device;
    n.parent = parentHub;
    n.port = port;
    n.controller = nodes_[parentHub].controller;
    n.hostDriver = spec.hostDriver.value_or(nodes_[n.controller].hostDriver);
    n.spec = spec;
    UsbDeviceSpec& s = n.spec;
    const std::vector<std::uint8_t> d = DeviceDescriptor(n);
    const std::uint16_t vid = GetLe16(&d[8]), pid = GetLe16(&d[10]), rev = GetLe16(&d[12]);
    const std::wstring instance = L"6&" + Hex(0x2a3b4c5du + static_cast<std::uint32_t>(parentHub), 8, false) +
                                  L"&0&" + std::to_wstring(port);
    const std::wstring vidPid = L"VID_" + Hex(vid, 4, true) + L"&PID_" + Hex(pid, 4, true);
    if (s.name.empty()) {
        if (n.hostDriver == HostDriver::VantrelUsbd && spec.IsHub()) {
            s.name = L"{" + Hex(0x7A7D0000u + static_cast<std::uint32_t>(idx), 8, true) + L"-7A7D-11E3-8000-" +
                     Hex(static_cast<std::uint32_t>(idx), 12, true) + L"}";
        } else {
            s.name = std::wstring(Enumerator(n.hostDriver)) + L"#" + vidPid + L"#" + instance + L"#" +
                     (spec.IsHub() ? kHubInterfaceGuid : kDeviceInterfaceGuid);
        }
    }
    const bool braced = s.name.front() == L'{';
    if (braced && !IsBracedName(s.name)) throw std::invalid_argument("UsbStack: a braced hub name needs a GUID");
    if (s.interfacePath.empty()) {
        s.interfacePath = braced ? L"\\\\?\\vantrelusbd_hub#" + Lower(vidPid) + L"#" + instance + L"#" + kHubInterfaceGuid
                                 : L"\\\\?\\" + Lower(s.name);
    }
    if (s.hardwareIds.empty()) {
        const std::size_t hash = s.name.find(L'#');
        const std::wstring en = braced || hash == std::wstring::npos ? L"VANTRELUSBD_HUB" : Upper(s.name.substr(0, hash));
        s.hardwareIds = {en + L"\\" + vidPid + L"&REV_" + Hex(rev, 4, true), en + L"\\" + vidPid};
    }
    if (s.driverKey.empty()) s.driverKey = DefaultDriverKey(nextClassInstance_);
    if (s.description.empty()) {
        s.description = !spec.IsHub()        ? L"USB Composite Device"
                        : s.bcdUSB >= 0x0300 ? L"Generic SuperSpeed USB Hub"
                                             : L"Generic USB Hub";
    }
    n.children.assign(spec.ports, -1);
    n.returnAtMs = clock_.MonotonicMs();

    if (n.kind == Kind::Hub) {
        IndexName(s.name, idx);
        IndexName(s.interfacePath, idx);
    }
    if (spec.chip && hookedChips_.find(spec.chip.get()) == hookedChips_.end()) {
        hookedChips_[spec.chip.get()] = spec.chip->onReset;
        spec.chip->onReset = [this, previous = spec.chip->onReset](HubChip& chip) {
            if (previous) previous(chip);
            ResetChip(chip);
        };
    }
    nodes_.push_back(std::move(n));
    nodes_[parentHub].children[port - 1] = idx;
    if (nodes_[idx].kind == Kind::Hub) AddRegistryKeys(nodes_[idx]);
    Refresh();
    return idx;
}

UsbDeviceSpec UsbStack::Hub(std::uint16_t vid, std::uint16_t pid, std::uint16_t bcdUSB, std::uint8_t ports) {
    UsbDeviceSpec s;
    s.vid = vid;
    s.pid = pid;
    s.bcdUSB = bcdUSB;
    s.ports = ports;
    return s;
}

UsbDeviceSpec UsbStack::Device(std::uint16_t vid, std::uint16_t pid, std::uint16_t bcdUSB) {
    UsbDeviceSpec s = Hub(vid, pid, bcdUSB, 0);
    s.deviceClass = 0;
    return s;
}

UsbDeviceSpec UsbStack::ChipInterface(std::shared_ptr<HubChip> chip, std::uint16_t bcdUSB, std::uint16_t pid,
                                      std::uint8_t ports) {
    UsbDeviceSpec s = Hub(GetLe16(&chip->deviceDescriptor[8]), pid, bcdUSB, ports);
    if (pid == 0) s.pid = bcdUSB >= 0x0300 ? 0x3262 : 0x2262;
    s.chip = std::move(chip);
    s.descriptorsFromChip = true;
    return s;
}

// ---------------------------------------------------------------------------
// Presence

std::uint64_t UsbStack::EffectiveReturn(int node) const {
    std::uint64_t t = 0;
    for (int i = node; i >= 0; i = nodes_[i].parent) t = std::max(t, nodes_[i].returnAtMs);
    return t;
}

bool UsbStack::Usable(int node) const {
    const Node& n = nodes_[node];
    return n.started && (n.kind == Kind::Controller || n.spec.connectionStatus == 1);
}

void UsbStack::Refresh() {
    const std::uint64_t now = clock_.MonotonicMs();
    std::vector<std::pair<std::uint64_t, int>> due;
    for (int i = 0; i < NodeCount(); ++i) {
        if (nodes_[i].started) continue;
        const std::uint64_t t = EffectiveReturn(i);
        if (t <= now) due.emplace_back(t, i);
    }
    // Parents were added before their children, so at equal times they start first.
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [t, i] : due) Start(i, t);
}

bool UsbStack::FilterInstalled() const {
    if (!registry_) return false;
    const std::optional<RegValue> v = registry_->GetValue(kUsbClassKey, L"UpperFilters");
    if (!v || (v->type != platform::kRegMultiSz && v->type != platform::kRegSz)) return false;
    std::wstring name;
    for (std::size_t i = 0; i + 1 < v->data.size(); i += 2) {
        const wchar_t c = static_cast<wchar_t>(GetLe16(&v->data[i]));
        if (c != 0) {
            name += c;
            continue;
        }
        if (Upper(name).find(L"VNTLFILTER") != std::wstring::npos) return true;
        name.clear();
    }
    return Upper(name).find(L"VNTLFILTER") != std::wstring::npos;
}

void UsbStack::Start(int node, std::uint64_t atMs) {
    Node& n = nodes_[node];
    n.started = true;
    ++n.generation;
    if (n.kind == Kind::Controller) {
        n.pdoName = L"\\Device\\NTPNP_PCI" + Decimal4(nextPciPdo_++);
    } else if (IsBracedName(n.spec.name)) {
        n.pdoName = L"\\Device\\" + BracedNameLessOne(n.spec.name);
    } else {
        n.pdoName = L"\\Device\\USBPDO-" + std::to_wstring(nextPdo_++);
    }
    if (n.kind != Kind::Controller && nodes_[n.parent].kind == Kind::Hub) {
        Node& c = nodes_[n.controller];
        n.address = c.nextAddress;
        c.nextAddress = static_cast<std::uint16_t>(c.nextAddress % 127 + 1);
    }
    if (n.kind == Kind::Hub && Usable(node) && FilterInstalled()) {
        std::wstring shortName = ShortName(n.pdoName);
        std::replace(shortName.begin(), shortName.end(), L'-', L'_');
        n.filterObject = L"\\\\.\\" + shortName + L"0001";
        filterKeys_[Key(n.filterObject)] = node;
        if (n.spec.chip)
            filter_.AddInterface(n.filterObject, n.spec.chip, FilterDriver::InterfaceIds{n.spec.bcdUSB, n.spec.pid});
    }
    if (n.generation > 1) {
        UsbEvent e;
        e.kind = UsbEventKind::Return;
        e.timeMs = atMs;
        e.node = node;
        e.path = n.spec.name;
        Log(std::move(e));
    }
}

void UsbStack::Stop(int node) {
    Node& n = nodes_[node];
    if (n.started) {
        n.started = false;
        n.pdoName.clear();
        if (!n.filterObject.empty()) {
            filterKeys_.erase(Key(n.filterObject));
            if (n.spec.chip) filter_.RemoveInterface(n.filterObject);
            n.filterObject.clear();
        }
    }
    for (int child : n.children)
        if (child >= 0) Stop(child);
}

void UsbStack::Restart(int node, RestartCause cause) {
    Refresh();
    Node& n = nodes_.at(static_cast<std::size_t>(node));
    const std::uint64_t now = clock_.MonotonicMs();
    n.returnAtMs = n.spec.neverReturns ? kNever : now + n.spec.restartDelayMs.value_or(defaultRestartDelayMs_);
    Stop(node);
    if (cause == RestartCause::ChipReset && n.spec.newInstanceOnReset) NewInstance(node);
    UsbEvent e;
    e.kind = UsbEventKind::Restart;
    e.timeMs = now;
    e.node = node;
    e.path = n.spec.name;
    e.cause = cause;
    Log(std::move(e));
}

void UsbStack::ResetChip(const HubChip& chip) {
    Refresh();
    std::vector<int> interfaces;
    for (int i = 0; i < NodeCount(); ++i)
        if (nodes_[i].spec.chip.get() == &chip && nodes_[i].started) interfaces.push_back(i);
    for (int i : interfaces) Restart(i, RestartCause::ChipReset);
}

bool UsbStack::IsPresent(int node) {
    Refresh();
    return nodes_.at(static_cast<std::size_t>(node)).started;
}

std::wstring UsbStack::PdoName(int node) {
    Refresh();
    return nodes_.at(static_cast<std::size_t>(node)).pdoName;
}

std::wstring UsbStack::FilterObjectName(int node) {
    Refresh();
    return nodes_.at(static_cast<std::size_t>(node)).filterObject;
}

std::wstring UsbStack::Name(int node) const { return nodes_.at(static_cast<std::size_t>(node)).spec.name; }
std::wstring UsbStack::InterfacePath(int node) const {
    return nodes_.at(static_cast<std::size_t>(node)).spec.interfacePath;
}
std::wstring UsbStack::DriverKey(int node) const { return nodes_.at(static_cast<std::size_t>(node)).spec.driverKey; }
int UsbStack::Parent(int node) const { return nodes_.at(static_cast<std::size_t>(node)).parent; }

// ---------------------------------------------------------------------------
// Registry keys of the power management

void UsbStack::AddRegistryKeys(const Node& n) {
    if (!registry_ || !n.spec.createRegistryKeys || nodes_[n.parent].kind != Kind::Hub) return;
    const std::wstring classKey = std::wstring(kUsbClassKey) + L"\\" + ShortName(n.spec.driverKey);
    registry_->AddKey(classKey);
    const std::optional<std::uint32_t> value = n.spec.powerValue;
    if (n.hostDriver == HostDriver::VantrelUsbd) {
        if (value) registry_->SetDword(classKey, L"SelectiveSuspendEnabled", *value);
        return;
    }
    const std::vector<std::uint8_t> d = DeviceDescriptor(n);
    const std::wstring vidPid = L"VID_" + Hex(GetLe16(&d[8]), 4, true) + L"&PID_" + Hex(GetLe16(&d[10]), 4, true);
    const std::wstring serial = Upper(InstanceOf(n.spec.name));
    std::wstring prefix = Enumerator(n.hostDriver);
    if (n.hostDriver == HostDriver::AmdUsb && serial.find(L'&', 1) != std::wstring::npos) prefix = L"USB";
    const std::wstring enumRoot = L"SYSTEM\\CurrentControlSet\\Enum\\";
    const std::wstring params = enumRoot + prefix + L"\\" + vidPid + L"\\" + serial + L"\\Device Parameters";
    const std::wstring wdf = enumRoot + L"USB\\" + vidPid + L"\\" + serial + L"\\Device Parameters\\WDF";
    const bool hasWdf = n.spec.wdfKey.value_or(n.spec.bcdUSB >= 0x0300);
    registry_->AddKey(params);
    if (hasWdf) registry_->AddKey(wdf);
    if (value) {
        registry_->SetDword(params, L"EnableSelectiveSuspend", *value);
        if (hasWdf) registry_->SetDword(wdf, L"IdleInWorkingState", *value);
    }
}

// ---------------------------------------------------------------------------
// Faults

std::vector<std::wstring> UsbStack::NodeKeys(int node) const {
    if (node < 0) return {};
    const Node& n = nodes_[node];
    std::vector<std::wstring> keys{Key(n.spec.name), Key(n.spec.interfacePath)};
    if (!n.filterObject.empty()) keys.push_back(Key(n.filterObject));
    return keys;
}

UsbFault& UsbStack::AddFault(const UsbFault& fault) {
    faults_.push_back(fault);
    return faults_.back();
}

UsbFault* UsbStack::FindFault(UsbOp op, int node, const std::wstring& path, const Request& r) {
    for (UsbFault& f : faults_) {
        if (f.op != op) continue;
        if (f.path) {
            const std::wstring k = Key(*f.path);
            const std::vector<std::wstring> keys = NodeKeys(node);
            if (Key(path) != k && std::find(keys.begin(), keys.end(), k) == keys.end()) continue;
        }
        if (f.ioctl && f.ioctl != r.ioctl) continue;
        if (f.port && f.port != r.port) continue;
        if (f.index && f.index != r.index) continue;
        if (f.property && f.property != r.property) continue;
        if (f.interfaceClass && !(f.interfaceClass == r.interfaceClass)) continue;
        if (f.times >= 0 && f.hits >= f.times) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        ++f.hits;
        return &f;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Descriptors

std::vector<std::uint8_t> UsbStack::DeviceDescriptor(const Node& n) const {
    const UsbDeviceSpec& s = n.spec;
    std::vector<std::uint8_t> d(18, 0);
    if (s.chip && s.descriptorsFromChip) {
        d.assign(s.chip->deviceDescriptor.begin(), s.chip->deviceDescriptor.end());
    } else {
        d[0] = 18;
        d[1] = 1;
        d[4] = s.deviceClass;
        d[6] = s.deviceClass == 9 ? (s.bcdUSB >= 0x0300 ? 3 : 1) : 0;  // hub protocol
        d[7] = s.bcdUSB >= 0x0300 ? 9 : 64;                             // bMaxPacketSize0
        PutLe16(&d[8], s.vid);
        PutLe16(&d[12], s.bcdDevice);
        d[14] = s.iManufacturer;
        d[15] = s.iProduct;
        d[16] = s.iSerialNumber;
        d[17] = 1;
    }
    PutLe16(&d[2], s.bcdUSB);
    PutLe16(&d[10], s.pid);
    return d;
}

std::vector<std::uint16_t> UsbStack::Languages(const Node& n) const {
    return n.spec.chip && n.spec.descriptorsFromChip ? n.spec.chip->languages : n.spec.languages;
}

std::vector<std::uint8_t> UsbStack::StringDescriptor(const Node& n, std::uint8_t index, std::uint16_t langId) const {
    const std::vector<std::uint16_t> langs = Languages(n);
    std::vector<std::uint8_t> d;
    if (index == 0) {
        if (langs.empty()) return d;
        d = {static_cast<std::uint8_t>(2 + 2 * langs.size()), 3};
        for (std::uint16_t l : langs) {
            d.push_back(static_cast<std::uint8_t>(l));
            d.push_back(static_cast<std::uint8_t>(l >> 8));
        }
        return d;
    }
    if (std::find(langs.begin(), langs.end(), langId) == langs.end()) return d;
    if (n.spec.chip && n.spec.descriptorsFromChip) {
        d = n.spec.chip->StringDescriptor(index);
        if (d.size() <= 2) d.clear();  // no text: the device has no such string
        return d;
    }
    auto it = n.spec.strings.find({langId, index});
    if (it == n.spec.strings.end()) return d;
    const std::u16string text = it->second.substr(0, 126);
    d = {static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
    for (char16_t c : text) {
        d.push_back(static_cast<std::uint8_t>(c));
        d.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return d;
}

// ---------------------------------------------------------------------------
// DeviceIo

platform::DeviceOpenResult UsbStack::CreateFile(const std::wstring& path, platform::DeviceOpenMode mode) {
    SchedulingPoint();
    Refresh();
    UsbEvent e;
    e.kind = UsbEventKind::Open;
    e.timeMs = clock_.MonotonicMs();
    e.path = path;
    const std::wstring key = Key(path);
    auto named = HasDevicePrefix(path) ? byKey_.find(key) : byKey_.end();
    auto filterObject = HasDevicePrefix(path) ? filterKeys_.find(key) : filterKeys_.end();
    e.node = named != byKey_.end() ? named->second : filterObject != filterKeys_.end() ? filterObject->second : -1;

    platform::DeviceOpenResult r{platform::Handle::Invalid(), platform::kErrorFileNotFound};
    if (const UsbFault* f = FindFault(UsbOp::Open, e.node, path, {})) {
        r.error = f->error;
    } else if (named != byKey_.end()) {
        if (Usable(named->second)) {
            const std::uintptr_t raw = nextHandle_;
            nextHandle_ += 4;
            handles_[raw] = OpenHandle{named->second, nodes_[named->second].generation, path, false};
            r = {platform::Handle{raw}, 0};
        }
    } else if (filterObject != filterKeys_.end()) {
        const Node& n = nodes_[filterObject->second];
        if (n.spec.chip) {
            r = filter_.CreateFile(n.filterObject, mode);
        } else {
            const std::uintptr_t raw = nextHandle_;
            nextHandle_ += 4;
            handles_[raw] = OpenHandle{filterObject->second, n.generation, path, true};
            r = {platform::Handle{raw}, 0};
        }
    } else {
        r = filter_.CreateFile(path, mode);
    }
    e.ok = r.handle.IsValid();
    e.error = r.error;
    Log(std::move(e));
    return r;
}

bool UsbStack::CloseHandle(platform::Handle device) {
    if (handles_.erase(device.raw) == 1) {
        SchedulingPoint();
        return true;
    }
    return filter_.CloseHandle(device);
}

bool UsbStack::CancelIoEx(platform::Handle device) {
    if (handles_.count(device.raw) == 1) return false;  // hub queries never pend
    return filter_.CancelIoEx(device);
}

IoctlResult UsbStack::DeviceIoControl(platform::Handle device, std::uint32_t code, const std::uint8_t* in,
                                      std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCapacity) {
    auto h = handles_.find(device.raw);
    if (h == handles_.end()) return filter_.DeviceIoControl(device, code, in, inLen, out, outCapacity);
    SchedulingPoint();
    h = handles_.find(device.raw);
    if (h == handles_.end()) return Fail(platform::kErrorInvalidHandle);
    Refresh();
    const OpenHandle handle = h->second;
    const Node& n = nodes_[handle.node];

    UsbEvent e;
    e.kind = UsbEventKind::Ioctl;
    e.timeMs = clock_.MonotonicMs();
    e.node = handle.node;
    e.path = handle.path;
    e.ioctl = code;
    if (in && inLen) e.input.assign(in, in + inLen);
    Request request;
    request.ioctl = code;
    const bool hasPort = n.kind == Kind::Hub && code != wire::kIoctlRootHubNameOrNodeInfo && inLen >= 4;
    if (hasPort) request.port = e.port = GetLe32(in);

    IoctlResult r;
    std::vector<std::uint8_t> reply;
    if (!Usable(handle.node) || n.generation != handle.generation) {
        r = Fail(platform::kErrorDeviceNotConnected);
    } else if (handle.foreignFilter) {
        r = Fail(platform::kErrorGenFailure);
    } else {
        const UsbFault* fault = FindFault(UsbOp::Ioctl, handle.node, handle.path, request);
        if (fault && fault->kind == UsbFaultKind::Fail) {
            r = Fail(fault->error);
        } else if (n.kind == Kind::Controller) {
            r = ControllerIoctl(n, code, outCapacity, fault, reply);
        } else {
            r = HubIoctl(n, code, e.input, outCapacity, fault, reply);
        }
    }
    if (r.Succeeded()) {
        reply.resize(std::min<std::size_t>(reply.size(), outCapacity));
        if (out && !reply.empty()) std::memcpy(out, reply.data(), reply.size());
        r.bytesReturned = static_cast<std::uint32_t>(reply.size());
        e.output = reply;
    }
    e.ok = r.Succeeded();
    e.error = r.error;
    e.bytesReturned = r.bytesReturned;
    Log(std::move(e));
    return r;
}

namespace {

// ActualLength, the name (NUL-terminated, UTF-16LE) behind `head` bytes.
std::vector<std::uint8_t> NameBlock(std::vector<std::uint8_t> head, std::wstring name, const UsbFault* fault) {
    if (fault && fault->kind == UsbFaultKind::NameWithoutBrace) {
        name.erase(std::remove(name.begin(), name.end(), L'}'), name.end());
    }
    const std::size_t lengthAt = head.size();
    head.resize(head.size() + 4);
    usbtext::AppendUtf16(head, name);
    head.push_back(0);
    head.push_back(0);
    const std::uint32_t actual = fault && fault->kind == UsbFaultKind::ActualLength
                                     ? fault->value
                                     : static_cast<std::uint32_t>(head.size());
    PutLe32(&head[lengthAt], actual);
    return head;
}

}  // namespace

IoctlResult UsbStack::ControllerIoctl(const Node& n, std::uint32_t code, std::uint32_t outCapacity,
                                      const UsbFault* fault, std::vector<std::uint8_t>& reply) {
    if (code != wire::kIoctlRootHubNameOrNodeInfo) return Fail(platform::kErrorInvalidFunction);
    const int root = n.children[0];
    if (!Usable(root)) return Fail(platform::kErrorDeviceNotConnected);
    if (outCapacity < wire::kRootHubNameFixedSize) return Fail(platform::kErrorInsufficientBuffer);
    reply = NameBlock({}, nodes_[root].spec.name, fault);
    return Done(0);
}

IoctlResult UsbStack::HubIoctl(const Node& n, std::uint32_t code, const std::vector<std::uint8_t>& in,
                               std::uint32_t outCapacity, const UsbFault* fault, std::vector<std::uint8_t>& reply) {
    const std::uint32_t ports = static_cast<std::uint32_t>(n.children.size());
    if (code == wire::kIoctlRootHubNameOrNodeInfo) {  // node information
        if (outCapacity < wire::kNodeInfoSize) return Fail(platform::kErrorInsufficientBuffer);
        reply.assign(wire::kNodeInfoSize, 0);
        // NodeType 0 (UsbHub); HubDescriptor: bDescriptorLength, bDescriptorType 0x29, ports,
        // wHubCharacteristics (per-port power switching, individual over-current
        // protection), bPowerOnToPowerGood (100 ms), bHubControlCurrent;
        // HubIsBusPowered 0.
        reply[4] = static_cast<std::uint8_t>(7 + 2 * (ports / 8 + 1));
        reply[5] = 0x29;
        reply[wire::kNodeInfoPortsOffset] = static_cast<std::uint8_t>(ports);
        PutLe16(&reply[7], 0x0009);
        reply[9] = 50;
        reply[10] = 100;
        return Done(0);
    }
    const bool ex = code == wire::kIoctlConnectionInfoEx;
    std::uint32_t minOut = wire::kConnectionInfoFixedSize;
    std::uint32_t minIn = 4;
    if (code == wire::kIoctlConnectionName) minOut = wire::kConnectionNameFixedSize;
    if (code == wire::kIoctlDescriptorFromConnection) minOut = minIn = wire::kDescriptorRequestHeaderSize;
    if (!ex && code != wire::kIoctlConnectionInfo && code != wire::kIoctlConnectionName &&
        code != wire::kIoctlDescriptorFromConnection) {
        return Fail(platform::kErrorInvalidFunction);
    }
    if (in.size() < minIn) return Fail(platform::kErrorInvalidParameter);
    if (outCapacity < minOut) return Fail(platform::kErrorInsufficientBuffer);
    const std::uint32_t port = GetLe32(in.data());
    if (port == 0 || port > ports) return Fail(platform::kErrorInvalidParameter);
    const int child = n.children[port - 1];
    const bool there = child >= 0 && nodes_[child].started;
    const bool usable = child >= 0 && Usable(child);

    if (code == wire::kIoctlConnectionName) {
        const bool hub = usable && nodes_[child].kind == Kind::Hub;
        std::vector<std::uint8_t> head(4);
        PutLe32(head.data(), port);
        reply = NameBlock(std::move(head), hub ? nodes_[child].spec.name : L"", fault);
        return Done(0);
    }

    if (code == wire::kIoctlDescriptorFromConnection) {
        if (!usable) return Fail(platform::kErrorDeviceNotConnected);
        const std::uint8_t bmRequest = in[4], bRequest = in[5];
        const std::uint16_t wValue = GetLe16(&in[6]), wIndex = GetLe16(&in[8]), wLength = GetLe16(&in[10]);
        if (bmRequest != 0x80 || bRequest != 6) return Fail(platform::kErrorInvalidParameter);
        std::vector<std::uint8_t> d;
        if (wValue >> 8 == 1) d = DeviceDescriptor(nodes_[child]);
        if (wValue >> 8 == 3) d = StringDescriptor(nodes_[child], static_cast<std::uint8_t>(wValue), wIndex);
        if (d.empty()) return Fail(platform::kErrorGenFailure);  // the device stalls
        const std::size_t count =
            std::min({static_cast<std::size_t>(wLength), d.size(), static_cast<std::size_t>(d[0]),
                      static_cast<std::size_t>(outCapacity - wire::kDescriptorRequestHeaderSize)});
        reply.assign(in.begin(), in.begin() + wire::kDescriptorRequestHeaderSize);
        reply.insert(reply.end(), d.begin(), d.begin() + static_cast<std::ptrdiff_t>(count));
        return Done(0);
    }

    // Connection information, plain or EX.
    reply.assign(wire::kConnectionInfoFixedSize, 0);
    PutLe32(&reply[0], port);
    if (there) PutLe32(&reply[31], nodes_[child].spec.connectionStatus);
    if (!usable) return Done(0);
    const Node& c = nodes_[child];
    const std::vector<std::uint8_t> d = DeviceDescriptor(c);
    std::copy(d.begin(), d.end(), reply.begin() + 4);
    reply[22] = 1;  // CurrentConfigurationValue
    const std::uint8_t speed = c.spec.speed.value_or(c.spec.bcdUSB >= 0x0300 ? 3 : c.spec.bcdUSB >= 0x0200 ? 2 : 1);
    reply[23] = ex ? speed : (speed == 0 ? 1 : 0);  // EX: Speed; plain: LowSpeed
    reply[24] = c.kind == Kind::Hub ? 1 : 0;
    PutLe16(&reply[25], c.address);
    std::vector<std::array<std::uint8_t, 7>> pipes;
    if (c.spec.pipes) {
        pipes = *c.spec.pipes;
    } else if (c.kind == Kind::Hub) {
        pipes.push_back({7, 5, 0x81, 0x03, 0x02, 0x00, 0x0C});  // status change endpoint
    }
    PutLe32(&reply[27], static_cast<std::uint32_t>(pipes.size()));
    for (const auto& p : pipes) {
        reply.insert(reply.end(), p.begin(), p.end());
        reply.insert(reply.end(), 4, 0);  // ScheduleOffset
    }
    return Done(0);
}

// ---------------------------------------------------------------------------
// Code page

std::wstring UsbStack::ThreadAnsiToWide(const std::string& text) {
    static const std::uint16_t k1252[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::wstring out;
    for (char ch : text) {
        const auto b = static_cast<std::uint8_t>(ch);
        if (b == 0) break;
        out += static_cast<wchar_t>(b >= 0x80 && b < 0xA0 ? k1252[b - 0x80] : b);
    }
    return out;
}

std::wstring UsbStack::AnsiRoundTrip(const std::wstring& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<std::uint32_t>(text[i]);
        if (c < 0x80) {
            out += text[i];
            continue;
        }
        out += L'?';
        // A surrogate pair is one character.
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() &&
            static_cast<std::uint32_t>(text[i + 1]) >= 0xDC00 && static_cast<std::uint32_t>(text[i + 1]) < 0xE000) {
            ++i;
        }
    }
    return out;
}

}  // namespace sim
