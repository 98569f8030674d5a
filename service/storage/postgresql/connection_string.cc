// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/connection_string.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

namespace histfeed::service::postgresql {
namespace {

constexpr const char* kHidden = "***";

bool IsUri(std::string_view text) {
  return text.starts_with("postgresql://") || text.starts_with("postgres://");
}

// libpq's own keywords: "host=..." names a server, "my=file.db" a file.
const std::set<std::string>& Keywords() {
  static const std::set<std::string> keywords = [] {
    std::set<std::string> names;
    std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(PQconndefaults(),
                                                                         PQconninfoFree);
    for (PQconninfoOption* option = options.get(); option && option->keyword; ++option) {
      names.insert(option->keyword);
    }
    return names;
  }();
  return keywords;
}

struct Span {
  size_t begin, end;
};

// Where a URI keeps passwords: between the first ':' of its user part and
// its '@', and in a "password" parameter after '?'.
void UriPasswords(const std::string& uri, std::vector<Span>* spans) {
  size_t authority = uri.find("://") + 3;
  size_t authorityEnd = std::min(uri.find_first_of("/?", authority), uri.size());
  size_t at = uri.rfind('@', authorityEnd - 1);
  if (at != std::string::npos && at >= authority) {
    size_t colon = uri.find(':', authority);
    if (colon < at) spans->push_back({colon + 1, at});
  }
  for (size_t next = uri.find('?'); next != std::string::npos && next < uri.size();) {
    size_t start = next + 1;
    next = uri.find('&', start);
    if (uri.compare(start, 9, "password=") == 0) {
      spans->push_back({start + 9, std::min(next, uri.size())});
    }
  }
}

bool Blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// "keyword = value" pairs: a value is quoted ('it\'s') or runs to the
// next blank.
void KeywordPasswords(const std::string& text, std::vector<Span>* spans) {
  size_t at = 0;
  auto skipBlanks = [&] {
    while (at < text.size() && Blank(text[at])) ++at;
  };
  while (at < text.size()) {
    skipBlanks();
    size_t keyword = at;
    while (at < text.size() && text[at] != '=' && !Blank(text[at])) ++at;
    bool password = text.compare(keyword, at - keyword, "password") == 0;
    skipBlanks();
    if (at >= text.size() || text[at] != '=') return;
    ++at;
    skipBlanks();
    size_t value = at;
    if (at < text.size() && text[at] == '\'') {
      for (++at; at < text.size() && text[at] != '\''; ++at) {
        if (text[at] == '\\') ++at;
      }
      at = std::min(at + 1, text.size());
    } else {
      while (at < text.size() && !Blank(text[at])) ++at;
    }
    if (password) spans->push_back({value, at});
  }
}

std::vector<Span> Passwords(const std::string& connection) {
  std::vector<Span> spans;
  if (IsUri(connection)) {
    UriPasswords(connection, &spans);
  } else {
    KeywordPasswords(connection, &spans);
  }
  std::erase_if(spans, [](const Span& span) { return span.end <= span.begin; });
  return spans;
}

void ReplaceAll(std::string* text, const std::string& part) {
  if (part.size() < 3) return;  // too short to tell from other text
  for (size_t at = text->find(part); at != std::string::npos;
       at = text->find(part, at + std::string_view(kHidden).size())) {
    text->replace(at, part.size(), kHidden);
  }
}

}  // namespace

bool IsConnectionString(const std::string& database) {
  if (IsUri(database)) return true;
  size_t start = database.find_first_not_of(" \t");
  size_t equals = database.find('=');
  if (start == std::string::npos || equals == std::string::npos) return false;
  std::string keyword = database.substr(start, equals - start);
  keyword.erase(keyword.find_last_not_of(" \t") + 1);
  return Keywords().count(keyword) != 0;
}

std::string ShownConnection(const std::string& connection) {
  std::string shown = connection;
  std::vector<Span> spans = Passwords(connection);
  for (auto span = spans.rbegin(); span != spans.rend(); ++span) {
    shown.replace(span->begin, span->end - span->begin, kHidden);
  }
  return shown;
}

std::string WithoutPassword(const std::string& message, const std::string& connection) {
  std::string text = message;
  // The password as written, and as libpq reads it (decoded).
  for (const Span& span : Passwords(connection)) {
    ReplaceAll(&text, connection.substr(span.begin, span.end - span.begin));
  }
  char* problem = nullptr;
  std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(
      PQconninfoParse(connection.c_str(), &problem), PQconninfoFree);
  PQfreemem(problem);
  for (PQconninfoOption* option = options.get(); option && option->keyword; ++option) {
    if (std::string_view(option->keyword) == "password" && option->val != nullptr) {
      ReplaceAll(&text, option->val);
    }
  }
  return text;
}

}  // namespace histfeed::service::postgresql
