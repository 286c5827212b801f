// Walks an arbitrary item tree with the reader's typed pull operations and
// writes back everything it read. The profile has one encoding per value, so
// an input the reader accepts must come back byte for byte. The whole input is
// also stepped over with value(), which must agree on acceptance.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "format/cbor.hpp"

namespace {

using vt6::fmt::ByteView;
using vt6::fmt::CborReader;
using vt6::fmt::CborWriter;

// Walks one item. Returns false as soon as the reader refuses something.
// Recursion is bounded: the reader refuses a fifth open container.
bool walk(CborReader& r, CborWriter& w, ByteView in) {
    const uint64_t pos = r.position();
    if (pos >= in.size()) return r.readUint().ok();  // must fail: truncated
    const uint8_t head = in[pos];
    // Keep some items raw, wherever they lie, to exercise value() inside frames.
    if ((pos * 7 + head) % 11 == 0) {
        auto raw = r.value();
        if (!raw.ok()) return false;
        w.writeRaw(*raw);
        return true;
    }
    switch (head >> 5) {
    case 0: {
        auto v = r.readUint();
        if (!v.ok()) return false;
        w.writeUint(*v);
        return true;
    }
    case 2: {
        auto v = r.readBytes();
        if (!v.ok()) return false;
        w.writeBytes(*v);
        return true;
    }
    case 3: {
        auto v = r.readText();
        if (!v.ok()) return false;
        w.writeText(*v);
        return true;
    }
    case 4: {
        auto count = r.enterArray();
        if (!count.ok()) return false;
        w.beginArray(*count);
        // Every element consumes at least one byte, so a huge count ends in a
        // refusal once the input runs out.
        for (uint64_t i = 0; i < *count; ++i) {
            if (!walk(r, w, in)) return false;
        }
        return true;
    }
    case 5: {
        auto count = r.enterMap();
        if (!count.ok()) return false;
        w.beginMap(*count);
        for (;;) {
            auto key = r.nextMapKey();
            if (!key.ok()) return false;
            if (!key->has_value()) return true;
            w.writeUint(**key);
            if (!walk(r, w, in)) return false;
        }
    }
    case 7:
        if (head == 0xF9 || head == 0xFA || head == 0xFB) {
            auto v = r.readFloat();
            if (!v.ok()) return false;
            w.writeFloat(*v);
            return true;
        } else {
            auto v = r.readBool();  // refuses everything but F4 and F5
            if (!v.ok()) return false;
            w.writeBool(*v);
            return true;
        }
    default: {  // negative integers and tags: only value() may take them
        auto raw = r.value();
        if (!raw.ok()) return false;
        w.writeRaw(*raw);
        return true;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView in(data, size);

    CborReader typed(in);
    CborWriter w;
    const bool walked = walk(typed, w, in) && typed.finish().ok();
    if (walked) {
        const auto& out = w.bytes();
        if (out.size() != size || !std::equal(out.begin(), out.end(), in.begin())) __builtin_trap();
    }

    CborReader raw(in);
    const auto whole = raw.value();
    const bool stepped = whole.ok() && raw.finish().ok();
    if (stepped && (whole->data() != data || whole->size() != size)) __builtin_trap();
    if (stepped != walked) __builtin_trap();
    return 0;
}
