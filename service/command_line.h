// SPDX-License-Identifier: Apache-2.0
// histfeed-service's command line: what it asks for, and its usage text.
#ifndef HISTFEED_SERVICE_COMMAND_LINE_H_
#define HISTFEED_SERVICE_COMMAND_LINE_H_

#include <cstdint>
#include <string>

#include "service/http/page_options.h"
#include "service/listeners/classic_listener.h"
#include "service/listeners/connection_limits.h"
#include "service/listeners/universal_listener.h"
#include "service/storage/storage.h"

namespace histfeed::service {

inline constexpr uint16_t kDefaultUniversalPort = 5450;
inline constexpr uint16_t kDefaultClassicPort = 5451;

struct Options {
  std::string command = "serve";  // "serve", "dump", "help" or "version"
  std::string database;
  std::string listen = "127.0.0.1";
  uint16_t universalPort = kDefaultUniversalPort;
  UniversalFaults faults;
  uint16_t classicPort = kDefaultClassicPort;
  ClassicFaults classicFaults;
  ConnectionLimits limits;
  bool csv = false;
  bool quiet = false;
  std::string http;  // [ADDRESS:]PORT of the pages; empty: no pages
  StorageOptions storage;  // --sync, --retain
  bool values = false;     // dump every value, not each point's summary
  http::PageOptions pages;
};

// Reads the arguments into *options. Returns an error text, empty when
// they were understood.
std::string ParseCommandLine(int argc, const char* const* argv, Options* options);

const char* UsageText();

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_COMMAND_LINE_H_
