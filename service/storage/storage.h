// SPDX-License-Identifier: Apache-2.0
// The service's storage as the listeners, the pages and dump see it,
// whatever database holds it. One value per point and time stamp: an
// identical repeat changes nothing, a repeat with another value or status
// replaces it; numbers come back bit for bit, texts byte for byte. A
// configuration is kept per family, identifier kind and identifier until
// a later one replaces it or a deletion removes it.
//
// CommitGroup and Maintain are called by one thread, the writer; the reads
// from any thread, at the same time.
#ifndef HISTFEED_SERVICE_STORAGE_STORAGE_H_
#define HISTFEED_SERVICE_STORAGE_STORAGE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "service/storage/batch.h"
#include "service/storage/storage_reader.h"

namespace histfeed::service {

// How far a commit goes before it counts as done.
enum class SyncMode {
  kNormal,  // survives a crash of the service
  kFull,    // survives a power loss too
};

struct StorageOptions {
  SyncMode sync = SyncMode::kNormal;
  // Values (and summaries) older than this are removed in the background;
  // zero keeps everything.
  std::chrono::milliseconds retain{0};
  // Opens an existing database to read only, never creating or changing it.
  bool readOnly = false;
};

class Storage : public StorageReader {
 public:
  // Stores batches in one transaction where it can: whether each one is
  // committed. A batch the database refuses is retried alone, so it does
  // not take the others down with it.
  virtual std::vector<bool> CommitGroup(const std::vector<const Batch*>& batches) = 0;
  // Work that can wait for a quiet moment (summaries to catch up, old
  // values to remove): does a slice of it, taking about `budget`. Returns
  // whether more is waiting.
  virtual bool Maintain(std::chrono::milliseconds budget) = 0;
  // Why the last commit that failed did so, in the database's own words.
  virtual std::string LastWriteError() = 0;

  bool Commit(const Batch& batch) { return CommitGroup({&batch}).front(); }
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_STORAGE_H_
