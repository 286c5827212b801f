#include "audio/pcma_head.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vt6::fmt {
namespace {

constexpr uint8_t kMagic[4] = {'P', 'C', 'M', 'A'};

std::string hexDigits(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", value);
    return buf;
}

} // namespace

void encodePcmaHead(const PcmaHead& head, std::span<uint8_t, kPcmaHeadBytes> out) noexcept {
    uint8_t* p = out.data();
    std::memset(p, 0, kPcmaHeadBytes);
    std::memcpy(p, kMagic, 4);
    storeLe16(p + 4, head.codec);
    storeLe16(p + 6, head.bits);
    storeLe32(p + 8, head.sample_rate);
    storeLe16(p + 12, head.channels);
    p[14] = static_cast<uint8_t>(head.role);
    p[15] = head.flags;
    storeLe64(p + 16, head.first_frame);
    storeLe64(p + 24, head.frames);
    storeLe64(p + 32, head.plain_bytes);
    std::memcpy(p + 40, head.plain_hash.data(), head.plain_hash.size());
    storeLe32(p + 56, head.reserved);
    storeLe16(p + 60, head.max_blocksize);
}

Result<PcmaHead> parsePcmaHead(ByteView payload) {
    if (payload.size() < kPcmaHeadBytes) {
        return fail(ErrorCode::PayloadHeadInvalid, "payload shorter than the 64-byte PCMA head (" +
                                                       std::to_string(payload.size()) + " bytes)");
    }
    const uint8_t* p = payload.data();
    if (std::memcmp(p, kMagic, 4) != 0) {
        return fail(ErrorCode::PayloadHeadInvalid, "payload head magic is not 'PCMA'");
    }
    PcmaHead head;
    head.codec = loadLe16(p + 4);
    head.bits = loadLe16(p + 6);
    head.sample_rate = loadLe32(p + 8);
    head.channels = loadLe16(p + 12);
    head.role = static_cast<PayloadRole>(p[14]);
    head.flags = p[15];
    head.first_frame = loadLe64(p + 16);
    head.frames = loadLe64(p + 24);
    head.plain_bytes = loadLe64(p + 32);
    std::memcpy(head.plain_hash.data(), p + 40, head.plain_hash.size());
    head.reserved = loadLe32(p + 56);
    head.max_blocksize = loadLe16(p + 60);
    const uint16_t reserved16 = loadLe16(p + 62);
    if (reserved16 != 0) {
        return fail(ErrorCode::PayloadHeadInvalid,
                    "payload head reserved field must be 0 (is " + std::to_string(reserved16) + ")");
    }
    ZEM_TRY(validatePcmaHead(head));
    return head;
}

Result<Unit> makePayloadHeadError(std::string message) {
    return fail(ErrorCode::PayloadHeadInvalid, std::move(message));
}

Result<Unit> validatePcmaHead(const PcmaHead& head) {
    using std::to_string;
    if (head.codec != kCodecRawPcm && head.codec != kCodecFlac) {
        return fail(ErrorCode::CodecUnknown, "payload head declares codec " + to_string(head.codec) +
                                                 " (known: 0 raw packed PCM, 1 FLAC)");
    }
    if (head.bits == 32 && head.codec != kCodecRawPcm) {
        return makePayloadHeadError("32-bit float is ALWAYS codec 0 (raw packed PCM) \u2014 head declares codec " +
                                    to_string(head.codec));
    }
    if (head.bits != 16 && head.bits != 24 && head.bits != 32) {
        return makePayloadHeadError("payload head declares bits=" + to_string(head.bits) +
                                    " (legal: 16, 24, 32)");
    }
    if (head.sample_rate < 1 || head.sample_rate > kMaxPayloadSampleRate) {
        return makePayloadHeadError("payload head declares sample_rate=" + to_string(head.sample_rate) +
                                    "; the limit is " + to_string(kMaxPayloadSampleRate));
    }
    if (head.channels < 1 || head.channels > kMaxPayloadChannels) {
        return makePayloadHeadError("payload head declares channels=" + to_string(head.channels) +
                                    "; the limit is " + to_string(kMaxPayloadChannels));
    }
    const unsigned role = static_cast<uint8_t>(head.role);
    if (role > 2) {
        return makePayloadHeadError("payload head declares role=" + to_string(role) +
                                    " (legal: 0 whole, 1 head, 2 tail)");
    }
    if (head.flags > 1) {
        return makePayloadHeadError("payload head carries unknown flag bits 0x" +
                                    hexDigits(head.flags & ~unsigned{kPcmaFlagWritten}));
    }
    if (head.role == PayloadRole::tail) {
        if (head.first_frame == 0) return makePayloadHeadError("tail payload must have first_frame > 0");
    } else if (head.first_frame != 0) {
        return makePayloadHeadError("whole/head payload must have first_frame 0 (declares " +
                                    to_string(head.first_frame) + ")");
    }
    if (head.frames > kMaxPayloadFrames) {
        return makePayloadHeadError("payload head declares " + to_string(head.frames) +
                                    " frames; the per-payload limit is " + to_string(kMaxPayloadFrames));
    }
    // At most 2^26 x 8 x 4: no overflow once the laws above hold.
    const uint64_t product = head.frames * head.channels * (head.bits / 8u);
    if (head.plain_bytes != product) {
        return makePayloadHeadError("payload head plain_bytes=" + to_string(head.plain_bytes) +
                                    " but frames*channels*bits/8=" + to_string(product));
    }
    if (head.reserved != 0) {
        return makePayloadHeadError("payload head reserved field at offset 56 must be 0 (is " +
                                    to_string(head.reserved) + ")");
    }
    if (head.codec == kCodecFlac && head.max_blocksize != kFlacBlockSize) {
        return makePayloadHeadError("codec-1 payload must declare max_blocksize " + to_string(kFlacBlockSize) +
                                    " (declares " + to_string(head.max_blocksize) + ")");
    }
    if (head.codec == kCodecRawPcm && head.max_blocksize != 0) {
        return makePayloadHeadError("codec-0 payload must declare max_blocksize 0 (declares " +
                                    to_string(head.max_blocksize) + ")");
    }
    return {};
}

Result<std::vector<uint8_t>> buildPayload(const PcmaHead& head, ByteView body) {
    ZEM_TRY(validatePcmaHead(head));
    if (head.codec == kCodecRawPcm && body.size() != head.plain_bytes) {
        return fail(ErrorCode::PayloadHeadInvalid, "codec-0 payload carries " + std::to_string(body.size()) +
                                                       " codec bytes but plain_bytes=" +
                                                       std::to_string(head.plain_bytes));
    }
    if (head.codec == kCodecFlac &&
        (body.size() < 4 || std::memcmp(body.data(), "fLaC", 4) != 0)) {
        return fail(ErrorCode::PayloadHeadInvalid,
                    "codec-1 payload does not start with a FLAC stream ('fLaC')");
    }
    std::vector<uint8_t> payload(kPcmaHeadBytes + body.size());
    encodePcmaHead(head, std::span<uint8_t, kPcmaHeadBytes>(payload.data(), kPcmaHeadBytes));
    if (!body.empty()) std::memcpy(payload.data() + kPcmaHeadBytes, body.data(), body.size());
    return payload;
}

HeadTailSplit splitHeadTail(uint64_t frames, uint32_t sampleRate, uint32_t headMs) noexcept {
    HeadTailSplit split;
    if (frames == 0) return split;
    // Both factors are below 2^32, so the product fits in 64 bits.
    uint64_t h = static_cast<uint64_t>(sampleRate) * headMs / 1000;
    h = std::clamp<uint64_t>(h, 1, frames);
    split.headFrames = h;
    split.tailFrames = frames - h;
    split.hasTail = split.tailFrames > 0;
    return split;
}

} // namespace vt6::fmt
