#include "widgets/theme.hpp"

#include <algorithm>
#include <cstdlib>

namespace vt6::ui {

namespace {

constexpr uint32_t argb(uint32_t a, uint32_t r, uint32_t g, uint32_t b) {
    return (a << 24) | (r << 16) | (g << 8) | b;
}

}  // namespace

const uint32_t kDarkPalette[kPaletteSize] = {
    argb(255, 5, 12, 25),     argb(255, 13, 28, 49),    argb(255, 19, 40, 68),    argb(255, 6, 18, 34),
    argb(255, 31, 79, 134),   argb(255, 20, 54, 89),    argb(255, 58, 127, 196),  argb(255, 255, 255, 255),
    argb(255, 220, 230, 245), argb(255, 143, 163, 194), argb(255, 253, 104, 63),  argb(46, 253, 104, 63),
    argb(255, 20, 16, 12),    argb(255, 60, 251, 157),  argb(255, 255, 77, 99),   argb(255, 255, 181, 71),
    argb(255, 255, 90, 60),   argb(255, 255, 176, 58),  argb(255, 252, 252, 109), argb(255, 60, 251, 157),
    argb(255, 39, 159, 242),  argb(255, 181, 107, 255), argb(255, 127, 143, 176), argb(255, 10, 26, 48),
    argb(255, 5, 12, 25),     argb(255, 13, 28, 49),    argb(255, 3, 13, 28),     argb(38, 255, 255, 255),
    argb(255, 255, 255, 255), argb(166, 3, 8, 18),      argb(255, 127, 92, 255),  argb(255, 53, 198, 255),
    argb(255, 207, 227, 255), argb(255, 255, 255, 255), argb(255, 0, 0, 0),       argb(255, 20, 16, 12),
    argb(255, 39, 159, 242),
};

const uint32_t kLightPalette[kPaletteSize] = {
    argb(255, 227, 225, 220), argb(255, 239, 237, 232), argb(255, 247, 246, 242), argb(255, 230, 228, 222),
    argb(255, 197, 194, 184), argb(255, 216, 213, 204), argb(255, 169, 166, 152), argb(255, 0, 0, 0),
    argb(255, 43, 43, 46),    argb(255, 76, 76, 82),    argb(255, 31, 31, 31),    argb(20, 25, 25, 25),
    argb(255, 245, 244, 240), argb(255, 25, 115, 70),   argb(255, 194, 39, 59),   argb(255, 138, 95, 0),
    argb(255, 178, 65, 24),   argb(255, 135, 93, 5),    argb(255, 105, 103, 11),  argb(255, 34, 115, 70),
    argb(255, 48, 103, 173),  argb(255, 122, 73, 202),  argb(255, 92, 98, 112),   argb(255, 240, 239, 235),
    argb(255, 229, 227, 221), argb(255, 242, 241, 237), argb(255, 233, 231, 225), argb(36, 20, 20, 20),
    argb(255, 38, 38, 31),    argb(115, 40, 38, 34),    argb(0, 31, 31, 31),      argb(0, 31, 31, 31),
    argb(0, 255, 255, 255),   argb(255, 245, 244, 240), argb(255, 0, 0, 0),       argb(255, 20, 16, 12),
    argb(255, 48, 103, 173),
};

const uint32_t kColourSafePalette[kPaletteSize] = {
    argb(255, 5, 12, 25),     argb(255, 13, 28, 49),    argb(255, 19, 40, 68),    argb(255, 6, 18, 34),
    argb(255, 94, 107, 165),  argb(255, 69, 79, 125),   argb(255, 106, 119, 176), argb(255, 255, 255, 255),
    argb(255, 220, 230, 245), argb(255, 143, 163, 194), argb(255, 253, 104, 63),  argb(46, 253, 104, 63),
    argb(255, 20, 16, 12),    argb(255, 77, 195, 255),  argb(255, 255, 90, 106),  argb(255, 255, 210, 63),
    argb(255, 230, 159, 0),   argb(255, 86, 180, 233),  argb(255, 240, 228, 66),  argb(255, 23, 196, 143),
    argb(255, 106, 180, 255), argb(255, 204, 121, 167), argb(255, 139, 147, 173), argb(255, 10, 26, 48),
    argb(255, 5, 12, 25),     argb(255, 13, 28, 49),    argb(255, 3, 13, 28),     argb(31, 255, 255, 255),
    argb(255, 255, 255, 255), argb(166, 3, 8, 18),      argb(255, 127, 92, 255),  argb(255, 53, 198, 255),
    argb(255, 207, 227, 255), argb(255, 255, 255, 255), argb(255, 0, 0, 0),       argb(255, 20, 16, 12),
    argb(255, 106, 180, 255),
};

Theme& Theme::instance() {
    // Constant data from the start; the only work is making sure no listener
    // pointer outlives the program's teardown.
    static Theme theme;
    static const bool cleanupRegistered = [] {
        std::atexit([] { theme.listeners_.clear(); });
        return true;
    }();
    (void)cleanupRegistered;
    return theme;
}

juce::Colour Theme::categoryColour(int category) const noexcept {
    return colour(static_cast<int>(ThemeColour::category0) + std::clamp(category, 0, 5));
}

void Theme::addListener(Listener* listener) {
    if (std::find(listeners_.begin(), listeners_.end(), listener) == listeners_.end())
        listeners_.push_back(listener);
}

void Theme::removeListener(Listener* listener) {
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
}

juce::Font makeFont(const TypeStyle& desc) {
    // The height-only constructor names the default sans-serif typeface.
    juce::Font font(desc.size, juce::Font::plain);
    // 800 draws like 700: there is no heavier face.
    if (desc.weight >= 700) font.setBold(true);
    if (desc.tracking > 0.0f && desc.size > 0.0f) font.setExtraKerningFactor(desc.tracking / desc.size);
    return font;
}

}  // namespace vt6::ui
