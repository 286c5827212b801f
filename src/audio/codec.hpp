#pragma once
// Payload bodies back to plain packed PCM through one process-wide table of
// decode functions keyed by codec id, and plain packed PCM to floats.
//
// Codec 0 (raw packed PCM) is in the table from the start; codec 1 (FLAC) is
// added by registerFlacPayloadCodec, which every reader that may meet FLAC
// payloads calls first. An id without an entry is refused, never skipped.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "format/bytes.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// Filled from the payload's parsed head.
struct DecodeParams {
    uint16_t bits = 0;
    uint16_t channels = 0;
    uint32_t sample_rate = 0;
    uint64_t frames = 0;
    uint64_t plain_bytes = 0;
    // Asked between FLAC frames when set; true stops the decode with
    // kDecodeCancelledText. A long sample's decode can then be given up
    // without waiting for its end.
    const std::function<bool()>* cancel = nullptr;
};

inline constexpr const char* kDecodeCancelledText = "decode cancelled";

using PayloadDecodeFn = Result<std::vector<uint8_t>> (*)(ByteView body, const DecodeParams& params);

inline constexpr size_t kPayloadCodecSlots = 8;

// One table entry. Readers may scan while a registration runs: a registrar
// publishes id and function before `used` (release), and a reader that sees
// `used` (acquire) sees both.
struct PayloadCodecSlot {
    constexpr PayloadCodecSlot() noexcept = default;
    constexpr PayloadCodecSlot(uint16_t codecId, PayloadDecodeFn fn, bool isUsed) noexcept
        : id(codecId), decode(fn), used(isUsed) {}

    std::atomic<uint16_t> id{0};
    std::atomic<PayloadDecodeFn> decode{nullptr};
    std::atomic<bool> used{false};
};

struct PayloadCodecRegistry {
    std::array<PayloadCodecSlot, kPayloadCodecSlots> slots;
    // Serialises registrars only; readers never take it.
    std::mutex registerMutex;
};

// The process-wide table; slot 0 is codec 0 before any code runs.
PayloadCodecRegistry& payloadCodecRegistry() noexcept;

// Puts codec 1 (FLAC) into the table. Repeating it is harmless.
void registerFlacPayloadCodec();

Result<std::vector<uint8_t>> decodePayloadBody(uint16_t codec, ByteView body, const DecodeParams& params);

// Codec 0: the body is the plain packed PCM; checked against the params.
Result<std::vector<uint8_t>> decodeRawPcmBody(ByteView body, const DecodeParams& params);

// Converts `count` interleaved samples to floats: 16-bit / 32767, 24-bit
// x 2^-23, 32-bit float copied as is (NaNs kept). Samples not wholly inside
// the `srcBytes` bytes, and every sample of an unknown bit depth, give 0.
void pcmToFloat(const uint8_t* src, uint64_t srcBytes, int32_t bits, uint64_t count, float* out) noexcept;

// Every whole sample of `bytes` as floats (a trailing partial sample is
// dropped); empty for bits below 8, zeros for other unknown depths.
std::vector<float> pcmBytesToFloats(ByteView bytes, int32_t bits);

} // namespace vt6::fmt
