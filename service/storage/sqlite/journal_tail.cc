// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/journal_tail.h"

#include <algorithm>

namespace histfeed::service::sqlite {
namespace {

bool Earlier(const JournalTail::Entry& entry, int64_t millis) { return entry.millis < millis; }

}  // namespace

const JournalTail::Entry* JournalTail::PointValues::Find(int64_t millis) const {
  auto at = std::lower_bound(entries.begin(), entries.end(), millis, Earlier);
  return at != entries.end() && at->millis == millis ? &*at : nullptr;
}

Sample JournalTail::PointValues::SampleOf(const Entry& entry) const {
  Sample sample;
  sample.millis = entry.millis;
  sample.status = entry.status;
  sample.isText = entry.text >= 0;
  sample.value = entry.value;
  if (sample.isText) sample.text = texts[static_cast<size_t>(entry.text)];
  return sample;
}

void JournalTail::Apply(int64_t point, int64_t record, const Sample& sample) {
  if (point <= 0) return;
  if (static_cast<size_t>(point) >= points_.size()) points_.resize(static_cast<size_t>(point) + 1);
  PointValues& values = points_[static_cast<size_t>(point)];
  if (values.entries.empty()) values.oldestRecord = record;
  Entry entry{sample.millis, record, sample.isText ? 0 : sample.value, sample.status, -1};
  if (sample.isText) {
    entry.text = static_cast<int32_t>(values.texts.size());
    values.texts.emplace_back(sample.text);
  }
  std::vector<Entry>& entries = values.entries;
  // Values mostly come in time order: appending is the common case.
  if (entries.empty() || entries.back().millis < sample.millis) {
    entries.push_back(entry);
    ++size_;
    return;
  }
  auto at = std::lower_bound(entries.begin(), entries.end(), sample.millis, Earlier);
  if (at != entries.end() && at->millis == sample.millis) {
    *at = entry;
  } else {
    entries.insert(at, entry);
    ++size_;
  }
}

void JournalTail::Pack(int64_t point, int64_t upTo) {
  if (point <= 0 || static_cast<size_t>(point) >= points_.size()) return;
  PointValues& values = points_[static_cast<size_t>(point)];
  std::vector<Entry>& entries = values.entries;
  if (entries.empty() || values.oldestRecord > upTo) return;  // nothing that old
  size_t before = entries.size();
  std::erase_if(entries, [upTo](const Entry& entry) { return entry.record <= upTo; });
  size_ -= static_cast<int64_t>(before - entries.size());
  if (entries.empty()) {
    values.texts.clear();
    return;
  }
  values.oldestRecord = entries.front().record;
  for (const Entry& entry : entries) {
    values.oldestRecord = std::min(values.oldestRecord, entry.record);
  }
}

void JournalTail::DropBefore(int64_t record) {
  for (size_t point = 1; point < points_.size(); ++point) {
    if (!points_[point].entries.empty() && points_[point].oldestRecord < record) {
      Pack(static_cast<int64_t>(point), record - 1);
    }
  }
}

const JournalTail::PointValues* JournalTail::Find(int64_t point) const {
  if (point <= 0 || static_cast<size_t>(point) >= points_.size()) return nullptr;
  const PointValues& values = points_[static_cast<size_t>(point)];
  return values.entries.empty() ? nullptr : &values;
}

int64_t JournalTail::OldestRecord(int64_t fallback) const {
  int64_t oldest = fallback;
  ForEach(0, [&oldest](int64_t, const PointValues& values) {
    oldest = std::min(oldest, values.oldestRecord);
  });
  return oldest;
}

void JournalTail::Clear() {
  points_.clear();
  size_ = 0;
}

}  // namespace histfeed::service::sqlite
