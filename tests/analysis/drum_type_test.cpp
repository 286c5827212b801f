#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "analysis/drum_type.hpp"

namespace vt6::fmt {
namespace {

TEST(DrumType, WordsParseOnlyWhenWholeAndExact) {
    struct Case {
        std::string_view text;
        DrumType code;
    };
    const Case cases[] = {
        {"kick", 0},   {"snare", 1}, {"hh", 2},     {"hihat", 2},  {"hi-hat", 2},  {"tom", 3},
        {"toms", 3},   {"cymbal", 4}, {"ride", 4},   {"crash", 4},
        // No case folding, trimming or prefix matching.
        {"Kick", 5},   {"KICK", 5},  {" kick", 5},  {"kick ", 5},  {"kicks", 5},   {"kic", 5},
        {"", 5},       {"unknown", 5}, {"hi hat", 5}, {"tomz", 5},
        // The span is not NUL-terminated: only its own bytes count.
        {std::string_view("kickdrum", 4), 0}, {std::string_view("snare\0", 6), 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parseDrumType(c.text), c.code) << "'" << std::string(c.text) << "'";
    }
}

TEST(DrumType, CodesNameTheirCanonicalWordAndRoundTrip) {
    struct Case {
        int code;
        std::string_view word;
    };
    const Case cases[] = {{0, "kick"}, {1, "snare"}, {2, "hh"},       {3, "tom"},      {4, "cymbal"},
                          {5, "unknown"}, {6, "unknown"}, {200, "unknown"}, {255, "unknown"}};
    for (const Case& c : cases) {
        const auto code = static_cast<DrumType>(c.code);
        EXPECT_EQ(std::string_view(drumTypeName(code)), c.word) << c.code;
        EXPECT_EQ(parseDrumType(drumTypeName(code)), c.code <= 5 ? code : kDrumUnknown) << c.code;
    }
}

} // namespace
} // namespace vt6::fmt
