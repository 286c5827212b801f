#include "format/checksum.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vt6::fmt {
namespace {

ByteView viewOf(std::string_view text) {
    return ByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Deterministic, non-repeating-looking test bytes.
Bytes patternBytes(size_t size, uint32_t seed = 0x9E3779B9u) {
    Bytes out(size);
    uint32_t x = seed;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return out;
}

// Bit-at-a-time reference: independent of both the tables and the instruction.
uint32_t crc32cBitwise(uint32_t state, const uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        state ^= data[i];
        for (int bit = 0; bit < 8; ++bit) state = (state & 1u) ? (state >> 1) ^ 0x82F63B78u : state >> 1;
    }
    return state;
}

std::string hex(const uint8_t* data, size_t size) {
    std::string out;
    char buf[3];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", data[i]);
        out += buf;
    }
    return out;
}

using CrcFn = uint32_t (*)(uint32_t, const uint8_t*, size_t) noexcept;

struct CrcPath {
    const char* name;
    CrcFn fn;
    bool needsSse42;
};

const CrcPath kPaths[] = {
    {"software", &crc32cSoftware, false},
    {"hardware", &crc32cHardware, true},
    {"dispatch", &crc32c, false},
};

class Crc32cPathTest : public ::testing::TestWithParam<CrcPath> {
protected:
    void SetUp() override {
        if (GetParam().needsSse42 && !hasSse42Crc()) GTEST_SKIP() << "processor lacks SSE4.2 crc32";
    }
    uint32_t check(ByteView bytes) const {
        return GetParam().fn(kCrc32cInit, bytes.data(), bytes.size()) ^ 0xFFFFFFFFu;
    }
};

TEST_P(Crc32cPathTest, PublishedCheckValue) {
    EXPECT_EQ(check(viewOf("123456789")), 0xE3069283u);
}

TEST_P(Crc32cPathTest, KnownVectors) {
    // The iSCSI test patterns for CRC-32C.
    Bytes zeros(32, 0x00), ones(32, 0xFF), ascending(32), descending(32);
    for (size_t i = 0; i < 32; ++i) {
        ascending[i] = static_cast<uint8_t>(i);
        descending[i] = static_cast<uint8_t>(31 - i);
    }
    EXPECT_EQ(check(zeros), 0x8A9136AAu);
    EXPECT_EQ(check(ones), 0x62A8AB43u);
    EXPECT_EQ(check(ascending), 0x46DD794Eu);
    EXPECT_EQ(check(descending), 0x113FDB5Cu);
}

TEST_P(Crc32cPathTest, EmptyInputLeavesStateUnchanged) {
    const uint8_t byte = 0xAB;
    for (uint32_t state : {0u, kCrc32cInit, 0x12345678u}) {
        EXPECT_EQ(GetParam().fn(state, nullptr, 0), state);
        EXPECT_EQ(GetParam().fn(state, &byte, 0), state);
    }
    EXPECT_EQ(check(ByteView{}), 0u);
}

TEST_P(Crc32cPathTest, MatchesBitwiseReferenceForLengthsAndOffsets) {
    const Bytes data = patternBytes(4096 + 16);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 17; ++n) lengths.push_back(n);
    for (size_t n : {23u, 31u, 33u, 63u, 65u, 127u, 255u, 1001u, 4095u, 4096u}) lengths.push_back(n);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t n : lengths) {
            const uint8_t* p = data.data() + offset;
            for (uint32_t state : {kCrc32cInit, 0u, 0xDEADBEEFu}) {
                EXPECT_EQ(GetParam().fn(state, p, n), crc32cBitwise(state, p, n))
                    << "offset " << offset << " length " << n << " state " << state;
            }
        }
    }
}

TEST_P(Crc32cPathTest, ChainedCallsEqualOneCallAtEverySplit) {
    const Bytes data = patternBytes(53);
    const uint32_t whole = GetParam().fn(kCrc32cInit, data.data(), data.size());
    for (size_t split = 0; split <= data.size(); ++split) {
        const uint32_t head = GetParam().fn(kCrc32cInit, data.data(), split);
        EXPECT_EQ(GetParam().fn(head, data.data() + split, data.size() - split), whole) << "split at " << split;
    }
}

INSTANTIATE_TEST_SUITE_P(Crc32c, Crc32cPathTest, ::testing::ValuesIn(kPaths),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Crc32cTest, HardwareAndSoftwareAgreeOnLongUnalignedInput) {
    if (!hasSse42Crc()) GTEST_SKIP() << "processor lacks SSE4.2 crc32";
    const Bytes data = patternBytes((1u << 20) + 11, 7);
    for (size_t offset : {0u, 1u, 3u, 5u, 7u}) {
        const size_t n = data.size() - offset;
        EXPECT_EQ(crc32cHardware(kCrc32cInit, data.data() + offset, n),
                  crc32cSoftware(kCrc32cInit, data.data() + offset, n))
            << "offset " << offset;
    }
}

TEST(Crc32cTest, AccumulatorAndOneShotAgree) {
    const Bytes data = patternBytes(1000, 3);
    const ByteView all(data);
    const uint32_t expected = crc32cOf(all);
    EXPECT_EQ(expected, crc32cBitwise(kCrc32cInit, data.data(), data.size()) ^ 0xFFFFFFFFu);

    Crc32cAccumulator fresh;
    EXPECT_EQ(crc32cFinish(fresh), 0u);  // nothing fed: the check value of the empty input

    // Uneven pieces, an empty one among them.
    Crc32cAccumulator acc;
    size_t pos = 0;
    for (size_t piece : {0u, 1u, 7u, 24u, 0u, 100u, 3u}) {
        crc32cUpdate(acc, all.subspan(pos, piece));
        pos += piece;
    }
    crc32cUpdate(acc, all.subspan(pos));
    EXPECT_EQ(crc32cFinish(acc), expected);
    // Finishing reads the value without consuming the state.
    EXPECT_EQ(crc32cFinish(acc), expected);

    EXPECT_EQ(crc32cOf(viewOf("123456789")), 0xE3069283u);
}

struct BlakeVector {
    const char* name;
    Bytes message;
    const char* hex128;
    const char* hex256;
};

Bytes countingBytes(size_t size) {
    Bytes out(size);
    for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(i);
    return out;
}

TEST(Blake2bTest, KnownDigests) {
    // Unkeyed BLAKE2b with the digest length as parameter; the 129-byte message
    // crosses the 128-byte block boundary.
    const BlakeVector vectors[] = {
        {"empty", {}, "cae66941d9efbd404e4d88758ea67670",
         "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8"},
        {"abc", {'a', 'b', 'c'}, "cf4ab791c62b8d2b2109c90275287816",
         "bddd813c634239723171ef3fee98579b94964e3bb1cb3e427262c8c068d52319"},
        {"counting129", countingBytes(129), "aaf1b0371f6d4ee49ee4fb5ddd9c49ef",
         "f7f3c46ba2564ff4c4c162da1f5b605f9f1c4aa6a20652a9f9a337c1a2f5b9c9"},
    };
    for (const auto& v : vectors) {
        const auto d128 = blake2b128(v.message);
        const auto d256 = blake2b256(v.message);
        EXPECT_EQ(hex(d128.data(), d128.size()), v.hex128) << v.name;
        EXPECT_EQ(hex(d256.data(), d256.size()), v.hex256) << v.name;
    }
}

TEST(Blake2bTest, ShortDigestIsNotATruncation) {
    // An empty span carries a null pointer; it must still hash as the empty message.
    const ByteView empty{};
    ASSERT_EQ(empty.data(), nullptr);
    const auto d128 = blake2b128(empty);
    const auto d256 = blake2b256(empty);
    EXPECT_NE(hex(d128.data(), d128.size()), hex(d256.data(), 16));
    // The first 16 bytes of the 64-byte digest of "" are not it either.
    EXPECT_NE(hex(d128.data(), d128.size()), "786a02f742015903c6c6fd852552d272");
    EXPECT_EQ(hex(d128.data(), d128.size()), "cae66941d9efbd404e4d88758ea67670");
}

TEST(Blake2bTest, DigestDependsOnEveryByte) {
    Bytes data = patternBytes(200, 11);
    const auto base = blake2b128(data);
    for (size_t i : {0u, 127u, 128u, 199u}) {
        Bytes changed = data;
        changed[i] ^= 0x01;
        EXPECT_NE(blake2b128(changed), base) << "byte " << i;
    }
    // A trailing zero byte is content, not padding.
    data.push_back(0);
    EXPECT_NE(blake2b128(data), base);
}

} // namespace
} // namespace vt6::fmt
