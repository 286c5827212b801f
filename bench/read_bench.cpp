// What reading a file costs, against floors measured in the same run.
//
// (a) Memory of an open against the metadata bytes it reads. Hostile files
//     pack the most in-memory records into the fewest bytes (minimal SMPL
//     rows, tiny extension pairs, empty LGCY warnings); the peak heap of
//     openZem6File over each is reported as a multiple of the metadata
//     bytes (superblock, footer, directory and every chunk but the audio).
//     Target: at most kMemoryMultipleCeiling for every file.
// (b) Loading one sample for playback (its playback region) from a library
//     of 5,000 samples against loading the same sample from a file that
//     holds it alone. The load must not depend on the other samples' audio:
//     beyond opening the library (its directory and SMPL rows, which every
//     open checks), it may cost at most kOneSampleCeiling times the load
//     from the sample's own file.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "audio/flac_codec.hpp"
#include "audio/pcma_head.hpp"
#include "audio/sample_load.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/directory.hpp"
#include "format/framing.hpp"
#include "format/mtad.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"

// ---------------------------------------------------------------------------
// Heap accounting: every allocation of the process goes through these, so
// the live and peak byte counts cover the reader's containers and strings.

namespace {
std::atomic<int64_t> gLive{0};
std::atomic<int64_t> gPeak{0};

void* countedAlloc(size_t n) {
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) throw std::bad_alloc();
    const auto size = static_cast<int64_t>(malloc_usable_size(p));
    const int64_t now = gLive.fetch_add(size, std::memory_order_relaxed) + size;
    int64_t peak = gPeak.load(std::memory_order_relaxed);
    while (now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return p;
}

void countedFree(void* p) noexcept {
    if (p == nullptr) return;
    gLive.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}
} // namespace

void* operator new(size_t n) { return countedAlloc(n); }
void* operator new[](size_t n) { return countedAlloc(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return countedAlloc(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    try {
        return countedAlloc(n);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, size_t) noexcept { countedFree(p); }
void operator delete[](void* p, size_t) noexcept { countedFree(p); }

namespace {

using namespace vt6::fmt;

constexpr double kMemoryMultipleCeiling = 16.0;
constexpr double kOneSampleCeiling = 1.25;

std::filesystem::path benchDir() {
    static const std::filesystem::path dir = [] {
        std::string templ = (std::filesystem::temp_directory_path() / "zem_read_bench_XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) std::exit(1);
        return std::filesystem::path(templ);
    }();
    return dir;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::exit(1);
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "%s\n", what.c_str());
    std::exit(1);
}

// ---------------------------------------------------------------------------
// (a) Hostile metadata

struct RawChunk {
    uint32_t tag;
    uint32_t flags;
    uint64_t uid;
    Bytes payload;
};

struct Forged {
    Bytes bytes;
    uint64_t metadataBytes = 0;  // what an open reads besides the audio
};

// Superblock, the chunks in order, their directory and the footer, every
// checksum right, so that the open reaches the decoders.
Forged layout(const std::vector<RawChunk>& chunks) {
    Forged f;
    f.bytes.assign(kSuperblockBytes, 0);
    std::vector<DirEntry> entries;
    for (const RawChunk& c : chunks) {
        DirEntry e;
        e.tag = c.tag;
        e.uid = c.uid;
        e.flags = c.flags;
        e.offset = f.bytes.size();
        e.length = c.payload.size();
        e.crc32c = writeChunk(f.bytes, c.tag, c.flags, c.uid, c.payload);
        e.hash = blake2b128(ByteView(f.bytes.data() + e.offset, kChunkHeaderBytes + e.length));
        if (c.tag != kTagAUDI && c.tag != kTagAUDT) f.metadataBytes += e.length + kChunkFramingBytes;
        entries.push_back(e);
    }
    const Bytes dir = encodeDirectory(entries);
    const uint64_t dirOffset = f.bytes.size();
    writeChunk(f.bytes, kTagDIRC, kChunkCritical, 0, dir);
    Superblock sb;
    sb.dir_offset = dirOffset;
    sb.dir_length = dir.size() + kChunkFramingBytes;
    sb.dir_hash = blake2b128(ByteView(f.bytes.data() + dirOffset, kChunkHeaderBytes + dir.size()));
    sb.file_bytes = f.bytes.size() + kFooterBytes;
    const auto head = encodeSuperblock(sb);
    std::copy(head.begin(), head.end(), f.bytes.begin());
    const auto foot = encodeFooter(Footer{sb.dir_offset, sb.dir_length, sb.file_bytes});
    f.bytes.insert(f.bytes.end(), foot.begin(), foot.end());
    f.metadataBytes += sb.dir_length + kSuperblockBytes + kFooterBytes;
    return f;
}

RawChunk mtadChunk(uint64_t nextUid) {
    ModelMetadata m;
    m.next_uid = nextUid;
    auto payload = encodeMtad(m);
    if (!payload.ok()) die(payload.message());
    return {kTagMTAD, kChunkCritical, 0, std::move(payload).value()};
}

constexpr size_t kHostileBytes = 5u << 20;  // 5 MiB of payload

// Rows {1: uid, 19: audi} as small as CBOR makes them.
Bytes minimalRows(uint64_t rows, bool ownAudi) {
    CborWriter w;
    w.beginArray(rows);
    for (uint64_t i = 0; i < rows; ++i) {
        w.beginMap(2);
        w.writeUint(1);
        w.writeUint(ownAudi ? i + 1 : 0);
        w.writeUint(19);
        w.writeUint(ownAudi ? i + 1 : 1);
    }
    return w.take();
}

// Many minimal rows that all name the file's one AUDI chunk.
Forged rowsOverOneAudi() {
    return layout({mtadChunk(2), {kTagSMPL, kChunkCritical, 0, minimalRows(kHostileBytes / 5, false)},
                   {kTagAUDI, kChunkCritical, 1, Bytes(1)}});
}

// As many minimal rows as there are (tiny) AUDI chunks: the largest row
// table a directory can carry.
Forged rowsWithOwnAudi() {
    constexpr uint64_t kRows = 100000;
    std::vector<RawChunk> chunks{mtadChunk(kRows + 1), {kTagSMPL, kChunkCritical, 0, minimalRows(kRows, true)}};
    for (uint64_t i = 1; i <= kRows; ++i) chunks.push_back({kTagAUDI, kChunkCritical, i, Bytes(1)});
    return layout(chunks);
}

// One row whose map holds as many one-byte extension values as fit.
Forged rowExtensions() {
    CborWriter w;
    const uint64_t pairs = kHostileBytes / 4;
    w.beginArray(1);
    w.beginMap(pairs + 2);
    w.writeUint(1);
    w.writeUint(1);
    w.writeUint(19);
    w.writeUint(1);
    for (uint64_t i = 0; i < pairs; ++i) {
        w.writeUint(29 + i);
        w.writeUint(0);
    }
    return layout({mtadChunk(2), {kTagSMPL, kChunkCritical, 0, w.take()}, {kTagAUDI, kChunkCritical, 1, Bytes(1)}});
}

// An LGCY record of empty warning texts.
Forged legacyWarnings() {
    CborWriter w;
    const uint64_t warnings = kHostileBytes;
    w.beginMap(1);
    w.writeUint(4);
    w.beginArray(warnings);
    for (uint64_t i = 0; i < warnings; ++i) w.writeText("");
    return layout({mtadChunk(1), {kTagSMPL, kChunkCritical, 0, Bytes{0x80}}, {kTagLGCY, 0, 0, w.take()}});
}

// An LGCY record of as many one-byte extension values as fit.
Forged legacyExtensions() {
    CborWriter w;
    const uint64_t pairs = kHostileBytes / 4;
    w.beginMap(pairs);
    for (uint64_t i = 0; i < pairs; ++i) {
        w.writeUint(5 + i);
        w.writeUint(0);
    }
    return layout({mtadChunk(1), {kTagSMPL, kChunkCritical, 0, Bytes{0x80}}, {kTagLGCY, 0, 0, w.take()}});
}

std::map<std::string, double>& multiples() {
    static std::map<std::string, double> m;
    return m;
}

void BM_OpenPeakMemory(benchmark::State& state, Forged (*make)(), const char* name) {
    const Forged forged = make();
    const std::string path = (benchDir() / (std::string(name) + ".zem")).string();
    writeBytes(path, forged.bytes);
    int64_t peak = 0;
    std::string outcome;
    for (auto _ : state) {
        const int64_t base = gLive.load();
        gPeak.store(base);
        {
            auto opened = openZem6File(path, ReadPolicy{});
            outcome = opened.ok() ? "opens" : std::string(errorCodeName(opened.code()));
        }
        peak = gPeak.load() - base;
    }
    const double multiple = static_cast<double>(peak) / static_cast<double>(forged.metadataBytes);
    multiples()[name] = multiple;
    state.counters["metadata_MiB"] = static_cast<double>(forged.metadataBytes) / (1 << 20);
    state.counters["peak_MiB"] = static_cast<double>(peak) / (1 << 20);
    state.counters["multiple"] = multiple;
    state.SetLabel(outcome);
}

BENCHMARK_CAPTURE(BM_OpenPeakMemory, rows_over_one_audi, rowsOverOneAudi, "rows_over_one_audi")->Iterations(1);
BENCHMARK_CAPTURE(BM_OpenPeakMemory, rows_with_own_audi, rowsWithOwnAudi, "rows_with_own_audi")->Iterations(1);
BENCHMARK_CAPTURE(BM_OpenPeakMemory, row_extensions, rowExtensions, "row_extensions")->Iterations(1);
BENCHMARK_CAPTURE(BM_OpenPeakMemory, legacy_warnings, legacyWarnings, "legacy_warnings")->Iterations(1);
BENCHMARK_CAPTURE(BM_OpenPeakMemory, legacy_extensions, legacyExtensions, "legacy_extensions")->Iterations(1);

// ---------------------------------------------------------------------------
// (b) One sample out of a large library

constexpr uint32_t kLibrarySamples = 5000;
constexpr uint32_t kChosen = 2500;  // 1-based position in the library
constexpr uint32_t kRate = 48000;

// Tones with a little noise, packed as 16- or 24-bit little-endian PCM.
Bytes makeSignal(uint64_t frames, int channels, int bits, uint32_t seed) {
    const int width = bits / 8;
    Bytes out(frames * static_cast<uint64_t>(channels * width));
    uint32_t noise = seed;
    uint8_t* p = out.data();
    const double full = bits == 24 ? 8388607.0 : 32767.0;
    for (uint64_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / kRate;
        for (int c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double v = std::exp(-6.0 * t) * 0.6 * std::sin(2 * M_PI * (170.0 + 30 * c) * t) +
                             0.02 * (static_cast<int32_t>(noise) / 2147483648.0);
            const auto q = static_cast<int32_t>(std::lround(v * full));
            for (int b = 0; b < width; ++b) *p++ = static_cast<uint8_t>(q >> (8 * b));
        }
    }
    return out;
}

Bytes payloadOf(uint16_t codec, PayloadRole role, uint64_t first, const Bytes& plain, int channels, int bits) {
    PcmaHead h;
    h.codec = codec;
    h.bits = static_cast<uint16_t>(bits);
    h.sample_rate = kRate;
    h.channels = static_cast<uint16_t>(channels);
    h.role = role;
    h.first_frame = first;
    h.frames = plain.size() / static_cast<uint64_t>(channels * (bits / 8));
    h.plain_bytes = plain.size();
    h.plain_hash = blake2b128(plain);
    Bytes body = plain;
    if (codec == kCodecFlac) {
        h.max_blocksize = kFlacBlockSize;
        auto encoded = encodeFlacPayload(plain, bits, channels, kRate, h.frames);
        if (!encoded.ok()) die(encoded.message());
        body = std::move(encoded).value();
    }
    auto built = buildPayload(h, body);
    if (!built.ok()) die(built.message());
    return std::move(built).value();
}

struct Library {
    std::string alone;
    std::string large;

    Library() {
        // The chosen sample: 1.5 s of 24-bit stereo FLAC, split after
        // 250 ms into a head and a tail as the converter stores a hit,
        // auditioned through its playback region.
        const uint64_t frames = kRate * 3 / 2;
        const uint64_t headFrames = kRate / 4;
        const Bytes pcm = makeSignal(frames, 2, 24, 7);
        const size_t cut = static_cast<size_t>(headFrames * 6);
        const Bytes headPcm(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(cut));
        const Bytes tailPcm(pcm.begin() + static_cast<std::ptrdiff_t>(cut), pcm.end());
        const Bytes head = payloadOf(kCodecFlac, PayloadRole::head, 0, headPcm, 2, 24);
        const Bytes tail = payloadOf(kCodecFlac, PayloadRole::tail, headFrames, tailPcm, 2, 24);
        // The others: 0.1 s of 16-bit mono each.
        const Bytes other = payloadOf(kCodecRawPcm, PayloadRole::whole, 0, makeSignal(kRate / 10, 1, 16, 3), 1, 16);

        const auto write = [&](const std::string& name, uint32_t samples, uint32_t chosen) {
            Zem6Model model;
            std::vector<StagedPayload> payloads;
            uint64_t uid = 1;
            for (uint32_t i = 1; i <= samples; ++i) {
                SmplEntry row;
                row.uid = uid++;
                row.audi_uid = uid++;
                if (i == chosen) {
                    row.audt_uid = uid++;
                    row.frames = frames;
                    row.head_frames = headFrames;
                    row.playback_start = kRate / 100;
                    row.playback_end = frames - kRate / 10;
                    payloads.push_back({row.audi_uid, kTagAUDI, head});
                    payloads.push_back({*row.audt_uid, kTagAUDT, tail});
                } else {
                    row.frames = kRate / 10;
                    payloads.push_back({row.audi_uid, kTagAUDI, other});
                }
                model.samples.push_back(row);
            }
            model.metadata.next_uid = uid;
            const std::string path = (benchDir() / name).string();
            auto written = writeZem6File(path, model, payloads);
            if (!written.ok()) die("write failed: " + written.message());
            return path;
        };
        alone = write("alone.zem", 1, 1);
        large = write("library.zem", kLibrarySamples, kChosen);
    }
};

Library& library() {
    static Library l;
    return l;
}

void loadOne(benchmark::State& state, const std::string& path, int32_t position) {
    for (auto _ : state) {
        auto r = loadSampleForEdit(path, SampleSelector{-1, position}, kEditingBudgetBytes,
                                   SampleLoadMode::PlaybackRegion);
        if (!r.ok()) {
            state.SkipWithError(r.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(r->samples.data());
    }
}

void BM_LoadSampleAlone(benchmark::State& state) { loadOne(state, library().alone, 1); }
void BM_LoadSampleFromLibrary(benchmark::State& state) { loadOne(state, library().large, kChosen); }

// The floor a load from the library cannot go below: opening it, which
// checks its directory and decodes and checks every SMPL row.
void BM_OpenLibrary(benchmark::State& state) {
    for (auto _ : state) {
        auto r = openZem6File(library().large, ReadPolicy{});
        if (!r.ok()) {
            state.SkipWithError(r.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(r->model.samples.data());
    }
}

// Short runs, repeated and interleaved; the fastest repetition of each is
// compared, since a busy machine only ever adds time.
void timing(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)
        ->MinTime(0.2)
        ->Repetitions(10)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK(BM_LoadSampleAlone)->Apply(timing);
BENCHMARK(BM_LoadSampleFromLibrary)->Apply(timing);
BENCHMARK(BM_OpenLibrary)->Apply(timing);

// Prints as usual and keeps each benchmark's fastest real time per
// iteration, in seconds.
class TimeCapture : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;

    void ReportRuns(const std::vector<Run>& reports) override {
        for (const auto& run : reports) {
            if (run.error_occurred) continue;
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "min") continue;
            seconds[run.run_name.function_name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
        ConsoleReporter::ReportRuns(reports);
    }
};

} // namespace

int main(int argc, char** argv) {
    // Interleaving is on unless the command line says otherwise (later flags win).
    std::vector<char*> args(argv, argv + argc);
    static char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    argv = args.data();
    argc = count;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    TimeCapture reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    bool ok = true;
    std::printf("\n");
    const auto& t = reporter.seconds;
    if (t.count("BM_LoadSampleAlone") && t.count("BM_LoadSampleFromLibrary") && t.count("BM_OpenLibrary")) {
        const double alone = t.at("BM_LoadSampleAlone");
        const double fromLibrary = t.at("BM_LoadSampleFromLibrary");
        const double open = t.at("BM_OpenLibrary");
        std::printf("one sample's load from %u samples / from a file of its own: %.2fx (%.2f ms / %.2f ms)\n",
                    kLibrarySamples, fromLibrary / alone, fromLibrary * 1e3, alone * 1e3);
        // What the load adds to the library's open must be what the sample
        // costs alone: nothing of the other samples' audio is touched.
        const double ratio = fromLibrary / (open + alone);
        const bool within = ratio <= kOneSampleCeiling;
        std::printf("load from the library / (opening the library %.2f ms + the load alone): %.2fx (ceiling %.2fx)%s\n",
                    open * 1e3, ratio, kOneSampleCeiling, within ? "" : "  ABOVE CEILING");
        ok = ok && within;
    }
    for (const auto& [name, multiple] : multiples()) {
        const bool within = multiple <= kMemoryMultipleCeiling;
        std::printf("open peak heap / metadata bytes, %s: %.1fx (ceiling %.0fx)%s\n", name.c_str(), multiple,
                    kMemoryMultipleCeiling, within ? "" : "  ABOVE CEILING");
        ok = ok && within;
    }
    std::error_code ec;
    std::filesystem::remove_all(benchDir(), ec);
    return ok ? 0 : 1;
}
