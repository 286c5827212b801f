// Every prefix and every single-byte flip of one small file per layout reads
// cleanly or fails with a message (no crash, no hang, no sanitizer report),
// and shows where the layout can show it: a cut file fails or warns, a flip
// in the magic or in a 4.0 payload (under its CRC) fails, a flip in a 3.x
// payload (no checksum) changes the audio read. The header carries no
// checksum; the table below says so.

#include <gtest/gtest.h>

#include <cstdio>
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

// Everything a read yields, as bytes, so two reads can be compared: the
// record's fields, its warnings and every sample's audio (or its error).
template <class T>
void put(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
template <class T>
void putAll(std::string& out, const std::vector<T>& values) {
    put(out, values.size());
    for (const T& v : values) put(out, v);
}
void putText(std::string& out, const std::string& text) {
    put(out, text.size());
    out += text;
}

// What one read of a file shows: whether it failed, how many warnings it
// raised, whether a sample's audio could not be read, and everything it
// yields as bytes, so that two reads can be compared.
struct ReadShows {
    bool failed = false;
    size_t warnings = 0;
    bool audioFailed = false;
    std::string fingerprint;
};

ReadShows readShows(std::span<const uint8_t> bytes, const Zem4BlobDecoder& decoder) {
    ReadShows shows;
    const MemoryLegacySource source(bytes);
    const LegacyReadResult r = readLegacySource(source, LegacyReadOptions{true, &decoder, nullptr});
    if (!r.file) {
        shows.failed = true;
        shows.fingerprint = "error: " + r.error;
        return shows;
    }
    const LegacyFile& lf = *r.file;
    shows.warnings = lf.warnings.size();
    std::string& out = shows.fingerprint;
    put(out, lf.version);
    put(out, lf.sampleCount);
    put(out, lf.dynamicCount);
    put(out, lf.levelToleranceDb);
    put(out, lf.hasArticulations);
    putAll(out, lf.dynamics);
    put(out, lf.roomCount);
    put(out, lf.roomLevel);
    put(out, lf.roomFlag);
    for (const auto* v : {&lf.sampleNumber, &lf.dynamicPart, &lf.articulation, &lf.take, &lf.derivedTake, &lf.length,
                          &lf.sampleRate}) {
        putAll(out, *v);
    }
    for (const auto* v : {&lf.bits, &lf.stereo, &lf.carriedFlag, &lf.excluded, &lf.useAltLevel, &lf.hand, &lf.room,
                          &lf.codec}) {
        putAll(out, *v);
    }
    putAll(out, lf.roomBytes);
    putAll(out, lf.roomLookup);
    putAll(out, lf.headerImpulse);
    putAll(out, lf.altLevel);
    putAll(out, lf.nativePeak);
    putAll(out, lf.payloadOffset);
    putAll(out, lf.decodedBytes);
    putAll(out, lf.payloadCrc);
    putAll(out, lf.payloadBytes);
    put(out, lf.legacyProps);
    put(out, lf.truncated);
    put(out, lf.trailingBytes);
    putText(out, lf.instrumentName);
    for (const std::string& t : lf.sampleNames) putText(out, t);
    for (const std::string& t : lf.articulationNames) putText(out, t);
    for (const std::string& t : lf.roomNames) putText(out, t);
    for (const std::string& t : lf.warnings) putText(out, t);
    for (size_t i = 0; i < static_cast<size_t>(lf.sampleCount); ++i) {
        if (lf.length[i] > kSweepMaxSampleValues) continue;
        const LegacySampleAudio a = readLegacySampleAudio(source, lf, i, &decoder);
        shows.audioFailed = shows.audioFailed || !a.error.empty();
        putText(out, a.error);
        for (const auto& channel : a.channelSamples) putAll(out, channel);
    }
    return shows;
}

// Where a flipped byte must show, by the part of the file it lies in. The
// legacy formats check little: the magic, the laws of the sample table and,
// in 4.0, a CRC over each payload.
enum class MustShow {
    Failure,        // the read fails, or a sample's audio cannot be read, or a warning is raised
    Change,         // at least what is read differs
    Nothing,        // not checked and not read; no requirement
};

struct FilePart {
    const char* what;
    MustShow must;
    const char* reason;
};

// [0, 8): magic; [8, header): header; [header, end - 2): payloads; the rest:
// two bytes after the payload region.
const FilePart& partOf(size_t at, size_t header, size_t size, bool v40) {
    static const FilePart magic{"version magic", MustShow::Failure, "the magic names the layout; any other is refused"};
    static const FilePart headerPart{
        "header", MustShow::Nothing,
        "no checksum covers the header: fields the sample-table laws check fail, the others read as other values, "
        "and the entries past the sample count and the tails of text slots are never read"};
    static const FilePart crcPayload{"4.0 payload", MustShow::Failure, "each 4.0 payload carries a CRC-32"};
    static const FilePart plainPayload{"3.x payload", MustShow::Change,
                                       "3.x payloads carry no checksum: a flip shows only as other sample values"};
    static const FilePart trailing{"after the payloads", MustShow::Nothing,
                                   "bytes after the payload region are counted, never read"};
    if (at < 8) return magic;
    if (at < header) return headerPart;
    if (at + 2 < size) return v40 ? crcPayload : plainPayload;
    return trailing;
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

    const ReadShows base = readShows(bytes, decoder);
    ASSERT_FALSE(base.failed || base.audioFailed) << base.fingerprint;

    SweepStats prefix;
    for (size_t size = 0; size < bytes.size(); ++size) {
        const std::span<const uint8_t> cut = std::span<const uint8_t>(bytes).first(size);
        probe(cut, decoder, prefix, "prefix " + std::to_string(size));
        // A cut file fails, or warns that it is truncated, or at the least
        // counts fewer bytes after its payloads.
        const ReadShows shows = readShows(cut, decoder);
        EXPECT_TRUE(shows.failed || shows.warnings > base.warnings || shows.fingerprint != base.fingerprint)
            << "prefix " << size << " goes unseen";
    }

    SweepStats flip;
    const size_t header = testing::builderHeaderBytes(version);
    fmt::Bytes copy = bytes;
    for (size_t at = 0; at < bytes.size(); ++at) {
        copy[at] ^= 0xFF;
        const std::string what = "flip at " + std::to_string(at);
        probe(copy, decoder, flip, what);
        const FilePart& part = partOf(at, header, bytes.size(), version == 6);
        const ReadShows shows = readShows(copy, decoder);
        switch (part.must) {
        case MustShow::Failure:
            EXPECT_TRUE(shows.failed || shows.audioFailed || shows.warnings > base.warnings)
                << what << " in the " << part.what << " goes unseen (" << part.reason << ")";
            break;
        case MustShow::Change:
            EXPECT_NE(shows.fingerprint, base.fingerprint) << what << " in the " << part.what << " goes unseen";
            break;
        case MustShow::Nothing:
            break;
        }
        copy[at] = bytes[at];
    }

    // A 4.0 prefix reads only while it keeps the whole payload region (the
    // file ends in two trailing bytes); a 3.x prefix reads as truncated as
    // long as it keeps the header. Most flips land in unread header bytes.
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
