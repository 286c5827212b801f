#pragma once
// The model of a zem started from nothing: what the new-file dialog asks for,
// and the tables it turns into. Plain C++, so it is tested without a window.

#include <string>
#include <string_view>
#include <vector>

#include "format/mtad.hpp"

namespace vt6::maker {

struct NewZemChoices {
    std::string name = "Untitled";
    // Optional metadata texts (instrument name, key 7); the dialog leaves them
    // empty and only other callers fill them.
    std::string instrumentName;
    std::string thirdText;
    int dynamicGroups = 4;
    int roomChannels = 0;  // besides Direct
    int articulations = 1;
};

// Builds the metadata tables of a new file: the layers Direct and Room A..C,
// the articulations "CENTER", "ART 2", ..., and the dynamic groups spread over
// the level scale. The centres are used when there is exactly one per group,
// otherwise the groups share the scale evenly.
fmt::Zem6Model buildNewModel(const NewZemChoices& choices, const std::vector<double>& centres);

// The names typed as one text: split at every comma, each piece trimmed of
// white space, empty pieces dropped.
std::vector<std::string> splitArticulationNames(std::string_view text);

// Names the model's first articulations by the given names, in order; names
// beyond the articulation count (or the model's table) are ignored.
void nameArticulations(fmt::Zem6Model& model, const std::vector<std::string>& names, int articulations);

// The status line after a new file is mounted.
std::string newZemStatus(int articulations);

}  // namespace vt6::maker
