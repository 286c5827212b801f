// Test-only driver: starts the real program window and opens a kit file
// through OPEN ZEM's own path (the chooser is answered with the file), so the
// window can be looked at and measured under a virtual display.
//
//   zem_open_driver <file.zem>      opens that file
//   zem_open_driver --kit <path>    writes a 12-sample, 4-group kit there first

#include <cstdio>
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

juce::JUCEApplicationBase* createApplication() { return new DriverApplication(); }

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 3 && std::string(argv[1]) == "--kit") {
        gPath = argv[2];
        if (vt6::test::writeKit(gPath).empty()) return 1;
    } else if (argc == 2) {
        gPath = argv[1];
    } else {
        std::fprintf(stderr, "usage: zem_open_driver <file.zem> | --kit <path>\n");
        return 2;
    }
    juce::JUCEApplicationBase::createInstance = &createApplication;
    const char* noArgs[] = {argv[0]};
    return juce::JUCEApplicationBase::main(1, noArgs);
}
