#include "analysis/physical_records.hpp"

#include <vector>

namespace vt6::fmt {

void clearPhysicalAnalysis(Zem6Model& model) {
    std::erase_if(model.extraChunks, [](const ExtraChunk& chunk) { return chunk.tag == kTagPHDM; });
    std::erase_if(model.metadata.extensions,
                  [](const ExtensionPair& pair) { return pair.key == kPhysicalModelMtadKey; });
}

} // namespace vt6::fmt
