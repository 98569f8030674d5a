// SPDX-License-Identifier: Apache-2.0
#include "service/storage/sqlite/wal_checkpointer.h"

#include <sqlite3.h>

namespace histfeed::service::sqlite {

WalCheckpointer::~WalCheckpointer() {
  Stop();
  if (db_ != nullptr) sqlite3_close(db_);
}

std::string WalCheckpointer::Start(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    std::string error = std::string("cannot open database for checkpoints: ") + sqlite3_errmsg(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    return error;
  }
  // This connection only checkpoints; closing it must not do so on its own
  // while the writer's connection is still open.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_busy_timeout(db_, 1000);
  thread_ = std::thread([this] { Run(); });
  return "";
}

void WalCheckpointer::Watch(sqlite3* db) {
  sqlite3_wal_hook(db, &WalCheckpointer::AfterCommit, this);
}

int WalCheckpointer::AfterCommit(void* self, sqlite3* db, const char* schema, int logPages) {
  if (logPages >= kCommitCheckpointPages) {
    sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  } else if (logPages >= kCheckpointPages) {
    static_cast<WalCheckpointer*>(self)->Request();
  }
  return SQLITE_OK;
}

void WalCheckpointer::Request() { wake_.Set(); }

void WalCheckpointer::Stop() {
  stopping_ = true;
  wake_.Set();
  if (thread_.joinable()) thread_.join();
}

void WalCheckpointer::Run() {
  for (;;) {
    wake_.Wait(-1);
    wake_.Reset();
    if (stopping_) return;
    // Passive: copies what no reader still needs, without waiting for
    // anyone; what is left goes with a later checkpoint.
    sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  }
}

}  // namespace histfeed::service::sqlite
