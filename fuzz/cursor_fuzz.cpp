// The FLAC stream cursor over arbitrary payloads and read plans.
//
// Input: one byte n (reads, at most 16), n reads of 8 bytes (first frame u32
// LE, frame count u32 LE, the count cut to 1 << 17), then a payload (64-byte
// PCMA head and FLAC body). Every read must deliver a whole number of frames
// within the head's bounds, and once a read fails every later read must fail
// with the same code and message.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "audio/flac_cursor.hpp"
#include "audio/pcma_head.hpp"

using namespace vt6::fmt;

namespace {

class MemorySource : public FlacPayloadSource {
public:
    explicit MemorySource(ByteView body) : body_(body) {}
    Result<uint32_t> read(uint64_t offset, std::span<uint8_t> dest) override {
        // The cursor must never ask for bytes past the end.
        if (offset > body_.size() || dest.size() > body_.size() - offset) __builtin_trap();
        if (!dest.empty()) std::memcpy(dest.data(), body_.data() + offset, dest.size());
        return static_cast<uint32_t>(dest.size());
    }
    uint64_t size() const override { return body_.size(); }

private:
    ByteView body_;
};

struct Plan {
    uint64_t first;
    uint32_t count;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t reads = data[0] % 17;
    if (size < 1 + reads * 8) return 0;
    std::vector<Plan> plan;
    for (size_t i = 0; i < reads; ++i) {
        const uint8_t* p = data + 1 + i * 8;
        plan.push_back({loadLe32(p), loadLe32(p + 4) & ((1u << 17) - 1)});
    }
    const ByteView payload(data + 1 + reads * 8, size - 1 - reads * 8);
    auto head = parsePcmaHead(payload);
    if (!head.ok()) return 0;
    MemorySource source(payload.subspan(kPcmaHeadBytes));

    FlacStreamCursor cursor;
    const auto opened = cursor.open(&source, *head);
    if (opened.ok() != cursor.isOpen()) __builtin_trap();

    const uint64_t frameBytes = uint64_t{head->channels} * (head->bits / 8u);
    bool failed = false;
    ErrorCode failCode = ErrorCode::FlacError;
    std::string failMessage;
    std::vector<uint8_t> out;
    for (const Plan& r : plan) {
        const auto got = cursor.read(r.first, r.count, out);
        if (!got.ok()) {
            if (cursor.isOpen()) __builtin_trap();
            if (failed && (got.code() != failCode || got.message() != failMessage)) __builtin_trap();
            failed = true;
            failCode = got.code();
            failMessage = got.message();
            continue;
        }
        if (failed || !opened.ok()) __builtin_trap();
        const uint64_t remaining = r.first < head->frames ? head->frames - r.first : 0;
        if (*got > r.count || *got > remaining || out.size() != *got * frameBytes) __builtin_trap();
    }
    return 0;
}
