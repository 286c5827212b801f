#include "audio/legacy/zem4_decode.hpp"

#include <array>
#include <cstdio>

#include "audio/flac_codec.hpp"

namespace vt6::zem {

namespace {

// Eight tables: table 0 is the classic byte-at-a-time table, table k
// advances a byte that still has k zero bytes to pass. Eight input bytes
// then cost eight lookups that do not wait on one another.
using Crc32IeeeTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Crc32IeeeTables makeCrc32IeeeTables() {
    Crc32IeeeTables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (size_t k = 1; k < 8; ++k)
        for (uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFFu];
    return t;
}

constexpr Crc32IeeeTables kCrc32Ieee = makeCrc32IeeeTables();

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

uint32_t crc32IeeeUpdate(uint32_t state, std::span<const uint8_t> bytes) noexcept {
    const uint8_t* p = bytes.data();
    size_t n = bytes.size();
    uint32_t c = state;
    for (; n >= 8; n -= 8, p += 8) {
        const uint32_t lo = c ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
        const uint32_t hi = uint32_t{p[4]} | uint32_t{p[5]} << 8 | uint32_t{p[6]} << 16 | uint32_t{p[7]} << 24;
        c = kCrc32Ieee[7][lo & 0xFFu] ^ kCrc32Ieee[6][(lo >> 8) & 0xFFu] ^ kCrc32Ieee[5][(lo >> 16) & 0xFFu] ^
            kCrc32Ieee[4][lo >> 24] ^ kCrc32Ieee[3][hi & 0xFFu] ^ kCrc32Ieee[2][(hi >> 8) & 0xFFu] ^
            kCrc32Ieee[1][(hi >> 16) & 0xFFu] ^ kCrc32Ieee[0][hi >> 24];
    }
    for (; n > 0; --n, ++p) c = kCrc32Ieee[0][(c ^ *p) & 0xFFu] ^ (c >> 8);
    return c;
}

uint32_t crc32Ieee(std::span<const uint8_t> bytes) noexcept {
    return crc32IeeeUpdate(kCrc32IeeeInit, bytes) ^ kCrc32IeeeInit;
}

Zem4BlobDecoder& legacyBlobDecoderSlot() {
    static Zem4BlobDecoder slot;
    return slot;
}

} // namespace vt6::zem

namespace vt6::fmt {

zem::Zem4BlobDecoder makeZem4FlacBlobDecoder() { return zem::Zem4BlobDecoder(&zem::decodeFlacBlob); }

} // namespace vt6::fmt
