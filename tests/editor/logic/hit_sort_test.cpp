// The document's hit sort: the session-hits histogram, jobs made from the
// unmeasured samples, the worker's reads and refusals, applying only what
// still holds, the level cache, and the worker on a thread of its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "analysis/hit_level_measure.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "editor/logic/audio_fixture.hpp"
#include "editor/logic/hit_sort.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::OpenedFile;
using vt6::test::SampleRecipe;

const SampleRecipe kMono16{fmt::kCodecRawPcm, 16, 1, 48000, 3000, 0, 1};
const SampleRecipe kStereoFlac{fmt::kCodecFlac, 24, 2, 44100, 5000, 1200, 2};
const SampleRecipe kMono24{fmt::kCodecRawPcm, 24, 1, 44100, 2000, 0, 3};
const std::vector<SampleRecipe> kThree{kMono16, kStereoFlac, kMono24};

constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();
constexpr float kInff = std::numeric_limits<float>::infinity();

// The level measured straight from the file, the floor every row must equal.
HitLevel directLevel(const std::string& path, int32_t position, uint64_t start, uint64_t end) {
    const fmt::Result<fmt::SampleAudio> audio = fmt::loadSampleForEdit(
        path, fmt::SampleSelector{-1, position}, fmt::kEditingBudgetBytes, fmt::SampleLoadMode::CompleteSource);
    EXPECT_TRUE(audio.ok()) << audio.message();
    if (!audio.ok()) return HitLevel{};
    return fmt::measureHitLevel(audio->samples, static_cast<uint32_t>(audio->channels), audio->sampleRate, start, end);
}

const HitSortRow* rowOf(const HitSortInput& input, uint64_t uid) {
    for (const HitSortRow& row : input.rows)
        if (row.uid == uid) return &row;
    return nullptr;
}

std::vector<std::string> sortedErrors(const HitSortInput& input) {
    std::vector<std::string> out;
    for (const HitSortRow& row : input.rows) out.push_back(row.error);
    std::sort(out.begin(), out.end());
    return out;
}

void touchLater(const std::string& path) {
    std::filesystem::last_write_time(path, std::filesystem::last_write_time(path) + std::chrono::seconds(2));
}

// --- Session hits --------------------------------------------------------------

TEST(SessionHits, BinsAndLargestCount) {
    struct Case {
        const char* what;
        std::vector<float> levels;
        std::map<size_t, uint32_t> bins;
        uint32_t largest;
    };
    const Case cases[] = {
        {"the scale's ends and middle", {0.0f, 0.5f, 1.0f, -0.2f, 1.5f}, {{0, 2}, {64, 1}, {127, 2}}, 2},
        {"none", {}, {}, 0},
        {"rounding at half a step", {0.5f / 127.0f, 0.49f / 127.0f}, {{0, 1}, {1, 1}}, 1},
        {"not a number is skipped", {kNaNf, 0.25f, kNaNf}, {{32, 1}}, 1},
        {"infinities and huge values clamp", {kInff, -kInff, 3e38f, -3e38f, 1e10f}, {{0, 2}, {127, 3}}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZemEditViewModel vm;
        vm.hitHistogram.fill(9);
        vm.hitHistogramMax = 9;
        vm.setSessionHits(c.levels);
        std::map<size_t, uint32_t> bins;
        for (size_t i = 0; i < vm.hitHistogram.size(); ++i)
            if (vm.hitHistogram[i] != 0) bins[i] = vm.hitHistogram[i];
        EXPECT_EQ(bins, c.bins);
        EXPECT_EQ(vm.hitHistogramMax, c.largest);
    }
}

// --- Preparing a job -----------------------------------------------------------

TEST(PrepareHitSort, NothingUnmeasuredMakesAnEmptyJob) {
    ZemEditViewModel vm;
    vm.newDocument();
    vm.undoSourceFile = std::make_shared<const std::string>("/tmp/undo-copy");
    const HitSortInput job = vm.prepareHitSort();
    EXPECT_EQ(job.sourceGeneration, vm.sourceGeneration);
    EXPECT_TRUE(job.sourcePath.empty());
    EXPECT_EQ(job.sourceInfo, platform::FileInfo{});
    EXPECT_TRUE(job.rows.empty());
    EXPECT_EQ(job.undoSource, vm.undoSourceFile);
}

TEST(PrepareHitSort, RowsDescribeEachUnknownSampleAndCachedLevelsApplyAtOnce) {
    OpenedFile f(kThree);
    ZemEditViewModel& vm = *f.vm;
    const HitLevel cached = test::measuredLevel(-9.5);
    vm.levelCache[audioIdentityOf(*vm.document.sampleByUid(f.uid(2)))] = cached;
    const std::vector<float> added = test::hitSignal(2, 500, 0.5f);
    const uint64_t addedUid = vm.addSampleFromPcm("n", added, 2, 44100, 0.1, 0, 0, -1, HitLevel::unmeasured(), false);
    const uint64_t before = vm.document.structureRevision;

    const HitSortInput job = vm.prepareHitSort();
    EXPECT_EQ(job.sourcePath, f.path);
    EXPECT_EQ(job.sourceInfo, platform::queryFileInfo(f.path));
    ASSERT_EQ(job.rows.size(), 3u);
    EXPECT_EQ(rowOf(job, f.uid(2)), nullptr);
    EXPECT_EQ(vm.document.sampleByUid(f.uid(2))->hitLevel, cached);
    EXPECT_EQ(vm.document.unmeasuredUids.count(f.uid(2)), 0u);
    EXPECT_GT(vm.document.structureRevision, before);

    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const HitSortRow* row = rowOf(job, f.uid(i));
        ASSERT_NE(row, nullptr);
        const vt6::test::SampleBuild& s = f.builder.samples[i];
        EXPECT_EQ(row->frames, s.desc.frames);
        EXPECT_EQ(row->regionStart, 0u);
        EXPECT_EQ(row->regionEnd, s.desc.frames);
        EXPECT_EQ(row->channels, s.desc.channels);
        EXPECT_EQ(row->sampleRate, static_cast<int32_t>(s.desc.rate));
        EXPECT_EQ(row->sourcePosition, static_cast<int32_t>(i + 1));
        EXPECT_EQ(row->pcm, nullptr);
        EXPECT_EQ(row->plainHashPresent, 1);
        EXPECT_EQ(row->plainHash, *s.row.plain_hash);
        EXPECT_FALSE(row->level.measured);
        EXPECT_TRUE(row->error.empty());
    }
    const HitSortRow* row = rowOf(job, addedUid);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->pcm, vm.addedPcm.at(addedUid));  // shared, not copied
}

// --- Measuring and applying ------------------------------------------------------

TEST(AnalyzeHitSort, MeasuresEveryRowAsTheDirectLoadWould) {
    OpenedFile f(kThree);
    ZemEditViewModel& vm = *f.vm;
    ASSERT_TRUE(vm.document.setSampleAudio(f.uid(2), 100, 1500));
    const std::vector<float> added = test::hitSignal(1, 4000, 0.25f);
    const uint64_t addedUid = vm.addSampleFromPcm("n", added, 1, 48000, 0.1, 0, 0, -1, HitLevel::unmeasured(), false);
    const std::vector<float> replaced = test::hitSignal(2, 3000, 0.125f);
    ASSERT_TRUE(vm.replaceSampleAudio(f.uid(1), replaced, 2, 44100, 0, 0));

    HitSortInput job = vm.prepareHitSort();
    ASSERT_EQ(job.rows.size(), 4u);
    std::vector<std::pair<uint64_t, uint64_t>> reports;
    analyzeHitSort(job, nullptr, [&](uint64_t done, uint64_t total) { reports.emplace_back(done, total); });
    const std::vector<std::pair<uint64_t, uint64_t>> expectedReports{{1, 4}, {2, 4}, {3, 4}, {4, 4}};
    EXPECT_EQ(reports, expectedReports);

    const std::map<uint64_t, HitLevel> expected{
        {f.uid(0), directLevel(f.path, 1, 0, 3000)},
        {f.uid(1), fmt::measureHitLevel(replaced, 2, 44100, 0, 3000)},
        {f.uid(2), directLevel(f.path, 3, 100, 1500)},
        {addedUid, fmt::measureHitLevel(added, 1, 48000, 0, 4000)},
    };
    for (const auto& [uid, level] : expected) {
        SCOPED_TRACE(uid);
        const HitSortRow* row = rowOf(job, uid);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->error, "");
        EXPECT_TRUE(row->level.measured);
        EXPECT_TRUE(row->level.finite);
        EXPECT_EQ(row->level, level);
    }

    EXPECT_EQ(vm.applyHitSort(job), 4u);
    EXPECT_TRUE(vm.document.unmeasuredUids.empty());
    for (const auto& [uid, level] : expected) {
        EXPECT_EQ(vm.document.sampleByUid(uid)->hitLevel, level);
        EXPECT_EQ(vm.levelCache.at(audioIdentityOf(*vm.document.sampleByUid(uid))), level);
    }
    // Measured levels do not make the document dirty.
    EXPECT_EQ(vm.prepareHitSort().rows.size(), 0u);
}

TEST(AnalyzeHitSort, RowsThatCannotBeMeasuredCarryTheirReason) {
    const std::string unavailable = kHitSortSourceUnavailable;
    const std::string during = kHitSortChangedDuringRead;
    const std::string identity = kHitSortIdentityChanged;
    const std::string mismatch = kHitSortAudioMismatch;
    struct Case {
        const char* what;
        std::function<void(OpenedFile&)> beforePrepare;
        std::function<void(OpenedFile&)> beforeAnalyze;
        bool rewriteDuringFirstRead;
        // Error texts of the rows, sorted; a function when they depend on the file.
        std::function<std::vector<std::string>(OpenedFile&)> errors;
        uint64_t applied;
    };
    auto rewriteWith = [](OpenedFile& f, std::vector<SampleRecipe> recipes, int dropIndex) {
        vt6::test::SampleFileBuilder other = test::hashedBuilder(recipes);
        fmt::Zem6Model model = other.model();
        std::vector<fmt::StagedPayload> payloads = other.payloads();
        if (dropIndex >= 0) {
            const uint64_t uid = other.samples[static_cast<size_t>(dropIndex)].row.uid;
            model.samples.erase(model.samples.begin() + dropIndex);
            std::erase_if(payloads, [&](const fmt::StagedPayload& p) { return p.uid > uid && p.uid <= uid + 2; });
        }
        ASSERT_TRUE(fmt::writeZem6File(f.path, model, payloads).ok());
    };
    const Case cases[] = {
        {"nothing changed", nullptr, nullptr, false, [](OpenedFile&) { return std::vector<std::string>{"", "", ""}; },
         3},
        {"file grew before the read", nullptr,
         [&](OpenedFile& f) { rewriteWith(f, {kMono16, kStereoFlac, kMono24, kMono16}, -1); }, false,
         [&](OpenedFile&) { return std::vector<std::string>{unavailable, unavailable, unavailable}; }, 0},
        {"same size, later write time before the read", nullptr, [](OpenedFile& f) { touchLater(f.path); }, false,
         [&](OpenedFile&) { return std::vector<std::string>{unavailable, unavailable, unavailable}; }, 0},
        {"file rewritten during the first read", nullptr, nullptr, true,
         [&](OpenedFile&) { return std::vector<std::string>{during, unavailable, unavailable}; }, 0},
        {"file removed", nullptr, [](OpenedFile& f) { std::filesystem::remove(f.path); }, false,
         [&](OpenedFile&) { return std::vector<std::string>{unavailable, unavailable, unavailable}; }, 0},
        {"file damaged",
         nullptr,
         [](OpenedFile& f) { std::filesystem::resize_file(f.path, 200); }, false,
         [](OpenedFile& f) {
             const std::string reason = fmt::openZem6File(f.path, fmt::ReadPolicy{}).message();
             EXPECT_FALSE(reason.empty());
             return std::vector<std::string>{reason, reason, reason};
         },
         0},
        {"sample removed from the file", [&](OpenedFile& f) { rewriteWith(f, kThree, 1); }, nullptr, false,
         [&](OpenedFile&) { return std::vector<std::string>{"", "", identity}; }, 2},
        {"sample's audio changed in the file",
         [&](OpenedFile& f) {
             SampleRecipe changed = kMono24;
             changed.seed = 77;
             rewriteWith(f, {kMono16, kStereoFlac, changed}, -1);
         },
         nullptr, false, [&](OpenedFile&) { return std::vector<std::string>{"", "", identity}; }, 2},
        {"stereo audio for a mono record",
         [](OpenedFile& f) { f.vm->document.liveRecord(f.uid(1))->channels = 1; }, nullptr, false,
         [&](OpenedFile&) { return std::vector<std::string>{"", "", mismatch}; }, 2},
        {"a channel count that does not fit",
         [](OpenedFile& f) { f.vm->document.liveRecord(f.uid(0))->channels = (uint64_t{1} << 32) + 1; }, nullptr,
         false, [&](OpenedFile&) { return std::vector<std::string>{"", "", mismatch}; }, 2},
        {"another rate", [](OpenedFile& f) { f.vm->document.liveRecord(f.uid(2))->sampleRate = 48000; }, nullptr,
         false, [&](OpenedFile&) { return std::vector<std::string>{"", "", mismatch}; }, 2},
        {"another frame count", [](OpenedFile& f) { f.vm->document.liveRecord(f.uid(2))->frames = 1999; }, nullptr,
         false, [&](OpenedFile&) { return std::vector<std::string>{"", "", mismatch}; }, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenedFile f(kThree);
        if (c.beforePrepare) c.beforePrepare(f);
        HitSortInput job = f.vm->prepareHitSort();
        ASSERT_EQ(job.rows.size(), 3u);
        if (c.beforeAnalyze) c.beforeAnalyze(f);
        HitSortFileAccess files = defaultHitSortFileAccess();
        bool rewritten = false;
        if (c.rewriteDuringFirstRead) {
            const auto load = files.loadSample;
            files.loadSample = [&, load](const std::string& path, const fmt::SampleSelector& selector,
                                         const std::function<bool()>& cancel) {
                auto audio = load(path, selector, cancel);
                if (!rewritten) rewriteWith(f, {kMono16, kStereoFlac, kMono24, kMono24}, -1);
                rewritten = true;
                return audio;
            };
        }
        analyzeHitSort(job, nullptr, nullptr, files);
        EXPECT_EQ(sortedErrors(job), c.errors(f));
        for (const HitSortRow& row : job.rows) {
            if (!row.error.empty()) {
                EXPECT_FALSE(row.level.measured) << row.uid;
            }
        }
        const size_t unmeasuredBefore = f.vm->document.unmeasuredUids.size();
        EXPECT_EQ(f.vm->applyHitSort(job), c.applied);
        EXPECT_EQ(f.vm->document.unmeasuredUids.size(), unmeasuredBefore - c.applied);
        EXPECT_EQ(f.vm->levelCache.size(), c.applied);
    }
}

TEST(ApplyHitSort, AppliesOnlyWhatStillHolds) {
    struct Case {
        const char* what;
        std::function<void(OpenedFile&)> change;
        uint64_t applied;
    };
    const Case cases[] = {
        {"nothing changed", nullptr, 3},
        {"a new document", [](OpenedFile& f) { f.vm->newDocument(); }, 0},
        {"the same file opened again",
         [](OpenedFile& f) { EXPECT_TRUE(f.vm->openFile(f.path, fmt::ReadPolicy{})); }, 0},
        {"the file written since", [](OpenedFile& f) { touchLater(f.path); }, 0},
        {"a sample removed", [](OpenedFile& f) { EXPECT_TRUE(test::removeSample(f.vm->document, f.uid(0))); }, 2},
        {"a sample given new audio",
         [](OpenedFile& f) {
             EXPECT_TRUE(f.vm->replaceSampleAudio(f.uid(1), test::hitSignal(2, 5000, 0.1f), 2, 44100, 0, 0));
         },
         2},
        {"a region changed", [](OpenedFile& f) { EXPECT_TRUE(f.vm->document.setSampleAudio(f.uid(2), 1, 2000)); }, 2},
        {"a removed sample restored", [](OpenedFile& f) {
             EXPECT_TRUE(test::removeSample(f.vm->document, f.uid(0)));
             EXPECT_TRUE(test::undo(f.vm->document));
         },
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenedFile f(kThree);
        HitSortInput job = f.vm->prepareHitSort();
        analyzeHitSort(job, nullptr, nullptr);
        if (c.change) c.change(f);
        EXPECT_EQ(f.vm->applyHitSort(job), c.applied);
    }
}

TEST(ApplyHitSort, CancelledAndUnmeasuredLevelsAreNeverApplied) {
    OpenedFile f(kThree);
    HitSortInput job = f.vm->prepareHitSort();
    analyzeHitSort(job, nullptr, nullptr);
    job.rows[0].level.cancelled = true;
    job.rows[1].level = HitLevel::unmeasured();
    EXPECT_EQ(f.vm->applyHitSort(job), 1u);
    EXPECT_EQ(f.vm->document.unmeasuredUids.size(), 2u);
}

TEST(HitSortCache, AudioMeasuredBeforeGetsItsLevelWithoutARow) {
    OpenedFile f(kThree);
    ZemEditViewModel& vm = *f.vm;
    HitSortInput job = vm.prepareHitSort();
    analyzeHitSort(job, nullptr, nullptr);
    ASSERT_EQ(vm.applyHitSort(job), 3u);
    const HitLevel whole = vm.document.sampleByUid(f.uid(0))->hitLevel;

    // A narrower region is new audio to measure.
    ASSERT_TRUE(vm.document.setSampleAudio(f.uid(0), 1000, 3000));
    HitSortInput narrower = vm.prepareHitSort();
    ASSERT_EQ(narrower.rows.size(), 1u);
    analyzeHitSort(narrower, nullptr, nullptr);
    ASSERT_EQ(vm.applyHitSort(narrower), 1u);
    EXPECT_NE(vm.document.sampleByUid(f.uid(0))->hitLevel, whole);

    // Back to the whole sample: the cached level, no row, no file needed.
    ASSERT_TRUE(vm.document.setSampleAudio(f.uid(0), 0, 3000));
    ASSERT_EQ(vm.document.unmeasuredUids.count(f.uid(0)), 1u);
    const HitSortInput again = vm.prepareHitSort();
    EXPECT_TRUE(again.rows.empty());
    EXPECT_EQ(vm.document.sampleByUid(f.uid(0))->hitLevel, whole);
    EXPECT_TRUE(vm.document.unmeasuredUids.empty());

    // Closing the document forgets every level.
    vm.newDocument();
    EXPECT_TRUE(vm.levelCache.empty());
}

TEST(HitSortCache, ReplacedAudioIsMeasuredFromMemoryByTheNextJob) {
    OpenedFile f(kThree);
    ZemEditViewModel& vm = *f.vm;
    HitSortInput job = vm.prepareHitSort();
    analyzeHitSort(job, nullptr, nullptr);
    ASSERT_EQ(vm.applyHitSort(job), 3u);
    const uint64_t generation = vm.document.generation;
    const std::vector<float> replaced = test::hitSignal(1, 2500, 0.5f);
    ASSERT_TRUE(vm.replaceSampleAudio(f.uid(1), replaced, 1, 44100, 0, 0));
    EXPECT_GT(vm.document.generation, generation);

    HitSortInput next = vm.prepareHitSort();
    ASSERT_EQ(next.rows.size(), 1u);
    EXPECT_EQ(next.rows[0].pcm, vm.audioVersions.at(f.uid(1)).at(1).pcm);
    // The worker takes the audio from memory: the file can no longer be read.
    HitSortFileAccess files = defaultHitSortFileAccess();
    files.loadSample = [](const std::string&, const fmt::SampleSelector&,
                          const std::function<bool()>&) -> fmt::Result<fmt::SampleAudio> {
        ADD_FAILURE() << "read from the file";
        return fmt::fail(fmt::ErrorCode::ReadIo, "no");
    };
    analyzeHitSort(next, nullptr, nullptr, files);
    EXPECT_EQ(next.rows[0].level, fmt::measureHitLevel(replaced, 1, 44100, 0, 2500));
    EXPECT_EQ(vm.applyHitSort(next), 1u);
}

TEST(HitSortLegacy, ConvertedDocumentsAreMeasuredFromTheirLegacyFile) {
    for (int version = 0; version <= 6; ++version) {
        SCOPED_TRACE(version);
        const zem::testing::TempFile file(zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(version)));
        auto imported = zem::importLegacyFile(file.path(), zem::LegacyImportOptions{});
        ASSERT_TRUE(imported.ok()) << imported.message();
        ZemEditViewModel vm;
        ASSERT_TRUE(vm.openLegacy(std::make_shared<const fmt::Zem6Model>(imported->model), file.path()));
        HitSortInput job = vm.prepareHitSort();
        ASSERT_FALSE(job.rows.empty());
        EXPECT_EQ(job.sourcePath, file.path());
        analyzeHitSort(job, nullptr, nullptr);
        for (const HitSortRow& row : job.rows) {
            SCOPED_TRACE(row.uid);
            const EditSample& record = *vm.document.sampleByUid(row.uid);
            ASSERT_EQ(row.sourcePosition, record.recordIndex + 1);
            // The sample's own audio, as the editor reads it for playback and saving.
            const fmt::Result<fmt::SampleAudio> audio = vm.sampleAudio(row.uid);
            if (!audio.ok()) {
                EXPECT_EQ(row.error, audio.message());
                continue;
            }
            EXPECT_EQ(row.error, "");
            EXPECT_EQ(row.level, fmt::measureHitLevel(audio->samples, static_cast<uint32_t>(audio->channels),
                                                      audio->sampleRate, row.regionStart, row.regionEnd));
        }
        const auto measured = static_cast<uint64_t>(
            std::count_if(job.rows.begin(), job.rows.end(), [](const HitSortRow& r) { return r.error.empty(); }));
        EXPECT_GT(measured, 0u);
        EXPECT_EQ(vm.applyHitSort(job), measured);
    }
}

// --- The worker on its own thread -----------------------------------------------

// What the editor interface shares with its worker: the job, a cancel flag
// and a progress count, and a finished flag stored last.
struct Work {
    HitSortInput input;
    std::atomic<bool> cancelRequested{false};
    std::atomic<uint64_t> progressDone{0};
    std::atomic<bool> finished{false};
};

void waitUntil(const std::function<bool()>& condition) {
    while (!condition()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(HitSortThread, ACancelDiscardsEveryResult) {
    enum class Where { betweenRows, inARead, inAMeasurement };
    struct Case {
        const char* what;
        Where where;
        size_t measured;    // rows measured before the cancel
        uint64_t progress;  // rows reported finished
    };
    const Case cases[] = {
        {"between rows", Where::betweenRows, 2, 2},
        // A read given up half way leaves its row as it was, unreported.
        {"during a read", Where::inARead, 0, 0},
        // A row whose measurement was cut short still counts as finished.
        {"during a measurement", Where::inAMeasurement, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenedFile f({kMono16, kStereoFlac, kMono24, kMono16, kMono24});
        const std::set<uint64_t> unmeasured(f.vm->document.unmeasuredUids.begin(),
                                            f.vm->document.unmeasuredUids.end());
        auto work = std::make_shared<Work>();
        work->input = f.vm->prepareHitSort();
        ASSERT_EQ(work->input.rows.size(), 5u);
        std::atomic<bool> paused{false};
        const auto pause = [&] {
            paused.store(true);
            waitUntil([&] { return work->cancelRequested.load(); });
        };
        // Where the worker is when it asks: inside the first read, or how
        // many asks after it (the third is the measurement's first).
        bool inRead = false;
        int asksAfterRead = -1;
        HitSortFileAccess files = defaultHitSortFileAccess();
        files.loadSample = [&, load = files.loadSample](const std::string& path, const fmt::SampleSelector& selector,
                                                        const std::function<bool()>& cancel) {
            inRead = asksAfterRead < 0;
            auto audio = load(path, selector, cancel);
            inRead = false;
            if (asksAfterRead < 0) asksAfterRead = 0;
            return audio;
        };
        std::thread worker([&] {
            analyzeHitSort(
                work->input,
                [&] {
                    if (c.where == Where::inARead && inRead && !paused.load()) pause();
                    if (c.where == Where::inAMeasurement && asksAfterRead >= 0 && ++asksAfterRead == 3) pause();
                    return work->cancelRequested.load();
                },
                [&](uint64_t done, uint64_t) {
                    work->progressDone.exchange(done);
                    if (c.where == Where::betweenRows && done == 2) pause();
                },
                files);
            work->finished.store(true, std::memory_order_release);
        });
        // A worker that never asks where the case waits runs to its end.
        waitUntil([&] { return paused.load() || work->finished.load(); });
        EXPECT_TRUE(paused.load());
        work->cancelRequested.exchange(true);
        waitUntil([&] { return work->finished.load(std::memory_order_acquire); });
        worker.join();

        // What the worker left: rows up to the pause measured, the rest untouched.
        size_t measured = 0;
        for (const HitSortRow& row : work->input.rows) {
            if (row.level.measured && !row.level.cancelled) ++measured;
            EXPECT_TRUE(row.error.empty());
        }
        EXPECT_EQ(measured, c.measured);
        EXPECT_EQ(work->progressDone.load(), c.progress);
        EXPECT_EQ(work->input.rows[0].level.cancelled, c.where == Where::inAMeasurement);
        if (c.where != Where::betweenRows) {
            EXPECT_FALSE(work->input.rows[1].level.measured);
        }
        // The interface drops a cancelled job unapplied: nothing measured reaches
        // the document or the cache.
        if (!work->cancelRequested.load()) f.vm->applyHitSort(work->input);
        const std::set<uint64_t> after(f.vm->document.unmeasuredUids.begin(), f.vm->document.unmeasuredUids.end());
        EXPECT_EQ(after, unmeasured);
        EXPECT_TRUE(f.vm->levelCache.empty());
        // A measurement cut short is refused even if a job is applied anyway.
        if (c.where != Where::betweenRows) {
            EXPECT_EQ(f.vm->applyHitSort(work->input), 0u);
        }
    }
}

TEST(HitSortThread, TheWorkerTouchesOnlyItsJob) {
    OpenedFile f({kMono16, kStereoFlac, kMono24});
    const std::vector<float> added = test::hitSignal(2, 3000, 0.5f);
    f.vm->addSampleFromPcm("n", added, 2, 44100, 0.1, 0, 0, -1, HitLevel::unmeasured(), false);
    f.vm->undoSourceFile = std::make_shared<const std::string>(f.path + ".undo");

    auto work = std::make_shared<Work>();
    work->input = f.vm->prepareHitSort();
    ASSERT_EQ(work->input.rows.size(), 4u);
    HitSortInput reference = work->input;  // shares the same in-memory audio
    analyzeHitSort(reference, nullptr, nullptr);

    std::atomic<bool> paused{false};
    std::atomic<bool> resume{false};
    std::thread worker([work, &paused, &resume] {
        analyzeHitSort(
            work->input, [&] { return work->cancelRequested.load(); },
            [&](uint64_t done, uint64_t) {
                work->progressDone.exchange(done);
                if (done == 1) {
                    paused.store(true);
                    waitUntil([&] { return resume.load(); });
                }
            });
        work->finished.store(true, std::memory_order_release);
    });
    // While the worker runs, the message thread closes the document and
    // destroys the view model with everything it held: a worker that reached
    // into it would read freed memory (the sanitizer build reports that).
    waitUntil([&] { return paused.load(); });
    f.vm->newDocument();
    f.vm.reset();
    resume.store(true);
    waitUntil([&] { return work->finished.load(std::memory_order_acquire); });
    worker.join();

    ASSERT_EQ(work->input.rows.size(), reference.rows.size());
    for (size_t i = 0; i < reference.rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(work->input.rows[i].error, "");
        EXPECT_TRUE(work->input.rows[i].level.measured);
        EXPECT_EQ(work->input.rows[i].level, reference.rows[i].level);
        EXPECT_EQ(work->input.rows[i].sourcePosition, reference.rows[i].sourcePosition);
    }
    EXPECT_EQ(work->progressDone.load(), 4u);
    EXPECT_EQ(*work->input.undoSource, f.path + ".undo");
}

} // namespace
} // namespace vt6::ui::zemedit::logic
