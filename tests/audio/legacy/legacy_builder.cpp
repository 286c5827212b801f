#include "audio/legacy/legacy_builder.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "audio/flac_codec.hpp"

namespace vt6::zem::testing {

namespace {

// The layouts, transcribed independently of the reader.
constexpr const char* kMagic[7] = {"Zem_v3.0", "Zem_v3.1", "Zem_v3.2", "Zem_v3.3",
                                   "Zem_v3.4", "Zem_v3.5", "Zem_v4.0"};
constexpr uint32_t kHeaderBytes[7] = {2893, 5184, 36579, 36579, 39379, 42844, 47729};

struct SmallAt {
    size_t name, count, names, length, impulse, alt, stereo;
    long art;
    size_t bits, useAlt, rate, tol;
    long carried, excluded;
};
constexpr SmallAt kSmall30{8, 264, 265, 1754, 1946, 2042, 2186, -1, 2234, 2539, 2590, 2786, -1, -1};
constexpr SmallAt kSmall31{110, 366, 367, 1856, 2048, 2144, 2288, 2240, 2336, 2641, 2692, 2888, 2896, 2944};

class Writer {
public:
    explicit Writer(fmt::Bytes& b) : b_(b) {}
    void u8(size_t off, uint8_t v) { at(off, 1)[0] = v; }
    void i16(size_t off, int16_t v) { fmt::storeLe16(at(off, 2), static_cast<uint16_t>(v)); }
    void u32(size_t off, uint32_t v) { fmt::storeLe32(at(off, 4), v); }
    void i32(size_t off, int32_t v) { u32(off, static_cast<uint32_t>(v)); }
    void f32(size_t off, float v) {
        uint32_t bits;
        std::memcpy(&bits, &v, 4);
        u32(off, bits);
    }
    void f64(size_t off, double v) {
        uint64_t bits;
        std::memcpy(&bits, &v, 8);
        fmt::storeLe64(at(off, 8), bits);
    }
    // Length byte and up to 30 characters.
    void prefixed(size_t off, const std::string& text) {
        const size_t n = std::min<size_t>(text.size(), 30);
        u8(off, static_cast<uint8_t>(n));
        std::memcpy(at(off + 1, n), text.data(), n);
    }
    void bounded(size_t off, const std::string& text, size_t slot) {
        const size_t n = std::min(text.size(), slot);
        std::memcpy(at(off, n), text.data(), n);
    }

private:
    uint8_t* at(size_t off, size_t width) {
        if (off + width > b_.size()) throw std::logic_error("builder write outside the header");
        return b_.data() + off;
    }
    fmt::Bytes& b_;
};

void writeSmall(Writer& w, const SmallAt& o, const BuilderFile& file, int32_t count) {
    w.prefixed(o.name, file.instrumentName);
    w.u8(o.count, static_cast<uint8_t>(static_cast<int8_t>(count)));
    w.f64(o.tol, file.levelToleranceDb);
    const size_t n = std::min<size_t>(file.samples.size(), 48);
    for (size_t i = 0; i < n; ++i) {
        const BuilderSample& s = file.samples[i];
        w.prefixed(o.names + 31 * i, s.name);
        w.i32(o.length + 4 * i, s.length);
        w.i16(o.impulse + 2 * i, s.headerImpulse);
        w.i16(o.alt + 2 * i, s.altLevel);
        w.u8(o.stereo + i, s.stereo);
        if (o.art >= 0) w.u8(static_cast<size_t>(o.art) + i, static_cast<uint8_t>(s.articulation));
        w.u8(o.bits + i, s.bits);
        w.u8(o.useAlt + i, s.useAltLevel);
        w.i32(o.rate + 4 * i, s.sampleRate);
        if (o.carried >= 0) w.u8(static_cast<size_t>(o.carried) + i, s.carriedFlag);
        if (o.excluded >= 0) w.u8(static_cast<size_t>(o.excluded) + i, s.excluded);
    }
}

void writeMain(Writer& w, const BuilderFile& file, int32_t count) {
    w.prefixed(110, file.instrumentName);
    w.i16(366, static_cast<int16_t>(count));
    const auto dynamicCount = file.storedDynamicCount.value_or(static_cast<int32_t>(file.dynamics.size()));
    w.i16(368, static_cast<int16_t>(dynamicCount));
    for (size_t k = 0; k < std::min<size_t>(file.dynamics.size(), 384); ++k) w.f32(370 + 4 * k, file.dynamics[k]);
    for (size_t k = 0; k < 16; ++k) w.bounded(13810 + 31 * k, file.articulationNames[k], 31);

    const bool rooms = file.version >= 4;
    const bool wide = file.version >= 5;
    const size_t n = std::min<size_t>(file.samples.size(), 384);
    for (size_t i = 0; i < n; ++i) {
        const BuilderSample& s = file.samples[i];
        w.prefixed(14306 + 31 * i, s.name);
        w.i32(26210 + 4 * i, s.length);
        w.i16(27746 + 2 * i, s.headerImpulse);
        w.u8(28514 + i, static_cast<uint8_t>(s.articulation));
        w.i16(28898 + 2 * i, s.dynamicPart);
        w.i32(29666 + 4 * i, s.sampleRate);
        w.u8(31202 + i, s.carriedFlag);
        w.u8(31586 + i, s.excluded);
        w.u8(31970 + i, s.hand);
        w.u8(33506 + i, s.stereo);
        w.u8(33890 + i, s.bits);
        if (rooms) {
            w.u8(36579 + i, s.room);
            for (size_t k = 0; k < 3; ++k) w.u8(36964 + 3 * i + k, s.roomBytes[k]);
            for (size_t k = 0; k < 3; ++k) {
                if (wide) w.i32(38116 + 12 * i + 4 * k, s.roomLookup[k]);
                else w.u8(38116 + 3 * i + k, static_cast<uint8_t>(static_cast<int8_t>(s.roomLookup[k])));
            }
        }
    }
    if (rooms) {
        const size_t names = wide ? 42736 : 39271;
        const size_t levels = wide ? 42832 : 39367;
        for (size_t k = 0; k < 3; ++k) {
            w.bounded(names + 32 * k, file.roomNames[k], 32);
            w.f32(levels + 4 * k, file.roomLevels[k]);
        }
    }
}

void writeExtension(Writer& w, const BuilderFile& file) {
    const char marker[8] = {'Z', 'E', 'M', '4', 'E', 'X', 'T', 0};
    for (size_t k = 0; k < 8; ++k) w.u8(42844 + k, static_cast<uint8_t>(marker[k]));
    w.u32(42852, 4885);
    w.u8(42856, file.legacyProps ? 1 : 0);
    w.f64(44777, file.levelToleranceDb);
    const size_t n = std::min<size_t>(file.samples.size(), 384);
    for (size_t i = 0; i < n; ++i) {
        const BuilderSample& s = file.samples[i];
        const fmt::Bytes stored = sampleStored(s);
        w.u8(42857 + i, s.codec);
        w.u32(43241 + 4 * i, s.payloadBytes.value_or(static_cast<uint32_t>(stored.size())));
        w.u8(44785 + i, s.useAltLevel);
        w.i16(45169 + 2 * i, s.altLevel);
        w.u32(45937 + 4 * i, s.payloadCrc.value_or(referenceCrc32(stored)));
    }
}

} // namespace

uint32_t builderHeaderBytes(int version) { return kHeaderBytes[version]; }

fmt::Bytes patternPcm(uint8_t bits, int32_t values, int32_t peakValue) {
    fmt::Bytes out;
    const auto n = static_cast<size_t>(std::max(values, 0));
    for (size_t k = 0; k < n; ++k) {
        const int32_t magnitude = k == 0 ? peakValue : static_cast<int32_t>((k * 7919) % static_cast<size_t>(peakValue));
        const int32_t v = (k % 2 == 0) ? -magnitude : magnitude;
        if (bits == 16) {
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
        } else if (bits == 24) {
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v >> 16));
        } else {
            const float f = k == 0 ? -0.75f : static_cast<float>(k % 100) / 200.0f;
            uint8_t b[4];
            std::memcpy(b, &f, 4);
            out.insert(out.end(), b, b + 4);
        }
    }
    return out;
}

fmt::Bytes samplePcm(const BuilderSample& sample) {
    return sample.pcm ? *sample.pcm : patternPcm(sample.bits, sample.length);
}

fmt::Bytes sampleStored(const BuilderSample& sample) {
    if (sample.stored) return *sample.stored;
    const fmt::Bytes pcm = samplePcm(sample);
    if (sample.codec != 1) return pcm;
    const int32_t channels = sample.stereo != 0 ? 2 : 1;
    auto flac = fmt::encodeFlacPayload(pcm, sample.bits, channels, sample.sampleRate,
                                       static_cast<uint64_t>(sample.length / channels));
    if (!flac.ok()) throw std::runtime_error("builder FLAC encode failed: " + flac.message());
    return *flac;
}

uint32_t referenceCrc32(const fmt::Bytes& bytes) {
    uint32_t c = 0xFFFFFFFFu;
    for (const uint8_t b : bytes) {
        c ^= b;
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return ~c;
}

fmt::Bytes buildLegacyHeader(const BuilderFile& file) {
    fmt::Bytes h(kHeaderBytes[file.version], 0);
    std::memcpy(h.data(), kMagic[file.version], 8);
    Writer w(h);
    const int32_t count = file.storedSampleCount.value_or(static_cast<int32_t>(file.samples.size()));
    if (file.version <= 1) {
        writeSmall(w, file.version == 0 ? kSmall30 : kSmall31, file, count);
    } else {
        writeMain(w, file, count);
        if (file.version == 6) writeExtension(w, file);
    }
    return h;
}

fmt::Bytes buildLegacyFile(const BuilderFile& file) {
    fmt::Bytes out = buildLegacyHeader(file);
    if (file.writePayloads) {
        for (const BuilderSample& s : file.samples) {
            const fmt::Bytes stored = sampleStored(s);
            out.insert(out.end(), stored.begin(), stored.end());
        }
    }
    out.insert(out.end(), file.trailing.begin(), file.trailing.end());
    return out;
}

BuilderFile sampleLegacyFile(int version, bool legacyProps) {
    BuilderFile f;
    f.version = version;
    f.legacyProps = legacyProps;
    f.instrumentName = "Snare " + std::string(kMagic[version]);
    f.levelToleranceDb = 0.5;
    const bool small = version <= 1 || legacyProps;
    const bool v4 = version == 6;

    auto sample = [&](const char* name, uint8_t bits, uint8_t stereo, int32_t length, int8_t art, int16_t dyn,
                      int16_t impulse) {
        BuilderSample s;
        s.name = name;
        s.bits = bits;
        s.stereo = stereo;
        s.length = length;
        s.articulation = art;
        s.dynamicPart = dyn;
        s.headerImpulse = impulse;
        s.altLevel = impulse;
        s.sampleRate = 48000;
        return s;
    };
    f.samples.push_back(sample("center soft", 16, 0, 6, 1, 1, 8000));
    f.samples.push_back(sample("center hard", 24, 1, 8, 1, 2, 30000));
    f.samples.push_back(sample("rim", 32, 0, 3, 2, 1, 20000));
    f.samples.push_back(sample("rim 2", 16, 0, 4, 2, 1, 20000));
    f.samples[1].useAltLevel = 1;
    f.samples[3].carriedFlag = 1;
    if (version == 0) {
        for (BuilderSample& s : f.samples) s.articulation = 1;
    }
    if (!small) {
        f.dynamics = {0.25f, 0.9f};
        f.articulationNames[0] = "Center";
        f.articulationNames[1] = "Rimshot";
        f.samples[3].hand = 2;
    }
    if (version >= 4 && !small) {
        // A Room A take of the soft center hit.
        BuilderSample room = sample("center soft A", 16, 0, 4, 1, 1, 6000);
        room.room = 1;
        f.samples.push_back(room);
        f.samples[0].roomBytes = {1, 0, 0};
        f.samples[0].roomLookup = {5, 0, 0};
        f.roomNames = {"Room A", "Room B", "Room C"};
        f.roomLevels = {0.7f, 0.5f, 0.3f};
    }
    if (v4) {
        f.samples[0].codec = 1;
        f.samples[1].codec = 1;
    }
    f.trailing = {0xDE, 0xAD};
    return f;
}

namespace {
std::atomic<unsigned> tempCounter{0};
}

TempFile::TempFile() {
    path_ = (std::filesystem::temp_directory_path() /
             ("zem_legacy_test_" + std::to_string(::getpid()) + "_" + std::to_string(tempCounter++) + ".zem"))
                .string();
}

TempFile::TempFile(const fmt::Bytes& bytes) : TempFile() { write(bytes); }

TempFile::~TempFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
}

void TempFile::write(const fmt::Bytes& bytes) const {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path_);
}

} // namespace vt6::zem::testing
