// A sample's audio in the editor: the payload made from decoded audio, where
// each request for audio is answered from, replacing and adding audio as
// undoable edits, auditioning and the payloads handed to the editor's save.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "audio/pcma_head.hpp"
#include "editor/logic/audio_fixture.hpp"
#include "editor/logic/view_model.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::ErrorCode;
using test::OpenedFile;
using vt6::test::SampleRecipe;

const SampleRecipe kMono16{fmt::kCodecRawPcm, 16, 1, 48000, 3000, 0, 1};
const SampleRecipe kStereoFlac{fmt::kCodecFlac, 24, 2, 44100, 5000, 1200, 2};
const SampleRecipe kMono24{fmt::kCodecRawPcm, 24, 1, 44100, 2000, 0, 3};

// --- The payload of decoded audio ---------------------------------------------

TEST(PcmPayload, HeadBodyAndRefusals) {
    struct Case {
        const char* what;
        size_t values;
        int32_t channels;
        int32_t rate;
        size_t bytes;  // 0: refused
    };
    const Case cases[] = {
        {"4 stereo frames", 8, 2, 48000, 96},
        {"no values", 0, 1, 44100, 64},
        {"8 channels", 16, 8, 1, 128},
        {"highest rate", 3, 1, 1000000, 76},
        {"no channels", 8, 0, 48000, 0},
        {"negative channels", 8, -2, 48000, 0},
        {"9 channels", 9, 9, 48000, 0},
        {"channels that narrow to 1", 8, 65537, 48000, 0},
        {"rate 0", 8, 2, 0, 0},
        {"negative rate", 8, 2, -44100, 0},
        {"rate above 1000000", 8, 2, 1000001, 0},
        {"part of a frame", 1001, 2, 48000, 0},
        {"part of a frame, 3 channels", 7, 3, 48000, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<float> values(c.values);
        for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<float>(i) * 0.125f - 0.5f;
        const std::vector<uint8_t> payload = encodePcmPayload(values, c.channels, c.rate);
        ASSERT_EQ(payload.size(), c.bytes);
        if (c.bytes == 0) continue;
        const fmt::Result<fmt::PcmaHead> head = fmt::parsePcmaHead(payload);
        ASSERT_TRUE(head.ok()) << head.message();
        EXPECT_EQ(head->codec, 0);
        EXPECT_EQ(head->bits, 32);
        EXPECT_EQ(head->sample_rate, static_cast<uint32_t>(c.rate));
        EXPECT_EQ(head->channels, c.channels);
        EXPECT_EQ(head->role, fmt::PayloadRole::whole);
        EXPECT_EQ(head->flags, 0x01);
        EXPECT_EQ(head->first_frame, 0u);
        EXPECT_EQ(head->frames, c.values / static_cast<size_t>(c.channels));
        EXPECT_EQ(head->plain_bytes, c.values * 4);
        EXPECT_EQ(head->max_blocksize, 0);
        const fmt::ByteView body = fmt::ByteView(payload).subspan(64);
        EXPECT_EQ(head->plain_hash, fmt::blake2b128(body));
        ASSERT_EQ(body.size(), c.values * 4);
        if (!body.empty()) {
            EXPECT_EQ(std::memcmp(body.data(), values.data(), body.size()), 0);
        }
    }
}

TEST(PcmPayload, FourStereoFramesOfZeros) {
    const std::vector<float> zeros(8, 0.0f);
    const std::vector<uint8_t> payload = encodePcmPayload(zeros, 2, 44100);
    ASSERT_EQ(payload.size(), 96u);
    EXPECT_EQ(std::string(payload.begin(), payload.begin() + 4), "PCMA");
    const fmt::Digest128 hash = fmt::blake2b128(fmt::ByteView(payload).subspan(64));
    EXPECT_TRUE(std::equal(hash.begin(), hash.end(), payload.begin() + 40));
    EXPECT_EQ(hash, fmt::blake2b128(fmt::Bytes(32, 0)));
}

// --- Where audio comes from ---------------------------------------------------

TEST(SampleAudio, FailuresCarryTheirCodeAndText) {
    struct Case {
        const char* what;
        // Sets up the view model and returns the uid to ask for.
        std::function<uint64_t(OpenedFile&)> setUp;
        ErrorCode code;
        std::string message;
    };
    const Case cases[] = {
        {"unknown uid", [](OpenedFile&) { return uint64_t{999}; }, ErrorCode::ModelInvalid, "no such sample"},
        {"removed sample",
         [](OpenedFile& f) {
             const uint64_t uid = f.uid(1);
             EXPECT_TRUE(test::removeSample(f.vm->document, uid));
             return uid;
         },
         ErrorCode::ModelInvalid, "no such sample"},
        {"a model without a file",
         [](OpenedFile& f) {
             auto model = std::make_shared<const fmt::Zem6Model>(f.builder.model());
             EXPECT_TRUE(f.vm->openLegacy(model, ""));
             return f.uid(0);
         },
         ErrorCode::ModelInvalid, "this zem has no audio on disk"},
        {"no row of its own in the file",
         [](OpenedFile& f) {
             // Audio that no longer lives in memory and was never in the file:
             // its record sits where another sample's row would be.
             const uint64_t uid = f.vm->addSampleFromPcm("new", test::hitSignal(1, 100, 0.5f), 1, 48000, 0.1, 0,
                                                         0, -1, HitLevel::unmeasured(), false);
             f.vm->addedPcm.erase(uid);
             f.vm->document.liveRecord(uid)->recordIndex = 0;
             return uid;
         },
         ErrorCode::ModelInvalid, "sample uid 10 has no audio in this zem"},
        {"file changed since the open",
         [](OpenedFile& f) {
             vt6::test::SampleFileBuilder other = test::hashedBuilder({kMono16, kStereoFlac, kMono24, kMono16});
             other.write(f.path);
             return f.uid(0);
         },
         ErrorCode::ModelInvalid, "the zem changed on disk since it was opened; reopen it"},
        {"file gone",
         [](OpenedFile& f) {
             std::filesystem::remove(f.path);
             return f.uid(0);
         },
         ErrorCode::ModelInvalid, "the zem changed on disk since it was opened; reopen it"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenedFile f({kMono16, kStereoFlac, kMono24});
        const uint64_t uid = c.setUp(f);
        const fmt::Result<fmt::SampleAudio> audio = f.vm->sampleAudio(uid);
        ASSERT_FALSE(audio.ok());
        EXPECT_EQ(audio.code(), c.code);
        EXPECT_EQ(audio.message(), c.message);
    }
}

TEST(SampleAudio, LoaderFailuresPassOnUnchanged) {
    vt6::test::TempDir dir;
    vt6::test::SampleFileBuilder builder;
    // A head that declares 2^26 stereo 24-bit frames: more than the editing
    // budget, refused from the head alone.
    vt6::test::SampleBuild& big = builder.add(kMono16);
    big.audi.edit = [](fmt::Bytes& payload) {
        fmt::PcmaHead head = *fmt::parsePcmaHead(payload);
        head.bits = 24;
        head.channels = 2;
        head.frames = fmt::kMaxPayloadFrames;
        head.plain_bytes = head.frames * 6;
        fmt::encodePcmaHead(head, std::span<uint8_t, fmt::kPcmaHeadBytes>(payload.data(), fmt::kPcmaHeadBytes));
    };
    const std::string path = builder.write(dir.path("big.zem"));
    ZemEditViewModel vm;
    ASSERT_TRUE(vm.openFile(path, fmt::ReadPolicy{})) << vm.status.text;
    const fmt::Result<fmt::SampleAudio> audio = vm.sampleAudio(builder.samples[0].row.uid);
    ASSERT_FALSE(audio.ok());
    EXPECT_EQ(audio.code(), ErrorCode::ChunkReadPolicyBytes);
    EXPECT_EQ(audio.message(), "complete source audio exceeds the editing budget");
}

TEST(SampleAudio, StoredAudioIsTheWholeSampleFromItsOwnRow) {
    OpenedFile f({kMono16, kStereoFlac, kMono24});
    for (size_t i = 0; i < f.builder.samples.size(); ++i) {
        SCOPED_TRACE(i);
        const fmt::Result<fmt::SampleAudio> audio = f.vm->sampleAudio(f.uid(i));
        ASSERT_TRUE(audio.ok()) << audio.message();
        EXPECT_EQ(audio->samples, test::storedFloats(f.builder.samples[i]));
        EXPECT_EQ(audio->channels, f.builder.samples[i].desc.channels);
        EXPECT_EQ(audio->sampleRate, static_cast<int32_t>(f.builder.samples[i].desc.rate));
    }
}

TEST(SampleAudio, AddedAudioComesFromMemory) {
    ZemEditViewModel vm;
    vm.newDocument();
    const std::vector<float> values = test::hitSignal(2, 300, 0.7f);
    const uint64_t uid = vm.addSampleFromPcm("hit", values, 2, 96000, 0.3, 0, 0, -1, HitLevel::unmeasured(), false);
    ASSERT_NE(uid, 0u);
    const fmt::Result<fmt::SampleAudio> audio = vm.sampleAudio(uid);
    ASSERT_TRUE(audio.ok()) << audio.message();
    EXPECT_EQ(audio->samples, values);
    EXPECT_EQ(audio->channels, 2);
    EXPECT_EQ(audio->sampleRate, 96000);
    // The staged payload is whole, and the history counts its bytes though
    // the step keeps no copy of them.
    ASSERT_EQ(vm.addedPayloads.size(), 1u);
    const size_t payloadBytes = vm.addedPayloads.back().bytes.size();
    EXPECT_EQ(payloadBytes, fmt::kPcmaHeadBytes + values.size() * sizeof(float));
    ASSERT_FALSE(vm.document.history.undoEntries.empty());
    EXPECT_EQ(vm.document.history.undoEntries.back().cost, 304 + std::string("hit").size() + payloadBytes);
}

TEST(SampleAudio, UndoingReplacementsReturnsEarlierVersionsWithoutTheFile) {
    OpenedFile f({kMono16, kStereoFlac});
    const uint64_t uid = f.uid(1);
    const std::vector<float> original = test::storedFloats(f.builder.samples[1]);
    const std::vector<float> first = test::hitSignal(2, 800, 0.25f);
    const std::vector<float> second = test::hitSignal(1, 600, 0.5f);
    ASSERT_TRUE(f.vm->replaceSampleAudio(uid, first, 2, 44100, 0, 0));
    ASSERT_TRUE(f.vm->replaceSampleAudio(uid, second, 1, 22050, 10, 500));
    ASSERT_EQ(f.vm->audioVersions.at(uid).size(), 3u);
    EXPECT_EQ(f.vm->document.sampleByUid(uid)->audioRevision, 2u);
    EXPECT_EQ(f.vm->sampleAudio(uid)->samples, second);

    // Every later answer comes from memory.
    std::filesystem::remove(f.path);
    struct Step {
        bool (*move)(EditDocument&);
        uint32_t revision;
        std::vector<float> values;
        int32_t channels;
        int32_t rate;
    };
    const Step steps[] = {
        {test::undo, 1, first, 2, 44100},   {test::undo, 0, original, 2, 44100},
        {test::redo, 1, first, 2, 44100},   {test::redo, 2, second, 1, 22050},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.revision);
        ASSERT_TRUE(s.move(f.vm->document));
        const EditSample* record = f.vm->document.sampleByUid(uid);
        EXPECT_EQ(record->audioRevision, s.revision);
        const fmt::Result<fmt::SampleAudio> audio = f.vm->sampleAudio(uid);
        ASSERT_TRUE(audio.ok()) << audio.message();
        EXPECT_EQ(audio->samples, s.values);
        EXPECT_EQ(audio->channels, s.channels);
        EXPECT_EQ(audio->sampleRate, s.rate);
        EXPECT_EQ(record->channels, static_cast<uint64_t>(s.channels));
    }
}

// --- Replacing audio -------------------------------------------------------------

TEST(ReplaceSampleAudio, RefusalsChangeNothing) {
    struct Case {
        const char* what;
        size_t sampleIndex;  // 99: a uid no sample has
        size_t values;
        int32_t channels;
        int32_t rate;
        uint64_t regionStart;
        uint64_t regionEnd;
    };
    const Case cases[] = {
        {"1001 values in 2 channels", 0, 1001, 2, 44100, 0, 0},
        {"no values", 0, 0, 1, 44100, 0, 0},
        {"no channels", 0, 100, 0, 44100, 0, 0},
        {"negative channels", 0, 100, -1, 44100, 0, 0},
        {"9 channels", 0, 900, 9, 44100, 0, 0},
        {"rate 0", 0, 100, 1, 0, 0, 0},
        {"rate above the limit", 0, 100, 1, 2000000, 0, 0},
        {"unknown uid", 99, 100, 1, 44100, 0, 0},
        {"region start at its end", 1, 100, 1, 44100, 50, 50},
        {"region end past the frames", 1, 100, 1, 44100, 0, 101},
        {"region start past the frames", 1, 100, 1, 44100, 200, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenedFile f({kMono16, kStereoFlac});
        const uint64_t uid = c.sampleIndex == 99 ? 4242 : f.uid(c.sampleIndex);
        const test::Counters before = test::countersOf(f.vm->document);
        const EditSample* record = f.vm->document.sampleByUid(uid);
        const EditSample copy = record != nullptr ? *record : EditSample{};
        EXPECT_FALSE(f.vm->replaceSampleAudio(uid, std::vector<float>(c.values, 0.25f), c.channels, c.rate,
                                              c.regionStart, c.regionEnd));
        EXPECT_EQ(test::countersOf(f.vm->document), before);
        if (record != nullptr) {
            EXPECT_EQ(*f.vm->document.sampleByUid(uid), copy);
        }
        // At most the audio from before is kept, never the refused one.
        const auto versions = f.vm->audioVersions.find(uid);
        if (versions != f.vm->audioVersions.end()) {
            EXPECT_LE(versions->second.size(), 1u);
        }
    }
}

TEST(ReplaceSampleAudio, TheRecordDescribesTheNewAudio) {
    OpenedFile f({kMono16, kStereoFlac});
    const uint64_t uid = f.uid(0);
    f.vm->document.setHitLevel(uid, test::measuredLevel(-6.0));
    ASSERT_EQ(f.vm->document.unmeasuredUids.count(uid), 0u);
    const std::vector<float> values{0.5f, -0.5f, 0.5f, -0.5f, 1.0f, 0.0f};
    ASSERT_TRUE(f.vm->replaceSampleAudio(uid, values, 2, 32000, 0, 0));
    const EditSample& record = *f.vm->document.sampleByUid(uid);
    EXPECT_EQ(record.sampleRate, 32000u);
    EXPECT_EQ(record.bits, 32u);
    EXPECT_EQ(record.channels, 2u);
    EXPECT_EQ(record.frames, 3u);
    EXPECT_EQ(record.regionStart, 0u);
    EXPECT_EQ(record.regionEnd, 3u);
    EXPECT_DOUBLE_EQ(record.key13Value, std::sqrt(2.0 / 6.0));
    EXPECT_EQ(record.audioRevision, 1u);
    EXPECT_EQ(record.plainHashPresent, 1);
    const std::vector<uint8_t>& payload = f.vm->audioVersions.at(uid).at(1).payload;
    EXPECT_EQ(payload, encodePcmPayload(values, 2, 32000));
    EXPECT_EQ(record.plainHash, fmt::blake2b128(fmt::ByteView(payload).subspan(64)));
    EXPECT_FALSE(record.hitLevel.measured);
    EXPECT_EQ(f.vm->document.unmeasuredUids.count(uid), 1u);
    // Version 0 is the audio from the file, with its payload as it would be saved.
    const ZemEditViewModel::AudioVersion& original = f.vm->audioVersions.at(uid).at(0);
    EXPECT_EQ(original.pcm->samples, test::storedFloats(f.builder.samples[0]));
    EXPECT_EQ(original.payload, encodePcmPayload(original.pcm->samples, 1, 48000));
}

TEST(ReplaceSampleAudio, PreparedElsewhereRecordsTheSameEdit) {
    // Encoded and measured on another thread, then recorded: the same record,
    // payload and hash as the one-call replacement; refusals stay refusals.
    const std::vector<float> values = test::hitSignal(2, 300, 0.7f);
    ZemEditViewModel direct, split;
    for (ZemEditViewModel* vm : {&direct, &split}) vm->newDocument();
    const auto original = test::hitSignal(2, 500, 0.4f);
    const uint64_t a = direct.addSampleFromPcm("a", original, 2, 44100, 0.2, 0, 0, 1, HitLevel::unmeasured(), false);
    const uint64_t b = split.addSampleFromPcm("a", original, 2, 44100, 0.2, 0, 0, 1, HitLevel::unmeasured(), false);
    ASSERT_TRUE(direct.replaceSampleAudio(a, values, 2, 44100, 10, 200));
    ZemEditViewModel::PreparedEdit prepared;
    std::thread([&] { prepared = ZemEditViewModel::prepareEdit(values, 2, 44100); }).join();
    ASSERT_TRUE(split.replaceSampleAudio(b, std::move(prepared), 10, 200));
    const EditSample& x = *direct.document.sampleByUid(a);
    const EditSample& y = *split.document.sampleByUid(b);
    EXPECT_EQ(x.plainHash, y.plainHash);
    EXPECT_EQ(y.plainHash, fmt::blake2b128(fmt::ByteView(split.audioVersions.at(b).at(1).payload).subspan(64)));
    EXPECT_EQ(x.key13Value, y.key13Value);
    EXPECT_EQ(x.frames, y.frames);
    EXPECT_EQ(x.regionStart, y.regionStart);
    EXPECT_EQ(x.regionEnd, y.regionEnd);
    EXPECT_EQ(direct.audioVersions.at(a).at(1).payload, split.audioVersions.at(b).at(1).payload);
    EXPECT_EQ(split.sampleAudio(b)->samples, values);
    // Audio that cannot be saved (not a whole number of frames) is refused.
    EXPECT_FALSE(split.replaceSampleAudio(b, ZemEditViewModel::prepareEdit(std::vector<float>(1001, 0.1f), 2, 44100),
                                          0, 0));
    EXPECT_EQ(split.document.sampleByUid(b)->audioRevision, 1u);
}

TEST(ReplaceSampleAudio, AnAddedSampleKeepsItsAddedAudioAsVersionZero) {
    ZemEditViewModel vm;
    vm.newDocument();
    const std::vector<float> added = test::hitSignal(1, 400, 0.9f);
    const uint64_t uid = vm.addSampleFromPcm("a", added, 1, 44100, 0.2, 0, 0, 1, HitLevel::unmeasured(), false);
    ASSERT_TRUE(vm.replaceSampleAudio(uid, test::hitSignal(1, 200, 0.1f), 1, 44100, 0, 0));
    const auto& versions = vm.audioVersions.at(uid);
    ASSERT_EQ(versions.size(), 2u);
    EXPECT_EQ(versions[0].pcm, vm.addedPcm.at(uid));  // shared, not copied
    // Its payload is not copied either: a save back at version 0 hands over
    // the added payload's bytes, and the same bytes once those are gone.
    EXPECT_TRUE(versions[0].payload.empty());
    ASSERT_TRUE(test::undo(vm.document));
    EXPECT_EQ(vm.sampleAudio(uid)->samples, added);
    vm.document.liveRecord(uid)->savedAudioRevision = 1;  // saved while edited
    const std::vector<uint8_t> addedBytes = vm.addedPayloads.back().bytes;
    ASSERT_EQ(addedBytes, encodePcmPayload(added, 1, 44100));
    auto payloadsOf = [&] {
        std::vector<std::vector<uint8_t>> found;
        for (const fmt::StagedPayload& p : vm.addedPcmForSave())
            if (p.uid == uid) found.push_back(p.bytes);
        return found;
    };
    auto found = payloadsOf();
    ASSERT_FALSE(found.empty());
    for (const auto& bytes : found) EXPECT_EQ(bytes, addedBytes);
    vm.addedPayloads.clear();
    found = payloadsOf();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0], addedBytes);
}

// --- Adding audio --------------------------------------------------------------------

TEST(AddSampleFromPcm, BandChoiceAndRefusals) {
    struct Case {
        const char* what;
        int bands;
        size_t values;
        int32_t channels;
        int32_t rate;
        uint32_t layer;
        uint32_t articulation;
        int32_t band;
        int32_t expectedBand;  // -1: refused
    };
    const Case cases[] = {
        {"middle of 4 bands", 4, 200, 2, 44100, 0, 0, -1, 2},
        {"middle of 5 bands", 5, 200, 2, 44100, 0, 0, -7, 2},
        {"middle of 1 band", 1, 200, 2, 44100, 0, 0, -1, 0},
        {"a given band", 4, 200, 2, 44100, 0, 0, 3, 3},
        {"band past the last", 4, 200, 2, 44100, 0, 0, 4, -1},
        {"no values", 4, 0, 2, 44100, 0, 0, -1, -1},
        {"no channels", 4, 200, 0, 44100, 0, 0, -1, -1},
        {"rate 0", 4, 200, 2, 0, 0, 0, -1, -1},
        {"rate above the limit", 4, 200, 2, 1000001, 0, 0, -1, -1},
        {"part of a frame", 4, 201, 2, 44100, 0, 0, -1, -1},
        {"no such layer", 4, 200, 2, 44100, 1, 0, -1, -1},
        {"no such articulation", 4, 200, 2, 44100, 0, 1, -1, -1},
        {"huge layer index", 4, 200, 2, 44100, 0xFFFFFFFFu, 0, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ZemEditViewModel vm;
        vm.newDocument();
        while (static_cast<int>(vm.document.bands.size()) < c.bands) ASSERT_TRUE(vm.document.addBand());
        while (static_cast<int>(vm.document.bands.size()) > c.bands) ASSERT_TRUE(vm.document.deleteBand(0));
        const test::Counters before = test::countersOf(vm.document);
        const std::vector<float> values = test::hitSignal(c.channels > 0 ? c.channels : 1, 100, 0.5f);
        std::vector<float> given(values.begin(), values.begin() + static_cast<long>(std::min(c.values, values.size())));
        given.resize(c.values, 0.1f);
        const uint64_t uid = vm.addSampleFromPcm("s", given, c.channels, c.rate, 0.4, c.layer, c.articulation, c.band,
                                                 test::measuredLevel(-12.0), true);
        if (c.expectedBand < 0) {
            EXPECT_EQ(uid, 0u);
            EXPECT_EQ(test::countersOf(vm.document), before);
            EXPECT_TRUE(vm.addedPayloads.empty());
            EXPECT_TRUE(vm.addedPcm.empty());
            continue;
        }
        ASSERT_NE(uid, 0u);
        const EditSample& record = *vm.document.sampleByUid(uid);
        EXPECT_EQ(vm.document.bandIndexOf(record.bandId), c.expectedBand);
        EXPECT_EQ(record.name, "s");
        EXPECT_EQ(record.bits, 32u);
        EXPECT_EQ(record.channels, static_cast<uint64_t>(c.channels));
        EXPECT_EQ(record.frames, c.values / static_cast<size_t>(c.channels));
        EXPECT_EQ(record.sampleRate, static_cast<uint64_t>(c.rate));
        EXPECT_DOUBLE_EQ(record.key13Value, 0.4);
        EXPECT_EQ(record.sortLock, 1);
        EXPECT_EQ(record.anchored, 0);
        EXPECT_EQ(record.hitLevel, test::measuredLevel(-12.0));
        ASSERT_EQ(vm.addedPayloads.size(), 1u);
        EXPECT_EQ(vm.addedPayloads[0].uid, uid);
        EXPECT_EQ(vm.addedPayloads[0].tag, fmt::kTagAUDI);
        EXPECT_EQ(vm.addedPayloads[0].bytes, encodePcmPayload(given, c.channels, c.rate));
        EXPECT_EQ(record.plainHash, fmt::blake2b128(fmt::ByteView(vm.addedPayloads[0].bytes).subspan(64)));
        EXPECT_EQ(vm.addedPcm.at(uid)->samples, given);
    }
}

// --- Audition ------------------------------------------------------------------------

TEST(Audition, StoredSamplesGoToTheFilePlayerEverythingElseIsPlayedDecoded) {
    struct Played {
        std::string storedPath;
        uint64_t storedUid = 0;
        std::vector<float> pcm;
        int32_t channels = 0;
        int32_t rate = 0;
        int calls = 0;
    };
    struct Case {
        const char* what;
        std::function<uint64_t(OpenedFile&)> setUp;
        bool installCallbacks;
        bool result;
        bool stored;  // else decoded
        std::function<std::vector<float>(OpenedFile&)> expected;
    };
    const std::vector<float> replaced = test::hitSignal(2, 300, 0.3f);
    const std::vector<float> added = test::hitSignal(1, 250, 0.6f);
    const Case cases[] = {
        {"unedited file sample", [](OpenedFile& f) { return f.uid(1); }, true, true, true, nullptr},
        {"unedited, no file player", [](OpenedFile& f) { return f.uid(1); }, false, false, true, nullptr},
        {"unknown uid", [](OpenedFile&) { return uint64_t{777}; }, true, false, false, nullptr},
        {"region only narrowed",
         [](OpenedFile& f) {
             EXPECT_TRUE(f.vm->document.setSampleAudio(f.uid(1), 100, 900));
             return f.uid(1);
         },
         true, true, false,
         [](OpenedFile& f) {
             const std::vector<float> all = test::storedFloats(f.builder.samples[1]);
             return std::vector<float>(all.begin() + 200, all.begin() + 1800);
         }},
        {"replaced with region end 0",
         [&](OpenedFile& f) {
             EXPECT_TRUE(f.vm->replaceSampleAudio(f.uid(0), replaced, 2, 44100, 0, 0));
             return f.uid(0);
         },
         true, true, false, [&](OpenedFile&) { return replaced; }},
        {"replaced, played without a player",
         [&](OpenedFile& f) {
             EXPECT_TRUE(f.vm->replaceSampleAudio(f.uid(0), replaced, 2, 44100, 0, 0));
             return f.uid(0);
         },
         false, true, false, nullptr},
        {"added sample",
         [&](OpenedFile& f) {
             return f.vm->addSampleFromPcm("n", added, 1, 8000, 0.1, 0, 0, -1, HitLevel::unmeasured(), false);
         },
         true, true, false, [&](OpenedFile&) { return added; }},
        {"decoded audio that cannot be read",
         [](OpenedFile& f) {
             EXPECT_TRUE(f.vm->document.setSampleAudio(f.uid(1), 100, 900));
             std::filesystem::remove(f.path);
             return f.uid(1);
         },
         true, false, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        OpenedFile f({kMono16, kStereoFlac});
        Played played;
        if (c.installCallbacks) {
            f.vm->auditionStored = [&](const std::string& path, uint64_t uid) {
                played.storedPath = path;
                played.storedUid = uid;
                ++played.calls;
            };
            f.vm->playPcm = [&](std::span<const float> values, int32_t channels, int32_t rate) {
                played.pcm.assign(values.begin(), values.end());
                played.channels = channels;
                played.rate = rate;
                ++played.calls;
            };
        }
        const uint64_t uid = c.setUp(f);
        EXPECT_EQ(f.vm->audition(uid), c.result);
        if (!c.installCallbacks || !c.result) {
            EXPECT_EQ(played.calls, 0);
            continue;
        }
        EXPECT_EQ(played.calls, 1);
        if (c.stored) {
            EXPECT_EQ(played.storedPath, f.path);
            EXPECT_EQ(played.storedUid, uid);
        } else {
            EXPECT_EQ(played.pcm, c.expected(f));
            EXPECT_EQ(played.channels, f.vm->sampleAudio(uid)->channels);
            EXPECT_EQ(played.rate, f.vm->sampleAudio(uid)->sampleRate);
        }
    }
}

TEST(Audition, AStoredRegionIsNotAnEdit) {
    vt6::test::TempDir dir;
    vt6::test::SampleFileBuilder builder = test::hashedBuilder({kMono16});
    builder.samples[0].row.playback_start = 10;
    builder.samples[0].row.playback_end = 2000;
    const std::string path = builder.write(dir.path("region.zem"));
    ZemEditViewModel vm;
    ASSERT_TRUE(vm.openFile(path, fmt::ReadPolicy{}));
    int stored = 0;
    vm.auditionStored = [&](const std::string&, uint64_t) { ++stored; };
    vm.playPcm = [&](std::span<const float>, int32_t, int32_t) { ADD_FAILURE() << "decoded"; };
    EXPECT_TRUE(vm.audition(builder.samples[0].row.uid));
    EXPECT_EQ(stored, 1);
}

// --- Payloads for the editor's own save -------------------------------------------

TEST(AddedPcmForSave, ListsCurrentAudioOfLiveSamplesOnly) {
    OpenedFile f({kMono16, kStereoFlac});
    ZemEditViewModel& vm = *f.vm;
    const std::vector<float> a = test::hitSignal(1, 100, 0.5f);
    const std::vector<float> b = test::hitSignal(1, 120, 0.5f);
    const std::vector<float> bEdited = test::hitSignal(1, 60, 0.2f);
    const std::vector<float> fileEdited = test::hitSignal(2, 90, 0.2f);
    const uint64_t uidA = vm.addSampleFromPcm("a", a, 1, 44100, 0.1, 0, 0, -1, HitLevel::unmeasured(), false);
    const uint64_t uidB = vm.addSampleFromPcm("b", b, 1, 44100, 0.1, 0, 0, -1, HitLevel::unmeasured(), false);
    ASSERT_TRUE(vm.replaceSampleAudio(uidB, bEdited, 1, 44100, 0, 0));
    ASSERT_TRUE(vm.replaceSampleAudio(f.uid(1), fileEdited, 2, 44100, 0, 0));
    const uint64_t uidGone = vm.addSampleFromPcm("gone", a, 1, 44100, 0.1, 0, 0, -1, HitLevel::unmeasured(), false);
    ASSERT_TRUE(test::undo(vm.document));
    ASSERT_EQ(vm.document.sampleByUid(uidGone), nullptr);

    std::map<uint64_t, std::vector<uint8_t>> listed;
    for (const fmt::StagedPayload& p : vm.addedPcmForSave()) {
        EXPECT_EQ(p.tag, fmt::kTagAUDI);
        EXPECT_TRUE(listed.emplace(p.uid, p.bytes).second) << "uid " << p.uid << " twice";
    }
    const std::map<uint64_t, std::vector<uint8_t>> expected{
        {uidA, encodePcmPayload(a, 1, 44100)},
        {uidB, encodePcmPayload(bEdited, 1, 44100)},
        {f.uid(1), encodePcmPayload(fileEdited, 2, 44100)},
    };
    EXPECT_EQ(listed, expected);

    // A file sample back at its saved audio needs no payload.
    ASSERT_TRUE(vm.replaceSampleAudio(f.uid(0), a, 1, 44100, 0, 0));
    ASSERT_TRUE(test::undo(vm.document));
    for (const fmt::StagedPayload& p : vm.addedPcmForSave()) EXPECT_NE(p.uid, f.uid(0));
}

} // namespace
} // namespace vt6::ui::zemedit::logic
