// SPDX-License-Identifier: Apache-2.0
// Which client addresses a port takes connections from: networks written
// as CIDR ("10.1.0.0/16", "192.168.5.7", "fd00::/8", "::1"). An empty
// filter takes every address. IPv4 clients reaching an IPv6 socket
// (::ffff:a.b.c.d) match the IPv4 networks.
#ifndef HISTFEED_SERVICE_LISTENERS_ADDRESS_FILTER_H_
#define HISTFEED_SERVICE_LISTENERS_ADDRESS_FILTER_H_

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "service/network.h"

namespace histfeed::service {

class AddressFilter {
 public:
  // Reads "CIDR[,CIDR...]" into *filter. Returns an error text naming the
  // entry it could not read, empty on success.
  static std::string Parse(std::string_view list, AddressFilter* filter);

  bool Allows(const asio::ip::address& address) const;
  bool empty() const { return networks_.empty(); }

 private:
  // Every address as IPv6 bytes, IPv4 ones mapped (::ffff:a.b.c.d).
  struct Network {
    std::array<uint8_t, 16> bytes{};
    int prefixBits = 0;
  };
  std::vector<Network> networks_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_LISTENERS_ADDRESS_FILTER_H_
