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

// The same, always from tables: what processors without a CRC-32C
// instruction use.
uint32_t ExtendCrc32cWithTables(uint32_t crc, const void* data, size_t size);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_CHECKSUM_H_
