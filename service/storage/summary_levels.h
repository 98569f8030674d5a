// SPDX-License-Identifier: Apache-2.0
// Summaries of a point's numbers per time bucket, so that a chart over any
// range reads a few rows per pixel column instead of every value. Buckets
// are one minute wide at the finest level and four times wider at each
// level above, up to about 45 days; a chart reads the coarsest level whose
// buckets are no wider than its columns, one to four rows a column.
//
// Only buckets that hold at least kSummaryMinCount numbers get a row: a
// sparser bucket is read value by value, which costs about as much as its
// row would, and a point with few values pays no summaries at all.
#ifndef HISTFEED_SERVICE_STORAGE_SUMMARY_LEVELS_H_
#define HISTFEED_SERVICE_STORAGE_SUMMARY_LEVELS_H_

#include <algorithm>
#include <cstdint>

namespace histfeed::service {

inline constexpr int kSummaryLevels = 9;
inline constexpr int64_t kFinestBucketMillis = 60'000;
inline constexpr int64_t kSummaryMinCount = 16;

// Milliseconds one bucket of `level` spans.
constexpr int64_t BucketMillis(int level) { return kFinestBucketMillis << (2 * level); }

// The start of the bucket of `level` that holds `millis` (buckets start at
// multiples of their width since 1970, earlier times included).
constexpr int64_t BucketStart(int level, int64_t millis) {
  int64_t width = BucketMillis(level);
  int64_t quotient = millis / width;
  if (millis % width < 0) --quotient;
  return quotient * width;
}

// The coarsest level whose buckets fit in a column of `columnMillis`, or
// -1 when even the finest is wider.
int LevelForColumn(int64_t columnMillis);

// Count, least and greatest, first and last of the numbers of one bucket.
struct BucketStats {
  int64_t count = 0;
  double min = 0, max = 0;
  int64_t firstMillis = 0, lastMillis = 0;
  double first = 0, last = 0;

  void Add(int64_t millis, double value) {
    if (count == 0 || millis < firstMillis) {
      firstMillis = millis;
      first = value;
    }
    if (count == 0 || millis >= lastMillis) {
      lastMillis = millis;
      last = value;
    }
    min = count == 0 ? value : std::min(min, value);
    max = count == 0 ? value : std::max(max, value);
    ++count;
  }
  // Takes in the numbers `other` summarizes (a disjoint set).
  void Merge(const BucketStats& other) {
    if (other.count == 0) return;
    if (count == 0) {
      *this = other;
      return;
    }
    if (other.firstMillis < firstMillis) {
      firstMillis = other.firstMillis;
      first = other.first;
    }
    if (other.lastMillis >= lastMillis) {
      lastMillis = other.lastMillis;
      last = other.last;
    }
    min = std::min(min, other.min);
    max = std::max(max, other.max);
    count += other.count;
  }
  bool operator==(const BucketStats&) const = default;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_SUMMARY_LEVELS_H_
