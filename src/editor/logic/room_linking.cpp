#include "editor/logic/room_linking.hpp"

#include <algorithm>

namespace vt6::ui::zemedit::logic {

using fmt::SmplEntry;
using fmt::Zem6Model;

namespace {

constexpr int32_t kUnassignedSlot = 6;

bool isSeparator(char c) noexcept { return c == ' ' || c == '-' || c == '.' || c == '_'; }

bool boundaryAt(std::string_view text, size_t position) noexcept {
    return position >= text.size() || isSeparator(text[position]);
}

bool wordAt(std::string_view text, size_t position, std::string_view word) noexcept {
    return position <= text.size() && text.size() - position >= word.size() &&
           text.substr(position, word.size()) == word;
}

std::optional<size_t> wholeWordAt(std::string_view text, size_t position, std::string_view word) {
    if (wordAt(text, position, word) && boundaryAt(text, position + word.size())) return position + word.size();
    return std::nullopt;
}

std::optional<size_t> roomLabelAt(std::string_view text, size_t position) {
    if (!wordAt(text, position, "room")) return std::nullopt;
    const size_t end = position + 4;
    size_t next = end;
    // A "." is a separator but never joins "room" to its letter.
    while (next < text.size() && (text[next] == ' ' || text[next] == '_' || text[next] == '-')) ++next;
    if (next < text.size() && std::string_view("abc123").find(text[next]) != std::string_view::npos &&
        boundaryAt(text, next + 1)) {
        return next + 1;
    }
    if (end == text.size() || text[end] == '.') return end;
    // Leave the last separator after the label so the next word stays apart.
    if (next > end) return next - 1;
    return std::nullopt;
}

size_t sampleIndexOf(const Zem6Model& model, const SmplEntry* sample) {
    return static_cast<size_t>(sample - model.samples.data());
}

} // namespace

LayerSlotMap buildLayerSlotMap(const Zem6Model& model) {
    LayerSlotMap map;
    for (const fmt::LayerDef& layer : model.metadata.layers) {
        const uint64_t slot = layer.slot.value_or(kUnassignedSlot);
        map[layer.id] = slot <= 3 ? static_cast<int32_t>(slot) : -1;
    }
    return map;
}

int32_t layerSlotOf(const LayerSlotMap& layers, const SmplEntry& sample) {
    const auto found = layers.find(sample.layer.value_or(1));
    return found == layers.end() ? 0 : found->second;
}

const SmplEntry* RoomLinkIndex::findSample(const LayerSlotMap& layers, uint64_t uid, int wantedSlot) const {
    const auto found = byUid.find(uid);
    if (found == byUid.end() || layerSlotOf(layers, *found->second) != wantedSlot) return nullptr;
    return found->second;
}

RoomLinkIndex buildDirectSampleIndex(const Zem6Model& model, const LayerSlotMap& layers) {
    RoomLinkIndex index;
    for (const SmplEntry& sample : model.samples) index.byUid[sample.uid] = &sample;
    for (const SmplEntry& sample : model.samples) {
        if (layerSlotOf(layers, sample) != 0) continue;
        index.byStem[{sample.articulation.value_or(1), nameStem(fmt::nameOrEmpty(sample.name))}].push_back(&sample);
    }
    return index;
}

const SmplEntry* findUniqueDirectMatch(const RoomLinkIndex& index, const SmplEntry& roomSample) {
    const auto found =
        index.byStem.find({roomSample.articulation.value_or(1), nameStem(fmt::nameOrEmpty(roomSample.name))});
    if (found == index.byStem.end() || found->second.size() != 1) return nullptr;
    return found->second.front();
}

std::optional<size_t> matchMicLabel(std::string_view lowered, size_t position) {
    if (position > lowered.size()) return std::nullopt;
    if (auto end = wholeWordAt(lowered, position, "direct")) return end;
    if (auto end = wholeWordAt(lowered, position, "close")) return end;
    if (auto end = roomLabelAt(lowered, position)) return end;
    if (auto end = wholeWordAt(lowered, position, "oh")) return end;
    if (auto end = wholeWordAt(lowered, position, "overheads")) return end;
    return wholeWordAt(lowered, position, "overhead");
}

std::string nameStem(std::string_view name) {
    std::string lowered(name);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }

    std::string removed;
    removed.reserve(lowered.size());
    size_t i = 0;
    while (i < lowered.size()) {
        std::optional<size_t> label;
        if (i == 0) label = matchMicLabel(lowered, 0);
        if (!label && isSeparator(lowered[i])) label = matchMicLabel(lowered, i + 1);
        if (label) {
            removed.push_back(' ');
            // A label always ends past where it was looked for, so this moves on.
            i = std::max(*label, i + 1);
        } else {
            removed.push_back(lowered[i]);
            ++i;
        }
    }

    std::string out;
    out.reserve(removed.size());
    for (char c : removed) {
        if (isSeparator(c)) {
            if (!out.empty() && out.back() != ' ') out.push_back(' ');
            // A leading run is dropped here already.
        } else {
            out.push_back(c);
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

SourceLayerSlots::SourceLayerSlots(const Zem6Model& source) {
    std::unordered_map<uint64_t, uint64_t> layerSlots;
    layerSlots.reserve(source.metadata.layers.size());
    for (const fmt::LayerDef& layer : source.metadata.layers) layerSlots.emplace(layer.id, layer.slot.value_or(kUnassignedSlot));
    sampleSlots_.reserve(source.samples.size());
    for (const SmplEntry& sample : source.samples) {
        uint64_t slot = kUnassignedSlot;
        if (sample.layer) {
            const auto found = layerSlots.find(*sample.layer);
            if (found != layerSlots.end()) slot = found->second;
        }
        sampleSlots_.emplace(sample.uid, slot);
    }
}

bool SourceLayerSlots::isOtherLayer(const SmplEntry& sample, int slot) const {
    const auto found = sampleSlots_.find(sample.uid);
    if (found == sampleSlots_.end() || slot < 0) return true;
    return found->second != static_cast<uint64_t>(slot);
}

std::vector<std::string> linkRoomSamples(Zem6Model& model, const LayerSlotMap& layers,
                                         const IsOtherLayer& isOtherLayer) {
    std::vector<std::string> unlinked;

    // Only a room sample that moved, or a direct sample that did while some
    // room sample stayed, can need a new link.
    bool directChanged = false;
    bool roomChanged = false;
    bool roomUnchanged = false;
    for (const SmplEntry& sample : model.samples) {
        const int32_t slot = layerSlotOf(layers, sample);
        if (slot == 0) {
            if (isOtherLayer(sample, 0)) directChanged = true;
        } else if (slot >= 1 && slot <= 3) {
            (isOtherLayer(sample, slot) ? roomChanged : roomUnchanged) = true;
        }
    }
    if (!roomChanged && !(roomUnchanged && directChanged)) return unlinked;

    const RoomLinkIndex index = buildDirectSampleIndex(model, layers);
    auto liveOnSlot = [&](uint64_t uid, int32_t slot) {
        return uid != 0 && index.findSample(layers, uid, slot) != nullptr;
    };

    std::unordered_map<uint64_t, std::array<uint64_t, 3>> triples;  // by direct uid
    std::vector<uint8_t> linked(model.samples.size(), 0);
    for (const SmplEntry& sample : model.samples) {
        if (layerSlotOf(layers, sample) != 0) continue;
        const std::optional<std::array<uint64_t, 3>> triple = fmt::readExtUintTriple(sample);
        if (!triple) continue;
        triples[sample.uid] = *triple;
        for (int32_t k = 0; k < 3; ++k) {
            const uint64_t uid = (*triple)[static_cast<size_t>(k)];
            if (const SmplEntry* room = uid != 0 ? index.findSample(layers, uid, k + 1) : nullptr) {
                linked[sampleIndexOf(model, room)] = 1;
            }
        }
    }

    std::vector<size_t> rewrite;  // direct samples to write, in order of first use
    std::vector<uint8_t> noted(model.samples.size(), 0);
    for (size_t i = 0; i < model.samples.size(); ++i) {
        SmplEntry& room = model.samples[i];
        const int32_t slot = layerSlotOf(layers, room);
        if (slot < 1 || slot > 3 || linked[i] != 0) continue;

        const SmplEntry* direct = findUniqueDirectMatch(index, room);
        const bool changed = isOtherLayer(room, slot);
        // An unchanged room sample only joins a direct sample that is itself
        // new on Direct.
        if (!changed && (direct == nullptr || !isOtherLayer(*direct, 0))) continue;
        if (direct == nullptr) {
            unlinked.push_back(fmt::nameOrRoomSample(room.name));
            continue;
        }
        std::array<uint64_t, 3>& triple = triples[direct->uid];
        uint64_t& place = triple[static_cast<size_t>(slot - 1)];
        if (liveOnSlot(place, slot)) {
            if (changed) unlinked.push_back(fmt::nameOrRoomSample(room.name));
            continue;
        }
        place = room.uid;
        room.room_owner_uid = direct->uid;
        linked[i] = 1;
        const size_t directIndex = sampleIndexOf(model, direct);
        if (noted[directIndex] == 0) {
            noted[directIndex] = 1;
            rewrite.push_back(directIndex);
        }
    }

    for (size_t directIndex : rewrite) {
        SmplEntry& direct = model.samples[directIndex];
        direct.setRoomLink(triples[direct.uid]);
    }
    return unlinked;
}

std::vector<std::string> linkPluginRoomSamples(Zem6Model& model, const Zem6Model& source) {
    const LayerSlotMap layers = buildLayerSlotMap(model);
    const SourceLayerSlots sourceSlots(source);
    return linkRoomSamples(model, layers,
                           [&sourceSlots](const SmplEntry& sample, int slot) { return sourceSlots.isOtherLayer(sample, slot); });
}

namespace {

std::string handPlacedNote(const SmplEntry& row) {
    return "Manually placed room sample " + fmt::nameOrRoomSample(row.name) +
           " must share its direct sample's dynamic group before saving.";
}

} // namespace

std::vector<RoomGroupMove> linkForPlayback(Zem6Model& model, const std::function<bool(uint64_t uid)>& handPlaced,
                                           std::vector<std::string>& notes) {
    const LayerSlotMap layers = buildLayerSlotMap(model);
    const RoomLinkIndex index = buildDirectSampleIndex(model, layers);
    std::map<uint64_t, std::array<uint64_t, 3>> links;    // direct uid -> its Room A, B, C uids
    std::map<uint64_t, std::vector<uint64_t>> directsOf;  // room uid -> its directs
    auto link = [&](uint64_t direct, int slot, uint64_t room) {
        links[direct][static_cast<size_t>(slot - 1)] = room;
        auto& list = directsOf[room];
        if (std::find(list.begin(), list.end(), direct) == list.end()) list.push_back(direct);
    };

    for (const SmplEntry& row : model.samples) {
        if (layerSlotOf(layers, row) != 0) continue;
        const auto triple = fmt::readExtUintTriple(row);
        if (!triple) continue;
        for (int k = 1; k <= 3; ++k) {
            const uint64_t room = (*triple)[static_cast<size_t>(k - 1)];
            if (room != 0 && index.findSample(layers, room, k) != nullptr) link(row.uid, k, room);
        }
    }
    for (const SmplEntry& row : model.samples) {
        const int slot = layerSlotOf(layers, row);
        if (slot < 1 || slot > 3 || !row.room_owner_uid) continue;
        const uint64_t direct = *row.room_owner_uid;
        if (index.findSample(layers, direct, 0) == nullptr) continue;
        const uint64_t taken = links[direct][static_cast<size_t>(slot - 1)];
        if (taken == 0 || taken == row.uid) link(direct, slot, row.uid);
    }
    for (SmplEntry& row : model.samples) row.removeExtension(kRoomLinksExtKey);

    auto bandOf = [&](uint64_t uid) -> std::optional<uint64_t> {
        const auto found = index.byUid.find(uid);
        return found == index.byUid.end() ? std::nullopt : found->second->band;
    };
    auto locked = [&](uint64_t uid) { return handPlaced && handPlaced(uid); };
    std::vector<RoomGroupMove> moves;
    for (SmplEntry& row : model.samples) {
        const int slot = layerSlotOf(layers, row);
        if (slot < 1 || slot > 3) continue;
        if (directsOf.find(row.uid) == directsOf.end()) {
            row.room_owner_uid.reset();
            const SmplEntry* direct = findUniqueDirectMatch(index, row);
            if (direct == nullptr || links[direct->uid][static_cast<size_t>(slot - 1)] != 0) {
                notes.push_back("No unique direct match for " + fmt::nameOrRoomSample(row.name));
                continue;
            }
            if (locked(row.uid) && row.band && direct->band && *row.band != *direct->band) {
                notes.push_back(handPlacedNote(row));
                continue;
            }
            link(direct->uid, slot, row.uid);
        }
        const std::vector<uint64_t>& directs = directsOf[row.uid];
        const std::optional<uint64_t> first = bandOf(directs.front());
        const bool agree = std::all_of(directs.begin(), directs.end(), [&](uint64_t d) { return bandOf(d) == first; });
        if (agree && row.band != first) {
            if (locked(row.uid)) {
                notes.push_back(handPlacedNote(row));
            } else {
                row.band = first;
                moves.push_back(RoomGroupMove{row.uid, directs.front()});
            }
        }
        if (!row.room_owner_uid ||
            std::find(directs.begin(), directs.end(), *row.room_owner_uid) == directs.end()) {
            row.room_owner_uid = directs.front();
        }
    }
    for (SmplEntry& row : model.samples) {
        const auto found = links.find(row.uid);
        if (found != links.end() && layerSlotOf(layers, row) == 0) row.setRoomLink(found->second);
    }
    return moves;
}

} // namespace vt6::ui::zemedit::logic
