// SPDX-License-Identifier: Apache-2.0
// histfeed-cache: see cache_tool.h and histfeed-cache(1).
#include <iostream>

#include "tools/cache/cache_tool.h"

int main(int argc, char** argv) {
  return histfeed::cache_tool::RunCacheTool(argc, argv, std::cout, std::cerr);
}
