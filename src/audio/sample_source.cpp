#include "audio/sample_source.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "audio/codec.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"

namespace vt6::fmt {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

std::string sampleUidText(uint64_t uid) { return "sample uid " + num(uid); }

uint64_t frameBytes(const SampleGeometryRow& row) { return uint64_t{row.channels} * (row.bits / 8); }

// Header and the first 64 payload bytes of an audio chunk, then the head.
// `which` names the chunk in the short-payload message.
Result<PcmaHead> readHead(const Zem6File& file, const ChunkRecord& record, const std::string& prefix,
                          const char* which, ChunkPayloadView& view) {
    ZEM_TRY_ASSIGN(view, file.readChunkHeader(record));
    uint8_t head[kPcmaHeadBytes];
    ZEM_TRY_ASSIGN(const uint32_t got, Zem6File::readPayloadRange(view, 0, head));
    if (got != kPcmaHeadBytes) {
        return fail(ErrorCode::PayloadHeadInvalid,
                    prefix + ": " + which + " payload shorter than the 64-byte head");
    }
    return parsePcmaHead(ByteView(head, kPcmaHeadBytes));
}

// Removes the entry with the smallest stamp (the first one on a tie).
template <class Entry>
size_t leastRecentlyUsed(const std::vector<Entry>& entries) {
    size_t oldest = 0;
    for (size_t i = 1; i < entries.size(); ++i) {
        if (entries[i].lastUse < entries[oldest].lastUse) oldest = i;
    }
    return oldest;
}

} // namespace

Result<uint32_t> Zem6SampleSource::PayloadByteSource::read(uint64_t offset, std::span<uint8_t> dest) {
    if (offset >= size()) return uint32_t{0};
    return Zem6File::readPayloadRange(view_, offset + kPcmaHeadBytes, dest);
}

uint64_t Zem6SampleSource::PayloadByteSource::size() const {
    return view_.payloadLength <= kPcmaHeadBytes ? 0 : view_.payloadLength - kPcmaHeadBytes;
}

Zem6SampleSource::Zem6SampleSource(Zem6File file) : file_(std::move(file)) {}

Zem6SampleSource::~Zem6SampleSource() {
    // Cursors read through the file's descriptor: drop them before it closes.
    cursors_.clear();
    decoded_.clear();
    file_.close();
}

Result<std::unique_ptr<Zem6SampleSource>> Zem6SampleSource::open(const std::string& path, const ReadPolicy& policy) {
    registerFlacPayloadCodec();
    ZEM_TRY_ASSIGN(Zem6File file, openZem6File(path, policy));
    return open(std::move(file));
}

Result<std::unique_ptr<Zem6SampleSource>> Zem6SampleSource::open(Zem6File file) {
    registerFlacPayloadCodec();
    std::unique_ptr<Zem6SampleSource> source(new Zem6SampleSource(std::move(file)));
    source->validating_ = true;
    Result<Unit> checked = source->validateSamples();
    source->validating_ = false;
    if (!checked.ok()) return checked.takeError();
    return source;
}

Result<std::unique_ptr<Zem6SampleSource>> Zem6SampleSource::openSample(Zem6File file, uint32_t sample) {
    registerFlacPayloadCodec();
    std::unique_ptr<Zem6SampleSource> source(new Zem6SampleSource(std::move(file)));
    const std::vector<SmplEntry>& entries = source->file_.model.samples;
    if (sample >= entries.size()) {
        return fail(ErrorCode::ModelInvalid, "sample index " + num(sample) + " is past the file's " +
                                                 num(entries.size()) + " samples");
    }
    ZEM_TRY_ASSIGN(SampleGeometryRow row, source->validateRow(entries[sample]));
    source->rows_.resize(entries.size());
    source->rows_[sample] = row;
    if (row.totalFrames != 0) {
        // Kept as if validating: the one head is the whole cache.
        source->validating_ = true;
        Result<size_t> verified = source->decodeAndVerify(sample);
        source->validating_ = false;
        if (!verified.ok()) return verified.takeError();
    }
    return source;
}

Result<Unit> Zem6SampleSource::validateSamples() {
    rows_.reserve(file_.model.samples.size());
    for (const SmplEntry& entry : file_.model.samples) {
        ZEM_TRY_ASSIGN(SampleGeometryRow row, validateRow(entry));
        rows_.push_back(row);
    }

    // Verifying every head now means a later read fails only on I/O, a file
    // changed under us, or a damaged tail.
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].totalFrames == 0) continue;
        ZEM_TRY(decodeAndVerify(static_cast<uint32_t>(i)));
    }
    return Unit{};
}

Result<SampleGeometryRow> Zem6SampleSource::validateRow(const SmplEntry& entry) const {
    const std::string p = sampleUidText(entry.uid);
    SampleGeometryRow row;
    row.uid = entry.uid;

    const ChunkRecord* audi = file_.findEntry(kTagAUDI, entry.audi_uid);
    if (audi == nullptr) {
        return fail(ErrorCode::ModelInvalid, p + ": AUDI uid " + num(entry.audi_uid) + " not in the directory");
    }
    row.audi = *audi;
    ChunkPayloadView audiView;
    ZEM_TRY_ASSIGN(row.audiHead, readHead(file_, *audi, p, "AUDI", audiView));
    const PcmaHead& ah = row.audiHead;
    if (ah.codec == kCodecRawPcm && audi->length != kPcmaHeadBytes + ah.plain_bytes) {
        return fail(ErrorCode::PayloadHeadInvalid, p + ": codec-0 AUDI length " + num(audi->length) +
                                                       " != 64 + plain_bytes " + num(ah.plain_bytes));
    }
    row.headFrames = ah.frames;
    row.channels = ah.channels;
    row.bits = ah.bits;
    row.sampleRate = ah.sample_rate;
    row.codec = ah.codec;

    if (!entry.audt_uid) {
        if (ah.role != PayloadRole::whole) {
            return fail(ErrorCode::ModelInvalid, p + ": AUDI role must be 'whole' (0) when no AUDT exists");
        }
    } else {
        const ChunkRecord* audt = file_.findEntry(kTagAUDT, *entry.audt_uid);
        if (audt == nullptr) {
            return fail(ErrorCode::ModelInvalid,
                        p + " references AUDT uid " + num(*entry.audt_uid) + " but no such chunk exists");
        }
        row.audt = *audt;
        ZEM_TRY_ASSIGN(row.audtHead, readHead(file_, *audt, p, "AUDT", row.audtView));
        row.hasTail = true;
        const PcmaHead& th = row.audtHead;
        if (ah.role != PayloadRole::head) {
            return fail(ErrorCode::ModelInvalid, p + ": AUDI role must be 'head' (1) when an AUDT exists");
        }
        if (th.role != PayloadRole::tail) {
            return fail(ErrorCode::ModelInvalid, p + ": AUDT role must be 'tail' (2)");
        }
        if (th.first_frame != ah.frames) {
            return fail(ErrorCode::ModelInvalid, p + ": AUDT first_frame " + num(th.first_frame) +
                                                     " != AUDI frames " + num(ah.frames));
        }
        if (th.bits != ah.bits || th.channels != ah.channels || th.sample_rate != ah.sample_rate ||
            th.codec != ah.codec) {
            return fail(ErrorCode::ModelInvalid, p + ": AUDT geometry/codec disagrees with its AUDI");
        }
        if (th.codec == kCodecRawPcm && audt->length != kPcmaHeadBytes + th.plain_bytes) {
            return fail(ErrorCode::PayloadHeadInvalid, p + ": codec-0 AUDT length " + num(audt->length) +
                                                           " != 64 + plain_bytes " + num(th.plain_bytes));
        }
    }

    // Both parts hold at most 2^26 frames each, so the sum cannot wrap.
    row.totalFrames = ah.frames + (row.hasTail ? row.audtHead.frames : 0);
    if (entry.frames && *entry.frames != row.totalFrames) {
        return fail(ErrorCode::ModelInvalid,
                    p + ": SMPL frames " + num(*entry.frames) + " != payload frames " + num(row.totalFrames));
    }
    if (entry.head_frames && *entry.head_frames != ah.frames) {
        return fail(ErrorCode::ModelInvalid,
                    p + ": SMPL head_frames " + num(*entry.head_frames) + " != " + num(ah.frames));
    }
    if (entry.sample_rate && *entry.sample_rate != ah.sample_rate) {
        return fail(ErrorCode::ModelInvalid, p + ": SMPL rate disagrees with the payload head");
    }
    if (entry.bits && *entry.bits != ah.bits) {
        return fail(ErrorCode::ModelInvalid, p + ": SMPL bits disagrees with the payload head");
    }
    if (entry.channels && *entry.channels != ah.channels) {
        return fail(ErrorCode::ModelInvalid, p + ": SMPL channels disagrees with the payload head");
    }
    if (entry.codec && *entry.codec != ah.codec) {
        return fail(ErrorCode::ModelInvalid, p + ": SMPL codec disagrees with the payload head");
    }
    if (ah.channels > 2) {
        return fail(ErrorCode::ModelInvalid,
                    p + " declares " + num(ah.channels) + " channels; the engine limit is 2");
    }
    return row;
}

Result<size_t> Zem6SampleSource::decodeAndVerify(uint32_t sample) {
    const SampleGeometryRow& row = rows_[sample];
    const std::string p = sampleUidText(row.uid);
    ZEM_TRY_ASSIGN(const Bytes payload, file_.readChunk(row.audi));
    if (payload.size() < kPcmaHeadBytes) {
        return fail(ErrorCode::PayloadHeadInvalid, p + ": payload shorter than the 64-byte head");
    }
    const PcmaHead& h = row.audiHead;
    DecodeParams params;
    params.bits = h.bits;
    params.channels = h.channels;
    params.sample_rate = h.sample_rate;
    params.frames = h.frames;
    params.plain_bytes = h.plain_bytes;
    ZEM_TRY_ASSIGN(std::vector<uint8_t> plain,
                   decodePayloadBody(h.codec, ByteView(payload).subspan(kPcmaHeadBytes), params));
    if (plain.size() != h.plain_bytes) {
        return fail(ErrorCode::PlainBytesMismatch,
                    p + ": decoded " + num(plain.size()) + " bytes; the head declares " + num(h.plain_bytes));
    }
    if (blake2b128(plain) != h.plain_hash) {
        return fail(ErrorCode::PlainHashMismatch, p + " AUDI: decoded packed PCM fails the per-chunk plain_hash");
    }
    if (!validating_ && decoded_.size() >= kMaxDecodedHeads) evictDecoded(leastRecentlyUsed(decoded_));
    decoded_.push_back(DecodedHeadEntry{sample, 0, std::move(plain), ++useCounter_});
    return decoded_.size() - 1;
}

Result<size_t> Zem6SampleSource::decodedHead(uint32_t sample) {
    for (size_t i = 0; i < decoded_.size(); ++i) {
        if (decoded_[i].sample == sample && decoded_[i].part == 0) {
            decoded_[i].lastUse = ++useCounter_;
            return i;
        }
    }
    return decodeAndVerify(sample);
}

void Zem6SampleSource::evictDecoded(size_t position) {
    decoded_.erase(decoded_.begin() + static_cast<std::ptrdiff_t>(position));
}

Result<Zem6SampleSource::TailCursorEntry*> Zem6SampleSource::openTailCursor(uint32_t sample, uint8_t part) {
    for (TailCursorEntry& e : cursors_) {
        // A failed cursor stays until evicted but is never reused: its failure
        // would stick to every later read.
        if (e.sample == sample && e.part == part && e.cursor && e.cursor->isOpen()) {
            e.lastUse = ++useCounter_;
            return &e;
        }
    }
    const SampleGeometryRow& row = rows_[sample];
    const ChunkRecord& record = part == 0 ? row.audi : row.audt;
    const PcmaHead& head = part == 0 ? row.audiHead : row.audtHead;
    ZEM_TRY_ASSIGN(const ChunkPayloadView view, file_.readChunkHeader(record));
    TailCursorEntry entry;
    entry.sample = sample;
    entry.part = part;
    entry.source = std::make_unique<PayloadByteSource>(view);
    entry.cursor = std::make_unique<FlacStreamCursor>();
    entry.lastUse = ++useCounter_;
    ZEM_TRY(entry.cursor->open(entry.source.get(), head));
    if (cursors_.size() >= kMaxTailCursors) {
        cursors_.erase(cursors_.begin() + static_cast<std::ptrdiff_t>(leastRecentlyUsed(cursors_)));
    }
    cursors_.push_back(std::move(entry));
    return &cursors_.back();
}

Result<uint32_t> Zem6SampleSource::readPart(uint32_t sample, uint8_t part, uint64_t partStart, uint32_t count,
                                            std::vector<uint8_t>& out) {
    const SampleGeometryRow& row = rows_[sample];
    const uint64_t width = frameBytes(row);
    const uint64_t bytes = uint64_t{count} * width;

    if (part == 0) {
        ZEM_TRY_ASSIGN(const size_t at, decodedHead(sample));
        const std::vector<uint8_t>& plain = decoded_[at].bytes;
        // The head was verified to hold exactly headFrames frames and the
        // caller keeps the range inside them.
        out.resize(bytes);
        if (bytes != 0) std::memcpy(out.data(), plain.data() + partStart * width, bytes);
        // A read that reaches the end of the head is usually playback moving
        // on into the tail: the decoded copy is no longer worth its memory.
        if (partStart + count >= row.headFrames) evictDecoded(at);
        return count;
    }

    const std::string p = sampleUidText(row.uid);
    if (row.codec == kCodecRawPcm) {
        out.resize(bytes);
        ZEM_TRY_ASSIGN(const uint32_t got,
                       Zem6File::readPayloadRange(row.audtView, kPcmaHeadBytes + partStart * width, out));
        if (got != bytes) return fail(ErrorCode::ChunkTruncated, p + ": codec-0 tail read came up short");
        return count;
    }

    ZEM_TRY_ASSIGN(TailCursorEntry* const entry, openTailCursor(sample, part));
    ZEM_TRY_ASSIGN(const uint32_t delivered, entry->cursor->read(partStart, count, out));
    if (delivered < count) {
        return fail(ErrorCode::FlacError, p + ": FLAC tail ended after " + num(delivered) + " of " + num(count) +
                                              " requested frames");
    }
    return count;
}

stream::TailReadResult Zem6SampleSource::read(uint32_t sample, uint64_t startFrame, uint32_t count,
                                              std::span<float* const> channels) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sample >= rows_.size() || startFrame >= rows_[sample].totalFrames) {
        return {stream::kTailReadOutOfRange, 0};
    }
    const SampleGeometryRow& row = rows_[sample];
    const uint64_t n = std::min<uint64_t>(row.totalFrames - startFrame, count);
    if (n == 0) return {stream::kTailReadDone, 0};

    uint64_t done = 0;
    while (done < n) {
        const uint64_t pos = startFrame + done;
        const bool head = pos < row.headFrames;
        const uint64_t partStart = head ? pos : pos - row.headFrames;
        const uint64_t partLength = head ? row.headFrames : row.totalFrames - row.headFrames;
        const auto m = static_cast<uint32_t>(std::min(partLength - partStart, n - done));

        Result<uint32_t> got = readPart(sample, head ? 0 : 1, partStart, m, scratchBytes_);
        if (!got.ok()) {
            lastError_ = got.takeError();
            return {stream::kTailReadError, 0};
        }

        const uint64_t values = uint64_t{m} * row.channels;
        if (scratchFloats_.size() < values) scratchFloats_.resize(values);
        pcmToFloat(scratchBytes_.data(), scratchBytes_.size(), row.bits, values, scratchFloats_.data());
        const size_t used = std::min<size_t>(row.channels, channels.size());
        for (size_t c = 0; c < used; ++c) {
            float* dst = channels[c] + done;
            const float* src = scratchFloats_.data() + c;
            for (uint32_t f = 0; f < m; ++f) dst[f] = src[size_t{f} * row.channels];
        }
        done += m;
    }
    return {stream::kTailReadDone, static_cast<uint32_t>(n)};
}

uint64_t Zem6SampleSource::frameCount(uint32_t sample) const {
    return sample < rows_.size() ? rows_[sample].totalFrames : 0;
}

uint16_t Zem6SampleSource::channelCount(uint32_t sample) const {
    return sample < rows_.size() ? rows_[sample].channels : 0;
}

ErrorInfo Zem6SampleSource::lastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

std::vector<uint32_t> Zem6SampleSource::cachedHeads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> out;
    for (const DecodedHeadEntry& e : decoded_) out.push_back(e.sample);
    return out;
}

std::vector<uint32_t> Zem6SampleSource::cachedTailCursors() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint32_t> out;
    for (const TailCursorEntry& e : cursors_) out.push_back(e.sample);
    return out;
}

} // namespace vt6::fmt
