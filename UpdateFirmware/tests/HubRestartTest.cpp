// Finding and restarting hub interfaces on the simulated USB stack (devcon on
// 64-bit Windows, the class installer on 32-bit Windows), and the text forms
// of device properties.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "HubUtilityMachine.h"

namespace ha = hubaccess;
using sim::UsbEventKind;
using sim::UsbFault;
using sim::UsbOp;
using sim::UsbStack;
using testing_machine::HubUtilityMachine;

namespace {

const std::wstring kGuidPart = L"#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
const std::wstring kClassKey = L"{36FC9E60-C465-11CF-8056-444553540000}\\";

std::wstring Upper(std::wstring s) {
    for (wchar_t& ch : s)
        if (ch >= L'a' && ch <= L'z') ch = static_cast<wchar_t>(ch - L'a' + L'A');
    return s;
}

class HubRestartTest : public ::testing::Test {
protected:
    // Root hub (index 0 of the hub set), two identical hubs A and B with
    // driver instances 0012 and 0013, 17 hubs 1111:0001, and an MCCI hub.
    HubRestartTest() {
        sim::HostControllerSpec c;
        c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f#3&1158&0&a0" + kGuidPart;
        c.rootPorts = 20;
        const int root = m.usb.AddHostController(c).rootHub;
        sim::UsbDeviceSpec hub = UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4);
        hub.driverKey = kClassKey + L"0012";
        a = m.usb.AddDevice(root, 1, hub);
        hub.driverKey = kClassKey + L"0013";
        b = m.usb.AddDevice(root, 2, hub);
        for (std::uint32_t p = 3; p <= 19; ++p) m.usb.AddDevice(root, p, UsbStack::Hub(0x1111, 0x0001, 0x0200, 2));
        c.interfacePath = L"\\\\?\\pci#ven_1b21&dev_1242#3&1158&0&e0" + kGuidPart;
        c.hostDriver = sim::HostDriver::VantrelUsbd;
        mcci = m.usb.AddDevice(m.usb.AddHostController(c).rootHub, 1, UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4));
        m.usb.ClearJournal();
        m.sink.Clear();
    }

    ha::BYTE Search(const std::wstring& name, ha::BYTE restart, std::vector<std::wstring>* paths = nullptr) {
        return m.utility->ucGetHubHWIds(ha::HUBREC{name, L"", L"", L"", 0}, paths, restart);
    }
    std::vector<sim::UsbEvent> Events(UsbEventKind kind) const {
        std::vector<sim::UsbEvent> out;
        for (const sim::UsbEvent& e : m.usb.Journal())
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    std::wstring Path(int node) const { return Upper(m.usb.InterfacePath(node).substr(4)); }
    void AddFault(UsbOp op, sim::UsbFaultKind kind = sim::UsbFaultKind::Fail, int skip = 0,
                  std::optional<std::wstring> path = {}) {
        UsbFault f;
        f.op = op;
        f.kind = kind;
        f.skip = skip;
        f.path = std::move(path);
        m.usb.AddFault(f);
    }

    HubUtilityMachine m;
    int a = -1, b = -1, mcci = -1;
};

TEST_F(HubRestartTest, SearchMatchesByPrefixOfPathOrPdoNameInSetOrder) {
    // The MCCI hub's name as the walk gives it matches through its PDO name only.
    std::wstring pdo = m.usb.PdoName(mcci).substr(8);
    for (wchar_t& ch : pdo)
        if (ch == L'-') ch = L'_';
    struct Row { std::wstring name; std::vector<int> nodes; std::vector<std::wstring> instances; };
    const Row rows[] = {
        {L"usb#vid_7a7d&pid_3262", {a, b}, {L"0012", L"0013"}},
        {m.usb.Name(b), {b}, {L"0013"}},
        {pdo, {mcci}, {}},
        {L"", {}, {}},
        {L"USB#VID_FFFF", {}, {}},
    };
    for (const Row& row : rows) {
        m.utility->m_strDriverInstance.fill(L"old");
        std::vector<std::wstring> paths{L"stale"};
        EXPECT_EQ(Search(row.name, 0, &paths), row.nodes.size()) << row.name;
        std::vector<std::wstring> want;
        for (int node : row.nodes) want.push_back(Path(node));
        EXPECT_EQ(paths, want) << row.name;
        for (std::size_t i = 0; i < row.instances.size(); ++i) EXPECT_EQ(m.utility->m_strDriverInstance[i], row.instances[i]);
        EXPECT_EQ(m.utility->m_strDriverInstance[row.nodes.size()], L"old");
    }
    // More matches than the tables hold: the first 16, with a warning.
    std::vector<std::wstring> paths;
    EXPECT_EQ(Search(L"USB#VID_1111&PID_0001", 1, &paths), ha::kMaxHubInterfaceMatches);
    EXPECT_EQ(paths.size(), ha::kMaxHubInterfaceMatches);
    EXPECT_EQ(Events(UsbEventKind::PropertyChange).size(), 2 * ha::kMaxHubInterfaceMatches);
    EXPECT_TRUE(m.HasRecord(L"WRN", L"CHubUtility::ucGetHWId", L"more than 16 hub interfaces match"));
    // An empty name restarts nothing.
    m.usb.ClearJournal();
    EXPECT_EQ(Search(L"", 1), 0);
    EXPECT_TRUE(m.usb.Journal().empty());
}

TEST_F(HubRestartTest, On64BitWindowsDevconRestartsAndThePausesFollow) {
    m.os.SetWow64(true);
    struct Row { std::optional<sim::UsbFaultKind> launch; std::uint64_t ms; };
    for (const Row& row : {Row{{}, 2000 + 1000}, Row{sim::UsbFaultKind::Hang, 12000000 + 1000},
                           Row{sim::UsbFaultKind::Fail, 1000}}) {
        m.usb.ClearJournal();
        if (row.launch) AddFault(UsbOp::Launch, *row.launch);
        const std::uint64_t start = m.sched.MonotonicMs();
        EXPECT_EQ(Search(m.usb.Name(a), 1), 1);
        EXPECT_EQ(m.sched.MonotonicMs() - start, row.ms);
        const auto launches = Events(UsbEventKind::Launch);
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_EQ(launches[0].path, m.utility->m_strDevconPath);
        // The one device instance, not the hardware id its twins share.
        EXPECT_EQ(launches[0].parameters, L"Restart @" + m.usb.InstanceId(a));
        EXPECT_EQ(launches[0].scope, 0u);  // hidden
        // In the locked package folder that holds it, never the program's.
        EXPECT_EQ(launches[0].directory, L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW\\FilterDriver");
        EXPECT_TRUE(Events(UsbEventKind::PropertyChange).empty());
        m.sched.Sleep(3000);  // the hubs come back
    }
    EXPECT_TRUE(m.HasRecord(L"MSG", L"CHubUtility::ucGetHWId",
                            L"Trigger Device!!!!!Get Hub ID Number, strDevConParam[Restart @USB\\VID_7A7D&PID_3262\\"));

    // No instance id: no restart at all rather than one by hardware id.
    m.usb.ClearJournal();
    AddFault(UsbOp::InstanceId, sim::UsbFaultKind::Fail);
    EXPECT_EQ(Search(m.usb.Name(a), 1), 1);
    EXPECT_TRUE(Events(UsbEventKind::Launch).empty());
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::ucGetHWId", L"SetupDiGetDeviceInstanceId failed, no restart"));

    // Its name no longer reaches the devcon held (the folders above moved
    // away where that is possible, another file put there): nothing starts.
    m.usb.ClearJournal();
    m.files.SetRenameChecksEntryOnly(true);
    ASSERT_TRUE(m.files.RenameEntry(L"C:\\Users\\user\\AppData\\Local\\Temp\\VTL262xFW", L"Moved").ok);
    m.files.PutFile(m.utility->m_strDevconPath, {'x'});
    EXPECT_EQ(Search(m.usb.Name(a), 1), 1);
    EXPECT_TRUE(Events(UsbEventKind::Launch).empty());
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::ucGetHWId", L"[" + m.utility->m_strDevconPath +
                                                                   L"] is not the devcon this run holds, no restart"));

    // No devcon of this run: nothing is started, never one found elsewhere.
    m.usb.ClearJournal();
    m.utility->m_strDevconPath.clear();
    EXPECT_EQ(Search(m.usb.Name(a), 1), 1);
    EXPECT_TRUE(Events(UsbEventKind::Launch).empty());
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::ucGetHWId", L"no devcon of this run, no restart"));
}

TEST_F(HubRestartTest, On32BitWindowsTwoClassInstallerPassesRestart) {
    struct Row { std::optional<UsbOp> fault; int skip; ha::BOOL result; const wchar_t* record; };
    const Row rows[] = {
        {{}, 0, ha::TRUE, nullptr},
        {UsbOp::SetClassInstallParams, 0, ha::FALSE, L"SetupDiSetClassInstallParams Fail , dwErrorCode 31"},
        {UsbOp::CallClassInstaller, 1, ha::FALSE, L"SetupDiCallClassInstaller Fail , dwErrorCode 31"},
    };
    for (const Row& row : rows) {
        m.sched.Sleep(3000);
        m.usb.ClearJournal();
        m.sink.Clear();
        if (row.fault) AddFault(*row.fault, sim::UsbFaultKind::Fail, row.skip);
        auto set = m.usb.GetClassDevs(platform::kGuidDevInterfaceUsbHub, 0x12, nullptr);
        EXPECT_EQ(m.utility->bChangeDeviceStatus(*set, 1), row.result);  // hub A
        const auto changes = Events(UsbEventKind::PropertyChange);
        ASSERT_EQ(changes.size(), 2u);  // the second pass runs whatever the first gave
        EXPECT_EQ(changes[0].scope, 1u);
        EXPECT_EQ(changes[1].scope, 2u);
        if (row.record) {
            EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::bChangeDeviceStatus", row.record));
        }
    }
    m.sched.Sleep(3000);
    m.usb.ClearJournal();
    const std::uint64_t start = m.sched.MonotonicMs();
    EXPECT_EQ(Search(m.usb.Name(a), 1), 1);
    EXPECT_EQ(m.sched.MonotonicMs() - start, 500u);
    EXPECT_EQ(Events(UsbEventKind::PropertyChange).size(), 2u);
    EXPECT_TRUE(Events(UsbEventKind::Launch).empty());
}

TEST_F(HubRestartTest, FailedListOrDetailEndsTheSearch) {
    AddFault(UsbOp::ClassDevs);
    EXPECT_EQ(Search(L"USB#VID_7A7D", 0), 0);
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::ucGetHWId", L"hDevInfo = INVALID_HANDLE_VALUE, dwErrorCode : 31"));
    AddFault(UsbOp::InterfaceDetail, sim::UsbFaultKind::Fail, 0, m.usb.Name(b));
    std::vector<std::wstring> paths;
    EXPECT_EQ(Search(L"USB#VID_7A7D", 0, &paths), 1);
    EXPECT_EQ(paths, std::vector<std::wstring>{Path(a)});
    EXPECT_TRUE(m.HasRecord(L"ERR", L"CHubUtility::ucGetHWId", L"SetupDiGetInterfaceDeviceDetail failed!!"));
}

// One property value, as SetupAPI would hand it over.
struct OneProperty : platform::DeviceInterfaceSet {
    platform::DevicePropertyResult value;
    platform::SetupCallResult EnumInterface(std::uint32_t) override { return {}; }
    platform::InterfaceDetailResult GetInterfaceDetail(std::uint32_t) override { return {}; }
    platform::DevicePropertyResult GetDeviceRegistryProperty(std::uint32_t, std::uint32_t, std::uint32_t) override {
        return value;
    }
    platform::PropChangeResult PropertyChange(std::uint32_t, platform::PropChangeScope) override { return {}; }
    platform::DeviceInstanceIdResult GetDeviceInstanceId(std::uint32_t) override { return {}; }
};

std::vector<std::uint8_t> Utf16(const std::wstring& text) {
    std::vector<std::uint8_t> out;
    for (wchar_t ch : text) out.insert(out.end(), {static_cast<std::uint8_t>(ch), static_cast<std::uint8_t>(ch >> 8)});
    return out;
}

TEST_F(HubRestartTest, PropertyTextByRegistryType) {
    using Bytes = std::vector<std::uint8_t>;
    struct Row { bool ok; std::uint32_t type; Bytes data; std::uint32_t property; std::wstring text; };
    const Row rows[] = {
        {true, platform::kRegSz, Utf16(std::wstring(L"abc\0zz\0", 7)), platform::kSpdrpDriver, L"abc"},
        {true, platform::kRegMultiSz, Utf16(std::wstring(L"USB\\A\0USB\\B\0\0", 13)), platform::kSpdrpHardwareId, L"USB\\A"},
        {true, platform::kRegDword, {0x00, 0x00, 0x03, 0x00}, platform::kSpdrpAddress, L"0 3"},
        {true, platform::kRegDword, {0x01, 0x00, 0x02, 0x00}, platform::kSpdrpAddress, L"1 2"},
        {true, platform::kRegDword, {0x05, 0x01, 0x00, 0x00}, platform::kSpdrpBusNumber, L"261"},
        {true, platform::kRegDword, {0x34, 0x12, 0x00, 0x00}, 0x10, L"52"},
        {true, platform::kRegNone, {0x41, 0x00}, platform::kSpdrpDriver, L""},
        {false, platform::kRegSz, Utf16(L"x"), platform::kSpdrpDriver, L""},
        {true, platform::kRegBinary, {0x41, 0x00}, platform::kSpdrpDriver, L""},
    };
    for (const Row& row : rows) {
        OneProperty set;
        set.value.ok = row.ok;
        set.value.regType = row.type;
        set.value.data = row.data;
        EXPECT_EQ(m.utility->vGetSetupDiDeviceRegistryProperty(set, 0, row.property), row.text) << row.type;
    }
    EXPECT_TRUE(m.HasRecord(L"WRN", L"CHubUtility::vGetSetupDiDeviceRegistryProperty", L" Type[9] Not Valid dwPropertyRegDataType 3"));
}

}  // namespace
