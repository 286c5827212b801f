#include "editor/ui/overlay_view_model.hpp"

#include <algorithm>
#include <cmath>

#include "format/reader.hpp"

namespace vt6::ui::zemedit {

void OverlayViewModel::closeSource() {
    ++sourceGeneration;
    sourceModel.reset();
    sourcePath.clear();
    destinationPath.clear();
    destinationKind = 0;
}

void OverlayViewModel::loadFrom(const fmt::Zem6Model& model) {
    document.reset();
    document.name = model.metadata.name.value_or("");
    for (const auto& layer : model.metadata.layers) {
        logic::EditDef def;
        def.name = layer.name.value_or("");
        document.layers.push_back(def);
    }
    for (const auto& articulation : model.metadata.articulations) {
        logic::EditDef def;
        def.name = articulation.name.value_or("");
        document.articulations.push_back(def);
    }
    int32_t id = 1;
    for (const auto& band : model.metadata.dynamics) {
        logic::EditBand b;
        b.id = id++;
        b.name = band.name.value_or("");
        document.bands.push_back(std::move(b));
    }
    document.liveSampleCount = model.samples.size();
    ++document.structureRevision;
}

bool OverlayViewModel::openFile(const std::string& path, const fmt::ReadPolicy& policy) {
    status = {};
    closeSource();
    auto opened = fmt::openZem6File(path, policy);
    if (!opened.ok()) {
        status = {3, opened.message()};
        openState = 2;
        return false;
    }
    auto model = std::make_shared<const fmt::Zem6Model>(std::move(opened.value().model));
    loadFrom(*model);
    sourceModel = std::move(model);
    sourcePath = path;
    openState = 1;
    return true;
}

bool OverlayViewModel::openLegacy(std::shared_ptr<const fmt::Zem6Model> model, std::string path) {
    status = {};
    closeSource();
    if (model == nullptr) {
        status = {3, "legacy conversion unavailable for this zem"};
        openState = 2;
        return false;
    }
    loadFrom(*model);
    sourceModel = std::move(model);
    sourcePath = std::move(path);
    openState = 1;
    return true;
}

void OverlayViewModel::newDocument() {
    closeSource();
    document.reset();
    document.name = "Untitled";
    logic::EditDef direct;
    direct.name = "Direct";
    document.layers.push_back(direct);
    logic::EditDef center;
    center.name = "CENTER";
    document.articulations.push_back(center);
    int32_t id = 1;
    for (const char* name : {"Ghost", "Soft", "Medium", "Hard"}) {
        logic::EditBand band;
        band.id = id++;
        band.name = name;
        document.bands.push_back(std::move(band));
    }
    ++document.structureRevision;
    openState = 1;
    status = {};
}

void OverlayViewModel::setSessionHits(const std::vector<float>& levels) {
    hitHistogram.fill(0);
    hitHistogramMax = 0;
    for (float level : levels) {
        const double bin = std::trunc(static_cast<double>(level) * 127.0 + 0.5);
        const auto index = static_cast<size_t>(std::clamp(std::isnan(bin) ? 0.0 : bin, 0.0, 127.0));
        hitHistogramMax = std::max(hitHistogramMax, ++hitHistogram[index]);
    }
}

}  // namespace vt6::ui::zemedit
