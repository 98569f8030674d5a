// SPDX-License-Identifier: Apache-2.0
#include "platform/environment.h"

#include <cstdlib>

namespace histfeed::platform {

std::optional<std::string> GetEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string SystemSettingsDirectory() { return "/etc"; }

}  // namespace histfeed::platform
