#include "editor/logic/edit_document.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

#include "editor/logic/doc_fixture.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::addLoaded;
using test::measuredLevel;
using test::shape;

EditDef fileLayer(uint64_t key, std::optional<uint64_t> slot, int32_t source = 0) {
    EditDef d;
    d.key = key;
    d.sourceIndex = source;
    d.fileSlot = slot;
    return d;
}

EditDef addedLayer(uint64_t key, std::optional<uint64_t> assigned = std::nullopt) {
    EditDef d;
    d.key = key;
    d.assignedSlot = assigned;
    return d;
}

TEST(DocumentQueries, DefOrderIsAStableSortByKey) {
    EditDocument doc;
    for (uint64_t key : {5, 2, 2, 9}) doc.articulations.push_back(addedLayer(key));
    EXPECT_EQ(doc.defOrder(false), (std::vector<int32_t>{1, 2, 0, 3}));
    EXPECT_TRUE(doc.defOrder(true).empty());
}

TEST(DocumentQueries, LayerSlots) {
    struct Case {
        const char* what;
        std::vector<EditDef> layers;
        bool fillFree;
        std::vector<int32_t> slots;
    };
    const std::vector<Case> cases{
        {"two file layers on slot 1", {fileLayer(1, 1), fileLayer(2, 1)}, false, {1, 1}},
        {"file layer without slot", {fileLayer(1, std::nullopt)}, false, {6}},
        {"slot 6 takes Direct when free", {fileLayer(1, 6), fileLayer(2, 6)}, false, {0, 1}},
        {"slot 6 when Direct is held", {fileLayer(1, 0), fileLayer(2, 6)}, false, {0, 1}},
        {"slot 6 with every room held", {fileLayer(1, 0), fileLayer(2, 1), fileLayer(3, 2), fileLayer(4, 3), fileLayer(5, 6)}, false, {0, 1, 2, 3, 6}},
        {"huge slot", {fileLayer(1, 1ull << 40)}, false, {-1}},
        {"added layers", {addedLayer(1, 0), addedLayer(2), fileLayer(3, 1), addedLayer(4)}, false, {0, 2, 1, 3}},
        {"added layer without a free room", {fileLayer(1, 1), fileLayer(2, 2), fileLayer(3, 3), addedLayer(4)}, false, {1, 2, 3, -1}},
        {"fill free: file layer without slot", {fileLayer(1, std::nullopt)}, true, {0}},
        {"fill free: added layers take free rooms", {fileLayer(1, 2), addedLayer(2, 0), addedLayer(3)}, true, {2, 1, 3}},
        {"fill free: none left", {fileLayer(1, 1), fileLayer(2, 2), fileLayer(3, 3), addedLayer(4)}, true, {1, 2, 3, -1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EditDocument doc;
        doc.layers = c.layers;
        EXPECT_EQ(doc.layerSlots(c.fillFree), c.slots);
    }
    EditDocument doc;
    doc.layers = {fileLayer(3, 1), fileLayer(1, 0), fileLayer(2, std::nullopt), addedLayer(4)};
    EXPECT_EQ(doc.layerSlotOrder(false), (std::vector<int32_t>{1, 0, 3}));
}

TEST(DocumentQueries, NextRoomChannel) {
    EditDocument doc;
    EXPECT_EQ(doc.nextRoomChannel(), (RoomChannelChoice{1, -1}));
    shape(doc, {false, true}, 1, 1);
    doc.layers[1].fileSlot = 1;
    EXPECT_EQ(doc.nextRoomChannel(), (RoomChannelChoice{1, 1}));  // empty, hidden: show it again
    addLoaded(doc, 1, 0, 0, measuredLevel(-20));
    EXPECT_EQ(doc.nextRoomChannel(), (RoomChannelChoice{2, -1}));
    doc.layers.push_back(fileLayer(7, 2));
    doc.layers.back().shown = 1;
    doc.layers.push_back(fileLayer(8, 3));
    doc.layers.back().shown = 1;
    EXPECT_FALSE(doc.nextRoomChannel());
}

TEST(DocumentQueries, LayerDefaultLevel) {
    EditDocument doc;
    doc.layers = {fileLayer(1, 1), fileLayer(2, 1), fileLayer(3, 0), addedLayer(4)};
    doc.layers[1].fileLevel = 0.25;
    doc.layers[3].userLevel = 0.7;
    EXPECT_EQ(doc.layerDefaultLevel(0, false), 0.0);
    EXPECT_EQ(doc.layerDefaultLevel(0, true), 1.0);
    EXPECT_EQ(doc.layerDefaultLevel(1, false), 0.25);
    EXPECT_EQ(doc.layerDefaultLevel(2, false), 1.0);
    EXPECT_EQ(doc.layerDefaultLevel(3, false), 0.7);
    doc.layers[3].userLevel.reset();
    EXPECT_EQ(doc.layerDefaultLevel(3, false), 1.0);
    EXPECT_EQ(doc.layerDefaultLevel(9, false), 1.0);
}

TEST(DocumentQueries, SampleLookupsIgnoreRemovedSamples) {
    EditDocument doc;
    shape(doc, {false}, 1, 2);
    const uint64_t uid = addLoaded(doc, 0, 0, 1, measuredLevel(-5));
    EXPECT_EQ(doc.bandIndexOf(doc.bandOrder[1]), 1);
    EXPECT_EQ(doc.bandIndexOf(99), -1);
    EXPECT_EQ(doc.sampleLevels(uid), measuredLevel(-5));
    doc.samples[0].audioRevision = 2;
    EXPECT_TRUE(doc.hasPendingAudio());
    doc.uidIndex.erase(uid);  // as a removal leaves it
    EXPECT_FALSE(doc.hasPendingAudio());
    EXPECT_EQ(doc.sampleByUid(uid), nullptr);
    EXPECT_EQ(doc.sampleLevels(uid), HitLevel{});
    doc.acceptAudioRevisions();
    EXPECT_EQ(doc.samples[0].savedAudioRevision, 2u);
}

// Band 0 holds, in position order: 1 (L0 A0), 2 (L1 A0), 3 (L0 A1), 4 (L0 A0);
// band 1 holds 5.
struct PageFixture {
    EditDocument doc;
    PageFixture() {
        shape(doc, {false, true}, 2, 2);
        addLoaded(doc, 0, 0, 0, measuredLevel(-1));
        addLoaded(doc, 1, 0, 0, measuredLevel(-1));
        addLoaded(doc, 0, 1, 0, measuredLevel(-1));
        addLoaded(doc, 0, 0, 0, measuredLevel(-1));
        addLoaded(doc, 0, 0, 1, measuredLevel(-1));
        doc.bands[0].name = "Soft";
    }
    const EditSample& s(uint64_t uid) { return *doc.sampleByUid(uid); }
};

TEST(DocumentQueries, PageCountsAndPositions) {
    PageFixture f;
    EXPECT_EQ(f.doc.bandSampleCount(0), 4);
    EXPECT_EQ(f.doc.samplePosition(f.s(4)), 3);
    f.doc.setPage(0, 0);
    EXPECT_EQ(f.doc.pageRevision, 1u);
    EXPECT_EQ(f.doc.bandViewCounters[f.doc.bandOrder[1]], 1u);
    f.doc.setPage(0, 0);
    EXPECT_EQ(f.doc.pageRevision, 1u);
    EXPECT_EQ(f.doc.bandSampleCount(0), 2);
    EXPECT_EQ(f.doc.samplePosition(f.s(4)), 1);
    EXPECT_EQ(f.doc.samplePosition(f.s(1)), 0);
    EXPECT_EQ(f.doc.bandSampleCount(5), 0);
}

TEST(DocumentQueries, Selection) {
    PageFixture f;
    f.doc.selectSample(2, false, false);
    f.doc.selectSample(4, true, false);  // range from the anchor 2
    EXPECT_EQ(std::set<uint64_t>(f.doc.selection.begin(), f.doc.selection.end()), (std::set<uint64_t>{2, 3, 4}));
    EXPECT_EQ(f.doc.anchorUid, 2u);
    EXPECT_EQ(f.doc.touchedUids, (std::vector<uint64_t>{2, 2, 4, 2}));
    EXPECT_EQ(f.doc.selectionText(), "3 selected");

    f.doc.selectSample(5, true, false);  // anchor in another band: plain click
    EXPECT_EQ(std::set<uint64_t>(f.doc.selection.begin(), f.doc.selection.end()), std::set<uint64_t>{5});
    EXPECT_EQ(f.doc.anchorUid, 5u);
    f.doc.selectSample(1, false, true);
    EXPECT_EQ(f.doc.selection.size(), 2u);
    EXPECT_EQ(f.doc.anchorUid, 1u);
    f.doc.selectSample(99, false, false);
    EXPECT_EQ(f.doc.selection.size(), 2u);

    f.doc.allSelected = 1;
    f.doc.setPage(-1, 0);
    EXPECT_EQ(f.doc.selectionCount(), 4u);
    f.doc.selectSample(1, false, true);
    EXPECT_EQ(f.doc.allSelected, 0);

    f.doc.selectRange(f.s(4), f.s(1));
    EXPECT_EQ(std::set<uint64_t>(f.doc.selection.begin(), f.doc.selection.end()), (std::set<uint64_t>{1, 2, 4}));
}

TEST(DocumentQueries, Labels) {
    PageFixture f;
    EXPECT_EQ(f.doc.sampleLabel(f.s(1), 0), "Soft 1");
    EditSample orphan = f.s(1);
    orphan.bandId = 99;
    EXPECT_EQ(f.doc.sampleLabel(orphan, 4), "Sample 5");
    orphan.name = "Snare hit";
    EXPECT_EQ(f.doc.sampleLabel(orphan, 4), "Snare hit");
    EXPECT_EQ(f.doc.samplePosition(orphan), 0);
}

TEST(DocumentQueries, PercentTextAndSameDouble) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<double, const char*>> cases{
        {42.5, "43 %"}, {-3, "0 %"}, {nan, "0 %"}, {1e9, "100 %"}, {std::numeric_limits<double>::infinity(), "0 %"}, {42.49, "42 %"}};
    for (const auto& [v, text] : cases) EXPECT_EQ(percentText(v), text) << v;
    EXPECT_TRUE(sameDouble(nan, nan));
    EXPECT_TRUE(sameDouble(0.0, -0.0));
    EXPECT_FALSE(sameDouble(1.0, nan));
}

} // namespace
} // namespace vt6::ui::zemedit::logic
