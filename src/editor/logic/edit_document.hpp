#pragma once
// The editor's working copy of one zem file: room channels (layers),
// articulations, dynamic groups (bands) and samples, the page and selection,
// and the revision counters through which the interface and the undo
// machinery notice change. Content changes only through commands; removed
// samples keep their records so undo can restore them in place.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "analysis/auto_placement.hpp"
#include "analysis/auto_sort.hpp"
#include "editor/logic/group_index.hpp"
#include "editor/logic/history.hpp"
#include "editor/logic/uid_map.hpp"
#include "format/checksum.hpp"
#include "format/hit_level.hpp"
#include "format/mtad.hpp"

namespace vt6::ui::zemedit::logic {

using fmt::HitLevel;
using fmt::SortPlacement;

class ZemEditDataSource;

// One layer or articulation; articulations use key, name and sourceIndex.
struct EditDef {
    uint64_t key = 0;          // identity and display order (ascending)
    std::string name;
    int32_t sourceIndex = -1;  // entry in the source model's table, -1 none
    uint8_t isRoom = 0;
    std::optional<uint64_t> fileSlot;
    std::optional<double> fileLevel;
    std::optional<double> userLevel;  // wins over fileLevel
    std::optional<uint64_t> assignedSlot;
    uint8_t shown = 0;

    bool operator==(const EditDef&) const = default;
};

struct EditBand {
    int32_t id = 0;  // never reused within one document
    std::string name;
    double levelPosition = 0.0;  // centre on the 0..1 hit-level scale
    GroupIndex groups;
    std::optional<fmt::BandDef> sourceEntry;
    // 1: the name was made up on loading (the entry had none) and may be
    // left out when saving; a name the user typed is always stored.
    uint8_t generatedName = 0;
};

struct EditSample {
    uint64_t uid = 0;
    std::string name;
    int32_t layerIndex = 0;
    int32_t articulationIndex = 0;
    int32_t bandId = 0;
    uint64_t positionKey = 0;
    double key13Value = 0.0;
    HitLevel hitLevel;
    fmt::Digest128 plainHash{};
    uint8_t plainHashPresent = 0;
    std::array<uint64_t, 3> roomLinks{};
    uint8_t sortLock = 0;
    uint8_t anchored = 1;
    double key14Value = 0.0;
    double key15Value = 0.0;
    uint8_t muted = 0;
    uint8_t soloed = 0;
    uint64_t sampleRate = 44100;
    uint64_t bits = 16;
    uint64_t channels = 1;
    uint64_t frames = 0;
    uint64_t regionStart = 0;
    uint64_t regionEnd = 0;
    uint8_t regionEdited = 0;
    int32_t recordIndex = 0;
    uint32_t audioRevision = 0;
    uint32_t savedAudioRevision = 0;

    bool operator==(const EditSample&) const = default;
};

// Valid for the indexes: version 1, measured, not cancelled (a refused
// measurement is valid; it just has no usable level).
bool hitLevelValid(const HitLevel& level) noexcept;

// The audio fields of a sample that ReplaceAudioCmd swaps.
struct SampleAudioState {
    uint64_t sampleRate = 44100;
    uint64_t bits = 16;
    uint64_t channels = 1;
    uint64_t frames = 0;
    double key13Value = 0.0;
    uint32_t audioRevision = 0;
    uint64_t regionStart = 0;
    uint64_t regionEnd = 0;
    fmt::Digest128 plainHash{};
    uint8_t plainHashPresent = 0;
    HitLevel hitLevel;

    bool operator==(const SampleAudioState&) const = default;
};

struct AddSampleRequest {
    std::string name;
    int32_t layerIndex = 0;
    int32_t articulationIndex = 0;
    int32_t bandIndex = 0;
    double key13Value = 0.0;
    uint64_t sampleRate = 44100;
    uint64_t bits = 16;
    uint64_t channels = 1;
    uint64_t frames = 0;
    std::vector<uint8_t> payload;
    HitLevel hitLevel;
    uint8_t sortLock = 0;
    uint8_t anchored = 0;
    fmt::Digest128 plainHash{};
    uint8_t plainHashPresent = 0;
    std::array<uint64_t, 3> roomLinks{};
};

// Result of nextRoomChannel: a room slot 1..3 and the hidden empty layer
// that carries it, or -1 when a new layer is needed.
struct RoomChannelChoice {
    int32_t slot = 0;
    int32_t layerIndex = -1;

    bool operator==(const RoomChannelChoice&) const = default;
};

class EditDocument {
public:
    // --- Content ---
    std::string name;
    uint8_t drumType = 5;  // unknown
    std::vector<EditDef> layers;
    std::vector<EditDef> articulations;
    std::vector<EditBand> bands;       // display order, softest first
    std::vector<int32_t> bandOrder;    // bandOrder[i] == bands[i].id
    int32_t nextBandId = 1;
    std::vector<int32_t> velocitySplits;  // n - 1 for n bands, in 1..126
    std::vector<double> levelPositions;
    uint8_t bandsEdited = 0;
    uint8_t samplesRemoved = 0;
    uint8_t defsEdited = 0;
    std::vector<EditSample> samples;   // live and removed records
    std::unordered_set<uint64_t> unmeasuredUids;

    // --- Counters and indexes ---
    uint64_t generation = 0;
    uint64_t structureRevision = 0;
    uint64_t indexedRevision = ~uint64_t{0};
    UidMap<SortPlacement> autoPlacement;
    UidMap<uint64_t> linkRoots;
    std::unordered_map<uint64_t, int32_t> uidIndex;  // live samples only
    uint64_t liveSampleCount = 0;
    uint64_t maxUid = 0;
    uint64_t nextUid = 1;
    uint64_t nextPositionKey = 1;

    // --- View state, set directly by the interface ---
    int32_t pageLayer = -1;
    int32_t pageArticulation = -1;
    uint64_t pageRevision = 0;
    std::unordered_set<uint64_t> selection;
    uint8_t allSelected = 0;
    uint64_t anchorUid = 0;
    int32_t dropBand = -1;
    int32_t dragBoundary = -1;
    std::vector<int32_t> dragSplits;
    uint64_t layoutRevision = 0;
    std::unordered_map<int32_t, uint64_t> bandViewCounters;
    std::vector<uint64_t> touchedUids;
    uint64_t changeCounter = 0;
    uint64_t savedChangeCounter = 0;

    ZemEditHistory history;
    ZemHistorySink* historySink = nullptr;  // not owned

    // Working arrays of rebuildIndexes, kept between rebuilds so that a
    // rebuild after an edit allocates almost nothing. No meaning outside it.
    struct IndexScratch {
        std::vector<std::pair<int32_t, int64_t>> bandPositions;  // (band id, position), by id
        std::vector<uint8_t> live;                               // per record
        std::vector<fmt::PlacementRow> rows;
        std::vector<SortPlacement> placements;
        fmt::PlacementWorkspace placement;
        std::vector<size_t> parent;
    };
    IndexScratch indexScratch;

    EditDocument() = default;
    EditDocument(const EditDocument&) = delete;
    EditDocument& operator=(const EditDocument&) = delete;

    void reset();
    // A copy of the content, indexes and view state, without the undo
    // history: what a save on another thread reads while this document
    // stays free to change.
    std::unique_ptr<EditDocument> snapshot() const;
    // Fills the document from the source's model and leaves it clean; always
    // true (a malformed model still loads through the fallbacks).
    bool load(const ZemEditDataSource& source);
    // The structure of a new library: "Direct", "CENTER" and four bands.
    void initDefault();
    // Runs the command through historySink, else the embedded history.
    bool execute(ZemCmdPtr command);
    bool dirty() const noexcept { return changeCounter != savedChangeCounter; }

    // --- Mutators used by the commands ---
    void placeSample(EditSample& record, int32_t bandId, uint64_t positionKey);
    void unplaceSample(EditSample& record);
    void syncLevelPositions();
    size_t setBandLayout(std::span<const int32_t> splits, std::span<const double> positions);
    void setHitLevel(uint64_t uid, const HitLevel& level);
    void markSaved();
    void acceptAudioRevisions();
    void rebindSource(const fmt::Zem6Model& model);

    // --- Helpers shared by the commands ---
    EditSample* liveRecord(uint64_t uid);
    EditBand* bandById(int32_t id);
    void touchUid(uint64_t uid);
    void touchBand(int32_t id);
    void touchAllBands();
    // Puts the uid into unmeasuredUids when it sits in a band and has no
    // valid level, else takes it out.
    void updateUnmeasured(const EditSample& record);

    // --- Queries ---
    uint64_t bandCount() const noexcept { return bands.size(); }
    std::vector<int32_t> defOrder(bool ofLayers) const;
    std::vector<int32_t> layerSlots(bool fillFree) const;
    std::optional<RoomChannelChoice> nextRoomChannel() const;
    std::vector<int32_t> layerSlotOrder(bool fillFree) const;
    double layerDefaultLevel(int32_t layer, bool includeRooms) const;
    const EditSample* sampleByUid(uint64_t uid) const;
    int32_t bandIndexOf(int32_t bandId) const;
    bool hasPendingAudio() const;
    HitLevel sampleLevels(uint64_t uid) const;
    void setPage(int32_t layer, int32_t articulation);
    int32_t bandSampleCount(int32_t bandIndex) const;
    void selectSample(uint64_t uid, bool range, bool add);
    uint64_t selectionCount() const;
    std::string selectionText() const;
    int32_t samplePosition(const EditSample& sample) const;
    std::string sampleLabel(const EditSample& sample, int32_t position) const;
    void selectRange(const EditSample& a, const EditSample& b);
    PageFilter pageFilter() const noexcept { return PageFilter{pageLayer, pageArticulation}; }

    // --- Sample edit operations (each builds one command) ---
    bool moveSamples(std::span<const uint64_t> uids, int32_t bandIndex);
    bool setMuted(uint64_t uid, bool value);
    bool setSoloed(uint64_t uid, bool value);
    // Refused, besides a bad band index, when no uid is left (uidsExhausted).
    bool addSample(const AddSampleRequest& request);
    // Uid 0 names no sample and a file's next uid must exceed every uid, so
    // a next uid of 0 or 2^64 - 1 leaves none to give.
    bool uidsExhausted() const noexcept { return nextUid == 0 || nextUid == ~uint64_t{0}; }
    // state.regionEnd 0 means state.frames.
    bool replaceAudio(uint64_t uid, const SampleAudioState& state);
    bool setSampleAudio(uint64_t uid, uint64_t regionStart, uint64_t regionEnd);

    // --- Band edit operations ---
    // Ends a split drag; commits dragSplits when they are n - 1 strictly
    // increasing values within 1..126 for n bands and differ from the
    // current splits.
    bool commitBounds();
    bool renameBand(int32_t bandIndex, const std::string& newName);
    bool setDrumType(uint8_t code);
    // Splits the widest band (at least 12 velocity steps) in two; the new
    // band "New" is its upper half.
    bool addBand();
    // Moves the band's samples to the band below it (above it for the first)
    // and drops the split between them.
    bool deleteBand(int32_t bandIndex);

    // --- Definition edit operations ---
    bool addLayer(const std::string& layerName);
    bool addRoomChannel();
    bool addArticulation();
    bool deleteDef(bool isLayer, uint32_t index);
    bool reorderDefs(bool isLayer, uint32_t moved, uint32_t target, bool after);
    // Only for the layer the control was made for (expectedKey), a finite
    // level within 0..1 that differs from layerDefaultLevel(includeRooms).
    bool setChannelLevel(int32_t layerIndex, uint64_t expectedKey, double level, bool includeRooms);

    // --- Document-wide edits ---
    // Some band holds no live sample, or some layer or articulation is used
    // by none.
    bool findEmptyGroups() const;
    // Removes every empty band, unused layer and unused articulation in one
    // undo step "Remove empty groups".
    bool pruneEmptyGroups();
    // Moves every sample whose automatic band differs from its band in one
    // "Move samples" step; with oneGroupOnly only the room-link group of the
    // first such sample. Does nothing while a sample is unmeasured.
    bool applyAutoSort(bool oneGroupOnly);

    // Recomputes every sample's automatic placement and the room-link
    // groups when structureRevision moved since the last call.
    void rebuildIndexes();
};

// True when equal or both NaN.
bool sameDouble(double a, double b) noexcept;
// "<0..100> %", non-finite values counting as 0.
std::string percentText(double value);

} // namespace vt6::ui::zemedit::logic
