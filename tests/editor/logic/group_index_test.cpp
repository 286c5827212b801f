#include "editor/logic/group_index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <vector>

#include "editor/logic/doc_fixture.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

TEST(GroupKeyTest, PartsReadBack) {
    EXPECT_EQ(makeGroupKey(3, 7), (3ull << 20) | 7);
    EXPECT_EQ(groupKeyLayer(makeGroupKey(3, 7)), 3);
    EXPECT_EQ(groupKeyArticulation(makeGroupKey(3, 7)), 7);
    EXPECT_EQ(groupKeyLayer(makeGroupKey(-1, 2)), -1);
}

TEST(GroupIndexTest, EmptyBand) {
    const GroupIndex index;
    std::vector<int32_t> out{9};
    EXPECT_EQ(index.countMatching({}, 100), 0);
    EXPECT_FALSE(index.selectNth({}, 0));
    index.collect({}, 0, 5, out);
    EXPECT_TRUE(out.empty());
}

TEST(GroupIndexTest, RestoringARemovedSampleRevivesItsTombstone) {
    GroupIndex index;
    for (uint64_t p = 1; p <= 5; ++p) index.insert(makeGroupKey(0, 0), p, static_cast<int32_t>(p));
    GroupEntry& e = index.entries.begin()->second;
    GroupIndex::markDead(e, 2);
    EXPECT_EQ(index.totalLive(), 4);
    EXPECT_EQ(index.selectNth({}, 2)->positionKey, 4u);
    index.insert(makeGroupKey(0, 0), 3, 30);
    EXPECT_EQ(e.positions.size(), 5u);
    EXPECT_EQ(e.sampleIndices[2], 30);
    EXPECT_EQ(e.counts, test::naiveFenwick(e.live));
}

TEST(GroupIndexTest, InsertingBelowTheLastPositionKeepsOrderAndCounts) {
    GroupIndex index;
    for (uint64_t p : {10, 20, 30}) index.insert(makeGroupKey(0, 0), p, static_cast<int32_t>(p));
    index.insert(makeGroupKey(0, 0), 15, 15);
    const GroupEntry& e = index.entries.begin()->second;
    EXPECT_EQ(e.positions, (std::vector<uint64_t>{10, 15, 20, 30}));
    EXPECT_EQ(e.sampleIndices, (std::vector<int32_t>{10, 15, 20, 30}));
    EXPECT_EQ(e.counts, test::naiveFenwick(e.live));
    EXPECT_EQ(GroupIndex::countUpTo(e, 19), 2);
    EXPECT_EQ(index.maxPositionKey, 30u);
}

TEST(GroupIndexTest, PageFilterMatchesEveryLayerOrArticulation) {
    GroupIndex index;
    index.insert(makeGroupKey(0, 2), 1, 1);
    index.insert(makeGroupKey(1, 2), 2, 2);
    index.insert(makeGroupKey(1, 3), 3, 3);
    struct Case {
        PageFilter filter;
        int count;
    };
    for (const Case& c : {Case{{-1, 2}, 2}, Case{{-1, -1}, 3}, Case{{1, -1}, 2}, Case{{1, 3}, 1}, Case{{2, -1}, 0}}) {
        EXPECT_EQ(index.countMatching(c.filter, index.maxPositionKey), c.count) << c.filter.layer << "," << c.filter.articulation;
    }
}

TEST(GroupIndexTest, CollectWindows) {
    GroupIndex index;
    for (int p = 1; p <= 6; ++p) index.insert(makeGroupKey(p % 2, 0), static_cast<uint64_t>(p), p);
    std::vector<int32_t> out;
    index.collect({}, 2, 3, out);
    EXPECT_EQ(out, (std::vector<int32_t>{3, 4, 5}));
    index.collect({}, 4, 10, out);
    EXPECT_EQ(out, (std::vector<int32_t>{5, 6}));
    index.collect({}, 6, 1, out);
    EXPECT_TRUE(out.empty());
    index.collect({1, -1}, 1, 5, out);
    EXPECT_EQ(out, (std::vector<int32_t>{3, 5}));
}

// Random inserts, removals and revivals over several groups, checked against
// a plain sorted list after every step.
TEST(GroupIndexTest, RandomOperationsMatchANaiveModel) {
    std::mt19937 rng(7);
    GroupIndex index;
    struct Item {
        GroupKey key;
        uint64_t pos;
        int32_t sample;
        bool live;
    };
    std::vector<Item> model;
    uint64_t nextPos = 1;
    const std::vector<PageFilter> filters{{-1, -1}, {0, -1}, {-1, 1}, {1, 0}};
    for (int step = 0; step < 3000; ++step) {
        const int op = static_cast<int>(rng() % 4);
        if (op <= 1 || model.empty()) {
            const GroupKey key = makeGroupKey(static_cast<int32_t>(rng() % 2), static_cast<int32_t>(rng() % 2));
            // Mostly appends, sometimes a fresh position below the top.
            const uint64_t pos = (op == 1 && nextPos > 50) ? (rng() % nextPos) * 1000 + 500 : (nextPos++) * 1000;
            if (std::any_of(model.begin(), model.end(), [&](const Item& i) { return i.pos == pos; })) continue;
            index.insert(key, pos, step);
            model.push_back({key, pos, step, true});
        } else {
            Item& item = model[rng() % model.size()];
            GroupEntry& e = index.entries.at(item.key);
            const size_t p = GroupIndex::lowerBound(e, item.pos);
            if (item.live) {
                GroupIndex::markDead(e, p);
            } else {
                index.insert(item.key, item.pos, item.sample);
            }
            item.live = !item.live;
        }
        const PageFilter filter = filters[static_cast<size_t>(step) % filters.size()];
        std::vector<Item> visible;
        for (const Item& i : model) {
            if (i.live && filter.matches(i.key)) visible.push_back(i);
        }
        std::sort(visible.begin(), visible.end(), [](const Item& a, const Item& b) { return a.pos < b.pos; });
        ASSERT_EQ(index.countMatching(filter, index.maxPositionKey), static_cast<int>(visible.size()));
        const int n = static_cast<int>(rng() % (visible.size() + 1));
        const auto hit = index.selectNth(filter, n);
        if (n < static_cast<int>(visible.size())) {
            ASSERT_TRUE(hit);
            ASSERT_EQ(hit->positionKey, visible[static_cast<size_t>(n)].pos);
            ASSERT_EQ(hit->sampleIndex, visible[static_cast<size_t>(n)].sample);
        } else {
            ASSERT_FALSE(hit);
        }
        std::vector<int32_t> out;
        index.collect(filter, n, 4, out);
        std::vector<int32_t> expected;
        for (size_t k = static_cast<size_t>(n); k < visible.size() && expected.size() < 4; ++k) expected.push_back(visible[k].sample);
        ASSERT_EQ(out, expected);
    }
    for (const auto& [key, e] : index.entries) EXPECT_EQ(e.counts, test::naiveFenwick(e.live));
}

} // namespace
} // namespace vt6::ui::zemedit::logic
