// The USB topology walk on the simulated USB stack: which hubs a walk takes
// under each filter, the entries it fills, how it tells positions apart, the
// retries of an unnamed hub in virtual time, the entry and tier limits, the
// power-management decision and the supporting methods.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HubUtilityMachine.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"
#include "sim/HubChip.h"
#include "sim/UsbStack.h"

namespace ha = hubaccess;
using sim::UsbStack;

namespace {

const wchar_t kWalk[] = L"CHubUtility::GetHubPort";
const std::wstring kIntelDescription = L"Intel(R) USB 3.0 eXtensible Host Controller - 1.0 (Microsoft)";
const std::wstring kXhciDescription = L"USB xHCI Compliant Host Controller";

std::wstring ControllerPath(const std::wstring& venDev, int instance) {
    return L"\\\\?\\pci#" + venDev + L"&subsys_00000000&rev_01#3&11583659&0&" + std::to_wstring(instance) +
           L"0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
}

std::wstring Upper(std::wstring s) {
    for (auto& c : s)
        if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - 32);
    return s;
}

// One simulated machine with the filter installed (so every hub has its
// filter device object) and a hub device object bound to the hub table.
struct Rig {
    Rig() {
        m.registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"VntlFilter"});
        m.HubDev();
    }
    void Windows10() {
        m.os.SetVersion(6, 2);
        m.registry.SetDword(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentMajorVersionNumber", 10);
    }
    UsbStack::HostNodes Controller(const std::wstring& venDev, const std::wstring& description, std::uint8_t ports) {
        sim::HostControllerSpec spec;
        spec.interfacePath = ControllerPath(venDev, ++controllers);
        spec.description = description;
        spec.rootPorts = ports;
        return usb.AddHostController(spec);
    }
    int Chip(int parent, std::uint32_t port, std::uint16_t bcdUSB, std::shared_ptr<sim::HubChip> chip = nullptr,
             std::uint16_t pid = 0, std::optional<std::uint32_t> powerValue = std::nullopt) {
        sim::UsbDeviceSpec spec = UsbStack::ChipInterface(chip ? chip : std::make_shared<sim::HubChip>(), bcdUSB, pid);
        spec.powerValue = powerValue;
        return usb.AddDevice(parent, port, spec);
    }
    ha::BOOL Walk() {
        dev().m_DriverNum = 0;
        return u.GetDeviceList();
    }
    // The stack nodes of the entries, in entry order (-1: no such hub).
    std::vector<int> Taken() {
        std::vector<int> nodes;
        for (int i = 0; i < dev().m_DriverNum; ++i) {
            int found = -1;
            for (int n = 0; n < usb.NodeCount(); ++n)
                if (usb.Name(n) == dev().m_DriverInfo[i].DriverName) found = n;
            nodes.push_back(found);
        }
        return nodes;
    }
    // The hub's selective-suspend value of the Windows 7 / Windows 10 kind.
    std::optional<std::uint32_t> PowerValue(int node, bool win10) {
        const std::wstring path = usb.InterfacePath(node);
        const std::size_t last = path.rfind(L'#'), prev = path.rfind(L'#', last - 1);
        const std::wstring key = L"System\\CurrentControlSet\\Enum\\USB\\VID_7A7D&PID_3262\\" +
                                 Upper(path.substr(prev + 1, last - prev - 1)) + L"\\Device Parameters" +
                                 (win10 ? L"\\WDF\\" : L"");
        return m.registry.GetDword(key, win10 ? L"IdleInWorkingState" : L"EnableSelectiveSuspend");
    }
    std::uint64_t Now() { return m.sched.MonotonicMs(); }
    ha::CVntlHubDev& dev() { return m.HubDev(); }

    testing_machine::HubUtilityMachine m;
    UsbStack& usb = m.usb;
    ha::CHubUtility& u = *m.utility;
    int controllers = 0;
};

TEST(UsbTopologyTest, TwoControllersTheFiltersAndTheEntries) {
    Rig r;
    const auto a = r.Controller(L"ven_8086&dev_a12f", kIntelDescription, 10);
    const auto b = r.Controller(L"ven_7a7c&dev_3262", L"VTL USB 3.0 xHCI Host Controller", 4);
    auto chip1 = std::make_shared<sim::HubChip>(), chip2 = std::make_shared<sim::HubChip>();
    auto chip3 = std::make_shared<sim::HubChip>(), chip4 = std::make_shared<sim::HubChip>();
    chip1->deviceDescriptor[14] = 2;  // strings at 2 / 3 / 1: the manufacturer is read
    chip1->deviceDescriptor[15] = 3;
    chip1->deviceDescriptor[16] = 1;
    chip1->SetString(1, u"SN0001");
    chip1->SetString(2, u"Vantrel");
    chip1->SetString(3, u"VTL262x");
    chip2->SetVersion({0x14, 0x04, 0x15, 0x03, 0xE5, 0x00}, false);
    chip4->SetVersion({0x14, 0x04, 0x15, 0x03, 0xE5, 0x01});

    const int a3 = r.Chip(a.rootHub, 3, 0x0300, chip1);
    const int a4 = r.Chip(a.rootHub, 4, 0x0210, chip1);
    const int intel = r.usb.AddDevice(a.rootHub, 5, UsbStack::Hub(0x8087, 0x0024, 0x0200, 4));
    const int a52 = r.Chip(intel, 2, 0x0300, chip2);
    const int f7 = r.usb.AddDevice(a.rootHub, 7, UsbStack::Hub(0x05E3, 0x0610, 0x0210, 4));
    const int f71 = r.usb.AddDevice(f7, 1, UsbStack::Hub(0x05E3, 0x0626, 0x0300, 4));
    const int a713 = r.Chip(f71, 3, 0x0300, chip3, 0x326A);
    r.usb.AddDevice(a.rootHub, 9, UsbStack::Device(0x0781, 0x5581, 0x0300));
    const int b1 = r.Chip(b.rootHub, 1, 0x0210, chip2);
    const int b2 = r.Chip(b.rootHub, 2, 0x0210, chip4);  // a USB 2.0-only chip
    const int other = r.usb.AddDevice(b.rootHub, 4, UsbStack::Hub(0x2109, 0x0817, 0x0300, 4));

    // The hub table already shows the chips' version: the walk leaves it alone.
    r.m.devList.rows[0].m_strFWVersion = L"14041503e500";

    struct Row {
        const char* name;
        std::function<void(ha::CHubUtility&)> set;
        std::vector<int> taken;
    };
    const Row rows[] = {
        {"no filter", [](ha::CHubUtility&) {}, {a3, a4, a52, f7, f71, a713, b1, b2, other}},
        {"VID 7a7d", [](ha::CHubUtility& u) { u.m_strVID_Indetify = L"7a7d"; }, {a3, a4, a52, a713, b1, b2}},
        {"VID 05E3, 7A7D always passes", [](ha::CHubUtility& u) { u.m_strVID_Indetify = L"05E3"; },
         {a3, a4, a52, f7, f71, a713, b1, b2}},
        {"USB 3.0 only", [](ha::CHubUtility& u) { u.m_strVID_Indetify = L"7A7D"; u.m_ucCheckSpeedOnly = 2; },
         {a3, a52, a713}},
        {"USB 2.0 only", [](ha::CHubUtility& u) { u.m_strVID_Indetify = L"7A7D"; u.m_ucCheckSpeedOnly = 1; },
         {a4, b1, b2}},
        {"PID30 in another case", [](ha::CHubUtility& u) { u.m_strPID30_Indetify = L"326A"; }, {a713}},
        {"PID20", [](ha::CHubUtility& u) { u.m_strPID20_Indetify = L"2262"; }, {a4, b1, b2}},
        {"manufacturer",
         [](ha::CHubUtility& u) { u.m_bCheckManuString = 1; u.m_strManuString_Indetify = L"VANTREL"; }, {a3, a4}},
        {"FW version; an unreadable version block passes",
         [](ha::CHubUtility& u) { u.m_strVID_Indetify = L"7A7D"; u.m_strFW_Indetify = L"14041503e500"; },
         {a3, a4, a52, a713, b1}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ha::CHubUtility& u = r.u;
        u.m_strVID_Indetify.clear();
        u.m_strPID30_Indetify.clear();
        u.m_strPID20_Indetify.clear();
        u.m_strFW_Indetify.clear();
        u.m_bCheckManuString = 0;
        u.m_ucCheckSpeedOnly = 0;
        row.set(u);
        EXPECT_EQ(r.Walk(), ha::TRUE);
        EXPECT_EQ(r.Taken(), row.taken);
        EXPECT_EQ(r.usb.OpenHandleCount(), 0);
        EXPECT_EQ(r.m.driver.OpenHandleCount(), 0);
    }

    // The entries of the usual run (VID filter only), in walk order.
    r.u.m_strVID_Indetify = L"7A7D";
    r.u.m_strFW_Indetify.clear();
    ASSERT_EQ(r.Walk(), ha::TRUE);
    const std::wstring rootA = r.usb.Name(a.rootHub), rootB = r.usb.Name(b.rootHub);
    struct Entry {
        int node;
        std::wstring root;
        std::vector<ha::BYTE> chain;
        std::wstring pid, bcdUSB;
        int positionIndex;
    };
    const Entry expected[] = {
        {a3, rootA, {3}, L"3262", L"0300", 1 * 10 + 3},
        {a4, rootA, {4}, L"2262", L"0210", 1 * 10 + 4},
        {a52, rootA, {5, 2}, L"3262", L"0300", 2 * 4 + 2},
        {a713, rootA, {7, 1, 3}, L"326a", L"0300", 3 * 4 + 3},
        {b1, rootB, {1}, L"2262", L"0210", 1 * 4 + 1},
        {b2, rootB, {2}, L"2262", L"0210", 1 * 4 + 2},
    };
    ASSERT_EQ(r.dev().m_DriverNum, 6);
    for (int i = 0; i < 6; ++i) {
        const ha::DRIVERINFO& e = r.dev().m_DriverInfo[i];
        const Entry& x = expected[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(e.DriverName, r.usb.Name(x.node));
        EXPECT_EQ(e.ObjectName, r.usb.FilterObjectName(x.node));
        EXPECT_EQ(e.position.rootHubName, x.root);
        EXPECT_EQ(e.position.portChain, x.chain);
        EXPECT_EQ(e.szParentHubName, x.root);
        EXPECT_EQ(e.ucHubDepth, x.chain.size());
        EXPECT_EQ(e.ucPortNumber, x.chain.back());
        EXPECT_EQ(e.ucPositionIndex, x.positionIndex);
        EXPECT_EQ(e.szVID, L"7a7d");
        EXPECT_EQ(e.szPID, x.pid);
        EXPECT_EQ(e.szBcdUSB, x.bcdUSB);
        EXPECT_EQ(e.ucFWVersion.IsValid(), x.node != a52 && x.node != b1);
    }
    EXPECT_EQ(r.dev().m_DriverInfo[5].ucFWVersion.VersionText(), L"14041503e501");
    EXPECT_EQ(r.m.devList.rows[0].m_bUpdateFWResult, 0);
    EXPECT_EQ(r.m.devList.rows[0].m_bReloadFWResult, 0);
    EXPECT_TRUE(r.m.HasRecord(L"WRN", kWalk, L" bGet262xFWVersion Failed, ucPositionIndex[10]"));
}

TEST(UsbTopologyTest, ReEnumerationComparesTheWholePosition) {
    Rig r;
    // Port 2 of two 4-port root hubs (index 6 both), a tier-1 hub on port 3
    // of a 10-port root hub and a tier-2 hub on port 1 of a 6-port hub
    // (index 13 both).
    const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
    const auto b = r.Controller(L"ven_1022&dev_43d5", kXhciDescription, 4);
    const auto c = r.Controller(L"ven_1033&dev_0194", kXhciDescription, 10);
    const int a2 = r.Chip(a.rootHub, 2, 0x0300), b2 = r.Chip(b.rootHub, 2, 0x0300);
    const int c3 = r.Chip(c.rootHub, 3, 0x0300);
    const int six = r.usb.AddDevice(c.rootHub, 6, UsbStack::Hub(0x05E3, 0x0610, 0x0300, 6));
    const int c61 = r.Chip(six, 1, 0x0300);
    r.u.m_strVID_Indetify = L"1234";  // not tested in this mode
    r.u.m_bAllHubCheck4ReEnum = 1;

    struct Row {
        std::wstring root;
        std::vector<ha::BYTE> chain;
        ha::DWORD index;
        std::vector<int> taken;
    };
    const Row rows[] = {
        {r.usb.Name(b.rootHub), {2}, 6, {b2}},
        {r.usb.Name(a.rootHub), {2}, 6, {a2}},
        {r.usb.Name(c.rootHub), {6, 1}, 13, {c61}},
        {r.usb.Name(c.rootHub), {3}, 13, {c3}},
        {r.usb.Name(c.rootHub), {1}, 11, {}},
    };
    for (const Row& row : rows) {
        r.u.m_OldPositions.fill({});
        r.u.m_ulOldPositionIndex.fill(0xFFFFFFFFu);
        r.u.m_OldPositions[3] = {row.root, row.chain};
        r.u.m_ulOldPositionIndex[3] = row.index;
        r.Walk();
        EXPECT_EQ(r.Taken(), row.taken) << row.index;
    }
    // No saved position: nothing is taken.
    r.u.m_OldPositions.fill({});
    r.Walk();
    EXPECT_EQ(r.dev().m_DriverNum, 0);
}

TEST(UsbTopologyTest, AnUnnamedHubCostsItsRetriesAndIsSkipped) {
    struct Row {
        sim::UsbFaultKind kind;
        std::uint32_t value;
        std::uint64_t ms;  // 5000 after the three attempts, each ending with 400
        const wchar_t* record;
        bool taken;
    };
    const Row rows[] = {
        {sim::UsbFaultKind::Fail, 0, 5000 + 3 * (2500 + 400), L"IOCTL_USB_GET_NODE_CONNECTION_NAME, Retry[2]", false},
        {sim::UsbFaultKind::ActualLength, 10, 5000 + 3 * (500 + 400), L"Retry[0], Allocate space", false},
        {sim::UsbFaultKind::ActualLength, 151, 5000 + 3 * (500 + 400), L"Retry[1], Allocate space", false},
        {sim::UsbFaultKind::ActualLength, 0x7FFFFFFE, 5000 + 3 * (500 + 400), L"Retry[2], Allocate space", false},
        {sim::UsbFaultKind::NameWithoutBrace, 0, 5000 + 3 * 400, nullptr, false},
        {sim::UsbFaultKind::ActualLength, 1000, 0, nullptr, true},  // longer than the name: still read
    };
    for (const Row& row : rows) {
        Rig r;
        const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
        const int unnamed = r.Chip(a.rootHub, 3, 0x0300);
        const int below = r.Chip(unnamed, 1, 0x0300);
        const int next = r.Chip(a.rootHub, 4, 0x0300);
        sim::UsbFault f;
        f.kind = row.kind;
        f.value = row.value;
        f.ioctl = 0x220414;
        f.port = 3;
        f.path = r.usb.Name(a.rootHub);
        f.times = row.taken ? 1 : -1;
        r.usb.AddFault(f);
        const std::uint64_t t0 = r.Now();
        r.Walk();
        SCOPED_TRACE(row.value);
        EXPECT_EQ(r.Now() - t0, row.ms);
        EXPECT_EQ(r.Taken(), row.taken ? std::vector<int>({unnamed, below, next}) : std::vector<int>({next}));
        if (row.record) {
            EXPECT_TRUE(r.m.HasRecord(L"ERR", L"CHubUtility::strGetExternalHubName", row.record));
        }
        if (!row.taken) {
            EXPECT_TRUE(r.m.HasRecord(L"ERR", kWalk, L" strGetExternalHubName failed"));
            EXPECT_TRUE(r.m.HasRecord(L"ERR", kWalk, L" CreateFile[\\\\?\\] fail"));
        }
    }
}

TEST(UsbTopologyTest, ConnectionInformationFallsBackToThePlainRequest) {
    Rig r;
    const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
    const int h2 = r.Chip(a.rootHub, 2, 0x0300), h3 = r.Chip(a.rootHub, 3, 0x0300);
    sim::UsbFault ex;
    ex.ioctl = 0x220448;
    ex.path = r.usb.Name(a.rootHub);
    ex.times = -1;
    ex.port = 2;
    r.usb.AddFault(ex);  // port 2: EX fails, the plain request answers
    ex.port = 3;
    r.usb.AddFault(ex);
    ex.ioctl = 0x22040C;
    r.usb.AddFault(ex);  // port 3: neither answers
    r.Walk();
    EXPECT_EQ(r.Taken(), std::vector<int>({h2}));
    (void)h3;
}

TEST(UsbTopologyTest, TheSixteenthHubIsNotTakenAndNothingIsLost) {
    Rig r;
    r.Windows10();
    const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 16);
    std::vector<int> hubs;
    for (std::uint32_t p = 1; p <= 16; ++p) hubs.push_back(r.Chip(a.rootHub, p, 0x0300, nullptr, 0, 1));
    const int below16 = r.Chip(hubs[15], 2, 0x0300, nullptr, 0, 1);
    r.u.m_strVID_Indetify = L"7A7D";
    r.Walk();
    EXPECT_EQ(r.dev().m_DriverNum, ha::kDriverInfoMax);
    EXPECT_EQ(r.Taken(), std::vector<int>(hubs.begin(), hubs.begin() + 15));
    int warnings = 0;
    for (const auto& rec : r.m.sink.Records())
        warnings += rec.find(L"Find un-reasonable case, there are some exactly the same Hubs cascade, m_DriverNum=15 ") !=
                    std::wstring::npos;
    EXPECT_EQ(warnings, 2);  // the 16th hub and the one below it
    EXPECT_EQ(r.PowerValue(hubs[14], true), 0u);
    EXPECT_EQ(r.PowerValue(hubs[15], true), 1u);  // not taken, not changed
    EXPECT_EQ(r.PowerValue(below16, true), 1u);
}

TEST(UsbTopologyTest, TheWalkStopsAtTheSeventhTier) {
    Rig r;
    const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
    std::vector<int> chain{a.rootHub};
    for (int tier = 1; tier <= 8; ++tier) chain.push_back(r.Chip(chain.back(), 1, 0x0300));
    r.Walk();
    EXPECT_EQ(r.Taken(), std::vector<int>(chain.begin() + 1, chain.begin() + 8));
    EXPECT_EQ(r.dev().m_DriverInfo[6].ucHubDepth, 7);
    EXPECT_EQ(r.dev().m_DriverInfo[6].position.portChain, std::vector<ha::BYTE>(7, 1));
    for (const auto& e : r.usb.Journal())
        EXPECT_FALSE(e.node == chain[8] && e.kind == sim::UsbEventKind::Open) << "the 8th tier was opened";
    EXPECT_TRUE(r.m.HasRecord(L"WRN", kWalk, L" Hub[\\\\?\\" + r.usb.Name(chain[7]) + L"] is at tier 7"));
}

TEST(UsbTopologyTest, HostControllerSetOutcomes) {
    {
        Rig r;  // no host controller at all
        EXPECT_EQ(r.Walk(), ha::FALSE);
        EXPECT_EQ(r.dev().m_DriverNum, 0);
    }
    {
        Rig r;  // the first controller cannot be opened, the second is walked
        const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
        const auto b = r.Controller(L"ven_1022&dev_43d5", kXhciDescription, 4);
        r.Chip(a.rootHub, 1, 0x0300);
        const int b1 = r.Chip(b.rootHub, 1, 0x0300);
        sim::UsbFault open;
        open.op = sim::UsbOp::Open;
        open.path = r.usb.Name(a.controller);
        r.usb.AddFault(open);
        EXPECT_EQ(r.Walk(), ha::TRUE);
        EXPECT_EQ(r.Taken(), std::vector<int>({b1}));
        // A detail failure on the second ends the walk; the first's hubs stay.
        sim::UsbFault detail;
        detail.op = sim::UsbOp::InterfaceDetail;
        detail.kind = sim::UsbFaultKind::OutOfMemory;
        detail.index = 1;
        detail.interfaceClass = platform::kGuidDevInterfaceUsbHostController;
        r.usb.AddFault(detail);
        EXPECT_EQ(r.Walk(), ha::FALSE);
        EXPECT_EQ(r.dev().m_DriverNum, 1);
        EXPECT_EQ(r.m.ui.Messages().size(), 1u);
    }
}

TEST(UsbTopologyTest, PowerManagementDecision) {
    struct Row {
        const char* name;
        bool win10;
        std::wstring venDev, description;
        bool deviceBelow, statusUnreadable;
        bool changed, intelRecord;
    };
    const Row rows[] = {
        {"Win7, device below", false, L"ven_8086&dev_a12f", kIntelDescription, true, false, false, false},
        {"Win7, nothing below", false, L"ven_8086&dev_a12f", kIntelDescription, false, false, true, false},
        {"Win7, status unreadable", false, L"ven_8086&dev_a12f", kIntelDescription, true, true, true, false},
        {"Win7, own controller", false, L"ven_7a7c&dev_3262", kIntelDescription, false, false, false, false},
        {"Win10, no xHCI", true, L"ven_8086&dev_a12f", kIntelDescription, true, false, false, true},
        {"Win10, xHCI", true, L"ven_8086&dev_a12f", kXhciDescription, true, false, true, false},
        {"Win10, xHCI at 0", true, L"ven_8086&dev_a12f", L"xHCI Host Controller", true, false, false, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        if (row.win10) r.Windows10();
        const auto a = r.Controller(row.venDev, row.description, 4);
        const int hub = r.Chip(a.rootHub, 2, 0x0300, nullptr, 0, 1);
        if (row.deviceBelow) r.usb.AddDevice(hub, 3, UsbStack::Device(0x0781, 0x5581, 0x0200));
        if (row.statusUnreadable) {
            sim::UsbFault open;
            open.op = sim::UsbOp::Open;
            open.path = r.usb.Name(hub);
            r.usb.AddFault(open);
        }
        r.Walk();
        ASSERT_EQ(r.Taken(), std::vector<int>({hub}));
        EXPECT_EQ(r.PowerValue(hub, row.win10), row.changed ? 0u : 1u);
        EXPECT_EQ(r.m.HasRecord(L"MSG", kWalk, L"Hub[" + r.usb.Name(hub) + L"] is connect to Intel 2.0 Hot"),
                  row.intelRecord);
        if (row.statusUnreadable) {
            EXPECT_TRUE(r.m.HasRecord(L"ERR", L"CHubUtility::GetPortStatus", L"GetPortData: IOCTL_USB_GET_NODE_INFORMATION"));
        }
    }
}

TEST(UsbTopologyTest, ATakenSlotStartsWithoutTheFlagsOfItsLastHub) {
    Rig r;
    const auto a = r.Controller(L"ven_7a7c&dev_3262", kXhciDescription, 4);  // Win7, own: no change
    const int hub = r.Chip(a.rootHub, 1, 0x0300);
    r.dev().m_DriverInfo[0].bPMChanged = 1;
    r.dev().m_DriverInfo[0].szHWIdPath = "USB#VID_05E3&PID_0610#STALE";
    r.Walk();
    ASSERT_EQ(r.Taken(), std::vector<int>({hub}));
    EXPECT_EQ(r.dev().m_DriverInfo[0].bPMChanged, 0);
    EXPECT_EQ(r.dev().m_DriverInfo[0].szHWIdPath, "");
}

TEST(UsbTopologyTest, AnMcciHubIsNamedByItsConvertedGuid) {
    Rig r;
    r.Windows10();
    const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
    sim::UsbDeviceSpec spec = UsbStack::ChipInterface(std::make_shared<sim::HubChip>(), 0x0300);
    spec.hostDriver = sim::HostDriver::VantrelUsbd;
    spec.name = L"{36FC9E60-C465-11CF-8056-444553540000}";
    const int hub = r.usb.AddDevice(a.rootHub, 1, spec);
    r.Walk();
    ASSERT_EQ(r.dev().m_DriverNum, 1);
    EXPECT_EQ(r.dev().m_DriverInfo[0].DriverName, L"{36fc9e5f_c465_11cf_8056_444553540000}");
    EXPECT_EQ(r.dev().m_DriverInfo[0].ObjectName, r.usb.FilterObjectName(hub));
    EXPECT_TRUE(r.dev().m_DriverInfo[0].ucFWVersion.IsValid());
}

TEST(UsbTopologyTest, McciNameConversion) {
    Rig r;
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"{36FC9E60-C465-11CF-8056-444553540000}", L"{36fc9e5f_c465_11cf_8056_444553540000}"},
        {L"{36fc9e60-c465-11cf-8056-444553540000}", L"{36fc9e5f_c465_11cf_8056_444553540000}"},
        {L"{00000000-0000-0000-0000-000000000000}", L"{ffffffff_0000_0000_0000_000000000000}"},
        {L"{00000010-AB}", L"{0000000f_ab}"},
        {L"USB#VID_7A7D&PID_3262#6&2a3b4c5e&0&3#{f18a0e88-c30c-11d0-8815-00a0c906bed8}",
         L"USB#VID_7A7D&PID_3262#6&2a3b4c5e&0&3#{f18a0e88-c30c-11d0-8815-00a0c906bed8}"},
        {L"{36FC9E60-C465", L"{36FC9E60-C465"},
        {L"", L""},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(r.u.strChangeDeviceNameForMCCI(in), out) << in;
}

TEST(UsbTopologyTest, PortStatusBits) {
    struct Row {
        std::uint8_t ports;
        std::vector<std::uint32_t> devices;
        ha::BYTE mask;
        int status;
    };
    const Row rows[] = {
        {4, {1, 3}, 0xFF, 5},  {4, {2}, 0xFF, 2},     {4, {4}, 0xFF, 8},  {4, {2, 3, 4}, 0xFF, 14},
        {8, {6}, 0xFF, 1},     {8, {5, 8}, 0xFF, 1},  {4, {}, 0xFF, 0},   {4, {1, 2}, 0x02, 2},
        {10, {9, 10}, 0xFF, 0},
    };
    for (const Row& row : rows) {
        Rig r;
        const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
        const int hub = r.usb.AddDevice(a.rootHub, 1, UsbStack::Hub(0x05E3, 0x0610, 0x0210, row.ports));
        for (std::uint32_t p : row.devices) r.usb.AddDevice(hub, p, UsbStack::Device(0x0781, 0x5581, 0x0200));
        EXPECT_EQ(r.u.GetPortStatus(r.usb.Name(hub), row.mask), row.status) << row.status;
        EXPECT_EQ(r.u.GetPortStatus(L"USB#VID_0000&PID_0000#none#{f18a0e88-c30c-11d0-8815-00a0c906bed8}", 0xFF), 0);
        EXPECT_EQ(r.usb.OpenHandleCount(), 0);
    }
}

TEST(UsbTopologyTest, VersionRead) {
    struct Row {
        const char* name;
        std::function<void(sim::HubChip&)> chip;
        bool foreign, unopenable;
        ha::BOOL result;
        std::uint64_t ms;
    };
    const Row rows[] = {
        {"valid", [](sim::HubChip&) {}, false, false, ha::TRUE, 0},
        {"byte 10 not 7", [](sim::HubChip& c) { c.SetReg(0x7F0 + 10, 6); }, false, false, ha::FALSE, 500},
        {"byte 8 is 3", [](sim::HubChip& c) { c.SetReg(0x7F0 + 8, 3); }, false, false, ha::FALSE, 500},
        {"byte 8 is 2", [](sim::HubChip& c) { c.SetReg(0x7F0 + 8, 2); }, false, false, ha::TRUE, 0},
        {"requests fail", [](sim::HubChip&) {}, true, false, ha::FALSE, 500},
        {"no object", [](sim::HubChip&) {}, false, true, ha::FALSE, 500},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Rig r;
        const auto a = r.Controller(L"ven_8086&dev_a12f", kXhciDescription, 4);
        auto chip = std::make_shared<sim::HubChip>();
        row.chip(*chip);
        const int hub = row.foreign ? r.usb.AddDevice(a.rootHub, 1, UsbStack::Hub(0x05E3, 0x0610, 0x0300, 4))
                                    : r.Chip(a.rootHub, 1, 0x0300, chip);
        ha::DRIVERINFO entry;
        entry.ObjectName = row.unopenable ? L"\\\\.\\USBPDO_990001" : r.usb.FilterObjectName(hub);
        entry.ucFWVersion.bytes.fill(0xAB);
        const std::uint64_t t0 = r.Now();
        EXPECT_EQ(r.u.bGet262xFWVersion(&entry), row.result);
        EXPECT_EQ(r.Now() - t0, row.ms);
        EXPECT_EQ(entry.ucFWVersion.VersionText(), row.result ? L"14041503e500" : L"000000000000");
        EXPECT_EQ(r.m.driver.OpenHandleCount(), 0);
        EXPECT_EQ(r.usb.OpenHandleCount(), 0);
        if (row.unopenable) {
            EXPECT_TRUE(r.m.HasRecord(L"ERR", L"CHubUtility::bGet262xFWVersion", L"Create[\\\\.\\USBPDO_990001] Failed,Retry[0]"));
        }
        if (row.foreign) {
            EXPECT_TRUE(r.m.HasRecord(L"WRN", L"CHubUtility::bGet262xFWVersion", L"Get_Version Failed, Retry[0]"));
        }
    }
}

}  // namespace
