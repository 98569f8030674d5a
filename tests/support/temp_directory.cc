// SPDX-License-Identifier: Apache-2.0
#include "tests/support/temp_directory.h"

#include <filesystem>
#include <random>

namespace histfeed::testing {

TempDirectory::TempDirectory() {
  std::random_device seed;
  auto base = std::filesystem::temp_directory_path();
  for (;;) {
    auto candidate = base / ("histfeed-test-" + std::to_string(seed()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate.string() + "/";
      return;
    }
  }
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace histfeed::testing
