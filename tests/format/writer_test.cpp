#include "format/writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/directory.hpp"
#include "format/export.hpp"
#include "format/framing.hpp"
#include "format/lgcy.hpp"
#include "format/reader.hpp"
#include "format/scan.hpp"
#include "format/smpl.hpp"
#include "format/summ_peak.hpp"
#include "support/temp_dir.hpp"

namespace vt6::fmt {
namespace {

constexpr uint64_t align16(uint64_t v) { return (v + 15) / 16 * 16; }

SmplEntry row(uint64_t uid, uint64_t audi, std::optional<uint64_t> audt = std::nullopt) {
    SmplEntry e;
    e.uid = uid;
    e.audi_uid = audi;
    e.audt_uid = audt;
    return e;
}

// Distinct bytes per (tag, uid), so a misplaced payload shows.
StagedPayload payload(uint32_t tag, uint64_t uid, size_t size = 100) {
    StagedPayload p;
    p.tag = tag;
    p.uid = uid;
    p.bytes.resize(size);
    for (size_t i = 0; i < size; ++i) p.bytes[i] = static_cast<uint8_t>(uid * 31 + tag + i);
    return p;
}

ExtraChunk extra(const char (&tag)[5], uint64_t uid, bool afterAudio, uint32_t flags = 0, size_t size = 5) {
    ExtraChunk c;
    c.tag = makeTag(tag);
    c.flags = flags;
    c.uid = uid;
    c.bytes.assign(size, static_cast<uint8_t>(0xA0 + uid));
    c.length = size;
    c.afterAudio = afterAudio;
    return c;
}

// Every kind of chunk a written file can hold: three samples (one with a
// tail payload), summary, peaks, a LGCY record, carried chunks before and
// after the audio.
Zem6Model fullModel() {
    Zem6Model m;
    m.metadata.next_uid = 20;
    m.metadata.name = "Snare";
    m.samples = {row(1, 2), row(3, 4, 5), row(6, 7)};
    m.summary.present = true;
    m.summary.sample_count = 3;
    m.summary.total_frames = 12345;
    m.points_per_sample = 4;
    m.peaks.assign(3 * 2 * 4, 0x11);
    m.lgcy = LegacyProvenance{{'Z', 'e', 'm', '_', 'v', '4', '.', '0'}, {1, 2, 3}, std::nullopt, {"note"}, {}};
    m.extraChunks = {extra("XTRA", 0, false), extra("DESC", 0, false, 6), extra("ABCD", 9, true, 0, 17)};
    return m;
}

// Staged out of tag order on purpose: AUDT chunks still follow every AUDI.
std::vector<StagedPayload> fullPayloads() {
    return {payload(kTagAUDT, 5, 40), payload(kTagAUDI, 7), payload(kTagAUDI, 2), payload(kTagAUDI, 4, 333)};
}

struct Parsed {
    Superblock sb;
    Footer footer;
    Directory dir;
    ModelMetadata mtad;
};

ByteView chunkPayload(const FileImage& image, const DirEntry& e) {
    return ByteView(image.data() + e.offset + kChunkHeaderBytes, e.length);
}

// Parses an image with the framing and directory codecs and checks every
// framing law a written file keeps; callers wrap it in ASSERT_NO_FATAL_FAILURE.
void parseImage(const FileImage& image, Parsed& out) {
    ASSERT_GE(image.size(), kMinFileBytes);
    ASSERT_EQ(image.size() % 16, 0u);
    auto sb = parseSuperblock(image);
    ASSERT_TRUE(sb.ok()) << sb.message();
    out.sb = *sb;
    EXPECT_EQ(out.sb.format_major, 1);
    EXPECT_EQ(out.sb.format_minor, 0);
    EXPECT_EQ(loadLe32(image.data() + 56), 0u);
    ASSERT_EQ(out.sb.file_bytes, image.size());

    auto footer = parseFooter(ByteView(image).subspan(image.size() - kFooterBytes));
    ASSERT_TRUE(footer.ok()) << footer.message();
    out.footer = *footer;
    EXPECT_EQ(out.footer.dir_offset, out.sb.dir_offset);
    EXPECT_EQ(out.footer.dir_length, out.sb.dir_length);
    EXPECT_EQ(out.footer.file_bytes, out.sb.file_bytes);

    // DIRC is the last chunk and the signature slot is empty.
    ASSERT_EQ(align16(out.sb.dir_offset + out.sb.dir_length) + kFooterBytes, image.size());
    auto dirHeader = parseChunkHeader(ByteView(image).subspan(out.sb.dir_offset));
    ASSERT_TRUE(dirHeader.ok());
    EXPECT_EQ(dirHeader->tag, kTagDIRC);
    EXPECT_EQ(dirHeader->flags, kChunkCritical);
    EXPECT_EQ(dirHeader->uid, 0u);
    ASSERT_EQ(dirHeader->length + kChunkFramingBytes, out.sb.dir_length);
    const ByteView dirBytes(image.data() + out.sb.dir_offset, kChunkHeaderBytes + dirHeader->length);
    EXPECT_EQ(blake2b128(dirBytes), out.sb.dir_hash);
    EXPECT_EQ(crc32cOf(dirBytes), loadLe32(dirBytes.data() + dirBytes.size()));
    auto dir = decodeDirectory(dirBytes.subspan(kChunkHeaderBytes), image.size(), ReadPolicy{});
    ASSERT_TRUE(dir.ok()) << dir.message();
    out.dir = std::move(*dir);

    // Chunks follow each other at 16-byte steps from offset 64, each header,
    // trailer and hash agreeing with its entry, padding all zero.
    uint64_t expectedOffset = kSuperblockBytes;
    for (const DirEntry& e : out.dir.entries) {
        SCOPED_TRACE(tagText(e.tag) + " uid " + std::to_string(e.uid));
        ASSERT_EQ(e.offset, expectedOffset);
        auto header = parseChunkHeader(ByteView(image).subspan(e.offset));
        ASSERT_TRUE(header.ok());
        EXPECT_EQ(header->tag, e.tag);
        EXPECT_EQ(header->flags, e.flags);
        EXPECT_EQ(header->length, e.length);
        EXPECT_EQ(header->uid, e.uid);
        const ByteView framed(image.data() + e.offset, kChunkHeaderBytes + e.length);
        EXPECT_EQ(crc32cOf(framed), e.crc32c);
        EXPECT_EQ(loadLe32(framed.data() + framed.size()), e.crc32c);
        EXPECT_EQ(blake2b128(framed), e.hash);
        const uint64_t end = e.offset + e.length + kChunkFramingBytes;
        expectedOffset = align16(end);
        for (uint64_t i = end; i < expectedOffset; ++i) ASSERT_EQ(image[i], 0) << "padding at " << i;
    }
    EXPECT_EQ(expectedOffset, out.sb.dir_offset);

    ASSERT_FALSE(out.dir.entries.empty());
    ASSERT_EQ(out.dir.entries[0].tag, kTagMTAD);
    auto mtad = decodeMtad(chunkPayload(image, out.dir.entries[0]));
    ASSERT_TRUE(mtad.ok()) << mtad.message();
    out.mtad = std::move(*mtad);
}

struct ChunkId {
    uint32_t tag;
    uint64_t uid;
    uint32_t flags;
    bool operator==(const ChunkId&) const = default;
};

std::ostream& operator<<(std::ostream& os, const ChunkId& c) {
    return os << "(" << tagText(c.tag) << ", " << c.uid << ", flags " << c.flags << ")";
}

std::vector<ChunkId> chunkIds(const Directory& dir) {
    std::vector<ChunkId> out;
    for (const DirEntry& e : dir.entries) out.push_back({e.tag, e.uid, e.flags});
    return out;
}

const DirEntry* findEntry(const Directory& dir, uint32_t tag, uint64_t uid = 0) {
    for (const DirEntry& e : dir.entries)
        if (e.tag == tag && e.uid == uid) return &e;
    return nullptr;
}

FileImage layoutOk(const Zem6Model& model, const std::vector<StagedPayload>& payloads, WriteOptions options = {}) {
    auto image = layoutZem6File(model, payloads, options);
    EXPECT_TRUE(image.ok()) << image.message();
    return image.ok() ? std::move(*image) : FileImage{};
}

// --- layout ---------------------------------------------------------------

TEST(WriterLayout, EmptyModelWritesMtadSmplDirectoryAndFooter) {
    const FileImage image = layoutOk(Zem6Model{}, {});
    Parsed p;
    ASSERT_NO_FATAL_FAILURE(parseImage(image, p));
    EXPECT_EQ(chunkIds(p.dir), (std::vector<ChunkId>{{kTagMTAD, 0, 1}, {kTagSMPL, 0, 1}}));
    const DirEntry& smpl = p.dir.entries[1];
    EXPECT_EQ(p.mtad.head_bytes, align16(smpl.offset + smpl.length + kChunkFramingBytes));
    EXPECT_EQ(p.mtad.head_bytes, p.sb.dir_offset);
    EXPECT_EQ(p.sb.flags, 0u);
    EXPECT_EQ(chunkPayload(image, smpl).size(), 1u);  // an empty array
}

TEST(WriterLayout, FullModelChunkOrderFlagsAndPayloads) {
    const Zem6Model model = fullModel();
    const Zem6Model before = model;
    const auto payloads = fullPayloads();
    const FileImage image = layoutOk(model, payloads);
    EXPECT_EQ(model, before);  // works on copies

    Parsed p;
    ASSERT_NO_FATAL_FAILURE(parseImage(image, p));
    EXPECT_EQ(chunkIds(p.dir), (std::vector<ChunkId>{{kTagMTAD, 0, 1},
                                                     {kTagSUMM, 0, 0},
                                                     {kTagSMPL, 0, 1},
                                                     {kTagPEAK, 0, 0},
                                                     {makeTag("XTRA"), 0, 0},
                                                     {makeTag("DESC"), 0, 6},
                                                     {kTagAUDI, 7, 1},
                                                     {kTagAUDI, 2, 1},
                                                     {kTagAUDI, 4, 1},
                                                     {kTagAUDT, 5, 1},
                                                     {kTagLGCY, 0, 0},
                                                     {makeTag("ABCD"), 9, 0}}));
    EXPECT_EQ(p.sb.flags, kSuperblockHasAudt | kSuperblockLegacyOrigin);
    EXPECT_EQ(p.mtad.head_bytes, findEntry(p.dir, kTagAUDI, 7)->offset);

    // MTAD is the model's metadata with only head_bytes filled in.
    ModelMetadata expectedMtad = model.metadata;
    expectedMtad.head_bytes = p.mtad.head_bytes;
    EXPECT_EQ(p.mtad, expectedMtad);

    for (const StagedPayload& s : payloads) {
        const DirEntry* e = findEntry(p.dir, s.tag, s.uid);
        ASSERT_NE(e, nullptr);
        const ByteView got = chunkPayload(image, *e);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), s.bytes.begin(), s.bytes.end()));
    }
    for (const ExtraChunk& c : model.extraChunks) {
        const DirEntry* e = findEntry(p.dir, c.tag, c.uid);
        ASSERT_NE(e, nullptr);
        const ByteView got = chunkPayload(image, *e);
        EXPECT_TRUE(std::equal(got.begin(), got.end(), c.bytes.begin(), c.bytes.end()));
    }

    auto smpl = decodeSmpl(chunkPayload(image, *findEntry(p.dir, kTagSMPL)));
    ASSERT_TRUE(smpl.ok());
    EXPECT_EQ(*smpl, model.samples);
    auto peak = decodePeak(chunkPayload(image, *findEntry(p.dir, kTagPEAK)));
    ASSERT_TRUE(peak.ok());
    EXPECT_EQ(peak->points_per_sample, model.points_per_sample);
    EXPECT_EQ(peak->peaks, model.peaks);
    auto lgcy = decodeLgcy(chunkPayload(image, *findEntry(p.dir, kTagLGCY)));
    ASSERT_TRUE(lgcy.ok());
    EXPECT_EQ(*lgcy, *model.lgcy);

    // The summary records the byte counts of the chunks it was written with.
    auto summ = decodeSumm(chunkPayload(image, *findEntry(p.dir, kTagSUMM)));
    ASSERT_TRUE(summ.ok());
    Summary expectedSumm = model.summary;
    expectedSumm.smpl_bytes = findEntry(p.dir, kTagSMPL)->length;
    expectedSumm.peak_bytes = findEntry(p.dir, kTagPEAK)->length;
    EXPECT_EQ(*summ, expectedSumm);
}

TEST(WriterLayout, SummaryWithoutPeaksRecordsZeroPeakBytes) {
    Zem6Model model = fullModel();
    model.peaks.clear();
    model.summary.peak_bytes = 999;  // stale value from an earlier file
    const FileImage image = layoutOk(model, fullPayloads());
    Parsed p;
    ASSERT_NO_FATAL_FAILURE(parseImage(image, p));
    EXPECT_EQ(findEntry(p.dir, kTagPEAK), nullptr);
    auto summ = decodeSumm(chunkPayload(image, *findEntry(p.dir, kTagSUMM)));
    ASSERT_TRUE(summ.ok());
    EXPECT_EQ(summ->peak_bytes, 0u);
}

TEST(WriterLayout, SuperblockFlags) {
    struct Case {
        const char* what;
        bool audt;
        bool lgcy;
        bool option;
        uint32_t flags;
    } cases[] = {
        {"plain", false, false, false, 0},
        {"tail payload", true, false, false, kSuperblockHasAudt},
        {"LGCY record", false, true, false, kSuperblockLegacyOrigin},
        {"legacy option without LGCY", false, false, true, kSuperblockLegacyOrigin},
        {"everything", true, true, true, kSuperblockHasAudt | kSuperblockLegacyOrigin},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model model;
        model.metadata.next_uid = 10;
        model.samples = {row(1, 2, c.audt ? std::optional<uint64_t>(3) : std::nullopt)};
        std::vector<StagedPayload> payloads = {payload(kTagAUDI, 2)};
        if (c.audt) payloads.push_back(payload(kTagAUDT, 3));
        if (c.lgcy) model.lgcy = LegacyProvenance{};
        Parsed p;
        ASSERT_NO_FATAL_FAILURE(parseImage(layoutOk(model, payloads, WriteOptions{c.option}), p));
        EXPECT_EQ(p.sb.flags, c.flags);
    }
}

TEST(WriterLayout, CarriedChunkStaysOnItsSideOfTheAudio) {
    Zem6Model head = fullModel();
    head.extraChunks = {extra("PRVW", 3, false, 0, 50)};
    Zem6Model tail = head;
    tail.extraChunks[0].afterAudio = true;

    Parsed ph, pt;
    ASSERT_NO_FATAL_FAILURE(parseImage(layoutOk(head, fullPayloads()), ph));
    ASSERT_NO_FATAL_FAILURE(parseImage(layoutOk(tail, fullPayloads()), pt));
    // In the head it moves head_bytes by its whole span; behind the audio it
    // comes after LGCY and the head is unchanged by it.
    EXPECT_EQ(ph.mtad.head_bytes, pt.mtad.head_bytes + align16(50 + kChunkFramingBytes));
    EXPECT_LT(findEntry(ph.dir, makeTag("PRVW"), 3)->offset, ph.mtad.head_bytes);
    EXPECT_EQ(pt.dir.entries.back().tag, makeTag("PRVW"));
    EXPECT_EQ(pt.dir.entries[pt.dir.entries.size() - 2].tag, kTagLGCY);
}

// head_bytes is stored in MTAD, whose size depends on how many bytes the
// value needs (1 for 0, 3 below 65536, 5 from 65536 on). Where that growth
// pushes the MTAD chunk over a 16-byte step the head end moves and the loop
// must iterate again. Sweep head ends around 65536 and MTAD sizes over all 16
// residues: the value written must always be the first AUDI offset.
TEST(WriterLayout, HeadBytesFixPointConvergesAcrossCborHeadSizes) {
    const std::vector<StagedPayload> payloads = {payload(kTagAUDI, 2)};
    bool crossed = false;
    for (size_t pad = 0; pad < 16; ++pad) {
        Zem6Model model;
        model.metadata.next_uid = 3;
        model.metadata.name = std::string(pad, 'n');
        model.samples = {row(1, 2)};
        Parsed p0;
        ASSERT_NO_FATAL_FAILURE(parseImage(layoutOk(model, payloads), p0));
        const uint64_t baseHead = p0.mtad.head_bytes;
        for (uint64_t target = 65536 - 48; target <= 65536 + 48; ++target) {
            SCOPED_TRACE("pad " + std::to_string(pad) + ", target " + std::to_string(target));
            model.extraChunks = {extra("XTRA", 0, false, 0, target - baseHead - kChunkFramingBytes)};
            Parsed p;
            ASSERT_NO_FATAL_FAILURE(parseImage(layoutOk(model, payloads), p));
            ASSERT_EQ(p.mtad.head_bytes, findEntry(p.dir, kTagAUDI, 2)->offset);
            crossed = crossed || p.mtad.head_bytes >= 65536;
        }
    }
    EXPECT_TRUE(crossed);
}

// --- payload laws ---------------------------------------------------------

using ModelChange = std::function<void(Zem6Model&)>;

TEST(StagePayloads, RefusalsInOrder) {
    const uint32_t oddTag = makeTag("A\x01" "DI");
    struct Case {
        const char* what;
        std::vector<SmplEntry> samples;
        std::vector<StagedPayload> payloads;
        ErrorCode code;
        std::string message;
    } cases[] = {
        {"tag not audio", {}, {payload(kTagPEAK, 6)}, ErrorCode::ModelInvalid,
         "payload blob type must be AUDI or AUDT (got 'PEAK')"},
        {"unprintable tag", {}, {payload(oddTag, 6)}, ErrorCode::ModelInvalid,
         "payload blob type must be AUDI or AUDT (got 'A\\x01DI')"},
        {"uid 0", {}, {payload(kTagAUDI, 0)}, ErrorCode::UidLaw, "payload blob uid 0 is reserved"},
        {"uid equal to next_uid", {}, {payload(kTagAUDT, 20)}, ErrorCode::UidLaw,
         "payload blob uid 20 >= MTAD.next_uid 20"},
        {"first bad payload in list order", {}, {payload(kTagAUDI, 0), payload(kTagPEAK, 1)}, ErrorCode::UidLaw,
         "payload blob uid 0 is reserved"},
        {"duplicate before any sample is examined", {row(1, 8)}, {payload(kTagAUDI, 3), payload(kTagAUDI, 3)},
         ErrorCode::ModelInvalid, "duplicate payload blob ('AUDI', uid 3)"},
        {"AUDI not staged", {row(1, 2), row(3, 8)}, {payload(kTagAUDI, 2)}, ErrorCode::ModelInvalid,
         "sample uid 3 references AUDI uid 8 but no such payload blob was staged"},
        {"AUDT not staged, AUDI of that uid is", {row(1, 2, 2)}, {payload(kTagAUDI, 2)}, ErrorCode::ModelInvalid,
         "sample uid 1 references AUDT uid 2 but no such payload blob was staged"},
        {"missing reference wins over an unreferenced payload", {row(1, 2), row(6, 8)},
         {payload(kTagAUDI, 9), payload(kTagAUDI, 2)}, ErrorCode::ModelInvalid,
         "sample uid 6 references AUDI uid 8 but no such payload blob was staged"},
        {"referenced twice", {row(1, 4), row(3, 4)}, {payload(kTagAUDI, 4)}, ErrorCode::ModelInvalid,
         "payload ('AUDI', uid 4) referenced by more than one sample"},
        {"tail referenced twice", {row(1, 2, 5), row(3, 4, 5)},
         {payload(kTagAUDI, 2), payload(kTagAUDI, 4), payload(kTagAUDT, 5)}, ErrorCode::ModelInvalid,
         "payload ('AUDT', uid 5) referenced by more than one sample"},
        {"shared reference reported before a smaller unreferenced key", {row(1, 4), row(3, 4)},
         {payload(kTagAUDI, 2), payload(kTagAUDI, 4)}, ErrorCode::ModelInvalid,
         "payload ('AUDI', uid 4) referenced by more than one sample"},
        {"unreferenced", {row(1, 2)}, {payload(kTagAUDI, 2), payload(kTagAUDI, 9)}, ErrorCode::ModelInvalid,
         "staged payload ('AUDI', uid 9) is referenced by no sample"},
        {"first unreferenced in (tag, uid) order", {row(1, 2)},
         {payload(kTagAUDT, 6), payload(kTagAUDI, 12), payload(kTagAUDI, 2), payload(kTagAUDI, 9)},
         ErrorCode::ModelInvalid, "staged payload ('AUDI', uid 9) is referenced by no sample"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model model;
        model.metadata.next_uid = 20;
        model.samples = c.samples;
        const auto result = stagePayloads(model, c.payloads);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), c.code);
        EXPECT_EQ(result.message(), c.message);
    }
}

TEST(StagePayloads, AcceptsOneReferenceEach) {
    Zem6Model model;
    model.metadata.next_uid = 20;
    // AUDI and AUDT may share a uid; uid next_uid - 1 is allowed.
    model.samples = {row(1, 5, 5), row(3, 19)};
    EXPECT_TRUE(stagePayloads(model, std::vector{payload(kTagAUDT, 5), payload(kTagAUDI, 19), payload(kTagAUDI, 5)})
                    .ok());
    EXPECT_TRUE(stagePayloads(Zem6Model{}, {}).ok());
}

// --- layout refusals --------------------------------------------------------

TEST(WriterLayout, RefusalsWithCodeAndMessage) {
    struct Case {
        const char* what;
        ModelChange change;
        ErrorCode code;
        std::string message;
    };
    std::vector<Case> cases = {
        // Model laws come first and pass through unchanged.
        {"model law before payload laws",
         [](Zem6Model& m) {
             m.metadata.next_uid = 0;
         },
         ErrorCode::UidLaw, "MTAD next_uid must be >= 1"},
        {"summary count", [](Zem6Model& m) { m.summary.sample_count = 2; }, ErrorCode::ModelInvalid,
         "SUMM sample_count 2 disagrees with the SMPL row count 3"},
        {"unknown critical carried chunk",
         [](Zem6Model& m) { m.extraChunks.push_back(extra("ABCE", 0, true, kChunkCritical)); },
         ErrorCode::UnknownCriticalChunk, "unknown chunk 'ABCE' has CRITICAL set"},
        // Carried chunks the reader would refuse, or that would collide with
        // the writer's own chunks.
        {"carried chunk with unknown flag bits", [](Zem6Model& m) { m.extraChunks[0].flags = 8; },
         ErrorCode::ModelInvalid, "extra chunk 'XTRA' uid 0 carries unknown flag bits 0x8"},
        {"carried chunk with the top flag bit",
         [](Zem6Model& m) { m.extraChunks[2].flags = 0x80000004u; }, ErrorCode::ModelInvalid,
         "extra chunk 'ABCD' uid 9 carries unknown flag bits 0x80000000"},
        {"repeated carried (tag, uid) across the audio",
         [](Zem6Model& m) {
             m.extraChunks.push_back(extra("KEYS", 1, false));
             m.extraChunks.push_back(extra("KEYS", 1, true));
         },
         ErrorCode::ModelInvalid, "duplicate extra chunk ('KEYS', uid 1)"},
        {"carried chunk laws before payload laws",
         [](Zem6Model& m) {
             m.extraChunks[0].flags = 8;
             m.samples[0].audi_uid = 11;
         },
         ErrorCode::ModelInvalid, "extra chunk 'XTRA' uid 0 carries unknown flag bits 0x8"},
        // Payload laws, then the encoders' own refusals.
        {"payload law", [](Zem6Model& m) { m.samples[0].audi_uid = 11; }, ErrorCode::ModelInvalid,
         "sample uid 1 references AUDI uid 11 but no such payload blob was staged"},
        {"SUMM encoder", [](Zem6Model& m) { m.summary.thumbnail.assign(10, 0); }, ErrorCode::ModelInvalid,
         "SUMM thumbnail must be exactly 256 bytes (128 int8 min/max pairs); got 10"},
        {"MTAD encoder", [](Zem6Model& m) { m.metadata.extensions.push_back({4, encodeCborText("x")}); },
         ErrorCode::ModelInvalid, "CBOR map repeats key 4"},
    };
    const char* reserved[] = {"MTAD", "SUMM", "SMPL", "PEAK", "LGCY", "AUDI", "AUDT", "DIRC", "SIGN"};
    for (const char* tag : reserved) {
        const uint32_t t = loadLe32(reinterpret_cast<const uint8_t*>(tag));
        cases.push_back({tag,
                         [t](Zem6Model& m) {
                             ExtraChunk c = extra("XTRA", 0, false);
                             c.tag = t;
                             m.extraChunks.push_back(c);
                         },
                         ErrorCode::ModelInvalid,
                         std::string("extra chunk '") + tag + "' uid 0 has a tag the writer reserves for its own chunks"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Zem6Model model = fullModel();
        c.change(model);
        const auto result = layoutZem6File(model, fullPayloads(), {});
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), c.code);
        EXPECT_EQ(result.message(), c.message);
    }
}

TEST(WriterLayout, AcceptsCarriedChunksTheReaderKeeps) {
    const ModelChange changes[] = {
        [](Zem6Model& m) { m.extraChunks.push_back(extra("XTRA", 1, true, 6)); },  // same tag, other uid
        [](Zem6Model& m) { m.extraChunks.push_back(extra("KEYS", 0, false, kChunkCritical)); },  // known tag
        [](Zem6Model& m) { m.extraChunks.push_back(extra("PHDM", 0, true, 0, 0)); },  // empty payload
    };
    for (const ModelChange& change : changes) {
        Zem6Model model = fullModel();
        change(model);
        Parsed p;
        ASSERT_NO_FATAL_FAILURE(parseImage(layoutOk(model, fullPayloads()), p));
        EXPECT_NE(findEntry(p.dir, model.extraChunks.back().tag, model.extraChunks.back().uid), nullptr);
    }
}

// Byte-string extension with which an encoded map reaches exactly `target`
// bytes; `encode` gives the map's size for a given string length.
template <class Encode>
size_t stringLengthFor(size_t target, Encode encode) {
    const size_t probe = 60000;  // same 3-byte string head as the answer
    return probe + target - encode(probe);
}

// A model whose written MTAD payload is exactly `mtadBytes` long (for sizes
// that put head_bytes at 65536 or beyond).
Zem6Model modelWithMtad(size_t mtadBytes) {
    Zem6Model m;
    auto withString = [&m](size_t n) {
        ModelMetadata md = m.metadata;
        md.head_bytes = 65536;  // the written value takes the same 5 bytes
        md.extensions = {{1000, encodeCborBytes(Bytes(n, 7))}};
        return md;
    };
    const size_t n = stringLengthFor(mtadBytes, [&](size_t k) { return encodeMtad(withString(k))->size(); });
    m.metadata.extensions = {{1000, encodeCborBytes(Bytes(n, 7))}};
    return m;
}

// A model without samples whose written SUMM payload is exactly `summBytes`.
Zem6Model modelWithSumm(size_t summBytes) {
    Zem6Model m;
    m.summary.present = true;
    const size_t smplBytes = encodeSmpl(std::span<const SmplEntry>())->size();
    auto withString = [&](size_t n) {
        Summary s = m.summary;
        s.smpl_bytes = smplBytes;
        s.extensions = {{100, encodeCborBytes(Bytes(n, 9))}};
        return s;
    };
    const size_t n = stringLengthFor(summBytes, [&](size_t k) { return encodeSumm(withString(k))->size(); });
    m.summary.extensions = {{100, encodeCborBytes(Bytes(n, 9))}};
    return m;
}

// A 65444-byte MTAD ends, behind the superblock and its framing, exactly at
// byte 65536.
TEST(WriterLayout, MtadMustEndWithinTheFirst65536Bytes) {
    const FileImage image = layoutOk(modelWithMtad(kMtadMaxPayloadBytes), {});
    Parsed p;
    ASSERT_NO_FATAL_FAILURE(parseImage(image, p));
    EXPECT_EQ(p.dir.entries[0].length, 65444u);
    EXPECT_EQ(p.dir.entries[0].offset + kChunkFramingBytes + p.dir.entries[0].length, 65536u);

    const auto tooLarge = layoutZem6File(modelWithMtad(kMtadMaxPayloadBytes + 1), {}, {});
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_EQ(tooLarge.code(), ErrorCode::MtadTooLarge);
    EXPECT_EQ(tooLarge.message(), "superblock+MTAD end at byte 65537 \u2014 they must end within the first 65536 "
                                  "bytes (the two-step range read law)");
}

TEST(WriterLayout, SummaryPayloadIsCappedAt65536Bytes) {
    Parsed p;
    ASSERT_NO_FATAL_FAILURE(parseImage(layoutOk(modelWithSumm(65536), {}), p));
    EXPECT_EQ(findEntry(p.dir, kTagSUMM)->length, 65536u);

    const auto tooLarge = layoutZem6File(modelWithSumm(65537), {}, {});
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_EQ(tooLarge.code(), ErrorCode::SummTooLarge);
    EXPECT_EQ(tooLarge.message(),
              "SUMM payload is 65537 bytes; the hard cap is 65536 (SUMM is bounded regardless of sample count)");
}

TEST(Export, HoldsAModelPayloadsAndWarningsAndMoves) {
    Export e;
    EXPECT_EQ(e.model, Zem6Model{});
    EXPECT_TRUE(e.payloads.empty());
    EXPECT_TRUE(e.warnings.empty());
    e.model = fullModel();
    e.payloads = fullPayloads();
    e.warnings = {"first", "second"};
    const Export moved = std::move(e);
    EXPECT_EQ(moved.model, fullModel());
    EXPECT_EQ(moved.payloads, fullPayloads());
    EXPECT_EQ(moved.warnings, (std::vector<std::string>{"first", "second"}));
    EXPECT_TRUE(layoutZem6File(moved.model, moved.payloads).ok());
}

// --- writing to disk ---------------------------------------------------------

class WriterFileTest : public ::testing::Test {
protected:
    std::string path(const std::string& name) const { return dir_.path(name); }
    static bool exists(const std::string& p) { return test::TempDir::exists(p); }
    static Bytes contents(const std::string& p) { return test::TempDir::contents(p); }
    static void put(const std::string& p, const Bytes& bytes) {
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    test::TempDir dir_;
};

TEST_F(WriterFileTest, WritesTheLaidOutImage) {
    const std::string p = path("out.zem");
    put(p, Bytes(1 << 20, 0xEE));  // a longer earlier file is truncated
    const auto result = writeZem6File(p, fullModel(), fullPayloads(), WriteOptions{true});
    ASSERT_TRUE(result.ok()) << result.message();
    EXPECT_EQ(contents(p), layoutOk(fullModel(), fullPayloads(), WriteOptions{true}));
}

TEST_F(WriterFileTest, LayoutFailureLeavesTheFileSystemUntouched) {
    Zem6Model bad = fullModel();
    bad.samples[0].audi_uid = 11;
    const std::string fresh = path("fresh.zem");
    const std::string existing = path("existing.zem");
    put(existing, {1, 2, 3});

    for (const std::string& p : {fresh, existing}) {
        const auto result = writeZem6File(p, bad, fullPayloads());
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), ErrorCode::ModelInvalid);
        EXPECT_EQ(result.message(), "sample uid 1 references AUDI uid 11 but no such payload blob was staged");
    }
    EXPECT_FALSE(exists(fresh));
    EXPECT_EQ(contents(existing), (Bytes{1, 2, 3}));
}

TEST_F(WriterFileTest, MissingFolderCannotBeOpened) {
    const std::string p = path("missing/out.zem");
    const auto result = writeZem6File(p, fullModel(), fullPayloads());
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.code(), ErrorCode::WriteIo);
    EXPECT_EQ(result.message(), "cannot open '" + p + "' for writing");
    EXPECT_FALSE(exists(path("missing")));
}

TEST_F(WriterFileTest, ShortWriteFailsAndLeavesTheEarlierFile) {
    const std::string p = path("short.zem");
    put(p, {9, 8, 7});
    Result<Unit> result = Unit{};
    {
        // The kernel cuts the write at the file-size limit, as a full disk would.
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        auto* oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lowered = saved;
        lowered.rlim_cur = 200;
        ::setrlimit(RLIMIT_FSIZE, &lowered);
        result = writeZem6File(p, fullModel(), fullPayloads());
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.code(), ErrorCode::WriteIo);
    EXPECT_EQ(result.message(), "short write to '" + p + "'");
    EXPECT_EQ(contents(p), (Bytes{9, 8, 7}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.root()), {}), 1);
}

// Nothing but a regular file is ever replaced: a pipe would block the
// writer forever, a device would swallow the bytes, a folder is no file.
TEST_F(WriterFileTest, NonRegularTargetsAreRefusedUnopened) {
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = path("folder.zem");
    std::filesystem::create_directory(folder);
    const std::string device = path("device.zem");
    std::filesystem::create_symlink("/dev/null", device);
    const struct {
        std::string path;
        std::string message;
    } cases[] = {
        {fifo, "cannot open '" + fifo + "' for writing: it is a named pipe, not a regular file"},
        {folder, "cannot open '" + folder + "' for writing: it is a folder, not a regular file"},
        {device, "cannot open '" + device + "' for writing: it is a character device, not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto result = writeZem6File(c.path, fullModel(), fullPayloads());
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), ErrorCode::WriteIo);
        EXPECT_EQ(result.message(), c.message);
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo));
    EXPECT_TRUE(std::filesystem::is_empty(folder));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.root()), {}), 3);
}

// --- reading back ------------------------------------------------------------

// What the reader gives back for a written model: the model with the values
// the writer fills in.
Zem6Model asReopened(Zem6Model model, const Zem6File& file) {
    model.metadata.head_bytes = file.model.metadata.head_bytes;
    if (model.summary.present) {
        const ChunkRecord* smpl = file.findEntry(kTagSMPL, 0);
        const ChunkRecord* peak = file.findEntry(kTagPEAK, 0);
        model.summary.smpl_bytes = smpl ? smpl->length : 0;
        model.summary.peak_bytes = peak ? peak->length : 0;
    }
    return model;
}

enum class Route { SuperblockPointer, FooterPointer, LinearScan };

// The image with its directory pointers damaged as the route needs: the
// superblock's pointer misses the DIRC (its own checksum stays valid), and
// for the scan the footer's pointer misses it too.
FileImage damagePointers(FileImage image, Route route) {
    if (route == Route::SuperblockPointer) return image;
    Superblock sb = *parseSuperblock(image);
    sb.dir_offset += 16;
    const auto head = encodeSuperblock(sb);
    std::copy(head.begin(), head.end(), image.begin());
    if (route == Route::LinearScan) storeLe64(image.data() + image.size() - kFooterBytes, kSuperblockBytes);
    return image;
}

TEST_F(WriterFileTest, EveryWrittenFileReopensByEachDirectoryRoute) {
    struct Written {
        const char* what;
        Zem6Model model;
        std::vector<StagedPayload> payloads;
        WriteOptions options;
    };
    const Written files[] = {
        {"empty model", Zem6Model{}, {}, {}},
        {"full model", fullModel(), fullPayloads(), {}},
        {"legacy origin by option", [] { Zem6Model m = fullModel(); m.lgcy.reset(); return m; }(), fullPayloads(),
         WriteOptions{true}},
        {"MTAD ending at byte 65536", modelWithMtad(kMtadMaxPayloadBytes), {}, {}},
        {"65536-byte SUMM", modelWithSumm(65536), {}, {}},
    };
    const struct {
        Route route;
        DirectorySource source;
        const char* warning;
    } routes[] = {
        {Route::SuperblockPointer, DirectorySource::SuperblockPointer, nullptr},
        {Route::FooterPointer, DirectorySource::FooterPointer, "directory recovered through the footer pointer"},
        {Route::LinearScan, DirectorySource::LinearScan, "directory rebuilt by linear scan"},
    };
    for (const Written& w : files) {
        const FileImage image = layoutOk(w.model, w.payloads, w.options);
        // The walk of the chunk region lands exactly on the footer, DIRC last.
        auto scan = scanChunks(image, image.size(), 100);
        ASSERT_TRUE(scan.ok()) << w.what << ": " << scan.message();
        EXPECT_EQ(scan->back().tag, kTagDIRC);

        for (const auto& r : routes) {
            SCOPED_TRACE(std::string(w.what) + ", route " + std::to_string(static_cast<int>(r.route)));
            const std::string p = path("reopen.zem");
            put(p, damagePointers(image, r.route));
            auto file = openZem6File(p, ReadPolicy{});
            ASSERT_TRUE(file.ok()) << file.message();
            EXPECT_EQ(file->directorySource, r.source);
            if (r.warning) {
                EXPECT_NE(std::find(file->report.warnings.begin(), file->report.warnings.end(), r.warning),
                          file->report.warnings.end());
            } else {
                EXPECT_TRUE(file->report.warnings.empty());
            }
            EXPECT_EQ(file->model, asReopened(w.model, *file));
            EXPECT_EQ(file->chunks.size(), scan->size() - 1);
            for (const ChunkRecord& record : file->chunks) {
                auto bytes = file->readChunk(record);
                ASSERT_TRUE(bytes.ok()) << bytes.message();
            }
            for (const StagedPayload& s : w.payloads) {
                const ChunkRecord* record = file->findEntry(s.tag, s.uid);
                ASSERT_NE(record, nullptr);
                EXPECT_EQ(*file->readChunk(*record), s.bytes);
            }
        }
    }
}

// --- rewriting with the audio of a source file --------------------------------

class SourcePayloadTest : public WriterFileTest {
public:  // the case table's lambdas prepare files through these
    using WriterFileTest::path;
    void SetUp() override {
        WriterFileTest::SetUp();
        source_ = path("source.zem");
        dest_ = path("dest.zem");
    }
    void writeSource(const Zem6Model& model, WriteOptions options = {}) {
        ASSERT_TRUE(writeZem6File(source_, model, fullPayloads(), options).ok());
    }
    // Flips one byte of the payload of the chunk with this tag and uid.
    void damageSourceChunk(uint32_t tag, uint64_t uid) {
        Bytes bytes = contents(source_);
        Parsed parsed;
        ASSERT_NO_FATAL_FAILURE(parseImage(bytes, parsed));
        const DirEntry* e = findEntry(parsed.dir, tag, uid);
        ASSERT_NE(e, nullptr);
        bytes[e->offset + kChunkHeaderBytes + 10] ^= 0x40;
        put(source_, bytes);
    }

    std::string source_;
    std::string dest_;
};

TEST_F(SourcePayloadTest, CopiesTheAudioChunksUnchangedUnderANewModel) {
    writeSource(fullModel());
    Zem6Model changed = fullModel();
    changed.metadata.name = "Snare (analysed)";
    changed.extraChunks.push_back(extra("PHDM", 0, true, 0, 64));
    changed.lgcy.reset();

    const auto result = writeZem6WithSourcePayloads(source_, dest_, changed, ReadPolicy{});
    ASSERT_TRUE(result.ok()) << result.message();
    auto file = openZem6File(dest_, ReadPolicy{});
    ASSERT_TRUE(file.ok()) << file.message();
    EXPECT_EQ(file->model, asReopened(changed, *file));
    for (const StagedPayload& s : fullPayloads()) {
        const ChunkRecord* record = file->findEntry(s.tag, s.uid);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(*file->readChunk(*record), s.bytes);
    }
    // The source's order is kept: AUDI chunks as they were laid out, then AUDT.
    std::vector<std::pair<uint32_t, uint64_t>> audio;
    for (const ChunkRecord& r : file->chunks)
        if (r.tag == kTagAUDI || r.tag == kTagAUDT) audio.emplace_back(r.tag, r.uid);
    EXPECT_EQ(audio, (std::vector<std::pair<uint32_t, uint64_t>>{
                         {kTagAUDI, 7}, {kTagAUDI, 2}, {kTagAUDI, 4}, {kTagAUDT, 5}}));
    // The source was converted from a legacy file; the rewrite says so even
    // though the new model dropped its LGCY record.
    EXPECT_NE(file->superblock.flags & kSuperblockLegacyOrigin, 0u);
}

TEST_F(SourcePayloadTest, CarriesTheSourcesLegacyOrigin) {
    Zem6Model withoutLgcy = fullModel();
    withoutLgcy.lgcy.reset();
    for (const bool legacy : {false, true}) {
        SCOPED_TRACE(legacy);
        writeSource(withoutLgcy, WriteOptions{legacy});
        ASSERT_TRUE(writeZem6WithSourcePayloads(source_, dest_, withoutLgcy, ReadPolicy{}).ok());
        auto file = openZem6File(dest_, ReadPolicy{});
        ASSERT_TRUE(file.ok()) << file.message();
        EXPECT_EQ((file->superblock.flags & kSuperblockLegacyOrigin) != 0, legacy);
    }
}

TEST_F(SourcePayloadTest, MayRewriteItsOwnSource) {
    // The source is read to its end before the new file replaces it, whether
    // it is named by the same path, a link to it or a second hard link.
    const struct {
        const char* what;
        std::function<std::string(const SourcePayloadTest&)> dest;
    } cases[] = {
        {"same path", [](const SourcePayloadTest& t) { return t.source_; }},
        {"symbolic link", [](const SourcePayloadTest& t) {
             std::filesystem::create_symlink(t.source_, t.path("link.zem"));
             return t.path("link.zem");
         }},
        {"hard link", [](const SourcePayloadTest& t) {
             std::filesystem::create_hard_link(t.source_, t.path("hard.zem"));
             return t.path("hard.zem");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(path("link.zem"));
        std::filesystem::remove(path("hard.zem"));
        writeSource(fullModel());
        const std::string dest = c.dest(*this);
        Zem6Model changed = fullModel();
        changed.metadata.name = "renamed";
        ASSERT_TRUE(writeZem6WithSourcePayloads(source_, dest, changed, ReadPolicy{}).ok());
        auto file = openZem6File(dest, ReadPolicy{});
        ASSERT_TRUE(file.ok()) << file.message();
        EXPECT_EQ(file->model.metadata.name, "renamed");
        EXPECT_EQ(*file->readChunk(*file->findEntry(kTagAUDI, 4)), payload(kTagAUDI, 4, 333).bytes);
    }
}

TEST_F(SourcePayloadTest, FailuresPassThroughAndWriteNothing) {
    struct Case {
        const char* what;
        std::function<void(SourcePayloadTest&)> prepare;
        std::function<Zem6Model()> model;
        ReadPolicy policy;
        ErrorCode code;
        std::function<std::string(const SourcePayloadTest&)> message;
    };
    ReadPolicy tightRead;
    tightRead.maxChunkReadBytes = 300;
    const Case cases[] = {
        {"missing source", [](SourcePayloadTest&) {}, fullModel, ReadPolicy{}, ErrorCode::ReadIo,
         [](const SourcePayloadTest& t) { return "cannot open '" + t.source_ + "' for reading"; }},
        {"damaged audio chunk",
         [](SourcePayloadTest& t) {
             t.writeSource(fullModel());
             t.damageSourceChunk(kTagAUDI, 4);
         },
         fullModel, ReadPolicy{}, ErrorCode::ChunkCrcMismatch,
         [](const SourcePayloadTest&) { return std::string("chunk 'AUDI' uid 4 fails its crc32c trailer"); }},
        {"chunk read limit of the policy", [](SourcePayloadTest& t) { t.writeSource(fullModel()); }, fullModel,
         tightRead, ErrorCode::ChunkReadPolicyBytes,
         [](const SourcePayloadTest&) {
             return std::string("whole-chunk read requires 361 bytes; the current limit is 300 bytes");
         }},
        {"damaged tail chunk ahead of a model law",
         [](SourcePayloadTest& t) {
             t.writeSource(fullModel());
             t.damageSourceChunk(kTagAUDT, 5);
         },
         [] {
             Zem6Model m = fullModel();
             m.samples.pop_back();
             m.summary.sample_count = 2;
             m.peaks.resize(2 * 2 * 4);
             return m;
         },
         ReadPolicy{}, ErrorCode::ChunkCrcMismatch,
         [](const SourcePayloadTest&) { return std::string("chunk 'AUDT' uid 5 fails its crc32c trailer"); }},
        {"model that drops a sample of the source", [](SourcePayloadTest& t) { t.writeSource(fullModel()); },
         [] {
             Zem6Model m = fullModel();
             m.samples.pop_back();
             m.summary.sample_count = 2;
             m.peaks.resize(2 * 2 * 4);
             return m;
         },
         ReadPolicy{}, ErrorCode::ModelInvalid,
         [](const SourcePayloadTest&) {
             return std::string("staged payload ('AUDI', uid 7) is referenced by no sample");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ignored;
        std::filesystem::remove(source_, ignored);
        std::filesystem::remove(dest_, ignored);
        ASSERT_NO_FATAL_FAILURE(c.prepare(*this));
        const auto result = writeZem6WithSourcePayloads(source_, dest_, c.model(), c.policy);
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), c.code);
        EXPECT_EQ(result.message(), c.message(*this));
        EXPECT_FALSE(exists(dest_));
    }
}

} // namespace
} // namespace vt6::fmt
