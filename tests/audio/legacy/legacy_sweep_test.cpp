// Every prefix and every single-byte flip of one small file per layout reads
// cleanly or fails with a message: no crash, no hang, no sanitizer report.

#include <gtest/gtest.h>

#include <span>
#include <string>

#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_reader.hpp"

namespace vt6::zem {
namespace {

constexpr int32_t kSweepMaxSampleValues = 65536;

struct SweepStats {
    size_t ok = 0;
    size_t failed = 0;
};

// Reads the bytes as the importer does (peaks measured, FLAC decoded) and,
// when that succeeds, every sample's audio as the sample loader does. The
// bytes are read from memory: the headers are tens of kilobytes, and the
// file path adds only an open and a size query, which the reader tests
// cover.
void probe(std::span<const uint8_t> bytes, const Zem4BlobDecoder& decoder, SweepStats& stats,
           const std::string& what) {
    const MemoryLegacySource source(bytes);
    const LegacyReadResult r = readLegacySource(source, LegacyReadOptions{true, &decoder, nullptr});
    if (!r.file) {
        ++stats.failed;
        EXPECT_FALSE(r.error.empty()) << what;
        return;
    }
    ++stats.ok;
    EXPECT_TRUE(r.error.empty()) << what;
    const LegacyFile& lf = *r.file;
    ASSERT_EQ(lf.nativePeak.size(), static_cast<size_t>(lf.sampleCount)) << what;
    for (size_t i = 0; i < static_cast<size_t>(lf.sampleCount); ++i) {
        // A flipped length byte can declare up to 2^26 values, which a cut
        // 3.x file reads as zeros; filling those is all such a read does.
        if (lf.length[i] > kSweepMaxSampleValues) continue;
        const LegacySampleAudio a = readLegacySampleAudio(source, lf, i, &decoder);
        EXPECT_TRUE(a.error.empty() != a.channelSamples.empty()) << what << " sample " << i;
    }
}

class LegacySweep : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(LegacySweep, EveryPrefixAndEveryByteFlip) {
    const auto [version, props] = GetParam();
    testing::BuilderFile file = testing::sampleLegacyFile(version, props);
    if (version == 6) {
        // One sample (24-bit stereo FLAC) keeps the decode pool to the
        // calling thread; starting a thread for each of some 48000 reads
        // would cost more than all the rest. The pool itself is tested with
        // more samples elsewhere and fuzzed.
        file.samples.erase(file.samples.begin());
        file.samples.resize(1);
    }
    const fmt::Bytes bytes = testing::buildLegacyFile(file);
    const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();

    SweepStats prefix;
    for (size_t size = 0; size < bytes.size(); ++size)
        probe(std::span<const uint8_t>(bytes).first(size), decoder, prefix, "prefix " + std::to_string(size));

    SweepStats flip;
    fmt::Bytes copy = bytes;
    for (size_t at = 0; at < bytes.size(); ++at) {
        copy[at] ^= 0xFF;
        probe(copy, decoder, flip, "flip at " + std::to_string(at));
        copy[at] = bytes[at];
    }

    // A 4.0 prefix reads only while it keeps the whole payload region (the
    // file ends in two trailing bytes); a 3.x prefix reads as truncated as
    // long as it keeps the header. Most flips land in unread header bytes.
    const size_t header = testing::builderHeaderBytes(version);
    EXPECT_EQ(prefix.ok, version == 6 ? 2u : bytes.size() - header);
    EXPECT_GT(flip.ok, flip.failed);
    EXPECT_GT(flip.failed, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllLayouts, LegacySweep,
                         ::testing::Values(std::pair{0, false}, std::pair{1, false}, std::pair{2, false},
                                           std::pair{3, false}, std::pair{4, false}, std::pair{5, false},
                                           std::pair{6, false}, std::pair{6, true}));

} // namespace
} // namespace vt6::zem
