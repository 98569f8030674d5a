// SPDX-License-Identifier: Apache-2.0
// The values that are journaled but not yet packed into blocks, per point
// and in time order, as the journal records say: the writer keeps them to
// pack them, a reader to read them. Both build the same picture from the
// same records, each on its own, so a reader never holds up the writer.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_JOURNAL_TAIL_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_JOURNAL_TAIL_H_

#include <cstdint>
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "service/storage/value_block.h"

namespace histfeed::service::sqlite {

class JournalTail {
 public:
  struct Entry {
    int64_t millis = 0;
    int64_t record = 0;  // the journal record it came in
    double value = 0;
    int32_t status = 0;
    int32_t text = -1;   // into the point's texts; -1 for a number
  };
  struct PointValues {
    std::vector<Entry> entries;  // in time order, one per time
    std::vector<std::string> texts;
    // No entry came in an older record (replacements may leave it lower
    // than needed, which only keeps a record longer).
    int64_t oldestRecord = 0;
    // The entry at `millis`, or null.
    const Entry* Find(int64_t millis) const;
    Sample SampleOf(const Entry& entry) const;
  };

  // Puts in a value at its time, replacing one of the same time.
  void Apply(int64_t point, int64_t record, const Sample& sample);
  // Applies every value of journal record `record` whose point is past
  // `packedUpTo(point)` (its values up to that record are in blocks).
  // False when the record is damaged; what could be read is applied.
  template <typename PackedUpTo>
  bool ApplyRecord(int64_t record, std::string_view data, PackedUpTo packedUpTo) {
    SampleReader reader(data, 0, /*journal=*/true);
    Sample sample;
    while (reader.Next(&sample)) {
      if (record > packedUpTo(reader.pointId())) Apply(reader.pointId(), record, sample);
    }
    return !reader.damaged();
  }
  // Forgets `point`'s values from records up to `upTo`: they are in blocks.
  void Pack(int64_t point, int64_t upTo);
  // Forgets every value from records before `record`.
  void DropBefore(int64_t record);

  // The point's values, or null when it has none here.
  const PointValues* Find(int64_t point) const;
  // Calls visit(point, values) for every point with values, in point order
  // from `from` on.
  template <typename Visit>
  void ForEach(int64_t from, Visit visit) const {
    for (size_t point = static_cast<size_t>(std::max<int64_t>(from, 0)); point < points_.size();
         ++point) {
      if (!points_[point].entries.empty()) visit(static_cast<int64_t>(point), points_[point]);
    }
  }
  int64_t size() const { return size_; }
  // The oldest journal record any value held here came in, or `fallback`
  // when none is held.
  int64_t OldestRecord(int64_t fallback) const;
  void Clear();

 private:
  // By point number: points are numbered from 1 without gaps.
  std::vector<PointValues> points_;
  int64_t size_ = 0;
};

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_JOURNAL_TAIL_H_
