// SPDX-License-Identifier: Apache-2.0
#include "universal/record_buffers.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace histfeed::universal {
namespace {

// No buffer ever needs more than two frames: a full buffer of the types
// whose capacity exceeds one frame still fits two.
constexpr int kMostFramesPerBuffer = 2;
constexpr bool EveryBufferFitsTwoFrames() {
  for (const RecordType& type : kRecordTypes) {
    size_t perFrame = (kMaxFrameBytes - kFrameOverheadBytes - type.extensionBytes) /
                      type.recordBytes;
    if (type.capacity > kMostFramesPerBuffer * perFrame) return false;
  }
  return true;
}
static_assert(EveryBufferFitsTwoFrames());

// The block time is one header for all three by-time types; each other
// header belongs to one type.
bool SharesHeader(int index, int other) {
  return other == index || (kRecordTypes[index].extension == HeaderExtension::kBlockTime &&
                            kRecordTypes[other].extension == HeaderExtension::kBlockTime);
}

constexpr int kTypesSharingAHeader = 3;
constexpr int kMostFramesPerHeaderChange = kMostFramesPerBuffer * kTypesSharingAHeader;

}  // namespace

void RecordBufferSet::Reset() {
  for (int i = 0; i < kRecordTypeCount; ++i) {
    recordCount_[i] = 0;
    bufferAllocated_[i] = 0;
    recordBuffer_[i].reset();
  }
  blockTime_ = 0;
  blockTimeMsec_ = 0;
}

void RecordBufferSet::ReleaseLocked() {
  for (int i = 0; i < kRecordTypeCount; ++i) {
    recordBuffer_[i].reset();
    recordCount_[i] = 0;
    bufferAllocated_[i] = 0;
  }
}

bool RecordBufferSet::EnsureRecordBuffer(int index) {
  if (bufferAllocated_[index] == 0) {
    const RecordType& type = kRecordTypes[index];
    recordBuffer_[index].reset(new (std::nothrow)
                                   uint8_t[size_t{type.capacity} * type.recordBytes]);
    if (recordBuffer_[index]) bufferAllocated_[index] = 1;
  }
  return bufferAllocated_[index] != 0;
}

int32_t RecordBufferSet::HeaderPrecondition(const RecordType& type) const {
  switch (type.extension) {
    case HeaderExtension::kPointId: return pointId_[0] != '\0' ? 0 : HISTFEED_MISSING_POINT_ID;
    case HeaderExtension::kLongId: return longId_[0] != '\0' ? 0 : HISTFEED_MISSING_LONG_ID;
    case HeaderExtension::kExtId: return extId_[0] != '\0' ? 0 : HISTFEED_MISSING_EXT_ID;
    case HeaderExtension::kBlockTime: return blockTime_ != 0 ? 0 : HISTFEED_MISSING_BLOCK_TIME;
    case HeaderExtension::kNone: break;
  }
  return 0;
}

void RecordBufferSet::TakeFrameLocked(int index, Frame* frame) {
  const RecordType& type = kRecordTypes[index];
  uint16_t count = static_cast<uint16_t>(
      std::min<int32_t>(recordCount_[index], MaxRecordsPerFrame(type)));
  uint8_t extension[kExtIdHeaderBytes];
  switch (type.extension) {
    case HeaderExtension::kBlockTime: EncodeBlockTime(blockTime_, blockTimeMsec_, extension); break;
    case HeaderExtension::kPointId: std::memcpy(extension, pointId_, kPointIdBytes); break;
    case HeaderExtension::kLongId: std::memcpy(extension, longId_, kLongIdBytes); break;
    case HeaderExtension::kExtId: std::memcpy(extension, extId_, kExtIdHeaderBytes); break;
    case HeaderExtension::kNone: break;
  }
  uint8_t* buffer = recordBuffer_[index].get();
  frame->length = EncodeFrame(type, extension, buffer, count, frame->bytes);
  frame->isConfig = type.isConfig;

  int32_t remaining = recordCount_[index] - count;
  if (remaining > 0) {
    std::memmove(buffer, buffer + size_t{count} * type.recordBytes,
                 size_t(remaining) * type.recordBytes);
  }
  recordCount_[index] = remaining;
  if (remaining > 0) return;
  // The header belongs to the group that just left, unless a group of
  // another type under the same header is still waiting.
  switch (type.extension) {
    case HeaderExtension::kPointId: std::memset(pointId_, 0, sizeof pointId_); break;
    case HeaderExtension::kLongId: std::memset(longId_, 0, sizeof longId_); break;
    case HeaderExtension::kExtId: std::memset(extId_, 0, sizeof extId_); break;
    case HeaderExtension::kBlockTime:
      if (!RecordsUnderHeaderLocked(index)) {
        blockTime_ = 0;
        blockTimeMsec_ = 0;
      }
      break;
    case HeaderExtension::kNone: break;
  }
}

bool RecordBufferSet::RecordsUnderHeaderLocked(int index) const {
  for (int other = 0; other < kRecordTypeCount; ++other) {
    if (SharesHeader(index, other) && recordCount_[other] > 0) return true;
  }
  return false;
}

int32_t RecordBufferSet::SendFrames(int index, bool oneFrame) {
  const RecordType& type = kRecordTypes[index];
  Frame frame;
  int32_t due = -1;  // records present when the flush began
  for (;;) {
    uint64_t turn = 0;
    {
      platform::MutexLock lock(lock_);
      if (due < 0) due = recordCount_[index];
      if (recordCount_[index] == 0 || due <= 0) return 0;
      int32_t precondition = HeaderPrecondition(type);
      if (precondition != 0) return precondition;
      int32_t before = recordCount_[index];
      TakeFrameLocked(index, &frame);
      due -= before - recordCount_[index];
      turn = handOver_.TakeTurnLocked();
    }
    // Handed over outside the lock, so sending never blocks other adders.
    int32_t result = 0;
    {
      HandOverTurn inTurn(handOver_, turn);
      result = send_(frame.bytes, frame.length, frame.isConfig);
    }
    if (result != 0 || oneFrame) return result;
  }
}

int32_t RecordBufferSet::Flush(int32_t code) {
  int index = RecordTypeIndex(code);
  if (index < 0) return HISTFEED_NOT_A_RECORD_TYPE;
  return SendFrames(index);
}

int32_t RecordBufferSet::AddFrom(int index, const uint8_t* records, int32_t count) {
  platform::MutexLock lock(lock_);
  bool allocated = index >= 0 && EnsureRecordBuffer(index);
  if (count <= 0) return 0;
  if (index < 0) return HISTFEED_NOT_A_RECORD_TYPE;  // records that would be dropped
  if (!allocated) return HISTFEED_NO_RECORD_BUFFER;
  const RecordType& type = kRecordTypes[index];
  int32_t result = 0;
  for (int32_t stored = 0; stored < count;) {
    while (recordCount_[index] >= type.capacity) {
      lock.Unlock();
      // One frame makes room; the rest keeps filling the next frame.
      result = SendFrames(index, true);
      lock.Lock();
      // Still full: the flush could not even start (header missing).
      if (result != 0 && recordCount_[index] >= type.capacity) return result;
    }
    // As many records as there is room for go in one copy.
    int32_t run = std::min(count - stored, type.capacity - recordCount_[index]);
    StoreRecordsLocked(index, records + size_t(stored) * type.recordBytes, run);
    stored += run;
  }
  return result;
}

int32_t RecordBufferSet::Add(int32_t code, const uint8_t* records, int32_t count) {
  return AddFrom(RecordTypeIndex(code), records, records == nullptr ? 0 : count);
}

void RecordBufferSet::SetFixedLocked(char* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  if (text != nullptr) std::memcpy(field, text, strnlen(text, width));
}

// The setters take the lock: an application thread may set a header while
// another adds records under it.
void RecordBufferSet::SetPointId(const char* id) {
  platform::MutexLock lock(lock_);
  SetFixedLocked(pointId_, sizeof pointId_, id);
}

void RecordBufferSet::SetLongId(const char* id) {
  platform::MutexLock lock(lock_);
  SetFixedLocked(longId_, sizeof longId_, id);
}

void RecordBufferSet::SetExtId(const char* id) {
  platform::MutexLock lock(lock_);
  SetFixedLocked(extId_, sizeof extId_, id);
}

void RecordBufferSet::SetTime(int32_t seconds, int16_t msec) {
  platform::MutexLock lock(lock_);
  blockTime_ = seconds;
  blockTimeMsec_ = msec;
}

void RecordBufferSet::SetGroupHeaderLocked(const RecordType& type, const BlockGroup& group,
                                           GroupMatch match) {
  // The header takes the newest spelling; an identical one is left as is.
  if (match == GroupMatch::kIdentical) return;
  switch (type.extension) {
    case HeaderExtension::kPointId: SetFixedLocked(pointId_, sizeof pointId_, group.id); break;
    case HeaderExtension::kLongId: SetFixedLocked(longId_, sizeof longId_, group.id); break;
    case HeaderExtension::kExtId: SetFixedLocked(extId_, sizeof extId_, group.id); break;
    case HeaderExtension::kBlockTime:
      blockTime_ = group.seconds;
      blockTimeMsec_ = group.msec;
      break;
    case HeaderExtension::kNone: break;
  }
}

int32_t RecordBufferSet::LeavingGroupsPreconditionLocked(int index, bool groupChanges) const {
  for (int other = 0; other < kRecordTypeCount; ++other) {
    bool leaves = groupChanges ? SharesHeader(index, other) : other == index;
    if (!leaves || recordCount_[other] == 0) continue;
    int32_t precondition = HeaderPrecondition(kRecordTypes[other]);
    if (precondition != 0) return precondition;
  }
  return 0;
}

int RecordBufferSet::CutLeavingGroupsLocked(int index, bool groupChanges, Frame* frames) {
  // A new group takes everything under the old header, of every type that
  // shares it; a full buffer of the same group only needs one frame's
  // worth of room.
  int frameCount = 0;
  if (!groupChanges) {
    TakeFrameLocked(index, &frames[frameCount++]);
    return frameCount;
  }
  for (int other = 0; other < kRecordTypeCount; ++other) {
    if (!SharesHeader(index, other)) continue;
    while (recordCount_[other] > 0) TakeFrameLocked(other, &frames[frameCount++]);
  }
  return frameCount;
}

int32_t RecordBufferSet::AddBlock(int index, const BlockGroup& group, const uint8_t* record) {
  const RecordType& type = kRecordTypes[index];
  platform::MutexLock lock(lock_);
  if (!EnsureRecordBuffer(index)) return HISTFEED_NO_RECORD_BUFFER;
  // The group test and the header change happen under one lock with the
  // record, so no record ever travels under another group's header.
  GroupMatch match = MatchGroupLocked(type, group);
  bool groupChanges = match == GroupMatch::kDifferent;
  bool groupLeaves = groupChanges && RecordsUnderHeaderLocked(index);
  if (!groupLeaves && recordCount_[index] < type.capacity) {
    SetGroupHeaderLocked(type, group, match);
    StoreRecordsLocked(index, record, 1);
    return 0;
  }
  // The old groups must be able to leave under their own header; if one
  // cannot, everything stays and the new record is refused.
  int32_t precondition = LeavingGroupsPreconditionLocked(index, groupChanges);
  if (precondition != 0) return precondition;
  Frame frames[kMostFramesPerHeaderChange];
  int frameCount = CutLeavingGroupsLocked(index, groupChanges, frames);
  // Once the old group is gone the header is empty and takes this record's.
  SetGroupHeaderLocked(type, group, recordCount_[index] == 0 ? GroupMatch::kDifferent : match);
  StoreRecordsLocked(index, record, 1);
  const uint64_t turn = handOver_.TakeTurnLocked();
  lock.Unlock();
  HandOverTurn inTurn(handOver_, turn);
  int32_t result = 0;
  for (int i = 0; i < frameCount; ++i) {
    int32_t sent = send_(frames[i].bytes, frames[i].length, frames[i].isConfig);
    // A full buffer's flush is reported; a change of group's is not.
    if (!groupChanges && result == 0) result = sent;
  }
  return result;
}

int32_t RecordBufferSet::AddBlockById(int32_t code, const char* id, const uint8_t* record) {
  int index = RecordTypeIndex(code);
  if (index < 0) return HISTFEED_NOT_A_RECORD_TYPE;
  const RecordType& type = kRecordTypes[index];
  if (id == nullptr) id = "";
  if (id[0] == '\0') {
    // Such a record could never leave: refuse it now.
    return type.extension == HeaderExtension::kPointId ? HISTFEED_MISSING_POINT_ID
           : type.extension == HeaderExtension::kLongId ? HISTFEED_MISSING_LONG_ID
                                                         : HISTFEED_MISSING_EXT_ID;
  }
  return AddBlock(index, BlockGroup{id, 0, 0}, record);
}

int32_t RecordBufferSet::AddBlockByTime(int32_t code, int32_t seconds, int16_t msec,
                                        const uint8_t* record) {
  int index = RecordTypeIndex(code);
  if (index < 0) return HISTFEED_NOT_A_RECORD_TYPE;
  if (seconds == 0) return HISTFEED_MISSING_BLOCK_TIME;
  return AddBlock(index, BlockGroup{nullptr, seconds, msec}, record);
}

int32_t RecordBufferSet::CountOf(int32_t code) {
  int index = RecordTypeIndex(code);
  if (index < 0) return 0;
  platform::MutexLock lock(lock_);
  return recordCount_[index];
}

}  // namespace histfeed::universal
