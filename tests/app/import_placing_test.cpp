// Placing imported samples: a drop names the group; otherwise the automatic
// sort places them among the page's samples, against the boundaries shown.

#include <gtest/gtest.h>

#include <cmath>

#include "app/import_placing.hpp"

namespace vt6::maker {
namespace {

using ui::zemedit::logic::AddSampleRequest;
using ui::zemedit::logic::EditDocument;

fmt::HitLevel levelOf(double db) {
    fmt::HitLevel h;
    h.measured = true;
    h.finite = std::isfinite(db);
    h.level_db = db;
    return h;
}

std::vector<fmt::HitLevel> levels(std::initializer_list<double> dbs) {
    std::vector<fmt::HitLevel> out;
    for (double db : dbs) out.push_back(levelOf(db));
    return out;
}

void addExisting(EditDocument& doc, int articulation, int band, double db, bool locked = false) {
    AddSampleRequest r;
    r.name = "old";
    r.articulationIndex = articulation;
    r.bandIndex = band;
    r.frames = 100;
    r.hitLevel = levelOf(db);
    r.sortLock = locked ? 1 : 0;
    ASSERT_TRUE(doc.addSample(r));
}

TEST(PlaceImportedSamples, ADropPutsEverySampleInThatGroup) {
    EditDocument doc;
    doc.initDefault();
    ASSERT_EQ(doc.bands.size(), 4u);
    const auto three = levels({-60, -40, -20});
    for (int target = 0; target < 4; ++target) {
        SCOPED_TRACE(target);
        const auto placed = placeImportedSamples(doc, three, 0, 0, target);
        EXPECT_EQ(placed.groups, (std::vector<int>{target, target, target}));
        EXPECT_EQ(placed.keptInMiddle, 0);
    }
}

TEST(PlaceImportedSamples, AutoSortSpreadsClearLevelsAndTreatsOutOfRangeTargetsAlike) {
    EditDocument doc;
    doc.initDefault();
    const auto three = levels({-60, -40, -20});
    const auto sorted = placeImportedSamples(doc, three, 0, 0, -1);
    EXPECT_EQ(sorted.groups.front(), 0);
    EXPECT_EQ(sorted.groups.back(), 3);
    EXPECT_LT(sorted.groups[0], sorted.groups[1]);
    EXPECT_LT(sorted.groups[1], sorted.groups[2]);
    EXPECT_EQ(sorted.keptInMiddle, 0);
    for (int target : {4, 99, -7}) {
        SCOPED_TRACE(target);
        EXPECT_EQ(placeImportedSamples(doc, three, 0, 0, target).groups, sorted.groups);
    }
}

TEST(PlaceImportedSamples, UnclearLevelsStayInTheMiddleGroupAndAreCounted) {
    struct Case {
        const char* name;
        int bands;
        int middle;
        int64_t kept;
    };
    const Case cases[] = {{"four groups", 4, 2, 2}, {"five groups", 5, 2, 2}, {"one group", 1, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EditDocument doc;
        doc.initDefault();
        while (static_cast<int>(doc.bands.size()) < c.bands) ASSERT_TRUE(doc.addBand());
        while (static_cast<int>(doc.bands.size()) > c.bands) ASSERT_TRUE(doc.deleteBand(0));
        const std::vector<fmt::HitLevel> unclear{fmt::HitLevel::unmeasured(), fmt::HitLevel::unmeasured()};
        const auto placed = placeImportedSamples(doc, unclear, 0, 0, -1);
        EXPECT_EQ(placed.groups, (std::vector<int>{c.middle, c.middle}));
        EXPECT_EQ(placed.keptInMiddle, c.kept);
    }
}

TEST(PlaceImportedSamples, OnlyThePagesSamplesTakePart) {
    EditDocument alone;
    alone.initDefault();
    const auto three = levels({-60, -40, -20});
    const auto base = placeImportedSamples(alone, three, 0, 0, -1);

    EditDocument elsewhere;
    elsewhere.initDefault();
    ASSERT_TRUE(elsewhere.addArticulation());
    addExisting(elsewhere, 1, 0, -80);
    addExisting(elsewhere, 1, 3, 0);
    EXPECT_EQ(placeImportedSamples(elsewhere, three, 0, 0, -1).groups, base.groups);

    EditDocument onPage;
    onPage.initDefault();
    addExisting(onPage, 0, 0, -80);
    const auto withPage = placeImportedSamples(onPage, three, 0, 0, -1);
    EXPECT_NE(withPage.groups, base.groups);
    EXPECT_GT(withPage.groups[0], 0);  // no longer the softest on the page
}

TEST(PlaceImportedSamples, ADraggedBoundarySortsAgainstTheValuesShown) {
    EditDocument doc;
    doc.initDefault();
    const auto three = levels({-60, -40, -20});
    const auto committed = placeImportedSamples(doc, three, 0, 0, -1);
    ASSERT_EQ(committed.groups[1], 1);  // the middle level sits at 63.5 of 127, clear of 68
    doc.dragBoundary = 1;
    doc.dragSplits = doc.velocitySplits;
    doc.dragSplits[1] = 60;
    EXPECT_EQ(placeImportedSamples(doc, three, 0, 0, -1).groups[1], 2);
    doc.dragBoundary = -1;
    EXPECT_EQ(placeImportedSamples(doc, three, 0, 0, -1).groups[1], 1);
}

TEST(PlaceImportedSamples, NothingToPlace) {
    EditDocument doc;
    doc.initDefault();
    EXPECT_TRUE(placeImportedSamples(doc, {}, 0, 0, -1).groups.empty());
    EditDocument empty;
    EXPECT_TRUE(placeImportedSamples(empty, levels({-20}), 0, 0, -1).groups.empty());
}

}  // namespace
}  // namespace vt6::maker
