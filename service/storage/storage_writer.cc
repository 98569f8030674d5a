// SPDX-License-Identifier: Apache-2.0
#include "service/storage/storage_writer.h"

#include <chrono>

namespace histfeed::service {

StorageWriter::StorageWriter(Storage& storage, ServiceMetrics& metrics)
    : storage_(storage), metrics_(metrics), thread_([this] { Run(); }) {}

StorageWriter::~StorageWriter() { Stop(); }

void StorageWriter::Submit(Batch batch, Done done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(Pending{std::move(batch), std::move(done)});
  }
  wake_.notify_one();
}

void StorageWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void StorageWriter::Run() {
  std::vector<Pending> group;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, and nothing left
      group.swap(queue_);
    }
    CommitGroup(group);
    group.clear();
  }
}

void StorageWriter::CommitGroup(std::vector<Pending>& group) {
  std::vector<const Batch*> batches;
  int64_t values = 0;
  for (const Pending& pending : group) {
    batches.push_back(&pending.batch);
    values += static_cast<int64_t>(pending.batch.values.size());
  }
  auto start = std::chrono::steady_clock::now();
  std::vector<bool> stored = storage_.CommitGroup(batches);
  metrics_.Committed(std::chrono::steady_clock::now() - start, values);
  for (size_t i = 0; i < group.size(); ++i) group[i].done(stored[i]);
}

}  // namespace histfeed::service
