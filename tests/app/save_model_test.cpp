#include "app/save_model.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "audio/pcma_head.hpp"
#include "editor/logic/compose_fixture.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/mtad.hpp"
#include "format/sample_ext.hpp"

namespace vt6::maker {
namespace {

namespace logic = ui::zemedit::logic;
using logic::test::kitModel;
using logic::test::Opened;
using logic::test::rowOf;

// Distinct stereo audio per uid: frames = 40 + uid (past the stored onset of sample 1).
fmt::SampleAudio audioFor(uint64_t uid) {
    fmt::SampleAudio a;
    a.channels = 2;
    a.sampleRate = 44100 + static_cast<int32_t>(uid);
    const size_t frames = 40 + uid;
    for (size_t f = 0; f < frames; ++f) {
        a.samples.push_back(static_cast<float>(uid) * 0.01f * static_cast<float>(f % 7) - 0.03f);
        a.samples.push_back(-0.5f * static_cast<float>(f) / static_cast<float>(frames));
    }
    return a;
}

struct Saved {
    int code = -1;
    fmt::Result<fmt::Export> result{fmt::ErrorCode::WriteIo, "not run"};
    std::vector<uint64_t> loaded;
};

Saved save(const Opened& o, const std::string& base = "kit") {
    Saved s;
    const fmt::Zem6Model pristine = o.source;
    s.result = buildSaveModel(o.doc, o.source, base,
                              [&](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
                                  s.loaded.push_back(uid);
                                  return audioFor(uid);
                              },
                              s.code);
    EXPECT_EQ(o.source, pristine);  // works on a copy
    return s;
}

TEST(SaveModel, EverySampleBecomesOneRawFloatPayload) {
    const Opened o(kitModel());
    const Saved s = save(o);
    ASSERT_TRUE(s.result.ok()) << s.result.error().message;
    EXPECT_EQ(s.code, kSaveOk);
    const fmt::Export& e = s.result.value();
    EXPECT_EQ(e.model.metadata.name, "kit");
    EXPECT_EQ(e.model.metadata.creator_tool, "ZEM Rivir");
    EXPECT_FALSE(e.model.summary.present);
    ASSERT_EQ(e.payloads.size(), e.model.samples.size());
    std::vector<uint64_t> rowUids;
    for (size_t i = 0; i < e.model.samples.size(); ++i) {
        const fmt::SmplEntry& row = e.model.samples[i];
        SCOPED_TRACE(row.uid);
        rowUids.push_back(row.uid);
        const fmt::SampleAudio a = audioFor(row.uid);
        const fmt::ByteView floats(reinterpret_cast<const uint8_t*>(a.samples.data()), a.samples.size() * 4);
        double peak = 0.0, sum = 0.0;
        for (const float v : a.samples) {
            peak = std::max(peak, std::fabs(static_cast<double>(v)));
            sum += static_cast<double>(v) * v;
        }
        EXPECT_EQ(row.audi_uid, row.uid);
        EXPECT_EQ(row.audt_uid, std::nullopt);
        EXPECT_EQ(row.head_frames, std::nullopt);
        EXPECT_EQ(row.codec, 0u);
        EXPECT_EQ(row.bits, 32u);
        EXPECT_EQ(row.channels, 2u);
        EXPECT_EQ(row.sample_rate, static_cast<uint64_t>(a.sampleRate));
        EXPECT_EQ(row.frames, 40 + row.uid);
        EXPECT_EQ(row.peak, peak);
        EXPECT_DOUBLE_EQ(row.rms.value_or(-1), std::sqrt(sum / static_cast<double>(a.samples.size())));
        EXPECT_EQ(row.plain_hash, fmt::blake2b128(floats));

        const fmt::StagedPayload& p = e.payloads[i];
        EXPECT_EQ(p.uid, row.uid);
        EXPECT_EQ(p.tag, fmt::kTagAUDI);
        auto head = fmt::parsePcmaHead(p.bytes);
        ASSERT_TRUE(head.ok()) << head.error().message;
        EXPECT_EQ(head.value().codec, fmt::kCodecRawPcm);
        EXPECT_EQ(head.value().bits, 32);
        EXPECT_EQ(head.value().role, fmt::PayloadRole::whole);
        EXPECT_EQ(head.value().flags, 0x01);
        EXPECT_EQ(head.value().first_frame, 0u);
        EXPECT_EQ(head.value().frames, 40 + row.uid);
        EXPECT_EQ(head.value().plain_bytes, floats.size());
        EXPECT_EQ(head.value().plain_hash, *row.plain_hash);
        ASSERT_EQ(p.bytes.size(), fmt::kPcmaHeadBytes + floats.size());
        EXPECT_TRUE(std::equal(floats.begin(), floats.end(), p.bytes.begin() + fmt::kPcmaHeadBytes));
    }
    // Audio is read once per row, in row order.
    EXPECT_EQ(s.loaded, rowUids);
    EXPECT_EQ(e.model.peaks.size(), e.model.samples.size() * 2u * e.model.points_per_sample);
}

TEST(SaveModel, HitLevelAndSortLockComeFromTheDocument) {
    const Opened o(kitModel());
    const Saved s = save(o);
    ASSERT_TRUE(s.result.ok());
    const fmt::Zem6Model& m = s.result.value().model;
    struct Case {
        uint64_t uid;
        bool locked;
        bool measured;
    };
    for (const Case c : {Case{1, true, true}, Case{2, false, false}, Case{4, false, false}}) {
        SCOPED_TRACE(c.uid);
        const fmt::SmplEntry* row = rowOf(m, c.uid);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(fmt::readSortLockExt(*row), c.locked);
        const fmt::HitLevel level = fmt::readHitLevelExt(*row);
        EXPECT_EQ(level.measured, c.measured);
        if (c.measured) {
            EXPECT_EQ(level.level_db, -20.0);
        }
        EXPECT_TRUE(std::is_sorted(row->extensions.begin(), row->extensions.end(),
                                   [](const auto& a, const auto& b) { return a.key < b.key; }));
    }
}

// A kit whose four plug-in channels are taken, so its fifth layer stays custom.
fmt::Zem6Model kitWithCustomChannel() {
    fmt::Zem6Model m = kitModel();
    m.metadata.layers = {logic::test::layerEntry(1, "Direct", 0), logic::test::layerEntry(2, "Room A", 1),
                         logic::test::layerEntry(3, "Amb", 6), logic::test::layerEntry(4, "Room B", 2),
                         logic::test::layerEntry(5, "Room C", 3)};
    return m;
}

TEST(SaveModel, RefusalsSetTheirCodeAndText) {
    struct Case {
        const char* name;
        std::function<fmt::Zem6Model()> model;
        std::function<void(logic::EditDocument&)> edit;
        int audioFails;  // 0 reads, 1 an unreadable sample, 2 memory runs out on the third sample, 3 the
                         // second sample's audio has three channels
        int code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"every sample deleted", kitModel,
         [](logic::EditDocument& d) {
             for (const uint64_t uid : {1, 2, 3, 4, 6}) logic::test::removeSample(d, uid);
         },
         0, kSaveNoSamples, kNoSamplesText},
        {"custom channel", kitWithCustomChannel, [](logic::EditDocument&) {}, 0, kSaveCustomChannel,
         kCustomChannelText},
        {"audio unreadable", kitModel, [](logic::EditDocument&) {}, 1, kSaveAudioUnreadable, "gone"},
        {"out of memory while building", kitModel, [](logic::EditDocument&) {}, 2, kSaveBuildFailed,
         "not enough memory to build the save"},
        // The engine plays mono and stereo only: a file opened with more
        // channels is not written back as if it could be played.
        {"a stored sample with three channels",
         [] {
             fmt::Zem6Model m = kitModel();
             m.samples[1].channels = 3;
             m.samples[1].name = std::string("Tom Surround");
             return m;
         },
         [](logic::EditDocument&) {}, 0, kSaveTooManyChannels,
         "Tom Surround has 3 channels. ZEM Rivir plays mono or stereo samples only, so the zem was not saved. "
         "Delete the sample or replace its audio with mono or stereo audio, then save again."},
        {"audio that reads with three channels", kitModel, [](logic::EditDocument&) {}, 3, kSaveTooManyChannels,
         "Kick Hard Direct has 3 channels. ZEM Rivir plays mono or stereo samples only, so the zem was not saved. "
         "Delete the sample or replace its audio with mono or stereo audio, then save again."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Opened o(c.model());
        c.edit(o.doc);
        int code = -1;
        int loads = 0;
        const size_t samplesBefore = o.doc.samples.size();
        const uint64_t changesBefore = o.doc.changeCounter;
        auto r = buildSaveModel(o.doc, o.source, "kit",
                                [&](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
                                    if (c.audioFails == 1) return fmt::fail(fmt::ErrorCode::ReadIo, "gone");
                                    if (c.audioFails == 2 && ++loads == 3) throw std::bad_alloc();
                                    if (c.audioFails == 3 && ++loads == 2) {
                                        fmt::SampleAudio a;
                                        a.channels = 3;
                                        a.sampleRate = 44100;
                                        a.samples.assign(30, 0.1f);
                                        return a;
                                    }
                                    return audioFor(uid);
                                },
                                code);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(code, c.code);
        EXPECT_EQ(r.error().message, c.text);
        // A refused save leaves the document as it was.
        EXPECT_EQ(o.doc.samples.size(), samplesBefore);
        EXPECT_EQ(o.doc.changeCounter, changesBefore);
    }
}

// Saving a signed file gives the user's own unsigned copy: the publisher's
// certificate stays behind, every other metadata extension goes along.
TEST(SaveModel, ACopyNeverCarriesThePublishersCertificate) {
    fmt::Zem6Model m = kitModel();
    m.metadata.extensions = {fmt::ExtensionPair{14, fmt::encodeCborUint(1)},
                             fmt::ExtensionPair{fmt::kPublisherCertMtadKey, fmt::encodeCborUint(7)},
                             fmt::ExtensionPair{27, fmt::encodeCborUint(2)}};
    const Opened o(m);
    const Saved s = save(o);
    ASSERT_TRUE(s.result.ok()) << s.result.error().message;
    EXPECT_EQ(s.result.value().model.metadata.extensions,
              (std::vector<fmt::ExtensionPair>{{14, fmt::encodeCborUint(1)}, {27, fmt::encodeCborUint(2)}}));
}

TEST(SaveModel, WaveformPeaksPerPoint) {
    struct Case {
        const char* name;
        std::vector<float> samples;
        int32_t channels;
        uint16_t points;
        std::vector<int8_t> expected;
    };
    const std::vector<Case> cases = {
        // 0.5 x 127 = 63.5 rounds to even; values beyond full scale are limited.
        {"mono halves", {-1.0f, 0.5f, 0.25f, 2.0f}, 1, 2, {-127, 64, 0, 127}},
        {"stereo takes both channels", {0.1f, -0.2f, 0.3f, -0.4f}, 2, 1, {-51, 38}},
        {"fewer frames than points", {0.3f}, 1, 2, {0, 38, 0, 38}},
        {"no points", {0.3f}, 1, 0, {}},
        {"all positive starts the minimum from zero", {0.2f, 0.4f}, 1, 1, {0, 51}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fmt::SmplEntry row;
        row.uid = 9;
        fmt::SampleAudio a{c.samples, c.channels, 48000};
        fmt::Bytes peaks{0x7F};  // rows append after what is there
        auto p = buildSamplePayload(row, a, fmt::HitLevel::unmeasured(), false, c.points, peaks);
        ASSERT_TRUE(p.ok()) << p.error().message;
        std::vector<int8_t> got;
        for (size_t i = 1; i < peaks.size(); ++i) got.push_back(static_cast<int8_t>(peaks[i]));
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(peaks.front(), 0x7F);
    }
}

TEST(SaveModel, RoomSamplesLinkToTheirDirectSample) {
    const Opened o(kitModel());
    const Saved s = save(o);
    ASSERT_TRUE(s.result.ok());
    const fmt::Zem6Model& m = s.result.value().model;
    EXPECT_EQ(fmt::readExtUintTriple(*rowOf(m, 1)), (std::array<uint64_t, 3>{3, 0, 0}));
    EXPECT_EQ(rowOf(m, 3)->room_owner_uid, 1u);
    EXPECT_EQ(fmt::readExtUintTriple(*rowOf(m, 2)), std::nullopt);
}

TEST(SaveModel, RoomSampleMatchedByNameMovesOrGivesANote) {
    // Amb takes the free Room B channel, and nothing in the kit is its direct.
    const std::string kAmbNote = "No unique direct match for Amb 1";
    struct Case {
        const char* name;
        bool handPlaced;
        bool secondDirect;
        std::vector<std::string> notes;
    };
    const std::vector<Case> cases = {
        {"moved into its direct's group", false, false, {kAmbNote}},
        {"placed by hand", true, false,
         {kAmbNote, "Manually placed room sample Kick Hard Room A must share its direct sample's dynamic group before "
          "saving."}},
        {"two directs with one stem", false, true, {kAmbNote, "No unique direct match for Kick Hard Room A"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Opened o(kitModel());
        // Room A is layer index 1; the Hard direct sits in the last band, the room in the first.
        const uint64_t room = logic::test::addSample(o.doc, "Kick Hard Room A", 1, 0, 0);
        if (c.handPlaced) o.doc.liveRecord(room)->sortLock = 1;
        uint64_t twin = 0;
        if (c.secondDirect) twin = logic::test::addSample(o.doc, "Kick Hard Direct", 0, 0, 2);
        const Saved s = save(o);
        ASSERT_TRUE(s.result.ok()) << s.result.error().message;
        const fmt::Export& e = s.result.value();
        EXPECT_EQ(e.warnings, c.notes);
        const fmt::SmplEntry* roomRow = rowOf(e.model, room);
        const fmt::SmplEntry* direct = rowOf(e.model, 2);
        ASSERT_NE(roomRow, nullptr);
        if (c.notes.size() == 1) {
            EXPECT_EQ(roomRow->band, direct->band);
            EXPECT_EQ(roomRow->room_owner_uid, 2u);
            EXPECT_EQ(fmt::readExtUintTriple(*direct), (std::array<uint64_t, 3>{room, 0, 0}));
        } else {
            EXPECT_NE(roomRow->band, direct->band);
        }
        if (twin != 0) {
            EXPECT_EQ(fmt::readExtUintTriple(*rowOf(e.model, twin)), std::nullopt);
        }
        // The move is handed on, so that the document makes it too.
        int code = -1;
        auto plan = composeSaveModel(o.doc, o.source, "kit", code);
        ASSERT_TRUE(plan.ok()) << plan.message();
        const std::vector<logic::RoomGroupMove> moved =
            c.notes.size() == 1 ? std::vector<logic::RoomGroupMove>{{room, 2}} : std::vector<logic::RoomGroupMove>{};
        EXPECT_EQ(plan.value().roomMoves, moved);
    }
}

TEST(SaveModel, ChannelsKeepTheirSlotWhenReordered) {
    Opened o(kitModel());
    ASSERT_TRUE(o.doc.reorderDefs(true, 0, 2, true));  // Direct moved behind Amb
    const Saved s = save(o);
    ASSERT_TRUE(s.result.ok()) << s.result.error().message;
    const std::map<std::string, uint64_t> expected = {{"Direct", 0}, {"Room A", 1}, {"Amb", 2}};
    const auto& layers = s.result.value().model.metadata.layers;
    ASSERT_EQ(layers.size(), expected.size());
    for (const fmt::LayerDef& l : layers) {
        SCOPED_TRACE(l.name.value_or("?"));
        EXPECT_EQ(l.slot, expected.at(l.name.value_or("?")));
    }
    // The room level stays with its channel.
    for (const fmt::LayerDef& l : layers) {
        if (l.name == "Room A") {
            EXPECT_EQ(l.level, 0.5);
        }
    }
}

} // namespace
} // namespace vt6::maker
