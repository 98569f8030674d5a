// SPDX-License-Identifier: Apache-2.0
// The histfeed-service program with its pages on, for tests that treat it
// as a black box: sources on its universal port, browsers (or attackers)
// on its pages.
#ifndef HISTFEED_TESTS_SUPPORT_SERVICE_WITH_PAGES_H_
#define HISTFEED_TESTS_SUPPORT_SERVICE_WITH_PAGES_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/service_process.h"
#include "tests/support/temp_directory.h"

namespace histfeed::testing {

class ServiceWithPages {
 public:
  // `extra`: more serve options; `openFiles` > 0 limits its descriptors.
  explicit ServiceWithPages(std::vector<std::string> extra = {}, int openFiles = 0);

  ServiceProcess& process() { return process_; }
  std::string database() const { return dir_.File("history.db"); }
  std::string File(const std::string& name) const { return dir_.File(name); }
  uint16_t port() const { return port_; }
  uint16_t httpPort() const { return httpPort_; }

 private:
  TempDirectory dir_;
  uint16_t port_;
  uint16_t httpPort_;
  ServiceProcess process_;
};

// Sends one value of long identifier `point` on `socket` and waits at
// most `wait` for the answer byte: 0x06, 0x15, or -1 when none came.
int SendLongIdValue(int socket, std::string_view point, int32_t time,
                    std::chrono::milliseconds wait = std::chrono::seconds(5));

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_SERVICE_WITH_PAGES_H_
