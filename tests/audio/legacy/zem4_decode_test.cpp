#include <gtest/gtest.h>

#include <cstddef>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "audio/flac_codec.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/zem4_decode.hpp"

namespace vt6::zem {
namespace {

fmt::Bytes bytesOf(const std::string& text) { return fmt::Bytes(text.begin(), text.end()); }

TEST(Crc32Ieee, KnownValues) {
    EXPECT_EQ(crc32Ieee({}), 0u);
    EXPECT_EQ(crc32Ieee(bytesOf("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32Ieee(bytesOf("a")), 0xE8B7BE43u);
    fmt::Bytes ramp(1000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i * 31 + 7);
    EXPECT_EQ(crc32Ieee(ramp), testing::referenceCrc32(ramp));
}

// Span by span gives the one-shot value wherever the cuts fall, including
// inside and at the edges of the eight-byte steps.
TEST(Crc32Ieee, ChainedSpansMatchTheWholeAndTheReference) {
    fmt::Bytes ramp(1000);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = static_cast<uint8_t>(i * 131 + 17);
    const std::span<const uint8_t> all(ramp);
    for (const size_t length : {0, 1, 7, 8, 9, 15, 16, 17, 999, 1000}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(crc32Ieee(all.first(length)), testing::referenceCrc32(fmt::Bytes(ramp.begin(), ramp.begin() + static_cast<std::ptrdiff_t>(length))));
    }
    for (const size_t cut : {0, 1, 3, 8, 13, 500, 1000}) {
        SCOPED_TRACE(cut);
        const uint32_t state = crc32IeeeUpdate(kCrc32IeeeInit, all.first(cut));
        EXPECT_EQ(crc32IeeeUpdate(state, all.subspan(cut)) ^ kCrc32IeeeInit, crc32Ieee(all));
    }
}

struct FlacFixture {
    fmt::Bytes pcm;
    fmt::Bytes stored;
    Zem4Blob blob;
};

FlacFixture stereoFlac(uint8_t bits) {
    FlacFixture f;
    f.pcm = testing::patternPcm(bits, 200, bits == 16 ? 30000 : 8000000);
    auto flac = fmt::encodeFlacPayload(f.pcm, bits, 2, 44100, 100);
    EXPECT_TRUE(flac.ok()) << flac.message();
    f.stored = *flac;
    f.blob.bytes = f.stored;
    f.blob.bits = bits;
    f.blob.channels = 2;
    f.blob.sampleRate = 44100;
    f.blob.length = 200;
    f.blob.storedCrc = crc32Ieee(f.stored);
    f.blob.sampleNumber = 7;
    return f;
}

TEST(Zem4FlacBlobDecoder, DecodesToThePackedPcm) {
    const Zem4BlobDecoder decode = fmt::makeZem4FlacBlobDecoder();
    for (const uint8_t bits : {uint8_t{16}, uint8_t{24}}) {
        const FlacFixture f = stereoFlac(bits);
        const Zem4DecodeOut out = decode(f.blob);
        EXPECT_EQ(out.error, "") << int(bits);
        EXPECT_EQ(out.pcm, f.pcm) << int(bits);
    }
}

#if !defined(ZEM_FUZZING)
TEST(Zem4FlacBlobDecoder, RefusesACrcMismatchBeforeDecoding) {
    FlacFixture f = stereoFlac(16);
    const uint32_t computed = f.blob.storedCrc;
    f.blob.storedCrc = 0x0000ABCDu;
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "sample 7: v4 payload CRC-32/IEEE mismatch (stored 0x0000ABCD, computed 0x%08X)", computed);
    const Zem4DecodeOut out = fmt::makeZem4FlacBlobDecoder()(f.blob);
    EXPECT_EQ(out.error, expected);
    EXPECT_TRUE(out.pcm.empty());
}
#endif

TEST(Zem4FlacBlobDecoder, ReportsBadGeometryAndBadStreams) {
    const Zem4BlobDecoder decode = fmt::makeZem4FlacBlobDecoder();
    struct Case {
        const char* what;
        void (*edit)(Zem4Blob&);
        std::string prefix;
    };
    const Case cases[] = {
        {"odd length", [](Zem4Blob& b) { b.length = 199; }, "sample 7: v4 length 199 not a multiple of 2 channels"},
        {"no channels", [](Zem4Blob& b) { b.channels = 0; }, "sample 7: v4 length 200 not a multiple of 0 channels"},
        {"frames differ", [](Zem4Blob& b) { b.length = 202; }, "sample 7: v4 FLAC decode failed: "},
        {"float", [](Zem4Blob& b) { b.bits = 32; }, "sample 7: v4 FLAC decode failed: "},
    };
    for (const Case& c : cases) {
        FlacFixture f = stereoFlac(16);
        c.edit(f.blob);
        const Zem4DecodeOut out = decode(f.blob);
        EXPECT_EQ(out.error.substr(0, c.prefix.size()), c.prefix) << c.what << ": " << out.error;
        EXPECT_TRUE(out.pcm.empty()) << c.what;
    }

    // Bytes that are no FLAC stream, with a matching CRC.
    const fmt::Bytes junk = bytesOf("certainly not a FLAC stream");
    Zem4Blob blob;
    blob.bytes = junk;
    blob.length = 4;
    blob.storedCrc = crc32Ieee(junk);
    blob.sampleNumber = 3;
    const Zem4DecodeOut out = decode(blob);
    EXPECT_EQ(out.error.rfind("sample 3: v4 FLAC decode failed: ", 0), 0u) << out.error;
}

TEST(Zem4FlacBlobDecoder, CopiesDecodeInParallel) {
    const FlacFixture f = stereoFlac(24);
    const Zem4BlobDecoder decode = fmt::makeZem4FlacBlobDecoder();
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (size_t t = 0; t < good.size(); ++t) {
        threads.emplace_back([&, t, copy = decode] {
            for (int k = 0; k < 20; ++k) good[t] += copy(f.blob).pcm == f.pcm ? 1 : 0;
        });
    }
    for (std::thread& t : threads) t.join();
    for (const int g : good) EXPECT_EQ(g, 20);
}

TEST(LegacyBlobDecoderSlot, StartsEmptyAndIsOneSlot) {
    EXPECT_FALSE(legacyBlobDecoderSlot());
    EXPECT_EQ(&legacyBlobDecoderSlot(), &legacyBlobDecoderSlot());
}

} // namespace
} // namespace vt6::zem
