#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <set>
#include <stdexcept>
#include <thread>

#include "audio/codec.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "platform/cpu.hpp"
#include "platform/file.hpp"

namespace vt6::zem {
namespace {

using testing::BuilderFile;
using testing::BuilderSample;
using testing::TempFile;

LegacyReadResult readBytes(const fmt::Bytes& bytes, const LegacyReadOptions& options = {}) {
    const TempFile file(bytes);
    return readLegacyFile(file.path(), options);
}

LegacyReadResult readBuilt(const BuilderFile& f, const LegacyReadOptions& options = {}) {
    return readBytes(testing::buildLegacyFile(f), options);
}

LegacyFile mustRead(const BuilderFile& f, const LegacyReadOptions& options = {}) {
    LegacyReadResult r = readBuilt(f, options);
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.file.has_value());
    return r.file ? std::move(*r.file) : LegacyFile{};
}

// The builder's sample file without its trailing bytes, so it raises no
// warning of its own.
BuilderFile quiet(int version, bool props = false) {
    BuilderFile f = testing::sampleLegacyFile(version, props);
    f.trailing.clear();
    return f;
}

fmt::Bytes withPoke(fmt::Bytes bytes, size_t offset, std::initializer_list<uint8_t> values) {
    for (const uint8_t v : values) bytes[offset++] = v;
    return bytes;
}

fmt::Bytes build(const BuilderFile& f) { return testing::buildLegacyFile(f); }

template <class Edit>
fmt::Bytes edited(int version, Edit edit, bool props = false) {
    BuilderFile f = quiet(version, props);
    edit(f);
    return build(f);
}

// ---------------------------------------------------------------- failures

struct FailCase {
    const char* what;
    std::function<fmt::Bytes()> make;
    std::string error;
};

TEST(LegacyReader, RefusesWithTheLawsMessage) {
    const uint64_t v4Region = build(quiet(6)).size();
    const FailCase cases[] = {
        {"empty file", [] { return fmt::Bytes{}; }, "0-length file"},
        {"7 bytes", [] { return fmt::Bytes{'Z', 'e', 'm', '_', 'v', '3', '.'}; },
         "file too short for the 8-byte version magic"},
        {"unknown version",
         [] { return fmt::Bytes{'Z', 'e', 'm', '_', 'v', '3', '.', '6', 0, 0}; },
         "not a legacy zem (magic 'Zem_v3.6'; only Zem_v3.0..Zem_v3.5 and Zem_v4.0 are legacy layouts)"},
        {"unprintable magic bytes",
         [] { return fmt::Bytes{'Z', 'e', 'm', '\t', 'v', '3', 0x7F, 0x80, 1}; },
         "not a legacy zem (magic 'Zem?v3?" "?'; only Zem_v3.0..Zem_v3.5 and Zem_v4.0 are legacy layouts)"},
        {"header cut short",
         [] {
             fmt::Bytes b = build(quiet(2));
             b.resize(36578);
             return b;
         },
         "truncated header: Zem_v3.2 needs 36579 bytes, file has 36578"},
        {"4.0 header cut short",
         [] {
             fmt::Bytes b = build(quiet(6));
             b.resize(47728);
             return b;
         },
         "truncated header: Zem_v4.0 needs 47729 bytes, file has 47728"},
        {"4.0 marker", [] { return withPoke(build(quiet(6)), 42844 + 6, {'S'}); },
         "Zem_v4.0 extension marker is not 'ZEM4EXT' — corrupt container"},
        {"4.0 marker terminator", [] { return withPoke(build(quiet(6)), 42844 + 7, {'!'}); },
         "Zem_v4.0 extension marker is not 'ZEM4EXT' — corrupt container"},
        {"4.0 ext_bytes", [] { return withPoke(build(quiet(6)), 42852, {0x14, 0x13, 0, 0}); },
         "Zem_v4.0 ext_bytes=4884 (this reader requires exactly 4885)"},
        {"3.0 count byte 0x80", [] { return edited(0, [](BuilderFile& f) { f.storedSampleCount = -128; }); },
         "sample_count=-128 — empty/stub zem, nothing to load"},
        {"main count 0", [] { return edited(3, [](BuilderFile& f) { f.storedSampleCount = 0; }); },
         "sample_count=0 — empty/stub zem, nothing to load"},
        {"3.1 count 49", [] { return edited(1, [](BuilderFile& f) { f.storedSampleCount = 49; }); },
         "sample_count=49 exceeds the Zem_v3.1 layout maximum of 48"},
        {"3.0 count 127", [] { return edited(0, [](BuilderFile& f) { f.storedSampleCount = 127; }); },
         "sample_count=127 exceeds the Zem_v3.0 layout maximum of 48"},
        {"4.0 main count 385", [] { return edited(6, [](BuilderFile& f) { f.storedSampleCount = 385; }); },
         "sample_count=385 exceeds the Zem_v4.0 layout maximum of 384"},
        {"dynamic count -1", [] { return edited(2, [](BuilderFile& f) { f.storedDynamicCount = -1; }); },
         "dynamic_count=-1 outside 0..384"},
        {"dynamic count 385", [] { return edited(5, [](BuilderFile& f) { f.storedDynamicCount = 385; }); },
         "dynamic_count=385 outside 0..384"},
        {"dynamic count 300", [] { return edited(3, [](BuilderFile& f) { f.storedDynamicCount = 300; }); },
         "dynamic_count=300 exceeds SampleMeta's uint8 group id (never authored; raise SampleMeta::dynamicGroup "
         "before accepting this)"},
        {"bits 8", [] { return edited(2, [](BuilderFile& f) { f.samples[1].bits = 8; }); },
         "sample 2: bits=8 (only 16/24/32 exist in the legacy format)"},
        {"bits before length",
         [] {
             return edited(1, [](BuilderFile& f) {
                 f.samples[0].bits = 0;
                 f.samples[0].length = -1;
             });
         },
         "sample 1: bits=0 (only 16/24/32 exist in the legacy format)"},
        {"earlier sample first",
         [] {
             return edited(5, [](BuilderFile& f) {
                 f.samples[0].sampleRate = 0;
                 f.samples[1].bits = 12;
             });
         },
         "sample 1: sampling_rate=0"},
        {"negative length", [] { return edited(3, [](BuilderFile& f) { f.samples[0].length = -5; }); },
         "sample 1: negative length -5"},
        {"length above the limit",
         [] {
             return edited(4, [](BuilderFile& f) {
                 f.samples[2].length = 67108865;
                 f.writePayloads = false;
             });
         },
         "sample 3: length 67108865 exceeds the 67108864-value limit no legacy loader would allocate for"},
        {"rate above the limit", [] { return edited(0, [](BuilderFile& f) { f.samples[3].sampleRate = 384001; }); },
         "sample 4: sampling_rate=384001 above the 384000 Hz limit"},
        {"negative rate", [] { return edited(1, [](BuilderFile& f) { f.samples[0].sampleRate = -44100; }); },
         "sample 1: sampling_rate=-44100"},
        {"decode budget",
         [] {
             BuilderFile f = quiet(5);
             f.writePayloads = false;
             f.samples.assign(16, BuilderSample{});
             for (BuilderSample& s : f.samples) s.length = 67108864;
             f.samples[15].length = 67108863;
             BuilderSample odd;
             odd.bits = 24;
             odd.length = 1;
             f.samples.push_back(odd);
             return build(f);
         },
         "total decoded bytes 2147483649 exceed the 2 GiB budget (what a legacy container could physically hold — "
         "hostile-file law)"},
        {"v4 length 0", [] { return edited(6, [](BuilderFile& f) { f.samples[2].length = 0; }); },
         "sample 3: v4 length=0 (a v4 sample must declare at least one value)"},
        {"v4 stereo flag", [] { return edited(6, [](BuilderFile& f) { f.samples[3].stereo = 2; }); },
         "sample 4: v4 stereo flag=2 (only 0/1 are legal)"},
        {"v4 rate", [] { return edited(6, [](BuilderFile& f) { f.samples[2].sampleRate = 7999; }); },
         "sample 3: v4 sampling_rate=7999 below 8000"},
        {"v4 odd stereo length",
         [] {
             return edited(6, [](BuilderFile& f) {
                 f.samples[3].stereo = 1;
                 f.samples[3].length = 5;
             });
         },
         "sample 4: v4 length 5 is not a multiple of 2 channels (length counts interleaved values)"},
        {"v4 raw size", [] { return edited(6, [](BuilderFile& f) { f.samples[2].payloadBytes = 13; }); },
         "sample 3: v4 codec-0 payload_bytes=13 != raw byte count 12"},
        {"v4 FLAC float",
         [] {
             return edited(6, [](BuilderFile& f) {
                 f.samples[2].codec = 1;
                 f.samples[2].stored = testing::patternPcm(32, 3);
             });
         },
         "sample 3: v4 codec-1 (FLAC) with 32-bit float — FLAC is integer-only; 32-bit stays codec 0"},
        {"v4 FLAC empty", [] { return edited(6, [](BuilderFile& f) { f.samples[0].payloadBytes = 0; }); },
         "sample 1: v4 codec-1 payload_bytes=0 outside 1..1048588 (blob materially larger than raw = corrupt)"},
        {"v4 FLAC too large",
         [] { return edited(6, [](BuilderFile& f) { f.samples[0].payloadBytes = 12 + 1048577; }); },
         "sample 1: v4 codec-1 payload_bytes=1048589 outside 1..1048588 (blob materially larger than raw = corrupt)"},
        {"v4 codec 2", [] { return edited(6, [](BuilderFile& f) { f.samples[3].codec = 2; }); },
         "sample 4: v4 codec=2 (only 0=raw and 1=FLAC exist)"},
        {"v4 region one byte short",
         [] {
             fmt::Bytes b = build(quiet(6));
             b.pop_back();
             return b;
         },
         "v4 payload region ends at byte " + std::to_string(v4Region) + " but the file has only " +
             std::to_string(v4Region - 1) + " — truncated container"},
    };
    for (const FailCase& c : cases) {
        const LegacyReadResult r = readBytes(c.make());
        EXPECT_EQ(r.error, c.error) << c.what;
        EXPECT_FALSE(r.file.has_value()) << c.what;
    }
}

TEST(LegacyReader, RefusesAPathItCannotOpen) {
    const std::string path = "/nonexistent-dir/kit.zem";
    const LegacyReadResult r = readLegacyFile(path, {});
    EXPECT_EQ(r.error, "cannot open file '/nonexistent-dir/kit.zem'");
    EXPECT_FALSE(r.file);
}

TEST(LegacyReader, AcceptsTheLawsBoundaries) {
    struct PassCase {
        const char* what;
        std::function<fmt::Bytes()> make;
    };
    const PassCase cases[] = {
        {"length 2^26 (payloads missing)",
         [] {
             return edited(2, [](BuilderFile& f) {
                 f.samples[0].length = 67108864;
                 f.writePayloads = false;
             });
         }},
        {"rate 384000", [] { return edited(1, [](BuilderFile& f) { f.samples[0].sampleRate = 384000; }); }},
        {"v4 rate 8000", [] { return edited(6, [](BuilderFile& f) { f.samples[2].sampleRate = 8000; }); }},
        {"exactly 2 GiB of declared audio",
         [] {
             BuilderFile f = quiet(5);
             f.writePayloads = false;
             f.samples.assign(16, BuilderSample{});
             for (BuilderSample& s : f.samples) s.length = 67108864;
             return build(f);
         }},
        {"v4 FLAC payload of raw + 1 MiB",
         [] {
             return edited(6, [](BuilderFile& f) { f.samples[0].stored = fmt::Bytes(12 + 1048576, 0x55); });
         }},
        {"v4 FLAC payload of 1 byte",
         [] { return edited(6, [](BuilderFile& f) { f.samples[0].stored = fmt::Bytes(1, 0x55); }); }},
        {"3.x odd stereo length", [] { return edited(3, [](BuilderFile& f) { f.samples[1].length = 7; }); }},
        {"main dynamic count 255",
         [] { return edited(3, [](BuilderFile& f) { f.storedDynamicCount = 255; }); }},
    };
    for (const PassCase& c : cases) {
        const LegacyReadResult r = readBytes(c.make());
        EXPECT_EQ(r.error, "") << c.what;
        EXPECT_TRUE(r.file.has_value()) << c.what;
    }
}

// A source that reports any size: the file's bytes, then zeros up to that
// size. Stands in for a file of several gigabytes without making one.
class SizedSource final : public LegacySource {
public:
    SizedSource(std::span<const uint8_t> bytes, std::optional<uint64_t> size) : bytes_(bytes), size_(size) {}
    std::optional<uint64_t> size() const noexcept override { return size_; }
    platform::ReadOutcome readAt(void* dst, size_t size, uint64_t offset) const noexcept override {
        platform::ReadOutcome out;
        const uint64_t end = size_.value_or(0);
        const uint64_t available = offset < end ? end - offset : 0;
        out.bytesRead = static_cast<size_t>(std::min<uint64_t>(size, available));
        auto* p = static_cast<uint8_t*>(dst);
        for (size_t i = 0; i < out.bytesRead; ++i) {
            const uint64_t at = offset + i;
            p[i] = at < bytes_.size() ? bytes_[static_cast<size_t>(at)] : 0;
        }
        out.status = out.bytesRead == size ? platform::ReadStatus::Filled : platform::ReadStatus::EndOfFile;
        return out;
    }

private:
    std::span<const uint8_t> bytes_;
    std::optional<uint64_t> size_;
};

// Legacy files were addressed with signed 32-bit offsets: a larger size is
// refused as too large, never wrapped and never reported as an empty file.
TEST(LegacyReader, FileSizesBeyondSignedThirtyTwoBitsAreRefused) {
    const fmt::Bytes header = build(quiet(0));
    const std::string tooLarge = " bytes; a legacy zem file is at most 2147483647 bytes (2 GiB - 1)";
    struct Case {
        std::optional<uint64_t> size;
        std::string error;  // empty: reads
    };
    const Case cases[] = {
        {0x7FFFFFFFull, ""},
        {0x80000000ull, "file is 2147483648" + tooLarge},
        // Would wrap to a plausible size in 32 bits.
        {0x100000000ull + header.size() + 100, "file is " + std::to_string(0x100000000ull + header.size() + 100) + tooLarge},
        {~uint64_t{0}, "file is 18446744073709551615" + tooLarge},
        {0, "0-length file"},
        {std::nullopt, "0-length file"},  // the size cannot be told
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size ? std::to_string(*c.size) : "no size");
        const SizedSource source(header, c.size);
        const LegacyReadResult r = readLegacySource(source, {});
        EXPECT_EQ(r.error, c.error);
        EXPECT_EQ(r.file.has_value(), c.error.empty());
        if (r.file) {
            EXPECT_EQ(r.file->fileSize, *c.size);
        }
    }
}

// ---------------------------------------------------------------- warnings

struct WarnCase {
    const char* what;
    std::function<fmt::Bytes()> make;
    std::vector<std::string> warnings;
    LegacyReadOptions options{};
};

TEST(LegacyReader, WarningsInTheOrderRaised) {
    const uint64_t v2Region = build(quiet(2)).size();
    const fmt::Bytes props48 = [] {
        BuilderFile f = quiet(6, true);
        while (f.samples.size() < 48) f.samples.push_back(f.samples[2 + f.samples.size() % 2]);
        f.storedSampleCount = 60;
        return build(f);
    }();
    const std::string noDecoder =
        "v4 FLAC payloads present but no Zem4BlobDecoder supplied — native peaks fall back to the header impulse "
        "(grouping of legacy_props files may differ from a full decode)";
    const WarnCase cases[] = {
        {"clean file", [] { return build(quiet(5)); }, {}},
        {"props count clamp", [&] { return props48; }, {"v4 legacy_props sample_count=60 clamped to 48"}},
        {"3.x cut inside its last payload",
         [] {
             fmt::Bytes b = build(quiet(2));
             b.pop_back();
             return b;
         },
         {"declared payload ends at byte " + std::to_string(v2Region) + " but the file has only " +
          std::to_string(v2Region - 1) + " — loading the bytes that exist (V5 behaviour)"}},
        {"trailing bytes", [] { return build(testing::sampleLegacyFile(1)); },
         {"2 trailing bytes after the last declared sample (undeclared audio no loader ever read)"}},
        {"first stale room lookup only",
         [] {
             return edited(4, [](BuilderFile& f) {
                 f.samples[0].roomLookup = {99, 0, 0};
                 f.samples[1].roomLookup = {120, 0, 0};
             });
         },
         {"stale room_lookup entry (sample 1, slot 1, value 99) kept verbatim"}},
        {"FLAC without a decoder", [] { return build(quiet(6)); }, {noDecoder}, LegacyReadOptions{true, nullptr, nullptr}},
        {"hand above 2",
         [] {
             return edited(3, [](BuilderFile& f) {
                 f.samples[1].hand = 3;
                 f.samples[3].hand = 200;
             });
         },
         {"sample 2: hand=3 (outside 0..2; ignored since item 396)",
          "sample 4: hand=200 (outside 0..2; ignored since item 396)"}},
        {"props without a tolerance",
         [] {
             return edited(
                 6,
                 [](BuilderFile& f) {
                     f.levelToleranceDb = std::numeric_limits<double>::quiet_NaN();
                     f.samples[2].excluded = 1;
                 },
                 true);
         },
         {"v4 legacy sample 1 has group 0 / take 0 — not selectable",
          "v4 legacy sample 2 has group 0 / take 0 — not selectable",
          "v4 legacy sample 4 has group 0 / take 0 — not selectable"}},
        {"all kinds at once, main layout",
         [] {
             BuilderFile f = testing::sampleLegacyFile(6);
             f.samples[0].roomLookup = {-1, 0, 0};
             f.samples[3].hand = 9;
             return build(f);
         },
         {"2 trailing bytes after the last declared sample (undeclared audio no loader ever read)",
          "stale room_lookup entry (sample 1, slot 1, value -1) kept verbatim", noDecoder,
          "sample 4: hand=9 (outside 0..2; ignored since item 396)"},
         LegacyReadOptions{true, nullptr, nullptr}},
        {"all kinds at once, props layout",
         [&] {
             fmt::Bytes b = props48;
             std::memset(b.data() + 44777, 0xFF, 8);  // NaN tolerance
             b.push_back(0);
             return b;
         },
         [] {
             std::vector<std::string> w{"v4 legacy_props sample_count=60 clamped to 48",
                                        "1 trailing bytes after the last declared sample (undeclared audio no "
                                        "loader ever read)",
                                        "v4 FLAC payloads present but no Zem4BlobDecoder supplied — native peaks "
                                        "fall back to the header impulse (grouping of legacy_props files may "
                                        "differ from a full decode)"};
             for (int n = 1; n <= 48; ++n)
                 w.push_back("v4 legacy sample " + std::to_string(n) + " has group 0 / take 0 — not selectable");
             return w;
         }(),
         LegacyReadOptions{true, nullptr, nullptr}},
    };
    for (const WarnCase& c : cases) {
        const LegacyReadResult r = readBytes(c.make(), c.options);
        ASSERT_TRUE(r.file) << c.what << ": " << r.error;
        EXPECT_EQ(r.file->warnings, c.warnings) << c.what;
    }
}

TEST(LegacyReader, TruncatedAndTrailingRegions) {
    fmt::Bytes cut = build(quiet(3));
    cut.resize(cut.size() - 3);
    const LegacyFile a = *readBytes(cut).file;
    EXPECT_TRUE(a.truncated);
    EXPECT_EQ(a.trailingBytes, 0u);

    const LegacyFile b = mustRead(testing::sampleLegacyFile(3));
    EXPECT_FALSE(b.truncated);
    EXPECT_EQ(b.trailingBytes, 2u);
}

// ---------------------------------------------------------------- rooms

TEST(LegacyReader, RoomCountMarksOneRoomSlot) {
    struct Case {
        std::vector<uint8_t> rooms;
        int32_t count;
    };
    const Case cases[] = {
        {{0, 0, 0, 0, 0}, 0}, {{0, 1, 0, 0, 1}, 1}, {{2, 0, 1, 0, 0}, 2},
        {{0, 0, 3, 0, 1}, 3}, {{0x80, 0xFF, 0, 1, 0}, 1},  // negative as int8: ignored
    };
    for (const Case& c : cases) {
        BuilderFile f = quiet(5);
        for (size_t i = 0; i < 5; ++i) {
            f.samples[i].room = c.rooms[i];
            f.samples[i].roomLookup = {};
        }
        const LegacyFile lf = mustRead(f);
        EXPECT_EQ(lf.roomCount, c.count);
        for (size_t k = 0; k < 3; ++k) {
            const bool marked = static_cast<int32_t>(k) == c.count && (c.count == 1 || c.count == 2);
            EXPECT_EQ(lf.roomLevel[k], marked ? 1.0f : f.roomLevels[k]) << c.count << " slot " << k;
            EXPECT_EQ(lf.roomFlag[k], marked ? 1 : 0) << c.count << " slot " << k;
        }
        EXPECT_EQ(lf.room, c.rooms);
    }
}

TEST(LegacyReader, StaleRoomLookupRules) {
    // roomCount is 1 in the sample file (one Room A sample among five).
    struct Case {
        std::array<int32_t, 3> lookup;
        const char* warning;
    };
    const Case cases[] = {
        {{5, 0, 0}, nullptr},
        {{0, 0, 0}, nullptr},
        {{0, 2, 0}, "stale room_lookup entry (sample 2, slot 2, value 2) kept verbatim"},
        {{-3, 0, 0}, "stale room_lookup entry (sample 2, slot 1, value -3) kept verbatim"},
        {{6, 0, 0}, "stale room_lookup entry (sample 2, slot 1, value 6) kept verbatim"},
    };
    for (const Case& c : cases) {
        BuilderFile f = quiet(5);
        f.samples[1].roomLookup = c.lookup;
        const LegacyFile lf = mustRead(f);
        if (c.warning == nullptr) EXPECT_TRUE(lf.warnings.empty());
        else EXPECT_EQ(lf.warnings, std::vector<std::string>{c.warning});
        EXPECT_EQ(lf.roomLookup[1], c.lookup);
    }
    // Both stale values stay as stored; only the first is reported.
    BuilderFile f = quiet(4);
    f.samples[0].roomLookup = {100, 0, 0};
    f.samples[1].roomLookup = {101, 0, 0};
    const LegacyFile lf = mustRead(f);
    EXPECT_EQ(lf.warnings.size(), 1u);
    EXPECT_EQ(lf.roomLookup[0][0], 100);
    EXPECT_EQ(lf.roomLookup[1][0], 101);
}

// ---------------------------------------------------------------- selection

TEST(LegacyReader, MainLayoutCellsFollowDynamicsAndSkipRoomAndExcluded) {
    BuilderFile f = quiet(5);
    // Samples: (d1,a1) (d2,a1) (d1,a2) (d1,a2) and a Room A (d1,a1); add an
    // excluded direct (d2,a1) and one naming a dynamic beyond the count.
    BuilderSample excluded = f.samples[1];
    excluded.excluded = 1;
    f.samples.push_back(excluded);
    BuilderSample beyond = f.samples[0];
    beyond.dynamicPart = 3;
    f.samples.push_back(beyond);
    BuilderSample second = f.samples[1];
    f.samples.push_back(second);
    const LegacyFile lf = mustRead(f);

    EXPECT_EQ(lf.take, (std::vector<int32_t>{1, 1, 1, 2, 0, 0, 0, 2}));
    EXPECT_EQ(lf.derivedTake, std::vector<int32_t>(8, 0));
    const SelectionIndex& s = lf.selection;
    ASSERT_TRUE(s.ok);
    EXPECT_TRUE(s.multiTake);
    EXPECT_EQ(s.dynamicCount, 2);
    auto takes = [&](int d, int a) {
        const size_t c = static_cast<size_t>((d - 1) * 16 + (a - 1));
        return std::vector<int32_t>(s.cellSamples.begin() + s.cellStart[c], s.cellSamples.begin() + s.cellStart[c + 1]);
    };
    EXPECT_EQ(takes(1, 1), (std::vector<int32_t>{1}));
    EXPECT_EQ(takes(2, 1), (std::vector<int32_t>{2, 8}));
    EXPECT_EQ(takes(1, 2), (std::vector<int32_t>{3, 4}));
    EXPECT_TRUE(takes(2, 2).empty());
    // Articulation 1 uses dynamics 1 (0.25) and 2 (0.9); articulation 2 only 1.
    EXPECT_EQ(s.ladderEnd[1], 2u);
    EXPECT_EQ(s.ladder[0], (LadderStep{1, 0.25f}));
    EXPECT_EQ(s.ladder[1], (LadderStep{2, 0.9f}));
    EXPECT_EQ(s.ladderEnd[2], 3u);
    EXPECT_EQ(lf.sampleMeta[6], (SampleMeta{3, 1}));
    EXPECT_EQ(lf.sampleMeta[2], (SampleMeta{1, 2}));
}

TEST(LegacyReader, MainLayoutWithoutDynamicsHasNoSelection) {
    BuilderFile f = quiet(3);
    f.dynamics.clear();
    const LegacyFile lf = mustRead(f);
    EXPECT_EQ(lf.dynamicCount, 0);
    EXPECT_FALSE(lf.selection.ok);
    EXPECT_TRUE(lf.selection.cellStart.empty());
    EXPECT_TRUE(lf.warnings.empty());
    EXPECT_EQ(lf.take, std::vector<int32_t>(static_cast<size_t>(lf.sampleCount), 0));
}

TEST(LegacyReader, SmallLayoutDerivesDynamicsFromLevels) {
    BuilderFile f = quiet(1);
    // Header impulses (no peak measurement): two close soft hits, a loud one
    // and an excluded one, all articulation 1; then a foreign articulation.
    const int16_t impulses[] = {8000, 8010, 30000, 8000};
    for (size_t i = 0; i < 4; ++i) {
        f.samples[i].headerImpulse = impulses[i];
        f.samples[i].useAltLevel = 0;
        f.samples[i].articulation = 1;
    }
    f.samples[3].excluded = 1;
    BuilderSample other = f.samples[0];
    other.articulation = 0;
    f.samples.push_back(other);
    f.levelToleranceDb = 0.0;  // stored 0: 0.1 dB
    const LegacyFile lf = mustRead(f);

    EXPECT_FALSE(lf.hasArticulations);
    EXPECT_DOUBLE_EQ(lf.levelToleranceDb, 0.1);
    // One pass over every sample: the foreign articulation joins group 1 but
    // gets no cell.
    EXPECT_EQ(lf.dynamicPart, (std::vector<int32_t>{1, 1, 2, 0, 1}));
    EXPECT_EQ(lf.derivedTake, (std::vector<int32_t>{1, 2, 1, 0, 3}));
    EXPECT_EQ(lf.take, (std::vector<int32_t>{1, 2, 1, 0, 3}));
    EXPECT_EQ(lf.dynamicCount, 2);
    EXPECT_EQ(lf.dynamics, (std::vector<float>{8000 / 32768.0f, 30000 / 32768.0f}));
    ASSERT_TRUE(lf.selection.ok);
    EXPECT_EQ(lf.selection.cellStart.back(), 3);  // samples 1, 2 and 3
    EXPECT_EQ(lf.sampleMeta[4], (SampleMeta{1, 0}));
}

TEST(LegacyReader, PropsLayoutCellsFromTheDerivation) {
    BuilderFile f = quiet(6, true);
    // Articulations 1 and 2: per-articulation derivation and passes.
    f.samples[0].headerImpulse = 8000;
    f.samples[1].useAltLevel = 1;
    f.samples[1].altLevel = 8001;
    f.samples[2].articulation = 2;
    f.samples[3].articulation = 2;
    f.samples[3].excluded = 1;
    const LegacyFile lf = mustRead(f);
    EXPECT_TRUE(lf.hasArticulations);
    EXPECT_EQ(lf.dynamicPart, (std::vector<int32_t>{1, 1, 1, 0}));
    EXPECT_EQ(lf.take, (std::vector<int32_t>{1, 2, 1, 0}));
    ASSERT_TRUE(lf.selection.ok);
    EXPECT_TRUE(lf.selection.multiTake);
    EXPECT_TRUE(lf.warnings.empty());
    EXPECT_EQ(lf.hand, std::vector<uint8_t>(4, 0));

    // All articulations 1 or below (clamped to 1): one pass, cells on 1.
    for (BuilderSample& s : f.samples) s.articulation = 0;
    f.samples[3].excluded = 0;
    const LegacyFile one = mustRead(f);
    EXPECT_FALSE(one.hasArticulations);
    ASSERT_TRUE(one.selection.ok);
    const int32_t total = one.selection.cellStart.back();
    EXPECT_EQ(total, 4);
    EXPECT_EQ(one.selection.cellStart[1] - one.selection.cellStart[0] +
                  (one.selection.dynamicCount > 1 ? one.selection.cellStart[17] - one.selection.cellStart[16] : 0),
              total);  // every take sits in articulation 1
}

// ---------------------------------------------------------------- peaks

fmt::Bytes le16(std::initializer_list<int16_t> values) {
    fmt::Bytes out;
    for (const int16_t v : values) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
    return out;
}

fmt::Bytes le24(std::initializer_list<int32_t> values) {
    fmt::Bytes out;
    for (const int32_t v : values) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v >> 16));
    }
    return out;
}

fmt::Bytes f32(std::initializer_list<float> values) {
    fmt::Bytes out;
    for (const float v : values) {
        uint8_t b[4];
        std::memcpy(b, &v, 4);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

TEST(PcmPeak, PerDepth) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        fmt::Bytes bytes;
        int32_t bits;
        float peak;
    };
    const Case cases[] = {
        {"16-bit most negative", le16({100, -32768, 5}), 16, static_cast<float>(32768.0 / 32767.0)},
        {"16-bit full scale", le16({32767, -5}), 16, 1.0f},
        {"24-bit lone most negative", le24({0x800000}), 24, 1.0f},
        {"24-bit full scale", le24({0x7FFFFF}), 24, static_cast<float>(0x7FFFFF / 8388608.0)},
        {"24-bit half", le24({-0x400000, 3}), 24, 0.5f},
        {"float skips NaN", f32({0.25f, nan, -0.5f}), 32, 0.5f},
        {"float all NaN", f32({nan}), 32, 0.0f},
        {"incomplete value ignored", fmt::Bytes{0x00, 0x40, 0xFF}, 16, static_cast<float>(16384.0 / 32767.0)},
        {"no complete value", fmt::Bytes{0xFF, 0x7F}, 24, 0.0f},
        {"empty", fmt::Bytes{}, 16, 0.0f},
        {"unknown depth", le16({1000}), 8, 0.0f},
    };
    for (const Case& c : cases) EXPECT_EQ(pcmPeak(c.bytes, c.bits), c.peak) << c.what;
    EXPECT_EQ(pcmPeak(f32({-std::numeric_limits<float>::infinity()}), 32), std::numeric_limits<float>::infinity());
}

TEST(MeasurePeak, StreamsAcrossBlocksAndStopsAtTheFileEnd) {
    // A 24-bit value straddling the 1 MiB block boundary carries the peak.
    const size_t values = kLegacyPeakBlockBytes / 3 + 10;
    fmt::Bytes pcm(values * 3, 0);
    const size_t straddler = kLegacyPeakBlockBytes / 3;  // bytes 1048575..1048577
    ASSERT_LT(straddler * 3, kLegacyPeakBlockBytes);
    ASSERT_GT(straddler * 3 + 3, kLegacyPeakBlockBytes);
    pcm[straddler * 3 + 2] = 0x80;  // 0x800000
    pcm[3 * 5 + 2] = 0x20;          // a smaller value early on
    fmt::Bytes file(100 + pcm.size(), 0xAA);  // unrelated bytes before the payload
    std::copy(pcm.begin(), pcm.end(), file.begin() + 100);
    const TempFile tmp(file);
    const int fd = platform::openFileUtf8(tmp.path());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(measurePeak(fd, 100, pcm.size(), 24), 1.0f);
    EXPECT_EQ(measurePeak(fd, 100, straddler * 3, 24), 0.25f);
    // Asking past the end measures what exists; nothing at all gives 0.
    EXPECT_EQ(measurePeak(fd, 100, pcm.size() + 5000, 24), 1.0f);
    EXPECT_EQ(measurePeak(fd, file.size() + 10, 64, 16), 0.0f);
    EXPECT_EQ(measurePeak(fd, 0, 0, 16), 0.0f);
    EXPECT_EQ(measurePeak(fd, 0, 64, 12), 0.0f);
    platform::closeFile(fd);
}

TEST(LegacyReader, PeaksAreMeasuredOnlyOnRequest) {
    BuilderFile f = quiet(3);
    f.samples[0].pcm = le16({3, -32768, 7});
    f.samples[0].length = 3;
    f.samples[1].pcm = le24({0x800000, 0, 0, 0, 0, 0, 0, 5});
    f.samples[2].pcm = f32({0.125f, std::numeric_limits<float>::quiet_NaN(), -0.25f});

    const LegacyFile plain = mustRead(f);
    EXPECT_EQ(plain.nativePeak, plain.headerImpulse);

    const LegacyFile measured = mustRead(f, {true, nullptr, nullptr});
    EXPECT_EQ(measured.nativePeak[0], static_cast<float>(32768.0 / 32767.0));
    EXPECT_EQ(measured.nativePeak[1], 1.0f);
    EXPECT_EQ(measured.nativePeak[2], 0.25f);
    EXPECT_EQ(measured.nativePeak[3], pcmPeak(testing::samplePcm(f.samples[3]), 16));
    EXPECT_EQ(measured.headerImpulse, plain.headerImpulse);

    const std::vector<float> override{0.1f, 0.2f, 0.3f, 0.4f};
    EXPECT_EQ(mustRead(f, {true, nullptr, &override}).nativePeak, override);
    const std::vector<float> wrongSize{0.1f};
    EXPECT_EQ(mustRead(f, {true, nullptr, &wrongSize}).nativePeak, measured.nativePeak);
    // Without measurement the override is not consulted.
    EXPECT_EQ(mustRead(f, {false, nullptr, &override}).nativePeak, plain.headerImpulse);
}

TEST(LegacyReader, TruncatedPayloadPeaksUseTheBytesThatExist) {
    BuilderFile f = quiet(2);
    f.samples[2].pcm = f32({0.5f, -0.75f, 0.875f});
    f.samples[3].pcm = le16({-30000, 0});
    f.samples[3].length = 2;
    fmt::Bytes b = build(f);
    b.resize(b.size() - 8);  // sample 4 entirely gone, sample 3's last value too
    const LegacyFile lf = *readBytes(b, {true, nullptr, nullptr}).file;
    EXPECT_TRUE(lf.truncated);
    EXPECT_EQ(lf.nativePeak[2], 0.75f);
    EXPECT_EQ(lf.nativePeak[3], 0.0f);
}

// A decoder that counts calls and remembers which threads made them.
struct RecordingDecoder {
    Zem4BlobDecoder inner = fmt::makeZem4FlacBlobDecoder();
    std::mutex mutex;
    std::set<std::thread::id> threads;
    int calls = 0;

    Zem4BlobDecoder callable() {
        return [this](const Zem4Blob& blob) {
            {
                const std::lock_guard<std::mutex> lock(mutex);
                ++calls;
                threads.insert(std::this_thread::get_id());
            }
            return inner(blob);
        };
    }
};

BuilderFile flacFile(int samples) {
    BuilderFile f = quiet(6, true);
    f.samples.clear();
    for (int i = 0; i < samples; ++i) {
        BuilderSample s;
        s.codec = 1;
        s.bits = i % 2 == 0 ? 16 : 24;
        s.stereo = static_cast<uint8_t>(i % 3 == 0 ? 1 : 0);
        s.length = 600 + 2 * i;
        s.pcm = testing::patternPcm(s.bits, s.length, s.bits == 16 ? 1000 + 997 * i : 40000 + 99991 * i);
        s.articulation = static_cast<int8_t>(1 + i % 2);
        f.samples.push_back(s);
    }
    return f;
}

TEST(LegacyDecodePool, PeaksMatchASingleThreadedComputation) {
    const BuilderFile f = flacFile(12);
    RecordingDecoder recording;
    const Zem4BlobDecoder decoder = recording.callable();
    const LegacyFile lf = mustRead(f, {true, &decoder, nullptr});
    EXPECT_EQ(recording.calls, 12);
    for (size_t i = 0; i < f.samples.size(); ++i)
        EXPECT_EQ(lf.nativePeak[i], pcmPeak(*f.samples[i].pcm, f.samples[i].bits)) << i;
    EXPECT_TRUE(lf.warnings.empty());

    // Without the decoder the FLAC samples keep the header impulse.
    const LegacyFile fallback = mustRead(f, {true, nullptr, nullptr});
    EXPECT_EQ(fallback.nativePeak, fallback.headerImpulse);
    // Without measurement the decoder is never called.
    RecordingDecoder idle;
    const Zem4BlobDecoder idleDecoder = idle.callable();
    mustRead(f, {false, &idleDecoder, nullptr});
    EXPECT_EQ(idle.calls, 0);
    // With a usable override neither.
    const std::vector<float> override(12, 0.5f);
    mustRead(f, {true, &idleDecoder, &override});
    EXPECT_EQ(idle.calls, 0);
}

TEST(LegacyDecodePool, MixedRawAndFlacPeaks) {
    BuilderFile f = quiet(6);
    RecordingDecoder recording;
    const Zem4BlobDecoder decoder = recording.callable();
    const LegacyFile lf = mustRead(f, {true, &decoder, nullptr});
    EXPECT_EQ(recording.calls, 2);
    for (size_t i = 0; i < f.samples.size(); ++i)
        EXPECT_EQ(lf.nativePeak[i], pcmPeak(testing::samplePcm(f.samples[i]), f.samples[i].bits)) << i;
}

TEST(LegacyDecodePool, SizeRule) {
    struct Case {
        unsigned hw;
        int32_t samples;
        unsigned threads;
    };
    const Case cases[] = {
        {0, 10, 1},  {1, 10, 1},  {5, 10, 1},  {6, 10, 2},  {8, 10, 2},   {9, 10, 3}, {11, 10, 3},
        {12, 10, 4}, {64, 10, 4}, {64, 1, 1},  {64, 3, 3},  {64, 0, 1},   {64, -5, 1}, {12, 2, 2},
    };
    for (const Case& c : cases)
        EXPECT_EQ(legacyDecodePoolSize(c.hw, c.samples), c.threads) << c.hw << " threads, " << c.samples << " samples";
}

TEST(LegacyDecodePool, RunsThePoolSizeOfThreadsAtOnce) {
    const int samples = 8;
    const unsigned expected = legacyDecodePoolSize(platform::hardwareThreads(), samples);
    // Each call waits (bounded) until `expected` calls are in flight, so a
    // smaller pool shows as a lower high-water mark, a larger one as a higher.
    std::mutex mutex;
    std::condition_variable cv;
    unsigned inFlight = 0;
    unsigned highWater = 0;
    std::set<std::thread::id> threads;
    const Zem4BlobDecoder inner = fmt::makeZem4FlacBlobDecoder();
    const Zem4BlobDecoder decoder = [&](const Zem4Blob& blob) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            threads.insert(std::this_thread::get_id());
            highWater = std::max(highWater, ++inFlight);
            cv.notify_all();
            cv.wait_for(lock, std::chrono::milliseconds(500), [&] { return highWater >= expected; });
        }
        Zem4DecodeOut out = inner(blob);
        const std::lock_guard<std::mutex> lock(mutex);
        --inFlight;
        return out;
    };
    const LegacyFile lf = mustRead(flacFile(samples), {true, &decoder, nullptr});
    EXPECT_EQ(lf.sampleCount, samples);
    EXPECT_EQ(highWater, expected);
    EXPECT_LE(threads.size(), expected);
}

TEST(LegacyDecodePool, OneSampleDecodesOnTheCallingThread) {
    RecordingDecoder recording;
    const Zem4BlobDecoder decoder = recording.callable();
    mustRead(flacFile(1), {true, &decoder, nullptr});
    ASSERT_EQ(recording.threads.size(), 1u);
    EXPECT_EQ(*recording.threads.begin(), std::this_thread::get_id());
}

TEST(LegacyDecodePool, FailuresReportOneMessage) {
    struct Case {
        const char* what;
        Zem4BlobDecoder decoder;
        std::string prefix;
    };
    const Case cases[] = {
        {"decoder error",
         [](const Zem4Blob& b) {
             Zem4DecodeOut out;
             out.error = "broken " + std::to_string(b.sampleNumber);
             return out;
         },
         "sample "},
        {"short decode",
         [](const Zem4Blob& b) {
             Zem4DecodeOut out;
             out.pcm.assign(static_cast<size_t>(b.length * b.bits / 8 - 2), 0);
             return out;
         },
         "sample "},
        {"throwing decoder", [](const Zem4Blob&) -> Zem4DecodeOut { throw std::bad_alloc(); },
         "the machine could not find the memory to read this zem's audio"},
        {"throwing anything", [](const Zem4Blob&) -> Zem4DecodeOut { throw std::runtime_error("x"); },
         "the machine could not find the memory to read this zem's audio"},
    };
    const BuilderFile f = flacFile(6);
    for (const Case& c : cases) {
        const LegacyReadResult r = readBuilt(f, {true, &c.decoder, nullptr});
        EXPECT_FALSE(r.file) << c.what;
        EXPECT_EQ(r.error.rfind(c.prefix, 0), 0u) << c.what << ": " << r.error;
    }

    // Exact texts, with only one sample failing.
    BuilderFile one = flacFile(3);
    const Zem4BlobDecoder failsSecond = [](const Zem4Blob& b) {
        Zem4DecodeOut out;
        if (b.sampleNumber == 2) out.error = "nope";
        else out.pcm.assign(static_cast<size_t>(b.length * b.bits / 8), 0);
        return out;
    };
    EXPECT_EQ(readBuilt(one, {true, &failsSecond, nullptr}).error, "sample 2: v4 payload decode failed: nope");
    const Zem4BlobDecoder shortSecond = [](const Zem4Blob& b) {
        Zem4DecodeOut out;
        out.pcm.assign(static_cast<size_t>(b.length * b.bits / 8 - (b.sampleNumber == 2 ? 1 : 0)), 0);
        return out;
    };
    EXPECT_EQ(readBuilt(one, {true, &shortSecond, nullptr}).error,
              "sample 2: v4 decode produced 1805 bytes, expected 1806");

    // A stored CRC that does not match, through the real decoder.
    one.samples[1].payloadCrc = 0x12345678u;
    const uint32_t actual = testing::referenceCrc32(testing::sampleStored(one.samples[1]));
    char expected[160];
    std::snprintf(expected, sizeof expected,
                  "sample 2: v4 payload decode failed: sample 2: v4 payload CRC-32/IEEE mismatch (stored 0x12345678, "
                  "computed 0x%08X)",
                  actual);
    const Zem4BlobDecoder real = fmt::makeZem4FlacBlobDecoder();
    EXPECT_EQ(readBuilt(one, {true, &real, nullptr}).error, expected);
}

// ---------------------------------------------------------------- sample audio

class SampleAudio : public ::testing::Test {
protected:
    void open(const BuilderFile& f, const fmt::Bytes* bytes = nullptr) {
        file_ = std::make_unique<TempFile>(bytes ? *bytes : build(f));
        LegacyReadResult r = readLegacyFile(file_->path(), {});
        ASSERT_TRUE(r.file) << r.error;
        legacy_ = std::move(*r.file);
        fd_ = platform::openFileUtf8(file_->path());
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override { platform::closeFile(fd_); }

    static std::vector<float> floats(const fmt::Bytes& pcm, int32_t bits) { return fmt::pcmBytesToFloats(pcm, bits); }

    std::unique_ptr<TempFile> file_;
    LegacyFile legacy_;
    int fd_ = -1;
};

TEST_F(SampleAudio, RawMonoAndStereo) {
    BuilderFile f = quiet(3);
    f.samples[1].length = 7;  // stereo, odd: the last value is dropped
    open(f);
    const LegacySampleAudio mono = readLegacySampleAudio(fd_, legacy_, 0, nullptr);
    EXPECT_EQ(mono.error, "");
    ASSERT_EQ(mono.channelSamples.size(), 1u);
    EXPECT_EQ(mono.channelSamples[0], floats(testing::samplePcm(f.samples[0]), 16));

    const LegacySampleAudio stereo = readLegacySampleAudio(fd_, legacy_, 1, nullptr);
    ASSERT_EQ(stereo.channelSamples.size(), 2u);
    const std::vector<float> all = floats(testing::samplePcm(f.samples[1]), 24);
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(stereo.channelSamples[0], (std::vector<float>{all[0], all[2], all[4]}));
    EXPECT_EQ(stereo.channelSamples[1], (std::vector<float>{all[1], all[3], all[5]}));

    const LegacySampleAudio floatSample = readLegacySampleAudio(fd_, legacy_, 2, nullptr);
    EXPECT_EQ(floatSample.channelSamples[0], floats(testing::samplePcm(f.samples[2]), 32));
}

// A cut-off sample is what the file holds of it, not its declared length
// padded with silence.
TEST_F(SampleAudio, TruncatedSampleReadsOnlyTheWholeValuesThatExist) {
    BuilderFile f = quiet(2);
    f.samples[3].pcm = le16({1000, 2000, 3000, 4000});
    fmt::Bytes b = build(f);
    b.resize(b.size() - 5);  // keeps 1000 and half of 2000
    open(f, &b);
    const LegacySampleAudio a = readLegacySampleAudio(fd_, legacy_, 3, nullptr);
    EXPECT_EQ(a.error, "");
    ASSERT_EQ(a.channelSamples.size(), 1u);
    EXPECT_EQ(a.channelSamples[0], (std::vector<float>{static_cast<float>(1000 / 32767.0)}));
}

TEST_F(SampleAudio, FlacNeedsADecoder) {
    const BuilderFile f = quiet(6);
    open(f);
    const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();
    const LegacySampleAudio a = readLegacySampleAudio(fd_, legacy_, 1, &decoder);
    EXPECT_EQ(a.error, "");
    ASSERT_EQ(a.channelSamples.size(), 2u);
    const std::vector<float> all = floats(testing::samplePcm(f.samples[1]), 24);
    for (size_t k = 0; k < all.size() / 2; ++k) {
        EXPECT_EQ(a.channelSamples[0][k], all[2 * k]);
        EXPECT_EQ(a.channelSamples[1][k], all[2 * k + 1]);
    }
    const Zem4BlobDecoder empty;
    EXPECT_EQ(readLegacySampleAudio(fd_, legacy_, 0, nullptr).error, "v4 FLAC payload but no Zem4BlobDecoder supplied");
    EXPECT_EQ(readLegacySampleAudio(fd_, legacy_, 0, &empty).error, "v4 FLAC payload but no Zem4BlobDecoder supplied");
}

TEST_F(SampleAudio, Failures) {
    open(quiet(6));
    const Zem4BlobDecoder real = fmt::makeZem4FlacBlobDecoder();
    const Zem4BlobDecoder failing = [](const Zem4Blob&) {
        Zem4DecodeOut out;
        out.error = "decoder says no";
        return out;
    };
    const Zem4BlobDecoder shortOne = [](const Zem4Blob&) {
        Zem4DecodeOut out;
        out.pcm.assign(3, 0);
        return out;
    };
    struct Case {
        const char* what;
        int fd;
        size_t index;
        std::function<void(LegacyFile&)> edit;
        const Zem4BlobDecoder* decoder;
        std::string error;
    };
    const Case cases[] = {
        {"no file", -1, 0, {}, &real, "no file"},
        {"index", fd_, 5, {}, &real, "sample index out of range"},
        {"short vectors", fd_, 2, [](LegacyFile& l) { l.length.resize(2); }, &real, "sample index out of range"},
        {"bits", fd_, 2, [](LegacyFile& l) { l.bits[2] = 20; }, &real, "unsupported bit depth"},
        {"decoder error unchanged", fd_, 0, {}, &failing, "decoder says no"},
        {"decoded size", fd_, 0, {}, &shortOne, "v4 decode produced 3 bytes, expected 12"},
        {"FLAC payload past the end", fd_, 1, [](LegacyFile& l) { l.payloadBytes[1] += 100000; }, &real,
         "short read of v4 FLAC payload"},
        {"CRC entry missing counts as 0", fd_, 0, [](LegacyFile& l) { l.payloadCrc.clear(); }, &real,
         "v4 payload CRC-32/IEEE mismatch"},
    };
    for (const Case& c : cases) {
        LegacyFile l = legacy_;
        if (c.edit) c.edit(l);
        const LegacySampleAudio a = readLegacySampleAudio(c.fd, l, c.index, c.decoder);
        EXPECT_NE(a.error.find(c.error), std::string::npos) << c.what << ": " << a.error;
        EXPECT_TRUE(a.channelSamples.empty()) << c.what;
    }
}

} // namespace
} // namespace vt6::zem
