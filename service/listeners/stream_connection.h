// SPDX-License-Identifier: Apache-2.0
// One client connection of a StreamListener: it gathers bytes until a
// whole message (a frame, a request) is there, hands it to its subclass
// and waits for that message's answer before it looks at the next, so
// answers go out in order. Everything runs on the listener's thread.
//
// Time-outs: a message must arrive whole within limits.frameTimeout of its
// first byte, and its answer must be taken within as long; a connection
// with no message begun is closed after limits.idleTimeout. None runs
// while a message is being handled.
#ifndef HISTFEED_SERVICE_LISTENERS_STREAM_CONNECTION_H_
#define HISTFEED_SERVICE_LISTENERS_STREAM_CONNECTION_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "service/listeners/stream_listener.h"
#include "service/network.h"
#include "service/service_metrics.h"
#include "service/storage/storage_writer.h"

namespace histfeed::service {

class StreamConnection : public std::enable_shared_from_this<StreamConnection> {
 public:
  StreamConnection(asio::ip::tcp::socket socket, StreamListener& listener, std::string peer,
                   size_t maxMessageBytes);
  virtual ~StreamConnection() = default;
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  void Start();
  // Ends the connection; later calls and late answers do nothing.
  void Close();

 protected:
  enum class Framing { kNeedMore, kComplete, kBroken };
  // Whether `pending` begins with a whole message; its size in *length.
  virtual Framing Measure(const uint8_t* pending, size_t size, size_t* length) = 0;
  // Handles a whole message, which stays valid until it is answered: call
  // Answer, Skip or Close, now or later on this thread.
  virtual void Handle(const uint8_t* message, size_t length) = 0;
  // The stream cannot be followed (Measure said kBroken). Closes.
  virtual void Broken();

  // Sends `bytes` as the message's answer, then goes on (or closes).
  void Answer(std::vector<uint8_t> bytes, bool thenClose = false);
  // Goes on to the next message without answering this one.
  void Skip();
  // Stores a batch through the writer; `done` then runs on this thread,
  // unless the connection has closed meanwhile.
  void Store(StorageWriter& writer, Batch batch, std::function<void(bool stored)> done);
  // Runs `then` on this thread after `delay`, unless the connection closed.
  void After(std::chrono::milliseconds delay, std::function<void()> then);

  ConnectionId id() const { return id_; }
  const std::string& peer() const { return peer_; }
  ServiceMetrics& metrics() { return listener_.metrics(); }
  const std::string& name() const { return listener_.name(); }

 private:
  void Process();
  void WaitForBytes();
  void ReadAvailable();
  void ArmTimer();
  void StopTimer();
  void Consume();
  // Closes on a time-out, saying `why` in the log and counting `reason`.
  void CloseFor(const char* why, const char* reason);

  asio::ip::tcp::socket socket_;
  StreamListener& listener_;
  const std::string peer_;
  const size_t maxMessageBytes_;
  ConnectionId id_ = 0;
  // Received bytes [start_, end_) of buffer_, allocated at the first byte
  // so that an idle connection costs no buffer.
  std::vector<uint8_t> buffer_;
  size_t start_ = 0, end_ = 0;
  size_t messageLength_ = 0;  // of the message being handled
  bool busy_ = false;         // a message is being handled
  bool processing_ = false;   // Process is on the stack
  bool waiting_ = false;      // a wait for bytes is outstanding
  bool closed_ = false;
  bool frameTimerArmed_ = false;
  uint64_t timerGeneration_ = 0;
  asio::steady_timer timer_;
  asio::steady_timer delay_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_STREAM_CONNECTION_H_
