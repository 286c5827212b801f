#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "audio/pcma_head.hpp"
#include "editor/logic/audio_fixture.hpp"
#include "editor/logic/save_writers.hpp"
#include "format/reader.hpp"
#include "platform/replace_file.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::ErrorCode;
using test::OpenedFile;
using vt6::test::SampleRecipe;

std::vector<SampleRecipe> threeSamples() {
    return {SampleRecipe{.seed = 1}, SampleRecipe{.bits = 24, .seed = 2}, SampleRecipe{.channels = 2, .seed = 3}};
}

fmt::Bytes bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return fmt::Bytes(std::istreambuf_iterator<char>(in), {});
}

// Names in the folder that a save must not leave behind.
std::vector<std::string> leftovers(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(folder)) {
        const std::string n = e.path().filename().string();
        if (n.find(".vt6tmp") != std::string::npos || n.find(".physical") != std::string::npos) out.push_back(n);
    }
    return out;
}

// Every sample of the written file reads through a fresh view model, and
// its playback region reads by the row's own description.
void expectEverySampleReads(const std::string& path, const std::string& what) {
    ZemEditViewModel reader;
    ASSERT_TRUE(reader.openFile(path, fmt::ReadPolicy{})) << what << ": " << reader.status.text;
    const auto& rows = reader.fileSource->model().samples;
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto audio = reader.sampleAudio(rows[i].uid);
        ASSERT_TRUE(audio.ok()) << what << ": uid " << rows[i].uid << ": " << audio.message();
        const auto region = fmt::loadSampleForEdit(path, {-1, static_cast<int32_t>(i + 1)}, fmt::kEditingBudgetBytes,
                                                   fmt::SampleLoadMode::PlaybackRegion);
        ASSERT_TRUE(region.ok()) << what << ": uid " << rows[i].uid << ": " << region.message();
        EXPECT_EQ(region->samples, audio->samples) << what << ": uid " << rows[i].uid;
        // The row describes the payload written for it.
        const fmt::ChunkRecord* chunk = reader.fileSource->file().findEntry(fmt::kTagAUDI, rows[i].audi_uid);
        ASSERT_NE(chunk, nullptr) << what;
        const auto payload = reader.fileSource->file().readChunk(*chunk);
        ASSERT_TRUE(payload.ok()) << what;
        const auto head = fmt::parsePcmaHead(*payload);
        ASSERT_TRUE(head.ok()) << what;
        EXPECT_EQ(rows[i].bits.value_or(0), head->bits) << what << ": uid " << rows[i].uid;
        EXPECT_EQ(rows[i].channels, head->channels) << what << ": uid " << rows[i].uid;
    }
}

fmt::Result<SaveOutcome> saveTo(OpenedFile& f, const SaveDestination& d, const std::string& name = "") {
    return saveEdited(f.vm->document, *f.vm->fileSource, d, f.vm->addedPcmForSave(), name);
}

struct EditCase {
    const char* what;
    std::function<void(OpenedFile&)> edit;
    std::vector<size_t> keptSamples;  // indexes into the built samples
    size_t addedSamples;
};

TEST(SaveEdited, WrittenFileHoldsTheEditedDocument) {
    const std::vector<EditCase> cases = {
        {"nothing changed but a band name", [](OpenedFile& f) { ASSERT_TRUE(f.vm->document.renameBand(0, "Soft")); },
         {0, 1, 2}, 0},
        {"one sample removed", [](OpenedFile& f) { ASSERT_TRUE(test::removeSample(f.vm->document, f.uid(1))); },
         {0, 2}, 0},
        {"one sample's audio replaced",
         [](OpenedFile& f) { ASSERT_TRUE(f.vm->replaceSampleAudio(f.uid(0), test::hitSignal(1, 300, 0.4f), 1, 44100, 0, 0)); },
         {0, 1, 2}, 0},
        {"one sample added",
         [](OpenedFile& f) {
             ASSERT_NE(f.vm->addSampleFromPcm("new", test::hitSignal(1, 200, 0.5f), 1, 48000, 0.1, 0, 0, -1,
                                              HitLevel::unmeasured(), false),
                       0u);
         },
         {0, 1, 2}, 1},
    };
    for (const auto& c : cases) {
        OpenedFile f(threeSamples());
        c.edit(f);
        const std::string out = f.dir.path("out.zem");
        const auto outcome = saveTo(f, {out, false});
        ASSERT_TRUE(outcome.ok()) << c.what << ": " << outcome.message();
        EXPECT_EQ(outcome->path, out) << c.what;
        auto file = fmt::openZem6File(out, fmt::ReadPolicy{});
        ASSERT_TRUE(file.ok()) << c.what;
        ASSERT_EQ(file->model.samples.size(), c.keptSamples.size() + c.addedSamples) << c.what;
        const auto audio = collectAudioUids(file->model);
        size_t audioChunks = 0;
        for (const auto& chunk : file->chunks) {
            if (chunk.tag != fmt::kTagAUDI && chunk.tag != fmt::kTagAUDT) continue;
            ++audioChunks;
            EXPECT_EQ(audio.count(chunk.uid), 1u) << c.what << ": stray audio chunk " << chunk.uid;
        }
        EXPECT_EQ(audioChunks, audio.size()) << c.what;
        for (size_t i : c.keptSamples) EXPECT_EQ(collectModelUids(file->model).count(f.uid(i)), 1u) << c.what;
        expectEverySampleReads(out, c.what);
        EXPECT_TRUE(leftovers(f.dir.path("")).empty()) << c.what;
    }
}

TEST(SaveEdited, NameAndCertificate) {
    struct Case {
        const char* what;
        bool asNew;
        std::string name;
        bool expectCertificate;
        std::string expectName;
    };
    const std::vector<Case> cases = {
        {"plain overwrite keeps the certificate pair", false, "", true, ""},
        {"as new drops it", true, "", false, ""},
        {"a name becomes the library name", true, "Mine", false, "Mine"},
    };
    for (const auto& c : cases) {
        vt6::test::TempDir dir;
        const auto builder = test::hashedBuilder(threeSamples());
        fmt::Zem6Model model = builder.model();
        model.metadata.extensions.push_back({fmt::kPublisherCertMtadKey, {0x01}});
        model.metadata.extensions.push_back({90, {0x02}});
        const std::string src = dir.path("src.zem");
        ASSERT_TRUE(fmt::writeZem6File(src, model, builder.payloads()).ok());
        ZemEditViewModel vm;
        ASSERT_TRUE(vm.openFile(src, fmt::ReadPolicy{})) << vm.status.text;
        const std::string out = dir.path("out.zem");
        const auto outcome = saveEdited(vm.document, *vm.fileSource, {out, c.asNew}, {}, c.name);
        ASSERT_TRUE(outcome.ok()) << c.what << ": " << outcome.message();
        EXPECT_EQ(outcome->writtenAsNew, c.asNew) << c.what;
        auto file = fmt::openZem6File(out, fmt::ReadPolicy{});
        ASSERT_TRUE(file.ok()) << c.what;
        bool cert = false, other = false;
        for (const auto& p : file->model.metadata.extensions) {
            cert = cert || p.key == fmt::kPublisherCertMtadKey;
            other = other || p.key == 90;
        }
        EXPECT_EQ(cert, c.expectCertificate) << c.what;
        EXPECT_TRUE(other) << c.what;
        if (!c.expectName.empty()) {
            EXPECT_EQ(file->model.metadata.name.value_or(""), c.expectName) << c.what;
        }
    }
}

// Failure injection: each step of the save fails in turn.
SaveStep failingStep;
bool corruptInstead = false;
fmt::Result<fmt::Unit> failAt(SaveStep step, const std::string& temporary) {
    if (step != failingStep) return {};
    if (corruptInstead) {
        std::filesystem::resize_file(temporary, 64);
        return {};
    }
    return fmt::fail(ErrorCode::WriteIo, "forced failure");
}
// Refuses only the final rename onto the destination, not the analysis
// pass's own rename onto the temporary file.
int failRename(const char* from, const char* to) {
    const std::string target(to);
    if (target.size() >= 7 && target.compare(target.size() - 7, 7, ".vt6tmp") == 0) return ::rename(from, to);
    errno = EACCES;
    return -1;
}

struct FailureCase {
    const char* what;
    std::function<void()> arm;
    ErrorCode code;
    std::string text;  // prefix of the message
};

TEST(SaveEdited, FailureLeavesDestinationAndNoTemporaries) {
    const std::vector<FailureCase> cases = {
        {"after the write", [] { failingStep = SaveStep::Written; corruptInstead = false; setSaveStepHookForTesting(failAt); },
         ErrorCode::WriteIo, "forced failure"},
        {"after the analysis", [] { failingStep = SaveStep::Analysed; corruptInstead = false; setSaveStepHookForTesting(failAt); },
         ErrorCode::WriteIo, "forced failure"},
        {"after the verify", [] { failingStep = SaveStep::Verified; corruptInstead = false; setSaveStepHookForTesting(failAt); },
         ErrorCode::WriteIo, "forced failure"},
        {"written file does not reopen", [] { failingStep = SaveStep::Analysed; corruptInstead = true; setSaveStepHookForTesting(failAt); },
         ErrorCode::ReadIo, ""},
        {"rename refused", [] { platform::setRenameCallForTesting(failRename); }, ErrorCode::WriteIo, "rename to '"},
    };
    for (const auto& c : cases) {
        for (bool gather : {false, true}) {
            OpenedFile f(threeSamples());
            if (gather) {
                ASSERT_TRUE(test::removeSample(f.vm->document, f.uid(2)));
            }
            const fmt::Bytes before = bytesOf(f.path);
            c.arm();
            const auto outcome = saveTo(f, {f.path, false});
            setSaveStepHookForTesting(nullptr);
            corruptInstead = false;
            platform::setRenameCallForTesting(nullptr);
            ASSERT_FALSE(outcome.ok()) << c.what;
            if (c.code != ErrorCode::ReadIo) {
                EXPECT_EQ(outcome.code(), c.code) << c.what;
            }
            EXPECT_EQ(outcome.message().rfind(c.text, 0), 0u) << c.what << ": " << outcome.message();
            EXPECT_FALSE(outcome.message().empty()) << c.what;
            EXPECT_EQ(bytesOf(f.path), before) << c.what;
            EXPECT_EQ(leftovers(f.dir.path("")), std::vector<std::string>{}) << c.what;
        }
    }
}

// A link at the destination stays and the file it names is replaced; a pipe
// there is refused before anything is written.
TEST(SaveEdited, ALinkStaysAndAPipeIsRefused) {
    namespace fs = std::filesystem;
    OpenedFile f(threeSamples());
    ASSERT_TRUE(test::removeSample(f.vm->document, f.uid(2)));
    const std::string alias = f.dir.path("alias.zem");
    fs::create_symlink(f.path, alias);
    const fmt::Bytes before = bytesOf(f.path);
    const auto outcome = saveTo(f, {alias, false});
    ASSERT_TRUE(outcome.ok()) << outcome.message();
    EXPECT_TRUE(fs::is_symlink(alias));
    EXPECT_NE(bytesOf(f.path), before);
    expectEverySampleReads(alias, "through the link");
    EXPECT_EQ(leftovers(f.dir.path("")), std::vector<std::string>{});

    const std::string pipe = f.dir.path("pipe.zem");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const auto refused = saveTo(f, {pipe, false});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.code(), ErrorCode::WriteIo);
    EXPECT_NE(refused.message().find("it is a named pipe, not a regular file"), std::string::npos)
        << refused.message();
    EXPECT_TRUE(fs::is_fifo(pipe));
    EXPECT_EQ(leftovers(f.dir.path("")), std::vector<std::string>{});
}

TEST(SaveEdited, MissingAudioFailsBeforeAnythingIsWritten) {
    struct Case {
        const char* what;
        std::function<uint64_t(OpenedFile&)> edit;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"added", [](OpenedFile& f) {
             return f.vm->addSampleFromPcm("new", test::hitSignal(1, 200, 0.5f), 1, 48000, 0.1, 0, 0, -1,
                                           HitLevel::unmeasured(), false);
         },
         " has no audio payload - FROM TRACK capture is not available yet"},
        {"edited", [](OpenedFile& f) {
             EXPECT_TRUE(f.vm->replaceSampleAudio(f.uid(1), test::hitSignal(1, 300, 0.4f), 1, 44100, 0, 0));
             return f.uid(1);
         },
         " has no audio payload"},
    };
    for (const auto& c : cases) {
        OpenedFile f(threeSamples());
        const uint64_t uid = c.edit(f);
        const std::string out = f.dir.path("out.zem");
        const auto outcome = saveEdited(f.vm->document, *f.vm->fileSource, {out, false}, {}, "");
        ASSERT_FALSE(outcome.ok()) << c.what;
        EXPECT_EQ(outcome.code(), ErrorCode::ModelInvalid) << c.what;
        EXPECT_EQ(outcome.message(), std::string(c.what) + " sample uid " + std::to_string(uid) + c.text);
        EXPECT_FALSE(std::filesystem::exists(out)) << c.what;
        EXPECT_FALSE(std::filesystem::exists(out + ".vt6tmp")) << c.what;
    }
}

// Undo past a saved audio edit, then save: the row must describe the payload
// that is written for it, or the sample no longer reads.
TEST(SaveEdited, UndoPastSavedAudioEditStillReads) {
    OpenedFile f({SampleRecipe{.bits = 16, .seed = 4}, SampleRecipe{.bits = 24, .seed = 5}});
    for (size_t i : {size_t{0}, size_t{1}}) {
        ASSERT_TRUE(f.vm->replaceSampleAudio(f.uid(i), test::hitSignal(1, 300, 0.4f), 1, 44100, 0, 0));
    }
    ASSERT_TRUE(saveInPlace(f.vm->document, *f.vm->fileSource, "", f.vm->addedPcmForSave(), "").ok());
    f.vm->document.acceptAudioRevisions();
    ASSERT_TRUE(test::undo(f.vm->document));
    ASSERT_TRUE(test::undo(f.vm->document));
    const std::string second = f.dir.path("second.zem");
    const auto outcome = saveTo(f, {second, false});
    ASSERT_TRUE(outcome.ok()) << outcome.message();
    expectEverySampleReads(second, "after undo");
    ZemEditViewModel reader;
    ASSERT_TRUE(reader.openFile(second, fmt::ReadPolicy{}));
    for (size_t i : {size_t{0}, size_t{1}}) {
        const auto audio = reader.sampleAudio(f.uid(i));
        ASSERT_TRUE(audio.ok()) << audio.message();
        const std::vector<float> original = test::storedFloats(f.builder.samples[i]);
        ASSERT_EQ(audio->samples.size(), original.size());
        for (size_t k = 0; k < original.size(); k += 97) EXPECT_NEAR(audio->samples[k], original[k], 1e-6);
    }
}

} // namespace
} // namespace vt6::ui::zemedit::logic
