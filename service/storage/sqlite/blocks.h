// SPDX-License-Identifier: Apache-2.0
// A point's packed values: blocks of at most kBlockValues values in time
// order, never overlapping in time, and the point's tally of them.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_BLOCKS_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_BLOCKS_H_

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "service/storage/sqlite/statement.h"
#include "service/storage/value_block.h"

namespace histfeed::service::sqlite {

// Values a block is cut at: a few kilobytes, read whole when any is needed.
inline constexpr int64_t kBlockValues = 1024;
inline constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

// What a point's blocks hold, as point_blocks keeps it.
struct PointBlocks {
  int64_t count = 0;
  int64_t lastMillis = kNoTime;  // kNoTime: no value was ever packed
  int64_t journalUpTo = 0;
};

// Visits stored values in time order; return false to stop.
using SampleVisitor = std::function<bool(const Sample&)>;

// Reads and writes the blocks of one database connection.
class Blocks {
 public:
  explicit Blocks(Connection& db) : db_(db) {}

  // False when the database could not be read.
  bool Tally(int64_t point, PointBlocks* tally);
  bool SetTally(int64_t point, const PointBlocks& tally);
  // The time of the point's first packed value, or kNoTime.
  int64_t FirstMillis(int64_t point);

  // Packs `samples` (in time order, all later than the point's blocks)
  // into new blocks.
  bool Append(int64_t point, const std::vector<StoredValue>& samples);
  // The point's last packed value, when it has any; false when the
  // database could not be read.
  bool LastValue(int64_t point, std::optional<StoredValue>* value, std::string* error);
  // Visits the packed values in [from, to). False when the database could
  // not be read or a block is damaged (`*error` says why); a visitor that
  // stops is no failure.
  bool Read(int64_t point, int64_t from, int64_t to, const SampleVisitor& visit,
            std::string* error);
  // Puts values (in time order) into the blocks that cover their times,
  // each replacing a packed value of the same time; identical values change
  // nothing. Adds how many values are new to *added and the times of every
  // value that changed something to *changed.
  bool Merge(int64_t point, const std::vector<StoredValue>& samples, int64_t* added,
             std::vector<int64_t>* changed);
  // Removes the point's blocks whose every value is older than `before`,
  // at most `limit` of them; the count removed goes to *values.
  bool RemoveOlder(int64_t point, int64_t before, int64_t limit, int64_t* values);

 private:
  bool Insert(int64_t point, const std::vector<StoredValue>& samples, size_t begin, size_t end);
  struct StoredBlock {
    int64_t id = 0;
    std::vector<StoredValue> values;
  };
  // Reads the block `sql` selects: 1 found, 0 none, -1 failed or damaged.
  int Load(const char* sql, int64_t point, int64_t millis, StoredBlock* block,
           std::string* error);

  Connection& db_;
};

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_BLOCKS_H_
