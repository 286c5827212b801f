#include "analysis/physical_payload.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "format/bytes.hpp"

namespace vt6::fmt {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A model whose every block row is present (all values 0).
PhysicalModel fullModel(size_t inputs, uint8_t cls = 1) {
    PhysicalModel m;
    m.classCode = cls;
    for (size_t i = 0; i < m.features.size(); ++i) m.features[i] = static_cast<double>(i) * 0.125;
    m.inputs.resize(inputs);
    return m;
}

std::string runtimeText(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "nothing thrown";
}

// Rewrites the length field and the body CRC after an edit.
void reseal(std::vector<uint8_t>& bytes) {
    storeLe32(bytes.data() + 8, static_cast<uint32_t>(bytes.size()));
    storeLe32(bytes.data() + 12, crc32IsoHdlc(std::span<const uint8_t>(bytes).subspan(16)));
}

TEST(PhysicalPayload, Crc32IsTheStandardOne) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32IsoHdlc(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(check.data()), check.size())),
              0xCBF43926u);
    EXPECT_EQ(crc32IsoHdlc({}), 0u);
}

TEST(PhysicalPayload, SizesWithEveryRowPresent) {
    struct Case {
        size_t inputs;
        size_t bytes;
    };
    for (const Case c : {Case{1, 29969}, Case{2, 56158}}) {
        const std::vector<uint8_t> bytes = serializePhysicalModel(fullModel(c.inputs));
        EXPECT_EQ(bytes.size(), c.bytes);
        EXPECT_EQ(std::memcmp(bytes.data(), "VTPF", 4), 0);
        EXPECT_EQ(loadLe16(bytes.data() + 4), 1);
        EXPECT_EQ(bytes[6], 1);
        EXPECT_EQ(bytes[7], c.inputs);
        EXPECT_EQ(loadLe32(bytes.data() + 8), c.bytes);
        const PhysicalModel back = parsePhysicalModel(bytes);
        EXPECT_EQ(back.features, fullModel(1).features);
        EXPECT_EQ(back.inputs.size(), c.inputs);
    }
}

TEST(PhysicalPayload, CodesOfTheByteBlocks) {
    struct Case {
        const char* what;
        CodeMode mode;
        float step;
        float value;
        std::vector<uint8_t> code;
    };
    const std::vector<Case> cases = {
        {"band mean -70", CodeMode::Uint8, -kBandMeanStep, -254.0f * kBandMeanStep, {254}},
        {"band mean 0", CodeMode::Uint8, -kBandMeanStep, 0.0f, {0}},
        {"band mean NaN", CodeMode::Uint8, -kBandMeanStep, kNaN, {255}},
        {"autocorrelation -1", CodeMode::Int8, kAutocorrelationStep, -127.0f * kAutocorrelationStep, {0x81}},
        {"autocorrelation NaN", CodeMode::Int8, kAutocorrelationStep, kNaN, {0x80}},
        {"spread 63.5", CodeMode::Uint8, 0.25f, 63.5f, {254}},
        {"16-bit -0.25", CodeMode::Int16, 0.25f, -0.25f, {0xFF, 0xFF}},
        {"16-bit NaN", CodeMode::Int16, 0.25f, kNaN, {0x00, 0x80}},
    };
    for (const Case& c : cases) {
        // A row with one finite value, so the row is written.
        const std::vector<float> values = {c.value, 0.0f};
        std::vector<uint8_t> out;
        writeQuantizedBlock(out, values, 1, 2, c.mode, c.step);
        ASSERT_GE(out.size(), 4 + c.code.size()) << c.what;
        EXPECT_EQ(loadLe32(out.data()), 1u) << c.what;
        EXPECT_EQ(std::vector<uint8_t>(out.begin() + 4, out.begin() + 4 + static_cast<long>(c.code.size())), c.code)
            << c.what;
        std::vector<float> back(2);
        size_t pos = 0;
        readQuantizedBlock(out, pos, back, 1, 2, c.mode, c.step);
        EXPECT_EQ(pos, out.size()) << c.what;
        if (std::isnan(c.value)) {
            EXPECT_TRUE(std::isnan(back[0])) << c.what;
        } else {
            EXPECT_EQ(back[0], c.value) << c.what;
        }
    }
    EXPECT_EQ(-254.0f * kBandMeanStep, -70.0f);
}

TEST(PhysicalPayload, AbsentRowsTakeNoBytes) {
    const std::vector<float> allNaN(16, kNaN);
    std::vector<uint8_t> out;
    writeQuantizedBlock(out, allNaN, 1, 16, CodeMode::Int16, 0.25f);
    EXPECT_EQ(out, std::vector<uint8_t>(4, 0));
    std::vector<float> back(16, 1.0f);
    size_t pos = 0;
    readQuantizedBlock(out, pos, back, 1, 16, CodeMode::Int16, 0.25f);
    for (const float v : back) EXPECT_TRUE(std::isnan(v));

    PhysicalModel m = fullModel(1);
    m.combined.envelopeDb.fill(kNaN);
    const PhysicalModel parsed = parsePhysicalModel(serializePhysicalModel(m));
    for (const float v : parsed.combined.envelopeDb) EXPECT_TRUE(std::isnan(v));
    for (const uint8_t p : parsed.combined.envelopePresent) EXPECT_EQ(p, 0);
    for (const uint8_t p : parsed.combined.segmentPresent) EXPECT_EQ(p, 1);
}

TEST(PhysicalPayload, RowMasks) {
    struct Case {
        const char* what;
        int32_t rows;
        uint32_t mask;
        std::string text;
    };
    for (const Case& c : {Case{"bit 9 on 9 rows", 9, 0x200, "E8201"}, Case{"bit 8 on 9 rows", 9, 0x100, ""},
                          Case{"any mask on 32 rows", 32, 0xFFFFFFFFu, ""}, Case{"bit 12 on 12 rows", 12, 0x1000, "E8201"}}) {
        std::vector<uint8_t> bytes(4);
        storeLe32(bytes.data(), c.mask);
        bytes.resize(4 + 2 * 32 * 4, 0);
        std::vector<float> dst(static_cast<size_t>(c.rows) * 4);
        size_t pos = 0;
        const std::string got = runtimeText([&] { readQuantizedBlock(bytes, pos, dst, c.rows, 4, CodeMode::Int16, 0.25f); });
        EXPECT_EQ(got, c.text.empty() ? "nothing thrown" : c.text) << c.what;
    }
    std::vector<uint8_t> cut = {0x01, 0, 0, 0, 0x00};
    std::vector<float> dst(4);
    size_t pos = 0;
    EXPECT_EQ(runtimeText([&] { readQuantizedBlock(cut, pos, dst, 1, 4, CodeMode::Int16, 0.25f); }), "E8200");
    std::vector<float> wrong(5);
    pos = 0;
    EXPECT_EQ(runtimeText([&] { readQuantizedBlock(cut, pos, wrong, 1, 4, CodeMode::Int16, 0.25f); }), "E8202");
}

TEST(PhysicalPayload, WriterRefusals) {
    struct Case {
        const char* what;
        std::function<void(PhysicalModel&)> edit;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"class 6", [](PhysicalModel& m) { m.classCode = 6; }, "E8215"},
        {"no input", [](PhysicalModel& m) { m.inputs.clear(); }, "E8215"},
        {"three inputs", [](PhysicalModel& m) { m.inputs.resize(3); }, "E8215"},
        {"NaN feature", [](PhysicalModel& m) { m.features[56] = std::nan(""); }, "E8216"},
        {"infinite feature", [](PhysicalModel& m) { m.features[0] = -INFINITY; }, "E8216"},
        {"NaN spread", [](PhysicalModel& m) { m.combined.spreadDb[3] = kNaN; }, "E8217"},
        {"negative spread", [](PhysicalModel& m) { m.combined.spreadDb[95] = -0.25f; }, "E8217"},
        {"off-grid mean", [](PhysicalModel& m) { m.combined.meanDb[7] = -1.1f; }, "E8213"},
        {"off-grid band mean", [](PhysicalModel& m) { m.inputs[0].windows[1].bandMeanDb[5] = -1.0f; }, "E8213"},
        {"positive band mean", [](PhysicalModel& m) { m.inputs[0].windows[0].bandMeanDb[0] = kBandMeanStep; }, "E8212"},
        {"16-bit code beyond 32767", [](PhysicalModel& m) { m.inputs[0].erbDb[0] = 8192.0f; }, "E8212"},
        {"autocorrelation above 1", [](PhysicalModel& m) { m.inputs[0].windows[2].autocorrelation[9] = 128 * kAutocorrelationStep; }, "E8212"},
        {"infinite envelope", [](PhysicalModel& m) { m.combined.envelopeDb[1] = INFINITY; }, "E8214"},
        {"infinite LPC value", [](PhysicalModel& m) { m.inputs[0].windows[0].lpcDb[3] = -INFINITY; }, "E8214"},
    };
    for (const Case& c : cases) {
        PhysicalModel m = fullModel(1);
        c.edit(m);
        EXPECT_EQ(runtimeText([&] { (void)serializePhysicalModel(m); }), c.text) << c.what;
    }
    std::vector<uint8_t> out;
    const std::vector<float> three(3, 0.0f);
    EXPECT_EQ(runtimeText([&] { writeQuantizedBlock(out, three, 2, 2, CodeMode::Int16, 0.25f); }), "E8211");
}

TEST(PhysicalPayload, ReaderRefusals) {
    const std::vector<uint8_t> good = serializePhysicalModel(fullModel(2));
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> edit;
        std::string text;
    };
    const std::vector<Case> cases = {
        {"15 bytes", [](std::vector<uint8_t>& b) { b.resize(15); }, "E8203"},
        {"61441 bytes", [](std::vector<uint8_t>& b) { b.resize(61441); }, "E8203"},
        {"magic", [](std::vector<uint8_t>& b) { b[3] = 'X'; }, "E8204"},
        {"version 2", [](std::vector<uint8_t>& b) { b[4] = 2; }, "E8204"},
        {"class 6", [](std::vector<uint8_t>& b) { b[6] = 6; }, "E8205"},
        {"no inputs", [](std::vector<uint8_t>& b) { b[7] = 0; }, "E8205"},
        {"three inputs", [](std::vector<uint8_t>& b) { b[7] = 3; }, "E8205"},
        {"length field", [](std::vector<uint8_t>& b) { storeLe32(b.data() + 8, static_cast<uint32_t>(b.size() - 1)); }, "E8205"},
        {"first body byte", [](std::vector<uint8_t>& b) { b[16] ^= 0x01; }, "E8206"},
        {"middle body byte", [](std::vector<uint8_t>& b) { b[b.size() / 2] ^= 0x80; }, "E8206"},
        {"last body byte", [](std::vector<uint8_t>& b) { b.back() ^= 0x10; }, "E8206"},
        {"stored CRC", [](std::vector<uint8_t>& b) { b[12] ^= 0x01; }, "E8206"},
        {"NaN feature", [](std::vector<uint8_t>& b) { storeLe64(b.data() + 16, 0x7FF8000000000000ull); reseal(b); }, "E8207"},
        {"absent spread row", [](std::vector<uint8_t>& b) {
             // The spreads block follows the features and the 32-row means.
             const size_t at = 16 + 456 + 4 + 32 * 48 * 2;
             storeLe32(b.data() + at, 0x1);
             b.erase(b.begin() + static_cast<long>(at + 4 + 96), b.begin() + static_cast<long>(at + 4 + 192));
             reseal(b);
         }, "E8208"},
        {"negative spread", [](std::vector<uint8_t>& b) {
             storeLe16(b.data() + 16 + 456 + 4 + 32 * 48 * 2 + 4, 0xFFFF);
             reseal(b);
         }, "E8208"},
        {"one byte more", [](std::vector<uint8_t>& b) { b.push_back(0); reseal(b); }, "E8209"},
        {"one byte less", [](std::vector<uint8_t>& b) { b.pop_back(); reseal(b); }, "E8200"},
        {"one input declared", [](std::vector<uint8_t>& b) { b[7] = 1; }, "E8209"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes = good;
        c.edit(bytes);
        EXPECT_EQ(runtimeText([&] { (void)parsePhysicalModel(bytes); }), c.text) << c.what;
    }
    EXPECT_EQ(runtimeText([&] { (void)parsePhysicalModel(good); }), "nothing thrown");
}

} // namespace
} // namespace vt6::fmt
