// Test-only driver: starts the real program window and opens a kit whose
// samples are still unmeasured, with the analysis thread held once it has
// measured a chosen number of samples, so the progress box stays up for as
// long as it is looked at. Closing the window cancels the held run.
//
//   zem_hit_analysis_driver <path> [held-at] [samples]
//     writes a graded kit at <path> (default 12 samples) and holds the
//     analysis after [held-at] samples (default 5)

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "app/application.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "editor/ui/graded_kit.hpp"
#include "editor/ui/hit_sort_progress.hpp"

namespace {

std::string gPath;
uint64_t gHeldAt = 5;

class DriverApplication : public vt6::maker::Application {
public:
    void initialise(const juce::String& commandLine) override {
        vt6::maker::Application::initialise(commandLine);
        vt6::ui::zemedit::setHitAnalysisHook([](uint64_t finished, const std::function<bool()>& cancelled) {
            if (finished != gHeldAt) return;
            std::mutex m;
            std::condition_variable cv;
            std::unique_lock<std::mutex> lock(m);
            while (!cancelled()) cv.wait_for(lock, std::chrono::milliseconds(5));
        });
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
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: zem_hit_analysis_driver <path> [held-at] [samples]\n");
        return 2;
    }
    gPath = argv[1];
    if (argc >= 3) gHeldAt = std::strtoull(argv[2], nullptr, 10);
    const int samples = argc >= 4 ? std::atoi(argv[3]) : 12;
    if (vt6::test::writeGradedKit(gPath, samples).empty()) return 1;
    juce::JUCEApplicationBase::createInstance = &createApplication;
    const char* noArgs[] = {argv[0]};
    return juce::JUCEApplicationBase::main(1, noArgs);
}
