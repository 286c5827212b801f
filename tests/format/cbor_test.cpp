#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "format/cbor.hpp"

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::hex;
using test::toHex;

bool sameDouble(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b);
}

const char* const kTagMessage = "CBOR tag encountered — the restricted profile's tag allowlist is empty";

// ---------------------------------------------------------------------------
// Heads

TEST(CborReaderHead, AcceptsEveryArgumentWidthInShortestForm) {
    const struct {
        const char* input;
        uint64_t value;
    } cases[] = {
        {"00", 0},
        {"17", 23},
        {"18 18", 24},
        {"18 FF", 255},
        {"19 01 00", 256},
        {"19 FF FF", 65535},
        {"1A 00 01 00 00", 65536},
        {"1A FF FF FF FF", 4294967295ull},
        {"1B 00 00 00 01 00 00 00 00", 4294967296ull},
        {"1B FF FF FF FF FF FF FF FF", std::numeric_limits<uint64_t>::max()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const Bytes in = hex(c.input);
        CborReader r(in);
        const auto v = r.readUint();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_EQ(*v, c.value);
        EXPECT_TRUE(r.finish().ok());
    }
}

// ---------------------------------------------------------------------------
// Refusals: every message with its code, through the operation that meets it

enum class Op { Value, Uint, Bool, Float, Text, Bytes, Array, MapPairs };

// Drives one operation, then finish; MapPairs enters a map and steps over every pair, so
// that key checks run through nextMapKey rather than skip.
Result<Unit> run(CborReader& r, Op op) {
    switch (op) {
    case Op::Value: ZEM_TRY(r.value()); break;
    case Op::Uint: ZEM_TRY(r.readUint()); break;
    case Op::Bool: ZEM_TRY(r.readBool()); break;
    case Op::Float: ZEM_TRY(r.readFloat()); break;
    case Op::Text: ZEM_TRY(r.readText()); break;
    case Op::Bytes: ZEM_TRY(r.readBytes()); break;
    case Op::Array:  // enters arrays nested as first elements until an empty one
        for (;;) {
            ZEM_TRY_ASSIGN(const uint64_t n, r.enterArray());
            if (n == 0) break;
        }
        break;
    case Op::MapPairs: {
        ZEM_TRY(r.enterMap());
        for (;;) {
            ZEM_TRY_ASSIGN(const auto key, r.nextMapKey());
            if (!key) break;
            ZEM_TRY(r.value());
        }
        break;
    }
    }
    return r.finish();
}

TEST(CborReaderRefusal, EachMessageCarriesItsCode) {
    using E = ErrorCode;
    const char* const trunc = "truncated CBOR item";
    const char* const shortest = "integer/length not in shortest form";
    const char* const indefinite = "indefinite-length item (definite-length only)";
    const char* const nan = "non-canonical NaN (must be f9 7e00)";
    const char* const fitsHalfMsg = "float not in shortest form (fits half)";
    const char* const fitsSingleMsg = "float not in shortest form (fits single)";
    const char* const simple = "unsupported simple value (profile allows false/true only)";
    const char* const extended = "extended simple value (profile allows false/true only)";
    const char* const reserved = "reserved CBOR additional-info value";
    const char* const keyType = "map keys must be unsigned integers";
    const char* const deep = "container nesting exceeds depth 4";
    const struct {
        const char* input;
        Op op;
        ErrorCode code;
        const char* message;
    } cases[] = {
        // Truncation: missing head, argument bytes, string bytes, elements.
        {"", Op::Value, E::CborNonCanonical, trunc},
        {"", Op::Uint, E::CborNonCanonical, trunc},
        {"62 61", Op::Text, E::CborNonCanonical, trunc},
        {"62 61", Op::Value, E::CborNonCanonical, trunc},
        {"42 00", Op::Bytes, E::CborNonCanonical, trunc},
        {"19 01", Op::Uint, E::CborNonCanonical, trunc},
        {"FA 3F 80", Op::Float, E::CborNonCanonical, trunc},
        {"1B 00 00 00 01 00 00 00", Op::Value, E::CborNonCanonical, trunc},
        {"81", Op::Value, E::CborNonCanonical, trunc},
        {"82 00", Op::Value, E::CborNonCanonical, trunc},
        {"A1 01", Op::Value, E::CborNonCanonical, trunc},
        {"A1 01", Op::MapPairs, E::CborNonCanonical, trunc},
        {"A2 01 00", Op::MapPairs, E::CborNonCanonical, trunc},
        // Declared sizes far beyond the input fail on the missing bytes.
        {"9B 7F FF FF FF FF FF FF FF 00", Op::Value, E::CborNonCanonical, trunc},
        {"BB FF FF FF FF FF FF FF FF 00 00", Op::Value, E::CborNonCanonical, trunc},
        {"5B 00 00 00 01 00 00 00 00 00", Op::Value, E::CborNonCanonical, trunc},
        {"7B FF FF FF FF FF FF FF FF 61", Op::Text, E::CborNonCanonical, trunc},
        // Shortest form holds for every major type that carries a number.
        {"18 17", Op::Uint, E::CborNonCanonical, shortest},
        {"19 00 FF", Op::Uint, E::CborNonCanonical, shortest},
        {"1A 00 00 FF FF", Op::Uint, E::CborNonCanonical, shortest},
        {"1B 00 00 00 00 FF FF FF FF", Op::Uint, E::CborNonCanonical, shortest},
        {"38 17", Op::Value, E::CborNonCanonical, shortest},
        {"58 00", Op::Bytes, E::CborNonCanonical, shortest},
        {"79 00 05 61 61 61 61 61", Op::Text, E::CborNonCanonical, shortest},
        {"98 01 00", Op::Array, E::CborNonCanonical, shortest},
        {"B8 00", Op::MapPairs, E::CborNonCanonical, shortest},
        {"A1 18 01 00", Op::MapPairs, E::CborNonCanonical, shortest},
        // Indefinite lengths and the break byte.
        {"5F", Op::Value, E::CborNonCanonical, indefinite},
        {"7F", Op::Text, E::CborNonCanonical, indefinite},
        {"9F", Op::Array, E::CborNonCanonical, indefinite},
        {"BF", Op::MapPairs, E::CborNonCanonical, indefinite},
        {"FF", Op::Value, E::CborNonCanonical, indefinite},
        // NaN: only F9 7E00.
        {"F9 7E 01", Op::Float, E::CborNonCanonical, nan},
        {"F9 FE 00", Op::Float, E::CborNonCanonical, nan},
        {"F9 7C 01", Op::Float, E::CborNonCanonical, nan},
        {"F9 FF FF", Op::Value, E::CborNonCanonical, nan},
        {"FA 7F C0 00 00", Op::Float, E::CborNonCanonical, nan},
        {"FA 7F 80 00 01", Op::Value, E::CborNonCanonical, nan},
        {"FB 7F F8 00 00 00 00 00 00", Op::Float, E::CborNonCanonical, nan},
        // Floats wider than they need.
        {"FA 3F 80 00 00", Op::Float, E::CborNonCanonical, fitsHalfMsg},
        {"FA 80 00 00 00", Op::Float, E::CborNonCanonical, fitsHalfMsg},
        {"FA 7F 80 00 00", Op::Float, E::CborNonCanonical, fitsHalfMsg},
        {"FA 33 80 00 00", Op::Value, E::CborNonCanonical, fitsHalfMsg},
        {"FB 3F F8 00 00 00 00 00 00", Op::Float, E::CborNonCanonical, fitsSingleMsg},
        {"FB 00 00 00 00 00 00 00 00", Op::Float, E::CborNonCanonical, fitsSingleMsg},
        {"FB FF F0 00 00 00 00 00 00", Op::Value, E::CborNonCanonical, fitsSingleMsg},
        // Map keys, through skip and through nextMapKey.
        {"A2 02 00 01 00", Op::Value, E::CborNonCanonical, "map keys not in ascending order"},
        {"A2 02 00 01 00", Op::MapPairs, E::CborNonCanonical, "map keys not in ascending order"},
        {"A2 01 00 01 00", Op::Value, E::CborDuplicateKey, "duplicate map key"},
        {"A2 01 00 01 00", Op::MapPairs, E::CborDuplicateKey, "duplicate map key"},
        {"A1 61 61 00", Op::Value, E::CborType, keyType},
        {"A1 61 61 00", Op::MapPairs, E::CborType, keyType},
        {"A1 20 00", Op::Value, E::CborType, keyType},
        {"A2 01 00 F4 00", Op::MapPairs, E::CborType, keyType},
        // Depth, counted over every open container, skipped or entered.
        {"81 81 81 81 81 00", Op::Value, E::CborDepth, deep},
        {"81 81 81 81 81 00", Op::Array, E::CborDepth, deep},
        {"A1 00 81 A1 00 81 A0", Op::Value, E::CborDepth, deep},
        {"A1 00 81 81 81 81 00", Op::MapPairs, E::CborDepth, deep},
        // Simple values, reserved ai and tags.
        {"F6", Op::Value, E::CborType, simple},
        {"F7", Op::Bool, E::CborType, simple},
        {"E0", Op::Value, E::CborType, simple},
        {"F3", Op::Value, E::CborType, simple},
        {"F8 20", Op::Value, E::CborType, extended},
        {"F8", Op::Bool, E::CborType, extended},
        {"1C", Op::Uint, E::CborType, reserved},
        {"1D", Op::Value, E::CborType, reserved},
        {"5E", Op::Value, E::CborType, reserved},
        {"FC", Op::Float, E::CborType, reserved},
        {"C0 00", Op::Value, E::CborTag, kTagMessage},
        {"D8 20 00", Op::Uint, E::CborTag, kTagMessage},
        {"DF", Op::Value, E::CborTag, kTagMessage},
        {"82 00 C1 00", Op::Value, E::CborTag, kTagMessage},
        // Type checks of the typed reads: no integer where a float is read,
        // no float where an integer is read.
        {"20", Op::Uint, E::CborType, "expected unsigned integer"},
        {"F9 3C 00", Op::Uint, E::CborType, "expected unsigned integer"},
        {"00", Op::Bool, E::CborType, "expected boolean"},
        {"F9 3C 00", Op::Bool, E::CborType, "expected boolean"},
        {"01", Op::Float, E::CborType, "expected float"},
        {"F5", Op::Float, E::CborType, "expected float"},
        {"41 00", Op::Text, E::CborType, "expected text string"},
        {"61 61", Op::Bytes, E::CborType, "expected byte string"},
        {"A0", Op::Array, E::CborType, "expected array"},
        {"80", Op::MapPairs, E::CborType, "expected map"},
        // Whole payload.
        {"00 00", Op::Uint, E::CborNonCanonical, "trailing bytes after CBOR value"},
        {"00 00", Op::Value, E::CborNonCanonical, "trailing bytes after CBOR value"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("input ") + c.input + ", op " + std::to_string(static_cast<int>(c.op)));
        const Bytes in = hex(c.input);
        CborReader r(in);
        const auto result = run(r, c.op);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), c.code);
        EXPECT_EQ(result.message(), c.message);
    }
}

TEST(CborReaderRefusal, ExtendedSimpleIsRefusedBeforeItsMissingByte) {
    // F8 alone: the simple-value law comes before the truncation check.
    const Bytes in = hex("F8");
    CborReader r(in);
    EXPECT_EQ(r.value().message(), "extended simple value (profile allows false/true only)");
}

TEST(CborReaderAccept, ValueReturnsTheWholeItemForEveryAcceptedKind) {
    const char* const cases[] = {
        "00",
        "20",                          // negative integers are stepped over
        "3B FF FF FF FF FF FF FF FF",  // and may use every width
        "F4",
        "F5",
        "F9 7E 00",
        "FA 47 C3 50 00",
        "FB 3F B9 99 99 99 99 99 9A",
        "60",
        "63 61 62 63",
        "40",
        "42 00 FF",
        "80",
        "A0",
        "81 81 81 81 00",
        "A1 00 A1 00 A1 00 A0",
        "A3 00 F4 17 F5 18 18 82 01 61 7A",
        "A2 01 20 1B 00 00 00 01 00 00 00 00 40",
        "82 A0 80",
    };
    for (const char* c : cases) {
        SCOPED_TRACE(c);
        const Bytes in = hex(c);
        CborReader r(in);
        const auto v = r.value();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_EQ(v->data(), in.data());
        EXPECT_EQ(v->size(), in.size());
        EXPECT_TRUE(r.finish().ok());
    }
}

// ---------------------------------------------------------------------------
// Calling order and frames

TEST(CborReaderOrder, FullTraversalOfNestedMapsAndArrays) {
    // {1: [7, "hi"], 2: {3: true}, 4: h'0102', 5: 1.5, 6: []}
    const Bytes in = hex("A5 01 82 07 62 68 69 02 A1 03 F5 04 42 01 02 05 F9 3E 00 06 80");
    CborReader r(in);
    ASSERT_EQ(*r.enterMap(), 5u);
    EXPECT_EQ(**r.nextMapKey(), 1u);
    ASSERT_EQ(*r.enterArray(), 2u);
    EXPECT_EQ(r.depth(), 2u);
    EXPECT_EQ(*r.readUint(), 7u);
    const auto text = r.readText();
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text, "hi");
    EXPECT_EQ(text->data(), reinterpret_cast<const char*>(in.data() + 5));  // a view, not a copy
    EXPECT_EQ(r.depth(), 1u);  // the array closed by itself
    EXPECT_EQ(**r.nextMapKey(), 2u);
    ASSERT_EQ(*r.enterMap(), 1u);
    EXPECT_EQ(**r.nextMapKey(), 3u);
    EXPECT_TRUE(*r.readBool());
    EXPECT_EQ(r.depth(), 2u);  // maps stay open until nextMapKey finds no pair
    EXPECT_FALSE(r.nextMapKey()->has_value());
    EXPECT_EQ(r.depth(), 1u);
    EXPECT_EQ(**r.nextMapKey(), 4u);
    const auto bytes = r.readBytes();
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(bytes->data(), in.data() + 13);
    EXPECT_EQ(toHex(*bytes), "01 02");
    EXPECT_EQ(**r.nextMapKey(), 5u);
    EXPECT_EQ(*r.readFloat(), 1.5);
    EXPECT_EQ(**r.nextMapKey(), 6u);
    EXPECT_EQ(*r.enterArray(), 0u);
    EXPECT_EQ(r.depth(), 1u);  // an empty array opens nothing
    EXPECT_EQ(r.finish().message(), "unterminated container");
    EXPECT_FALSE(r.nextMapKey()->has_value());
    EXPECT_EQ(r.depth(), 0u);
    EXPECT_TRUE(r.atEnd());
    EXPECT_TRUE(r.finish().ok());
}

TEST(CborReaderOrder, EmptyContainers) {
    const Bytes emptyMap = hex("A0");
    CborReader m(emptyMap);
    EXPECT_EQ(*m.enterMap(), 0u);
    EXPECT_EQ(m.depth(), 1u);
    EXPECT_EQ(m.finish().code(), ErrorCode::CborNonCanonical);
    EXPECT_FALSE(m.nextMapKey()->has_value());
    EXPECT_TRUE(m.finish().ok());

    const Bytes emptyArray = hex("80");
    CborReader a(emptyArray);
    EXPECT_EQ(*a.enterArray(), 0u);
    EXPECT_EQ(a.depth(), 0u);
    EXPECT_TRUE(a.finish().ok());
}

TEST(CborReaderOrder, WrongTurnsAreRefused) {
    const auto expectFailure = [](const auto& result, const char* message) {
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), ErrorCode::CborType);
        EXPECT_EQ(result.message(), message);
    };
    const char* const keyExpected = "map key expected (use nextMapKey)";
    const Bytes map = hex("A2 01 02 03 81 04");

    {   // No frame at all, and inside an array.
        const Bytes scalar = hex("00");
        CborReader r(scalar);
        expectFailure(r.nextMapKey(), "nextMapKey outside a map");
        const Bytes arr = hex("82 00 00");
        CborReader a(arr);
        ASSERT_TRUE(a.enterArray().ok());
        expectFailure(a.nextMapKey(), "nextMapKey outside a map");
    }
    {   // Every value operation refuses to stand in for a key.
        using Call = std::function<Result<Unit>(CborReader&)>;
        const Call calls[] = {
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.readUint()); return Unit{}; },
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.readBool()); return Unit{}; },
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.readFloat()); return Unit{}; },
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.readText()); return Unit{}; },
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.readBytes()); return Unit{}; },
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.value()); return Unit{}; },
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.enterArray()); return Unit{}; },
            [](CborReader& r) -> Result<Unit> { ZEM_TRY(r.enterMap()); return Unit{}; },
        };
        for (const Call& call : calls) {
            CborReader r(map);
            ASSERT_TRUE(r.enterMap().ok());
            expectFailure(call(r), keyExpected);
        }
    }
    {   // Two keys in a row, and a value where the next key is due.
        CborReader r(map);
        ASSERT_TRUE(r.enterMap().ok());
        ASSERT_EQ(**r.nextMapKey(), 1u);
        expectFailure(r.nextMapKey(), "map value expected, not a key");
        CborReader s(map);
        ASSERT_TRUE(s.enterMap().ok());
        ASSERT_EQ(**s.nextMapKey(), 1u);
        ASSERT_EQ(*s.readUint(), 2u);
        expectFailure(s.readUint(), keyExpected);
    }
    {   // The turn returns to the map after a nested array closes by itself.
        CborReader r(map);
        ASSERT_TRUE(r.enterMap().ok());
        ASSERT_TRUE(r.nextMapKey().ok());
        ASSERT_TRUE(r.readUint().ok());
        ASSERT_EQ(**r.nextMapKey(), 3u);
        ASSERT_EQ(*r.enterArray(), 1u);
        ASSERT_EQ(*r.readUint(), 4u);
        expectFailure(r.readUint(), keyExpected);
        EXPECT_FALSE(r.nextMapKey()->has_value());
        EXPECT_TRUE(r.finish().ok());
    }
}

TEST(CborReaderOrder, FinishNeedsClosedFramesThenNoTrailingBytes) {
    const Bytes oneTaken = hex("82 00");
    CborReader r(oneTaken);
    ASSERT_EQ(*r.enterArray(), 2u);
    ASSERT_TRUE(r.readUint().ok());
    EXPECT_EQ(r.finish().message(), "unterminated container");
    EXPECT_EQ(r.finish().code(), ErrorCode::CborNonCanonical);

    // An open frame is reported before unread input.
    const Bytes open = hex("82 00 00 00");
    CborReader s(open);
    ASSERT_TRUE(s.enterArray().ok());
    EXPECT_EQ(s.finish().message(), "unterminated container");
}

TEST(CborReaderOrder, NegativeIntegerIsOnlyKeptRaw) {
    const Bytes in = hex("20");
    CborReader r(in);
    EXPECT_EQ(r.readUint().message(), "expected unsigned integer");
    CborReader s(in);
    const auto raw = s.value();
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(toHex(*raw), "20");
}

TEST(CborReaderOrder, DepthCountsFramesAlreadyOpen) {
    const Bytes fourDeep = hex("81 81 81 81 00");
    CborReader r(fourDeep);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(r.enterArray().ok());
    EXPECT_EQ(r.depth(), 4u);
    EXPECT_TRUE(r.readUint().ok());
    EXPECT_TRUE(r.finish().ok());

    // Four levels are fine alone, but not below an open frame.
    const Bytes wrapped = hex("81 81 81 81 81 00");
    CborReader s(wrapped);
    ASSERT_TRUE(s.enterArray().ok());
    const auto v = s.value();
    EXPECT_EQ(v.code(), ErrorCode::CborDepth);
    EXPECT_EQ(v.message(), "container nesting exceeds depth 4");

    // A fifth map through enterMap.
    const Bytes maps = hex("A1 00 A1 00 A1 00 A1 00 A0");
    CborReader m(maps);
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(m.enterMap().ok());
        ASSERT_TRUE(m.nextMapKey().ok());
    }
    EXPECT_EQ(m.enterMap().code(), ErrorCode::CborDepth);
}

TEST(CborReaderOrder, ValueInsideAMapKeepsTheTurn) {
    const Bytes in = hex("A2 01 A1 00 63 61 62 63 02 F4");
    CborReader r(in);
    ASSERT_TRUE(r.enterMap().ok());
    ASSERT_EQ(**r.nextMapKey(), 1u);
    const auto raw = r.value();
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ(raw->data(), in.data() + 2);
    EXPECT_EQ(toHex(*raw), "A1 00 63 61 62 63");
    ASSERT_EQ(**r.nextMapKey(), 2u);
    EXPECT_FALSE(*r.readBool());
    EXPECT_FALSE(r.nextMapKey()->has_value());
    EXPECT_TRUE(r.finish().ok());
}

// ---------------------------------------------------------------------------
// Floats

TEST(CborFloat, ReaderDecodesEachWidthExactly) {
    const struct {
        const char* input;
        double value;
    } cases[] = {
        {"F9 3C 00", 1.0},
        {"F9 3E 00", 1.5},
        {"F9 00 00", 0.0},
        {"F9 80 00", -0.0},
        {"F9 7C 00", std::numeric_limits<double>::infinity()},
        {"F9 FC 00", -std::numeric_limits<double>::infinity()},
        {"F9 7E 00", std::numeric_limits<double>::quiet_NaN()},
        {"F9 00 01", std::ldexp(1.0, -24)},
        {"F9 03 FF", std::ldexp(1023.0, -24)},
        {"F9 04 00", std::ldexp(1.0, -14)},
        {"F9 7B FF", 65504.0},
        {"F9 C0 00", -2.0},
        {"FA 47 C3 50 00", 100000.0},
        {"FA 33 00 00 00", std::ldexp(1.0, -25)},
        {"FA 00 00 00 01", std::ldexp(1.0, -149)},
        {"FA 7F 7F FF FF", static_cast<double>(std::numeric_limits<float>::max())},
        {"FB 3F B9 99 99 99 99 99 9A", 0.1},
        {"FB 7F EF FF FF FF FF FF FF", std::numeric_limits<double>::max()},
        {"FB 00 00 00 00 00 00 00 01", std::numeric_limits<double>::denorm_min()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const Bytes in = hex(c.input);
        CborReader r(in);
        const auto v = r.readFloat();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_TRUE(sameDouble(*v, c.value)) << *v;
        EXPECT_TRUE(r.finish().ok());
    }
}

TEST(CborFloat, WriterPicksTheNarrowestExactWidth) {
    const struct {
        double value;
        const char* encoded;
    } cases[] = {
        {1.0, "F9 3C 00"},
        {100000.0, "FA 47 C3 50 00"},
        {0.1, "FB 3F B9 99 99 99 99 99 9A"},
        {-0.0, "F9 80 00"},
        {0.0, "F9 00 00"},
        {std::numeric_limits<double>::infinity(), "F9 7C 00"},
        {-std::numeric_limits<double>::infinity(), "F9 FC 00"},
        {65504.0, "F9 7B FF"},
        {65520.0, "FA 47 7F F0 00"},  // rounds to a half infinity, so not exact
        {std::ldexp(1.0, -24), "F9 00 01"},
        {std::ldexp(3.0, -24), "F9 00 03"},
        {std::ldexp(1.0, -25), "FA 33 00 00 00"},
        {std::ldexp(1.0, -14), "F9 04 00"},
        {1.0 + std::ldexp(1.0, -10), "F9 3C 01"},
        {1.0 + std::ldexp(1.0, -11), "FA 3F 80 10 00"},
        {-1.5, "F9 BE 00"},
        {1e300, "FB 7E 37 E4 3C 88 00 75 9C"},
        {std::numeric_limits<double>::quiet_NaN(), "F9 7E 00"},
        {-std::numeric_limits<double>::quiet_NaN(), "F9 7E 00"},
        {std::numeric_limits<double>::signaling_NaN(), "F9 7E 00"},
        {std::bit_cast<double>(uint64_t{0x7FF0000000000123}), "F9 7E 00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.encoded);
        EXPECT_EQ(toHex(encodeCborFloat(c.value)), c.encoded);
    }
}

TEST(CborFloat, FitsHalfAndFitsSingle) {
    const struct {
        double value;
        bool half;
        uint16_t halfBits;
        bool single;
    } cases[] = {
        {0.0, true, 0x0000, true},
        {-0.0, true, 0x8000, true},
        {1.0, true, 0x3C00, true},
        {65504.0, true, 0x7BFF, true},
        {std::ldexp(1.0, -24), true, 0x0001, true},
        {-std::ldexp(1023.0, -24), true, 0x83FF, true},
        {std::ldexp(1.0, -15), true, 0x0200, true},
        {-std::numeric_limits<double>::infinity(), true, 0xFC00, true},
        {std::ldexp(1.0, -25), false, 0, true},
        {std::ldexp(3.0, -25), false, 0, true},
        {65520.0, false, 0, true},
        {std::ldexp(1.0, -149), false, 0, true},  // single subnormal
        {0.1, false, 0, false},
        {1e300, false, 0, false},  // beyond single range: refused, not narrowed
        {-1e300, false, 0, false},
        {std::ldexp(1.0, -1074), false, 0, false},
        {std::numeric_limits<double>::quiet_NaN(), false, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        uint16_t bits = 0xABCD;
        EXPECT_EQ(fitsHalf(c.value, &bits), c.half);
        if (c.half) {
            EXPECT_EQ(bits, c.halfBits);
        }
        EXPECT_EQ(fitsSingle(c.value), c.single);
    }
}

// Every half pattern: the reader takes exactly the canonical ones and the
// writer gives back the same two bytes.
TEST(CborFloat, EveryHalfRoundTrips) {
    for (uint32_t bits = 0; bits <= 0xFFFF; ++bits) {
        const Bytes in = {0xF9, static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits)};
        CborReader r(in);
        const auto v = r.readFloat();
        const bool nan = (bits & 0x7C00) == 0x7C00 && (bits & 0x3FF) != 0;
        if (nan && bits != 0x7E00) {
            ASSERT_FALSE(v.ok()) << bits;
            continue;
        }
        ASSERT_TRUE(v.ok()) << bits << ": " << v.message();
        ASSERT_EQ(encodeCborFloat(*v), in) << bits;
    }
}

// Singles and doubles from random bits: an accepted encoding is reproduced by
// the writer; one refused as too wide is written in a narrower form that reads
// back as the same value.
TEST(CborFloat, RandomWideFloatsAreAcceptedExactlyWhenCanonical) {
    std::mt19937_64 rng(0x5EED);
    for (int i = 0; i < 200000; ++i) {
        const uint64_t raw = rng();
        Bytes in;
        double value;
        if (i & 1) {
            uint32_t bits = static_cast<uint32_t>(raw);
            // Half of them get a half's exponent range and short mantissa, so
            // that both outcomes are common.
            if ((raw >> 40) & 1) bits = (bits & 0x80000000u) | ((103u + (raw >> 41) % 40) << 23) | (bits & 0x7FE000u);
            value = std::bit_cast<float>(bits);
            in.push_back(0xFA);
            for (int b = 3; b >= 0; --b) in.push_back(static_cast<uint8_t>(bits >> (8 * b)));
        } else {
            uint64_t bits = raw;
            if ((raw >> 7) & 1) bits &= 0xFFFFFFFFE0000000ull;  // a single's mantissa
            value = std::bit_cast<double>(bits);
            in.push_back(0xFB);
            for (int b = 7; b >= 0; --b) in.push_back(static_cast<uint8_t>(bits >> (8 * b)));
        }
        CborReader r(in);
        const auto v = r.readFloat();
        if (v.ok()) {
            ASSERT_TRUE(sameDouble(*v, value)) << toHex(in);
            ASSERT_EQ(encodeCborFloat(*v), in) << toHex(in);
            continue;
        }
        ASSERT_EQ(v.code(), ErrorCode::CborNonCanonical) << toHex(in);
        if (std::isnan(value)) {
            ASSERT_EQ(v.message(), "non-canonical NaN (must be f9 7e00)");
            continue;
        }
        const Bytes narrower = encodeCborFloat(value);
        ASSERT_LT(narrower.size(), in.size()) << toHex(in) << " " << v.message();
        CborReader back(narrower);
        const auto again = back.readFloat();
        ASSERT_TRUE(again.ok()) << toHex(narrower);
        ASSERT_TRUE(sameDouble(*again, value)) << toHex(narrower);
    }
}

// ---------------------------------------------------------------------------
// Writer

TEST(CborWriter, HeadsUseTheShortestForm) {
    const struct {
        uint8_t major;
        uint64_t argument;
        const char* encoded;
    } cases[] = {
        {0, 0, "00"},
        {0, 23, "17"},
        {0, 24, "18 18"},
        {0, 255, "18 FF"},
        {0, 256, "19 01 00"},
        {0, 65535, "19 FF FF"},
        {0, 65536, "1A 00 01 00 00"},
        {0, 4294967295ull, "1A FF FF FF FF"},
        {0, 4294967296ull, "1B 00 00 00 01 00 00 00 00"},
        {0, std::numeric_limits<uint64_t>::max(), "1B FF FF FF FF FF FF FF FF"},
        {2, 30, "58 1E"},
        {3, 5, "65"},
        {4, 1000, "99 03 E8"},
        {5, 1, "A1"},
    };
    for (const auto& c : cases) {
        CborWriter w;
        w.writeHead(c.major, c.argument);
        EXPECT_EQ(toHex(w.bytes()), c.encoded);
    }
}

TEST(CborWriter, NestedContainersReadBack) {
    CborWriter w;
    w.beginMap(3);
    w.writeUint(1);
    w.beginArray(2);
    w.writeText("ab");
    w.beginArray(0);
    w.writeUint(2);
    w.beginMap(0);
    w.writeUint(3);
    w.writeRaw(hex("82 F4 F5"));
    EXPECT_EQ(toHex(w.bytes()), "A3 01 82 62 61 62 80 02 A0 03 82 F4 F5");
    CborReader r(w.bytes());
    EXPECT_TRUE(r.value().ok());
    EXPECT_TRUE(r.finish().ok());
}

TEST(CborWriter, OneValueEncoders) {
    const std::string longText(300, 'x');
    const struct {
        Bytes encoded;
        std::string expected;
    } cases[] = {
        {encodeCborUint(0), "00"},
        {encodeCborUint(500), "19 01 F4"},
        {encodeCborBool(false), "F4"},
        {encodeCborBool(true), "F5"},
        {encodeCborTrue(), "F5"},
        {encodeCborFloat(1.5), "F9 3E 00"},
        {encodeCborText(""), "60"},
        {encodeCborText("kick"), "64 6B 69 63 6B"},
        {encodeCborBytes(hex("00 FF")), "42 00 FF"},
        {encodeCborBytes({}), "40"},
        {encodeCborTextArray({}), "80"},
        {encodeCborTextArray({"a", "bc"}), "82 61 61 62 62 63"},
        {encodeCborUintArray({1, 24, 256}), "83 01 18 18 19 01 00"},
        {encodeCborUintTriple(0, 1, 70000), "83 00 01 1A 00 01 11 70"},
        {encodeCborPairArray({{1, 2}, {3, 300}}), "82 82 01 02 82 03 19 01 2C"},
        {encodeCborPairArray({}), "80"},
        {encodeCborRecordArray({hex("A1 01 02"), hex("A0")}), "82 A1 01 02 A0"},
        {encodeCborArray2(0), "82 01 00"},
        {encodeCborArray2(4294967295u), "82 01 1A FF FF FF FF"},
    };
    for (const auto& c : cases) EXPECT_EQ(toHex(c.encoded), c.expected);
    const Bytes text = encodeCborText(longText);
    EXPECT_EQ(toHex(ByteView(text).first(3)), "79 01 2C");
    EXPECT_EQ(text.size(), 303u);
}

// ---------------------------------------------------------------------------
// Map builder

TEST(CborMapBuilder, WritesPairsInAscendingKeyOrder) {
    CborMapBuilder b;
    b.addMapPair(5, encodeCborText("five"));
    b.addMapPair(1, encodeCborUint(10));
    b.addMapPair(3, encodeCborTrue());
    const auto out = b.writeCanonicalMap();
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(toHex(*out), "A3 01 0A 03 F5 05 64 66 69 76 65");

    // Numeric order, not insertion or byte-length order, and the reader takes it.
    CborMapBuilder big;
    for (const uint64_t k : std::vector<uint64_t>{4294967296ull, 24, 23, 256, std::numeric_limits<uint64_t>::max(), 0}) {
        big.addMapPair(k, encodeCborUint(k));
    }
    const auto bigOut = big.writeCanonicalMap();
    ASSERT_TRUE(bigOut.ok());
    CborReader r(*bigOut);
    ASSERT_EQ(*r.enterMap(), 6u);
    std::vector<uint64_t> keys;
    while (true) {
        const auto key = r.nextMapKey();
        ASSERT_TRUE(key.ok()) << key.message();
        if (!key->has_value()) break;
        keys.push_back(**key);
        EXPECT_EQ(*r.readUint(), **key);
    }
    EXPECT_TRUE(r.finish().ok());
    EXPECT_EQ(keys, (std::vector<uint64_t>{0, 23, 24, 256, 4294967296ull, std::numeric_limits<uint64_t>::max()}));
}

TEST(CborMapBuilder, EmptyBuilderWritesAnEmptyMap) {
    const auto out = CborMapBuilder().writeCanonicalMap();
    ASSERT_TRUE(out.ok());
    EXPECT_EQ(toHex(*out), "A0");
}

TEST(CborMapBuilder, RefusesARepeatedKey) {
    CborMapBuilder b;
    b.addMapPair(5, encodeCborUint(1));
    b.addMapPair(2, encodeCborUint(2));
    b.addMapPair(5, encodeCborUint(3));
    const auto out = b.writeCanonicalMap();
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.code(), ErrorCode::ModelInvalid);
    EXPECT_EQ(out.message(), "CBOR map repeats key 5");
}

// ---------------------------------------------------------------------------
// Round trip of random canonical values

struct Node {
    enum Kind { Uint, Bool, Float, Text, Bin, Array, Map } kind = Uint;
    uint64_t u = 0;
    double f = 0;
    std::string text;
    std::vector<Node> kids;
    std::vector<uint64_t> keys;  // maps: ascending, one per kid
};

uint64_t randomUint(std::mt19937_64& rng) {
    // Spread over every head width.
    const int bits = static_cast<int>(rng() % 65);
    return bits == 0 ? 0 : rng() >> (64 - bits);
}

Node randomNode(std::mt19937_64& rng, size_t depth) {
    Node n;
    const int kinds = depth < kCborMaxDepth ? 7 : 5;
    n.kind = static_cast<Node::Kind>(rng() % kinds);
    switch (n.kind) {
    case Node::Uint: n.u = randomUint(rng); break;
    case Node::Bool: n.u = rng() & 1; break;
    case Node::Float:
        switch (rng() % 3) {
        case 0: n.f = std::bit_cast<double>(rng()); break;
        case 1: n.f = std::bit_cast<float>(static_cast<uint32_t>(rng())); break;
        default: {
            const Bytes half = {0xF9, static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
            CborReader r(half);
            const auto v = r.readFloat();
            n.f = v.ok() ? *v : std::numeric_limits<double>::quiet_NaN();
        }
        }
        break;
    case Node::Text:
    case Node::Bin:
        n.text.resize(rng() % 40);
        for (char& c : n.text) c = static_cast<char>(rng());
        break;
    case Node::Array:
    case Node::Map: {
        const size_t count = rng() % 5;
        uint64_t key = 0;
        for (size_t i = 0; i < count; ++i) {
            n.kids.push_back(randomNode(rng, depth + 1));
            key += 1 + rng() % 300;
            n.keys.push_back(key);
        }
        break;
    }
    }
    return n;
}

void encode(CborWriter& w, const Node& n) {
    switch (n.kind) {
    case Node::Uint: w.writeUint(n.u); break;
    case Node::Bool: w.writeBool(n.u != 0); break;
    case Node::Float: w.writeFloat(n.f); break;
    case Node::Text: w.writeText(n.text); break;
    case Node::Bin: w.writeBytes(ByteView(reinterpret_cast<const uint8_t*>(n.text.data()), n.text.size())); break;
    case Node::Array:
        w.beginArray(n.kids.size());
        for (const Node& k : n.kids) encode(w, k);
        break;
    case Node::Map:
        w.beginMap(n.kids.size());
        for (size_t i = 0; i < n.kids.size(); ++i) {
            w.writeUint(n.keys[i]);
            encode(w, n.kids[i]);
        }
        break;
    }
}

// Reads the item the expected node describes and compares as it goes.
void decodeAndCompare(CborReader& r, const Node& n) {
    switch (n.kind) {
    case Node::Uint: {
        const auto v = r.readUint();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_EQ(*v, n.u);
        break;
    }
    case Node::Bool: {
        const auto v = r.readBool();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_EQ(*v, n.u != 0);
        break;
    }
    case Node::Float: {
        const auto v = r.readFloat();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_TRUE(sameDouble(*v, n.f)) << *v << " vs " << n.f;
        break;
    }
    case Node::Text: {
        const auto v = r.readText();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_EQ(*v, n.text);
        break;
    }
    case Node::Bin: {
        const auto v = r.readBytes();
        ASSERT_TRUE(v.ok()) << v.message();
        EXPECT_EQ(std::string(v->begin(), v->end()), n.text);
        break;
    }
    case Node::Array: {
        const auto count = r.enterArray();
        ASSERT_TRUE(count.ok()) << count.message();
        ASSERT_EQ(*count, n.kids.size());
        for (const Node& k : n.kids) decodeAndCompare(r, k);
        break;
    }
    case Node::Map: {
        const auto count = r.enterMap();
        ASSERT_TRUE(count.ok()) << count.message();
        ASSERT_EQ(*count, n.kids.size());
        for (size_t i = 0; i < n.kids.size(); ++i) {
            const auto key = r.nextMapKey();
            ASSERT_TRUE(key.ok() && key->has_value()) << key.message();
            EXPECT_EQ(**key, n.keys[i]);
            decodeAndCompare(r, n.kids[i]);
        }
        const auto end = r.nextMapKey();
        ASSERT_TRUE(end.ok() && !end->has_value());
        break;
    }
    }
}

TEST(CborRoundTrip, RandomValuesDecodeToWhatWasEncoded) {
    std::mt19937_64 rng(20240611);
    for (int i = 0; i < 2000; ++i) {
        const Node n = randomNode(rng, 0);
        CborWriter w;
        encode(w, n);
        const Bytes bytes = w.take();
        SCOPED_TRACE(toHex(bytes));

        CborReader typed(bytes);
        decodeAndCompare(typed, n);
        ASSERT_FALSE(HasFailure());
        EXPECT_TRUE(typed.finish().ok());

        CborReader raw(bytes);
        const auto whole = raw.value();
        ASSERT_TRUE(whole.ok()) << whole.message();
        EXPECT_EQ(whole->size(), bytes.size());
        EXPECT_TRUE(raw.finish().ok());

        // Kept raw and written back, a value survives unchanged.
        CborWriter again;
        again.writeRaw(*whole);
        EXPECT_EQ(again.bytes(), bytes);
    }
}

} // namespace
} // namespace vt6::fmt
