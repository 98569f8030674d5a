// SPDX-License-Identifier: Apache-2.0
// RecordQueue: a bounded first-in first-out store of byte records in a
// ring of fixed-size slots, safe for several producers and one consumer.
// With its disk cache enabled, a push onto a full ring writes the whole
// ring to a new cache file and starts the ring afresh; reads then take
// the cache files, oldest first, before the ring, so order always holds.
#ifndef HISTFEED_QUEUE_RECORD_QUEUE_H_
#define HISTFEED_QUEUE_RECORD_QUEUE_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/mutex.h"
#include "platform/thread_annotations.h"

namespace histfeed {

// Result codes of the queue operations (used only inside the library).
inline constexpr int32_t kQueueOk = 0;
inline constexpr int32_t kQueueNoMemory = -301;
inline constexpr int32_t kQueueBadSlotCount = -302;  // also slot size 0
inline constexpr int32_t kQueueFull = -303;
inline constexpr int32_t kQueueRecordTooLong = -304;
inline constexpr int32_t kQueueEmpty = -305;
inline constexpr int32_t kQueueCacheAlreadyEnabled = -306;
inline constexpr int32_t kQueueBadCacheDirectory = -307;
inline constexpr int32_t kQueueCacheFileUnreadable = -308;

// What a cache message is about.
enum class QueueMessageKind {
  kEvent,  // routine: a file written, loaded or deleted
  kAlert,  // records are at risk or were set aside: worth a look every time
};

// Receives the queue's diagnostic lines (cache events only).
using QueueMessageSink = std::function<void(QueueMessageKind kind, const char* line)>;

// Judges one record read back from a cache file on its own. Records it
// refuses are left in the file, which is set aside.
using QueueRecordCheck = std::function<bool(const uint8_t* record, uint16_t length)>;

// Is shown one record.
using QueueRecordVisitor = std::function<void(const uint8_t* record, uint16_t length)>;

// The ring and its disk cache (queue/record_queue_internal.h).
struct QueueState;

// Safe for several producers and one consumer: every operation holds the
// queue's mutex, and the ring and its disk cache (QueueState) are reached
// only under it. Owned through std::unique_ptr from Create() on.
class RecordQueue {
 public:
  // Creates a queue of slotCount slots of slotSize bytes into *out. Slot
  // count below 2 and slot size 0 give -302; no memory gives -301 and
  // leaves *out empty.
  static int32_t Create(uint16_t slotCount, uint16_t slotSize, std::unique_ptr<RecordQueue>* out);

  // Ends every wait, lets any call still inside the queue finish, then
  // frees the queue. Records still in memory are lost; cache files stay on
  // disk, but for those already delivered, which are removed. No call may
  // start on the queue once this has begun.
  ~RecordQueue();
  RecordQueue(const RecordQueue&) = delete;
  RecordQueue& operator=(const RecordQueue&) = delete;

  // Appends a record. A full ring is spilled to the cache first; without a
  // cache (or when the spill fails) the result is -303 and nothing changes.
  // A record longer than the slot size gives -304.
  int32_t Push(const void* data, uint16_t length) EXCLUDES(mutex_);

  // Takes the oldest record into dst. -305 when there is none; -304 when it
  // is longer than capacity, and the record is dropped; -308 or -301 when a
  // cache file cannot be loaded.
  int32_t Pop(void* dst, uint16_t capacity, uint16_t* outLength) EXCLUDES(mutex_);

  // Like Pop, but leaves the record in the queue (-304 keeps it too).
  int32_t Peek(void* dst, uint16_t capacity, uint16_t* outLength) EXCLUDES(mutex_);

  // Like Peek for up to maxRecords of the oldest records at once: each goes
  // into its own `capacity` bytes of dst (records * capacity bytes in all)
  // and its length into lengths[]; one longer than capacity gets a length
  // above capacity and no bytes. *outCount gets the number of records
  // seen. While records wait in the disk cache it sees only the oldest.
  // -305 when there is none; -308 or -301 when a cache file cannot be
  // loaded.
  int32_t PeekMany(void* dst, uint16_t capacity, uint16_t* lengths, uint16_t maxRecords,
                   uint16_t* outCount) EXCLUDES(mutex_);

  // Blocks until the queue holds a record (in the ring or the cache). Takes
  // nothing. Returns true when a record is there, false once Close() has
  // been called and the queue holds no record, so a consumer can drain
  // what is left and then stop.
  bool WaitForRecord() EXCLUDES(mutex_);

  // Marks the queue as closing and wakes the consumer's wait.
  void Close() EXCLUDES(mutex_);

  // Records in the in-memory ring; cache files and loaded records are not
  // counted.
  uint16_t Count() EXCLUDES(mutex_);

  // Gives the queue a disk cache of at most maxFiles files (0: no limit)
  // in `directory` (null or empty: "Cache/"), named prefix + number +
  // extension (prefix null or empty: "KelQueue"; extension ".que" when no
  // dot appears anywhere). Files left there by an earlier queue are picked
  // up and read before anything new. Returns 0, -306 when already enabled,
  // -307 when the directory is unusable, -301 without memory.
  int32_t EnableCache(uint32_t maxFiles, uint32_t deleteOldest, const char* prefix,
                      const char* directory) EXCLUDES(mutex_);

  // Writes the records still held in memory (a loaded cache file and the
  // ring) into cache files, so a queue enabling the same cache later
  // delivers them first, in order. Ignores the file limit: records are not
  // dropped for it. Returns 0, or -303 when the cache is off or a file
  // could not be written; then `lost` is shown every record that is on no
  // disk, and *reason (when given) says why.
  int32_t SaveToCache(const QueueRecordVisitor& lost = {}, std::string* reason = nullptr)
      EXCLUDES(mutex_);

  // Appends a record the owner gives up on to the set-aside file beside the
  // cache files (prefix + "SetAside" + extension + ".bad"), as its u16
  // length followed by its bytes, and syncs it. Returns 0 with the file's
  // name in *where, or -303 with the reason in *where when there is no
  // cache or the file could not be written.
  int32_t SetAside(const void* record, uint16_t length, std::string* where) EXCLUDES(mutex_);

  // Removes the cache files whose records have all been taken. Taking the
  // last record of a file only renames it out of line (so no restart
  // delivers it again): removing a file can take a millisecond or more,
  // and a backlog should not wait for that. Call this when there is
  // nothing to deliver; the queue also removes them itself before they
  // take room that a spill needs, once 32 of them wait, and when it is
  // destroyed. The files are removed outside the queue's lock.
  void RemoveDeliveredFiles() EXCLUDES(mutex_);

  // Sets the check that records of a cache file must pass when it is read
  // back (none by default: any record that fits its slot passes).
  void SetRecordCheck(QueueRecordCheck check) EXCLUDES(mutex_);

  // Sets the sink for the queue's cache messages (none by default).
  void SetMessageSink(QueueMessageSink sink) EXCLUDES(mutex_);

  // Calls inside the queue right now, a wait included; for tests that
  // time a destruction.
  int CallsUnderWay() const { return callsInside_.load(); }

 private:
  class CallScope;

  explicit RecordQueue(std::unique_ptr<QueueState> state);
  int32_t Read(bool remove, void* dst, uint16_t capacity, uint16_t* outLength) EXCLUDES(mutex_);
  bool HoldsRecordLocked() REQUIRES(mutex_);

  platform::Mutex mutex_;
  // Signalled when a record arrives and when the queue closes.
  platform::CondVar changed_;
  const std::unique_ptr<QueueState> state_ PT_GUARDED_BY(mutex_);
  bool closing_ GUARDED_BY(mutex_) = false;
  // Calls under way, so that destruction waits until every one has left.
  std::atomic<int> callsInside_{0};
};

}  // namespace histfeed

#endif  // HISTFEED_QUEUE_RECORD_QUEUE_H_
