// SPDX-License-Identifier: Apache-2.0
// The built-in network backend against a scripted peer: malformed, short,
// late and missing replies give non-zero results and leave the caller's
// reply block alone; a broken connection is opened again on the next call.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client_library/network_client_library.h"
#include "wire/classic_network_protocol.h"
#include "platform/socket.h"
#include "tests/support/scaled_clock.h"

namespace histfeed::client_library {
namespace {

using namespace histfeed::platform;
using testing::ScopedTimeScale;
using testing::WaitUntil;

std::vector<uint8_t> Reply(uint16_t call, int32_t result, std::vector<uint8_t> payload) {
  std::vector<uint8_t> bytes(network::kReplyHeadSize);
  network::EncodeReplyHead(call, result, static_cast<uint32_t>(payload.size()), bytes.data());
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  return bytes;
}

std::vector<uint8_t> ReplyBlock(uint32_t status, const char* text) {
  std::vector<uint8_t> block(TARVO_REPLY_SIZE, 0);
  std::memcpy(block.data() + TARVO_REPLY_STATUS_OFFSET, &status, 4);
  std::memcpy(block.data() + TARVO_REPLY_TEXT_OFFSET, text, std::strlen(text));
  return block;
}

// What the peer does with one request other than a connect call.
struct Step {
  enum Kind { kAnswer, kAnswerAndClose, kStaySilent } kind = kAnswer;
  std::vector<uint8_t> bytes;
};

// Accepts connections one at a time, answers every connect call itself and
// every other request with the next scripted step.
class ScriptedPeer {
 public:
  ScriptedPeer() {
    listener_ = Sockets().ListenLoopback(0, &port_);
    thread_ = std::thread([this] { Run(); });
  }
  ~ScriptedPeer() {
    stopping_ = true;
    Sockets().ShutdownSocket(listener_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (connection_ != kInvalidSocket) Sockets().ShutdownSocket(connection_);
    }
    thread_.join();
    Sockets().CloseSocket(listener_);
  }

  uint16_t port() const { return port_; }
  void Script(Step step) {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(std::move(step));
  }
  int connections() const { return connections_.load(); }
  int closed() const { return closed_.load(); }
  int requests() const { return requests_.load(); }
  std::vector<uint8_t> lastPayload() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastPayload_;
  }

 private:
  static bool ReadAll(SocketHandle socket, uint8_t* data, size_t size) {
    while (size > 0) {
      int32_t got = Sockets().Receive(socket, data, static_cast<int32_t>(size));
      if (got <= 0) return false;
      data += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }

  void Run() {
    while (!stopping_) {
      SocketHandle socket = Sockets().AcceptConnection(listener_);
      if (socket == kInvalidSocket) return;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connection_ = socket;
      }
      ++connections_;
      Serve(socket);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        connection_ = kInvalidSocket;
      }
      Sockets().CloseSocket(socket);
      ++closed_;
    }
  }

  void Serve(SocketHandle socket) {
    for (;;) {
      uint8_t head[network::kRequestHeadSize];
      if (!ReadAll(socket, head, sizeof head)) return;
      network::RequestHead request;
      if (network::DecodeRequestHead(head, &request) != network::HeadError::kNone) return;
      std::vector<uint8_t> payload(request.payloadLength);
      if (!ReadAll(socket, payload.data(), payload.size())) return;
      if (request.call == network::kConnectCall) {
        std::vector<uint8_t> hello = Reply(request.call, 0, {});
        Sockets().SendAll(socket, hello.data(), static_cast<int32_t>(hello.size()));
        continue;
      }
      Step step;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lastPayload_ = payload;
        if (!steps_.empty()) {
          step = std::move(steps_.front());
          steps_.pop_front();
        } else {
          step.kind = Step::kStaySilent;
        }
      }
      ++requests_;
      if (step.kind == Step::kStaySilent) {
        uint8_t ignored;
        Sockets().Receive(socket, &ignored, 1);  // until the client or the test ends it
        return;
      }
      Sockets().SendAll(socket, step.bytes.data(), static_cast<int32_t>(step.bytes.size()));
      if (step.kind == Step::kAnswerAndClose) return;
    }
  }

  SocketHandle listener_ = kInvalidSocket;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  std::atomic<int> closed_{0};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  SocketHandle connection_ = kInvalidSocket;  // guarded by mutex_
  std::deque<Step> steps_;                    // guarded by mutex_
  std::vector<uint8_t> lastPayload_;          // guarded by mutex_
};

class NetworkClientLibraryTest : public ::testing::Test {
 protected:
  std::unique_ptr<ClientLibrary> Backend(int64_t replyMs = 1000000) {
    std::string map = "Plant=127.0.0.1:" + std::to_string(peer_.port());
    return MakeNetworkClientLibrary(network::ServiceAddresses::Parse(map, nullptr),
                                    {1000000, replyMs});
  }
  int32_t ShortExchange(ClientLibrary& backend, std::vector<uint8_t>* reply) {
    std::vector<uint8_t> request(TARVO_SHORT_ID_REQUEST_SIZE, 0);
    request[0] = TARVO_CODE_SHORT_ID_DATA & 0xFF;
    request[1] = TARVO_CODE_SHORT_ID_DATA >> 8;
    reply->assign(TARVO_REPLY_SIZE, 0xAB);
    return backend.ShortIdExchange("Plant", request.data(), reply->data());
  }
  int32_t ShortExchange() { return ShortExchange(*backend_, &reply_); }

  ScopedTimeScale fast_{100};
  ScriptedPeer peer_;
  std::unique_ptr<ClientLibrary> backend_ = Backend();
  std::vector<uint8_t> reply_;  // the reply block of the last ShortExchange()
};

TEST_F(NetworkClientLibraryTest, ExchangeCopiesTheReplyBlockAndKeepsTheConnection) {
  ASSERT_EQ(backend_->Connect("plant"), 0);
  peer_.Script({Step::kAnswer, Reply(network::kShortIdCall, 0, ReplyBlock(0, "120,400"))});
  peer_.Script({Step::kAnswer, Reply(network::kShortIdCall, 0, ReplyBlock(0x21, "no"))});
  ASSERT_EQ(ShortExchange(), 0);
  EXPECT_STREQ(reinterpret_cast<const char*>(reply_.data() + TARVO_REPLY_TEXT_OFFSET), "120,400");
  EXPECT_EQ(peer_.lastPayload().size(), static_cast<size_t>(TARVO_SHORT_ID_REQUEST_SIZE));
  // A refusal is the service's answer, not a failure of the exchange.
  ASSERT_EQ(ShortExchange(), 0);
  EXPECT_EQ(reply_[TARVO_REPLY_STATUS_OFFSET], 0x21);
  EXPECT_EQ(peer_.connections(), 1);
}

TEST_F(NetworkClientLibraryTest, MalformedRepliesFailAndLeaveTheReplyBlockAlone) {
  std::vector<uint8_t> garbage(network::kReplyHeadSize + TARVO_REPLY_SIZE, 0x5A);
  std::vector<uint8_t> shortBlock = Reply(network::kShortIdCall, 0, ReplyBlock(0, ""));
  network::EncodeReplyHead(network::kShortIdCall, 0, 100, shortBlock.data());
  const std::vector<std::vector<uint8_t>> bad = {
      garbage,
      Reply(network::kLongIdCall, 0, ReplyBlock(0, "")),  // answers another call
      Reply(network::kShortIdCall, 0, {}),                // no reply block
      shortBlock,                                         // block of the wrong size
  };
  for (const auto& bytes : bad) {
    peer_.Script({Step::kAnswer, bytes});
    EXPECT_EQ(ShortExchange(), kNetworkMalformedReply);
    EXPECT_EQ(reply_, std::vector<uint8_t>(TARVO_REPLY_SIZE, 0xAB));
  }
  // Each failure dropped the connection; the next call opens a new one.
  peer_.Script({Step::kAnswer, Reply(network::kShortIdCall, 0, ReplyBlock(0, ""))});
  EXPECT_EQ(ShortExchange(), 0);
  EXPECT_EQ(peer_.connections(), 5);
}

TEST_F(NetworkClientLibraryTest, CutRepliesAndSilenceFail) {
  std::vector<uint8_t> full = Reply(network::kShortIdCall, 0, ReplyBlock(0, ""));
  std::vector<uint8_t> cut(full.begin(), full.begin() + 100);
  peer_.Script({Step::kAnswerAndClose, cut});
  peer_.Script({Step::kAnswerAndClose, {}});
  backend_ = Backend(10000);
  EXPECT_EQ(ShortExchange(), kNetworkClosed);
  EXPECT_EQ(ShortExchange(), kNetworkClosed);
  // The script is used up: the peer reads the request and stays silent.
  EXPECT_EQ(ShortExchange(), kNetworkTimedOut);
  EXPECT_EQ(reply_, std::vector<uint8_t>(TARVO_REPLY_SIZE, 0xAB));
}

TEST_F(NetworkClientLibraryTest, ConnectionClosedByThePeerWhileIdleIsOpenedAgain) {
  peer_.Script({Step::kAnswerAndClose, Reply(network::kShortIdCall, 0, ReplyBlock(0, ""))});
  peer_.Script({Step::kAnswer, Reply(network::kShortIdCall, 0, ReplyBlock(0, ""))});
  ASSERT_EQ(ShortExchange(), 0);
  ASSERT_TRUE(WaitUntil([&] { return peer_.closed() == 1; }));
  // The closed connection is noticed before the request is sent on it.
  EXPECT_EQ(ShortExchange(), 0);
  EXPECT_EQ(peer_.connections(), 2);
}

TEST_F(NetworkClientLibraryTest, ResolveAndServiceKindPassTheServiceAnswer) {
  std::string id = "AB123456";
  peer_.Script({Step::kAnswer, Reply(network::kResolveCall, 0, {id.begin(), id.end()})});
  peer_.Script({Step::kAnswer, Reply(network::kResolveCall, 0, std::vector<uint8_t>(10, 'Z'))});
  peer_.Script({Step::kAnswer, Reply(network::kResolveCall, 4, {})});
  peer_.Script({Step::kAnswer, Reply(network::kServiceKindCall, 7, {})});
  char out[10];
  std::memset(out, 'q', sizeof out);
  ASSERT_EQ(backend_->ResolvePoint("Plant", "Plant.Unit.ab123456", out, 10), 0);
  EXPECT_STREQ(out, "AB123456");
  std::vector<uint8_t> name = peer_.lastPayload();
  EXPECT_EQ(std::string(name.begin(), name.end()), "Plant.Unit.ab123456");
  // Ten characters do not fit ten bytes with a terminator: refused, not cut.
  EXPECT_EQ(backend_->ResolvePoint("Plant", "x", out, 10), kNetworkMalformedReply);
  EXPECT_EQ(backend_->ResolvePoint("Plant", "x", out, 10), 4);
  EXPECT_EQ(backend_->ServiceKind("Plant"), 7);
}

TEST_F(NetworkClientLibraryTest, BadArgumentsAndUnreachableServices) {
  std::vector<uint8_t> reply(TARVO_REPLY_SIZE);
  std::vector<uint8_t> request(TARVO_SHORT_ID_REQUEST_SIZE);
  char out[10];
  EXPECT_EQ(backend_->Connect(nullptr), kNetworkBadArgument);
  EXPECT_EQ(backend_->Connect(""), kNetworkBadArgument);
  EXPECT_EQ(backend_->ShortIdExchange("Plant", nullptr, reply.data()), kNetworkBadArgument);
  EXPECT_EQ(backend_->LongIdExchange("Plant", request.data(), nullptr), kNetworkBadArgument);
  EXPECT_EQ(backend_->ConfigExchange(nullptr, request.data(), reply.data()), kNetworkBadArgument);
  EXPECT_EQ(backend_->ResolvePoint("Plant", "x", out, 0), kNetworkBadArgument);
  EXPECT_EQ(backend_->ResolvePoint("Plant", nullptr, out, 10), kNetworkBadArgument);
  std::string huge(network::kExtendedNameMax + 1, 'n');
  EXPECT_EQ(backend_->ResolvePoint("Plant", huge.c_str(), out, 10), kNetworkBadArgument);
  EXPECT_EQ(backend_->Stamp(nullptr, 64), kNetworkBadArgument);
  EXPECT_EQ(peer_.connections(), 0);

  // A port where nothing listens.
  uint16_t closedPort = 0;
  SocketHandle probe = Sockets().ListenLoopback(0, &closedPort);
  Sockets().CloseSocket(probe);
  auto nowhere = MakeNetworkClientLibrary(
      network::ServiceAddresses::Parse("A=127.0.0.1:" + std::to_string(closedPort), nullptr),
      {1000000, 1000000});
  EXPECT_EQ(nowhere->Connect("A"), kNetworkUnreachable);
  EXPECT_EQ(nowhere->ShortIdExchange("A", request.data(), reply.data()), kNetworkUnreachable);
  EXPECT_EQ(nowhere->Disconnect("A"), 0);
}

TEST_F(NetworkClientLibraryTest, StampFillsTheWholeFieldAndCountsUp) {
  uint8_t first[64], second[64];
  std::memset(first, 0xEE, sizeof first);
  std::memset(second, 0xEE, sizeof second);
  ASSERT_EQ(backend_->Stamp(first, 64), 0);
  ASSERT_EQ(backend_->Stamp(second, 64), 0);
  EXPECT_EQ(first[12] + 1, second[12]);
  for (int i = 16; i < 64; ++i) EXPECT_EQ(first[i], 0) << i;
  uint8_t tiny[3] = {0xEE, 0xEE, 0xEE};
  EXPECT_EQ(backend_->Stamp(tiny, 2), 0);
  EXPECT_EQ(tiny[2], 0xEE);  // nothing beyond the size given
}

}  // namespace
}  // namespace histfeed::client_library
