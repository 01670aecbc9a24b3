// The scan on the simulated machine: one row per chip, the merge of a chip's
// two interfaces through the signature, the restarts and relinks of hubs that
// do not answer through the filter driver, the filters, the row limit, and
// the rescan that leaves the hub table alone.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HubUtilityMachine.h"
#include "hubaccess/FilterRequest.h"

namespace ha = hubaccess;
using sim::UsbStack;

namespace {

const wchar_t kScan[] = L"CVntlHubDev::OpenDevice";

struct Rig {
    explicit Rig(bool filterInstalled = true) {
        if (filterInstalled) InstallFilter();
        m.usb.SetDefaultRestartDelay(300);
        u.m_strVID_Indetify = L"7A7D";
        for (int i = 0; i < 2; ++i) {
            sim::HostControllerSpec c;
            c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f#3&1158&0&" + std::to_wstring(i) +
                              L"0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
            c.rootPorts = 10;
            root[i] = m.usb.AddHostController(c).rootHub;
        }
    }
    void InstallFilter() { m.registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"VntlFilter"}); }
    void Windows10() {
        m.os.SetVersion(6, 2);
        m.registry.SetDword(L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", L"CurrentMajorVersionNumber", 10);
    }
    // Selective suspend already off (power value 0) unless told otherwise.
    int Add(int parent, std::uint32_t port, const std::shared_ptr<sim::HubChip>& chip, std::uint16_t bcdUSB,
            std::uint16_t pid = 0, std::optional<std::uint32_t> power = 0u) {
        sim::UsbDeviceSpec spec = UsbStack::ChipInterface(chip, bcdUSB, pid);
        spec.powerValue = power;
        return m.usb.AddDevice(parent, port, spec);
    }
    int Scan() { return u.m_USBLib.OpenDev(&m.devList, 0); }
    ha::CVntlHubDev& Dev() { return *u.m_USBLib.m_pHubDev; }
    const ha::DEV_LIST_ITEM& Row(int i) const { return m.devList.rows[i]; }
    // The whole text after "<method>:<line>: " of a record of this kind.
    bool Record(const std::wstring& kind, const std::wstring& text, const std::wstring& method = kScan) const {
        const std::wstring head = L"\r\n" + kind + L"::" + method + L":";
        for (const auto& r : m.sink.Records())
            if (r.compare(0, head.size(), head) == 0 && r.substr(r.find(L": ", head.size()) + 2) == text) return true;
        return false;
    }
    void FailFilter(int node, std::uint32_t command, std::uint32_t address, int times, int skip = 0) {
        sim::Fault f;
        f.match.device = m.usb.FilterObjectName(node);
        f.match.command = command;
        f.match.address = address;
        f.times = times;
        f.skip = skip;
        m.driver.AddFault(f);
    }
    std::vector<std::uint8_t> Mark(const sim::HubChip& chip) { return chip.ReadRegs(0x7FB, 2); }
    int Restarts(int node) {
        int n = 0;
        for (const auto& e : m.usb.Journal()) n += e.kind == sim::UsbEventKind::Restart && e.node == node;
        return n;
    }

    testing_machine::HubUtilityMachine m;
    ha::CHubUtility& u = *m.utility;
    std::array<int, 2> root{};
};

std::shared_ptr<sim::HubChip> NewChip() { return std::make_shared<sim::HubChip>(); }
const std::vector<std::uint8_t> kCleared{0xFF, 0xFF};
std::vector<std::uint8_t> MarkOf(char row) { return {0x5A, static_cast<std::uint8_t>(row)}; }

TEST(HubIdentificationTest, OneRowPerChipWithBothInterfacesMerged) {
    Rig r;
    auto c1 = NewChip(), c2 = NewChip(), c3 = NewChip();
    c1->deviceDescriptor[16] = 3;  // a serial number
    c1->SetString(3, u"SN-0001");
    c3->SetString(2, u"Hub\u00e9\u0141");  // é keeps its byte, Ł only its low byte
    const int hubA = r.m.usb.AddDevice(r.root[0], 5, UsbStack::Hub(0x05E3, 0x0610, 0x0300, 4));
    const int hubB = r.m.usb.AddDevice(hubA, 4, UsbStack::Hub(0x05E3, 0x0610, 0x0300, 4));
    const int a1 = r.Add(r.root[0], 1, c1, 0x0300);         // tier 1, first met: owns row 0
    const int a52 = r.Add(hubA, 2, c3, 0x0210);             // tier 2, USB 2.0 only: row 1
    const int a3 = r.Add(hubB, 2, c2, 0x0210, 0x2300);      // tier 3, USB 2.0 first: owns row 2
    const int b2 = r.Add(r.root[1], 2, c1, 0x0200);         // c1's companion, other controller
    r.Add(r.root[1], 4, c2, 0x0320, 0x3300);                 // c2's companion
    ASSERT_EQ(r.Scan(), 0);

    // Per row: PIDs, serial, product, type, bcdUSB, then the companion's bcdUSB and port, and the tier.
    const auto summary = [&r](int i) {
        const ha::DEV_LIST_ITEM& w = r.Row(i);
        return w.m_strPID30 + L"|" + w.m_strPID20 + L"|" + w.m_strSN + L"|" + w.m_strProduct + L"|" + w.m_strUSBType +
               L"|" + w.m_strBcdUSB + L"|" + w.m_strCompanionBcdUSB + L"|" +
               std::to_wstring(w.m_ucCompanionPortNumber) + L"|" + std::to_wstring(w.m_ucHubDepth);
    };
    ASSERT_EQ(r.m.devList.nCount, 3);
    EXPECT_EQ(summary(0), L"3262|2262|SN-0001|VTL262x|USB 3.0|0300|0200|2|1");
    EXPECT_EQ(summary(1), L"----|2262|----|Hub\u00e9A|USB 2.0|0210||0|2");
    EXPECT_EQ(summary(2), L"3300|2300|----|VTL262x|USB 2.0|0210|0320|4|3");
    const int nodes[] = {a1, a52, a3};
    const std::vector<ha::BYTE> chains[] = {{1}, {5, 2}, {5, 4, 2}};
    const std::wstring root0 = r.m.usb.Name(r.root[0]);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const ha::DEV_LIST_ITEM& row = r.Row(i);
        EXPECT_EQ(row.m_ucTargetNumber, i);
        EXPECT_EQ(row.m_strObjectName, r.m.usb.FilterObjectName(nodes[i]));
        EXPECT_EQ(row.m_strDriverName, r.m.usb.Name(nodes[i]));
        EXPECT_EQ(row.m_position, (ha::HubPosition{root0, chains[i]}));
        EXPECT_EQ(row.m_ucPortNumber, chains[i].back());
        EXPECT_EQ(row.m_strParentHubName + L"|" + row.m_strVID + L"|" + row.m_strManufacturer + L"|" +
                      row.m_strBcdDevice + L"|" + row.m_strFWVersion,
                  root0 + L"|7a7d|Vantrel|0100|14041503e500");
        EXPECT_EQ(row.m_strCompanionParentHubName, i == 1 ? L"" : r.m.usb.Name(r.root[1]));
    }
    EXPECT_EQ(r.Row(3).m_strObjectName, L"");
    EXPECT_EQ(r.u.m_MaxHubDepth.load(), 3);
    EXPECT_EQ(r.Mark(*c1), MarkOf('0'));
    EXPECT_EQ(r.Mark(*c3), MarkOf('1'));
    EXPECT_EQ(r.Mark(*c2), MarkOf('2'));
    for (int i = 0; i < r.Dev().m_DriverNum; ++i) {  // the interface path, for the power-management restore
        const ha::DRIVERINFO& e = r.Dev().m_DriverInfo[i];
        std::string upper;
        for (wchar_t c : e.DriverName) upper += static_cast<char>(c >= L'a' && c <= L'z' ? c - 32 : c);
        EXPECT_EQ(e.szHWIdPath, upper) << i;
    }
    EXPECT_TRUE(r.Record(L"MSG", L"Found 5 Hubs"));
    EXPECT_TRUE(r.Record(L"MSG", L"This  Hub [" + r.m.usb.Name(b2) + L"] have been marked, "));
    EXPECT_TRUE(r.Record(L"MSG", L"Found Hubs[2], USB[USB 2.0], VID[7a7d], PID 3.0[----], PID2.0[2300], SN[----], "
                                 L"M String[Vantrel], P String[VTL262x], Index[14], Version[14041503e500]"));
    EXPECT_EQ(r.m.usb.OpenHandleCount() + r.m.driver.OpenHandleCount(), 0);
}

// Only a mark this scan wrote and verified merges an interface into a row: a
// stale mark whose clearing failed (even one naming a row already placed,
// here '0'), and a mark that cannot be read in any of its three tries, count
// as unmarked.
TEST(HubIdentificationTest, AMarkOfNoRowOfThisScanCountsAsUnmarked) {
    struct Case {
        std::optional<std::uint8_t> staleIndex;  // a stale mark whose clearing fails, or else a failed read
        const wchar_t* record;
    };
    const wchar_t* const kStale = L"] kept a mark of an earlier scan, taken as unmarked";
    for (const Case& c : {Case{'0', kStale}, Case{'5', kStale}, Case{0xFF, kStale},
                          Case{{}, L"] carries no mark of this scan (index byte ff, read 0)"}}) {
        Rig r;
        auto c1 = NewChip(), c2 = NewChip();
        r.Add(r.root[0], 1, c1, 0x0300);
        // A second chip with a stale mark, or c1's companion whose mark cannot be read.
        const int a2 = r.Add(r.root[0], 2, c.staleIndex ? c2 : c1, 0x0210);
        if (c.staleIndex) {
            c2->SetReg(0x7FB, 0x5A);
            c2->SetReg(0x7FC, *c.staleIndex);
            r.FailFilter(a2, hubaccess::CMD_REG_WRITE, 0x7FB, 3);
        } else {
            r.FailFilter(a2, hubaccess::CMD_REG_READ, 0x7FB, 3, 1);
        }
        ASSERT_EQ(r.Scan(), 0);
        EXPECT_EQ(r.m.devList.nCount, 2);
        EXPECT_EQ(r.Row(0).m_strPID20, L"----");
        EXPECT_EQ(r.Row(1).m_strObjectName, r.m.usb.FilterObjectName(a2));
        EXPECT_EQ(r.Row(1).m_strPID20, L"2262");
        EXPECT_EQ(r.Mark(c.staleIndex ? *c2 : *c1), MarkOf('1'));
        EXPECT_TRUE(r.m.HasRecord(L"WRN", kScan, L"Hub [" + r.m.usb.Name(a2) + c.record));
    }
}

// A mark naming a row whose own marking was not verified (in any of its three
// tries) merges nothing.
TEST(HubIdentificationTest, AnUnverifiedRowTakesNoCompanion) {
    Rig r;
    auto c1 = NewChip();
    const int a1 = r.Add(r.root[0], 1, c1, 0x0300);
    const int a2 = r.Add(r.root[0], 2, c1, 0x0210);
    r.FailFilter(a1, hubaccess::CMD_REG_READ, 0x7FB, 3, 1);  // the verify reads of row 0's mark
    ASSERT_EQ(r.Scan(), 0);
    EXPECT_EQ(r.m.devList.nCount, 2);
    EXPECT_EQ(r.Row(0).m_strPID20, L"----");
    EXPECT_TRUE(r.m.HasRecord(L"WRN", kScan, L"Hub [" + r.m.usb.Name(a2) + L"] carries no mark of this scan "
                                             L"(index byte 30, read 1)"));
}

TEST(HubIdentificationTest, ADroppedChipLosesItsMarkSoItsCompanionTakesNoOtherRow) {
    struct Case {
        const char* name;
        void (*drop)(Rig&, int dropped3);
        int rows;  // 2: the dropped chip's USB 2.0 interface passes and takes its own row
    };
    const Case cases[] = {
        {"version read fails", [](Rig& r, int d3) { r.FailFilter(d3, hubaccess::CMD_REG_READ, 0x7F0, -1); }, 2},
        {"firmware version filter", [](Rig& r, int) { r.u.m_strFW_Indetify = L"14041503E500"; }, 1},
        {"customer code", [](Rig& r, int) {
             r.u.m_strFWCustomerCode_Indetify = L"0415";
             r.u.m_ucCustomerCodeStart = 2;
             r.u.m_ucCustomerCodeLength = 4;
         }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        auto d = NewChip(), k = NewChip();
        d->SetVersion({0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F});
        const int d3 = r.Add(r.root[0], 1, d, 0x0300, 0x3300);
        const int k3 = r.Add(r.root[0], 2, k, 0x0300);
        const int d2 = r.Add(r.root[0], 3, d, 0x0210, 0x2300);
        r.Add(r.root[0], 4, k, 0x0210);
        // The walk's version reads of chip d fail (each in both layouts): it
        // lets d through.
        r.FailFilter(d3, hubaccess::CMD_REG_READ, 0x7F0, 2 * hubaccess::CVNTLFILTER0::kVersionReadLimit);
        r.FailFilter(d2, hubaccess::CMD_REG_READ, 0x7F0, 2 * hubaccess::CVNTLFILTER0::kVersionReadLimit);
        c.drop(r, d3);
        ASSERT_EQ(r.Scan(), 0);
        ASSERT_EQ(r.m.devList.nCount, c.rows);
        EXPECT_EQ(r.Row(0).m_strObjectName, r.m.usb.FilterObjectName(k3));
        EXPECT_EQ(r.Row(0).m_strPID20, L"2262");
        EXPECT_EQ(r.Row(0).m_ucCompanionPortNumber, 4);
        EXPECT_EQ(r.Mark(*d), c.rows == 2 ? MarkOf('1') : kCleared);
        if (c.rows == 2) {
            EXPECT_EQ(r.Row(1).m_strObjectName, r.m.usb.FilterObjectName(d2));
            EXPECT_EQ(r.Row(1).m_strPID30, L"----");
        }
    }
}

TEST(HubIdentificationTest, TheNinthChipAndItsCompanionAreLeftOut) {
    Rig r;
    std::vector<std::shared_ptr<sim::HubChip>> chips;
    std::vector<int> nodes;
    for (std::uint32_t p = 1; p <= 9; ++p) {
        chips.push_back(NewChip());
        nodes.push_back(r.Add(r.root[0], p, chips.back(), 0x0300));
    }
    r.Add(r.root[0], 10, chips[0], 0x0210);
    const int ninth2 = r.Add(r.root[1], 1, chips[8], 0x0210);
    ASSERT_EQ(r.Scan(), 0);
    EXPECT_EQ(r.m.devList.nCount, ha::kDevListRowsUsed);
    EXPECT_EQ(r.Row(0).m_strPID20, L"2262");
    EXPECT_EQ(r.Row(0).m_ucCompanionPortNumber, 10);
    EXPECT_EQ(r.Row(7).m_strObjectName, r.m.usb.FilterObjectName(nodes[7]));
    for (int i = ha::kDevListRowsUsed; i < ha::kDevListCapacity; ++i) EXPECT_EQ(r.Row(i).m_strObjectName, L"");
    EXPECT_EQ(r.Mark(*chips[8]), kCleared);
    for (int node : {nodes[8], ninth2})
        EXPECT_TRUE(r.Record(L"WRN", L"Hub [" + r.m.usb.FilterObjectName(node) +
                                         L"] left out, the hub table is full with 8 hubs"));
}

TEST(HubIdentificationTest, SilentHubsAreRestartedAndEveryEntryRelinked) {
    struct Case {
        const char* name;
        bool win10, filterLate, emptyProduct;
        std::optional<std::uint32_t> power;
        bool restarted;
    };
    const Case cases[] = {
        {"healthy", false, false, false, 0u, false},
        {"power management changed", false, false, false, std::nullopt, true},
        {"filter device objects missing", false, true, false, 0u, true},
        {"empty product string on Windows 10", true, false, true, 0u, true},
        {"empty product string on Windows 7", false, false, true, 0u, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(!c.filterLate);
        if (c.win10) r.Windows10();
        auto chip = NewChip();
        if (c.emptyProduct) chip->SetString(2, u"");
        const int hub = r.Add(r.root[0], 1, chip, 0x0300, 0, c.power);
        const int other = r.Add(r.root[0], 2, NewChip(), 0x0300);
        if (c.filterLate) {
            r.m.usb.IsPresent(hub);  // started without the filter
            r.InstallFilter();
        }
        ASSERT_EQ(r.Scan(), 0);
        // A class-installer restart takes the hub away twice.
        EXPECT_EQ(r.Restarts(hub), c.restarted ? 2 : 0);
        EXPECT_EQ(r.Restarts(other), c.filterLate ? 2 : 0);
        EXPECT_EQ(r.m.devList.nCount, 2);
        EXPECT_EQ(r.Row(0).m_strObjectName, r.m.usb.FilterObjectName(hub));
        EXPECT_EQ(r.Record(L"MSG", L"Trigger Hub, strHubInfo.strConnectedHubName[" + r.m.usb.Name(hub) + L"]"),
                  c.restarted);
        EXPECT_EQ(r.Record(L"MSG", L" RE-GetObjecNameFromDriverName [" + r.m.usb.Name(other) + L"]"), c.restarted);
    }
}

TEST(HubIdentificationTest, RelinkWaitsInVirtualTimeAndGivesUpAfterThreeAttempts) {
    Rig r;
    r.Windows10();
    auto late = NewChip(), gone = NewChip();
    sim::UsbDeviceSpec spec = UsbStack::ChipInterface(late, 0x0300);
    spec.restartDelayMs = 7000;  // selective suspend was on: restarted, and back 7 s later
    const int lateHub = r.m.usb.AddDevice(r.root[0], 1, spec);
    gone->SetString(2, u"");  // silent on Windows 10, and never back from its restart
    spec = UsbStack::ChipInterface(gone, 0x0300);
    spec.powerValue = 0;
    spec.neverReturns = true;
    const int goneHub = r.m.usb.AddDevice(r.root[0], 2, spec);
    ASSERT_EQ(r.Scan(), 0);

    // Restart, 500 ms in the restart and 500 after it, 500 before the lookup,
    // two lookup passes 5 s apart, then the new object opens.
    std::uint64_t restartedAt = 0, reopenedAt = 0;
    for (const auto& e : r.m.usb.Journal()) {
        if (e.kind == sim::UsbEventKind::Restart && e.node == lateHub && !restartedAt) restartedAt = e.timeMs;
        if (e.kind == sim::UsbEventKind::Open && e.path == r.m.usb.FilterObjectName(lateHub) && !reopenedAt)
            reopenedAt = e.timeMs;
    }
    EXPECT_EQ(reopenedAt - restartedAt, 500u + 500 + 500 + 2 * 5000);
    EXPECT_EQ(r.m.devList.nCount, 1);
    EXPECT_EQ(r.Row(0).m_strObjectName, r.m.usb.FilterObjectName(lateHub));
    int failures = 0;
    for (const auto& rec : r.m.sink.Records())
        failures += rec.find(L"GetObjecNameFromDriverName Failed, Driverinfo->DriverName[" + r.m.usb.Name(goneHub)) !=
                    std::wstring::npos;
    EXPECT_EQ(failures, 3);
}

TEST(HubIdentificationTest, VersionAndCustomerCodeFilters) {
    struct Case {
        std::wstring fw, code;
        ha::BYTE start, length;
        bool walkReads, placed;  // walkReads false: the walk's version reads fail, so it lets the hub through
        std::wstring record;  // the drop record after "<line>: "
    };
    const std::wstring version = L"Get FW Version=0a1b2c3d4e5f";
    const Case cases[] = {
        {L"0a1b2c3d4e5f", L"", 0, 0, true, true, L""},
        {L"0A1B2C3D4E5F", L"", 0, 0, true, true, L""},
        {L"0A1B2C3D4E50", L"", 0, 0, false, false,
         L" Filter Out FW version this->m_strFW_Indetify = [0A1B2C3D4E50], " + version},
        {L"", L"1b2c", 2, 4, true, true, L""},
        {L"", L"4e5f", 8, 9, true, true, L""},
        {L"", L"1B2C", 2, 4, true, true, L""},
        {L"", L"1B2D", 2, 4, true, false,
         L" Filter Out FW Customer Code strCustomerCode = [1b2c], " + version +
             L", pUtility.m_strFWCustomerCode_Indetify=1B2D"},
        {L"", L"5f", 13, 2, true, false,
         L" Filter Out FW Customer Code strCustomerCode = [], " + version + L", pUtility.m_strFWCustomerCode_Indetify=5f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fw + L"/" + c.code);
        Rig r;
        auto chip = NewChip();
        chip->SetVersion({0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F});
        const int node = r.Add(r.root[0], 1, chip, 0x0300);
        if (!c.walkReads)
            r.FailFilter(node, hubaccess::CMD_REG_READ, 0x7F0, 2 * hubaccess::CVNTLFILTER0::kVersionReadLimit);
        r.u.m_strFW_Indetify = c.fw;
        r.u.m_strFWCustomerCode_Indetify = c.code;
        r.u.m_ucCustomerCodeStart = c.start;
        r.u.m_ucCustomerCodeLength = c.length;
        r.u.m_MaxHubDepth = 5;
        ASSERT_EQ(r.Scan(), 0);
        EXPECT_EQ(r.m.devList.nCount, c.placed ? 1 : 0);
        EXPECT_EQ(r.u.m_MaxHubDepth.load(), c.placed ? 1 : 0);
        if (c.placed) {
            EXPECT_EQ(r.Row(0).m_strFWVersion, L"0a1b2c3d4e5f");
        }
        if (!c.placed) {
            EXPECT_TRUE(r.Record(c.fw.empty() ? L"WRN" : L"MSG", c.record));
            EXPECT_EQ(r.Mark(*chip), kCleared);
        }
    }
}

TEST(HubIdentificationTest, NoHubGivesMinusFourAndAClearedTable) {
    Rig r;
    r.m.devList.rows[0].m_strObjectName = L"\\\\.\\USBPDO_10001";
    r.m.devList.nCount = 1;
    r.u.m_MaxHubDepth = 2;
    EXPECT_EQ(r.Scan(), -4);
    EXPECT_EQ(r.m.devList.nCount, 0);
    EXPECT_EQ(r.Row(0).m_strObjectName, L"");
    EXPECT_EQ(r.u.m_MaxHubDepth.load(), 0);
}

TEST(HubIdentificationTest, ARescanLeavesTheHubTableAlone) {
    Rig r;
    auto c1 = NewChip();
    r.Add(r.root[0], 1, c1, 0x0300);
    r.Add(r.root[0], 2, c1, 0x0210);
    const int a3 = r.Add(r.root[0], 3, NewChip(), 0x0300);
    ASSERT_EQ(r.Scan(), 0);
    r.u.m_MaxHubDepth = 0;  // lowered by the coordinator
    const auto texts = [&r] {
        std::vector<std::wstring> v{std::to_wstring(r.m.devList.nCount), std::to_wstring(r.Dev().ucListIndex)};
        for (const ha::DEV_LIST_ITEM& row : r.m.devList.rows)
            v.insert(v.end(), {row.m_strObjectName, row.m_strDriverName, row.m_strPID30, row.m_strPID20,
                               row.m_strSN, row.m_strFWVersion, row.m_strUSBType, row.m_strCompanionBcdUSB,
                               std::to_wstring(row.m_ucTargetNumber), std::to_wstring(row.m_position.portChain.size())});
        return v;
    };
    const std::vector<std::wstring> before = texts();
    const std::wstring oldObject = r.Dev().m_DriverInfo[2].ObjectName;
    r.m.usb.Restart(a3);
    r.m.sched.Sleep(1000);

    std::array<ha::DRIVERINFO, ha::kDriverInfoCapacity> entries;
    ha::BYTE count = 0;
    EXPECT_EQ(r.Dev().ScanEntries(entries, count), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(entries[2].ObjectName, r.m.usb.FilterObjectName(a3));
    EXPECT_NE(r.Row(1).m_strObjectName, r.m.usb.FilterObjectName(a3));
    // Re-enumeration: the saved position only; none saved finds nothing.
    r.u.m_bAllHubCheck4ReEnum = 1;
    r.u.m_OldPositions[1] = r.Row(1).m_position;
    EXPECT_EQ(r.Dev().ScanEntries(entries, count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(entries[0].position, r.Row(1).m_position);
    r.u.m_OldPositions.fill({});
    EXPECT_EQ(r.Dev().ScanEntries(entries, count), -4);
    EXPECT_EQ(count, 0);
    // The identification scan's entries stay as they were, for the others.
    EXPECT_EQ(r.Dev().m_DriverNum, 3);
    EXPECT_EQ(r.Dev().m_DriverInfo[2].ObjectName, oldObject);

    EXPECT_EQ(texts(), before);
    EXPECT_EQ(r.u.m_MaxHubDepth.load(), 0);
    EXPECT_EQ(r.Mark(*c1), MarkOf('0'));
}

}  // namespace
