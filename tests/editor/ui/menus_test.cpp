// The editor's context menus, delete confirmations and chip drags, driven
// through the real overlay on a real file: right-clicks and drags go through
// a window's peer, menus and boxes are read and answered through their
// presenter seams.

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <unordered_set>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "editor/ui/chip_drag_ghost.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/peer_mouse.hpp"
#include "editor/ui/zem_chip.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/menus.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {

class ZemMenusTestAccess {
public:
    explicit ZemMenusTestAccess(ZemEditOverlay& o) : o_(o) {}
    std::vector<std::unique_ptr<BandColumn>>& columns() { return o_.columns; }
    ReorderStrip& strip(bool rooms) { return rooms ? o_.roomStrip : o_.articulationStrip; }
    juce::Component& clip() { return o_.bandClip; }
    juce::Component& content() { return o_.bandContent; }
    ZemEditOverlay::DragGhost& ghost() { return o_.dragGhost; }
    uint64_t draggedUid() const { return o_.draggedUid; }
    juce::Label& title() { return o_.titleLabel; }
    void showDefMenu(bool rooms, int segment) { o_.showDefMenu(rooms, segment, {10, 10}); }
    void showBandMenu(int group) { o_.showBandMenu(group, {10, 10}); }
    void showChipMenu(uint64_t uid) { o_.showChipMenu(uid, {10, 10}); }
    void confirmDeleteBand(int group) { o_.confirmDeleteBand(group); }
    void confirmDeleteDef(bool rooms, int index) { o_.confirmDeleteDef(rooms, index); }
    void confirmDelete(const std::vector<uint64_t>& uids) { o_.confirmDelete(uids); }
    bool canDeleteDef(bool rooms, int index) const { return o_.canDeleteDef(rooms, index); }
    void dragChip(uint64_t uid, juce::Point<int> screen) { o_.dragChip(uid, screen); }
    void dropChip(uint64_t uid) { o_.dropChip(uid, true); }

private:
    ZemEditOverlay& o_;
};

namespace {

using Access = ZemMenusTestAccess;
using test::PeerMouse;
using test::pumpUntil;

// --- Files ------------------------------------------------------------------

struct KitShape {
    std::vector<std::pair<std::string, uint64_t>> layers{{"Direct", 0}, {"Room A", 1}, {"Room B", 2}};
    int articulations = 1;
    int groups = 4;
    int samples = 12;
    // Places row i: layer, articulation and group indices (0-based).
    std::function<void(size_t i, fmt::SmplEntry& row)> place;
};

std::string writeShapedKit(const std::string& path, const KitShape& shape) {
    test::SampleFileBuilder builder;
    auto m = test::kitModel(builder, shape.samples, shape.groups, "Kit");
    m.metadata.layers.clear();
    for (size_t l = 0; l < shape.layers.size(); ++l) {
        fmt::LayerDef def;
        def.id = l + 1;
        def.name = shape.layers[l].first;
        def.slot = shape.layers[l].second;
        m.metadata.layers.push_back(def);
    }
    m.metadata.articulations.clear();
    const char* names[] = {"CENTER", "RIMSHOT", "SIDESTICK"};
    for (int a = 0; a < shape.articulations; ++a) {
        fmt::ArticulationDef def;
        def.id = static_cast<uint64_t>(a + 1);
        def.name = a < 3 ? std::string(names[a]) : "ART " + std::to_string(a);
        m.metadata.articulations.push_back(def);
    }
    for (size_t i = 0; i < m.samples.size(); ++i) {
        auto& row = m.samples[i];
        row.layer = 1;
        row.articulation = 1;
        row.band = i % static_cast<size_t>(shape.groups) + 1;
        if (shape.place) shape.place(i, row);
    }
    const auto written = fmt::writeZem6File(path, m, builder.payloads());
    if (!written.ok()) {
        ADD_FAILURE() << written.message();
        return {};
    }
    return path;
}

// Layer and group of a row by 0-based index.
void at(fmt::SmplEntry& row, int layer, int group, int articulation = 0) {
    row.layer = static_cast<uint64_t>(layer + 1);
    row.band = static_cast<uint64_t>(group + 1);
    row.articulation = static_cast<uint64_t>(articulation + 1);
}

// --- The overlay in a window ------------------------------------------------

struct Shown {
    test::TempDir dir;
    juce::Component host;
    std::unique_ptr<ZemEditOverlay> overlay;

    explicit Shown(const KitShape& shape = {}, bool standalone = true, int w = 1280, int h = 689) {
        ZemEditDeps deps;
        deps.standalone = standalone;
        deps.filePath = writeShapedKit(dir.path("kit.zem"), shape);
        host.setSize(w, h);
        overlay = std::make_unique<ZemEditOverlay>(std::move(deps));
        overlay->setBounds(host.getLocalBounds());
        host.addAndMakeVisible(*overlay);
        host.addToDesktop(0);
        host.setVisible(true);
        pumpUntil([&] { return host.getPeer() != nullptr && host.isShowing(); }, 1000);
    }
    ~Shown() {
        host.removeFromDesktop();
        overlay.reset();
    }
    ZemEditOverlay* operator->() { return overlay.get(); }
    logic::EditDocument& doc() { return overlay->document(); }

    uint64_t uidOf(const std::string& name) {
        for (const auto& [uid, index] : doc().uidIndex)
            if (doc().samples[static_cast<size_t>(index)].name == name) return uid;
        ADD_FAILURE() << "no sample " << name;
        return 0;
    }
    const logic::EditSample& sample(uint64_t uid) { return *doc().sampleByUid(uid); }
    int groupOf(uint64_t uid) { return doc().bandIndexOf(sample(uid).bandId); }

    std::vector<std::string> undoNames() {
        std::vector<std::string> names;
        for (const auto& s : overlay->undoManager().getUndoDescriptions()) names.push_back(s.toStdString());
        return names;
    }
    ZemChip* chip(uint64_t uid) {
        Access a(*overlay);
        for (auto& column : a.columns())
            for (auto& c : column->chips)
                if (c->isVisible() && c->uid == uid) return c.get();
        return nullptr;
    }
    juce::Point<float> inHost(juce::Component& c, juce::Point<float> local) { return host.getLocalPoint(&c, local); }
    void select(std::initializer_list<uint64_t> uids) {
        doc().selection.clear();
        for (uint64_t uid : uids) doc().selection.insert(uid);
        overlay->refreshAll();
    }
    bool key(int code) { return host.getPeer()->handleKeyPress(juce::KeyPress(code)); }
};

// --- Recording menus and boxes -------------------------------------------

void describe(const juce::PopupMenu& menu, std::vector<std::string>& out, const std::string& indent) {
    for (juce::PopupMenu::MenuItemIterator it(menu); it.next();) {
        const auto& item = it.getItem();
        if (item.isSeparator) {
            out.push_back(indent + "---");
        } else if (item.isSectionHeader) {
            out.push_back(indent + "# " + item.text.toStdString());
        } else if (item.subMenu != nullptr) {
            out.push_back(indent + item.text.toStdString() + ":");
            describe(*item.subMenu, out, indent + "  ");
        } else {
            out.push_back(indent + std::to_string(item.itemID) + " " + item.text.toStdString() +
                          (item.isEnabled ? "" : " [off]") + (item.isTicked ? " [x]" : ""));
        }
    }
}

struct Recorder {
    int menus = 0;
    std::vector<std::string> menu;
    juce::Rectangle<int> menuArea;
    std::function<void(int)> answerMenu;
    std::vector<juce::MessageBoxOptions> boxes;
    std::function<void(int)> answerBox;

    Recorder() {
        widgets::setMenuPresenter([this](const juce::PopupMenu& m, const juce::PopupMenu::Options& o,
                                         std::function<void(int)> done) {
            ++menus;
            menu.clear();
            describe(m, menu, "");
            menuArea = o.getTargetScreenArea();
            answerMenu = std::move(done);
        });
        widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            boxes.push_back(o);
            answerBox = std::move(done);
        });
    }
    ~Recorder() {
        widgets::setMenuPresenter({});
        widgets::setMessageBoxPresenter({});
    }
    std::string title() const { return boxes.empty() ? std::string() : boxes.back().getTitle().toStdString(); }
    std::string message() const { return boxes.empty() ? std::string() : boxes.back().getMessage().toStdString(); }
};

const std::string kEllipsis = "\xe2\x80\xa6";

// --- The menus as the framework shows them ---------------------------------

// A showing window on the desktop that was not among `before`.
juce::Component* newWindow(const std::set<juce::Component*>& before) {
    auto& desktop = juce::Desktop::getInstance();
    for (int i = desktop.getNumComponents(); --i >= 0;)
        if (auto* c = desktop.getComponent(i); c->isShowing() && before.count(c) == 0) return c;
    return nullptr;
}

TEST(ThemedMenus, EveryRightClickMenuWearsTheTheme) {
    KitShape shape;
    shape.place = [](size_t i, fmt::SmplEntry& row) { at(row, static_cast<int>(i % 3), static_cast<int>(i % 4)); };
    Shown s(shape);
    widgets::V6LookAndFeel lookAndFeel;
    s.host.setLookAndFeel(&lookAndFeel);
    Access a(*s.overlay);
    PeerMouse mouse{s.host};
    auto& column = *a.columns()[1];
    auto& strip = a.strip(true);
    struct Case {
        const char* what;
        juce::Point<float> at;
    };
    const Case cases[] = {
        {"chip", s.inHost(*s.chip(s.uidOf("Hit 1")), {20.0f, 11.0f})},
        {"group", s.inHost(column, {column.getWidth() / 2.0f, column.getHeight() - 5.0f})},
        {"strip definition", s.inHost(strip, strip.segmentBounds(1).getCentre().toFloat())},
    };
    std::set<juce::Component*> before;
    for (int i = 0; i < juce::Desktop::getInstance().getNumComponents(); ++i)
        before.insert(juce::Desktop::getInstance().getComponent(i));
    for (const auto& c : cases) {
        mouse.gesture(c.at, {}, true);
        ASSERT_TRUE(pumpUntil([&] { return newWindow(before) != nullptr; })) << c.what;
        auto* menu = newWindow(before);
        test::pumpFor(100);
        EXPECT_NE(dynamic_cast<widgets::V6LookAndFeel*>(&menu->getLookAndFeel()), nullptr) << c.what;
        // The screenshot: the theme's popup colour inside, rounded corners
        // (the stock menu is a grey square).
        const auto shot = menu->createComponentSnapshot(menu->getLocalBounds());
        EXPECT_TRUE(test::nearColour(shot.getPixelAt(3, shot.getHeight() / 2),
                                     themeColour(ThemeColour::popupBackground), 6))
            << c.what << " " << shot.getPixelAt(3, shot.getHeight() / 2).toDisplayString(true);
        // Outside the rounded box: see-through, or the window colour where the
        // display cannot blend windows.
        const auto corner = shot.getPixelAt(0, 0);
        EXPECT_TRUE(corner.getAlpha() < 128 ||
                    test::nearColour(corner, themeColour(ThemeColour::windowBackground), 6))
            << c.what << " " << corner.toDisplayString(true);
        juce::PopupMenu::dismissAllActiveMenus();
        ASSERT_TRUE(pumpUntil([&] { return newWindow(before) == nullptr; })) << c.what;
    }
    s.host.setLookAndFeel(nullptr);
}

// --- Definition menus -----------------------------------------------------

TEST(DefinitionMenus, ItemsTicksAndHeadersByRightClick) {
    struct Case {
        const char* what;
        bool rooms;
        int segment;  // -1: the "+" segment
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {"ALL on the room-channel strip", true, 0,
         {"1 Delete Direct... [off]", "2 Delete Room channel A...", "3 Delete Room channel B..."}},
        {"the add segment lists every channel too", true, -1,
         {"1 Delete Direct... [off]", "2 Delete Room channel A...", "3 Delete Room channel B..."}},
        {"the Direct channel", true, 1,
         {"1 Delete room channel... [off]", "# Keep the Direct channel and at least one channel"}},
        {"Room B", true, 3, {"3 Delete room channel..."}},
        {"the only articulation", false, 1,
         {"1 Delete articulation... [off]", "# Keep at least one articulation"}},
        {"ALL with one articulation", false, 0, {"1 Delete CENTER... [off]"}},
    };
    KitShape shape;
    shape.place = [](size_t i, fmt::SmplEntry& row) { at(row, static_cast<int>(i % 3), static_cast<int>(i % 4)); };
    Shown s(shape);
    Access a(*s.overlay);
    PeerMouse mouse{s.host};
    for (const auto& c : cases) {
        Recorder r;
        auto& strip = a.strip(c.rooms);
        const int segment = c.segment < 0 ? strip.getNumSegments() - 1 : c.segment;
        const auto p = s.inHost(strip, strip.segmentBounds(segment).getCentre().toFloat());
        mouse.gesture(p, {}, true);
        ASSERT_EQ(r.menus, 1) << c.what;
        EXPECT_EQ(r.menu, c.want) << c.what;
        // A 1 x 1 target at the pointer.
        EXPECT_EQ(r.menuArea, juce::Rectangle<int>(s.host.localPointToGlobal(p.toInt()), s.host.localPointToGlobal(p.toInt()) + juce::Point<int>(1, 1)))
            << c.what;
        r.answerMenu(0);
        EXPECT_TRUE(r.boxes.empty()) << c.what;
    }
    Recorder r;
    a.showDefMenu(true, -1);
    EXPECT_EQ(r.menus, 0);
}

TEST(DefinitionMenus, ConfirmationTextsAndAnswers) {
    // Room A holds one sample, Room B none; the second articulation two.
    KitShape shape;
    shape.articulations = 2;
    shape.layers.push_back({"Room C", 3});
    shape.place = [](size_t i, fmt::SmplEntry& row) {
        at(row, i == 0 ? 1 : i == 1 ? 3 : 0, static_cast<int>(i % 4), i == 2 || i == 3 ? 1 : 0);
    };
    struct Case {
        const char* what;
        bool rooms;
        int index;
        int answer;
        std::string title, message;
        size_t layersAfter, articulationsAfter;
        uint64_t samplesAfter;
        std::vector<std::string> undo;
    };
    const Case cases[] = {
        {"a room channel with one sample", true, 1, 1, "Delete room channel",
         "Delete \"Room channel A\" and its 1 sample from this ZEM? This includes samples on every articulation "
         "page. You can undo this.",
         3, 2, 11, {"Delete room channel"}},
        {"a room channel with none", true, 2, 1, "Delete room channel",
         "Delete \"Room channel B\" and its 0 samples from this ZEM? This includes samples on every articulation "
         "page. You can undo this.",
         3, 2, 12, {"Delete room channel"}},
        {"an articulation, cancelled", false, 1, 2, "Delete articulation",
         "Delete \"RIMSHOT\" and its 2 samples from this ZEM? This includes samples on every room channel page. "
         "You can undo this.",
         4, 2, 12, {}},
        {"an articulation", false, 1, 1, "Delete articulation",
         "Delete \"RIMSHOT\" and its 2 samples from this ZEM? This includes samples on every room channel page. "
         "You can undo this.",
         4, 1, 10, {"Delete articulation"}},
    };
    for (const auto& c : cases) {
        Shown s(shape);
        Access a(*s.overlay);
        Recorder r;
        a.confirmDeleteDef(c.rooms, c.index);
        ASSERT_EQ(r.boxes.size(), 1u) << c.what;
        const auto& box = r.boxes[0];
        EXPECT_EQ(r.title(), c.title) << c.what;
        EXPECT_EQ(r.message(), c.message) << c.what;
        EXPECT_EQ(box.getNumButtons(), 2);
        EXPECT_EQ(box.getButtonText(0), "Delete");
        EXPECT_EQ(box.getButtonText(1), "Cancel");
        EXPECT_EQ(box.getIconType(), juce::MessageBoxIconType::WarningIcon);
        EXPECT_EQ(box.getAssociatedComponent(), s.overlay.get());
        r.answerBox(c.answer);
        EXPECT_EQ(s.doc().layers.size(), c.layersAfter) << c.what;
        EXPECT_EQ(s.doc().articulations.size(), c.articulationsAfter) << c.what;
        EXPECT_EQ(s.doc().liveSampleCount, c.samplesAfter) << c.what;
        EXPECT_EQ(s.undoNames(), c.undo) << c.what;
    }
}

TEST(DefinitionMenus, WhichRoomChannelsMayGo) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, uint64_t>> layers;
        std::vector<bool> deletable;
    };
    const Case cases[] = {
        {"Direct and rooms", {{"Direct", 0}, {"Room A", 1}, {"Room B", 2}}, {false, true, true}},
        {"a custom slot counts as a room", {{"Direct", 0}, {"Extra", 6}}, {false, true}},
        {"Direct need not be first", {{"Room A", 1}, {"Direct", 0}}, {true, false}},
        {"a single channel stays", {{"Room A", 1}}, {false}},
    };
    for (const auto& c : cases) {
        KitShape shape;
        shape.layers = c.layers;
        shape.place = [n = c.layers.size()](size_t i, fmt::SmplEntry& row) {
            at(row, static_cast<int>(i % n), static_cast<int>(i % 4));
        };
        Shown s(shape);
        Access a(*s.overlay);
        for (size_t i = 0; i < c.deletable.size(); ++i)
            EXPECT_EQ(a.canDeleteDef(true, static_cast<int>(i)), c.deletable[i]) << c.what << " " << i;
        EXPECT_FALSE(a.canDeleteDef(true, static_cast<int>(c.layers.size()))) << c.what;
        EXPECT_FALSE(a.canDeleteDef(true, -1)) << c.what;
        // A channel added in the editor has no source entry and may go.
        s.doc().addLayer("Room Z");
        EXPECT_TRUE(a.canDeleteDef(true, static_cast<int>(s.doc().layers.size()) - 1)) << c.what;
    }
    // Without a source file every channel but the first may go.
    ZemEditDeps deps;
    deps.standalone = true;
    ZemEditOverlay fresh(std::move(deps));
    fresh.document().addLayer("Room A");
    Access a(fresh);
    EXPECT_FALSE(a.canDeleteDef(true, 0));
    EXPECT_TRUE(a.canDeleteDef(true, 1));
}

// An edit while a definition or group menu or dialog is open makes its
// Delete do nothing.
TEST(DefinitionMenus, AnEditInBetweenMakesDeleteANoOp) {
    struct Case {
        const char* what;
        std::function<void(Access&)> open;
        bool viaMenu;
    };
    const Case cases[] = {
        {"room-channel menu", [](Access& a) { a.showDefMenu(true, 2); }, true},
        {"room-channel dialog", [](Access& a) { a.confirmDeleteDef(true, 1); }, false},
        {"group menu", [](Access& a) { a.showBandMenu(1); }, true},
        {"group dialog", [](Access& a) { a.confirmDeleteBand(1); }, false},
    };
    KitShape shape;
    shape.place = [](size_t i, fmt::SmplEntry& row) { at(row, static_cast<int>(i % 3), static_cast<int>(i % 4)); };
    for (const auto& c : cases) {
        for (const bool editInBetween : {false, true}) {
            Shown s(shape);
            Access a(*s.overlay);
            Recorder r;
            c.open(a);
            if (editInBetween) s.doc().setMuted(s.uidOf("Hit 1"), true);
            if (c.viaMenu) {
                ASSERT_TRUE(r.answerMenu) << c.what;
                r.answerMenu(c.what[0] == 'g' ? 1 : 2);
                // A stale menu opens no dialog at all.
                EXPECT_EQ(r.boxes.size(), editInBetween ? 0u : 1u) << c.what;
                if (r.boxes.empty()) continue;
            }
            ASSERT_TRUE(r.answerBox) << c.what;
            r.answerBox(1);
            EXPECT_EQ(s.doc().layers.size() + s.doc().bandCount(), editInBetween ? 7u : 6u)
                << c.what << (editInBetween ? " after an edit" : "");
        }
    }
}

// --- Group menus -----------------------------------------------------------

TEST(GroupMenus, ColumnMenuAndConfirmation) {
    struct Case {
        int groups, group;
        std::vector<std::string> menu;
        std::string message;  // empty: no dialog
    };
    const Case cases[] = {
        {4, 0, {"1 Delete dynamic group..."},
         "Delete dynamic group 1? Its samples on every room channel and articulation page will move to dynamic "
         "group 2. You can undo this."},
        {4, 2, {"1 Delete dynamic group..."},
         "Delete dynamic group 3? Its samples on every room channel and articulation page will move to dynamic "
         "group 2. You can undo this."},
        {1, 0, {"1 Delete dynamic group... [off]"}, ""},
    };
    for (const auto& c : cases) {
        KitShape shape;
        shape.groups = c.groups;
        Shown s(shape);
        Access a(*s.overlay);
        PeerMouse mouse{s.host};
        Recorder r;
        auto& column = *a.columns()[static_cast<size_t>(c.group)];
        mouse.gesture(s.inHost(column, {column.getWidth() / 2.0f, column.getHeight() - 5.0f}), {}, true);
        ASSERT_EQ(r.menus, 1);
        EXPECT_EQ(r.menu, c.menu);
        r.answerMenu(1);
        if (c.message.empty()) {
            EXPECT_TRUE(r.boxes.empty());
            a.confirmDeleteBand(c.group);
            EXPECT_TRUE(r.boxes.empty());
            continue;
        }
        ASSERT_EQ(r.boxes.size(), 1u);
        EXPECT_EQ(r.title(), "Delete dynamic group");
        EXPECT_EQ(r.message(), c.message);
        const auto moved = s.uidOf("Hit " + std::to_string(c.group + 1));
        r.answerBox(1);
        EXPECT_EQ(s.doc().bandCount(), static_cast<uint64_t>(c.groups - 1));
        EXPECT_EQ(s.doc().liveSampleCount, 12u);
        EXPECT_EQ(s.groupOf(moved), c.group > 0 ? c.group - 1 : 0);
        EXPECT_EQ(s.undoNames().size(), 1u);
        EXPECT_EQ(a.columns().size(), static_cast<size_t>(c.groups - 1));
    }
    // The column's own delete cross asks too; out-of-range groups ask nothing.
    Shown s;
    Access a(*s.overlay);
    PeerMouse mouse{s.host};
    Recorder r;
    auto& column = *a.columns()[3];
    mouse.gesture(s.inHost(column, {column.getWidth() - 8.0f, 7.0f}));
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.message().substr(0, 24), "Delete dynamic group 4? ");
    r.answerBox(2);
    EXPECT_EQ(s.doc().bandCount(), 4u);
    a.confirmDeleteBand(4);
    a.confirmDeleteBand(-1);
    a.showBandMenu(4);
    EXPECT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.menus, 0);
}

// --- Deleting samples -------------------------------------------------------

TEST(SampleDeletion, DeleteAndBackspaceConfirmTheSelection) {
    struct Case {
        const char* what;
        int key;
        std::vector<std::string> selected;
        bool unnamed;
        std::string title, message;
    };
    const Case cases[] = {
        {"one named", juce::KeyPress::deleteKey, {"Hit 2"}, false, "Delete sample",
         "Delete \"Hit 2\" from this zem? You can undo this."},
        {"three by Backspace", juce::KeyPress::backspaceKey, {"Hit 1", "Hit 5", "Hit 9"}, false, "Delete samples",
         "Delete 3 samples from this zem? You can undo this."},
        {"one without a name", juce::KeyPress::deleteKey, {"Hit 2"}, true, "Delete sample",
         "Delete this sample from this zem? You can undo this."},
        {"nothing selected", juce::KeyPress::deleteKey, {}, false, "", ""},
    };
    for (const auto& c : cases) {
        KitShape shape;
        if (c.unnamed)
            shape.place = [](size_t i, fmt::SmplEntry& row) {
                if (i == 1) row.name.reset();
            };
        Shown s(shape);
        std::vector<uint64_t> uids;
        for (const auto& name : c.selected)
            uids.push_back(c.unnamed ? s.doc().samples[1].uid : s.uidOf(name));
        s.doc().selection.insert(uids.begin(), uids.end());
        s.overlay->refreshAll();
        s.overlay->grabKeyboardFocus();
        Recorder r;
        EXPECT_TRUE(s.key(c.key)) << c.what;
        if (c.title.empty()) {
            EXPECT_TRUE(r.boxes.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(r.boxes.size(), 1u) << c.what;
        EXPECT_EQ(r.title(), c.title) << c.what;
        EXPECT_EQ(r.message(), c.message) << c.what;
        EXPECT_EQ(r.boxes[0].getIconType(), juce::MessageBoxIconType::WarningIcon);
        EXPECT_EQ(r.boxes[0].getButtonText(0), "Delete");
        EXPECT_EQ(r.boxes[0].getButtonText(1), "Cancel");
        r.answerBox(2);
        EXPECT_EQ(s.doc().liveSampleCount, 12u) << c.what;
        r.answerBox(1);
        EXPECT_EQ(s.doc().liveSampleCount, 12u - uids.size()) << c.what;
        EXPECT_EQ(s.undoNames(), std::vector<std::string>{"Delete sample"}) << c.what;
        EXPECT_TRUE(s.doc().selection.empty()) << c.what;
        s.overlay->undoManager().undo();
        EXPECT_EQ(s.doc().liveSampleCount, 12u) << c.what;
    }
}

TEST(SampleDeletion, AnswersSkipSamplesThatAreGone) {
    Shown s;
    Recorder r;
    Access a(*s.overlay);
    const std::vector<uint64_t> uids{s.uidOf("Hit 1"), s.uidOf("Hit 2"), s.uidOf("Hit 3")};
    a.confirmDelete(uids);
    a.confirmDelete({});  // nothing for an empty list
    ASSERT_EQ(r.boxes.size(), 1u);
    const auto first = r.answerBox;
    // Hit 2 goes meanwhile, through a dialog of its own.
    a.confirmDelete({uids[1]});
    r.answerBox(1);
    ASSERT_EQ(s.doc().liveSampleCount, 11u);
    // The first dialog's answer deletes only the rest, as one step.
    first(1);
    EXPECT_EQ(s.doc().liveSampleCount, 9u);
    EXPECT_EQ(s.undoNames(), (std::vector<std::string>{"Delete sample", "Delete sample"}));
    // None left: no command, but the view is still refreshed.
    s.doc().name = "Renamed";
    first(1);
    EXPECT_EQ(s.undoNames().size(), 2u);
    EXPECT_EQ(a.title().getText(), "Renamed");
    s.overlay->undoManager().undo();
    EXPECT_EQ(s.doc().liveSampleCount, 11u);
    // An answer after the overlay went does nothing.
    a.confirmDelete({s.uidOf("Hit 4")});
    auto late = r.answerBox;
    s.host.removeFromDesktop();
    s.overlay.reset();
    late(1);
}

// --- Chip menus -------------------------------------------------------------

TEST(ChipMenu, ItemsByRightClick) {
    KitShape shape;
    shape.articulations = 2;
    shape.place = [](size_t i, fmt::SmplEntry& row) {
        at(row, static_cast<int>(i % 3), static_cast<int>(i % 4), static_cast<int>(i % 2));
    };
    Shown s(shape);
    PeerMouse mouse{s.host};
    const uint64_t hit6 = s.uidOf("Hit 6");  // Room B, group 2, RIMSHOT
    s.doc().setMuted(hit6, true);
    s.overlay->refreshAfterCommand();
    struct Case {
        const char* what;
        std::vector<std::string> selected;
        std::vector<std::string> want;
    };
    const std::vector<std::string> tail = {
        "---",
        "Move to group:",
        "  100 G1",
        "  101 G2 [off] [x]",
        "  102 G3",
        "  103 G4",
        "5 Keep in this dynamic group",
        "Articulation:",
        "  1000 CENTER",
        "  1001 RIMSHOT [x]",
        "Room channel:",
        "  2000 Direct",
        "  2001 Room channel A",
        "  2002 Room channel B [x]",
    };
    const auto with = [&](std::vector<std::string> head) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Case cases[] = {
        {"alone", {}, with({"4 Edit sample" + kEllipsis, "---", "1 Delete sample", "---", "2 Unmute [x]", "3 Solo"})},
        {"unselected while others are selected", {"Hit 1", "Hit 2"},
         with({"4 Edit sample" + kEllipsis, "---", "1 Delete sample", "---", "2 Unmute [x]", "3 Solo"})},
        {"one of three selected", {"Hit 1", "Hit 2", "Hit 6"},
         with({"4 Edit sample" + kEllipsis + " [off]", "---", "1 Delete 3 samples", "---", "2 Unmute [x]", "3 Solo"})},
    };
    for (const auto& c : cases) {
        s.doc().selection.clear();
        for (const auto& name : c.selected) s.doc().selection.insert(s.uidOf(name));
        s.overlay->refreshAll();
        Recorder r;
        auto* chip = s.chip(hit6);
        ASSERT_NE(chip, nullptr);
        mouse.gesture(s.inHost(*chip, {20.0f, 11.0f}), {}, true);
        ASSERT_EQ(r.menus, 1) << c.what;
        EXPECT_EQ(r.menu, c.want) << c.what;
        // A right-click on an unselected chip selects it alone.
        if (c.selected.size() < 3) {
            EXPECT_EQ(s.doc().selection, std::unordered_set<uint64_t>{hit6}) << c.what;
        }
        r.answerMenu(0);
        EXPECT_TRUE(s.undoNames().size() == 1u) << c.what;  // only the setup's mute
    }
}

// The "Move to group" items name each group as the rename box and the sample
// editor do: a renamed group by its name, a default one as "Dynamic N".
TEST(ChipMenu, GroupItemsUseTheNamesShownElsewhere) {
    Shown s;
    PeerMouse mouse{s.host};
    s.doc().bands[0].name = "Band 1";     // as a file without group names loads
    s.doc().bands[1].name = "Dynamic 2";  // as a new zem names it
    ASSERT_TRUE(s.doc().renameBand(2, "Ghost notes"));
    s.overlay->refreshAfterCommand();
    Recorder r;
    const uint64_t hit1 = s.uidOf("Hit 1");
    auto* chip = s.chip(hit1);
    ASSERT_NE(chip, nullptr);
    mouse.gesture(s.inHost(*chip, {20.0f, 11.0f}), {}, true);
    ASSERT_EQ(r.menus, 1);
    Access a(*s.overlay);
    std::vector<std::string> items, shown;
    for (const auto& line : r.menu)
        if (line.rfind("  10", 0) == 0 && line.size() > 6 && line[5] == ' ') items.push_back(line.substr(6, line.find(" [") == std::string::npos
                                                                          ? std::string::npos
                                                                          : line.find(" [") - 6));
    for (auto& column : a.columns()) shown.push_back(column->shownName);
    EXPECT_EQ(items, (std::vector<std::string>{"Dynamic 1", "Dynamic 2", "Ghost notes", "G4"}));
    EXPECT_EQ(items, shown);
    r.answerMenu(0);
}

TEST(ChipMenu, AnswersAreNamedUndoSteps) {
    struct Case {
        const char* what;
        std::vector<std::string> targets;  // the first is clicked
        std::vector<std::string> muted, locked;
        int id;
        std::vector<std::string> undo;  // newest first
        std::function<void(Shown&, const std::vector<uint64_t>&)> check;
    };
    const auto allMuted = [](Shown& s, const std::vector<uint64_t>& t) {
        for (auto uid : t) EXPECT_EQ(s.sample(uid).muted, 1);
    };
    const Case cases[] = {
        {"mute three, one already muted", {"Hit 1", "Hit 2", "Hit 3"}, {"Hit 3"}, {}, 2,
         {"Mute sample", "Mute sample"}, allMuted},
        {"unmute the clicked one's state", {"Hit 3", "Hit 1"}, {"Hit 3"}, {}, 2, {"Mute sample"},
         [](Shown& s, const std::vector<uint64_t>& t) {
             for (auto uid : t) EXPECT_EQ(s.sample(uid).muted, 0);
         }},
        {"solo two", {"Hit 1", "Hit 2"}, {}, {}, 3, {"Solo sample", "Solo sample"},
         [](Shown& s, const std::vector<uint64_t>& t) {
             for (auto uid : t) EXPECT_EQ(s.sample(uid).soloed, 1);
         }},
        {"keep three in their group", {"Hit 1", "Hit 2", "Hit 3"}, {}, {"Hit 2"}, 5, {"Set dynamic placement"},
         [](Shown& s, const std::vector<uint64_t>& t) {
             for (auto uid : t) EXPECT_EQ(s.sample(uid).sortLock, 1);
         }},
        {"include in auto sort", {"Hit 2", "Hit 1"}, {}, {"Hit 2"}, 5, {"Set dynamic placement"},
         [](Shown& s, const std::vector<uint64_t>& t) {
             for (auto uid : t) EXPECT_EQ(s.sample(uid).sortLock, 0);
         }},
        {"move to group 4", {"Hit 1", "Hit 2"}, {}, {}, 103, {"Move samples"},
         [](Shown& s, const std::vector<uint64_t>& t) {
             for (auto uid : t) EXPECT_EQ(s.groupOf(uid), 3);
         }},
        {"move to its own group", {"Hit 1"}, {}, {}, 100, {}, nullptr},
        {"reassign to Room B", {"Hit 1", "Hit 2"}, {}, {}, 2002, {"Reassign sample", "Reassign sample"},
         [](Shown& s, const std::vector<uint64_t>& t) {
             for (auto uid : t) EXPECT_EQ(s.sample(uid).layerIndex, 2);
         }},
        {"its own room channel", {"Hit 1"}, {}, {}, 2000, {}, nullptr},
        {"its own articulation", {"Hit 1"}, {}, {}, 1000, {}, nullptr},
        {"no item of that id", {"Hit 1"}, {}, {}, 99, {}, nullptr},
        {"dismissed", {"Hit 1"}, {}, {}, 0, {}, nullptr},
    };
    for (const auto& c : cases) {
        Shown s;
        std::vector<uint64_t> targets;
        for (const auto& name : c.targets) targets.push_back(s.uidOf(name));
        for (const auto& name : c.muted) s.doc().setMuted(s.uidOf(name), true);
        for (const auto& name : c.locked) s.doc().samples[static_cast<size_t>(s.doc().uidIndex[s.uidOf(name)])].sortLock = 1;
        s.overlay->undoManager().clearUndoHistory();
        s.doc().selection.insert(targets.begin(), targets.end());
        Access a(*s.overlay);
        Recorder r;
        a.showChipMenu(targets.front());
        ASSERT_TRUE(r.answerMenu) << c.what;
        r.answerMenu(c.id);
        EXPECT_EQ(s.undoNames(), c.undo) << c.what;
        if (c.check) c.check(s, targets);
        // Each step undoes as a whole.
        while (s.overlay->undoManager().canUndo()) s.overlay->undoManager().undo();
        for (auto uid : targets) {
            const bool wasMuted = std::find(c.muted.begin(), c.muted.end(), s.sample(uid).name) != c.muted.end();
            EXPECT_EQ(s.sample(uid).muted, wasMuted ? 1 : 0) << c.what;
            EXPECT_EQ(s.sample(uid).layerIndex, 0) << c.what;
        }
    }
}

// Articulation items must never choose a room channel, however many
// articulations a file has.
TEST(ChipMenu, ManyArticulationsKeepTheirOwnIds) {
    KitShape shape;
    shape.articulations = 128;
    shape.samples = 4;
    shape.place = [](size_t i, fmt::SmplEntry& row) { at(row, 0, static_cast<int>(i % 4), 0); };
    Shown s(shape);
    Access a(*s.overlay);
    Recorder r;
    const uint64_t uid = s.uidOf("Hit 1");
    a.showChipMenu(uid);
    ASSERT_TRUE(r.answerMenu);
    std::set<int> ids;
    size_t items = 0;
    int articulation100 = -1;
    for (const auto& line : r.menu) {
        const auto text = line.substr(line.find_first_not_of(' '));
        if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) continue;
        const int id = std::stoi(text);
        ids.insert(id);
        ++items;
        if (text.find(" ART 100") != std::string::npos) articulation100 = id;
    }
    EXPECT_EQ(ids.size(), items);  // no two items share an id
    ASSERT_GT(articulation100, 0);
    r.answerMenu(articulation100);
    EXPECT_EQ(s.sample(uid).articulationIndex, 100);
    EXPECT_EQ(s.sample(uid).layerIndex, 0);
    EXPECT_EQ(s.undoNames(), std::vector<std::string>{"Reassign sample"});
}

TEST(ChipMenu, StaleAndSpecialAnswers) {
    Shown s;
    Access a(*s.overlay);
    Recorder r;
    const uint64_t one = s.uidOf("Hit 1"), two = s.uidOf("Hit 2");
    s.select({one, two});
    // Delete asks first, about the targets.
    a.showChipMenu(one);
    r.answerMenu(1);
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.message(), "Delete 2 samples from this zem? You can undo this.");
    // A target removed meanwhile is skipped; the rest still changes.
    a.showChipMenu(one);
    auto answer = r.answerMenu;
    a.confirmDelete({two});
    r.answerBox(1);
    answer(2);
    EXPECT_EQ(s.sample(one).muted, 1);
    EXPECT_EQ(s.undoNames(), (std::vector<std::string>{"Mute sample", "Delete sample"}));
    // A room channel deleted meanwhile is no target any more.
    s.doc().addLayer("Room Z");
    s.overlay->refreshAfterCommand();
    a.showChipMenu(one);
    answer = r.answerMenu;
    s.doc().deleteDef(true, 1);
    answer(2001);  // now a different channel
    answer(2003);  // gone
    EXPECT_EQ(s.sample(one).layerIndex, 0);
    // The same after a reorder.
    a.showChipMenu(one);
    answer = r.answerMenu;
    s.doc().reorderDefs(true, 2, 0, false);
    answer(2001);
    EXPECT_EQ(s.sample(one).layerIndex, 0);
    EXPECT_EQ(s.undoNames().front(), "Reorder room channels");
    // A menu for a sample that is gone does not open.
    const int menus = r.menus;
    a.showChipMenu(two);
    a.showChipMenu(0);
    EXPECT_EQ(r.menus, menus);
    // An answer after the overlay went does nothing.
    a.showChipMenu(one);
    answer = r.answerMenu;
    s.host.removeFromDesktop();
    s.overlay.reset();
    answer(2);
}

// --- Dragging chips ---------------------------------------------------------

TEST(ChipDrag, GhostMarkAndMoveThroughThePeer) {
    struct Case {
        const char* what;
        std::vector<std::string> selected;
        int toColumn;  // -1 left of the grid, 9 past its right end
        std::string ghostText;
        int movedGroup;  // where Hit 1 ends; -1: nothing moves
        std::vector<std::string> alsoMoved;
    };
    const Case cases[] = {
        {"to the third group", {}, 2, "Hit 1", 2, {}},
        {"three selected move as one", {"Hit 1", "Hit 2", "Hit 6"}, 3, "Hit 1  +2", 3, {"Hit 2", "Hit 6"}},
        {"an unselected chip moves alone", {"Hit 2", "Hit 3"}, 1, "Hit 1", 1, {}},
        {"its own column", {}, 0, "Hit 1", -1, {}},
        {"past the right end", {}, 9, "Hit 1", 3, {}},
    };
    for (const auto& c : cases) {
        Shown s;
        Access a(*s.overlay);
        PeerMouse mouse{s.host};
        for (const auto& name : c.selected) s.doc().selection.insert(s.uidOf(name));
        s.overlay->refreshAll();
        const uint64_t uid = s.uidOf("Hit 1");
        auto* chip = s.chip(uid);
        ASSERT_NE(chip, nullptr) << c.what;
        const auto start = s.inHost(*chip, {30.0f, 11.0f});
        float x = 0.0f;
        if (c.toColumn < 0) {
            x = s.inHost(a.clip(), {-40.0f, 0.0f}).x;
        } else if (c.toColumn >= 4) {
            x = s.inHost(a.clip(), {a.clip().getWidth() + 6.0f, 0.0f}).x;
        } else {
            auto& column = *a.columns()[static_cast<size_t>(c.toColumn)];
            x = std::round(s.inHost(column, {column.getWidth() / 2.0f, 0.0f}).x);
        }
        const juce::Point<float> to{x, start.y + 40.0f};
        mouse.send(start, {}, 1000);
        mouse.send(start, PeerMouse::held(false));
        mouse.send(start + juce::Point<float>(12.0f, 0.0f), PeerMouse::held(false));
        mouse.send(to, PeerMouse::held(false));
        // Mid-way: the ghost under the pointer, the target column marked.
        auto& ghost = a.ghost();
        EXPECT_TRUE(ghost.isVisible()) << c.what;
        EXPECT_EQ(ghost.getParentComponent(), &a.clip()) << c.what;
        EXPECT_EQ(dragGhostText(ghost.name, ghost.count).toStdString(), c.ghostText) << c.what;
        EXPECT_EQ(ghost.getHeight(), 22);
        EXPECT_EQ(ghost.getBounds().getCentre(), a.clip().getLocalPoint(&s.host, to.toInt())) << c.what;
        EXPECT_EQ(ghost.colour, bandColour(0));
        const int marked = c.toColumn < 0 ? 0 : std::min(c.toColumn, 3);
        for (size_t i = 0; i < a.columns().size(); ++i)
            EXPECT_EQ(a.columns()[i]->dropTarget, static_cast<int>(i) == marked) << c.what << " column " << i;
        EXPECT_EQ(s.doc().dropBand, marked);
        mouse.send(to, {});
        // Released: idle again.
        EXPECT_FALSE(ghost.isVisible()) << c.what;
        EXPECT_EQ(ghost.getParentComponent(), nullptr) << c.what;
        EXPECT_EQ(s.doc().dropBand, -1);
        EXPECT_EQ(a.draggedUid(), 0u);
        for (const auto& column : a.columns()) EXPECT_FALSE(column->dropTarget) << c.what;
        EXPECT_EQ(s.groupOf(uid), c.movedGroup < 0 ? 0 : c.movedGroup) << c.what;
        for (const auto& name : c.alsoMoved) EXPECT_EQ(s.groupOf(s.uidOf(name)), c.movedGroup) << c.what;
        EXPECT_EQ(s.undoNames(), c.movedGroup < 0 ? std::vector<std::string>{}
                                                  : std::vector<std::string>{"Move samples"})
            << c.what;
        if (c.selected.size() == 2) {
            EXPECT_EQ(s.groupOf(s.uidOf("Hit 3")), 2);
        }
    }
}

TEST(ChipDrag, LeftOfTheGridTargetsTheFirstGroup) {
    Shown s;
    Access a(*s.overlay);
    const uint64_t uid = s.uidOf("Hit 3");  // group 2
    a.dragChip(uid, a.content().localPointToGlobal(juce::Point<int>(-30, 40)));
    EXPECT_EQ(s.doc().dropBand, 0);
    a.dragChip(uid, a.content().localPointToGlobal(juce::Point<int>(a.content().getWidth(), 40)));
    EXPECT_EQ(s.doc().dropBand, 3);
    a.dragChip(uid, a.content().localPointToGlobal(juce::Point<int>(-1, 40)));
    a.dropChip(uid);
    EXPECT_EQ(s.groupOf(uid), 0);
    EXPECT_EQ(s.undoNames(), std::vector<std::string>{"Move samples"});
}

TEST(ChipDrag, GhostWidthFollowsTheFirstColumn) {
    const std::pair<int, int> widths[] = {{400, 220}, {100, 120}, {126, 120}, {127, 121}, {200, 194}, {0, 120}};
    for (const auto& [column, ghost] : widths) EXPECT_EQ(dragGhostWidth(column), ghost) << column;
    const std::pair<int, const char*> texts[] = {{1, "Snare"}, {0, "Snare"}, {2, "Snare  +1"}, {3, "Snare  +2"}};
    for (const auto& [count, text] : texts) EXPECT_EQ(dragGhostText("Snare", count), text);

    // In the overlay: the first column's width at the drag's start.
    for (const auto& [column, ghost] : {std::pair{400, 220}, std::pair{100, 120}}) {
        KitShape shape;
        shape.place = [](size_t i, fmt::SmplEntry& row) {
            at(row, 0, static_cast<int>(i % 4));
            if (i == 4) row.name.reset();
        };
        Shown s(shape);
        Access a(*s.overlay);
        a.columns()[0]->setSize(column, a.columns()[0]->getHeight());
        const uint64_t unnamed = s.doc().samples[4].uid;
        a.dragChip(unnamed, a.content().localPointToGlobal(juce::Point<int>(10, 40)));
        EXPECT_EQ(a.ghost().getWidth(), ghost) << column;
        // Named as its chip: the group and the position, never a bare "Sample".
        const auto& sample = *s.doc().sampleByUid(unnamed);
        EXPECT_EQ(a.ghost().name, juce::String::fromUTF8(s.doc().sampleLabel(sample, s.doc().samplePosition(sample)).c_str()));
        EXPECT_NE(a.ghost().name, "Sample");
        a.dropChip(unnamed);
    }
}

TEST(ChipDrag, ARebuildEndsTheDrag) {
    Shown s;
    Access a(*s.overlay);
    PeerMouse mouse{s.host};
    const uint64_t uid = s.uidOf("Hit 1");
    auto* chip = s.chip(uid);
    ASSERT_NE(chip, nullptr);
    const auto start = s.inHost(*chip, {30.0f, 11.0f});
    auto& third = *a.columns()[2];
    const auto to = s.inHost(third, {third.getWidth() / 2.0f, 60.0f});
    mouse.send(start, {}, 1000);
    mouse.send(start, PeerMouse::held(false));
    mouse.send(to, PeerMouse::held(false));
    ASSERT_TRUE(a.ghost().isVisible());
    ASSERT_EQ(s.doc().dropBand, 2);
    // A structure change while the button is held deletes the dragged chip.
    s.doc().addBand();
    s.overlay->refreshAfterCommand();
    EXPECT_FALSE(a.ghost().isVisible());
    EXPECT_EQ(a.ghost().getParentComponent(), nullptr);
    EXPECT_EQ(s.doc().dropBand, -1);
    EXPECT_EQ(a.draggedUid(), 0u);
    for (const auto& column : a.columns()) EXPECT_FALSE(column->dropTarget);
    mouse.send(to, {});
    EXPECT_EQ(s.groupOf(uid), 0);
    // The same chip drags afresh afterwards.
    a.dragChip(uid, s.host.localPointToGlobal(to.toInt()));
    EXPECT_TRUE(a.ghost().isVisible());
    EXPECT_EQ(a.ghost().getParentComponent(), &a.clip());
    EXPECT_EQ(a.draggedUid(), uid);
}

TEST(ChipDrag, GhostPaint) {
    const auto colour = bandColour(2);
    const auto image = test::draw(200, 22, [&](juce::Graphics& g) { paintDragGhost(g, 200, 22, colour, "Hit 1"); });
    // The face in the group colour at alpha 217, a white outline.
    const auto face = image.getPixelAt(150, 11);
    EXPECT_TRUE(test::nearColour(face, colour.withAlpha(static_cast<juce::uint8>(217)), 4)) << face.toDisplayString(true);
    const auto edge = image.getPixelAt(100, 0);
    EXPECT_GT(edge.getAlpha(), 150);
    EXPECT_GT(edge.getRed(), 200);
    // White text inside the left part.
    EXPECT_TRUE(test::anyPixel(image.getClippedImage({7, 4, 40, 14}), [](juce::Colour c) {
        return c.getRed() > 240 && c.getGreen() > 240 && c.getBlue() > 240;
    }));
}

}  // namespace

}  // namespace vt6::ui::zemedit
