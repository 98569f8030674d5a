// SPDX-License-Identifier: Apache-2.0
#include "platform/environment.h"

#include <windows.h>

#include <vector>

namespace histfeed::platform {

std::optional<std::string> GetEnvironment(const char* name) {
  if (name == nullptr) return std::nullopt;
  std::vector<char> value(256);
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
      return std::string();
    }
    if (length < value.size()) return std::string(value.data(), length);
    value.resize(length);  // too small: length counts the terminator then
  }
}

std::string SystemSettingsDirectory() {
  char directory[MAX_PATH + 1];
  UINT length = GetWindowsDirectoryA(directory, sizeof directory);
  if (length == 0 || length >= sizeof directory) return "C:\\Windows";
  return std::string(directory, length);
}

}  // namespace histfeed::platform
