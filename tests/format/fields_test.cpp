#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "format/cbor.hpp"
#include "format/fields.hpp"

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::hex;

TEST(FieldsExtensionPair, CopiesWholeNestedItemAndLeavesReaderAfterIt) {
    // {1: {2: [3, "a"]}, 9: 0}: the pair under key 1 must be the whole inner
    // map, head included, and the reader must go on at key 9.
    const Bytes input = hex("A2 01 A1 02 82 03 61 61 09 00");
    CborReader reader(input);
    ASSERT_TRUE(reader.enterMap().ok());
    auto key = reader.nextMapKey();
    ASSERT_TRUE(key.ok());
    ASSERT_EQ(**key, 1u);
    auto pair = readExtensionPair(reader, 1);
    ASSERT_TRUE(pair.ok()) << pair.message();
    EXPECT_EQ(pair->key, 1u);
    EXPECT_EQ(pair->bytes, hex("A1 02 82 03 61 61"));

    auto next = reader.nextMapKey();
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(**next, 9u);

    // Written back among known keys it reproduces the input.
    CborMapBuilder builder;
    builder.addMapPair(9, encodeCborUint(0));
    addExtensionPairs(builder, {*pair});
    auto map = builder.writeCanonicalMap();
    ASSERT_TRUE(map.ok());
    EXPECT_EQ(*map, input);
}

TEST(FieldsExtensionPair, RefusesAMalformedItem) {
    const Bytes input = hex("F8 20");
    CborReader reader(input);
    auto pair = readExtensionPair(reader, 4);
    ASSERT_FALSE(pair.ok());
    EXPECT_EQ(pair.code(), ErrorCode::CborType);
    EXPECT_EQ(pair.message(), "extended simple value (profile allows false/true only)");
}

TEST(FieldsTextArray, ReadsElementsInOrder) {
    struct Case {
        const char* input;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"80", {}},
        {"83 61 62 60 63 78 79 7A", {"b", "", "xyz"}},
    };
    for (const auto& c : cases) {
        const Bytes input = hex(c.input);
        CborReader reader(input);
        auto texts = readTextArray(reader);
        ASSERT_TRUE(texts.ok()) << c.input << ": " << texts.message();
        EXPECT_EQ(*texts, c.expected) << c.input;
        EXPECT_TRUE(reader.finish().ok()) << c.input;
    }
}

struct Refusal {
    const char* input;
    ErrorCode code;
    const char* message;
};

TEST(FieldsTextArray, Refusals) {
    const Refusal cases[] = {
        {"81 01", ErrorCode::CborType, "expected text string"},
        {"61 61", ErrorCode::CborType, "expected array"},
        {"82 61 61", ErrorCode::CborNonCanonical, "truncated CBOR item"},
        // A forged count with no elements behind it fails, without allocating.
        {"9B FF FF FF FF FF FF FF FF 60", ErrorCode::CborNonCanonical, "truncated CBOR item"},
    };
    for (const auto& c : cases) {
        const Bytes input = hex(c.input);
        CborReader reader(input);
        auto texts = readTextArray(reader);
        ASSERT_FALSE(texts.ok()) << c.input;
        EXPECT_EQ(texts.code(), c.code) << c.input;
        EXPECT_EQ(texts.message(), c.message) << c.input;
    }
}

TEST(FieldsHash16, ReadsSixteenBytes) {
    const Bytes input = hex("50 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F");
    CborReader reader(input);
    auto hash = readHash16(reader, "X hash");
    ASSERT_TRUE(hash.ok()) << hash.message();
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ((*hash)[i], i);
}

TEST(FieldsHash16, Refusals) {
    const Refusal cases[] = {
        {"40", ErrorCode::ModelInvalid, "X hash must be 16 bytes (got 0)"},
        {"4F 000102030405060708090A0B0C0D0E", ErrorCode::ModelInvalid, "X hash must be 16 bytes (got 15)"},
        {"51 000102030405060708090A0B0C0D0E0F10", ErrorCode::ModelInvalid,
         "X hash must be 16 bytes (got 17)"},
        {"70 000102030405060708090A0B0C0D0E0F", ErrorCode::CborType, "expected byte string"},
        {"50 0001", ErrorCode::CborNonCanonical, "truncated CBOR item"},
    };
    for (const auto& c : cases) {
        const Bytes input = hex(c.input);
        CborReader reader(input);
        auto hash = readHash16(reader, "X hash");
        ASSERT_FALSE(hash.ok()) << c.input;
        EXPECT_EQ(hash.code(), c.code) << c.input;
        EXPECT_EQ(hash.message(), c.message) << c.input;
    }
}

TEST(FieldsTextValue, CopiesTextAndRefusesOtherTypes) {
    const Bytes text = hex("63 C3 A9 61");  // "éa", UTF-8 kept as bytes
    CborReader reader(text);
    auto value = readTextValue(reader);
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(*value, "\xC3\xA9\x61");

    const Bytes bytes = hex("41 61");
    CborReader other(bytes);
    auto refused = readTextValue(other);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.code(), ErrorCode::CborType);
    EXPECT_EQ(refused.message(), "expected text string");
}

TEST(FieldsExtensionList, LookupTakesFirstAndSetReplacesOrAppends) {
    ExtensionList list = {{7, {0x01}}, {3, {0x02}}, {7, {0x03}}};
    ASSERT_NE(findExtension(list, 7), nullptr);
    EXPECT_EQ(findExtension(list, 7)->bytes, Bytes{0x01});
    EXPECT_EQ(findExtension(list, 8), nullptr);

    setExtension(list, 3, {0x04});
    setExtension(list, 9, {0x05});
    const ExtensionList expected = {{7, {0x01}}, {3, {0x04}}, {7, {0x03}}, {9, {0x05}}};
    EXPECT_EQ(list, expected);
}

} // namespace
} // namespace vt6::fmt
