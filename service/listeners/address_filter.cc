// SPDX-License-Identifier: Apache-2.0
#include "service/listeners/address_filter.h"

#include <charconv>

namespace histfeed::service {
namespace {

std::array<uint8_t, 16> MappedBytes(const asio::ip::address& address) {
  if (address.is_v6()) return address.to_v6().to_bytes();
  return asio::ip::make_address_v6(asio::ip::v4_mapped, address.to_v4()).to_bytes();
}

bool SamePrefix(const std::array<uint8_t, 16>& a, const std::array<uint8_t, 16>& b, int bits) {
  for (int i = 0; bits > 0; ++i, bits -= 8) {
    uint8_t mask = bits >= 8 ? 0xFF : static_cast<uint8_t>(0xFF << (8 - bits));
    if ((a[i] & mask) != (b[i] & mask)) return false;
  }
  return true;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

std::string AddressFilter::Parse(std::string_view list, AddressFilter* filter) {
  std::vector<Network> networks;
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view entry = Trimmed(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    std::string_view addressText = entry.substr(0, entry.find('/'));
    ErrorCode error;
    asio::ip::address address = asio::ip::make_address(std::string(addressText), error);
    int widest = address.is_v4() ? 32 : 128;
    int bits = widest;
    if (!error && addressText.size() < entry.size()) {
      std::string_view prefix = entry.substr(addressText.size() + 1);
      const char* end = prefix.data() + prefix.size();
      auto result = std::from_chars(prefix.data(), end, bits);
      if (prefix.empty() || result.ec != std::errc() || result.ptr != end || bits < 0 ||
          bits > widest) {
        error = asio::error::invalid_argument;
      }
    }
    if (error || entry.empty()) {
      return "cannot read '" + std::string(entry) +
             "' as a network: give an address or ADDRESS/BITS, as in 10.1.0.0/16 or fd00::/8";
    }
    networks.push_back({MappedBytes(address), address.is_v4() ? bits + 96 : bits});
  }
  if (networks.empty()) return "give at least one network, as in 10.1.0.0/16";
  filter->networks_ = std::move(networks);
  return "";
}

bool AddressFilter::Allows(const asio::ip::address& address) const {
  if (networks_.empty()) return true;
  std::array<uint8_t, 16> bytes = MappedBytes(address);
  for (const Network& network : networks_) {
    if (SamePrefix(bytes, network.bytes, network.prefixBits)) return true;
  }
  return false;
}

}  // namespace histfeed::service
