#pragma once
// One sample in a band column: a bar in its group's colour with the label, a
// solo mark, a mute toggle and a play button. It holds no reference to the
// document; the column binds it again on every populate.

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <string>

#include "editor/logic/edit_document.hpp"

namespace vt6::ui::zemedit {

// The fixed colour of a dynamic group, by its index modulo 16 (-1 is entry 15).
juce::Colour bandColour(int groupIndex);
// True when text on this face is drawn dark (integer luma above 150).
bool bandColourWantsDarkText(juce::Colour face);

// The horizontal zones of a chip row of width w; each is [x, x + width).
struct ChipZones {
    int nameX = 7, nameW = 0;
    int soloX = 7, soloW = 0;
    int muteX = 7, muteW = 0;
    int playX = 7, playW = 0;
};
ChipZones chipZones(int width, bool soloed);

class ZemChip : public juce::Component, public juce::SettableTooltipClient {
public:
    std::function<void(uint64_t uid, const juce::ModifierKeys&)> onClick;
    std::function<void(uint64_t uid)> onAudition;
    std::function<void(uint64_t uid, bool muted)> onMute;
    std::function<void(uint64_t uid, juce::Point<int> screen)> onDrag;
    std::function<void(uint64_t uid, juce::Point<int> screen)> onMenu;
    std::function<void(uint64_t uid, bool dropped)> onDrop;
    std::function<void(uint64_t uid)> onEdit;

    uint64_t uid = 0;
    std::string label;
    bool muted = false, selected = false, suggested = false, soloed = false, silenced = false;
    float flashLevel = 0.0f;
    int bandIndex = 0;
    uint32_t flashSlot = 0;
    float pressX = 0.0f;
    bool dragging = false;

    ZemChip();
    ~ZemChip() override = default;

    void setSample(const logic::EditSample& sample, const std::string& text, bool isSelected, bool isSuggested,
                   int band, bool anySolo);

    void mouseDown(const juce::MouseEvent&) override;
    void mouseDrag(const juce::MouseEvent&) override;
    void mouseUp(const juce::MouseEvent&) override;
    void mouseDoubleClick(const juce::MouseEvent&) override;
    void paint(juce::Graphics&) override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;
};

}  // namespace vt6::ui::zemedit
