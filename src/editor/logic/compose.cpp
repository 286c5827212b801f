#include "editor/logic/compose.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "analysis/drum_type.hpp"
#include "analysis/physical_records.hpp"
#include "editor/logic/band_layout.hpp"
#include "editor/logic/group_definitions.hpp"
#include "editor/logic/room_linking.hpp"
#include "format/sample_ext.hpp"

namespace vt6::ui::zemedit::logic {

using fmt::SmplEntry;
using fmt::Zem6Model;

namespace {

constexpr uint64_t kUnassignedSlot = 6;

bool isRoomSlot(int32_t slot) noexcept { return slot >= 1 && slot <= 3; }
bool isChannelSlot(int32_t slot) noexcept { return static_cast<uint32_t>(slot) <= 3; }

template <class T>
void setWhenDiffers(std::optional<T>& field, const T& value, const T& absentMeans) {
    if (field.value_or(absentMeans) != value) field = value;
}

// A NaN is always written; otherwise as setWhenDiffers with 0.0 (a stored
// NaN differs from every value).
void setRealWhenDiffers(std::optional<double>& field, double value) {
    if (std::isnan(value) || !(field.value_or(0.0) == value)) field = value;
}

const EditDef* defAt(const std::vector<EditDef>& defs, int32_t index) {
    return static_cast<uint32_t>(index) < defs.size() ? &defs[static_cast<size_t>(index)] : nullptr;
}

uint64_t bandNumberOf(const EditDocument& document, int32_t bandId) {
    const auto found = std::find(document.bandOrder.begin(), document.bandOrder.end(), bandId);
    return found == document.bandOrder.end() ? 0 : static_cast<uint64_t>(found - document.bandOrder.begin()) + 1;
}

bool isLive(const EditDocument& document, uint64_t uid) { return document.uidIndex.contains(uid); }

// Only when the stored ids are exactly 1..n in some order (and name the
// grid's bands in order) do the stored entries match the document's band
// numbers and can the list be kept as it is.
bool idsArePermutation(const std::vector<fmt::BandDef>& bands) {
    std::vector<uint8_t> seen(bands.size(), 0);
    for (const fmt::BandDef& band : bands) {
        if (band.id == 0 || band.id > bands.size() || seen[band.id - 1] != 0) return false;
        seen[band.id - 1] = 1;
    }
    return true;
}

// The document keeps n - 1 splits; should it not, they are derived from the
// band centres rather than read past the list.
std::vector<int32_t> documentSplits(const EditDocument& document) {
    const size_t n = document.bands.size();
    std::vector<int32_t> splits = document.velocitySplits;
    if (splits.size() + 1 != n && n > 0) {
        std::vector<double> positions;
        for (const EditBand& band : document.bands) positions.push_back(band.levelPosition);
        splits = levelPositionsToVelocitySplits(positions);
    }
    return splits;
}

std::vector<fmt::BandDef> composeBands(const EditDocument& document) {
    const size_t n = document.bands.size();
    const std::vector<int32_t> splits = documentSplits(document);

    std::vector<fmt::BandDef> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        const EditBand& band = document.bands[i];
        fmt::BandDef entry = band.sourceEntry.value_or(fmt::BandDef{});
        entry.id = i + 1;
        // Only a name made up on loading may stay out, and only while a
        // reopen makes up the same one; a name the user typed is stored as
        // typed, even when it reads like a made-up one.
        const bool keepsGeneratedName = band.sourceEntry && !band.sourceEntry->name && band.generatedName != 0 &&
                                        band.name == "Band " + std::to_string(i + 1);
        if (keepsGeneratedName) {
            entry.name.reset();
        } else {
            entry.name = band.name;
        }
        entry.low = i == 0 ? 0.0 : splits[i - 1] / 127.0;
        entry.high = i + 1 == n ? 1.0 : splits[i] / 127.0;
        fmt::removeBandCenterExt(entry.extensions);
        entry.extensions.push_back(fmt::makeCborFloatValue(band.levelPosition));
        fmt::sortExtensions(entry.extensions);
        out.push_back(std::move(entry));
    }
    return out;
}

// The stored entries one to one with the document's bands, unchanged but for
// their ids, which follow the grid's order as rows are numbered: the edges,
// centres and names stay as they were while no band changed. Empty when some
// band has no stored entry.
std::vector<fmt::BandDef> renumberedStoredBands(const EditDocument& document) {
    std::vector<fmt::BandDef> out;
    out.reserve(document.bands.size());
    for (const EditBand& band : document.bands) {
        if (!band.sourceEntry) return {};
        out.push_back(*band.sourceEntry);
        out.back().id = out.size();
    }
    return out;
}

// The stored list names the grid's band i by id i + 1 for every i.
bool storedIdsInGridOrder(const EditDocument& document) {
    for (size_t i = 0; i < document.bands.size(); ++i) {
        const EditBand& band = document.bands[i];
        if (!band.sourceEntry || band.sourceEntry->id != i + 1) return false;
    }
    return true;
}

fmt::LayerDef newLayerEntry(const EditDef& def) {
    fmt::LayerDef entry;
    entry.id = def.key;
    entry.name = def.name;
    entry.slot = kUnassignedSlot;
    return entry;
}

fmt::ArticulationDef newArticulationEntry(const EditDef& def) {
    fmt::ArticulationDef entry;
    entry.id = def.key;
    entry.name = def.name;
    return entry;
}

void composeDefinitions(const EditDocument& document, const Zem6Model& source, bool keepSlots,
                        const std::vector<int32_t>& slots, fmt::ModelMetadata& copy) {
    const std::vector<fmt::LayerDef>& sourceLayers = source.metadata.layers;
    const std::vector<fmt::ArticulationDef>& sourceArticulations = source.metadata.articulations;
    auto slotOf = [&slots](size_t index) { return index < slots.size() ? slots[index] : -1; };

    if (document.defsEdited != 0) {
        std::vector<fmt::LayerDef> layers;
        for (int32_t k : document.defOrder(true)) {
            const EditDef& def = document.layers[static_cast<size_t>(k)];
            const bool fromSource = static_cast<uint32_t>(def.sourceIndex) < sourceLayers.size();
            fmt::LayerDef entry = fromSource ? sourceLayers[static_cast<size_t>(def.sourceIndex)] : newLayerEntry(def);
            entry.id = def.key;
            applyLayerLevel(entry, def, fromSource);
            if (!keepSlots) applyLayerSlot(entry, def, fromSource, slotOf(static_cast<size_t>(k)));
            layers.push_back(std::move(entry));
        }
        std::vector<fmt::ArticulationDef> articulations;
        for (int32_t k : document.defOrder(false)) {
            const EditDef& def = document.articulations[static_cast<size_t>(k)];
            fmt::ArticulationDef entry = static_cast<uint32_t>(def.sourceIndex) < sourceArticulations.size()
                                             ? sourceArticulations[static_cast<size_t>(def.sourceIndex)]
                                             : newArticulationEntry(def);
            entry.id = def.key;
            articulations.push_back(std::move(entry));
        }
        copy.layers = std::move(layers);
        copy.articulations = std::move(articulations);
        return;
    }

    for (size_t i = 0; i < document.layers.size(); ++i) {
        const EditDef& def = document.layers[i];
        if (static_cast<uint32_t>(def.sourceIndex) >= copy.layers.size()) continue;
        fmt::LayerDef& entry = copy.layers[static_cast<size_t>(def.sourceIndex)];
        applyLayerLevel(entry, def, true);
        if (!keepSlots) applyLayerSlot(entry, def, true, slotOf(i));
    }
    for (size_t j = sourceLayers.size(); j < document.layers.size(); ++j) {
        const EditDef& def = document.layers[j];
        fmt::LayerDef entry = newLayerEntry(def);
        applyLayerLevel(entry, def, false);
        if (!keepSlots) applyLayerSlot(entry, def, false, slotOf(j));
        copy.layers.push_back(std::move(entry));
    }
    for (size_t j = sourceArticulations.size(); j < document.articulations.size(); ++j) {
        copy.articulations.push_back(newArticulationEntry(document.articulations[j]));
    }
}

void writeIdentity(SmplEntry& row, const EditDocument& document, const EditSample& s, bool isNew) {
    const EditDef* layer = defAt(document.layers, s.layerIndex);
    const EditDef* articulation = defAt(document.articulations, s.articulationIndex);
    const uint64_t band = bandNumberOf(document, s.bandId);
    if (isNew) {
        if (layer != nullptr) row.layer = layer->key;
        if (articulation != nullptr) row.articulation = articulation->key;
        row.band = band;
        return;
    }
    if (layer != nullptr) setWhenDiffers(row.layer, layer->key, uint64_t{0});
    if (articulation != nullptr) setWhenDiffers(row.articulation, articulation->key, uint64_t{0});
    setWhenDiffers(row.band, band, uint64_t{1});
}

void writeAudio(SmplEntry& row, const EditSample& s) {
    row.sample_rate = s.sampleRate;
    row.bits = s.bits;
    row.channels = s.channels;
    row.frames = s.frames;
    row.rms = s.key13Value;
    row.audi_uid = s.uid;
    row.codec = 0;
    row.audt_uid.reset();
}

// Key 20, then the hit level (whose record binds the audio identity just
// written), then the sort lock.
void writeMeasurements(SmplEntry& row, const EditSample& s) {
    row.plain_hash = s.plainHashPresent != 0 ? std::optional<fmt::Digest128>(s.plainHash) : std::nullopt;
    fmt::writeHitLevelExt(row, s.hitLevel);
    row.setFlagExt(s.sortLock != 0);
}

void updateExistingRow(SmplEntry& row, const EditDocument& document, const EditSample& s) {
    if (!s.name.empty() && row.name.value_or(std::string()) != s.name) row.name = s.name;
    writeIdentity(row, document, s, false);
    if (s.audioRevision != s.savedAudioRevision) writeAudio(row, s);
    setRealWhenDiffers(row.opaque_float_14, s.key14Value);
    setRealWhenDiffers(row.opaque_float_15, s.key15Value);
    setWhenDiffers(row.muted, s.muted != 0, false);
    setWhenDiffers(row.soloed, s.soloed != 0, false);
    setWhenDiffers(row.playback_start, s.regionStart, uint64_t{0});
    setWhenDiffers(row.playback_end, s.regionEnd, s.frames);
}

SmplEntry newRow(const EditDocument& document, const EditSample& s) {
    SmplEntry row;
    row.uid = s.uid;
    if (!s.name.empty()) row.name = s.name;
    writeIdentity(row, document, s, true);
    writeAudio(row, s);
    if (std::isnan(s.key14Value) || s.key14Value != 0.0) row.opaque_float_14 = s.key14Value;
    if (std::isnan(s.key15Value) || s.key15Value != 0.0) row.opaque_float_15 = s.key15Value;
    if (s.muted != 0) row.muted = true;
    if (s.soloed != 0) row.soloed = true;
    if (s.regionStart != 0) row.playback_start = s.regionStart;
    if (s.regionEnd != s.frames) row.playback_end = s.regionEnd;
    writeMeasurements(row, s);
    fmt::sortExtensions(row.extensions);
    return row;
}

// Removes links to samples that are gone: a room sample's key 21 and the
// places of a direct sample's key 26.
void cleanLinks(Zem6Model& model, const EditDocument& document) {
    for (SmplEntry& row : model.samples) {
        if (row.room_owner_uid && !isLive(document, *row.room_owner_uid)) row.room_owner_uid.reset();
        std::optional<std::array<uint64_t, 3>> triple = fmt::readExtUintTriple(row);
        if (!triple) continue;
        bool changed = false;
        for (uint64_t& uid : *triple) {
            if (uid != 0 && !isLive(document, uid)) {
                uid = 0;
                changed = true;
            }
        }
        if (changed) row.setRoomLink(*triple);
    }
}

std::vector<fmt::HistogramEntry> countBy(const Zem6Model& model, std::optional<uint64_t> SmplEntry::*field) {
    std::map<uint64_t, uint64_t> counts;
    for (const SmplEntry& row : model.samples) ++counts[(row.*field).value_or(0)];
    std::vector<fmt::HistogramEntry> out;
    out.reserve(counts.size());
    for (const auto& [id, count] : counts) out.push_back(fmt::HistogramEntry{id, count});
    return out;
}

} // namespace

void applyLayerLevel(fmt::LayerDef& entry, const EditDef& def, bool fromSource) {
    if (!def.userLevel) return;
    double current = 1.0;
    if (fromSource) {
        if (entry.level) {
            current = *entry.level;
        } else if (entry.slot && *entry.slot >= 1 && *entry.slot <= 3) {
            current = 0.0;
        }
    }
    if (!sameDouble(*def.userLevel, current)) entry.level = *def.userLevel;
}

void applyLayerSlot(fmt::LayerDef& entry, const EditDef& def, bool fromSource, int32_t slot) {
    if (fromSource) {
        if (!(def.fileSlot && *def.fileSlot == kUnassignedSlot && isChannelSlot(slot))) return;
        entry.slot = static_cast<uint64_t>(slot);
    } else {
        entry.slot = isChannelSlot(slot) ? static_cast<uint64_t>(slot) : kUnassignedSlot;
    }
    if (isRoomSlot(slot) && !entry.level) entry.level = def.userLevel.value_or(1.0);
}

std::vector<fmt::HistogramEntry> countSamplesByBand(const Zem6Model& model) { return countBy(model, &SmplEntry::band); }
std::vector<fmt::HistogramEntry> countSamplesByArticulation(const Zem6Model& model) {
    return countBy(model, &SmplEntry::articulation);
}
std::vector<fmt::HistogramEntry> countSamplesByLayer(const Zem6Model& model) { return countBy(model, &SmplEntry::layer); }

fmt::Result<Zem6Model> composeModel(const EditDocument& document, const Zem6Model& source, bool keepSlots,
                                    std::vector<std::string>* unlinked) {
    // Rows of the source by uid, taken before any row goes.
    std::unordered_set<uint64_t> sourceUids;
    sourceUids.reserve(source.samples.size());
    for (const SmplEntry& row : source.samples) sourceUids.insert(row.uid);

    std::vector<const EditSample*> added;
    {
        std::unordered_set<uint64_t> taken;
        for (size_t i = 0; i < document.samples.size(); ++i) {
            const EditSample& s = document.samples[i];
            const auto live = document.uidIndex.find(s.uid);
            if (live == document.uidIndex.end() || static_cast<size_t>(live->second) != i) continue;
            if (sourceUids.contains(s.uid) || !taken.insert(s.uid).second) continue;
            added.push_back(&s);
        }
    }

    // One copy of the source, with room for the new rows and their PEAK
    // rows, so appending them moves nothing.
    Zem6Model copy;
    copy.samples.reserve(source.samples.size() + added.size());
    if (!source.peaks.empty()) {
        copy.peaks.reserve(source.peaks.size() + added.size() * 2 * static_cast<size_t>(source.points_per_sample));
    }
    copy = source;
    const std::vector<int32_t> slots = keepSlots ? std::vector<int32_t>{} : document.layerSlots(false);
    fmt::clearPhysicalAnalysis(copy);
    fmt::ModelMetadata& md = copy.metadata;
    md.next_uid = document.nextUid;

    if (fmt::parseDrumType(source.metadata.drum_type.value_or(std::string())) != document.drumType) {
        md.drum_type = std::string(fmt::drumTypeName(document.drumType));
    }

    // Rows are numbered by grid position; a stored list that numbers its
    // bands otherwise (a converted legacy kit counts loudest first, other
    // tools use any ids) is renumbered, its entries kept as stored while no
    // band changed.
    bool bandsRenumbered = false;
    const bool keepStored = document.bandsEdited == 0 && source.metadata.dynamics.size() == document.bands.size() &&
                            idsArePermutation(source.metadata.dynamics) && storedIdsInGridOrder(document);
    if (!keepStored) {
        std::vector<fmt::BandDef> stored = document.bandsEdited == 0 ? renumberedStoredBands(document)
                                                                     : std::vector<fmt::BandDef>{};
        md.dynamics = stored.empty() ? composeBands(document) : std::move(stored);
        bandsRenumbered = true;
    }
    composeDefinitions(document, source, keepSlots, slots, md);

    const size_t peakRowBytes = 2 * static_cast<size_t>(copy.points_per_sample);
    auto peakRowInside = [&](size_t row) {
        return peakRowBytes != 0 && (row + 1) * peakRowBytes <= copy.peaks.size();
    };

    for (size_t r = 0; r < copy.samples.size(); ++r) {
        SmplEntry& row = copy.samples[r];
        const EditSample* s = document.sampleByUid(row.uid);
        if (s == nullptr) continue;
        updateExistingRow(row, document, *s);
        if (s->audioRevision != s->savedAudioRevision && !copy.peaks.empty() && peakRowInside(r)) {
            std::fill_n(copy.peaks.begin() + static_cast<ptrdiff_t>(r * peakRowBytes), peakRowBytes, uint8_t{0});
        }
    }
    for (SmplEntry& row : copy.samples) {
        if (const EditSample* s = document.sampleByUid(row.uid)) writeMeasurements(row, *s);
    }

    const bool dropped = std::any_of(copy.samples.begin(), copy.samples.end(),
                                     [&](const SmplEntry& row) { return !isLive(document, row.uid); });
    const bool rowsChanged = dropped || !added.empty();
    if (rowsChanged && !copy.peaks.empty() && peakRowBytes != 0) {
        // Each kept row takes its own PEAK row along, so the table holds
        // exactly one row per kept sample; a short table is filled with
        // zero bytes. Compacted in place: a kept row only ever moves towards
        // the front. When no row comes or goes the bytes stay as read.
        const size_t rows = copy.samples.size();
        if (copy.peaks.size() < rows * peakRowBytes) copy.peaks.resize(rows * peakRowBytes, 0);
        size_t kept = 0;
        for (size_t r = 0; r < rows; ++r) {
            if (!isLive(document, copy.samples[r].uid)) continue;
            if (kept != r) {
                std::memmove(copy.peaks.data() + kept * peakRowBytes, copy.peaks.data() + r * peakRowBytes,
                             peakRowBytes);
            }
            ++kept;
        }
        copy.peaks.resize(kept * peakRowBytes);
    }
    if (dropped) std::erase_if(copy.samples, [&](const SmplEntry& row) { return !isLive(document, row.uid); });

    for (const EditSample* s : added) copy.samples.push_back(newRow(document, *s));
    if (!copy.peaks.empty()) copy.peaks.resize(copy.peaks.size() + added.size() * peakRowBytes, 0);

    if (rowsChanged) cleanLinks(copy, document);

    if (!keepSlots) {
        std::vector<std::string> names = linkPluginRoomSamples(copy, source);
        if (unlinked != nullptr) *unlinked = std::move(names);
    }

    fmt::Summary& summary = copy.summary;
    if (summary.present) {
        if (rowsChanged || document.hasPendingAudio()) {
            summary.sample_count = copy.samples.size();
            uint64_t frames = 0;
            for (const SmplEntry& row : copy.samples) frames += row.frames.value_or(0);
            summary.total_frames = frames;
        }
        if (document.defsEdited != 0 || document.bandsEdited != 0 || rowsChanged || bandsRenumbered) {
            summary.band_histogram = countSamplesByBand(copy);
            summary.articulation_histogram = countSamplesByArticulation(copy);
            summary.layer_histogram = countSamplesByLayer(copy);
        }
    }
    return copy;
}

void fitBandEdgesToRows(Zem6Model& model, const EditDocument& document) {
    std::vector<fmt::BandDef>& entries = model.metadata.dynamics;
    const size_t n = document.bands.size();
    if (n < 2 || entries.size() != n) return;
    // Composition names band position i by id i + 1, also in a stored list it
    // kept, and rows carry the id of their band.
    std::vector<uint8_t> drop(n, 1);
    for (const SmplEntry& row : model.samples) {
        const uint64_t id = row.band.value_or(1);
        if (id >= 1 && id <= n) drop[id - 1] = 0;
    }
    const size_t dropped = static_cast<size_t>(std::count(drop.begin(), drop.end(), uint8_t{1}));
    if (dropped == 0 || dropped == n) return;
    // The document's own layout, never the stored centres: a centre off the
    // 0..1 scale reads as absent there and would move the splits.
    const BandLayout layout = layoutWithoutBands(documentSplits(document), drop);
    const size_t kept = n - dropped;
    if (layout.positions.size() != kept || layout.splits.size() + 1 != kept) return;
    std::vector<size_t> rank(n, 0);
    for (size_t i = 0, k = 0; i < n; ++i) {
        if (drop[i] == 0) rank[i] = k++;
    }
    for (fmt::BandDef& entry : entries) {
        if (entry.id < 1 || entry.id > n || drop[entry.id - 1] != 0) continue;
        const size_t k = rank[entry.id - 1];
        // A band left without a name is named on reopening by its place,
        // which the dropped bands change: the name the editor showed is
        // written when it would not come back.
        const EditBand& band = document.bands[entry.id - 1];
        if (!entry.name && band.name != "Band " + std::to_string(k + 1)) entry.name = band.name;
        entry.low = k == 0 ? 0.0 : layout.splits[k - 1] / 127.0;
        entry.high = k + 1 == kept ? 1.0 : layout.splits[k] / 127.0;
        fmt::removeBandCenterExt(entry.extensions);
        entry.extensions.push_back(fmt::makeCborFloatValue(layout.positions[k]));
        fmt::sortExtensions(entry.extensions);
    }
}

fmt::Result<Zem6Model> composeAndCheck(const EditDocument& document, const Zem6Model& source,
                                       std::vector<std::string>* unlinked) {
    ZEM_TRY_ASSIGN(Zem6Model composed, composeModel(document, source, false, unlinked));
    fitBandEdgesToRows(composed, document);
    ZEM_TRY_ASSIGN(IndexedModel checked, indexGroupDefinitions(composed));
    return std::move(checked.model);
}

} // namespace vt6::ui::zemedit::logic
