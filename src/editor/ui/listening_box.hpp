#pragma once
// The box the editor shows while it captures hits live from its host's
// audio: a heading, a progress line and a Cancel button.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

#include "widgets/buttons.hpp"

namespace vt6::ui::zemedit {

class ListeningBox : public juce::Component {
public:
    ListeningBox();

    void paint(juce::Graphics&) override;
    void resized() override;

    std::function<void()> onCancel;
    widgets::V6Button cancelButton{"Cancel", 0};
    juce::String message{"Play the track in your DAW: every hit is captured, trimmed and added"};
};

}  // namespace vt6::ui::zemedit
