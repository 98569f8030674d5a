// SPDX-License-Identifier: Apache-2.0
// Reads a service database the way a test compares it: each row as one
// text, columns joined by '|'.
#ifndef HISTFEED_TESTS_SUPPORT_DATABASE_ROWS_H_
#define HISTFEED_TESTS_SUPPORT_DATABASE_ROWS_H_

#include <memory>
#include <string>
#include <vector>

#include "service/storage/storage.h"

namespace histfeed::testing {

// The rows of `sql` on the SQLite database at `path`, opened read-only,
// with "-" for NULL.
std::vector<std::string> QueryRows(const std::string& path, const char* sql);

// The service's database at `path`, opened to read only; fails the test
// when it cannot be.
std::unique_ptr<service::Storage> ReadStorage(const std::string& path);

// Every value of `family` stored: "id_kind|point|time|msec|status|number|text"
// with "-" for the number of a text and the text of a number, point by
// point in time order.
std::vector<std::string> StoredValues(const std::string& path, const std::string& family);
// Every configuration: "record_type|id_kind|point|point_id|long_id|ext_id|
// description|units", by point.
std::vector<std::string> StoredConfigs(const std::string& path);
// Every point a deletion was received for: "id_kind|point".
std::vector<std::string> StoredDeletions(const std::string& path);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_DATABASE_ROWS_H_
