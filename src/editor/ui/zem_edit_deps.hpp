#pragma once
// What a host hands the editor overlay: the file to open, its services and
// its callbacks. A callback the host leaves empty either does nothing or lets
// the overlay fall back to behaviour of its own.

#include <juce_data_structures/juce_data_structures.h>
#include <juce_gui_basics/juce_gui_basics.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "editor/ui/editor_snapshot.hpp"
#include "format/mtad.hpp"
#include "format/result.hpp"
#include "widgets/preview_service.hpp"
#include "widgets/viz_service.hpp"

namespace vt6::ui::zemedit {

// One audio file as the host decoded it for the add-from-audio path.
struct DecodedAudioFile {
    int bitsPerSample = 0;
    int channels = 0;
    int sampleRate = 0;
    std::vector<uint8_t> pcm;  // packed little-endian PCM, interleaved
};

struct ZemEditDeps {
    // Position of the host's preview transport, in frames at 44100 Hz.
    struct PreviewPlayhead {
        uint8_t playing = 0;
        int32_t position = 0;
        int64_t length = 0;
    };

    bool standalone = false;
    std::function<void()> onNew;
    std::function<void()> onImport;
    std::function<void()> onReset;
    std::function<void(std::function<void()>)> onSave;
    std::string filePath;  // UTF-8; empty for a new document
    std::shared_ptr<const fmt::Zem6Model> model;
    int colourCategory = 1;
    lib::PreviewService* previewService = nullptr;  // not owned
    std::vector<float> sessionHitLevels;
    std::string libraryFolder;
    std::function<void()> onClose;
    std::function<void(const std::string&)> onSaved;
    std::string unsavedWorkFolder;
    std::string suggestedSaveFolder;
    std::function<std::string()> lastSaveFolder;
    std::function<void(const std::string&)> rememberSaveFolder;
    std::function<void(const std::string& startFolder, const std::string& fileName,
                       std::function<void(const std::string&)> done)>
        chooseSaveLocation;
    std::function<void(const std::string& oldPath, const std::string& newPath)> onSavedAs;
    std::function<void(bool)> setCaptureEnabled;
    // Appends the mono samples captured since the last call.
    std::function<void(std::vector<float>& out)> pullCapture;
    double previewSampleRate = 44100.0;
    std::function<void(std::function<void(const juce::File&)>)> chooseAudioFile;
    std::function<fmt::Result<DecodedAudioFile>(const juce::File&)> decodeAudioFile;
    std::function<PreviewPlayhead()> playhead;
    std::function<void(juce::UndoManager*)> onUndoManager;
    std::function<void(const std::string& path, int position)> auditionFile;
    bool restoredSnapshot = false;
    std::string originalPath;
    int originalDestinationKind = 0;
    // The snapshot is lent for the call only; the host runs `done` on the
    // message thread once it has dealt with it.
    std::function<void(const EditorSnapshot& snapshot, std::function<void(const std::string&)> done)>
        snapshotSink;
    std::function<void(const std::string& key)> discardSnapshot;
    std::function<void(bool)> onDirtyChanged;
    widgets::V6VizService* vizService = nullptr;  // not owned
    std::function<void(bool)> onActiveChanged;
    std::function<int(int32_t* buffer, int capacity)> pullTriggeredSamples;
};

}  // namespace vt6::ui::zemedit
