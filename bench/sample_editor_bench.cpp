// The sample editor on a 10-minute 48 kHz stereo sample (about 230 MB of
// floats): the time to open it against a plain copy of the audio (the floor,
// measured in the same run), and the peak memory that opening, auditioning
// through the program's Audition (on a fake output device) and applying add,
// as a multiple of the sample's float size, and the refresh that one value of a
// gain drag or a handle drag costs against a 33 ms frame. Peak memory is the process's
// peak resident set, reset before each phase. Needs a display: run under
// xvfb-run.

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "app/audition.hpp"
#include "app/fake_audio.hpp"
#include "stall_probe.hpp"
#include "editor/ui/sample_editor.hpp"
#include "editor/ui/sample_editor_access.hpp"
#include "editor/ui/zem_edit_overlay.hpp"

namespace {

using vt6::ui::zemedit::SampleEditor;
using vt6::ui::zemedit::SampleEditorOverlayAccess;
using vt6::ui::zemedit::ZemEditDeps;
using vt6::ui::zemedit::ZemEditOverlay;
using Clock = std::chrono::steady_clock;

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr size_t kFrames = static_cast<size_t>(kRate) * 600;
constexpr double kFloatBytes = static_cast<double>(kFrames * kChannels * sizeof(float));

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

double statusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::string(key).size()));
    return 0.0;
}

// Resets the peak resident set to the current one; false when the kernel
// does not allow it (the figures would then be meaningless).
bool resetPeak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    out.flush();
    return static_cast<bool>(out);
}

double residentBytes() { return statusKb("VmRSS:") * 1024.0; }
double peakBytes() { return statusKb("VmHWM:") * 1024.0; }

std::vector<float> makeSource() {
    std::vector<float> audio(kFrames * kChannels);
    for (size_t f = 0; f < kFrames; ++f) {
        const auto t = static_cast<float>(f % 48000);
        audio[2 * f] = 0.5f * std::sin(0.01f * t);
        audio[2 * f + 1] = -0.25f * std::sin(0.013f * t);
    }
    return audio;
}

// The overlay as the shell mounts it, with the program's Audition on a fake
// output device, and one long sample.
struct Scene {
    vt6::test::ScopedFakeAudio fake;
    vt6::maker::Audition audition;
    std::unique_ptr<ZemEditOverlay> overlay;
    uint64_t uid = 0;
    Scene() {
        audition.initialise(nullptr);
        ZemEditDeps d;
        d.standalone = true;
        d.previewService = &audition;
        overlay = std::make_unique<ZemEditOverlay>(std::move(d));
        overlay->setSize(1280, 689);
        uid = overlay->viewModel.addSampleFromPcm("Long", makeSource(), kChannels, kRate, 0.1, 0, 0, 1,
                                                  vt6::fmt::HitLevel{}, false);
    }
    SampleEditor* editor() { return SampleEditorOverlayAccess::editor(*overlay); }
    void open() { SampleEditorOverlayAccess::open(*overlay, uid); }
    void close() { SampleEditorOverlayAccess::close(*overlay); }
};

Scene* gScene = nullptr;

// What the window then draws: the waveform and the overview.
void paintViews(SampleEditor& e) {
    for (juce::Component* c : {static_cast<juce::Component*>(&e.wave), static_cast<juce::Component*>(&e.overview)}) {
        juce::Image image(juce::Image::ARGB, std::max(1, c->getWidth()), std::max(1, c->getHeight()), true);
        juce::Graphics g(image);
        c->paintEntireComponent(g, false);
    }
}

void floorCopy(benchmark::State& state) {
    const auto source = makeSource();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        std::vector<float> copy(source);
        benchmark::DoNotOptimize(copy.data());
        state.SetIterationTime(seconds(t0, Clock::now()));
    }
}

double gFloorSeconds = 0.0;

void openEditor(benchmark::State& state) {
    // The floor: one plain copy of the audio, timed here as well.
    {
        const auto source = makeSource();
        const auto t0 = Clock::now();
        std::vector<float> copy(source);
        benchmark::DoNotOptimize(copy.data());
        gFloorSeconds = seconds(t0, Clock::now());
    }
    double total = 0.0, peak = 0.0, longest = 0.0;
    for (auto _ : state) {
        const double before = residentBytes();
        const bool reset = resetPeak();
        const auto t0 = Clock::now();
        {
            // Up to the editor's first paint, as the window shows it; the
            // probe sees how long the message thread is held meanwhile.
            vt6::bench::StallProbe probe;
            gScene->open();
            if (auto* e = gScene->editor()) paintViews(*e);
            juce::MessageManager::getInstance()->runDispatchLoopUntil(5);
            longest = std::max(longest, probe.longestMs());
        }
        const double s = seconds(t0, Clock::now());
        state.SetIterationTime(s);
        total += s;
        if (reset) peak = std::max(peak, (peakBytes() - before) / kFloatBytes);
        state.PauseTiming();
        gScene->close();
        state.ResumeTiming();
    }
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["open_ms"] = mean * 1000.0;
    state.counters["copy_floor_ms"] = gFloorSeconds * 1000.0;
    state.counters["vs_copy"] = mean / gFloorSeconds;
    state.counters["peak_x_float"] = peak;
    state.counters["longest_stall_ms"] = longest;
    state.counters["stall_vs_frame"] = longest / 33.0;
}

// Memory an edit adds while open, while playing and while applying, each
// measured from the moment before the phase.
void openPlayApply(benchmark::State& state) {
    double openPeak = 0.0, playPeak = 0.0, playHeld = 0.0, applyPeak = 0.0, applyHeld = 0.0, total = 0.0;
    for (auto _ : state) {
        const double start = residentBytes();
        resetPeak();
        gScene->open();
        auto* e = gScene->editor();
        openPeak = (peakBytes() - start) / kFloatBytes;

        auto s = e->state;
        s.start = kFrames / 10;
        s.end = kFrames - kFrames / 10;
        s.fadeInMs = 20.0;
        s.fadeOutMs = 500.0;
        s.gainDb = -3.0;
        e->pushState(s, "Edit sample");

        double before = residentBytes();
        resetPeak();
        const auto t0 = Clock::now();
        e->startPlayback();
        total += seconds(t0, Clock::now());
        playPeak = (peakBytes() - before) / kFloatBytes;
        playHeld = (residentBytes() - before) / kFloatBytes;
        e->stopPlayback();

        before = residentBytes();
        resetPeak();
        const auto t1 = Clock::now();
        const bool ok = e->applyEdits();
        total += seconds(t1, Clock::now());
        applyPeak = (peakBytes() - before) / kFloatBytes;
        applyHeld = (residentBytes() - before) / kFloatBytes;
        if (!ok) state.SkipWithError("apply refused");
        state.SetIterationTime(seconds(t0, Clock::now()));

        state.PauseTiming();
        gScene->close();
        gScene->overlay->undoManager().undo();
        state.ResumeTiming();
    }
    state.counters["open_peak_x"] = openPeak;
    state.counters["play_peak_x"] = playPeak;
    state.counters["play_held_x"] = playHeld;
    state.counters["apply_peak_x"] = applyPeak;
    state.counters["apply_held_x"] = applyHeld;
    state.counters["float_MB"] = kFloatBytes / 1e6;
}

// One value of a live gesture: the texts and levels refreshed and both views
// painted, as every slider value and handle-drag event does, against one
// 33 ms frame.
void liveValues(benchmark::State& state, bool moveRegion, bool removeDc = false) {
    gScene->open();
    auto* e = gScene->editor();
    if (removeDc) {
        auto s = e->state;
        s.removeDc = true;
        e->pushState(s, "Remove DC offset");
    }
    double total = 0.0;
    int64_t k = 0;
    for (auto _ : state) {
        auto s = e->state;
        ++k;
        if (moveRegion)
            s.start = k * 4800;
        else
            s.gainDb = static_cast<double>(k % 40) * 0.1;
        const auto t0 = Clock::now();
        e->setLiveState(s);
        paintViews(*e);
        const double t = seconds(t0, Clock::now());
        state.SetIterationTime(t);
        total += t;
    }
    state.counters["vs_frame"] = total / static_cast<double>(state.iterations()) / 0.033;
    gScene->close();
}

void gainDragValue(benchmark::State& state) { liveValues(state, false); }
void handleDragValue(benchmark::State& state) { liveValues(state, true); }
// With DC removal on, every step also moves the means the views draw with.
void handleDragValueDc(benchmark::State& state) { liveValues(state, true, true); }

// Space on an edited 8-minute region: the time until the output device
// gets its first sound (the fake device pulls 256-frame blocks as a real one
// would), against the 100 ms goal; the floor is rendering the first 4096
// frames of the same edit directly.
void playbackStart(benchmark::State& state) {
    gScene->open();
    auto* e = gScene->editor();
    auto s = e->state;
    s.start = kFrames / 10 + 1;
    s.end = kFrames - kFrames / 10;
    s.fadeInMs = 20.0;
    s.gainDb = -3.0;
    e->pushState(s, "Edit sample");
    auto* device = vt6::test::fakeDevice(gScene->audition.deviceManager());
    double total = 0.0, floor = 0.0;
    for (auto _ : state) {
        {
            auto head = e->state;
            head.end = head.start + 4096;
            const auto t0 = Clock::now();
            const auto piece = vt6::ui::zemedit::renderSampleEdit(head, e->sourceView());
            benchmark::DoNotOptimize(piece.data());
            floor += seconds(t0, Clock::now());
        }
        device->left.clear();
        const auto t0 = Clock::now();
        e->startPlayback();
        bool sound = false;
        while (!sound && seconds(t0, Clock::now()) < 30.0) {
            const size_t at = device->left.size();
            device->render(256);
            for (size_t i = at; i < device->left.size() && !sound; ++i) sound = device->left[i] != 0.0f;
        }
        const double t = seconds(t0, Clock::now());
        state.SetIterationTime(t);
        total += t;
        state.PauseTiming();
        e->stopPlayback();
        auto again = e->state;
        again.gainDb -= 0.1;
        e->pushState(again, "Gain");  // a fresh render next time, not a replay
        state.ResumeTiming();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["start_ms"] = total / n * 1000.0;
    state.counters["vs_100ms_goal"] = total / n / 0.1;
    state.counters["floor_first_4096_ms"] = floor / n * 1000.0;
    state.counters["vs_floor"] = total / floor;
    gScene->close();
}

// The first Apply of a processed edit: the time applyEdits holds the
// message thread (what the window froze for when the Apply answer ran it),
// against one 33 ms frame.
void applySync(benchmark::State& state) {
    double total = 0.0;
    for (auto _ : state) {
        gScene->open();
        auto* e = gScene->editor();
        auto s = e->state;
        s.gainDb = -3.0;
        s.fadeOutMs = 500.0;
        e->pushState(s, "Gain");
        const auto t0 = Clock::now();
        const bool ok = e->applyEdits();
        const double t = seconds(t0, Clock::now());
        if (!ok) state.SkipWithError("apply refused");
        state.SetIterationTime(t);
        total += t;
        state.PauseTiming();
        gScene->close();
        gScene->overlay->undoManager().undo();
        state.ResumeTiming();
    }
    state.counters["freeze_vs_frame"] = total / static_cast<double>(state.iterations()) / 0.033;
}

// The Apply answer as the editor now runs it: the longest the message thread
// waits while the edit renders and the host takes it, against one frame.
void applyInBackground(benchmark::State& state) {
    double longest = 0.0;
    for (auto _ : state) {
        gScene->open();
        auto* e = gScene->editor();
        auto s = e->state;
        s.gainDb = -3.0;
        s.fadeOutMs = 500.0;
        e->pushState(s, "Gain");
        const auto t0 = Clock::now();
        bool done = false;
        {
            vt6::bench::StallProbe probe;
            e->applyEditsInBackground([&done](bool) { done = true; });
            while (!done && seconds(t0, Clock::now()) < 60.0)
                juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
            // Once more, so that the probe's last post is seen.
            juce::MessageManager::getInstance()->runDispatchLoopUntil(5);
            longest = std::max(longest, probe.longestMs());
        }
        state.SetIterationTime(seconds(t0, Clock::now()));
        state.PauseTiming();
        gScene->close();
        gScene->overlay->undoManager().undo();
        state.ResumeTiming();
    }
    state.counters["longest_stall_ms"] = longest;
    state.counters["stall_vs_frame"] = longest / 33.0;
}

// AUTO-TRIM: how long the press holds the message thread, and how long
// until its step arrives, each against one 33 ms frame.
void autoTrimPress(benchmark::State& state) {
    gScene->open();
    auto* e = gScene->editor();
    double stall = 0.0, done = 0.0;
    for (auto _ : state) {
        e->undoManager.clearUndoHistory();
        const auto t0 = Clock::now();
        e->autoTrim();
        const auto t1 = Clock::now();
        while (!e->undoManager.canUndo() && seconds(t0, Clock::now()) < 60.0)
            juce::MessageManager::getInstance()->runDispatchLoopUntil(1);
        state.SetIterationTime(seconds(t0, t1));
        stall += seconds(t0, t1);
        done += seconds(t0, Clock::now());
        e->undoManager.undo();
    }
    const auto n = static_cast<double>(state.iterations());
    state.counters["stall_vs_frame"] = stall / n / 0.033;
    state.counters["result_vs_frame"] = done / n / 0.033;
    gScene->close();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    {
        juce::ScopedJuceInitialiser_GUI gui;
        Scene scene;
        gScene = &scene;
        if (scene.uid != 0) {
            benchmark::RegisterBenchmark("Floor/CopyTheAudio/10min48kStereo", floorCopy)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
            benchmark::RegisterBenchmark("OpenSampleEditor/10min48kStereo", openEditor)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
            // First, so that it is the sample's first replacement (which also
            // keeps the audio from before as version 0).
            benchmark::RegisterBenchmark("ApplyInBackground/10min48kStereo", applyInBackground)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
            benchmark::RegisterBenchmark("OpenPlayApplyMemory/10min48kStereo", openPlayApply)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
            benchmark::RegisterBenchmark("GainDragValue/10min48kStereo", gainDragValue)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
            benchmark::RegisterBenchmark("HandleDragValue/10min48kStereo", handleDragValue)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
            benchmark::RegisterBenchmark("HandleDragValueDcRemoved/10min48kStereo", handleDragValueDc)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);
            benchmark::RegisterBenchmark("PlaybackStart/10min48kStereo", playbackStart)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);
            benchmark::RegisterBenchmark("ApplySync/10min48kStereo", applySync)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
            benchmark::RegisterBenchmark("AutoTrimPress/10min48kStereo", autoTrimPress)
                ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);
            benchmark::RunSpecifiedBenchmarks();
        }
        gScene = nullptr;
    }
    benchmark::Shutdown();
    return 0;
}
