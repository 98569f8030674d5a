// SPDX-License-Identifier: Apache-2.0
// The queue thread of a key: replays queued frames, oldest first, while a
// service is connected.
//
// A data frame that fails stays at the head and is tried again, with
// pauses growing to a second while every connected service rejects it: a
// service that cannot store (its database away) rejects every frame, and
// the queue carries them across as it does for a dead service. A
// configuration frame that fails moves to the tail, so that data does not
// wait behind it; later configuration frames follow it to the tail without
// being tried ahead of it, so that configurations and deletions keep their
// order. One that is rejected a bounded number of times while the service
// takes data frames is set aside, so that configurations move on. A frame
// that is not a valid frame is set aside at once. A frame moves by pushing
// its copy before popping it, so a crash in between can only deliver it
// twice.
#include <algorithm>
#include <cstring>
#include <span>
#include <string>

#include "histfeed.h"
#include "platform/clock.h"
#include "queue/record_queue.h"
#include "universal/diagnostics.h"
#include "universal/outbox.h"
#include "wire/frame_format.h"

namespace histfeed::universal {
namespace {

constexpr int64_t kIdleWaitMs = 1000;
constexpr int64_t kDataRetryMs = 1;
constexpr int64_t kConfigRequeueWaitMs = 100;
// Pauses of 1, 2, 4 ... 1,024 ms between rejections: about 2 s in all,
// then a second each.
constexpr int kMaxRejections = 12;
constexpr int64_t kLongestRejectionPauseMs = 1024;
// A key whose head frame is rejected says so at most this often.
constexpr int64_t kRejectionMessageSpacingMs = 300 * 1000;
// Configuration frames moved behind a held one before the hold is given up
// as lost (its cache file set aside, say), so they are tried again.
constexpr int kMostMovesBehindHeldFrame = 100000;

int64_t RejectionPauseMs(int rejections) {
  return std::min<int64_t>(int64_t{1} << std::min(rejections - 1, 10), kLongestRejectionPauseMs);
}

}  // namespace

class Outbox::Replay {
 public:
  Replay(Outbox& outbox, RecordQueue& queue) : outbox_(outbox), queue_(queue) {}

  // Sends queued frames while there are any and a service takes them.
  void Drain() {
    while (outbox_.threadRuns_.load() &&
           queue_.Peek(frame_, kQueueSlotBytes, &length_) == kQueueOk) {
      DecodedFrame decoded;
      if (DecodeFrame(std::span(Bytes(), length_), &decoded) != FrameError::kNone) {
        SetAsideHead("not a valid frame");
        continue;
      }
      bool goOn = IsConfigRecordType(decoded.type->code) ? ReplayConfigFrame() : ReplayDataFrame();
      if (!goOn) return;
    }
  }

 private:
  const uint8_t* Bytes() const { return reinterpret_cast<const uint8_t*>(frame_); }

  // Drops the head, which frame_ already holds: a capacity of 0 takes it
  // without copying it again.
  void PopHead() {
    uint16_t popped = 0;
    queue_.Pop(frame_, 0, &popped);
  }

  // Whether to go on draining.
  bool ReplayDataFrame() {
    int32_t result = outbox_.transport_.Send(frame_, length_, false);
    if (result == 0) {
      PassTrace("QueueThread SendData() frame replayed - records=%d",
                FrameRecordCount(Bytes(), length_));
      PopHead();
      dataRejections_ = 0;
      dataDeliveredSinceHeldRejected_ = true;
      return true;
    }
    if (result == HISTFEED_REJECTED) {
      ++dataRejections_;
      SayRejectedHeadIsKept();
      outbox_.queueStop_.Wait(RejectionPauseMs(dataRejections_));
      return true;
    }
    // With no service left the idle wait applies instead of 1 ms retries.
    if (!outbox_.transport_.AnyConnected()) return false;
    outbox_.queueStop_.Wait(kDataRetryMs);
    return true;
  }

  bool HeadIsHeld() const {
    return held_ && heldLength_ == length_ && std::memcmp(heldFrame_, frame_, length_) == 0;
  }

  bool ReplayConfigFrame() {
    if (held_ && !HeadIsHeld() && ++movesBehindHeld_ < kMostMovesBehindHeldFrame) {
      return MoveHeadToTail();  // not tried ahead of the held one
    }
    held_ = false;
    movesBehindHeld_ = 0;
    PassTrace("QueueThread SendData()...");
    int32_t result = outbox_.transport_.Send(frame_, length_, true);
    PassTrace("QueueThread SendData()=%d", result);
    if (result == 0) {
      PopHead();
      heldRejections_ = 0;
    } else if (result == HISTFEED_REJECTED && ++heldRejections_ >= kMaxRejections &&
               dataDeliveredSinceHeldRejected_) {
      SetAsideHead("rejected by every connected service, which takes data");
    } else {
      if (result != HISTFEED_REJECTED) heldRejections_ = 0;
      if (heldRejections_ == 1) dataDeliveredSinceHeldRejected_ = false;
      PassTrace("QueueThread SendData() Push on Queue");
      std::memcpy(heldFrame_, frame_, length_);
      heldLength_ = length_;
      held_ = true;
      bool moved = MoveHeadToTail();
      outbox_.queueStop_.Wait(std::max(kConfigRequeueWaitMs, RejectionPauseMs(heldRejections_)));
      PassTrace("QueueThread SendData() End");
      return moved;
    }
    PassTrace("QueueThread SendData() End");
    return true;
  }

  // Pushes the head's copy to the tail, then pops the head. When the
  // queue takes no more, the frame stays where it is and draining pauses.
  bool MoveHeadToTail() {
    if (queue_.Push(frame_, length_) != kQueueOk) {
      PassMessage("Queue Full - config record kept at the head of the queue, key = %d",
                  outbox_.number_);
      return false;
    }
    PopHead();
    return true;
  }

  // A data frame the services keep rejecting holds up the key: said when
  // that has gone on for a while, and then now and again.
  void SayRejectedHeadIsKept() {
    if (dataRejections_ < kMaxRejections) return;
    int64_t now = platform::MonotonicMs();
    if (dataRejections_ > kMaxRejections && now < lastRejectionMessageMs_ + kRejectionMessageSpacingMs) {
      return;
    }
    lastRejectionMessageMs_ = now;
    PassMessage("QueueThread: every connected service rejects the frame at the head of key %d's "
                "queue (%d times so far); it stays there and is tried again every second",
                outbox_.number_, dataRejections_);
  }

  // Writes the head frame to the set-aside file beside the cache, or, for
  // a key without a cache, says what is dropped; then moves on.
  void SetAsideHead(const char* why) {
    std::string where;
    int32_t type = FrameRecordType(Bytes(), length_);
    int32_t records = FrameRecordCount(Bytes(), length_);
    if (queue_.SetAside(frame_, length_, &where) == kQueueOk) {
      PassMessage("QueueThread set aside a frame of key %d (%s): type %d, %d records, in %s",
                  outbox_.number_, why, type, records, where.c_str());
    } else {
      PassMessage("QueueThread dropped a frame of key %d (%s): type %d, %d records lost, %s",
                  outbox_.number_, why, type, records, where.c_str());
    }
    if (HeadIsHeld()) held_ = false;
    heldRejections_ = 0;
    dataRejections_ = 0;
    PopHead();
  }

  Outbox& outbox_;
  RecordQueue& queue_;
  char frame_[kQueueSlotBytes];
  uint16_t length_ = 0;
  int dataRejections_ = 0;  // of the data frame at the head
  int64_t lastRejectionMessageMs_ = 0;
  // The configuration frame that failed last, which later configuration
  // frames may not pass.
  bool held_ = false;
  char heldFrame_[kQueueSlotBytes];
  uint16_t heldLength_ = 0;
  int heldRejections_ = 0;
  // Whether the services took a data frame since the held frame's
  // rejections began: only then is the held frame's fault its own.
  bool dataDeliveredSinceHeldRejected_ = false;
  int movesBehindHeld_ = 0;
};

void Outbox::QueueThread(RecordQueue& queue) {
  // The queue lives until this thread has been joined by closing.
  Replay replay(*this, queue);
  while (threadRuns_.load()) {
    queueWake_.Reset();
    if (transport_.AnyConnected()) replay.Drain();
    // Files delivered while draining are removed now rather than one by
    // one in the middle of it.
    queue.RemoveDeliveredFiles();
    // Woken early by a new frame, a reconnect or closing.
    queueWake_.Wait(kIdleWaitMs);
  }
}

}  // namespace histfeed::universal
