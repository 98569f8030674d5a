// SPDX-License-Identifier: Apache-2.0
// Reads a service database the way a test compares it: each row of a
// query as one text.
#ifndef HISTFEED_TESTS_SUPPORT_DATABASE_ROWS_H_
#define HISTFEED_TESTS_SUPPORT_DATABASE_ROWS_H_

#include <string>
#include <vector>

namespace histfeed::testing {

// The rows of `sql` on the database at `path`, opened read-only, each as
// its columns joined by '|', with "-" for NULL.
std::vector<std::string> QueryRows(const std::string& path, const char* sql);

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_DATABASE_ROWS_H_
