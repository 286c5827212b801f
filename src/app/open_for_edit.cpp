#include "app/open_for_edit.hpp"

#include "audio/legacy/legacy_import.hpp"
#include "audio/sample_load.hpp"
#include "format/reader.hpp"

namespace vt6::maker {

bool signedFromBadge(fmt::ProvenanceBadge badge) {
    return badge == fmt::ProvenanceBadge::Factory || badge == fmt::ProvenanceBadge::Publisher ||
           badge == fmt::ProvenanceBadge::Modified;
}

fmt::Result<OpenedZem> openForEdit(const std::string& workingPath, const std::string& chosenPath) {
    OpenedZem opened;
    if (fmt::probeHeader(workingPath)) {
        auto file = fmt::openZem6File(workingPath, fmt::ReadPolicy{});
        if (!file.ok()) return file.takeError();
        opened.model = file.value().model;
        opened.isSigned = signedFromBadge(file.value().report.provenance.badge);
        return opened;  // the file closes here
    }
    zem::LegacyImportOptions options;
    options.headMs = 250;
    options.buildPayloads = false;
    auto converted = zem::importLegacyFile(workingPath, options);
    if (!converted.ok()) return converted.takeError();
    // The payloads are dropped: the editor reads the legacy audio again from
    // the working copy.
    opened.model = std::move(converted.value().model);
    opened.warnings = std::move(converted.value().warnings);
    opened.convertedFromLegacy = true;
    const std::string stem = zem::fileStemOfPath(chosenPath);
    if (!stem.empty()) opened.model.metadata.name = stem;
    return opened;
}

}  // namespace vt6::maker
