#include "app/save_job.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "analysis/drum_type.hpp"
#include "analysis/physical_pass.hpp"
#include "audio/browse_reader.hpp"
#include "audio/pcma_head.hpp"
#include "editor/logic/group_definitions.hpp"
#include "editor/logic/sample_commands.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"
#include "platform/cpu.hpp"
#include "platform/leftovers.hpp"
#include "platform/replace_file.hpp"
#include "platform/write_file.hpp"

namespace vt6::maker {

namespace {

constexpr int kSaveInvalid = 5;

// The first 8 digits name this instance, so that a later start can tell a
// killed save's temporaries from those of a save still running.
std::string randomHex() { return platform::ownedHexTag(); }

// Removes what the job created; the target is never touched here.
void removeLeftovers(const std::string& temporary) {
    platform::removeFile(temporary);
    platform::removeFile(temporary + ".physical");
}

} // namespace

std::string temporarySiblingFor(const std::string& target) {
    const size_t slash = target.find_last_of("/\\");
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = target.find_last_of('.');
    const bool hasExtension = dot != std::string::npos && dot > nameStart;
    const std::string stem = target.substr(0, hasExtension ? dot : target.size());
    const std::string extension = hasExtension ? target.substr(dot) : std::string();
    return stem + "_temp" + randomHex() + extension;
}

unsigned defaultVerifyThreads() { return std::clamp(platform::hardwareThreads(), 1u, 4u); }

namespace {

// The read-back check: the file opens with every check of a read, holds the
// sample rows `wanted` in that order, every chunk reads back with all its
// checks, and each AUDI chunk's content hash (which the read checked against
// its bytes) is the one expected for its uid. `progress` is told the chunks
// done.
int verifyAgainst(const std::string& path, const std::vector<uint64_t>& wanted,
                  const std::unordered_map<uint64_t, fmt::Digest128>& expectedAudio, unsigned threads,
                  const std::function<void(size_t done, size_t total)>& progress) {
    try {
        auto opened = fmt::openZem6File(path, fmt::ReadPolicy{});
        if (!opened.ok()) return kSaveCannotWrite;
        const fmt::Zem6File& file = opened.value();

        std::vector<uint64_t> found;
        found.reserve(file.model.samples.size());
        for (const fmt::SmplEntry& row : file.model.samples) found.push_back(row.uid);
        if (wanted != found) return kSaveCannotWrite;

        // Each worker takes the next chunk, reads it with every check into a
        // buffer of its own that it keeps, and compares the audio; the first
        // fault stops them all.
        std::atomic<size_t> next{0};
        std::atomic<size_t> done{0};
        std::atomic<bool> failed{false};
        std::atomic<size_t> audioMatched{0};
        const size_t total = file.chunks.size();
        auto work = [&]() noexcept {
            try {
                fmt::Bytes scratch;
                for (size_t i = next++; i < total && !failed.load(std::memory_order_relaxed); i = next++) {
                    const fmt::ChunkRecord& record = file.chunks[i];
                    auto payload = file.readChunkInto(record, scratch);
                    if (!payload.ok()) {
                        failed = true;
                        return;
                    }
                    if (progress) progress(++done, total);
                    if (record.tag != fmt::kTagAUDI) continue;
                    // The directory holds each (tag, uid) once, so a match
                    // per expected uid covers them all.
                    const auto it = expectedAudio.find(record.uid);
                    if (it == expectedAudio.end() || it->second != record.hash) {
                        failed = true;
                        return;
                    }
                    ++audioMatched;
                }
            } catch (...) {
                failed = true;
            }
        };

        const unsigned wantedThreads = threads == 0 ? defaultVerifyThreads() : threads;
        const size_t extra = std::min<size_t>(wantedThreads, std::max<size_t>(total, 1)) - 1;
        std::vector<std::thread> pool;
        pool.reserve(extra);
        for (size_t t = 0; t < extra; ++t) {
            try {
                pool.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // fewer threads only take longer
            }
        }
        work();
        for (std::thread& thread : pool) thread.join();
        if (failed.load()) return kSaveCannotWrite;
        return audioMatched.load() == expectedAudio.size() ? 0 : kSaveCannotWrite;
    } catch (const std::bad_alloc&) {
        return kSaveCannotWrite;
    }
}

} // namespace

int verifyWrittenFile(const std::string& path, const fmt::Export& exported, unsigned threads) {
    try {
        std::vector<uint64_t> wanted;
        wanted.reserve(exported.model.samples.size());
        for (const fmt::SmplEntry& row : exported.model.samples) wanted.push_back(row.uid);
        std::unordered_map<uint64_t, fmt::Digest128> expectedAudio;
        for (const fmt::StagedPayload& p : exported.payloads) {
            if (p.tag != fmt::kTagAUDI) continue;
            // Two payloads for one uid cannot both be in the file.
            const fmt::Digest128 hash = fmt::chunkDigests(p.tag, fmt::kChunkCritical, p.uid, p.bytes, {}).hash;
            if (!expectedAudio.emplace(p.uid, hash).second) return kSaveCannotWrite;
        }
        return verifyAgainst(path, wanted, expectedAudio, threads, {});
    } catch (const std::bad_alloc&) {
        return kSaveCannotWrite;
    }
}

int writeExportOver(const std::string& target, const fmt::Export& exported, const SaveStepCheck& check) {
    auto stepFails = [&](SaveStep step) { return check && !check(step); };
    const std::string temporary = temporarySiblingFor(target);

    auto written = fmt::writeZem6File(temporary, exported.model, exported.payloads);
    if (!written.ok()) {
        removeLeftovers(temporary);
        return written.error().code == fmt::ErrorCode::WriteIo ? kSaveCannotWrite : kSaveInvalid;
    }
    if (stepFails(SaveStep::written)) {
        removeLeftovers(temporary);
        return kSaveCannotWrite;
    }

    const fmt::DrumType drumType = fmt::parseDrumType(exported.model.metadata.drum_type.value_or(std::string()));
    auto analysed = fmt::rewriteWithPhysicalAnalysis(temporary, drumType);
    if (!analysed.ok()) {
        removeLeftovers(temporary);
        // A full disk or a failed rename is a write fault, not a bad model.
        return analysed.error().code == fmt::ErrorCode::WriteIo ? kSaveCannotWrite : kSaveInvalid;
    }
    if (stepFails(SaveStep::analysed)) {
        removeLeftovers(temporary);
        return kSaveCannotWrite;
    }

    if (verifyWrittenFile(temporary, exported) != 0 || stepFails(SaveStep::verified)) {
        removeLeftovers(temporary);
        return kSaveCannotWrite;
    }

    // Only a rename replaces the target: never a copy over it.
    const platform::ReplaceStatus replaced = platform::replaceFile(temporary, target);
    if (!replaced.ok()) {
        removeLeftovers(temporary);
        return kSaveCannotWrite;
    }
    if (stepFails(SaveStep::replaced)) return kSaveCannotWrite;
    return 0;
}

int saveProgressPercent(const SaveProgress& progress) {
    // Where each phase starts and ends, in percent: the shares measured on
    // a 1 GiB save of 5,000 samples.
    struct Span {
        SavePhase phase;
        int from;
        int to;
    };
    static constexpr Span kSpans[] = {
        {SavePhase::measuring, 0, 37},  {SavePhase::analysing, 37, 41}, {SavePhase::writing, 41, 79},
        {SavePhase::verifying, 79, 93}, {SavePhase::replacing, 93, 100},
    };
    for (const Span& s : kSpans) {
        if (s.phase != progress.phase) continue;
        if (progress.total == 0) return s.from;
        const size_t done = std::min(progress.done, progress.total);
        return s.from + static_cast<int>(static_cast<uint64_t>(s.to - s.from) * done / progress.total);
    }
    return 0;
}

unsigned saveWorkerThreads() { return std::clamp(platform::hardwareThreads(), 1u, 4u); }

namespace {

// Runs work(i) for i in [0, n) on `threads` threads, the caller's included,
// in ascending order of taking; the first false stops the taking.
void forEachOnPool(size_t n, unsigned threads, const std::function<bool(size_t)>& work) {
    std::atomic<size_t> next{0};
    std::atomic<bool> stopped{false};
    auto run = [&]() noexcept {
        for (size_t i = next++; i < n && !stopped.load(std::memory_order_relaxed); i = next++) {
            if (!work(i)) stopped = true;
        }
    };
    std::vector<std::thread> pool;
    const size_t extra = std::min<size_t>(std::max(threads, 1u), std::max<size_t>(n, 1)) - 1;
    pool.reserve(extra);
    for (size_t t = 0; t < extra; ++t) {
        try {
            pool.emplace_back(run);
        } catch (const std::system_error&) {
            break;  // fewer threads only take longer
        }
    }
    run();
    for (std::thread& thread : pool) thread.join();
}

// What the measuring of one sample keeps: the check of its floats, so the
// copy the writer is handed later is known to be the audio measured.
struct Measured {
    std::optional<fmt::ErrorInfo> error;
    int code = kSaveOk;
    fmt::Bytes peaks;
    uint32_t floatsCrc = 0;
    bool reused = false;  // its payload is its stored chunk byte for byte
};

// The checks of the stored chunk a payload of this head and length would be
// byte for byte (same chunk header, same head, and so the same verified
// body), or nothing.
std::optional<fmt::ChunkDigests> storedChecks(const SaveAudioSource& audio, uint64_t uid, const PayloadHead& head,
                                              uint64_t length) {
    if (!audio.stored) return std::nullopt;
    const std::optional<StoredPayload> stored = audio.stored(uid);
    if (stored && stored->uid == uid && stored->flags == fmt::kChunkCritical && stored->length == length &&
        stored->head == head) {
        return stored->checks;
    }
    return std::nullopt;
}

bool storedMatches(const SaveAudioSource& audio, uint64_t uid, const PayloadHead& head, uint64_t length) {
    return storedChecks(audio, uid, head, length).has_value();
}

uint32_t crcOfFloats(const fmt::SampleAudio& audio) {
    fmt::Crc32cAccumulator crc;
    fmt::crc32cUpdate(crc, fmt::ByteView(reinterpret_cast<const uint8_t*>(audio.samples.data()),
                                         audio.samples.size() * sizeof(float)));
    return fmt::crc32cFinish(crc);
}

// The analysis audio of a row from its complete audio, as the analysis reads
// it from a written file: up to five seconds of the playback region, mixed
// to mono; no audio at 44100 Hz for a geometry it does not read.
fmt::Pa6 analysisAudioOf(const fmt::SmplEntry& row, const fmt::SampleAudio& audio) {
    const uint64_t rate = row.sample_rate.value_or(0);
    const uint64_t channels = row.channels.value_or(0);
    if (rate < fmt::kBrowseMinRate || rate > fmt::kBrowseMaxRate || channels < 1 || channels > 2) return fmt::Pa6{};
    const uint64_t frames = row.frames.value_or(0);
    const uint64_t cap = rate * fmt::kBrowseSeconds;
    const uint64_t from = row.playback_start.value_or(0);
    const uint64_t end = row.playback_end ? *row.playback_end : frames;
    const uint64_t to = std::min(end, frames);
    std::vector<float> mono;
    if (from < to && to * channels <= audio.samples.size()) {
        const uint64_t n = std::min(to - from, cap);
        mono.reserve(static_cast<size_t>(n));
        const float* at = audio.samples.data() + from * channels;
        for (uint64_t f = 0; f < n; ++f) {
            mono.push_back(channels == 1 ? at[f] : (at[2 * f] + at[2 * f + 1]) * 0.5f);
        }
    }
    return fmt::Pa6(std::move(mono), static_cast<uint32_t>(rate));
}

// The payloads of a save, built ahead of the writer on a pool: a worker
// takes the next sample while the payloads out (made, or being made, and
// not yet released) stay within `budget` bytes, reads its audio, makes the
// head and hashes the chunk; the writer takes them in order and each is
// released when the next is taken. The one the writer waits for is always
// made, whatever the budget.
class PayloadPipeline {
public:
    struct Made {
        fmt::SampleAudio audio;
        PayloadHead head{};
        fmt::ChunkDigests checks;
    };
    using Make = std::function<fmt::Result<std::unique_ptr<Made>>(size_t index)>;

    PayloadPipeline(std::span<const uint64_t> lengths, unsigned workers, uint64_t budget, Make make)
        : lengths_(lengths), budget_(budget), make_(std::move(make)), slots_(lengths.size()) {
        for (unsigned t = 0; t < std::max(workers, 1u); ++t) {
            try {
                threads_.emplace_back([this] { run(); });
            } catch (const std::system_error&) {
                break;
            }
        }
    }

    ~PayloadPipeline() {
        {
            const std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        workersWait_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    PayloadPipeline(const PayloadPipeline&) = delete;
    PayloadPipeline& operator=(const PayloadPipeline&) = delete;

    // The payload of `index`, waiting for it; releases every earlier one.
    fmt::Result<fmt::PayloadPieces> take(size_t index, int& code) {
        std::vector<std::unique_ptr<Made>> released;
        std::unique_lock<std::mutex> hold(lock_);
        for (; released_ < index; ++released_) {
            released.push_back(std::move(slots_[released_].made));
            held_ -= lengths_[released_];
        }
        if (!released.empty()) workersWait_.notify_all();
        if (threads_.empty()) {
            // No thread could be started: this one makes the payload itself.
            hold.unlock();
            released.clear();
            return makeHere(index, code);
        }
        Slot& slot = slots_[index];
        waitingFor_ = index;
        writerWait_.wait(hold, [&] { return slot.done; });
        waitingFor_ = SIZE_MAX;
        hold.unlock();
        released.clear();  // freed outside the lock
        if (slot.error) {
            code = slot.code;
            return *slot.error;
        }
        const Made& m = *slot.made;
        return pieces(m);
    }

private:
    struct Slot {
        bool done = false;
        std::unique_ptr<Made> made;
        std::optional<fmt::ErrorInfo> error;
        int code = kSaveOk;
    };

    static fmt::PayloadPieces pieces(const Made& m) {
        return fmt::PayloadPieces{fmt::ByteView(m.head.data(), m.head.size()),
                                  fmt::ByteView(reinterpret_cast<const uint8_t*>(m.audio.samples.data()),
                                                m.audio.samples.size() * sizeof(float)),
                                  m.checks};
    }

    fmt::Result<fmt::PayloadPieces> makeHere(size_t index, int& code) {
        own_.reset();
        auto made = make_(index);
        if (!made.ok()) {
            code = made.code() == fmt::ErrorCode::PayloadHeadInvalid ? kSaveBuildFailed : kSaveAudioUnreadable;
            return made.takeError();
        }
        own_ = std::move(made).value();
        return pieces(*own_);
    }

    bool mayTakeNext() const {
        return next_ >= lengths_.size() || next_ == released_ || held_ + lengths_[next_] <= budget_;
    }

    void run() noexcept {
        for (;;) {
            size_t index = 0;
            {
                std::unique_lock<std::mutex> hold(lock_);
                workersWait_.wait(hold, [&] { return stop_ || mayTakeNext(); });
                if (stop_ || next_ >= lengths_.size()) return;
                index = next_++;
                held_ += lengths_[index];
            }
            std::unique_ptr<Made> made;
            std::optional<fmt::ErrorInfo> error;
            int code = kSaveOk;
            try {
                auto r = make_(index);
                if (r.ok()) {
                    made = std::move(r).value();
                } else {
                    code = r.code() == fmt::ErrorCode::PayloadHeadInvalid ? kSaveBuildFailed : kSaveAudioUnreadable;
                    error = r.takeError();
                }
            } catch (const std::bad_alloc&) {
                code = kSaveBuildFailed;
                error = fmt::ErrorInfo{fmt::ErrorCode::AllocationFailed, "not enough memory to build the save"};
            } catch (...) {
                code = kSaveBuildFailed;
                error = fmt::ErrorInfo{fmt::ErrorCode::ModelInvalid, "a payload could not be built"};
            }
            bool wake = false;
            {
                const std::lock_guard<std::mutex> hold(lock_);
                Slot& slot = slots_[index];
                slot.made = std::move(made);
                slot.error = std::move(error);
                slot.code = code;
                slot.done = true;
                wake = waitingFor_ == index;
            }
            if (wake) writerWait_.notify_one();
        }
    }

    const std::span<const uint64_t> lengths_;
    const uint64_t budget_;
    const Make make_;
    std::mutex lock_;
    std::condition_variable workersWait_;
    std::condition_variable writerWait_;
    std::vector<Slot> slots_;
    size_t next_ = 0;               // the next index a worker takes
    size_t released_ = 0;           // every index below is released by the writer
    uint64_t held_ = 0;             // bytes of the payloads taken by workers and not released
    size_t waitingFor_ = SIZE_MAX;  // the index the writer waits for
    bool stop_ = false;
    std::unique_ptr<Made> own_;
    std::vector<std::thread> threads_;
};

// Bytes of payloads a save holds ahead of its writer: one of the largest per
// worker, and never less than 1 MiB per worker, so that small payloads pass
// in batches instead of one hand-over each.
uint64_t payloadBudget(std::span<const uint64_t> lengths, unsigned workers) {
    uint64_t largest = uint64_t{1} << 20;
    for (const uint64_t n : lengths) largest = std::max(largest, n);
    return largest * std::max(workers, 1u);
}

// Removes what the job created on every way out but success.
class CreatedFiles {
public:
    explicit CreatedFiles(std::string temporary) : temporary_(std::move(temporary)) {}
    ~CreatedFiles() {
        if (!kept_) removeLeftovers(temporary_);
    }
    CreatedFiles(const CreatedFiles&) = delete;
    CreatedFiles& operator=(const CreatedFiles&) = delete;
    void keep() { kept_ = true; }

private:
    std::string temporary_;
    bool kept_ = false;
};

int runSaveJobChecked(const std::string& target, SaveModelPlan& plan, const SaveAudioSource& audioSource,
                      const SaveProgressFn& progress, const SaveStepCheck& check, unsigned threads) {
    auto stepFails = [&](SaveStep step) { return check && !check(step); };
    // Pool threads report as they finish, in any order: one report at a
    // time, and a count older than one already reported is dropped, so the
    // progress never goes back.
    std::mutex reportLock;
    SavePhase reportedPhase = SavePhase::measuring;
    size_t reportedDone = 0;
    auto report = [&](SavePhase phase, size_t done, size_t total) {
        if (!progress) return;
        const std::lock_guard<std::mutex> hold(reportLock);
        if (phase == reportedPhase && done < reportedDone) return;
        reportedPhase = phase;
        reportedDone = done;
        progress(SaveProgress{phase, done, total});
    };
    const unsigned workers = threads == 0 ? saveWorkerThreads() : threads;
    const SaveAudioLoader& loadAudio = audioSource.load;

    // 1. The temporary sibling first: a folder that cannot be written to,
    // or a disk with no room, is reported before any audio is read.
    const std::string temporary = temporarySiblingFor(target);
    platform::OutputFile out;
    if (!out.createNew(temporary).ok()) return kSaveCannotWrite;
    CreatedFiles created(temporary);
    {
        // The superblock's place, which the writer writes over first.
        const uint8_t zeros[fmt::kSuperblockBytes] = {};
        if (!out.writeAllAt(0, zeros).ok() || !out.sync().ok()) return kSaveCannotWrite;
    }
    if (stepFails(SaveStep::created)) return kSaveCannotWrite;

    // 2. Every sample measured on the pool; only its row, peaks and the
    // check of its floats stay.
    fmt::Zem6Model& model = plan.exported.model;
    const size_t rows = model.samples.size();
    std::vector<Measured> measured(rows);
    std::atomic<size_t> measuredCount{0};
    report(SavePhase::measuring, 0, rows);
    forEachOnPool(rows, workers, [&](size_t i) {
        Measured& m = measured[i];
        try {
            fmt::SmplEntry& row = model.samples[i];
            auto audio = loadAudio(row.uid);
            if (!audio.ok()) {
                m.code = kSaveAudioUnreadable;
                m.error = audio.takeError();
                return false;
            }
            measureSampleRow(row, audio.value(), plan.levels[i], plan.sortLocks[i] != 0, model.points_per_sample,
                             m.peaks);
            auto head = payloadHeadFor(row);
            if (!head.ok() || payloadBytesFor(row) != fmt::kPcmaHeadBytes + audio.value().samples.size() * sizeof(float)) {
                m.code = kSaveBuildFailed;
                m.error = fmt::ErrorInfo{fmt::ErrorCode::PayloadHeadInvalid, "payload head refused"};
                return false;
            }
            // A payload that will be its stored chunk needs no check of its
            // floats: the stored chunk's own checks cover them.
            m.reused = storedMatches(audioSource, row.uid, head.value(), payloadBytesFor(row));
            if (!m.reused) m.floatsCrc = crcOfFloats(audio.value());
        } catch (const std::bad_alloc&) {
            m.code = kSaveBuildFailed;
            m.error = fmt::ErrorInfo{fmt::ErrorCode::AllocationFailed, "not enough memory to build the save"};
            return false;
        } catch (...) {
            m.code = kSaveBuildFailed;
            m.error = fmt::ErrorInfo{fmt::ErrorCode::ModelInvalid, "a sample could not be measured"};
            return false;
        }
        report(SavePhase::measuring, ++measuredCount, rows);
        return true;
    });
    for (const Measured& m : measured) {
        if (m.error) return m.code;
    }
    // The peaks, in row order; the payloads, in the order the rows had
    // before indexing, as the writer is given them.
    std::vector<fmt::StagedPayload> laws;
    std::vector<uint64_t> lengths;
    std::vector<uint32_t> floatsCrc;
    std::vector<bool> reused;
    reused.reserve(rows);
    laws.reserve(rows);
    lengths.reserve(rows);
    floatsCrc.reserve(rows);
    for (size_t i = 0; i < rows; ++i) {
        model.peaks.insert(model.peaks.end(), measured[i].peaks.begin(), measured[i].peaks.end());
        laws.push_back(fmt::StagedPayload{model.samples[i].uid, fmt::kTagAUDI, {}});
        lengths.push_back(payloadBytesFor(model.samples[i]));
        floatsCrc.push_back(measured[i].floatsCrc);
        reused.push_back(measured[i].reused);
    }
    measured = {};
    auto index = ui::zemedit::logic::indexGroupDefinitions(model);
    if (!index.ok()) return kSaveBuildFailed;
    model = std::move(index.value().model);
    std::unordered_map<uint64_t, size_t> rowOf;
    for (size_t i = 0; i < model.samples.size(); ++i) rowOf.emplace(model.samples[i].uid, i);

    // 3. The physical analysis, from the audio of the rows it picks.
    report(SavePhase::analysing, 0, 1);
    const fmt::DrumType drumType = fmt::parseDrumType(model.metadata.drum_type.value_or(std::string()));
    const fmt::Fn analysisAudio = [&](size_t i) -> fmt::Result<fmt::Pa6> {
        if (i >= model.samples.size()) return fmt::Pa6{};
        auto audio = loadAudio(model.samples[i].uid);
        if (!audio.ok()) return fmt::Pa6{};
        return analysisAudioOf(model.samples[i], audio.value());
    };
    auto entries = fmt::analyzePhysicalModels(model, drumType, analysisAudio);
    if (!entries.ok()) return kSaveBuildFailed;
    if (!fmt::applyPhysicalModels(model, entries.value()).ok()) return kSaveBuildFailed;
    report(SavePhase::analysing, 1, 1);
    if (stepFails(SaveStep::analysed)) return kSaveCannotWrite;

    // 4. One write, the payloads made on the pool as the writer reaches them.
    std::unordered_map<uint64_t, fmt::Digest128> written;
    std::mutex writtenLock;
    std::atomic<size_t> writtenCount{0};
    report(SavePhase::writing, 0, rows);
    int producerCode = kSaveOk;
    fmt::Result<fmt::Unit> wrote = fmt::Unit{};
    {
        PayloadPipeline pipeline(lengths, workers, payloadBudget(lengths, workers), [&](size_t i) -> fmt::Result<std::unique_ptr<PayloadPipeline::Made>> {
            const uint64_t uid = laws[i].uid;
            const auto found = rowOf.find(uid);
            if (found == rowOf.end()) return fmt::fail(fmt::ErrorCode::ModelInvalid, "a sample row went missing");
            const fmt::SmplEntry& row = model.samples[found->second];
            auto audio = loadAudio(uid);
            if (!audio.ok()) return audio.takeError();
            auto made = std::make_unique<PayloadPipeline::Made>();
            made->audio = std::move(audio).value();
            if (made->audio.samples.size() * sizeof(float) + fmt::kPcmaHeadBytes != lengths[i]) {
                return fmt::fail(fmt::ErrorCode::ModelInvalid, "a sample's audio changed while it was saved");
            }
            ZEM_TRY_ASSIGN(made->head, payloadHeadFor(row));
            // A payload that is its stored chunk byte for byte (same chunk
            // header, same head, and so the same verified body the measures
            // came from) keeps the checks the read verified.
            if (const auto stored = storedChecks(audioSource, uid, made->head, lengths[i])) {
                made->checks = *stored;
            } else if (reused[i]) {
                // It was its stored chunk when measured, and is no longer.
                return fmt::fail(fmt::ErrorCode::ModelInvalid, "a sample's audio changed while it was saved");
            } else {
                // Otherwise the audio must be the very audio measured: its
                // row holds the plain hash and measures of that one.
                if (crcOfFloats(made->audio) != floatsCrc[i]) {
                    return fmt::fail(fmt::ErrorCode::ModelInvalid, "a sample's audio changed while it was saved");
                }
                const fmt::ByteView body(reinterpret_cast<const uint8_t*>(made->audio.samples.data()),
                                         made->audio.samples.size() * sizeof(float));
                made->checks = fmt::chunkDigests(fmt::kTagAUDI, fmt::kChunkCritical, uid,
                                                 fmt::ByteView(made->head.data(), made->head.size()), body);
            }
            {
                const std::lock_guard<std::mutex> hold(writtenLock);
                written[uid] = made->checks.hash;
            }
            return made;
        });
        const fmt::ProducePayload produce = [&](size_t i) -> fmt::Result<fmt::PayloadPieces> {
            auto pieces = pipeline.take(i, producerCode);
            if (pieces.ok()) report(SavePhase::writing, ++writtenCount, rows);
            return pieces;
        };
        wrote = fmt::writeZem6Streamed(out, temporary, model, laws, lengths, produce);
    }
    if (!wrote.ok()) {
        if (producerCode != kSaveOk) return producerCode;
        return wrote.error().code == fmt::ErrorCode::WriteIo ? kSaveCannotWrite : kSaveBuildFailed;
    }
    if (stepFails(SaveStep::written)) return kSaveCannotWrite;

    // 5. The whole file read back against what was written.
    std::vector<uint64_t> wanted;
    wanted.reserve(model.samples.size());
    for (const fmt::SmplEntry& row : model.samples) wanted.push_back(row.uid);
    const int verified = verifyAgainst(temporary, wanted, written, 0, [&](size_t done, size_t total) {
        report(SavePhase::verifying, done, total);
    });
    if (verified != 0 || stepFails(SaveStep::verified)) return kSaveCannotWrite;

    // 6. Only a rename replaces the target: never a copy over it.
    report(SavePhase::replacing, 0, 1);
    const platform::ReplaceStatus replaced = platform::replaceFile(temporary, target);
    if (!replaced.ok()) return kSaveCannotWrite;
    created.keep();
    report(SavePhase::replacing, 1, 1);
    if (stepFails(SaveStep::replaced)) return kSaveCannotWrite;
    return 0;
}

} // namespace

int runSaveJob(const std::string& target, SaveModelPlan plan, const SaveAudioSource& audio,
               const SaveProgressFn& progress, const SaveStepCheck& check, unsigned threads) {
    try {
        return runSaveJobChecked(target, plan, audio, progress, check, threads);
    } catch (const std::exception&) {
        // Out of memory, or a thread or lock the system refused: the job's
        // files are gone and the target is as it was.
        return kSaveBuildFailed;
    }
}

SaveJobResult composeAndRunSave(const ui::zemedit::logic::EditDocument& document, const fmt::Zem6Model& source,
                                const std::string& baseName, const std::string& target, const SaveAudioSource& audio,
                                const SaveProgressFn& progress) {
    SaveJobResult result;
    try {
        int code = kSaveBuildFailed;
        auto planned = composeSaveModel(document, source, baseName, code);
        if (!planned.ok()) {
            result.code = code == kSaveOk ? kSaveBuildFailed : code;
            // A sample the engine cannot play is named, as import names its files.
            if (code == kSaveTooManyChannels) result.refusal = planned.message();
            return result;
        }
        if (!planned.value().exported.warnings.empty()) {
            result.code = kSaveBuildFailed;
            result.notes = std::move(planned.value().exported.warnings);
            return result;
        }
        result.roomMoves = planned.value().roomMoves;
        // The first sample whose own audio failed to read, for the refusal.
        auto unreadable = std::make_shared<std::atomic<uint64_t>>(0);
        SaveAudioSource watched = audio;
        watched.load = [load = audio.load, unreadable](uint64_t uid) {
            auto loaded = load(uid);
            if (!loaded.ok() && loaded.message() != kSourceChangedText) {
                uint64_t none = 0;
                unreadable->compare_exchange_strong(none, uid);
            }
            return loaded;
        };
        result.code = runSaveJob(target, std::move(planned).value(), watched, progress);
        if (result.code == kSaveAudioUnreadable && unreadable->load() != 0) {
            const ui::zemedit::logic::EditSample* sample = document.sampleByUid(unreadable->load());
            if (sample != nullptr) result.unreadableSample = sample->name;
        }
    } catch (const std::exception&) {
        // Out of memory while composing: nothing was written.
        result = SaveJobResult{};
        result.code = kSaveBuildFailed;
    }
    return result;
}

void settleSavedDocument(ui::zemedit::logic::EditDocument& document,
                         std::span<const ui::zemedit::logic::RoomGroupMove> roomMoves) {
    ui::zemedit::logic::moveRoomSamplesToDirects(document, roomMoves);
    document.pruneEmptyGroups();
    document.markSaved();
}

} // namespace vt6::maker
