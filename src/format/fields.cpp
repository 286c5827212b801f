#include "format/fields.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

namespace vt6::fmt {

Result<ExtensionPair> readExtensionPair(CborReader& reader, uint64_t key) {
    ZEM_TRY_ASSIGN(ByteView item, reader.value());
    return ExtensionPair{key, Bytes(item.begin(), item.end())};
}

Result<std::vector<std::string>> readTextArray(CborReader& reader) {
    ZEM_TRY_ASSIGN(uint64_t count, reader.enterArray());
    // No reservation from the declared count: a forged count must cost nothing
    // before its elements are actually present in the input.
    std::vector<std::string> out;
    for (uint64_t i = 0; i < count; ++i) {
        ZEM_TRY_ASSIGN(std::string text, readTextValue(reader));
        out.push_back(std::move(text));
    }
    return out;
}

Result<Digest128> readHash16(CborReader& reader, const char* what) {
    ZEM_TRY_ASSIGN(ByteView bytes, reader.readBytes());
    Digest128 hash{};
    if (bytes.size() != hash.size()) {
        return fail(ErrorCode::ModelInvalid,
                    std::string(what) + " must be 16 bytes (got " + std::to_string(bytes.size()) + ")");
    }
    std::copy(bytes.begin(), bytes.end(), hash.begin());
    return hash;
}

Result<std::string> readTextValue(CborReader& reader) {
    ZEM_TRY_ASSIGN(std::string_view text, reader.readText());
    return std::string(text);
}

void addExtensionPairs(CborMapBuilder& builder, const ExtensionList& pairs) {
    for (const ExtensionPair& pair : pairs) builder.addMapPair(pair.key, pair.bytes);
}

const ExtensionPair* findExtension(const ExtensionList& pairs, uint64_t key) noexcept {
    for (const ExtensionPair& pair : pairs) {
        if (pair.key == key) return &pair;
    }
    return nullptr;
}

ExtensionPair* findExtension(ExtensionList& pairs, uint64_t key) noexcept {
    for (ExtensionPair& pair : pairs) {
        if (pair.key == key) return &pair;
    }
    return nullptr;
}

void setExtension(ExtensionList& pairs, uint64_t key, Bytes bytes) {
    if (ExtensionPair* existing = findExtension(pairs, key)) {
        existing->bytes = std::move(bytes);
        return;
    }
    pairs.push_back(ExtensionPair{key, std::move(bytes)});
}

} // namespace vt6::fmt
