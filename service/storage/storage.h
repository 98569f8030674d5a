// SPDX-License-Identifier: Apache-2.0
// The service's database: one SQLite file in WAL mode holding point
// values (one per point and time stamp, numbers kept bit for bit), point
// configurations and the deletions applied to them.
#ifndef HISTFEED_SERVICE_STORAGE_STORAGE_H_
#define HISTFEED_SERVICE_STORAGE_STORAGE_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace histfeed::service {

class WalCheckpointer;

// Which identifier names a point.
enum class IdKind { kPoint, kLong, kExtended };
const char* IdKindName(IdKind kind);

struct ValueRow {
  std::string family;  // "universal" or "classic"
  IdKind idKind = IdKind::kPoint;
  std::string point;
  int64_t time = 0;
  int32_t msec = 0;
  int32_t status = 0;
  bool isText = false;
  double value = 0;
  std::string text;
};

struct ConfigRow {
  std::string family;
  IdKind idKind = IdKind::kPoint;
  std::string point;     // the key: the identifier of idKind
  int32_t recordType = 0;
  std::string pointId, longId, extId, description, units;
  std::vector<uint8_t> raw;  // the record exactly as received
};

struct DeletionRow {
  std::string family;
  IdKind idKind = IdKind::kPoint;
  std::string point;
};

// One batch, committed in one transaction.
struct Batch {
  std::vector<ValueRow> values;
  std::vector<ConfigRow> configs;
  std::vector<DeletionRow> deletions;
};

struct PointSummary {
  std::string family, idKind, point;
  int64_t count = 0;
  int64_t firstTime = 0, lastTime = 0;
  std::string firstValue, lastValue;
};

class Storage {
 public:
  Storage();
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  // Opens or creates the database and its schema. Returns an error text,
  // empty on success.
  std::string Open(const std::string& path);
  // Opens an existing database for reading only (Summarize and the
  // counts); a missing file is an error, never a new database.
  std::string OpenReadOnly(const std::string& path);

  // Stores a batch atomically; true once it is committed.
  bool Commit(const Batch& batch);
  // Stores batches in one transaction where it can: whether each one is
  // committed. A batch the database refuses is retried alone, so it does
  // not take the others down with it.
  std::vector<bool> CommitGroup(const std::vector<const Batch*>& batches);

  std::vector<PointSummary> Summarize();
  int64_t CountValues();
  int64_t CountConfigs();

 private:
  bool Exec(const char* sql);
  std::string MigrateValues();
  // Hands checkpoints to a thread of their own, off the commit path.
  void MoveCheckpointsOffCommits(const std::string& path);
  std::string PrepareStatements();
  bool Insert(const ValueRow& row);
  bool Insert(const ConfigRow& row);
  bool Apply(const DeletionRow& row);
  bool Store(const Batch& batch);
  bool CommitLocked(const std::vector<const Batch*>& batches);

  std::mutex mutex_;
  sqlite3* db_ = nullptr;
  std::unique_ptr<WalCheckpointer> checkpointer_;  // of a database opened for writing
  sqlite3_stmt* insertValue_ = nullptr;
  sqlite3_stmt* upsertConfig_ = nullptr;
  sqlite3_stmt* deleteConfig_ = nullptr;
  sqlite3_stmt* insertDeletion_ = nullptr;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_STORAGE_H_
