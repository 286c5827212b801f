#pragma once
// Audio fixtures for the payload tests: deterministic packed PCM and a small
// reader of a FLAC stream's metadata blocks, so tests can look at (and patch)
// STREAMINFO and the seek table without going through libFLAC.

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "format/bytes.hpp"

namespace vt6::test {

// Packed little-endian PCM: noise with a slow ramp, touching both extremes,
// so compression is modest and sign handling shows.
inline fmt::Bytes makePcm(int bits, int channels, uint64_t frames, uint32_t seed = 1) {
    const size_t width = static_cast<size_t>(bits) / 8;
    fmt::Bytes out(frames * static_cast<uint64_t>(channels) * width);
    uint32_t state = seed * 2654435761u + 12345u;
    const int64_t maxValue = (int64_t{1} << (bits - 1)) - 1;
    uint8_t* p = out.data();
    for (uint64_t f = 0; f < frames; ++f) {
        for (int ch = 0; ch < channels; ++ch) {
            state = state * 1664525u + 1013904223u;
            int64_t v = static_cast<int32_t>(state) >> (32 - bits + 2);  // a quarter of full scale
            v += static_cast<int64_t>((f * 37 + static_cast<uint64_t>(ch) * 1000) % 1024) << (bits - 12);
            if (f % 997 == 0) v = ch % 2 == 0 ? maxValue : -maxValue - 1;
            const auto u = static_cast<uint32_t>(v);
            for (size_t b = 0; b < width; ++b) *p++ = static_cast<uint8_t>(u >> (8 * b));
        }
    }
    return out;
}

struct FlacSeekPoint {
    uint64_t sample = 0;
    uint64_t offset = 0;
    uint16_t frameSamples = 0;
};

struct FlacStreamInfo {
    uint32_t minBlock = 0;
    uint32_t maxBlock = 0;
    uint32_t sampleRate = 0;
    uint32_t channels = 0;
    uint32_t bits = 0;
    uint64_t totalSamples = 0;
    std::array<uint8_t, 16> md5{};
};

struct FlacLayout {
    size_t streamInfoAt = 0;  // offset of the STREAMINFO block's data
    FlacStreamInfo info;
    std::optional<std::vector<FlacSeekPoint>> seekTable;
    size_t audioAt = 0;  // first byte after the metadata
};

inline uint64_t loadBe(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

// Walks "fLaC" and the metadata blocks; nullopt when the stream is malformed.
inline std::optional<FlacLayout> readFlacLayout(fmt::ByteView s) {
    if (s.size() < 8 || s[0] != 'f' || s[1] != 'L' || s[2] != 'a' || s[3] != 'C') return std::nullopt;
    FlacLayout layout;
    size_t at = 4;
    for (bool last = false; !last;) {
        if (at + 4 > s.size()) return std::nullopt;
        last = (s[at] & 0x80) != 0;
        const int type = s[at] & 0x7F;
        const size_t length = loadBe(&s[at + 1], 3);
        at += 4;
        if (at + length > s.size()) return std::nullopt;
        const uint8_t* d = &s[at];
        if (type == 0 && length == 34) {
            layout.streamInfoAt = at;
            FlacStreamInfo& i = layout.info;
            i.minBlock = static_cast<uint32_t>(loadBe(d, 2));
            i.maxBlock = static_cast<uint32_t>(loadBe(d + 2, 2));
            const uint64_t packed = loadBe(d + 10, 8);
            i.sampleRate = static_cast<uint32_t>(packed >> 44);
            i.channels = static_cast<uint32_t>((packed >> 41) & 7) + 1;
            i.bits = static_cast<uint32_t>((packed >> 36) & 31) + 1;
            i.totalSamples = packed & ((uint64_t{1} << 36) - 1);
            for (size_t k = 0; k < 16; ++k) i.md5[k] = d[18 + k];
        } else if (type == 3) {
            std::vector<FlacSeekPoint> points;
            for (size_t k = 0; k + 18 <= length; k += 18) {
                points.push_back({loadBe(d + k, 8), loadBe(d + k + 8, 8), static_cast<uint16_t>(loadBe(d + k + 16, 2))});
            }
            layout.seekTable = std::move(points);
        }
        at += length;
    }
    layout.audioAt = at;
    return layout;
}

// Rewrites STREAMINFO's channel count and total samples in place.
inline void patchStreamInfo(fmt::Bytes& stream, size_t streamInfoAt, uint32_t channels, uint64_t totalSamples) {
    uint8_t* d = stream.data() + streamInfoAt + 10;
    uint64_t packed = loadBe(d, 8);
    packed &= ~(uint64_t{7} << 41);
    packed |= uint64_t{channels - 1} << 41;
    packed &= ~((uint64_t{1} << 36) - 1);
    packed |= totalSamples & ((uint64_t{1} << 36) - 1);
    for (int i = 7; i >= 0; --i, packed >>= 8) d[i] = static_cast<uint8_t>(packed);
}

} // namespace vt6::test
