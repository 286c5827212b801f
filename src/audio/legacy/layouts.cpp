#include "audio/legacy/layouts.hpp"

#include <algorithm>

namespace vt6::zem {

const char* legacyVersionName(int index) noexcept {
    if (index < 0 || index >= kLegacyVersionCount) return "?";
    return kLegacyVersions[static_cast<size_t>(index)].magic;
}

std::string readLengthPrefixedText(std::span<const uint8_t> header, size_t offset) {
    std::string text;
    if (offset >= header.size()) return text;
    const size_t declared = std::min<size_t>(header[offset], kLegacyMaxPrefixedText);
    const size_t end = offset + 1 + std::min(declared, header.size() - offset - 1);
    for (size_t i = offset + 1; i < end && header[i] != 0; ++i) text.push_back(static_cast<char>(header[i]));
    return text;
}

std::string readBoundedText(std::span<const uint8_t> header, size_t offset) {
    std::string text;
    if (offset >= header.size()) return text;
    const size_t end = offset + std::min(kLegacyMaxBoundedText, header.size() - offset);
    for (size_t i = offset; i < end && header[i] != 0; ++i) text.push_back(static_cast<char>(header[i]));
    return text;
}

} // namespace vt6::zem
