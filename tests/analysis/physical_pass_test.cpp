#include "analysis/physical_pass.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "analysis/physical_payload.hpp"
#include "analysis/physical_records.hpp"
#include "audio/sample_file_builder.hpp"
#include "format/reader.hpp"
#include "platform/replace_file.hpp"
#include "support/temp_dir.hpp"

namespace vt6::fmt {
namespace {

// A drum-like hit: silence, a sharp attack and a decaying tone with noise.
std::vector<float> drumHit(size_t n, uint32_t rate, double hz, unsigned seed) {
    std::vector<float> x(n, 0.0f);
    uint32_t state = seed * 2654435761u + 1;
    const size_t start = n / 20;
    for (size_t i = start; i < n; ++i) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(static_cast<int32_t>(state)) / 2147483648.0;
        const double t = static_cast<double>(i - start) / rate;
        x[i] = static_cast<float>(0.7 * std::exp(-12.0 * t) * (std::sin(2 * M_PI * hz * t) + 0.3 * noise));
    }
    return x;
}

SmplEntry row(uint64_t uid, std::optional<uint64_t> articulation, std::optional<uint64_t> band = std::nullopt) {
    SmplEntry r;
    r.uid = uid;
    r.audi_uid = uid + 1000;
    r.articulation = articulation;
    r.band = band;
    return r;
}

// A callback over fixed audio per row index that records the indexes asked for.
struct FakeAudio {
    explicit FakeAudio(std::map<size_t, Pa6> given = {}) : audio(std::move(given)) {}

    std::map<size_t, Pa6> audio;
    std::mutex mutex;
    std::vector<size_t> asked;

    Fn fn() {
        return [this](size_t index) -> Result<Pa6> {
            {
                std::lock_guard<std::mutex> lock(mutex);
                asked.push_back(index);
            }
            auto it = audio.find(index);
            return it != audio.end() ? it->second : Pa6{};
        };
    }
};

// Every row has the same short hit; each articulation's entry names the uids used.
Zem6Model modelOf(std::vector<SmplEntry> rows) {
    Zem6Model m;
    m.samples = std::move(rows);
    return m;
}

std::map<size_t, Pa6> hitsForAll(const Zem6Model& m, size_t frames = 8000) {
    std::map<size_t, Pa6> a;
    for (size_t i = 0; i < m.samples.size(); ++i) a[i] = Pa6(drumHit(frames, 44100, 150 + 10.0 * i, static_cast<unsigned>(i + 1)), 44100);
    return a;
}

TEST(PhysicalPass, PoolSize) {
    struct Case {
        unsigned hw;
        size_t articulations;
        unsigned threads;
    };
    for (const Case c : {Case{0, 10, 1}, Case{2, 10, 1}, Case{8, 10, 2}, Case{12, 10, 4}, Case{64, 10, 4},
                         Case{64, 2, 2}, Case{64, 0, 1}}) {
        EXPECT_EQ(physicalAnalysisPoolSize(c.hw, c.articulations), c.threads) << c.hw << " " << c.articulations;
    }
}

TEST(PhysicalPass, CandidatesAndPicks) {
    LayerDef room;
    room.id = 5;
    room.slot = 2;
    LayerDef custom;
    custom.id = 6;
    custom.slot = 4;
    LayerDef directThenRoom;
    directThenRoom.id = 8;
    LayerDef roomLast = directThenRoom;
    roomLast.slot = 1;

    auto muted = row(2, 1);
    muted.muted = true;
    auto unmuted = row(3, 1);
    unmuted.muted = false;
    auto linked = row(4, 1);
    linked.room_owner_uid = 0;
    auto onRoom = row(5, 1);
    onRoom.layer = 5;
    auto onCustom = row(6, 1);
    onCustom.layer = 6;
    auto onLayer2 = row(7, 1);
    onLayer2.layer = 2;
    auto onLayer1 = row(8, 1);
    onLayer1.layer = 1;
    auto onRoomLast = row(9, 1);
    onRoomLast.layer = 8;

    struct Case {
        const char* what;
        std::vector<SmplEntry> rows;
        std::vector<uint64_t> uids;
    };
    const std::vector<Case> cases = {
        {"muted is left out, muted false is not", {muted, unmuted}, {3}},
        {"room link, even to uid 0", {linked}, {}},
        {"Room B layer", {onRoom}, {}},
        {"custom slot counts as direct", {onCustom}, {6}},
        {"layer 2 without an entry", {onLayer2}, {}},
        {"layer 1 without an entry", {onLayer1}, {8}},
        {"the last entry of an id decides", {onRoomLast}, {}},
        {"groups 1, 2, 4, 7: group 4",
         {row(20, 1, 1), row(21, 1, 2), row(22, 1, 7), row(23, 1, 4), row(24, 1, 4)},
         {23}},
        {"groups 1 and 3: group 3", {row(30, 1, 1), row(31, 1, 3)}, {31}},
        {"absent group is group 1", {row(40, 1), row(41, 1, 0)}, {40}},
    };
    for (const Case& c : cases) {
        Zem6Model m = modelOf(c.rows);
        m.metadata.layers = {room, custom, directThenRoom, roomLast};
        FakeAudio a(hitsForAll(m));
        const auto entries = analyzePhysicalModels(m, kDrumSnare, a.fn(), 1);
        ASSERT_TRUE(entries.ok()) << c.what << ": " << entries.message();
        ASSERT_EQ(entries->size(), 1u) << c.what;
        EXPECT_EQ((*entries)[0].sampleUids, c.uids) << c.what;
        EXPECT_EQ((*entries)[0].kind, c.uids.empty() ? 2 : 0) << c.what;
        EXPECT_EQ((*entries)[0].payload.empty(), c.uids.empty()) << c.what;
    }
}

TEST(PhysicalPass, PicksByTakeThenUid) {
    struct Case {
        std::vector<uint64_t> takes;  // uids 10, 11, ... in row order
        std::vector<uint64_t> picked;
    };
    const std::vector<Case> cases = {
        {{5, 0, 5, 1, 0, 2}, {11, 13}},
        {{0}, {10}},
        {{3, 1}, {11}},
        {{0, 0, 0}, {10, 11}},
        {{0, 0, 0, 0, 0}, {10, 11}},
        {{0, 0, 0, 0, 0, 0, 0, 0}, {10, 12}},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0}, {10, 13}},
        {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {10, 13}},
    };
    for (const Case& c : cases) {
        std::vector<SmplEntry> rows;
        for (size_t i = 0; i < c.takes.size(); ++i) {
            rows.push_back(row(10 + i, 4));
            rows.back().take = c.takes[i];
        }
        Zem6Model m = modelOf(rows);
        FakeAudio a(hitsForAll(m, 3000));
        const auto entries = analyzePhysicalModels(m, kDrumKick, a.fn(), 1);
        ASSERT_TRUE(entries.ok()) << entries.message();
        EXPECT_EQ((*entries)[0].sampleUids, c.picked) << c.takes.size();
        const std::vector<uint8_t>& payload = (*entries)[0].payload;
        ASSERT_GE(payload.size(), 16u);
        EXPECT_EQ(payload[7], c.picked.size());
        EXPECT_EQ(payload[6], 0);  // kick
    }
}

TEST(PhysicalPass, PicksThatGiveNoInput) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> damaged = drumHit(8000, 44100, 200, 4);
    damaged[4000] = nan;
    std::vector<float> infinite = drumHit(8000, 44100, 200, 4);
    infinite[10] = -std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        std::vector<Pa6> audio;  // for uids 1, 2, 3 (picks 1 and 2)
        std::vector<uint64_t> uids;
    };
    const std::vector<Case> cases = {
        {"both usable", {Pa6(drumHit(8000, 44100, 200, 1), 44100), Pa6(drumHit(8000, 44100, 300, 2), 44100), {}}, {1, 2}},
        {"first too short after preparation",
         {Pa6(drumHit(900, 44100, 200, 1), 44100), Pa6(drumHit(8000, 48000, 300, 2), 48000), {}},
         {2}},
        {"first unreadable (empty)", {Pa6{}, Pa6(drumHit(8000, 44100, 300, 2), 44100), {}}, {2}},
        {"a NaN value drops the pick", {Pa6(damaged, 44100), Pa6(drumHit(8000, 44100, 300, 2), 44100), {}}, {2}},
        {"an infinite value drops the pick", {Pa6(drumHit(8000, 44100, 300, 2), 44100), Pa6(infinite, 44100), {}}, {1}},
        {"nothing usable", {Pa6{}, Pa6(damaged, 44100), {}}, {}},
    };
    for (const Case& c : cases) {
        Zem6Model m = modelOf({row(1, 9), row(2, 9), row(3, 9)});
        FakeAudio a;
        for (size_t i = 0; i < c.audio.size(); ++i) a.audio[i] = c.audio[i];
        const auto entries = analyzePhysicalModels(m, kDrumTom, a.fn(), 1);
        ASSERT_TRUE(entries.ok()) << c.what << ": " << entries.message();
        const PhysicalModelEntry& e = (*entries)[0];
        EXPECT_EQ(e.articulationId, 9u);
        EXPECT_EQ(e.sampleUids, c.uids) << c.what;
        EXPECT_EQ(e.kind, c.uids.empty() ? 2 : 0) << c.what;
        if (!c.uids.empty()) {
            const PhysicalModel parsed = parsePhysicalModel(e.payload);
            EXPECT_EQ(parsed.inputs.size(), c.uids.size()) << c.what;
            EXPECT_EQ(parsed.classCode, 2) << c.what;  // tom
        }
        EXPECT_EQ(a.asked, (std::vector<size_t>{0, 1})) << c.what;
    }
}

TEST(PhysicalPass, AnalysisFailures) {
    struct Case {
        const char* what;
        Zem6Model model;
        Fn audio;
        ErrorCode code;
        std::string text;
    };
    std::vector<SmplEntry> many;
    for (uint64_t i = 0; i < 1025; ++i) many.push_back(row(i + 1, i));
    std::vector<SmplEntry> most(many.begin(), many.end() - 1);
    const Fn failing = [](size_t) -> Result<Pa6> { return fail(ErrorCode::ChunkCrcMismatch, "bad chunk"); };
    const Fn slow = [](size_t) -> Result<Pa6> { return Pa6(drumHit(8000, 500, 100, 1), 500); };
    const Fn silent = [](size_t) -> Result<Pa6> { return Pa6{}; };
    const std::vector<Case> cases = {
        {"no rows", modelOf({}), silent, ErrorCode::ModelInvalid, "E8250"},
        {"1025 articulations", modelOf(many), silent, ErrorCode::ModelInvalid, "E8250"},
        {"1024 articulations", modelOf(most), silent, ErrorCode::ReadIo, "ok"},
        {"callback fails", modelOf({row(1, 2)}), failing, ErrorCode::ChunkCrcMismatch, "bad chunk"},
        {"rate refused", modelOf({row(1, 2)}), slow, ErrorCode::ModelInvalid, "analysis sample rate outside 1000..384000"},
        {"empty callback", modelOf({row(1, 2)}), Fn{}, ErrorCode::ModelInvalid, "bad_function_call"},
    };
    for (const Case& c : cases) {
        for (const unsigned threads : {1u, 3u}) {
            const auto r = analyzePhysicalModels(c.model, kDrumSnare, c.audio, threads);
            EXPECT_EQ(r.ok() ? std::string("ok") : r.message(), c.text) << c.what << " threads " << threads;
            if (!r.ok()) {
                EXPECT_EQ(r.code(), c.code) << c.what;
            }
        }
    }
}

TEST(PhysicalPass, FirstFailingArticulationDecidesWhateverThePool) {
    std::vector<SmplEntry> rows;
    for (uint64_t i = 0; i < 12; ++i) rows.push_back(row(i + 1, 100 - i));
    const Zem6Model m = modelOf(rows);
    // Articulations 89 (row 11) and 95 (row 5) fail; 89 comes first in order.
    const Fn audio = [](size_t index) -> Result<Pa6> {
        if (index == 11) return fail(ErrorCode::FlacError, "row 11");
        if (index == 5) return fail(ErrorCode::ReadIo, "row 5");
        return Pa6{};
    };
    for (const unsigned threads : {1u, 2u, 4u}) {
        const auto r = analyzePhysicalModels(m, kDrumKick, audio, threads);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.message(), "row 11") << threads;
        EXPECT_EQ(r.code(), ErrorCode::FlacError) << threads;
    }
}

TEST(PhysicalPass, PoolGivesTheSameEntries) {
    std::vector<SmplEntry> rows;
    for (uint64_t i = 0; i < 10; ++i) rows.push_back(row(i + 1, i % 5, 1 + i / 5));
    rows.push_back(row(50, std::nullopt));
    const Zem6Model m = modelOf(rows);
    FakeAudio a(hitsForAll(m, 6000));
    const auto one = analyzePhysicalModels(m, kDrumCymbal, a.fn(), 1);
    const auto four = analyzePhysicalModels(m, kDrumCymbal, a.fn(), 4);
    ASSERT_TRUE(one.ok()) << one.message();
    ASSERT_TRUE(four.ok()) << four.message();
    EXPECT_TRUE(*one == *four);
    ASSERT_EQ(one->size(), 5u);
    for (size_t i = 0; i < one->size(); ++i) EXPECT_EQ((*one)[i].articulationId, i);
    // Articulation 0: group 1 holds uids 1 and 50, group 2 uid 6; the upper middle group is 2.
    EXPECT_EQ((*one)[0].sampleUids, (std::vector<uint64_t>{6}));
}

TEST(PhysicalPass, ApplyStoresChunkMarkerAndSummary) {
    Zem6Model m = modelOf({row(1, 3, 2), row(2, 7), row(3, 3, 2)});
    m.samples[0].frames = 100;
    m.samples[0].sample_rate = 48000;
    m.samples[0].bits = 24;
    m.samples[0].channels = 2;
    m.samples[1].frames = 50;
    m.samples[1].sample_rate = 44100;
    m.samples[1].layer = 4;
    m.samples[2].sample_rate = 48000;
    ExtraChunk other;
    other.tag = makeTag("XTRA");
    other.length = 1;
    other.bytes = {9};
    ExtraChunk stale;
    stale.tag = kTagPHDM;
    stale.length = 2;
    stale.bytes = {1, 2};
    m.extraChunks = {stale, other, stale};
    m.metadata.extensions = {ExtensionPair{3, {0x01}}, ExtensionPair{kPhysicalModelMtadKey, {0x82, 0x01, 0x09}},
                             ExtensionPair{40, {0x02}}};
    m.summary.present = false;
    m.summary.thumbnail = Bytes(256, 7);

    const std::vector<PhysicalModelEntry> entries = {PhysicalModelEntry{3, 2, {}, {}}, PhysicalModelEntry{7, 2, {}, {}}};
    ASSERT_TRUE(applyPhysicalModels(m, entries).ok());
    ASSERT_EQ(m.extraChunks.size(), 2u);
    EXPECT_EQ(m.extraChunks[0], other);
    const ExtraChunk& phdm = m.extraChunks[1];
    EXPECT_EQ(phdm.tag, kTagPHDM);
    EXPECT_EQ(phdm.flags, 0u);
    EXPECT_EQ(phdm.uid, 0u);
    EXPECT_TRUE(phdm.afterAudio);
    EXPECT_EQ(phdm.length, phdm.bytes.size());
    EXPECT_EQ(phdm.bytes, *encodePhysicalModelSet(entries));
    ASSERT_EQ(m.metadata.extensions.size(), 3u);
    EXPECT_EQ(m.metadata.extensions[1].key, kPhysicalModelMtadKey);
    EXPECT_EQ(m.metadata.extensions[1].bytes, (Bytes{0x82, 0x01, 0x02}));

    const Summary& s = m.summary;
    EXPECT_TRUE(s.present);
    EXPECT_EQ(s.sample_count, 3u);
    EXPECT_EQ(s.total_frames, 150u);
    // The row without a group counts under group 0 here.
    EXPECT_EQ(s.band_histogram, (std::vector<HistogramEntry>{{0, 1}, {2, 2}}));
    EXPECT_EQ(s.articulation_histogram, (std::vector<HistogramEntry>{{3, 2}, {7, 1}}));
    EXPECT_EQ(s.layer_histogram, (std::vector<HistogramEntry>{{0, 2}, {4, 1}}));
    EXPECT_EQ(s.sample_rates, (std::vector<uint64_t>{44100, 48000}));
    EXPECT_EQ(s.bit_depths, (std::vector<uint64_t>{24}));
    EXPECT_EQ(s.channel_counts, (std::vector<uint64_t>{2}));
    EXPECT_EQ(s.thumbnail, Bytes(256, 7));

    // Without a key 16 pair one is added.
    m.metadata.extensions.clear();
    ASSERT_TRUE(applyPhysicalModels(m, std::vector<PhysicalModelEntry>{PhysicalModelEntry{3, 2, {}, {}}}).ok());
    EXPECT_EQ(m.metadata.extensions, (ExtensionList{ExtensionPair{16, {0x82, 0x01, 0x01}}}));

    // A failed encoding leaves the model as it was.
    const Zem6Model before = m;
    const auto refused = applyPhysicalModels(m, std::vector<PhysicalModelEntry>{PhysicalModelEntry{3, 0, {}, {}}});
    EXPECT_EQ(refused.message(), "E8232");
    EXPECT_TRUE(m == before);
}

TEST(PhysicalPass, EntriesBeyondTheBlobLimitKeepNoModel) {
    PhysicalModel full;
    full.inputs.resize(2);
    const std::vector<uint8_t> payload = serializePhysicalModel(full);
    std::vector<PhysicalModelEntry> entries;
    for (uint64_t i = 0; i < 301; ++i) {
        // Entry 299 is small: it is still stored without a model, like every later one.
        if (i == 299) {
            entries.push_back(PhysicalModelEntry{i, 2, {}, {}});
            continue;
        }
        entries.push_back(PhysicalModelEntry{i, 0, {2 * i + 1, 2 * i + 2}, payload});
    }
    Zem6Model m = modelOf({row(1, 0)});
    ASSERT_TRUE(applyPhysicalModels(m, entries).ok());
    const auto infos = decodePhysicalModelSet(m.extraChunks.back().bytes);
    ASSERT_TRUE(infos.ok()) << infos.message();
    ASSERT_EQ(infos->size(), 301u);
    for (size_t i = 0; i < infos->size(); ++i) {
        EXPECT_EQ((*infos)[i].kind, i < 298 ? 0 : 2) << i;
        EXPECT_EQ((*infos)[i].sampleUids.size(), i < 298 ? 2u : 0u) << i;
    }
    EXPECT_LE(m.extraChunks.back().bytes.size(), kMaxPhysicalModelSetBytes);
    EXPECT_EQ(findExtension(m.metadata.extensions, 16)->bytes, (Bytes{0x82, 0x01, 0x19, 0x01, 0x2D}));
}

// ---- The pass over files ----

struct FileFixture {
    test::TempDir dir;
    test::SampleFileBuilder builder;

    // A 32-bit float mono sample with this audio.
    SmplEntry& add(const std::vector<float>& audio, uint32_t rate, std::optional<uint64_t> articulation) {
        test::SampleRecipe recipe;
        recipe.bits = 32;
        recipe.rate = rate;
        recipe.frames = audio.size();
        test::SampleBuild& s = builder.add(recipe);
        s.pcm.resize(audio.size() * 4);
        std::memcpy(s.pcm.data(), audio.data(), s.pcm.size());
        s.audi = test::makePart(recipe, PayloadRole::whole, 0, s.pcm);
        s.row.articulation = articulation;
        return s.row;
    }

    std::string write(const std::string& name = "kit.zem") { return builder.write(dir.path(name)); }
};

std::vector<const ExtraChunk*> phdmChunks(const Zem6Model& m) {
    std::vector<const ExtraChunk*> out;
    for (const ExtraChunk& c : m.extraChunks) {
        if (c.tag == kTagPHDM) out.push_back(&c);
    }
    return out;
}

TEST(PhysicalPassFile, FileWithoutSamplesIsLeftAlone) {
    FileFixture f;
    const std::string path = f.write();
    const Bytes before = test::TempDir::contents(path);
    ASSERT_TRUE(rewriteWithPhysicalAnalysis(path, kDrumKick).ok());
    EXPECT_EQ(test::TempDir::contents(path), before);
    EXPECT_FALSE(test::TempDir::exists(path + ".physical"));
}

TEST(PhysicalPassFile, ArticulationsGetOneChunkMarkerAndSummary) {
    FileFixture f;
    f.add(drumHit(12000, 48000, 180, 1), 48000, 7);
    f.add(drumHit(12000, 48000, 220, 2), 48000, 3);
    f.add(drumHit(9000, 44100, 260, 3), 44100, 3);
    const std::string path = f.write();

    for (int pass = 0; pass < 2; ++pass) {
        ASSERT_TRUE(rewriteWithPhysicalAnalysis(path, kDrumSnare).ok()) << pass;
        EXPECT_FALSE(test::TempDir::exists(path + ".physical"));
        auto file = openZem6File(path, ReadPolicy{});
        ASSERT_TRUE(file.ok()) << file.message();
        const std::vector<const ExtraChunk*> chunks = phdmChunks(file->model);
        ASSERT_EQ(chunks.size(), 1u) << pass;
        EXPECT_EQ(chunks[0]->flags, 0u);
        EXPECT_EQ(chunks[0]->uid, 0u);
        EXPECT_TRUE(chunks[0]->afterAudio);
        const auto infos = decodePhysicalModelSet(chunks[0]->bytes);
        ASSERT_TRUE(infos.ok()) << infos.message();
        ASSERT_EQ(infos->size(), 2u);
        EXPECT_EQ((*infos)[0].articulationId, 3u);
        EXPECT_EQ((*infos)[0].sampleUids, (std::vector<uint64_t>{4}));
        EXPECT_EQ((*infos)[0].drumType, kDrumSnare);
        EXPECT_EQ((*infos)[1].articulationId, 7u);
        EXPECT_EQ((*infos)[1].kind, 0);
        size_t markers = 0;
        for (const ExtensionPair& p : file->model.metadata.extensions) {
            if (p.key != 16) continue;
            ++markers;
            EXPECT_EQ(p.bytes, (Bytes{0x82, 0x01, 0x02}));
        }
        EXPECT_EQ(markers, 1u);
        EXPECT_TRUE(file->model.summary.present);
        EXPECT_EQ(file->model.summary.sample_count, 3u);
        EXPECT_EQ(file->model.summary.total_frames, 33000u);
        EXPECT_EQ(file->model.summary.articulation_histogram, (std::vector<HistogramEntry>{{3, 2}, {7, 1}}));
        EXPECT_EQ(file->model.samples.size(), 3u);
    }
}

TEST(PhysicalPassFile, PoolWritesTheSameFile) {
    FileFixture f;
    for (uint64_t i = 0; i < 8; ++i) f.add(drumHit(9000, 48000, 150 + 20.0 * i, static_cast<unsigned>(i + 1)), 48000, i % 5);
    const std::string one = f.write("one.zem");
    const std::string four = f.dir.path("four.zem");
    std::filesystem::copy_file(one, four);
    ASSERT_TRUE(rewriteWithPhysicalAnalysis(one, kDrumTom, 1).ok());
    ASSERT_TRUE(rewriteWithPhysicalAnalysis(four, kDrumTom, 4).ok());
    EXPECT_EQ(test::TempDir::contents(one), test::TempDir::contents(four));
}

int failingRename(const char*, const char*) {
    errno = EXDEV;
    return -1;
}

struct RenameFailure {
    RenameFailure() { platform::setRenameCallForTesting(failingRename); }
    ~RenameFailure() { platform::setRenameCallForTesting(nullptr); }
};

TEST(PhysicalPassFile, FailuresLeaveTheFileAsItWas) {
    struct Case {
        const char* what;
        std::function<std::string(FileFixture&)> prepare;  // returns the path
        ErrorCode code;
        std::string text;
        bool forceRenameFailure = false;
    };
    const std::vector<Case> cases = {
        {"not a zem file",
         [](FileFixture& f) { return f.dir.write("kit.zem", Bytes(200, 0x41)); },
         ErrorCode::BadMagic, ""},
        {"1025 articulations",
         [](FileFixture& f) {
             for (uint64_t i = 0; i < 1025; ++i) f.add(std::vector<float>(8, 0.1f), 44100, i);
             return f.write();
         },
         ErrorCode::ModelInvalid, "E8250"},
        {"rename fails",
         [](FileFixture& f) {
             f.add(drumHit(6000, 44100, 200, 1), 44100, 1);
             return f.write();
         },
         ErrorCode::WriteIo, "E8251", true},
        {"temporary file cannot be written",
         [](FileFixture& f) {
             f.add(drumHit(6000, 44100, 200, 1), 44100, 1);
             const std::string path = f.write();
             std::filesystem::create_directory(path + ".physical");
             return path;
         },
         ErrorCode::WriteIo, ""},
    };
    for (const Case& c : cases) {
        FileFixture f;
        const std::string path = c.prepare(f);
        const bool siblingBefore = test::TempDir::exists(path + ".physical");
        const Bytes before = test::TempDir::contents(path);
        Result<Unit> r = Result<Unit>();
        {
            std::optional<RenameFailure> failure;
            if (c.forceRenameFailure) failure.emplace();
            r = rewriteWithPhysicalAnalysis(path, kDrumKick);
        }
        ASSERT_FALSE(r.ok()) << c.what;
        EXPECT_EQ(r.code(), c.code) << c.what << ": " << r.message();
        if (!c.text.empty()) {
            EXPECT_EQ(r.message(), c.text) << c.what;
        }
        EXPECT_EQ(test::TempDir::contents(path), before) << c.what;
        // Only a sibling that was there before (a folder here) is left.
        EXPECT_EQ(test::TempDir::exists(path + ".physical"), siblingBefore) << c.what;
    }
}

} // namespace
} // namespace vt6::fmt
