// Hostile and unusual audio files through the whole one-file decode: headers
// that declare more than the file holds, metadata chunks claiming 4 GiB,
// floods of empty chunks, content no reader claims, odd bit depths, MPEG-2
// and 2.5 MP3, and CANCEL inside one file.

#include <gtest/gtest.h>

#include <atomic>

#include "app/audio_fixtures.hpp"
#include "app/decode_audio.hpp"
#include "app/hostile_audio.hpp"
#include "support/temp_dir.hpp"

namespace vt6::maker {
namespace {

juce::File writeBytes(const test::TempDir& dir, const std::string& name, const test::ByteVec& bytes) {
    const juce::File file(juce::String::fromUTF8(dir.path(name).c_str()));
    file.deleteFile();
    EXPECT_TRUE(file.replaceWithData(bytes.data(), bytes.size()));
    return file;
}

TEST(DecodeHostileAudio, EachFileEndsWithItsOutcomeAndNoMoreMemoryThanItHolds) {
    test::TempDir dir;
    struct Expect {
        const char* name;
        int kind;       // -1: decodes
        int64_t frames;  // when it decodes
    };
    const Expect expects[] = {
        {"comt_flood.aiff", -1, 400},
        // Each metadata chunk claims to run past the end, over the data
        // chunk: no data can be found, so nothing is read or allocated.
        {"smpl_4g.wav", kImportUndecodable, 0},
        {"bext_4g.wav", kImportUndecodable, 0},
        {"inst_4g.aiff", kImportUndecodable, 0},
        {"claims_25_minutes.wav", kImportDamaged, 0},
        {"cut_short.wav", kImportDamaged, 0},
        {"cut_short.aiff", kImportDamaged, 0},
        {"unknown.wav", kImportUndecodable, 0},
    };
    const auto files = test::hostileAudioFiles();
    ASSERT_EQ(files.size(), std::size(expects));
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& e = expects[i];
        SCOPED_TRACE(e.name);
        ASSERT_STREQ(files[i].name, e.name);
        const auto file = writeBytes(dir, e.name, files[i].bytes);
        int kind = -1;
        auto result = decodeAudioFile(file, &kind);
        if (e.kind >= 0) {
            ASSERT_FALSE(result.ok());
            EXPECT_EQ(kind, e.kind) << result.message();
            continue;
        }
        ASSERT_TRUE(result.ok()) << result.message();
        EXPECT_EQ(result->samples.size(), static_cast<size_t>(e.frames));
        EXPECT_LE(result->samples.capacity() * sizeof(float), files[i].bytes.size() * 4);
    }
}

TEST(DecodeHostileAudio, OddBitDepthsDecodeToAudioOrAreUnreadable) {
    test::TempDir dir;
    struct Case {
        const char* name;
        test::ByteVec bytes;
        int kind = -1;  // -1: decodes to audio
    };
    const Case cases[] = {
        {"wav12.wav", test::riffWave({test::wavFmt(1, 44100, 12, 2), {"data", test::pcm16(500, 1), -1}})},
        {"wav20.wav", test::riffWave({test::wavFmt(1, 44100, 20, 3), {"data", test::ByteVec(1500, 0x40), -1}})},
        {"aiff20.aiff", test::aiff(500, 20)},
        // No reader knows 33- or 64-bit integer samples: said so, not
        // imported as silence.
        {"aiff33.aiff", test::aiff(500, 33), kImportUndecodable},
        {"aiff64.aiff", test::aiff(500, 64), kImportUndecodable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int kind = -1;
        auto result = decodeAudioFile(writeBytes(dir, c.name, c.bytes), &kind);
        if (c.kind >= 0) {
            EXPECT_FALSE(result.ok());
            EXPECT_EQ(kind, c.kind);
            continue;
        }
        ASSERT_TRUE(result.ok()) << result.message() << " kind " << kind;
        EXPECT_EQ(result->samples.size(), 500u);
        auto checked = importAudioFile(std::move(result).value(), {}, {}, &kind);
        ASSERT_TRUE(checked.ok()) << checked.message() << " kind " << kind;
        EXPECT_GT(checked->peak, 0.01);
    }
}

TEST(DecodeHostileAudio, AFlacDeclaringMoreFramesThanItHoldsIsDamaged) {
    test::TempDir dir;
    const juce::File file(juce::String::fromUTF8(dir.path("long.flac").c_str()));
    ASSERT_TRUE(test::writeAudioFile(file, test::hitAudio(3000, 1), 44100, 16));
    juce::MemoryBlock bytes;
    ASSERT_TRUE(file.loadFileAsData(bytes));
    // STREAMINFO's 36-bit total: the low nibble of byte 21 and bytes 22-25.
    auto* p = static_cast<uint8_t*>(bytes.getData());
    const uint32_t declared = 60000000;  // 240 MB of floats, under the limit
    p[21] = static_cast<uint8_t>(p[21] & 0xF0);
    p[22] = static_cast<uint8_t>(declared >> 24);
    p[23] = static_cast<uint8_t>(declared >> 16);
    p[24] = static_cast<uint8_t>(declared >> 8);
    p[25] = static_cast<uint8_t>(declared);
    ASSERT_TRUE(file.replaceWithData(bytes.getData(), bytes.getSize()));
    int kind = -1;
    auto result = decodeAudioFile(file, &kind);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(kind, kImportDamaged) << result.message();
}

TEST(DecodeHostileAudio, Mpeg2And25Mp3Decode) {
    test::TempDir dir;
    for (const int rate : {8000, 11025, 16000, 22050, 24000}) {
        SCOPED_TRACE(rate);
        const juce::File file(juce::String::fromUTF8(dir.path("low" + std::to_string(rate) + ".mp3").c_str()));
        if (!test::writeMp3(file, test::hitAudio(rate, 1, 0.8f, 100, rate), rate))
            GTEST_SKIP() << "lame is not installed; the MP3 case needs it";
        int kind = -1;
        auto result = decodeAudioFile(file, &kind);
        ASSERT_TRUE(result.ok()) << result.message() << " kind " << kind;
        EXPECT_EQ(result->sampleRate, rate);
        EXPECT_GE(result->samples.size(), static_cast<size_t>(rate) * 9 / 10);
    }
}

TEST(DecodeHostileAudio, CancelIsHonouredBetweenBlocksOfOneFile) {
    test::TempDir dir;
    const auto file = writeBytes(dir, "long.wav", test::wav16(44100 * 10));
    std::atomic<int> asked{0};
    int kind = 99;
    auto result = decodeAudioFile(file, &kind, [&] { return asked.fetch_add(1) >= 3; });
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.message(), "Import canceled.");
    EXPECT_EQ(kind, 99);  // no kind: the job sees the cancel flag itself
    EXPECT_EQ(asked.load(), 4);
}

}  // namespace
}  // namespace vt6::maker
