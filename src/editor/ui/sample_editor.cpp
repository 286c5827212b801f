// The sample editor's component: its children, texts, layout and painting.
// What the controls and keys do lives in sample_editor_edits.cpp.
#include "editor/ui/sample_editor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

namespace {

const juce::String kMinus = juce::String::fromUTF8("\xe2\x88\x92");
const juce::String kDot = juce::String::fromUTF8("  \xc2\xb7  ");

juce::String fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

juce::String msText(int64_t frames, int32_t rate) {
    return fixed(static_cast<double>(frames) * 1000.0 / std::max(rate, 1), 1) + " ms";
}

// A centred 34 x 34 icon button inside a piece of a row.
juce::Rectangle<int> centredIcon(juce::Rectangle<int> piece) {
    return {piece.getX() + (piece.getWidth() - 34) / 2, piece.getY() + (piece.getHeight() - 34) / 2, 34, 34};
}

// The row's piece for a button: down by `inset`, shorter by twice it.
juce::Rectangle<int> inset(juce::Rectangle<int> piece, int top, int shrink) {
    return {piece.getX(), piece.getY() + top, piece.getWidth(), std::max(0, piece.getHeight() - shrink)};
}

juce::Rectangle<int> takeLeft(juce::Rectangle<int>& area, int n) { return area.removeFromLeft(std::max(n, 0)); }
juce::Rectangle<int> takeRight(juce::Rectangle<int>& area, int n) { return area.removeFromRight(std::max(n, 0)); }
juce::Rectangle<int> takeTop(juce::Rectangle<int>& area, int n) { return area.removeFromTop(std::max(n, 0)); }
juce::Rectangle<int> takeBottom(juce::Rectangle<int>& area, int n) { return area.removeFromBottom(std::max(n, 0)); }

int textWidth(const juce::Font& font, const juce::String& text) {
    juce::GlyphArrangement glyphs;
    glyphs.addLineOfText(font, text, 0.0f, 0.0f);
    return static_cast<int>(std::ceil(glyphs.getBoundingBox(0, -1, true).getWidth()));
}

}  // namespace

juce::String formatGainDb(double linear) {
    if (!(linear > 1e-9)) return kMinus + juce::String::fromUTF8("\xe2\x88\x9e dB");
    const double db = 20.0 * std::log10(linear);
    // The sign follows the rounded text, so that unity never reads "−0.0 dB".
    const juce::String magnitude = fixed(std::fabs(db), 1);
    const bool negative = db < 0.0 && magnitude != "0.0";
    return (negative ? kMinus : juce::String("+")) + magnitude + " dB";
}

double readFieldNumber(const juce::String& text) {
    const juce::String normalised = text.replace(kMinus, "-");
    std::string kept;
    for (const auto c : normalised)
        if ((c >= '0' && c <= '9') || c == '-' || c == '.') kept += static_cast<char>(c);
    // The longest leading decimal number: an optional sign, digits, one point.
    size_t i = 0;
    std::string number;
    if (i < kept.size() && kept[i] == '-') number += kept[i++];
    bool point = false, digits = false;
    for (; i < kept.size(); ++i) {
        const char c = kept[i];
        if (c >= '0' && c <= '9') {
            digits = true;
            number += c;
        } else if (c == '.' && !point) {
            point = true;
            number += c;
        } else {
            break;
        }
    }
    if (!digits) return 0.0;
    return std::strtod(number.c_str(), nullptr);
}

SampleEditor::SampleEditor(SampleEditorDeps d) : SampleEditor(std::move(d), Prebuilt{}) {}

SampleEditor::SampleEditor(SampleEditorDeps d, Prebuilt prebuilt)
    : deps(std::move(d)),
      meter(std::move(prebuilt.meter)),
      keptExtremes(std::move(prebuilt.extremes)),
      processButton(juce::String::fromUTF8("PROCESS \xe2\x96\xbe"), 0),
      shapeSelector(juce::StringArray{"SMOOTH", "LIN", "EXP"}, "V6SegmentGroup") {
    sourceFrames = deps.sourceFrames();

    setName("Sample editor");
    setTitle("Sample editor");
    setWantsKeyboardFocus(true);
    setOpaque(true);

    // The opening state: the sample's playback region, nothing else edited.
    const int64_t frames = sourceFrames;
    const int64_t end = (deps.regionEnd >= 1 && deps.regionEnd <= frames) ? deps.regionEnd : frames;
    const int64_t upper = end >= 2 ? end - 1 : 0;
    state = SampleEditState{};
    state.start = std::min(std::max<int64_t>(deps.regionStart, 0), upper);
    state.end = end;
    appliedState = state;
    viewStart = 0.0;
    viewLength = static_cast<double>(std::max<int64_t>(frames, 1));

    if (keptExtremes != nullptr && keptExtremes->builtFor(sourceView())) shareSourceExtremes(keptExtremes);
    setupInfo();
    setupChildren();
    statsText();
    // Keys always reach the editor; a value field still takes the keyboard
    // while it is being edited.
    for (auto* child : getChildren()) child->setWantsKeyboardFocus(false);
}

SampleEditor::~SampleEditor() {
    stopTimer();
    autoTrimCancel = true;
    if (autoTrimThread.joinable()) autoTrimThread.join();
    stopRender();
    if (applyThread.joinable()) applyThread.join();
    // The host's audition must not outlive the editor.
    if (playing && deps.stop) deps.stop();
}

void SampleEditor::setupInfo() {
    if (!meter.builtFor(sourceView())) meter.build(sourceView());
    sourcePeak = meter.sourcePeak();

    const int32_t rate = deps.sampleRate;
    const juce::String rateText = rate % 1000 == 0 ? juce::String(rate / 1000) : fixed(rate / 1000.0, 1);
    const juce::String channelText = deps.channels == 1   ? juce::String("mono")
                                     : deps.channels == 2 ? juce::String("stereo")
                                                          : juce::String(deps.channels) + " ch";
    const double lengthMs = rate > 0 ? static_cast<double>(sourceFrames) / rate * 1000.0 : 0.0;
    juce::String info = rateText + " kHz" + kDot + juce::String(deps.bitDepth) + "-bit" + kDot + channelText + kDot +
                        fixed(lengthMs, 1) + " ms";
    if (!deps.groupName.empty()) info += kDot + juce::String::fromUTF8(deps.groupName.c_str());
    infoLabel.setText(info, juce::dontSendNotification);
}

void SampleEditor::addCaption(juce::Label& label, const juce::String& text) {
    label.setText(text, juce::dontSendNotification);
    label.setFont(makeFont(kTypeCaps));
    label.setColour(juce::Label::textColourId, themeColour(ThemeColour::textMuted));
    label.setJustificationType(juce::Justification::centredRight);
    label.setBorderSize({});
}

void SampleEditor::addValueField(juce::Label& label, const juce::String& tooltip) {
    label.setFont(makeFont(kTypeLabelBold));
    label.setTooltip(tooltip);
    label.setColour(juce::Label::textColourId, themeColour(ThemeColour::textPrimary));
    label.setColour(juce::Label::backgroundColourId, themeColour(ThemeColour::fieldBackground));
    label.setColour(juce::Label::outlineColourId, themeColour(ThemeColour::border));
    label.setColour(juce::Label::textWhenEditingColourId, themeColour(ThemeColour::textPrimary));
    label.setColour(juce::Label::backgroundWhenEditingColourId, themeColour(ThemeColour::fieldBackground));
    label.setJustificationType(juce::Justification::centred);
    label.setEditable(true, true, false);
    label.onEditorShow = [&label] {
        if (auto* editor = label.getCurrentTextEditor())
            editor->setColour(juce::TextEditor::highlightColourId, themeColour(ThemeColour::accentWash));
    };
    // Once the field is done the keys belong to the editor again.
    juce::Component::SafePointer<SampleEditor> safe(this);
    label.onEditorHide = [safe] {
        if (auto* self = safe.getComponent(); self != nullptr && self->isShowing()) self->grabKeyboardFocus();
    };
}

void SampleEditor::setupChildren() {
    auto plainLabel = [](juce::Label& label, const TypeStyle& role, ThemeColour colour) {
        label.setFont(makeFont(role));
        label.setColour(juce::Label::textColourId, themeColour(colour));
        label.setJustificationType(juce::Justification::centredLeft);
        label.setInterceptsMouseClicks(false, false);
    };
    titleLabel.setText("EDIT SAMPLE", juce::dontSendNotification);
    plainLabel(titleLabel, kTypeTitle, ThemeColour::textPrimary);
    nameLabel.setText(juce::String::fromUTF8(deps.name.c_str()), juce::dontSendNotification);
    plainLabel(nameLabel, kTypeHeading, ThemeColour::textPrimary);
    plainLabel(infoLabel, kTypeText, ThemeColour::textSecondary);
    plainLabel(statsLabel, kTypeLabelBold, ThemeColour::textSecondary);
    plainLabel(hintLabel, kTypeMicro, ThemeColour::textMuted);
    hintLabel.setText(juce::String::fromUTF8(
                          "Drag the edges to trim (\xe2\x87\xa7 inverts SNAP)  \xc2\xb7  \xe2\x86\x90 \xe2\x86\x92 "
                          "nudge the last handle a sample, \xe2\x87\xa7 10 ms  \xc2\xb7  [ ] set it at the playhead  "
                          "\xc2\xb7  drag the fade tabs on the ruler  \xc2\xb7  wheel / pinch zooms, \xe2\x87\xa7 wheel "
                          "or drag pans, double-click fits  \xc2\xb7  space plays / stops, L loops, A all  \xc2\xb7  "
#if JUCE_MAC
                          "\xe2\x8c\x98Z undo"),
#else
                          "Ctrl+Z undo"),
#endif
                      juce::dontSendNotification);

    addCaption(fadeInCaption, "FADE IN");
    addCaption(fadeOutCaption, "FADE OUT");
    addCaption(shapeCaption, "SHAPE");
    addCaption(thresholdCaption, "THR");
    addCaption(gainCaption, "GAIN");
    addValueField(thresholdField, "TRIM SILENCE floor, dBFS: the first and last sample at or above it bound the trim");
    addValueField(fadeInField, "Fade-in, ms (drag the fade handle on the ruler too)");
    addValueField(fadeOutField, "Fade-out, ms (drag the fade handle on the ruler too)");
    addValueField(gainField, "Gain, dB");

    doneButton.setTooltip("Close the sample editor (asks to apply or discard changes)");
    loopButton.setTooltip("Repeat the trimmed sample while playing (L)");
    allButton.setTooltip("Play the whole sample as it is on disk, ignoring the trim and every edit (A)");
    autoTrimButton.setTooltip(
        "Trim to the loudest hit: attack-exact start, decay-complete end (the ADD FROM AUDIO law)");
    trimSilenceButton.setTooltip(
        "Start at the first sample above THR, with no lead-in; keep 10 ms after the last sample above THR");
    snapButton.setTooltip(juce::String::fromUTF8(
        "Snap the trim handles to the nearest zero crossing (\xe2\x87\xa7 while dragging inverts it)"));
    snapButton.setActive(true);
    normalizeButton.setTooltip(juce::String::fromUTF8("Peak-normalize the trimmed sample to \xe2\x88\x92" "0.3 dBFS"));
    processButton.setTooltip(juce::String::fromUTF8(
        "Reverse, remove DC offset, swap L/R, sum to mono \xe2\x80\x94 each a toggle, each an undo step"));
    fitButton.setTooltip("Show the whole sample (F, or double-click the wave)");
    trimButton.setTooltip("Zoom the view to the trimmed region (S)");

    closeButton.setVariant(1);
    closeButton.setTooltip("Close");
    playButton.setVariant(1);
    playButton.setTooltip("Play the trimmed sample (space)");
    stopButton.setVariant(1);
    stopButton.setTooltip("Stop");
    zoomOutButton.setVariant(1);
    zoomOutButton.setTooltip(juce::String::fromUTF8("Zoom out (\xe2\x88\x92)"));
    zoomInButton.setVariant(1);
    zoomInButton.setTooltip("Zoom in (+)");

    shapeSelector.setSelectedIndex(0, false);
    shapeSelector.setTooltip(
        "The curve both fades follow: smooth (raised cosine), linear, or exponential (slow start, fast finish)");
    shapeSelector.setNaturalLayout(true);

    gainSlider.setRange(-24.0, 24.0, 0.1);
    gainSlider.setValue(0.0, juce::dontSendNotification);
    gainSlider.fillMode = 2;
    gainSlider.colourIndex = 0;
    gainSlider.setDoubleClickReturnValue(true, 0.0);
    gainSlider.setTooltip("Gain applied to the trimmed sample, dB (double-click resets)");

    // Actions.
    doneButton.onClick = [this] { requestClose(); };
    closeButton.onClick = [this] { requestClose(); };
    playButton.onClick = [this] {
        if (playing)
            stopPlayback();
        else
            startPlayback();
    };
    stopButton.onClick = [this] { stopPlayback(); };
    loopButton.onClick = [this] { toggleLoop(); };
    allButton.onClick = [this] { togglePlayAll(); };
    autoTrimButton.onClick = [this] { autoTrim(); };
    trimSilenceButton.onClick = [this] { trimSilence(); };
    snapButton.onClick = [this] {
        snap = !snap;
        snapButton.setActive(snap);
    };
    processButton.onClick = [this] { showProcessMenu(); };
    normalizeButton.onClick = [this] {
        auto s = state;
        s.normalize = !s.normalize;
        pushState(s, "Normalize");
    };
    fadeInField.onTextChange = [this] { commitFadeField(true); };
    fadeOutField.onTextChange = [this] { commitFadeField(false); };
    shapeSelector.onChange = [this](int k) {
        auto s = state;
        s.fadeShape = static_cast<uint8_t>(k == 1 || k == 2 ? k : 0);
        pushState(s, "Fade shape");
    };
    thresholdField.onTextChange = [this] {
        thresholdDb = std::clamp(readFieldNumber(thresholdField.getText()), -120.0, 0.0);
        statsText();
    };
    gainSlider.onDragStart = [this] { gestureStart = state; };
    gainSlider.onValueChange = [this] {
        state.gainDb = std::round(gainSlider.getValue() * 10.0) / 10.0;
        statsText();
        repaintViews();
    };
    gainSlider.onDragEnd = [this] {
        const auto n = state;
        state = gestureStart;
        pushState(n, "Gain");
    };
    gainField.onTextChange = [this] {
        auto s = state;
        s.gainDb = std::clamp(readFieldNumber(gainField.getText()), -24.0, 24.0);
        pushState(s, "Edit sample");
    };
    zoomOutButton.onClick = [this] { zoomAbout(0.5, viewStart + viewLength / 2.0); };
    zoomInButton.onClick = [this] { zoomAbout(2.0, viewStart + viewLength / 2.0); };
    fitButton.onClick = [this] { setView(0.0, static_cast<double>(sourceFrames)); };
    trimButton.onClick = [this] { zoomToTrim(); };

    for (juce::Component* c : std::initializer_list<juce::Component*>{
             &titleLabel, &nameLabel, &infoLabel, &doneButton, &closeButton, &playButton, &stopButton,
             &loopButton, &allButton, &autoTrimButton, &trimSilenceButton, &thresholdCaption, &thresholdField,
             &snapButton, &normalizeButton, &processButton, &fadeInCaption, &fadeInField, &fadeOutCaption,
             &fadeOutField, &shapeCaption, &shapeSelector, &gainCaption, &gainSlider, &gainField, &zoomOutButton,
             &zoomInButton, &fitButton, &trimButton, &overview, &wave, &statsLabel, &hintLabel})
        addAndMakeVisible(c);
}

void SampleEditor::statsText() {
    const auto view = sourceView();
    const MeasureKey key{state.start, state.end, state.reverse, state.removeDc, state.channelMode};
    if (!(key == measuredKey)) {
        if (state.end - state.start > kDirectMeasureFrames && meter.builtFor(view)) {
            means = meter.means(state, view);
            measured = meter.measure(state, view, means);
        } else {
            means = channelMeans(state, view);
            measured = measurePeakRms(state, view);
        }
        measuredKey = key;
    }
    const float peak = measured.peak;
    const double rms = measured.rms;
    // editGain's own rule, from the kept peak rather than a second scan.
    const double g = !state.normalize ? editGain(state, view)
                     : peak > 1e-9f   ? std::pow(10.0, -0.015) / static_cast<double>(peak)
                                      : std::pow(10.0, state.gainDb / 20.0);
    const int32_t rate = deps.sampleRate;
    const int64_t length = state.end - state.start;

    juce::String text = "START " + msText(state.start, rate) + "   END " + msText(state.end, rate) + "   LENGTH " +
                        msText(length, rate) + " (" + juce::String(length) + " smp)" + "   PEAK " +
                        formatGainDb(peak * g) + "   RMS " + formatGainDb(rms * g);
    const bool clips = peak * g > 1.0;
    if (clips) text += "   CLIPS";
    juce::StringArray flags;
    if (state.reverse) flags.add("REVERSED");
    if (state.removeDc) flags.add("DC REMOVED");
    if (state.channelMode == 1) flags.add("L/R SWAPPED");
    if (state.channelMode == 2) flags.add("MONO");
    if (!flags.isEmpty()) text += "   " + flags.joinIntoString(juce::String::fromUTF8(" \xc2\xb7 "));
    statsLabel.setText(text, juce::dontSendNotification);
    statsLabel.setColour(juce::Label::textColourId,
                         themeColour(clips ? ThemeColour::danger : ThemeColour::textSecondary));

    fadeInField.setText(fixed(state.fadeInMs, 1) + " ms", juce::dontSendNotification);
    fadeOutField.setText(fixed(state.fadeOutMs, 1) + " ms", juce::dontSendNotification);
    gainField.setText((state.gainDb < 0.0 ? kMinus : juce::String("+")) + fixed(std::fabs(state.gainDb), 1) + " dB",
                      juce::dontSendNotification);
    if (std::fabs(gainSlider.getValue() - state.gainDb) > 1e-6)
        gainSlider.setValue(state.gainDb, juce::dontSendNotification);

    normalizeButton.setActive(state.normalize);
    normalizeButton.repaint();
    processButton.setActive(state.reverse || state.removeDc || state.channelMode != 0);
    processButton.repaint();
    const int shape = state.fadeShape == 1 || state.fadeShape == 2 ? state.fadeShape : 0;
    if (shapeSelector.getSelectedIndex() != shape) shapeSelector.setSelectedIndex(shape, false);
    thresholdField.setText((thresholdDb < 0.0 ? kMinus : juce::String()) + fixed(std::fabs(thresholdDb), 0) + " dB",
                           juce::dontSendNotification);
    overview.repaint();
}

InterleavedAudioView SampleEditor::sourceView() const noexcept { return deps.sourceView(); }

int SampleEditor::captionWidth(const juce::Label& label) const {
    return textWidth(label.getFont(), label.getText()) + 4;
}

int SampleEditor::fieldWidth(const juce::Label& label, const juce::String& text) const {
    return textWidth(label.getFont(), text) + 24;
}

void SampleEditor::mouseDown(const juce::MouseEvent&) { grabKeyboardFocus(); }

void SampleEditor::visibilityChanged() {
    if (isShowing()) grabKeyboardFocus();
}

void SampleEditor::parentHierarchyChanged() {
    if (isShowing()) grabKeyboardFocus();
}

void SampleEditor::resized() {
    auto area = juce::Rectangle<int>(10, 10, std::max(0, getWidth() - 20), std::max(0, getHeight() - 20));

    // Header: close and DONE from the right; title, name and info from the left.
    auto header = takeTop(area, 36);
    const int headerHeight = header.getHeight();
    closeButton.setBounds(centredIcon(takeRight(header, 34)));
    takeRight(header, 8);
    doneButton.setBounds(inset(takeRight(header, doneButton.getIdealWidth()), 3, 6));
    titleLabel.setBounds(takeLeft(header, captionWidth(titleLabel) + 8).withHeight(headerHeight));
    const int nameWidth = std::clamp(textWidth(nameLabel.getFont(), nameLabel.getText()) + 12, 120, 360);
    nameLabel.setBounds(takeLeft(header, nameWidth));
    infoLabel.setBounds(header);

    auto button = [](juce::Rectangle<int>& row, widgets::V6Button& b) {
        b.setBounds(inset(takeLeft(row, b.getIdealWidth()), 2, 4));
    };
    auto caption = [this](juce::Rectangle<int>& row, juce::Label& label) {
        label.setBounds(takeLeft(row, captionWidth(label)));
    };

    // Transport row.
    takeTop(area, 6);
    auto transport = takeTop(area, 34);
    playButton.setBounds(centredIcon(takeLeft(transport, 34)));
    takeLeft(transport, 4);
    stopButton.setBounds(centredIcon(takeLeft(transport, 34)));
    takeLeft(transport, 8);
    button(transport, loopButton);
    takeLeft(transport, 8);
    button(transport, allButton);
    takeLeft(transport, 18);
    button(transport, autoTrimButton);
    takeLeft(transport, 8);
    button(transport, trimSilenceButton);
    takeLeft(transport, 8);
    caption(transport, thresholdCaption);
    takeLeft(transport, 4);
    thresholdField.setBounds(inset(takeLeft(transport, fieldWidth(thresholdField, kMinus + "120 dB")), 3, 6));
    takeLeft(transport, 8);
    button(transport, snapButton);
    takeLeft(transport, 18);
    button(transport, normalizeButton);
    takeLeft(transport, 8);
    button(transport, processButton);

    // Fades and gain, then the view controls from the right.
    takeTop(area, 6);
    auto fades = takeTop(area, 34);
    const int fadeWidth = fieldWidth(fadeInField, "9999.9 ms");
    caption(fades, fadeInCaption);
    takeLeft(fades, 4);
    fadeInField.setBounds(inset(takeLeft(fades, fadeWidth), 3, 6));
    takeLeft(fades, 10);
    caption(fades, fadeOutCaption);
    takeLeft(fades, 4);
    fadeOutField.setBounds(inset(takeLeft(fades, fadeWidth), 3, 6));
    takeLeft(fades, 10);
    caption(fades, shapeCaption);
    takeLeft(fades, 4);
    shapeSelector.setBounds(inset(takeLeft(fades, shapeSelector.getIdealWidth()), 2, 4));
    takeLeft(fades, 18);
    caption(fades, gainCaption);
    takeLeft(fades, 6);
    gainSlider.setBounds(inset(takeLeft(fades, 130), 5, 10));
    takeLeft(fades, 4);
    gainField.setBounds(inset(takeLeft(fades, fieldWidth(gainField, kMinus + "24.0 dB")), 3, 6));
    trimButton.setBounds(inset(takeRight(fades, trimButton.getIdealWidth()), 2, 4));
    takeRight(fades, 8);
    fitButton.setBounds(inset(takeRight(fades, fitButton.getIdealWidth()), 2, 4));
    takeRight(fades, 8);
    zoomInButton.setBounds(centredIcon(takeRight(fades, 34)));
    takeRight(fades, 4);
    zoomOutButton.setBounds(centredIcon(takeRight(fades, 34)));

    // Overview and waveform above, stats and hint below.
    takeTop(area, 6);
    hintLabel.setBounds(takeBottom(area, 18));
    statsLabel.setBounds(takeBottom(area, 24));
    takeBottom(area, 6);
    overview.setBounds(takeTop(area, 48));
    takeTop(area, 6);
    wave.setBounds(area);
}

void SampleEditor::paint(juce::Graphics& g) {
    const auto clip = g.getClipBounds();
    g.setGradientFill(juce::ColourGradient(themeColour(ThemeColour::editorGradientTop), 0.0f, 0.0f,
                                           themeColour(ThemeColour::editorGradientBottom), 0.0f,
                                           static_cast<float>(getHeight()), false));
    g.fillRect(clip);
    const auto waveBounds = wave.getBounds();
    if (clip.intersects(waveBounds.expanded(6)) && !waveBounds.reduced(16).contains(clip))
        widgets::paintAccentGlow(g, waveBounds.toFloat(), static_cast<float>(Theme::instance().spacing));
}

}  // namespace vt6::ui::zemedit
