#include "format/scan.hpp"

#include <string>

#include "format/framing.hpp"

namespace vt6::fmt {

namespace {

std::string num(uint64_t v) { return std::to_string(v); }

// Fuzz builds record a checksum mismatch and walk on, so the fuzzer reaches
// what lies behind the trailers.
#if defined(ZEM_FUZZING)
constexpr bool kChecksumsFatal = false;
#else
constexpr bool kChecksumsFatal = true;
#endif

} // namespace

Result<std::vector<ScanRecord>> scanChunks(ByteView image, uint64_t fileLength, uint64_t maxChunks) {
    if (fileLength < kMinFileBytes || image.size() < fileLength) {
        return fail(ErrorCode::DirectoryUnrecoverable, "file too small to scan");
    }
    const uint64_t footerStart = fileLength - kFooterBytes;
    std::vector<ScanRecord> records;
    uint64_t p = kSuperblockBytes;
    if (footerStart == p) return records;

    const uint8_t* base = image.data();
    uint64_t next = p;
    while (p < footerStart) {
        if (records.size() >= maxChunks) {
            return fail(ErrorCode::DirPolicyEntries, "scan requires at least " + num(records.size() + 1) +
                                                         " chunks; the current limit is " + num(maxChunks));
        }
        const uint64_t left = footerStart - p;
        if (left < kChunkFramingBytes) {
            return fail(ErrorCode::ChunkTruncated,
                        "scan: " + num(left) + " stray bytes before the footer (need >= 28 for a chunk)");
        }
        ZEM_TRY_ASSIGN(const ChunkHeader header, parseChunkHeader(ByteView(base + p, kChunkHeaderBytes)));
        if (header.length > left - kChunkFramingBytes) {
            return fail(ErrorCode::ChunkTruncated, "scan: chunk '" + tagText(header.tag) + "' at offset " + num(p) +
                                                       " declares " + num(header.length) +
                                                       " payload bytes but only " +
                                                       num(left - kChunkFramingBytes) + " remain");
        }
        const uint64_t covered = kChunkHeaderBytes + header.length;
        const uint32_t trailer = loadLe32(base + p + covered);
        if (crc32cOf(ByteView(base + p, covered)) != trailer && kChecksumsFatal) {
            return fail(ErrorCode::ChunkCrcMismatch,
                        "scan: chunk '" + tagText(header.tag) + "' at offset " + num(p) + " fails its crc32c");
        }
        records.push_back(ScanRecord{header.tag, header.flags, header.length, header.uid, p, trailer});

        const uint64_t chunkEnd = p + header.length + kChunkFramingBytes;
        next = (chunkEnd + (kChunkAlignment - 1)) & ~(kChunkAlignment - 1);
        if (next <= p) return fail(ErrorCode::LengthOverflow, "scan: chunk advance overflowed");
        const uint64_t padEnd = next < footerStart ? next : footerStart;
        for (uint64_t at = chunkEnd; at < padEnd; ++at) {
            if (base[at] != 0) return fail(ErrorCode::ChunkTruncated, "scan: nonzero padding byte at offset " + num(at));
        }
        if (next >= footerStart) break;
        p = next;
    }
    if (next != footerStart) return fail(ErrorCode::ChunkTruncated, "scan: chunk walk did not land on the footer");
    return records;
}

DirectoryRebuild rebuildDirectory(const std::vector<ScanRecord>& records, ByteView image, const Digest128& dirHash,
                                  uint64_t fileLength, const ReadPolicy& policy) {
    if (records.empty()) {
        return {fail(ErrorCode::DirectoryUnrecoverable, "linear scan found no chunks"), false};
    }
    // Every record lies inside the image: the walk checked each span.
    const auto chunkBytes = [&](const ScanRecord& r) {
        return ByteView(image.data() + r.offset, kChunkHeaderBytes + r.length);
    };

    for (const ScanRecord& r : records) {
        if (r.tag != kTagDIRC || blake2b128(chunkBytes(r)) != dirHash) continue;
        auto dir = decodeDirectory(ByteView(image.data() + r.offset + kChunkHeaderBytes, r.length), fileLength, policy);
        if (!dir.ok()) return {dir.takeError(), true};
        return {RebuiltDirectory{std::move(*dir), DirectoryLocation{r.offset, r.length + kChunkFramingBytes}}, false};
    }

    std::vector<DirEntry> entries;
    entries.reserve(records.size());
    for (const ScanRecord& r : records) {
        if (r.tag == kTagDIRC || r.tag == kTagSIGN) continue;
        DirEntry e;
        e.tag = r.tag;
        e.uid = r.uid;
        e.offset = r.offset;
        e.length = r.length;
        e.flags = r.flags;
        e.crc32c = r.crc32c;
        e.hash = blake2b128(chunkBytes(r));
        entries.push_back(e);
    }
    auto dir = checkRebuiltDirectory(std::move(entries), fileLength, policy);
    if (!dir.ok()) return {dir.takeError(), false};
    return {RebuiltDirectory{std::move(*dir), std::nullopt}, false};
}

Result<Directory> checkRebuiltDirectory(std::vector<DirEntry> entries, uint64_t fileLength, const ReadPolicy& policy) {
    if (entries.size() > policy.maxDirEntries) {
        return fail(ErrorCode::DirPolicyEntries, "this file holds " + num(entries.size()) +
                                                     " directory entries; the current limit is " +
                                                     num(policy.maxDirEntries));
    }
    Directory dir;
    dir.entries = std::move(entries);
    ZEM_TRY(validateDirectory(dir, fileLength));
    return dir;
}

} // namespace vt6::fmt
