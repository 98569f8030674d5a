// SPDX-License-Identifier: Apache-2.0
// The background sender: it takes buffer numbers from the send queue in
// order and delivers each buffer as one data request through the client
// library.
#ifndef HISTFEED_CLASSIC_SENDER_H_
#define HISTFEED_CLASSIC_SENDER_H_

#include <cstdint>

#include "classic/classic_state.h"
#include "classic/service_buffer_table.h"
#include "platform/thread_annotations.h"

namespace histfeed {
class RecordQueue;
}

namespace histfeed::classic {

// Starts the client library, the send queue (501 slots of 2 bytes) and the
// sender thread, unless the sender runs already. Returns the running flag
// (1 running, 0 not started). Takes the sender start lock.
int32_t StartSender() EXCLUDES(Classic().senderStartLock);

// Starts the client library once per process: 0 when started, -1 when it
// refused (a later call tries again).
int32_t StartClientLibrary();

// Stops the sender: clears the running flag, stops new pushes, ends the
// sender's wait and waits at most `timeoutMs` for it to drain the queue,
// deliver what is left IN USE and end. Then destroys the send queue. If the
// thread is still busy after the time-out, the result is false and the
// thread and its queue are kept: the next StartSender cleans them up once
// the thread has ended.
bool StopSender(int64_t timeoutMs) REQUIRES(Classic().senderStartLock);

// Whether the calling thread is the sender thread (a stopped one that has
// not been joined yet included).
bool IsSenderThread() REQUIRES(Classic().senderStartLock);

// What becomes of a buffer that its service accepted.
enum class AfterDelivery { kKeepState, kFree };

// Delivers buffer b, which the calling thread owns (PENDING FLUSH), with up
// to 100 attempts, straight from its slot. Returns 1 when the service
// accepted it (its record count is then 0 and, with kFree, it is FREE),
// else 0. With `popFrom`, an accepted buffer's number, which heads that
// queue, is taken out of it in the same hold of the buffer lock, before
// the buffer is FREE.
int32_t DeliverServiceBuffer(BufferNumber b, AfterDelivery after = AfterDelivery::kKeepState,
                             RecordQueue* popFrom = nullptr);

// The body of the sender thread, which takes buffer numbers from `queue`.
void SenderThread(RecordQueue& queue);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_SENDER_H_
