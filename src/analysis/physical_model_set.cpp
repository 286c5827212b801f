#include "analysis/physical_model_set.hpp"

#include <cstring>
#include <exception>
#include <unordered_set>

#include "analysis/physical_model.hpp"
#include "analysis/physical_payload.hpp"
#include "format/bytes.hpp"

namespace vt6::fmt {
namespace {

constexpr uint8_t kMagic[4] = {'V', 'T', 'A', 'M'};

ErrorInfo invalid(int code) { return fail(ErrorCode::ModelInvalid, makeErrorRef(code)); }

} // namespace

Result<std::vector<uint8_t>> encodePhysicalModelSet(std::span<const PhysicalModelEntry> entries) {
    if (entries.empty() || entries.size() > kMaxPhysicalModelEntries) return invalid(8230);
    std::vector<uint8_t> blob(kPhysicalModelSetHeadBytes);
    std::memcpy(blob.data(), kMagic, 4);
    storeLe32(blob.data() + 4, 1);
    storeLe32(blob.data() + 8, static_cast<uint32_t>(entries.size()));
    std::unordered_set<uint64_t> ids;
    for (const PhysicalModelEntry& entry : entries) {
        if (!ids.insert(entry.articulationId).second || entry.kind > 3 || entry.sampleUids.size() > 2) {
            return invalid(8231);
        }
        if ((entry.kind == kPhysicalEntryAnalysed) != !entry.payload.empty()) return invalid(8232);
        if (entry.payload.size() > kMaxPhysicalModelPayload ||
            blob.size() + kPhysicalModelEntryHeadBytes + entry.payload.size() > kMaxPhysicalModelSetBytes) {
            return invalid(8233);
        }
        uint8_t head[kPhysicalModelEntryHeadBytes] = {};
        storeLe64(head, entry.articulationId);
        head[8] = entry.kind;
        head[9] = static_cast<uint8_t>(entry.sampleUids.size());
        storeLe32(head + 12, static_cast<uint32_t>(entry.payload.size()));
        for (size_t i = 0; i < entry.sampleUids.size(); ++i) storeLe64(head + 16 + 8 * i, entry.sampleUids[i]);
        blob.insert(blob.end(), head, head + sizeof head);
        blob.insert(blob.end(), entry.payload.begin(), entry.payload.end());
    }
    Result<std::vector<PhysicalModelInfo>> check = decodePhysicalModelSet(blob);
    if (!check.ok()) return check.takeError();
    return blob;
}

Result<std::vector<PhysicalModelInfo>> decodePhysicalModelSet(std::span<const uint8_t> blob) {
    const uint64_t s = blob.size();
    if (s < kPhysicalModelSetHeadBytes || s > kMaxPhysicalModelSetBytes) return invalid(8234);
    if (std::memcmp(blob.data(), kMagic, 4) != 0 || loadLe32(blob.data() + 4) != 1) return invalid(8235);
    const uint32_t count = loadLe32(blob.data() + 8);
    if (count == 0 || count > kMaxPhysicalModelEntries || count > (s - kPhysicalModelSetHeadBytes) / kPhysicalModelEntryHeadBytes) {
        return invalid(8236);
    }
    std::vector<PhysicalModelInfo> out;
    out.reserve(count);
    std::unordered_set<uint64_t> ids;
    uint64_t p = kPhysicalModelSetHeadBytes;
    for (uint32_t e = 0; e < count; ++e) {
        if (s - p < kPhysicalModelEntryHeadBytes) return invalid(8237);
        const uint8_t* head = blob.data() + p;
        PhysicalModelInfo info;
        info.articulationId = loadLe64(head);
        info.kind = head[8];
        const uint8_t n = head[9];
        if (!ids.insert(info.articulationId).second || info.kind > 3 || n > 2 || loadLe16(head + 10) != 0) {
            return invalid(8238);
        }
        const uint64_t uids[2] = {loadLe64(head + 16), loadLe64(head + 24)};
        for (uint8_t i = 0; i < 2; ++i) {
            if (i < n) {
                if (uids[i] == 0 || (i == 1 && uids[1] == uids[0])) {
                    return fail(ErrorCode::UidLaw, makeErrorRef(8239));
                }
                info.sampleUids.push_back(uids[i]);
            } else if (uids[i] != 0) {
                return invalid(8240);
            }
        }
        const uint32_t length = loadLe32(head + 12);
        if (length > kMaxPhysicalModelPayload || length > s - p - kPhysicalModelEntryHeadBytes) return invalid(8241);
        if ((info.kind == kPhysicalEntryAnalysed) != (length > 0)) return invalid(8242);
        if (length > 0) {
            const std::span<const uint8_t> payload = blob.subspan(p + kPhysicalModelEntryHeadBytes, length);
            uint8_t classCode = 0;
            size_t inputs = 0;
            try {
                const PhysicalModel model = parsePhysicalModel(payload);
                classCode = model.classCode;
                inputs = model.inputs.size();
                info.features = model.features;
            } catch (const std::bad_alloc&) {
                throw;
            } catch (const std::exception&) {
                return invalid(8244);
            }
            if (inputs != n) return invalid(8243);
            info.drumType = fromDrumClass(classCode);
            info.payloadOffset = static_cast<uint32_t>(p + kPhysicalModelEntryHeadBytes);
            info.payloadLength = length;
            info.payloadChecksum = loadLe32(payload.data() + 12);
        } else if (n > 0) {
            return invalid(8245);
        }
        out.push_back(std::move(info));
        p += kPhysicalModelEntryHeadBytes + length;
    }
    if (p != s) return invalid(8246);
    return out;
}

} // namespace vt6::fmt
