// Importing audio into the open zem: the choosers, the job on the worker,
// its end on the message thread, and file drags over the window.

#include <algorithm>
#include <cstdint>
#include <utility>

#include "app/file_choosers.hpp"
#include "app/import_placing.hpp"
#include "app/main_component.hpp"
#include "editor/ui/user_messages.hpp"

namespace vt6::maker {

namespace {

constexpr const char* kAutoSortDropText = "Drop to auto-sort samples into dynamic groups";

juce::String utf8(const std::string& text) { return juce::String::fromUTF8(text.c_str()); }

// The name of a definition or group by index, empty when out of range.
template <class List>
juce::String nameAt(const List& list, int index) {
    if (index < 0 || static_cast<size_t>(index) >= list.size()) return {};
    return utf8(list[static_cast<size_t>(index)].name);
}

// A dynamic group's name as the editor shows it, empty when out of range.
juce::String groupNameAt(const ui::zemedit::logic::EditDocument& document, int index) {
    if (index < 0 || static_cast<size_t>(index) >= document.bands.size()) return {};
    return utf8(ui::zemedit::groupDisplayName(document.bands[static_cast<size_t>(index)].name, index));
}

juce::String samplesText(int64_t n) {
    return utf8(countText(static_cast<uint64_t>(std::max<int64_t>(n, 0)), "sample", "samples"));
}

}  // namespace

void MainComponent::chooseImport(bool folder) {
    if (overlay_ == nullptr || busy_) return;
    FileChooserRequest request;
    if (folder) {
        request = {"Import sample folder", juce::File(), "*",
                   juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectDirectories};
    } else {
        request = {"Import samples", juce::File(), audioFormats_.getWildcardForAllFormats(),
                   juce::FileBrowserComponent::openMode | juce::FileBrowserComponent::canSelectFiles |
                       juce::FileBrowserComponent::canSelectMultipleItems};
    }
    juce::Component::SafePointer<MainComponent> safe(this);
    launchFileChooserForMany(fileChooser_, request, [safe](const juce::Array<juce::File>& chosen) {
        auto* self = safe.getComponent();
        if (self == nullptr) return;
        std::vector<juce::File> files;
        for (const auto& file : chosen)
            if (file != juce::File()) files.push_back(file);
        if (!files.empty()) self->import(std::move(files), -1);
    });
}

void MainComponent::import(std::vector<juce::File> files, int targetGroup) {
    if (overlay_ == nullptr || busy_) return;
    auto& document = overlay_->document();
    const ImportPage page{document.pageLayer, document.pageArticulation};
    if (page.layer < 0 || page.articulation < 0) {
        showMessage("Select a destination", "Select one CHANNEL and one ARTICULATION before importing samples.");
        return;
    }
    busy_ = true;
    importing_ = true;
    cancelFlag_ = false;
    filesDone_ = 0;
    filesTotal_ = 0;
    setStatus(importProgressText(0, 0));
    updateButtons();
    if (worker_.joinable()) worker_.join();

    // The job sees copies only: the keys whose samples are still in the
    // document, and the trim settings as they are now.
    ImportJobRequest request;
    request.files = std::move(files);
    request.page = page;
    for (const auto& [key, uid] : importedKeys_)
        if (document.sampleByUid(uid) != nullptr) request.alreadyImported.insert(key);
    request.trim = ImportTrimSettings{settings_.trimSilence, settings_.startThresholdDb, settings_.endThresholdDb};
    request.targetGroup = targetGroup;

    juce::Component::SafePointer<MainComponent> safe(this);
    worker_ = std::thread([this, safe, page, request = std::move(request)] {
        // The destructor sets the cancel flag and joins before these go.
        auto result = runImportJob(request, [this] { return cancelFlag_.load(); }, filesDone_, 0, &filesTotal_);
        juce::MessageManager::callAsync([safe, result, page] {
            if (auto* self = safe.getComponent()) self->finishImport(result, page);
        });
    });
}

void MainComponent::finishImport(std::shared_ptr<ImportResult> result, ImportPage page) {
    if (worker_.joinable()) worker_.join();
    busy_ = false;
    importing_ = false;
    if (result->cancelled) {
        setStatus("Import canceled");
        updateButtons();
        return;
    }
    if (overlay_ == nullptr) {
        updateButtons();
        return;
    }

    auto& viewModel = overlay_->viewModel;
    auto& document = overlay_->document();
    const auto placement = placeImportedSamples(document, *result, page, result->targetGroup);
    const bool placedByUser = result->targetGroup >= 0;

    // Every command until the group ends joins this one undo step; with no
    // command at all, no step comes into being.
    auto& sink = overlay_->historySink;
    sink.undoManager.beginNewTransaction("Import samples");
    sink.grouping = 1;
    int imported = 0;
    int refusedForUid = 0;
    for (size_t i = 0; i < result->samples.size(); ++i) {
        auto& sample = result->samples[i];
        const int group = i < placement.groups.size() ? placement.groups[i] : -1;
        // The job encoded and hashed the audio; here it is only adopted.
        auto audio = i < result->audio.size()
                         ? std::move(result->audio[i])
                         : ui::zemedit::logic::preparePcmForAdd(std::move(sample.samples), sample.channels,
                                                                sample.sampleRate);
        const uint64_t uid = viewModel.addPreparedSample(
            sample.name, std::move(audio), sample.rms, static_cast<uint32_t>(page.layer),
            static_cast<uint32_t>(page.articulation), group, sample.hitLevel, placedByUser);
        if (uid == 0) {
            if (document.uidsExhausted()) ++refusedForUid;
            continue;
        }
        // The whole decoded audio stays; the trim only sets the playback bounds.
        if (const auto* record = document.sampleByUid(uid);
            record != nullptr && (record->regionStart != static_cast<uint64_t>(sample.trimStart) ||
                                  record->regionEnd != static_cast<uint64_t>(sample.trimEnd))) {
            ui::zemedit::logic::SampleAudioState state{record->sampleRate,
                                                       record->bits,
                                                       record->channels,
                                                       record->frames,
                                                       record->key13Value,
                                                       record->audioRevision,
                                                       static_cast<uint64_t>(sample.trimStart),
                                                       static_cast<uint64_t>(sample.trimEnd),
                                                       record->plainHash,
                                                       record->plainHashPresent,
                                                       fmt::HitLevel::unmeasured()};
            document.replaceAudio(uid, state);
        }
        ++imported;
        importedKeys_[importKey(sample.path, page)] = uid;
    }
    sink.endGroup();
    overlay_->rebuildStructure();
    overlay_->notifyDirtyChanged();

    const bool inGroup = result->targetGroup >= 0 && static_cast<size_t>(result->targetGroup) < document.bands.size();
    juce::String report = samplesText(imported) + " imported into " + nameAt(document.layers, page.layer) +
                          " / " + nameAt(document.articulations, page.articulation);
    report += inGroup ? ". All samples placed in " + groupNameAt(document, result->targetGroup) + "."
                      : juce::String(". Auto-sorted by recorded hit level.");
    report += " Complete source audio retained. Adjust playback bounds in the sample editor.";
    if (placement.keptInMiddle > 0)
        report += "\n" + samplesText(placement.keptInMiddle) +
                  " kept in the middle group because their dynamic level was unclear.";
    if (refusedForUid > 0)
        result->reportLines.add(samplesText(refusedForUid) + (refusedForUid == 1 ? " was" : " were") +
                                " not imported: this zem has used every sample id it can hold.");
    const bool hasLines = !result->reportLines.isEmpty();
    if (hasLines) report += "\n\n" + result->reportLines.joinIntoString("\n");
    importReport_ = report;

    setStatus(samplesText(imported) + " imported" + (hasLines ? " - see IMPORT REPORT" : ""));
    updateButtons();
    if (imported == 0 || hasLines) showMessage("Import report", report);
}

bool MainComponent::isInterestedInFileDrag(const juce::StringArray&) {
    return !busy_ && overlay_ != nullptr && overlay_->sampleEditor == nullptr;
}

void MainComponent::fileDragEnter(const juce::StringArray& files, int x, int y) {
    statusBeforeDrag_ = statusLine_.getText();
    fileDragMove(files, x, y);
}

void MainComponent::fileDragMove(const juce::StringArray&, int x, int y) {
    if (busy_ || overlay_ == nullptr) return;
    const int group = overlay_->bandIndexAt(overlay_->getLocalPoint(this, juce::Point<int>(x, y)));
    auto& document = overlay_->document();
    document.dropBand = group;
    overlay_->layoutBands();
    setStatus(group < 0 ? juce::String(kAutoSortDropText)
                        : "Drop all samples into " + groupNameAt(document, group));
}

void MainComponent::fileDragExit(const juce::StringArray&) {
    if (overlay_ != nullptr) {
        overlay_->document().dropBand = -1;
        overlay_->layoutBands();
    }
    setStatus(statusBeforeDrag_);
}

void MainComponent::filesDropped(const juce::StringArray& files, int x, int y) {
    if (busy_ || overlay_ == nullptr || overlay_->sampleEditor != nullptr) return;
    const int group = overlay_->bandIndexAt(overlay_->getLocalPoint(this, juce::Point<int>(x, y)));
    overlay_->document().dropBand = -1;
    overlay_->layoutBands();
    setStatus(statusBeforeDrag_);
    std::vector<juce::File> list;
    list.reserve(static_cast<size_t>(files.size()));
    for (const auto& path : files) list.emplace_back(path);
    this->import(std::move(list), group);
}

}  // namespace vt6::maker
