#pragma once
// The editor's logic object: it owns the working document, the source the
// document was loaded from, the audio added or edited since it was opened,
// the measured levels and the editor's own save state. One per editor
// overlay, held in place (never copied or moved: the undo bridge keeps
// pointers into the document); message thread only.

#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio/sample_load.hpp"
#include "editor/logic/data_source.hpp"
#include "editor/logic/edit_document.hpp"
#include "editor/logic/save_writers.hpp"
#include "format/checksum.hpp"
#include "format/hit_level.hpp"
#include "format/mtad.hpp"
#include "format/read_policy.hpp"
#include "format/writer.hpp"
#include "platform/file_info.hpp"

namespace vt6::ui::zemedit {

// Plays a sample as stored in its file: (path, uid).
using AuditionStoredFn = std::function<void(const std::string& path, uint64_t uid)>;
// Plays decoded audio: (interleaved floats, channels, sample rate).
using PlayPcmFn = std::function<void(std::span<const float> samples, int32_t channels, int32_t sampleRate)>;

} // namespace vt6::ui::zemedit

namespace vt6::ui::zemedit::logic {

// The part of a host's record that the opening reads. The editor interface's
// full record of the same name (with the host's callbacks) lives one layer up.
struct ZemEditDeps {
    std::string filePath;                             // empty: a new document
    std::shared_ptr<const fmt::Zem6Model> model;      // a converted legacy model, else none
    bool keepOwnDestination = false;                  // no host in this program sets it
    std::string destinationPath;                      // only with keepOwnDestination
    int32_t destinationKind = 0;                      // provenance badge of destinationPath
    std::string newFileFolder;                        // only with keepOwnDestination
    std::vector<float> sessionHitLevels;              // 0..1; the shell passes none
};


// Key of the level cache: the audio a level was measured on.
struct AudioIdentity {
    uint64_t uid = 0;
    uint32_t audioRevision = 0;
    uint64_t regionStart = 0;
    uint64_t regionEnd = 0;
    uint64_t frames = 0;
    uint64_t sampleRate = 0;
    uint64_t channels = 0;
    std::optional<fmt::Digest128> plainHash;  // absent orders first

    bool operator==(const AudioIdentity&) const = default;
};

// Negative, zero or positive, field by field in declaration order.
int compareAudioIdentity(const AudioIdentity& a, const AudioIdentity& b) noexcept;

struct AudioIdentityLess {
    bool operator()(const AudioIdentity& a, const AudioIdentity& b) const noexcept {
        return compareAudioIdentity(a, b) < 0;
    }
};

struct HitSortInput;
class PreparedPcm;

class ZemEditViewModel {
public:
    // Decoded audio kept in memory; made once, never changed, always shared.
    struct AddedPcm {
        std::vector<float> samples;  // interleaved, full scale 1.0
        int32_t channels = 0;
        int32_t sampleRate = 0;
    };

    // One version of an edited sample's audio.
    struct AudioVersion {
        std::vector<uint8_t> payload;  // complete encoded payload as it would be saved
        std::shared_ptr<const AddedPcm> pcm;
    };

    AuditionStoredFn auditionStored;
    PlayPcmFn playPcm;
    std::map<AudioIdentity, HitLevel, AudioIdentityLess> levelCache;
    // Raised each time the open document is closed: a job prepared under an
    // older value can no longer be applied.
    uint64_t sourceGeneration = 0;
    EditDocument document;
    std::array<uint32_t, 128> hitHistogram{};
    uint32_t hitHistogramMax = 0;
    std::vector<fmt::StagedPayload> addedPayloads;
    std::unordered_map<uint64_t, std::shared_ptr<const AddedPcm>> addedPcm;
    std::unordered_map<uint64_t, std::vector<AudioVersion>> audioVersions;
    std::unique_ptr<FileDataSource> fileSource;
    std::unique_ptr<LegacyModelDataSource> legacySource;
    std::unique_ptr<FileDataSource> supersededFileSource;
    std::unique_ptr<LegacyModelDataSource> supersededLegacySource;
    std::string undoSourcePath;
    // Holder of the undo copy's path; its deleter removes the copy.
    std::shared_ptr<const std::string> undoSourceFile;
    bool writtenAsNewPending = false;
    bool sourceForcesNew = false;
    int32_t openState = 0;  // 0 nothing opened yet, 1 a document is ready, 2 the last open failed
    EditStatus status;
    std::string destinationPath;
    int32_t destinationKind = 0;
    // Size and last-write time of the source's file, taken just before it was
    // opened: audio read from disk later is refused once they differ, so the
    // editor never takes another file's audio for a sample's.
    platform::FileInfo sourceFileInfo;

    ZemEditViewModel() = default;
    ~ZemEditViewModel();
    ZemEditViewModel(const ZemEditViewModel&) = delete;
    ZemEditViewModel& operator=(const ZemEditViewModel&) = delete;

    // Opens a current-format file and loads it; false leaves no source open,
    // the document as it was and status {3, the reader's message}.
    bool openFile(const std::string& path, const fmt::ReadPolicy& policy);
    // Adopts a model without a file behind it; both arguments are consumed.
    // A null model: false with status {3, "legacy conversion unavailable for
    // this zem"}.
    bool openLegacy(std::shared_ptr<const fmt::Zem6Model> model, std::string path);
    void newDocument();
    // The open file source, else the adopted model's source, else null.
    ZemEditDataSource* activeSource() const noexcept;
    // Drops everything that belongs to the open document except the document
    // itself, and raises sourceGeneration.
    void closeSource();

    // --- Sample audio (message thread) ---
    // A copy of the sample's whole current audio: its edited or added audio
    // from memory, else the complete stored audio from the source's file.
    fmt::Result<fmt::SampleAudio> sampleAudio(uint64_t uid) const;
    // sampleAudio in two halves, so that a long take is copied or decoded off
    // the message thread: the request names where the audio is (message
    // thread), loadSampleAudio reads it (any thread; it touches no view-model
    // state and fails as sampleAudio does when the file changed meanwhile).
    struct SampleAudioRequest {
        std::shared_ptr<const AddedPcm> pcm;  // set: a copy of this audio
        std::string path;                     // else: this file's sample
        fmt::SampleSelector selector;
        platform::FileInfo fileInfo;
    };
    fmt::Result<SampleAudioRequest> sampleAudioRequest(uint64_t uid) const;
    static fmt::Result<fmt::SampleAudio> loadSampleAudio(const SampleAudioRequest& request);
    // Gives the sample new audio as one undoable edit; regionEnd 0 means all
    // frames. The first replacement keeps the audio the sample had before as
    // version 0, so undo never needs the file again.
    bool replaceSampleAudio(uint64_t uid, std::vector<float> samples, int32_t channels, int32_t sampleRate,
                            uint64_t regionStart, uint64_t regionEnd);
    // The same in two halves, so that a long take's payload is built off the
    // message thread: prepareEdit (any thread, no view-model state) encodes
    // and measures; the overload below records it (message thread).
    struct PreparedEdit {
        std::vector<float> samples;
        int32_t channels = 0;
        int32_t sampleRate = 0;
        std::vector<uint8_t> payload;  // empty when the audio cannot be saved
        double rms = 0.0;
    };
    static PreparedEdit prepareEdit(std::vector<float> samples, int32_t channels, int32_t sampleRate);
    bool replaceSampleAudio(uint64_t uid, PreparedEdit prepared, uint64_t regionStart, uint64_t regionEnd);
    // Adds a sample made from decoded audio as one undoable edit; a negative
    // band index means the middle band. The uid of the new sample, else 0.
    uint64_t addSampleFromPcm(const std::string& sampleName, std::vector<float> samples, int32_t channels,
                              int32_t sampleRate, double rmsLevel, uint32_t layerIndex, uint32_t articulationIndex,
                              int32_t bandIndex, const HitLevel& level, bool sortLock);
    // The same for audio whose payload was made beforehand (preparePcmForAdd):
    // nothing is encoded or hashed here. The prepared audio is consumed.
    uint64_t addPreparedSample(const std::string& sampleName, PreparedPcm&& audio, double rmsLevel,
                               uint32_t layerIndex, uint32_t articulationIndex, int32_t bandIndex,
                               const HitLevel& level, bool sortLock);
    // Plays an unedited stored sample through auditionStored, anything else
    // through playPcm cut to its region; true when a callback got it.
    bool audition(uint64_t uid) const;
    // The payloads of added and edited audio the editor's own save hands to
    // the writer.
    std::vector<fmt::StagedPayload> addedPcmForSave() const;
    // The in-memory audio the sample has now, or null when it is on disk.
    std::shared_ptr<const AddedPcm> currentPcm(const EditSample& record) const;

    // --- The editor's own save (message thread) ---
    // A free file name, without extension, for the save dialog to propose.
    std::string copyDestination(const std::string& directory) const;
    // Saves into `directory` under `name` (empty: the current destination),
    // then prunes empty groups and marks the document saved.
    fmt::Result<SaveOutcome> save(const std::string& directory, const std::string& name);
    // Saves to a chosen path.
    fmt::Result<SaveOutcome> saveAs(const std::string& path);
    // Picks the writer by the data source and the save state; called by save.
    fmt::Result<SaveOutcome> saveNow(const std::string& directory, const std::string& name);
    // Writes the document as a new file "<directory>/<name>.zem".
    fmt::Result<SaveOutcome> writeNew(const std::string& directory, const std::string& name);
    // Copies the source to a temporary file the document then reads from, so
    // undo reaches past a save that replaces the source. Once per document.
    fmt::Result<fmt::Unit> retainUndoSource();
    void setDestination(std::string path, int32_t kind);
    int32_t currentDestinationKind() const;

    // --- Hit sort (message thread) ---
    // Rebuilds the session-hits histogram from levels on the 0..1 scale.
    void setSessionHits(std::span<const float> levels);
    // Gives samples whose audio was measured before their cached level and
    // lists the rest as a job for analyzeHitSort.
    HitSortInput prepareHitSort();
    // Stores the levels of a finished job while nothing they depend on has
    // changed; the number applied.
    uint64_t applyHitSort(const HitSortInput& input);
};

// Decoded audio together with the payload it is saved as (raw 32-bit floats
// with their hash), made where the time may be spent, off the message thread,
// so that adding the sample there only adopts it. Made only by
// preparePcmForAdd, so payload and audio always agree; moved, never copied.
class PreparedPcm {
public:
    PreparedPcm() = default;
    PreparedPcm(PreparedPcm&&) noexcept = default;
    PreparedPcm& operator=(PreparedPcm&&) noexcept = default;
    PreparedPcm(const PreparedPcm&) = delete;
    PreparedPcm& operator=(const PreparedPcm&) = delete;

    // False when the audio could not be described by a payload; adding it is
    // then refused.
    bool valid() const noexcept { return pcm_ != nullptr && !payload_.empty(); }
    // The interleaved values held (0 when not valid).
    size_t valueCount() const noexcept { return pcm_ != nullptr ? pcm_->samples.size() : 0; }
    const ZemEditViewModel::AddedPcm* pcm() const noexcept { return pcm_.get(); }
    const std::vector<uint8_t>& payload() const noexcept { return payload_; }

private:
    friend PreparedPcm preparePcmForAdd(std::vector<float>&& samples, int32_t channels, int32_t sampleRate);
    friend class ZemEditViewModel;
    std::shared_ptr<const ZemEditViewModel::AddedPcm> pcm_;
    std::vector<uint8_t> payload_;
};

// Takes the values over and encodes them as addSampleFromPcm would; safe on
// any thread. Not valid for empty audio, a channel count or rate below 1, or
// audio no payload head describes (encodePcmPayload).
PreparedPcm preparePcmForAdd(std::vector<float>&& samples, int32_t channels, int32_t sampleRate);

// The identity under which a sample's measured level is cached.
AudioIdentity audioIdentityOf(const EditSample& record) noexcept;

// Shares decoded audio, taking the values over without copying them.
std::shared_ptr<const ZemEditViewModel::AddedPcm> makeSharedAddedPcm(fmt::SampleAudio&& audio);
std::shared_ptr<const ZemEditViewModel::AddedPcm> makeSharedAddedPcm(std::vector<float>&& samples, int32_t channels,
                                                                     int32_t sampleRate);

// The 32-bit float payload (raw PCM, whole sample) of interleaved audio; empty
// when no valid payload head describes it: channels outside 1..8, a rate
// outside 1..1000000, a value count that is not a whole number of frames, or
// too many frames.
std::vector<uint8_t> encodePcmPayload(std::span<const float> samples, int32_t channels, int32_t sampleRate);

// The open a host's record asks for: a new document without a file path; the
// host's converted model when it gave one (and does not keep its own save
// destination); else the file with the default read limits.
bool openFromDeps(ZemEditViewModel& viewModel, const ZemEditDeps& deps);

} // namespace vt6::ui::zemedit::logic
