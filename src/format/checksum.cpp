#include "format/checksum.hpp"

#include <cstring>

#include <sodium.h>

#include "platform/cpu.hpp"

#if defined(__x86_64__)
#include <nmmintrin.h>
#define ZEM_HAVE_CRC32_INSTRUCTION 1
#endif

namespace vt6::fmt {

namespace {

constexpr uint32_t kCastagnoliReflected = 0x82F63B78u;

struct CrcTables {
    uint32_t t[8][256];
};

CrcTables buildTables() noexcept {
    CrcTables tables{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int bit = 0; bit < 8; ++bit) v = (v & 1u) ? (v >> 1) ^ kCastagnoliReflected : v >> 1;
        tables.t[0][i] = v;
    }
    for (int k = 1; k < 8; ++k) {
        for (uint32_t i = 0; i < 256; ++i) {
            const uint32_t prev = tables.t[k - 1][i];
            tables.t[k][i] = (prev >> 8) ^ tables.t[0][prev & 0xFFu];
        }
    }
    return tables;
}

const CrcTables& crcTables() noexcept {
    // Built by the first caller; concurrent first callers wait on the guard.
    static const CrcTables tables = buildTables();
    return tables;
}

void ensureSodium() noexcept {
    // sodium_init only selects implementations and seeds its generator; the
    // unkeyed hash is correct even if it reports failure, so the result is
    // not acted on.
    static const int initialised = sodium_init();
    (void)initialised;
}

template <size_t N>
std::array<uint8_t, N> blake2b(ByteView bytes) noexcept {
    static_assert(N >= crypto_generichash_BYTES_MIN && N <= crypto_generichash_BYTES_MAX);
    ensureSodium();
    std::array<uint8_t, N> out{};
    // An empty span may carry a null pointer; hash the empty message through
    // a valid one.
    static const uint8_t empty = 0;
    const uint8_t* data = bytes.empty() ? &empty : bytes.data();
    crypto_generichash(out.data(), N, data, bytes.size(), nullptr, 0);
    return out;
}

} // namespace

uint32_t crc32cSoftware(uint32_t state, const uint8_t* data, size_t size) noexcept {
    const auto& t = crcTables().t;
    uint32_t s = state;
    while (size >= 8) {
        uint32_t lo = loadLe32(data) ^ s;
        const uint32_t hi = loadLe32(data + 4);
        s = t[7][lo & 0xFFu] ^ t[6][(lo >> 8) & 0xFFu] ^ t[5][(lo >> 16) & 0xFFu] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFFu] ^ t[2][(hi >> 8) & 0xFFu] ^ t[1][(hi >> 16) & 0xFFu] ^ t[0][hi >> 24];
        data += 8;
        size -= 8;
    }
    while (size-- > 0) s = (s >> 8) ^ t[0][(s ^ *data++) & 0xFFu];
    return s;
}

#if defined(ZEM_HAVE_CRC32_INSTRUCTION)

__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t state, const uint8_t* data,
                                                          size_t size) noexcept {
    uint64_t s = state;
    while (size >= 8) {
        // memcpy: the start may be unaligned, and x86-64 words are little-endian.
        uint64_t word;
        std::memcpy(&word, data, sizeof word);
        s = _mm_crc32_u64(s, word);
        data += 8;
        size -= 8;
    }
    auto s32 = static_cast<uint32_t>(s);
    while (size-- > 0) s32 = _mm_crc32_u8(s32, *data++);
    return s32;
}

bool hasSse42Crc() noexcept {
    return platform::cpuHasSse42();
}

#else

// No crc32 instruction on this architecture: the table path gives the same values.
uint32_t crc32cHardware(uint32_t state, const uint8_t* data, size_t size) noexcept {
    return crc32cSoftware(state, data, size);
}

bool hasSse42Crc() noexcept {
    return false;
}

#endif

uint32_t crc32c(uint32_t state, const uint8_t* data, size_t size) noexcept {
    using Path = uint32_t (*)(uint32_t, const uint8_t*, size_t) noexcept;
    // Chosen once per process, not per call.
    static const Path path = hasSse42Crc() ? &crc32cHardware : &crc32cSoftware;
    return path(state, data, size);
}

uint32_t crc32cOf(ByteView bytes) noexcept {
    return crc32c(kCrc32cInit, bytes.data(), bytes.size()) ^ 0xFFFFFFFFu;
}

void crc32cUpdate(Crc32cAccumulator& acc, ByteView bytes) noexcept {
    acc.state = crc32c(acc.state, bytes.data(), bytes.size());
}

uint32_t crc32cFinish(const Crc32cAccumulator& acc) noexcept {
    return acc.state ^ 0xFFFFFFFFu;
}

Digest128 blake2b128(ByteView bytes) noexcept {
    return blake2b<16>(bytes);
}

Digest128 blake2b128(ByteView first, ByteView second) noexcept {
    ensureSodium();
    Digest128 out{};
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, out.size());
    crypto_generichash_update(&state, first.data(), first.size());
    crypto_generichash_update(&state, second.data(), second.size());
    crypto_generichash_final(&state, out.data(), out.size());
    return out;
}

Digest256 blake2b256(ByteView bytes) noexcept {
    return blake2b<32>(bytes);
}

} // namespace vt6::fmt
