#include "audio/sample_source.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/sample_file_builder.hpp"

namespace vt6::fmt {
namespace {

using test::SampleBuild;
using test::SampleFileBuilder;
using test::SampleRecipe;

using SourcePtr = std::unique_ptr<Zem6SampleSource>;

SourcePtr openOk(const std::string& path) {
    auto r = Zem6SampleSource::open(path, ReadPolicy{});
    if (!r.ok()) {
        ADD_FAILURE() << "open failed: " << r.message();
        return nullptr;
    }
    return std::move(r).value();
}

// Reads [start, start + count) into planar buffers sized to `count`.
struct Planar {
    std::vector<std::vector<float>> data;
    std::vector<float*> ptrs;
    Planar(size_t channels, size_t frames, float fill = 0.0f) : data(channels, std::vector<float>(frames, fill)) {
        for (auto& d : data) ptrs.push_back(d.data());
    }
};

// The expected floats of frames [start, start + count) of a sample.
std::vector<std::vector<float>> expected(const SampleBuild& s, uint64_t start, uint64_t count) {
    const uint64_t w = s.frameBytes();
    const uint64_t end = std::min<uint64_t>(start + count, s.desc.frames);
    return test::planarFloats(ByteView(s.pcm).subspan(start * w, (end - start) * w), s.desc.bits, s.desc.channels);
}

void expectWindow(Zem6SampleSource& src, uint32_t index, const SampleBuild& s, uint64_t start, uint32_t count) {
    SCOPED_TRACE("sample " + std::to_string(index) + " frames [" + std::to_string(start) + ", +" +
                 std::to_string(count) + ")");
    Planar out(static_cast<size_t>(s.desc.channels), count);
    const auto r = src.read(index, start, count, out.ptrs);
    ASSERT_EQ(r.status, stream::kTailReadDone) << src.lastError().message;
    const auto want = expected(s, start, count);
    ASSERT_EQ(r.frames, want[0].size());
    for (size_t c = 0; c < want.size(); ++c) {
        out.data[c].resize(r.frames);
        ASSERT_EQ(out.data[c], want[c]) << "channel " << c;
    }
}

// Every geometry the readers meet, whole and split, in one file.
class SampleSourceReads : public ::testing::Test {
protected:
    void SetUp() override {
        uint32_t seed = 1;
        for (const uint16_t codec : {kCodecRawPcm, kCodecFlac}) {
            for (const int bits : {16, 24, 32}) {
                if (codec == kCodecFlac && bits == 32) continue;  // float is always raw
                for (const int channels : {1, 2}) {
                    for (const uint64_t head : {uint64_t{0}, uint64_t{2500}}) {
                        builder.add({codec, bits, channels, 44100, 20000, head, seed++});
                    }
                }
            }
        }
        source = openOk(builder.write(dir.path("all.zem")));
        ASSERT_NE(source, nullptr);
    }

    test::TempDir dir;
    SampleFileBuilder builder;
    SourcePtr source;
};

TEST_F(SampleSourceReads, EveryGeometryReadsBackAsThePlainAudio) {
    ASSERT_EQ(source->rows().size(), builder.samples.size());
    for (uint32_t i = 0; i < builder.samples.size(); ++i) {
        const SampleBuild& s = builder.samples[i];
        EXPECT_EQ(source->frameCount(i), s.desc.frames);
        EXPECT_EQ(source->channelCount(i), s.desc.channels);
        EXPECT_EQ(source->rows()[i].hasTail, s.audt.has_value());
        expectWindow(*source, i, s, 0, 20000);
    }
}

TEST_F(SampleSourceReads, WindowsAcrossHeadAndTailAndInsideTheTail) {
    for (uint32_t i = 0; i < builder.samples.size(); ++i) {
        const SampleBuild& s = builder.samples[i];
        if (!s.audt) continue;
        expectWindow(*source, i, s, 2490, 20);       // ten frames from each part
        expectWindow(*source, i, s, 19000, 500);     // forward in the tail
        expectWindow(*source, i, s, 3000, 100);      // back in the tail
        expectWindow(*source, i, s, 12345, 4097);    // across FLAC blocks
        expectWindow(*source, i, s, 0, 2500);        // exactly the head
        expectWindow(*source, i, s, 2500, 17500);    // exactly the tail
    }
}

TEST_F(SampleSourceReads, RandomWindowsAgreeWithThePlainAudio) {
    std::mt19937 rng(42);
    for (int k = 0; k < 200; ++k) {
        const auto i = static_cast<uint32_t>(rng() % builder.samples.size());
        const uint64_t start = rng() % 20000;
        const auto count = static_cast<uint32_t>(1 + rng() % 3000);
        expectWindow(*source, i, builder.samples[i], start, count);
    }
}

TEST_F(SampleSourceReads, RangeAndBufferRules) {
    const uint32_t stereoSplit = 3;  // codec 0, 16-bit, stereo, split
    ASSERT_EQ(builder.samples[stereoSplit].desc.channels, 2);
    ASSERT_TRUE(builder.samples[stereoSplit].audt);
    const auto& s = builder.samples[stereoSplit];
    const auto rows = static_cast<uint32_t>(builder.samples.size());

    Planar out(3, 64, -7.0f);
    struct Case {
        const char* name;
        uint32_t sample;
        uint64_t start;
        uint32_t count;
        int32_t status;
        uint32_t frames;
    };
    const Case cases[] = {
        {"index past the rows", rows, 0, 10, stream::kTailReadOutOfRange, 0},
        {"start at the end", stereoSplit, 20000, 10, stream::kTailReadOutOfRange, 0},
        {"start at the end, count 0", stereoSplit, 20000, 0, stream::kTailReadOutOfRange, 0},
        {"start past the end", stereoSplit, 1u << 30, 1, stream::kTailReadOutOfRange, 0},
        {"count 0", stereoSplit, 5, 0, stream::kTailReadDone, 0},
        {"runs past the end", stereoSplit, 19990, 64, stream::kTailReadDone, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = source->read(c.sample, c.start, c.count, out.ptrs);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.frames, c.frames);
    }
    EXPECT_EQ(source->frameCount(rows), 0u);
    EXPECT_EQ(source->channelCount(rows), 0u);

    // The short read at the end filled 10 frames of two channels; the third
    // buffer has no channel and stays as it was.
    const auto want = expected(s, 19990, 10);
    for (size_t c = 0; c < 2; ++c) EXPECT_TRUE(std::equal(want[c].begin(), want[c].end(), out.data[c].begin()));
    EXPECT_EQ(out.data[0][10], -7.0f);
    EXPECT_TRUE(std::all_of(out.data[2].begin(), out.data[2].end(), [](float v) { return v == -7.0f; }));

    // A stereo sample read into one buffer fills only channel 0.
    Planar one(1, 30);
    ASSERT_EQ(source->read(stereoSplit, 2480, 30, std::span<float* const>(one.ptrs)).frames, 30u);
    EXPECT_EQ(one.data[0], expected(s, 2480, 30)[0]);
}

TEST_F(SampleSourceReads, ConcurrentReadersSeeTheirOwnWindows) {
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 rng(static_cast<uint32_t>(100 + t));
            for (int k = 0; k < 150; ++k) {
                const auto i = static_cast<uint32_t>(rng() % builder.samples.size());
                const SampleBuild& s = builder.samples[i];
                // Some windows run to the end of the head, which releases and
                // later re-decodes it; FLAC tails share cursors.
                const uint64_t start = k % 5 == 0 ? 2000 : rng() % 20000;
                const auto count = static_cast<uint32_t>(1 + rng() % 1500);
                Planar out(static_cast<size_t>(s.desc.channels), count);
                const auto r = source->read(i, start, count, out.ptrs);
                const auto want = expected(s, start, count);
                bool same = r.status == stream::kTailReadDone && r.frames == want[0].size();
                for (size_t c = 0; same && c < want.size(); ++c) {
                    same = std::equal(want[c].begin(), want[c].end(), out.data[c].begin());
                }
                if (!same) ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_LE(source->cachedHeads().size(), builder.samples.size());
    EXPECT_LE(source->cachedTailCursors().size(), kMaxTailCursors);
}

// ---------------------------------------------------------------------------
// Caches

TEST(SampleSourceCaches, HeadsAreHeldFromOpenUntilAReadPassesTheirEnd) {
    test::TempDir dir;
    SampleFileBuilder b;
    for (uint32_t i = 0; i < 6; ++i) b.add({kCodecRawPcm, 16, 1, 44100, 1000, 0, i + 1});
    // Not decoded at open: its wrong hash would otherwise fail it.
    SampleBuild& empty = b.add({kCodecRawPcm, 16, 1, 44100, 0, 0, 9});
    empty.audi.head.plain_hash[0] ^= 1;
    auto src = openOk(b.write(dir.path("caches.zem")));
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(src->cachedHeads(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(src->frameCount(6), 0u);

    Planar out(1, 1000);
    // Short of the end: kept. To the end: released.
    ASSERT_EQ(src->read(2, 0, 999, out.ptrs).frames, 999u);
    EXPECT_EQ(src->cachedHeads(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
    for (uint32_t i = 0; i < 6; ++i) ASSERT_EQ(src->read(i, 990, 10, out.ptrs).frames, 10u);
    EXPECT_TRUE(src->cachedHeads().empty());

    // Re-decoded heads: at most four, the least recently used goes first.
    for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(src->read(i, 0, 1, out.ptrs).frames, 1u);
    ASSERT_EQ(src->read(0, 5, 1, out.ptrs).frames, 1u);  // 0 is now the newest
    ASSERT_EQ(src->read(4, 0, 1, out.ptrs).frames, 1u);  // evicts 1
    EXPECT_EQ(src->cachedHeads(), (std::vector<uint32_t>{0, 2, 3, 4}));
    ASSERT_EQ(src->read(5, 0, 1, out.ptrs).frames, 1u);  // evicts 2
    EXPECT_EQ(src->cachedHeads(), (std::vector<uint32_t>{0, 3, 4, 5}));
    expectWindow(*src, 1, b.samples[1], 0, 1000);  // re-decoded after eviction
}

TEST(SampleSourceCaches, AtMostEightTailCursorsLeastRecentlyUsedGoesFirst) {
    test::TempDir dir;
    SampleFileBuilder b;
    for (uint32_t i = 0; i < 10; ++i) b.add({kCodecFlac, 16, 1, 44100, 6000, 1000, i + 1});
    b.add({kCodecRawPcm, 16, 1, 44100, 6000, 1000, 20});  // raw tails need no cursor
    auto src = openOk(b.write(dir.path("cursors.zem")));
    ASSERT_NE(src, nullptr);
    Planar out(1, 16);
    for (uint32_t i = 0; i < 8; ++i) ASSERT_EQ(src->read(i, 2000, 16, out.ptrs).frames, 16u);
    ASSERT_EQ(src->read(10, 2000, 16, out.ptrs).frames, 16u);
    EXPECT_EQ(src->cachedTailCursors(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    ASSERT_EQ(src->read(0, 3000, 16, out.ptrs).frames, 16u);  // reuses 0's cursor
    EXPECT_EQ(src->cachedTailCursors(), (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));
    ASSERT_EQ(src->read(8, 2000, 16, out.ptrs).frames, 16u);  // evicts 1
    EXPECT_EQ(src->cachedTailCursors(), (std::vector<uint32_t>{0, 2, 3, 4, 5, 6, 7, 8}));
    ASSERT_EQ(src->read(9, 2000, 16, out.ptrs).frames, 16u);  // evicts 2
    EXPECT_EQ(src->cachedTailCursors(), (std::vector<uint32_t>{0, 3, 4, 5, 6, 7, 8, 9}));
    // Head-only reads open no cursor.
    ASSERT_EQ(src->read(1, 10, 16, out.ptrs).frames, 16u);
    EXPECT_EQ(src->cachedTailCursors(), (std::vector<uint32_t>{0, 3, 4, 5, 6, 7, 8, 9}));
    expectWindow(*src, 1, b.samples[1], 900, 3000);  // re-opened after eviction
}

// ---------------------------------------------------------------------------
// Failures after a successful open

TEST(SampleSourceFailures, DamagedFlacTailFailsOnlyTheReadsThatReachIt) {
    test::TempDir dir;
    SampleFileBuilder b;
    SampleBuild& s = b.add({kCodecFlac, 16, 2, 44100, 30000, 1000, 5});
    // Scramble the last FLAC frame of the tail (tail frames 28672..28999,
    // sample frames 29672..29999).
    const auto layout = test::readFlacLayout(s.audt->body);
    ASSERT_TRUE(layout && layout->seekTable && layout->seekTable->size() == 8);
    const size_t lastFrame = layout->audioAt + (*layout->seekTable)[7].offset;
    for (size_t k = lastFrame + 20; k < s.audt->body.size() - 4; k += 3) s.audt->body[k] ^= 0x5A;
    auto src = openOk(b.write(dir.path("damaged.zem")));
    ASSERT_NE(src, nullptr);  // tails are not hashed at open

    expectWindow(*src, 0, s, 500, 2000);
    Planar out(2, 100);
    const auto bad = src->read(0, 29900, 100, out.ptrs);
    EXPECT_EQ(bad.status, stream::kTailReadError);
    EXPECT_EQ(bad.frames, 0u);
    const ErrorInfo first = src->lastError();
    EXPECT_EQ(first.code, ErrorCode::FlacError);
    EXPECT_FALSE(first.message.empty());

    // The failed cursor is not reused: an undamaged range reads again.
    expectWindow(*src, 0, s, 1000, 3000);
    // And the damage is found again by a read that reaches it.
    EXPECT_EQ(src->read(0, 29700, 100, out.ptrs).status, stream::kTailReadError);
    EXPECT_EQ(src->lastError().code, ErrorCode::FlacError);
}

TEST(SampleSourceFailures, FileShrunkAfterOpenFailsTailReadsButNotCachedHeads) {
    test::TempDir dir;
    SampleFileBuilder b;
    SampleBuild& s = b.add({kCodecRawPcm, 24, 1, 44100, 8000, 2000, 3});
    const std::string path = b.write(dir.path("shrunk.zem"));
    auto src = openOk(path);
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(src->lastError().code, ErrorCode::ReadIo);
    EXPECT_EQ(src->lastError().message, "");

    std::filesystem::resize_file(path, src->rows()[0].audt.offset + 24 + 64 + 100);
    Planar out(1, 100);
    EXPECT_EQ(src->read(0, 7000, 100, out.ptrs).status, stream::kTailReadError);
    EXPECT_EQ(src->lastError().code, ErrorCode::ChunkTruncated);
    expectWindow(*src, 0, s, 0, 1000);  // the decoded head needs no file read
}

// ---------------------------------------------------------------------------
// Open-time laws

struct LawCase {
    const char* name;
    // Builds the file; sample 0 is a split codec-0 16-bit mono sample of 4000
    // frames (head 1000) unless the case adds its own.
    std::function<void(SampleFileBuilder&)> build;
    ErrorCode code;
    std::string message;  // the whole message
    // Edits the opened file before the checks (for laws the reader itself
    // already guards).
    std::function<void(Zem6File&)> editOpened = {};
};

SampleBuild& split(SampleFileBuilder& b, uint16_t codec = kCodecRawPcm) {
    return b.add({codec, 16, 1, 48000, 4000, 1000, 1});
}
SampleBuild& whole(SampleFileBuilder& b) { return b.add({kCodecRawPcm, 16, 1, 48000, 4000, 0, 1}); }

TEST(SampleSourceOpen, EveryLawRefusesWithItsCodeAndMessage) {
    const std::vector<LawCase> cases = {
        {"AUDI missing from the directory", [](auto& b) { whole(b); }, ErrorCode::ModelInvalid,
         "sample uid 1: AUDI uid 77 not in the directory",
         [](Zem6File& f) { f.model.samples[0].audi_uid = 77; }},
        {"AUDI shorter than a head", [](auto& b) { whole(b).audi.edit = [](Bytes& p) { p.resize(40); }; },
         ErrorCode::PayloadHeadInvalid, "sample uid 1: AUDI payload shorter than the 64-byte head"},
        {"AUDI head does not parse", [](auto& b) { whole(b).audi.edit = [](Bytes& p) { p[0] = 'X'; }; },
         ErrorCode::PayloadHeadInvalid, "payload head magic is not 'PCMA'"},
        {"AUDI codec unknown", [](auto& b) { whole(b).audi.head.codec = 5; }, ErrorCode::CodecUnknown,
         "payload head declares codec 5 (known: 0 raw packed PCM, 1 FLAC)"},
        {"codec-0 AUDI longer than plain_bytes", [](auto& b) { whole(b).audi.body.push_back(0); },
         ErrorCode::PayloadHeadInvalid, "sample uid 1: codec-0 AUDI length 8065 != 64 + plain_bytes 8000"},
        {"whole sample with a head role",
         [](auto& b) { whole(b).audi.head.role = PayloadRole::head; }, ErrorCode::ModelInvalid,
         "sample uid 1: AUDI role must be 'whole' (0) when no AUDT exists"},
        {"AUDT missing from the directory", [](auto& b) { split(b); }, ErrorCode::ModelInvalid,
         "sample uid 1 references AUDT uid 77 but no such chunk exists",
         [](Zem6File& f) { f.model.samples[0].audt_uid = 77; }},
        {"AUDT shorter than a head", [](auto& b) { split(b).audt->edit = [](Bytes& p) { p.resize(63); }; },
         ErrorCode::PayloadHeadInvalid, "sample uid 1: AUDT payload shorter than the 64-byte head"},
        {"AUDT head does not parse", [](auto& b) { split(b).audt->edit = [](Bytes& p) { p[62] = 1; }; },
         ErrorCode::PayloadHeadInvalid, "payload head reserved field must be 0 (is 1)"},
        {"split sample whose AUDI is whole",
         [](auto& b) { split(b).audi.head.role = PayloadRole::whole; }, ErrorCode::ModelInvalid,
         "sample uid 1: AUDI role must be 'head' (1) when an AUDT exists"},
        {"AUDT with a head role",
         [](auto& b) {
             auto& s = split(b);
             s.audt->head.role = PayloadRole::head;
             s.audt->head.first_frame = 0;
         },
         ErrorCode::ModelInvalid, "sample uid 1: AUDT role must be 'tail' (2)"},
        {"AUDT does not start where the AUDI ends", [](auto& b) { split(b).audt->head.first_frame = 999; },
         ErrorCode::ModelInvalid, "sample uid 1: AUDT first_frame 999 != AUDI frames 1000"},
        {"AUDT at another rate", [](auto& b) { split(b).audt->head.sample_rate = 44100; }, ErrorCode::ModelInvalid,
         "sample uid 1: AUDT geometry/codec disagrees with its AUDI"},
        {"AUDT in another codec",
         [](auto& b) {
             auto& s = split(b);
             s.audt = test::makePart({kCodecFlac, 16, 1, 48000}, PayloadRole::tail, 1000,
                                     ByteView(s.pcm).subspan(2000));
         },
         ErrorCode::ModelInvalid, "sample uid 1: AUDT geometry/codec disagrees with its AUDI"},
        {"AUDT at another depth",
         [](auto& b) {
             auto& s = split(b);
             s.audt->head.bits = 24;
             s.audt->head.frames = 2000;
             s.audt->head.plain_bytes = 6000;
         },
         ErrorCode::ModelInvalid, "sample uid 1: AUDT geometry/codec disagrees with its AUDI"},
        {"codec-0 AUDT shorter than plain_bytes", [](auto& b) { split(b).audt->body.pop_back(); },
         ErrorCode::PayloadHeadInvalid, "sample uid 1: codec-0 AUDT length 6063 != 64 + plain_bytes 6000"},
        {"SMPL frames", [](auto& b) { split(b).row.frames = 3999; }, ErrorCode::ModelInvalid,
         "sample uid 1: SMPL frames 3999 != payload frames 4000"},
        {"SMPL head_frames", [](auto& b) { split(b).row.head_frames = 1001; }, ErrorCode::ModelInvalid,
         "sample uid 1: SMPL head_frames 1001 != 1000"},
        {"SMPL rate", [](auto& b) { split(b).row.sample_rate = 44100; }, ErrorCode::ModelInvalid,
         "sample uid 1: SMPL rate disagrees with the payload head"},
        {"SMPL bits", [](auto& b) { split(b).row.bits = 24; }, ErrorCode::ModelInvalid,
         "sample uid 1: SMPL bits disagrees with the payload head"},
        {"SMPL channels", [](auto& b) { split(b).row.channels = 2; }, ErrorCode::ModelInvalid,
         "sample uid 1: SMPL channels disagrees with the payload head"},
        {"SMPL codec", [](auto& b) { split(b).row.codec = 1; }, ErrorCode::ModelInvalid,
         "sample uid 1: SMPL codec disagrees with the payload head"},
        {"three channels", [](auto& b) { b.add({kCodecRawPcm, 16, 3, 48000, 100, 0, 1}); }, ErrorCode::ModelInvalid,
         "sample uid 1 declares 3 channels; the engine limit is 2"},
        {"SMPL frames is tested before the channel limit",
         [](auto& b) { b.add({kCodecRawPcm, 16, 3, 48000, 100, 0, 1}).row.frames = 5; }, ErrorCode::ModelInvalid,
         "sample uid 1: SMPL frames 5 != payload frames 100"},
        {"every row is checked before any head is decoded",
         [](auto& b) {
             whole(b).audi.head.plain_hash[3] ^= 1;
             whole(b).row.sample_rate = 1;
         },
         ErrorCode::ModelInvalid, "sample uid 4: SMPL rate disagrees with the payload head"},
        {"plain hash mismatch", [](auto& b) { split(b).audi.head.plain_hash[15] ^= 0x80; },
         ErrorCode::PlainHashMismatch, "sample uid 1 AUDI: decoded packed PCM fails the per-chunk plain_hash"},
        {"plain hash mismatch in a FLAC head",
         [](auto& b) {
             whole(b);
             split(b, kCodecFlac).audi.head.plain_hash[0] ^= 1;
         },
         ErrorCode::PlainHashMismatch, "sample uid 4 AUDI: decoded packed PCM fails the per-chunk plain_hash"},
        {"FLAC head whose stream disagrees",
         [](auto& b) {
             auto& s = split(b, kCodecFlac);
             const auto layout = test::readFlacLayout(s.audi.body);
             if (layout) test::patchStreamInfo(s.audi.body, layout->streamInfoAt, 2, 1000);
         },
         ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO (2ch/16b/48000Hz/1000f) disagrees with the PCMA head (1ch/16b/48000Hz/1000f)"},
    };

    test::TempDir dir;
    int n = 0;
    for (const LawCase& c : cases) {
        SCOPED_TRACE(c.name);
        SampleFileBuilder b;
        c.build(b);
        const std::string path = b.write(dir.path("law" + std::to_string(n++) + ".zem"));
        ASSERT_FALSE(path.empty());
        Result<std::unique_ptr<Zem6SampleSource>> r = ErrorInfo{};
        if (c.editOpened) {
            auto file = openZem6File(path, ReadPolicy{});
            ASSERT_TRUE(file.ok()) << file.message();
            c.editOpened(*file);
            r = Zem6SampleSource::open(std::move(file).value());
        } else {
            r = Zem6SampleSource::open(path, ReadPolicy{});
        }
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), c.code) << errorCodeName(r.code());
        EXPECT_EQ(r.message(), c.message);
    }
}

// Damage confined to the second sample of a two-sample file: a source opened
// for the first sample alone never sees it, one opened for the second fails
// with the damage's own code, and a whole-file source fails the same way.
struct ElsewhereCase {
    const char* name;
    std::function<void(SampleBuild&)> damage;
    ErrorCode code;
};

TEST(SampleSourceOpen, OneSampleIgnoresDamageInTheOthers) {
    const std::vector<ElsewhereCase> cases = {
        {"plain hash mismatch", [](SampleBuild& s) { s.audi.head.plain_hash[0] ^= 1; }, ErrorCode::PlainHashMismatch},
        {"head does not parse", [](SampleBuild& s) { s.audi.edit = [](Bytes& p) { p[0] = 'X'; }; },
         ErrorCode::PayloadHeadInvalid},
        {"tail at another rate", [](SampleBuild& s) { s.audt->head.sample_rate = 44100; }, ErrorCode::ModelInvalid},
        {"SMPL frames disagree", [](SampleBuild& s) { s.row.frames = 3999; }, ErrorCode::ModelInvalid},
        {"head sizes disagree", [](SampleBuild& s) {
             s.audi.head.channels = 3;
             s.audt->head.channels = 3;
             s.row.channels.reset();
         },
         ErrorCode::PayloadHeadInvalid},
    };
    test::TempDir dir;
    int n = 0;
    for (const ElsewhereCase& c : cases) {
        SCOPED_TRACE(c.name);
        SampleFileBuilder b;
        b.add({kCodecFlac, 16, 2, 48000, 3000, 1000, 7});
        c.damage(split(b));
        const std::string path = b.write(dir.path("elsewhere" + std::to_string(n++) + ".zem"));
        ASSERT_FALSE(path.empty());

        auto file = openZem6File(path, ReadPolicy{});
        ASSERT_TRUE(file.ok()) << file.message();
        auto first = Zem6SampleSource::openSample(std::move(file).value(), 0);
        ASSERT_TRUE(first.ok()) << first.message();
        Zem6SampleSource& src = **first;
        expectWindow(src, 0, b.samples[0], 0, 3000);
        EXPECT_EQ(src.frameCount(1), 0u);
        EXPECT_EQ(src.channelCount(1), 0u);
        Planar out(2, 16);
        EXPECT_EQ(src.read(1, 0, 16, out.ptrs).status, stream::kTailReadOutOfRange);
        // Only this sample's head was ever decoded (and then released by the
        // read that reached its end).
        EXPECT_TRUE(src.cachedHeads().empty());

        auto again = openZem6File(path, ReadPolicy{});
        ASSERT_TRUE(again.ok());
        auto second = Zem6SampleSource::openSample(std::move(again).value(), 1);
        ASSERT_FALSE(second.ok());
        EXPECT_EQ(second.code(), c.code) << second.message();
        auto whole = Zem6SampleSource::open(path, ReadPolicy{});
        ASSERT_FALSE(whole.ok());
        EXPECT_EQ(whole.code(), c.code) << whole.message();
        EXPECT_EQ(whole.message(), second.message());
    }
}

TEST(SampleSourceOpen, OneSampleHoldsOnlyItsOwnHead) {
    test::TempDir dir;
    SampleFileBuilder b;
    for (uint32_t i = 0; i < 3; ++i) b.add({kCodecRawPcm, 16, 1, 48000, 4000, 1000, i + 1});
    const std::string path = b.write(dir.path("three.zem"));
    auto file = openZem6File(path, ReadPolicy{});
    ASSERT_TRUE(file.ok());
    auto src = Zem6SampleSource::openSample(std::move(file).value(), 1);
    ASSERT_TRUE(src.ok()) << src.message();
    EXPECT_EQ((*src)->cachedHeads(), std::vector<uint32_t>{1});
    EXPECT_EQ((*src)->frameCount(1), 4000u);
    EXPECT_EQ((*src)->frameCount(0), 0u);
    EXPECT_EQ((*src)->frameCount(2), 0u);
    expectWindow(**src, 1, b.samples[1], 900, 200);

    auto past = openZem6File(path, ReadPolicy{});
    ASSERT_TRUE(past.ok());
    auto none = Zem6SampleSource::openSample(std::move(past).value(), 3);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.code(), ErrorCode::ModelInvalid);
    EXPECT_EQ(none.message(), "sample index 3 is past the file's 3 samples");
}

TEST(SampleSourceOpen, AbsentSmplValuesAreNotCompared) {
    test::TempDir dir;
    SampleFileBuilder b;
    SampleBuild& s = split(b);
    s.row.frames.reset();
    s.row.head_frames.reset();
    s.row.sample_rate.reset();
    s.row.bits.reset();
    s.row.channels.reset();
    s.row.codec.reset();
    auto src = openOk(b.write(dir.path("bare.zem")));
    ASSERT_NE(src, nullptr);
    EXPECT_EQ(src->frameCount(0), 4000u);
}

TEST(SampleSourceOpen, FileOpenFailurePassesThrough) {
    test::TempDir dir;
    auto r = Zem6SampleSource::open(dir.path("missing.zem"), ReadPolicy{});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::ReadIo);
}

} // namespace
} // namespace vt6::fmt
