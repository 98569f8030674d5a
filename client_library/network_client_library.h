// SPDX-License-Identifier: Apache-2.0
// The built-in network backend: reaches each classic service over TCP with
// the messages of network_protocol.h, one connection per service, kept
// open between calls and opened again after a failure.
#ifndef HISTFEED_CLIENT_LIBRARY_NETWORK_CLIENT_LIBRARY_H_
#define HISTFEED_CLIENT_LIBRARY_NETWORK_CLIENT_LIBRARY_H_

#include <cstdint>
#include <memory>

#include "client_library/client_library.h"
#include "client_library/service_addresses.h"

namespace histfeed::client_library {

// Results of the backend's own failures (a service's own non-zero results
// are passed on as they come).
inline constexpr int32_t kNetworkBadArgument = -1001;     // null or empty argument
inline constexpr int32_t kNetworkUnreachable = -1002;     // host unknown, connect refused or timed out
inline constexpr int32_t kNetworkSendFailed = -1003;      // the connection broke while sending
inline constexpr int32_t kNetworkTimedOut = -1004;        // no whole reply in time
inline constexpr int32_t kNetworkClosed = -1005;          // the service closed before replying
inline constexpr int32_t kNetworkMalformedReply = -1006;  // a reply that breaks the protocol

struct NetworkTimeouts {
  int64_t connectMs = 5000;  // to open a connection
  int64_t replyMs = 10000;   // from sending a request to its whole reply
};

std::unique_ptr<ClientLibrary> MakeNetworkClientLibrary(network::ServiceAddresses addresses,
                                                        NetworkTimeouts timeouts = {});

// The backend with the service map of HISTFEED_SERVICES (unset: every
// service at the default address).
std::unique_ptr<ClientLibrary> MakeNetworkClientLibraryFromEnvironment();

}  // namespace histfeed::client_library

#endif  // HISTFEED_CLIENT_LIBRARY_NETWORK_CLIENT_LIBRARY_H_
