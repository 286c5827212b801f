#include "audio/codec.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "audio/flac_codec.hpp"
#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

DecodeParams params(uint16_t bits, uint16_t channels, uint64_t frames, uint64_t plainBytes) {
    DecodeParams p;
    p.bits = bits;
    p.channels = channels;
    p.sample_rate = 48000;
    p.frames = frames;
    p.plain_bytes = plainBytes;
    return p;
}

// A mono 16-bit FLAC body of 100 frames and its PCM.
struct FlacFixture {
    Bytes pcm;
    Bytes body;
    FlacFixture() : pcm(200) {
        for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<uint8_t>(i * 13);
        auto encoded = encodeFlacPayload(pcm, 16, 1, 48000, 100);
        if (encoded.ok()) body = std::move(encoded).value();
    }
};

size_t codecSlotsWithId(uint16_t id) {
    size_t n = 0;
    for (const PayloadCodecSlot& slot : payloadCodecRegistry().slots) {
        if (slot.used.load() && slot.id.load() == id) ++n;
    }
    return n;
}

// Runs in a fresh process: the table before and after registering FLAC.
// Returns the number of failed checks.
int freshProcessChecks() {
    int failures = 0;
    const auto check = [&failures](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "failed: %s\n", what);
            ++failures;
        }
    };
    const PayloadCodecRegistry& table = payloadCodecRegistry();
    check(table.slots[0].used && table.slots[0].id == 0 && table.slots[0].decode == &decodeRawPcmBody,
          "slot 0 is codec 0");
    for (size_t i = 1; i < kPayloadCodecSlots; ++i) {
        check(!table.slots[i].used && table.slots[i].id == 0 && table.slots[i].decode == nullptr,
              "other slots empty");
    }
    const Bytes raw = {1, 2, 3, 4};
    check(decodePayloadBody(0, raw, params(16, 2, 1, 4)).ok(), "codec 0 decodes unregistered");

    const FlacFixture flac;
    const auto before = decodePayloadBody(1, flac.body, params(16, 1, 100, 200));
    check(!before.ok() && before.code() == ErrorCode::CodecUnknown &&
              before.message() == "unknown payload codec id 1 (known: 0 raw PCM, 1 FLAC) \u2014 refusing, never skipping",
          "codec 1 unknown before registration");

    registerFlacPayloadCodec();
    registerFlacPayloadCodec();
    check(table.slots[1].used && table.slots[1].id == 1 && table.slots[1].decode == &decodeFlacBody,
          "codec 1 in slot 1");
    check(codecSlotsWithId(1) == 1, "exactly one codec-1 slot");
    const auto after = decodePayloadBody(1, flac.body, params(16, 1, 100, 200));
    check(after.ok() && *after == flac.pcm, "codec 1 decodes after registration");
    return failures;
}

// Registration is process-wide and never undone, so the fresh-process case
// runs in a child process of its own.
TEST(CodecTableDeathTest, FreshProcessKnowsOnlyRawPcmUntilFlacIsRegistered) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(freshProcessChecks()), testing::ExitedWithCode(0), "");
}

TEST(CodecTableTest, UnknownIdsAreRefused) {
    registerFlacPayloadCodec();
    for (const uint16_t id : {2, 7, 65535}) {
        const auto r = decodePayloadBody(id, Bytes(4), params(16, 2, 1, 4));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), ErrorCode::CodecUnknown);
        EXPECT_EQ(r.message(), "unknown payload codec id " + std::to_string(id) +
                                   " (known: 0 raw PCM, 1 FLAC) \u2014 refusing, never skipping");
    }
}

TEST(CodecTableTest, DispatchesToTheCodec) {
    registerFlacPayloadCodec();
    const FlacFixture flac;
    const auto decoded = decodePayloadBody(1, flac.body, params(16, 1, 100, 200));
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_EQ(*decoded, flac.pcm);
    // The codec's own failure comes back unchanged.
    const auto wrong = decodePayloadBody(1, flac.body, params(24, 1, 100, 300));
    ASSERT_FALSE(wrong.ok());
    EXPECT_EQ(wrong.code(), ErrorCode::GeometryMismatch);
    const auto raw = decodePayloadBody(0, Bytes(3), params(16, 1, 1, 2));
    EXPECT_EQ(raw.code(), ErrorCode::PlainBytesMismatch);
}

TEST(CodecTableTest, RegistrationIsSafeAgainstConcurrentDecoders) {
    const FlacFixture flac;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (t % 2 == 0) registerFlacPayloadCodec();
                const auto r = decodePayloadBody(1, flac.body, params(16, 1, 100, 200));
                // Either before registration (unknown) or after it (decoded): nothing in between.
                if (r.ok() ? *r != flac.pcm : r.code() != ErrorCode::CodecUnknown) ++wrong;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(codecSlotsWithId(1), 1u);
}

TEST(RawPcmTest, ReturnsTheBody) {
    const Bytes body = test::hex("01 02 03 04 05 06");
    for (const DecodeParams& p : {params(16, 3, 1, 6), params(24, 2, 1, 6), params(24, 1, 2, 6)}) {
        const auto r = decodeRawPcmBody(body, p);
        ASSERT_TRUE(r.ok()) << r.message();
        EXPECT_EQ(*r, body);
    }
    const auto empty = decodeRawPcmBody({}, params(32, 2, 0, 0));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
}

TEST(RawPcmTest, Refusals) {
    struct Case {
        const char* name;
        size_t bodyBytes;
        DecodeParams p;
        ErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        {"bits 8 before sizes", 3, params(8, 1, 4, 4), ErrorCode::GeometryMismatch,
         "codec 0: bits must be 16/24/32 (got 8)"},
        {"bits 0", 0, params(0, 1, 0, 0), ErrorCode::GeometryMismatch, "codec 0: bits must be 16/24/32 (got 0)"},
        {"geometry", 12, params(24, 2, 2, 13), ErrorCode::GeometryMismatch,
         "codec 0: frames*channels*bytes = 12 but plain_bytes = 13"},
        {"geometry past 64 bits", 0, params(32, 8, 1ull << 62, 0), ErrorCode::GeometryMismatch,
         "codec 0: frames*channels*bytes = 147573952589676412928 but plain_bytes = 0"},
        {"one byte short", 11, params(24, 2, 2, 12), ErrorCode::PlainBytesMismatch,
         "codec 0: payload holds 11 bytes but plain_bytes = 12"},
        {"one byte long", 13, params(24, 2, 2, 12), ErrorCode::PlainBytesMismatch,
         "codec 0: payload holds 13 bytes but plain_bytes = 12"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = decodeRawPcmBody(Bytes(c.bodyBytes), c.p);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), c.code);
        EXPECT_EQ(r.message(), c.message);
    }
}

// Bit patterns, so NaN payloads and signed zeros compare exactly.
std::vector<uint32_t> bitsOf(const std::vector<float>& v) {
    std::vector<uint32_t> out;
    for (const float f : v) out.push_back(std::bit_cast<uint32_t>(f));
    return out;
}

std::vector<float> convert(const Bytes& bytes, uint64_t byteLength, int32_t bits, uint64_t count) {
    // Filled with a marker, so every output the call leaves alone shows.
    std::vector<float> out(count, 123.0f);
    pcmToFloat(bytes.data(), byteLength, bits, count, out.data());
    return out;
}

TEST(PcmToFloatTest, Scaling) {
    const std::vector<float> s16 = convert(test::hex("0080 FF7F 0000 0100 FFFF"), 10, 16, 5);
    EXPECT_EQ(bitsOf(s16), bitsOf({static_cast<float>(-32768 / 32767.0), 1.0f, 0.0f,
                                   static_cast<float>(1 / 32767.0), static_cast<float>(-1 / 32767.0)}));
    EXPECT_FLOAT_EQ(s16[0], -1.0000305f);

    const std::vector<float> s24 = convert(test::hex("000080 FFFF7F 000000 010000 FFFFFF"), 15, 24, 5);
    EXPECT_EQ(bitsOf(s24), bitsOf({-1.0f, 0.99999988f, 0.0f, std::ldexp(1.0f, -23), -std::ldexp(1.0f, -23)}));

    const float nan = std::bit_cast<float>(0x7FC12345u);
    const std::vector<float> f32in = {1.5f, -2.25f, nan, std::numeric_limits<float>::infinity(), -0.0f};
    Bytes f32(f32in.size() * 4);
    for (size_t i = 0; i < f32in.size(); ++i) storeLe32(f32.data() + 4 * i, std::bit_cast<uint32_t>(f32in[i]));
    EXPECT_EQ(bitsOf(convert(f32, f32.size(), 32, f32in.size())), bitsOf(f32in));
}

TEST(PcmToFloatTest, MissingBytesAndUnknownDepthsGiveZeros) {
    // Five bytes hold two whole 16-bit samples; the third is cut.
    EXPECT_EQ(bitsOf(convert(test::hex("FF7F FF7F FF7F"), 5, 16, 4)), bitsOf({1.0f, 1.0f, 0.0f, 0.0f}));
    EXPECT_EQ(bitsOf(convert(test::hex("FFFF7F FFFF7F"), 5, 24, 2)), bitsOf({0.99999988f, 0.0f}));
    EXPECT_EQ(bitsOf(convert(Bytes(12, 0x7F), 12, 20, 3)), bitsOf({0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(bitsOf(convert(Bytes(12, 0x7F), 12, 8, 3)), bitsOf({0.0f, 0.0f, 0.0f}));
    EXPECT_EQ(bitsOf(convert(Bytes(12, 0x7F), 0, 32, 2)), bitsOf({0.0f, 0.0f}));
}

TEST(PcmBytesToFloatsTest, WholeSamplesOnly) {
    EXPECT_EQ(bitsOf(pcmBytesToFloats(test::hex("000080 FFFF7F 01"), 24)), bitsOf({-1.0f, 0.99999988f}));
    EXPECT_EQ(bitsOf(pcmBytesToFloats(test::hex("FF7F 00"), 16)), bitsOf({1.0f}));
    EXPECT_EQ(pcmBytesToFloats(Bytes(7, 0x55), 8), std::vector<float>(7, 0.0f));
    EXPECT_EQ(pcmBytesToFloats(Bytes(7, 0x55), 12), std::vector<float>(7, 0.0f));  // 12 / 8 = 1 byte each
    EXPECT_TRUE(pcmBytesToFloats(Bytes(7, 0x55), 7).empty());
    EXPECT_TRUE(pcmBytesToFloats(Bytes(7, 0x55), 0).empty());
    EXPECT_TRUE(pcmBytesToFloats(Bytes(7, 0x55), -16).empty());
    EXPECT_TRUE(pcmBytesToFloats({}, 16).empty());
}

} // namespace
} // namespace vt6::fmt
