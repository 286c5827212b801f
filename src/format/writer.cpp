#include "format/writer.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <new>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

#include "format/checksum.hpp"
#include "format/directory.hpp"
#include "format/lgcy.hpp"
#include "format/model_laws.hpp"
#include "format/reader.hpp"
#include "format/smpl.hpp"
#include "format/summ_peak.hpp"
#include "platform/write_file.hpp"

namespace vt6::fmt {

namespace {

constexpr uint64_t kHeadRangeBytes = 65536;  // superblock and MTAD end within this
constexpr int kMaxFixPointIterations = 8;

std::string num(uint64_t v) { return std::to_string(v); }

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(v));
    return buf;
}

constexpr uint64_t align16(uint64_t v) { return (v + (kChunkAlignment - 1)) / kChunkAlignment * kChunkAlignment; }

// Bytes a chunk with this payload occupies in the file, padding included.
constexpr uint64_t chunkSpan(uint64_t payloadBytes) { return align16(payloadBytes + kChunkFramingBytes); }

using ChunkKey = std::pair<uint32_t, uint64_t>;  // (tag, uid), ordered as the directory index

// Tags whose chunks the writer makes itself (or never writes): carrying one
// from the model would duplicate or contradict what the writer lays out.
bool isReservedTag(uint32_t tag) noexcept {
    switch (tag) {
    case kTagMTAD:
    case kTagSUMM:
    case kTagSMPL:
    case kTagPEAK:
    case kTagLGCY:
    case kTagAUDI:
    case kTagAUDT:
    case kTagDIRC:
    case kTagSIGN:
        return true;
    default:
        return false;
    }
}

// Carried chunks must be ones the reader accepts back: checkModelLaws does not
// look at tags, flag bits or repeats, and a bad one would only show up as a
// file that no longer opens.
Result<Unit> checkExtraChunks(const std::vector<ExtraChunk>& extras) {
    std::set<ChunkKey> seen;
    for (const ExtraChunk& chunk : extras) {
        const std::string name = "extra chunk '" + tagText(chunk.tag) + "' uid " + num(chunk.uid);
        if (isReservedTag(chunk.tag)) {
            return fail(ErrorCode::ModelInvalid, name + " has a tag the writer reserves for its own chunks");
        }
        if ((chunk.flags & ~kChunkKnownFlags) != 0) {
            return fail(ErrorCode::ModelInvalid,
                        name + " carries unknown flag bits 0x" + hex(chunk.flags & ~kChunkKnownFlags));
        }
        if (!seen.emplace(chunk.tag, chunk.uid).second) {
            return fail(ErrorCode::ModelInvalid,
                        "duplicate extra chunk ('" + tagText(chunk.tag) + "', uid " + num(chunk.uid) + ")");
        }
    }
    return Unit{};
}

struct PlannedChunk {
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t uid = 0;
    ByteView payload;
};

Result<FileImage> layout(const Zem6Model& model, std::span<const StagedPayload> payloads,
                         const WriteOptions& options) {
    // 1-2. Model laws, carried chunks, payload laws.
    ZEM_TRY(checkModelLaws(model));
    ZEM_TRY(checkExtraChunks(model.extraChunks));
    ZEM_TRY(stagePayloads(model, payloads));

    // 3-5. The metadata chunks other than MTAD are encoded once.
    ZEM_TRY_ASSIGN(const Bytes smpl, encodeSmpl(std::span<const SmplEntry>(model.samples)));
    Bytes peak;
    if (!model.peaks.empty()) {
        ZEM_TRY_ASSIGN(peak, encodePeak(PeakTable{model.points_per_sample, model.peaks}));
    }
    Bytes summ;
    if (model.summary.present) {
        Summary summary = model.summary;
        summary.smpl_bytes = smpl.size();
        summary.peak_bytes = peak.size();
        ZEM_TRY_ASSIGN(summ, encodeSumm(summary));
        if (summ.size() > kSummMaxBytes) {
            return fail(ErrorCode::SummTooLarge, "SUMM payload is " + num(summ.size()) + " bytes; the hard cap is " +
                                                     num(kSummMaxBytes) +
                                                     " (SUMM is bounded regardless of sample count)");
        }
    }
    Bytes lgcy;
    if (model.lgcy) {
        ZEM_TRY_ASSIGN(lgcy, encodeLgcy(*model.lgcy));
    }

    // 6. The chunks between MTAD and the audio, then the audio and the tail,
    // each list in its given order.
    std::vector<PlannedChunk> head;
    if (!summ.empty()) head.push_back({kTagSUMM, 0, 0, summ});
    head.push_back({kTagSMPL, kChunkCritical, 0, smpl});
    if (!peak.empty()) head.push_back({kTagPEAK, 0, 0, peak});
    std::vector<PlannedChunk> tail;
    for (const ExtraChunk& chunk : model.extraChunks) {
        (chunk.afterAudio ? tail : head).push_back({chunk.tag, chunk.flags, chunk.uid, chunk.bytes});
    }
    std::vector<PlannedChunk> audio;
    audio.reserve(payloads.size());
    for (const uint32_t tag : {kTagAUDI, kTagAUDT}) {
        for (const StagedPayload& p : payloads) {
            if (p.tag == tag) audio.push_back({p.tag, kChunkCritical, p.uid, p.bytes});
        }
    }
    // LGCY goes right behind the audio, ahead of the carried tail chunks.
    if (!lgcy.empty()) tail.insert(tail.begin(), PlannedChunk{kTagLGCY, 0, 0, lgcy});

    // 7. head_bytes names where the audio starts, but MTAD holds it, so its
    // own size moves the answer; iterate until the value repeats.
    ModelMetadata metadata = model.metadata;
    Bytes mtad;
    uint64_t w = 0;
    bool converged = false;
    for (int i = 0; i < kMaxFixPointIterations && !converged; ++i) {
        metadata.head_bytes = w;
        ZEM_TRY_ASSIGN(mtad, encodeMtad(metadata));
        uint64_t h = chunkSpan(kSuperblockBytes + mtad.size());
        for (const PlannedChunk& c : head) h = chunkSpan(h + c.payload.size());
        if (h == w) {
            converged = true;
        } else {
            w = h;
        }
    }
    if (!converged) return fail(ErrorCode::ModelInvalid, "layout fixpoint did not converge (internal)");

    // 8. The two-step range read law.
    const uint64_t mtadEnd = kSuperblockBytes + kChunkFramingBytes + mtad.size();
    if (mtadEnd > kHeadRangeBytes) {
        return fail(ErrorCode::MtadTooLarge, "superblock+MTAD end at byte " + num(mtadEnd) +
                                                 " \u2014 they must end within the first " + num(kHeadRangeBytes) +
                                                 " bytes (the two-step range read law)");
    }

    std::vector<PlannedChunk> plan;
    plan.reserve(1 + head.size() + audio.size() + tail.size());
    plan.push_back({kTagMTAD, kChunkCritical, 0, mtad});
    plan.insert(plan.end(), head.begin(), head.end());
    plan.insert(plan.end(), audio.begin(), audio.end());
    plan.insert(plan.end(), tail.begin(), tail.end());

    // Reserve the whole image once: writeChunk grows the vector only to the
    // size it needs, so without this every chunk would copy the image again.
    // A directory entry takes at most 60 bytes, its array head at most 9.
    uint64_t total = kSuperblockBytes;
    for (const PlannedChunk& c : plan) total += chunkSpan(c.payload.size());
    total += chunkSpan(9 + 60 * static_cast<uint64_t>(plan.size())) + kFooterBytes;

    // 9. The chunks, each recorded for the directory.
    FileImage image;
    image.reserve(total);
    image.resize(kSuperblockBytes, 0);
    std::vector<DirEntry> entries;
    entries.reserve(plan.size());
    for (const PlannedChunk& c : plan) {
        DirEntry e;
        e.tag = c.tag;
        e.uid = c.uid;
        e.offset = image.size();
        e.length = c.payload.size();
        e.flags = c.flags;
        e.crc32c = writeChunk(image, c.tag, c.flags, c.uid, c.payload);
        e.hash = blake2b128(ByteView(image.data() + e.offset, kChunkHeaderBytes + e.length));
        entries.push_back(e);
    }

    // 10. Internal consistency of the fix point.
    for (const DirEntry& e : entries) {
        if (e.tag != kTagAUDI) continue;
        if (e.offset != w) {
            return fail(ErrorCode::ModelInvalid,
                        "internal: head_bytes " + num(w) + " != first AUDI offset " + num(e.offset));
        }
        break;
    }

    // 11. The directory, checked with the reader's own laws before anything
    // is written, so a file this writer reports as written always opens.
    const Bytes dirPayload = encodeDirectory(entries);
    const uint64_t dirOffset = image.size();
    const uint64_t dirLength = dirPayload.size() + kChunkFramingBytes;
    const uint64_t fileBytes = dirOffset + align16(dirLength) + kFooterBytes;
    {
        Directory check;
        check.entries = entries;
        ZEM_TRY(validateDirectory(check, fileBytes));
    }
    (void)writeChunk(image, kTagDIRC, kChunkCritical, 0, dirPayload);
    const Digest128 dirHash = blake2b128(ByteView(image.data() + dirOffset, kChunkHeaderBytes + dirPayload.size()));

    // 12. Footer.
    const auto footer = encodeFooter(Footer{dirOffset, dirLength, fileBytes});
    image.insert(image.end(), footer.begin(), footer.end());
    if (image.size() != fileBytes) {
        return fail(ErrorCode::ModelInvalid,
                    "internal: image holds " + num(image.size()) + " bytes, expected " + num(fileBytes));
    }

    // 13. Superblock, last, into the reserved head.
    Superblock sb;
    sb.format_major = kFormatMajor;
    sb.format_minor = 0;
    sb.flags = 0;
    for (const StagedPayload& p : payloads) {
        if (p.tag == kTagAUDT) sb.flags |= kSuperblockHasAudt;
    }
    if (model.lgcy || options.legacyOrigin) sb.flags |= kSuperblockLegacyOrigin;
    sb.dir_offset = dirOffset;
    sb.dir_length = dirLength;
    sb.dir_hash = dirHash;
    sb.file_bytes = fileBytes;
    const auto superblock = encodeSuperblock(sb);
    std::copy(superblock.begin(), superblock.end(), image.begin());
    return image;
}

} // namespace

Result<Unit> stagePayloads(const Zem6Model& model, std::span<const StagedPayload> payloads) {
    const uint64_t nextUid = model.metadata.next_uid;

    // 1. Each payload on its own, in list order.
    std::map<ChunkKey, uint64_t> staged;
    for (const StagedPayload& p : payloads) {
        if (p.tag != kTagAUDI && p.tag != kTagAUDT) {
            return fail(ErrorCode::ModelInvalid,
                        "payload blob type must be AUDI or AUDT (got '" + tagText(p.tag) + "')");
        }
        if (p.uid == 0) return fail(ErrorCode::UidLaw, "payload blob uid 0 is reserved");
        if (p.uid >= nextUid) {
            return fail(ErrorCode::UidLaw, "payload blob uid " + num(p.uid) + " >= MTAD.next_uid " + num(nextUid));
        }
        if (!staged.emplace(ChunkKey{p.tag, p.uid}, 0).second) {
            return fail(ErrorCode::ModelInvalid,
                        "duplicate payload blob ('" + tagText(p.tag) + "', uid " + num(p.uid) + ")");
        }
    }

    // 2. Every reference names a staged payload.
    std::map<ChunkKey, uint64_t> references;
    for (const SmplEntry& row : model.samples) {
        if (!staged.contains(ChunkKey{kTagAUDI, row.audi_uid})) {
            return fail(ErrorCode::ModelInvalid, "sample uid " + num(row.uid) + " references AUDI uid " +
                                                     num(row.audi_uid) + " but no such payload blob was staged");
        }
        ++references[ChunkKey{kTagAUDI, row.audi_uid}];
        if (row.audt_uid) {
            if (!staged.contains(ChunkKey{kTagAUDT, *row.audt_uid})) {
                return fail(ErrorCode::ModelInvalid, "sample uid " + num(row.uid) + " references AUDT uid " +
                                                         num(*row.audt_uid) + " but no such payload blob was staged");
            }
            ++references[ChunkKey{kTagAUDT, *row.audt_uid}];
        }
    }

    // 3. Exactly one reference each, reported in (tag, uid) order.
    for (const auto& [key, count] : references) {
        if (count > 1) {
            return fail(ErrorCode::ModelInvalid, "payload ('" + tagText(key.first) + "', uid " + num(key.second) +
                                                     ") referenced by more than one sample");
        }
    }
    for (const auto& entry : staged) {
        const ChunkKey& key = entry.first;
        if (!references.contains(key)) {
            return fail(ErrorCode::ModelInvalid, "staged payload ('" + tagText(key.first) + "', uid " +
                                                     num(key.second) + ") is referenced by no sample");
        }
    }
    return Unit{};
}

Result<FileImage> layoutZem6File(const Zem6Model& model, std::span<const StagedPayload> payloads,
                                 const WriteOptions& options) {
    try {
        return layout(model, payloads, options);
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to lay out the zem file");
    } catch (const std::length_error&) {
        return fail(ErrorCode::AllocationFailed, "zem file layout exceeds this machine's limits");
    }
}

Result<Unit> writeZem6File(const std::string& path, const Zem6Model& model, std::span<const StagedPayload> payloads,
                           const WriteOptions& options) {
    ZEM_TRY_ASSIGN(const FileImage image, layoutZem6File(model, payloads, options));
    const platform::WriteStatus status = platform::writeWholeFile(path, image);
    switch (status.failedStep) {
    case platform::WriteStep::None:
        return Unit{};
    case platform::WriteStep::Open:
        return fail(ErrorCode::WriteIo, "cannot open '" + path + "' for writing");
    case platform::WriteStep::Sync:
        return fail(ErrorCode::WriteIo, "cannot sync '" + path + "' to storage");
    case platform::WriteStep::Write:
    case platform::WriteStep::Close:
        break;
    }
    return fail(ErrorCode::WriteIo, "short write to '" + path + "'");
}

Result<Unit> writeZem6WithSourcePayloads(const std::string& sourcePath, const std::string& destPath,
                                         const Zem6Model& model, const ReadPolicy& policy) {
    std::vector<StagedPayload> payloads;
    WriteOptions options;
    {
        // Every payload is read, and the source closed, before the
        // destination is created: the destination may be renamed over the
        // source afterwards, and a damaged source must leave nothing behind.
        ZEM_TRY_ASSIGN(const Zem6File source, openZem6File(sourcePath, policy));
        try {
            for (const ChunkRecord& record : source.chunks) {
                if (record.tag != kTagAUDI && record.tag != kTagAUDT) continue;
                ZEM_TRY_ASSIGN(Bytes bytes, source.readChunk(record));
                payloads.push_back(StagedPayload{record.uid, record.tag, std::move(bytes)});
            }
        } catch (const std::bad_alloc&) {
            return fail(ErrorCode::AllocationFailed, "not enough memory to read zem chunk");
        }
        options.legacyOrigin = (source.superblock.flags & kSuperblockLegacyOrigin) != 0;
    }
    return writeZem6File(destPath, model, payloads, options);
}

} // namespace vt6::fmt
