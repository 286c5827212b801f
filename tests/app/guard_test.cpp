// The unsaved-changes guard through the real application: every caller that
// replaces or leaves the open zem, against every branch of the guard and
// every answer to its question.

#include <filesystem>

#include "app/audio_fixtures.hpp"
#include "app/guard_support.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/sample_load.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/sample_editor_access.hpp"
#include "editor/ui/user_messages.hpp"

namespace vt6::maker {
namespace {

using test::pumpUntil;
using test_guard::AppFixture;
using test_guard::overlayButton;

enum class Caller { openButton, ctrlO, ctrlN, editorNew, editorReset, closeButton, systemQuit };

struct CallerCase {
    const char* name;
    Caller caller;
};
const CallerCase kCallers[] = {
    {"OPEN ZEM", Caller::openButton},         {"Ctrl+O", Caller::ctrlO},
    {"Ctrl+N", Caller::ctrlN},                {"editor NEW ZEM", Caller::editorNew},
    {"editor RESET", Caller::editorReset},    {"window close button", Caller::closeButton},
    {"system quit request", Caller::systemQuit},
};

bool needsEditor(Caller c) { return c == Caller::editorNew || c == Caller::editorReset; }

// The state the guard meets.
enum class State {
    noFile,            // nothing mounted
    clean,             // an opened kit without edits
    busy,              // a job runs
    pendingSampleEdit, // a sample editor holds edits not yet applied
    dirty,             // an opened kit with an edit
    dirtyFolderGone,   // as dirty, but the kit's folder has gone: saving fails
    dirtySampleEditor, // as dirty, with a sample editor open and nothing pending in it
    dirtyLegacy,       // a converted legacy file with an edit: saving asks for a new name
};

struct Branch {
    const char* name;
    State setup;
    int answer;                // to "Unsaved changes"
    bool asks;                 // the question is shown
    juce::String otherTitle;   // another box shown, if any
    std::string otherMessage;  // its text
    bool runs;                 // the guarded action runs
};

void PrintTo(const Branch& b, std::ostream* os) { *os << b.name; }

std::string saveFailure() { return saveErrorText(6); }

const Branch kBranches[] = {
    {"no file open runs at once", State::noFile, 0, false, {}, {}, true},
    {"a clean document runs at once", State::clean, 0, false, {}, {}, true},
    {"busy drops the action", State::busy, 2, false, {}, {}, false},
    {"a pending sample edit refuses", State::pendingSampleEdit, 2, false, "Sample editor",
     "Press DONE in the sample editor to apply or discard its changes before leaving this zem.", false},
    {"Cancel does nothing", State::dirty, 0, true, {}, {}, false},
    {"Discard runs it", State::dirty, 2, true, {}, {}, true},
    {"Save runs it after the save", State::dirty, 1, true, {}, {}, true},
    {"Save that fails keeps the file open", State::dirtyFolderGone, 1, true, "Cannot save zem", saveFailure(), false},
    {"Save refused by an open sample editor", State::dirtySampleEditor, 1, true, "Sample editor",
     "Press DONE in the sample editor to apply or discard its changes before saving the zem.", false},
    {"Save whose chooser is cancelled", State::dirtyLegacy, 1, true, {}, {}, false},
    {"Discard on a converted file runs it", State::dirtyLegacy, 2, true, {}, {}, true},
};

struct GuardTest : AppFixture, ::testing::WithParamInterface<Branch> {
    int opens = 0, newDialogs = 0;

    void SetUp() override {
        AppFixture::SetUp();
        main->setActionObserver([this](ShellAction a) {
            opens += a == ShellAction::open ? 1 : 0;
            newDialogs += a == ShellAction::newFile ? 1 : 0;
        });
    }

    // Brings the application into the branch's state; the path of the file
    // that is open, if any.
    std::string prepare(State setup, int round) {
        main->setActionObserver({});
        closeDialog();
        access().setBusy(false);
        std::string path;
        if (setup == State::noFile) {
            // A fresh window: nothing mounted.
            app->shutdown();
            app->initialise({});
            main = dynamic_cast<MainComponent*>(app->mainWindow()->getContentComponent());
            main->setQuitAction([this] { ++quits; });
        } else if (setup == State::dirtyLegacy) {
            path = files.write("old " + std::to_string(round) + ".zem",
                               zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)));
            openDirect(path);
        } else {
            const auto folder = files.path("kits " + std::to_string(round));
            std::filesystem::create_directories(folder);
            path = test::writeKit(folder + "/kit.zem");
            openDirect(path);
        }
        if (setup != State::noFile && setup != State::clean) {
            EXPECT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
            main->overlay()->refreshAfterCommand();
            EXPECT_TRUE(main->overlay()->document().dirty());
        }
        if (setup == State::busy) access().setBusy(true);
        if (setup == State::pendingSampleEdit || setup == State::dirtySampleEditor) {
            // The sample editor as a chip's edit action opens it; a trim step
            // is an edit it has not applied yet.
            auto& overlay = *main->overlay();
            ui::zemedit::SampleEditorOverlayAccess::open(overlay, overlay.document().samples.front().uid);
            auto* editor = ui::zemedit::SampleEditorOverlayAccess::editor(overlay);
            EXPECT_NE(editor, nullptr);
            if (editor != nullptr && setup == State::pendingSampleEdit)
                editor->keyPressed(juce::KeyPress(juce::KeyPress::rightKey));
            EXPECT_EQ(overlay.sampleEditorHasUnappliedChanges(), setup == State::pendingSampleEdit);
        }
        if (setup == State::dirtyFolderGone) std::filesystem::remove_all(std::filesystem::path(path).parent_path());
        main->setActionObserver([this](ShellAction a) {
            opens += a == ShellAction::open ? 1 : 0;
            newDialogs += a == ShellAction::newFile ? 1 : 0;
        });
        boxes.clear();
        requests.clear();
        opens = newDialogs = quits = 0;
        return path;
    }

    void trigger(Caller caller) {
        const auto ctrl = juce::ModifierKeys::ctrlModifier;
        switch (caller) {
            case Caller::openButton: access().button("OPEN ZEM").onClick(); break;
            case Caller::ctrlO: main->keyPressed(juce::KeyPress('o', ctrl, 0)); break;
            case Caller::ctrlN: main->keyPressed(juce::KeyPress('n', ctrl, 0)); break;
            case Caller::editorNew: overlayButton(*main->overlay(), "NEW ZEM")->onClick(); break;
            case Caller::editorReset: overlayButton(*main->overlay(), "RESET")->onClick(); break;
            case Caller::closeButton: app->mainWindow()->closeButtonPressed(); break;
            case Caller::systemQuit: app->systemRequestedQuit(); break;
        }
    }

    // Lets posted calls, the save job and what follows it finish.
    void settle() {
        test::pumpFor(30);
        ASSERT_TRUE(waitIdle());
        test::pumpFor(10);
        ASSERT_TRUE(waitIdle());
    }

    bool ran(Caller caller) {
        switch (caller) {
            case Caller::openButton:
            case Caller::ctrlO: return opens > 0;
            case Caller::ctrlN:
            case Caller::editorNew: return newDialogs > 0;
            case Caller::editorReset: return overlayReplaced();
            case Caller::closeButton:
            case Caller::systemQuit: return quits > 0;
        }
        return false;
    }
};

TEST_P(GuardTest, EveryCallerMeetsTheBranch) {
    const Branch& b = GetParam();
    int round = 0;
    for (const auto& c : kCallers) {
        if (b.setup == State::noFile && needsEditor(c.caller)) continue;
        SCOPED_TRACE(c.name);
        const auto path = prepare(b.setup, ++round);
        questionAnswer = b.answer;
        answer = juce::File();  // every chooser is cancelled
        markOverlay();
        const bool wasDirty = main->overlay() != nullptr && main->overlay()->document().dirty();
        trigger(c.caller);
        if (b.setup == State::busy)
            test::pumpFor(50);  // the fake job never ends
        else
            settle();

        EXPECT_EQ(ran(c.caller), b.runs);
        EXPECT_EQ(countBoxes("Unsaved changes"), b.asks ? 1 : 0);
        if (b.asks && !boxes.empty()) {
            const auto& q = boxes.front();
            EXPECT_EQ(q.title, "Unsaved changes");
            EXPECT_EQ(q.message, "Save changes to this zem?");
            EXPECT_EQ(q.buttons, juce::StringArray({"Save", "Discard", "Cancel"}));
            EXPECT_EQ(q.icon, juce::MessageBoxIconType::InfoIcon);
            EXPECT_EQ(q.associated, main);
        }
        const size_t others = boxes.size() - static_cast<size_t>(countBoxes("Unsaved changes"));
        if (b.otherTitle.isEmpty()) {
            EXPECT_EQ(others, 0u) << (boxes.empty() ? juce::String() : boxes.back().title);
        } else {
            ASSERT_EQ(others, 1u);
            EXPECT_EQ(boxes.back().title, b.otherTitle);
            EXPECT_EQ(boxes.back().message, juce::String::fromUTF8(b.otherMessage.c_str()));
        }
        if (b.setup == State::dirtyLegacy && b.answer == 1) {
            // The converted source is never written: the chooser proposes a
            // copy beside it, and cancelling it keeps everything open.
            ASSERT_EQ(countRequests("Save zem"), 1);
            EXPECT_EQ(requests.front().start,
                      juce::File(juce::String::fromUTF8(path.c_str())).getParentDirectory().getChildFile(
                          juce::String::fromUTF8(std::filesystem::path(path).stem().c_str()) + "_ZEM6.zem"));
        }
        if (!b.runs && wasDirty) {
            // Nothing was replaced and no edit was lost.
            ASSERT_NE(main->overlay(), nullptr);
            EXPECT_FALSE(overlayReplaced());
            EXPECT_TRUE(main->overlay()->document().dirty());
            EXPECT_EQ(main->overlay()->document().bands[0].name, "Softer");
        }
        if (b.answer == 1 && b.runs && c.caller != Caller::editorReset) {
            // Saved first: the document on disk holds the edit.
            EXPECT_FALSE(main->overlay()->document().dirty());
        }
        access().setBusy(false);
    }
}

INSTANTIATE_TEST_SUITE_P(Branches, GuardTest, ::testing::ValuesIn(kBranches),
                         [](const ::testing::TestParamInfo<Branch>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p != 0; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
                             return name;
                         });

using GuardExamples = AppFixture;

TEST_F(GuardExamples, DiscardBeforeOpeningKeepsTheEditsUntilAnotherFileIsMounted) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    const auto other = test::writeKit(files.path("other.zem"), 4, 2, "Other");
    openDirect(kit);
    ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
    questionAnswer = 2;

    // Ctrl+O, Discard, then the chooser is cancelled: the edits stay.
    answer = juce::File();
    main->keyPressed(juce::KeyPress('o', juce::ModifierKeys::ctrlModifier, 0));
    ASSERT_EQ(countRequests("Open zem"), 1);
    EXPECT_TRUE(main->overlay()->document().dirty());
    EXPECT_EQ(main->overlay()->document().bands[0].name, "Softer");

    // Again, now choosing another file: only its mount drops the edits.
    answer = juce::File(juce::String::fromUTF8(other.c_str()));
    markOverlay();
    main->keyPressed(juce::KeyPress('o', juce::ModifierKeys::ctrlModifier, 0));
    ASSERT_TRUE(pumpUntil([&] { return overlayReplaced() && !main->isBusy(); }, 20000));
    EXPECT_EQ(main->overlay()->document().name, "Other");
    EXPECT_EQ(countBoxes("Unsaved changes"), 2);
    // The file left behind was not written.
    auto reread = fmt::openZem6File(kit, fmt::ReadPolicy{});
    ASSERT_TRUE(reread.ok());
    EXPECT_EQ(reread.value().model.metadata.dynamics[0].name, "G1");
}

TEST_F(GuardExamples, QuittingAConvertedFileWithSaveAsksForANewNameFirst) {
    const auto legacy = files.write("Old Kit.v2.zem", zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)));
    const auto before = test::TempDir::contents(legacy);
    openDirect(legacy);
    ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
    questionAnswer = 1;

    answer = juce::File();  // the chooser is cancelled: the program keeps running
    app->mainWindow()->closeButtonPressed();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].title, "Save zem");
    EXPECT_EQ(requests[0].start, juce::File(juce::String::fromUTF8(files.path("Old Kit.v2_ZEM6.zem").c_str())));
    test::pumpFor(30);
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(main->overlay()->document().dirty());

    // A new name: saved there, then the program quits.
    const auto copy = files.path("Old Kit new.zem");
    answer = juce::File(juce::String::fromUTF8(copy.c_str()));
    app->mainWindow()->closeButtonPressed();
    ASSERT_TRUE(pumpUntil([&] { return quits == 1; }, 20000));
    EXPECT_FALSE(main->overlay()->document().dirty());
    EXPECT_TRUE(fmt::openZem6File(copy, fmt::ReadPolicy{}).ok());
    EXPECT_EQ(test::TempDir::contents(legacy), before);
}

TEST_F(GuardExamples, ClosingDuringASaveOrOpenWaitsAndDuringAnImportCancelsItFirst) {
    const auto kit = test::writeKit(files.path("kit.zem"), 40, 4);
    openDirect(kit);
    ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
    questionAnswer = 2;  // were the question asked, Discard would quit

    // A save job: closing and the system's quit request are ignored.
    main->write(juce::File(juce::String::fromUTF8(kit.c_str())), {});
    ASSERT_TRUE(main->isBusy());
    app->mainWindow()->closeButtonPressed();
    app->systemRequestedQuit();
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(quits, 0);
    EXPECT_TRUE(app->mainWindow()->isShowing());

    // An import job.
    const auto folder = juce::File(juce::String::fromUTF8(files.path("hits").c_str()));
    ASSERT_TRUE(folder.createDirectory());
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(test::writeAudioFile(folder.getChildFile("Hit " + juce::String(i) + ".wav"),
                                         test::hitAudio(44100, 2), 44100, 24));
    // An import job is cancelled instead, and the quit follows once it has
    // stopped (the document was saved above: no question).
    main->import({folder}, -1);
    ASSERT_TRUE(main->isBusy());
    app->mainWindow()->closeButtonPressed();
    app->systemRequestedQuit();
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(waitIdle());
    ASSERT_TRUE(test::pumpUntil([&] { return quits == 1; }, 3000));
    boxes.clear();

    // An open job likewise, with unsaved changes in the document.
    ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softest"));
    main->openFile(juce::File(juce::String::fromUTF8(kit.c_str())));
    ASSERT_TRUE(main->isBusy());
    app->mainWindow()->closeButtonPressed();
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(waitIdle());
    test::pumpFor(300);  // past the shell's next ticks: no late quit
    EXPECT_EQ(quits, 1);
}

TEST_F(GuardExamples, AnAnswerThatArrivesDuringASaveIsDropped) {
    const auto kit = test::writeKit(files.path("kit.zem"));
    openDirect(kit);
    ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
    // Two quit requests, both questions still open; the first is answered
    // Save, the second Discard while that save runs.
    std::vector<std::function<void(int)>> pending;
    ui::widgets::setMessageBoxPresenter([&](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
        boxes.push_back({o.getTitle(), o.getMessage(), {}, o.getIconType(), o.getAssociatedComponent()});
        pending.push_back(std::move(done));
    });
    app->mainWindow()->closeButtonPressed();
    app->systemRequestedQuit();
    ASSERT_EQ(pending.size(), 2u);
    pending[0](1);
    ASSERT_TRUE(main->isBusy());
    pending[1](2);
    EXPECT_EQ(quits, 0);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(quits, 1);  // once, after the save
}

TEST_F(GuardExamples, ResetOfADeletedFileAfterDiscardKeepsEverySamplesAudio) {
    struct Case {
        const char* name;
        bool legacy;
    };
    for (const Case c : {Case{"kit", false}, Case{"converted", true}}) {
        SCOPED_TRACE(c.name);
        const auto path = c.legacy ? files.write("old.zem", zem::testing::buildLegacyFile(zem::testing::sampleLegacyFile(6)))
                                   : test::writeKit(files.path("kit.zem"));
        openDirect(path);
        const auto copy = access().workingCopy();
        const auto samples = main->overlay()->document().liveSampleCount;
        ASSERT_TRUE(main->overlay()->document().renameBand(0, "Softer"));
        std::filesystem::remove(path);

        boxes.clear();
        questionAnswer = 2;
        markOverlay();
        overlayButton(*main->overlay(), "RESET")->onClick();
        ASSERT_TRUE(pumpUntil([&] { return overlayReplaced(); }));
        EXPECT_EQ(countBoxes("Unsaved changes"), 1);
        auto* after = main->overlay();
        EXPECT_EQ(after->deps.filePath, copy.getFullPathName().toStdString());
        EXPECT_FALSE(after->document().dirty());
        EXPECT_EQ(after->document().liveSampleCount, samples);
        // The samples' audio is still there to save and audition.
        const auto first = after->document().samples.front().uid;
        const auto audio = after->viewModel.sampleAudio(first);
        ASSERT_TRUE(audio.ok()) << audio.message();
        EXPECT_FALSE(audio.value().samples.empty());
    }
}

}  // namespace
}  // namespace vt6::maker
