// SPDX-License-Identifier: Apache-2.0
// What PostgreSQL itself takes when a plain loop writes the service's rows
// straight into the service's tables (point_values, its weeks made
// beforehand), one transaction per round of rows, in one of three ways:
//   - binary COPY into point_values, the fastest way in;
//   - binary COPY into a staging table, then INSERT ... SELECT ... ON
//     CONFLICT into point_values (what a write that may meet stored rows
//     costs that way);
//   - multi-row INSERT ... VALUES ... ON CONFLICT, as many rows a statement
//     as its parameters allow.
#ifndef HISTFEED_BENCH_POSTGRES_PLAIN_LOOP_H_
#define HISTFEED_BENCH_POSTGRES_PLAIN_LOOP_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "service/storage/batch.h"
#include "service/storage/postgresql/connection.h"

namespace histfeed {

enum class PlainWrite { kCopy, kStagingMerge, kMultiRowInsert };

class PostgresPlainLoop {
 public:
  struct Row {
    int32_t point = 0;
    int64_t millis = 0;
    double value = 0;
  };

  // Makes the service's tables in the empty database `connection` names,
  // with `points` (their names) as points 1, 2, ... and the weeks from
  // `firstMillis` to `lastMillis`. The error text, empty on success.
  std::string Open(const std::string& connection, const std::vector<service::ValueRow>& points,
                   int64_t firstMillis, int64_t lastMillis);
  // Writes `rows`, sorted by point and time, in one transaction.
  bool Write(PlainWrite how, const std::vector<Row>& rows);
  std::string error() const { return db_.error(); }

 private:
  bool Copy(const char* sql, const std::vector<Row>& rows);
  bool Insert(const std::vector<Row>& rows);
  // The text of a multi-row INSERT of `rows` rows, made once.
  const std::string& InsertOf(size_t rows);

  service::postgresql::Connection db_;
  std::map<size_t, std::string> inserts_;
};

}  // namespace histfeed

#endif  // HISTFEED_BENCH_POSTGRES_PLAIN_LOOP_H_
