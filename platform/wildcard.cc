// SPDX-License-Identifier: Apache-2.0
#include "platform/file_system.h"

namespace histfeed::platform {

bool MatchesWildcard(const std::string& name, const std::string& pattern) {
  // Iterative match with one backtrack point for the last '*' seen.
  size_t n = 0, p = 0;
  size_t starPattern = std::string::npos, starName = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starPattern = p++;
      starName = n;
    } else if (starPattern != std::string::npos) {
      p = starPattern + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace histfeed::platform
