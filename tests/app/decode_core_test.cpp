// The framework-free decode under what an import meets at its edges: a small
// coded file that declares a huge length, and the admission that lets the
// import refuse a file by its declared size before any audio is read. Built
// without the window, so it also runs under the sanitizers.

#include <gtest/gtest.h>

#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/decode_audio_core.hpp"
#include "app/hostile_audio.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

#if defined(__SANITIZE_ADDRESS__)
#define ZEM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZEM_TEST_ASAN 1
#endif
#endif

namespace vt6::maker {
namespace {

// A short loud FLAC written by libsndfile, read back as bytes.
test::ByteVec flacBytes(const test::TempDir& dir, int channels, int frames) {
    const std::string path = dir.path("short.flac");
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = channels;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (f == nullptr) {
        ADD_FAILURE() << sf_strerror(nullptr);
        return {};
    }
    std::vector<float> audio(static_cast<size_t>(frames * channels));
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = static_cast<float>(0.7 * std::sin(0.05 * static_cast<double>(i)));
    EXPECT_EQ(sf_writef_float(f, audio.data(), frames), frames);
    sf_close(f);
    std::ifstream in(path, std::ios::binary);
    return test::ByteVec((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct ChildOutcome {
    bool ran = false;
    int kind = -1;
    long mappedGrowthKb = -1;  // how far the mapped memory peaked above the start
};

// Runs `work` in a forked child, so its peak of mapped memory can be read on
// its own (a child starts with its peak at what it maps), optionally under an
// address-space limit of `limitGrowth` bytes above that (0: none).
ChildOutcome inChild(const std::function<int()>& work, uint64_t limitGrowth) {
    const auto values = test::inChild([&]() -> std::array<long, 2> {
        const long base = test::statusKb("VmSize:");
        if (limitGrowth > 0) {
            const rlimit limit{static_cast<rlim_t>(base) * 1024 + limitGrowth, RLIM_INFINITY};
            if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
        }
        return {work(), test::statusKb("VmPeak:") - base};
    });
    if (!values) return {};
    return {true, static_cast<int>((*values)[0]), (*values)[1]};
}

TEST(DecodeCore, ASmallFlacDeclaringAHugeLengthIsDamagedAndReservesOnlyWhatDecodes) {
    test::TempDir dir;
    struct Case {
        const char* name;
        int channels;
        uint64_t declared;  // frames; each case stays within the 256 MB length limit
    };
    const Case cases[] = {
        {"mono, 2^26 frames (256 MB)", 1, uint64_t{1} << 26},
        {"stereo, 2^25 frames (256 MB)", 2, uint64_t{1} << 25},
        {"mono, 60 million frames", 1, 60000000},
    };
    constexpr long kSmallKb = 24 * 1024;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ByteVec bytes = flacBytes(dir, c.channels, 3000);
        ASSERT_TRUE(test::setFlacTotalFrames(bytes, c.declared));
        ASSERT_LT(bytes.size(), 20000u);
        const auto decode = [&] {
            int kind = -1;
            auto result = decodeAudioBytes(bytes.data(), bytes.size(), {}, &kind);
            return result.ok() ? -1 : kind;
        };
        // The bytes hold 3000 frames: that much decodes, then the stream ends
        // short of its declared length.
        const ChildOutcome unlimited = inChild(decode, 0);
        ASSERT_TRUE(unlimited.ran);
        EXPECT_EQ(unlimited.kind, kImportDamaged);
        EXPECT_LT(unlimited.mappedGrowthKb, kSmallKb);
#ifndef ZEM_TEST_ASAN
        // The verdict does not depend on the memory at hand. (The sanitizer's
        // own mappings make an address-space limit meaningless there.)
        const ChildOutcome limited = inChild(decode, uint64_t{64} << 20);
        ASSERT_TRUE(limited.ran);
        EXPECT_EQ(limited.kind, kImportDamaged);
#endif
    }
}

// A source whose header says whatever a test wants and that counts reads.
class CountingSource : public AudioFrameSource {
public:
    CountingSource(int channels, double rate, int64_t frames, int64_t present)
        : channels_(channels), rate_(rate), frames_(frames), present_(present) {}
    int channels() const override { return channels_; }
    double sampleRate() const override { return rate_; }
    int64_t declaredFrames() const override { return frames_; }
    int64_t presentFrames() const override { return present_; }
    int64_t read(float* out, int64_t count) override {
        ++reads;
        for (int64_t i = 0; i < count * channels_; ++i) out[i] = 0.25f;
        return count;
    }
    int reads = 0;

private:
    int channels_;
    double rate_;
    int64_t frames_;
    int64_t present_;
};

TEST(DecodeCore, AdmissionIsAskedForTheDeclaredValuesOnceTheHeaderPasses) {
    struct Case {
        const char* name;
        int channels;
        double rate;
        int64_t frames, present;
        bool answer;
        int64_t asked;  // -1: never asked
        int kind;       // -1: decodes
    };
    const Case cases[] = {
        {"admitted mono", 1, 44100, 20000, 20000, true, 20000, -1},
        {"admitted stereo", 2, 48000, 20000, 20000, true, 40000, -1},
        {"refused: nothing is read", 2, 48000, 20000, 20000, false, 40000, kImportNoRoom},
        {"three channels", 3, 44100, 20000, 20000, true, -1, kImportUnsupported},
        {"longer than 256 MB", 1, 44100, kMaxImportValues + 1, kMaxImportValues + 1, true, -1, kImportTooLong},
        {"rate out of range", 1, 4000, 20000, 20000, true, -1, kImportUnsupported},
        {"cut short", 1, 44100, 20000, 100, true, -1, kImportDamaged},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CountingSource source(c.channels, c.rate, c.frames, c.present);
        int64_t asked = -1;
        int kind = -1;
        auto result = decodeAudioFrames(source, "x", "/x.wav", {}, &kind, [&](int64_t values) {
            asked = values;
            return c.answer;
        });
        EXPECT_EQ(asked, c.asked);
        if (c.kind < 0) {
            ASSERT_TRUE(result.ok()) << result.message();
            EXPECT_EQ(static_cast<int64_t>(result->samples.size()), c.asked);
            continue;
        }
        EXPECT_FALSE(result.ok());
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(source.reads, 0);
    }
}

}  // namespace
}  // namespace vt6::maker
