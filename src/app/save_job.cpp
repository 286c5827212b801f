#include "app/save_job.hpp"

#include <algorithm>
#include <map>
#include <new>
#include <random>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <atomic>

#include "analysis/drum_type.hpp"
#include "analysis/physical_pass.hpp"
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

int verifyWrittenFile(const std::string& path, const fmt::Export& exported, unsigned threads) {
    try {
        auto opened = fmt::openZem6File(path, fmt::ReadPolicy{});
        if (!opened.ok()) return kSaveCannotWrite;
        const fmt::Zem6File& file = opened.value();

        std::vector<uint64_t> wanted;
        std::vector<uint64_t> found;
        for (const fmt::SmplEntry& row : exported.model.samples) wanted.push_back(row.uid);
        for (const fmt::SmplEntry& row : file.model.samples) found.push_back(row.uid);
        if (wanted != found) return kSaveCannotWrite;

        std::unordered_map<uint64_t, const fmt::Bytes*> expectedAudio;
        for (const fmt::StagedPayload& p : exported.payloads) {
            // Two payloads for one uid cannot both be in the file.
            if (p.tag == fmt::kTagAUDI && !expectedAudio.emplace(p.uid, &p.bytes).second) return kSaveCannotWrite;
        }

        // Each worker takes the next chunk, reads it with every check and
        // compares audio byte for byte; the first fault stops them all.
        std::atomic<size_t> next{0};
        std::atomic<bool> failed{false};
        std::atomic<size_t> audioMatched{0};
        auto work = [&]() noexcept {
            try {
                for (size_t i = next++; i < file.chunks.size() && !failed.load(std::memory_order_relaxed);
                     i = next++) {
                    const fmt::ChunkRecord& record = file.chunks[i];
                    auto payload = file.readChunk(record);
                    if (!payload.ok()) {
                        failed = true;
                        return;
                    }
                    if (record.tag != fmt::kTagAUDI) continue;
                    // The directory holds each (tag, uid) once, so a match
                    // per expected uid covers them all.
                    const auto it = expectedAudio.find(record.uid);
                    if (it == expectedAudio.end() || *it->second != payload.value()) {
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
        const size_t extra = std::min<size_t>(wantedThreads, std::max<size_t>(file.chunks.size(), 1)) - 1;
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

} // namespace vt6::maker
