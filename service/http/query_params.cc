// SPDX-License-Identifier: Apache-2.0
#include "service/http/query_params.h"

#include <charconv>
#include <initializer_list>
#include <string_view>

namespace histfeed::service::http {
namespace {

// Refuses names outside `known` and names given more than once.
std::string CheckNames(const QueryParams& params, std::initializer_list<std::string_view> known) {
  for (auto it = params.begin(); it != params.end(); it = params.upper_bound(it->first)) {
    bool isKnown = false;
    for (std::string_view name : known) isKnown = isKnown || it->first == name;
    if (!isKnown) {
      std::string names;
      for (std::string_view name : known) names += (names.empty() ? "" : ", ") + std::string(name);
      return "unknown parameter '" + it->first.substr(0, 64) + "'" +
             (names.empty() ? "; this page takes none" : "; this page takes " + names);
    }
    if (params.count(it->first) > 1) return "parameter '" + it->first + "' is given twice";
  }
  return "";
}

const std::string* Find(const QueryParams& params, const char* name) {
  auto found = params.find(name);
  return found == params.end() ? nullptr : &found->second;
}

// A decimal whole number within [low, high]; `*value` keeps its default
// when the parameter is absent.
std::string ReadNumber(const QueryParams& params, const char* name, int64_t low, int64_t high,
                       int64_t* value) {
  const std::string* text = Find(params, name);
  if (text == nullptr) return "";
  int64_t number = 0;
  const char* end = text->data() + text->size();
  auto result = std::from_chars(text->data(), end, number);
  if (text->empty() || result.ec != std::errc() || result.ptr != end || number < low ||
      number > high) {
    return "'" + std::string(name) + "' must be a whole number from " + std::to_string(low) +
           " to " + std::to_string(high);
  }
  *value = number;
  return "";
}

std::string ReadTime(const QueryParams& params, const char* name, std::optional<int64_t>* time) {
  if (Find(params, name) == nullptr) return "";
  int64_t millis = 0;
  std::string error = ReadNumber(params, name, kEarliestMillis, kLatestMillis, &millis);
  if (!error.empty()) {
    return "'" + std::string(name) +
           "' must be a time in milliseconds since 1970-01-01 UTC, from the year 1 to 9999";
  }
  *time = millis;
  return "";
}

std::string ReadRange(const QueryParams& params, TimeRange* range) {
  std::string error = ReadTime(params, "from", &range->fromMillis);
  if (error.empty()) error = ReadTime(params, "to", &range->toMillis);
  if (error.empty() && range->fromMillis && range->toMillis &&
      *range->fromMillis >= *range->toMillis) {
    error = "'from' must be earlier than 'to'";
  }
  return error;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes `text` into *out; false on a '%' without two hex digits.
bool Decode(std::string_view text, bool plusIsBlank, std::string* out) {
  out->clear();
  for (size_t at = 0; at < text.size(); ++at) {
    char c = text[at];
    if (c == '%') {
      if (at + 2 >= text.size()) return false;
      int high = HexValue(text[at + 1]), low = HexValue(text[at + 2]);
      if (high < 0 || low < 0) return false;
      out->push_back(static_cast<char>(high * 16 + low));
      at += 2;
    } else {
      out->push_back(plusIsBlank && c == '+' ? ' ' : c);
    }
  }
  return true;
}

}  // namespace

std::string ParseTarget(std::string_view target, std::string* path, QueryParams* params) {
  constexpr const char* kBadEncoding = "the address holds a '%' not followed by two hex digits";
  if (target.empty() || target.front() != '/') return "the address must start with '/'";
  size_t question = target.find('?');
  if (!Decode(target.substr(0, question), false, path)) return kBadEncoding;
  params->clear();
  if (question == std::string_view::npos) return "";
  std::string_view query = target.substr(question + 1);
  while (!query.empty()) {
    size_t amp = query.find('&');
    std::string_view pair = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (pair.empty()) continue;
    size_t equals = pair.find('=');
    std::string name, value;
    if (!Decode(pair.substr(0, equals), true, &name) ||
        (equals != std::string_view::npos && !Decode(pair.substr(equals + 1), true, &value))) {
      return kBadEncoding;
    }
    params->emplace(std::move(name), std::move(value));
  }
  return "";
}

std::string PercentEncoded(std::string_view bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    unsigned char byte = static_cast<unsigned char>(c);
    bool unreserved = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                      (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                      byte == '_' || byte == '~';
    if (unreserved) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    }
  }
  return out;
}

std::string PointKeyQuery(const PointKey& key) {
  return "family=" + PercentEncoded(key.family) + "&kind=" + PercentEncoded(key.idKind) +
         "&point=" + PercentEncoded(key.point);
}

std::string ParseNoParams(const QueryParams& params) { return CheckNames(params, {}); }

std::string ParsePointsQuery(const QueryParams& params, PointQuery* query) {
  std::string error = CheckNames(params, {"q", "limit", "offset"});
  if (!error.empty()) return error;
  if (const std::string* search = Find(params, "q")) {
    if (search->size() > kMaxSearchBytes) {
      return "'q' may be at most " + std::to_string(kMaxSearchBytes) + " bytes long";
    }
    query->search = *search;
  }
  query->limit = kDefaultPageSize;
  query->offset = 0;
  error = ReadNumber(params, "limit", 1, kMaxPageSize, &query->limit);
  if (error.empty()) error = ReadNumber(params, "offset", 0, 1'000'000'000, &query->offset);
  return error;
}

namespace {

std::string ReadPointKey(const QueryParams& params, PointKey* key) {
  const std::string* family = Find(params, "family");
  const std::string* kind = Find(params, "kind");
  const std::string* point = Find(params, "point");
  if (family == nullptr || kind == nullptr || point == nullptr) {
    return "a point is named by 'family', 'kind' and 'point'";
  }
  if (*family != "universal" && *family != "classic") {
    return "'family' must be universal or classic";
  }
  if (*kind != "point" && *kind != "long" && *kind != "extended") {
    return "'kind' must be point, long or extended";
  }
  if (point->empty() || point->size() > kMaxPointBytes) {
    return "'point' must be 1 to " + std::to_string(kMaxPointBytes) + " bytes long";
  }
  *key = PointKey{*family, *kind, *point};
  return "";
}

}  // namespace

std::string ParsePointKey(const QueryParams& params, PointKey* key) {
  std::string error = CheckNames(params, {"family", "kind", "point"});
  return error.empty() ? ReadPointKey(params, key) : error;
}

std::string ParseSeriesRequest(const QueryParams& params, SeriesRequest* request) {
  std::string error = CheckNames(params, {"family", "kind", "point", "from", "to", "columns"});
  if (error.empty()) error = ReadPointKey(params, &request->key);
  if (error.empty()) error = ReadRange(params, &request->range);
  if (error.empty()) error = ReadNumber(params, "columns", 1, kMaxColumns, &request->columns);
  return error;
}

std::string ParseChartRequest(const QueryParams& params, ChartRequest* request) {
  std::string error =
      CheckNames(params, {"family", "kind", "point", "from", "to", "width", "height"});
  if (error.empty()) error = ReadPointKey(params, &request->key);
  if (error.empty()) error = ReadRange(params, &request->range);
  if (error.empty()) error = ReadNumber(params, "width", 200, kMaxColumns, &request->width);
  if (error.empty()) error = ReadNumber(params, "height", 100, 2000, &request->height);
  return error;
}

}  // namespace histfeed::service::http
