#include "audio/flac_codec.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "audio/flac_fixtures.hpp"
#include "audio/pcma_head.hpp"
#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::makePcm;
using test::readFlacLayout;

Bytes encodeOrDie(const Bytes& pcm, int bits, int channels, int rate, uint64_t frames) {
    auto r = encodeFlacPayload(pcm, bits, channels, rate, frames);
    EXPECT_TRUE(r.ok()) << r.message();
    return r.ok() ? std::move(r).value() : Bytes{};
}

struct Geometry {
    int bits;
    int channels;
    int rate;
    uint64_t frames;
};

class FlacRoundTripTest : public testing::TestWithParam<Geometry> {};

TEST_P(FlacRoundTripTest, DecodesToTheInputWithADenseSeekTable) {
    const Geometry g = GetParam();
    const Bytes pcm = makePcm(g.bits, g.channels, g.frames);
    const Bytes body = encodeOrDie(pcm, g.bits, g.channels, g.rate, g.frames);
    ASSERT_FALSE(body.empty());

    const auto layout = readFlacLayout(body);
    ASSERT_TRUE(layout.has_value());
    // Finishing wrote the real totals back into STREAMINFO.
    EXPECT_EQ(layout->info.channels, static_cast<uint32_t>(g.channels));
    EXPECT_EQ(layout->info.bits, static_cast<uint32_t>(g.bits));
    EXPECT_EQ(layout->info.sampleRate, static_cast<uint32_t>(g.rate));
    EXPECT_EQ(layout->info.totalSamples, g.frames);
    EXPECT_EQ(layout->info.maxBlock, 4096u);
    if (g.frames == 0) {
        EXPECT_FALSE(layout->seekTable.has_value());
    } else {
        EXPECT_NE(layout->info.md5, (std::array<uint8_t, 16>{}));
        ASSERT_TRUE(layout->seekTable.has_value());
        const auto& points = *layout->seekTable;
        ASSERT_EQ(points.size(), (g.frames + 4095) / 4096);
        for (size_t i = 0; i < points.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(points[i].sample, i * 4096);
            EXPECT_EQ(points[i].frameSamples, std::min<uint64_t>(4096, g.frames - i * 4096));
            if (i > 0) {
                EXPECT_GT(points[i].offset, points[i - 1].offset);  // filled in, not left at 0
            }
        }
    }

    const auto decoded = decodeFlacPayload(body, g.bits, g.channels, g.rate, g.frames);
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_EQ(decoded->size(), pcm.size());
    EXPECT_TRUE(*decoded == pcm);
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, FlacRoundTripTest,
    testing::Values(Geometry{16, 1, 44100, 10000}, Geometry{24, 2, 48000, 9000}, Geometry{16, 8, 96000, 4097},
                    Geometry{24, 8, 192000, 4096}, Geometry{24, 1, 8000, 1}, Geometry{16, 2, 44100, 0},
                    // Rates the streamable subset cannot describe.
                    Geometry{16, 1, 65536, 5000}, Geometry{24, 2, 96001, 9000}, Geometry{16, 2, 700000, 5000},
                    Geometry{24, 1, 1000000, 5000}, Geometry{16, 1, 1, 100}));

// Full-scale white noise does not compress: every frame falls back to
// verbatim subframes, and the stream stays within the plain bytes plus the
// framing of each block and the stream head, and still decodes exactly.
TEST(FlacEncodeTest, IncompressibleNoiseRoundTripsWithinPlainSizeAndFraming) {
    for (const Geometry g : {Geometry{16, 1, 44100, 20000}, Geometry{24, 2, 48000, 20000}, Geometry{16, 8, 48000, 5000}}) {
        SCOPED_TRACE(testing::Message() << g.bits << " bits, " << g.channels << " channels");
        Bytes pcm(g.frames * static_cast<uint64_t>(g.channels) * static_cast<uint64_t>(g.bits / 8));
        uint64_t state = 88172645463325252ull;
        for (uint8_t& b : pcm) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            b = static_cast<uint8_t>(state >> 24);
        }
        const Bytes body = encodeOrDie(pcm, g.bits, g.channels, g.rate, g.frames);
        ASSERT_FALSE(body.empty());
        const uint64_t blocks = (g.frames + 4095) / 4096;
        EXPECT_GT(body.size(), pcm.size());
        EXPECT_LE(body.size(), pcm.size() + blocks * (32 + 2 * static_cast<uint64_t>(g.channels) + 18) + 1070);
        const auto decoded = decodeFlacPayload(body, g.bits, g.channels, g.rate, g.frames);
        ASSERT_TRUE(decoded.ok()) << decoded.message();
        EXPECT_TRUE(*decoded == pcm);
    }
}

TEST(FlacEncodeTest, TenThousandFramesGiveThreeSeekPoints) {
    const Bytes body = encodeOrDie(makePcm(16, 1, 10000), 16, 1, 44100, 10000);
    const auto layout = readFlacLayout(body);
    ASSERT_TRUE(layout && layout->seekTable);
    ASSERT_EQ(layout->seekTable->size(), 3u);
    EXPECT_EQ((*layout->seekTable)[0].sample, 0u);
    EXPECT_EQ((*layout->seekTable)[0].offset, 0u);  // offsets count from the first frame
    EXPECT_EQ((*layout->seekTable)[1].sample, 4096u);
    EXPECT_EQ((*layout->seekTable)[2].sample, 8192u);
    EXPECT_EQ((*layout->seekTable)[2].frameSamples, 10000u - 8192u);
}

TEST(FlacEncodeTest, StreamableSubsetOffOnlyForRatesItCannotCarry) {
    struct Case {
        uint32_t rate;
        bool subset;
    };
    const Case cases[] = {{1, true},         {8000, true},      {44100, true},    {65535, true},
                          {65536, false},    {65540, true},     {96000, true},    {96001, false},
                          {192000, true},    {384000, true},    {655350, true},   {655360, false},
                          {700000, false},   {1000000, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(flacStreamableSubsetFor(c.rate), c.subset) << c.rate;
    }
}

TEST(FlacEncodeTest, InputLaws) {
    struct Case {
        const char* name;
        size_t bytes;
        int bits;
        int channels;
        int rate;
        uint64_t frames;
        std::string message;
    };
    const Case cases[] = {
        {"float first", 0, 32, 0, 0, 1ull << 40,
         "32-bit float is ALWAYS codec 0 (raw packed PCM) \u2014 the FLAC encoder refuses it (plan \u00a76.4 "
         "container law 1)"},
        {"8-bit", 4, 8, 1, 44100, 4, "FLAC encode supports 16/24-bit packed PCM (asked for 8)"},
        {"bits before channels", 0, 20, 0, 44100, 0, "FLAC encode supports 16/24-bit packed PCM (asked for 20)"},
        {"channels 0", 0, 16, 0, 44100, 0, "FLAC encode channels=0; the limit is 8"},
        {"channels 9", 18, 16, 9, 44100, 1, "FLAC encode channels=9; the limit is 8"},
        {"rate 0", 2, 16, 1, 0, 1, "FLAC encode sample_rate=0; the limit is 1000000"},
        {"rate negative", 2, 16, 1, -5, 1, "FLAC encode sample_rate=-5; the limit is 1000000"},
        {"rate 1000001", 2, 16, 1, 1000001, 1, "FLAC encode sample_rate=1000001; the limit is 1000000"},
        {"frames", 0, 16, 1, 44100, 67108865, "FLAC encode frames=67108865; the per-payload limit is 67108864"},
        {"bytes", 7, 24, 1, 44100, 2, "FLAC encode packed byte count 7 != frames*channels*bits/8 = 6"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes pcm(c.bytes);
        const auto check = checkFlacEncodeInput(pcm, c.bits, c.channels, c.rate, c.frames);
        ASSERT_FALSE(check.ok());
        EXPECT_EQ(check.code(), ErrorCode::FlacError);
        EXPECT_EQ(check.message(), c.message);
        const auto encoded = encodeFlacPayload(pcm, c.bits, c.channels, c.rate, c.frames);
        ASSERT_FALSE(encoded.ok());
        EXPECT_EQ(encoded.code(), ErrorCode::FlacError);
        EXPECT_EQ(encoded.message(), c.message);
    }
}

// A stereo 16-bit stream of 10000 frames at 44100 Hz and its PCM.
struct StereoStream {
    Bytes pcm = makePcm(16, 2, 10000);
    Bytes body = encodeOrDie(pcm, 16, 2, 44100, 10000);
    test::FlacLayout layout = readFlacLayout(body).value_or(test::FlacLayout{});
};

TEST(FlacDecodeTest, Refusals) {
    const StereoStream s;
    ASSERT_GT(s.layout.audioAt, 0u);

    Bytes fewerDeclared = s.body;  // STREAMINFO and head both say 5000
    test::patchStreamInfo(fewerDeclared, s.layout.streamInfoAt, 2, 5000);
    Bytes moreDeclared = s.body;  // both say 12000
    test::patchStreamInfo(moreDeclared, s.layout.streamInfoAt, 2, 12000);
    Bytes monoInfo = s.body;  // STREAMINFO agrees with a mono head, the frames are stereo
    test::patchStreamInfo(monoInfo, s.layout.streamInfoAt, 1, 10000);
    ASSERT_TRUE(s.layout.seekTable && s.layout.seekTable->size() == 3);
    // Cut where the second frame starts: a clean end of stream, one frame short.
    Bytes truncated = s.body;
    truncated.resize(s.layout.audioAt + (*s.layout.seekTable)[1].offset);
    const Bytes emptyStream = encodeOrDie({}, 16, 2, 44100, 0);

    struct Case {
        const char* name;
        Bytes body;
        Geometry head;
        ErrorCode code;
        std::string message;
    };
    const auto F = ErrorCode::FlacError;
    const Case cases[] = {
        {"bits 32", s.body, {32, 2, 44100, 10000}, F, "codec-1 decode supports 16/24-bit (head declares 32)"},
        {"bits 8", s.body, {8, 2, 44100, 10000}, F, "codec-1 decode supports 16/24-bit (head declares 8)"},
        {"channels 0", s.body, {16, 0, 44100, 10000}, F, "codec-1 decode geometry out of range"},
        {"channels 9", s.body, {16, 9, 44100, 10000}, F, "codec-1 decode geometry out of range"},
        {"frames", s.body, {16, 2, 44100, 67108865}, F, "codec-1 decode geometry out of range"},
        {"mono head", s.body, {16, 1, 44100, 10000}, ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO (2ch/16b/44100Hz/10000f) disagrees with the PCMA head (1ch/16b/44100Hz/10000f)"},
        {"rate", s.body, {16, 2, 48000, 10000}, ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO (2ch/16b/44100Hz/10000f) disagrees with the PCMA head (2ch/16b/48000Hz/10000f)"},
        {"24-bit head", s.body, {24, 2, 44100, 10000}, ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO (2ch/16b/44100Hz/10000f) disagrees with the PCMA head (2ch/24b/44100Hz/10000f)"},
        {"frame count", s.body, {16, 2, 44100, 9999}, ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO (2ch/16b/44100Hz/10000f) disagrees with the PCMA head (2ch/16b/44100Hz/9999f)"},
        {"unknown total only for 0 frames", emptyStream, {16, 2, 44100, 5}, ErrorCode::GeometryMismatch,
         "FLAC STREAMINFO (2ch/16b/44100Hz/0f) disagrees with the PCMA head (2ch/16b/44100Hz/5f)"},
        {"frames past the head", fewerDeclared, {16, 2, 44100, 5000}, ErrorCode::PlainBytesMismatch,
         "FLAC stream decodes past the declared 5000 frames"},
        {"frames short of the head", moreDeclared, {16, 2, 44100, 12000}, ErrorCode::PlainBytesMismatch,
         "FLAC stream decoded 10000 frames; the PCMA head declares 12000"},
        {"truncated", truncated, {16, 2, 44100, 10000}, ErrorCode::PlainBytesMismatch,
         "FLAC stream decoded 4096 frames; the PCMA head declares 10000"},
        {"frame geometry", monoInfo, {16, 1, 44100, 10000}, ErrorCode::GeometryMismatch,
         "FLAC frame geometry disagrees with the PCMA head"},
        {"marker only", test::hex("664C6143"), {16, 2, 44100, 10000}, F, "FLAC stream carries no STREAMINFO"},
        {"empty", {}, {16, 2, 44100, 10000}, F, "FLAC stream carries no STREAMINFO"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = decodeFlacPayload(c.body, c.head.bits, c.head.channels, c.head.rate, c.head.frames);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), c.code);
        EXPECT_EQ(r.message(), c.message);
    }
}

TEST(FlacDecodeTest, DamageReportsLibFlacsErrorStatus) {
    const StereoStream s;
    Bytes damaged = s.body;
    damaged[s.layout.audioAt + 200] ^= 0x5A;  // inside the first frame's residual
    Bytes cutMidFrame = s.body;
    cutMidFrame.resize(s.body.size() / 2);
    for (const Bytes& body : {damaged, cutMidFrame}) {
        const auto r = decodeFlacPayload(body, 16, 2, 44100, 10000);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), ErrorCode::FlacError);
        EXPECT_EQ(r.message().rfind("libFLAC error callback: FLAC__STREAM_DECODER_ERROR_STATUS_", 0), 0u)
            << r.message();
    }
}

TEST(FlacDecodeTest, EmptyStreamForAnEmptyHead) {
    const auto r = decodeFlacPayload(encodeOrDie({}, 24, 1, 48000, 0), 24, 1, 48000, 0);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_TRUE(r->empty());
}

TEST(FlacDecodeTest, CodecTableEntryUsesTheParams) {
    const StereoStream s;
    DecodeParams p;
    p.bits = 16;
    p.channels = 2;
    p.sample_rate = 44100;
    p.frames = 10000;
    p.plain_bytes = 1;  // not consulted: the size follows from the geometry
    const auto r = decodeFlacBody(s.body, p);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_TRUE(*r == s.pcm);
}

TEST(FlacCodecTest, CallsRunConcurrently) {
    std::vector<std::thread> threads;
    std::vector<int> ok(6, 0);
    for (size_t t = 0; t < ok.size(); ++t) {
        threads.emplace_back([&ok, t] {
            const int bits = t % 2 == 0 ? 16 : 24;
            const Bytes pcm = makePcm(bits, 2, 20000, static_cast<uint32_t>(t));
            const auto body = encodeFlacPayload(pcm, bits, 2, 48000, 20000);
            if (!body.ok()) return;
            const auto back = decodeFlacPayload(*body, bits, 2, 48000, 20000);
            ok[t] = back.ok() && *back == pcm;
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(ok, std::vector<int>(ok.size(), 1));
}

TEST(FlacCodecTest, StateNames) {
    EXPECT_STREQ(flacDecoderStateName(FLAC__STREAM_DECODER_ABORTED), "FLAC__STREAM_DECODER_ABORTED");
    EXPECT_STREQ(flacEncoderStateName(FLAC__STREAM_ENCODER_VERIFY_MISMATCH_IN_AUDIO_DATA),
                 "FLAC__STREAM_ENCODER_VERIFY_MISMATCH_IN_AUDIO_DATA");
    EXPECT_STREQ(flacDecoderErrorStatusName(FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC),
                 "FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC");
}

} // namespace
} // namespace vt6::fmt
