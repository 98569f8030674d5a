// SPDX-License-Identifier: Apache-2.0
// The exported point-value entry points: each builds one record of the
// type's layout and adds it to the key's buffer of that type.
#include <cstddef>

#include "histfeed.h"
#include "universal/key.h"
#include "universal/point_record.h"

namespace histfeed::universal {
namespace {

// Each entry point knows its record type: the value is encoded before the
// key's lock is taken, and only copied into the buffer under it.
template <int32_t Code>
int32_t AddSingle(int32_t number, const CallerPoint& point) {
  Key* key = FindKeyInUse(number);
  if (key == nullptr) return HISTFEED_NOT_SENT;
  PointRecord<Code> record = EncodePointRecord<Code>(point);
  return key->buffers().AddRecord<Code>(record);
}

template <int32_t Code>
int32_t AddBlockById(int32_t number, const char* id, const CallerPoint& point) {
  Key* key = FindKeyInUse(number);
  if (key == nullptr) return HISTFEED_NOT_SENT;
  PointRecord<Code> record = EncodePointRecord<Code>(point);
  return key->buffers().AddBlockRecordById<Code>(id, record);
}

template <int32_t Code>
int32_t AddBlockByTime(int32_t number, int32_t time, int32_t msec, const CallerPoint& point) {
  Key* key = FindKeyInUse(number);
  if (key == nullptr) return HISTFEED_NOT_SENT;
  PointRecord<Code> record = EncodePointRecord<Code>(point);
  return key->buffers().AddBlockRecordByTime<Code>(time, static_cast<int16_t>(msec), record);
}

// A value with its time; a text instead of the number for the text types.
CallerPoint Value(int32_t time, int32_t msec, const char* id, int32_t status, double value) {
  return CallerPoint{time, static_cast<int16_t>(msec), id, static_cast<int16_t>(status), value,
                     nullptr};
}
CallerPoint Text(int32_t time, int32_t msec, const char* id, int32_t status, const char* text) {
  return CallerPoint{time, static_cast<int16_t>(msec), id, static_cast<int16_t>(status), 0, text};
}

}  // namespace
}  // namespace histfeed::universal

using namespace histfeed::universal;

extern "C" {

HISTFEED_API int32_t HISTFEED_CALL VornMxAddRec(int32_t key, const char* pointId, int32_t time, int32_t msec,
                                  int32_t status, double value) {
  return AddSingle<kPointIdRec>(key, Value(time, msec, pointId, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddAsciiRec(int32_t key, const char* pointId, int32_t time,
                                       int32_t msec, int32_t status, const char* text) {
  return AddSingle<kPointIdAsciiRec>(key, Text(time, msec, pointId, status, text));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdRec(int32_t key, const char* longId, int32_t time,
                                        int32_t msec, int32_t status, double value) {
  return AddSingle<kLongIdRec>(key, Value(time, msec, longId, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdAsciiRec(int32_t key, const char* longId, int32_t time,
                                             int32_t msec, int32_t status, const char* text) {
  return AddSingle<kLongIdAsciiRec>(key, Text(time, msec, longId, status, text));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdRec(int32_t key, const char* extId, int32_t time,
                                       int32_t msec, int32_t status, double value) {
  return AddSingle<kExtIdRec>(key, Value(time, msec, extId, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdAsciiRec(int32_t key, const char* extId, int32_t time,
                                            int32_t msec, int32_t status, const char* text) {
  return AddSingle<kExtIdAsciiRec>(key, Text(time, msec, extId, status, text));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddBlockRecByPointId(int32_t key, const char* pointId, int32_t time,
                                                int32_t msec, int32_t status, double value) {
  return AddBlockById<kPointIdBlockRec>(key, pointId, Value(time, msec, nullptr, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdBlockRecByLongId(int32_t key, const char* longId,
                                                     int32_t time, int32_t msec, int32_t status,
                                                     double value) {
  return AddBlockById<kLongIdBlockRec>(key, longId, Value(time, msec, nullptr, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdBlockRecByExtId(int32_t key, const char* extId, int32_t time,
                                                   int32_t msec, int32_t status, double value) {
  return AddBlockById<kExtIdBlockRec>(key, extId, Value(time, msec, nullptr, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddBlockRecByTime(int32_t key, const char* pointId, int32_t time,
                                             int32_t msec, int32_t status, double value) {
  return AddBlockByTime<kPointIdTimeBlockRec>(key, time, msec, Value(0, 0, pointId, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddLongIdRecByTime(int32_t key, const char* longId, int32_t time,
                                              int32_t msec, int32_t status, double value) {
  return AddBlockByTime<kLongIdTimeBlockRec>(key, time, msec, Value(0, 0, longId, status, value));
}

HISTFEED_API int32_t HISTFEED_CALL VornMxAddExtIdRecByTime(int32_t key, const char* extId, int32_t time,
                                             int32_t msec, int32_t status, double value) {
  return AddBlockByTime<kExtIdTimeBlockRec>(key, time, msec, Value(0, 0, extId, status, value));
}

}  // extern "C"
