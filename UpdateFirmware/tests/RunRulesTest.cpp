// The run's pure rules: versions as 48-bit numbers, the chip limits at their
// boundaries, the reset gate's tier release and the flashable-image check.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/RunRules.h"

namespace {

using app::LimitVerdict;

TEST(RunRulesTest, VersionTextsCompareIgnoringCaseOnly) {
    EXPECT_TRUE(app::SameVersionText(L"14041503e500", L"14041503E500"));
    EXPECT_FALSE(app::SameVersionText(L"14041503e500", L"14041503e501"));
    EXPECT_FALSE(app::SameVersionText(L"", L"000000000000"));
}

TEST(RunRulesTest, ChipNamesAndLimitsAtTheirBoundaries) {
    struct Row {
        std::uint8_t reg;
        const wchar_t* name;
        std::uint64_t file;
        LimitVerdict verdict;
    };
    const Row rows[] = {
        {0x01, L"VTL262xA1", 0x120621000000ull, LimitVerdict::Allowed},
        {0x01, L"VTL262xA1", 0x120621000001ull, LimitVerdict::TooNew},
        {0x02, L"VTL262xA2", 0x120720000000ull, LimitVerdict::TooOld},
        {0x02, L"VTL262xA2", 0x120720000001ull, LimitVerdict::Allowed},
        {0x11, L"VTL262xB1", 0x999999999999ull, LimitVerdict::Allowed},
        {0x25, L"VTL262xC5", 0x000000000001ull, LimitVerdict::Allowed},
        {0x30, L"VTL262xA", 0x120621000001ull, LimitVerdict::Allowed},  // no digit: no limit
        {0x46, L"VTL262xA", 0x000000000000ull, LimitVerdict::Allowed},
        {0x51, L"VTL262xA1", 0x120621000001ull, LimitVerdict::TooNew},  // bit 6 counts: no B1
        {0x62, L"VTL262xA2", 0x120720000000ull, LimitVerdict::TooOld},  // bit 6 counts: no C2
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.reg);
        EXPECT_EQ(app::ChipNameFromVersionRegister(r.reg), r.name);
        EXPECT_EQ(app::CheckFirmwareLimits(r.name, r.file), r.verdict);
    }
    EXPECT_TRUE(app::IsLegacyVersion(L"121030000000"));
    EXPECT_TRUE(app::IsLegacyVersion(L"111117000000"));
    EXPECT_FALSE(app::IsLegacyVersion(L"121030000001"));
}

TEST(RunRulesTest, ResetTierFallsOnlyWhenItsHubsAreDoneAndPassesEmptyTiers) {
    struct Row {
        std::int8_t tier;
        std::vector<std::uint8_t> states, depths;
        std::int8_t next;
    };
    const Row rows[] = {
        {3, {4, 4, 4}, {1, 2, 3}, 3},  // the tier-3 hub has not reset yet
        {3, {4, 4, 5}, {1, 2, 3}, 2},
        {3, {4, 4, 8}, {1, 2, 3}, 2},  // a finished hub releases its tier
        {2, {4, 5, 8}, {1, 2, 3}, 1},
        {1, {5, 5, 5}, {1, 2, 3}, 1},  // never below tier 1
        {3, {4, 5}, {1, 3}, 2},        // tier 2 holds no hub of the table...
        {2, {4, 5}, {1, 3}, 1},        // ...and is passed over on the next pass
        {2, {5, 1, 4}, {2, 2, 1}, 2},  // one of two tier-2 hubs still running
    };
    for (const Row& r : rows) {
        EXPECT_EQ(app::NextResetTier(r.tier, r.states.data(), r.depths.data(), r.states.size()), r.next)
            << int(r.tier);
    }
    const std::uint8_t ready[] = {4, 5, 8}, notReady[] = {4, 1, 8}, reset[] = {5, 8, 8};
    EXPECT_TRUE(app::AllWorkersReady(ready, 3));
    EXPECT_FALSE(app::AllWorkersReady(notReady, 3));
    EXPECT_FALSE(app::AllWorkersReset(ready, 3));
    EXPECT_TRUE(app::AllWorkersReset(reset, 3));
}

}  // namespace
