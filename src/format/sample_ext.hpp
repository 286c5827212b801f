#pragma once
// Values stored as extension pairs of sample rows and dynamics bands (room
// links, hit level, sort lock, band centre), and the small helpers the code
// that composes a model calls. None of these fails: a stored value that is
// malformed or no longer matches its sample reads as absent.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/bytes.hpp"
#include "format/fields.hpp"
#include "format/hit_level.hpp"
#include "format/mtad.hpp"
#include "format/smpl.hpp"

namespace vt6::fmt {

inline constexpr uint64_t kBandCenterExtKey = 5;   // on BandDef: float centre on the 0..1 scale
inline constexpr uint64_t kRoomLinkExtKey = 26;    // on a direct sample: [room A, B, C uids], 0 = none
inline constexpr uint64_t kHitLevelExtKey = 1002;  // measured hit level bound to its audio
inline constexpr uint64_t kSortLockExtKey = 1003;  // true: automatic band sorting leaves the sample alone

inline constexpr size_t kHitLevelRecordItems = 11;
inline constexpr uint64_t kHitLevelRecordVersion = 1;

// --- Hit level (key 1002) ---------------------------------------------------
// The record stores version, finite flag, level and onset together with the
// identity of the audio measured (plain hash, rate, bits, channels, frames,
// playback region), so a level never outlives a change of the audio.

// The six identity integers of a row as the record stores them, absent
// fields taking their documented defaults: sample rate (44100), bits (16),
// channels (1), frames (0), playback start (0), playback end (else frames).
std::array<uint64_t, 6> hitLevelIdentity(const SmplEntry& entry);

// The 11-item record of `level` measured on `entry`'s current audio. The
// entry must have a plain hash.
Bytes encodeHitLevelExt(const HitLevel& level, const SmplEntry& entry);

// Replaces the entry's record by one for `level`; only removes it when the
// measurement is not worth keeping (not measured, cancelled, another version,
// a finite flag over a non-finite level) or the entry has no plain hash.
// Leaves the extensions sorted.
void writeHitLevelExt(SmplEntry& entry, const HitLevel& level);

// The stored measurement, or HitLevel::unmeasured() when there is none, it is
// malformed, or its identity differs from the entry's current one. Window
// levels are never stored and read as minus infinity.
HitLevel readHitLevelExt(const SmplEntry& entry);

// --- Sort lock (key 1003) ---------------------------------------------------
// SmplEntry::setFlagExt writes it. Locked when the first key-1003 value is
// exactly the item true.
bool readSortLockExt(const SmplEntry& entry);

// --- Room links (key 26) ----------------------------------------------------
// The uids of the room samples in slots 1 to 3 (0 where none), when the first
// key-26 value is an array of exactly three unsigned integers.
std::optional<std::array<uint64_t, 3>> readExtUintTriple(const SmplEntry& entry);

// --- Band centre (key 5 of a BandDef) ---------------------------------------

// The pair (5, v as a shortest-form float), ready to append to a band.
ExtensionPair makeCborFloatValue(double v);

// The band centre when the first key-5 value is exactly one float that is
// finite and within [0, 1]; anything else counts as absent, so callers that
// sort bands by centre never see NaN or values off the level scale.
std::optional<double> readBandCenter(const BandDef& band);

// The centre to place a band at: the stored centre; else the middle of its
// low and high bounds when both are present and the middle is a finite value
// within [0, 1]; else (index + 0.5) / count, the band's even share of the
// scale (0.5 when count is 0).
double bandCenterOrFallback(const BandDef& band, size_t index, size_t count);

// Erases every key-5 pair; returns how many were erased.
size_t removeBandCenterExt(ExtensionList& extensions);

// Orders pairs by ascending key; pairs with equal keys keep their order, so
// "the first pair with a key" stays the same one.
void sortExtensions(std::span<ExtensionPair> pairs);

// --- Model helpers ----------------------------------------------------------

inline constexpr const char* kCreatorToolName = "ZEM Rivir";
inline constexpr const char* kDirectChannelName = "Direct";
inline constexpr const char* kRoomSampleFallbackName = "room sample";

std::string nameOrEmpty(const std::optional<std::string>& name);
std::string nameOrRoomSample(const std::optional<std::string>& name);
// A null text assigns the empty text.
void assignOptionalCString(std::optional<std::string>& target, const char* text);
std::optional<std::string> makeOptionalString(const std::string& text);
void assignOptionalStringCopy(std::optional<std::string>& target, const std::string& text);
std::optional<std::string> makeOptionalStringMoved(std::string&& text);
void assignOptionalStringMoved(std::optional<std::string>& target, std::string&& text);
void setCreatorToolName(std::optional<std::string>& target);
std::optional<std::string> makeDirectChannelName();

BandDef copyGroupDefFull(const BandDef& band);
// Takes over the band; the source is left without name and extensions.
BandDef copyGroupDefPlain(BandDef&& band);
// The optional's band when engaged, else the fallback.
BandDef copyGroupDef(const std::optional<BandDef>& band, BandDef&& fallback);

// True when exactly one is engaged or both hold different values.
bool optionalDiffers(const std::optional<uint64_t>& a, const std::optional<uint64_t>& b) noexcept;

// Removes every row whose uid `isLive` rejects (a sample deleted in the
// editor), the others keeping their order; returns how many were removed.
size_t eraseSmplEntriesIf(std::vector<SmplEntry>& rows, const std::function<bool(uint64_t uid)>& isLive);

// Removes every carried PRVW and DESC chunk (an edit makes them stale), the
// others keeping their order; returns how many were removed.
size_t dropPreviewAndDescChunks(std::vector<ExtraChunk>& chunks);

} // namespace vt6::fmt
