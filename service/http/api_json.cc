// SPDX-License-Identifier: Apache-2.0
#include "service/http/api_json.h"

#include "service/http/json_writer.h"
#include "service/http/query_params.h"
#include "service/printable_text.h"

namespace histfeed::service::http {
namespace {

void OptionalMillis(JsonWriter& json, const char* name, int64_t millis) {
  json.Key(name);
  if (millis == 0) {
    json.Null();
  } else {
    json.Int(millis);
  }
}

void Connections(JsonWriter& json, const MetricsSnapshot& metrics) {
  json.Key("connections").BeginArray();
  for (const ConnectionSnapshot& connection : metrics.connections) {
    json.BeginObject()
        .Member("id", connection.id)
        .Member("family", FamilyName(connection.family))
        .Member("peer", connection.peer)
        .Member("since", connection.sinceUnixMs)
        .Member("frames", connection.frames)
        .Member("values", connection.values)
        .Member("rejections", connection.rejections);
    OptionalMillis(json, "lastFrame", connection.lastFrameUnixMs);
    json.EndObject();
  }
  json.EndArray();
}

void ByFamily(JsonWriter& json, const char* name, const int64_t (&counts)[2]) {
  json.Key(name)
      .BeginObject()
      .Member("universal", counts[0])
      .Member("classic", counts[1])
      .EndObject();
}

void Totals(JsonWriter& json, const MetricsSnapshot& metrics, double commitsPerSecond) {
  json.Key("totals").BeginObject();
  ByFamily(json, "frames", metrics.framesByFamily);
  ByFamily(json, "values", metrics.valuesByFamily);
  json.Member("acks", metrics.acks).Member("naks", metrics.naks);
  json.Key("rejections").BeginObject();
  int64_t rejections = 0;
  for (const auto& [reason, count] : metrics.rejectionsByReason) {
    json.Member(reason, count);
    rejections += count;
  }
  json.EndObject();
  json.Member("rejected", rejections)
      .Member("commits", metrics.commits)
      .Member("commitsPerSecond", commitsPerSecond)
      .Member("commitSeconds", metrics.commitSecondsSum)
      .Member("valuesStored", metrics.valuesStored)
      .EndObject();
}

void ValueTimeMember(JsonWriter& json, const char* name, const std::optional<ValueTime>& time) {
  json.Key(name);
  if (time) {
    json.Int(time->Millis());
  } else {
    json.Null();
  }
}

// A point's name for people (bytes that are not printable UTF-8 shown as
// \xHH), its exact bytes, and its key as a query that opens it.
void NameMembers(JsonWriter& json, const PointKey& key) {
  json.Member("family", key.family)
      .Member("kind", key.idKind)
      .Member("point", key.point)
      .Member("pointHex", HexText(key.point))
      .Member("query", PointKeyQuery(key));
}

void Row(JsonWriter& json, const PointRow& row) {
  json.BeginObject();
  NameMembers(json, row.key);
  json.Member("count", row.count);
  ValueTimeMember(json, "lastTime", row.last);
  // A text, for numbers too: the shortest that reads back as the stored
  // double, which a JSON number need not be in every parser.
  json.Key("lastValue");
  if (row.last) {
    json.String(row.lastValue);
  } else {
    json.Null();
  }
  json.Member("lastIsText", row.lastIsText)
      .Member("lastStatus", row.lastStatus)
      .Member("configured", row.configured)
      .Member("deleted", row.deleted)
      .EndObject();
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  return HexText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace

std::string OverviewJson(const MetricsSnapshot& metrics, const DatabaseTotals& database,
                         const ServiceInfo& info) {
  JsonWriter json;
  json.BeginObject()
      .Member("version", info.version)
      .Member("now", info.nowUnixMs)
      .Member("startedAt", metrics.startedUnixMs)
      .Member("uptimeSeconds", (info.nowUnixMs - metrics.startedUnixMs) / 1000);
  Connections(json, metrics);
  Totals(json, metrics, info.commitsPerSecond);
  json.Key("database")
      .BeginObject()
      .Member("bytes", database.bytes)
      .Member("points", database.points)
      .Member("values", database.values)
      .Member("configs", database.configs)
      .EndObject();
  json.Key("store")
      .BeginObject()
      .Member("kind", metrics.storeKind)
      .Member("connected", metrics.storeConnected)
      .Member("failedBatches", metrics.batchesFailed)
      .Member("lastError", metrics.storeLastError)
      .EndObject();
  json.EndObject();
  return json.text();
}

std::string PointsJson(const PointPage& page, const PointQuery& query) {
  JsonWriter json;
  json.BeginObject()
      .Member("q", query.search)
      .Member("limit", query.limit)
      .Member("offset", query.offset)
      .Member("total", page.total);
  json.Key("points").BeginArray();
  for (const PointRow& row : page.rows) Row(json, row);
  json.EndArray().EndObject();
  return json.text();
}

std::string PointJson(const PointDetail& detail) {
  JsonWriter json;
  json.BeginObject().Key("summary");
  Row(json, detail.row);
  ValueTimeMember(json, "firstTime", detail.first);
  json.Key("config");
  if (const auto& config = detail.config) {
    json.BeginObject()
        .Member("recordType", config->recordType)
        .Member("pointId", config->pointId)
        .Member("longId", config->longId)
        .Member("extId", config->extId)
        .Member("description", config->description)
        .Member("units", config->units)
        .Member("raw", Hex(config->raw))
        .Member("receivedAt", static_cast<int64_t>(config->receivedAt * 1000))
        .EndObject();
  } else {
    json.Null();
  }
  json.Key("deletions").BeginArray();
  for (double at : detail.deletedAt) json.Int(static_cast<int64_t>(at * 1000));
  json.EndArray().EndObject();
  return json.text();
}

std::string SeriesJson(const Series& series, const SeriesQuery& query) {
  JsonWriter json;
  json.BeginObject();
  NameMembers(json, query.key);
  json.Member("from", query.fromMillis)
      .Member("to", query.toMillis)
      .Member("columns", query.columns)
      .Member("values", series.values)
      .Member("truncated", series.truncated);
  json.Key("data").BeginArray();
  for (const SeriesColumn& column : series.columns) {
    json.BeginArray()
        .Int(column.column)
        .Int(column.count)
        .Double(column.min)
        .Double(column.max)
        .Int(column.firstMillis)
        .Int(column.lastMillis)
        .EndArray();
  }
  json.EndArray().EndObject();
  return json.text();
}

}  // namespace histfeed::service::http
