#include "app/application.hpp"

#include "app/main_component.hpp"
#include "widgets/theme.hpp"

namespace vt6::maker {

Application::Window::Window()
    : juce::DocumentWindow("ZEM Rivir", ui::themeColour(ui::ThemeColour::windowBackground),
                           juce::DocumentWindow::allButtons, true) {
    setUsingNativeTitleBar(true);
    setContentOwned(new MainComponent(), true);
    setResizable(true, false);
    setResizeLimits(1180, 600, 3840, 2160);
    centreWithSize(getWidth(), getHeight());
    setVisible(true);
}

Application::Window::~Window() = default;

void Application::Window::closeButtonPressed() {
    if (auto* main = dynamic_cast<MainComponent*>(getContentComponent())) main->requestQuit();
}

Application::~Application() { window_.reset(); }

const juce::String Application::getApplicationName() { return "ZEM Rivir"; }

const juce::String Application::getApplicationVersion() { return "1.2.0"; }

void Application::initialise(const juce::String&) { window_ = std::make_unique<Window>(); }

void Application::shutdown() { window_.reset(); }

void Application::systemRequestedQuit() {
    if (window_ != nullptr) {
        if (auto* main = dynamic_cast<MainComponent*>(window_->getContentComponent())) {
            main->requestQuit();
            return;
        }
    }
    quit();
}

}  // namespace vt6::maker
