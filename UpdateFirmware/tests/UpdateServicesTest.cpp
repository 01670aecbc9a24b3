// The hub update services on the simulated machine: the locks and their
// order, configuration and firmware writes, the ROM read-back with its
// recovery by rescan, and the re-identification of a hub after its reset,
// single-threaded and with two workers under the virtual-time scheduler.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HubUtilityMachine.h"
#include "hubaccess/FilterRequest.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"
#include "sim/HubChip.h"
#include "sim/UsbStack.h"

namespace ha = hubaccess;
using sim::HubChip;
using sim::UsbStack;

namespace {

const wchar_t kReadBack[] = L"CHubUtility::bReadSPIROM";
const wchar_t kReEnum[] = L"CHubUtility::ReEnumrationTargetHub";
const std::string kThreadLock = "m_ThreadCriticalSection";
const std::string kLogLock = "m_PrintCriticalSection";
const std::vector<std::string> kUtilityLocks = {
    "m_UpdateConfigurationCriticalSection", "m_UpdateFirmwareCriticalSection", "m_CPURSTCriticalSection",
    "m_EnumCriticalSection", "m_VerifyFWCriticalSection", kThreadLock};

const HubChip::Version kOldVersion{0x14, 0x04, 0x15, 0x03, 0xE5, 0x00};
const HubChip::Version kNewVersion{0x15, 0x06, 0x30, 0x01, 0xE5, 0x00};
const wchar_t kOldText[] = L"14041503e500";
const wchar_t kNewText[] = L"15063001e500";

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return bytes;
}

// Every request of the filter channel yields first, so two workers under the
// scheduler interleave wherever no lock keeps them apart.
class YieldingIo : public platform::DeviceIo {
public:
    platform::DeviceOpenResult CreateFile(const std::wstring& path, platform::DeviceOpenMode mode) override {
        return inner->CreateFile(path, mode);
    }
    platform::IoctlResult DeviceIoControl(platform::Handle device, std::uint32_t code, const std::uint8_t* in,
                                          std::uint32_t inLen, std::uint8_t* out, std::uint32_t outCapacity) override {
        clock->Sleep(0);
        return inner->DeviceIoControl(device, code, in, inLen, out, outCapacity);
    }
    bool CloseHandle(platform::Handle device) override { return inner->CloseHandle(device); }
    bool CancelIoEx(platform::Handle device) override { return inner->CancelIoEx(device); }

    platform::DeviceIo* inner = nullptr;
    platform::Clock* clock = nullptr;
};

// The scheduler's threads, with every mutex checked against the lock order:
// m_ThreadCriticalSection before any other lock, never two of the other five
// utility locks at once, nothing taken inside the log lock.
class OrderCheckingThreads : public platform::Threads {
public:
    std::unique_ptr<platform::Thread> Start(std::function<void()> body, platform::ThreadPriority priority,
                                            const std::string& name) override {
        return inner->Start(std::move(body), priority, name);
    }
    std::unique_ptr<platform::Mutex> CreateMutex(const std::string& name) override {
        created.push_back(name);
        if (name == failName) return nullptr;
        return std::make_unique<Checked>(*this, inner->CreateMutex(name), name);
    }
    std::unique_ptr<platform::CancelToken> CreateCancelToken() override { return inner->CreateCancelToken(); }
    std::uint32_t CurrentThreadId() override { return inner->CurrentThreadId(); }

    platform::Threads* inner = nullptr;
    std::string failName;
    std::vector<std::string> created;
    std::vector<std::string> violations;
    std::map<std::string, int> taken;
    std::map<std::string, int> contended;  // asked for while another thread held it
    int takenUnderThreadLock = 0;

private:
    class Checked : public platform::Mutex {
    public:
        Checked(OrderCheckingThreads& owner, std::unique_ptr<platform::Mutex> inner, std::string name)
            : m_owner(owner), m_inner(std::move(inner)), m_name(std::move(name)) {}
        void Lock() override {
            m_owner.BeforeLock(m_name);
            for (const auto& [thread, names] : m_owner.held)
                if (thread != m_owner.CurrentThreadId() && std::find(names.begin(), names.end(), m_name) != names.end())
                    ++m_owner.contended[m_name];
            m_inner->Lock();
            m_owner.held[m_owner.CurrentThreadId()].push_back(m_name);
        }
        void Unlock() override {
            auto& h = m_owner.held[m_owner.CurrentThreadId()];
            const auto it = std::find(h.rbegin(), h.rend(), m_name);
            if (it != h.rend()) h.erase(std::next(it).base());
            m_inner->Unlock();
        }

    private:
        OrderCheckingThreads& m_owner;
        std::unique_ptr<platform::Mutex> m_inner;
        std::string m_name;
    };

    static bool IsInner(const std::string& name) {
        return name != kThreadLock && std::find(kUtilityLocks.begin(), kUtilityLocks.end(), name) != kUtilityLocks.end();
    }
    void BeforeLock(const std::string& name) {
        ++taken[name];
        const auto& h = held[CurrentThreadId()];
        if (std::find(h.begin(), h.end(), name) != h.end()) return;  // recursion
        for (const std::string& other : h) {
            if (other == kLogLock) violations.push_back(name + " inside the log lock");
            if (name == kThreadLock) violations.push_back(name + " after " + other);
            if (IsInner(name) && IsInner(other)) violations.push_back(name + " inside " + other);
            if (IsInner(name) && other == kThreadLock) ++takenUnderThreadLock;
        }
    }
    std::map<std::uint32_t, std::vector<std::string>> held;
};

// The simulated machine with the filter installed, the utility built on the
// yielding device access and the checked threads, its locks created, and
// chips that know their old and new firmware.
struct Rig {
    Rig() {
        m.registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"VntlFilter"});
        io.inner = &m.usb;
        io.clock = &m.sched;
        threads.inner = &m.sched;
        platform::Ports ports = m.ports;
        ports.deviceIo = &io;
        ports.threads = &threads;
        m.utility.reset();
        m.utility = std::make_unique<ha::CHubUtility>(ports);
        m.utility->m_szModuleDirectory = L"C:\\Tool";
        m.utility->m_strVID_Indetify = L"7A7D";
        g_nMessageLevel = 3;
        EXPECT_EQ(u().vInitializeCriticalSection(), ha::TRUE);

        m.files.MakeDirectory(L"C:\\Tool\\Temp");
        m.files.PutFile(L"C:\\Tool\\Temp\\TempBinData.bin", HubChip::FirmwareAreaFor(newImage));
    }
    ha::CHubUtility& u() { return *m.utility; }
    ha::CVntlHubDev& dev() { return *u().m_USBLib.m_pHubDev; }
    ha::DEV_LIST_ITEM& row(int t) { return m.devList.rows[t]; }

    int Controller(std::uint8_t ports = 4) {
        sim::HostControllerSpec spec;
        spec.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f&subsys_00000000&rev_01#3&11583659&0&" +
                             std::to_wstring(++controllers) + L"0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        spec.rootPorts = ports;
        return m.usb.AddHostController(spec).rootHub;
    }
    // A chip running the old firmware from image 0, with one USB 3.0 interface.
    std::shared_ptr<HubChip> NewChip() {
        auto chip = std::make_shared<HubChip>(&m.sched);
        chip->SetConfigBlock(0, Pattern(256, static_cast<std::uint8_t>(0x40 + chips.size())));
        chip->SetFirmwareArea(0, 0, HubChip::FirmwareAreaFor(oldImage));
        chip->RegisterImageVersion(oldImage, kOldVersion);
        chip->RegisterImageVersion(newImage, kNewVersion);
        chips.push_back(chip);
        return chip;
    }
    int Add(int parent, std::uint32_t port, std::shared_ptr<HubChip> chip,
            std::function<void(sim::UsbDeviceSpec&)> tweak = {}) {
        sim::UsbDeviceSpec spec = UsbStack::ChipInterface(chip, 0x0300);
        spec.powerValue = 0;  // selective suspend already off: the scan restarts nothing
        if (tweak) tweak(spec);
        return m.usb.AddDevice(parent, port, spec);
    }
    void Scan() {
        ASSERT_EQ(u().m_USBLib.OpenDev(&m.devList, 0), 0);
        m.sink.Clear();
        m.driver.ClearJournal();
    }
    // The row the scan gave the hub on `node`.
    int RowOf(int node) {
        for (int t = 0; t < m.devList.nCount; ++t)
            if (row(t).m_strObjectName == m.usb.FilterObjectName(node)) return t;
        ADD_FAILURE() << "no row for node " << node;
        return 0;
    }
    bool Has(const wchar_t* method, const std::wstring& text, const wchar_t* kind = L"ERR") {
        return m.HasRecord(kind, method, text);
    }
    std::uint64_t Now() { return m.sched.MonotonicMs(); }
    std::vector<sim::JournalEntry> Requests(std::uint32_t command, const std::wstring& object = L"") {
        std::vector<sim::JournalEntry> out;
        for (const auto& e : m.driver.Journal())
            if (!e.legacy && e.Command() == command && (object.empty() || e.device == object)) out.push_back(e);
        return out;
    }
    void ExpectModeEnded() {
        EXPECT_EQ(u().m_bAllHubCheck4ReEnum, 0);
        for (std::size_t i = 0; i < ha::kDevListRowsUsed; ++i) {
            EXPECT_EQ(u().m_ulOldPositionIndex[i], 0xFFFFFFFFu) << i;
            EXPECT_TRUE(u().m_OldPositions[i].empty()) << i;
        }
    }

    // Declared before the machine: the utility and the log use them to the end.
    YieldingIo io;
    OrderCheckingThreads threads;
    testing_machine::HubUtilityMachine m;
    std::vector<std::uint8_t> oldImage = Pattern(0x5000, 1), newImage = Pattern(0x5000, 2);
    std::vector<std::shared_ptr<HubChip>> chips;
    int controllers = 0;
};

bool SameRow(const ha::DEV_LIST_ITEM& a, const ha::DEV_LIST_ITEM& b) {
    return a.m_strObjectName == b.m_strObjectName && a.m_strFWVersion == b.m_strFWVersion && a.m_strSN == b.m_strSN &&
           a.m_strVID == b.m_strVID && a.m_strPID30 == b.m_strPID30 && a.m_strPID20 == b.m_strPID20 &&
           a.m_strBcdUSB == b.m_strBcdUSB && a.m_position == b.m_position && a.m_ucHubDepth == b.m_ucHubDepth;
}

TEST(UpdateServicesTest, LocksAreThePortsMutexesCreatedInOrder) {
    Rig r;
    const std::vector<std::string> created(r.threads.created.end() - 6, r.threads.created.end());
    EXPECT_EQ(created, kUtilityLocks);

    // A lock that cannot be made is logged; the result is that of the last one.
    r.threads.failName = "m_EnumCriticalSection";
    EXPECT_EQ(r.u().vInitializeCriticalSection(), ha::TRUE);
    EXPECT_TRUE(r.Has(L"CHubUtility::vInitializeCriticalSection",
                      L"Utility: InitializeCriticalSectionAndSpinCount m_EnumCriticalSection Fail, ErrorCode "));
    EXPECT_FALSE(r.u().m_EnumCriticalSection);
    EXPECT_TRUE(r.u().m_ThreadCriticalSection);
    r.threads.failName = kThreadLock;
    EXPECT_EQ(r.u().vInitializeCriticalSection(), ha::FALSE);

    // Services whose lock is missing refuse to run unserialised.
    r.u().vDeleteCriticalSection();
    EXPECT_FALSE(r.u().m_UpdateFirmwareCriticalSection || r.u().m_EnumCriticalSection);
    const int root = r.Controller();
    r.Add(root, 1, r.NewChip());
    r.Scan();
    std::vector<ha::BYTE> buf(0x10000);
    EXPECT_EQ(r.u().vUpdateFirmware(0, 0), ha::FALSE);
    EXPECT_EQ(r.u().bReadSPIROM(0, buf.data(), buf.size()), ha::FALSE);
    EXPECT_EQ(r.u().ReEnumrationTargetHub(0), ha::FALSE);
    EXPECT_TRUE(r.m.driver.Journal().empty());
}

TEST(UpdateServicesTest, ConfigurationWriteErasesFirstOtherValuesRead) {
    const auto table = Pattern(256, 0x90);
    struct Case {
        const char* name;
        ha::BYTE bWrite;
        bool stuckErase;
        ha::BYTE result;
        size_t erases, downloads, romReads;
    };
    const Case cases[] = {
        {"write image 1", 1, false, ha::TRUE, 2, 8, 0},
        {"bWrite 2 reads", 2, false, ha::TRUE, 0, 0, 8},
        {"bWrite 0 reads", 0, false, ha::TRUE, 0, 0, 8},
        {"stuck erase: no download", 1, true, ha::FALSE, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        auto chip = r.NewChip();
        r.Add(r.Controller(), 1, chip);
        r.Scan();
        chip->SetConfigBlock(1, Pattern(256, 0x10));
        chip->eraseNeverFinishes = c.stuckErase;
        std::vector<ha::BYTE> buf = table;
        const std::uint64_t t0 = r.Now();

        EXPECT_EQ(r.u().vWrRdConfiguration(0, c.bWrite, buf.data(), 1), c.result);
        EXPECT_EQ(r.Requests(ha::CMD_SPI_BLOCK_ERASE).size(), c.erases);
        EXPECT_EQ(r.Requests(ha::CMD_CONFIG_DOWNLOAD).size(), c.downloads);
        const auto reads = r.Requests(ha::CMD_ROM_READ);
        EXPECT_EQ(reads.size(), c.romReads);
        for (const auto& e : reads) EXPECT_EQ(e.Value(), 1u);  // image 1
        if (c.bWrite == 1 && !c.stuckErase) {
            EXPECT_EQ(chip->ConfigBlock(1), table);
            EXPECT_TRUE(chip->flashErrors.empty());
        } else {
            EXPECT_EQ(chip->ConfigBlock(1), Pattern(256, 0x10));
        }
        if (c.romReads) {
            EXPECT_EQ(buf, Pattern(256, 0x10));
            EXPECT_EQ(r.Now() - t0, 500u);
        }
        EXPECT_EQ(c.stuckErase, r.Has(L"CHubUtility::vWrRdConfiguration", L"ucTargetNumber[0], VTL262xBlockErase[1]"));
    }
}

TEST(UpdateServicesTest, ReadBackRecoveryRebindsATier2HubThroughItsOwnObjectName) {
    Rig r;
    const int root = r.Controller();
    const int tier1 = r.Add(root, 1, r.NewChip());
    auto target = r.NewChip();
    const int tier2 = r.Add(tier1, 2, target);
    r.Add(root, 2, r.NewChip());  // what the root hub reports on port 2
    r.Scan();
    const int t = r.RowOf(tier2);
    ASSERT_EQ(r.row(t).m_ucHubDepth, 2);
    const ha::DEV_LIST before = r.m.devList;
    const std::wstring oldName = r.row(t).m_strObjectName;

    r.m.usb.Restart(tier2);  // back after 1.5 s under another PDO name
    std::vector<ha::BYTE> buf(0x10000, 0xEE);
    const std::uint64_t t0 = r.Now();
    EXPECT_EQ(r.u().bReadSPIROM(static_cast<ha::BYTE>(t), buf.data(), buf.size()), ha::TRUE);

    EXPECT_NE(r.row(t).m_strObjectName, oldName);
    EXPECT_EQ(r.row(t).m_strObjectName, r.m.usb.FilterObjectName(tier2));
    EXPECT_TRUE(r.Has(kReadBack, L"VTL262xConfigRead Failed[" + std::to_wstring(t) + L"] , Retry[0], dwErrorCode="));
    EXPECT_FALSE(r.Has(kReadBack, L"VTL262xConfigRead Failed[" + std::to_wstring(t) + L"] , Retry[1]"));
    // Configuration image 0, then the firmware area as the chip holds it.
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 256, target->ConfigBlock(0).begin()));
    const auto area = HubChip::FirmwareAreaFor(r.oldImage);
    EXPECT_TRUE(std::equal(area.begin(), area.end(), buf.begin() + 256));
    // 5 s after the failed read, the rescan, 500 ms before the next attempt and 500 ms at the end.
    EXPECT_GE(r.Now() - t0, 6000u);
    // Nothing else of the table changed.
    for (int i = 0; i < ha::kDevListCapacity; ++i) {
        if (i == t) continue;
        EXPECT_TRUE(SameRow(r.row(i), before.rows[i])) << i;
    }
    EXPECT_EQ(r.m.devList.nCount, before.nCount);
}

// The recovery's walk is counted against the run's identification scan: while
// another hub stays away every attempt counts one hub too few, binds nothing
// and the read-back fails after three attempts.
TEST(UpdateServicesTest, CountMismatchGivesNoRebind) {
    Rig r;
    const int root = r.Controller();
    const int target = r.Add(root, 1, r.NewChip());
    const int other = r.Add(root, 3, r.NewChip(), [](sim::UsbDeviceSpec& s) { s.restartDelayMs = 600000; });
    r.Scan();
    const int t = r.RowOf(target);
    const std::wstring oldName = r.row(t).m_strObjectName;
    ASSERT_EQ(r.dev().m_DriverNum, 2);

    r.m.usb.Restart(target);
    r.m.usb.Restart(other);
    std::vector<ha::BYTE> buf(0x10000);
    EXPECT_EQ(r.u().bReadSPIROM(static_cast<ha::BYTE>(t), buf.data(), buf.size()), ha::FALSE);
    const std::wstring tt = std::to_wstring(t);
    const auto records = r.m.sink.Records();
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const std::wstring& rec) {
                                return rec.find(L"the total target hub number[1] is not equal to "
                                                L"ucOldPositionIndex[2] !!! ") != std::wstring::npos;
                            }),
              3);
    EXPECT_TRUE(r.Has(kReadBack, L"VTL262xConfigRead Failed[" + tt + L"] , Retry[2]"));
    EXPECT_EQ(std::count_if(records.begin(), records.end(),
                            [](const std::wstring& rec) { return rec.find(L"re-bound to") != std::wstring::npos; }),
              0);
    EXPECT_EQ(r.row(t).m_strObjectName, oldName);
    EXPECT_EQ(r.dev().m_DriverNum, 2);
}

TEST(UpdateServicesTest, FirmwareAreaFailuresAreNotRetried) {
    struct Case {
        const char* name;
        std::function<void(Rig&, HubChip&)> set;
        std::size_t capacity;
        ha::BOOL result;
    };
    const Case cases[] = {
        {"firmware read fails",
         [](Rig& r, HubChip&) {
             sim::Fault f;
             f.match.command = ha::CMD_ROM_READ;
             f.match.address = 0x200;
             r.m.driver.AddFault(f);
         },
         0x10000, ha::FALSE},
        {"length word 0xFFF0 does not fit 64 KiB",
         [](Rig&, HubChip& c) { c.SetFirmwareArea(0, 0, {0xF0, 0xFF}); }, 0x10000, ha::FALSE},
        {"one byte short", [](Rig&, HubChip& c) { c.SetFirmwareArea(0, 0, {0xF0, 0xFF}); }, 0x1011F, ha::FALSE},
        {"exactly enough", [](Rig&, HubChip& c) { c.SetFirmwareArea(0, 0, {0xF0, 0xFF}); }, 0x10120, ha::TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        auto chip = r.NewChip();
        r.Add(r.Controller(), 1, chip);
        r.Scan();
        c.set(r, *chip);
        std::vector<ha::BYTE> buf(c.capacity);  // exactly the capacity given: the sanitizers see any overrun
        const std::uint64_t t0 = r.Now();
        EXPECT_EQ(r.u().bReadSPIROM(0, buf.data(), buf.size()), c.result);
        // One configuration read, no rescan.
        const auto reads = r.Requests(ha::CMD_ROM_READ);
        EXPECT_EQ(std::count_if(reads.begin(), reads.end(), [](const auto& e) { return e.Index() == 0; }), 1);
        EXPECT_FALSE(r.Has(kReadBack, L"VTL262xConfigRead Failed"));
        EXPECT_EQ(!c.result, r.Has(kReadBack, L"VTL262xFirmwareRead Failed[0] , Retry[0]"));
        EXPECT_EQ(r.Now() - t0, c.result ? 500u : 5500u);
    }
}

TEST(UpdateServicesTest, ReIdentificationRefreshesOnlyTheTargetRow) {
    // Two identical hubs on port 1 of two controllers: the same one-byte
    // position index, told apart by their root hubs.
    Rig r;
    auto first = r.NewChip(), second = r.NewChip();
    second->deviceDescriptor[16] = 3;  // a serial number before the new firmware
    second->SetString(3, u"OLD0001");
    const int a = r.Add(r.Controller(), 1, first);
    const int b = r.Add(r.Controller(), 1, second);
    r.Scan();
    const int ta = r.RowOf(a), tb = r.RowOf(b);
    ASSERT_EQ(r.row(ta).m_ucPositionIndex, r.row(tb).m_ucPositionIndex);
    ASSERT_EQ(r.row(tb).m_strSN, L"OLD0001");
    const ha::DEV_LIST before = r.m.devList;
    const auto depth = r.u().m_MaxHubDepth.load();

    // The second hub gets the new firmware, which has no serial string, and resets.
    second->SetFirmwareArea(0, 0, HubChip::FirmwareAreaFor(r.newImage));
    second->deviceDescriptor[16] = 0;
    ASSERT_EQ(r.dev().VTL262xReset(static_cast<ha::BYTE>(tb), 0), 0);
    const std::uint64_t t0 = r.Now();
    EXPECT_EQ(r.u().ReEnumrationTargetHub(static_cast<ha::BYTE>(tb)), ha::TRUE);

    // Away at the first rescan, found at the second.
    EXPECT_TRUE(r.Has(kReEnum, L"ucTargetNumber[" + std::to_wstring(tb) + L"], get Hubs Number is 0, Retry[0]!!! "));
    EXPECT_GE(r.Now() - t0, 2000u);
    const ha::DEV_LIST_ITEM& row = r.row(tb);
    EXPECT_EQ(row.m_strFWVersion, kNewText);
    EXPECT_EQ(row.m_strSN, L"----");
    EXPECT_EQ(row.m_strObjectName, r.m.usb.FilterObjectName(b));
    EXPECT_NE(row.m_strObjectName, before.rows[tb].m_strObjectName);
    EXPECT_EQ(row.m_strVID, L"7a7d");
    EXPECT_EQ(row.m_strPID30, L"3262");
    EXPECT_EQ(row.m_strBcdUSB, L"0300");
    EXPECT_EQ(row.m_position, before.rows[tb].m_position);
    for (int i = 0; i < ha::kDevListCapacity; ++i)
        if (i != tb) {
            EXPECT_TRUE(SameRow(r.row(i), before.rows[i])) << i;
        }
    EXPECT_EQ(r.m.devList.nCount, before.nCount);
    EXPECT_EQ(r.u().m_MaxHubDepth.load(), depth);
    r.ExpectModeEnded();
}

TEST(UpdateServicesTest, AHubIsFoundOnlyOnceItTellsAValidVersion) {
    struct Case {
        const char* name;
        std::function<void(HubChip&)> firmware;
        std::function<void(sim::UsbDeviceSpec&)> spec;
        ha::BOOL result;
        const wchar_t* version;
    };
    const auto keep = [](sim::UsbDeviceSpec&) {};
    const Case cases[] = {
        {"image nobody knows: invalid version block",
         [](HubChip& c) { c.SetFirmwareArea(0, 0, HubChip::FirmwareAreaFor(Pattern(0x5000, 7))); }, keep, ha::FALSE,
         kOldText},
        {"old firmware kept", [](HubChip& c) { c.keepOldVersionResets = 1; }, keep, ha::TRUE, kOldText},
        {"back after 3 s", [](HubChip&) {}, [](sim::UsbDeviceSpec& s) { s.restartDelayMs = 3000; }, ha::TRUE, kNewText},
        {"never back", [](HubChip&) {}, [](sim::UsbDeviceSpec& s) { s.neverReturns = true; }, ha::FALSE, kOldText},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        auto chip = r.NewChip();
        r.Add(r.Controller(), 1, chip, c.spec);
        r.Scan();
        chip->SetFirmwareArea(0, 0, HubChip::FirmwareAreaFor(r.newImage));
        c.firmware(*chip);
        ASSERT_EQ(r.dev().VTL262xReset(0, 0), 0);
        EXPECT_EQ(r.u().ReEnumrationTargetHub(0), c.result);
        EXPECT_EQ(r.row(0).m_strFWVersion, c.version);
        r.ExpectModeEnded();
    }
}

// Once the run is cancelled the read-back recovery and the re-identification
// end at once, where their waits would take half a minute, and no service
// starts an erase or a firmware download.
TEST(UpdateServicesTest, ACancelledRunEndsTheRecoveryAndReIdentificationEarlyAndWritesNothing) {
    enum class Step { Recovery, ReIdentification, Writes };
    struct Case {
        const char* name;
        Step step;
    };
    const Case cases[] = {{"recovery of a hub whose neighbour stays away", Step::Recovery},
                          {"re-identification of a hub that never comes back", Step::ReIdentification},
                          {"erase and download after the time-out", Step::Writes}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        const int root = r.Controller();
        const int target = r.Add(root, 1, r.NewChip(), [](sim::UsbDeviceSpec& s) { s.neverReturns = true; });
        const int other = r.Add(root, 3, r.NewChip(), [](sim::UsbDeviceSpec& s) { s.restartDelayMs = 600000; });
        r.Scan();
        const ha::BYTE t = static_cast<ha::BYTE>(r.RowOf(target));
        std::unique_ptr<platform::CancelToken> token = r.m.sched.CreateCancelToken();
        r.u().m_pRunCancel = token.get();
        if (c.step == Step::Recovery) {
            r.m.usb.Restart(target);
            r.m.usb.Restart(other);
        }
        if (c.step == Step::ReIdentification) r.dev().VTL262xReset(t, 0);
        ha::BOOL result = ha::TRUE;
        std::uint64_t t0 = 0, took = 0;
        const std::size_t requestsBefore = r.m.driver.Journal().size();
        r.m.sched.Run([&] {
            t0 = r.Now();
            auto canceller = r.m.sched.Start([&] {
                r.m.sched.Sleep(c.step == Step::Writes ? 0 : 1000);
                token->Cancel();
            }, platform::ThreadPriority::Normal, "time-out");
            if (c.step == Step::Writes) {
                canceller->Join(platform::kInfinite);
                std::vector<ha::BYTE> config(256, 0x33);
                result = r.u().vWrRdConfiguration(t, 1, config.data(), 0) || r.u().vUpdateFirmware(t, 0);
            } else {
                std::vector<ha::BYTE> buf(0x10000);
                result = c.step == Step::Recovery ? r.u().bReadSPIROM(t, buf.data(), buf.size())
                                                  : r.u().ReEnumrationTargetHub(t);
            }
            took = r.Now() - t0;
            canceller->Join(platform::kInfinite);
        });
        r.u().m_pRunCancel = nullptr;
        EXPECT_EQ(result, ha::FALSE);
        EXPECT_LE(took, 1000u + 500u);
        if (c.step == Step::Writes) {
            EXPECT_EQ(r.m.driver.Journal().size(), requestsBefore);
        }
    }
}

// The time-out arriving at the erase of a table, or at its status poll:
// the erase is completed by its table download, never left blank.
TEST(UpdateServicesTest, AnEraseUnderwayWhenTheRunIsCancelledIsCompletedByItsDownload) {
    for (const int after : {0, 1, 4}) {  // requests after the first erase's
        SCOPED_TRACE(after);
        Rig r;
        const int root = r.Controller();
        auto chip = r.NewChip();
        r.Add(root, 1, chip);
        r.Scan();
        std::unique_ptr<platform::CancelToken> token = r.m.sched.CreateCancelToken();
        r.u().m_pRunCancel = token.get();
        // The write's first request is the erase of part 0.
        std::uint64_t eraseAt = 0;
        r.m.driver.onRequest = [&](std::uint64_t n) {
            if (eraseAt == 0) eraseAt = n;
            if (n == eraseAt + static_cast<std::uint64_t>(after)) token->Cancel();
        };
        const auto table = Pattern(256, 0x33);
        std::vector<ha::BYTE> config(table.begin(), table.end());
        ha::BYTE written = ha::FALSE;
        bool eraseStarted = false;
        r.m.sched.Run([&] { written = r.u().vWrRdConfiguration(0, 1, config.data(), 1, &eraseStarted); });
        r.u().m_pRunCancel = nullptr;
        EXPECT_TRUE(token->IsCancelled());
        EXPECT_EQ(written, ha::TRUE);
        EXPECT_TRUE(eraseStarted);
        EXPECT_EQ(chip->ConfigBlock(1), table);
        EXPECT_TRUE(r.m.sink.Contains(L"run cancelled, image 1 erased: its table download completes it"));
    }
}

// Two workers, each through the whole update of its hub: both configuration
// images, both firmware images, the read-back, the reset and the
// re-identification. In console mode each holds m_ThreadCriticalSection for
// its update stage, as the worker does.
TEST(UpdateServicesTest, TwoWorkersUpdateTheirHubsWithoutInterleavedDownloads) {
    for (const bool console : {false, true}) {
        SCOPED_TRACE(console ? "console mode" : "dialog mode");
        Rig r;
        const int root = r.Controller();
        const int nodes[2] = {r.Add(root, 1, r.NewChip()), r.Add(root, 2, r.NewChip())};
        r.Scan();
        const auto table = Pattern(256, 0x33);
        const auto file = HubChip::FirmwareAreaFor(r.newImage);
        ha::BOOL results[2][7] = {};
        std::vector<ha::BYTE> readBack[2];

        r.m.sched.Run([&] {
            std::unique_ptr<platform::Thread> workers[2];
            for (int t = 0; t < 2; ++t) {
                workers[t] = r.u().Ports().threads->Start(
                    [&, t] {
                        const ha::BYTE target = static_cast<ha::BYTE>(t);
                        ha::BOOL* res = results[t];
                        std::vector<ha::BYTE> config = table;
                        if (console) r.u().m_ThreadCriticalSection->Lock();
                        res[0] = r.u().vWrRdConfiguration(target, 1, config.data(), 0);
                        res[1] = r.u().vWrRdConfiguration(target, 1, config.data(), 1);
                        res[2] = r.u().vUpdateFirmware(target, 0);
                        res[3] = r.u().vUpdateFirmware(target, 1);
                        readBack[t].assign(0x10000, 0);
                        res[4] = r.u().bReadSPIROM(target, readBack[t].data(), readBack[t].size());
                        if (console) r.u().m_ThreadCriticalSection->Unlock();
                        res[5] = r.dev().VTL262xReset(target, 0) == 0;
                        res[6] = r.u().ReEnumrationTargetHub(target);
                    },
                    platform::ThreadPriority::Normal, "worker" + std::to_string(t));
            }
            for (auto& w : workers) w->Join(platform::kInfinite);
        });

        for (int t = 0; t < 2; ++t) {
            SCOPED_TRACE(t);
            for (int step = 0; step < 7; ++step) EXPECT_EQ(results[t][step], ha::TRUE) << step;
            EXPECT_TRUE(std::equal(table.begin(), table.end(), readBack[t].begin()));
            EXPECT_TRUE(std::equal(file.begin(), file.end(), readBack[t].begin() + 256));
            EXPECT_EQ(r.row(t).m_strFWVersion, kNewText);
            EXPECT_EQ(r.row(t).m_strObjectName, r.m.usb.FilterObjectName(nodes[t]));
            EXPECT_EQ(r.chips[t]->ConfigBlock(1), table);
            EXPECT_TRUE(r.chips[t]->flashErrors.empty());
        }
        r.ExpectModeEnded();

        // Chunks of one command in runs per device object.
        const auto runsOf = [&](std::uint32_t command) {
            std::vector<std::pair<std::wstring, std::size_t>> runs;
            for (const auto& e : r.m.driver.Journal()) {
                if (e.legacy || e.Command() != command) continue;
                if (runs.empty() || runs.back().first != e.device) runs.emplace_back(e.device, 0);
                ++runs.back().second;
            }
            return runs;
        };
        // Firmware chunks come in whole downloads per device object, though
        // the two workers wanted to download at the same time.
        const std::size_t perDownload = (file.size() + 31) / 32;
        std::size_t chunks = 0;
        for (const auto& run : runsOf(ha::CMD_FW_DOWNLOAD)) {
            EXPECT_EQ(run.second % perDownload, 0u);
            chunks += run.second;
        }
        EXPECT_EQ(chunks, 4 * perDownload);
        if (!console) {
            EXPECT_GT(r.threads.contended["m_UpdateFirmwareCriticalSection"], 0);
            // Configuration writes of the two hubs may overlap, and did.
            const auto configRuns = runsOf(ha::CMD_CONFIG_DOWNLOAD);
            EXPECT_GT(configRuns.size(), 4u);
        }

        EXPECT_TRUE(r.threads.violations.empty()) << r.threads.violations.front();
        EXPECT_EQ(r.threads.taken["m_UpdateFirmwareCriticalSection"], 4);
        EXPECT_EQ(r.threads.taken["m_EnumCriticalSection"], 4);
        EXPECT_GT(r.threads.taken[kLogLock], 0);
        EXPECT_EQ(r.threads.takenUnderThreadLock > 0, console);
    }
}

}  // namespace
