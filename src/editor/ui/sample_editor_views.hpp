#pragma once
// The sample editor's waveform and overview as its nested Wave and Overview:
// the views themselves (sample_wave_view.hpp) reach the editor through a
// small host adapter over the editor's own members, so they stay testable
// without a whole editor. Include after the editor's class definition.

#include "editor/ui/sample_editor.hpp"
#include "editor/ui/sample_wave_view.hpp"

namespace vt6::ui::zemedit {

// The editor's members, as the views need them.
class SampleEditorViewHost : public SampleViewHost {
public:
    explicit SampleEditorViewHost(SampleEditor& editor) : editor_(editor) {}

    InterleavedAudioView sourceView() const override { return editor_.sourceView(); }
    const SampleEditState& editState() const override { return editor_.state; }
    const ChannelMeans& meanTable() const override { return editor_.means; }
    juce::Colour audioColour() const override { return juce::Colour(editor_.deps.colour); }
    double windowStart() const override { return editor_.viewStart; }
    double windowLength() const override { return editor_.viewLength; }
    int64_t shownPlayheadFrame() const override { return editor_.playing ? editor_.playheadFrame : -1; }
    bool snapOn() const override { return editor_.snap; }

    void setLiveState(const SampleEditState& state) override {
        editor_.state = state;
        editor_.statsText();
        editor_.repaintViews();
    }
    void recordStep(const SampleEditState& after, const juce::String& name) override {
        editor_.pushState(after, name);
    }
    void moveView(double start, double length) override { editor_.setView(start, length); }
    void zoomView(double factor, double anchorFrame) override { editor_.zoomAbout(factor, anchorFrame); }
    void setLastHandle(int32_t handle) override { editor_.lastHandle = handle; }
    void takeFocus() override { editor_.grabKeyboardFocus(); }

private:
    SampleEditor& editor_;
};

// The adapter is a base so that it exists before the view that uses it.
class SampleEditor::Wave : private SampleEditorViewHost, public SampleWaveView {
public:
    explicit Wave(SampleEditor& editor) : SampleEditorViewHost(editor), SampleWaveView(host()) {}

private:
    SampleViewHost& host() { return *this; }
};

class SampleEditor::Overview : private SampleEditorViewHost, public SampleOverview {
public:
    explicit Overview(SampleEditor& editor) : SampleEditorViewHost(editor), SampleOverview(host()) {}

private:
    SampleViewHost& host() { return *this; }
};

}  // namespace vt6::ui::zemedit
