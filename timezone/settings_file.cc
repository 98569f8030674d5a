// SPDX-License-Identifier: Apache-2.0
#include "timezone/settings_file.h"

#include <optional>

#include "platform/environment.h"
#include "platform/file_system.h"

namespace histfeed {

std::string SettingsFilePath() {
  std::optional<std::string> named = platform::GetEnvironment(kSettingsDirectoryVariable);
  std::string directory = named && !named->empty() ? *named : platform::SystemSettingsDirectory();
  if (!platform::IsPathSeparator(directory.back())) directory += platform::kPathSeparator;
  return directory + kSettingsFileName;
}

}  // namespace histfeed
