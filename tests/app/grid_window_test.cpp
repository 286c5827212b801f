// The band grid through the real main component in a real window: opening a
// kit, then selecting, auditioning, muting, renaming and dragging boundaries
// with mouse events delivered through the window's peer.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "widgets/message_boxes.hpp"
#include "app/settings.hpp"
#include "editor/ui/band_grid_access.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/peer_mouse.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"

namespace vt6::maker {
namespace {

using test::pumpUntil;
using ui::zemedit::BandGridTestAccess;
using P = juce::Point<float>;

juce::Button& mainButton(MainComponent& main, const juce::String& name) {
    for (auto* child : main.getChildren())
        if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getName() == name) return *b;
    throw std::runtime_error("no button " + name.toStdString());
}

struct GridWindowTest : ::testing::Test {
    test::TempDir files, temporary;
    std::string previousTmp;
    std::vector<juce::String> boxes;
    juce::File answer;
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    std::unique_ptr<MainComponent> main;
    std::unique_ptr<test::PeerMouse> mouse;

    void SetUp() override {
        if (const char* tmp = std::getenv("TMPDIR")) previousTmp = tmp;
        setenv("TMPDIR", temporary.root().c_str(), 1);
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            boxes.push_back(o.getTitle());
            if (done) done(0);
        });
        setFileChooserPresenter([this](const FileChooserRequest&, std::function<void(const juce::File&)> done) {
            done(answer);
        });
        main = std::make_unique<MainComponent>();
        main->addToDesktop(0);
        main->setVisible(true);
        pumpUntil([&] { return main->getPeer() != nullptr && main->isShowing(); }, 2000);
        mouse = std::make_unique<test::PeerMouse>(test::PeerMouse{*main});

        answer = juce::File(test::writeKit(files.path("kit.zem"), 12, 4));
        mainButton(*main, "OPEN ZEM").onClick();
        ASSERT_TRUE(pumpUntil([&] { return !main->isBusy() && main->overlay() != nullptr; }, 20000));
    }
    void TearDown() override {
        main->removeFromDesktop();
        main.reset();
        test::pumpFor(20);
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
        if (previousTmp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", previousTmp.c_str(), 1);
    }

    ui::zemedit::ZemEditOverlay& overlay() { return *main->overlay(); }
    ui::zemedit::logic::EditDocument& doc() { return overlay().document(); }
    BandGridTestAccess grid() { return BandGridTestAccess(overlay()); }
    ui::zemedit::ZemChip& chip(size_t column, size_t k) { return *grid().columns()[column]->chips[k]; }
    // A point of a component in the window's coordinates.
    P at(juce::Component& c, int x, int y) { return main->getLocalPoint(&c, juce::Point<int>(x, y)).toFloat(); }
    std::vector<uint64_t> selection() {
        std::vector<uint64_t> s(doc().selection.begin(), doc().selection.end());
        std::sort(s.begin(), s.end());
        return s;
    }
};

TEST_F(GridWindowTest, ClicksSelectAndClear) {
    auto& a = chip(0, 0);
    auto& b = chip(0, 1);
    auto& c = chip(1, 0);
    struct Step {
        const char* name;
        std::function<void()> act;
        std::vector<uint64_t> want;
    };
    const std::vector<Step> steps = {
        {"click", [&] { mouse->gesture(at(a, 30, 11)); }, {a.uid}},
        {"ctrl adds", [&] { mouse->gesture(at(c, 30, 11), {}, false, juce::ModifierKeys::ctrlModifier); },
         {a.uid, c.uid}},
        {"plain click replaces", [&] { mouse->gesture(at(b, 30, 11)); }, {b.uid}},
        {"empty column space clears", [&] { mouse->gesture(at(*grid().columns()[2], 40, 300)); }, {}},
        {"select again", [&] { mouse->gesture(at(a, 30, 11)); }, {a.uid}},
        {"the overlay's background clears",
         [&] { mouse->gesture(at(overlay(), 20, overlay().getHeight() - 3)); }, {}},
    };
    for (const auto& s : steps) {
        s.act();
        EXPECT_EQ(selection(), s.want) << s.name;
    }
    mouse->gesture(at(a, 30, 11));
    EXPECT_TRUE(chip(0, 0).selected);
    // The play zone auditions on the device and leaves the selection.
    auto* device = test::fakeDevice(main->audition().deviceManager());
    ASSERT_NE(device, nullptr);
    const auto zones = ui::zemedit::chipZones(b.getWidth(), false);
    mouse->gesture(at(b, zones.playX + 5, 11));
    device->render(512);
    EXPECT_TRUE(std::any_of(device->left.begin(), device->left.end(), [](float v) { return v != 0.0f; }));
    EXPECT_EQ(selection(), std::vector<uint64_t>{a.uid});
}

TEST_F(GridWindowTest, MuteAndTheShellsUndo) {
    auto& a = chip(0, 0);
    const uint64_t uid = a.uid;
    const auto zones = ui::zemedit::chipZones(a.getWidth(), false);
    mouse->gesture(at(a, zones.muteX + 6, 11));
    EXPECT_EQ(doc().sampleByUid(uid)->muted, 1);
    EXPECT_TRUE(chip(0, 0).silenced);
    EXPECT_TRUE(selection().empty());
    EXPECT_EQ(overlay().undoManager().getUndoDescription(), "Mute sample");
    pumpUntil([&] { return mainButton(*main, "Undo").isEnabled(); }, 1000);
    mainButton(*main, "Undo").triggerClick();
    ASSERT_TRUE(pumpUntil([&] { return doc().sampleByUid(uid)->muted == 0; }, 2000));
    EXPECT_TRUE(pumpUntil([&] { return !chip(0, 0).silenced; }, 2000));
}

TEST_F(GridWindowTest, DoubleClickOnTheTitleRowRenames) {
    auto& column = *grid().columns()[1];
    const auto p = at(column, 30, 6);
    mouse->send(p, {}, 1000);
    mouse->send(p, test::PeerMouse::held(false));
    mouse->send(p, {});
    mouse->send(p, test::PeerMouse::held(false));
    mouse->send(p, {});
    ASSERT_TRUE(column.renameEditor.isVisible());
    column.renameEditor.setText("  soft ");
    column.renameEditor.keyPressed(juce::KeyPress(juce::KeyPress::returnKey));
    ASSERT_TRUE(pumpUntil([&] { return doc().bands[1].name == "Soft"; }, 2000));
    EXPECT_EQ(overlay().undoManager().getUndoDescription(), "Rename dynamic");
    // Same column object: no rebuild for a rename.
    EXPECT_EQ(grid().columns()[1].get(), &column);
    EXPECT_EQ(column.getTitle(), "Soft");
}

// The box opens with the old name selected, so typing replaces it; Escape
// closes it without renaming.
TEST_F(GridWindowTest, RenameBoxReplacesTheOldNameAndEscapeCancels) {
    auto& column = *grid().columns()[1];
    const auto p = at(column, 30, 6);
    const auto doubleClick = [&] {
        mouse->send(p, {}, 1000);
        mouse->send(p, test::PeerMouse::held(false));
        mouse->send(p, {});
        mouse->send(p, test::PeerMouse::held(false));
        mouse->send(p, {});
    };
    const auto type = [&](const juce::String& text) {
        for (const auto c : text) column.renameEditor.keyPressed(juce::KeyPress(0, 0, c));
    };
    doubleClick();
    ASSERT_TRUE(column.renameEditor.isVisible());
    EXPECT_EQ(column.renameEditor.getText(), "G2");
    EXPECT_EQ(column.renameEditor.getHighlightedRegion(), juce::Range<int>(0, 2));
    type("ghost notes");
    column.renameEditor.keyPressed(juce::KeyPress(juce::KeyPress::returnKey));
    ASSERT_TRUE(pumpUntil([&] { return !column.renameEditor.isVisible(); }, 2000));
    EXPECT_EQ(doc().bands[1].name, "Ghost notes");

    const auto steps = overlay().undoManager().getNumActionsInCurrentTransaction();
    const auto undoName = overlay().undoManager().getUndoDescription();
    doubleClick();
    ASSERT_TRUE(column.renameEditor.isVisible());
    EXPECT_EQ(column.renameEditor.getHighlightedRegion(), juce::Range<int>(0, 11));
    type("x");
    column.renameEditor.keyPressed(juce::KeyPress(juce::KeyPress::escapeKey));
    EXPECT_TRUE(pumpUntil([&] { return !column.renameEditor.isVisible(); }, 2000));
    test::pumpFor(50);
    EXPECT_EQ(doc().bands[1].name, "Ghost notes");
    EXPECT_EQ(overlay().undoManager().getUndoDescription(), undoName);
    EXPECT_EQ(overlay().undoManager().getNumActionsInCurrentTransaction(), steps);
}

TEST_F(GridWindowTest, BoundaryDragIsLiveAndOneStep) {
    auto g = grid();
    auto& editor = *g.editors()[0];
    const auto before = doc().velocitySplits;
    const int columnWidth = g.columns()[0]->getWidth();
    const auto start = at(editor, 7, 200);

    overlay().undoManager().clearUndoHistory();
    mouse->gesture(start);
    EXPECT_FALSE(overlay().undoManager().canUndo()) << "a press without a move";
    EXPECT_EQ(doc().velocitySplits, before);

    mouse->send(start, {}, 1000);
    mouse->send(start, test::PeerMouse::held(false));
    mouse->send(start + P(60, 0), test::PeerMouse::held(false));
    // Live: the column follows while the document is unchanged.
    EXPECT_GT(g.columns()[0]->getWidth(), columnWidth + 50);
    EXPECT_EQ(doc().velocitySplits, before);
    mouse->send(start + P(60, 0), {});
    EXPECT_GT(doc().velocitySplits[0], before[0]);
    EXPECT_EQ(overlay().undoManager().getUndoDescription(), "Move dynamics boundary");
    // The handle survived its own release.
    EXPECT_EQ(g.editors()[0].get(), &editor);
    overlay().undoManager().undo();
    pumpUntil([&] { return doc().velocitySplits == before; }, 1000);
    EXPECT_EQ(doc().velocitySplits, before);
    EXPECT_FALSE(overlay().undoManager().canUndo()) << "the drag was one step";
}

TEST_F(GridWindowTest, WheelZoomsAroundThePointer) {
    auto g = grid();
    const auto area = overlay().gridAreaBounds();
    const int anchor = 300;
    const auto p = main->getLocalPoint(&overlay(), juce::Point<int>(area.getX() + anchor, area.getY() + 100));
    const int contentBefore = g.content().getWidth();
    const double levelBefore = static_cast<double>(anchor) / contentBefore;
    mouse->wheel(p.toFloat(), 0.5f);
    EXPECT_EQ(overlay().zoomFactor(), 1.25);
    EXPECT_EQ(g.content().getWidth(), static_cast<int>(std::round(area.getWidth() * 1.25)));
    // The content under the pointer stays under it.
    const double levelAfter = (g.horizontal().getCurrentRangeStart() + anchor) / g.content().getWidth();
    EXPECT_NEAR(levelAfter, levelBefore, 0.002);
}

}  // namespace
}  // namespace vt6::maker
