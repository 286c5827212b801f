#pragma once
// Field readers shared by the metadata map decoders, and the extension pair
// through which every map keeps the keys it does not understand.

#include <cstdint>
#include <string>
#include <vector>

#include "format/bytes.hpp"
#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

// One map entry a decoder did not turn into a member: its key and the complete
// CBOR item of its value exactly as read, so it can be written back unchanged.
struct ExtensionPair {
    uint64_t key = 0;
    Bytes bytes;

    bool operator==(const ExtensionPair&) const = default;
};

using ExtensionList = std::vector<ExtensionPair>;

// Each reader takes the reader positioned at a value (its key already read).
// Reader failures pass through with their own code and message.

// The next complete item, copied, paired with `key`.
Result<ExtensionPair> readExtensionPair(CborReader& reader, uint64_t key);
// An array of text strings, each copied, in order.
Result<std::vector<std::string>> readTextArray(CborReader& reader);
// A byte string of exactly 16 bytes; another length fails with ModelInvalid
// "<what> must be 16 bytes (got N)".
Result<Digest128> readHash16(CborReader& reader, const char* what);
// One text string, copied.
Result<std::string> readTextValue(CborReader& reader);

// Hands every pair, bytes unchanged, to the builder that holds the map's
// known keys, so they come out in ascending key order among them.
void addExtensionPairs(CborMapBuilder& builder, const ExtensionList& pairs);

// The first pair with `key`, or null.
const ExtensionPair* findExtension(const ExtensionList& pairs, uint64_t key) noexcept;
ExtensionPair* findExtension(ExtensionList& pairs, uint64_t key) noexcept;
// Replaces the bytes of the pair with `key`, or appends a new pair.
void setExtension(ExtensionList& pairs, uint64_t key, Bytes bytes);

} // namespace vt6::fmt
