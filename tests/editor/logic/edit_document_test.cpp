#include "editor/logic/edit_document.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "editor/logic/doc_fixture.hpp"
#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::addLoaded;
using test::expectConsistent;
using test::measuredLevel;
using test::shape;

TEST(EditDocumentTest, ConstructedEmpty) {
    const EditDocument doc;
    EXPECT_EQ(doc.drumType, 5);
    EXPECT_EQ(doc.nextBandId, 1);
    EXPECT_EQ(doc.nextUid, 1u);
    EXPECT_EQ(doc.nextPositionKey, 1u);
    EXPECT_EQ(doc.indexedRevision, ~uint64_t{0});
    EXPECT_EQ(doc.pageLayer, -1);
    EXPECT_EQ(doc.dropBand, -1);
    EXPECT_FALSE(doc.dirty());
}

TEST(EditDocumentTest, UndoBackToTheSavedStateStillCountsAsDirty) {
    EditDocument doc;
    shape(doc, {false}, 1, 2);
    const uint64_t uid = addLoaded(doc, 0, 0, 0, measuredLevel(-20));
    doc.markSaved();
    ASSERT_TRUE(doc.setMuted(uid, true));
    doc.history.undoEntries.back().command->revert(doc);
    EXPECT_EQ(doc.sampleByUid(uid)->muted, 0);
    EXPECT_TRUE(doc.dirty());
}

TEST(EditDocumentTest, MarkSavedRaisesStructureOnlyWhenItAnchorsASample) {
    EditDocument doc;
    shape(doc, {false}, 1, 2);
    const uint64_t uid = addLoaded(doc, 0, 0, 0, measuredLevel(-20));
    addLoaded(doc, 0, 0, 1, measuredLevel(-10));
    uint64_t before = doc.structureRevision;
    doc.markSaved();
    EXPECT_EQ(doc.structureRevision, before);
    doc.samples[doc.uidIndex.at(uid)].anchored = 0;
    doc.samples.push_back(doc.samples.back());  // a removed record, never flagged
    doc.samples.back().anchored = 0;
    doc.samples.back().uid = 99;
    before = doc.structureRevision;
    doc.markSaved();
    EXPECT_EQ(doc.structureRevision, before + 1);
    EXPECT_EQ(doc.sampleByUid(uid)->anchored, 1);
    EXPECT_EQ(doc.samples.back().anchored, 0);
}

TEST(EditDocumentTest, SetHitLevelIgnoresCancelledLevelsAndDeadUids) {
    EditDocument doc;
    shape(doc, {false}, 1, 2);
    const uint64_t uid = addLoaded(doc, 0, 0, 0, HitLevel::unmeasured());
    EXPECT_EQ(doc.unmeasuredUids.count(uid), 1u);
    HitLevel cancelled = measuredLevel(-3);
    cancelled.cancelled = true;
    const uint64_t revision = doc.structureRevision;
    doc.setHitLevel(uid, cancelled);
    doc.setHitLevel(uid + 1, measuredLevel(-3));
    EXPECT_EQ(doc.structureRevision, revision);
    EXPECT_TRUE(doc.touchedUids.empty());

    const uint64_t changes = doc.changeCounter;
    doc.setHitLevel(uid, measuredLevel(-3));
    EXPECT_EQ(doc.sampleLevels(uid), measuredLevel(-3));
    EXPECT_TRUE(doc.unmeasuredUids.empty());
    EXPECT_EQ(doc.touchedUids, std::vector<uint64_t>{uid});
    EXPECT_EQ(doc.changeCounter, changes);
    EXPECT_EQ(doc.structureRevision, revision + 1);
}

TEST(EditDocumentTest, PlacingIntoAMissingBandLeavesTheRecordUnindexed) {
    EditDocument doc;
    shape(doc, {false}, 1, 2);
    const uint64_t uid = addLoaded(doc, 0, 0, 0, HitLevel::unmeasured());
    EditSample& record = doc.samples[doc.uidIndex.at(uid)];
    doc.unplaceSample(record);
    const uint64_t revision = doc.structureRevision;
    doc.placeSample(record, 77, 500);
    EXPECT_EQ(record.bandId, 77);
    EXPECT_EQ(record.positionKey, 500u);
    EXPECT_EQ(doc.structureRevision, revision);
    EXPECT_LT(doc.nextPositionKey, 500u);
    for (const EditBand& b : doc.bands) EXPECT_EQ(b.groups.totalLive(), 0);
    // An unplaced sample never holds the automatic placement back.
    doc.setHitLevel(uid, HitLevel{});
    EXPECT_TRUE(doc.unmeasuredUids.empty());
}

TEST(EditDocumentTest, ResetKeepsTheChangeCounterAndRaisesGeneration) {
    EditDocument doc;
    shape(doc, {false}, 1, 2);
    const uint64_t uid = addLoaded(doc, 0, 0, 0, measuredLevel(-20));
    doc.setMuted(uid, true);
    const uint64_t changes = doc.changeCounter;
    const uint64_t generation = doc.generation;
    const int32_t nextBand = doc.nextBandId;
    doc.reset();
    EXPECT_EQ(doc.changeCounter, changes);
    EXPECT_EQ(doc.generation, generation + 1);
    EXPECT_EQ(doc.nextBandId, nextBand);
    EXPECT_TRUE(doc.history.undoEntries.empty());
    EXPECT_TRUE(doc.samples.empty());
    EXPECT_EQ(doc.nextUid, 1u);
}

TEST(EditDocumentTest, SetBandLayoutTakesSplitsAndPositions) {
    EditDocument doc;
    shape(doc, {false}, 1, 3);
    const std::vector<int32_t> splits{20, 100};
    const std::vector<double> positions{0.1, 0.6};  // one short: the last band keeps its own
    EXPECT_EQ(doc.setBandLayout(splits, positions), 3u);
    EXPECT_EQ(doc.velocitySplits, splits);
    EXPECT_EQ(doc.levelPositions, (std::vector<double>{0.1, 0.6, 2.5 / 3}));
    EXPECT_EQ(doc.bandsEdited, 1);
    for (int32_t id : doc.bandOrder) EXPECT_EQ(doc.bandViewCounters[id], 1u);
}

TEST(EditDocumentTest, RebindSourceFollowsTheRewrittenTables) {
    EditDocument doc;
    shape(doc, {false, true}, 1, 1);
    doc.layers[1].userLevel = 0.3;
    doc.defsEdited = 1;
    fmt::Zem6Model model;
    fmt::LayerDef room;
    room.id = 2;
    room.slot = 2;
    room.level = 0.5;
    model.metadata.layers.push_back(room);
    fmt::ArticulationDef art;
    art.id = 1;
    model.metadata.articulations.push_back(art);
    doc.rebindSource(model);
    EXPECT_EQ(doc.layers[0].sourceIndex, -1);
    EXPECT_FALSE(doc.layers[0].fileSlot);
    EXPECT_EQ(doc.layers[1].sourceIndex, 0);
    EXPECT_EQ(doc.layers[1].fileSlot, 2u);
    EXPECT_EQ(doc.layers[1].fileLevel, 0.5);
    EXPECT_FALSE(doc.layers[1].userLevel);
    EXPECT_EQ(doc.articulations[0].sourceIndex, 0);
    EXPECT_EQ(doc.defsEdited, 0);
}

// Long random sequences of edits, undos and redos: after every step each
// band's group index holds exactly the live samples that name it.
TEST(EditDocumentTest, RandomEditsKeepTheGroupIndexesConsistent) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        EditDocument doc;
        shape(doc, {false, true, false}, 2, 4);
        for (int i = 0; i < 30; ++i) {
            addLoaded(doc, static_cast<int32_t>(rng() % 3), static_cast<int32_t>(rng() % 2),
                      static_cast<int32_t>(rng() % 4), i % 7 == 0 ? HitLevel{} : measuredLevel(-40.0 + i));
        }
        std::vector<ZemCmdPtr> undo;
        std::vector<ZemCmdPtr> redo;
        auto take = [&](bool ok) {
            if (!ok) return;
            undo.push_back(std::move(doc.history.undoEntries.back().command));
            doc.history.undoEntries.pop_back();
            redo.clear();
        };
        auto anyLive = [&]() -> uint64_t {
            if (doc.uidIndex.empty()) return 0;
            auto it = doc.uidIndex.begin();
            std::advance(it, static_cast<long>(rng() % doc.uidIndex.size()));
            return it->first;
        };
        for (int step = 0; step < 1500; ++step) {
            const uint64_t uid = anyLive();
            switch (rng() % 10) {
            case 0: {
                std::vector<uint64_t> uids{uid, anyLive(), anyLive()};
                take(doc.moveSamples(uids, static_cast<int32_t>(rng() % 4)));
                break;
            }
            case 1: {
                AddSampleRequest request;
                request.layerIndex = static_cast<int32_t>(rng() % 3);
                request.articulationIndex = static_cast<int32_t>(rng() % 2);
                request.bandIndex = static_cast<int32_t>(rng() % 4);
                request.frames = 100;
                request.hitLevel = rng() % 2 ? measuredLevel(-20) : HitLevel{};
                take(doc.addSample(request));
                break;
            }
            case 2: {
                const EditSample* r = doc.sampleByUid(uid);
                if (r == nullptr) break;
                std::vector<SampleRemoval> removals{{uid, r->bandId, r->positionKey}};
                if (const EditSample* other = doc.sampleByUid(anyLive())) {
                    removals.push_back({other->uid, other->bandId, other->positionKey});
                }
                take(doc.execute(std::make_unique<RemoveSamplesCmd>(std::move(removals))));
                break;
            }
            case 3: {
                const EditSample* r = doc.sampleByUid(uid);
                if (r == nullptr) break;
                const char field = rng() % 2 ? 'l' : 'a';
                const int64_t count = field == 'l' ? 3 : 2;
                const int64_t from = field == 'l' ? r->layerIndex : r->articulationIndex;
                take(doc.execute(std::make_unique<AssignFieldCmd>(uid, field, from, (from + 1) % count, r->positionKey,
                                                                  doc.nextPositionKey++)));
                break;
            }
            case 4:
                take(doc.setSampleAudio(uid, rng() % 10, 0));
                break;
            case 5:
                doc.setHitLevel(uid, rng() % 3 ? measuredLevel(-30) : HitLevel{});
                break;
            case 6:
                take(doc.setMuted(uid, rng() % 2 != 0));
                break;
            case 7:
            case 8:
                if (!undo.empty()) {
                    ASSERT_TRUE(undo.back()->revert(doc));
                    redo.push_back(std::move(undo.back()));
                    undo.pop_back();
                }
                break;
            default:
                if (!redo.empty()) {
                    ASSERT_TRUE(redo.back()->apply(doc));
                    undo.push_back(std::move(redo.back()));
                    redo.pop_back();
                }
                break;
            }
            expectConsistent(doc);
            if (testing::Test::HasFatalFailure()) return;
        }
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic
