#include "format/mtad.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::hex;
using test::toHex;

// Tail shared by most fixtures: keys 23 (next_uid 1) and 24 (head_bytes 0).
constexpr const char* kDefaultMtad = "A3 01 01 17 01 18 18 00";

// Every key the codec knows, each with a distinct value, plus unknown keys at
// the top level, in each table and in each sub-map. Written key by key with
// the plain writer so that a key mix-up in the codec cannot cancel itself out.
Bytes fullMtadPayload() {
    CborWriter w;
    w.beginMap(20);
    w.writeUint(0), w.writeText("zero");
    w.writeUint(1), w.writeUint(7);
    w.writeUint(2), w.writeUint(2222);
    w.writeUint(3), w.writeText("tool");
    w.writeUint(4), w.writeText("library");
    w.writeUint(5), w.writeText("snare");
    w.writeUint(6), w.writeText("instrument");
    w.writeUint(7), w.writeText("seven");
    w.writeUint(8), w.beginArray(2), w.writeText("a"), w.writeText("b");
    w.writeUint(9), w.beginArray(2);
    w.beginMap(5), w.writeUint(1), w.writeUint(1), w.writeUint(2), w.writeText("Direct"), w.writeUint(3),
        w.writeUint(0), w.writeUint(4), w.writeFloat(1.0), w.writeUint(5), w.writeBool(true);
    w.beginMap(2), w.writeUint(1), w.writeUint(2), w.writeUint(7), w.beginArray(2), w.writeUint(1), w.writeUint(2);
    w.writeUint(10), w.beginArray(1);
    w.beginMap(6), w.writeUint(1), w.writeUint(3), w.writeUint(2), w.writeText("CENTER"), w.writeUint(3),
        w.writeUint(33), w.writeUint(4), w.writeFloat(0.25), w.writeUint(5), w.writeFloat(0.75), w.writeUint(9),
        w.writeText("x");
    w.writeUint(11), w.beginArray(1);
    w.beginMap(5), w.writeUint(1), w.writeUint(4), w.writeUint(2), w.writeFloat(0.0), w.writeUint(3),
        w.writeFloat(0.5), w.writeUint(4), w.writeText("Dynamic 1"), w.writeUint(5), w.writeFloat(0.25);
    w.writeUint(12), w.beginMap(1), w.writeUint(1), w.writeBool(false);
    w.writeUint(20), w.beginMap(3), w.writeUint(1), w.writeBytes(hex("5A 65 6D 5F 76 34 2E 30"));
    w.writeUint(2), w.writeBytes(hex("00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F"));
    w.writeUint(3), w.writeUint(9);
    w.writeUint(21), w.writeBool(true);
    w.writeUint(23), w.writeUint(100);
    w.writeUint(24), w.writeUint(4096);
    w.writeUint(25), w.beginMap(2), w.writeUint(1), w.writeUint(250), w.writeUint(2), w.writeText("ext");
    w.writeUint(26), w.writeUint(3);
    w.writeUint(1000), w.writeBytes(hex("AB"));
    return w.take();
}

// ---------------------------------------------------------------- decoding

TEST(MtadCodec, DefaultMetadataIsEightBytes) {
    const auto encoded = encodeMtad(ModelMetadata{});
    ASSERT_TRUE(encoded.ok()) << encoded.message();
    EXPECT_EQ(toHex(*encoded), kDefaultMtad);

    const auto decoded = decodeMtad(hex(kDefaultMtad));
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_EQ(*decoded, ModelMetadata{});
}

TEST(MtadCodec, DecodesEveryKeyIntoItsMember) {
    const Bytes payload = fullMtadPayload();
    const auto decoded = decodeMtad(payload);
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    const ModelMetadata& md = *decoded;

    EXPECT_EQ(md.format_version, 7u);
    EXPECT_EQ(md.opaque_uint_2, 2222u);
    EXPECT_EQ(md.creator_tool, "tool");
    EXPECT_EQ(md.name, "library");
    EXPECT_EQ(md.drum_type, "snare");
    EXPECT_EQ(md.instrument_name, "instrument");
    EXPECT_EQ(md.opaque_text_7, "seven");
    EXPECT_EQ(md.opaque_texts_8, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(md.split_payloads, true);
    EXPECT_EQ(md.next_uid, 100u);
    EXPECT_EQ(md.head_bytes, 4096u);
    EXPECT_EQ(md.hash_scheme, 3u);

    ASSERT_EQ(md.layers.size(), 2u);
    EXPECT_EQ(md.layers[0], (LayerDef{1, "Direct", 0u, 1.0, true, {}}));
    EXPECT_EQ(md.layers[1], (LayerDef{2, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                      {{7, hex("82 01 02")}}}));
    ASSERT_EQ(md.articulations.size(), 1u);
    EXPECT_EQ(md.articulations[0], (ArticulationDef{3, "CENTER", 33u, 0.25, 0.75, {{9, hex("61 78")}}}));
    ASSERT_EQ(md.dynamics.size(), 1u);
    EXPECT_EQ(md.dynamics[0], (BandDef{4, 0.0, 0.5, "Dynamic 1", {{5, hex("F9 34 00")}}}));

    ASSERT_TRUE(md.legacy.has_value());
    EXPECT_EQ(toHex(md.legacy->version_magic), "5A 65 6D 5F 76 34 2E 30");
    ASSERT_TRUE(md.legacy->orig_file_hash.has_value());
    EXPECT_EQ((*md.legacy->orig_file_hash)[15], 0x0F);
    EXPECT_EQ(md.legacy->extensions, (ExtensionList{{3, hex("09")}}));
    ASSERT_TRUE(md.split.has_value());
    EXPECT_EQ(md.split->head_ms, 250u);
    EXPECT_EQ(md.split->extensions, (ExtensionList{{2, hex("63 65 78 74")}}));

    EXPECT_EQ(md.extensions,
              (ExtensionList{{0, hex("64 7A 65 72 6F")}, {12, hex("A1 01 F4")}, {1000, hex("41 AB")}}));

    const auto encoded = encodeMtad(md);
    ASSERT_TRUE(encoded.ok()) << encoded.message();
    EXPECT_EQ(toHex(*encoded), toHex(payload));
}

TEST(MtadCodec, CanonicalPayloadsComeBackByteForByte) {
    const char* const cases[] = {
        kDefaultMtad,
        // Unknown key 0 before every known key.
        "A4 00 F5 01 01 17 01 18 18 00",
        // Unknown key 12 between the tables and the legacy map.
        "A6 01 01 0B 81 A1 01 01 0C 82 01 02 14 A0 17 01 18 18 00",
        // Unknown key 1000 after every known key.
        "A5 01 01 17 01 18 18 00 18 1A 02 19 03 E8 61 7A",
        // Unknown layer key 7 holding a map (the fourth open container).
        "A4 01 01 09 81 A2 01 05 07 A1 01 00 17 01 18 18 00",
        // A band centre, and wide integers.
        "A4 01 02 0B 81 A2 01 01 05 F9 38 00 17 1A 00 01 00 00 18 18 19 10 00",
        // Unknown keys in both sub-maps.
        "A5 01 01 14 A1 03 00 17 01 18 18 00 18 19 A2 01 18 FA 02 F4",
        // Floats in each width.
        "A4 01 01 0A 81 A3 01 01 04 FA 47 C3 50 00 05 FB 3F B9 99 99 99 99 99 9A 17 01 18 18 00",
        // Texts are not checked for UTF-8.
        "A4 01 01 04 62 FF FE 17 01 18 18 00",
    };
    for (const char* c : cases) {
        SCOPED_TRACE(c);
        const auto decoded = decodeMtad(hex(c));
        ASSERT_TRUE(decoded.ok()) << decoded.message();
        const auto encoded = encodeMtad(*decoded);
        ASSERT_TRUE(encoded.ok()) << encoded.message();
        EXPECT_EQ(toHex(*encoded), toHex(hex(c)));
    }
}

TEST(MtadCodec, DropsOnlyWhatIsNotWrittenBack) {
    const struct {
        const char* what;
        const char* input;
        const char* output;
    } cases[] = {
        {"layer key 6", "A4 01 01 09 81 A2 01 05 06 61 78 17 01 18 18 00",
         "A4 01 01 09 81 A1 01 05 17 01 18 18 00"},
        {"empty key-8 list", "A4 01 01 08 80 17 01 18 18 00", kDefaultMtad},
        {"empty tables", "A6 01 01 09 80 0A 80 0B 80 17 01 18 18 00", kDefaultMtad},
        {"empty version_magic", "A4 01 01 14 A1 01 40 17 01 18 18 00", "A4 01 01 14 A0 17 01 18 18 00"},
        {"hash_scheme 0", "A4 01 01 17 01 18 18 00 18 1A 00", kDefaultMtad},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto decoded = decodeMtad(hex(c.input));
        ASSERT_TRUE(decoded.ok()) << decoded.message();
        const auto encoded = encodeMtad(*decoded);
        ASSERT_TRUE(encoded.ok()) << encoded.message();
        EXPECT_EQ(toHex(*encoded), toHex(hex(c.output)));
    }
}

TEST(MtadCodec, RefusesMalformedPayloads) {
    const std::string missing = "MTAD missing a required key (1 spec_version, 23 next_uid, 24 head_bytes)";
    const struct {
        const char* what;
        const char* input;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"empty map", "A0", ErrorCode::ModelInvalid, missing},
        {"no head_bytes", "A2 01 01 17 01", ErrorCode::ModelInvalid, missing},
        {"no format_version", "A2 17 01 18 18 00", ErrorCode::ModelInvalid, missing},
        {"no next_uid", "A2 01 01 18 18 00", ErrorCode::ModelInvalid, missing},
        {"trailing bytes before the key check", "A1 00 00 00", ErrorCode::CborNonCanonical,
         "trailing bytes after CBOR value"},
        {"not a map", "80", ErrorCode::CborType, "expected map"},
        {"keys out of order", "A3 01 01 18 18 00 17 01", ErrorCode::CborNonCanonical,
         "map keys not in ascending order"},
        {"two certificates", "A5 01 01 0F 00 0F 00 17 01 18 18 00", ErrorCode::CborDuplicateKey, "duplicate map key"},
        {"layer without id", "A4 01 01 09 81 A1 02 61 78 17 01 18 18 00", ErrorCode::ModelInvalid,
         "layer entry missing id (key 1)"},
        {"layer with only key 6", "A4 01 01 09 81 A1 06 00 17 01 18 18 00", ErrorCode::ModelInvalid,
         "layer entry missing id (key 1)"},
        {"articulation without id", "A4 01 01 0A 81 A0 17 01 18 18 00", ErrorCode::ModelInvalid,
         "articulation entry missing id (key 1)"},
        {"band without id", "A4 01 01 0B 81 A1 04 61 78 17 01 18 18 00", ErrorCode::ModelInvalid,
         "dynamics entry missing band (key 1)"},
        {"band low as an integer", "A4 01 01 0B 81 A2 01 01 02 00 17 01 18 18 00", ErrorCode::CborType,
         "expected float"},
        {"layer level as an integer", "A4 01 01 09 81 A2 01 01 04 01 17 01 18 18 00", ErrorCode::CborType,
         "expected float"},
        {"layer slot as a float", "A4 01 01 09 81 A2 01 01 03 F9 00 00 17 01 18 18 00", ErrorCode::CborType,
         "expected unsigned integer"},
        {"orig_file_hash of 15 bytes", "A4 01 01 14 A1 02 4F 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 17 01 18 18 00",
         ErrorCode::ModelInvalid, "legacy orig_file_hash must be 16 bytes (got 15)"},
        {"container inside a table entry's extension", "A4 01 01 09 81 A2 01 05 07 A1 01 81 00 17 01 18 18 00",
         ErrorCode::CborDepth, "container nesting exceeds depth 4"},
        {"table not an array", "A4 01 01 09 A0 17 01 18 18 00", ErrorCode::CborType, "expected array"},
        {"table entry not a map", "A4 01 01 0A 81 01 17 01 18 18 00", ErrorCode::CborType, "expected map"},
        {"hostile table count", "A2 01 01 09 9B FF FF FF FF FF FF FF FF", ErrorCode::CborNonCanonical,
         "truncated CBOR item"},
        {"split not a map", "A4 01 01 17 01 18 18 00 18 19 00", ErrorCode::CborType, "expected map"},
        {"name not a text", "A4 01 01 04 00 17 01 18 18 00", ErrorCode::CborType, "expected text string"},
        {"key-8 element not a text", "A4 01 01 08 81 00 17 01 18 18 00", ErrorCode::CborType,
         "expected text string"},
        {"split_payloads not a bool", "A4 01 01 15 00 17 01 18 18 00", ErrorCode::CborType, "expected boolean"},
        {"negative opaque_uint_2", "A4 01 01 02 20 17 01 18 18 00", ErrorCode::CborType,
         "expected unsigned integer"},
        {"truncated", "A3 01 01 17 01 18 18", ErrorCode::CborNonCanonical, "truncated CBOR item"},
        {"empty payload", "", ErrorCode::CborNonCanonical, "truncated CBOR item"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto decoded = decodeMtad(hex(c.input));
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.code(), c.code);
        EXPECT_EQ(decoded.message(), c.message);
    }
}

// ---------------------------------------------------------------- tables

TEST(MtadTables, EntryDecodersLeaveTheRestOfTheInputToTheCaller) {
    const Bytes input = hex("A1 01 05 00");
    CborReader reader(input);
    const auto layer = decodeLayerDef(reader);
    ASSERT_TRUE(layer.ok()) << layer.message();
    EXPECT_EQ(layer->id, 5u);
    EXPECT_EQ(reader.position(), 3u);
}

TEST(MtadTables, EncodersWriteRequiredKeysAndShortestFloats) {
    const struct {
        const char* what;
        std::function<Result<Bytes>()> encode;
        const char* expected;
    } cases[] = {
        {"layer id only", [] { return encodeLayerDef(LayerDef{5, {}, {}, {}, {}, {}}); }, "A1 01 05"},
        {"layer at unity", [] { return encodeLayerDef(LayerDef{1, {}, {}, 1.0, {}, {}}); }, "A2 01 01 04 F9 3C 00"},
        {"articulation id only", [] { return encodeArticulationDef(ArticulationDef{2, {}, {}, {}, {}, {}}); },
         "A1 01 02"},
        {"band with an infinite low", [] { return encodeBandDef(BandDef{1, -INFINITY, 0.1, {}, {}}); },
         "A3 01 01 02 F9 FC 00 03 FB 3F B9 99 99 99 99 99 9A"},
        {"empty legacy origin", [] { return encodeLegacyOrigin(LegacyOrigin{}); }, "A0"},
        {"empty split info", [] { return encodeSplitInfo(SplitInfo{}); }, "A0"},
        {"split info", [] { return encodeSplitInfo(SplitInfo{250, {}}); }, "A1 01 18 FA"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto bytes = c.encode();
        ASSERT_TRUE(bytes.ok()) << bytes.message();
        EXPECT_EQ(toHex(*bytes), toHex(hex(c.expected)));
    }
}

TEST(MtadCodec, RefusesToEncodeAnExtensionThatRepeatsAKey) {
    const struct {
        const char* what;
        std::function<void(ModelMetadata&)> change;
    } cases[] = {
        {"top level, known key", [](ModelMetadata& md) { md.extensions.push_back({23, encodeCborUint(5)}); }},
        {"top level, twice the same key",
         [](ModelMetadata& md) {
             md.extensions.push_back({15, encodeCborUint(1)});
             md.extensions.push_back({15, encodeCborUint(2)});
         }},
        {"layer", [](ModelMetadata& md) { md.layers.push_back(LayerDef{1, {}, {}, {}, {}, {{1, encodeCborUint(2)}}}); }},
        {"band", [](ModelMetadata& md) { md.dynamics.push_back(BandDef{1, 0.0, {}, {}, {{2, encodeCborFloat(0.5)}}}); }},
        {"split", [](ModelMetadata& md) { md.split = SplitInfo{250, {{1, encodeCborUint(1)}}}; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ModelMetadata md;
        c.change(md);
        const auto bytes = encodeMtad(md);
        ASSERT_FALSE(bytes.ok());
        EXPECT_EQ(bytes.code(), ErrorCode::ModelInvalid);
    }
}

// ---------------------------------------------------------------- model

TEST(ModelValue, DefaultStateIsAnEmptyInstrument) {
    const Zem6Model model;
    EXPECT_EQ(model.metadata.format_version, 1u);
    EXPECT_EQ(model.metadata.next_uid, 1u);
    EXPECT_EQ(model.metadata.head_bytes, 0u);
    EXPECT_EQ(model.metadata.hash_scheme, 0u);
    EXPECT_EQ(model.metadata, ModelMetadata{});
    EXPECT_TRUE(model.samples.empty());
    EXPECT_EQ(model.points_per_sample, 512u);
    EXPECT_TRUE(model.peaks.empty());
    EXPECT_EQ(model.summary, Summary{});
    EXPECT_FALSE(model.summary.present);
    EXPECT_FALSE(model.lgcy.has_value());
    EXPECT_TRUE(model.extraChunks.empty());
}

TEST(ModelValue, ACopyIsIndependentOfItsSource) {
    Zem6Model source;
    source.metadata.extensions.push_back({40, hex("01")});
    source.metadata.dynamics.push_back(BandDef{1, {}, {}, {}, {{5, hex("F9 38 00")}}});
    SmplEntry row;
    row.uid = 1;
    row.extensions.push_back({1003, hex("F5")});
    source.samples.push_back(row);
    source.extraChunks.push_back(ExtraChunk{kTagXTRA, 0, 1, 0, hex("AA"), false});

    Zem6Model copy = source;
    EXPECT_EQ(copy, source);
    copy.metadata.extensions[0].bytes[0] = 0x02;
    copy.metadata.dynamics[0].extensions[0].bytes[1] = 0x3C;
    copy.samples[0].extensions[0].bytes[0] = 0xF4;
    copy.extraChunks[0].bytes[0] = 0xBB;
    EXPECT_NE(copy, source);

    EXPECT_EQ(source.metadata.extensions[0].bytes, hex("01"));
    EXPECT_EQ(source.metadata.dynamics[0].extensions[0].bytes, hex("F9 38 00"));
    EXPECT_EQ(source.samples[0].extensions[0].bytes, hex("F5"));
    EXPECT_EQ(source.extraChunks[0].bytes, hex("AA"));

    const Zem6Model moved = std::move(copy);
    EXPECT_EQ(moved.extraChunks[0].bytes, hex("BB"));
}

} // namespace
} // namespace vt6::fmt
