// SPDX-License-Identifier: Apache-2.0
// The status item table: names and descriptions of the per-key status
// values kept in each Key.
#ifndef HISTFEED_UNIVERSAL_STATUS_ITEMS_H_
#define HISTFEED_UNIVERSAL_STATUS_ITEMS_H_

#include <cstdint>

namespace histfeed::universal {

inline constexpr int32_t kStatusItemRows = 40;

struct StatusItem {
  char name[25];
  char description[50];
  char reserved[24];
};

// Zeroes the table and writes its twelve rows.
void FillStatusItems();

// Copies the table and its row count out (both under the table's lock).
void CopyStatusItems(StatusItem (&rows)[kStatusItemRows], int32_t* count);

}  // namespace histfeed::universal

#endif  // HISTFEED_UNIVERSAL_STATUS_ITEMS_H_
