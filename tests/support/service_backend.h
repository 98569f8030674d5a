// SPDX-License-Identifier: Apache-2.0
// What the reference service's listeners need beside a database: the
// metrics they report to and the one writer that commits for all of them.
// Declare it before the listeners, which wait for it when they stop.
#ifndef HISTFEED_TESTS_SUPPORT_SERVICE_BACKEND_H_
#define HISTFEED_TESTS_SUPPORT_SERVICE_BACKEND_H_

#include "service/service_metrics.h"
#include "service/storage/storage.h"
#include "service/storage/storage_writer.h"

namespace histfeed::testing {

struct ServiceBackend {
  explicit ServiceBackend(service::Storage& storage) : writer(storage, metrics) {}
  service::ServiceMetrics metrics;
  service::StorageWriter writer;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_SERVICE_BACKEND_H_
