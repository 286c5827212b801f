#pragma once
// One sample-editor edit as a plain value, what the overlay hands the sample
// editor, and the pure functions that measure the source and render an edit
// onto it. The waveform, the overview, audition and apply all go through the
// same functions, so what the user sees is what applying produces.
//
// Nothing here touches the framework: the maths is testable on its own. All
// functions read the source through an InterleavedAudioView and keep no
// state; only the two render functions allocate (one result buffer each).

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "audio/interleaved_audio_view.hpp"
#include "widgets/preview_service.hpp"

namespace vt6::ui::zemedit {

using fmt::InterleavedAudioView;

struct SampleEditState {
    int64_t start = 0;        // first frame of the trim region (inclusive)
    int64_t end = 0;          // end of the trim region (exclusive)
    double fadeInMs = 0.0;
    double fadeOutMs = 0.0;
    uint8_t fadeShape = 0;    // 0 smooth (raised cosine), 1 linear, 2 exponential; others act as 0
    double gainDb = 0.0;
    bool normalize = false;   // peak-normalise the region instead of applying gainDb
    bool reverse = false;
    bool removeDc = false;    // subtract each channel's mean over the region
    uint8_t channelMode = 0;  // 0 as recorded, 1 swap the first two channels, 2 sum to mono

    // Doubles compare as numbers, so a NaN makes two states unequal.
    bool operator==(const SampleEditState& other) const noexcept;
};

inline constexpr double kMaxFadeMs = 2000.0;

// Per-channel means for DC removal; channels from the ninth on count as 0.
using ChannelMeans = std::array<double, 8>;

struct SampleEditorDeps {
    struct Playhead {
        bool playing = false;
        uint32_t position = 0;  // frames at the preview rate since the start of what plays
        int32_t length = 0;     // frames at the preview rate of what plays
    };

    std::string name;
    std::string groupName;
    uint32_t colour = 0;       // ARGB of the audio in the waveform and overview
    std::vector<float> audio;  // the whole source, interleaved
    int32_t channels = 1;
    int32_t sampleRate = 44100;
    int32_t bitDepth = 16;     // shown only
    int64_t regionStart = 0;
    int64_t regionEnd = 0;     // 0, negative or beyond the audio: the whole sample
    double previewRate = 44100.0;

    std::function<void(std::span<const float> samples, int channels, int rate)> play;
    // Optional: starts auditioning audio that is still being rendered; true
    // when the host took it. Empty or false: the whole buffer goes to play.
    std::function<bool(std::shared_ptr<lib::StreamedAudio> audio)> playStream;
    std::function<void()> stop;
    std::function<Playhead()> playhead;
    std::function<bool(std::vector<float> audio, int channels, int rate, int64_t start, int64_t end)> apply;
    std::function<void()> close;
    // Optional, for applying rendered audio without freezing the window: run
    // on a worker with what apply would get; does the host's long work there
    // and returns what finishes the apply on the message thread (answering
    // as apply does). Empty: apply runs on the message thread.
    std::function<std::function<bool()>(std::vector<float> audio, int channels, int rate, int64_t start, int64_t end)>
        prepareApply;

    SampleEditorDeps() = default;
    SampleEditorDeps(SampleEditorDeps&&) noexcept = default;
    SampleEditorDeps& operator=(SampleEditorDeps&&) noexcept = default;
    SampleEditorDeps(const SampleEditorDeps&) = delete;
    SampleEditorDeps& operator=(const SampleEditorDeps&) = delete;

    // audio size / channels; 0 when the channel count is below 1.
    int64_t sourceFrames() const noexcept;
    // The source audio as a view (no copy).
    InterleavedAudioView sourceView() const noexcept;
};

struct PeakRms {
    float peak = 0.0f;
    double rms = 0.0;
};

// (start, end) of the audio from the first to just past the last frame with a
// channel at or above thresholdDb, widened by a lead-in before and a tail after.
std::pair<int64_t, int64_t> findTrimRegion(const InterleavedAudioView& view, double thresholdDb, double leadInMs,
                                           double tailMs);

// The fade curve at x (clamped to 0..1): 1 linear, 2 x squared, else raised cosine.
double fadeCurve(uint8_t shape, double x);

// Channel means over the region when removeDc is set, else zeros.
ChannelMeans channelMeans(const SampleEditState& state, const InterleavedAudioView& view);

// Source frame f in output channel c after reversal, channel swap or mono sum
// and DC removal; before gain and fades. 0 outside the source.
float processedSampleAt(const SampleEditState& state, const InterleavedAudioView& view, const ChannelMeans& means,
                        int64_t frame, int32_t channel);

// Per-channel extremes of the raw source over fixed blocks of frames, built
// in one pass; range queries then read whole blocks instead of every frame.
// It describes the audio it was built from: rebuild it when the source
// changes (the views rebuild it when the pointer, frames or channels differ).
class SourceExtremes {
public:
    static constexpr int64_t kBlockFrames = 256;

    void build(const InterleavedAudioView& view);
    bool builtFor(const InterleavedAudioView& view) const noexcept {
        return built_ && samples_ == view.samples && frames_ == view.frames && channels_ == view.channels;
    }
    void clear() noexcept { built_ = false; }
    // Smallest and largest raw sample of source channel k over frames [a, b),
    // which must lie inside the source with a < b.
    void rawRange(const InterleavedAudioView& view, int32_t k, int64_t a, int64_t b, float& lo, float& hi) const;

private:
    const float* samples_ = nullptr;
    int64_t frames_ = 0;
    int32_t channels_ = 0;
    bool built_ = false;
    std::vector<float> mins_, maxs_;  // block b, channel k at b * channels + k
};

// Smallest and largest processedSampleAt over frames [f0, f1) of one output
// channel, the range clipped to the source; the same values the per-frame call
// gives, in one pass. {0, 0} and false for an empty range.
struct ProcessedRange {
    float min = 0.0f;
    float max = 0.0f;
    bool any = false;
};
// With extremes built for this source, plain channels are read block-wise
// (the result is the same).
ProcessedRange processedRange(const SampleEditState& state, const InterleavedAudioView& view,
                              const ChannelMeans& means, int64_t f0, int64_t f1, int32_t channel,
                              const SourceExtremes* extremes = nullptr);

// Peak and RMS of the processed region (no gain, no fades).
PeakRms measurePeakRms(const SampleEditState& state, const InterleavedAudioView& view);

// The linear gain of the edit: gainDb, or with normalize the gain that brings
// the processed region's peak to -0.3 dBFS (gainDb when the region is silent).
double editGain(const SampleEditState& state, const InterleavedAudioView& view);
// The same gain, reading the region's peak block-wise when it can.
double editGain(const SampleEditState& state, const InterleavedAudioView& view, const SourceExtremes* extremes);

// Gain times the fade factor of frame i of a region of n frames.
double fadeGainAt(const SampleEditState& state, int64_t i, int64_t n, int32_t sampleRate, double base);

// The edited region as new interleaved audio (region length x channels).
std::vector<float> renderSampleEdit(const SampleEditState& state, const InterleavedAudioView& view);

// renderSampleEdit in pieces, with the same values: the means and gain are
// taken once (a pass over the region), then any run of output frames renders
// on its own. Reads the view's audio, which must outlive it.
class RegionRenderer {
public:
    RegionRenderer(const SampleEditState& state, const InterleavedAudioView& view);
    // Output frames of the region (0 when nothing renders).
    int64_t frames() const noexcept { return frames_; }
    // Output frames [i0, i1) of the region, interleaved, into out.
    void render(int64_t i0, int64_t i1, float* out) const;

private:
    SampleEditState state_;
    InterleavedAudioView view_;
    ChannelMeans means_{};
    double gain_ = 1.0;
    int64_t frames_ = 0;
};

// The whole sample with the region edited and everything else raw; empty
// when the region is not inside the source.
std::vector<float> renderWholeSample(const SampleEditState& state, const InterleavedAudioView& view);

// Block sums of the raw source (per channel and, for two or more channels,
// of the channel sum), built in one pass. With them the means, peak and RMS
// of any region cost a few thousand block reads instead of a pass over the
// region, so a trim-handle drag on a long take refreshes its levels within a
// frame. Sums come in block order, so the results equal channelMeans and
// measurePeakRms up to rounding (peaks of plain channels exactly).
class RegionMeter {
public:
    static constexpr int64_t kBlockFrames = 256;

    void build(const InterleavedAudioView& view);
    bool builtFor(const InterleavedAudioView& view) const noexcept {
        return built_ && samples_ == view.samples && frames_ == view.frames && channels_ == view.channels;
    }
    // The largest |raw sample| of the whole source.
    float sourcePeak() const noexcept { return sourcePeak_; }
    // channelMeans of the state, from block sums.
    ChannelMeans means(const SampleEditState& state, const InterleavedAudioView& view) const;
    // measurePeakRms of the state with those means, from block sums.
    PeakRms measure(const SampleEditState& state, const InterleavedAudioView& view, const ChannelMeans& means) const;

private:
    // Raw sums over frames [a, b) of each source channel, and of the
    // channel sum at index `channels`.
    struct Sums {
        std::vector<double> sum, sumSq;
        std::vector<float> lo, hi;
    };
    Sums sums(const InterleavedAudioView& view, int64_t a, int64_t b) const;

    const float* samples_ = nullptr;
    int64_t frames_ = 0;
    int32_t channels_ = 0;
    bool built_ = false;
    float sourcePeak_ = 0.0f;
    int32_t lanes_ = 0;                      // channels, plus one for the channel sum
    std::vector<double> prefixSum_, prefixSq_;  // (block + 1) * lanes + lane: sums of the blocks before
    std::vector<float> mins_, maxs_;            // block * lanes + lane
};

// The state kept inside a source of `frames` frames: start in 0..frames-1,
// end in start+1..frames (start+1 wins), fades 0..2000 ms. Gain is left as is.
SampleEditState keepInsideSource(SampleEditState state, int64_t frames);

// The frame nearest to f (trying f - j, then f + j, for j up to radius) where
// the channel sum of the raw source changes sides of zero; f when none is.
int64_t nearestZeroCrossing(const InterleavedAudioView& view, int64_t frame, int64_t radius);

}  // namespace vt6::ui::zemedit
