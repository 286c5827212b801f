#include "editor/ui/editor_snapshot.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "analysis/drum_type.hpp"
#include "editor/logic/compose.hpp"
#include "editor/logic/save_destination.hpp"
#include "editor/logic/save_writers.hpp"
#include "editor/logic/view_model.hpp"

namespace vt6::ui::zemedit {

namespace {

using fmt::ErrorCode;

bool hasPayload(const EditorSnapshot& snapshot, uint64_t uid) {
    return std::any_of(snapshot.payloads.begin(), snapshot.payloads.end(),
                       [&](const fmt::StagedPayload& p) { return p.uid == uid; });
}

}  // namespace

fmt::Result<fmt::Unit> checkAddedPayloads(const EditorSnapshot& snapshot, const fmt::Zem6Model& sourceModel) {
    const std::unordered_set<uint64_t> known = logic::collectModelUids(sourceModel);
    std::unordered_set<uint64_t> staged;
    for (const auto& p : snapshot.payloads) staged.insert(p.uid);
    for (const fmt::SmplEntry& row : snapshot.model.samples)
        if (known.count(row.uid) == 0 && staged.count(row.uid) == 0)
            return fmt::fail(ErrorCode::ModelInvalid,
                             "added sample uid " + std::to_string(row.uid) + " has no audio payload");
    return {};
}

fmt::Result<EditorSnapshot> buildEditorSnapshot(const logic::ZemEditViewModel& vm,
                                                std::shared_ptr<const fmt::Zem6Model> legacyModel,
                                                const std::string& key) {
    if (vm.openState != 1) return fmt::fail(ErrorCode::ModelInvalid, "nothing to snapshot");
    const logic::EditDocument& doc = vm.document;
    const logic::ZemEditDataSource* source = vm.activeSource();

    EditorSnapshot s;
    s.displayPath = !vm.destinationPath.empty() ? vm.destinationPath : (source != nullptr ? source->path() : "");
    s.sourceKind = !vm.destinationPath.empty() ? vm.destinationKind : (source != nullptr ? source->sourceFormat() : 0);
    s.key = key;
    s.changeCount = doc.changeCounter;
    s.hasPendingAudio = doc.hasPendingAudio();
    s.payloads = vm.addedPcmForSave();

    const auto edited = [&](uint64_t uid) {
        const logic::EditSample* sample = doc.sampleByUid(uid);
        return sample != nullptr && sample->audioRevision != sample->savedAudioRevision;
    };
    static const fmt::Zem6Model kEmpty;
    const fmt::Zem6Model* sourceModel = &kEmpty;

    if (vm.fileSource) {
        const logic::FileDataSource& file = *vm.fileSource;
        s.kind = 1;
        s.sourcePath = file.path();
        s.readPolicy = file.file().policy;
        s.saveAsNew = logic::kindForcesNew(file.sourceFormat()) || !vm.undoSourcePath.empty();
        sourceModel = &file.model();
        s.sourceSampleCount = sourceModel->samples.size();
        auto composed = logic::composeAndCheck(doc, *sourceModel, nullptr);
        if (!composed.ok()) return composed.takeError();
        s.model = std::move(composed).value();
        s.hasNewSamples = logic::hasSampleNotIn(s.model, *sourceModel);
        for (const fmt::SmplEntry& row : sourceModel->samples) {
            if (!edited(row.uid)) continue;
            if (!hasPayload(s, row.uid))
                return fmt::fail(ErrorCode::ModelInvalid,
                                 "edited sample uid " + std::to_string(row.uid) + " has no audio payload");
            s.supersededPayloadUids.push_back(row.audi_uid);
            if (row.audt_uid) s.supersededPayloadUids.push_back(*row.audt_uid);
        }
    } else if (vm.legacySource) {
        s.kind = 2;
        s.sourcePath = vm.legacySource->path();
        sourceModel = &vm.legacySource->model();
        s.sourceModel = legacyModel != nullptr ? std::move(legacyModel)
                                               : std::make_shared<const fmt::Zem6Model>(*sourceModel);
        auto composed = logic::composeAndCheck(doc, *sourceModel, nullptr);
        if (!composed.ok()) return composed.takeError();
        s.model = std::move(composed).value();
        for (const fmt::SmplEntry& row : sourceModel->samples) {
            if (!edited(row.uid)) continue;
            if (!hasPayload(s, row.uid))
                return fmt::fail(ErrorCode::ModelInvalid,
                                 "edited sample uid " + std::to_string(row.uid) + " has no audio payload");
            s.editedSampleUids.push_back(row.uid);
        }
    } else {
        auto composed = logic::composeAndCheck(doc, kEmpty, nullptr);
        if (!composed.ok()) return composed.takeError();
        s.model = std::move(composed).value();
        s.model.metadata.format_version = 1;
        s.model.metadata.creator_tool = "Vantorel 6 editor snapshot";
        s.model.metadata.name = doc.name;
        if (doc.drumType != 5) s.model.metadata.drum_type = fmt::drumTypeName(doc.drumType);
    }
    if (auto checked = checkAddedPayloads(s, *sourceModel); !checked.ok()) return checked.takeError();
    return s;
}

}  // namespace vt6::ui::zemedit
