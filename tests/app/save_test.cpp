// Saving through the real main component: writing over the opened file, the
// files that are never overwritten, and the chooser's start file.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include <sys/stat.h>

#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "widgets/message_boxes.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/pcma_head.hpp"
#include "audio/sample_file_builder.hpp"
#include "format/checksum.hpp"
#include "format/writer.hpp"
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
    juce::StringArray buttons;
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
            juce::StringArray buttons;
            for (int i = 0; i < o.getNumButtons(); ++i) buttons.add(o.getButtonText(i));
            boxes.push_back({o.getTitle(), o.getMessage(), buttons});
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
        // What the importer repaired in a legacy fixture is news, not a failure.
        std::erase_if(boxes, [](const Box& b) { return b.title == "Converted zem"; });
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

// "Saved kit.zem" holds only while the document is as saved: the next edit
// takes it off the status line.
TEST_F(SaveTest, SavedStatusGoesWithTheNextEdit) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    auto& doc = main->overlay()->document();
    ASSERT_TRUE(doc.renameBand(0, "Softer"));
    main->write(juce::File(kit), {});
    waitForSave();
    ASSERT_TRUE(boxes.empty()) << boxes[0].title << ": " << boxes[0].message;
    test::pumpFor(100);
    EXPECT_EQ(status(), "Saved kit.zem");

    ASSERT_TRUE(doc.renameBand(1, "Harder"));
    main->overlay()->refreshAfterCommand();
    ASSERT_TRUE(doc.dirty());
    EXPECT_TRUE(pumpUntil([&] { return status() == "kit.zem"; }, 2000)) << status();
    // Saved again, it says so again.
    main->write(juce::File(kit), {});
    waitForSave();
    test::pumpFor(100);
    EXPECT_EQ(status(), "Saved kit.zem");
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

// A legacy file cut short: SAVE AS writes each sample with the frames the
// file held, never the missing rest as silence at its declared length.
TEST_F(SaveTest, ACutOffLegacyFileIsSavedWithTheAudioItHolds) {
    zem::testing::BuilderFile desc;
    desc.version = 5;
    desc.dynamics = {0.5f};
    zem::testing::BuilderSample whole;
    whole.length = 3000;
    zem::testing::BuilderSample cut = whole;
    cut.length = 1 << 24;  // 32 MiB declared, 1000 values held
    desc.samples = {whole, cut};
    desc.samples[1].pcm = zem::testing::patternPcm(16, 1000);
    fmt::Bytes bytes = zem::testing::buildLegacyFile(desc);
    const auto legacy = files.write("cut.zem", bytes);
    open(legacy);
    const auto target = files.path("cut_ZEM6.zem");
    main->write(juce::File(juce::String::fromUTF8(target.c_str())), {});
    waitForSave();
    ASSERT_TRUE(boxes.empty()) << boxes[0].message;
    auto written = fmt::openZem6File(target, fmt::ReadPolicy{});
    ASSERT_TRUE(written.ok()) << written.message();
    std::vector<uint64_t> frames;
    for (const auto& row : written.value().model.samples) frames.push_back(row.frames.value_or(0));
    EXPECT_EQ(frames, (std::vector<uint64_t>{3000, 1000}));
    EXPECT_LT(std::filesystem::file_size(target), 1u << 20);
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
        EXPECT_EQ(boxes[0].message, "other.zem already exists. Replace it?");
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

// The first save of a new zem proposes Documents when there is one, else the
// home folder (a fresh account has no Documents), and accepting it saves.
TEST_F(SaveTest, ANewDocumentIsSavedAsFromTheDocumentsFolder) {
    const char* const oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    struct Case {
        const char* name;
        bool hasDocuments;
        bool goneBeforeAccepting;  // the proposed folder is removed while the chooser is open
    };
    for (const Case& c : {Case{"fresh account", false, false}, Case{"with Documents", true, false},
                          Case{"Documents removed meanwhile", true, true}}) {
        SCOPED_TRACE(c.name);
        test::TempDir home;
        setenv("HOME", home.root().c_str(), 1);
        if (c.hasDocuments) std::filesystem::create_directory(home.root() / "Documents");
        const auto folder = c.hasDocuments ? home.root() / "Documents" : home.root();
        setFileChooserPresenter([&](const FileChooserRequest& r, std::function<void(const juce::File&)> done) {
            requests.push_back(r);
            if (c.goneBeforeAccepting) std::filesystem::remove(folder);
            done(answer);
        });
        requests.clear();
        boxes.clear();
        main = std::make_unique<MainComponent>();  // a zem that never had a file
        main->mount(juce::File(), nullptr);
        auto& vm = main->overlay()->viewModel;
        vm.document.name = "My Kit";
        ASSERT_NE(vm.addSampleFromPcm("Kick", std::vector<float>(2000, 0.25f), 1, 44100, 0.1, 0, 0, 0,
                                      fmt::HitLevel::unmeasured(), false),
                  0u);
        answer = juce::File(juce::String::fromUTF8((folder / "My Kit.zem").c_str()));
        main->save(false, {});
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].title, "Save zem");
        EXPECT_EQ(requests[0].start, answer);
        waitForSave();
        EXPECT_TRUE(boxes.empty()) << boxes[0].message;
        EXPECT_EQ(status(), "Saved My Kit.zem");
        EXPECT_TRUE(fmt::openZem6File((folder / "My Kit.zem").string(), fmt::ReadPolicy{}).ok());
    }
    answer = juce::File();
    if (oldHome != nullptr) {
        setenv("HOME", savedHome.c_str(), 1);
    } else {
        unsetenv("HOME");
    }
}

// A link at the target stays a link and the file it names gets the save; a
// pipe or folder there is refused with a clear text and stays as it was.
TEST_F(SaveTest, ALinkKeepsItsPlaceAndAPipeIsNeverReplaced) {
    namespace fs = std::filesystem;
    fs::create_directory(files.root() / "lib");
    const auto real = test::writeKit(files.path("lib/real.zem"));
    const auto link = files.path("kit.zem");
    fs::create_symlink("lib/real.zem", link);
    open(link);
    ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
    const auto before = test::TempDir::contents(real);
    main->save(false, {});
    waitForSave();
    ASSERT_TRUE(boxes.empty()) << boxes[0].message;
    EXPECT_EQ(status(), "Saved kit.zem");
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_NE(test::TempDir::contents(real), before);
    auto reopened = fmt::openZem6File(real, fmt::ReadPolicy{});
    ASSERT_TRUE(reopened.ok());
    EXPECT_EQ(reopened.value().model.metadata.name, "kit");
    EXPECT_EQ(std::distance(fs::directory_iterator(files.root() / "lib"), {}), 1);

    struct Case {
        const char* name;
        const char* kind;
        std::function<void(const std::string&)> make;
    };
    const Case cases[] = {
        {"pipe", "a named pipe", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
        {"folder", "a folder", [](const std::string& p) { fs::create_directory(p); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto target = files.path(std::string(c.name) + ".zem");
        c.make(target);
        const auto type = fs::symlink_status(target).type();
        boxes.clear();
        main->write(juce::File(juce::String::fromUTF8(target.c_str())), {});
        test::pumpFor(20);
        EXPECT_FALSE(main->isBusy());
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].title, "Cannot save zem");
        EXPECT_EQ(boxes[0].message, juce::String(c.name) + ".zem cannot be replaced: it is " + c.kind +
                                        ", not a regular file. The zem was not saved; choose another name.");
        EXPECT_EQ(status(), "Zem not saved");
        EXPECT_EQ(fs::symlink_status(target).type(), type);
    }
}

// SAVE over a file that another program replaced since it was opened, or
// since it was last saved, asks first; an unchanged file is saved at once.
TEST_F(SaveTest, AFileChangedOnDiskSinceItWasOpenedAsksBeforeItIsReplaced) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    struct Case {
        const char* name;
        bool changed;
        int button;  // 1 Replace, 0 Cancel
        bool written;
    };
    for (const Case& c : {Case{"unchanged", false, 0, true}, Case{"changed, cancelled", true, 0, false},
                          Case{"changed, replaced", true, 1, true}, Case{"now a pipe", true, 1, false}}) {
        SCOPED_TRACE(c.name);
        test::writeKit(kit);
        boxes.clear();
        open(kit);
        ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
        const bool pipe = std::string(c.name) == "now a pipe";
        if (pipe) {
            std::filesystem::remove(kit);
            ASSERT_EQ(::mkfifo(kit.c_str(), 0600), 0);
        } else if (c.changed) {
            ASSERT_FALSE(test::writeKit(kit, 8, 2, "Other").empty());
        }
        const auto before = pipe ? fmt::Bytes{} : test::TempDir::contents(kit);
        boxAnswer = c.button;
        main->save(false, {});
        waitForSave();
        if (pipe) {
            // Refused at once: no question about replacing what cannot be.
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].title, "Cannot save zem");
            EXPECT_TRUE(std::filesystem::is_fifo(kit));
            std::filesystem::remove(kit);
            continue;
        }
        if (c.changed) {
            ASSERT_GE(boxes.size(), 1u);
            EXPECT_EQ(boxes[0].title, "Replace zem");
            // Not the ordinary overwrite question: the user saves their own
            // file, and Replace throws away what the other program wrote.
            EXPECT_EQ(boxes[0].message,
                      "kit.zem changed on disk since it was opened. Replacing it discards those changes. Replace it?");
            EXPECT_EQ(boxes[0].buttons, juce::StringArray({"Replace", "Cancel"}));
        } else {
            EXPECT_TRUE(boxes.empty());
        }
        EXPECT_EQ(test::TempDir::contents(kit) != before, c.written);
        if (!c.written) continue;
        // What this save wrote is what the next one compares with.
        boxes.clear();
        ASSERT_TRUE(main->overlay()->document().renameBand(0, "Soft again"));
        main->save(false, {});
        waitForSave();
        EXPECT_TRUE(boxes.empty());
        EXPECT_EQ(status(), "Saved kit.zem");
    }
    boxAnswer = 0;
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
    // Composed on the worker: the refusal comes back when it ends.
    waitForSave();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Match room samples");
    EXPECT_EQ(boxes[0].message,
              "No unique direct match for Snare Room A\n\nThe zem was not saved. Give each room recording the same "
              "name as its direct recording, apart from the mic label, then save again.");
    EXPECT_EQ(status(), "Zem not saved");
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

// Two groups split at 64, "Hit 1" soft and "Hit 2" hard, each a direct
// sample and its Room A sample; "Hit 1 Direct" alone dragged to hard and
// saved: the file puts "Hit 1 Room A" beside its direct sample and drops the
// emptied soft group, and so does the editor, marked saved; Undo takes the
// moves back.
TEST_F(SaveTest, TheEditorShowsTheRoomSampleMovesTheSaveMade) {
    vt6::test::SampleFileBuilder builder;
    for (uint32_t seed = 1; seed <= 4; ++seed) builder.add(vt6::test::SampleRecipe{.frames = 400, .seed = seed});
    fmt::Zem6Model m = builder.model();
    m.metadata.name = std::string("Hits");
    fmt::LayerDef direct;
    direct.id = 1;
    direct.name = std::string("Direct");
    direct.slot = 0;
    direct.level = 1.0;
    fmt::LayerDef room = direct;
    room.id = 2;
    room.name = std::string("Room A");
    room.slot = 1;
    m.metadata.layers = {direct, room};
    fmt::BandDef soft;
    soft.id = 1;
    soft.low = 0.0;
    soft.high = 64 / 127.0;
    fmt::BandDef hard = soft;
    hard.id = 2;
    hard.low = 64 / 127.0;
    hard.high = 1.0;
    m.metadata.dynamics = {soft, hard};
    const char* const names[] = {"Hit 1 Direct", "Hit 1 Room A", "Hit 2 Direct", "Hit 2 Room A"};
    for (size_t i = 0; i < m.samples.size(); ++i) {
        m.samples[i].name = std::string(names[i]);
        m.samples[i].layer = 1 + i % 2;
        m.samples[i].band = 1 + i / 2;
        m.samples[i].plain_hash = fmt::blake2b128(builder.samples[i].pcm);
    }
    const std::string kit = files.path("hits.zem");
    ASSERT_TRUE(fmt::writeZem6File(kit, m, builder.payloads()).ok());
    open(kit);
    auto& doc = main->overlay()->document();
    ASSERT_EQ(doc.velocitySplits, std::vector<int32_t>{64});
    const uint64_t hit1Direct = m.samples[0].uid;
    const uint64_t hit1Room = m.samples[1].uid;
    ASSERT_TRUE(doc.moveSamples(std::vector<uint64_t>{hit1Direct}, 1));
    main->write(juce::File(kit), {});
    waitForSave();
    ASSERT_TRUE(boxes.empty()) << boxes[0].title << ": " << boxes[0].message;
    EXPECT_EQ(status(), "Saved hits.zem");
    EXPECT_FALSE(doc.dirty());
    EXPECT_TRUE(doc.velocitySplits.empty());
    EXPECT_EQ(doc.bands.size(), 1u);
    EXPECT_EQ(doc.sampleByUid(hit1Room)->bandId, doc.sampleByUid(hit1Direct)->bandId);
    auto reopened = fmt::openZem6File(kit, fmt::ReadPolicy{});
    ASSERT_TRUE(reopened.ok()) << reopened.message();
    EXPECT_EQ(reopened.value().model.metadata.dynamics.size(), 1u);

    auto& undo = main->overlay()->undoManager();
    ASSERT_TRUE(undo.undo());
    ASSERT_TRUE(undo.undo());
    EXPECT_EQ(doc.velocitySplits, std::vector<int32_t>{64});
    EXPECT_EQ(doc.bandIndexOf(doc.sampleByUid(hit1Room)->bandId), 0);
    EXPECT_EQ(doc.bandIndexOf(doc.sampleByUid(hit1Direct)->bandId), 1);
    EXPECT_TRUE(doc.dirty());
}

} // namespace
} // namespace vt6::maker
