// SPDX-License-Identifier: Apache-2.0
// The points' numbers by family, identifier kind and name, held in memory
// so that a value finds its point without asking the database. Names are
// bytes, matched exactly; a lookup copies nothing.
#ifndef HISTFEED_SERVICE_STORAGE_POINT_NAMES_H_
#define HISTFEED_SERVICE_STORAGE_POINT_NAMES_H_

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>

namespace histfeed::service {

class PointNames {
 public:
  // The point's number, or 0 when it is not known.
  int64_t Find(std::string_view family, std::string_view idKind, std::string_view name) const {
    auto kinds = families_.find(family);
    if (kinds == families_.end()) return 0;
    auto names = kinds->second.find(idKind);
    if (names == kinds->second.end()) return 0;
    auto found = names->second.find(name);
    return found == names->second.end() ? 0 : found->second;
  }
  void Add(std::string_view family, std::string_view idKind, std::string_view name, int64_t id) {
    families_[std::string(family)][std::string(idKind)].emplace(std::string(name), id);
  }
  void Clear() { families_.clear(); }

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
  };
  using Names = std::unordered_map<std::string, int64_t, Hash, std::equal_to<>>;
  std::map<std::string, std::map<std::string, Names, std::less<>>, std::less<>> families_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_POINT_NAMES_H_
