// Adding decoded audio as a new sample in two steps: the payload is encoded
// and hashed wherever the audio was made (an import's worker), and the
// message thread only adopts the finished audio into the document.

#include <cstring>
#include <utility>

#include "audio/pcma_head.hpp"
#include "editor/logic/view_model.hpp"
#include "format/framing.hpp"

namespace vt6::ui::zemedit::logic {

PreparedPcm preparePcmForAdd(std::vector<float>&& samples, int32_t channels, int32_t sampleRate) {
    PreparedPcm prepared;
    std::vector<float> taken = std::move(samples);
    if (taken.empty() || channels <= 0 || sampleRate <= 0) return prepared;
    std::vector<uint8_t> payload = encodePcmPayload(taken, channels, sampleRate);
    if (payload.empty()) return prepared;
    prepared.payload_ = std::move(payload);
    prepared.pcm_ = makeSharedAddedPcm(std::move(taken), channels, sampleRate);
    return prepared;
}

uint64_t ZemEditViewModel::addPreparedSample(const std::string& sampleName, PreparedPcm&& audio, double rmsLevel,
                                             uint32_t layerIndex, uint32_t articulationIndex, int32_t bandIndex,
                                             const HitLevel& level, bool sortLock) {
    PreparedPcm taken = std::move(audio);
    if (!taken.valid()) return 0;
    if (layerIndex >= document.layers.size() || articulationIndex >= document.articulations.size()) return 0;
    const AddedPcm& pcm = *taken.pcm_;

    AddSampleRequest request;
    request.name = sampleName;
    request.layerIndex = static_cast<int32_t>(layerIndex);
    request.articulationIndex = static_cast<int32_t>(articulationIndex);
    request.bandIndex = bandIndex < 0 ? static_cast<int32_t>(document.bands.size() / 2) : bandIndex;
    request.key13Value = rmsLevel;
    request.sampleRate = static_cast<uint64_t>(pcm.sampleRate);
    request.bits = 32;
    request.channels = static_cast<uint64_t>(pcm.channels);
    request.frames = pcm.samples.size() / static_cast<uint64_t>(pcm.channels);
    request.hitLevel = level;
    request.sortLock = sortLock ? 1 : 0;
    request.anchored = 0;
    // The head's plain hash: the BLAKE2b-128 of the values, taken when the
    // payload was made.
    std::memcpy(request.plainHash.data(), taken.payload_.data() + 40, request.plainHash.size());
    request.plainHashPresent = 1;
    // Lent to the request and taken back: the document reads it, keeps none.
    request.payload = std::move(taken.payload_);
    const bool added = document.addSample(request);
    taken.payload_ = std::move(request.payload);
    if (!added) return 0;

    const uint64_t uid = document.samples.back().uid;
    addedPayloads.push_back(fmt::StagedPayload{uid, fmt::kTagAUDI, std::move(taken.payload_)});
    addedPcm[uid] = std::move(taken.pcm_);
    return uid;
}

} // namespace vt6::ui::zemedit::logic
