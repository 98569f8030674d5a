// SPDX-License-Identifier: Apache-2.0
#include "client_library/service_addresses.h"

#include <algorithm>
#include <cctype>

namespace histfeed::client_library::network {
namespace {

std::string_view Trim(std::string_view text) {
  auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool ParsePort(std::string_view text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

ServiceAddresses ServiceAddresses::Parse(std::string_view text,
                                         std::vector<std::string>* rejected) {
  ServiceAddresses map;
  bool fallbackSet = false;
  while (!text.empty()) {
    size_t end = std::min(text.find(';'), text.size());
    std::string_view entry = Trim(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (entry.empty()) continue;
    size_t equals = entry.find('=');
    size_t colon = entry.rfind(':');
    std::string_view name = Trim(entry.substr(0, std::min(equals, entry.size())));
    std::string_view host;
    uint16_t port = 0;
    bool ok = equals != std::string_view::npos && colon != std::string_view::npos &&
              colon > equals && !name.empty();
    if (ok) {
      host = Trim(entry.substr(equals + 1, colon - equals - 1));
      ok = !host.empty() && ParsePort(Trim(entry.substr(colon + 1)), &port);
    }
    if (!ok) {
      if (rejected != nullptr) rejected->emplace_back(entry);
      continue;
    }
    ServiceAddress address{std::string(host), port};
    if (name == "*") {
      if (!fallbackSet) map.fallback_ = address;
      fallbackSet = true;
      continue;
    }
    std::string key = Lower(name);
    bool known = std::any_of(map.entries_.begin(), map.entries_.end(),
                             [&](const Entry& e) { return e.key == key; });
    if (!known) map.entries_.push_back({std::move(key), std::move(address)});
  }
  return map;
}

ServiceAddress ServiceAddresses::Find(std::string_view service) const {
  std::string key = Lower(Trim(service));
  for (const Entry& entry : entries_) {
    if (entry.key == key) return entry.address;
  }
  return fallback_;
}

}  // namespace histfeed::client_library::network
