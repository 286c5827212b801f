#include "editor/logic/compose.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "editor/logic/band_layout.hpp"
#include "editor/logic/compose_fixture.hpp"
#include "editor/logic/group_definitions.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::HistogramEntry;
using fmt::SmplEntry;
using fmt::Zem6Model;
using test::kitModel;
using test::Opened;
using test::rowOf;

// Composes and checks that the source model came through untouched.
Zem6Model compose(const Opened& o, bool keepSlots, std::vector<std::string>* unlinked = nullptr) {
    const Zem6Model pristine = o.source;
    auto r = composeModel(o.doc, o.source, keepSlots, unlinked);
    EXPECT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(o.source, pristine);
    return r.ok() ? std::move(r).value() : Zem6Model{};
}

fmt::Bytes peakRow(const Zem6Model& m, size_t row) {
    const size_t bytes = 2 * static_cast<size_t>(m.points_per_sample);
    if ((row + 1) * bytes > m.peaks.size()) return {};
    return fmt::Bytes(m.peaks.begin() + static_cast<ptrdiff_t>(row * bytes),
                      m.peaks.begin() + static_cast<ptrdiff_t>((row + 1) * bytes));
}

// What composing the unedited document must give: the source apart from
// the next uid, the analysis, keys 3 and 4 of the row that lacked them, and
// (when slots are computed) the slot of the layer stored as unassigned.
Zem6Model expectedUnedited(const Opened& o, bool keepSlots) {
    Zem6Model m = o.source;
    m.metadata.next_uid = o.doc.nextUid;
    fmt::clearPhysicalAnalysis(m);
    m.samples[1].layer = 1;
    m.samples[1].articulation = 1;
    if (!keepSlots) {
        m.metadata.layers[2].slot = 2;  // the first free room channel
        m.metadata.layers[2].level = 1.0;
    }
    return m;
}

TEST(Compose, UneditedDocumentGivesTheSourceBack) {
    for (const bool keepSlots : {true, false}) {
        SCOPED_TRACE(keepSlots ? "slots kept" : "slots computed");
        const Opened o(kitModel());
        std::vector<std::string> unlinked{"stale"};
        const Zem6Model out = compose(o, keepSlots, &unlinked);
        EXPECT_EQ(out, expectedUnedited(o, keepSlots));
        // Amb now sits on Room B, so its sample is a room sample nobody matches.
        EXPECT_EQ(unlinked, keepSlots ? std::vector<std::string>{"stale"} : std::vector<std::string>{"Amb 1"});
    }
}

TEST(Compose, NewLibraryFromTheDefaultModel) {
    Opened o{Zem6Model{}};
    const uint64_t uid = test::addSample(o.doc, "Kick", 0, 0, 0);
    const Zem6Model out = compose(o, false);
    EXPECT_EQ(out.metadata.next_uid, uid + 1);
    ASSERT_EQ(out.metadata.layers.size(), 1u);
    EXPECT_EQ(out.metadata.layers[0].name, "Direct");
    EXPECT_EQ(out.metadata.layers[0].slot, 0u);
    ASSERT_EQ(out.metadata.articulations.size(), 1u);
    EXPECT_EQ(out.metadata.articulations[0].name, "CENTER");
    ASSERT_EQ(out.metadata.dynamics.size(), 1u);  // "Full"
    EXPECT_EQ(out.metadata.dynamics[0].name, "Full");
    EXPECT_EQ(out.metadata.drum_type, std::nullopt);  // unknown, as an absent text reads
    EXPECT_TRUE(out.peaks.empty());
    EXPECT_FALSE(out.summary.present);
    ASSERT_EQ(out.samples.size(), 1u);
    EXPECT_TRUE(indexGroupDefinitions(out).ok());
}

struct EditCase {
    const char* name;
    std::function<void(EditDocument&)> edit;
    std::function<void(const Zem6Model& out, const Zem6Model& source)> check;
    bool keepSlots = true;
};

TEST(Compose, EditsReachTheirRows) {
    const std::vector<EditCase> cases{
        {"deleting a room sample frees its place in the direct sample",
         [](EditDocument& d) { test::removeSample(d, 3); },
         [](const Zem6Model& out, const Zem6Model&) {
             ASSERT_EQ(out.samples.size(), 4u);
             EXPECT_EQ(rowOf(out, 3), nullptr);
             EXPECT_EQ(fmt::readExtUintTriple(*rowOf(out, 1)), (std::array<uint64_t, 3>{0, 0, 0}));
             // The PEAK rows moved with their samples.
             EXPECT_EQ(out.peaks, (fmt::Bytes{1, 1, 1, 1, 2, 2, 2, 2, 4, 4, 4, 4, 5, 5, 5, 5}));
             EXPECT_EQ(out.summary.sample_count, 4u);
             EXPECT_EQ(out.summary.total_frames, 4000u);
             EXPECT_EQ(out.summary.layer_histogram, (std::vector<HistogramEntry>{{1, 3}, {3, 1}}));
         }},
        {"deleting a direct sample drops key 21 of its room sample",
         [](EditDocument& d) { test::removeSample(d, 1); },
         [](const Zem6Model& out, const Zem6Model& source) {
             ASSERT_EQ(out.samples.size(), 4u);
             EXPECT_EQ(out.samples[0].uid, 2u);
             EXPECT_EQ(rowOf(out, 3)->room_owner_uid, std::nullopt);
             EXPECT_EQ(out.peaks.size(), 16u);
             EXPECT_EQ(peakRow(out, 1), peakRow(source, 2));
         }},
        {"edited audio takes the document's geometry and a zero PEAK row",
         [](EditDocument& d) { test::replaceAudio(d, 4); },
         [](const Zem6Model& out, const Zem6Model& source) {
             const SmplEntry& r = *rowOf(out, 4);
             EXPECT_EQ(r.sample_rate, 96000u);
             EXPECT_EQ(r.bits, 16u);
             EXPECT_EQ(r.channels, 1u);
             EXPECT_EQ(r.frames, 2000u);
             EXPECT_EQ(r.rms, 0.75);
             EXPECT_EQ(r.audi_uid, 4u);
             EXPECT_EQ(r.codec, 0u);
             EXPECT_EQ(r.audt_uid, std::nullopt);
             EXPECT_EQ(r.plain_hash, test::digest(0xEE));
             EXPECT_EQ(r.playback_start, 100u);
             EXPECT_EQ(r.playback_end, 1500u);
             EXPECT_EQ(peakRow(out, 3), fmt::Bytes(4, 0));
             EXPECT_EQ(peakRow(out, 2), peakRow(source, 2));
             EXPECT_EQ(out.summary.total_frames, 6000u);
             EXPECT_EQ(out.summary.band_histogram, source.summary.band_histogram);  // rows unchanged
         }},
        {"a new sample gets a full row and a zero PEAK row",
         [](EditDocument& d) { test::addSample(d, "Kick Ghost Direct", 0, 1, 0); },
         [](const Zem6Model& out, const Zem6Model&) {
             ASSERT_EQ(out.samples.size(), 6u);
             SmplEntry want;
             want.uid = 7;
             want.audi_uid = 7;
             want.name = std::string("Kick Ghost Direct");
             want.layer = 1;
             want.articulation = 2;
             want.band = 1;
             want.sample_rate = 44100;
             want.bits = 16;
             want.channels = 1;
             want.frames = 800;
             want.rms = 0.125;
             want.codec = 0;
             want.plain_hash = test::digest(0xA0);
             EXPECT_EQ(out.samples.back(), want);
             EXPECT_EQ(peakRow(out, 5), fmt::Bytes(4, 0));
             EXPECT_EQ(out.peaks.size(), 24u);
             EXPECT_EQ(out.summary.sample_count, 6u);
             EXPECT_EQ(out.summary.articulation_histogram, (std::vector<HistogramEntry>{{1, 4}, {2, 2}}));
         }},
        {"a new sample's flags, region, lock, level and opaque values",
         [](EditDocument& d) {
             const uint64_t uid = test::addSample(d, "", 1, 0, 2);
             EditSample& s = d.samples[static_cast<size_t>(d.uidIndex.at(uid))];
             s.muted = 1;
             s.soloed = 1;
             s.sortLock = 1;
             s.regionStart = 10;
             s.regionEnd = 700;
             s.key14Value = std::nan("");
             s.key15Value = -0.5;
             s.hitLevel.measured = true;
             s.hitLevel.finite = true;
             s.hitLevel.level_db = -12.0;
             s.hitLevel.onset_frame = 20;
         },
         [](const Zem6Model& out, const Zem6Model&) {
             const SmplEntry& r = out.samples.back();
             EXPECT_EQ(r.name, std::nullopt);
             EXPECT_EQ(r.layer, 2u);
             EXPECT_EQ(r.band, 3u);
             EXPECT_EQ(r.muted, true);
             EXPECT_EQ(r.soloed, true);
             EXPECT_EQ(r.playback_start, 10u);
             EXPECT_EQ(r.playback_end, 700u);
             ASSERT_TRUE(r.opaque_float_14.has_value());
             EXPECT_TRUE(std::isnan(*r.opaque_float_14));
             EXPECT_EQ(r.opaque_float_15, -0.5);
             EXPECT_TRUE(fmt::readSortLockExt(r));
             EXPECT_EQ(fmt::readHitLevelExt(r).level_db, -12.0);
             EXPECT_TRUE(std::is_sorted(r.extensions.begin(), r.extensions.end(),
                                        [](const auto& a, const auto& b) { return a.key < b.key; }));
         }},
        {"names and opaque values of stored rows",
         [](EditDocument& d) {
             d.samples[0].name = "Kick Softer";
             d.samples[1].name.clear();
             d.samples[1].key14Value = std::nan("");
             d.samples[0].key14Value = 0.25;  // as stored
             d.samples[2].key15Value = 0.0;   // as absent
             d.samples[3].regionEnd = 900;
         },
         [](const Zem6Model& out, const Zem6Model& source) {
             EXPECT_EQ(rowOf(out, 1)->name, "Kick Softer");
             EXPECT_EQ(rowOf(out, 2)->name, "Kick Hard Direct");  // an empty name leaves the row's
             ASSERT_TRUE(rowOf(out, 2)->opaque_float_14.has_value());
             EXPECT_TRUE(std::isnan(*rowOf(out, 2)->opaque_float_14));
             EXPECT_EQ(rowOf(out, 1)->opaque_float_14, 0.25);
             EXPECT_EQ(rowOf(out, 3)->opaque_float_15, std::nullopt);
             EXPECT_EQ(rowOf(out, 4)->playback_end, 900u);
             EXPECT_EQ(rowOf(out, 4)->playback_start, std::nullopt);
             EXPECT_EQ(rowOf(out, 1)->peak, source.samples[0].peak);  // key 12 is not the editor's
         }},
        {"moving, muting and soloing",
         [](EditDocument& d) {
             const uint64_t uid = 2;
             d.moveSamples(std::span<const uint64_t>(&uid, 1), 1);
             d.setMuted(4, false);
             d.setSoloed(6, true);
         },
         [](const Zem6Model& out, const Zem6Model& source) {
             EXPECT_EQ(rowOf(out, 2)->band, 2u);
             EXPECT_EQ(rowOf(out, 4)->muted, false);
             EXPECT_EQ(rowOf(out, 6)->soloed, true);
             EXPECT_EQ(rowOf(out, 1)->muted, std::nullopt);
             EXPECT_EQ(out.summary, source.summary);  // no row came or went
         }},
        {"a new layer keeps slot 6 and nothing gets linked while slots are kept",
         [](EditDocument& d) {
             EditDef room;
             room.key = 4;
             room.name = "Room B";
             room.assignedSlot = 2;
             d.layers.push_back(room);
             test::addSample(d, "Kick Hard Room B", 3, 0, 2);
         },
         [](const Zem6Model& out, const Zem6Model& source) {
             ASSERT_EQ(out.metadata.layers.size(), 4u);
             EXPECT_EQ(out.metadata.layers[3].slot, 6u);
             EXPECT_EQ(out.metadata.layers[3].name, "Room B");
             EXPECT_EQ(rowOf(out, 7)->room_owner_uid, std::nullopt);
             EXPECT_EQ(rowOf(out, 2)->extensions, source.samples[1].extensions);
         }},
        {"a new room layer takes its slot and its sample gets linked",
         [](EditDocument& d) {
             EditDef room;
             room.key = 4;
             room.name = "Room B";
             room.assignedSlot = 2;
             d.layers.push_back(room);
             test::addSample(d, "Kick Hard Room B", 3, 0, 2);
         },
         [](const Zem6Model& out, const Zem6Model&) {
             // The new layer keeps the channel it was given; Amb (stored as
             // 6) takes the lowest one still free.
             EXPECT_EQ(out.metadata.layers[3].slot, 2u);
             EXPECT_EQ(out.metadata.layers[3].level, 1.0);
             EXPECT_EQ(out.metadata.layers[2].slot, 3u);
             EXPECT_EQ(out.metadata.layers[2].level, 1.0);
             EXPECT_EQ(rowOf(out, 7)->room_owner_uid, 2u);
             EXPECT_EQ(fmt::readExtUintTriple(*rowOf(out, 2)), (std::array<uint64_t, 3>{0, 7, 0}));
         },
         false},
        {"drum type written only when it changed",
         [](EditDocument& d) { d.drumType = 0; },
         [](const Zem6Model& out, const Zem6Model&) { EXPECT_EQ(out.metadata.drum_type, "kick"); }},
        {"a drum type that reads the same keeps its stored word",
         [](EditDocument& d) { d.name = "renamed"; },
         [](const Zem6Model& out, const Zem6Model&) {
             EXPECT_EQ(out.metadata.drum_type, "hi-hat");
             EXPECT_EQ(out.metadata.name, "Kit");  // the instrument name is not composed
         }},
        {"sort lock and hit level follow the document",
         [](EditDocument& d) {
             EditSample& s = d.samples[0];
             s.sortLock = 0;
             s.hitLevel = HitLevel::unmeasured();
             d.samples[1].sortLock = 1;
         },
         [](const Zem6Model& out, const Zem6Model&) {
             EXPECT_FALSE(fmt::readSortLockExt(*rowOf(out, 1)));
             EXPECT_EQ(fmt::findExtension(rowOf(out, 1)->extensions, fmt::kHitLevelExtKey), nullptr);
             EXPECT_TRUE(fmt::readSortLockExt(*rowOf(out, 2)));
             EXPECT_NE(fmt::findExtension(rowOf(out, 1)->extensions, 4000), nullptr);
         }},
    };
    for (const EditCase& c : cases) {
        SCOPED_TRACE(c.name);
        Opened o(kitModel());
        c.edit(o.doc);
        const Zem6Model out = compose(o, c.keepSlots);
        c.check(out, o.source);
        // Whatever the edit, the analysis is gone and the model stays writable.
        EXPECT_EQ(fmt::findExtension(out.metadata.extensions, fmt::kPhysicalModelMtadKey), nullptr);
        EXPECT_EQ(out.extraChunks.size(), 1u);
        EXPECT_TRUE(indexGroupDefinitions(out).ok());
    }
}

TEST(Compose, BandListRebuiltFromTheDocument) {
    struct Case {
        const char* name;
        std::function<void(EditDocument&)> edit;
        std::vector<std::optional<std::string>> names;
        std::vector<std::pair<double, double>> edges;
    };
    const std::vector<Case> cases{
        {"splits 40 and 90",
         [](EditDocument& d) {
             const std::vector<int32_t> splits{40, 90};
             d.setBandLayout(splits, d.levelPositions);
         },
         {"Soft", std::nullopt, "Hard"},
         {{0.0, 40 / 127.0}, {40 / 127.0, 90 / 127.0}, {90 / 127.0, 1.0}}},
        {"renamed to Band 3",
         [](EditDocument& d) {
             d.bands[1].name = "Band 3";
             d.bandsEdited = 1;
         },
         {"Soft", "Band 3", "Hard"},
         {}},
        {"emptied name is written as empty",
         [](EditDocument& d) {
             d.bands[0].name.clear();
             d.bandsEdited = 1;
         },
         {"", std::nullopt, "Hard"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Opened o(kitModel());
        c.edit(o.doc);
        const Zem6Model out = compose(o, true);
        const auto& bands = out.metadata.dynamics;
        ASSERT_EQ(bands.size(), 3u);
        for (size_t i = 0; i < bands.size(); ++i) {
            EXPECT_EQ(bands[i].id, i + 1);
            EXPECT_EQ(bands[i].name, c.names[i]) << i;
            EXPECT_EQ(fmt::readBandCenter(bands[i]), o.doc.bands[i].levelPosition) << i;
            if (!c.edges.empty()) {
                EXPECT_EQ(bands[i].low, c.edges[i].first) << i;
                EXPECT_EQ(bands[i].high, c.edges[i].second) << i;
            }
        }
        // Pairs the editor does not know stay on their band.
        EXPECT_NE(fmt::findExtension(bands[1].extensions, 9), nullptr);
    }
}

TEST(Compose, LayerSlotAndLevel) {
    struct Case {
        const char* name;
        fmt::LayerDef entry;
        EditDef def;
        bool fromSource;
        int32_t slot;
        std::optional<uint64_t> wantSlot;
        std::optional<double> wantLevel;
    };
    auto def = [](std::optional<uint64_t> fileSlot, std::optional<double> userLevel) {
        EditDef d;
        d.fileSlot = fileSlot;
        d.userLevel = userLevel;
        return d;
    };
    using test::layerEntry;
    const std::vector<Case> cases{
        {"stored slot 1 stays", layerEntry(1, "a", 1), def(1, std::nullopt), true, 2, 1, std::nullopt},
        {"stored 6 takes a room slot and unity", layerEntry(1, "a", 6), def(6, std::nullopt), true, 2, 2, 1.0},
        {"stored 6 takes a room slot and the user's level", layerEntry(1, "a", 6), def(6, 0.25), true, 3, 3, 0.25},
        {"stored 6 keeps its level", layerEntry(1, "a", 6, 0.7), def(6, std::nullopt), true, 1, 1, 0.7},
        {"stored 6 takes Direct without a level", layerEntry(1, "a", 6), def(6, std::nullopt), true, 0, 0, std::nullopt},
        {"stored 6 with no channel free", layerEntry(1, "a", 6), def(6, std::nullopt), true, -1, 6, std::nullopt},
        {"new layer on a room channel", layerEntry(1, "a", 6), def(std::nullopt, std::nullopt), false, 1, 1, 1.0},
        {"new layer with no channel free", layerEntry(1, "a", 6), def(std::nullopt, std::nullopt), false, -1, 6,
         std::nullopt},
        {"new layer, slot above 3", layerEntry(1, "a", 6), def(std::nullopt, std::nullopt), false, 7, 6, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fmt::LayerDef entry = c.entry;
        applyLayerSlot(entry, c.def, c.fromSource, c.slot);
        EXPECT_EQ(entry.slot, c.wantSlot);
        EXPECT_EQ(entry.level, c.wantLevel);
    }

    struct LevelCase {
        const char* name;
        fmt::LayerDef entry;
        std::optional<double> user;
        bool fromSource;
        std::optional<double> want;
    };
    const double nan = std::nan("");
    const std::vector<LevelCase> levels{
        {"no user level", layerEntry(1, "a", 0), std::nullopt, true, std::nullopt},
        {"same as stored", layerEntry(1, "a", 0, 0.5), 0.5, true, 0.5},
        {"differs from stored", layerEntry(1, "a", 0, 0.5), 0.8, true, 0.8},
        {"room without level means 0", layerEntry(1, "a", 2), 0.0, true, std::nullopt},
        {"room without level, user 1", layerEntry(1, "a", 2), 1.0, true, 1.0},
        {"direct without level means 1", layerEntry(1, "a", 0), 1.0, true, std::nullopt},
        {"new entry means 1", layerEntry(1, "a", 2), 1.0, false, std::nullopt},
        {"new entry, user 0", layerEntry(1, "a", 2), 0.0, false, 0.0},
    };
    for (const LevelCase& c : levels) {
        SCOPED_TRACE(c.name);
        fmt::LayerDef entry = c.entry;
        EditDef d;
        d.userLevel = c.user;
        applyLayerLevel(entry, d, c.fromSource);
        EXPECT_EQ(entry.level, c.want);
    }
    // Two NaN levels are the same level.
    fmt::LayerDef stored = layerEntry(1, "a", 0, nan);
    EditDef d;
    d.userLevel = nan;
    applyLayerLevel(stored, d, true);
    ASSERT_TRUE(stored.level.has_value());
    EXPECT_TRUE(std::isnan(*stored.level));
}

TEST(Compose, DefinitionsRebuiltInDisplayOrderWhenEdited) {
    Opened o(kitModel());
    // Swap the two articulations and move Amb in front.
    std::swap(o.doc.articulations[0].key, o.doc.articulations[1].key);
    o.doc.layers[2].key = 0;
    o.doc.layers[1].userLevel = 0.9;
    o.doc.defsEdited = 1;
    const Zem6Model out = compose(o, true);
    const auto& layers = out.metadata.layers;
    ASSERT_EQ(layers.size(), 3u);
    EXPECT_EQ(layers[0].name, "Amb");
    EXPECT_EQ(layers[0].id, 0u);
    EXPECT_EQ(layers[1].name, "Direct");
    EXPECT_EQ(layers[2].name, "Room A");
    EXPECT_EQ(layers[2].level, 0.9);
    const auto& arts = out.metadata.articulations;
    ASSERT_EQ(arts.size(), 2u);
    EXPECT_EQ(arts[0].name, "Rim");
    EXPECT_EQ(arts[0].id, 1u);
    EXPECT_EQ(arts[1].name, "Center");
    EXPECT_EQ(arts[1].id, 2u);
    EXPECT_EQ(arts[1].opaque_uint_3, 7u);  // a stored entry keeps its fields
    EXPECT_EQ(rowOf(out, 4)->articulation, 1u);
    EXPECT_EQ(rowOf(out, 6)->layer, 0u);
}

TEST(Compose, HistogramsCountRowsByStoredId) {
    Zem6Model m;
    for (const auto& [band, art, layer] : std::vector<std::tuple<std::optional<uint64_t>, uint64_t, uint64_t>>{
             {2, 1, 1}, {std::nullopt, 1, 3}, {2, 2, 3}, {9, 1, 3}}) {
        SmplEntry e;
        e.band = band;
        e.articulation = art;
        e.layer = layer;
        m.samples.push_back(e);
    }
    EXPECT_EQ(countSamplesByBand(m), (std::vector<HistogramEntry>{{0, 1}, {2, 2}, {9, 1}}));
    EXPECT_EQ(countSamplesByArticulation(m), (std::vector<HistogramEntry>{{1, 3}, {2, 1}}));
    EXPECT_EQ(countSamplesByLayer(m), (std::vector<HistogramEntry>{{1, 1}, {3, 3}}));
}

TEST(Compose, CheckDropsAnEmptiedBandAndItsNeighbourTakesItsRange) {
    Opened o(kitModel());
    test::removeSample(o.doc, 4);
    test::removeSample(o.doc, 6);  // band 2 is now empty
    // Bands 2 and 3 store no centre: the splits come from the edges 0.3, 0.7.
    ASSERT_EQ(o.doc.velocitySplits, (std::vector<int32_t>{38, 89}));
    std::vector<std::string> unlinked;
    const Zem6Model source = o.source;
    const auto r = composeAndCheck(o.doc, o.source, &unlinked);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(o.source, source);
    const auto& bands = r->metadata.dynamics;
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_EQ(bands[0].name, "Soft");
    EXPECT_EQ(bands[1].name, "Hard");
    EXPECT_EQ(bands[1].id, 2u);
    EXPECT_EQ(rowOf(*r, 2)->band, 2u);
    // Soft takes over the emptied range; Hard keeps its lower edge at 89,
    // where pruning the document leaves it too.
    EXPECT_EQ(bands[0].low, 0.0);
    EXPECT_EQ(bands[0].high, 89 / 127.0);
    EXPECT_EQ(bands[1].low, 89 / 127.0);
    EXPECT_EQ(bands[1].high, 1.0);
    const std::vector<double> centres = splitsToLevelPositions(std::vector<int32_t>{89}).positions;
    EXPECT_EQ(fmt::readBandCenter(bands[0]), centres[0]);
    o.doc.pruneEmptyGroups();
    EXPECT_EQ(o.doc.velocitySplits, std::vector<int32_t>{89});
    EXPECT_EQ(o.doc.levelPositions, centres);
}

// A save composes from a snapshot on another thread: it composes as the
// document does, carries no undo history, and later edits of the document
// leave it as it was.
TEST(Compose, SnapshotComposesAsTheDocumentAndStaysAsTaken) {
    Opened o(kitModel());
    ASSERT_TRUE(o.doc.renameBand(0, "Softest"));
    ASSERT_TRUE(o.doc.moveSamples(std::vector<uint64_t>{2}, 0));
    test::removeSample(o.doc, 4);
    const uint64_t added = test::addSample(o.doc, "Snare Rim 2", 0, 1, 2);
    const std::unique_ptr<EditDocument> snapshot = o.doc.snapshot();
    EXPECT_TRUE(snapshot->history.undoEntries.empty());
    EXPECT_EQ(snapshot->dirty(), o.doc.dirty());
    const Zem6Model before = compose(o, false);
    auto fromSnapshot = composeModel(*snapshot, o.source, false, nullptr);
    ASSERT_TRUE(fromSnapshot.ok()) << fromSnapshot.message();
    EXPECT_EQ(fromSnapshot.value(), before);

    ASSERT_TRUE(o.doc.moveSamples(std::vector<uint64_t>{added}, 1));
    ASSERT_TRUE(o.doc.renameBand(1, "Middle"));
    auto again = composeModel(*snapshot, o.source, false, nullptr);
    ASSERT_TRUE(again.ok()) << again.message();
    EXPECT_EQ(again.value(), before);
    EXPECT_NE(compose(o, false), before);
}

// A name the user typed is stored as typed, also when it reads like one the
// editor makes up; a made-up name stays out only while a reopen would make
// up the same one.
TEST(Compose, TypedBandNamesAreStoredAsTyped) {
    struct Case {
        const char* what;
        std::function<void(EditDocument&)> edit;
        std::vector<std::optional<std::string>> names;  // of the composed list
    };
    const std::vector<Case> cases{
        {"untouched made-up name", [](EditDocument& d) { d.bandsEdited = 1; }, {"Soft", std::nullopt, "Hard"}},
        {"typed back to the made-up text",
         [](EditDocument& d) {
             ASSERT_TRUE(d.renameBand(1, "Loud"));
             ASSERT_TRUE(d.renameBand(1, "Band 2"));
         },
         {"Soft", "Band 2", "Hard"}},
        {"typed like another made-up name",
         [](EditDocument& d) { ASSERT_TRUE(d.renameBand(1, "Band 3")); },
         {"Soft", "Band 3", "Hard"}},
        {"a typed name undone",
         [](EditDocument& d) {
             ASSERT_TRUE(d.renameBand(1, "Loud"));
             ASSERT_TRUE(d.history.undoEntries.back().command->revert(d));
         },
         {"Soft", std::nullopt, "Hard"}},
        {"a lower band deleted: the shown name is kept",
         [](EditDocument& d) { ASSERT_TRUE(d.deleteBand(0)); },
         {"Band 2", "Hard"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Opened o(kitModel());
        ASSERT_EQ(o.doc.bands[1].name, "Band 2");
        c.edit(o.doc);
        const Zem6Model out = compose(o, true);
        std::vector<std::optional<std::string>> names;
        for (const fmt::BandDef& b : out.metadata.dynamics) names.push_back(b.name);
        EXPECT_EQ(names, c.names);
    }
}

// A converted legacy kit numbers its dynamics loudest first. Its rows follow
// the grid (softest first) in the file: unedited, the stored entries stay as
// they were but for their ids; edited, the edges are the grid's splits.
TEST(Compose, ALegacyNumberedBandListIsRenumberedInGridOrder) {
    const double inf = std::numeric_limits<double>::infinity();
    Zem6Model m;
    fmt::BandDef loud = test::bandDef(1, 0.45, inf, std::nullopt);
    loud.extensions.push_back(fmt::makeCborFloatValue(0.6));
    fmt::BandDef soft = test::bandDef(2, -inf, 0.45, std::nullopt);
    soft.extensions.push_back(fmt::makeCborFloatValue(0.3));
    m.metadata.dynamics = {loud, soft};
    for (uint64_t uid = 1; uid <= 4; ++uid) {
        SmplEntry e;
        e.uid = uid;
        e.audi_uid = uid;
        e.band = uid % 2 == 1 ? 1 : 2;  // odd uids loud
        m.samples.push_back(e);
    }
    for (const bool edited : {false, true}) {
        SCOPED_TRACE(edited ? "a band renamed" : "no band edited");
        Opened o(m);
        ASSERT_EQ(o.doc.velocitySplits, std::vector<int32_t>{57});
        if (edited) {
            ASSERT_TRUE(o.doc.renameBand(1, "Loud"));
        }
        const Zem6Model out = compose(o, true);
        const auto& bands = out.metadata.dynamics;
        ASSERT_EQ(bands.size(), 2u);
        EXPECT_EQ(bands[0].id, 1u);
        EXPECT_EQ(bands[1].id, 2u);
        if (edited) {
            EXPECT_EQ(bands[0].low, 0.0);
            EXPECT_EQ(bands[0].high, 57 / 127.0);
            EXPECT_EQ(bands[1].low, 57 / 127.0);
            EXPECT_EQ(bands[1].high, 1.0);
            EXPECT_EQ(bands[1].name, std::optional<std::string>("Loud"));
        } else {
            fmt::BandDef first = soft;
            first.id = 1;
            fmt::BandDef second = loud;
            second.id = 2;
            EXPECT_EQ(bands[0], first);
            EXPECT_EQ(bands[1], second);
        }
        for (const SmplEntry& row : out.samples) {
            EXPECT_EQ(row.band, std::optional<uint64_t>(row.uid % 2 == 1 ? 2 : 1)) << "uid " << row.uid;
        }
        EXPECT_TRUE(indexGroupDefinitions(out).ok());
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic
