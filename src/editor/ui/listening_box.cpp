#include "editor/ui/listening_box.hpp"

#include <algorithm>
#include <cmath>

#include "widgets/paint.hpp"
#include "widgets/theme.hpp"

namespace vt6::ui::zemedit {

ListeningBox::ListeningBox() {
    setName("Listening");
    cancelButton.onClick = [this] {
        if (onCancel) onCancel();
    };
    addAndMakeVisible(cancelButton);
    // Sized once for the opening text; later progress lines are shorter.
    const int w = static_cast<int>(std::ceil(makeFont(kTypeValue).getStringWidthFloat(message)));
    setSize(std::max(340, w + 32), 122);
}

void ListeningBox::paint(juce::Graphics& g) {
    widgets::paintThemedBox(g, getLocalBounds().toFloat(), static_cast<float>(Theme::instance().spacing),
                            ThemeColour::surfaceRaised);
    g.setColour(themeColour(ThemeColour::textPrimary));
    g.setFont(makeFont(kTypeHeading));
    g.drawText(juce::String::fromUTF8("Listening\xe2\x80\xa6"), 0, 16, getWidth(), 24, juce::Justification::centred,
               false);
    g.setColour(themeColour(ThemeColour::textSecondary));
    g.setFont(makeFont(kTypeValue));
    g.drawText(message, 16, 44, std::max(0, getWidth() - 32), 20, juce::Justification::centred, false);
}

void ListeningBox::resized() {
    const int c = cancelButton.getIdealWidth();
    cancelButton.setBounds((getWidth() - c) / 2, getHeight() - 38, c, 30);
}

}  // namespace vt6::ui::zemedit
