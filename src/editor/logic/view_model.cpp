#include "editor/logic/view_model.hpp"

#include <algorithm>

namespace vt6::ui::zemedit::logic {

namespace {

template <class T>
int order(const T& a, const T& b) noexcept {
    return a < b ? -1 : (b < a ? 1 : 0);
}

} // namespace

int compareAudioIdentity(const AudioIdentity& a, const AudioIdentity& b) noexcept {
    if (int c = order(a.uid, b.uid)) return c;
    if (int c = order(a.audioRevision, b.audioRevision)) return c;
    if (int c = order(a.regionStart, b.regionStart)) return c;
    if (int c = order(a.regionEnd, b.regionEnd)) return c;
    if (int c = order(a.frames, b.frames)) return c;
    if (int c = order(a.sampleRate, b.sampleRate)) return c;
    if (int c = order(a.channels, b.channels)) return c;
    if (a.plainHash.has_value() != b.plainHash.has_value()) return a.plainHash.has_value() ? 1 : -1;
    if (!a.plainHash) return 0;
    return order(*a.plainHash, *b.plainHash);  // std::array compares bytes as unsigned
}

ZemEditViewModel::~ZemEditViewModel() { closeSource(); }

void ZemEditViewModel::closeSource() {
    ++sourceGeneration;
    levelCache.clear();
    fileSource.reset();
    legacySource.reset();
    supersededFileSource.reset();
    supersededLegacySource.reset();
    undoSourceFile.reset();
    undoSourcePath.clear();
    destinationPath.clear();
    destinationKind = 0;
    sourceFileInfo = platform::FileInfo{};
    writtenAsNewPending = false;
    sourceForcesNew = false;
    addedPayloads.clear();
    addedPcm.clear();
    audioVersions.clear();
}

bool ZemEditViewModel::openFile(const std::string& path, const fmt::ReadPolicy& policy) {
    status = EditStatus{};
    closeSource();
    // Taken before the open: a file replaced in between then reads as
    // changed, never as the file the document was loaded from.
    const platform::FileInfo info = platform::queryFileInfo(path);
    EditStatus local;
    fmt::Result<std::unique_ptr<FileDataSource>> opened = FileDataSource::open(path, local, policy);
    if (opened.ok()) {
        fileSource = std::move(opened).value();
        sourceFileInfo = info;
        openState = document.load(*fileSource) ? 1 : 2;
    } else {
        status = std::move(local);
        openState = 2;
    }
    return openState == 1;
}

bool ZemEditViewModel::openLegacy(std::shared_ptr<const fmt::Zem6Model> model, std::string path) {
    status = EditStatus{};
    closeSource();
    if (!model) {
        status = EditStatus{kEditStatusOpenFailed, "legacy conversion unavailable for this zem"};
        openState = 2;
        return false;
    }
    sourceFileInfo = platform::queryFileInfo(path);
    legacySource = std::make_unique<LegacyModelDataSource>(std::move(model), std::move(path));
    openState = document.load(*legacySource) ? 1 : 2;
    return openState == 1;
}

void ZemEditViewModel::newDocument() {
    closeSource();
    document.initDefault();
    openState = 1;
    status = EditStatus{};
}

ZemEditDataSource* ZemEditViewModel::activeSource() const noexcept {
    if (fileSource) return fileSource.get();
    if (legacySource) return legacySource.get();
    return nullptr;
}

bool openFromDeps(ZemEditViewModel& viewModel, const ZemEditDeps& deps) {
    if (deps.filePath.empty()) {
        viewModel.newDocument();
        return true;
    }
    if (deps.model && !deps.keepOwnDestination) return viewModel.openLegacy(deps.model, deps.filePath);
    return viewModel.openFile(deps.filePath, fmt::ReadPolicy{});
}

} // namespace vt6::ui::zemedit::logic
