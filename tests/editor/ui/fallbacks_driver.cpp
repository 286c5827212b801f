// Test-only driver: shows the editor overlay under the fallbacks host in a
// window of its own, with live capture running or the overlay's own save
// dialog open, so both can be looked at under a virtual display.
//
//   zem_fallbacks_driver --listening <folder>        capture running, the track playing
//   zem_fallbacks_driver --listening-start <folder>  capture just started
//   zem_fallbacks_driver --save <folder>       a user's kit: overwrite offered
//   zem_fallbacks_driver --factory <folder>    factory content: save as new only

#include <cstdio>
#include <memory>
#include <string>

#include "editor/ui/fallbacks_host.hpp"
#include "editor/ui/kit_fixture.hpp"
#include "editor/ui/zem_edit_overlay.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/menus.hpp"

namespace vt6::ui::zemedit {
class ZemEditOverlayFallbacksAccess {
public:
    static void addFromAudio(ZemEditOverlay& o) { o.showAddFromAudioMenu(); }
};
}  // namespace vt6::ui::zemedit

namespace {

std::string gMode, gFolder;

std::vector<float> liveTrack() {
    const double rate = 48000;
    std::vector<float> out(static_cast<size_t>(120 * rate), 0.0f);
    uint32_t state = 3;
    for (double t = 0.3; t < 119; t += 0.45) {
        const auto first = static_cast<size_t>(t * rate);
        for (size_t i = 0; i < static_cast<size_t>(0.2 * rate); ++i) {
            state = state * 1664525u + 1013904223u;
            const double noise = static_cast<double>(state >> 8) / 8388608.0 - 1.0;
            out[first + i] = static_cast<float>(std::exp(-static_cast<double>(i) / (0.03 * rate)) * 0.6 * noise);
        }
    }
    return out;
}

class Window : public juce::DocumentWindow {
public:
    Window() : juce::DocumentWindow("Fallbacks", juce::Colours::black, 0) {}
    void closeButtonPressed() override { juce::JUCEApplicationBase::quit(); }
};

class DriverApplication : public juce::JUCEApplication {
public:
    const juce::String getApplicationName() override { return "Fallbacks driver"; }
    const juce::String getApplicationVersion() override { return "1"; }
    void initialise(const juce::String&) override {
        juce::LookAndFeel::setDefaultLookAndFeel(&lookAndFeel_);
        host_.libraryFolder = gFolder + "/library";
        host_.snapshotFolder = gFolder + "/unsaved";
        juce::File(juce::String(host_.libraryFolder)).createDirectory();
        juce::File(juce::String(host_.snapshotFolder)).createDirectory();
        auto deps = host_.deps();
        if (gMode.rfind("--listening", 0) != 0) {
            deps.chooseSaveLocation = nullptr;
            deps.filePath = vt6::test::writeKit(host_.libraryFolder + "/Snare Kit.zem", 12, 4, "Snare Kit");
        }
        host_.input = std::make_unique<vt6::test::FakeInputDevice>(liveTrack(), 48000);
        overlay_ = std::make_unique<vt6::ui::zemedit::ZemEditOverlay>(std::move(deps));
        overlay_->setSize(1280, 689);
        window_ = std::make_unique<Window>();
        window_->setContentNonOwned(overlay_.get(), true);
        window_->setTopLeftPosition(0, 0);
        window_->setVisible(true);
        juce::Timer::callAfterDelay(500, [this] {
            if (gMode.rfind("--listening", 0) == 0) {
                vt6::ui::widgets::setMenuPresenter(
                    [](const juce::PopupMenu&, const juce::PopupMenu::Options&, std::function<void(int)> done) {
                        done(1);
                    });
                vt6::ui::zemedit::ZemEditOverlayFallbacksAccess::addFromAudio(*overlay_);
                vt6::ui::widgets::setMenuPresenter({});
                if (gMode == "--listening") playing_ = std::make_unique<Player>(*host_.input);
            } else {
                if (gMode == "--factory") overlay_->viewModel.setDestination(overlay_->deps.filePath, 1);
                overlay_->doSave({});
            }
        });
    }
    void shutdown() override {
        playing_.reset();
        window_.reset();
        overlay_.reset();
        juce::LookAndFeel::setDefaultLookAndFeel(nullptr);
    }

private:
    // The fake input plays on in real time.
    struct Player : juce::Timer {
        explicit Player(vt6::test::FakeInputDevice& d) : device(d) { startTimer(100); }
        void timerCallback() override { device.play(0.1); }
        vt6::test::FakeInputDevice& device;
    };
    vt6::ui::widgets::V6LookAndFeel lookAndFeel_;
    vt6::test::FallbacksHost host_;
    std::unique_ptr<vt6::ui::zemedit::ZemEditOverlay> overlay_;
    std::unique_ptr<Window> window_;
    std::unique_ptr<Player> playing_;
};

juce::JUCEApplicationBase* createApplication() { return new DriverApplication(); }

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: zem_fallbacks_driver --listening|--listening-start|--save|--factory <folder>\n");
        return 2;
    }
    gMode = argv[1];
    gFolder = argv[2];
    juce::JUCEApplicationBase::createInstance = &createApplication;
    const char* noArgs[] = {argv[0]};
    return juce::JUCEApplicationBase::main(1, noArgs);
}
