// Saving through composition: a file is opened into a document, edited,
// composed and checked, written, and opened again.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "editor/logic/band_layout.hpp"
#include "editor/logic/compose.hpp"
#include "editor/logic/compose_fixture.hpp"
#include "editor/logic/data_source.hpp"
#include "editor/logic/group_definitions.hpp"
#include "format/read_policy.hpp"
#include "format/writer.hpp"
#include "support/temp_dir.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::SmplEntry;
using fmt::StagedPayload;
using fmt::Zem6Model;
using vt6::test::TempDir;

// What the editor shows of one sample.
struct ShownSample {
    std::string name;
    uint64_t layerKey = 0;
    std::string layerName;
    uint64_t articulationKey = 0;
    std::string articulationName;
    std::string bandName;
    uint8_t muted = 0;
    uint8_t soloed = 0;
    uint8_t sortLock = 0;
    uint64_t sampleRate = 0, bits = 0, channels = 0, frames = 0, regionStart = 0, regionEnd = 0;
    fmt::Digest128 plainHash{};
    uint8_t plainHashPresent = 0;
    double key13Value = 0.0;
    HitLevel hitLevel;

    bool operator==(const ShownSample&) const = default;
};

struct ShownDocument {
    uint8_t drumType = 0;
    std::map<uint64_t, ShownSample> samples;
    std::vector<std::string> usedBands;  // names of the bands holding samples, in order

    bool operator==(const ShownDocument&) const = default;
};

void PrintTo(const ShownDocument& d, std::ostream* os) {
    *os << "drum " << int(d.drumType) << ", " << d.samples.size() << " samples, bands";
    for (const auto& b : d.usedBands) *os << " [" << b << "]";
    for (const auto& [uid, s] : d.samples) {
        *os << "\n  " << uid << " '" << s.name << "' layer " << s.layerKey << " art " << s.articulationKey << " band '"
            << s.bandName << "' frames " << s.frames;
    }
}

ShownDocument shown(const EditDocument& doc) {
    ShownDocument out;
    out.drumType = doc.drumType;
    std::vector<uint8_t> used(doc.bands.size(), 0);
    for (const auto& [uid, index] : doc.uidIndex) {
        const EditSample& s = doc.samples[static_cast<size_t>(index)];
        ShownSample v;
        v.name = s.name;
        const EditDef& layer = doc.layers.at(static_cast<size_t>(s.layerIndex));
        const EditDef& art = doc.articulations.at(static_cast<size_t>(s.articulationIndex));
        v.layerKey = layer.key;
        v.layerName = layer.name;
        v.articulationKey = art.key;
        v.articulationName = art.name;
        const int32_t band = doc.bandIndexOf(s.bandId);
        if (band >= 0) {
            v.bandName = doc.bands[static_cast<size_t>(band)].name;
            used[static_cast<size_t>(band)] = 1;
        }
        v.muted = s.muted;
        v.soloed = s.soloed;
        v.sortLock = s.sortLock;
        v.sampleRate = s.sampleRate;
        v.bits = s.bits;
        v.channels = s.channels;
        v.frames = s.frames;
        v.regionStart = s.regionStart;
        v.regionEnd = s.regionEnd;
        v.plainHash = s.plainHash;
        v.plainHashPresent = s.plainHashPresent;
        v.key13Value = s.key13Value;
        v.hitLevel = s.hitLevel;
        out.samples.emplace(uid, v);
    }
    for (size_t i = 0; i < doc.bands.size(); ++i) {
        if (used[i] != 0) out.usedBands.push_back(doc.bands[i].name);
    }
    return out;
}

// A file on disk and the payloads it was written with.
struct StoredFile {
    std::string path;
    std::vector<StagedPayload> payloads;
    fmt::WriteOptions options;
};

std::vector<StagedPayload> fakePayloads(const Zem6Model& m) {
    std::vector<StagedPayload> out;
    for (const SmplEntry& e : m.samples) {
        out.push_back(StagedPayload{e.audi_uid, fmt::kTagAUDI, fmt::Bytes(80, static_cast<uint8_t>(e.uid))});
        if (e.audt_uid) out.push_back(StagedPayload{*e.audt_uid, fmt::kTagAUDT, fmt::Bytes(48, 0x5A)});
    }
    return out;
}

StoredFile writerMade(const TempDir& dir) {
    const Zem6Model m = test::kitModel();
    StoredFile f{dir.path("writer.zem"), fakePayloads(m), {}};
    const auto written = fmt::writeZem6File(f.path, m, f.payloads, f.options);
    EXPECT_TRUE(written.ok()) << written.message();
    return f;
}

StoredFile importerMade(const TempDir& dir, int version) {
    const zem::testing::TempFile legacy(zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(version)));
    zem::LegacyImportOptions options;
    options.buildPayloads = true;
    auto imported = zem::importLegacyFile(legacy.path(), options);
    EXPECT_TRUE(imported.ok()) << imported.message();
    if (!imported.ok()) return {};
    StoredFile f{dir.path("imported" + std::to_string(version) + ".zem"), imported->payloads, {}};
    f.options.legacyOrigin = true;
    const auto written = fmt::writeZem6File(f.path, imported->model, f.payloads, f.options);
    EXPECT_TRUE(written.ok()) << written.message();
    return f;
}

// The payloads for a composed model: stored ones for audio the document
// kept, a new one for added or edited audio.
std::vector<StagedPayload> payloadsFor(const Zem6Model& m, const EditDocument& doc,
                                       const std::vector<StagedPayload>& stored) {
    std::map<std::pair<uint32_t, uint64_t>, const StagedPayload*> byKey;
    for (const StagedPayload& p : stored) byKey[{p.tag, p.uid}] = &p;
    std::vector<StagedPayload> out;
    for (const SmplEntry& row : m.samples) {
        const EditSample* s = doc.sampleByUid(row.uid);
        const auto audi = byKey.find({fmt::kTagAUDI, row.audi_uid});
        const bool fresh = s == nullptr || s->audioRevision != s->savedAudioRevision || audi == byKey.end();
        out.push_back(fresh ? StagedPayload{row.audi_uid, fmt::kTagAUDI, fmt::Bytes(96, 0x77)} : *audi->second);
        if (row.audt_uid) out.push_back(*byKey.at({fmt::kTagAUDT, *row.audt_uid}));
    }
    return out;
}

struct Edit {
    const char* name;
    std::function<void(EditDocument&)> apply;
};

uint64_t firstUid(const EditDocument& doc) {
    for (const EditSample& s : doc.samples) {
        if (doc.uidIndex.contains(s.uid)) return s.uid;
    }
    return 0;
}

const std::vector<Edit>& edits() {
    static const std::vector<Edit> list{
        {"no edit", [](EditDocument&) {}},
        {"delete a sample", [](EditDocument& d) { test::removeSample(d, firstUid(d)); }},
        {"add a sample", [](EditDocument& d) { test::addSample(d, "Added Kick", 0, 0, 0); }},
        {"edit a sample's audio", [](EditDocument& d) { test::replaceAudio(d, firstUid(d)); }},
        {"move a sample to the last group",
         [](EditDocument& d) {
             const uint64_t uid = firstUid(d);
             d.moveSamples(std::span<const uint64_t>(&uid, 1), static_cast<int32_t>(d.bands.size()) - 1);
         }},
        {"mute one, solo and lock another",
         [](EditDocument& d) {
             d.setMuted(firstUid(d), true);
             const uint64_t last = d.samples.back().uid;
             d.setSoloed(last, true);
             d.samples.back().sortLock = 1;
         }},
        {"rename and respace the groups",
         [](EditDocument& d) {
             std::vector<int32_t> splits;
             const auto n = static_cast<int32_t>(d.bands.size());
             for (int32_t i = 1; i < n; ++i) splits.push_back(i * 120 / n);
             d.setBandLayout(splits, splitsToLevelPositions(splits).positions);
             for (size_t i = 0; i < d.bands.size(); ++i) d.bands[i].name = "Group " + std::to_string(i + 1);
         }},
        {"change the drum type", [](EditDocument& d) { d.drumType = 1; }},
    };
    return list;
}

// Opens `file`, edits, composes and checks, writes beside it, reopens, and
// compares what the editor shows.
void roundTrip(const TempDir& dir, const StoredFile& file, const Edit& edit) {
    SCOPED_TRACE(edit.name);
    EditStatus status;
    auto opened = FileDataSource::open(file.path, status, fmt::ReadPolicy{});
    ASSERT_TRUE(opened.ok()) << opened.message();
    const std::unique_ptr<FileDataSource> source = std::move(opened).value();
    EditDocument doc;
    ASSERT_TRUE(doc.load(*source));
    edit.apply(doc);
    const ShownDocument before = shown(doc);

    const Zem6Model pristine = source->model();
    std::vector<std::string> unlinked;
    auto composed = composeAndCheck(doc, source->model(), &unlinked);
    ASSERT_TRUE(composed.ok()) << composed.message();
    EXPECT_EQ(source->model(), pristine);

    const std::string target = dir.path("saved.zem");
    const auto written = fmt::writeZem6File(target, *composed, payloadsFor(*composed, doc, file.payloads), file.options);
    ASSERT_TRUE(written.ok()) << written.message();

    auto reopened = FileDataSource::open(target, status, fmt::ReadPolicy{});
    ASSERT_TRUE(reopened.ok()) << reopened.message();
    EditDocument again;
    ASSERT_TRUE(again.load(**reopened));
    EXPECT_EQ(shown(again), before);
    if (again.bands.size() != doc.bands.size()) return;  // an emptied group was dropped
    // An edited layout is written as edges at the splits...
    if (doc.bandsEdited != 0) {
        const auto& written = composed->metadata.dynamics;
        for (size_t i = 0; i + 1 < written.size(); ++i) {
            EXPECT_EQ(written[i].high, doc.velocitySplits[i] / 127.0) << i;
            EXPECT_EQ(written[i + 1].low, doc.velocitySplits[i] / 127.0) << i;
        }
    }
    // ...and comes back as the same splits, also when a centre lies off the
    // 0..1 scale.
    EXPECT_EQ(again.velocitySplits, doc.velocitySplits);
}

TEST(ComposeRoundTrip, WriterMadeFile) {
    TempDir dir;
    const StoredFile file = writerMade(dir);
    for (const Edit& edit : edits()) roundTrip(dir, file, edit);
}

TEST(ComposeRoundTrip, ImporterMadeFiles) {
    TempDir dir;
    for (int version = 0; version <= 6; ++version) {
        SCOPED_TRACE("legacy layout " + std::to_string(version));
        const StoredFile file = importerMade(dir, version);
        ASSERT_FALSE(file.path.empty());
        for (const Edit& edit : edits()) roundTrip(dir, file, edit);
    }
}

// Band lists whose ids are not 1..n: loading takes the bands in ascending
// id order; saving must write the groups the editor showed.
TEST(ComposeRoundTrip, BandIdsOtherThanOneToN) {
    struct Case {
        const char* name;
        std::vector<fmt::BandDef> bands;
        std::vector<uint64_t> rowBands;  // key 5 of the five samples
        bool keptAsStored;               // a permutation of 1..n is written as it is
    };
    using test::bandDef;
    const std::vector<Case> cases{
        {"ids 1 and 3", {bandDef(1, 0, 0.5, "Low"), bandDef(3, 0.5, 1, "High")}, {1, 3, 1, 3, 2}, false},
        {"ids 1, 1 and 2",
         {bandDef(1, 0, 0.3, "First"), bandDef(1, 0.3, 0.6, "Second"), bandDef(2, 0.6, 1, "Third")},
         {1, 2, 1, 2, 2},
         false},
        {"id 0 and 2", {bandDef(0, 0, 0.5, std::nullopt), bandDef(2, 0.5, 1, "Top")}, {2, 1, 2, 1, 1}, false},
        {"ids 7, 8 and 9",
         {bandDef(7, 0, 0.3, "Low"), bandDef(8, 0.3, 0.6, "Mid"), bandDef(9, 0.6, 1, "High")},
         {7, 8, 9, 7, 8},
         false},
        {"ids 2 and 1", {bandDef(2, 0.5, 1, "Top"), bandDef(1, 0, 0.5, "Bottom")}, {1, 2, 1, 2, 2}, true},
        {"ids 3, 1, 2",
         {bandDef(3, 0.6, 1, "C"), bandDef(1, 0, 0.3, "A"), bandDef(2, 0.3, 0.6, "B")},
         {3, 1, 2, 3, 1},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Zem6Model m = test::kitModel();
        m.metadata.dynamics = c.bands;
        for (size_t i = 0; i < m.samples.size(); ++i) m.samples[i].band = c.rowBands[i];
        m.summary.present = false;
        StoredFile file{dir.path("odd.zem"), fakePayloads(m), {}};
        ASSERT_TRUE(fmt::writeZem6File(file.path, m, file.payloads).ok());

        EditStatus status;
        auto opened = FileDataSource::open(file.path, status, fmt::ReadPolicy{});
        ASSERT_TRUE(opened.ok()) << opened.message();
        EditDocument doc;
        ASSERT_TRUE(doc.load(**opened));

        const auto plain = composeModel(doc, (*opened)->model(), true, nullptr);
        ASSERT_TRUE(plain.ok());
        EXPECT_EQ(plain->metadata.dynamics == c.bands, c.keptAsStored);

        for (const Edit& edit : {edits()[0], edits()[4]}) roundTrip(dir, file, edit);
    }
}

// Composes and checks `doc` against the model it was opened from, writes it
// to `target` and opens the written file into `out`.
void saveAndReopen(const EditDocument& doc, const FileDataSource& from, const StoredFile& file,
                   const std::string& target, std::unique_ptr<FileDataSource>& reopened, EditDocument& out) {
    auto composed = composeAndCheck(doc, from.model(), nullptr);
    ASSERT_TRUE(composed.ok()) << composed.message();
    const auto written = fmt::writeZem6File(target, *composed, payloadsFor(*composed, doc, file.payloads), file.options);
    ASSERT_TRUE(written.ok()) << written.message();
    EditStatus status;
    auto opened = FileDataSource::open(target, status, fmt::ReadPolicy{});
    ASSERT_TRUE(opened.ok()) << opened.message();
    reopened = std::move(opened).value();
    ASSERT_TRUE(out.load(*reopened));
}

// Every layout the band grid can save comes back as the same splits, also
// when its centres fall off the 0..1 scale ({1, 2, 125, 126} has no exact
// positions and takes the conversion's own splits); and a later save of the
// reopened document (a band renamed) writes the same edges again.
TEST(ComposeRoundTrip, BandLayoutsComeBackAsTheirSplits) {
    const std::vector<std::vector<int32_t>> layouts{
        {60}, {1}, {126}, {63}, {64}, {40, 90}, {1, 126}, {1, 2}, {125, 126},
        {34, 68, 100}, {1, 2, 3}, {10, 120, 121}, {17, 34, 68, 100}, {1, 2, 125, 126}, {5, 60, 61, 122},
    };
    for (const std::vector<int32_t>& proposed : layouts) {
        std::string label = "splits";
        for (int32_t v : proposed) label += " " + std::to_string(v);
        SCOPED_TRACE(label);
        TempDir dir;
        // One band per split and one more, evenly spread, each holding a sample
        // so that the check before writing keeps them all.
        Zem6Model m = test::kitModel();
        const size_t n = proposed.size() + 1;
        ASSERT_LE(n, m.samples.size());
        m.metadata.dynamics.clear();
        for (size_t k = 0; k < n; ++k) {
            m.metadata.dynamics.push_back(test::bandDef(k + 1, double(k) / double(n), double(k + 1) / double(n),
                                                        "Band " + std::to_string(k + 1)));
        }
        for (size_t i = 0; i < m.samples.size(); ++i) m.samples[i].band = i % n + 1;
        m.summary.present = false;
        StoredFile file{dir.path("layout.zem"), fakePayloads(m), {}};
        ASSERT_TRUE(fmt::writeZem6File(file.path, m, file.payloads).ok());

        EditStatus status;
        auto opened = FileDataSource::open(file.path, status, fmt::ReadPolicy{});
        ASSERT_TRUE(opened.ok()) << opened.message();
        EditDocument doc;
        ASSERT_TRUE(doc.load(**opened));
        // As the band grid sets a layout: with the conversion's own splits
        // when no positions reproduce the proposed ones.
        const BandLayout layout = splitsToLevelPositions(proposed);
        const std::vector<int32_t> splits = layout.exact != 0 ? proposed : layout.splits;
        doc.setBandLayout(splits, layout.positions);

        std::unique_ptr<FileDataSource> first;
        EditDocument again;
        saveAndReopen(doc, **opened, file, dir.path("saved.zem"), first, again);
        if (HasFatalFailure()) return;
        EXPECT_EQ(again.velocitySplits, splits);
        EXPECT_EQ(again.levelPositions, doc.levelPositions);

        again.bands[0].name = "Renamed";
        again.bandsEdited = 1;
        std::unique_ptr<FileDataSource> second;
        EditDocument third;
        saveAndReopen(again, *first, file, dir.path("saved again.zem"), second, third);
        if (HasFatalFailure()) return;
        const auto& edges = second->model().metadata.dynamics;
        ASSERT_EQ(edges.size(), n);
        for (size_t i = 0; i < splits.size(); ++i) {
            EXPECT_EQ(edges[i].high, splits[i] / 127.0) << i;
            EXPECT_EQ(edges[i + 1].low, splits[i] / 127.0) << i;
        }
        EXPECT_EQ(third.velocitySplits, splits);
    }
}

// Repeated layer or articulation ids load (the first definition wins for
// the samples) but the check before writing refuses them.
TEST(ComposeRoundTrip, RepeatedDefinitionIdsAreRefused) {
    struct Case {
        const char* name;
        std::function<void(Zem6Model&)> change;
    };
    const std::vector<Case> cases{
        {"layer id twice", [](Zem6Model& m) { m.metadata.layers.push_back(test::layerEntry(2, "Room A again", 1)); }},
        {"articulation id twice",
         [](Zem6Model& m) { m.metadata.articulations.push_back(m.metadata.articulations[1]); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Zem6Model m = test::kitModel();
        c.change(m);
        test::Opened o(m);
        const auto r = composeAndCheck(o.doc, o.source, nullptr);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), fmt::ErrorCode::ModelInvalid);
        EXPECT_EQ(r.message(), "duplicate or missing group definition");
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic
