// SPDX-License-Identifier: Apache-2.0
#include "service/storage/series_columns.h"

#include <algorithm>

namespace histfeed::service {

SeriesColumns::SeriesColumns(const SeriesQuery& query)
    : query_(query), columns_(static_cast<size_t>(std::max<int64_t>(query.columns, 0))) {}

bool SeriesColumns::AddValue(int64_t millis, double value) {
  if (truncated_ || columns_.empty() || millis < query_.fromMillis || millis >= query_.toMillis) {
    return !truncated_;
  }
  if (singles_ == StorageReader::kMaxSeriesValues) {
    truncated_ = true;
    return false;
  }
  ++singles_;
  // Spans and column counts are bounded so that this product fits.
  size_t column = static_cast<size_t>((millis - query_.fromMillis) * query_.columns /
                                      (query_.toMillis - query_.fromMillis));
  columns_[column].Add(millis, value);
  return true;
}

void SeriesColumns::AddBucket(const BucketStats& stats) {
  if (columns_.empty() || stats.count == 0) return;
  int64_t millis = std::clamp(stats.firstMillis, query_.fromMillis, query_.toMillis - 1);
  size_t column = static_cast<size_t>((millis - query_.fromMillis) * query_.columns /
                                      (query_.toMillis - query_.fromMillis));
  columns_[column].Merge(stats);
}

Series SeriesColumns::Finish() {
  Series series;
  series.truncated = truncated_;
  for (size_t i = 0; i < columns_.size(); ++i) {
    const BucketStats& stats = columns_[i];
    if (stats.count == 0) continue;
    series.values += stats.count;
    series.columns.push_back(SeriesColumn{static_cast<int64_t>(i), stats.count, stats.min,
                                          stats.max, stats.firstMillis, stats.lastMillis});
  }
  return series;
}

}  // namespace histfeed::service
