#pragma once
// Where an edited document comes from. The editor never reads a zem file or
// a converted model directly: the document loader and the view model go
// through a data source, which also serves the per-sample peak rows.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "format/mtad.hpp"
#include "format/read_policy.hpp"
#include "format/reader.hpp"
#include "format/result.hpp"

namespace vt6::ui::zemedit::logic {

// Outcome of an open: code 0 none, 3 the open failed (text: the reason).
struct EditStatus {
    uint16_t code = 0;
    std::string text;

    bool operator==(const EditStatus&) const = default;
};

inline constexpr uint16_t kEditStatusOpenFailed = 3;

struct PeakStats {
    uint64_t reserved0 = 0;        // nothing counts here yet
    uint64_t sampleCount = 0;      // SMPL rows of the source's model
    uint64_t peakBytesServed = 0;  // bytes of every non-empty peakRow span
    uint64_t reserved1 = 0;        // nothing counts here yet
    uint64_t peakRowsServed = 0;   // number of non-empty peakRow spans

    bool operator==(const PeakStats&) const = default;
};

class ZemEditDataSource {
public:
    ZemEditDataSource() = default;
    ZemEditDataSource(const ZemEditDataSource&) = delete;
    ZemEditDataSource& operator=(const ZemEditDataSource&) = delete;
    virtual ~ZemEditDataSource() = default;

    // Valid while the source lives.
    virtual const fmt::Zem6Model& model() const = 0;
    // The PEAK row of SMPL row `row`, pointing into the model; empty when the
    // model has no such row. Message thread only (it counts).
    virtual std::span<const uint8_t> peakRow(uint32_t row) = 0;
    // The provenance badge: 0 none, 1 factory, 2 publisher, 3 user, 4 modified.
    virtual int32_t sourceFormat() const = 0;
    virtual const std::string& path() const = 0;
    virtual const PeakStats& peakStats() const = 0;
};

// A current-format file opened by the reader and kept open while the source
// lives, so sample audio can still be read from it.
class FileDataSource final : public ZemEditDataSource {
public:
    // On failure fills `status` with {3, the reader's message} and passes the
    // reader's code and message on unchanged.
    static fmt::Result<std::unique_ptr<FileDataSource>> open(const std::string& path, EditStatus& status,
                                                             const fmt::ReadPolicy& policy);

    const fmt::Zem6Model& model() const override { return file_.model; }
    std::span<const uint8_t> peakRow(uint32_t row) override;
    int32_t sourceFormat() const override;
    const std::string& path() const override { return path_; }
    const PeakStats& peakStats() const override { return stats_; }

    const fmt::Zem6File& file() const noexcept { return file_; }

private:
    FileDataSource(fmt::Zem6File file, std::string path);

    fmt::Zem6File file_;
    std::string path_;
    PeakStats stats_;
};

// A model without a container file behind it (a converted legacy file or a
// model the host built), shared read-only.
class LegacyModelDataSource final : public ZemEditDataSource {
public:
    // Takes over both arguments: the caller's pointer and path are empty
    // afterwards. A null model reads as an empty one.
    LegacyModelDataSource(std::shared_ptr<const fmt::Zem6Model>&& model, std::string&& path);

    const fmt::Zem6Model& model() const override;
    std::span<const uint8_t> peakRow(uint32_t row) override;
    int32_t sourceFormat() const override { return 3; }
    const std::string& path() const override { return path_; }
    const PeakStats& peakStats() const override { return stats_; }

private:
    std::shared_ptr<const fmt::Zem6Model> model_;
    std::string path_;
    PeakStats stats_;
};

// The peak rule shared by both sources: rows of points x 2 bytes, one per
// SMPL row; counts only spans that are returned non-empty.
std::span<const uint8_t> peakRowOf(const fmt::Zem6Model& model, uint32_t row, PeakStats& stats);

} // namespace vt6::ui::zemedit::logic
