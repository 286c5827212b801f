#pragma once
// Directory recovery by walking the chunk region of a whole file image from
// the superblock to the footer. It only succeeds when every chunk is framed
// correctly from end to end; what it survives is a lost or damaged directory
// pointer, superblock hash or footer.

#include <cstdint>
#include <optional>
#include <vector>

#include "format/bytes.hpp"
#include "format/checksum.hpp"
#include "format/directory.hpp"
#include "format/read_policy.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// One chunk found by the walk; its trailer has been checked.
struct ScanRecord {
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t length = 0;  // payload bytes
    uint64_t uid = 0;
    uint64_t offset = 0;  // file offset of the header
    uint32_t crc32c = 0;  // the trailer value
};

// Walks [64, fileLength - 32) of `image` (the file from offset 0) chunk by
// chunk and returns the chunks in file order. Fails on the first framing
// fault, or when more than `maxChunks` chunks would be collected.
Result<std::vector<ScanRecord>> scanChunks(ByteView image, uint64_t fileLength, uint64_t maxChunks);

// Where a DIRC chunk sits: its offset and its whole span (payload + 28), as a
// superblock pointer would state them.
struct DirectoryLocation {
    uint64_t offset = 0;
    uint64_t length = 0;
};

struct RebuiltDirectory {
    Directory directory;
    // Set when the directory is a DIRC chunk found by its hash; empty when it
    // was rebuilt from the scanned chunks.
    std::optional<DirectoryLocation> location;
};

// Outcome of rebuildDirectory. A hard failure means a DIRC chunk matched the
// superblock's dir_hash but does not decode: the open must end with it. A
// soft failure only rules out this candidate.
struct DirectoryRebuild {
    Result<RebuiltDirectory> result;
    bool hardFailure = false;
};

// Turns the scan into a directory: the first DIRC chunk whose BLAKE2b-128
// equals `dirHash` when there is one, otherwise one entry per scanned chunk
// (DIRC and SIGN left out), checked like a stored directory.
DirectoryRebuild rebuildDirectory(const std::vector<ScanRecord>& records, ByteView image, const Digest128& dirHash,
                                  uint64_t fileLength, const ReadPolicy& policy);

// The entry limit of the policy, then the directory laws; fills the index.
Result<Directory> checkRebuiltDirectory(std::vector<DirEntry> entries, uint64_t fileLength, const ReadPolicy& policy);

} // namespace vt6::fmt
