#include "audio/legacy/zem4_decode.hpp"

#include <array>
#include <cstdio>

#include "audio/flac_codec.hpp"

namespace vt6::zem {

namespace {

constexpr std::array<uint32_t, 256> makeCrc32IeeeTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr std::array<uint32_t, 256> kCrc32IeeeTable = makeCrc32IeeeTable();

// Fuzz builds note a CRC mismatch and decode anyway, so the fuzzer reaches
// the FLAC decoder behind the check.
#if defined(ZEM_FUZZING)
constexpr bool kCrcFatal = false;
#else
constexpr bool kCrcFatal = true;
#endif

Zem4DecodeOut decodeFlacBlob(const Zem4Blob& blob) {
    Zem4DecodeOut out;
    const std::string sample = "sample " + std::to_string(blob.sampleNumber) + ": ";

    const uint32_t computed = crc32Ieee(blob.bytes);
    if (computed != blob.storedCrc && kCrcFatal) {
        char text[128];
        std::snprintf(text, sizeof text, "sample %d: v4 payload CRC-32/IEEE mismatch (stored 0x%08X, computed 0x%08X)",
                      static_cast<int>(blob.sampleNumber), static_cast<unsigned>(blob.storedCrc),
                      static_cast<unsigned>(computed));
        out.error = text;
        return out;
    }

    const auto values = static_cast<uint64_t>(blob.length);
    if (blob.channels < 1 || values % static_cast<uint64_t>(blob.channels) != 0) {
        out.error = sample + "v4 length " + std::to_string(blob.length) + " not a multiple of " +
                    std::to_string(blob.channels) + " channels";
        return out;
    }

    auto decoded = fmt::decodeFlacPayload(blob.bytes, blob.bits, blob.channels, blob.sampleRate,
                                          values / static_cast<uint64_t>(blob.channels));
    if (!decoded.ok()) {
        out.error = sample + "v4 FLAC decode failed: " + decoded.message();
        return out;
    }
    out.pcm = std::move(decoded).value();
    return out;
}

} // namespace

uint32_t crc32Ieee(std::span<const uint8_t> bytes) noexcept {
    uint32_t c = 0xFFFFFFFFu;
    for (const uint8_t b : bytes) c = kCrc32IeeeTable[(c ^ b) & 0xFFu] ^ (c >> 8);
    return c ^ 0xFFFFFFFFu;
}

Zem4BlobDecoder& legacyBlobDecoderSlot() {
    static Zem4BlobDecoder slot;
    return slot;
}

} // namespace vt6::zem

namespace vt6::fmt {

zem::Zem4BlobDecoder makeZem4FlacBlobDecoder() { return zem::Zem4BlobDecoder(&zem::decodeFlacBlob); }

} // namespace vt6::fmt
