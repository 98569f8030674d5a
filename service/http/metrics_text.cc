// SPDX-License-Identifier: Apache-2.0
#include "service/http/metrics_text.h"

#include <charconv>
#include <cmath>

namespace histfeed::service::http {
namespace {

// Counts as whole numbers and the rest in the shortest positional form
// that reads back the same ("0.0005", not "5e-04"), as people expect.
std::string Number(double value) {
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  if (std::isnan(value)) return "NaN";
  if (value == std::trunc(value) && std::abs(value) < 1e15) {
    return std::to_string(static_cast<int64_t>(value));
  }
  char text[400];
  auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
  return std::string(text, result.ptr);
}

// Label values escape backslash, double quote and line feed.
std::string LabelValue(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped.push_back('\\');
    if (c == '\n') {
      escaped.append("\\n");
      continue;
    }
    escaped.push_back(c);
  }
  return escaped;
}

class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& name, const std::string& labels, double value) {
    text_ += name;
    if (!labels.empty()) text_ += "{" + labels + "}";
    text_ += " " + Number(value) + "\n";
  }
  std::string& text() { return text_; }

 private:
  std::string text_;
};

std::string Label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + LabelValue(value) + "\"";
}

void ByFamily(Exposition& out, const char* name, const int64_t (&counts)[2]) {
  out.Sample(name, Label("family", "universal"), static_cast<double>(counts[0]));
  out.Sample(name, Label("family", "classic"), static_cast<double>(counts[1]));
}

void CommitHistogram(Exposition& out, const MetricsSnapshot& metrics) {
  out.Family("histfeed_commit_duration_seconds", "histogram",
             "Time each storage commit took.");
  int64_t cumulative = 0;
  for (size_t i = 0; i < metrics.commitBucketCounts.size(); ++i) {
    cumulative += metrics.commitBucketCounts[i];
    double bound = i < metrics.commitBucketBounds.size() ? metrics.commitBucketBounds[i]
                                                         : INFINITY;
    out.Sample("histfeed_commit_duration_seconds_bucket", Label("le", Number(bound)),
               static_cast<double>(cumulative));
  }
  out.Sample("histfeed_commit_duration_seconds_sum", "", metrics.commitSecondsSum);
  out.Sample("histfeed_commit_duration_seconds_count", "", static_cast<double>(metrics.commits));
}

// Which storage, whether it can be reached, and how its commits fare.
void StoreState(Exposition& out, const MetricsSnapshot& metrics) {
  std::string store = Label("store", metrics.storeKind);
  out.Family("histfeed_store_connected", "gauge",
             "Whether the database can be reached now (1) or not (0).");
  out.Sample("histfeed_store_connected", store, metrics.storeConnected ? 1 : 0);
  out.Family("histfeed_store_last_commit_seconds", "gauge", "Time the last commit took.");
  out.Sample("histfeed_store_last_commit_seconds", store, metrics.lastCommitSeconds);
  out.Family("histfeed_store_failed_batches_total", "counter",
             "Frames or requests the storage could not store (answered 0x15 or busy).");
  out.Sample("histfeed_store_failed_batches_total", store,
             static_cast<double>(metrics.batchesFailed));
  if (metrics.storeLastError.empty()) return;
  out.Family("histfeed_store_last_error_info", "gauge",
             "Why the last batch the storage could not store failed, as a label.");
  out.Sample("histfeed_store_last_error_info",
             store + "," + Label("error", metrics.storeLastError), 1);
}

}  // namespace

std::string PrometheusText(const MetricsSnapshot& metrics, const DatabaseTotals& database,
                           const std::string& version) {
  Exposition out;
  out.Family("histfeed_build_info", "gauge", "The service's version, as a label.");
  out.Sample("histfeed_build_info", Label("version", version), 1);
  out.Family("histfeed_start_time_seconds", "gauge", "When the service started, since 1970.");
  out.Sample("histfeed_start_time_seconds", "",
             static_cast<double>(metrics.startedUnixMs) / 1000.0);

  int64_t open[2] = {0, 0};
  for (const ConnectionSnapshot& connection : metrics.connections) {
    ++open[connection.family == Family::kUniversal ? 0 : 1];
  }
  out.Family("histfeed_connections", "gauge", "Connections open now.");
  ByFamily(out, "histfeed_connections", open);
  out.Family("histfeed_frames_received_total", "counter",
             "Whole frames (universal) or requests (classic) received.");
  ByFamily(out, "histfeed_frames_received_total", metrics.framesByFamily);
  out.Family("histfeed_values_received_total", "counter", "Values carried by received frames.");
  ByFamily(out, "histfeed_values_received_total", metrics.valuesByFamily);

  out.Family("histfeed_answers_sent_total", "counter",
             "Answers sent, by family: stored (universal 0x06, classic status 0) or refused "
             "(0x15, any other status).");
  for (Family family : {Family::kUniversal, Family::kClassic}) {
    int index = family == Family::kUniversal ? 0 : 1;
    std::string familyLabel = Label("family", FamilyName(family)) + ",";
    out.Sample("histfeed_answers_sent_total", familyLabel + Label("answer", "stored"),
               static_cast<double>(metrics.acksByFamily[index]));
    out.Sample("histfeed_answers_sent_total", familyLabel + Label("answer", "refused"),
               static_cast<double>(metrics.naksByFamily[index]));
  }
  out.Family("histfeed_rejections_total", "counter", "Frames or requests refused, by reason.");
  for (const auto& [reason, count] : metrics.rejectionsByReason) {
    out.Sample("histfeed_rejections_total", Label("reason", reason), static_cast<double>(count));
  }

  out.Family("histfeed_connections_refused_total", "counter",
             "Connections closed at accept, by port and reason.");
  for (const auto& [where, count] : metrics.refusedConnections) {
    out.Sample("histfeed_connections_refused_total",
               Label("port", where.first) + "," + Label("reason", where.second),
               static_cast<double>(count));
  }
  out.Family("histfeed_http_connections", "gauge", "Connections to the pages open now.");
  out.Sample("histfeed_http_connections", "", static_cast<double>(metrics.pageConnections));

  out.Family("histfeed_commits_total", "counter", "Storage commits.");
  out.Sample("histfeed_commits_total", "", static_cast<double>(metrics.commits));
  CommitHistogram(out, metrics);
  out.Family("histfeed_values_stored_total", "counter", "Values committed to the database.");
  out.Sample("histfeed_values_stored_total", "", static_cast<double>(metrics.valuesStored));

  StoreState(out, metrics);

  out.Family("histfeed_database_bytes", "gauge",
             "Size of the database file with its write-ahead log.");
  out.Sample("histfeed_database_bytes", "", static_cast<double>(database.bytes));
  out.Family("histfeed_database_points", "gauge", "Points stored in the database.");
  out.Sample("histfeed_database_points", "", static_cast<double>(database.points));
  out.Family("histfeed_database_values", "gauge", "Values stored in the database.");
  out.Sample("histfeed_database_values", "", static_cast<double>(database.values));
  return std::move(out.text());
}

}  // namespace histfeed::service::http
