#include "format/scan.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "format/framing.hpp"
#include "format/zem_test_file.hpp"

namespace vt6::fmt {
namespace {

using test::BuiltFile;
using test::Chunk;
using test::layoutChunks;

constexpr uint64_t kNoLimit = ~uint64_t{0};

// A written file of the full model: MTAD .. extra chunks, then DIRC.
BuiltFile writtenFile(const test::FileOptions& options = {}) {
    const auto full = test::fullModel();
    return layoutChunks(test::modelChunks(full.model, full.payloads).chunks, options);
}

Result<std::vector<ScanRecord>> scan(const BuiltFile& f, uint64_t maxChunks = kNoLimit) {
    return scanChunks(f.bytes, f.bytes.size(), maxChunks);
}

void expectError(const ErrorInfo& e, ErrorCode code, const std::string& message) {
    EXPECT_EQ(errorCodeName(e.code), std::string(errorCodeName(code)));
    EXPECT_EQ(e.message, message);
}

// Superblock, one 4-byte chunk and the footer: the smallest scannable file
// with a chunk in it.
Bytes oneChunkFile(uint64_t tailZeros = 0) {
    Bytes image(64, 0);
    writeChunk(image, makeTag("XTRA"), 0, 0, Bytes{1, 2, 3, 4});
    image.resize(image.size() + tailZeros + kFooterBytes, 0);
    return image;
}

TEST(ScanChunks, WrittenFileScansToItsChunksWithTheDirectoryLast) {
    const BuiltFile f = writtenFile();
    auto records = scan(f);
    ASSERT_TRUE(records.ok()) << records.message();
    ASSERT_EQ(records->size(), f.entries.size() + 1);
    for (size_t i = 0; i < f.entries.size(); ++i) {
        const DirEntry& e = f.entries[i];
        const ScanRecord& r = (*records)[i];
        EXPECT_EQ(r.tag, e.tag) << i;
        EXPECT_EQ(r.flags, e.flags) << i;
        EXPECT_EQ(r.length, e.length) << i;
        EXPECT_EQ(r.uid, e.uid) << i;
        EXPECT_EQ(r.offset, e.offset) << i;
        EXPECT_EQ(r.crc32c, e.crc32c) << i;
    }
    EXPECT_EQ(records->back().tag, kTagDIRC);
    EXPECT_EQ(records->back().offset, f.dirOffset);
    EXPECT_EQ(records->back().length + kChunkFramingBytes, f.dirLength);
}

TEST(ScanChunks, SuperblockAndFooterAloneScanToNothing) {
    const Bytes image(96, 0);
    auto records = scanChunks(image, 96, kNoLimit);
    ASSERT_TRUE(records.ok()) << records.message();
    EXPECT_TRUE(records->empty());

    DirectoryRebuild rebuild = rebuildDirectory(*records, image, Digest128{}, 96, ReadPolicy{});
    ASSERT_FALSE(rebuild.result.ok());
    EXPECT_FALSE(rebuild.hardFailure);
    expectError(rebuild.result.error(), ErrorCode::DirectoryUnrecoverable, "linear scan found no chunks");
}

TEST(ScanChunks, FramingFaults) {
    const BuiltFile good = writtenFile();
    const DirEntry& smpl = good.entry(kTagSMPL);
    const DirEntry& audi = good.entry(kTagAUDI, 5);
    const uint64_t smplEnd = smpl.offset + smpl.length + kChunkFramingBytes;
    ASSERT_NE(smplEnd % 16, 0u) << "the fixture needs padding after SMPL";

    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        ErrorCode code;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"trailer of a chunk nobody needs",
         [&](Bytes& b) { b[audi.offset + 24 + audi.length] ^= 0x01; }, ErrorCode::ChunkCrcMismatch,
         "scan: chunk 'AUDI' at offset " + std::to_string(audi.offset) + " fails its crc32c"},
        {"one padding byte", [&](Bytes& b) { b[smplEnd] = 0x20; }, ErrorCode::ChunkTruncated,
         "scan: nonzero padding byte at offset " + std::to_string(smplEnd)},
        {"unknown header flag",
         [&](Bytes& b) { b[audi.offset + 4] |= 0x10; }, ErrorCode::UnknownChunkFlag,
         "chunk 'AUDI' carries unknown flag bits 0x10"},
        {"length running into the footer",
         [&](Bytes& b) { storeLe64(b.data() + audi.offset + 8, 1u << 20); }, ErrorCode::ChunkTruncated,
         "scan: chunk 'AUDI' at offset " + std::to_string(audi.offset) + " declares 1048576 payload bytes but only " +
             std::to_string(good.footerStart() - audi.offset - 28) + " remain"},
    };
    for (const Case& c : cases) {
        Bytes bytes = good.bytes;
        c.damage(bytes);
        auto records = scanChunks(bytes, bytes.size(), kNoLimit);
        ASSERT_FALSE(records.ok()) << c.what;
        SCOPED_TRACE(c.what);
        expectError(records.error(), c.code, c.message);
    }
}

TEST(ScanChunks, FileTooSmallOrImageShort) {
    const Bytes image(200, 0);
    expectError(scanChunks(image, 95, kNoLimit).error(), ErrorCode::DirectoryUnrecoverable, "file too small to scan");
    expectError(scanChunks(ByteView(image).first(150), 151, kNoLimit).error(), ErrorCode::DirectoryUnrecoverable,
                "file too small to scan");
}

TEST(ScanChunks, WalkMustEndExactlyAtTheFooter) {
    // Chunk [64, 96); zero bytes after it are stray bytes or a zero chunk.
    EXPECT_TRUE(scanChunks(oneChunkFile(), 128, kNoLimit).ok());
    expectError(scanChunks(oneChunkFile(27), 155, kNoLimit).error(), ErrorCode::ChunkTruncated,
                "scan: 27 stray bytes before the footer (need >= 28 for a chunk)");
    expectError(scanChunks(oneChunkFile(28), 156, kNoLimit).error(), ErrorCode::ChunkCrcMismatch,
                "scan: chunk '\\x00\\x00\\x00\\x00' at offset 96 fails its crc32c");

    // A footer that starts inside the last chunk's padding.
    Bytes image(64, 0);
    writeChunk(image, makeTag("XTRA"), 0, 0, Bytes{7});  // ends at 93, padded to 96
    image.resize(94);
    image.resize(94 + kFooterBytes, 0);
    expectError(scanChunks(image, image.size(), kNoLimit).error(), ErrorCode::ChunkTruncated,
                "scan: chunk walk did not land on the footer");
}

TEST(ScanChunks, StopsCollectingAtTheLimit) {
    std::vector<Chunk> chunks;
    for (uint64_t uid = 1; uid <= 3; ++uid) chunks.push_back({makeTag("XTRA"), 0, uid, Bytes{1}});
    const BuiltFile f = layoutChunks(chunks);  // four chunks with DIRC
    EXPECT_TRUE(scan(f, 4).ok());
    auto limited = scan(f, 3);
    ASSERT_FALSE(limited.ok());
    expectError(limited.error(), ErrorCode::DirPolicyEntries,
                "scan requires at least 4 chunks; the current limit is 3");
}

TEST(ScanChunks, SignedSlotScansAndStaysOutOfTheRebuild) {
    test::Signer signer;
    auto full = test::fullModel();
    signer.certify(full.model);
    const auto layout = test::modelChunks(full.model, full.payloads);
    const BuiltFile f = layoutChunks(layout.chunks, signer.options());

    auto records = scan(f);
    ASSERT_TRUE(records.ok()) << records.message();
    EXPECT_EQ(records->back().tag, kTagSIGN);
    EXPECT_EQ(records->back().offset, (f.dirOffset + f.dirLength + 15) / 16 * 16);

    Digest128 otherHash{};
    otherHash[0] = 1;
    DirectoryRebuild rebuild = rebuildDirectory(*records, f.bytes, otherHash, f.bytes.size(), ReadPolicy{});
    ASSERT_TRUE(rebuild.result.ok()) << rebuild.result.message();
    EXPECT_EQ(rebuild.result->directory.entries.size(), f.entries.size());
    for (const DirEntry& e : rebuild.result->directory.entries) {
        EXPECT_NE(e.tag, kTagSIGN);
        EXPECT_NE(e.tag, kTagDIRC);
    }

    // Zero bytes beyond the slot's padding no longer land on the footer.
    for (const auto& [extra, code] : {std::pair<size_t, ErrorCode>{16, ErrorCode::ChunkTruncated},
                                      std::pair<size_t, ErrorCode>{32, ErrorCode::ChunkCrcMismatch}}) {
        Bytes grown = f.bytes;
        grown.insert(grown.begin() + static_cast<std::ptrdiff_t>(f.footerStart()), extra, 0);
        auto r = scanChunks(grown, grown.size(), kNoLimit);
        ASSERT_FALSE(r.ok()) << extra;
        EXPECT_EQ(r.code(), code) << extra << ": " << r.message();
    }
}

TEST(RebuildDirectory, DecodesTheDirectoryThatMatchesTheHash) {
    const BuiltFile f = writtenFile();
    auto records = scan(f);
    ASSERT_TRUE(records.ok()) << records.message();
    DirectoryRebuild rebuild = rebuildDirectory(*records, f.bytes, f.superblock.dir_hash, f.bytes.size(), ReadPolicy{});
    ASSERT_TRUE(rebuild.result.ok()) << rebuild.result.message();
    ASSERT_TRUE(rebuild.result->location.has_value());
    EXPECT_EQ(rebuild.result->location->offset, f.dirOffset);
    EXPECT_EQ(rebuild.result->location->length, f.dirLength);
    EXPECT_EQ(rebuild.result->directory.entries.size(), f.entries.size());
}

TEST(RebuildDirectory, WithoutAMatchingDirectoryRebuildsEveryEntry) {
    const BuiltFile f = writtenFile();
    auto records = scan(f);
    ASSERT_TRUE(records.ok()) << records.message();
    DirectoryRebuild rebuild = rebuildDirectory(*records, f.bytes, Digest128{}, f.bytes.size(), ReadPolicy{});
    ASSERT_TRUE(rebuild.result.ok()) << rebuild.result.message();
    EXPECT_FALSE(rebuild.result->location.has_value());
    const Directory& dir = rebuild.result->directory;
    ASSERT_EQ(dir.entries.size(), f.entries.size());
    for (size_t i = 0; i < dir.entries.size(); ++i) {
        const DirEntry& a = dir.entries[i];
        const DirEntry& b = f.entries[i];
        EXPECT_TRUE(a.tag == b.tag && a.uid == b.uid && a.offset == b.offset && a.length == b.length &&
                    a.flags == b.flags && a.crc32c == b.crc32c && a.hash == b.hash)
            << i;
    }
    ASSERT_NE(dir.find(kTagAUDT, 3), nullptr);
    EXPECT_EQ(dir.find(kTagAUDT, 3)->offset, f.entry(kTagAUDT, 3).offset);
}

TEST(RebuildDirectory, MatchingDirectoryThatBreaksALawFailsHard) {
    test::FileOptions swapped;
    swapped.editDirectory = [](std::vector<DirEntry>& e) { std::swap(e[1], e[2]); };
    const BuiltFile f = writtenFile(swapped);
    auto records = scan(f);
    ASSERT_TRUE(records.ok()) << records.message();
    DirectoryRebuild rebuild = rebuildDirectory(*records, f.bytes, f.superblock.dir_hash, f.bytes.size(), ReadPolicy{});
    ASSERT_FALSE(rebuild.result.ok());
    EXPECT_TRUE(rebuild.hardFailure);
    EXPECT_EQ(rebuild.result.code(), ErrorCode::DirEntryUnsorted) << rebuild.result.message();

    // The same chunks rebuilt from the scan are fine: only the stored list lies.
    DirectoryRebuild fromScan = rebuildDirectory(*records, f.bytes, Digest128{}, f.bytes.size(), ReadPolicy{});
    EXPECT_TRUE(fromScan.result.ok()) << fromScan.result.message();
}

TEST(RebuildDirectory, RebuiltEntriesKeepTheDirectoryLaws) {
    const BuiltFile dup = layoutChunks({{makeTag("XTRA"), 0, 4, Bytes{1}}, {makeTag("XTRA"), 0, 4, Bytes{2}}});
    auto records = scan(dup);
    ASSERT_TRUE(records.ok()) << records.message();
    DirectoryRebuild rebuild = rebuildDirectory(*records, dup.bytes, Digest128{}, dup.bytes.size(), ReadPolicy{});
    ASSERT_FALSE(rebuild.result.ok());
    EXPECT_FALSE(rebuild.hardFailure);
    expectError(rebuild.result.error(), ErrorCode::DirUidDuplicate, "duplicate (type, uid) in DIRC: 'XTRA' uid 4");
}

TEST(CheckRebuiltDirectory, EntryLimitThenLaws) {
    const BuiltFile f = writtenFile();
    ReadPolicy policy;
    policy.maxDirEntries = f.entries.size() - 1;
    expectError(checkRebuiltDirectory(f.entries, f.bytes.size(), policy).error(), ErrorCode::DirPolicyEntries,
                "this file holds " + std::to_string(f.entries.size()) + " directory entries; the current limit is " +
                    std::to_string(policy.maxDirEntries));

    policy.maxDirEntries = f.entries.size();
    auto dir = checkRebuiltDirectory(f.entries, f.bytes.size(), policy);
    ASSERT_TRUE(dir.ok()) << dir.message();
    EXPECT_EQ(dir->index.size(), f.entries.size());

    std::vector<DirEntry> outside = f.entries;
    outside.back().offset = f.bytes.size();
    EXPECT_EQ(checkRebuiltDirectory(outside, f.bytes.size(), ReadPolicy{}).code(), ErrorCode::DirEntryOutOfBounds);
}

} // namespace
} // namespace vt6::fmt
