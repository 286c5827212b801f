#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "editor/logic/audio_fixture.hpp"
#include "editor/logic/save_writers.hpp"
#include "format/reader.hpp"
#include "platform/make_directory.hpp"
#include "platform/unique_temp_file.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::ErrorCode;
using test::OpenedFile;
using vt6::test::SampleRecipe;

fmt::Bytes bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return fmt::Bytes(std::istreambuf_iterator<char>(in), {});
}

uint64_t addHit(ZemEditViewModel& vm, const char* name = "new") {
    return vm.addSampleFromPcm(name, test::hitSignal(1, 200, 0.5f), 1, 48000, 0.1, 0, 0, -1, HitLevel::unmeasured(),
                               false);
}

// Undo copies go into the test's own folder.
struct TempFolderScope {
    explicit TempFolderScope(const std::string& dir) { setenv("TMPDIR", dir.c_str(), 1); }
    ~TempFolderScope() { unsetenv("TMPDIR"); }
};

std::vector<std::string> undoCopies(const std::string& dir) {
    std::vector<std::string> out;
    // The program's lock file lives beside them for as long as it runs.
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("zem", 0) == 0 && e.path().extension() != ".lock")
            out.push_back(e.path().string());
    return out;
}

// Every written file opens and its samples read.
void expectLoads(const std::string& path, size_t samples, const std::string& what) {
    ZemEditViewModel reader;
    ASSERT_TRUE(reader.openFile(path, fmt::ReadPolicy{})) << what << ": " << reader.status.text;
    EXPECT_EQ(reader.document.liveSampleCount, samples) << what;
    for (const auto& row : reader.fileSource->model().samples)
        EXPECT_TRUE(reader.sampleAudio(row.uid).ok()) << what << ": uid " << row.uid;
}

struct BranchCase {
    const char* what;
    std::function<void(OpenedFile&)> edit;
    std::string name;
    bool expectRetained;
    bool expectReopened;  // fileSource now over the written file
    size_t expectSamples;
};

TEST(OwnSave, BranchesOverAnOpenedFile) {
    const std::vector<BranchCase> cases = {
        {"no change, no name: source replaced, not reopened", [](OpenedFile&) {}, "", false, false, 2},
        {"sample added: reopened", [](OpenedFile& f) { ASSERT_NE(addHit(*f.vm), 0u); }, "", false, true, 3},
        {"sample removed: retained copy", [](OpenedFile& f) { ASSERT_TRUE(test::removeSample(f.vm->document, f.uid(1))); },
         "", true, false, 1},
        {"named save beside the source", [](OpenedFile&) {}, "Mine", false, false, 2},
    };
    for (const auto& c : cases) {
        OpenedFile f({SampleRecipe{.seed = 1}, SampleRecipe{.seed = 2}});
        TempFolderScope tmp(f.dir.path(""));
        c.edit(f);
        const FileDataSource* before = f.vm->fileSource.get();
        const auto outcome = f.vm->save("/unused", c.name);
        ASSERT_TRUE(outcome.ok()) << c.what << ": " << outcome.message();
        const std::string expectedPath = c.name.empty() ? f.path : f.dir.path(c.name + ".zem");
        EXPECT_EQ(outcome->path, expectedPath) << c.what;
        expectLoads(outcome->path, c.expectSamples, c.what);
        EXPECT_EQ(!f.vm->undoSourcePath.empty(), c.expectRetained) << c.what;
        EXPECT_FALSE(f.vm->document.dirty()) << c.what;
        if (c.expectRetained) {
            EXPECT_EQ(f.vm->fileSource->path(), f.vm->undoSourcePath) << c.what;
            EXPECT_EQ(f.vm->destinationPath, outcome->path) << c.what;
            EXPECT_EQ(f.vm->destinationKind, 3) << c.what;
            // Undo reaches past the save: the removed sample reads from the copy.
            ASSERT_TRUE(test::undo(f.vm->document)) << c.what;
            EXPECT_TRUE(f.vm->sampleAudio(f.uid(1)).ok()) << c.what;
            const auto again = f.vm->save("/unused", "");
            ASSERT_TRUE(again.ok()) << c.what << ": " << again.message();
            expectLoads(f.path, 2, c.what);
        } else if (c.expectReopened) {
            EXPECT_EQ(f.vm->fileSource->path(), outcome->path) << c.what;
            EXPECT_TRUE(f.vm->addedPayloads.empty()) << c.what;
        } else {
            EXPECT_EQ(f.vm->fileSource.get(), before) << c.what;
        }
        // The document still reaches every sample's audio.
        for (const auto& s : f.vm->document.samples)
            if (f.vm->document.sampleByUid(s.uid) != nullptr) {
                EXPECT_TRUE(f.vm->sampleAudio(s.uid).ok()) << c.what << ": uid " << s.uid;
            }
        // The undo copy goes with the document.
        f.vm->closeSource();
        EXPECT_TRUE(undoCopies(f.dir.path("")).empty()) << c.what;
    }
}

struct RefusalCase {
    const char* what;
    std::function<void(ZemEditViewModel&, const std::string& dir)> setUp;
    std::function<fmt::Result<SaveOutcome>(ZemEditViewModel&, const std::string& dir)> call;
    ErrorCode code;
    std::string text;  // "@" stands for the test folder
};

TEST(OwnSave, RefusalsWriteNothing) {
    const auto none = [](ZemEditViewModel&, const std::string&) {};
    const auto newWithSample = [](ZemEditViewModel& vm, const std::string&) {
        vm.newDocument();
        ASSERT_NE(addHit(vm), 0u);
    };
    const std::vector<RefusalCase> cases = {
        {"nothing open", none, [](ZemEditViewModel& vm, const std::string& d) { return vm.saveNow(d, ""); },
         ErrorCode::ModelInvalid, "nothing to save"},
        {"no live sample",
         [](ZemEditViewModel& vm, const std::string&) { vm.newDocument(); },
         [](ZemEditViewModel& vm, const std::string& d) { return vm.save(d, "Kit"); }, ErrorCode::ModelInvalid,
         "Import samples before saving the zem."},
        {"save as without folder", newWithSample,
         [](ZemEditViewModel& vm, const std::string&) { return vm.saveAs("Kit.zem"); }, ErrorCode::ModelInvalid,
         "no destination"},
        {"save as to a folder", newWithSample,
         [](ZemEditViewModel& vm, const std::string& d) { return vm.saveAs(d + "/"); }, ErrorCode::ModelInvalid,
         "no destination"},
        {"two missing folder levels", newWithSample,
         [](ZemEditViewModel& vm, const std::string& d) { return vm.writeNew(d + "/new/deeper", ""); },
         ErrorCode::WriteIo, "cannot create '@/new/deeper'"},
        {"empty folder", newWithSample,
         [](ZemEditViewModel& vm, const std::string&) { return vm.writeNew("", ""); }, ErrorCode::WriteIo,
         "cannot create ''"},
        {"folder creation refused", newWithSample,
         [](ZemEditViewModel& vm, const std::string& d) {
             platform::setMakeDirectoryFailsForTesting(true);
             auto r = vm.writeNew(d + "/new", "");
             platform::setMakeDirectoryFailsForTesting(false);
             return r;
         },
         ErrorCode::WriteIo, "cannot create '@/new'"},
        {"added sample without audio",
         [](ZemEditViewModel& vm, const std::string&) {
             vm.newDocument();
             ASSERT_NE(addHit(vm), 0u);
             vm.addedPayloads.clear();
             vm.audioVersions.clear();
         },
         [](ZemEditViewModel& vm, const std::string& d) { return vm.writeNew(d, ""); }, ErrorCode::ModelInvalid,
         "sample uid "},
    };
    for (const auto& c : cases) {
        vt6::test::TempDir dir;
        const std::string d = dir.path("").substr(0, dir.path("").size() - 1);
        ZemEditViewModel vm;
        c.setUp(vm, d);
        const auto outcome = c.call(vm, d);
        ASSERT_FALSE(outcome.ok()) << c.what;
        EXPECT_EQ(outcome.code(), c.code) << c.what;
        std::string text = c.text;
        if (const size_t at = text.find('@'); at != std::string::npos) text.replace(at, 1, d);
        EXPECT_EQ(outcome.message().rfind(text, 0), 0u) << c.what << ": " << outcome.message();
        EXPECT_TRUE(std::filesystem::is_empty(d)) << c.what;
    }
}

TEST(OwnSave, NewDocumentNamesAndBinding) {
    struct Case {
        const char* what;
        std::string documentName;
        std::string name;
        std::string expectedFile;
    };
    const std::vector<Case> cases = {
        {"no names: Untitled", "", "", "Untitled.zem"},
        {"document name", "Brush", "", "Brush.zem"},
        {"given name wins", "Brush", "Mine", "Mine.zem"},
    };
    for (const auto& c : cases) {
        vt6::test::TempDir dir;
        ZemEditViewModel vm;
        vm.newDocument();
        vm.document.name = c.documentName;
        ASSERT_NE(addHit(vm), 0u);
        const auto outcome = vm.writeNew(dir.path("sub"), c.name);
        ASSERT_TRUE(outcome.ok()) << c.what << ": " << outcome.message();
        EXPECT_EQ(outcome->path, dir.path("sub/" + c.expectedFile)) << c.what;
        EXPECT_TRUE(outcome->writtenAsNew) << c.what;
        expectLoads(outcome->path, 1, c.what);
        // Bound or left pending, the document still reaches its audio.
        if (vm.writtenAsNewPending) {
            EXPECT_EQ(vm.destinationPath, outcome->path) << c.what;
            EXPECT_FALSE(vm.addedPayloads.empty()) << c.what;
        } else {
            ASSERT_NE(vm.fileSource, nullptr) << c.what;
            EXPECT_EQ(vm.fileSource->path(), outcome->path) << c.what;
        }
        for (const auto& s : vm.document.samples) EXPECT_TRUE(vm.sampleAudio(s.uid).ok()) << c.what;
    }
}

TEST(OwnSave, UndoCopyFailureLeavesViewModelAsItWas) {
    OpenedFile f({SampleRecipe{.seed = 1}, SampleRecipe{.seed = 2}});
    TempFolderScope tmp(f.dir.path(""));
    ASSERT_TRUE(test::removeSample(f.vm->document, f.uid(0)));
    const fmt::Bytes before = bytesOf(f.path);
    platform::setUniqueTempFileFailsForTesting(true);
    const auto outcome = f.vm->save("/unused", "");
    platform::setUniqueTempFileFailsForTesting(false);
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.code(), ErrorCode::WriteIo);
    EXPECT_EQ(outcome.message(), "Cannot create the editor's undo file");
    EXPECT_EQ(f.vm->fileSource->path(), f.path);
    EXPECT_TRUE(f.vm->undoSourcePath.empty());
    EXPECT_TRUE(f.vm->destinationPath.empty());
    EXPECT_EQ(bytesOf(f.path), before);
    EXPECT_TRUE(undoCopies(f.dir.path("")).empty());
}

// A save that rebinds lets go only of the audio it wrote: an added sample
// undone before the save keeps its audio for redo.
TEST(OwnSave, UndoneAddedSampleKeepsItsAudio) {
    OpenedFile f({SampleRecipe{.seed = 1}});
    const uint64_t kept = addHit(*f.vm, "kept");
    const uint64_t undone = addHit(*f.vm, "undone");
    ASSERT_NE(kept, 0u);
    ASSERT_NE(undone, 0u);
    ASSERT_TRUE(test::undo(f.vm->document));
    const auto outcome = f.vm->save("/unused", "");
    ASSERT_TRUE(outcome.ok()) << outcome.message();
    expectLoads(f.path, 2, "saved");
    ASSERT_TRUE(test::redo(f.vm->document));
    EXPECT_TRUE(f.vm->sampleAudio(undone).ok());
    EXPECT_TRUE(f.vm->sampleAudio(kept).ok());
    const auto again = f.vm->save("/unused", "");
    ASSERT_TRUE(again.ok()) << again.message();
    expectLoads(f.path, 3, "saved after redo");
}

TEST(OwnSave, SavedMessage) {
    const std::string tail = "A room sample plays with the direct sample whose name is the same apart from the mic "
                             "label, for example Snare 3 Direct and Snare 3 Room A.";
    EXPECT_EQ(savedMessage({"K1"}), "The zem was saved. This room sample doesn't play yet because no direct sample "
                                    "has a matching name: K1. " + tail);
    EXPECT_EQ(savedMessage({"a", "b"}), "The zem was saved. These room samples don't play yet because no direct "
                                        "sample has a matching name: a, b. " + tail);
    EXPECT_EQ(savedMessage({"1", "2", "3", "4", "5", "6", "7", "8"}),
              "The zem was saved. These room samples don't play yet because no direct sample has a matching name: "
              "1, 2, 3, 4, 5, 6 and 2 more. " + tail);
}

} // namespace
} // namespace vt6::ui::zemedit::logic

namespace vt6::ui::zemedit::logic {
namespace {

// Pruning never leaves a document without a band, a layer or an articulation.
TEST(PruneEmptyGroups, KeepsTheLastOfEach) {
    struct Case {
        const char* what;
        bool keepOneSample;
    };
    const std::vector<Case> cases = {{"no live sample", false}, {"one live sample", true}};
    for (const auto& c : cases) {
        ZemEditViewModel vm;
        vm.newDocument();
        ASSERT_TRUE(vm.document.addLayer("Second")) << c.what;
        const uint64_t uid = addHit(vm);
        ASSERT_NE(uid, 0u) << c.what;
        if (!c.keepOneSample) {
            ASSERT_TRUE(test::removeSample(vm.document, uid)) << c.what;
        }
        vm.document.pruneEmptyGroups();
        EXPECT_EQ(vm.document.bands.size(), 1u) << c.what;
        EXPECT_EQ(vm.document.layers.size(), 1u) << c.what;
        EXPECT_EQ(vm.document.articulations.size(), 1u) << c.what;
        EXPECT_FALSE(vm.document.findEmptyGroups()) << c.what;
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic

namespace vt6::ui::zemedit::logic {
namespace {

// A converted legacy file is never replaced by the current-format file its
// save writes, with or without the undo copy.
TEST(OwnSaveConverted, LegacyFileStaysAndSaveAsWaitsForTheFirstSave) {
    struct Case {
        const char* what;
        bool removeOne;
    };
    const std::vector<Case> cases = {{"plain save", false}, {"after removing a sample", true}};
    for (const auto& c : cases) {
        vt6::test::TempDir dir;
        TempFolderScope tmp(dir.path(""));
        const fmt::Bytes legacyBytes = zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6));
        const std::string legacy = dir.write("Kit.zem", legacyBytes);
        // An old file, as users have them: any copy of it differs in time.
        std::filesystem::last_write_time(legacy, std::filesystem::file_time_type::clock::now() - std::chrono::hours(1));
        auto imported = zem::importLegacyFile(legacy, zem::LegacyImportOptions{});
        ASSERT_TRUE(imported.ok()) << imported.message();
        ZemEditViewModel vm;
        ASSERT_TRUE(vm.openLegacy(std::make_shared<const fmt::Zem6Model>(imported->model), std::string(legacy)));
        const uint64_t live = vm.document.liveSampleCount;
        ASSERT_GT(live, 1u);
        if (c.removeOne) {
            ASSERT_TRUE(test::removeSample(vm.document, vm.document.samples.front().uid)) << c.what;
        }
        const auto early = vm.saveAs(dir.path("Other.zem"));
        ASSERT_FALSE(early.ok()) << c.what;
        EXPECT_EQ(early.message(), "a converted zem saves through SAVE") << c.what;

        const auto outcome = vm.save("/unused", "");
        ASSERT_TRUE(outcome.ok()) << c.what << ": " << outcome.message();
        EXPECT_EQ(outcome->path, dir.path("Kit 2.zem")) << c.what;
        EXPECT_EQ(bytesOf(legacy), legacyBytes) << c.what;
        expectLoads(outcome->path, c.removeOne ? live - 1 : live, c.what);
        // The document keeps reading its stored audio after the save,
        // whichever source it now reads from.
        for (const EditSample& record : vm.document.samples) {
            if (vm.document.sampleByUid(record.uid) == nullptr) continue;
            const auto audio = vm.sampleAudio(record.uid);
            EXPECT_TRUE(audio.ok()) << c.what << ": uid " << record.uid << ": " << audio.message();
        }
        // Bound to the written file, save as works; kept on the undo copy
        // (removed samples or empty groups), it still waits for SAVE.
        const auto later = vm.saveAs(dir.path("Mine.zem"));
        if (vm.undoSourcePath.empty()) {
            ASSERT_NE(vm.fileSource, nullptr) << c.what;
            ASSERT_TRUE(later.ok()) << c.what << ": " << later.message();
            expectLoads(dir.path("Mine.zem"), live, c.what);
        } else {
            EXPECT_EQ(vm.destinationPath, outcome->path) << c.what;
            EXPECT_EQ(later.message(), "a converted zem saves through SAVE") << c.what;
            const auto again = vm.save("/unused", "");
            ASSERT_TRUE(again.ok()) << c.what << ": " << again.message();
            EXPECT_EQ(again->path, outcome->path) << c.what;
        }
        EXPECT_EQ(bytesOf(legacy), legacyBytes) << c.what;
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic

namespace vt6::ui::zemedit::logic {
namespace {

// A save whose written file does not reopen still succeeds; its audio stays
// unsaved in memory so the next save writes it again, and every sample reads.
TEST(OwnSave, FailedReopenKeepsAudioUnsaved) {
    OpenedFile f({SampleRecipe{.seed = 1}, SampleRecipe{.seed = 2}});
    const std::vector<float> edited = test::hitSignal(1, 300, 0.4f);
    ASSERT_TRUE(f.vm->replaceSampleAudio(f.uid(0), edited, 1, 44100, 0, 0));
    const uint64_t added = addHit(*f.vm);
    setReopenFailsForTesting(true);
    const auto outcome = f.vm->save("/unused", "");
    setReopenFailsForTesting(false);
    ASSERT_TRUE(outcome.ok()) << outcome.message();
    EXPECT_TRUE(f.vm->document.hasPendingAudio());
    for (uint64_t uid : {f.uid(0), f.uid(1), added}) {
        const auto audio = f.vm->sampleAudio(uid);
        EXPECT_TRUE(audio.ok()) << uid << ": " << audio.message();
    }
    const auto again = f.vm->save("/unused", "");
    ASSERT_TRUE(again.ok()) << again.message();
    EXPECT_FALSE(f.vm->document.hasPendingAudio());
    EXPECT_EQ(f.vm->fileSource->path(), f.path);
    expectLoads(f.path, 3, "after the second save");
    const auto audio = f.vm->sampleAudio(f.uid(0));
    ASSERT_TRUE(audio.ok()) << audio.message();
    EXPECT_EQ(audio->samples, edited);
}

} // namespace
} // namespace vt6::ui::zemedit::logic
