#pragma once
// The document's hit sort: the view model lists the samples without a
// measured level as a job (prepareHitSort, message thread), a worker measures
// them (analyzeHitSort), and the view model stores the results only while
// nothing they depend on has changed (applyHitSort, message thread).
//
// The job is plain data: the worker touches nothing but the job, the
// immutable in-memory audio its rows share, and the source file, which it
// reopens by path and checks by size and last-write time around every read.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/sample_load.hpp"
#include "editor/logic/view_model.hpp"
#include "format/checksum.hpp"
#include "format/hit_level.hpp"
#include "platform/file_info.hpp"

namespace vt6::ui::zemedit::logic {

// Row errors.
inline constexpr const char* kHitSortIdentityChanged = "Sample identity changed; reopen the ZEM before sorting";
inline constexpr const char* kHitSortChangedDuringRead = "Sample source changed during analysis";
inline constexpr const char* kHitSortSourceUnavailable = "Sample source changed or is unavailable";
inline constexpr const char* kHitSortAudioMismatch = "Sample audio does not match its metadata";

// One sample to measure, with everything needed to find and check its audio.
struct HitSortRow {
    uint64_t uid = 0;
    uint64_t frames = 0;
    uint64_t regionStart = 0;
    uint64_t regionEnd = 0;
    uint32_t audioRevision = 0;
    int32_t channels = 0;    // -1 when the record's value does not fit
    int32_t sampleRate = 0;  // -1 when the record's value does not fit
    // 1-based row in the source's SMPL table, 0 none; checked against the
    // file by the worker.
    int32_t sourcePosition = 0;
    std::shared_ptr<const ZemEditViewModel::AddedPcm> pcm;  // audio held in memory, else none
    fmt::Digest128 plainHash{};
    uint8_t plainHashPresent = 0;
    HitLevel level;     // unmeasured until measured
    std::string error;  // why the row was not measured; empty = no error
};

struct HitSortInput {
    uint64_t sourceGeneration = 0;
    std::string sourcePath;            // empty when none or nothing to measure
    platform::FileInfo sourceInfo;     // of sourcePath when the job was made
    std::shared_ptr<const std::string> undoSource;  // keeps the undo copy on disk
    std::vector<HitSortRow> rows;
};

// How the worker reaches the file system; tests replace it to change a file
// at a chosen moment. `loadSample` gets the run's cancel check (may be
// empty) and asks it during the read, so that a cancelled run does not wait
// for a long sample to be read whole.
struct HitSortFileAccess {
    std::function<platform::FileInfo(const std::string&)> queryInfo;
    std::function<fmt::Result<fmt::SampleAudio>(const std::string&, const fmt::SampleSelector&,
                                                const std::function<bool()>& cancel)>
        loadSample;
};

// The real file system: queryFileInfo and the complete stored audio within
// the editing budget.
HitSortFileAccess defaultHitSortFileAccess();

// Measures every row in order on the calling thread. `cancel` (may be empty)
// is asked before each row, during its read, before measuring it and during
// the measurement (a row whose read was cancelled is left as it was);
// once it returns true the rows from there on stay as they are. `progress`
// (may be empty) gets (rows finished, row count) after each row. Throws only
// allocation failures.
void analyzeHitSort(HitSortInput& input, const std::function<bool()>& cancel,
                    const std::function<void(uint64_t done, uint64_t total)>& progress);
void analyzeHitSort(HitSortInput& input, const std::function<bool()>& cancel,
                    const std::function<void(uint64_t done, uint64_t total)>& progress,
                    const HitSortFileAccess& files);

} // namespace vt6::ui::zemedit::logic
