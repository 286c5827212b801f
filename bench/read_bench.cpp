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
//     holds it alone. The load must not depend on the other samples:
//     target ratio at most kOneSampleCeiling.

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
constexpr double kOneSampleCeiling = 1.5;

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

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    bool ok = true;
    std::printf("\n");
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
