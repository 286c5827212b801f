#pragma once
// The real application with its window, message boxes and choosers answered
// by the test, for the unsaved-changes guard and the end-to-end road.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/application.hpp"
#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "app/new_zem_dialog.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/message_boxes.hpp"
#include "app/main_component_access.hpp"

namespace vt6::maker {

namespace test_guard {

struct Box {
    juce::String title, message;
    juce::StringArray buttons;
    juce::MessageBoxIconType icon = juce::MessageBoxIconType::NoIcon;
    juce::Component* associated = nullptr;
};

inline juce::Button* overlayButton(juce::Component& overlay, const juce::String& text) {
    for (auto* child : overlay.getChildren())
        if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getButtonText() == text) return b;
    return nullptr;
}

inline NewZemDialog* openDialog() {
    return dynamic_cast<NewZemDialog*>(juce::Component::getCurrentlyModalComponent());
}

// One running application: its window, its main component, and the answers
// the user gives.
struct AppFixture : ::testing::Test {
    test::TempDir files;      // the user's files
    test::TempDir temporary;  // the system's temporary folder
    std::string previousTmp;
    std::vector<Box> boxes;
    std::vector<FileChooserRequest> requests;
    int questionAnswer = 0;  // the answer to "Unsaved changes"
    std::map<juce::String, int> answers;  // other boxes by title; the rest close
    juce::File answer;       // what the next chooser answers; empty: cancelled
    int quits = 0;
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    std::unique_ptr<Application> app;
    MainComponent* main = nullptr;

    void SetUp() override {
        if (const char* tmp = std::getenv("TMPDIR")) previousTmp = tmp;
        setenv("TMPDIR", temporary.root().c_str(), 1);
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([this](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            Box box{o.getTitle(), o.getMessage(), {}, o.getIconType(), o.getAssociatedComponent()};
            for (int i = 0; i < o.getNumButtons(); ++i) box.buttons.add(o.getButtonText(i));
            boxes.push_back(box);
            const auto other = answers.find(box.title);
            if (done) done(box.title == "Unsaved changes" ? questionAnswer : other != answers.end() ? other->second : 0);
        });
        setFileChooserPresenter([this](const FileChooserRequest& r, std::function<void(const juce::File&)> done) {
            requests.push_back(r);
            done(answer);
        });
        app = std::make_unique<Application>();
        app->initialise({});
        main = dynamic_cast<MainComponent*>(app->mainWindow()->getContentComponent());
        ASSERT_NE(main, nullptr);
        main->setQuitAction([this] { ++quits; });
        ASSERT_TRUE(test::pumpUntil([&] { return app->mainWindow()->isShowing(); }));
    }
    void TearDown() override {
        closeDialog();
        if (app != nullptr) app->shutdown();
        app.reset();
        test::pumpFor(20);
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
        if (previousTmp.empty())
            unsetenv("TMPDIR");
        else
            setenv("TMPDIR", previousTmp.c_str(), 1);
    }

    MainComponentTestAccess access() { return MainComponentTestAccess(*main); }

    static void closeDialog() {
        test::pumpUntil([] {
            if (auto* d = openDialog()) d->exitModalState(0);
            return juce::Component::getCurrentlyModalComponent() == nullptr;
        });
    }
    bool waitIdle(int ms = 20000) { return test::pumpUntil([&] { return !main->isBusy(); }, ms); }

    // Opens a file through the open job directly (no guard) and waits.
    void openDirect(const std::string& path) {
        main->openFile(juce::File(juce::String::fromUTF8(path.c_str())));
        ASSERT_TRUE(waitIdle());
        ASSERT_NE(main->overlay(), nullptr);
    }
    // A new editor may take the address of the one it replaced: the old one
    // carries a mark instead.
    void markOverlay() {
        if (auto* o = main->overlay()) o->getProperties().set("replaced", true);
    }
    bool overlayReplaced() const {
        return main->overlay() != nullptr && !main->overlay()->getProperties().contains("replaced");
    }
    int countBoxes(const juce::String& title) const {
        int n = 0;
        for (const auto& b : boxes) n += b.title == title ? 1 : 0;
        return n;
    }
    int countRequests(const juce::String& title) const {
        int n = 0;
        for (const auto& r : requests) n += r.title == title ? 1 : 0;
        return n;
    }
};

}  // namespace test_guard
}  // namespace vt6::maker
