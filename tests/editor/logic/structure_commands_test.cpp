// Edits of the instrument's structure: band commands, definition commands,
// pruning empty groups and applying the automatic sort.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "editor/logic/band_commands.hpp"
#include "editor/logic/band_layout.hpp"
#include "editor/logic/def_commands.hpp"
#include "editor/logic/doc_fixture.hpp"
#include "editor/logic/prune_sort.hpp"
#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::addLoaded;
using test::expectConsistent;
using test::measuredLevel;
using test::shape;
using test::snapshot;

// Layer 0 direct, layer 1 a room (slot 2); two articulations; three bands
// (splits 42, 85). Samples 1..6: two per band, on every layer and
// articulation. Band 0 carries a source entry.
struct Fixture {
    EditDocument doc;
    Fixture() {
        shape(doc, {false, true}, 2, 3);
        fmt::BandDef entry;
        entry.id = 1;
        entry.name = "Soft";
        entry.low = 0.0;
        doc.bands[0].sourceEntry = entry;
        addLoaded(doc, 0, 0, 0, measuredLevel(-40));
        addLoaded(doc, 1, 1, 0, measuredLevel(-35));
        addLoaded(doc, 1, 0, 1, measuredLevel(-30));
        addLoaded(doc, 0, 1, 1, measuredLevel(-25));
        addLoaded(doc, 1, 1, 2, measuredLevel(-20));
        addLoaded(doc, 0, 0, 2, measuredLevel(-10));
        doc.pageLayer = 1;
        doc.pageArticulation = 1;
    }
    ZemCmd& last() { return *doc.history.undoEntries.back().command; }
};

// Five bands; bands 1 and 3 empty. Three layers, layer 2 unused; three
// articulations, only articulation 2 used.
struct SparseFixture {
    EditDocument doc;
    SparseFixture() {
        shape(doc, {false, true, true}, 3, 5);
        addLoaded(doc, 0, 2, 0, measuredLevel(-40));
        addLoaded(doc, 1, 2, 2, measuredLevel(-30));
        addLoaded(doc, 0, 2, 4, measuredLevel(-20));
        addLoaded(doc, 1, 2, 4, measuredLevel(-10));
        doc.pageArticulation = 2;
    }
};

// As the index rebuild tests: unanchored direct samples 1..3 in band 1,
// room samples 4..6 in band 0 linked from 2 and 3. Automatic placement moves
// 1 to band 0 and 3, 4 and 5 to band 2.
struct SortFixture {
    EditDocument doc;
    SortFixture() {
        shape(doc, {false, true}, 1, 3);
        addLoaded(doc, 0, 0, 1, measuredLevel(-40));
        addLoaded(doc, 0, 0, 1, measuredLevel(-30), {6, 0, 0});
        addLoaded(doc, 0, 0, 1, measuredLevel(-20), {4, 5, 6});
        addLoaded(doc, 1, 0, 0, measuredLevel(-60));
        addLoaded(doc, 1, 0, 0, measuredLevel(-60));
        addLoaded(doc, 1, 0, 0, measuredLevel(-60));
        for (EditSample& s : doc.samples) s.anchored = 0;
        ++doc.structureRevision;
    }
};

int32_t bandIndexOfUid(const EditDocument& doc, uint64_t uid) { return doc.bandIndexOf(doc.sampleByUid(uid)->bandId); }

// Uids of a band in position order.
std::vector<uint64_t> bandUids(const EditDocument& doc, size_t bandIndex) {
    std::vector<int32_t> indices;
    const GroupIndex& g = doc.bands[bandIndex].groups;
    g.collect(PageFilter{}, 0, g.totalLive(), indices);
    std::vector<uint64_t> out;
    for (int32_t i : indices) out.push_back(doc.samples[static_cast<size_t>(i)].uid);
    return out;
}

std::vector<std::string> names(const std::vector<EditDef>& defs) {
    std::vector<std::string> out;
    for (const EditDef& d : defs) out.push_back(d.name);
    return out;
}

std::vector<std::string> bandNames(const EditDocument& doc) {
    std::vector<std::string> out;
    for (const EditBand& b : doc.bands) out.push_back(b.name);
    return out;
}

// Splits fit the bands: one fewer (none for one band or none).
// One layer and articulation, bands at `splits` (positions that keep them),
// and one sample in each band.
void oneSamplePerBand(EditDocument& doc, const std::vector<int32_t>& splits) {
    shape(doc, {false}, 1, static_cast<int>(splits.size()) + 1);
    doc.setBandLayout(splits, layoutKeepingSplits(splits).positions);
    for (size_t b = 0; b < doc.bands.size(); ++b) addLoaded(doc, 0, 0, static_cast<int32_t>(b), measuredLevel(-20));
}

void expectLayoutFits(const EditDocument& doc) {
    ASSERT_EQ(doc.velocitySplits.size(), doc.bands.size() < 2 ? 0 : doc.bands.size() - 1);
    ASSERT_EQ(doc.levelPositions.size(), doc.bands.size());
    ASSERT_EQ(doc.bandOrder.size(), doc.bands.size());
    for (size_t i = 0; i < doc.bands.size(); ++i) ASSERT_EQ(doc.bandOrder[i], doc.bands[i].id);
}

// The content equals `before` apart from the two edit flags, which stay set
// once an edit raised them (model composition reads them).
bool sameContent(const EditDocument& doc, const test::Snapshot& before) {
    test::Snapshot now = snapshot(doc);
    now.bandsEdited = before.bandsEdited;
    now.defsEdited = before.defsEdited;
    return now == before;
}

struct EditCase {
    const char* name;
    std::function<bool(EditDocument&)> edit;
    const char* undoText;
    uint64_t cost;
};

const std::vector<EditCase>& editCases() {
    static const std::vector<EditCase> cases{
        {"move a boundary",
         [](EditDocument& d) {
             d.dragBoundary = 0;
             d.dragSplits = {30, 85};
             return d.commitBounds();
         },
         "Move dynamics boundary", 104 + 4 * 4 + 8 * 6},
        {"rename", [](EditDocument& d) { return d.renameBand(1, "  soft\t"); }, "Rename dynamic", 80 + 2 + 4},
        {"drum type", [](EditDocument& d) { return d.setDrumType(1); }, "Set drum type", 16},
        {"add band", [](EditDocument& d) { return d.addBand(); }, "Add dynamic", 144 + 3 + 4 * 5 + 8 * 7},
        {"delete first band", [](EditDocument& d) { return d.deleteBand(0); }, "Delete dynamic",
         304 + 2 + (32 + 48 * 2) + 4 * 3 + 8 * 5},
        {"delete last band", [](EditDocument& d) { return d.deleteBand(2); }, "Delete dynamic",
         304 + 2 + (32 + 48 * 2) + 4 * 3 + 8 * 5},
        {"add layer", [](EditDocument& d) { return d.addLayer(""); }, "Add layer", 72 + 7},
        {"add room channel", [](EditDocument& d) { return d.addRoomChannel(); }, "Add layer", 72 + 6},
        {"show room channel",
         [](EditDocument& d) {
             d.layers.push_back(EditDef{9, "Hidden", -1, 0, {}, {}, {}, uint64_t{1}, 0});
             return d.addRoomChannel();
         },
         "Add room channel", 16},
        {"add articulation", [](EditDocument& d) { return d.addArticulation(); }, "Add articulation", 72 + 4},
        {"delete layer", [](EditDocument& d) { return d.deleteDef(true, 0); }, "Delete room channel", 168 + 2 + 8 * 6},
        {"delete articulation", [](EditDocument& d) { return d.deleteDef(false, 1); }, "Delete articulation",
         168 + 2 + 8 * 3},
        {"reorder articulations", [](EditDocument& d) { return d.reorderDefs(false, 0, 1, true); },
         "Reorder articulations", 64 + 8 * 4},
        {"reorder layers", [](EditDocument& d) { return d.reorderDefs(true, 1, 0, false); }, "Reorder room channels",
         64 + 8 * 4},
        {"channel level", [](EditDocument& d) { return d.setChannelLevel(1, 2, 0.5, true); },
         "Set room channel default level", 32},
        {"prune",
         [](EditDocument& d) {
             d.addLayer("");
             d.addBand();
             return d.pruneEmptyGroups();
         },
         "Remove empty groups", 0},
        {"auto sort",
         [](EditDocument& d) {
             // Everything measured loud and unanchored: the sort spreads it out.
             for (EditSample& s : d.samples) s.anchored = 0;
             const std::vector<uint64_t> all{1, 2, 3, 4, 5, 6};
             d.moveSamples(all, 0);
             for (EditSample& s : d.samples) s.sortLock = 0;
             ++d.structureRevision;
             return d.applyAutoSort(false);
         },
         "Move samples", 0},
    };
    return cases;
}

TEST(StructureCommands, ApplyUndoAndRedoRestoreTheWholeDocument) {
    for (const EditCase& c : editCases()) {
        SCOPED_TRACE(c.name);
        Fixture f;
        ASSERT_TRUE(c.edit(f.doc));
        ZemCmd& cmd = f.last();
        ASSERT_TRUE(cmd.revert(f.doc));  // back to the state right before the edit
        const test::Snapshot before = snapshot(f.doc);
        ASSERT_TRUE(cmd.apply(f.doc));
        const test::Snapshot after = snapshot(f.doc);
        EXPECT_FALSE(before == after);
        expectConsistent(f.doc);
        expectLayoutFits(f.doc);
        EXPECT_STREQ(cmd.name(), c.undoText);
        if (c.cost != 0) {
            EXPECT_EQ(cmd.cost(), c.cost);
        }
        EXPECT_EQ(f.doc.history.undoEntries.back().cost, cmd.cost());
        for (int round = 0; round < 2; ++round) {
            const auto layout = f.doc.layoutRevision;
            uint64_t changes = f.doc.changeCounter;
            ASSERT_TRUE(cmd.revert(f.doc));
            EXPECT_TRUE(snapshot(f.doc) == before);
            EXPECT_GT(f.doc.changeCounter, changes);
            EXPECT_GE(f.doc.layoutRevision, layout);
            expectConsistent(f.doc);
            expectLayoutFits(f.doc);
            changes = f.doc.changeCounter;
            ASSERT_TRUE(cmd.apply(f.doc));
            EXPECT_TRUE(snapshot(f.doc) == after);
            EXPECT_GT(f.doc.changeCounter, changes);
            expectConsistent(f.doc);
            expectLayoutFits(f.doc);
        }
    }
}

struct Counters {
    uint64_t change, generation, structure, layout;
    int32_t nextBandId;
    uint64_t nextPositionKey;
    size_t history;
    bool operator==(const Counters&) const = default;
};

Counters counters(const EditDocument& d) {
    return {d.changeCounter, d.generation, d.structureRevision, d.layoutRevision, d.nextBandId, d.nextPositionKey,
            d.history.undoEntries.size()};
}

TEST(StructureCommands, RefusedEditsExecuteNothing) {
    struct Refusal {
        const char* what;
        std::function<void(EditDocument&)> setup;
        std::function<bool(EditDocument&)> edit;
    };
    auto drag = [](std::vector<int32_t> splits) {
        return [splits](EditDocument& d) {
            d.dragBoundary = 1;
            d.dragSplits = splits;
        };
    };
    auto none = [](EditDocument&) {};
    const std::vector<Refusal> refusals{
        {"no drag", none, [](EditDocument& d) { return d.commitBounds(); }},
        {"unchanged drag", drag({42, 85}), [](EditDocument& d) { return d.commitBounds(); }},
        {"drag with too few splits", drag({42}), [](EditDocument& d) { return d.commitBounds(); }},
        {"drag with too many splits", drag({20, 42, 85}), [](EditDocument& d) { return d.commitBounds(); }},
        {"drag out of order", drag({85, 42}), [](EditDocument& d) { return d.commitBounds(); }},
        {"drag with equal splits", drag({42, 42}), [](EditDocument& d) { return d.commitBounds(); }},
        {"drag to 0", drag({0, 85}), [](EditDocument& d) { return d.commitBounds(); }},
        {"drag to 127", drag({42, 127}), [](EditDocument& d) { return d.commitBounds(); }},
        {"rename a negative band", none, [](EditDocument& d) { return d.renameBand(-1, "X"); }},
        {"rename past the bands", none, [](EditDocument& d) { return d.renameBand(3, "X"); }},
        {"rename to spaces", none, [](EditDocument& d) { return d.renameBand(0, "   "); }},
        {"rename to tabs and spaces", none, [](EditDocument& d) { return d.renameBand(0, "\t \t"); }},
        {"rename to the same name", none, [](EditDocument& d) { return d.renameBand(1, " B1\t"); }},
        {"same drum type", none, [](EditDocument& d) { return d.setDrumType(d.drumType); }},
        {"add a band to narrow bands",
         [](EditDocument& d) {
             d.bands.clear();
             d.bandOrder.clear();
             d.velocitySplits.clear();
             d.samples.clear();
             d.uidIndex.clear();
             d.unmeasuredUids.clear();
             d.liveSampleCount = 0;
             shape(d, {}, 0, 12);  // every band narrower than 12 steps
         },
         [](EditDocument& d) { return d.addBand(); }},
        {"delete the only band",
         [](EditDocument& d) {
             d.bands.resize(1);
             d.bandOrder.resize(1);
             d.velocitySplits.clear();
             d.syncLevelPositions();
         },
         [](EditDocument& d) { return d.deleteBand(0); }},
        {"delete a negative band", none, [](EditDocument& d) { return d.deleteBand(-1); }},
        {"delete past the bands", none, [](EditDocument& d) { return d.deleteBand(3); }},
        {"add a fourth room channel",
         [](EditDocument& d) {
             d.layers.push_back(EditDef{7, "RA", -1, 0, {}, {}, {}, uint64_t{1}, 1});
             d.layers.push_back(EditDef{8, "RC", -1, 0, {}, {}, {}, uint64_t{3}, 1});
         },
         [](EditDocument& d) { return d.addRoomChannel(); }},
        {"delete the only articulation", [](EditDocument& d) { d.articulations.resize(1); },
         [](EditDocument& d) { return d.deleteDef(false, 0); }},
        {"delete a layer past the list", none, [](EditDocument& d) { return d.deleteDef(true, 2); }},
        {"delete a huge index", none, [](EditDocument& d) { return d.deleteDef(false, 0xFFFFFFFFu); }},
        {"reorder onto itself", none, [](EditDocument& d) { return d.reorderDefs(false, 1, 1, true); }},
        {"reorder past the list", none, [](EditDocument& d) { return d.reorderDefs(false, 2, 0, true); }},
        {"reorder to the same order", none, [](EditDocument& d) { return d.reorderDefs(true, 0, 1, false); }},
        {"level of another layer's control", none, [](EditDocument& d) { return d.setChannelLevel(1, 1, 0.5, true); }},
        {"level of no layer", none, [](EditDocument& d) { return d.setChannelLevel(2, 3, 0.5, true); }},
        {"level NaN", none, [](EditDocument& d) { return d.setChannelLevel(1, 2, std::nan(""), true); }},
        {"level above 1", none, [](EditDocument& d) { return d.setChannelLevel(1, 2, 1.5, true); }},
        {"level below 0", none, [](EditDocument& d) { return d.setChannelLevel(1, 2, -0.1, true); }},
        {"unchanged level", none, [](EditDocument& d) { return d.setChannelLevel(1, 2, 1.0, true); }},
        {"prune with nothing empty", none, [](EditDocument& d) { return d.pruneEmptyGroups(); }},
        {"auto sort while unmeasured",
         [](EditDocument& d) {
             for (EditSample& s : d.samples) s.anchored = 0;
             d.setHitLevel(3, HitLevel{});
             d.dragBoundary = 0;
             d.dragSplits = {10, 20};
             d.commitBounds();
         },
         [](EditDocument& d) { return d.applyAutoSort(false); }},
        {"auto sort with nothing to move", none, [](EditDocument& d) { return d.applyAutoSort(false); }},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        Fixture f;
        r.setup(f.doc);
        const Counters before = counters(f.doc);
        const test::Snapshot content = snapshot(f.doc);
        EXPECT_FALSE(r.edit(f.doc));
        EXPECT_EQ(counters(f.doc), before);
        EXPECT_TRUE(snapshot(f.doc) == content);
        EXPECT_EQ(f.doc.dragBoundary, -1);
    }
}

// --- Bands ------------------------------------------------------------------------

TEST(BandCommands, AddBandSplitsTheWidestBand) {
    EditDocument doc;
    doc.initDefault();
    const int32_t firstNew = doc.nextBandId;
    ASSERT_TRUE(doc.addBand());
    EXPECT_EQ(doc.velocitySplits, (std::vector<int32_t>{17, 34, 68, 100}));
    EXPECT_EQ(bandNames(doc), (std::vector<std::string>{"Ghost", "New", "Soft", "Medium", "Hard"}));
    EXPECT_EQ(doc.bands[1].id, firstNew);
    EXPECT_EQ(levelPositionsToVelocitySplits(doc.levelPositions), doc.velocitySplits);
    // Ids are never reused, also after undo.
    doc.history.undoEntries.back().command->revert(doc);
    ASSERT_TRUE(doc.addBand());
    EXPECT_EQ(doc.bands[1].id, firstNew + 1);
    ASSERT_TRUE(doc.addBand());
    EXPECT_EQ(doc.nextBandId, firstNew + 3);
    expectLayoutFits(doc);
}

TEST(BandCommands, AddBandToADocumentWithoutBands) {
    EditDocument doc;
    shape(doc, {false}, 1, 0);
    ASSERT_TRUE(doc.addBand());
    EXPECT_EQ(bandNames(doc), std::vector<std::string>{"New"});
    EXPECT_EQ(doc.levelPositions, std::vector<double>{0.5});
    EXPECT_TRUE(doc.velocitySplits.empty());
    expectLayoutFits(doc);
}

TEST(BandCommands, DeleteBandMovesItsSamplesAfterTheReceiversOwn) {
    struct Case {
        int32_t deleted;
        int32_t receiver;  // index before the delete
        std::vector<int32_t> splits;
    };
    const Case cases[] = {{0, 1, {68, 100}}, {2, 1, {34, 100}}, {3, 2, {34, 68}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.deleted);
        EditDocument doc;
        doc.initDefault();
        doc.bands[static_cast<size_t>(c.deleted)].sourceEntry = fmt::BandDef{7, 0.1, 0.2, "Old", {}};
        for (int band = 0; band < 4; ++band) {
            for (int k = 0; k < 3; ++k) addLoaded(doc, 0, 0, band, measuredLevel(-10.0 * band - k));
        }
        // Interleave the deleted band's order with a later insertion.
        const std::vector<uint64_t> deletedUids = bandUids(doc, static_cast<size_t>(c.deleted));
        const std::vector<uint64_t> receiverUids = bandUids(doc, static_cast<size_t>(c.receiver));
        const test::Snapshot before = snapshot(doc);
        const EditBand old = doc.bands[static_cast<size_t>(c.deleted)];

        ASSERT_TRUE(doc.deleteBand(c.deleted));
        EXPECT_EQ(doc.velocitySplits, c.splits);
        EXPECT_EQ(doc.bands.size(), 3u);
        std::vector<uint64_t> expected = receiverUids;
        expected.insert(expected.end(), deletedUids.begin(), deletedUids.end());
        const size_t receiverNow = static_cast<size_t>(c.receiver > c.deleted ? c.receiver - 1 : c.receiver);
        EXPECT_EQ(bandUids(doc, receiverNow), expected);
        expectConsistent(doc);

        ASSERT_TRUE(doc.history.undoEntries.back().command->revert(doc));
        EXPECT_TRUE(sameContent(doc, before));
        const EditBand& back = doc.bands[static_cast<size_t>(c.deleted)];
        EXPECT_EQ(back.id, old.id);
        EXPECT_EQ(back.name, old.name);
        EXPECT_EQ(back.levelPosition, old.levelPosition);
        EXPECT_EQ(back.sourceEntry, old.sourceEntry);
        EXPECT_EQ(bandUids(doc, static_cast<size_t>(c.deleted)), deletedUids);
        expectConsistent(doc);
    }
}

TEST(BandCommands, RenameCleansTheName) {
    struct Case {
        const char* input;
        const char* name;
    };
    const Case cases[] = {{"  soft\t", "Soft"}, {"loud", "Loud"}, {"\tX y ", "X y"}, {"élan", "élan"},
                          {"9th", "9th"},        {"a\nb", "A\nb"}};
    for (const Case& c : cases) {
        Fixture f;
        ASSERT_TRUE(f.doc.renameBand(2, c.input)) << c.input;
        EXPECT_EQ(f.doc.bands[2].name, c.name);
        EXPECT_EQ(f.doc.bandsEdited, 1);
    }
}

TEST(BandCommands, CommitBoundsEndsTheDragAndKeepsBothFormsInStep) {
    Fixture f;
    f.doc.dragBoundary = 1;
    f.doc.dragSplits = {42, 100};
    ASSERT_TRUE(f.doc.commitBounds());
    EXPECT_EQ(f.doc.dragBoundary, -1);
    EXPECT_EQ(f.doc.velocitySplits, (std::vector<int32_t>{42, 100}));
    EXPECT_EQ(levelPositionsToVelocitySplits(f.doc.levelPositions), f.doc.velocitySplits);
    // Splits at the very bottom of the scale stay as the user set them.
    f.doc.dragBoundary = 0;
    f.doc.dragSplits = {1, 2};
    ASSERT_TRUE(f.doc.commitBounds());
    EXPECT_EQ(f.doc.velocitySplits, (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(f.doc.levelPositions, layoutKeepingSplits(f.doc.velocitySplits).positions);
}

// With five or more bands many split lists have no positions that give them
// back by the midpoint rule; a drag, Add dynamic and Delete dynamic still
// move only the split they are about.
TEST(BandCommands, NoSplitTheUserDidNotTouchMoves) {
    struct Case {
        const char* what;
        std::vector<int32_t> splits;
        std::function<bool(EditDocument&)> edit;
        std::vector<int32_t> after;
    };
    auto drag = [](int32_t boundary, int32_t to) {
        return [boundary, to](EditDocument& d) {
            d.dragBoundary = boundary;
            d.dragSplits = d.velocitySplits;
            d.dragSplits[static_cast<size_t>(boundary)] = to;
            return d.commitBounds();
        };
    };
    const std::vector<Case> cases{
        {"drag 78 to 48", {47, 78, 86, 97}, drag(1, 48), {47, 48, 86, 97}},
        {"drag on seven bands", {10, 20, 30, 40, 50, 60}, drag(2, 21), {10, 20, 21, 40, 50, 60}},
        {"Delete dynamic of the bottom band", {17, 38, 60, 97, 112},
         [](EditDocument& d) { return d.deleteBand(0); }, {38, 60, 97, 112}},
        {"Delete dynamic of a middle band", {5, 9, 60, 61, 100, 122},
         [](EditDocument& d) { return d.deleteBand(4); }, {5, 9, 60, 100, 122}},
        {"Add dynamic", {2, 3, 4, 5, 6, 60}, [](EditDocument& d) { return d.addBand(); }, {2, 3, 4, 5, 6, 60, 94}},
        // Exact layouts behave as they always did.
        {"exact drag", {34, 68, 100}, drag(1, 70), {34, 70, 100}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EditDocument doc;
        oneSamplePerBand(doc, c.splits);
        const std::vector<double> before = doc.levelPositions;
        ASSERT_TRUE(c.edit(doc));
        EXPECT_EQ(doc.velocitySplits, c.after);
        const BandLayout layout = layoutKeepingSplits(c.after);
        EXPECT_EQ(doc.levelPositions, layout.positions);
        // Inside its own range: above the split below, at most the split above.
        for (size_t k = 0; k < doc.levelPositions.size(); ++k) {
            const double lower = k == 0 ? 0.0 : c.after[k - 1] / 127.0;
            const double upper = k < c.after.size() ? c.after[k] / 127.0 : 1.0;
            if (layout.exact == 0) {
                EXPECT_GT(doc.levelPositions[k], lower) << k;
                EXPECT_LE(doc.levelPositions[k], upper) << k;
            }
        }
        expectConsistent(doc);
        // Undo gives back the layout before.
        ASSERT_TRUE(doc.history.undoEntries.back().command->revert(doc));
        EXPECT_EQ(doc.velocitySplits, c.splits);
        EXPECT_EQ(doc.levelPositions, before);
    }
}

TEST(BandCommands, DrumTypeUndo) {
    Fixture f;
    ASSERT_TRUE(f.doc.setDrumType(2));
    EXPECT_EQ(f.doc.drumType, 2);
    f.last().revert(f.doc);
    EXPECT_EQ(f.doc.drumType, 5);
}

// --- Definitions ---------------------------------------------------------------------

TEST(DefinitionCommands, AddedDefinitionsAndTheirNames) {
    Fixture f;
    ASSERT_TRUE(f.doc.addLayer(""));
    const EditDef& layer = f.doc.layers.back();
    EXPECT_EQ(layer.name, "Layer 3");
    EXPECT_EQ(layer.key, 3u);
    EXPECT_EQ(layer.shown, 1);
    EXPECT_FALSE(layer.assignedSlot.has_value());
    EXPECT_EQ(layer.sourceIndex, -1);
    EXPECT_EQ(layer.isRoom, 0);

    EditDocument doc;
    doc.initDefault();
    ASSERT_TRUE(doc.addArticulation());
    EXPECT_EQ(doc.articulations.back().name, "EDGE");
    EXPECT_EQ(doc.articulations.back().key, 2u);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(doc.addArticulation());
    EXPECT_EQ(names(doc.articulations), (std::vector<std::string>{"CENTER", "EDGE", "SIDESTICK", "FLAM", "RUFF"}));
    ASSERT_TRUE(doc.addArticulation());
    EXPECT_EQ(doc.articulations.back().name, "ART 6");
}

TEST(DefinitionCommands, RoomChannelIsAddedOrAHiddenOneShown) {
    EditDocument doc;
    doc.initDefault();
    ASSERT_TRUE(doc.addRoomChannel());
    EXPECT_STREQ(doc.history.undoEntries.back().command->name(), "Add layer");
    EXPECT_EQ(doc.layers.back().name, "Room A");
    EXPECT_EQ(doc.layers.back().assignedSlot, std::optional<uint64_t>(1));
    EXPECT_EQ(doc.layers.back().shown, 1);
    // Sorted as a room channel at once, as it will be after saving and reopening.
    EXPECT_EQ(doc.layers.back().isRoom, 1);

    doc.layers.push_back(EditDef{9, "Hidden B", -1, 0, {}, {}, {}, uint64_t{2}, 0});
    ASSERT_TRUE(doc.addRoomChannel());
    EXPECT_STREQ(doc.history.undoEntries.back().command->name(), "Add room channel");
    EXPECT_EQ(doc.layers.size(), 3u);
    EXPECT_EQ(doc.layers[2].shown, 1);
    doc.history.undoEntries.back().command->revert(doc);
    EXPECT_EQ(doc.layers[2].shown, 0);
}

TEST(DefinitionCommands, DeletingALayerRenumbersLaterSamplesAndMovesThePage) {
    struct Case {
        int32_t page;
        int32_t pageAfter;
    };
    for (const Case& c : {Case{2, 1}, Case{1, -1}, Case{0, 0}, Case{-1, -1}}) {
        SCOPED_TRACE(c.page);
        EditDocument doc;
        shape(doc, {false, true, true}, 1, 2);
        const uint64_t a = addLoaded(doc, 0, 0, 0, measuredLevel(-30));
        const uint64_t b = addLoaded(doc, 1, 0, 1, measuredLevel(-20));
        const uint64_t d = addLoaded(doc, 2, 0, 1, measuredLevel(-10));
        doc.pageLayer = c.page;
        doc.selection = {b};
        doc.anchorUid = b;
        const test::Snapshot before = snapshot(doc);
        ASSERT_TRUE(doc.deleteDef(true, 1));
        EXPECT_EQ(names(doc.layers), (std::vector<std::string>{"L0", "L2"}));
        EXPECT_EQ(doc.sampleByUid(b), nullptr);
        EXPECT_EQ(doc.sampleByUid(a)->layerIndex, 0);
        EXPECT_EQ(doc.sampleByUid(d)->layerIndex, 1);
        EXPECT_EQ(doc.pageLayer, c.pageAfter);
        EXPECT_TRUE(doc.selection.empty());
        EXPECT_EQ(doc.anchorUid, 0u);
        EXPECT_EQ(doc.samplesRemoved, 1);
        EXPECT_EQ(doc.defsEdited, 1);
        expectConsistent(doc);
        ASSERT_TRUE(doc.history.undoEntries.back().command->revert(doc));
        EXPECT_TRUE(sameContent(doc, before));
        EXPECT_EQ(doc.sampleByUid(d)->layerIndex, 2);
        expectConsistent(doc);
    }
}

TEST(DefinitionCommands, ReorderRenumbersKeysInDisplayOrder) {
    EditDocument doc;
    shape(doc, {false}, 4, 1);
    doc.articulations[2].key = 10;  // display order 0, 1, 3, 2
    ASSERT_TRUE(doc.reorderDefs(false, 0, 2, true));
    // Display order becomes 1, 3, 2, 0.
    EXPECT_EQ(doc.articulations[1].key, 1u);
    EXPECT_EQ(doc.articulations[3].key, 2u);
    EXPECT_EQ(doc.articulations[2].key, 3u);
    EXPECT_EQ(doc.articulations[0].key, 4u);
    EXPECT_EQ(doc.defOrder(false), (std::vector<int32_t>{1, 3, 2, 0}));
    ASSERT_TRUE(doc.reorderDefs(false, 0, 1, false));
    EXPECT_EQ(doc.defOrder(false), (std::vector<int32_t>{0, 1, 3, 2}));
    // A stale key list of the wrong length fails instead of writing keys.
    ReorderDefsCmd stale;
    stale.isLayer = 0;
    stale.toKeys = {1, 2};
    EXPECT_FALSE(stale.apply(doc));
}

TEST(DefinitionCommands, ChannelLevelUndoLeavesTheFormerEffectiveLevel) {
    Fixture f;
    ASSERT_FALSE(f.doc.layers[1].userLevel.has_value());
    const double former = f.doc.layerDefaultLevel(1, false);
    ASSERT_TRUE(f.doc.setChannelLevel(1, 2, 0.5, false));
    EXPECT_EQ(f.doc.layers[1].userLevel, std::optional<double>(0.5));
    f.last().revert(f.doc);
    EXPECT_EQ(f.doc.layers[1].userLevel, std::optional<double>(former));
}

// --- Pruning and automatic sort -------------------------------------------------------

TEST(Prune, EmptyBandsGoLastFirstAndNeighboursTakeTheirRanges) {
    SparseFixture f;
    const std::vector<int32_t> splits = f.doc.velocitySplits;
    const test::Snapshot before = snapshot(f.doc);
    EXPECT_TRUE(f.doc.findEmptyGroups());
    ASSERT_TRUE(f.doc.pruneEmptyGroups());
    auto& cmd = static_cast<PruneEmptyGroupsCmd&>(*f.doc.history.undoEntries.back().command);
    EXPECT_STREQ(cmd.name(), "Remove empty groups");
    // Bands 3 then 1, layer 2, articulations 1 then 0.
    ASSERT_EQ(cmd.parts.size(), 5u);
    EXPECT_EQ(static_cast<DeleteBandCmd&>(*cmd.parts[0]).index, 3);
    EXPECT_EQ(static_cast<DeleteBandCmd&>(*cmd.parts[1]).index, 1);
    EXPECT_EQ(static_cast<DeleteDefCmd&>(*cmd.parts[2]).index, 2u);
    EXPECT_EQ(static_cast<DeleteDefCmd&>(*cmd.parts[2]).isLayer, 1);
    EXPECT_EQ(static_cast<DeleteDefCmd&>(*cmd.parts[3]).index, 1u);
    EXPECT_EQ(static_cast<DeleteDefCmd&>(*cmd.parts[4]).index, 0u);
    uint64_t cost = 40;
    for (const ZemCmdPtr& p : cmd.parts) cost += p->cost();
    EXPECT_EQ(cmd.cost(), cost);
    EXPECT_EQ(f.doc.history.undoEntries.back().cost, cost);

    EXPECT_EQ(bandNames(f.doc), (std::vector<std::string>{"B0", "B2", "B4"}));
    // Splits 25, 51, 76, 102: band 3 goes to band 2 (76 goes), band 1 to
    // band 0 (25 goes); 51 and 102 stay.
    EXPECT_EQ(f.doc.velocitySplits, (std::vector<int32_t>{51, 102}));
    EXPECT_EQ(f.doc.levelPositions, splitsToLevelPositions(f.doc.velocitySplits).positions);
    EXPECT_EQ(names(f.doc.layers), (std::vector<std::string>{"L0", "L1"}));
    EXPECT_EQ(names(f.doc.articulations), std::vector<std::string>{"A2"});
    for (const auto& [uid, index] : f.doc.uidIndex) EXPECT_EQ(f.doc.samples[static_cast<size_t>(index)].articulationIndex, 0);
    EXPECT_EQ(f.doc.pageArticulation, 0);
    EXPECT_FALSE(f.doc.findEmptyGroups());
    expectConsistent(f.doc);
    const test::Snapshot after = snapshot(f.doc);

    ASSERT_TRUE(cmd.revert(f.doc));
    EXPECT_TRUE(sameContent(f.doc, before));
    EXPECT_EQ(f.doc.bandsEdited, 1);
    EXPECT_EQ(f.doc.defsEdited, 1);
    EXPECT_EQ(f.doc.velocitySplits, splits);
    expectConsistent(f.doc);
    // Redo replays exactly those parts.
    ASSERT_TRUE(cmd.apply(f.doc));
    EXPECT_EQ(cmd.parts.size(), 5u);
    EXPECT_TRUE(snapshot(f.doc) == after);
    expectConsistent(f.doc);
}

// Pruning removes an empty band as Delete dynamic does: a neighbour takes
// over its range and every split the user set stays where it is.
TEST(Prune, NoSplitTheUserSetMoves) {
    struct Case {
        const char* what;
        std::vector<int32_t> splits;
        std::function<void(EditDocument&)> edit;  // on one sample per band
        std::vector<int32_t> after;
    };
    auto emptyBands = [](std::vector<size_t> which) {
        return [which](EditDocument& d) {
            for (size_t b : which) {
                const std::vector<uint64_t> uids = bandUids(d, b);
                for (uint64_t uid : uids) {
                    const EditSample* s = d.sampleByUid(uid);
                    ASSERT_TRUE(d.execute(std::make_unique<RemoveSamplesCmd>(
                        std::vector<SampleRemoval>{SampleRemoval{uid, s->bandId, s->positionKey}})));
                }
            }
        };
    };
    const std::vector<Case> cases{
        {"Add dynamic, then save", {34, 68, 100}, [](EditDocument& d) { ASSERT_TRUE(d.addBand()); }, {34, 68, 100}},
        {"top group emptied", {34, 68, 100}, emptyBands({3}), {34, 68}},
        {"bottom group emptied", {34, 68, 100}, emptyBands({0}), {68, 100}},
        {"two middle groups emptied", {34, 68, 100}, emptyBands({1, 2}), {100}},
        // The band below taking 46..70 leaves no positions for 24, 34, 70,
        // 85; the band above taking it keeps every other split.
        {"only the band above keeps the splits", {24, 34, 46, 70, 85}, emptyBands({3}), {24, 34, 46, 85}},
        // Neither neighbour leaves positions that give the splits back: the
        // band below takes the range and the splits stay all the same.
        {"six groups, bottom emptied", {17, 38, 60, 97, 112}, emptyBands({0}), {38, 60, 97, 112}},
        {"eleven groups, two emptied", {3, 6, 9, 12, 15, 60, 63, 66, 69, 120}, emptyBands({2, 9}),
         {3, 9, 12, 15, 60, 63, 66, 120}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EditDocument doc;
        oneSamplePerBand(doc, c.splits);
        c.edit(doc);
        ASSERT_TRUE(doc.pruneEmptyGroups());
        EXPECT_EQ(doc.velocitySplits, c.after);
        EXPECT_EQ(doc.levelPositions, layoutKeepingSplits(c.after).positions);
        EXPECT_EQ(doc.bands.size(), c.after.size() + 1);
        expectConsistent(doc);
    }
}

TEST(Prune, AShownButEmptyRoomChannelGoes) {
    EditDocument doc;
    doc.initDefault();
    for (int band = 0; band < 4; ++band) addLoaded(doc, 0, 0, band, measuredLevel(-20));
    ASSERT_FALSE(doc.findEmptyGroups());
    ASSERT_TRUE(doc.addRoomChannel());
    ASSERT_TRUE(doc.findEmptyGroups());
    ASSERT_TRUE(doc.pruneEmptyGroups());
    EXPECT_EQ(names(doc.layers), std::vector<std::string>{"Direct"});
}

TEST(AutoSort, MovesEveryChangedSampleInOneStep) {
    SortFixture f;
    const test::Snapshot before = snapshot(f.doc);
    ASSERT_TRUE(f.doc.applyAutoSort(false));
    auto& cmd = static_cast<MoveSamplesCmd&>(*f.doc.history.undoEntries.back().command);
    EXPECT_STREQ(cmd.name(), "Move samples");
    std::vector<uint64_t> moved;
    for (const SampleMove& m : cmd.moves) {
        moved.push_back(m.uid);
        EXPECT_EQ(m.setsSortLock, 0);
    }
    EXPECT_EQ(moved, (std::vector<uint64_t>{1, 3, 4, 5}));
    EXPECT_EQ(bandIndexOfUid(f.doc, 1), 0);
    EXPECT_EQ(bandIndexOfUid(f.doc, 2), 1);
    EXPECT_EQ(bandUids(f.doc, 2), (std::vector<uint64_t>{3, 4, 5}));
    for (const EditSample& s : f.doc.samples) EXPECT_EQ(s.sortLock, 0);
    expectConsistent(f.doc);
    // Placed where they belong: nothing more to do.
    EXPECT_FALSE(f.doc.applyAutoSort(false));
    ASSERT_TRUE(cmd.revert(f.doc));
    EXPECT_TRUE(snapshot(f.doc) == before);
}

TEST(AutoSort, OneGroupOnlyMovesTheFirstChangedLinkGroup) {
    struct Case {
        bool firstLocked;  // sample 1 never moves: the room group is the first changed one
        std::vector<uint64_t> moved;
    };
    for (const Case& c : {Case{false, {1}}, Case{true, {3, 4, 5}}}) {
        SortFixture f;
        if (c.firstLocked) {
            f.doc.samples[0].sortLock = 1;
            ++f.doc.structureRevision;
        }
        ASSERT_TRUE(f.doc.applyAutoSort(true));
        std::vector<uint64_t> moved;
        for (const SampleMove& m : static_cast<MoveSamplesCmd&>(*f.doc.history.undoEntries.back().command).moves) {
            moved.push_back(m.uid);
        }
        EXPECT_EQ(moved, c.moved);
    }
}

TEST(AutoSort, APlacementOutsideTheBandsIsSkipped) {
    SortFixture f;
    f.doc.rebuildIndexes();
    f.doc.autoPlacement[1].band = 3;   // one past the last band
    f.doc.autoPlacement[3].band = -2;
    f.doc.autoPlacement[4].band = 1000000;
    ASSERT_TRUE(f.doc.applyAutoSort(false));
    std::vector<uint64_t> moved;
    for (const SampleMove& m : static_cast<MoveSamplesCmd&>(*f.doc.history.undoEntries.back().command).moves) {
        moved.push_back(m.uid);
    }
    EXPECT_EQ(moved, std::vector<uint64_t>{5});
}

// --- Long random sequences -------------------------------------------------------------

TEST(StructureCommands, RandomSequencesKeepTheIndexesAndLayoutConsistent) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 rng(seed);
        auto pick = [&](int n) { return n <= 0 ? 0 : static_cast<int>(rng() % static_cast<uint32_t>(n)); };
        Fixture f;
        EditDocument& d = f.doc;
        std::vector<ZemCmd*> redo;
        for (int step = 0; step < 300; ++step) {
            const int nb = static_cast<int>(d.bands.size());
            const uint64_t changes = d.changeCounter;
            const uint64_t generation = d.generation;
            const uint64_t structure = d.structureRevision;
            const uint64_t layout = d.layoutRevision;
            bool executed = false;
            const size_t historyBefore = d.history.undoEntries.size();
            switch (pick(16)) {
                case 0: {
                    d.dragBoundary = 0;
                    d.dragSplits = d.velocitySplits;
                    if (!d.dragSplits.empty()) d.dragSplits[static_cast<size_t>(pick(nb - 1))] += pick(7) - 3;
                    executed = d.commitBounds();
                    break;
                }
                case 1: executed = d.renameBand(pick(nb + 1) - 0, "n" + std::to_string(step)); break;
                case 2: executed = d.addBand(); break;
                case 3: executed = d.deleteBand(pick(nb + 1)); break;
                case 4: executed = d.addLayer(""); break;
                case 5: executed = d.addRoomChannel(); break;
                case 6: executed = d.addArticulation(); break;
                case 7: executed = d.deleteDef(true, static_cast<uint32_t>(pick(static_cast<int>(d.layers.size()) + 1))); break;
                case 8:
                    executed = d.deleteDef(false, static_cast<uint32_t>(pick(static_cast<int>(d.articulations.size()) + 1)));
                    break;
                case 9: {
                    const int n = static_cast<int>(d.articulations.size());
                    executed = d.reorderDefs(false, static_cast<uint32_t>(pick(n)), static_cast<uint32_t>(pick(n)), pick(2) == 1);
                    break;
                }
                case 10: executed = d.pruneEmptyGroups(); break;
                case 11: executed = d.applyAutoSort(pick(2) == 1); break;
                case 12: {
                    AddSampleRequest r;
                    r.layerIndex = pick(static_cast<int>(d.layers.size()));
                    r.articulationIndex = pick(static_cast<int>(d.articulations.size()));
                    r.bandIndex = pick(nb);
                    r.frames = 100;
                    r.hitLevel = measuredLevel(-60.0 + pick(60));
                    executed = d.addSample(r);
                    break;
                }
                case 13: {
                    if (d.uidIndex.empty() || nb == 0) break;
                    auto it = d.uidIndex.begin();
                    std::advance(it, pick(static_cast<int>(d.uidIndex.size())));
                    const std::vector<uint64_t> uids{it->first};
                    executed = d.moveSamples(uids, pick(nb));
                    break;
                }
                case 14: {
                    if (d.history.undoEntries.empty()) break;
                    ZemCmd* cmd = d.history.undoEntries.back().command.get();
                    cmd->revert(d);
                    d.history.redoEntries.push_back(std::move(d.history.undoEntries.back()));
                    d.history.undoEntries.pop_back();
                    break;
                }
                case 15: {
                    if (d.history.redoEntries.empty()) break;
                    d.history.redoEntries.back().command->apply(d);
                    d.history.undoEntries.push_back(std::move(d.history.redoEntries.back()));
                    d.history.redoEntries.pop_back();
                    break;
                }
            }
            if (!executed && d.history.undoEntries.size() == historyBefore) {
                EXPECT_GE(d.changeCounter, changes);
            } else {
                EXPECT_GT(d.changeCounter, changes);
            }
            ASSERT_GE(d.generation, generation);
            ASSERT_GE(d.structureRevision, structure);
            ASSERT_GE(d.layoutRevision, layout);
            d.rebuildIndexes();
            ASSERT_NO_FATAL_FAILURE(expectConsistent(d)) << "step " << step;
            ASSERT_NO_FATAL_FAILURE(expectLayoutFits(d)) << "step " << step;
            for (size_t i = 1; i < d.velocitySplits.size(); ++i) ASSERT_LT(d.velocitySplits[i - 1], d.velocitySplits[i]);
        }
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic
