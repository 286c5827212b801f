// The whole road as a new user takes it, through the real application:
// NEW ZEM, CREATE ZEM, IMPORT FOLDER, one sample edited in the sample editor
// and applied, SAVE AS, OPEN ZEM of the saved file, an audition on the
// (fake) audio device, and quitting with and without unsaved changes.

#include <cmath>
#include <map>

#include "app/audio_fixtures.hpp"
#include "app/guard_support.hpp"
#include "app/new_zem_dialog_support.hpp"
#include "editor/ui/sample_editor.hpp"
#include "editor/ui/sample_editor_access.hpp"
#include "format/reader.hpp"

namespace vt6::maker {
namespace {

using test::findChild;
using test::pumpUntil;
using test_guard::AppFixture;
using test_guard::openDialog;

// A decaying tone: a drum hit as far as the program can tell.
std::vector<float> hit(int index, int frames) {
    std::vector<float> out(static_cast<size_t>(frames));
    const double hz = 80.0 + 40.0 * index;
    for (int f = 0; f < frames; ++f) {
        const double t = f / 44100.0;
        out[static_cast<size_t>(f)] =
            static_cast<float>((0.2 + 0.1 * index) * std::exp(-t * 30.0) * std::sin(2.0 * M_PI * hz * t));
    }
    return out;
}

double rms(const std::vector<float>& v) {
    double sum = 0;
    for (float x : v) sum += static_cast<double>(x) * x;
    return v.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(v.size()));
}

using EndToEnd = AppFixture;

TEST_F(EndToEnd, NewZemToReopenedFileToQuit) {
    // NEW ZEM, then CREATE ZEM with a name.
    access().button("NEW ZEM").triggerClick();
    ASSERT_TRUE(pumpUntil([] { return openDialog() != nullptr; }));
    test::pumpFor(30);
    auto& dialog = *openDialog();
    auto& name = findChild<juce::TextEditor>(dialog.content(), "ZEM name");
    name.grabKeyboardFocus();
    name.setText("Road Kit", juce::sendNotification);
    juce::Component::SafePointer<NewZemDialog> open(&dialog);
    findChild<juce::Button>(dialog.content(), "CREATE ZEM").triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return open == nullptr && main->overlay() != nullptr; }, 10000));
    auto* overlay = main->overlay();
    EXPECT_EQ(overlay->document().name, "Road Kit");
    EXPECT_FALSE(access().button("NEW ZEM").isVisible());

    // IMPORT FOLDER: a folder of six recorded hits, sorted by hit level.
    const auto folder = juce::File(juce::String::fromUTF8(files.path("hits").c_str()));
    ASSERT_TRUE(folder.createDirectory());
    for (int i = 0; i < 6; ++i) {
        const auto audio = hit(i, 4410);
        test::Channels channels{audio};
        ASSERT_TRUE(test::writeAudioFile(folder.getChildFile("Snare " + juce::String(i + 1) + ".wav"), channels,
                                         44100, 24));
    }
    answer = folder;
    access().button("IMPORT FOLDER").onClick();
    ASSERT_EQ(countRequests("Import sample folder"), 1);
    ASSERT_TRUE(waitIdle());
    ASSERT_EQ(overlay->document().liveSampleCount, 6u) << access().status();
    EXPECT_EQ(access().status(), "6 samples imported");
    EXPECT_TRUE(boxes.empty()) << boxes[0].title << ": " << boxes[0].message;

    // Edit one sample in the sample editor (as its chip's edit action opens
    // it): 6 dB less gain, then DONE and Apply.
    uint64_t edited = 0;
    for (const auto& s : overlay->document().samples)
        if (s.name == "Snare 2") edited = s.uid;
    ASSERT_NE(edited, 0u);
    const auto unedited = overlay->viewModel.sampleAudio(edited);
    ASSERT_TRUE(unedited.ok());
    ui::zemedit::SampleEditorOverlayAccess::open(*overlay, edited);
    auto* editor = ui::zemedit::SampleEditorOverlayAccess::editor(*overlay);
    ASSERT_NE(editor, nullptr);
    auto quieter = editor->state;
    quieter.gainDb = -6.0;
    editor->pushState(quieter, "Gain");
    EXPECT_TRUE(overlay->sampleEditorHasUnappliedChanges());
    answers["Sample changed"] = 1;  // Apply
    editor->requestClose();
    ASSERT_TRUE(pumpUntil([&] { return overlay->sampleEditor == nullptr; }));
    EXPECT_EQ(countBoxes("Sample changed"), 1);
    boxes.clear();
    EXPECT_TRUE(overlay->document().dirty());

    // What the document now holds is what the reopened file must hold.
    std::map<std::string, std::vector<float>> expected;
    for (const auto& s : overlay->document().samples) {
        if (overlay->document().sampleByUid(s.uid) == nullptr) continue;
        auto audio = overlay->viewModel.sampleAudio(s.uid);
        ASSERT_TRUE(audio.ok()) << s.name << ": " << audio.message();
        expected[s.name] = audio.value().samples;
    }
    ASSERT_EQ(expected.size(), 6u);
    // The edit took: the same frames, about half as loud.
    ASSERT_EQ(expected["Snare 2"].size(), unedited.value().samples.size());
    EXPECT_NEAR(rms(expected["Snare 2"]) / rms(unedited.value().samples), 0.501, 0.01);

    // SAVE AS a new file; a name typed without an extension gets ".zem".
    const auto saved = files.path("Road Kit.zem");
    answer = juce::File(juce::String::fromUTF8(files.path("Road Kit").c_str()));
    access().button("SAVE AS").onClick();
    ASSERT_EQ(countRequests("Save zem"), 1);
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(boxes.empty()) << boxes[0].title << ": " << boxes[0].message;
    EXPECT_EQ(access().status(), "Saved Road Kit.zem");
    EXPECT_FALSE(overlay->document().dirty());

    // OPEN ZEM of the saved file: clean, so no question; the file comes back
    // with every sample and the edited audio.
    markOverlay();
    answer = juce::File(juce::String::fromUTF8(saved.c_str()));
    access().button("OPEN ZEM").onClick();
    ASSERT_TRUE(pumpUntil([&] { return overlayReplaced() && !main->isBusy(); }, 20000));
    EXPECT_TRUE(boxes.empty());
    overlay = main->overlay();
    EXPECT_EQ(access().status(), "Road Kit.zem");
    EXPECT_EQ(overlay->document().name, "Road Kit");
    ASSERT_EQ(overlay->document().liveSampleCount, expected.size());
    uint64_t editedAgain = 0;
    for (const auto& s : overlay->document().samples) {
        SCOPED_TRACE(s.name);
        ASSERT_EQ(expected.count(s.name), 1u);
        auto audio = overlay->viewModel.sampleAudio(s.uid);
        ASSERT_TRUE(audio.ok()) << audio.message();
        EXPECT_EQ(audio.value().channels, 1);
        EXPECT_EQ(audio.value().sampleRate, 44100);
        EXPECT_EQ(audio.value().samples, expected[s.name]);
        if (s.name == "Snare 2") editedAgain = s.uid;
    }

    // Audition the edited sample: the device renders it.
    auto* device = test::fakeDevice(main->audition().deviceManager());
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(overlay->viewModel.audition(editedAgain));
    device->render(2048);
    const auto loud = std::count_if(device->left.begin(), device->left.end(), [](float v) { return v != 0.0f; });
    EXPECT_GT(loud, 1000);

    // Quitting with nothing unsaved quits at once.
    app->mainWindow()->closeButtonPressed();
    EXPECT_EQ(quits, 1);
    EXPECT_TRUE(boxes.empty());

    // With unsaved changes: Cancel stays, Save writes first and then quits.
    ASSERT_TRUE(overlay->document().renameBand(0, "Feather"));
    questionAnswer = 0;
    app->mainWindow()->closeButtonPressed();
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(countBoxes("Unsaved changes"), 1);
    questionAnswer = 1;
    app->mainWindow()->closeButtonPressed();
    ASSERT_TRUE(pumpUntil([&] { return quits == 2; }, 20000));
    auto reread = fmt::openZem6File(saved, fmt::ReadPolicy{});
    ASSERT_TRUE(reread.ok()) << reread.message();
    bool renamed = false;
    for (const auto& band : reread.value().model.metadata.dynamics) renamed |= band.name == "Feather";
    EXPECT_TRUE(renamed);

    // Discard quits without writing.
    const auto before = test::TempDir::contents(saved);
    ASSERT_TRUE(overlay->document().renameBand(0, "Whisper"));
    questionAnswer = 2;
    app->systemRequestedQuit();
    EXPECT_EQ(quits, 3);
    EXPECT_EQ(test::TempDir::contents(saved), before);
}

}  // namespace
}  // namespace vt6::maker
