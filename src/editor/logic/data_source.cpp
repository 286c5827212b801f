#include "editor/logic/data_source.hpp"

namespace vt6::ui::zemedit::logic {

std::span<const uint8_t> peakRowOf(const fmt::Zem6Model& model, uint32_t row, PeakStats& stats) {
    const uint64_t rowBytes = uint64_t{model.points_per_sample} * 2;
    if (rowBytes == 0) return {};
    // 32-bit row times at most 2^17 bytes: no wrap in 64 bits.
    const uint64_t start = uint64_t{row} * rowBytes;
    if (start + rowBytes > model.peaks.size()) return {};
    stats.peakBytesServed += rowBytes;
    ++stats.peakRowsServed;
    return {model.peaks.data() + start, static_cast<size_t>(rowBytes)};
}

FileDataSource::FileDataSource(fmt::Zem6File file, std::string path) : file_(std::move(file)), path_(std::move(path)) {
    stats_.sampleCount = file_.model.samples.size();
}

fmt::Result<std::unique_ptr<FileDataSource>> FileDataSource::open(const std::string& path, EditStatus& status,
                                                                  const fmt::ReadPolicy& policy) {
    fmt::Result<fmt::Zem6File> opened = fmt::openZem6File(path, policy);
    if (!opened.ok()) {
        status.code = kEditStatusOpenFailed;
        status.text = opened.message();
        return opened.takeError();
    }
    return std::unique_ptr<FileDataSource>(new FileDataSource(std::move(opened).value(), path));
}

std::span<const uint8_t> FileDataSource::peakRow(uint32_t row) { return peakRowOf(file_.model, row, stats_); }

int32_t FileDataSource::sourceFormat() const { return static_cast<int32_t>(file_.report.provenance.badge); }

namespace {

const fmt::Zem6Model& emptyModel() {
    static const fmt::Zem6Model model;
    return model;
}

} // namespace

LegacyModelDataSource::LegacyModelDataSource(std::shared_ptr<const fmt::Zem6Model>&& model, std::string&& path)
    : model_(std::move(model)), path_(std::move(path)) {
    model.reset();
    path.clear();
    stats_.sampleCount = model_ ? model_->samples.size() : 0;
}

const fmt::Zem6Model& LegacyModelDataSource::model() const { return model_ ? *model_ : emptyModel(); }

std::span<const uint8_t> LegacyModelDataSource::peakRow(uint32_t row) { return peakRowOf(model(), row, stats_); }

} // namespace vt6::ui::zemedit::logic
