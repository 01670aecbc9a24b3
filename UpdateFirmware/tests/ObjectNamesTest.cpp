// Filter device object names on the simulated USB stack: the MCCI shortcut,
// the SetupAPI lookup, its failures and its retries in virtual time.
#include <gtest/gtest.h>

#include <cwctype>
#include <optional>
#include <string>

#include "HubUtilityMachine.h"

namespace ha = hubaccess;
using sim::UsbFault;
using sim::UsbOp;
using sim::UsbStack;
using testing_machine::HubUtilityMachine;

namespace {

const std::wstring kMethod = L"CHubUtility::GetObjecNameFromDriverName";
const std::wstring kGuidPart = L"#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";

struct Tree {
    int hub = -1;   // \Device\USBPDO-12 under the inbox stack
    int mcci = -1;  // a hub of the MCCI stack (braced name)
};

// An inbox controller whose 12-port root hub carries ten other devices and
// then the hub, and an MCCI controller with one hub; the filter is installed.
Tree Build(HubUtilityMachine& m, std::optional<std::uint32_t> restartDelayMs = {}, bool neverReturns = false) {
    m.registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"vntlfilter"});
    sim::HostControllerSpec c;
    c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f#3&1158&0&a0" + kGuidPart;
    c.rootPorts = 12;
    const int root = m.usb.AddHostController(c).rootHub;
    for (std::uint32_t p = 1; p <= 10; ++p) m.usb.AddDevice(root, p, UsbStack::Device(0x0781, 0x5500 + p, 0x0200));
    sim::UsbDeviceSpec hub = UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4);
    hub.restartDelayMs = restartDelayMs;
    hub.neverReturns = neverReturns;
    Tree t;
    t.hub = m.usb.AddDevice(root, 11, hub);
    c.interfacePath = L"\\\\?\\pci#ven_1b21&dev_1242#3&1158&0&e0" + kGuidPart;
    c.hostDriver = sim::HostDriver::VantrelUsbd;
    t.mcci = m.usb.AddDevice(m.usb.AddHostController(c).rootHub, 1, UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4));
    m.sink.Clear();
    return t;
}

// The walk's form of a braced hub name (first group less one, lower case,
// "_" for "-"), which is the PDO short name that stack gives the hub.
std::wstring McciName(HubUtilityMachine& m, int node) {
    std::wstring name = m.usb.PdoName(node).substr(8);
    for (wchar_t& ch : name)
        if (ch == L'-') ch = L'_';
    return name;
}

void AddFault(HubUtilityMachine& m, UsbOp op, std::optional<std::wstring> path = {},
              sim::UsbFaultKind kind = sim::UsbFaultKind::Fail, int skip = 0, int times = 1) {
    UsbFault f;
    f.op = op;
    f.path = std::move(path);
    f.kind = kind;
    f.skip = skip;
    f.times = times;
    m.usb.AddFault(f);
}

int Lookup(HubUtilityMachine& m, const std::wstring& name, ha::BYTE retry, std::wstring* object = nullptr) {
    ha::DRIVERINFO info;
    info.DriverName = name;
    info.ObjectName = L"untouched";
    const int r = m.utility->GetObjecNameFromDriverName(&info, retry);
    if (object) *object = info.ObjectName;
    return r;
}

int Count(const HubUtilityMachine& m, const std::wstring& text) {
    int n = 0;
    for (const std::wstring& r : m.sink.Records()) n += r.find(text) != std::wstring::npos;
    return n;
}

TEST(ObjectNames, McciNamesAreFormedDirectlyExceptOnWindows8) {
    struct Row { std::uint32_t major, minor; bool win10; int withoutSetupApi; };
    for (const Row& row : {Row{6, 1, false, 0}, Row{6, 3, false, 0}, Row{6, 2, true, 0}, Row{6, 2, false, -1}}) {
        HubUtilityMachine m;
        const Tree t = Build(m);
        m.os.SetVersion(row.major, row.minor);
        if (row.win10) m.registry.SetDword(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentMajorVersionNumber", 10);
        const std::wstring name = McciName(m, t.mcci);
        std::wstring object;
        if (row.withoutSetupApi == -1) {  // Windows 8 asks SetupAPI and finds the hub by its PDO name
            EXPECT_EQ(Lookup(m, name, 0, &object), 0);
            EXPECT_EQ(object, m.usb.FilterObjectName(t.mcci));
        }
        AddFault(m, UsbOp::ClassDevs, {}, sim::UsbFaultKind::Fail, 0, -1);
        EXPECT_EQ(Lookup(m, name, 0, &object), row.withoutSetupApi) << row.minor;
        if (row.withoutSetupApi == 0) {
            EXPECT_EQ(object, L"\\\\.\\" + name + L"0001");
        }
    }
}

TEST(ObjectNames, SetupApiLookupMatchesByPathOrPdoName) {
    HubUtilityMachine m;
    const Tree t = Build(m);
    const std::wstring name = m.usb.Name(t.hub);
    ASSERT_EQ(m.usb.PdoName(t.hub), L"\\Device\\USBPDO-12");
    std::wstring lower = name;
    for (wchar_t& ch : lower) ch = static_cast<wchar_t>(std::towlower(ch));
    struct Row { std::wstring driverName; int result; };
    for (const Row& row : {Row{name, 0}, Row{lower, 0}, Row{L"OTHER" + name.substr(name.find(L'#')), 0},
                           Row{L"usbpdo_12", 0}, Row{L"USB#VID_7A7D&PID_9999#1#x", -5}, Row{L"USBPDO_120", -5}}) {
        std::wstring object;
        EXPECT_EQ(Lookup(m, row.driverName, 0, &object), row.result) << row.driverName;
        EXPECT_EQ(object, row.result == 0 ? L"\\\\.\\USBPDO_120001" : L"untouched") << row.driverName;
    }
    EXPECT_EQ(m.usb.FilterObjectName(t.hub), L"\\\\.\\USBPDO_120001");
}

TEST(ObjectNames, FailuresGiveTheirCodesAndAnUnreadablePdoIsNoMatch) {
    struct Row { bool tree; UsbOp op; sim::UsbFaultKind kind; int result; const wchar_t* record; };
    const Row rows[] = {
        {false, UsbOp::Open, {}, -4, nullptr},
        {true, UsbOp::ClassDevs, sim::UsbFaultKind::Fail, -1, L"Can not found any Hubs"},
        {true, UsbOp::InterfaceDetail, sim::UsbFaultKind::Fail, -1, L"Get Device Interface Detail failed"},
        {true, UsbOp::InterfaceDetail, sim::UsbFaultKind::OutOfMemory, -8, L"Memory Insurfficient!!!!"},
        {true, UsbOp::Property, sim::UsbFaultKind::Fail, -5, L"cannot be read, interface skipped"},
    };
    for (const Row& row : rows) {
        HubUtilityMachine m;
        std::wstring name = L"USB#VID_7A7D&PID_3262#6&0#x";
        if (row.tree) {
            const Tree t = Build(m);
            name = m.usb.Name(t.hub);
            AddFault(m, row.op, row.op == UsbOp::ClassDevs ? std::nullopt : std::optional(name), row.kind);
        }
        std::wstring object;
        EXPECT_EQ(Lookup(m, name, 0, &object), row.result);
        EXPECT_EQ(object, L"untouched");
        if (row.record) {
            EXPECT_EQ(Count(m, row.record), 1) << row.record;
        }
        EXPECT_EQ(m.ui.Messages().size(), row.result == -8 ? 1u : 0u);
    }
    HubUtilityMachine m;
    EXPECT_EQ(m.utility->GetObjecNameFromDriverName(nullptr, 0), -10);
    EXPECT_EQ(Lookup(m, L"", 1), -10);
}

TEST(ObjectNames, RestartedHubIsFoundOnTheSecondPassOfTheRetryingLookup) {
    HubUtilityMachine m;
    const Tree t = Build(m, 7000);
    m.os.SetWow64(true);
    const std::wstring name = m.usb.Name(t.hub), before = m.usb.FilterObjectName(t.hub);
    const std::uint64_t start = m.sched.MonotonicMs();
    ASSERT_EQ(m.utility->ucGetHubHWIds(ha::HUBREC{name, L"", L"", L"", 0}, nullptr, 1), 1);  // devcon: 3 s in all
    std::wstring object;
    EXPECT_EQ(Lookup(m, name, 1, &object), 0);
    EXPECT_EQ(m.sched.MonotonicMs() - start, 8000u);
    EXPECT_EQ(Count(m, L"Can not find Target Hubs[" + name + L"] Retry "), 1);
    EXPECT_EQ(object, m.usb.FilterObjectName(t.hub));
    EXPECT_NE(object, before);
}

TEST(ObjectNames, RetryingLookupEndsAfterTwentySeconds) {
    struct Row { bool neverBack; std::optional<UsbOp> fault; int skip; int result; std::uint64_t ms; int retries; };
    for (const Row& row : {Row{true, {}, 0, -9, 20000, 4}, Row{false, UsbOp::Property, 0, 0, 5000, 1},
                           Row{true, UsbOp::ClassDevs, 1, -4, 5000, 0}}) {
        HubUtilityMachine m;
        const Tree t = Build(m, {}, row.neverBack);
        const std::wstring name = m.usb.Name(t.hub);
        if (row.neverBack) {
            m.usb.Restart(t.hub);
            EXPECT_EQ(Lookup(m, name, 0), -5);  // a single pass
        }
        if (row.fault) {  // the PDO name unreadable once / the second list request failing
            AddFault(m, *row.fault, row.fault == UsbOp::Property ? std::optional(name) : std::nullopt,
                     sim::UsbFaultKind::Fail, row.skip);
        }
        const std::uint64_t start = m.sched.MonotonicMs();
        EXPECT_EQ(Lookup(m, name, 1), row.result);
        EXPECT_EQ(m.sched.MonotonicMs() - start, row.ms);
        EXPECT_EQ(Count(m, L"] Retry "), row.retries);
        EXPECT_EQ(Count(m, L"Time Out, fsdif= : 20.000000"), row.result == -9 ? 1 : 0);
    }
}

}  // namespace
