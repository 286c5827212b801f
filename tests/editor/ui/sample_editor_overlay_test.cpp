#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/peer_mouse.hpp"
#include "editor/ui/sample_editor.hpp"
#include "editor/ui/sample_editor_access.hpp"
#include "editor/ui/user_messages.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

namespace {

using test::pumpUntil;

struct Boxes {
    struct Box {
        juce::String title, message;
        std::function<void(int)> answer;
    };
    std::vector<Box> boxes;
    Boxes() {
        widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> cb) {
            boxes.push_back({o.getTitle(), o.getMessage(), std::move(cb)});
        });
    }
    ~Boxes() { widgets::setMessageBoxPresenter({}); }
};

// The real overlay in a window, with a host that records the undo manager it
// is handed and what the editor plays.
struct OverlayHost {
    juce::UndoManager* undoTarget = nullptr;
    int undoHandovers = 0;
    ZemEditDeps::PreviewPlayhead playhead;

    struct Preview : lib::PreviewService {
        int plays = 0, stops = 0;
        std::vector<float> played;
        bool auditionSample(const std::string&, int32_t) override { return true; }
        void stop() override { ++stops; }
        bool play(const float* s, size_t n, int32_t, int32_t) override {
            ++plays;
            played.assign(s, s + n);
            return true;
        }
        void setGain(float) override {}
        float gain() override { return 1.0f; }
    } preview;

    std::unique_ptr<ZemEditOverlay> overlay;

    explicit OverlayHost(const std::string& path = {}) {
        ZemEditDeps d;
        d.standalone = true;
        d.filePath = path;
        d.previewService = &preview;
        d.onUndoManager = [this](juce::UndoManager* m) {
            undoTarget = m;
            ++undoHandovers;
        };
        d.playhead = [this] { return playhead; };
        overlay = std::make_unique<ZemEditOverlay>(std::move(d));
        overlay->setSize(1280, 689);
        overlay->addToDesktop(0);
        overlay->setVisible(true);
    }
    ~OverlayHost() {
        if (overlay != nullptr) overlay->removeFromDesktop();
    }
    ZemEditOverlay* operator->() { return overlay.get(); }
    SampleEditor* editor() { return SampleEditorOverlayAccess::editor(*overlay); }
    void open(uint64_t uid) { SampleEditorOverlayAccess::open(*overlay, uid); }

    // A mono 16-bit sample of `frames` frames added to group `group`.
    uint64_t addSample(int64_t frames, int group = 1, int channels = 1) {
        std::vector<float> audio(static_cast<size_t>(frames * channels));
        for (size_t i = 0; i < audio.size(); ++i) audio[i] = 0.25f * static_cast<float>((i % 50)) / 50.0f - 0.1f;
        const uint64_t uid = overlay->viewModel.addSampleFromPcm("Snare", std::move(audio), channels, 44100, 0.1, 0,
                                                                 0, group, fmt::HitLevel{}, false);
        if (auto* s = overlay->document().liveRecord(uid)) s->bits = 16;
        overlay->refreshAfterCommand();
        return uid;
    }
};

TEST(SampleEditorInOverlay, TheAudioLoadsOffTheMessageThread) {
    Boxes boxes;
    OverlayHost host;
    const uint64_t uid = host.addSample(200000, 1, 2);
    // The request returns at once: nothing is mounted yet, the overlay shows
    // it is busy, and a second request meanwhile is ignored.
    SampleEditorOverlayAccess::request(*host.overlay, uid);
    EXPECT_TRUE(SampleEditorOverlayAccess::loading(*host.overlay));
    EXPECT_EQ(host->sampleEditor, nullptr);
    EXPECT_EQ(host->getMouseCursor(), juce::MouseCursor(juce::MouseCursor::WaitCursor));
    SampleEditorOverlayAccess::request(*host.overlay, uid);
    ASSERT_TRUE(pumpUntil([&] { return host.editor() != nullptr; }));
    EXPECT_FALSE(SampleEditorOverlayAccess::loading(*host.overlay));
    EXPECT_EQ(host->getMouseCursor(), juce::MouseCursor(juce::MouseCursor::NormalCursor));
    EXPECT_EQ(host.editor()->deps.audio, host->viewModel.sampleAudio(uid)->samples);
    EXPECT_EQ(host.undoHandovers, 1);
    SampleEditorOverlayAccess::close(*host.overlay);

    // The sample is gone by the time its audio is there: no editor, no box.
    SampleEditorOverlayAccess::request(*host.overlay, uid);
    ASSERT_TRUE(host->undoManager().undo());
    ASSERT_EQ(host->document().sampleByUid(uid), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return !SampleEditorOverlayAccess::loading(*host.overlay); }));
    EXPECT_EQ(host->sampleEditor, nullptr);
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST(SampleEditorInOverlay, OpensOverTheOverlayAndHandsOverTheUndoManager) {
    OverlayHost host;
    const uint64_t uid = host.addSample(44100);
    ASSERT_NE(uid, 0u);
    host.open(uid);
    auto* editor = host.editor();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->getBounds(), host->getLocalBounds());
    EXPECT_EQ(editor->getParentComponent(), host.overlay.get());
    EXPECT_EQ(host.undoTarget, &editor->undoManager);
    EXPECT_EQ(editor->deps.groupName, "Soft");
    EXPECT_EQ(editor->deps.bitDepth, 16);
    EXPECT_EQ(editor->deps.audio.size(), 44100u);
    EXPECT_EQ(editor->deps.colour, Theme::instance().categoryColour(1).getARGB());
    EXPECT_EQ(editor->state.start, 0);
    EXPECT_EQ(editor->state.end, 44100);
    EXPECT_FALSE(host->sampleEditorHasUnappliedChanges());

    // A second open is ignored while one is open.
    host.open(uid);
    EXPECT_EQ(host.editor(), editor);

    // An edit is unapplied; the header's undo (the handed-over manager) takes it back.
    editor->keyPressed(juce::KeyPress(juce::KeyPress::rightKey));
    EXPECT_TRUE(host->sampleEditorHasUnappliedChanges());
    host.undoTarget->undo();
    EXPECT_EQ(editor->state.start, 0);
    EXPECT_FALSE(host->sampleEditorHasUnappliedChanges());

    // Closing without changes: the close is posted; the overlay's own
    // manager comes back.
    editor->requestClose();
    EXPECT_NE(host.editor(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return host->sampleEditor == nullptr; }));
    EXPECT_EQ(host.undoTarget, &host->undoManager());
}

TEST(SampleEditorInOverlay, PlayAndStopGoThroughThePreviewService) {
    OverlayHost host;
    const uint64_t uid = host.addSample(1000);
    host.open(uid);
    auto* editor = host.editor();
    ASSERT_NE(editor, nullptr);
    auto s = editor->state;
    s.gainDb = -6.0;
    editor->pushState(s, "Gain");
    editor->startPlayback();
    EXPECT_EQ(host.preview.plays, 1);
    EXPECT_EQ(host.preview.played, renderSampleEdit(editor->state, editor->sourceView()));
    host.playhead = {1, 300, 1000};
    editor->timerCallback();
    EXPECT_EQ(editor->playheadFrame, 300);
    editor->stopPlayback();
    EXPECT_EQ(host.preview.stops, 1);
}

TEST(SampleEditorInOverlay, DeleteKeysNeverReachTheOverlay) {
    Boxes boxes;
    OverlayHost host;
    const uint64_t uid = host.addSample(1000);
    host->document().selection.insert(uid);
    host.open(uid);
    ASSERT_NE(host.editor(), nullptr);
    auto* peer = host->getPeer();
    ASSERT_NE(peer, nullptr);
    for (const int code : {juce::KeyPress::deleteKey, juce::KeyPress::backspaceKey}) {
        EXPECT_TRUE(host.editor()->keyPressed(juce::KeyPress(code)));
        EXPECT_FALSE(host->keyPressed(juce::KeyPress(code)));
        peer->handleKeyPress(juce::KeyPress(code));
    }
    test::pumpFor(20);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_NE(host->document().sampleByUid(uid), nullptr);
}

TEST(SampleEditorInOverlay, ApplyingProcessedAudioIsOneOverlayStep) {
    Boxes boxes;
    OverlayHost host;
    const uint64_t uid = host.addSample(1000);
    const auto before = host->viewModel.sampleAudio(uid).value().samples;
    const auto changes = host->document().changeCounter;
    host.open(uid);
    auto* editor = host.editor();
    auto s = editor->state;
    s.start = 100;
    s.end = 900;
    s.reverse = true;
    editor->pushState(s, "Reverse");
    editor->requestClose();
    ASSERT_EQ(boxes.boxes.size(), 1u);
    boxes.boxes[0].answer(1);
    ASSERT_TRUE(pumpUntil([&] { return host->sampleEditor == nullptr; }));

    const auto* sample = host->document().sampleByUid(uid);
    ASSERT_NE(sample, nullptr);
    EXPECT_EQ(sample->regionStart, 100u);
    EXPECT_EQ(sample->regionEnd, 900u);
    const auto after = host->viewModel.sampleAudio(uid).value().samples;
    ASSERT_EQ(after.size(), 1000u);
    // The region is reversed once; the frames outside stay raw.
    EXPECT_EQ(after[100], before[899]);
    EXPECT_EQ(after[899], before[100]);
    EXPECT_EQ(after[50], before[50]);
    EXPECT_GT(host->document().changeCounter, changes);
    EXPECT_EQ(host->undoManager().getUndoDescription(), "Edit sample audio");

    // One undo of the overlay restores the old audio and region.
    EXPECT_EQ(host.undoTarget, &host->undoManager());
    host.undoTarget->undo();
    sample = host->document().sampleByUid(uid);
    EXPECT_EQ(sample->regionStart, 0u);
    EXPECT_TRUE(sample->regionEnd == 0u || sample->regionEnd == 1000u);
    EXPECT_EQ(host->viewModel.sampleAudio(uid).value().samples, before);
}

TEST(SampleEditorInOverlay, ATrimOnlyKeepsTheStoredAudio) {
    Boxes boxes;
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"), 2, 2);
    OverlayHost host(kit);
    ASSERT_EQ(host->viewModel.openState, 1);
    const uint64_t uid = host->document().samples.front().uid;
    const auto stored = host->viewModel.sampleAudio(uid);
    ASSERT_TRUE(stored.ok());
    const uint32_t revision = host->document().sampleByUid(uid)->audioRevision;
    host.open(uid);
    auto* editor = host.editor();
    ASSERT_NE(editor, nullptr);
    const int64_t oldStart = editor->state.start;
    const int64_t oldEnd = editor->state.end;
    auto s = editor->state;
    s.start = oldStart + 10;
    s.end = oldEnd - 10;
    s.fadeShape = 2;  // a curve without fades changes no sample value
    editor->pushState(s, "Trim");
    editor->requestClose();
    boxes.boxes.back().answer(1);
    ASSERT_TRUE(pumpUntil([&] { return host->sampleEditor == nullptr; }));

    const auto* sample = host->document().sampleByUid(uid);
    EXPECT_EQ(sample->regionStart, static_cast<uint64_t>(oldStart + 10));
    EXPECT_EQ(sample->regionEnd, static_cast<uint64_t>(oldEnd - 10));
    EXPECT_EQ(sample->audioRevision, revision);
    EXPECT_EQ(host->viewModel.addedPcm.count(uid), 0u);
    EXPECT_EQ(host->viewModel.sampleAudio(uid).value().samples, stored.value().samples);
    host->undoManager().undo();
    sample = host->document().sampleByUid(uid);
    EXPECT_EQ(static_cast<int64_t>(sample->regionStart), oldStart);

    // Reopened on the same region and applied unchanged in region: nothing to do, no failure.
    host.open(uid);
    editor = host.editor();
    ASSERT_NE(editor, nullptr);
    auto t = editor->state;
    t.fadeShape = 1;
    editor->pushState(t, "Fade shape");
    const auto changes = host->document().changeCounter;
    EXPECT_TRUE(editor->applyEdits());
    EXPECT_EQ(host->document().changeCounter, changes);
}

TEST(SampleEditorInOverlay, AnUnreadableSampleOpensNoEditor) {
    Boxes boxes;
    OverlayHost host;
    const uint64_t uid = host.addSample(1000);
    // Its audio is gone from memory and the zem has no file behind it.
    host->viewModel.addedPcm.erase(uid);
    host.open(uid);
    EXPECT_EQ(host->sampleEditor, nullptr);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].title, "Cannot edit this sample");
    EXPECT_EQ(boxes.boxes[0].message.toStdString(), maker::sampleEditorAudioErrorText());
    EXPECT_TRUE(boxes.boxes[0].message.endsWith("421)"));
    EXPECT_EQ(host.undoHandovers, 0);

    // An unknown uid does nothing at all.
    host.open(uid + 1000);
    EXPECT_EQ(boxes.boxes.size(), 1u);
}

TEST(SampleEditorInOverlay, AFailedApplyKeepsTheEditorOpen) {
    Boxes boxes;
    OverlayHost host;
    const uint64_t uid = host.addSample(1000);
    host.open(uid);
    auto* editor = host.editor();
    auto s = editor->state;
    s.normalize = true;
    editor->pushState(s, "Normalize");
    // The sample disappears behind the editor's back: the document refuses.
    host->document().uidIndex.erase(uid);
    editor->requestClose();
    boxes.boxes.back().answer(1);
    test::pumpFor(30);
    EXPECT_EQ(host.editor(), editor);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[1].title, "Sample editor");
    EXPECT_TRUE(host->sampleEditorHasUnappliedChanges());
}

TEST(SampleEditorInOverlay, HandleDragsAreOneTrimStepThroughTheRealWindow) {
    OverlayHost host;
    const uint64_t uid = host.addSample(44100);
    host.open(uid);
    auto* editor = host.editor();
    ASSERT_NE(editor, nullptr);
    test::PeerMouse mouse{*host.overlay};
    const auto wave = editor->wave.getBounds().toFloat();
    const float y = wave.getY() + 200.0f;

    // Drag the start handle to the middle: one "Trim" step (SNAP may move it
    // to a zero crossing nearby).
    mouse.gesture({wave.getX() + 1.0f, y}, juce::Point<float>(wave.getCentreX(), y));
    EXPECT_EQ(editor->undoManager.getUndoDescription(), "Trim");
    EXPECT_NEAR(static_cast<double>(editor->state.start), 22050.0, 200.0);
    EXPECT_EQ(editor->lastHandle, 0);
    editor->undoManager.undo();
    EXPECT_EQ(editor->state.start, 0);
    EXPECT_FALSE(editor->undoManager.canUndo());

    // A press on the handle that ends where it began leaves nothing.
    mouse.gesture({wave.getX() + 1.0f, y});
    EXPECT_FALSE(editor->undoManager.canUndo());

    // X11 never sends a pinch: the handler itself zooms about the pointer.
    const auto& source = juce::Desktop::getInstance().getMainMouseSource();
    const juce::Point<float> at(static_cast<float>(editor->wave.getWidth()) / 2.0f, 100.0f);
    const juce::MouseEvent pinch(source, at, {}, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, &editor->wave, &editor->wave,
                                 juce::Time::getCurrentTime(), at, juce::Time::getCurrentTime(), 1, false);
    editor->wave.mouseMagnify(pinch, 2.0f);
    EXPECT_DOUBLE_EQ(editor->viewLength, 22050.0);
    EXPECT_DOUBLE_EQ(editor->viewStart, 11025.0);
}

}  // namespace
}  // namespace vt6::ui::zemedit
