// SPDX-License-Identifier: Apache-2.0
#include "tests/support/database_rows.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

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

}  // namespace histfeed::testing
