// SPDX-License-Identifier: Apache-2.0
// The one thread that writes the storage. Connections hand it batches; it
// commits everything that gathered meanwhile in one transaction (a group
// commit), so a hundred sources cost one commit, not a hundred, and
// reports each batch's outcome only after the commit that holds it. In
// between it gives the storage slices of time for work that can wait.
#ifndef HISTFEED_SERVICE_STORAGE_STORAGE_WRITER_H_
#define HISTFEED_SERVICE_STORAGE_STORAGE_WRITER_H_

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/mutex.h"
#include "service/service_metrics.h"
#include "service/storage/storage.h"

namespace histfeed::service {

class StorageWriter {
 public:
  // Runs on the writer thread once the batch is committed (true) or could
  // not be stored (false). Keep it short: the next group waits for it.
  using Done = std::function<void(bool stored)>;

  // A slice of work that can wait, between groups while batches keep
  // coming: short, so that the next group hardly waits for it.
  static constexpr std::chrono::milliseconds kBusySlice{5};
  // Groups that may follow one another without such a slice between.
  static constexpr int kGroupsBeforeSlice = 8;
  // The same while nothing comes.
  static constexpr std::chrono::milliseconds kIdleSlice{20};
  // How often the storage is asked for such work when all is quiet.
  static constexpr std::chrono::milliseconds kIdleTick{1000};
  // A failure to store is logged once in this long at most; the others
  // are counted into the next line.
  static constexpr std::chrono::seconds kFailureLogInterval{10};

  StorageWriter(Storage& storage, ServiceMetrics& metrics);
  ~StorageWriter();
  StorageWriter(const StorageWriter&) = delete;
  StorageWriter& operator=(const StorageWriter&) = delete;

  void Submit(Batch batch, Done done) EXCLUDES(mutex_);

  // Commits what is queued, reports it and ends the thread.
  void Stop() EXCLUDES(mutex_);

 private:
  struct Pending {
    Batch batch;
    Done done;
  };
  void Run();
  void CommitGroup(std::vector<Pending>& group);
  void LogFailure(size_t failed, size_t batches, const std::string& reason);
  // Nothing to commit, and no stop asked for.
  bool Quiet() EXCLUDES(mutex_);

  Storage& storage_;
  ServiceMetrics& metrics_;
  platform::Mutex mutex_;
  platform::Event wake_;
  std::vector<Pending> queue_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  // The writer thread's alone: groups since the last slice of waiting
  // work, failures since the last line said so.
  int busyGroups_ = 0;
  int64_t unreported_ = 0;
  std::chrono::steady_clock::time_point lastFailureLog_{};
  std::thread thread_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_STORAGE_WRITER_H_
