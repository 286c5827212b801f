// The editor's own save when its host gives no save callback: the dispatcher
// over the writers and what the view model holds after each kind of save.

#include <algorithm>
#include <memory>
#include <unordered_set>
#include <utility>

#include "analysis/drum_type.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "editor/logic/compose.hpp"
#include "editor/logic/path_helpers.hpp"
#include "editor/logic/room_linking.hpp"
#include "editor/logic/sample_commands.hpp"
#include "editor/logic/save_writers.hpp"
#include "editor/logic/view_model.hpp"
#include "platform/make_directory.hpp"
#include "platform/unique_temp_file.hpp"
#include "platform/write_file.hpp"

namespace vt6::ui::zemedit::logic {
namespace {

using fmt::ErrorCode;
using fmt::Result;
using fmt::StagedPayload;
using fmt::Unit;

bool moveFirst(std::vector<StagedPayload>& from, uint64_t uid, std::vector<StagedPayload>& to) {
    const auto it = std::find_if(from.begin(), from.end(), [&](const StagedPayload& p) { return p.uid == uid; });
    if (it == from.end()) return false;
    to.push_back(std::move(*it));
    from.erase(it);
    return true;
}

std::unordered_set<uint64_t> uidsOf(const std::vector<StagedPayload>& payloads) {
    std::unordered_set<uint64_t> out;
    for (const StagedPayload& p : payloads) out.insert(p.uid);
    return out;
}

} // namespace

Result<SaveOutcome> saveConverted(EditDocument& document, LegacyModelDataSource& source, const std::string& directory,
                                  const std::string& name, std::vector<StagedPayload> added,
                                  const SaveDestination* destination) {
    // Converted from a legacy file that must stay as it is: never its own
    // destination, whatever path was derived.
    const SaveDestination d =
        destination != nullptr ? *destination
                               : avoidPath(deriveDestination(source.path(), source.sourceFormat(), directory, name),
                                           source.path());
    zem::LegacyImportOptions options;
    options.headMs = 250;
    options.buildPayloads = true;
    Result<fmt::Export> converted = zem::importLegacyFile(source.path(), options);
    if (!converted.ok()) return converted.takeError();
    fmt::Export exported = std::move(converted).value();
    std::vector<std::string> unmatched;
    Result<fmt::Zem6Model> composed = composeAndCheck(document, exported.model, &unmatched);
    if (!composed.ok()) return composed.takeError();
    fmt::Zem6Model model = std::move(composed).value();
    if (!name.empty()) model.metadata.name = name;

    std::vector<StagedPayload> staged = std::move(exported.payloads);
    for (const fmt::SmplEntry& row : exported.model.samples) {
        const EditSample* s = document.sampleByUid(row.uid);
        if (s == nullptr || s->audioRevision == s->savedAudioRevision) continue;
        std::erase_if(staged, [&](const StagedPayload& p) { return p.uid == row.uid; });
        if (!moveFirst(added, row.uid, staged))
            return fmt::fail(ErrorCode::ModelInvalid,
                             "edited sample uid " + std::to_string(row.uid) + " has no audio payload");
        for (fmt::SmplEntry& out : model.samples)
            if (out.uid == row.uid) out.bits = 32;  // the editor's payloads are 32-bit float
    }
    const std::unordered_set<uint64_t> convertedUids = collectModelUids(exported.model);
    for (const fmt::SmplEntry& row : model.samples) {
        if (convertedUids.count(row.uid) != 0) continue;
        if (!moveFirst(added, row.uid, staged))
            return fmt::fail(ErrorCode::ModelInvalid,
                             "added sample uid " + std::to_string(row.uid) + " has no audio payload");
    }
    const std::unordered_set<uint64_t> live = collectAudioUids(model);
    std::erase_if(staged, [&](const StagedPayload& p) { return live.count(p.uid) == 0; });

    fmt::WriteOptions writeOptions;
    writeOptions.legacyOrigin = true;
    Result<Unit> written = writeAndReplace(d.path, model, staged, writeOptions, document.drumType, {}, {});
    if (!written.ok()) return written.takeError();
    document.markSaved();
    return SaveOutcome{d.path, d.asNew, std::move(unmatched)};
}

std::string savedMessage(const std::vector<std::string>& names) {
    std::string list;
    for (size_t i = 0; i < names.size() && i < 6; ++i) list += (i == 0 ? "" : ", ") + names[i];
    if (names.size() > 6) list += " and " + std::to_string(names.size() - 6) + " more";
    return std::string("The zem was saved. ") +
           (names.size() == 1 ? "This room sample doesn't" : "These room samples don't") +
           " play yet because no direct sample has a matching name: " + list + ". " +
           "A room sample plays with the direct sample whose name is the same apart from the mic label, for "
           "example Snare 3 Direct and Snare 3 Room A.";
}

void ZemEditViewModel::setDestination(std::string path, int32_t kind) {
    destinationPath = std::move(path);
    destinationKind = kind;
}

int32_t ZemEditViewModel::currentDestinationKind() const {
    if (!destinationPath.empty()) return destinationKind;
    if (fileSource) return fileSource->sourceFormat();
    if (legacySource) return legacySource->sourceFormat();
    return 0;
}

Result<Unit> ZemEditViewModel::retainUndoSource() {
    if (!undoSourcePath.empty() || (!fileSource && !legacySource)) return {};
    const std::optional<std::string> made = platform::makeUniqueTempFile("zem");
    if (!made) return fmt::fail(ErrorCode::WriteIo, "Cannot create the editor's undo file");
    const std::string temporary = *made;
    const std::string origin =
        !destinationPath.empty() ? destinationPath : (fileSource ? fileSource->path() : legacySource->path());
    const int32_t kind = currentDestinationKind();

    if (fileSource) {
        const fmt::ReadPolicy policy = fileSource->file().policy;
        Result<Unit> copied =
            fmt::writeZem6WithSourcePayloads(fileSource->path(), temporary, fileSource->model(), policy);
        if (!copied.ok()) {
            platform::removeFile(temporary);
            return copied.takeError();
        }
        const platform::FileInfo info = platform::queryFileInfo(temporary);
        EditStatus ignored;
        Result<std::unique_ptr<FileDataSource>> opened = FileDataSource::open(temporary, ignored, policy);
        if (!opened.ok()) {
            platform::removeFile(temporary);
            return opened.takeError();
        }
        supersededFileSource = std::move(fileSource);
        fileSource = std::move(opened).value();
        sourceFileInfo = info;
    } else {
        if (!copyFile(legacySource->path(), temporary)) {
            platform::removeFile(temporary);
            return fmt::fail(ErrorCode::WriteIo, "Cannot preserve the source for undo");
        }
        auto model = std::make_shared<const fmt::Zem6Model>(legacySource->model());
        supersededLegacySource = std::move(legacySource);
        legacySource = std::make_unique<LegacyModelDataSource>(std::move(model), std::string(temporary));
        // Stored audio is read from the copy now, so the copy is what must
        // stay unchanged.
        sourceFileInfo = platform::queryFileInfo(temporary);
    }
    undoSourceFile = std::shared_ptr<const std::string>(new std::string(temporary), [](const std::string* p) {
        platform::removeFile(*p);
        delete p;
    });
    sourceForcesNew = kindForcesNew(kind);
    undoSourcePath = temporary;
    destinationPath = origin;
    destinationKind = kind;
    return {};
}

namespace {

bool reopenFails = false;

// Binds the view model to the file just written when it opens; only then are
// the audio revisions counted as on disk, and only the audio that went into
// the file is let go (an undone added sample keeps its audio for redo).
bool rebindTo(ZemEditViewModel& vm, const std::string& path, const std::unordered_set<uint64_t>& written) {
    const platform::FileInfo info = platform::queryFileInfo(path);
    EditStatus ignored;
    Result<std::unique_ptr<FileDataSource>> opened =
        reopenFails ? Result<std::unique_ptr<FileDataSource>>(ErrorCode::ReadIo, "reopen refused")
                    : FileDataSource::open(path, ignored, fmt::ReadPolicy{});
    if (!opened.ok()) {
        // The audio stays in memory and counts as unsaved, so the next save
        // gathers it anew. When the source itself was replaced, its stored
        // samples keep their rows (added ones only follow them), so the
        // replaced file serves them.
        if (vm.fileSource && normalizePath(vm.fileSource->path()) == normalizePath(path)) vm.sourceFileInfo = info;
        return false;
    }
    vm.document.acceptAudioRevisions();
    vm.fileSource = std::move(opened).value();
    vm.sourceFileInfo = info;
    vm.document.rebindSource(vm.fileSource->model());
    std::erase_if(vm.addedPayloads, [&](const StagedPayload& p) { return written.count(p.uid) != 0; });
    for (uint64_t uid : written) vm.addedPcm.erase(uid);
    return true;
}

} // namespace

void setReopenFailsForTesting(bool fails) noexcept { reopenFails = fails; }

Result<SaveOutcome> ZemEditViewModel::writeNew(const std::string& directory, const std::string& name) {
    std::vector<std::string> unmatched;
    Result<fmt::Zem6Model> composed = composeAndCheck(document, fmt::Zem6Model{}, &unmatched);
    if (!composed.ok()) return composed.takeError();
    fmt::Zem6Model model = std::move(composed).value();
    const std::string fileName = !name.empty() ? name : (!document.name.empty() ? document.name : "Untitled");
    model.metadata.format_version = 1;
    model.metadata.creator_tool = "Vantorel 6 editor";
    model.metadata.name = fileName;
    if (document.drumType != 5) model.metadata.drum_type = fmt::drumTypeName(document.drumType);

    std::vector<StagedPayload> added = addedPcmForSave();
    const std::unordered_set<uint64_t> available = uidsOf(added);
    for (const fmt::SmplEntry& row : model.samples)
        if (available.count(row.uid) == 0)
            return fmt::fail(ErrorCode::ModelInvalid, "sample uid " + std::to_string(row.uid) + " has no audio payload");

    if (!platform::queryFileInfo(directory).exists && !platform::makeDirectory(directory) &&
        !platform::queryFileInfo(directory).isDirectory)
        return fmt::fail(ErrorCode::WriteIo, "cannot create '" + directory + "'");
    const std::string path = joinPath(directory, fileName + ".zem");
    Result<Unit> written = writeAndReplace(path, model, added, {}, document.drumType, {}, {});
    if (!written.ok()) return written.takeError();
    document.markSaved();

    const bool bindable = document.samplesRemoved == 0 && !document.findEmptyGroups();
    if (!bindable || !rebindTo(*this, path, available)) {
        // Unbound: the audio stays in memory and later saves write anew.
        writtenAsNewPending = true;
        destinationPath = path;
        destinationKind = 0;
    }
    return SaveOutcome{path, true, std::move(unmatched)};
}

Result<SaveOutcome> ZemEditViewModel::saveNow(const std::string& directory, const std::string& name) {
    if (openState != 1) return fmt::fail(ErrorCode::ModelInvalid, "nothing to save");
    if (document.samplesRemoved != 0) {
        Result<Unit> retained = retainUndoSource();
        if (!retained.ok()) return retained.takeError();
    }
    std::vector<StagedPayload> added = addedPcmForSave();
    const std::unordered_set<uint64_t> addedUids = uidsOf(added);

    if (!undoSourcePath.empty()) {
        SaveDestination d = deriveDestination(destinationPath, destinationKind, directory, name);
        d.asNew = d.asNew || sourceForcesNew;
        Result<SaveOutcome> outcome = fileSource
                                          ? saveEdited(document, *fileSource, d, std::move(added), name)
                                          : [&] {
                                                // The converted legacy file itself is never replaced.
                                                const std::string legacy =
                                                    supersededLegacySource ? supersededLegacySource->path() : "";
                                                const SaveDestination safe = avoidPath(d, legacy);
                                                return saveConverted(document, *legacySource, directory, name,
                                                                     std::move(added), &safe);
                                            }();
        if (!outcome.ok()) return outcome;
        document.markSaved();
        destinationPath = outcome->path;
        destinationKind = 3;
        return outcome;
    }
    if (writtenAsNewPending)
        return writeNew(parentPath(destinationPath), !name.empty() ? name : fileStem(destinationPath));
    if (fileSource && destinationPath.empty()) {
        const std::string sourcePath = fileSource->path();
        Result<SaveOutcome> outcome = saveInPlace(document, *fileSource, directory, std::move(added), name);
        if (!outcome.ok()) return outcome;
        document.markSaved();
        const bool pending = document.hasPendingAudio();
        if (!addedPayloads.empty() || pending) {
            rebindTo(*this, outcome->path, addedUids);
        } else {
            document.acceptAudioRevisions();
            // The source was replaced by rename: the open handle still reads
            // the old file, whose audio the new one carries unchanged.
            if (normalizePath(outcome->path) == normalizePath(sourcePath))
                sourceFileInfo = platform::queryFileInfo(sourcePath);
        }
        return outcome;
    }
    if (fileSource) {
        Result<SaveOutcome> outcome =
            saveEdited(document, *fileSource, deriveDestination(destinationPath, destinationKind, directory, name),
                       std::move(added), name);
        if (!outcome.ok()) return outcome;
        document.markSaved();
        rebindTo(*this, outcome->path, addedUids);
        destinationPath.clear();
        destinationKind = 0;
        return outcome;
    }
    if (legacySource) {
        Result<SaveOutcome> outcome = saveConverted(document, *legacySource, directory, name, std::move(added), nullptr);
        if (!outcome.ok()) return outcome;
        document.markSaved();
        rebindTo(*this, outcome->path, addedUids);
        return outcome;
    }
    if (!destinationPath.empty()) return fmt::fail(ErrorCode::ModelInvalid, "nothing to save");
    return writeNew(directory, name);
}

namespace {

// A room sample linked to direct samples that all sit in another group plays
// with them from their group: the shell's save moves it there in the file,
// and this save does the same, in the document first, so that both saves
// write one file and the editor shows what was written.
void joinRoomSamplesToDirects(ZemEditViewModel& vm) {
    EditDocument& document = vm.document;
    if (std::none_of(document.layers.begin(), document.layers.end(), [](const EditDef& d) { return d.isRoom != 0; }))
        return;
    const fmt::Zem6Model noSource;
    const ZemEditDataSource* source = vm.activeSource();
    Result<fmt::Zem6Model> composed = composeModel(document, source != nullptr ? source->model() : noSource, false, nullptr);
    if (!composed.ok()) return;  // the save itself reports it
    std::vector<std::string> notes;
    const std::vector<RoomGroupMove> moves = linkForPlayback(
        composed.value(),
        [&](uint64_t uid) {
            const EditSample* record = document.sampleByUid(uid);
            return record != nullptr && record->sortLock != 0;
        },
        notes);
    moveRoomSamplesToDirects(document, moves);
}

} // namespace

Result<SaveOutcome> ZemEditViewModel::save(const std::string& directory, const std::string& name) {
    // Pruning a document without a live sample would take every band, layer
    // and articulation with it.
    if (openState == 1 && document.liveSampleCount == 0)
        return fmt::fail(ErrorCode::ModelInvalid, "Import samples before saving the zem.");
    if (openState == 1) joinRoomSamplesToDirects(*this);
    if (openState == 1 && document.findEmptyGroups()) {
        Result<Unit> retained = retainUndoSource();
        if (!retained.ok()) return retained.takeError();
    }
    Result<SaveOutcome> outcome = saveNow(directory, name);
    if (outcome.ok()) {
        document.pruneEmptyGroups();
        document.markSaved();
    }
    return outcome;
}

Result<SaveOutcome> ZemEditViewModel::saveAs(const std::string& path) {
    const std::string directory = parentPath(path);
    const std::string name = fileStem(path);
    if (directory.empty() || name.empty() || fileNamePart(path).empty())
        return fmt::fail(ErrorCode::ModelInvalid, "no destination");
    if (fileSource) {
        setDestination(path, 3);
    } else if (legacySource || !destinationPath.empty()) {
        if (!writtenAsNewPending) return fmt::fail(ErrorCode::ModelInvalid, "a converted zem saves through SAVE");
        setDestination(path, 3);
    } else if (writtenAsNewPending) {
        setDestination(path, 3);
    }
    return save(directory, name);
}

} // namespace vt6::ui::zemedit::logic
