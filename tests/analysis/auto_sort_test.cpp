#include "analysis/auto_sort.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <random>
#include <vector>

#include "analysis/auto_sort_reference.hpp"
#include "analysis/sort_fixture.hpp"

namespace vt6::fmt {
namespace {

using test::levelOf;
using test::row;

const std::vector<int32_t> kThirds{43, 86};

SortPlacement unassigned(int64_t band) { return SortPlacement{band, 0.0, 0, 0}; }

TEST(AutoSortBands, InvalidBoundariesLeaveEveryRowAtItsDefault) {
    const std::vector<SortSample> rows{row(1, -40, 2), row(2, -30, -1), row(3, -20, 0)};
    const std::vector<std::vector<int32_t>> bad{{}, {0, 50}, {40, 40}, {60, 50}, {50, 127}, {-3}};
    for (const auto& boundaries : bad) {
        const auto out = autoSortBands(rows, boundaries);
        ASSERT_EQ(out.size(), 3u);
        EXPECT_EQ(out[0], unassigned(2));
        EXPECT_EQ(out[1], unassigned(-1));
        EXPECT_EQ(out[2], unassigned(0));
    }
}

TEST(AutoSortBands, ThreeClustersSpanTheScale) {
    const std::vector<SortSample> rows{row(1, -20, 0), row(2, -40, 0), row(3, -30, -1)};
    const auto out = autoSortBands(rows, kThirds);
    EXPECT_EQ(out[0], (SortPlacement{2, 127.0, 1, 1}));
    EXPECT_EQ(out[1], (SortPlacement{0, 0.0, 1, 0}));
    EXPECT_EQ(out[2], (SortPlacement{1, 63.5, 1, 1}));
}

TEST(AutoSortBands, ClustersSpanAtMostOneDecibelFromTheirSoftestMember) {
    struct Case {
        std::vector<double> levels;
        std::vector<int> cluster;  // members with equal numbers share a cluster
    };
    const std::vector<Case> cases{
        {{10.0, 10.9, 11.5, 30.0}, {0, 0, 1, 2}},
        {{10.0, 10.8, 11.6, 12.4, 30.0}, {0, 0, 1, 1, 2}},
    };
    for (const Case& c : cases) {
        std::vector<SortSample> rows;
        for (size_t i = 0; i < c.levels.size(); ++i) rows.push_back(row(i + 1, c.levels[i]));
        const auto out = autoSortBands(rows, kThirds);
        for (size_t i = 0; i + 1 < out.size(); ++i) {
            EXPECT_EQ(out[i].scaleLevel == out[i + 1].scaleLevel, c.cluster[i] == c.cluster[i + 1]) << i;
        }
    }
}

TEST(AutoSortBands, GroupsThatCannotBeSortedStayUnassigned) {
    const std::vector<std::vector<SortSample>> groups{
        {row(1, -20, 1), row(2, -20.5, 1), row(3, -19.6, 1)},         // one cluster
        {row(1, -20, 1), row(2, -14.1, 1)},                           // range 5.9 dB
        {row(1, -20, 1), row(2, -std::numeric_limits<double>::infinity(), 1), row(3, -40, 1)},
    };
    for (size_t g = 0; g < 2; ++g) {
        for (const SortPlacement& p : autoSortBands(groups[g], kThirds)) EXPECT_EQ(p, unassigned(1)) << g;
    }
    // A row without a usable level is never considered.
    const auto out = autoSortBands(groups[2], kThirds);
    EXPECT_EQ(out[1], unassigned(1));
    EXPECT_EQ(out[0].assigned, 1);
}

TEST(AutoSortBands, OutlyingEndClusterLandsAtTheScaleEnd) {
    std::vector<SortSample> rows;
    const std::vector<double> centres{0, 20, 22, 24, 26, 28};
    for (size_t i = 0; i < centres.size(); ++i) rows.push_back(row(i + 1, centres[i], 0));
    const auto out = autoSortBands(rows, std::vector<int32_t>{30, 90});
    EXPECT_EQ(out[0].scaleLevel, 0.0);
    EXPECT_EQ(out[1].scaleLevel, 0.0);
    EXPECT_DOUBLE_EQ(out[2].scaleLevel, 2 * 127.0 / 8);
    EXPECT_EQ(out[5].scaleLevel, 127.0);
    EXPECT_EQ(out[0].band, 0);
    EXPECT_EQ(out[0].assigned, 1);
}

TEST(AutoSortBands, ClusterWithinItsMarginOfABoundaryReportsOnlyItsLevel) {
    // Range 20 dB: margin 4.7625 on the scale; -27 dB sits at 82.55, 3.45 below 86.
    const std::vector<SortSample> rows{row(1, -40, 0), row(2, -27, 0), row(3, -20, 0)};
    const auto out = autoSortBands(rows, kThirds);
    EXPECT_EQ(out[1].assigned, 0);
    EXPECT_EQ(out[1].band, 0);
    EXPECT_DOUBLE_EQ(out[1].scaleLevel, 13 * 127.0 / 20);
}

TEST(AutoSortBands, KeptSampleReportsItsLevelButStays) {
    const std::vector<SortSample> rows{row(1, -40, 2), row(2, -30, 2, 0, 1), row(3, -20, 2)};
    const auto out = autoSortBands(rows, kThirds);
    EXPECT_EQ(out[1], (SortPlacement{2, 63.5, 0, 0}));
    EXPECT_EQ(out[0], (SortPlacement{0, 0.0, 1, 1}));
}

TEST(AutoSortBands, EqualLevelsOrderByIdWhateverTheInputOrder) {
    std::vector<SortSample> rows{row(5, -20), row(2, -20.9), row(9, -20.9), row(3, -40), row(7, -30)};
    const auto reference = autoSortBands(rows, kThirds);
    std::vector<size_t> perm{0, 1, 2, 3, 4};
    while (std::next_permutation(perm.begin(), perm.end())) {
        std::vector<SortSample> shuffled;
        for (size_t i : perm) shuffled.push_back(rows[i]);
        const auto out = autoSortBands(shuffled, kThirds);
        for (size_t k = 0; k < perm.size(); ++k) EXPECT_EQ(out[k], reference[perm[k]]);
    }
}

TEST(AutoSortBands, GroupKeysAreSortedApart) {
    // Key 1 alone has one cluster; mixed with key 0 it would span the scale.
    const std::vector<SortSample> rows{row(1, -40, -1, 0), row(2, -20, -1, 0), row(3, -30, -1, 1)};
    const auto out = autoSortBands(rows, kThirds);
    EXPECT_EQ(out[0].band, 0);
    EXPECT_EQ(out[1].band, 2);
    EXPECT_EQ(out[2], unassigned(-1));
}

// --- Anchored sort ----------------------------------------------------------

std::vector<SortSample> anchors(uint64_t firstId, int64_t band, std::initializer_list<double> levels) {
    std::vector<SortSample> out;
    for (double l : levels) out.push_back(row(firstId++, l, band, 0, 0, 1));
    return out;
}

std::vector<SortSample> robustBands() {
    auto rows = anchors(1, 0, {-30.0, -30.5, -29.5});
    const auto loud = anchors(10, 2, {-10.0, -10.4, -9.6});
    rows.insert(rows.end(), loud.begin(), loud.end());
    return rows;
}

TEST(AnchoredSort, UnlockedSampleMovesToTheBandItMatches) {
    auto rows = robustBands();
    rows.push_back(row(20, -10.2, 0));
    const auto out = autoSortBands(rows, kThirds);
    EXPECT_EQ(out.back(), (SortPlacement{2, (86.0 + 127.0) / 2, 1, 1}));
    for (size_t i = 0; i + 1 < out.size(); ++i) EXPECT_EQ(out[i].assigned, 1) << i;  // anchors confirmed
}

TEST(AnchoredSort, LockedGroupNeverUsesTheGapRule) {
    // The gap rule would spread these; the one anchor has no usable level.
    std::vector<SortSample> rows{row(1, -40, 1), row(2, -20, 1), row(3, -30, 1)};
    rows.push_back(SortSample{4, 0, 1, HitLevel::unmeasured(), 0, 1});
    for (const SortPlacement& p : autoSortBands(rows, kThirds)) EXPECT_EQ(p, unassigned(1));
}

TEST(AnchoredSort, SampleMatchingTwoBandsStays) {
    auto rows = anchors(1, 0, {-22.0, -22.0, -22.0});
    const auto b1 = anchors(10, 1, {-20.0, -20.0, -20.0});
    rows.insert(rows.end(), b1.begin(), b1.end());
    rows.push_back(row(20, -21.0, 2));
    const auto out = anchoredSort(rows, kThirds);
    EXPECT_EQ(out.back().band, 2);
    EXPECT_EQ(out.back().assigned, 0);
    EXPECT_DOUBLE_EQ(out.back().scaleLevel, (86.0 + 127.0) / 2);  // centre of its band, kept unassigned
}

TEST(AnchoredSort, WeakBandAcceptsOnlyCloseUnlockedSamples) {
    struct Case {
        const char* what;
        double level;
        uint8_t locked;
        std::vector<SortSample> others;
        int64_t expectBand;
    };
    const auto strong = anchors(1, 0, {-30.0, -30.0, -30.0});
    const std::vector<Case> cases{
        {"within 0.75 dB, another band 6 dB away", -10.5, 0, strong, 2},
        {"1 dB off", -11.0, 0, strong, 0},
        {"locked", -10.5, 1, strong, 0},
        {"no band 6 dB away", -10.5, 0, anchors(1, 0, {-14.5, -14.5, -14.5}), 0},
        {"out of order", -10.5, 0, anchors(1, 0, {-3.0, -3.0, -3.0}), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<SortSample> rows = c.others;
        rows.push_back(row(30, -10.0, 2, 0, 0, 1));  // the weak band's only anchor
        rows.push_back(row(40, c.level, 0, 0, 0, c.locked));
        const auto out = anchoredSort(rows, kThirds);
        EXPECT_EQ(out.back().band, c.expectBand);
    }
}

TEST(AnchoredSort, RobustBandsOutOfOrderLoseTheirConsistency) {
    auto rows = anchors(1, 0, {-10.0, -10.0, -10.0});
    const auto b2 = anchors(10, 2, {-30.0, -30.0, -30.0});
    rows.insert(rows.end(), b2.begin(), b2.end());
    rows.push_back(row(20, -30.0, 1));
    const auto out = anchoredSort(rows, kThirds);
    for (const SortPlacement& p : out) EXPECT_EQ(p.assigned, 0);
    EXPECT_EQ(out.back().band, 1);
}

TEST(AnchoredSort, LockedSampleMovesOnlyBetweenClearlySeparatedBands) {
    auto rows = robustBands();
    rows.push_back(row(20, -10.0, 0, 0, 0, 1));  // locked, far from band 0, matches band 2
    const auto out = anchoredSort(rows, kThirds);
    EXPECT_EQ(out.back().band, 2);
    EXPECT_EQ(out.back().changed, 1);
    EXPECT_EQ(out.back().assigned, 1);
}

TEST(AnchoredSort, PassReportsOneStepAndSortSettles) {
    auto rows = robustBands();
    rows.push_back(row(20, -10.1, 0));
    const auto pass = anchoredSortPass(rows, kThirds);
    EXPECT_EQ(pass.back().changed, 1);
    rows.back().currentBand = 2;
    const auto second = anchoredSortPass(rows, kThirds);
    EXPECT_EQ(second.back(), (SortPlacement{2, 106.5, 1, 0}));
}

TEST(AnchoredSort, KeptAndUnusableSamplesAreSkipped) {
    auto rows = robustBands();
    rows.push_back(row(20, -10.2, 0, 0, 1));
    rows.push_back(SortSample{21, 0, 0, HitLevel::unmeasured(), 0, 0});
    rows.push_back(row(22, -10.2, -1));
    const auto out = anchoredSort(rows, kThirds);
    EXPECT_EQ(out[rows.size() - 3], unassigned(0));
    EXPECT_EQ(out[rows.size() - 2], unassigned(0));
    EXPECT_EQ(out[rows.size() - 1], unassigned(-1));
}

// Random groups shaped like real libraries: bands with a level each, samples
// near their band's level or misfiled, some locked, kept or unmeasured,
// several keys at once, equal levels. The sort must give exactly what the
// plain version gives, row for row.
std::vector<SortSample> randomSamples(std::mt19937_64& rng, size_t bandCount) {
    std::uniform_int_distribution<int> pick(0, 99);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> bandLevel(bandCount);
    double at = -60.0 + 10.0 * unit(rng);
    for (double& l : bandLevel) {
        l = at;
        at += pick(rng) < 15 ? -3.0 * unit(rng) : 1.0 + 10.0 * unit(rng);  // now and then out of order
    }
    const double noise = pick(rng) < 50 ? 0.5 : 4.0;
    const size_t count = static_cast<size_t>(pick(rng) % 40);
    const int lockedPercent = pick(rng);
    std::vector<SortSample> rows;
    for (size_t i = 0; i < count; ++i) {
        SortSample s;
        s.id = 1 + static_cast<uint64_t>(pick(rng)) * 100 + i;  // distinct, not in input order
        s.groupKey = static_cast<uint32_t>(pick(rng) % 3);
        const auto truth = static_cast<size_t>(pick(rng)) % bandCount;
        const int where = pick(rng);
        s.currentBand = where < 70 ? static_cast<int64_t>(truth)
                        : where < 90 ? static_cast<int64_t>(static_cast<size_t>(pick(rng)) % bandCount)
                        : where < 95 ? -1
                                     : static_cast<int64_t>(bandCount);
        const int kind = pick(rng);
        if (kind < 80) {
            s.hitLevel = test::levelOf(bandLevel[truth] + noise * (unit(rng) - 0.5));
        } else if (kind < 88 && !rows.empty()) {
            s.hitLevel = rows[static_cast<size_t>(pick(rng)) % rows.size()].hitLevel;  // an equal level
        } else if (kind < 93) {
            s.hitLevel = HitLevel::unmeasured();
        } else if (kind < 97) {
            s.hitLevel = test::levelOf(bandLevel[truth]);
            s.hitLevel.cancelled = true;
        } else {
            s.hitLevel = test::levelOf(-std::numeric_limits<double>::infinity());
        }
        s.keep = pick(rng) < 10 ? 1 : 0;
        s.locked = pick(rng) < lockedPercent ? 1 : 0;
        rows.push_back(s);
    }
    return rows;
}

TEST(AnchoredSort, MatchesThePlainVersionOnRandomGroups) {
    const std::vector<std::vector<int32_t>> layouts{
        {64}, {43, 86}, {16, 32, 48, 64, 80, 96, 112}, {5, 10, 20, 30, 60, 90, 120}, {40, 40}};
    for (uint64_t seed : {1u, 2u, 3u, 4u}) {
        std::mt19937_64 rng(seed);
        for (int trial = 0; trial < 2000; ++trial) {
            const auto& boundaries = layouts[static_cast<size_t>(trial) % layouts.size()];
            const std::vector<SortSample> rows = randomSamples(rng, boundaries.size() + 1);
            const std::string where = "seed " + std::to_string(seed) + " trial " + std::to_string(trial);
            ASSERT_EQ(anchoredSortPass(rows, boundaries), test::reference::anchoredSortPass(rows, boundaries)) << where;
            ASSERT_EQ(anchoredSort(rows, boundaries), test::reference::anchoredSort(rows, boundaries)) << where;
            ASSERT_EQ(autoSortBands(rows, boundaries), test::reference::autoSortBands(rows, boundaries)) << where;
        }
    }
}

// A workspace kept from call to call hands back remembered groups: after one
// changed input (a band, a lock, a level, a boundary) it must still give
// exactly the plain results.
TEST(AutoSortBands, AKeptWorkspaceMatchesThePlainVersionAfterEachChange) {
    const std::vector<std::vector<int32_t>> layouts{{43, 86}, {43, 85}, {16, 32, 48, 64, 80, 96, 112}};
    std::mt19937_64 rng(7);
    SortWorkspace work;
    std::vector<SortPlacement> out;
    for (int trial = 0; trial < 300; ++trial) {
        std::vector<int32_t> boundaries = layouts[static_cast<size_t>(trial) % 2];
        std::vector<SortSample> rows = randomSamples(rng, boundaries.size() + 1);
        for (int step = 0; step < 12; ++step) {
            std::vector<const SortSample*> pointers;
            for (const SortSample& s : rows) pointers.push_back(&s);
            autoSortBands(pointers, boundaries, work, out);
            ASSERT_EQ(out, test::reference::autoSortBands(rows, boundaries)) << trial << " step " << step;
            if (rows.empty()) break;
            SortSample& s = rows[rng() % rows.size()];
            switch (rng() % 6) {
                case 0: s.currentBand = static_cast<int64_t>(rng() % (boundaries.size() + 1)); break;
                case 1: s.locked ^= 1; break;
                case 2: s.keep ^= 1; break;
                case 3: s.hitLevel.level_db += 0.25; break;
                case 4: s.hitLevel.cancelled = !s.hitLevel.cancelled; break;
                default: boundaries = layouts[rng() % layouts.size()]; break;
            }
        }
    }
}

} // namespace
} // namespace vt6::fmt
