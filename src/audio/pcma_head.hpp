#pragma once
// The 64-byte PCMA head in front of every audio payload (AUDI and AUDT
// chunks): codec, geometry, which part of the sample the payload holds, frame
// counts and the size and BLAKE2b-128 hash of the decoded audio.
//
// Layout (little-endian):
//   0 "PCMA" | 4 codec u16 | 6 bits u16 | 8 sample_rate u32 | 12 channels u16
//   14 role u8 | 15 flags u8 | 16 first_frame u64 | 24 frames u64
//   32 plain_bytes u64 | 40 plain_hash[16] | 56 reserved u32 (0)
//   60 max_blocksize u16 | 62 reserved u16 (0)
// The codec body follows at offset 64.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "format/bytes.hpp"
#include "format/checksum.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

inline constexpr size_t kPcmaHeadBytes = 64;
inline constexpr uint64_t kMaxPayloadFrames = 67108864;  // 2^26 per payload
inline constexpr uint16_t kMaxPayloadChannels = 8;
inline constexpr uint32_t kMaxPayloadSampleRate = 1000000;
inline constexpr uint16_t kFlacBlockSize = 4096;

inline constexpr uint16_t kCodecRawPcm = 0;
inline constexpr uint16_t kCodecFlac = 1;

// Flag bit 0: set on every payload this program writes; readers ignore it.
inline constexpr uint8_t kPcmaFlagWritten = 1;

enum class PayloadRole : uint8_t {
    whole = 0,  // all of the sample
    head = 1,   // the first part of a split sample (AUDI)
    tail = 2,   // the rest (AUDT); first_frame = the head's frames
};

struct PcmaHead {
    uint16_t codec = kCodecRawPcm;
    uint16_t bits = 16;
    uint32_t sample_rate = 0;
    uint16_t channels = 0;
    PayloadRole role = PayloadRole::whole;
    uint8_t flags = kPcmaFlagWritten;
    uint64_t first_frame = 0;
    uint64_t frames = 0;
    uint64_t plain_bytes = 0;
    Digest128 plain_hash{};
    uint32_t reserved = 0;
    uint16_t max_blocksize = 0;

    bool operator==(const PcmaHead&) const = default;
};

struct HeadTailSplit {
    uint64_t headFrames = 0;
    uint64_t tailFrames = 0;
    bool hasTail = false;
};

// Writes the head into `out` (64 bytes): zeros, then the magic and every field.
void encodePcmaHead(const PcmaHead& head, std::span<uint8_t, kPcmaHeadBytes> out) noexcept;

// Parses the first 64 bytes of a payload (later bytes are ignored). The result
// is either a head that obeys every law or an error; never a partial head.
Result<PcmaHead> parsePcmaHead(ByteView payload);

// The field laws, first broken law reported. The plain hash is not looked at;
// whoever decodes the payload compares it.
Result<Unit> validatePcmaHead(const PcmaHead& head);

// A PayloadHeadInvalid failure with the given message.
Result<Unit> makePayloadHeadError(std::string message);

// Head then body, after checking the head's laws and that the body fits the
// codec (codec 0: exactly plain_bytes; codec 1: starts with "fLaC"; the FLAC
// stream itself is not decoded here).
Result<std::vector<uint8_t>> buildPayload(const PcmaHead& head, ByteView body);

// Where a sample of `frames` frames is split into head and tail: the head
// holds `headMs` milliseconds at `sampleRate` (at least one frame, at most
// all of them).
HeadTailSplit splitHeadTail(uint64_t frames, uint32_t sampleRate, uint32_t headMs) noexcept;

} // namespace vt6::fmt
