// SPDX-License-Identifier: Apache-2.0
// The subcommands of histfeed-cache. Each writes its report to `out` and
// its complaints to `err`, and returns the program's exit status: 0 done
// (or whole), 1 damaged, refused or failed, 2 bad input.
#ifndef HISTFEED_TOOLS_CACHE_COMMANDS_H_
#define HISTFEED_TOOLS_CACHE_COMMANDS_H_

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace histfeed::cache_tool {

inline constexpr int kExitDone = 0;
inline constexpr int kExitDamaged = 1;
inline constexpr int kExitBadInput = 2;

enum class Format { kText, kJson, kCsv };

struct ListRequest {
  std::string directory;
  std::optional<std::string> prefix;     // every prefix when absent
  std::optional<std::string> extension;  // every extension when absent
  Format format = Format::kText;
  int64_t now = 0;  // seconds since 1970, for the age of the oldest value
};
int ListDirectory(const ListRequest& request, std::ostream& out, std::ostream& err);

int VerifyFiles(const std::vector<std::string>& files, std::ostream& out, std::ostream& err);

int DumpFile(const std::string& file, Format format, std::ostream& out, std::ostream& err);

int SalvageFile(const std::string& file, const std::string& output, std::ostream& out,
                std::ostream& err);

struct ResendRequest {
  std::string file;
  std::string host;
  uint16_t port = 0;
  bool ack = false;
  int64_t timeoutMs = 10000;  // for the connection and each acknowledgement
};
int ResendFile(const ResendRequest& request, std::ostream& out, std::ostream& err);

}  // namespace histfeed::cache_tool

#endif  // HISTFEED_TOOLS_CACHE_COMMANDS_H_
