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
  PointValues& values = points_[point];
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
  auto found = points_.find(point);
  if (found == points_.end()) return;
  std::vector<Entry>& entries = found->second.entries;
  size_t before = entries.size();
  std::erase_if(entries, [upTo](const Entry& entry) { return entry.record <= upTo; });
  size_ -= static_cast<int64_t>(before - entries.size());
  if (entries.empty()) {
    points_.erase(found);
    return;
  }
  found->second.oldestRecord = entries.front().record;
  for (const Entry& entry : entries) {
    found->second.oldestRecord = std::min(found->second.oldestRecord, entry.record);
  }
}

void JournalTail::DropBefore(int64_t record) {
  std::vector<int64_t> stale;
  for (const auto& [point, values] : points_) {
    if (values.oldestRecord < record) stale.push_back(point);
  }
  for (int64_t point : stale) Pack(point, record - 1);
}

const JournalTail::PointValues* JournalTail::Find(int64_t point) const {
  auto found = points_.find(point);
  return found == points_.end() ? nullptr : &found->second;
}

int64_t JournalTail::OldestRecord(int64_t fallback) const {
  int64_t oldest = fallback;
  for (const auto& [point, values] : points_) oldest = std::min(oldest, values.oldestRecord);
  return oldest;
}

void JournalTail::Clear() {
  points_.clear();
  size_ = 0;
}

}  // namespace histfeed::service::sqlite
