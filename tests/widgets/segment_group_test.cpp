#include <gtest/gtest.h>

#include <cmath>

#include "editor/ui/peer_mouse.hpp"
#include "widgets/gui_support.hpp"
#include "widgets/look_and_feel.hpp"
#include "widgets/segment_group.hpp"

namespace vt6::ui::widgets {
namespace {

using test::nearColour;

juce::MouseEvent pressAt(juce::Component& c, juce::Point<int> p) {
    const auto now = juce::Time::getCurrentTime();
    const auto pf = p.toFloat();
    return juce::MouseEvent(juce::Desktop::getInstance().getMainMouseSource(), pf, juce::ModifierKeys::leftButtonModifier,
                            juce::MouseInputSource::defaultPressure, 0.0f, 0.0f, 0.0f, 0.0f, &c, &c, now, pf, now, 1,
                            false);
}

TEST(V6SegmentGroup, EmptyGroupIgnoresSelectionAndClicks) {
    V6SegmentGroup group({}, "Empty");
    EXPECT_EQ(group.getNumSegments(), 0);
    EXPECT_EQ(group.getSelectedIndex(), -1);
    int calls = 0;
    group.onChange = [&](int) { ++calls; };
    group.setBounds(0, 0, 100, 24);
    group.setSelectedIndex(0, true);
    group.mouseDown(pressAt(group, {10, 10}));
    EXPECT_EQ(group.getSelectedIndex(), -1);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(group.segmentAt({10, 10}), -1);
    EXPECT_EQ(group.getIdealWidth(), 0);
    // The track is 0 wide: nothing is painted.
    const auto image = test::render(group);
    EXPECT_FALSE(test::anyPixel(image, [](juce::Colour c) { return c != juce::Colours::black; }));
}

TEST(V6SegmentGroup, SetLabelsClampsTheSelectionWithoutCallingBack) {
    struct Case {
        int index, expected;
    };
    const Case cases[] = {{9, 2}, {-4, 0}, {1, 1}, {2, 2}};
    for (const auto& c : cases) {
        V6SegmentGroup group({"A"}, "Strip");
        int calls = 0;
        group.onChange = [&](int) { ++calls; };
        juce::Path icon;
        icon.addEllipse(0, 0, 10, 10);
        group.setIcons({icon});
        group.setLabels({"ALL", "KICK", "SNARE"}, c.index);
        EXPECT_EQ(group.getSelectedIndex(), c.expected) << c.index;
        EXPECT_EQ(group.getNumSegments(), 3);
        EXPECT_EQ(calls, 0) << c.index;
        // The icon was dropped: segment 0 is text again.
        EXPECT_EQ(group.segmentNaturalWidth(0),
                  static_cast<int>(std::ceil(makeFont(kTypeButton).getStringWidthFloat("ALL"))) + 22);
    }
    V6SegmentGroup group({"A", "B"}, "Strip");
    group.setLabels({}, 3);
    EXPECT_EQ(group.getSelectedIndex(), -1);
}

TEST(V6SegmentGroup, ClicksSelectAndNotifyOnlyOnChange) {
    V6SegmentGroup group({"ONE", "TWO", "THREE"}, "Strip");
    group.setBounds(0, 0, 300, 30);  // equal layout: 100 px each
    std::vector<int> calls;
    group.onChange = [&](int i) { calls.push_back(i); };
    group.setSegmentEnabled(2, false);

    struct Case {
        int x;
        int selectedAfter;
        std::vector<int> callsAfter;
    };
    const Case cases[] = {
        {50, 0, {}},        // already selected: no callback
        {250, 0, {}},       // disabled segment: nothing changes
        {150, 1, {1}},      // a new segment: selected and reported
        {150, 1, {1}},      // again: no second report
        {299, 1, {1}},      // right edge of the disabled one
        {300, 1, {1}},      // past the last segment
    };
    for (const auto& c : cases) {
        group.mouseDown(pressAt(group, {c.x, 10}));
        EXPECT_EQ(group.getSelectedIndex(), c.selectedAfter) << c.x;
        EXPECT_EQ(calls, c.callsAfter) << c.x;
    }

    group.setSegmentEnabled(2, true);
    group.setSelectedIndex(2, false);  // no notify
    EXPECT_EQ(calls, std::vector<int>{1});
    group.setSelectedIndex(0, true);
    EXPECT_EQ(calls, (std::vector<int>{1, 0}));
    group.setSelectedIndex(7, true);  // out of range
    EXPECT_EQ(group.getSelectedIndex(), 0);

    // A disabled group takes no clicks.
    group.setEnabled(false);
    group.mouseDown(pressAt(group, {150, 10}));
    EXPECT_EQ(group.getSelectedIndex(), 0);
}

TEST(V6SegmentGroup, NaturalWidths) {
    V6SegmentGroup group({"A", "KICK", "", "SNARE"}, "Strip");
    const auto font = makeFont(kTypeButton);
    const auto text = [&](const char* s) { return static_cast<int>(std::ceil(font.getStringWidthFloat(s))); };
    juce::Path icon;
    icon.addRectangle(0, 0, 4, 4);
    group.setIcons({{}, {}, icon});
    EXPECT_EQ(group.segmentNaturalWidth(0), text("A") + 8);      // one character
    EXPECT_EQ(group.segmentNaturalWidth(1), text("KICK") + 22);
    EXPECT_EQ(group.segmentNaturalWidth(2), 28);                 // icon
    EXPECT_EQ(group.getIdealWidth(), text("A") + 8 + text("KICK") + 22 + 28 + text("SNARE") + 22);

    group.setStyle(V6SegmentGroup::kCompactStyle);
    auto micro = makeFont(kTypeMicro);
    micro.setHeight(7.0f);
    EXPECT_EQ(group.getLabelFont(), micro);
    EXPECT_EQ(group.segmentNaturalWidth(2), 22);
    EXPECT_EQ(group.segmentNaturalWidth(1), static_cast<int>(std::ceil(micro.getStringWidthFloat("KICK"))) + 22);
    // A two-character label counts code points, not bytes: "×1" is two.
    group.setLabels({juce::String::fromUTF8("\xc3\x97"), juce::String::fromUTF8("\xc3\x97" "1")}, 0);
    EXPECT_EQ(group.segmentNaturalWidth(0),
              static_cast<int>(std::ceil(micro.getStringWidthFloat(juce::String::fromUTF8("\xc3\x97")))) + 8);
    EXPECT_EQ(group.segmentNaturalWidth(1),
              static_cast<int>(std::ceil(micro.getStringWidthFloat(juce::String::fromUTF8("\xc3\x97" "1")))) + 22);
}

TEST(V6SegmentGroup, SqueezeInTheNaturalLayout) {
    // Four text segments of several characters, then a one-character label
    // and an icon that are never squeezed.
    V6SegmentGroup group({"ROOM A", "ROOM B", "DIRECT", "ALL"}, "Strip");
    const int total = group.getIdealWidth();
    struct Case {
        int over;  // how far the row's natural width exceeds the component
        int squeeze;
    };
    const Case cases[] = {{-5, 0}, {0, 0}, {1, 1}, {8, 1}, {9, 2}, {30, 4}, {32, 4}, {33, 5}, {56, 7}, {70, 7}, {200, 7}};
    for (const auto& c : cases) {
        group.setNaturalLayout(true);
        group.setSize(total - c.over, 20);
        EXPECT_EQ(group.squeezePerSide(), c.squeeze) << c.over;
        const auto last = group.segmentBounds(3);
        EXPECT_EQ(last.getRight(), total - 8 * c.squeeze) << c.over;
        if (c.squeeze == 7 && c.over > 56) {
            EXPECT_GT(last.getRight(), group.getWidth()) << "overflows";
        }
    }
    group.setNaturalLayout(false);
    EXPECT_EQ(group.squeezePerSide(), 0);  // equal layout never squeezes

    V6SegmentGroup mixed({"X", "KICK", "Y"}, "Strip");
    juce::Path icon;
    icon.addRectangle(0, 0, 4, 4);
    mixed.setIcons({{}, {}, icon});
    mixed.setNaturalLayout(true);
    const int natural0 = mixed.segmentNaturalWidth(0);
    const int natural1 = mixed.segmentNaturalWidth(1);
    mixed.setSize(mixed.getIdealWidth() - 10, 20);  // only KICK may give: ceil(10 / 2) = 5
    EXPECT_EQ(mixed.squeezePerSide(), 5);
    EXPECT_EQ(mixed.segmentBounds(0), juce::Rectangle<int>(0, 0, natural0, 20));
    EXPECT_EQ(mixed.segmentBounds(1), juce::Rectangle<int>(natural0, 0, natural1 - 10, 20));
    EXPECT_EQ(mixed.segmentBounds(2).getWidth(), 28);

    V6SegmentGroup single({"X", "Y"}, "Strip");  // nothing squeezable
    single.setNaturalLayout(true);
    single.setSize(5, 20);
    EXPECT_EQ(single.squeezePerSide(), 0);
}

TEST(V6SegmentGroup, EqualLayout) {
    struct Case {
        int style, width, count;
        std::vector<int> xs;
        int segmentWidth;
    };
    const Case cases[] = {
        {V6SegmentGroup::kCompactStyle, 100, 3, {0, 34, 68}, 31},
        {0, 100, 3, {0, 33, 66}, 33},
        {2, 100, 4, {0, 25, 50, 75}, 25},
        {V6SegmentGroup::kCompactStyle, 100, 1, {0}, 100},  // no gap with one segment
    };
    for (const auto& c : cases) {
        juce::StringArray labels;
        for (int i = 0; i < c.count; ++i) labels.add("S" + juce::String(i));
        V6SegmentGroup group(labels, "Strip");
        group.setStyle(c.style);
        group.setSize(c.width, 18);
        for (int i = 0; i < c.count; ++i)
            EXPECT_EQ(group.segmentBounds(i), juce::Rectangle<int>(c.xs[static_cast<size_t>(i)], 0, c.segmentWidth, 18))
                << c.style << "/" << i;
    }
    V6SegmentGroup compact({"A", "B", "C"}, "Strip");
    compact.setStyle(V6SegmentGroup::kCompactStyle);
    compact.setSize(100, 18);
    // The 3 px gaps belong to no segment.
    const std::pair<int, int> hits[] = {{0, 0}, {30, 0}, {31, -1}, {33, -1}, {34, 1}, {67, -1}, {68, 2}, {98, 2},
                                        {99, -1}};
    for (const auto& [x, expected] : hits) EXPECT_EQ(compact.segmentAt({x, 5}), expected) << x;
    EXPECT_EQ(compact.segmentAt({5, 18}), -1);
    EXPECT_EQ(compact.segmentAt({5, -1}), -1);
}

TEST(V6SegmentGroup, TextColours) {
    const auto dark = juce::Colour(V6SegmentGroup::kFlashTextArgb);
    EXPECT_EQ(dark, juce::Colour::fromRGBA(20, 27, 46, 255));
    struct Case {
        int segment;
        int hovered;
        float flash;
        bool disabled;
        juce::Colour expected;
    };
    const auto c = [](ThemeColour role) { return themeColour(role); };
    const Case cases[] = {
        {0, -1, 0.0f, false, c(ThemeColour::textOnAccent)},  // selected
        {1, -1, 0.0f, false, c(ThemeColour::textMuted)},
        {1, 1, 0.0f, false, c(ThemeColour::textPrimary)},    // hovered
        {1, -1, 0.49f, false, c(ThemeColour::textMuted)},
        {1, -1, 0.6f, false, dark},                          // over a bright flash
        {0, -1, 0.5f, false, dark},                          // whatever the state
        {1, -1, 0.0f, true, withAlphaProduct(c(ThemeColour::textMuted), 0.35f)},
        {1, -1, 0.6f, true, withAlphaProduct(dark, 0.35f)},
    };
    for (const auto& k : cases) {
        V6SegmentGroup group({"ONE", "TWO"}, "Strip");
        group.setFlashLevel(k.segment, k.flash);
        if (k.disabled) group.setSegmentEnabled(k.segment, false);
        EXPECT_EQ(group.segmentTextColour(k.segment, k.hovered), k.expected)
            << k.segment << " " << k.hovered << " " << k.flash << " " << k.disabled;
    }

    V6SegmentGroup coloured({"ONE", "TWO"}, "Strip");
    const auto fill = juce::Colour(0xff112233), text = juce::Colour(0xffaabbcc);
    coloured.selectedColours = [&](int i) -> std::optional<std::pair<juce::Colour, juce::Colour>> {
        if (i == 0) return std::make_pair(fill, text);
        return std::nullopt;
    };
    EXPECT_EQ(coloured.segmentTextColour(0, -1), text);
    coloured.setSelectedIndex(1, false);
    EXPECT_EQ(coloured.segmentTextColour(1, -1), themeColour(ThemeColour::textOnAccent));
}

TEST(V6SegmentGroup, PaintsTrackSelectionDividersAndFlash) {
    V6SegmentGroup group({"ONE", "TWO", "THREE"}, "Strip");
    group.setSize(300, 30);
    const auto at = [&](int x, int y) { return test::render(group).getPixelAt(x, y); };
    const auto field = themeColour(ThemeColour::fieldBackground);

    // Selected 0: its face is accent; 1 and 2 sit on the field with a divider
    // between them only.
    EXPECT_TRUE(nearColour(at(10, 15), themeColour(ThemeColour::accent)));
    EXPECT_TRUE(nearColour(at(110, 15), field));
    EXPECT_FALSE(nearColour(at(100, 15), themeColour(ThemeColour::borderSubtle), 8));  // none next to the selection
    EXPECT_TRUE(nearColour(at(104, 15), field));
    EXPECT_TRUE(nearColour(at(200, 15), themeColour(ThemeColour::borderSubtle)));
    EXPECT_TRUE(nearColour(at(200, 2), field));   // dividers stop 4 px short of the edges

    group.setSelectedIndex(1, false);
    EXPECT_TRUE(nearColour(at(10, 15), field));
    EXPECT_TRUE(nearColour(at(110, 15), themeColour(ThemeColour::accent)));

    // A full flash turns an unselected face white.
    group.setFlashLevel(2, 1.0f);
    EXPECT_TRUE(nearColour(at(210, 15), juce::Colours::white));

    // Compact style: no track, unselected faces are outlined only.
    group.setStyle(V6SegmentGroup::kCompactStyle);
    group.setFlashLevel(2, 0.0f);
    EXPECT_TRUE(nearColour(at(20, 15), juce::Colours::black));
    EXPECT_TRUE(nearColour(at(0, 15), themeColour(ThemeColour::borderSubtle), 40));
}

TEST(V6SegmentGroup, IconSegmentsFillTheirSquare) {
    V6SegmentGroup group({"", "TEXT"}, "Strip");
    juce::Path square;
    square.addRectangle(0, 0, 10, 10);
    group.setIcons({square});
    group.setSelectedIndex(1, false);
    group.setSize(140, 35);  // slot 0 is 70 x 35: the icon square is 20 x 20 centred on (35, 17.5)
    const auto image = test::render(group);
    const auto muted = themeColour(ThemeColour::textMuted);
    EXPECT_TRUE(nearColour(image.getPixelAt(35, 17), muted));
    EXPECT_TRUE(nearColour(image.getPixelAt(26, 9), muted));
    EXPECT_FALSE(nearColour(image.getPixelAt(23, 17), muted));  // left of the square
    EXPECT_FALSE(nearColour(image.getPixelAt(35, 5), muted));   // above it
}

TEST(V6SegmentGroup, TooltipsNameTipsAndAccessibility) {
    V6SegmentGroup group({"ONE", "TWO", "THREE"}, "Room channel filters");
    EXPECT_EQ(group.getName(), "Room channel filters");
    EXPECT_EQ(group.getTitle(), "Room channel filters");
    group.setSize(300, 30);
    group.setTooltip("group tip");
    group.setSegmentTooltip(1, "second");
    group.setSegmentNameTip(2, "third name");
    EXPECT_EQ(group.getTooltip(), "group tip");  // the mouse is nowhere over a segment
    EXPECT_EQ(group.getNameTip({150, 10}), "");
    EXPECT_EQ(group.getNameTip({250, 10}), "third name");
    EXPECT_EQ(group.getNameTip({350, 10}), "");
    auto handler = group.createAccessibilityHandler();
    ASSERT_NE(handler, nullptr);
    EXPECT_EQ(handler->getRole(), juce::AccessibilityRole::group);
}

TEST(V6DropChip, ThemeColoursFontAndListener) {
    const auto before = Theme::instance().listeners().size();
    {
        V6DropChip chip("Drum type");
        EXPECT_EQ(chip.getName(), "Drum type");
        EXPECT_EQ(Theme::instance().listeners().size(), before + 1);
        const std::pair<int, ThemeColour> cases[] = {
            {juce::ComboBox::textColourId, ThemeColour::textPrimary},
            {juce::ComboBox::backgroundColourId, ThemeColour::fieldBackground},
            {juce::ComboBox::outlineColourId, ThemeColour::border},
            {juce::ComboBox::arrowColourId, ThemeColour::textMuted},
        };
        for (const auto& [id, role] : cases) EXPECT_EQ(chip.findColour(id), themeColour(role)) << id;

        V6LookAndFeel laf;
        EXPECT_EQ(laf.getComboBoxFont(chip), makeFont(kTypeChip));
        juce::ComboBox plain;
        plain.setSize(100, 40);
        EXPECT_FLOAT_EQ(laf.getComboBoxFont(plain).getHeight(), 16.0f);
        EXPECT_NE(laf.getComboBoxFont(plain), makeFont(kTypeChip));
    }
    EXPECT_EQ(Theme::instance().listeners().size(), before);
}

// Counts its paints: a hover change that is never repainted leaves the
// screen showing the old state.
struct CountedGroup : V6SegmentGroup {
    using V6SegmentGroup::V6SegmentGroup;
    int paints = 0;
    void paint(juce::Graphics& g) override {
        ++paints;
        V6SegmentGroup::paint(g);
    }
};

struct CountedChip : V6DropChip {
    int paints = 0;
    void paint(juce::Graphics& g) override {
        ++paints;
        V6DropChip::paint(g);
    }
};

struct HoverStage : juce::Component {
    CountedGroup group{juce::StringArray{"ALL", "Direct", "Room channel A"}, "Strip"};
    CountedChip chip;
    HoverStage() {
        setSize(400, 80);
        group.setBounds(10, 10, 300, 28);
        chip.addItem("UNKNOWN", 1);
        chip.setSelectedId(1);
        chip.setBounds(10, 46, 120, 28);
        addAndMakeVisible(group);
        addAndMakeVisible(chip);
        addToDesktop(0);
        setVisible(true);
        test::pumpUntil([this] { return isShowing(); });
        test::pumpFor(50);
    }
    ~HoverStage() override { removeFromDesktop(); }
};

TEST(V6SegmentGroup, TheSegmentUnderThePointerLightsAndGoesDarkWhenItLeaves) {
    HoverStage stage;
    test::PeerMouse mouse{stage};
    const auto centreOf = [&](int i) { return stage.getLocalPoint(&stage.group, stage.group.segmentBounds(i).getCentre()).toFloat(); };
    const auto paintsAfter = [&](juce::Point<float> p) {
        const int before = stage.group.paints;
        mouse.send(p, {});
        test::pumpFor(60);
        return stage.group.paints > before;
    };
    EXPECT_TRUE(paintsAfter(centreOf(1))) << "entering lights the segment";
    EXPECT_TRUE(paintsAfter(centreOf(2))) << "moving to the next segment moves the light";
    EXPECT_FALSE(paintsAfter(centreOf(2) + juce::Point<float>(1.0f, 0.0f))) << "the same segment: nothing to redraw";
    EXPECT_TRUE(paintsAfter({380.0f, 20.0f})) << "leaving puts the light out";
    // The lit segment draws its text in the primary colour.
    mouse.send(centreOf(1), {});
    const auto lit = stage.group.segmentTextColour(1, 1), dark = stage.group.segmentTextColour(1, -1);
    EXPECT_NE(lit, dark);

    // The drop chip lights over its text too.
    const int before = stage.chip.paints;
    mouse.send(stage.getLocalPoint(&stage.chip, stage.chip.getLocalBounds().getCentre()).toFloat(), {});
    test::pumpFor(60);
    EXPECT_GT(stage.chip.paints, before);
    const int lit2 = stage.chip.paints;
    mouse.send({380.0f, 60.0f}, {});
    test::pumpFor(60);
    EXPECT_GT(stage.chip.paints, lit2);
}

TEST(V6DropChip, Chevron) {
    struct Case {
        float w, h;
        float width, rightGap, height;
    };
    const Case cases[] = {
        {100, 20, 7.0f, 6.0f, 3.85f},     // 0.38h above 7: capped
        {100, 40, 7.0f, 12.0f, 3.85f},    // 0.3h above 6
        {80, 10, 3.8f, 6.0f, 2.09f},
    };
    for (const auto& c : cases) {
        const auto bounds = V6DropChip::chevronPath(c.w, c.h).getBounds();
        EXPECT_NEAR(bounds.getWidth(), c.width, 1e-4) << c.h;
        EXPECT_NEAR(c.w - bounds.getRight(), c.rightGap, 1e-4) << c.h;
        EXPECT_NEAR(bounds.getHeight(), c.height, 1e-4) << c.h;
        EXPECT_NEAR(bounds.getCentreY(), c.h / 2.0f, 1e-4) << c.h;
    }

    V6DropChip chip;
    chip.setSize(100, 20);
    const auto image = test::render(chip);
    EXPECT_TRUE(nearColour(image.getPixelAt(50, 10), themeColour(ThemeColour::fieldBackground)));
    EXPECT_TRUE(nearColour(image.getPixelAt(90, 11), themeColour(ThemeColour::textMuted), 60));  // the V's tip
}

}  // namespace
}  // namespace vt6::ui::widgets
