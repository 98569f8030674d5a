// SPDX-License-Identifier: Apache-2.0
// A settings file in the profile format: "[Section]" headers followed by
// "Key=Value" lines. Section and key names are compared without regard to
// case, the first of several equal sections or keys counts, and lines
// starting with ';' are comments.
#ifndef HISTFEED_TIMEZONE_PROFILE_FILE_H_
#define HISTFEED_TIMEZONE_PROFILE_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace histfeed {

class ProfileFile {
 public:
  // Files are read up to this size; anything beyond is ignored, so a
  // runaway file cannot exhaust memory.
  static constexpr size_t kMaxFileBytes = 1 << 20;

  // Reads `path` through the platform file layer. A missing or unreadable
  // file reads as one without sections.
  static ProfileFile Load(const std::string& path);
  static ProfileFile Parse(std::string_view text);

  // Whether section `section` holds at least one line.
  bool HasLines(std::string_view section) const;

  // The value of `key` in `section`, without surrounding blanks and quotes,
  // or `fallback` when there is none; either is cut to bufferSize - 1
  // characters, as if copied into a buffer of that size with its terminator.
  std::string GetString(std::string_view section, std::string_view key,
                        std::string_view fallback, size_t bufferSize) const;

 private:
  struct Section {
    size_t lines = 0;
    std::unordered_map<std::string, std::string> values;  // by lower-case key
  };
  std::unordered_map<std::string, Section> sections_;  // by lower-case name
};

}  // namespace histfeed

#endif  // HISTFEED_TIMEZONE_PROFILE_FILE_H_
