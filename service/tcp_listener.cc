#include "service/tcp_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "service/event_log.h"

namespace histfeed::service {

bool ReadExactly(int socket, void* data, size_t size) {
  auto* at = static_cast<uint8_t*>(data);
  while (size > 0) {
    ssize_t got = recv(socket, at, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    at += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

bool WriteAll(int socket, const void* data, size_t size) {
  const auto* at = static_cast<const uint8_t*>(data);
  while (size > 0) {
    ssize_t sent = send(socket, at, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    at += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

TcpListener::TcpListener(std::string name, Handler handler)
    : name_(std::move(name)), handler_(std::move(handler)) {}

TcpListener::~TcpListener() { Stop(); }

std::string TcpListener::Start(const std::string& address, uint16_t port) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    return "not an IPv4 address: " + address;
  }
  listenSocket_ = socket(AF_INET, SOCK_STREAM, 0);
  if (listenSocket_ < 0) return std::string("socket: ") + std::strerror(errno);
  int on = 1;
  setsockopt(listenSocket_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listenSocket_, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 ||
      listen(listenSocket_, 64) != 0) {
    std::string error = std::strerror(errno);
    close(listenSocket_);
    listenSocket_ = -1;
    return name_ + " cannot listen on " + address + ":" + std::to_string(port) + ": " + error;
  }
  socklen_t length = sizeof where;
  getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&where), &length);
  port_ = ntohs(where.sin_port);
  acceptThread_ = std::thread([this] { AcceptLoop(); });
  return "";
}

void TcpListener::AcceptLoop() {
  while (!stopping_) {
    ReapFinished();
    pollfd ready{listenSocket_, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    sockaddr_in from{};
    socklen_t length = sizeof from;
    int connection = accept(listenSocket_, reinterpret_cast<sockaddr*>(&from), &length);
    if (connection < 0) continue;
    int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    std::string peer = std::string(text) + ":" + std::to_string(ntohs(from.sin_port));
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) {
      close(connection);
      break;
    }
    openSockets_.insert(connection);
    auto& entry = connections_.emplace_back(std::make_unique<Connection>());
    Connection* self = entry.get();
    entry->thread = std::thread([this, connection, peer, self] {
      LogEvent("%s connection from %s", name_.c_str(), peer.c_str());
      handler_(connection, peer);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        openSockets_.erase(connection);
      }
      close(connection);
      LogEvent("%s connection from %s closed", name_.c_str(), peer.c_str());
      self->done = true;
    });
  }
}

void TcpListener::Stop() {
  if (stopping_.exchange(true)) return;
  if (acceptThread_.joinable()) acceptThread_.join();
  if (listenSocket_ >= 0) close(listenSocket_);
  std::list<std::unique_ptr<Connection>> connections;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Wakes handlers blocked in a read; they finish the frame at hand.
    for (int connection : openSockets_) shutdown(connection, SHUT_RDWR);
    connections.swap(connections_);
  }
  for (auto& connection : connections) connection->thread.join();
}

void TcpListener::ReapFinished() {
  std::list<std::unique_ptr<Connection>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = connections_.begin(); it != connections_.end();) {
      auto next = std::next(it);
      if ((*it)->done) finished.splice(finished.end(), connections_, it);
      it = next;
    }
  }
  for (auto& connection : finished) connection->thread.join();
}

}  // namespace histfeed::service
