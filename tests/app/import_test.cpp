// Importing through the real main component with a mounted editor: the three
// roads, the undo step, the report, the status and the box, file drags over
// the columns, duplicates, cancel and the refusals of the shell.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>

#include "app/audio_fixtures.hpp"
#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/import_job.hpp"
#include "app/main_component.hpp"
#include "audio/pcma_head.hpp"
#include "format/checksum.hpp"
#include "editor/ui/band_column.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/message_boxes.hpp"
#include "app/main_component_access.hpp"

namespace vt6::maker {

namespace {

using test::pumpUntil;
using ui::zemedit::logic::EditDocument;

struct Box {
    juce::String title, message;
};

juce::File at(const std::filesystem::path& p) { return juce::File(juce::String::fromUTF8(p.string().c_str())); }

void writeHit(const juce::File& f, int frames = 4410, float peak = 0.8f) {
    f.getParentDirectory().createDirectory();
    ASSERT_TRUE(test::writeAudioFile(f, test::hitAudio(frames, 1, peak), 44100, 24));
}

std::vector<const ui::zemedit::logic::EditSample*> liveSamples(const EditDocument& doc) {
    std::vector<const ui::zemedit::logic::EditSample*> live;
    for (size_t i = 0; i < doc.samples.size(); ++i) {
        const auto found = doc.uidIndex.find(doc.samples[i].uid);
        if (found != doc.uidIndex.end() && static_cast<size_t>(found->second) == i) live.push_back(&doc.samples[i]);
    }
    return live;
}

std::vector<std::string> liveNames(const EditDocument& doc) {
    std::vector<std::string> names;
    for (const auto* s : liveSamples(doc)) names.push_back(s->name);
    return names;
}

juce::Button* findButton(juce::Component& root, const juce::String& text) {
    for (auto* child : root.getChildren()) {
        if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getButtonText() == text) return b;
        if (auto* found = findButton(*child, text)) return found;
    }
    return nullptr;
}

const juce::String kTail = " Complete source audio retained. Adjust playback bounds in the sample editor.";

struct ImportTest : ::testing::Test {
    test::TempDir files;
    std::vector<Box> boxes;
    std::vector<FileChooserRequest> requests;
    juce::File chooserAnswer;
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    std::unique_ptr<MainComponent> main;

    void SetUp() override {
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            boxes.push_back({o.getTitle(), o.getMessage()});
            if (done) done(0);
        });
        setFileChooserPresenter([this](const FileChooserRequest& r, std::function<void(const juce::File&)> done) {
            requests.push_back(r);
            done(chooserAnswer);
        });
        main = std::make_unique<MainComponent>();
        main->settings().trimSilence = false;
        access().mountNew();
    }
    void TearDown() override {
        main.reset();
        test::pumpFor(20);
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
    }
    MainComponentTestAccess access() { return MainComponentTestAccess(*main); }
    EditDocument& doc() { return main->overlay()->document(); }
    juce::String status() { return access().status(); }
    void waitForImport() { ASSERT_TRUE(pumpUntil([&] { return !main->isBusy(); }, 20000)); }
    void importAndWait(std::vector<juce::File> list, int group = -1) {
        main->import(std::move(list), group);
        waitForImport();
    }
    // A point in the main component over the given column, or beside the
    // columns for -1.
    juce::Point<int> pointOver(int group) {
        auto* overlay = main->overlay();
        const auto grid = overlay->gridAreaBounds();
        if (group < 0) return main->getLocalPoint(overlay, juce::Point<int>(grid.getX() + 4, grid.getY() - 30));
        for (int x = grid.getX(); x < grid.getRight(); x += 4) {
            const juce::Point<int> p(x, grid.getCentreY());
            if (overlay->bandIndexAt(p) == group) return main->getLocalPoint(overlay, p.translated(20, 0));
        }
        ADD_FAILURE() << "no point over group " << group;
        return {};
    }
};

TEST_F(ImportTest, AFolderOfTwoHitsAndStrayFilesImportsInNaturalOrder) {
    const auto folder = files.root() / "kit";
    // Levels far apart: each is a clear group of its own.
    writeHit(at(folder / "hit 2.wav"), 4410, 0.05f);
    writeHit(at(folder / "Hit 10.wav"), 4410, 0.9f);
    writeHit(at(folder / ".h.wav"));
    ASSERT_TRUE(at(folder / "notes.txt").replaceWithText("notes"));

    main->import({at(folder)}, -1);
    EXPECT_TRUE(main->isBusy());
    EXPECT_TRUE(access().cancel().isVisible());
    EXPECT_FALSE(access().importFolder().isEnabled());
    EXPECT_FALSE(main->overlay()->isEnabled());
    EXPECT_TRUE(status().startsWith("Importing "));
    waitForImport();

    EXPECT_EQ(liveNames(doc()), (std::vector<std::string>{"hit 2", "Hit 10"}));
    const juce::String report =
        "2 samples imported into Direct / CENTER. Auto-sorted by recorded hit level." + kTail;
    EXPECT_EQ(access().report(), report);
    EXPECT_EQ(status(), "2 samples imported");
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(access().cancel().isVisible());
    EXPECT_TRUE(main->overlay()->isEnabled());

    auto& undo = main->overlay()->undoManager();
    EXPECT_EQ(undo.getUndoDescription(), "Import samples");
    access().importReport().triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return !boxes.empty(); }));
    EXPECT_EQ(boxes[0].title, "Import report");
    EXPECT_EQ(boxes[0].message, report);

    // One undo removes the whole import.
    ASSERT_TRUE(undo.undo());
    EXPECT_TRUE(liveNames(doc()).empty());
    EXPECT_FALSE(undo.canUndo());

    // The text file alone is reported, and the box shows the count 0.
    boxes.clear();
    importAndWait({at(folder / "notes.txt")});
    EXPECT_EQ(access().report(), "0 samples imported into Direct / CENTER. Auto-sorted by recorded hit level." +
                                     kTail + "\n\nnotes.txt isn't audio and was skipped.");
    EXPECT_EQ(status(), "0 samples imported - see IMPORT REPORT");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Import report");
    EXPECT_EQ(boxes[0].message, access().report());
    EXPECT_FALSE(undo.canUndo());  // nothing added: no undo step
}

// With the last sample id given out, the rest of an import is refused and
// the report says why; no sample gets a uid that another one has.
TEST_F(ImportTest, ImportStopsWhenNoSampleIdIsLeft) {
    const auto a = at(files.root() / "a.wav");
    const auto b = at(files.root() / "b.wav");
    writeHit(a);
    writeHit(b);
    doc().nextUid = ~uint64_t{0} - 1;
    importAndWait({a, b});
    EXPECT_EQ(liveNames(doc()), (std::vector<std::string>{"a"}));
    EXPECT_EQ(liveSamples(doc())[0]->uid, ~uint64_t{0} - 1);
    EXPECT_EQ(status(), "1 sample imported - see IMPORT REPORT");
    EXPECT_TRUE(access().report().startsWith("1 sample imported into ")) << access().report();
    EXPECT_TRUE(access().report().endsWith(
        "\n\n1 sample was not imported: this zem has used every sample id it can hold."))
        << access().report();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Import report");
}

TEST_F(ImportTest, TheMessageThreadAdoptsTheJobsEncodedAudioAsItIs) {
    const auto folder = files.root() / "kit";
    writeHit(at(folder / "a.wav"), 4410, 0.2f);
    writeHit(at(folder / "b.wav"), 4410, 0.8f);
    ImportJobRequest request;
    request.files = {at(folder)};
    request.page = {0, 0};
    std::atomic<int> done{0};
    auto result = runImportJob(request, {}, done, 2);
    ASSERT_EQ(result->samples.size(), 2u);
    ASSERT_EQ(result->audio.size(), 2u);
    // The payloads and the audio the job made: the same buffers must end up
    // in the view model, neither encoded nor copied again.
    std::vector<const uint8_t*> payloads;
    std::vector<const void*> audio;
    for (const auto& prepared : result->audio) {
        payloads.push_back(prepared.payload().data());
        audio.push_back(prepared.pcm());
    }

    access().finishImport(result, {0, 0});
    const auto& vm = main->overlay()->viewModel;
    ASSERT_EQ(vm.addedPayloads.size(), 2u);
    EXPECT_EQ(liveNames(doc()), (std::vector<std::string>{"a", "b"}));
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto& staged = vm.addedPayloads[i];
        EXPECT_EQ(staged.bytes.data(), payloads[i]);
        EXPECT_EQ(static_cast<const void*>(vm.addedPcm.at(staged.uid).get()), audio[i]);
        // Still the payload of exactly that audio.
        const auto& pcm = *vm.addedPcm.at(staged.uid);
        EXPECT_EQ(staged.bytes, ui::zemedit::logic::encodePcmPayload(pcm.samples, pcm.channels, pcm.sampleRate));
        EXPECT_EQ(doc().sampleByUid(staged.uid)->plainHash,
                  fmt::blake2b128(fmt::ByteView(staged.bytes).subspan(fmt::kPcmaHeadBytes)));
    }
    EXPECT_EQ(main->overlay()->undoManager().getUndoDescription(), "Import samples");
    EXPECT_EQ(status(), "2 samples imported");
}

TEST_F(ImportTest, ProgressSaysHowManyOfHowManyFiles) {
    // The 100 ms refresh: the Part's text until the list is known, then n of N.
    access().setBusy(true, true);
    access().setFilesDone(0);
    access().setFilesTotal(0);
    ASSERT_TRUE(pumpUntil([&] { return status() == "Importing 0 files..."; }, 1000)) << status();
    access().setFilesDone(38);
    access().setFilesTotal(500);
    ASSERT_TRUE(pumpUntil([&] { return status() == "Importing 38 of 500 files..."; }, 1000)) << status();
    access().setBusy(false, false);

    // A real run counts only the files that are decoded: the text file and
    // the second listing of a file are not among them.
    const auto folder = files.root() / "kit";
    writeHit(at(folder / "one.wav"));
    writeHit(at(folder / "two.wav"));
    ASSERT_TRUE(at(folder / "notes.txt").replaceWithText("notes"));
    importAndWait({at(folder / "one.wav"), at(folder / "two.wav"), at(folder / "notes.txt"), at(folder / "one.wav")});
    EXPECT_EQ(access().filesTotal(), 2);
    EXPECT_EQ(access().filesDone(), 2);
}

TEST_F(ImportTest, TrimSetsPlaybackBoundsInsideTheSameUndoStep) {
    // Silence, full scale from frame 1000, a decay whose last value at or
    // above 0.001 is frame 5000, then silence.
    test::Channels audio(1, std::vector<float>(20000, 0.0f));
    for (int f = 1000; f < 2000; ++f) audio[0][static_cast<size_t>(f)] = f % 2 == 0 ? 1.0f : -1.0f;
    for (int f = 2000; f <= 5000; ++f)
        audio[0][static_cast<size_t>(f)] = 0.5f * static_cast<float>(std::pow(0.002, (f - 2000) / 3000.0));
    const auto rising = at(files.root() / "rising.wav");
    ASSERT_TRUE(test::writeAudioFile(rising, audio, 44100, 32));
    const auto plain = at(files.root() / "plain.wav");
    writeHit(plain);

    struct Case {
        bool trim;
        uint64_t start, end;
    };
    for (const Case& c : {Case{false, 0, 20000}, Case{true, 1000, 5001 + 441}}) {
        SCOPED_TRACE(c.trim);
        main->settings().trimSilence = c.trim;
        main->settings().startThresholdDb = -24;
        main->settings().endThresholdDb = -60;
        importAndWait({rising, plain});
        const auto live = liveSamples(doc());
        ASSERT_EQ(live.size(), 2u);
        EXPECT_EQ(live[1]->name, "rising");
        EXPECT_EQ(live[1]->frames, 20000u);  // the whole audio stays
        EXPECT_EQ(live[1]->regionStart, c.start);
        EXPECT_EQ(live[1]->regionEnd, c.end);
        auto& undo = main->overlay()->undoManager();
        EXPECT_EQ(undo.getUndoDescription(), "Import samples");
        ASSERT_TRUE(undo.undo());
        EXPECT_TRUE(liveSamples(doc()).empty());
        EXPECT_FALSE(undo.canUndo());
    }
}

TEST_F(ImportTest, DraggingOverColumnsMarksTheGroupAndDropsIntoIt) {
    const auto a = at(files.root() / "a.wav");
    const auto b = at(files.root() / "b.wav");
    writeHit(a);
    writeHit(b, 4410, 0.1f);
    const juce::StringArray dragged{a.getFullPathName(), b.getFullPathName()};
    main->setStatus("before the drag");
    ASSERT_TRUE(main->isInterestedInFileDrag(dragged));

    const auto over = pointOver(2);
    main->fileDragEnter(dragged, over.x, over.y);
    EXPECT_EQ(status(), "Drop all samples into Medium");
    EXPECT_EQ(doc().dropBand, 2);
    const auto beside = pointOver(-1);
    main->fileDragMove(dragged, beside.x, beside.y);
    EXPECT_EQ(status(), "Drop to auto-sort samples into dynamic groups");
    EXPECT_EQ(doc().dropBand, -1);
    main->fileDragMove(dragged, over.x, over.y);
    EXPECT_EQ(doc().dropBand, 2);
    main->fileDragExit(dragged);
    EXPECT_EQ(status(), "before the drag");
    EXPECT_EQ(doc().dropBand, -1);

    main->fileDragEnter(dragged, over.x, over.y);
    main->filesDropped(dragged, over.x, over.y);
    EXPECT_EQ(doc().dropBand, -1);
    waitForImport();
    const auto live = liveSamples(doc());
    ASSERT_EQ(live.size(), 2u);
    for (const auto* s : live) {
        EXPECT_EQ(doc().bandIndexOf(s->bandId), 2) << s->name;
        EXPECT_EQ(s->sortLock, 1) << s->name;  // placed by the user
    }
    EXPECT_EQ(access().report(),
              "2 samples imported into Direct / CENTER. All samples placed in Medium." + kTail);
}

TEST_F(ImportTest, ADroppedFolderIsExpandedAndGoesToTheGroupUnderThePointer) {
    const auto folder = files.root() / "drop";
    writeHit(at(folder / "x 1.wav"));
    writeHit(at(folder / "deeper" / "x 3.wav"));
    const juce::StringArray dragged{at(folder).getFullPathName()};
    const auto over = pointOver(0);
    main->fileDragEnter(dragged, over.x, over.y);
    main->filesDropped(dragged, over.x, over.y);
    waitForImport();
    const auto live = liveSamples(doc());
    ASSERT_EQ(live.size(), 2u);
    for (const auto* s : live) EXPECT_EQ(doc().bandIndexOf(s->bandId), 0);
}

TEST_F(ImportTest, AFileIsImportedOncePerPageWhileItsSampleLives) {
    const auto a = at(files.root() / "a.wav");
    writeHit(a);
    importAndWait({a});
    ASSERT_EQ(liveNames(doc()).size(), 1u);
    boxes.clear();
    importAndWait({a});
    EXPECT_EQ(liveNames(doc()).size(), 1u);
    EXPECT_TRUE(access().report().endsWith("\n\na.wav is already on this page."));
    EXPECT_EQ(status(), "0 samples imported - see IMPORT REPORT");

    // Once its sample is gone the file imports again.
    const uint64_t uid = liveSamples(doc())[0]->uid;
    auto& undo = main->overlay()->undoManager();
    ASSERT_TRUE(undo.undo());
    ASSERT_EQ(doc().sampleByUid(uid), nullptr);
    importAndWait({a});
    EXPECT_EQ(liveNames(doc()).size(), 1u);
    EXPECT_EQ(status(), "1 sample imported");

    // Onto another articulation it imports at once.
    ASSERT_TRUE(doc().addArticulation());
    doc().setPage(0, 1);
    importAndWait({a});
    EXPECT_EQ(liveNames(doc()).size(), 2u);
    EXPECT_EQ(status(), "1 sample imported");
}

TEST_F(ImportTest, EveryRoadAsksForOneChannelAndArticulation) {
    const auto a = at(files.root() / "a.wav");
    writeHit(a);
    chooserAnswer = a;
    const auto over = pointOver(1);
    struct Road {
        const char* name;
        std::function<void()> go;
    };
    const Road roads[] = {
        {"import", [&] { main->import({a}, -1); }},
        {"IMPORT FOLDER", [&] { access().importFolder().triggerClick(); }},
        {"IMPORT SAMPLES", [&] { findButton(*main->overlay(), "IMPORT SAMPLES")->triggerClick(); }},
        {"drop", [&] { main->filesDropped({a.getFullPathName()}, over.x, over.y); }},
    };
    for (auto page : {std::pair{-1, 0}, std::pair{0, -1}}) {
        for (const Road& road : roads) {
            SCOPED_TRACE(road.name);
            doc().setPage(page.first, page.second);
            boxes.clear();
            road.go();
            ASSERT_TRUE(pumpUntil([&] { return !boxes.empty(); }));
            EXPECT_FALSE(main->isBusy());
            EXPECT_EQ(boxes[0].title, "Select a destination");
            EXPECT_EQ(boxes[0].message, "Select one CHANNEL and one ARTICULATION before importing samples.");
        }
    }
    EXPECT_TRUE(liveNames(doc()).empty());
}

TEST_F(ImportTest, TheChoosersReachImport) {
    const auto folder = files.root() / "chosen";
    writeHit(at(folder / "f.wav"));
    chooserAnswer = at(folder);
    access().importFolder().triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return !requests.empty(); }));
    EXPECT_EQ(requests[0].title, "Import sample folder");
    EXPECT_NE(requests[0].flags & juce::FileBrowserComponent::canSelectDirectories, 0);
    waitForImport();
    EXPECT_EQ(liveNames(doc()), (std::vector<std::string>{"f"}));

    const auto single = at(files.root() / "g.wav");
    writeHit(single);
    chooserAnswer = single;
    auto* button = findButton(*main->overlay(), "IMPORT SAMPLES");
    ASSERT_NE(button, nullptr);
    button->triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return requests.size() == 2; }));
    EXPECT_EQ(requests[1].title, "Import samples");
    EXPECT_TRUE(requests[1].patterns.contains("*.wav"));
    EXPECT_TRUE(requests[1].patterns.contains("*.flac"));
    EXPECT_NE(requests[1].flags & juce::FileBrowserComponent::canSelectMultipleItems, 0);
    waitForImport();
    EXPECT_EQ(liveNames(doc()), (std::vector<std::string>{"f", "g"}));

    // A cancelled chooser imports nothing.
    chooserAnswer = juce::File();
    access().importFolder().triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return requests.size() == 3; }));
    EXPECT_FALSE(main->isBusy());
}

TEST_F(ImportTest, CancelImportsNothingAndKeepsTheEarlierReport) {
    const auto first = at(files.root() / "first.wav");
    writeHit(first);
    importAndWait({first});
    const auto earlier = access().report();
    std::vector<juce::File> many;
    for (int i = 0; i < 30; ++i) {
        many.push_back(at(files.root() / "many" / ("m" + std::to_string(i) + ".wav")));
        writeHit(many.back(), 44100 * 5);
    }
    main->import(many, -1);
    ASSERT_TRUE(access().cancel().isVisible());
    access().cancel().triggerClick();
    waitForImport();
    EXPECT_EQ(status(), "Import canceled");
    EXPECT_EQ(liveNames(doc()).size(), 1u);
    EXPECT_EQ(access().report(), earlier);
    EXPECT_FALSE(access().cancel().isVisible());
    EXPECT_EQ(main->overlay()->undoManager().getUndoDescription(), "Import samples");
}

TEST_F(ImportTest, QuitDuringAnImportCancelsItAndThenQuits) {
    int quits = 0;
    main->setQuitAction([&] { ++quits; });
    std::vector<juce::File> many;
    for (int i = 0; i < 30; ++i) {
        many.push_back(at(files.root() / "many" / ("m" + std::to_string(i) + ".wav")));
        writeHit(many.back(), 44100 * 5);
    }
    main->import(many, -1);
    ASSERT_TRUE(main->isBusy());
    main->requestQuit();
    EXPECT_EQ(quits, 0);  // not while the job still runs
    ASSERT_TRUE(pumpUntil([&] { return quits == 1; }, 20000));
    EXPECT_FALSE(main->isBusy());
    EXPECT_EQ(status(), "Import canceled");
    EXPECT_TRUE(liveNames(doc()).empty());
}

TEST_F(ImportTest, DragsAreRefusedWhileBusyOrWhileTheSampleEditorIsOpen) {
    const auto a = at(files.root() / "a.wav");
    writeHit(a);
    const juce::StringArray dragged{a.getFullPathName()};
    const auto over = pointOver(1);

    access().setBusy(true);
    EXPECT_FALSE(main->isInterestedInFileDrag(dragged));
    main->filesDropped(dragged, over.x, over.y);
    main->import({a}, -1);
    access().setBusy(false);
    test::pumpFor(50);
    EXPECT_TRUE(liveNames(doc()).empty());

    main->overlay()->sampleEditor = std::make_unique<juce::Component>();
    EXPECT_FALSE(main->isInterestedInFileDrag(dragged));
    main->filesDropped(dragged, over.x, over.y);
    EXPECT_FALSE(main->isBusy());
    // IMPORT FOLDER still imports.
    main->import({a}, -1);
    waitForImport();
    EXPECT_EQ(liveNames(doc()).size(), 1u);
    main->overlay()->sampleEditor.reset();
}

TEST_F(ImportTest, UnclearLevelsAreKeptInTheMiddleGroupAndReported) {
    // Two hits of one level form one cluster, which decides no group.
    const auto a = at(files.root() / "same a.wav");
    const auto b = at(files.root() / "same b.wav");
    writeHit(a);
    writeHit(b);
    importAndWait({a, b});
    const auto live = liveSamples(doc());
    ASSERT_EQ(live.size(), 2u);
    for (const auto* s : live) {
        EXPECT_EQ(doc().bandIndexOf(s->bandId), 2) << s->name;
        EXPECT_EQ(s->sortLock, 0) << s->name;
    }
    EXPECT_EQ(access().report(), "2 samples imported into Direct / CENTER. Auto-sorted by recorded hit level." + kTail +
                                     "\n2 samples kept in the middle group because their dynamic level was unclear.");
    EXPECT_EQ(status(), "2 samples imported");
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace vt6::maker
