#include "app/save_job.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <optional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/save_model.hpp"
#include "audio/sample_file_builder.hpp"
#include "audio/sample_load.hpp"
#include "format/checksum.hpp"
#include "editor/logic/view_model.hpp"
#include "editor/logic/compose_fixture.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "platform/replace_file.hpp"
#include "platform/write_file.hpp"

namespace vt6::maker {
namespace {

namespace fs = std::filesystem;
using ui::zemedit::logic::test::kitModel;
using ui::zemedit::logic::test::Opened;

fmt::SampleAudio toneFor(uint64_t uid) {
    fmt::SampleAudio a;
    a.channels = 1;
    a.sampleRate = 48000;
    for (size_t f = 0; f < 2000; ++f) {
        a.samples.push_back(static_cast<float>((f * (uid + 3)) % 50) / 50.0f - 0.5f);
    }
    return a;
}

fmt::Export kitExport() {
    const Opened o(kitModel());
    int code = -1;
    auto r = buildExport(o.doc, o.source, "kit", [](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
        return toneFor(uid);
    }, code);
    EXPECT_TRUE(r.ok()) << r.error().message;
    return r.ok() ? std::move(r).value() : fmt::Export{};
}

std::vector<char> bytesOf(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> folderNames(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class SaveJob : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("save_job_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        target = dir / "kit.zem";
        std::ofstream(target, std::ios::binary) << "old library bytes";
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    fs::path target;
};

TEST_F(SaveJob, SuccessReplacesTheTargetWithTheVerifiedFile) {
    const fmt::Export e = kitExport();
    ASSERT_EQ(writeExportOver(target.string(), e), 0);
    EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
    auto opened = fmt::openZem6File(target.string(), fmt::ReadPolicy{});
    ASSERT_TRUE(opened.ok()) << opened.error().message;
    EXPECT_EQ(opened.value().model.samples.size(), e.model.samples.size());
    bool hasAnalysis = false;
    for (const fmt::ChunkRecord& r : opened.value().chunks) {
        EXPECT_NE(r.tag, fmt::kTagAUDT);
        hasAnalysis = hasAnalysis || r.tag == fmt::kTagPHDM;
    }
    EXPECT_TRUE(hasAnalysis);
    EXPECT_EQ(verifyWrittenFile(target.string(), e), 0);
}

TEST_F(SaveJob, AFailureAfterAnyStepLeavesTheOldFileAndNoLeftovers) {
    struct Case {
        const char* name;
        SaveStep failAfter;
        bool targetReplaced;
    };
    const Case cases[] = {
        {"after writing", SaveStep::written, false},
        {"after the analysis", SaveStep::analysed, false},
        {"after verifying", SaveStep::verified, false},
        {"after replacing", SaveStep::replaced, true},
    };
    const fmt::Export e = kitExport();
    const std::vector<char> old = bytesOf(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(target, std::ios::binary | std::ios::trunc) << "old library bytes";
        std::vector<SaveStep> seen;
        const int code = writeExportOver(target.string(), e, [&](SaveStep s) {
            seen.push_back(s);
            return s != c.failAfter;
        });
        EXPECT_EQ(code, kSaveCannotWrite);
        EXPECT_EQ(seen.back(), c.failAfter);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
        if (c.targetReplaced) {
            EXPECT_EQ(verifyWrittenFile(target.string(), e), 0);
        } else {
            EXPECT_EQ(bytesOf(target), old);
        }
    }
}

TEST_F(SaveJob, IoFaultsGiveTheWriteCode) {
    struct Case {
        const char* name;
        platform::WriteFaultCall call;
        int nth;
    };
    // The writer's own rename, then the analysis pass's rename of its companion.
    const Case cases[] = {
        {"writer sync", platform::WriteFaultCall::Sync, 1},
        {"writer rename", platform::WriteFaultCall::Rename, 1},
        {"analysis rename", platform::WriteFaultCall::Rename, 2},
    };
    const fmt::Export e = kitExport();
    const std::vector<char> old = bytesOf(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        platform::ScopedWriteFault fault(c.call, c.nth, ENOSPC);
        EXPECT_EQ(writeExportOver(target.string(), e), kSaveCannotWrite);
        EXPECT_TRUE(fault.fired());
        EXPECT_EQ(bytesOf(target), old);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
    }
}

int failingRename(const char*, const char*) {
    errno = EBUSY;
    return -1;
}

TEST_F(SaveJob, AFailedRenameIsAFailedSaveNeverACopy) {
    const fmt::Export e = kitExport();
    const std::vector<char> old = bytesOf(target);
    platform::setRenameCallForTesting(&failingRename);
    const int code = writeExportOver(target.string(), e);
    platform::setRenameCallForTesting(nullptr);
    EXPECT_EQ(code, kSaveCannotWrite);
    EXPECT_EQ(bytesOf(target), old);
    EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
}

TEST_F(SaveJob, VerificationComparesUidsAndAudio) {
    const fmt::Export e = kitExport();
    ASSERT_EQ(writeExportOver(target.string(), e), 0);
    struct Case {
        const char* name;
        std::function<void(fmt::Export&)> change;
    };
    const Case cases[] = {
        {"one audio byte differs", [](fmt::Export& x) { x.payloads.back().bytes.back() ^= 1; }},
        {"first audio byte differs", [](fmt::Export& x) {
             for (auto& p : x.payloads)
                 if (p.tag == fmt::kTagAUDI) {
                     p.bytes.front() ^= 1;
                     break;
                 }
         }},
        {"a sample missing", [](fmt::Export& x) { x.model.samples.pop_back(); }},
        {"a payload missing", [](fmt::Export& x) { x.payloads.pop_back(); }},
        {"a payload the file lacks", [](fmt::Export& x) {
             auto extra = x.payloads.back();
             extra.uid += 1000;
             x.payloads.push_back(extra);
         }},
        {"one payload twice", [](fmt::Export& x) { x.payloads.push_back(x.payloads.back()); }},
    };
    // The pool size never changes the answer.
    for (const unsigned threads : {1u, 2u, 4u, 9u}) {
        SCOPED_TRACE(threads);
        EXPECT_EQ(verifyWrittenFile(target.string(), e, threads), 0);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            fmt::Export other = e;
            c.change(other);
            EXPECT_EQ(verifyWrittenFile(target.string(), other, threads), kSaveCannotWrite);
        }
    }
    // A damaged file does not pass either.
    {
        std::fstream f(target, std::ios::binary | std::ios::in | std::ios::out);
        f.seekp(static_cast<std::streamoff>(fs::file_size(target) / 2));
        f.put('\x5A');
    }
    for (const unsigned threads : {1u, 4u}) EXPECT_EQ(verifyWrittenFile(target.string(), e, threads), kSaveCannotWrite);
}

// The shell's job from a composed plan, with a loader that counts its calls.
struct JobRun {
    std::atomic<int> loads{0};
    std::vector<SaveProgress> seen;
    std::mutex seenLock;
};

SaveModelPlan kitPlan(const Opened& o) {
    int code = -1;
    auto plan = composeSaveModel(o.doc, o.source, "kit", code);
    EXPECT_TRUE(plan.ok());
    return plan.ok() ? std::move(plan).value() : SaveModelPlan{};
}

TEST_F(SaveJob, AFolderThatCannotBeWrittenFailsBeforeAnyAudioIsRead) {
    struct Case {
        const char* name;
        std::optional<platform::WriteFaultCall> fault;  // on the job's thread
        bool missingFolder;
    };
    const Case cases[] = {
        {"the folder is gone", std::nullopt, true},
        {"the disk is full (first write)", platform::WriteFaultCall::Write, false},
        {"the disk is full (first sync)", platform::WriteFaultCall::Sync, false},
    };
    const Opened o(kitModel());
    const std::vector<char> old = bytesOf(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> loads{0};
        const SaveAudioLoader loader = [&](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
            ++loads;
            return toneFor(uid);
        };
        const fs::path where = c.missingFolder ? dir / "gone" / "kit.zem" : target;
        std::optional<platform::ScopedWriteFault> fault;
        if (c.fault) fault.emplace(*c.fault, 1, ENOSPC);
        EXPECT_EQ(runSaveJob(where.string(), kitPlan(o), loader), kSaveCannotWrite);
        EXPECT_EQ(loads.load(), 0);
        EXPECT_EQ(bytesOf(target), old);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
    }
}

TEST_F(SaveJob, TheJobFailsAfterAnyStepWithTheOldFileKeptAndNoLeftovers) {
    struct Case {
        const char* name;
        SaveStep failAfter;
        bool targetReplaced;
    };
    const Case cases[] = {
        {"after creating", SaveStep::created, false},
        {"after the analysis", SaveStep::analysed, false},
        {"after writing", SaveStep::written, false},
        {"after verifying", SaveStep::verified, false},
        {"after replacing", SaveStep::replaced, true},
    };
    const Opened o(kitModel());
    const SaveAudioLoader loader = [](uint64_t uid) -> fmt::Result<fmt::SampleAudio> { return toneFor(uid); };
    const fmt::Export e = kitExport();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ofstream(target, std::ios::binary | std::ios::trunc) << "old library bytes";
        const std::vector<char> old = bytesOf(target);
        std::vector<SaveStep> seen;
        const int code = runSaveJob(target.string(), kitPlan(o), loader, {}, [&](SaveStep s) {
            seen.push_back(s);
            return s != c.failAfter;
        });
        EXPECT_EQ(code, kSaveCannotWrite);
        EXPECT_EQ(seen.back(), c.failAfter);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
        if (c.targetReplaced) {
            EXPECT_EQ(verifyWrittenFile(target.string(), e), 0);
        } else {
            EXPECT_EQ(bytesOf(target), old);
        }
    }
}

TEST_F(SaveJob, AudioThatCannotBeReadOrChangesFailsTheJob) {
    struct Case {
        const char* name;
        int failingCall;  // this call of the loader for sample 2 fails or differs
        bool differs;
    };
    // Sample 3, a room sample the analysis does not pick, is read to be
    // measured, then to be written.
    const Case cases[] = {
        {"unreadable when measured", 1, false},
        {"unreadable when written", 2, false},
        {"other audio when written", 2, true},
    };
    const Opened o(kitModel());
    const std::vector<char> old = bytesOf(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::atomic<int> calls{0};
        const SaveAudioLoader loader = [&](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
            if (uid != 3 || ++calls != c.failingCall) return toneFor(uid);
            if (!c.differs) return fmt::fail(fmt::ErrorCode::ReadIo, "gone");
            fmt::SampleAudio other = toneFor(uid);
            other.samples[7] += 0.25f;
            return other;
        };
        EXPECT_EQ(runSaveJob(target.string(), kitPlan(o), loader), kSaveAudioUnreadable);
        EXPECT_EQ(bytesOf(target), old);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
    }
}

TEST_F(SaveJob, ProgressMovesThroughEveryPhaseAndPayloadsAreHeldOnlyAheadOfTheWriter) {
    Opened o(kitModel());
    for (int i = 0; i < 40; ++i) ui::zemedit::logic::test::addSample(o.doc, "Extra " + std::to_string(i), 0, 0, 0);
    constexpr unsigned kWorkers = 2;
    std::mutex lock;
    std::vector<SaveProgress> seen;
    size_t taken = 0;          // payloads the writer has taken
    size_t writeLoads = 0;     // audio read for the writer
    size_t mostAhead = 0;      // read for the writer and not yet taken
    bool writing = false;
    // Payloads over 1 MiB, all of one size: the job holds one per worker.
    const SaveAudioLoader loader = [&](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
        {
            const std::lock_guard<std::mutex> hold(lock);
            if (writing) mostAhead = std::max(mostAhead, ++writeLoads - taken);
        }
        fmt::SampleAudio a = toneFor(uid);
        a.samples.resize(300000, 0.125f);
        return a;
    };
    const SaveProgressFn progress = [&](const SaveProgress& p) {
        const std::lock_guard<std::mutex> hold(lock);
        seen.push_back(p);
        if (p.phase == SavePhase::writing) {
            writing = true;
            taken = std::max(taken, p.done);
        }
    };
    ASSERT_EQ(runSaveJob(target.string(), kitPlan(o), loader, progress, {}, kWorkers), 0);

    // Every phase in order, each to its end, and the share never goes back.
    const SavePhase order[] = {SavePhase::measuring, SavePhase::analysing, SavePhase::writing, SavePhase::verifying,
                               SavePhase::replacing};
    int last = 0;
    size_t at = 0;
    for (const SavePhase phase : order) {
        bool ended = false;
        for (; at < seen.size() && seen[at].phase == phase; ++at) {
            EXPECT_GE(saveProgressPercent(seen[at]), last);
            last = saveProgressPercent(seen[at]);
            ended = ended || (seen[at].total > 0 && seen[at].done == seen[at].total);
        }
        EXPECT_TRUE(ended) << static_cast<int>(phase);
    }
    EXPECT_EQ(at, seen.size());
    EXPECT_EQ(last, 100);
    // A worker reads the next sample only once its slot is free; the count
    // the writer reports lags its release by at most one.
    EXPECT_LE(mostAhead, kWorkers + 1);
    EXPECT_GE(writeLoads, 45u);
}

TEST_F(SaveJob, AReopenedFileSavedAgainReusesTheStoredChecksAndTheReadBackCatchesAWrongOne) {
    const Opened o(kitModel());
    const SaveAudioLoader tones = [](uint64_t uid) -> fmt::Result<fmt::SampleAudio> { return toneFor(uid); };
    const fs::path first = dir / "first.zem";
    ASSERT_EQ(runSaveJob(first.string(), kitPlan(o), tones), 0);
    ui::zemedit::logic::ZemEditViewModel vm;
    ASSERT_TRUE(vm.openFile(first.string(), fmt::ReadPolicy{}));
    auto planOf = [&] {
        int code = -1;
        auto plan = composeSaveModel(vm.document, vm.activeSource()->model(), "first", code);
        EXPECT_TRUE(plan.ok());
        return plan.ok() ? std::move(plan).value() : SaveModelPlan{};
    };
    const fs::path plain = dir / "plain.zem";
    ASSERT_EQ(runSaveJob(plain.string(), planOf(), makeDetachedAudioLoader(vm)), 0);

    struct Case {
        const char* name;
        bool spoil;  // the stored checks handed over are wrong
        int code;
    };
    const Case cases[] = {{"verified checks", false, 0}, {"a wrong hash", true, kSaveCannotWrite}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path again = dir / "again.zem";
        fs::remove(again);
        SaveAudioSource source = makeDetachedAudioSource(vm);
        std::atomic<int> answered{0};
        const auto stored = source.stored;
        source.stored = [&, stored](uint64_t uid) {
            auto s = stored(uid);
            if (s) {
                ++answered;
                if (c.spoil) s->checks.hash[3] ^= 1;
            }
            return s;
        };
        EXPECT_EQ(runSaveJob(again.string(), planOf(), source), c.code);
        EXPECT_EQ(answered.load(), 10);  // each sample when measured and when written
        if (c.code == 0) {
            EXPECT_EQ(bytesOf(again), bytesOf(plain));
        } else {
            EXPECT_FALSE(fs::exists(again));
        }
    }
}

// The shell's whole save from a document: a refusal because of one
// sample's own audio names that sample; a source changed on disk is no
// fault of the sample that happened to be read first.
TEST_F(SaveJob, ARefusalForOneSamplesAudioNamesThatSample) {
    struct Case {
        const char* name;
        std::string error;
        std::string named;
    };
    const Case cases[] = {
        {"its own audio cannot be read", "AUDI payload unreadable", "Kick Soft Room A"},
        {"the source changed on disk", kSourceChangedText, ""},
    };
    Opened o(kitModel());
    // Amb 1 has no direct sample to play with; without it nothing is noted.
    ui::zemedit::logic::test::removeSample(o.doc, 6);
    const std::vector<char> old = bytesOf(target);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SaveAudioSource audio([&](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
            if (uid == 3) return fmt::fail(fmt::ErrorCode::ModelInvalid, c.error);
            return toneFor(uid);
        });
        const SaveJobResult result = composeAndRunSave(o.doc, o.source, "kit", target.string(), audio);
        EXPECT_EQ(result.code, kSaveAudioUnreadable);
        EXPECT_EQ(result.unreadableSample, c.named);
        EXPECT_TRUE(result.notes.empty());
        EXPECT_EQ(bytesOf(target), old);
        EXPECT_EQ(folderNames(dir), std::vector<std::string>{"kit.zem"});
    }
}

// A sample without frames is valid in a zem: it loads as empty audio and
// saves as it is, on the shell's road and on the editor's own.
TEST_F(SaveJob, AZeroFrameSampleSavesAsItIsOnBothRoads) {
    vt6::test::SampleFileBuilder builder;
    builder.add(vt6::test::SampleRecipe{.frames = 600, .seed = 1});
    builder.add(vt6::test::SampleRecipe{.channels = 2, .frames = 0, .seed = 2});
    fmt::Zem6Model m = builder.model();
    m.metadata.name = std::string("Zero");
    fmt::LayerDef direct;
    direct.id = 1;
    direct.name = std::string("Direct");
    direct.slot = 0;
    m.metadata.layers = {direct};
    const char* const names[] = {"Kick Direct", "Empty Direct"};
    for (size_t i = 0; i < m.samples.size(); ++i) {
        m.samples[i].name = std::string(names[i]);
        m.samples[i].layer = 1;
        m.samples[i].plain_hash = fmt::blake2b128(builder.samples[i].pcm);
    }
    const std::string source = (dir / "zero.zem").string();
    ASSERT_TRUE(fmt::writeZem6File(source, m, builder.payloads()).ok());
    const uint64_t empty = m.samples[1].uid;
    for (const bool shell : {true, false}) {
        SCOPED_TRACE(shell ? "shell's save" : "editor's own save");
        ui::zemedit::logic::ZemEditViewModel vm;
        ASSERT_TRUE(vm.openFile(source, fmt::ReadPolicy{})) << vm.status.text;
        const std::string saved = (dir / (shell ? "shell.zem" : "own.zem")).string();
        if (shell) {
            const SaveJobResult result = composeAndRunSave(*vm.document.snapshot(), vm.activeSource()->model(), "saved",
                                                           saved, makeDetachedAudioSource(vm));
            ASSERT_EQ(result.code, 0) << result.unreadableSample;
        } else {
            const auto outcome = vm.saveAs(saved);
            ASSERT_TRUE(outcome.ok()) << outcome.message();
        }
        auto reopened = fmt::openZem6File(saved, fmt::ReadPolicy{});
        ASSERT_TRUE(reopened.ok()) << reopened.message();
        const auto& rows = reopened.value().model.samples;
        const auto row = std::find_if(rows.begin(), rows.end(), [&](const fmt::SmplEntry& r) { return r.uid == empty; });
        ASSERT_NE(row, rows.end());
        EXPECT_EQ(row->frames.value_or(1), 0u);
        EXPECT_EQ(row->channels, 2u);
        auto audio = fmt::loadCompleteSourceRow(reopened.value(), static_cast<size_t>(row - rows.begin()),
                                                fmt::kEditingBudgetBytes);
        ASSERT_TRUE(audio.ok()) << audio.message();
        EXPECT_TRUE(audio->samples.empty());
        EXPECT_EQ(audio->channels, 2);
    }
}

TEST(SaveJobNames, TemporarySiblingSplitsOnBothSeparators) {
    struct Case {
        std::string target;
        std::string prefix;
        std::string extension;
    };
    const Case cases[] = {
        {"/a/kit.zem", "/a/kit_temp", ".zem"},
        {"C:\\lib\\kit.zem", "C:\\lib\\kit_temp", ".zem"},
        {"/a.b/kit", "/a.b/kit_temp", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        const std::string t = temporarySiblingFor(c.target);
        ASSERT_GT(t.size(), c.prefix.size() + c.extension.size());
        EXPECT_EQ(t.substr(0, c.prefix.size()), c.prefix);
        EXPECT_EQ(t.substr(t.size() - c.extension.size()), c.extension);
        EXPECT_NE(t, temporarySiblingFor(c.target));
    }
}

} // namespace
} // namespace vt6::maker
