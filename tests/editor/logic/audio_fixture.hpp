#pragma once
// Writer-made zem files with real audio for the view model's audio and
// hit-sort tests, undo and redo through the document's own history, and the
// audio a file's sample holds as floats.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "audio/codec.hpp"
#include "audio/sample_file_builder.hpp"
#include "editor/logic/doc_fixture.hpp"
#include "editor/logic/sample_commands.hpp"
#include "editor/logic/view_model.hpp"
#include "format/checksum.hpp"
#include "format/read_policy.hpp"
#include "support/temp_dir.hpp"

namespace vt6::ui::zemedit::logic::test {

// Every row carries its plain hash, as the writer's callers store it.
inline vt6::test::SampleFileBuilder hashedBuilder(const std::vector<vt6::test::SampleRecipe>& recipes) {
    vt6::test::SampleFileBuilder builder;
    for (const vt6::test::SampleRecipe& recipe : recipes) {
        vt6::test::SampleBuild& s = builder.add(recipe);
        s.row.plain_hash = fmt::blake2b128(s.pcm);
    }
    return builder;
}

// The whole stored audio of a built sample, interleaved.
inline std::vector<float> storedFloats(const vt6::test::SampleBuild& s) {
    return fmt::pcmBytesToFloats(s.pcm, s.desc.bits);
}

// A short decaying hit, so measured levels are finite and differ by gain.
inline std::vector<float> hitSignal(int32_t channels, uint64_t frames, float gain) {
    std::vector<float> out(static_cast<size_t>(frames) * static_cast<size_t>(channels));
    for (uint64_t f = 0; f < frames; ++f) {
        const float envelope = gain * static_cast<float>(frames - f) / static_cast<float>(frames);
        const float v = (f % 20 < 10 ? 1.0f : -1.0f) * envelope;
        for (int32_t c = 0; c < channels; ++c) out[static_cast<size_t>(f * channels + c)] = v;
    }
    return out;
}

// Reverts the document's last command, as the interface's undo would.
inline bool undo(EditDocument& doc) {
    if (doc.history.undoEntries.empty()) return false;
    HistoryEntry entry = std::move(doc.history.undoEntries.back());
    doc.history.undoEntries.pop_back();
    const bool ok = entry.command->revert(doc);
    doc.history.redoEntries.push_back(std::move(entry));
    return ok;
}

inline bool redo(EditDocument& doc) {
    if (doc.history.redoEntries.empty()) return false;
    HistoryEntry entry = std::move(doc.history.redoEntries.back());
    doc.history.redoEntries.pop_back();
    const bool ok = entry.command->apply(doc);
    doc.history.undoEntries.push_back(std::move(entry));
    return ok;
}

// Removes one live sample as the interface's delete would.
inline bool removeSample(EditDocument& doc, uint64_t uid) {
    const EditSample* record = doc.sampleByUid(uid);
    if (record == nullptr) return false;
    std::vector<SampleRemoval> removals{SampleRemoval{uid, record->bandId, record->positionKey}};
    return doc.execute(std::make_unique<RemoveSamplesCmd>(std::move(removals)));
}

// The counters an edit moves.
struct Counters {
    uint64_t generation = 0;
    uint64_t changeCounter = 0;
    uint64_t structureRevision = 0;
    size_t undoDepth = 0;
    size_t records = 0;

    bool operator==(const Counters&) const = default;
};

inline Counters countersOf(const EditDocument& doc) {
    return Counters{doc.generation, doc.changeCounter, doc.structureRevision, doc.history.undoEntries.size(),
                    doc.samples.size()};
}

// A view model over a file written into the folder, opened like the editor
// opens it.
struct OpenedFile {
    vt6::test::TempDir dir;
    vt6::test::SampleFileBuilder builder;
    std::string path;
    std::unique_ptr<ZemEditViewModel> vm = std::make_unique<ZemEditViewModel>();

    explicit OpenedFile(const std::vector<vt6::test::SampleRecipe>& recipes, const std::string& name = "lib.zem")
        : builder(hashedBuilder(recipes)) {
        path = builder.write(dir.path(name));
        EXPECT_TRUE(vm->openFile(path, fmt::ReadPolicy{})) << vm->status.text;
    }

    uint64_t uid(size_t i) const { return builder.samples[i].row.uid; }
};

} // namespace vt6::ui::zemedit::logic::test
