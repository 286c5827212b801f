// What the sample editor's controls, keys and timer do: every edit becomes
// one named undo step through pushState; playback goes through the host;
// closing asks to apply or discard.
#include <algorithm>
#include <cmath>
#include <span>

#include "analysis/hit_detector.hpp"
#include "editor/ui/sample_editor.hpp"
#include "widgets/menus.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

SampleEditor::StateAction::StateAction(SampleEditor& e, const SampleEditState& b, const SampleEditState& a)
    : editor(&e), before(b), after(a) {}

SampleEditor::StateAction::~StateAction() = default;

bool SampleEditor::StateAction::applyState(const SampleEditState& s) {
    auto* e = editor.getComponent();
    if (e == nullptr) return false;
    e->state = s;
    e->statsText();
    e->repaintViews();
    return true;
}

void SampleEditor::pushState(SampleEditState s, const juce::String& name) {
    s = keepInsideSource(s, sourceFrames);
    if (s == state) return;
    undoManager.beginNewTransaction(name);
    undoManager.perform(new StateAction(*this, state, s), name);
}

void SampleEditor::setLiveState(const SampleEditState& s) {
    state = s;
    statsText();
    repaintViews();
}

int64_t SampleEditor::nearestZeroCrossing(int64_t frame, int64_t radius) const {
    return zemedit::nearestZeroCrossing(sourceView(), frame, radius);
}

void SampleEditor::commitFadeField(bool fadeIn) {
    auto& field = fadeIn ? fadeInField : fadeOutField;
    juce::String digits;
    for (const auto c : field.getText())
        if ((c >= '0' && c <= '9') || c == '.') digits += juce::String::charToString(c);
    const double v = readFieldNumber(digits);
    auto s = state;
    (fadeIn ? s.fadeInMs : s.fadeOutMs) = v;
    pushState(s, "Edit sample");
    // Shows the value in force even when nothing changed (5000 shows 2000.0 ms).
    statsText();
}

void SampleEditor::trimSilence() {
    const auto [start, end] = findTrimRegion(sourceView(), thresholdDb, 0.0, 10.0);
    auto s = state;
    s.start = start;
    s.end = end;
    pushState(s, "Trim silence");
}

void SampleEditor::autoTrim() {
    const int32_t channels = deps.channels;
    if (channels <= 0 || sourceFrames < 4096 || autoTrimBusy) return;
    autoTrimBusy = true;
    autoTrimButton.setEnabled(false);
    if (autoTrimThread.joinable()) autoTrimThread.join();  // the previous one has posted its result
    autoTrimCancel = false;
    // The worker reads the source, which lives as long as the editor; the
    // destructor stops and joins it first.
    const InterleavedAudioView view = sourceView();
    const float peak = sourcePeak;
    juce::Component::SafePointer<SampleEditor> safe(this);
    autoTrimThread = std::thread([view, peak, safe, cancel = &autoTrimCancel] {
        std::vector<float> mono(static_cast<size_t>(view.frames));
        const float* in = view.samples;
        const int32_t n = view.channels;
        for (int64_t i = 0; i < view.frames; ++i) {
            if ((i & 0xffff) == 0 && cancel->load(std::memory_order_relaxed)) return;
            float sum = 0.0f;
            for (int32_t c = 0; c < n; ++c) sum += in[i * n + c];
            mono[static_cast<size_t>(i)] = sum / static_cast<float>(n);
        }
        fmt::HitDetector detector;
        const auto hits = fmt::detectHits(detector, std::span<const float>(mono), view.sampleRate);
        if (cancel->load()) return;
        AutoTrimResult result;
        if (!hits.empty()) {
            const fmt::DetectedHit* loudest = &hits.front();
            for (const auto& hit : hits)
                if (hit.peak > loudest->peak) loudest = &hit;
            result = {loudest->start, loudest->end, true};
        } else {
            const double floorDb = 20.0 * std::log10(std::max(static_cast<double>(peak), 1e-6)) - 60.0;
            const auto [start, end] = findTrimRegion(view, floorDb, 0.0, 10.0);
            result = {start, end, false};
        }
        juce::MessageManager::callAsync([safe, result] {
            if (auto* self = safe.getComponent()) self->finishAutoTrim(result);
        });
    });
}

void SampleEditor::finishAutoTrim(const AutoTrimResult& result) {
    autoTrimBusy = false;
    autoTrimButton.setEnabled(true);
    // Edits made meanwhile stay; only the region (and, from a hit, the fades) change.
    auto s = state;
    s.start = result.start;
    s.end = result.end;
    if (result.fromHit) {
        s.fadeInMs = 0.5;
        s.fadeOutMs = 8.0;
    }
    pushState(s, "Auto-trim");
}

void SampleEditor::showProcessMenu() {
    const bool multi = deps.channels > 1;
    juce::PopupMenu menu;
    menu.addItem(1, "Reverse", true, state.reverse);
    menu.addItem(2, "Remove DC offset", true, state.removeDc);
    menu.addSeparator();
    menu.addItem(3, "Swap L / R", multi, state.channelMode == 1);
    menu.addItem(4, "Sum to mono", multi, state.channelMode == 2);
    juce::Component::SafePointer<SampleEditor> safe(this);
    const auto options = juce::PopupMenu::Options().withTargetComponent(&processButton).withMinimumWidth(180);
    widgets::showMenuAsync(menu, options, [safe](int result) {
        auto* self = safe.getComponent();
        if (self == nullptr || result == 0) return;
        auto s = self->state;
        const char* name = nullptr;
        switch (result) {
            case 1:
                s.reverse = !s.reverse;
                name = "Reverse";
                break;
            case 2:
                s.removeDc = !s.removeDc;
                name = "Remove DC offset";
                break;
            case 3:
                s.channelMode = s.channelMode == 1 ? 0 : 1;
                name = "Swap L/R";
                break;
            case 4:
                s.channelMode = s.channelMode == 2 ? 0 : 2;
                name = "Sum to mono";
                break;
            default:
                return;
        }
        self->pushState(s, name);
        self->grabKeyboardFocus();
    });
}

void SampleEditor::toggleLoop() {
    loop = !loop;
    loopButton.setActive(loop);
}

void SampleEditor::togglePlayAll() {
    playAll = !playAll;
    allButton.setActive(playAll);
    if (playing) startPlayback();
}

void SampleEditor::nudge(int64_t delta) {
    auto s = state;
    if (lastHandle == 0)
        s.start = s.start + delta < 0 ? 0 : std::min(s.end - 1, s.start + delta);
    else
        s.end = s.end + delta < s.start + 1 ? s.start + 1 : std::min(sourceFrames, s.end + delta);
    pushState(s, "Nudge");
}

bool SampleEditor::trimAtPlayhead(bool atStart) {
    if (!playing || playheadFrame < 0) return false;
    auto s = state;
    if (atStart) {
        s.start = std::min(s.end - 1, playheadFrame);
        lastHandle = 0;
    } else {
        s.end = playheadFrame >= s.start + 1 ? std::min(sourceFrames, playheadFrame) : s.start + 1;
        lastHandle = 1;
    }
    pushState(s, "Trim at playhead");
    return true;
}

bool SampleEditor::keyPressed(const juce::KeyPress& key) {
    const auto mods = key.getModifiers();
    const int code = key.getKeyCode();
    const auto upper = juce::CharacterFunctions::toUpperCase(static_cast<juce::juce_wchar>(code));
    const auto text = key.getTextCharacter();

    if (upper == 'Z') {
        // The undo key is Ctrl+Z here; plain Z is left to the host.
        if (!mods.isCtrlDown()) return false;
        if (mods.isShiftDown())
            undoManager.redo();
        else
            undoManager.undo();
        return true;
    }
    // Other shortcuts with Ctrl are the program's commands (Ctrl+S saves, or
    // says why it cannot yet).
    if (mods.isCtrlDown() || mods.isCommandDown()) return false;
    if (code == juce::KeyPress::spaceKey) {
        const double now = juce::Time::getMillisecondCounterHiRes();
        // A held key's auto-repeat never toggles.
        if (now - lastSpaceMs > 80.0) {
            if (playing)
                stopPlayback();
            else
                startPlayback();
        }
        lastSpaceMs = now;
        return true;
    }
    if (code == juce::KeyPress::escapeKey) {
        requestClose();
        return true;
    }
    // Delete and Backspace are consumed so that they never reach the zem
    // editor behind, which would offer to delete the sample being edited.
    if (code == juce::KeyPress::deleteKey || code == juce::KeyPress::backspaceKey) return true;
    if (code == juce::KeyPress::leftKey || code == juce::KeyPress::rightKey) {
        const int64_t d = mods.isShiftDown() ? std::llrint(deps.sampleRate * 0.01) : 1;
        nudge(code == juce::KeyPress::leftKey ? -d : d);
        return true;
    }
    if (code == juce::KeyPress::homeKey) {
        setView(0.0, viewLength);
        return true;
    }
    if (code == juce::KeyPress::endKey) {
        setView(static_cast<double>(sourceFrames) - viewLength, viewLength);
        return true;
    }
    if (code == '[' || text == '[') return trimAtPlayhead(true);
    if (code == ']' || text == ']') return trimAtPlayhead(false);
    if (code == '+' || code == '=' || text == '+' || text == '=') {
        zoomAbout(2.0, viewStart + viewLength / 2.0);
        return true;
    }
    if (code == '-' || text == '-') {
        zoomAbout(0.5, viewStart + viewLength / 2.0);
        return true;
    }
    switch (upper) {
        case 'L':
            toggleLoop();
            return true;
        case 'A':
            togglePlayAll();
            return true;
        case 'F':
            setView(0.0, static_cast<double>(sourceFrames));
            return true;
        case 'S':
            zoomToTrim();
            return true;
        default:
            return false;
    }
}

void SampleEditor::setView(double start, double length) {
    const double width = static_cast<double>(wave.getWidth());
    const double minimum = std::max(0.125 * width, 16.0);
    const double maximum = std::max(static_cast<double>(sourceFrames), 1.0);
    length = length < minimum ? minimum : std::min(length, maximum);
    start = start < 0.0 ? 0.0 : std::min(start, std::max(0.0, static_cast<double>(sourceFrames) - length));
    if (start == viewStart && length == viewLength) return;
    viewStart = start;
    viewLength = length;
    repaintViews();
}

void SampleEditor::zoomAbout(double factor, double anchor) {
    const double length = viewLength / factor;
    const double relative = viewLength > 0.0 ? (anchor - viewStart) / viewLength : 0.5;
    setView(anchor - length * relative, length);
}

void SampleEditor::zoomToTrim() {
    const auto n = static_cast<double>(state.end - state.start);
    setView(static_cast<double>(state.start) - 0.04 * n, 1.08 * n);
}

void SampleEditor::repaintViews() {
    wave.repaint();
    overview.repaint();
}

void SampleEditor::stopRender() {
    renderCancel = true;
    if (renderThread.joinable()) renderThread.join();
    renderCancel = false;
}

void SampleEditor::startPlayback() {
    if (!deps.play) return;
    const int64_t frames = playAll ? sourceFrames : state.end - state.start;
    if (deps.playStream && frames > 0 && !deps.audio.empty()) {
        // A finished render of the same edit plays again as it is (a loop
        // restart); otherwise a new one starts and the host plays its frames
        // as they come, so sound starts at once even on a long take.
        const bool reuse = stream != nullptr && streamAll == playAll && streamState == state &&
                           stream->ready.load(std::memory_order_acquire) == stream->frames;
        if (!reuse) {
            stopRender();
            stream.reset();  // the host may still hold it; the next one is new
            auto fresh = std::make_shared<lib::StreamedAudio>(frames, deps.channels, deps.sampleRate);
            if (deps.playStream(fresh)) {
                stream = fresh;
                streamState = state;
                streamAll = playAll;
                renderThread = std::thread([fresh, edit = state, view = sourceView(), all = playAll,
                                            cancel = &renderCancel] {
                    const int32_t n = view.channels;
                    std::unique_ptr<RegionRenderer> renderer;
                    if (!all) renderer = std::make_unique<RegionRenderer>(edit, view);
                    // A short first piece, so the first sound waits for little.
                    int64_t piece = 4096;
                    for (int64_t i = 0; i < fresh->frames && !cancel->load(std::memory_order_relaxed);) {
                        const int64_t e = std::min(fresh->frames, i + piece);
                        float* out = fresh->samples.get() + i * n;
                        if (all)
                            std::copy(view.samples + i * n, view.samples + e * n, out);
                        else
                            renderer->render(i, e, out);
                        fresh->ready.store(e, std::memory_order_release);
                        i = e;
                        piece = 65536;
                    }
                });
            }
        }
        if (stream != nullptr && (!reuse || deps.playStream(stream))) {
            beginPlaying();
            return;
        }
    }
    // ALL plays the source itself: the host copies what it plays, so a copy
    // here would only add a whole sample's worth of memory.
    std::vector<float> rendered;
    if (!playAll) rendered = renderSampleEdit(state, sourceView());
    const std::span<const float> audio = playAll ? std::span<const float>(deps.audio) : std::span<const float>(rendered);
    if (audio.empty()) return;
    deps.play(audio, deps.channels, deps.sampleRate);
    beginPlaying();
}

void SampleEditor::beginPlaying() {
    playing = true;
    // The playhead follows what was started, whatever is edited meanwhile.
    playedStart = playAll ? 0 : state.start;
    playedEnd = playAll ? sourceFrames : state.end;
    playedReverse = !playAll && state.reverse;
    playStartMs = juce::Time::getMillisecondCounterHiRes();
    startTimer(33);
    playButton.setActive(true);
    repaintViews();
}

void SampleEditor::stopPlayback() {
    if (!playing) return;
    playing = false;
    // An unfinished render is of no use any more.
    if (stream != nullptr && stream->ready.load(std::memory_order_acquire) != stream->frames) {
        stopRender();
        stream.reset();
    }
    if (deps.stop) deps.stop();
    playButton.setActive(false);
    playheadFrame = -1;
    repaintViews();
}

void SampleEditor::timerCallback() {
    // The playhead tick runs only while something plays.
    if (!playing) {
        stopTimer();
        return;
    }
    const int64_t base = playedStart;
    const int64_t length = playedEnd - playedStart;
    const double rate = std::max(deps.sampleRate, 1);
    const double durationMs = static_cast<double>(length) * 1000.0 / rate;
    const double elapsed = juce::Time::getMillisecondCounterHiRes() - playStartMs;
    bool goesOn = false;
    if (deps.playhead) {
        const auto p = deps.playhead();
        if (p.playing && p.length != 0) {
            int64_t frame = base + std::llrint(static_cast<double>(p.position) / std::max(deps.previewRate, 1.0) *
                                               deps.sampleRate);
            if (playedReverse && frame >= playedStart && frame < playedEnd)
                frame = playedStart + playedEnd - 1 - frame;
            playheadFrame = frame;
            goesOn = static_cast<int64_t>(p.position) < static_cast<int64_t>(p.length);
        } else {
            playheadFrame = -1;
            goesOn = elapsed < durationMs + 40.0;
        }
    } else {
        goesOn = elapsed < durationMs + 40.0;
    }
    if (!goesOn) {
        if (loop)
            startPlayback();
        else
            stopPlayback();
        return;
    }
    wave.repaint();
}

void SampleEditor::requestClose() {
    stopPlayback();
    if (state == appliedState) {
        if (deps.close) deps.close();
        return;
    }
    const auto message = "Apply the changes to \"" + juce::String::fromUTF8(deps.name.c_str()) +
                         "\"? (Undo in the zem editor can still take them back.)";
    const auto options = juce::MessageBoxOptions()
                             .withIconType(juce::MessageBoxIconType::InfoIcon)
                             .withTitle("Sample changed")
                             .withMessage(message)
                             .withButton("Apply")
                             .withButton("Discard")
                             .withButton("Cancel")
                             .withAssociatedComponent(this);
    juce::Component::SafePointer<SampleEditor> safe(this);
    widgets::showMessageBoxAsync(options, [safe](int result) {
        auto* self = safe.getComponent();
        if (self == nullptr) return;
        if (result == 1) {
            self->applyEditsInBackground([safe](bool ok) {
                auto* editor = safe.getComponent();
                if (editor == nullptr) return;
                if (!ok) {
                    // The edit stays here rather than being lost with the editor.
                    widgets::showMessageBoxAsync(juce::MessageBoxOptions()
                                                     .withIconType(juce::MessageBoxIconType::WarningIcon)
                                                     .withTitle("Sample editor")
                                                     .withMessage("The changes could not be applied. The sample is "
                                                                  "unchanged.")
                                                     .withButton("OK")
                                                     .withAssociatedComponent(editor));
                    return;
                }
                if (editor->deps.close) editor->deps.close();
            });
        } else if (result == 2) {
            if (self->deps.close) self->deps.close();
        }
    });
}

void SampleEditor::applyEditsInBackground(std::function<void(bool)> done) {
    if (applying) return;
    const bool changesSamples = state.fadeInMs != 0.0 || state.fadeOutMs != 0.0 || state.gainDb != 0.0 ||
                                state.normalize || state.reverse || state.removeDc || state.channelMode != 0;
    if (!deps.apply || !changesSamples) {
        // Nothing to render: the region alone goes to the host at once.
        const bool ok = applyEdits();
        if (done) done(ok);
        return;
    }
    applying = true;
    setEnabled(false);
    setMouseCursor(juce::MouseCursor::WaitCursor);
    if (applyThread.joinable()) applyThread.join();
    juce::Component::SafePointer<SampleEditor> safe(this);
    applyThread = std::thread([safe, edit = state, view = sourceView(), prepare = deps.prepareApply,
                               done = std::move(done)] {
        auto audio = std::make_shared<std::vector<float>>(renderWholeSample(edit, view));
        std::function<bool()> commit;
        // The host's own long work (encoding, measuring) runs here as well.
        if (prepare && !audio->empty())
            commit = prepare(std::move(*audio), view.channels, view.sampleRate, edit.start, edit.end);
        juce::MessageManager::callAsync([safe, audio, commit, edit, done] {
            if (auto* self = safe.getComponent()) self->finishApply(std::move(*audio), commit, edit, done);
        });
    });
}

void SampleEditor::finishApply(std::vector<float> audio, const std::function<bool()>& commit,
                               const SampleEditState& applied, const std::function<void(bool)>& done) {
    applying = false;
    setEnabled(true);
    setMouseCursor(juce::MouseCursor::NormalCursor);
    bool ok = false;
    if (commit)
        ok = commit();
    else if (!audio.empty())  // an empty buffer would tell the host to change the region only
        ok = deps.apply(std::move(audio), deps.channels, deps.sampleRate, applied.start, applied.end);
    if (ok) appliedState = applied;
    if (done) done(ok);
}

bool SampleEditor::applyEdits() {
    if (!deps.apply) {
        appliedState = state;
        return true;
    }
    const bool changesSamples = state.fadeInMs != 0.0 || state.fadeOutMs != 0.0 || state.gainDb != 0.0 ||
                                state.normalize || state.reverse || state.removeDc || state.channelMode != 0;
    std::vector<float> audio;
    if (changesSamples) {
        audio = renderWholeSample(state, sourceView());
        // An empty buffer would tell the host to change the region only.
        if (audio.empty()) return false;
    }
    const bool ok = deps.apply(std::move(audio), deps.channels, deps.sampleRate, state.start, state.end);
    if (ok) appliedState = state;
    return ok;
}

}  // namespace vt6::ui::zemedit
