#include "app/application.hpp"

#include "app/main_component.hpp"
#include "app/window_limits.hpp"
#include "platform/leftovers.hpp"
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
    // The window exists but is not yet shown: the window manager reads the
    // limits when it first maps the window.
    sendSizeLimitsToWindowManager(*this);
    setVisible(true);
    if (auto* content = getContentComponent()) content->grabKeyboardFocus();
}

void Application::Window::focusGained(FocusChangeType) {
    // Activated with nothing inside focused, the window takes the focus
    // itself; the shortcuts live in the content, so hand it on.
    if (auto* content = getContentComponent()) content->grabKeyboardFocus();
}

void Application::Window::paint(juce::Graphics& g) {
    DocumentWindow::paint(g);
    // The framework rebuilds its back buffer on the first paint and after
    // about 3 s without painting, and each time re-places the window just
    // before painting, which drops the size limits from the hints again.
    const auto now = juce::Time::getMillisecondCounter();
    if (!painted_ || now - lastPaintMs_ >= 2500) sendSizeLimitsToWindowManager(*this);
    painted_ = true;
    lastPaintMs_ = now;
}

Application::Window::~Window() = default;

void Application::Window::closeButtonPressed() {
    if (auto* main = dynamic_cast<MainComponent*>(getContentComponent())) main->requestQuit();
}

Application::~Application() { window_.reset(); }

const juce::String Application::getApplicationName() { return "ZEM Rivir"; }

const juce::String Application::getApplicationVersion() { return "1.2.0"; }

void Application::initialise(const juce::String&) {
    // Logout, a closed terminal or Ctrl+C end the program without leaving
    // its working copies, save temporaries or lock behind.
    platform::cleanUpOnTerminationSignals();
    // Working copies and save temporaries of killed instances go first; then
    // this instance's lock tells later ones that its own files are in use.
    platform::sweepLeftoversAtStart();
    platform::holdInstanceLock();
    window_ = std::make_unique<Window>();
}

void Application::shutdown() {
    window_.reset();
    platform::releaseInstanceLock();
}

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
