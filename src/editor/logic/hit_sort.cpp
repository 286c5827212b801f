#include "editor/logic/hit_sort.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>
#include <utility>

#include "analysis/hit_level_measure.hpp"
#include "format/read_policy.hpp"
#include "format/reader.hpp"

namespace vt6::ui::zemedit::logic {

namespace {

// Record fields are 64-bit; a value that does not fit the row's field
// becomes -1, which no audio and no record matches, rather than a
// truncation that could match the wrong one.
int32_t narrowOrInvalid(uint64_t value) noexcept {
    return value <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()) ? static_cast<int32_t>(value) : -1;
}

bool sameInt(int32_t rowValue, uint64_t recordValue) noexcept {
    return rowValue >= 0 && static_cast<uint64_t>(rowValue) == recordValue;
}

bool sameFile(const platform::FileInfo& a, const platform::FileInfo& b) noexcept {
    return a.exists && b.exists && a.size == b.size && a.lastWriteTime == b.lastWriteTime;
}

// What the worker keeps of the source's model: per SMPL row, its uid and
// plain hash.
struct FileRow {
    uint64_t uid = 0;
    std::optional<fmt::Digest128> plainHash;
};

} // namespace

AudioIdentity audioIdentityOf(const EditSample& record) noexcept {
    AudioIdentity id;
    id.uid = record.uid;
    id.audioRevision = record.audioRevision;
    id.regionStart = record.regionStart;
    id.regionEnd = record.regionEnd;
    id.frames = record.frames;
    id.sampleRate = record.sampleRate;
    id.channels = record.channels;
    if (record.plainHashPresent != 0) id.plainHash = record.plainHash;
    return id;
}

void ZemEditViewModel::setSessionHits(std::span<const float> levels) {
    hitHistogram.fill(0);
    hitHistogramMax = 0;
    for (const float level : levels) {
        if (std::isnan(level)) continue;
        // Clamped while still a float: converting an out-of-range value to an
        // integer is undefined.
        const float scaled = std::clamp(level * 127.0f + 0.5f, 0.0f, 127.0f);
        const auto bin = static_cast<size_t>(scaled);
        hitHistogramMax = std::max(hitHistogramMax, ++hitHistogram[bin]);
    }
}

HitSortInput ZemEditViewModel::prepareHitSort() {
    HitSortInput input;
    input.sourceGeneration = sourceGeneration;
    input.undoSource = undoSourceFile;
    if (document.unmeasuredUids.empty()) return input;

    const ZemEditDataSource* source = nullptr;
    if (fileSource) source = fileSource.get();
    else if (legacySource) source = legacySource.get();
    if (source != nullptr) input.sourcePath = source->path();
    if (!input.sourcePath.empty()) input.sourceInfo = platform::queryFileInfo(input.sourcePath);

    // A copy: applying a cached level takes the uid out of the set.
    const std::vector<uint64_t> uids(document.unmeasuredUids.begin(), document.unmeasuredUids.end());
    for (const uint64_t uid : uids) {
        const EditSample* record = document.sampleByUid(uid);
        if (record == nullptr) continue;
        if (const auto cached = levelCache.find(audioIdentityOf(*record)); cached != levelCache.end()) {
            document.setHitLevel(uid, cached->second);
            continue;
        }
        HitSortRow row;
        row.uid = uid;
        row.frames = record->frames;
        row.regionStart = record->regionStart;
        row.regionEnd = record->regionEnd;
        row.audioRevision = record->audioRevision;
        row.channels = narrowOrInvalid(record->channels);
        row.sampleRate = narrowOrInvalid(record->sampleRate);
        row.plainHash = record->plainHash;
        row.plainHashPresent = record->plainHashPresent;
        row.pcm = currentPcm(*record);
        // The record's row when it is the source's row of this uid; else the
        // first row of the uid; else none. Another sample's row must never
        // stand in for it.
        if (source != nullptr) {
            const std::vector<fmt::SmplEntry>& rows = source->model().samples;
            const auto index = static_cast<size_t>(std::max(record->recordIndex, 0));
            size_t found = index;
            if (index >= rows.size() || rows[index].uid != uid) {
                found = static_cast<size_t>(std::find_if(rows.begin(), rows.end(),
                                                         [&](const fmt::SmplEntry& r) { return r.uid == uid; }) -
                                            rows.begin());
            }
            if (found < rows.size()) row.sourcePosition = std::max(narrowOrInvalid(found + 1), 0);
        }
        input.rows.push_back(std::move(row));
    }
    return input;
}

uint64_t ZemEditViewModel::applyHitSort(const HitSortInput& input) {
    if (input.sourceGeneration != sourceGeneration) return 0;
    if (!input.sourcePath.empty() && !sameFile(platform::queryFileInfo(input.sourcePath), input.sourceInfo)) return 0;
    uint64_t count = 0;
    for (const HitSortRow& row : input.rows) {
        const EditSample* record = document.sampleByUid(row.uid);
        if (record == nullptr || !row.level.measured || row.level.cancelled || !row.error.empty()) continue;
        if (record->audioRevision != row.audioRevision || record->frames != row.frames ||
            record->regionStart != row.regionStart || record->regionEnd != row.regionEnd ||
            !sameInt(row.channels, record->channels) || !sameInt(row.sampleRate, record->sampleRate)) {
            continue;
        }
        levelCache[audioIdentityOf(*record)] = row.level;
        document.setHitLevel(row.uid, row.level);
        ++count;
    }
    return count;
}

HitSortFileAccess defaultHitSortFileAccess() {
    HitSortFileAccess files;
    files.queryInfo = [](const std::string& path) { return platform::queryFileInfo(path); };
    // One job reads many samples of one file: it is opened once and kept
    // for the job, where opening it per sample re-read the whole model each
    // time. The job's own checks of the path's file info still refuse audio
    // once the file changes.
    struct OpenSource {
        std::string path;
        std::optional<fmt::Zem6File> file;
    };
    auto open = std::make_shared<OpenSource>();
    files.loadSample = [open](const std::string& path, const fmt::SampleSelector& selector,
                              const std::function<bool()>& cancel) -> fmt::Result<fmt::SampleAudio> {
        if (selector.position >= 1 && (open->path != path || !open->file) && fmt::probeHeader(path)) {
            open->file.reset();
            open->path = path;
            if (auto opened = fmt::openZem6File(path, fmt::ReadPolicy{}); opened.ok())
                open->file.emplace(std::move(opened).value());
        }
        if (selector.position >= 1 && open->file && open->path == path)
            return fmt::loadCompleteSourceRow(*open->file, static_cast<size_t>(selector.position - 1),
                                              fmt::kEditingBudgetBytes, cancel);
        return fmt::loadSampleForEdit(path, selector, fmt::kEditingBudgetBytes, fmt::SampleLoadMode::CompleteSource);
    };
    return files;
}

void analyzeHitSort(HitSortInput& input, const std::function<bool()>& cancel,
                    const std::function<void(uint64_t done, uint64_t total)>& progress) {
    analyzeHitSort(input, cancel, progress, defaultHitSortFileAccess());
}

void analyzeHitSort(HitSortInput& input, const std::function<bool()>& cancel,
                    const std::function<void(uint64_t done, uint64_t total)>& progress,
                    const HitSortFileAccess& files) {
    std::string jobError;
    bool haveModel = false;
    std::vector<FileRow> fileRows;
    std::unordered_map<uint64_t, int32_t> positions;

    if (!input.sourcePath.empty() && fmt::probeHeader(input.sourcePath)) {
        fmt::Result<fmt::Zem6File> opened = fmt::openZem6File(input.sourcePath, fmt::ReadPolicy{});
        if (opened.ok()) {
            haveModel = true;
            const std::vector<fmt::SmplEntry>& rows = opened->model.samples;
            fileRows.reserve(rows.size());
            positions.reserve(rows.size());
            for (size_t i = 0; i < rows.size(); ++i) {
                fileRows.push_back(FileRow{rows[i].uid, rows[i].plain_hash});
                if (i < static_cast<size_t>(std::numeric_limits<int32_t>::max()))
                    positions.emplace(rows[i].uid, static_cast<int32_t>(i + 1));
            }
        } else {
            jobError = opened.message();
        }
    }

    const bool canCancel = static_cast<bool>(cancel);
    const auto total = static_cast<uint64_t>(input.rows.size());
    for (size_t i = 0; i < input.rows.size(); ++i) {
        HitSortRow& row = input.rows[i];
        if (canCancel && cancel()) break;

        const float* values = nullptr;
        size_t valueCount = 0;
        int32_t channels = 0;
        int32_t rate = 0;
        std::optional<fmt::SampleAudio> loaded;
        if (row.pcm) {
            values = row.pcm->samples.data();
            valueCount = row.pcm->samples.size();
            channels = row.pcm->channels;
            rate = row.pcm->sampleRate;
        } else {
            if (haveModel) {
                const auto found = positions.find(row.uid);
                row.sourcePosition = found != positions.end() ? found->second : 0;
            }
            const platform::FileInfo before = files.queryInfo(input.sourcePath);
            bool matches = true;
            if (haveModel) {
                const auto position = static_cast<size_t>(std::max(row.sourcePosition, 0));
                matches = position >= 1 && position <= fileRows.size();
                if (matches) {
                    const FileRow& fileRow = fileRows[position - 1];
                    const bool rowHasHash = row.plainHashPresent != 0;
                    matches = fileRow.uid == row.uid && fileRow.plainHash.has_value() == rowHasHash &&
                              (!rowHasHash || *fileRow.plainHash == row.plainHash);
                }
            }
            if (!jobError.empty()) {
                row.error = jobError;
            } else if (!matches) {
                row.error = kHitSortIdentityChanged;
            } else if (!input.sourcePath.empty() && row.sourcePosition > 0 && sameFile(before, input.sourceInfo)) {
                fmt::Result<fmt::SampleAudio> audio =
                    files.loadSample(input.sourcePath, fmt::SampleSelector{-1, row.sourcePosition}, cancel);
                // A read given up half way is no error of the sample.
                if (canCancel && cancel()) break;
                const platform::FileInfo after = files.queryInfo(input.sourcePath);
                if (!audio.ok()) {
                    row.error = audio.message();
                } else if (sameFile(after, before)) {
                    loaded = std::move(audio).value();
                    values = loaded->samples.data();
                    valueCount = loaded->samples.size();
                    channels = loaded->channels;
                    rate = loaded->sampleRate;
                } else {
                    row.error = kHitSortChangedDuringRead;
                }
            } else {
                row.error = kHitSortSourceUnavailable;
            }
        }

        if (canCancel && cancel()) break;
        if (row.error.empty()) {
            const bool fits = values != nullptr && channels > 0 && channels == row.channels &&
                              rate == row.sampleRate &&
                              valueCount / static_cast<size_t>(channels) == row.frames;
            if (fits) {
                row.level = fmt::measureHitLevel(std::span<const float>(values, valueCount),
                                                 static_cast<uint32_t>(channels), static_cast<double>(rate),
                                                 row.regionStart, row.regionEnd, cancel);
            } else {
                row.error = kHitSortAudioMismatch;
            }
        }
        loaded.reset();  // one sample's audio at a time
        if (progress) progress(static_cast<uint64_t>(i) + 1, total);
    }
}

} // namespace vt6::ui::zemedit::logic
