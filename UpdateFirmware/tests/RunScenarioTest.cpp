// Whole runs on the simulated machine: Start pressed, the coordinator, the
// hub workers and the view under the deterministic scheduler, each scenario
// checked for its exit code, result text, bars and what the flash holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "RunMachine.h"
#include "hubaccess/FilterRequest.h"

namespace {

using run_machine::RunMachine;
using sim::HubChip;

enum class Flash { New, Old, Any };

struct Scenario {
    const char* name;
    // Builds the hubs (and faults) on the machine.
    std::function<void(RunMachine&)> setup;
    int exitCode;
    std::wstring text;                // the final status text
    std::vector<Flash> flash;         // per chip, in the order added
    std::vector<bool> greenBars;      // per chip (rows 0..4 only)
    std::function<void(RunMachine&)> check;  // further checks, may be empty
};

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

// The tiers of the hubs whose reset gate opened, in order.
std::vector<int> GateTiers(RunMachine& m) {
    std::vector<int> tiers;
    const std::wstring key = L"m_ucHubDepth=";
    for (const std::wstring& r : m.sink.Records()) {
        if (r.find(L"this Hub is unlock to do CPU rest") == std::wstring::npos) continue;
        tiers.push_back(std::stoi(r.substr(r.find(key) + key.size())));
    }
    return tiers;
}

// Hubs at tiers 1, 2 and 3 in a chain, and a second tier-1 hub.
void ThreeTiers(RunMachine& m) {
    const int a = m.AddHub(m.root, 1);
    const int b = m.AddHub(a, 1);
    m.AddHub(b, 1);
}

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> rows = {
        {"OneHubPasses", [](RunMachine& m) { m.AddHub(m.root, 1); }, 0, L"Pass!!", {Flash::New}, {true},
         [](RunMachine& m) {
             EXPECT_EQ(m.cleanup.driverRemoved, 1);
             EXPECT_EQ(m.chips[0]->cpuResets, 1);
         }},
        {"ThreeTiersResetDeepestFirst", ThreeTiers, 0, L"Pass!!", {Flash::New, Flash::New, Flash::New},
         {true, true, true},
         [](RunMachine& m) {
             // The gates opened deepest tier first.
             EXPECT_EQ(GateTiers(m), (std::vector<int>{3, 2, 1}));
             EXPECT_EQ(m.utility->m_MaxHubDepth.load(), 1);
         }},
        {"NoHub", [](RunMachine&) {}, -4, L"Failed!!(-4)", {}, {}, nullptr},
        {"AllCurrent", [](RunMachine& m) { m.AddHub(m.root, 1, run_machine::kFileVersion); }, 1, L"Pass!!",
         {Flash::Any}, {true},
         [](RunMachine& m) { EXPECT_EQ(m.chips[0]->downloads.size(), 0u); }},
    };
    return rows;
}

class RunScenarioTest : public ::testing::TestWithParam<std::tuple<Scenario, std::uint64_t>> {};

TEST_P(RunScenarioTest, EndsWithItsCodeTextBarsAndFlash) {
    const Scenario& s = std::get<0>(GetParam());
    RunMachine m(std::get<1>(GetParam()));
    s.setup(m);
    m.Run();

    EXPECT_EQ(m.dlg.m_iRet.load(), s.exitCode);
    EXPECT_EQ(m.view.status, s.text);
    EXPECT_EQ(m.dlg.m_MainThreadInfo.ucMainStatus.load(), app::MAIN_THREAD_FINISH);
    EXPECT_TRUE(m.view.enabled[app::kIdButtonOk]);
    ASSERT_EQ(s.flash.size(), m.chips.size());
    for (std::size_t i = 0; i < m.chips.size(); ++i) {
        SCOPED_TRACE(i);
        if (s.flash[i] == Flash::New) {
            EXPECT_TRUE(m.HoldsNewFirmware(i, 0));
            EXPECT_TRUE(m.HoldsNewFirmware(i, 1));
        } else if (s.flash[i] == Flash::Old) {
            EXPECT_FALSE(m.HoldsNewFirmware(i, 0));
        }
        EXPECT_TRUE(m.HasBootableImage(i));
        const int row = m.RowOfChip(i);
        if (row >= 0 && row < app::kRunViewRows) {
            const auto bar = m.view.bars[app::RowControlId(row, app::RowPart::Bar)];
            EXPECT_EQ(bar.pos, 100);
            EXPECT_EQ(bar.colour, s.greenBars[i] ? app::kColourGreen : app::kColourRed);
        }
    }
    if (s.check) s.check(m);
}

INSTANTIATE_TEST_SUITE_P(Runs, RunScenarioTest,
                         ::testing::Combine(::testing::ValuesIn(Scenarios()), ::testing::Values(0u, 7u, 1234u)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_seed" +
                                    std::to_string(std::get<1>(info.param));
                         });

}  // namespace
