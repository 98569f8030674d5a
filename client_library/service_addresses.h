// SPDX-License-Identifier: Apache-2.0
// Where the built-in network backend finds each classic service: the map
// given in HISTFEED_SERVICES, "NAME=host:port;NAME2=host:port", with names
// compared ignoring case. A name not listed goes to the entry "*" when
// there is one, else to 127.0.0.1:5451.
#ifndef HISTFEED_CLIENT_LIBRARY_SERVICE_ADDRESSES_H_
#define HISTFEED_CLIENT_LIBRARY_SERVICE_ADDRESSES_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace histfeed::client_library::network {

inline constexpr const char* kServicesVariable = "HISTFEED_SERVICES";
inline constexpr const char* kDefaultServiceHost = "127.0.0.1";
inline constexpr uint16_t kDefaultServicePort = 5451;

struct ServiceAddress {
  std::string host;
  uint16_t port = 0;
};

class ServiceAddresses {
 public:
  // Reads a map text. Entries that cannot be read (no "=", no ":", a port
  // that is not 1 to 65535, an empty name or host) are skipped and their
  // text is added to *rejected when given; the first entry of a name wins.
  static ServiceAddresses Parse(std::string_view text, std::vector<std::string>* rejected);

  ServiceAddress Find(std::string_view service) const;

 private:
  struct Entry {
    std::string key;  // lower case
    ServiceAddress address;
  };
  std::vector<Entry> entries_;
  ServiceAddress fallback_{kDefaultServiceHost, kDefaultServicePort};
};

}  // namespace histfeed::client_library::network

#endif  // HISTFEED_CLIENT_LIBRARY_SERVICE_ADDRESSES_H_
