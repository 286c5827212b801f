// Opening files in the program window: OPEN ZEM's job (working copy, read
// and check on the worker thread), the mount on the message thread and the
// first paint of the grid, for a file holding 1 GiB of audio and for a
// 5,000-sample file. Its ratio to the library's own open (the floor below,
// measured first in the same run) is `ratio_to_floor`; the goal is at most 2. Besides the job's
// time, a probe thread posts to the message thread every 2 ms and the longest
// wait for a post to run is the message thread's longest stall, set against
// one animation frame (33 ms) and against the same probe on an idle message
// thread (what the machine's load alone costs). The floor, in the same run, is copying the
// file and reading it once with the container reader alone; beside it, the
// editor's own open of the copy, which the mount runs on the message thread.
//
// Needs a display (run under xvfb-run).

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "format/checksum.hpp"
#include "editor/logic/view_model.hpp"
#include "format/reader.hpp"
#include "stall_probe.hpp"

namespace {

using vt6::bench::msSince;
using vt6::bench::StallProbe;

using Clock = std::chrono::steady_clock;

std::filesystem::path gFolder;
std::string gBigFile, gManyFile;
// Mean seconds of the floor (copy and read), per file.
std::map<std::string, double> gFloor;


// 8 samples of 128 MiB of raw 16-bit stereo each.
std::string writeBigFile(const std::string& path) {
    constexpr uint64_t kSampleBytes = 128ull << 20;
    constexpr int kCount = 8;
    vt6::fmt::Zem6Model model;
    model.metadata.name = "Big";
    vt6::fmt::LayerDef direct;
    direct.id = 1;
    direct.name = "Direct";
    direct.slot = 0;
    model.metadata.layers.push_back(direct);
    vt6::fmt::ArticulationDef center;
    center.id = 1;
    center.name = "CENTER";
    model.metadata.articulations.push_back(center);
    vt6::fmt::BandDef band;
    band.id = 1;
    band.name = "All";
    model.metadata.dynamics.push_back(band);
    std::vector<vt6::fmt::StagedPayload> payloads;
    uint32_t state = 12345;
    for (int i = 0; i < kCount; ++i) {
        vt6::fmt::Bytes bytes(vt6::fmt::kPcmaHeadBytes + kSampleBytes);
        for (uint64_t k = vt6::fmt::kPcmaHeadBytes; k < bytes.size(); ++k) {
            state = state * 1664525u + 1013904223u;
            bytes[k] = static_cast<uint8_t>(state >> 24);
        }
        vt6::fmt::PcmaHead head;
        head.codec = vt6::fmt::kCodecRawPcm;
        head.bits = 16;
        head.sample_rate = 44100;
        head.channels = 2;
        head.role = vt6::fmt::PayloadRole::whole;
        head.first_frame = 0;
        head.frames = kSampleBytes / 4;
        head.plain_bytes = kSampleBytes;
        head.plain_hash = vt6::fmt::blake2b128(
            vt6::fmt::ByteView(bytes.data() + vt6::fmt::kPcmaHeadBytes, kSampleBytes));
        vt6::fmt::encodePcmaHead(head, std::span<uint8_t, vt6::fmt::kPcmaHeadBytes>(bytes.data(), vt6::fmt::kPcmaHeadBytes));
        vt6::fmt::SmplEntry row;
        row.uid = 2 * static_cast<uint64_t>(i) + 1;
        row.audi_uid = row.uid + 1;
        row.name = "Hit " + std::to_string(i + 1);
        row.layer = 1;
        row.articulation = 1;
        row.band = 1;
        row.frames = head.frames;
        row.sample_rate = 44100;
        row.bits = 16;
        row.channels = 2;
        row.codec = vt6::fmt::kCodecRawPcm;
        model.samples.push_back(row);
        payloads.push_back({row.audi_uid, vt6::fmt::kTagAUDI, std::move(bytes)});
    }
    model.metadata.next_uid = 2 * kCount + 1;
    const auto written = vt6::fmt::writeZem6File(path, model, payloads);
    if (!written.ok()) {
        std::fprintf(stderr, "cannot write the 1 GiB file: %s\n", written.message().c_str());
        std::exit(1);
    }
    return path;
}

void openThroughWindow(benchmark::State& state, const std::string& path) {
    vt6::test::ScopedFakeAudio fake;
    auto main = std::make_unique<vt6::maker::MainComponent>();
    double worstStall = 0.0, jobTotal = 0.0, firstPaint = 0.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        double stall = 0.0;
        {
            StallProbe probe;
            main->openFile(juce::File(path));
            while (main->isBusy()) juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
            // The first paint of the mounted grid.
            if (main->overlay() != nullptr) (void)main->createComponentSnapshot(main->getLocalBounds());
            firstPaint += std::chrono::duration<double>(Clock::now() - start).count();
            // Let the posts made during the mount run and report.
            juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
            stall = probe.longestMs();
        }
        const double job = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(job);
        jobTotal += job;
        worstStall = std::max(worstStall, stall);
        if (main->overlay() == nullptr) state.SkipWithError("the file did not open");
    }
    state.counters["longest_stall_ms"] = worstStall;
    state.counters["stall_per_frame"] = worstStall / 33.0;
    state.counters["job_ms"] = 1000.0 * jobTotal / static_cast<double>(state.iterations());
    const double painted = firstPaint / static_cast<double>(state.iterations());
    state.counters["first_paint_ms"] = 1000.0 * painted;
    if (const auto floor = gFloor.find(path); floor != gFloor.end() && floor->second > 0.0)
        state.counters["ratio_to_floor"] = painted / floor->second;
    main.reset();
    juce::MessageManager::getInstance()->runDispatchLoopUntil(20);
}

// The floor: the copy and one read by the container reader, nothing else.
void copyAndRead(benchmark::State& state, const std::string& path) {
    const auto copy = (gFolder / "floor-copy.zem").string();
    double total = 0.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
        auto opened = vt6::fmt::openZem6File(copy, vt6::fmt::ReadPolicy{});
        if (!opened.ok()) state.SkipWithError("read failed");
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    gFloor[path] = total / static_cast<double>(state.iterations());
    std::filesystem::remove(copy);
}

// The stall floor: the probe against a message thread that has nothing to
// do for a second, which shows how long the machine alone keeps it waiting.
void idleStall(benchmark::State& state) {
    double worst = 0.0;
    for (auto _ : state) {
        const auto start = Clock::now();
        StallProbe probe;
        while (msSince(start) < 1000.0) juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
        worst = std::max(worst, probe.longestMs());
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
    state.counters["longest_stall_ms"] = worst;
    state.counters["stall_per_frame"] = worst / 33.0;
}

// What the mount itself does on the message thread: the editor's view model
// opens the working copy again and loads the document.
void editorOpenAlone(benchmark::State& state, const std::string& path) {
    for (auto _ : state) {
        const auto start = Clock::now();
        vt6::ui::zemedit::logic::ZemEditViewModel viewModel;
        if (!viewModel.openFile(path, vt6::fmt::ReadPolicy{})) state.SkipWithError("open failed");
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

// The other thing the mount does with the file: the previous working copy
// goes when the new one takes its place.
void deleteWorkingCopy(benchmark::State& state, const std::string& path) {
    const auto copy = (gFolder / "old-copy.zem").string();
    for (auto _ : state) {
        state.PauseTiming();
        std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
        state.ResumeTiming();
        const auto start = Clock::now();
        std::filesystem::remove(copy);
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    gFolder = std::filesystem::temp_directory_path() / ("zem_open_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(gFolder);
    gBigFile = writeBigFile((gFolder / "big.zem").string());
    gManyFile = vt6::test::writeKit((gFolder / "many.zem").string(), 5000, 8, "Many");
    {
        juce::ScopedJuceInitialiser_GUI gui;
        benchmark::RegisterBenchmark("Floor/IdleStall", idleStall)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("Floor/CopyAndRead/1GiB", copyAndRead, gBigFile)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("MessageThread/EditorOpenAlone/1GiB", editorOpenAlone, gBigFile)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("MessageThread/DeleteWorkingCopy/1GiB", deleteWorkingCopy, gBigFile)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("OpenFile/1GiB", openThroughWindow, gBigFile)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark("Floor/CopyAndRead/5000Samples", copyAndRead, gManyFile)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RegisterBenchmark("MessageThread/EditorOpenAlone/5000Samples", editorOpenAlone, gManyFile)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RegisterBenchmark("OpenFile/5000Samples", openThroughWindow, gManyFile)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    std::filesystem::remove_all(gFolder);
    return 0;
}
