// The sample editor auditions through the program's real Audition on a fake
// output device, wired by the overlay as the shell wires it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

#include "app/audition.hpp"
#include "app/fake_audio.hpp"
#include "editor/ui/sample_editor.hpp"
#include "editor/ui/sample_editor_access.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "widgets/gui_support.hpp"

namespace vt6::ui::zemedit {

namespace {

struct AuditionedEditor : ::testing::Test {
    test::ScopedFakeAudio fake;
    maker::Audition audition;
    test::FakeAudioDevice* device = nullptr;
    std::unique_ptr<ZemEditOverlay> overlay;
    std::vector<float> source;
    uint64_t uid = 0;

    void SetUp() override {
        ASSERT_TRUE(audition.initialise(nullptr).isEmpty());
        device = test::fakeDevice(audition.deviceManager());
        ASSERT_NE(device, nullptr);
        ZemEditDeps d;
        d.standalone = true;
        d.previewService = &audition;
        d.previewSampleRate = 44100.0;
        // As the shell reports the transport.
        d.playhead = [this] {
            auto& transport = audition.transport();
            ZemEditDeps::PreviewPlayhead p;
            p.playing = transport.isPlaying() ? 1 : 0;
            p.position = static_cast<int32_t>(transport.getCurrentPosition() * 44100.0);
            p.length = static_cast<int64_t>(transport.getLengthInSeconds() * 44100.0);
            return p;
        };
        overlay = std::make_unique<ZemEditOverlay>(std::move(d));
        overlay->setSize(1280, 689);
        // A stereo source: two decaying tones, different on each side.
        const size_t frames = 20000;
        source.resize(2 * frames);
        for (size_t f = 0; f < frames; ++f) {
            const double t = static_cast<double>(f);
            const double decay = std::exp(-t / 4000.0);
            source[2 * f] = static_cast<float>(0.8 * decay * std::sin(0.07 * t) * (1.0 + 0.3 * std::sin(0.0031 * t)));
            source[2 * f + 1] = static_cast<float>(0.6 * decay * std::sin(0.045 * t + 1.0));
        }
        uid = overlay->viewModel.addSampleFromPcm("Snare 3", source, 2, 44100, 0.1, 0, 0, 1, fmt::HitLevel{}, false);
        ASSERT_NE(uid, 0u);
        SampleEditorOverlayAccess::open(*overlay, uid);
        ASSERT_NE(editor(), nullptr);
    }
    SampleEditor* editor() { return SampleEditorOverlayAccess::editor(*overlay); }
};

TEST_F(AuditionedEditor, PlaysTheRenderedStateAllTheSourceAndFollowsTheTransport) {
    auto* e = editor();
    auto s = e->state;
    s.start = 1000;
    s.end = 2000;
    s.reverse = true;
    s.gainDb = -6.0;
    e->pushState(s, "Reverse");
    e->startPlayback();
    ASSERT_TRUE(e->playing);
    ASSERT_TRUE(test::pumpUntil([&] { return !e->auditionRendering(); }));
    device->render(500);
    const auto expected = renderSampleEdit(e->state, e->sourceView());
    ASSERT_EQ(expected.size(), 2000u);
    ASSERT_GE(device->left.size(), 500u);
    for (size_t f = 0; f < 500; f += 37) {
        EXPECT_FLOAT_EQ(device->left[f], expected[2 * f]) << f;
        EXPECT_FLOAT_EQ(device->right[f], expected[2 * f + 1]) << f;
    }

    // The playhead follows the transport, mirrored over the reversed region.
    device->left.clear();
    device->right.clear();
    e->timerCallback();
    ASSERT_TRUE(e->playing);
    const auto position = static_cast<int32_t>(audition.transport().getCurrentPosition() * 44100.0);
    EXPECT_NEAR(position, 500, 8);
    EXPECT_EQ(e->playheadFrame, 1000 + 2000 - 1 - (1000 + position));

    // Played out without LOOP: the audition ends (on the editor's clock once
    // the transport has stopped).
    device->render(2048);
    EXPECT_TRUE(test::pumpUntil([&] { return !e->playing; }, 2000));
    EXPECT_EQ(e->playheadFrame, -1);

    // With LOOP the region plays again from its start.
    e->loop = true;
    e->startPlayback();
    device->render(2048);
    ASSERT_GT(audition.transport().getCurrentPosition(), 0.0);
    EXPECT_TRUE(test::pumpUntil([&] { return audition.transport().getCurrentPosition() == 0.0; }, 2000));
    EXPECT_TRUE(e->playing);
    device->left.clear();
    device->render(16);
    EXPECT_FLOAT_EQ(device->left[0], expected[0]);

    // ALL plays the untouched source.
    e->loop = false;
    e->keyPressed(juce::KeyPress('A'));
    ASSERT_TRUE(e->playAll);
    ASSERT_TRUE(test::pumpUntil([&] { return !e->auditionRendering(); }));
    device->left.clear();
    device->right.clear();
    device->render(4000);
    for (size_t f = 0; f < 4000; f += 333) {
        EXPECT_FLOAT_EQ(device->left[f], source[2 * f]) << f;
        EXPECT_FLOAT_EQ(device->right[f], source[2 * f + 1]) << f;
    }

    // Space stops; the transport stops with it.
    e->lastSpaceMs = -1e9;
    e->keyPressed(juce::KeyPress(juce::KeyPress::spaceKey));
    EXPECT_FALSE(e->playing);
    EXPECT_FALSE(audition.transport().isPlaying());
}

TEST_F(AuditionedEditor, AStreamPlaysOnlyRenderedFramesAndSkipsNone) {
    // Frame f of the stream holds f / 1000 on the left and -f / 1000 on the
    // right; only the first 300 are published at first.
    auto stream = std::make_shared<lib::StreamedAudio>(1000, 2, 44100);
    for (int64_t f = 0; f < 1000; ++f) {
        stream->samples[static_cast<size_t>(2 * f)] = static_cast<float>(f) / 1000.0f;
        stream->samples[static_cast<size_t>(2 * f + 1)] = -static_cast<float>(f) / 1000.0f;
    }
    stream->ready = 300;
    ASSERT_TRUE(audition.playStreamed(stream));
    device->left.clear();
    device->right.clear();
    device->render(512);
    ASSERT_GE(device->left.size(), 512u);
    EXPECT_FLOAT_EQ(device->left[299], 0.299f);
    EXPECT_FLOAT_EQ(device->right[299], -0.299f);
    EXPECT_FLOAT_EQ(device->left[300], 0.0f);  // waits: silence, no frame used up
    EXPECT_FLOAT_EQ(device->left[511], 0.0f);
    stream->ready = 1000;
    device->left.clear();
    device->render(64);
    // Goes on where it waited (after the few frames of silence the
    // transport's resampler already holds).
    size_t k = 0;
    while (k < 16 && device->left[k] == 0.0f) ++k;
    ASSERT_LT(k, 16u);
    EXPECT_FLOAT_EQ(device->left[k], 0.3f);
    EXPECT_FLOAT_EQ(device->left[k + 40], 0.34f);
    // A mono stream sounds on both sides; other channel counts are refused.
    auto mono = std::make_shared<lib::StreamedAudio>(64, 1, 44100);
    for (int f = 0; f < 64; ++f) mono->samples[static_cast<size_t>(f)] = 0.5f;
    mono->ready = 64;
    ASSERT_TRUE(audition.playStreamed(mono));
    device->left.clear();
    device->right.clear();
    device->render(32);
    EXPECT_FLOAT_EQ(device->left[10], 0.5f);
    EXPECT_FLOAT_EQ(device->right[10], 0.5f);
    EXPECT_FALSE(audition.playStreamed(std::make_shared<lib::StreamedAudio>(64, 3, 44100)));
    EXPECT_FALSE(audition.playStreamed(nullptr));
}

TEST_F(AuditionedEditor, ThePlayheadIsDrawnWhereTheTransportIs) {
    auto* e = editor();
    auto s = e->state;
    s.start = 400;
    s.end = 15000;
    s.fadeInMs = 8.0;
    s.fadeOutMs = 120.0;
    s.gainDb = 6.0;  // clips
    e->pushState(s, "Edit sample");
    e->startPlayback();
    ASSERT_TRUE(test::pumpUntil([&] { return !e->auditionRendering(); }));
    device->render(5600);
    e->timerCallback();
    ASSERT_TRUE(e->playing);
    const int64_t frame = e->playheadFrame;
    EXPECT_NEAR(static_cast<double>(frame), 6000.0, 8.0);
    EXPECT_TRUE(e->getChildren().contains(&e->wave));

    const auto image = test::render(*e);
    const double x = (static_cast<double>(frame) - e->viewStart) / e->viewLength * e->wave.getWidth();
    const auto tip = image.getPixelAt(e->wave.getX() + static_cast<int>(std::lround(x)), e->wave.getY() + 14);
    EXPECT_TRUE(test::nearColour(tip, themeColour(ThemeColour::textPrimary), 40)) << tip.toDisplayString(true);

    // For the closing note: the editor as the user sees it while playing.
    if (const char* dir = std::getenv("ZEM_SHOT_DIR")) {
        juce::PNGImageFormat png;
        const auto file = juce::File(dir).getChildFile("sample-editor-playing.png");
        file.deleteFile();
        juce::FileOutputStream out(file);
        if (out.openedOk()) png.writeImageToStream(image, out);
    }
}

}  // namespace
}  // namespace vt6::ui::zemedit
