#include <gtest/gtest.h>

#include <cmath>

#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "widgets/message_boxes.hpp"
#include "widgets/gui_support.hpp"
#include "app/main_component_access.hpp"

namespace vt6::maker {

namespace {

struct RecordedBox {
    juce::String title, message;
    juce::StringArray buttons;
    juce::Component* associated = nullptr;
};

struct MainComponentTest : ::testing::Test {
    std::vector<RecordedBox> boxes;
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    std::unique_ptr<MainComponent> main;

    void SetUp() override {
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            RecordedBox box{o.getTitle(), o.getMessage(), {}, o.getAssociatedComponent()};
            for (int i = 0; i < o.getNumButtons(); ++i) box.buttons.add(o.getButtonText(i));
            boxes.push_back(box);
            if (done) done(0);
        });
        // Choosers are answered as cancelled: no dialog opens.
        setFileChooserPresenter([](const FileChooserRequest&, std::function<void(const juce::File&)> done) {
            done(juce::File());
        });
    }
    void TearDown() override {
        // NEW ZEM and Ctrl+N leave the modal new-file dialog open.
        test::pumpUntil([] {
            if (auto* dialog = juce::Component::getCurrentlyModalComponent()) dialog->exitModalState(0);
            return juce::Component::getCurrentlyModalComponent() == nullptr;
        });
        main.reset();
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
    }
    MainComponent& make() {
        main = std::make_unique<MainComponent>();
        return *main;
    }
};

int sliceFor(const juce::String& text) {
    return static_cast<int>(std::ceil(ui::makeFont(ui::kTypeButton).getStringWidthFloat(text))) + 34;
}

TEST_F(MainComponentTest, HeaderLayoutAtFullSize) {
    auto& c = make();
    MainComponentTestAccess a(c);
    ASSERT_EQ(c.getWidth(), 1280);
    ASSERT_EQ(c.getHeight(), 780);

    int x = 14 + 175;
    const auto expectSlice = [&](const juce::String& name, int slice) {
        EXPECT_EQ(a.button(name).getBounds(), juce::Rectangle<int>(x + 3, 8, slice - 6, 30)) << name;
        x += slice;
    };
    expectSlice("OPEN ZEM", sliceFor("OPEN ZEM"));
    expectSlice("IMPORT FOLDER", sliceFor("IMPORT FOLDER"));
    expectSlice("SAVE AS", sliceFor("SAVE AS"));
    expectSlice("Undo", 36);
    expectSlice("Redo", 36);
    expectSlice("SETTINGS", sliceFor("SETTINGS"));
    expectSlice("IMPORT REPORT", sliceFor("IMPORT REPORT"));
    EXPECT_EQ(a.button("Undo").getWidth(), 30);  // a 30 x 30 square

    EXPECT_EQ(a.button("CANCEL").getBounds(), juce::Rectangle<int>(1174, 744, 92, 30));
    EXPECT_EQ(a.statusLabel().getBounds(), juce::Rectangle<int>(14, 744, 1160, 30));
    EXPECT_EQ(a.button("NEW ZEM").getBounds(), juce::Rectangle<int>(560, 390, 160, 38));

    a.mountNew();
    EXPECT_EQ(a.overlay()->getBounds(), juce::Rectangle<int>(0, 49, 1280, 689));
}

TEST_F(MainComponentTest, NarrowWindowShrinksTheHeaderFromTheRight) {
    auto& c = make();
    MainComponentTestAccess a(c);
    c.setSize(400, 300);
    // The row is 372 wide; 175 go to the title, 197 remain.
    const int open = sliceFor("OPEN ZEM");
    ASSERT_LT(open, 197);
    EXPECT_EQ(a.button("OPEN ZEM").getBounds(), juce::Rectangle<int>(192, 8, open - 6, 30));
    const int rest = 197 - open;
    EXPECT_EQ(a.button("IMPORT FOLDER").getBounds(), juce::Rectangle<int>(189 + open + 3, 8, std::max(0, rest - 6), 30));
    for (const char* later : {"SAVE AS", "Undo", "Redo", "SETTINGS", "IMPORT REPORT"})
        EXPECT_EQ(a.button(later).getWidth(), 0) << later;

    c.setSize(20, 20);  // tiny: nothing goes negative
    EXPECT_EQ(a.button("OPEN ZEM").getWidth(), 0);
    EXPECT_EQ(a.button("OPEN ZEM").getHeight(), 4);
    EXPECT_EQ(a.button("CANCEL").getBounds(), juce::Rectangle<int>(14, 6, 0, 8));
}

TEST_F(MainComponentTest, ButtonStates) {
    auto& c = make();
    MainComponentTestAccess a(c);
    const auto enabled = [&](const char* name) { return a.button(name).isEnabled(); };
    const auto visible = [&](const char* name) { return a.button(name).isVisible(); };

    // No file open.
    EXPECT_TRUE(enabled("OPEN ZEM") && enabled("SETTINGS") && enabled("IMPORT REPORT") && enabled("NEW ZEM"));
    EXPECT_FALSE(enabled("IMPORT FOLDER") || enabled("SAVE AS") || enabled("Undo") || enabled("Redo"));
    EXPECT_TRUE(visible("NEW ZEM"));
    EXPECT_FALSE(visible("CANCEL"));

    // A mounted editor with one undoable step.
    juce::UndoManager undo;
    struct Step : juce::UndoableAction {
        bool perform() override { return true; }
        bool undo() override { return true; }
    };
    undo.beginNewTransaction();
    undo.perform(new Step());
    a.mountNew();
    c.setUndoManager(&undo);
    EXPECT_TRUE(enabled("IMPORT FOLDER") && enabled("SAVE AS") && enabled("Undo"));
    EXPECT_FALSE(enabled("Redo"));
    EXPECT_FALSE(visible("NEW ZEM"));

    a.button("Undo").triggerClick();
    test::pumpUntil([&] { return undo.canRedo(); });
    c.updateButtons();
    EXPECT_TRUE(enabled("Redo"));
    EXPECT_FALSE(enabled("Undo"));

    // An open or save job: everything off, no CANCEL, the editor takes no input.
    a.setBusy(true, false);
    for (const char* name : {"OPEN ZEM", "IMPORT FOLDER", "SAVE AS", "Undo", "Redo", "SETTINGS", "IMPORT REPORT"})
        EXPECT_FALSE(enabled(name)) << name;
    EXPECT_FALSE(visible("CANCEL"));
    EXPECT_FALSE(a.overlay()->isEnabled());

    // An import: CANCEL shows, the status counts files on the 100 ms refresh.
    a.setBusy(true, true);
    a.setFilesDone(7);
    EXPECT_TRUE(visible("CANCEL"));
    test::pumpUntil([&] { return a.statusLabel().getText() == "Importing 7 files..."; }, 1000);
    EXPECT_EQ(a.statusLabel().getText(), "Importing 7 files...");
    a.button("CANCEL").triggerClick();
    test::pumpUntil([&] { return a.cancelRequested(); });
    EXPECT_TRUE(a.cancelRequested());

    a.setBusy(false, false);
    EXPECT_TRUE(a.overlay()->isEnabled());
    c.setUndoManager(nullptr);
}

TEST_F(MainComponentTest, ShortcutsReachTheirOperations) {
    auto& c = make();
    MainComponentTestAccess a(c);
    std::vector<ShellAction> seen;
    c.setActionObserver([&](ShellAction action) { seen.push_back(action); });
    const auto ctrl = juce::ModifierKeys::ctrlModifier;
    const auto shift = juce::ModifierKeys::shiftModifier;
    struct Case {
        const char* what;
        juce::KeyPress key;
        bool busy;
        bool taken;
        std::vector<ShellAction> reached;
    };
    const Case cases[] = {
        {"Ctrl+O", juce::KeyPress('o', ctrl, 0), false, true, {ShellAction::open}},
        {"Ctrl+Shift+O", juce::KeyPress('O', ctrl | shift, 0), false, true, {ShellAction::open}},
        {"Ctrl+N", juce::KeyPress('n', ctrl, 0), false, true, {ShellAction::newFile}},
        {"Ctrl+S without a file still reaches save", juce::KeyPress('s', ctrl, 0), false, true, {ShellAction::save}},
        {"Ctrl+Shift+S", juce::KeyPress('S', ctrl | shift, 0), false, true, {ShellAction::saveAs}},
        {"O without Ctrl is passed on", juce::KeyPress('o', 0, 0), false, false, {}},
        {"N with Alt only is passed on", juce::KeyPress('n', juce::ModifierKeys::altModifier, 0), false, false, {}},
        {"comma without Ctrl is passed on", juce::KeyPress(',', 0, 0), false, false, {}},
        {"Ctrl+Q is not ours", juce::KeyPress('q', ctrl, 0), false, false, {}},
        {"Ctrl+O while busy", juce::KeyPress('o', ctrl, 0), true, false, {}},
        {"Ctrl+N while busy", juce::KeyPress('n', ctrl, 0), true, false, {}},
        {"Ctrl+S while busy", juce::KeyPress('s', ctrl, 0), true, false, {}},
        {"Ctrl+comma while busy", juce::KeyPress(',', ctrl, 0), true, false, {}},
    };
    for (const auto& k : cases) {
        seen.clear();
        a.setBusy(k.busy, false);
        EXPECT_EQ(c.keyPressed(k.key), k.taken) << k.what;
        EXPECT_EQ(seen, k.reached) << k.what;
        EXPECT_EQ(a.settingsWindow(), nullptr) << k.what;
    }
    a.setBusy(false, false);

    // The header buttons lead to the same operations.
    const std::pair<const char*, ShellAction> buttons[] = {
        {"OPEN ZEM", ShellAction::open}, {"NEW ZEM", ShellAction::newFile}, {"SETTINGS", ShellAction::settings}};
    for (const auto& [name, action] : buttons) {
        seen.clear();
        a.button(name).triggerClick();
        test::pumpUntil([&] { return !seen.empty(); });
        EXPECT_EQ(seen, std::vector<ShellAction>{action}) << name;
    }
    a.settingsWindow()->closeButtonPressed();

    seen.clear();
    EXPECT_TRUE(c.keyPressed(juce::KeyPress(',', ctrl, 0)));
    EXPECT_EQ(seen, std::vector<ShellAction>{ShellAction::settings});
    ASSERT_NE(a.settingsWindow(), nullptr);
    EXPECT_TRUE(a.settingsWindow()->isVisible());
    EXPECT_EQ(a.settingsWindow()->getName(), "ZEM Rivir - Settings");
    EXPECT_EQ(&a.settingsWindow()->getLookAndFeel(), &c.getLookAndFeel());

    // Closing only hides; the next open shows the same window.
    auto* window = a.settingsWindow();
    window->closeButtonPressed();
    EXPECT_FALSE(window->isVisible());
    a.button("SETTINGS").triggerClick();
    test::pumpUntil([&] { return window->isVisible(); });
    EXPECT_EQ(a.settingsWindow(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MainComponentTest, AnimationClockSleepsUntilSomethingAnimates) {
    auto& c = make();
    auto& clock = c.animationClock();
    EXPECT_TRUE(clock.isStarted());
    EXPECT_FALSE(clock.isTimerRunning());  // an idle window wakes nobody
    struct Animation : ui::widgets::V6VizService::Client {
        void tick(double) override {}
        bool isActive() override { return true; }
    } animation;
    clock.addClient(&animation);
    EXPECT_TRUE(clock.isTimerRunning());
    EXPECT_EQ(clock.getTimerInterval(), 33);
    clock.removeClient(&animation);
    EXPECT_FALSE(clock.isTimerRunning());
}

TEST_F(MainComponentTest, ImportReportAndMessages) {
    auto& c = make();
    MainComponentTestAccess a(c);
    a.button("IMPORT REPORT").triggerClick();
    test::pumpUntil([&] { return !boxes.empty(); });
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Import report");
    EXPECT_EQ(boxes[0].message, "No files imported yet.");
    EXPECT_EQ(boxes[0].buttons, juce::StringArray("OK"));
    EXPECT_EQ(boxes[0].associated, &c);

    a.setBusy(true, false);  // quitting does nothing while a job runs
    c.requestQuit();
    EXPECT_FALSE(juce::MessageManager::getInstance()->hasStopMessageBeenSent());
    a.setBusy(false, false);
}

TEST_F(MainComponentTest, TheFrameworksAlertWindowWearsTheTheme) {
    auto& c = make();
    MainComponentTestAccess a(c);
    ui::widgets::setMessageBoxPresenter({});  // the framework's own box, as the program shows it
    a.button("IMPORT REPORT").triggerClick();
    juce::AlertWindow* box = nullptr;
    test::pumpUntil([&] {
        auto& desktop = juce::Desktop::getInstance();
        for (int i = 0; i < desktop.getNumComponents(); ++i)
            if (auto* w = dynamic_cast<juce::AlertWindow*>(desktop.getComponent(i))) box = w;
        return box != nullptr;
    });
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(&box->getLookAndFeel(), &c.getLookAndFeel());
    const auto image = test::render(*box);
    EXPECT_EQ(image.getPixelAt(image.getWidth() - 6, 12), ui::themeColour(ui::ThemeColour::panelBackground));
    box->exitModalState(0);
    test::pumpUntil([&] {
        auto& desktop = juce::Desktop::getInstance();
        for (int i = 0; i < desktop.getNumComponents(); ++i)
            if (dynamic_cast<juce::AlertWindow*>(desktop.getComponent(i)) != nullptr) return false;
        return true;
    });
}

TEST_F(MainComponentTest, AudioStatusAndDeviceSetting) {
    {
        auto& c = make();
        MainComponentTestAccess a(c);
        EXPECT_EQ(a.statusLabel().getText(), "");
        EXPECT_EQ(a.statusLabel().findColour(juce::Label::textColourId), ui::themeColour(ui::ThemeColour::textSecondary));
        // The user picks the device again: the change listener stores it.
        auto& devices = c.audition().deviceManager();
        test::chooseOtherBufferSize(devices);
        test::pumpUntil([&] { return SettingsStore().audioDeviceState() != nullptr; }, 1000);
        EXPECT_NE(SettingsStore().audioDeviceState(), nullptr);
        main.reset();
    }
    settingsFileLocation().deleteFile();
    fake = std::make_unique<test::ScopedFakeAudio>(true);
    auto& c = make();
    MainComponentTestAccess a(c);
    EXPECT_EQ(a.statusLabel().getText(), "Audio output unavailable - open SETTINGS > Audio");
}

TEST_F(MainComponentTest, PaintsTitlesInTheTheme) {
    auto& c = make();
    const auto image = test::render(c);
    EXPECT_EQ(image.getPixelAt(640, 200), ui::themeColour(ui::ThemeColour::windowBackground));
    EXPECT_TRUE(test::anyPixel(image.getClippedImage({18, 8, 165, 28}), [](juce::Colour p) {
        return test::nearColour(p, ui::themeColour(ui::ThemeColour::accent), 8);
    }));
    const auto title = image.getClippedImage({0, 780 / 2 - 88, 1280, 56});
    EXPECT_TRUE(test::anyPixel(title, [](juce::Colour p) { return p == juce::Colours::white; }));

    MainComponentTestAccess(c).mountNew();
    const auto mounted = test::render(c);
    EXPECT_FALSE(test::anyPixel(mounted.getClippedImage({0, 780 / 2 - 88, 1280, 56}),
                                [](juce::Colour p) { return p == juce::Colours::white; }));
}

}  // namespace
}  // namespace vt6::maker
