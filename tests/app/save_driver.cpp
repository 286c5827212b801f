// Test-only driver for the kill-during-save script: the real program window
// opens a file, makes one edit, saves it over the file with Ctrl+S and quits.
// Prints "saving" when the save job starts and "saved" when it ended well.
//
//   zem_save_driver <file.zem>                    open, edit, save, quit
//   zem_save_driver --kit <path> <samples> <frames>  writes a stereo kit there
//   zem_save_driver --quit <file.zem>             open, edit, wait for the hit
//                                                 analysis, ask to quit, answer
//                                                 Discard; prints the answer's
//                                                 wall-clock time in ns
//   zem_save_driver --check <file.zem>            prints "new" when the file
//                                                 opens and holds the edit,
//                                                 "other" when it opens
//                                                 without it, else "broken"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/application.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "format/reader.hpp"
#include "widgets/message_boxes.hpp"

namespace vt6::ui::zemedit {
// Whether the overlay's hit analysis is measuring.
class HitAnalysisTestAccess {
public:
    static bool running(const ZemEditOverlay& o) {
        return o.hitWork != nullptr && o.hitThread.joinable() && !o.hitWork->done.load();
    }
};
}  // namespace vt6::ui::zemedit

namespace {

constexpr const char* kEditedName = "Saved Under Fire";

std::string gPath;
bool gQuitMode = false;

class DriverApplication : public vt6::maker::Application {
public:
    void initialise(const juce::String& commandLine) override {
        vt6::maker::Application::initialise(commandLine);
        // Any other box would wait for a user: say what it was and fail.
        vt6::ui::widgets::setMessageBoxPresenter([](const juce::MessageBoxOptions& o, std::function<void(int)> done) {
            if (gQuitMode && o.getTitle() == "Unsaved changes") {
                juce::MessageManager::callAsync([done] {
                    const auto now = std::chrono::system_clock::now().time_since_epoch();
                    std::printf("answer %lld\n",
                                static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
                    std::fflush(stdout);
                    done(2);
                });
                return;
            }
            std::fprintf(stderr, "%s: %s\n", o.getTitle().toRawUTF8(), o.getMessage().toRawUTF8());
            std::exit(3);
        });
        main_ = dynamic_cast<vt6::maker::MainComponent*>(mainWindow()->getContentComponent());
        main_->openFile(juce::File(juce::String::fromUTF8(gPath.c_str())));
        poll_.function = [this] { step(); };
        poll_.startTimer(5);
    }

private:
    struct Poll : juce::Timer {
        std::function<void()> function;
        void timerCallback() override { function(); }
    };

    void step() {
        if (main_->isBusy()) return;
        if (gQuitMode) {
            if (stage_ == 0 && main_->overlay() != nullptr) {
                stage_ = 1;
                mountedMs_ = juce::Time::getMillisecondCounter();
            } else if (stage_ == 1 &&
                       (vt6::ui::zemedit::HitAnalysisTestAccess::running(*main_->overlay()) ||
                        juce::Time::getMillisecondCounter() - mountedMs_ >= 2000)) {
                // Quit while the editor's hit analysis measures.
                stage_ = 2;
                poll_.stopTimer();
                main_->overlay()->document().renameBand(0, kEditedName);
                main_->requestQuit();
            }
            return;
        }
        if (stage_ == 0) {
            auto* overlay = main_->overlay();
            if (overlay == nullptr || !overlay->document().renameBand(0, kEditedName)) std::exit(4);
            main_->keyPressed(juce::KeyPress('s', juce::ModifierKeys::ctrlModifier, 0));
            if (!main_->isBusy()) std::exit(5);
            std::printf("saving\n");
            std::fflush(stdout);
            stage_ = 1;
        } else if (stage_ == 1) {
            std::printf("saved\n");
            std::fflush(stdout);
            stage_ = 2;
            poll_.stopTimer();
            main_->requestQuit();  // clean now: quits at once
        }
    }

    vt6::maker::MainComponent* main_ = nullptr;
    Poll poll_;
    int stage_ = 0;
    juce::uint32 mountedMs_ = 0;
};

juce::JUCEApplicationBase* createApplication() { return new DriverApplication(); }

int writeKit(const std::string& path, int samples, uint64_t frames) {
    vt6::test::SampleFileBuilder builder;
    for (int i = 0; i < samples; ++i) {
        vt6::test::SampleRecipe recipe;
        recipe.rate = 44100;
        recipe.channels = 2;
        recipe.frames = frames;
        recipe.seed = static_cast<uint32_t>(i + 1);
        builder.add(recipe);
    }
    // Adds no samples of its own: it names and places the ones above.
    const auto model = vt6::test::kitModel(builder, 0, 4, "Large");
    const auto written = vt6::fmt::writeZem6File(path, model, builder.payloads());
    if (!written.ok()) {
        std::fprintf(stderr, "%s\n", written.message().c_str());
        return 1;
    }
    return 0;
}

int check(const std::string& path) {
    auto opened = vt6::fmt::openZem6File(path, vt6::fmt::ReadPolicy{});
    if (!opened.ok()) {
        std::printf("broken\n");
        return 0;
    }
    for (const auto& band : opened.value().model.metadata.dynamics) {
        if (band.name == kEditedName) {
            std::printf("new\n");
            return 0;
        }
    }
    std::printf("other\n");
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 5 && std::string(argv[1]) == "--kit")
        return writeKit(argv[2], std::atoi(argv[3]), std::strtoull(argv[4], nullptr, 10));
    if (argc == 3 && std::string(argv[1]) == "--check") return check(argv[2]);
    if (argc == 3 && std::string(argv[1]) == "--quit") {
        gQuitMode = true;
        gPath = argv[2];
    } else if (argc == 2) {
        gPath = argv[1];
    } else {
        std::fprintf(stderr, "usage: zem_save_driver <file.zem> | --quit <file.zem> | --kit <path> <samples> <frames> | "
                     "--check <file>\n");
        return 2;
    }
    juce::JUCEApplicationBase::createInstance = &createApplication;
    const char* noArgs[] = {argv[0]};
    return juce::JUCEApplicationBase::main(1, noArgs);
}
