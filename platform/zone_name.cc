// SPDX-License-Identifier: Apache-2.0
#include <string>

#include "platform/time_zone.h"

namespace histfeed::platform {

std::string ZoneNameFromPath(const std::string& path) {
  static const std::string kDatabase = "zoneinfo/";
  size_t at = path.rfind(kDatabase);
  if (at == std::string::npos) return std::string();
  std::string name = path.substr(at + kDatabase.size());
  // The database's alternative trees hold the same zones under a prefix.
  for (const char* tree : {"posix/", "right/"}) {
    std::string prefix = tree;
    if (name.compare(0, prefix.size(), prefix) == 0) name.erase(0, prefix.size());
  }
  return name;
}

}  // namespace histfeed::platform
