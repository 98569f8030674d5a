// The record buffers of one connection key: one buffer per record type in
// which records gather until they leave together as a frame, and the
// header fields (identifier, block time) that block frames carry once.
//
// A buffer leaves as frames when it is flushed, when a record arrives for
// a full buffer, or when a block add sees a new identifier or time. A full
// buffer always leaves as frames that fit the 8,192-byte limit: for the
// types whose full buffer would not fit, the records that fit go first and
// the rest follow in the next frame, in order.
#ifndef HISTFEED_UNIVERSAL_RECORD_BUFFERS_H_
#define HISTFEED_UNIVERSAL_RECORD_BUFFERS_H_

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>

#include "platform/lazy_semaphore.h"
#include "universal/frame_format.h"
#include "universal/hand_over_order.h"
#include "universal/point_record.h"

namespace histfeed::universal {

// Result codes of the record functions.
inline constexpr int32_t kNotARecordType = -1;
inline constexpr int32_t kMissingPointId = -100;
inline constexpr int32_t kMissingBlockTime = -101;
inline constexpr int32_t kMissingLongId = -102;
inline constexpr int32_t kFrameTooLong = -107;
inline constexpr int32_t kMissingExtId = -113;
// A record buffer could not be allocated; the records are refused.
inline constexpr int32_t kNoRecordBuffer = -114;

// Hands a finished frame to the transport; returns its result.
using FrameSender = std::function<int32_t(const uint8_t* frame, size_t length, bool isConfig)>;

class RecordBufferSet {
 public:
  RecordBufferSet() = default;
  ~RecordBufferSet() { SemDestroy(lock_); }
  RecordBufferSet(const RecordBufferSet&) = delete;
  RecordBufferSet& operator=(const RecordBufferSet&) = delete;

  // Empties every buffer and the block time (a slot being taken again).
  void Reset();
  // Frees every buffer; buffered records are dropped. Caller holds lock().
  void ReleaseLocked();

  // Adds `count` packed records of record type `code`. A full buffer is
  // flushed first. Returns 0, or the code of the last automatic flush;
  // when that flush fails before the hand-over, the remaining records
  // are refused with its code.
  int32_t Add(int32_t code, const uint8_t* records, int32_t count, const FrameSender& send);

  // Sends everything buffered for `code`. Returns 0 when there was nothing
  // to send or every frame was handed over successfully, -1 for no record
  // type, the header codes when the identifier or time is missing (the
  // buffer is kept), or the transport's first failure (the records of
  // frames not yet handed over stay buffered).
  int32_t Flush(int32_t code, const FrameSender& send);

  // Header setters; they take no lock (callers that need one hold lock()).
  void SetPointId(const char* id);
  void SetLongId(const char* id);
  void SetExtId(const char* id);
  void SetTime(int32_t seconds, int16_t msec);

  // A block record grouped by identifier (type 2, 7 or 16): when the
  // identifier differs, compared case-insensitively over the header's
  // width, the old group leaves first. The identifier and the record are
  // changed together under the lock, so no record ever travels under
  // another group's header. An empty identifier, or an old group that
  // cannot leave, refuses the record with the flush's code.
  int32_t AddBlockById(int32_t code, const char* id, const uint8_t* record,
                       const FrameSender& send);

  // A block record grouped by time (type 3, 8 or 17); seconds and
  // milliseconds both start a new group when they change. Time 0 refuses
  // the record with -101.
  int32_t AddBlockByTime(int32_t code, int32_t seconds, int16_t msec, const uint8_t* record,
                         const FrameSender& send);

  // The one-value paths of the entry points, for a record type fixed while
  // compiling. The record comes encoded, so the lock is held only to copy
  // it; results are those of Add, AddBlockById and AddBlockByTime.
  template <int32_t Code>
  int32_t AddRecord(const PointRecord<Code>& record, const FrameSender& send);
  template <int32_t Code>
  int32_t AddBlockRecordById(const char* id, const PointRecord<Code>& record,
                             const FrameSender& send);
  template <int32_t Code>
  int32_t AddBlockRecordByTime(int32_t seconds, int16_t msec, const PointRecord<Code>& record,
                               const FrameSender& send);

  LazySemaphore& lock() { return lock_; }
  // Records now held for `code` (0 for no record type). Takes the lock.
  int32_t CountOf(int32_t code);
  // Threads waiting for their frames' turn at the transport, for tests.
  int32_t WaitingToHandOver() const { return handOver_.Waiting(); }

 private:
  struct Frame {
    uint8_t bytes[kMaxFrameBytes];
    size_t length = 0;
    bool isConfig = false;
  };

  bool EnsureRecordBuffer(int index);
  int32_t HeaderPrecondition(const RecordType& type) const;
  // Takes the oldest records that fit one frame out of the buffer into
  // `frame`. Clears the header once the buffer is empty. Lock held.
  void TakeFrameLocked(int index, Frame* frame);
  // Sends what `index` holds now, taking the lock around each frame; with
  // `oneFrame`, only the oldest frame's worth (room for the next record).
  int32_t SendFrames(int index, const FrameSender& send, bool oneFrame = false);
  // The group a block record belongs to: its identifier (types 2, 7, 16)
  // or, with no identifier, its time (types 3, 8, 17).
  struct BlockGroup {
    const char* id = nullptr;
    int32_t seconds = 0;
    int16_t msec = 0;
  };
  // How a record's group compares with the buffered group's header.
  enum class GroupMatch { kDifferent, kOtherSpelling, kIdentical };
  // Inline, as the block fast path asks it for every record.
  GroupMatch MatchGroupLocked(const RecordType& type, const BlockGroup& group) const;
  void SetGroupHeaderLocked(const RecordType& type, const BlockGroup& group, GroupMatch match);
  // Whether the buffer of `index` exists and has a free slot.
  bool HasRoomLocked(int index) const {
    return bufferAllocated_[index] != 0 && recordCount_[index] < kRecordTypes[index].capacity;
  }
  // Adds `count` records of `index`; the Locked form is entered with the
  // lock held and releases it.
  int32_t AddFrom(int index, const uint8_t* records, int32_t count, const FrameSender& send);
  int32_t AddFromLocked(int index, const uint8_t* records, int32_t count,
                        const FrameSender& send);
  // Adds one block record; the old group leaves first when it differs,
  // and a full buffer of the same group gives up one frame's worth. The
  // Locked form is entered with the lock held and releases it.
  int32_t AddBlock(int index, const BlockGroup& group, const uint8_t* record,
                   const FrameSender& send);
  int32_t AddBlockLocked(int index, const BlockGroup& group, const uint8_t* record,
                         const FrameSender& send);
  // The hot part of the block paths of AddBlockRecordById/ByTime.
  template <int32_t Code>
  int32_t AddBlockRecord(const BlockGroup& group, const PointRecord<Code>& record,
                         const FrameSender& send);
  // Whether a buffer under the same header as `index` holds records.
  bool RecordsUnderHeaderLocked(int index) const;
  // The part of AddBlock that needs frames to leave. Called with the lock
  // held; releases it and sends the frames afterwards.
  int32_t AddBlockMakingRoom(int index, const BlockGroup& group, GroupMatch match,
                             const uint8_t* record, const FrameSender& send);
  // Copies `count` records into the buffer's next slots, which must be free.
  void StoreRecordsLocked(int index, const uint8_t* records, int32_t count) {
    size_t bytes = kRecordTypes[index].recordBytes;
    std::memcpy(recordBuffer_[index].get() + size_t(recordCount_[index]) * bytes, records,
                size_t(count) * bytes);
    recordCount_[index] += count;
  }

  LazySemaphore lock_;
  int32_t recordCount_[kRecordTypeCount] = {};
  int32_t bufferAllocated_[kRecordTypeCount] = {};
  std::unique_ptr<uint8_t[]> recordBuffer_[kRecordTypeCount];
  char pointId_[kPointIdBytes] = {};
  char longId_[kLongIdBytes] = {};
  char extId_[kExtIdHeaderBytes] = {};
  int32_t blockTime_ = 0;
  int16_t blockTimeMsec_ = 0;
  // Frames reach the transport in the order they were cut.
  HandOverOrder handOver_;
};

// The one-value paths are defined here, so that each entry point's copy
// has its record size, capacity and header kind as constants. Anything
// beyond "one more record, room for it, same group" goes out of line.

template <int32_t Code>
int32_t RecordBufferSet::AddRecord(const PointRecord<Code>& record, const FrameSender& send) {
  constexpr int index = RecordTypeIndex(Code);
  SemWait(lock_, kWaitForever);
  if (!HasRoomLocked(index)) [[unlikely]] {
    return AddFromLocked(index, record.data(), 1, send);
  }
  StoreRecordsLocked(index, record.data(), 1);
  SemRelease(lock_);
  return 0;
}

template <int32_t Code>
int32_t RecordBufferSet::AddBlockRecordById(const char* id, const PointRecord<Code>& record,
                                            const FrameSender& send) {
  static_assert(PointRecordType<Code>().shape == RecordShape::kBlock);
  if (id == nullptr || id[0] == '\0') return AddBlockById(Code, id, record.data(), send);
  return AddBlockRecord<Code>(BlockGroup{id, 0, 0}, record, send);
}

template <int32_t Code>
int32_t RecordBufferSet::AddBlockRecordByTime(int32_t seconds, int16_t msec,
                                              const PointRecord<Code>& record,
                                              const FrameSender& send) {
  static_assert(PointRecordType<Code>().shape == RecordShape::kTimeBlock);
  if (seconds == 0) return kMissingBlockTime;
  return AddBlockRecord<Code>(BlockGroup{nullptr, seconds, msec}, record, send);
}

template <int32_t Code>
int32_t RecordBufferSet::AddBlockRecord(const BlockGroup& group, const PointRecord<Code>& record,
                                        const FrameSender& send) {
  constexpr int index = RecordTypeIndex(Code);
  SemWait(lock_, kWaitForever);
  if (MatchGroupLocked(kRecordTypes[index], group) != GroupMatch::kIdentical ||
      !HasRoomLocked(index)) [[unlikely]] {
    return AddBlockLocked(index, group, record.data(), send);
  }
  StoreRecordsLocked(index, record.data(), 1);
  SemRelease(lock_);
  return 0;
}

namespace record_buffers_detail {

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Compares `id` with a fixed header field of `width` characters, stopping
// at the first NUL of either: case-insensitively for the group, and byte
// for byte so an unchanged spelling need not be written again (the field
// is NUL-padded, as SetFixed leaves it).
template <typename Match>
Match CompareIdentifier(const char* id, const char* field, size_t width) {
  bool identical = true;
  for (size_t i = 0; i < width; ++i) {
    if (id[i] != field[i]) {
      if (Lower(id[i]) != Lower(field[i])) return Match::kDifferent;
      identical = false;
    }
    if (id[i] == '\0') break;
  }
  return identical ? Match::kIdentical : Match::kOtherSpelling;
}

}  // namespace record_buffers_detail

inline RecordBufferSet::GroupMatch RecordBufferSet::MatchGroupLocked(
    const RecordType& type, const BlockGroup& group) const {
  using record_buffers_detail::CompareIdentifier;
  switch (type.extension) {
    case HeaderExtension::kPointId:
      return CompareIdentifier<GroupMatch>(group.id, pointId_, sizeof pointId_);
    case HeaderExtension::kLongId:
      return CompareIdentifier<GroupMatch>(group.id, longId_, sizeof longId_);
    case HeaderExtension::kExtId:
      return CompareIdentifier<GroupMatch>(group.id, extId_, sizeof extId_);
    case HeaderExtension::kBlockTime:
      // Seconds and milliseconds both start a new group when they change.
      return group.seconds == blockTime_ && group.msec == blockTimeMsec_ ? GroupMatch::kIdentical
                                                                         : GroupMatch::kDifferent;
    case HeaderExtension::kNone: break;
  }
  return GroupMatch::kIdentical;
}

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_RECORD_BUFFERS_H_
