// SPDX-License-Identifier: Apache-2.0
// What the reference service's listeners need: a storage, the metrics they
// report to and the one writer that commits for all of them. Declare it
// before the listeners, which wait for it when they stop.
#ifndef HISTFEED_TESTS_SUPPORT_SERVICE_BACKEND_H_
#define HISTFEED_TESTS_SUPPORT_SERVICE_BACKEND_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "service/service_metrics.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "service/storage/storage_writer.h"

namespace histfeed::testing {

struct ServiceBackend {
  // The storage of the database at `path`, created when missing.
  explicit ServiceBackend(const std::string& path)
      : storage(Open(path)), writer(*storage, metrics) {}

  static std::unique_ptr<service::Storage> Open(const std::string& path) {
    std::string error;
    auto storage = service::sqlite::OpenStorage(path, service::StorageOptions{}, &error);
    if (storage == nullptr) ADD_FAILURE() << error;
    return storage;
  }
  // What the storage holds now.
  service::DatabaseTotals Totals() {
    std::string error;
    service::DatabaseTotals totals = storage->Totals(&error);
    EXPECT_EQ(error, "");
    return totals;
  }

  std::unique_ptr<service::Storage> storage;
  service::ServiceMetrics metrics;
  service::StorageWriter writer;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_SERVICE_BACKEND_H_
