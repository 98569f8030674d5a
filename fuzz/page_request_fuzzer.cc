// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to what reads the pages' requests, as one
// connection would get them: split into reads at sizes the first byte
// chooses, requests read one after another (pipelined) until one is
// refused or a request outgrows a connection's buffer. Each request's
// Host is checked and its target decoded into parameters, which go
// through every page's parameter parser; every decoded value must come
// back the same through PercentEncoded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "service/http/page_responder.h"
#include "service/http/query_params.h"
#include "service/http/request_parser.h"

namespace {

using namespace histfeed::service;
using namespace histfeed::service::http;

void Check(const RequestHead& head) {
  if (head.host) HostAllowed(*head.host, {"historian"});
  std::string path;
  QueryParams params;
  if (!ParseTarget(head.target, &path, &params).empty()) return;
  PointQuery points;
  PointKey key;
  SeriesRequest series;
  ChartRequest chart;
  ParseNoParams(params);
  ParsePointsQuery(params, &points);
  ParsePointKey(params, &key);
  ParseSeriesRequest(params, &series);
  ParseChartRequest(params, &chart);
  for (const auto& [name, value] : params) {
    std::string again;
    QueryParams decoded;
    if (!ParseTarget("/?" + PercentEncoded(name) + "=" + PercentEncoded(value), &again, &decoded)
             .empty() ||
        decoded.size() != 1 || decoded.begin()->first != name ||
        decoded.begin()->second != value) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t step = data[0] % 64 + 1;
  ++data;
  --size;
  std::string pending;
  std::optional<RequestParser> parser;
  parser.emplace();
  for (size_t at = 0; at < size;) {
    size_t read = std::min(step, size - at);
    pending.append(reinterpret_cast<const char*>(data + at), read);
    at += read;
    for (;;) {
      auto progress = parser->Parse(reinterpret_cast<const uint8_t*>(pending.data()),
                                    pending.size());
      if (progress == RequestParser::Progress::kRefused) return 0;
      if (progress == RequestParser::Progress::kNeedMore) {
        if (pending.size() >= kMaxRequestBytes) return 0;
        break;
      }
      Check(parser->head());
      pending.erase(0, parser->consumed());
      parser.emplace();
    }
  }
  return 0;
}
