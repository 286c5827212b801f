#include "format/sample_ext.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format/framing.hpp"

#include "support/bytes.hpp"

namespace vt6::fmt {
namespace {

using test::hex;
using test::toHex;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<uint64_t> keysOf(const ExtensionList& pairs) {
    std::vector<uint64_t> keys;
    for (const ExtensionPair& pair : pairs) keys.push_back(pair.key);
    return keys;
}

Digest128 testHash() {
    Digest128 hash{};
    for (size_t i = 0; i < hash.size(); ++i) hash[i] = static_cast<uint8_t>(0x10 + i);
    return hash;
}

constexpr const char* kTestHashHex = "10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F";

// A stereo 24-bit row with every identity field present and two unrelated
// extensions, listed out of order.
SmplEntry measuredEntry() {
    SmplEntry entry;
    entry.uid = 7;
    entry.audi_uid = 8;
    entry.plain_hash = testHash();
    entry.sample_rate = 48000;
    entry.bits = 24;
    entry.channels = 2;
    entry.frames = 96000;
    entry.playback_start = 100;
    entry.playback_end = 90000;
    entry.extensions = {{2000, hex("00")}, {kRoomLinkExtKey, hex("83 01 02 03")}};
    return entry;
}

// A row with only a hash and a length: every other identity value defaulted.
SmplEntry plainEntry() {
    SmplEntry entry;
    entry.uid = 3;
    entry.audi_uid = 4;
    entry.plain_hash = testHash();
    entry.frames = 1000;
    return entry;
}

HitLevel measured(double db, uint64_t onset, bool finite = true) {
    HitLevel level;
    level.measured = true;
    level.finite = finite;
    level.level_db = db;
    level.onset_frame = onset;
    level.window_db = {-1.0, -2.0, -3.0};
    return level;
}

// ---------------------------------------------------------------- values

TEST(HitLevelValue, DefaultsAreTheUnmeasuredValue) {
    const HitLevel level;
    EXPECT_EQ(level.version, 1u);
    EXPECT_FALSE(level.measured);
    EXPECT_FALSE(level.finite);
    EXPECT_FALSE(level.cancelled);
    EXPECT_EQ(level.level_db, -kInf);
    EXPECT_EQ(level.onset_frame, 0u);
    for (const double w : level.window_db) EXPECT_EQ(w, -kInf);
    EXPECT_EQ(level, HitLevel::unmeasured());

    const Pa6 none;
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(none.sample_rate, 44100u);
}

// ---------------------------------------------------------------- hit level

TEST(HitLevelRecord, EncodesElevenItemsWithTheAudioIdentity) {
    const struct {
        const char* what;
        SmplEntry entry;
        HitLevel level;
        std::string expected;
    } cases[] = {
        {"every field present", measuredEntry(), measured(-12.5, 480),
         std::string("8B 01 F5 F9 CA 40 19 01 E0 50 ") + kTestHashHex +
             " 19 BB 80 18 18 02 1A 00 01 77 00 18 64 1A 00 01 5F 90"},
        {"defaults, not finite", plainEntry(), measured(kNaN, 5, false),
         std::string("8B 01 F4 F9 00 00 05 50 ") + kTestHashHex + " 19 AC 44 10 01 19 03 E8 00 19 03 E8"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(toHex(encodeHitLevelExt(c.level, c.entry)), toHex(hex(c.expected)));
    }
}

TEST(HitLevelRecord, ReadsBackOnAnUnchangedEntry) {
    SmplEntry entry = measuredEntry();
    writeHitLevelExt(entry, measured(-12.5, 480));
    EXPECT_EQ(keysOf(entry.extensions), (std::vector<uint64_t>{26, 1002, 2000}));

    const HitLevel read = readHitLevelExt(entry);
    EXPECT_EQ(read.version, 1u);
    EXPECT_TRUE(read.measured);
    EXPECT_TRUE(read.finite);
    EXPECT_FALSE(read.cancelled);
    EXPECT_EQ(read.level_db, -12.5);
    EXPECT_EQ(read.onset_frame, 480u);
    for (const double w : read.window_db) EXPECT_EQ(w, -kInf);

    // Writing again replaces the record rather than adding one.
    writeHitLevelExt(entry, measured(-3.0, 500));
    EXPECT_EQ(keysOf(entry.extensions), (std::vector<uint64_t>{26, 1002, 2000}));
    EXPECT_EQ(readHitLevelExt(entry).level_db, -3.0);
}

TEST(HitLevelRecord, AnyChangeOfIdentityReadsAsUnmeasured) {
    const struct {
        const char* what;
        std::function<void(SmplEntry&)> change;
    } cases[] = {
        {"plain hash", [](SmplEntry& e) { (*e.plain_hash)[15] ^= 1; }},
        {"plain hash removed", [](SmplEntry& e) { e.plain_hash.reset(); }},
        {"sample rate", [](SmplEntry& e) { e.sample_rate = 44100; }},
        {"sample rate removed", [](SmplEntry& e) { e.sample_rate.reset(); }},
        {"bits", [](SmplEntry& e) { e.bits = 16; }},
        {"channels", [](SmplEntry& e) { e.channels = 1; }},
        {"frames", [](SmplEntry& e) { e.frames = 96001; }},
        {"playback start", [](SmplEntry& e) { e.playback_start = 101; }},
        {"playback start removed", [](SmplEntry& e) { e.playback_start.reset(); }},
        {"playback end", [](SmplEntry& e) { e.playback_end = 89999; }},
        {"playback end removed (falls back to frames)", [](SmplEntry& e) { e.playback_end.reset(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SmplEntry entry = measuredEntry();
        writeHitLevelExt(entry, measured(-12.5, 480));
        c.change(entry);
        EXPECT_EQ(readHitLevelExt(entry), HitLevel::unmeasured());
    }
}

TEST(HitLevelRecord, ChangesThatKeepTheEffectiveIdentityKeepTheLevel) {
    const struct {
        const char* what;
        std::function<void(SmplEntry&)> change;
    } cases[] = {
        {"sample rate set to its default", [](SmplEntry& e) { e.sample_rate = 44100; }},
        {"bits set to their default", [](SmplEntry& e) { e.bits = 16; }},
        {"channels set to their default", [](SmplEntry& e) { e.channels = 1; }},
        {"playback start set to 0", [](SmplEntry& e) { e.playback_start = 0; }},
        {"playback end set to frames", [](SmplEntry& e) { e.playback_end = 1000; }},
        {"fields outside the identity",
         [](SmplEntry& e) {
             e.name = "renamed";
             e.band = 3;
             e.peak = 0.5;
             e.muted = true;
             e.head_frames = 10;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SmplEntry entry = plainEntry();
        writeHitLevelExt(entry, measured(-6.0, 20));
        c.change(entry);
        const HitLevel read = readHitLevelExt(entry);
        EXPECT_TRUE(read.measured);
        EXPECT_EQ(read.level_db, -6.0);
        EXPECT_EQ(read.onset_frame, 20u);
    }
}

TEST(HitLevelRecord, FiniteLevelsNeedTheirOnsetInsideThePlaybackRegion) {
    // The fixture's region is [100, 90000).
    const struct {
        bool finite;
        uint64_t onset;
        bool kept;
    } cases[] = {
        {true, 100, true},   {true, 89999, true},  {true, 99, false},
        {true, 90000, false}, {false, 90000, true}, {false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.onset) + (c.finite ? " finite" : " not finite"));
        SmplEntry entry = measuredEntry();
        writeHitLevelExt(entry, measured(-20.0, c.onset, c.finite));
        const HitLevel read = readHitLevelExt(entry);
        EXPECT_EQ(read.measured, c.kept);
        if (c.kept) {
            EXPECT_EQ(read.finite, c.finite);
            EXPECT_EQ(read.level_db, c.finite ? -20.0 : -kInf);
            EXPECT_EQ(read.onset_frame, c.onset);
        }
    }
}

TEST(HitLevelRecord, WritesNothingForMeasurementsNotWorthKeeping) {
    const struct {
        const char* what;
        HitLevel level;
        bool dropHash;
    } cases[] = {
        {"unmeasured", HitLevel::unmeasured(), false},
        {"cancelled", [] { HitLevel l = measured(-6.0, 200); l.cancelled = true; return l; }(), false},
        {"another version", [] { HitLevel l = measured(-6.0, 200); l.version = 2; return l; }(), false},
        {"finite flag over NaN", measured(kNaN, 200), false},
        {"finite flag over infinity", measured(kInf, 200), false},
        {"row without plain hash", measured(-6.0, 200), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SmplEntry entry = measuredEntry();
        writeHitLevelExt(entry, measured(-12.5, 480));
        if (c.dropHash) entry.plain_hash.reset();
        writeHitLevelExt(entry, c.level);
        EXPECT_EQ(findExtension(entry.extensions, kHitLevelExtKey), nullptr);
        EXPECT_EQ(keysOf(entry.extensions), (std::vector<uint64_t>{26, 2000}));
    }
}

TEST(HitLevelRecord, MalformedRecordsReadAsUnmeasured) {
    // The record of measuredEntry() at -12.5 dB, onset 480, in its parts.
    struct Parts {
        std::string head = "8B";
        std::string version = "01";
        std::string finite = "F5";
        std::string level = "F9 CA 40";
        std::string onset = "19 01 E0";
        std::string hash = std::string("50 ") + kTestHashHex;
        std::string identity = "19 BB 80 18 18 02 1A 00 01 77 00 18 64 1A 00 01 5F 90";
        std::string tail;
        std::string join() const {
            return head + " " + version + " " + finite + " " + level + " " + onset + " " + hash + " " + identity +
                   " " + tail;
        }
    };
    const struct {
        const char* what;
        std::function<void(Parts&)> change;
    } cases[] = {
        {"10 items", [](Parts& p) { p.head = "8A", p.identity.resize(p.identity.size() - 15); }},
        {"12 items", [](Parts& p) { p.head = "8C", p.tail = "00"; }},
        {"trailing byte", [](Parts& p) { p.tail = "00"; }},
        {"a map", [](Parts& p) { p.head = "A1 01 8B"; }},
        {"version 2", [](Parts& p) { p.version = "02"; }},
        {"flag as an integer", [](Parts& p) { p.finite = "01"; }},
        {"level as an integer", [](Parts& p) { p.level = "00"; }},
        {"level infinite", [](Parts& p) { p.level = "F9 FC 00"; }},
        {"level NaN", [](Parts& p) { p.level = "F9 7E 00"; }},
        {"level non-canonical", [](Parts& p) { p.level = "FB C0 29 00 00 00 00 00 00"; }},
        {"onset negative", [](Parts& p) { p.onset = "20"; }},
        {"hash of 15 bytes", [](Parts& p) { p.hash = "4F 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F"; }},
        {"hash as text", [](Parts& p) { p.hash[0] = '7'; }},
        {"other hash", [](Parts& p) { p.hash.back() = 'E'; }},
        {"identity out of order", [](Parts& p) { p.identity = "18 18 19 BB 80 02 1A 00 01 77 00 18 64 1A 00 01 5F 90"; }},
    };

    {
        SmplEntry entry = measuredEntry();
        entry.extensions.push_back({kHitLevelExtKey, hex(Parts{}.join())});
        ASSERT_TRUE(readHitLevelExt(entry).measured) << "the unchanged parts must read";
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Parts parts;
        c.change(parts);
        SmplEntry entry = measuredEntry();
        entry.extensions.push_back({kHitLevelExtKey, hex(parts.join())});
        EXPECT_EQ(readHitLevelExt(entry), HitLevel::unmeasured());
    }
}

// ---------------------------------------------------------------- sort lock

TEST(SortLock, SetAndClearKeepOnePairAndSortTheList) {
    SmplEntry entry;
    entry.extensions = {{2000, hex("00")}, {26, hex("83 00 00 00")}};

    entry.setFlagExt(false);
    EXPECT_EQ(keysOf(entry.extensions), (std::vector<uint64_t>{26, 2000}));
    EXPECT_FALSE(readSortLockExt(entry));

    entry.setFlagExt(true);
    entry.setFlagExt(true);
    EXPECT_EQ(keysOf(entry.extensions), (std::vector<uint64_t>{26, 1003, 2000}));
    EXPECT_EQ(entry.extensions[1].bytes, hex("F5"));
    EXPECT_TRUE(readSortLockExt(entry));

    entry.extensions.push_back({1003, hex("F5")});  // a stray second pair
    entry.setFlagExt(false);
    EXPECT_EQ(keysOf(entry.extensions), (std::vector<uint64_t>{26, 2000}));
}

TEST(SortLock, OnlyTheItemTrueLocks) {
    const struct {
        const char* bytes;
        bool locked;
    } cases[] = {{"F5", true}, {"F4", false}, {"01", false}, {"F5 00", false}, {"81 F5", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        SmplEntry entry;
        entry.extensions = {{kSortLockExtKey, hex(c.bytes)}};
        EXPECT_EQ(readSortLockExt(entry), c.locked);
    }
    EXPECT_FALSE(readSortLockExt(SmplEntry{}));
}

// ---------------------------------------------------------------- room links

TEST(RoomLink, ReadsOnlyATripleOfUnsignedIntegers) {
    using Triple = std::array<uint64_t, 3>;
    const struct {
        const char* what;
        Bytes bytes;
        std::optional<Triple> expected;
    } cases[] = {
        {"written triple", encodeCborUintTriple(11, 0, 18446744073709551615ull),
         Triple{11, 0, 18446744073709551615ull}},
        {"two integers", hex("82 01 02"), std::nullopt},
        {"four integers", hex("84 01 02 03 04"), std::nullopt},
        {"text", hex("63 61 62 63"), std::nullopt},
        {"negative member", hex("83 01 02 20"), std::nullopt},
        {"float member", hex("83 01 02 F9 3C 00"), std::nullopt},
        {"trailing byte", hex("83 01 02 03 00"), std::nullopt},
        {"truncated", hex("83 01 02"), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SmplEntry entry;
        entry.extensions = {{kRoomLinkExtKey, c.bytes}, {kRoomLinkExtKey, hex("83 04 05 06")}};
        EXPECT_EQ(readExtUintTriple(entry), c.expected);
    }
    EXPECT_EQ(readExtUintTriple(SmplEntry{}), std::nullopt);
}

// ---------------------------------------------------------------- band centre

BandDef bandWith(std::optional<Bytes> center, std::optional<double> low = {}, std::optional<double> high = {}) {
    BandDef band;
    band.id = 1;
    band.low = low;
    band.high = high;
    band.extensions.push_back({9, hex("00")});
    if (center) band.extensions.push_back({kBandCenterExtKey, *center});
    return band;
}

TEST(BandCenter, ReadsOnlyAFloatOnTheLevelScale) {
    const struct {
        const char* bytes;
        std::optional<double> expected;
    } cases[] = {
        {"F9 38 00", 0.5},
        {"F9 00 00", 0.0},
        {"F9 3C 00", 1.0},
        {"FB 3F B9 99 99 99 99 99 9A", 0.1},
        {"F9 7E 00", std::nullopt},  // NaN
        {"F9 7C 00", std::nullopt},  // infinity
        {"F9 FC 00", std::nullopt},  // minus infinity
        {"F9 3E 00", std::nullopt},  // 1.5
        {"F9 B4 00", std::nullopt},  // -0.25
        {"FB 3F F0 00 00 00 00 00 01", std::nullopt},  // just above 1
        {"00", std::nullopt},
        {"F9 38 00 00", std::nullopt},
        {"81 F9 38 00", std::nullopt},
        {"FA 3F 80 00 00", std::nullopt},  // 1.0 not in shortest form
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(readBandCenter(bandWith(hex(c.bytes))), c.expected);
    }
    EXPECT_EQ(readBandCenter(bandWith(std::nullopt)), std::nullopt);

    BandDef firstCounts = bandWith(hex("F9 7E 00"));
    firstCounts.extensions.push_back({kBandCenterExtKey, hex("F9 38 00")});
    EXPECT_EQ(readBandCenter(firstCounts), std::nullopt);
}

TEST(BandCenter, FallsBackToTheBoundsThenToAnEvenShare) {
    const struct {
        const char* what;
        BandDef band;
        size_t index;
        size_t count;
        double expected;
    } cases[] = {
        {"stored centre", bandWith(hex("F9 34 00"), 0.0, 1.0), 0, 4, 0.25},
        {"no centre, both bounds", bandWith(std::nullopt, 0.25, 0.75), 3, 4, 0.5},
        {"NaN centre, both bounds", bandWith(hex("F9 7E 00"), 0.25, 0.5), 3, 4, 0.375},
        {"infinite centre, both bounds", bandWith(hex("F9 7C 00"), 0.25, 0.5), 3, 4, 0.375},
        {"centre above 1, no bounds", bandWith(hex("F9 3E 00")), 0, 2, 0.25},
        {"only a low bound", bandWith(std::nullopt, 0.5), 1, 4, 0.375},
        {"minus infinite low bound", bandWith(std::nullopt, -kInf, 0.5), 0, 4, 0.125},
        {"NaN high bound", bandWith(std::nullopt, 0.25, kNaN), 3, 4, 0.875},
        {"bounds off the scale", bandWith(std::nullopt, 1.25, 1.5), 0, 1, 0.5},
        {"no bands", bandWith(std::nullopt), 0, 0, 0.5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const double center = bandCenterOrFallback(c.band, c.index, c.count);
        EXPECT_EQ(center, c.expected);
    }
}

TEST(BandCenter, WritesRemovesAndSortsPairs) {
    const ExtensionPair pair = makeCborFloatValue(0.75);
    EXPECT_EQ(pair.key, kBandCenterExtKey);
    EXPECT_EQ(toHex(pair.bytes), "F9 3A 00");

    BandDef band;
    band.extensions = {{9, hex("01")}, pair, {2, hex("02")}, {5, hex("F9 00 00")}, {9, hex("03")}};
    EXPECT_EQ(readBandCenter(band), 0.75);
    EXPECT_EQ(removeBandCenterExt(band.extensions), 2u);
    EXPECT_EQ(removeBandCenterExt(band.extensions), 0u);

    // Equal keys keep their order, so the first pair of a key stays first.
    sortExtensions(band.extensions);
    EXPECT_EQ(band.extensions, (ExtensionList{{2, hex("02")}, {9, hex("01")}, {9, hex("03")}}));
}

// ---------------------------------------------------------------- helpers

TEST(SampleExtHelpers, OptionalDiffers) {
    const struct {
        std::optional<uint64_t> a, b;
        bool differs;
    } cases[] = {
        {std::nullopt, 0, true}, {0, std::nullopt, true}, {std::nullopt, std::nullopt, false},
        {5, 5, false},           {5, 6, true},
    };
    for (const auto& c : cases) EXPECT_EQ(optionalDiffers(c.a, c.b), c.differs);
}

TEST(SampleExtHelpers, EraseRowsNoLongerInTheDocument) {
    std::vector<SmplEntry> rows(5);
    for (size_t i = 0; i < rows.size(); ++i) rows[i].uid = i + 1;
    const size_t removed = eraseSmplEntriesIf(rows, [](uint64_t uid) { return uid == 2 || uid == 4; });
    EXPECT_EQ(removed, 3u);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].uid, 2u);
    EXPECT_EQ(rows[1].uid, 4u);
}

TEST(SampleExtHelpers, DropPreviewAndDescriptionChunks) {
    std::vector<ExtraChunk> chunks;
    for (const uint32_t tag : {kTagPRVW, kTagXTRA, kTagDESC, kTagPRVW, kTagARTW}) {
        chunks.push_back(ExtraChunk{tag, 0, 0, 0, {}, false});
    }
    EXPECT_EQ(dropPreviewAndDescChunks(chunks), 3u);
    ASSERT_EQ(chunks.size(), 2u);
    EXPECT_EQ(chunks[0].tag, kTagXTRA);
    EXPECT_EQ(chunks[1].tag, kTagARTW);
}

TEST(SampleExtHelpers, GroupDefinitionCopies) {
    const BandDef full{3, 0.25, 0.5, "Dynamic 3", {{5, hex("F9 35 00")}}};

    BandDef source = full;
    const BandDef taken = copyGroupDefPlain(std::move(source));
    EXPECT_EQ(taken, full);
    EXPECT_FALSE(source.name.has_value());
    EXPECT_TRUE(source.extensions.empty());

    BandDef fallback{9, {}, {}, "fallback", {}};
    EXPECT_EQ(copyGroupDef(full, std::move(fallback)), full);
    EXPECT_EQ(copyGroupDef(std::nullopt, BandDef{9, {}, {}, "fallback", {}}).name, "fallback");
    EXPECT_EQ(copyGroupDefFull(full), full);
}

TEST(SampleExtHelpers, NameTexts) {
    EXPECT_EQ(nameOrEmpty(std::nullopt), "");
    EXPECT_EQ(nameOrRoomSample(std::nullopt), "room sample");
    EXPECT_EQ(nameOrRoomSample(std::string("Kick 1")), "Kick 1");

    std::optional<std::string> text;
    assignOptionalCString(text, nullptr);
    EXPECT_EQ(text, "");
    setCreatorToolName(text);
    EXPECT_EQ(text, "ZEM Rivir");
    EXPECT_EQ(makeDirectChannelName(), "Direct");
}

} // namespace
} // namespace vt6::fmt
