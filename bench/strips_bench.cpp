// Strip clicks and drum-type changes in the editor, each with a paint of the
// whole editor, against a full structure rebuild with the same paint (the
// floor, measured in the same run) and against one 33 ms animation frame. A file of
// 5,000 samples over 4 room channels and 4 articulations. Needs a display:
// run under xvfb-run.

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "audio/sample_file_builder.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "format/writer.hpp"
#include "overlay_rebuild.hpp"

namespace {

using vt6::ui::zemedit::ReorderStrip;
using vt6::ui::zemedit::ZemEditDeps;
using vt6::ui::zemedit::ZemEditOverlay;
using Clock = std::chrono::steady_clock;

std::string gFile;

std::string writeFile(const std::string& path) {
    vt6::test::SampleFileBuilder builder;
    for (int i = 0; i < 5000; ++i) {
        vt6::test::SampleRecipe recipe;
        recipe.rate = 44100;
        recipe.frames = 400;
        recipe.seed = static_cast<uint32_t>(i + 1);
        builder.add(recipe);
    }
    auto m = builder.model();
    m.metadata.name = "Many";
    const char* layers[] = {"Direct", "Room A", "Room B", "Room C"};
    for (int l = 0; l < 4; ++l) {
        vt6::fmt::LayerDef def;
        def.id = static_cast<uint64_t>(l + 1);
        def.name = layers[l];
        def.slot = l;
        m.metadata.layers.push_back(def);
    }
    const char* articulations[] = {"CENTER", "RIMSHOT", "SIDESTICK", "EDGE"};
    for (int a = 0; a < 4; ++a) {
        vt6::fmt::ArticulationDef def;
        def.id = static_cast<uint64_t>(a + 1);
        def.name = articulations[a];
        m.metadata.articulations.push_back(def);
    }
    for (int g = 0; g < 4; ++g) {
        vt6::fmt::BandDef band;
        band.id = static_cast<uint64_t>(g + 1);
        band.low = g / 4.0;
        band.high = (g + 1) / 4.0;
        band.name = "G" + std::to_string(g + 1);
        m.metadata.dynamics.push_back(band);
    }
    for (size_t i = 0; i < m.samples.size(); ++i) {
        auto& row = m.samples[i];
        row.name = "Hit " + std::to_string(i + 1);
        row.layer = i % 4 + 1;
        row.articulation = (i / 4) % 4 + 1;
        row.band = (i / 16) % 4 + 1;
    }
    if (!vt6::fmt::writeZem6File(path, m, builder.payloads()).ok()) return {};
    return path;
}

// The editor at the shell's size, painted by the software renderer the
// window's peer uses.
struct Mounted {
    juce::Component host;
    std::unique_ptr<ZemEditOverlay> overlay;
    juce::Image frame{juce::Image::ARGB, 1280, 689, true};
    ReorderStrip* articulations = nullptr;
    juce::ComboBox* drumType = nullptr;

    Mounted() {
        ZemEditDeps deps;
        deps.standalone = true;
        deps.filePath = gFile;
        host.setSize(1280, 689);
        overlay = std::make_unique<ZemEditOverlay>(std::move(deps));
        overlay->setBounds(host.getLocalBounds());
        host.addAndMakeVisible(*overlay);
        for (auto* child : overlay->getChildren()) {
            if (child->getName() == "Articulation filters") articulations = dynamic_cast<ReorderStrip*>(child);
            if (child->getName() == "Drum type") drumType = dynamic_cast<juce::ComboBox*>(child);
        }
        // The standalone articulation strip sits in a viewport.
        if (articulations == nullptr)
            for (auto* child : overlay->getChildren())
                if (auto* viewport = dynamic_cast<juce::Viewport*>(child))
                    articulations = dynamic_cast<ReorderStrip*>(viewport->getViewedComponent());
        paint();
    }
    void paint() {
        juce::Graphics g(frame);
        host.paintEntireComponent(g, false);
    }
};

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

void report(benchmark::State& state, double total, double floor) {
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["vs_rebuild"] = mean / floor;
    state.counters["vs_frame"] = mean / 0.033;
    state.counters["rebuild_ms"] = floor * 1000.0;
}

void stripClickToPage(benchmark::State& state) {
    Mounted m;
    if (m.articulations == nullptr || m.articulations->getNumSegments() < 4) {
        state.SkipWithError("no articulation strip");
        return;
    }
    const double floor = vt6::bench::rebuildFloor(m);
    double total = 0.0;
    int segment = 1;
    for (auto _ : state) {
        segment = segment == 1 ? 2 : 1;
        const auto t0 = Clock::now();
        m.articulations->setSelectedIndex(segment, true);
        m.paint();
        const double s = seconds(t0, Clock::now());
        total += s;
        state.SetIterationTime(s);
    }
    report(state, total, floor);
}

void drumTypeChange(benchmark::State& state) {
    Mounted m;
    if (m.drumType == nullptr) {
        state.SkipWithError("no drum-type chip");
        return;
    }
    const double floor = vt6::bench::rebuildFloor(m);
    double total = 0.0;
    int id = 1;
    for (auto _ : state) {
        id = id == 1 ? 2 : 1;
        const auto t0 = Clock::now();
        m.drumType->setSelectedId(id, juce::sendNotificationSync);
        m.paint();
        const double s = seconds(t0, Clock::now());
        total += s;
        state.SetIterationTime(s);
    }
    report(state, total, floor);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const auto folder = std::filesystem::temp_directory_path() / ("zem_strips_bench_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    gFile = writeFile((folder / "many.zem").string());
    if (!gFile.empty()) {
        juce::ScopedJuceInitialiser_GUI gui;
        benchmark::RegisterBenchmark("Floor/RebuildStructureAndPaint/5000Samples", vt6::bench::rebuildAndPaint<Mounted>)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(30);
        benchmark::RegisterBenchmark("StripClickToPage/5000Samples", stripClickToPage)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(60);
        benchmark::RegisterBenchmark("DrumTypeChange/5000Samples", drumTypeChange)
            ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(60);
        benchmark::RunSpecifiedBenchmarks();
    }
    benchmark::Shutdown();
    std::filesystem::remove_all(folder);
    return gFile.empty() ? 1 : 0;
}
