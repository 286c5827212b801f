// Test-only driver: starts the real program window and opens a kit file
// through OPEN ZEM's own path (the chooser is answered with the file), so the
// window can be looked at and measured under a virtual display.
//
//   zem_open_driver <file.zem>      opens that file
//   zem_open_driver --kit <path> [samples groups]
//                                   writes a kit there first (12 samples spread
//                                   over 4 groups unless given; 4000 8 makes
//                                   eight groups of 500)
//   zem_open_driver --bare          an empty framework window of the same
//                                   size: the idle floor the program's own
//                                   wake-ups are measured against

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/application.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "editor/ui/kit_fixture.hpp"

namespace {

std::string gPath;

class DriverApplication : public vt6::maker::Application {
public:
    void initialise(const juce::String& commandLine) override {
        vt6::maker::Application::initialise(commandLine);
        vt6::maker::setFileChooserPresenter(
            [](const vt6::maker::FileChooserRequest&, std::function<void(const juce::File&)> done) {
                done(juce::File(juce::String::fromUTF8(gPath.c_str())));
            });
        juce::Timer::callAfterDelay(300, [this] {
            auto* main = dynamic_cast<vt6::maker::MainComponent*>(mainWindow()->getContentComponent());
            if (main != nullptr) main->keyPressed(juce::KeyPress('o', juce::ModifierKeys::ctrlModifier, 0));
        });
    }
};

// Nothing of the program: only what the framework itself runs for a window.
class BareApplication : public juce::JUCEApplication {
public:
    const juce::String getApplicationName() override { return "bare window"; }
    const juce::String getApplicationVersion() override { return "1"; }
    void initialise(const juce::String&) override {
        window_ = std::make_unique<juce::DocumentWindow>("bare", juce::Colours::black, 0);
        window_->setUsingNativeTitleBar(true);
        window_->setContentOwned(new juce::Component(), false);
        window_->centreWithSize(1280, 780);
        window_->setVisible(true);
    }
    void shutdown() override { window_.reset(); }

private:
    std::unique_ptr<juce::DocumentWindow> window_;
};

bool gBare = false;

juce::JUCEApplicationBase* createApplication() {
    if (gBare) return new BareApplication();
    return new DriverApplication();
}

}  // namespace

int main(int argc, char* argv[]) {
    if ((argc == 3 || argc == 5) && std::string(argv[1]) == "--kit") {
        gPath = argv[2];
        const int samples = argc == 5 ? std::atoi(argv[3]) : 12;
        const int groups = argc == 5 ? std::atoi(argv[4]) : 4;
        if (samples < 0 || groups < 1 || vt6::test::writeKit(gPath, samples, groups).empty()) return 1;
    } else if (argc == 2 && std::string(argv[1]) == "--bare") {
        gBare = true;
    } else if (argc == 2) {
        gPath = argv[1];
    } else {
        std::fprintf(stderr, "usage: zem_open_driver <file.zem> | --kit <path> [samples groups] | --bare\n");
        return 2;
    }
    juce::JUCEApplicationBase::createInstance = &createApplication;
    const char* noArgs[] = {argv[0]};
    return juce::JUCEApplicationBase::main(1, noArgs);
}
