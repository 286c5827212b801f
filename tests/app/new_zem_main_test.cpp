// Starting a zem from nothing through the real main window: NEW ZEM, Ctrl+N
// and the editor's NEW open the dialog; CREATE ZEM mounts the new model.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/application.hpp"
#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "widgets/message_boxes.hpp"
#include "app/new_model.hpp"
#include "app/new_zem_dialog.hpp"
#include "app/new_zem_dialog_support.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "platform/leftovers.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "app/main_component_access.hpp"

namespace vt6::maker {

namespace {

using test::findChild;
using test::pumpUntil;

NewZemDialog* openDialog() { return dynamic_cast<NewZemDialog*>(juce::Component::getCurrentlyModalComponent()); }

// Every file of a folder.
// Every file of a folder but this process's own lock file, which stays in
// the temporary folder for as long as the program runs.
std::vector<std::string> filesIn(const std::filesystem::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    const std::string ownLock = "zem-rivir-" + platform::ownerTag() + ".lock";
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.path().filename() != ownLock) out.push_back(entry.path().string());
    return out;
}

juce::Button* overlayButton(juce::Component& overlay, const juce::String& text) {
    for (auto* child : overlay.getChildren())
        if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getButtonText() == text) return b;
    return nullptr;
}

std::vector<std::string> namesOf(const std::vector<ui::zemedit::logic::EditDef>& defs) {
    std::vector<std::string> out;
    for (const auto& d : defs) out.push_back(d.name);
    return out;
}

struct NewZemMainTest : ::testing::Test {
    test::TempDir files;
    test::TempDir temporary;  // the system's temporary folder
    std::string previousTmp;
    std::vector<juce::String> boxTitles;
    juce::File answer;
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    std::unique_ptr<Application::Window> window;
    MainComponent* main = nullptr;

    void SetUp() override {
        if (const char* tmp = std::getenv("TMPDIR")) previousTmp = tmp;
        setenv("TMPDIR", temporary.root().c_str(), 1);
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            boxTitles.push_back(o.getTitle());
            if (done) done(0);
        });
        setFileChooserPresenter(
            [this](const FileChooserRequest&, std::function<void(const juce::File&)> done) { done(answer); });
        window = std::make_unique<Application::Window>();
        main = dynamic_cast<MainComponent*>(window->getContentComponent());
        ASSERT_NE(main, nullptr);
        ASSERT_TRUE(pumpUntil([&] { return window->isShowing(); }));
    }
    void TearDown() override {
        // A dialog a test left open goes with its window.
        if (auto* d = openDialog()) d->exitModalState(0);
        test::pumpFor(30);
        window.reset();
        test::pumpFor(20);
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
        if (previousTmp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", previousTmp.c_str(), 1);
    }
    MainComponentTestAccess access() { return MainComponentTestAccess(*main); }

    NewZemDialog& waitForDialog() {
        EXPECT_TRUE(pumpUntil([] { return openDialog() != nullptr; }));
        auto* d = openDialog();
        if (d == nullptr) throw std::runtime_error("no dialog");
        // The user types once its first messages are handled.
        test::pumpFor(30);
        return *d;
    }

    // Replaces a field's text by typing, then leaves it as a user would.
    static void retype(juce::TextEditor& field, const juce::String& text) {
        field.grabKeyboardFocus();
        field.selectAll();
        field.keyPressed(juce::KeyPress(juce::KeyPress::deleteKey));
        test::typeInto(field, text);
    }

    void open(const std::string& path) {
        answer = juce::File(juce::String::fromUTF8(path.c_str()));
        access().button("OPEN ZEM").onClick();
        ASSERT_TRUE(pumpUntil([&] { return main->overlay() != nullptr && !main->isBusy(); }, 20000));
    }

    // Fills the dialog and presses CREATE ZEM; waits for the new editor.
    void create(NewZemDialog& d, const juce::String& name, int groups, int rooms, int articulations,
                const juce::String& names) {
        auto& c = d.content();
        retype(findChild<juce::TextEditor>(c, "ZEM name"), name);
        retype(findChild<juce::TextEditor>(c, "Dynamic groups"), juce::String(groups));
        retype(findChild<juce::TextEditor>(c, "Room channels"), juce::String(rooms));
        retype(findChild<juce::TextEditor>(c, "Articulations"), juce::String(articulations));
        retype(findChild<juce::TextEditor>(c, "Articulation names"), names);
        test::pumpFor(30);
        markOverlay();
        juce::Component::SafePointer<NewZemDialog> dialog(&d);
        findChild<juce::Button>(c, "CREATE ZEM").triggerClick();
        // The answer's callback mounts the new editor and then deletes the
        // dialog.
        ASSERT_TRUE(pumpUntil([&] { return dialog == nullptr; }, 10000));
        ASSERT_TRUE(freshOverlay());
    }

    // A new editor may take the address of the one it replaced: the old one
    // carries a mark instead.
    void markOverlay() {
        if (auto* o = main->overlay()) o->getProperties().set("replaced", true);
    }
    bool freshOverlay() {
        return main->overlay() != nullptr && !main->overlay()->getProperties().contains("replaced");
    }
};

TEST_F(NewZemMainTest, NewZemShowsTheDialogCentredOnTheWindow) {
    EXPECT_TRUE(access().button("NEW ZEM").isVisible());
    access().button("NEW ZEM").triggerClick();
    auto& d = waitForDialog();
    EXPECT_TRUE(d.isCurrentlyModal());
    EXPECT_EQ(d.getName(), "New ZEM");
    EXPECT_EQ(d.getContentComponent()->getBounds().getWidth(), 620);
    EXPECT_EQ(d.getContentComponent()->getBounds().getHeight(), 520);
    const auto mainCentre = main->getScreenBounds().getCentre();
    const auto dialogCentre = d.getScreenBounds().getCentre();
    EXPECT_LE(std::abs(mainCentre.x - dialogCentre.x), 1) << d.getScreenBounds().toString();
    EXPECT_LE(std::abs(mainCentre.y - dialogCentre.y), 1) << d.getScreenBounds().toString();

    auto& name = findChild<juce::TextEditor>(d.content(), "ZEM name");
    ASSERT_TRUE(pumpUntil([&] { return name.hasKeyboardFocus(false); }))
        << "focused: "
        << (juce::Component::getCurrentlyFocusedComponent() == nullptr
                ? juce::String("nothing")
                : juce::Component::getCurrentlyFocusedComponent()->getName())
        << " peer focused " << (d.getPeer() != nullptr && d.getPeer()->isFocused());
    EXPECT_EQ(name.getHighlightedText(), "Untitled");

    // Activating the blocked main window brings the dialog to the front with
    // the focus; the field that had it keeps it.
    auto& articulations = findChild<juce::TextEditor>(d.content(), "Articulations");
    articulations.grabKeyboardFocus();
    ASSERT_TRUE(pumpUntil([&] { return articulations.hasKeyboardFocus(false); }));
    juce::ModalComponentManager::getInstance()->bringModalComponentsToFront(true);
    test::pumpFor(30);
    EXPECT_TRUE(articulations.hasKeyboardFocus(false));

    // The main window takes no input while the dialog is up.
    EXPECT_TRUE(main->isCurrentlyBlockedByAnotherModalComponent());

    // Closed, the dialog gives the keyboard back to the main window, where
    // the shortcuts are.
    findChild<juce::Button>(d.content(), "CANCEL").triggerClick();
    ASSERT_TRUE(pumpUntil([] { return openDialog() == nullptr; }));
    EXPECT_TRUE(pumpUntil([&] { return main->hasKeyboardFocus(false); }));
}

TEST_F(NewZemMainTest, EveryWayToNewReachesTheDialog) {
    test::TempDir dir;
    const auto kit = test::writeKit(dir.path("kit.zem"));
    enum class Way { headerButton, ctrlN, editorNew };
    struct Case {
        const char* what;
        Way way;
        bool withFile;
        bool busy;
        bool shows;
    };
    const Case cases[] = {
        {"NEW ZEM with no file", Way::headerButton, false, false, true},
        {"Ctrl+N with no file", Way::ctrlN, false, false, true},
        {"Ctrl+N with a file", Way::ctrlN, true, false, true},
        {"the editor's NEW", Way::editorNew, true, false, true},
        {"NEW ZEM while busy", Way::headerButton, false, true, false},
        {"Ctrl+N while busy", Way::ctrlN, true, true, false},
        {"the editor's NEW while busy", Way::editorNew, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.withFile && main->overlay() == nullptr) open(kit);
        access().setBusy(c.busy);
        switch (c.way) {
            case Way::headerButton: access().button("NEW ZEM").onClick(); break;
            case Way::ctrlN:
                main->keyPressed(juce::KeyPress('n', juce::ModifierKeys::ctrlModifier, 0));
                break;
            case Way::editorNew: {
                auto* b = overlayButton(*main->overlay(), "NEW ZEM");
                ASSERT_NE(b, nullptr);
                b->onClick();
                break;
            }
        }
        if (c.shows) {
            auto& d = waitForDialog();
            findChild<juce::Button>(d.content(), "CANCEL").triggerClick();
            ASSERT_TRUE(pumpUntil([] { return openDialog() == nullptr; }));
        } else {
            test::pumpFor(100);
            EXPECT_EQ(openDialog(), nullptr);
        }
        access().setBusy(false);
    }
}

TEST_F(NewZemMainTest, CreateMountsTheNewModel) {
    struct Case {
        const char* name;
        int groups, rooms, articulations;
        const char* names;
        std::vector<std::string> layers;
        std::vector<std::string> firstArticulations;
        const char* status;
    };
    const Case cases[] = {
        {"Untitled", 4, 0, 1, "", {"Direct"}, {"CENTER"}, "Direct / 1 articulation"},
        {"Snare", 3, 2, 3, " Kick ,, Rim ", {"Direct", "Room A", "Room B"}, {"Kick", "Rim", "ART 3"},
         "Direct / 3 articulations"},
        {"Toms", 1, 3, 5, "Hi, Mid, Lo, Floor, Rack, Extra", {"Direct", "Room A", "Room B", "Room C"},
         {"Hi", "Mid", "Lo", "Floor", "Rack"}, "Direct / 5 articulations"},
        // Typed past every limit: the counts clamp when read.
        {"Big", 200, 3, 999, "", {"Direct", "Room A", "Room B", "Room C"}, {"CENTER", "ART 2"},
         "Direct / 128 articulations"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        main->keyPressed(juce::KeyPress('n', juce::ModifierKeys::ctrlModifier, 0));
        auto& d = waitForDialog();
        create(d, c.name, c.groups, c.rooms, c.articulations, c.names);

        auto* overlay = main->overlay();
        ASSERT_NE(overlay, nullptr);
        auto& doc = overlay->document();
        EXPECT_EQ(namesOf(doc.layers), c.layers);
        const int articulations = std::min(c.articulations, 128);
        ASSERT_EQ(doc.articulations.size(), static_cast<size_t>(articulations));
        for (size_t i = 0; i < c.firstArticulations.size(); ++i)
            EXPECT_EQ(doc.articulations[i].name, c.firstArticulations[i]) << i;
        EXPECT_EQ(doc.bands.size(), static_cast<size_t>(std::min(c.groups, 127)));
        EXPECT_EQ(doc.pageLayer, 0);
        EXPECT_EQ(doc.pageArticulation, 0);
        EXPECT_FALSE(doc.dirty());
        EXPECT_TRUE(overlay->deps.filePath.empty());
        EXPECT_EQ(access().status(), c.status);
        EXPECT_EQ(access().current(), juce::File());
        EXPECT_EQ(access().noOverwrite(), juce::File());
        EXPECT_FALSE(access().hasWorkingCopy());
        EXPECT_EQ(access().undoManager(), &overlay->undoManager());
        EXPECT_EQ(access().asOpened().metadata.name, std::optional<std::string>(c.name));
        EXPECT_EQ(access().asOpened().metadata.dynamics.size(), doc.bands.size());
        EXPECT_FALSE(access().button("NEW ZEM").isVisible());
        EXPECT_TRUE(access().button("SAVE AS").isEnabled());
    }
    EXPECT_TRUE(boxTitles.empty());
}

TEST_F(NewZemMainTest, NewFileReplacesAnOpenOneAndResetReturnsToIt) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    open(kit);
    ASSERT_TRUE(access().hasWorkingCopy());
    ASSERT_EQ(access().current(), juce::File(kit));
    access().importedKeys()["some file"] = 7;

    // CANCEL leaves the open file as it was.
    markOverlay();
    main->keyPressed(juce::KeyPress('n', juce::ModifierKeys::ctrlModifier, 0));
    findChild<juce::Button>(waitForDialog().content(), "CANCEL").triggerClick();
    ASSERT_TRUE(pumpUntil([] { return openDialog() == nullptr; }));
    test::pumpFor(30);
    EXPECT_FALSE(freshOverlay());
    EXPECT_TRUE(access().hasWorkingCopy());
    EXPECT_EQ(access().importedKeys().size(), 1u);

    main->keyPressed(juce::KeyPress('n', juce::ModifierKeys::ctrlModifier, 0));
    create(waitForDialog(), "Fresh", 3, 2, 2, "A, B");
    EXPECT_EQ(access().current(), juce::File());
    EXPECT_EQ(access().noOverwrite(), juce::File());
    EXPECT_FALSE(access().hasWorkingCopy());
    EXPECT_TRUE(access().importedKeys().empty());
    // The released working copy is deleted from the temporary folder.
    EXPECT_TRUE(pumpUntil([&] { return filesIn(temporary.root()).empty(); }, 5000));
    // The user's file is untouched.
    EXPECT_TRUE(juce::File(kit).existsAsFile());
    EXPECT_EQ(access().status(), "Direct / 2 articulations");

    // RESET mounts the new model again, not the file opened before.
    auto* reset = overlayButton(*main->overlay(), "RESET");
    ASSERT_NE(reset, nullptr);
    markOverlay();
    reset->onClick();
    ASSERT_TRUE(pumpUntil([&] { return freshOverlay(); }));
    EXPECT_FALSE(main->isBusy());  // no open job
    auto& doc = main->overlay()->document();
    EXPECT_EQ(namesOf(doc.layers), (std::vector<std::string>{"Direct", "Room A", "Room B"}));
    EXPECT_EQ(namesOf(doc.articulations), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(doc.bands.size(), 3u);
    EXPECT_TRUE(main->overlay()->deps.filePath.empty());
    EXPECT_EQ(access().current(), juce::File());
}

TEST_F(NewZemMainTest, ADialogLeftOpenOutlivesTheWindow) {
    access().button("NEW ZEM").triggerClick();
    juce::Component::SafePointer<NewZemDialog> dialog(&waitForDialog());
    window.reset();
    main = nullptr;
    test::pumpFor(30);
    ASSERT_NE(dialog, nullptr);
    // Confirming it now only deletes it.
    findChild<juce::Button>(dialog->content(), "CREATE ZEM").triggerClick();
    EXPECT_TRUE(pumpUntil([&] { return dialog == nullptr; }));
    EXPECT_TRUE(boxTitles.empty());
}

}  // namespace
}  // namespace vt6::maker
