#pragma once
// Turns the editor's document into what a save writes: the composed model
// fitted to the plug-in's layout (Direct and Room A to C only, room samples
// linked to their direct samples) and one raw 32-bit float payload per
// sample with fresh measures. Plain C++: no framework types, so the worker
// can build payloads and the tests can drive it without a window.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/sample_load.hpp"
#include "editor/logic/edit_document.hpp"
#include "editor/logic/room_linking.hpp"
#include "editor/logic/view_model.hpp"
#include "format/export.hpp"
#include "format/hit_level.hpp"
#include "format/result.hpp"
#include "format/writer.hpp"

namespace vt6::maker {

// Why a save model could not be built; 0 when it could.
enum SaveRefusal : int {
    kSaveOk = 0,
    kSaveNoSamples = 2,
    kSaveCustomChannel = 3,
    kSaveAudioUnreadable = 4,
    kSaveBuildFailed = 5,
    kSaveTooManyChannels = 7,
};

inline constexpr const char* kNoSamplesText = "Import samples before saving the zem.";
inline constexpr const char* kCustomChannelText =
    "ZEM Rivir supports Direct and Room A, B and C. This file contains a custom channel.";

// The model part of a save: everything but the audio. Rows keep their order;
// levels and locks are the document's, one per row, for the payload step.
struct SaveModelPlan {
    fmt::Export exported;             // model without payloads, plus the notes
    std::vector<fmt::HitLevel> levels;     // per sample row
    std::vector<uint8_t> sortLocks;   // per sample row
    // Room samples the linking put into their direct samples' groups; the
    // document makes the same moves once the file is written.
    std::vector<ui::zemedit::logic::RoomGroupMove> roomMoves;
};

// Steps that need no audio: composition, orphan rows dropped, summary and
// peaks cleared, previews dropped, channel slots checked and set (paired by
// layer id, so a reordered channel keeps its slot), room links rebuilt. On a
// refusal `code` is set and an error returned.
fmt::Result<SaveModelPlan> composeSaveModel(const ui::zemedit::logic::EditDocument& document,
                                            const fmt::Zem6Model& source, const std::string& baseName, int& code);

// Fills one sample row from its complete audio (measures, 32-bit raw float
// fields, plain hash, hit level, sort lock), appends its waveform peaks to
// `peaks` and returns its AUDI payload. Fails only when the payload head is
// refused.
fmt::Result<fmt::StagedPayload> buildSamplePayload(fmt::SmplEntry& row, const fmt::SampleAudio& audio,
                                                   const fmt::HitLevel& level, bool sortLock, uint16_t peakPoints,
                                                   fmt::Bytes& peaks);

// The parts of buildSamplePayload, for a save that measures every sample
// first and hands the payloads to the writer one at a time later:
// measureSampleRow fills the row and appends its peaks; payloadHeadFor gives
// the 64-byte head of the row's payload, whose body is the audio's floats as
// they are, payloadBytesFor its whole length. The head is refused as
// buildSamplePayload refuses it.
void measureSampleRow(fmt::SmplEntry& row, const fmt::SampleAudio& audio, const fmt::HitLevel& level, bool sortLock,
                      uint16_t peakPoints, fmt::Bytes& peaks);
using PayloadHead = std::array<uint8_t, 64>;
fmt::Result<PayloadHead> payloadHeadFor(const fmt::SmplEntry& row);
uint64_t payloadBytesFor(const fmt::SmplEntry& row);

// The detached loader's refusal once the source file changed on disk: no
// fault of one sample's audio.
inline constexpr const char* kSourceChangedText = "the zem changed on disk since it was opened; reopen it";

// Reads one sample's complete audio; called once per row, in row order, and
// the audio is dropped before the next row is read.
using SaveAudioLoader = std::function<fmt::Result<fmt::SampleAudio>(uint64_t uid)>;

// The payload step of a plan: one sample at a time (read, measure, hash,
// build, free the floats), `progress` told the number done after each; then
// the groups indexed as buildExport does. Safe on a worker thread when the
// loader is. Allocation failure gives code 5.
fmt::Result<fmt::Export> buildPayloadsAndIndex(SaveModelPlan plan, const SaveAudioLoader& loadAudio, int& code,
                                               const std::function<void(size_t done)>& progress = {});

// A loader that any thread may call once the message thread has made it:
// added and edited audio is shared now (never copied here), stored audio is
// read later from the source's file, refused once that file changed.
SaveAudioLoader makeDetachedAudioLoader(const ui::zemedit::logic::ZemEditViewModel& viewModel);

// The stored AUDI chunk a sample's audio was read from: its chunk uid,
// flags, length, 64-byte head, and the checks its directory entry holds
// (which the loader's read of it checked). A save whose payload is that
// chunk byte for byte reuses the checks instead of hashing it again.
struct StoredPayload {
    uint64_t uid = 0;
    uint32_t flags = 0;
    uint64_t length = 0;
    std::array<uint8_t, 64> head{};
    fmt::ChunkDigests checks;
};

// A save's audio: the loader, and (may be empty) what is known of the stored
// chunk a uid's audio comes from; nothing for audio in memory or legacy.
struct SaveAudioSource {
    SaveAudioLoader load;
    std::function<std::optional<StoredPayload>(uint64_t uid)> stored;

    SaveAudioSource() = default;
    SaveAudioSource(SaveAudioLoader loader) : load(std::move(loader)) {}  // NOLINT: a loader alone is a source
};

// makeDetachedAudioLoader, with what it knows of stored chunks. `stored`
// answers for a uid once the loader has read it.
SaveAudioSource makeDetachedAudioSource(const ui::zemedit::logic::ZemEditViewModel& viewModel);

// The whole export: the plan, then one payload at a time. An allocation
// failure while building gives code 5 with the document untouched.
fmt::Result<fmt::Export> buildSaveModel(const ui::zemedit::logic::EditDocument& document,
                                        const fmt::Zem6Model& source, const std::string& baseName,
                                        const SaveAudioLoader& loadAudio, int& code);

// buildSaveModel, then its groups indexed (unused ones dropped, ids
// renumbered, histograms recounted); code 5 when they do not index.
fmt::Result<fmt::Export> buildExport(const ui::zemedit::logic::EditDocument& document,
                                     const fmt::Zem6Model& source, const std::string& baseName,
                                     const SaveAudioLoader& loadAudio, int& code);

} // namespace vt6::maker
