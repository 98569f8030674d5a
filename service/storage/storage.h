// SPDX-License-Identifier: Apache-2.0
// The service's storage as the listeners, the pages and dump see it,
// whatever database holds it. One value per point and time stamp: an
// identical repeat changes nothing, a repeat with another value or status
// replaces it; numbers come back bit for bit, texts byte for byte. A
// configuration is kept per family, identifier kind and identifier until
// a later one replaces it or a deletion removes it.
//
// CommitGroup and Maintain are called by one thread, the writer; the reads
// and Connected from any thread, at the same time.
#ifndef HISTFEED_SERVICE_STORAGE_STORAGE_H_
#define HISTFEED_SERVICE_STORAGE_STORAGE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
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
  // Whether the database can be reached now. A file always can; a server
  // may go away, and the storage connects again by itself.
  virtual bool Connected() { return true; }
  // "sqlite" or "postgresql".
  virtual const char* Kind() const = 0;
  // The database as the log names it: a path, or a connection string
  // without its password.
  virtual std::string Where() const = 0;

  bool Commit(const Batch& batch) { return CommitGroup({&batch}).front(); }
};

// A storage whose reading side is a reader of its own, on a connection
// apart from the writer's: every read goes to it.
class StorageWithReader : public Storage {
 public:
  PointPage Points(const PointQuery& query, std::string* error) final {
    return reader().Points(query, error);
  }
  std::optional<PointDetail> Point(const PointKey& key, std::string* error) final {
    return reader().Point(key, error);
  }
  Series ReducedSeries(const SeriesQuery& query, std::string* error) final {
    return reader().ReducedSeries(query, error);
  }
  std::vector<StoredValue> Values(const ValueQuery& query, std::string* error) final {
    return reader().Values(query, error);
  }
  DatabaseTotals Totals(std::string* error) final { return reader().Totals(error); }
  std::vector<PointSummary> Summarize(std::string* error) final {
    return reader().Summarize(error);
  }
  bool ForEachValue(const std::function<bool(const PointKey&, const StoredValue&)>& visit,
                    std::string* error) final {
    return reader().ForEachValue(visit, error);
  }

 protected:
  virtual StorageReader& reader() = 0;
};

}  // namespace histfeed::service

#endif  // HISTFEED_SERVICE_STORAGE_STORAGE_H_
