// The CRC-32 of gzip and zlib (the reflected polynomial 0xEDB88320), as
// zlib's crc32() computes it, several times faster on processors that
// multiply without carries (PCLMULQDQ): 16-byte blocks are folded four lanes
// at a time, and only the last block and the tail go through zlib.
#pragma once

#include <cstddef>
#include <cstdint>

// The CRC of n bytes at p, continuing crc (0 to start).
uint32_t ZorCrc32(uint32_t crc, const void* p, size_t n);
