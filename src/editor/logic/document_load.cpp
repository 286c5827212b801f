// Filling a document from its source model, or with the default structure
// of a new library. A malformed model still gives a usable document: missing
// names and tables get defaults, ids that match nothing fall to the first
// definition, out-of-range band numbers are clamped.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>

#include "analysis/drum_type.hpp"
#include "editor/logic/band_layout.hpp"
#include "editor/logic/data_source.hpp"
#include "editor/logic/edit_document.hpp"
#include "format/cbor.hpp"
#include "format/fields.hpp"
#include "format/sample_ext.hpp"

namespace vt6::ui::zemedit::logic {

namespace {

int32_t firstIndexWithKey(const std::vector<EditDef>& defs, const std::optional<uint64_t>& id) {
    if (!id) return 0;
    for (size_t i = 0; i < defs.size(); ++i) {
        if (defs[i].key == *id) return static_cast<int32_t>(i);
    }
    return 0;
}

EditDef directLayer() {
    EditDef def;
    def.key = 1;
    def.name = "Direct";
    def.sourceIndex = -1;
    def.assignedSlot = 0;
    return def;
}

EditDef centerArticulation() {
    EditDef def;
    def.key = 1;
    def.name = "CENTER";
    def.sourceIndex = -1;
    return def;
}

// True when the band's first key-5 value is one finite float off the 0..1
// scale. Exact layouts put centres there (two bands split at 60 sit at
// -0.027 and 0.972); the shared centre reader counts them as absent.
bool centreOffScale(const fmt::BandDef& band) {
    const fmt::ExtensionPair* pair = fmt::findExtension(band.extensions, fmt::kBandCenterExtKey);
    if (pair == nullptr) return false;
    fmt::CborReader reader(pair->bytes);
    const fmt::Result<double> centre = reader.readFloat();
    if (!centre.ok() || !reader.finish().ok()) return false;
    return std::isfinite(*centre) && (*centre < 0.0 || *centre > 1.0);
}

// The entries (given in id order) in the velocity order of their stored
// ranges: by their edges when every entry has both the right way round,
// else by their centres when every entry has a finite one, else as given.
// Equal ranges keep id order.
std::vector<const fmt::BandDef*> inVelocityOrder(std::vector<const fmt::BandDef*> entries) {
    auto rawCentre = [](const fmt::BandDef& band) -> std::optional<double> {
        const fmt::ExtensionPair* pair = fmt::findExtension(band.extensions, fmt::kBandCenterExtKey);
        if (pair == nullptr) return std::nullopt;
        fmt::CborReader reader(pair->bytes);
        const fmt::Result<double> centre = reader.readFloat();
        if (!centre.ok() || !reader.finish().ok() || !std::isfinite(*centre)) return std::nullopt;
        return *centre;
    };
    const bool byEdges = std::all_of(entries.begin(), entries.end(), [](const fmt::BandDef* e) {
        return e->low && e->high && *e->low <= *e->high;  // false for NaN too
    });
    if (byEdges) {
        std::stable_sort(entries.begin(), entries.end(), [](const fmt::BandDef* a, const fmt::BandDef* b) {
            return *a->low != *b->low ? *a->low < *b->low : *a->high < *b->high;
        });
        return entries;
    }
    std::vector<std::pair<double, const fmt::BandDef*>> keyed;
    keyed.reserve(entries.size());
    for (const fmt::BandDef* e : entries) {
        const std::optional<double> centre = rawCentre(*e);
        if (!centre) return entries;
        keyed.emplace_back(*centre, e);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t i = 0; i < keyed.size(); ++i) entries[i] = keyed[i].second;
    return entries;
}

// The splits the stored edges play by, when every position has an entry and
// each inner edge is one finite value stored alike on both sides, on the
// 1..126 steps of the velocity scale and rising. Legacy files bound their
// outer bands with infinities; only inner edges are read.
std::optional<std::vector<int32_t>> splitsFromEdges(std::span<const fmt::BandDef* const> atPosition) {
    std::vector<int32_t> splits;
    for (size_t i = 0; i + 1 < atPosition.size(); ++i) {
        const fmt::BandDef* below = atPosition[i];
        const fmt::BandDef* above = atPosition[i + 1];
        if (below == nullptr || above == nullptr || !below->high || !above->low) return std::nullopt;
        const double edge = *below->high;
        if (!std::isfinite(edge) || edge != *above->low) return std::nullopt;
        const double step = std::round(edge * 127.0);
        if (!(step >= 1.0 && step <= 126.0)) return std::nullopt;
        const auto split = static_cast<int32_t>(step);
        if (!splits.empty() && split <= splits.back()) return std::nullopt;
        splits.push_back(split);
    }
    return splits;
}

} // namespace

bool EditDocument::load(const ZemEditDataSource& source) {
    reset();
    const fmt::Zem6Model& model = source.model();
    const fmt::ModelMetadata& meta = model.metadata;

    name = meta.name.value_or(std::string());
    drumType = fmt::parseDrumType(meta.drum_type ? std::string_view(*meta.drum_type) : std::string_view());

    for (size_t i = 0; i < meta.layers.size(); ++i) {
        const fmt::LayerDef& entry = meta.layers[i];
        EditDef def;
        def.key = entry.id;
        def.name = entry.name ? *entry.name : "Layer " + std::to_string(entry.id);
        def.sourceIndex = static_cast<int32_t>(i);
        def.isRoom = entry.slot && *entry.slot >= 1 && *entry.slot <= 3 ? 1 : 0;
        def.fileSlot = entry.slot;
        def.fileLevel = entry.level;
        layers.push_back(std::move(def));
    }
    if (layers.empty()) layers.push_back(directLayer());

    for (size_t i = 0; i < meta.articulations.size(); ++i) {
        const fmt::ArticulationDef& entry = meta.articulations[i];
        EditDef def;
        def.key = entry.id;
        def.name = entry.name ? *entry.name : "Art " + std::to_string(entry.id);
        def.sourceIndex = static_cast<int32_t>(i);
        articulations.push_back(std::move(def));
    }
    if (articulations.empty()) articulations.push_back(centerArticulation());

    // One band per distinct id; the later of two equal ids wins. The grid
    // shows them softest first, in the velocity order of their stored
    // ranges: a converted legacy kit numbers its dynamics loudest first.
    // Rows still name their band by id.
    std::map<uint64_t, const fmt::BandDef*> byId;
    for (const fmt::BandDef& entry : meta.dynamics) byId[entry.id] = &entry;
    const size_t n = byId.size();
    std::vector<const fmt::BandDef*> byIdOrder;
    byIdOrder.reserve(n);
    for (const auto& [id, entry] : byId) byIdOrder.push_back(entry);
    const std::vector<const fmt::BandDef*> atPosition = inVelocityOrder(byIdOrder);
    std::unordered_map<uint64_t, size_t> positionOfId;
    for (size_t i = 0; i < n; ++i) positionOfId.emplace(atPosition[i]->id, i);
    for (size_t i = 0; i < n; ++i) {
        const fmt::BandDef& entry = *atPosition[i];
        EditBand band;
        band.id = nextBandId++;
        band.sourceEntry = entry;
        band.generatedName = entry.name ? 0 : 1;
        band.name = entry.name ? *entry.name : "Band " + std::to_string(i + 1);
        // Edges of -inf and +inf would give a NaN midpoint: only a finite
        // centre within the scale counts, else the even share.
        band.levelPosition = fmt::bandCenterOrFallback(entry, i, n);
        bandOrder.push_back(band.id);
        bands.push_back(std::move(band));
    }
    if (n == 0) {
        EditBand band;
        band.id = nextBandId++;
        band.name = "Full";
        band.levelPosition = 0.5;
        bandOrder.push_back(band.id);
        bands.push_back(std::move(band));
    }
    syncLevelPositions();
    velocitySplits = levelPositionsToVelocitySplits(levelPositions);
    // The stored edges are what the file plays by: when they give splits,
    // those are the splits shown, whatever the centres say. Other tools omit
    // centres (the edges' midpoints seldom give the edges back), a layout no
    // positions reproduce keeps its centres inside its bands, and a centre
    // off the scale reads as absent (its positions come back from the
    // conversion). Positions that give the edges' splits stay as loaded.
    if (n >= 2) {
        if (const std::optional<std::vector<int32_t>> splits = splitsFromEdges(atPosition)) {
            if (*splits != velocitySplits || std::any_of(atPosition.begin(), atPosition.end(),
                                                          [](const fmt::BandDef* e) { return centreOffScale(*e); })) {
                const BandLayout layout = layoutKeepingSplits(*splits);
                for (size_t i = 0; i < n && i < layout.positions.size(); ++i) bands[i].levelPosition = layout.positions[i];
                syncLevelPositions();
                velocitySplits = *splits;
            }
        }
    }

    samples.reserve(model.samples.size());
    uidIndex.reserve(model.samples.size());
    const uint64_t bandTotal = bands.size();
    for (size_t r = 0; r < model.samples.size(); ++r) {
        const fmt::SmplEntry& row = model.samples[r];
        EditSample record;
        record.uid = row.uid;
        record.name = row.name.value_or(std::string());
        record.layerIndex = firstIndexWithKey(layers, row.layer);
        record.articulationIndex = firstIndexWithKey(articulations, row.articulation);
        record.key13Value = row.rms ? *row.rms : row.peak.value_or(0.0);
        record.hitLevel = fmt::readHitLevelExt(row);
        if (row.plain_hash) {
            record.plainHash = *row.plain_hash;
            record.plainHashPresent = 1;
        }
        record.roomLinks = fmt::readExtUintTriple(row).value_or(std::array<uint64_t, 3>{});
        record.sortLock = fmt::readSortLockExt(row) ? 1 : 0;
        record.anchored = 1;
        record.key14Value = row.opaque_float_14.value_or(0.0);
        record.key15Value = row.opaque_float_15.value_or(0.0);
        record.muted = row.muted.value_or(false) ? 1 : 0;
        record.soloed = row.soloed.value_or(false) ? 1 : 0;
        record.sampleRate = row.sample_rate.value_or(44100);
        record.bits = row.bits.value_or(16);
        record.channels = row.channels.value_or(1);
        record.frames = row.frames.value_or(0);
        record.regionStart = row.playback_start.value_or(0);
        record.regionEnd = row.playback_end.value_or(record.frames);
        record.regionEdited = 0;
        record.recordIndex = static_cast<int32_t>(r);
        // The band whose id the row names; a number that names none is
        // clamped as a position, as the stored 64-bit value (narrowing first
        // would turn 2^32 + 1 into band 1).
        // The clamp counts in id order, as the file numbered its bands.
        const uint64_t named = row.band.value_or(1);
        auto byName = positionOfId.find(named);
        if (byName == positionOfId.end() && n > 0) {
            const size_t rank = static_cast<size_t>(std::clamp<uint64_t>(named, 1, bandTotal) - 1);
            byName = positionOfId.find(byIdOrder[rank]->id);
        }
        const int32_t bandId = bandOrder[byName != positionOfId.end() ? byName->second : 0];

        maxUid = std::max(maxUid, record.uid);
        samples.push_back(std::move(record));
        EditSample& stored = samples.back();
        // A repeated uid keeps its row (record and row indices stay aligned)
        // but only its first row is live: one uid, one sample.
        if (!uidIndex.emplace(stored.uid, static_cast<int32_t>(r)).second) continue;
        placeSample(stored, bandId, nextPositionKey);
        ++liveSampleCount;
    }
    nextUid = std::max(meta.next_uid, maxUid == std::numeric_limits<uint64_t>::max() ? maxUid : maxUid + 1);

    ++layoutRevision;
    ++changeCounter;
    ++generation;
    ++structureRevision;
    savedChangeCounter = changeCounter;
    return true;
}

void EditDocument::initDefault() {
    reset();
    name = "Untitled";
    layers.push_back(directLayer());
    articulations.push_back(centerArticulation());
    for (const char* bandName : {"Ghost", "Soft", "Medium", "Hard"}) {
        EditBand band;
        band.id = nextBandId++;
        band.name = bandName;
        band.levelPosition = 0.0;
        bandOrder.push_back(band.id);
        bands.push_back(std::move(band));
    }
    syncLevelPositions();
    velocitySplits = {34, 68, 100};
    nextUid = 1;
    ++layoutRevision;
    ++changeCounter;
    ++generation;
    ++structureRevision;
    savedChangeCounter = changeCounter;

    const BandLayout layout = splitsToLevelPositions(velocitySplits);
    for (size_t i = 0; i < bands.size() && i < layout.positions.size(); ++i) bands[i].levelPosition = layout.positions[i];
    if (!layout.splits.empty()) velocitySplits = layout.splits;
    syncLevelPositions();
}

} // namespace vt6::ui::zemedit::logic
