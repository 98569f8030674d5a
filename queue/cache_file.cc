// SPDX-License-Identifier: Apache-2.0
#include "queue/cache_file.h"

#include <algorithm>
#include <new>

#include "queue/checksum.h"

namespace histfeed {
namespace {

void PutU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* at, uint32_t value) {
  PutU16(at, static_cast<uint16_t>(value));
  PutU16(at + 2, static_cast<uint16_t>(value >> 16));
}

uint16_t GetU16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t GetU32(const uint8_t* at) { return GetU16(at) | (static_cast<uint32_t>(GetU16(at + 2)) << 16); }

// The checksum of each record: of its u16 length, then of its bytes. All
// at once, so that several run side by side.
std::vector<uint32_t> RecordCrcs(const std::vector<CacheRecord>& records) {
  std::vector<uint32_t> crcs(records.size());
  std::vector<const uint8_t*> data(records.size());
  std::vector<size_t> sizes(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    uint8_t lengthBytes[2];
    PutU16(lengthBytes, records[i].length);
    crcs[i] = ExtendCrc32c(0, lengthBytes, 2);
    data[i] = records[i].bytes;
    sizes[i] = records[i].length;
  }
  ExtendCrc32cOfMany(crcs.data(), data.data(), sizes.data(), records.size());
  return crcs;
}

size_t SlotsOffset(uint16_t slotCount) { return kCacheFileHeaderBytes + 2u * slotCount; }

// The head of the file (header and lengths) as it is written.
std::vector<uint8_t> EncodeHead(const Ring& ring) {
  std::vector<uint8_t> head(SlotsOffset(ring.slotCount));
  PutU16(&head[0], ring.slotCount);
  PutU16(&head[2], ring.slotSize);
  PutU16(&head[4], ring.readIndex);
  PutU16(&head[6], ring.writeIndex);
  for (uint16_t i = 0; i < ring.slotCount; ++i) {
    PutU16(&head[kCacheFileHeaderBytes + 2u * i], ring.lengths[i]);
  }
  return head;
}

std::vector<uint8_t> EncodeTrailer(const Ring& ring, const std::vector<uint8_t>& head) {
  std::vector<uint8_t> trailer(CacheTrailerBytes(ring.slotCount));
  PutU32(&trailer[0], kCacheTrailerMagic);
  PutU32(&trailer[4], ExtendCrc32c(0, head.data(), head.size()));
  std::vector<uint16_t> indices;
  std::vector<CacheRecord> records;
  for (uint16_t index = ring.readIndex; index != ring.writeIndex;) {
    index = ring.Advance(index);
    indices.push_back(index);
    records.push_back(CacheRecord{ring.Slot(index), ring.lengths[index]});
  }
  std::vector<uint32_t> crcs = RecordCrcs(records);
  for (size_t i = 0; i < indices.size(); ++i) PutU32(&trailer[8 + 4u * indices[i]], crcs[i]);
  size_t checked = trailer.size() - 4;
  PutU32(&trailer[checked], ExtendCrc32c(0, trailer.data(), checked));
  return trailer;
}

// The per-slot checksums of a file whose trailer is whole and sound, or
// null when there is none to trust.
const uint8_t* SoundTrailer(const uint8_t* bytes, size_t size, const CacheFileHeader& header) {
  uint64_t image = CacheFileBytes(header.slotCount, header.slotSize);
  uint64_t trailerBytes = CacheTrailerBytes(header.slotCount);
  if (size != image + trailerBytes) return nullptr;
  const uint8_t* trailer = bytes + image;
  size_t checked = trailerBytes - 4;
  if (GetU32(trailer) != kCacheTrailerMagic ||
      GetU32(trailer + checked) != ExtendCrc32c(0, trailer, checked)) {
    return nullptr;
  }
  return trailer;
}

// What is wrong with the file as a whole, or null.
const char* ImageDamage(const uint8_t* bytes, size_t size, const CacheFileHeader& header,
                        const uint8_t* trailer) {
  uint64_t image = CacheFileBytes(header.slotCount, header.slotSize);
  if (size < image) return "cut short";
  if (size != image && trailer == nullptr) {
    return "longer than its header says, or its checksums are damaged";
  }
  if (trailer != nullptr &&
      GetU32(trailer + 4) != ExtendCrc32c(0, bytes, SlotsOffset(header.slotCount))) {
    return "checksum mismatch";
  }
  return nullptr;
}

// The records a header announces, oldest first: each one's fault (null
// while it has none), and those that lie inside the file and fit their
// slot, with their slot index and their place among the announced.
struct RecordsFound {
  std::vector<const char*> faults;
  std::vector<CacheRecord> inside;
  std::vector<uint16_t> slots;
  std::vector<uint16_t> places;
};

RecordsFound LocateRecords(const uint8_t* bytes, size_t size, const CacheFileHeader& header) {
  Ring shape;  // only for walking the indices
  shape.slotCount = header.slotCount;
  shape.readIndex = header.readIndex;
  shape.writeIndex = header.writeIndex;
  RecordsFound found;
  found.faults.resize(shape.Count());
  found.inside.reserve(shape.Count());
  found.slots.reserve(shape.Count());
  found.places.reserve(shape.Count());
  uint16_t place = 0;
  for (uint16_t index = shape.readIndex; index != shape.writeIndex; ++place) {
    index = shape.Advance(index);
    size_t lengthAt = kCacheFileHeaderBytes + 2u * index;
    uint16_t length = lengthAt + 2 <= size ? GetU16(bytes + lengthAt) : 0;
    size_t slotAt = SlotsOffset(header.slotCount) + size_t{index} * header.slotSize;
    if (lengthAt + 2 > size || slotAt + length > size) {
      found.faults[place] = "cut short";
    } else if (length > header.slotSize) {
      found.faults[place] = "a record longer than its slot";
    } else {
      found.inside.push_back(CacheRecord{bytes + slotAt, length});
      found.slots.push_back(index);
      found.places.push_back(place);
    }
  }
  return found;
}

// Keeps, in order, the records found inside whose checksum matches (all
// of them side by side) and that `check` accepts; notes the others' faults.
void CheckRecords(RecordsFound& found, const uint8_t* trailer, const CacheRecordCheck& check,
                  std::vector<CacheRecord>* kept) {
  std::vector<uint32_t> crcs;
  if (trailer != nullptr) crcs = RecordCrcs(found.inside);
  kept->reserve(found.inside.size());
  for (size_t i = 0; i < found.inside.size(); ++i) {
    const CacheRecord& record = found.inside[i];
    if (trailer != nullptr && GetU32(trailer + 8 + 4u * found.slots[i]) != crcs[i]) {
      found.faults[found.places[i]] = "checksum mismatch";
    } else if (check && !check(record.bytes, record.length)) {
      found.faults[found.places[i]] = "a record that is not valid";
    } else {
      kept->push_back(record);
    }
  }
}

}  // namespace

uint64_t CacheFileBytes(uint16_t slotCount, uint16_t slotSize) {
  return SlotsOffset(slotCount) + uint64_t{slotCount} * slotSize;
}

uint64_t CacheTrailerBytes(uint16_t slotCount) { return 12 + 4ull * slotCount; }

CacheFileHeader DecodeCacheFileHeader(const uint8_t bytes[kCacheFileHeaderBytes]) {
  return CacheFileHeader{GetU16(bytes), GetU16(bytes + 2), GetU16(bytes + 4), GetU16(bytes + 6)};
}

bool IsPlausibleCacheFileHeader(const CacheFileHeader& header) {
  return header.slotCount > 0 && header.slotSize > 0 && header.readIndex <= header.slotCount &&
         header.writeIndex < header.slotCount;
}

uint64_t CacheFileReadLimit(const uint8_t* head, size_t got, uint64_t fileSize) {
  if (got < kCacheFileHeaderBytes) return got;
  CacheFileHeader header = DecodeCacheFileHeader(head);
  if (!IsPlausibleCacheFileHeader(header)) return got;
  uint64_t layout = CacheFileBytes(header.slotCount, header.slotSize) +
                    CacheTrailerBytes(header.slotCount) + 1;
  return std::max<uint64_t>(got, std::min(fileSize, layout));
}

bool WriteCacheFile(platform::OutputFile& file, const Ring& ring) {
  std::vector<uint8_t> head = EncodeHead(ring);
  std::vector<uint8_t> trailer = EncodeTrailer(ring, head);
  return file.Write(head.data(), head.size()) &&
         file.Write(ring.slots.get(), static_cast<size_t>(ring.slotCount) * ring.slotSize) &&
         file.Write(trailer.data(), trailer.size());
}

DecodedCacheFile DecodeCacheFile(const uint8_t* bytes, size_t size,
                                 const CacheRecordCheck& check) {
  DecodedCacheFile decoded;
  if (size < kCacheFileHeaderBytes) {
    decoded.damage = "shorter than its header";
    return decoded;
  }
  CacheFileHeader header = DecodeCacheFileHeader(bytes);
  if (!IsPlausibleCacheFileHeader(header)) {
    decoded.damage = "header out of range";
    return decoded;
  }
  decoded.slotSize = header.slotSize;
  const uint8_t* trailer = SoundTrailer(bytes, size, header);
  decoded.checksummed = trailer != nullptr;
  decoded.damage = ImageDamage(bytes, size, header, trailer);
  RecordsFound found = LocateRecords(bytes, size, header);
  decoded.recordsAnnounced = static_cast<uint16_t>(found.faults.size());
  CheckRecords(found, trailer, check, &decoded.records);
  for (const char* fault : found.faults) {
    if (decoded.damage == nullptr) decoded.damage = fault;
  }
  decoded.recordFaults = std::move(found.faults);
  return decoded;
}

bool PackCacheRecords(std::span<const CacheRecord> records, uint16_t slotSize, Ring* ring) {
  if (records.empty() || records.size() > UINT16_MAX) return false;
  auto count = static_cast<uint16_t>(records.size());
  ring->lengths.reset(new (std::nothrow) uint16_t[count]);
  ring->slots.reset(new (std::nothrow) uint8_t[size_t{count} * slotSize]());
  if (!ring->lengths || !ring->slots) return false;
  ring->slotCount = count;
  ring->slotSize = slotSize;
  for (uint16_t i = 0; i < count; ++i) {
    if (records[i].length > 0) std::copy_n(records[i].bytes, records[i].length, ring->Slot(i));
    ring->lengths[i] = records[i].length;
  }
  ring->readIndex = count;  // before slot 0
  ring->writeIndex = count - 1;
  return true;
}

CacheFileWrite WriteFileWhole(const std::string& name, const std::string& directory,
                              const std::function<bool(platform::OutputFile&)>& write,
                              std::string* error) {
  platform::FileSystem& files = platform::Files();
  std::string temporary = name + kCacheTemporarySuffix;
  std::unique_ptr<platform::OutputFile> file = files.CreateFile(temporary);
  if (!file) {
    *error = files.ErrorText();
    return CacheFileWrite::kNotCreated;
  }
  bool written = write(*file) && file->Sync();
  if (!written) *error = files.ErrorText();
  if (!file->Close() && written) {
    *error = files.ErrorText();
    written = false;
  }
  file.reset();
  if (written && !files.RenameFile(temporary, name)) {
    *error = files.ErrorText();
    written = false;
  }
  if (!written) {
    files.RemoveFile(temporary);
    return CacheFileWrite::kNotWritten;
  }
  if (!files.SyncDirectory(directory)) {
    *error = files.ErrorText();
    return CacheFileWrite::kNameNotSynced;
  }
  return CacheFileWrite::kWritten;
}

CacheFileWrite WriteCacheFileWhole(const Ring& ring, const std::string& name,
                                   const std::string& directory, std::string* error) {
  return WriteFileWhole(
      name, directory, [&](platform::OutputFile& file) { return WriteCacheFile(file, ring); },
      error);
}

}  // namespace histfeed
