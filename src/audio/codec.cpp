#include "audio/codec.hpp"

#include <cstring>
#include <string>

#include "audio/flac_codec.hpp"

namespace vt6::fmt {
PayloadCodecRegistry& payloadCodecRegistry() noexcept {
    // Constant-initialised, so codec 0 is there before any code runs and
    // lookups need no guard.
    static constinit PayloadCodecRegistry registry{{{PayloadCodecSlot(0, &decodeRawPcmBody, true)}}, {}};
    return registry;
}

void registerFlacPayloadCodec() {
    PayloadCodecRegistry& table = payloadCodecRegistry();
    const std::lock_guard lock(table.registerMutex);
    for (PayloadCodecSlot& slot : table.slots) {
        if (slot.used.load(std::memory_order_acquire) && slot.id.load(std::memory_order_relaxed) == 1) {
            slot.decode.store(&decodeFlacBody, std::memory_order_release);
            return;
        }
    }
    for (PayloadCodecSlot& slot : table.slots) {
        if (!slot.used.load(std::memory_order_relaxed)) {
            slot.id.store(1, std::memory_order_relaxed);
            slot.decode.store(&decodeFlacBody, std::memory_order_relaxed);
            slot.used.store(true, std::memory_order_release);
            return;
        }
    }
    // Every slot taken by other codecs: nothing changes.
}

Result<std::vector<uint8_t>> decodePayloadBody(uint16_t codec, ByteView body, const DecodeParams& params) {
    const PayloadCodecRegistry& table = payloadCodecRegistry();
    for (const PayloadCodecSlot& slot : table.slots) {
        if (!slot.used.load(std::memory_order_acquire)) continue;
        if (slot.id.load(std::memory_order_relaxed) != codec) continue;
        if (const PayloadDecodeFn fn = slot.decode.load(std::memory_order_acquire)) return fn(body, params);
        break;
    }
    return fail(ErrorCode::CodecUnknown, "unknown payload codec id " + std::to_string(codec) +
                                             " (known: 0 raw PCM, 1 FLAC) \u2014 refusing, never skipping");
}

Result<std::vector<uint8_t>> decodeRawPcmBody(ByteView body, const DecodeParams& params) {
    if (params.bits != 16 && params.bits != 24 && params.bits != 32) {
        return fail(ErrorCode::GeometryMismatch,
                    "codec 0: bits must be 16/24/32 (got " + std::to_string(params.bits) + ")");
    }
    // frames is not bounded here; compare without overflowing.
    const uint64_t perFrame = uint64_t{params.bits} / 8 * params.channels;
    const unsigned __int128 product = static_cast<unsigned __int128>(perFrame) * params.frames;
    if (product != params.plain_bytes) {
        std::string productText;
        unsigned __int128 v = product;
        do {
            productText.insert(productText.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
            v /= 10;
        } while (v != 0);
        return fail(ErrorCode::GeometryMismatch, "codec 0: frames*channels*bytes = " + productText +
                                                     " but plain_bytes = " + std::to_string(params.plain_bytes));
    }
    if (body.size() != params.plain_bytes) {
        return fail(ErrorCode::PlainBytesMismatch, "codec 0: payload holds " + std::to_string(body.size()) +
                                                       " bytes but plain_bytes = " +
                                                       std::to_string(params.plain_bytes));
    }
    return std::vector<uint8_t>(body.begin(), body.end());
}

void pcmToFloat(const uint8_t* src, uint64_t srcBytes, int32_t bits, uint64_t count, float* out) noexcept {
    if (bits != 16 && bits != 24 && bits != 32) {
        for (uint64_t i = 0; i < count; ++i) out[i] = 0.0f;
        return;
    }
    const uint64_t width = static_cast<uint64_t>(bits) / 8;
    // Samples wholly inside the given bytes; the rest are 0.
    const uint64_t whole = srcBytes / width;
    const uint64_t n = count < whole ? count : whole;
    switch (bits) {
    case 16:
        for (uint64_t i = 0; i < n; ++i) {
            const auto v = static_cast<int16_t>(loadLe16(src + i * 2));
            out[i] = static_cast<float>(v / 32767.0);
        }
        break;
    case 24:
        for (uint64_t i = 0; i < n; ++i) {
            const uint8_t* p = src + i * 3;
            // The 24 bits in the top of a signed 32-bit value, scaled by 2^-31.
            const auto v = static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) |
                                                (uint32_t{p[2]} << 24));
            out[i] = static_cast<float>(v * (1.0 / 2147483648.0));
        }
        break;
    default:
        if (n > 0) std::memcpy(out, src, n * 4);
        break;
    }
    for (uint64_t i = n; i < count; ++i) out[i] = 0.0f;
}

std::vector<float> pcmBytesToFloats(ByteView bytes, int32_t bits) {
    if (bits <= 7) return {};
    const uint64_t width = static_cast<uint64_t>(bits) / 8;
    const uint64_t n = bytes.size() / width;
    std::vector<float> out(n, 0.0f);
    pcmToFloat(bytes.data(), n * width, bits, n, out.data());
    return out;
}

} // namespace vt6::fmt
