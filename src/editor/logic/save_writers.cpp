#include "editor/logic/save_writers.hpp"

#include <algorithm>
#include <utility>

#include "analysis/physical_pass.hpp"
#include "editor/logic/compose.hpp"
#include "format/framing.hpp"
#include "format/reader.hpp"
#include "platform/replace_file.hpp"
#include "platform/write_file.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::ErrorCode;
using fmt::Result;
using fmt::StagedPayload;
using fmt::Unit;

SaveStepHook saveStepHook = nullptr;

Result<Unit> stepDone(SaveStep step, const std::string& temporaryPath) {
    if (saveStepHook != nullptr) return saveStepHook(step, temporaryPath);
    return {};
}

// Moves the first entry with `uid` to the end of `staged`; false when none.
bool moveFirst(std::vector<StagedPayload>& added, uint64_t uid, std::vector<StagedPayload>& staged) {
    const auto it = std::find_if(added.begin(), added.end(), [&](const StagedPayload& p) { return p.uid == uid; });
    if (it == added.end()) return false;
    staged.push_back(std::move(*it));
    added.erase(it);
    return true;
}

// The editor encodes every payload it makes as 32-bit float PCM; a row whose
// audio it stages must say so, or a row brought back by undo (still naming
// the stored file's depth) would not describe its own payload.
void markEditorAudio(fmt::Zem6Model& model, uint64_t uid) {
    for (fmt::SmplEntry& row : model.samples)
        if (row.uid == uid) row.bits = 32;
}

} // namespace

void setSaveStepHookForTesting(SaveStepHook hook) noexcept { saveStepHook = hook; }

std::unordered_set<uint64_t> collectModelUids(const fmt::Zem6Model& model) {
    std::unordered_set<uint64_t> out;
    for (const fmt::SmplEntry& row : model.samples) out.insert(row.uid);
    return out;
}

std::unordered_set<uint64_t> collectAudioUids(const fmt::Zem6Model& model) {
    std::unordered_set<uint64_t> out;
    for (const fmt::SmplEntry& row : model.samples) {
        out.insert(row.audi_uid);
        if (row.audt_uid) out.insert(*row.audt_uid);
    }
    return out;
}

bool hasSampleNotIn(const fmt::Zem6Model& model, const fmt::Zem6Model& other) {
    const std::unordered_set<uint64_t> theirs = collectModelUids(other);
    return std::any_of(model.samples.begin(), model.samples.end(),
                       [&](const fmt::SmplEntry& row) { return theirs.count(row.uid) == 0; });
}

Result<Unit> writeAndReplace(const std::string& path, const fmt::Zem6Model& model,
                             const std::vector<StagedPayload>& payloads, const fmt::WriteOptions& options,
                             uint8_t drumType, const std::string& carrySourcePath, const fmt::ReadPolicy& carryPolicy) {
    // A link at the destination stays and the file it names is replaced,
    // from a temporary beside that file; a pipe, device or folder is refused.
    std::string target;
    if (const platform::WriteStatus where = platform::resolveReplaceTarget(path, target); !where.ok())
        return fmt::fail(ErrorCode::WriteIo, "cannot replace '" + path + "': " + where.reason);
    const std::string temporary = target + ".vt6tmp";
    // Whatever fails from here on, nothing of this save stays beside the
    // destination: neither the temporary file nor the analysis pass's own.
    const auto failed = [&](fmt::ErrorInfo error) -> Result<Unit> {
        platform::removeFile(temporary);
        platform::removeFile(temporary + ".physical");
        return error;
    };
    Result<Unit> written = carrySourcePath.empty()
                               ? fmt::writeZem6File(temporary, model, payloads, options)
                               : fmt::writeZem6WithSourcePayloads(carrySourcePath, temporary, model, carryPolicy);
    if (!written.ok()) return failed(written.takeError());
    if (Result<Unit> r = stepDone(SaveStep::Written, temporary); !r.ok()) return failed(r.takeError());

    if (Result<Unit> r = fmt::rewriteWithPhysicalAnalysis(temporary, drumType); !r.ok()) return failed(r.takeError());
    if (Result<Unit> r = stepDone(SaveStep::Analysed, temporary); !r.ok()) return failed(r.takeError());

    // A file that does not read back never replaces anything.
    {
        Result<fmt::Zem6File> reopened = fmt::openZem6File(temporary, fmt::ReadPolicy{});
        if (!reopened.ok()) return failed(reopened.takeError());
    }
    if (Result<Unit> r = stepDone(SaveStep::Verified, temporary); !r.ok()) return failed(r.takeError());

    if (!platform::replaceFile(temporary, target).ok())
        return failed(fmt::fail(ErrorCode::WriteIo, "rename to '" + path + "' failed"));
    return {};
}

Result<SaveOutcome> saveEdited(EditDocument& document, FileDataSource& source, const SaveDestination& destination,
                               std::vector<StagedPayload> added, const std::string& name) {
    const fmt::Zem6Model& sourceModel = source.model();
    std::vector<std::string> unmatched;
    Result<fmt::Zem6Model> composed = composeAndCheck(document, sourceModel, &unmatched);
    if (!composed.ok()) return composed.takeError();
    fmt::Zem6Model model = std::move(composed).value();
    if (!name.empty()) model.metadata.name = name;
    if (destination.asNew) {
        auto& ext = model.metadata.extensions;
        ext.erase(std::remove_if(ext.begin(), ext.end(),
                                 [](const fmt::ExtensionPair& p) { return p.key == fmt::kPublisherCertMtadKey; }),
                  ext.end());
    }

    const bool gather = hasSampleNotIn(model, sourceModel) || model.samples.size() != sourceModel.samples.size() ||
                        document.hasPendingAudio();
    fmt::WriteOptions options;
    options.legacyOrigin = model.metadata.legacy.has_value();
    std::vector<StagedPayload> staged;
    if (gather) {
        std::unordered_set<uint64_t> replaced;
        for (const fmt::SmplEntry& row : sourceModel.samples) {
            const EditSample* s = document.sampleByUid(row.uid);
            if (s == nullptr || s->audioRevision == s->savedAudioRevision) continue;
            if (!moveFirst(added, row.uid, staged))
                return fmt::fail(ErrorCode::ModelInvalid,
                                 "edited sample uid " + std::to_string(row.uid) + " has no audio payload");
            markEditorAudio(model, row.uid);
            replaced.insert(row.audi_uid);
            if (row.audt_uid) replaced.insert(*row.audt_uid);
        }
        const std::unordered_set<uint64_t> live = collectAudioUids(model);
        for (const fmt::ChunkRecord& chunk : source.file().chunks) {
            if (chunk.tag != fmt::kTagAUDI && chunk.tag != fmt::kTagAUDT) continue;
            if (live.count(chunk.uid) == 0 || replaced.count(chunk.uid) != 0) continue;
            Result<fmt::Bytes> bytes = source.file().readChunk(chunk);
            if (!bytes.ok()) return bytes.takeError();
            staged.push_back(StagedPayload{chunk.uid, chunk.tag, std::move(bytes).value()});
        }
        const std::unordered_set<uint64_t> sourceUids = collectModelUids(sourceModel);
        for (const fmt::SmplEntry& row : model.samples) {
            if (sourceUids.count(row.uid) != 0) continue;
            if (!moveFirst(added, row.uid, staged))
                return fmt::fail(ErrorCode::ModelInvalid, "added sample uid " + std::to_string(row.uid) +
                                                              " has no audio payload - FROM TRACK capture is not "
                                                              "available yet");
            markEditorAudio(model, row.uid);
        }
    }
    Result<Unit> written = writeAndReplace(destination.path, model, staged, options, document.drumType,
                                           gather ? std::string() : source.path(), source.file().policy);
    if (!written.ok()) return written.takeError();
    return SaveOutcome{destination.path, destination.asNew, std::move(unmatched)};
}

Result<SaveOutcome> saveInPlace(EditDocument& document, FileDataSource& source, const std::string& directory,
                                std::vector<StagedPayload> added, const std::string& name) {
    const SaveDestination destination = deriveDestination(source.path(), source.sourceFormat(), directory, name);
    Result<SaveOutcome> outcome = saveEdited(document, source, destination, std::move(added), name);
    if (outcome.ok()) document.markSaved();
    return outcome;
}

} // namespace vt6::ui::zemedit::logic
