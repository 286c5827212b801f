// A room channel's default level changed in the editor's level panel: the
// slider gesture, the undo step, the refresh after it (also the one the undo
// manager's change message brings) and a paint of the whole editor, on a
// 5,000-sample file (8 room channels, 4 articulations, 8 dynamic groups).
// Set against a full structure rebuild with the same paint (the floor,
// measured in the same run) and against one 33 ms animation frame.
// Needs a display: run under xvfb-run.

#include <benchmark/benchmark.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench_kit.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "overlay_rebuild.hpp"

namespace {

using vt6::ui::zemedit::ZemEditDeps;
using vt6::ui::zemedit::ZemEditOverlay;
using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

juce::Component* childNamed(juce::Component& parent, const juce::String& name) {
    for (auto* child : parent.getChildren())
        if (child->getName() == name) return child;
    return nullptr;
}

// The editor at the shell's size over the converted model, painted by the
// software renderer the window's peer uses, with the level panel open.
struct Mounted {
    juce::Component host;
    std::unique_ptr<ZemEditOverlay> overlay;
    juce::Image frame{juce::Image::ARGB, 1280, 689, true};
    std::vector<juce::Slider*> sliders;

    Mounted() {
        ZemEditDeps deps;
        deps.standalone = true;
        deps.filePath = "benchmark.zem";
        deps.model = std::make_shared<const vt6::fmt::Zem6Model>(vt6::bench::benchmarkKitModel({}));
        host.setSize(1280, 689);
        overlay = std::make_unique<ZemEditOverlay>(std::move(deps));
        overlay->setBounds(host.getLocalBounds());
        host.addAndMakeVisible(*overlay);
        if (auto* button = dynamic_cast<juce::Button*>(childNamed(*overlay, "Room channel default levels"));
            button != nullptr && button->onClick)
            button->onClick();
        if (auto* panel = childNamed(*overlay, "Room Channel Default Levels"))
            for (auto* child : panel->getChildren())
                if (auto* slider = dynamic_cast<juce::Slider*>(child)) sliders.push_back(slider);
        paint();
    }
    void paint() {
        juce::Graphics g(frame);
        host.paintEntireComponent(g, false);
    }
    // What a release of the slider at a new value sets off on the message
    // thread, the undo manager's change message included.
    void changeLevel(juce::Slider& slider, double percent) {
        {
            const juce::Slider::ScopedDragNotification gesture(slider);
            slider.setValue(percent, juce::sendNotificationSync);
        }
        overlay->undoManager().dispatchPendingMessages();
        paint();
    }
};

void levelChange(benchmark::State& state) {
    Mounted m;
    // Direct and Room A to C: four rows.
    if (m.sliders.size() != 4) {
        state.SkipWithError("the level panel did not open with four rows");
        return;
    }
    auto& slider = *m.sliders[1];
    const double floor = vt6::bench::rebuildFloor(m);
    double total = 0.0;
    double percent = 50.0;
    int64_t steps = 0;
    for (auto _ : state) {
        percent = percent == 50.0 ? 60.0 : 50.0;
        const auto t0 = Clock::now();
        m.changeLevel(slider, percent);
        const double s = seconds(t0, Clock::now());
        total += s;
        state.SetIterationTime(s);
        ++steps;
    }
    // The last change must have reached the document as an undo step.
    if (m.overlay->undoManager().getUndoDescription() != "Set room channel default level" ||
        m.overlay->document().layerDefaultLevel(1, true) != percent / 100.0)
        state.SkipWithError("the level change was not stored");
    const double mean = total / static_cast<double>(state.iterations());
    state.counters["vs_frame"] = mean / 0.033;
    state.counters["vs_rebuild"] = mean / floor;
    state.counters["rebuild_ms"] = floor * 1000.0;
    state.counters["steps"] = static_cast<double>(steps);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    juce::ScopedJuceInitialiser_GUI gui;
    benchmark::RegisterBenchmark("Floor/RebuildStructureAndPaint/5000Samples", vt6::bench::rebuildAndPaint<Mounted>)
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(20);
    benchmark::RegisterBenchmark("LevelChange/5000Samples", levelChange)
        ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(60);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
