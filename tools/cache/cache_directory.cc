// SPDX-License-Identifier: Apache-2.0
#include "tools/cache/cache_directory.h"

#include <algorithm>
#include <tuple>

#include "platform/file_system.h"
#include "queue/cache_file.h"
#include "queue/cache_path.h"

namespace histfeed::cache_tool {
namespace {

bool StripSuffix(std::string* name, std::string_view suffix) {
  if (name->size() <= suffix.size() || !name->ends_with(suffix)) return false;
  name->resize(name->size() - suffix.size());
  return true;
}

// The extension of a name: from its last dot, or empty.
std::string ExtensionOf(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? "" : name.substr(dot);
}

// Splits prefix + number + extension; false for any other name.
bool SplitCacheName(const std::string& name, CacheEntry* entry) {
  std::string extension = ExtensionOf(name);
  std::string rest = name.substr(0, name.size() - extension.size());
  size_t digits = rest.size();
  while (digits > 0 && rest[digits - 1] >= '0' && rest[digits - 1] <= '9') --digits;
  if (digits == rest.size()) return false;
  CachePath path{"", rest.substr(0, digits), extension};
  if (!IsCacheFileName(name, path)) return false;
  entry->prefix = path.prefix;
  entry->extension = extension;
  entry->number = CacheFileNumber(name, path.prefix.size());
  return true;
}

bool Classify(const std::string& name, CacheEntry* entry) {
  entry->name = name;
  std::string base = name;
  if (StripSuffix(&base, kCacheTemporarySuffix)) {
    entry->kind = EntryKind::kBeingWritten;
    return SplitCacheName(base, entry);
  }
  if (StripSuffix(&base, ".done")) {
    entry->kind = EntryKind::kDelivered;
    return SplitCacheName(base, entry);
  }
  if (!StripSuffix(&base, ".bad")) {
    entry->kind = EntryKind::kCacheFile;
    return SplitCacheName(base, entry);
  }
  std::string extension = ExtensionOf(base);
  std::string stem = base.substr(0, base.size() - extension.size());
  if (StripSuffix(&stem, "SetAside")) {
    entry->kind = EntryKind::kSetAside;
    entry->prefix = stem;
    entry->extension = extension;
    return true;
  }
  // A second damaged file of one number is set aside as <name>.2.bad.
  entry->kind = EntryKind::kDamaged;
  if (SplitCacheName(base, entry)) return true;
  return SplitCacheName(stem, entry) && extension.size() > 1 &&
         std::all_of(extension.begin() + 1, extension.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<CacheEntry> FindCacheEntries(const std::string& directory,
                                         const std::optional<std::string>& prefix,
                                         const std::optional<std::string>& extension) {
  std::vector<CacheEntry> entries;
  for (const std::string& name : platform::Files().FindFiles(directory, "*")) {
    CacheEntry entry;
    if (!Classify(name, &entry)) continue;
    if (prefix && entry.prefix != *prefix) continue;
    if (extension && entry.extension != *extension) continue;
    entries.push_back(std::move(entry));
  }
  std::sort(entries.begin(), entries.end(), [](const CacheEntry& a, const CacheEntry& b) {
    bool aLine = a.kind == EntryKind::kCacheFile, bLine = b.kind == EntryKind::kCacheFile;
    if (aLine != bLine) return aLine;
    if (aLine) return std::tie(a.prefix, a.extension, a.number) < std::tie(b.prefix, b.extension, b.number);
    return a.name < b.name;
  });
  return entries;
}

const char* EntryKindName(EntryKind kind) {
  switch (kind) {
    case EntryKind::kCacheFile: return "cache";
    case EntryKind::kSetAside: return "set-aside";
    case EntryKind::kDamaged: return "damaged";
    case EntryKind::kDelivered: return "delivered";
    case EntryKind::kBeingWritten: return "writing";
  }
  return "?";
}

}  // namespace histfeed::cache_tool
