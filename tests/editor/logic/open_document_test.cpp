// Opening a document: band layout conversions, loading from a source model,
// the default structure, data sources and the view model's opens.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "editor/logic/band_layout.hpp"
#include "editor/logic/data_source.hpp"
#include "editor/logic/view_model.hpp"
#include "format/cbor.hpp"
#include "format/sample_ext.hpp"
#include "format/writer.hpp"
#include "editor/logic/doc_fixture.hpp"
#include "format/zem_test_file.hpp"
#include "support/temp_dir.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::BandDef;
using fmt::SmplEntry;
using fmt::Zem6Model;
using vt6::test::TempDir;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// --- Band layout conversions ---------------------------------------------------

TEST(BandLayoutConversion, PositionsToSplits) {
    struct Case {
        std::vector<double> positions;
        std::vector<int32_t> splits;
    };
    const Case cases[] = {
        {{}, {}},
        {{0.5}, {}},
        {{0.2, 0.2, 0.2}, {25, 26}},
        {{0, 0, 0, 0}, {1, 2, 3}},
        {{0.1, 0.3, 0.6, 0.9}, {25, 57, 95}},
        {{1, 1, 1}, {125, 126}},
        {{16 / 127.0, 52 / 127.0, 84 / 127.0, 116 / 127.0}, {34, 68, 100}},
        {{0.00444, 1.00344}, {64}},
        // Off the scale: clamped, and a NaN midpoint never reaches the rounding.
        {{-5, -5}, {1}},
        {{kNaN, 0.5}, {1}},
        {{-kInf, kInf}, {1}},
        {{0.2, kInf}, {126}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(levelPositionsToVelocitySplits(c.positions), c.splits) << ::testing::PrintToString(c.positions);
    }
}

TEST(BandLayoutConversion, SplitsToPositions) {
    struct Case {
        std::vector<int32_t> splits;
        std::vector<double> positions;
        std::vector<int32_t> outSplits;
        uint8_t exact;
    };
    const Case cases[] = {
        {{}, {0.5}, {}, 1},
        {{34, 68, 100}, {16 / 127.0, 52 / 127.0, 84 / 127.0, 116 / 127.0}, {34, 68, 100}, 1},
        {{64}, {64 / 127.0 - 0.4995, 64 / 127.0 + 0.4995}, {64}, 1},  // 0.00444 and 1.00344
        // No positions put every midpoint on these splits: the greedy
        // fallback, whose splits come from its own positions.
        {{60, 61, 100, 101},
         {30 / 127.0, 90 / 127.0, 90 / 127.0 + 1e-4, 110 / 127.0 - 1e-4, 110 / 127.0},
         {60, 90, 100, 110},
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.splits));
        const BandLayout layout = splitsToLevelPositions(c.splits);
        EXPECT_EQ(layout.exact, c.exact);
        EXPECT_EQ(layout.splits, c.outSplits);
        ASSERT_EQ(layout.positions.size(), c.positions.size());
        for (size_t i = 0; i < c.positions.size(); ++i) EXPECT_NEAR(layout.positions[i], c.positions[i], 1e-12) << i;
        // Both forms agree.
        if (c.positions.size() > 1) {
            EXPECT_EQ(levelPositionsToVelocitySplits(layout.positions), layout.splits);
        }
    }
}

// The layout of splits the user set keeps them: exact ones as the
// conversion gives them, others (whose fallback positions give other splits)
// with each position in the middle of its band.
TEST(BandLayoutConversion, LayoutKeepingSplits) {
    struct Case {
        std::vector<int32_t> splits;
        uint8_t exact;
    };
    const Case cases[] = {
        {{}, 1}, {{64}, 1}, {{34, 68, 100}, 1}, {{60, 61, 100, 101}, 0}, {{38, 60, 97, 112}, 0},
        {{47, 48, 86, 97}, 0}, {{3, 9, 12, 15, 60, 63, 66, 120}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.splits));
        const BandLayout layout = layoutKeepingSplits(c.splits);
        EXPECT_EQ(layout.exact, c.exact);
        EXPECT_EQ(layout.splits, c.splits);
        ASSERT_EQ(layout.positions.size(), c.splits.size() + 1);
        if (c.exact != 0) {
            EXPECT_EQ(layout, splitsToLevelPositions(c.splits));
            continue;
        }
        for (size_t k = 0; k < layout.positions.size(); ++k) {
            const double lower = k == 0 ? 0.0 : c.splits[k - 1] / 127.0;
            const double upper = k < c.splits.size() ? c.splits[k] / 127.0 : 1.0;
            EXPECT_DOUBLE_EQ(layout.positions[k], (lower + upper) / 2) << k;
        }
    }
}

// A band going: its neighbour takes its range and no other split moves,
// also where no positions give the remaining splits back.
TEST(BandLayoutConversion, LayoutWithoutABandKeepsEveryOtherSplit) {
    struct Case {
        std::vector<int32_t> splits;
        size_t index;
        std::vector<int32_t> after;
    };
    const Case cases[] = {
        {{34, 68, 100}, 0, {68, 100}},
        {{34, 68, 100}, 3, {34, 68}},
        {{34, 68, 100}, 1, {68, 100}},
        {{24, 34, 46, 70, 85}, 3, {24, 34, 46, 85}},  // only the band above keeps exact positions
        {{17, 38, 60, 97, 112}, 0, {38, 60, 97, 112}},
        {{17, 38, 60, 97, 112}, 5, {17, 38, 60, 97}},
        {{5, 9, 60, 61, 100, 122}, 4, {5, 9, 60, 100, 122}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.splits) + " without band " + std::to_string(c.index));
        const BandLayout layout = layoutWithoutBand(c.splits, c.index);
        EXPECT_EQ(layout.splits, c.after);
        EXPECT_EQ(layout, layoutKeepingSplits(c.after));
    }
}

TEST(BandLayoutConversion, WidestBand) {
    struct Case {
        std::vector<int32_t> splits;
        int32_t index;
        int32_t width;
    };
    const Case cases[] = {
        {{34, 68, 100}, 0, 34},  // band 1 is as wide, not wider
        {{}, 0, 127},
        {{10, 100}, 1, 90},
        {{120}, 0, 120},
        {{1, 2, 3}, 3, 124},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(widestBand(c.splits), (std::pair<int32_t, int32_t>{c.index, c.width}))
            << ::testing::PrintToString(c.splits);
    }
}

// --- Loading ----------------------------------------------------------------------

BandDef bandEntry(uint64_t id, std::optional<double> low = {}, std::optional<double> high = {},
                  std::optional<std::string> name = {}) {
    BandDef b;
    b.id = id;
    b.low = low;
    b.high = high;
    b.name = std::move(name);
    return b;
}

SmplEntry row(uint64_t uid, std::optional<uint64_t> band = {}) {
    SmplEntry e;
    e.uid = uid;
    e.audi_uid = uid + 1000;
    e.band = band;
    return e;
}

struct Loaded {
    std::unique_ptr<LegacyModelDataSource> source;
    EditDocument doc;
};

void loadModel(Loaded& out, Zem6Model model) {
    out.source = std::make_unique<LegacyModelDataSource>(std::make_shared<const Zem6Model>(std::move(model)), std::string("m.zem"));
    ASSERT_TRUE(out.doc.load(*out.source));
}

std::vector<std::string> bandNames(const EditDocument& doc) {
    std::vector<std::string> out;
    for (const EditBand& b : doc.bands) out.push_back(b.name);
    return out;
}

int32_t bandIndexOfSample(const EditDocument& doc, uint64_t uid) {
    const EditSample* s = doc.sampleByUid(uid);
    return s == nullptr ? -2 : doc.bandIndexOf(s->bandId);
}

TEST(DocumentLoad, AnEmptyModelGetsTheDefaultsAndIsClean) {
    Loaded l;
    loadModel(l, Zem6Model{});
    const EditDocument& doc = l.doc;
    ASSERT_EQ(doc.layers.size(), 1u);
    EXPECT_EQ(doc.layers[0].name, "Direct");
    EXPECT_EQ(doc.layers[0].key, 1u);
    EXPECT_EQ(doc.layers[0].sourceIndex, -1);
    EXPECT_EQ(doc.layers[0].isRoom, 0);
    EXPECT_EQ(doc.layers[0].assignedSlot, std::optional<uint64_t>(0));
    ASSERT_EQ(doc.articulations.size(), 1u);
    EXPECT_EQ(doc.articulations[0].name, "CENTER");
    EXPECT_EQ(doc.articulations[0].sourceIndex, -1);
    EXPECT_EQ(bandNames(doc), std::vector<std::string>{"Full"});
    EXPECT_EQ(doc.levelPositions, std::vector<double>{0.5});
    EXPECT_TRUE(doc.velocitySplits.empty());
    EXPECT_EQ(doc.name, "");
    EXPECT_EQ(doc.drumType, 5);
    EXPECT_EQ(doc.nextUid, 1u);
    EXPECT_FALSE(doc.dirty());
    EXPECT_EQ(doc.layoutRevision, 1u);
}

TEST(DocumentLoad, BandEntriesInIdOrderWithGeneratedNamesAndCentres) {
    // Ids 3 and 1, listed in that order: entry 1 comes first, entry 3 second.
    Zem6Model m;
    m.metadata.dynamics = {bandEntry(3, 0.5, 1.0, "High"), bandEntry(1, 0.0, 0.5)};
    Loaded l;
    loadModel(l, m);
    EXPECT_EQ(bandNames(l.doc), (std::vector<std::string>{"Band 1", "High"}));
    EXPECT_EQ(l.doc.levelPositions, (std::vector<double>{0.25, 0.75}));
    EXPECT_EQ(l.doc.velocitySplits, std::vector<int32_t>{64});
    ASSERT_TRUE(l.doc.bands[0].sourceEntry.has_value());
    ASSERT_TRUE(l.doc.bands[1].sourceEntry.has_value());
    EXPECT_EQ(*l.doc.bands[0].sourceEntry, m.metadata.dynamics[1]);
    EXPECT_EQ(*l.doc.bands[1].sourceEntry, m.metadata.dynamics[0]);
    EXPECT_EQ(l.doc.bandOrder, (std::vector<int32_t>{l.doc.bands[0].id, l.doc.bands[1].id}));
}

// Rows name their band by id, whatever ids the file uses: one band per
// distinct id in ascending order, each row in the band of its id; a number
// that names no band is clamped as a position.
TEST(DocumentLoad, EverySampleLandsInTheBandItsIdNames) {
    struct Case {
        const char* what;
        std::vector<uint64_t> ids;                  // band entries, in list order
        std::vector<std::optional<uint64_t>> key5;  // one row each
        std::vector<int32_t> band;                  // expected band index of each row
        size_t bands;
    };
    const std::vector<Case> cases{
        {"ids 7, 8, 9", {7, 8, 9}, {7, 8, 9}, {0, 1, 2}, 3},
        {"ids 6 to 15 listed backwards",
         {15, 14, 13, 12, 11, 10, 9, 8, 7, 6},
         {6, 15, 10, 7, 11},
         {0, 9, 4, 1, 5},
         10},
        {"ids 1 and 3", {1, 3}, {1, 3, 2, std::nullopt, 0}, {0, 1, 1, 0, 0}, 2},
        {"ids 0 and 2", {2, 0}, {0, 2, std::nullopt, 9}, {0, 1, 0, 1}, 2},
        {"id 2 twice and 5", {2, 2, 5}, {2, 5, 3}, {0, 1, 1}, 2},
        {"ids 1..3 unchanged", {1, 2, 3}, {1, 2, 3, 0, 99, std::nullopt}, {0, 1, 2, 0, 2, 0}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model m;
        for (uint64_t id : c.ids) m.metadata.dynamics.push_back(bandEntry(id));
        for (size_t i = 0; i < c.key5.size(); ++i) m.samples.push_back(row(i + 1, c.key5[i]));
        Loaded l;
        loadModel(l, m);
        ASSERT_EQ(l.doc.bands.size(), c.bands);
        for (size_t i = 0; i < c.key5.size(); ++i) EXPECT_EQ(bandIndexOfSample(l.doc, i + 1), c.band[i]) << "row " << i;
        ASSERT_EQ(l.doc.velocitySplits.size(), c.bands - 1);
        for (size_t i = 1; i < l.doc.velocitySplits.size(); ++i) EXPECT_LT(l.doc.velocitySplits[i - 1], l.doc.velocitySplits[i]);
        test::expectConsistent(l.doc);
    }
}

// The grid shows the bands softest first, in the velocity order of their
// stored ranges (edges when every entry has both, else centres), whatever
// their ids; each row still lands in the band its id names.
// A band entry with a stored centre (extension key 5).
BandDef withCentre(BandDef b, double centre) {
    b.extensions.push_back(fmt::makeCborFloatValue(centre));
    return b;
}

TEST(DocumentLoad, BandsShowInTheVelocityOrderOfTheirStoredRanges) {
    struct Case {
        const char* what;
        std::vector<BandDef> entries;
        std::vector<uint64_t> idsShown;  // bottom group first
        std::vector<int32_t> splits;
    };
    const double e34 = 34 / 127.0;
    const double e68 = 68 / 127.0;
    const std::vector<Case> cases{
        {"legacy numbering, loudest first",
         {withCentre(bandEntry(1, 0.45, kInf), 0.6), withCentre(bandEntry(2, -kInf, 0.45), 0.3)}, {2, 1}, {57}},
        {"three legacy dynamics",
         {withCentre(bandEntry(1, 0.45, kInf), 0.6), withCentre(bandEntry(2, 0.2, 0.45), 0.3),
          withCentre(bandEntry(3, -kInf, 0.2), 0.1)},
         {3, 2, 1},
         {25, 57}},
        {"edges only, ids backwards", {bandEntry(1, 0.5, 1.0), bandEntry(2, 0.0, 0.5)}, {2, 1}, {64}},
        {"edges shuffled", {bandEntry(1, e34, e68), bandEntry(2, e68, 1.0), bandEntry(3, 0.0, e34)}, {3, 1, 2}, {34, 68}},
        {"centres only, ids backwards", {withCentre(bandEntry(1), 0.8), withCentre(bandEntry(2), 0.2)}, {2, 1}, {64}},
        {"ids already in order", {bandEntry(1, 0.0, 0.5), bandEntry(2, 0.5, 1.0)}, {1, 2}, {64}},
        // Without a range for every entry the ids keep their order.
        {"one entry without edges or centre", {withCentre(bandEntry(1, 0.5, 1.0), 0.8), bandEntry(2)}, {1, 2}, {98}},
        {"a NaN centre", {withCentre(bandEntry(1), 0.8), withCentre(bandEntry(2), kNaN)}, {1, 2}, {98}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model m;
        m.metadata.dynamics = c.entries;
        for (size_t i = 0; i < c.entries.size(); ++i) m.samples.push_back(row(i + 1, c.entries[i].id));
        Loaded l;
        loadModel(l, m);
        std::vector<uint64_t> ids;
        for (const EditBand& b : l.doc.bands) ids.push_back(b.sourceEntry ? b.sourceEntry->id : 0);
        EXPECT_EQ(ids, c.idsShown);
        EXPECT_EQ(l.doc.velocitySplits, c.splits);
        for (size_t i = 0; i < c.entries.size(); ++i) {
            const auto at = std::find(c.idsShown.begin(), c.idsShown.end(), c.entries[i].id);
            EXPECT_EQ(bandIndexOfSample(l.doc, i + 1), at - c.idsShown.begin()) << "row naming id " << c.entries[i].id;
        }
        // Names made up for entries without one follow the grid.
        for (size_t i = 0; i < l.doc.bands.size(); ++i) EXPECT_EQ(l.doc.bands[i].name, "Band " + std::to_string(i + 1));
        test::expectConsistent(l.doc);
    }
}

// A converted legacy kit numbers its dynamics as the legacy file lists them,
// loudest first here: the loud hits show in the top group.
TEST(DocumentLoad, AConvertedLegacyKitShowsItsLoudestDynamicOnTop) {
    zem::testing::BuilderFile f = zem::testing::sampleLegacyFile(5);
    f.dynamics = {0.6f, 0.3f};
    for (zem::testing::BuilderSample& s : f.samples) {
        s.dynamicPart = s.name.find("hard") != std::string::npos || s.name == "rim" ? 1 : 2;
    }
    const zem::testing::TempFile file(zem::testing::buildLegacyFile(f));
    auto imported = zem::importLegacyFile(file.path(), zem::LegacyImportOptions{});
    ASSERT_TRUE(imported.ok()) << imported.message();
    const Zem6Model& m = imported->model;
    ASSERT_EQ(m.metadata.dynamics.size(), 2u);
    ZemEditViewModel vm;
    ASSERT_TRUE(vm.openLegacy(std::make_shared<const Zem6Model>(m), file.path()));
    const EditDocument& doc = vm.document;
    ASSERT_EQ(doc.bands.size(), 2u);
    EXPECT_EQ(doc.velocitySplits, std::vector<int32_t>{57});
    EXPECT_LT(doc.levelPositions[0], doc.levelPositions[1]);
    for (const SmplEntry& e : m.samples) {
        const bool loud = e.band == std::optional<uint64_t>(1);
        EXPECT_EQ(bandIndexOfSample(doc, e.uid), loud ? 1 : 0) << e.name.value_or("");
    }
    test::expectConsistent(doc);
}

// Centres are optional and other tools omit them: the stored edges give the
// splits, as they do where centres fall off the scale.
TEST(DocumentLoad, BandListsWithoutCentresOpenAtTheirEdges) {
    struct Case {
        const char* what;
        std::vector<BandDef> entries;
        std::vector<int32_t> splits;
    };
    auto edges = [](std::vector<int32_t> splits) {
        std::vector<BandDef> out;
        for (size_t k = 0; k <= splits.size(); ++k) {
            out.push_back(bandEntry(k + 1, k == 0 ? 0.0 : splits[k - 1] / 127.0,
                                    k == splits.size() ? 1.0 : splits[k] / 127.0));
        }
        return out;
    };
    const std::vector<Case> cases{
        {"split at 124", edges({124}), {124}},
        {"splits 34, 68, 100", edges({34, 68, 100}), {34, 68, 100}},
        {"six bands no positions reproduce", edges({38, 60, 97, 112, 120}), {38, 60, 97, 112, 120}},
        {"eleven bands", edges({3, 6, 9, 12, 15, 60, 63, 66, 69, 120}), {3, 6, 9, 12, 15, 60, 63, 66, 69, 120}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model m;
        m.metadata.dynamics = c.entries;
        Loaded l;
        loadModel(l, m);
        EXPECT_EQ(l.doc.velocitySplits, c.splits);
        // Positions that go with the splits: giving them back by the
        // midpoint rule where any do, else each inside its own band.
        const BandLayout layout = layoutKeepingSplits(c.splits);
        if (layout.exact != 0) {
            EXPECT_EQ(levelPositionsToVelocitySplits(l.doc.levelPositions), c.splits);
        } else {
            EXPECT_EQ(l.doc.levelPositions, layout.positions);
        }
    }
}

TEST(DocumentLoad, BandCentreFromStoredCentreFiniteMidpointOrEvenShare) {
    struct Case {
        const char* what;
        BandDef entry;  // id 2 of three; the others have no data
        double expected;
    };
    BandDef stored = bandEntry(2, 0.0, 1.0);
    stored.extensions.push_back(fmt::makeCborFloatValue(0.3));
    BandDef nanCentre = bandEntry(2, 0.2, 0.4);
    nanCentre.extensions.push_back(fmt::makeCborFloatValue(kNaN));
    BandDef badCentre = bandEntry(2);
    badCentre.extensions.push_back(fmt::ExtensionPair{5, fmt::encodeCborText("x")});
    const Case cases[] = {
        {"stored centre", stored, 0.3},
        {"edge midpoint", bandEntry(2, 0.2, 0.6), 0.4},
        {"NaN centre falls to the midpoint", nanCentre, 0.3},
        {"infinite edges", bandEntry(2, -kInf, kInf), 0.5},
        {"one infinite edge", bandEntry(2, 0.5, kInf), 0.5},
        {"NaN edge", bandEntry(2, kNaN, 0.5), 0.5},
        {"midpoint off the scale", bandEntry(2, 1.5, 2.0), 0.5},
        {"one edge only", bandEntry(2, 0.9), 0.5},
        {"centre that is no float", badCentre, 0.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model m;
        m.metadata.dynamics = {bandEntry(1), c.entry, bandEntry(3)};
        Loaded l;
        loadModel(l, m);
        ASSERT_EQ(l.doc.bands.size(), 3u);
        EXPECT_DOUBLE_EQ(l.doc.bands[1].levelPosition, c.expected);
        EXPECT_DOUBLE_EQ(l.doc.bands[0].levelPosition, 1 / 6.0);
        for (double p : l.doc.levelPositions) EXPECT_TRUE(std::isfinite(p));
        ASSERT_EQ(l.doc.velocitySplits.size(), 2u);
        EXPECT_LT(l.doc.velocitySplits[0], l.doc.velocitySplits[1]);
    }
}

// Exact layouts can put band centres off the 0..1 scale (split 60 of two
// bands: -0.027 and 0.972). Such a centre reads as absent, so the splits
// come from the stored inner edges when those hold them unambiguously;
// otherwise each band keeps its own fallback.
TEST(DocumentLoad, CentresOffTheScaleTakeTheSplitsFromTheEdges) {
    struct Case {
        const char* what;
        std::vector<BandDef> entries;
        std::vector<int32_t> splits;
    };
    const double e60 = 60 / 127.0;
    const double e90 = 90 / 127.0;
    const std::vector<Case> cases{
        {"two bands split at 60",
         {withCentre(bandEntry(1, 0.0, e60), -0.027), withCentre(bandEntry(2, e60, 1.0), 0.972)},
         {60}},
        {"legacy infinities on the outer edges",
         {withCentre(bandEntry(1, -kInf, e60), -0.027), withCentre(bandEntry(2, e60, kInf), 0.972)},
         {60}},
        {"only one centre off the scale",
         {withCentre(bandEntry(1, 0.0, 40 / 127.0), 0.2), withCentre(bandEntry(2, 40 / 127.0, e90), 0.4),
          withCentre(bandEntry(3, e90, 1.0), 1.1)},
         {40, 90}},
        {"entries listed out of order",
         {withCentre(bandEntry(2, e60, 1.0), 0.972), withCentre(bandEntry(1, 0.0, e60), -0.027)},
         {60}},
        // Fallbacks: the edges do not say one split, so the midpoints of the
        // edges (or the even share) place the bands as before.
        {"the two sides of an edge differ",
         {withCentre(bandEntry(1, 0.0, e60), -0.027), withCentre(bandEntry(2, 0.5, 1.0), 0.972)},
         {77}},
        {"an infinite inner edge",
         {withCentre(bandEntry(1, 0.0, kInf), -0.027), withCentre(bandEntry(2, kInf, 1.0), 0.972)},
         {78}},
        {"an inner edge missing", {withCentre(bandEntry(1, 0.0), -0.027), withCentre(bandEntry(2, e60, 1.0), 0.972)},
         {78}},
        {"an edge off the velocity steps",
         {withCentre(bandEntry(1, 0.0, 0.001), -0.5), withCentre(bandEntry(2, 0.001, 1.0), 0.5)},
         {32}},
        {"edges falling",
         {withCentre(bandEntry(1, 0.0, e90), -0.1), withCentre(bandEntry(2, e90, e60), 0.6),
          withCentre(bandEntry(3, e60, 1.0), 0.9)},
         {61, 95}},
        // The edges are what the file plays by: centres on the scale that
        // say otherwise do not move the splits.
        {"edges win over centres on the scale",
         {withCentre(bandEntry(1, 0.0, e60), 0.2), withCentre(bandEntry(2, e60, 1.0), 0.6)}, {60}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model m;
        m.metadata.dynamics = c.entries;
        Loaded l;
        loadModel(l, m);
        EXPECT_EQ(l.doc.velocitySplits, c.splits);
        for (double p : l.doc.levelPositions) EXPECT_TRUE(std::isfinite(p));
    }
}

TEST(DocumentLoad, SamplesLandInTheBandTheirGroupNumberNames) {
    struct Case {
        std::optional<uint64_t> key5;
        int32_t band;
    };
    const Case cases[] = {
        {std::nullopt, 0}, {0, 0}, {1, 0}, {2, 1}, {3, 2}, {4, 2}, {99, 2},
        // Clamped as the 64-bit value, never narrowed first.
        {(uint64_t{1} << 32) + 1, 2}, {uint64_t{1} << 32, 2}, {~uint64_t{0}, 2},
    };
    Zem6Model m;
    m.metadata.dynamics = {bandEntry(1), bandEntry(2), bandEntry(3)};
    for (size_t i = 0; i < std::size(cases); ++i) m.samples.push_back(row(i + 1, cases[i].key5));
    Loaded l;
    loadModel(l, m);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(bandIndexOfSample(l.doc, i + 1), cases[i].band) << "key 5 " << cases[i].key5.value_or(12345);
    }
    test::expectConsistent(l.doc);
}

TEST(DocumentLoad, DefinitionsAndSampleFields) {
    Zem6Model m;
    m.metadata.name = "Kit";
    m.metadata.drum_type = "hi-hat";
    fmt::LayerDef direct;
    direct.id = 4;
    direct.slot = 0;
    direct.level = 0.8;
    fmt::LayerDef room;
    room.id = 9;
    room.name = "Hall";
    room.slot = 2;
    fmt::LayerDef custom;
    custom.id = 4;  // ids may repeat: the first match wins
    custom.slot = 6;
    m.metadata.layers = {direct, room, custom};
    fmt::ArticulationDef edge;
    edge.id = 7;
    edge.name = "EDGE";
    fmt::ArticulationDef unnamed;
    unnamed.id = 3;
    m.metadata.articulations = {edge, unnamed};

    SmplEntry a = row(10);
    a.name = "hit a";
    a.layer = 9;
    a.articulation = 3;
    a.rms = 0.25;
    a.peak = 0.5;
    a.muted = true;
    a.sample_rate = 48000;
    a.bits = 24;
    a.channels = 2;
    a.frames = 5000;
    a.playback_start = 10;
    a.opaque_float_14 = 1.5;
    a.opaque_float_15 = 2.5;
    a.plain_hash = fmt::Digest128{1, 2, 3};
    a.extensions.push_back(fmt::ExtensionPair{26, fmt::encodeCborUintTriple(11, 0, 12)});
    a.setFlagExt(true);
    SmplEntry b = row(11);
    b.layer = 5;          // no such layer
    b.articulation = 99;  // no such articulation
    b.peak = 0.75;
    b.soloed = true;
    b.frames = 300;
    b.playback_end = 200;
    m.samples = {a, b};
    m.metadata.next_uid = 5;

    Loaded l;
    loadModel(l, m);
    const EditDocument& doc = l.doc;
    EXPECT_EQ(doc.name, "Kit");
    EXPECT_EQ(doc.drumType, 2);
    ASSERT_EQ(doc.layers.size(), 3u);
    EXPECT_EQ(doc.layers[0].name, "Layer 4");
    EXPECT_EQ(doc.layers[0].fileSlot, std::optional<uint64_t>(0));
    EXPECT_EQ(doc.layers[0].fileLevel, std::optional<double>(0.8));
    EXPECT_EQ(doc.layers[0].isRoom, 0);
    EXPECT_FALSE(doc.layers[0].assignedSlot.has_value());
    EXPECT_EQ(doc.layers[1].name, "Hall");
    EXPECT_EQ(doc.layers[1].isRoom, 1);
    EXPECT_EQ(doc.layers[1].sourceIndex, 1);
    EXPECT_EQ(doc.layers[2].isRoom, 0);
    EXPECT_EQ(doc.articulations[1].name, "Art 3");
    EXPECT_EQ(doc.articulations[1].key, 3u);

    const EditSample* sa = doc.sampleByUid(10);
    ASSERT_NE(sa, nullptr);
    EXPECT_EQ(sa->name, "hit a");
    EXPECT_EQ(sa->layerIndex, 1);
    EXPECT_EQ(sa->articulationIndex, 1);
    EXPECT_EQ(sa->key13Value, 0.25);
    EXPECT_EQ(sa->muted, 1);
    EXPECT_EQ(sa->soloed, 0);
    EXPECT_EQ(sa->sampleRate, 48000u);
    EXPECT_EQ(sa->bits, 24u);
    EXPECT_EQ(sa->channels, 2u);
    EXPECT_EQ(sa->regionStart, 10u);
    EXPECT_EQ(sa->regionEnd, 5000u);
    EXPECT_EQ(sa->key14Value, 1.5);
    EXPECT_EQ(sa->key15Value, 2.5);
    EXPECT_EQ(sa->plainHashPresent, 1);
    EXPECT_EQ(sa->plainHash, (fmt::Digest128{1, 2, 3}));
    EXPECT_EQ(sa->roomLinks, (std::array<uint64_t, 3>{11, 0, 12}));
    EXPECT_EQ(sa->sortLock, 1);
    EXPECT_EQ(sa->anchored, 1);
    EXPECT_EQ(sa->recordIndex, 0);
    EXPECT_EQ(sa->hitLevel, HitLevel::unmeasured());

    const EditSample* sb = doc.sampleByUid(11);
    ASSERT_NE(sb, nullptr);
    EXPECT_EQ(sb->layerIndex, 0);
    EXPECT_EQ(sb->articulationIndex, 0);
    EXPECT_EQ(sb->key13Value, 0.75);
    EXPECT_EQ(sb->soloed, 1);
    EXPECT_EQ(sb->regionStart, 0u);
    EXPECT_EQ(sb->regionEnd, 200u);
    EXPECT_EQ(sb->sortLock, 0);
    EXPECT_EQ(sb->recordIndex, 1);
    EXPECT_EQ(sb->sampleRate, 44100u);

    EXPECT_EQ(doc.nextUid, 12u);  // the largest uid + 1 beats a lower stored value
    EXPECT_EQ(doc.maxUid, 11u);
    EXPECT_EQ(doc.liveSampleCount, 2u);
    EXPECT_FALSE(doc.dirty());
    test::expectConsistent(doc);
}

TEST(DocumentLoad, NextUidAndRepeatedUids) {
    struct Case {
        uint64_t stored;
        std::vector<uint64_t> uids;
        uint64_t nextUid;
        uint64_t live;
    };
    const Case cases[] = {
        {50, {3, 9}, 50, 2},
        {5, {3, 9}, 10, 2},
        {1, {}, 1, 0},
        {1, {~uint64_t{0}}, ~uint64_t{0}, 1},
        // A repeated uid keeps its record but only its first row is live.
        {1, {4, 4, 2}, 5, 2},
    };
    for (const Case& c : cases) {
        Zem6Model m;
        m.metadata.next_uid = c.stored;
        for (uint64_t uid : c.uids) m.samples.push_back(row(uid));
        Loaded l;
        loadModel(l, m);
        EXPECT_EQ(l.doc.nextUid, c.nextUid);
        EXPECT_EQ(l.doc.liveSampleCount, c.live);
        EXPECT_EQ(l.doc.samples.size(), c.uids.size());
        test::expectConsistent(l.doc);
    }
}

TEST(DocumentLoad, ALoadReplacesTheDocumentAndLeavesItClean) {
    EditDocument doc;
    doc.initDefault();
    AddSampleRequest request;
    request.frames = 10;
    ASSERT_TRUE(doc.addSample(request));
    ASSERT_TRUE(doc.dirty());
    const uint64_t generation = doc.generation;
    const int32_t nextBandId = doc.nextBandId;

    Zem6Model m;
    m.samples = {row(3)};
    LegacyModelDataSource source(std::make_shared<const Zem6Model>(m), std::string());
    ASSERT_TRUE(doc.load(source));
    EXPECT_FALSE(doc.dirty());
    EXPECT_TRUE(doc.history.undoEntries.empty());
    EXPECT_EQ(doc.samples.size(), 1u);
    EXPECT_EQ(doc.liveSampleCount, 1u);
    EXPECT_GT(doc.generation, generation);
    EXPECT_EQ(doc.bands[0].id, nextBandId);  // band ids are never reused
    test::expectConsistent(doc);
}

TEST(DocumentDefault, FourBandsAtTheirLevelPositions) {
    EditDocument doc;
    doc.initDefault();
    EXPECT_EQ(doc.name, "Untitled");
    EXPECT_EQ(bandNames(doc), (std::vector<std::string>{"Ghost", "Soft", "Medium", "Hard"}));
    EXPECT_EQ(doc.velocitySplits, (std::vector<int32_t>{34, 68, 100}));
    const double expected[] = {16 / 127.0, 52 / 127.0, 84 / 127.0, 116 / 127.0};
    ASSERT_EQ(doc.levelPositions.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_NEAR(doc.levelPositions[i], expected[i], 1e-12);
        EXPECT_EQ(doc.bands[i].levelPosition, doc.levelPositions[i]);
    }
    ASSERT_EQ(doc.layers.size(), 1u);
    EXPECT_EQ(doc.layers[0].name, "Direct");
    EXPECT_EQ(doc.layers[0].assignedSlot, std::optional<uint64_t>(0));
    EXPECT_EQ(doc.articulations[0].name, "CENTER");
    EXPECT_EQ(doc.nextUid, 1u);
    EXPECT_FALSE(doc.dirty());
}

// --- Data sources -----------------------------------------------------------------

Zem6Model peakModel(uint16_t points, size_t rows, size_t peakBytes) {
    Zem6Model m;
    m.points_per_sample = points;
    for (size_t i = 0; i < rows; ++i) m.samples.push_back(row(i + 1));
    m.peaks.resize(peakBytes);
    for (size_t i = 0; i < peakBytes; ++i) m.peaks[i] = static_cast<uint8_t>(i);
    return m;
}

TEST(DataSource, PeakRowsAndTheirCounters) {
    struct Call {
        uint32_t row;
        size_t offset;  // SIZE_MAX: empty span
    };
    struct Case {
        const char* what;
        uint16_t points;
        size_t rows;
        size_t peakBytes;
        std::vector<Call> calls;
    };
    const Case cases[] = {
        {"three rows of 64 points", 64, 3, 384, {{2, 256}, {3, SIZE_MAX}, {0, 0}, {0xFFFFFFFFu, SIZE_MAX}, {1, 128}}},
        {"no points", 0, 3, 384, {{0, SIZE_MAX}, {1, SIZE_MAX}}},
        {"no peak data", 64, 3, 0, {{0, SIZE_MAX}}},
        {"a short last row", 64, 3, 383, {{1, 128}, {2, SIZE_MAX}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LegacyModelDataSource source(std::make_shared<const Zem6Model>(peakModel(c.points, c.rows, c.peakBytes)),
                                     std::string());
        uint64_t bytes = 0;
        uint64_t served = 0;
        for (const Call& call : c.calls) {
            const std::span<const uint8_t> span = source.peakRow(call.row);
            if (call.offset == SIZE_MAX) {
                EXPECT_TRUE(span.empty()) << call.row;
                EXPECT_EQ(span.data(), nullptr);
            } else {
                EXPECT_EQ(span.data(), source.model().peaks.data() + call.offset) << call.row;
                EXPECT_EQ(span.size(), size_t{c.points} * 2u);
                bytes += span.size();
                ++served;
            }
        }
        EXPECT_EQ(source.peakStats(), (PeakStats{0, c.rows, bytes, 0, served}));
    }
}

TEST(DataSource, LegacySourceTakesOverModelAndPath) {
    auto model = std::make_shared<const Zem6Model>(peakModel(4, 40, 0));
    std::string path = "/tmp/kit.zem";
    LegacyModelDataSource source(std::move(model), std::move(path));
    EXPECT_EQ(model, nullptr);
    EXPECT_TRUE(path.empty());
    EXPECT_EQ(source.path(), "/tmp/kit.zem");
    EXPECT_EQ(source.sourceFormat(), 3);
    EXPECT_EQ(source.peakStats().sampleCount, 40u);
    EXPECT_EQ(source.model().samples.size(), 40u);
}

// A writer-made file: three layers (Direct, Room A, a custom channel), two
// articulations, three bands, one sample per (layer, band) with a peak row
// each.
Zem6Model writerModel() {
    Zem6Model m;
    m.metadata.name = "Snare Kit";
    m.metadata.drum_type = "snare";
    for (uint64_t id = 1; id <= 3; ++id) {
        fmt::LayerDef layer;
        layer.id = id;
        layer.name = "L" + std::to_string(id);
        layer.slot = id == 3 ? 6 : id - 1;
        m.metadata.layers.push_back(layer);
    }
    for (uint64_t id = 1; id <= 2; ++id) {
        fmt::ArticulationDef a;
        a.id = id;
        m.metadata.articulations.push_back(a);
    }
    m.metadata.dynamics = {bandEntry(1, 0.0, 0.3, "Soft"), bandEntry(2, 0.3, 0.7, "Mid"), bandEntry(3, 0.7, 1.0, "Hard")};
    uint64_t uid = 1;
    for (uint64_t layer = 1; layer <= 3; ++layer) {
        for (uint64_t band = 1; band <= 3; ++band) {
            SmplEntry e;
            e.uid = uid;
            e.audi_uid = uid + 1;
            e.layer = layer;
            e.articulation = 1 + (uid % 2);
            e.band = band;
            e.frames = 100;
            m.samples.push_back(e);
            uid += 2;
        }
    }
    m.metadata.next_uid = uid;
    m.points_per_sample = 8;
    m.peaks.assign(m.samples.size() * 16, 0x42);
    return m;
}

std::vector<fmt::StagedPayload> payloadsFor(const Zem6Model& m) {
    std::vector<fmt::StagedPayload> out;
    for (const SmplEntry& e : m.samples) out.push_back(fmt::StagedPayload{e.audi_uid, fmt::kTagAUDI, fmt::Bytes(80, 0x11)});
    return out;
}

std::string writeFile(const TempDir& dir, const std::string& name, const Zem6Model& m) {
    const std::string path = dir.path(name);
    const auto written = fmt::writeZem6File(path, m, payloadsFor(m));
    EXPECT_TRUE(written.ok()) << written.message();
    return path;
}

// Every sample of the model is live in the band its key 5 names (clamped).
// Each row in the band of the id it names (a number naming none counts as
// the position among the ids, clamped).
void expectSamplesInTheirBands(const EditDocument& doc, const Zem6Model& m) {
    ASSERT_EQ(doc.liveSampleCount, m.samples.size());
    std::vector<uint64_t> ids;
    for (const BandDef& b : m.metadata.dynamics) ids.push_back(b.id);
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    auto bandOfId = [&](uint64_t id) {
        for (size_t i = 0; i < doc.bands.size(); ++i) {
            if (doc.bands[i].sourceEntry && doc.bands[i].sourceEntry->id == id) return static_cast<int32_t>(i);
        }
        return -1;
    };
    for (const SmplEntry& e : m.samples) {
        uint64_t id = e.band.value_or(1);
        if (ids.empty()) {
            EXPECT_EQ(bandIndexOfSample(doc, e.uid), 0) << "uid " << e.uid;
            continue;
        }
        if (std::find(ids.begin(), ids.end(), id) == ids.end()) id = ids[std::clamp<uint64_t>(id, 1, ids.size()) - 1];
        EXPECT_EQ(bandIndexOfSample(doc, e.uid), bandOfId(id)) << "uid " << e.uid;
    }
    test::expectConsistent(doc);
}

TEST(DataSource, FileSourceKeepsTheFileOpenAndServesItsModel) {
    TempDir dir;
    const Zem6Model m = writerModel();
    const std::string path = writeFile(dir, "kit.zem", m);
    const auto before = TempDir::contents(path);
    EditStatus status{7, "untouched"};
    auto opened = FileDataSource::open(path, status, fmt::ReadPolicy{});
    ASSERT_TRUE(opened.ok()) << opened.message();
    EXPECT_EQ(status, (EditStatus{7, "untouched"}));  // written only on failure
    FileDataSource& source = **opened;
    EXPECT_TRUE(source.file().isOpen());
    EXPECT_EQ(source.path(), path);
    EXPECT_EQ(source.sourceFormat(), 3);
    EXPECT_EQ(source.peakStats().sampleCount, m.samples.size());
    EXPECT_EQ(source.peakRow(8).size(), 16u);
    EXPECT_TRUE(source.peakRow(9).empty());
    EXPECT_EQ(source.model().samples.size(), m.samples.size());

    EditDocument doc;
    ASSERT_TRUE(doc.load(source));
    EXPECT_EQ(doc.name, "Snare Kit");
    EXPECT_EQ(doc.drumType, 1);
    EXPECT_EQ(bandNames(doc), (std::vector<std::string>{"Soft", "Mid", "Hard"}));
    expectSamplesInTheirBands(doc, m);
    // Only read.
    EXPECT_EQ(TempDir::contents(path), before);
}

TEST(DataSource, SourceFormatIsTheReadersProvenance) {
    TempDir dir;
    vt6::test::Signer signer;
    auto signedBytes = [&](std::string_view publisherId) {
        signer.cert.publisher_id = std::string(publisherId);
        auto full = vt6::test::fullModel();
        signer.certify(full.model);
        return vt6::test::layoutChunks(vt6::test::modelChunks(full.model, full.payloads).chunks, signer.options()).bytes;
    };
    fmt::ReadPolicy trusting;
    trusting.rootKeyOverride = signer.rootKey();
    fmt::ReadPolicy lenientBuiltInRoot;  // the test root is not the program's
    lenientBuiltInRoot.allowBadSignature = 1;
    struct Case {
        const char* what;
        fmt::Bytes bytes;
        fmt::ReadPolicy policy;
        int32_t format;
    };
    const Case cases[] = {
        {"unsigned", TempDir::contents(writeFile(dir, "plain.zem", writerModel())), fmt::ReadPolicy{}, 3},
        {"factory", signedBytes(fmt::kFactoryPublisherId), trusting, 1},
        {"publisher", signedBytes("com.example.drums"), trusting, 2},
        {"chain failed", signedBytes("com.example.drums"), lenientBuiltInRoot, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = dir.write("f.zem", c.bytes);
        EditStatus status;
        auto opened = FileDataSource::open(path, status, c.policy);
        ASSERT_TRUE(opened.ok()) << opened.message();
        EXPECT_EQ((*opened)->sourceFormat(), c.format);
    }
}

TEST(DataSource, AReaderFailureIsPassedOnUnchanged) {
    TempDir dir;
    struct Case {
        const char* what;
        std::string path;
        fmt::ErrorCode code;
        std::string message;  // empty: only checked against the status
    };
    const std::string notZem = dir.write("not.zem", fmt::Bytes(200, 0x20));
    const Case cases[] = {
        {"not a zem file", notZem, fmt::ErrorCode::BadMagic, "not a zem 6 file (magic mismatch at offset 0)"},
        {"missing file", dir.path("missing.zem"), fmt::ErrorCode::ReadIo, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const fmt::Result<fmt::Zem6File> direct = fmt::openZem6File(c.path, fmt::ReadPolicy{});
        ASSERT_FALSE(direct.ok());
        EditStatus status;
        auto opened = FileDataSource::open(c.path, status, fmt::ReadPolicy{});
        ASSERT_FALSE(opened.ok());
        EXPECT_EQ(opened.code(), direct.code());
        EXPECT_EQ(opened.message(), direct.message());
        if (!c.message.empty()) {
            EXPECT_EQ(opened.code(), c.code);
            EXPECT_EQ(opened.message(), c.message);
        }
        EXPECT_EQ(status, (EditStatus{3, direct.message()}));
    }
}

TEST(DataSource, FilesOfEveryLegacyVersionLoadWithEverySampleInItsBand) {
    for (int version = 0; version <= 6; ++version) {
        SCOPED_TRACE(version);
        const zem::testing::TempFile file(zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(version)));
        auto imported = zem::importLegacyFile(file.path(), zem::LegacyImportOptions{});
        ASSERT_TRUE(imported.ok()) << imported.message();
        const Zem6Model m = imported->model;
        ASSERT_FALSE(m.samples.empty());
        ZemEditViewModel vm;
        ASSERT_TRUE(vm.openLegacy(std::make_shared<const Zem6Model>(m), file.path()));
        ASSERT_NE(vm.activeSource(), nullptr);
        EXPECT_EQ(vm.activeSource()->sourceFormat(), 3);
        EXPECT_EQ(vm.activeSource()->path(), file.path());
        expectSamplesInTheirBands(vm.document, m);
    }
}

// --- View model ---------------------------------------------------------------------

// Fills everything that belongs to the open document outside the document.
void dirtyTheSourceState(ZemEditViewModel& vm, int& undoCopiesRemoved) {
    vm.addedPayloads.push_back(fmt::StagedPayload{1, fmt::kTagAUDI, fmt::Bytes(4, 1)});
    vm.addedPcm[1] = std::make_shared<const ZemEditViewModel::AddedPcm>();
    vm.audioVersions[1].push_back(ZemEditViewModel::AudioVersion{});
    AudioIdentity identity;
    identity.uid = 1;
    vm.levelCache[identity] = HitLevel::unmeasured();
    vm.destinationPath = "/x/dest.zem";
    vm.destinationKind = 3;
    vm.undoSourcePath = "/tmp/undo";
    vm.undoSourceFile = std::shared_ptr<const std::string>(new std::string("/tmp/undo"), [&](const std::string* p) {
        ++undoCopiesRemoved;
        delete p;
    });
    vm.writtenAsNewPending = true;
    vm.sourceForcesNew = true;
}

void expectSourceStateEmpty(const ZemEditViewModel& vm) {
    EXPECT_TRUE(vm.addedPayloads.empty());
    EXPECT_TRUE(vm.addedPcm.empty());
    EXPECT_TRUE(vm.audioVersions.empty());
    EXPECT_TRUE(vm.levelCache.empty());
    EXPECT_TRUE(vm.destinationPath.empty());
    EXPECT_EQ(vm.destinationKind, 0);
    EXPECT_TRUE(vm.undoSourcePath.empty());
    EXPECT_EQ(vm.undoSourceFile, nullptr);
    EXPECT_FALSE(vm.writtenAsNewPending);
    EXPECT_FALSE(vm.sourceForcesNew);
    EXPECT_EQ(vm.supersededFileSource, nullptr);
    EXPECT_EQ(vm.supersededLegacySource, nullptr);
}

TEST(ViewModel, Construction) {
    ZemEditViewModel vm;
    EXPECT_EQ(vm.openState, 0);
    EXPECT_EQ(vm.status, EditStatus{});
    EXPECT_EQ(vm.sourceGeneration, 0u);
    EXPECT_EQ(vm.activeSource(), nullptr);
    EXPECT_FALSE(vm.auditionStored);
    EXPECT_FALSE(vm.playPcm);
    EXPECT_EQ(vm.hitHistogramMax, 0u);
    expectSourceStateEmpty(vm);
}

TEST(ViewModel, EveryOpenStartsFromAClosedSource) {
    TempDir dir;
    const Zem6Model m = writerModel();
    const std::string good = writeFile(dir, "kit.zem", m);
    const std::string notZem = dir.write("not.zem", fmt::Bytes(100, 0x41));
    enum class Kind { File, Legacy, LegacyNull, New };
    struct Case {
        const char* what;
        Kind kind;
        std::string path;
        bool ready;
        int32_t openState;
        EditStatus status;
        int source;  // 0 none, 1 file, 2 legacy
    };
    const Case cases[] = {
        {"file", Kind::File, good, true, 1, {}, 1},
        {"missing file", Kind::File, dir.path("missing.zem"), false, 2, {3, ""}, 0},
        {"not a zem file", Kind::File, notZem, false, 2, {3, "not a zem 6 file (magic mismatch at offset 0)"}, 0},
        {"legacy model", Kind::Legacy, "", true, 1, {}, 2},
        {"no legacy model", Kind::LegacyNull, "", false, 2, {3, "legacy conversion unavailable for this zem"}, 0},
        {"new document", Kind::New, "", true, 1, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZemEditViewModel vm;
        vm.newDocument();
        ASSERT_TRUE(vm.document.addSample(AddSampleRequest{}));
        int removed = 0;
        dirtyTheSourceState(vm, removed);
        vm.status = EditStatus{9, "stale"};
        const uint64_t generation = vm.sourceGeneration;
        const std::string nameBefore = vm.document.name;

        bool ready = true;
        switch (c.kind) {
            case Kind::File: ready = vm.openFile(c.path, fmt::ReadPolicy{}); break;
            case Kind::Legacy: ready = vm.openLegacy(std::make_shared<const Zem6Model>(m), c.path); break;
            case Kind::LegacyNull: ready = vm.openLegacy(nullptr, "x.zem"); break;
            case Kind::New: vm.newDocument(); break;
        }
        EXPECT_EQ(ready, c.ready);
        EXPECT_EQ(vm.openState, c.openState);
        EXPECT_EQ(vm.status.code, c.status.code);
        if (!c.status.text.empty() || c.status.code == 0) {
            EXPECT_EQ(vm.status.text, c.status.text);
        }
        if (c.kind == Kind::File && !c.ready) {
            EXPECT_FALSE(vm.status.text.empty());
        }
        EXPECT_EQ(vm.sourceGeneration, generation + 1);
        EXPECT_EQ(removed, 1);
        expectSourceStateEmpty(vm);
        EXPECT_EQ(vm.fileSource != nullptr, c.source == 1);
        EXPECT_EQ(vm.legacySource != nullptr, c.source == 2);
        EXPECT_EQ(vm.activeSource() != nullptr, c.source != 0);
        if (c.ready) {
            EXPECT_FALSE(vm.document.dirty());
        } else {
            // A failed open leaves the document as it was.
            EXPECT_EQ(vm.document.name, nameBefore);
            EXPECT_EQ(vm.document.liveSampleCount, 1u);
        }
        if (c.source == 1) {
            expectSamplesInTheirBands(vm.document, m);
        }
        if (c.source == 2) {
            EXPECT_EQ(vm.activeSource()->path(), "");
        }
    }
}

TEST(ViewModel, NewDocumentTwiceAndDestruction) {
    int removed = 0;
    {
        ZemEditViewModel vm;
        vm.newDocument();
        vm.newDocument();
        EXPECT_EQ(vm.sourceGeneration, 2u);
        EXPECT_EQ(vm.openState, 1);
        EXPECT_EQ(vm.status, EditStatus{});
        EXPECT_EQ(vm.document.name, "Untitled");
        dirtyTheSourceState(vm, removed);
    }
    EXPECT_EQ(removed, 1);  // the undo copy goes with the view model
}

TEST(ViewModel, TheUndoCopyOutlivesCloseWhileAJobHoldsIt) {
    ZemEditViewModel vm;
    int removed = 0;
    dirtyTheSourceState(vm, removed);
    std::shared_ptr<const std::string> job = vm.undoSourceFile;
    vm.closeSource();
    EXPECT_EQ(removed, 0);
    job.reset();
    EXPECT_EQ(removed, 1);
}

TEST(ViewModel, OpenFromTheHostsRecord) {
    TempDir dir;
    const Zem6Model m = writerModel();
    const std::string good = writeFile(dir, "kit.zem", m);
    auto legacyModel = std::make_shared<const Zem6Model>(Zem6Model{});
    struct Case {
        const char* what;
        ZemEditDeps deps;
        int source;  // 0 none (new), 1 file, 2 legacy
        bool ready;
    };
    auto deps = [](std::string path, std::shared_ptr<const Zem6Model> model, bool keep) {
        ZemEditDeps d;
        d.filePath = std::move(path);
        d.model = std::move(model);
        d.keepOwnDestination = keep;
        return d;
    };
    const Case cases[] = {
        {"no path: new document", deps("", legacyModel, false), 0, true},
        {"path and model: the model", deps(good, legacyModel, false), 2, true},
        {"path and model, keeping its own destination: the file", deps(good, legacyModel, true), 1, true},
        {"path only: the file", deps(good, nullptr, false), 1, true},
        {"missing file", deps(dir.path("gone.zem"), nullptr, false), 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZemEditViewModel vm;
        EXPECT_EQ(openFromDeps(vm, c.deps), c.ready);
        EXPECT_EQ(vm.fileSource != nullptr, c.source == 1);
        EXPECT_EQ(vm.legacySource != nullptr, c.source == 2);
        if (c.source == 2) {
            EXPECT_EQ(vm.legacySource->path(), good);
        }
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic
