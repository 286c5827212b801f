// The bytes a save writes, pinned: the job may get faster, but for the same
// document and audio it must write the very same file.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/save_job.hpp"
#include "app/save_model.hpp"
#include "editor/logic/compose_fixture.hpp"
#include "format/checksum.hpp"

namespace vt6::maker {
namespace {

namespace fs = std::filesystem;
using ui::zemedit::logic::test::kitModel;
using ui::zemedit::logic::test::Opened;

// Mono short hits, or long stereo takes (over five seconds, payloads over
// 1 MiB) for every odd uid.
fmt::SampleAudio audioFor(uint64_t uid, bool longStereo) {
    fmt::SampleAudio a;
    a.sampleRate = 48000;
    const bool stereo = longStereo && uid % 2 == 1;
    a.channels = stereo ? 2 : 1;
    const size_t frames = stereo ? 260000 : 2000;
    a.samples.reserve(frames * static_cast<size_t>(a.channels));
    for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < a.channels; ++c) {
            const double t = static_cast<double>(f) / 48000.0;
            a.samples.push_back(static_cast<float>(0.7 * std::exp(-t * (3.0 + c)) *
                                                   std::sin(t * (200.0 + 37.0 * static_cast<double>(uid)) * 6.2832)));
        }
    }
    return a;
}

struct Fixture {
    const char* name;
    bool longStereo;
    const char* digest;  // BLAKE2b-256 of the saved file
};

std::string hexOf(const fmt::Digest256& d) {
    std::string out;
    char buf[3];
    for (const uint8_t b : d) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        out += buf;
    }
    return out;
}

std::string fileDigest(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return hexOf(fmt::blake2b256(bytes));
}

fmt::Zem6Model fixtureModel(bool longStereo) {
    fmt::Zem6Model m = kitModel();
    if (longStereo) {
        m.samples[0].playback_start = 1200;
        m.samples[0].playback_end = 250000;
    }
    return m;
}

class SavedBytes : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("save_bytes_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

const Fixture kFixtures[] = {
    {"short mono hits", false, "e0177548a029e3513125013e05e583a5b6bc0cb1e0e9903fc4ca76438fb65c44"},
    {"long stereo takes with a playback region", true,
     "14bd105db073c6f6d16f17f58e34e0fdedea6d9f4e3e96e9c481144ace2d6af5"},
};

TEST_F(SavedBytes, TheSavedFileIsTheSameAsBefore) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        const Opened o(fixtureModel(f.longStereo));
        const bool longStereo = f.longStereo;
        const SaveAudioLoader loader = [longStereo](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
            return audioFor(uid, longStereo);
        };
        const fs::path target = dir / "kit.zem";
        int code = -1;
        auto e = buildExport(o.doc, o.source, "kit", loader, code);
        ASSERT_TRUE(e.ok()) << e.error().message;
        ASSERT_EQ(writeExportOver(target.string(), e.value()), 0);
        EXPECT_EQ(fileDigest(target), f.digest);

        // The shell's job, whatever its pool.
        for (const unsigned threads : {1u, 2u, 4u}) {
            SCOPED_TRACE(threads);
            fs::remove(target);
            auto plan = composeSaveModel(o.doc, o.source, "kit", code);
            ASSERT_TRUE(plan.ok());
            ASSERT_EQ(runSaveJob(target.string(), std::move(plan).value(), loader, {}, {}, threads), 0);
            EXPECT_EQ(fileDigest(target), f.digest);
        }
    }
}

}  // namespace
}  // namespace vt6::maker
