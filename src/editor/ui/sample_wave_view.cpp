#include "editor/ui/sample_wave_view.hpp"

namespace vt6::ui::zemedit {

PeakColumns::Key PeakColumns::keyFor(const InterleavedAudioView&, const SampleEditState&, const ChannelMeans&,
                                     int32_t, double, double) {
    return {};
}
void PeakColumns::update(const Key&, const InterleavedAudioView&, const SampleEditState&, const ChannelMeans&,
                         int32_t) {}

SampleWaveView::SampleWaveView(SampleViewHost& host) : host_(host) { setName("Waveform"); }
SampleWaveView::~SampleWaveView() = default;
void SampleWaveView::mouseMove(const juce::MouseEvent&) {}
void SampleWaveView::mouseExit(const juce::MouseEvent&) {}
void SampleWaveView::mouseDown(const juce::MouseEvent&) {}
void SampleWaveView::mouseDrag(const juce::MouseEvent&) {}
void SampleWaveView::mouseUp(const juce::MouseEvent&) {}
void SampleWaveView::mouseDoubleClick(const juce::MouseEvent&) {}
void SampleWaveView::mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) {}
void SampleWaveView::mouseMagnify(const juce::MouseEvent&, float) {}
void SampleWaveView::paint(juce::Graphics&) {}
int32_t SampleWaveView::targetAt(float, float) const { return 0; }
float SampleWaveView::fadeTabX(int64_t, float) const { return 0.0f; }
void SampleWaveView::paintRuler(juce::Graphics&, int) {}
float SampleWaveView::xOf(double) const { return 0.0f; }
void SampleWaveView::updateCursor() {}

SampleOverview::SampleOverview(SampleViewHost& host) : host_(host) { setName("Overview"); }
SampleOverview::~SampleOverview() = default;
void SampleOverview::mouseMove(const juce::MouseEvent&) {}
void SampleOverview::mouseDown(const juce::MouseEvent&) {}
void SampleOverview::mouseDrag(const juce::MouseEvent&) {}
void SampleOverview::mouseWheelMove(const juce::MouseEvent&, const juce::MouseWheelDetails&) {}
void SampleOverview::paint(juce::Graphics&) {}

}  // namespace vt6::ui::zemedit
