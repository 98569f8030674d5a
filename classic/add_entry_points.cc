// SPDX-License-Identifier: Apache-2.0
// The nineteen exported add functions. Each checks its arguments, resolves
// an extended point name when it has one, packs the status word and hands
// one AddRequest to the add path.
#include <cstring>

#include "classic/add_request.h"
#include "client_library/client_library.h"
#include "histfeed.h"

namespace histfeed::classic {
namespace {

constexpr uint16_t kMillisecondsMax = 999;
constexpr size_t kResolvedSize = 10;

enum class Identifier { kShort, kLong, kExtended };

// Looks no further than the `limit` characters that would be kept.
bool IsBlank(const char* text, size_t limit) {
  if (text == nullptr) return true;
  for (size_t i = 0; i < limit && text[i] != '\0'; ++i) {
    if (!IsWhiteSpace(text[i])) return false;
  }
  return true;
}

uint16_t Low16(int32_t value) { return static_cast<uint16_t>(value); }

struct Value {
  bool analog;
  double number;
  const char* text;
};

Value Analog(double number) { return {true, number, nullptr}; }
Value Text(const char* text) { return {false, 0.0, text}; }

int32_t AddRecord(const char* service, const char* point, Identifier identifier, int32_t time,
                  Value value, uint16_t status, int32_t milliseconds) {
  uint16_t ms = Low16(milliseconds);
  if (CheckAddArguments(service, point, ms) != 0) return HISTFEED_INVALID_ARGUMENT;
  AddRequest request{};
  // From here on only the copy is read: the caller's text may lack a terminator.
  CopyFixed(request.service, kServiceNameSize - 1, service);
  if (identifier == Identifier::kExtended) {
    if (!ResolveExtendedPoint(request.service, point, request.point)) return HISTFEED_INVALID_ARGUMENT;
  } else {
    CopyFixed(request.point, kAddPointNameSize - 1, point);
  }
  request.kind = identifier == Identifier::kLong ? kLongIdKind : kShortIdKind;
  request.analog = value.analog;
  request.time = time;
  request.milliseconds = ms;
  request.value = value.number;
  CopyFixed(request.valueText, kValueTextSize - 1, value.text);
  request.status = status;
  return AddToServiceBuffer(request);
}

}  // namespace

int32_t CheckAddArguments(const char* service, const char* point, uint16_t milliseconds) {
  // A blank name would trim to nothing: a buffer no service could take.
  if (IsBlank(service, kServiceNameSize - 1) || IsBlank(point, kAddPointNameSize - 1) ||
      milliseconds > kMillisecondsMax) {
    return HISTFEED_INVALID_ARGUMENT;
  }
  return 0;
}

uint16_t PackAnalogStatus(int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                          int32_t flag5, int32_t flag6, int32_t flag7, int32_t flag8) {
  uint16_t status = flag1 != 0 ? 0x0023 : 0x0003;
  if (flag2 != 0) status |= 0x0040;
  if (flag3 != 0) status |= 0x0010;
  if (flag4 != 0) status |= 0x0080;
  if (flag5 != 0) status |= 0x0018;
  if (flag6 != 0) status |= 0x0088;
  if (flag7 != 0) status |= 0x0004;
  if (flag8 != 0) status |= 0x0100;
  return status;
}

uint16_t PackDigitalStatus(int32_t flag1, int32_t flag2, int32_t flag3, int32_t flag4,
                           int32_t flag5) {
  uint16_t status = flag1 != 0 ? 0x1043 : 0x1003;
  if (flag2 != 0) status |= 0x0080;
  if (flag3 != 0) status |= 0x0010;
  if (flag4 != 0) status |= 0x0004;
  if (flag5 != 0) status |= 0x0100;
  return status;
}

bool ResolveExtendedPoint(const char* service, const char* extendedName,
                          char (&identifier)[kAddPointNameSize]) {
  if (client_library::Connect(service) != 0) return false;
  char resolved[kResolvedSize] = {};
  if (client_library::ResolvePoint(service, extendedName, resolved,
                                   static_cast<int32_t>(sizeof(resolved))) != 0) {
    return false;
  }
  // Read within the output even if the library left it unterminated.
  size_t length = BoundedLength(resolved, sizeof(resolved));
  std::memset(identifier, 0, sizeof(identifier));
  std::memcpy(identifier, resolved, length);
  return true;
}

}  // namespace histfeed::classic

using histfeed::classic::AddRecord;
using histfeed::classic::Analog;
using histfeed::classic::Identifier;
using histfeed::classic::PackAnalogStatus;
using histfeed::classic::PackDigitalStatus;
using histfeed::classic::Text;

extern "C" {

HISTFEED_API int32_t HISTFEED_CALL KelAddShortIdRecord(const char* service, const char* point, int32_t time,
                                         const char* valueText, int32_t status,
                                         int32_t milliseconds) {
  return AddRecord(service, point, Identifier::kShort, time, Text(valueText),
                   static_cast<uint16_t>(status), milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdRecord(const char* service, const char* point,
                                               int32_t time, double value, int32_t flag1,
                                               int32_t flag2, int32_t flag3, int32_t flag4,
                                               int32_t flag5, int32_t flag6, int32_t flag7,
                                               int32_t flag8) {
  return AddRecord(service, point, Identifier::kShort, time, Analog(value),
                   PackAnalogStatus(flag1, flag2, flag3, flag4, flag5, flag6, flag7, flag8), 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalShortIdRecord(const char* service, const char* point,
                                                int32_t time, int32_t flag1,
                                                const char* stateText, int32_t flag2,
                                                int32_t flag3, int32_t flag4, int32_t flag5) {
  return AddRecord(service, point, Identifier::kShort, time, Text(stateText),
                   PackDigitalStatus(flag1, flag2, flag3, flag4, flag5), 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdRecordNoStatus(const char* service, const char* point,
                                                       int32_t time, double value) {
  return AddRecord(service, point, Identifier::kShort, time, Analog(value), 0, 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdRecord(const char* service, const char* point,
                                              int32_t time, double value, int32_t flag1,
                                              int32_t flag2, int32_t flag3, int32_t flag4,
                                              int32_t flag5, int32_t flag6, int32_t flag7,
                                              int32_t flag8) {
  return AddRecord(service, point, Identifier::kLong, time, Analog(value),
                   PackAnalogStatus(flag1, flag2, flag3, flag4, flag5, flag6, flag7, flag8), 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalLongIdRecord(const char* service, const char* point,
                                               int32_t time, int32_t flag1,
                                               const char* stateText, int32_t flag2,
                                               int32_t flag3, int32_t flag4, int32_t flag5) {
  return AddRecord(service, point, Identifier::kLong, time, Text(stateText),
                   PackDigitalStatus(flag1, flag2, flag3, flag4, flag5), 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdRecordNoStatus(const char* service, const char* point,
                                                      int32_t time, double value) {
  return AddRecord(service, point, Identifier::kLong, time, Analog(value), 0, 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdRecord(const char* service, const char* extendedName,
                                             int32_t time, double value, int32_t flag1,
                                             int32_t flag2, int32_t flag3, int32_t flag4,
                                             int32_t flag5, int32_t flag6, int32_t flag7,
                                             int32_t flag8) {
  return AddRecord(service, extendedName, Identifier::kExtended, time, Analog(value),
                   PackAnalogStatus(flag1, flag2, flag3, flag4, flag5, flag6, flag7, flag8), 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalExtIdRecord(const char* service, const char* extendedName,
                                              int32_t time, int32_t flag1,
                                              const char* stateText, int32_t flag2,
                                              int32_t flag3, int32_t flag4, int32_t flag5) {
  return AddRecord(service, extendedName, Identifier::kExtended, time, Text(stateText),
                   PackDigitalStatus(flag1, flag2, flag3, flag4, flag5), 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdRecordNoStatus(const char* service,
                                                     const char* extendedName, int32_t time,
                                                     double value) {
  return AddRecord(service, extendedName, Identifier::kExtended, time, Analog(value), 0, 0);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdMsecRecord(const char* service, const char* point,
                                                   int32_t time, double value, int32_t flag1,
                                                   int32_t flag2, int32_t flag3, int32_t flag4,
                                                   int32_t flag5, int32_t flag6, int32_t flag7,
                                                   int32_t flag8, int32_t milliseconds) {
  return AddRecord(service, point, Identifier::kShort, time, Analog(value),
                   PackAnalogStatus(flag1, flag2, flag3, flag4, flag5, flag6, flag7, flag8),
                   milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdMsecRecord(const char* service, const char* point,
                                                  int32_t time, double value, int32_t flag1,
                                                  int32_t flag2, int32_t flag3, int32_t flag4,
                                                  int32_t flag5, int32_t flag6, int32_t flag7,
                                                  int32_t flag8, int32_t milliseconds) {
  return AddRecord(service, point, Identifier::kLong, time, Analog(value),
                   PackAnalogStatus(flag1, flag2, flag3, flag4, flag5, flag6, flag7, flag8),
                   milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdMsecRecord(const char* service, const char* extendedName,
                                                 int32_t time, double value, int32_t flag1,
                                                 int32_t flag2, int32_t flag3, int32_t flag4,
                                                 int32_t flag5, int32_t flag6, int32_t flag7,
                                                 int32_t flag8, int32_t milliseconds) {
  return AddRecord(service, extendedName, Identifier::kExtended, time, Analog(value),
                   PackAnalogStatus(flag1, flag2, flag3, flag4, flag5, flag6, flag7, flag8),
                   milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogExtIdMsecRecordNoStatus(const char* service,
                                                         const char* extendedName, int32_t time,
                                                         double value, int32_t milliseconds) {
  return AddRecord(service, extendedName, Identifier::kExtended, time, Analog(value), 0,
                   milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalShortIdMsecRecord(const char* service, const char* point,
                                                    int32_t time, int32_t flag1,
                                                    const char* stateText, int32_t flag2,
                                                    int32_t flag3, int32_t flag4, int32_t flag5,
                                                    int32_t milliseconds) {
  return AddRecord(service, point, Identifier::kShort, time, Text(stateText),
                   PackDigitalStatus(flag1, flag2, flag3, flag4, flag5), milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalLongIdMsecRecord(const char* service, const char* point,
                                                   int32_t time, int32_t flag1,
                                                   const char* stateText, int32_t flag2,
                                                   int32_t flag3, int32_t flag4, int32_t flag5,
                                                   int32_t milliseconds) {
  return AddRecord(service, point, Identifier::kLong, time, Text(stateText),
                   PackDigitalStatus(flag1, flag2, flag3, flag4, flag5), milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddDigitalExtIdMsecRecord(const char* service, const char* extendedName,
                                                  int32_t time, int32_t flag1,
                                                  const char* stateText, int32_t flag2,
                                                  int32_t flag3, int32_t flag4, int32_t flag5,
                                                  int32_t milliseconds) {
  return AddRecord(service, extendedName, Identifier::kExtended, time, Text(stateText),
                   PackDigitalStatus(flag1, flag2, flag3, flag4, flag5), milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogShortIdMsecRecordNoStatus(const char* service,
                                                           const char* point, int32_t time,
                                                           double value, int32_t milliseconds) {
  return AddRecord(service, point, Identifier::kShort, time, Analog(value), 0, milliseconds);
}

HISTFEED_API int32_t HISTFEED_CALL KelAddAnalogLongIdMsecRecordNoStatus(const char* service,
                                                          const char* point, int32_t time,
                                                          double value, int32_t milliseconds) {
  return AddRecord(service, point, Identifier::kLong, time, Analog(value), 0, milliseconds);
}

}  // extern "C"
