#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio/legacy/dynamics.hpp"

namespace vt6::zem {
namespace {

float dbToLevel(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

// Inputs of one derivation, sample by sample.
struct Samples {
    std::vector<int32_t> articulation;
    std::vector<uint8_t> excluded;
    std::vector<uint8_t> useAlt;
    std::vector<float> peak;
    std::vector<float> alt;

    Samples& add(float level, int32_t art = 1, uint8_t excl = 0) {
        articulation.push_back(art);
        excluded.push_back(excl);
        useAlt.push_back(0);
        peak.push_back(level);
        alt.push_back(0.0f);
        return *this;
    }
    Samples& addAlt(float nativeLevel, float altLevel, int32_t art = 1) {
        add(nativeLevel, art);
        useAlt.back() = 1;
        alt.back() = altLevel;
        return *this;
    }
    DerivedDynamics derive(double tol, int32_t mode = kDerivePerArticulation) const {
        return deriveDynamics(static_cast<int32_t>(peak.size()), tol, mode, articulation, excluded, useAlt, peak, alt);
    }
};

TEST(LevelToDb, FloorsSilenceAndKeepsNaN) {
    EXPECT_FLOAT_EQ(levelToDb(1.0f), 0.0f);
    EXPECT_FLOAT_EQ(levelToDb(0.5f), 20.0f * std::log10(0.5f));
    EXPECT_FLOAT_EQ(levelToDb(0.0f), -96.3f);
    EXPECT_FLOAT_EQ(levelToDb(-1.0f), -96.3f);
    EXPECT_FLOAT_EQ(levelToDb(1e-9f), -96.3f);
    EXPECT_TRUE(std::isnan(levelToDb(std::numeric_limits<float>::quiet_NaN())));
}

TEST(DeriveDynamics, GroupsWithinToleranceAndNumbersTakes) {
    Samples s;
    s.add(dbToLevel(-6.0)).add(dbToLevel(-6.05)).add(dbToLevel(-12.0));
    const DerivedDynamics d = s.derive(0.1);
    EXPECT_EQ(d.group, (std::vector<int32_t>{1, 1, 2}));
    EXPECT_EQ(d.take, (std::vector<int32_t>{1, 2, 1}));
    EXPECT_EQ(d.groupCount[0], 2);
    EXPECT_EQ(d.dynamicCount, 2);
    EXPECT_EQ(d.dynamics, (std::vector<float>{s.peak[0], s.peak[2]}));
    EXPECT_DOUBLE_EQ(d.levelToleranceDb, 0.1);
}

TEST(DeriveDynamics, ToleranceIsDefaultedAndCapped) {
    Samples s;
    s.add(dbToLevel(-6.0)).add(dbToLevel(-6.05)).add(dbToLevel(-60.0));
    struct Case {
        double given;
        double used;
        std::vector<int32_t> groups;
    };
    const Case cases[] = {
        {0.0, 0.1, {1, 1, 2}},
        {-3.0, 0.1, {1, 1, 2}},
        {0.01, 0.01, {1, 2, 3}},
        {100000.0, 32768.0, {1, 1, 1}},
        {std::numeric_limits<double>::infinity(), 32768.0, {1, 1, 1}},
    };
    for (const Case& c : cases) {
        const DerivedDynamics d = s.derive(c.given);
        EXPECT_DOUBLE_EQ(d.levelToleranceDb, c.used) << c.given;
        EXPECT_EQ(d.group, c.groups) << c.given;
    }
}

TEST(DeriveDynamics, NaNToleranceGroupsNobody) {
    Samples s;
    s.add(0.5f).add(0.5f);
    const DerivedDynamics d = s.derive(std::numeric_limits<double>::quiet_NaN());
    EXPECT_TRUE(std::isnan(d.levelToleranceDb));
    EXPECT_EQ(d.group, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(d.take, (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(d.dynamicCount, 0);
    EXPECT_EQ(d.groupCount[0], 0);
}

TEST(DeriveDynamics, GroupedSamplesStillSeedTheirOwnNumber) {
    // Sample 2 is claimed by sample 1's group but still opens group number 2
    // as a seed; sample 4 is close to sample 2 only and joins that group,
    // numbered before sample 3's.
    Samples s;
    s.add(dbToLevel(-6.0)).add(dbToLevel(-6.08)).add(dbToLevel(-20.0)).add(dbToLevel(-6.17));
    const DerivedDynamics d = s.derive(0.1);
    EXPECT_EQ(d.group, (std::vector<int32_t>{1, 1, 3, 2}));
    EXPECT_EQ(d.take, (std::vector<int32_t>{1, 2, 1, 1}));
    EXPECT_EQ(d.groupCount[0], 3);
    EXPECT_EQ(d.dynamics, (std::vector<float>{s.peak[0], s.peak[3], s.peak[2]}));
}

TEST(DeriveDynamics, GroupsPerArticulationAndSharesEqualLevels) {
    Samples s;
    // Articulation 2's first takes equal articulation 1's: one shared entry.
    s.add(0.5f, 1).add(0.25f, 1).add(0.5f, 2).add(0.25f, 2).add(0.1f, 2);
    const DerivedDynamics d = s.derive(0.1, kDerivePerArticulation);
    EXPECT_EQ(d.group, (std::vector<int32_t>{1, 2, 1, 2, 3}));
    EXPECT_EQ(d.groupCount[0], 2);
    EXPECT_EQ(d.groupCount[1], 3);
    EXPECT_EQ(d.dynamics, (std::vector<float>{0.5f, 0.25f, 0.1f}));
    EXPECT_EQ(d.dynamicCount, 3);
}

TEST(DeriveDynamics, AllTogetherIgnoresArticulationsAndCountsAsOne) {
    Samples s;
    s.add(0.5f, 0).add(0.5f, 7).add(0.25f, -3);
    const DerivedDynamics d = s.derive(0.1, kDeriveAllTogether);
    EXPECT_EQ(d.group, (std::vector<int32_t>{1, 1, 2}));
    EXPECT_EQ(d.take, (std::vector<int32_t>{1, 2, 1}));
    EXPECT_EQ(d.groupCount[0], 2);
    for (size_t a = 1; a < 16; ++a) EXPECT_EQ(d.groupCount[a], 0);

    // Per articulation, the out-of-range articulations take part nowhere.
    const DerivedDynamics per = s.derive(0.1, kDerivePerArticulation);
    EXPECT_EQ(per.group, (std::vector<int32_t>{0, 1, 0}));
}

TEST(DeriveDynamics, ExcludedSamplesStayOutAndAltLevelIsUsed) {
    Samples s;
    s.add(0.5f, 1, 1).addAlt(0.9f, 0.25f).add(0.25f);
    const DerivedDynamics d = s.derive(0.1);
    EXPECT_EQ(d.group, (std::vector<int32_t>{0, 1, 1}));
    EXPECT_EQ(d.take, (std::vector<int32_t>{0, 1, 2}));
    // The level of a dynamic is its first take's grouping level.
    EXPECT_EQ(d.dynamics, (std::vector<float>{0.25f}));
}

TEST(DeriveDynamics, LevelTableStopsAtFortyEightGroups) {
    Samples s;
    for (int k = 0; k < 50; ++k) s.add(dbToLevel(-1.0 * k));
    const DerivedDynamics d = s.derive(0.1);
    EXPECT_EQ(d.groupCount[0], 50);
    EXPECT_EQ(d.group[49], 50);
    EXPECT_EQ(d.dynamicCount, 48);
    EXPECT_EQ(d.dynamics.back(), s.peak[47]);
}

TEST(DeriveDynamics, EmptyAndShortInputs) {
    const DerivedDynamics none = deriveDynamics(0, 0.0, 1, {}, {}, {}, {}, {});
    EXPECT_TRUE(none.group.empty());
    EXPECT_EQ(none.dynamicCount, 0);
    EXPECT_DOUBLE_EQ(none.levelToleranceDb, 0.1);
    // A count beyond the inputs is clamped to them.
    Samples s;
    s.add(0.5f);
    const DerivedDynamics d =
        deriveDynamics(5, 0.1, 1, s.articulation, s.excluded, s.useAlt, s.peak, s.alt);
    EXPECT_EQ(d.group.size(), 1u);
}

TEST(SampleMetaTest, ClampsNegativeGroupsAndForeignArticulations) {
    EXPECT_EQ(makeSampleMeta(3, 16), (SampleMeta{3, 16}));
    EXPECT_EQ(makeSampleMeta(-2, 0), (SampleMeta{0, 0}));
    EXPECT_EQ(makeSampleMeta(0, 17), (SampleMeta{0, 0}));
    EXPECT_EQ(makeSampleMeta(1, -1), (SampleMeta{1, 0}));
}

TEST(BuildV4LookupTable, AddsMovesAndKeeps) {
    std::vector<SelectionCell> cells;
    std::vector<std::string> warnings;
    buildV4LookupTable(cells, warnings, 1, 1, 2, 5);
    buildV4LookupTable(cells, warnings, 1, 2, 2, 6);
    buildV4LookupTable(cells, warnings, 1, 1, 2, 5);  // same sample: nothing
    EXPECT_TRUE(warnings.empty());
    buildV4LookupTable(cells, warnings, 1, 1, 2, 9);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "v4 legacy lookup collision at (group 1, take 1, art 2): sample 5 -> 9 (last writer wins)");
    EXPECT_EQ(cells, (std::vector<SelectionCell>{{1, 1, 2, 9}, {1, 2, 2, 6}}));
}

TEST(BuildLayerLookup, PacksCellsAndLadder) {
    const std::vector<float> levels{0.5f, 0.25f, 0.5f};
    const std::vector<SelectionCell> cells{
        {1, 1, 1, 1}, {2, 1, 1, 2}, {3, 1, 1, 3}, {2, 2, 1, 4}, {1, 1, 16, 5},
    };
    const SelectionIndex index = buildLayerLookup(3, levels, cells);
    ASSERT_TRUE(index.ok);
    EXPECT_EQ(index.dynamicCount, 3);
    EXPECT_TRUE(index.multiTake);
    EXPECT_EQ(index.dynamics, levels);
    ASSERT_EQ(index.cellStart.size(), 3u * 16 + 1);
    // Cell of (dynamic 2, articulation 1) is c = 16 and holds two takes.
    EXPECT_EQ(index.cellStart[16 + 1] - index.cellStart[16], 2);
    EXPECT_EQ(index.cellSamples[static_cast<size_t>(index.cellStart[16])], 2);
    EXPECT_EQ(index.cellSamples[static_cast<size_t>(index.cellStart[16]) + 1], 4);
    EXPECT_EQ(index.cellSamples[static_cast<size_t>(index.cellStart[15])], 5);
    EXPECT_EQ(index.cellStart.back(), 5);

    // Articulation 1 uses all three dynamics; dynamic 3 repeats 1's level.
    ASSERT_EQ(index.ladderEnd.size(), 17u);
    EXPECT_EQ(index.ladderEnd[0], 0u);
    EXPECT_EQ(index.ladderEnd[1], 2u);
    EXPECT_EQ(index.ladder[0], (LadderStep{2, 0.25f}));
    EXPECT_EQ(index.ladder[1], (LadderStep{1, 0.5f}));
    for (size_t a = 2; a <= 15; ++a) EXPECT_EQ(index.ladderEnd[a], 2u);
    EXPECT_EQ(index.ladderEnd[16], 3u);
    EXPECT_EQ(index.ladder[2], (LadderStep{1, 0.5f}));
}

TEST(BuildLayerLookup, LadderSkipsNonFiniteLevels) {
    const std::vector<float> levels{std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                    0.5f};
    const std::vector<SelectionCell> cells{{1, 1, 1, 1}, {2, 1, 1, 2}, {3, 1, 1, 3}};
    const SelectionIndex index = buildLayerLookup(3, levels, cells);
    ASSERT_TRUE(index.ok);
    EXPECT_FALSE(index.multiTake);
    ASSERT_EQ(index.ladder.size(), 1u);
    EXPECT_EQ(index.ladder[0], (LadderStep{3, 0.5f}));
}

TEST(BuildLayerLookup, RejectsBadCells) {
    const std::vector<float> levels{0.5f, 0.25f};
    struct Case {
        const char* what;
        int32_t count;
        std::vector<SelectionCell> cells;
    };
    const Case cases[] = {
        {"no dynamics", 0, {}},
        {"fewer levels than dynamics", 3, {{1, 1, 1, 1}}},
        {"dynamic 0", 2, {{0, 1, 1, 1}}},
        {"dynamic above count", 2, {{3, 1, 1, 1}}},
        {"articulation 0", 2, {{1, 1, 0, 1}}},
        {"articulation 17", 2, {{1, 1, 17, 1}}},
        {"take 0", 2, {{1, 0, 1, 1}}},
        {"sample 0", 2, {{1, 1, 1, 0}}},
        {"missing take 2", 2, {{1, 1, 1, 1}, {1, 3, 1, 2}}},
        {"duplicate take", 2, {{1, 1, 1, 1}, {1, 1, 1, 2}}},
    };
    for (const Case& c : cases) EXPECT_FALSE(buildLayerLookup(c.count, levels, c.cells).ok) << c.what;
    // No cells at all is a consistent (empty) index.
    EXPECT_TRUE(buildLayerLookup(2, levels, {}).ok);
}

} // namespace
} // namespace vt6::zem
