#pragma once
// The sample editor's two views of the audio: the waveform (the view window,
// channel rows, ruler, trim handles, fade curves and tabs, playhead) and the
// overview strip (the whole sample with the view window marked). Both read
// everything from their host at paint time and keep no copy of the audio;
// they change the edit only through the host, so every gesture ends up as one
// undo step of the editor.
//
// Per-pixel peaks are kept between paints while nothing that shapes them
// (source, view window, width, reversal, channel mode, DC means) changes;
// gain and fades are applied on top at paint time, so the pixels are the same
// as those of a fresh scan.

#include <cstdint>
#include <memory>
#include <vector>

#include <juce_gui_basics/juce_gui_basics.h>

#include "editor/ui/sample_edit_state.hpp"

namespace vt6::ui::zemedit {

// What the waveform and overview need of the sample editor. The editor
// implements it; tests implement it with a plain fixture.
class SampleViewHost {
public:
    virtual ~SampleViewHost() = default;

    // Read at paint time.
    virtual InterleavedAudioView sourceView() const = 0;
    virtual const SampleEditState& editState() const = 0;
    virtual const ChannelMeans& meanTable() const = 0;  // channelMeans of editState()
    virtual juce::Colour audioColour() const = 0;
    virtual double windowStart() const = 0;   // first frame shown by the waveform
    virtual double windowLength() const = 0;  // frames shown by the waveform
    // The source frame under the playhead while auditioning, else -1.
    virtual int64_t shownPlayheadFrame() const = 0;
    virtual bool snapOn() const = 0;

    // A live gesture value (already kept inside the source): becomes the
    // current state without an undo step; the host refreshes its texts and
    // repaints both views.
    virtual void setLiveState(const SampleEditState& state) = 0;
    // One named undo step from the current state to `after` (none when equal).
    virtual void recordStep(const SampleEditState& after, const juce::String& name) = 0;
    virtual void moveView(double start, double length) = 0;
    virtual void zoomView(double factor, double anchorFrame) = 0;
    virtual void setLastHandle(int32_t handle) = 0;  // 0 start, 1 end
    virtual void takeFocus() = 0;
};

// Offers a table built elsewhere (on a loading worker) to the views, which
// then take it instead of building their own. Message thread; the caller
// keeps it alive until the views hold it.
void shareSourceExtremes(const std::shared_ptr<const SourceExtremes>& built);

// What a loading worker can build ahead from a sample's audio for the
// sample editor and its views.
struct SampleEditorPrebuilt {
    RegionMeter meter;
    std::shared_ptr<const SourceExtremes> extremes;
};

// Per-pixel min/max of the processed audio for one width and view window.
// Exposed so that tests can compare a kept cache with a fresh scan.
class PeakColumns {
public:
    struct Key {
        const float* samples = nullptr;
        int64_t frames = 0;
        int32_t channels = 0;
        int32_t width = 0;
        double viewStart = 0.0;
        double viewLength = 0.0;
        // Only the state fields that move processed values; start and end
        // count only when reversal or DC removal depends on them.
        bool reverse = false;
        uint8_t channelMode = 0;
        int64_t start = 0;
        int64_t end = 0;
        ChannelMeans means{};
        bool operator==(const Key&) const = default;
    };

    // One pixel column of one row: processed min and max and its first frame.
    struct Column {
        float min = 0.0f;
        float max = 0.0f;
        int64_t f0 = 0;
        bool any = false;
    };

    static Key keyFor(const InterleavedAudioView& view, const SampleEditState& state, const ChannelMeans& means,
                      int32_t width, double viewStart, double viewLength);

    // Brings the columns of output channels 0..rows-1 up to date for `key`
    // (rescanned only when the key or the row count changed, or caching is off).
    void update(const Key& key, const InterleavedAudioView& view, const SampleEditState& state,
                const ChannelMeans& means, int32_t rows);
    const std::vector<Column>& row(int32_t r) const { return cols_[static_cast<size_t>(r)]; }
    void invalidate() {
        valid_ = false;
        gainValid_ = false;
        extremes_.reset();
    }
    // editGain of the state, kept while nothing but the fades changes (a
    // normalised gain reads the whole region).
    double gain(const SampleEditState& state, const InterleavedAudioView& view);
    // Off: every paint scans every frame and keeps nothing (tests compare the two).
    bool cachingEnabled = true;

private:
    Key key_{};
    bool valid_ = false;
    std::vector<std::vector<Column>> cols_;
    // Shared by the views of one source (built once, one pass over it).
    std::shared_ptr<const SourceExtremes> extremes_;
    const SourceExtremes* extremesFor(const InterleavedAudioView& view);
    const float* gainSamples_ = nullptr;
    int64_t gainFrames_ = -1;
    int32_t gainChannels_ = 0;
    SampleEditState gainState_{};
    double gain_ = 1.0;
    bool gainValid_ = false;
};

class SampleWaveView : public juce::Component, public juce::SettableTooltipClient {
public:
    // Targets of a press, hover or drag.
    enum Target : int32_t { None = 0, StartHandle = 1, EndHandle = 2, FadeInTab = 3, FadeOutTab = 4, Pan = 5 };

    explicit SampleWaveView(SampleViewHost& host);
    ~SampleWaveView() override;

    void mouseMove(const juce::MouseEvent& e) override;
    void mouseExit(const juce::MouseEvent& e) override;
    void mouseDown(const juce::MouseEvent& e) override;
    void mouseDrag(const juce::MouseEvent& e) override;
    void mouseUp(const juce::MouseEvent& e) override;
    void mouseDoubleClick(const juce::MouseEvent& e) override;
    void mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) override;
    void mouseMagnify(const juce::MouseEvent& e, float scaleFactor) override;
    void paint(juce::Graphics& g) override;

    int32_t targetAt(float x, float y) const;
    float fadeTabX(int64_t frame, float width) const;
    void paintRuler(juce::Graphics& g, int width);
    // The ruler's major step for a scale: the first of 0.05 ms .. 10 s whose
    // ticks lie at least 72 px apart (10 s when none does).
    static double rulerMajorStepMs(double msPerPixel);
    // A major tick's label: seconds from 1000 ms on, else milliseconds.
    static juce::String rulerLabel(double timeMs, double majorStepMs);

    int32_t dragTarget = 0;
    int32_t hoverTarget = 0;
    SampleEditState dragStartState{};
    double dragStartViewStart = 0.0;

    // Kept per-pixel peaks; tests switch caching off to compare.
    PeakColumns peaks;

private:
    float xOf(double frame) const;
    void updateCursor();
    SampleViewHost& host_;
};

class SampleOverview : public juce::Component {
public:
    explicit SampleOverview(SampleViewHost& host);
    ~SampleOverview() override;

    void mouseMove(const juce::MouseEvent& e) override;
    void mouseDown(const juce::MouseEvent& e) override;
    void mouseDrag(const juce::MouseEvent& e) override;
    void mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) override;
    void paint(juce::Graphics& g) override;

    double dragStartViewStart = 0.0;

    PeakColumns peaks;

private:
    SampleViewHost& host_;
};

}  // namespace vt6::ui::zemedit
