#pragma once
// Byte helpers shared by the tests: hex fixtures in, readable hex out.

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "format/bytes.hpp"

namespace vt6::test {

// Parses hex digits, ignoring anything else (blanks, separators).
inline fmt::Bytes hex(std::string_view text) {
    fmt::Bytes out;
    int pending = -1;
    for (const char c : text) {
        int nibble;
        if (c >= '0' && c <= '9') nibble = c - '0';
        else if (c >= 'A' && c <= 'F') nibble = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') nibble = c - 'a' + 10;
        else continue;
        if (pending < 0) {
            pending = nibble;
        } else {
            out.push_back(static_cast<uint8_t>(pending * 16 + nibble));
            pending = -1;
        }
    }
    return out;
}

inline std::string toHex(fmt::ByteView bytes) {
    std::string out;
    char buf[4];
    for (const uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%s%02X", out.empty() ? "" : " ", b);
        out += buf;
    }
    return out;
}

inline fmt::Bytes concat(std::initializer_list<fmt::Bytes> parts) {
    fmt::Bytes out;
    for (const fmt::Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

} // namespace vt6::test
