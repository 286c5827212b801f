#include "format/framing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vt6::fmt {
namespace {

Superblock sampleSuperblock() {
    Superblock sb;
    sb.format_major = 1;
    sb.format_minor = 7;
    sb.flags = 0xB;
    sb.dir_offset = 0x0102030405060708ull;
    sb.dir_length = 0x1112131415161718ull;
    for (size_t i = 0; i < sb.dir_hash.size(); ++i) sb.dir_hash[i] = static_cast<uint8_t>(0xA0 + i);
    sb.file_bytes = 0x2122232425262728ull;
    return sb;
}

void resealSuperblock(Bytes& bytes) {
    storeLe32(bytes.data() + 60, crc32cOf(ByteView(bytes.data(), 60)));
}

// ---------------------------------------------------------------- superblock

TEST(SuperblockTest, EncodesFieldsAtTheirOffsets) {
    const auto bytes = encodeSuperblock(sampleSuperblock());
    const uint8_t* p = bytes.data();
    const uint8_t magic[8] = {'Z', 'E', 'M', '6', 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_EQ(std::memcmp(p, magic, 8), 0);
    EXPECT_EQ(loadLe16(p + 8), 1u);
    EXPECT_EQ(loadLe16(p + 10), 7u);
    EXPECT_EQ(loadLe32(p + 12), 0xBu);
    EXPECT_EQ(loadLe64(p + 16), 0x0102030405060708ull);
    EXPECT_EQ(loadLe64(p + 24), 0x1112131415161718ull);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(p[32 + i], 0xA0 + i);
    EXPECT_EQ(loadLe64(p + 48), 0x2122232425262728ull);
    EXPECT_EQ(loadLe32(p + 56), 0u);
    EXPECT_EQ(loadLe32(p + 60), crc32cOf(ByteView(p, 60)));
    // Little-endian, lowest byte first.
    EXPECT_EQ(p[16], 0x08);
    EXPECT_EQ(p[23], 0x01);
}

TEST(SuperblockTest, RoundTripsAndIgnoresBytesPastTheHead) {
    const Superblock sb = sampleSuperblock();
    const auto encoded = encodeSuperblock(sb);
    Bytes file(encoded.begin(), encoded.end());
    file.resize(200, 0xEE);  // the parser is given the start of a whole file

    const auto parsed = parseSuperblock(file);
    ASSERT_TRUE(parsed.ok()) << parsed.message();
    EXPECT_EQ(parsed->format_major, sb.format_major);
    EXPECT_EQ(parsed->format_minor, sb.format_minor);
    EXPECT_EQ(parsed->flags, sb.flags);
    EXPECT_EQ(parsed->dir_offset, sb.dir_offset);
    EXPECT_EQ(parsed->dir_length, sb.dir_length);
    EXPECT_EQ(parsed->dir_hash, sb.dir_hash);
    EXPECT_EQ(parsed->file_bytes, sb.file_bytes);
}

TEST(SuperblockTest, AcceptsEveryKnownFlagCombination) {
    for (uint32_t flags = 0; flags <= 0xF; ++flags) {
        Superblock sb = sampleSuperblock();
        sb.flags = flags;
        const auto parsed = parseSuperblock(encodeSuperblock(sb));
        ASSERT_TRUE(parsed.ok()) << "flags " << flags << ": " << parsed.message();
        EXPECT_EQ(parsed->flags, flags);
    }
}

struct SuperblockCase {
    const char* name;
    std::function<void(Bytes&)> damage;  // applied to a valid 64-byte superblock
    bool reseal;                         // recompute the CRC after the damage
    ErrorCode code;
    const char* message;
};

TEST(SuperblockTest, ChecksInOrderWithCodeAndMessage) {
    const auto wrongCrc = [](Bytes& b) { b[60] ^= 0xFF; };
    const auto badFlags = [](Bytes& b) { storeLe32(b.data() + 12, 0x1F); };
    const auto badReserved = [](Bytes& b) { storeLe32(b.data() + 56, 1); };
    const auto everythingAfterMagic = [&](Bytes& b) {
        badFlags(b);
        badReserved(b);
        wrongCrc(b);
    };

    const SuperblockCase cases[] = {
        {"empty", [](Bytes& b) { b.clear(); }, false, ErrorCode::BadMagic,
         "file shorter than the 64-byte superblock"},
        {"63 bytes", [](Bytes& b) { b.resize(63); }, false, ErrorCode::BadMagic,
         "file shorter than the 64-byte superblock"},
        {"magic first byte, later checks failing too",
         [&](Bytes& b) {
             b[0] = 'z';
             storeLe16(b.data() + 8, 2);
             everythingAfterMagic(b);
         },
         false, ErrorCode::BadMagic, "not a zem 6 file (magic mismatch at offset 0)"},
        {"magic last byte", [](Bytes& b) { b[7] = 0x0B; }, true, ErrorCode::BadMagic,
         "not a zem 6 file (magic mismatch at offset 0)"},
        {"format_major 2 with wrong crc",
         [&](Bytes& b) {
             storeLe16(b.data() + 8, 2);
             everythingAfterMagic(b);
         },
         false, ErrorCode::BadMagic, "unsupported format_major 2 (this reader supports 1)"},
        {"format_major 0", [](Bytes& b) { storeLe16(b.data() + 8, 0); }, true, ErrorCode::BadMagic,
         "unsupported format_major 0 (this reader supports 1)"},
        {"format_major 65535", [](Bytes& b) { storeLe16(b.data() + 8, 0xFFFF); }, true, ErrorCode::BadMagic,
         "unsupported format_major 65535 (this reader supports 1)"},
        {"format_major 257 (high byte set)", [](Bytes& b) { storeLe16(b.data() + 8, 0x0101); }, true,
         ErrorCode::BadMagic, "unsupported format_major 257 (this reader supports 1)"},
        {"crc with bad flags and reserved", everythingAfterMagic, false, ErrorCode::BadSuperblockCrc,
         "superblock crc32c mismatch over bytes [0,60)"},
        {"one data bit flipped", [](Bytes& b) { b[40] ^= 0x01; }, false, ErrorCode::BadSuperblockCrc,
         "superblock crc32c mismatch over bytes [0,60)"},
        {"reserved byte changed without reseal", [](Bytes& b) { b[59] = 1; }, false,
         ErrorCode::BadSuperblockCrc, "superblock crc32c mismatch over bytes [0,60)"},
        {"flags 0x10", [](Bytes& b) { storeLe32(b.data() + 12, 0x10); }, true, ErrorCode::UnknownSuperblockFlag,
         "superblock carries unknown flag bits 0x10"},
        {"flags 0x1F with reserved set",
         [&](Bytes& b) {
             badFlags(b);
             badReserved(b);
         },
         true, ErrorCode::UnknownSuperblockFlag, "superblock carries unknown flag bits 0x10"},
        {"flags all ones", [](Bytes& b) { storeLe32(b.data() + 12, 0xFFFFFFFFu); }, true,
         ErrorCode::UnknownSuperblockFlag, "superblock carries unknown flag bits 0xFFFFFFF0"},
        {"flags top bit", [](Bytes& b) { storeLe32(b.data() + 12, 0x80000003u); }, true,
         ErrorCode::UnknownSuperblockFlag, "superblock carries unknown flag bits 0x80000000"},
        {"flags 0xAB0", [](Bytes& b) { storeLe32(b.data() + 12, 0xAB5u); }, true, ErrorCode::UnknownSuperblockFlag,
         "superblock carries unknown flag bits 0xAB0"},
        {"reserved low byte", badReserved, true, ErrorCode::ModelInvalid, "superblock reserved field must be 0"},
        {"reserved high byte", [](Bytes& b) { b[59] = 0x80; }, true, ErrorCode::ModelInvalid,
         "superblock reserved field must be 0"},
    };

    const auto valid = encodeSuperblock(sampleSuperblock());
    for (const auto& c : cases) {
        Bytes bytes(valid.begin(), valid.end());
        c.damage(bytes);
        if (c.reseal) resealSuperblock(bytes);
        const auto parsed = parseSuperblock(bytes);
        ASSERT_FALSE(parsed.ok()) << c.name;
        EXPECT_EQ(parsed.code(), c.code) << c.name;
        EXPECT_EQ(parsed.message(), c.message) << c.name;
    }
}

TEST(SuperblockTest, ChecksNothingElse) {
    // format_minor and the pointers are the reader's business, not the parser's.
    Superblock sb = sampleSuperblock();
    sb.format_minor = 0xFFFF;
    sb.dir_offset = 0;
    sb.dir_length = ~0ull;
    sb.file_bytes = 1;
    const auto parsed = parseSuperblock(encodeSuperblock(sb));
    ASSERT_TRUE(parsed.ok()) << parsed.message();
    EXPECT_EQ(parsed->format_minor, 0xFFFF);
    EXPECT_EQ(parsed->dir_length, ~0ull);
}

// ---------------------------------------------------------------- chunk header

TEST(ChunkHeaderTest, EncodesAndRoundTrips) {
    const ChunkHeader header{kTagAUDI, kChunkCritical, 0x0102030405060708ull, 0xF1F2F3F4F5F6F7F8ull};
    const auto bytes = encodeChunkHeader(header);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "AUDI");
    EXPECT_EQ(loadLe32(bytes.data() + 4), 1u);
    EXPECT_EQ(loadLe64(bytes.data() + 8), header.length);
    EXPECT_EQ(loadLe64(bytes.data() + 16), header.uid);

    Bytes longer(bytes.begin(), bytes.end());
    longer.resize(100, 0xCC);  // only the first 24 bytes are read
    for (const Bytes& input : {Bytes(bytes.begin(), bytes.end()), longer}) {
        const auto parsed = parseChunkHeader(input);
        ASSERT_TRUE(parsed.ok()) << parsed.message();
        EXPECT_EQ(parsed->tag, header.tag);
        EXPECT_EQ(parsed->flags, header.flags);
        EXPECT_EQ(parsed->length, header.length);
        EXPECT_EQ(parsed->uid, header.uid);
    }
}

TEST(ChunkHeaderTest, ReservedFlagBitsAreAccepted) {
    for (uint32_t flags = 0; flags <= 7; ++flags) {
        const auto parsed = parseChunkHeader(encodeChunkHeader({kTagMTAD, flags, 0, 0}));
        ASSERT_TRUE(parsed.ok()) << "flags " << flags;
        EXPECT_EQ(parsed->flags, flags);
    }
}

struct ChunkHeaderCase {
    const char* name;
    Bytes bytes;
    ErrorCode code;
    const char* message;
};

Bytes headerBytes(uint32_t tag, uint32_t flags) {
    const auto a = encodeChunkHeader({tag, flags, 5, 9});
    return Bytes(a.begin(), a.end());
}

TEST(ChunkHeaderTest, ChecksInOrderWithCodeAndMessage) {
    Bytes short23 = headerBytes(kTagMTAD, 0xFFFFFFFFu);
    short23.resize(23);
    const ChunkHeaderCase cases[] = {
        {"empty", {}, ErrorCode::ChunkTruncated, "chunk header shorter than 24 bytes"},
        {"23 bytes with bad flags", short23, ErrorCode::ChunkTruncated, "chunk header shorter than 24 bytes"},
        {"MTAD flags 9", headerBytes(kTagMTAD, 9), ErrorCode::UnknownChunkFlag,
         "chunk 'MTAD' carries unknown flag bits 0x8"},
        {"flags all ones, unprintable tag", headerBytes(0x7F200041u, 0xFFFFFFFFu), ErrorCode::UnknownChunkFlag,
         "chunk 'A\\x00 \\x7F' carries unknown flag bits 0xFFFFFFF8"},
        {"flags 0xC0DE0", headerBytes(kTagSIGN, 0xC0DE7u), ErrorCode::UnknownChunkFlag,
         "chunk 'SIGN' carries unknown flag bits 0xC0DE0"},
    };
    for (const auto& c : cases) {
        const auto parsed = parseChunkHeader(c.bytes);
        ASSERT_FALSE(parsed.ok()) << c.name;
        EXPECT_EQ(parsed.code(), c.code) << c.name;
        EXPECT_EQ(parsed.message(), c.message) << c.name;
    }
}

// ---------------------------------------------------------------- writeChunk

TEST(ChunkWriteTest, SizesAndPadding) {
    struct Case {
        size_t payload;
        size_t appended;  // header + payload + trailer + padding
    };
    const Case cases[] = {{0, 32}, {4, 32}, {5, 48}, {20, 48}, {21, 64}, {100, 128}};
    for (const auto& c : cases) {
        FileImage image(64, 0x11);  // the superblock's place
        Bytes payload(c.payload);
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(0xF0 ^ i);
        const uint32_t crc = writeChunk(image, kTagPEAK, 0, 0, payload);

        ASSERT_EQ(image.size(), 64 + c.appended) << "payload " << c.payload;
        EXPECT_EQ(image.size() % kChunkAlignment, 0u);
        const size_t trailerAt = 64 + kChunkHeaderBytes + c.payload;
        EXPECT_EQ(loadLe32(image.data() + trailerAt), crc);
        for (size_t i = trailerAt + 4; i < image.size(); ++i) EXPECT_EQ(image[i], 0) << "padding byte " << i;
        EXPECT_TRUE(std::equal(payload.begin(), payload.end(), image.begin() + 64 + kChunkHeaderBytes));
        EXPECT_TRUE(std::all_of(image.begin(), image.begin() + 64, [](uint8_t b) { return b == 0x11; }));
    }
}

TEST(ChunkWriteTest, HeaderAndTrailerDescribeThePayload) {
    FileImage image(64, 0);
    const Bytes payload = {'h', 'e', 'l', 'l', 'o'};
    const uint32_t crc = writeChunk(image, kTagAUDT, kChunkCritical | 4, 0xABCDEF0123ull, payload);

    const ByteView chunk = ByteView(image).subspan(64);
    const auto header = parseChunkHeader(chunk);
    ASSERT_TRUE(header.ok()) << header.message();
    EXPECT_EQ(header->tag, kTagAUDT);
    EXPECT_EQ(header->flags, kChunkCritical | 4);
    EXPECT_EQ(header->length, payload.size());
    EXPECT_EQ(header->uid, 0xABCDEF0123ull);

    // The trailer is one running CRC over header then payload, i.e. the CRC of
    // the contiguous 24 + length bytes.
    EXPECT_EQ(crc, crc32cOf(chunk.first(kChunkHeaderBytes + payload.size())));
    Crc32cAccumulator acc;
    crc32cUpdate(acc, encodeChunkHeader({kTagAUDT, kChunkCritical | 4, payload.size(), 0xABCDEF0123ull}));
    crc32cUpdate(acc, payload);
    EXPECT_EQ(crc, crc32cFinish(acc));
    EXPECT_NE(crc, crc32cOf(payload));
}

TEST(ChunkWriteTest, ConsecutiveChunksStartOnSixteenByteOffsets) {
    FileImage image;
    const auto sb = encodeSuperblock(sampleSuperblock());
    image.insert(image.end(), sb.begin(), sb.end());
    std::vector<size_t> starts;
    for (size_t n : {0u, 1u, 15u, 16u, 33u}) {
        starts.push_back(image.size());
        writeChunk(image, kTagXTRA, 0, n, Bytes(n, 0x5A));
    }
    for (size_t i = 0; i < starts.size(); ++i) {
        EXPECT_EQ(starts[i] % 16, 0u);
        const auto header = parseChunkHeader(ByteView(image).subspan(starts[i]));
        ASSERT_TRUE(header.ok());
        EXPECT_EQ(header->uid, header->length);
        const size_t end = starts[i] + kChunkFramingBytes + header->length;
        EXPECT_EQ(loadLe32(image.data() + end - 4),
                  crc32cOf(ByteView(image).subspan(starts[i], kChunkHeaderBytes + header->length)));
    }
}

TEST(ChunkWriteTest, PadsAnUnalignedImageToTheNextMultiple) {
    // Padding aligns the image size (the file offset), not the chunk size.
    FileImage image(3, 0);
    writeChunk(image, kTagDESC, 0, 0, Bytes(1, 7));
    EXPECT_EQ(image.size(), 32u);  // 3 + 28 + 1 = 32
    FileImage other(5, 0);
    writeChunk(other, kTagDESC, 0, 0, Bytes(1, 7));
    EXPECT_EQ(other.size(), 48u);  // 5 + 29 = 34 -> 48
}

// ---------------------------------------------------------------- footer

TEST(FooterTest, EncodesAndRoundTrips) {
    const Footer footer{0x1000, 0x2C, 0x10A0};
    const auto bytes = encodeFooter(footer);
    EXPECT_EQ(loadLe64(bytes.data()), 0x1000u);
    EXPECT_EQ(loadLe64(bytes.data() + 8), 0x2Cu);
    EXPECT_EQ(loadLe64(bytes.data() + 16), 0x10A0u);
    const uint8_t magic[8] = {'Z', 'E', 'M', 'E', 'N', 'D', 0x1A, 0x0A};
    EXPECT_EQ(std::memcmp(bytes.data() + 24, magic, 8), 0);

    Bytes longer(bytes.begin(), bytes.end());
    longer.push_back(0xFF);
    for (const Bytes& input : {Bytes(bytes.begin(), bytes.end()), longer}) {
        const auto parsed = parseFooter(input);
        ASSERT_TRUE(parsed.ok()) << parsed.message();
        EXPECT_EQ(parsed->dir_offset, footer.dir_offset);
        EXPECT_EQ(parsed->dir_length, footer.dir_length);
        EXPECT_EQ(parsed->file_bytes, footer.file_bytes);
    }
    // The numbers are not judged here, only the magic.
    EXPECT_TRUE(parseFooter(encodeFooter({~0ull, ~0ull, 0})).ok());
}

TEST(FooterTest, ChecksInOrderWithCodeAndMessage) {
    const auto valid = encodeFooter({64, 60, 400});
    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
        const char* message;
    };
    const Case cases[] = {
        {"empty", [](Bytes& b) { b.clear(); }, "footer shorter than 32 bytes"},
        {"31 bytes", [](Bytes& b) { b.resize(31); }, "footer shorter than 32 bytes"},
        {"magic first byte", [](Bytes& b) { b[24] = 'z'; }, "footer magic mismatch"},
        {"magic last byte", [](Bytes& b) { b[31] = 0; }, "footer magic mismatch"},
        {"superblock magic in its place",
         [](Bytes& b) { std::copy(kSuperblockMagic.begin(), kSuperblockMagic.end(), b.begin() + 24); },
         "footer magic mismatch"},
    };
    for (const auto& c : cases) {
        Bytes bytes(valid.begin(), valid.end());
        c.damage(bytes);
        const auto parsed = parseFooter(bytes);
        ASSERT_FALSE(parsed.ok()) << c.name;
        EXPECT_EQ(parsed.code(), ErrorCode::BadFooter) << c.name;
        EXPECT_EQ(parsed.message(), c.message) << c.name;
    }
}

// ---------------------------------------------------------------- tags

TEST(TagTest, TagIsFileOrderBytesAsLittleEndian) {
    const Bytes file = {'M', 'T', 'A', 'D'};
    EXPECT_EQ(loadLe32(file.data()), kTagMTAD);
    EXPECT_EQ(kTagMTAD, 0x4441544Du);
}

TEST(TagTest, TagText) {
    struct Case {
        uint32_t tag;
        std::string text;
    };
    const Case cases[] = {
        {kTagMTAD, "MTAD"},
        {kTagKEYS, "KEYS"},
        {loadLe32(Bytes{0x41, 0x00, 0x7F, 0x20}.data()), "A\\x00\\x7F "},
        {0x7E20001Fu, "\\x1F\\x00 ~"},
        {0xFF80FEA0u, "\\xA0\\xFE\\x80\\xFF"},
        {0u, "\\x00\\x00\\x00\\x00"},
        {makeTag("a'\\z"), "a'\\z"},
    };
    for (const auto& c : cases) EXPECT_EQ(tagText(c.tag), c.text) << std::hex << c.tag;
    EXPECT_EQ(tagText(loadLe32(Bytes{0x41, 0x00, 0x7F, 0x20}.data())).size(), 10u);
}

const uint32_t kAllKnown[] = {kTagMTAD, kTagSUMM, kTagSMPL, kTagPEAK, kTagAUDI, kTagAUDT, kTagDIRC,
                              kTagSIGN, kTagLGCY, kTagXTRA, kTagDESC, kTagARTW, kTagPRVW, kTagKEYS};
const uint32_t kCoreCritical[] = {kTagMTAD, kTagSMPL, kTagAUDI, kTagAUDT, kTagDIRC};

TEST(TagTest, KnownAndCoreCriticalSets) {
    for (uint32_t tag : kAllKnown) EXPECT_TRUE(isKnownTag(tag)) << tagText(tag);
    for (uint32_t tag : kCoreCritical) EXPECT_TRUE(isCoreCriticalTag(tag)) << tagText(tag);

    // Search every tag of four upper-case letters: the sets hold exactly these.
    size_t known = 0, critical = 0;
    char text[5] = {};
    for (char a = 'A'; a <= 'Z'; ++a)
        for (char b = 'A'; b <= 'Z'; ++b)
            for (char c = 'A'; c <= 'Z'; ++c)
                for (char d = 'A'; d <= 'Z'; ++d) {
                    text[0] = a, text[1] = b, text[2] = c, text[3] = d;
                    const uint32_t tag = makeTag(text);
                    const bool isKnown = isKnownTag(tag);
                    const bool isCritical = isCoreCriticalTag(tag);
                    known += isKnown;
                    critical += isCritical;
                    if (isCritical) {
                        EXPECT_TRUE(isKnown) << text;
                    }
                }
    EXPECT_EQ(known, 14u);
    EXPECT_EQ(critical, 5u);

    // Near misses: case, byte order, and a trailing NUL.
    for (uint32_t tag : {makeTag("mtad"), makeTag("DATM"), makeTag("MTA "), 0x0044544Du, 0u}) {
        EXPECT_FALSE(isKnownTag(tag)) << tagText(tag);
        EXPECT_FALSE(isCoreCriticalTag(tag)) << tagText(tag);
    }
    for (uint32_t tag : {kTagSUMM, kTagPEAK, kTagSIGN, kTagLGCY, kTagXTRA, kTagDESC, kTagARTW, kTagPRVW, kTagKEYS})
        EXPECT_FALSE(isCoreCriticalTag(tag)) << tagText(tag);
}

} // namespace
} // namespace vt6::fmt
