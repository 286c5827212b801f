#pragma once
// The stored form of one physical model: a 16-byte head ("VTPF", version 1,
// class, input count, length, CRC-32 of the body) and a body of the features
// as doubles and every descriptor block as integer codes on its grid. Writing
// and reading back is exact. Failures throw std::runtime_error whose text is
// an error reference ("E" and a number).

#include <cstdint>
#include <span>
#include <vector>

#include "analysis/physical_model.hpp"

namespace vt6::fmt {

inline constexpr size_t kMaxPhysicalModelPayload = 61440;

// Standard CRC-32 (reflected, initial value and final complement all ones),
// the checksum of zlib's crc32; not the container's CRC-32C.
uint32_t crc32IsoHdlc(std::span<const uint8_t> bytes) noexcept;

enum class CodeMode : uint8_t { Int16, Int8, Uint8 };

// Appends one block: a 32-bit row mask (rows with a finite value), then the
// codes of each present row; value = code * step, NaN as the absent code.
void writeQuantizedBlock(std::vector<uint8_t>& out, std::span<const float> values, int32_t rows, int32_t columns,
                         CodeMode mode, float step);

// Reads one block at `pos` (advanced past it) into `destination`.
void readQuantizedBlock(std::span<const uint8_t> bytes, size_t& pos, std::span<float> destination, int32_t rows,
                        int32_t columns, CodeMode mode, float step);

std::vector<uint8_t> serializePhysicalModel(const PhysicalModel& model);
PhysicalModel parsePhysicalModel(std::span<const uint8_t> bytes);

} // namespace vt6::fmt
