// SPDX-License-Identifier: Apache-2.0
// What the pages take and how long they wait, as the command line sets it.
#ifndef HISTFEED_SERVICE_HTTP_PAGE_OPTIONS_H_
#define HISTFEED_SERVICE_HTTP_PAGE_OPTIONS_H_

#include <chrono>
#include <string>
#include <vector>

#include "service/listeners/address_filter.h"

namespace histfeed::service::http {

struct PageOptions {
  // Page connections open at once (fewer when the open-file limit is low:
  // sources come first, see HttpServer).
  int maxConnections = 64;
  // From a request's first byte to its last, and for writing its answer.
  std::chrono::milliseconds requestTimeout{10'000};
  // A kept-alive connection with no request begun.
  std::chrono::milliseconds idleTimeout{5'000};
  // Client addresses taken; the rest are closed at accept.
  AddressFilter allowed;
  // Host names the pages answer to besides "localhost" and IP addresses
  // (a browser that reached them through another name may be a page of
  // some other site that rebound its name to this address).
  std::vector<std::string> hostNames;
};

}  // namespace histfeed::service::http

#endif  // HISTFEED_SERVICE_HTTP_PAGE_OPTIONS_H_
