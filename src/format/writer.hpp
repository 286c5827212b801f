#pragma once
// The zem 6 writer: lays a file out from a model and the sizes of the audio
// payloads of its samples, then streams it to disk, each payload hashed and
// written from where it already is. It never signs, keeps no state and never
// changes the model it is given.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "format/bytes.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/mtad.hpp"
#include "format/read_policy.hpp"
#include "format/result.hpp"

namespace vt6::platform {
class OutputFile;
}

namespace vt6::fmt {

// One audio chunk to write: the complete payload (64-byte PCMA head and body).
struct StagedPayload {
    uint64_t uid = 0;   // payload uid, also the chunk's uid
    uint32_t tag = 0;   // AUDI or AUDT
    Bytes bytes;

    bool operator==(const StagedPayload&) const = default;
};

struct WriteOptions {
    // Sets LEGACY_ORIGIN in the superblock even without a LGCY record.
    bool legacyOrigin = false;
};

// The payload laws: tags AUDI or AUDT, uids from 1 to next_uid - 1, (tag, uid)
// unique, every sample's payloads staged, every payload named by exactly one
// sample.
Result<Unit> stagePayloads(const Zem6Model& model, std::span<const StagedPayload> payloads);

// The complete file image (index = file offset), or the first failed check.
Result<FileImage> layoutZem6File(const Zem6Model& model, std::span<const StagedPayload> payloads,
                                 const WriteOptions& options = {});

// Lays out the file and writes it to `path` (UTF-8): into a new temporary
// sibling, synced, then renamed over the target (a link there is kept and the
// file it names replaced). A failed layout touches nothing; a failed write
// removes the temporary and leaves the target byte for byte as it was. A
// model the reader's default policy would refuse is refused with the
// reader's code and text.
Result<Unit> writeZem6File(const std::string& path, const Zem6Model& model,
                           std::span<const StagedPayload> payloads, const WriteOptions& options = {});

// The checks of one chunk as its directory entry records them.
struct ChunkDigests {
    uint32_t crc32c = 0;
    Digest128 hash{};
};

// The checks of a chunk whose payload is `head` followed by `body`.
ChunkDigests chunkDigests(uint32_t tag, uint32_t flags, uint64_t uid, ByteView head, ByteView body) noexcept;

// One audio payload handed to the writer when it reaches it: `head` then
// `body`, laid end to end, and the chunk's checks (tag, the critical flag,
// uid) when whoever made the payload computed them already, on its own
// thread. The bytes are used only until the next payload is asked for.
struct PayloadPieces {
    ByteView head;
    ByteView body;
    std::optional<ChunkDigests> checks;
};
using ProducePayload = std::function<Result<PayloadPieces>(size_t index)>;

// Lays out the file from the tags, uids and `lengths` of the payloads and
// writes it into `file` (a new file, open and empty) and syncs it; payload i
// is asked for once, as the writer reaches it: the AUDI payloads in the
// order of `laws`, then the AUDT ones. Renaming the file into place is the
// caller's. Refuses what writeZem6File refuses, with the same codes.
Result<Unit> writeZem6Streamed(platform::OutputFile& file, const std::string& path, const Zem6Model& model,
                               std::span<const StagedPayload> laws, std::span<const uint64_t> lengths,
                               const ProducePayload& produce, const WriteOptions& options = {});

// Writes `model` to `destPath` with the audio chunks of the file at
// `sourcePath`, read one at a time and copied unchanged after every integrity
// check of a read. The model must reference exactly the audio chunks the
// source holds. The destination may be the source itself.
Result<Unit> writeZem6WithSourcePayloads(const std::string& sourcePath, const std::string& destPath,
                                         const Zem6Model& model, const ReadPolicy& policy);

} // namespace vt6::fmt
