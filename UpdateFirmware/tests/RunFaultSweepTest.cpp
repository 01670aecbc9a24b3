// Fault injection over a whole 2-hub run: one request of one kind fails, at
// a spread of positions among the run's requests of that kind, under several
// scheduler seeds. Whatever fails, the run keeps its promises: a hub reported
// passed holds the new firmware, any failed hub makes the exit code negative,
// the run ends within the coordinator's limit and its grace, and every hub
// can still boot an image with a table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "RunMachine.h"
#include "hubaccess/FilterRequest.h"

namespace {

using run_machine::RunMachine;

#ifdef FW_SANITIZED_BUILD
constexpr int kPositionsPerKind = 3;  // a tenth of the sweep
#else
constexpr int kPositionsPerKind = 25;
#endif
const std::uint64_t kSeeds[] = {0, 11, 4242};
// Coordinator limit (520 passes of 500 ms), its 30 s grace and room for the
// scan and the clean-up.
constexpr std::uint64_t kRunLimitMs = 260'000 + 30'000 + 20'000;

void TwoHubs(RunMachine& m) {
    const int a = m.AddHub(m.root, 1);
    m.AddHub(a, 2);
}

// Requests of each command in an undisturbed run (seed 0), as the kinds test
// below measures them; the positions are spread over these.
const std::map<std::uint32_t, int>& CleanCounts() {
    static const std::map<std::uint32_t, int> counts = {
        {hubaccess::LEGACY_GET_DEVICE_DESCRIPTOR, 4}, {hubaccess::LEGACY_GET_STRING_DESCRIPTOR, 16},
        {hubaccess::CMD_FW_DOWNLOAD, 2564},           {hubaccess::CMD_CONFIG_DOWNLOAD, 32},
        {hubaccess::CMD_REG_READ, 41},                {hubaccess::CMD_REG_WRITE, 24},
        {hubaccess::CMD_CPU_RESET, 2},                {hubaccess::CMD_ROM_READ, 2612},
        {hubaccess::CMD_SPI_BLOCK_ERASE, 8},
    };
    return counts;
}

std::map<std::uint32_t, int> MeasuredCounts() {
    RunMachine m(0);
    TwoHubs(m);
    m.Run();
    std::map<std::uint32_t, int> c;
    for (const auto& e : m.driver.Journal()) ++c[e.Command()];
    return c;
}

class RunFaultSweep : public ::testing::TestWithParam<std::tuple<std::uint32_t, int, std::uint64_t>> {};

// What every run keeps to, whatever one request did.
void ExpectRunPromisesKept(RunMachine& m) {
    const int exitCode = m.dlg.m_iRet.load();
    // Hubs the scan did not find are not the run's; every hub it found and
    // did not pass is a failure.
    bool anyFailed = false;
    for (int t = 0; t < m.dlg.m_devList.nCount; ++t) {
        const auto& row = m.dlg.m_devList.rows[t];
        anyFailed = anyFailed || !(row.m_bUpdateFWResult && row.m_bReloadFWResult);
    }
    for (std::size_t i = 0; i < m.chips.size(); ++i) {
        SCOPED_TRACE(i);
        const int t = m.RowOfChip(i);
        if (t >= 0 && m.dlg.m_devList.rows[t].m_bUpdateFWResult && m.dlg.m_devList.rows[t].m_bReloadFWResult) {
            EXPECT_TRUE(m.HoldsNewFirmware(i, 0));
            EXPECT_TRUE(m.HoldsNewFirmware(i, 1));
        }
        EXPECT_TRUE(m.HasBootableImage(i)) << "hub left without a bootable image and table";
    }
    if (anyFailed) EXPECT_LT(exitCode, 0);
    else EXPECT_EQ(exitCode, 0);
    EXPECT_LE(m.sched.NowMs(), kRunLimitMs);
    EXPECT_EQ(m.dlg.m_MainThreadInfo.ucMainStatus.load(), app::MAIN_THREAD_FINISH);
    EXPECT_EQ(m.cleanup.driverRemoved, 1);
    EXPECT_EQ(m.driver.HangingRequestCount(), 0);
}

// Which of the run's requests of `command` a position stands for.
int SkipFor(std::uint32_t command, int position, int positions) {
    const int total = CleanCounts().count(command) ? CleanCounts().at(command) : 0;
    EXPECT_GT(total, 0) << "no request of command " << command;
    return total < positions ? std::min(position, std::max(total - 1, 0))
                             : static_cast<int>(static_cast<long long>(position) * total / positions);
}

TEST_P(RunFaultSweep, OneFailedRequestNeverPassesABadHubNorBricksOne) {
    const auto [command, position, seed] = GetParam();
    const int skip = SkipFor(command, position, kPositionsPerKind);  // before the machine: it runs one of its own
    RunMachine m(seed);
    TwoHubs(m);
    sim::Fault f;
    f.match.command = command;
    f.kind = sim::FaultKind::GenFailure;
    f.skip = skip;
    m.driver.AddFault(f);
    m.Run();
    ExpectRunPromisesKept(m);
}

// `requests`: how many requests of the kind an undisturbed run makes, when
// fewer than the positions (each is then hit once).
auto Sweep(std::uint32_t command, int requests = kPositionsPerKind) {
    return ::testing::Combine(::testing::Values(command), ::testing::Range(0, std::min(requests, kPositionsPerKind)),
                              ::testing::ValuesIn(kSeeds));
}

std::string Name(const ::testing::TestParamInfo<RunFaultSweep::ParamType>& info) {
    return "at" + std::to_string(std::get<1>(info.param)) + "_seed" + std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(RegisterRead, RunFaultSweep, Sweep(hubaccess::CMD_REG_READ), Name);
INSTANTIATE_TEST_SUITE_P(RegisterWrite, RunFaultSweep, Sweep(hubaccess::CMD_REG_WRITE, 24), Name);
INSTANTIATE_TEST_SUITE_P(BlockErase, RunFaultSweep, Sweep(hubaccess::CMD_SPI_BLOCK_ERASE, 8), Name);
INSTANTIATE_TEST_SUITE_P(ConfigDownload, RunFaultSweep, Sweep(hubaccess::CMD_CONFIG_DOWNLOAD), Name);
INSTANTIATE_TEST_SUITE_P(FirmwareDownload, RunFaultSweep, Sweep(hubaccess::CMD_FW_DOWNLOAD), Name);
INSTANTIATE_TEST_SUITE_P(RomRead, RunFaultSweep, Sweep(hubaccess::CMD_ROM_READ), Name);
INSTANTIATE_TEST_SUITE_P(CpuReset, RunFaultSweep, Sweep(hubaccess::CMD_CPU_RESET, 2), Name);
INSTANTIATE_TEST_SUITE_P(DeviceDescriptor, RunFaultSweep, Sweep(hubaccess::LEGACY_GET_DEVICE_DESCRIPTOR, 4), Name);
INSTANTIATE_TEST_SUITE_P(StringDescriptor, RunFaultSweep, Sweep(hubaccess::LEGACY_GET_STRING_DESCRIPTOR, 16), Name);

TEST(RunFaultSweepKinds, TheSweptKindsAreEveryRequestKindOfARunInTheirNumbers) {
    // Every kind of request a run makes is swept, at positions spread over
    // as many requests as it makes.
    EXPECT_EQ(MeasuredCounts(), CleanCounts());
}

// ---------------------------------------------------------------------------
// Hung requests. One request of the run (counted over every filter request,
// the coordinator's scan included) never completes: it hangs until its own
// limit cancels it, or ignores that cancel too and is abandoned. Separately,
// the run's time-out arrives at one request. After every run: the run ends
// within the coordinator's limit and its grace, no worker is left and no lock
// held, no erase or download starts after the time-out and none that started
// is cut, nothing but the hung request was cancelled, and exit 0 only when
// every hub holds the new image.
//
// CI runs a spread sample; FW_HANG_SWEEP_FULL=1 runs every position of the
// 1-hub run, each as a hang, a hang that ignores the cancel and the time-out
// (by hand: about a minute).

void OneHub(RunMachine& m) { m.AddHub(m.root, 1); }
void ThreeHubs(RunMachine& m) {
    const int a = m.AddHub(m.root, 1);
    m.AddHub(a, 2);
    m.AddHub(m.root, 3);
}
void EightHubs(RunMachine& m) {
    for (std::uint32_t p = 1; p <= 4; ++p) {
        const int parent = m.AddHub(m.root, p);
        m.AddHub(parent, 1);
    }
}
void (*const kTopologies[])(RunMachine&) = {nullptr, OneHub, nullptr, ThreeHubs, nullptr, nullptr, nullptr, nullptr, EightHubs};

// Filter requests of an undisturbed run (seed 0), as the count test measures.
std::uint64_t CleanRequests(int hubs) { return hubs == 1 ? 2652 : hubs == 3 ? 7954 : 21209; }

std::uint64_t RequestsOf(int hubs, std::uint64_t seed) {
    RunMachine m(seed);
    kTopologies[hubs](m);
    m.Run();
    return m.driver.Journal().size();
}

void ExpectHangPromisesKept(RunMachine& m, bool cancelled) {
    SCOPED_TRACE(testing::Message() << "exit " << m.dlg.m_iRet.load() << ", at " << m.sched.NowMs() << " ms");
    ExpectRunPromisesKept(m);
    EXPECT_FALSE(m.dlg.m_bRunGoing.load());
    for (int i = 0; i < app::kMaxChildThreads; ++i) EXPECT_FALSE(m.dlg.m_pChildThread[i]) << "worker " << i << " left";
    EXPECT_EQ(*m.threads.held, 0) << "a lock is still held";
    EXPECT_EQ(m.io.writesStartedAfterCancel, 0);
    EXPECT_EQ(m.io.CutDownloads(m.driver.Journal()), 0);
    EXPECT_EQ(m.driver.CancelCalls(), 0) << "requests cancelled from another thread";
    for (const auto& e : m.driver.Journal())
        if (e.cancelled != sim::JournalEntry::Cancel::None) {
            EXPECT_TRUE(e.faulted) << "request " << e.number << " cancelled";
        }
    if (cancelled) {
        EXPECT_LT(m.dlg.m_iRet.load(), 0);
    }
}

void RunWithHang(int hubs, std::uint64_t request, bool ignoresCancel, std::uint64_t seed) {
    SCOPED_TRACE(testing::Message() << hubs << " hubs, request " << request << (ignoresCancel ? " ignoring" : "")
                                    << ", seed " << seed);
    RunMachine m(seed);
    kTopologies[hubs](m);
    sim::Fault f;
    f.match.requestNumber = request;
    f.kind = ignoresCancel ? sim::FaultKind::HangIgnoringCancel : sim::FaultKind::Hang;
    const sim::Fault& added = m.driver.AddFault(f);
    m.Run();
    ExpectHangPromisesKept(m, false);
    EXPECT_EQ(m.driver.AbandonedRequestCount(), ignoresCancel && added.hits == 1 ? 1 : 0);
}

void RunWithTimeOutAt(int hubs, std::uint64_t request, std::uint64_t seed) {
    SCOPED_TRACE(testing::Message() << hubs << " hubs, time-out at request " << request << ", seed " << seed);
    RunMachine m(seed);
    kTopologies[hubs](m);
    m.io.cancelAtRequest = request;
    m.Run();
    ExpectHangPromisesKept(m, true);
}

#ifdef FW_SANITIZED_BUILD
constexpr int kHangSlots[] = {0, 4, 0, 2, 0, 0, 0, 0, 1};
constexpr int kTimeOutSlots = 2;
#else
constexpr int kHangSlots[] = {0, 24, 0, 12, 0, 0, 0, 0, 6};
constexpr int kTimeOutSlots = 12;
#endif
const std::uint64_t kHangSeeds[] = {0, 11, 4242};

// (hubs, slot): slots are spread over the run's requests, the first and the
// last included; odd slots ignore the cancel; seeds take turns.
class RunHangSweep : public ::testing::TestWithParam<std::tuple<int, int>> {};

std::uint64_t Spread(int slot, int slots, std::uint64_t total) {
    return slots <= 1 ? 1 : 1 + static_cast<std::uint64_t>(slot) * (total - 1) / static_cast<std::uint64_t>(slots - 1);
}

TEST_P(RunHangSweep, AHungRequestEndsAtItsLimitAndTheRunKeepsItsPromises) {
    const auto [hubs, slot] = GetParam();
    RunWithHang(hubs, Spread(slot, kHangSlots[hubs], CleanRequests(hubs)), slot % 2 == 1, kHangSeeds[slot % 3]);
}

std::vector<std::tuple<int, int>> HangParams() {
    std::vector<std::tuple<int, int>> params;
    for (int hubs : {1, 3, 8})
        for (int slot = 0; slot < kHangSlots[hubs]; ++slot) params.emplace_back(hubs, slot);
    return params;
}
INSTANTIATE_TEST_SUITE_P(Spread, RunHangSweep, ::testing::ValuesIn(HangParams()),
                         [](const ::testing::TestParamInfo<RunHangSweep::ParamType>& info) {
                             return std::to_string(std::get<0>(info.param)) + "hubs_slot" +
                                    std::to_string(std::get<1>(info.param));
                         });

// The run's time-out at spread requests of the 3-hub run.
class RunTimeOutSweep : public ::testing::TestWithParam<int> {};

TEST_P(RunTimeOutSweep, TheTimeOutStartsNoWriteAndCutsNone) {
    const int slot = GetParam();
    RunWithTimeOutAt(3, Spread(slot, kTimeOutSlots, CleanRequests(3)), kHangSeeds[slot % 3]);
}
INSTANTIATE_TEST_SUITE_P(Spread, RunTimeOutSweep, ::testing::Range(0, kTimeOutSlots));

TEST(RunHangSweepCounts, TheSpreadCoversTheRunsRequestsInTheirNumber) {
    for (int hubs : {1, 3, 8}) EXPECT_EQ(RequestsOf(hubs, 0), CleanRequests(hubs)) << hubs << " hubs";
}

// By hand: FW_HANG_SWEEP_FULL=1 core_tests --gtest_filter='RunHangSweepFull.*'
TEST(RunHangSweepFull, EveryRequestOfAOneHubRun) {
    if (std::getenv("FW_HANG_SWEEP_FULL") == nullptr) GTEST_SKIP() << "set FW_HANG_SWEEP_FULL=1";
    const std::uint64_t total = CleanRequests(1);
    for (std::uint64_t request = 1; request <= total; ++request) {
        RunWithHang(1, request, false, 0);
        RunWithHang(1, request, true, 0);
        RunWithTimeOutAt(1, request, 0);
        if (testing::Test::HasFailure()) return;
    }
}

}  // namespace
