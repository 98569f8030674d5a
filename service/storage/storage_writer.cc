// SPDX-License-Identifier: Apache-2.0
#include "service/storage/storage_writer.h"

#include "service/event_log.h"

namespace histfeed::service {

StorageWriter::StorageWriter(Storage& storage, ServiceMetrics& metrics)
    : storage_(storage), metrics_(metrics), thread_([this] { Run(); }) {
  metrics_.StoreState(storage_.Kind(), storage_.Connected());
}

StorageWriter::~StorageWriter() { Stop(); }

void StorageWriter::Submit(Batch batch, Done done) {
  {
    platform::MutexLock lock(mutex_);
    queue_.push_back(Pending{std::move(batch), std::move(done)});
  }
  wake_.Set();
}

void StorageWriter::Stop() {
  {
    platform::MutexLock lock(mutex_);
    stopping_ = true;
  }
  wake_.Set();
  if (thread_.joinable()) thread_.join();
}

bool StorageWriter::Quiet() {
  platform::MutexLock lock(mutex_);
  return queue_.empty() && !stopping_;
}

void StorageWriter::Run() {
  std::vector<Pending> group;
  bool more = true;  // the storage may have work that can wait
  for (;;) {
    wake_.Wait(more ? 0 : kIdleTick.count());
    wake_.Reset();
    bool stopping;
    {
      platform::MutexLock lock(mutex_);
      group.swap(queue_);
      stopping = stopping_;
    }
    if (!group.empty()) {
      CommitGroup(group);
      group.clear();
      // Waiting work fills the moments until the next batches come, in
      // short slices; when batches leave no such moment for a while, it
      // gets one slice anyway, so that it never waits for good.
      more = true;
      bool quiet = Quiet();
      if (!quiet && ++busyGroups_ < kGroupsBeforeSlice) continue;
      busyGroups_ = 0;
      do {
        more = storage_.Maintain(kBusySlice);
      } while (more && Quiet());
      metrics_.StoreState(storage_.Kind(), storage_.Connected());
      continue;
    }
    if (stopping) return;  // and nothing left
    // Quiet: slices of waiting work until batches come again or it stops.
    do {
      more = storage_.Maintain(kIdleSlice);
    } while (more && Quiet());
    // A database that came back while all was quiet.
    metrics_.StoreState(storage_.Kind(), storage_.Connected());
  }
}

void StorageWriter::CommitGroup(std::vector<Pending>& group) {
  std::vector<const Batch*> batches;
  for (const Pending& pending : group) batches.push_back(&pending.batch);
  auto start = std::chrono::steady_clock::now();
  std::vector<bool> stored = storage_.CommitGroup(batches);
  auto duration = std::chrono::steady_clock::now() - start;
  int64_t values = 0;
  size_t failed = 0;
  for (size_t i = 0; i < group.size(); ++i) {
    if (stored[i]) values += static_cast<int64_t>(group[i].batch.values.size());
    failed += stored[i] ? 0 : 1;
  }
  if (failed < group.size()) metrics_.Committed(duration, values);
  bool connected = storage_.Connected();
  metrics_.StoreState(storage_.Kind(), connected);
  if (failed > 0) {
    std::string reason = storage_.LastWriteError();
    metrics_.BatchesFailed(static_cast<int64_t>(failed), reason);
    // A database that cannot be reached said so itself, once.
    if (connected) LogFailure(failed, group.size(), reason);
  }
  for (size_t i = 0; i < group.size(); ++i) group[i].done(stored[i]);
}

void StorageWriter::LogFailure(size_t failed, size_t batches, const std::string& reason) {
  auto now = std::chrono::steady_clock::now();
  if (now - lastFailureLog_ < kFailureLogInterval) {
    unreported_ += static_cast<int64_t>(failed);
    return;
  }
  if (unreported_ > 0) {
    LogEvent("could not store %zu of %zu batches: %s (and %lld more since the last such line)",
             failed, batches, reason.c_str(), static_cast<long long>(unreported_));
  } else {
    LogEvent("could not store %zu of %zu batches: %s", failed, batches, reason.c_str());
  }
  unreported_ = 0;
  lastFailureLog_ = now;
}

}  // namespace histfeed::service
