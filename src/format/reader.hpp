#pragma once
// Opening a zem 6 file: head and tail checks, the directory (through the
// superblock pointer, the footer pointer or a linear scan), the policy's
// limits, the metadata model and, for a signed file, the signature chain.
// An open file then serves whole-chunk reads with every integrity check and
// ranged payload reads for the audio readers.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format/bytes.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/mtad.hpp"
#include "format/read_policy.hpp"
#include "format/result.hpp"
#include "format/signature.hpp"

namespace vt6::fmt {

// One directory entry as an open file keeps it.
struct ChunkRecord {
    uint32_t type = kTagMTAD;  // equal to tag once read; readModel classifies by it
    uint32_t tag = 0;
    uint32_t flags = 0;
    uint64_t uid = 0;
    uint64_t offset = 0;   // of the chunk header
    uint64_t length = 0;   // payload bytes
    uint32_t crc32c = 0;   // as the directory states it
    Digest128 hash{};      // as the directory states it

    bool operator==(const ChunkRecord&) const = default;
};

// A chunk's payload position, for piecewise reads; valid while its file is open.
struct ChunkPayloadView {
    int32_t fd = -1;
    uint64_t payloadOffset = 0;
    uint64_t payloadLength = 0;
};

enum class DirectorySource : int32_t {
    SuperblockPointer = 0,
    FooterPointer = 1,
    LinearScan = 2,
};

struct OpenReport {
    std::vector<std::string> warnings;  // in the order they arose
    Provenance provenance;
};

// An open container file. Movable, not copyable; nothing in it changes after
// a successful open, and its reads are positioned, so it may be shared
// between threads.
class Zem6File {
public:
    Zem6File() = default;
    Zem6File(Zem6File&& other) noexcept;
    Zem6File& operator=(Zem6File&& other) noexcept;
    Zem6File(const Zem6File&) = delete;
    Zem6File& operator=(const Zem6File&) = delete;
    ~Zem6File() { close(); }

    // The record with exactly this tag and uid, or null.
    const ChunkRecord* findEntry(uint32_t tag, uint64_t uid) const noexcept;

    // The payload of a chunk of this file after checking bounds, the read
    // limit, its header against the record, its CRC-32C trailer, its content
    // hash and the directory's CRC-32C.
    Result<Bytes> readChunk(const ChunkRecord& record) const;

    // readChunk into `scratch`, which only grows, so a buffer kept across
    // chunks is neither cleared nor copied; the payload is a view into it,
    // valid until the next read into the same buffer.
    Result<ByteView> readChunkInto(const ChunkRecord& record, Bytes& scratch) const;

private:
    Result<uint64_t> checkedChunkSpan(const ChunkRecord& record) const;

public:

    // Reads and checks only the chunk header; no CRC or hash check, callers
    // that read a payload piecewise make their own.
    Result<ChunkPayloadView> readChunkHeader(const ChunkRecord& record) const;

    // Reads payload bytes from `offset` into `dst`, cut at the payload end;
    // returns how many were read. Needs only the view.
    static Result<uint32_t> readPayloadRange(const ChunkPayloadView& view, uint64_t offset, std::span<uint8_t> dst);

    // Closes the descriptor and returns to the empty state.
    void close() noexcept;

    bool isOpen() const noexcept { return fd >= 0; }

    int32_t fd = -1;
    uint64_t fileSize = 0;
    Superblock superblock;
    DirectorySource directorySource = DirectorySource::SuperblockPointer;
    std::vector<ChunkRecord> chunks;  // directory order (ascending offset)
    std::vector<uint32_t> index;      // positions into chunks, by (tag, uid)
    Zem6Model model;
    OpenReport report;
    ReadPolicy policy;

private:
    friend Result<Zem6File> openZem6File(const std::string& path, const ReadPolicy& policy);
    // Decodes the metadata chunks into the model and checks it against the
    // directory; a step of the open.
    Result<Unit> readModel();
};

// Opens `path` (UTF-8) read-only without locking it and runs every check of
// the open under `policy`. The file stays open until the result is destroyed.
Result<Zem6File> openZem6File(const std::string& path, const ReadPolicy& policy);

} // namespace vt6::fmt
