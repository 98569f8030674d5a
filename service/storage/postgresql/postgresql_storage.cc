// SPDX-License-Identifier: Apache-2.0
#include "service/storage/postgresql/postgresql_storage.h"

#include <atomic>

#include "platform/mutex.h"
#include "service/event_log.h"
#include "service/storage/postgresql/connection.h"
#include "service/storage/postgresql/connection_string.h"
#include "service/storage/postgresql/postgresql_reader.h"
#include "service/storage/postgresql/postgresql_writer.h"
#include "service/storage/postgresql/retention.h"
#include "service/storage/postgresql/schema.h"
#include "service/storage/postgresql/summary_catch_up.h"

namespace histfeed::service::postgresql {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Pauses between attempts to connect again: doubling up to the last.
constexpr milliseconds kFirstPause{250};
constexpr milliseconds kLongestPause{5000};
// How often the weeks ahead are made, before values need them.
constexpr std::chrono::minutes kWeeksAheadInterval{60};
// Failures of work that can wait are logged once in this long at most.
constexpr std::chrono::seconds kMaintenanceLogInterval{60};

int64_t NowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

class PostgresqlStorage final : public StorageWithReader {
 public:
  PostgresqlStorage(const std::string& connection, const StorageOptions& options,
                    const PostgresqlSettings& settings)
      : connection_(connection), shown_(ShownConnection(connection)), options_(options),
        catchUp_(db_, settings.settleAfter) {}

  std::string Open() EXCLUDES(writeMutex_);

  std::vector<bool> CommitGroup(const std::vector<const Batch*>& batches) override
      EXCLUDES(writeMutex_) {
    platform::MutexLock lock(writeMutex_);
    if (!Available()) return std::vector<bool>(batches.size(), false);
    std::vector<bool> stored = writer_.CommitGroup(batches);
    Watch();
    return stored;
  }
  bool Maintain(milliseconds budget) override EXCLUDES(writeMutex_);
  std::string LastWriteError() override EXCLUDES(writeMutex_) {
    platform::MutexLock lock(writeMutex_);
    if (options_.readOnly) return "the database is open for reading only";
    if (!connected_) return "the database cannot be reached: " + downReason_;
    return writer_.lastError();
  }
  bool Connected() override { return connected_.load(); }
  const char* Kind() const override { return "postgresql"; }
  std::string Where() const override { return shown_; }


 private:
  StorageReader& reader() override { return reader_; }
  // Connects the writer and reads what it needs; the reason when it cannot.
  std::string Connect() REQUIRES(writeMutex_);
  // Whether the writer is connected, trying again when it is not and the
  // pause since the last attempt is over.
  bool Available() REQUIRES(writeMutex_);
  // Notices a connection that broke.
  void Watch() REQUIRES(writeMutex_);
  bool MaintainConnected(milliseconds budget) REQUIRES(writeMutex_);
  void MaintenanceFailed(const std::string& error) REQUIRES(writeMutex_);

  const std::string connection_, shown_;
  const StorageOptions options_;
  platform::Mutex writeMutex_;
  Connection db_ GUARDED_BY(writeMutex_);
  PostgresqlWriter writer_ GUARDED_BY(writeMutex_){db_};
  SummaryCatchUp catchUp_ GUARDED_BY(writeMutex_);
  PostgresqlReader reader_;
  std::atomic<bool> connected_{true};
  std::string downReason_ GUARDED_BY(writeMutex_);
  Clock::time_point downSince_ GUARDED_BY(writeMutex_);
  Clock::time_point nextAttempt_ GUARDED_BY(writeMutex_);
  milliseconds pause_ GUARDED_BY(writeMutex_){kFirstPause};
  Clock::time_point nextWeeksAhead_ GUARDED_BY(writeMutex_);
  Clock::time_point nextRetention_ GUARDED_BY(writeMutex_);
  Clock::time_point lastMaintenanceLog_ GUARDED_BY(writeMutex_);
};

std::string PostgresqlStorage::Connect() {
  std::string error = db_.Open(connection_);
  if (!error.empty()) return error;
  // --sync full: a commit returns once it is on the server's disk (and its
  // synchronous standbys'), whatever the server's default.
  if (options_.sync == SyncMode::kFull && !db_.Exec("SET synchronous_commit = on")) {
    return db_.error();
  }
  if (!writer_.Load(&error)) return error;
  return "";
}

bool PostgresqlStorage::Available() {
  if (connected_) return true;
  auto now = Clock::now();
  if (now < nextAttempt_) return false;
  std::string error = Connect();
  if (!error.empty()) {
    downReason_ = error;
    pause_ = std::min(pause_ * 2, kLongestPause);
    nextAttempt_ = Clock::now() + pause_;
    return false;
  }
  double seconds = std::chrono::duration<double>(now - downSince_).count();
  LogEvent("PostgreSQL at %s is back after %.1f s; storing again", shown_.c_str(), seconds);
  connected_ = true;
  return true;
}

void PostgresqlStorage::Watch() {
  if (!db_.Broken()) return;
  downReason_ = db_.error();
  LogEvent("PostgreSQL at %s cannot be reached (%s); frames are answered 0x15 until it is "
           "back", shown_.c_str(), downReason_.c_str());
  connected_ = false;
  downSince_ = Clock::now();
  pause_ = kFirstPause;
  nextAttempt_ = downSince_ + pause_;
}

void PostgresqlStorage::MaintenanceFailed(const std::string& error) {
  Watch();
  auto now = Clock::now();
  if (!connected_ || now - lastMaintenanceLog_ < kMaintenanceLogInterval) return;
  lastMaintenanceLog_ = now;
  LogEvent("PostgreSQL at %s: summaries or retention failed: %s", shown_.c_str(), error.c_str());
}

bool PostgresqlStorage::MaintainConnected(milliseconds budget) {
  auto deadline = Clock::now() + budget;
  std::string error;
  if (Clock::now() >= nextWeeksAhead_) {
    // This week's and next week's tables, so that values never wait for one.
    int64_t now = NowMillis();
    if (!writer_.partitions().Ensure(
            db_, {PartitionStart(now), PartitionStart(now) + kPartitionMillis}, &error)) {
      MaintenanceFailed(error);
      return false;
    }
    nextWeeksAhead_ = Clock::now() + kWeeksAheadInterval;
  }
  bool more = false;
  if (!catchUp_.Run(deadline, &more)) {
    MaintenanceFailed(catchUp_.error());
    return false;
  }
  if (options_.retain.count() > 0 && Clock::now() >= nextRetention_) {
    bool again = false;
    if (!RemoveOld(db_, writer_.partitions(), NowMillis() - options_.retain.count(), &again,
                   &error)) {
      MaintenanceFailed(error);
      return false;
    }
    // Each round done, the next waits a hundredth of the span kept, at
    // least a minute.
    if (!again) {
      nextRetention_ =
          Clock::now() + std::max<milliseconds>(std::chrono::minutes(1), options_.retain / 100);
    }
    more = more || again;
  }
  return more;
}

bool PostgresqlStorage::Maintain(milliseconds budget) {
  platform::MutexLock lock(writeMutex_);
  if (options_.readOnly || !Available()) return false;
  return MaintainConnected(budget);
}

std::string PostgresqlStorage::Open() {
  platform::MutexLock lock(writeMutex_);
  std::string error = db_.Open(connection_);
  if (!error.empty()) return "cannot connect to PostgreSQL at " + shown_ + ": " + error;
  Inspection inspection;
  if (!InspectSchema(db_, &inspection, &error) ||
      (!options_.readOnly && inspection.kind == SchemaKind::kEmpty &&
       !CreateSchema(db_, &inspection, &error))) {
    return "cannot use database " + shown_ + ": " + error;
  }
  if (inspection.kind == SchemaKind::kForeign) {
    return shown_ + " is not a histfeed-service database (" + inspection.why +
           "); it was left as it was";
  }
  if (inspection.kind == SchemaKind::kEmpty) {
    return "database " + shown_ + " holds nothing yet";
  }
  // The writer starts afresh on the schema it found; dump writes nothing.
  db_.Close();
  if (!options_.readOnly) {
    error = Connect();
    if (!error.empty()) return "cannot use database " + shown_ + ": " + error;
  }
  error = reader_.Open(connection_);
  if (!error.empty()) return "cannot read database " + shown_ + ": " + error;
  return "";
}

}  // namespace

std::unique_ptr<Storage> OpenStorage(const std::string& connection, const StorageOptions& options,
                                     std::string* error) {
  return OpenStorage(connection, options, PostgresqlSettings(), error);
}

std::unique_ptr<Storage> OpenStorage(const std::string& connection, const StorageOptions& options,
                                     const PostgresqlSettings& settings, std::string* error) {
  auto storage = std::make_unique<PostgresqlStorage>(connection, options, settings);
  *error = storage->Open();
  if (!error->empty()) return nullptr;
  return storage;
}

}  // namespace histfeed::service::postgresql
