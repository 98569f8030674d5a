// SPDX-License-Identifier: Apache-2.0
// An HTTP client for tests of the service's pages, plain or hostile: raw
// request bytes go out, the raw answer comes back.
#ifndef HISTFEED_TESTS_SUPPORT_HTTP_EXCHANGE_H_
#define HISTFEED_TESTS_SUPPORT_HTTP_EXCHANGE_H_

#include <chrono>
#include <cstdint>
#include <string>

namespace histfeed::testing {

struct HttpReply {
  int status = 0;  // 0: no response came
  std::string head;
  std::string body;
};

// Sends `request` on a new connection (writing as much as the service
// takes) and reads until it closes the connection or `wait` has passed.
std::string ExchangeRaw(uint16_t port, const std::string& request,
                        std::chrono::milliseconds wait = std::chrono::seconds(10));

// The first response in `raw`, its body cut by its Content-Length.
HttpReply FirstReply(const std::string& raw);

// The value of header `name` in a response head, empty when missing.
std::string HeaderValue(const std::string& head, const std::string& name);

// GET `target` with that Host, closing after the answer.
HttpReply HttpGet(uint16_t port, const std::string& target, const std::string& host = "127.0.0.1");

// Whether the peer ends `socket` within `wait` (bytes that come are read
// and dropped).
bool ClosedWithin(int socket, std::chrono::milliseconds wait);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_HTTP_EXCHANGE_H_
