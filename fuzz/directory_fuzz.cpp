// Directory decoder under arbitrary payloads. The first eight bytes choose the
// file size the entries are checked against; the rest is the DIRC payload.
// Whatever decodes must re-encode to the same bytes and be found by its index.

#include <cstddef>
#include <cstdint>

#include "format/directory.hpp"

using namespace vt6::fmt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const uint64_t fileBytes = loadLe64(data);
    const ByteView payload(data + 8, size - 8);

    ReadPolicy policy;
    policy.maxDirEntries = 4096;
    policy.maxDirBytes = 1 << 20;
    auto dir = decodeDirectory(payload, fileBytes, policy);
    if (!dir.ok()) return 0;

    const Bytes again = encodeDirectory(dir->entries);
    if (again.size() != payload.size() || !std::equal(again.begin(), again.end(), payload.begin())) {
        __builtin_trap();
    }
    for (const DirEntry& e : dir->entries) {
        const DirEntry* found = dir->find(e.tag, e.uid);
        if (found == nullptr || found->offset != e.offset) __builtin_trap();
    }
    return 0;
}
