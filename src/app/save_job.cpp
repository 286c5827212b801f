#include "app/save_job.hpp"

#include <algorithm>
#include <map>
#include <new>
#include <random>
#include <set>

#include "analysis/drum_type.hpp"
#include "analysis/physical_pass.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "format/writer.hpp"
#include "platform/replace_file.hpp"
#include "platform/write_file.hpp"

namespace vt6::maker {

namespace {

constexpr int kSaveInvalid = 5;

std::string randomHex() {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::random_device device;
    std::mt19937_64 engine((static_cast<uint64_t>(device()) << 32) ^ device());
    uint64_t value = engine();
    std::string out;
    for (int i = 0; i < 16; ++i, value >>= 4) out.push_back(kDigits[value & 15u]);
    return out;
}

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

int verifyWrittenFile(const std::string& path, const fmt::Export& exported) {
    try {
        auto opened = fmt::openZem6File(path, fmt::ReadPolicy{});
        if (!opened.ok()) return kSaveCannotWrite;
        const fmt::Zem6File& file = opened.value();

        std::map<uint64_t, fmt::Digest128> expectedAudio;
        for (const fmt::StagedPayload& p : exported.payloads) {
            if (p.tag == fmt::kTagAUDI) expectedAudio[p.uid] = fmt::blake2b128(p.bytes);
        }
        std::map<uint64_t, fmt::Digest128> foundAudio;
        for (const fmt::ChunkRecord& record : file.chunks) {
            auto payload = file.readChunk(record);
            if (!payload.ok()) return kSaveCannotWrite;
            if (record.tag == fmt::kTagAUDI) foundAudio[record.uid] = fmt::blake2b128(payload.value());
        }
        if (foundAudio != expectedAudio) return kSaveCannotWrite;

        std::vector<uint64_t> wanted;
        std::vector<uint64_t> found;
        for (const fmt::SmplEntry& row : exported.model.samples) wanted.push_back(row.uid);
        for (const fmt::SmplEntry& row : file.model.samples) found.push_back(row.uid);
        return wanted == found ? 0 : kSaveCannotWrite;
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
