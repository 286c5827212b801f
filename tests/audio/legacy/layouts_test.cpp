#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/legacy/layouts.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/legacy_builder.hpp"

namespace vt6::zem {
namespace {

using testing::BuilderFile;
using testing::BuilderSample;
using testing::TempFile;

fmt::Bytes bytesOf(const std::string& text) { return fmt::Bytes(text.begin(), text.end()); }

TEST(LegacyVersionName, MapsIndicesToMagics) {
    const char* expected[] = {"Zem_v3.0", "Zem_v3.1", "Zem_v3.2", "Zem_v3.3", "Zem_v3.4", "Zem_v3.5", "Zem_v4.0"};
    for (int v = 0; v < 7; ++v) EXPECT_STREQ(legacyVersionName(v), expected[v]);
    EXPECT_STREQ(legacyVersionName(-1), "?");
    EXPECT_STREQ(legacyVersionName(7), "?");
}

TEST(LegacyTexts, LengthPrefixed) {
    struct Case {
        const char* what;
        fmt::Bytes header;
        size_t offset;
        std::string expected;
    };
    fmt::Bytes longText(300, 'x');
    longText[0] = 255;
    const Case cases[] = {
        {"length bounds the text", bytesOf("\x03" "abcdef"), 0, "abc"},
        {"zero byte ends it early", bytesOf(std::string("\x05" "ab\0cd", 6)), 0, "ab"},
        {"header end ends it", bytesOf("\x09" "abc"), 0, "abc"},
        {"length beyond the 30-character slot", bytesOf("\x22" + std::string(40, 'y')), 0, std::string(34, 'y')},
        {"255 is cut to 254", longText, 0, std::string(254, 'x')},
        {"empty", bytesOf(std::string("\0abc", 4)), 0, ""},
        {"offset at the end", bytesOf("\x02" "ab"), 3, ""},
        {"offset beyond the end", bytesOf("\x02" "ab"), 9, ""},
        {"length byte is the last byte", bytesOf("ab\x04"), 2, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(readLengthPrefixedText(c.header, c.offset), c.expected) << c.what;
}

TEST(LegacyTexts, Bounded) {
    struct Case {
        const char* what;
        fmt::Bytes header;
        size_t offset;
        std::string expected;
    };
    const Case cases[] = {
        {"up to the zero byte", bytesOf(std::string("Rim\0shot", 8)), 0, "Rim"},
        {"at most 31 characters", bytesOf(std::string(40, 'z')), 0, std::string(31, 'z')},
        {"header end", bytesOf("Room"), 1, "oom"},
        {"offset outside", bytesOf("Room"), 4, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(readBoundedText(c.header, c.offset), c.expected) << c.what;
}

// Every field of every slot gets a value of its own, so a wrong offset or
// stride on either side of the round trip shows.
struct Dense {
    int version;
    bool props;
    BuilderFile file;
};

Dense denseFile(int version, bool props) {
    Dense d{version, props, {}};
    BuilderFile& f = d.file;
    f.version = version;
    f.legacyProps = props;
    f.instrumentName = "Kit " + std::to_string(version);
    f.levelToleranceDb = 0.75;
    f.dynamics = {0.2f, 0.5f, 0.9f};
    for (size_t k = 0; k < 16; ++k) f.articulationNames[k] = "Art" + std::to_string(k * 3);
    f.roomNames = {"Near", "Far", "Hall"};
    f.roomLevels = {0.6f, 0.4f, 0.2f};
    const bool small = version <= 1 || props;
    const int count = small ? 48 : 384;
    const uint8_t depths[3] = {16, 24, 32};
    for (int i = 0; i < count; ++i) {
        BuilderSample s;
        s.name = "s" + std::to_string(i);
        s.bits = depths[i % 3];
        s.stereo = static_cast<uint8_t>(i % 2);
        s.length = 2 + (i % 5) * 2;
        s.sampleRate = 8000 + 7 * i;
        s.articulation = static_cast<int8_t>(1 + i % 16);
        s.dynamicPart = static_cast<int16_t>(1 + i % 3);
        s.headerImpulse = static_cast<int16_t>(100 * i + 1);
        s.altLevel = static_cast<int16_t>(50 * i + 3);
        s.useAltLevel = static_cast<uint8_t>(i % 4 == 0 ? 1 : 0);
        s.carriedFlag = static_cast<uint8_t>(i % 3);
        s.excluded = static_cast<uint8_t>(i % 5 == 0 ? 1 : 0);
        s.hand = static_cast<uint8_t>(i % 3);
        s.room = static_cast<uint8_t>(i % 4);
        s.roomBytes = {static_cast<uint8_t>(i % 256), static_cast<uint8_t>((i * 3) % 256),
                       static_cast<uint8_t>((i * 7) % 256)};
        s.roomLookup = {i, -(i % 100), i * 1000};
        if (version == 6 && s.bits != 32 && i % 6 == 1) s.codec = 1;
        f.samples.push_back(s);
    }
    return d;
}

LegacyFile readBack(const BuilderFile& f) {
    const TempFile file(testing::buildLegacyFile(f));
    LegacyReadResult r = readLegacyFile(file.path(), LegacyReadOptions{});
    EXPECT_EQ(r.error, "");
    return r.file ? *r.file : LegacyFile{};
}

class LegacyLayoutRoundTrip : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(LegacyLayoutRoundTrip, EveryFieldOfEverySlot) {
    const auto [version, props] = GetParam();
    const Dense d = denseFile(version, props);
    const BuilderFile& f = d.file;
    const LegacyFile lf = readBack(f);
    const bool small = version <= 1;
    const bool main = !small && !props;
    const bool roomTables = main && version >= 4;
    const size_t n = f.samples.size();
    SCOPED_TRACE(legacyVersionName(version) + std::string(props ? " props" : ""));

    ASSERT_EQ(lf.sampleCount, static_cast<int32_t>(n));
    EXPECT_EQ(lf.version, version);
    EXPECT_EQ(lf.legacyProps, props);
    EXPECT_EQ(lf.instrumentName, f.instrumentName);
    for (size_t k = 0; k < 16; ++k)
        EXPECT_EQ(lf.articulationNames[k], main ? f.articulationNames[k] : std::to_string(k + 1));
    if (main) {
        EXPECT_EQ(lf.dynamicCount, 3);
        EXPECT_EQ(lf.dynamics, f.dynamics);
        EXPECT_EQ(lf.levelToleranceDb, 0.0);
    } else {
        EXPECT_EQ(lf.levelToleranceDb, 0.75);
    }
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(lf.roomNames[k], roomTables ? f.roomNames[k] : "Room " + std::to_string(k + 1));
        EXPECT_EQ(lf.roomLevel[k], roomTables ? f.roomLevels[k] : 0.0f);
        EXPECT_EQ(lf.roomFlag[k], 0);
    }
    EXPECT_EQ(lf.roomCount, roomTables ? 3 : 0);

    uint64_t offset = testing::builderHeaderBytes(version);
    for (size_t i = 0; i < n; ++i) {
        const BuilderSample& s = f.samples[i];
        SCOPED_TRACE("sample index " + std::to_string(i));
        EXPECT_EQ(lf.sampleNumber[i], static_cast<int32_t>(i + 1));
        EXPECT_EQ(lf.sampleNames[i], s.name);
        EXPECT_EQ(lf.length[i], s.length);
        EXPECT_EQ(lf.sampleRate[i], s.sampleRate);
        EXPECT_EQ(lf.bits[i], s.bits);
        EXPECT_EQ(lf.stereo[i], s.stereo);
        EXPECT_EQ(lf.articulation[i], version == 0 ? 1 : s.articulation);
        EXPECT_EQ(lf.carriedFlag[i], version == 0 ? 0 : s.carriedFlag);
        EXPECT_EQ(lf.excluded[i], version == 0 ? 0 : s.excluded);
        EXPECT_EQ(lf.headerImpulse[i], s.headerImpulse / 32768.0f);
        EXPECT_EQ(lf.nativePeak[i], lf.headerImpulse[i]);
        EXPECT_EQ(lf.altLevel[i], main ? lf.headerImpulse[i] : s.altLevel / 32768.0f);
        EXPECT_EQ(lf.useAltLevel[i], main ? 0 : s.useAltLevel);
        EXPECT_EQ(lf.hand[i], main ? s.hand : 0);
        if (main) {
            EXPECT_EQ(lf.dynamicPart[i], s.dynamicPart);
            EXPECT_EQ(lf.derivedTake[i], 0);
        }
        EXPECT_EQ(lf.room[i], roomTables ? s.room : 0);
        const std::array<uint8_t, 3> noBytes{};
        EXPECT_EQ(lf.roomBytes[i], roomTables ? s.roomBytes : noBytes);
        std::array<int32_t, 3> lookup{};
        if (roomTables) {
            for (size_t k = 0; k < 3; ++k)
                lookup[k] = version == 4 ? static_cast<int8_t>(s.roomLookup[k]) : s.roomLookup[k];
        }
        EXPECT_EQ(lf.roomLookup[i], lookup);

        const fmt::Bytes stored = testing::sampleStored(s);
        const uint64_t raw = static_cast<uint64_t>(s.length) * (s.bits / 8);
        EXPECT_EQ(lf.codec[i], s.codec);
        EXPECT_EQ(lf.payloadOffset[i], offset);
        EXPECT_EQ(lf.decodedBytes[i], raw);
        EXPECT_EQ(lf.payloadBytes[i], stored.size());
        EXPECT_EQ(lf.payloadCrc[i], version == 6 ? testing::referenceCrc32(stored) : 0u);
        offset += stored.size();
    }
    EXPECT_EQ(lf.fileSize, offset);
    EXPECT_FALSE(lf.truncated);
    EXPECT_EQ(lf.trailingBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, LegacyLayoutRoundTrip,
                         ::testing::Values(std::pair{0, false}, std::pair{1, false}, std::pair{2, false},
                                           std::pair{3, false}, std::pair{4, false}, std::pair{5, false},
                                           std::pair{6, false}, std::pair{6, true}));

TEST(LegacyLayout, PropsClampsArticulationsIntoRange) {
    BuilderFile f = testing::sampleLegacyFile(6, true);
    f.samples[0].articulation = -4;
    f.samples[1].articulation = 0;
    f.samples[2].articulation = 17;
    f.samples[3].articulation = 16;
    const LegacyFile lf = readBack(f);
    EXPECT_EQ(lf.articulation, (std::vector<int32_t>{1, 1, 16, 16}));
}

TEST(LegacyLayout, MainKeepsNegativeArticulationsAsStored) {
    BuilderFile f = testing::sampleLegacyFile(3);
    f.samples[0].articulation = -4;
    const LegacyFile lf = readBack(f);
    EXPECT_EQ(lf.articulation[0], -4);
}

TEST(LegacyFileRecord, DefaultsAndCopies) {
    const LegacyFile empty;
    EXPECT_EQ(empty.version, 5);
    EXPECT_EQ(empty.sampleCount, 0);
    EXPECT_FALSE(empty.selection.ok);
    const LegacyFile lf = readBack(testing::sampleLegacyFile(4));
    LegacyFile copy = lf;
    EXPECT_EQ(copy.sampleNames, lf.sampleNames);
    EXPECT_EQ(copy.selection.cellSamples, lf.selection.cellSamples);
    const LegacyFile moved = std::move(copy);
    EXPECT_EQ(moved.sampleCount, lf.sampleCount);
}

} // namespace
} // namespace vt6::zem
