// Fault injection over a whole 2-hub run (hub 0 boots image 0, hub 1 boots
// image 1): one request of one kind fails, is dropped or altered by the chip
// while the driver reports success, or answers altered, at a spread of
// positions among the run's requests of that kind, under several scheduler
// seeds; then two such faults at once. Whatever happens, the run keeps its
// promises: no exit 0 and no passed hub unless both images of every hub hold
// the prepared firmware area and the expected table; any failed hub makes the
// exit code negative; the run ends within the coordinator's limit and its
// grace; after one fault every chip boots a valid firmware of its own with
// its own or the default table, after two every chip still has a bootable
// image; a chip whose ROM read value 1 reads image 0 never passes without
// the record that image 1's firmware is not verified. The single faults run
// also on one hub in states an earlier run may have left (image 0's download
// cut, both images written but never reset, value 1 reading image 0, images
// holding different old versions).
//
// CI runs a spread sample; FW_FULL_SWEEP=1 in the environment runs the full
// sweep (by hand: many more positions and fault pairs).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "RunMachine.h"
#include "app/RunRules.h"
#include "hubaccess/FilterRequest.h"

namespace {

using run_machine::RunMachine;
using sim::FaultKind;

using run_machine::FullSweep;

#ifdef FW_SANITIZED_BUILD
const int kPositionsPerKind = FullSweep() ? 25 : 2;  // a tenth of the sample
const int kFaultPairs = FullSweep() ? 60 : 6;
const std::vector<std::uint64_t> kSeeds = {0, 11};
#else
const int kPositionsPerKind = FullSweep() ? 120 : 12;
const int kFaultPairs = FullSweep() ? 600 : 60;
const std::vector<std::uint64_t> kSeeds = {0, 11, 4242};
#endif
// Coordinator limit (520 passes of 500 ms), its 30 s grace, the wait for a
// table step under way and room for the scan and the clean-up.
constexpr std::uint64_t kRunLimitMs = 260'000 + 30'000 + 20'000 + app::kTableStepWorstMs;

void TwoHubs(RunMachine& m) {
    const int a = m.AddHub(m.root, 1);
    m.AddHub(a, 2);
    m.BootFromImage1(1);
}

// Versions one altered byte turns into another meaning (byte 4, bit 0): hub
// 0 one version behind the file (altered: current), hub 1 one bit from a
// legacy version (altered: legacy, which would skip the read-back).
const sim::HubChip::Version kBehindFile{0x14, 0x04, 0x15, 0x03, 0xE4, 0x00};
const sim::HubChip::Version kBesideLegacy{0x12, 0x10, 0x30, 0x00, 0x01, 0x00};
void NearVersions(RunMachine& m) {
    const sim::HubChip::Version versions[] = {kBehindFile, kBesideLegacy};
    for (std::size_t i = 0; i < 2; ++i) {
        m.chips[i]->RegisterImageVersion(m.oldImage, versions[i]);
        m.chips[i]->SetVersion(versions[i]);
    }
}

// Requests of each command in an undisturbed run (seed 0), as the kinds test
// below measures them; the positions are spread over these.
const std::map<std::uint32_t, int>& CleanCounts() {
    static const std::map<std::uint32_t, int> counts = {
        {hubaccess::LEGACY_GET_DEVICE_DESCRIPTOR, 4}, {hubaccess::LEGACY_GET_STRING_DESCRIPTOR, 16},
        {hubaccess::CMD_FW_DOWNLOAD, 2564},           {hubaccess::CMD_CONFIG_DOWNLOAD, 32},
        {hubaccess::CMD_REG_READ, 50},                {hubaccess::CMD_REG_WRITE, 24},
        {hubaccess::CMD_CPU_RESET, 2},                {hubaccess::CMD_ROM_READ, 3934},
        {hubaccess::CMD_SPI_BLOCK_ERASE, 8},
    };
    return counts;
}

// Requests of one command at one address (dwIndex) in that run: the version
// block, and the first block of the firmware area (which chooses the write
// order, tells whether value 1 is mapped, and starts every area read).
constexpr std::uint32_t kVersionBlock = 0x7F0;
constexpr std::uint32_t kAreaFirstBlock = 0x100;
const std::map<std::pair<std::uint32_t, std::uint32_t>, int>& CleanCountsAt() {
    static const std::map<std::pair<std::uint32_t, std::uint32_t>, int> counts = {
        {{hubaccess::CMD_REG_READ, kVersionBlock}, 12},
        {{hubaccess::CMD_ROM_READ, kAreaFirstBlock}, 14},
    };
    return counts;
}

std::map<std::uint32_t, int> MeasuredCounts(std::map<std::pair<std::uint32_t, std::uint32_t>, int>* at = nullptr) {
    RunMachine m(0);
    TwoHubs(m);
    NearVersions(m);
    m.Run();
    std::map<std::uint32_t, int> c;
    for (const auto& e : m.driver.Journal()) {
        ++c[e.Command()];
        if (at != nullptr && CleanCountsAt().count({e.Command(), e.Index()})) ++(*at)[{e.Command(), e.Index()}];
    }
    return c;
}

// One fault: a request kind (at one address when given) and what happens to it.
struct FaultSpec {
    std::uint32_t command;
    FaultKind kind;
    std::uint32_t address = 0;  // 0: any
    std::uint32_t alterAt = 7;
    std::uint8_t alterXor = 0x10;
};

void PrintTo(const FaultSpec& s, std::ostream* os) {
    *os << "command 0x" << std::hex << s.command << " kind " << std::dec << static_cast<int>(s.kind);
    if (s.address != 0) *os << " at 0x" << std::hex << s.address << std::dec;
    if (s.kind == FaultKind::AlterWrite || s.kind == FaultKind::AlterReply)
        *os << " byte " << s.alterAt << " xor 0x" << std::hex << static_cast<int>(s.alterXor) << std::dec;
}

// What the chips hold before the run, to judge what they hold after it.
struct Before {
    std::vector<std::vector<std::uint8_t>> tables;
    std::vector<int> bootImages;
    std::vector<std::array<std::vector<std::uint8_t>, 2>> areas;  // both firmware areas
};

Before TakeBefore(const RunMachine& m) {
    Before b;
    for (std::size_t i = 0; i < m.chips.size(); ++i) {
        b.tables.push_back(m.OwnTable(i));
        b.bootImages.push_back(m.BootImage(i));
        b.areas.push_back({m.chips[i]->FirmwareArea(0), m.chips[i]->FirmwareArea(1)});
    }
    return b;
}

// What every run keeps to, whatever `faults` requests did.
void ExpectRunPromisesKept(RunMachine& m, const Before& before, int faults) {
    const int exitCode = m.dlg.m_iRet.load();
    // Hubs the scan did not find are not the run's; every hub it found and
    // did not pass is a failure.
    bool anyFailed = false;
    for (int t = 0; t < m.dlg.m_devList.nCount; ++t) {
        const auto& row = m.dlg.m_devList.rows[t];
        anyFailed = anyFailed || !(row.m_bUpdateFWResult && row.m_bReloadFWResult);
    }
    const std::vector<std::uint8_t> defaultTable = m.DefaultTable();
    for (std::size_t i = 0; i < m.chips.size(); ++i) {
        SCOPED_TRACE(i);
        const sim::HubChip& chip = *m.chips[i];
        const int t = m.RowOfChip(i);
        // A hub the scan did not find is not the run's (it cannot know of it).
        const bool passed =
            t >= 0 && m.dlg.m_devList.rows[t].m_bUpdateFWResult && m.dlg.m_devList.rows[t].m_bReloadFWResult;
        if (passed || (t >= 0 && exitCode == 0)) {
            EXPECT_TRUE(m.HoldsNewFirmware(i, 0));
            if (!chip.romReadIgnoresImageValue) {
                EXPECT_TRUE(m.HoldsNewFirmware(i, 1));
            }
            EXPECT_EQ(chip.ConfigBlock(0), before.tables[i]);
            EXPECT_EQ(chip.ConfigBlock(1), before.tables[i]);
        }
        if (faults == 1) {
            // The image the chip booted is never the one written first.
            for (const auto& d : chip.downloads)
                if (d.command == hubaccess::CMD_FW_DOWNLOAD) {
                    EXPECT_NE(static_cast<int>(d.image), before.bootImages[i]) << "the booted image written first";
                    break;
                }
            // The chip runs a valid firmware of its own (the prepared one, or
            // one it held) with a table it can use.
            const int boot = m.BootImage(i);
            ASSERT_GE(boot, 0) << "no valid firmware left";
            const auto& table = chip.ConfigBlock(boot);
            EXPECT_TRUE(table == before.tables[i] || table == defaultTable) << "image " << boot << "'s table damaged";
            const auto& area = chip.FirmwareArea(boot);
            EXPECT_TRUE(m.HoldsNewFirmware(i, boot) || area == before.areas[i][0] || area == before.areas[i][1])
                << "image " << boot << " boots a firmware that is not its own";
        }
        // Value 1 reads image 0: image 1 never passes as verified.
        if (passed && chip.romReadIgnoresImageValue) {
            EXPECT_GE(m.NotVerifiedRecords(t), 1) << "image 1 passed as verified";
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

// Requests of the kind in the undisturbed run.
int CleanCountOf(const FaultSpec& spec) {
    if (spec.address != 0) {
        const auto it = CleanCountsAt().find({spec.command, spec.address});
        return it == CleanCountsAt().end() ? 0 : it->second;
    }
    return CleanCounts().count(spec.command) ? CleanCounts().at(spec.command) : 0;
}

// Which of the run's requests of the kind a position stands for.
int SkipFor(const FaultSpec& spec, int position, int positions) {
    const int total = CleanCountOf(spec);
    EXPECT_GT(total, 0) << "no request of command " << spec.command;
    return total < positions ? std::min(position, std::max(total - 1, 0))
                             : static_cast<int>(static_cast<long long>(position) * total / positions);
}

sim::Fault MakeFault(const FaultSpec& spec, int skip) {
    sim::Fault f;
    f.match.command = spec.command;
    if (spec.address != 0) f.match.address = spec.address;
    f.kind = spec.kind;
    f.alterAt = spec.alterAt;
    f.alterXor = spec.alterXor;
    f.skip = skip;
    return f;
}

class RunFaultSweep : public ::testing::TestWithParam<std::tuple<FaultSpec, int, std::uint64_t>> {};

TEST_P(RunFaultSweep, OneFaultNeverPassesABadHubNorBricksOne) {
    const auto [spec, position, seed] = GetParam();
    const int skip = SkipFor(spec, position, kPositionsPerKind);  // before the machine: it runs one of its own
    RunMachine m(seed);
    TwoHubs(m);
    NearVersions(m);
    const Before before = TakeBefore(m);
    m.driver.AddFault(MakeFault(spec, skip));
    m.Run();
    ExpectRunPromisesKept(m, before, 1);
}

// The faults that touch the flash or what is read of it, for the pairs.
const std::vector<FaultSpec>& PairKinds() {
    static const std::vector<FaultSpec> kinds = {
        {hubaccess::CMD_FW_DOWNLOAD, FaultKind::GenFailure},     {hubaccess::CMD_FW_DOWNLOAD, FaultKind::DropWrite},
        {hubaccess::CMD_FW_DOWNLOAD, FaultKind::AlterWrite},     {hubaccess::CMD_CONFIG_DOWNLOAD, FaultKind::GenFailure},
        {hubaccess::CMD_CONFIG_DOWNLOAD, FaultKind::DropWrite},  {hubaccess::CMD_CONFIG_DOWNLOAD, FaultKind::AlterWrite},
        {hubaccess::CMD_SPI_BLOCK_ERASE, FaultKind::DropWrite},  {hubaccess::CMD_ROM_READ, FaultKind::GenFailure},
        {hubaccess::CMD_ROM_READ, FaultKind::AlterReply},        {hubaccess::CMD_REG_READ, FaultKind::AlterReply},
        {hubaccess::CMD_REG_READ, FaultKind::AlterReply, kVersionBlock, 4, 0x01},
        {hubaccess::CMD_ROM_READ, FaultKind::AlterReply, kAreaFirstBlock, 1, 0x10},
    };
    return kinds;
}

class RunFaultPairSweep : public ::testing::TestWithParam<int> {};

TEST_P(RunFaultPairSweep, TwoFaultsStillLeaveEveryHubBootable) {
    // A fixed pseudo-random spread of kinds and positions per pair.
    std::uint64_t state = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(GetParam() + 1);
    const auto next = [&state](int n) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<int>((state >> 33) % static_cast<std::uint64_t>(n));
    };
    const int kinds = static_cast<int>(PairKinds().size());
    const FaultSpec a = PairKinds()[next(kinds)], b = PairKinds()[next(kinds)];
    const int skipA = next(CleanCountOf(a)), skipB = next(CleanCountOf(b));
    SCOPED_TRACE(testing::Message() << "command " << a.command << " kind " << static_cast<int>(a.kind) << " at "
                                    << a.address << " skip " << skipA << "; command " << b.command << " kind "
                                    << static_cast<int>(b.kind) << " at " << b.address << " skip " << skipB);
    RunMachine m(kSeeds[static_cast<std::size_t>(GetParam()) % kSeeds.size()]);
    TwoHubs(m);
    NearVersions(m);
    const Before before = TakeBefore(m);
    m.driver.AddFault(MakeFault(a, skipA));
    m.driver.AddFault(MakeFault(b, skipB));
    m.Run();
    ExpectRunPromisesKept(m, before, 2);
}

// Positions spread over the run's requests of the kind (each one when it
// makes fewer), under every seed.
auto Sweep(std::uint32_t command, FaultKind kind = FaultKind::GenFailure, std::uint32_t address = 0,
           std::uint32_t alterAt = 7, std::uint8_t alterXor = 0x10) {
    const FaultSpec spec{command, kind, address, alterAt, alterXor};
    const int requests = CleanCountOf(spec);
    return ::testing::Combine(::testing::Values(spec),
                              ::testing::Range(0, std::min(requests, kPositionsPerKind)), ::testing::ValuesIn(kSeeds));
}

std::string Name(const ::testing::TestParamInfo<RunFaultSweep::ParamType>& info) {
    return "at" + std::to_string(std::get<1>(info.param)) + "_seed" + std::to_string(std::get<2>(info.param));
}

INSTANTIATE_TEST_SUITE_P(RegisterRead, RunFaultSweep, Sweep(hubaccess::CMD_REG_READ), Name);
INSTANTIATE_TEST_SUITE_P(RegisterWrite, RunFaultSweep, Sweep(hubaccess::CMD_REG_WRITE), Name);
INSTANTIATE_TEST_SUITE_P(BlockErase, RunFaultSweep, Sweep(hubaccess::CMD_SPI_BLOCK_ERASE), Name);
INSTANTIATE_TEST_SUITE_P(ConfigDownload, RunFaultSweep, Sweep(hubaccess::CMD_CONFIG_DOWNLOAD), Name);
INSTANTIATE_TEST_SUITE_P(FirmwareDownload, RunFaultSweep, Sweep(hubaccess::CMD_FW_DOWNLOAD), Name);
INSTANTIATE_TEST_SUITE_P(RomRead, RunFaultSweep, Sweep(hubaccess::CMD_ROM_READ), Name);
INSTANTIATE_TEST_SUITE_P(CpuReset, RunFaultSweep, Sweep(hubaccess::CMD_CPU_RESET), Name);
INSTANTIATE_TEST_SUITE_P(DeviceDescriptor, RunFaultSweep, Sweep(hubaccess::LEGACY_GET_DEVICE_DESCRIPTOR), Name);
INSTANTIATE_TEST_SUITE_P(StringDescriptor, RunFaultSweep, Sweep(hubaccess::LEGACY_GET_STRING_DESCRIPTOR), Name);
// The chip loses or changes what it was sent while the driver reports success.
INSTANTIATE_TEST_SUITE_P(DroppedErase, RunFaultSweep, Sweep(hubaccess::CMD_SPI_BLOCK_ERASE, FaultKind::DropWrite), Name);
INSTANTIATE_TEST_SUITE_P(DroppedTableChunk, RunFaultSweep, Sweep(hubaccess::CMD_CONFIG_DOWNLOAD, FaultKind::DropWrite), Name);
INSTANTIATE_TEST_SUITE_P(AlteredTableChunk, RunFaultSweep, Sweep(hubaccess::CMD_CONFIG_DOWNLOAD, FaultKind::AlterWrite), Name);
INSTANTIATE_TEST_SUITE_P(DroppedFirmwareChunk, RunFaultSweep, Sweep(hubaccess::CMD_FW_DOWNLOAD, FaultKind::DropWrite), Name);
INSTANTIATE_TEST_SUITE_P(AlteredFirmwareChunk, RunFaultSweep, Sweep(hubaccess::CMD_FW_DOWNLOAD, FaultKind::AlterWrite), Name);
// A reply comes back changed.
INSTANTIATE_TEST_SUITE_P(AlteredRomRead, RunFaultSweep, Sweep(hubaccess::CMD_ROM_READ, FaultKind::AlterReply), Name);
INSTANTIATE_TEST_SUITE_P(AlteredRegisterRead, RunFaultSweep, Sweep(hubaccess::CMD_REG_READ, FaultKind::AlterReply), Name);
// The version bytes of the scan's, its walk's and the re-identification's
// reads (hub 0 then reads current, hub 1 legacy), and the length word of the
// first block of the firmware area (which chooses the write order).
INSTANTIATE_TEST_SUITE_P(AlteredVersionRead, RunFaultSweep,
                         Sweep(hubaccess::CMD_REG_READ, FaultKind::AlterReply, kVersionBlock, 4, 0x01), Name);
INSTANTIATE_TEST_SUITE_P(AlteredAreaFirstBlock, RunFaultSweep,
                         Sweep(hubaccess::CMD_ROM_READ, FaultKind::AlterReply, kAreaFirstBlock, 1, 0x10), Name);

INSTANTIATE_TEST_SUITE_P(Pairs, RunFaultPairSweep, ::testing::Range(0, kFaultPairs));

// Starting states an earlier run may have left, each on one hub, under one
// fault of each kind at positions spread over that state's own requests.
enum class Left { CutImage0, BothPrepared, Value1ReadsImage0, OtherOldVersion, CutImage0Value1, BothPreparedValue1 };
const Left kLeftStates[] = {Left::CutImage0,       Left::BothPrepared,    Left::Value1ReadsImage0,
                            Left::OtherOldVersion, Left::CutImage0Value1, Left::BothPreparedValue1};

void LeftState(RunMachine& m, Left state) {
    m.AddHub(m.root, 1);
    switch (state) {
        case Left::CutImage0: m.CutImage0Download(0, 0x2000); break;
        case Left::BothPrepared: m.BothImagesPrepared(0); break;
        case Left::Value1ReadsImage0: m.chips[0]->romReadIgnoresImageValue = true; break;
        case Left::OtherOldVersion: m.OtherOldVersionInImage1(0); break;
        case Left::CutImage0Value1:
            m.CutImage0Download(0, 0x2000);
            m.chips[0]->romReadIgnoresImageValue = true;
            break;
        case Left::BothPreparedValue1:
            m.BothImagesPrepared(0);
            m.chips[0]->romReadIgnoresImageValue = true;
            break;
    }
}

// Requests of one kind (at one address when given) in the state's
// undisturbed run, measured once per state.
int LeftCountOf(Left state, const FaultSpec& spec) {
    static std::map<Left, std::vector<sim::JournalEntry>> journals;
    auto it = journals.find(state);
    if (it == journals.end()) {
        RunMachine m(0);
        LeftState(m, state);
        m.Run();
        it = journals.emplace(state, m.driver.Journal()).first;
    }
    int n = 0;
    for (const auto& e : it->second)
        n += e.Command() == spec.command && (spec.address == 0 || e.Index() == spec.address);
    return n;
}

const std::vector<FaultSpec>& LeftKinds() {
    static const std::vector<FaultSpec> kinds = [] {
        std::vector<FaultSpec> k = PairKinds();
        k.push_back({hubaccess::CMD_SPI_BLOCK_ERASE, FaultKind::GenFailure});
        k.push_back({hubaccess::CMD_REG_READ, FaultKind::GenFailure});
        k.push_back({hubaccess::CMD_REG_WRITE, FaultKind::GenFailure});
        k.push_back({hubaccess::CMD_CPU_RESET, FaultKind::GenFailure});
        k.push_back({hubaccess::CMD_ROM_READ, FaultKind::AlterReply, kAreaFirstBlock, 0, 0x01});
        return k;
    }();
    return kinds;
}

#ifdef FW_SANITIZED_BUILD
const int kLeftPositions = FullSweep() ? 6 : 1;
#else
const int kLeftPositions = FullSweep() ? 40 : 2;
#endif

class RunFaultSweepStates : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(RunFaultSweepStates, OneFaultOnAChipAnEarlierRunLeftKeepsThePromises) {
    const auto [stateIndex, kindIndex, position] = GetParam();
    const Left state = kLeftStates[stateIndex];
    const FaultSpec& spec = LeftKinds()[static_cast<std::size_t>(kindIndex)];
    const int total = LeftCountOf(state, spec);
    if (total == 0) GTEST_SKIP() << "no such request in this state";
    // The first and the last request of the kind, the others spread between.
    const int skip = kLeftPositions <= 1 ? 0
                                         : static_cast<int>(static_cast<long long>(position) * (total - 1) /
                                                            (kLeftPositions - 1));
    SCOPED_TRACE(testing::Message() << "state " << stateIndex << ", command " << spec.command << " kind "
                                    << static_cast<int>(spec.kind) << " at " << spec.address << " skip " << skip);
    RunMachine m(static_cast<std::uint64_t>(position % 2 == 0 ? 0 : 11));
    LeftState(m, state);
    const Before before = TakeBefore(m);
    m.driver.AddFault(MakeFault(spec, skip));
    m.Run();
    ExpectRunPromisesKept(m, before, 1);
}

INSTANTIATE_TEST_SUITE_P(Left, RunFaultSweepStates,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kLeftStates))),
                                            ::testing::Range(0, static_cast<int>(LeftKinds().size())),
                                            ::testing::Range(0, kLeftPositions)));

// Each state undisturbed: exit 0, and the judged invariants hold.
TEST(RunFaultSweepStatesClean, EveryStateIsUpdated) {
    for (std::size_t i = 0; i < std::size(kLeftStates); ++i) {
        SCOPED_TRACE(i);
        RunMachine m(0);
        LeftState(m, kLeftStates[i]);
        const Before before = TakeBefore(m);
        m.Run();
        EXPECT_EQ(m.dlg.m_iRet.load(), 0);
        ExpectRunPromisesKept(m, before, 1);
    }
}

TEST(RunFaultSweepKinds, TheSweptKindsAreEveryRequestKindOfARunInTheirNumbers) {
    // Every kind of request a run makes is swept, at positions spread over
    // as many requests as it makes.
    std::map<std::pair<std::uint32_t, std::uint32_t>, int> at;
    EXPECT_EQ(MeasuredCounts(&at), CleanCounts());
    EXPECT_EQ(at, CleanCountsAt());
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
// CI runs a spread sample and every position around each erase of the 1-hub
// run, alone and combined with one later failure; FW_HANG_SWEEP_FULL=1 runs
// every position of the 1-hub run, each as a hang, a hang that ignores the
// cancel and the time-out, and the time-out at every request of each table
// step and its firmware download combined with one later failure.

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
std::uint64_t CleanRequests(int hubs) { return hubs == 1 ? 3951 : hubs == 3 ? 11849 : 31594; }

std::uint64_t RequestsOf(int hubs, std::uint64_t seed) {
    RunMachine m(seed);
    kTopologies[hubs](m);
    m.Run();
    return m.driver.Journal().size();
}

void ExpectHangPromisesKept(RunMachine& m, const Before& before, bool cancelled) {
    SCOPED_TRACE(testing::Message() << "exit " << m.dlg.m_iRet.load() << ", at " << m.sched.NowMs() << " ms");
    ExpectRunPromisesKept(m, before, 1);
    EXPECT_FALSE(m.dlg.m_bRunGoing.load());
    for (int i = 0; i < app::kMaxChildThreads; ++i) EXPECT_FALSE(m.dlg.m_pChildThread[i]) << "worker " << i << " left";
    EXPECT_EQ(*m.threads.held, 0) << "a lock is still held";
    EXPECT_EQ(m.io.writesStartedAfterCancel, 0);
    EXPECT_EQ(m.io.CutDownloads(), 0);
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
    const Before before = TakeBefore(m);
    sim::Fault f;
    f.match.requestNumber = request;
    f.kind = ignoresCancel ? sim::FaultKind::HangIgnoringCancel : sim::FaultKind::Hang;
    const sim::Fault& added = m.driver.AddFault(f);
    m.Run();
    ExpectHangPromisesKept(m, before, false);
    EXPECT_EQ(m.driver.AbandonedRequestCount(), ignoresCancel && added.hits == 1 ? 1 : 0);
}

void RunWithTimeOutAt(int hubs, std::uint64_t request, std::uint64_t seed) {
    SCOPED_TRACE(testing::Message() << hubs << " hubs, time-out at request " << request << ", seed " << seed);
    RunMachine m(seed);
    kTopologies[hubs](m);
    const Before before = TakeBefore(m);
    m.io.cancelAtRequest = request;
    m.Run();
    ExpectHangPromisesKept(m, before, true);
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

// Every request from the one before each erase of a table (its part 0) to
// the first chunk of that table's download, in the 1-hub run, each hung, hung
// past its cancel, and cut by the time-out: an erased table is always written.
TEST(RunHangSweepAroundErases, EveryRequestFromATablesEraseToItsDownload) {
    std::vector<std::uint64_t> positions;
    {
        RunMachine m(0);
        OneHub(m);
        m.Run();
        const auto& journal = m.driver.Journal();
        for (std::size_t i = 0; i < journal.size(); ++i) {
            const sim::JournalEntry& e = journal[i];
            if (e.legacy || e.Command() != hubaccess::CMD_SPI_BLOCK_ERASE || (e.Value() >> 8) != 0) continue;
            positions.push_back(e.number - 1);
            for (std::size_t j = i; j < journal.size(); ++j) {
                positions.push_back(journal[j].number);
                if (journal[j].Command() == hubaccess::CMD_CONFIG_DOWNLOAD) break;
            }
        }
    }
    ASSERT_GE(positions.size(), 2u * 4u);  // both images: both parts' erase and status, the first chunk
    for (const std::uint64_t request : positions) {
        RunWithHang(1, request, false, 0);
        RunWithHang(1, request, true, 0);
        RunWithTimeOutAt(1, request, 0);
        if (testing::Test::HasFailure()) return;
    }
}

// The time-out combined with one failure. The run's time-out at a request
// from a table's erase to the end of its image's firmware download, and one
// later request of that table's step, or a sampled chunk of that download
// (the first, the last, every 64th), fails, hangs, answers short or altered.
struct Combined {
    std::uint64_t timeOutAt = 0, faultAt = 0;
};

// From the undisturbed 1-hub run: per image, the table step's requests
// (its erase to its last chunk) and its firmware download's chunks.
struct ImageSteps {
    std::vector<std::uint64_t> table, chunks;
};
std::vector<ImageSteps> StepsOfCleanRun() {
    RunMachine m(0);
    OneHub(m);
    m.Run();
    const auto& j = m.driver.Journal();
    std::vector<ImageSteps> steps;
    for (std::size_t i = 0; i < j.size(); ++i) {
        if (j[i].legacy || j[i].Command() != hubaccess::CMD_SPI_BLOCK_ERASE || (j[i].Value() >> 8) != 0) continue;
        ImageSteps s;
        std::size_t k = i;
        int tableChunks = 0;
        for (; k < j.size() && tableChunks < 8; ++k) {
            s.table.push_back(j[k].number);
            tableChunks += j[k].Command() == hubaccess::CMD_CONFIG_DOWNLOAD;
        }
        for (; k < j.size() && j[k].Command() != hubaccess::CMD_FW_DOWNLOAD; ++k) s.chunks.push_back(j[k].number);
        for (; k < j.size() && j[k].Command() == hubaccess::CMD_FW_DOWNLOAD; ++k) s.chunks.push_back(j[k].number);
        steps.push_back(s);
        i = k;
    }
    return steps;
}

// CI: the time-out at each request from the one before each erase to its
// table's first chunk; FW_HANG_SWEEP_FULL: at every request of each table
// step and its firmware download.
std::vector<Combined> CombinedCases(bool full) {
    std::vector<Combined> cases;
    for (const ImageSteps& s : StepsOfCleanRun()) {
        std::vector<std::uint64_t> sampled;
        for (std::size_t c = 0; c < s.chunks.size(); ++c)
            if (c % 64 == 0 || c + 1 == s.chunks.size()) sampled.push_back(s.chunks[c]);
        std::vector<std::uint64_t> timeOuts;
        if (full) {
            timeOuts = s.table;
            timeOuts.insert(timeOuts.end(), s.chunks.begin(), s.chunks.end());
        } else {
            // The step ends with its eight chunks: up to the first of them.
            timeOuts.push_back(s.table.front() - 1);
            timeOuts.insert(timeOuts.end(), s.table.begin(), s.table.end() - 7);
        }
        for (const std::uint64_t t : timeOuts) {
            for (const std::uint64_t f : s.table)
                if (f > t) cases.push_back({t, f});
            for (const std::uint64_t f : sampled)
                if (f > t) cases.push_back({t, f});
        }
    }
    return cases;
}

const FaultKind kCombinedKinds[] = {FaultKind::GenFailure, FaultKind::Hang, FaultKind::ShortReply,
                                    FaultKind::AlterReply};

void RunCombined(const Combined& c, FaultKind kind) {
    SCOPED_TRACE(testing::Message() << "time-out at request " << c.timeOutAt << ", kind " << static_cast<int>(kind)
                                    << " at request " << c.faultAt);
    RunMachine m(0);
    OneHub(m);
    const Before before = TakeBefore(m);
    m.io.cancelAtRequest = c.timeOutAt;
    sim::Fault f;
    f.match.requestNumber = c.faultAt;
    f.kind = kind;
    m.driver.AddFault(f);
    m.Run();
    ExpectHangPromisesKept(m, before, true);
}

TEST(RunHangSweepCombined, TheTimeOutAroundEachEraseTimesOneLaterFailure) {
    const std::vector<Combined> cases = CombinedCases(false);
    ASSERT_GE(cases.size(), 2u * 5u * 8u);  // both images: at least five time-outs, each before eight chunks
#ifdef FW_SANITIZED_BUILD
    const std::size_t stride = 10;  // a tenth of the sample
#else
    const std::size_t stride = 1;
#endif
    for (std::size_t i = 0; i < cases.size(); i += stride)
        for (const FaultKind kind : kCombinedKinds) {
            const Combined& c = cases[i];
            RunCombined(c, kind);
            if (testing::Test::HasFailure()) return;
        }
}

TEST(RunHangSweepCounts, TheSpreadCoversTheRunsRequestsInTheirNumber) {
    for (int hubs : {1, 3, 8}) EXPECT_EQ(RequestsOf(hubs, 0), CleanRequests(hubs)) << hubs << " hubs";
}

// By hand: FW_HANG_SWEEP_FULL=1 core_tests --gtest_filter='RunHangSweepFull.*'
TEST(RunHangSweepFull, TheTimeOutInEachTableStepAndDownloadTimesOneLaterFailure) {
    if (std::getenv("FW_HANG_SWEEP_FULL") == nullptr) GTEST_SKIP() << "set FW_HANG_SWEEP_FULL=1";
    for (const Combined& c : CombinedCases(true))
        for (const FaultKind kind : kCombinedKinds) {
            RunCombined(c, kind);
            if (testing::Test::HasFailure()) return;
        }
}

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
