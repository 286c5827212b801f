#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "format/cbor.hpp"
#include "format/lgcy.hpp"

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::hex;

TEST(LgcyCodec, EmptyRecordIsFiveBytes) {
    const Bytes payload = hex("A2 01 40 02 40");
    auto record = decodeLgcy(payload);
    ASSERT_TRUE(record.ok()) << record.message();
    EXPECT_EQ(*record, LegacyProvenance{});
    auto encoded = encodeLgcy(*record);
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(*encoded, payload);

    // Keys 1 and 2 are written even when the input lacked them.
    auto bare = decodeLgcy(hex("A0"));
    ASSERT_TRUE(bare.ok());
    EXPECT_EQ(*bare, LegacyProvenance{});
}

TEST(LgcyCodec, EveryFieldAndUnknownKeysRoundTrip) {
    // {0: -1, 1: "Zem_v4.0", 2: h'0102', 3: h'00..0F', 4: ["a", ""], 5: {1: 2}, 300: [true]}
    const Bytes payload = hex(
        "A7 00 20"
        " 01 48 5A 65 6D 5F 76 34 2E 30"
        " 02 42 01 02"
        " 03 50 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"
        " 04 82 61 61 60"
        " 05 A1 01 02"
        " 19 01 2C 81 F5");
    auto record = decodeLgcy(payload);
    ASSERT_TRUE(record.ok()) << record.message();
    EXPECT_EQ(record->version_magic, Bytes({'Z', 'e', 'm', '_', 'v', '4', '.', '0'}));
    EXPECT_EQ(record->header_bytes, hex("01 02"));
    ASSERT_TRUE(record->source_file_blake2b128.has_value());
    EXPECT_EQ((*record->source_file_blake2b128)[15], 0x0F);
    EXPECT_EQ(record->warnings, (std::vector<std::string>{"a", ""}));
    const ExtensionList extensions = {{0, hex("20")}, {5, hex("A1 01 02")}, {300, hex("81 F5")}};
    EXPECT_EQ(record->extensions, extensions);

    auto encoded = encodeLgcy(*record);
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(*encoded, payload);
}

TEST(LgcyCodec, WarningsWrittenOnlyWhenPresent) {
    LegacyProvenance none;
    auto noneBytes = encodeLgcy(none);
    ASSERT_TRUE(noneBytes.ok());
    EXPECT_EQ(*noneBytes, hex("A2 01 40 02 40"));

    LegacyProvenance oneEmpty;
    oneEmpty.warnings = {""};
    auto oneBytes = encodeLgcy(oneEmpty);
    ASSERT_TRUE(oneBytes.ok());
    EXPECT_EQ(*oneBytes, hex("A3 01 40 02 40 04 81 60"));
}

TEST(LgcyCodec, DecodeRefusals) {
    struct Case {
        const char* payload;
        ErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {"A1 03 54 000102030405060708090A0B0C0D0E0F10111213", ErrorCode::ModelInvalid,
         "LGCY source_file_blake2b128 must be 16 bytes (got 20)"},
        {"A1 03 40", ErrorCode::ModelInvalid, "LGCY source_file_blake2b128 must be 16 bytes (got 0)"},
        {"A1 04 82 61 61 01", ErrorCode::CborType, "expected text string"},
        {"A1 04 61 61", ErrorCode::CborType, "expected array"},
        {"A1 01 60", ErrorCode::CborType, "expected byte string"},
        {"A1 02 01", ErrorCode::CborType, "expected byte string"},
        {"80", ErrorCode::CborType, "expected map"},
        {"A2 02 40 01 40", ErrorCode::CborNonCanonical, "map keys not in ascending order"},
        {"A2 05 00 05 00", ErrorCode::CborDuplicateKey, "duplicate map key"},
        {"A2 01 40", ErrorCode::CborNonCanonical, "truncated CBOR item"},
        {"A1 01 40 00", ErrorCode::CborNonCanonical, "trailing bytes after CBOR value"},
        // A count within the warning limit fails at the first missing element.
        {"A1 04 99 40 00 60", ErrorCode::CborNonCanonical, "truncated CBOR item"},
    };
    for (const auto& c : cases) {
        auto record = decodeLgcy(hex(c.payload));
        ASSERT_FALSE(record.ok()) << c.payload;
        EXPECT_EQ(record.code(), c.code) << c.payload;
        EXPECT_EQ(record.message(), c.message) << c.payload;
    }
}

TEST(LgcyCodec, ExtensionRepeatingAFieldKeyIsRefusedOnEncode) {
    LegacyProvenance record;
    record.extensions = {{2, hex("40")}};
    auto encoded = encodeLgcy(record);
    ASSERT_FALSE(encoded.ok());
    EXPECT_EQ(encoded.code(), ErrorCode::ModelInvalid);
}

TEST(LgcyCodec, WarningCountIsLimitedBeforeAnyIsDecoded) {
    const auto warnings = [](uint64_t count) {
        CborWriter w;
        w.beginMap(1);
        w.writeUint(4);
        w.beginArray(count);
        for (uint64_t i = 0; i < count; ++i) w.writeText("");
        return w.take();
    };
    auto atLimit = decodeLgcy(warnings(kMaxLegacyWarnings));
    ASSERT_TRUE(atLimit.ok()) << atLimit.message();
    EXPECT_EQ(atLimit->warnings.size(), kMaxLegacyWarnings);

    const struct {
        const char* what;
        Bytes payload;
        std::string message;
    } cases[] = {
        {"one past the limit", warnings(kMaxLegacyWarnings + 1),
         "LGCY declares 16385 conversion warnings; the current limit is 16384"},
        {"forged count without elements", hex("A1 04 9B FF FF FF FF FF FF FF FF"),
         "LGCY declares 18446744073709551615 conversion warnings; the current limit is 16384"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto r = decodeLgcy(c.payload);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), ErrorCode::MetadataPolicyBytes);
        EXPECT_EQ(r.message(), c.message);
    }
}

TEST(LgcyCodec, LongExtensionListsDecodeWhole) {
    CborWriter w;
    w.beginMap(300);
    for (uint64_t key = 5; key < 305; ++key) {
        w.writeUint(key);
        w.writeText("x");
    }
    auto r = decodeLgcy(w.bytes());
    ASSERT_TRUE(r.ok()) << r.message();
    ASSERT_EQ(r->extensions.size(), 300u);
    EXPECT_EQ(r->extensions.back().key, 304u);

    auto cut = decodeLgcy(hex("B9 FF FF 05 00"));
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.message(), "truncated CBOR item");
}

} // namespace
} // namespace vt6::fmt
