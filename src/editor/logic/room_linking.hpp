#pragma once
// Pairs room samples with the direct sample recorded at the same hit, by name:
// a room sample belongs to the direct sample of its articulation whose name is
// the same once the microphone words are taken out. Links live in the model:
// a room sample names its direct sample in key 21, a direct sample lists its
// Room A, B and C samples in extension key 26. The lower operations are also
// used by the shell's save, which runs a linking pass of its own.

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "format/mtad.hpp"
#include "format/sample_ext.hpp"

namespace vt6::ui::zemedit::logic {

inline constexpr uint64_t kRoomLinksExtKey = fmt::kRoomLinkExtKey;  // 26

// Layer id to channel slot: 0 Direct, 1 to 3 Room A to C, -1 any other
// stored slot (a layer without a slot counts as 6, so as -1). Of two entries
// with one id the later decides.
using LayerSlotMap = std::map<uint64_t, int32_t>;

LayerSlotMap buildLayerSlotMap(const fmt::Zem6Model& model);

// The slot of the sample's layer (key 3, default 1); 0 (Direct) when the
// layer is not in the map.
int32_t layerSlotOf(const LayerSlotMap& layers, const fmt::SmplEntry& sample);

// Lookups over one model's samples. Holds pointers into the model's sample
// list: the model must not gain or lose samples while the index is in use.
struct RoomLinkIndex {
    using StemKey = std::pair<uint64_t, std::string>;  // (articulation id, stem)

    // Direct samples by (articulation id, stem), in model order.
    std::map<StemKey, std::vector<const fmt::SmplEntry*>> byStem;
    // Every sample by uid; of repeated uids the later wins.
    std::map<uint64_t, const fmt::SmplEntry*> byUid;

    // The sample with that uid when its layer sits on wantedSlot, else null.
    const fmt::SmplEntry* findSample(const LayerSlotMap& layers, uint64_t uid, int wantedSlot) const;
};

RoomLinkIndex buildDirectSampleIndex(const fmt::Zem6Model& model, const LayerSlotMap& layers);

// The only direct sample with the room sample's articulation id (key 4,
// default 1) and stem; null when there is none or more than one.
const fmt::SmplEntry* findUniqueDirectMatch(const RoomLinkIndex& index, const fmt::SmplEntry& roomSample);

// The end of a microphone label starting at `position` of a lower-cased
// text ("direct", "close", "room" with an optional a/b/c/1/2/3, "oh",
// "overheads", "overhead"), each followed by the end of the text or a
// separator (space - . _); none when no label starts there.
std::optional<size_t> matchMicLabel(std::string_view lowered, size_t position);

// The name lower-cased (ASCII only), microphone labels removed, separator
// runs collapsed to one space, trimmed: "Kick_Room-A_Hard" gives "kick hard".
std::string nameStem(std::string_view name);

// Whether a sample was elsewhere in the model a document was opened from:
// false only when the source has the sample's uid and the sample's layer
// there stored exactly `slot` (a missing key 3 or unknown layer counts as
// 6). Of repeated layer ids or sample uids the first counts.
class SourceLayerSlots {
public:
    explicit SourceLayerSlots(const fmt::Zem6Model& source);
    bool isOtherLayer(const fmt::SmplEntry& sample, int slot) const;

private:
    std::unordered_map<uint64_t, uint64_t> sampleSlots_;
};

using IsOtherLayer = std::function<bool(const fmt::SmplEntry&, int)>;

// The linking pass: links room samples without a valid link to their unique
// direct match and returns the names ("room sample" when unnamed) of the
// changed room samples left unlinked, in model order. Valid links are never
// replaced. Touches only key 21 of room samples and key 26 of direct ones.
std::vector<std::string> linkRoomSamples(fmt::Zem6Model& model, const LayerSlotMap& layers,
                                         const IsOtherLayer& isOtherLayer);

// The linking pass over a composed model, judged against the model its
// document was opened from.
std::vector<std::string> linkPluginRoomSamples(fmt::Zem6Model& model, const fmt::Zem6Model& source);

// A room sample that a save puts into the dynamic group of its direct sample.
struct RoomGroupMove {
    uint64_t room = 0;    // uid of the room sample
    uint64_t direct = 0;  // uid of the direct sample whose group it joins

    bool operator==(const RoomGroupMove&) const = default;
};

// The shell's save linking over a model made for playback: links kept from
// direct samples (key 26), then from room samples (key 21), the rest matched
// by name; a linked room sample whose directs all sit in one other dynamic
// group joins that group (key 5 changed in the model). A room sample without
// a unique free direct, or one placed by hand (`handPlaced`) away from its
// direct's group, gets a note instead. Returns the room samples it moved,
// in model order, so that the document can make the same moves.
std::vector<RoomGroupMove> linkForPlayback(fmt::Zem6Model& model, const std::function<bool(uint64_t uid)>& handPlaced,
                                           std::vector<std::string>& notes);

} // namespace vt6::ui::zemedit::logic
