// Hub access as several hub workers use it at once, on the simulated machine
// under seeded schedules: every device call is a point where another worker
// may run. A failing seed is named in the failure; FW_TEST_SEED=<n> replays
// that one seed alone.
//
// Also here: the rescans' count against the identification scan, hubs that
// come back too late, the teardown order of the dialog's table and the
// utility, and device texts read through the thread's code page.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "HubUtilityMachine.h"
#include "hubaccess/DebugLog.h"
#include "hubaccess/HubUtility.h"
#include "hubaccess/VntlHubDev.h"
#include "platform/Win32Errors.h"
#include "sim/FilterWire.h"
#include "sim/HubChip.h"
#include "sim/UsbStack.h"

namespace ha = hubaccess;
namespace fw = sim::filterwire;
using sim::HubChip;
using sim::UsbStack;

namespace {

const wchar_t kReadBack[] = L"CHubUtility::bReadSPIROM";
const std::wstring kCurrentVersion = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr std::uint64_t kSeeds = 50;

std::vector<std::uint8_t> Pattern(std::size_t length, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(length);
    for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 29 + (i >> 7));
    return bytes;
}

// The seeds a scenario runs under: 1..kSeeds, or the one FW_TEST_SEED names.
std::vector<std::uint64_t> Seeds() {
    if (const char* one = std::getenv("FW_TEST_SEED")) return {std::strtoull(one, nullptr, 10)};
    std::vector<std::uint64_t> seeds;
    for (std::uint64_t s = 1; s <= kSeeds; ++s) seeds.push_back(s);
    return seeds;
}

// Identical chips (same IDs, so same hardware IDs) on the ports of one root
// hub, with filter objects that open only once at a time, as the tool opens
// them; scanned, with the firmware file in place.
struct Rig {
    explicit Rig(std::uint64_t seed, int hubs, bool newInstanceOnReset = false) : m(seed) {
        m.registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"VntlFilter"});
        m.os.SetVersion(6, 2);  // Windows 10 through its registry values, 64-bit
        m.registry.SetDword(kCurrentVersion, L"CurrentMajorVersionNumber", 10);
        m.registry.SetString(kCurrentVersion, L"CurrentBuildNumber", L"19045");
        m.os.SetWow64(true);
        m.driver.SetExclusiveByDefault(true);
        u.m_strVID_Indetify = L"7A7D";
        EXPECT_EQ(u.vInitializeCriticalSection(), ha::TRUE);
        sim::HostControllerSpec c;
        c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f&subsys_00000000&rev_01#3&11583659&0&a0#"
                          L"{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
        c.rootPorts = 4;
        const int root = m.usb.AddHostController(c).rootHub;
        for (int i = 0; i < hubs; ++i) {
            auto chip = std::make_shared<HubChip>(&m.sched);
            chip->SetConfigBlock(0, Pattern(256, static_cast<std::uint8_t>(0x40 + i)));
            chip->SetFirmwareArea(0, 0, HubChip::FirmwareAreaFor(oldImage));
            chip->RegisterImageVersion(oldImage, {0x14, 0x04, 0x15, 0x03, 0xE5, 0x00});
            chips.push_back(chip);
            sim::UsbDeviceSpec spec = UsbStack::ChipInterface(chip, 0x0300);
            spec.powerValue = 0;  // selective suspend already off: the scan restarts nothing
            spec.newInstanceOnReset = newInstanceOnReset && i == 0;
            nodes.push_back(m.usb.AddDevice(root, static_cast<std::uint32_t>(i + 1), spec));
        }
        m.files.MakeDirectory(L"C:\\Tool\\Temp");
        m.files.PutFile(L"C:\\Tool\\Temp\\TempBinData.bin", file);
        EXPECT_EQ(u.m_USBLib.OpenDev(&m.devList, 0), 0);
        EXPECT_EQ(m.devList.nCount, hubs);
        m.driver.ClearJournal();
        m.usb.ClearJournal();
        m.sink.Clear();
    }
    ha::CVntlHubDev& Dev() { return *u.m_USBLib.m_pHubDev; }
    // The driver never completes a ROM read of hub `t`.
    void HangRomReads(int t) {
        sim::Fault hang;
        hang.kind = sim::FaultKind::Hang;
        hang.match.device = Row(t).m_strObjectName;
        hang.match.command = fw::kCmdRomRead;
        m.driver.AddFault(hang);
    }
    const ha::DEV_LIST_ITEM& Row(int t) const { return m.devList.rows[t]; }
    int Count(const std::wstring& text) const {
        const auto records = m.sink.Records();
        return static_cast<int>(std::count_if(records.begin(), records.end(), [&](const std::wstring& r) {
            return r.find(text) != std::wstring::npos;
        }));
    }
    std::vector<int> Restarted() const {
        std::vector<int> nodesRestarted;
        for (const auto& e : m.usb.Journal())
            if (e.kind == sim::UsbEventKind::Restart) nodesRestarted.push_back(e.node);
        return nodesRestarted;
    }
    // What a writing worker does to its hub: both configuration images, then
    // both firmware images.
    bool WriteImages(ha::BYTE t) {
        std::vector<ha::BYTE> config = table;
        bool ok = u.vWrRdConfiguration(t, 1, config.data(), 0) == ha::TRUE;
        ok = u.vWrRdConfiguration(t, 1, config.data(), 1) == ha::TRUE && ok;
        ok = u.vUpdateFirmware(t, 0) == ha::TRUE && ok;
        return u.vUpdateFirmware(t, 1) == ha::TRUE && ok;
    }
    // The written hub holds both images and was asked nothing by any other
    // worker from its first erase to its last firmware chunk.
    // `object`: the name the hub was written under (default: its row's now).
    void ExpectWrittenUndisturbed(int t, std::uint32_t writer, std::wstring object = L"") {
        SCOPED_TRACE("hub " + std::to_string(t));
        for (int image = 0; image < 2; ++image) {
            EXPECT_EQ(chips[t]->ConfigBlock(image), table) << image;
            EXPECT_TRUE(std::equal(file.begin(), file.end(), chips[t]->FirmwareArea(image).begin())) << image;
        }
        EXPECT_TRUE(chips[t]->flashErrors.empty());
        if (object.empty()) object = Row(t).m_strObjectName;
        const auto& journal = m.driver.Journal();
        std::size_t first = journal.size(), last = 0;
        for (std::size_t i = 0; i < journal.size(); ++i) {
            if (journal[i].device != object || journal[i].legacy) continue;
            if (journal[i].Command() == fw::kCmdSpiErase && first == journal.size()) first = i;
            if (journal[i].Command() == fw::kCmdFirmwareDownload) last = i;
        }
        ASSERT_LT(first, last);
        for (std::size_t i = first; i <= last; ++i) {
            if (journal[i].device == object) {
                EXPECT_EQ(journal[i].thread, writer) << "request " << journal[i].number;
            }
        }
    }

    testing_machine::HubUtilityMachine m;
    ha::CHubUtility& u = *m.utility;
    std::vector<std::shared_ptr<HubChip>> chips;
    std::vector<int> nodes;
    const std::vector<std::uint8_t> oldImage = Pattern(0x5000, 1);
    const std::vector<std::uint8_t> table = Pattern(256, 0x33);
    const std::vector<std::uint8_t> file = HubChip::FirmwareAreaFor(Pattern(0x5000, 2));
};

// Every worker writes its hub's images; hub 0's worker then reads its ROM
// back just as its hub has come back under a new filter object name, while
// the others are still writing. The recovery only walks: no hub is
// restarted, the writing hubs hear nothing from it, and every hub ends with
// the written images.
TEST(ConcurrentWorkersTest, ReadBackRecoveryLeavesTheWritingHubsAlone) {
    for (const int hubs : {2, 3}) {
        for (const std::uint64_t seed : Seeds()) {
            SCOPED_TRACE("hubs " + std::to_string(hubs) + ", failing seed " + std::to_string(seed) +
                         " (replay: FW_TEST_SEED=" + std::to_string(seed) + ")");
            Rig r(seed, hubs);
            const std::wstring oldName = r.Row(0).m_strObjectName;
            std::vector<std::uint8_t> readBack(0x10000);
            bool recovered = false, restarted = false;
            std::vector<bool> written(hubs, false);
            std::vector<std::uint32_t> threadOf(hubs, 0);
            r.m.sched.Run([&] {
                std::vector<std::unique_ptr<platform::Thread>> workers;
                workers.push_back(r.m.sched.Start(
                    [&] {
                        threadOf[0] = r.m.sched.CurrentThreadId();
                        written[0] = r.WriteImages(0);
                        r.m.usb.Restart(r.nodes[0]);  // back in 1.5 s under a new name
                        restarted = true;
                        recovered = r.u.bReadSPIROM(0, readBack.data(), readBack.size()) == ha::TRUE;
                    },
                    platform::ThreadPriority::Normal, "recovering"));
                for (int t = 1; t < hubs; ++t) {
                    workers.push_back(r.m.sched.Start(
                        [&, t] {
                            threadOf[t] = r.m.sched.CurrentThreadId();
                            while (!restarted) r.m.sched.Sleep(100);
                            r.m.sched.Sleep(4400 + 300 * t);  // writing when the recovery walks
                            written[t] = r.WriteImages(static_cast<ha::BYTE>(t));
                        },
                        platform::ThreadPriority::Normal, "writer" + std::to_string(t)));
                }
                for (auto& w : workers) w->Join(platform::kInfinite);
            });

            EXPECT_TRUE(recovered);
            EXPECT_NE(r.Row(0).m_strObjectName, oldName);
            EXPECT_EQ(r.Row(0).m_strObjectName, r.m.usb.FilterObjectName(r.nodes[0]));
            EXPECT_TRUE(std::equal(r.table.begin(), r.table.end(), readBack.begin()));
            EXPECT_TRUE(std::equal(r.file.begin(), r.file.end(), readBack.begin() + 256));
            EXPECT_EQ(r.Restarted(), std::vector<int>{r.nodes[0]});  // the test's own restart only
            EXPECT_EQ(r.Count(L"re-bound to"), 1);
            EXPECT_EQ(r.Count(L"is not equal to"), 0);
            // The identification scan's entries are what they were.
            EXPECT_EQ(r.Dev().m_DriverNum, hubs);
            EXPECT_EQ(r.Dev().m_DriverInfo[0].ObjectName, oldName);
            for (int t = 0; t < hubs; ++t) {
                EXPECT_TRUE(written[t]) << t;
                r.ExpectWrittenUndisturbed(t, threadOf[t], t == 0 ? oldName : L"");
            }
            // The recovering worker asked only its own hub, under either name.
            for (const auto& e : r.m.driver.Journal()) {
                if (e.thread == threadOf[0]) {
                    EXPECT_TRUE(e.device == oldName || e.device == r.Row(0).m_strObjectName) << e.number;
                }
            }
            if (testing::Test::HasFailure()) return;  // the seed is in the trace above
        }
    }
}

// Hub 0 comes back from its reset as a new device instance whose selective
// suspend is on again, so its re-identification turns it off and restarts
// the hub, on 64-bit Windows through devcon: exactly one restart, naming that
// hub's instance, while the identical hub 1 is being written.
TEST(ConcurrentWorkersTest, ReIdentificationRestartsOnlyItsOwnHub) {
    for (const std::uint64_t seed : Seeds()) {
        SCOPED_TRACE("failing seed " + std::to_string(seed) + " (replay: FW_TEST_SEED=" + std::to_string(seed) + ")");
        Rig r(seed, 2, true);
        const std::wstring oldInstance = r.m.usb.InstanceId(r.nodes[0]);
        bool found = false, written = false;
        std::uint32_t writer = 0;
        r.m.sched.Run([&] {
            auto a = r.m.sched.Start(
                [&] {
                    EXPECT_EQ(r.Dev().VTL262xReset(0, 0), 0);
                    found = r.u.ReEnumrationTargetHub(0) == ha::TRUE;
                },
                platform::ThreadPriority::Normal, "re-identifying");
            auto b = r.m.sched.Start(
                [&] {
                    writer = r.m.sched.CurrentThreadId();
                    r.m.sched.Sleep(1200);
                    written = r.WriteImages(1);
                },
                platform::ThreadPriority::Normal, "writer");
            a->Join(platform::kInfinite);
            b->Join(platform::kInfinite);
        });

        EXPECT_TRUE(found);
        EXPECT_TRUE(written);
        std::vector<sim::UsbEvent> launches;
        for (const auto& e : r.m.usb.Journal())
            if (e.kind == sim::UsbEventKind::Launch) launches.push_back(e);
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_NE(r.m.usb.InstanceId(r.nodes[0]), oldInstance);
        EXPECT_EQ(launches[0].parameters, L"Restart @" + r.m.usb.InstanceId(r.nodes[0]));
        EXPECT_EQ(launches[0].restarted, std::vector<int>{r.nodes[0]});
        EXPECT_TRUE(r.m.HasRecord(L"MSG", L"CHubUtility::ucGetHWId",
                                  L"Trigger Device!!!!!Get Hub ID Number, strDevConParam[Restart @" +
                                      r.m.usb.InstanceId(r.nodes[0]) + L"]"));
        EXPECT_EQ(r.Row(0).m_strObjectName, r.m.usb.FilterObjectName(r.nodes[0]));
        r.ExpectWrittenUndisturbed(1, writer);
        // The rescan's records carry the scan's own name.
        EXPECT_TRUE(r.m.HasRecord(L"MSG", L"CVntlHubDev::OpenDevice", L"Found 1 Hubs"));
        EXPECT_EQ(r.Count(L"CVntlHubDev::ScanEntries"), 0);
        if (testing::Test::HasFailure()) return;
    }
}

// A driver that never completes a request: another thread cancels what the
// target's chip operation has in flight, and the operation fails instead of
// hanging the tool.
TEST(ConcurrentWorkersTest, AHangingChipOperationIsCancelledFromAnotherThread) {
    Rig r(0, 2);
    r.HangRomReads(0);
    int rc = 0;
    ha::BOOL idle = ha::TRUE, cancelled = ha::FALSE;
    std::uint64_t end = 0;
    r.m.sched.Run([&] {
        idle = r.Dev().CancelTargetRequests(0);  // nothing open yet
        auto worker = r.m.sched.Start(
            [&] {
                std::vector<ha::BYTE> table(256);
                rc = r.Dev().VTL262xConfigRead(0, table.data(), 0);
                end = r.m.sched.NowMs();
            },
            platform::ThreadPriority::Normal, "worker");
        r.m.sched.Sleep(4000);  // a last resort, before the request's own limit
        EXPECT_EQ(r.m.driver.HangingRequestCount(r.Row(0).m_strObjectName), 1);
        EXPECT_EQ(r.Dev().CancelTargetRequests(1), ha::FALSE);  // the other hub has nothing open
        cancelled = r.Dev().CancelTargetRequests(0);
        worker->Join(platform::kInfinite);
    });
    EXPECT_EQ(idle, ha::FALSE);
    EXPECT_EQ(cancelled, ha::TRUE);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(end, 4000u);
    EXPECT_EQ(r.m.driver.Journal().back().result.error, platform::kErrorOperationAborted);
    EXPECT_EQ(r.m.driver.OpenHandleCount(), 0);
    EXPECT_EQ(r.Dev().CancelTargetRequests(0), ha::FALSE);
}

// A last resort whose cancel the driver holds for 5 s: meanwhile another hub's
// register read opens, reads and closes at once, the cancelled operation
// returns at once too, and its handle is closed only once the cancel has
// returned, so the cancel never meets a closed (or closed and reused) handle.
TEST(ConcurrentWorkersTest, ASlowCancelHoldsUpNoOtherHubsRequest) {
    Rig r(0, 2);
    r.HangRomReads(0);
    r.m.driver.SetCancelCallMs(5000);
    int rc0 = 0, rc1 = -99;
    ha::BOOL cancelled = ha::FALSE;
    std::uint64_t end0 = 0, end1 = 0, cancelEnd = 0;
    r.m.sched.Run([&] {
        auto worker = r.m.sched.Start(
            [&] {
                std::vector<ha::BYTE> table(256);
                rc0 = r.Dev().VTL262xConfigRead(0, table.data(), 0);
                end0 = r.m.sched.NowMs();
            },
            platform::ThreadPriority::Normal, "worker");
        r.m.sched.Sleep(4000);
        auto lastResort = r.m.sched.Start(
            [&] {
                cancelled = r.Dev().CancelTargetRequests(0);
                cancelEnd = r.m.sched.NowMs();
            },
            platform::ThreadPriority::Normal, "last resort");
        r.m.sched.Sleep(10);
        ha::BYTE value = 0;
        rc1 = r.Dev().VTL262xAccessRegister(1, &value, 0x5820, 0);
        end1 = r.m.sched.NowMs();
        lastResort->Join(platform::kInfinite);
        worker->Join(platform::kInfinite);
    });
    EXPECT_EQ(rc1, 0);
    EXPECT_EQ(end1, 4010u) << "another hub's request waited for the cancel";
    EXPECT_EQ(cancelled, ha::TRUE);
    EXPECT_EQ(cancelEnd, 9000u);
    EXPECT_EQ(rc0, -1);
    EXPECT_EQ(end0, 4000u);
    EXPECT_EQ(r.m.driver.CancelsOnClosedHandles(), 0);
    EXPECT_EQ(r.m.driver.OpenHandleCount(), 0);
}

// The re-identification of another hub leaves the identification scan's count
// alone, so a recovery after it binds on its first attempt.
TEST(ConcurrentWorkersTest, RecoveryAfterAnotherHubsReIdentificationBindsAtOnce) {
    Rig r(0, 2);
    ASSERT_EQ(r.Dev().VTL262xReset(1, 0), 0);
    ASSERT_EQ(r.u.ReEnumrationTargetHub(1), ha::TRUE);
    EXPECT_EQ(r.Dev().m_DriverNum, 2);
    r.m.usb.Restart(r.nodes[0]);
    std::vector<std::uint8_t> buf(0x10000);
    EXPECT_EQ(r.u.bReadSPIROM(0, buf.data(), buf.size()), ha::TRUE);
    EXPECT_EQ(r.Count(L"is not equal to"), 0);
    EXPECT_EQ(r.Count(L"VTL262xConfigRead Failed[0] , Retry[0]"), 1);
    EXPECT_EQ(r.Count(L"VTL262xConfigRead Failed[0] , Retry[1]"), 0);
    EXPECT_EQ(r.Row(0).m_strObjectName, r.m.usb.FilterObjectName(r.nodes[0]));
}

// A hub that is back only after the third attempt is not found, by either
// rescan; its row keeps its old name and the scan's entries stay.
TEST(ConcurrentWorkersTest, AHubBackAfterTheThirdAttemptIsNotFound) {
    for (const bool readBack : {true, false}) {
        SCOPED_TRACE(readBack ? "read-back" : "re-identification");
        Rig r(0, 2);
        const std::wstring oldName = r.Row(0).m_strObjectName;
        r.m.usb.SetDefaultRestartDelay(60000);
        if (readBack) {
            r.m.usb.Restart(r.nodes[0]);
            std::vector<std::uint8_t> buf(0x10000);
            EXPECT_EQ(r.u.bReadSPIROM(0, buf.data(), buf.size()), ha::FALSE);
            EXPECT_EQ(r.Count(L"VTL262xConfigRead Failed[0] , Retry[2]"), 1);
        } else {
            r.chips[0]->OnCpuReset();
            EXPECT_EQ(r.u.ReEnumrationTargetHub(0), ha::FALSE);
            EXPECT_EQ(r.u.m_bAllHubCheck4ReEnum, 0);
        }
        EXPECT_LT(r.m.sched.MonotonicMs() - 3600000, 60000u);
        EXPECT_EQ(r.Row(0).m_strObjectName, oldName);
        EXPECT_EQ(r.Dev().m_DriverNum, 2);
        EXPECT_EQ(r.Dev().m_DriverInfo[0].ObjectName, oldName);
    }
}

// The dialog's hub table goes before the utility (a member destroyed first);
// the utility's teardown must not touch it, and the log stays usable for a
// thread that writes a record meanwhile or after. Meaningful under
// AddressSanitizer.
TEST(ConcurrentWorkersTest, TableDestroyedBeforeTheUtility) {
    testing_machine::HubUtilityMachine m;
    auto table = std::make_unique<ha::DEV_LIST>();
    m.HubDev().m_pDevList = table.get();
    table->rows[0].m_strObjectName = L"\\\\.\\USBPDO_10001";
    table.reset();

    // A second utility on the same ports, built and destroyed meanwhile,
    // silences nobody.
    { ha::CHubUtility other(m.ports); }
    m.sink.Clear();
    m.utility.reset();
    vDEBUG_ERR_printf(L"%s:%d: after the utility", L"Worker::Run", 1);
    EXPECT_TRUE(m.HasRecord(L"ERR", L"Worker::Run", L"after the utility"));
}

// Serial, manufacturer and product texts come through the thread's code page
// (here Windows-1252: byte 0x80 is the euro sign), in the scan and in the
// re-identification alike.
TEST(ConcurrentWorkersTest, DeviceTextsGoThroughTheThreadCodePage) {
    testing_machine::HubUtilityMachine m;
    m.registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"VntlFilter"});
    sim::HostControllerSpec c;
    c.interfacePath = L"\\\\?\\pci#ven_8086&dev_a12f#3&1158&0&a0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
    const int root = m.usb.AddHostController(c).rootHub;
    auto chip = std::make_shared<HubChip>(&m.sched);
    chip->deviceDescriptor[16] = 3;
    chip->SetString(3, u"SN\u0080");  // the filter hands on the low byte, 0x80
    chip->SetString(chip->deviceDescriptor[14], u"Vantrel\u0080");
    sim::UsbDeviceSpec spec = UsbStack::ChipInterface(chip, 0x0300);
    spec.powerValue = 0;
    m.usb.AddDevice(root, 1, spec);
    m.utility->m_strVID_Indetify = L"7A7D";
    ASSERT_EQ(m.utility->m_USBLib.OpenDev(&m.devList, 0), 0);
    EXPECT_EQ(m.devList.rows[0].m_strSN, L"SN\u20AC");
    EXPECT_EQ(m.devList.rows[0].m_strManufacturer, L"Vantrel\u20AC");
    ASSERT_EQ(m.utility->vInitializeCriticalSection(), ha::TRUE);
    m.devList.rows[0].m_strSN.clear();
    ASSERT_EQ(m.utility->ReEnumrationTargetHub(0), ha::TRUE);
    EXPECT_EQ(m.devList.rows[0].m_strSN, L"SN\u20AC");
}

}  // namespace
