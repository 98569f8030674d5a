// SPDX-License-Identifier: Apache-2.0
// The add path of the classic family: one point value per call, written as
// one record into the buffer of its service and identifier kind, after the
// caller's thread has been slowed down by the services' load and the depth
// of the send queue.
#ifndef HISTFEED_CLASSIC_ADD_REQUEST_H_
#define HISTFEED_CLASSIC_ADD_REQUEST_H_

#include <cstdint>

#include "classic/fixed_text.h"
#include "classic/service_buffer.h"
#include "histfeed.h"

namespace histfeed::classic {

inline constexpr size_t kAddPointNameSize = 130;  // 129 characters and a terminator

// The arguments of one add call, zeroed and then filled by the entry point.
struct AddRequest {
  char service[kServiceNameSize];    // first 19 characters, as given
  char point[kAddPointNameSize];     // first 129 characters, as given
  int32_t kind;                      // kShortIdKind or kLongIdKind
  bool analog;                       // value (true) or valueText (false)
  int32_t time;
  uint16_t milliseconds;
  double value;
  char valueText[kValueTextSize];    // first 16 characters
  uint16_t status;
};


// -1 when service or point is absent, empty or only white space, or when
// milliseconds are above 999; otherwise 0.
int32_t CheckAddArguments(const char* service, const char* point, uint16_t milliseconds);

// Status words from flags (non-zero = set).
uint16_t PackAnalogStatus(int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                          int32_t flag5, int32_t flag6, int32_t flag7, int32_t flag8);
uint16_t PackDigitalStatus(int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                           int32_t flag5);

// Throttles, then writes the record. Returns 0, or -3 when no buffer could
// be had. Serialised by the add lock.
int32_t AddToServiceBuffer(const AddRequest& request);

// Replaces the extended point name by the identifier the client library
// resolves it to (after connecting to the untrimmed service). False when
// either call is refused.
bool ResolveExtendedPoint(const char* service, const char* extendedName,
                          char (&identifier)[kAddPointNameSize]);

// Every throttle sleep the add path requests is reported here before it is
// slept (null: none). Tests.
using ThrottleObserver = void (*)(int64_t ms);
void SetThrottleObserverForTesting(ThrottleObserver observer);

}  // namespace histfeed::classic

#endif  // HISTFEED_CLASSIC_ADD_REQUEST_H_
