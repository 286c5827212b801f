#include "app/save_model.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <new>
#include <limits>
#include <set>

#include "platform/file_info.hpp"

#include "audio/pcma_head.hpp"
#include "editor/logic/compose.hpp"
#include "editor/logic/group_definitions.hpp"
#include "editor/logic/room_linking.hpp"
#include "format/checksum.hpp"
#include "format/framing.hpp"
#include "format/sample_ext.hpp"

namespace vt6::maker {

namespace logic = ui::zemedit::logic;

namespace {

constexpr uint64_t kSortLockExtKey = 1003;

int8_t peakByte(float value) {
    const double limited = std::clamp(static_cast<double>(value), -1.0, 1.0);
    return static_cast<int8_t>(std::nearbyint(limited * 127.0));  // default rounding: ties to even
}

std::string tooManyChannelsText(const std::string& name, uint64_t channels) {
    return (name.empty() ? std::string("A sample") : name) + " has " + std::to_string(channels) +
           " channels. ZEM Rivir plays mono or stereo samples only, so the zem was not saved. Delete the sample or "
           "replace its audio with mono or stereo audio, then save again.";
}

} // namespace

fmt::Result<SaveModelPlan> composeSaveModel(const logic::EditDocument& document, const fmt::Zem6Model& source,
                                            const std::string& baseName, int& code) {
    code = kSaveOk;
    auto composed = logic::composeModel(document, source, false, nullptr);
    if (!composed.ok()) {
        code = kSaveBuildFailed;
        return composed.error();
    }
    SaveModelPlan plan;
    fmt::Zem6Model& model = plan.exported.model;
    model = std::move(composed).value();
    fmt::assignOptionalStringCopy(model.metadata.name, baseName);
    fmt::setCreatorToolName(model.metadata.creator_tool);

    fmt::eraseSmplEntriesIf(model.samples, [&](uint64_t uid) { return document.sampleByUid(uid) != nullptr; });
    if (model.samples.empty()) {
        code = kSaveNoSamples;
        return fmt::fail(fmt::ErrorCode::ModelInvalid, kNoSamplesText);
    }
    model.summary = fmt::Summary{};
    model.peaks.clear();
    fmt::dropPreviewAndDescChunks(model.extraChunks);
    // What is saved here is the user's own unsigned file: a publisher's
    // certificate would claim content the publisher never signed.
    std::erase_if(model.metadata.extensions,
                  [](const fmt::ExtensionPair& p) { return p.key == fmt::kPublisherCertMtadKey; });

    // The plug-in plays mono and stereo only; an opened file may hold more.
    for (const fmt::SmplEntry& row : model.samples) {
        const logic::EditSample* record = document.sampleByUid(row.uid);
        const uint64_t channels = record != nullptr ? record->channels : row.channels.value_or(1);
        if (channels > 2) {
            code = kSaveTooManyChannels;
            return fmt::fail(fmt::ErrorCode::ModelInvalid, tooManyChannelsText(row.name.value_or(""), channels));
        }
    }

    // Every payload is rebuilt whole from its audio: no tail, no head split.
    for (fmt::SmplEntry& row : model.samples) {
        row.audt_uid.reset();
        row.head_frames.reset();
        row.audi_uid = row.uid;
    }

    // Composition has set each layer record's slot; the document's
    // definitions are paired with the records by id, never by position, so
    // a reordered channel keeps its own level.
    std::map<uint64_t, size_t> defById;
    for (size_t i = 0; i < document.layers.size(); ++i) defById[document.layers[i].key] = i;
    for (fmt::LayerDef& layer : model.metadata.layers) {
        if (!layer.slot || *layer.slot > 3) {
            code = kSaveCustomChannel;
            return fmt::fail(fmt::ErrorCode::ModelInvalid, kCustomChannelText);
        }
        const auto found = defById.find(layer.id);
        if (!layer.level && found != defById.end()) {
            layer.level = document.layerDefaultLevel(static_cast<int32_t>(found->second), true);
        }
    }

    plan.roomMoves = logic::linkForPlayback(
        model,
        [&](uint64_t uid) {
            const logic::EditSample* record = document.sampleByUid(uid);
            return record != nullptr && record->sortLock != 0;
        },
        plan.exported.warnings);
    // Indexing drops the definitions of bands no row holds; their neighbours
    // take over their ranges as pruning the document after the save does.
    logic::fitBandEdgesToRows(model, document);

    plan.levels.reserve(model.samples.size());
    plan.sortLocks.reserve(model.samples.size());
    for (const fmt::SmplEntry& row : model.samples) {
        const logic::EditSample* record = document.sampleByUid(row.uid);
        plan.levels.push_back(record != nullptr ? record->hitLevel : fmt::HitLevel::unmeasured());
        plan.sortLocks.push_back(record != nullptr ? record->sortLock : 0);
    }
    return plan;
}

void measureSampleRow(fmt::SmplEntry& row, const fmt::SampleAudio& audio, const fmt::HitLevel& level, bool sortLock,
                      uint16_t peakPoints, fmt::Bytes& peaks) {
    const size_t n = audio.samples.size();
    const size_t channels = audio.channels > 0 ? static_cast<size_t>(audio.channels) : 1;
    const uint64_t frames = n / channels;
    double peak = 0.0;
    double sumSquares = 0.0;
    for (const float v : audio.samples) {
        peak = std::max(peak, std::fabs(static_cast<double>(v)));
        sumSquares += static_cast<double>(v) * static_cast<double>(v);
    }
    const fmt::ByteView floatBytes(reinterpret_cast<const uint8_t*>(audio.samples.data()), n * sizeof(float));

    row.sample_rate = static_cast<uint64_t>(std::max(audio.sampleRate, 0));
    row.channels = static_cast<uint64_t>(std::max(audio.channels, 0));
    row.frames = frames;
    row.bits = 32;
    row.codec = fmt::kCodecRawPcm;
    row.peak = peak;
    row.rms = n == 0 ? 0.0 : std::sqrt(sumSquares / static_cast<double>(n));
    row.plain_hash = fmt::blake2b128(floatBytes);
    fmt::writeHitLevelExt(row, level);
    row.removeExtension(kSortLockExtKey);
    if (sortLock) row.setFlagExt(true);
    fmt::sortExtensions(row.extensions);

    for (uint32_t i = 0; i < peakPoints; ++i) {
        const uint64_t from = frames * i / peakPoints;
        const uint64_t to = std::min(frames, std::max(from + 1, frames * (i + 1) / peakPoints));
        float lo = 0.0f;
        float hi = 0.0f;
        for (uint64_t f = from; f < to; ++f) {
            for (size_t c = 0; c < channels; ++c) {
                const float v = audio.samples[static_cast<size_t>(f) * channels + c];
                lo = std::min(lo, v);
                hi = std::max(hi, v);
            }
        }
        peaks.push_back(static_cast<uint8_t>(peakByte(lo)));
        peaks.push_back(static_cast<uint8_t>(peakByte(hi)));
    }
}

fmt::Result<PayloadHead> payloadHeadFor(const fmt::SmplEntry& row) {
    fmt::PcmaHead head;
    head.codec = fmt::kCodecRawPcm;
    head.bits = 32;
    head.sample_rate = static_cast<uint32_t>(row.sample_rate.value_or(0));
    head.channels = static_cast<uint16_t>(std::min<uint64_t>(row.channels.value_or(0), UINT16_MAX));
    head.role = fmt::PayloadRole::whole;
    head.flags = fmt::kPcmaFlagWritten;
    head.first_frame = 0;
    head.frames = row.frames.value_or(0);
    const uint64_t frameValues = std::max<uint64_t>(row.channels.value_or(0), 1);
    head.plain_bytes = head.frames * frameValues * sizeof(float);
    head.plain_hash = row.plain_hash.value_or(fmt::Digest128{});
    head.max_blocksize = 0;
    ZEM_TRY(fmt::validatePcmaHead(head));
    PayloadHead out{};
    fmt::encodePcmaHead(head, std::span<uint8_t, fmt::kPcmaHeadBytes>(out.data(), out.size()));
    return out;
}

fmt::Result<fmt::StagedPayload> buildSamplePayload(fmt::SmplEntry& row, const fmt::SampleAudio& audio,
                                                   const fmt::HitLevel& level, bool sortLock, uint16_t peakPoints,
                                                   fmt::Bytes& peaks) {
    fmt::Bytes ownPeaks;
    measureSampleRow(row, audio, level, sortLock, peakPoints, ownPeaks);
    const fmt::ByteView floatBytes(reinterpret_cast<const uint8_t*>(audio.samples.data()),
                                   audio.samples.size() * sizeof(float));
    ZEM_TRY_ASSIGN(const PayloadHead head, payloadHeadFor(row));
    if (head.size() + floatBytes.size() != payloadBytesFor(row)) {
        return fmt::fail(fmt::ErrorCode::PayloadHeadInvalid, "codec-0 payload carries " +
                                                                 std::to_string(floatBytes.size()) +
                                                                 " codec bytes but a whole number of frames was expected");
    }
    fmt::Bytes bytes;
    bytes.reserve(head.size() + floatBytes.size());
    bytes.insert(bytes.end(), head.begin(), head.end());
    bytes.insert(bytes.end(), floatBytes.begin(), floatBytes.end());
    peaks.insert(peaks.end(), ownPeaks.begin(), ownPeaks.end());
    return fmt::StagedPayload{row.uid, fmt::kTagAUDI, std::move(bytes)};
}

uint64_t payloadBytesFor(const fmt::SmplEntry& row) {
    const uint64_t frameValues = std::max<uint64_t>(row.channels.value_or(0), 1);
    return fmt::kPcmaHeadBytes + row.frames.value_or(0) * frameValues * sizeof(float);
}

namespace {

fmt::Result<fmt::Export> buildPayloads(SaveModelPlan& plan, const SaveAudioLoader& loadAudio, int& code,
                                       const std::function<void(size_t)>& progress) {
    fmt::Zem6Model& model = plan.exported.model;
    for (size_t i = 0; i < model.samples.size(); ++i) {
        fmt::SmplEntry& row = model.samples[i];
        // One sample's floats at a time: they are freed before the next is read.
        auto audio = loadAudio(row.uid);
        if (!audio.ok()) {
            code = kSaveAudioUnreadable;
            return audio.error();
        }
        if (audio.value().channels > 2) {
            code = kSaveTooManyChannels;
            return fmt::fail(fmt::ErrorCode::ModelInvalid,
                             tooManyChannelsText(row.name.value_or(""), static_cast<uint64_t>(audio.value().channels)));
        }
        auto payload = buildSamplePayload(row, audio.value(), plan.levels[i], plan.sortLocks[i] != 0,
                                          model.points_per_sample, model.peaks);
        if (!payload.ok()) {
            code = kSaveBuildFailed;
            return payload.error();
        }
        plan.exported.payloads.push_back(std::move(payload).value());
        if (progress) progress(i + 1);
    }
    return std::move(plan.exported);
}

fmt::Result<fmt::Export> indexed(fmt::Result<fmt::Export> built, int& code) {
    if (!built.ok()) return built;
    fmt::Export exported = std::move(built).value();
    auto index = logic::indexGroupDefinitions(exported.model);
    if (!index.ok()) {
        code = kSaveBuildFailed;
        return index.error();
    }
    exported.model = std::move(index.value().model);
    return exported;
}

fmt::Result<fmt::Export> outOfMemory(int& code) {
    code = kSaveBuildFailed;
    return fmt::fail(fmt::ErrorCode::WriteIo, "not enough memory to build the save");
}

} // namespace

fmt::Result<fmt::Export> buildSaveModel(const logic::EditDocument& document, const fmt::Zem6Model& source,
                                        const std::string& baseName, const SaveAudioLoader& loadAudio, int& code) {
    try {
        auto planned = composeSaveModel(document, source, baseName, code);
        if (!planned.ok()) return planned.error();
        return buildPayloads(planned.value(), loadAudio, code, {});
    } catch (const std::bad_alloc&) {
        return outOfMemory(code);
    }
}

fmt::Result<fmt::Export> buildPayloadsAndIndex(SaveModelPlan plan, const SaveAudioLoader& loadAudio, int& code,
                                               const std::function<void(size_t)>& progress) {
    try {
        return indexed(buildPayloads(plan, loadAudio, code, progress), code);
    } catch (const std::bad_alloc&) {
        return outOfMemory(code);
    }
}

SaveAudioSource makeDetachedAudioSource(const logic::ZemEditViewModel& viewModel) {
    struct Detached {
        std::map<uint64_t, std::shared_ptr<const logic::ZemEditViewModel::AddedPcm>> inMemory;
        std::map<uint64_t, size_t> storedRow;  // uid -> row of the source file, from 0
        std::string path;
        platform::FileInfo info;
        // Opened on the first stored sample and kept: reading the whole
        // model again for every sample made a large save quadratic.
        std::mutex fileLock;
        std::optional<fmt::Zem6File> file;
    };
    auto d = std::make_shared<Detached>();
    for (const logic::EditSample& record : viewModel.document.samples) {
        if (viewModel.document.sampleByUid(record.uid) != &record) continue;
        if (auto pcm = viewModel.currentPcm(record)) d->inMemory[record.uid] = std::move(pcm);
    }
    if (const logic::ZemEditDataSource* source = viewModel.activeSource(); source != nullptr) {
        d->path = source->path();
        const auto& rows = source->model().samples;
        for (size_t i = rows.size(); i-- > 0;) d->storedRow[rows[i].uid] = i;  // the first row of a uid wins
    }
    d->info = viewModel.sourceFileInfo;
    SaveAudioSource out;
    out.load = [d](uint64_t uid) -> fmt::Result<fmt::SampleAudio> {
        if (const auto found = d->inMemory.find(uid); found != d->inMemory.end()) {
            fmt::SampleAudio copy;
            copy.samples = found->second->samples;
            copy.channels = found->second->channels;
            copy.sampleRate = found->second->sampleRate;
            return copy;
        }
        const auto row = d->storedRow.find(uid);
        if (d->path.empty() || row == d->storedRow.end()) {
            return fmt::fail(fmt::ErrorCode::ModelInvalid, "sample uid " + std::to_string(uid) + " has no audio");
        }
        auto unchanged = [&] {
            const platform::FileInfo now = platform::queryFileInfo(d->path);
            return now.exists && d->info.exists && now.size == d->info.size &&
                   now.lastWriteTime == d->info.lastWriteTime;
        };
        const char* const changedText = kSourceChangedText;
        if (!unchanged()) return fmt::fail(fmt::ErrorCode::ModelInvalid, changedText);
        if (!fmt::probeHeader(d->path)) {
            // A legacy source: its reader keeps no open file to reuse.
            if (row->second >= static_cast<size_t>(std::numeric_limits<int32_t>::max()))
                return fmt::fail(fmt::ErrorCode::ModelInvalid, "sample uid " + std::to_string(uid) + " has no audio");
            auto loaded = fmt::loadSampleForEdit(d->path, fmt::SampleSelector{-1, static_cast<int32_t>(row->second + 1)},
                                                 fmt::kEditingBudgetBytes, fmt::SampleLoadMode::CompleteSource);
            if (loaded.ok() && !unchanged()) return fmt::fail(fmt::ErrorCode::ModelInvalid, changedText);
            return loaded;
        }
        {
            const std::lock_guard<std::mutex> hold(d->fileLock);
            if (!d->file) {
                auto opened = fmt::openZem6File(d->path, fmt::ReadPolicy{});
                if (!opened.ok()) return opened.takeError();
                // The rows were numbered from the model the editor opened.
                if (opened.value().model.samples.size() <= row->second ||
                    opened.value().model.samples[row->second].uid != uid || !unchanged()) {
                    return fmt::fail(fmt::ErrorCode::ModelInvalid, changedText);
                }
                d->file.emplace(std::move(opened).value());
            }
        }
        // Loading a whole source row only reads the open file, with
        // positioned reads: the save's workers load side by side.
        auto loaded = fmt::loadCompleteSourceRow(*d->file, row->second, fmt::kEditingBudgetBytes);
        if (loaded.ok() && !unchanged()) return fmt::fail(fmt::ErrorCode::ModelInvalid, changedText);
        return loaded;
    };
    out.stored = [d](uint64_t uid) -> std::optional<StoredPayload> {
        if (d->inMemory.contains(uid)) return std::nullopt;
        const auto row = d->storedRow.find(uid);
        if (row == d->storedRow.end()) return std::nullopt;
        const fmt::Zem6File* file = nullptr;
        {
            const std::lock_guard<std::mutex> hold(d->fileLock);
            if (d->file) file = &*d->file;  // opened by the loader, checked there
        }
        if (file == nullptr || row->second >= file->model.samples.size()) return std::nullopt;
        const fmt::SmplEntry& source = file->model.samples[row->second];
        if (source.uid != uid || source.audt_uid) return std::nullopt;
        const fmt::ChunkRecord* record = file->findEntry(fmt::kTagAUDI, source.audi_uid);
        if (record == nullptr) return std::nullopt;
        auto view = file->readChunkHeader(*record);
        if (!view.ok()) return std::nullopt;
        StoredPayload stored;
        auto got = fmt::Zem6File::readPayloadRange(view.value(), 0, stored.head);
        if (!got.ok() || got.value() != stored.head.size()) return std::nullopt;
        const platform::FileInfo now = platform::queryFileInfo(d->path);
        if (!now.exists || now.size != d->info.size || now.lastWriteTime != d->info.lastWriteTime) return std::nullopt;
        stored.uid = record->uid;
        stored.flags = record->flags;
        stored.length = record->length;
        stored.checks = fmt::ChunkDigests{record->crc32c, record->hash};
        return stored;
    };
    return out;
}

SaveAudioLoader makeDetachedAudioLoader(const logic::ZemEditViewModel& viewModel) {
    return makeDetachedAudioSource(viewModel).load;
}

fmt::Result<fmt::Export> buildExport(const logic::EditDocument& document, const fmt::Zem6Model& source,
                                     const std::string& baseName, const SaveAudioLoader& loadAudio, int& code) {
    return indexed(buildSaveModel(document, source, baseName, loadAudio, code), code);
}

} // namespace vt6::maker
