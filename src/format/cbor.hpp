#pragma once
// The restricted canonical CBOR profile used inside every structured chunk
// payload. A value has exactly one accepted encoding, so payloads can be
// hashed, compared and signed; the reader refuses anything else.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/bytes.hpp"
#include "format/result.hpp"

namespace vt6::fmt {

inline constexpr size_t kCborMaxDepth = 4;

struct CborHead {
    uint8_t major = 0;
    // For floats the raw bits; for F4 and F5 the additional info.
    uint64_t argument = 0;
};

struct CborFrame {
    bool isMap = false;
    uint64_t remaining = 0;  // elements or pairs not yet complete
    bool expectKey = false;
    bool haveLastKey = false;  // reader only
    uint64_t lastKey = 0;      // reader only
};

// Pull reader over a caller-owned input that must outlive it. Strings and raw
// values are returned as views into the input; nothing is copied. After a
// failure the reader is abandoned.
class CborReader {
public:
    explicit CborReader(ByteView input) noexcept : input_(input) {}

    Result<uint64_t> readUint();
    Result<bool> readBool();
    Result<double> readFloat();
    Result<std::string_view> readText();
    Result<ByteView> readBytes();
    // The complete encoding of the next item, held to every law of the profile.
    Result<ByteView> value();
    // Element count; opens a frame unless the array is empty.
    Result<uint64_t> enterArray();
    // Pair count; always opens a frame, closed by the nextMapKey that finds no pair left.
    Result<uint64_t> enterMap();
    // The next key of the open map, or empty when the map has no pair left.
    Result<std::optional<uint64_t>> nextMapKey();
    // Succeeds only when no frame is open and the whole input was consumed.
    Result<Unit> finish() const;

    uint64_t position() const noexcept { return pos_; }
    size_t depth() const noexcept { return frames_.size(); }
    bool atEnd() const noexcept { return pos_ == input_.size(); }

private:
    Result<CborHead> readHead();
    Result<Unit> skip(size_t depth);
    Result<Unit> checkValueTurn() const;
    void completeItem();

    ByteView input_;
    uint64_t pos_ = 0;
    std::vector<CborFrame> frames_;
    uint8_t lastAi_ = 0;
};

// Push writer; operations do not fail. Keys are written with writeUint; the
// writer checks neither their type nor their order.
class CborWriter {
public:
    void writeHead(uint8_t major, uint64_t argument);
    void writeUint(uint64_t v);
    void writeBool(bool v);
    void writeFloat(double v);
    void writeText(std::string_view text);
    void writeBytes(ByteView bytes);
    // Appends one complete, already encoded item.
    void writeRaw(ByteView item);
    void beginArray(uint64_t count);
    void beginMap(uint64_t pairs);

    const Bytes& bytes() const noexcept { return out_; }
    Bytes take() noexcept { return std::move(out_); }

private:
    void completeItem();

    Bytes out_;
    std::vector<CborFrame> frames_;
};

// Collects (key, encoded value) pairs in any order and writes one map in
// ascending key order.
class CborMapBuilder {
public:
    void addMapPair(uint64_t key, Bytes value);
    // Refuses (ModelInvalid, naming the key) a map that would repeat a key,
    // since the reader would refuse the bytes it produced.
    Result<Bytes> writeCanonicalMap() const;

    size_t size() const noexcept { return pairs_.size(); }

private:
    std::vector<std::pair<uint64_t, Bytes>> pairs_;
};

// Float helpers of the profile: whether a double survives narrowing exactly,
// and for halves the 16 bits that store it.
bool fitsHalf(double v, uint16_t* halfBits = nullptr) noexcept;
bool fitsSingle(double v) noexcept;

// One-value encoders: each returns the encoding of exactly one item.
Bytes encodeCborUint(uint64_t v);
Bytes encodeCborBool(bool v);
Bytes encodeCborTrue();
Bytes encodeCborFloat(double v);
Bytes encodeCborText(std::string_view text);
Bytes encodeCborBytes(ByteView bytes);
Bytes encodeCborTextArray(const std::vector<std::string>& items);
Bytes encodeCborUintArray(const std::vector<uint64_t>& items);
Bytes encodeCborUintTriple(uint64_t a, uint64_t b, uint64_t c);
Bytes encodeCborPairArray(const std::vector<std::pair<uint64_t, uint64_t>>& items);
// An array whose elements are already encoded records.
Bytes encodeCborRecordArray(const std::vector<Bytes>& records);
// The two-element array [1, n].
Bytes encodeCborArray2(uint32_t n);

} // namespace vt6::fmt
