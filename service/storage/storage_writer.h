// SPDX-License-Identifier: Apache-2.0
// The one thread that writes the database. Connections hand it batches;
// it commits everything that gathered meanwhile in one transaction (a
// group commit), so a hundred sources cost one commit, not a hundred, and
// reports each batch's outcome only after the commit that holds it.
#ifndef HISTFEED_SERVICE_STORAGE_STORAGE_WRITER_H_
#define HISTFEED_SERVICE_STORAGE_STORAGE_WRITER_H_

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "service/service_metrics.h"
#include "service/storage/storage.h"

namespace histfeed::service {

class StorageWriter {
 public:
  // Runs on the writer thread once the batch is committed (true) or could
  // not be stored (false). Keep it short: the next group waits for it.
  using Done = std::function<void(bool stored)>;

  StorageWriter(Storage& storage, ServiceMetrics& metrics);
  ~StorageWriter();
  StorageWriter(const StorageWriter&) = delete;
  StorageWriter& operator=(const StorageWriter&) = delete;

  void Submit(Batch batch, Done done);

  // Commits what is queued, reports it and ends the thread.
  void Stop();

 private:
  struct Pending {
    Batch batch;
    Done done;
  };
  void Run();
  void CommitGroup(std::vector<Pending>& group);

  Storage& storage_;
  ServiceMetrics& metrics_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Pending> queue_;  // guarded by mutex_
  bool stopping_ = false;       // guarded by mutex_
  std::thread thread_;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_STORAGE_WRITER_H_
