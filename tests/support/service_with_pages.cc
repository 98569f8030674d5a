// SPDX-License-Identifier: Apache-2.0
#include "tests/support/service_with_pages.h"

#include <poll.h>

#include "tests/support/loopback.h"
#include "wire/frame_format.h"

namespace histfeed::testing {
namespace {

uint16_t PortOtherThan(uint16_t taken) {
  uint16_t port;
  do {
    port = FreeLoopbackPort();
  } while (port == taken);
  return port;
}

std::vector<std::string> WithPages(std::vector<std::string> extra, uint16_t httpPort) {
  extra.insert(extra.begin(), {"--http", "127.0.0.1:" + std::to_string(httpPort)});
  return extra;
}

}  // namespace

ServiceWithPages::ServiceWithPages(std::vector<std::string> extra, int openFiles)
    : port_(FreeLoopbackPort()),
      httpPort_(PortOtherThan(port_)),
      process_(HISTFEED_SERVICE_BINARY, dir_.File("history.db"), port_,
               WithPages(std::move(extra), httpPort_), openFiles) {}

int SendLongIdValue(int socket, std::string_view point, int32_t time,
                    std::chrono::milliseconds wait) {
  const universal::RecordType& type = *universal::FindRecordType(6);
  std::vector<uint8_t> record(type.recordBytes);
  universal::EncodeRecord(type, {time, 0, point, 0, 1.5, {}}, record.data());
  std::vector<uint8_t> frame(universal::FrameLength(type, 1));
  universal::EncodeFrame(type, nullptr, record.data(), 1, frame.data());
  if (!WriteAll(socket, frame.data(), frame.size())) return -1;
  pollfd readable{socket, POLLIN, 0};
  if (poll(&readable, 1, static_cast<int>(wait.count())) <= 0) return -1;
  uint8_t answer = 0;
  return ReadExactly(socket, &answer, 1) ? answer : -1;
}

}  // namespace histfeed::testing
