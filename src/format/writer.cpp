#include "format/writer.hpp"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <future>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include <sodium.h>

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

// One chunk of the plan. Its payload is either bytes in memory (metadata the
// writer encoded, carried chunks, the caller's staged payloads) or, with
// `source` set, the staged payload of that index, fetched when it is written.
struct PlannedChunk {
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t uid = 0;
    uint64_t length = 0;
    ByteView payload;
    std::optional<size_t> source;
};

// Everything but the audio bytes: the file is written from this and the
// payloads in one pass, so only metadata, directory and framing are ever
// held in memory.
struct LayoutPlan {
    Bytes mtad, summ, smpl, peak, lgcy;
    std::vector<PlannedChunk> chunks;  // file order, MTAD first
    uint64_t headBytes = 0;
    uint32_t superblockFlags = 0;
};

// The size of a staged payload, and where its bytes come from.
struct PayloadSizes {
    std::span<const StagedPayload> laws;  // tag and uid of each; bytes unless fetched
    std::span<const uint64_t> lengths;    // empty: the staged bytes themselves
    bool fetched = false;                 // bytes come from a fetch callback
};

uint64_t payloadLength(const PayloadSizes& sizes, size_t i) {
    return sizes.lengths.empty() ? sizes.laws[i].bytes.size() : sizes.lengths[i];
}

std::string dirEntriesText(uint64_t count, uint64_t limit) {
    return "this file declares " + num(count) + " directory entries; the current limit is " + num(limit);
}

// Steps 1-8 of the layout, from sizes alone.
Result<LayoutPlan> planLayout(const Zem6Model& model, const PayloadSizes& sizes, const WriteOptions& options) {
    const std::span<const StagedPayload> payloads = sizes.laws;
    // 1-2. Model laws, carried chunks, payload laws.
    ZEM_TRY(checkModelLaws(model));
    ZEM_TRY(checkExtraChunks(model.extraChunks));
    ZEM_TRY(stagePayloads(model, payloads));

    LayoutPlan plan;
    // 3-5. The metadata chunks other than MTAD are encoded once.
    ZEM_TRY_ASSIGN(plan.smpl, encodeSmpl(std::span<const SmplEntry>(model.samples)));
    if (!model.peaks.empty()) {
        ZEM_TRY_ASSIGN(plan.peak, encodePeak(PeakTable{model.points_per_sample, model.peaks}));
    }
    if (model.summary.present) {
        Summary summary = model.summary;
        summary.smpl_bytes = plan.smpl.size();
        summary.peak_bytes = plan.peak.size();
        ZEM_TRY_ASSIGN(plan.summ, encodeSumm(summary));
        if (plan.summ.size() > kSummMaxBytes) {
            return fail(ErrorCode::SummTooLarge, "SUMM payload is " + num(plan.summ.size()) +
                                                     " bytes; the hard cap is " + num(kSummMaxBytes) +
                                                     " (SUMM is bounded regardless of sample count)");
        }
    }
    if (model.lgcy) {
        ZEM_TRY_ASSIGN(plan.lgcy, encodeLgcy(*model.lgcy));
    }

    auto inMemory = [](uint32_t tag, uint32_t flags, uint64_t uid, ByteView bytes) {
        return PlannedChunk{tag, flags, uid, bytes.size(), bytes, std::nullopt};
    };

    // 6. The chunks between MTAD and the audio, then the audio and the tail,
    // each list in its given order.
    std::vector<PlannedChunk> head;
    if (!plan.summ.empty()) head.push_back(inMemory(kTagSUMM, 0, 0, plan.summ));
    head.push_back(inMemory(kTagSMPL, kChunkCritical, 0, plan.smpl));
    if (!plan.peak.empty()) head.push_back(inMemory(kTagPEAK, 0, 0, plan.peak));
    std::vector<PlannedChunk> tail;
    for (const ExtraChunk& chunk : model.extraChunks) {
        (chunk.afterAudio ? tail : head).push_back(inMemory(chunk.tag, chunk.flags, chunk.uid, chunk.bytes));
    }
    std::vector<PlannedChunk> audio;
    audio.reserve(payloads.size());
    for (const uint32_t tag : {kTagAUDI, kTagAUDT}) {
        for (size_t i = 0; i < payloads.size(); ++i) {
            const StagedPayload& p = payloads[i];
            if (p.tag != tag) continue;
            if (sizes.fetched) {
                audio.push_back(PlannedChunk{p.tag, kChunkCritical, p.uid, payloadLength(sizes, i), {}, i});
            } else {
                audio.push_back(inMemory(p.tag, kChunkCritical, p.uid, p.bytes));
            }
        }
    }
    // LGCY goes right behind the audio, ahead of the carried tail chunks.
    if (!plan.lgcy.empty()) tail.insert(tail.begin(), inMemory(kTagLGCY, 0, 0, plan.lgcy));

    // 7. head_bytes names where the audio starts, but MTAD holds it, so its
    // own size moves the answer; iterate until the value repeats.
    ModelMetadata metadata = model.metadata;
    uint64_t w = 0;
    bool converged = false;
    for (int i = 0; i < kMaxFixPointIterations && !converged; ++i) {
        metadata.head_bytes = w;
        ZEM_TRY_ASSIGN(plan.mtad, encodeMtad(metadata));
        uint64_t h = chunkSpan(kSuperblockBytes + plan.mtad.size());
        for (const PlannedChunk& c : head) h = chunkSpan(h + c.length);
        if (h == w) {
            converged = true;
        } else {
            w = h;
        }
    }
    if (!converged) return fail(ErrorCode::ModelInvalid, "layout fixpoint did not converge (internal)");
    plan.headBytes = w;

    // 8. The two-step range read law.
    const uint64_t mtadEnd = kSuperblockBytes + kChunkFramingBytes + plan.mtad.size();
    if (mtadEnd > kHeadRangeBytes) {
        return fail(ErrorCode::MtadTooLarge, "superblock+MTAD end at byte " + num(mtadEnd) +
                                                 " \u2014 they must end within the first " + num(kHeadRangeBytes) +
                                                 " bytes (the two-step range read law)");
    }

    plan.chunks.reserve(1 + head.size() + audio.size() + tail.size());
    plan.chunks.push_back(inMemory(kTagMTAD, kChunkCritical, 0, plan.mtad));
    plan.chunks.insert(plan.chunks.end(), head.begin(), head.end());
    plan.chunks.insert(plan.chunks.end(), audio.begin(), audio.end());
    plan.chunks.insert(plan.chunks.end(), tail.begin(), tail.end());

    for (const StagedPayload& p : payloads) {
        if (p.tag == kTagAUDT) plan.superblockFlags |= kSuperblockHasAudt;
    }
    if (model.lgcy || options.legacyOrigin) plan.superblockFlags |= kSuperblockLegacyOrigin;
    return plan;
}

// The open of a written file reads everything but the audio under the
// default policy's metadata budget; a file over it would be written and
// then refused, so it is refused here with the reader's own words.
Result<Unit> checkMetadataBudget(const LayoutPlan& plan) {
    const ReadPolicy policy;
    uint64_t metadataBytes = 0;
    for (const PlannedChunk& c : plan.chunks) {
        if (c.tag == kTagAUDI || c.tag == kTagAUDT) continue;
        metadataBytes += c.length + kChunkFramingBytes;
        if (metadataBytes > policy.maxMetadataBytes) {
            return fail(ErrorCode::MetadataPolicyBytes, "metadata requires at least " + num(metadataBytes) +
                                                            " bytes; the current limit is " +
                                                            num(policy.maxMetadataBytes) + " bytes");
        }
    }
    return Unit{};
}

// Where the bytes of a file go: memory, a file, or nowhere (a pass that only
// needs the checksums).
class Sink {
public:
    virtual ~Sink() = default;
    virtual Result<Unit> append(ByteView bytes) = 0;
    // Writes over bytes appended earlier.
    virtual Result<Unit> patch(uint64_t offset, ByteView bytes) = 0;
};

class MemorySink final : public Sink {
public:
    explicit MemorySink(FileImage& image) : image_(image) {}
    Result<Unit> append(ByteView bytes) override {
        image_.insert(image_.end(), bytes.begin(), bytes.end());
        return Unit{};
    }
    Result<Unit> patch(uint64_t offset, ByteView bytes) override {
        std::copy(bytes.begin(), bytes.end(), image_.begin() + static_cast<std::ptrdiff_t>(offset));
        return Unit{};
    }

private:
    FileImage& image_;
};

class NullSink final : public Sink {
public:
    Result<Unit> append(ByteView) override { return Unit{}; }
    Result<Unit> patch(uint64_t, ByteView) override { return Unit{}; }
};

Result<Unit> writeFailure(const std::string& path, const platform::WriteStatus& status) {
    switch (status.failedStep) {
    case platform::WriteStep::None:
        return Unit{};
    case platform::WriteStep::Target:
        return fail(ErrorCode::WriteIo, "cannot open '" + path + "' for writing: " + status.reason);
    case platform::WriteStep::Open:
        return fail(ErrorCode::WriteIo, "cannot open '" + path + "' for writing");
    case platform::WriteStep::Sync:
        return fail(ErrorCode::WriteIo, "cannot sync '" + path + "' to storage");
    case platform::WriteStep::Replace:
        return fail(ErrorCode::WriteIo, "cannot replace '" + path + "' with the new file; it is left as it was");
    case platform::WriteStep::SyncFolder:
        return fail(ErrorCode::WriteIo, "'" + path + "' was replaced, but its folder could not be synced to storage");
    case platform::WriteStep::Write:
    case platform::WriteStep::Close:
        break;
    }
    return fail(ErrorCode::WriteIo, "short write to '" + path + "'");
}

// The two kinds of file the writer fills: the replacement of a target, or
// a new file its caller puts in place.
platform::WriteStatus putBytes(platform::FileReplacement& f, ByteView b) { return f.write(b); }
platform::WriteStatus putBytes(platform::OutputFile& f, ByteView b) { return f.writeAll(b); }
platform::WriteStatus putBytesAt(platform::FileReplacement& f, uint64_t at, ByteView b) { return f.writeAt(at, b); }
platform::WriteStatus putBytesAt(platform::OutputFile& f, uint64_t at, ByteView b) { return f.writeAllAt(at, b); }

// Writes through a small buffer into the file: the framing and metadata are
// gathered, large payloads go straight from the caller's memory.
template <class File>
class FileSink final : public Sink {
public:
    FileSink(File& file, std::string path) : file_(file), path_(std::move(path)) {
        buffer_.reserve(kBufferBytes);
    }

    Result<Unit> append(ByteView bytes) override {
        if (bytes.size() >= kDirectBytes) {
            ZEM_TRY(flush());
            ZEM_TRY(check(putBytes(file_, bytes)));
            noteWritten(bytes.size());
            return Unit{};
        }
        if (bytes.size() > kBufferBytes - buffer_.size()) ZEM_TRY(flush());
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
        return Unit{};
    }

    Result<Unit> patch(uint64_t offset, ByteView bytes) override {
        ZEM_TRY(flush());
        return check(putBytesAt(file_, offset, bytes));
    }

    Result<Unit> flush() {
        if (buffer_.empty()) return Unit{};
        const platform::WriteStatus status = putBytes(file_, buffer_);
        noteWritten(buffer_.size());
        buffer_.clear();
        return check(status);
    }

private:
    static constexpr size_t kBufferBytes = size_t{256} << 10;
    // Pieces this large are written where they are instead of copied.
    static constexpr size_t kDirectBytes = size_t{64} << 10;
    // The disk starts on what is written while the rest is hashed, so the
    // one fsync at the end has little left to wait for.
    static constexpr uint64_t kWritebackStepBytes = uint64_t{32} << 20;

    void noteWritten(uint64_t bytes) {
        written_ += bytes;
        if (written_ - kickedTo_ >= kWritebackStepBytes) {
            file_.startWriteback(kickedTo_, written_ - kickedTo_);
            kickedTo_ = written_;
        }
    }

    Result<Unit> check(const platform::WriteStatus& status) const { return writeFailure(path_, status); }

    File& file_;
    std::string path_;
    Bytes buffer_;
    uint64_t written_ = 0;   // bytes appended to the file so far
    uint64_t kickedTo_ = 0;  // writeback started for [0, kickedTo_)
};

// Hands out the bytes of a staged payload that the plan does not hold.
using FetchPayload = ProducePayload;

using ChunkChecks = ChunkDigests;

Digest128 contentHash(ByteView header, ByteView payload, ByteView more = {}) noexcept {
    static const int sodiumReady = sodium_init();
    (void)sodiumReady;
    Digest128 out{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, out.size());
    crypto_generichash_update(&state, header.data(), header.size());
    crypto_generichash_update(&state, payload.data(), payload.size());
    if (!more.empty()) crypto_generichash_update(&state, more.data(), more.size());
    crypto_generichash_final(&state, out.data(), out.size());
    return out;
}

// Payloads from this size on are hashed on other threads while this one
// writes: the hash costs more than the write, so a payload in memory is
// hashed while the one ahead of it is, and written once both are done.
constexpr size_t kHashAsideBytes = size_t{1} << 20;
constexpr size_t kHashesInFlight = 2;

std::future<Digest128> hashAside(uint32_t tag, uint32_t flags, uint64_t uid, ByteView payload) {
    try {
        return std::async(std::launch::async, [tag, flags, uid, payload] {
            const auto header = encodeChunkHeader(ChunkHeader{tag, flags, payload.size(), uid});
            return contentHash(header, payload);
        });
    } catch (const std::system_error&) {
        return {};  // no thread to be had: the writer hashes it itself
    }
}

// Appends one chunk (header, payload in one or two pieces, trailer,
// padding) and returns its checks: computed over the same bytes the sink
// receives, or the ones `given` by whoever made the payload. `hashed` is
// the content hash under way elsewhere, if any.
Result<ChunkChecks> emitChunk(Sink& sink, uint32_t tag, uint32_t flags, uint64_t uid, ByteView payload,
                              std::future<Digest128> hashed = {}, ByteView more = {},
                              const std::optional<ChunkChecks>& given = std::nullopt) {
    const uint64_t length = payload.size() + more.size();
    const auto header = encodeChunkHeader(ChunkHeader{tag, flags, length, uid});
    ChunkChecks checks;
    if (given) {
        checks = *given;
    } else {
        if (!hashed.valid() && more.empty() && payload.size() >= kHashAsideBytes) {
            hashed = hashAside(tag, flags, uid, payload);
        }
        Crc32cAccumulator crc;
        crc32cUpdate(crc, header);
        crc32cUpdate(crc, payload);
        crc32cUpdate(crc, more);
        checks.crc32c = crc32cFinish(crc);
    }
    // A failed append returns at once; the future's destructor waits for
    // the hash, which reads the payload, before it goes.
    ZEM_TRY(sink.append(header));
    ZEM_TRY(sink.append(payload));
    if (!more.empty()) ZEM_TRY(sink.append(more));
    if (!given) checks.hash = hashed.valid() ? hashed.get() : contentHash(header, payload, more);

    // Trailer and zero padding to the next multiple of 16 (at most 19 bytes).
    uint8_t tail[kChunkTrailerBytes + kChunkAlignment] = {};
    storeLe32(tail, checks.crc32c);
    const uint64_t unpadded = kChunkFramingBytes + length;
    const size_t tailBytes = kChunkTrailerBytes + static_cast<size_t>(align16(unpadded) - unpadded);
    ZEM_TRY(sink.append(ByteView(tail, tailBytes)));
    return checks;
}

// Steps 9-13: the chunks, the directory, the footer and the superblock.
// Returns the file's size.
Result<uint64_t> emitFile(const LayoutPlan& plan, Sink& sink, const FetchPayload& fetch) {
    // 9. The chunks, each recorded for the directory.
    const uint8_t zeros[kSuperblockBytes] = {};
    ZEM_TRY(sink.append(ByteView(zeros, kSuperblockBytes)));
    uint64_t at = kSuperblockBytes;
    std::vector<DirEntry> entries;
    entries.reserve(plan.chunks.size());
    // Hashes of the large payloads in memory, started a little ahead of
    // their writes; declared before anything they read can go.
    std::vector<std::future<Digest128>> ahead(plan.chunks.size());
    size_t launched = 0;
    for (size_t i = 0; i < plan.chunks.size(); ++i) {
        for (; launched < plan.chunks.size() && launched < i + kHashesInFlight; ++launched) {
            const PlannedChunk& next = plan.chunks[launched];
            if (!next.source && next.length >= kHashAsideBytes) {
                ahead[launched] = hashAside(next.tag, next.flags, next.uid, next.payload);
            }
        }
        const PlannedChunk& c = plan.chunks[i];
        PayloadPieces pieces{c.payload, {}, std::nullopt};
        if (c.source) {
            ZEM_TRY_ASSIGN(pieces, fetch(*c.source));
            if (pieces.head.size() + pieces.body.size() != c.length) {
                return fail(ErrorCode::ModelInvalid, "internal: payload of '" + tagText(c.tag) + "' uid " +
                                                         num(c.uid) + " changed size while being written");
            }
        }
        ZEM_TRY_ASSIGN(const ChunkChecks checks, emitChunk(sink, c.tag, c.flags, c.uid, pieces.head,
                                                           std::move(ahead[i]), pieces.body, pieces.checks));
        DirEntry e;
        e.tag = c.tag;
        e.uid = c.uid;
        e.offset = at;
        e.length = c.length;
        e.flags = c.flags;
        e.crc32c = checks.crc32c;
        e.hash = checks.hash;
        entries.push_back(e);
        at += chunkSpan(c.length);
    }

    // 10. Internal consistency of the fix point.
    for (const DirEntry& e : entries) {
        if (e.tag != kTagAUDI) continue;
        if (e.offset != plan.headBytes) {
            return fail(ErrorCode::ModelInvalid,
                        "internal: head_bytes " + num(plan.headBytes) + " != first AUDI offset " + num(e.offset));
        }
        break;
    }

    // 11. The directory, checked with the reader's own laws before the file
    // is complete, so a file this writer reports as written always opens.
    const Bytes dirPayload = encodeDirectory(entries);
    const uint64_t dirOffset = at;
    const uint64_t dirLength = dirPayload.size() + kChunkFramingBytes;
    const uint64_t fileBytes = dirOffset + align16(dirLength) + kFooterBytes;
    {
        const ReadPolicy policy;
        if (dirLength > policy.maxDirBytes) {
            return fail(ErrorCode::DirPolicyBytes, "this file declares a " + num(dirLength) +
                                                       "-byte directory; the current limit is " +
                                                       num(policy.maxDirBytes) + " bytes");
        }
        if (entries.size() > policy.maxDirEntries) {
            return fail(ErrorCode::DirPolicyEntries, dirEntriesText(entries.size(), policy.maxDirEntries));
        }
        Directory check;
        check.entries = std::move(entries);
        ZEM_TRY(validateDirectory(check, fileBytes));
    }
    ZEM_TRY_ASSIGN(const ChunkChecks dirChecks, emitChunk(sink, kTagDIRC, kChunkCritical, 0, dirPayload));

    // 12. Footer.
    const auto footer = encodeFooter(Footer{dirOffset, dirLength, fileBytes});
    ZEM_TRY(sink.append(footer));

    // 13. Superblock, last, into the reserved head.
    Superblock sb;
    sb.format_major = kFormatMajor;
    sb.format_minor = 0;
    sb.flags = plan.superblockFlags;
    sb.dir_offset = dirOffset;
    sb.dir_length = dirLength;
    sb.dir_hash = dirChecks.hash;
    sb.file_bytes = fileBytes;
    const auto superblock = encodeSuperblock(sb);
    ZEM_TRY(sink.patch(0, superblock));
    return fileBytes;
}

// Every refusal a layout can give, in order: the laws and encoders, then what
// the reader's default policy would refuse. The directory's exact size needs
// every checksum, so a plan with more chunks than the entry limit takes a
// pass that computes them and writes nothing.
Result<LayoutPlan> planAndCheck(const Zem6Model& model, const PayloadSizes& sizes, const WriteOptions& options,
                                const FetchPayload& fetch) {
    ZEM_TRY_ASSIGN(LayoutPlan plan, planLayout(model, sizes, options));
    if (plan.chunks.size() > ReadPolicy{}.maxDirEntries) {
        NullSink nowhere;
        ZEM_TRY(emitFile(plan, nowhere, fetch));
    }
    ZEM_TRY(checkMetadataBudget(plan));
    return plan;
}

Result<FileImage> layout(const Zem6Model& model, std::span<const StagedPayload> payloads,
                         const WriteOptions& options) {
    const PayloadSizes sizes{payloads, {}, false};
    const FetchPayload none;
    ZEM_TRY_ASSIGN(const LayoutPlan plan, planAndCheck(model, sizes, options, none));
    // A directory entry takes at most 60 bytes, its array head at most 9.
    uint64_t total = kSuperblockBytes;
    for (const PlannedChunk& c : plan.chunks) total += chunkSpan(c.length);
    total += chunkSpan(9 + 60 * static_cast<uint64_t>(plan.chunks.size())) + kFooterBytes;
    FileImage image;
    image.reserve(total);
    MemorySink sink(image);
    ZEM_TRY_ASSIGN(const uint64_t fileBytes, emitFile(plan, sink, none));
    if (image.size() != fileBytes) {
        return fail(ErrorCode::ModelInvalid,
                    "internal: image holds " + num(image.size()) + " bytes, expected " + num(fileBytes));
    }
    return image;
}

// Writes a checked plan into the replacement of `path`; the target is
// replaced only when every byte is written and synced.
Result<Unit> writePlan(const std::string& path, const LayoutPlan& plan, const FetchPayload& fetch) {
    platform::FileReplacement file;
    ZEM_TRY(writeFailure(path, file.begin(path)));
    FileSink<platform::FileReplacement> sink(file, path);
    ZEM_TRY(emitFile(plan, sink, fetch));
    ZEM_TRY(sink.flush());
    return writeFailure(path, file.commit());
}

Result<Unit> guarded(const std::function<Result<Unit>()>& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to lay out the zem file");
    } catch (const std::length_error&) {
        return fail(ErrorCode::AllocationFailed, "zem file layout exceeds this machine's limits");
    }
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
    return guarded([&]() -> Result<Unit> {
        const PayloadSizes sizes{payloads, {}, false};
        const FetchPayload none;
        ZEM_TRY_ASSIGN(const LayoutPlan plan, planAndCheck(model, sizes, options, none));
        return writePlan(path, plan, none);
    });
}

ChunkDigests chunkDigests(uint32_t tag, uint32_t flags, uint64_t uid, ByteView head, ByteView body) noexcept {
    const auto header = encodeChunkHeader(ChunkHeader{tag, flags, head.size() + body.size(), uid});
    ChunkDigests out;
    Crc32cAccumulator crc;
    crc32cUpdate(crc, header);
    crc32cUpdate(crc, head);
    crc32cUpdate(crc, body);
    out.crc32c = crc32cFinish(crc);
    out.hash = contentHash(header, head, body);
    return out;
}

Result<Unit> writeZem6Streamed(platform::OutputFile& file, const std::string& path, const Zem6Model& model,
                               std::span<const StagedPayload> laws, std::span<const uint64_t> lengths,
                               const ProducePayload& produce, const WriteOptions& options) {
    return guarded([&]() -> Result<Unit> {
        if (lengths.size() != laws.size()) return fail(ErrorCode::ModelInvalid, "internal: a length per payload");
        const PayloadSizes sizes{laws, lengths, true};
        ZEM_TRY_ASSIGN(const LayoutPlan plan, planLayout(model, sizes, options));
        // The exact directory size needs every checksum, and each payload is
        // made once: a plan over the entry limit is refused before writing.
        const ReadPolicy policy;
        if (plan.chunks.size() > policy.maxDirEntries) {
            return fail(ErrorCode::DirPolicyEntries, dirEntriesText(plan.chunks.size(), policy.maxDirEntries));
        }
        ZEM_TRY(checkMetadataBudget(plan));
        FileSink<platform::OutputFile> sink(file, path);
        ZEM_TRY(emitFile(plan, sink, produce));
        ZEM_TRY(sink.flush());
        ZEM_TRY(writeFailure(path, file.sync()));
        return writeFailure(path, file.close());
    });
}

Result<Unit> writeZem6WithSourcePayloads(const std::string& sourcePath, const std::string& destPath,
                                         const Zem6Model& model, const ReadPolicy& policy) {
    // The source stays open while its chunks are copied one at a time, and the
    // destination replaces its target only at the end: rewriting a file from
    // its own chunks reads them all before the rename.
    ZEM_TRY_ASSIGN(const Zem6File source, openZem6File(sourcePath, policy));
    return guarded([&]() -> Result<Unit> {
        // The audio chunks in file order: their tags, uids and sizes stand in
        // for the payloads until each is read.
        std::vector<const ChunkRecord*> records;
        std::vector<StagedPayload> laws;
        std::vector<uint64_t> lengths;
        for (const ChunkRecord& record : source.chunks) {
            if (record.tag != kTagAUDI && record.tag != kTagAUDT) continue;
            records.push_back(&record);
            laws.push_back(StagedPayload{record.uid, record.tag, {}});
            lengths.push_back(record.length);
        }
        WriteOptions options;
        options.legacyOrigin = (source.superblock.flags & kSuperblockLegacyOrigin) != 0;

        // A damaged source chunk is reported ahead of anything else, as if
        // every chunk had been read first: on any failure, the chunks not yet
        // read are checked in file order before that failure is reported.
        std::vector<bool> checked(records.size(), false);
        Bytes current;
        const FetchPayload fetch = [&](size_t i) -> Result<PayloadPieces> {
            current = Bytes{};  // one chunk in memory at a time
            auto bytes = source.readChunk(*records[i]);
            if (!bytes.ok()) return bytes.takeError();
            checked[i] = true;
            current = std::move(*bytes);
            return PayloadPieces{ByteView(current), {}, std::nullopt};
        };
        const auto firstReadFailure = [&](Result<Unit> failure) -> Result<Unit> {
            current = Bytes{};
            for (size_t i = 0; i < records.size(); ++i) {
                if (checked[i]) continue;
                auto bytes = source.readChunk(*records[i]);
                if (!bytes.ok()) return bytes.takeError();
                checked[i] = true;
            }
            return failure;
        };

        const PayloadSizes sizes{laws, lengths, true};
        auto plan = planAndCheck(model, sizes, options, fetch);
        if (!plan.ok()) return firstReadFailure(plan.takeError());
        Result<Unit> written = writePlan(destPath, *plan, fetch);
        if (!written.ok()) return firstReadFailure(std::move(written));
        return written;
    });
}

} // namespace vt6::fmt
