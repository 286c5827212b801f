#include "editor/logic/history.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "editor/logic/edit_document.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

// A command with a chosen cost and outcome that records what ran.
struct ProbeCmd final : ZemCmd {
    uint64_t bytes;
    bool succeeds;
    std::vector<std::string>* log;
    std::string tag;
    int* destroyed;

    ProbeCmd(uint64_t b, bool ok, std::vector<std::string>* l = nullptr, std::string t = {}, int* d = nullptr)
        : bytes(b), succeeds(ok), log(l), tag(std::move(t)), destroyed(d) {}
    ~ProbeCmd() override {
        if (destroyed != nullptr) ++*destroyed;
    }
    bool apply(EditDocument&) override {
        if (log != nullptr) log->push_back("apply " + tag);
        return succeeds;
    }
    bool revert(EditDocument&) override {
        if (log != nullptr) log->push_back("revert " + tag);
        return true;
    }
    uint64_t cost() const override { return bytes; }
    const char* name() const override { return "Probe"; }
};

struct RecordingSink final : ZemHistorySink {
    int calls = 0;
    bool execute(ZemCmdPtr command, EditDocument& doc) override {
        ++calls;
        return command->apply(doc);
    }
};

TEST(EditHistoryTest, FailedApplyIsDestroyedButStillCountsAsAChange) {
    EditDocument doc;
    int destroyed = 0;
    ASSERT_TRUE(doc.execute(std::make_unique<ProbeCmd>(100, true)));
    const uint64_t changes = doc.changeCounter;
    EXPECT_FALSE(doc.execute(std::make_unique<ProbeCmd>(100, false, nullptr, "", &destroyed)));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(doc.changeCounter, changes + 1);
    EXPECT_EQ(doc.history.undoEntries.size(), 1u);
    EXPECT_FALSE(doc.execute(nullptr));
    EXPECT_EQ(doc.changeCounter, changes + 2);
}

TEST(EditHistoryTest, KeepsSixtyEntriesDroppingTheOldest) {
    EditDocument doc;
    for (uint64_t i = 0; i < 61; ++i) ASSERT_TRUE(doc.execute(std::make_unique<ProbeCmd>(100 + i, true)));
    ASSERT_EQ(doc.history.undoEntries.size(), 60u);
    EXPECT_EQ(doc.history.undoEntries.front().cost, 101u);
    EXPECT_EQ(doc.history.undoEntries.back().cost, 160u);
}

TEST(EditHistoryTest, ByteBudgetIsEnforcedDownToOneEntry) {
    struct Case {
        std::vector<uint64_t> costs;
        std::vector<uint64_t> kept;
    };
    const uint64_t mib = 1024 * 1024;
    const std::vector<Case> cases{
        {{10 * mib, 10 * mib}, {10 * mib}},
        {{20 * mib}, {20 * mib}},
        {{8 * mib, 8 * mib}, {8 * mib, 8 * mib}},
        {{8 * mib, 8 * mib, 1}, {8 * mib, 1}},
        {{1, 2, 16 * mib}, {16 * mib}},
    };
    for (const Case& c : cases) {
        EditDocument doc;
        for (uint64_t cost : c.costs) ASSERT_TRUE(doc.execute(std::make_unique<ProbeCmd>(cost, true)));
        std::vector<uint64_t> kept;
        for (const HistoryEntry& e : doc.history.undoEntries) kept.push_back(e.cost);
        EXPECT_EQ(kept, c.kept);
    }
}

TEST(EditHistoryTest, SuccessfulExecuteEmptiesTheRedoList) {
    EditDocument doc;
    int destroyed = 0;
    doc.history.redoEntries.push_back({std::make_unique<ProbeCmd>(1, true, nullptr, "", &destroyed), 1});
    ASSERT_FALSE(doc.execute(std::make_unique<ProbeCmd>(1, false)));
    EXPECT_EQ(doc.history.redoEntries.size(), 1u);
    ASSERT_TRUE(doc.execute(std::make_unique<ProbeCmd>(1, true)));
    EXPECT_TRUE(doc.history.redoEntries.empty());
    EXPECT_EQ(destroyed, 1);
}

TEST(EditHistoryTest, ExternalSinkReplacesTheEmbeddedHistory) {
    EditDocument doc;
    RecordingSink sink;
    doc.historySink = &sink;
    std::vector<std::string> log;
    EXPECT_TRUE(doc.execute(std::make_unique<ProbeCmd>(1, true, &log, "a")));
    EXPECT_EQ(sink.calls, 1);
    EXPECT_EQ(log, std::vector<std::string>{"apply a"});
    EXPECT_TRUE(doc.history.undoEntries.empty());
    EXPECT_EQ(doc.changeCounter, 1u);
}

} // namespace
} // namespace vt6::ui::zemedit::logic
