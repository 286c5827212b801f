// The import job on 500 short files (0.5 s, 24-bit stereo WAV, made once per
// run): files per second on the decode pool and on one thread, against two
// floors measured in the same run: reading the files' bytes (open, read
// whole, close, one thread; x_read_floor) and the framework's readers alone
// decoding the same files on one thread (x_floor_time). The pool's counter
// also reports the peak memory of the job against the float bytes it
// imported. BM_ImportOverTheCap imports four files of 246 MB of decoded
// audio each (984 MB, past the 512 MB cap) and reports the job's peak memory
// against the cap and against the audio it accepted.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/import_job.hpp"
#include "import_files.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace maker = vt6::maker;

constexpr int kFiles = vt6::bench::kImportFiles;
constexpr int kFrames = vt6::bench::kImportFrames;
std::filesystem::path gDir;
std::vector<juce::File> gFiles;
double gFloorSeconds = 0.0;
double gReadFloorSeconds = 0.0;
// Peak memory growth and imported float bytes per thread count, measured in
// children forked before any benchmark ran (the parent's freed heap would
// otherwise be reused and hide the growth).
std::map<int, std::pair<double, double>> gPeak;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void makeFiles() { vt6::bench::writeImportFiles("zem_import_bench", gDir, gFiles); }

// Peak resident memory since the last reset (Linux). Freed heap goes back to
// the system first, so the peak counts what the job itself holds.
void resetPeak() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}
long statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::stol(line.substr(std::string(key).size()));
    return 0;
}

// Growth of resident memory over one job run in a forked child, in bytes, so
// that no heap of earlier runs hides it; -1 when the child fails.
double peakGrowthInChild(const maker::ImportJobRequest& request, int threads, double& floatBytes) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        resetPeak();
        const long before = statusKb("VmRSS:");
        std::atomic<int> done{0};
        auto result = maker::runImportJob(request, {}, done, threads);
        double values[2] = {static_cast<double>(statusKb("VmHWM:") - before) * 1024.0, 0.0};
        for (const auto& audio : result->audio) values[1] += static_cast<double>(audio.valueCount()) * 4.0;
        const ssize_t written = write(fds[1], values, sizeof values);
        _exit(written == static_cast<ssize_t>(sizeof values) ? 0 : 1);
    }
    close(fds[1]);
    double values[2] = {-1, 0};
    const ssize_t got = read(fds[0], values, sizeof values);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof values)) return -1;
    floatBytes = values[1];
    return values[0];
}

// Four mono 16-bit WAVs of 61.5 Mi frames (123 MB each, 246 MB of floats):
// two fit under the cap, the third passes it.
constexpr int kLargeFiles = 4;
constexpr uint32_t kLargeFrames = 61500000;
std::filesystem::path gLargeDir;
std::vector<juce::File> gLargeFiles;
struct OverCapFigures {
    double peakBytes = -1, floatBytes = 0, seconds = 0, samples = 0, lines = 0;
};
OverCapFigures gOverCap;

void putLe(std::ofstream& out, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>(v >> (8 * i)));
}

void makeLargeFiles() {
    if (!gLargeFiles.empty()) return;
    gLargeDir = std::filesystem::temp_directory_path() / ("zem_import_cap_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(gLargeDir);
    // One period of a loud tone, repeated: written fast, never silent.
    std::vector<int16_t> period(441);
    for (size_t i = 0; i < period.size(); ++i)
        period[i] = static_cast<int16_t>(20000.0 * std::sin(2.0 * 3.14159265358979 * static_cast<double>(i) / 441.0));
    for (int n = 0; n < kLargeFiles; ++n) {
        const auto path = gLargeDir / ("large " + std::to_string(n) + ".wav");
        std::ofstream out(path, std::ios::binary);
        const uint32_t dataBytes = kLargeFrames * 2;
        out.write("RIFF", 4);
        putLe(out, 36 + dataBytes, 4);
        out.write("WAVEfmt ", 8);
        putLe(out, 16, 4);
        putLe(out, 1, 2);
        putLe(out, 1, 2);
        putLe(out, 44100, 4);
        putLe(out, 88200, 4);
        putLe(out, 2, 2);
        putLe(out, 16, 2);
        out.write("data", 4);
        putLe(out, dataBytes, 4);
        std::vector<int16_t> block(441 * 1000);
        for (size_t i = 0; i < block.size(); ++i) block[i] = period[i % period.size()];
        for (uint32_t written = 0; written < kLargeFrames;) {
            const uint32_t count = std::min<uint32_t>(static_cast<uint32_t>(block.size()), kLargeFrames - written);
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(count * 2));
            written += count;
        }
        gLargeFiles.push_back(juce::File(juce::String(path.string())));
    }
}

// The job over the large files in a forked child: peak growth of resident
// memory, accepted float bytes, seconds, samples and report lines.
OverCapFigures overCapInChild() {
    OverCapFigures figures;
    int fds[2];
    if (pipe(fds) != 0) return figures;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        resetPeak();
        const long before = statusKb("VmRSS:");
        maker::ImportJobRequest request;
        request.files = gLargeFiles;
        request.page = {0, 0};
        std::atomic<int> done{0};
        const auto start = Clock::now();
        auto result = maker::runImportJob(request, {}, done, 4);
        OverCapFigures out;
        out.seconds = seconds(start, Clock::now());
        out.peakBytes = static_cast<double>(statusKb("VmHWM:") - before) * 1024.0;
        for (const auto& audio : result->audio) out.floatBytes += static_cast<double>(audio.valueCount()) * 4.0;
        out.samples = static_cast<double>(result->samples.size());
        out.lines = static_cast<double>(result->reportLines.size());
        const ssize_t written = write(fds[1], &out, sizeof out);
        _exit(written == static_cast<ssize_t>(sizeof out) ? 0 : 1);
    }
    close(fds[1]);
    const ssize_t got = read(fds[0], &figures, sizeof figures);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (got != static_cast<ssize_t>(sizeof figures)) figures = OverCapFigures{};
    return figures;
}

void BM_ImportOverTheCap(benchmark::State& state) {
    if (gOverCap.peakBytes < 0) {
        state.SkipWithError("the over-the-cap child failed");
        return;
    }
    for (auto _ : state) state.SetIterationTime(gOverCap.seconds);
    const double cap = static_cast<double>(maker::kImportByteCap);
    state.counters["samples"] = gOverCap.samples;
    state.counters["report_lines"] = gOverCap.lines;
    state.counters["accepted_float_MB"] = gOverCap.floatBytes / 1048576.0;
    state.counters["peak_MB"] = gOverCap.peakBytes / 1048576.0;
    state.counters["peak_over_cap"] = gOverCap.peakBytes / cap;
    state.counters["peak_over_floats"] = gOverCap.floatBytes > 0 ? gOverCap.peakBytes / gOverCap.floatBytes : 0;
}
BENCHMARK(BM_ImportOverTheCap)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

// Every file's bytes read into one reused buffer: what the job cannot beat.
void BM_ReadFileBytesFloor(benchmark::State& state) {
    makeFiles();
    std::vector<char> buffer;
    double total = 0;
    double bytes = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        bytes = 0;
        for (const auto& file : gFiles) {
            const int fd = ::open(file.getFullPathName().toRawUTF8(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                state.SkipWithError("a bench file did not open");
                return;
            }
            struct stat info {};
            ::fstat(fd, &info);
            if (buffer.size() < static_cast<size_t>(info.st_size)) buffer.resize(static_cast<size_t>(info.st_size));
            size_t got = 0;
            while (got < buffer.size()) {
                const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            ::close(fd);
            bytes += static_cast<double>(got);
            benchmark::DoNotOptimize(buffer.data());
        }
        const double s = seconds(start, Clock::now());
        state.SetIterationTime(s);
        total += s;
    }
    gReadFloorSeconds = total / static_cast<double>(state.iterations());
    state.counters["files_per_s"] = kFiles / gReadFloorSeconds;
    state.counters["MB_per_s"] = bytes / 1048576.0 / gReadFloorSeconds;
}
BENCHMARK(BM_ReadFileBytesFloor)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_ReadersAloneFloor(benchmark::State& state) {
    makeFiles();
    juce::AudioFormatManager formats;
    formats.registerBasicFormats();
    juce::AudioBuffer<float> buffer(2, kFrames);
    double total = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (const auto& file : gFiles) {
            std::unique_ptr<juce::AudioFormatReader> reader(formats.createReaderFor(file));
            reader->read(&buffer, 0, static_cast<int>(reader->lengthInSamples), 0, true, true);
            benchmark::DoNotOptimize(buffer.getReadPointer(0));
        }
        const double s = seconds(start, Clock::now());
        state.SetIterationTime(s);
        total += s;
    }
    gFloorSeconds = total / static_cast<double>(state.iterations());
    state.counters["files_per_s"] = kFiles / gFloorSeconds;
}
BENCHMARK(BM_ReadersAloneFloor)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The job's own decoding (whole file into interleaved floats), one thread.
void BM_DecodeAudioFileAlone(benchmark::State& state) {
    makeFiles();
    double total = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (const auto& file : gFiles) {
            int kind = 0;
            auto decoded = maker::decodeAudioFile(file, &kind);
            benchmark::DoNotOptimize(decoded.ok());
        }
        const double s = seconds(start, Clock::now());
        state.SetIterationTime(s);
        total += s;
    }
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["files_per_s"] = kFiles / mean;
    state.counters["x_floor_time"] = gFloorSeconds > 0 ? mean / gFloorSeconds : 0;
}
BENCHMARK(BM_DecodeAudioFileAlone)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// The checks, trim and hit-level measure of every decoded file, one thread.
void BM_CheckTrimMeasureAlone(benchmark::State& state) {
    makeFiles();
    std::vector<maker::ImportedSample> decoded;
    for (const auto& file : gFiles) {
        int kind = 0;
        auto one = maker::decodeAudioFile(file, &kind);
        if (one.ok()) decoded.push_back(std::move(one).value());
    }
    double total = 0;
    for (auto _ : state) {
        std::vector<maker::ImportedSample> copies;
        for (const auto& d : decoded) {
            maker::ImportedSample c;
            c.samples = d.samples;
            c.channels = d.channels;
            c.sampleRate = d.sampleRate;
            copies.push_back(std::move(c));
        }
        const auto start = Clock::now();
        for (auto& c : copies) {
            auto checked = maker::importAudioFile(std::move(c), {true, -60, -90}, {}, nullptr);
            benchmark::DoNotOptimize(checked.ok());
        }
        const double s = seconds(start, Clock::now());
        state.SetIterationTime(s);
        total += s;
    }
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["files_per_s"] = kFiles / mean;
    state.counters["x_floor_time"] = gFloorSeconds > 0 ? mean / gFloorSeconds : 0;
}
BENCHMARK(BM_CheckTrimMeasureAlone)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void runJob(benchmark::State& state, int threads) {
    makeFiles();
    maker::ImportJobRequest request;
    request.files = gFiles;
    request.page = {0, 0};
    request.trim = {true, -60, -90};
    double total = 0;
    size_t imported = 0;
    for (auto _ : state) {
        std::atomic<int> done{0};
        const auto start = Clock::now();
        auto result = maker::runImportJob(request, {}, done, threads);
        const double s = seconds(start, Clock::now());
        state.SetIterationTime(s);
        total += s;
        imported = result->samples.size();
    }
    const auto memory = gPeak.find(threads);
    if (memory != gPeak.end()) {
        const auto [growth, floatBytes] = memory->second;
        state.counters["imported_float_MB"] = floatBytes / 1048576.0;
        state.counters["peak_MB"] = growth / 1048576.0;
        state.counters["peak_over_floats"] = floatBytes > 0 ? growth / floatBytes : 0;
    }
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["threads"] = threads;
    state.counters["files"] = static_cast<double>(imported);
    state.counters["files_per_s"] = kFiles / mean;
    state.counters["x_floor_time"] = gFloorSeconds > 0 ? mean / gFloorSeconds : 0;
    state.counters["x_read_floor"] = gReadFloorSeconds > 0 ? mean / gReadFloorSeconds : 0;
}

void BM_ImportJobOneThread(benchmark::State& state) { runJob(state, 1); }
BENCHMARK(BM_ImportJobOneThread)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ImportJobPool(benchmark::State& state) { runJob(state, maker::importPoolSize(kFiles)); }
BENCHMARK(BM_ImportJobPool)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_ImportJobPoolOfFour(benchmark::State& state) { runJob(state, 4); }
BENCHMARK(BM_ImportJobPoolOfFour)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    makeFiles();
    maker::ImportJobRequest request;
    request.files = gFiles;
    request.page = {0, 0};
    request.trim = {true, -60, -90};
    for (int threads : {1, maker::importPoolSize(kFiles), 4}) {
        double floatBytes = 0;
        const double growth = peakGrowthInChild(request, threads, floatBytes);
        gPeak[threads] = {growth, floatBytes};
    }
    makeLargeFiles();
    gOverCap = overCapInChild();
    if (!gLargeDir.empty()) std::filesystem::remove_all(gLargeDir);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!gDir.empty()) std::filesystem::remove_all(gDir);
    return 0;
}
