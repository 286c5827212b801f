#pragma once
// The DIRC chunk: the list of every other chunk of a file, in file order, with
// each chunk's CRC-32C and BLAKE2b-128 content hash. Decoding is strict and
// bounded by the caller's ReadPolicy.

#include <cstdint>
#include <vector>

#include "format/bytes.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/read_policy.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

struct DirEntry {
    uint32_t tag = 0;
    uint64_t uid = 0;
    uint64_t offset = 0;
    uint64_t length = 0;  // payload bytes; the chunk spans length + 28
    uint32_t flags = 0;
    uint32_t crc32c = 0;
    Digest128 hash{};
};

struct Directory {
    std::vector<DirEntry> entries;  // file order
    // Positions into entries sorted by (tag, uid); filled by validateDirectory.
    std::vector<uint32_t> index;

    // Position of the entry with this tag and uid, if listed.
    const DirEntry* find(uint32_t tag, uint64_t uid) const noexcept;
};

Bytes encodeDirectory(const std::vector<DirEntry>& entries);
Result<Directory> decodeDirectory(ByteView payload, uint64_t fileBytes, const ReadPolicy& policy);
Result<DirEntry> decodeDirEntry(CborReader& reader);
// Checks the directory laws in order and, on success, fills the index.
Result<Unit> validateDirectory(Directory& dir, uint64_t fileBytes);

} // namespace vt6::fmt
