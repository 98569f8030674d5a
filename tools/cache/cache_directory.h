// SPDX-License-Identifier: Apache-2.0
// The files of a cache directory, told apart by their names as the
// library gives them: cache files waiting in line (prefix + number +
// extension), damaged cache files set aside (+ ".bad" or ".N.bad"), the
// set-aside file (prefix + "SetAside" + extension + ".bad"), delivered
// files waiting for removal (+ ".done") and files being written (+ ".tmp").
#ifndef HISTFEED_TOOLS_CACHE_CACHE_DIRECTORY_H_
#define HISTFEED_TOOLS_CACHE_CACHE_DIRECTORY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace histfeed::cache_tool {

enum class EntryKind { kCacheFile, kSetAside, kDamaged, kDelivered, kBeingWritten };

struct CacheEntry {
  std::string name;  // without directory
  EntryKind kind;
  std::string prefix, extension;
  uint32_t number = 0;  // cache and damaged files
};

// The entries of `directory` that belong to a queue's cache, with the
// given prefix and extension when they are given; cache files first, in
// the order a queue delivers them (by prefix and extension, then by
// number), then the others by name.
std::vector<CacheEntry> FindCacheEntries(const std::string& directory,
                                         const std::optional<std::string>& prefix,
                                         const std::optional<std::string>& extension);

const char* EntryKindName(EntryKind kind);

}  // namespace histfeed::cache_tool

#endif  // HISTFEED_TOOLS_CACHE_CACHE_DIRECTORY_H_
