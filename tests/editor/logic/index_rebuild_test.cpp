#include "editor/logic/edit_document.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "analysis/auto_placement.hpp"
#include "editor/logic/doc_fixture.hpp"
#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::addLoaded;
using test::measuredLevel;
using test::shape;

// Direct layer 0, room layer 1, three bands (splits 42, 85). Direct samples
// 1 (-40 dB), 2 (-30 dB) and 3 (-20 dB), all unanchored in band 1; room
// samples 4 and 5 named by 3, room sample 6 named by 2 and 3.
struct Fixture {
    EditDocument doc;
    Fixture() {
        shape(doc, {false, true}, 1, 3);
        addLoaded(doc, 0, 0, 1, measuredLevel(-40));
        addLoaded(doc, 0, 0, 1, measuredLevel(-30), {6, 0, 0});
        addLoaded(doc, 0, 0, 1, measuredLevel(-20), {4, 5, 6});
        addLoaded(doc, 1, 0, 0, measuredLevel(-60));
        addLoaded(doc, 1, 0, 0, measuredLevel(-60));
        addLoaded(doc, 1, 0, 0, measuredLevel(-60));
        for (EditSample& s : doc.samples) s.anchored = 0;
    }
};

TEST(IndexRebuild, PlacesEverySampleAndGroupsRoomLinks) {
    Fixture f;
    f.doc.rebuildIndexes();
    EXPECT_EQ(f.doc.indexedRevision, f.doc.structureRevision);
    ASSERT_EQ(f.doc.autoPlacement.size(), 6u);
    EXPECT_EQ(f.doc.autoPlacement.at(1).band, 0);
    EXPECT_EQ(f.doc.autoPlacement.at(2).band, 1);
    EXPECT_EQ(f.doc.autoPlacement.at(3).band, 2);
    EXPECT_EQ(f.doc.autoPlacement.at(4), (SortPlacement{2, 127.0, 1, 1}));  // follows 3
    EXPECT_EQ(f.doc.autoPlacement.at(6).assigned, 0);                      // partners disagree
    EXPECT_EQ(f.doc.linkRoots.at(1), 1u);
    // 2 and 3 share room sample 6: one group.
    const uint64_t root = f.doc.linkRoots.at(3);
    for (uint64_t uid : {2, 3, 4, 5, 6}) EXPECT_EQ(f.doc.linkRoots.at(uid), root) << uid;
}

TEST(IndexRebuild, SecondCallWithoutChangeDoesNothing) {
    Fixture f;
    f.doc.rebuildIndexes();
    f.doc.autoPlacement.clear();  // would be refilled by a real rebuild
    f.doc.rebuildIndexes();
    EXPECT_TRUE(f.doc.autoPlacement.empty());
}

TEST(IndexRebuild, WaitsForEveryLevelAndDoesNotRetryUntilSomethingChanges) {
    Fixture f;
    f.doc.setHitLevel(5, HitLevel{});
    f.doc.rebuildIndexes();
    EXPECT_TRUE(f.doc.autoPlacement.empty());
    EXPECT_TRUE(f.doc.linkRoots.empty());
    EXPECT_EQ(f.doc.indexedRevision, f.doc.structureRevision);
    f.doc.setHitLevel(5, measuredLevel(-60));
    f.doc.rebuildIndexes();
    EXPECT_EQ(f.doc.autoPlacement.size(), 6u);
}

TEST(IndexRebuild, SampleOutsideTheBandsIsNoRow) {
    Fixture f;
    EditSample& s = f.doc.samples[0];
    f.doc.unplaceSample(s);
    f.doc.placeSample(s, 999, s.positionKey);
    f.doc.rebuildIndexes();
    EXPECT_EQ(f.doc.autoPlacement.count(1), 0u);
    EXPECT_EQ(f.doc.autoPlacement.size(), 5u);
}

TEST(IndexRebuild, DirectSampleIsTheRootOfItsRoomSamples) {
    EditDocument doc;
    shape(doc, {false, true}, 1, 2);
    addLoaded(doc, 1, 0, 0, measuredLevel(-20));
    addLoaded(doc, 1, 0, 0, measuredLevel(-20));
    addLoaded(doc, 0, 0, 0, measuredLevel(-20), {1, 2, 0});
    addLoaded(doc, 1, 0, 0, measuredLevel(-20));  // no partner: its own root
    doc.rebuildIndexes();
    for (uint64_t uid : {1, 2, 3}) EXPECT_EQ(doc.linkRoots.at(uid), 3u);
    EXPECT_EQ(doc.linkRoots.at(4), 4u);
}

TEST(IndexRebuild, EditsAreReindexed) {
    Fixture f;
    f.doc.rebuildIndexes();
    const std::vector<uint64_t> uids{3};
    ASSERT_TRUE(f.doc.moveSamples(uids, 2));
    f.doc.rebuildIndexes();
    // Moved by hand: locked, so the sort leaves it where it is now.
    EXPECT_EQ(f.doc.autoPlacement.at(3), (SortPlacement{2, 127.0, 0, 0}));
}

// The placement and link groups recomputed the plain way, with ordered
// maps and nested vectors from nothing, for comparison with the document's.
struct NaiveIndexes {
    std::map<uint64_t, SortPlacement> placement;
    std::map<uint64_t, uint64_t> roots;
};

NaiveIndexes naiveIndexes(const EditDocument& doc) {
    NaiveIndexes result;
    if (!doc.unmeasuredUids.empty()) return result;
    std::vector<fmt::PlacementRow> rows;
    std::map<uint64_t, size_t> rowOf;
    for (const EditSample& record : doc.samples) {
        if (doc.uidIndex.count(record.uid) == 0) continue;
        const auto band = std::find(doc.bandOrder.begin(), doc.bandOrder.end(), record.bandId);
        if (band == doc.bandOrder.end()) continue;
        fmt::PlacementRow row;
        row.sortSample.id = record.uid;
        row.sortSample.groupKey = static_cast<uint32_t>(record.articulationIndex);
        row.sortSample.currentBand = band - doc.bandOrder.begin();
        row.sortSample.hitLevel = record.hitLevel;
        row.sortSample.keep = record.sortLock;
        row.sortSample.locked = record.anchored;
        row.layerIndex = static_cast<uint32_t>(record.layerIndex);
        row.isRoom = row.layerIndex < doc.layers.size() && doc.layers[row.layerIndex].isRoom != 0 ? 1 : 0;
        row.roomLinks = record.roomLinks;
        if (!rowOf.emplace(record.uid, rows.size()).second) return result;
        rows.push_back(row);
    }
    const size_t n = rows.size();
    std::vector<SortPlacement> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = SortPlacement{rows[i].sortSample.currentBand, 0.0, 0, 0};
    std::vector<std::vector<size_t>> partners(n);
    std::vector<std::vector<size_t>> links(n);
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom != 0) continue;
        for (uint64_t uid : rows[i].roomLinks) {
            const auto found = rowOf.find(uid);
            if (uid == 0 || found == rowOf.end() || rows[found->second].isRoom == 0) continue;
            auto& list = partners[found->second];
            if (std::find(list.begin(), list.end(), i) != list.end()) continue;
            list.push_back(i);
            links[i].push_back(found->second);
            links[found->second].push_back(i);
        }
    }
    std::map<std::pair<uint8_t, uint32_t>, std::vector<size_t>> batches;
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0) batches[{0, 0}].push_back(i);
        else if (partners[i].empty()) batches[{1, rows[i].layerIndex}].push_back(i);
    }
    for (const auto& [key, members] : batches) {
        std::vector<fmt::SortSample> batch;
        for (size_t i : members) batch.push_back(rows[i].sortSample);
        const std::vector<SortPlacement> placed = fmt::autoSortBands(batch, doc.velocitySplits);
        for (size_t k = 0; k < members.size(); ++k) out[members[k]] = placed[k];
    }
    std::vector<uint8_t> pinned(n, 0);
    std::vector<size_t> stack;
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0 || rows[i].sortSample.keep == 0) continue;
        for (size_t d : partners[i])
            if (out[d].band != rows[i].sortSample.currentBand) stack.push_back(i);
    }
    while (!stack.empty()) {
        const size_t i = stack.back();
        stack.pop_back();
        if (pinned[i] != 0) continue;
        pinned[i] = 1;
        out[i] = SortPlacement{rows[i].sortSample.currentBand, 0.0, 0, 0};
        for (size_t next : links[i]) stack.push_back(next);
    }
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom == 0 || partners[i].empty() || pinned[i] != 0 || rows[i].sortSample.keep != 0) continue;
        const int64_t band = out[partners[i].front()].band;
        bool agree = true;
        for (size_t d : partners[i]) agree = agree && out[d].assigned != 0 && out[d].band == band;
        if (!agree) continue;
        out[i] = SortPlacement{band, out[partners[i].front()].scaleLevel, 1,
                               static_cast<uint8_t>(band != rows[i].sortSample.currentBand ? 1 : 0)};
    }
    // Groups joined in row order, the earlier group's representative kept.
    std::vector<size_t> parent(n);
    for (size_t i = 0; i < n; ++i) parent[i] = i;
    auto root = [&](size_t i) {
        while (parent[i] != i) i = parent[i];
        return i;
    };
    for (size_t i = 0; i < n; ++i) {
        if (rows[i].isRoom != 0) continue;
        for (size_t room : links[i]) parent[root(room)] = root(i);
    }
    for (size_t i = 0; i < n; ++i) {
        result.placement[rows[i].sortSample.id] = out[i];
        result.roots[rows[i].sortSample.id] = rows[root(i)].sortSample.id;
    }
    return result;
}

void expectNaiveIndexes(const EditDocument& doc) {
    const NaiveIndexes naive = naiveIndexes(doc);
    ASSERT_EQ(doc.autoPlacement.size(), naive.placement.size());
    ASSERT_EQ(doc.linkRoots.size(), naive.roots.size());
    for (const auto& [uid, placement] : naive.placement) {
        const auto found = doc.autoPlacement.find(uid);
        ASSERT_NE(found, doc.autoPlacement.end()) << uid;
        EXPECT_EQ(found->second, placement) << uid;
        EXPECT_EQ(doc.linkRoots.at(uid), naive.roots.at(uid)) << uid;
    }
}

// Long random sequences of moves, additions, removals, level changes and
// undos over direct and room samples with links: after every step the
// rebuilt indexes equal the plain recomputation.
TEST(IndexRebuild, RandomEditsMatchTheNaiveRecomputation) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        EditDocument doc;
        shape(doc, {false, true, true, false}, 2, 4);
        for (int i = 0; i < 60; ++i) {
            const int32_t layer = static_cast<int32_t>(rng() % 4);
            std::array<uint64_t, 3> links{};
            if (layer == 0 || layer == 3) {
                for (uint64_t& link : links) link = rng() % 3 == 0 ? 0 : 1 + rng() % 70;  // some dangling
            }
            const uint64_t uid = addLoaded(doc, layer, static_cast<int32_t>(rng() % 2), static_cast<int32_t>(rng() % 4),
                                           measuredLevel(-60.0 + static_cast<double>(rng() % 50)), links);
            EditSample* record = doc.liveRecord(uid);
            record->anchored = static_cast<uint8_t>(rng() % 4 == 0);
            record->sortLock = static_cast<uint8_t>(rng() % 6 == 0);
        }
        std::vector<ZemCmdPtr> undo;
        auto take = [&](bool ok) {
            if (!ok) return;
            undo.push_back(std::move(doc.history.undoEntries.back().command));
            doc.history.undoEntries.pop_back();
        };
        auto anyLive = [&]() -> uint64_t {
            if (doc.uidIndex.empty()) return 0;
            auto it = doc.uidIndex.begin();
            std::advance(it, static_cast<long>(rng() % doc.uidIndex.size()));
            return it->first;
        };
        for (int step = 0; step < 400; ++step) {
            const uint64_t uid = anyLive();
            switch (rng() % 6) {
            case 0: {
                const std::vector<uint64_t> uids{uid, anyLive()};
                take(doc.moveSamples(uids, static_cast<int32_t>(rng() % 4)));
                break;
            }
            case 1: {
                AddSampleRequest request;
                request.layerIndex = static_cast<int32_t>(rng() % 4);
                request.articulationIndex = static_cast<int32_t>(rng() % 2);
                request.bandIndex = static_cast<int32_t>(rng() % 4);
                request.frames = 100;
                request.hitLevel = measuredLevel(-50.0 + static_cast<double>(rng() % 40));
                request.roomLinks = {anyLive(), anyLive(), 0};
                take(doc.addSample(request));
                break;
            }
            case 2: {
                const EditSample* r = doc.sampleByUid(uid);
                if (r == nullptr) break;
                take(doc.execute(std::make_unique<RemoveSamplesCmd>(
                    std::vector<SampleRemoval>{{uid, r->bandId, r->positionKey}})));
                break;
            }
            case 3:
                doc.setHitLevel(uid, rng() % 5 != 0 ? measuredLevel(-45.0 + static_cast<double>(rng() % 40))
                                                    : HitLevel{});
                break;
            default:
                if (!undo.empty()) {
                    ASSERT_TRUE(undo.back()->revert(doc));
                    undo.pop_back();
                }
                break;
            }
            doc.rebuildIndexes();
            ASSERT_NO_FATAL_FAILURE(expectNaiveIndexes(doc)) << "step " << step;
        }
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic
