#include "audio/browse_reader.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/sample_file_builder.hpp"

namespace vt6::fmt {
namespace {

using test::SampleBuild;
using test::SampleFileBuilder;
using test::SampleRecipe;

Zem6File openFile(const std::string& path) {
    auto r = openZem6File(path, ReadPolicy{});
    if (!r.ok()) {
        ADD_FAILURE() << "open failed: " << r.message();
        return {};
    }
    return std::move(r).value();
}

// The browse view of a sample worked out on its whole plain audio, straight
// from the integers: 16-bit on the / 32768 scale, 24-bit / 2^23, float as is,
// stereo as the mean of both channels.
std::vector<float> expectedMono(const SampleBuild& s, uint64_t start, uint64_t end) {
    const uint64_t cap = uint64_t{s.desc.rate} * 5;
    end = std::min(end, start + cap);
    const int width = s.desc.bits / 8;
    std::vector<float> out;
    for (uint64_t f = start; f < end; ++f) {
        float v[2] = {0, 0};
        for (int c = 0; c < s.desc.channels; ++c) {
            const uint8_t* p = s.pcm.data() + (f * static_cast<uint64_t>(s.desc.channels) + static_cast<uint64_t>(c)) *
                                                   static_cast<uint64_t>(width);
            if (s.desc.bits == 16) {
                v[c] = static_cast<float>(static_cast<int16_t>(p[0] | (p[1] << 8))) / 32768.0f;
            } else if (s.desc.bits == 24) {
                const int32_t i = static_cast<int32_t>((uint32_t{p[0]} << 8) | (uint32_t{p[1]} << 16) |
                                                       (uint32_t{p[2]} << 24)) >> 8;
                v[c] = static_cast<float>(i) / 8388608.0f;
            } else {
                std::memcpy(&v[c], p, 4);
            }
        }
        out.push_back(s.desc.channels == 1 ? v[0] : (v[0] + v[1]) * 0.5f);
    }
    return out;
}

struct RegionCase {
    const char* name;
    SampleRecipe desc;
    std::optional<uint64_t> start;
    std::optional<uint64_t> end;
    bool dropFrames = false;  // the row carries no frames either
    uint64_t wantFrom = 0;
    uint64_t wantTo = 0;  // before the five-second cap
};

TEST(BrowseReader, RegionsAcrossHeadAndTailUpToFiveSeconds) {
    const RegionCase cases[] = {
        {"ten seconds whole at 48 kHz", {kCodecFlac, 16, 1, 48000, 480000, 0, 1}, {}, {}, false, 0, 480000},
        {"five seconds already in the head", {kCodecRawPcm, 24, 2, 1000, 10000, 6000, 2}, {}, {}, false, 0, 10000},
        {"region spans head and tail", {kCodecFlac, 16, 2, 44100, 20000, 2500, 3}, 1000, 15000, false, 1000, 15000},
        {"start beyond the head", {kCodecRawPcm, 32, 2, 8000, 20000, 2000, 4}, 5000, {}, false, 5000, 20000},
        {"FLAC start beyond the head", {kCodecFlac, 24, 1, 8000, 30000, 2000, 5}, 17000, {}, false, 17000, 30000},
        {"end inside the head", {kCodecFlac, 24, 1, 22050, 9000, 2500, 6}, 100, 900, false, 100, 900},
        {"cap reached in the tail", {kCodecFlac, 16, 1, 1000, 9000, 3000, 7}, {}, {}, false, 0, 9000},
        {"no frames and no bounds: each part to its end", {kCodecRawPcm, 16, 2, 4000, 9000, 1000, 8}, {}, {},
         true, 0, 9000},
        {"end only", {kCodecRawPcm, 24, 1, 2000, 6000, 1500, 9}, {}, 4000, false, 0, 4000},
    };
    test::TempDir dir;
    int n = 0;
    for (const RegionCase& c : cases) {
        SCOPED_TRACE(c.name);
        SampleFileBuilder b;
        SampleBuild& s = b.add(c.desc);
        s.row.playback_start = c.start;
        s.row.playback_end = c.end;
        Zem6File file = openFile(b.write(dir.path("region" + std::to_string(n++) + ".zem")));
        ASSERT_TRUE(file.isOpen());
        SmplEntry row = file.model.samples[0];
        if (c.dropFrames) row.frames.reset();
        const auto r = readBrowseSample(file, row);
        ASSERT_TRUE(r.ok()) << r.message();
        EXPECT_EQ(r->sampleRate, c.desc.rate);
        const std::vector<float> want = expectedMono(s, c.wantFrom, c.wantTo);
        ASSERT_EQ(r->samples.size(), want.size());
        EXPECT_EQ(r->samples, want);
    }
}

TEST(BrowseReader, TenSecondsAt48kHzGiveExactly240000Values) {
    test::TempDir dir;
    SampleFileBuilder b;
    b.add({kCodecRawPcm, 16, 2, 48000, 480000, 12000, 1});
    Zem6File file = openFile(b.write(dir.path("ten.zem")));
    const auto r = readBrowseSample(file, file.model.samples[0]);
    ASSERT_TRUE(r.ok()) << r.message();
    EXPECT_EQ(r->samples.size(), 240000u);
}

// One-sample files whose plain audio the test sets frame by frame.
SampleBuild& withPcm(SampleFileBuilder& b, const SampleRecipe& desc, Bytes pcm) {
    SampleBuild& s = b.add(desc);
    s.pcm = std::move(pcm);
    s.row.frames = s.pcm.size() / s.frameBytes();
    s.audi = test::makePart(desc, PayloadRole::whole, 0, s.pcm);
    return s;
}

TEST(BrowseReader, SampleValueScales) {
    test::TempDir dir;
    SampleFileBuilder b;
    withPcm(b, {kCodecRawPcm, 16, 1, 44100, 2}, {0x00, 0x80, 0xFF, 0x7F});
    withPcm(b, {kCodecFlac, 16, 1, 44100, 2}, {0x00, 0x80, 0xFF, 0x7F});
    withPcm(b, {kCodecRawPcm, 24, 1, 44100, 2}, {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F});
    Bytes stereo(8);
    const float l = 0.5f, r = -0.25f;
    std::memcpy(&stereo[0], &l, 4);
    std::memcpy(&stereo[4], &r, 4);
    withPcm(b, {kCodecRawPcm, 32, 2, 44100, 1}, stereo);
    Zem6File file = openFile(b.write(dir.path("scales.zem")));
    ASSERT_TRUE(file.isOpen());

    const std::vector<std::vector<float>> want = {
        {-1.0f, 32767.0f / 32768.0f},  // integer / 32768, not / 32767
        {-1.0f, 32767.0f / 32768.0f},
        {-1.0f, 8388607.0f / 8388608.0f},
        {0.125f},
    };
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        const auto got = readBrowseSample(file, file.model.samples[i]);
        ASSERT_TRUE(got.ok()) << got.message();
        EXPECT_EQ(got->samples, want[i]);
    }
    EXPECT_FLOAT_EQ(want[0][1], 0.999969482f);
}

struct RefusalCase {
    const char* name;
    std::function<void(SampleFileBuilder&)> build;
    std::function<void(SmplEntry&)> editRow;
    ErrorCode code;
    std::string message;
};

TEST(BrowseReader, RefusalsAndTheirMessages) {
    const SampleRecipe split{kCodecRawPcm, 16, 1, 8000, 20000, 2000, 1};
    const SampleRecipe longHead{kCodecRawPcm, 16, 1, 1000, 9000, 6000, 1};
    const std::vector<RefusalCase> cases = {
        {"500 Hz", [](auto& b) { b.add({kCodecRawPcm, 16, 1, 500, 100}); }, {}, ErrorCode::GeometryMismatch,
         "unsupported measurement audio geometry"},
        {"384001 Hz", [](auto& b) { b.add({kCodecRawPcm, 16, 1, 384001, 100}); }, {}, ErrorCode::GeometryMismatch,
         "unsupported measurement audio geometry"},
        {"three channels", [](auto& b) { b.add({kCodecRawPcm, 16, 3, 8000, 100}); }, {},
         ErrorCode::GeometryMismatch, "unsupported measurement audio geometry"},
        {"tail at another rate", [&](auto& b) { b.add(split).audt->head.sample_rate = 8001; }, {},
         ErrorCode::GeometryMismatch, "measurement tail geometry mismatch"},
        {"tail at another rate after five seconds of head",
         [&](auto& b) { b.add(longHead).audt->head.sample_rate = 1001; }, {}, ErrorCode::GeometryMismatch,
         "measurement tail geometry mismatch"},
        {"tail that does not follow the head", [&](auto& b) { b.add(split).audt->head.first_frame = 2001; }, {},
         ErrorCode::GeometryMismatch, "measurement tail geometry mismatch"},
        {"tail at another depth",
         [&](auto& b) {
             auto& t = b.add(split).audt->head;
             t.bits = 24;
             t.frames = 12000;
             t.plain_bytes = 36000;
         },
         {}, ErrorCode::GeometryMismatch, "measurement tail geometry mismatch"},
        {"tail at an unsupported rate", [&](auto& b) { b.add(split).audt->head.sample_rate = 999; }, {},
         ErrorCode::GeometryMismatch, "unsupported measurement audio geometry"},
        {"AUDI missing", [&](auto& b) { b.add(split); }, [](SmplEntry& r) { r.audi_uid = 99; },
         ErrorCode::ModelInvalid, "missing measurement audio chunk"},
        {"AUDT missing after five seconds of head", [&](auto& b) { b.add(longHead); },
         [](SmplEntry& r) { r.audt_uid = 99; }, ErrorCode::ModelInvalid, "missing measurement audio chunk"},
        {"AUDI shorter than its head",
         [](auto& b) { b.add({kCodecRawPcm, 16, 1, 8000, 100}).audi.edit = [](Bytes& p) { p.resize(40); }; }, {},
         ErrorCode::ChunkTruncated, "measurement audio head truncated"},
        {"AUDI head does not parse",
         [](auto& b) { b.add({kCodecRawPcm, 16, 1, 8000, 100}).audi.edit = [](Bytes& p) { p[3] = 'B'; }; }, {},
         ErrorCode::PayloadHeadInvalid, "payload head magic is not 'PCMA'"},
        {"raw body shorter than the wanted prefix",
         [](auto& b) {
             b.add({kCodecRawPcm, 16, 1, 8000, 100}).audi.edit = [](Bytes& p) { p.resize(64 + 150); };
         },
         {}, ErrorCode::ChunkTruncated, "measurement PCM prefix truncated"},
        {"FLAC body that ends early",
         [](auto& b) {
             auto& s = b.add({kCodecFlac, 16, 1, 8000, 20000, 0, 1});
             const auto layout = test::readFlacLayout(s.audi.body);
             if (layout && layout->seekTable && layout->seekTable->size() > 2) {
                 s.audi.body.resize(layout->audioAt + (*layout->seekTable)[2].offset);  // 8192 frames left
             }
         },
         {}, ErrorCode::ChunkTruncated, "measurement FLAC prefix truncated"},
        {"FLAC stream that disagrees with its head",
         [](auto& b) {
             auto& s = b.add({kCodecFlac, 16, 1, 8000, 5000, 0, 1});
             const auto layout = test::readFlacLayout(s.audi.body);
             if (layout) test::patchStreamInfo(s.audi.body, layout->streamInfoAt, 2, 5000);
         },
         {}, ErrorCode::GeometryMismatch, "FLAC STREAMINFO disagrees with the PCMA head"},
    };
    test::TempDir dir;
    int n = 0;
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        SampleFileBuilder b;
        c.build(b);
        Zem6File file = openFile(b.write(dir.path("refusal" + std::to_string(n++) + ".zem")));
        ASSERT_TRUE(file.isOpen());
        SmplEntry row = file.model.samples[0];
        if (c.editRow) c.editRow(row);
        const auto r = readBrowseSample(file, row);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), c.code) << errorCodeName(r.code());
        EXPECT_EQ(r.message(), c.message);

        // The analysis callable never fails: the same sample is empty audio.
        file.model.samples[0] = row;
        const auto pa = browseAudioForIndex(&file, 0);
        ASSERT_TRUE(pa.ok());
        EXPECT_TRUE(pa->samples.empty());
        EXPECT_EQ(pa->sample_rate, 44100u);
    }
}

TEST(BrowseReader, EmptyRegionSucceedsAtTheHeadRate) {
    test::TempDir dir;
    SampleFileBuilder b;
    b.add({kCodecRawPcm, 16, 1, 22050, 4000, 1000, 1});
    Zem6File file = openFile(b.write(dir.path("empty.zem")));
    ASSERT_TRUE(file.isOpen());
    for (const auto& [start, end] : {std::pair<uint64_t, uint64_t>{3000, 3000}, {3500, 200}}) {
        SmplEntry row = file.model.samples[0];
        row.playback_start = start;
        row.playback_end = end;
        const auto r = readBrowseSample(file, row);
        ASSERT_TRUE(r.ok()) << r.message();
        EXPECT_TRUE(r->samples.empty());
        EXPECT_EQ(r->sampleRate, 22050u);
    }
}

TEST(BrowseReader, AnalysisCallableMapsRowsAndNeverFails) {
    test::TempDir dir;
    SampleFileBuilder b;
    b.add({kCodecFlac, 24, 2, 32000, 7000, 3000, 1});
    b.add({kCodecRawPcm, 16, 1, 44100, 500, 0, 2});
    Zem6File file = openFile(b.write(dir.path("callable.zem")));
    ASSERT_TRUE(file.isOpen());

    const Fn fn = browseAudioFn(&file);
    const Fn copy = fn;  // clones the captured pointer, not the file
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const auto direct = readBrowseSample(file, file.model.samples[i]);
        ASSERT_TRUE(direct.ok()) << direct.message();
        const auto pa = copy(i);
        ASSERT_TRUE(pa.ok());
        EXPECT_EQ(pa->samples, direct->samples);
        EXPECT_EQ(pa->sample_rate, direct->sampleRate);
        EXPECT_FALSE(pa->samples.empty());
    }
    for (const auto& pa : {fn(2), fn(size_t(-1)), browseAudioForIndex(nullptr, 0)}) {
        ASSERT_TRUE(pa.ok());
        EXPECT_EQ(*pa, Pa6{});
    }
    // A sample whose AUDI chunk is missing is empty audio at 44100 Hz.
    file.model.samples[1].audi_uid = 1;
    const auto missing = fn(1);
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(*missing, Pa6{});
}

} // namespace
} // namespace vt6::fmt
