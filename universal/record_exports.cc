// SPDX-License-Identifier: Apache-2.0
// The exported record functions: adding ready-made records, flushing a
// type, and the header setters of block frames.
#include "histfeed.h"
#include "universal/key.h"

using histfeed::universal::FindKeyInUse;
using histfeed::universal::Key;

extern "C" {

HISTFEED_API int32_t HISTFEED_CALL VornMxAddUniversalRecord(int32_t key, int32_t recordType,
                                              const void* records, int32_t count) {
  Key* found = FindKeyInUse(key);
  if (found == nullptr) return HISTFEED_NOT_SENT;
  return found->buffers().Add(recordType, static_cast<const uint8_t*>(records), count);
}

HISTFEED_API int32_t HISTFEED_CALL VornMxFlushUniversalRecord(int32_t key, int32_t recordType) {
  Key* found = FindKeyInUse(key);
  if (found == nullptr) return HISTFEED_NOT_SENT;
  return found->buffers().Flush(recordType);
}

HISTFEED_API void HISTFEED_CALL VornMxSetPointId(int32_t key, const char* pointId) {
  if (Key* found = FindKeyInUse(key)) found->buffers().SetPointId(pointId);
}

HISTFEED_API void HISTFEED_CALL VornMxSetLongId(int32_t key, const char* longId) {
  if (Key* found = FindKeyInUse(key)) found->buffers().SetLongId(longId);
}

HISTFEED_API void HISTFEED_CALL VornMxSetExtId(int32_t key, const char* extId) {
  if (Key* found = FindKeyInUse(key)) found->buffers().SetExtId(extId);
}

HISTFEED_API void HISTFEED_CALL VornMxSetTime(int32_t key, int32_t time, int16_t msec) {
  if (Key* found = FindKeyInUse(key)) found->buffers().SetTime(time, msec);
}

}  // extern "C"
