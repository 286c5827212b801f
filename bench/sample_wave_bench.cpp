// The sample editor's views and renders on a 10-minute 48 kHz stereo sample
// (230 MB of floats): paint time of the waveform and the overview at full
// view (first paint, while playing, during a handle drag), the refresh a
// drag runs per event, and the whole-sample render with its memory. Times
// are reported against one 33 ms animation frame and against a floor
// measured in the same run: one plain min/max pass over the source, the
// least an unkept overview must read. Needs a display: run under xvfb-run.

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "editor/ui/sample_wave_view.hpp"

namespace {

using namespace vt6::ui::zemedit;
using Clock = std::chrono::steady_clock;

constexpr int32_t kRate = 48000;
constexpr int32_t kChannels = 2;
constexpr int64_t kFrames = int64_t{10} * 60 * kRate;
// The views' sizes in the editor at the shell's 1280 x 780.
constexpr int kWaveW = 1260, kWaveH = 520, kOverviewH = 48;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Resident set high-water mark, bytes.
double peakRssBytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) * 1024.0;
    return 0.0;
}

std::vector<float>& source() {
    static std::vector<float> audio = [] {
        std::vector<float> a(static_cast<size_t>(kFrames * kChannels));
        uint32_t noise = 1;
        for (int64_t f = 0; f < kFrames; ++f) {
            // Decaying hits every half second over low noise.
            const double t = static_cast<double>(f % (kRate / 2)) / kRate;
            const double hit = std::exp(-t * 12.0) * std::sin(2.0 * 3.14159265 * 180.0 * t);
            noise = noise * 1664525u + 1013904223u;
            const double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.01;
            a[static_cast<size_t>(f * 2)] = static_cast<float>(0.8 * hit + n);
            a[static_cast<size_t>(f * 2 + 1)] = static_cast<float>(0.6 * hit - n);
        }
        return a;
    }();
    return audio;
}

double floatBytes() { return static_cast<double>(source().size()) * sizeof(float); }

struct Host : SampleViewHost {
    SampleEditState state;
    ChannelMeans means{};
    double start = 0.0, length = static_cast<double>(kFrames);
    int64_t playhead = -1;

    InterleavedAudioView sourceView() const override { return InterleavedAudioView::of(source(), kChannels, kRate); }
    const SampleEditState& editState() const override { return state; }
    const ChannelMeans& meanTable() const override { return means; }
    juce::Colour audioColour() const override { return juce::Colour(0xff40c0a0); }
    double windowStart() const override { return start; }
    double windowLength() const override { return length; }
    int64_t shownPlayheadFrame() const override { return playhead; }
    bool snapOn() const override { return true; }
    void setLiveState(const SampleEditState& s) override {
        state = s;
        means = channelMeans(state, sourceView());
    }
    void recordStep(const SampleEditState& after, const juce::String&) override { setLiveState(after); }
    void moveView(double s, double l) override {
        start = s;
        length = l;
    }
    void zoomView(double, double) override {}
    void setLastHandle(int32_t) override {}
    void takeFocus() override {}
};

struct Views {
    Host host;
    SampleWaveView wave{host};
    SampleOverview overview{host};
    juce::Image waveImage{juce::Image::ARGB, kWaveW, kWaveH, true};
    juce::Image overviewImage{juce::Image::ARGB, kWaveW, kOverviewH, true};

    explicit Views(const SampleEditState& s) {
        host.setLiveState(s);
        wave.setBounds(0, 0, kWaveW, kWaveH);
        overview.setBounds(0, 0, kWaveW, kOverviewH);
    }
    void paint() {
        {
            juce::Graphics g(waveImage);
            wave.paintEntireComponent(g, false);
        }
        juce::Graphics g(overviewImage);
        overview.paintEntireComponent(g, false);
    }
};

SampleEditState trimmed(bool reverse, bool normalize) {
    SampleEditState s;
    s.start = kRate;
    s.end = kFrames - kRate;
    s.fadeInMs = 5.0;
    s.fadeOutMs = 200.0;
    s.reverse = reverse;
    s.normalize = normalize;
    return s;
}

double scanFloor() {
    static const double floor = [] {
        double best = 1e9;
        for (int i = 0; i < 3; ++i) {
            const auto t0 = Clock::now();
            float lo = 0.0f, hi = 0.0f;
            for (const float x : source()) {
                lo = x < lo ? x : lo;
                hi = x > hi ? x : hi;
            }
            benchmark::DoNotOptimize(lo);
            benchmark::DoNotOptimize(hi);
            best = std::min(best, seconds(t0, Clock::now()));
        }
        return best;
    }();
    return floor;
}

// A fresh buffer of the source's size, written once: the least any render of
// the whole sample costs (page faults of new memory included).
double allocFloor() {
    static const double floor = [] {
        double best = 1e9;
        for (int i = 0; i < 2; ++i) {
            const auto t0 = Clock::now();
            std::vector<float> fresh(source().size(), 0.5f);
            benchmark::DoNotOptimize(fresh.data());
            best = std::min(best, seconds(t0, Clock::now()));
        }
        return best;
    }();
    return floor;
}

void report(benchmark::State& state, double total) {
    const double mean = total / static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
    state.counters["vs_frame"] = mean / 0.033;
    state.counters["vs_scan"] = mean / scanFloor();
    state.counters["scan_ms"] = scanFloor() * 1000.0;
}

void floorScan(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(scanFloor());
    state.counters["scan_ms"] = scanFloor() * 1000.0;
}

void floorAlloc(benchmark::State& state) {
    for (auto _ : state) state.SetIterationTime(allocFloor());
    state.counters["alloc_ms"] = allocFloor() * 1000.0;
}

// Both views painted from nothing kept: what the first paint after opening
// (or after a change of reversal, channel mode or DC removal) costs.
void firstPaint(benchmark::State& state) {
    Views v(trimmed(state.range(0) != 0, false));
    double total = 0.0;
    for (auto _ : state) {
        v.wave.peaks.invalidate();
        v.overview.peaks.invalidate();
        const auto t0 = Clock::now();
        v.paint();
        const double s = seconds(t0, Clock::now());
        total += s;
        state.SetIterationTime(s);
    }
    report(state, total);
}

// The 33 ms timer's repaint while auditioning: the playhead moves.
void whilePlaying(benchmark::State& state) {
    Views v(trimmed(false, state.range(0) != 0));
    v.paint();
    double total = 0.0;
    for (auto _ : state) {
        v.host.playhead = (v.host.playhead + 1601) % kFrames;
        const auto t0 = Clock::now();
        v.paint();
        const double s = seconds(t0, Clock::now());
        total += s;
        state.SetIterationTime(s);
    }
    report(state, total);
}

// One drag event of the end handle: the state changes and both views repaint.
// arg 0: plain trim (peaks kept); 1: reversed region (peaks rescanned);
// 2: normalised (gain re-measured).
void handleDrag(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    Views v(trimmed(mode == 1, mode == 2));
    v.paint();
    double total = 0.0;
    int64_t step = 0;
    for (auto _ : state) {
        SampleEditState s = v.host.state;
        s.end = kFrames - kRate - (++step % 50) * 4800;
        const auto t0 = Clock::now();
        v.host.setLiveState(s);
        v.paint();
        const double t = seconds(t0, Clock::now());
        total += t;
        state.SetIterationTime(t);
    }
    report(state, total);
}

// What the editor's text refresh measures on each drag event: means, peak
// and RMS, and the gain.
void refreshMeasures(benchmark::State& state) {
    const SampleEditState s = trimmed(false, state.range(0) != 0);
    const InterleavedAudioView view = InterleavedAudioView::of(source(), kChannels, kRate);
    double total = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        benchmark::DoNotOptimize(channelMeans(s, view));
        benchmark::DoNotOptimize(measurePeakRms(s, view));
        benchmark::DoNotOptimize(editGain(s, view));
        const double t = seconds(t0, Clock::now());
        total += t;
        state.SetIterationTime(t);
    }
    report(state, total);
}

// Applying renders the whole sample once: one new buffer of the source's size.
void renderWhole(benchmark::State& state) {
    SampleEditState s = trimmed(true, true);
    s.removeDc = true;
    const InterleavedAudioView view = InterleavedAudioView::of(source(), kChannels, kRate);
    double total = 0.0, bytes = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        std::vector<float> out = renderWholeSample(s, view);
        const double t = seconds(t0, Clock::now());
        bytes = static_cast<double>(out.capacity()) * sizeof(float);
        benchmark::DoNotOptimize(out.data());
        total += t;
        state.SetIterationTime(t);
    }
    report(state, total);
    state.counters["vs_alloc"] = total / static_cast<double>(state.iterations()) / allocFloor();
    state.counters["alloc_ms"] = allocFloor() * 1000.0;
    state.counters["result_x_float"] = bytes / floatBytes();
    state.counters["rss_peak_x_float"] = peakRssBytes() / floatBytes();
}

// Auditioning renders the trimmed region.
void renderRegion(benchmark::State& state) {
    const SampleEditState s = trimmed(false, false);
    const InterleavedAudioView view = InterleavedAudioView::of(source(), kChannels, kRate);
    double total = 0.0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        std::vector<float> out = renderSampleEdit(s, view);
        benchmark::DoNotOptimize(out.data());
        const double t = seconds(t0, Clock::now());
        total += t;
        state.SetIterationTime(t);
    }
    report(state, total);
    state.counters["vs_alloc"] = total / static_cast<double>(state.iterations()) / allocFloor();
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    juce::ScopedJuceInitialiser_GUI gui;
    source();
    const auto ms = benchmark::kMillisecond;
    benchmark::RegisterBenchmark("Floor/MinMaxScan/10min48kStereo", floorScan)->UseManualTime()->Unit(ms)->Iterations(1);
    benchmark::RegisterBenchmark("Floor/AllocateAndFill/10min48kStereo", floorAlloc)->UseManualTime()->Unit(ms)->Iterations(1);
    benchmark::RegisterBenchmark("Views/FirstPaint/10min48kStereo", firstPaint)
        ->Arg(0)->Arg(1)->UseManualTime()->Unit(ms)->Iterations(5);
    benchmark::RegisterBenchmark("Views/WhilePlaying/10min48kStereo", whilePlaying)
        ->Arg(0)->Arg(1)->UseManualTime()->Unit(ms)->Iterations(30);
    benchmark::RegisterBenchmark("Views/HandleDrag/10min48kStereo", handleDrag)
        ->Arg(0)->Arg(1)->Arg(2)->UseManualTime()->Unit(ms)->Iterations(20);
    benchmark::RegisterBenchmark("Refresh/Measures/10min48kStereo", refreshMeasures)
        ->Arg(0)->Arg(1)->UseManualTime()->Unit(ms)->Iterations(5);
    benchmark::RegisterBenchmark("Render/RegionForAudition/10min48kStereo", renderRegion)
        ->UseManualTime()->Unit(ms)->Iterations(3);
    benchmark::RegisterBenchmark("Render/WholeSampleForApply/10min48kStereo", renderWhole)
        ->UseManualTime()->Unit(ms)->Iterations(3);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
