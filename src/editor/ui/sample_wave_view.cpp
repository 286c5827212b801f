#include "editor/ui/sample_wave_view.hpp"

#include <algorithm>
#include <cmath>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

using widgets::fillSnappedSpan;
using widgets::withAlphaProduct;

constexpr int kRulerHeight = 18;
constexpr float kReach = 7.0f;

juce::Colour atAlpha(juce::Colour c, int alpha) { return c.withAlpha(static_cast<juce::uint8>(alpha)); }

float clampUnit(double v) { return static_cast<float>(std::clamp(v, -1.0, 1.0)); }

double rateOf(const InterleavedAudioView& v) { return std::max(v.sampleRate, 1); }

int64_t fadeLength(double ms, int32_t rate) {
    const double frames = ms * 0.001 * rate;
    if (!(frames > 0.0)) return 0;
    return std::llrint(std::min(frames, 9.0e18));
}

// One pixel column: the body at 0.85 of the colour's alpha, the first pixel
// at full alpha, so the edge of the wave reads crisply.
void fillColumn(juce::Graphics& g, float x, float top, float bottom, juce::Colour colour, float scale) {
    const float head = std::min(1.0f, bottom - top);
    g.setColour(withAlphaProduct(colour, 0.85f));
    fillSnappedSpan(g, x, 1.0f, top + head, bottom, scale);
    g.setColour(colour);
    fillSnappedSpan(g, x, 1.0f, top, top + head, scale);
}

juce::Path triangle(float x0, float y0, float x1, float y1, float x2, float y2) {
    juce::Path p;
    p.addTriangle(x0, y0, x1, y1, x2, y2);
    return p;
}

}  // namespace

// ---------------------------------------------------------------------------
// Per-pixel peaks

PeakColumns::Key PeakColumns::keyFor(const InterleavedAudioView& view, const SampleEditState& state,
                                     const ChannelMeans& means, int32_t width, double viewStart,
                                     double viewLength) {
    Key k;
    k.samples = view.samples;
    k.frames = view.frames;
    k.channels = view.channels;
    k.width = width;
    k.viewStart = viewStart;
    k.viewLength = viewLength;
    k.reverse = state.reverse;
    k.channelMode = state.channelMode;
    if (state.reverse || state.removeDc) {
        k.start = state.start;
        k.end = state.end;
    }
    k.means = state.removeDc ? means : ChannelMeans{};
    return k;
}

namespace {

// The waveform and the overview of one editor read the same source: the
// table is built once and shared while either holds it. Message thread only.
std::weak_ptr<const SourceExtremes>& lastExtremes() {
    static std::weak_ptr<const SourceExtremes> last;
    return last;
}

std::shared_ptr<const SourceExtremes> sharedExtremes(const InterleavedAudioView& view) {
    auto& last = lastExtremes();
    if (auto kept = last.lock(); kept && kept->builtFor(view)) return kept;
    auto fresh = std::make_shared<SourceExtremes>();
    fresh->build(view);
    last = fresh;
    return fresh;
}

}  // namespace

void shareSourceExtremes(const std::shared_ptr<const SourceExtremes>& built) { lastExtremes() = built; }

const SourceExtremes* PeakColumns::extremesFor(const InterleavedAudioView& view) {
    if (!cachingEnabled) return nullptr;
    if (!extremes_ || !extremes_->builtFor(view)) extremes_ = sharedExtremes(view);
    return extremes_.get();
}

double PeakColumns::gain(const SampleEditState& state, const InterleavedAudioView& view) {
    if (!state.normalize) return editGain(state, view);
    if (!cachingEnabled) return editGain(state, view);
    SampleEditState key = state;
    key.fadeInMs = key.fadeOutMs = 0.0;
    key.fadeShape = 0;
    if (cachingEnabled && gainValid_ && gainSamples_ == view.samples && gainFrames_ == view.frames &&
        gainChannels_ == view.channels && gainState_ == key)
        return gain_;
    gain_ = editGain(state, view, extremesFor(view));
    gainSamples_ = view.samples;
    gainFrames_ = view.frames;
    gainChannels_ = view.channels;
    gainState_ = key;
    gainValid_ = true;
    return gain_;
}

void PeakColumns::update(const Key& key, const InterleavedAudioView& view, const SampleEditState& state,
                         const ChannelMeans& means, int32_t rows) {
    if (cachingEnabled && valid_ && key == key_ && static_cast<int32_t>(cols_.size()) == rows) return;
    const int32_t width = std::max(key.width, 0);
    const double w = std::max(width, 1);
    cols_.assign(static_cast<size_t>(std::max(rows, 0)), std::vector<Column>(static_cast<size_t>(width)));
    const bool sameRows = state.channelMode == 2 && view.channels >= 2;
    const SourceExtremes* extremes = extremesFor(view);
    for (int32_t r = 0; r < rows; ++r) {
        auto& row = cols_[static_cast<size_t>(r)];
        if (sameRows && r > 0) {
            row = cols_[0];
            continue;
        }
        for (int32_t p = 0; p < width; ++p) {
            const auto f0 = static_cast<int64_t>(std::floor(p / w * key.viewLength + key.viewStart));
            const auto f1 =
                std::max(f0 + 1, static_cast<int64_t>(std::floor((p + 1) / w * key.viewLength + key.viewStart)));
            const ProcessedRange pr = processedRange(state, view, means, f0, f1, r, extremes);
            row[static_cast<size_t>(p)] = Column{pr.min, pr.max, f0, pr.any};
        }
    }
    key_ = key;
    valid_ = true;
}

// ---------------------------------------------------------------------------
// Waveform

SampleWaveView::SampleWaveView(SampleViewHost& host) : host_(host) {
    setName("Waveform");
    setMouseCursor(juce::MouseCursor::NormalCursor);
}

SampleWaveView::~SampleWaveView() = default;

float SampleWaveView::xOf(double frame) const {
    const double len = host_.windowLength();
    if (!(len > 0.0)) return 0.0f;
    return static_cast<float>((frame - host_.windowStart()) / len * getWidth());
}

float SampleWaveView::fadeTabX(int64_t frame, float width) const {
    const float x = xOf(static_cast<double>(frame));
    if (x < 0.0f || x > width) return x;
    return std::min(std::max(x, 14.0f), width - 14.0f);
}

int32_t SampleWaveView::targetAt(float x, float y) const {
    const SampleEditState& s = host_.editState();
    if (y >= kRulerHeight) {
        const float ds = std::fabs(x - xOf(static_cast<double>(s.start)));
        const float de = std::fabs(x - xOf(static_cast<double>(s.end)));
        if (ds <= kReach && ds <= de) return StartHandle;
        if (de <= kReach) return EndHandle;
        return Pan;
    }
    const int32_t rate = host_.sourceView().sampleRate;
    const int64_t fi = fadeLength(s.fadeInMs, rate);
    const int64_t fo = fadeLength(s.fadeOutMs, rate);
    const auto w = static_cast<float>(getWidth());
    const float tabIn = fadeTabX(fi >= s.end - s.start ? s.end : s.start + fi, w);
    const float tabOut = fadeTabX(fo >= s.end - s.start ? s.start : s.end - fo, w);
    if (std::fabs(x - tabIn) <= kReach) return FadeInTab;
    if (std::fabs(x - tabOut) <= kReach) return FadeOutTab;
    return Pan;
}

void SampleWaveView::updateCursor() {
    const bool resize = hoverTarget >= StartHandle && hoverTarget <= FadeOutTab;
    setMouseCursor(resize ? juce::MouseCursor::LeftRightResizeCursor : juce::MouseCursor::DraggingHandCursor);
}

void SampleWaveView::mouseMove(const juce::MouseEvent& e) {
    const int32_t t = targetAt(e.position.x, e.position.y);
    if (t != hoverTarget) {
        hoverTarget = t;
        repaint();
    }
    updateCursor();
}

void SampleWaveView::mouseExit(const juce::MouseEvent&) {
    hoverTarget = None;
    repaint();
}

void SampleWaveView::mouseDown(const juce::MouseEvent& e) {
    host_.takeFocus();
    dragTarget = targetAt(e.position.x, e.position.y);
    if (dragTarget == StartHandle) host_.setLastHandle(0);
    if (dragTarget == EndHandle) host_.setLastHandle(1);
    dragStartState = host_.editState();
    dragStartViewStart = host_.windowStart();
    repaint();
}

void SampleWaveView::mouseDrag(const juce::MouseEvent& e) {
    const double w = std::max(getWidth(), 1);
    const double len = host_.windowLength();
    if (dragTarget == Pan) {
        const int dx = e.getDistanceFromDragStartX();
        host_.moveView(dragStartViewStart - dx / w * len, len);
        return;
    }
    if (dragTarget < StartHandle || dragTarget > FadeOutTab) return;
    const InterleavedAudioView view = host_.sourceView();
    const int64_t frames = view.frames;
    int64_t frame = std::llrint(std::clamp(e.position.x / w * len + host_.windowStart(), -1.0e18, 1.0e18));
    frame = std::clamp<int64_t>(frame, 0, std::max<int64_t>(frames, 0));
    SampleEditState s = host_.editState();
    if (dragTarget == StartHandle || dragTarget == EndHandle) {
        const bool shift = e.mods.isShiftDown();
        const bool snap = host_.snapOn();
        if ((shift && !snap) || (snap && !shift)) {
            const double perPixel = len / w;
            const auto radius =
                static_cast<int64_t>(std::max(1.0, std::min(2.0 * perPixel, 0.002 * view.sampleRate)));
            frame = nearestZeroCrossing(view, frame, radius);
        }
    }
    const double rate = rateOf(view);
    switch (dragTarget) {
        case StartHandle: s.start = std::min(s.end - 1, frame); break;
        case EndHandle: s.end = std::max(s.start + 1, frame); break;
        case FadeInTab: s.fadeInMs = std::max(0.0, static_cast<double>(frame - s.start) * 1000.0 / rate); break;
        default: s.fadeOutMs = std::max(0.0, static_cast<double>(s.end - frame) * 1000.0 / rate); break;
    }
    host_.setLiveState(keepInsideSource(s, frames));
}

void SampleWaveView::mouseUp(const juce::MouseEvent&) {
    if (dragTarget != None && dragTarget != Pan) {
        const SampleEditState now = host_.editState();
        const bool trim = dragTarget == StartHandle || dragTarget == EndHandle;
        // The whole drag becomes one step from the state at the press.
        if (!(now == dragStartState)) {
            host_.setLiveState(dragStartState);
            host_.recordStep(now, trim ? "Trim" : "Fade");
        }
    }
    dragTarget = None;
    repaint();
}

void SampleWaveView::mouseDoubleClick(const juce::MouseEvent& e) {
    if (targetAt(e.position.x, e.position.y) == Pan)
        host_.moveView(0.0, static_cast<double>(host_.sourceView().frames));
}

void SampleWaveView::mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) {
    const double w = std::max(getWidth(), 1);
    const double len = host_.windowLength();
    const double start = host_.windowStart();
    if (!e.mods.isShiftDown() && std::fabs(wheel.deltaY) >= std::fabs(wheel.deltaX)) {
        const double anchor = e.position.x / w * len + start;
        host_.zoomView(std::pow(2.0, 3.0 * wheel.deltaY), anchor);
        return;
    }
    const double d = std::fabs(wheel.deltaX) > std::fabs(wheel.deltaY) ? wheel.deltaX : wheel.deltaY;
    host_.moveView(start - d * len * 0.5, len);
}

void SampleWaveView::mouseMagnify(const juce::MouseEvent& e, float scaleFactor) {
    if (!(scaleFactor > 0.0f)) return;
    const double w = std::max(getWidth(), 1);
    const double anchor = e.position.x / w * host_.windowLength() + host_.windowStart();
    host_.zoomView(scaleFactor, anchor);
}

double SampleWaveView::rulerMajorStepMs(double msPerPixel) {
    static constexpr double kSteps[] = {0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50, 100, 200, 500,
                                        1000, 2000, 5000, 10000};
    for (const double step : kSteps)
        if (step / msPerPixel >= 72.0) return step;
    return 10000.0;
}

juce::String SampleWaveView::rulerLabel(double t, double major) {
    if (t >= 1000.0) {
        if (major >= 1000.0) return juce::String(t / 1000.0, 0) + " s";
        // Enough decimals that neighbouring labels differ at deep zoom.
        const int needed = static_cast<int>(std::ceil(-std::log10(major / 1000.0) - 1e-9));
        return juce::String(t / 1000.0, std::max(2, needed)) + " s";
    }
    return juce::String(t, major < 1.0 ? 2 : 0) + " ms";
}

void SampleWaveView::paintRuler(juce::Graphics& g, int width) {
    const Theme& theme = Theme::instance();
    g.setColour(theme.colour(ThemeColour::surfaceRaised));
    g.fillRect(0, 0, width, kRulerHeight);
    g.setColour(theme.colour(ThemeColour::border));
    g.fillRect(0, kRulerHeight - 1, width, 1);
    if (width < 1) return;

    const InterleavedAudioView view = host_.sourceView();
    const double rate = view.sampleRate < 2 ? 1.0 : view.sampleRate;
    const double len = host_.windowLength();
    const double msPerPixel = len / width * 1000.0 / rate;
    if (!(msPerPixel > 0.0) || !std::isfinite(msPerPixel)) return;
    const double major = rulerMajorStepMs(msPerPixel);
    const double minor = major / 5.0;
    const double t0 = host_.windowStart() * 1000.0 / rate;
    const double t1 = (host_.windowStart() + len) * 1000.0 / rate;
    if (!(t1 > t0)) return;

    const juce::Font font = makeFont(kTypeMicro);
    g.setFont(font);
    const auto first = static_cast<int64_t>(std::floor(t0 / minor));
    for (int64_t i = first;; ++i) {
        const double t = static_cast<double>(i) * minor;
        if (t > t1) break;
        const auto x = static_cast<float>((t - t0) / (t1 - t0) * width);
        // A tick is major at a multiple of the major step; the remainder may
        // land just below the step instead of just above zero.
        const double rem = std::fabs(std::fmod(t, major));
        const bool isMajor = rem < 0.01 * minor || major - rem < 0.01 * minor;
        if (!isMajor) {
            g.setColour(theme.colour(ThemeColour::borderSubtle));
            g.fillRect(juce::Rectangle<float>(x, 13.0f, 1.0f, 4.0f));
            continue;
        }
        g.setColour(theme.colour(ThemeColour::textSecondary));
        g.fillRect(juce::Rectangle<float>(x, 8.0f, 1.0f, 9.0f));
        const auto label = rulerLabel(t, major);
        g.drawText(label,
                   juce::Rectangle<float>(std::max(23.0f, x + 3.0f), 0.0f,
                                          std::max(60.0f, std::ceil(font.getStringWidthFloat(label)) + 2.0f), 12.0f),
                   juce::Justification::centredLeft, true);
    }
}

void SampleWaveView::paint(juce::Graphics& g) {
    const int W = getWidth();
    const int H = getHeight();
    if (W < 1 || H < 1) return;
    const Theme& theme = Theme::instance();
    const InterleavedAudioView view = host_.sourceView();
    const SampleEditState& s = host_.editState();
    const ChannelMeans& means = host_.meanTable();
    const juce::Colour c = host_.audioColour();
    const double gain = peaks.gain(s, view);
    const int64_t r = s.end - s.start;
    const double vs = host_.windowStart();
    const double len = host_.windowLength();
    const double D = len / W;
    const float scale = g.getInternalContext().getPhysicalPixelScaleFactor();
    const int32_t rate = view.sampleRate;
    const auto inRegion = [&](int64_t f) { return f >= s.start && f < s.end; };
    const auto factorAt = [&](int64_t f) { return inRegion(f) ? fadeGainAt(s, f - s.start, r, rate, gain) : 1.0; };

    g.saveState();
    {
        juce::Path clip;
        clip.addRoundedRectangle(0.0f, 0.0f, static_cast<float>(W), static_cast<float>(H),
                                 static_cast<float>(theme.spacing));
        g.reduceClipRegion(clip);
    }
    const juce::Colour well = theme.colour(ThemeColour::waveWell);
    g.fillAll(well);

    const float xs = xOf(static_cast<double>(s.start));
    const float xe = xOf(static_cast<double>(s.end));
    const auto waveTop = static_cast<float>(kRulerHeight);
    const auto waveHeight = static_cast<float>(H - kRulerHeight);
    g.setColour(atAlpha(c, 15));
    g.fillRect(juce::Rectangle<float>(xs, waveTop, xe - xs, waveHeight));

    const auto dimOutside = [&](int alpha) {
        g.setColour(atAlpha(well, alpha));
        if (xs > 0.0f) g.fillRect(juce::Rectangle<float>(0.0f, waveTop, xs, waveHeight));
        if (static_cast<float>(W) > xe) g.fillRect(juce::Rectangle<float>(xe, waveTop, W - xe, waveHeight));
    };

    const int32_t n = std::max(1, view.channels);
    const int L = (H - 26) / n;
    const float A = 0.47f * static_cast<float>(L);
    const juce::Colour danger = theme.colour(ThemeColour::danger);
    if (D >= 1.0 && view.channels >= 1)
        peaks.update(PeakColumns::keyFor(view, s, means, W, vs, len), view, s, means, view.channels);

    for (int32_t k = 0; k < n; ++k) {
        const float y = (static_cast<float>(k) + 0.5f) * static_cast<float>(L) + 22.0f;
        g.setColour(theme.colour(ThemeColour::borderSubtle));
        g.fillRect(juce::Rectangle<float>(0.0f, y, static_cast<float>(W), 1.0f));
        if (D >= 1.0) {
            if (view.channels >= 1) {
                const auto& row = peaks.row(k);
                for (int p = 0; p < W; ++p) {
                    const PeakColumns::Column& col = row[static_cast<size_t>(p)];
                    if (!col.any) continue;
                    const bool inside = inRegion(col.f0);
                    const double u = inside ? fadeGainAt(s, col.f0 - s.start, r, rate, gain) : 1.0;
                    const juce::Colour colour = inside ? c : atAlpha(c, 71);
                    const float top = y - clampUnit(col.max * u) * A;
                    const float bottom = y - clampUnit(col.min * u) * A;
                    fillColumn(g, static_cast<float>(p), top, bottom, colour, scale);
                    if (inside && col.max * u > 1.0) {
                        g.setColour(danger);
                        g.fillRect(juce::Rectangle<float>(static_cast<float>(p), y - A - 2.0f, 1.0f, 2.0f));
                    }
                    if (inside && col.min * u < -1.0) {
                        g.setColour(danger);
                        g.fillRect(juce::Rectangle<float>(static_cast<float>(p), y + A, 1.0f, 2.0f));
                    }
                }
            }
        } else {
            const int64_t a = std::max<int64_t>(0, static_cast<int64_t>(std::floor(vs)) - 1);
            const int64_t b = std::min<int64_t>(static_cast<int64_t>(std::ceil(vs + len)) + 2, view.frames);
            juce::Path line;
            for (int64_t f = a; f < b; ++f) {
                const double v = processedSampleAt(s, view, means, f, k);
                const juce::Point<float> pt(xOf(static_cast<double>(f)), y - clampUnit(v * factorAt(f)) * A);
                if (f == a)
                    line.startNewSubPath(pt);
                else
                    line.lineTo(pt);
            }
            widgets::strokeGlowPath(g, line, atAlpha(c, 217), {});
            if (D < 0.2) {
                for (int64_t f = a; f < b; ++f) {
                    const double v = processedSampleAt(s, view, means, f, k);
                    const float px = xOf(static_cast<double>(f));
                    const float py = y - clampUnit(v * factorAt(f)) * A;
                    g.setColour(inRegion(f) ? c : atAlpha(c, 102));
                    g.fillEllipse(px - 2.0f, py - 2.0f, 4.0f, 4.0f);
                }
            }
            dimOutside(140);
        }
        if (n >= 2) {
            g.setFont(makeFont(kTypeMicro));
            g.setColour(theme.colour(ThemeColour::textMuted));
            const juce::String label = k == 0 ? "L" : k == 1 ? "R" : juce::String(k + 1);
            g.drawText(label, juce::Rectangle<int>(6, k * L + 24, 20, 12), juce::Justification::centredLeft, true);
        }
    }
    if (D >= 1.0) dimOutside(115);

    paintRuler(g, W);

    // Fade curves at their full lengths (rendering caps them at half the
    // region; the columns above show that), then their tabs.
    const int64_t fi = fadeLength(s.fadeInMs, rate);
    const int64_t fo = fadeLength(s.fadeOutMs, rate);
    const auto curve = [&](int64_t fa, int64_t fb, bool rising) {
        const float x0 = xOf(static_cast<double>(fa));
        const float x1 = xOf(static_cast<double>(fb));
        if (x0 >= x1) return;
        const auto pixels = static_cast<int64_t>(x1 - x0);
        const int64_t m = pixels <= 7 ? 8 : std::min<int64_t>(pixels, 200);
        juce::Path path;
        for (int64_t i = 0; i <= m; ++i) {
            const double t = static_cast<double>(i) / static_cast<double>(m);
            const double v = fadeCurve(s.fadeShape, rising ? t : 1.0 - t);
            const juce::Point<float> pt(x0 + static_cast<float>(t) * (x1 - x0),
                                        22.0f + static_cast<float>((H - 26) * (1.0 - v)));
            if (i == 0)
                path.startNewSubPath(pt);
            else
                path.lineTo(pt);
        }
        g.setColour(atAlpha(theme.colour(ThemeColour::textSecondary), 204));
        g.strokePath(path, juce::PathStrokeType(1.0f));
    };
    const int64_t fadeInEnd = fi >= r ? s.end : s.start + fi;
    const int64_t fadeOutStart = fo >= r ? s.start : s.end - fo;
    if (fi >= 1) curve(s.start, fadeInEnd, true);
    if (fo >= 1) curve(fadeOutStart, s.end, false);
    const auto tab = [&](int64_t frame, bool lit) {
        const float x = fadeTabX(frame, static_cast<float>(W));
        g.setColour(theme.colour(lit ? ThemeColour::textPrimary : ThemeColour::textSecondary));
        g.fillPath(triangle(x - 6.0f, 1.0f, x + 6.0f, 1.0f, x, 15.0f));
    };
    tab(fadeInEnd, hoverTarget == FadeInTab || dragTarget == FadeInTab);
    tab(fadeOutStart, hoverTarget == FadeOutTab || dragTarget == FadeOutTab);

    const auto handle = [&](float x, bool isStart, bool lit) {
        const juce::Colour colour = theme.colour(lit ? ThemeColour::textPrimary : ThemeColour::sliderThumb);
        g.setColour(colour);
        g.fillRect(juce::Rectangle<float>(x - 1.0f, waveTop, 2.0f, waveHeight));
        const float gx = isStart ? x : x - 12.0f;
        g.fillRoundedRectangle(gx, static_cast<float>(H - 22), 12.0f, 14.0f,
                               static_cast<float>(std::min(7, theme.smallRadius)));
        g.setColour(well);
        const float dir = isStart ? 1.0f : -1.0f;
        for (const float off : {4.0f, 7.0f})
            g.fillRect(juce::Rectangle<float>(x + dir * off - 0.5f, static_cast<float>(H - 18), 1.0f, 6.0f));
    };
    handle(xs, true, hoverTarget == StartHandle || dragTarget == StartHandle);
    handle(xe, false, hoverTarget == EndHandle || dragTarget == EndHandle);

    const int64_t playhead = host_.shownPlayheadFrame();
    if (playhead >= 0) {
        const float x = xOf(static_cast<double>(playhead));
        if (x >= 0.0f && x <= static_cast<float>(W)) {
            g.setColour(theme.colour(ThemeColour::textPrimary));
            g.fillRect(juce::Rectangle<float>(x - 0.5f, waveTop, 1.0f, waveHeight));
            g.fillPath(triangle(x - 5.0f, 12.0f, x + 5.0f, 12.0f, x, 18.0f));
        }
    }

    g.setColour(theme.colour(ThemeColour::border));
    g.drawRoundedRectangle(0.5f, 0.5f, static_cast<float>(W - 1), static_cast<float>(H - 1),
                           static_cast<float>(theme.spacing), 1.0f);
    g.restoreState();
}

// ---------------------------------------------------------------------------
// Overview

SampleOverview::SampleOverview(SampleViewHost& host) : host_(host) { setName("Overview"); }

SampleOverview::~SampleOverview() = default;

void SampleOverview::mouseMove(const juce::MouseEvent&) { setMouseCursor(juce::MouseCursor::DraggingHandCursor); }

void SampleOverview::mouseDown(const juce::MouseEvent& e) {
    host_.takeFocus();
    const double w = std::max(getWidth(), 1);
    const double total = static_cast<double>(std::max<int64_t>(host_.sourceView().frames, 1));
    const double start = host_.windowStart();
    const double len = host_.windowLength();
    const double x = e.position.x;
    const bool inside = x >= start / total * w && x <= (start + len) / total * w;
    if (!inside) host_.moveView(x / w * total - len / 2.0, len);
    dragStartViewStart = host_.windowStart();
}

void SampleOverview::mouseDrag(const juce::MouseEvent& e) {
    const double w = std::max(getWidth(), 1);
    const double total = static_cast<double>(std::max<int64_t>(host_.sourceView().frames, 1));
    const int dx = e.getDistanceFromDragStartX();
    host_.moveView(dragStartViewStart + dx / w * total, host_.windowLength());
}

void SampleOverview::mouseWheelMove(const juce::MouseEvent& e, const juce::MouseWheelDetails& wheel) {
    const double w = std::max(getWidth(), 1);
    const double total = static_cast<double>(std::max<int64_t>(host_.sourceView().frames, 1));
    host_.zoomView(std::pow(2.0, 3.0 * wheel.deltaY), e.position.x / w * total);
}

void SampleOverview::paint(juce::Graphics& g) {
    const int W = getWidth();
    const int H = getHeight();
    if (W < 1 || H < 1) return;
    const Theme& theme = Theme::instance();
    const InterleavedAudioView view = host_.sourceView();
    const SampleEditState& s = host_.editState();
    const ChannelMeans& means = host_.meanTable();
    const juce::Colour c = host_.audioColour();
    const double total = static_cast<double>(std::max<int64_t>(view.frames, 1));
    const double gain = peaks.gain(s, view);
    const float scale = g.getInternalContext().getPhysicalPixelScaleFactor();
    const float radius = std::min(static_cast<float>(H) / 2.0f, static_cast<float>(theme.cornerRadius));

    g.saveState();
    {
        juce::Path clip;
        clip.addRoundedRectangle(0.0f, 0.0f, static_cast<float>(W), static_cast<float>(H), radius);
        g.reduceClipRegion(clip);
    }
    const juce::Colour well = theme.colour(ThemeColour::waveWell);
    g.fillAll(well);

    if (view.channels >= 1) {
        peaks.update(PeakColumns::keyFor(view, s, means, W, 0.0, total), view, s, means, view.channels);
        const float mid = static_cast<float>(H) / 2.0f;
        const float full = 0.42f * static_cast<float>(H);
        for (int p = 0; p < W; ++p) {
            float peak = 0.0f;
            bool any = false;
            int64_t f0 = 0;
            for (int32_t k = 0; k < view.channels; ++k) {
                const PeakColumns::Column& col = peaks.row(k)[static_cast<size_t>(p)];
                if (!col.any) continue;
                any = true;
                f0 = col.f0;
                peak = std::max({peak, std::fabs(col.min), std::fabs(col.max)});
            }
            if (!any) continue;
            const bool inside = f0 >= s.start && f0 < s.end;
            const double factor = inside ? gain : 1.0;
            const float h = static_cast<float>(std::clamp(peak * factor, 0.0, 1.0)) * full;
            fillColumn(g, static_cast<float>(p), mid - h, mid + h, atAlpha(c, inside ? 255 : 77), scale);
        }
    }

    const auto m = static_cast<float>(host_.windowStart() / total * W);
    const auto k = static_cast<float>(std::max(4.0, host_.windowLength() / total * W));
    g.setColour(atAlpha(well, 115));
    if (m > 0.0f) g.fillRect(juce::Rectangle<float>(0.0f, 0.0f, m, static_cast<float>(H)));
    if (static_cast<float>(W) > m + k)
        g.fillRect(juce::Rectangle<float>(m + k, 0.0f, static_cast<float>(W) - m - k, static_cast<float>(H)));
    if (m > 0.0f || m + k < static_cast<float>(W)) {
        g.setColour(theme.colour(ThemeColour::sliderThumb));
        const float rr = std::min({k / 2.0f, (static_cast<float>(H) - 2.0f) / 2.0f,
                                   static_cast<float>(theme.smallRadius)});
        g.drawRoundedRectangle(m, 1.0f, k, static_cast<float>(H - 2), std::max(rr, 0.0f), 1.0f);
    }

    g.setColour(theme.colour(ThemeColour::border));
    g.drawRoundedRectangle(0.5f, 0.5f, static_cast<float>(W - 1), static_cast<float>(H - 1), radius, 1.0f);
    g.restoreState();
}

}  // namespace vt6::ui::zemedit
