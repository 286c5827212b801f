#pragma once
// Audio files built byte by byte, so a test can make headers say what no
// writer would: chunks that declare 4 GiB, data sizes past the end of the
// file, floods of empty chunks, odd bit depths. Plain C++ (no framework), so
// the fuzz seed maker builds its hostile seeds from the same code.

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vt6::test {

using ByteVec = std::vector<uint8_t>;

inline void putLe(ByteVec& out, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putBe(ByteVec& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putTag(ByteVec& out, const char* tag) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

// One chunk of a RIFF or AIFF file. `declared` (when not negative) is the
// size its head claims, whatever the payload is.
struct Chunk {
    std::string id;
    ByteVec payload;
    int64_t declared = -1;
};

inline void putChunk(ByteVec& out, const Chunk& c, bool bigEndian) {
    putTag(out, c.id.c_str());
    const uint64_t size = c.declared >= 0 ? static_cast<uint64_t>(c.declared) : c.payload.size();
    if (bigEndian) putBe(out, size, 4);
    else putLe(out, size, 4);
    out.insert(out.end(), c.payload.begin(), c.payload.end());
    if (c.payload.size() % 2 != 0) out.push_back(0);
}

inline ByteVec riffWave(const std::vector<Chunk>& chunks) {
    ByteVec body;
    putTag(body, "WAVE");
    for (const auto& c : chunks) putChunk(body, c, false);
    ByteVec out;
    putTag(out, "RIFF");
    putLe(out, body.size(), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// A PCM fmt chunk; `container` bytes per sample hold `bits` valid bits.
inline Chunk wavFmt(int channels, uint32_t rate, int bits, int container) {
    Chunk c{"fmt ", {}, -1};
    putLe(c.payload, 1, 2);
    putLe(c.payload, static_cast<uint64_t>(channels), 2);
    putLe(c.payload, rate, 4);
    putLe(c.payload, rate * static_cast<uint32_t>(channels * container), 4);
    putLe(c.payload, static_cast<uint64_t>(channels * container), 2);
    putLe(c.payload, static_cast<uint64_t>(bits), 2);
    return c;
}

// `frames` frames of a loud 16-bit ramp, interleaved.
inline ByteVec pcm16(int64_t frames, int channels) {
    ByteVec out;
    for (int64_t f = 0; f < frames; ++f)
        for (int c = 0; c < channels; ++c) putLe(out, static_cast<uint16_t>(static_cast<int16_t>((f * 97 % 2000 - 1000) * 20)), 2);
    return out;
}

// A mono 16-bit WAV of `frames` frames at 44.1 kHz with `extra` chunks
// between fmt and data.
inline ByteVec wav16(int64_t frames, const std::vector<Chunk>& extra = {}, int64_t declaredData = -1) {
    std::vector<Chunk> chunks{wavFmt(1, 44100, 16, 2)};
    chunks.insert(chunks.end(), extra.begin(), extra.end());
    chunks.push_back({"data", pcm16(frames, 1), declaredData});
    return riffWave(chunks);
}

// The 80-bit extended float of an AIFF rate.
inline void putExtended(ByteVec& out, double rate) {
    int exponent = 0;
    const double mantissa = std::frexp(rate, &exponent);  // rate = m * 2^e, 0.5 <= m < 1
    putBe(out, static_cast<uint64_t>(16383 + exponent - 1), 2);
    putBe(out, static_cast<uint64_t>(std::ldexp(mantissa, 64)), 8);
}

// An AIFF with `bits` per sample (stored in whole bytes, big endian) and
// `extra` chunks before the sound chunk.
inline ByteVec aiff(int64_t frames, int bits, const std::vector<Chunk>& extra = {}, int64_t declaredSsnd = -1) {
    const int bytes = (bits + 7) / 8;
    Chunk comm{"COMM", {}, -1};
    putBe(comm.payload, 1, 2);
    putBe(comm.payload, static_cast<uint64_t>(frames), 4);
    putBe(comm.payload, static_cast<uint64_t>(bits), 2);
    putExtended(comm.payload, 44100.0);
    Chunk ssnd{"SSND", {}, declaredSsnd};
    putBe(ssnd.payload, 0, 4);
    putBe(ssnd.payload, 0, 4);
    for (int64_t f = 0; f < frames; ++f) {
        const double v = ((f * 97) % 2000 - 1000) / 1100.0;
        const auto full = static_cast<int64_t>(v * std::ldexp(1.0, 31));
        // The top `bits` bits of a 32-bit value, left-justified in `bytes`.
        const uint64_t word = static_cast<uint64_t>(full) << 32;
        for (int i = 0; i < bytes; ++i) ssnd.payload.push_back(static_cast<uint8_t>(word >> (56 - 8 * i)));
    }
    std::vector<Chunk> chunks{comm};
    chunks.insert(chunks.end(), extra.begin(), extra.end());
    chunks.push_back(ssnd);
    ByteVec body;
    putTag(body, "AIFF");
    for (const auto& c : chunks) putChunk(body, c, true);
    ByteVec out;
    putTag(out, "FORM");
    putBe(out, body.size(), 4);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// Rewrites the 36-bit total-samples field of a FLAC's STREAMINFO (the low
// nibble of byte 21 and bytes 22-25; no checksum covers it), so a file can
// declare any length. False when the bytes do not start with a STREAMINFO.
inline bool setFlacTotalFrames(ByteVec& flac, uint64_t frames) {
    if (flac.size() < 42 || std::memcmp(flac.data(), "fLaC", 4) != 0 || (flac[4] & 0x7F) != 0) return false;
    flac[21] = static_cast<uint8_t>((flac[21] & 0xF0) | ((frames >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i) flac[static_cast<size_t>(22 + i)] = static_cast<uint8_t>(frames >> (24 - 8 * i));
    return true;
}

// The hostile files the import must survive, by name.
struct HostileFile {
    const char* name;
    ByteVec bytes;
};

inline std::vector<HostileFile> hostileAudioFiles() {
    std::vector<HostileFile> files;
    // 200 empty comment chunks in front of the sound: about 4 KB.
    std::vector<Chunk> comments(200, Chunk{"COMT", {}, -1});
    files.push_back({"comt_flood.aiff", aiff(400, 16, comments)});
    // Metadata chunks that claim 0xFFFFFFF0 bytes in a file of about 100.
    files.push_back({"smpl_4g.wav", wav16(20, {Chunk{"smpl", ByteVec(36, 0), 0xFFFFFFF0}})});
    files.push_back({"bext_4g.wav", wav16(20, {Chunk{"bext", ByteVec(36, 0), 0xFFFFFFF0}})});
    files.push_back({"inst_4g.aiff", aiff(20, 16, {Chunk{"INST", ByteVec(20, 0), 0xFFFFFFF0}})});
    // 84 bytes whose data chunk declares 25 minutes of mono 16-bit audio.
    files.push_back({"claims_25_minutes.wav", wav16(20, {}, 25LL * 60 * 44100 * 2)});
    // A whole file of 4000 frames cut short after 1000.
    ByteVec cut = wav16(4000);
    cut.resize(44 + 2000);
    files.push_back({"cut_short.wav", cut});
    ByteVec cutAiff = aiff(4000, 16);
    cutAiff.resize(cutAiff.size() - 4000);
    files.push_back({"cut_short.aiff", cutAiff});
    files.push_back({"unknown.wav", ByteVec{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0, 96}});
    return files;
}

}  // namespace vt6::test
