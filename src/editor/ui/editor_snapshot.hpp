#pragma once
// A snapshot of unsaved editor work: everything a host needs to write the
// document as a file later, built in memory on the message thread. Plain
// C++: no framework types, so hosts and benchmarks can use it directly.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/mtad.hpp"
#include "format/read_policy.hpp"
#include "format/result.hpp"
#include "format/writer.hpp"

namespace vt6::ui::zemedit {

namespace logic {
class ZemEditViewModel;
}

struct EditorSnapshot {
    int kind = 0;  // 0 new document, 1 opened from a current-format file, 2 converted legacy model
    fmt::Zem6Model model;
    std::vector<fmt::StagedPayload> payloads;        // audio that exists only in memory
    std::vector<uint64_t> supersededPayloadUids;     // kind 1: stored payloads of edited samples
    std::vector<uint64_t> editedSampleUids;          // kind 2: samples whose audio was edited
    std::string sourcePath;                          // kinds 1 and 2
    fmt::ReadPolicy readPolicy;                      // kind 1: the source's; else the default
    std::shared_ptr<const fmt::Zem6Model> sourceModel;
    bool hasNewSamples = false;                      // kind 1
    uint64_t sourceSampleCount = 0;                  // kind 1
    bool hasPendingAudio = false;
    bool saveAsNew = false;                          // kind 1: the source may not be overwritten
    std::string displayPath;
    int sourceKind = 0;
    std::string key;
    uint64_t changeCount = 0;
    std::string note;
};

// Builds the snapshot of the view model's loaded document. `legacyModel` is
// the converted model a legacy source was opened from (may be null). Fails
// with ModelInvalid when nothing is loaded or some sample's in-memory audio
// has no payload; a composition failure is passed on unchanged.
fmt::Result<EditorSnapshot> buildEditorSnapshot(const logic::ZemEditViewModel& viewModel,
                                                std::shared_ptr<const fmt::Zem6Model> legacyModel,
                                                const std::string& key);

// Every sample of the snapshot's model that `sourceModel` lacks must have a
// payload in the snapshot.
fmt::Result<fmt::Unit> checkAddedPayloads(const EditorSnapshot& snapshot, const fmt::Zem6Model& sourceModel);

}  // namespace vt6::ui::zemedit
