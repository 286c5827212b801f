// Loading one sample for editing: current files in both modes (selection,
// playback regions, tails, the budget checked before decoding and cut at
// whole frames, memory failures) and legacy files of every version.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "audio/sample_file_builder.hpp"
#include "audio/sample_load.hpp"
#include "format/read_policy.hpp"
#include "platform/file.hpp"

// Allocations above this size fail while it is not 0, so that a memory
// failure can be provoked at a chosen size. The replacement pairs malloc with
// free throughout, which g++ cannot see once it inlines them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<size_t> gFailAllocationsAbove{0};
}

void* operator new(size_t size) {
    const size_t limit = gFailAllocationsAbove.load(std::memory_order_relaxed);
    if (limit != 0 && size > limit) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace vt6::fmt {
namespace {

using test::SampleFileBuilder;
using test::SampleRecipe;
using test::TempDir;

constexpr auto kRegion = SampleLoadMode::PlaybackRegion;
constexpr auto kComplete = SampleLoadMode::CompleteSource;

std::string writeFile(const TempDir& dir, const SampleFileBuilder& builder,
                      const std::function<void(Zem6Model&)>& edit = {}) {
    Zem6Model model = builder.model();
    if (edit) edit(model);
    const std::string path = dir.path("file.zem");
    const auto written = writeZem6File(path, model, builder.payloads());
    EXPECT_TRUE(written.ok()) << written.message();
    return path;
}

std::vector<float> floatsOf(const test::SampleBuild& s, uint64_t firstFrame, uint64_t frames) {
    const uint64_t width = s.frameBytes();
    const ByteView pcm(s.pcm);
    return pcmBytesToFloats(pcm.subspan(firstFrame * width, frames * width), s.desc.bits);
}

Result<SampleAudio> load(const std::string& path, int32_t position, SampleLoadMode mode,
                         uint64_t budget = kEditingBudgetBytes, int32_t key = -1) {
    return loadSampleForEdit(path, SampleSelector{key, position}, budget, mode);
}

// ---------------------------------------------------------------------------
// Current files.

TEST(LoadCurrent, StoredAudioInBothModes) {
    const SampleRecipe recipes[] = {
        {kCodecRawPcm, 16, 1, 44100, 5000, 0, 1},   {kCodecFlac, 24, 2, 48000, 9000, 2000, 2},
        {kCodecRawPcm, 32, 1, 96000, 3000, 1000, 3}, {kCodecFlac, 16, 2, 22050, 3, 0, 4},
    };
    TempDir dir;
    SampleFileBuilder builder;
    for (const SampleRecipe& desc : recipes) builder.add(desc);
    const std::string path = writeFile(dir, builder);
    for (size_t i = 0; i < builder.samples.size(); ++i) {
        const test::SampleBuild& s = builder.samples[i];
        for (const SampleLoadMode mode : {kRegion, kComplete}) {
            SCOPED_TRACE("sample " + std::to_string(i) + " mode " + std::to_string(static_cast<int>(mode)));
            auto r = load(path, static_cast<int32_t>(i + 1), mode);
            ASSERT_TRUE(r.ok()) << r.message();
            EXPECT_EQ(r->channels, s.desc.channels);
            EXPECT_EQ(r->sampleRate, static_cast<int32_t>(s.desc.rate));
            EXPECT_EQ(r->samples, floatsOf(s, 0, s.desc.frames));
        }
    }
    // A stereo 16-bit sample of 3 frames is 6 floats.
    EXPECT_EQ(load(path, 4, kComplete)->samples.size(), 6u);
}

// The container allows a sample without frames: read whole, as a save reads
// it, it is empty audio of its own geometry, also beside other samples.
TEST(LoadCurrent, ZeroFrameSampleLoadsWholeAsEmptyAudio) {
    const SampleRecipe recipes[] = {
        {kCodecRawPcm, 16, 1, 44100, 0, 0, 1},
        {kCodecRawPcm, 32, 2, 48000, 0, 0, 2},
        {kCodecRawPcm, 24, 1, 96000, 300, 0, 3},
    };
    TempDir dir;
    SampleFileBuilder builder;
    for (const SampleRecipe& desc : recipes) builder.add(desc);
    const std::string path = writeFile(dir, builder);
    auto opened = openZem6File(path, ReadPolicy{});
    ASSERT_TRUE(opened.ok()) << opened.message();
    for (size_t i = 0; i < builder.samples.size(); ++i) {
        const test::SampleBuild& s = builder.samples[i];
        SCOPED_TRACE("sample " + std::to_string(i));
        auto byPath = load(path, static_cast<int32_t>(i + 1), kComplete);
        auto byRow = loadCompleteSourceRow(opened.value(), i, kEditingBudgetBytes);
        for (const auto* r : {&byPath, &byRow}) {
            ASSERT_TRUE(r->ok()) << r->message();
            EXPECT_EQ((*r)->channels, s.desc.channels);
            EXPECT_EQ((*r)->sampleRate, static_cast<int32_t>(s.desc.rate));
            EXPECT_EQ((*r)->samples, floatsOf(s, 0, s.desc.frames));
        }
    }
}

TEST(LoadCurrent, Selection) {
    // Frame counts 100 + i tell the chosen row.
    TempDir dir;
    SampleFileBuilder builder;
    for (uint64_t i = 0; i < 5; ++i) builder.add(SampleRecipe{kCodecRawPcm, 16, 1, 48000, 100 + i, 0, 1});
    const std::string path = writeFile(dir, builder, [](Zem6Model& m) {
        LayerDef direct;
        direct.id = 1;
        direct.slot = 0;
        LayerDef roomA;
        roomA.id = 2;
        roomA.slot = 1;
        m.metadata.layers = {direct, roomA};
        m.samples[0].layer = 2;  // Room A, articulation 2
        m.samples[0].articulation = 2;
        m.samples[1].muted = true;  // no articulation
        m.samples[2].layer = 1;     // direct, no articulation
        m.samples[3].articulation = 2;
        m.samples[4].layer = 7;  // a layer without a room slot is direct
        m.samples[4].articulation = 3;
    });
    struct Case {
        int32_t key;
        int32_t position;
        int frames;  // -1: no such sample
    };
    const Case cases[] = {
        {5, 2, 101},   // position wins over the key, muted or not
        {-1, 6, -1},   // beyond the rows
        {0, 0, 102},   // key 0 matches rows without an articulation; muted rows are skipped
        {2, 0, 100},   // a room row matches a key
        {-1, 0, 102},  // a negative key skips rooms and muted rows
        {3, 0, 104},
        {9, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("key " + std::to_string(c.key) + " position " + std::to_string(c.position));
        auto r = load(path, c.position, kComplete, kEditingBudgetBytes, c.key);
        if (c.frames < 0) {
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.code(), ErrorCode::ModelInvalid);
            EXPECT_EQ(r.message(), "zem has no such sample");
        } else {
            ASSERT_TRUE(r.ok()) << r.message();
            EXPECT_EQ(r->samples.size(), static_cast<size_t>(c.frames));
        }
    }
}

TEST(LoadCurrent, PlaybackRegions) {
    TempDir dir;
    SampleFileBuilder builder;
    const SampleRecipe desc{kCodecFlac, 24, 2, 48000, 20000, 4000, 5};
    for (int i = 0; i < 3; ++i) builder.add(desc);
    const std::string path = writeFile(dir, builder, [](Zem6Model& m) {
        m.samples[0].playback_start = 3000;  // across head and tail, to the end
        m.samples[1].playback_start = 10;
        m.samples[1].playback_end = 20000;  // the end is the sample's length
        m.samples[2].playback_end = 1;
    });
    const test::SampleBuild& s = builder.samples[0];
    struct Case {
        int32_t position;
        uint64_t first, frames;
    };
    for (const Case& c : {Case{1, 3000, 17000}, Case{2, 10, 19990}, Case{3, 0, 1}}) {
        SCOPED_TRACE(c.position);
        auto region = load(path, c.position, kRegion);
        ASSERT_TRUE(region.ok()) << region.message();
        EXPECT_EQ(region->samples, floatsOf(s, c.first, c.frames));
        EXPECT_EQ(region->channels, 2);
        EXPECT_EQ(region->sampleRate, 48000);
        // The complete source ignores the bounds.
        auto complete = load(path, c.position, kComplete);
        ASSERT_TRUE(complete.ok());
        EXPECT_EQ(complete->samples, floatsOf(s, 0, 20000));
    }
}

TEST(LoadCurrent, OneSampleLoadsWhateverIsDamagedElsewhere) {
    // Sample 1 has a playback region, so it is read through the sample
    // source; sample 2 is damaged in ways only reading its audio shows.
    const struct {
        const char* name;
        std::function<void(test::SampleBuild&)> damage;
        ErrorCode code;
    } cases[] = {
        {"plain hash", [](test::SampleBuild& s) { s.audi.head.plain_hash[5] ^= 1; }, ErrorCode::PlainHashMismatch},
        {"FLAC body", [](test::SampleBuild& s) { s.audi.edit = [](Bytes& p) { p[p.size() / 2] ^= 0x55; }; },
         ErrorCode::FlacError},
        {"tail role", [](test::SampleBuild& s) { s.audt->head.role = PayloadRole::whole; },
         ErrorCode::PayloadHeadInvalid},
    };
    TempDir dir;
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SampleFileBuilder builder;
        builder.add({kCodecFlac, 24, 2, 48000, 6000, 2000, 3});
        c.damage(builder.add({kCodecFlac, 16, 1, 48000, 5000, 1000, 4}));
        const std::string path = dir.path("damaged" + std::to_string(n++) + ".zem");
        Zem6Model model = builder.model();
        model.samples[0].playback_start = 100;
        model.samples[0].playback_end = 5000;
        model.samples[1].playback_start = 10;
        ASSERT_TRUE(writeZem6File(path, model, builder.payloads()).ok());

        auto first = load(path, 1, kRegion);
        ASSERT_TRUE(first.ok()) << first.message();
        EXPECT_EQ(first->samples, floatsOf(builder.samples[0], 100, 4900));

        auto second = load(path, 2, kRegion);
        ASSERT_FALSE(second.ok());
        EXPECT_EQ(second.code(), c.code) << errorCodeName(second.code()) << ": " << second.message();
    }
}

// 24-bit stereo: 6 bytes a frame, so a budget of 1000 bytes holds 166 frames
// and the cut must not split the 167th.
TEST(LoadCurrent, BudgetCutsAtWholeFramesAndRefusesBeforeDecoding) {
    TempDir dir;
    SampleFileBuilder builder;
    builder.add(SampleRecipe{kCodecFlac, 24, 2, 48000, 3000, 0, 6});     // one whole payload
    builder.add(SampleRecipe{kCodecFlac, 24, 2, 48000, 3000, 100, 7});   // head fits, the tail does not
    builder.add(SampleRecipe{kCodecRawPcm, 24, 2, 48000, 3000, 0, 8});   // with a playback region
    const std::string path = writeFile(dir, builder, [](Zem6Model& m) { m.samples[2].playback_start = 500; });
    const uint64_t budget = 1000;

    for (const int32_t position : {1, 2}) {
        SCOPED_TRACE(position);
        auto r = load(path, position, kRegion, budget);
        ASSERT_TRUE(r.ok()) << r.message();
        EXPECT_EQ(r->samples, floatsOf(builder.samples[0 + position - 1], 0, 166));
        auto refused = load(path, position, kComplete, budget);
        EXPECT_EQ(refused.code(), ErrorCode::ChunkReadPolicyBytes);
        EXPECT_EQ(refused.message(), "complete source audio exceeds the editing budget");
    }
    auto region = load(path, 3, kRegion, budget);
    ASSERT_TRUE(region.ok()) << region.message();
    EXPECT_EQ(region->samples, floatsOf(builder.samples[2], 500, 166));

    // A sample whose body does not decode is refused on its declared size,
    // before decoding; with room to spare the damage shows.
    TempDir damagedDir;
    SampleFileBuilder damagedBuilder;
    damagedBuilder.add(SampleRecipe{kCodecFlac, 16, 1, 48000, 3000, 0, 9});
    damagedBuilder.samples[0].audi.edit = [](Bytes& payload) { payload.resize(payload.size() - 40); };
    const std::string damagedPath = writeFile(damagedDir, damagedBuilder);
    auto refused = load(damagedPath, 1, kComplete, budget);
    EXPECT_EQ(refused.code(), ErrorCode::ChunkReadPolicyBytes);
    auto damaged = load(damagedPath, 1, kComplete);
    EXPECT_EQ(damaged.code(), ErrorCode::ModelInvalid);
    EXPECT_EQ(damaged.message(), "AUDI payload unreadable");
    EXPECT_EQ(load(damagedPath, 1, kRegion).message(), "AUDI payload unreadable");

    // A budget below one frame holds nothing.
    EXPECT_EQ(load(path, 3, kRegion, 5).code(), ErrorCode::ChunkReadPolicyBytes);
    // Larger budgets than the editing budget are not honoured.
    EXPECT_TRUE(load(path, 1, kComplete, ~uint64_t{0}).ok());
}

TEST(LoadCurrent, TailFaultsByMode) {
    struct Case {
        const char* name;
        std::function<void(SampleFileBuilder&)> damage;
        std::function<void(Zem6Model&)> edit;
        ErrorCode completeCode;
        const char* completeMessage;
        uint64_t regionFrames;  // what PlaybackRegion returns
    };
    const SampleRecipe desc{kCodecFlac, 16, 1, 48000, 3000, 1000, 11};
    const Case cases[] = {
        {"tail of other channels",
         [&](SampleFileBuilder& b) {
             SampleRecipe stereo = desc;
             stereo.channels = 2;
             const Bytes pcm = test::makeAnyPcm(16, 2, 1000, 3);
             b.samples[0].audt = test::makePart(stereo, PayloadRole::tail, 1000, pcm);
         },
         {}, ErrorCode::ModelInvalid, "source tail geometry mismatch", 1000},
        {"tail of another rate",
         [&](SampleFileBuilder& b) {
             SampleRecipe other = desc;
             other.rate = 44100;
             const test::SampleBuild& s = b.samples[0];
             b.samples[0].audt = test::makePart(other, PayloadRole::tail, 1000, ByteView(s.pcm).subspan(2000));
         },
         {}, ErrorCode::ModelInvalid, "source tail geometry mismatch", 3000},
        {"tail that does not decode",
         [](SampleFileBuilder& b) { b.samples[0].audt->edit = [](Bytes& p) { p.resize(p.size() - 30); }; }, {},
         ErrorCode::ReadIo, "complete source tail is unreadable", 1000},
        {"frames disagree with the row", {}, [](Zem6Model& m) { m.samples[0].frames = 2999; },
         ErrorCode::ModelInvalid, "incomplete source audio", 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        SampleFileBuilder builder;
        builder.add(desc);
        if (c.damage) c.damage(builder);
        const std::string path = writeFile(dir, builder, c.edit);
        auto complete = load(path, 1, kComplete);
        ASSERT_FALSE(complete.ok());
        EXPECT_EQ(complete.code(), c.completeCode);
        EXPECT_EQ(complete.message(), c.completeMessage);
        auto region = load(path, 1, kRegion);
        ASSERT_TRUE(region.ok()) << region.message();
        EXPECT_EQ(region->samples, floatsOf(builder.samples[0], 0, c.regionFrames));
    }
}

// The hit sort gives up a long sample half way through its read: the cancel
// check is asked between the reads and between FLAC frames, and the open file
// serves the next load as before.
TEST(LoadCurrent, ACompleteReadStopsWithinTheDecodeOnceCancelled) {
    TempDir dir;
    SampleFileBuilder builder;
    builder.add(SampleRecipe{kCodecFlac, 16, 1, 44100, 200000, 0, 21});        // 49 FLAC frames
    builder.add(SampleRecipe{kCodecFlac, 24, 2, 48000, 120000, 40000, 22});    // 10 head and 20 tail frames
    builder.add(SampleRecipe{kCodecRawPcm, 16, 1, 44100, 50000, 0, 23});
    const std::string path = writeFile(dir, builder);
    struct Case {
        const char* what;
        size_t row;
        int trueFrom;  // the call from which the check says stop; 0 never
    };
    const Case cases[] = {
        {"FLAC, never cancelled", 0, 0},
        {"FLAC, cancelled in the fourth frame", 0, 5},
        {"head and tail, never cancelled", 1, 0},
        {"head and tail, cancelled in the tail", 1, 20},
        {"raw PCM, cancelled before the read", 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto file = openZem6File(path, ReadPolicy{});
        ASSERT_TRUE(file.ok()) << file.message();
        const test::SampleBuild& s = builder.samples[c.row];
        int calls = 0;
        const std::function<bool()> cancel = [&] { return ++calls >= c.trueFrom && c.trueFrom != 0; };
        auto r = loadCompleteSourceRow(*file, c.row, kEditingBudgetBytes, cancel);
        if (c.trueFrom == 0) {
            ASSERT_TRUE(r.ok()) << r.message();
            EXPECT_EQ(r->samples, floatsOf(s, 0, s.desc.frames));
            // Asked for every FLAC frame, not once per sample.
            EXPECT_GT(static_cast<uint64_t>(calls), s.desc.frames / kFlacBlockSize);
            continue;
        }
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), ErrorCode::ReadIo);
        EXPECT_EQ(r.message(), kSampleReadCancelledText);
        // Nothing more is decoded once the check says stop.
        EXPECT_LE(calls, c.trueFrom + 1);
        auto again = loadCompleteSourceRow(*file, c.row, kEditingBudgetBytes);
        ASSERT_TRUE(again.ok()) << again.message();
        EXPECT_EQ(again->samples, floatsOf(s, 0, s.desc.frames));
    }
}

TEST(LoadCurrent, MemoryFailureIsReportedAsSuch) {
    TempDir dir;
    SampleFileBuilder builder;
    builder.add(SampleRecipe{kCodecRawPcm, 16, 1, 48000, 600000, 0, 12});
    const std::string path = writeFile(dir, builder);
    for (const SampleLoadMode mode : {kRegion, kComplete}) {
        gFailAllocationsAbove = 1 << 20;
        auto r = load(path, 1, mode);
        gFailAllocationsAbove = 0;
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), ErrorCode::AllocationFailed) << r.message();
    }
}

TEST(LoadProbe, MagicAndLength) {
    TempDir dir;
    SampleFileBuilder builder;
    builder.add(SampleRecipe{});
    const std::string current = writeFile(dir, builder);
    zem::testing::TempFile legacy(zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(5)));
    const Bytes magicOnly(kSuperblockMagic.begin(), kSuperblockMagic.end());
    zem::testing::TempFile shortFile(magicOnly);
    EXPECT_TRUE(probeHeader(current));
    EXPECT_FALSE(probeHeader(legacy.path()));
    EXPECT_FALSE(probeHeader(shortFile.path()));
    EXPECT_FALSE(probeHeader(dir.path("missing.zem")));

    // A file too short for the probe goes to the legacy reader, which refuses it.
    auto r = load(shortFile.path(), 1, kComplete);
    EXPECT_EQ(r.code(), ErrorCode::ModelInvalid);
    EXPECT_EQ(r.message().rfind("not a legacy zem", 0), 0u) << r.message();
}

} // namespace
} // namespace vt6::fmt

// ---------------------------------------------------------------------------
// Legacy files.

namespace vt6::zem {
namespace {

using fmt::ErrorCode;
using fmt::SampleLoadMode;

// The legacy reader's channels of one sample, interleaved.
std::vector<float> legacyInterleaved(const std::string& path, size_t index, int& channels) {
    const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();
    LegacyReadOptions options;
    options.blobDecoder = &decoder;
    LegacyReadResult read = readLegacyFile(path, options);
    EXPECT_TRUE(read.file) << read.error;
    if (!read.file) return {};
    const int fd = platform::openFileUtf8(path);
    LegacySampleAudio audio = readLegacySampleAudio(fd, *read.file, index, &decoder);
    platform::closeFile(fd);
    channels = static_cast<int>(audio.channelSamples.size());
    std::vector<float> out;
    for (size_t f = 0; f < audio.channelSamples[0].size(); ++f)
        for (const auto& channel : audio.channelSamples) out.push_back(channel[f]);
    return out;
}

class LoadLegacyVersion : public ::testing::TestWithParam<std::pair<int, bool>> {};

// Every sample, 4.0 FLAC ones included, loads as the legacy reader reads it.
TEST_P(LoadLegacyVersion, EverySampleAsTheLegacyReaderReadsIt) {
    const testing::BuilderFile desc = testing::sampleLegacyFile(GetParam().first, GetParam().second);
    testing::TempFile file(testing::buildLegacyFile(desc));
    for (size_t i = 0; i < desc.samples.size(); ++i) {
        int channels = 0;
        const std::vector<float> expected = legacyInterleaved(file.path(), i, channels);
        for (const SampleLoadMode mode : {SampleLoadMode::PlaybackRegion, SampleLoadMode::CompleteSource}) {
            SCOPED_TRACE("sample " + std::to_string(i + 1));
            auto r = fmt::loadSampleForEdit(file.path(), fmt::SampleSelector{-1, static_cast<int32_t>(i + 1)},
                                            fmt::kEditingBudgetBytes, mode);
            ASSERT_TRUE(r.ok()) << r.message();
            EXPECT_EQ(r->channels, channels);
            EXPECT_EQ(r->sampleRate, desc.samples[i].sampleRate);
            EXPECT_EQ(r->samples, expected);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, LoadLegacyVersion,
                         ::testing::Values(std::pair{0, false}, std::pair{1, false}, std::pair{2, false},
                                           std::pair{3, false}, std::pair{4, false}, std::pair{5, false},
                                           std::pair{6, false}, std::pair{6, true}),
                         [](const auto& info) {
                             return "v" + std::to_string(info.param.first) + (info.param.second ? "props" : "");
                         });

TEST(LoadLegacy, SelectionAndBudget) {
    testing::BuilderFile desc;
    desc.version = 5;
    desc.dynamics = {0.5f};
    auto sample = [](int32_t length, int8_t articulation) {
        testing::BuilderSample s;
        s.length = length;
        s.articulation = articulation;
        return s;
    };
    desc.samples = {sample(10, 2), sample(11, 3), sample(12, 3), sample(13, 4)};
    desc.samples[1].excluded = 1;
    desc.samples[0].room = 1;
    testing::BuilderSample stereo24 = sample(200, 1);  // 100 frames of 6 bytes
    stereo24.bits = 24;
    stereo24.stereo = 1;
    desc.samples.push_back(stereo24);
    testing::TempFile file(testing::buildLegacyFile(desc));
    struct Case {
        int32_t key, position;
        int values;  // -1: no such sample
    };
    const Case cases[] = {
        {3, 0, 12},   // the excluded sample is skipped
        {9, 0, 10},   // no match: the first sample
        {-1, 0, 12},  // a negative key skips the room sample and the excluded one
        {0, 2, 11},   // position wins, excluded or not
        {0, 6, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("key " + std::to_string(c.key) + " position " + std::to_string(c.position));
        auto r = fmt::loadSampleForEdit(file.path(), fmt::SampleSelector{c.key, c.position}, fmt::kEditingBudgetBytes,
                                        SampleLoadMode::CompleteSource);
        if (c.values < 0) {
            EXPECT_EQ(r.code(), ErrorCode::ModelInvalid);
            EXPECT_EQ(r.message(), "zem has no such sample");
        } else {
            ASSERT_TRUE(r.ok()) << r.message();
            EXPECT_EQ(r->samples.size(), static_cast<size_t>(c.values));
        }
    }

    // 100 frames of 6 bytes against a 100-byte budget.
    int channels = 0;
    const std::vector<float> all = legacyInterleaved(file.path(), 4, channels);
    auto cut = fmt::loadSampleForEdit(file.path(), fmt::SampleSelector{-1, 5}, 100, SampleLoadMode::PlaybackRegion);
    ASSERT_TRUE(cut.ok()) << cut.message();
    EXPECT_EQ(cut->samples, std::vector<float>(all.begin(), all.begin() + 2 * 16));
    auto refused = fmt::loadSampleForEdit(file.path(), fmt::SampleSelector{-1, 5}, 100, SampleLoadMode::CompleteSource);
    EXPECT_EQ(refused.code(), ErrorCode::ChunkReadPolicyBytes);
    EXPECT_EQ(refused.message(), "complete source audio exceeds the editing budget");
}

} // namespace
} // namespace vt6::zem
