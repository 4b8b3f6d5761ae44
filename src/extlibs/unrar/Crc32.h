#pragma once
// CRC-32 (the zip and rar polynomial) with zlib's calling convention: Crc32(0, data, n) is
// the CRC of data, Crc32(previous, more, m) goes on. Folds with carry-less multiplication
// where the processor has it (several times zlib's speed), zlib's table code elsewhere.
#include <cstddef>
#include <cstdint>

namespace rarcrc {

uint32_t Crc32(uint32_t crc, const void* data, size_t size);

}  // namespace rarcrc
