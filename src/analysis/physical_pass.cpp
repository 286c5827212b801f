#include "analysis/physical_pass.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "analysis/analysis_audio.hpp"
#include "analysis/physical_features.hpp"
#include "analysis/physical_model.hpp"
#include "analysis/physical_payload.hpp"
#include "analysis/physical_records.hpp"
#include "audio/browse_reader.hpp"
#include "format/cbor.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"
#include "platform/cpu.hpp"
#include "platform/replace_file.hpp"
#include "platform/write_file.hpp"

namespace vt6::fmt {
namespace {

constexpr unsigned kMaxAnalysisThreads = 4;
constexpr size_t kMinAnalysisValues = 1024;

// A row is on a direct layer unless the last layer entry with its id puts it
// on Room A, B or C; a layer id without an entry is direct only when it is 1.
bool onDirectLayer(const Zem6Model& model, const SmplEntry& row) {
    const uint64_t id = row.layer.value_or(1);
    const LayerDef* last = nullptr;
    for (const LayerDef& layer : model.metadata.layers) {
        if (layer.id == id) last = &layer;
    }
    if (last == nullptr) return id == 1;
    return !(last->slot.has_value() && *last->slot >= 1 && *last->slot <= 3);
}

// Rows whose audio represents articulation `id`: the middle dynamic group's
// first row and, with enough rows, the row a third of the way in.
std::vector<size_t> picksFor(const Zem6Model& model, uint64_t id) {
    std::map<uint64_t, std::vector<size_t>> groups;
    for (size_t i = 0; i < model.samples.size(); ++i) {
        const SmplEntry& row = model.samples[i];
        if (row.articulation.value_or(0) != id) continue;
        if (row.muted.value_or(false) || row.room_owner_uid.has_value()) continue;
        if (!onDirectLayer(model, row)) continue;
        groups[row.band.value_or(1)].push_back(i);
    }
    if (groups.empty()) return {};
    auto middle = groups.begin();
    std::advance(middle, static_cast<long>(groups.size() / 2));
    std::vector<size_t> rows = middle->second;
    std::stable_sort(rows.begin(), rows.end(), [&](size_t a, size_t b) {
        const SmplEntry& x = model.samples[a];
        const SmplEntry& y = model.samples[b];
        const uint64_t tx = x.take.value_or(0);
        const uint64_t ty = y.take.value_or(0);
        return tx != ty ? tx < ty : x.uid < y.uid;
    });
    const size_t n = rows.size();
    const size_t g = std::max<size_t>(1, n / 3);
    const size_t c = std::min<size_t>((n + g - 1) / g, 3);
    const size_t picks = c <= 1 ? 1 : c - 1;
    std::vector<size_t> out = {rows[0]};
    if (picks == 2) out.push_back(rows[g]);
    return out;
}

// The entry of one articulation. Throws what the preparation, the features,
// the builder and the serialiser throw; a failed callback is returned as is.
Result<PhysicalModelEntry> analyseArticulation(const Zem6Model& model, uint64_t id, DrumType drumType, const Fn& audio) {
    PhysicalModelEntry entry;
    entry.articulationId = id;
    entry.kind = kPhysicalEntryUnusable;
    std::vector<std::vector<float>> inputs;
    for (const size_t index : picksFor(model, id)) {
        Result<Pa6> got = audio(index);
        if (!got.ok()) return got.takeError();
        const std::vector<float>& samples = got->samples;
        // One damaged value must not make every save of the library fail:
        // such a sample loses its place like one that is too short.
        if (!std::all_of(samples.begin(), samples.end(), [](float v) { return std::isfinite(v); })) continue;
        std::vector<float> prepared = prepareAnalysisAudio(samples, static_cast<int32_t>(got->sample_rate));
        if (prepared.size() < kMinAnalysisValues) continue;
        inputs.push_back(std::move(prepared));
        entry.sampleUids.push_back(model.samples[index].uid);
    }
    if (inputs.empty()) return entry;
    PhysicalFeatures features = featuresForDrumType(inputs[0], drumType);
    if (inputs.size() == 2) {
        const PhysicalFeatures second = featuresForDrumType(inputs[1], drumType);
        for (size_t i = 0; i < features.size(); ++i) features[i] = (second[i] + features[i]) * 0.5;
    }
    const std::span<const float> secondInput = inputs.size() == 2 ? std::span<const float>(inputs[1]) : std::span<const float>();
    const PhysicalModel built = buildPhysicalModel(inputs[0], secondInput, toDrumClass(drumType), features);
    entry.payload = serializePhysicalModel(built);
    entry.kind = kPhysicalEntryAnalysed;
    return entry;
}

// Shared by the pool's threads: the next articulation to take and each one's
// outcome. A failure stops the taking; since articulations are taken in
// order, every one before the first failure has been analysed, so the lowest
// failing one is the same whatever the pool size.
struct AnalysisJobs {
    const Zem6Model& model;
    const std::vector<uint64_t>& ids;
    DrumType drumType;
    const Fn& audio;
    std::vector<std::optional<PhysicalModelEntry>> entries;
    std::vector<std::optional<ErrorInfo>> errors;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
};

void runAnalysisJobs(AnalysisJobs& jobs) {
    for (;;) {
        if (jobs.failed.load(std::memory_order_acquire)) return;
        const size_t i = jobs.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= jobs.ids.size()) return;
        try {
            Result<PhysicalModelEntry> r = analyseArticulation(jobs.model, jobs.ids[i], jobs.drumType, jobs.audio);
            if (r.ok()) {
                jobs.entries[i] = std::move(r).value();
                continue;
            }
            jobs.errors[i] = r.takeError();
        } catch (const std::exception& e) {
            try {
                jobs.errors[i] = fail(ErrorCode::ModelInvalid, e.what());
            } catch (...) {
                jobs.errors[i] = ErrorInfo{ErrorCode::ModelInvalid, {}};
            }
        }
        jobs.failed.store(true, std::memory_order_release);
    }
}

// The entries as stored: once the next payload would take the blob past its
// limit, that entry and every later one keep no model.
std::vector<PhysicalModelEntry> fitToBlobLimit(std::span<const PhysicalModelEntry> entries) {
    std::vector<PhysicalModelEntry> out(entries.begin(), entries.end());
    uint64_t size = kPhysicalModelSetHeadBytes;
    bool full = false;
    for (PhysicalModelEntry& e : out) {
        if (!full && size + kPhysicalModelEntryHeadBytes + e.payload.size() > kMaxPhysicalModelSetBytes) full = true;
        if (full) {
            e.kind = kPhysicalEntryUnusable;
            e.sampleUids.clear();
            e.payload.clear();
        }
        size += kPhysicalModelEntryHeadBytes + e.payload.size();
    }
    return out;
}

std::vector<HistogramEntry> countBy(const std::vector<SmplEntry>& rows, std::optional<uint64_t> SmplEntry::*field) {
    std::map<uint64_t, uint64_t> counts;
    for (const SmplEntry& row : rows) ++counts[(row.*field).value_or(0)];
    std::vector<HistogramEntry> out;
    out.reserve(counts.size());
    for (const auto& [value, count] : counts) out.push_back({value, count});
    return out;
}

std::vector<uint64_t> distinctOf(const std::vector<SmplEntry>& rows, std::optional<uint64_t> SmplEntry::*field) {
    std::set<uint64_t> values;
    for (const SmplEntry& row : rows) {
        if ((row.*field).has_value()) values.insert(*(row.*field));
    }
    return {values.begin(), values.end()};
}

} // namespace

unsigned physicalAnalysisPoolSize(unsigned hardwareThreads, size_t articulations) noexcept {
    const unsigned h = hardwareThreads == 0 ? 1 : hardwareThreads;
    const unsigned d = std::clamp(h / 3, 1u, kMaxAnalysisThreads);
    const size_t jobs = std::max<size_t>(articulations, 1);
    return static_cast<unsigned>(std::min<size_t>(jobs, d));
}

Result<std::vector<PhysicalModelEntry>> analyzePhysicalModels(const Zem6Model& model, DrumType drumType, const Fn& audio,
                                                              unsigned threads) {
    try {
        std::set<uint64_t> values;
        for (const SmplEntry& row : model.samples) values.insert(row.articulation.value_or(0));
        if (values.empty() || values.size() > kMaxPhysicalModelEntries) {
            return fail(ErrorCode::ModelInvalid, makeErrorRef(8250));
        }
        const std::vector<uint64_t> ids(values.begin(), values.end());
        AnalysisJobs jobs{model, ids, drumType, audio, {}, {}};
        jobs.entries.resize(ids.size());
        jobs.errors.resize(ids.size());

        const unsigned n = threads != 0 ? std::min<unsigned>(threads, static_cast<unsigned>(ids.size()))
                                        : physicalAnalysisPoolSize(platform::hardwareThreads(), ids.size());
        std::vector<std::thread> pool;
        try {
            pool.reserve(n > 0 ? n - 1 : 0);
            for (unsigned k = 1; k < n; ++k) pool.emplace_back(runAnalysisJobs, std::ref(jobs));
        } catch (...) {
            // Threads that could not start leave their share to those that
            // did, at the least this one.
        }
        runAnalysisJobs(jobs);
        for (std::thread& t : pool) t.join();

        for (std::optional<ErrorInfo>& error : jobs.errors) {
            if (error) return std::move(*error);
        }
        std::vector<PhysicalModelEntry> out;
        out.reserve(ids.size());
        for (std::optional<PhysicalModelEntry>& entry : jobs.entries) out.push_back(std::move(*entry));
        return out;
    } catch (const std::exception& e) {
        return fail(ErrorCode::ModelInvalid, e.what());
    }
}

Result<Unit> applyPhysicalModels(Zem6Model& model, std::span<const PhysicalModelEntry> entries) {
    const std::vector<PhysicalModelEntry> stored = fitToBlobLimit(entries);
    ZEM_TRY_ASSIGN(std::vector<uint8_t> blob, encodePhysicalModelSet(stored));

    // Everything is built before the model changes, so a failure leaves it as it was.
    ExtraChunk chunk;
    chunk.tag = kTagPHDM;
    chunk.flags = 0;
    chunk.uid = 0;
    chunk.length = blob.size();
    chunk.bytes = std::move(blob);
    chunk.afterAudio = true;
    Summary summary = model.summary;
    summary.present = true;
    summary.sample_count = model.samples.size();
    summary.total_frames = 0;
    for (const SmplEntry& row : model.samples) summary.total_frames += row.frames.value_or(0);
    summary.band_histogram = countBy(model.samples, &SmplEntry::band);
    summary.articulation_histogram = countBy(model.samples, &SmplEntry::articulation);
    summary.layer_histogram = countBy(model.samples, &SmplEntry::layer);
    summary.sample_rates = distinctOf(model.samples, &SmplEntry::sample_rate);
    summary.bit_depths = distinctOf(model.samples, &SmplEntry::bits);
    summary.channel_counts = distinctOf(model.samples, &SmplEntry::channels);
    Bytes marker = encodeCborArray2(static_cast<uint32_t>(stored.size()));

    std::erase_if(model.extraChunks, [](const ExtraChunk& c) { return c.tag == kTagPHDM; });
    model.extraChunks.push_back(std::move(chunk));
    model.summary = std::move(summary);
    setExtension(model.metadata.extensions, kPhysicalModelMtadKey, std::move(marker));
    return Unit{};
}

Result<Unit> rewriteWithPhysicalAnalysis(const std::string& path, DrumType drumType, unsigned threads) {
    ZEM_TRY_ASSIGN(Zem6File file, openZem6File(path, ReadPolicy{}));
    if (file.model.samples.empty()) return Unit{};
    const std::string temporary = path + ".physical";

    ZEM_TRY_ASSIGN(const std::vector<PhysicalModelEntry> entries,
                   analyzePhysicalModels(file.model, drumType, browseAudioFn(&file), threads));
    Zem6Model copy = file.model;
    ZEM_TRY(applyPhysicalModels(copy, entries));

    Result<Unit> written = writeZem6WithSourcePayloads(path, temporary, copy, ReadPolicy{});
    if (!written.ok()) {
        (void)platform::removeFile(temporary);
        return written;
    }
    const platform::ReplaceStatus replaced = platform::replaceFile(temporary, path);
    if (!replaced.ok()) {
        (void)platform::removeFile(temporary);
        return fail(ErrorCode::WriteIo, makeErrorRef(8251));
    }
    return Unit{};
}

} // namespace vt6::fmt
