#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "format/cbor.hpp"
#include "format/smpl.hpp"

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::hex;
using test::concat;

// A one-row payload around the given map contents.
Bytes oneRow(const std::string& mapHex) { return hex("81 " + mapHex); }

Digest128 sequenceHash() {
    Digest128 h{};
    for (size_t i = 0; i < h.size(); ++i) h[i] = static_cast<uint8_t>(0xA0 + i);
    return h;
}

TEST(SmplEntryCodec, MinimalRowHasEveryOptionalFieldAbsentAndRoundTrips) {
    const Bytes payload = oneRow("A2 01 05 13 07");
    auto rows = decodeSmpl(payload);
    ASSERT_TRUE(rows.ok()) << rows.message();
    ASSERT_EQ(rows->size(), 1u);
    SmplEntry expected;
    expected.uid = 5;
    expected.audi_uid = 7;
    EXPECT_EQ((*rows)[0], expected);

    auto encoded = encodeSmpl(*rows);
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(*encoded, payload);
}

// Each field under its own key: the value lands in the right member and is
// written back under the same key with the same bytes.
TEST(SmplEntryCodec, EachFieldMapsToItsKey) {
    struct Case {
        uint64_t key;
        const char* value;
        std::function<bool(const SmplEntry&)> check;
    };
    const Case cases[] = {
        {2, "63 6B 69 6B", [](const SmplEntry& r) { return r.name == "kik"; }},
        {3, "03", [](const SmplEntry& r) { return r.layer == 3u; }},
        {4, "04", [](const SmplEntry& r) { return r.articulation == 4u; }},
        {5, "05", [](const SmplEntry& r) { return r.band == 5u; }},
        {6, "06", [](const SmplEntry& r) { return r.take == 6u; }},
        {8, "1A 00 05 DC 00", [](const SmplEntry& r) { return r.sample_rate == 384000u; }},
        {9, "18 18", [](const SmplEntry& r) { return r.bits == 24u; }},
        {10, "02", [](const SmplEntry& r) { return r.channels == 2u; }},
        {11, "1B 00 00 00 01 00 00 00 00", [](const SmplEntry& r) { return r.frames == (1ull << 32); }},
        {12, "F9 3E 00", [](const SmplEntry& r) { return r.peak == 1.5; }},
        {13, "FA 47 C3 50 00", [](const SmplEntry& r) { return r.rms == 100000.0; }},
        {14, "FB 3F B9 99 99 99 99 99 9A", [](const SmplEntry& r) { return r.opaque_float_14 == 0.1; }},
        {15, "F9 80 00", [](const SmplEntry& r) { return r.opaque_float_15 && *r.opaque_float_15 == 0.0; }},
        {17, "F5", [](const SmplEntry& r) { return r.muted == true; }},
        {18, "F4", [](const SmplEntry& r) { return r.soloed == false; }},
        {20, "50 A0A1A2A3A4A5A6A7A8A9AAABACADAEAF",
         [](const SmplEntry& r) { return r.plain_hash == sequenceHash(); }},
        {21, "15", [](const SmplEntry& r) { return r.room_owner_uid == 21u; }},
        {22, "01", [](const SmplEntry& r) { return r.codec == 1u; }},
        {23, "17", [](const SmplEntry& r) { return r.legacy_sample_number == 23u; }},
        {24, "18 63", [](const SmplEntry& r) { return r.audt_uid == 99u; }},
        {25, "19 10 00", [](const SmplEntry& r) { return r.head_frames == 4096u; }},
        {27, "00", [](const SmplEntry& r) { return r.playback_start == 0u; }},
        {28, "19 01 00", [](const SmplEntry& r) { return r.playback_end == 256u; }},
    };
    for (const auto& c : cases) {
        CborWriter keyWriter;
        keyWriter.writeUint(c.key);
        const Bytes item = hex(c.value);
        Bytes row = hex("A3 01 01");
        if (c.key < 19) {
            row = concat({row, keyWriter.bytes(), item, hex("13 02")});
        } else {
            row = concat({row, hex("13 02"), keyWriter.bytes(), item});
        }
        const Bytes payload = concat({hex("81"), row});
        auto rows = decodeSmpl(payload);
        ASSERT_TRUE(rows.ok()) << "key " << c.key << ": " << rows.message();
        const SmplEntry& r = (*rows)[0];
        EXPECT_TRUE(c.check(r)) << "key " << c.key;
        EXPECT_TRUE(r.extensions.empty()) << "key " << c.key;
        auto encoded = encodeSmpl(*rows);
        ASSERT_TRUE(encoded.ok());
        EXPECT_EQ(*encoded, payload) << "key " << c.key;
    }
}

TEST(SmplEntryCodec, EveryFieldPresentRoundTripsInKeyOrder) {
    SmplEntry row;
    row.uid = 1000;
    row.name = "Snare center 3";
    row.layer = 1;
    row.articulation = 2;
    row.band = 3;
    row.take = 4;
    row.sample_rate = 48000;
    row.bits = 24;
    row.channels = 2;
    row.frames = 96000;
    row.peak = 0.75;
    row.rms = 0.2;
    row.opaque_float_14 = -1.0;
    row.opaque_float_15 = 3.25;
    row.muted = false;
    row.soloed = true;
    row.audi_uid = 1001;
    row.plain_hash = sequenceHash();
    row.room_owner_uid = 998;
    row.codec = 1;
    row.legacy_sample_number = 12;
    row.audt_uid = 1002;
    row.head_frames = 4410;
    row.playback_start = 10;
    row.playback_end = 95000;
    row.extensions = {{26, encodeCborUintTriple(1, 2, 3)}, {1003, encodeCborTrue()}};

    auto bytes = encodeSmplEntry(row);
    ASSERT_TRUE(bytes.ok());
    // Keys come out strictly ascending (the reader refuses anything else) and
    // every field comes back.
    CborReader reader(*bytes);
    auto decoded = decodeSmplEntry(reader);
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_TRUE(reader.finish().ok());
    EXPECT_EQ(*decoded, row);

    // 25 named fields plus 2 extensions, 7 and 16 never written.
    CborReader keys(*bytes);
    auto pairs = keys.enterMap();
    ASSERT_TRUE(pairs.ok());
    EXPECT_EQ(*pairs, 27u);
}

TEST(SmplEntryCodec, DropsKeys7And16AndKeepsUnknownKeysInPlace) {
    // {1:1, 7:[-1], 16:{1:"x"}, 19:2, 26:[4,5,6], 40:-2, 1002:[1,true]}
    const Bytes payload = oneRow(
        "A7 01 01 07 81 20 10 A1 01 61 78 13 02 18 1A 83 04 05 06 18 28 21 19 03 EA 82 01 F5");
    auto rows = decodeSmpl(payload);
    ASSERT_TRUE(rows.ok()) << rows.message();
    const SmplEntry& row = (*rows)[0];
    const ExtensionList expected = {
        {26, hex("83 04 05 06")}, {40, hex("21")}, {1002, hex("82 01 F5")}};
    EXPECT_EQ(row.extensions, expected);

    auto encoded = encodeSmpl(*rows);
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(*encoded, oneRow("A5 01 01 13 02 18 1A 83 04 05 06 18 28 21 19 03 EA 82 01 F5"));
}

TEST(SmplEntryCodec, ExtensionsInterleaveWithKnownKeys) {
    // Unknown key 0 sorts before uid, 26 between 25 and 27.
    SmplEntry row;
    row.uid = 1;
    row.audi_uid = 2;
    row.head_frames = 3;
    row.playback_start = 4;
    row.extensions = {{0, hex("60")}, {26, hex("80")}};
    auto bytes = encodeSmplEntry(row);
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(*bytes, hex("A6 00 60 01 01 13 02 18 19 03 18 1A 80 18 1B 04"));
}

TEST(SmplEntryCodec, ExtensionRepeatingAFieldKeyIsRefusedOnEncode) {
    SmplEntry row;
    row.uid = 1;
    row.audi_uid = 2;
    row.extensions = {{19, encodeCborUint(3)}};
    auto bytes = encodeSmplEntry(row);
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.code(), ErrorCode::ModelInvalid);
    auto payload = encodeSmpl(&row, 1);
    ASSERT_FALSE(payload.ok());
    EXPECT_EQ(payload.code(), ErrorCode::ModelInvalid);
}

TEST(SmplCodec, RowOrderIsKeptAndEmptyPayloadIsOneByte) {
    auto none = encodeSmpl(nullptr, 0);
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(*none, hex("80"));
    auto decodedNone = decodeSmpl(hex("80"));
    ASSERT_TRUE(decodedNone.ok());
    EXPECT_TRUE(decodedNone->empty());

    const Bytes payload = hex("83 A2 01 09 13 01 A2 01 03 13 02 A2 01 06 13 03");
    auto rows = decodeSmpl(payload);
    ASSERT_TRUE(rows.ok()) << rows.message();
    ASSERT_EQ(rows->size(), 3u);
    EXPECT_EQ((*rows)[0].uid, 9u);
    EXPECT_EQ((*rows)[1].uid, 3u);
    EXPECT_EQ((*rows)[2].uid, 6u);
    auto encoded = encodeSmpl(*rows);
    ASSERT_TRUE(encoded.ok());
    EXPECT_EQ(*encoded, payload);
}

TEST(SmplCodec, Refusals) {
    struct Case {
        const char* payload;
        ErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {"A0", ErrorCode::CborType, "expected array"},
        {"81 80", ErrorCode::CborType, "expected map"},
        {"81 A1 61 61 00", ErrorCode::CborType, "map keys must be unsigned integers"},
        {"81 A2 13 01 01 02", ErrorCode::CborNonCanonical, "map keys not in ascending order"},
        {"81 A3 01 01 01 02 13 03", ErrorCode::CborDuplicateKey, "duplicate map key"},
        {"81 A2 01 61 61 13 01", ErrorCode::CborType, "expected unsigned integer"},
        {"81 A3 01 01 02 01 13 01", ErrorCode::CborType, "expected text string"},
        {"81 A3 01 01 0C 01 13 01", ErrorCode::CborType, "expected float"},
        {"81 A3 01 01 11 01 13 01", ErrorCode::CborType, "expected boolean"},
        {"81 A3 01 01 13 01 14 01", ErrorCode::CborType, "expected byte string"},
        // 1.5 stored as a double instead of its half form.
        {"81 A3 01 01 0C FB 3F F8 00 00 00 00 00 00 13 01", ErrorCode::CborNonCanonical,
         "float not in shortest form (fits single)"},
        {"81 A3 01 01 13 01 14 4F 000102030405060708090A0B0C0D0E", ErrorCode::ModelInvalid,
         "SMPL plain_hash must be 16 bytes (got 15)"},
        {"81 A3 01 01 13 01 14 51 000102030405060708090A0B0C0D0E0F10", ErrorCode::ModelInvalid,
         "SMPL plain_hash must be 16 bytes (got 17)"},
        // A bad hash is reported as it is read, before the missing uid.
        {"81 A2 13 01 14 40", ErrorCode::ModelInvalid, "SMPL plain_hash must be 16 bytes (got 0)"},
        {"81 A1 13 01", ErrorCode::ModelInvalid, "SMPL entry missing uid (key 1)"},
        {"81 A1 02 60", ErrorCode::ModelInvalid, "SMPL entry missing uid (key 1)"},
        {"81 A1 01 18 2A", ErrorCode::ModelInvalid, "SMPL entry uid 42 missing audi_uid (key 19)"},
        // Dropped keys still hold their item to the profile.
        {"81 A3 01 01 07 F8 20 13 01", ErrorCode::CborType,
         "extended simple value (profile allows false/true only)"},
        {"81 A3 01 01 10 C0 00 13 01", ErrorCode::CborTag,
         "CBOR tag encountered \xE2\x80\x94 the restricted profile's tag allowlist is empty"},
        {"81 A3 01 01 13 01 18 28 81 81 81 81 00", ErrorCode::CborDepth, "container nesting exceeds depth 4"},
        {"82 A2 01 01 13 01", ErrorCode::CborNonCanonical, "truncated CBOR item"},
        // A forged row count fails at the first missing row.
        {"9B FF FF FF FF FF FF FF FF A2 01 01 13 01", ErrorCode::CborNonCanonical, "truncated CBOR item"},
        {"81 A2 01 01 13 01 00", ErrorCode::CborNonCanonical, "trailing bytes after CBOR value"},
        {"", ErrorCode::CborNonCanonical, "truncated CBOR item"},
    };
    for (const auto& c : cases) {
        auto rows = decodeSmpl(hex(c.payload));
        ASSERT_FALSE(rows.ok()) << c.payload;
        EXPECT_EQ(rows.code(), c.code) << c.payload;
        EXPECT_EQ(rows.message(), c.message) << c.payload;
    }
}

TEST(SmplEntryCodec, RowCountIsHeldToTheCallersBoundBeforeDecoding) {
    const struct {
        const char* payload;
        uint64_t maxRows;
        bool ok;
        std::string message;
    } cases[] = {
        {"80", 0, true, ""},
        {"82 A2 01 01 13 01 A2 01 02 13 02", 2, true, ""},
        {"82 A2 01 01 13 01 A2 01 02 13 02", 1, false,
         "SMPL declares 2 sample rows; the current limit is 1 (the directory's entry count)"},
        // Refused on the count alone: no row is decoded, however broken.
        {"82 FF FF", 1, false, "SMPL declares 2 sample rows; the current limit is 1 (the directory's entry count)"},
        {"9B FF FF FF FF FF FF FF FF A2 01 01 13 01", 1000000, false,
         "SMPL declares 18446744073709551615 sample rows; the current limit is 1000000 (the directory's entry count)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.payload);
        auto rows = decodeSmpl(hex(c.payload), c.maxRows);
        ASSERT_EQ(rows.ok(), c.ok) << rows.message();
        if (c.ok) {
            EXPECT_EQ(rows->size(), c.maxRows);
        } else {
            EXPECT_EQ(rows.code(), ErrorCode::DirPolicyEntries);
            EXPECT_EQ(rows.message(), c.message);
        }
    }
}

TEST(SmplEntryCodec, LongExtensionListsDecodeWhole) {
    // Past the length where the list is reserved up front; the reservation
    // must neither cut the list nor trust a count the bytes do not hold.
    CborWriter w;
    w.beginArray(1);
    w.beginMap(202);
    w.writeUint(1);
    w.writeUint(1);
    w.writeUint(19);
    w.writeUint(1);
    for (uint64_t key = 100; key < 300; ++key) {
        w.writeUint(key);
        w.writeUint(key);
    }
    auto rows = decodeSmpl(w.bytes(), 1);
    ASSERT_TRUE(rows.ok()) << rows.message();
    ASSERT_EQ((*rows)[0].extensions.size(), 200u);
    EXPECT_EQ((*rows)[0].extensions.back().key, 299u);
    auto again = encodeSmpl(*rows);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, w.bytes());

    auto cut = decodeSmpl(hex("81 B9 FF FF 01 01 13 01"), 1);
    ASSERT_FALSE(cut.ok());
    EXPECT_EQ(cut.message(), "truncated CBOR item");
}

TEST(SmplEntryCodec, DecodeOfOneEntryStopsAfterItsMap) {
    const Bytes input = hex("A2 01 01 13 02 A2 01 03 13 04");
    CborReader reader(input);
    auto first = decodeSmplEntry(reader);
    ASSERT_TRUE(first.ok());
    auto second = decodeSmplEntry(reader);
    ASSERT_TRUE(second.ok());
    EXPECT_EQ(first->audi_uid, 2u);
    EXPECT_EQ(second->uid, 3u);
    EXPECT_TRUE(reader.atEnd());
}

} // namespace
} // namespace vt6::fmt
