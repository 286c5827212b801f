// The editor's hit analysis through the real overlay: the background run a
// file starts, AUTO-SORT on top of it with its progress box and Cancel, runs
// that go stale, failures that reach the user, a thread that cannot start,
// the overlay destroyed mid-run, and the box itself.
//
// The analysis thread is held at a chosen sample through the test hook, so
// every state is reached without sleeping; most cases stop the overlay's own
// 100 ms tick and take the run in by calling the poll themselves.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "editor/ui/hit_sort_progress.hpp"
#include "editor/ui/graded_kit.hpp"
#include "editor/ui/user_messages.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "format/reader.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/message_boxes.hpp"
#include "widgets/paint.hpp"
#include "app/main_component_access.hpp"

namespace vt6::maker {
}  // namespace vt6::maker

namespace vt6::ui::zemedit {

class HitAnalysisTestAccess {
public:
    explicit HitAnalysisTestAccess(ZemEditOverlay& o) : o_(o) {}
    // The cases take runs in themselves; one case keeps the real tick.
    void stopTicks() { o_.hitSortTimer.stopTimer(); }
    bool ticking() const { return o_.hitSortTimer.isTimerRunning(); }
    int tickInterval() const { return o_.hitSortTimer.getTimerInterval(); }
    void poll() { o_.pollHitSort(); }
    void wake() { o_.wakeIdleTicks(); }
    void start(bool apply, bool alternate) { o_.startHitAnalysis(apply, alternate); }
    std::shared_ptr<ZemEditOverlay::HitSortWork> work() const { return o_.hitWork; }
    bool threadJoinable() const { return o_.hitThread.joinable(); }
    HitSortProgress* box() const { return static_cast<HitSortProgress*>(o_.hitSortProgress.get()); }
    widgets::V6Button& autoSort() { return o_.autoSortButton; }
    int64_t contentStamp() const { return o_.analysedContentRevision; }
    int64_t generationStamp() const { return o_.analysedGeneration; }
    std::vector<std::unique_ptr<BandColumn>>& columns() { return o_.columns; }

    // Waits for the current run's thread to finish (pumping the message
    // loop), then takes the run in through the poll.
    bool finishRun() {
        const auto work = o_.hitWork;
        if (work == nullptr) return false;
        if (!test::pumpUntil([&] { return work->done.load(std::memory_order_acquire); }, 10000)) return false;
        o_.pollHitSort();
        return o_.hitWork != work;
    }

private:
    ZemEditOverlay& o_;
};

namespace {

using test::pumpUntil;
using namespace std::chrono_literals;

struct RecordedBox {
    juce::String title, message;
    juce::MessageBoxIconType icon;
    juce::StringArray buttons;
    juce::Component* associated = nullptr;
};

// Holds the analysis thread once it has finished `at` samples, until the test
// releases it or the run is cancelled. The state is shared with the hook,
// which a running thread keeps a copy of. A deaf hold stands for a sample
// that takes long to read: it ignores the cancel and lets go only when
// released (or, so that a waiting caller cannot hang the suite, after 5 s).
class Hold {
public:
    explicit Hold(uint64_t at, bool throwThere = false, bool deaf = false) : state_(std::make_shared<State>()) {
        state_->at = at;
        state_->throwThere = throwThere;
        state_->deaf = deaf;
        setHitAnalysisHook([state = state_](uint64_t finished, const std::function<bool()>& cancelled) {
            state->last.store(finished);
            if (finished != state->at) return;
            state->reached.store(true);
            if (state->throwThere) throw std::runtime_error("held run fails");
            std::unique_lock<std::mutex> lock(state->m);
            // Not a sleep of the test: the analysis thread waits here and
            // looks at the cancel flag, which has no way to wake it.
            const auto giveUp = std::chrono::steady_clock::now() + 5s;
            while (!state->released && (state->deaf || !cancelled()) && std::chrono::steady_clock::now() < giveUp)
                state->cv.wait_for(lock, 1ms);
            state->sawCancel.store(cancelled());
            state->letGo.store(true);
        });
    }
    ~Hold() {
        release();
        setHitAnalysisHook({});
    }
    bool waitReached() { return pumpUntil([&] { return state_->reached.load(); }, 10000); }
    void release() {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->released = true;
        state_->cv.notify_all();
    }
    uint64_t lastFinished() const { return state_->last.load(); }
    bool sawCancel() const { return state_->sawCancel.load(); }
    // True once the held thread went on.
    bool letGo() const { return state_->letGo.load(); }

private:
    struct State {
        uint64_t at = 0;
        bool throwThere = false;
        bool deaf = false;
        std::atomic<bool> reached{false}, sawCancel{false}, letGo{false};
        std::atomic<uint64_t> last{0};
        std::mutex m;
        std::condition_variable cv;
        bool released = false;
    };
    std::shared_ptr<State> state_;
};

// Flips a byte inside the audio payload of the sample at `index`, so that its
// read fails its checksum while the file itself still opens.
void damagePayload(const std::string& path, size_t index) {
    uint64_t offset = 0;
    {
        auto file = fmt::openZem6File(path, fmt::ReadPolicy{});
        ASSERT_TRUE(file.ok()) << file.message();
        const uint64_t uid = file->model.samples.at(index).audi_uid;
        for (const auto& chunk : file->chunks)
            if (chunk.tag == fmt::kTagAUDI && chunk.uid == uid) offset = chunk.offset + 24 + 64 + 100;
    }
    ASSERT_NE(offset, 0u);
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(static_cast<std::streamoff>(offset));
    char c = 0;
    f.read(&c, 1);
    c = static_cast<char>(c ^ 0x5a);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(&c, 1);
    ASSERT_TRUE(f.good());
}

uint64_t unmeasured(ZemEditOverlay& o) { return o.document().unmeasuredUids.size(); }

// Group of every live sample (its place in the group order), in record order.
std::vector<int32_t> bandsOf(ZemEditOverlay& o) {
    const auto& doc = o.document();
    std::vector<int32_t> out;
    for (const auto& s : doc.samples)
        if (doc.uidIndex.count(s.uid) != 0)
            out.push_back(static_cast<int32_t>(std::find(doc.bandOrder.begin(), doc.bandOrder.end(), s.bandId) -
                                               doc.bandOrder.begin()));
    return out;
}

size_t changedCount(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
    size_t n = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) n += a[i] != b[i] ? 1 : 0;
    return n;
}

struct HitAnalysisTest : ::testing::Test {
    test::TempDir dir;
    std::vector<RecordedBox> boxes;

    void SetUp() override {
        widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            juce::StringArray buttons;
            for (int i = 0; i < o.getNumButtons(); ++i) buttons.add(o.getButtonText(i));
            boxes.push_back({o.getTitle(), o.getMessage(), o.getIconType(), buttons, o.getAssociatedComponent()});
            if (done) done(0);
        });
    }
    void TearDown() override {
        widgets::setMessageBoxPresenter({});
        setHitAnalysisHook({});
        setHitThreadStarter({});
        // No run of one case goes on into the next.
        joinRetiredHitThreads();
    }

    std::string kit(const std::string& name = "kit.zem", int samples = 12) {
        return test::writeGradedKit(dir.path(name), samples, 4);
    }

    // A mounted overlay whose tick is stopped: the case drives the poll.
    std::unique_ptr<ZemEditOverlay> overlayFor(const std::string& path, bool ticks = false) {
        ZemEditDeps d;
        d.standalone = true;
        d.filePath = path;
        auto o = std::make_unique<ZemEditOverlay>(std::move(d));
        o->setSize(1280, 689);
        if (!ticks) HitAnalysisTestAccess(*o).stopTicks();
        return o;
    }

    // Measures every sample through a background run taken in by the poll.
    void measureAll(ZemEditOverlay& o) {
        HitAnalysisTestAccess a(o);
        a.poll();
        if (a.work() != nullptr) {
            ASSERT_TRUE(a.finishRun());
        }
        ASSERT_EQ(unmeasured(o), 0u);
    }
};

// --- The background run ------------------------------------------------------------

TEST_F(HitAnalysisTest, OpeningAFileMeasuresItOnTheTickWithoutABox) {
    auto o = overlayFor(kit(), true);
    HitAnalysisTestAccess a(*o);
    EXPECT_TRUE(a.ticking());
    EXPECT_EQ(a.tickInterval(), 100);
    EXPECT_EQ(a.contentStamp(), -1);
    EXPECT_EQ(a.generationStamp(), -1);
    EXPECT_EQ(unmeasured(*o), 12u);
    const auto changesBefore = o->document().changeCounter;

    ASSERT_TRUE(pumpUntil([&] { return a.work() != nullptr || unmeasured(*o) == 0; }));
    EXPECT_EQ(a.box(), nullptr);
    ASSERT_TRUE(pumpUntil([&] { return unmeasured(*o) == 0 && a.work() == nullptr; }, 10000));
    EXPECT_FALSE(a.threadJoinable());
    EXPECT_EQ(a.box(), nullptr);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(a.contentStamp(), static_cast<int64_t>(o->document().generation));
    EXPECT_EQ(a.generationStamp(), static_cast<int64_t>(o->viewModel.sourceGeneration));
    // Storing levels is no edit: no undo step, nothing to save.
    EXPECT_EQ(o->document().changeCounter, changesBefore);
    EXPECT_FALSE(o->undoManager().canUndo());
    EXPECT_EQ(o->viewModel.levelCache.size(), 12u);
    for (const auto& s : o->document().samples) EXPECT_TRUE(s.hitLevel.measured) << s.uid;

    // Suggestion rings on exactly the chips whose level points elsewhere.
    std::set<uint64_t> misfiled, suggested;
    for (size_t i = 0; i < o->document().samples.size(); ++i)
        if (test::gradedKitMisfiled(i)) misfiled.insert(o->document().samples[i].uid);
    size_t chips = 0;
    for (auto& column : a.columns())
        for (auto& chip : column->chips)
            if (chip->isVisible()) {
                ++chips;
                if (chip->suggested) suggested.insert(chip->uid);
            }
    EXPECT_EQ(chips, 12u);
    EXPECT_EQ(suggested, misfiled);

    // Nothing changed: the tick starts no further run.
    a.stopTicks();
    for (int i = 0; i < 3; ++i) a.poll();
    EXPECT_EQ(a.work(), nullptr);
}

TEST_F(HitAnalysisTest, ProgressCountsFinishedSamplesAndTheThreadWritesDoneLast) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    Hold hold(5);
    a.start(true, false);
    ASSERT_TRUE(hold.waitReached());
    const auto work = a.work();
    ASSERT_NE(work, nullptr);
    EXPECT_EQ(work->progress.load(), 5u);
    EXPECT_FALSE(work->done.load());
    a.poll();
    ASSERT_NE(a.box(), nullptr);
    EXPECT_DOUBLE_EQ(a.box()->progress, 5.0 / 12.0);
    // Not done: the poll neither joins nor drops the run.
    EXPECT_EQ(a.work(), work);
    EXPECT_TRUE(a.threadJoinable());
    hold.release();
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(work->progress.load(), 12u);
    EXPECT_TRUE(work->error.empty());
    EXPECT_EQ(a.box(), nullptr);
    EXPECT_FALSE(a.threadJoinable());
}

// --- AUTO-SORT ---------------------------------------------------------------------

TEST_F(HitAnalysisTest, AutoSortCases) {
    struct Case {
        const char* what;
        // Held before AUTO-SORT: the background run is stopped at this sample
        // (-1: every level is measured first).
        int holdAt;
        bool alt;
    };
    const Case cases[] = {
        {"all levels cached: sorted at once", -1, false},
        {"all levels cached, Alt held: one linked set", -1, true},
        {"during a background run: the box, then the sort", 3, false},
        {"during a background run with Alt: the second pass gets it", 3, true},
        {"before the first sample is measured", 0, false},
    };
    // What a full sort and an Alt sort move, measured on a separate overlay.
    size_t fullMoves = 0;
    {
        auto ref = overlayFor(kit("ref.zem"));
        measureAll(*ref);
        const auto before = bandsOf(*ref);
        ref->document().applyAutoSort(false);
        fullMoves = changedCount(before, bandsOf(*ref));
    }
    ASSERT_GT(fullMoves, 1u) << "the kit must give the sort something to move";

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = kit(std::string("k") + std::to_string(&c - cases) + ".zem");
        auto o = overlayFor(path);
        HitAnalysisTestAccess a(*o);
        std::unique_ptr<Hold> hold;
        if (c.holdAt < 0) {
            measureAll(*o);
        } else {
            hold = std::make_unique<Hold>(static_cast<uint64_t>(c.holdAt));
            a.poll();  // the background run, no box
            ASSERT_NE(a.work(), nullptr);
            EXPECT_FALSE(a.work()->applyWhenDone);
            EXPECT_EQ(a.box(), nullptr);
            ASSERT_TRUE(hold->waitReached());
        }
        const auto before = bandsOf(*o);
        const auto backgroundRun = a.work();

        juce::ModifierKeys::currentModifiers =
            c.alt ? juce::ModifierKeys(juce::ModifierKeys::altModifier) : juce::ModifierKeys();
        a.autoSort().onClick();
        juce::ModifierKeys::currentModifiers = juce::ModifierKeys();

        if (c.holdAt < 0) {
            EXPECT_EQ(a.work(), nullptr);
            EXPECT_FALSE(a.threadJoinable());
            EXPECT_EQ(a.box(), nullptr);
        } else {
            // The running run takes the request; no second run.
            EXPECT_EQ(a.work(), backgroundRun);
            EXPECT_TRUE(backgroundRun->applyWhenDone);
            EXPECT_EQ(backgroundRun->alternate, c.alt);
            ASSERT_NE(a.box(), nullptr);
            EXPECT_TRUE(a.box()->isVisible());
            EXPECT_EQ(a.box()->getParentComponent(), o.get());
            a.poll();
            EXPECT_DOUBLE_EQ(a.box()->progress, c.holdAt / 12.0);
            EXPECT_EQ(bandsOf(*o), before);
            hold->release();
            ASSERT_TRUE(a.finishRun());
            EXPECT_EQ(a.box(), nullptr);
            EXPECT_EQ(a.work(), nullptr) << "the second pass found every level cached";
        }
        EXPECT_EQ(unmeasured(*o), 0u);
        EXPECT_TRUE(boxes.empty());
        const size_t moved = changedCount(before, bandsOf(*o));
        if (c.alt)
            EXPECT_EQ(moved, 1u) << "a kit of direct samples only: one sample per linked set";
        else
            EXPECT_EQ(moved, fullMoves);
        // One undo step named by the command, which restores every band.
        ASSERT_TRUE(o->undoManager().canUndo());
        EXPECT_EQ(o->undoManager().getUndoDescription(), "Move samples");
        o->undoManager().undo();
        EXPECT_EQ(bandsOf(*o), before);
        EXPECT_FALSE(o->undoManager().canUndo());
    }
}

TEST_F(HitAnalysisTest, ASortThatMovesNothingAddsNoStep) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    measureAll(*o);
    a.autoSort().onClick();
    EXPECT_EQ(o->undoManager().getUndoDescriptions(), juce::StringArray{"Move samples"});
    const auto sorted = bandsOf(*o);
    a.autoSort().onClick();
    EXPECT_EQ(bandsOf(*o), sorted);
    EXPECT_EQ(o->undoManager().getUndoDescriptions(), juce::StringArray{"Move samples"});
}

TEST_F(HitAnalysisTest, CancelDropsTheRunAndStartsNoOtherUntilAsked) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    Hold hold(4);
    a.autoSort().onClick();
    ASSERT_TRUE(hold.waitReached());
    ASSERT_NE(a.box(), nullptr);
    const auto run = a.work();
    const auto before = bandsOf(*o);

    auto& cancel = a.box()->cancelButton;
    EXPECT_EQ(cancel.getButtonText(), "Cancel");
    EXPECT_TRUE(cancel.isEnabled());
    cancel.onClick();
    EXPECT_EQ(cancel.getButtonText(), "Canceling");
    EXPECT_FALSE(cancel.isEnabled());
    EXPECT_TRUE(run->cancel.load());
    EXPECT_FALSE(run->applyWhenDone);
    // The box stays until the thread has stopped; AUTO-SORT meanwhile adds
    // nothing to a run being cancelled.
    a.autoSort().onClick();
    EXPECT_FALSE(run->applyWhenDone);
    EXPECT_EQ(a.work(), run);

    ASSERT_TRUE(a.finishRun());
    EXPECT_TRUE(hold.sawCancel());
    EXPECT_EQ(hold.lastFinished(), 4u) << "no sample measured after the cancel";
    EXPECT_EQ(a.box(), nullptr);
    EXPECT_EQ(bandsOf(*o), before);
    EXPECT_EQ(unmeasured(*o), 12u) << "levels measured before the cancel are dropped";
    EXPECT_FALSE(o->undoManager().canUndo());
    EXPECT_TRUE(boxes.empty());

    // The samples did not change: no new run, however often it ticks.
    for (int i = 0; i < 3; ++i) a.poll();
    EXPECT_EQ(a.work(), nullptr);

    // AUTO-SORT again starts one.
    hold.release();
    a.autoSort().onClick();
    ASSERT_NE(a.work(), nullptr);
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(unmeasured(*o), 0u);
    EXPECT_NE(bandsOf(*o), before);
}

TEST_F(HitAnalysisTest, ChangedSamplesAfterACancelStartARunByThemselves) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    {
        Hold hold(2);
        a.poll();
        ASSERT_TRUE(hold.waitReached());
        a.work()->cancel.exchange(true);
        ASSERT_TRUE(a.finishRun());
    }
    a.poll();
    EXPECT_EQ(a.work(), nullptr);
    const std::vector<float> audio(4000, 0.25f);
    ASSERT_NE(o->viewModel.addSampleFromPcm("added", audio, 1, 44100, 0.25, 0, 0, -1, fmt::HitLevel::unmeasured(), false),
              0u);
    a.poll();
    ASSERT_NE(a.work(), nullptr);
    EXPECT_EQ(a.work()->job.rows.size(), 13u);
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(unmeasured(*o), 0u);
}

TEST_F(HitAnalysisTest, ASampleAddedDuringARunIsMeasuredByASecondRun) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    Hold hold(6);
    a.poll();
    ASSERT_TRUE(hold.waitReached());
    const std::vector<float> audio(4000, 0.25f);
    const uint64_t added =
        o->viewModel.addSampleFromPcm("added", audio, 1, 44100, 0.25, 0, 0, -1, fmt::HitLevel::unmeasured(), false);
    ASSERT_NE(added, 0u);
    hold.release();
    ASSERT_TRUE(a.finishRun());
    // The first run's results still apply; the new sample waits for the next.
    EXPECT_EQ(unmeasured(*o), 1u);
    EXPECT_FALSE(o->document().sampleByUid(added)->hitLevel.measured);
    EXPECT_EQ(a.work(), nullptr);
    a.poll();
    ASSERT_NE(a.work(), nullptr);
    ASSERT_EQ(a.work()->job.rows.size(), 1u);
    EXPECT_EQ(a.work()->job.rows[0].uid, added);
    ASSERT_TRUE(a.finishRun());
    EXPECT_TRUE(o->document().sampleByUid(added)->hitLevel.measured);
}

TEST_F(HitAnalysisTest, AReloadDuringARunDropsTheStaleResultsAndMeasuresAfresh) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    Hold hold(5);
    a.autoSort().onClick();  // a sort request rides on the stale run and is dropped with it
    ASSERT_TRUE(hold.waitReached());
    const auto before = bandsOf(*o);
    o->reloadFromSource();
    hold.release();
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(a.box(), nullptr);
    EXPECT_EQ(a.contentStamp(), -1);
    EXPECT_EQ(unmeasured(*o), 12u) << "nothing of the stale run is stored";
    EXPECT_TRUE(o->viewModel.levelCache.empty());
    EXPECT_FALSE(o->undoManager().canUndo());
    a.poll();
    ASSERT_NE(a.work(), nullptr);
    EXPECT_FALSE(a.work()->applyWhenDone);
    EXPECT_EQ(a.work()->job.sourceGeneration, o->viewModel.sourceGeneration);
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(unmeasured(*o), 0u);
    EXPECT_EQ(bandsOf(*o), before);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(HitAnalysisTest, NoDocumentOrAFailedOpenDoesNothing) {
    struct Case {
        const char* what;
        std::function<std::unique_ptr<ZemEditOverlay>()> make;
    };
    const Case cases[] = {
        {"a failed open",
         [&] {
             const std::string bad = dir.write("bad.zem", fmt::Bytes(300, 7));
             return overlayFor(bad);
         }},
        {"no document",
         [&] {
             auto o = overlayFor(kit("nodoc.zem"));
             o->viewModel.openState = 0;
             return o;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto o = c.make();
        HitAnalysisTestAccess a(*o);
        a.autoSort().onClick();
        a.poll();
        EXPECT_EQ(a.work(), nullptr);
        EXPECT_EQ(a.box(), nullptr);
        EXPECT_FALSE(a.threadJoinable());
        EXPECT_EQ(a.contentStamp(), -1);
        EXPECT_FALSE(o->undoManager().canUndo());
        EXPECT_TRUE(boxes.empty());
    }
}

// Opening another file, RESET, close and quit destroy the overlay: it tells
// the run to stop and returns at once, however long the sample in hand takes.
// The thread, holding its own share of the run, ends by itself and is joined
// off the message thread; its next look at the cancel flag stops it.
TEST_F(HitAnalysisTest, DestroyingTheOverlayMidRunDoesNotWaitForTheThread) {
    const std::string path = kit();
    Hold hold(3, false, true);
    auto o = overlayFor(path);
    HitAnalysisTestAccess a(*o);
    a.autoSort().onClick();
    ASSERT_TRUE(hold.waitReached());
    const std::weak_ptr<ZemEditOverlay::HitSortWork> run = a.work();
    o.reset();
    EXPECT_FALSE(hold.letGo()) << "the destructor waited for the analysis";
    EXPECT_FALSE(run.expired()) << "the thread keeps its run alive";

    hold.release();
    joinRetiredHitThreads();
    EXPECT_TRUE(hold.letGo());
    EXPECT_TRUE(hold.sawCancel());
    EXPECT_EQ(hold.lastFinished(), 3u) << "no sample measured after the cancel";
    EXPECT_TRUE(run.expired()) << "the thread dropped its references when it ended";
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(std::filesystem::exists(path));
}

// --- Failures ----------------------------------------------------------------------

TEST_F(HitAnalysisTest, AnUnreadableSampleStopsTheSortAndSaysSo) {
    const std::string path = kit();
    damagePayload(path, 4);
    auto o = overlayFor(path);
    HitAnalysisTestAccess a(*o);
    const auto before = bandsOf(*o);
    a.autoSort().onClick();
    ASSERT_NE(a.box(), nullptr);
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(a.box(), nullptr);
    EXPECT_EQ(bandsOf(*o), before) << "nothing moved";
    EXPECT_FALSE(o->undoManager().canUndo());
    EXPECT_EQ(unmeasured(*o), 1u) << "the other levels are kept";
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Auto Sort");
    EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(maker::analysisErrorText(1).c_str()));
    EXPECT_TRUE(boxes[0].message.startsWith("Could not analyze 1 sample. No samples were moved."));
    EXPECT_TRUE(boxes[0].message.contains("422"));
    EXPECT_EQ(boxes[0].icon, juce::MessageBoxIconType::WarningIcon);
    EXPECT_EQ(boxes[0].buttons, juce::StringArray{"OK"});
    EXPECT_EQ(boxes[0].associated, o.get());

    // A background run with the same failure says nothing.
    boxes.clear();
    const std::vector<float> audio(4000, 0.25f);
    o->viewModel.addSampleFromPcm("added", audio, 1, 44100, 0.25, 0, 0, -1, fmt::HitLevel::unmeasured(), false);
    a.poll();
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(unmeasured(*o), 1u);
    EXPECT_TRUE(boxes.empty());
}

TEST_F(HitAnalysisTest, AnExceptionInTheAnalysisKeepsEarlierResultsAndWarns) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    Hold hold(3, true);
    const auto before = bandsOf(*o);
    a.autoSort().onClick();
    const auto run = a.work();
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(run->error, "analysis threw");
    EXPECT_EQ(run->progress.load(), 3u);
    EXPECT_EQ(unmeasured(*o), 9u) << "the three samples measured before it are stored";
    EXPECT_EQ(bandsOf(*o), before);
    EXPECT_FALSE(o->undoManager().canUndo());
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Auto Sort");
    EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(maker::analysisErrorText(0).c_str()));
    EXPECT_EQ(a.box(), nullptr);
}

TEST_F(HitAnalysisTest, AThreadThatCannotStartLeavesNoRunBehind) {
    struct Case {
        const char* what;
        bool apply;
        size_t warnings;
    };
    const Case cases[] = {
        {"background run: no message", false, 0},
        {"AUTO-SORT: the warning", true, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        boxes.clear();
        int starts = 0;
        setHitThreadStarter([&](std::function<void()>) -> std::thread {
            ++starts;
            throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
        });
        auto o = overlayFor(kit());
        HitAnalysisTestAccess a(*o);
        if (c.apply)
            a.autoSort().onClick();
        else
            a.poll();
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(a.work(), nullptr);
        EXPECT_EQ(a.box(), nullptr);
        EXPECT_FALSE(a.threadJoinable());
        ASSERT_EQ(boxes.size(), c.warnings);
        if (c.warnings > 0) {
            EXPECT_EQ(boxes[0].title, "Auto Sort");
            EXPECT_EQ(boxes[0].message, juce::String::fromUTF8(maker::analysisErrorText(0).c_str()));
        }
        // The stamps were taken: the tick does not retry every 100 ms.
        EXPECT_EQ(a.contentStamp(), static_cast<int64_t>(o->document().generation));
        for (int i = 0; i < 3; ++i) a.poll();
        EXPECT_EQ(starts, 1);

        // AUTO-SORT pressed again retries, and once threads start it works.
        setHitThreadStarter({});
        a.autoSort().onClick();
        ASSERT_NE(a.work(), nullptr);
        ASSERT_NE(a.box(), nullptr);
        ASSERT_TRUE(a.finishRun());
        EXPECT_EQ(unmeasured(*o), 0u);
        EXPECT_TRUE(o->undoManager().canUndo());
    }
}

// --- The box -----------------------------------------------------------------------

TEST_F(HitAnalysisTest, TheBoxLayoutAndPaint) {
    HitSortProgress box;
    box.resized();
    EXPECT_EQ(box.getBounds(), juce::Rectangle<int>(0, 0, 380, 132));
    EXPECT_EQ(box.bar.getBounds(), juce::Rectangle<int>(20, 52, 340, 20));
    EXPECT_EQ(box.cancelButton.getBounds(), juce::Rectangle<int>(145, 88, 90, 30));
    EXPECT_EQ(box.cancelButton.getButtonText(), "Cancel");
    EXPECT_EQ(box.cancelButton.style(), 0);
    EXPECT_TRUE(box.bar.isVisible());
    EXPECT_TRUE(box.cancelButton.isVisible());
    EXPECT_DOUBLE_EQ(box.progress, 0.0);

    // Fill and outline as the themed box paints them; the title in the
    // primary text colour within its rectangle only.
    const auto image = test::render(box, juce::Colours::black);
    const auto fill = themeColour(ThemeColour::surfaceRaised);
    EXPECT_EQ(fill.getARGB(), 0xFF132844u);
    EXPECT_TRUE(test::nearColour(image.getPixelAt(10, 80), fill));
    EXPECT_TRUE(test::nearColour(image.getPixelAt(370, 120), fill));
    const auto reference = test::draw(380, 132, [](juce::Graphics& g) {
        g.fillAll(juce::Colours::black);
        widgets::paintThemedBox(g, {0.0f, 0.0f, 380.0f, 132.0f}, 16.0f, ThemeColour::surfaceRaised);
    });
    for (const auto& p : {juce::Point<int>(190, 0), juce::Point<int>(0, 66), juce::Point<int>(379, 66),
                          juce::Point<int>(190, 131), juce::Point<int>(2, 2)})
        EXPECT_EQ(image.getPixelAt(p.x, p.y), reference.getPixelAt(p.x, p.y)) << p.toString();
    const auto text = themeColour(ThemeColour::textPrimary);
    bool titleInside = false, titleOutside = false;
    for (int y = 0; y < 52; ++y)
        for (int x = 0; x < 380; ++x) {
            if (!test::nearColour(image.getPixelAt(x, y), text, 40)) continue;
            if (juce::Rectangle<int>(16, 16, 348, 28).contains(x, y))
                titleInside = true;
            else
                titleOutside = true;
        }
    EXPECT_TRUE(titleInside);
    EXPECT_FALSE(titleOutside);

    // Half done: the bar's fill is the accent, its empty part the field colour,
    // both unlike the box around them.
    box.progress = 0.5;
    box.bar.setVisible(false);
    box.bar.setVisible(true);
    test::pumpFor(100);
    const auto half = test::render(box, juce::Colours::black);
    const auto filled = half.getPixelAt(20 + 60, 62), empty = half.getPixelAt(20 + 300, 62);
    EXPECT_TRUE(test::nearColour(filled, themeColour(ThemeColour::accent), 24)) << filled.toDisplayString(true);
    EXPECT_FALSE(test::nearColour(filled, fill, 24));
    EXPECT_FALSE(test::nearColour(filled, empty, 24));
}

TEST_F(HitAnalysisTest, TheBoxIsCentredWithItsGlowAndFollowsResizes) {
    auto o = overlayFor(kit());
    HitAnalysisTestAccess a(*o);
    Hold hold(1);
    const auto without = test::render(*o);
    a.autoSort().onClick();
    ASSERT_TRUE(hold.waitReached());
    ASSERT_NE(a.box(), nullptr);
    EXPECT_EQ(a.box()->getBounds(), juce::Rectangle<int>(450, 278, 380, 132));
    EXPECT_TRUE(a.box()->hasKeyboardFocus(true) || !o->isShowing());
    // The accent glow just outside the box is the overlay's own paint.
    const auto with = test::render(*o);
    EXPECT_NE(with.getPixelAt(447, 344), without.getPixelAt(447, 344));
    EXPECT_NE(with.getPixelAt(640, 275), without.getPixelAt(640, 275));
    o->setSize(1000, 600);
    EXPECT_EQ(a.box()->getBounds(), juce::Rectangle<int>(310, 234, 380, 132));
    hold.release();
    ASSERT_TRUE(a.finishRun());
    EXPECT_EQ(a.box(), nullptr);
}

// --- The running program -----------------------------------------------------------

TEST_F(HitAnalysisTest, InTheWindowAutoSortShowsTheBoxSortsAndTheShellUndoes) {
    test::ScopedFakeAudio fake;
    auto main = std::make_unique<maker::MainComponent>();
    main->setSize(1280, 780);
    maker::MainComponentTestAccess shell(*main);
    Hold hold(2);
    main->mount(juce::File(juce::String::fromUTF8(kit().c_str())), nullptr);
    auto* o = main->overlay();
    ASSERT_NE(o, nullptr);
    HitAnalysisTestAccess a(*o);
    ASSERT_TRUE(a.ticking());
    // The tick starts the background run by itself, without a box.
    ASSERT_TRUE(hold.waitReached());
    EXPECT_EQ(a.box(), nullptr);
    const auto before = bandsOf(*o);

    a.autoSort().onClick();
    ASSERT_NE(a.box(), nullptr);
    EXPECT_EQ(a.box()->getBounds() + o->getPosition(), juce::Rectangle<int>(450, 327, 380, 132));
    ASSERT_TRUE(pumpUntil([&] { return a.box()->progress > 0.0; }));
    EXPECT_DOUBLE_EQ(a.box()->progress, 2.0 / 12.0);
    hold.release();
    ASSERT_TRUE(pumpUntil([&] { return a.box() == nullptr; }, 10000));
    EXPECT_EQ(unmeasured(*o), 0u);
    EXPECT_NE(bandsOf(*o), before);
    EXPECT_TRUE(boxes.empty());

    ASSERT_EQ(shell.undoManager(), &o->undoManager());
    EXPECT_EQ(o->undoManager().getUndoDescription(), "Move samples");
    ASSERT_TRUE(pumpUntil([&] { return shell.undo().isEnabled(); }));
    shell.undo().triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return bandsOf(*o) == before; }));
    EXPECT_FALSE(o->undoManager().canUndo());

    // A remount destroys the overlay mid-run: it cancels without waiting.
    Hold again(0);
    o->viewModel.addSampleFromPcm("added", std::vector<float>(4000, 0.25f), 1, 44100, 0.25, 0, 0, -1,
                                  fmt::HitLevel::unmeasured(), false);
    o->refreshAfterCommand();  // as every road that adds samples does
    ASSERT_TRUE(again.waitReached());
    setHitAnalysisHook({});  // the held run keeps its copy; the next overlay's runs go free
    main->mount(juce::File(juce::String::fromUTF8(kit("second.zem").c_str())), nullptr);
    joinRetiredHitThreads();
    EXPECT_TRUE(again.sawCancel());
    main.reset();
}

// An idle window runs no timer: the hit tick, the shell's status tick and the
// animation clock sleep once their work is done, and the next change wakes
// what it needs (Undo follows the history without polling).
TEST_F(HitAnalysisTest, AnIdleWindowSleepsUntilSomethingHappens) {
    test::ScopedFakeAudio fake;
    auto main = std::make_unique<maker::MainComponent>();
    main->setSize(1280, 780);
    main->addToDesktop(0);
    main->setVisible(true);
    maker::MainComponentTestAccess shell(*main);
    main->mount(juce::File(juce::String::fromUTF8(kit().c_str())), nullptr);
    auto* o = main->overlay();
    ASSERT_NE(o, nullptr);
    HitAnalysisTestAccess a(*o);
    auto& clock = main->animationClock();

    ASSERT_TRUE(pumpUntil([&] { return unmeasured(*o) == 0 && !a.ticking(); }, 10000));
    ASSERT_TRUE(pumpUntil([&] { return !clock.isTimerRunning(); }));
    EXPECT_FALSE(main->isTimerRunning());

    // An edit through the history: the shell's Undo lights without a tick.
    const auto before = bandsOf(*o);
    a.autoSort().onClick();
    ASSERT_NE(bandsOf(*o), before);
    EXPECT_TRUE(a.ticking());  // woken to look for unmeasured samples
    ASSERT_TRUE(pumpUntil([&] { return shell.undo().isEnabled(); }));
    EXPECT_FALSE(main->isTimerRunning());
    ASSERT_TRUE(pumpUntil([&] { return !a.ticking(); }));

    // A sample touched by an edit is repainted by the clock, which then sleeps.
    o->document().touchUid(o->document().samples.front().uid);
    a.wake();
    EXPECT_TRUE(clock.isTimerRunning());
    ASSERT_TRUE(pumpUntil([&] { return !clock.isTimerRunning(); }));
    EXPECT_TRUE(o->document().touchedUids.empty());

    // Work in the shell ticks its progress, and the tick ends with the work.
    shell.setBusy(true, true);
    EXPECT_TRUE(main->isTimerRunning());
    shell.setBusy(false);
    ASSERT_TRUE(pumpUntil([&] { return !main->isTimerRunning(); }));

    shell.undo().triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return bandsOf(*o) == before; }));
    ASSERT_TRUE(pumpUntil([&] { return !shell.undo().isEnabled(); }));
    main.reset();
}

}  // namespace
}  // namespace vt6::ui::zemedit
