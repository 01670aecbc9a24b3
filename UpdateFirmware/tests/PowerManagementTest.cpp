// Hub power management against the simulated registry and USB stack: which
// key and value each Windows version and driver stack uses, when a value is
// written, flagged and remembered, and the end-of-run restore.
#include <gtest/gtest.h>

#include <cwctype>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "HubUtilityMachine.h"

namespace ha = hubaccess;
using ha::BOOL;
using ha::BYTE;
using ha::DWORD;

namespace {

const std::wstring kSet = L"CHubUtility::bSetHubPowerManagementByRegistry";
const std::wstring kCurrentVersion = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const std::wstring kGuid = L"#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
const std::wstring kClass0007 =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{36FC9E60-C465-11CF-8056-444553540000}\\0007";
const std::wstring kDevValue = L"EnableSelectiveSuspend";

std::wstring DeviceKey(const std::wstring& enumerator, const std::wstring& serial) {
    return L"System\\CurrentControlSet\\Enum\\" + enumerator + L"\\VID_7a7d&PID_3262\\" + serial +
           L"\\Device Parameters";
}
std::wstring Hub(const std::wstring& serial) { return L"USB#VID_7A7D&PID_3262#" + serial + kGuid; }

class PowerManagementTest : public ::testing::Test {
protected:
    PowerManagementTest() { Reset(); }

    // A fresh machine: the walk is filling entry 2, the last restart search
    // left driver instance "0007".
    void Reset() {
        machine.reset();
        machine = std::make_unique<testing_machine::HubUtilityMachine>();
        machine->HubDev().m_DriverNum = 2;
        machine->utility->m_strDriverInstance[0] = L"0007";
    }
    testing_machine::HubUtilityMachine& M() const { return *machine; }
    ha::CHubUtility& U() const { return *machine->utility; }

    // Makes ucGetOSVersion give `code` (8, 16, 64 or 255).
    void SetOs(BYTE code) {
        M().os.SetVersion(code == 255 ? 10 : 6, code == 8 ? 1 : code == 255 ? 0 : 2);
        if (code == 64) M().registry.SetDword(kCurrentVersion, L"CurrentMajorVersionNumber", 10);
        M().registry.SetString(kCurrentVersion, L"CurrentBuildNumber", code == 64 ? L"19045" : L"9200");
    }
    static ha::HUBREC Rec(const std::wstring& hubName, const std::wstring& hwIdPath = L"", BYTE own = 0) {
        return ha::HUBREC{hubName, L"7a7d", L"3262", hwIdPath, own};
    }
    BOOL Set(const ha::HUBREC& rec, DWORD value) { return U().bSetHubPowerManagementByRegistry(rec, value); }

    // Registry traffic besides the Windows-version lookup.
    std::vector<sim::RegWrite> Writes() const { return M().registry.Writes(); }
    int HubReads() const {
        int n = 0;
        for (const auto& r : M().registry.Reads()) n += r.key != kCurrentVersion;
        return n;
    }
    std::optional<std::uint32_t> Value(const std::wstring& key, const std::wstring& name = kDevValue) const {
        return M().registry.GetDword(key, name);
    }
    // The informational records of the operation, text after "<line>: ".
    std::vector<std::wstring> Messages() const {
        std::vector<std::wstring> out;
        const std::wstring head = L"\r\nMSG::" + kSet + L":";
        for (const auto& r : M().sink.Records())
            if (r.compare(0, head.size(), head) == 0) out.push_back(r.substr(r.find(L": ", head.size()) + 2));
        return out;
    }
    BYTE Flag(int entry) { return M().HubDev().m_DriverInfo[entry].bPMChanged; }

    // A controller of this driver stack with two identical hubs 7a7d:3262 on
    // root ports 1 and 2, selective suspend on; the first without registry
    // keys unless `firstHasKeys`.
    std::vector<int> TwoHubs(sim::HostDriver driver, bool firstHasKeys = true) {
        sim::HostControllerSpec c;
        c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f#3&1158&0&a0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        c.hostDriver = driver;
        const int root = M().usb.AddHostController(c).rootHub;
        sim::UsbDeviceSpec hub = sim::UsbStack::Hub(0x7A7D, 0x3262, 0x0300, 4);
        hub.powerValue = 1;
        hub.createRegistryKeys = firstHasKeys;
        const int first = M().usb.AddDevice(root, 1, hub);
        hub.createRegistryKeys = true;
        return {first, M().usb.AddDevice(root, 2, hub)};
    }
    // Key and value name of a stack hub on Windows 8 and later.
    std::pair<std::wstring, std::wstring> Win8Location(int node) const {
        const std::wstring name = M().usb.Name(node);
        if (name.front() == L'{') {
            const std::wstring key = M().usb.DriverKey(node);
            return {sim::UsbStack::kUsbClassKey + key.substr(key.rfind(L'\\')), L"SelectiveSuspendEnabled"};
        }
        const std::size_t last = name.rfind(L'#'), previous = name.rfind(L'#', last - 1);
        std::wstring serial = name.substr(previous + 1, last - previous - 1);
        for (auto& c : serial) c = static_cast<wchar_t>(std::towupper(c));
        return {DeviceKey(L"USB", serial) + L"\\WDF\\", L"IdleInWorkingState"};
    }
    std::optional<std::uint32_t> Win8Value(int node) const {
        const auto where = Win8Location(node);
        return Value(where.first, where.second);
    }

    std::unique_ptr<testing_machine::HubUtilityMachine> machine;
};

// ---------------------------------------------------------------------------
// Where the value lives

TEST_F(PowerManagementTest, KeyAndValueFollowWindowsVersionAndDriverStack) {
    struct Row {
        const char* label;
        BYTE os;
        std::wstring hubName;   // Windows 7: the path is "\\?\" + this
        std::wstring hwIdPath;  // later Windows, value 1: the path
        std::wstring key, valueName;
        std::vector<std::wstring> records;
    };
    const std::wstring wdf = L"IdleInWorkingState", cls = L"SelectiveSuspendEnabled";
    // Windows 7 rows of the device location, with the driver record the hub name chooses.
    auto win7 = [&](const char* label, const std::wstring& enumName, const std::wstring& serial,
                    const std::wstring& keyEnum, const std::wstring& driver) {
        const std::wstring name = enumName + L"#VID_7A7D&PID_3262#" + serial + kGuid;
        std::wstring upper = serial;
        for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(c));
        const std::wstring key = DeviceKey(keyEnum, upper);
        std::vector<std::wstring> records{driver + L" driver USB 3.0 , HubName[" + name + L"]"};
        if (driver == L"AMD") {
            records[0] += L", strSN[" + upper + L"]";
            records.push_back(L"AMD driver USB 3.0 , strSubKeyRoot[" + key + L"]");
        }
        return Row{label, 8, name, L"", key, kDevValue, records};
    };
    const std::wstring mcci = L"VANTRELUSBD_HUB#VID_7A7D&PID_3262#7&11&0&2" + kGuid;
    const std::vector<Row> rows = {
        win7("intel", L"IUSB3", L"5&2f3a&0&3", L"IUSB3", L"Intel"),
        win7("amd, made-up id", L"AMDUSB30", L"6&1c2d&0&1", L"USB", L"AMD"),
        win7("amd, serial", L"AMDUSB30", L"0000000000000001", L"AMDUSB30", L"AMD"),
        win7("amd, & only first", L"AMDUSB30", L"&0001", L"AMDUSB30", L"AMD"),
        win7("renesas", L"RENESAS_USB3", L"5&9&0&1", L"RENESAS_USB3", L"RENESAS"),
        win7("nec", L"NUSB3", L"5&8&0&2", L"NUSB3", L"NEC"),
        win7("other", L"USB", L"6&abc&0&4", L"USB", L"Others"),
        {"win7 vantrel", 8, mcci, L"", kClass0007, cls, {L"MCCI driver USB 3.0 "}},
        {"win8 vantrel hub", 16, L"{1}", mcci, kClass0007, cls,
         {L"Vantrel driver USB 3.0 driver", L"MCCI driver USB 3.0 on Win 8"}},
        {"win10 vantrel", 64, L"{1}", L"VANTRELUSBD#VID_7A7D&PID_3262#7&11&0&2" + kGuid, kClass0007, cls,
         {L"Vantrel driver USB 3.0 driver"}},
        {"win8 inbox", 16, L"USB#ROOT_HUB30", Hub(L"6&ABC&0&4"), DeviceKey(L"USB", L"6&ABC&0&4") + L"\\WDF\\", wdf,
         {L"Win 8 Inbox driver"}},
        {"win10 intel is inbox", 64, L"IUSB3#ROOT_HUB30", L"IUSB3#VID_7A7D&PID_3262#5&2F3A&0&3" + kGuid,
         DeviceKey(L"USB", L"5&2F3A&0&3") + L"\\WDF\\", wdf, {L"Win 8 Inbox driver"}},
        {"unknown windows is inbox", 255, L"AMDUSB30#ROOT_HUB30", L"AMDUSB30#VID_7A7D&PID_3262#0001" + kGuid,
         DeviceKey(L"USB", L"0001") + L"\\WDF\\", wdf, {L"Win 8 Inbox driver"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Reset();
        SetOs(row.os);
        // Windows 7 turns selective suspend off here, later Windows on.
        const DWORD value = row.os == 8 ? 0 : 1;
        M().registry.SetDword(row.key, row.valueName, 1 - value);
        M().registry.ClearJournal();

        EXPECT_EQ(Set(Rec(row.hubName, row.hwIdPath), value), ha::TRUE);
        ASSERT_EQ(Writes().size(), 1u);
        EXPECT_EQ(Writes()[0].key, row.key);
        EXPECT_EQ(Writes()[0].name, row.valueName);
        EXPECT_EQ(Value(row.key, row.valueName), value);
        std::vector<std::wstring> records = row.records;
        records.push_back(L"Hub's power management is enable, set it disable szSubKeyHub3=" + row.key +
                          L", szKeyName=" + row.valueName + L", szKeyValue=" + std::to_wstring(1 - value));
        EXPECT_EQ(Messages(), records);
        EXPECT_EQ(Flag(2), 1);
        EXPECT_EQ(Flag(1) + Flag(3), 0);
        ASSERT_EQ(U().m_PowerManagementChanges.size(), 1u);
        EXPECT_EQ(U().m_PowerManagementChanges[0].key, row.key);
        EXPECT_TRUE(U().m_PowerManagementChanges[0].existed);
        EXPECT_EQ(U().m_PowerManagementChanges[0].previous, 1 - value);
    }
}

TEST_F(PowerManagementTest, SerialIsTheInstancePartOfTheInterfacePath) {
    const std::vector<std::pair<std::wstring, std::wstring>> rows = {
        {Hub(L"6&abc&0&1"), L"6&ABC&0&1"},
        {L"USB#VID_7A7D&PID_3262#tail", L"VID_7A7D&PID_3262"},
        {L"USB#X#", L"X"},
        // No key can be made: skipped with a warning, the registry untouched.
        {L"USB##" + kGuid.substr(1), L""},
        {L"USB#VID_7A7D&PID_3262", L""},
        {L"{00000010-ab}", L""},
        {L"", L""},
    };
    for (const auto& [hubName, serial] : rows) {
        SCOPED_TRACE(hubName);
        Reset();
        SetOs(8);
        if (!serial.empty()) M().registry.SetDword(DeviceKey(L"USB", serial), kDevValue, 1);
        M().registry.ClearJournal();

        EXPECT_EQ(Set(Rec(hubName), 0), ha::TRUE);
        if (serial.empty()) {
            EXPECT_EQ(HubReads(), 0);
            EXPECT_TRUE(Writes().empty());
            EXPECT_TRUE(M().HasRecord(L"WRN", kSet, L"no device instance in the hub interface path[\\\\?\\" + hubName));
        } else {
            ASSERT_EQ(Writes().size(), 1u);
            EXPECT_EQ(Writes()[0].key, DeviceKey(L"USB", serial));
        }
    }

    // The class location without a driver instance would be the USB class key.
    SetOs(16);
    U().m_strDriverInstance[0].clear();
    M().registry.ClearJournal();
    EXPECT_EQ(Set(Rec(L"{1}", L"VANTRELUSBD_HUB#X#1#{G}"), 1), ha::TRUE);
    EXPECT_EQ(HubReads(), 0);
    EXPECT_TRUE(Writes().empty());
    EXPECT_TRUE(M().HasRecord(L"WRN", kSet, L"no driver instance number for the hub interface"));
}

// ---------------------------------------------------------------------------
// One value: written, flagged and remembered, or not

TEST_F(PowerManagementTest, StoredStateDecidesWriteFlagAndMemory) {
    enum class Stored { Off, On, KeyOnly, NoKey, OnUnwritable };
    struct Row {
        const char* label;
        Stored stored;
        BYTE ownHost;
        BOOL result;
        std::optional<std::uint32_t> after;
        bool changed;  // flagged and remembered
        bool existed;
    };
    const std::wstring key = DeviceKey(L"USB", L"6&A&0&1");
    const std::vector<Row> rows = {
        {"equal value", Stored::Off, 0, ha::TRUE, 0u, false, false},
        {"windows 7, own host controller", Stored::On, 1, ha::TRUE, 1u, false, false},
        {"different value", Stored::On, 0, ha::TRUE, 0u, true, true},
        {"missing value", Stored::KeyOnly, 0, ha::TRUE, 0u, true, false},
        {"missing key", Stored::NoKey, 0, ha::TRUE, std::nullopt, false, false},
        {"failed rewrite", Stored::OnUnwritable, 0, ha::FALSE, 1u, false, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Reset();
        SetOs(8);
        if (row.stored == Stored::KeyOnly) M().registry.AddKey(key);
        if (row.stored == Stored::Off) M().registry.SetDword(key, kDevValue, 0);
        if (row.stored == Stored::On || row.stored == Stored::OnUnwritable) M().registry.SetDword(key, kDevValue, 1);
        if (row.stored == Stored::OnUnwritable) M().registry.AddFault({sim::RegOp::Set, key, kDevValue, 5});
        M().registry.ClearJournal();

        EXPECT_EQ(Set(Rec(Hub(L"6&A&0&1"), L"", row.ownHost), 0), row.result);
        EXPECT_EQ(Value(key), row.after);
        EXPECT_EQ(HubReads(), row.ownHost ? 0 : 1);
        EXPECT_EQ(Flag(2), row.changed ? 1 : 0);
        ASSERT_EQ(U().m_PowerManagementChanges.size(), row.changed ? 1u : 0u);
        if (row.changed) {
            EXPECT_EQ(U().m_PowerManagementChanges[0].existed, row.existed);
        }
    }
    // The last row: the rewrite's failure is an error record.
    EXPECT_TRUE(M().HasRecord(L"ERR", kSet, L"set registry value fail, szSubKeyHub3=" + key +
                                                L", szKeyName=EnableSelectiveSuspend, szKeyValue=0"));

    // A missing key: the accessor's read and write errors, then a warning.
    Reset();
    SetOs(8);
    EXPECT_EQ(Set(Rec(Hub(L"6&A&0&1")), 0), ha::TRUE);
    EXPECT_TRUE(M().HasRecord(L"ERR", L"CHubUtility::bRegistryReadWrite", L"RegOpenKeyExW fail, szSubKeyHub3=" + key));
    EXPECT_TRUE(M().HasRecord(L"ERR", L"CHubUtility::bRegistryReadWrite", L"RegCreateKeyEx fail, szSubKeyHub3=" + key));
    EXPECT_TRUE(M().HasRecord(L"WRN", kSet, L"RegCreateKeyEx fail, szSubKeyHub3=" + key + L", dwErrorCode="));
}

TEST_F(PowerManagementTest, FlagGoesOnlyToAnExistingEntry) {
    SetOs(8);
    const std::wstring key = DeviceKey(L"USB", L"6&A&0&1");
    M().HubDev().m_DriverNum = ha::kDriverInfoCapacity;
    M().registry.SetDword(key, kDevValue, 1);
    EXPECT_EQ(Set(Rec(Hub(L"6&A&0&1")), 0), ha::TRUE);
    for (const auto& e : M().HubDev().m_DriverInfo) EXPECT_EQ(e.bPMChanged, 0);

    U().m_USBLib.m_pHubDev.reset();
    M().registry.SetDword(key, kDevValue, 1);
    EXPECT_EQ(Set(Rec(Hub(L"6&A&0&1")), 0), ha::TRUE);
    EXPECT_EQ(Value(key), 0u);
    EXPECT_EQ(U().m_PowerManagementChanges.size(), 1u);
}

// ---------------------------------------------------------------------------
// The walk on Windows 8 and later: every interface the restart search finds

TEST_F(PowerManagementTest, WalkTreatsEveryInterfaceWithItsOwnDriverInstance) {
    for (const auto driver : {sim::HostDriver::Inbox, sim::HostDriver::VantrelUsbd}) {
        SCOPED_TRACE(static_cast<int>(driver));
        Reset();
        SetOs(64);
        const std::vector<int> hubs = TwoHubs(driver);
        U().m_strDriverInstance.fill(L"0099");
        M().registry.ClearJournal();

        const std::wstring name = driver == sim::HostDriver::Inbox ? L"USB#" : L"VANTRELUSBD_HUB#";
        EXPECT_EQ(Set(Rec(name + L"VID_7A7D&PID_3262#"), 0), ha::TRUE);
        EXPECT_EQ(Writes().size(), 2u);
        for (const int hub : hubs) EXPECT_EQ(Win8Value(hub), 0u);
        EXPECT_EQ(Flag(2), 1);
        EXPECT_EQ(U().m_PowerManagementChanges.size(), 2u);

        EXPECT_EQ(U().bRestorePowerManagement(), ha::TRUE);
        for (const int hub : hubs) EXPECT_EQ(Win8Value(hub), 1u);
    }
}

TEST_F(PowerManagementTest, WalkFailuresPerInterface) {
    enum class Fault { FirstKeyMissing, FirstUnwritable, FirstSearchFails };
    struct Row {
        const char* label;
        Fault fault;
        BOOL result;
        std::optional<std::uint32_t> first, second;
    };
    const std::vector<Row> rows = {
        {"missing key: the next interface is treated", Fault::FirstKeyMissing, ha::TRUE, std::nullopt, 0u},
        {"failed rewrite: later interfaces untreated", Fault::FirstUnwritable, ha::FALSE, 1u, 1u},
        {"the search is asked once more", Fault::FirstSearchFails, ha::TRUE, 0u, 0u},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        Reset();
        SetOs(16);
        const std::vector<int> hubs = TwoHubs(sim::HostDriver::Inbox, row.fault != Fault::FirstKeyMissing);
        if (row.fault == Fault::FirstUnwritable)
            M().registry.AddFault({sim::RegOp::Set, Win8Location(hubs[0]).first, L"", 5});
        if (row.fault == Fault::FirstSearchFails) {
            sim::UsbFault f;
            f.op = sim::UsbOp::ClassDevs;
            M().usb.AddFault(f);
        }
        EXPECT_EQ(Set(Rec(L"USB#VID_7A7D&PID_3262#"), 0), row.result);
        EXPECT_EQ(Win8Value(hubs[0]), row.first);
        EXPECT_EQ(Win8Value(hubs[1]), row.second);
    }

    // No interface matches, twice: nothing is read or written.
    M().registry.ClearJournal();
    EXPECT_EQ(Set(Rec(L"USB#VID_1111&PID_0001#"), 0), ha::TRUE);
    EXPECT_EQ(HubReads(), 0);
    EXPECT_TRUE(Writes().empty());
}

// ---------------------------------------------------------------------------
// End-of-run restore

TEST_F(PowerManagementTest, RestoreCoversEveryChangedValueAfterRescans) {
    SetOs(8);
    const std::vector<std::wstring> serials = {L"6&A&0&1", L"6&B&0&2", L"6&C&0&3"};
    auto rec = [&](int i, const wchar_t* vid = L"7a7d") {
        ha::HUBREC r = Rec(Hub(serials[i]));
        r.strHubVID = vid;
        return r;
    };
    auto key = [&](int i) { return DeviceKey(L"USB", serials[i]); };
    M().registry.SetDword(key(0), kDevValue, 1);
    M().registry.SetDword(key(1), kDevValue, 1);
    M().registry.AddKey(key(2));  // no value yet

    // First scan: hubs 0 and 1 into entries 0 and 1.
    auto& dev = M().HubDev();
    dev.m_DriverNum = 0;
    Set(rec(0), 0);
    dev.m_DriverNum = 1;
    Set(rec(1), 0);
    // Rescan: the entries are replaced and hub 2 takes entry 0; hub 0 is met
    // again (already off), then, turned on by someone, changed again under
    // its key spelt in other letter case.
    dev.m_DriverInfo = {};
    dev.m_DriverNum = 0;
    Set(rec(2), 0);
    Set(rec(0), 0);
    M().registry.SetDword(key(0), kDevValue, 1);
    Set(rec(0, L"7A7D"), 0);

    const auto& changes = U().m_PowerManagementChanges;
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_TRUE(changes[0].existed);
    EXPECT_EQ(changes[0].previous, 1u);
    EXPECT_FALSE(changes[2].existed);

    // Hub 1 was turned back on meanwhile: only the other two are written.
    M().registry.SetDword(key(1), kDevValue, 1);
    M().registry.ClearJournal();
    EXPECT_EQ(U().bRestorePowerManagement(), ha::TRUE);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Value(key(i)), 1u) << i;
    ASSERT_EQ(Writes().size(), 2u);
    EXPECT_EQ(Writes()[0].key, key(0));
    EXPECT_EQ(Writes()[1].key, key(2));
}

TEST_F(PowerManagementTest, RestoreGoesOnPastAFailure) {
    SetOs(8);
    const std::wstring a = DeviceKey(L"USB", L"6&A&0&1"), b = DeviceKey(L"USB", L"6&B&0&2");
    M().registry.SetDword(a, kDevValue, 1);
    M().registry.SetDword(b, kDevValue, 1);
    Set(Rec(Hub(L"6&A&0&1")), 0);
    Set(Rec(Hub(L"6&B&0&2")), 0);
    M().registry.AddFault({sim::RegOp::Set, a, L"", 5});

    EXPECT_EQ(U().bRestorePowerManagement(), ha::FALSE);
    EXPECT_EQ(Value(a), 0u);
    EXPECT_EQ(Value(b), 1u);
    EXPECT_TRUE(M().HasRecord(L"ERR", L"CHubUtility::bRestorePowerManagement",
                              L"set registry value fail, szSubKeyHub3=" + a));
}

}  // namespace
