// Audio payloads under arbitrary bytes: the PCMA head parser, then the codec
// table over the body, both with the parsed head and with the raw head fields
// (so the decoders' own checks meet values the head laws would refuse).
// A head that parses must encode to the same 64 bytes; a decode that succeeds
// must give exactly the declared plain bytes, and FLAC audio must survive
// being encoded and decoded again.

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "audio/codec.hpp"
#include "audio/flac_codec.hpp"
#include "audio/pcma_head.hpp"

using namespace vt6::fmt;

namespace {

// Keeps the fuzzer within its memory limit: a head may declare up to 1.6 GB
// of audio, which a tiny body of constant FLAC frames can really produce.
constexpr uint64_t kMaxFuzzPlainBytes = 64u << 20;

DecodeParams paramsOf(const PcmaHead& h) {
    DecodeParams p;
    p.bits = h.bits;
    p.channels = h.channels;
    p.sample_rate = h.sample_rate;
    p.frames = h.frames;
    p.plain_bytes = h.plain_bytes;
    return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    registerFlacPayloadCodec();
    const ByteView payload(data, size);
    auto head = parsePcmaHead(payload);
    if (size < kPcmaHeadBytes) {
        if (head.ok()) __builtin_trap();
        return 0;
    }
    const ByteView body = payload.subspan(kPcmaHeadBytes);

    if (head.ok()) {
        uint8_t again[kPcmaHeadBytes];
        encodePcmaHead(*head, std::span<uint8_t, kPcmaHeadBytes>(again, kPcmaHeadBytes));
        if (std::memcmp(again, data, kPcmaHeadBytes) != 0) __builtin_trap();
        if (head->plain_bytes > kMaxFuzzPlainBytes) return 0;

        auto decoded = decodePayloadBody(head->codec, body, paramsOf(*head));
        if (!decoded.ok()) return 0;
        if (decoded->size() != head->plain_bytes) __builtin_trap();
        if (head->codec == kCodecRawPcm) {
            if (!body.empty() && std::memcmp(decoded->data(), body.data(), body.size()) != 0) __builtin_trap();
            auto built = buildPayload(*head, body);
            if (!built.ok() || *built != Bytes(data, data + size)) __builtin_trap();
        } else if (head->frames <= 65536) {
            auto reencoded = encodeFlacPayload(*decoded, head->bits, head->channels,
                                               static_cast<int32_t>(head->sample_rate), head->frames);
            if (!reencoded.ok()) __builtin_trap();
            auto back = decodeFlacPayload(*reencoded, head->bits, head->channels,
                                          static_cast<int32_t>(head->sample_rate), head->frames);
            if (!back.ok() || *back != *decoded) __builtin_trap();
        }
        return 0;
    }

    // The raw fields, unchecked.
    DecodeParams raw;
    raw.bits = loadLe16(data + 6);
    raw.sample_rate = loadLe32(data + 8);
    raw.channels = loadLe16(data + 12);
    raw.frames = loadLe64(data + 24);
    raw.plain_bytes = loadLe64(data + 32);
    if (raw.frames > kMaxFuzzPlainBytes / 24) return 0;
    auto decoded = decodePayloadBody(loadLe16(data + 4), body, raw);
    if (decoded.ok() && decoded->size() != static_cast<uint64_t>(raw.frames) * raw.channels * (raw.bits / 8)) {
        __builtin_trap();
    }
    return 0;
}
