#include "format/reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "format/writer.hpp"
#include "format/zem_test_file.hpp"

namespace vt6::fmt {
namespace {

using test::BuiltFile;
using test::Chunk;

const std::string kUnrecoverable =
    "directory unrecoverable (superblock pointer, footer pointer and linear scan all failed): ";

template <class T>
void expectError(const Result<T>& r, ErrorCode code, const std::string& message) {
    ASSERT_FALSE(r.ok()) << "expected " << errorCodeName(code) << ": " << message;
    EXPECT_EQ(errorCodeName(r.code()), std::string(errorCodeName(code)));
    EXPECT_EQ(r.message(), message);
}

// Decimal text of a + b without wrapping at 2^64.
std::string wideSum(uint64_t a, uint64_t b) {
    unsigned __int128 v = static_cast<unsigned __int128>(a) + b;
    std::string out;
    do {
        out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v != 0);
    return out;
}

using ChunkEdit = std::function<void(std::vector<Chunk>&)>;

Chunk* findChunk(std::vector<Chunk>& chunks, uint32_t tag, uint64_t uid = 0) {
    for (Chunk& c : chunks) {
        if (c.tag == tag && c.uid == uid) return &c;
    }
    ADD_FAILURE() << "fixture has no chunk '" << tagText(tag) << "' uid " << uid;
    return &chunks.front();
}

void eraseChunk(std::vector<Chunk>& chunks, uint32_t tag, uint64_t uid = 0) {
    std::erase_if(chunks, [&](const Chunk& c) { return c.tag == tag && c.uid == uid; });
}

// The full model's file, its chunks optionally edited before layout.
BuiltFile fullFile(const test::FileOptions& options = {}, const ChunkEdit& edit = {}) {
    const auto full = test::fullModel();
    auto layout = test::modelChunks(full.model, full.payloads);
    if (edit) edit(layout.chunks);
    return test::layoutChunks(layout.chunks, options);
}

// Points the superblock (and, when asked, the footer) at another directory span.
void pointAt(BuiltFile& f, uint64_t offset, uint64_t length, bool footerToo = true) {
    f.superblock.dir_offset = offset;
    f.superblock.dir_length = length;
    f.writeSuperblock();
    if (footerToo) {
        f.footer.dir_offset = offset;
        f.footer.dir_length = length;
        f.writeFooter();
    }
}

// Sets a padding byte so that the linear scan fails, leaving the pointers intact.
void breakScan(BuiltFile& f) {
    const DirEntry& smpl = f.entry(kTagSMPL);
    const uint64_t end = smpl.offset + smpl.length + kChunkFramingBytes;
    ASSERT_NE(end % 16, 0u) << "fixture needs padding after SMPL";
    f.bytes[end] = 0x5A;
}

uint64_t metadataTotal(const BuiltFile& f) {
    uint64_t total = 0;
    for (const DirEntry& e : f.entries) {
        if (e.tag != kTagAUDI && e.tag != kTagAUDT) total += e.length + kChunkFramingBytes;
    }
    return total;
}

class Reader : public ::testing::Test {
protected:
    std::string write(ByteView bytes) { return dir.write("f" + std::to_string(files++) + ".zem", bytes); }
    Result<Zem6File> open(ByteView bytes, const ReadPolicy& policy = {}) { return openZem6File(write(bytes), policy); }

    test::TempDir dir;
    int files = 0;
};

// ---------------------------------------------------------------------------
// A good file

TEST_F(Reader, OpensEveryChunkKindAndReadsTheModelBack) {
    const auto full = test::fullModel();
    const auto layout = test::modelChunks(full.model, full.payloads);
    const BuiltFile f = test::layoutChunks(layout.chunks);

    auto file = open(f.bytes);
    ASSERT_TRUE(file.ok()) << file.message();
    EXPECT_GE(file->fd, 0);
    EXPECT_EQ(file->fileSize, f.bytes.size());
    EXPECT_EQ(file->superblock.dir_offset, f.dirOffset);
    EXPECT_EQ(file->directorySource, DirectorySource::SuperblockPointer);
    EXPECT_TRUE(file->report.warnings.empty());

    const Provenance& p = file->report.provenance;
    EXPECT_EQ(p.badge, ProvenanceBadge::User);
    EXPECT_EQ(p.badgeText, "USER");
    EXPECT_FALSE(p.isSigned);
    EXPECT_EQ(p.code, ErrorCode::ReadIo);
    EXPECT_TRUE(p.message.empty());

    ASSERT_EQ(file->chunks.size(), f.entries.size());
    for (size_t i = 0; i < f.entries.size(); ++i) {
        const ChunkRecord& c = file->chunks[i];
        const DirEntry& e = f.entries[i];
        EXPECT_EQ(c, (ChunkRecord{e.tag, e.tag, e.flags, e.uid, e.offset, e.length, e.crc32c, e.hash})) << i;
    }
    // The model as written, extra chunks placed by head_bytes.
    EXPECT_TRUE(file->model == layout.model);
    ASSERT_EQ(file->model.extraChunks.size(), 2u);
    EXPECT_FALSE(file->model.extraChunks[0].afterAudio);
    EXPECT_TRUE(file->model.extraChunks[1].afterAudio);

    for (const auto& payload : full.payloads) {
        const ChunkRecord* c = file->findEntry(payload.tag, payload.uid);
        ASSERT_NE(c, nullptr);
        auto bytes = file->readChunk(*c);
        ASSERT_TRUE(bytes.ok()) << bytes.message();
        EXPECT_EQ(*bytes, payload.bytes);
    }
}

TEST_F(Reader, FindEntryMatchesTagAndUidExactly) {
    auto file = open(fullFile().bytes);
    ASSERT_TRUE(file.ok()) << file.message();
    ASSERT_NE(file->findEntry(kTagAUDI, 2), nullptr);
    EXPECT_EQ(file->findEntry(kTagAUDI, 2)->uid, 2u);
    EXPECT_EQ(file->findEntry(kTagAUDI, 3), nullptr);  // an AUDT uid
    EXPECT_EQ(file->findEntry(kTagAUDI, 4), nullptr);  // a sample uid
    EXPECT_EQ(file->findEntry(kTagMTAD, 1), nullptr);
    EXPECT_EQ(file->findEntry(makeTag("QQQQ"), 7)->tag, makeTag("QQQQ"));
    EXPECT_EQ(file->findEntry(kTagDIRC, 0), nullptr);
}

TEST_F(Reader, WriterOutputIsFoundByEveryDirectoryCandidate) {
    const auto full = test::fullModel();
    std::vector<StagedPayload> staged;
    for (const auto& p : full.payloads) staged.push_back({p.uid, p.tag, p.bytes});
    auto image = layoutZem6File(full.model, staged);
    ASSERT_TRUE(image.ok()) << image.message();

    auto file = open(*image);
    ASSERT_TRUE(file.ok()) << file.message();
    EXPECT_EQ(file->directorySource, DirectorySource::SuperblockPointer);
    EXPECT_EQ(file->model.samples, full.model.samples);

    // Superblock pointer gone: the footer finds the same directory.
    Bytes noPointer = *image;
    storeLe64(noPointer.data() + 16, 0);
    storeLe32(noPointer.data() + 60, crc32cOf(ByteView(noPointer.data(), 60)));
    auto viaFooter = open(noPointer);
    ASSERT_TRUE(viaFooter.ok()) << viaFooter.message();
    EXPECT_EQ(viaFooter->directorySource, DirectorySource::FooterPointer);
    EXPECT_EQ(viaFooter->chunks, file->chunks);

    // Footer too: the scan lands on the footer and finds the directory by its hash.
    storeLe64(noPointer.data() + noPointer.size() - 32, 0);
    auto viaScan = open(noPointer);
    ASSERT_TRUE(viaScan.ok()) << viaScan.message();
    EXPECT_EQ(viaScan->directorySource, DirectorySource::LinearScan);
    EXPECT_EQ(viaScan->chunks, file->chunks);
}

// ---------------------------------------------------------------------------
// Head and tail

TEST_F(Reader, PathSizeAndSuperblockFailures) {
    const BuiltFile good = fullFile();
    Bytes longer = good.bytes;
    longer.push_back(0);
    Bytes badCrc = good.bytes;
    badCrc[20] ^= 1;
    Bytes smallValid(96, 0);
    {
        Superblock sb;
        sb.dir_offset = 64;
        sb.dir_length = 10;
        sb.file_bytes = 96;
        const auto enc = encodeSuperblock(sb);
        std::copy(enc.begin(), enc.end(), smallValid.begin());
        const auto foot = encodeFooter({64, 10, 96});
        std::copy(foot.begin(), foot.end(), smallValid.begin() + 64);
    }

    const struct {
        const char* what;
        Bytes bytes;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"95 bytes", Bytes(95, 0), ErrorCode::BadMagic, "file is 95 bytes — smaller than superblock+footer (96)"},
        {"96 zero bytes", Bytes(96, 0), ErrorCode::BadMagic, "not a zem 6 file (magic mismatch at offset 0)"},
        {"superblock crc", badCrc, ErrorCode::BadSuperblockCrc, "superblock crc32c mismatch over bytes [0,60)"},
        {"one byte too many", longer, ErrorCode::FileBytesMismatch,
         "superblock declares " + std::to_string(good.bytes.size()) + " file bytes but the file holds " +
             std::to_string(longer.size()) + " (truncation or trailing garbage)"},
        {"96-byte container", smallValid, ErrorCode::DirectoryUnrecoverable,
         kUnrecoverable + "directory pointer declares only 10 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectError(open(c.bytes), c.code, c.message);
    }

    const std::string missing = dir.path("missing.zem");
    expectError(openZem6File(missing, {}), ErrorCode::ReadIo, "cannot open '" + missing + "' for reading");
    const std::string notUtf8 = dir.path("bad\xC3(.zem");
    expectError(openZem6File(notUtf8, {}), ErrorCode::ReadIo, "cannot open '" + notUtf8 + "' for reading");
}

TEST_F(Reader, FooterProblemsAreWarnings) {
    const std::string disagree = "footer disagrees with the superblock (recovery candidates differ)";
    const struct {
        const char* what;
        std::function<void(BuiltFile&)> damage;
        DirectorySource source;
        std::vector<std::string> warnings;
    } cases[] = {
        {"broken magic", [](BuiltFile& f) { f.bytes[f.bytes.size() - 3] ^= 0xFF; }, DirectorySource::SuperblockPointer,
         {"footer damaged: footer magic mismatch"}},
        {"file_bytes alone differs",
         [](BuiltFile& f) {
             f.footer.file_bytes += 16;
             f.writeFooter();
         },
         DirectorySource::SuperblockPointer, {disagree}},
        {"superblock pointer misses, footer hits",
         [](BuiltFile& f) { pointAt(f, f.dirOffset - 16, f.dirLength, false); }, DirectorySource::FooterPointer,
         {disagree, "directory recovered through the footer pointer"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BuiltFile f = fullFile();
        c.damage(f);
        auto file = open(f.bytes);
        ASSERT_TRUE(file.ok()) << file.message();
        EXPECT_EQ(file->directorySource, c.source);
        EXPECT_EQ(file->report.warnings, c.warnings);
    }
}

// ---------------------------------------------------------------------------
// Directory candidates

// Each soft failure of a pointer leaves the scan to find the directory; with
// the scan broken too, the pointer's own failure is what the open reports.
TEST_F(Reader, PointerFailuresFallBackToTheScan) {
    const BuiltFile good = fullFile();
    const DirEntry& mtad = good.entry(kTagMTAD);
    const std::string end = std::to_string(good.bytes.size());
    const struct {
        const char* what;
        std::function<void(BuiltFile&)> damage;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"longer than the limit", [](BuiltFile& f) { pointAt(f, f.dirOffset, uint64_t{1} << 40); },
         ErrorCode::DirPolicyBytes, "this file declares a 1099511627776-byte directory; the current limit is 67108864 bytes"},
        {"too short", [](BuiltFile& f) { pointAt(f, f.dirOffset, 28); }, ErrorCode::DirectoryUnrecoverable,
         kUnrecoverable + "directory pointer declares only 28 bytes"},
        {"inside the superblock", [](BuiltFile& f) { pointAt(f, 32, f.dirLength); }, ErrorCode::DirEntryOutOfBounds,
         "directory pointer [32," + std::to_string(32 + good.dirLength) + ") lies outside the chunk region"},
        {"into the footer", [](BuiltFile& f) { pointAt(f, f.dirOffset + 16, f.dirLength); },
         ErrorCode::DirEntryOutOfBounds,
         "directory pointer [" + std::to_string(good.dirOffset + 16) + "," +
             std::to_string(good.dirOffset + 16 + good.dirLength) + ") lies outside the chunk region"},
        {"past 2^64", [](BuiltFile& f) { pointAt(f, ~uint64_t{0} - 8, f.dirLength); }, ErrorCode::DirEntryOutOfBounds,
         "directory pointer [18446744073709551607," + wideSum(~uint64_t{0} - 8, good.dirLength) +
             ") lies outside the chunk region"},
        {"at the MTAD chunk", [&](BuiltFile& f) { pointAt(f, 64, mtad.length + 28); },
         ErrorCode::DirectoryUnrecoverable, kUnrecoverable + "directory pointer does not frame a DIRC chunk"},
        {"length off by 16", [](BuiltFile& f) { pointAt(f, f.dirOffset - 16, f.dirLength + 16); },
         ErrorCode::DirectoryUnrecoverable, kUnrecoverable + "directory pointer does not frame a DIRC chunk"},
        {"dir_hash changed",
         [](BuiltFile& f) {
             f.superblock.dir_hash[3] ^= 1;
             f.writeSuperblock();
         },
         ErrorCode::DirHashMismatch, "located DIRC does not hash to the superblock dir_hash"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BuiltFile f = fullFile();
        c.damage(f);
        auto file = open(f.bytes);
        ASSERT_TRUE(file.ok()) << file.message();
        EXPECT_EQ(file->directorySource, DirectorySource::LinearScan);
        EXPECT_EQ(file->report.warnings, std::vector<std::string>{"directory rebuilt by linear scan"});
        EXPECT_EQ(file->chunks.size(), good.entries.size());

        breakScan(f);
        expectError(open(f.bytes), c.code, c.message);
    }
}

TEST_F(Reader, DirectoryCrcMismatchFailsEveryCandidate) {
    BuiltFile f = fullFile();
    f.bytes[f.dirOffset + f.dirLength - 1] ^= 0x40;  // the DIRC trailer; the scan trips on it too
    expectError(open(f.bytes), ErrorCode::ChunkCrcMismatch, "DIRC chunk fails its crc32c");
}

TEST_F(Reader, DirectoryThatHashesRightButBreaksALawIsFinal) {
    test::FileOptions unsorted;
    unsorted.editDirectory = [](std::vector<DirEntry>& e) { std::swap(e[1], e[2]); };
    BuiltFile f = fullFile(unsorted);
    ReadPolicy noRecovery;
    noRecovery.maxRecoveryBytes = 0;  // a scan would fail on this limit
    auto r = open(f.bytes, noRecovery);
    EXPECT_EQ(r.code(), ErrorCode::DirEntryUnsorted) << r.message();

    // Found by the scan through its hash, it is just as final.
    pointAt(f, 0, 0);
    r = open(f.bytes);
    EXPECT_EQ(r.code(), ErrorCode::DirEntryUnsorted) << r.message();
}

TEST_F(Reader, MostTellingCandidateFailureWins) {
    BuiltFile hashed = fullFile();
    hashed.superblock.dir_hash[0] ^= 1;
    hashed.writeSuperblock();
    ReadPolicy fewEntries;
    fewEntries.maxDirEntries = 1;
    // A limit beats a hash mismatch that came first.
    expectError(open(hashed.bytes, fewEntries), ErrorCode::DirPolicyEntries,
                "scan requires at least 4 chunks; the current limit is 3");

    // Among equals the first candidate's failure stays.
    BuiltFile huge = fullFile();
    pointAt(huge, huge.dirOffset, uint64_t{1} << 40);
    expectError(open(huge.bytes, fewEntries), ErrorCode::DirPolicyBytes,
                "this file declares a 1099511627776-byte directory; the current limit is 67108864 bytes");
}

TEST_F(Reader, RecoveryLimitStopsTheScanBeforeAnyRead) {
    BuiltFile f = fullFile();
    f.superblock.dir_hash[0] ^= 1;
    f.writeSuperblock();
    ReadPolicy policy;
    policy.maxRecoveryBytes = f.bytes.size() - 1;
    expectError(open(f.bytes, policy), ErrorCode::RecoveryPolicyBytes,
                "directory recovery requires " + std::to_string(f.bytes.size()) +
                    " bytes; the current limit is " + std::to_string(policy.maxRecoveryBytes) + " bytes");
    policy.maxRecoveryBytes = f.bytes.size();
    EXPECT_TRUE(open(f.bytes, policy).ok());
}

// ---------------------------------------------------------------------------
// Limits and chunk rules of the open

TEST_F(Reader, MetadataBudgetLeavesOutTheAudio) {
    const BuiltFile f = fullFile();
    const uint64_t total = metadataTotal(f);
    ReadPolicy policy;
    policy.maxMetadataBytes = total;
    EXPECT_TRUE(open(f.bytes, policy).ok());
    policy.maxMetadataBytes = total - 1;
    expectError(open(f.bytes, policy), ErrorCode::MetadataPolicyBytes,
                "metadata requires at least " + std::to_string(total) + " bytes; the current limit is " +
                    std::to_string(total - 1) + " bytes");
}

TEST_F(Reader, UnknownCriticalChunkIsRefused) {
    const BuiltFile critical =
        fullFile({}, [](std::vector<Chunk>& c) { findChunk(c, makeTag("QQQQ"), 7)->flags = kChunkCritical; });
    expectError(open(critical.bytes), ErrorCode::UnknownCriticalChunk,
                "unknown chunk 'QQQQ' has CRITICAL set (PNG rule: hard reject)");

    // A known tag may carry CRITICAL.
    const BuiltFile known =
        fullFile({}, [](std::vector<Chunk>& c) { findChunk(c, kTagDESC)->flags = kChunkCritical; });
    auto file = open(known.bytes);
    ASSERT_TRUE(file.ok()) << file.message();
    EXPECT_EQ(file->model.extraChunks[0].flags, kChunkCritical);
}

// ---------------------------------------------------------------------------
// The model

TEST_F(Reader, SingletonChunksMustHaveUidZero) {
    // A singleton under another uid would be passed over by the model and
    // vanish on the next save.
    for (const uint32_t tag : {kTagMTAD, kTagSUMM, kTagSMPL, kTagPEAK, kTagLGCY}) {
        SCOPED_TRACE(tagText(tag));
        const BuiltFile moved = fullFile({}, [tag](std::vector<Chunk>& c) { findChunk(c, tag)->uid = 3; });
        expectError(open(moved.bytes), ErrorCode::ModelInvalid,
                    "chunk '" + tagText(tag) + "' uid 3: singleton chunks must have uid 0");
    }
    // A second copy beside the real one is refused the same way.
    const BuiltFile twice = fullFile({}, [](std::vector<Chunk>& c) {
        Chunk copy = *findChunk(c, kTagPEAK);
        copy.uid = 9;
        c.push_back(copy);
    });
    expectError(open(twice.bytes), ErrorCode::ModelInvalid, "chunk 'PEAK' uid 9: singleton chunks must have uid 0");
}

TEST_F(Reader, ModelFailures) {
    const BuiltFile good = fullFile();
    const struct {
        const char* what;
        ChunkEdit edit;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"no MTAD", [](std::vector<Chunk>& c) { eraseChunk(c, kTagMTAD); }, ErrorCode::ModelInvalid,
         "MTAD chunk missing"},
        {"MTAD not first",
         [](std::vector<Chunk>& c) { std::swap(c[0], c[1]); }, ErrorCode::ModelInvalid,
         "MTAD must be the first chunk (at offset 64; found at " +
             std::to_string(64 + (good.entry(kTagSUMM).length + 28 + 15) / 16 * 16) + ")"},
        {"no SMPL", [](std::vector<Chunk>& c) { eraseChunk(c, kTagSMPL); }, ErrorCode::ModelInvalid,
         "SMPL chunk missing"},
        {"PEAK undecodable", [](std::vector<Chunk>& c) { findChunk(c, kTagPEAK)->payload[0] ^= 1; },
         ErrorCode::ModelInvalid, "PEAK magic mismatch (want 'PKV1')"},
        {"missing AUDI", [](std::vector<Chunk>& c) { eraseChunk(c, kTagAUDI, 5); }, ErrorCode::ModelInvalid,
         "sample uid 4 references AUDI uid 5 but the directory has no such chunk"},
        {"missing AUDT", [](std::vector<Chunk>& c) { eraseChunk(c, kTagAUDT, 3); }, ErrorCode::ModelInvalid,
         "sample uid 1 references AUDT uid 3 but the directory has no such chunk"},
        {"AUDI beyond next_uid",
         [](std::vector<Chunk>& c) {
             auto at = std::find_if(c.begin(), c.end(), [](const Chunk& x) { return x.tag == kTagAUDT; });
             c.insert(at, Chunk{kTagAUDI, kChunkCritical, 6, Bytes{1, 2}});
         },
         ErrorCode::UidLaw, "chunk 'AUDI' uid 6 >= MTAD.next_uid 6"},
        {"model law",
         [](std::vector<Chunk>& c) {
             Summary s;
             s.present = true;
             s.sample_count = 3;
             findChunk(c, kTagSUMM)->payload = test::ok(encodeSumm(s));
         },
         ErrorCode::ModelInvalid, "SUMM sample_count 3 disagrees with the SMPL row count 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        expectError(open(fullFile({}, c.edit).bytes), c.code, c.message);
    }
}

TEST_F(Reader, SampleRowsAreBoundedByTheDirectoryBeforeDecoding) {
    // Rows of a few bytes each cost a few hundred bytes in memory: a table
    // longer than the directory is refused on its declared count.
    const BuiltFile good = fullFile();
    const uint64_t entries = good.entries.size();
    for (const uint64_t rows : {entries, entries + 1, uint64_t{1} << 20}) {
        SCOPED_TRACE(rows);
        const BuiltFile f = fullFile({}, [rows](std::vector<Chunk>& c) {
            CborWriter w;
            w.beginArray(rows);
            for (uint64_t i = 0; i < rows; ++i) {
                w.beginMap(2);
                w.writeUint(1);
                w.writeUint(i + 1);
                w.writeUint(19);
                w.writeUint(2);
            }
            findChunk(c, kTagSMPL)->payload = w.take();
        });
        if (rows <= entries) {
            // Past the bound: the rows decode and the model laws speak.
            auto opened = open(f.bytes);
            ASSERT_FALSE(opened.ok());
            EXPECT_NE(opened.code(), ErrorCode::DirPolicyEntries) << opened.message();
        } else {
            expectError(open(f.bytes), ErrorCode::DirPolicyEntries,
                        "SMPL declares " + std::to_string(rows) + " sample rows; the current limit is " +
                            std::to_string(entries) + " (the directory's entry count)");
        }
    }
}

TEST_F(Reader, LegacyWarningsAreLimited) {
    const BuiltFile f = fullFile({}, [](std::vector<Chunk>& c) {
        LegacyProvenance record;
        record.warnings.assign(kMaxLegacyWarnings + 1, "");
        findChunk(c, kTagLGCY)->payload = test::ok(encodeLgcy(record));
    });
    expectError(open(f.bytes), ErrorCode::MetadataPolicyBytes,
                "LGCY declares 16385 conversion warnings; the current limit is 16384");
}

TEST_F(Reader, HeadBytesMustMeetTheFirstAudioChunk) {
    auto full = test::fullModel();
    auto layout = test::modelChunks(full.model, full.payloads);
    const uint64_t settled = layout.model.metadata.head_bytes;
    full.model.metadata.head_bytes = settled + 16;  // same encoded width
    auto wrong = test::modelChunks(full.model, full.payloads, false);
    expectError(open(test::layoutChunks(wrong.chunks).bytes), ErrorCode::ModelInvalid,
                "MTAD.head_bytes " + std::to_string(settled + 16) + " != first AUDI chunk offset " +
                    std::to_string(settled));
}

TEST_F(Reader, WithoutAudioHeadBytesMayReachTheFileEnd) {
    Zem6Model model;
    model.metadata.next_uid = 1;
    // head_bytes is inside the file it measures: settle it on the file size.
    const auto build = [&](uint64_t headBytes) {
        model.metadata.head_bytes = headBytes;
        return test::layoutChunks(test::modelChunks(model, {}, false).chunks).bytes;
    };
    uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = build(size).size();
    ASSERT_EQ(build(size).size(), size);
    EXPECT_TRUE(open(build(size)).ok());
    const Bytes past = build(size + 1);
    ASSERT_EQ(past.size(), size);
    expectError(open(past), ErrorCode::ModelInvalid,
                "MTAD.head_bytes " + std::to_string(size + 1) + " lies past the file end");
}

TEST_F(Reader, ExtraChunkAtHeadBytesOfAFileWithoutAudioStaysBehindTheAudio) {
    Zem6Model model;
    model.extraChunks.push_back(ExtraChunk{makeTag("QQQQ"), 0, 2, 1, {5, 6}, true});
    const auto layout = test::modelChunks(model, {});
    auto file = open(test::layoutChunks(layout.chunks).bytes);
    ASSERT_TRUE(file.ok()) << file.message();
    ASSERT_EQ(file->findEntry(makeTag("QQQQ"), 1)->offset, layout.model.metadata.head_bytes);
    EXPECT_TRUE(file->model == layout.model);
}

// A model whose MTAD (or SUMM) payload is exactly `bytes` long.
Bytes paddedFile(const char* which, uint64_t bytes) {
    Zem6Model model;
    model.summary.present = true;
    for (int round = 0; round < 8; ++round) {
        auto layout = test::modelChunks(model, {});
        const uint32_t tag = std::string(which) == "MTAD" ? kTagMTAD : kTagSUMM;
        const Chunk* chunk = findChunk(layout.chunks, tag);
        if (chunk->payload.size() == bytes) return test::layoutChunks(layout.chunks).bytes;
        ExtensionList& ext = tag == kTagMTAD ? model.metadata.extensions : model.summary.extensions;
        const ExtensionPair* pair = findExtension(ext, 900);
        const size_t current = pair ? pair->bytes.size() : 0;
        const size_t keyBytes = pair ? 0 : 3;  // key 900 takes 3 bytes
        const int64_t delta = static_cast<int64_t>(bytes) - static_cast<int64_t>(chunk->payload.size());
        const size_t want = static_cast<size_t>(static_cast<int64_t>(current) + delta - keyBytes);
        // A byte-string item: 3-byte head up to 65535 content bytes, else 5.
        const size_t content = want - (want - 3 <= 0xFFFF ? 3 : 5);
        setExtension(ext, 900, encodeCborBytes(Bytes(content, 0xAB)));
    }
    ADD_FAILURE() << "could not size the " << which << " payload to " << bytes;
    return {};
}

TEST_F(Reader, MtadMustEndWithinTheFirst64KiB) {
    EXPECT_TRUE(open(paddedFile("MTAD", 65536 - 92)).ok());
    expectError(open(paddedFile("MTAD", 65536 - 91)), ErrorCode::MtadTooLarge,
                "superblock+MTAD end at byte 65537 — past the first 65536 bytes (the two-step range read law)");
}

TEST_F(Reader, SummIsCappedAt64KiB) {
    EXPECT_TRUE(open(paddedFile("SUMM", 65536)).ok());
    expectError(open(paddedFile("SUMM", 65537)), ErrorCode::SummTooLarge,
                "SUMM payload is 65537 bytes; the hard cap is 65536");
}

// ---------------------------------------------------------------------------
// Signatures

class SignedReader : public Reader {
protected:
    // The full model, certified and signed as laid out; `edit` changes the
    // chunks before layout.
    BuiltFile signedFile(const ChunkEdit& edit = {}) {
        auto full = test::fullModel();
        signer.certify(full.model);
        auto layout = test::modelChunks(full.model, full.payloads);
        if (edit) edit(layout.chunks);
        return test::layoutChunks(layout.chunks, signer.options());
    }
    // Signed flag set, slot left empty.
    BuiltFile strippedFile() {
        auto full = test::fullModel();
        signer.certify(full.model);
        test::FileOptions o;
        o.superblockFlags = kSuperblockSigned;
        return test::layoutChunks(test::modelChunks(full.model, full.payloads).chunks, o);
    }
    ReadPolicy trusting(uint32_t allowBad = 0) const {
        ReadPolicy p;
        p.rootKeyOverride = signer.rootKey();
        p.allowBadSignature = allowBad;
        return p;
    }

    test::Signer signer;
};

TEST_F(SignedReader, VerifiedPublisherAndFactoryBadges) {
    auto file = open(signedFile().bytes, trusting());
    ASSERT_TRUE(file.ok()) << file.message();
    const Provenance& p = file->report.provenance;
    EXPECT_EQ(p.badge, ProvenanceBadge::Publisher);
    EXPECT_TRUE(p.isSigned);
    EXPECT_EQ(p.publisherId, "com.example.drums");
    EXPECT_EQ(p.publisherName, "Example Drums");
    EXPECT_EQ(p.badgeText, "Example Drums \xE2\x9C\x93");
    EXPECT_TRUE(file->report.warnings.empty());

    signer.cert.publisher_id = std::string(kFactoryPublisherId);
    auto factory = open(signedFile().bytes, trusting());
    ASSERT_TRUE(factory.ok()) << factory.message();
    EXPECT_EQ(factory->report.provenance.badge, ProvenanceBadge::Factory);
    EXPECT_EQ(factory->report.provenance.badgeText, "FACTORY");
}

TEST_F(SignedReader, FailuresEndTheOpenUnlessAllowed) {
    ReadPolicy builtInRoot;  // the test root is not the program's
    ReadPolicy smallSlot = trusting();
    smallSlot.maxSignatureSlotBytes = 64;
    const BuiltFile signedOk = signedFile();
    const uint64_t slotBytes = signedOk.footerStart() - (signedOk.dirOffset + signedOk.dirLength + 15) / 16 * 16;

    const struct {
        const char* what;
        Bytes bytes;
        ReadPolicy policy;
        ErrorCode code;
        std::string message;  // empty: only the code is checked
    } cases[] = {
        {"untrusted root", signedOk.bytes, builtInRoot, ErrorCode::PublisherCertUntrusted, ""},
        {"stripped slot", strippedFile().bytes, trusting(), ErrorCode::SignatureSlotInvalid,
         "SIGNED flag set but the signature slot is empty (SIGN chunk stripped)"},
        {"slot over the limit", signedOk.bytes, smallSlot, ErrorCode::SignaturePolicyBytes,
         "signature slot requires " + std::to_string(slotBytes) + " bytes; the current limit is 64 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto refused = open(c.bytes, c.policy);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.code(), c.code) << refused.message();
        if (!c.message.empty()) {
            EXPECT_EQ(refused.message(), c.message);
        }

        ReadPolicy lenient = c.policy;
        lenient.allowBadSignature = 1;
        auto file = open(c.bytes, lenient);
        ASSERT_TRUE(file.ok()) << file.message();
        const Provenance& p = file->report.provenance;
        EXPECT_EQ(p.badge, ProvenanceBadge::Modified);
        EXPECT_EQ(p.badgeText, "\xE2\x9A\xA0 MODIFIED");
        EXPECT_TRUE(p.isSigned);
        EXPECT_EQ(p.code, refused.code());
        EXPECT_EQ(p.message, refused.message());
        EXPECT_TRUE(p.publisherId.empty() && p.publisherName.empty());
        EXPECT_EQ(file->report.warnings, std::vector<std::string>{"signature verification failed [" +
                                                                  std::string(errorCodeName(refused.code())) +
                                                                  "]: " + refused.message()});
    }
}

TEST_F(SignedReader, SlotIsFoundWhenTheDirectoryWasRecovered) {
    // Pointers lost: the scan finds the DIRC chunk by its hash, and the slot after it.
    BuiltFile lost = signedFile();
    pointAt(lost, 0, 0);
    auto viaHash = open(lost.bytes, trusting());
    ASSERT_TRUE(viaHash.ok()) << viaHash.message();
    EXPECT_EQ(viaHash->directorySource, DirectorySource::LinearScan);
    EXPECT_EQ(viaHash->report.provenance.badge, ProvenanceBadge::Publisher);

    // Directory hash broken: rebuilt from the chunks, the slot is the SIGN chunk the scan saw.
    BuiltFile rebuilt = signedFile();
    rebuilt.superblock.dir_hash[0] ^= 1;
    rebuilt.writeSuperblock();
    auto viaSign = open(rebuilt.bytes, trusting());
    ASSERT_TRUE(viaSign.ok()) << viaSign.message();
    EXPECT_EQ(viaSign->directorySource, DirectorySource::LinearScan);
    EXPECT_EQ(viaSign->report.provenance.badge, ProvenanceBadge::Publisher);

    // Rebuilt with no SIGN chunk anywhere.
    BuiltFile stripped = strippedFile();
    stripped.superblock.dir_hash[0] ^= 1;
    stripped.writeSuperblock();
    expectError(open(stripped.bytes, trusting()), ErrorCode::SignatureSlotInvalid,
                "SIGNED flag set but no SIGN chunk could be located (directory scan-rebuilt, no SIGN seen)");
}

TEST_F(SignedReader, LiveTranscriptComesFromTheDirectory) {
    // Sign the original chunks, then replace one audio payload: its new hash
    // in the directory no longer matches what was signed.
    const BuiltFile original = signedFile();
    auto full = test::fullModel();
    signer.certify(full.model);
    auto layout = test::modelChunks(full.model, full.payloads);
    findChunk(layout.chunks, kTagAUDI, 5)->payload[10] ^= 0xFF;
    test::FileOptions o = signer.options();
    o.slot = [&](const std::vector<DirEntry>&) { return signer.slotFor(original.entries); };
    const BuiltFile changed = test::layoutChunks(layout.chunks, o);
    expectError(open(changed.bytes, trusting()), ErrorCode::TranscriptMismatch,
                "chunk 'AUDI' uid 5: content hash differs from the signed transcript");
}

// ---------------------------------------------------------------------------
// Chunk reads

// Small payloads are read in one piece, large ones apart from their header:
// both get every check, and the buffer-keeping read gives the same answers.
TEST_F(Reader, ReadChunkChecks) {
  for (const size_t bigPayload : {size_t{0}, size_t{100000}}) {
    SCOPED_TRACE(bigPayload);
    const BuiltFile good = fullFile({}, [&](std::vector<Chunk>& chunks) {
        if (bigPayload == 0) return;
        auto* c = findChunk(chunks, kTagAUDI, 5);
        c->payload.resize(bigPayload, 0x3C);
    });
    {
        auto file = open(good.bytes);
        ASSERT_TRUE(file.ok()) << file.message();
        const ChunkRecord& r = *file->findEntry(kTagAUDI, 5);
        auto whole = file->readChunk(r);
        ASSERT_TRUE(whole.ok()) << whole.message();
        EXPECT_EQ(whole->size(), bigPayload == 0 ? r.length : bigPayload);
        Bytes scratch(3, 7);
        auto view = file->readChunkInto(r, scratch);
        ASSERT_TRUE(view.ok()) << view.message();
        EXPECT_EQ(Bytes(view->begin(), view->end()), *whole);
    }
    const DirEntry audi = good.entry(kTagAUDI, 5);
    const uint64_t trailerAt = audi.offset + 24 + audi.length;
    const std::string at = std::to_string(audi.offset);
    const struct {
        const char* what;
        std::function<void(BuiltFile&)> damage;
        test::FileOptions options;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"trailer", [&](BuiltFile& f) { f.bytes[trailerAt] ^= 1; }, {}, ErrorCode::ChunkCrcMismatch,
         "chunk 'AUDI' uid 5 fails its crc32c trailer"},
        {"payload, trailer resealed",
         [&](BuiltFile& f) {
             f.bytes[audi.offset + 30] ^= 1;
             f.resealChunk(audi.offset);
         },
         {}, ErrorCode::ChunkHashMismatch, "chunk 'AUDI' uid 5 fails its DIRC BLAKE2b-128 content hash"},
        {"header uid",
         [&](BuiltFile& f) {
             f.bytes[audi.offset + 16] = 4;
             f.resealChunk(audi.offset);
         },
         {}, ErrorCode::ChunkHeaderDirMismatch,
         "chunk header at offset " + at + " disagrees with its DIRC entry ('AUDI' uid 5)"},
        {"header flags",
         [&](BuiltFile& f) {
             f.bytes[audi.offset + 4] = 2;
             f.resealChunk(audi.offset);
         },
         {}, ErrorCode::ChunkHeaderDirMismatch,
         "chunk header at offset " + at + " disagrees with its DIRC entry ('AUDI' uid 5)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        BuiltFile f = good;
        c.damage(f);
        auto file = open(f.bytes);
        ASSERT_TRUE(file.ok()) << file.message();  // the open never reads audio
        expectError(file->readChunk(*file->findEntry(kTagAUDI, 5)), c.code, c.message);
        Bytes scratch;
        expectError(file->readChunkInto(*file->findEntry(kTagAUDI, 5), scratch), c.code, c.message);
    }

    test::FileOptions wrongCrc;
    wrongCrc.editDirectory = [](std::vector<DirEntry>& e) {
        for (DirEntry& x : e) {
            if (x.tag == kTagAUDI && x.uid == 5) x.crc32c ^= 1;
        }
    };
    auto file = open(fullFile(wrongCrc, [&](std::vector<Chunk>& chunks) {
                         if (bigPayload != 0) findChunk(chunks, kTagAUDI, 5)->payload.resize(bigPayload, 0x3C);
                     }).bytes);
    ASSERT_TRUE(file.ok()) << file.message();
    expectError(file->readChunk(*file->findEntry(kTagAUDI, 5)), ErrorCode::ChunkHeaderDirMismatch,
                "DIRC crc32c disagrees with the chunk trailer for 'AUDI' uid 5");
  }
}

TEST_F(Reader, ReadChunkBoundsAndLimit) {
    const BuiltFile f = fullFile();
    const DirEntry& audi = f.entry(kTagAUDI, 2);
    const uint64_t span = audi.length + 28;
    ReadPolicy policy;
    policy.maxChunkReadBytes = span;
    auto file = open(f.bytes, policy);
    ASSERT_TRUE(file.ok()) << file.message();
    const ChunkRecord record = *file->findEntry(kTagAUDI, 2);
    EXPECT_TRUE(file->readChunk(record).ok());

    policy.maxChunkReadBytes = span - 1;
    file = open(f.bytes, policy);
    ASSERT_TRUE(file.ok()) << file.message();
    expectError(file->readChunk(record), ErrorCode::ChunkReadPolicyBytes,
                "whole-chunk read requires " + std::to_string(span) + " bytes; the current limit is " +
                    std::to_string(span - 1) + " bytes");

    const auto outside = [&](uint64_t offset, uint64_t length) {
        ChunkRecord r = record;
        r.offset = offset;
        r.length = length;
        return r;
    };
    const uint64_t footerStart = f.footerStart();
    for (const ChunkRecord& r : {outside(0, 4), outside(32, 4), outside(footerStart - 27, 0),
                                 outside(footerStart - 28 - 4, 5), outside(64, ~uint64_t{0} - 10),
                                 outside(~uint64_t{0} - 10, 4)}) {
        expectError(file->readChunk(r), ErrorCode::ChunkTruncated, "whole-chunk read lies outside the file");
    }
}

TEST_F(Reader, PayloadRangesAreCutAtThePayloadEnd) {
    const auto full = test::fullModel();
    auto file = open(fullFile().bytes);
    ASSERT_TRUE(file.ok()) << file.message();
    auto view = file->readChunkHeader(*file->findEntry(kTagAUDI, 2));
    ASSERT_TRUE(view.ok()) << view.message();
    EXPECT_EQ(view->fd, file->fd);
    EXPECT_EQ(view->payloadOffset, file->findEntry(kTagAUDI, 2)->offset + 24);
    const Bytes& payload = full.payloads[0].bytes;  // AUDI 2, 120 bytes
    ASSERT_EQ(view->payloadLength, payload.size());

    Bytes buf(50, 0xEE);
    auto n = Zem6File::readPayloadRange(*view, 100, buf);
    ASSERT_TRUE(n.ok()) << n.message();
    EXPECT_EQ(*n, 20u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 20, payload.begin() + 100));
    EXPECT_EQ(buf[20], 0xEE);

    for (const uint64_t offset : {uint64_t{120}, uint64_t{121}, ~uint64_t{0}}) {
        n = file->readPayloadRange(*view, offset, buf);
        ASSERT_TRUE(n.ok()) << n.message();
        EXPECT_EQ(*n, 0u);
    }
    Bytes all(payload.size());
    n = file->readPayloadRange(*view, 0, all);
    ASSERT_TRUE(n.ok()) << n.message();
    EXPECT_EQ(all, payload);
}

TEST_F(Reader, FileThatShrankAfterTheOpen) {
    const BuiltFile f = fullFile();
    const std::string path = write(f.bytes);
    auto file = openZem6File(path, {});
    ASSERT_TRUE(file.ok()) << file.message();
    const ChunkRecord audi = *file->findEntry(kTagAUDI, 5);
    const ChunkRecord qqqq = *file->findEntry(makeTag("QQQQ"), 7);
    auto view = file->readChunkHeader(audi);
    ASSERT_TRUE(view.ok()) << view.message();

    std::filesystem::resize_file(path, audi.offset + 30);
    expectError(file->readChunk(audi), ErrorCode::ChunkTruncated,
                "chunk 'AUDI' read came up short of its " + std::to_string(audi.length + 28) + "-byte span");
    expectError(file->readChunkHeader(qqqq), ErrorCode::ChunkTruncated,
                "chunk header read came up short at offset " + std::to_string(qqqq.offset));
    Bytes buf(20);
    // What is left of the payload still reads.
    EXPECT_TRUE(Zem6File::readPayloadRange(*view, 0, std::span<uint8_t>(buf).first(6)).ok());
    expectError(Zem6File::readPayloadRange(*view, 0, buf), ErrorCode::ChunkTruncated,
                "payload read came up short — the file shrank under us");
}

TEST_F(Reader, ReadChunkHeaderChecksTheHeaderOnly) {
    BuiltFile f = fullFile();
    const DirEntry audi = f.entry(kTagAUDI, 5);
    f.bytes[audi.offset + 40] ^= 1;  // payload damage is not its concern
    auto file = open(f.bytes);
    ASSERT_TRUE(file.ok()) << file.message();
    EXPECT_TRUE(file->readChunkHeader(*file->findEntry(kTagAUDI, 5)).ok());

    ChunkRecord other = *file->findEntry(kTagAUDI, 5);
    other.uid = 4;
    expectError(file->readChunkHeader(other), ErrorCode::ChunkHeaderDirMismatch,
                "chunk header at offset " + std::to_string(audi.offset) + " disagrees with its DIRC entry ('AUDI' uid 4)");
}

// ---------------------------------------------------------------------------
// Ownership

TEST_F(Reader, EmptyAndMovedFromFilesHoldNothing) {
    const Zem6File empty;
    EXPECT_EQ(empty.fd, -1);
    EXPECT_EQ(empty.fileSize, 0u);
    EXPECT_EQ(empty.superblock.format_major, 1);
    EXPECT_EQ(empty.report.provenance.badge, ProvenanceBadge::None);
    EXPECT_EQ(empty.report.provenance.code, ErrorCode::ReadIo);
    EXPECT_EQ(empty.policy.maxChunkReadBytes, kDefaultMaxChunkReadBytes);
    EXPECT_EQ(ChunkRecord{}.type, kTagMTAD);

    auto opened = open(fullFile().bytes);
    ASSERT_TRUE(opened.ok()) << opened.message();
    Zem6File a = std::move(opened).value();
    const int fd = a.fd;
    Zem6File b = std::move(a);
    EXPECT_EQ(a.fd, -1);
    EXPECT_TRUE(a.chunks.empty() && a.index.empty() && a.model.samples.empty());
    EXPECT_EQ(b.fd, fd);
    EXPECT_TRUE(b.readChunk(*b.findEntry(kTagAUDI, 2)).ok());

    Zem6File c;
    c = std::move(b);
    EXPECT_EQ(b.fd, -1);
    EXPECT_TRUE(c.readChunk(*c.findEntry(kTagAUDI, 2)).ok());
    c.close();
    EXPECT_EQ(c.fd, -1);
    EXPECT_TRUE(c.chunks.empty());
}

} // namespace
} // namespace vt6::fmt
