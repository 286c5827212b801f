#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "widgets/value_entry.hpp"

namespace vt6::ui::widgets {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

struct ParseCase {
    const char* text;
    std::optional<double> expected;
};

TEST(ParseValueText, ReadsWhatUsersType) {
    const ParseCase cases[] = {
        {"  \xe2\x88\x92" "3,5 dB ", -3.5},
        {"12", 12.0},
        {"-.5", -0.5},
        {".5", 0.5},
        {"1,5", 1.5},
        {"1,000,000", 1000000.0},
        {"1.000,5", 1.0005},
        {"\xe2\x80\x93" "12", -12.0},
        {"\xe2\x80\x94" "12", -12.0},
        {"1.5k", 1500.0},
        {"1.5 K", 1500.0},
        {"2kHz", 2000.0},
        {"r .5k", 500.0},
        {"L 30", -30.0},
        {"R30", 30.0},
        {"L -30", 30.0},
        {"L+5", -5.0},
        {"c", 0.0},
        {"C", 0.0},
        {"centre", 0.0},
        {"inf", kInf},
        {"+INF", kInf},
        {"- inf", -kInf},
        {"\xe2\x88\x9e", kInf},
        {"\xe2\x88\x92\xe2\x88\x9e", -kInf},
        {"1e3", 1000.0},
        {"1e-999", 0.0},
        {"12 dB", 12.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto got = parseValueText(c.text);
        ASSERT_TRUE(got.has_value());
        EXPECT_DOUBLE_EQ(*got, *c.expected);
    }
}

TEST(ParseValueText, RefusesWhatIsNotANumber) {
    const char* cases[] = {"", "   ", "\t\r\n", "c5", "1e999", "-1e999", "L", "Left", "abc", "..", "+", "-",
                           ",", "k"};
    for (const char* text : cases) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(parseValueText(text).has_value());
    }
}

TEST(NormaliseNumberText, ReplacesTypographicSigns) {
    const std::pair<const char*, const char*> cases[] = {
        {"\xe2\x88\x92" "5", "-5"},
        {"a\xe2\x80\x93" "b\xe2\x80\x94" "c", "a-b-c"},
        {"\xe2\x88\x9e", "inf"},
        {"plain 1.5", "plain 1.5"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(normaliseNumberText(in), out) << in;
}

TEST(FormatNumber, TrimsZerosAndLimitsDecimals) {
    struct Case {
        double x;
        int decimals;
        const char* expected;
    };
    const Case cases[] = {
        {2.50, 2, "2.5"},
        {3.0, 2, "3"},
        {-0.0001, 3, "0"},
        {1.23456789012, 12, "1.23456789"},
        {100.0, 0, "100"},
        {1500.0, 2, "1500"},
        {-2.5, 1, "-2.5"},
        {kInf, 2, "inf"},
        {-kInf, 2, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatNumber(c.x, c.decimals), c.expected) << c.x;
}

TEST(RangeHintText, ShowsRangeAndUnit) {
    struct Case {
        double minimum, maximum;
        const char* unit;
        const char* expected;
    };
    const Case cases[] = {
        {-24.0, 24.0, "dB", "-24 \xe2\x80\x93 24 dB"},
        {0.0, 100.0, "", "0 \xe2\x80\x93 100"},
        {0.125, 2.5, "%", "0.125 \xe2\x80\x93 2.5 %"},
    };
    for (const auto& c : cases) {
        juce::Slider slider;
        slider.setRange(c.minimum, c.maximum);
        EXPECT_EQ(rangeHintText(slider, c.unit), juce::String::fromUTF8(c.expected));
    }
}

TEST(ValueBoxBounds, CentredAtLeast72WideAndInsideTheHost) {
    struct Case {
        const char* name;
        juce::Rectangle<int> slider, host, expected;
    };
    const juce::Rectangle<int> host(0, 0, 400, 300);
    const Case cases[] = {
        {"40 px slider", {100, 50, 40, 20}, host, {84, 49, 72, 22}},
        {"wide slider keeps its width", {100, 50, 200, 30}, host, {100, 54, 200, 22}},
        {"at the left edge", {0, 50, 40, 20}, host, {0, 49, 72, 22}},
        {"at the right edge", {370, 50, 30, 20}, host, {328, 49, 72, 22}},
        {"at the bottom edge", {100, 292, 40, 8}, host, {84, 278, 72, 22}},
        {"at the top edge", {100, 0, 40, 4}, host, {84, 0, 72, 22}},
        {"host narrower than the box", {2, 2, 20, 10}, {0, 0, 50, 15}, {0, 0, 50, 15}},
    };
    for (const auto& c : cases) EXPECT_EQ(valueBoxBounds(c.slider, c.host), c.expected) << c.name;
}

}  // namespace
}  // namespace vt6::ui::widgets
