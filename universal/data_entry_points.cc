// The exported point-value entry points: each builds one record of the
// type's layout and adds it to the key's buffer of that type.
#include <cstddef>

#include "histfeed.h"
#include "universal/frame_format.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

// Each record is encoded straight into the key's buffer, under its lock.
int32_t AddSingle(int32_t key, int32_t code, const char* id, int32_t time, int32_t msec,
                  int32_t status, double value, const char* text, size_t idBytes) {
  if (!IsValidKey(key)) return kNotSent;
  PointValue point{time, static_cast<int16_t>(msec), CallerText(id, idBytes),
                   static_cast<int16_t>(status), value, CallerText(text, kTextValueBytes)};
  return Connection(key).buffers.AddPoint(code, point, SenderFor(key));
}

int32_t AddBlockById(int32_t key, int32_t code, const char* id, int32_t time, int32_t msec,
                     int32_t status, double value) {
  if (!IsValidKey(key)) return kNotSent;
  PointValue point{time, static_cast<int16_t>(msec), {}, static_cast<int16_t>(status), value, {}};
  return Connection(key).buffers.AddBlockById(code, id, point, SenderFor(key));
}

int32_t AddBlockByTime(int32_t key, int32_t code, const char* id, int32_t time, int32_t msec,
                       int32_t status, double value, size_t idBytes) {
  if (!IsValidKey(key)) return kNotSent;
  PointValue point{0, 0, CallerText(id, idBytes), static_cast<int16_t>(status), value, {}};
  return Connection(key).buffers.AddBlockByTime(code, time, static_cast<int16_t>(msec), point,
                                                SenderFor(key));
}

}  // namespace
}  // namespace histfeed::universal

using namespace histfeed::universal;

extern "C" {

HISTFEED_API int32_t VornMxAddRec(int32_t key, const char* pointId, int32_t time, int32_t msec,
                                  int32_t status, double value) {
  return AddSingle(key, 1, pointId, time, msec, status, value, nullptr, kPointIdBytes);
}

HISTFEED_API int32_t VornMxAddAsciiRec(int32_t key, const char* pointId, int32_t time,
                                       int32_t msec, int32_t status, const char* text) {
  return AddSingle(key, 11, pointId, time, msec, status, 0, text, kPointIdBytes);
}

HISTFEED_API int32_t VornMxAddLongIdRec(int32_t key, const char* longId, int32_t time,
                                        int32_t msec, int32_t status, double value) {
  return AddSingle(key, 6, longId, time, msec, status, value, nullptr, kLongIdBytes);
}

HISTFEED_API int32_t VornMxAddLongIdAsciiRec(int32_t key, const char* longId, int32_t time,
                                             int32_t msec, int32_t status, const char* text) {
  return AddSingle(key, 12, longId, time, msec, status, 0, text, kLongIdBytes);
}

HISTFEED_API int32_t VornMxAddExtIdRec(int32_t key, const char* extId, int32_t time,
                                       int32_t msec, int32_t status, double value) {
  return AddSingle(key, 15, extId, time, msec, status, value, nullptr, kExtIdBytes);
}

HISTFEED_API int32_t VornMxAddExtIdAsciiRec(int32_t key, const char* extId, int32_t time,
                                            int32_t msec, int32_t status, const char* text) {
  return AddSingle(key, 18, extId, time, msec, status, 0, text, kExtIdBytes);
}

HISTFEED_API int32_t VornMxAddBlockRecByPointId(int32_t key, const char* pointId, int32_t time,
                                                int32_t msec, int32_t status, double value) {
  return AddBlockById(key, 2, pointId, time, msec, status, value);
}

HISTFEED_API int32_t VornMxAddLongIdBlockRecByLongId(int32_t key, const char* longId,
                                                     int32_t time, int32_t msec, int32_t status,
                                                     double value) {
  return AddBlockById(key, 7, longId, time, msec, status, value);
}

HISTFEED_API int32_t VornMxAddExtIdBlockRecByExtId(int32_t key, const char* extId, int32_t time,
                                                   int32_t msec, int32_t status, double value) {
  return AddBlockById(key, 16, extId, time, msec, status, value);
}

HISTFEED_API int32_t VornMxAddBlockRecByTime(int32_t key, const char* pointId, int32_t time,
                                             int32_t msec, int32_t status, double value) {
  return AddBlockByTime(key, 3, pointId, time, msec, status, value, kPointIdBytes);
}

HISTFEED_API int32_t VornMxAddLongIdRecByTime(int32_t key, const char* longId, int32_t time,
                                              int32_t msec, int32_t status, double value) {
  return AddBlockByTime(key, 8, longId, time, msec, status, value, kLongIdBytes);
}

HISTFEED_API int32_t VornMxAddExtIdRecByTime(int32_t key, const char* extId, int32_t time,
                                             int32_t msec, int32_t status, double value) {
  return AddBlockByTime(key, 17, extId, time, msec, status, value, kExtIdBytes);
}

}  // extern "C"
