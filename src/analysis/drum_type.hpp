#pragma once
// The kind of drum a library is made for: a small code in memory, a word in
// files (the model's drum-type text). Shared by the analysis pass, which
// picks its windows by drum type, and the editor, which shows and sets it.

#include <cstdint>
#include <string_view>

namespace vt6::fmt {

using DrumType = uint8_t;

inline constexpr DrumType kDrumKick = 0;
inline constexpr DrumType kDrumSnare = 1;
inline constexpr DrumType kDrumHiHat = 2;
inline constexpr DrumType kDrumTom = 3;
inline constexpr DrumType kDrumCymbal = 4;
inline constexpr DrumType kDrumUnknown = 5;

// The canonical word of a code; every code above 4 is "unknown".
constexpr const char* drumTypeName(DrumType code) noexcept {
    switch (code) {
        case kDrumKick: return "kick";
        case kDrumSnare: return "snare";
        case kDrumHiHat: return "hh";
        case kDrumTom: return "tom";
        case kDrumCymbal: return "cymbal";
        default: return "unknown";
    }
}

// The code of a stored word. Only whole, exact words count (no case folding,
// no trimming, no prefixes); anything else, the empty text included, is
// unknown.
constexpr DrumType parseDrumType(std::string_view text) noexcept {
    struct Word {
        std::string_view word;
        DrumType code;
    };
    constexpr Word kWords[] = {
        {"kick", kDrumKick}, {"snare", kDrumSnare}, {"hh", kDrumHiHat},  {"hihat", kDrumHiHat},
        {"hi-hat", kDrumHiHat}, {"tom", kDrumTom}, {"toms", kDrumTom}, {"cymbal", kDrumCymbal},
        {"ride", kDrumCymbal}, {"crash", kDrumCymbal},
    };
    for (const Word& w : kWords) {
        if (w.word == text) return w.code;
    }
    return kDrumUnknown;
}

} // namespace vt6::fmt
