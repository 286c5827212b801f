#include "analysis/auto_placement.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "analysis/sort_fixture.hpp"

namespace vt6::fmt {
namespace {

using test::row;

const std::vector<int32_t> kThirds{43, 86};

PlacementRow direct(uint64_t uid, double db, int64_t band, std::array<uint64_t, 3> links = {}) {
    return PlacementRow{row(uid, db, band), 0, 0, links};
}

PlacementRow room(uint64_t uid, double db, int64_t band, uint32_t layer = 1, uint8_t keep = 0) {
    return PlacementRow{row(uid, db, band, 0, keep), layer, 1, {}};
}

// Direct samples at -40, -30 and -20 dB land in bands 0, 1 and 2.
std::vector<PlacementRow> threeDirect(std::array<uint64_t, 3> linksOfLoudest = {}) {
    return {direct(1, -40, 1), direct(2, -30, 1), direct(3, -20, 1, linksOfLoudest)};
}

TEST(AutoPlacement, OnePlacementPerRowInRowOrder) {
    const auto out = computeAutoPlacement(threeDirect(), kThirds);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].band, 0);
    EXPECT_EQ(out[1].band, 1);
    EXPECT_EQ(out[2].band, 2);
}

TEST(AutoPlacement, ZeroOrRepeatedUidGivesNothing) {
    auto zero = threeDirect();
    zero[1].sortSample.id = 0;
    EXPECT_TRUE(computeAutoPlacement(zero, kThirds).empty());
    auto repeated = threeDirect();
    repeated[2].sortSample.id = 1;
    EXPECT_TRUE(computeAutoPlacement(repeated, kThirds).empty());
}

TEST(AutoPlacement, RoomSampleFollowsItsDirectSample) {
    auto rows = threeDirect({10, 10, 0});  // the same link twice is one partnership
    rows.push_back(room(10, -60, 0));
    const auto out = computeAutoPlacement(rows, kThirds);
    EXPECT_EQ(out[3], (SortPlacement{2, out[2].scaleLevel, 1, 1}));
}

TEST(AutoPlacement, RoomSampleWithDisagreeingPartnersStays) {
    auto rows = threeDirect({10, 0, 0});
    rows[1].roomLinks = {10, 0, 0};  // band 1 and band 2 partners
    rows.push_back(room(10, -60, 0));
    EXPECT_EQ(computeAutoPlacement(rows, kThirds)[3], (SortPlacement{0, 0.0, 0, 0}));

    // Both partners in band 2: follows with the first partner's level.
    auto agree = std::vector<PlacementRow>{direct(1, -40, 1), direct(2, -20, 1, {10, 0, 0}),
                                           direct(3, -20.5, 1, {10, 0, 0}), room(10, -60, 0)};
    const auto out = computeAutoPlacement(agree, kThirds);
    EXPECT_EQ(out[3], (SortPlacement{2, out[1].scaleLevel, 1, 1}));
}

TEST(AutoPlacement, RoomSampleOfAnUnassignedDirectSampleStays) {
    std::vector<PlacementRow> rows{direct(1, -40, 1, {10, 0, 0}), direct(2, -39.5, 1), room(10, -20, 0)};
    EXPECT_EQ(computeAutoPlacement(rows, kThirds)[2], (SortPlacement{0, 0.0, 0, 0}));
}

TEST(AutoPlacement, UnlinkedRoomSamplesSortPerLayerByTheirOwnLevels) {
    auto rows = threeDirect({0, 0, 99});                  // 99 names no row
    rows[0].roomLinks = {2, 0, 0};                         // a direct sample: no partnership
    rows.push_back(room(10, -50, 1, 1));
    rows.push_back(room(11, -10, 1, 1));
    rows.push_back(room(12, -10, 1, 2));                   // alone in its layer
    const auto out = computeAutoPlacement(rows, kThirds);
    EXPECT_EQ(out[0].band, 0);
    EXPECT_EQ(out[1].band, 1);
    EXPECT_EQ(out[3].band, 0);
    EXPECT_EQ(out[4].band, 2);
    EXPECT_EQ(out[5], (SortPlacement{1, 0.0, 0, 0}));
}

TEST(AutoPlacement, SortLockedRoomSamplePinsItsWholeLinkGroup) {
    // 3 -> room 10 (locked, band 1) <- 2 -> room 11 ; direct 3 would go to band 2.
    std::vector<PlacementRow> rows{direct(1, -40, 1), direct(2, -30, 1, {10, 11, 0}), direct(3, -20, 1, {10, 0, 0}),
                                   room(10, -20, 1, 1, 1), room(11, -20, 0)};
    const auto out = computeAutoPlacement(rows, kThirds);
    EXPECT_EQ(out[0].band, 0);
    EXPECT_EQ(out[0].assigned, 1);
    for (size_t i = 1; i < rows.size(); ++i) {
        EXPECT_EQ(out[i], (SortPlacement{rows[i].sortSample.currentBand, 0.0, 0, 0})) << i;
    }
}

TEST(AutoPlacement, SortLockedRoomSampleWhosePartnersStayPinsNothing) {
    std::vector<PlacementRow> rows{direct(1, -40, 0), direct(2, -30, 1, {10, 0, 0}), direct(3, -20, 2),
                                   room(10, -20, 1, 1, 1)};
    const auto out = computeAutoPlacement(rows, kThirds);
    EXPECT_EQ(out[1], (SortPlacement{1, 63.5, 1, 0}));
    EXPECT_EQ(out[3], (SortPlacement{1, 0.0, 0, 0}));
}

} // namespace
} // namespace vt6::fmt
