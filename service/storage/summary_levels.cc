// SPDX-License-Identifier: Apache-2.0
#include "service/storage/summary_levels.h"

namespace histfeed::service {

int LevelForColumn(int64_t columnMillis) {
  int level = -1;
  while (level + 1 < kSummaryLevels && BucketMillis(level + 1) <= columnMillis) ++level;
  return level;
}

}  // namespace histfeed::service
