#include "editor/logic/juce/juce_history_sink.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "editor/logic/doc_fixture.hpp"
#include "editor/logic/sample_commands.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using test::addLoaded;
using test::measuredLevel;
using test::shape;

struct ProbeCmd final : ZemCmd {
    std::vector<std::string>* log;
    std::string tag;
    bool succeeds;
    uint64_t bytes;
    ProbeCmd(std::vector<std::string>* l, std::string t, bool ok = true, uint64_t b = 10)
        : log(l), tag(std::move(t)), succeeds(ok), bytes(b) {}
    bool apply(EditDocument&) override {
        log->push_back("apply " + tag);
        return succeeds;
    }
    bool revert(EditDocument&) override {
        log->push_back("revert " + tag);
        return true;
    }
    uint64_t cost() const override { return bytes; }
    const char* name() const override { return tag.c_str(); }
};

struct JuceSinkTest : ::testing::Test {
    EditDocument doc;
    JuceZemHistorySink sink;
    std::vector<std::string> log;
    JuceSinkTest() { doc.historySink = &sink; }
    ~JuceSinkTest() override { juce::MessageManager::deleteInstance(); }
    bool run(const std::string& tag, bool ok = true) { return doc.execute(std::make_unique<ProbeCmd>(&log, tag, ok)); }
};

TEST_F(JuceSinkTest, UngroupedCommandsAreOneStepEachNamedByTheCommand) {
    ASSERT_TRUE(run("first"));
    ASSERT_TRUE(run("second"));
    EXPECT_EQ(sink.undoManager.getNumActionsInCurrentTransaction(), 1);
    EXPECT_EQ(sink.undoManager.getUndoDescription(), "second");
    ASSERT_TRUE(sink.undoManager.undo());
    EXPECT_EQ(sink.undoManager.getUndoDescription(), "first");
    ASSERT_TRUE(sink.undoManager.redo());
    EXPECT_EQ(log, (std::vector<std::string>{"apply first", "apply second", "revert second", "apply second"}));
}

TEST_F(JuceSinkTest, GroupIsOneStepUndoneInReverseOrder) {
    sink.undoManager.beginNewTransaction("Import samples");
    sink.grouping = 1;
    for (const char* tag : {"a", "b", "c"}) ASSERT_TRUE(run(tag));
    sink.endGroup();
    ASSERT_TRUE(run("after"));
    ASSERT_TRUE(sink.undoManager.undo());
    EXPECT_EQ(sink.undoManager.getUndoDescription(), "Import samples");
    log.clear();
    ASSERT_TRUE(sink.undoManager.undo());
    EXPECT_EQ(log, (std::vector<std::string>{"revert c", "revert b", "revert a"}));
    EXPECT_FALSE(sink.undoManager.canUndo());
    log.clear();
    ASSERT_TRUE(sink.undoManager.redo());
    EXPECT_EQ(log, (std::vector<std::string>{"apply a", "apply b", "apply c"}));
}

TEST_F(JuceSinkTest, FailedOrEmptyCommandRecordsNothing) {
    sink.endGroup();  // harmless without an opener
    const uint64_t changes = doc.changeCounter;
    EXPECT_FALSE(run("refused", false));
    EXPECT_FALSE(doc.execute(nullptr));
    EXPECT_EQ(doc.changeCounter, changes + 2);
    EXPECT_FALSE(sink.undoManager.canUndo());
    EXPECT_TRUE(doc.history.undoEntries.empty());
}

TEST_F(JuceSinkTest, UndoAndRedoOfASampleMoveThroughTheUndoManager) {
    shape(doc, {false}, 1, 3);
    const uint64_t uid = addLoaded(doc, 0, 0, 0, measuredLevel(-20));
    const test::Snapshot before = test::snapshot(doc);
    const std::vector<uint64_t> uids{uid};
    ASSERT_TRUE(doc.moveSamples(uids, 2));
    const test::Snapshot after = test::snapshot(doc);
    EXPECT_EQ(sink.undoManager.getUndoDescription(), "Move samples");
    ASSERT_TRUE(sink.undoManager.undo());
    EXPECT_TRUE(test::snapshot(doc) == before);
    ASSERT_TRUE(sink.undoManager.redo());
    EXPECT_TRUE(test::snapshot(doc) == after);
}

TEST(ZemCmdActionTest, SizeInUnitsIsTheCostInKibibytesAtLeastOne) {
    EditDocument doc;
    std::vector<std::string> log;
    for (const auto& [cost, units] : std::vector<std::pair<uint64_t, int>>{{0, 1}, {2047, 1}, {2048, 2}, {1048576, 1024}}) {
        ZemCmdAction action(std::make_unique<ProbeCmd>(&log, "x", true, cost), &doc);
        EXPECT_EQ(action.getSizeInUnits(), units) << cost;
    }
    ZemCmdAction empty(nullptr, &doc);
    EXPECT_EQ(empty.getSizeInUnits(), 1);
    EXPECT_FALSE(empty.perform());
    EXPECT_FALSE(empty.undo());
}

} // namespace
} // namespace vt6::ui::zemedit::logic
