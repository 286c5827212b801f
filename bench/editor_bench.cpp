// Cost of one edit against rebuilding the whole document. A document of
// 5,000 samples over 8 room channels, 4 articulations and 8 dynamic groups;
// one sample move, its undo and the index rebuild after it, the automatic
// sort of every sample after a layout change, pruning one empty band, layer
// and articulation, and deleting a band of 600 samples, each with its undo,
// are timed and set against building the document from scratch and indexing
// it, in the same run. Opening a writer-made file of the same shape in the editor
// (the read and the load) is set against the container read alone.

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <cstdlib>
#include <filesystem>

#include "editor/logic/band_commands.hpp"
#include "editor/logic/data_source.hpp"
#include "editor/logic/sample_commands.hpp"
#include "editor/logic/edit_document.hpp"
#include "editor/logic/view_model.hpp"
#include "format/reader.hpp"
#include "format/sample_ext.hpp"
#include "format/writer.hpp"

namespace {

using vt6::fmt::HitLevel;
using namespace vt6::ui::zemedit::logic;

constexpr int kSamples = 5000;
constexpr int kLayers = 8;
constexpr int kArticulations = 4;
constexpr int kBands = 8;
constexpr int kDeletedBand = 3;  // holds 600 samples

HitLevel level(double db) {
    HitLevel h;
    h.measured = true;
    h.finite = true;
    h.level_db = db;
    return h;
}

// Layer 0 is Direct, layers 1 to 3 Room A to C, the rest further direct
// channels. Every direct sample of layer 0 names the room samples that
// follow it.
std::unique_ptr<EditDocument> buildDocument() {
    auto doc = std::make_unique<EditDocument>();
    for (int i = 0; i < kLayers; ++i) {
        EditDef def;
        def.key = static_cast<uint64_t>(i) + 1;
        def.name = "Channel " + std::to_string(i);
        def.sourceIndex = i;
        def.isRoom = (i >= 1 && i <= 3) ? 1 : 0;
        def.fileSlot = static_cast<uint64_t>(i <= 3 ? i : 6);
        doc->layers.push_back(def);
    }
    for (int i = 0; i < kArticulations; ++i) {
        EditDef def;
        def.key = static_cast<uint64_t>(i) + 1;
        def.name = "Articulation " + std::to_string(i);
        def.sourceIndex = i;
        doc->articulations.push_back(def);
    }
    for (int i = 0; i < kBands; ++i) {
        EditBand band;
        band.id = doc->nextBandId++;
        band.name = "Group " + std::to_string(i);
        band.levelPosition = (i + 0.5) / kBands;
        doc->bandOrder.push_back(band.id);
        doc->bands.push_back(std::move(band));
        if (i > 0) doc->velocitySplits.push_back(127 * i / kBands);
    }
    doc->syncLevelPositions();
    doc->samples.reserve(kSamples);
    for (int i = 0; i < kSamples; ++i) {
        const int layer = i % kLayers;
        const int hit = i / kLayers;
        EditSample s;
        s.uid = doc->nextUid++;
        s.layerIndex = layer;
        s.articulationIndex = hit % kArticulations;
        s.hitLevel = level(-60.0 + (hit % 97) * 0.5);
        if (layer == 0) {
            for (int r = 0; r < 3; ++r) {
                if (i + r + 1 < kSamples) s.roomLinks[static_cast<size_t>(r)] = s.uid + static_cast<uint64_t>(r) + 1;
            }
        }
        s.recordIndex = static_cast<int32_t>(doc->samples.size());
        doc->samples.push_back(s);
        doc->uidIndex[s.uid] = s.recordIndex;
        const int band = (hit % 97) * kBands / 97;
        doc->placeSample(doc->samples.back(), doc->bandOrder[static_cast<size_t>(band)], doc->nextPositionKey);
        ++doc->liveSampleCount;
    }
    doc->rebuildIndexes();
    return doc;
}

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

// Moves one sample to the other of two bands, alternately.
bool moveOne(EditDocument& doc, int64_t n) {
    const std::vector<uint64_t> uid{2501};
    return doc.moveSamples(uid, n % 2 == 0 ? 6 : 0);  // it starts in band 1
}

void BM_FullRebuild(benchmark::State& state) {
    for (auto _ : state) {
        auto doc = buildDocument();
        benchmark::DoNotOptimize(doc->autoPlacement.size());
    }
}
BENCHMARK(BM_FullRebuild)->Unit(benchmark::kMillisecond);

void BM_SampleMove(benchmark::State& state) {
    auto doc = buildDocument();
    int64_t n = 0;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        const bool ok = moveOne(*doc, n++);
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!ok) state.SkipWithError("move refused");
    }
}
BENCHMARK(BM_SampleMove)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_SampleMoveUndo(benchmark::State& state) {
    auto doc = buildDocument();
    for (auto _ : state) {
        moveOne(*doc, 0);
        ZemCmdPtr cmd = std::move(doc->history.undoEntries.back().command);
        doc->history.undoEntries.pop_back();
        const auto t0 = Clock::now();
        const bool ok = cmd->revert(*doc);
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!ok) state.SkipWithError("undo failed");
    }
}
BENCHMARK(BM_SampleMoveUndo)->UseManualTime()->Unit(benchmark::kMicrosecond);

void BM_IndexRebuildAfterMove(benchmark::State& state) {
    auto doc = buildDocument();
    int64_t n = 0;
    for (auto _ : state) {
        moveOne(*doc, n++);
        const auto t0 = Clock::now();
        doc->rebuildIndexes();
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (doc->autoPlacement.size() != static_cast<size_t>(kSamples)) state.SkipWithError("no placement");
    }
}
BENCHMARK(BM_IndexRebuildAfterMove)->UseManualTime()->Unit(benchmark::kMillisecond);

// --- Structure edits ----------------------------------------------------------

// Each repetition builds its own document, so the count is fixed instead of
// grown until the timed part adds up.
constexpr int64_t kEditRepetitions = 200;

// Times `edit` and then the undo of the command it executed, each on a fresh
// document prepared by `prepare` outside the timing.
template <class Prepare, class Edit>
void timeEditAndUndo(benchmark::State& state, bool undo, Prepare prepare, Edit edit) {
    uint64_t moved = 0;
    for (auto _ : state) {
        auto doc = buildDocument();
        prepare(*doc);
        const size_t entries = doc->history.undoEntries.size();
        auto t0 = Clock::now();
        const bool ok = edit(*doc);
        double elapsed = seconds(t0, Clock::now());
        if (!ok || doc->history.undoEntries.size() != entries + 1) {
            state.SkipWithError("edit refused");
            break;
        }
        ZemCmd& cmd = *doc->history.undoEntries.back().command;
        if (auto* move = dynamic_cast<MoveSamplesCmd*>(&cmd)) moved = move->moves.size();
        if (auto* del = dynamic_cast<DeleteBandCmd*>(&cmd)) moved = del->embeddedMove.moves.size();
        if (undo) {
            t0 = Clock::now();
            const bool reverted = cmd.revert(*doc);
            elapsed = seconds(t0, Clock::now());
            if (!reverted) state.SkipWithError("undo failed");
        }
        state.SetIterationTime(elapsed);
    }
    state.counters["samples_moved"] = static_cast<double>(moved);
}

// Every sample unanchored and the splits moved: the sort places all anew.
void prepareAutoSort(EditDocument& doc) {
    for (EditSample& s : doc.samples) s.anchored = 0;
    doc.dragBoundary = 0;
    doc.dragSplits = {5, 10, 20, 30, 60, 90, 120};
    doc.commitBounds();
    ++doc.structureRevision;
}

// One empty band, one unused layer and one unused articulation.
void preparePrune(EditDocument& doc) {
    doc.addBand();
    doc.addLayer("");
    doc.addArticulation();
}

bool deleteFullBand(EditDocument& doc) { return doc.deleteBand(kDeletedBand); }

void BM_AutoSort(benchmark::State& state) {
    timeEditAndUndo(state, false, prepareAutoSort, [](EditDocument& d) { return d.applyAutoSort(false); });
}
BENCHMARK(BM_AutoSort)->UseManualTime()->Iterations(kEditRepetitions)->Unit(benchmark::kMillisecond);

void BM_AutoSortUndo(benchmark::State& state) {
    timeEditAndUndo(state, true, prepareAutoSort, [](EditDocument& d) { return d.applyAutoSort(false); });
}
BENCHMARK(BM_AutoSortUndo)->UseManualTime()->Iterations(kEditRepetitions)->Unit(benchmark::kMillisecond);

void BM_PruneEmptyGroups(benchmark::State& state) {
    timeEditAndUndo(state, false, preparePrune, [](EditDocument& d) { return d.pruneEmptyGroups(); });
}
BENCHMARK(BM_PruneEmptyGroups)->UseManualTime()->Iterations(kEditRepetitions)->Unit(benchmark::kMillisecond);

void BM_PruneEmptyGroupsUndo(benchmark::State& state) {
    timeEditAndUndo(state, true, preparePrune, [](EditDocument& d) { return d.pruneEmptyGroups(); });
}
BENCHMARK(BM_PruneEmptyGroupsUndo)->UseManualTime()->Iterations(kEditRepetitions)->Unit(benchmark::kMillisecond);

void BM_DeleteBand(benchmark::State& state) {
    timeEditAndUndo(state, false, [](EditDocument&) {}, deleteFullBand);
}
BENCHMARK(BM_DeleteBand)->UseManualTime()->Iterations(kEditRepetitions)->Unit(benchmark::kMillisecond);

void BM_DeleteBandUndo(benchmark::State& state) {
    timeEditAndUndo(state, true, [](EditDocument&) {}, deleteFullBand);
}
BENCHMARK(BM_DeleteBandUndo)->UseManualTime()->Iterations(kEditRepetitions)->Unit(benchmark::kMillisecond);

// --- Opening a file ---------------------------------------------------------

std::string gFilePath;

// The same shape as buildDocument, as the writer stores it: every sample
// measured, with its plain hash, room links and a 512-point peak row.
vt6::fmt::Zem6Model fileModel() {
    namespace fmt = vt6::fmt;
    fmt::Zem6Model m;
    m.metadata.name = "Benchmark Kit";
    m.metadata.drum_type = "snare";
    for (int i = 0; i < kLayers; ++i) {
        fmt::LayerDef layer;
        layer.id = static_cast<uint64_t>(i) + 1;
        layer.name = "Channel " + std::to_string(i);
        layer.slot = static_cast<uint64_t>(i <= 3 ? i : 6);
        m.metadata.layers.push_back(layer);
    }
    for (int i = 0; i < kArticulations; ++i) {
        fmt::ArticulationDef a;
        a.id = static_cast<uint64_t>(i) + 1;
        a.name = "Articulation " + std::to_string(i);
        m.metadata.articulations.push_back(a);
    }
    for (int i = 0; i < kBands; ++i) {
        fmt::BandDef b;
        b.id = static_cast<uint64_t>(i) + 1;
        b.low = static_cast<double>(i) / kBands;
        b.high = static_cast<double>(i + 1) / kBands;
        b.name = "Group " + std::to_string(i);
        m.metadata.dynamics.push_back(b);
    }
    uint64_t uid = 1;
    for (int i = 0; i < kSamples; ++i) {
        const int layer = i % kLayers;
        const int hit = i / kLayers;
        fmt::SmplEntry e;
        e.uid = uid;
        e.audi_uid = uid + 1;
        e.name = "hit " + std::to_string(i);
        e.layer = static_cast<uint64_t>(layer) + 1;
        e.articulation = static_cast<uint64_t>(hit % kArticulations) + 1;
        e.band = static_cast<uint64_t>((hit % 97) * kBands / 97) + 1;
        e.sample_rate = 48000;
        e.bits = 24;
        e.channels = 1;
        e.frames = 48000;
        fmt::Digest128 hash{};
        hash[0] = static_cast<uint8_t>(i);
        hash[1] = static_cast<uint8_t>(i >> 8);
        e.plain_hash = hash;
        if (layer == 0 && i + 3 < kSamples) {
            e.extensions.push_back(fmt::ExtensionPair{fmt::kRoomLinkExtKey, fmt::encodeCborUintTriple(uid + 2, uid + 4, uid + 6)});
        }
        fmt::writeHitLevelExt(e, level(-60.0 + (hit % 97) * 0.5));
        m.samples.push_back(std::move(e));
        uid += 2;
    }
    m.metadata.next_uid = uid;
    m.peaks.assign(m.samples.size() * m.points_per_sample * 2u, 0x21);
    return m;
}

bool writeBenchFile() {
    namespace fmt = vt6::fmt;
    std::string dir = (std::filesystem::temp_directory_path() / "zem_editor_bench_XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) return false;
    gFilePath = dir + "/kit.zem";
    const fmt::Zem6Model m = fileModel();
    std::vector<fmt::StagedPayload> payloads;
    for (const fmt::SmplEntry& e : m.samples) payloads.push_back(fmt::StagedPayload{e.audi_uid, fmt::kTagAUDI, fmt::Bytes(256, 0x33)});
    return fmt::writeZem6File(gFilePath, m, payloads).ok();
}

void BM_ReadFileAlone(benchmark::State& state) {
    for (auto _ : state) {
        auto file = vt6::fmt::openZem6File(gFilePath, vt6::fmt::ReadPolicy{});
        if (!file.ok()) state.SkipWithError(file.message().c_str());
        benchmark::DoNotOptimize(file->model.samples.size());
    }
}
BENCHMARK(BM_ReadFileAlone)->Unit(benchmark::kMillisecond);

void BM_OpenFileInEditor(benchmark::State& state) {
    ZemEditViewModel vm;
    for (auto _ : state) {
        if (!vm.openFile(gFilePath, vt6::fmt::ReadPolicy{})) state.SkipWithError(vm.status.text.c_str());
        benchmark::DoNotOptimize(vm.document.liveSampleCount);
    }
}
BENCHMARK(BM_OpenFileInEditor)->Unit(benchmark::kMillisecond);

void BM_LoadAlone(benchmark::State& state) {
    EditStatus status;
    auto source = FileDataSource::open(gFilePath, status, vt6::fmt::ReadPolicy{});
    if (!source.ok()) {
        state.SkipWithError(status.text.c_str());
        return;
    }
    EditDocument doc;
    for (auto _ : state) {
        doc.load(**source);
        benchmark::DoNotOptimize(doc.liveSampleCount);
    }
    if (doc.liveSampleCount != static_cast<uint64_t>(kSamples)) state.SkipWithError("samples missing");
}
BENCHMARK(BM_LoadAlone)->Unit(benchmark::kMillisecond);

// Keeps each run's time per iteration, for the ratios printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> perIteration;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration) {
                perIteration[run.run_name.function_name] = run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    // Freed memory stays with the process, so that every measurement counts
    // the work itself and not the allocator handing pages back to the system
    // and faulting them in again (which depends on which blocks happen to
    // lie at the top of the heap, not on the code measured).
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest glibc accepts
    benchmark::Initialize(&argc, argv);
    if (!writeBenchFile()) {
        std::fprintf(stderr, "cannot write the benchmark file\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(gFilePath).parent_path(), ec);
    const auto& t = reporter.perIteration;
    const auto read = t.find("BM_ReadFileAlone");
    if (read != t.end() && read->second > 0.0) {
        std::printf("\nagainst reading the %d-sample file alone, %.3f ms:\n", kSamples, read->second * 1e3);
        for (const char* name : {"BM_OpenFileInEditor", "BM_LoadAlone"}) {
            const auto it = t.find(name);
            if (it == t.end()) continue;
            std::printf("  %-26s %10.3f ms  ratio %.3f\n", name, it->second * 1e3, it->second / read->second);
        }
    }
    const auto full = t.find("BM_FullRebuild");
    if (full == t.end() || full->second <= 0.0) return 0;
    std::printf("\nagainst a full rebuild of %.3f ms:\n", full->second * 1e3);
    for (const char* name : {"BM_SampleMove", "BM_SampleMoveUndo", "BM_IndexRebuildAfterMove", "BM_AutoSort",
                             "BM_AutoSortUndo", "BM_PruneEmptyGroups", "BM_PruneEmptyGroupsUndo", "BM_DeleteBand",
                             "BM_DeleteBandUndo"}) {
        const auto it = t.find(name);
        if (it == t.end()) continue;
        std::printf("  %-26s %10.3f us  ratio %.5f (full rebuild %.0fx slower)\n", name, it->second * 1e6,
                    it->second / full->second, full->second / it->second);
    }
    return 0;
}
