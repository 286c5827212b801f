// Opening files into the editor through the real main component: the
// chooser, the working copy, the job, mounting and RESET.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "widgets/message_boxes.hpp"
#include "app/open_for_edit.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/sample_load.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/user_messages.hpp"
#include "platform/copy_file.hpp"
#include "platform/leftovers.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "app/main_component_access.hpp"

namespace vt6::maker {

namespace {

using test::pumpUntil;

// Every file of a folder, by name, but for this process's own lock file
// (it lives in the temporary folder for as long as the program runs).
std::vector<std::string> filesIn(const std::string& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    const std::string ownLock = "zem-rivir-" + platform::ownerTag() + ".lock";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.path().filename() != ownLock) out.push_back(entry.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Replaced working copies are deleted on a thread of their own: waits until
// the folder holds exactly these files.
std::vector<std::string> settledFilesIn(const std::string& folder, const std::vector<std::string>& expected) {
    pumpUntil([&] { return filesIn(folder) == expected; }, 5000);
    return filesIn(folder);
}

// Finds a child button of the overlay by its text.
juce::Button* overlayButton(juce::Component& overlay, const juce::String& text) {
    for (auto* child : overlay.getChildren())
        if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getButtonText() == text) return b;
    return nullptr;
}

struct RecordedBox {
    juce::String title, message;
};

struct OpenTest : ::testing::Test {
    test::TempDir files;      // the user's files
    test::TempDir temporary;  // the system's temporary folder
    std::string previousTmp;
    std::vector<RecordedBox> boxes;
    std::vector<FileChooserRequest> requests;
    // What the chooser answers next; an empty File is a cancelled chooser.
    juce::File answer;
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    std::unique_ptr<MainComponent> main;

    void SetUp() override {
        if (const char* tmp = std::getenv("TMPDIR")) previousTmp = tmp;
        setenv("TMPDIR", temporary.root().c_str(), 1);
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            boxes.push_back({o.getTitle(), o.getMessage()});
            if (done) done(0);
        });
        setFileChooserPresenter([this](const FileChooserRequest& r, std::function<void(const juce::File&)> done) {
            requests.push_back(r);
            done(answer);
        });
        main = std::make_unique<MainComponent>();
    }
    void TearDown() override {
        main.reset();
        pumpFor();
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
        if (previousTmp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", previousTmp.c_str(), 1);
    }
    static void pumpFor() { test::pumpFor(20); }
    MainComponentTestAccess access() { return MainComponentTestAccess(*main); }

    // Chooses the file through OPEN ZEM and waits for the job to end.
    void open(const std::string& path) {
        answer = juce::File(juce::String::fromUTF8(path.c_str()));
        access().button("OPEN ZEM").onClick();
        pumpUntil([&] { return !requests.empty(); });
        ASSERT_TRUE(pumpUntil([&] { return !main->isBusy(); }, 20000));
    }
};

TEST(OpenForEdit, SignedFromEveryBadge) {
    const std::pair<fmt::ProvenanceBadge, bool> cases[] = {
        {fmt::ProvenanceBadge::None, false},     {fmt::ProvenanceBadge::Factory, true},
        {fmt::ProvenanceBadge::Publisher, true}, {fmt::ProvenanceBadge::User, false},
        {fmt::ProvenanceBadge::Modified, true},
    };
    for (const auto& [badge, isSigned] : cases) EXPECT_EQ(signedFromBadge(badge), isSigned) << static_cast<int>(badge);
}

TEST(OpenForEdit, CurrentAndLegacyFiles) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"));
    auto opened = openForEdit(kit, "/home/user/My Kit.zem");
    ASSERT_TRUE(opened.ok()) << opened.message();
    EXPECT_FALSE(opened.value().convertedFromLegacy);
    EXPECT_FALSE(opened.value().isSigned);  // the writer's files are unsigned user files
    EXPECT_EQ(opened.value().model.metadata.name, "Kit");  // a current file keeps its own name
    EXPECT_EQ(opened.value().model.samples.size(), 12u);

    const auto legacy = dir.write("copy.tmp", zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(5)));
    struct Case {
        std::string chosen, name;
    };
    const Case names[] = {
        {"C:\\Kits\\a.b.zem", "a.b"},  // both separators count
        {"/kits/snare.zem", "snare"},
        {"/kits/.zem", ".zem"},        // a leading dot is not an extension
        {"/kits/noext", "noext"},
        {"/kits/", "copy"},            // an empty stem keeps the converted name
    };
    for (const auto& c : names) {
        auto converted = openForEdit(legacy, c.chosen);
        ASSERT_TRUE(converted.ok()) << converted.message();
        EXPECT_TRUE(converted.value().convertedFromLegacy);
        EXPECT_FALSE(converted.value().isSigned);
        EXPECT_EQ(converted.value().model.metadata.name.value_or(""), c.name) << c.chosen;
    }

    const auto junk = dir.write("junk.zem", fmt::Bytes(100, 0x20));
    EXPECT_FALSE(openForEdit(junk, junk).ok());
    EXPECT_FALSE(openForEdit(dir.path("missing.zem"), "x.zem").ok());
}

TEST_F(OpenTest, OpenZemOpensAKit) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    const auto before = test::TempDir::contents(kit);
    answer = juce::File(kit);
    access().button("OPEN ZEM").onClick();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Open zem");
    EXPECT_EQ(requests[0].patterns, "*.zem");
    EXPECT_EQ(requests[0].flags,
              juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles);
    // The chooser answered at once: the job runs.
    EXPECT_TRUE(main->isBusy());
    EXPECT_EQ(access().status(), "Opening zem...");
    EXPECT_FALSE(access().button("OPEN ZEM").isEnabled());
    ASSERT_TRUE(pumpUntil([&] { return !main->isBusy(); }, 20000));

    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(access().status(), "kit.zem");
    ASSERT_NE(main->overlay(), nullptr);
    EXPECT_EQ(main->overlay()->getBounds(), juce::Rectangle<int>(0, 49, 1280, 689));
    EXPECT_FALSE(access().button("NEW ZEM").isVisible());
    EXPECT_TRUE(access().button("SAVE AS").isEnabled());
    EXPECT_TRUE(access().button("IMPORT FOLDER").isEnabled());
    EXPECT_EQ(access().undoManager(), &main->overlay()->undoManager());

    // The editor reads a working copy in the temporary folder; the chosen
    // file is unchanged.
    const auto copy = access().workingCopy();
    EXPECT_EQ(copy.getParentDirectory().getFullPathName().toStdString(), temporary.root().string());
    EXPECT_EQ(copy.getFileExtension(), ".zem");
    EXPECT_EQ(filesIn(temporary.root().string()), std::vector<std::string>{copy.getFullPathName().toStdString()});
    EXPECT_EQ(test::TempDir::contents(copy.getFullPathName().toStdString()), before);
    EXPECT_EQ(test::TempDir::contents(kit), before);
    EXPECT_EQ(main->overlay()->deps.filePath, copy.getFullPathName().toStdString());
    EXPECT_EQ(main->overlay()->deps.model, nullptr);
    EXPECT_EQ(access().current(), juce::File(kit));
    EXPECT_EQ(access().noOverwrite(), juce::File());

    // The header names the document and counts it; the first page is shown.
    EXPECT_EQ(main->overlay()->document().name, "Kit");
    EXPECT_EQ(main->overlay()->document().liveSampleCount, 12u);
    EXPECT_EQ(main->overlay()->document().pageLayer, 0);
    EXPECT_EQ(main->overlay()->document().pageArticulation, 0);
    bool sawCounts = false, sawTitle = false;
    for (auto* child : main->overlay()->getChildren())
        if (auto* label = dynamic_cast<juce::Label*>(child)) {
            sawCounts |= label->getText() == juce::String::fromUTF8("12 SAMPLES \xc2\xb7 4 DYNAMIC GROUPS");
            sawTitle |= label->getText() == "Kit";
        }
    EXPECT_TRUE(sawCounts);
    EXPECT_TRUE(sawTitle);

    // Opening another file replaces the overlay and deletes the first copy.
    const auto other = test::writeKit(files.path("other.zem"), 3, 2, "Other");
    requests.clear();
    open(other);
    EXPECT_EQ(main->overlay()->document().name, "Other");
    const std::vector<std::string> second{access().workingCopy().getFullPathName().toStdString()};
    EXPECT_EQ(settledFilesIn(temporary.root().string(), second), second);
    EXPECT_NE(access().workingCopy(), copy);
}

TEST_F(OpenTest, StatusIsTheNameAfterEitherSeparator) {
    const std::pair<std::string, const char*> cases[] = {
        {"plain.zem", "plain.zem"},
        {"C:\\Kits\\snare.zem", "snare.zem"},  // a name holding backslashes
    };
    for (const auto& [name, status] : cases) {
        open(test::writeKit(files.path(name), 2, 1));
        ASSERT_TRUE(boxes.empty()) << name;
        EXPECT_EQ(access().status(), status) << name;
    }
}

TEST_F(OpenTest, LegacyFileOpensConvertedAndIsNoOverwrite) {
    const auto legacy =
        files.write("a.b.zem", zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)));
    open(legacy);
    // The importer's warning about the fixture's trailing bytes reaches the user.
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Converted zem");
    EXPECT_TRUE(boxes[0].message.contains("2 trailing bytes after the last declared sample")) << boxes[0].message;
    ASSERT_NE(main->overlay(), nullptr);
    EXPECT_EQ(main->overlay()->document().name, "a.b");
    EXPECT_EQ(access().asOpened().metadata.name, "a.b");
    EXPECT_EQ(access().status(), "a.b.zem");
    EXPECT_EQ(access().noOverwrite(), juce::File(legacy));
    ASSERT_NE(main->overlay()->deps.model, nullptr);
    EXPECT_EQ(main->overlay()->deps.filePath, access().workingCopy().getFullPathName().toStdString());

    // Opening a current file of the user's clears the mark.
    open(test::writeKit(files.path("kit.zem")));
    EXPECT_EQ(access().noOverwrite(), juce::File());
}

TEST_F(OpenTest, BadInputKeepsThePreviousFile) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    auto* mounted = main->overlay();
    ASSERT_NE(mounted, nullptr);
    const auto copy = access().workingCopy();
    struct Step : juce::UndoableAction {
        bool perform() override { return true; }
        bool undo() override { return true; }
    };
    mounted->undoManager().beginNewTransaction("edit");
    mounted->undoManager().perform(new Step());

    struct Case {
        std::string name;
        fmt::Bytes bytes;
    };
    const auto whole = test::TempDir::contents(kit);
    const Case cases[] = {
        {"junk.zem", fmt::Bytes(4096, 0x5a)},
        {"empty.zem", {}},
        {"truncated.zem", fmt::Bytes(whole.begin(), whole.begin() + 100)},
        {"cut.zem", fmt::Bytes(whole.begin(), whole.end() - 40)},
    };
    for (const auto& c : cases) {
        boxes.clear();
        open(files.write(c.name, c.bytes));
        ASSERT_EQ(boxes.size(), 1u) << c.name;
        EXPECT_EQ(boxes[0].title, "Cannot open zem") << c.name;
        EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(openErrorText().c_str())) << c.name;
        EXPECT_EQ(main->overlay(), mounted) << c.name;
        EXPECT_TRUE(mounted->isEnabled()) << c.name;
        EXPECT_TRUE(mounted->undoManager().canUndo()) << c.name;
        EXPECT_EQ(access().undoManager(), &mounted->undoManager()) << c.name;
        EXPECT_EQ(access().workingCopy(), copy) << c.name;
        EXPECT_EQ(access().status(), "kit.zem") << c.name;
        const std::vector<std::string> kept{copy.getFullPathName().toStdString()};
        EXPECT_EQ(settledFilesIn(temporary.root().string(), kept), kept) << c.name;
    }
}

TEST_F(OpenTest, NoTemporaryFolder) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    setenv("TMPDIR", "/nonexistent", 1);
    open(kit);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Cannot open zem");
    EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(workingCopyErrorText().c_str()));
    EXPECT_EQ(main->overlay(), nullptr);
    EXPECT_TRUE(access().button("NEW ZEM").isVisible());
    EXPECT_FALSE(std::filesystem::exists("/nonexistent"));
}

// A temporary folder without room for the whole copy: nothing opens, no part
// of a copy stays, and the message names the folder that is full. Before,
// the short copy opened (a legacy file with silence for its missing audio)
// or was called damaged.
TEST_F(OpenTest, AFullTemporaryFolderOpensNothingAndSaysWhichFolder) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    auto* mounted = main->overlay();
    ASSERT_NE(mounted, nullptr);
    const auto copy = access().workingCopy();

    struct Case {
        std::string name;
        std::string path;
    };
    const Case cases[] = {
        {"current", test::writeKit(files.path("other.zem"), 4, 2000)},
        {"legacy", files.write("old.zem", zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(5)))},
    };
    for (const auto& c : cases) {
        const auto size = std::filesystem::file_size(c.path);
        for (const bool kernel : {true, false}) {
            boxes.clear();
            platform::setKernelCopyDisabledForTesting(!kernel);
            platform::setCopyRoomForTesting(size / 2);
            open(c.path);
            platform::setCopyRoomForTesting(std::nullopt);
            platform::setKernelCopyDisabledForTesting(false);
            ASSERT_EQ(boxes.size(), 1u) << c.name;
            EXPECT_EQ(boxes[0].title, "Cannot open zem") << c.name;
            const auto full = workingCopyFolderFullText(temporary.root().string());
            EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(full.c_str())) << c.name;
            EXPECT_EQ(main->overlay(), mounted) << c.name;
            EXPECT_EQ(access().workingCopy(), copy) << c.name;
            EXPECT_EQ(access().status(), "kit.zem") << c.name;
            const std::vector<std::string> kept{copy.getFullPathName().toStdString()};
            EXPECT_EQ(settledFilesIn(temporary.root().string(), kept), kept) << c.name;
        }
    }
}

TEST_F(OpenTest, ChooserAnswersThatOpenNothing) {
    const auto folder = files.path("folder.zem");
    std::filesystem::create_directory(folder);
    const std::string answers[] = {folder, files.path("missing.zem"), ""};
    for (const auto& path : answers) {
        requests.clear();
        answer = path.empty() ? juce::File() : juce::File(path);
        access().button("OPEN ZEM").onClick();
        ASSERT_EQ(requests.size(), 1u) << path;
        EXPECT_FALSE(main->isBusy()) << path;
        pumpFor();
        EXPECT_TRUE(boxes.empty()) << path;
        EXPECT_EQ(main->overlay(), nullptr) << path;
        EXPECT_EQ(access().status(), "") << path;
        EXPECT_TRUE(filesIn(temporary.root().string()).empty()) << path;
    }
}

TEST_F(OpenTest, DestroyedDuringTheJobLeavesNoWorkingCopy) {
    const auto kit = test::writeKit(files.path("kit.zem"), 40, 4);
    answer = juce::File(kit);
    access().button("OPEN ZEM").onClick();
    ASSERT_TRUE(main->isBusy());
    main.reset();  // joins the job; its result finds nobody to deliver to
    pumpFor();
    EXPECT_TRUE(filesIn(temporary.root().string()).empty());
}

TEST_F(OpenTest, CtrlOAndCtrlSThroughTheWindowReachTheMainComponent) {
    open(test::writeKit(files.path("kit.zem")));
    ASSERT_NE(main->overlay(), nullptr);
    main->addToDesktop(0);
    main->setVisible(true);
    main->overlay()->grabKeyboardFocus();
    pumpUntil([&] { return main->overlay()->hasKeyboardFocus(false); }, 1000);
    requests.clear();
    answer = juce::File();
    auto* peer = main->getPeer();
    ASSERT_NE(peer, nullptr);
    EXPECT_TRUE(peer->handleKeyPress(juce::KeyPress('o', juce::ModifierKeys::ctrlModifier, 0)));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Open zem");
    EXPECT_EQ(requests[0].start, juce::File(files.path("kit.zem")));
    EXPECT_TRUE(peer->handleKeyPress(juce::KeyPress('s', juce::ModifierKeys::ctrlModifier, 0)));
    main->removeFromDesktop();
}

TEST_F(OpenTest, ResetReadsTheFileAgain) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    // A new overlay may take the old one's address: the old one is marked.
    main->overlay()->getProperties().set("replaced", true);
    auto* reset = overlayButton(*main->overlay(), "RESET");
    ASSERT_NE(reset, nullptr);
    reset->onClick();
    ASSERT_TRUE(pumpUntil([&] { return !main->overlay()->getProperties().contains("replaced") && !main->isBusy(); },
                          20000));
    EXPECT_EQ(main->overlay()->document().liveSampleCount, 12u);
    EXPECT_EQ(access().status(), "kit.zem");
    const std::vector<std::string> one{access().workingCopy().getFullPathName().toStdString()};
    EXPECT_EQ(settledFilesIn(temporary.root().string(), one), one);
}

TEST_F(OpenTest, ResetOfADeletedFileKeepsEverySamplesAudio) {
    struct Case {
        std::string name;
        bool legacy;
    };
    const Case cases[] = {{"kit.zem", false}, {"old.zem", true}};
    for (const auto& c : cases) {
        const auto path = c.legacy ? files.write(c.name, zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)))
                                   : test::writeKit(files.path(c.name));
        open(path);
        ASSERT_NE(main->overlay(), nullptr) << c.name;
        const auto copy = access().workingCopy();
        const auto samples = main->overlay()->document().liveSampleCount;
        ASSERT_GT(samples, 0u) << c.name;
        std::filesystem::remove(path);

        main->overlay()->getProperties().set("replaced", true);
        overlayButton(*main->overlay(), "RESET")->onClick();
        ASSERT_TRUE(pumpUntil([&] { return !main->overlay()->getProperties().contains("replaced"); })) << c.name;
        auto* after = main->overlay();
        EXPECT_FALSE(main->isBusy()) << c.name;
        EXPECT_EQ(after->deps.filePath, copy.getFullPathName().toStdString()) << c.name;
        EXPECT_EQ(after->deps.model != nullptr, c.legacy) << c.name;
        EXPECT_EQ(after->viewModel.openState, 1) << c.name;
        EXPECT_EQ(after->document().liveSampleCount, samples) << c.name;
        ASSERT_NE(after->viewModel.activeSource(), nullptr) << c.name;
        const auto audio = fmt::loadSampleForEdit(after->deps.filePath, fmt::SampleSelector{-1, 1},
                                                  fmt::kEditingBudgetBytes, fmt::SampleLoadMode::PlaybackRegion);
        ASSERT_TRUE(audio.ok()) << c.name << ": " << audio.message();
        EXPECT_FALSE(audio.value().samples.empty()) << c.name;
    }
}

TEST_F(OpenTest, ANewFileResetsFromTheModelAlone) {
    auto model = std::make_shared<fmt::Zem6Model>();
    {
        test::SampleFileBuilder builder;
        *model = test::kitModel(builder, 2, 3, "Fresh");
    }
    main->mount(juce::File(), model);
    ASSERT_NE(main->overlay(), nullptr);
    EXPECT_EQ(main->overlay()->document().name, "Fresh");
    EXPECT_EQ(main->overlay()->document().bandCount(), 3u);
    EXPECT_TRUE(main->overlay()->deps.filePath.empty());
}

TEST_F(OpenTest, AuditionAndPlayheadThroughTheAudioDevice) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    ASSERT_NE(main->overlay(), nullptr);
    auto& deps = main->overlay()->deps;
    auto* device = test::fakeDevice(main->audition().deviceManager());
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(deps.playhead);
    auto head = deps.playhead();
    EXPECT_EQ(head.playing, 0);
    EXPECT_EQ(head.position, 0);

    deps.auditionFile(deps.filePath, 1);
    device->render(512);
    EXPECT_TRUE(std::any_of(device->left.begin(), device->left.end(), [](float v) { return v != 0.0f; }));
    head = deps.playhead();
    EXPECT_EQ(head.playing, 1);
    EXPECT_EQ(head.length, 2000);  // the fixture's 2000 frames at 44100 Hz
    EXPECT_NEAR(head.position, 512, 8);  // the transport reads a few frames ahead

    // A position past the last sample plays nothing and says nothing.
    device->left.clear();
    main->audition().stop();
    deps.auditionFile(deps.filePath, 99);
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace vt6::maker
