#pragma once
// A kit for the detail strip and level panel tests, written by the program's
// own writer, and the overlay opened on it in a window of its own so that
// mouse events go through the window's peer as the user's do.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "audio/sample_file_builder.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "editor/ui/peer_mouse.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/preview_service.hpp"

namespace vt6::ui::zemedit {

// Reaches the overlay's detail strip, level button and panel.
class ZemEditOverlayDetailAccess {
public:
    explicit ZemEditOverlayDetailAccess(ZemEditOverlay& o) : o_(o) {}
    DetailStrip& strip() { return o_.detailStrip; }
    widgets::V6IconButton& levelButton() { return o_.levelButton; }
    ChannelLevelPanel* panel() { return o_.levelPanel.get(); }
    juce::Label& title() { return o_.titleLabel; }
    std::vector<LevelRow> rows() const { return o_.buildLevelRows(); }
    void levelChanged(uint32_t index, uint64_t key, double level) { o_.levelChanged(index, key, level); }
    void closePanel(bool commit) { o_.closeLevelPanel(commit); }
    std::vector<std::unique_ptr<BandColumn>>& columns() { return o_.columns; }

private:
    ZemEditOverlay& o_;
};

namespace detailtest {

struct KitSample {
    std::string name;
    uint32_t rate;
    int bits, channels;
    uint64_t layer, articulation, band;  // definition ids
    double power, gain, tune;
};

// Direct, Room A (stored at 1.5) and Room B (0.5, no samples); CENTER and
// RIM; three groups.
inline const std::vector<KitSample>& kitSamples() {
    static const std::vector<KitSample> samples = {
        {"Snare 1", 44100, 16, 2, 1, 1, 1, 0.0, -0.04, -0.5},
        {"Snare 2", 48000, 24, 1, 1, 1, 1, 1.0, 0.0, 2.6},
        {"", 96000, 16, 1, 1, 2, 2, 0.5, -3.0, -0.4},
        {"Snare 1 Room A", 44100, 16, 2, 2, 1, 1, 0.25, 1.5, 0.0},
    };
    return samples;
}

inline std::string writeDetailKit(const std::string& path) {
    test::SampleFileBuilder builder;
    for (size_t i = 0; i < kitSamples().size(); ++i) {
        const auto& k = kitSamples()[i];
        test::SampleRecipe recipe;
        recipe.rate = k.rate;
        recipe.bits = k.bits;
        recipe.channels = k.channels;
        recipe.frames = 1500;
        recipe.seed = static_cast<uint32_t>(i + 7);
        builder.add(recipe);
    }
    fmt::Zem6Model m = builder.model();
    m.metadata.name = "Detail kit";
    const auto layer = [](uint64_t id, const char* name, uint64_t slot, std::optional<double> level) {
        fmt::LayerDef d;
        d.id = id;
        d.name = name;
        d.slot = slot;
        d.level = level;
        return d;
    };
    m.metadata.layers = {layer(1, "Direct", 0, std::nullopt), layer(2, "Room A", 1, 1.5),
                         layer(3, "Room B", 2, 0.5)};
    for (uint64_t id : {1u, 2u}) {
        fmt::ArticulationDef a;
        a.id = id;
        a.name = id == 1 ? "CENTER" : "RIM";
        m.metadata.articulations.push_back(a);
    }
    for (int g = 0; g < 3; ++g) {
        fmt::BandDef band;
        band.id = static_cast<uint64_t>(g + 1);
        band.low = g / 3.0;
        band.high = (g + 1) / 3.0;
        band.name = "G" + std::to_string(g + 1);
        m.metadata.dynamics.push_back(band);
    }
    for (size_t i = 0; i < m.samples.size(); ++i) {
        const auto& k = kitSamples()[i];
        auto& row = m.samples[i];
        row.name = k.name;
        row.layer = k.layer;
        row.articulation = k.articulation;
        row.band = k.band;
        row.rms = k.power;
        row.opaque_float_14 = k.gain;
        row.opaque_float_15 = k.tune;
    }
    const auto written = fmt::writeZem6File(path, m, builder.payloads());
    if (!written.ok()) {
        ADD_FAILURE() << "write failed: " << written.message();
        return {};
    }
    return path;
}

// Records what the overlay asks to play.
struct RecordingPreview : lib::PreviewService {
    int auditions = 0, plays = 0;
    bool auditionSample(const std::string&, int32_t) override {
        ++auditions;
        return true;
    }
    void stop() override {}
    bool play(const float*, size_t, int32_t, int32_t) override {
        ++plays;
        return true;
    }
    void setGain(float) override {}
    float gain() override { return 1.0f; }
};

struct Shown {
    juce::Component host;
    std::unique_ptr<ZemEditOverlay> overlay;
    test::PeerMouse mouse{host};

    explicit Shown(ZemEditDeps deps, int w = 1280, int h = 689) {
        host.setSize(w, h);
        overlay = std::make_unique<ZemEditOverlay>(std::move(deps));
        overlay->setBounds(host.getLocalBounds());
        host.addAndMakeVisible(*overlay);
        host.addToDesktop(0);
        host.setVisible(true);
        test::pumpUntil([&] { return host.getPeer() != nullptr; }, 1000);
    }
    ~Shown() {
        host.removeFromDesktop();
        overlay.reset();
    }
    ZemEditOverlay* operator->() { return overlay.get(); }
    ZemEditOverlay& operator*() { return *overlay; }

    juce::Point<float> at(juce::Component& c, juce::Point<float> local) { return host.getLocalPoint(&c, local); }
    void click(juce::Component& c, juce::Point<float> local, int mods = 0) {
        mouse.gesture(at(c, local), std::nullopt, false, mods);
    }
    void click(juce::Component& c) { click(c, c.getLocalBounds().toFloat().getCentre()); }
    // Press at `from`, move through each of `through`, release at the last.
    void drag(juce::Component& c, juce::Point<float> from, std::initializer_list<juce::Point<float>> through) {
        mouse.send(at(c, from), {}, 1000);
        mouse.send(at(c, from), test::PeerMouse::held(false));
        juce::Point<float> last = from;
        for (const auto& p : through) {
            last = p;
            mouse.send(at(c, p), test::PeerMouse::held(false));
        }
        mouse.send(at(c, last), {});
    }

    // Undo steps on the overlay's undo manager.
    int steps() {
        int n = 0;
        auto& um = overlay->undoManager();
        while (um.canUndo()) {
            um.undo();
            ++n;
        }
        for (int i = 0; i < n; ++i) um.redo();
        return n;
    }
};

inline ZemEditDeps depsFor(const std::string& path, bool standalone = true) {
    ZemEditDeps d;
    d.standalone = standalone;
    d.filePath = path;
    return d;
}

inline uint64_t uidNamed(const logic::EditDocument& doc, const std::string& name) {
    for (const auto& s : doc.samples)
        if (s.name == name && doc.uidIndex.count(s.uid) != 0) return s.uid;
    ADD_FAILURE() << "no sample " << name;
    return 0;
}

}  // namespace detailtest
}  // namespace vt6::ui::zemedit
