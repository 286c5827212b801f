// The road through the real main component: a killed save's whole
// temporary, opened in a window that was already running and saved there,
// stays while the window saves it and while other instances start.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/wait.h>
#include <unistd.h>

#include "app/fake_audio.hpp"
#include "app/main_component.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "platform/leftovers.hpp"
#include "support/temp_dir.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::maker {
namespace {

TEST(OpenFileSweep, AKilledSavesTemporaryOpenedAndSavedInAWindowStays) {
    test::TempDir files;
    test::TempDir temporary;
    std::string previous;
    if (const char* tmp = std::getenv("TMPDIR")) previous = tmp;
    setenv("TMPDIR", temporary.root().c_str(), 1);

    // A killed instance: its id names no process any more, its lock file
    // remains and names the folder it saved into.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    ASSERT_GT(gone, 0);
    waitpid(gone, nullptr, 0);
    char tag[9];
    std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(gone));
    const std::string lock = temporary.path(std::string("zem-rivir-") + tag + ".lock");
    const auto leaveLock = [&] { std::ofstream(lock) << std::filesystem::canonical(files.root()).string() << "\n"; };
    // Its save's temporary, whole: the only copy of that save's edits.
    const std::string name = std::string("lib_temp") + tag + "89abcdef.zem";
    const std::string path = test::writeKit(files.path(name));

    test::ScopedFakeAudio fake;
    std::vector<juce::String> boxes;
    ui::widgets::setMessageBoxPresenter([&](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
        boxes.push_back(o.getTitle() + ": " + o.getMessage());
        if (done) done(0);
    });
    auto main = std::make_unique<MainComponent>();
    main->openFile(juce::File(juce::String::fromUTF8(path.c_str())));
    ASSERT_TRUE(test::pumpUntil([&] { return !main->isBusy(); }, 20000));
    ASSERT_NE(main->overlay(), nullptr);
    // Another instance starts: the gone owner's lock goes, the file the
    // window has open stays.
    leaveLock();
    platform::sweepLeftoversAtStart();
    EXPECT_TRUE(std::filesystem::exists(path)) << "removed by another instance's start";
    EXPECT_FALSE(std::filesystem::exists(lock));
    for (const char* band : {"Softer", "Soft again"}) {
        SCOPED_TRACE(band);
        ASSERT_TRUE(main->overlay()->document().renameBand(0, band));
        leaveLock();
        main->write(juce::File(juce::String::fromUTF8(path.c_str())), {});
        ASSERT_TRUE(test::pumpUntil([&] { return !main->isBusy(); }, 20000));
        EXPECT_TRUE(boxes.empty()) << boxes.front();
        EXPECT_TRUE(std::filesystem::exists(path)) << "removed by the sweep after its own save";
        // The save put a new file there, which the window has open too.
        platform::sweepLeftoversAtStart();
        EXPECT_TRUE(std::filesystem::exists(path)) << "removed by another instance's start after the save";
    }

    main.reset();
    test::pumpFor(20);
    ui::widgets::setMessageBoxPresenter({});
    if (previous.empty()) unsetenv("TMPDIR");
    else setenv("TMPDIR", previous.c_str(), 1);
}

} // namespace
} // namespace vt6::maker
