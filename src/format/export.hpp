#pragma once
// What a save writes and what the legacy importer returns: a model, the audio
// payloads its samples name, and messages for the user.

#include <string>
#include <vector>

#include "format/mtad.hpp"
#include "format/writer.hpp"

namespace vt6::fmt {

struct Export {
    Zem6Model model;
    std::vector<StagedPayload> payloads;  // in the order they were appended
    std::vector<std::string> warnings;    // in the order they arose
};

} // namespace vt6::fmt
