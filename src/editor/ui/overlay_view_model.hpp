#pragma once
// Stand-in for the editor's view model until the real one is wired in: it
// opens a current-format file or adopts a converted model far enough for the
// overlay to name the document and count its samples and groups, and keeps
// the same open states and operation names.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "editor/logic/edit_document.hpp"
#include "format/mtad.hpp"
#include "format/read_policy.hpp"

namespace vt6::ui::zemedit {

struct EditStatus {
    uint16_t code = 0;  // 0 none, 3 the open failed
    std::string text;
};

class OverlayViewModel {
public:
    OverlayViewModel() = default;
    OverlayViewModel(const OverlayViewModel&) = delete;
    OverlayViewModel& operator=(const OverlayViewModel&) = delete;

    std::function<void(const std::string& path, uint64_t uid)> auditionStored;
    std::function<void(std::span<const float> samples, int32_t channels, int32_t sampleRate)> playPcm;

    bool openFile(const std::string& path, const fmt::ReadPolicy& policy);
    bool openLegacy(std::shared_ptr<const fmt::Zem6Model> model, std::string path);
    void newDocument();
    void closeSource();
    void clearLevelCache() {}
    void setSessionHits(const std::vector<float>& levels);
    void setDestination(const std::string& path, int kind) {
        destinationPath = path;
        destinationKind = kind;
    }

    bool loaded() const noexcept { return openState == 1; }
    bool failed() const noexcept { return openState == 2; }

    uint64_t sourceGeneration = 0;
    logic::EditDocument document;
    std::array<uint32_t, 128> hitHistogram{};
    uint32_t hitHistogramMax = 0;
    std::shared_ptr<const fmt::Zem6Model> sourceModel;
    std::string sourcePath;
    int32_t openState = 0;  // 0 nothing opened yet, 1 ready, 2 the last open failed
    EditStatus status;
    std::string destinationPath;
    int32_t destinationKind = 0;

private:
    void loadFrom(const fmt::Zem6Model& model);
};

}  // namespace vt6::ui::zemedit
