// The byte layout of a cache file: the image of a full ring.
//   offset 0      u16 slot count n
//   offset 2      u16 slot size s
//   offset 4      u16 read index r (0..n; n means before slot 0)
//   offset 6      u16 write index w (0..n-1)
//   offset 8      n x u16 record lengths, one per slot
//   offset 8+2n   n x s bytes of slots, slot 0 first
// All integers are little-endian. The records are those in slots r+1 up to
// and including w, wrapping from n-1 to 0; other slots hold stale bytes.
#ifndef HISTFEED_QUEUE_CACHE_FILE_H_
#define HISTFEED_QUEUE_CACHE_FILE_H_

#include <cstddef>
#include <cstdint>

#include "platform/file_system.h"
#include "queue/ring.h"

namespace histfeed {

inline constexpr size_t kCacheFileHeaderBytes = 8;

struct CacheFileHeader {
  uint16_t slotCount;
  uint16_t slotSize;
  uint16_t readIndex;
  uint16_t writeIndex;
};

uint64_t CacheFileBytes(uint16_t slotCount, uint16_t slotSize);

CacheFileHeader DecodeCacheFileHeader(const uint8_t bytes[kCacheFileHeaderBytes]);

// Whether a header read from a file of `fileBytes` bytes describes an image
// this queue can load without reading or writing out of bounds.
bool IsValidCacheFileHeader(const CacheFileHeader& header, uint64_t fileBytes);

// Whether every length in the image fits its slot.
bool HasValidLengths(const uint16_t* lengths, uint16_t slotCount, uint16_t slotSize);

// Writes the ring's image; false when any byte could not be written.
bool WriteCacheFile(platform::OutputFile& file, const Ring& ring);

// Reads `count` little-endian u16 values into `values`; false when short.
bool ReadLengths(platform::InputFile& file, uint16_t* values, uint16_t count);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_CACHE_FILE_H_
