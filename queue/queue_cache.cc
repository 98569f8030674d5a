// The disk cache of a RecordQueue: enabling it, spilling a full ring into
// a new file, and loading the oldest file back when reads reach it.
#include <algorithm>
#include <new>
#include <optional>

#include "platform/file_system.h"
#include "queue/cache_file.h"
#include "queue/cache_path.h"
#include "queue/record_queue_internal.h"

namespace histfeed {
namespace {

CachePath PathOf(const RecordQueue& queue) {
  return CachePath{queue.cacheDirectory, queue.cachePrefix, queue.cacheExtension};
}

std::string FileName(const RecordQueue& queue, uint32_t number) {
  return CacheFileName(PathOf(queue), number);
}

std::vector<std::string> FindCacheFiles(const RecordQueue& queue) {
  return platform::Files().FindFiles(queue.cacheDirectory,
                                     queue.cachePrefix + "*" + queue.cacheExtension);
}

// The lowest number above `after`, up to the newest, that names a file on
// disk. Lets a reload skip a long gap in the numbers with one scan instead
// of one failed open per missing number.
std::optional<uint32_t> NextNumberOnDisk(const RecordQueue& queue, uint32_t after) {
  std::optional<uint32_t> next;
  for (const std::string& name : FindCacheFiles(queue)) {
    uint32_t number = CacheFileNumber(name, queue.cachePrefix.size());
    if (number > after && number <= queue.lastNumber && (!next || number < *next)) next = number;
  }
  return next;
}

// Makes room under the file limit by deleting the oldest file, when the
// queue may. Returns 0 or -303.
int32_t DeleteOldestFile(RecordQueue& queue) {
  if (queue.deleteOldest == 0) return kQueueFull;
  platform::FileSystem& files = platform::Files();
  for (;;) {
    std::string name = FileName(queue, queue.firstNumber);
    QueueMessage(queue, "Deleting the oldest cacheing queue file, %s", name.c_str());
    if (files.RemoveFile(name)) {
      ++queue.firstNumber;
      --queue.fileCount;
      return kQueueOk;
    }
    if (files.Exists(name)) {
      QueueMessage(queue, "Cacheing queue failed - attempting to delete oldest file, %s",
                   name.c_str());
      return kQueueFull;
    }
    ++queue.firstNumber;
    if (queue.firstNumber == queue.lastNumber) {
      QueueMessage(queue, "Cacheing queue failed - internal queueing error");
      return kQueueFull;
    }
  }
}

void EmptyLoadedRegion(RecordQueue& queue) {
  queue.loaded.readIndex = queue.loaded.writeIndex;
}

// Makes the loaded arrays big enough for a file of n slots of s bytes.
// Returns 0 or -301.
int32_t ReserveLoadedRegion(RecordQueue& queue, uint16_t slotCount, uint16_t slotSize) {
  if (slotCount <= queue.loadedCapacityCount && slotSize <= queue.loadedCapacitySize) {
    return kQueueOk;
  }
  Ring& loaded = queue.loaded;
  loaded.lengths.reset();
  loaded.slots.reset();
  queue.loadedCapacityCount = 0;
  queue.loadedCapacitySize = 0;
  size_t lengthBytes = 2u * slotCount;
  size_t slotBytes = static_cast<size_t>(slotCount) * slotSize;
  loaded.lengths.reset(new (std::nothrow) uint16_t[slotCount]());
  if (loaded.lengths) loaded.slots.reset(new (std::nothrow) uint8_t[slotBytes]);
  if (!loaded.lengths || !loaded.slots) {
    QueueMessage(queue, "Allocation memory (%ld bytes) failed ",
                 static_cast<long>(loaded.lengths ? slotBytes : lengthBytes));
    loaded.lengths.reset();
    return kQueueNoMemory;
  }
  queue.loadedCapacityCount = slotCount;
  queue.loadedCapacitySize = slotSize;
  return kQueueOk;
}

// Reads an opened cache file into the loaded region. Returns 0, -308 for
// a short or inconsistent file, or -301.
int32_t LoadFile(RecordQueue& queue, platform::InputFile& file, const std::string& name) {
  auto refuse = [&] {
    QueueMessage(queue, "Failed loading queue from cache file, %s", name.c_str());
    EmptyLoadedRegion(queue);
    return kQueueCacheFileUnreadable;
  };
  uint8_t headerBytes[kCacheFileHeaderBytes];
  if (file.Read(headerBytes, sizeof headerBytes) != sizeof headerBytes) return refuse();
  CacheFileHeader header = DecodeCacheFileHeader(headerBytes);
  // A file is untrusted: its header must agree with its own length before
  // anything is allocated or indexed by it.
  if (!IsValidCacheFileHeader(header, file.Size())) return refuse();

  int32_t reserved = ReserveLoadedRegion(queue, header.slotCount, header.slotSize);
  if (reserved != kQueueOk) {
    EmptyLoadedRegion(queue);
    return reserved;
  }
  Ring& loaded = queue.loaded;
  size_t slotBytes = static_cast<size_t>(header.slotCount) * header.slotSize;
  if (!ReadLengths(file, loaded.lengths.get(), header.slotCount) ||
      file.Read(loaded.slots.get(), slotBytes) != slotBytes ||
      !HasValidLengths(loaded.lengths.get(), header.slotCount, header.slotSize)) {
    return refuse();
  }
  loaded.slotCount = header.slotCount;
  loaded.slotSize = header.slotSize;
  loaded.readIndex = header.readIndex;
  loaded.writeIndex = header.writeIndex;
  return kQueueOk;
}

// Loads the oldest cache file into the loaded region and deletes it.
int32_t QueueReload(RecordQueue& queue) {
  if (!queue.cacheEnabled || queue.fileCount == 0) return kQueueEmpty;
  platform::FileSystem& files = platform::Files();
  std::unique_ptr<platform::InputFile> file;
  std::string name;
  while (queue.firstNumber <= queue.lastNumber) {
    name = FileName(queue, queue.firstNumber);
    file = files.OpenFile(name);
    if (file) break;
    std::optional<uint32_t> next = NextNumberOnDisk(queue, queue.firstNumber);
    if (!next) {
      queue.firstNumber = queue.lastNumber + 1;
      break;
    }
    queue.firstNumber = *next;
  }
  if (!file) {
    queue.fileCount = 0;
    return kQueueEmpty;
  }
  int32_t loaded = LoadFile(queue, *file, name);
  file.reset();
  if (loaded != kQueueOk) return loaded;

  ++queue.firstNumber;
  --queue.fileCount;
  QueueMessage(queue, "Loaded queue from cache file, %s", name.c_str());
  if (!files.RemoveFile(name)) {
    QueueMessage(queue, "Load queue failed to delete file %s", name.c_str());
  }
  return kQueueOk;
}

// Writes a ring image to a new file; a file that did not reach the disk
// whole is removed again, so it can never hold up a reload.
bool WriteImageFile(RecordQueue& queue, const Ring& ring, const std::string& name) {
  platform::FileSystem& files = platform::Files();
  std::unique_ptr<platform::OutputFile> file = files.CreateFile(name);
  if (!file) {
    QueueMessage(queue, "Unable to open cache file for export, %s", name.c_str());
    return false;
  }
  bool written = WriteCacheFile(*file, ring);
  written = file->Close() && written;
  file.reset();
  if (!written) {
    files.RemoveFile(name);
    QueueMessage(queue, "Unable to write cache file for export, %s", name.c_str());
    return false;
  }
  QueueMessage(queue, "Exported cache file, %s", name.c_str());
  return true;
}

}  // namespace

int32_t QueueSpill(RecordQueue& queue) {
  if (!queue.cacheEnabled) return kQueueFull;
  if (queue.maxFiles != 0 && queue.fileCount >= queue.maxFiles) {
    int32_t made = DeleteOldestFile(queue);
    if (made != kQueueOk) return made;
  }
  ++queue.lastNumber;
  // On failure the ring keeps its records and the push is refused.
  if (!WriteImageFile(queue, queue.ring, FileName(queue, queue.lastNumber))) {
    --queue.lastNumber;
    return kQueueFull;
  }
  queue.ring.readIndex = queue.ring.writeIndex;
  ++queue.fileCount;
  return kQueueOk;
}

int32_t QueueSaveToCache(RecordQueue* queue) {
  SemLock lock(queue->lock);
  if (!queue->cacheEnabled) return kQueueFull;
  int32_t result = kQueueOk;
  // The loaded region came from the file just below the oldest one left,
  // so it goes back under that number and stays first in line. If that
  // file could not be deleted it still holds these records.
  if (!queue->loaded.Empty()) {
    uint32_t number = queue->firstNumber - 1;
    std::string name = FileName(*queue, number);
    if (!platform::Files().Exists(name)) {
      if (WriteImageFile(*queue, queue->loaded, name)) {
        queue->firstNumber = number;
        ++queue->fileCount;
        EmptyLoadedRegion(*queue);
      } else {
        result = kQueueFull;
      }
    }
  }
  if (!queue->ring.Empty()) {
    ++queue->lastNumber;
    if (WriteImageFile(*queue, queue->ring, FileName(*queue, queue->lastNumber))) {
      queue->ring.readIndex = queue->ring.writeIndex;
      ++queue->fileCount;
    } else {
      --queue->lastNumber;
      result = kQueueFull;
    }
  }
  return result;
}

int32_t QueueCacheTake(RecordQueue& queue, bool remove, void* dst, uint16_t capacity,
                       uint16_t* outLength) {
  // A file may hold no record at all; go on to the next one, then the ring.
  while (queue.loaded.Empty()) {
    if (queue.fileCount == 0) return queue.ring.Take(remove, dst, capacity, outLength);
    int32_t reloaded = QueueReload(queue);
    if (reloaded == kQueueEmpty) return queue.ring.Take(remove, dst, capacity, outLength);
    if (reloaded != kQueueOk) return reloaded;
  }
  return queue.loaded.Take(remove, dst, capacity, outLength);
}

int32_t QueueEnableCache(RecordQueue* queue, uint32_t maxFiles, uint32_t deleteOldest,
                         const char* prefix, const char* directory) {
  SemLock lock(queue->lock);
  if (queue->cacheEnabled) {
    QueueMessage(*queue, "Cacheing already enabled");
    return kQueueCacheAlreadyEnabled;
  }
  CachePath path;
  try {
    path = MakeCachePath(prefix, directory);
  } catch (const std::bad_alloc&) {
    QueueMessage(*queue, "Failed to enable cacheing - allocation error");
    return kQueueNoMemory;
  }
  platform::FileSystem& files = platform::Files();
  if (!files.MakeDirectory(path.directory) && !files.IsDirectory(path.directory)) {
    QueueMessage(*queue, "Failed to enable cacheing - bad path specified, %s",
                 path.directory.c_str());
    return kQueueBadCacheDirectory;
  }
  queue->cacheDirectory = std::move(path.directory);
  queue->cachePrefix = std::move(path.prefix);
  queue->cacheExtension = std::move(path.extension);
  queue->maxFiles = maxFiles;
  queue->deleteOldest = deleteOldest;
  queue->cacheEnabled = true;

  // Files left by an earlier run are read before anything pushed now.
  std::vector<std::string> found = FindCacheFiles(*queue);
  for (size_t i = 0; i < found.size(); ++i) {
    uint32_t number = CacheFileNumber(found[i], queue->cachePrefix.size());
    queue->firstNumber = i == 0 ? number : std::min(queue->firstNumber, number);
    queue->lastNumber = i == 0 ? number : std::max(queue->lastNumber, number);
    ++queue->fileCount;
  }
  return kQueueOk;
}

}  // namespace histfeed
