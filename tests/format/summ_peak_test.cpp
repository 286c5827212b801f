#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "format/cbor.hpp"
#include "format/summ_peak.hpp"

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::hex;
using test::concat;

Bytes thumbnailOf(size_t size) {
    Bytes t(size);
    for (size_t i = 0; i < size; ++i) t[i] = static_cast<uint8_t>(i * 7);
    return t;
}

struct Refusal {
    std::string label;
    Bytes payload;
    const char* message;
    ErrorCode code = ErrorCode::ModelInvalid;
};

// ---- SUMM ----

TEST(SummCodec, EveryKeyRoundTripsWithExtensionsInPlace) {
    Summary s;
    s.present = true;
    s.sample_count = 3;
    // Stored order and repeats are kept as read.
    s.band_histogram = {{2, 1}, {1, 1}, {2, 1}};
    s.articulation_histogram = {{0, 3}};
    s.layer_histogram = {{1, 2}, {300, 1}};
    s.sample_rates = {44100, 48000};
    s.bit_depths = {24, 16};
    s.channel_counts = {1};
    s.total_frames = 70000;
    s.thumbnail = thumbnailOf(256);
    s.smpl_bytes = 512;
    s.peak_bytes = 3080;
    // 9 to 11 are free for extensions like any unknown key.
    s.extensions = {{9, hex("61 61")}, {10, hex("A0")}, {11, hex("F9 7E 00")}, {15, hex("20")},
                    {4000, hex("83 01 02 03")}};

    auto bytes = encodeSumm(s);
    ASSERT_TRUE(bytes.ok()) << bytes.message();
    auto decoded = decodeSumm(*bytes);
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_EQ(*decoded, s);
    auto again = encodeSumm(*decoded);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *bytes);

    // The wire layout of the leading keys, so that a key swap between encoder
    // and decoder cannot hide behind the round trip.
    const Bytes head = hex("B0 01 03 02 83 82 02 01 82 01 01 82 02 01 03 81 82 00 03 04 82 82 01 02 82 19 01 2C 01"
                           " 05 82 19 AC 44 19 BB 80 06 82 18 18 10 07 81 01 08 1A 00 01 11 70"
                           " 09 61 61 0A A0 0B F9 7E 00 0C 59 01 00");
    ASSERT_GE(bytes->size(), head.size());
    EXPECT_EQ(Bytes(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(head.size())), head);
    const Bytes tail = hex("0D 19 02 00 0E 19 0C 08 0F 20 19 0F A0 83 01 02 03");
    EXPECT_EQ(Bytes(bytes->end() - static_cast<std::ptrdiff_t>(tail.size()), bytes->end()), tail);
}

TEST(SummCodec, MinimalMapDecodesEmptyAndClearedSummaryWritesFourKeys) {
    const Bytes minimal = hex("A4 01 00 08 00 0D 00 0E 00");
    auto decoded = decodeSumm(minimal);
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    Summary expected;
    expected.present = true;
    EXPECT_EQ(*decoded, expected);

    auto encoded = encodeSumm(Summary{});
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(*encoded, minimal);
}

TEST(SummCodec, DecodeRefusals) {
    const Bytes t255 = concat({hex("A1 0C 58 FF"), thumbnailOf(255)});
    const Bytes t257 = concat({hex("A1 0C 59 01 01"), thumbnailOf(257)});
    const Refusal cases[] = {
        {"three-item layer entry", hex("A1 04 81 83 01 02 03"),
         "SUMM layer_histogram entries must be [id,count] pairs"},
        {"one-item band entry", hex("A1 02 82 82 01 02 81 01"),
         "SUMM band_histogram entries must be [id,count] pairs"},
        {"empty articulation entry", hex("A1 03 81 80"),
         "SUMM articulation_histogram entries must be [id,count] pairs"},
        {"thumbnail 255", t255, "SUMM thumbnail must be exactly 256 bytes; got 255"},
        {"thumbnail 257", t257, "SUMM thumbnail must be exactly 256 bytes; got 257"},
        {"not a map", hex("80"), "expected map", ErrorCode::CborType},
        {"entry not an array", hex("A1 02 81 01"), "expected array", ErrorCode::CborType},
        {"id not an integer", hex("A1 02 81 82 61 61 01"), "expected unsigned integer", ErrorCode::CborType},
        {"rate not an integer", hex("A1 05 81 F5"), "expected unsigned integer", ErrorCode::CborType},
        {"thumbnail as text", hex("A1 0C 60"), "expected byte string", ErrorCode::CborType},
        {"keys descending", hex("A2 08 00 01 00"), "map keys not in ascending order", ErrorCode::CborNonCanonical},
        {"trailing byte", hex("A1 01 00 00"), "trailing bytes after CBOR value", ErrorCode::CborNonCanonical},
        {"forged histogram count", hex("A1 02 9B FF FF FF FF FF FF FF FF 82 01 01"), "truncated CBOR item",
         ErrorCode::CborNonCanonical},
    };
    for (const auto& c : cases) {
        auto decoded = decodeSumm(c.payload);
        ASSERT_FALSE(decoded.ok()) << c.label;
        EXPECT_EQ(decoded.code(), c.code) << c.label;
        EXPECT_EQ(decoded.message(), c.message) << c.label;
    }
}

TEST(SummCodec, EncodeRefusesAThumbnailOfTheWrongSize) {
    for (size_t size : {size_t{1}, size_t{255}, size_t{257}}) {
        Summary s;
        s.thumbnail = thumbnailOf(size);
        auto encoded = encodeSumm(s);
        ASSERT_FALSE(encoded.ok()) << size;
        EXPECT_EQ(encoded.code(), ErrorCode::ModelInvalid);
        EXPECT_EQ(encoded.message(), "SUMM thumbnail must be exactly 256 bytes (128 int8 min/max pairs); got " +
                                         std::to_string(size));
    }
}

// ---- PEAK ----

Bytes peakPayload(uint16_t points, uint16_t reserved, const Bytes& body) {
    Bytes out = {'P', 'K', 'V', '1', 0, 0, 0, 0};
    storeLe16(out.data() + 4, points);
    storeLe16(out.data() + 6, reserved);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

TEST(PeakCodec, RoundTripsRowsAndEmptyBody) {
    struct Case {
        uint16_t points;
        size_t bodyBytes;
    };
    const Case cases[] = {{512, 1024 * 3}, {512, 0}, {1, 2}, {65535, 131070}};
    for (const auto& c : cases) {
        Bytes body(c.bodyBytes);
        for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i * 13 + 1);
        const Bytes payload = peakPayload(c.points, 0, body);
        auto table = decodePeak(payload);
        ASSERT_TRUE(table.ok()) << c.points << ": " << table.message();
        EXPECT_EQ(table->points_per_sample, c.points);
        EXPECT_EQ(table->peaks, body);
        auto encoded = encodePeak(*table);
        ASSERT_TRUE(encoded.ok());
        EXPECT_EQ(*encoded, payload);
    }
    EXPECT_EQ(hex("50 4B 56 31 00 02 00 00"), peakPayload(512, 0, {}));
}

TEST(PeakCodec, DecodeRefusalsInCheckOrder) {
    const Refusal cases[] = {
        {"empty", {}, "PEAK payload shorter than 8 bytes"},
        {"seven bytes", hex("50 4B 56 31 00 02 00"), "PEAK payload shorter than 8 bytes"},
        // Magic checked before everything after it.
        {"bad magic, zero points", hex("50 4B 56 32 00 00 01 00 00"), "PEAK magic mismatch (want 'PKV1')"},
        // Points checked before the reserved field.
        {"zero points, bad reserved", peakPayload(0, 1, {}), "PEAK points_per_sample is 0"},
        {"bad reserved, bad body", peakPayload(512, 1, Bytes(3)), "PEAK reserved field must be 0"},
        {"body 1025 x 3", peakPayload(512, 0, Bytes(1025 * 3)),
         "PEAK body 3075 bytes is not a multiple of the per-sample stride 1024"},
        {"odd body, one point", peakPayload(1, 0, Bytes(3)),
         "PEAK body 3 bytes is not a multiple of the per-sample stride 2"},
    };
    for (const auto& c : cases) {
        auto table = decodePeak(c.payload);
        ASSERT_FALSE(table.ok()) << c.label;
        EXPECT_EQ(table.code(), ErrorCode::ModelInvalid) << c.label;
        EXPECT_EQ(table.message(), c.message) << c.label;
    }
}

TEST(PeakCodec, EncodeRefusals) {
    struct Case {
        uint16_t points;
        size_t bodyBytes;
        const char* message;
    };
    const Case cases[] = {
        {0, 4, "PEAK points_per_sample must be nonzero"},
        {0, 0, "PEAK points_per_sample must be nonzero"},
        {512, 1023, "PEAK data size 1023 is not a multiple of the per-sample stride 1024"},
        {2, 6, "PEAK data size 6 is not a multiple of the per-sample stride 4"},
    };
    for (const auto& c : cases) {
        PeakTable table;
        table.points_per_sample = c.points;
        table.peaks.assign(c.bodyBytes, 0);
        auto encoded = encodePeak(table);
        ASSERT_FALSE(encoded.ok()) << c.message;
        EXPECT_EQ(encoded.code(), ErrorCode::ModelInvalid);
        EXPECT_EQ(encoded.message(), c.message);
    }
}

} // namespace
} // namespace vt6::fmt
