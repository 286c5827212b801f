// Test-only driver: starts the real program window with a new zem and
// imports a folder through IMPORT FOLDER (the chooser is answered with the
// folder), so the import report and a file drag over a column can be looked
// at under a virtual display.
//
//   zem_import_driver <folder>            imports it; the report box shows
//   zem_import_driver <folder> --drag     imports it, then drags files over
//                                         the third column and stays there

#include <cstdio>
#include <string>

#include "app/application.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"

namespace {

std::string gFolder;
bool gDrag = false;

class DriverApplication : public vt6::maker::Application {
public:
    void initialise(const juce::String& commandLine) override {
        vt6::maker::Application::initialise(commandLine);
        vt6::maker::setFileChooserPresenter(
            [](const vt6::maker::FileChooserRequest&, std::function<void(const juce::File&)> done) {
                done(juce::File(juce::String::fromUTF8(gFolder.c_str())));
            });
        juce::Timer::callAfterDelay(300, [this] {
            auto* main = dynamic_cast<vt6::maker::MainComponent*>(mainWindow()->getContentComponent());
            if (main == nullptr) return;
            main->mount(juce::File(), nullptr);
            main->setStatus("New zem");
            main->settings().trimSilence = true;
            // The real button, as a click would.
            for (auto* child : main->getChildren())
                if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getButtonText() == "IMPORT FOLDER")
                    b->triggerClick();
            if (gDrag) juce::Timer::callAfterDelay(1500, [this] { dragOverThirdColumn(); });
        });
    }

    void dragOverThirdColumn() {
        auto* main = dynamic_cast<vt6::maker::MainComponent*>(mainWindow()->getContentComponent());
        if (main == nullptr || main->overlay() == nullptr) return;
        auto* overlay = main->overlay();
        const auto grid = overlay->gridAreaBounds();
        for (int x = grid.getX(); x < grid.getRight(); x += 4) {
            const juce::Point<int> p(x, grid.getCentreY());
            if (overlay->bandIndexAt(p) != 2) continue;
            const auto q = main->getLocalPoint(overlay, p.translated(30, 0));
            const juce::StringArray files{gFolder + "/dragged.wav"};
            main->fileDragEnter(files, q.x, q.y);
            main->fileDragMove(files, q.x, q.y);
            return;
        }
    }
};

juce::JUCEApplicationBase* createApplication() { return new DriverApplication(); }

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zem_import_driver <folder> [--drag]\n");
        return 2;
    }
    gFolder = argv[1];
    gDrag = argc > 2 && std::string(argv[2]) == "--drag";
    juce::JUCEApplicationBase::createInstance = &createApplication;
    const char* noArgs[] = {argv[0]};
    return juce::JUCEApplicationBase::main(1, noArgs);
}
