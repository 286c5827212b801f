#include "app/editor_host_services.hpp"

#include <unordered_set>
#include <utility>
#include <vector>

#include "analysis/drum_type.hpp"
#include "audio/legacy/legacy_import.hpp"
#include "editor/logic/save_writers.hpp"
#include "format/reader.hpp"

namespace vt6::maker {

namespace {

using fmt::Result;
using fmt::StagedPayload;
using fmt::Unit;

// The stored payloads a snapshot of an opened file still uses.
Result<std::vector<StagedPayload>> storedPayloads(const ui::zemedit::EditorSnapshot& s,
                                                  const std::unordered_set<uint64_t>& live) {
    Result<fmt::Zem6File> opened = fmt::openZem6File(s.sourcePath, s.readPolicy);
    if (!opened.ok()) return opened.takeError();
    const fmt::Zem6File& file = opened.value();
    const std::unordered_set<uint64_t> superseded(s.supersededPayloadUids.begin(), s.supersededPayloadUids.end());
    std::vector<StagedPayload> out;
    for (const fmt::ChunkRecord& chunk : file.chunks) {
        if (chunk.tag != fmt::kTagAUDI && chunk.tag != fmt::kTagAUDT) continue;
        if (live.count(chunk.uid) == 0 || superseded.count(chunk.uid) != 0) continue;
        Result<fmt::Bytes> bytes = file.readChunk(chunk);
        if (!bytes.ok()) return bytes.takeError();
        out.push_back(StagedPayload{chunk.uid, chunk.tag, std::move(bytes).value()});
    }
    return out;
}

// The payloads of the legacy file converted again, less those of edited samples.
Result<std::vector<StagedPayload>> convertedPayloads(const ui::zemedit::EditorSnapshot& s) {
    zem::LegacyImportOptions options;
    options.headMs = 250;
    options.buildPayloads = true;
    Result<fmt::Export> converted = zem::importLegacyFile(s.sourcePath, options);
    if (!converted.ok()) return converted.takeError();
    std::vector<StagedPayload> out = std::move(converted.value().payloads);
    const std::unordered_set<uint64_t> edited(s.editedSampleUids.begin(), s.editedSampleUids.end());
    std::erase_if(out, [&](const StagedPayload& p) { return edited.count(p.uid) != 0; });
    return out;
}

}  // namespace

Result<Unit> writeSnapshotFile(const ui::zemedit::EditorSnapshot& snapshot, const std::string& path) {
    fmt::Zem6Model model = snapshot.model;
    std::vector<StagedPayload> payloads;
    if (snapshot.kind == 1 || snapshot.kind == 2) {
        auto from = snapshot.kind == 1 ? storedPayloads(snapshot, ui::zemedit::logic::collectAudioUids(model))
                                       : convertedPayloads(snapshot);
        if (!from.ok()) return from.takeError();
        payloads = std::move(from).value();
    }
    std::unordered_set<uint64_t> inMemory;
    for (const StagedPayload& p : snapshot.payloads) {
        inMemory.insert(p.uid);
        payloads.push_back(p);
    }
    // The editor's in-memory audio is 32-bit float.
    for (fmt::SmplEntry& row : model.samples)
        if (inMemory.count(row.uid) != 0) row.bits = 32;
    const std::unordered_set<uint64_t> live = ui::zemedit::logic::collectAudioUids(model);
    std::erase_if(payloads, [&](const StagedPayload& p) { return live.count(p.uid) == 0; });

    fmt::WriteOptions options;
    options.legacyOrigin = model.metadata.legacy.has_value();
    const fmt::DrumType drumType =
        model.metadata.drum_type ? fmt::parseDrumType(*model.metadata.drum_type) : fmt::kDrumUnknown;
    return ui::zemedit::logic::writeAndReplace(path, model, payloads, options, drumType, {}, {});
}

}  // namespace vt6::maker
