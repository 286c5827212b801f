#pragma once
// The editor of one sample's audio, shown over the whole zem editor. Every
// edit is a SampleEditState value recorded as one step of the editor's own
// undo history; nothing reaches the document until the user applies it, and
// then only as one step of the zem editor's history.

#include <juce_gui_basics/juce_gui_basics.h>

#include <atomic>
#include <functional>
#include <cstdint>
#include <memory>
#include <thread>

#include "editor/ui/sample_edit_state.hpp"
#include "editor/ui/sample_wave_view.hpp"
#include "widgets/buttons.hpp"
#include "widgets/segment_group.hpp"
#include "widgets/slider.hpp"

namespace vt6::ui::zemedit {

class SampleEditor : public juce::Component, public juce::Timer, public SampleViewHost {
public:
    using Wave = SampleWaveView;
    using Overview = SampleOverview;

    // One recorded edit: the state before and after. Steps are never merged.
    class StateAction : public juce::UndoableAction {
    public:
        StateAction(SampleEditor& editor, const SampleEditState& before, const SampleEditState& after);
        ~StateAction() override;
        bool perform() override { return applyState(after); }
        bool undo() override { return applyState(before); }
        int getSizeInUnits() override { return 1; }
        juce::UndoableAction* createCoalescedAction(juce::UndoableAction*) override { return nullptr; }
        bool applyState(const SampleEditState& s);

    private:
        juce::Component::SafePointer<SampleEditor> editor;
        SampleEditState before, after;
    };

    explicit SampleEditor(SampleEditorDeps deps);
    // With what a loading worker built ahead from deps.audio.
    using Prebuilt = SampleEditorPrebuilt;
    SampleEditor(SampleEditorDeps deps, Prebuilt prebuilt);
    ~SampleEditor() override;

    void mouseDown(const juce::MouseEvent&) override;
    void visibilityChanged() override;
    void parentHierarchyChanged() override;
    void paint(juce::Graphics&) override;
    bool keyPressed(const juce::KeyPress&) override;
    void resized() override;
    void timerCallback() override;

    // The only way an edit reaches `state`: kept inside the source, then one
    // named undo step, or nothing when it equals the current state.
    void pushState(SampleEditState s, const juce::String& name);
    // Re-derives every text and control from the state.
    void statsText();
    void setupInfo();
    void setView(double start, double length);
    void zoomAbout(double factor, double anchor);
    void zoomToTrim();
    void repaintViews();
    // With a streaming host the audition starts at once and renders while it
    // plays; true until every frame of it is rendered.
    void startPlayback();
    bool auditionRendering() const noexcept {
        return stream != nullptr && stream->ready.load(std::memory_order_acquire) != stream->frames;
    }
    void beginPlaying();
    void stopPlayback();
    void requestClose();
    // Hands the edit to the host; true when it took it (or there is no host).
    bool applyEdits();
    // The same, with the long render on a worker: the editor is disabled
    // with a wait cursor until the host has taken the edit, then `done` runs
    // with the result (not at all when the editor is gone by then).
    void applyEditsInBackground(std::function<void(bool)> done);
    bool applyRunning() const noexcept { return applying; }
    // Finds the hits on a worker; the AUTO-TRIM button stays disabled until
    // the result arrives and becomes the step. Ignored while one runs.
    void autoTrim();
    bool autoTrimRunning() const noexcept { return autoTrimBusy; }
    void trimSilence();
    void showProcessMenu();
    void commitFadeField(bool fadeIn);
    int64_t nearestZeroCrossing(int64_t frame, int64_t radius) const;

    // What the waveform and overview read and change.
    InterleavedAudioView sourceView() const noexcept override;
    const SampleEditState& editState() const override { return state; }
    const ChannelMeans& meanTable() const override { return means; }
    juce::Colour audioColour() const override { return juce::Colour(deps.colour); }
    double windowStart() const override { return viewStart; }
    double windowLength() const override { return viewLength; }
    int64_t shownPlayheadFrame() const override { return playing ? playheadFrame : -1; }
    bool snapOn() const override { return snap; }
    void setLiveState(const SampleEditState& s) override;
    void recordStep(const SampleEditState& after, const juce::String& name) override { pushState(after, name); }
    void moveView(double start, double length) override { setView(start, length); }
    void zoomView(double factor, double anchorFrame) override { zoomAbout(factor, anchorFrame); }
    void setLastHandle(int32_t handle) override { lastHandle = handle; }
    void takeFocus() override { grabKeyboardFocus(); }
    int captionWidth(const juce::Label& label) const;
    int fieldWidth(const juce::Label& label, const juce::String& text) const;

    SampleEditorDeps deps;
    int64_t sourceFrames = 0;
    float sourcePeak = 0.0f;
    SampleEditState state{};
    SampleEditState appliedState{};
    SampleEditState gestureStart{};
    ChannelMeans means{};
    int32_t lastHandle = 0;
    bool snap = true;
    bool playAll = false;
    double thresholdDb = -60.0;
    juce::UndoManager undoManager{30000, 200};
    double viewStart = 0.0;
    double viewLength = 1.0;
    bool playing = false;
    bool loop = false;
    double playStartMs = 0.0;
    // The region the running audition plays, as it was when it started: an
    // edit during playback does not change what is heard.
    int64_t playedStart = 0, playedEnd = 0;
    bool playedReverse = false;
    double lastSpaceMs = -1e9;
    int64_t playheadFrame = -1;

private:
    friend class SampleEditorTestAccess;

    void addCaption(juce::Label& label, const juce::String& text);
    void addValueField(juce::Label& label, const juce::String& tooltip);
    void setupChildren();
    void toggleLoop();
    void togglePlayAll();
    void nudge(int64_t delta);
    bool trimAtPlayhead(bool atStart);

    // The region's processed peak and RMS and the channel means depend only on
    // these fields; a gain drag or a fade edit reuses them instead of scanning
    // a long sample again on every value.
    struct MeasureKey {
        int64_t start = -1, end = -1;
        bool reverse = false, removeDc = false;
        uint8_t channelMode = 0;
        bool operator==(const MeasureKey&) const = default;
    };
    // What the auto-trim worker found: the region, and whether it came from a hit.
    struct AutoTrimResult {
        int64_t start = 0, end = 0;
        bool fromHit = false;
    };
    void finishAutoTrim(const AutoTrimResult& result);
    // Audition of a long region renders on a worker while it plays.
    void stopRender();
    std::shared_ptr<lib::StreamedAudio> stream;
    SampleEditState streamState{};
    bool streamAll = false;
    std::thread renderThread;
    std::atomic<bool> renderCancel{false};

    void finishApply(std::vector<float> audio, const std::function<bool()>& commit, const SampleEditState& applied,
                     const std::function<void(bool)>& done);
    std::thread applyThread;
    bool applying = false;

    std::thread autoTrimThread;
    std::atomic<bool> autoTrimCancel{false};
    bool autoTrimBusy = false;

    MeasureKey measuredKey;
    PeakRms measured;
    // Block sums of the source: a long region's levels without a pass over it.
    RegionMeter meter;
    std::shared_ptr<const SourceExtremes> keptExtremes;  // offered to the views until they hold it
    // Regions up to this long are measured frame by frame (exact and cheap).
    static constexpr int64_t kDirectMeasureFrames = int64_t{1} << 16;

    juce::Label titleLabel, nameLabel, infoLabel, fadeInCaption, fadeInField, fadeOutCaption, fadeOutField,
        shapeCaption, thresholdCaption, thresholdField, gainCaption, gainField, statsLabel, hintLabel;
    widgets::V6Button doneButton{"DONE", 2};
    widgets::V6Button loopButton{"LOOP", 0};
    widgets::V6Button allButton{"ALL", 0};
    widgets::V6Button autoTrimButton{"AUTO-TRIM", 0};
    widgets::V6Button trimSilenceButton{"TRIM SILENCE", 0};
    widgets::V6Button snapButton{"SNAP", 0};
    widgets::V6Button processButton;
    widgets::V6Button normalizeButton{"NORMALIZE", 0};
    widgets::V6Button fitButton{"FIT", 0};
    widgets::V6Button trimButton{"TRIM", 0};
    widgets::V6SegmentGroup shapeSelector;
    widgets::V6IconButton closeButton{17, "V6IconButton"};
    widgets::V6IconButton playButton{6, "V6IconButton"};
    widgets::V6IconButton stopButton{7, "V6IconButton"};
    widgets::V6IconButton zoomOutButton{1, "V6IconButton"};
    widgets::V6IconButton zoomInButton{0, "V6IconButton"};
    widgets::V6HSlider gainSlider{"Gain"};

public:
    Overview overview{*this};
    Wave wave{*this};
};

// "−∞ dB" at or below 1e-9, else a signed level with one decimal ("+0.0 dB").
juce::String formatGainDb(double linear);
// The number in a field's text: U+2212 counts as a minus sign, every other
// character outside "-0123456789." is dropped, then the longest leading number
// is read (0 when there is none).
double readFieldNumber(const juce::String& text);

}  // namespace vt6::ui::zemedit
