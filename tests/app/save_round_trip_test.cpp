// Saving on both roads (the shell's save and the editor's own save) and
// opening the saved file again: the reopened document shows what the editor
// showed after the save (groups, splits, uids, room channels, audio), and the
// file's group edges cover velocities 0..127 exactly at those splits.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/save_job.hpp"
#include "app/save_model.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "audio/sample_file_builder.hpp"
#include "editor/logic/band_layout.hpp"
#include "editor/logic/sample_commands.hpp"
#include "editor/logic/view_model.hpp"
#include "format/reader.hpp"
#include "format/checksum.hpp"
#include "format/read_policy.hpp"
#include "format/sample_ext.hpp"
#include "support/temp_dir.hpp"

namespace vt6::maker {
namespace {

namespace logic = ui::zemedit::logic;
using logic::EditDocument;
using logic::ZemEditViewModel;

// A library as some tool may have written it: any band ids, an exact band
// layout, a Direct channel and perhaps Room A, hits of one direct sample and
// perhaps one room sample named alike, both in the same group.
struct LibraryPlan {
    struct Hit {
        size_t band = 0;  // position among the bands
        uint64_t articulation = 1;
        bool room = false;
    };
    std::vector<uint64_t> bandIds;  // ascending; one per band
    bool listBackwards = false;     // the band list stored in descending id order
    bool centres = true;            // band centres stored (extension key 5)
    std::vector<int32_t> splits;    // bandIds.size() - 1, exact
    bool roomLayer = false;
    uint64_t articulations = 1;
    std::vector<Hit> hits;
    uint32_t seed = 1;
};

std::string writeLibrary(const LibraryPlan& plan, const std::string& path) {
    vt6::test::SampleFileBuilder builder;
    struct Made {
        size_t sample;
        std::string name;
        uint64_t layer;
        const LibraryPlan::Hit* hit;
    };
    std::vector<Made> made;
    for (size_t i = 0; i < plan.hits.size(); ++i) {
        const LibraryPlan::Hit& hit = plan.hits[i];
        const uint32_t seed = plan.seed * 64 + static_cast<uint32_t>(i) * 2;
        const uint64_t frames = 200 + (seed * 37) % 300;
        builder.add(vt6::test::SampleRecipe{.frames = frames, .seed = seed});
        made.push_back({builder.samples.size() - 1, "Hit " + std::to_string(i) + " Direct", 1, &hit});
        if (hit.room) {
            builder.add(vt6::test::SampleRecipe{.frames = frames, .seed = seed + 1});
            made.push_back({builder.samples.size() - 1, "Hit " + std::to_string(i) + " Room A", 2, &hit});
        }
    }
    fmt::Zem6Model m = builder.model();
    fmt::ModelMetadata& md = m.metadata;
    md.name = std::string("Library");
    fmt::LayerDef direct;
    direct.id = 1;
    direct.name = std::string("Direct");
    direct.slot = 0;
    direct.level = 1.0;
    md.layers.push_back(direct);
    if (plan.roomLayer) {
        fmt::LayerDef room = direct;
        room.id = 2;
        room.name = std::string("Room A");
        room.slot = 1;
        md.layers.push_back(room);
    }
    for (uint64_t a = 1; a <= plan.articulations; ++a) {
        fmt::ArticulationDef art;
        art.id = a;
        art.name = "Art " + std::to_string(a);
        md.articulations.push_back(art);
    }
    const size_t n = plan.bandIds.size();
    const std::vector<double> positions = logic::splitsToLevelPositions(plan.splits).positions;
    for (size_t k = 0; k < n; ++k) {
        fmt::BandDef band;
        band.id = plan.bandIds[k];
        band.low = k == 0 ? 0.0 : plan.splits[k - 1] / 127.0;
        band.high = k + 1 == n ? 1.0 : plan.splits[k] / 127.0;
        band.name = "Group " + std::to_string(k);
        if (plan.centres) band.extensions.push_back(fmt::makeCborFloatValue(positions[k]));
        md.dynamics.push_back(band);
    }
    if (plan.listBackwards) std::reverse(md.dynamics.begin(), md.dynamics.end());
    for (const Made& s : made) {
        fmt::SmplEntry& row = m.samples[s.sample];
        row.name = s.name;
        row.layer = s.layer;
        row.articulation = s.hit->articulation;
        row.band = plan.bandIds[s.hit->band];
        row.plain_hash = fmt::blake2b128(builder.samples[s.sample].pcm);
    }
    const auto written = fmt::writeZem6File(path, m, builder.payloads());
    EXPECT_TRUE(written.ok()) << written.message();
    return path;
}

// What the editor shows of a document, and the audio behind each sample.
struct ShownSample {
    size_t band = 0;
    uint64_t layerKey = 0;
    uint8_t roomLayer = 0;
    uint64_t articulationKey = 0;
    std::string name;
    std::vector<float> audio;
    int32_t channels = 0;
    int32_t sampleRate = 0;

};

struct Shown {
    std::vector<int32_t> splits;
    std::map<uint64_t, ShownSample> samples;  // by uid
    std::map<uint64_t, uint8_t> roomLayers;   // layer key -> isRoom
};

Shown shown(const ZemEditViewModel& vm) {
    const EditDocument& doc = vm.document;
    Shown out;
    out.splits = doc.velocitySplits;
    for (const logic::EditDef& layer : doc.layers) out.roomLayers[layer.key] = layer.isRoom;
    for (const logic::EditSample& s : doc.samples) {
        if (doc.sampleByUid(s.uid) != &s) continue;
        ShownSample v;
        v.band = static_cast<size_t>(doc.bandIndexOf(s.bandId));
        v.layerKey = doc.layers.at(static_cast<size_t>(s.layerIndex)).key;
        v.roomLayer = doc.layers.at(static_cast<size_t>(s.layerIndex)).isRoom;
        v.articulationKey = doc.articulations.at(static_cast<size_t>(s.articulationIndex)).key;
        v.name = s.name;
        auto audio = vm.sampleAudio(s.uid);
        EXPECT_TRUE(audio.ok()) << "uid " << s.uid << ": " << audio.message();
        if (audio.ok()) {
            v.audio = audio->samples;
            v.channels = audio->channels;
            v.sampleRate = audio->sampleRate;
        }
        out.samples.emplace(s.uid, std::move(v));
    }
    return out;
}

std::vector<uint64_t> uidsOf(const Shown& s) {
    std::vector<uint64_t> out;
    for (const auto& [uid, sample] : s.samples) out.push_back(uid);
    return out;
}

std::string describe(const ShownSample& s) {
    return "band " + std::to_string(s.band) + ", layer " + std::to_string(s.layerKey) +
           (s.roomLayer != 0 ? " (room)" : "") + ", articulation " + std::to_string(s.articulationKey) + ", " + s.name;
}

// The stored edges, in id order: ids 1..n, from 0 to 1 without gap or
// overlap, one band per band the editor shows; with `atSplits`, each inner
// edge exactly at the split the editor shows.
// The reopened document shows the same splits and the same samples, with the
// same audio, as the one that was saved.
void expectSameSamples(const Shown& got, const Shown& want) {
    EXPECT_EQ(got.splits, want.splits);
    EXPECT_EQ(uidsOf(got), uidsOf(want));
    for (const auto& [uid, sample] : want.samples) {
        const auto found = got.samples.find(uid);
        if (found == got.samples.end()) continue;
        EXPECT_EQ(describe(found->second), describe(sample)) << "uid " << uid;
        EXPECT_TRUE(found->second.audio == sample.audio && found->second.channels == sample.channels &&
                    found->second.sampleRate == sample.sampleRate)
            << "audio of uid " << uid;
    }
}

void expectEdgesTile(const fmt::Zem6Model& model, const std::vector<int32_t>& splits, bool atSplits) {
    std::vector<fmt::BandDef> bands = model.metadata.dynamics;
    std::sort(bands.begin(), bands.end(), [](const fmt::BandDef& a, const fmt::BandDef& b) { return a.id < b.id; });
    ASSERT_EQ(bands.size(), splits.size() + 1);
    for (size_t k = 0; k < bands.size(); ++k) {
        SCOPED_TRACE("band " + std::to_string(k));
        EXPECT_EQ(bands[k].id, k + 1);
        ASSERT_TRUE(bands[k].low && bands[k].high);
        EXPECT_LT(*bands[k].low, *bands[k].high);
        EXPECT_EQ(*bands[k].low, k == 0 ? 0.0 : *bands[k - 1].high);
        if (k + 1 == bands.size()) {
            EXPECT_EQ(*bands[k].high, 1.0);
        }
        if (atSplits && k > 0) {
            EXPECT_EQ(*bands[k].low, splits[k - 1] / 127.0);
        }
    }
}

// Every sample sits in the band its row names by id.
void expectGroupsAsStored(const ZemEditViewModel& vm) {
    const EditDocument& doc = vm.document;
    std::vector<uint64_t> ids;
    for (const fmt::BandDef& band : vm.activeSource()->model().metadata.dynamics) ids.push_back(band.id);
    std::sort(ids.begin(), ids.end());
    for (const fmt::SmplEntry& row : vm.activeSource()->model().samples) {
        const auto at = std::find(ids.begin(), ids.end(), row.band.value_or(1));
        ASSERT_NE(at, ids.end());
        EXPECT_EQ(doc.bandIndexOf(doc.sampleByUid(row.uid)->bandId), at - ids.begin()) << "uid " << row.uid;
    }
}

enum class Road { shell, own };

const char* roadName(Road road) { return road == Road::shell ? "shell's save" : "editor's own save"; }

// Saves the open document to `target` as the road does, pruning and marking
// the document saved afterwards.
void saveOn(Road road, ZemEditViewModel& vm, const std::string& target) {
    if (road == Road::own) {
        const auto outcome = vm.saveAs(target);
        ASSERT_TRUE(outcome.ok()) << outcome.message();
        ASSERT_EQ(outcome->path, target);
        return;
    }
    // As the main component saves: composed from a copy of the document on
    // the worker, then the document takes the room samples' moves.
    const SaveJobResult result = composeAndRunSave(*vm.document.snapshot(), vm.activeSource()->model(), "saved",
                                                   target, makeDetachedAudioSource(vm));
    ASSERT_TRUE(result.notes.empty()) << result.notes.front();
    ASSERT_EQ(result.code, 0) << result.refusal;
    settleSavedDocument(vm.document, result.roomMoves);
}

// Saves on the road, reopens the file and compares what both documents show.
// A band list stored without centres is shown at the midpoints of its edges
// and kept as stored while no band changes, so its edges need not sit at the
// splits shown; every other file's must.
void expectRoundTrip(Road road, ZemEditViewModel& vm, const std::string& target, bool edgesAtSplits = true) {
    SCOPED_TRACE(roadName(road));
    saveOn(road, vm, target);
    if (::testing::Test::HasFatalFailure()) return;
    ZemEditViewModel again;
    ASSERT_TRUE(again.openFile(target, fmt::ReadPolicy{})) << again.status.text;
    expectEdgesTile(again.fileSource->model(), vm.document.velocitySplits, edgesAtSplits);
    const Shown want = shown(vm);
    const Shown got = shown(again);
    EXPECT_EQ(got.roomLayers, want.roomLayers);
    expectSameSamples(got, want);
}

void openLibrary(ZemEditViewModel& vm, const std::string& path) {
    ASSERT_TRUE(vm.openFile(path, fmt::ReadPolicy{})) << vm.status.text;
    expectGroupsAsStored(vm);
}

bool removeUids(EditDocument& doc, const std::vector<uint64_t>& uids) {
    std::vector<logic::SampleRemoval> removals;
    for (uint64_t uid : uids) {
        const logic::EditSample* s = doc.sampleByUid(uid);
        if (s != nullptr) removals.push_back(logic::SampleRemoval{uid, s->bandId, s->positionKey});
    }
    return !removals.empty() && doc.execute(std::make_unique<logic::RemoveSamplesCmd>(std::move(removals)));
}

// The live samples of one band (-1: every band), in record order.
std::vector<uint64_t> liveUids(const EditDocument& doc, int32_t bandIndex = -1) {
    std::vector<uint64_t> out;
    for (const logic::EditSample& s : doc.samples) {
        if (doc.sampleByUid(s.uid) != &s) continue;
        if (bandIndex < 0 || doc.bandIndexOf(s.bandId) == bandIndex) out.push_back(s.uid);
    }
    return out;
}

// Each library hit in its group, one per band, on splits 34, 68, 100.
LibraryPlan oneHitPerBand(std::vector<int32_t> splits, std::vector<uint64_t> ids) {
    LibraryPlan plan;
    plan.bandIds = std::move(ids);
    plan.splits = std::move(splits);
    for (size_t b = 0; b < plan.bandIds.size(); ++b) plan.hits.push_back({b, 1, false});
    return plan;
}

// Emptying a group (or adding one and leaving it empty) and saving: the
// neighbour takes over its range and every other split stays where the user
// set it, in the file and in the editor, also where the layout puts band
// centres off the 0..1 scale.
TEST(SaveRoundTrip, EmptiedGroupsKeepEveryOtherSplitOnBothRoads) {
    struct Case {
        const char* what;
        LibraryPlan plan;
        std::function<void(EditDocument&)> edit;
        std::vector<int32_t> after;
    };
    auto emptyBand = [](int32_t band) {
        return [band](EditDocument& d) { ASSERT_TRUE(removeUids(d, liveUids(d, band))); };
    };
    const std::vector<Case> cases{
        {"Add dynamic on 34, 68, 100", oneHitPerBand({34, 68, 100}, {1, 2, 3, 4}),
         [](EditDocument& d) { ASSERT_TRUE(d.addBand()); }, {34, 68, 100}},
        {"top group emptied", oneHitPerBand({34, 68, 100}, {1, 2, 3, 4}), emptyBand(3), {34, 68}},
        {"bottom group emptied", oneHitPerBand({34, 68, 100}, {1, 2, 3, 4}), emptyBand(0), {68, 100}},
        {"centres off the scale: 64 kept", oneHitPerBand({64, 100}, {1, 2, 3}), emptyBand(2), {64}},
        {"centres off the scale: 22, 82 kept", oneHitPerBand({22, 82, 100}, {1, 2, 3, 4}), emptyBand(3), {22, 82}},
        {"centres off the scale: 17, 68 kept", oneHitPerBand({17, 40, 68}, {1, 2, 3, 4}), emptyBand(2), {17, 68}},
        {"band ids 7, 8, 9, middle emptied", oneHitPerBand({40, 90}, {7, 8, 9}), emptyBand(1), {90}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (Road road : {Road::shell, Road::own}) {
            vt6::test::TempDir dir;
            const std::string source = writeLibrary(c.plan, dir.path("library.zem"));
            ZemEditViewModel vm;
            openLibrary(vm, source);
            c.edit(vm.document);
            expectRoundTrip(road, vm, dir.path("saved.zem"));
            EXPECT_EQ(vm.document.velocitySplits, c.after) << roadName(road);
        }
    }
}

LibraryPlan randomLibrary(std::mt19937& rng, uint32_t seed) {
    auto pick = [&](uint32_t n) { return n == 0 ? 0u : static_cast<uint32_t>(rng() % n); };
    LibraryPlan plan;
    plan.seed = seed;
    const size_t n = 1 + pick(6);
    uint64_t id = pick(3) == 0 ? 1 : pick(20);
    const bool consecutive = id == 1 && pick(2) == 0;
    for (size_t k = 0; k < n; ++k) {
        plan.bandIds.push_back(id);
        id += consecutive ? 1 : 1 + pick(4);
    }
    plan.listBackwards = pick(2) == 0;
    plan.centres = pick(4) != 0;
    std::vector<int32_t> splits;
    while (splits.size() + 1 < n) {
        splits.push_back(1 + static_cast<int32_t>(pick(126)));
        std::sort(splits.begin(), splits.end());
        splits.erase(std::unique(splits.begin(), splits.end()), splits.end());
    }
    const logic::BandLayout layout = logic::splitsToLevelPositions(splits);
    plan.splits = layout.exact != 0 ? splits : layout.splits;
    plan.roomLayer = pick(2) == 0;
    plan.articulations = 1 + pick(2);
    const size_t hits = 2 + pick(7);
    for (size_t i = 0; i < hits; ++i) {
        plan.hits.push_back({pick(static_cast<uint32_t>(n)), 1 + pick(static_cast<uint32_t>(plan.articulations)),
                             plan.roomLayer && pick(2) == 0});
    }
    return plan;
}

// A direct sample and the room sample named like it, moved or removed as one.
std::vector<uint64_t> hitOf(const EditDocument& doc, uint64_t directUid) {
    std::vector<uint64_t> out{directUid};
    std::string room = doc.sampleByUid(directUid)->name;
    const size_t label = room.rfind(" Direct");
    if (label == std::string::npos) return out;
    room.replace(label, std::string::npos, " Room A");
    for (uint64_t uid : liveUids(doc)) {
        if (doc.sampleByUid(uid)->name == room) out.push_back(uid);
    }
    return out;
}

std::vector<uint64_t> directUids(const EditDocument& doc, int32_t bandIndex = -1) {
    std::vector<uint64_t> out;
    for (uint64_t uid : liveUids(doc, bandIndex)) {
        const logic::EditSample* s = doc.sampleByUid(uid);
        if (doc.layers.at(static_cast<size_t>(s->layerIndex)).isRoom == 0) out.push_back(uid);
    }
    return out;
}

// A few edits as the interface makes them; the same seed makes the same
// edits on a document opened from the same file.
void randomEdits(ZemEditViewModel& vm, uint32_t seed) {
    std::mt19937 rng(seed);
    auto pick = [&](size_t n) { return n == 0 ? size_t{0} : static_cast<size_t>(rng() % n); };
    EditDocument& d = vm.document;
    const size_t steps = pick(7);
    for (size_t step = 0; step < steps; ++step) {
        const size_t nb = d.bands.size();
        switch (pick(9)) {
            case 0: d.addBand(); break;
            case 1: d.deleteBand(static_cast<int32_t>(pick(nb))); break;
            case 2: {
                if (d.velocitySplits.empty()) break;
                const size_t i = pick(d.velocitySplits.size());
                const int32_t lo = i == 0 ? 1 : d.velocitySplits[i - 1] + 1;
                const int32_t hi = i + 1 < d.velocitySplits.size() ? d.velocitySplits[i + 1] - 1 : 126;
                d.dragBoundary = static_cast<int32_t>(i);
                d.dragSplits = d.velocitySplits;
                d.dragSplits[i] = lo + static_cast<int32_t>(pick(static_cast<size_t>(hi - lo + 1)));
                d.commitBounds();
                break;
            }
            case 3: {
                const std::vector<uint64_t> directs = directUids(d);
                if (directs.size() > 1) removeUids(d, hitOf(d, directs[pick(directs.size())]));
                break;
            }
            case 4: {
                const std::vector<uint64_t> directs = directUids(d);
                const std::vector<uint64_t> hit = hitOf(d, directs[pick(directs.size())]);
                d.moveSamples(hit, static_cast<int32_t>(pick(nb)));
                break;
            }
            case 5: {
                std::vector<float> hit(300);
                for (size_t f = 0; f < hit.size(); ++f) {
                    hit[f] = static_cast<float>(hit.size() - f) / 400.0f * (f % 16 < 8 ? 1.0f : -1.0f);
                }
                const uint64_t uid = vm.addSampleFromPcm("New " + std::to_string(step) + " Direct", std::move(hit), 1,
                                                         44100, 0.1, 0, static_cast<uint32_t>(pick(d.articulations.size())),
                                                         static_cast<int32_t>(pick(nb)), fmt::HitLevel::unmeasured(), false);
                EXPECT_NE(uid, 0u);
                break;
            }
            case 6: {
                // Empty a whole group while another one keeps a sample.
                const auto band = static_cast<int32_t>(pick(nb));
                const std::vector<uint64_t> inBand = directUids(d, band);
                if (inBand.size() == directUids(d).size()) break;
                std::vector<uint64_t> uids;
                for (uint64_t uid : inBand) {
                    for (uint64_t u : hitOf(d, uid)) uids.push_back(u);
                }
                removeUids(d, uids);
                break;
            }
            case 7: d.renameBand(static_cast<int32_t>(pick(nb)), "Renamed " + std::to_string(step)); break;
            case 8: {
                if (!d.addRoomChannel()) break;
                const size_t layer = d.layers.size() - 1;
                const std::vector<uint64_t> directs = directUids(d);
                const logic::EditSample* direct = d.sampleByUid(directs[pick(directs.size())]);
                std::string name = direct->name;
                name.replace(name.rfind(" Direct"), std::string::npos, " " + d.layers[layer].name);
                std::vector<float> hit(200, 0.25f);
                vm.addSampleFromPcm(name, std::move(hit), 1, 44100, 0.1, static_cast<uint32_t>(layer),
                                    static_cast<uint32_t>(direct->articulationIndex), d.bandIndexOf(direct->bandId),
                                    fmt::HitLevel::unmeasured(), false);
                break;
            }
        }
    }
}

// Random libraries (any band ids, with and without stored centres, with and
// without room samples) and random edits, saved on both roads and reopened.
TEST(SaveRoundTrip, RandomDocumentsAndEditsOnBothRoads) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed);
        const LibraryPlan plan = randomLibrary(rng, seed);
        vt6::test::TempDir dir;
        const std::string source = writeLibrary(plan, dir.path("library.zem"));
        for (Road road : {Road::shell, Road::own}) {
            ZemEditViewModel vm;
            openLibrary(vm, source);
            if (HasFatalFailure()) return;
            randomEdits(vm, seed);
            expectRoundTrip(road, vm, dir.path(road == Road::shell ? "shell.zem" : "own.zem"), plan.centres);
            if (HasFatalFailure()) return;
        }
    }
}

// --- Direct samples dragged away from their room samples -------------------

// The velocity steps an entry's edges stand for: each edge rounded to the
// 0..127 scale, the outer ones (also infinite) clamped.
std::pair<int32_t, int32_t> stepsOf(const fmt::BandDef& band) {
    auto step = [](const std::optional<double>& edge, int32_t absent) {
        if (!edge || std::isnan(*edge)) return absent;
        return static_cast<int32_t>(std::clamp(std::round(*edge * 127.0), 0.0, 127.0));
    };
    return {step(band.low, -1), step(band.high, -1)};
}

// The range of the group at `index` under `splits`, in the same steps.
std::pair<int32_t, int32_t> groupSteps(const std::vector<int32_t>& splits, size_t index) {
    return {index == 0 ? 0 : splits[index - 1], index < splits.size() ? splits[index] : 127};
}

// Every row of the saved file plays the range of the group the editor
// showed its sample in; the file's bands tile 0..127 at the shown splits.
void expectRowsPlayWhereShown(const fmt::Zem6Model& saved, const EditDocument& shownDoc) {
    std::map<uint64_t, std::pair<int32_t, int32_t>> byId;
    for (const fmt::BandDef& band : saved.metadata.dynamics) byId[band.id] = stepsOf(band);
    ASSERT_EQ(byId.size(), shownDoc.bands.size());
    std::vector<std::pair<int32_t, int32_t>> tiles;
    for (const auto& [id, steps] : byId) tiles.push_back(steps);
    std::sort(tiles.begin(), tiles.end());
    for (size_t k = 0; k < tiles.size(); ++k) EXPECT_EQ(tiles[k], groupSteps(shownDoc.velocitySplits, k)) << "band " << k;
    ASSERT_EQ(saved.samples.size(), shownDoc.liveSampleCount);
    for (const fmt::SmplEntry& row : saved.samples) {
        const logic::EditSample* s = shownDoc.sampleByUid(row.uid);
        ASSERT_NE(s, nullptr) << "uid " << row.uid;
        const auto band = byId.find(row.band.value_or(1));
        ASSERT_NE(band, byId.end()) << "uid " << row.uid;
        const auto shownBand = static_cast<size_t>(shownDoc.bandIndexOf(s->bandId));
        EXPECT_EQ(band->second, groupSteps(shownDoc.velocitySplits, shownBand)) << "uid " << row.uid;
    }
}

// Group position of every live sample, by name.
std::map<std::string, int32_t> groupsByName(const EditDocument& doc) {
    std::map<std::string, int32_t> out;
    for (uint64_t uid : liveUids(doc)) out[doc.sampleByUid(uid)->name] = doc.bandIndexOf(doc.sampleByUid(uid)->bandId);
    return out;
}

struct RoadResult {
    std::vector<int32_t> splits;
    std::map<std::string, int32_t> groups;
};

// Saves on the road and reopens: the editor, the reopened file and the rows'
// velocity ranges agree.
RoadResult saveAndCompare(Road road, ZemEditViewModel& vm, const std::string& target) {
    expectRoundTrip(road, vm, target);
    RoadResult out{vm.document.velocitySplits, groupsByName(vm.document)};
    auto reopened = fmt::openZem6File(target, fmt::ReadPolicy{});
    EXPECT_TRUE(reopened.ok()) << reopened.message();
    if (reopened.ok()) expectRowsPlayWhereShown(reopened.value().model, vm.document);
    return out;
}

// Two groups split at 64, Hit 0 soft and Hit 1 hard, each a direct sample
// and its Room A sample; the direct sample of Hit 0 alone dragged to hard.
// Saving puts its room sample beside it in the file and in the editor, on
// both roads alike; the emptied soft group goes from both. Undo takes the
// room sample back to where it was.
TEST(SaveRoundTrip, ADirectDraggedAloneTakesItsRoomSampleOnBothRoads) {
    LibraryPlan plan;
    plan.bandIds = {1, 2};
    plan.splits = {64};
    plan.roomLayer = true;
    plan.hits = {{0, 1, true}, {1, 1, true}};
    vt6::test::TempDir dir;
    const std::string source = writeLibrary(plan, dir.path("library.zem"));
    std::vector<RoadResult> results;
    for (Road road : {Road::shell, Road::own}) {
        SCOPED_TRACE(roadName(road));
        ZemEditViewModel vm;
        openLibrary(vm, source);
        if (HasFatalFailure()) return;
        EditDocument& d = vm.document;
        const std::vector<uint64_t> hit0 = hitOf(d, directUids(d, 0).front());
        ASSERT_EQ(hit0.size(), 2u);
        ASSERT_TRUE(d.moveSamples(std::vector<uint64_t>{hit0[0]}, 1));
        const size_t stepsBefore = d.history.undoEntries.size();
        results.push_back(saveAndCompare(road, vm, dir.path(road == Road::shell ? "shell.zem" : "own.zem")));
        if (HasFatalFailure()) return;
        EXPECT_TRUE(d.velocitySplits.empty());
        EXPECT_EQ(d.bandIndexOf(d.sampleByUid(hit0[1])->bandId), d.bandIndexOf(d.sampleByUid(hit0[0])->bandId));
        EXPECT_FALSE(d.dirty());
        // Undo: the pruned group comes back, then the room sample returns to it.
        while (d.history.undoEntries.size() > stepsBefore) {
            ASSERT_TRUE(d.history.undoEntries.back().command->revert(d));
            d.history.undoEntries.pop_back();
        }
        EXPECT_EQ(d.velocitySplits, std::vector<int32_t>{64});
        EXPECT_EQ(d.bandIndexOf(d.sampleByUid(hit0[1])->bandId), 0);
        EXPECT_EQ(d.bandIndexOf(d.sampleByUid(hit0[0])->bandId), 1);
    }
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].splits, results[1].splits);
    EXPECT_EQ(results[0].groups, results[1].groups);
}

// Single-chip drags of direct samples away from their room samples, among
// the other random edits: on both roads the reopened file shows what the
// editor showed after the save, every row plays in the range of the group
// the editor shows it in, and both roads save the same groups.
TEST(SaveRoundTrip, DirectsDraggedAwayFromTheirRoomSamplesOnBothRoads) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed * 7919u);
        LibraryPlan plan = randomLibrary(rng, seed);
        plan.centres = true;
        plan.roomLayer = true;
        for (LibraryPlan::Hit& hit : plan.hits) hit.room = hit.room || rng() % 3 != 0;
        if (plan.bandIds.size() < 2) {
            plan.bandIds.push_back(plan.bandIds.back() + 1);
            plan.splits = logic::splitsToLevelPositions(std::vector<int32_t>{64}).splits;
        }
        vt6::test::TempDir dir;
        const std::string source = writeLibrary(plan, dir.path("library.zem"));
        std::vector<RoadResult> results;
        for (Road road : {Road::shell, Road::own}) {
            ZemEditViewModel vm;
            openLibrary(vm, source);
            if (HasFatalFailure()) return;
            if (seed % 2 == 0) randomEdits(vm, seed);
            // One to three drags of a single direct chip that has a room
            // sample. A room sample placed by hand (dragged itself) must be
            // moved by hand: the shell refuses with a note then.
            std::mt19937 drags(seed);
            EditDocument& d = vm.document;
            const size_t count = 1 + drags() % 3;
            for (size_t i = 0; i < count; ++i) {
                std::vector<uint64_t> split;
                for (uint64_t uid : directUids(d)) {
                    const std::vector<uint64_t> hit = hitOf(d, uid);
                    if (hit.size() > 1 && std::none_of(hit.begin() + 1, hit.end(), [&](uint64_t room) {
                            return d.sampleByUid(room)->sortLock != 0;
                        }))
                        split.push_back(uid);
                }
                if (split.empty() || d.bands.size() < 2) break;
                const uint64_t chip = split[drags() % split.size()];
                const int32_t from = d.bandIndexOf(d.sampleByUid(chip)->bandId);
                const auto to = static_cast<int32_t>((from + 1 + drags() % (d.bands.size() - 1)) % d.bands.size());
                ASSERT_TRUE(d.moveSamples(std::vector<uint64_t>{chip}, to));
            }
            results.push_back(
                saveAndCompare(road, vm, dir.path(road == Road::shell ? "shell.zem" : "own.zem")));
            if (HasFatalFailure()) return;
        }
        ASSERT_EQ(results.size(), 2u);
        EXPECT_EQ(results[0].splits, results[1].splits);
        EXPECT_EQ(results[0].groups, results[1].groups);
    }
}

// --- Converted legacy kits, band lists without centres, six to eleven groups ---
//
// The same round trips for the files whose band ids or edges are not this
// editor's own, saved on the shell's road through its save job. Besides what
// the reopened document shows, every row must play in the file the velocity
// range of the group the editor showed it in, and pruning on save may only
// drop splits, never move one.

// The shell's save as its worker runs it: the plan, then the save job;
// afterwards the document takes the room moves, is pruned and saved.
void saveThroughJob(ZemEditViewModel& vm, const std::string& target) {
    int code = -1;
    auto plan = composeSaveModel(vm.document, vm.activeSource()->model(), "saved", code);
    ASSERT_TRUE(plan.ok()) << plan.message();
    // Room samples the linking cannot match are only reported; the groups
    // are what is checked here.
    const std::vector<logic::RoomGroupMove> moves = plan->roomMoves;
    ASSERT_EQ(runSaveJob(target, std::move(*plan), makeDetachedAudioSource(vm)), 0);
    settleSavedDocument(vm.document, moves);
}

// Saves on the road (the shell's through its job), checks the file row by
// row against the editor and reopens it: the reopened document shows what
// the editor showed.
void expectSavedAsShown(Road road, ZemEditViewModel& vm, const std::string& target) {
    SCOPED_TRACE(roadName(road));
    const std::vector<int32_t> before = vm.document.velocitySplits;
    std::string saved = target;
    if (road == Road::shell) {
        saveThroughJob(vm, target);
    } else if (vm.legacySource) {
        // A converted kit saves through SAVE, to a new file in the folder.
        const std::filesystem::path where(target);
        const auto outcome = vm.save(where.parent_path().string(), where.stem().string());
        ASSERT_TRUE(outcome.ok()) << outcome.message();
        saved = outcome->path;
    } else {
        saveOn(road, vm, target);
    }
    if (::testing::Test::HasFatalFailure()) return;
    // Pruning takes splits away and moves none.
    for (int32_t split : vm.document.velocitySplits) {
        EXPECT_NE(std::find(before.begin(), before.end(), split), before.end()) << "split " << split << " moved";
    }
    ZemEditViewModel again;
    ASSERT_TRUE(again.openFile(saved, fmt::ReadPolicy{})) << again.status.text;
    expectRowsPlayWhereShown(again.fileSource->model(), vm.document);
    expectSameSamples(shown(again), shown(vm));
    // A name the user typed or the file stored comes back as it was; only
    // made-up names may be made up again.
    ASSERT_EQ(again.document.bands.size(), vm.document.bands.size());
    for (size_t k = 0; k < vm.document.bands.size(); ++k) {
        if (vm.document.bands[k].generatedName != 0) continue;
        EXPECT_EQ(again.document.bands[k].name, vm.document.bands[k].name) << "band " << k;
    }
}

// A name typed like the ones the editor makes up, on some band.
void typeMadeUpLookingName(EditDocument& doc, uint32_t seed) {
    if (seed % 3 != 0 || doc.bands.empty()) return;
    const size_t band = seed % doc.bands.size();
    doc.renameBand(static_cast<int32_t>(band), "Band " + std::to_string(1 + (seed / 3) % (doc.bands.size() + 1)));
}

// A library of six to eleven groups, on any splits (most of which no level
// positions give back by the midpoint rule), with or without centres.
LibraryPlan manyGroupsLibrary(std::mt19937& rng, uint32_t seed) {
    auto pick = [&](uint32_t n) { return n == 0 ? 0u : static_cast<uint32_t>(rng() % n); };
    LibraryPlan plan;
    plan.seed = seed;
    const size_t n = 6 + pick(6);
    uint64_t id = pick(2) == 0 ? 1 : 1 + pick(9);
    for (size_t k = 0; k < n; ++k) {
        plan.bandIds.push_back(id);
        id += 1 + pick(2);
    }
    plan.listBackwards = pick(2) == 0;
    plan.centres = pick(2) == 0;
    while (plan.splits.size() + 1 < n) {
        plan.splits.push_back(1 + static_cast<int32_t>(pick(126)));
        std::sort(plan.splits.begin(), plan.splits.end());
        plan.splits.erase(std::unique(plan.splits.begin(), plan.splits.end()), plan.splits.end());
    }
    plan.roomLayer = pick(3) == 0;
    const size_t hits = n / 2 + pick(static_cast<uint32_t>(n));
    for (size_t i = 0; i < hits; ++i) plan.hits.push_back({pick(static_cast<uint32_t>(n)), 1, plan.roomLayer && pick(2) == 0});
    return plan;
}

// Libraries of six to eleven groups and band lists without centres: random
// edits (drags, Add and Delete dynamic, emptied groups, renames) saved on
// both roads.
TEST(SaveRoundTrip, ManyGroupsAndBandListsWithoutCentresOnBothRoads) {
    for (uint32_t seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed * 7919);
        LibraryPlan plan = manyGroupsLibrary(rng, seed);
        if (seed % 4 == 0) {
            // Few groups, no centres: the edges alone say where the splits are.
            plan = randomLibrary(rng, seed);
            plan.centres = false;
        }
        vt6::test::TempDir dir;
        const std::string source = writeLibrary(plan, dir.path("library.zem"));
        for (Road road : {Road::shell, Road::own}) {
            ZemEditViewModel vm;
            openLibrary(vm, source);
            if (HasFatalFailure()) return;
            // Opened at the stored edges.
            EXPECT_EQ(vm.document.velocitySplits, plan.splits);
            randomEdits(vm, seed);
            typeMadeUpLookingName(vm.document, seed);
            expectSavedAsShown(road, vm, dir.path(road == Road::shell ? "shell.zem" : "own.zem"));
            if (HasFatalFailure()) return;
        }
    }
}

// The examples of six groups and more where a split the user did not touch
// used to move, on both roads.
TEST(SaveRoundTrip, UntouchedSplitsStayWithManyGroups) {
    struct Case {
        const char* what;
        std::vector<int32_t> splits;
        std::function<void(EditDocument&)> edit;
        std::vector<int32_t> after;
    };
    const std::vector<Case> cases{
        {"bottom group emptied", {17, 38, 60, 97, 112},
         [](EditDocument& d) { ASSERT_TRUE(removeUids(d, liveUids(d, 0))); }, {38, 60, 97, 112}},
        {"78 dragged to 48", {47, 78, 86, 97},
         [](EditDocument& d) {
             d.dragBoundary = 1;
             d.dragSplits = d.velocitySplits;
             d.dragSplits[1] = 48;
             ASSERT_TRUE(d.commitBounds());
         },
         {47, 48, 86, 97}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (Road road : {Road::shell, Road::own}) {
            vt6::test::TempDir dir;
            std::vector<uint64_t> ids;
            for (size_t k = 0; k <= c.splits.size(); ++k) ids.push_back(k + 1);
            const std::string source = writeLibrary(oneHitPerBand(c.splits, ids), dir.path("library.zem"));
            ZemEditViewModel vm;
            openLibrary(vm, source);
            c.edit(vm.document);
            expectSavedAsShown(road, vm, dir.path("saved.zem"));
            EXPECT_EQ(vm.document.velocitySplits, c.after) << roadName(road);
        }
    }
}

// A legacy kit as the conversion makes it: its dynamics listed in the
// legacy file's order (loudest first, or any order), so that band ids are
// not in velocity order. Sample names end in " Direct" as the edits expect.
std::string writeLegacyKit(std::mt19937& rng, const std::string& path) {
    auto pick = [&](uint32_t n) { return n == 0 ? 0u : static_cast<uint32_t>(rng() % n); };
    zem::testing::BuilderFile f;
    f.version = 2 + static_cast<int>(pick(5));
    f.instrumentName = "Legacy Kit";
    std::vector<float> levels{0.1f, 0.2f, 0.3f, 0.45f, 0.6f, 0.8f, 0.95f};
    std::shuffle(levels.begin(), levels.end(), rng);
    levels.resize(2 + pick(4));
    if (pick(2) == 0) std::sort(levels.begin(), levels.end(), std::greater<>());  // loudest first
    f.dynamics = levels;
    f.articulationNames[0] = "Center";
    const size_t hits = 3 + pick(6);
    for (size_t i = 0; i < hits; ++i) {
        zem::testing::BuilderSample s;
        s.name = "Hit " + std::to_string(i) + " Direct";
        s.length = 8 + static_cast<int32_t>(pick(24));
        s.articulation = 1;
        s.dynamicPart = static_cast<int16_t>(1 + pick(static_cast<uint32_t>(levels.size())));
        s.headerImpulse = static_cast<int16_t>(2000 + pick(20000));
        f.samples.push_back(s);
    }
    const zem::testing::TempFile file(zem::testing::buildLegacyFile(f));
    std::filesystem::copy_file(file.path(), path);
    return path;
}

// Converted legacy kits whose band ids are not in velocity order: the grid
// shows the loudest dynamic on top, and after random edits every sample
// plays in the file the range the editor showed, on both roads.
TEST(SaveRoundTrip, ConvertedLegacyKitsOnBothRoads) {
    for (uint32_t seed = 1; seed <= 24; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed * 104729);
        vt6::test::TempDir dir;
        const std::string legacy = writeLegacyKit(rng, dir.path("kit.zem"));
        auto imported = zem::importLegacyFile(legacy, zem::LegacyImportOptions{});
        ASSERT_TRUE(imported.ok()) << imported.message();
        const auto model = std::make_shared<const fmt::Zem6Model>(imported->model);
        for (Road road : {Road::shell, Road::own}) {
            ZemEditViewModel vm;
            ASSERT_TRUE(vm.openLegacy(model, legacy)) << vm.status.text;
            // Each row in its dynamic, the dynamics softest first.
            std::map<uint64_t, double> centreOfId;
            for (const fmt::BandDef& band : model->metadata.dynamics) {
                centreOfId[band.id] = fmt::readBandCenter(band).value_or(-1.0);
            }
            double previous = -1.0;
            for (const logic::EditBand& band : vm.document.bands) {
                ASSERT_TRUE(band.sourceEntry.has_value());
                EXPECT_GT(centreOfId.at(band.sourceEntry->id), previous);
                previous = centreOfId.at(band.sourceEntry->id);
            }
            for (const fmt::SmplEntry& row : model->samples) {
                const logic::EditSample* s = vm.document.sampleByUid(row.uid);
                ASSERT_NE(s, nullptr);
                const logic::EditBand* band = vm.document.bandById(s->bandId);
                ASSERT_TRUE(band != nullptr && band->sourceEntry.has_value());
                EXPECT_EQ(band->sourceEntry->id, row.band.value_or(1)) << "uid " << row.uid;
            }
            randomEdits(vm, seed);
            typeMadeUpLookingName(vm.document, seed);
            expectSavedAsShown(road, vm, dir.path(road == Road::shell ? "shell.zem" : "own.zem"));
            if (HasFatalFailure()) return;
        }
    }
}

} // namespace
} // namespace vt6::maker
