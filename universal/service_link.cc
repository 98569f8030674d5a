#include "universal/service_link.h"

namespace histfeed::universal {

void AbortLink(ServiceLink& link, std::atomic<platform::SocketHandle>& socket) {
  std::lock_guard<std::mutex> guard(link.handleGuard);
  platform::ShutdownSocket(socket.load());
  platform::ShutdownSocket(link.pending.load());
}

void CloseLinkSocket(ServiceLink& link, std::atomic<platform::SocketHandle>& socket) {
  std::lock_guard<std::mutex> exchange(link.exchange);
  std::lock_guard<std::mutex> guard(link.handleGuard);
  platform::CloseSocket(socket.exchange(platform::kInvalidSocket));
}

}  // namespace histfeed::universal
