// SPDX-License-Identifier: Apache-2.0
// The socket contract every platform implementation must meet.
#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "platform/socket.h"
#include "tests/support/scaled_clock.h"

namespace histfeed::platform {
namespace {

struct Pair {
  SocketHandle listener = kInvalidSocket;
  SocketHandle client = kInvalidSocket;
  SocketHandle server = kInvalidSocket;
  ~Pair() {
    Sockets().CloseSocket(client);
    Sockets().CloseSocket(server);
    Sockets().CloseSocket(listener);
  }
};

void Connect(Pair& pair) {
  uint16_t port = 0;
  pair.listener = Sockets().ListenLoopback(0, &port);
  ASSERT_NE(pair.listener, kInvalidSocket);
  uint8_t host[4];
  ASSERT_TRUE(Sockets().ResolveIpv4("127.0.0.1", host));
  pair.client = Sockets().OpenStreamSocket();
  ASSERT_TRUE(Sockets().ConnectSocket(pair.client, MakeIpv4Address(host, port)));
  pair.server = Sockets().AcceptConnection(pair.listener);
  ASSERT_NE(pair.server, kInvalidSocket);
}

TEST(SocketTest, ResolvesNamesAndDottedAddresses) {
  uint8_t host[4] = {};
  EXPECT_TRUE(Sockets().ResolveIpv4("localhost", host));
  EXPECT_EQ(host[0], 127);
  EXPECT_TRUE(Sockets().ResolveIpv4("10.1.2.3", host));
  EXPECT_EQ(host[3], 3);
  EXPECT_FALSE(Sockets().ResolveIpv4(nullptr, host));
  EXPECT_FALSE(Sockets().ResolveIpv4("", host));
  Ipv4Address address = MakeIpv4Address(host, 0x1234);
  const auto* bytes = reinterpret_cast<const uint8_t*>(&address);
  EXPECT_EQ(bytes[2], 0x12);  // port in network order
  EXPECT_EQ(bytes[3], 0x34);
}

TEST(SocketTest, ExchangesBytesWaitsAndSeesTheEnd) {
  testing::ScopedTimeScale fast(100);
  Pair pair;
  Connect(pair);
  EXPECT_EQ(Sockets().WaitReadable(pair.client, 1000), WaitResult::kTimedOut);
  char big[100000];
  for (size_t i = 0; i < sizeof big; ++i) big[i] = static_cast<char>(i);
  std::thread reader([&] {
    char in[sizeof big];
    int32_t got = 0;
    while (got < static_cast<int32_t>(sizeof big)) {
      int32_t count =
          Sockets().Receive(pair.server, in + got, static_cast<int32_t>(sizeof in) - got);
      if (count <= 0) break;
      got += count;
    }
    EXPECT_EQ(got, static_cast<int32_t>(sizeof big));
    EXPECT_EQ(in[99999], big[99999]);
    Sockets().SendAll(pair.server, "ab", 2);
    Sockets().ShutdownSocket(pair.server);
  });
  EXPECT_EQ(Sockets().SendAll(pair.client, big, sizeof big), static_cast<int32_t>(sizeof big));
  reader.join();
  EXPECT_EQ(Sockets().WaitReadable(pair.client, 1000), WaitResult::kReadable);
  Sockets().DiscardPending(pair.client);  // drops "ab"
  char byte = 0;
  EXPECT_EQ(Sockets().Receive(pair.client, &byte, 1), 0);  // the end of the stream
}

TEST(SocketTest, ConnectWithinATimeLimitLeavesABlockingSocket) {
  uint16_t port = 0;
  SocketHandle listener = Sockets().ListenLoopback(0, &port);
  ASSERT_NE(listener, kInvalidSocket);
  uint8_t host[4] = {127, 0, 0, 1};
  SocketHandle client = Sockets().OpenStreamSocket();
  ASSERT_TRUE(Sockets().ConnectSocketWithin(client, MakeIpv4Address(host, port), 5000));
  SocketHandle server = Sockets().AcceptConnection(listener);
  ASSERT_NE(server, kInvalidSocket);
  // Blocking again: the receive waits for the byte sent later.
  std::thread sender([&] {
    SleepMs(20);
    uint8_t byte = 7;
    Sockets().SendAll(server, &byte, 1);
  });
  uint8_t got = 0;
  EXPECT_EQ(Sockets().Receive(client, &got, 1), 1);
  EXPECT_EQ(got, 7);
  sender.join();
  Sockets().CloseSocket(client);
  Sockets().CloseSocket(server);
  Sockets().CloseSocket(listener);

  // Nothing listens on the port any more: refused, not waited for.
  SocketHandle refused = Sockets().OpenStreamSocket();
  EXPECT_FALSE(Sockets().ConnectSocketWithin(refused, MakeIpv4Address(host, port), 5000));
  Sockets().CloseSocket(refused);
  EXPECT_FALSE(Sockets().ConnectSocketWithin(kInvalidSocket, MakeIpv4Address(host, port), 5000));
}

TEST(SocketTest, ShutdownWakesABlockedWait) {
  testing::ScopedTimeScale realTime(1);
  Pair pair;
  Connect(pair);
  std::thread waiter(
      [&] { EXPECT_EQ(Sockets().WaitReadable(pair.client, 60000), WaitResult::kReadable); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  Sockets().ShutdownSocket(pair.client);
  waiter.join();
  EXPECT_EQ(Sockets().SendAll(pair.client, "x", 1), -1);  // and sends fail, without SIGPIPE
  EXPECT_EQ(Sockets().WaitReadable(kInvalidSocket, 0), WaitResult::kFailed);
}

}  // namespace
}  // namespace histfeed::platform
