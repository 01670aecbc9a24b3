// What the simulated devices offer tests of several workers: device calls as
// seeded scheduling points, pending requests that keep the port's limit,
// exclusive filter objects, resets that bring a hub back as a new device
// instance, devcon's one-device restart and the WDF key only USB 3.x hubs get.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/Win32Errors.h"
#include "sim/FilterDriver.h"
#include "sim/FilterWire.h"
#include "sim/Scheduler.h"
#include "sim/SimSystem.h"
#include "sim/UsbStack.h"

namespace {

using platform::Handle;
using sim::UsbStack;
namespace fw = sim::filterwire;

const std::wstring kControllerPath =
    L"\\\\?\\pci#ven_8086&dev_a12f&subsys_50071458&rev_31#3&11583659&0&a0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";

// A 4-byte register read of 0x7F0 in the new layout.
std::vector<std::uint8_t> RegisterRead() {
    std::vector<std::uint8_t> block(fw::kBlockSize, 0);
    const std::uint32_t words[6] = {500, fw::kVendorRequestType, 0, fw::kCmdRegisterRead, 0, 0x7F0};
    for (int i = 0; i < 6; ++i)
        for (int b = 0; b < 4; ++b) block[4 * i + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
    return block;
}

platform::IoctlResult Read(platform::DeviceIo& io, Handle h) {
    std::vector<std::uint8_t> in = RegisterRead();
    std::uint8_t out[4] = {};
    return io.DeviceIoControl(h, fw::kIoctlRead, in.data(), static_cast<std::uint32_t>(in.size()), out, sizeof out);
}

struct Machine {
    explicit Machine(std::uint64_t seed = 0) : sched(Options(seed)) {
        registry.SetMultiString(UsbStack::kUsbClassKey, L"UpperFilters", {L"vntlfilter"});
        sim::HostControllerSpec c;
        c.interfacePath = kControllerPath;
        c.rootPorts = 4;
        root = usb.AddHostController(c).rootHub;
    }
    static sim::Scheduler::Options Options(std::uint64_t seed) {
        sim::Scheduler::Options o;
        o.seed = seed;
        return o;
    }
    int AddChip(std::uint32_t port, std::shared_ptr<sim::HubChip> chip, std::uint16_t bcdUSB = 0x0300) {
        return usb.AddDevice(root, port, UsbStack::ChipInterface(std::move(chip), bcdUSB));
    }

    sim::Scheduler sched;
    sim::FilterDriver driver{sched};
    sim::SimRegistry registry;
    UsbStack usb{sched, driver, &registry};
    int root = -1;
};

// Two workers each send 20 requests to their own hub; which device each
// journal entry names gives the interleaving.
std::wstring Interleaving(std::uint64_t seed, std::uint64_t* preemptions) {
    Machine m(seed);
    const std::wstring a = m.usb.FilterObjectName(m.AddChip(1, std::make_shared<sim::HubChip>()));
    const std::wstring b = m.usb.FilterObjectName(m.AddChip(2, std::make_shared<sim::HubChip>()));
    m.sched.Run([&] {
        auto worker = [&](const std::wstring& name) {
            const Handle h = m.usb.CreateFile(name, platform::DeviceOpenMode::Filter).handle;
            for (int i = 0; i < 20; ++i) Read(m.usb, h);
            m.usb.CloseHandle(h);
        };
        auto t1 = m.sched.Start([&] { worker(a); }, platform::ThreadPriority::Normal, "a");
        auto t2 = m.sched.Start([&] { worker(b); }, platform::ThreadPriority::Normal, "b");
        t1->Join(platform::kInfinite);
        t2->Join(platform::kInfinite);
    });
    std::wstring order;
    for (const sim::JournalEntry& e : m.driver.Journal()) order += e.device == a ? L'a' : L'b';
    *preemptions = m.sched.PreemptionCount();
    return order;
}

TEST(DeviceConcurrencyTest, DeviceCallsAreSeededSchedulingPoints) {
    std::uint64_t preemptions = 0;
    const std::wstring fifo = Interleaving(0, &preemptions);
    EXPECT_EQ(fifo, std::wstring(20, L'a') + std::wstring(20, L'b'));  // seed 0: no switch at device calls
    EXPECT_EQ(preemptions, 0u);

    int mixed = 0;
    for (std::uint64_t seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE(seed);
        std::uint64_t first = 0, again = 0;
        const std::wstring order = Interleaving(seed, &first);
        EXPECT_EQ(Interleaving(seed, &again), order);  // a seed replays the same way
        EXPECT_EQ(first, again);
        mixed += order.find(L"ab") != std::wstring::npos && order.find(L"ba") != std::wstring::npos ? 1 : 0;
    }
    EXPECT_GE(mixed, 8);
}

// Pending requests keep the port's limit: a cancel of the handle ends every
// request pending on it, a request at its limit cancels only itself, one the
// driver never completes is abandoned with its handle closed, and a request
// slower than its block's dwTimeout but within the limit completes.
TEST(DeviceConcurrencyTest, PendingRequestsEndAsThePortPromises) {
    using K = sim::FaultKind;
    using S = platform::IoctlStatus;
    using C = sim::JournalEntry::Cancel;
    constexpr std::uint32_t kLimit = platform::kFilterRequestLimitMs;
    struct Case {
        const char* name;
        K kind;
        std::uint32_t delayMs;
        std::uint32_t cancelAtMs;  // CancelIoEx on the handle (0: none)
        std::uint32_t closeAtMs;   // CloseHandle (0: none)
        S status;
        std::uint32_t error;
        std::uint64_t endMs;
        C cancelled;
        bool abandoned;
    };
    const Case cases[] = {
        {"hang cancelled by its handle", K::Hang, 0, 6000, 0, S::PendingThenFailed, platform::kErrorOperationAborted,
         6000, C::ByHandle, false},
        {"hang ended by closing", K::Hang, 0, 0, 100, S::PendingThenFailed, platform::kErrorOperationAborted, 100,
         C::ByHandle, false},
        {"hang at its limit", K::Hang, 0, 0, 0, S::TimedOut, platform::kErrorTimeout, kLimit, C::ByItself, false},
        {"hang ignoring every cancel", K::HangIgnoringCancel, 0, 6000, 0, S::TimedOut, platform::kErrorTimeout,
         kLimit + platform::kCancelCompletionWaitMs, C::ByItself, true},
        {"slower than dwTimeout", K::Slow, 3000, 0, 0, S::CompletedAfterPending, 0, 3000, C::None, false},
        {"slow, cancelled", K::Slow, 3000, 1000, 0, S::PendingThenFailed, platform::kErrorOperationAborted, 1000,
         C::ByHandle, false},
        {"slow past its limit", K::Slow, kLimit + 1, 0, 0, S::TimedOut, platform::kErrorTimeout, kLimit, C::ByItself,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Machine m;
        const std::wstring name = m.usb.FilterObjectName(m.AddChip(1, std::make_shared<sim::HubChip>()));
        sim::Fault f;
        f.kind = c.kind;
        f.delayMs = c.delayMs;
        m.driver.AddFault(f);
        platform::IoctlResult r, after;
        std::uint64_t end = 0;
        bool cancelledBeforeStart = true, closedByCaller = false;
        m.sched.Run([&] {
            const Handle h = m.usb.CreateFile(name, platform::DeviceOpenMode::Filter).handle;
            const Handle other = m.usb.CreateFile(name, platform::DeviceOpenMode::Filter).handle;
            cancelledBeforeStart = m.usb.CancelIoEx(h);  // nothing in flight yet
            auto helper = m.sched.Start([&] {
                if (c.cancelAtMs) {
                    m.sched.Sleep(c.cancelAtMs);
                    EXPECT_FALSE(m.usb.CancelIoEx(other));  // nothing pending there
                    EXPECT_TRUE(m.usb.CancelIoEx(h));
                }
                if (c.closeAtMs) {
                    m.sched.Sleep(c.closeAtMs);
                    m.usb.CloseHandle(h);
                }
            }, platform::ThreadPriority::Normal, "helper");
            r = Read(m.usb, h);
            end = m.sched.NowMs();
            helper->Join(platform::kInfinite);
            if (!c.closeAtMs) {
                after = Read(m.usb, h);  // the fault is spent: an abandoned handle is closed
                closedByCaller = m.usb.CloseHandle(h);
            }
            m.usb.CloseHandle(other);
        });
        EXPECT_FALSE(cancelledBeforeStart);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.abandoned, c.abandoned);
        EXPECT_EQ(end, c.endMs);
        ASSERT_FALSE(m.driver.Journal().empty());
        EXPECT_EQ(m.driver.Journal().front().cancelled, c.cancelled);
        if (!c.closeAtMs) {
            EXPECT_EQ(after.Succeeded(), !c.abandoned);
            if (c.abandoned) {
                EXPECT_EQ(after.error, platform::kErrorInvalidHandle);
            }
            EXPECT_TRUE(closedByCaller);
        }
        EXPECT_EQ(m.driver.AbandonedRequestCount(), c.abandoned ? 1 : 0);
        EXPECT_EQ(m.driver.HangingRequestCount(), 0);
        EXPECT_EQ(m.driver.OpenHandleCount(), 0);
    }
}

// A request at its limit cancels itself only: another request pending on
// the same handle goes on to complete.
TEST(DeviceConcurrencyTest, ARequestAtItsLimitLeavesTheHandlesOtherRequests) {
    Machine m;
    const std::wstring name = m.usb.FilterObjectName(m.AddChip(1, std::make_shared<sim::HubChip>()));
    sim::Fault hang;
    hang.kind = sim::FaultKind::Hang;
    m.driver.AddFault(hang);
    platform::IoctlResult hung, slow;
    std::uint64_t slowEnd = 0;
    m.sched.Run([&] {
        const Handle h = m.usb.CreateFile(name, platform::DeviceOpenMode::Filter).handle;
        auto second = m.sched.Start([&] {
            m.sched.Sleep(5000);
            sim::Fault f;
            f.kind = sim::FaultKind::Slow;
            f.delayMs = 9000;
            m.driver.AddFault(f);
            slow = Read(m.usb, h);
            slowEnd = m.sched.NowMs();
        }, platform::ThreadPriority::Normal, "second");
        hung = Read(m.usb, h);
        second->Join(platform::kInfinite);
        m.usb.CloseHandle(h);
    });
    EXPECT_EQ(hung.status, platform::IoctlStatus::TimedOut);
    EXPECT_EQ(slow.status, platform::IoctlStatus::CompletedAfterPending);
    EXPECT_EQ(slowEnd, 14000u);
    EXPECT_EQ(m.driver.CancelCalls(), 0);
}

TEST(DeviceConcurrencyTest, ExclusiveObjectRefusesASecondOpen) {
    Machine m;
    const std::wstring shared = m.usb.FilterObjectName(m.AddChip(1, std::make_shared<sim::HubChip>()));
    const std::wstring only = m.usb.FilterObjectName(m.AddChip(2, std::make_shared<sim::HubChip>()));
    m.driver.SetExclusive(only, true);
    const auto open = [&](const std::wstring& n) { return m.usb.CreateFile(n, platform::DeviceOpenMode::Filter); };

    const platform::DeviceOpenResult s1 = open(shared), s2 = open(shared);
    EXPECT_TRUE(s1.handle.IsValid() && s2.handle.IsValid());
    const platform::DeviceOpenResult o1 = open(only), o2 = open(only);
    EXPECT_TRUE(o1.handle.IsValid());
    EXPECT_FALSE(o2.handle.IsValid());
    EXPECT_EQ(o2.error, platform::kErrorSharingViolation);
    m.usb.CloseHandle(o1.handle);
    EXPECT_TRUE(open(only).handle.IsValid());

    m.driver.SetExclusiveByDefault(true);
    EXPECT_EQ(open(shared).error, platform::kErrorSharingViolation);
}

TEST(DeviceConcurrencyTest, ResetAsNewInstanceAndOneDeviceRestart) {
    Machine m;
    auto chip = std::make_shared<sim::HubChip>();
    auto twinChip = std::make_shared<sim::HubChip>();
    sim::UsbDeviceSpec spec = UsbStack::ChipInterface(chip, 0x0300);
    spec.newInstanceOnReset = true;
    const int hub = m.usb.AddDevice(m.root, 1, spec);
    const int twin = m.AddChip(2, twinChip);
    const int usb2 = m.AddChip(3, std::make_shared<sim::HubChip>(), 0x0210);

    // WDF keys: a USB 3.x hub has one, a USB 2.0 hub none.
    const auto wdfOf = [&](int node) {
        const std::wstring id = m.usb.InstanceId(node);
        return L"SYSTEM\\CurrentControlSet\\Enum\\" + id + L"\\Device Parameters\\WDF";
    };
    EXPECT_TRUE(m.registry.HasKey(wdfOf(hub)));
    EXPECT_FALSE(m.registry.HasKey(wdfOf(usb2)));

    const std::wstring oldName = m.usb.Name(hub), oldId = m.usb.InstanceId(hub), oldKey = m.usb.DriverKey(hub);
    EXPECT_EQ(oldId.rfind(L"USB\\VID_7A7D&PID_3262\\", 0), 0u);
    chip->OnCpuReset();
    twinChip->OnCpuReset();
    m.sched.Sleep(1500);
    EXPECT_TRUE(m.usb.IsPresent(hub));
    EXPECT_NE(m.usb.Name(hub), oldName);
    EXPECT_NE(m.usb.InstanceId(hub), oldId);
    EXPECT_NE(m.usb.DriverKey(hub), oldKey);
    EXPECT_TRUE(m.registry.HasKey(wdfOf(hub)));
    EXPECT_EQ(m.usb.InstanceId(hub).substr(0, 22), oldId.substr(0, 22));  // same VID and PID
    EXPECT_EQ(m.usb.Name(twin).find(L"#7&"), std::wstring::npos);       // the other kept its instance

    // devcon "@<instance id>" restarts that device alone, whatever its twins.
    platform::ProcessRunResult r =
        m.usb.StartAndWait(sim::DevconChild(L"Restart @" + m.usb.InstanceId(twin)), 12000000);
    EXPECT_TRUE(r.started);
    EXPECT_EQ(m.usb.Journal().back().restarted, (std::vector<int>{twin}));
}

}  // namespace
