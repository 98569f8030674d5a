// SPDX-License-Identifier: Apache-2.0
#include "service/listeners/stream_connection.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <cstring>

#include "service/event_log.h"

namespace histfeed::service {

StreamConnection::StreamConnection(asio::ip::tcp::socket socket, StreamListener& listener,
                                   std::string peer, size_t maxMessageBytes)
    : socket_(std::move(socket)),
      listener_(listener),
      peer_(std::move(peer)),
      maxMessageBytes_(maxMessageBytes),
      timer_(listener.context()),
      delay_(listener.context()) {}

void StreamConnection::Start() {
  if (std::optional<Family> family = listener_.family()) {
    id_ = metrics().ConnectionOpened(*family, peer_);
    LogClientEvent("%s connection from %s", name().c_str(), peer_.c_str());
  } else {
    metrics().PageConnectionsChanged(+1);
  }
  ErrorCode ignored;
  socket_.non_blocking(true, ignored);
  Process();
}

void StreamConnection::Close() {
  if (closed_) return;
  closed_ = true;
  ErrorCode ignored;
  socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
  socket_.close(ignored);
  StopTimer();
  delay_.cancel();
  if (listener_.family()) {
    metrics().ConnectionClosed(id_);
    LogClientEvent("%s connection from %s closed", name().c_str(), peer_.c_str());
  } else {
    metrics().PageConnectionsChanged(-1);
  }
  listener_.Forget(this);  // may drop the last owner: nothing after this
}

void StreamConnection::Broken() { Close(); }

// Pages are neither logged nor counted per connection: their time-outs
// are routine, and a page client is no source.
void StreamConnection::CloseFor(const char* why, const char* reason) {
  if (listener_.family()) {
    LogClientEvent("%s %s: %s, closing", name().c_str(), peer_.c_str(), why);
    metrics().Rejected(id_, reason);
  }
  Close();
}

// Hands over every whole message that has arrived, one at a time.
void StreamConnection::Process() {
  processing_ = true;
  while (!busy_ && !closed_) {
    size_t length = 0;
    Framing framing = Measure(buffer_.data() + start_, end_ - start_, &length);
    if (framing == Framing::kNeedMore) break;
    busy_ = true;
    StopTimer();
    if (framing == Framing::kBroken) {
      messageLength_ = end_ - start_;
      Broken();
    } else {
      messageLength_ = length;
      Handle(buffer_.data() + start_, length);
    }
  }
  processing_ = false;
  if (!busy_ && !closed_) WaitForBytes();
}

void StreamConnection::Consume() {
  start_ += messageLength_;
  messageLength_ = 0;
  frameTimerArmed_ = false;
  busy_ = false;
  if (start_ == end_) start_ = end_ = 0;
}

void StreamConnection::WaitForBytes() {
  ArmTimer();
  if (waiting_) return;
  waiting_ = true;
  socket_.async_wait(asio::ip::tcp::socket::wait_read,
                     [self = shared_from_this()](ErrorCode error) {
                       self->waiting_ = false;
                       if (self->closed_) return;
                       if (error) {
                         self->Close();
                         return;
                       }
                       self->ReadAvailable();
                     });
}

void StreamConnection::ReadAvailable() {
  if (buffer_.empty()) buffer_.resize(maxMessageBytes_ + 4096);
  if (start_ > 0) {  // room at the end for the rest of the message
    std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
  }
  ErrorCode error;
  size_t got = socket_.read_some(asio::buffer(buffer_.data() + end_, buffer_.size() - end_), error);
  if (error == asio::error::would_block || error == asio::error::try_again) {
    WaitForBytes();
    return;
  }
  if (error || got == 0) {
    Close();
    return;
  }
  end_ += got;
  Process();
}

void StreamConnection::ArmTimer() {
  bool begun = end_ > start_;
  if (begun && frameTimerArmed_) return;  // the frame's deadline stands
  frameTimerArmed_ = begun;
  std::chrono::milliseconds limit =
      begun ? listener_.limits().frameTimeout : listener_.limits().idleTimeout;
  uint64_t generation = ++timerGeneration_;
  timer_.expires_after(limit);
  timer_.async_wait([self = shared_from_this(), generation, begun](ErrorCode error) {
    if (error || self->closed_ || generation != self->timerGeneration_) return;
    self->CloseFor(begun ? "a frame stopped half way" : "idle too long",
                   begun ? "unfinished frame" : "idle");
  });
}

void StreamConnection::StopTimer() {
  ++timerGeneration_;
  timer_.cancel();
}

void StreamConnection::Answer(std::vector<uint8_t> bytes, bool thenClose) {
  if (closed_) return;
  // A client that does not read its answers keeps it no longer than a
  // frame may take.
  uint64_t generation = ++timerGeneration_;
  timer_.expires_after(listener_.limits().frameTimeout);
  timer_.async_wait([self = shared_from_this(), generation](ErrorCode error) {
    if (error || self->closed_ || generation != self->timerGeneration_) return;
    self->CloseFor("an answer was not taken in time", "answer not taken");
  });
  auto owned = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  asio::async_write(socket_, asio::buffer(*owned),
                    [self = shared_from_this(), owned, thenClose](ErrorCode error, size_t) {
                      if (self->closed_) return;
                      self->StopTimer();
                      if (error || thenClose) {
                        self->Close();
                        return;
                      }
                      self->Consume();
                      self->Process();
                    });
}

void StreamConnection::Skip() {
  if (closed_) return;
  Consume();
  if (!processing_) Process();
}

void StreamConnection::Store(StorageWriter& writer, Batch batch,
                             std::function<void(bool stored)> done) {
  listener_.BeginOutside();
  // The writer's copy of the connection moves on to the listener's thread,
  // so the connection never ends on the writer's.
  writer.Submit(std::move(batch), [self = shared_from_this(),
                                   done = std::move(done)](bool stored) mutable {
    StreamListener& listener = self->listener_;
    asio::post(listener.context(), [self = std::move(self), done = std::move(done), stored] {
      if (!self->closed_) done(stored);
    });
    listener.EndOutside();
  });
}

void StreamConnection::After(std::chrono::milliseconds delay, std::function<void()> then) {
  delay_.expires_after(delay);
  delay_.async_wait([self = shared_from_this(), then = std::move(then)](ErrorCode error) {
    if (!error && !self->closed_) then();
  });
}

}  // namespace histfeed::service
