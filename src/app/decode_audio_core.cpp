#include "app/decode_audio_core.hpp"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "analysis/hit_level_measure.hpp"
#include "editor/ui/user_messages.hpp"
#include "platform/file.hpp"

namespace vt6::maker {

namespace {

using fmt::ErrorCode;

void setKind(int* kind, int value) {
    if (kind != nullptr) *kind = value;
}

fmt::ErrorInfo refuse(int* kind, int value, ErrorCode code, const char* message) {
    setKind(kind, value);
    return fmt::fail(code, message);
}

constexpr const char* kUnsupportedLayout = "Use a nonempty mono or stereo audio sample at 8\xE2\x80\x93" "384 kHz.";
constexpr const char* kUnreadable = "Unsupported or unreadable audio format";
constexpr const char* kCutShort = "The file holds less audio than its header declares.";

// Random access to the bytes of one file, whichever way they are held.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual int64_t size() const = 0;
    // Reads up to `count` bytes at `offset`; fewer at the end, -1 on error.
    virtual int64_t readAt(void* dst, int64_t count, int64_t offset) = 0;
};

class MemoryBytes final : public ByteSource {
public:
    MemoryBytes(const uint8_t* data, size_t size) : data_(data), size_(static_cast<int64_t>(size)) {}
    int64_t size() const override { return size_; }
    int64_t readAt(void* dst, int64_t count, int64_t offset) override {
        if (offset < 0 || count < 0) return -1;
        if (offset >= size_) return 0;
        const int64_t n = std::min(count, size_ - offset);
        std::memcpy(dst, data_ + offset, static_cast<size_t>(n));
        return n;
    }

private:
    const uint8_t* data_;
    int64_t size_;
};

class FileBytes final : public ByteSource {
public:
    FileBytes(int fd, int64_t size) : fd_(fd), size_(size) {}
    int64_t size() const override { return size_; }
    int64_t readAt(void* dst, int64_t count, int64_t offset) override {
        if (offset < 0 || count < 0) return -1;
        const auto r = platform::readAt(fd_, dst, static_cast<size_t>(count), static_cast<uint64_t>(offset));
        if (r.status == platform::ReadStatus::Error) return -1;
        return static_cast<int64_t>(r.bytesRead);
    }

private:
    int fd_;
    int64_t size_;
};

// The stream position libsndfile's virtual I/O works with.
struct VirtualFile {
    ByteSource* bytes = nullptr;
    int64_t position = 0;
    bool failed = false;  // the system refused a read: not the file's fault
};

sf_count_t vioLength(void* user) { return static_cast<VirtualFile*>(user)->bytes->size(); }

sf_count_t vioSeek(sf_count_t offset, int whence, void* user) {
    auto* f = static_cast<VirtualFile*>(user);
    int64_t base = 0;
    if (whence == SEEK_CUR) base = f->position;
    else if (whence == SEEK_END) base = f->bytes->size();
    else if (whence != SEEK_SET) return -1;
    // A header may ask for any offset: the sum is checked, not trusted.
    int64_t target = 0;
    if (__builtin_add_overflow(base, static_cast<int64_t>(offset), &target) || target < 0) return -1;
    f->position = target;
    return target;
}

sf_count_t vioRead(void* dst, sf_count_t count, void* user) {
    auto* f = static_cast<VirtualFile*>(user);
    const int64_t n = f->bytes->readAt(dst, static_cast<int64_t>(count), f->position);
    if (n < 0) f->failed = true;
    if (n <= 0) return 0;
    f->position += n;
    return n;
}

sf_count_t vioWrite(const void*, sf_count_t, void*) { return 0; }

sf_count_t vioTell(void* user) { return static_cast<VirtualFile*>(user)->position; }

uint32_t le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t le64(const uint8_t* p) { return le32(p) | static_cast<uint64_t>(le32(p + 4)) << 32; }

uint32_t be32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

// Chunk heads a walk looks at before it gives up and leaves the length to
// the reader's own bound.
constexpr int kMaxChunkSteps = 1 << 16;

// The containers an import reads, told apart by their first bytes alone.
enum class Container { Unknown, Riff, Rf64, Wave64, Aiff, Flac, Ogg, Mpeg };

Container sniff(ByteSource& bytes) {
    uint8_t head[16] = {};
    const int64_t n = bytes.readAt(head, sizeof head, 0);
    if (n < 4) return Container::Unknown;
    const auto is = [&](const char* magic, int at = 0) {
        const auto len = static_cast<int64_t>(std::strlen(magic));
        return at + len <= n && std::memcmp(head + at, magic, static_cast<size_t>(len)) == 0;
    };
    if ((is("RIFF") || is("RIFX")) && is("WAVE", 8)) return Container::Riff;
    if (is("RF64") && is("WAVE", 8)) return Container::Rf64;
    if (is("riff") && n >= 16) return Container::Wave64;
    if (is("FORM") && (is("AIFF", 8) || is("AIFC", 8))) return Container::Aiff;
    if (is("fLaC")) return Container::Flac;
    if (is("OggS")) return Container::Ogg;
    if (is("ID3")) return Container::Mpeg;
    // An MPEG audio frame: eleven sync bits, a valid layer and bit-rate index.
    if (head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 && (head[1] & 0x06) != 0 && (head[2] & 0xF0) != 0xF0)
        return Container::Mpeg;
    return Container::Unknown;
}

// Whether libsndfile's reading of the file is one this import accepts.
bool acceptedFormat(Container container, int format) {
    const int major = format & SF_FORMAT_TYPEMASK;
    const int minor = format & SF_FORMAT_SUBMASK;
    switch (container) {
        case Container::Riff: return major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX;
        case Container::Rf64: return major == SF_FORMAT_RF64;
        case Container::Wave64: return major == SF_FORMAT_W64;
        case Container::Aiff: return major == SF_FORMAT_AIFF;
        case Container::Flac: return major == SF_FORMAT_FLAC;
        case Container::Ogg: return major == SF_FORMAT_OGG && minor == SF_FORMAT_VORBIS;
        case Container::Mpeg: return major == SF_FORMAT_MPEG;
        case Container::Unknown: return false;
    }
    return false;
}

// Bytes per sample of the plain encodings, whose length follows from the
// size of the data chunk; 0 for the coded ones. Only the chunk containers
// store plain samples: libsndfile names FLAC's output PCM_16 or PCM_24 too,
// but a FLAC's bytes do not bound its length.
int plainSampleBytes(Container container, int format) {
    switch (container) {
        case Container::Riff:
        case Container::Rf64:
        case Container::Wave64:
        case Container::Aiff: break;
        default: return 0;
    }
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_ULAW:
        case SF_FORMAT_ALAW: return 1;
        case SF_FORMAT_PCM_16: return 2;
        case SF_FORMAT_PCM_24: return 3;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT: return 4;
        case SF_FORMAT_DOUBLE: return 8;
        default: return 0;
    }
}

// The declared size of a chunk libsndfile recorded while parsing; -1 when
// there is none or the value means "unknown" (0 or all ones, as streaming
// writers leave it).
int64_t recordedChunkSize(SNDFILE* file, const char* id) {
    SF_CHUNK_INFO wanted{};
    std::strncpy(wanted.id, id, sizeof wanted.id - 1);
    wanted.id_size = static_cast<unsigned>(std::strlen(id));
    SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(file, &wanted);
    if (it == nullptr) return -1;
    SF_CHUNK_INFO found{};
    if (sf_get_chunk_size(it, &found) != SF_ERR_NO_ERROR) return -1;
    if (found.datalen == 0 || found.datalen == 0xFFFFFFFFu) return -1;
    return static_cast<int64_t>(found.datalen);
}

// RF64 keeps the real data size in its ds64 chunk, which must come first.
int64_t rf64DataSize(ByteSource& bytes) {
    uint8_t ds64[24] = {};
    if (bytes.readAt(ds64, sizeof ds64, 12) != static_cast<int64_t>(sizeof ds64)) return -1;
    if (std::memcmp(ds64, "ds64", 4) != 0) return -1;
    const uint64_t size = le64(ds64 + 16);
    if (size == 0 || size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return -1;
    return static_cast<int64_t>(size);
}

// Wave64 chunks: a 16-byte id (the data chunk's starts with "data") and a
// 64-bit size that counts the 24-byte chunk head, 8-byte aligned. The walk
// moves forward at every step and stops at the end of the bytes.
int64_t wave64DataSize(ByteSource& bytes) {
    int64_t at = 40;
    for (int steps = 0; steps < kMaxChunkSteps && at + 24 <= bytes.size(); ++steps) {
        uint8_t head[24] = {};
        if (bytes.readAt(head, sizeof head, at) != static_cast<int64_t>(sizeof head)) return -1;
        const uint64_t size = le64(head + 16);
        if (size < 24 || size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max() / 2)) return -1;
        if (std::memcmp(head, "data", 4) == 0) return static_cast<int64_t>(size - 24);
        const int64_t next = at + static_cast<int64_t>((size + 7) & ~uint64_t{7});
        if (next <= at) return -1;
        at = next;
    }
    return -1;
}

// AIFF chunks: a 4-byte id and a big-endian size, padded to even. The sound
// chunk's audio follows its 8 bytes of offset and block size, after `offset`
// bytes more.
int64_t aiffSoundSize(ByteSource& bytes) {
    int64_t at = 12;
    for (int steps = 0; steps < kMaxChunkSteps && at + 8 <= bytes.size(); ++steps) {
        uint8_t head[16] = {};
        const int64_t n = bytes.readAt(head, sizeof head, at);
        if (n < 8) return -1;
        const int64_t size = be32(head + 4);
        if (std::memcmp(head, "SSND", 4) == 0) {
            if (n < 16 || size == 0 || size == 0xFFFFFFFF) return -1;
            const int64_t offset = be32(head + 8);
            return size >= 8 + offset ? size - 8 - offset : -1;
        }
        at += 8 + size + (size & 1);
    }
    return -1;
}

// Data bytes the container's header declares; -1 when not known.
int64_t declaredDataBytes(Container container, SNDFILE* file, ByteSource& bytes) {
    switch (container) {
        case Container::Riff: return recordedChunkSize(file, "data");
        case Container::Rf64: return rf64DataSize(bytes);
        case Container::Wave64: return wave64DataSize(bytes);
        case Container::Aiff: return aiffSoundSize(bytes);
        default: return -1;
    }
}

class SndfileSource final : public AudioFrameSource {
public:
    SndfileSource(SNDFILE* file, const VirtualFile& io, const SF_INFO& info, int64_t declared, bool fixedSize,
                  bool exact)
        : file_(file), io_(io), info_(info), declared_(declared), fixedSize_(fixedSize), exact_(exact) {}
    ~SndfileSource() override { sf_close(file_); }
    SndfileSource(const SndfileSource&) = delete;
    SndfileSource& operator=(const SndfileSource&) = delete;

    int channels() const override { return info_.channels; }
    double sampleRate() const override { return static_cast<double>(info_.samplerate); }
    int64_t declaredFrames() const override { return std::max<int64_t>(declared_, info_.frames); }
    // libsndfile bounds the length of plain data by the bytes present.
    int64_t presentFrames() const override { return info_.frames; }
    bool fixedFrameSize() const override { return fixedSize_; }
    bool exactLength() const override { return exact_; }
    int64_t read(float* out, int64_t frames) override {
        const sf_count_t n = sf_readf_float(file_, out, frames);
        if (io_.failed) return -1;
        return n < 0 ? 0 : static_cast<int64_t>(n);
    }

private:
    SNDFILE* file_;
    const VirtualFile& io_;
    SF_INFO info_;
    int64_t declared_;
    bool fixedSize_;
    bool exact_;
};

fmt::Result<ImportedSample> decodeBytes(ByteSource& bytes, std::string name, std::string path,
                                        const std::function<bool()>& cancelled, int* kind,
                                        const DecodeAdmission& admit) {
    const Container container = sniff(bytes);
    if (container == Container::Unknown)
        return refuse(kind, kImportUndecodable, ErrorCode::ModelInvalid, kUnreadable);

    VirtualFile vf{&bytes, 0};
    SF_VIRTUAL_IO io{vioLength, vioSeek, vioRead, vioWrite, vioTell};
    SF_INFO info{};
    SNDFILE* file = sf_open_virtual(&io, SFM_READ, &info, &vf);
    if (file == nullptr) return refuse(kind, kImportUndecodable, ErrorCode::ModelInvalid, kUnreadable);
    if (!acceptedFormat(container, info.format)) {
        sf_close(file);
        return refuse(kind, kImportUndecodable, ErrorCode::ModelInvalid, kUnreadable);
    }

    const int sampleBytes = plainSampleBytes(container, info.format);
    int64_t declared = -1;
    if (sampleBytes > 0 && info.channels > 0) {
        const int64_t dataBytes = declaredDataBytes(container, file, bytes);
        if (dataBytes >= 0) declared = dataBytes / (static_cast<int64_t>(sampleBytes) * info.channels);
    }
    SndfileSource source(file, vf, info, declared, sampleBytes > 0, container != Container::Mpeg);
    return decodeAudioFrames(source, std::move(name), std::move(path), cancelled, kind, admit);
}

}  // namespace

fmt::Result<ImportedSample> decodeAudioFrames(AudioFrameSource& source, std::string name, std::string path,
                                              const std::function<bool()>& cancelled, int* kind,
                                              const DecodeAdmission& admit) {
    const int64_t channels = source.channels();
    const int64_t frames = source.declaredFrames();
    if (channels < 1 || channels > 2 || frames < 1)
        return refuse(kind, kImportUnsupported, ErrorCode::ModelInvalid, "Use mono or stereo samples");
    if (frames > kMaxImportValues / channels)
        return refuse(kind, kImportTooLong, ErrorCode::ModelInvalid, "Sample exceeds the 256 MB decoded-audio limit");
    // Checked as a double: converting first would wrap a huge rate into range
    // and make a not-a-number rate undefined.
    const double rate = source.sampleRate();
    if (!std::isfinite(rate) || rate < kMinImportRate || rate > kMaxImportRate)
        return refuse(kind, kImportUnsupported, ErrorCode::ModelInvalid, kUnsupportedLayout);
    // A header that promises more than the bytes hold: refused before any
    // memory is spent on audio that is not there.
    if (source.presentFrames() < frames) return refuse(kind, kImportDamaged, ErrorCode::ModelInvalid, kCutShort);
    const auto c = static_cast<size_t>(channels);
    const size_t declaredValues = static_cast<size_t>(frames) * c;
    if (admit && !admit(static_cast<int64_t>(declaredValues)))
        return refuse(kind, kImportNoRoom, ErrorCode::ModelInvalid, "No room left in this import for the file's audio");

    ImportedSample sample;
    int64_t done = 0;
    try {
        // Plain data is known to be present and is reserved once. Coded data
        // grows with what really decodes (doubling, never past the declared
        // length), so a small file that declares a long stream costs only
        // what it yields.
        if (source.fixedFrameSize()) sample.samples.reserve(declaredValues);
        std::vector<float> block(static_cast<size_t>(kDecodeBlockFrames) * c);
        while (done < frames) {
            if (cancelled && cancelled()) return fmt::fail(ErrorCode::ModelInvalid, "Import canceled.");
            const int64_t want = std::min(kDecodeBlockFrames, frames - done);
            const int64_t read = source.read(block.data(), want);
            if (read < 0) return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio decoding failed");
            const int64_t got = std::min(read, want);
            const size_t gotValues = static_cast<size_t>(got) * c;
            const size_t needed = sample.samples.size() + gotValues;
            if (needed > sample.samples.capacity())
                sample.samples.reserve(std::min(std::max(needed, 2 * sample.samples.capacity()), declaredValues));
            sample.samples.insert(sample.samples.end(), block.begin(),
                                  block.begin() + static_cast<std::ptrdiff_t>(gotValues));
            done += got;
            if (got < want) break;
        }
    } catch (const std::bad_alloc&) {
        return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio decoding failed");
    }
    if (done < frames && source.exactLength()) return refuse(kind, kImportDamaged, ErrorCode::ModelInvalid, kCutShort);
    if (done < 1) return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio decoding failed");

    sample.samples.shrink_to_fit();
    sample.name = std::move(name);
    sample.path = std::move(path);
    sample.channels = static_cast<int>(channels);
    sample.sampleRate = static_cast<int>(std::lround(rate));  // halves away from zero
    return sample;
}

fmt::Result<ImportedSample> decodeAudioPath(const std::string& path, std::string name,
                                            const std::function<bool()>& cancelled, int* kind,
                                            const DecodeAdmission& admit) {
    platform::FileGuard fd(platform::openFileUtf8(path));
    if (fd.fd() < 0) return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio file cannot be opened");
    const auto size = platform::fileSize(fd.fd());
    if (!size || *size > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
        return refuse(kind, kImportUndecodable, ErrorCode::ReadIo, "Audio file cannot be opened");
    FileBytes bytes(fd.fd(), static_cast<int64_t>(*size));
    return decodeBytes(bytes, std::move(name), path, cancelled, kind, admit);
}

fmt::Result<ImportedSample> decodeAudioBytes(const uint8_t* data, size_t size,
                                             const std::function<bool()>& cancelled, int* kind) {
    MemoryBytes bytes(data, data == nullptr ? 0 : size);
    return decodeBytes(bytes, "", "", cancelled, kind, {});
}

fmt::Result<ImportedSample> importAudioFile(ImportedSample sample, const ImportTrimSettings& trim,
                                            const std::function<bool()>& cancelled, int* kind) {
    const size_t values = sample.samples.size();
    if (sample.channels < 1 || sample.channels > 2 || sample.sampleRate < 8000 || sample.sampleRate > 384000 ||
        values == 0 || values % static_cast<size_t>(sample.channels) != 0)
        return refuse(kind, kImportUnsupported, ErrorCode::ModelInvalid, kUnsupportedLayout);

    double peak = 0.0;
    double sumSquares = 0.0;
    for (const float v : sample.samples) {
        if (!std::isfinite(v))
            return refuse(kind, kImportDamaged, ErrorCode::ModelInvalid, "The sample contains invalid audio values.");
        const double d = v;
        peak = std::max(peak, std::abs(d));
        sumSquares += d * d;
    }
    if (peak < 1e-9) return refuse(kind, kImportSilent, ErrorCode::ModelInvalid, "The file is silent.");

    const int64_t frames = static_cast<int64_t>(values / static_cast<size_t>(sample.channels));
    sample.trimStart = 0;
    sample.trimEnd = frames;
    if (trim.trimSilence) {
        const fmt::InterleavedAudioView view{sample.samples.data(), frames, sample.channels, sample.sampleRate};
        const auto region = findImportTrimRegion(view, static_cast<double>(trim.startThresholdDb),
                                                 static_cast<double>(trim.endThresholdDb), 10.0);
        sample.trimStart = region.first;
        sample.trimEnd = region.second;
    }
    sample.rms = std::sqrt(sumSquares / static_cast<double>(values));
    sample.peak = peak;
    sample.hitLevel = fmt::measureHitLevel(sample.samples, static_cast<uint32_t>(sample.channels),
                                           static_cast<double>(sample.sampleRate),
                                           static_cast<uint64_t>(sample.trimStart),
                                           static_cast<uint64_t>(sample.trimEnd), cancelled);
    if (sample.hitLevel.cancelled) return fmt::fail(ErrorCode::ModelInvalid, "Import canceled.");
    return sample;
}

std::pair<int64_t, int64_t> findImportTrimRegion(fmt::InterleavedAudioView audio, double startDb, double endDb,
                                                 double tailMs) {
    const int64_t frames = std::max<int64_t>(audio.frames, 0);
    if (audio.samples == nullptr || audio.channels < 1 || frames == 0) return {0, frames};
    const auto channels = static_cast<int64_t>(audio.channels);
    const float startThreshold = static_cast<float>(std::pow(10.0, startDb / 20.0));
    const float endThreshold = static_cast<float>(std::pow(10.0, endDb / 20.0));
    const auto reaches = [&](int64_t frame, float threshold) {
        const float* f = audio.samples + frame * channels;
        for (int64_t k = 0; k < channels; ++k)
            if (std::abs(f[k]) >= threshold) return true;
        return false;
    };

    int64_t start = 0;
    while (start < frames && !reaches(start, startThreshold)) ++start;
    if (start == frames) return {0, frames};

    int64_t d = frames;
    while (d > start + 1 && !reaches(d - 1, endThreshold)) --d;
    const auto tail = static_cast<int64_t>(std::llround(static_cast<double>(audio.sampleRate) * (tailMs * 0.001)));
    int64_t end = std::min(d + tail, frames);
    if (end <= start) end = std::min(start + 1, frames);
    return {start, end};
}

int importReferenceNumber(int kind) {
    switch (kind) {
        case kImportUndecodable: return kRefImportUndecodable;
        case kImportUnsupported: return kRefImportUnsupportedFormat;
        case kImportTooLong: return kRefImportTooLong;
        case kImportDamaged: return kRefImportDamaged;
        case kImportSilent: return kRefImportSilent;
        default: return 0;
    }
}

}  // namespace vt6::maker
