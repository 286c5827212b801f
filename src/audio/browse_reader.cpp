#include "audio/browse_reader.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "audio/codec.hpp"
#include "audio/flac_cursor.hpp"
#include "audio/pcma_head.hpp"
#include "format/framing.hpp"

namespace vt6::fmt {

namespace {

// One payload's body behind its 64-byte head, for a cursor of one call.
class Source final : public FlacPayloadSource {
public:
    explicit Source(const ChunkPayloadView& view) : view_(view) {}
    Result<uint32_t> read(uint64_t offset, std::span<uint8_t> dest) override {
        if (offset >= size()) return uint32_t{0};
        return Zem6File::readPayloadRange(view_, offset + kPcmaHeadBytes, dest);
    }
    uint64_t size() const override {
        return view_.payloadLength <= kPcmaHeadBytes ? 0 : view_.payloadLength - kPcmaHeadBytes;
    }

private:
    ChunkPayloadView view_;
};

// first + count, or nothing when it does not fit in 64 bits.
bool addFits(uint64_t a, uint64_t b, uint64_t& sum) {
    if (a > std::numeric_limits<uint64_t>::max() - b) return false;
    sum = a + b;
    return true;
}

} // namespace

Result<BrowseSampleAudio> readBrowseSample(const Zem6File& file, const SmplEntry& row) {
    BrowseSampleAudio out;
    PcmaHead audiHead;
    std::vector<uint8_t> pcm;
    std::vector<float> values;

    const int parts = row.audt_uid ? 2 : 1;
    for (int part = 0; part < parts; ++part) {
        const uint32_t tag = part == 0 ? kTagAUDI : kTagAUDT;
        const uint64_t uid = part == 0 ? row.audi_uid : *row.audt_uid;
        const ChunkRecord* record = file.findEntry(tag, uid);
        if (record == nullptr) return fail(ErrorCode::ModelInvalid, "missing measurement audio chunk");
        ZEM_TRY_ASSIGN(const ChunkPayloadView view, file.readChunkHeader(*record));
        uint8_t headBytes[kPcmaHeadBytes];
        ZEM_TRY_ASSIGN(const uint32_t got, Zem6File::readPayloadRange(view, 0, headBytes));
        if (got < kPcmaHeadBytes) return fail(ErrorCode::ChunkTruncated, "measurement audio head truncated");
        ZEM_TRY_ASSIGN(const PcmaHead head, parsePcmaHead(ByteView(headBytes, kPcmaHeadBytes)));

        if (head.sample_rate < kBrowseMinRate || head.sample_rate > kBrowseMaxRate || head.channels < 1 ||
            head.channels > 2) {
            return fail(ErrorCode::GeometryMismatch, "unsupported measurement audio geometry");
        }
        if (part == 1) {
            uint64_t expectedFirst = 0;
            if (head.sample_rate != audiHead.sample_rate || head.bits != audiHead.bits ||
                head.channels != audiHead.channels ||
                !addFits(audiHead.first_frame, audiHead.frames, expectedFirst) || head.first_frame != expectedFirst) {
                return fail(ErrorCode::GeometryMismatch, "measurement tail geometry mismatch");
            }
        } else {
            audiHead = head;
        }
        out.sampleRate = head.sample_rate;

        const uint64_t cap = uint64_t{head.sample_rate} * kBrowseSeconds;
        if (out.samples.size() >= cap) break;

        // The wanted region in whole-sample frames, clipped to this part. A
        // part end past 2^64 cannot hold a region end, so it saturates.
        uint64_t partEnd = std::numeric_limits<uint64_t>::max();
        addFits(head.first_frame, head.frames, partEnd);
        const uint64_t start = row.playback_start.value_or(0);
        const uint64_t end = row.playback_end ? *row.playback_end : row.frames.value_or(partEnd);
        const uint64_t from = std::max(start, head.first_frame);
        const uint64_t to = std::min(end, partEnd);
        if (from >= to) continue;

        const uint64_t n = std::min<uint64_t>(to - from, cap - out.samples.size());
        const uint64_t offset = from - head.first_frame;
        const uint64_t frameWidth = uint64_t{head.channels} * (head.bits / 8);

        if (head.codec == kCodecRawPcm) {
            pcm.resize(n * frameWidth);
            ZEM_TRY_ASSIGN(const uint32_t read,
                           Zem6File::readPayloadRange(view, kPcmaHeadBytes + offset * frameWidth, pcm));
            if (read < pcm.size()) return fail(ErrorCode::ChunkTruncated, "measurement PCM prefix truncated");
        } else {
            Source source(view);
            FlacStreamCursor cursor;
            ZEM_TRY(cursor.open(&source, head));
            ZEM_TRY_ASSIGN(const uint32_t delivered, cursor.read(offset, static_cast<uint32_t>(n), pcm));
            if (delivered < n) return fail(ErrorCode::ChunkTruncated, "measurement FLAC prefix truncated");
        }

        const uint64_t count = n * head.channels;
        values.resize(count);
        pcmToFloat(pcm.data(), pcm.size(), head.bits, count, values.data());
        if (head.bits == 16) {
            // The analysis measures 16-bit audio on the integer / 32768 scale.
            for (float& v : values) v = static_cast<float>(std::round(v * 32767.0f) * (1.0 / 32768.0));
        }
        if (head.channels == 1) {
            out.samples.insert(out.samples.end(), values.begin(), values.end());
        } else {
            out.samples.reserve(out.samples.size() + n);
            for (uint64_t f = 0; f < n; ++f) out.samples.push_back((values[2 * f] + values[2 * f + 1]) * 0.5f);
        }
    }
    return out;
}

Result<Pa6> browseAudioForIndex(const Zem6File* file, size_t index) {
    if (file == nullptr || index >= file->model.samples.size()) return Pa6{};
    Result<BrowseSampleAudio> audio = readBrowseSample(*file, file->model.samples[index]);
    if (!audio.ok()) return Pa6{};
    return Pa6(std::move(audio->samples), audio->sampleRate);
}

Fn browseAudioFn(const Zem6File* file) {
    return [file](size_t index) { return browseAudioForIndex(file, index); };
}

} // namespace vt6::fmt
