// SPDX-License-Identifier: Apache-2.0
// Reduces a range's numbers to a chart's columns: single values fall into
// the column of their time, a bucket's summary into the column of its
// first value. Where values come from (summaries or single values) is the
// storage's business; the columns look the same either way.
#ifndef HISTFEED_SERVICE_STORAGE_SERIES_COLUMNS_H_
#define HISTFEED_SERVICE_STORAGE_SERIES_COLUMNS_H_

#include <cstdint>
#include <vector>

#include "service/storage/storage_reader.h"
#include "service/storage/summary_levels.h"

namespace histfeed::service {

class SeriesColumns {
 public:
  explicit SeriesColumns(const SeriesQuery& query);

  // A drawable number at `millis` within the range. False once the
  // single values read reach StorageReader::kMaxSeriesValues: the rest
  // are left out.
  bool AddValue(int64_t millis, double value);
  // A summarized bucket within the range.
  void AddBucket(const BucketStats& stats);

  Series Finish();

 private:
  const SeriesQuery query_;
  std::vector<BucketStats> columns_;
  int64_t singles_ = 0;
  bool truncated_ = false;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_SERIES_COLUMNS_H_
