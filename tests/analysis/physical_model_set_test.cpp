#include "analysis/physical_model_set.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "analysis/physical_payload.hpp"
#include "format/bytes.hpp"

namespace vt6::fmt {
namespace {

std::vector<uint8_t> payloadOf(size_t inputs, uint8_t cls = 0) {
    PhysicalModel m;
    m.classCode = cls;
    m.features[0] = 2.5;
    m.features[56] = -1.0;
    m.inputs.resize(inputs);
    // Absent rows keep the payload small.
    for (InputDescriptors& in : m.inputs) {
        in.erbDb.fill(std::numeric_limits<float>::quiet_NaN());
        for (WindowDescriptors& w : in.windows) {
            w.bandMeanDb.fill(std::numeric_limits<float>::quiet_NaN());
            w.bandSpreadDb.fill(std::numeric_limits<float>::quiet_NaN());
            w.autocorrelation.fill(std::numeric_limits<float>::quiet_NaN());
            w.lpcDb.fill(std::numeric_limits<float>::quiet_NaN());
        }
    }
    return serializePhysicalModel(m);
}

PhysicalModelEntry unusable(uint64_t id) { return PhysicalModelEntry{id, kPhysicalEntryUnusable, {}, {}}; }

PhysicalModelEntry analysed(uint64_t id, std::vector<uint64_t> uids, uint8_t cls = 0) {
    const size_t inputs = uids.size();
    return PhysicalModelEntry{id, kPhysicalEntryAnalysed, std::move(uids), payloadOf(inputs, cls)};
}

struct Outcome {
    ErrorCode code;
    std::string text;
};

Outcome outcomeOf(const Result<std::vector<uint8_t>>& r) {
    return r.ok() ? Outcome{ErrorCode::ReadIo, "ok"} : Outcome{r.code(), r.message()};
}

Outcome decodeOutcome(std::span<const uint8_t> blob) {
    const Result<std::vector<PhysicalModelInfo>> r = decodePhysicalModelSet(blob);
    return r.ok() ? Outcome{ErrorCode::ReadIo, "ok"} : Outcome{r.code(), r.message()};
}

TEST(PhysicalModelSet, OneUnusableEntryIs44Bytes) {
    const std::vector<PhysicalModelEntry> entries = {unusable(7)};
    const Result<std::vector<uint8_t>> blob = encodePhysicalModelSet(entries);
    ASSERT_TRUE(blob.ok()) << blob.message();
    ASSERT_EQ(blob->size(), 44u);
    EXPECT_EQ(std::memcmp(blob->data(), "VTAM", 4), 0);
    EXPECT_EQ(loadLe32(blob->data() + 4), 1u);
    EXPECT_EQ(loadLe32(blob->data() + 8), 1u);
    EXPECT_EQ(loadLe64(blob->data() + 12), 7u);
    EXPECT_EQ((*blob)[20], 2);
    for (size_t i = 21; i < 44; ++i) EXPECT_EQ((*blob)[i], 0) << i;
}

TEST(PhysicalModelSet, DecodedRecords) {
    const std::vector<PhysicalModelEntry> entries = {analysed(3, {11, 12}, 4), unusable(5), analysed(9, {40}, 2)};
    const Result<std::vector<uint8_t>> blob = encodePhysicalModelSet(entries);
    ASSERT_TRUE(blob.ok()) << blob.message();
    const Result<std::vector<PhysicalModelInfo>> infos = decodePhysicalModelSet(*blob);
    ASSERT_TRUE(infos.ok()) << infos.message();
    ASSERT_EQ(infos->size(), 3u);
    const PhysicalModelInfo& a = (*infos)[0];
    EXPECT_EQ(a.articulationId, 3u);
    EXPECT_EQ(a.kind, 0);
    EXPECT_EQ(a.sampleUids, (std::vector<uint64_t>{11, 12}));
    EXPECT_EQ(a.drumType, kDrumHiHat);
    EXPECT_EQ(a.features[0], 2.5);
    EXPECT_EQ(a.payloadOffset, 12u + 32u);
    EXPECT_EQ(a.payloadLength, entries[0].payload.size());
    EXPECT_EQ(a.payloadChecksum, loadLe32(entries[0].payload.data() + 12));
    const PhysicalModelInfo& b = (*infos)[1];
    EXPECT_EQ(b.kind, 2);
    EXPECT_TRUE(b.sampleUids.empty());
    EXPECT_EQ(b.drumType, kDrumUnknown);
    EXPECT_EQ(b.payloadOffset, 0u);
    EXPECT_EQ(b.payloadChecksum, 0u);
    EXPECT_EQ(b.features, PhysicalFeatures{});
    EXPECT_EQ((*infos)[2].drumType, kDrumTom);
    EXPECT_EQ((*infos)[2].payloadOffset, 12u + 32u + a.payloadLength + 32u + 32u);
}

TEST(PhysicalModelSet, EncoderRefusals) {
    struct Case {
        const char* what;
        std::vector<PhysicalModelEntry> entries;
        ErrorCode code;
        std::string text;
    };
    std::vector<PhysicalModelEntry> many;
    for (uint64_t i = 0; i < 1025; ++i) many.push_back(unusable(i));
    std::vector<PhysicalModelEntry> most(many.begin(), many.end() - 1);
    PhysicalModelEntry tooBig = analysed(1, {5});
    tooBig.payload.resize(61441);
    PhysicalModelEntry exact = analysed(1, {5});
    exact.payload.resize(61440);
    const std::vector<Case> cases = {
        {"no entries", {}, ErrorCode::ModelInvalid, "E8230"},
        {"1025 entries", many, ErrorCode::ModelInvalid, "E8230"},
        {"1024 entries", most, ErrorCode::ReadIo, "ok"},
        {"repeated id", {unusable(4), unusable(4)}, ErrorCode::ModelInvalid, "E8231"},
        {"kind 4", {PhysicalModelEntry{1, 4, {}, {}}}, ErrorCode::ModelInvalid, "E8231"},
        {"three uids", {PhysicalModelEntry{1, 2, {1, 2, 3}, {}}}, ErrorCode::ModelInvalid, "E8231"},
        {"kind 0 without payload", {PhysicalModelEntry{1, 0, {}, {}}}, ErrorCode::ModelInvalid, "E8232"},
        {"kind 2 with payload", {PhysicalModelEntry{1, 2, {}, {1}}}, ErrorCode::ModelInvalid, "E8232"},
        {"payload of 61441 bytes", {tooBig}, ErrorCode::ModelInvalid, "E8233"},
        // Accepted by the framing; the self-check then finds no model in it.
        {"payload of 61440 bytes", {exact}, ErrorCode::ModelInvalid, "E8244"},
        {"uid 0", {analysed(1, {0})}, ErrorCode::UidLaw, "E8239"},
        {"equal uids", {analysed(1, {6, 6})}, ErrorCode::UidLaw, "E8239"},
        {"one uid, two inputs", {PhysicalModelEntry{1, 0, {6}, payloadOf(2)}}, ErrorCode::ModelInvalid, "E8243"},
        {"kind 3 with uids", {PhysicalModelEntry{1, 3, {6}, {}}}, ErrorCode::ModelInvalid, "E8245"},
    };
    for (const Case& c : cases) {
        const Outcome o = outcomeOf(encodePhysicalModelSet(c.entries));
        EXPECT_EQ(o.text, c.text) << c.what;
        EXPECT_EQ(o.code, c.code) << c.what;
    }
}

TEST(PhysicalModelSet, BlobCapOf16MiB) {
    // 2-input payloads of the full size: 56158 bytes each.
    PhysicalModel m;
    m.inputs.resize(2);
    const std::vector<uint8_t> payload = serializePhysicalModel(m);
    ASSERT_EQ(payload.size(), 56158u);
    std::vector<PhysicalModelEntry> entries;
    uint64_t size = 12;
    while (size + 32 + payload.size() <= kMaxPhysicalModelSetBytes) {
        entries.push_back(PhysicalModelEntry{entries.size() + 1, 0, {2 * entries.size() + 1, 2 * entries.size() + 2}, payload});
        size += 32 + payload.size();
    }
    EXPECT_EQ(entries.size(), 298u);
    EXPECT_TRUE(encodePhysicalModelSet(entries).ok());
    entries.push_back(PhysicalModelEntry{9999, 0, {70001, 70002}, payload});
    const Outcome o = outcomeOf(encodePhysicalModelSet(entries));
    EXPECT_EQ(o.text, "E8233");
}

std::vector<uint8_t> blobOf(const std::vector<PhysicalModelEntry>& entries) {
    Result<std::vector<uint8_t>> r = encodePhysicalModelSet(entries);
    EXPECT_TRUE(r.ok()) << r.message();
    return r.ok() ? std::move(r).value() : std::vector<uint8_t>{};
}

TEST(PhysicalModelSet, DecoderRefusals) {
    const std::vector<uint8_t> two = blobOf({analysed(1, {10}), unusable(2)});
    const size_t second = 12 + 32 + loadLe32(two.data() + 12 + 12);
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> edit;
        ErrorCode code;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"11 bytes", [](std::vector<uint8_t>& b) { b.resize(11); }, ErrorCode::ModelInvalid, "E8234"},
        {"above 16 MiB", [](std::vector<uint8_t>& b) { b.resize(kMaxPhysicalModelSetBytes + 1); }, ErrorCode::ModelInvalid, "E8234"},
        {"magic", [](std::vector<uint8_t>& b) { b[0] = 'W'; }, ErrorCode::ModelInvalid, "E8235"},
        {"version 2", [](std::vector<uint8_t>& b) { b[4] = 2; }, ErrorCode::ModelInvalid, "E8235"},
        {"count 0", [](std::vector<uint8_t>& b) { storeLe32(b.data() + 8, 0); }, ErrorCode::ModelInvalid, "E8236"},
        {"count 1025", [](std::vector<uint8_t>& b) { storeLe32(b.data() + 8, 1025); }, ErrorCode::ModelInvalid, "E8236"},
        {"count 3 in 100 bytes", [](std::vector<uint8_t>& b) { b.resize(100); storeLe32(b.data() + 8, 3); }, ErrorCode::ModelInvalid, "E8236"},
        {"last head cut", [](std::vector<uint8_t>& b) { storeLe32(b.data() + 8, 3); }, ErrorCode::ModelInvalid, "E8237"},
        {"repeated id", [&](std::vector<uint8_t>& b) { storeLe64(b.data() + second, 1); }, ErrorCode::ModelInvalid, "E8238"},
        {"kind 4", [&](std::vector<uint8_t>& b) { b[second + 8] = 4; }, ErrorCode::ModelInvalid, "E8238"},
        {"uid count 3", [&](std::vector<uint8_t>& b) { b[second + 9] = 3; }, ErrorCode::ModelInvalid, "E8238"},
        {"reserved", [&](std::vector<uint8_t>& b) { b[second + 11] = 1; }, ErrorCode::ModelInvalid, "E8238"},
        {"listed uid 0", [](std::vector<uint8_t>& b) { storeLe64(b.data() + 12 + 16, 0); }, ErrorCode::UidLaw, "E8239"},
        {"unlisted uid slot", [](std::vector<uint8_t>& b) { storeLe64(b.data() + 12 + 24, 5); }, ErrorCode::ModelInvalid, "E8240"},
        {"payload length past the end", [&](std::vector<uint8_t>& b) { storeLe32(b.data() + second + 12, 1); }, ErrorCode::ModelInvalid, "E8241"},
        {"cut inside the last payload", [](std::vector<uint8_t>& b) { b.resize(b.size() - 40); storeLe32(b.data() + 8, 1); }, ErrorCode::ModelInvalid, "E8241"},
        {"kind 0 without payload", [&](std::vector<uint8_t>& b) { b[second + 8] = 0; }, ErrorCode::ModelInvalid, "E8242"},
        {"kind 2 with payload", [](std::vector<uint8_t>& b) { b[12 + 8] = 2; }, ErrorCode::ModelInvalid, "E8242"},
        {"two uids on a one-input payload", [](std::vector<uint8_t>& b) { b[12 + 9] = 2; storeLe64(b.data() + 12 + 24, 11); }, ErrorCode::ModelInvalid, "E8243"},
        {"payload byte", [](std::vector<uint8_t>& b) { b[12 + 32 + 100] ^= 1; }, ErrorCode::ModelInvalid, "E8244"},
        {"uids without payload", [&](std::vector<uint8_t>& b) { b[second + 9] = 1; storeLe64(b.data() + second + 16, 3); }, ErrorCode::ModelInvalid, "E8245"},
        {"one byte more", [](std::vector<uint8_t>& b) { b.push_back(0); }, ErrorCode::ModelInvalid, "E8246"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> blob = two;
        c.edit(blob);
        const Outcome o = decodeOutcome(blob);
        EXPECT_EQ(o.text, c.text) << c.what;
        EXPECT_EQ(o.code, c.code) << c.what;
    }
    EXPECT_EQ(decodeOutcome(two).text, "ok");
}

} // namespace
} // namespace vt6::fmt
