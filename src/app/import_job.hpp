#pragma once
// The import job: what runs on the shell's worker between IMPORT FOLDER,
// IMPORT SAMPLES or a drop and the samples entering the document. It lists
// the files (folders expanded), decodes, checks, trims and measures each,
// skips files already on the page and stops at 512 MiB of audio: at the
// file whose declared size would pass it, before that file is decoded, so
// the audio an import holds stays within the cap. Files are decoded on a
// small pool, but every decision is taken in list order, so the outcome is
// the same as on one thread.

#include <juce_audio_formats/juce_audio_formats.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/decode_audio.hpp"
#include "editor/logic/view_model.hpp"

namespace vt6::maker {

// The accepted audio of one import: 128 Mi float values.
inline constexpr uint64_t kImportByteCap = 536870912;

// The room channel and articulation the samples go to.
struct ImportPage {
    int layer = -1;
    int articulation = -1;
};

// What the job hands back to the message thread.
struct ImportResult {
    std::vector<ImportedSample> samples;  // accepted files, in list order
    // One per sample, in the same order: its audio, taken out of the sample
    // (whose values are then empty) and already encoded and hashed, so that
    // the message thread only adopts it.
    std::vector<ui::zemedit::logic::PreparedPcm> audio;
    juce::StringArray reportLines;        // refused and skipped files, and the 512 MB line
    ImportTrimSettings trim;
    int targetGroup = -1;                 // -1: sort by hit level
    bool cancelled = false;
};

// One file on one page: path "|" room channel "|" articulation.
std::string importKey(const std::string& path, ImportPage page);

struct ImportJobRequest {
    std::vector<juce::File> files;
    ImportPage page;
    std::set<std::string> alreadyImported;  // keys whose samples are still in the document
    ImportTrimSettings trim;
    int targetGroup = -1;
    uint64_t byteCap = kImportByteCap;
};

// min(files, clamp(hardware threads / 2, 1, 4)), at least 1: the pool decodes,
// checks, measures, encodes and hashes, and half the hardware threads still
// leaves the rest for the window and the system.
int importPoolSize(size_t fileCount);

// Folders are replaced by the audio files below them (hidden files and
// files no format claims are dropped, links that lead back are not
// followed); other paths stay. `cancelled` is asked at every entry; when it
// says yes the list is abandoned and `wasCancelled` set.
std::vector<juce::File> expandImportList(const juce::AudioFormatManager& formats, const std::vector<juce::File>& files,
                                         const std::function<bool()>& cancelled, bool& wasCancelled);

// Runs the whole job on the calling thread plus threads - 1 helpers (0:
// importPoolSize). `filesDone` counts the files finished, in list order;
// `filesTotal`, when given, is set once the list is known to the number of
// files `filesDone` can reach (those not skipped as duplicates or not audio).
std::shared_ptr<ImportResult> runImportJob(const ImportJobRequest& request, const std::function<bool()>& cancelled,
                                           std::atomic<int>& filesDone, int threads = 0,
                                           std::atomic<int>* filesTotal = nullptr);

// The status line while an import runs: "Importing n files..." until the
// total is known (0), then "Importing n of N files...".
juce::String importProgressText(int done, int total);

}  // namespace vt6::maker
