#include "format/cbor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>

namespace vt6::fmt {

namespace {

constexpr uint8_t kMajorUint = 0;
constexpr uint8_t kMajorNegative = 1;
constexpr uint8_t kMajorBytes = 2;
constexpr uint8_t kMajorText = 3;
constexpr uint8_t kMajorArray = 4;
constexpr uint8_t kMajorMap = 5;
constexpr uint8_t kMajorTag = 6;
constexpr uint8_t kMajorSimple = 7;

constexpr uint8_t kAiFalse = 20;
constexpr uint8_t kAiTrue = 21;
constexpr uint8_t kAiHalf = 25;
constexpr uint8_t kAiSingle = 26;
constexpr uint8_t kAiDouble = 27;

constexpr uint16_t kCanonicalHalfNaN = 0x7E00;

const char* const kTruncated = "truncated CBOR item";
const char* const kNonCanonicalNaN = "non-canonical NaN (must be f9 7e00)";
const char* const kKeyNotUint = "map keys must be unsigned integers";
const char* const kDuplicateKey = "duplicate map key";
const char* const kKeysUnordered = "map keys not in ascending order";
const char* const kTooDeep = "container nesting exceeds depth 4";

ErrorInfo truncated() { return fail(ErrorCode::CborNonCanonical, kTruncated); }

// Keys must rise strictly; an equal key and a smaller key are told apart
// because they come from different writer faults.
Result<Unit> checkKeyOrder(bool haveLast, uint64_t last, uint64_t key) {
    if (haveLast) {
        if (key == last) return fail(ErrorCode::CborDuplicateKey, kDuplicateKey);
        if (key < last) return fail(ErrorCode::CborNonCanonical, kKeysUnordered);
    }
    return Unit{};
}

// Converting a finite double beyond float's range is undefined in C++, so
// such values are answered before any narrowing.
bool narrowsToFloat(double v, float* out) noexcept {
    if (std::isnan(v)) return false;
    if (std::isfinite(v) && std::fabs(v) > static_cast<double>(std::numeric_limits<float>::max())) return false;
    const float f = static_cast<float>(v);
    if (std::bit_cast<uint64_t>(static_cast<double>(f)) != std::bit_cast<uint64_t>(v)) return false;
    *out = f;
    return true;
}

double halfToDouble(uint16_t bits) noexcept {
    const int exponent = (bits >> 10) & 0x1F;
    const int mantissa = bits & 0x3FF;
    double v;
    if (exponent == 0) {
        v = std::ldexp(static_cast<double>(mantissa), -24);
    } else if (exponent == 31) {
        v = mantissa == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    } else {
        v = std::ldexp(static_cast<double>(1024 + mantissa), exponent - 25);
    }
    return (bits & 0x8000) ? -v : v;
}

// Float laws of the profile: one NaN, and every value in its narrowest width.
Result<double> decodeCborFloat(uint8_t ai, uint64_t bits) {
    if (ai == kAiHalf) {
        const auto half = static_cast<uint16_t>(bits);
        const bool isNaN = (half & 0x7C00) == 0x7C00 && (half & 0x03FF) != 0;
        if (isNaN && half != kCanonicalHalfNaN) return fail(ErrorCode::CborNonCanonical, kNonCanonicalNaN);
        return halfToDouble(half);
    }
    if (ai == kAiSingle) {
        const float f = std::bit_cast<float>(static_cast<uint32_t>(bits));
        if (std::isnan(f)) return fail(ErrorCode::CborNonCanonical, kNonCanonicalNaN);
        const double v = static_cast<double>(f);
        if (fitsHalf(v)) return fail(ErrorCode::CborNonCanonical, "float not in shortest form (fits half)");
        return v;
    }
    const double v = std::bit_cast<double>(bits);
    if (std::isnan(v)) return fail(ErrorCode::CborNonCanonical, kNonCanonicalNaN);
    if (fitsSingle(v)) return fail(ErrorCode::CborNonCanonical, "float not in shortest form (fits single)");
    return v;
}

void appendBigEndian(Bytes& out, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

} // namespace

// ---------------------------------------------------------------------------
// Float helpers

bool fitsHalf(double v, uint16_t* halfBits) noexcept {
    float f;
    if (!narrowsToFloat(v, &f)) return false;
    const uint32_t bits = std::bit_cast<uint32_t>(f);
    const uint32_t sign = (bits >> 16) & 0x8000;
    const uint32_t e = (bits >> 23) & 0xFF;
    const uint32_t m = bits & 0x7FFFFF;
    uint32_t half;
    if (e == 0) {
        if (m != 0) return false;
        half = sign;
    } else if (e >= 103 && e <= 112) {
        const uint32_t full = m + (1u << 23);
        const uint32_t shift = 126 - e;
        if ((full & ((1u << shift) - 1)) != 0) return false;
        half = sign | (full >> shift);
    } else if (e >= 113 && e <= 142) {
        if ((m & 0x1FFF) != 0) return false;
        half = sign | ((e - 112) << 10) | (m >> 13);
    } else if (e == 255) {
        half = sign | 0x7C00;
    } else {
        return false;
    }
    if (halfBits) *halfBits = static_cast<uint16_t>(half);
    return true;
}

bool fitsSingle(double v) noexcept {
    float f;
    return narrowsToFloat(v, &f);
}

// ---------------------------------------------------------------------------
// Reader

Result<CborHead> CborReader::readHead() {
    if (pos_ >= input_.size()) return truncated();
    const uint8_t byte = input_[pos_++];
    const auto major = static_cast<uint8_t>(byte >> 5);
    const auto ai = static_cast<uint8_t>(byte & 31);
    if (major == kMajorTag) {
        return fail(ErrorCode::CborTag, "CBOR tag encountered — the restricted profile's tag allowlist is empty");
    }
    uint64_t argument = ai;
    if (ai < 24) {
        if (major == kMajorSimple && ai != kAiFalse && ai != kAiTrue) {
            return fail(ErrorCode::CborType, "unsupported simple value (profile allows false/true only)");
        }
    } else {
        if (ai == 31) return fail(ErrorCode::CborNonCanonical, "indefinite-length item (definite-length only)");
        if (ai > 27) return fail(ErrorCode::CborType, "reserved CBOR additional-info value");
        if (major == kMajorSimple && ai == 24) {
            return fail(ErrorCode::CborType, "extended simple value (profile allows false/true only)");
        }
        const size_t width = size_t{1} << (ai - 24);
        if (input_.size() - pos_ < width) return truncated();
        argument = 0;
        for (size_t i = 0; i < width; ++i) argument = (argument << 8) | input_[pos_ + i];
        pos_ += width;
        static constexpr uint64_t kMinimum[4] = {24, 256, 65536, 4294967296ull};
        if (major != kMajorSimple && argument < kMinimum[ai - 24]) {
            return fail(ErrorCode::CborNonCanonical, "integer/length not in shortest form");
        }
    }
    lastAi_ = ai;
    return CborHead{major, argument};
}

// Nesting is refused before recursing, so recursion never goes deeper than
// kCborMaxDepth whatever the input. Every element consumes at least one byte,
// so a huge declared count ends in a truncation after at most the input's size
// in steps.
Result<Unit> CborReader::skip(size_t depth) {
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    switch (head.major) {
    case kMajorUint:
    case kMajorNegative:
        return Unit{};
    case kMajorBytes:
    case kMajorText:
        if (input_.size() - pos_ < head.argument) return truncated();
        pos_ += head.argument;
        return Unit{};
    case kMajorArray:
        if (depth + 1 > kCborMaxDepth) return fail(ErrorCode::CborDepth, kTooDeep);
        for (uint64_t i = 0; i < head.argument; ++i) ZEM_TRY(skip(depth + 1));
        return Unit{};
    case kMajorMap: {
        if (depth + 1 > kCborMaxDepth) return fail(ErrorCode::CborDepth, kTooDeep);
        bool haveLast = false;
        uint64_t last = 0;
        for (uint64_t i = 0; i < head.argument; ++i) {
            ZEM_TRY_ASSIGN(const CborHead key, readHead());
            if (key.major != kMajorUint) return fail(ErrorCode::CborType, kKeyNotUint);
            ZEM_TRY(checkKeyOrder(haveLast, last, key.argument));
            haveLast = true;
            last = key.argument;
            ZEM_TRY(skip(depth + 1));
        }
        return Unit{};
    }
    default:  // major 7; readHead let through only false, true and the floats
        if (lastAi_ == kAiFalse || lastAi_ == kAiTrue) return Unit{};
        ZEM_TRY(decodeCborFloat(lastAi_, head.argument));
        return Unit{};
    }
}

Result<Unit> CborReader::checkValueTurn() const {
    if (!frames_.empty() && frames_.back().isMap && frames_.back().expectKey) {
        return fail(ErrorCode::CborType, "map key expected (use nextMapKey)");
    }
    return Unit{};
}

// Arrays close by themselves after their last element; maps stay open until
// nextMapKey finds no pair left, so that the caller sees the end of every map.
void CborReader::completeItem() {
    while (!frames_.empty()) {
        CborFrame& f = frames_.back();
        if (f.isMap) {
            f.expectKey = true;
            --f.remaining;
            return;
        }
        if (f.remaining-- != 1) return;
        frames_.pop_back();
    }
}

Result<uint64_t> CborReader::readUint() {
    ZEM_TRY(checkValueTurn());
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorUint) return fail(ErrorCode::CborType, "expected unsigned integer");
    completeItem();
    return head.argument;
}

Result<bool> CborReader::readBool() {
    ZEM_TRY(checkValueTurn());
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorSimple || (lastAi_ != kAiFalse && lastAi_ != kAiTrue)) {
        return fail(ErrorCode::CborType, "expected boolean");
    }
    completeItem();
    return lastAi_ == kAiTrue;
}

Result<double> CborReader::readFloat() {
    ZEM_TRY(checkValueTurn());
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorSimple || lastAi_ < kAiHalf || lastAi_ > kAiDouble) {
        return fail(ErrorCode::CborType, "expected float");
    }
    ZEM_TRY_ASSIGN(const double v, decodeCborFloat(lastAi_, head.argument));
    completeItem();
    return v;
}

Result<std::string_view> CborReader::readText() {
    ZEM_TRY(checkValueTurn());
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorText) return fail(ErrorCode::CborType, "expected text string");
    if (input_.size() - pos_ < head.argument) return truncated();
    const std::string_view text(reinterpret_cast<const char*>(input_.data() + pos_), head.argument);
    pos_ += head.argument;
    completeItem();
    return text;
}

Result<ByteView> CborReader::readBytes() {
    ZEM_TRY(checkValueTurn());
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorBytes) return fail(ErrorCode::CborType, "expected byte string");
    if (input_.size() - pos_ < head.argument) return truncated();
    const ByteView bytes = input_.subspan(pos_, head.argument);
    pos_ += head.argument;
    completeItem();
    return bytes;
}

Result<ByteView> CborReader::value() {
    ZEM_TRY(checkValueTurn());
    const uint64_t start = pos_;
    ZEM_TRY(skip(frames_.size()));
    completeItem();
    return input_.subspan(start, pos_ - start);
}

Result<uint64_t> CborReader::enterArray() {
    ZEM_TRY(checkValueTurn());
    if (frames_.size() >= kCborMaxDepth) return fail(ErrorCode::CborDepth, kTooDeep);
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorArray) return fail(ErrorCode::CborType, "expected array");
    if (head.argument == 0) {
        completeItem();
    } else {
        CborFrame f;
        f.remaining = head.argument;
        frames_.push_back(f);
    }
    return head.argument;
}

Result<uint64_t> CborReader::enterMap() {
    ZEM_TRY(checkValueTurn());
    if (frames_.size() >= kCborMaxDepth) return fail(ErrorCode::CborDepth, kTooDeep);
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorMap) return fail(ErrorCode::CborType, "expected map");
    CborFrame f;
    f.isMap = true;
    f.remaining = head.argument;
    f.expectKey = true;
    frames_.push_back(f);
    return head.argument;
}

Result<std::optional<uint64_t>> CborReader::nextMapKey() {
    if (frames_.empty() || !frames_.back().isMap) return fail(ErrorCode::CborType, "nextMapKey outside a map");
    if (!frames_.back().expectKey) return fail(ErrorCode::CborType, "map value expected, not a key");
    if (frames_.back().remaining == 0) {
        frames_.pop_back();
        completeItem();
        return std::optional<uint64_t>();
    }
    ZEM_TRY_ASSIGN(const CborHead head, readHead());
    if (head.major != kMajorUint) return fail(ErrorCode::CborType, kKeyNotUint);
    CborFrame& f = frames_.back();
    ZEM_TRY(checkKeyOrder(f.haveLastKey, f.lastKey, head.argument));
    f.lastKey = head.argument;
    f.haveLastKey = true;
    f.expectKey = false;
    return std::optional<uint64_t>(head.argument);
}

Result<Unit> CborReader::finish() const {
    if (!frames_.empty()) return fail(ErrorCode::CborNonCanonical, "unterminated container");
    if (pos_ != input_.size()) return fail(ErrorCode::CborNonCanonical, "trailing bytes after CBOR value");
    return Unit{};
}

// ---------------------------------------------------------------------------
// Writer

void CborWriter::writeHead(uint8_t major, uint64_t argument) {
    const auto top = static_cast<uint8_t>(major << 5);
    if (argument < 24) {
        out_.push_back(static_cast<uint8_t>(top | argument));
    } else if (argument <= 0xFF) {
        out_.push_back(top | 24);
        appendBigEndian(out_, argument, 1);
    } else if (argument <= 0xFFFF) {
        out_.push_back(top | 25);
        appendBigEndian(out_, argument, 2);
    } else if (argument <= 0xFFFFFFFF) {
        out_.push_back(top | 26);
        appendBigEndian(out_, argument, 4);
    } else {
        out_.push_back(top | 27);
        appendBigEndian(out_, argument, 8);
    }
}

void CborWriter::completeItem() {
    while (!frames_.empty()) {
        CborFrame& f = frames_.back();
        if (f.isMap) f.expectKey = true;
        if (f.remaining-- != 1) return;
        frames_.pop_back();
    }
}

void CborWriter::writeUint(uint64_t v) {
    writeHead(kMajorUint, v);
    if (!frames_.empty() && frames_.back().isMap && frames_.back().expectKey) {
        frames_.back().expectKey = false;  // a key; the pair completes with its value
        return;
    }
    completeItem();
}

void CborWriter::writeBool(bool v) {
    out_.push_back(v ? 0xF5 : 0xF4);
    completeItem();
}

void CborWriter::writeFloat(double v) {
    uint16_t half = 0;
    if (std::isnan(v)) {
        out_.push_back(0xF9);
        appendBigEndian(out_, kCanonicalHalfNaN, 2);
    } else if (fitsHalf(v, &half)) {
        out_.push_back(0xF9);
        appendBigEndian(out_, half, 2);
    } else if (fitsSingle(v)) {
        out_.push_back(0xFA);
        appendBigEndian(out_, std::bit_cast<uint32_t>(static_cast<float>(v)), 4);
    } else {
        out_.push_back(0xFB);
        appendBigEndian(out_, std::bit_cast<uint64_t>(v), 8);
    }
    completeItem();
}

void CborWriter::writeText(std::string_view text) {
    writeHead(kMajorText, text.size());
    out_.insert(out_.end(), text.begin(), text.end());
    completeItem();
}

void CborWriter::writeBytes(ByteView bytes) {
    writeHead(kMajorBytes, bytes.size());
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    completeItem();
}

void CborWriter::writeRaw(ByteView item) {
    out_.insert(out_.end(), item.begin(), item.end());
    completeItem();
}

void CborWriter::beginArray(uint64_t count) {
    writeHead(kMajorArray, count);
    if (count == 0) {
        completeItem();
        return;
    }
    CborFrame f;
    f.remaining = count;
    frames_.push_back(f);
}

void CborWriter::beginMap(uint64_t pairs) {
    writeHead(kMajorMap, pairs);
    if (pairs == 0) {
        completeItem();
        return;
    }
    CborFrame f;
    f.isMap = true;
    f.remaining = pairs;
    f.expectKey = true;
    frames_.push_back(f);
}

// ---------------------------------------------------------------------------
// Map builder

void CborMapBuilder::addMapPair(uint64_t key, Bytes value) { pairs_.emplace_back(key, std::move(value)); }

Result<Bytes> CborMapBuilder::writeCanonicalMap() const {
    std::vector<size_t> order(pairs_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [this](size_t a, size_t b) { return pairs_[a].first < pairs_[b].first; });
    for (size_t i = 1; i < order.size(); ++i) {
        const uint64_t key = pairs_[order[i]].first;
        if (key == pairs_[order[i - 1]].first) {
            return fail(ErrorCode::ModelInvalid, "CBOR map repeats key " + std::to_string(key));
        }
    }
    CborWriter w;
    w.beginMap(pairs_.size());
    for (const size_t i : order) {
        w.writeUint(pairs_[i].first);
        w.writeRaw(pairs_[i].second);
    }
    return w.take();
}

// ---------------------------------------------------------------------------
// One-value encoders

Bytes encodeCborUint(uint64_t v) {
    CborWriter w;
    w.writeUint(v);
    return w.take();
}

Bytes encodeCborBool(bool v) {
    CborWriter w;
    w.writeBool(v);
    return w.take();
}

Bytes encodeCborTrue() { return encodeCborBool(true); }

Bytes encodeCborFloat(double v) {
    CborWriter w;
    w.writeFloat(v);
    return w.take();
}

Bytes encodeCborText(std::string_view text) {
    CborWriter w;
    w.writeText(text);
    return w.take();
}

Bytes encodeCborBytes(ByteView bytes) {
    CborWriter w;
    w.writeBytes(bytes);
    return w.take();
}

Bytes encodeCborTextArray(const std::vector<std::string>& items) {
    CborWriter w;
    w.beginArray(items.size());
    for (const std::string& s : items) w.writeText(s);
    return w.take();
}

Bytes encodeCborUintArray(const std::vector<uint64_t>& items) {
    CborWriter w;
    w.beginArray(items.size());
    for (const uint64_t v : items) w.writeUint(v);
    return w.take();
}

Bytes encodeCborUintTriple(uint64_t a, uint64_t b, uint64_t c) { return encodeCborUintArray({a, b, c}); }

Bytes encodeCborPairArray(const std::vector<std::pair<uint64_t, uint64_t>>& items) {
    CborWriter w;
    w.beginArray(items.size());
    for (const auto& [a, b] : items) {
        w.beginArray(2);
        w.writeUint(a);
        w.writeUint(b);
    }
    return w.take();
}

Bytes encodeCborRecordArray(const std::vector<Bytes>& records) {
    CborWriter w;
    w.beginArray(records.size());
    for (const Bytes& r : records) w.writeRaw(r);
    return w.take();
}

Bytes encodeCborArray2(uint32_t n) { return encodeCborUintArray({1, n}); }

} // namespace vt6::fmt
