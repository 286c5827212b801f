// Cost of the editor's own save against writing the same file alone. A
// 5,000-sample file (8 room channels, 4 articulations, 8 dynamic groups, a
// small 32-bit float payload per sample) made by the writer is opened into
// the view model, one sample's audio is replaced and one sample added, and the
// document is saved in place through ZemEditViewModel::save. The floor,
// measured in the same run, is writeZem6File writing the model and payloads
// that save writes. The steps of the save (compose and check, gather the
// audio, write, physical analysis, verify, rename, and the reopen that
// follows a save of added audio) are also timed alone by calling them
// directly.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "analysis/physical_pass.hpp"
#include "editor/logic/compose.hpp"
#include "editor/logic/view_model.hpp"
#include "format/reader.hpp"
#include "format/sample_ext.hpp"
#include "format/writer.hpp"
#include "bench_kit.hpp"
#include "platform/replace_file.hpp"

namespace {

namespace fmt = vt6::fmt;
using namespace vt6::ui::zemedit::logic;
using Clock = std::chrono::steady_clock;

constexpr int kSamples = 5000;
constexpr int kLayers = 8;
constexpr int kArticulations = 4;
constexpr int kBands = 8;
constexpr int kFrames = 128;
constexpr uint64_t kEditedUid = 17;

std::string gDir;
std::string gSourcePath;    // the writer-made file every save starts from
std::string gAnalysedPath;  // the floor's file after the analysis pass

double seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// A short decaying hit, different per seed so the payloads differ.
std::vector<float> hit(int seed) {
    std::vector<float> out(kFrames);
    for (int i = 0; i < kFrames; ++i)
        out[static_cast<size_t>(i)] =
            0.8f * std::exp(-static_cast<float>(i) / 24.0f) * std::sin(0.3f * static_cast<float>(i + seed % 7));
    return out;
}

fmt::Zem6Model sourceModel() {
    return vt6::bench::benchmarkKitModel({kSamples, kLayers, kArticulations, kBands, 32, kFrames});
}

bool writeSource() {
    const fmt::Zem6Model m = sourceModel();
    std::vector<fmt::StagedPayload> payloads;
    for (const fmt::SmplEntry& e : m.samples) {
        const std::vector<float> audio = hit(static_cast<int>(e.uid));
        payloads.push_back(fmt::StagedPayload{e.audi_uid, fmt::kTagAUDI, encodePcmPayload(audio, 1, 48000)});
    }
    return fmt::writeZem6File(gSourcePath, m, payloads).ok();
}

// Opens `path`, replaces one sample's audio and adds one sample.
bool openAndEdit(ZemEditViewModel& vm, const std::string& path) {
    if (!vm.openFile(path, fmt::ReadPolicy{})) return false;
    if (!vm.replaceSampleAudio(kEditedUid, hit(1000), 1, 48000, 0, 0)) return false;
    return vm.addSampleFromPcm("Added hit", hit(2000), 1, 48000, 0.1, 0, 0, -1, fmt::HitLevel::unmeasured(), false) !=
           0;
}

// The stored audio save carries over: every source chunk but the edited one.
fmt::Result<std::vector<fmt::StagedPayload>> gather(const ZemEditViewModel& vm) {
    std::vector<fmt::StagedPayload> staged = vm.addedPcmForSave();
    const fmt::Zem6File& file = vm.fileSource->file();
    for (const fmt::ChunkRecord& chunk : file.chunks) {
        if (chunk.tag != fmt::kTagAUDI || chunk.uid == kEditedUid) continue;
        fmt::Result<fmt::Bytes> bytes = file.readChunk(chunk);
        if (!bytes.ok()) return bytes.takeError();
        staged.push_back(fmt::StagedPayload{chunk.uid, chunk.tag, std::move(bytes).value()});
    }
    return staged;
}

// One opened and edited document kept for the steps timed alone, with the
// model and payloads its save writes.
struct Scene {
    ZemEditViewModel vm;
    fmt::Zem6Model composed;
    std::vector<fmt::StagedPayload> payloads;
};

Scene& scene() {
    static Scene s;
    return s;
}

bool prepare() {
    Scene& s = scene();
    const std::string copy = gDir + "/scene.zem";
    std::error_code ec;
    std::filesystem::copy_file(gSourcePath, copy, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec || !openAndEdit(s.vm, copy)) return false;
    auto composed = composeAndCheck(s.vm.document, s.vm.fileSource->model(), nullptr);
    if (!composed.ok()) return false;
    s.composed = std::move(composed).value();
    auto staged = gather(s.vm);
    if (!staged.ok()) return false;
    s.payloads = std::move(staged).value();
    if (s.composed.samples.size() != static_cast<size_t>(kSamples) + 1 || s.payloads.size() != s.composed.samples.size())
        return false;
    gAnalysedPath = gDir + "/analysed.zem";
    if (!fmt::writeZem6File(gAnalysedPath, s.composed, s.payloads).ok()) return false;
    return fmt::rewriteWithPhysicalAnalysis(gAnalysedPath, s.vm.document.drumType).ok();
}

std::string target(const char* name) {
    const std::string path = gDir + "/" + name;
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return path;
}

bool copyTo(const std::string& from, const std::string& to) {
    std::error_code ec;
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
    return !ec;
}

// Writing syncs to storage, whose time varies with what else the machine
// does: the fastest of a few repetitions is compared.
void BM_WriteAlone(benchmark::State& state) {
    const Scene& s = scene();
    for (auto _ : state) {
        const std::string path = target("floor.zem");
        const auto t0 = Clock::now();
        const auto written = fmt::writeZem6File(path, s.composed, s.payloads);
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!written.ok()) state.SkipWithError(written.message().c_str());
    }
}
BENCHMARK(BM_WriteAlone)->UseManualTime()->Iterations(3)->Repetitions(5)->Unit(benchmark::kMillisecond);

// The whole save of a freshly opened and edited copy; opening and editing
// are outside the timed part.
void BM_Save(benchmark::State& state) {
    const std::string path = gDir + "/saved.zem";
    for (auto _ : state) {
        if (!copyTo(gSourcePath, path)) {
            state.SkipWithError("cannot copy the source file");
            break;
        }
        auto vm = std::make_unique<ZemEditViewModel>();
        if (!openAndEdit(*vm, path)) {
            state.SkipWithError(vm->status.text.c_str());
            break;
        }
        const auto t0 = Clock::now();
        const auto saved = vm->save(gDir, "");
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!saved.ok()) {
            state.SkipWithError(saved.message().c_str());
            break;
        }
        if (vm->document.liveSampleCount != static_cast<uint64_t>(kSamples) + 1) {
            state.SkipWithError("saved document lost a sample");
            break;
        }
    }
}
BENCHMARK(BM_Save)->UseManualTime()->Iterations(3)->Repetitions(5)->Unit(benchmark::kMillisecond);

void BM_ComposeAndCheck(benchmark::State& state) {
    const Scene& s = scene();
    for (auto _ : state) {
        auto composed = composeAndCheck(s.vm.document, s.vm.fileSource->model(), nullptr);
        if (!composed.ok()) state.SkipWithError(composed.message().c_str());
        benchmark::DoNotOptimize(composed->samples.size());
    }
}
BENCHMARK(BM_ComposeAndCheck)->UseRealTime()->Iterations(5)->Repetitions(3)->Unit(benchmark::kMillisecond);

void BM_Gather(benchmark::State& state) {
    const Scene& s = scene();
    for (auto _ : state) {
        auto staged = gather(s.vm);
        if (!staged.ok()) state.SkipWithError(staged.message().c_str());
        benchmark::DoNotOptimize(staged->size());
    }
}
BENCHMARK(BM_Gather)->UseRealTime()->Iterations(5)->Repetitions(3)->Unit(benchmark::kMillisecond);

void BM_PhysicalAnalysis(benchmark::State& state) {
    const Scene& s = scene();
    const std::string floor = gDir + "/analysis-source.zem";
    if (!fmt::writeZem6File(floor, s.composed, s.payloads).ok()) {
        state.SkipWithError("cannot write the file to analyse");
        return;
    }
    const std::string path = gDir + "/analysis.zem";
    for (auto _ : state) {
        if (!copyTo(floor, path)) {
            state.SkipWithError("cannot copy the file to analyse");
            break;
        }
        const auto t0 = Clock::now();
        const auto analysed = fmt::rewriteWithPhysicalAnalysis(path, s.vm.document.drumType);
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!analysed.ok()) state.SkipWithError(analysed.message().c_str());
    }
}
BENCHMARK(BM_PhysicalAnalysis)->UseManualTime()->Iterations(3)->Repetitions(3)->Unit(benchmark::kMillisecond);

void BM_Verify(benchmark::State& state) {
    for (auto _ : state) {
        auto reopened = fmt::openZem6File(gAnalysedPath, fmt::ReadPolicy{});
        if (!reopened.ok()) state.SkipWithError(reopened.message().c_str());
    }
}
BENCHMARK(BM_Verify)->UseRealTime()->Iterations(5)->Repetitions(3)->Unit(benchmark::kMillisecond);

void BM_Rename(benchmark::State& state) {
    const std::string temporary = gDir + "/renamed.zem.vt6tmp";
    const std::string path = gDir + "/renamed.zem";
    if (!copyTo(gAnalysedPath, path)) state.SkipWithError("cannot copy the destination");
    for (auto _ : state) {
        if (!copyTo(gAnalysedPath, temporary)) {
            state.SkipWithError("cannot copy the temporary file");
            break;
        }
        const auto t0 = Clock::now();
        const auto replaced = vt6::platform::replaceFile(temporary, path);
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!replaced.ok()) state.SkipWithError(replaced.message.c_str());
    }
}
BENCHMARK(BM_Rename)->UseManualTime()->Iterations(5)->Repetitions(3)->Unit(benchmark::kMillisecond);

// A save that wrote added audio opens the written file again, so the
// document reads its audio from there.
void BM_Reopen(benchmark::State& state) {
    for (auto _ : state) {
        ZemEditViewModel vm;
        const auto t0 = Clock::now();
        const bool opened = vm.openFile(gAnalysedPath, fmt::ReadPolicy{});
        state.SetIterationTime(seconds(t0, Clock::now()));
        if (!opened) state.SkipWithError(vm.status.text.c_str());
    }
}
BENCHMARK(BM_Reopen)->UseManualTime()->Iterations(5)->Repetitions(3)->Unit(benchmark::kMillisecond);

// Keeps the fastest repetition's time per iteration of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> perIteration;

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations > 0 && run.run_type == Run::RT_Iteration && !run.error_occurred) {
                const double t = run.real_accumulated_time / static_cast<double>(run.iterations);
                const auto [it, fresh] = perIteration.emplace(run.run_name.function_name, t);
                if (!fresh && t < it->second) it->second = t;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::string dir = (std::filesystem::temp_directory_path() / "zem_own_save_bench_XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) {
        std::fprintf(stderr, "cannot make the benchmark folder\n");
        return 1;
    }
    gDir = dir;
    // Any undo copy a save makes stays in the benchmark's folder.
    setenv("TMPDIR", gDir.c_str(), 1);
    gSourcePath = gDir + "/kit.zem";
    if (!writeSource() || !prepare()) {
        std::fprintf(stderr, "cannot prepare the benchmark document\n");
        std::error_code ec;
        std::filesystem::remove_all(gDir, ec);
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    scene().vm.closeSource();
    std::error_code ec;
    std::filesystem::remove_all(gDir, ec);

    const auto& t = reporter.perIteration;
    const auto floor = t.find("BM_WriteAlone");
    if (floor == t.end() || floor->second <= 0.0) return 0;
    std::printf("\nagainst writing the %d-sample model alone, %.3f ms:\n", kSamples + 1, floor->second * 1e3);
    double steps = 0.0;
    for (const char* name :
         {"BM_Save", "BM_ComposeAndCheck", "BM_Gather", "BM_PhysicalAnalysis", "BM_Verify", "BM_Rename",
          "BM_Reopen"}) {
        const auto it = t.find(name);
        if (it == t.end()) continue;
        std::printf("  %-22s %10.3f ms  ratio %.3f\n", name, it->second * 1e3, it->second / floor->second);
        if (std::string(name) != "BM_Save") steps += it->second;
    }
    std::printf("  (steps alone + write alone) / write alone = %.3f\n", (steps + floor->second) / floor->second);
    return 0;
}
