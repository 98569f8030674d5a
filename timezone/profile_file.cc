// SPDX-License-Identifier: Apache-2.0
#include "timezone/profile_file.h"

#include <algorithm>
#include <memory>

#include "platform/file_system.h"

namespace histfeed {
namespace {

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

std::string_view WithoutQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value.remove_prefix(1);
    value.remove_suffix(1);
  }
  return value;
}

std::string CutToBuffer(std::string_view text, size_t bufferSize) {
  if (bufferSize == 0) return std::string();
  return std::string(text.substr(0, bufferSize - 1));
}

}  // namespace

ProfileFile ProfileFile::Load(const std::string& path) {
  std::unique_ptr<platform::InputFile> file = platform::Files().OpenFile(path);
  if (file == nullptr) return ProfileFile();
  std::string text;
  char chunk[16384];
  while (text.size() < kMaxFileBytes) {
    size_t got = file->Read(chunk, std::min(sizeof chunk, kMaxFileBytes - text.size()));
    if (got == 0) break;
    text.append(chunk, got);
  }
  return Parse(text);
}

ProfileFile ProfileFile::Parse(std::string_view text) {
  ProfileFile profile;
  Section* current = nullptr;  // lines before the first header belong nowhere
  bool currentIsFirst = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';') continue;

    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name = Trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
      auto [entry, inserted] = profile.sections_.try_emplace(Lower(name));
      current = &entry->second;
      currentIsFirst = inserted;
      continue;
    }
    if (current == nullptr || !currentIsFirst) continue;
    ++current->lines;
    size_t equals = line.find('=');
    std::string_view key = Trim(line.substr(0, equals));
    std::string_view value = equals == std::string_view::npos ? std::string_view()
                                                               : Trim(line.substr(equals + 1));
    current->values.try_emplace(Lower(key), WithoutQuotes(value));
  }
  return profile;
}

bool ProfileFile::HasLines(std::string_view section) const {
  auto found = sections_.find(Lower(section));
  return found != sections_.end() && found->second.lines > 0;
}

std::string ProfileFile::GetString(std::string_view section, std::string_view key,
                                   std::string_view fallback, size_t bufferSize) const {
  auto foundSection = sections_.find(Lower(section));
  if (foundSection != sections_.end()) {
    auto foundKey = foundSection->second.values.find(Lower(Trim(key)));
    if (foundKey != foundSection->second.values.end()) {
      return CutToBuffer(foundKey->second, bufferSize);
    }
  }
  return CutToBuffer(fallback, bufferSize);
}

}  // namespace histfeed
