#include "format/sample_ext.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "format/cbor.hpp"
#include "format/framing.hpp"

namespace vt6::fmt {

namespace {

// Reads one value into `out`; false on any failure of the reader.
template <class T>
bool take(Result<T> result, T& out) {
    if (!result.ok()) return false;
    out = std::move(result).value();
    return true;
}

bool atCleanEnd(const CborReader& reader) { return reader.finish().ok(); }

uint64_t playbackEndOf(const SmplEntry& entry) {
    return entry.playback_end.value_or(entry.frames.value_or(0));
}

std::optional<HitLevel> parseHitLevel(const SmplEntry& entry, ByteView record) {
    CborReader reader(record);
    uint64_t items = 0;
    if (!take(reader.enterArray(), items) || items != kHitLevelRecordItems) return std::nullopt;

    uint64_t version = 0;
    bool finite = false;
    double level = 0.0;
    uint64_t onset = 0;
    ByteView hash;
    if (!take(reader.readUint(), version) || !take(reader.readBool(), finite) ||
        !take(reader.readFloat(), level) || !take(reader.readUint(), onset) || !take(reader.readBytes(), hash)) {
        return std::nullopt;
    }
    if (version != kHitLevelRecordVersion || !std::isfinite(level)) return std::nullopt;
    if (!std::ranges::equal(hash, *entry.plain_hash)) return std::nullopt;

    for (const uint64_t expected : hitLevelIdentity(entry)) {
        uint64_t stored = 0;
        if (!take(reader.readUint(), stored) || stored != expected) return std::nullopt;
    }
    if (!atCleanEnd(reader)) return std::nullopt;

    // A finite level must have its onset inside the playback region it was
    // measured in.
    if (finite && !(entry.playback_start.value_or(0) <= onset && onset < playbackEndOf(entry))) return std::nullopt;

    HitLevel out;
    out.measured = true;
    out.finite = finite;
    out.level_db = finite ? level : HitLevel::kSilentDb;
    out.onset_frame = onset;
    return out;
}

} // namespace

void SmplEntry::removeExtension(uint64_t key) {
    std::erase_if(extensions, [key](const ExtensionPair& pair) { return pair.key == key; });
}

void SmplEntry::setFlagExt(bool locked) {
    removeExtension(kSortLockExtKey);
    if (locked) extensions.push_back(ExtensionPair{kSortLockExtKey, encodeCborTrue()});
    sortExtensions(extensions);
}

void SmplEntry::setRoomLink(const std::array<uint64_t, 3>& uids) {
    removeExtension(kRoomLinkExtKey);
    extensions.push_back(ExtensionPair{kRoomLinkExtKey, encodeCborUintTriple(uids[0], uids[1], uids[2])});
    sortExtensions(extensions);
}

std::array<uint64_t, 6> hitLevelIdentity(const SmplEntry& entry) {
    return {entry.sample_rate.value_or(44100), entry.bits.value_or(16),  entry.channels.value_or(1),
            entry.frames.value_or(0),          entry.playback_start.value_or(0), playbackEndOf(entry)};
}

Bytes encodeHitLevelExt(const HitLevel& level, const SmplEntry& entry) {
    CborWriter writer;
    writer.beginArray(kHitLevelRecordItems);
    writer.writeUint(kHitLevelRecordVersion);
    writer.writeBool(level.finite);
    writer.writeFloat(level.finite ? level.level_db : 0.0);
    writer.writeUint(level.onset_frame);
    const Digest128 hash = entry.plain_hash.value_or(Digest128{});
    writer.writeBytes(hash);
    for (const uint64_t v : hitLevelIdentity(entry)) writer.writeUint(v);
    return writer.take();
}

void writeHitLevelExt(SmplEntry& entry, const HitLevel& level) {
    entry.removeExtension(kHitLevelExtKey);
    const bool worthKeeping = level.measured && !level.cancelled && level.version == kHitLevelRecordVersion &&
                              entry.plain_hash.has_value() && (!level.finite || std::isfinite(level.level_db));
    if (!worthKeeping) return;
    entry.extensions.push_back(ExtensionPair{kHitLevelExtKey, encodeHitLevelExt(level, entry)});
    sortExtensions(entry.extensions);
}

HitLevel readHitLevelExt(const SmplEntry& entry) {
    if (!entry.plain_hash) return HitLevel::unmeasured();
    const ExtensionPair* pair = findExtension(entry.extensions, kHitLevelExtKey);
    if (pair == nullptr) return HitLevel::unmeasured();
    return parseHitLevel(entry, pair->bytes).value_or(HitLevel::unmeasured());
}

bool readSortLockExt(const SmplEntry& entry) {
    const ExtensionPair* pair = findExtension(entry.extensions, kSortLockExtKey);
    if (pair == nullptr) return false;
    CborReader reader(pair->bytes);
    bool locked = false;
    return take(reader.readBool(), locked) && atCleanEnd(reader) && locked;
}

std::optional<std::array<uint64_t, 3>> readExtUintTriple(const SmplEntry& entry) {
    const ExtensionPair* pair = findExtension(entry.extensions, kRoomLinkExtKey);
    if (pair == nullptr) return std::nullopt;
    CborReader reader(pair->bytes);
    uint64_t count = 0;
    if (!take(reader.enterArray(), count) || count != 3) return std::nullopt;
    std::array<uint64_t, 3> uids{};
    for (uint64_t& uid : uids) {
        if (!take(reader.readUint(), uid)) return std::nullopt;
    }
    if (!atCleanEnd(reader)) return std::nullopt;
    return uids;
}

ExtensionPair makeCborFloatValue(double v) { return ExtensionPair{kBandCenterExtKey, encodeCborFloat(v)}; }

std::optional<double> readBandCenter(const BandDef& band) {
    const ExtensionPair* pair = findExtension(band.extensions, kBandCenterExtKey);
    if (pair == nullptr) return std::nullopt;
    CborReader reader(pair->bytes);
    double center = 0.0;
    if (!take(reader.readFloat(), center) || !atCleanEnd(reader)) return std::nullopt;
    // NaN would break the strict weak ordering bands are sorted by.
    if (!std::isfinite(center) || center < 0.0 || center > 1.0) return std::nullopt;
    return center;
}

double bandCenterOrFallback(const BandDef& band, size_t index, size_t count) {
    if (const std::optional<double> center = readBandCenter(band)) return *center;
    if (band.low && band.high) {
        const double middle = (*band.low + *band.high) / 2.0;
        if (std::isfinite(middle) && middle >= 0.0 && middle <= 1.0) return middle;
    }
    if (count == 0) return 0.5;
    return (static_cast<double>(index) + 0.5) / static_cast<double>(count);
}

size_t removeBandCenterExt(ExtensionList& extensions) {
    return std::erase_if(extensions, [](const ExtensionPair& pair) { return pair.key == kBandCenterExtKey; });
}

void sortExtensions(std::span<ExtensionPair> pairs) {
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const ExtensionPair& a, const ExtensionPair& b) { return a.key < b.key; });
}

std::string nameOrEmpty(const std::optional<std::string>& name) { return name.value_or(std::string()); }

std::string nameOrRoomSample(const std::optional<std::string>& name) {
    return name.value_or(std::string(kRoomSampleFallbackName));
}

void assignOptionalCString(std::optional<std::string>& target, const char* text) {
    target = std::string(text != nullptr ? text : "");
}

std::optional<std::string> makeOptionalString(const std::string& text) { return text; }

void assignOptionalStringCopy(std::optional<std::string>& target, const std::string& text) { target = text; }

std::optional<std::string> makeOptionalStringMoved(std::string&& text) { return std::move(text); }

void assignOptionalStringMoved(std::optional<std::string>& target, std::string&& text) {
    target = std::move(text);
}

void setCreatorToolName(std::optional<std::string>& target) { target = std::string(kCreatorToolName); }

std::optional<std::string> makeDirectChannelName() { return std::string(kDirectChannelName); }

BandDef copyGroupDefFull(const BandDef& band) { return band; }

BandDef copyGroupDefPlain(BandDef&& band) {
    BandDef out(std::move(band));
    // Leave the source in a stated state rather than a moved-from one.
    band.name.reset();
    band.extensions.clear();
    return out;
}

BandDef copyGroupDef(const std::optional<BandDef>& band, BandDef&& fallback) {
    if (band) return *band;
    return std::move(fallback);
}

bool optionalDiffers(const std::optional<uint64_t>& a, const std::optional<uint64_t>& b) noexcept {
    return a != b;
}

size_t eraseSmplEntriesIf(std::vector<SmplEntry>& rows, const std::function<bool(uint64_t uid)>& isLive) {
    return std::erase_if(rows, [&isLive](const SmplEntry& row) { return !isLive(row.uid); });
}

size_t dropPreviewAndDescChunks(std::vector<ExtraChunk>& chunks) {
    return std::erase_if(chunks,
                         [](const ExtraChunk& chunk) { return chunk.tag == kTagPRVW || chunk.tag == kTagDESC; });
}

} // namespace vt6::fmt
