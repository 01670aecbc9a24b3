// Fault injection over a whole 2-hub run: one request of one kind fails, at
// a spread of positions among the run's requests of that kind, under several
// scheduler seeds. Whatever fails, the run keeps its promises: a hub reported
// passed holds the new firmware, any failed hub makes the exit code negative,
// the run ends within the coordinator's limit and its grace, and every hub
// can still boot an image with a table.
#include <gtest/gtest.h>

#include <algorithm>
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
constexpr int kHangPositions = 1;
#else
constexpr int kPositionsPerKind = 25;
constexpr int kHangPositions = 3;
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

// A request that never completes: the run times out, cancels it and ends
// within its grace.
class RunHangSweep : public ::testing::TestWithParam<std::tuple<std::uint32_t, int, std::uint64_t>> {};

TEST_P(RunHangSweep, AHungRequestIsCancelledAndTheRunEndsInTime) {
    const auto [command, position, seed] = GetParam();
    const int skip = SkipFor(command, position, kHangPositions);  // before the machine: it runs one of its own
    RunMachine m(seed);
    TwoHubs(m);
    sim::Fault f;
    f.match.command = command;
    f.kind = sim::FaultKind::Hang;
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

auto HangAt(std::uint32_t command) {
    return ::testing::Combine(::testing::Values(command), ::testing::Range(0, kHangPositions), ::testing::ValuesIn(kSeeds));
}
std::string HangName(const ::testing::TestParamInfo<RunHangSweep::ParamType>& info) {
    return "at" + std::to_string(std::get<1>(info.param)) + "_seed" + std::to_string(std::get<2>(info.param));
}
INSTANTIATE_TEST_SUITE_P(FirmwareDownload, RunHangSweep, HangAt(hubaccess::CMD_FW_DOWNLOAD), HangName);
INSTANTIATE_TEST_SUITE_P(ConfigDownload, RunHangSweep, HangAt(hubaccess::CMD_CONFIG_DOWNLOAD), HangName);
INSTANTIATE_TEST_SUITE_P(RomRead, RunHangSweep, HangAt(hubaccess::CMD_ROM_READ), HangName);
INSTANTIATE_TEST_SUITE_P(BlockErase, RunHangSweep, HangAt(hubaccess::CMD_SPI_BLOCK_ERASE), HangName);
INSTANTIATE_TEST_SUITE_P(CpuReset, RunHangSweep, HangAt(hubaccess::CMD_CPU_RESET), HangName);

TEST(RunFaultSweepKinds, TheSweptKindsAreEveryRequestKindOfARunInTheirNumbers) {
    // Every kind of request a run makes is swept, at positions spread over
    // as many requests as it makes.
    EXPECT_EQ(MeasuredCounts(), CleanCounts());
}

}  // namespace
