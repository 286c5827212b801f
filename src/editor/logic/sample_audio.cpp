// Every request for a sample's audio is answered from the right place: the
// edited version the document's revision names, the audio a sample was added
// with, the audio kept from before its first edit, or the source's file.

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "audio/pcma_head.hpp"
#include "editor/logic/view_model.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"

namespace vt6::ui::zemedit::logic {

namespace {

constexpr uint32_t kTagAudi = fmt::kTagAUDI;

fmt::ByteView floatBytes(std::span<const float> samples) {
    return fmt::ByteView(reinterpret_cast<const uint8_t*>(samples.data()), samples.size() * sizeof(float));
}

// The same file, unchanged: both exist and size and last-write time agree.
bool sameFile(const platform::FileInfo& a, const platform::FileInfo& b) noexcept {
    return a.exists && b.exists && a.size == b.size && a.lastWriteTime == b.lastWriteTime;
}

} // namespace

std::vector<uint8_t> encodePcmPayload(std::span<const float> samples, int32_t channels, int32_t sampleRate) {
    // Checked here, before any narrowing into the head's 16- and 32-bit
    // fields, and before the frame count divides by the channel count.
    if (channels < 1 || channels > fmt::kMaxPayloadChannels) return {};
    if (sampleRate < 1 || static_cast<uint32_t>(sampleRate) > fmt::kMaxPayloadSampleRate) return {};
    const auto count = static_cast<uint64_t>(samples.size());
    const uint64_t frames = count / static_cast<uint64_t>(channels);
    if (frames > fmt::kMaxPayloadFrames) return {};

    const fmt::ByteView body = floatBytes(samples);
    fmt::PcmaHead head;
    head.codec = fmt::kCodecRawPcm;
    head.bits = 32;
    head.sample_rate = static_cast<uint32_t>(sampleRate);
    head.channels = static_cast<uint16_t>(channels);
    head.role = fmt::PayloadRole::whole;
    head.flags = fmt::kPcmaFlagWritten;
    head.first_frame = 0;
    head.frames = frames;
    // A count that is no whole number of frames makes this differ from
    // frames x 4 x channels, which the head's laws refuse.
    head.plain_bytes = count * 4;
    head.plain_hash = fmt::blake2b128(body);
    head.reserved = 0;
    head.max_blocksize = 0;
    fmt::Result<std::vector<uint8_t>> payload = fmt::buildPayload(head, body);
    if (!payload.ok()) return {};
    return std::move(payload).value();
}

std::shared_ptr<const ZemEditViewModel::AddedPcm> makeSharedAddedPcm(std::vector<float>&& samples, int32_t channels,
                                                                     int32_t sampleRate) {
    auto pcm = std::make_shared<ZemEditViewModel::AddedPcm>();
    pcm->samples = std::move(samples);
    pcm->channels = channels;
    pcm->sampleRate = sampleRate;
    return pcm;
}

std::shared_ptr<const ZemEditViewModel::AddedPcm> makeSharedAddedPcm(fmt::SampleAudio&& audio) {
    return makeSharedAddedPcm(std::move(audio.samples), audio.channels, audio.sampleRate);
}

std::shared_ptr<const ZemEditViewModel::AddedPcm> ZemEditViewModel::currentPcm(const EditSample& record) const {
    const auto versions = audioVersions.find(record.uid);
    if (record.audioRevision != 0 && versions != audioVersions.end() &&
        record.audioRevision < versions->second.size()) {
        return versions->second[record.audioRevision].pcm;
    }
    if (const auto added = addedPcm.find(record.uid); added != addedPcm.end()) return added->second;
    if (versions != audioVersions.end() && !versions->second.empty()) return versions->second.front().pcm;
    return nullptr;
}

fmt::Result<fmt::SampleAudio> ZemEditViewModel::sampleAudio(uint64_t uid) const {
    fmt::Result<SampleAudioRequest> request = sampleAudioRequest(uid);
    if (!request.ok()) return request.takeError();
    return loadSampleAudio(request.value());
}

fmt::Result<ZemEditViewModel::SampleAudioRequest> ZemEditViewModel::sampleAudioRequest(uint64_t uid) const {
    const EditSample* record = document.sampleByUid(uid);
    if (record == nullptr) return fmt::fail(fmt::ErrorCode::ModelInvalid, "no such sample");
    SampleAudioRequest request;
    if (std::shared_ptr<const AddedPcm> pcm = currentPcm(*record)) {
        request.pcm = std::move(pcm);
        return request;
    }
    const ZemEditDataSource* source = activeSource();
    if (source == nullptr || source->path().empty())
        return fmt::fail(fmt::ErrorCode::ModelInvalid, "this zem has no audio on disk");

    // Only the file's own row of this uid names its audio: any other position
    // would hand over another sample's audio.
    const std::vector<fmt::SmplEntry>& rows = source->model().samples;
    size_t row = 0;
    while (row < rows.size() && rows[row].uid != uid) ++row;
    if (row >= rows.size() || row >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        return fmt::fail(fmt::ErrorCode::ModelInvalid,
                         "sample uid " + std::to_string(uid) + " has no audio in this zem");
    request.path = source->path();
    request.selector = fmt::SampleSelector{-1, static_cast<int32_t>(row + 1)};
    request.fileInfo = sourceFileInfo;
    return request;
}

fmt::Result<fmt::SampleAudio> ZemEditViewModel::loadSampleAudio(const SampleAudioRequest& request) {
    if (request.pcm != nullptr) {
        fmt::SampleAudio copy;
        copy.samples = request.pcm->samples;
        copy.channels = request.pcm->channels;
        copy.sampleRate = request.pcm->sampleRate;
        return copy;
    }
    const std::string& path = request.path;
    const char* const changedText = "the zem changed on disk since it was opened; reopen it";
    if (!sameFile(platform::queryFileInfo(path), request.fileInfo))
        return fmt::fail(fmt::ErrorCode::ModelInvalid, changedText);
    fmt::Result<fmt::SampleAudio> loaded =
        fmt::loadSampleForEdit(path, request.selector, fmt::kEditingBudgetBytes, fmt::SampleLoadMode::CompleteSource);
    if (loaded.ok() && !sameFile(platform::queryFileInfo(path), request.fileInfo))
        return fmt::fail(fmt::ErrorCode::ModelInvalid, changedText);
    return loaded;
}

bool ZemEditViewModel::replaceSampleAudio(uint64_t uid, std::vector<float> samples, int32_t channels,
                                          int32_t sampleRate, uint64_t regionStart, uint64_t regionEnd) {
    if (document.sampleByUid(uid) == nullptr || samples.empty() || channels <= 0 || sampleRate <= 0) return false;
    return replaceSampleAudio(uid, prepareEdit(std::move(samples), channels, sampleRate), regionStart, regionEnd);
}

ZemEditViewModel::PreparedEdit ZemEditViewModel::prepareEdit(std::vector<float> samples, int32_t channels,
                                                           int32_t sampleRate) {
    PreparedEdit out;
    out.channels = channels;
    out.sampleRate = sampleRate;
    if (!samples.empty() && channels > 0 && sampleRate > 0) {
        out.payload = encodePcmPayload(samples, channels, sampleRate);
        double sumSquares = 0.0;
        for (const float v : samples) sumSquares += static_cast<double>(v) * static_cast<double>(v);
        out.rms = std::sqrt(sumSquares / static_cast<double>(samples.size()));
    }
    out.samples = std::move(samples);
    return out;
}

bool ZemEditViewModel::replaceSampleAudio(uint64_t uid, PreparedEdit prepared, uint64_t regionStart,
                                          uint64_t regionEnd) {
    const int32_t channels = prepared.channels;
    const int32_t sampleRate = prepared.sampleRate;
    if (document.sampleByUid(uid) == nullptr || prepared.samples.empty() || channels <= 0 || sampleRate <= 0)
        return false;
    // The new payload first: audio that cannot be saved is refused before
    // anything is read or recorded.
    std::vector<uint8_t> payload = std::move(prepared.payload);
    if (payload.empty()) return false;

    std::vector<AudioVersion>& versions = audioVersions[uid];
    if (versions.empty()) {
        AudioVersion original;
        if (const auto added = addedPcm.find(uid); added != addedPcm.end()) {
            // Its payload is the added one, which addedPayloads already
            // holds: no second copy of a long take (addedPcmForSave finds it).
            original.pcm = added->second;
        } else {
            fmt::Result<fmt::SampleAudio> loaded = sampleAudio(uid);
            if (!loaded.ok()) return false;
            original.pcm = makeSharedAddedPcm(std::move(loaded).value());
            original.payload = encodePcmPayload(original.pcm->samples, original.pcm->channels, original.pcm->sampleRate);
            if (original.payload.empty()) return false;
        }
        versions.push_back(std::move(original));
    }

    const double rms = prepared.rms;
    const uint64_t frames = prepared.samples.size() / static_cast<uint64_t>(channels);
    // The head already carries the body's plain hash; hashing it again
    // would cost a second pass over a long take.
    fmt::Digest128 hash{};
    std::memcpy(hash.data(), payload.data() + 40, hash.size());

    AudioVersion next;
    next.payload = std::move(payload);
    next.pcm = makeSharedAddedPcm(std::move(prepared.samples), channels, sampleRate);
    versions.push_back(std::move(next));

    SampleAudioState state;
    state.sampleRate = static_cast<uint64_t>(sampleRate);
    state.bits = 32;
    state.channels = static_cast<uint64_t>(channels);
    state.frames = frames;
    state.key13Value = rms;
    state.audioRevision = static_cast<uint32_t>(versions.size() - 1);
    state.regionStart = regionStart;
    state.regionEnd = regionEnd;
    state.plainHash = hash;
    state.plainHashPresent = 1;
    state.hitLevel = HitLevel::unmeasured();
    if (!document.replaceAudio(uid, state)) {
        versions.pop_back();
        return false;
    }
    return true;
}

uint64_t ZemEditViewModel::addSampleFromPcm(const std::string& sampleName, std::vector<float> samples,
                                            int32_t channels, int32_t sampleRate, double rmsLevel,
                                            uint32_t layerIndex, uint32_t articulationIndex, int32_t bandIndex,
                                            const HitLevel& level, bool sortLock) {
    // Refused before anything is encoded.
    if (layerIndex >= document.layers.size() || articulationIndex >= document.articulations.size()) return 0;
    return addPreparedSample(sampleName, preparePcmForAdd(std::move(samples), channels, sampleRate), rmsLevel,
                             layerIndex, articulationIndex, bandIndex, level, sortLock);
}

bool ZemEditViewModel::audition(uint64_t uid) const {
    const EditSample* record = document.sampleByUid(uid);
    if (record == nullptr) return false;
    bool regionChanged = record->regionStart != 0 || record->regionEnd != record->frames;
    const ZemEditDataSource* source = activeSource();
    if (source != nullptr) {
        for (const fmt::SmplEntry& row : source->model().samples) {
            if (row.uid != uid) continue;
            regionChanged = record->regionStart != row.playback_start.value_or(0) ||
                            record->regionEnd != row.playback_end.value_or(record->frames);
            break;
        }
    }
    const bool unedited = record->audioRevision == 0 && addedPcm.count(uid) == 0 && !regionChanged &&
                          record->regionEdited == 0;
    if (unedited) {
        if (!auditionStored || source == nullptr) return false;
        auditionStored(source->path(), uid);
        return true;
    }

    fmt::Result<fmt::SampleAudio> audio = sampleAudio(uid);
    if (!audio.ok() || audio->channels <= 0) return false;
    const auto channels = static_cast<uint64_t>(audio->channels);
    const uint64_t frames = audio->samples.size() / channels;
    if (!(record->regionStart < record->regionEnd && record->regionEnd <= frames)) return false;
    if (playPcm) {
        const std::span<const float> all(audio->samples);
        playPcm(all.subspan(record->regionStart * channels, (record->regionEnd - record->regionStart) * channels),
                audio->channels, audio->sampleRate);
    }
    return true;
}

std::vector<fmt::StagedPayload> ZemEditViewModel::addedPcmForSave() const {
    std::vector<fmt::StagedPayload> out;
    for (const fmt::StagedPayload& entry : addedPayloads) {
        const EditSample* record = document.sampleByUid(entry.uid);
        if (record != nullptr && record->audioRevision == 0) out.push_back(entry);
    }
    for (const auto& [uid, versions] : audioVersions) {
        const EditSample* record = document.sampleByUid(uid);
        if (record == nullptr) continue;
        const uint32_t r = record->audioRevision;
        const bool wanted = r != record->savedAudioRevision || (r != 0 && addedPcm.count(uid) != 0);
        if (!wanted || r >= versions.size()) continue;
        const AudioVersion& version = versions[r];
        if (!version.payload.empty() || r != 0) {
            out.push_back(fmt::StagedPayload{uid, kTagAudi, version.payload});
            continue;
        }
        // Version 0 of an added sample: the added payload, or the same bytes
        // made again from its audio once a save has let that go.
        std::vector<uint8_t> bytes;
        for (auto it = addedPayloads.rbegin(); it != addedPayloads.rend(); ++it)
            if (it->uid == uid) {
                bytes = it->bytes;
                break;
            }
        if (bytes.empty() && version.pcm != nullptr)
            bytes = encodePcmPayload(version.pcm->samples, version.pcm->channels, version.pcm->sampleRate);
        out.push_back(fmt::StagedPayload{uid, kTagAudi, std::move(bytes)});
    }
    return out;
}

} // namespace vt6::ui::zemedit::logic
