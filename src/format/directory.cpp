#include "format/directory.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "format/framing.hpp"

namespace vt6::fmt {

namespace {

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kDirEntryItems = 7;

bool lessByTagUid(const DirEntry& a, const DirEntry& b) noexcept {
    if (a.tag != b.tag) return a.tag < b.tag;
    return a.uid < b.uid;
}

} // namespace

const DirEntry* Directory::find(uint32_t tag, uint64_t uid) const noexcept {
    DirEntry key;
    key.tag = tag;
    key.uid = uid;
    auto it = std::lower_bound(index.begin(), index.end(), key,
                               [this](uint32_t pos, const DirEntry& k) { return lessByTagUid(entries[pos], k); });
    if (it == index.end()) return nullptr;
    const DirEntry& e = entries[*it];
    return (e.tag == tag && e.uid == uid) ? &e : nullptr;
}

Bytes encodeDirectory(const std::vector<DirEntry>& entries) {
    CborWriter w;
    w.beginArray(entries.size());
    for (const DirEntry& e : entries) {
        w.beginArray(kDirEntryItems);
        w.writeUint(e.tag);
        w.writeUint(e.uid);
        w.writeUint(e.offset);
        w.writeUint(e.length);
        w.writeUint(e.flags);
        w.writeUint(e.crc32c);
        w.writeBytes(e.hash);
    }
    return w.take();
}

Result<DirEntry> decodeDirEntry(CborReader& reader) {
    ZEM_TRY_ASSIGN(const uint64_t items, reader.enterArray());
    if (items != kDirEntryItems) {
        return fail(ErrorCode::ModelInvalid, "DIRC entry must be a 7-element array (got " + std::to_string(items) + ")");
    }
    DirEntry e;
    ZEM_TRY_ASSIGN(const uint64_t tag, reader.readUint());
    if (tag > kU32Max) return fail(ErrorCode::ModelInvalid, "DIRC entry type exceeds u32");
    e.tag = static_cast<uint32_t>(tag);
    ZEM_TRY_ASSIGN(e.uid, reader.readUint());
    ZEM_TRY_ASSIGN(e.offset, reader.readUint());
    ZEM_TRY_ASSIGN(e.length, reader.readUint());
    ZEM_TRY_ASSIGN(const uint64_t flags, reader.readUint());
    if (flags > kU32Max) return fail(ErrorCode::ModelInvalid, "DIRC entry flags exceed u32");
    if ((flags & ~uint64_t{kChunkKnownFlags}) != 0) {
        return fail(ErrorCode::UnknownChunkFlag, "DIRC entry for '" + tagText(e.tag) + "' carries unknown flag bits");
    }
    e.flags = static_cast<uint32_t>(flags);
    ZEM_TRY_ASSIGN(const uint64_t crc, reader.readUint());
    if (crc > kU32Max) return fail(ErrorCode::ModelInvalid, "DIRC entry crc32c exceeds u32");
    e.crc32c = static_cast<uint32_t>(crc);
    ZEM_TRY_ASSIGN(const ByteView hash, reader.readBytes());
    if (hash.size() != e.hash.size()) {
        return fail(ErrorCode::ModelInvalid, "DIRC entry hash must be 16 bytes (got " + std::to_string(hash.size()) + ")");
    }
    std::copy(hash.begin(), hash.end(), e.hash.begin());
    return e;
}

Result<Directory> decodeDirectory(ByteView payload, uint64_t fileBytes, const ReadPolicy& policy) {
    // Both limits are checked before anything is allocated for the entries.
    const uint64_t length = payload.size();
    if (policy.maxDirBytes < length || policy.maxDirBytes - length < kChunkFramingBytes) {
        return fail(ErrorCode::DirPolicyBytes, "directory payload requires " + std::to_string(length) + " bytes plus " +
                                                   std::to_string(kChunkFramingBytes) +
                                                   " framing bytes; the current limit is " +
                                                   std::to_string(policy.maxDirBytes) + " bytes");
    }
    CborReader reader(payload);
    ZEM_TRY_ASSIGN(const uint64_t count, reader.enterArray());
    if (count > policy.maxDirEntries) {
        return fail(ErrorCode::DirPolicyEntries, "this file declares " + std::to_string(count) +
                                                     " directory entries; the current limit is " +
                                                     std::to_string(policy.maxDirEntries));
    }
    Directory dir;
    // Every entry takes at least 9 payload bytes, so the reservation stays
    // within a small multiple of the payload however large the declared count.
    dir.entries.reserve(static_cast<size_t>(std::min<uint64_t>(count, length / 9 + 1)));
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(DirEntry e, decodeDirEntry(reader));
        dir.entries.push_back(e);
    }
    ZEM_TRY(reader.finish());
    ZEM_TRY(validateDirectory(dir, fileBytes));
    return dir;
}

Result<Unit> validateDirectory(Directory& dir, uint64_t fileBytes) {
    dir.index.clear();
    if (fileBytes < kMinFileBytes) return fail(ErrorCode::DirEntryOutOfBounds, "file too small for any chunk");
    if (dir.entries.size() > std::numeric_limits<uint32_t>::max()) {
        return fail(ErrorCode::DirPolicyEntries, "directory has more entries than can be indexed");
    }
    const uint64_t regionEnd = fileBytes - kFooterBytes;
    uint64_t prevOffset = 0;
    uint64_t prevEnd = 0;
    for (size_t i = 0; i < dir.entries.size(); ++i) {
        const DirEntry& e = dir.entries[i];
        if (e.length > kU64Max - kChunkFramingBytes || e.offset > kU64Max - (e.length + kChunkFramingBytes)) {
            return fail(ErrorCode::LengthOverflow, "DIRC entry '" + tagText(e.tag) + "' uid " + std::to_string(e.uid) +
                                                       ": offset " + std::to_string(e.offset) + " + length " +
                                                       std::to_string(e.length) + " overflows 64-bit arithmetic");
        }
        const uint64_t end = e.offset + e.length + kChunkFramingBytes;
        if (e.offset < kSuperblockBytes || end > regionEnd) {
            return fail(ErrorCode::DirEntryOutOfBounds,
                        "DIRC entry '" + tagText(e.tag) + "' uid " + std::to_string(e.uid) + " spans [" +
                            std::to_string(e.offset) + "," + std::to_string(end) + ") outside the chunk region [64," +
                            std::to_string(regionEnd) + ")");
        }
        if (i > 0 && e.offset < prevEnd) {
            if (e.offset < prevOffset) {
                return fail(ErrorCode::DirEntryUnsorted, "DIRC entries not sorted by ascending offset (offset " +
                                                             std::to_string(e.offset) + " after " +
                                                             std::to_string(prevOffset) + ")");
            }
            return fail(ErrorCode::DirEntryOverlap, "DIRC entry at offset " + std::to_string(e.offset) +
                                                        " overlaps the previous chunk ending at " +
                                                        std::to_string(prevEnd));
        }
        if (e.tag == kTagDIRC || e.tag == kTagSIGN) {
            return fail(ErrorCode::ModelInvalid,
                        "DIRC must not list '" + tagText(e.tag) + "' (SIGN and DIRC itself are excluded)");
        }
        prevOffset = e.offset;
        prevEnd = end;
    }

    std::vector<uint32_t> index(dir.entries.size());
    for (size_t i = 0; i < index.size(); ++i) index[i] = static_cast<uint32_t>(i);
    std::sort(index.begin(), index.end(),
              [&](uint32_t a, uint32_t b) { return lessByTagUid(dir.entries[a], dir.entries[b]); });
    for (size_t i = 1; i < index.size(); ++i) {
        const DirEntry& a = dir.entries[index[i - 1]];
        const DirEntry& b = dir.entries[index[i]];
        if (a.tag == b.tag && a.uid == b.uid) {
            return fail(ErrorCode::DirUidDuplicate,
                        "duplicate (type, uid) in DIRC: '" + tagText(a.tag) + "' uid " + std::to_string(a.uid));
        }
    }
    dir.index = std::move(index);
    return Unit{};
}

} // namespace vt6::fmt
