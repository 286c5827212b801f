// FLAC payload reading and writing, measured against floors taken in the same run.
//
// (a) Decoding a 60-second 24-bit stereo 48 kHz FLAC payload through
//     decodeFlacPayload against libFLAC decoding the same stream into a
//     plain integer buffer with the least possible client work. Target: at
//     least 90% of libFLAC's rate.
// (b) Reading 10 ms windows at 1000 random positions of such a payload (the
//     tail of a split sample) through the sample source, against decoding the
//     tail whole. A random read should cost about one FLAC block (4096
//     frames), never a decode from the start.
// (c) Encoding the same 60 seconds through encodeFlacPayload against libFLAC
//     encoding them at the same settings with the least possible client work.
//     Target: at least 95% of libFLAC's rate.

#include <benchmark/benchmark.h>

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/flac_codec.hpp"
#include "audio/pcma_head.hpp"
#include "audio/sample_source.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/writer.hpp"

namespace {

using vt6::fmt::Bytes;

constexpr uint32_t kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBits = 24;
constexpr uint64_t kFrames = uint64_t{kRate} * 60;
constexpr uint32_t kWindowFrames = kRate / 100;  // 10 ms
constexpr int kRandomReads = 1000;
constexpr double kDecodeFloor = 0.90;
constexpr double kEncodeFloor = 0.95;

// Tones with a little noise, so the encoder works about as hard as on a drum.
Bytes makeSignal(uint64_t frames) {
    Bytes out(frames * kChannels * 3);
    uint32_t noise = 12345;
    uint8_t* p = out.data();
    for (uint64_t f = 0; f < frames; ++f) {
        const double t = static_cast<double>(f) / kRate;
        const double decay = std::exp(-3.0 * std::fmod(t, 0.5));
        for (int c = 0; c < kChannels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const double v = decay * (0.5 * std::sin(2 * M_PI * (180.0 + 40 * c) * t) +
                                      0.2 * std::sin(2 * M_PI * 2300.0 * t)) +
                             0.05 * (static_cast<int32_t>(noise) / 2147483648.0);
            const auto s = static_cast<int32_t>(std::lround(v * 8388607.0 * 0.9));
            *p++ = static_cast<uint8_t>(s);
            *p++ = static_cast<uint8_t>(s >> 8);
            *p++ = static_cast<uint8_t>(s >> 16);
        }
    }
    return out;
}

Bytes encode(const Bytes& pcm, uint64_t frames) {
    auto r = vt6::fmt::encodeFlacPayload(pcm, kBits, kChannels, kRate, frames);
    if (!r.ok()) {
        std::fprintf(stderr, "encode failed: %s\n", r.message().c_str());
        std::exit(1);
    }
    return std::move(r).value();
}

struct Fixture {
    Bytes pcm = makeSignal(kFrames);
    Bytes stream = encode(pcm, kFrames);
    vt6::fmt::HeadTailSplit split = vt6::fmt::splitHeadTail(kFrames, kRate, 250);
    Bytes tailStream;
    std::filesystem::path dir;
    std::unique_ptr<vt6::fmt::Zem6SampleSource> source;

    Fixture() {
        const uint64_t width = kChannels * 3;
        const Bytes headPcm(pcm.begin(), pcm.begin() + static_cast<std::ptrdiff_t>(split.headFrames * width));
        const Bytes tailPcm(pcm.begin() + static_cast<std::ptrdiff_t>(split.headFrames * width), pcm.end());
        const Bytes headStream = encode(headPcm, split.headFrames);
        tailStream = encode(tailPcm, split.tailFrames);

        std::string templ = (std::filesystem::temp_directory_path() / "zem_bench_XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) std::exit(1);
        dir = templ;
        const std::string path = (dir / "bench.zem").string();

        vt6::fmt::Zem6Model model;
        model.metadata.next_uid = 4;
        vt6::fmt::SmplEntry row;
        row.uid = 1;
        row.audi_uid = 2;
        row.audt_uid = 3;
        row.frames = kFrames;
        row.head_frames = split.headFrames;
        model.samples.push_back(row);
        std::vector<vt6::fmt::StagedPayload> payloads = {
            {2, vt6::fmt::kTagAUDI, payload(vt6::fmt::PayloadRole::head, 0, headPcm, headStream)},
            {3, vt6::fmt::kTagAUDT, payload(vt6::fmt::PayloadRole::tail, split.headFrames, tailPcm, tailStream)},
        };
        auto written = vt6::fmt::writeZem6File(path, model, payloads);
        if (!written.ok()) {
            std::fprintf(stderr, "write failed: %s\n", written.message().c_str());
            std::exit(1);
        }
        auto opened = vt6::fmt::Zem6SampleSource::open(path, vt6::fmt::ReadPolicy{});
        if (!opened.ok()) {
            std::fprintf(stderr, "open failed: %s\n", opened.message().c_str());
            std::exit(1);
        }
        source = std::move(opened).value();
    }
    ~Fixture() {
        source.reset();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    static Bytes payload(vt6::fmt::PayloadRole role, uint64_t first, const Bytes& plain, const Bytes& body) {
        vt6::fmt::PcmaHead h;
        h.codec = vt6::fmt::kCodecFlac;
        h.bits = kBits;
        h.sample_rate = kRate;
        h.channels = kChannels;
        h.role = role;
        h.first_frame = first;
        h.frames = plain.size() / (kChannels * 3);
        h.plain_bytes = plain.size();
        h.plain_hash = vt6::fmt::blake2b128(plain);
        h.max_blocksize = vt6::fmt::kFlacBlockSize;
        auto built = vt6::fmt::buildPayload(h, body);
        if (!built.ok()) std::exit(1);
        return std::move(built).value();
    }
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

// ---------------------------------------------------------------------------
// (a) Whole-stream decoding

void BM_DecodeFlacPayload(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto r = vt6::fmt::decodeFlacPayload(f.stream, kBits, kChannels, kRate, kFrames);
        if (!r.ok()) {
            state.SkipWithError(r.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(r->data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.pcm.size()));
}

// libFLAC alone: memory reads, frames copied as 32-bit integers, nothing else.
struct DirectClient {
    const Bytes* stream = nullptr;
    size_t pos = 0;
    std::vector<int32_t> out;
    size_t written = 0;
};

FLAC__StreamDecoderReadStatus directRead(const FLAC__StreamDecoder*, FLAC__byte buffer[], size_t* bytes, void* data) {
    auto* c = static_cast<DirectClient*>(data);
    const size_t n = std::min(*bytes, c->stream->size() - c->pos);
    if (n == 0) {
        *bytes = 0;
        return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
    }
    std::memcpy(buffer, c->stream->data() + c->pos, n);
    c->pos += n;
    *bytes = n;
    return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
}

FLAC__StreamDecoderWriteStatus directWrite(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                           const FLAC__int32* const buffer[], void* data) {
    auto* c = static_cast<DirectClient*>(data);
    const uint32_t n = frame->header.blocksize;
    const uint32_t ch = frame->header.channels;
    int32_t* dst = c->out.data() + c->written;
    for (uint32_t i = 0; i < n; ++i) {
        for (uint32_t k = 0; k < ch; ++k) *dst++ = buffer[k][i];
    }
    c->written += size_t{n} * ch;
    return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void directError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}

void BM_LibFlacDirect(benchmark::State& state) {
    const Fixture& f = fixture();
    DirectClient client;
    client.stream = &f.stream;
    client.out.resize(kFrames * kChannels);
    for (auto _ : state) {
        client.pos = 0;
        client.written = 0;
        FLAC__StreamDecoder* d = FLAC__stream_decoder_new();
        FLAC__stream_decoder_init_stream(d, directRead, nullptr, nullptr, nullptr, nullptr, directWrite, nullptr,
                                         directError, &client);
        const bool ok = FLAC__stream_decoder_process_until_end_of_stream(d);
        FLAC__stream_decoder_finish(d);
        FLAC__stream_decoder_delete(d);
        if (!ok || client.written != kFrames * kChannels) {
            state.SkipWithError("libFLAC decode failed");
            return;
        }
        benchmark::DoNotOptimize(client.out.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.pcm.size()));
}

// ---------------------------------------------------------------------------
// (c) Whole-stream encoding

void BM_EncodeFlacPayload(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto r = vt6::fmt::encodeFlacPayload(f.pcm, kBits, kChannels, kRate, kFrames);
        if (!r.ok()) {
            state.SkipWithError(r.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(r->data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.pcm.size()));
}

// libFLAC alone at the payload encoder's settings (subset, block size 4096,
// level 5, one seek point per block), fed 32-bit integers prepared before
// timing, writing into a buffer allocated once.
struct DirectSink {
    std::vector<uint8_t> out;
    size_t pos = 0;
    size_t end = 0;
};

FLAC__StreamEncoderWriteStatus directEncodeWrite(const FLAC__StreamEncoder*, const FLAC__byte buffer[], size_t bytes,
                                                 uint32_t, uint32_t, void* data) {
    auto* s = static_cast<DirectSink*>(data);
    if (s->pos + bytes > s->out.size()) return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    std::memcpy(s->out.data() + s->pos, buffer, bytes);
    s->pos += bytes;
    s->end = std::max(s->end, s->pos);
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus directEncodeSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* data) {
    static_cast<DirectSink*>(data)->pos = offset;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus directEncodeTell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* data) {
    *offset = static_cast<DirectSink*>(data)->pos;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

void BM_LibFlacEncodeDirect(benchmark::State& state) {
    const Fixture& f = fixture();
    std::vector<FLAC__int32> samples(kFrames * kChannels);
    for (size_t i = 0; i < samples.size(); ++i) {
        const uint8_t* p = f.pcm.data() + 3 * i;
        samples[i] = static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 24)) >> 8;
    }
    DirectSink sink;
    sink.out.resize(f.pcm.size() * 2);
    const uint32_t points = static_cast<uint32_t>((kFrames + vt6::fmt::kFlacBlockSize - 1) / vt6::fmt::kFlacBlockSize);
    for (auto _ : state) {
        sink.pos = 0;
        sink.end = 0;
        FLAC__StreamMetadata* table = FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE);
        FLAC__metadata_object_seektable_resize_points(table, points);
        for (uint32_t k = 0; k < points; ++k)
            table->data.seek_table.points[k] = {uint64_t{k} * vt6::fmt::kFlacBlockSize, 0, 0};
        FLAC__metadata_object_seektable_template_sort(table, false);
        FLAC__StreamEncoder* e = FLAC__stream_encoder_new();
        FLAC__stream_encoder_set_streamable_subset(e, true);
        FLAC__stream_encoder_set_channels(e, kChannels);
        FLAC__stream_encoder_set_bits_per_sample(e, kBits);
        FLAC__stream_encoder_set_sample_rate(e, kRate);
        FLAC__stream_encoder_set_blocksize(e, vt6::fmt::kFlacBlockSize);
        FLAC__stream_encoder_set_compression_level(e, 5);
        FLAC__stream_encoder_set_total_samples_estimate(e, kFrames);
        FLAC__stream_encoder_set_metadata(e, &table, 1);
        bool ok = FLAC__stream_encoder_init_stream(e, directEncodeWrite, directEncodeSeek, directEncodeTell, nullptr,
                                                   &sink) == FLAC__STREAM_ENCODER_INIT_STATUS_OK;
        ok = ok && FLAC__stream_encoder_process_interleaved(e, samples.data(), kFrames);
        ok = FLAC__stream_encoder_finish(e) && ok;
        FLAC__stream_encoder_delete(e);
        FLAC__metadata_object_delete(table);
        if (!ok) {
            state.SkipWithError("libFLAC encode failed");
            return;
        }
        benchmark::DoNotOptimize(sink.out.data());
    }
    state.counters["stream_bytes"] = static_cast<double>(sink.end);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.pcm.size()));
}

// ---------------------------------------------------------------------------
// (b) Random access through the sample source

void BM_SourceRandomWindows(benchmark::State& state) {
    Fixture& f = fixture();
    std::mt19937_64 rng(7);
    std::vector<uint64_t> starts(kRandomReads);
    for (uint64_t& s : starts) s = f.split.headFrames + rng() % (f.split.tailFrames - kWindowFrames);
    std::vector<float> left(kWindowFrames), right(kWindowFrames);
    float* channels[2] = {left.data(), right.data()};
    for (auto _ : state) {
        for (const uint64_t s : starts) {
            const auto r = f.source->read(0, s, kWindowFrames, channels);
            if (r.status != vt6::stream::kTailReadDone || r.frames != kWindowFrames) {
                state.SkipWithError(f.source->lastError().message.c_str());
                return;
            }
        }
        benchmark::DoNotOptimize(left.data());
    }
    state.counters["reads"] = benchmark::Counter(static_cast<double>(state.iterations()) * kRandomReads,
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_TailWholeDecode(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        auto r = vt6::fmt::decodeFlacPayload(f.tailStream, kBits, kChannels, kRate, f.split.tailFrames);
        if (!r.ok()) {
            state.SkipWithError(r.message().c_str());
            return;
        }
        benchmark::DoNotOptimize(r->data());
    }
}

// Short runs, repeated and (see main) interleaved; the fastest repetition of
// each is compared, since a busy machine only ever adds time.
void settings(benchmark::internal::Benchmark* b) {
    b->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(0.2)
        ->Repetitions(10)
        ->ReportAggregatesOnly(true)
        ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

BENCHMARK(BM_DecodeFlacPayload)->Apply(settings);
BENCHMARK(BM_LibFlacDirect)->Apply(settings);
BENCHMARK(BM_EncodeFlacPayload)->Apply(settings);
BENCHMARK(BM_LibFlacEncodeDirect)->Apply(settings);
BENCHMARK(BM_SourceRandomWindows)->Apply(settings);
BENCHMARK(BM_TailWholeDecode)->Apply(settings);

// Prints as usual and keeps each benchmark's fastest real time per
// iteration, in seconds.
class TimeCapture : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;

    void ReportRuns(const std::vector<Run>& reports) override {
        for (const auto& run : reports) {
            if (run.error_occurred) continue;
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "min") continue;
            seconds[run.run_name.function_name] = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
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
    fixture();  // encode and write before timing starts

    TimeCapture reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const auto& t = reporter.seconds;
    std::printf("\n");
    bool ok = true;
    if (t.count("BM_DecodeFlacPayload") && t.count("BM_LibFlacDirect")) {
        const double ratio = t.at("BM_LibFlacDirect") / t.at("BM_DecodeFlacPayload");
        std::printf("decodeFlacPayload rate / libFLAC direct rate: %.1f%% (target >= %.0f%%)%s\n", ratio * 100,
                    kDecodeFloor * 100, ratio >= kDecodeFloor ? "" : "  BELOW TARGET");
        ok = ok && ratio >= kDecodeFloor;
    }
    if (t.count("BM_EncodeFlacPayload") && t.count("BM_LibFlacEncodeDirect")) {
        const double ratio = t.at("BM_LibFlacEncodeDirect") / t.at("BM_EncodeFlacPayload");
        std::printf("encodeFlacPayload rate / libFLAC direct rate: %.1f%% (target >= %.0f%%)%s\n", ratio * 100,
                    kEncodeFloor * 100, ratio >= kEncodeFloor ? "" : "  BELOW TARGET");
        ok = ok && ratio >= kEncodeFloor;
    }
    if (t.count("BM_SourceRandomWindows") && t.count("BM_TailWholeDecode")) {
        const Fixture& f = fixture();
        const double perRead = t.at("BM_SourceRandomWindows") / kRandomReads;
        const double whole = t.at("BM_TailWholeDecode");
        const double blocks = std::ceil(static_cast<double>(f.split.tailFrames) / vt6::fmt::kFlacBlockSize);
        const double perBlock = whole / blocks;
        std::printf("10 ms window at a random position: %.1f us; whole tail decode (%.0f blocks): %.1f ms\n",
                    perRead * 1e6, blocks, whole * 1e3);
        std::printf("random read / one block of the whole decode: %.2fx; random read / whole decode: %.4f\n",
                    perRead / perBlock, perRead / whole);
    }
    return ok ? 0 : 1;
}
