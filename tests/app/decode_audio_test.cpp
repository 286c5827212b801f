// Decoding, checking and trimming one audio file: every format the import
// reads, every refusal with its kind, the header checks that come before
// any audio is read, and the playback region the trim finds.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>

#include "analysis/hit_level_measure.hpp"
#include "app/audio_fixtures.hpp"
#include "app/decode_audio.hpp"
#include "editor/ui/user_messages.hpp"
#include "support/temp_dir.hpp"

namespace vt6::maker {
namespace {

using test::Channels;

juce::File fileIn(const test::TempDir& dir, const std::string& name) {
    return juce::File(juce::String::fromUTF8(dir.path(name).c_str()));
}

struct Decoded {
    fmt::Result<ImportedSample> result;
    int kind;
};

Decoded decode(const juce::File& file) {
    int kind = -1;
    auto result = decodeAudioFile(file, &kind);
    return {std::move(result), kind};
}

TEST(DecodeAudioFile, ReadsEveryFormatIntoInterleavedFloats) {
    test::TempDir dir;
    struct Case {
        const char* name;
        int channels;
        double rate;
        int bits;
        float tolerance;  // per value against the written audio; < 0: lossy, compare length only
    };
    const Case cases[] = {
        {"mono16.wav", 1, 44100, 16, 1.0f / 16384},  {"stereo24.wav", 2, 48000, 24, 1.0f / 4e6f},
        {"float.wav", 2, 96000, 32, 0.0f},          {"mono.aiff", 1, 44100, 16, 1.0f / 16384},
        {"stereo.aif", 2, 22050, 24, 1.0f / 4e6f},  {"mono.flac", 1, 44100, 16, 1.0f / 16384},
        {"stereo.flac", 2, 88200, 24, 1.0f / 4e6f}, {"stereo.ogg", 2, 44100, 16, -1.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int frames = 5000;
        Channels audio = test::hitAudio(frames, c.channels, 0.8f, 100, c.rate);
        if (c.channels == 2)
            for (auto& v : audio[1]) v *= -0.5f;  // the right channel differs
        const auto file = fileIn(dir, c.name);
        ASSERT_TRUE(test::writeAudioFile(file, audio, c.rate, c.bits));
        auto d = decode(file);
        ASSERT_TRUE(d.result.ok()) << d.result.message();
        const auto& s = d.result.value();
        EXPECT_EQ(s.name, file.getFileNameWithoutExtension().toStdString());
        EXPECT_EQ(s.path, file.getFullPathName().toStdString());
        EXPECT_EQ(s.channels, c.channels);
        EXPECT_EQ(s.sampleRate, static_cast<int>(c.rate));
        EXPECT_EQ(s.trimStart, 0);
        EXPECT_EQ(s.trimEnd, 0);
        EXPECT_FALSE(s.hitLevel.measured);
        if (c.tolerance < 0) {
            EXPECT_GE(s.samples.size(), static_cast<size_t>(frames * c.channels) * 9 / 10);
            continue;
        }
        ASSERT_EQ(s.samples.size(), static_cast<size_t>(frames * c.channels));
        for (int f = 0; f < frames; ++f)
            for (int k = 0; k < c.channels; ++k)
                ASSERT_NEAR(s.samples[static_cast<size_t>(f * c.channels + k)], audio[static_cast<size_t>(k)][static_cast<size_t>(f)],
                            c.tolerance)
                    << "frame " << f << " channel " << k;
    }
}

TEST(DecodeAudioFile, ReadsMp3EncodedByLame) {
    test::TempDir dir;
    const auto file = fileIn(dir, "hit.mp3");
    if (!test::writeMp3(file, test::hitAudio(44100, 2, 0.8f, 1000), 44100))
        GTEST_SKIP() << "lame is not installed; the MP3 case needs it";
    auto d = decode(file);
    ASSERT_TRUE(d.result.ok()) << d.result.message();
    EXPECT_EQ(d.result->channels, 2);
    EXPECT_EQ(d.result->sampleRate, 44100);
    EXPECT_GE(d.result->samples.size(), 2u * 44100u);
    auto checked = importAudioFile(std::move(d.result).value(), {}, {}, nullptr);
    ASSERT_TRUE(checked.ok()) << checked.message();
    EXPECT_GT(checked->peak, 0.5);
}

TEST(DecodeAudioFile, HeaderRefusalsComeBeforeAnyAudioIsRead) {
    test::TempDir dir;
    struct Case {
        const char* name;
        test::RawWav wav;
        int kind;  // -1: decodes
    };
    const std::vector<int16_t> loud(200, 12000);
    const Case cases[] = {
        {"three channels", {3, 44100, std::vector<int16_t>(300, 1000), -1}, kImportUnsupported},
        {"no frames", {1, 44100, {}, -1}, kImportUnsupported},
        {"rate 7999", {1, 7999, loud, -1}, kImportUnsupported},
        {"rate 8000", {1, 8000, loud, -1}, -1},
        {"rate 384000", {2, 384000, loud, -1}, -1},
        {"rate 384001", {1, 384001, loud, -1}, kImportUnsupported},
        // The framework reads the field as -1 and gives no reader at all.
        {"rate field all ones", {1, 0xFFFFFFFFu, loud, -1}, kImportUndecodable},
        // 300 MB declared, a few hundred bytes present: refused by the
        // declared length (reading it would give silence, kind 4).
        {"declares 300 MB", {1, 44100, loud, 300000000}, kImportTooLong},
        {"stereo declares one frame past 256 MB", {2, 44100, loud, (33554432LL + 1) * 4}, kImportTooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto file = fileIn(dir, "raw.wav");
        ASSERT_TRUE(test::writeRawWav(file, c.wav));
        auto d = decode(file);
        if (c.kind < 0) {
            ASSERT_TRUE(d.result.ok()) << d.result.message();
            EXPECT_EQ(d.result->sampleRate, static_cast<int>(c.wav.rate));
            continue;
        }
        ASSERT_FALSE(d.result.ok());
        EXPECT_EQ(d.result.code(), fmt::ErrorCode::ModelInvalid);
        EXPECT_EQ(d.kind, c.kind);
    }
}

TEST(DecodeAudioFile, UnreadableFilesAreKindZero) {
    test::TempDir dir;
    const auto text = fileIn(dir, "notes.wav");
    ASSERT_TRUE(text.replaceWithText("these are notes, not audio"));
    const auto missing = fileIn(dir, "gone.wav");
    for (const auto& file : {text, missing}) {
        SCOPED_TRACE(file.getFileName());
        auto d = decode(file);
        ASSERT_FALSE(d.result.ok());
        EXPECT_EQ(d.kind, kImportUndecodable);
    }
}

// A source whose header says whatever a test wants and that counts reads.
class FakeSource : public AudioFrameSource {
public:
    FakeSource(double rate, int channels, int64_t frames, bool failReads = false, int64_t present = -1)
        : rate_(rate), channels_(channels), frames_(frames), present_(present < 0 ? frames : present),
          failReads_(failReads) {}
    int channels() const override { return channels_; }
    double sampleRate() const override { return rate_; }
    int64_t declaredFrames() const override { return frames_; }
    int64_t presentFrames() const override { return present_; }
    bool fixedFrameSize() const override { return true; }
    int64_t read(float* out, int64_t count) override {
        reads.fetch_add(1);
        if (failReads_) return -1;
        for (int64_t i = 0; i < count; ++i)
            for (int c = 0; c < channels_; ++c)
                out[i * channels_ + c] = ((position_ + i) % 100 == 0) ? 0.5f : 0.0f;
        position_ += count;
        return count;
    }
    std::atomic<int> reads{0};

private:
    double rate_;
    int channels_;
    int64_t frames_;
    int64_t present_;
    bool failReads_;
    int64_t position_ = 0;
};

fmt::Result<ImportedSample> decodeSource(AudioFrameSource& source, int& kind) {
    return decodeAudioFrames(source, "x", "/tmp/x.wav", {}, &kind);
}

TEST(DecodeAudioFrames, RateIsCheckedAsADoubleBeforeConversion) {
    struct Case {
        const char* name;
        double rate;
        int kind;  // -1: decodes
        int expectRate;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        // Rounded first, 4295011396 wraps to 44100 and would pass.
        {"wraps to 44100", 4295011396.0, kImportUnsupported, 0},
        {"not a number", nan, kImportUnsupported, 0},
        {"infinite", inf, kImportUnsupported, 0},
        {"negative", -44100.0, kImportUnsupported, 0},
        {"just under 8000", 7999.9, kImportUnsupported, 0},
        {"just over 384000", 384000.01, kImportUnsupported, 0},
        {"8000", 8000.0, -1, 8000},
        {"half rounds away from zero", 44100.5, -1, 44101},
        {"384000", 384000.0, -1, 384000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSource reader(c.rate, 1, 1000);
        int kind = -1;
        auto result = decodeSource(reader, kind);
        if (c.kind < 0) {
            ASSERT_TRUE(result.ok()) << result.message();
            EXPECT_EQ(result->sampleRate, c.expectRate);
            continue;
        }
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(reader.reads.load(), 0);
    }
}

TEST(DecodeAudioFrames, LengthLimitIsTheDeclaredLengthAndReadsNothing) {
    struct Case {
        const char* name;
        int channels;
        int64_t frames;
    };
    const Case cases[] = {
        {"mono one past 64 Mi frames", 1, 67108864LL + 1},
        {"stereo one past 32 Mi frames", 2, 33554432LL + 1},
        {"a header claiming 2^40 frames", 2, 1LL << 40},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSource reader(44100, c.channels, c.frames);
        int kind = -1;
        auto result = decodeSource(reader, kind);
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(kind, kImportTooLong);
        EXPECT_EQ(reader.reads.load(), 0);
    }
}

TEST(DecodeAudioFrames, AHeaderDeclaringMoreThanTheBytesHoldIsDamagedBeforeAnyRead) {
    // 25 minutes declared, 20 frames present: nothing is reserved or read.
    FakeSource reader(44100, 1, 25LL * 60 * 44100, false, 20);
    int kind = -1;
    auto result = decodeSource(reader, kind);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(kind, kImportDamaged);
    EXPECT_EQ(reader.reads.load(), 0);
}

TEST(DecodeAudioFrames, AFailedReadIsKindZero) {
    FakeSource reader(44100, 2, 200000, true);
    int kind = -1;
    auto result = decodeSource(reader, kind);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.code(), fmt::ErrorCode::ReadIo);
    EXPECT_EQ(kind, kImportUndecodable);
}

TEST(DecodeAudioFrames, StereoIsInterleavedAcrossReadBlocks) {
    FakeSource reader(48000, 2, 200001);  // several blocks and a short last one
    int kind = -1;
    auto result = decodeSource(reader, kind);
    ASSERT_TRUE(result.ok()) << result.message();
    ASSERT_EQ(result->samples.size(), 400002u);
    for (size_t f = 0; f < 200001; ++f) {
        const float want = f % 100 == 0 ? 0.5f : 0.0f;
        ASSERT_EQ(result->samples[2 * f], want) << f;
        ASSERT_EQ(result->samples[2 * f + 1], want) << f;
    }
}

ImportedSample sampleOf(std::vector<float> values, int channels = 1, int rate = 44100) {
    ImportedSample s;
    s.name = "s";
    s.samples = std::move(values);
    s.channels = channels;
    s.sampleRate = rate;
    return s;
}

TEST(ImportAudioFile, RefusesEachBadSampleWithItsKind) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> loud(4000, 0.0f);
    loud[10] = 0.9f;
    const auto with = [&](size_t at, float v) {
        auto values = loud;
        values[at] = v;
        return values;
    };
    struct Case {
        const char* name;
        std::vector<float> values;
        int channels, rate, kind;  // kind -1: accepted
    };
    const Case cases[] = {
        {"three channels", loud, 3, 44100, kImportUnsupported},
        {"no channels", loud, 0, 44100, kImportUnsupported},
        {"rate 7999", loud, 1, 7999, kImportUnsupported},
        {"rate 384001", loud, 1, 384001, kImportUnsupported},
        {"rate 8000", loud, 1, 8000, -1},
        {"no values", {}, 1, 44100, kImportUnsupported},
        {"half a stereo frame", std::vector<float>(5, 0.5f), 2, 44100, kImportUnsupported},
        {"NaN first", with(0, nan), 1, 44100, kImportDamaged},
        {"NaN last beside loud audio", with(3999, nan), 1, 44100, kImportDamaged},
        {"minus infinity", with(2000, -inf), 1, 44100, kImportDamaged},
        {"all zero", std::vector<float>(4000, 0.0f), 1, 44100, kImportSilent},
        {"below 1e-9", std::vector<float>(4000, 9e-10f), 1, 44100, kImportSilent},
        {"just above 1e-9", std::vector<float>(4000, 1.1e-9f), 1, 44100, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int kind = -1;
        auto result = importAudioFile(sampleOf(c.values, c.channels, c.rate), {}, {}, &kind);
        if (c.kind < 0) {
            EXPECT_TRUE(result.ok()) << result.message();
            continue;
        }
        ASSERT_FALSE(result.ok());
        EXPECT_EQ(result.code(), fmt::ErrorCode::ModelInvalid);
        EXPECT_EQ(kind, c.kind);
    }
    // A null kind pointer is allowed.
    EXPECT_FALSE(importAudioFile(sampleOf({}), {}, {}, nullptr).ok());
}

TEST(ImportAudioFile, TrimsAFileThatRisesFromSilenceAtFrame1000) {
    // Silence, full scale from frame 1000 to 1999, a decay whose last value
    // at or above 0.001 (-60 dB) is at frame 5000, then a quiet hiss.
    std::vector<float> values(30000, 0.0f);
    for (int f = 1000; f < 2000; ++f) values[static_cast<size_t>(f)] = (f % 2 == 0) ? 1.0f : -1.0f;
    for (int f = 2000; f <= 5000; ++f) values[static_cast<size_t>(f)] = 0.5f * static_cast<float>(std::pow(0.002, (f - 2000) / 3000.0));
    for (int f = 5001; f < 30000; ++f) values[static_cast<size_t>(f)] = 0.0009f;
    ASSERT_GE(values[5000], 0.001f);

    ImportTrimSettings trim{true, -24, -60};
    auto trimmed = importAudioFile(sampleOf(values), trim, {}, nullptr);
    ASSERT_TRUE(trimmed.ok()) << trimmed.message();
    EXPECT_EQ(trimmed->trimStart, 1000);
    EXPECT_EQ(trimmed->trimEnd, 5001 + 441);
    // rms and peak cover the whole file; the level covers the region.
    EXPECT_DOUBLE_EQ(trimmed->peak, 1.0);
    double sum = 0;
    for (float v : values) sum += static_cast<double>(v) * v;
    EXPECT_DOUBLE_EQ(trimmed->rms, std::sqrt(sum / values.size()));
    const auto expected = fmt::measureHitLevel(values, 1, 44100.0, 1000, 5001 + 441);
    EXPECT_EQ(trimmed->hitLevel, expected);
    EXPECT_TRUE(trimmed->hitLevel.measured);
    EXPECT_EQ(trimmed->samples.size(), values.size());  // the whole audio stays

    auto whole = importAudioFile(sampleOf(values), ImportTrimSettings{false, -24, -60}, {}, nullptr);
    ASSERT_TRUE(whole.ok());
    EXPECT_EQ(whole->trimStart, 0);
    EXPECT_EQ(whole->trimEnd, 30000);
}

TEST(FindImportTrimRegion, Edges) {
    struct Case {
        const char* name;
        std::vector<float> values;
        int channels, rate;
        double startDb, endDb;
        std::pair<int64_t, int64_t> want;
    };
    std::vector<float> quiet(1000, 0.01f);  // -40 dB: below -24
    std::vector<float> click(1000, 0.0f);
    click.back() = 1.0f;
    std::vector<float> shortTail(1000, 0.0f);
    shortTail[900] = 1.0f;
    std::vector<float> stereoRight(2000, 0.0f);  // loud only in the right channel of frame 300
    stereoRight[2 * 300 + 1] = 0.9f;
    std::vector<float> longFile(100000, 0.0f);
    longFile[10] = 1.0f;
    const Case cases[] = {
        {"no frame reaches the start threshold", quiet, 1, 44100, -24, -60, {0, 1000}},
        {"a click in the last frame", click, 1, 44100, -24, -60, {999, 1000}},
        {"tail clamped to the frame count", shortTail, 1, 44100, -24, -60, {900, 1000}},
        {"either channel counts", stereoRight, 2, 44100, -24, -60, {300, 742}},
        {"tail of 480 frames at 48 kHz", longFile, 1, 48000, -24, -60, {10, 11 + 480}},
        {"tail of 441 frames at 44.1 kHz", longFile, 1, 44100, -24, -120, {10, 11 + 441}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fmt::InterleavedAudioView view{c.values.data(), static_cast<int64_t>(c.values.size()) / c.channels,
                                             c.channels, c.rate};
        EXPECT_EQ(findImportTrimRegion(view, c.startDb, c.endDb, 10.0), c.want);
    }
    EXPECT_EQ(findImportTrimRegion({nullptr, 10, 1, 44100}, -24, -60, 10), (std::pair<int64_t, int64_t>{0, 10}));
    EXPECT_EQ(findImportTrimRegion({quiet.data(), 0, 1, 44100}, -24, -60, 10), (std::pair<int64_t, int64_t>{0, 0}));
}

TEST(ImportAudioFile, CancelInsideTheMeasureEndsTheCall) {
    std::vector<float> values(441000, 0.0f);
    values[5] = 0.9f;
    std::atomic<int> asked{0};
    int kind = 99;
    auto result = importAudioFile(sampleOf(values), {}, [&] { return asked.fetch_add(1) >= 3; }, &kind);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.message(), "Import canceled.");
    EXPECT_EQ(kind, 99);  // no kind: the job sees the cancel flag itself
    EXPECT_GE(asked.load(), 4);
}

TEST(ImportErrorText, EveryKindHasItsLineAndReference) {
    const std::string prefix = referencePrefix();
    struct Case {
        int kind;
        const char* line;
        int reference;  // 0: none
    };
    const Case cases[] = {
        {0, "a.wav could not be read as audio and was left out.", 418},
        {1, "a.wav was left out. ZEM Rivir imports mono or stereo audio recorded at 8 kHz to 384 kHz.", 414},
        {2, "a.wav is too long to import. A sample can hold up to 256 MB of audio.", 429},
        {3, "a.wav contains damaged audio and was left out.", 430},
        {4, "a.wav is silent and was left out.", 431},
        {5, "a.wav is already on this page.", 0},
        {6, "a.wav isn't audio and was skipped.", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        EXPECT_EQ(importReferenceNumber(c.kind), c.reference);
        const std::string want =
            c.reference == 0 ? std::string(c.line) : c.line + prefix + std::to_string(c.reference) + ")";
        EXPECT_EQ(importErrorText("a.wav", c.kind), want);
    }
    EXPECT_EQ(importErrorText("a.wav", 7), "");
    EXPECT_EQ(importErrorText("a.wav", -1), "");
    EXPECT_EQ(importReferenceNumber(7), 0);
}

}  // namespace
}  // namespace vt6::maker
