// SPDX-License-Identifier: Apache-2.0
// Copies the write-ahead log back into the database file on a thread of
// its own, through a connection of its own. SQLite would otherwise do it
// inside whichever commit crosses the log's threshold, and that commit
// (with the acknowledgements waiting on it) would pay for the copy and two
// syncs. A passive checkpoint never takes the write lock, so commits go on
// while it runs.
#ifndef HISTFEED_SERVICE_STORAGE_SQLITE_WAL_CHECKPOINTER_H_
#define HISTFEED_SERVICE_STORAGE_SQLITE_WAL_CHECKPOINTER_H_

#include <atomic>
#include <string>
#include <thread>

#include "platform/event.h"

struct sqlite3;

namespace histfeed::service::sqlite {

class WalCheckpointer {
 public:
  // Log pages after which a checkpoint is due: SQLite's own default.
  static constexpr int kCheckpointPages = 1000;
  // The log starts over only once all of it is copied, which a thread
  // copying beside commits that keep coming rarely achieves. Past this
  // length the commit copies what is left itself (little: the thread has
  // copied the rest), so the log stays bounded under any load.
  static constexpr int kCommitCheckpointPages = 4000;

  WalCheckpointer() = default;
  ~WalCheckpointer();
  WalCheckpointer(const WalCheckpointer&) = delete;
  WalCheckpointer& operator=(const WalCheckpointer&) = delete;

  // Opens its connection to the database at `path` and starts the thread.
  // Returns an error text, empty on success.
  std::string Start(const std::string& path);

  // Takes over `db`'s checkpoints: after each of its commits the log's
  // length is looked at, and a checkpoint asked for once it is due.
  void Watch(sqlite3* db);

  // Asks for a checkpoint; returns at once.
  void Request();

  // Ends the thread after the checkpoint under way.
  void Stop();

 private:
  static int AfterCommit(void* self, sqlite3* db, const char* schema, int logPages);
  void Run();

  sqlite3* db_ = nullptr;  // used by the thread alone once it runs
  platform::Event wake_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace histfeed::service::sqlite

#endif  // HISTFEED_SERVICE_STORAGE_SQLITE_WAL_CHECKPOINTER_H_
