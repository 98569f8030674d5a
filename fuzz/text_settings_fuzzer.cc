// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary text to the small parsers of settings and names: the
// service address map, the load report in a classic reply block, and the
// cache's path, file name and number readers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "classic/service_load.h"
#include "client_library/service_addresses.h"
#include "histfeed/tarvo_plugin.h"
#include "queue/cache_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace histfeed;
  std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> rejected;
  client_library::network::ServiceAddresses addresses =
      client_library::network::ServiceAddresses::Parse(text, &rejected);
  addresses.Find(text);

  uint8_t reply[TARVO_REPLY_SIZE] = {};
  std::memcpy(reply, data, size < sizeof reply ? size : sizeof reply);
  classic::LoadReport report;
  classic::ParseLoadReport(reply, &report);

  // The text split in two at its first NUL: a prefix and a directory.
  std::string prefix = text.c_str();
  std::string directory = prefix.size() < text.size() ? text.substr(prefix.size() + 1) : "";
  directory = directory.c_str();
  CachePath path = MakeCachePath(prefix.c_str(), directory.c_str());
  std::string name = CacheFileName(path, static_cast<uint32_t>(size));
  IsCacheFileName(prefix, path);
  CacheFileNumber(prefix, path.prefix.size());
  CacheFileNumber(name, path.prefix.size());
  ParseLeadingInteger(prefix.c_str());
  return 0;
}
