#include <gtest/gtest.h>

#include <cmath>

#include "app/audition.hpp"
#include "app/fake_audio.hpp"
#include "audio/sample_file_builder.hpp"
#include "support/temp_dir.hpp"

namespace vt6::maker {
namespace {

using test::FakeAudioDevice;
using test::ScopedFakeAudio;

size_t loudFrames(const std::vector<float>& channel, float threshold = 0.25f) {
    size_t n = 0;
    for (float v : channel) n += std::fabs(v) > threshold;
    return n;
}

struct AuditionTest : ::testing::Test {
    ScopedFakeAudio fake;
    Audition audition;
    FakeAudioDevice* device = nullptr;
    void SetUp() override {
        ASSERT_TRUE(audition.initialise(nullptr).isEmpty());
        device = test::fakeDevice(audition.deviceManager());
        ASSERT_NE(device, nullptr);
    }
};

TEST_F(AuditionTest, PlaysInterleavedStereoToTheDevice) {
    const std::vector<float> samples{0.5f, -0.5f, 0.5f, -0.5f, 0.5f, -0.5f};
    ASSERT_TRUE(audition.play(samples.data(), samples.size(), 2, 44100));
    device->render(8);
    EXPECT_FLOAT_EQ(device->left[0], 0.5f);
    EXPECT_FLOAT_EQ(device->right[0], -0.5f);
    EXPECT_EQ(loudFrames(device->left), 3u);
    EXPECT_EQ(loudFrames(device->right), 3u);
}

TEST_F(AuditionTest, PlaysMonoOnBothOutputs) {
    const std::vector<float> samples{0.5f, 0.5f, 0.5f};
    ASSERT_TRUE(audition.play(samples.data(), samples.size(), 1, 44100));
    device->render(8);
    EXPECT_EQ(loudFrames(device->left), 3u);
    EXPECT_EQ(loudFrames(device->right), 3u);
    EXPECT_FLOAT_EQ(device->right[0], 0.5f);
}

TEST_F(AuditionTest, PartialFramesAndRefusals) {
    const std::vector<float> five{0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
    ASSERT_TRUE(audition.play(five.data(), 5, 2, 44100));
    device->render(8);
    EXPECT_EQ(loudFrames(device->left), 2u);  // the trailing half frame is dropped

    struct Case {
        size_t count;
        int channels;
    };
    const Case refused[] = {{1, 2}, {0, 1}, {6, 3}, {4, 0}, {4, -1}};
    for (const auto& c : refused) EXPECT_FALSE(audition.play(five.data(), c.count, c.channels, 44100)) << c.count;
}

TEST_F(AuditionTest, RefusalLeavesThePlayingSoundUntouched) {
    std::vector<float> tone(2000, 0.5f);
    ASSERT_TRUE(audition.play(tone.data(), tone.size(), 1, 44100));
    device->render(500);
    const std::vector<float> odd{0.9f};
    EXPECT_FALSE(audition.play(odd.data(), 1, 2, 44100));  // one value, two channels: no whole frame
    EXPECT_FALSE(audition.play(tone.data(), 3, 3, 44100));
    device->render(2000);
    EXPECT_EQ(loudFrames(device->left), 2000u);  // the first sound played on to its end
}

TEST_F(AuditionTest, NewSampleReplacesThePlayingOneFromItsStart) {
    std::vector<float> first(4000, 0.3f), second(100, -0.8f);
    ASSERT_TRUE(audition.play(first.data(), first.size(), 1, 44100));
    device->render(256);
    ASSERT_TRUE(audition.play(second.data(), second.size(), 1, 44100));
    device->render(512);
    EXPECT_FLOAT_EQ(device->left[256], -0.8f);
    EXPECT_EQ(loudFrames(std::vector<float>(device->left.begin() + 256, device->left.end())), 100u);
}

TEST(Audition, ResamplesToTheDeviceRate) {
    ScopedFakeAudio fake(false, 44100.0);
    Audition audition;
    ASSERT_TRUE(audition.initialise(nullptr).isEmpty());
    auto* device = test::fakeDevice(audition.deviceManager());
    ASSERT_NE(device, nullptr);
    std::vector<float> second(48000, 0.5f);  // one second at 48 kHz
    ASSERT_TRUE(audition.play(second.data(), second.size(), 1, 48000));
    for (int i = 0; i < 200; ++i) device->render(256);
    EXPECT_NEAR(static_cast<double>(loudFrames(device->left)), 44100.0, 64.0);
}

TEST_F(AuditionTest, GainAndStop) {
    EXPECT_FLOAT_EQ(audition.gain(), 1.0f);
    audition.setGain(0.5f);
    EXPECT_FLOAT_EQ(audition.gain(), 0.5f);
    std::vector<float> tone(1000, 0.8f);
    ASSERT_TRUE(audition.play(tone.data(), tone.size(), 1, 44100));
    for (int i = 0; i < 2; ++i) device->render(256);  // the gain ramps over the first block
    EXPECT_NEAR(device->left[300], 0.4f, 1e-4);
    audition.stop();
    EXPECT_FALSE(audition.transport().isPlaying());
    for (int i = 0; i < 2; ++i) device->render(256);  // one block fades out, then silence
    EXPECT_EQ(loudFrames(std::vector<float>(device->left.begin() + 768, device->left.end()), 0.01f), 0u);
}

TEST_F(AuditionTest, StoredSamplesGoThroughTheLoader) {
    EXPECT_FALSE(audition.auditionSample("/nowhere.zem", 3));  // unreadable: plays nothing
    EXPECT_FALSE(audition.transport().isPlaying());

    std::string seenPath;
    int32_t seenKey = 0, seenPosition = -7;
    audition.setSampleLoader([&](const std::string& path, int32_t key, int32_t position) -> fmt::Result<AuditionAudio> {
        seenPath = path;
        seenKey = key;
        seenPosition = position;
        return AuditionAudio{{0.25f, 0.75f}, 2, 44100};
    });
    ASSERT_TRUE(audition.auditionSample("/kit.zem", 12));
    EXPECT_EQ(seenPath, "/kit.zem");
    EXPECT_EQ(seenKey, 12);
    EXPECT_EQ(seenPosition, 0);
    device->render(4);
    EXPECT_FLOAT_EQ(device->left[0], 0.25f);
    EXPECT_FLOAT_EQ(device->right[0], 0.75f);

    ASSERT_TRUE(audition.auditionPosition("/kit.zem", 4));
    EXPECT_EQ(seenPosition, 4);
    EXPECT_LT(seenKey, 0);

    audition.setSampleLoader([](const std::string&, int32_t, int32_t) -> fmt::Result<AuditionAudio> {
        return fmt::fail(fmt::ErrorCode::ReadIo, "unreadable");
    });
    EXPECT_FALSE(audition.auditionSample("/kit.zem", 1));
}

// The program's own loader plays a sample stored in a file the writer made.
TEST_F(AuditionTest, PlaysAStoredSampleOfAWrittenFile) {
    test::TempDir dir;
    test::SampleFileBuilder builder;
    test::SampleRecipe desc;
    desc.rate = 44100;
    desc.frames = 400;
    const test::SampleBuild& sample = builder.add(desc);
    const std::string path = builder.write(dir.path("kit.zem"));
    ASSERT_FALSE(path.empty());

    ASSERT_TRUE(audition.auditionPosition(path, 1));
    device->render(8);
    const auto expected = test::planarFloats(sample.pcm, desc.bits, desc.channels);
    for (size_t f = 0; f < 8; ++f) {
        EXPECT_NEAR(device->left[f], expected[0][f], 1e-6) << f;
        EXPECT_NEAR(device->right[f], expected[0][f], 1e-6) << f;
    }
    EXPECT_FALSE(audition.auditionPosition(path, 2));  // no such sample
}

TEST(Audition, DeviceThatFailsToOpenIsReported) {
    ScopedFakeAudio fake(true);
    Audition audition;
    EXPECT_TRUE(audition.initialise(nullptr).isNotEmpty());
    std::vector<float> tone(100, 0.5f);
    EXPECT_TRUE(audition.play(tone.data(), tone.size(), 1, 44100));  // still accepted, heard nowhere
}

}  // namespace
}  // namespace vt6::maker
