// SPDX-License-Identifier: Apache-2.0
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
#include <utility>

#include "histfeed.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "wire/frame_format.h"
#include "universal/hand_over_order.h"
#include "universal/point_record.h"

namespace histfeed::universal {

// Hands a finished frame to the transport; returns its result.
using FrameSender = std::function<int32_t(const uint8_t* frame, size_t length, bool isConfig)>;

class RecordBufferSet {
 public:
  // Finished frames go to `send`, outside the lock.
  explicit RecordBufferSet(FrameSender send) : send_(std::move(send)) {}
  RecordBufferSet(const RecordBufferSet&) = delete;
  RecordBufferSet& operator=(const RecordBufferSet&) = delete;

  // Empties every buffer and the block time (a key being taken again).
  void Reset() REQUIRES(lock_);
  // Frees every buffer; buffered records are dropped.
  void ReleaseLocked() REQUIRES(lock_);

  // Adds `count` packed records of record type `code`. A full buffer is
  // flushed first. Returns 0, or the code of the last automatic flush;
  // when that flush fails before the hand-over, the remaining records
  // are refused with its code.
  int32_t Add(int32_t code, const uint8_t* records, int32_t count) EXCLUDES(lock_);

  // Sends everything buffered for `code`. Returns 0 when there was nothing
  // to send or every frame was handed over successfully, -1 for no record
  // type, the header codes when the identifier or time is missing (the
  // buffer is kept), or the transport's first failure (the records of
  // frames not yet handed over stay buffered).
  int32_t Flush(int32_t code) EXCLUDES(lock_);

  // Header setters.
  void SetPointId(const char* id) EXCLUDES(lock_);
  void SetLongId(const char* id) EXCLUDES(lock_);
  void SetExtId(const char* id) EXCLUDES(lock_);
  void SetTime(int32_t seconds, int16_t msec) EXCLUDES(lock_);

  // A block record grouped by identifier (type 2, 7 or 16): when the
  // identifier differs, compared case-insensitively over the header's
  // width, the old group leaves first. The identifier and the record are
  // changed together under the lock, so no record ever travels under
  // another group's header. An empty identifier, or an old group that
  // cannot leave, refuses the record with the flush's code.
  int32_t AddBlockById(int32_t code, const char* id, const uint8_t* record) EXCLUDES(lock_);

  // A block record grouped by time (type 3, 8 or 17); seconds and
  // milliseconds both start a new group when they change. Time 0 refuses
  // the record with -101.
  int32_t AddBlockByTime(int32_t code, int32_t seconds, int16_t msec, const uint8_t* record)
      EXCLUDES(lock_);

  // The one-value paths of the entry points, for a record type fixed while
  // compiling. The record comes encoded, so the lock is held only to copy
  // it; results are those of Add, AddBlockById and AddBlockByTime.
  template <int32_t Code>
  int32_t AddRecord(const PointRecord<Code>& record) EXCLUDES(lock_);
  template <int32_t Code>
  int32_t AddBlockRecordById(const char* id, const PointRecord<Code>& record) EXCLUDES(lock_);
  template <int32_t Code>
  int32_t AddBlockRecordByTime(int32_t seconds, int16_t msec, const PointRecord<Code>& record)
      EXCLUDES(lock_);

  platform::Mutex& lock() RETURN_CAPABILITY(lock_) { return lock_; }
  // Records now held for `code` (0 for no record type). Takes the lock.
  int32_t CountOf(int32_t code) EXCLUDES(lock_);
  // Threads waiting for their frames' turn at the transport, for tests.
  int32_t WaitingToHandOver() const { return handOver_.Waiting(); }

 private:
  struct Frame {
    uint8_t bytes[kMaxFrameBytes];
    size_t length = 0;
    bool isConfig = false;
  };

  bool EnsureRecordBuffer(int index) REQUIRES(lock_);
  int32_t HeaderPrecondition(const RecordType& type) const REQUIRES(lock_);
  // Takes the oldest records that fit one frame out of the buffer into
  // `frame`. Clears the header once the buffer is empty. Lock held.
  void TakeFrameLocked(int index, Frame* frame) REQUIRES(lock_);
  // Sends what `index` holds now, taking the lock around each frame; with
  // `oneFrame`, only the oldest frame's worth (room for the next record).
  int32_t SendFrames(int index, bool oneFrame = false) EXCLUDES(lock_);
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
  GroupMatch MatchGroupLocked(const RecordType& type, const BlockGroup& group) const
      REQUIRES(lock_);
  void SetGroupHeaderLocked(const RecordType& type, const BlockGroup& group, GroupMatch match)
      REQUIRES(lock_);
  void SetFixedLocked(char* field, size_t width, const char* text) REQUIRES(lock_);
  // Whether the buffer of `index` exists and has a free slot.
  bool HasRoomLocked(int index) const REQUIRES(lock_) {
    return bufferAllocated_[index] != 0 && recordCount_[index] < kRecordTypes[index].capacity;
  }
  // Adds `count` records of `index`.
  int32_t AddFrom(int index, const uint8_t* records, int32_t count) EXCLUDES(lock_);
  // Adds one block record; the old group leaves first when it differs,
  // and a full buffer of the same group gives up one frame's worth.
  int32_t AddBlock(int index, const BlockGroup& group, const uint8_t* record) EXCLUDES(lock_);
  // The hot part of the block paths of AddBlockRecordById/ByTime.
  template <int32_t Code>
  int32_t AddBlockRecord(const BlockGroup& group, const PointRecord<Code>& record)
      EXCLUDES(lock_);
  // Whether a buffer under the same header as `index` holds records.
  bool RecordsUnderHeaderLocked(int index) const REQUIRES(lock_);
  // The groups that leave to make room for a record of `index` (all under
  // its header when the group changes, else `index` alone): 0 when each
  // can leave under its header, else the first missing header's code.
  int32_t LeavingGroupsPreconditionLocked(int index, bool groupChanges) const REQUIRES(lock_);
  // Cuts the leaving groups into `frames`; returns how many.
  int CutLeavingGroupsLocked(int index, bool groupChanges, Frame* frames) REQUIRES(lock_);
  // Copies `count` records into the buffer's next slots, which must be free.
  void StoreRecordsLocked(int index, const uint8_t* records, int32_t count) REQUIRES(lock_) {
    size_t bytes = kRecordTypes[index].recordBytes;
    std::memcpy(recordBuffer_[index].get() + size_t(recordCount_[index]) * bytes, records,
                size_t(count) * bytes);
    recordCount_[index] += count;
  }

  const FrameSender send_;
  platform::Mutex lock_;
  int32_t recordCount_[kRecordTypeCount] GUARDED_BY(lock_) = {};
  int32_t bufferAllocated_[kRecordTypeCount] GUARDED_BY(lock_) = {};
  std::unique_ptr<uint8_t[]> recordBuffer_[kRecordTypeCount] GUARDED_BY(lock_);
  char pointId_[kPointIdBytes] GUARDED_BY(lock_) = {};
  char longId_[kLongIdBytes] GUARDED_BY(lock_) = {};
  char extId_[kExtIdHeaderBytes] GUARDED_BY(lock_) = {};
  int32_t blockTime_ GUARDED_BY(lock_) = 0;
  int16_t blockTimeMsec_ GUARDED_BY(lock_) = 0;
  // Frames reach the transport in the order they were cut; its turns are
  // taken under lock_.
  HandOverOrder handOver_;
};

// The one-value paths are defined here, so that each entry point's copy
// has its record size, capacity and header kind as constants. Anything
// beyond "one more record, room for it, same group" goes out of line.

template <int32_t Code>
int32_t RecordBufferSet::AddRecord(const PointRecord<Code>& record) {
  constexpr int index = RecordTypeIndex(Code);
  {
    platform::MutexLock lock(lock_);
    if (HasRoomLocked(index)) [[likely]] {
      StoreRecordsLocked(index, record.data(), 1);
      return 0;
    }
  }
  // No buffer yet, or a full one: the general path looks again.
  return AddFrom(index, record.data(), 1);
}

template <int32_t Code>
int32_t RecordBufferSet::AddBlockRecordById(const char* id, const PointRecord<Code>& record) {
  static_assert(PointRecordType<Code>().shape == RecordShape::kBlock);
  if (id == nullptr || id[0] == '\0') return AddBlockById(Code, id, record.data());
  return AddBlockRecord<Code>(BlockGroup{id, 0, 0}, record);
}

template <int32_t Code>
int32_t RecordBufferSet::AddBlockRecordByTime(int32_t seconds, int16_t msec,
                                              const PointRecord<Code>& record) {
  static_assert(PointRecordType<Code>().shape == RecordShape::kTimeBlock);
  if (seconds == 0) return HISTFEED_MISSING_BLOCK_TIME;
  return AddBlockRecord<Code>(BlockGroup{nullptr, seconds, msec}, record);
}

template <int32_t Code>
int32_t RecordBufferSet::AddBlockRecord(const BlockGroup& group, const PointRecord<Code>& record) {
  constexpr int index = RecordTypeIndex(Code);
  {
    platform::MutexLock lock(lock_);
    if (MatchGroupLocked(kRecordTypes[index], group) == GroupMatch::kIdentical &&
        HasRoomLocked(index)) [[likely]] {
      StoreRecordsLocked(index, record.data(), 1);
      return 0;
    }
  }
  // Another group, no buffer yet or a full one: the general path looks again.
  return AddBlock(index, group, record.data());
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
