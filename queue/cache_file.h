// SPDX-License-Identifier: Apache-2.0
// The byte layout of a cache file: the image of a full ring.
//   offset 0      u16 slot count n
//   offset 2      u16 slot size s
//   offset 4      u16 read index r (0..n; n means before slot 0)
//   offset 6      u16 write index w (0..n-1)
//   offset 8      n x u16 record lengths, one per slot
//   offset 8+2n   n x s bytes of slots, slot 0 first
// All integers are little-endian. The records are those in slots r+1 up to
// and including w, wrapping from n-1 to 0; other slots hold stale bytes.
//
// A checksum trailer follows the image. A reader of the image alone never
// reaches it, and a file without it still loads:
//   offset F      u32 "HFQ1" (0x31514648)
//   offset F+4    u32 CRC-32C of bytes 0 .. 8+2n (header and lengths)
//   offset F+8    n x u32, for each slot holding a record the CRC-32C of
//                 its u16 length followed by its bytes; 0 for other slots
//   offset F+8+4n u32 CRC-32C of the trailer before this word
// where F = 8 + 2n + n*s.
#ifndef HISTFEED_QUEUE_CACHE_FILE_H_
#define HISTFEED_QUEUE_CACHE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "queue/ring.h"

namespace histfeed {

inline constexpr size_t kCacheFileHeaderBytes = 8;
inline constexpr uint32_t kCacheTrailerMagic = 0x31514648;
// A file being written ends in this until it is whole.
inline constexpr const char* kCacheTemporarySuffix = ".tmp";

struct CacheFileHeader {
  uint16_t slotCount;
  uint16_t slotSize;
  uint16_t readIndex;
  uint16_t writeIndex;
};

// The image without its trailer, and the trailer alone.
uint64_t CacheFileBytes(uint16_t slotCount, uint16_t slotSize);
uint64_t CacheTrailerBytes(uint16_t slotCount);

CacheFileHeader DecodeCacheFileHeader(const uint8_t bytes[kCacheFileHeaderBytes]);

// Whether the header's numbers can describe a ring at all; only then can
// records be looked for in the file.
bool IsPlausibleCacheFileHeader(const CacheFileHeader& header);

// How many bytes of a file of `fileSize` bytes to read, given its first
// `got` bytes `head`: never more than its header allows (plus one byte, so
// a longer file shows as one).
uint64_t CacheFileReadLimit(const uint8_t* head, size_t got, uint64_t fileSize);

// Writes the ring's image and its trailer; false when any byte could not
// be written.
bool WriteCacheFile(platform::OutputFile& file, const Ring& ring);

enum class CacheFileWrite { kWritten, kNotCreated, kNotWritten, kNameNotSynced };

// Writes a file whole under `name` in `directory` by `write`, replacing
// any file of that name in one step: under name + kCacheTemporarySuffix
// first, synced, then renamed, with the directory synced after.
// kNotCreated and kNotWritten leave nothing new on disk; kNameNotSynced
// means the file is whole but its name could still be lost to a power cut.
// *error gets the system's reason.
CacheFileWrite WriteFileWhole(const std::string& name, const std::string& directory,
                              const std::function<bool(platform::OutputFile&)>& write,
                              std::string* error);

// Writes a ring image whole, as WriteFileWhole does.
CacheFileWrite WriteCacheFileWhole(const Ring& ring, const std::string& name,
                                   const std::string& directory, std::string* error);

// Judges one record on its own; the queue's owner knows what a record is.
using CacheRecordCheck = std::function<bool(const uint8_t* record, uint16_t length)>;

struct CacheRecord {
  const uint8_t* bytes;
  uint16_t length;
};

struct DecodedCacheFile {
  // Null for a sound file; otherwise why it is not, for messages.
  const char* damage = nullptr;
  uint16_t slotSize = 0;
  uint16_t recordsAnnounced = 0;  // records the header's indices span
  bool checksummed = false;       // a whole, sound trailer was found
  // Per record the header announces, oldest first: why it was not kept,
  // null for a record that was.
  std::vector<const char*> recordFaults;
  // The records that passed every check, oldest first: all of them for a
  // sound file, those that could be saved for a damaged one.
  std::vector<CacheRecord> records;
};

// Reads the records out of a cache file's bytes (`size` of them, possibly
// cut short). A record is kept only when its length and bytes lie inside
// the file, it fits its slot, its checksum matches (when the file has a
// sound trailer) and `check`, if given, accepts it.
DecodedCacheFile DecodeCacheFile(const uint8_t* bytes, size_t size, const CacheRecordCheck& check);

// A ring holding `records`, packed from slot 0, ready to be written as a
// cache file of their own; false without memory or with no record.
bool PackCacheRecords(std::span<const CacheRecord> records, uint16_t slotSize, Ring* ring);

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_CACHE_FILE_H_
