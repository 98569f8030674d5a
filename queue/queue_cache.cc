// SPDX-License-Identifier: Apache-2.0
// The disk cache of a RecordQueue: enabling it, spilling a full ring into
// a new file, and loading the oldest file back when reads reach it.
//
// Nothing the queue accepted may be lost to a crash once it is on disk:
// a spill reaches its final name only whole and synced (written under a
// temporary name, then renamed), and a file read back stays on disk until
// the last of its records has been taken. A crash can therefore deliver
// records twice, never lose them. A file that cannot be trusted is
// renamed aside, and the records in it that pass their checks go on.
#include <algorithm>
#include <new>
#include <optional>
#include <span>
#include <utility>

#include "platform/file_system.h"
#include "queue/cache_file.h"
#include "queue/cache_path.h"
#include "queue/record_queue_internal.h"

namespace histfeed {
namespace {

// A file whose records have all been taken, before it is removed.
constexpr const char* kDeliveredSuffix = ".done";
// Delivered files kept at most before the queue removes them itself, when
// its owner does not get round to it: about 13 MB at 50 x 8,192 bytes.
constexpr size_t kMostDeliveredFilesKept = 32;

CachePath PathOf(const QueueState& queue) {
  return CachePath{queue.cacheDirectory, queue.cachePrefix, queue.cacheExtension};
}

std::string FileName(const QueueState& queue, uint32_t number) {
  return CacheFileName(PathOf(queue), number);
}

// Names (without directory) of the cache files in the directory.
std::vector<std::string> FindCacheFiles(const QueueState& queue) {
  std::vector<std::string> names = platform::Files().FindFiles(
      queue.cacheDirectory, queue.cachePrefix + "*" + queue.cacheExtension);
  CachePath path = PathOf(queue);
  std::erase_if(names, [&](const std::string& name) { return !IsCacheFileName(name, path); });
  return names;
}

// Removes the cache files of an earlier run that end in `suffix`.
void RemoveFilesEndingIn(const QueueState& queue, const char* suffix) {
  platform::FileSystem& files = platform::Files();
  CachePath path = PathOf(queue);
  std::string pattern = queue.cachePrefix + "*" + queue.cacheExtension + suffix;
  for (std::string name : files.FindFiles(queue.cacheDirectory, pattern)) {
    std::string full = queue.cacheDirectory + name;
    name.resize(name.size() - std::char_traits<char>::length(suffix));
    if (IsCacheFileName(name, path)) files.RemoveFile(full);
  }
}

// Half-written spills of a run that ended during the write (the ring they
// came from was still whole in memory then, so they hold nothing new), and
// files delivered whole that it had not yet removed.
void RemoveLeftoverFiles(const QueueState& queue) {
  RemoveFilesEndingIn(queue, kCacheTemporarySuffix);
  RemoveFilesEndingIn(queue, kDeliveredSuffix);
}

// The lowest number above `after`, up to the newest, that names a file on
// disk. Lets a reload skip a long gap in the numbers with one scan instead
// of one failed open per missing number.
std::optional<uint32_t> NextNumberOnDisk(const QueueState& queue, uint32_t after) {
  std::optional<uint32_t> next;
  for (const std::string& name : FindCacheFiles(queue)) {
    uint32_t number = CacheFileNumber(name, queue.cachePrefix.size());
    if (number > after && number <= queue.lastNumber && (!next || number < *next)) next = number;
  }
  return next;
}

// The cache files on disk that the file limit counts: those waiting in
// line, and the one whose records are being read back, which stays until
// its last record has been taken. A spill's temporary file is the new file
// itself under another name; delivered files are counted by the caller.
uint32_t FilesOnDisk(const QueueState& queue) {
  return queue.fileCount + (queue.loadedFile.empty() ? 0 : 1);
}

// Makes room under the file limit by deleting the oldest file, when the
// queue may. Returns 0 or -303.
int32_t DeleteOldestFile(QueueState& queue) {
  if (queue.deleteOldest == 0) return kQueueFull;
  platform::FileSystem& files = platform::Files();
  for (;;) {
    std::string name = FileName(queue, queue.firstNumber);
    QueueMessage(queue, QueueMessageKind::kAlert, "Deleting the oldest cacheing queue file, %s",
                 name.c_str());
    if (files.RemoveFile(name)) {
      ++queue.firstNumber;
      --queue.fileCount;
      return kQueueOk;
    }
    if (files.Exists(name)) {
      QueueMessage(queue, QueueMessageKind::kAlert,
                   "Cacheing queue failed - attempting to delete oldest file, %s", name.c_str());
      return kQueueFull;
    }
    ++queue.firstNumber;
    if (queue.firstNumber == queue.lastNumber) {
      QueueMessage(queue, QueueMessageKind::kAlert,
                   "Cacheing queue failed - internal queueing error");
      return kQueueFull;
    }
  }
}

// Writes a ring image whole under `name` (see WriteCacheFileWhole). On
// failure nothing new is left on disk and *error holds the operating
// system's reason.
bool WriteImageFile(QueueState& queue, const Ring& ring, const std::string& name,
                    std::string* error) {
  switch (WriteCacheFileWhole(ring, name, queue.cacheDirectory, error)) {
    case CacheFileWrite::kNotCreated:
      QueueMessage(queue, QueueMessageKind::kEvent, "Unable to open cache file for export, %s",
                   name.c_str());
      return false;
    case CacheFileWrite::kNotWritten:
      QueueMessage(queue, QueueMessageKind::kEvent, "Unable to write cache file for export, %s",
                   name.c_str());
      return false;
    case CacheFileWrite::kNameNotSynced:
      QueueMessage(queue, QueueMessageKind::kEvent, "Cache directory %s could not be synced: %s",
                   queue.cacheDirectory.c_str(), error->c_str());
      break;
    case CacheFileWrite::kWritten:
      break;
  }
  QueueMessage(queue, QueueMessageKind::kEvent, "Exported cache file, %s", name.c_str());
  return true;
}

void EmptyLoadedRegion(QueueState& queue) {
  queue.loadedRecords.clear();
  queue.loadedNext = 0;
}

// Reads a cache file whole into queue.fileBytes, but never more than its
// own header allows (plus one byte, so a longer file shows as one). Sets
// *size to the bytes read. Returns 0 or -301.
int32_t ReadCacheFile(QueueState& queue, platform::InputFile& file, size_t* size) {
  uint8_t head[kCacheFileHeaderBytes];
  size_t got = file.Read(head, sizeof head);
  uint64_t most = CacheFileReadLimit(head, got, got == sizeof head ? file.Size() : got);
  if (most > queue.fileCapacity) {
    queue.fileBytes.reset();
    queue.fileCapacity = 0;
    if (most <= SIZE_MAX) queue.fileBytes.reset(new (std::nothrow) uint8_t[most]);
    if (!queue.fileBytes) {
      QueueMessage(queue, QueueMessageKind::kAlert, "Allocation memory (%ld bytes) failed ",
                   static_cast<long>(most));
      return kQueueNoMemory;
    }
    queue.fileCapacity = static_cast<size_t>(most);
  }
  std::copy_n(head, got, queue.fileBytes.get());
  if (most > got) got += file.Read(queue.fileBytes.get() + got, static_cast<size_t>(most - got));
  *size = got;
  return kQueueOk;
}

// Takes the records of a file as they lie in queue.fileBytes.
void FillLoadedRegion(QueueState& queue, DecodedCacheFile& decoded) {
  queue.loadedRecords = std::move(decoded.records);
  queue.loadedNext = 0;
  queue.loadedSlotSize = decoded.slotSize;
}

// The records not yet taken from the loaded file, oldest first.
std::span<const CacheRecord> LoadedRecordsLeft(const QueueState& queue) {
  return std::span(queue.loadedRecords).subspan(queue.loadedNext);
}

// Writes the records not yet taken under `name`, as WriteImageFile does.
bool WriteLoadedRecords(QueueState& queue, const std::string& name, std::string* error) {
  Ring packed;
  if (!PackCacheRecords(LoadedRecordsLeft(queue), queue.loadedSlotSize, &packed)) {
    *error = "out of memory";
    return false;
  }
  return WriteImageFile(queue, packed, name, error);
}

// A name beside `name` that no file has yet.
std::string SetAsideName(const std::string& name) {
  platform::FileSystem& files = platform::Files();
  std::string aside = name + ".bad";
  for (int n = 2; files.Exists(aside); ++n) aside = name + "." + std::to_string(n) + ".bad";
  return aside;
}

// Moves a damaged file out of the way, so that delivery goes on with the
// next one, and puts what could be saved from it back under its name.
void SetAsideDamagedFile(QueueState& queue, const std::string& name,
                         const DecodedCacheFile& decoded) {
  platform::FileSystem& files = platform::Files();
  QueueMessage(queue, QueueMessageKind::kAlert, "Failed loading queue from cache file, %s",
               name.c_str());
  std::string aside = SetAsideName(name);
  if (!files.RenameFile(name, aside)) {
    // Skipped for this run; the next one meets it again.
    QueueMessage(queue, QueueMessageKind::kAlert,
                 "Cache file %s is damaged (%s) and could not be set aside: %s", name.c_str(),
                 decoded.damage, files.ErrorText().c_str());
    return;
  }
  files.SyncDirectory(queue.cacheDirectory);
  QueueMessage(queue, QueueMessageKind::kAlert,
               "Cache file %s is damaged (%s): set aside as %s, %u of %u records saved",
               name.c_str(), decoded.damage, aside.c_str(),
               static_cast<unsigned>(queue.loadedRecords.size()),
               static_cast<unsigned>(decoded.recordsAnnounced));
  std::string error;
  if (!queue.LoadedEmpty() && WriteLoadedRecords(queue, name, &error)) queue.loadedFile = name;
}

// Loads the oldest cache file into the loaded region. The file stays on
// disk until its last record has been taken.
int32_t QueueReload(QueueState& queue) {
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
  EmptyLoadedRegion(queue);
  size_t size = 0;
  // Without memory the file stays first in line and is tried again.
  int32_t read = ReadCacheFile(queue, *file, &size);
  file.reset();
  if (read != kQueueOk) return read;
  DecodedCacheFile decoded = DecodeCacheFile(queue.fileBytes.get(), size, queue.recordCheck);
  FillLoadedRegion(queue, decoded);

  queue.loadedNumber = queue.firstNumber++;
  --queue.fileCount;
  if (decoded.damage != nullptr) {
    SetAsideDamagedFile(queue, name, decoded);
    return kQueueOk;
  }
  queue.loadedFile = name;
  QueueMessage(queue, QueueMessageKind::kEvent, "Loaded queue from cache file, %s", name.c_str());
  return kQueueOk;
}

// Says that a delivered file is still on disk under its own name.
void SayDeliveredFileStays(QueueState& queue, const std::string& name) {
  QueueMessage(queue, QueueMessageKind::kAlert, "Load queue failed to delete file %s",
               name.c_str());
  QueueMessage(queue, QueueMessageKind::kAlert,
               "Cache file %s stays on disk: its records, delivered now, will be delivered "
               "again when the cache is next enabled",
               name.c_str());
}

// Retires the file behind the loaded region once its records are all out.
// A rename takes it out of line at once; removing it, which on some disks
// takes a millisecond or more, waits for RemoveDeliveredFiles, so that a
// backlog being delivered is not held up by it.
void ReleaseDrainedFile(QueueState& queue) {
  if (queue.loadedFile.empty()) return;
  std::string name = std::move(queue.loadedFile);
  queue.loadedFile.clear();
  platform::FileSystem& files = platform::Files();
  std::string delivered = name + kDeliveredSuffix;
  if (files.RenameFile(name, delivered)) {
    queue.deliveredFiles.push_back(std::move(delivered));
    if (queue.deliveredFiles.size() >= kMostDeliveredFilesKept) {
      SayDeliveredFilesStay(queue, RemoveDeliveredFiles(TakeDeliveredFiles(queue)));
    }
    return;
  }
  if (!files.RemoveFile(name)) SayDeliveredFileStays(queue, name);
}

// Notes whether spills fail, saying so once when they start to and once
// when they work again, not on every refused push.
void NoteSpill(QueueState& queue, const std::string& name, const std::string* error) {
  if (error != nullptr && !queue.spillsFailing) {
    QueueMessage(queue, QueueMessageKind::kAlert,
                 "Cache spill failed, %s: %s; records are refused until a spill succeeds",
                 name.c_str(), error->c_str());
  } else if (error == nullptr && queue.spillsFailing) {
    QueueMessage(queue, QueueMessageKind::kAlert, "Cache spills succeed again, %s",
                 name.c_str());
  }
  queue.spillsFailing = error != nullptr;
}

void ShowRecords(const Ring& ring, const QueueRecordVisitor& visit) {
  if (!visit) return;
  for (uint16_t index = ring.readIndex; index != ring.writeIndex;) {
    index = ring.Advance(index);
    visit(ring.Slot(index), ring.lengths[index]);
  }
}

void ShowLoadedRecords(const QueueState& queue, const QueueRecordVisitor& visit) {
  if (!visit) return;
  for (const CacheRecord& record : LoadedRecordsLeft(queue)) visit(record.bytes, record.length);
}

// Saves the loaded region under the number it came from, so that it stays
// first in line. If that fails while its file is still on disk, nothing is
// lost: the file holds these records and some already taken.
bool SaveLoadedRegion(QueueState& queue, const QueueRecordVisitor& lost, std::string* error) {
  if (queue.LoadedEmpty()) return true;
  std::string name = FileName(queue, queue.loadedNumber);
  if (!WriteLoadedRecords(queue, name, error)) {
    if (!queue.loadedFile.empty()) return true;
    ShowLoadedRecords(queue, lost);
    return false;
  }
  queue.loadedFile.clear();
  queue.firstNumber = queue.loadedNumber;
  ++queue.fileCount;
  EmptyLoadedRegion(queue);
  return true;
}

bool SaveRing(QueueState& queue, const QueueRecordVisitor& lost, std::string* error) {
  if (queue.ring.Empty()) return true;
  ++queue.lastNumber;
  if (!WriteImageFile(queue, queue.ring, FileName(queue, queue.lastNumber), error)) {
    --queue.lastNumber;
    ShowRecords(queue.ring, lost);
    return false;
  }
  queue.ring.readIndex = queue.ring.writeIndex;
  ++queue.fileCount;
  return true;
}

}  // namespace

int32_t QueueSpill(QueueState& queue) {
  if (!queue.cacheEnabled) return kQueueFull;
  // Delivered files count against the limit until they are removed, and
  // go before any file still to be delivered.
  if (queue.maxFiles != 0 && FilesOnDisk(queue) + queue.deliveredFiles.size() >= queue.maxFiles) {
    SayDeliveredFilesStay(queue, RemoveDeliveredFiles(TakeDeliveredFiles(queue)));
  }
  // The file being read back is never deleted to make room: its records
  // are the ones being delivered now.
  while (queue.maxFiles != 0 && FilesOnDisk(queue) >= queue.maxFiles) {
    if (queue.fileCount == 0) return kQueueFull;
    int32_t made = DeleteOldestFile(queue);
    if (made != kQueueOk) return made;
  }
  std::string name = FileName(queue, queue.lastNumber + 1);
  std::string error;
  // On failure the ring keeps its records and the push is refused.
  if (!WriteImageFile(queue, queue.ring, name, &error)) {
    NoteSpill(queue, name, &error);
    return kQueueFull;
  }
  NoteSpill(queue, name, nullptr);
  ++queue.lastNumber;
  queue.ring.readIndex = queue.ring.writeIndex;
  ++queue.fileCount;
  return kQueueOk;
}

int32_t QueueSaveToCache(QueueState& queue, const QueueRecordVisitor& lost, std::string* reason) {
  std::string error = "the queue has no disk cache";
  bool saved = queue.cacheEnabled;
  if (saved) {
    saved = SaveLoadedRegion(queue, lost, &error);
    saved = SaveRing(queue, lost, &error) && saved;
  } else {
    ShowRecords(queue.ring, lost);
  }
  if (saved) return kQueueOk;
  if (queue.cacheEnabled) {
    error = "cache file in " + queue.cacheDirectory + " could not be written: " + error;
    QueueMessage(queue, QueueMessageKind::kAlert, "Records in memory were lost: %s",
                 error.c_str());
  }
  if (reason != nullptr) *reason = error;
  return kQueueFull;
}

int32_t QueueSetAside(QueueState& queue, const void* record, uint16_t length,
                      std::string* where) {
  if (!queue.cacheEnabled) {
    *where = "the queue has no disk cache";
    return kQueueFull;
  }
  platform::FileSystem& files = platform::Files();
  std::string name =
      queue.cacheDirectory + queue.cachePrefix + "SetAside" + queue.cacheExtension + ".bad";
  std::unique_ptr<platform::OutputFile> file = files.AppendFile(name);
  uint8_t lengthBytes[2] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
  bool written = file && file->Write(lengthBytes, 2) && file->Write(record, length) &&
                 file->Sync();
  if (!written) *where = name + ": " + files.ErrorText();
  if (file && !file->Close() && written) {
    *where = name + ": " + files.ErrorText();
    written = false;
  }
  if (!written) return kQueueFull;
  *where = name;
  return kQueueOk;
}

std::vector<std::string> TakeDeliveredFiles(QueueState& queue) {
  return std::exchange(queue.deliveredFiles, {});
}

std::vector<std::string> RemoveDeliveredFiles(const std::vector<std::string>& names) {
  platform::FileSystem& files = platform::Files();
  std::vector<std::string> failures;
  for (const std::string& name : names) {
    if (files.RemoveFile(name) || !files.Exists(name)) continue;
    failures.push_back(name + ": " + files.ErrorText());
  }
  return failures;
}

void SayDeliveredFilesStay(QueueState& queue, const std::vector<std::string>& failures) {
  // Out of line already: such a file costs room, never a second delivery.
  for (const std::string& failure : failures) {
    QueueMessage(queue, QueueMessageKind::kAlert, "Delivered cache file could not be removed, %s",
                 failure.c_str());
  }
}

int32_t QueueCacheTake(QueueState& queue, bool remove, void* dst, uint16_t capacity,
                       uint16_t* outLength) {
  // A file may hold no record at all; go on to the next one, then the ring.
  while (queue.LoadedEmpty()) {
    ReleaseDrainedFile(queue);
    if (queue.fileCount == 0) return queue.ring.Take(remove, dst, capacity, outLength);
    int32_t reloaded = QueueReload(queue);
    if (reloaded == kQueueEmpty) return queue.ring.Take(remove, dst, capacity, outLength);
    if (reloaded != kQueueOk) return reloaded;
  }
  const CacheRecord& record = queue.loadedRecords[queue.loadedNext];
  if (remove) ++queue.loadedNext;
  if (remove && queue.LoadedEmpty()) ReleaseDrainedFile(queue);
  if (record.length > capacity) return kQueueRecordTooLong;
  if (record.length > 0) std::copy_n(record.bytes, record.length, static_cast<uint8_t*>(dst));
  *outLength = record.length;
  return kQueueOk;
}

int32_t QueueEnableCache(QueueState& queue, uint32_t maxFiles, uint32_t deleteOldest,
                         const char* prefix, const char* directory) {
  if (queue.cacheEnabled) {
    QueueMessage(queue, QueueMessageKind::kAlert, "Cacheing already enabled");
    return kQueueCacheAlreadyEnabled;
  }
  CachePath path;
  try {
    path = MakeCachePath(prefix, directory);
  } catch (const std::bad_alloc&) {
    QueueMessage(queue, QueueMessageKind::kAlert, "Failed to enable cacheing - allocation error");
    return kQueueNoMemory;
  }
  platform::FileSystem& files = platform::Files();
  if (!files.MakeDirectory(path.directory) && !files.IsDirectory(path.directory)) {
    QueueMessage(queue, QueueMessageKind::kAlert,
                 "Failed to enable cacheing - bad path specified, %s", path.directory.c_str());
    return kQueueBadCacheDirectory;
  }
  queue.cacheDirectory = std::move(path.directory);
  queue.cachePrefix = std::move(path.prefix);
  queue.cacheExtension = std::move(path.extension);
  queue.maxFiles = maxFiles;
  queue.deleteOldest = deleteOldest;
  queue.cacheEnabled = true;
  RemoveLeftoverFiles(queue);

  // Files left by an earlier run are read before anything pushed now.
  std::vector<std::string> found = FindCacheFiles(queue);
  for (size_t i = 0; i < found.size(); ++i) {
    uint32_t number = CacheFileNumber(found[i], queue.cachePrefix.size());
    queue.firstNumber = i == 0 ? number : std::min(queue.firstNumber, number);
    queue.lastNumber = i == 0 ? number : std::max(queue.lastNumber, number);
    ++queue.fileCount;
  }
  return kQueueOk;
}

}  // namespace histfeed
