// Saving through the real main component: writing over the opened file, the
// files that are never overwritten, and the chooser's start file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "widgets/message_boxes.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/pcma_head.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/user_messages.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"

namespace vt6::maker {
namespace {

using test::pumpUntil;

struct Box {
    juce::String title, message;
};

struct SaveTest : ::testing::Test {
    test::TempDir files;
    std::vector<Box> boxes;
    std::vector<FileChooserRequest> requests;
    juce::File answer;  // what the chooser answers; empty: cancelled
    int boxAnswer = 0;  // 0 closes or takes the last button
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    std::unique_ptr<MainComponent> main;

    void SetUp() override {
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            boxes.push_back({o.getTitle(), o.getMessage()});
            if (done) done(boxAnswer);
        });
        setFileChooserPresenter([this](const FileChooserRequest& r, std::function<void(const juce::File&)> done) {
            requests.push_back(r);
            done(answer);
        });
        main = std::make_unique<MainComponent>();
    }
    void TearDown() override {
        main.reset();
        test::pumpFor(20);
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
    }
    juce::String status() const {
        juce::String text;
        for (auto* child : main->getChildren())
            if (auto* l = dynamic_cast<juce::Label*>(child)) text = l->getText();
        return text;
    }
    void open(const std::string& path) {
        main->openFile(juce::File(juce::String::fromUTF8(path.c_str())));
        ASSERT_TRUE(pumpUntil([&] { return !main->isBusy(); }, 20000));
        ASSERT_TRUE(boxes.empty()) << boxes[0].message;
    }
    void waitForSave() { ASSERT_TRUE(pumpUntil([&] { return !main->isBusy(); }, 20000)); }
};

TEST_F(SaveTest, SaveWritesRawFloatAudioOverTheOpenedFile) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    auto& doc = main->overlay()->document();
    ASSERT_TRUE(doc.renameBand(0, "Softer"));
    ASSERT_TRUE(doc.dirty());
    bool continued = false;
    main->write(juce::File(kit), [&] { continued = true; });
    EXPECT_TRUE(main->isBusy());
    EXPECT_EQ(status(), "Saving and verifying zem...");
    waitForSave();
    ASSERT_TRUE(boxes.empty()) << boxes[0].title << ": " << boxes[0].message;
    EXPECT_EQ(status(), "Saved kit.zem");
    EXPECT_TRUE(continued);
    EXPECT_FALSE(doc.dirty());
    EXPECT_TRUE(main->overlay()->undoManager().canUndo());

    auto reopened = fmt::openZem6File(kit, fmt::ReadPolicy{});
    ASSERT_TRUE(reopened.ok()) << reopened.error().message;
    const fmt::Zem6File& f = reopened.value();
    EXPECT_EQ(f.model.metadata.name, "kit");
    EXPECT_FALSE(f.model.samples.empty());
    for (const fmt::SmplEntry& row : f.model.samples) {
        EXPECT_EQ(row.codec, 0u);
        EXPECT_EQ(row.bits, 32u);
        EXPECT_EQ(row.audt_uid, std::nullopt);
        EXPECT_EQ(row.audi_uid, row.uid);
    }
    for (const fmt::ChunkRecord& r : f.chunks) EXPECT_NE(r.tag, fmt::kTagAUDT);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.root()), {}), 1);
}

TEST_F(SaveTest, ConvertedFilesAreNeverOverwritten) {
    const auto legacy = files.write("old.zem", zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)));
    const auto before = test::TempDir::contents(legacy);
    open(legacy);
    const auto link = files.path("link.zem");
    std::filesystem::create_symlink(legacy, link);
    struct Case {
        const char* name;
        std::string target;
    };
    for (const Case& c : {Case{"its own path", legacy}, Case{"a link to it", link}}) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        main->write(juce::File(juce::String::fromUTF8(c.target.c_str())), {});
        test::pumpFor(20);
        EXPECT_FALSE(main->isBusy());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, "Save a copy");
        EXPECT_EQ(boxes[0].message, "Choose a new filename to preserve the original library.");
        EXPECT_EQ(test::TempDir::contents(legacy), before);
    }

    // SAVE of a converted file asks for a new name beside it.
    main->save(false, {});
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Save zem");
    EXPECT_EQ(requests[0].start, juce::File(legacy).getSiblingFile("old_ZEM6.zem"));
    EXPECT_NE(requests[0].flags & juce::FileBrowserComponent::saveMode, 0);
}

TEST_F(SaveTest, AnExtensionChangeThatHitsAnotherFileAsksFirst) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    const auto other = test::writeKit(files.path("other.zem"), 4, 2, "Other");
    const auto before = test::TempDir::contents(other);
    open(kit);
    struct Case {
        const char* name;
        int button;
        bool written;
    };
    for (const Case& c : {Case{"cancelled", 0, false}, Case{"replaced", 1, true}}) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        boxAnswer = c.button;
        answer = juce::File(juce::String::fromUTF8(files.path("other").c_str()));
        main->save(true, {});
        ASSERT_GE(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, "Replace zem");
        waitForSave();
        EXPECT_EQ(test::TempDir::contents(other) != before, c.written);
    }
}

TEST_F(SaveTest, RefusalsShowWhyAndWriteNothing) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    struct Case {
        const char* name;
        bool newDocument;
        std::string target;
        uint32_t code;
    };
    const Case cases[] = {
        {"a new document without samples", true, files.path("new.zem"), 2},
        {"a folder that does not exist", false, files.path("missing/kit.zem"), 6},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        open(kit);
        if (c.newDocument) main->mount(juce::File(), nullptr);
        const auto before = test::TempDir::contents(kit);
        boxes.clear();
        bool continued = false;
        main->write(juce::File(juce::String::fromUTF8(c.target.c_str())), [&] { continued = true; });
        waitForSave();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, "Cannot save zem");
        EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(saveErrorText(c.code).c_str()));
        EXPECT_FALSE(continued);
        if (!c.newDocument) {
            EXPECT_EQ(status(), "kit.zem");
        }
        EXPECT_FALSE(std::filesystem::exists(c.target));
        EXPECT_EQ(test::TempDir::contents(kit), before);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.root()), {}), 1);
    }
}

TEST_F(SaveTest, ANewDocumentIsSavedAsFromTheDocumentsFolder) {
    main->mount(juce::File(), nullptr);
    main->overlay()->document().name = "My Kit";
    main->save(false, {});
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Save zem");
    EXPECT_EQ(requests[0].start,
              juce::File::getSpecialLocation(juce::File::userDocumentsDirectory).getChildFile("My Kit.zem"));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(SaveTest, ProgressShowsTheShareDoneAndTheKeysReachSaveAs) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    main->write(juce::File(kit), {});
    // The worker may be anywhere in the job; the message thread has not yet
    // heard that it ended, so the count shows.
    main->timerCallback();
    const juce::String text = status();
    EXPECT_TRUE(text.startsWith("Saving and verifying zem... ")) << text;
    EXPECT_TRUE(text.endsWith("%")) << text;
    waitForSave();
    EXPECT_EQ(status(), "Saved kit.zem");

    // Ctrl+Shift+S asks where, starting at the open file.
    requests.clear();
    EXPECT_TRUE(main->keyPressed(juce::KeyPress('S', juce::ModifierKeys::ctrlModifier | juce::ModifierKeys::shiftModifier, 0)));
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Save zem");
    EXPECT_EQ(requests[0].start.getFileName(), "kit.zem");
}

TEST_F(SaveTest, RoomSamplesWithoutADirectMatchAreRefusedWithTheirNotes) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    auto& vm = main->overlay()->viewModel;
    ASSERT_TRUE(vm.document.addRoomChannel());
    const auto room = static_cast<uint32_t>(vm.document.layers.size() - 1);
    ASSERT_NE(vm.addSampleFromPcm("Snare Room A", std::vector<float>(2000, 0.25f), 1, 44100, 0.1, room, 0, 0,
                                  fmt::HitLevel::unmeasured(), false),
              0u);
    const auto before = test::TempDir::contents(kit);
    boxes.clear();
    bool continued = false;
    main->write(juce::File(kit), [&] { continued = true; });
    test::pumpFor(20);
    EXPECT_FALSE(main->isBusy());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Match room samples");
    EXPECT_EQ(boxes[0].message,
              "No unique direct match for Snare Room A\n\nGive each room recording the same name as its direct "
              "recording, apart from the mic label.");
    EXPECT_FALSE(continued);
    EXPECT_TRUE(vm.document.dirty());
    EXPECT_EQ(test::TempDir::contents(kit), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.root()), {}), 1);
}

TEST_F(SaveTest, AWorkingCopyChangedOnDiskIsRefusedWithCode4) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
    const auto* source = main->overlay()->viewModel.activeSource();
    ASSERT_NE(source, nullptr);
    // Another program replaces the file the stored audio is read from.
    ASSERT_FALSE(test::writeKit(source->path(), 12, 4, "Other").empty());
    const auto before = test::TempDir::contents(kit);
    boxes.clear();
    bool continued = false;
    main->write(juce::File(kit), [&] { continued = true; });
    waitForSave();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Cannot save zem");
    EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(saveErrorText(4).c_str()));
    EXPECT_FALSE(continued);
    EXPECT_TRUE(main->overlay()->document().dirty());
    EXPECT_EQ(test::TempDir::contents(kit), before);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(files.root()), {}), 1);
}

} // namespace
} // namespace vt6::maker
