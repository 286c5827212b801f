#include "format/certificate.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <sodium.h>

#include "format/cbor.hpp"
#include "format/checksum.hpp"
#include "support/bytes.hpp"
#include "support/signing.hpp"

namespace vt6::fmt {
namespace {

using test::hex;
using test::KeyPair;
using test::rawMap;
using test::toHex;

std::vector<std::pair<uint64_t, Bytes>> storedPairs(const PublisherCert& cert) {
    return {
        {1, encodeCborText(cert.publisher_id)},
        {2, encodeCborText(cert.name)},
        {3, encodeCborBytes(cert.pubkey)},
        {4, encodeCborUint(cert.valid_from)},
        {5, encodeCborUint(cert.valid_until)},
        {6, encodeCborBytes(cert.root_sig)},
    };
}

Bytes storedCert(const PublisherCert& cert) { return rawMap(storedPairs(cert)); }

class CertificateTest : public ::testing::Test {
protected:
    void SetUp() override {
        cert.publisher_id = "com.example.drums";
        cert.name = "Example Drums";
        cert.pubkey = publisher.publicKey;
        cert.valid_from = 1000;
        cert.valid_until = 2000;
        signCert(cert);
    }

    void signCert(PublisherCert& c) const { c.root_sig = root.sign(certMessage(c)); }

    KeyPair root = KeyPair::make();
    KeyPair publisher = KeyPair::make();
    PublisherCert cert;
};

TEST_F(CertificateTest, CanonicalEncodingMatchesTheKnownBytes) {
    PublisherCert c;
    c.publisher_id = "a";
    c.valid_from = 0;
    c.valid_until = 1;
    const Bytes expected = test::concat({hex("A5 01 61 61 02 60 03 58 20"), Bytes(32, 0), hex("04 00 05 01")});
    EXPECT_EQ(toHex(encodePublisherCert(c)), toHex(expected));
    EXPECT_EQ(expected.size(), 45u);
}

TEST_F(CertificateTest, CanonicalEncodingUsesShortestHeads) {
    PublisherCert c;
    c.publisher_id = std::string(24, 'x');  // text head 78 18
    c.name = "n";
    c.valid_from = 24;                       // 18 18
    c.valid_until = 0x1'0000'0000ull;        // 1B and eight bytes
    const Bytes encoded = encodePublisherCert(c);
    EXPECT_EQ(toHex(ByteView(encoded).first(3)), "A5 01 78");
    EXPECT_EQ(toHex(ByteView(encoded).last(13)), "04 18 18 05 1B 00 00 00 01 00 00 00 00");
}

TEST_F(CertificateTest, MessageIsLabelThenDigestOfTheCanonicalEncoding) {
    const Bytes message = certMessage(cert);
    ASSERT_EQ(message.size(), kCertMessageBytes);
    // The label is part of what existing roots have signed; changing it
    // breaks every certificate in circulation.
    EXPECT_EQ(std::string(message.begin(), message.begin() + 20), "ZEM6-PUBLISHER-CERT1");
    const Digest256 digest = blake2b256(encodePublisherCert(cert));
    EXPECT_EQ(toHex(ByteView(message).subspan(20)), toHex(digest));
}

TEST_F(CertificateTest, DecodesTheStoredMap) {
    const auto decoded = decodePublisherCert(storedCert(cert));
    ASSERT_TRUE(decoded.ok()) << decoded.message();
    EXPECT_EQ(*decoded, cert);
}

struct DecodeRefusal {
    const char* what;
    std::function<Bytes(std::vector<std::pair<uint64_t, Bytes>>)> build;
    std::string message;
};

TEST_F(CertificateTest, DecodeRefusesEveryMalformedMap) {
    using Pairs = std::vector<std::pair<uint64_t, Bytes>>;
    const DecodeRefusal cases[] = {
        {"empty input", [](Pairs) { return Bytes{}; }, "publisher cert: not a CBOR map (truncated CBOR item)"},
        {"an array", [](Pairs) { return hex("80"); }, "publisher cert: not a CBOR map (expected map)"},
        {"keys descending",
         [](Pairs p) {
             std::swap(p[1], p[2]);
             return rawMap(p);
         },
         "publisher cert: map keys not in ascending order"},
        {"key repeated",
         [](Pairs p) {
             p[1].first = 1;
             return rawMap(p);
         },
         "publisher cert: duplicate map key"},
        {"key not an unsigned integer",
         [](Pairs p) {
             Bytes m = rawMap(p);
             m[1] = 0x20;  // first key becomes -1
             return m;
         },
         "publisher cert: map keys must be unsigned integers"},
        {"map cut short",
         [](Pairs p) {
             Bytes m = rawMap(p);
             m[0] = 0xA7;  // declares a seventh pair that never comes
             return m;
         },
         "publisher cert: truncated CBOR item"},
        {"id not text",
         [](Pairs p) {
             p[0].second = encodeCborUint(7);
             return rawMap(p);
         },
         "expected text string"},
        {"name as bytes",
         [](Pairs p) {
             p[1].second = encodeCborBytes(hex("61"));
             return rawMap(p);
         },
         "expected text string"},
        {"pubkey as text",
         [](Pairs p) {
             p[2].second = encodeCborText("k");
             return rawMap(p);
         },
         "expected byte string"},
        {"valid_from negative",
         [](Pairs p) {
             p[3].second = hex("20");
             return rawMap(p);
         },
         "expected unsigned integer"},
        {"valid_until not shortest",
         [](Pairs p) {
             p[4].second = hex("18 05");
             return rawMap(p);
         },
         "integer/length not in shortest form"},
        {"seventh key 7",
         [](Pairs p) {
             p.emplace_back(7, encodeCborUint(0));
             return rawMap(p);
         },
         "publisher cert: unknown key 7"},
        {"seventh key 0",
         [](Pairs p) {
             p.insert(p.begin(), {0, encodeCborUint(0)});
             return rawMap(p);
         },
         "publisher cert: unknown key 0"},
        {"pubkey of 31 bytes",
         [](Pairs p) {
             p[2].second = encodeCborBytes(Bytes(31, 1));
             return rawMap(p);
         },
         "publisher cert: pubkey must be 32 bytes (got 31)"},
        {"root_sig of 65 bytes",
         [](Pairs p) {
             p[5].second = encodeCborBytes(Bytes(65, 1));
             return rawMap(p);
         },
         "publisher cert: root_sig must be 64 bytes (got 65)"},
        {"byte after the map",
         [](Pairs p) {
             Bytes m = rawMap(p);
             m.push_back(0);
             return m;
         },
         "publisher cert: trailing bytes (trailing bytes after CBOR value)"},
        {"keys 2 and 5 missing",
         [](Pairs p) {
             p.erase(p.begin() + 4);
             p.erase(p.begin() + 1);
             return rawMap(p);
         },
         "publisher cert: missing key 2"},
        {"root_sig missing",
         [](Pairs p) {
             p.pop_back();
             return rawMap(p);
         },
         "publisher cert: missing key 6"},
        {"laws applied: empty id",
         [](Pairs p) {
             p[0].second = encodeCborText("");
             return rawMap(p);
         },
         "publisher cert: empty publisher_id"},
        {"laws applied: empty window",
         [](Pairs p) {
             p[4].second = encodeCborUint(1000);
             return rawMap(p);
         },
         "publisher cert: valid_until 1000 is not after valid_from 1000"},
    };
    for (const DecodeRefusal& c : cases) {
        SCOPED_TRACE(c.what);
        const auto decoded = decodePublisherCert(c.build(storedPairs(cert)));
        ASSERT_FALSE(decoded.ok());
        // Whatever the reader reported, the certificate's code wins.
        EXPECT_EQ(decoded.code(), ErrorCode::PublisherCertInvalid);
        EXPECT_EQ(decoded.message(), c.message);
    }
}

TEST_F(CertificateTest, LawsAcceptTheBoundariesAndRefuseBeyond) {
    struct Case {
        const char* what;
        std::function<void(PublisherCert&)> change;
        std::string message;  // empty: accepted
    };
    const Case cases[] = {
        {"empty name", [](PublisherCert& c) { c.name.clear(); }, ""},
        {"160-byte id and name",
         [](PublisherCert& c) {
             c.publisher_id.assign(160, 'i');
             c.name.assign(160, 'n');
         },
         ""},
        {"161-byte id", [](PublisherCert& c) { c.publisher_id.assign(161, 'i'); },
         "publisher cert: id/name exceed 160 bytes"},
        {"161-byte name", [](PublisherCert& c) { c.name.assign(161, 'n'); },
         "publisher cert: id/name exceed 160 bytes"},
        {"empty id beats long name",
         [](PublisherCert& c) {
             c.publisher_id.clear();
             c.name.assign(161, 'n');
         },
         "publisher cert: empty publisher_id"},
        {"window of one", [](PublisherCert& c) { c.valid_until = c.valid_from + 1; }, ""},
        {"window empty", [](PublisherCert& c) { c.valid_until = c.valid_from; },
         "publisher cert: valid_until 1000 is not after valid_from 1000"},
        {"window reversed (unsigned comparison)",
         [](PublisherCert& c) {
             c.valid_from = std::numeric_limits<uint64_t>::max();
             c.valid_until = 5;
         },
         "publisher cert: valid_until 5 is not after valid_from 18446744073709551615"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PublisherCert changed = cert;
        c.change(changed);
        const auto checked = checkPublisherCert(changed);
        if (c.message.empty()) {
            EXPECT_TRUE(checked.ok()) << checked.message();
            // The decoder applies the same laws.
            EXPECT_TRUE(decodePublisherCert(storedCert(changed)).ok());
        } else {
            ASSERT_FALSE(checked.ok());
            EXPECT_EQ(checked.code(), ErrorCode::PublisherCertInvalid);
            EXPECT_EQ(checked.message(), c.message);
        }
    }
}

TEST_F(CertificateTest, ExtractTakesTheFirstKey15Pair) {
    ModelMetadata metadata;
    metadata.extensions.push_back({14, encodeCborUint(1)});
    {
        const auto none = extractPublisherCert(metadata);
        ASSERT_TRUE(none.ok());
        EXPECT_FALSE(none->has_value());
    }
    metadata.extensions.push_back({15, storedCert(cert)});
    metadata.extensions.push_back({15, hex("00")});
    {
        const auto found = extractPublisherCert(metadata);
        ASSERT_TRUE(found.ok()) << found.message();
        ASSERT_TRUE(found->has_value());
        EXPECT_EQ(**found, cert);
    }
    std::swap(metadata.extensions[1], metadata.extensions[2]);
    {
        const auto broken = extractPublisherCert(metadata);
        ASSERT_FALSE(broken.ok());
        EXPECT_EQ(broken.code(), ErrorCode::PublisherCertInvalid);
        EXPECT_EQ(broken.message(), "publisher cert: not a CBOR map (expected map)");
    }
}

TEST_F(CertificateTest, VerifiesOverTheWholeWindowEndsIncluded) {
    for (const uint64_t time : {uint64_t{1000}, uint64_t{1500}, uint64_t{2000}}) {
        const auto verified = verifyPublisherCert(cert, root.publicKey, time);
        EXPECT_TRUE(verified.ok()) << time << ": " << verified.message();
    }
}

TEST_F(CertificateTest, SigningTimeOutsideTheWindowIsExpired) {
    const struct {
        uint64_t time;
        std::string message;
    } cases[] = {
        {999, "publisher cert 'com.example.drums' validity [1000,2000] does not cover the verification time 999"},
        {2001, "publisher cert 'com.example.drums' validity [1000,2000] does not cover the verification time 2001"},
    };
    for (const auto& c : cases) {
        const auto verified = verifyPublisherCert(cert, root.publicKey, c.time);
        ASSERT_FALSE(verified.ok());
        EXPECT_EQ(verified.code(), ErrorCode::PublisherCertExpired);
        EXPECT_EQ(verified.message(), c.message);
    }
}

TEST_F(CertificateTest, WindowReachingTheLargestTimeCoversIt) {
    cert.valid_from = 0;
    cert.valid_until = std::numeric_limits<uint64_t>::max();
    signCert(cert);
    EXPECT_TRUE(verifyPublisherCert(cert, root.publicKey, 0).ok());
    EXPECT_TRUE(verifyPublisherCert(cert, root.publicKey, std::numeric_limits<uint64_t>::max()).ok());
}

TEST_F(CertificateTest, AnotherRootIsUntrusted) {
    const KeyPair otherRoot = KeyPair::make();
    const auto verified = verifyPublisherCert(cert, otherRoot.publicKey, 1500);
    ASSERT_FALSE(verified.ok());
    EXPECT_EQ(verified.code(), ErrorCode::PublisherCertUntrusted);
    const std::string prefix = "publisher cert 'com.example.drums";
    ASSERT_EQ(verified.message().substr(0, prefix.size()), prefix);
    EXPECT_EQ(verified.message().size(), prefix.size() + 41);
    EXPECT_EQ(verified.message(), prefix + "' is not signed by the known signing root");
}

TEST_F(CertificateTest, LawsComeBeforeTheSignatureAndTheSignatureBeforeTheWindow) {
    PublisherCert noId = cert;
    noId.publisher_id.clear();
    const auto lawFirst = verifyPublisherCert(noId, root.publicKey, 1500);
    EXPECT_EQ(lawFirst.code(), ErrorCode::PublisherCertInvalid);
    EXPECT_EQ(lawFirst.message(), "publisher cert: empty publisher_id");

    const KeyPair otherRoot = KeyPair::make();
    const auto signatureFirst = verifyPublisherCert(cert, otherRoot.publicKey, 5000);
    EXPECT_EQ(signatureFirst.code(), ErrorCode::PublisherCertUntrusted);
}

TEST_F(CertificateTest, EverySignedFieldIsBoundByTheRootSignature) {
    const std::pair<const char*, std::function<void(PublisherCert&)>> changes[] = {
        {"publisher_id", [](PublisherCert& c) { c.publisher_id[0] ^= 1; }},
        {"name", [](PublisherCert& c) { c.name.back() ^= 1; }},
        {"name extended", [](PublisherCert& c) { c.name += ' '; }},
        {"pubkey", [](PublisherCert& c) { c.pubkey[31] ^= 0x80; }},
        {"valid_from", [](PublisherCert& c) { c.valid_from -= 1; }},
        {"valid_until", [](PublisherCert& c) { c.valid_until += 1; }},
    };
    const Bytes original = certMessage(cert);
    for (const auto& [what, change] : changes) {
        SCOPED_TRACE(what);
        PublisherCert changed = cert;
        change(changed);
        EXPECT_NE(certMessage(changed), original);
        const auto verified = verifyPublisherCert(changed, root.publicKey, 1500);
        EXPECT_EQ(verified.code(), ErrorCode::PublisherCertUntrusted);
    }
    PublisherCert resigned = cert;
    resigned.root_sig[0] ^= 1;
    EXPECT_EQ(certMessage(resigned), original);
    EXPECT_EQ(verifyPublisherCert(resigned, root.publicKey, 1500).code(), ErrorCode::PublisherCertUntrusted);
}

TEST_F(CertificateTest, Ed25519CheckAcceptsOnlyTheSignedMessageUnderItsKey) {
    const Bytes message = hex("01 02 03");
    const Ed25519Signature sig = publisher.sign(message);
    EXPECT_TRUE(ed25519Verify(message, publisher.publicKey, sig));
    EXPECT_FALSE(ed25519Verify(hex("01 02 04"), publisher.publicKey, sig));
    EXPECT_FALSE(ed25519Verify(message, root.publicKey, sig));
    const Ed25519Signature empty = publisher.sign(ByteView());
    EXPECT_TRUE(ed25519Verify(ByteView(), publisher.publicKey, empty));
    EXPECT_FALSE(ed25519Verify(ByteView(), publisher.publicKey, Ed25519Signature{}));
}

// The built-in root is the build's configured key, unmasked intact.
TEST(BuiltInRootKey, IsTheConfiguredKey) {
    const std::string hexKey = ZEM_SIGNING_ROOT_KEY_HEX;
    ASSERT_EQ(hexKey.size(), 64u);
    const Bytes expected = test::hex(hexKey);
    const Ed25519PublicKey key = builtInRootKey();
    EXPECT_EQ(Bytes(key.begin(), key.end()), expected);
}

} // namespace
} // namespace vt6::fmt
