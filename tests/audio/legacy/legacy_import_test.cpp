// Converting legacy files: every version writes, reopens and reads back the
// legacy reader's audio; the model's tables, rows, warnings and refusals;
// peaks, summary and dynamics bands, including hostile float values.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "audio/codec.hpp"
#include "audio/legacy/legacy_builder.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "audio/legacy/legacy_reader.hpp"
#include "audio/legacy/zem4_decode.hpp"
#include "audio/sample_source.hpp"
#include "format/cbor.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "format/sample_ext.hpp"
#include "format/writer.hpp"
#include "platform/cpu.hpp"

namespace vt6::zem {
namespace {

using fmt::ErrorCode;
using testing::BuilderFile;
using testing::BuilderSample;
using testing::TempFile;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

fmt::Result<fmt::Export> importBytes(const fmt::Bytes& bytes, bool payloads, TempFile& file) {
    file.write(bytes);
    LegacyImportOptions options;
    options.buildPayloads = payloads;
    return importLegacyFile(file.path(), options);
}

// The legacy reader's view of one sample, as float channels.
std::vector<std::vector<float>> legacyChannels(const std::string& path, size_t index) {
    const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();
    LegacyReadOptions options;
    options.blobDecoder = &decoder;
    LegacyReadResult read = readLegacyFile(path, options);
    EXPECT_TRUE(read.file) << read.error;
    if (!read.file) return {};
    const int fd = platform::openFileUtf8(path);
    LegacySampleAudio audio = readLegacySampleAudio(fd, *read.file, index, &decoder);
    platform::closeFile(fd);
    EXPECT_EQ(audio.error, "");
    return audio.channelSamples;
}

// ---------------------------------------------------------------------------
// Every version converts, writes, reopens and reads back the same audio.

struct VersionCase {
    int version;
    bool props;
};

class ImportEachVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(ImportEachVersion, WrittenFileReopensWithTheLegacyAudio) {
    const BuilderFile desc = testing::sampleLegacyFile(GetParam().version, GetParam().props);
    TempFile legacy;
    fmt::Result<fmt::Export> converted = importBytes(testing::buildLegacyFile(desc), true, legacy);
    ASSERT_TRUE(converted.ok()) << converted.message();
    const fmt::Export& out = *converted;
    const size_t count = desc.samples.size();
    ASSERT_EQ(out.model.samples.size(), count);
    EXPECT_EQ(out.model.metadata.next_uid, count + 1);
    ASSERT_TRUE(out.model.lgcy);
    EXPECT_EQ(std::string(out.model.lgcy->version_magic.begin(), out.model.lgcy->version_magic.end()),
              legacyVersionName(desc.version));
    EXPECT_EQ(out.model.lgcy->header_bytes.size(), testing::builderHeaderBytes(desc.version));
    EXPECT_EQ(out.model.lgcy->warnings, out.warnings);

    // The reader's warnings come first and unchanged.
    LegacyReadResult read = readLegacyFile(legacy.path(), LegacyReadOptions{});
    ASSERT_TRUE(read.file);
    ASSERT_GE(out.warnings.size(), read.file->warnings.size());
    EXPECT_TRUE(std::equal(read.file->warnings.begin(), read.file->warnings.end(), out.warnings.begin()));

    TempFile written;
    ASSERT_TRUE(fmt::writeZem6File(written.path(), out.model, out.payloads).ok());
    auto source = fmt::Zem6SampleSource::open(written.path(), fmt::ReadPolicy{});
    ASSERT_TRUE(source.ok()) << source.message();
    fmt::Zem6SampleSource& src = **source;
    for (size_t i = 0; i < count; ++i) {
        SCOPED_TRACE("sample " + std::to_string(i + 1));
        const std::vector<std::vector<float>> expected = legacyChannels(legacy.path(), i);
        ASSERT_EQ(src.channelCount(static_cast<uint32_t>(i)), expected.size());
        const uint64_t frames = src.frameCount(static_cast<uint32_t>(i));
        ASSERT_EQ(frames, expected[0].size());
        std::vector<std::vector<float>> got(expected.size(), std::vector<float>(frames));
        std::vector<float*> pointers;
        for (auto& channel : got) pointers.push_back(channel.data());
        const auto r = src.read(static_cast<uint32_t>(i), 0, static_cast<uint32_t>(frames), pointers);
        ASSERT_EQ(r.status, stream::kTailReadDone);
        ASSERT_EQ(r.frames, frames);
        for (size_t c = 0; c < expected.size(); ++c) {
            for (size_t f = 0; f < frames; ++f) {
                const float a = expected[c][f];
                const float b = got[c][f];
                if (std::isnan(a)) EXPECT_TRUE(std::isnan(b));
                else EXPECT_EQ(a, b) << "channel " << c << " frame " << f;
            }
        }
    }

    // Viewing needs the model only: same model, no payloads.
    TempFile again;
    fmt::Result<fmt::Export> viewOnly = importBytes(testing::buildLegacyFile(desc), false, again);
    ASSERT_TRUE(viewOnly.ok());
    EXPECT_TRUE(viewOnly->payloads.empty());
    fmt::Zem6Model model = viewOnly->model;
    model.metadata.name = out.model.metadata.name;  // the temporary names differ
    EXPECT_EQ(model, out.model);
}

INSTANTIATE_TEST_SUITE_P(Versions, ImportEachVersion,
                         ::testing::Values(VersionCase{0, false}, VersionCase{1, false}, VersionCase{2, false},
                                           VersionCase{3, false}, VersionCase{4, false}, VersionCase{5, false},
                                           VersionCase{6, false}, VersionCase{6, true}),
                         [](const auto& info) {
                             return "v" + std::to_string(info.param.version) + (info.param.props ? "props" : "");
                         });

// ---------------------------------------------------------------------------
// The model of a main-layout file with rooms.

TEST(LegacyImportModel, TablesAndRowsOfAMainLayoutFile) {
    BuilderFile desc = testing::sampleLegacyFile(5);
    desc.samples[0].excluded = 1;
    TempFile legacy;
    fmt::Result<fmt::Export> converted = importBytes(testing::buildLegacyFile(desc), false, legacy);
    ASSERT_TRUE(converted.ok()) << converted.message();
    const fmt::Zem6Model& m = converted->model;

    EXPECT_EQ(m.metadata.creator_tool, "Vantorel 6 LegacyImporter M7a");
    EXPECT_EQ(m.metadata.name, fileStemOfPath(legacy.path()));
    EXPECT_EQ(m.metadata.instrument_name, desc.instrumentName);
    ASSERT_TRUE(m.metadata.split && m.metadata.split->head_ms);
    EXPECT_EQ(*m.metadata.split->head_ms, 250u);
    EXPECT_EQ(m.metadata.split_payloads, false);  // every sample is shorter than its head

    // Four layers whatever the room count; the direct level follows the
    // flagged room slot (one room: slot 1 is flagged with level 1.0).
    ASSERT_EQ(m.metadata.layers.size(), 4u);
    EXPECT_EQ(m.metadata.layers[0].name, "DIRECT");
    EXPECT_EQ(m.metadata.layers[0].slot, 0u);
    EXPECT_EQ(m.metadata.layers[0].level, 1.0);
    for (size_t k = 1; k <= 3; ++k) {
        EXPECT_EQ(m.metadata.layers[k].id, k + 1);
        EXPECT_EQ(m.metadata.layers[k].slot, k);
        EXPECT_EQ(m.metadata.layers[k].name, desc.roomNames[k - 1]);
    }
    EXPECT_EQ(m.metadata.layers[1].level, double{0.7f});

    // Named articulations only (the file uses 1 and 2, both named).
    ASSERT_EQ(m.metadata.articulations.size(), 2u);
    EXPECT_EQ(m.metadata.articulations[0].name, "Center");
    EXPECT_EQ(m.metadata.articulations[1].name, "Rimshot");

    // Two stored dynamics 0.25 and 0.9: bands meet half-way.
    ASSERT_EQ(m.metadata.dynamics.size(), 2u);
    EXPECT_EQ(m.metadata.dynamics[0].low, -std::numeric_limits<double>::infinity());
    EXPECT_EQ(m.metadata.dynamics[0].high, (double{0.25f} + double{0.9f}) / 2);
    EXPECT_EQ(m.metadata.dynamics[1].high, std::numeric_limits<double>::infinity());
    EXPECT_EQ(fmt::readBandCenter(m.metadata.dynamics[1]), double{0.9f});

    ASSERT_EQ(m.samples.size(), 5u);
    const fmt::SmplEntry& soft = m.samples[0];
    EXPECT_EQ(soft.uid, 1u);
    EXPECT_EQ(soft.audi_uid, 1u);
    EXPECT_EQ(soft.legacy_sample_number, 1u);
    EXPECT_EQ(soft.name, "center soft");
    EXPECT_EQ(soft.layer, 1u);
    EXPECT_EQ(soft.muted, true);
    EXPECT_EQ(fmt::readExtUintTriple(soft), (std::array<uint64_t, 3>{5, 0, 0}));
    EXPECT_FALSE(soft.room_owner_uid);
    EXPECT_EQ(soft.codec, fmt::kCodecFlac);
    EXPECT_EQ(soft.frames, 6u);
    EXPECT_EQ(soft.head_frames, 6u);
    EXPECT_FALSE(soft.audt_uid);

    const fmt::SmplEntry& hard = m.samples[1];  // 24-bit stereo, 8 values
    EXPECT_EQ(hard.channels, 2u);
    EXPECT_EQ(hard.frames, 4u);
    EXPECT_EQ(hard.bits, 24u);
    EXPECT_EQ(hard.band, 2u);
    EXPECT_FALSE(hard.muted);

    EXPECT_EQ(m.samples[2].codec, fmt::kCodecRawPcm);  // 32-bit float stays raw
    EXPECT_EQ(m.samples[3].soloed, true);              // the carried flag
    const fmt::SmplEntry& room = m.samples[4];
    EXPECT_EQ(room.layer, 2u);
    EXPECT_EQ(room.room_owner_uid, 1u);
    EXPECT_FALSE(fmt::readExtUintTriple(room));

    // Plain hashes are of the sample's whole PCM.
    EXPECT_EQ(soft.plain_hash, fmt::blake2b128(testing::samplePcm(desc.samples[0])));
    ASSERT_TRUE(m.lgcy && m.lgcy->source_file_blake2b128);
    EXPECT_EQ(*m.lgcy->source_file_blake2b128, fmt::blake2b128(testing::buildLegacyFile(desc)));
    EXPECT_EQ(m.metadata.legacy->orig_file_hash, m.lgcy->source_file_blake2b128);
}

TEST(LegacyImportModel, ArticulationsWithoutNamesAreThoseInUse) {
    BuilderFile desc = testing::sampleLegacyFile(3);
    desc.articulationNames = {};
    desc.samples[2].articulation = 7;
    desc.samples[3].articulation = 7;
    TempFile legacy;
    fmt::Result<fmt::Export> converted = importBytes(testing::buildLegacyFile(desc), false, legacy);
    ASSERT_TRUE(converted.ok()) << converted.message();
    const auto& arts = converted->model.metadata.articulations;
    ASSERT_EQ(arts.size(), 2u);
    EXPECT_EQ(arts[0].id, 1u);
    EXPECT_EQ(arts[1].id, 7u);
    EXPECT_FALSE(arts[0].name);
}

// Head and tail split at 250 ms, the codec by depth, the payload layout.
TEST(LegacyImportModel, HeadSplitAndPayloads) {
    struct Case {
        uint8_t bits;
        int32_t frames;
        uint64_t head;
        bool tail;
        uint16_t codec;
    };
    const Case cases[] = {
        {16, 12000, 12000, false, fmt::kCodecFlac},
        {16, 12001, 12000, true, fmt::kCodecFlac},
        {24, 30000, 12000, true, fmt::kCodecFlac},
        {32, 12001, 12000, true, fmt::kCodecRawPcm},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.frames) + " frames");
        BuilderFile desc;
        desc.version = 5;
        BuilderSample s;
        s.bits = c.bits;
        s.sampleRate = 48000;
        s.length = c.frames;
        desc.samples.push_back(s);
        TempFile legacy;
        fmt::Result<fmt::Export> converted = importBytes(testing::buildLegacyFile(desc), true, legacy);
        ASSERT_TRUE(converted.ok()) << converted.message();
        const fmt::SmplEntry& row = converted->model.samples[0];
        EXPECT_EQ(row.head_frames, c.head);
        EXPECT_EQ(row.codec, c.codec);
        EXPECT_EQ(row.audt_uid.has_value(), c.tail);
        EXPECT_EQ(converted->model.metadata.split_payloads, c.tail);
        const auto& payloads = converted->payloads;
        ASSERT_EQ(payloads.size(), c.tail ? 2u : 1u);
        auto head = fmt::parsePcmaHead(payloads[0].bytes);
        ASSERT_TRUE(head.ok());
        EXPECT_EQ(payloads[0].tag, fmt::kTagAUDI);
        EXPECT_EQ(payloads[0].uid, 1u);
        EXPECT_EQ(head->role, c.tail ? fmt::PayloadRole::head : fmt::PayloadRole::whole);
        EXPECT_EQ(head->frames, c.head);
        EXPECT_EQ(head->codec, c.codec);
        EXPECT_EQ(head->max_blocksize, c.codec == fmt::kCodecFlac ? fmt::kFlacBlockSize : 0);
        if (c.tail) {
            auto tail = fmt::parsePcmaHead(payloads[1].bytes);
            ASSERT_TRUE(tail.ok());
            EXPECT_EQ(payloads[1].tag, fmt::kTagAUDT);
            EXPECT_EQ(tail->role, fmt::PayloadRole::tail);
            EXPECT_EQ(tail->first_frame, c.head);
            EXPECT_EQ(tail->frames, static_cast<uint64_t>(c.frames) - c.head);
        }
    }
}

TEST(LegacyImportModel, EmptySampleIsOneRawWholePayload) {
    BuilderFile desc;
    desc.version = 2;
    BuilderSample s;
    s.length = 0;
    desc.samples.push_back(s);
    TempFile legacy;
    fmt::Result<fmt::Export> converted = importBytes(testing::buildLegacyFile(desc), true, legacy);
    ASSERT_TRUE(converted.ok()) << converted.message();
    EXPECT_EQ(converted->model.samples[0].codec, fmt::kCodecRawPcm);
    EXPECT_EQ(converted->model.samples[0].head_frames, 0u);
    ASSERT_EQ(converted->payloads.size(), 1u);
    EXPECT_EQ(converted->payloads[0].bytes.size(), fmt::kPcmaHeadBytes);
    // A library of silent samples has an all-zero outline.
    EXPECT_EQ(converted->model.summary.thumbnail, fmt::Bytes(256, 0));
    EXPECT_EQ(converted->model.peaks, fmt::Bytes(1024, 0));
    TempFile written;
    EXPECT_TRUE(fmt::writeZem6File(written.path(), converted->model, converted->payloads).ok());
}

// ---------------------------------------------------------------------------
// Repairs become warnings, in their order.

TEST(LegacyImportWarnings, RepairsAreReportedInOrder) {
    BuilderFile desc;
    desc.version = 5;
    desc.dynamics = {0.5f};
    desc.roomNames = {"A", "B", "C"};
    BuilderSample a;
    a.stereo = 1;
    a.length = 7;  // odd for two channels
    a.articulation = -2;
    a.dynamicPart = -1;
    a.roomBytes = {1, 1, 0};
    a.roomLookup = {0, 9, 0};  // both out of range
    BuilderSample b;
    b.room = 1;
    BuilderSample c;
    c.roomBytes = {1, 0, 0};
    c.roomLookup = {2, 0, 0};
    BuilderSample d;
    d.roomBytes = {1, 0, 0};
    d.roomLookup = {2, 0, 0};  // the same room sample again: the first owner wins
    desc.samples = {a, b, c, d};
    TempFile legacy;
    fmt::Result<fmt::Export> converted = importBytes(testing::buildLegacyFile(desc), true, legacy);
    ASSERT_TRUE(converted.ok()) << converted.message();

    LegacyReadResult read = readLegacyFile(legacy.path(), LegacyReadOptions{});
    ASSERT_TRUE(read.file);
    std::vector<std::string> expected = read.file->warnings;
    const std::string dash = "\u2014";
    expected.push_back("sample 1: odd interleaved length 7 for 2 channels " + dash +
                       " trailing value dropped (no loader ever played it)");
    expected.push_back("sample 1 room 1 lookup 0 out of range: dropped");
    expected.push_back("sample 1 room 2 lookup 9 out of range: dropped");
    expected.push_back("sample 1: articulation -2 negative " + dash + " stored as 0 (raw byte survives in LGCY)");
    expected.push_back("sample 1: dynamic_part -1 negative " + dash + " stored as 0");
    EXPECT_EQ(converted->warnings, expected);
    EXPECT_EQ(converted->model.lgcy->warnings, expected);

    const auto& rows = converted->model.samples;
    EXPECT_EQ(rows[0].frames, 3u);
    EXPECT_EQ(rows[0].articulation, 0u);
    EXPECT_EQ(rows[0].band, 0u);
    EXPECT_FALSE(fmt::readExtUintTriple(rows[0]));
    EXPECT_EQ(rows[1].room_owner_uid, 3u);
    // The odd value is gone from the audio as well as the row.
    fmt::Bytes pcm = testing::samplePcm(a);
    pcm.resize(3 * 2 * 2);
    EXPECT_EQ(rows[0].plain_hash, fmt::blake2b128(pcm));
}

// A file cut short holds less audio than its header declares: each sample
// keeps the whole frames that are there, the rest is reported, and neither
// the converted rows nor the audio the editor reads are padded to the
// declared length.
TEST(LegacyImportWarnings, ACutOffFileKeepsOnlyTheFramesItHolds) {
    BuilderSample mono;
    mono.length = 1000;
    BuilderSample stereo;
    stereo.stereo = 1;
    stereo.length = 2000;
    BuilderSample huge;  // the reader's largest length: 128 MiB of 16-bit values
    huge.length = 1 << 26;
    struct Case {
        const char* name;
        std::vector<BuilderSample> samples;
        bool headerOnly;
        size_t cut;  // bytes taken off the end of the whole file
        std::vector<uint64_t> frames;
    };
    const Case cases[] = {
        {"header only", {huge, huge, huge}, true, 0, {0, 0, 0}},
        {"second sample cut inside a frame", {mono, stereo}, false, 4 * 600 + 3, {1000, 399}},
        {"first sample cut, second gone", {mono, stereo}, false, 4 * 1000 + 2 * 500, {500, 0}},
        {"whole file", {mono, stereo}, false, 0, {1000, 1000}},
    };
    const std::string dash = "\u2014";
    for (const Case& c : cases) {
        BuilderFile desc;
        desc.version = 5;
        desc.dynamics = {0.5f};
        desc.samples = c.samples;
        desc.writePayloads = !c.headerOnly;
        fmt::Bytes bytes = testing::buildLegacyFile(desc);
        bytes.resize(bytes.size() - c.cut);
        TempFile legacy;
        fmt::Result<fmt::Export> converted = importBytes(bytes, true, legacy);
        ASSERT_TRUE(converted.ok()) << c.name << ": " << converted.message();

        LegacyReadResult read = readLegacyFile(legacy.path(), LegacyReadOptions{});
        ASSERT_TRUE(read.file) << c.name;
        std::vector<std::string> expected = read.file->warnings;
        for (size_t i = 0; i < c.samples.size(); ++i) {
            const uint64_t declared = static_cast<uint64_t>(c.samples[i].length) / (c.samples[i].stereo ? 2 : 1);
            if (c.frames[i] != declared)
                expected.push_back("sample " + std::to_string(i + 1) + ": the file holds " +
                                   std::to_string(c.frames[i]) + " of its " + std::to_string(declared) + " frames " +
                                   dash + " the missing frames are left out");
        }
        EXPECT_EQ(converted->warnings, expected) << c.name;

        uint64_t payloadBytes = 0;
        for (const fmt::StagedPayload& p : converted->payloads) payloadBytes += p.bytes.size() - fmt::kPcmaHeadBytes;
        uint64_t heldBytes = 0;
        for (size_t i = 0; i < c.samples.size(); ++i) {
            EXPECT_EQ(converted->model.samples[i].frames, c.frames[i]) << c.name << " sample " << i + 1;
            const auto audio = legacyChannels(legacy.path(), i);
            ASSERT_FALSE(audio.empty()) << c.name;
            EXPECT_EQ(audio[0].size(), c.frames[i]) << c.name << " sample " << i + 1;
            heldBytes += c.frames[i] * 2 * (c.samples[i].stereo ? 2 : 1);
        }
        // Payloads are coded, so only a bound: never more than what is held
        // plus the coder's own framing.
        EXPECT_LE(payloadBytes, heldBytes + 4096 * c.samples.size()) << c.name;
    }
}

// ---------------------------------------------------------------------------
// Refusals, with code and message.

TEST(LegacyImportRefusals, TheReaderAndTheFile) {
    TempFile notLegacy(fmt::Bytes{'Z', 'e', 'm', '_', 'v', '9', '.', '9', 0, 0});
    auto r = importLegacyFile(notLegacy.path(), {});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.code(), ErrorCode::ModelInvalid);
    EXPECT_EQ(r.message().rfind("legacy read refused: not a legacy zem (magic 'Zem_v9.9'", 0), 0u) << r.message();

    // Parsed, then changed or gone before the conversion reads it again.
    const BuilderFile desc = testing::sampleLegacyFile(5);
    TempFile legacy(testing::buildLegacyFile(desc));
    LegacyReadResult read = readLegacyFile(legacy.path(), LegacyReadOptions{});
    ASSERT_TRUE(read.file);
    fmt::Bytes longer = testing::buildLegacyFile(desc);
    longer.push_back(0);
    legacy.write(longer);
    r = convertLegacyModel(*read.file, legacy.path(), {});
    EXPECT_EQ(r.code(), ErrorCode::ReadIo);
    EXPECT_EQ(r.message(), "'" + legacy.path() + "' changed size since it was parsed (" +
                               std::to_string(longer.size()) + " vs " + std::to_string(longer.size() - 1) + ")");
    // Grown (sparsely) to the largest legacy size and past it: the first is a
    // change of size, the second is refused as the reader refuses it.
    struct Grown {
        uint64_t size;
        ErrorCode code;
        std::string message;
    };
    const std::vector<Grown> grown{
        {kLegacyMaxFileBytes, ErrorCode::ReadIo,
         "'" + legacy.path() + "' changed size since it was parsed (2147483647 vs " +
             std::to_string(longer.size() - 1) + ")"},
        {kLegacyMaxFileBytes + 1, ErrorCode::ModelInvalid,
         "file is 2147483648 bytes; a legacy zem file is at most 2147483647 bytes (2 GiB - 1)"},
    };
    for (const Grown& g : grown) {
        std::filesystem::resize_file(legacy.path(), g.size);
        r = convertLegacyModel(*read.file, legacy.path(), {});
        EXPECT_EQ(r.code(), g.code) << g.size;
        EXPECT_EQ(r.message(), g.message) << g.size;
    }
    EXPECT_EQ(importLegacyFile(legacy.path(), {}).message(), "legacy read refused: " + grown.back().message);
    legacy.write(longer);

    const std::string gone = legacy.path() + ".gone";
    r = convertLegacyModel(*read.file, gone, {});
    EXPECT_EQ(r.code(), ErrorCode::ReadIo);
    EXPECT_EQ(r.message(), "cannot open '" + gone + "'");

    LegacyFile empty;
    r = convertLegacyModel(empty, legacy.path(), {});
    EXPECT_EQ(r.code(), ErrorCode::ModelInvalid);
    EXPECT_EQ(r.message(), "legacy zem has no samples (importer requires >= 1)");
}

// 4.0 payload faults that the reader lets through when it measures nothing.
TEST(LegacyImportRefusals, VersionFourPayloads) {
    struct Case {
        const char* name;
        uint8_t codec;
        bool damageCrc;
        bool stretchPayload;  // the record claims more stored bytes than the file holds
        ErrorCode code;
        std::string message;
    };
    auto crcText = [](const char* what, uint32_t stored, uint32_t computed) {
        char text[160];
        std::snprintf(text, sizeof text, "sample 1: %s CRC-32/IEEE mismatch (stored 0x%08X, computed 0x%08X)", what,
                      static_cast<unsigned>(stored), static_cast<unsigned>(computed));
        return std::string(text);
    };
    BuilderSample raw;
    raw.length = 64;
    BuilderSample flac = raw;
    flac.codec = 1;
    const uint32_t rawCrc = testing::referenceCrc32(testing::sampleStored(raw));
    const uint32_t flacCrc = testing::referenceCrc32(testing::sampleStored(flac));
    const Case cases[] = {
        {"raw CRC", 0, true, false, ErrorCode::ChunkCrcMismatch, crcText("v4 codec-0 payload", rawCrc ^ 1u, rawCrc)},
        {"FLAC CRC", 1, true, false, ErrorCode::FlacError, crcText("v4 payload", flacCrc ^ 1u, flacCrc)},
        {"past EOF", 1, false, true, ErrorCode::ReadIo, "sample 1: v4 payload spans past EOF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BuilderFile desc;
        desc.version = 6;
        BuilderSample s = c.codec == 1 ? flac : raw;
        const uint32_t crc = testing::referenceCrc32(testing::sampleStored(s));
        if (c.damageCrc) s.payloadCrc = crc ^ 1u;
        desc.samples.push_back(s);
        TempFile legacy(testing::buildLegacyFile(desc));
        LegacyReadResult read = readLegacyFile(legacy.path(), LegacyReadOptions{});
        ASSERT_TRUE(read.file) << read.error;
        if (c.stretchPayload) read.file->payloadBytes[0] += 1;
        auto r = convertLegacyModel(*read.file, legacy.path(), {});
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.code(), c.code);
        EXPECT_EQ(r.message(), c.message);
    }
}

// ---------------------------------------------------------------------------
// The conversion pool: any number of threads gives what one thread gives.

fmt::Bytes fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return fmt::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A 4.0 file whose samples differ in depth, channels, codec and length, with
// heads and tails, an odd raw length and a stale room lookup.
BuilderFile mixedVersionFourFile(size_t count) {
    BuilderFile desc;
    desc.version = 6;
    desc.dynamics = {0.25f, 0.5f, 1.0f};
    for (size_t i = 0; i < count; ++i) {
        BuilderSample s;
        s.name = "hit " + std::to_string(i + 1);
        s.sampleRate = 8000;  // a 250 ms head is 2000 frames
        s.bits = std::array<uint8_t, 3>{16, 24, 32}[i % 3];
        s.stereo = i % 2 == 0 ? 1 : 0;
        s.codec = s.bits == 32 ? 0 : static_cast<uint8_t>(i % 4 == 1 ? 0 : 1);
        s.length = static_cast<int32_t>((1500 + 300 * i) * (s.stereo != 0 ? 2 : 1));
        if (i == 3) s.length += 1;  // odd for stereo raw: trailing value dropped
        s.articulation = static_cast<int8_t>(1 + i % 2);
        s.dynamicPart = static_cast<int16_t>(i % 3);
        s.pcm = testing::patternPcm(s.bits, s.length, 3000 + 1000 * static_cast<int32_t>(i));
        desc.samples.push_back(s);
    }
    desc.samples[2].roomBytes = {1, 0, 0};
    desc.samples[2].roomLookup = {static_cast<int32_t>(count) + 5, 0, 0};
    return desc;
}

TEST(LegacyImportPool, EveryThreadCountGivesTheOneThreadExport) {
    const BuilderFile desc = mixedVersionFourFile(11);
    TempFile legacy(testing::buildLegacyFile(desc));
    const Zem4BlobDecoder decoder = fmt::makeZem4FlacBlobDecoder();
    LegacyReadOptions readOptions;
    readOptions.measurePeaks = true;
    readOptions.blobDecoder = &decoder;
    LegacyReadResult read = readLegacyFile(legacy.path(), readOptions);
    ASSERT_TRUE(read.file) << read.error;

    auto convert = [&](unsigned threads, TempFile& written) {
        LegacyImportOptions options;
        options.buildPayloads = true;
        options.threads = threads;
        fmt::Result<fmt::Export> out = convertLegacyModel(*read.file, legacy.path(), options);
        EXPECT_TRUE(out.ok()) << out.message();
        if (out.ok()) {
            EXPECT_TRUE(fmt::writeZem6File(written.path(), out->model, out->payloads).ok());
        }
        return out;
    };
    TempFile oneFile;
    const fmt::Result<fmt::Export> one = convert(1, oneFile);
    ASSERT_TRUE(one.ok());
    ASSERT_GE(one->warnings.size(), 2u);  // the odd length and the stale lookup
    ASSERT_GT(one->payloads.size(), desc.samples.size());  // some samples have tails
    const fmt::Bytes oneBytes = fileBytes(oneFile.path());

    const unsigned poolSize = legacyDecodePoolSize(platform::hardwareThreads(), read.file->sampleCount);
    for (const unsigned threads : {2u, 4u, 64u, 0u, poolSize}) {
        SCOPED_TRACE(threads);
        TempFile file;
        const fmt::Result<fmt::Export> many = convert(threads, file);
        ASSERT_TRUE(many.ok());
        EXPECT_EQ(many->warnings, one->warnings);
        ASSERT_EQ(many->payloads.size(), one->payloads.size());
        for (size_t k = 0; k < one->payloads.size(); ++k) {
            EXPECT_EQ(many->payloads[k].uid, one->payloads[k].uid) << k;
            EXPECT_EQ(many->payloads[k].tag, one->payloads[k].tag) << k;
            EXPECT_TRUE(many->payloads[k].bytes == one->payloads[k].bytes) << k;
        }
        EXPECT_TRUE(fileBytes(file.path()) == oneBytes);
    }
}

// Several damaged samples: whichever thread meets which first, the failure
// reported is that of the earliest sample, as on one thread.
TEST(LegacyImportPool, TheEarliestFailureWinsAtEveryThreadCount) {
    struct Case {
        const char* name;
        std::vector<size_t> damaged;  // samples whose stored CRC is wrong
        std::string prefix;
    };
    const Case cases[] = {
        {"one late sample", {9}, "sample 10: v4 "},
        {"raw before FLAC", {1, 6}, "sample 2: v4 codec-0 payload"},
        {"FLAC before raw", {0, 5}, "sample 1: v4 payload"},
        {"all but the first", {1, 2, 3, 4, 5, 6, 7, 8, 9}, "sample 2: v4 codec-0 payload"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BuilderFile desc = mixedVersionFourFile(10);
        for (const size_t i : c.damaged)
            desc.samples[i].payloadCrc = testing::referenceCrc32(testing::sampleStored(desc.samples[i])) ^ 1u;
        TempFile legacy(testing::buildLegacyFile(desc));
        LegacyReadResult read = readLegacyFile(legacy.path(), LegacyReadOptions{});
        ASSERT_TRUE(read.file) << read.error;
        for (const unsigned threads : {1u, 2u, 4u, 16u}) {
            SCOPED_TRACE(threads);
            LegacyImportOptions options;
            options.buildPayloads = true;
            options.threads = threads;
            const fmt::Result<fmt::Export> r = convertLegacyModel(*read.file, legacy.path(), options);
            ASSERT_FALSE(r.ok());
            EXPECT_EQ(r.message().rfind(c.prefix, 0), 0u) << r.message();
        }
    }
}

// ---------------------------------------------------------------------------
// Peaks and summary.

LegacyPcm floatPcm(const std::vector<float>& values, uint32_t channels) {
    LegacyPcm pcm;
    pcm.bits = 32;
    pcm.channels = channels;
    pcm.frames = values.size() / channels;
    pcm.pcm.resize(values.size() * 4);
    if (!values.empty()) std::memcpy(pcm.pcm.data(), values.data(), pcm.pcm.size());
    return pcm;
}

fmt::Zem6Model modelWithRows(size_t count) {
    fmt::Zem6Model model;
    for (size_t i = 0; i < count; ++i) {
        fmt::SmplEntry row;
        row.uid = i + 1;
        model.samples.push_back(row);
    }
    return model;
}

TEST(LegacyImportPeaks, Quantisation) {
    struct Case {
        float v;
        int8_t q;
    };
    const Case cases[] = {
        {1.0f, 127},    {-1.0f, -127},   {0.0f, 0},     {0.5f, 64},   {-0.5f, -64},
        {2.0f, 127},    {-2.0f, -128},   {kInf, 127},   {-kInf, -128}, {kNaN, 0},
        {3.0e38f, 127}, {-3.0e38f, -128}, {-1.0e10f, -128},
    };
    for (const Case& c : cases) EXPECT_EQ(quantizePeakLevel(c.v), c.q) << c.v;

    // Ties go to the even neighbour: find a v whose 127 v is exactly 62.5.
    float v = 62.5f / 127.0f;
    for (int k = 0; k < 8 && 127.0f * v != 62.5f; ++k)
        v = std::nextafter(v, 127.0f * v < 62.5f ? 1.0f : 0.0f);
    ASSERT_EQ(127.0f * v, 62.5f);
    EXPECT_EQ(quantizePeakLevel(v), 62);
    EXPECT_EQ(quantizePeakLevel(-v), -62);
}

TEST(LegacyImportPeaks, PointsOfOneSample) {
    // 1024 frames: two frames per point; the larger magnitude wins each fold.
    std::vector<float> values(1024);
    for (size_t j = 0; j < values.size(); ++j) values[j] = (j % 2 == 0 ? 0.25f : -0.5f);
    fmt::Zem6Model model = modelWithRows(2);
    // 100 frames: only points floor(j * 512 / 100) are touched.
    std::vector<float> shortValues(100, 1.0f);
    const std::vector<LegacyPcm> audio = {floatPcm(values, 1), floatPcm(shortValues, 1)};
    fillLegacyPeaksAndSummary(model, audio);
    ASSERT_EQ(model.peaks.size(), 2048u);
    EXPECT_EQ(model.points_per_sample, 512u);
    for (size_t p = 0; p < 512; ++p) {
        EXPECT_EQ(static_cast<int8_t>(model.peaks[2 * p]), -64);
        EXPECT_EQ(static_cast<int8_t>(model.peaks[2 * p + 1]), 32);
    }
    size_t touched = 0;
    for (size_t p = 0; p < 512; ++p) touched += model.peaks[1024 + 2 * p + 1] == 127;
    EXPECT_EQ(touched, 100u);
    EXPECT_EQ(model.summary.total_frames, 1124u);
}

TEST(LegacyImportPeaks, NaNStaysOutOfTheFolds) {
    // Stereo frames: NaN beside a value uses the value; a frame of NaNs
    // leaves its point untouched; infinities saturate.
    const std::vector<float> values = {kNaN, 0.5f, kNaN, kNaN, kInf, -kInf, 1e30f, -1e30f};
    fmt::Zem6Model model = modelWithRows(1);
    const std::vector<LegacyPcm> audio = {floatPcm(values, 2)};
    fillLegacyPeaksAndSummary(model, audio);
    auto point = [&](size_t frame) {
        const size_t p = frame * 512 / 4;
        return std::pair<int8_t, int8_t>(static_cast<int8_t>(model.peaks[2 * p]),
                                         static_cast<int8_t>(model.peaks[2 * p + 1]));
    };
    EXPECT_EQ(point(0), (std::pair<int8_t, int8_t>(64, 64)));
    EXPECT_EQ(point(1), (std::pair<int8_t, int8_t>(0, 0)));
    EXPECT_EQ(point(2), (std::pair<int8_t, int8_t>(-128, 127)));
    EXPECT_EQ(point(3), (std::pair<int8_t, int8_t>(-128, 127)));
    // Thumbnail: 4 frames over 128 points, frame j at point 32 j.
    EXPECT_EQ(static_cast<int8_t>(model.summary.thumbnail[2 * 32]), 0);
    EXPECT_EQ(static_cast<int8_t>(model.summary.thumbnail[2 * 64 + 1]), 127);
}

TEST(LegacyImportPeaks, SummaryCountsAndThumbnail) {
    fmt::Zem6Model model = modelWithRows(3);
    const uint64_t rates[] = {48000, 44100, 44100};
    for (size_t i = 0; i < 3; ++i) {
        model.samples[i].sample_rate = rates[i];
        model.samples[i].bits = 32;
        model.samples[i].channels = 1;
        model.samples[i].band = i == 0 ? 2 : 1;
    }
    model.samples[1].articulation = 3;
    // Sample 0 holds the first quarter of the library's frames.
    const std::vector<LegacyPcm> audio = {floatPcm(std::vector<float>(100, 1.0f), 1),
                                          floatPcm(std::vector<float>(300, -1.0f), 1),
                                          floatPcm({}, 1)};
    fillLegacyPeaksAndSummary(model, audio);
    const fmt::Summary& s = model.summary;
    EXPECT_TRUE(s.present);
    EXPECT_EQ(s.sample_count, 3u);
    EXPECT_EQ(s.sample_rates, (std::vector<uint64_t>{44100, 48000}));
    EXPECT_EQ(s.bit_depths, (std::vector<uint64_t>{32}));
    EXPECT_EQ(s.band_histogram, (std::vector<fmt::HistogramEntry>{{1, 2}, {2, 1}}));
    EXPECT_EQ(s.articulation_histogram, (std::vector<fmt::HistogramEntry>{{0, 2}, {3, 1}}));
    EXPECT_EQ(s.layer_histogram, (std::vector<fmt::HistogramEntry>{{0, 3}}));
    EXPECT_EQ(s.total_frames, 400u);
    ASSERT_EQ(s.thumbnail.size(), 256u);
    EXPECT_EQ(s.thumbnail[2 * 31 + 1], 127);
    EXPECT_EQ(static_cast<int8_t>(s.thumbnail[2 * 32]), -127);
    EXPECT_EQ(model.peaks.size(), 3u * 1024);
}

// ---------------------------------------------------------------------------
// Dynamics bands over levels that may be NaN, unsorted or repeated.

TEST(LegacyImportDynamics, BandsReachHalfWayToTheirNeighbours) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<float> levels = {0.8f, kNaN, 0.2f, 0.2f, kNaN, 0.5f};
    const std::vector<fmt::BandDef> bands = legacyDynamicsBands(levels, 8);  // two more than stored
    ASSERT_EQ(bands.size(), levels.size());
    struct Expect {
        std::optional<double> low, high;
    };
    const Expect expected[] = {
        {(double{0.8f} + double{0.5f}) / 2, inf},
        {std::nullopt, std::nullopt},
        {-inf, (double{0.2f} + double{0.5f}) / 2},
        {-inf, (double{0.2f} + double{0.5f}) / 2},
        {std::nullopt, std::nullopt},
        {(double{0.5f} + double{0.2f}) / 2, (double{0.5f} + double{0.8f}) / 2},
    };
    for (size_t l = 0; l < bands.size(); ++l) {
        SCOPED_TRACE(l);
        EXPECT_EQ(bands[l].id, l + 1);
        EXPECT_EQ(bands[l].low, expected[l].low);
        EXPECT_EQ(bands[l].high, expected[l].high);
        ASSERT_EQ(bands[l].extensions.size(), 1u);
        EXPECT_EQ(bands[l].extensions[0].key, fmt::kBandCenterExtKey);
    }
    // The centre keeps the raw level, NaN included (it then reads as absent).
    EXPECT_EQ(bands[1].extensions[0].bytes, fmt::encodeCborFloat(std::nan("")));
    EXPECT_FALSE(fmt::readBandCenter(bands[1]));

    EXPECT_TRUE(legacyDynamicsBands(levels, -1).empty());
    const std::vector<fmt::BandDef> onlyNaN = legacyDynamicsBands(std::vector<float>{kNaN}, 1);
    ASSERT_EQ(onlyNaN.size(), 1u);
    EXPECT_FALSE(onlyNaN[0].low);
}

TEST(LegacyImportDynamics, NaNLevelsInAFileStillWriteAndReopen) {
    BuilderFile desc = testing::sampleLegacyFile(3);
    desc.dynamics = {kNaN, 0.4f};
    TempFile legacy;
    fmt::Result<fmt::Export> converted = importBytes(testing::buildLegacyFile(desc), true, legacy);
    ASSERT_TRUE(converted.ok()) << converted.message();
    TempFile written;
    ASSERT_TRUE(fmt::writeZem6File(written.path(), converted->model, converted->payloads).ok());
    auto reopened = fmt::openZem6File(written.path(), fmt::ReadPolicy{});
    ASSERT_TRUE(reopened.ok()) << reopened.message();
    EXPECT_EQ(reopened->model.metadata.dynamics.size(), 2u);
    EXPECT_EQ(reopened->model.metadata.dynamics[1].high, std::numeric_limits<double>::infinity());
}

TEST(LegacyImportNames, FileStem) {
    const std::pair<const char*, const char*> cases[] = {
        {"/a/b/Kit.zem", "Kit"},   {"C:\\kits\\Snare.v2.zem", "Snare.v2"}, {"plain", "plain"},
        {"dir/.hidden", ".hidden"}, {"dir/", ""},                           {"mixed\\dir/name.x", "name"},
    };
    for (const auto& [path, stem] : cases) EXPECT_EQ(fileStemOfPath(path), stem) << path;
}

} // namespace
} // namespace vt6::zem
