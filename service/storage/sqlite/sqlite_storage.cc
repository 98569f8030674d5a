// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/sqlite_storage.h"

#include "platform/file_lock.h"
#include "platform/file_system.h"
#include "platform/mutex.h"
#include "service/storage/sqlite/migration.h"
#include "service/storage/sqlite/schema.h"
#include "service/storage/sqlite/sqlite_reader.h"
#include "service/storage/sqlite/statement.h"
#include "service/storage/sqlite/wal_checkpointer.h"

namespace histfeed::service::sqlite {
namespace {

// How long opening waits for a lock another program holds.
constexpr int kOpenBusyMs = 2000;
// The writer's page cache: the blocks' index and the summaries stay in it.
constexpr const char* kWriterCache = "PRAGMA cache_size = -16384";

class SqliteStorage final : public StorageWithReader {
 public:
  SqliteStorage(const std::string& path, const WriterSettings& settings)
      : path_(path), settings_(settings) {}
  ~SqliteStorage() override {
    platform::MutexLock lock(writeMutex_);
    // Its connection goes first: the last one to close checkpoints.
    if (checkpointer_ != nullptr) sqlite3_wal_hook(db_.get(), nullptr, nullptr);
    checkpointer_.reset();
    writer_.reset();
    db_.Close();
  }

  std::string OpenForWriting(FileKind kind, const StorageOptions& options) EXCLUDES(writeMutex_);
  std::string OpenForReading() { return reader_.Open(path_); }

  std::vector<bool> CommitGroup(const std::vector<const Batch*>& batches) override {
    platform::MutexLock lock(writeMutex_);
    if (writer_ == nullptr) return std::vector<bool>(batches.size(), false);
    return writer_->CommitGroup(batches);
  }
  bool Maintain(std::chrono::milliseconds budget) override {
    platform::MutexLock lock(writeMutex_);
    return writer_ != nullptr && writer_->Maintain(budget);
  }
  std::string LastWriteError() override {
    platform::MutexLock lock(writeMutex_);
    return writer_ == nullptr ? "the database is open for reading only" : writer_->lastError();
  }
  const char* Kind() const override { return "sqlite"; }
  std::string Where() const override { return path_; }


 private:
  StorageReader& reader() override { return reader_; }
  std::string CreateSchema() REQUIRES(writeMutex_);

  const std::string path_;
  const WriterSettings settings_;
  platform::Mutex writeMutex_;
  std::unique_ptr<platform::FileLock> lock_;
  Connection db_ GUARDED_BY(writeMutex_);
  std::unique_ptr<SqliteWriter> writer_ GUARDED_BY(writeMutex_);
  std::unique_ptr<WalCheckpointer> checkpointer_ GUARDED_BY(writeMutex_);
  SqliteReader reader_;
};

std::string SqliteStorage::CreateSchema() {
  std::string sql = std::string("BEGIN IMMEDIATE;") + kSchema +
                    "PRAGMA application_id = " + std::to_string(kApplicationId) + ";" +
                    "PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";COMMIT;";
  if (db_.Exec(sql.c_str())) return "";
  std::string error = db_.Error();
  db_.Exec("ROLLBACK");
  return error;
}

std::string SqliteStorage::OpenForWriting(FileKind kind, const StorageOptions& options) {
  platform::MutexLock lock(writeMutex_);
  // No fallback to reading only: a file that cannot be written is refused
  // now, not with every frame later.
  std::string error = db_.Open(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE |
                                          SQLITE_OPEN_NOMUTEX);
  if (error.empty() && sqlite3_db_readonly(db_.get(), "main") == 1) {
    error = sqlite3_errstr(SQLITE_READONLY);
  }
  if (!error.empty()) return "cannot open database " + path_ + " for writing: " + error;
  // One writer at a time: two would each take the other's journal for
  // their own.
  bool busy = false;
  std::string why;
  lock_ = platform::FileLock::TryLock(path_, &busy, &why);
  if (lock_ == nullptr) {
    return busy ? "database " + path_ + " is in use by another histfeed-service"
                : "cannot lock database " + path_ + ": " + why;
  }
  sqlite3_busy_timeout(db_.get(), 5000);
  std::string sync = options.sync == SyncMode::kFull ? "PRAGMA synchronous = FULL"
                                                     : "PRAGMA synchronous = NORMAL";
  if (!db_.Exec("PRAGMA journal_mode = WAL") || !db_.Exec(sync.c_str()) ||
      !db_.Exec(kWriterCache)) {
    return "cannot open database " + path_ + " for writing: " + db_.Error();
  }
  if (kind == FileKind::kEmpty) {
    error = CreateSchema();
  } else if (kind == FileKind::kRelease020 && !StartMigration(db_, &error)) {
    error = "cannot bring it up to date: " + error;
  }
  if (error.empty() && !FinishMigration(db_, path_, &error)) {
    error = "cannot bring it up to date: " + error;
  }
  if (!error.empty()) return "cannot use database " + path_ + ": " + error;
  writer_ = std::make_unique<SqliteWriter>(db_, settings_);
  if (!writer_->Load(&error)) return "cannot use database " + path_ + ": " + error;
  auto checkpointer = std::make_unique<WalCheckpointer>();
  // Without it SQLite goes on checkpointing inside commits: slower, but safe.
  if (checkpointer->Start(path_).empty()) {
    checkpointer->Watch(db_.get());
    checkpointer_ = std::move(checkpointer);
  }
  return "";
}

// Looks at the file before anything is written to it.
std::string Inspect(const std::string& path, bool readOnly, FileKind* kind) {
  if (!platform::Files().Exists(path)) {
    if (readOnly) return "cannot open database " + path + ": no such file";
    *kind = FileKind::kEmpty;
    return "";
  }
  Connection probe;
  std::string error = probe.Open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX);
  Inspection inspection;
  if (error.empty()) {
    sqlite3_busy_timeout(probe.get(), kOpenBusyMs);
    InspectDatabase(probe.get(), &inspection, &error);
  }
  if (!error.empty()) return "cannot open database " + path + ": " + error;
  *kind = inspection.kind;
  if (inspection.kind == FileKind::kForeign) {
    return path + " is not a histfeed-service database (" + inspection.why +
           "); it was left as it was";
  }
  if (readOnly && inspection.kind == FileKind::kRelease020) {
    return "database " + path + " was written by histfeed-service 0.2.0; serve it once to "
           "bring it up to date";
  }
  if (readOnly && inspection.kind == FileKind::kEmpty) {
    return "database " + path + " holds nothing yet";
  }
  return "";
}

}  // namespace

std::unique_ptr<Storage> OpenStorage(const std::string& path, const StorageOptions& options,
                                     std::string* error) {
  WriterSettings settings;
  settings.retain = options.retain;
  return OpenStorage(path, options, settings, error);
}

std::unique_ptr<Storage> OpenStorage(const std::string& path, const StorageOptions& options,
                                     const WriterSettings& settings, std::string* error) {
  FileKind kind = FileKind::kEmpty;
  *error = Inspect(path, options.readOnly, &kind);
  if (!error->empty()) return nullptr;
  WriterSettings chosen = settings;
  chosen.retain = options.retain;
  auto storage = std::make_unique<SqliteStorage>(path, chosen);
  if (!options.readOnly) *error = storage->OpenForWriting(kind, options);
  if (error->empty()) {
    std::string reason = storage->OpenForReading();
    if (!reason.empty()) *error = "cannot open database " + path + " for reading: " + reason;
  }
  if (!error->empty()) return nullptr;
  return storage;
}

}  // namespace histfeed::service::sqlite
