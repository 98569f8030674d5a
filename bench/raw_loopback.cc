// SPDX-License-Identifier: Apache-2.0
#include "bench/raw_loopback.h"

#include <vector>

#include "platform/socket.h"
#include "tests/support/fake_historian.h"

namespace histfeed::bench {
namespace {

using testing::FakeHistorian;

platform::SocketHandle ConnectRaw(const FakeHistorian& peer) {
  platform::SocketHandle socket = platform::Sockets().OpenStreamSocket();
  const uint8_t loopback[4] = {127, 0, 0, 1};
  platform::Sockets().ConnectSocket(socket, platform::MakeIpv4Address(loopback, peer.port()));
  return socket;
}

}  // namespace

void RawPingPong(benchmark::State& state, int32_t frameBytes, int64_t itemsPerFrame) {
  FakeHistorian peer;
  peer.SetKeepFrames(false);
  platform::SocketHandle socket = ConnectRaw(peer);
  std::vector<char> frame = testing::MakeFrame(frameBytes);
  char ack = 0;
  for (auto _ : state) {
    if (platform::Sockets().SendAll(socket, frame.data(), static_cast<int32_t>(frame.size())) < 0 ||
        platform::Sockets().Receive(socket, &ack, 1) != 1) {
      state.SkipWithError("raw exchange failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * itemsPerFrame);
  platform::Sockets().CloseSocket(socket);
}

void RawBlast(benchmark::State& state, int32_t frameBytes, int64_t itemsPerFrame) {
  FakeHistorian peer;
  peer.SetKeepFrames(false);
  peer.SetDefaultReply(testing::Reply::Silent());
  platform::SocketHandle socket = ConnectRaw(peer);
  std::vector<char> frame = testing::MakeFrame(frameBytes);
  for (auto _ : state) {
    if (platform::Sockets().SendAll(socket, frame.data(), static_cast<int32_t>(frame.size())) < 0) {
      state.SkipWithError("raw send failed");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * itemsPerFrame);
  platform::Sockets().CloseSocket(socket);
}

}  // namespace histfeed::bench
