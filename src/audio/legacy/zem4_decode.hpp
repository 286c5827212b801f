#pragma once
// Stored audio of version 4.0 legacy files: a sample is either raw packed PCM
// (codec 0) or one FLAC stream (codec 1), each with a CRC-32/IEEE of the
// stored bytes. A blob decoder turns one stored FLAC payload into packed PCM.
//
// Decoders report failure as message text, never by throwing for bad data,
// and may be called from several threads at once.

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace vt6::zem {

// One stored payload handed to a decoder.
struct Zem4Blob {
    std::span<const uint8_t> bytes;  // exactly as stored in the file
    int32_t bits = 16;               // 16, 24 or 32
    int32_t channels = 1;            // 2 for stereo, else 1
    int32_t sampleRate = 44100;
    int64_t length = 0;              // values, counted interleaved
    uint32_t storedCrc = 0;          // CRC-32/IEEE from the file's extension
    int32_t sampleNumber = 0;        // 1-based, for messages
};

struct Zem4DecodeOut {
    std::vector<uint8_t> pcm;  // packed little-endian PCM of `length` values; empty on failure
    std::string error;         // empty on success
};

// Passed by pointer; a null pointer or an empty function means no decoder.
using Zem4BlobDecoder = std::function<Zem4DecodeOut(const Zem4Blob&)>;

// CRC-32/IEEE as zlib and PKZIP compute it (reflected 0xEDB88320, initial
// 0xFFFFFFFF, final complement). Empty input gives 0.
uint32_t crc32Ieee(std::span<const uint8_t> bytes) noexcept;

// The same CRC span by span: start from kCrc32IeeeInit, feed each span's
// result to the next, and complement the last (XOR with kCrc32IeeeInit).
inline constexpr uint32_t kCrc32IeeeInit = 0xFFFFFFFFu;
uint32_t crc32IeeeUpdate(uint32_t state, std::span<const uint8_t> bytes) noexcept;

// The process-wide decoder slot the sample loader consults. It starts empty;
// storing into it while others read it is the storer's race to avoid.
Zem4BlobDecoder& legacyBlobDecoderSlot();

} // namespace vt6::zem

namespace vt6::fmt {

// The decoder that checks a payload's CRC and decodes its FLAC stream. It
// captures nothing, so copies are independent and calls may run in parallel.
zem::Zem4BlobDecoder makeZem4FlacBlobDecoder();

} // namespace vt6::fmt
