#include "audio/legacy/legacy_reader.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "audio/codec.hpp"
#include "format/bytes.hpp"
#include "platform/cpu.hpp"
#include "platform/file.hpp"

namespace vt6::zem {

namespace {

using std::to_string;

const std::string kDash = "\u2014";
const char* const kOutOfMemory = "the machine could not find the memory to read this zem's audio";

using platform::FileGuard;

// Little-endian fields of the in-memory header. Every offset the layouts name
// lies inside the header of its version; anything else reads as 0.
class Header {
public:
    explicit Header(std::span<const uint8_t> bytes) noexcept : b_(bytes) {}
    std::span<const uint8_t> bytes() const noexcept { return b_; }

    uint8_t u8(size_t off) const noexcept { return fits(off, 1) ? b_[off] : 0; }
    int32_t i8(size_t off) const noexcept { return static_cast<int8_t>(u8(off)); }
    int32_t i16(size_t off) const noexcept {
        return fits(off, 2) ? static_cast<int16_t>(fmt::loadLe16(b_.data() + off)) : 0;
    }
    uint32_t u32(size_t off) const noexcept { return fits(off, 4) ? fmt::loadLe32(b_.data() + off) : 0; }
    int32_t i32(size_t off) const noexcept { return static_cast<int32_t>(u32(off)); }
    float f32(size_t off) const noexcept {
        const uint32_t bits = u32(off);
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    double f64(size_t off) const noexcept {
        const uint64_t bits = fits(off, 8) ? fmt::loadLe64(b_.data() + off) : 0;
        double v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }
    // int16 scaled by 2^-15.
    float level(size_t off) const noexcept { return static_cast<float>(i16(off)) * (1.0f / 32768.0f); }

private:
    bool fits(size_t off, size_t width) const noexcept { return off <= b_.size() && width <= b_.size() - off; }
    std::span<const uint8_t> b_;
};

enum class Layout { Small, Main, Props };

std::string sampleText(size_t index) { return "sample " + to_string(index + 1) + ": "; }

std::string printableMagic(const uint8_t* magic) {
    std::string text;
    for (size_t i = 0; i < kLegacyMagicBytes; ++i)
        text.push_back(magic[i] >= 0x20 && magic[i] <= 0x7E ? static_cast<char>(magic[i]) : '?');
    return text;
}

void reserveAll(LegacyFile& f, size_t n) {
    f.sampleNumber.reserve(n);
    f.sampleMeta.reserve(n);
    f.dynamicPart.reserve(n);
    f.articulation.reserve(n);
    f.take.reserve(n);
    f.derivedTake.reserve(n);
    f.length.reserve(n);
    f.sampleRate.reserve(n);
    f.bits.reserve(n);
    f.stereo.reserve(n);
    f.carriedFlag.reserve(n);
    f.excluded.reserve(n);
    f.useAltLevel.reserve(n);
    f.hand.reserve(n);
    f.room.reserve(n);
    f.roomBytes.reserve(n);
    f.roomLookup.reserve(n);
    f.headerImpulse.reserve(n);
    f.altLevel.reserve(n);
    f.nativePeak.reserve(n);
    f.payloadOffset.reserve(n);
    f.decodedBytes.reserve(n);
    f.codec.reserve(n);
    f.payloadCrc.reserve(n);
    f.payloadBytes.reserve(n);
    f.sampleNames.reserve(n);
}

// Sample table of the small layout (3.0, 3.1).
void readSmallSamples(const Header& h, const LegacySmallOffsets& o, LegacyFile& f) {
    for (size_t i = 0; i < static_cast<size_t>(f.sampleCount); ++i) {
        f.sampleNames.push_back(readLengthPrefixedText(h.bytes(), o.sampleNames + kLegacyTextSlotBytes * i));
        f.length.push_back(h.i32(o.length + 4 * i));
        f.headerImpulse.push_back(h.level(o.headerImpulse + 2 * i));
        f.altLevel.push_back(h.level(o.altLevel + 2 * i));
        f.stereo.push_back(h.u8(o.stereo + i));
        f.articulation.push_back(o.articulation < 0 ? 1 : h.i8(static_cast<size_t>(o.articulation) + i));
        f.bits.push_back(h.u8(o.bits + i));
        f.useAltLevel.push_back(h.u8(o.useAltLevel + i));
        f.sampleRate.push_back(h.i32(o.sampleRate + 4 * i));
        f.carriedFlag.push_back(o.carriedFlag < 0 ? 0 : h.u8(static_cast<size_t>(o.carriedFlag) + i));
        f.excluded.push_back(o.excluded < 0 ? 0 : h.u8(static_cast<size_t>(o.excluded) + i));
        f.dynamicPart.push_back(0);
        f.hand.push_back(0);
        f.room.push_back(0);
        f.roomBytes.push_back({0, 0, 0});
        f.roomLookup.push_back({0, 0, 0});
    }
}

// Sample table at the main-layout offsets, for the main and props layouts.
void readMainSamples(const Header& h, const LegacyVersionLayout& version, Layout layout, LegacyFile& f) {
    namespace m = legacy_main;
    const bool props = layout == Layout::Props;
    const bool rooms = !props && version.rooms != LegacyRoomTables::None;
    const LegacyRoomOffsets& ro = version.rooms == LegacyRoomTables::Narrow ? kLegacyRoomsNarrow : kLegacyRoomsWide;
    for (size_t i = 0; i < static_cast<size_t>(f.sampleCount); ++i) {
        f.sampleNames.push_back(readLengthPrefixedText(h.bytes(), m::kSampleNames + kLegacyTextSlotBytes * i));
        f.length.push_back(h.i32(m::kLength + 4 * i));
        f.headerImpulse.push_back(h.level(m::kHeaderImpulse + 2 * i));
        int32_t art = h.i8(m::kArticulation + i);
        if (props) art = std::clamp(art, 1, kLegacyArticulations);
        f.articulation.push_back(art);
        f.sampleRate.push_back(h.i32(m::kSampleRate + 4 * i));
        f.carriedFlag.push_back(h.u8(m::kCarriedFlag + i));
        f.excluded.push_back(h.u8(m::kExcluded + i));
        f.stereo.push_back(h.u8(m::kStereo + i));
        f.bits.push_back(h.u8(m::kBits + i));
        if (props) {
            f.altLevel.push_back(h.level(legacy_v4::kAltLevel + 2 * i));
            f.useAltLevel.push_back(h.u8(legacy_v4::kUseAltLevel + i));
            f.dynamicPart.push_back(0);
            f.hand.push_back(0);
        } else {
            f.altLevel.push_back(f.headerImpulse.back());
            f.useAltLevel.push_back(0);
            f.dynamicPart.push_back(h.i16(m::kDynamicPart + 2 * i));
            f.hand.push_back(h.u8(m::kHand + i));
        }
        if (rooms) {
            f.room.push_back(h.u8(m::kRoom + i));
            f.roomBytes.push_back({h.u8(m::kRoomBytes + 3 * i), h.u8(m::kRoomBytes + 3 * i + 1),
                                   h.u8(m::kRoomBytes + 3 * i + 2)});
            std::array<int32_t, 3> lookup{};
            for (size_t k = 0; k < 3; ++k) {
                const size_t off = m::kRoomLookup + ro.lookupStride * i + ro.lookupWidth * k;
                lookup[k] = ro.lookupWidth == 1 ? h.i8(off) : h.i32(off);
            }
            f.roomLookup.push_back(lookup);
        } else {
            f.room.push_back(0);
            f.roomBytes.push_back({0, 0, 0});
            f.roomLookup.push_back({0, 0, 0});
        }
    }
}

// Checks of step "sample laws"; empty when every sample passes.
std::string checkSampleLaws(const LegacyFile& f) {
    uint64_t total = 0;
    for (size_t i = 0; i < static_cast<size_t>(f.sampleCount); ++i) {
        const int32_t bits = f.bits[i];
        const int32_t length = f.length[i];
        const int32_t rate = f.sampleRate[i];
        if (bits != 16 && bits != 24 && bits != 32)
            return sampleText(i) + "bits=" + to_string(bits) + " (only 16/24/32 exist in the legacy format)";
        if (length < 0) return sampleText(i) + "negative length " + to_string(length);
        if (length > kMaxPayloadFrames)
            return sampleText(i) + "length " + to_string(length) + " exceeds the " + to_string(kMaxPayloadFrames) +
                   "-value limit no legacy loader would allocate for";
        if (rate < 1) return sampleText(i) + "sampling_rate=" + to_string(rate);
        if (rate > kLegacyMaxSampleRate)
            return sampleText(i) + "sampling_rate=" + to_string(rate) + " above the " +
                   to_string(kLegacyMaxSampleRate) + " Hz limit";
        total += static_cast<uint64_t>(length) * static_cast<uint64_t>(bits / 8);
    }
    if (total > kLegacyDecodeBudgetBytes)
        return "total decoded bytes " + to_string(total) + " exceed the 2 GiB budget (what a legacy container could "
               "physically hold " + kDash + " hostile-file law)";
    return {};
}

std::string checkV4Laws(const LegacyFile& f) {
    for (size_t i = 0; i < static_cast<size_t>(f.sampleCount); ++i) {
        const int32_t length = f.length[i];
        const int32_t channels = f.stereo[i] != 0 ? 2 : 1;
        const uint64_t raw = static_cast<uint64_t>(std::max(length, 0)) * static_cast<uint64_t>(f.bits[i] / 8);
        const uint64_t stored = f.payloadBytes[i];
        if (length < 1)
            return sampleText(i) + "v4 length=" + to_string(length) +
                   " (a v4 sample must declare at least one value)";
        if (f.stereo[i] > 1)
            return sampleText(i) + "v4 stereo flag=" + to_string(f.stereo[i]) + " (only 0/1 are legal)";
        if (f.sampleRate[i] < kV4MinSampleRate)
            return sampleText(i) + "v4 sampling_rate=" + to_string(f.sampleRate[i]) + " below " +
                   to_string(kV4MinSampleRate);
        if (length % channels != 0)
            return sampleText(i) + "v4 length " + to_string(length) + " is not a multiple of " +
                   to_string(channels) + " channels (length counts interleaved values)";
        switch (f.codec[i]) {
        case 0:
            if (stored != raw)
                return sampleText(i) + "v4 codec-0 payload_bytes=" + to_string(stored) + " != raw byte count " +
                       to_string(raw);
            break;
        case 1:
            if (f.bits[i] == 32)
                return sampleText(i) + "v4 codec-1 (FLAC) with 32-bit float " + kDash +
                       " FLAC is integer-only; 32-bit stays codec 0";
            if (stored == 0 || stored > raw + kV4FlacSlackBytes)
                return sampleText(i) + "v4 codec-1 payload_bytes=" + to_string(stored) + " outside 1.." +
                       to_string(raw + kV4FlacSlackBytes) + " (blob materially larger than raw = corrupt)";
            break;
        default:
            return sampleText(i) + "v4 codec=" + to_string(f.codec[i]) + " (only 0=raw and 1=FLAC exist)";
        }
    }
    return {};
}

// Peak accumulation over complete values, shared by the streamed and the
// in-memory measurement.
class PeakMeter {
public:
    explicit PeakMeter(int32_t bits) noexcept : bits_(bits) {}

    static size_t width(int32_t bits) noexcept {
        return (bits == 16 || bits == 24 || bits == 32) ? static_cast<size_t>(bits / 8) : 0;
    }

    // Folds the complete values of `size` bytes; returns the bytes used.
    size_t feed(const uint8_t* p, size_t size) noexcept {
        const size_t w = width(bits_);
        if (w == 0) return size;
        const size_t count = size / w;
        any_ = any_ || count > 0;
        switch (bits_) {
        case 16:
            for (size_t k = 0; k < count; ++k) {
                const int32_t v = static_cast<int16_t>(fmt::loadLe16(p + 2 * k));
                intPeak_ = std::max<uint64_t>(intPeak_, static_cast<uint64_t>(v < 0 ? -v : v));
            }
            break;
        case 24:
            for (size_t k = 0; k < count; ++k) {
                const uint8_t* q = p + 3 * k;
                // The three bytes fill the top of a 32-bit word; its magnitude
                // is taken in 64 bits, where 0x800000 gives 2^31.
                const auto word = static_cast<int32_t>((static_cast<uint32_t>(q[0]) << 8) |
                                                       (static_cast<uint32_t>(q[1]) << 16) |
                                                       (static_cast<uint32_t>(q[2]) << 24));
                const int64_t v = word;
                intPeak_ = std::max<uint64_t>(intPeak_, static_cast<uint64_t>(v < 0 ? -v : v));
            }
            break;
        default:
            for (size_t k = 0; k < count; ++k) {
                float v;
                std::memcpy(&v, p + 4 * k, sizeof v);
                if (!std::isnan(v)) floatPeak_ = std::max(floatPeak_, std::fabs(v));
            }
            break;
        }
        return count * w;
    }

    float result() const noexcept {
        if (!any_) return 0.0f;
        switch (bits_) {
        case 16: return static_cast<float>(static_cast<double>(intPeak_) / 32767.0);
        case 24: return static_cast<float>(std::ldexp(static_cast<double>(intPeak_), -31));
        case 32: return floatPeak_;
        default: return 0.0f;
        }
    }

private:
    int32_t bits_;
    bool any_ = false;
    uint64_t intPeak_ = 0;
    float floatPeak_ = 0.0f;
};

// Decode pool shared by the threads of one read.
struct DecodePool {
    std::atomic<int32_t> next{0};
    int32_t sampleCount = 0;
    LegacyFile& file;
    std::mutex mutex;
    std::string firstError;
    const LegacySource& source;
    const Zem4BlobDecoder* decoder = nullptr;

    DecodePool(LegacyFile& f, const LegacySource& src, const Zem4BlobDecoder* dec)
        : sampleCount(f.sampleCount), file(f), source(src), decoder(dec) {}

    void storeError(std::string message) {
        const std::lock_guard<std::mutex> lock(mutex);
        if (firstError.empty()) firstError = std::move(message);
    }
    bool failed() {
        const std::lock_guard<std::mutex> lock(mutex);
        return !firstError.empty();
    }
};

// Measures one FLAC sample; the message of its failure, else empty.
std::string decodeOneV4Payload(DecodePool& pool, size_t i) {
    LegacyFile& f = pool.file;
    const std::string sample = "sample " + to_string(i + 1) + ": ";
    // The region laws put every stored payload inside a file of at most
    // 2^31 - 1 bytes, so this buffer is bounded by the file itself.
    std::vector<uint8_t> stored(static_cast<size_t>(f.payloadBytes[i]));
    const platform::ReadOutcome got = pool.source.readAt(stored.data(), stored.size(), f.payloadOffset[i]);
    if (got.status != platform::ReadStatus::Filled) return sample + "I/O error reading v4 FLAC payload";

    Zem4Blob blob;
    blob.bytes = stored;
    blob.bits = f.bits[i];
    blob.channels = f.stereo[i] != 0 ? 2 : 1;
    blob.sampleRate = f.sampleRate[i];
    blob.length = f.length[i];
    blob.storedCrc = f.payloadCrc[i];
    blob.sampleNumber = static_cast<int32_t>(i + 1);
    const Zem4DecodeOut out = (*pool.decoder)(blob);
    if (!out.error.empty()) return sample + "v4 payload decode failed: " + out.error;
    if (out.pcm.size() != f.decodedBytes[i])
        return sample + "v4 decode produced " + to_string(out.pcm.size()) + " bytes, expected " +
               to_string(f.decodedBytes[i]);
    f.nativePeak[i] = pcmPeak(out.pcm, f.bits[i]);
    return {};
}

void decodeV4Payloads(DecodePool& pool) {
    for (;;) {
        const int32_t i = pool.next.fetch_add(1);
        if (i >= pool.sampleCount) return;
        if (pool.file.codec[static_cast<size_t>(i)] != 1) continue;
        if (pool.failed()) return;
        std::string message = decodeOneV4Payload(pool, static_cast<size_t>(i));
        if (!message.empty()) {
            pool.storeError(std::move(message));
            return;
        }
    }
}

void decodeV4Worker(DecodePool& pool) noexcept {
    try {
        decodeV4Payloads(pool);
    } catch (...) {
        try {
            pool.storeError(kOutOfMemory);
        } catch (...) {
            // Storing the text needs memory too; the read then fails on the
            // peak it could not take, which the caller's own catch reports.
        }
    }
}

// Runs the pool; the first error text, empty on success.
std::string runDecodePool(LegacyFile& f, const LegacySource& source, const Zem4BlobDecoder* decoder) {
    DecodePool pool(f, source, decoder);
    const unsigned n = legacyDecodePoolSize(platform::hardwareThreads(), f.sampleCount);
    std::vector<std::thread> threads;
    try {
        threads.reserve(n - 1);
        for (unsigned k = 1; k < n; ++k) threads.emplace_back(decodeV4Worker, std::ref(pool));
    } catch (...) {
        // Threads that could not start leave their share to those that did,
        // at the least this one.
    }
    decodeV4Worker(pool);
    for (std::thread& t : threads) t.join();
    return pool.firstError;
}

// Step "rooms" for layouts with room tables.
void readRooms(const Header& h, const LegacyVersionLayout& version, LegacyFile& f) {
    const LegacyRoomOffsets& ro = version.rooms == LegacyRoomTables::Narrow ? kLegacyRoomsNarrow : kLegacyRoomsWide;
    int32_t highest = 0;
    for (const uint8_t r : f.room) highest = std::max<int32_t>(highest, static_cast<int8_t>(r));
    f.roomCount = highest;
    for (size_t k = 0; k < 3; ++k) {
        f.roomNames[k] = readBoundedText(h.bytes(), ro.names + kLegacyRoomNameStride * k);
        f.roomLevel[k] = h.f32(ro.levels + 4 * k);
        f.roomFlag[k] = 0;
    }
    if (f.roomCount == 1 || f.roomCount == 2) {
        f.roomLevel[static_cast<size_t>(f.roomCount)] = 1.0f;
        f.roomFlag[static_cast<size_t>(f.roomCount)] = 1;
    }
    for (size_t i = 0; i < f.roomLookup.size(); ++i) {
        for (size_t k = 0; k < 3; ++k) {
            const int32_t v = f.roomLookup[i][k];
            if (v == 0) continue;
            if (static_cast<int32_t>(k) >= f.roomCount || v < 0 || v > f.sampleCount) {
                f.warnings.push_back("stale room_lookup entry (sample " + to_string(i + 1) + ", slot " +
                                     to_string(k + 1) + ", value " + to_string(v) + ") kept verbatim");
                return;
            }
        }
    }
}

void setDefaultRooms(LegacyFile& f) {
    f.roomCount = 0;
    for (size_t k = 0; k < 3; ++k) {
        f.roomNames[k] = "Room " + to_string(k + 1);
        f.roomLevel[k] = 0.0f;
        f.roomFlag[k] = 0;
    }
}

// Selection cells, sample takes, sample metadata and the selection index.
void buildSelection(LegacyFile& f, Layout layout) {
    const auto n = static_cast<size_t>(f.sampleCount);
    f.take = f.derivedTake;
    std::vector<SelectionCell> cells;
    if (layout == Layout::Props) {
        const int32_t passes = f.hasArticulations ? kLegacyArticulations : 1;
        for (int32_t a = 1; a <= passes; ++a) {
            for (size_t i = 0; i < n; ++i) {
                if ((f.hasArticulations && f.articulation[i] != a) || f.excluded[i] != 0) continue;
                const auto number = static_cast<int32_t>(i + 1);
                if (f.dynamicPart[i] >= 1 && f.take[i] >= 1) {
                    buildV4LookupTable(cells, f.warnings, f.dynamicPart[i], f.take[i], a, number);
                } else {
                    f.warnings.push_back("v4 legacy sample " + to_string(number) + " has group " +
                                         to_string(f.dynamicPart[i]) + " / take " + to_string(f.take[i]) + " " +
                                         kDash + " not selectable");
                }
            }
        }
    } else if (f.dynamicCount >= 1) {
        // Direct, selectable samples by (dynamic, articulation), in sample
        // order; cells are then formed dynamic by dynamic.
        const auto dynamics = static_cast<size_t>(f.dynamicCount);
        std::vector<std::vector<size_t>> byCell(dynamics * kLegacyArticulations);
        for (size_t i = 0; i < n; ++i) {
            const int32_t d = f.dynamicPart[i];
            const int32_t a = f.articulation[i];
            if (d < 1 || d > f.dynamicCount || a < 1 || a > kLegacyArticulations || f.excluded[i] != 0 ||
                f.room[i] != 0)
                continue;
            byCell[static_cast<size_t>(d - 1) * kLegacyArticulations + static_cast<size_t>(a - 1)].push_back(i);
        }
        for (size_t c = 0; c < byCell.size(); ++c) {
            int32_t counter = 0;
            for (const size_t i : byCell[c]) {
                f.take[i] = ++counter;
                cells.push_back(SelectionCell{static_cast<int32_t>(c / kLegacyArticulations + 1), counter,
                                              static_cast<int32_t>(c % kLegacyArticulations + 1),
                                              static_cast<int32_t>(i + 1)});
            }
        }
    }

    for (size_t i = 0; i < n; ++i) f.sampleMeta.push_back(makeSampleMeta(f.dynamicPart[i], f.articulation[i]));

    if (f.dynamicCount >= 1) {
        f.selection = buildLayerLookup(f.dynamicCount, f.dynamics, cells);
        if (!f.selection.ok)
            f.warnings.push_back("SelectionIndex rejected the derived cells (inconsistent takes) " + kDash +
                                 " instrument loads metadata-only");
    }
}

LegacyReadResult failLegacyRead(std::string message) {
    LegacyReadResult result;
    result.error = std::move(message);
    return result;
}

LegacyReadResult readLegacyImpl(const LegacySource& source, const LegacyReadOptions& options) {
    // 2: size. Legacy files were addressed with signed 32-bit offsets, so a
    // larger file cannot be one; it is refused as too large (never wrapped,
    // and never reported as empty).
    const std::optional<uint64_t> size = source.size();
    if (size && *size > kLegacyMaxFileBytes) {
        return failLegacyRead("file is " + to_string(*size) + " bytes; a legacy zem file is at most " +
                              to_string(kLegacyMaxFileBytes) + " bytes (2 GiB - 1)");
    }
    if (!size || *size < 1) return failLegacyRead("0-length file");
    const uint64_t fileSize = *size;
    if (fileSize < kLegacyMagicBytes) return failLegacyRead("file too short for the 8-byte version magic");

    // One read brings the magic and as much of the largest header as the
    // file holds; the version then says how much of it is header. The
    // buffer is the thread's own, kept for its next read.
    thread_local std::unique_ptr<uint8_t[]> headerBuffer;
    if (!headerBuffer) headerBuffer.reset(new uint8_t[kLegacyMaxHeaderBytes]);
    const auto want = static_cast<size_t>(std::min<uint64_t>(fileSize, kLegacyMaxHeaderBytes));
    const platform::ReadOutcome got = source.readAt(headerBuffer.get(), want, 0);
    if (got.bytesRead < kLegacyMagicBytes) return failLegacyRead("cannot read version magic");
    const uint8_t* magic = headerBuffer.get();

    // 3: version.
    int versionIndex = -1;
    for (int v = 0; v < kLegacyVersionCount; ++v) {
        if (std::memcmp(magic, kLegacyVersions[static_cast<size_t>(v)].magic, kLegacyMagicBytes) == 0) {
            versionIndex = v;
            break;
        }
    }
    if (versionIndex < 0)
        return failLegacyRead("not a legacy zem (magic '" + printableMagic(magic) +
                              "'; only Zem_v3.0..Zem_v3.5 and Zem_v4.0 are legacy layouts)");
    const LegacyVersionLayout& version = kLegacyVersions[static_cast<size_t>(versionIndex)];

    // 4: the whole header.
    if (fileSize < version.headerBytes)
        return failLegacyRead(std::string("truncated header: ") + version.magic + " needs " +
                              to_string(version.headerBytes) + " bytes, file has " + to_string(fileSize));
    if (got.bytesRead < version.headerBytes) return failLegacyRead("I/O error reading header");
    const std::span<const uint8_t> headerBytes(headerBuffer.get(), version.headerBytes);
    const Header h(headerBytes);

    LegacyFile f;
    f.version = static_cast<uint8_t>(versionIndex);
    f.fileSize = fileSize;

    // 5: the 4.0 extension.
    if (version.extension) {
        if (std::memcmp(headerBytes.data() + legacy_v4::kMarker, legacy_v4::kMarkerText, 8) != 0)
            return failLegacyRead("Zem_v4.0 extension marker is not 'ZEM4EXT' " + kDash + " corrupt container");
        const uint32_t extBytes = h.u32(legacy_v4::kExtBytes);
        if (extBytes != kV4ExtensionBytes)
            return failLegacyRead("Zem_v4.0 ext_bytes=" + to_string(extBytes) + " (this reader requires exactly " +
                                  to_string(kV4ExtensionBytes) + ")");
        f.legacyProps = h.u8(legacy_v4::kLegacyProps) != 0;
    }
    const Layout layout = version.small ? Layout::Small : (f.legacyProps ? Layout::Props : Layout::Main);
    const LegacySmallOffsets& small = versionIndex == 0 ? kLegacySmallV30 : kLegacySmallV31;

    // 6: sample count.
    int32_t count = layout == Layout::Small ? h.i8(small.sampleCount) : h.i16(legacy_main::kSampleCount);
    if (layout == Layout::Props && count > kLegacyMaxSamplesProps) {
        f.warnings.push_back("v4 legacy_props sample_count=" + to_string(count) + " clamped to " +
                             to_string(kLegacyMaxSamplesProps));
        count = kLegacyMaxSamplesProps;
    }
    if (count < 1)
        return failLegacyRead("sample_count=" + to_string(count) + " " + kDash + " empty/stub zem, nothing to load");
    const int32_t maximum = layout == Layout::Main ? kLegacyMaxSamplesMain : kLegacyMaxSamplesSmall;
    if (count > maximum)
        return failLegacyRead("sample_count=" + to_string(count) + " exceeds the " + version.magic +
                              " layout maximum of " + to_string(maximum));
    f.sampleCount = count;
    const auto n = static_cast<size_t>(count);
    reserveAll(f, n);

    // 7: the layout.
    if (layout == Layout::Main) {
        const int32_t dynamicCount = h.i16(legacy_main::kDynamicCount);
        if (dynamicCount < 0 || dynamicCount > kLegacyMaxStoredDynamics)
            return failLegacyRead("dynamic_count=" + to_string(dynamicCount) + " outside 0.." +
                                  to_string(kLegacyMaxStoredDynamics));
        f.dynamicCount = dynamicCount;
        for (size_t k = 0; k < static_cast<size_t>(dynamicCount); ++k)
            f.dynamics.push_back(h.f32(legacy_main::kDynamicLevels + 4 * k));
        f.instrumentName = readLengthPrefixedText(h.bytes(), legacy_main::kInstrumentName);
        for (size_t k = 0; k < f.articulationNames.size(); ++k)
            f.articulationNames[k] =
                readBoundedText(h.bytes(), legacy_main::kArticulationNames + kLegacyTextSlotBytes * k);
        f.levelToleranceDb = 0.0;
        readMainSamples(h, version, layout, f);
    } else {
        if (layout == Layout::Small) {
            f.instrumentName = readLengthPrefixedText(h.bytes(), small.instrumentName);
            f.levelToleranceDb = h.f64(small.levelToleranceDb);
        } else {
            f.instrumentName = readLengthPrefixedText(h.bytes(), legacy_main::kInstrumentName);
            f.levelToleranceDb = h.f64(legacy_v4::kLevelToleranceDb);
        }
        for (size_t k = 0; k < f.articulationNames.size(); ++k) f.articulationNames[k] = to_string(k + 1);
        if (layout == Layout::Small) readSmallSamples(h, small, f);
        else readMainSamples(h, version, layout, f);
    }
    for (size_t i = 0; i < n; ++i) {
        f.sampleNumber.push_back(static_cast<int32_t>(i + 1));
        f.derivedTake.push_back(0);
        if (version.extension) {
            f.codec.push_back(h.u8(legacy_v4::kCodec + i));
            f.payloadBytes.push_back(h.u32(legacy_v4::kPayloadBytes + 4 * i));
            f.payloadCrc.push_back(h.u32(legacy_v4::kPayloadCrc + 4 * i));
        } else {
            f.codec.push_back(0);
            f.payloadCrc.push_back(0);
        }
    }

    // 8-9: laws.
    if (std::string message = checkSampleLaws(f); !message.empty()) return failLegacyRead(std::move(message));
    if (version.extension) {
        if (std::string message = checkV4Laws(f); !message.empty()) return failLegacyRead(std::move(message));
    }

    // 10: payload region.
    uint64_t end = version.headerBytes;
    for (size_t i = 0; i < n; ++i) {
        const uint64_t raw = static_cast<uint64_t>(f.length[i]) * static_cast<uint64_t>(f.bits[i] / 8);
        if (!version.extension) f.payloadBytes.push_back(raw);
        f.payloadOffset.push_back(end);
        f.decodedBytes.push_back(raw);
        end += f.payloadBytes[i];
    }
    if (end > fileSize) {
        if (version.extension)
            return failLegacyRead("v4 payload region ends at byte " + to_string(end) + " but the file has only " +
                                  to_string(fileSize) + " " + kDash + " truncated container");
        f.truncated = true;
        f.warnings.push_back("declared payload ends at byte " + to_string(end) + " but the file has only " +
                             to_string(fileSize) + " " + kDash + " loading the bytes that exist (V5 behaviour)");
    } else if (end < fileSize) {
        f.trailingBytes = fileSize - end;
        f.warnings.push_back(to_string(f.trailingBytes) +
                             " trailing bytes after the last declared sample (undeclared audio no loader ever read)");
    }

    // 11: rooms.
    if (layout == Layout::Main && version.rooms != LegacyRoomTables::None) readRooms(h, version, f);
    else setDefaultRooms(f);

    // 12: peaks.
    f.nativePeak = f.headerImpulse;
    if (options.measurePeaks) {
        const std::vector<float>* override = options.peakOverride;
        if (override != nullptr && override->size() == n) {
            f.nativePeak = *override;
        } else {
            const bool anyFlac = std::find(f.codec.begin(), f.codec.end(), 1) != f.codec.end();
            const bool haveDecoder = options.blobDecoder != nullptr && *options.blobDecoder;
            if (anyFlac && !haveDecoder)
                f.warnings.push_back("v4 FLAC payloads present but no Zem4BlobDecoder supplied " + kDash +
                                     " native peaks fall back to the header impulse (grouping of legacy_props "
                                     "files may differ from a full decode)");
            for (size_t i = 0; i < n; ++i) {
                if (f.codec[i] == 1) continue;
                const uint64_t offset = f.payloadOffset[i];
                const uint64_t bytes = offset >= fileSize ? 0 : std::min(f.decodedBytes[i], fileSize - offset);
                f.nativePeak[i] = measurePeak(source, offset, bytes, f.bits[i]);
            }
            if (anyFlac && haveDecoder) {
                std::string error = runDecodePool(f, source, options.blobDecoder);
                if (!error.empty()) return failLegacyRead(std::move(error));
            }
        }
    }

    // 13-14.
    f.hasArticulations = std::any_of(f.articulation.begin(), f.articulation.end(), [](int32_t a) { return a > 1; });
    for (size_t i = 0; i < n; ++i)
        if (f.hand[i] > 2)
            f.warnings.push_back(sampleText(i) + "hand=" + to_string(f.hand[i]) +
                                 " (outside 0..2; ignored since item 396)");

    // 15: derived dynamics.
    if (layout != Layout::Main) {
        DerivedDynamics derived =
            deriveDynamics(count, f.levelToleranceDb, f.hasArticulations ? kDerivePerArticulation : kDeriveAllTogether,
                           f.articulation, f.excluded, f.useAltLevel, f.nativePeak, f.altLevel);
        f.levelToleranceDb = derived.levelToleranceDb;
        f.dynamicCount = derived.dynamicCount;
        f.dynamics = std::move(derived.dynamics);
        f.dynamicPart = std::move(derived.group);
        f.derivedTake = std::move(derived.take);
    }

    // 16.
    if (f.dynamicCount > kLegacyMaxDynamicGroups)
        return failLegacyRead("dynamic_count=" + to_string(f.dynamicCount) +
                              " exceeds SampleMeta's uint8 group id (never authored; raise SampleMeta::dynamicGroup "
                              "before accepting this)");

    // 17.
    buildSelection(f, layout);

    LegacyReadResult result;
    result.file = std::move(f);
    return result;
}

} // namespace

unsigned legacyDecodePoolSize(unsigned hardwareThreads, int32_t sampleCount) noexcept {
    const unsigned h = hardwareThreads == 0 ? 1 : hardwareThreads;
    const unsigned d = std::clamp(h / 3, 1u, kLegacyMaxDecodeThreads);
    const unsigned jobs = sampleCount < 1 ? 1u : static_cast<unsigned>(sampleCount);
    return std::min(jobs, d);
}

float pcmPeak(std::span<const uint8_t> bytes, int32_t bits) noexcept {
    PeakMeter meter(bits);
    meter.feed(bytes.data(), bytes.size());
    return meter.result();
}

float measurePeak(int fd, uint64_t offset, uint64_t byteCount, int32_t bits) {
    return measurePeak(FileLegacySource(fd), offset, byteCount, bits);
}

float measurePeak(const LegacySource& source, uint64_t offset, uint64_t byteCount, int32_t bits) {
    const size_t w = PeakMeter::width(bits);
    if (w == 0 || byteCount == 0) return 0.0f;
    if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return 0.0f;

    // One block buffer per thread, kept for the thread's life; the spare
    // bytes hold a value split across two blocks.
    thread_local std::unique_ptr<uint8_t[]> buffer;
    if (!buffer) buffer.reset(new uint8_t[kLegacyPeakBlockBytes + 4]);

    PeakMeter meter(bits);
    uint64_t done = 0;
    size_t carry = 0;
    while (done < byteCount) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kLegacyPeakBlockBytes, byteCount - done));
        const platform::ReadOutcome got = source.readAt(buffer.get() + carry, want, offset + done);
        if (got.bytesRead == 0) break;
        done += got.bytesRead;
        const size_t have = carry + got.bytesRead;
        const size_t used = meter.feed(buffer.get(), have);
        carry = have - used;
        if (carry != 0) std::memmove(buffer.get(), buffer.get() + used, carry);
        if (got.status != platform::ReadStatus::Filled) break;
    }
    return meter.result();
}

LegacyReadResult readLegacySource(const LegacySource& source, const LegacyReadOptions& options) {
    try {
        return readLegacyImpl(source, options);
    } catch (const std::bad_alloc&) {
        return failLegacyRead(kOutOfMemory);
    }
}

LegacyReadResult readLegacyFile(const std::string& path, const LegacyReadOptions& options) {
    // 1: open; the guard closes the file on every path.
    const FileGuard file(platform::openFileUtf8(path));
    if (file.fd() < 0) return failLegacyRead("cannot open file '" + path + "'");
    return readLegacySource(FileLegacySource(file.fd()), options);
}

std::optional<uint64_t> FileLegacySource::size() const noexcept { return platform::fileSize(fd_); }

platform::ReadOutcome FileLegacySource::readAt(void* dst, size_t size, uint64_t offset) const noexcept {
    return platform::readAt(fd_, dst, size, offset);
}

platform::ReadOutcome MemoryLegacySource::readAt(void* dst, size_t size, uint64_t offset) const noexcept {
    platform::ReadOutcome out;
    const size_t available = offset < bytes_.size() ? bytes_.size() - static_cast<size_t>(offset) : 0;
    out.bytesRead = std::min(size, available);
    if (out.bytesRead > 0) std::memcpy(dst, bytes_.data() + offset, out.bytesRead);
    out.status = out.bytesRead == size ? platform::ReadStatus::Filled : platform::ReadStatus::EndOfFile;
    return out;
}

LegacySampleAudio readLegacySampleAudio(int fd, const LegacyFile& legacy, size_t index,
                                        const Zem4BlobDecoder* decoder) {
    if (fd < 0) {
        LegacySampleAudio out;
        out.error = "no file";
        return out;
    }
    return readLegacySampleAudio(FileLegacySource(fd), legacy, index, decoder);
}

LegacySampleAudio readLegacySampleAudio(const LegacySource& source, const LegacyFile& legacy, size_t index,
                                        const Zem4BlobDecoder* decoder) {
    LegacySampleAudio out;
    auto failWith = [&out](std::string message) {
        out.channelSamples.clear();
        out.error = std::move(message);
        return std::move(out);
    };
    try {
        if (index >= legacy.payloadOffset.size()) return failWith("sample index out of range");
        for (const size_t size : {legacy.length.size(), legacy.bits.size(), legacy.stereo.size(), legacy.codec.size(),
                                  legacy.sampleRate.size(), legacy.payloadBytes.size(), legacy.decodedBytes.size()})
            if (index >= size) return failWith("sample index out of range");
        const int32_t bits = legacy.bits[index];
        if (bits != 16 && bits != 24 && bits != 32) return failWith("unsupported bit depth");
        uint64_t values = legacy.length[index] < 0 ? 0 : static_cast<uint64_t>(legacy.length[index]);
        // The reader's laws keep every sample within this; a record built
        // elsewhere gets the same bound before anything is allocated.
        if (values > static_cast<uint64_t>(kMaxPayloadFrames)) return failWith("sample length out of range");
        const uint64_t offset = legacy.payloadOffset[index];
        const uint64_t expected = legacy.decodedBytes[index];
        const bool stereo = legacy.stereo[index] != 0;
        const uint64_t fileBytes = source.size().value_or(0);

        std::vector<uint8_t> pcm;
        if (legacy.codec[index] == 1) {
            if (decoder == nullptr || !*decoder) return failWith("v4 FLAC payload but no Zem4BlobDecoder supplied");
            if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return failWith("seek failed");
            const uint64_t stored = legacy.payloadBytes[index];
            if (offset > fileBytes || stored > fileBytes - offset)
                return failWith("short read of v4 FLAC payload");
            std::vector<uint8_t> blobBytes(static_cast<size_t>(stored));
            if (source.readAt(blobBytes.data(), blobBytes.size(), offset).status !=
                platform::ReadStatus::Filled)
                return failWith("short read of v4 FLAC payload");
            Zem4Blob blob;
            blob.bytes = blobBytes;
            blob.bits = bits;
            blob.channels = stereo ? 2 : 1;
            blob.sampleRate = legacy.sampleRate[index];
            blob.length = static_cast<int64_t>(values);
            blob.storedCrc = index < legacy.payloadCrc.size() ? legacy.payloadCrc[index] : 0;
            blob.sampleNumber = static_cast<int32_t>(index + 1);
            Zem4DecodeOut decoded = (*decoder)(blob);
            if (!decoded.error.empty()) return failWith(std::move(decoded.error));
            if (decoded.pcm.size() != expected)
                return failWith("v4 decode produced " + to_string(decoded.pcm.size()) + " bytes, expected " +
                                to_string(expected));
            pcm = std::move(decoded.pcm);
        } else if (legacy.codec[index] == 0) {
            if (expected > 0) {
                if (offset > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                    return failWith("seek failed");
                // Whatever the file still holds of the payload; a cut-off
                // 3.x payload reads as zeros past its end.
                const uint64_t available = offset < fileBytes ? std::min(expected, fileBytes - offset) : 0;
                pcm.resize(static_cast<size_t>(available));
                const platform::ReadOutcome got = source.readAt(pcm.data(), pcm.size(), offset);
                pcm.resize(got.bytesRead);
            }
            // Only the whole frames that are there: a cut-off payload is not
            // made up with silence at its declared length.
            const uint64_t channels = stereo ? 2 : 1;
            const uint64_t frameBytes = channels * static_cast<uint64_t>(bits / 8);
            values = std::min(values, pcm.size() / frameBytes * channels);
        } else {
            return failWith("unsupported codec " + to_string(legacy.codec[index]));
        }

        std::vector<float> all(static_cast<size_t>(values));
        fmt::pcmToFloat(pcm.data(), pcm.size(), bits, values, all.data());
        if (stereo) {
            const size_t frames = all.size() / 2;
            out.channelSamples.assign(2, std::vector<float>(frames));
            for (size_t k = 0; k < frames; ++k) {
                out.channelSamples[0][k] = all[2 * k];
                out.channelSamples[1][k] = all[2 * k + 1];
            }
        } else {
            out.channelSamples.push_back(std::move(all));
        }
        return out;
    } catch (const std::bad_alloc&) {
        return failWith(kOutOfMemory);
    }
}

} // namespace vt6::zem
