// SPDX-License-Identifier: Apache-2.0
#include "tests/support/http_exchange.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <strings.h>

#include "tests/support/loopback.h"

namespace histfeed::testing {
namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point end) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// Reads what is there within the time left; false at the end of the stream.
bool ReadSome(int fd, Clock::time_point end, std::string* into) {
  pollfd readable{fd, POLLIN, 0};
  if (poll(&readable, 1, MillisLeft(end)) <= 0) return true;
  char buffer[16384];
  ssize_t got = recv(fd, buffer, sizeof buffer, 0);
  if (got <= 0) return false;
  if (into != nullptr) into->append(buffer, static_cast<size_t>(got));
  return true;
}

}  // namespace

std::string ExchangeRaw(uint16_t port, const std::string& request, std::chrono::milliseconds wait) {
  std::string answer;
  int fd = ConnectLoopback(port);
  if (fd < 0) return answer;
  Clock::time_point end = Clock::now() + wait;
  // Writes and reads side by side: a service that refuses a long request
  // answers before it is all written, and then closes.
  size_t sent = 0;
  bool open = true;
  while (open && Clock::now() < end) {
    pollfd ready{fd, static_cast<short>(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
    if (poll(&ready, 1, MillisLeft(end)) <= 0) break;
    if (ready.revents & (POLLIN | POLLHUP | POLLERR)) open = ReadSome(fd, end, &answer);
    if (open && sent < request.size() && (ready.revents & POLLOUT)) {
      ssize_t wrote = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (wrote < 0) break;  // refused and closed: what it answered is read below
      sent += static_cast<size_t>(wrote);
    }
  }
  while (open && Clock::now() < end) open = ReadSome(fd, end, &answer);
  close(fd);
  return answer;
}

HttpReply FirstReply(const std::string& raw) {
  HttpReply reply;
  size_t headEnd = raw.find("\r\n\r\n");
  if (raw.rfind("HTTP/1.", 0) != 0 || headEnd == std::string::npos) return reply;
  reply.status = std::atoi(raw.c_str() + 9);
  reply.head = raw.substr(0, headEnd + 2);
  size_t length = std::strtoul(HeaderValue(reply.head, "Content-Length").c_str(), nullptr, 10);
  reply.body = raw.substr(headEnd + 4, length);
  return reply;
}

std::string HeaderValue(const std::string& head, const std::string& name) {
  for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
    size_t end = head.find("\r\n", at + 2);
    std::string line = head.substr(at + 2, end - at - 2);
    if (line.size() > name.size() && line[name.size()] == ':' &&
        strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      size_t value = line.find_first_not_of(' ', name.size() + 1);
      return value == std::string::npos ? "" : line.substr(value);
    }
    at = end;
  }
  return "";
}

HttpReply HttpGet(uint16_t port, const std::string& target, const std::string& host) {
  return FirstReply(ExchangeRaw(
      port, "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n"));
}

bool ClosedWithin(int socket, std::chrono::milliseconds wait) {
  Clock::time_point end = Clock::now() + wait;
  while (Clock::now() < end) {
    if (!ReadSome(socket, end, nullptr)) return true;
  }
  return false;
}

}  // namespace histfeed::testing
