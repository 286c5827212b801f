#include "format/reader.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <utility>

#include "format/directory.hpp"
#include "format/lgcy.hpp"
#include "format/model_laws.hpp"
#include "format/scan.hpp"
#include "format/smpl.hpp"
#include "format/summ_peak.hpp"
#include "platform/file.hpp"

namespace vt6::fmt {

namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
// Superblock and MTAD must fit in one ranged read of this size.
constexpr uint64_t kHeadRangeBytes = 65536;
constexpr uint64_t kMtadFramingInHead = kSuperblockBytes + kChunkFramingBytes;  // 92

// Fuzz builds note checksum and hash mismatches and go on, so the fuzzer gets
// past the trailers to the parsing behind them.
#if defined(ZEM_FUZZING)
constexpr bool kChecksumsFatal = false;
#else
constexpr bool kChecksumsFatal = true;
#endif

std::string num(uint64_t v) { return std::to_string(v); }

// Exact decimal text of a + b, also when the sum passes 2^64 (messages about
// hostile pointers print it).
std::string sumText(uint64_t a, uint64_t b) {
    unsigned __int128 s = static_cast<unsigned __int128>(a) + b;
    if (s == 0) return "0";
    std::string out;
    while (s != 0) {
        out.push_back(static_cast<char>('0' + static_cast<int>(s % 10)));
        s /= 10;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::string chunkName(uint32_t tag, uint64_t uid) { return "'" + tagText(tag) + "' uid " + num(uid); }

uint64_t align16(uint64_t v) { return (v + (kChunkAlignment - 1)) & ~(kChunkAlignment - 1); }

bool isSingletonTag(uint32_t tag) noexcept {
    return tag == kTagMTAD || tag == kTagSUMM || tag == kTagSMPL || tag == kTagPEAK || tag == kTagLGCY;
}

bool isAudioTag(uint32_t tag) noexcept { return tag == kTagAUDI || tag == kTagAUDT; }

// Fills dst from the file at `offset`: true when filled, false when the file
// ended first.
Result<bool> readAt(int fd, std::span<uint8_t> dst, uint64_t offset) {
    const platform::ReadOutcome r = platform::readAt(fd, dst.data(), dst.size(), offset);
    switch (r.status) {
    case platform::ReadStatus::Filled:
        return true;
    case platform::ReadStatus::EndOfFile:
        return false;
    case platform::ReadStatus::Error:
        break;
    }
    return fail(ErrorCode::ReadIo, "OS read failure");
}

bool readFully(int fd, std::span<uint8_t> dst, uint64_t offset) {
    auto r = readAt(fd, dst, offset);
    return r.ok() && *r;
}

struct LocateOutcome {
    std::optional<Directory> directory;
    ErrorInfo error;
    bool hard = false;
};

LocateOutcome softFailure(ErrorInfo error) { return LocateOutcome{std::nullopt, std::move(error), false}; }

// Checks one (offset, length) directory candidate. Every failure is soft but
// the decode of a chunk that hashes to dir_hash: such a directory is the
// file's own and is never recovered around.
LocateOutcome locateDirectory(int fd, uint64_t fileSize, const Superblock& sb, uint64_t offset, uint64_t length,
                              const ReadPolicy& policy) {
    if (length > policy.maxDirBytes) {
        return softFailure(fail(ErrorCode::DirPolicyBytes, "this file declares a " + num(length) +
                                                               "-byte directory; the current limit is " +
                                                               num(policy.maxDirBytes) + " bytes"));
    }
    if (length < kChunkFramingBytes + 1) {
        return softFailure(
            fail(ErrorCode::DirectoryUnrecoverable, "directory pointer declares only " + num(length) + " bytes"));
    }
    if (offset < kSuperblockBytes || fileSize < kFooterBytes || length > fileSize - kFooterBytes ||
        offset > fileSize - length - kFooterBytes) {
        return softFailure(fail(ErrorCode::DirEntryOutOfBounds, "directory pointer [" + num(offset) + "," +
                                                                    sumText(offset, length) +
                                                                    ") lies outside the chunk region"));
    }
    // Bounded by both the policy and the file size.
    Bytes buf(static_cast<size_t>(length));
    if (!readFully(fd, buf, offset)) return softFailure(fail(ErrorCode::ReadIo, "directory read failed"));

    auto header = parseChunkHeader(buf);
    if (!header.ok()) return softFailure(header.takeError());
    if (header->tag != kTagDIRC || header->length != length - kChunkFramingBytes) {
        return softFailure(fail(ErrorCode::DirectoryUnrecoverable, "directory pointer does not frame a DIRC chunk"));
    }
    const ByteView covered(buf.data(), static_cast<size_t>(length - kChunkTrailerBytes));
    if (crc32cOf(covered) != loadLe32(buf.data() + covered.size()) && kChecksumsFatal) {
        return softFailure(fail(ErrorCode::ChunkCrcMismatch, "DIRC chunk fails its crc32c"));
    }
    if (blake2b128(covered) != sb.dir_hash && kChecksumsFatal) {
        return softFailure(fail(ErrorCode::DirHashMismatch, "located DIRC does not hash to the superblock dir_hash"));
    }
    auto dir = decodeDirectory(covered.subspan(kChunkHeaderBytes), fileSize, policy);
    if (!dir.ok()) return LocateOutcome{std::nullopt, dir.takeError(), true};
    return LocateOutcome{std::move(*dir), ErrorInfo{}, false};
}

// Keeps the most telling soft failure among the directory candidates: limit
// violations over arithmetic overflow over a hash mismatch over the rest;
// among equals, the earliest candidate's.
class CandidateErrors {
public:
    void merge(ErrorInfo error) {
        if (untouched_ || rank(error.code) > rank(best_.code)) {
            best_ = std::move(error);
            untouched_ = false;
        }
    }
    ErrorInfo take() {
        ErrorInfo e = std::move(best_);
        if (e.code == ErrorCode::DirectoryUnrecoverable) {
            e.message = "directory unrecoverable (superblock pointer, footer pointer and linear scan all failed): " +
                        e.message;
        }
        return e;
    }

private:
    static int rank(ErrorCode code) noexcept {
        switch (code) {
        case ErrorCode::DirPolicyEntries:
        case ErrorCode::DirPolicyBytes:
            return 4;
        case ErrorCode::LengthOverflow:
            return 3;
        case ErrorCode::DirHashMismatch:
            return 2;
        default:
            return 1;
        }
    }

    ErrorInfo best_{ErrorCode::DirectoryUnrecoverable, "no directory candidate"};
    bool untouched_ = true;
};

// The signature slot, its SIGN payload and the chain root -> certificate ->
// file, over a transcript built from the directory alone.
Result<Provenance> verifySignature(const Zem6File& file, const std::optional<DirectoryLocation>& location,
                                   const std::optional<uint64_t>& firstSignOffset) {
    uint64_t slotStart;
    if (location) {
        slotStart = align16(location->offset + location->length);
    } else if (firstSignOffset) {
        slotStart = *firstSignOffset;
    } else {
        return fail(ErrorCode::SignatureSlotInvalid,
                    "SIGNED flag set but no SIGN chunk could be located (directory scan-rebuilt, no SIGN seen)");
    }
    const uint64_t footerStart = file.fileSize - kFooterBytes;
    if (slotStart >= footerStart) {
        return fail(ErrorCode::SignatureSlotInvalid,
                    "SIGNED flag set but the signature slot is empty (SIGN chunk stripped)");
    }
    const uint64_t slotLength = footerStart - slotStart;
    if (slotLength > file.policy.maxSignatureSlotBytes) {
        return fail(ErrorCode::SignaturePolicyBytes, "signature slot requires " + num(slotLength) +
                                                         " bytes; the current limit is " +
                                                         num(file.policy.maxSignatureSlotBytes) + " bytes");
    }
    Bytes slot(static_cast<size_t>(slotLength));
    if (!readFully(file.fd, slot, slotStart)) return fail(ErrorCode::ReadIo, "signature slot read failed");
    ZEM_TRY_ASSIGN(const SignPayload sign, readSignatureSlot(slot));

    Bytes transcript;
    transcript.reserve(file.chunks.size() * kTranscriptRecordBytes);
    for (const ChunkRecord& c : file.chunks) {
        encodeTranscriptRecord(transcript, c.tag, c.flags, c.length, c.uid, c.hash.data());
    }
    VerifyChainInputs inputs;
    inputs.model = &file.model;
    inputs.transcript = transcript.data();
    inputs.transcriptLength = transcript.size();
    inputs.sign = &sign;
    if (file.policy.rootKeyOverride != nullptr) {
        std::copy(file.policy.rootKeyOverride, file.policy.rootKeyOverride + kEd25519PublicKeyBytes,
                  inputs.rootKey.begin());
    } else {
        inputs.rootKey = builtInRootKey();
    }
    return verifyChain(inputs);
}

// With allowBadSignature the failure is recorded and the file opens marked
// modified; otherwise it ends the open.
Result<Unit> reportSignatureFailure(const ReadPolicy& policy, Zem6File& file, ErrorInfo failure) {
    if (policy.allowBadSignature == 0) return failure;
    Provenance& p = file.report.provenance;
    p = Provenance{};
    p.badge = ProvenanceBadge::Modified;
    p.isSigned = true;
    p.badgeText = provenanceBadgeText(ProvenanceBadge::Modified, {});
    file.report.warnings.push_back(std::string("signature verification failed [") + errorCodeName(failure.code) +
                                   "]: " + failure.message);
    p.code = failure.code;
    p.message = std::move(failure.message);
    return Unit{};
}

} // namespace

Zem6File::Zem6File(Zem6File&& other) noexcept
    : fd(other.fd),
      fileSize(other.fileSize),
      superblock(other.superblock),
      directorySource(other.directorySource),
      chunks(std::move(other.chunks)),
      index(std::move(other.index)),
      model(std::move(other.model)),
      report(std::move(other.report)),
      policy(other.policy) {
    other.fd = -1;
    other.close();
}

Zem6File& Zem6File::operator=(Zem6File&& other) noexcept {
    if (this != &other) {
        close();
        fd = other.fd;
        fileSize = other.fileSize;
        superblock = other.superblock;
        directorySource = other.directorySource;
        chunks = std::move(other.chunks);
        index = std::move(other.index);
        model = std::move(other.model);
        report = std::move(other.report);
        policy = other.policy;
        other.fd = -1;
        other.close();
    }
    return *this;
}

void Zem6File::close() noexcept {
    platform::closeFile(fd);
    fd = -1;
    fileSize = 0;
    superblock = Superblock{};
    directorySource = DirectorySource::SuperblockPointer;
    std::vector<ChunkRecord>().swap(chunks);
    std::vector<uint32_t>().swap(index);
    model = Zem6Model{};
    report = OpenReport{};
    policy = ReadPolicy{};
}

const ChunkRecord* Zem6File::findEntry(uint32_t tag, uint64_t uid) const noexcept {
    const auto it = std::lower_bound(index.begin(), index.end(), std::pair<uint32_t, uint64_t>(tag, uid),
                                     [this](uint32_t pos, const std::pair<uint32_t, uint64_t>& key) {
                                         const ChunkRecord& c = chunks[pos];
                                         return c.tag != key.first ? c.tag < key.first : c.uid < key.second;
                                     });
    if (it == index.end()) return nullptr;
    const ChunkRecord& c = chunks[*it];
    return (c.tag == tag && c.uid == uid) ? &c : nullptr;
}

namespace {

// Every check of a whole-chunk read but the bounds: the header against the
// record, the trailer over header and payload, the content hash, and the
// directory's copy of the trailer.
Result<Unit> checkChunk(const ChunkRecord& record, ByteView header, ByteView payload, uint32_t trailer) {
    ZEM_TRY_ASSIGN(const ChunkHeader parsed, parseChunkHeader(header));
    if (parsed.tag != record.tag || parsed.uid != record.uid || parsed.length != record.length ||
        parsed.flags != record.flags) {
        return fail(ErrorCode::ChunkHeaderDirMismatch, "chunk header at offset " + num(record.offset) +
                                                           " disagrees with its DIRC entry (" +
                                                           chunkName(record.tag, record.uid) + ")");
    }
    Crc32cAccumulator crc;
    crc32cUpdate(crc, header);
    crc32cUpdate(crc, payload);
    if (crc32cFinish(crc) != trailer && kChecksumsFatal) {
        return fail(ErrorCode::ChunkCrcMismatch, "chunk " + chunkName(record.tag, record.uid) + " fails its crc32c trailer");
    }
    if (blake2b128(header, payload) != record.hash && kChecksumsFatal) {
        return fail(ErrorCode::ChunkHashMismatch,
                    "chunk " + chunkName(record.tag, record.uid) + " fails its DIRC BLAKE2b-128 content hash");
    }
    if (trailer != record.crc32c && kChecksumsFatal) {
        return fail(ErrorCode::ChunkHeaderDirMismatch,
                    "DIRC crc32c disagrees with the chunk trailer for " + chunkName(record.tag, record.uid));
    }
    return Unit{};
}

// Payloads from this size on are read apart from their header, straight to
// where they are returned, instead of being moved there after one read.
constexpr uint64_t kSplitReadBytes = uint64_t{64} << 10;

} // namespace

// The bounds and read limit of a whole-chunk read; the span on success.
Result<uint64_t> Zem6File::checkedChunkSpan(const ChunkRecord& record) const {
    const uint64_t length = record.length;
    const uint64_t regionEnd = fileSize >= kFooterBytes ? fileSize - kFooterBytes : 0;
    if (fileSize < kFooterBytes || record.offset < kSuperblockBytes || regionEnd < kChunkFramingBytes ||
        length > regionEnd - kChunkFramingBytes || record.offset > regionEnd - kChunkFramingBytes - length) {
        return fail(ErrorCode::ChunkTruncated, "whole-chunk read lies outside the file");
    }
    const uint64_t span = length + kChunkFramingBytes;
    if (span > policy.maxChunkReadBytes) {
        return fail(ErrorCode::ChunkReadPolicyBytes, "whole-chunk read requires " + num(span) +
                                                         " bytes; the current limit is " +
                                                         num(policy.maxChunkReadBytes) + " bytes");
    }
    return span;
}

Result<ByteView> Zem6File::readChunkInto(const ChunkRecord& record, Bytes& scratch) const {
    try {
        ZEM_TRY_ASSIGN(const uint64_t span, checkedChunkSpan(record));
        if (scratch.size() < span) scratch.resize(static_cast<size_t>(span));
        const std::span<uint8_t> buf(scratch.data(), static_cast<size_t>(span));
        ZEM_TRY_ASSIGN(const bool filled, readAt(fd, buf, record.offset));
        if (!filled) {
            return fail(ErrorCode::ChunkTruncated, "chunk '" + tagText(record.tag) + "' read came up short of its " +
                                                       num(span) + "-byte span");
        }
        const ByteView header(buf.data(), kChunkHeaderBytes);
        const ByteView payload(buf.data() + kChunkHeaderBytes, static_cast<size_t>(record.length));
        ZEM_TRY(checkChunk(record, header, payload, loadLe32(payload.data() + payload.size())));
        return payload;
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to read zem chunk");
    } catch (const std::length_error&) {
        return fail(ErrorCode::AllocationFailed, "zem chunk allocation exceeds this machine's limits");
    }
}

Result<Bytes> Zem6File::readChunk(const ChunkRecord& record) const {
    try {
        Bytes buf;
        if (record.length < kSplitReadBytes) {
            ZEM_TRY_ASSIGN(const ByteView payload, readChunkInto(record, buf));
            (void)payload;
            buf.erase(buf.begin(), buf.begin() + kChunkHeaderBytes);
            buf.resize(static_cast<size_t>(record.length));
            return buf;
        }
        // The header apart, the payload and its trailer where they stay.
        ZEM_TRY_ASSIGN(const uint64_t span, checkedChunkSpan(record));
        uint8_t header[kChunkHeaderBytes];
        ZEM_TRY_ASSIGN(const bool headerFilled, readAt(fd, header, record.offset));
        buf.resize(static_cast<size_t>(span - kChunkHeaderBytes));
        ZEM_TRY_ASSIGN(const bool filled, headerFilled ? readAt(fd, buf, record.offset + kChunkHeaderBytes)
                                                       : Result<bool>(false));
        if (!filled) {
            return fail(ErrorCode::ChunkTruncated, "chunk '" + tagText(record.tag) + "' read came up short of its " +
                                                       num(span) + "-byte span");
        }
        const ByteView payload(buf.data(), static_cast<size_t>(record.length));
        ZEM_TRY(checkChunk(record, ByteView(header, kChunkHeaderBytes), payload,
                           loadLe32(buf.data() + payload.size())));
        buf.resize(static_cast<size_t>(record.length));
        return buf;
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to read zem chunk");
    } catch (const std::length_error&) {
        return fail(ErrorCode::AllocationFailed, "zem chunk allocation exceeds this machine's limits");
    }
}

Result<ChunkPayloadView> Zem6File::readChunkHeader(const ChunkRecord& record) const {
    uint8_t bytes[kChunkHeaderBytes];
    ZEM_TRY_ASSIGN(const bool filled, readAt(fd, bytes, record.offset));
    if (!filled) {
        return fail(ErrorCode::ChunkTruncated, "chunk header read came up short at offset " + num(record.offset));
    }
    ZEM_TRY_ASSIGN(const ChunkHeader header, parseChunkHeader(bytes));
    if (header.tag != record.tag || header.uid != record.uid || header.length != record.length ||
        header.flags != record.flags) {
        return fail(ErrorCode::ChunkHeaderDirMismatch, "chunk header at offset " + num(record.offset) +
                                                           " disagrees with its DIRC entry (" +
                                                           chunkName(record.tag, record.uid) + ")");
    }
    // The header was read, so offset + 24 lies within the file.
    return ChunkPayloadView{fd, record.offset + kChunkHeaderBytes, record.length};
}

Result<uint32_t> Zem6File::readPayloadRange(const ChunkPayloadView& view, uint64_t offset, std::span<uint8_t> dst) {
    if (offset >= view.payloadLength) return uint32_t{0};
    uint64_t n = std::min<uint64_t>(dst.size(), view.payloadLength - offset);
    n = std::min<uint64_t>(n, std::numeric_limits<uint32_t>::max());
    if (view.payloadOffset > kU64Max - offset) {
        return fail(ErrorCode::ChunkTruncated, "payload read came up short — the file shrank under us");
    }
    const platform::ReadOutcome r =
        platform::readAt(view.fd, dst.data(), static_cast<size_t>(n), view.payloadOffset + offset);
    switch (r.status) {
    case platform::ReadStatus::Filled:
        return static_cast<uint32_t>(n);
    case platform::ReadStatus::EndOfFile:
        return fail(ErrorCode::ChunkTruncated, "payload read came up short — the file shrank under us");
    case platform::ReadStatus::Error:
        break;
    }
    return fail(ErrorCode::ReadIo, "OS read failure inside a chunk payload");
}

Result<Unit> Zem6File::readModel() {
    // A singleton chunk under another uid would be skipped below and dropped
    // by the next save without a word.
    for (const ChunkRecord& c : chunks) {
        if (isSingletonTag(c.type) && c.uid != 0) {
            return fail(ErrorCode::ModelInvalid,
                        "chunk " + chunkName(c.tag, c.uid) + ": singleton chunks must have uid 0");
        }
    }

    const ChunkRecord* mtad = findEntry(kTagMTAD, 0);
    if (mtad == nullptr) return fail(ErrorCode::ModelInvalid, "MTAD chunk missing");
    if (mtad->offset != kSuperblockBytes) {
        return fail(ErrorCode::ModelInvalid,
                    "MTAD must be the first chunk (at offset 64; found at " + num(mtad->offset) + ")");
    }
    if (mtad->length > kHeadRangeBytes - kMtadFramingInHead) {
        return fail(ErrorCode::MtadTooLarge, "superblock+MTAD end at byte " + sumText(mtad->length, kMtadFramingInHead) +
                                                 " — past the first " + num(kHeadRangeBytes) +
                                                 " bytes (the two-step range read law)");
    }
    {
        ZEM_TRY_ASSIGN(const Bytes payload, readChunk(*mtad));
        ZEM_TRY_ASSIGN(model.metadata, decodeMtad(payload));
    }

    if (const ChunkRecord* summ = findEntry(kTagSUMM, 0)) {
        if (summ->length > kSummMaxBytes) {
            return fail(ErrorCode::SummTooLarge, "SUMM payload is " + num(summ->length) + " bytes; the hard cap is " +
                                                     num(kSummMaxBytes));
        }
        ZEM_TRY_ASSIGN(const Bytes payload, readChunk(*summ));
        ZEM_TRY_ASSIGN(model.summary, decodeSumm(payload));
    }

    const ChunkRecord* smpl = findEntry(kTagSMPL, 0);
    if (smpl == nullptr) return fail(ErrorCode::ModelInvalid, "SMPL chunk missing");
    {
        ZEM_TRY_ASSIGN(const Bytes payload, readChunk(*smpl));
        // Each row names an AUDI chunk of its own (a law checked below), so
        // the directory, already bounded by the policy and read in full,
        // bounds the row count before any row is decoded: a row costs a few
        // hundred bytes in memory however few bytes encode it.
        ZEM_TRY_ASSIGN(model.samples, decodeSmpl(payload, chunks.size()));
    }

    if (const ChunkRecord* peak = findEntry(kTagPEAK, 0)) {
        ZEM_TRY_ASSIGN(const Bytes payload, readChunk(*peak));
        ZEM_TRY_ASSIGN(PeakTable table, decodePeak(payload));
        model.points_per_sample = table.points_per_sample;
        model.peaks = std::move(table.peaks);
    }

    if (const ChunkRecord* lgcy = findEntry(kTagLGCY, 0)) {
        ZEM_TRY_ASSIGN(const Bytes payload, readChunk(*lgcy));
        ZEM_TRY_ASSIGN(model.lgcy, decodeLgcy(payload));
    }

    const uint64_t headBytes = model.metadata.head_bytes;
    for (const ChunkRecord& c : chunks) {
        if (isSingletonTag(c.type) || isAudioTag(c.type)) continue;
        ZEM_TRY_ASSIGN(Bytes payload, readChunk(c));
        ExtraChunk extra;
        extra.tag = c.tag;
        extra.flags = c.flags;
        extra.length = c.length;
        extra.uid = c.uid;
        extra.bytes = std::move(payload);
        extra.afterAudio = c.offset >= headBytes;
        model.extraChunks.push_back(std::move(extra));
    }

    const auto firstAudi =
        std::find_if(chunks.begin(), chunks.end(), [](const ChunkRecord& c) { return c.type == kTagAUDI; });
    if (firstAudi != chunks.end()) {
        if (firstAudi->offset != headBytes) {
            return fail(ErrorCode::ModelInvalid, "MTAD.head_bytes " + num(headBytes) + " != first AUDI chunk offset " +
                                                     num(firstAudi->offset));
        }
    } else if (headBytes > fileSize) {
        return fail(ErrorCode::ModelInvalid, "MTAD.head_bytes " + num(headBytes) + " lies past the file end");
    }

    for (const SmplEntry& row : model.samples) {
        if (findEntry(kTagAUDI, row.audi_uid) == nullptr) {
            return fail(ErrorCode::ModelInvalid, "sample uid " + num(row.uid) + " references AUDI uid " +
                                                     num(row.audi_uid) + " but the directory has no such chunk");
        }
        if (row.audt_uid && findEntry(kTagAUDT, *row.audt_uid) == nullptr) {
            return fail(ErrorCode::ModelInvalid, "sample uid " + num(row.uid) + " references AUDT uid " +
                                                     num(*row.audt_uid) + " but the directory has no such chunk");
        }
    }

    const uint64_t nextUid = model.metadata.next_uid;
    for (const ChunkRecord& c : chunks) {
        if (isAudioTag(c.type) && c.uid >= nextUid) {
            return fail(ErrorCode::UidLaw, "chunk " + chunkName(c.tag, c.uid) + " >= MTAD.next_uid " + num(nextUid));
        }
    }

    return checkModelLaws(model);
}

Result<Zem6File> openZem6File(const std::string& path, const ReadPolicy& policy) {
    try {
        Zem6File file;
        file.policy = policy;

        file.fd = platform::openFileUtf8(path);
        if (file.fd < 0) return fail(ErrorCode::ReadIo, "cannot open '" + path + "' for reading");
        const std::optional<uint64_t> size = platform::fileSize(file.fd);
        if (!size) return fail(ErrorCode::ReadIo, "cannot stat '" + path + "'");
        file.fileSize = *size;
        if (file.fileSize < kMinFileBytes) {
            return fail(ErrorCode::BadMagic,
                        "file is " + num(file.fileSize) + " bytes — smaller than superblock+footer (96)");
        }

        uint8_t head[kSuperblockBytes];
        if (!readFully(file.fd, head, 0)) return fail(ErrorCode::ReadIo, "superblock read failed");
        ZEM_TRY_ASSIGN(file.superblock, parseSuperblock(head));
        const Superblock& sb = file.superblock;
        if (sb.file_bytes != file.fileSize) {
            return fail(ErrorCode::FileBytesMismatch, "superblock declares " + num(sb.file_bytes) +
                                                          " file bytes but the file holds " + num(file.fileSize) +
                                                          " (truncation or trailing garbage)");
        }

        std::vector<std::string>& warnings = file.report.warnings;
        std::optional<Footer> footer;
        uint8_t tail[kFooterBytes];
        if (!readFully(file.fd, tail, file.fileSize - kFooterBytes)) {
            warnings.push_back("footer unreadable");
        } else if (auto parsed = parseFooter(tail); !parsed.ok()) {
            warnings.push_back("footer damaged: " + parsed.message());
        } else {
            footer = *parsed;
            if (footer->dir_offset != sb.dir_offset || footer->dir_length != sb.dir_length ||
                footer->file_bytes != sb.file_bytes) {
                warnings.push_back("footer disagrees with the superblock (recovery candidates differ)");
            }
        }

        // Directory candidates: superblock pointer, footer pointer, linear scan.
        CandidateErrors errors;
        std::optional<Directory> directory;
        std::optional<DirectoryLocation> location;
        std::optional<uint64_t> firstSignOffset;

        {
            LocateOutcome o = locateDirectory(file.fd, file.fileSize, sb, sb.dir_offset, sb.dir_length, policy);
            if (o.directory) {
                directory = std::move(o.directory);
                file.directorySource = DirectorySource::SuperblockPointer;
                location = DirectoryLocation{sb.dir_offset, sb.dir_length};
            } else if (o.hard) {
                return o.error;
            } else {
                errors.merge(std::move(o.error));
            }
        }

        if (!directory && footer && (footer->dir_offset != sb.dir_offset || footer->dir_length != sb.dir_length)) {
            LocateOutcome o =
                locateDirectory(file.fd, file.fileSize, sb, footer->dir_offset, footer->dir_length, policy);
            if (o.directory) {
                directory = std::move(o.directory);
                file.directorySource = DirectorySource::FooterPointer;
                location = DirectoryLocation{footer->dir_offset, footer->dir_length};
                warnings.push_back("directory recovered through the footer pointer");
            } else if (o.hard) {
                return o.error;
            } else {
                errors.merge(std::move(o.error));
            }
        }

        if (!directory) {
            if (file.fileSize > policy.maxRecoveryBytes) {
                return fail(ErrorCode::RecoveryPolicyBytes, "directory recovery requires " + num(file.fileSize) +
                                                                " bytes; the current limit is " +
                                                                num(policy.maxRecoveryBytes) + " bytes");
            }
            Bytes image(static_cast<size_t>(file.fileSize));
            if (!readFully(file.fd, image, 0)) {
                errors.merge(fail(ErrorCode::ReadIo, "whole-file read for scan failed"));
            } else {
                const uint64_t maxChunks =
                    policy.maxDirEntries > kU64Max - 2 ? kU64Max : policy.maxDirEntries + 2;
                auto records = scanChunks(image, file.fileSize, maxChunks);
                if (!records.ok()) {
                    errors.merge(records.takeError());
                } else {
                    for (const ScanRecord& r : *records) {
                        if (r.tag == kTagSIGN) {
                            firstSignOffset = r.offset;
                            break;
                        }
                    }
                    DirectoryRebuild rebuild = rebuildDirectory(*records, image, sb.dir_hash, file.fileSize, policy);
                    if (rebuild.result.ok()) {
                        directory = std::move(rebuild.result->directory);
                        location = rebuild.result->location;
                        file.directorySource = DirectorySource::LinearScan;
                        warnings.push_back("directory rebuilt by linear scan");
                    } else if (rebuild.hardFailure) {
                        return rebuild.result.takeError();
                    } else {
                        errors.merge(rebuild.result.takeError());
                    }
                }
            }
        }
        if (!directory) return errors.take();

        // Metadata budget: everything the open may read apart from the audio.
        uint64_t metadataBytes = 0;
        for (const DirEntry& e : directory->entries) {
            if (isAudioTag(e.tag)) continue;
            if (e.length > kU64Max - kChunkFramingBytes ||
                metadataBytes > kU64Max - (e.length + kChunkFramingBytes)) {
                return fail(ErrorCode::LengthOverflow, "metadata byte total overflow");
            }
            metadataBytes += e.length + kChunkFramingBytes;
            if (metadataBytes > policy.maxMetadataBytes) {
                return fail(ErrorCode::MetadataPolicyBytes, "metadata requires at least " + num(metadataBytes) +
                                                                " bytes; the current limit is " +
                                                                num(policy.maxMetadataBytes) + " bytes");
            }
        }

        file.chunks.reserve(directory->entries.size());
        for (const DirEntry& e : directory->entries) {
            if (!isKnownTag(e.tag) && (e.flags & kChunkCritical) != 0) {
                return fail(ErrorCode::UnknownCriticalChunk,
                            "unknown chunk '" + tagText(e.tag) + "' has CRITICAL set (PNG rule: hard reject)");
            }
            file.chunks.push_back(ChunkRecord{e.tag, e.tag, e.flags, e.uid, e.offset, e.length, e.crc32c, e.hash});
        }
        directory.reset();

        // The directory laws bound the count by u32 and make (tag, uid) unique.
        file.index.resize(file.chunks.size());
        for (size_t i = 0; i < file.index.size(); ++i) file.index[i] = static_cast<uint32_t>(i);
        std::sort(file.index.begin(), file.index.end(), [&file](uint32_t a, uint32_t b) {
            const ChunkRecord& x = file.chunks[a];
            const ChunkRecord& y = file.chunks[b];
            return x.tag != y.tag ? x.tag < y.tag : x.uid < y.uid;
        });

        ZEM_TRY(file.readModel());

        if ((sb.flags & kSuperblockSigned) != 0) {
            auto provenance = verifySignature(file, location, firstSignOffset);
            if (provenance.ok()) {
                file.report.provenance = std::move(*provenance);
            } else {
                ZEM_TRY(reportSignatureFailure(policy, file, provenance.takeError()));
            }
        } else {
            Provenance& p = file.report.provenance;
            p = Provenance{};
            p.badge = ProvenanceBadge::User;
            p.isSigned = false;
            p.badgeText = provenanceBadgeText(ProvenanceBadge::User, {});
        }
        return Result<Zem6File>(std::move(file));
    } catch (const std::bad_alloc&) {
        return fail(ErrorCode::AllocationFailed, "not enough memory to open zem");
    } catch (const std::length_error&) {
        return fail(ErrorCode::AllocationFailed, "zem allocation exceeds this machine's limits");
    }
}

} // namespace vt6::fmt
