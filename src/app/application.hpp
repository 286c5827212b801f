#pragma once
// The program's application object and its single main window.

#include <juce_gui_basics/juce_gui_basics.h>

#include <memory>

namespace vt6::maker {

class Application : public juce::JUCEApplication {
public:
    class Window : public juce::DocumentWindow {
    public:
        Window();
        ~Window() override;
        void closeButtonPressed() override;
        void focusGained(FocusChangeType cause) override;
        void paint(juce::Graphics& g) override;

    private:
        juce::uint32 lastPaintMs_ = 0;
        bool painted_ = false;
    };

    Application() = default;
    ~Application() override;

    const juce::String getApplicationName() override;
    const juce::String getApplicationVersion() override;
    void initialise(const juce::String& commandLine) override;
    void shutdown() override;
    void systemRequestedQuit() override;

    Window* mainWindow() noexcept { return window_.get(); }

private:
    std::unique_ptr<Window> window_;
};

}  // namespace vt6::maker
