// SPDX-License-Identifier: Apache-2.0
// The load that services report in their replies, and the table of the
// last report per service that the add path throttles by.
#ifndef HISTFEED_CLASSIC_SERVICE_LOAD_H_
#define HISTFEED_CLASSIC_SERVICE_LOAD_H_

#include <cstdint>

#include "classic/classic_state.h"
#include "platform/thread_annotations.h"

namespace histfeed::classic {

struct LoadReport {
  uint32_t count;
  uint32_t capacity;
};

// Reads "count,capacity" (or "count/capacity") from the text of a reply
// block of TARVO_REPLY_SIZE bytes. The text need not be terminated: nothing
// past the block is read. False, and so ignored, for an empty or malformed
// text, a zero or negative number, or one beyond 32 bits.
bool ParseLoadReport(const uint8_t* reply, LoadReport* report);

// Files a report under the service's row of the rate table: its own row,
// else the first empty row, else the row of the lowest load below 1.0
// (none: the report is dropped).
void StoreServiceLoad(const char* service, const LoadReport& report)
    REQUIRES(Classic().bufferLock);

// The report of the first row whose name equals `service`, ignoring case.
// Takes the buffer lock.
bool LookUpServiceLoad(const char* service, LoadReport* report) EXCLUDES(Classic().bufferLock);

// As LookUpServiceLoad, with the buffer lock already held.
bool LookUpServiceLoadLocked(const char* service, LoadReport* report)
    REQUIRES(Classic().bufferLock);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_SERVICE_LOAD_H_
