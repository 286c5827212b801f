#pragma once
// The generated kit several benchmarks open, compose and save: layer 1
// Direct, 2 to 4 Room A to C, the rest unassigned; every row measured, with
// a plain hash and a PEAK row.

#include <cstdint>
#include <string>
#include <utility>

#include "format/hit_level.hpp"
#include "format/mtad.hpp"
#include "format/sample_ext.hpp"
#include "format/smpl.hpp"

namespace vt6::bench {

inline fmt::HitLevel measuredLevel(double db) {
    fmt::HitLevel h;
    h.measured = true;
    h.finite = true;
    h.level_db = db;
    return h;
}

struct KitShape {
    int samples = 5000;
    int layers = 8;
    int articulations = 4;
    int bands = 8;
    uint64_t bits = 16;
    uint64_t frames = 0;
};

inline fmt::Zem6Model benchmarkKitModel(const KitShape& k) {
    fmt::Zem6Model m;
    m.metadata.name = std::string("Benchmark Kit");
    m.metadata.drum_type = std::string("snare");
    for (int i = 0; i < k.layers; ++i) {
        fmt::LayerDef layer;
        layer.id = static_cast<uint64_t>(i) + 1;
        layer.name = "Channel " + std::to_string(i);
        layer.slot = static_cast<uint64_t>(i <= 3 ? i : 6);
        m.metadata.layers.push_back(layer);
    }
    for (int i = 0; i < k.articulations; ++i) {
        fmt::ArticulationDef a;
        a.id = static_cast<uint64_t>(i) + 1;
        a.name = "Articulation " + std::to_string(i);
        m.metadata.articulations.push_back(a);
    }
    for (int i = 0; i < k.bands; ++i) {
        fmt::BandDef b;
        b.id = static_cast<uint64_t>(i) + 1;
        b.low = static_cast<double>(i) / k.bands;
        b.high = static_cast<double>(i + 1) / k.bands;
        b.name = "Group " + std::to_string(i);
        m.metadata.dynamics.push_back(b);
    }
    for (int i = 0; i < k.samples; ++i) {
        const int layer = i % k.layers;
        const int hit = i / k.layers;
        fmt::SmplEntry e;
        e.uid = static_cast<uint64_t>(i) + 1;
        e.audi_uid = e.uid;
        e.name = "Hit " + std::to_string(hit) + " Channel " + std::to_string(layer);
        e.layer = static_cast<uint64_t>(layer) + 1;
        e.articulation = static_cast<uint64_t>(hit % k.articulations) + 1;
        e.band = static_cast<uint64_t>((hit % 97) * k.bands / 97) + 1;
        e.sample_rate = 48000;
        e.bits = k.bits;
        e.channels = 1;
        e.frames = k.frames;
        fmt::Digest128 hash{};
        hash[0] = static_cast<uint8_t>(i);
        hash[1] = static_cast<uint8_t>(i >> 8);
        e.plain_hash = hash;
        fmt::writeHitLevelExt(e, measuredLevel(-60.0 + (hit % 97) * 0.5));
        m.samples.push_back(std::move(e));
    }
    m.metadata.next_uid = static_cast<uint64_t>(k.samples) + 1;
    m.peaks.assign(m.samples.size() * m.points_per_sample * 2u, 0x21);
    m.summary.present = true;
    m.summary.sample_count = static_cast<uint64_t>(k.samples);
    return m;
}

} // namespace vt6::bench
