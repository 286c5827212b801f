#include "analysis/physical_payload.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "format/bytes.hpp"
#include "format/result.hpp"

namespace vt6::fmt {
namespace {

constexpr uint8_t kMagic[4] = {'V', 'T', 'P', 'F'};
constexpr size_t kHeadBytes = 16;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

[[noreturn]] void fault(int code) { throw std::runtime_error(makeErrorRef(code)); }

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

struct ModeRange {
    int32_t lo;
    int32_t hi;
    int32_t absent;
};

ModeRange rangeOf(CodeMode mode) {
    switch (mode) {
        case CodeMode::Int16: return {-32767, 32767, -32768};
        case CodeMode::Int8: return {-127, 127, -128};
        case CodeMode::Uint8: return {0, 254, 255};
    }
    return {0, 0, 0};
}

// Body bytes beyond the payload limit fail as soon as they appear.
void checkBodySize(const std::vector<uint8_t>& body) {
    if (body.size() > kMaxPhysicalModelPayload) fault(8210);
}

void appendCode(std::vector<uint8_t>& out, CodeMode mode, int32_t code) {
    if (mode == CodeMode::Int16) {
        const auto u = static_cast<uint16_t>(static_cast<int16_t>(code));
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    } else {
        out.push_back(static_cast<uint8_t>(code));
    }
    checkBodySize(out);
}

// The stored steps of the per-window blocks. The level blocks count downwards
// from 0 dB, so their step is negative: value = code * step.
struct WindowBlock {
    size_t offset;
    int32_t rows;
    int32_t columns;
    CodeMode mode;
    float step;
};

template <class W>
auto windowBlocks(W& w) {
    using Values = decltype(w.bandMeanDb.data());
    return std::array<std::pair<Values, WindowBlock>, 4>{{
        {w.bandMeanDb.data(), {0, kBandStatRows, kErbBands, CodeMode::Uint8, -kBandMeanStep}},
        {w.bandSpreadDb.data(), {0, kBandStatRows, kErbBands, CodeMode::Uint8, 0.25f}},
        {w.autocorrelation.data(), {0, kAutocorrelationRows, kAutocorrelationLags, CodeMode::Int8, kAutocorrelationStep}},
        {w.lpcDb.data(), {0, kLpcRows, kLpcFrequencies, CodeMode::Uint8, -kLpcStep}},
    }};
}

void appendDouble(std::vector<uint8_t>& out, double v) {
    uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    uint8_t b[8];
    storeLe64(b, bits);
    out.insert(out.end(), b, b + 8);
}

class Reader {
public:
    explicit Reader(std::span<const uint8_t> bytes, size_t& pos) : bytes_(bytes), pos_(pos) {}
    const uint8_t* take(size_t n) {
        if (bytes_.size() - pos_ < n) fault(8200);
        const uint8_t* p = bytes_.data() + pos_;
        pos_ += n;
        return p;
    }

private:
    std::span<const uint8_t> bytes_;
    size_t& pos_;
};

} // namespace

uint32_t crc32IsoHdlc(std::span<const uint8_t> bytes) noexcept {
    const std::array<uint32_t, 256>& t = crcTable();
    uint32_t c = 0xFFFFFFFFu;
    for (const uint8_t b : bytes) c = t[(c ^ b) & 0xFFu] ^ (c >> 8);
    return ~c;
}

void writeQuantizedBlock(std::vector<uint8_t>& out, std::span<const float> values, int32_t rows, int32_t columns,
                         CodeMode mode, float step) {
    if (rows < 0 || columns < 0 || rows > 32 || values.size() != static_cast<size_t>(rows) * static_cast<size_t>(columns)) {
        fault(8211);
    }
    const ModeRange range = rangeOf(mode);
    uint32_t mask = 0;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < columns; ++c) {
            if (std::isfinite(values[static_cast<size_t>(r * columns + c)])) {
                mask |= uint32_t{1} << r;
                break;
            }
        }
    }
    appendLe32(out, mask);
    checkBodySize(out);
    for (int32_t r = 0; r < rows; ++r) {
        if ((mask & (uint32_t{1} << r)) == 0) continue;
        for (int32_t c = 0; c < columns; ++c) {
            const float v = values[static_cast<size_t>(r * columns + c)];
            int32_t code = range.absent;
            if (std::isinf(v)) fault(8214);
            if (!std::isnan(v)) {
                const float q = std::nearbyint(v / step);
                if (!(q >= static_cast<float>(range.lo) && q <= static_cast<float>(range.hi))) fault(8212);
                code = static_cast<int32_t>(q);
                if (static_cast<float>(code) * step != v) fault(8213);
            }
            appendCode(out, mode, code);
        }
    }
}

void readQuantizedBlock(std::span<const uint8_t> bytes, size_t& pos, std::span<float> destination, int32_t rows,
                        int32_t columns, CodeMode mode, float step) {
    Reader reader(bytes, pos);
    const uint32_t mask = loadLe32(reader.take(4));
    if (rows < 32 && (mask >> rows) != 0) fault(8201);
    if (rows < 0 || columns < 0 || destination.size() != static_cast<size_t>(rows) * static_cast<size_t>(columns)) {
        fault(8202);
    }
    const ModeRange range = rangeOf(mode);
    const size_t width = mode == CodeMode::Int16 ? 2 : 1;
    std::fill(destination.begin(), destination.end(), kNaN);
    for (int32_t r = 0; r < rows; ++r) {
        if ((mask & (uint32_t{1} << r)) == 0) continue;
        const uint8_t* p = reader.take(width * static_cast<size_t>(columns));
        for (int32_t c = 0; c < columns; ++c) {
            int32_t code = 0;
            switch (mode) {
                case CodeMode::Int16: code = static_cast<int16_t>(loadLe16(p + 2 * c)); break;
                case CodeMode::Int8: code = static_cast<int8_t>(p[c]); break;
                case CodeMode::Uint8: code = p[c]; break;
            }
            destination[static_cast<size_t>(r * columns + c)] = code == range.absent ? kNaN : static_cast<float>(code) * step;
        }
    }
}

std::vector<uint8_t> serializePhysicalModel(const PhysicalModel& model) {
    if (model.classCode >= kDrumClassCount || model.inputs.empty() || model.inputs.size() > 2) fault(8215);
    std::vector<uint8_t> body;
    body.reserve(56158);
    for (const double f : model.features) {
        if (!std::isfinite(f)) fault(8216);
        appendDouble(body, f);
        checkBodySize(body);
    }
    std::array<float, kSegmentBands * kSegments> bySegment{};
    for (int32_t s = 0; s < kSegments; ++s) {
        for (int32_t b = 0; b < kSegmentBands; ++b) {
            bySegment[static_cast<size_t>(s * kSegmentBands + b)] = model.combined.meanDb[static_cast<size_t>(b * kSegments + s)];
        }
    }
    writeQuantizedBlock(body, bySegment, kSegments, kSegmentBands, CodeMode::Int16, 0.25f);
    for (const float v : model.combined.spreadDb) {
        if (!std::isfinite(v) || v < 0.0f) fault(8217);
    }
    writeQuantizedBlock(body, model.combined.spreadDb, 2, kSegmentBands, CodeMode::Int16, 0.25f);
    writeQuantizedBlock(body, model.combined.envelopeDb, 1, kEnvelopeSegments, CodeMode::Int16, 0.25f);
    for (const InputDescriptors& input : model.inputs) {
        writeQuantizedBlock(body, input.erbDb, kErbRows, kErbBands, CodeMode::Int16, 0.25f);
        writeQuantizedBlock(body, input.levelDb, 1, kErbRows, CodeMode::Int16, 0.25f);
        for (const WindowDescriptors& w : input.windows) {
            for (const auto& [values, block] : windowBlocks(w)) {
                writeQuantizedBlock(body, std::span<const float>(values, static_cast<size_t>(block.rows * block.columns)),
                                    block.rows, block.columns, block.mode, block.step);
            }
        }
    }
    if (body.size() + kHeadBytes > kMaxPhysicalModelPayload) fault(8218);
    std::vector<uint8_t> out(kHeadBytes);
    std::memcpy(out.data(), kMagic, 4);
    storeLe16(out.data() + 4, 1);
    out[6] = model.classCode;
    out[7] = static_cast<uint8_t>(model.inputs.size());
    storeLe32(out.data() + 8, static_cast<uint32_t>(body.size() + kHeadBytes));
    storeLe32(out.data() + 12, crc32IsoHdlc(body));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

PhysicalModel parsePhysicalModel(std::span<const uint8_t> bytes) {
    const size_t n = bytes.size();
    if (n < kHeadBytes || n > kMaxPhysicalModelPayload) fault(8203);
    if (std::memcmp(bytes.data(), kMagic, 4) != 0 || loadLe16(bytes.data() + 4) != 1) fault(8204);
    const uint8_t classCode = bytes[6];
    const uint8_t inputCount = bytes[7];
    if (classCode >= kDrumClassCount || inputCount < 1 || inputCount > 2 || loadLe32(bytes.data() + 8) != n) fault(8205);
    if (crc32IsoHdlc(bytes.subspan(kHeadBytes)) != loadLe32(bytes.data() + 12)) {
#if !defined(ZEM_FUZZING)
        fault(8206);
#endif
        // Fuzz builds read on past the mismatch, to reach the blocks behind it.
    }

    PhysicalModel model;
    model.classCode = classCode;
    size_t pos = kHeadBytes;
    {
        Reader reader(bytes, pos);
        for (double& f : model.features) {
            uint64_t bits = loadLe64(reader.take(8));
            std::memcpy(&f, &bits, sizeof f);
            if (!std::isfinite(f)) fault(8207);
        }
    }
    std::array<float, kSegmentBands * kSegments> bySegment{};
    readQuantizedBlock(bytes, pos, bySegment, kSegments, kSegmentBands, CodeMode::Int16, 0.25f);
    CombinedDescriptors& combined = model.combined;
    for (int32_t s = 0; s < kSegments; ++s) {
        uint8_t present = 0;
        for (int32_t b = 0; b < kSegmentBands; ++b) {
            const float v = bySegment[static_cast<size_t>(s * kSegmentBands + b)];
            combined.meanDb[static_cast<size_t>(b * kSegments + s)] = v;
            if (std::isfinite(v)) present = 1;
        }
        combined.segmentPresent[static_cast<size_t>(s)] = present;
    }
    readQuantizedBlock(bytes, pos, combined.spreadDb, 2, kSegmentBands, CodeMode::Int16, 0.25f);
    for (const float v : combined.spreadDb) {
        if (!std::isfinite(v) || v < 0.0f) fault(8208);
    }
    readQuantizedBlock(bytes, pos, combined.envelopeDb, 1, kEnvelopeSegments, CodeMode::Int16, 0.25f);
    for (size_t i = 0; i < kEnvelopeSegments; ++i) combined.envelopePresent[i] = std::isfinite(combined.envelopeDb[i]) ? 1 : 0;
    model.inputs.resize(inputCount);
    for (InputDescriptors& input : model.inputs) {
        readQuantizedBlock(bytes, pos, input.erbDb, kErbRows, kErbBands, CodeMode::Int16, 0.25f);
        readQuantizedBlock(bytes, pos, input.levelDb, 1, kErbRows, CodeMode::Int16, 0.25f);
        for (WindowDescriptors& w : input.windows) {
            for (const auto& [values, block] : windowBlocks(w)) {
                readQuantizedBlock(bytes, pos, std::span<float>(values, static_cast<size_t>(block.rows * block.columns)),
                                   block.rows, block.columns, block.mode, block.step);
            }
        }
    }
    if (pos != n) fault(8209);
    return model;
}

} // namespace vt6::fmt
