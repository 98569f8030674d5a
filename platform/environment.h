// SPDX-License-Identifier: Apache-2.0
// The process environment.
#ifndef HISTFEED_PLATFORM_ENVIRONMENT_H_
#define HISTFEED_PLATFORM_ENVIRONMENT_H_

#include <optional>
#include <string>

namespace histfeed::platform {

// The value of environment variable `name`, or nothing when it is unset.
std::optional<std::string> GetEnvironment(const char* name);

// The directory where system-wide settings files live: /etc, or the
// Windows directory on Windows.
std::string SystemSettingsDirectory();

}  // namespace histfeed::platform

#endif  // HISTFEED_PLATFORM_ENVIRONMENT_H_
