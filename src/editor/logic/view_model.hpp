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

#include "editor/logic/data_source.hpp"
#include "editor/logic/edit_document.hpp"
#include "format/checksum.hpp"
#include "format/hit_level.hpp"
#include "format/mtad.hpp"
#include "format/read_policy.hpp"
#include "format/writer.hpp"

namespace vt6::ui::zemedit {

// Plays a sample as stored in its file: (path, uid).
using AuditionStoredFn = std::function<void(const std::string& path, uint64_t uid)>;
// Plays decoded audio: (interleaved floats, channels, sample rate).
using PlayPcmFn = std::function<void(std::span<const float> samples, int32_t channels, int32_t sampleRate)>;

// What a host hands the editor when it opens it; the fields the opening
// reads.
struct ZemEditDeps {
    std::string filePath;                             // empty: a new document
    std::shared_ptr<const fmt::Zem6Model> model;      // a converted legacy model, else none
    bool keepOwnDestination = false;                  // no host in this program sets it
    std::string destinationPath;                      // only with keepOwnDestination
    int32_t destinationKind = 0;                      // provenance badge of destinationPath
    std::string newFileFolder;                        // only with keepOwnDestination
    std::vector<float> sessionHitLevels;              // 0..1; the shell passes none
};

} // namespace vt6::ui::zemedit

namespace vt6::ui::zemedit::logic {

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
};

// The open a host's record asks for: a new document without a file path; the
// host's converted model when it gave one (and does not keep its own save
// destination); else the file with the default read limits.
bool openFromDeps(ZemEditViewModel& viewModel, const ZemEditDeps& deps);

} // namespace vt6::ui::zemedit::logic
