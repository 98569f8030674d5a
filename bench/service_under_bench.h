// SPDX-License-Identifier: Apache-2.0
// The service as histfeed-service runs it, on a fresh database in a
// temporary directory (or on a storage the caller opened), listening for
// universal sources on a loopback port.
#ifndef HISTFEED_BENCH_SERVICE_UNDER_BENCH_H_
#define HISTFEED_BENCH_SERVICE_UNDER_BENCH_H_

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "service/event_log.h"
#include "service/listeners/universal_listener.h"
#include "service/service_metrics.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "service/storage/storage.h"
#include "service/storage/storage_writer.h"
#include "tests/support/temp_directory.h"

namespace histfeed {

struct ServiceUnderBench {
  testing::TempDirectory dir;
  std::unique_ptr<service::Storage> storage;
  service::ServiceMetrics metrics;
  std::unique_ptr<service::StorageWriter> writer;
  std::unique_ptr<service::UniversalListener> listener;
  std::string error;  // empty once the service listens

  // `prepare` may fill the database before the service takes sources; it
  // returns an error text, empty on success.
  explicit ServiceUnderBench(
      const std::function<std::string(service::Storage&)>& prepare = nullptr,
      const service::StorageOptions& options = {}) {
    service::SetEventLogQuiet(true);
    storage = service::sqlite::OpenStorage(dir.File("bench.db"), options, &error);
    if (storage != nullptr) Listen(prepare);
  }
  // On `opened`, or, when that is null, not at all (`openError` says why).
  ServiceUnderBench(std::unique_ptr<service::Storage> opened, std::string openError)
      : storage(std::move(opened)), error(std::move(openError)) {
    service::SetEventLogQuiet(true);
    if (storage != nullptr) Listen(nullptr);
  }
  ~ServiceUnderBench() {
    if (listener) listener->Stop();
  }
  ServiceUnderBench(const ServiceUnderBench&) = delete;
  ServiceUnderBench& operator=(const ServiceUnderBench&) = delete;

  uint16_t port() const { return listener->port(); }

 private:
  void Listen(const std::function<std::string(service::Storage&)>& prepare) {
    if (prepare && !(error = prepare(*storage)).empty()) return;
    writer = std::make_unique<service::StorageWriter>(*storage, metrics);
    listener = std::make_unique<service::UniversalListener>(*writer, metrics,
                                                             service::UniversalFaults{});
    if (!listener->Start("127.0.0.1", 0).empty()) error = "no listener";
  }
};

}  // namespace histfeed

#endif  // HISTFEED_BENCH_SERVICE_UNDER_BENCH_H_
