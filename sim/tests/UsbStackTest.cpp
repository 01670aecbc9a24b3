// The simulated USB stack: the bytes it answers at the documented offsets,
// the two meanings of 0x220408, restarts in virtual time, SetupAPI snapshots,
// filter device objects, devcon and the registry keys it makes.
#include "sim/UsbStack.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "hubaccess/ByteOrder.h"
#include "hubaccess/FilterRequest.h"
#include "platform/Win32Errors.h"
#include "sim/FilterDriver.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"
#include "sim/UsbText.h"

namespace {

using hubaccess::GetLe16;
using hubaccess::GetLe32;
using platform::Handle;
using sim::UsbStack;
using sim::usbtext::Lower;
using Bytes = std::vector<std::uint8_t>;

const std::wstring kControllerPath =
    L"\\\\?\\pci#ven_8086&dev_a12f&subsys_50071458&rev_31#3&11583659&0&a0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
const std::wstring kOwnControllerPath =
    L"\\\\?\\pci#ven_7a7c&dev_3262&subsys_00000000&rev_01#3&2411e6fe&0&e0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";

struct Reply {
    platform::IoctlResult result;
    Bytes out;
};

// The string of a NUL-terminated UTF-16LE text at `offset`.
std::wstring WideAt(const Bytes& b, std::size_t offset) {
    std::wstring s;
    for (std::size_t i = offset; i + 1 < b.size() && GetLe16(&b[i]) != 0; i += 2) s += static_cast<wchar_t>(GetLe16(&b[i]));
    return s;
}

class UsbStackTest : public ::testing::Test {
protected:
    UsbStackTest() {
        sim::HostControllerSpec c;
        c.interfacePath = kControllerPath;
        c.description = L"Intel(R) USB 3.0 eXtensible Host Controller - 1.0 (Microsoft)";
        c.rootPorts = 10;
        host = usb.AddHostController(c);
        c.interfacePath = kOwnControllerPath;
        c.description = L"xHCI Host Controller";
        c.rootPorts = 4;
        own = usb.AddHostController(c);
        u3 = usb.AddDevice(host.rootHub, 3, UsbStack::ChipInterface(chip, 0x0300));
        u2 = usb.AddDevice(own.rootHub, 2, UsbStack::ChipInterface(chip, 0x0210));
        below = usb.AddDevice(u3, 1, UsbStack::Device(0x0781, 0x5581, 0x0200));
    }

    Handle Open(const std::wstring& path) {
        return usb.CreateFile(path, platform::DeviceOpenMode::HubQuery).handle;
    }
    Reply Ioctl(Handle h, std::uint32_t code, Bytes in, std::uint32_t outCapacity) {
        Reply r;
        r.out.assign(outCapacity, 0xCC);
        r.result = usb.DeviceIoControl(h, code, in.data(), static_cast<std::uint32_t>(in.size()), r.out.data(),
                                       outCapacity);
        r.out.resize(r.result.bytesReturned);
        return r;
    }
    static Bytes PortBlock(std::uint32_t port, std::size_t size) {
        Bytes b(size, 0);
        hubaccess::PutLe32(b.data(), port);
        return b;
    }
    static Bytes DescriptorRequest(std::uint32_t port, std::uint16_t wValue, std::uint16_t wIndex,
                                   std::uint16_t wLength) {
        Bytes b = PortBlock(port, 12);
        b[4] = 0x80;
        b[5] = 0x06;
        hubaccess::PutLe16(&b[6], wValue);
        hubaccess::PutLe16(&b[8], wIndex);
        hubaccess::PutLe16(&b[10], wLength);
        return b;
    }
    std::uint32_t ConnectionStatus(int hub, std::uint32_t port) {
        Reply r = Ioctl(Open(L"\\\\?\\" + usb.Name(hub)), sim::usbwire::kIoctlConnectionInfoEx, PortBlock(port, 695), 695);
        return GetLe32(&r.out[31]);
    }
    std::vector<std::wstring> HubSet(std::uint32_t flags = platform::kDigcfPresent | platform::kDigcfDeviceInterface) {
        std::vector<std::wstring> paths;
        auto set = usb.GetClassDevs(platform::kGuidDevInterfaceUsbHub, flags, nullptr);
        for (std::uint32_t i = 0; set->EnumInterface(i).ok; ++i) paths.push_back(set->GetInterfaceDetail(i).devicePath);
        return paths;
    }
    void InstallFilter() {
        registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"usbfltr", L"vntlfilter64"});
    }

    sim::Scheduler sched;
    sim::FilterDriver filter{sched};
    sim::SimRegistry registry;
    UsbStack usb{sched, filter, &registry};
    std::shared_ptr<sim::HubChip> chip = std::make_shared<sim::HubChip>();
    UsbStack::HostNodes host, own;
    int u3 = -1, u2 = -1, below = -1;
};

TEST_F(UsbStackTest, Code220408IsRootHubNameOnControllersAndNodeInformationOnHubs) {
    const std::wstring root = usb.Name(host.rootHub);
    EXPECT_EQ(root.substr(0, 15), L"USB#ROOT_HUB30#");
    const Handle hc = Open(kControllerPath);
    const std::uint32_t actual = 4 + 2 * static_cast<std::uint32_t>(root.size() + 1);

    Reply probe = Ioctl(hc, 0x220408, {}, 6);
    ASSERT_TRUE(probe.result.Succeeded());
    EXPECT_EQ(probe.out.size(), 6u);
    EXPECT_EQ(GetLe32(probe.out.data()), actual);
    Reply full = Ioctl(hc, 0x220408, {}, actual);
    ASSERT_EQ(full.out.size(), actual);
    EXPECT_EQ(WideAt(full.out, 4), root);
    EXPECT_EQ(GetLe16(&full.out[actual - 2]), 0);
    EXPECT_EQ(Ioctl(hc, 0x220408, {}, 5).result.error, platform::kErrorInsufficientBuffer);

    for (auto [path, ports] : {std::pair{L"\\\\.\\" + root, 10}, {L"\\\\?\\" + usb.Name(u3), 4}}) {
        Reply info = Ioctl(Open(path), 0x220408, Bytes(76, 0), 76);
        ASSERT_EQ(info.out.size(), 76u) << path;
        EXPECT_EQ(GetLe32(info.out.data()), 0u);  // UsbHub
        EXPECT_EQ(info.out[5], 0x29);
        EXPECT_EQ(info.out[6], ports);
    }
    EXPECT_EQ(Ioctl(Open(L"\\\\.\\" + root), 0x220408, {}, 75).result.error, platform::kErrorInsufficientBuffer);
}

TEST_F(UsbStackTest, ConnectionInformationAtItsOffsets) {
    const Handle root = Open(L"\\\\.\\" + usb.Name(host.rootHub));
    for (auto [code, size, speed] : {std::tuple{0x220448u, 695u, 3}, {0x22040Cu, 365u, 0}}) {
        Reply r = Ioctl(root, code, PortBlock(3, size), size);
        ASSERT_EQ(r.out.size(), 35u + 11u) << std::hex << code;
        EXPECT_EQ(GetLe32(&r.out[0]), 3u);
        EXPECT_EQ(Bytes(r.out.begin() + 4, r.out.begin() + 8), (Bytes{18, 1, 0x00, 0x03}));
        EXPECT_EQ(GetLe16(&r.out[12]), 0x7A7D);
        EXPECT_EQ(GetLe16(&r.out[14]), 0x3262);
        EXPECT_EQ(r.out[22], 1);      // CurrentConfigurationValue
        EXPECT_EQ(r.out[23], speed);  // EX: Speed (SuperSpeed); plain: LowSpeed
        EXPECT_EQ(r.out[24], 1);      // DeviceIsHub
        EXPECT_NE(GetLe16(&r.out[25]), 0);
        EXPECT_EQ(GetLe32(&r.out[27]), 1u);  // open pipes
        EXPECT_EQ(GetLe32(&r.out[31]), 1u);  // DeviceConnected
        EXPECT_EQ(Bytes(r.out.begin() + 35, r.out.end()), (Bytes{7, 5, 0x81, 3, 2, 0, 12, 0, 0, 0, 0}));
    }
    Reply empty = Ioctl(root, 0x220448, PortBlock(4, 695), 695);
    EXPECT_EQ(empty.out, PortBlock(4, 35));
    Reply device = Ioctl(Open(L"\\\\?\\" + usb.Name(u3)), 0x220448, PortBlock(1, 695), 695);
    EXPECT_EQ(device.out[24], 0);  // not a hub
    EXPECT_EQ(device.out[23], 2);
    EXPECT_EQ(Ioctl(root, 0x220448, PortBlock(11, 695), 695).result.error, platform::kErrorInvalidParameter);
}

TEST_F(UsbStackTest, ConnectionNameAndDescriptorRequests) {
    const Handle root = Open(L"\\\\.\\" + usb.Name(host.rootHub));
    const std::wstring name = usb.Name(u3);
    EXPECT_EQ(name, L"USB#VID_7A7D&PID_3262#6&2a3b4c5e&0&3#{f18a0e88-c30c-11d0-8815-00a0c906bed8}");
    Reply probe = Ioctl(root, 0x220414, PortBlock(3, 10), 10);
    ASSERT_EQ(probe.out.size(), 10u);
    const std::uint32_t actual = GetLe32(&probe.out[4]);
    EXPECT_EQ(actual, 8 + 2 * (name.size() + 1));
    Reply full = Ioctl(root, 0x220414, PortBlock(3, actual), actual);
    EXPECT_EQ(GetLe32(full.out.data()), 3u);
    EXPECT_EQ(WideAt(full.out, 8), name);
    Reply none = Ioctl(root, 0x220414, PortBlock(4, 10), 10);
    EXPECT_EQ(GetLe32(&none.out[4]), 10u);

    // A foreign hub with strings in two languages.
    sim::UsbDeviceSpec spec = UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4);
    spec.languages = {0x0409, 0x0407};
    spec.iManufacturer = 2;
    spec.SetString(2, u"Maker");
    spec.SetString(2, u"Hersteller", 0x0407);
    usb.AddDevice(host.rootHub, 5, spec);
    struct Case { std::uint16_t wValue, wIndex, wLength; Bytes data; };
    const Case cases[] = {
        {0x0300, 0, 4, {6, 3, 0x09, 0x04}},
        {0x0300, 0, 255, {6, 3, 0x09, 0x04, 0x07, 0x04}},
        {0x0302, 0x0409, 255, {12, 3, 'M', 0, 'a', 0, 'k', 0, 'e', 0, 'r', 0}},
        {0x0302, 0x0407, 4, {22, 3, 'H', 0}},
        {0x0100, 0, 255, {18, 1, 0x10, 0x02, 9, 0, 1, 64, 0xE3, 0x05, 0x10, 0x06, 0x00, 0x01, 2, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        const Bytes request = DescriptorRequest(5, c.wValue, c.wIndex, c.wLength);
        Reply r = Ioctl(root, 0x220410, request, 2060);
        ASSERT_TRUE(r.result.Succeeded()) << std::hex << c.wValue;
        EXPECT_EQ(Bytes(r.out.begin(), r.out.begin() + 12), request);
        EXPECT_EQ(Bytes(r.out.begin() + 12, r.out.end()), c.data) << std::hex << c.wValue;
    }
    // A chip string slot without text is no string; one longer than a
    // descriptor can hold comes back only up to bLength.
    EXPECT_EQ(Ioctl(root, 0x220410, DescriptorRequest(3, 0x0303, 0x0409, 255), 2060).result.error,
              platform::kErrorGenFailure);
    chip->SetString(3, std::u16string(200, u'x'));
    EXPECT_EQ(Ioctl(root, 0x220410, DescriptorRequest(3, 0x0303, 0x0409, 1000), 2060).out.size(), 12u + 255u);
    // Missing string, unknown language, a device without any strings.
    for (auto [port, wValue, wIndex] : {std::tuple{5u, 0x0303, 0x0409}, {5u, 0x0302, 0x0411}, {3u, 0x0300, 0}}) {
        if (port == 3) chip->languages.clear();
        EXPECT_EQ(Ioctl(root, 0x220410, DescriptorRequest(port, wValue, wIndex, 255), 2060).result.error,
                  platform::kErrorGenFailure);
    }
}

TEST_F(UsbStackTest, FaultsHitTheRequestsTheyName) {
    const std::wstring rootName = usb.Name(host.rootHub);
    const Handle root = Open(L"\\\\.\\" + rootName);
    auto add = [&](sim::UsbFaultKind kind, std::uint32_t ioctl, std::uint32_t value = 0) -> sim::UsbFault& {
        sim::UsbFault f;
        f.kind = kind;
        f.ioctl = ioctl;
        f.port = 3;
        f.value = value;
        f.path = Lower(L"\\\\?\\" + rootName);
        return usb.AddFault(f);
    };
    add(sim::UsbFaultKind::Fail, 0x220448).times = -1;
    EXPECT_EQ(Ioctl(root, 0x220448, PortBlock(3, 695), 695).result.error, platform::kErrorGenFailure);
    EXPECT_TRUE(Ioctl(root, 0x220448, PortBlock(4, 695), 695).result.Succeeded());  // other port
    EXPECT_TRUE(Ioctl(root, 0x22040C, PortBlock(3, 365), 365).result.Succeeded());  // plain still answers

    add(sim::UsbFaultKind::ActualLength, 0x220414, 11);
    EXPECT_EQ(GetLe32(&Ioctl(root, 0x220414, PortBlock(3, 10), 10).out[4]), 11u);
    EXPECT_NE(GetLe32(&Ioctl(root, 0x220414, PortBlock(3, 10), 10).out[4]), 11u);  // once only

    add(sim::UsbFaultKind::NameWithoutBrace, 0x220414).skip = 1;  // the second request
    EXPECT_EQ(WideAt(Ioctl(root, 0x220414, PortBlock(3, 400), 400).out, 8), usb.Name(u3));
    const std::wstring cut = WideAt(Ioctl(root, 0x220414, PortBlock(3, 400), 400).out, 8);
    EXPECT_EQ(cut.find(L'}'), std::wstring::npos);
    EXPECT_FALSE(cut.empty());

    sim::UsbFault open;
    open.op = sim::UsbOp::Open;
    open.path = usb.Name(u3);
    open.error = platform::kErrorAccessDenied;
    usb.AddFault(open);
    EXPECT_EQ(usb.CreateFile(usb.InterfacePath(u3), platform::DeviceOpenMode::HubQuery).error,
              platform::kErrorAccessDenied);
    EXPECT_TRUE(Open(L"\\\\.\\" + Lower(usb.Name(u3))).IsValid());  // "\\.\" and any case
    EXPECT_FALSE(Open(usb.Name(u3)).IsValid());                       // no prefix: no device
}

TEST_F(UsbStackTest, RestartTakesTheSubtreeAwayAndBringsItBackWithNewPdoNames) {
    usb.SetDefaultRestartDelay(1500);
    const std::wstring pdo = usb.PdoName(u3), pdoBelow = usb.PdoName(below), path = usb.InterfacePath(u3);
    EXPECT_EQ(pdo.rfind(L"\\Device\\USBPDO-", 0), 0u);
    const Handle stale = Open(path);
    usb.Restart(u3);
    EXPECT_FALSE(usb.IsPresent(u3));
    EXPECT_FALSE(usb.IsPresent(below));
    EXPECT_FALSE(Open(path).IsValid());
    EXPECT_EQ(ConnectionStatus(host.rootHub, 3), 0u);
    EXPECT_EQ(HubSet().size(), 3u);  // the two root hubs and u2
    sched.Sleep(1499);
    EXPECT_FALSE(usb.IsPresent(u3));
    sched.Sleep(1);
    EXPECT_TRUE(usb.IsPresent(below));
    EXPECT_EQ(usb.Journal().back().kind, sim::UsbEventKind::Return);
    EXPECT_EQ(usb.Journal().back().timeMs, sched.MonotonicMs());
    EXPECT_EQ(ConnectionStatus(host.rootHub, 3), 1u);
    EXPECT_NE(usb.PdoName(u3), pdo);
    EXPECT_NE(usb.PdoName(below), pdoBelow);
    EXPECT_EQ(usb.InterfacePath(u3), path);
    EXPECT_EQ(Ioctl(stale, 0x220408, {}, 76).result.error, platform::kErrorDeviceNotConnected);

    // A per-device delay, and a device that never comes back.
    int late = usb.AddDevice(own.rootHub, 4, [] {
        sim::UsbDeviceSpec s = UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4);
        s.restartDelayMs = 7000;
        return s;
    }());
    usb.Restart(late);
    usb.Restart(u2);
    sched.Sleep(6999);
    EXPECT_TRUE(usb.IsPresent(u2));
    EXPECT_FALSE(usb.IsPresent(late));
    sched.Sleep(1);
    EXPECT_TRUE(usb.IsPresent(late));
    sim::UsbDeviceSpec gone = UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4);
    gone.neverReturns = true;
    int lost = usb.AddDevice(own.rootHub, 1, gone);
    usb.Restart(lost);
    sched.Sleep(600000);
    EXPECT_FALSE(usb.IsPresent(lost));
}

TEST_F(UsbStackTest, InterfaceSetsAreSnapshotsWithProperties) {
    const auto flags = platform::kDigcfPresent | platform::kDigcfDeviceInterface;
    auto before = usb.GetClassDevs(platform::kGuidDevInterfaceUsbHub, flags, nullptr);
    ASSERT_TRUE(before);
    const std::uint32_t count = static_cast<std::uint32_t>(HubSet().size());
    EXPECT_EQ(count, 4u);  // root hubs included
    std::uint32_t idx = 0;
    while (before->GetInterfaceDetail(idx).devicePath != usb.InterfacePath(u3)) ++idx;

    platform::DevicePropertyResult size = before->GetDeviceRegistryProperty(idx, platform::kSpdrpPhysicalDeviceObjectName, 0);
    EXPECT_EQ(size.error, platform::kErrorInsufficientBuffer);
    EXPECT_EQ(size.requiredSize, 2 * (usb.PdoName(u3).size() + 1));
    EXPECT_EQ(before->GetDeviceRegistryProperty(idx, platform::kSpdrpPhysicalDeviceObjectName, size.requiredSize - 1).error,
              platform::kErrorInsufficientBuffer);
    EXPECT_EQ(WideAt(before->GetDeviceRegistryProperty(idx, platform::kSpdrpPhysicalDeviceObjectName, size.requiredSize).data, 0),
              usb.PdoName(u3));
    platform::DevicePropertyResult ids = before->GetDeviceRegistryProperty(idx, platform::kSpdrpHardwareId, 4096);
    EXPECT_EQ(ids.regType, platform::kRegMultiSz);
    EXPECT_EQ(WideAt(ids.data, 0), L"USB\\VID_7A7D&PID_3262&REV_0100");
    EXPECT_EQ(WideAt(before->GetDeviceRegistryProperty(idx, platform::kSpdrpDriver, 4096).data, 0), usb.DriverKey(u3));

    EXPECT_TRUE(before->PropertyChange(idx, platform::PropChangeScope::Global).callInstaller.ok);
    EXPECT_FALSE(usb.IsPresent(u3));
    EXPECT_EQ(HubSet().size(), count - 1);
    EXPECT_EQ(HubSet(platform::kDigcfDeviceInterface).size(), count);  // absent ones without DIGCF_PRESENT
    EXPECT_TRUE(before->EnumInterface(count - 1).ok);                  // the old set keeps it
    EXPECT_EQ(before->EnumInterface(count).error, platform::kErrorNoMoreItems);
    EXPECT_EQ(before->GetInterfaceDetail(idx).devicePath, usb.InterfacePath(u3));
    EXPECT_EQ(before->GetDeviceRegistryProperty(idx, platform::kSpdrpPhysicalDeviceObjectName, 4096).error,
              sim::kErrorNoSuchDevinst);
    sched.Sleep(1500);
    EXPECT_EQ(WideAt(before->GetDeviceRegistryProperty(idx, platform::kSpdrpPhysicalDeviceObjectName, 4096).data, 0),
              usb.PdoName(u3));

    auto controllers = usb.GetClassDevs(platform::kGuidDevInterfaceUsbHostController, flags, nullptr);
    EXPECT_EQ(controllers->GetInterfaceDetail(1).devicePath, kOwnControllerPath);
    EXPECT_EQ(WideAt(controllers->GetDeviceRegistryProperty(1, platform::kSpdrpDeviceDesc, 4096).data, 0),
              L"xHCI Host Controller");

    // Per-entry faults and a failing GetClassDevs.
    auto fault = [&](sim::UsbOp op, sim::UsbFaultKind kind, std::uint32_t error) {
        sim::UsbFault f;
        f.op = op;
        f.kind = kind;
        f.error = error;
        f.index = 1;
        f.interfaceClass = platform::kGuidDevInterfaceUsbHub;
        usb.AddFault(f);
    };
    fault(sim::UsbOp::EnumInterface, sim::UsbFaultKind::Fail, platform::kErrorInvalidParameter);
    fault(sim::UsbOp::InterfaceDetail, sim::UsbFaultKind::OutOfMemory, 0);
    fault(sim::UsbOp::Property, sim::UsbFaultKind::Fail, platform::kErrorInvalidParameter);
    EXPECT_EQ(controllers->EnumInterface(1).error, 0u);  // other class
    auto set = usb.GetClassDevs(platform::kGuidDevInterfaceUsbHub, flags, nullptr);
    EXPECT_EQ(set->EnumInterface(1).error, platform::kErrorInvalidParameter);
    EXPECT_TRUE(set->EnumInterface(2).ok);
    EXPECT_TRUE(set->GetInterfaceDetail(1).outOfMemory);
    EXPECT_FALSE(set->GetDeviceRegistryProperty(1, platform::kSpdrpDriver, 4096).ok);
    EXPECT_TRUE(set->GetDeviceRegistryProperty(1, platform::kSpdrpDriver, 4096).ok);
    sim::UsbFault classDevs;
    classDevs.op = sim::UsbOp::ClassDevs;
    classDevs.error = platform::kErrorNotEnoughMemory;
    usb.AddFault(classDevs);
    std::uint32_t error = 0;
    EXPECT_EQ(usb.GetClassDevs(platform::kGuidDevInterfaceUsbHub, flags, &error), nullptr);
    EXPECT_EQ(error, platform::kErrorNotEnoughMemory);
}

TEST_F(UsbStackTest, FilterObjectsExistOnlyForHubsStartedWithTheFilterInstalled) {
    EXPECT_EQ(usb.FilterObjectName(u3), L"");
    InstallFilter();
    EXPECT_EQ(usb.FilterObjectName(u3), L"");  // not restarted yet
    usb.ResetChip(*chip);
    sched.Sleep(1500);
    std::wstring object3 = usb.PdoName(u3).substr(8);  // "USBPDO-n"
    object3.replace(6, 1, L"_");
    EXPECT_EQ(usb.FilterObjectName(u3), L"\\\\.\\" + object3 + L"0001");

    // Both interfaces reach the one register file.
    const Handle h3 = usb.CreateFile(Lower(usb.FilterObjectName(u3)), platform::DeviceOpenMode::Filter).handle;
    const Handle h2 = usb.CreateFile(usb.FilterObjectName(u2), platform::DeviceOpenMode::Filter).handle;
    ASSERT_TRUE(h3.IsValid() && h2.IsValid());
    hubaccess::FILTER_REQUEST_LEGACY write;
    write.dwRequestKind = hubaccess::LEGACY_REG_WRITE;
    write.dwIndex = 0x7FB;
    write.dwValue = 0x5A;
    auto block = write.Encode();
    std::uint8_t out[1] = {};
    EXPECT_TRUE(usb.DeviceIoControl(h3, hubaccess::IOCTL_FILTER_LEGACY, block.data(), 24, nullptr, 0).Succeeded());
    hubaccess::FILTER_REQUEST_LEGACY read = write;
    read.dwRequestKind = hubaccess::LEGACY_REG_READ;
    block = read.Encode();
    EXPECT_TRUE(usb.DeviceIoControl(h2, hubaccess::IOCTL_FILTER_LEGACY, block.data(), 24, out, 1).Succeeded());
    EXPECT_EQ(out[0], 0x5A);
    EXPECT_EQ(filter.Journal().back().device, usb.FilterObjectName(u2));

    // A restart gives a new object name; the old handle is dead.
    const std::wstring old = usb.FilterObjectName(u3);
    usb.Restart(u3);
    EXPECT_FALSE(usb.CreateFile(old, platform::DeviceOpenMode::Filter).handle.IsValid());
    sched.Sleep(1500);
    EXPECT_NE(usb.FilterObjectName(u3), old);
    EXPECT_FALSE(usb.DeviceIoControl(h3, hubaccess::IOCTL_FILTER_LEGACY, block.data(), 24, out, 1).Succeeded());

    // A hub of the other stack; and a foreign hub, whose object fails every request.
    sim::UsbDeviceSpec mcci = UsbStack::ChipInterface(chip, 0x0300);
    mcci.hostDriver = sim::HostDriver::VantrelUsbd;
    mcci.name = L"{36FC9E60-C465-11CF-8056-444553540000}";
    const int m = usb.AddDevice(own.rootHub, 3, mcci);
    EXPECT_EQ(usb.PdoName(m), L"\\Device\\{36fc9e5f-c465-11cf-8056-444553540000}");
    EXPECT_EQ(usb.FilterObjectName(m), L"\\\\.\\{36fc9e5f_c465_11cf_8056_444553540000}0001");
    EXPECT_EQ(usb.InterfacePath(m).rfind(L"\\\\?\\vantrelusbd_hub#vid_7a7d&pid_3262#", 0), 0u);
    EXPECT_TRUE(Open(L"\\\\?\\" + mcci.name).IsValid());
    const int foreign = usb.AddDevice(own.rootHub, 4, UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4));
    const Handle hf = usb.CreateFile(usb.FilterObjectName(foreign), platform::DeviceOpenMode::Filter).handle;
    ASSERT_TRUE(hf.IsValid());
    EXPECT_EQ(usb.DeviceIoControl(hf, hubaccess::IOCTL_FILTER_LEGACY, block.data(), 24, out, 1).error,
              platform::kErrorGenFailure);
}

TEST_F(UsbStackTest, ChipResetTakesBothInterfacesAwayTogether) {
    int earlierHook = 0;
    auto other = std::make_shared<sim::HubChip>();
    other->onReset = [&](sim::HubChip&) { ++earlierHook; };
    const int o3 = usb.AddDevice(host.rootHub, 7, UsbStack::ChipInterface(other, 0x0300));
    const std::wstring p3 = usb.PdoName(u3), p2 = usb.PdoName(u2);
    chip->OnCpuReset();
    EXPECT_FALSE(usb.IsPresent(u3));
    EXPECT_FALSE(usb.IsPresent(u2));
    EXPECT_TRUE(usb.IsPresent(o3));
    other->OnCpuReset();
    EXPECT_EQ(earlierHook, 1);
    EXPECT_FALSE(usb.IsPresent(o3));
    sched.Sleep(1500);
    EXPECT_TRUE(usb.IsPresent(u3) && usb.IsPresent(u2) && usb.IsPresent(o3));
    EXPECT_NE(usb.PdoName(u3), p3);
    EXPECT_NE(usb.PdoName(u2), p2);
}

TEST_F(UsbStackTest, DevconRestartsEveryPresentDeviceWithThatHardwareId) {
    const int twin1 = usb.AddDevice(host.rootHub, 6, UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4));
    const int twin2 = usb.AddDevice(own.rootHub, 4, UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4));
    const std::wstring hwid = L"USB\\VID_05E3&PID_0610&REV_0100";
    const std::uint64_t t0 = sched.MonotonicMs();
    usb.SetDevconRunMs(3000);
    platform::ProcessRunResult r = usb.StartAndWait(sim::DevconChild(L"Restart " + hwid), 12000000);
    EXPECT_TRUE(r.started && r.ended);
    EXPECT_EQ(sched.MonotonicMs() - t0, 3000u);
    const sim::UsbEvent& launch = usb.Journal().back();
    EXPECT_EQ(launch.kind, sim::UsbEventKind::Launch);
    EXPECT_EQ(launch.restarted, (std::vector<int>{twin1, twin2}));
    EXPECT_EQ(launch.path, L"C:\\Tool\\devconAMD64.exe");
    EXPECT_EQ(launch.parameters, L"Restart " + hwid);
    EXPECT_EQ(launch.directory, L"C:\\Tool");
    EXPECT_TRUE(usb.IsPresent(twin1));  // back after 1500 ms, while devcon still ran

    sim::UsbFault hang;
    hang.op = sim::UsbOp::Launch;
    hang.kind = sim::UsbFaultKind::Hang;
    usb.AddFault(hang);
    r = usb.StartAndWait(sim::DevconChild(L"Restart " + hwid), 10000);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.ended);
    EXPECT_EQ(sched.MonotonicMs() - t0, 13000u);

    sim::UsbFault fail;
    fail.op = sim::UsbOp::Launch;
    fail.error = platform::kErrorAccessDenied;
    usb.AddFault(fail);
    r = usb.StartAndWait(sim::DevconChild(L"Restart " + hwid), 10000);
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.error, platform::kErrorAccessDenied);
    EXPECT_TRUE(usb.IsPresent(twin1));
    EXPECT_FALSE(usb.StartAndWait(sim::DevconChild(L"Restart " + hwid, L"C:\\Tool\\other.exe"), 10000).started);
    r = usb.StartAndWait(sim::DevconChild(L"Restart "), 10000);  // no id: nothing
    EXPECT_TRUE(usb.Journal().back().restarted.empty());
}

TEST_F(UsbStackTest, PowerManagementKeysFollowTheHostDriver) {
    const std::wstring enumRoot = L"SYSTEM\\CurrentControlSet\\Enum\\";
    struct Case {
        sim::HostDriver driver;
        std::wstring name, paramsKey;
    };
    const Case cases[] = {
        {sim::HostDriver::Inbox, L"", L"USB\\VID_05E3&PID_0610\\6&2A3B4C5E&0&8"},
        {sim::HostDriver::IUsb, L"", L"IUSB3\\VID_05E3&PID_0610\\6&2A3B4C5E&0&8"},
        {sim::HostDriver::AmdUsb, L"", L"USB\\VID_05E3&PID_0610\\6&2A3B4C5E&0&8"},
        {sim::HostDriver::AmdUsb, L"AMDUSB30#VID_05E3&PID_0610#0000A1#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
         L"AMDUSB30\\VID_05E3&PID_0610\\0000A1"},
        {sim::HostDriver::Renesas, L"", L"RENESAS_USB3\\VID_05E3&PID_0610\\6&2A3B4C5E&0&8"},
        {sim::HostDriver::Nusb3, L"", L"NUSB3\\VID_05E3&PID_0610\\6&2A3B4C5E&0&8"},
    };
    for (const Case& c : cases) {
        sim::SimRegistry reg;
        UsbStack stack(sched, filter, &reg);
        sim::HostControllerSpec hc;
        hc.interfacePath = kControllerPath;
        hc.hostDriver = c.driver;
        hc.rootPorts = 10;
        const int root = stack.AddHostController(hc).rootHub;
        stack.AddDevice(root, 7, UsbStack::Hub(0x05E3, 0x0610, 0x0300, 4));  // keys without a value
        sim::UsbDeviceSpec spec = UsbStack::Hub(0x05E3, 0x0610, 0x0300, 4);
        spec.name = c.name;
        spec.powerValue = 1;
        const int hub = stack.AddDevice(root, 8, spec);
        const std::wstring params = enumRoot + c.paramsKey + L"\\Device Parameters";
        EXPECT_EQ(reg.GetDword(params, L"EnableSelectiveSuspend"), 1u) << params;
        const std::wstring wdf = enumRoot + L"USB" + c.paramsKey.substr(c.paramsKey.find(L'\\')) + L"\\Device Parameters\\WDF\\";
        EXPECT_EQ(reg.GetDword(wdf, L"IdleInWorkingState"), 1u) << wdf;
        EXPECT_TRUE(reg.HasKey(std::wstring(UsbStack::kUsbClassKey) + L"\\" + stack.DriverKey(hub).substr(39)));
        EXPECT_TRUE(reg.HasKey(enumRoot + L"USB\\VID_05E3&PID_0610\\6&2A3B4C5E&0&7\\Device Parameters\\WDF"));
        EXPECT_FALSE(reg.GetValue(enumRoot + L"USB\\VID_05E3&PID_0610\\6&2A3B4C5E&0&7\\Device Parameters\\WDF",
                                  L"IdleInWorkingState"));
    }
    sim::UsbDeviceSpec mcci = UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4);
    mcci.hostDriver = sim::HostDriver::VantrelUsbd;
    mcci.powerValue = 0;
    const int m = usb.AddDevice(own.rootHub, 1, mcci);
    EXPECT_EQ(usb.Name(m).front(), L'{');
    EXPECT_EQ(registry.GetDword(std::wstring(UsbStack::kUsbClassKey) + L"\\" + usb.DriverKey(m).substr(39),
                                L"SelectiveSuspendEnabled"),
              0u);
}

TEST_F(UsbStackTest, CodePageKeepsAsciiOnly) {
    EXPECT_EQ(usb.AnsiRoundTrip(L"USB#VID_7A7D&PID_3262"), L"USB#VID_7A7D&PID_3262");
    EXPECT_EQ(usb.AnsiRoundTrip(L"Hub \u00e9\u4e2d."), L"Hub ??.");
    EXPECT_EQ(usb.AnsiRoundTrip(L""), L"");
}

}  // namespace
