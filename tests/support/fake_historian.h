// SPDX-License-Identifier: Apache-2.0
// A scriptable historian service on the loopback interface, for tests and
// benchmarks. It accepts any number of connections, cuts the incoming
// bytes into frames by their header (FE FE, then the total length as u32
// little-endian) and answers each frame as scripted: a byte (0x06 ACK,
// 0x15 NAK or any other), silence, or closing the connection.
#ifndef HISTFEED_TESTS_SUPPORT_FAKE_HISTORIAN_H_
#define HISTFEED_TESTS_SUPPORT_FAKE_HISTORIAN_H_

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/socket.h"

namespace histfeed::testing {

// What the peer does with one frame.
struct Reply {
  enum class Kind { kByte, kSilent, kClose };
  Kind kind = Kind::kByte;
  uint8_t byte = 0x06;

  static Reply Ack() { return {Kind::kByte, 0x06}; }
  static Reply Nak() { return {Kind::kByte, 0x15}; }
  static Reply Byte(uint8_t value) { return {Kind::kByte, value}; }
  static Reply Silent() { return {Kind::kSilent, 0}; }
  static Reply Close() { return {Kind::kClose, 0}; }
};

// Builds a frame of `total` bytes (at least 12): header with record type
// `type` and `count`, filler bytes of value `fill`, end marker.
std::vector<char> MakeFrame(int32_t total, uint16_t type = 1, uint16_t count = 1, uint8_t fill = 0);

class FakeHistorian {
 public:
  using Responder = std::function<Reply(const std::vector<uint8_t>& frame)>;

  // Starts listening on 127.0.0.1 at `port` (0: any free port).
  explicit FakeHistorian(uint16_t port = 0);
  ~FakeHistorian();
  FakeHistorian(const FakeHistorian&) = delete;
  FakeHistorian& operator=(const FakeHistorian&) = delete;

  uint16_t port() const { return port_; }
  bool listening() const { return listener_ != platform::kInvalidSocket; }

  // Replies for the next frames, in arrival order over all connections;
  // once they are used up, the default reply (ACK unless set) applies.
  void Script(std::initializer_list<Reply> replies);
  void SetDefaultReply(Reply reply);
  // Decides every reply from the frame itself; overrides the script.
  void SetResponder(Responder responder);
  // Real time the peer waits before each reply.
  void SetReplyDelay(std::chrono::microseconds delay);
  // Whether frames are kept for Frames() (they are always counted).
  void SetKeepFrames(bool keep);

  // Stops listening and closes every connection: connects are refused.
  void Stop();
  // Listens again on the same port.
  bool Start();
  // Closes every open connection but keeps listening.
  void DropConnections();
  // Writes one byte on the newest connection, unasked.
  void SendUnasked(uint8_t byte);

  int64_t FrameCount() const;
  std::vector<std::vector<uint8_t>> Frames() const;
  int32_t AcceptedConnections() const;
  int32_t OpenConnections() const;

 private:
  struct Link;
  void AcceptLoop();
  void ServeLink(Link* link);
  Reply NextReply(const std::vector<uint8_t>& frame);
  void StopLinks();

  uint16_t port_ = 0;
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Link>> links_;
  std::deque<Reply> script_;
  Reply defaultReply_ = Reply::Ack();
  Responder responder_;
  std::chrono::microseconds delay_{0};
  bool keepFrames_ = true;
  std::vector<std::vector<uint8_t>> frames_;
  int64_t frameCount_ = 0;
  int32_t accepted_ = 0;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_FAKE_HISTORIAN_H_
