#pragma once
// Opening a file for the editor, on the shell's worker thread: a current
// file is read and checked, anything else goes through the legacy importer.
// Touches nothing but the two paths it is given.

#include <string>
#include <vector>

#include "format/mtad.hpp"
#include "format/result.hpp"
#include "format/signature.hpp"

namespace vt6::maker {

struct OpenedZem {
    fmt::Zem6Model model;
    bool convertedFromLegacy = false;
    // The file carries a signature, valid or not.
    bool isSigned = false;
    // What the legacy importer repaired or left out while converting, for
    // the user to see; empty for a current file.
    std::vector<std::string> warnings;
};

// Factory, other publisher and failing signatures count as signed; unsigned
// user files and no badge do not.
bool signedFromBadge(fmt::ProvenanceBadge badge);

// workingPath is the copy that is read; chosenPath only names a converted
// model.
fmt::Result<OpenedZem> openForEdit(const std::string& workingPath, const std::string& chosenPath);

}  // namespace vt6::maker
