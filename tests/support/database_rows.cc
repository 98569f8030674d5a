// SPDX-License-Identifier: Apache-2.0
#include "tests/support/database_rows.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "service/storage/sqlite/sqlite_storage.h"
#include "service/value_text.h"

namespace histfeed::testing {

std::vector<std::string> QueryRows(const std::string& path, const char* sql) {
  std::vector<std::string> rows;
  sqlite3* db = nullptr;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* query = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &query, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  while (query != nullptr && sqlite3_step(query) == SQLITE_ROW) {
    std::string row;
    for (int column = 0; column < sqlite3_column_count(query); ++column) {
      if (column > 0) row += '|';
      const unsigned char* text = sqlite3_column_text(query, column);
      row += text != nullptr ? reinterpret_cast<const char*>(text) : "-";
    }
    rows.push_back(row);
  }
  sqlite3_finalize(query);
  sqlite3_close(db);
  return rows;
}

std::unique_ptr<service::Storage> ReadStorage(const std::string& path) {
  service::StorageOptions options;
  options.readOnly = true;
  std::string error;
  std::unique_ptr<service::Storage> storage = service::sqlite::OpenStorage(path, options, &error);
  EXPECT_NE(storage, nullptr) << error;
  return storage;
}

std::vector<std::string> StoredValues(const std::string& path, const std::string& family) {
  std::vector<std::string> rows;
  std::unique_ptr<service::Storage> storage = ReadStorage(path);
  if (storage == nullptr) return rows;
  std::string error;
  storage->ForEachValue(
      [&](const service::PointKey& key, const service::StoredValue& value) {
        if (key.family != family) return true;
        service::ValueTime time = service::ValueTime::OfMillis(value.millis);
        rows.push_back(key.idKind + "|" + key.point + "|" + std::to_string(time.time) + "|" +
                       std::to_string(time.msec) + "|" + std::to_string(value.status) + "|" +
                       (value.isText ? "-|" + value.text
                                     : service::ExactValueText(value.value) + "|-"));
        return true;
      },
      &error);
  EXPECT_EQ(error, "");
  return rows;
}

namespace {

// Each point's detail, by point.
std::vector<service::PointDetail> Details(const std::string& path) {
  std::vector<service::PointDetail> details;
  std::unique_ptr<service::Storage> storage = ReadStorage(path);
  if (storage == nullptr) return details;
  std::string error;
  service::PointPage page = storage->Points(service::PointQuery{"", 500, 0}, &error);
  for (const service::PointRow& row : page.rows) {
    if (auto detail = storage->Point(row.key, &error)) details.push_back(*detail);
  }
  EXPECT_EQ(error, "");
  return details;
}

}  // namespace

std::vector<std::string> StoredConfigs(const std::string& path) {
  std::vector<std::string> rows;
  for (const service::PointDetail& detail : Details(path)) {
    if (!detail.config) continue;
    const service::PointConfig& config = *detail.config;
    rows.push_back(std::to_string(config.recordType) + "|" + detail.row.key.idKind + "|" +
                   detail.row.key.point + "|" + config.pointId + "|" + config.longId + "|" +
                   config.extId + "|" + config.description + "|" + config.units);
  }
  return rows;
}

std::vector<std::string> StoredDeletions(const std::string& path) {
  std::vector<std::string> rows;
  for (const service::PointDetail& detail : Details(path)) {
    if (detail.row.deleted) rows.push_back(detail.row.key.idKind + "|" + detail.row.key.point);
  }
  return rows;
}

}  // namespace histfeed::testing
