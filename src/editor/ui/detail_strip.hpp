#pragma once
// The panel under the band grid that describes the selection: one sample's
// label, room-channel and articulation chips, format, measures, audition,
// MUTE and SOLO; "<n> selected" for several; nothing for none. It keeps no
// document state: the overlay refreshes it and acts on its callbacks.

#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "editor/logic/edit_document.hpp"

namespace vt6::ui::zemedit {

// "44.1k · 16-bit · 2 mics": the rate in kilohertz (a whole number when it
// is one), the bit depth and the channel count.
std::string detailFormatText(uint64_t sampleRate, uint64_t bits, uint64_t channels);
// 20 log10 of the linear power, never below -120 dB (a power of 0 or none).
double detailPowerDecibels(double power);
// "PWR -120.0 dB   GAIN −0.0 dB   TUNE −1 st": a typographic minus for gain
// and tune, the ASCII hyphen for power.
std::string detailMeasuresText(double powerDb, double gainDb, double tune);

class DetailStrip : public juce::Component, public juce::SettableTooltipClient {
public:
    DetailStrip();
    ~DetailStrip() override;

    // Each may be empty; its area is then inert.
    std::function<void(uint64_t uid)> onAudition;
    std::function<void(uint64_t uid, char field)> onReassign;  // 'l' room channel, 'a' articulation
    std::function<void(uint64_t uid, bool muted)> onMute;
    std::function<void(uint64_t uid, bool soloed)> onSolo;

    // Re-reads the selection from the document and repaints.
    void refresh(const logic::EditDocument& document);

    void paint(juce::Graphics&) override;
    void mouseUp(const juce::MouseEvent&) override;
    void mouseMove(const juce::MouseEvent&) override;
    std::unique_ptr<juce::AccessibilityHandler> createAccessibilityHandler() override;

    // The clickable rectangles of the last paint that drew a sample.
    struct HitAreas {
        juce::Rectangle<int> audition, roomChip, articulationChip, polarity, mute, solo;
    };
    const HitAreas& hitAreas() const noexcept { return areas_; }
    // Computes the areas for the current size without painting.
    HitAreas layout() const;

    uint64_t shownUid() const noexcept { return shownUid_; }
    const std::string& selectionText() const noexcept { return selectionText_; }
    const std::string& label() const noexcept { return label_; }
    const std::string& roomChannelName() const noexcept { return roomChannelName_; }
    const std::string& articulationName() const noexcept { return articulationName_; }
    const std::string& formatText() const noexcept { return formatText_; }
    std::string measuresText() const { return detailMeasuresText(powerDb_, gainDb_, tune_); }
    bool muted() const noexcept { return muted_; }
    bool soloed() const noexcept { return soloed_; }

    static const char* polarityTooltip();
    static const char* auditionTooltip();

private:
    struct Layout {
        HitAreas areas;
        juce::Rectangle<int> labelBox, formatBox, measuresBox;
    };
    Layout computeLayout() const;

    uint64_t shownUid_ = 0;
    std::string selectionText_;
    std::string label_;
    std::string roomChannelName_;
    std::string articulationName_;
    std::string formatText_;
    double powerDb_ = 0.0;
    double gainDb_ = 0.0;
    double tune_ = 0.0;
    bool muted_ = false;
    bool soloed_ = false;
    HitAreas areas_;
};

}  // namespace vt6::ui::zemedit
