// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/blocks.h"

#include <algorithm>

namespace histfeed::service::sqlite {
namespace {

constexpr const char* kTally =
    "SELECT value_count, last_ms, journal_upto FROM point_blocks WHERE point_id = ?1";
constexpr const char* kSetTally =
    "INSERT INTO point_blocks (point_id, value_count, last_ms, journal_upto) "
    "VALUES (?1, ?2, ?3, ?4) ON CONFLICT (point_id) DO UPDATE SET "
    "value_count = excluded.value_count, last_ms = excluded.last_ms, "
    "journal_upto = excluded.journal_upto";
constexpr const char* kFirst =
    "SELECT first_ms FROM blocks WHERE point_id = ?1 ORDER BY last_ms LIMIT 1";
constexpr const char* kInsert =
    "INSERT INTO blocks (point_id, first_ms, last_ms, count, data) VALUES (?1, ?2, ?3, ?4, ?5)";
// The blocks whose last value lies in [from, to), and the one after them,
// which may begin before `to`: blocks never overlap, so these are all.
constexpr const char* kRange =
    "SELECT first_ms, data FROM blocks WHERE point_id = ?1 AND last_ms >= ?2 AND last_ms < ?3 "
    "ORDER BY last_ms";
constexpr const char* kNext =
    "SELECT first_ms, data FROM blocks WHERE point_id = ?1 AND last_ms >= ?2 "
    "ORDER BY last_ms LIMIT 1";
constexpr const char* kCovering =
    "SELECT id, first_ms, data FROM blocks WHERE point_id = ?1 AND last_ms >= ?2 "
    "ORDER BY last_ms LIMIT 1";
// ?2 is not used; it keeps the statement's shape that of kCovering.
constexpr const char* kLast =
    "SELECT id, first_ms, data FROM blocks WHERE point_id = ?1 AND ?2 = ?2 "
    "ORDER BY last_ms DESC LIMIT 1";
constexpr const char* kUpdate =
    "UPDATE blocks SET first_ms = ?2, last_ms = ?3, count = ?4, data = ?5 WHERE id = ?1";
constexpr const char* kOldest =
    "SELECT id, count FROM blocks WHERE point_id = ?1 AND last_ms < ?2 ORDER BY last_ms LIMIT ?3";
constexpr const char* kDelete = "DELETE FROM blocks WHERE id = ?1";

std::string Encode(const std::vector<StoredValue>& samples, size_t begin, size_t end) {
  std::string data;
  data.reserve((end - begin) * 11);
  int64_t previous = samples[begin].millis;
  for (size_t i = begin; i < end; ++i) {
    AppendSample(&data, previous, Sample::Of(samples[i]));
    previous = samples[i].millis;
  }
  return data;
}

bool Earlier(const StoredValue& sample, int64_t millis) { return sample.millis < millis; }

}  // namespace

bool Blocks::Tally(int64_t point, PointBlocks* tally) {
  ScopedStatement query = db_.Cached(kTally);
  query->Bind(1, point);
  int step = query->Step();
  *tally = step == SQLITE_ROW ? PointBlocks{query->Int(0), query->Int(1), query->Int(2)}
                              : PointBlocks{};
  return step == SQLITE_ROW || step == SQLITE_DONE;
}

bool Blocks::SetTally(int64_t point, const PointBlocks& tally) {
  ScopedStatement set = db_.Cached(kSetTally);
  return set->Bind(1, point).Bind(2, tally.count).Bind(3, tally.lastMillis)
      .Bind(4, tally.journalUpTo).Run();
}

int64_t Blocks::FirstMillis(int64_t point) {
  ScopedStatement query = db_.Cached(kFirst);
  query->Bind(1, point);
  return query->Step() == SQLITE_ROW ? query->Int(0) : kNoTime;
}

bool Blocks::Insert(int64_t point, const std::vector<StoredValue>& samples, size_t begin,
                    size_t end) {
  ScopedStatement insert = db_.Cached(kInsert);
  return insert->Bind(1, point).Bind(2, samples[begin].millis).Bind(3, samples[end - 1].millis)
      .Bind(4, static_cast<int64_t>(end - begin)).Bind(5, Encode(samples, begin, end)).Run();
}

bool Blocks::Append(int64_t point, const std::vector<StoredValue>& samples) {
  for (size_t begin = 0; begin < samples.size(); begin += kBlockValues) {
    size_t end = std::min(samples.size(), begin + static_cast<size_t>(kBlockValues));
    if (!Insert(point, samples, begin, end)) return false;
  }
  return true;
}

bool Blocks::LastValue(int64_t point, std::optional<StoredValue>* value, std::string* error) {
  StoredBlock block;
  int found = Load(kLast, point, 0, &block, error);
  if (found == 1) *value = std::move(block.values.back());
  return found >= 0;
}

bool Blocks::Read(int64_t point, int64_t from, int64_t to, const SampleVisitor& visit,
                  std::string* error) {
  if (from >= to) return true;
  bool more = true;
  auto readBlocks = [&](Statement& query) {
    int step;
    while (more && (step = query.Step()) == SQLITE_ROW) {
      SampleReader reader(query.Bytes(1), query.Int(0));
      Sample sample;
      while (more && reader.Next(&sample)) {
        if (sample.millis >= to) return true;
        if (sample.millis >= from) more = visit(sample);
      }
      if (reader.damaged()) {
        *error = "a block of values is damaged";
        return false;
      }
    }
    if (more && step != SQLITE_DONE) {
      *error = db_.Error();
      return false;
    }
    return true;
  };
  {
    ScopedStatement range = db_.Cached(kRange);
    range->Bind(1, point).Bind(2, from).Bind(3, to);
    if (!readBlocks(*range)) return false;
  }
  if (!more) return true;
  ScopedStatement next = db_.Cached(kNext);
  next->Bind(1, point).Bind(2, to);
  return readBlocks(*next);
}

int Blocks::Load(const char* sql, int64_t point, int64_t millis, StoredBlock* block,
                 std::string* error) {
  ScopedStatement query = db_.Cached(sql);
  query->Bind(1, point).Bind(2, millis);
  int step = query->Step();
  if (step != SQLITE_ROW) {
    if (step == SQLITE_DONE) return 0;
    *error = db_.Error();
    return -1;
  }
  block->id = query->Int(0);
  SampleReader reader(query->Bytes(2), query->Int(1));
  Sample sample;
  while (reader.Next(&sample)) block->values.push_back(sample.Owned());
  if (!reader.damaged() && !block->values.empty()) return 1;
  *error = "a block of values is damaged";
  return -1;
}

bool Blocks::Merge(int64_t point, const std::vector<StoredValue>& samples, int64_t* added,
                   std::vector<int64_t>* changed) {
  size_t next = 0;
  while (next < samples.size()) {
    // The block whose last value is at or after the next sample's time
    // takes it (stretching back over a gap before it), and every sample up
    // to its last value; past the last block, the last block takes them
    // all, and a point without blocks gets a new one.
    StoredBlock block;
    std::string error;
    int found = Load(kCovering, point, samples[next].millis, &block, &error);
    if (found == 0) found = Load(kLast, point, 0, &block, &error);
    if (found < 0) return false;
    int64_t through = found == 1 && block.values.back().millis >= samples[next].millis
                          ? block.values.back().millis
                          : std::numeric_limits<int64_t>::max();
    std::vector<StoredValue>& values = block.values;
    bool dirty = false;
    for (; next < samples.size() && samples[next].millis <= through; ++next) {
      const StoredValue& sample = samples[next];
      auto at = std::lower_bound(values.begin(), values.end(), sample.millis, Earlier);
      if (at != values.end() && at->millis == sample.millis) {
        if (Sample::Of(*at).SameAs(Sample::Of(sample))) continue;
        *at = sample;
      } else {
        values.insert(at, sample);
        ++*added;
      }
      changed->push_back(sample.millis);
      dirty = true;
    }
    if (!dirty) continue;
    // A block that grew past twice its size is cut in two.
    size_t keep = values.size() > 2 * static_cast<size_t>(kBlockValues) ? values.size() / 2
                                                                         : values.size();
    if (found == 0) {
      if (!Insert(point, values, 0, keep)) return false;
    } else {
      ScopedStatement update = db_.Cached(kUpdate);
      if (!update->Bind(1, block.id).Bind(2, values.front().millis)
               .Bind(3, values[keep - 1].millis).Bind(4, static_cast<int64_t>(keep))
               .Bind(5, Encode(values, 0, keep)).Run()) {
        return false;
      }
    }
    if (keep < values.size() && !Insert(point, values, keep, values.size())) return false;
  }
  return true;
}

bool Blocks::RemoveOlder(int64_t point, int64_t before, int64_t limit, int64_t* values) {
  std::vector<std::pair<int64_t, int64_t>> old;
  {
    ScopedStatement oldest = db_.Cached(kOldest);
    oldest->Bind(1, point).Bind(2, before).Bind(3, limit);
    int step;
    while ((step = oldest->Step()) == SQLITE_ROW) old.emplace_back(oldest->Int(0), oldest->Int(1));
    if (step != SQLITE_DONE) return false;
  }
  for (auto [id, count] : old) {
    ScopedStatement remove = db_.Cached(kDelete);
    if (!remove->Bind(1, id).Run()) return false;
    *values += count;
  }
  return true;
}

}  // namespace histfeed::service::sqlite
