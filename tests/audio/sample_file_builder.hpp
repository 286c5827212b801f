#pragma once
// Small zem 6 files for the sample readers, written by the program's own
// writer: each sample is one whole payload or a head and a tail, raw PCM or
// FLAC, 16/24/32-bit, mono or stereo. Heads are encoded without the head
// laws, and every payload can be edited after it is assembled, so tests can
// make files that break one reading law at a time.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/codec.hpp"
#include "audio/flac_codec.hpp"
#include "audio/flac_fixtures.hpp"
#include "audio/pcma_head.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/mtad.hpp"
#include "format/writer.hpp"
#include "support/temp_dir.hpp"

namespace vt6::test {

struct SampleRecipe {
    uint16_t codec = fmt::kCodecRawPcm;
    int bits = 16;
    int channels = 1;
    uint32_t rate = 48000;
    uint64_t frames = 4000;
    uint64_t headFrames = 0;  // 0 or >= frames: one whole payload
    uint32_t seed = 1;
};

// Packed PCM of any supported depth; 32-bit is floats in [-1, 1).
inline fmt::Bytes makeAnyPcm(int bits, int channels, uint64_t frames, uint32_t seed) {
    if (bits != 32) return makePcm(bits, channels, frames, seed);
    fmt::Bytes out(frames * static_cast<uint64_t>(channels) * 4);
    uint32_t state = seed * 747796405u + 2891336453u;
    for (size_t i = 0; i < out.size(); i += 4) {
        state = state * 1664525u + 1013904223u;
        const float v = static_cast<float>(static_cast<int32_t>(state)) / 2147483648.0f;
        std::memcpy(&out[i], &v, 4);
    }
    return out;
}

// One part of a sample: its head and codec body before assembly.
struct PartBuild {
    fmt::PcmaHead head;
    fmt::Bytes body;
    // Runs on the assembled payload (head and body) before it is staged.
    std::function<void(fmt::Bytes&)> edit;

    fmt::Bytes payload() const {
        fmt::Bytes out(fmt::kPcmaHeadBytes);
        fmt::encodePcmaHead(head, std::span<uint8_t, fmt::kPcmaHeadBytes>(out.data(), fmt::kPcmaHeadBytes));
        out.insert(out.end(), body.begin(), body.end());
        if (edit) edit(out);
        return out;
    }
};

inline PartBuild makePart(const SampleRecipe& s, fmt::PayloadRole role, uint64_t firstFrame, fmt::ByteView pcm) {
    PartBuild p;
    const uint64_t width = static_cast<uint64_t>(s.channels) * static_cast<uint64_t>(s.bits / 8);
    const uint64_t frames = pcm.size() / width;
    p.head.codec = s.codec;
    p.head.bits = static_cast<uint16_t>(s.bits);
    p.head.sample_rate = s.rate;
    p.head.channels = static_cast<uint16_t>(s.channels);
    p.head.role = role;
    p.head.first_frame = firstFrame;
    p.head.frames = frames;
    p.head.plain_bytes = pcm.size();
    p.head.plain_hash = fmt::blake2b128(pcm);
    if (s.codec == fmt::kCodecFlac) {
        p.head.max_blocksize = fmt::kFlacBlockSize;
        auto body = fmt::encodeFlacPayload(pcm, s.bits, s.channels, static_cast<int32_t>(s.rate), frames);
        if (!body.ok()) ADD_FAILURE() << "FLAC encode failed: " << body.message();
        else p.body = std::move(body).value();
    } else {
        p.body.assign(pcm.begin(), pcm.end());
    }
    return p;
}

struct SampleBuild {
    SampleRecipe desc;
    fmt::Bytes pcm;  // the plain audio of the whole sample
    fmt::SmplEntry row;
    PartBuild audi;
    std::optional<PartBuild> audt;

    uint64_t frameBytes() const { return static_cast<uint64_t>(desc.channels) * static_cast<uint64_t>(desc.bits / 8); }
};

// Sample i gets uid 3i+1, its AUDI 3i+2 and its AUDT 3i+3.
class SampleFileBuilder {
public:
    SampleBuild& add(const SampleRecipe& desc) {
        SampleBuild s;
        s.desc = desc;
        s.pcm = makeAnyPcm(desc.bits, desc.channels, desc.frames, desc.seed);
        const uint64_t i = samples.size();
        s.row.uid = 3 * i + 1;
        s.row.audi_uid = 3 * i + 2;
        s.row.frames = desc.frames;
        s.row.sample_rate = desc.rate;
        s.row.bits = static_cast<uint64_t>(desc.bits);
        s.row.channels = static_cast<uint64_t>(desc.channels);
        s.row.codec = desc.codec;
        const uint64_t width = s.frameBytes();
        if (desc.headFrames > 0 && desc.headFrames < desc.frames) {
            const fmt::ByteView all(s.pcm);
            s.audi = makePart(desc, fmt::PayloadRole::head, 0, all.first(desc.headFrames * width));
            s.audt = makePart(desc, fmt::PayloadRole::tail, desc.headFrames, all.subspan(desc.headFrames * width));
            s.row.audt_uid = 3 * i + 3;
            s.row.head_frames = desc.headFrames;
        } else {
            s.audi = makePart(desc, fmt::PayloadRole::whole, 0, s.pcm);
        }
        samples.push_back(std::move(s));
        return samples.back();
    }

    fmt::Zem6Model model() const {
        fmt::Zem6Model m;
        m.metadata.next_uid = 3 * samples.size() + 1;
        for (const SampleBuild& s : samples) m.samples.push_back(s.row);
        return m;
    }

    std::vector<fmt::StagedPayload> payloads() const {
        std::vector<fmt::StagedPayload> out;
        for (const SampleBuild& s : samples) {
            out.push_back({s.row.audi_uid, fmt::kTagAUDI, s.audi.payload()});
            if (s.audt && s.row.audt_uid) out.push_back({*s.row.audt_uid, fmt::kTagAUDT, s.audt->payload()});
        }
        return out;
    }

    // Writes the file; an empty string (and a test failure) when the writer refuses.
    std::string write(const std::string& path) const {
        const auto staged = payloads();
        const auto r = fmt::writeZem6File(path, model(), staged);
        if (!r.ok()) {
            ADD_FAILURE() << "write failed: " << r.message();
            return {};
        }
        return path;
    }

    std::vector<SampleBuild> samples;
};

// Every sample of packed PCM as floats, de-interleaved: [channel][frame].
inline std::vector<std::vector<float>> planarFloats(fmt::ByteView pcm, int bits, int channels) {
    const std::vector<float> flat = fmt::pcmBytesToFloats(pcm, bits);
    std::vector<std::vector<float>> out(static_cast<size_t>(channels));
    for (size_t i = 0; i < flat.size(); ++i) out[i % static_cast<size_t>(channels)].push_back(flat[i]);
    return out;
}

} // namespace vt6::test
