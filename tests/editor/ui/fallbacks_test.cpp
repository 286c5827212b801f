// The overlay's own NEW, RESET, add-from-audio, live capture, snapshots and
// save, under a host that leaves the shell's four callbacks empty.

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "analysis/hit_detector.hpp"
#include "audio/codec.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "editor/logic/path_helpers.hpp"
#include "editor/ui/extract_hits.hpp"
#include "editor/ui/fallbacks_host.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/listening_box.hpp"
#include "editor/ui/user_messages.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "format/reader.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/menus.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

// Reaches the overlay's fallback actions and state.
class ZemEditOverlayFallbacksAccess {
public:
    explicit ZemEditOverlayFallbacksAccess(ZemEditOverlay& o) : o_(o) {}
    void doNew() { o_.doNew(); }
    void doReset() { o_.doReset(); }
    void showAddFromAudioMenu() { o_.showAddFromAudioMenu(); }
    void snapshotTick() { o_.snapshotTick(); }
    void captureTick() { o_.captureTick(); }
    void stopLiveCapture() { o_.stopLiveCapture(); }
    bool capturing() const { return o_.liveCaptureTimer.isTimerRunning(); }
    ListeningBox* box() const { return dynamic_cast<ListeningBox*>(o_.listeningBox.get()); }
    std::vector<float>& buffer() { return o_.captureBuffer; }
    int64_t consumedEnd() const { return o_.captureConsumedEnd; }
    // Takes the snapshot pause off the real clock and the real timer.
    void useClock(std::function<uint32_t()> clock) {
        o_.snapshotTimer.stopTimer();
        o_.snapshotClock = std::move(clock);
    }
    bool snapshotTimerRunning() const { return o_.snapshotTimer.isTimerRunning(); }
    juce::AlertWindow* saveDialog() const { return o_.saveDialog.getComponent(); }
    juce::Button& importButton() { return o_.importButton; }

private:
    ZemEditOverlay& o_;
};

namespace {

using Access = ZemEditOverlayFallbacksAccess;
using test::pumpUntil;

// --------------------------------------------------------------- fixtures

// A drum-like hit: decaying noise over a low tone, `seconds` long.
std::vector<float> drumHit(double rate, double seconds, uint32_t seed) {
    std::vector<float> hit(static_cast<size_t>(seconds * rate));
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < hit.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
        const double t = static_cast<double>(i) / rate;
        hit[i] = static_cast<float>(std::exp(-t / 0.03) * (0.5 * noise + 0.4 * std::sin(2.0 * M_PI * 90.0 * t)));
    }
    return hit;
}

// A mono track of `seconds` with a hit at each of `at` (seconds).
std::vector<float> track(double rate, double seconds, const std::vector<double>& at) {
    std::vector<float> out(static_cast<size_t>(seconds * rate), 0.0f);
    uint32_t seed = 1;
    for (double t : at) {
        const auto hit = drumHit(rate, 0.25, seed++);
        const auto first = static_cast<size_t>(t * rate);
        for (size_t i = 0; i < hit.size() && first + i < out.size(); ++i) out[first + i] += hit[i];
    }
    return out;
}

// A 16-bit stereo WAV file of the track (right channel at 0.8).
juce::File writeStereoWav(const std::string& path, const std::vector<float>& mono, double rate) {
    juce::File file(juce::String::fromUTF8(path.c_str()));
    juce::AudioBuffer<float> buffer(2, static_cast<int>(mono.size()));
    for (int i = 0; i < buffer.getNumSamples(); ++i) {
        buffer.setSample(0, i, mono[static_cast<size_t>(i)]);
        buffer.setSample(1, i, 0.8f * mono[static_cast<size_t>(i)]);
    }
    juce::WavAudioFormat wav;
    std::unique_ptr<juce::OutputStream> stream = std::make_unique<juce::FileOutputStream>(file);
    std::unique_ptr<juce::AudioFormatWriter> writer(wav.createWriterFor(stream.get(), rate, 2, 16, {}, 0));
    if (writer == nullptr) {
        ADD_FAILURE() << "cannot write " << path;
        return file;
    }
    stream.release();
    writer->writeFromAudioSampleBuffer(buffer, 0, buffer.getNumSamples());
    return file;
}

struct Recorded {
    std::vector<juce::MessageBoxOptions> boxes;
    std::vector<std::function<void(int)>> answers;
    std::vector<juce::PopupMenu> menus;
    std::vector<std::function<void(int)>> menuAnswers;
    Recorded() {
        widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            boxes.push_back(o);
            answers.push_back(std::move(done));
        });
        widgets::setMenuPresenter(
            [this](const juce::PopupMenu& m, const juce::PopupMenu::Options&, std::function<void(int)> done) {
                menus.push_back(m);
                menuAnswers.push_back(std::move(done));
            });
    }
    ~Recorded() {
        widgets::setMessageBoxPresenter({});
        widgets::setMenuPresenter({});
    }
    void answer(int result) {
        ASSERT_FALSE(answers.empty());
        auto done = std::move(answers.back());
        answers.pop_back();
        if (done) done(result);
    }
};

// The overlay under the fallbacks host, sized as in the program.
struct Fixture {
    test::TempDir dir;
    test::FallbacksHost host;
    std::unique_ptr<ZemEditOverlay> overlay;

    Fixture() {
        host.snapshotFolder = dir.path("unsaved");
        host.libraryFolder = dir.path("library");
        juce::File(juce::String(host.snapshotFolder)).createDirectory();
        juce::File(juce::String(host.libraryFolder)).createDirectory();
    }
    ZemEditOverlay& open(ZemEditDeps deps) {
        overlay = std::make_unique<ZemEditOverlay>(std::move(deps));
        overlay->setSize(1280, 689);
        return *overlay;
    }
    ZemEditOverlay& open(const std::string& filePath = {}) {
        auto deps = host.deps();
        deps.filePath = filePath;
        return open(std::move(deps));
    }
    std::string kit(const std::string& name = "Kit.zem", int samples = 4) {
        return test::writeKit(host.libraryFolder + "/" + name, samples, 4, "Kit");
    }
    logic::EditDocument& doc() { return overlay->document(); }
    juce::StringArray undoSteps() { return overlay->undoManager().getUndoDescriptions(); }
};

// ------------------------------------------------------------ NEW / RESET

TEST(FallbackNew, AsksOnlyWithUnsavedChangesAndActsOnTheAnswer) {
    struct Case {
        const char* what;
        bool dirty;
        std::optional<int> answer;  // none: no question
        bool replaced;
        int discards;
    };
    const Case cases[] = {
        {"clean: a new document at once", false, std::nullopt, true, 0},
        {"Discard: forgets the snapshot, then starts", true, 2, true, 1},
        {"Cancel: nothing", true, 0, false, 0},
    };
    for (const auto& c : cases) {
        Fixture f;
        Recorded r;
        auto& o = f.open(f.kit());
        ASSERT_EQ(f.doc().liveSampleCount, 4u);
        const std::string keyBefore = o.snapshotKey();
        if (c.dirty) f.doc().addBand();
        Access(o).doNew();
        ASSERT_EQ(r.boxes.size(), c.answer ? 1u : 0u) << c.what;
        if (c.answer) {
            EXPECT_EQ(r.boxes[0].getTitle(), "Unsaved changes");
            EXPECT_EQ(r.boxes[0].getMessage(),
                      "The loaded zem has unsaved changes. Save them before starting a new zem?");
            EXPECT_EQ(r.boxes[0].getIconType(), juce::MessageBoxIconType::QuestionIcon);
            ASSERT_EQ(r.boxes[0].getNumButtons(), 3);
            EXPECT_EQ(r.boxes[0].getButtonText(0), "Save");
            EXPECT_EQ(r.boxes[0].getButtonText(1), "Discard");
            EXPECT_EQ(r.boxes[0].getButtonText(2), "Cancel");
            r.answer(*c.answer);
        }
        EXPECT_EQ(f.doc().liveSampleCount == 0, c.replaced) << c.what;
        ASSERT_EQ(f.host.discarded.size(), static_cast<size_t>(c.discards)) << c.what;
        if (c.discards > 0) {
            EXPECT_EQ(f.host.discarded[0], keyBefore) << c.what;
        }
        if (c.replaced) {
            EXPECT_EQ(f.doc().name, "Untitled") << c.what;
            EXPECT_TRUE(o.deps.filePath.empty()) << c.what;
            // The old document's commands are gone with it.
            EXPECT_FALSE(o.undoManager().canUndo()) << c.what;
        }
    }
}

TEST(FallbackNew, SaveStartsTheNewDocumentOnlyAfterASuccessfulSave) {
    struct Case {
        const char* what;
        bool chooserAnswers;  // false: the chooser is dismissed
        bool writable;
        bool replaced;
    };
    const Case cases[] = {
        {"saved", true, true, true},
        {"chooser cancelled", false, true, false},
        {"save failed", true, false, false},
    };
    for (const auto& c : cases) {
        Fixture f;
        Recorded r;
        auto& o = f.open();
        std::vector<float> pcm(4410, 0.1f);
        ASSERT_NE(o.viewModel.addSampleFromPcm("Hit", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false), 0u);
        const std::string target =
            c.writable ? f.host.libraryFolder + "/First.zem" : f.dir.write("plain-file", fmt::Bytes{1}) + "/First.zem";
        if (c.chooserAnswers) f.host.saveChoices = {target};
        Access(o).doNew();
        r.answer(1);
        EXPECT_EQ(f.doc().liveSampleCount == 0, c.replaced) << c.what;
        EXPECT_EQ(test::TempDir::exists(target), c.writable && c.chooserAnswers) << c.what;
        if (!c.writable) {
            ASSERT_EQ(r.boxes.size(), 2u) << c.what;
            EXPECT_EQ(r.boxes[1].getTitle(), "Cannot save zem");
            EXPECT_EQ(r.boxes[1].getMessage(), juce::String::fromUTF8(maker::saveErrorText(6).c_str()));
        }
    }
}

TEST(FallbackReset, ReloadsAsOpenedAndClearsTheHistory) {
    struct Case {
        const char* what;
        bool dirty;
        std::optional<int> answer;
        bool reloaded;
    };
    const Case cases[] = {
        {"clean: at once", false, std::nullopt, true},
        {"Reset", true, 1, true},
        {"Cancel changes nothing", true, 0, false},
    };
    for (const auto& c : cases) {
        Fixture f;
        Recorded r;
        auto& o = f.open(f.kit());
        const std::string key = o.snapshotKey();
        if (c.dirty) f.doc().addBand();
        const auto bands = f.doc().bandCount();
        Access(o).doReset();
        ASSERT_EQ(r.boxes.size(), c.answer ? 1u : 0u) << c.what;
        if (c.answer) {
            EXPECT_EQ(r.boxes[0].getTitle(), "Reset the zem");
            EXPECT_EQ(r.boxes[0].getMessage(),
                      "Discard every edit and reload the zem as it was opened? This cannot be undone.");
            ASSERT_EQ(r.boxes[0].getNumButtons(), 2);
            EXPECT_EQ(r.boxes[0].getButtonText(0), "Reset");
            EXPECT_EQ(r.boxes[0].getButtonText(1), "Cancel");
            r.answer(*c.answer);
        }
        if (c.reloaded) {
            EXPECT_EQ(f.doc().bandCount(), 4u) << c.what;
            EXPECT_FALSE(f.doc().dirty()) << c.what;
            EXPECT_FALSE(o.undoManager().canUndo()) << c.what;
            ASSERT_EQ(f.host.discarded.size(), 1u) << c.what;
            EXPECT_EQ(f.host.discarded[0], key) << c.what;
        } else {
            EXPECT_EQ(f.doc().bandCount(), bands) << c.what;
            EXPECT_TRUE(o.undoManager().canUndo()) << c.what;
            EXPECT_TRUE(f.host.discarded.empty()) << c.what;
        }
    }
}

TEST(FallbackReset, UndoAfterAResetNeverReachesTheOldDocument) {
    Fixture f;
    Recorded r;
    auto& o = f.open(f.kit());
    f.doc().addBand();
    f.doc().addBand();
    Access(o).doReset();
    r.answer(1);
    ASSERT_EQ(f.doc().bandCount(), 4u);
    o.undoManager().undo();
    pumpUntil([] { return false; }, 20);
    EXPECT_EQ(f.doc().bandCount(), 4u);
    EXPECT_FALSE(f.doc().dirty());
}

// ----------------------------------------------------------- add from audio

TEST(FallbackImport, TheMenuEnablesWhatTheHostSupplies) {
    struct Case {
        const char* what;
        bool capture, files;
    };
    const Case cases[] = {{"both", true, true}, {"capture only", true, false}, {"neither", false, false}};
    for (const auto& c : cases) {
        Fixture f;
        Recorded r;
        auto deps = f.host.deps();
        if (!c.capture) deps.setCaptureEnabled = nullptr;
        if (!c.files) deps.chooseAudioFile = nullptr;
        auto& o = f.open(std::move(deps));
        Access(o).importButton().triggerClick();
        pumpUntil([&] { return !r.menus.empty(); }, 1000);
        ASSERT_EQ(r.menus.size(), 1u) << c.what;
        juce::PopupMenu::MenuItemIterator it(r.menus[0]);
        std::vector<std::pair<juce::String, bool>> items;
        while (it.next()) items.emplace_back(it.getItem().text, it.getItem().isEnabled);
        ASSERT_EQ(items.size(), 2u);
        EXPECT_EQ(items[0].first, juce::String::fromUTF8("Extract samples live from the track\xe2\x80\xa6"));
        EXPECT_EQ(items[1].first, juce::String::fromUTF8("Add from audio file\xe2\x80\xa6"));
        EXPECT_EQ(items[0].second, c.capture) << c.what;
        EXPECT_EQ(items[1].second, c.files) << c.what;
        // A dismissed menu does nothing.
        r.menuAnswers[0](0);
        EXPECT_FALSE(Access(o).capturing());
    }
}

TEST(FallbackImport, AStereoFileWithTwoHitsAddsTwoFadedSamples) {
    Fixture f;
    Recorded r;
    const auto mono = track(44100, 3.0, {0.5, 1.8});
    // A Windows-style folder name inside the path must not become the name.
    const std::string folder = f.dir.path("take\\one");
    juce::File(juce::String(folder)).createDirectory();
    const juce::File wav = writeStereoWav(folder + "/Snare Top.wav", mono, 44100);
    f.host.audioChoices = {wav};
    auto& o = f.open();
    Access(o).showAddFromAudioMenu();
    ASSERT_EQ(r.menuAnswers.size(), 1u);
    r.menuAnswers[0](2);

    ASSERT_EQ(f.doc().liveSampleCount, 2u);
    EXPECT_TRUE(r.boxes.empty());
    const auto steps = f.undoSteps();
    ASSERT_EQ(steps.size(), 2);
    EXPECT_EQ(steps[0], "Add sample");
    EXPECT_EQ(steps[1], "Add sample");

    // The hits as the detector finds them in the decoded file.
    auto decoded = test::decodeWithBasicFormats(wav);
    ASSERT_TRUE(decoded.ok());
    const size_t count = decoded->pcm.size() / 2;
    std::vector<float> source(count);
    fmt::pcmToFloat(decoded->pcm.data(), decoded->pcm.size(), 16, count, source.data());
    std::vector<float> mix(count / 2);
    for (size_t i = 0; i < mix.size(); ++i) mix[i] = (source[2 * i] + source[2 * i + 1]) / 2.0f;
    fmt::HitDetector detector;
    const auto hits = fmt::detectHits(detector, mix, 44100.0);
    ASSERT_EQ(hits.size(), 2u);

    for (size_t k = 0; k < 2; ++k) {
        const auto& s = f.doc().samples[k];
        EXPECT_EQ(s.name, "Snare Top " + std::to_string(k + 1));
        EXPECT_EQ(s.channels, 2u);
        EXPECT_EQ(s.sampleRate, 44100u);
        EXPECT_EQ(s.layerIndex, 0);
        EXPECT_EQ(s.articulationIndex, 0);
        EXPECT_EQ(f.doc().bandIndexOf(s.bandId), static_cast<int32_t>(f.doc().bands.size() / 2));
        EXPECT_FALSE(s.hitLevel.measured);
        const auto pcm = o.viewModel.addedPcm.at(s.uid);
        const auto start = static_cast<size_t>(hits[k].start);
        const auto n = static_cast<size_t>(hits[k].end - hits[k].start);
        ASSERT_EQ(pcm->samples.size(), n * 2);
        // Gain per frame, read where the source is loud enough to tell.
        const auto gain = [&](size_t frame, size_t channel) {
            return pcm->samples[frame * 2 + channel] / source[(start + frame) * 2 + channel];
        };
        for (size_t i = 0; i < 22; ++i)
            for (size_t ch = 0; ch < 2; ++ch)
                if (std::abs(source[(start + i) * 2 + ch]) > 1e-3f) {
                    EXPECT_NEAR(gain(i, ch), 0.5 - 0.5 * std::cos((i + 1) * M_PI / 23.0), 1e-4) << i;
                }
        for (size_t m = 1; m <= 353; ++m) {
            const size_t frame = n - 353 + m - 1;
            if (std::abs(source[(start + frame) * 2]) > 1e-3f) {
                EXPECT_NEAR(gain(frame, 0), 0.5 + 0.5 * std::cos(m * M_PI / 354.0), 1e-4) << m;
            }
        }
        // Between the fades the audio is the source's own.
        for (size_t i = 22; i < n - 353; i += 97) EXPECT_EQ(pcm->samples[i * 2], source[(start + i) * 2]);
    }
}

TEST(FallbackImport, AnUndecodableFileSaysSoAndAddsNothing) {
    Fixture f;
    Recorded r;
    const std::string path = f.dir.write("notes.wav", fmt::Bytes{'n', 'o', 't', ' ', 'a', 'u', 'd', 'i', 'o'});
    f.host.audioChoices = {juce::File(juce::String(path))};
    auto& o = f.open();
    Access(o).showAddFromAudioMenu();
    r.menuAnswers[0](2);
    EXPECT_EQ(f.host.decodes, 1);
    EXPECT_EQ(f.doc().liveSampleCount, 0u);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].getTitle(), "Cannot add samples");
    EXPECT_EQ(r.boxes[0].getMessage(), juce::String::fromUTF8(maker::importRefusalText(0, "notes.wav").c_str()));
}

TEST(FallbackImport, BaseNamesSplitOnEitherSeparator) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/u/Kick In.wav", "Kick In"},
        {"C:\\Takes\\Kick In.wav", "Kick In"},
        {"/home/u/take\\two/Snare.flac", "Snare"},
        {"/home/u/.hidden", ".hidden"},
        {"/home/u/noext", "noext"},
        {"/home/u.v/noext", "noext"},
        {"Tom.1.aif", "Tom.1"},
    };
    for (const auto& [path, name] : cases) EXPECT_EQ(hitBaseName(path), name) << path;
}

// ------------------------------------------------------------- live capture

TEST(FallbackCapture, TheBoxCountsWhatEachTickAdds) {
    Fixture f;
    Recorded r;
    f.host.input = std::make_unique<test::FakeInputDevice>(track(48000, 4.0, {0.3, 0.9, 1.5}), 48000);
    auto& o = f.open();
    std::vector<float> pcm(4410, 0.1f);
    for (int i = 0; i < 9; ++i) ASSERT_NE(o.viewModel.addSampleFromPcm("Old", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false), 0u);
    Access a(o);
    Access(o).showAddFromAudioMenu();
    r.menuAnswers[0](1);
    ASSERT_TRUE(a.capturing());
    ASSERT_NE(a.box(), nullptr);
    EXPECT_EQ(f.host.captureSwitches, std::vector<bool>{true});
    EXPECT_EQ(a.box()->getWidth(), std::max(340, static_cast<int>(std::ceil(makeFont(kTypeValue).getStringWidthFloat(
                                                        a.box()->message))) + 32));
    EXPECT_EQ(a.box()->getHeight(), 122);
    EXPECT_EQ(a.box()->getBounds().getCentre(), o.getLocalBounds().getCentre());

    f.host.input->play(0.2);
    a.captureTick();
    EXPECT_EQ(a.box()->message, "9 captured so far");
    f.host.input->play(2.4);
    a.captureTick();
    EXPECT_EQ(f.doc().liveSampleCount, 12u);
    EXPECT_EQ(a.box()->message, "12 captured so far  (+3)");
    EXPECT_EQ(f.doc().samples.back().name, "Untitled 12");

    a.stopLiveCapture();
    EXPECT_FALSE(a.capturing());
    EXPECT_EQ(a.box(), nullptr);
    EXPECT_TRUE(a.buffer().empty());
    EXPECT_EQ(f.host.captureSwitches, (std::vector<bool>{true, false}));
    EXPECT_EQ(f.doc().liveSampleCount, 12u);
}

TEST(FallbackCapture, AHitInTheNewestPartWaitsAndIsNeverTakenTwice) {
    struct Case {
        const char* what;
        double firstPlay;   // seconds before the first tick
        double secondPlay;  // more before the second tick; < 0: Cancel instead
        int afterFirst, afterEnd;
    };
    // The hit at 1.0 s decays by about 1.25 s; it ends inside the newest
    // 0.4 s of a 1.4 s buffer, and well before the end of a 2.4 s one.
    const Case cases[] = {
        {"taken on a later tick", 1.4, 1.0, 0, 1},
        {"taken on Cancel", 1.4, -1.0, 0, 1},
        {"taken once over many ticks", 2.4, 1.0, 1, 1},
    };
    for (const auto& c : cases) {
        Fixture f;
        f.host.input = std::make_unique<test::FakeInputDevice>(track(48000, 6.0, {1.0}), 48000);
        Recorded r;
        auto& o = f.open();
        Access a(o);
        a.showAddFromAudioMenu();
        r.menuAnswers[0](1);
        f.host.input->play(c.firstPlay);
        a.captureTick();
        EXPECT_EQ(f.doc().liveSampleCount, static_cast<uint64_t>(c.afterFirst)) << c.what;
        if (c.secondPlay < 0) {
            a.stopLiveCapture();
        } else {
            f.host.input->play(c.secondPlay);
            a.captureTick();
            a.captureTick();
            a.stopLiveCapture();
        }
        EXPECT_EQ(f.doc().liveSampleCount, static_cast<uint64_t>(c.afterEnd)) << c.what;
    }
}

TEST(FallbackCapture, ClosingTheEditorWhileCapturingSwitchesTheHostsCaptureOff) {
    Fixture f;
    Recorded r;
    f.host.input = std::make_unique<test::FakeInputDevice>(track(48000, 2.0, {}), 48000);
    auto& o = f.open();
    Access(o).showAddFromAudioMenu();
    r.menuAnswers[0](1);
    ASSERT_TRUE(f.host.input->enabled());
    f.overlay.reset();
    EXPECT_FALSE(f.host.input->enabled());
    EXPECT_EQ(f.host.captureSwitches, (std::vector<bool>{true, false}));
}

TEST(FallbackCapture, TheBufferKeepsItsNewest60SecondsPast65) {
    struct Case {
        size_t size;
        int64_t consumed;
        size_t expectSize;
        int64_t expectConsumed;
    };
    const size_t r = 44100;
    const Case cases[] = {
        {65 * r, 30 * r, 65 * r, 30 * r},          // exactly 65 s stays
        {65 * r + 1, 30 * r, 60 * r, 25 * r - 1},  // one more drops to 60 s
        {70 * r, 4 * r, 60 * r, 0},                // never below 0
    };
    for (const auto& c : cases) {
        std::vector<float> buffer(c.size);
        buffer.back() = 1.0f;
        int64_t consumed = c.consumed;
        boundCaptureBuffer(buffer, consumed, 44100.0);
        EXPECT_EQ(buffer.size(), c.expectSize);
        EXPECT_EQ(consumed, c.expectConsumed);
        EXPECT_EQ(buffer.back(), 1.0f) << "the newest audio stays";
    }
}

TEST(FallbackCapture, AHitTakenBeforeTheCutIsNotTakenAgain) {
    Fixture f;
    Recorded r;
    f.host.input = std::make_unique<test::FakeInputDevice>(track(48000, 70.0, {10.0, 12.0}), 48000);
    auto& o = f.open();
    Access a(o);
    a.showAddFromAudioMenu();
    r.menuAnswers[0](1);
    f.host.input->play(14.0);
    a.captureTick();
    ASSERT_EQ(f.doc().liveSampleCount, 2u);
    // Past 65 s: the first 6 s go, the two hits taken stay in the buffer.
    f.host.input->play(52.0);
    a.captureTick();
    EXPECT_EQ(a.buffer().size(), 60u * 44100u);
    EXPECT_EQ(f.doc().liveSampleCount, 2u);
    a.stopLiveCapture();
    EXPECT_EQ(f.doc().liveSampleCount, 2u);
}

// ---------------------------------------------------------------- snapshots

TEST(FallbackSnapshot, KeysUseTheirOwnOffsetBasis) {
    const struct {
        const char *path, *name, *key;
    } cases[] = {
        {"", "", "584b7314bcc13f2b"},  // hashes "new:" alone
        {"", "Untitled", "b5a3f726021c805a"},
        {"/a/Kick.zem", "ignored with a path", "6636d0f87f6d8670"},
    };
    for (const auto& c : cases) EXPECT_EQ(makeSnapshotKey(c.path, c.name), c.key) << c.path << c.name;
}

// Ticks every 500 ms on an injected clock; `edits` run at their times (ms,
// in steps of 100 ms); returns the times of the snapshots handed over.
struct Timeline {
    Fixture f;
    std::unique_ptr<Access> a;
    uint32_t now = 0;

    explicit Timeline(bool kit = false) {
        auto& o = kit ? f.open(f.kit()) : f.open();
        if (!kit) {
            std::vector<float> pcm(4410, 0.1f);
            o.viewModel.addSampleFromPcm("Hit", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false);
            o.document().markSaved();
        }
        a = std::make_unique<Access>(o);
        a->useClock([this] { return now; });
    }
    std::vector<uint32_t> run(uint32_t until, const std::map<uint32_t, std::function<void()>>& edits) {
        std::vector<uint32_t> at;
        for (now = 0; now <= until; now += 100) {
            if (auto it = edits.find(now); it != edits.end()) it->second();
            if (now % 500 == 0) {
                const size_t before = f.host.snapshotKeys.size();
                a->snapshotTick();
                if (f.host.snapshotKeys.size() > before) at.push_back(now);
            }
        }
        return at;
    }
};

TEST(FallbackSnapshot, OneSnapshotTwoToTwoAndAHalfSecondsAfterTheLastEdit) {
    for (uint32_t lastEdit : {1000u, 1100u, 1400u}) {
        Timeline t;
        std::map<uint32_t, std::function<void()>> edits;
        // Ten quick edits ending at lastEdit.
        for (uint32_t i = 0; i < 10; ++i) edits[lastEdit - 900 + i * 100] = [&t] { t.f.doc().addBand(); };
        const auto at = t.run(9000, edits);
        ASSERT_EQ(at.size(), 1u) << lastEdit;
        EXPECT_GE(at[0], lastEdit + 2000) << lastEdit;
        EXPECT_LT(at[0], lastEdit + 2500) << lastEdit;
    }
}

TEST(FallbackSnapshot, NoneWhileCleanOrInFlight) {
    {
        Timeline t(true);
        EXPECT_TRUE(t.run(6000, {}).empty()) << "clean from the start";
    }
    {
        Timeline t(true);
        const auto at = t.run(6000, {{500, [&t] { t.f.doc().addBand(); }},
                                     {1000, [&t] { t.f.doc().markSaved(); }}});
        EXPECT_TRUE(at.empty()) << "saved before the pause ended";
    }
    {
        Timeline t;
        t.f.host.completeSnapshots = false;
        const auto at = t.run(12000, {{500, [&t] { t.f.doc().addBand(); }},
                                      {4000, [&t] { t.f.doc().addBand(); }},
                                      {9000, [&t] {
                                           // The host completes the first one late.
                                           ASSERT_EQ(t.f.host.pendingSnapshots.size(), 1u);
                                           t.f.host.pendingSnapshots[0]("");
                                       }}});
        ASSERT_EQ(at.size(), 2u) << "in flight";
        EXPECT_EQ(at[0], 2500u);
        EXPECT_EQ(at[1], 9000u);
    }
}

TEST(FallbackSnapshot, TheSnapshotFileReopens) {
    for (bool kit : {false, true}) {
        Timeline t(kit);
        std::vector<float> pcm = drumHit(44100, 0.2, 3);
        const auto at = t.run(4000, {{0, [&] {
                                          t.f.overlay->viewModel.addSampleFromPcm("Added", pcm, 1, 44100, 0.1, 0, 0,
                                                                                  -1, {}, false);
                                      }}});
        ASSERT_EQ(at.size(), 1u) << kit;
        ASSERT_TRUE(t.f.host.snapshotErrors.empty()) << t.f.host.snapshotErrors[0];
        const std::string key = t.f.overlay->snapshotKey();
        EXPECT_EQ(t.f.host.snapshotKeys[0], key);
        auto reopened = fmt::openZem6File(t.f.host.snapshotPath(key), fmt::ReadPolicy{});
        ASSERT_TRUE(reopened.ok()) << reopened.message();
        EXPECT_EQ(reopened->model.samples.size(), kit ? 5u : 2u);
        EXPECT_TRUE(std::any_of(reopened->model.samples.begin(), reopened->model.samples.end(),
                                [](const fmt::SmplEntry& s) { return s.name == "Added"; }));
    }
}

TEST(FallbackSnapshot, AnEditedStoredSampleSnapshotsWithItsNewAudioOnly) {
    Timeline t(true);
    auto& vm = t.f.overlay->viewModel;
    const uint64_t uid = t.f.doc().samples[0].uid;
    uint64_t storedAudio = 0;
    for (const auto& row : vm.fileSource->model().samples)
        if (row.uid == uid) storedAudio = row.audi_uid;
    std::vector<float> edited = drumHit(44100, 0.1, 9);
    const size_t frames = edited.size();
    const auto at = t.run(4000, {{0, [&] { vm.replaceSampleAudio(uid, edited, 1, 44100, 0, 0); }}});
    ASSERT_EQ(at.size(), 1u);
    ASSERT_TRUE(t.f.host.snapshotErrors.empty()) << t.f.host.snapshotErrors[0];
    auto reopened = fmt::openZem6File(t.f.host.snapshotPath(t.f.overlay->snapshotKey()), fmt::ReadPolicy{});
    ASSERT_TRUE(reopened.ok()) << reopened.message();
    ASSERT_EQ(reopened->model.samples.size(), 4u);
    for (const auto& row : reopened->model.samples) {
        if (row.uid == uid) {
            EXPECT_EQ(row.frames, frames);
        }
    }
    // The stored payload the edit replaced is not carried into the snapshot.
    ASSERT_NE(storedAudio, 0u);
    if (storedAudio != uid) {
        for (const auto& chunk : reopened->chunks) EXPECT_NE(chunk.uid, storedAudio);
    }
}

TEST(FallbackSnapshot, AConvertedLegacyZemSnapshotsWithItsAudio) {
    Fixture f;
    const std::string legacy =
        f.dir.write("Old Kit.zem", zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)));
    zem::LegacyImportOptions options;
    options.headMs = 250;
    auto converted = zem::importLegacyFile(legacy, options);
    ASSERT_TRUE(converted.ok()) << converted.message();
    const size_t stored = converted->model.samples.size();
    auto deps = f.host.deps();
    deps.filePath = legacy;
    deps.model = std::make_shared<const fmt::Zem6Model>(converted->model);
    auto& o = f.open(std::move(deps));
    ASSERT_EQ(o.viewModel.openState, 1);
    Access a(o);
    uint32_t now = 0;
    a.useClock([&] { return now; });
    std::vector<float> pcm = drumHit(44100, 0.2, 5);
    ASSERT_NE(o.viewModel.addSampleFromPcm("Added", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false), 0u);
    for (now = 0; now <= 3000; now += 500) a.snapshotTick();
    ASSERT_EQ(f.host.snapshotKeys.size(), 1u);
    ASSERT_TRUE(f.host.snapshotErrors.empty()) << f.host.snapshotErrors[0];
    auto reopened = fmt::openZem6File(f.host.snapshotPath(o.snapshotKey()), fmt::ReadPolicy{});
    ASSERT_TRUE(reopened.ok()) << reopened.message();
    EXPECT_EQ(reopened->model.samples.size(), stored + 1);
    // The legacy file itself is left as it was.
    EXPECT_EQ(test::TempDir::contents(legacy), zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)));
}

// --------------------------------------------------------- the save dialog

TEST(FallbackSave, TheDialogContentIsLaidOutAsSpecified) {
    SaveDialogContent content(true, "Kit_1");
    EXPECT_EQ(content.getWidth(), 360);
    EXPECT_EQ(content.getHeight(), 92);
    EXPECT_EQ(content.overwriteToggle.getBounds(), juce::Rectangle<int>(0, 0, 360, 26));
    EXPECT_EQ(content.saveAsToggle.getBounds(), juce::Rectangle<int>(0, 32, 92, 28));
    EXPECT_EQ(content.nameEditor.getBounds(), juce::Rectangle<int>(92, 34, 268, 24));
    EXPECT_TRUE(content.overwriteToggle.getToggleState());
    content.nameEditor.setText("Other", true);
    pumpUntil([&] { return content.saveAsToggle.getToggleState(); }, 1000);
    EXPECT_TRUE(content.saveAsToggle.getToggleState());
    EXPECT_FALSE(content.overwriteToggle.getToggleState());

    SaveDialogContent refused(false, "Kit_1");
    EXPECT_FALSE(refused.overwriteToggle.isEnabled());
    EXPECT_TRUE(refused.saveAsToggle.getToggleState());
}

// Opens the overlay's own dialog, lets `fill` set it up and answers it.
void answerSaveDialog(ZemEditOverlay& o, const std::function<void(SaveDialogContent&)>& fill, int result) {
    Access a(o);
    ASSERT_NE(a.saveDialog(), nullptr);
    auto* content = dynamic_cast<SaveDialogContent*>(a.saveDialog()->getCustomComponent(0));
    ASSERT_NE(content, nullptr);
    if (fill) fill(*content);
    a.saveDialog()->exitModalState(result);
    ASSERT_TRUE(pumpUntil([&] { return a.saveDialog() == nullptr; }, 2000));
}

TEST(FallbackSave, TheDialogNamesWhatItCanDo) {
    struct Case {
        const char* what;
        bool kit;
        int destinationKind;  // < 0: none
        const char* message;
        bool overwrite;
    };
    const Case cases[] = {
        {"a new zem", false, -1, "A new zem: name it.", false},
        {"a user's file", true, -1, "Overwrite the loaded zem, or save a new one:", true},
        {"factory content", true, 1, "This zem is factory content: it is saved as a new zem.", false},
        {"another publisher", true, 2, "This zem is factory content: it is saved as a new zem.", false},
        {"a broken signature", true, 4, "This zem is factory content: it is saved as a new zem.", false},
    };
    for (const auto& c : cases) {
        Fixture f;
        Recorded r;
        auto deps = f.host.deps();
        deps.chooseSaveLocation = nullptr;
        if (c.kit) deps.filePath = f.kit();
        auto& o = f.open(std::move(deps));
        if (c.destinationKind >= 0) o.viewModel.setDestination(o.deps.filePath, c.destinationKind);
        o.doSave({});
        Access a(o);
        ASSERT_NE(a.saveDialog(), nullptr) << c.what;
        EXPECT_EQ(a.saveDialog()->getName(), "Save zem");
        EXPECT_EQ(a.saveDialog()->getDescription(), c.message) << c.what;
        auto* content = dynamic_cast<SaveDialogContent*>(a.saveDialog()->getCustomComponent(0));
        ASSERT_NE(content, nullptr);
        EXPECT_EQ(content->overwriteToggle.isEnabled(), c.overwrite) << c.what;
        EXPECT_EQ(content->overwriteToggle.getToggleState(), c.overwrite) << c.what;
        EXPECT_EQ(content->nameEditor.getText(),
                  juce::String(o.viewModel.copyDestination(f.host.libraryFolder)));
        answerSaveDialog(o, {}, 0);
        EXPECT_TRUE(f.host.saved.empty()) << c.what;
    }
}

TEST(FallbackSave, ANameTypedWithTheExtensionInCapitalsSavesUnderTheName) {
    Fixture f;
    Recorded r;
    auto deps = f.host.deps();
    deps.chooseSaveLocation = nullptr;
    auto& o = f.open(std::move(deps));
    std::vector<float> pcm = drumHit(44100, 0.2, 1);
    o.viewModel.addSampleFromPcm("Hit", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false);
    const std::string key = o.snapshotKey();
    bool continued = false;
    o.doSave([&] { continued = true; });
    answerSaveDialog(o, [](SaveDialogContent& c) { c.nameEditor.setText("  Kick.ZEM ", true); }, 1);
    const std::string written = f.host.libraryFolder + "/Kick.zem";
    EXPECT_TRUE(test::TempDir::exists(written));
    EXPECT_EQ(f.host.saved, std::vector<std::string>{written});
    EXPECT_EQ(f.host.discarded, std::vector<std::string>{key});
    EXPECT_TRUE(continued);
    EXPECT_FALSE(f.doc().dirty());
    EXPECT_TRUE(r.boxes.empty());
}

TEST(FallbackSave, ANameOfAnotherZemIsReplacedOnlyWhenConfirmed) {
    for (int answer : {0, 1}) {
        Fixture f;
        Recorded r;
        const std::string other = f.kit("Kick.zem", 2);
        const auto before = test::TempDir::contents(other);
        auto deps = f.host.deps();
        deps.chooseSaveLocation = nullptr;
        auto& o = f.open(std::move(deps));
        std::vector<float> pcm = drumHit(44100, 0.2, 1);
        o.viewModel.addSampleFromPcm("Hit", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false);
        o.doSave({});
        answerSaveDialog(o, [](SaveDialogContent& c) { c.nameEditor.setText("Kick", true); }, 1);
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0].getTitle(), "Replace zem");
        EXPECT_EQ(r.boxes[0].getMessage(), "Kick.zem already exists. Replace it?");
        r.answer(answer);
        EXPECT_EQ(test::TempDir::contents(other) == before, answer == 0) << answer;
        EXPECT_EQ(f.host.saved.size(), answer == 1 ? 1u : 0u);
    }
}

TEST(FallbackSave, TheChooserStartsInTheLibraryWithTheDocumentsName) {
    Fixture f;
    Recorded r;
    auto& o = f.open();
    o.doSave({});
    ASSERT_EQ(f.host.chooserCalls.size(), 1u);
    EXPECT_EQ(f.host.chooserCalls[0].first, f.host.libraryFolder);
    EXPECT_EQ(f.host.chooserCalls[0].second, "Untitled.zem");
    EXPECT_EQ(Access(o).saveDialog(), nullptr);
}

TEST(FallbackSave, TheChooserStartsInTheFirstUsableFolder) {
    struct Case {
        const char* what;
        const char* last;       // "" none; relative to the test folder
        const char* suggested;  // "" none
        const char* expected;   // relative; "" the library folder
    };
    const Case cases[] = {
        {"remembered folder", "kits", "more", "kits"},
        {"remembered folder gone: the suggested one", "gone", "more", "more"},
        {"remembered folder holds unsaved work", "unsaved", "", ""},
        {"suggested folder inside unsaved work", "", "unsaved/x", ""},
        {"neither: the library", "", "", ""},
    };
    for (const auto& c : cases) {
        Fixture f;
        Recorded r;
        for (const char* d : {"kits", "more", "unsaved/x"}) juce::File(juce::String(f.dir.path(d))).createDirectory();
        auto deps = f.host.deps();
        const std::string last = *c.last ? f.dir.path(c.last) : "";
        deps.lastSaveFolder = [last] { return last; };
        deps.suggestedSaveFolder = *c.suggested ? f.dir.path(c.suggested) : "";
        auto& o = f.open(std::move(deps));
        o.doSave({});
        ASSERT_EQ(f.host.chooserCalls.size(), 1u) << c.what;
        EXPECT_EQ(f.host.chooserCalls[0].first, *c.expected ? f.dir.path(c.expected) : f.host.libraryFolder)
            << c.what;
    }
}

TEST(FallbackSave, ARestoredSnapshotWithoutItsOwnFileGoesToTheChooser) {
    Fixture f;
    Recorded r;
    // The snapshot file as a host would have kept it.
    const std::string stored = f.kit("../unsaved/0011223344556677.zem", 3);
    auto deps = f.host.deps();
    deps.filePath = stored;
    deps.restoredSnapshot = true;
    const std::string target = f.host.libraryFolder + "/Restored.zem";
    f.host.saveChoices = {target};
    auto& o = f.open(std::move(deps));
    EXPECT_TRUE(f.doc().dirty()) << "restored work counts as unsaved";
    o.doSave({});
    ASSERT_EQ(f.host.chooserCalls.size(), 1u);
    EXPECT_EQ(f.host.chooserCalls[0].second, "Kit.zem");
    EXPECT_TRUE(test::TempDir::exists(target));
    EXPECT_EQ(o.deps.originalPath, target);
    EXPECT_TRUE(o.deps.restoredSnapshot);
    ASSERT_EQ(f.host.savedAs.size(), 1u);
    EXPECT_EQ(f.host.savedAs[0].first, "") << "the snapshot is not the user's file";
}

TEST(FallbackSave, UnmatchedRoomSamplesAreNamedAfterTheSave) {
    for (int rooms : {0, 2}) {
        Fixture f;
        Recorded r;
        f.host.saveChoices = {f.host.libraryFolder + "/Rooms.zem"};
        auto& o = f.open();
        std::vector<float> pcm = drumHit(44100, 0.2, 1);
        o.viewModel.addSampleFromPcm("Snare 1 Direct", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false);
        if (rooms > 0) {
            f.doc().addRoomChannel();
            ASSERT_EQ(f.doc().layers.size(), 2u);
            o.viewModel.addSampleFromPcm("Snare 7 Room A", pcm, 1, 44100, 0.1, 1, 0, -1, {}, false);
            o.viewModel.addSampleFromPcm("Snare 8 Room A", pcm, 1, 44100, 0.1, 1, 0, -1, {}, false);
        }
        bool continued = false;
        o.doSave([&] { continued = true; });
        EXPECT_TRUE(continued);
        if (rooms == 0) {
            EXPECT_TRUE(r.boxes.empty());
            continue;
        }
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.boxes[0].getTitle(), "Match room samples");
        EXPECT_TRUE(r.boxes[0].getMessage().startsWith("The zem was saved. These room samples don't play yet"));
        EXPECT_EQ(r.boxes[0].getIconType(), juce::MessageBoxIconType::NoIcon);
    }
}

TEST(FallbackSave, ChosenPlacesAreCheckedBeforeSaving) {
    struct Case {
        const char* what;
        const char* chosen;     // relative to the test folder; "" chooses nothing
        bool existingKick;      // Kick.zem is already in the library
        std::optional<int> replaceAnswer;
        const char* writtenAt;  // "" nothing written
        const char* message;    // title of the one message, "" none
    };
    const Case cases[] = {
        {"nothing chosen", "", false, std::nullopt, "", ""},
        {"inside the unsaved-work folder", "unsaved/deep/Kick.zem", false, std::nullopt, "", "Save zem"},
        {"a folder that differs in case only is another folder", "Unsaved/Kick.zem", false, std::nullopt,
         "Unsaved/Kick.zem", ""},
        {"extension appended", "library/Kick", false, std::nullopt, "library/Kick.zem", ""},
        {"extension in capitals is written as .zem", "library/Kick.ZEM", false, std::nullopt, "library/Kick.zem",
         ""},
        {"capitals onto an existing file: asks, Cancel", "library/Kick.ZEM", true, 0, "", "Replace zem"},
        {"appended onto an existing file: asks, Cancel", "library/Kick", true, 0, "", "Replace zem"},
        {"appended onto an existing file: asks, Replace", "library/Kick", true, 1, "library/Kick.zem",
         "Replace zem"},
        {"cannot write there", "plain-file/Kick.zem", false, std::nullopt, "", "Cannot save zem"},
    };
    for (const auto& c : cases) {
        Fixture f;
        Recorded r;
        juce::File(juce::String(f.dir.path("Unsaved"))).createDirectory();
        f.dir.write("plain-file", fmt::Bytes{1});
        std::optional<fmt::Bytes> kickBefore;
        if (c.existingKick) kickBefore = test::TempDir::contents(f.kit("Kick.zem", 2));
        f.host.saveChoices = {std::string(c.chosen).empty() ? std::string() : f.dir.path(c.chosen)};
        auto& o = f.open();
        std::vector<float> pcm = drumHit(44100, 0.2, 1);
        o.viewModel.addSampleFromPcm("Hit", pcm, 1, 44100, 0.1, 0, 0, -1, {}, false);
        bool continued = false;
        o.doSave([&] { continued = true; });
        if (c.replaceAnswer) {
            ASSERT_EQ(r.boxes.size(), 1u) << c.what;
            EXPECT_EQ(r.boxes[0].getMessage(), "Kick.zem already exists. Replace it?") << c.what;
            r.answer(*c.replaceAnswer);
        }
        const bool written = std::string(c.writtenAt).size() > 0;
        EXPECT_EQ(continued, written) << c.what;
        EXPECT_EQ(f.doc().dirty(), !written) << c.what;
        if (written) {
            const std::string path = f.dir.path(c.writtenAt);
            EXPECT_TRUE(test::TempDir::exists(path)) << c.what;
            EXPECT_EQ(f.host.saved, std::vector<std::string>{path}) << c.what;
            EXPECT_EQ(o.deps.filePath, path) << c.what;
            ASSERT_EQ(f.host.savedAs.size(), 1u);
            EXPECT_EQ(f.host.savedAs[0].second, path);
            EXPECT_EQ(f.host.rememberedFolders, std::vector<std::string>{logic::parentPath(path)}) << c.what;
        } else {
            EXPECT_TRUE(f.host.saved.empty()) << c.what;
            if (kickBefore) {
                EXPECT_EQ(test::TempDir::contents(f.host.libraryFolder + "/Kick.zem"), *kickBefore);
            }
        }
        if (std::string(c.message).empty()) {
            EXPECT_TRUE(r.boxes.empty()) << c.what;
        } else {
            ASSERT_FALSE(r.boxes.empty()) << c.what;
            EXPECT_EQ(r.boxes.back().getTitle(), c.message) << c.what;
        }
        if (std::string(c.message) == "Save zem") {
            EXPECT_EQ(r.boxes[0].getMessage(), "That folder holds unsaved work. Choose a folder in your zem library.");
            EXPECT_EQ(r.boxes[0].getIconType(), juce::MessageBoxIconType::NoIcon);
        }
        if (std::string(c.message) == "Cannot save zem") {
            EXPECT_EQ(r.boxes[0].getMessage(), juce::String::fromUTF8(maker::saveErrorText(6).c_str()));
        }
    }
}

TEST(FallbackSave, AFailedSaveThatIsNotAWriteFailureSaysTheEditsCannotBeSaved) {
    Fixture f;
    Recorded r;
    f.host.saveChoices = {f.host.libraryFolder + "/Empty.zem"};
    auto& o = f.open();
    f.doc().addBand();  // dirty, but no sample to save
    bool continued = false;
    o.doSave([&] { continued = true; });
    EXPECT_FALSE(continued);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].getTitle(), "Cannot save zem");
    EXPECT_EQ(r.boxes[0].getMessage(), juce::String::fromUTF8(maker::saveErrorText(5).c_str()));
    EXPECT_FALSE(test::TempDir::exists(f.host.libraryFolder + "/Empty.zem"));
}

TEST(FallbackSave, FolderPathsCompareCaseSensitively) {
    const struct {
        const char *path, *folder;
        bool inside;
    } cases[] = {
        {"/Kits/a.zem", "/Kits", true},
        {"/kits/a.zem", "/Kits", false},
        {"/Kits", "/Kits/", true},
        {"/Kits2/a.zem", "/Kits", false},
        {"/Kits/./sub/../a.zem", "/Kits", true},
        {"/Kits\\a.zem", "/Kits", true},
        {"", "/Kits", false},
        {"/Kits/a.zem", "", false},
        {"/a.zem", "/", true},
    };
    for (const auto& c : cases) EXPECT_EQ(isPathInside(c.path, c.folder), c.inside) << c.path << " in " << c.folder;
    EXPECT_EQ(normalizeFolderPath("/Kits/Drums///"), "/Kits/Drums");
}

}  // namespace
}  // namespace vt6::ui::zemedit
