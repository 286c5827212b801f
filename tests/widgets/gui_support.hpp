#pragma once
// Helpers shared by the GUI tests: pumping the message loop and reading
// pixels back from painted components.

#include <juce_gui_basics/juce_gui_basics.h>

#include <functional>

namespace vt6::test {

// Runs the message loop until the condition holds or the time is up.
inline bool pumpUntil(const std::function<bool()>& condition, int timeoutMs = 3000) {
    const auto end = juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs);
    while (!condition()) {
        if (juce::Time::getMillisecondCounter() > end) return false;
        juce::MessageManager::getInstance()->runDispatchLoopUntil(5);
    }
    return true;
}

inline void pumpFor(int ms) {
    juce::MessageManager::getInstance()->runDispatchLoopUntil(ms);
}

// Paints a component into an image over a known background.
inline juce::Image render(juce::Component& c, juce::Colour background = juce::Colours::black) {
    juce::Image image(juce::Image::ARGB, std::max(1, c.getWidth()), std::max(1, c.getHeight()), true);
    juce::Graphics g(image);
    g.fillAll(background);
    c.paintEntireComponent(g, false);
    return image;
}

// Paints with a function into a transparent image.
inline juce::Image draw(int w, int h, const std::function<void(juce::Graphics&)>& paint) {
    juce::Image image(juce::Image::ARGB, w, h, true);
    juce::Graphics g(image);
    paint(g);
    return image;
}

inline bool nearColour(juce::Colour a, juce::Colour b, int tolerance = 3) {
    return std::abs(a.getRed() - b.getRed()) <= tolerance && std::abs(a.getGreen() - b.getGreen()) <= tolerance &&
           std::abs(a.getBlue() - b.getBlue()) <= tolerance && std::abs(a.getAlpha() - b.getAlpha()) <= tolerance;
}

inline bool anyPixel(const juce::Image& image, const std::function<bool(juce::Colour)>& test) {
    for (int y = 0; y < image.getHeight(); ++y)
        for (int x = 0; x < image.getWidth(); ++x)
            if (test(image.getPixelAt(x, y))) return true;
    return false;
}

}  // namespace vt6::test
