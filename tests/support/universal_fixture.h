// SPDX-License-Identifier: Apache-2.0
// Shared set-up of the universal tests: a fresh key per test, every key
// closed afterwards, and service connections attached by hand so that
// sending can be tested without reconnect threads.
#ifndef HISTFEED_TESTS_SUPPORT_UNIVERSAL_FIXTURE_H_
#define HISTFEED_TESTS_SUPPORT_UNIVERSAL_FIXTURE_H_

#include <gtest/gtest.h>

#include "histfeed.h"
#include "platform/socket.h"
#include "tests/support/fake_historian.h"
#include "tests/support/scaled_clock.h"
#include "universal/key.h"

namespace histfeed::testing {

class UniversalTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int32_t key = 0; key < universal::kMaxConnections; ++key) VornMxUniversalCloseSocket(key);
    VornMxSetDebugMsg(0);
  }

  // Initializes a key with acknowledgement on or off.
  int32_t NewKey(bool ack) {
    int32_t key = -1;
    EXPECT_EQ(VornMxUniversalInitialize(&key, ack ? 1 : 0, 0, 0, 0, nullptr, nullptr), 0);
    return key;
  }

  // Connects a socket of the key to `peer` and marks the service connected.
  static void Attach(int32_t key, bool alternate, const FakeHistorian& peer) {
    universal::Transport& transport = universal::KeyAt(key).transport();
    int32_t accepted = peer.AcceptedConnections();
    platform::SocketHandle socket = platform::Sockets().OpenStreamSocket();
    ASSERT_NE(socket, platform::kInvalidSocket);
    const uint8_t loopback[4] = {127, 0, 0, 1};
    ASSERT_TRUE(platform::Sockets().ConnectSocket(
        socket, platform::MakeIpv4Address(loopback, peer.port())));
    // The peer serves the connection before the first frame is timed.
    ASSERT_TRUE(WaitUntil([&] { return peer.AcceptedConnections() > accepted; }));
    (alternate ? transport.alternate() : transport.primary()).AdoptConnectedSocket(socket);
  }
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_UNIVERSAL_FIXTURE_H_
