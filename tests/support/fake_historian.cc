// SPDX-License-Identifier: Apache-2.0
#include "tests/support/fake_historian.h"

#include <atomic>
#include <cstring>

namespace histfeed::testing {

struct FakeHistorian::Link {
  platform::SocketHandle socket = platform::kInvalidSocket;
  std::thread thread;
  std::atomic<bool> open{true};
};

std::vector<char> MakeFrame(int32_t total, uint16_t type, uint16_t count, uint8_t fill) {
  if (total < 12) total = 12;
  std::vector<char> frame(static_cast<size_t>(total), static_cast<char>(fill));
  uint32_t length = static_cast<uint32_t>(total);
  frame[0] = frame[1] = static_cast<char>(0xFE);
  for (int i = 0; i < 4; ++i) frame[2 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
  frame[6] = static_cast<char>(type & 0xFF);
  frame[7] = static_cast<char>(type >> 8);
  frame[8] = static_cast<char>(count & 0xFF);
  frame[9] = static_cast<char>(count >> 8);
  frame[frame.size() - 2] = frame[frame.size() - 1] = static_cast<char>(0xEF);
  return frame;
}

FakeHistorian::FakeHistorian(uint16_t port) : port_(port) { Start(); }

FakeHistorian::~FakeHistorian() { Stop(); }

bool FakeHistorian::Start() {
  if (listening()) return true;
  listener_ = platform::Sockets().ListenLoopback(port_, &port_);
  if (!listening()) return false;
  acceptor_ = std::thread([this] { AcceptLoop(); });
  return true;
}

void FakeHistorian::Stop() {
  if (listening()) {
    platform::Sockets().ShutdownSocket(listener_);
    acceptor_.join();
    platform::Sockets().CloseSocket(listener_);
    listener_ = platform::kInvalidSocket;
  }
  StopLinks();
}

void FakeHistorian::DropConnections() { StopLinks(); }

void FakeHistorian::StopLinks() {
  std::vector<std::unique_ptr<Link>> links;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    links.swap(links_);
  }
  for (auto& link : links) platform::Sockets().ShutdownSocket(link->socket);
  for (auto& link : links) {
    link->thread.join();
    platform::Sockets().CloseSocket(link->socket);
  }
}

void FakeHistorian::AcceptLoop() {
  for (;;) {
    platform::SocketHandle socket = platform::Sockets().AcceptConnection(listener_);
    if (socket == platform::kInvalidSocket) return;
    auto link = std::make_unique<Link>();
    link->socket = socket;
    Link* raw = link.get();
    std::lock_guard<std::mutex> lock(mutex_);
    ++accepted_;
    link->thread = std::thread([this, raw] { ServeLink(raw); });
    links_.push_back(std::move(link));
  }
}

void FakeHistorian::ServeLink(Link* link) {
  std::vector<uint8_t> pending;
  std::vector<uint8_t> chunk(64 * 1024);
  for (;;) {
    int32_t count =
        platform::Sockets().Receive(link->socket, chunk.data(), static_cast<int32_t>(chunk.size()));
    if (count <= 0) break;
    pending.insert(pending.end(), chunk.begin(), chunk.begin() + count);
    size_t used = 0;
    for (;;) {
      size_t left = pending.size() - used;
      if (left < 6) break;
      const uint8_t* head = pending.data() + used;
      size_t length = left;  // bytes that are not a frame count as one
      if (head[0] == 0xFE && head[1] == 0xFE) {
        uint32_t declared = 0;
        std::memcpy(&declared, head + 2, 4);
        if (declared >= 6 && declared <= 1024 * 1024) length = declared;
      }
      if (length > left) break;
      std::vector<uint8_t> frame(head, head + length);
      used += length;
      Reply reply = NextReply(frame);
      if (reply.kind == Reply::Kind::kClose) {
        platform::Sockets().ShutdownSocket(link->socket);
        link->open = false;
        return;
      }
      if (reply.kind == Reply::Kind::kByte)
        platform::Sockets().SendAll(link->socket, &reply.byte, 1);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(used));
  }
  link->open = false;
}

Reply FakeHistorian::NextReply(const std::vector<uint8_t>& frame) {
  Reply reply;
  std::chrono::microseconds delay;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++frameCount_;
    if (keepFrames_) frames_.push_back(frame);
    if (responder_) {
      reply = responder_(frame);
    } else if (!script_.empty()) {
      reply = script_.front();
      script_.pop_front();
    } else {
      reply = defaultReply_;
    }
    delay = delay_;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  return reply;
}

void FakeHistorian::Script(std::initializer_list<Reply> replies) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.insert(script_.end(), replies.begin(), replies.end());
}

void FakeHistorian::SetDefaultReply(Reply reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  defaultReply_ = reply;
}

void FakeHistorian::SetResponder(Responder responder) {
  std::lock_guard<std::mutex> lock(mutex_);
  responder_ = std::move(responder);
}

void FakeHistorian::SetReplyDelay(std::chrono::microseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
}

void FakeHistorian::SetKeepFrames(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepFrames_ = keep;
}

void FakeHistorian::SendUnasked(uint8_t byte) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!links_.empty()) platform::Sockets().SendAll(links_.back()->socket, &byte, 1);
}

int64_t FakeHistorian::FrameCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frameCount_;
}

std::vector<std::vector<uint8_t>> FakeHistorian::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

int32_t FakeHistorian::AcceptedConnections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return accepted_;
}

int32_t FakeHistorian::OpenConnections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  int32_t open = 0;
  for (const auto& link : links_) open += link->open ? 1 : 0;
  return open;
}

}  // namespace histfeed::testing
