#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/cbor.hpp"
#include "format/directory.hpp"
#include "format/framing.hpp"

namespace vt6::fmt {
namespace {

DirEntry entry(uint32_t tag, uint64_t uid, uint64_t offset, uint64_t length, uint32_t flags = 0) {
    DirEntry e;
    e.tag = tag;
    e.uid = uid;
    e.offset = offset;
    e.length = length;
    e.flags = flags;
    e.crc32c = 0xDEADBEEF;
    for (size_t i = 0; i < e.hash.size(); ++i) e.hash[i] = static_cast<uint8_t>(i + uid);
    return e;
}

// A directory entry written by hand, so that fields can take values the
// encoder would never produce.
Bytes rawEntryPayload(uint64_t items, uint64_t tag, uint64_t flags, uint64_t crc, size_t hashBytes) {
    CborWriter w;
    w.beginArray(1);
    w.beginArray(items);
    const uint64_t fields[] = {tag, 1, 64, 0, flags, crc};
    for (uint64_t i = 0; i < items && i < 6; ++i) w.writeUint(fields[i]);
    if (items >= 7) w.writeBytes(Bytes(hashBytes, 0xAB));
    for (uint64_t i = 7; i < items; ++i) w.writeUint(0);
    return w.take();
}

TEST(Directory, RoundTripKeepsEveryFieldAndFindsByTagAndUid) {
    const std::vector<DirEntry> entries = {
        entry(kTagMTAD, 0, 64, 100, kChunkCritical),
        entry(kTagSMPL, 0, 208, 40, kChunkCritical),
        entry(kTagAUDI, 7, 288, 1000, kChunkCritical | 4),
        entry(kTagAUDT, 7, 1328, 10, kChunkCritical),
        entry(makeTag("ZZZZ"), 0xFFFFFFFFFFull, 1376, 0, 6),
    };
    const Bytes payload = encodeDirectory(entries);
    auto dir = decodeDirectory(payload, 4096, ReadPolicy{});
    ASSERT_TRUE(dir.ok()) << dir.message();
    ASSERT_EQ(dir->entries.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        const DirEntry& a = entries[i];
        const DirEntry& b = dir->entries[i];
        EXPECT_EQ(a.tag, b.tag);
        EXPECT_EQ(a.uid, b.uid);
        EXPECT_EQ(a.offset, b.offset);
        EXPECT_EQ(a.length, b.length);
        EXPECT_EQ(a.flags, b.flags);
        EXPECT_EQ(a.crc32c, b.crc32c);
        EXPECT_EQ(a.hash, b.hash);
    }
    EXPECT_EQ(encodeDirectory(dir->entries), payload);

    ASSERT_NE(dir->find(kTagAUDT, 7), nullptr);
    EXPECT_EQ(dir->find(kTagAUDT, 7)->offset, 1328u);
    EXPECT_EQ(dir->find(kTagAUDI, 7)->offset, 288u);
    EXPECT_EQ(dir->find(kTagAUDI, 8), nullptr);
    EXPECT_EQ(dir->find(kTagPEAK, 0), nullptr);
}

TEST(Directory, EncodesTagsAsFiveByteIntegersAndHashesAsSeventeenBytes) {
    const Bytes payload = encodeDirectory({entry(kTagMTAD, 0, 64, 0)});
    // 81 (outer), 87 (entry), then the tag.
    ASSERT_GE(payload.size(), 7u);
    EXPECT_EQ(payload[0], 0x81);
    EXPECT_EQ(payload[1], 0x87);
    const Bytes tag(payload.begin() + 2, payload.begin() + 7);
    EXPECT_EQ(tag, (Bytes{0x1A, 0x44, 0x41, 0x54, 0x4D}));
    // The hash is the last item: 0x50 followed by 16 bytes.
    EXPECT_EQ(payload[payload.size() - 17], 0x50);
    EXPECT_EQ(encodeDirectory({}), Bytes{0x80});
}

TEST(Directory, EmptyDirectoryNeedsRoomForSuperblockAndFooter) {
    const Bytes empty{0x80};
    auto ok = decodeDirectory(empty, 96, ReadPolicy{});
    ASSERT_TRUE(ok.ok()) << ok.message();
    EXPECT_TRUE(ok->entries.empty());

    auto small = decodeDirectory(empty, 95, ReadPolicy{});
    ASSERT_FALSE(small.ok());
    EXPECT_EQ(small.code(), ErrorCode::DirEntryOutOfBounds);
    EXPECT_EQ(small.message(), "file too small for any chunk");
}

TEST(Directory, ByteLimitCountsTwentyEightFramingBytes) {
    const Bytes payload = encodeDirectory({entry(kTagMTAD, 0, 64, 10)});
    ReadPolicy policy;
    policy.maxDirBytes = payload.size() + 28;
    EXPECT_TRUE(decodeDirectory(payload, 4096, policy).ok());

    policy.maxDirBytes = payload.size() + 27;
    auto r = decodeDirectory(payload, 4096, policy);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::DirPolicyBytes);
    EXPECT_EQ(r.message(), "directory payload requires " + std::to_string(payload.size()) +
                               " bytes plus 28 framing bytes; the current limit is " +
                               std::to_string(payload.size() + 27) + " bytes");

    // A limit below the framing alone must not wrap around.
    policy.maxDirBytes = 3;
    EXPECT_EQ(decodeDirectory(payload, 4096, policy).code(), ErrorCode::DirPolicyBytes);
}

TEST(Directory, EntryLimitIsCheckedOnTheDeclaredCountBeforeDecoding) {
    std::vector<DirEntry> entries;
    for (uint64_t i = 0; i < 3; ++i) entries.push_back(entry(kTagAUDI, i + 1, 64 + 32 * i, 4));
    const Bytes payload = encodeDirectory(entries);
    ReadPolicy policy;
    policy.maxDirEntries = 3;
    EXPECT_TRUE(decodeDirectory(payload, 4096, policy).ok());

    policy.maxDirEntries = 2;
    auto r = decodeDirectory(payload, 4096, policy);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::DirPolicyEntries);
    EXPECT_EQ(r.message(), "this file declares 3 directory entries; the current limit is 2");

    // A hostile count with no entries behind it fails on the count, not on
    // the missing entries and not by allocating.
    const Bytes hostile{0x9B, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(decodeDirectory(hostile, 4096, ReadPolicy{}).code(), ErrorCode::DirPolicyEntries);
    policy.maxDirEntries = ~uint64_t{0};
    auto truncated = decodeDirectory(hostile, 4096, policy);
    EXPECT_EQ(truncated.code(), ErrorCode::CborNonCanonical);
    EXPECT_EQ(truncated.message(), "truncated CBOR item");
}

struct EntryCase {
    const char* name;
    Bytes payload;
    ErrorCode code;
    std::string message;
};

TEST(Directory, MalformedEntriesAreRefusedWithTheirOwnMessages) {
    const std::vector<EntryCase> cases = {
        {"six items", rawEntryPayload(6, kTagMTAD, 0, 0, 16), ErrorCode::ModelInvalid,
         "DIRC entry must be a 7-element array (got 6)"},
        {"eight items", rawEntryPayload(8, kTagMTAD, 0, 0, 16), ErrorCode::ModelInvalid,
         "DIRC entry must be a 7-element array (got 8)"},
        {"tag above u32", rawEntryPayload(7, 0x100000000ull, 0, 0, 16), ErrorCode::ModelInvalid,
         "DIRC entry type exceeds u32"},
        {"flags above u32", rawEntryPayload(7, kTagMTAD, 0x100000000ull, 0, 16), ErrorCode::ModelInvalid,
         "DIRC entry flags exceed u32"},
        {"unknown flag bit", rawEntryPayload(7, kTagMTAD, 8, 0, 16), ErrorCode::UnknownChunkFlag,
         "DIRC entry for 'MTAD' carries unknown flag bits"},
        {"crc above u32", rawEntryPayload(7, kTagMTAD, 0, 0x100000000ull, 16), ErrorCode::ModelInvalid,
         "DIRC entry crc32c exceeds u32"},
        {"short hash", rawEntryPayload(7, kTagMTAD, 0, 0, 15), ErrorCode::ModelInvalid,
         "DIRC entry hash must be 16 bytes (got 15)"},
        {"long hash", rawEntryPayload(7, kTagMTAD, 0, 0, 32), ErrorCode::ModelInvalid,
         "DIRC entry hash must be 16 bytes (got 32)"},
        {"entry is a map", Bytes{0x81, 0xA0}, ErrorCode::CborType, "expected array"},
        {"trailing byte", [] {
             Bytes b = encodeDirectory({});
             b.push_back(0x00);
             return b;
         }(),
         ErrorCode::CborNonCanonical, "trailing bytes after CBOR value"},
    };
    for (const auto& c : cases) {
        auto r = decodeDirectory(c.payload, 4096, ReadPolicy{});
        ASSERT_FALSE(r.ok()) << c.name;
        EXPECT_EQ(r.code(), c.code) << c.name;
        EXPECT_EQ(r.message(), c.message) << c.name;
    }

    // Reserved flag bits 1 and 2 are accepted.
    auto ok = decodeDirectory(rawEntryPayload(7, kTagMTAD, 4, 0, 16), 4096, ReadPolicy{});
    ASSERT_TRUE(ok.ok()) << ok.message();
    EXPECT_EQ(ok->entries[0].flags, 4u);
}

struct LawCase {
    const char* name;
    std::vector<DirEntry> entries;
    uint64_t fileBytes;
    ErrorCode code;
    std::string message;  // empty: the directory is valid
};

TEST(Directory, LawsAreCheckedInOrder) {
    const uint64_t fileBytes = 1000;  // chunk region [64, 968)
    const uint64_t max = ~uint64_t{0};
    const std::vector<LawCase> cases = {
        {"ends exactly at the footer", {entry(kTagMTAD, 0, 940, 0)}, fileBytes, ErrorCode::ReadIo, ""},
        {"one byte into the footer", {entry(kTagMTAD, 0, 941, 0)}, fileBytes, ErrorCode::DirEntryOutOfBounds,
         "DIRC entry 'MTAD' uid 0 spans [941,969) outside the chunk region [64,968)"},
        {"inside the superblock", {entry(kTagMTAD, 0, 63, 0)}, fileBytes, ErrorCode::DirEntryOutOfBounds,
         "DIRC entry 'MTAD' uid 0 spans [63,91) outside the chunk region [64,968)"},
        {"unaligned but adjacent", {entry(kTagMTAD, 0, 64, 5), entry(kTagSMPL, 0, 97, 0)}, fileBytes,
         ErrorCode::ReadIo, ""},
        {"one byte overlap", {entry(kTagMTAD, 0, 64, 5), entry(kTagSMPL, 0, 96, 0)}, fileBytes,
         ErrorCode::DirEntryOverlap, "DIRC entry at offset 96 overlaps the previous chunk ending at 97"},
        {"later chunk listed first", {entry(kTagSMPL, 0, 200, 0), entry(kTagMTAD, 0, 64, 5)}, fileBytes,
         ErrorCode::DirEntryUnsorted, "DIRC entries not sorted by ascending offset (offset 64 after 200)"},
        {"same offset twice", {entry(kTagMTAD, 0, 64, 5), entry(kTagSMPL, 0, 64, 5)}, fileBytes,
         ErrorCode::DirEntryOverlap, "DIRC entry at offset 64 overlaps the previous chunk ending at 97"},
        {"length overflows before bounds", {entry(kTagAUDI, 3, 64, max - 27)}, fileBytes, ErrorCode::LengthOverflow,
         "DIRC entry 'AUDI' uid 3: offset 64 + length " + std::to_string(max - 27) +
             " overflows 64-bit arithmetic"},
        {"offset plus length overflows", {entry(kTagAUDI, 3, max - 40, 20)}, fileBytes, ErrorCode::LengthOverflow,
         "DIRC entry 'AUDI' uid 3: offset " + std::to_string(max - 40) + " + length 20 overflows 64-bit arithmetic"},
        {"lists itself", {entry(kTagMTAD, 0, 64, 0), entry(kTagDIRC, 0, 96, 0)}, fileBytes, ErrorCode::ModelInvalid,
         "DIRC must not list 'DIRC' (SIGN and DIRC itself are excluded)"},
        {"lists the signature", {entry(kTagSIGN, 0, 64, 0)}, fileBytes, ErrorCode::ModelInvalid,
         "DIRC must not list 'SIGN' (SIGN and DIRC itself are excluded)"},
        {"head and tail share a uid", {entry(kTagAUDI, 5, 64, 4), entry(kTagAUDT, 5, 96, 4)}, fileBytes,
         ErrorCode::ReadIo, ""},
        {"same tag and uid twice", {entry(kTagAUDI, 5, 64, 4), entry(kTagAUDI, 5, 96, 4)}, fileBytes,
         ErrorCode::DirUidDuplicate, "duplicate (type, uid) in DIRC: 'AUDI' uid 5"},
        {"bounds before duplicates", {entry(kTagAUDI, 5, 64, 4), entry(kTagAUDI, 5, 960, 4)}, fileBytes,
         ErrorCode::DirEntryOutOfBounds, "DIRC entry 'AUDI' uid 5 spans [960,992) outside the chunk region [64,968)"},
        {"unprintable tag", {entry(0x00414243u, 1, 10, 0)}, fileBytes, ErrorCode::DirEntryOutOfBounds,
         "DIRC entry 'CBA\\x00' uid 1 spans [10,38) outside the chunk region [64,968)"},
    };
    for (const auto& c : cases) {
        Directory dir;
        dir.entries = c.entries;
        auto r = validateDirectory(dir, c.fileBytes);
        if (c.message.empty()) {
            EXPECT_TRUE(r.ok()) << c.name << ": " << r.message();
            EXPECT_EQ(dir.index.size(), c.entries.size()) << c.name;
        } else {
            ASSERT_FALSE(r.ok()) << c.name;
            EXPECT_EQ(r.code(), c.code) << c.name;
            EXPECT_EQ(r.message(), c.message) << c.name;
            EXPECT_TRUE(dir.index.empty()) << c.name;
        }
    }
}

TEST(Directory, DecodeRunsTheLawsAndReturnsNoPartialDirectory) {
    const Bytes payload = encodeDirectory({entry(kTagAUDI, 5, 64, 4), entry(kTagAUDI, 5, 96, 4)});
    auto r = decodeDirectory(payload, 4096, ReadPolicy{});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::DirUidDuplicate);
}

TEST(Directory, IndexSortsByTagThenUidAsUnsignedNumbers) {
    Directory dir;
    dir.entries = {
        entry(kTagAUDI, 0x8000000000000000ull, 64, 4),
        entry(kTagAUDI, 2, 96, 4),
        entry(0xFFFFFFFFu, 0, 128, 4),
        entry(kTagAUDI, 1, 160, 4),
        entry(1, 9, 192, 4),
    };
    ASSERT_TRUE(validateDirectory(dir, 4096).ok());
    std::vector<uint32_t> expected = {4, 3, 1, 0, 2};
    EXPECT_EQ(dir.index, expected);
    for (const DirEntry& e : dir.entries) {
        const DirEntry* found = dir.find(e.tag, e.uid);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->offset, e.offset);
    }
}

} // namespace
} // namespace vt6::fmt
