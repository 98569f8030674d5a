// SPDX-License-Identifier: Apache-2.0
// CRC-32C (Castagnoli), which guards the records of a cache file.
#ifndef HISTFEED_QUEUE_CHECKSUM_H_
#define HISTFEED_QUEUE_CHECKSUM_H_

#include <cstddef>
#include <cstdint>

namespace histfeed {

// The checksum of `size` bytes, continuing one already begun over the bytes
// before them (start with 0).
uint32_t ExtendCrc32c(uint32_t crc, const void* data, size_t size);

// Extends crcs[i] over sizes[i] bytes at data[i], for `count` buffers
// that do not depend on each other. Where the processor can, long buffers
// are folded by carry-less multiplication, and short ones run three side
// by side through the CRC-32C instruction, which keeps it busy while each
// step waits for the one before it.
void ExtendCrc32cOfMany(uint32_t* crcs, const uint8_t* const* data, const size_t* sizes,
                        size_t count);

// The same as ExtendCrc32c, always from tables: what processors without a CRC-32C
// instruction use.
uint32_t ExtendCrc32cWithTables(uint32_t crc, const void* data, size_t size);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_CHECKSUM_H_
