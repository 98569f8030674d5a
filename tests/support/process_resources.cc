// SPDX-License-Identifier: Apache-2.0
#include "tests/support/process_resources.h"

#include <filesystem>
#include <system_error>

namespace histfeed::testing {
namespace {

int CountEntries(const char* directory) {
  std::error_code error;
  std::filesystem::directory_iterator it(directory, error);
  if (error) return -1;
  int count = 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return -1;
    ++count;
  }
  return count;
}

}  // namespace

int OpenDescriptorCount() { return CountEntries("/proc/self/fd"); }
int ThreadCount() { return CountEntries("/proc/self/task"); }

}  // namespace histfeed::testing
