#include "queue/cache_file.h"

#include <bit>
#include <vector>

namespace histfeed {
namespace {

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

}  // namespace

uint64_t CacheFileBytes(uint16_t slotCount, uint16_t slotSize) {
  return kCacheFileHeaderBytes + 2ull * slotCount + uint64_t{slotCount} * slotSize;
}

CacheFileHeader DecodeCacheFileHeader(const uint8_t bytes[kCacheFileHeaderBytes]) {
  return CacheFileHeader{GetU16(bytes), GetU16(bytes + 2), GetU16(bytes + 4), GetU16(bytes + 6)};
}

bool IsValidCacheFileHeader(const CacheFileHeader& header, uint64_t fileBytes) {
  return header.slotCount > 0 && header.slotSize > 0 && header.readIndex <= header.slotCount &&
         header.writeIndex < header.slotCount &&
         fileBytes == CacheFileBytes(header.slotCount, header.slotSize);
}

bool HasValidLengths(const uint16_t* lengths, uint16_t slotCount, uint16_t slotSize) {
  for (uint16_t i = 0; i < slotCount; ++i) {
    if (lengths[i] > slotSize) return false;
  }
  return true;
}

bool WriteCacheFile(platform::OutputFile& file, const Ring& ring) {
  uint8_t header[kCacheFileHeaderBytes];
  PutU16(header, ring.slotCount);
  PutU16(header + 2, ring.slotSize);
  PutU16(header + 4, ring.readIndex);
  PutU16(header + 6, ring.writeIndex);
  bool ok = file.Write(header, sizeof header);
  if constexpr (std::endian::native == std::endian::little) {
    ok = ok && file.Write(ring.lengths.get(), 2u * ring.slotCount);
  } else {
    std::vector<uint8_t> lengths(2u * ring.slotCount);
    for (uint16_t i = 0; i < ring.slotCount; ++i) PutU16(&lengths[2u * i], ring.lengths[i]);
    ok = ok && file.Write(lengths.data(), lengths.size());
  }
  return ok && file.Write(ring.slots.get(), static_cast<size_t>(ring.slotCount) * ring.slotSize);
}

bool ReadLengths(platform::InputFile& file, uint16_t* values, uint16_t count) {
  size_t bytes = 2u * count;
  if (file.Read(values, bytes) != bytes) return false;
  if constexpr (std::endian::native != std::endian::little) {
    auto* raw = reinterpret_cast<const uint8_t*>(values);
    std::vector<uint8_t> copy(raw, raw + bytes);
    for (uint16_t i = 0; i < count; ++i) values[i] = GetU16(&copy[2u * i]);
  }
  return true;
}

}  // namespace histfeed
