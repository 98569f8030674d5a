// SPDX-License-Identifier: Apache-2.0
#include "queue/cache_path.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "platform/file_system.h"

namespace histfeed {
namespace {

// A caller's path is read no further than the longest path a system takes;
// one cut there is too long to create and fails as such.
constexpr size_t kPathTextMax = 4096;

std::string WithSeparators(const char* text) {
  std::string path = text != nullptr ? std::string(text, strnlen(text, kPathTextMax)) : "";
  for (char& c : path) {
    if (platform::IsPathSeparator(c)) c = platform::kPathSeparator;
  }
  return path;
}

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

CachePath MakeCachePath(const char* prefix, const char* directory) {
  std::string combined = WithSeparators(directory);
  if (combined.empty()) combined = std::string("Cache") + platform::kPathSeparator;
  if (combined.back() != platform::kPathSeparator) combined += platform::kPathSeparator;
  std::string base = WithSeparators(prefix);
  combined += base.empty() ? "KelQueue" : base;
  if (combined.find('.') == std::string::npos) combined += ".que";

  // Split as a path splitter does: the extension runs from the last dot of
  // the final component.
  size_t nameStart = combined.find_last_of(platform::kPathSeparator) + 1;
  size_t dot = combined.find_last_of('.');
  if (dot == std::string::npos || dot < nameStart) dot = combined.size();
  return CachePath{combined.substr(0, nameStart), combined.substr(nameStart, dot - nameStart),
                   combined.substr(dot)};
}

std::string CacheFileName(const CachePath& path, uint32_t number) {
  // The number is written as a signed decimal, as file names always were.
  return path.directory + path.prefix + std::to_string(static_cast<int32_t>(number)) +
         path.extension;
}

bool IsCacheFileName(const std::string& foundName, const CachePath& path) {
  size_t outer = path.prefix.size() + path.extension.size();
  if (foundName.size() <= outer || foundName.compare(0, path.prefix.size(), path.prefix) != 0 ||
      foundName.compare(foundName.size() - path.extension.size(), std::string::npos,
                        path.extension) != 0) {
    return false;
  }
  std::string number = foundName.substr(path.prefix.size(), foundName.size() - outer);
  size_t at = 0;
  while (at < number.size() && IsBlank(number[at])) ++at;
  if (at < number.size() && (number[at] == '-' || number[at] == '+')) ++at;
  if (at == number.size()) return false;
  for (; at < number.size(); ++at) {
    if (number[at] < '0' || number[at] > '9') return false;
  }
  return true;
}

uint32_t CacheFileNumber(const std::string& foundName, size_t prefixLength) {
  size_t dot = foundName.find_last_of('.');
  std::string base = foundName.substr(0, dot);
  if (base.size() < prefixLength) return 0;
  return static_cast<uint32_t>(ParseLeadingInteger(base.c_str() + prefixLength));
}

int32_t ParseLeadingInteger(const char* text) {
  while (IsBlank(*text)) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return static_cast<int32_t>(value);
}

}  // namespace histfeed
