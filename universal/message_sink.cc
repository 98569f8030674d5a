// SPDX-License-Identifier: Apache-2.0
// The exported message sink. It does nothing on purpose: observers
// receive every diagnostic line by intercepting it (platform/hot_patch.h
// says how). So it lives alone in this file, and every diagnostic line of
// the library is passed through this one function.
#include "histfeed.h"
#include "platform/hot_patch.h"

extern "C" HISTFEED_HOT_PATCHABLE HISTFEED_API void HISTFEED_CALL
VornMxUniversalMessage([[maybe_unused]] const char* text) {
  HISTFEED_HOT_PATCHABLE_EMPTY_BODY(text);
}
