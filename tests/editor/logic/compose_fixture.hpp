#pragma once
// A small library model with something of everything composition must keep
// or rewrite, and a document opened from it the way the editor opens one.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analysis/physical_records.hpp"
#include "editor/logic/data_source.hpp"
#include "editor/logic/edit_document.hpp"
#include "editor/logic/sample_commands.hpp"
#include "format/cbor.hpp"
#include "format/mtad.hpp"
#include "format/sample_ext.hpp"

namespace vt6::ui::zemedit::logic::test {

inline fmt::Digest128 digest(uint8_t fill) {
    fmt::Digest128 d;
    d.fill(fill);
    return d;
}

inline fmt::LayerDef layerEntry(uint64_t id, const char* name, std::optional<uint64_t> slot,
                                std::optional<double> level = std::nullopt) {
    fmt::LayerDef l;
    l.id = id;
    l.name = std::string(name);
    l.slot = slot;
    l.level = level;
    return l;
}

inline fmt::BandDef bandDef(uint64_t id, double low, double high, std::optional<std::string> name) {
    fmt::BandDef b;
    b.id = id;
    b.low = low;
    b.high = high;
    b.name = std::move(name);
    return b;
}

inline fmt::SmplEntry sampleRow(uint64_t uid, const char* name, std::optional<uint64_t> layer,
                                std::optional<uint64_t> articulation, uint64_t band) {
    fmt::SmplEntry e;
    e.uid = uid;
    e.audi_uid = uid;
    e.name = std::string(name);
    e.layer = layer;
    e.articulation = articulation;
    e.band = band;
    e.sample_rate = 48000;
    e.bits = 24;
    e.channels = 2;
    e.frames = 1000;
    e.plain_hash = digest(static_cast<uint8_t>(uid));
    e.extensions.push_back(fmt::ExtensionPair{4000, fmt::encodeCborUint(uid)});  // unknown to the editor
    return e;
}

// Layers Direct (slot 0), Room A (slot 1, level 0.5) and Amb (slot 6);
// articulations Center and Rim; bands Soft, an unnamed one and Hard.
// Samples: 1 Kick Soft Direct (links Room A sample 3, measured, locked),
// 2 Kick Hard Direct (no keys 3 and 4), 3 Kick Soft Room A (key 21 = 1),
// 4 Snare Rim (muted, head and tail payloads under uid 5), 6 Amb 1 (on
// Amb). A PEAK row of (row + 1) bytes per sample, a summary, a carried chunk
// before the audio, and a physical analysis.
inline fmt::Zem6Model kitModel() {
    fmt::Zem6Model m;
    fmt::ModelMetadata& md = m.metadata;
    md.name = std::string("Kit");
    md.drum_type = std::string("hi-hat");
    md.creator_tool = std::string("another tool");
    md.extensions = {{fmt::kPublisherCertMtadKey, fmt::encodeCborBytes(fmt::Bytes(4, 9))},
                     {fmt::kPhysicalModelMtadKey, fmt::encodeCborArray2(2)},
                     {40, fmt::encodeCborUint(40)}};
    md.layers = {layerEntry(1, "Direct", 0), layerEntry(2, "Room A", 1, 0.5), layerEntry(3, "Amb", 6)};
    fmt::ArticulationDef center;
    center.id = 1;
    center.name = std::string("Center");
    center.opaque_uint_3 = 7;
    fmt::ArticulationDef rim;
    rim.id = 2;
    rim.name = std::string("Rim");
    md.articulations = {center, rim};
    fmt::BandDef soft = bandDef(1, 0.0, 0.3, std::string("Soft"));
    soft.extensions.push_back(fmt::makeCborFloatValue(0.15));
    fmt::BandDef unnamed = bandDef(2, 0.3, 0.7, std::nullopt);
    unnamed.extensions.push_back(fmt::ExtensionPair{9, fmt::encodeCborUint(9)});
    md.dynamics = {soft, unnamed, bandDef(3, 0.7, 1.0, std::string("Hard"))};

    fmt::SmplEntry kickSoft = sampleRow(1, "Kick Soft Direct", 1, 1, 1);
    kickSoft.peak = 0.9;
    kickSoft.rms = 0.5;
    kickSoft.opaque_float_14 = 0.25;
    kickSoft.setRoomLink({3, 0, 0});
    HitLevel level;
    level.measured = true;
    level.finite = true;
    level.level_db = -20.0;
    level.onset_frame = 12;
    fmt::writeHitLevelExt(kickSoft, level);
    kickSoft.setFlagExt(true);
    fmt::SmplEntry kickHard = sampleRow(2, "Kick Hard Direct", std::nullopt, std::nullopt, 3);
    fmt::SmplEntry kickRoom = sampleRow(3, "Kick Soft Room A", 2, 1, 1);
    kickRoom.room_owner_uid = 1;
    fmt::SmplEntry snare = sampleRow(4, "Snare Rim", 1, 2, 2);
    snare.muted = true;
    snare.audi_uid = 5;  // payloads under another uid than the sample's
    snare.audt_uid = 5;
    snare.head_frames = 400;
    snare.codec = 1;
    fmt::SmplEntry amb = sampleRow(6, "Amb 1", 3, 1, 2);
    m.samples = {kickSoft, kickHard, kickRoom, snare, amb};
    for (fmt::SmplEntry& e : m.samples) fmt::sortExtensions(e.extensions);
    md.next_uid = 7;

    m.points_per_sample = 2;
    for (size_t r = 0; r < m.samples.size(); ++r) m.peaks.insert(m.peaks.end(), 4, static_cast<uint8_t>(r + 1));

    m.summary.present = true;
    m.summary.sample_count = 5;
    m.summary.band_histogram = {{1, 2}, {2, 2}, {3, 1}};
    m.summary.sample_rates = {48000};
    m.summary.total_frames = 5000;

    fmt::ExtraChunk xtra;
    xtra.tag = fmt::kTagXTRA;
    xtra.bytes = {1, 2, 3};
    xtra.length = 3;
    fmt::ExtraChunk phdm;
    phdm.tag = fmt::kTagPHDM;
    phdm.bytes = {4, 5};
    phdm.length = 2;
    phdm.afterAudio = true;
    m.extraChunks = {xtra, phdm};
    return m;
}

// A document opened from `model` through a data source, as the editor
// opens a converted model.
struct Opened {
    fmt::Zem6Model source;
    LegacyModelDataSource data;
    EditDocument doc;

    explicit Opened(const fmt::Zem6Model& model)
        : source(model), data(std::make_shared<const fmt::Zem6Model>(model), std::string("kit.zem")) {
        EXPECT_TRUE(doc.load(data));
    }
};

inline void removeSample(EditDocument& doc, uint64_t uid) {
    const EditSample* s = doc.sampleByUid(uid);
    ASSERT_NE(s, nullptr) << uid;
    ASSERT_TRUE(doc.execute(std::make_unique<RemoveSamplesCmd>(
        std::vector<SampleRemoval>{SampleRemoval{uid, s->bandId, s->positionKey}})));
}

// Adds a sample the way imported audio arrives; returns its uid.
inline uint64_t addSample(EditDocument& doc, const std::string& name, int32_t layer, int32_t articulation,
                          int32_t bandIndex, uint64_t frames = 800) {
    const uint64_t uid = doc.nextUid;
    AddSampleRequest r;
    r.name = name;
    r.layerIndex = layer;
    r.articulationIndex = articulation;
    r.bandIndex = bandIndex;
    r.key13Value = 0.125;
    r.sampleRate = 44100;
    r.bits = 16;
    r.channels = 1;
    r.frames = frames;
    r.plainHash = digest(0xA0);
    r.plainHashPresent = 1;
    EXPECT_TRUE(doc.addSample(r));
    return uid;
}

// New audio for a sample: other geometry, a new hash, no level.
inline void replaceAudio(EditDocument& doc, uint64_t uid) {
    const EditSample* s = doc.sampleByUid(uid);
    ASSERT_NE(s, nullptr);
    SampleAudioState state;
    state.sampleRate = 96000;
    state.bits = 16;
    state.channels = 1;
    state.frames = 2000;
    state.key13Value = 0.75;
    state.audioRevision = s->audioRevision + 1;
    state.regionStart = 100;
    state.regionEnd = 1500;
    state.plainHash = digest(0xEE);
    state.plainHashPresent = 1;
    ASSERT_TRUE(doc.replaceAudio(uid, state));
}

inline const fmt::SmplEntry* rowOf(const fmt::Zem6Model& m, uint64_t uid) {
    for (const fmt::SmplEntry& e : m.samples) {
        if (e.uid == uid) return &e;
    }
    return nullptr;
}

} // namespace vt6::ui::zemedit::logic::test
