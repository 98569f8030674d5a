// SPDX-License-Identifier: Apache-2.0
// KelSendConfigRecord: builds the configuration request, sends it at once
// through the client library and reports the service's answer.
#include <cstdio>
#include <cstring>
#include <string>

#include "classic/config_request.h"
#include "classic/fixed_text.h"
#include "classic/sender.h"
#include "client_library/client_library.h"
#include "histfeed.h"

namespace histfeed::classic {
namespace {

std::string Format(const char* format, const char* text) {
  std::string message(std::strlen(format) + std::strlen(text), '\0');
  int written = std::snprintf(message.data(), message.size() + 1, format, text);
  message.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return message;
}

// The point name without surrounding white space, in upper case.
std::string NormalisedPointName(const char* pointName) {
  TextPart part = Trimmed(pointName, BoundedLength(pointName, kConfigPointNameMax));
  std::string name(part.start, part.length);
  for (char& c : name) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return name;
}

// At most size - 1 characters and a terminator; nothing for a null
// buffer or size 0.
void PutMessage(char* buffer, int32_t messageSize, const std::string& message) {
  uint16_t size = static_cast<uint16_t>(messageSize);
  if (buffer == nullptr || size == 0) return;
  std::strncpy(buffer, message.c_str(), size - 1u);
  buffer[size - 1] = '\0';
}

int32_t SendConfigRecord(const ConfigArguments& arguments, std::string* message) {
  std::string pointName = NormalisedPointName(arguments.pointName);
  if (StartClientLibrary() != 0) {
    *message = "Unable to initialize KEL";
    return HISTFEED_INVALID_ARGUMENT;
  }
  char service[kConfigServiceSize];
  char pointId[kConfigPointIdSize];
  if (!ParsePointName(pointName.c_str(), service, pointId)) {
    *message = Format("Unable to resolve service and point identifier from point name, %s",
                      pointName.c_str());
    return HISTFEED_INVALID_ARGUMENT;
  }
  int32_t connected = client_library::Connect(service);
  if (connected != 0) {
    *message = Format("Failed connecting to service, %s", service);
    return connected;
  }
  bool splitRows = client_library::ServiceKind(service) == 0;

  uint8_t request[TARVO_CONFIG_REQUEST_SIZE];
  uint8_t reply[TARVO_REPLY_SIZE] = {};
  BuildConfigRequest(arguments, pointId, splitRows, request);
  client_library::Stamp(request + TARVO_STAMP_OFFSET, TARVO_STAMP_SIZE);
  int32_t exchanged = client_library::ConfigExchange(service, request, reply);
  if (exchanged != 0) {
    *message = "Request failed";
    return exchanged;
  }
  uint32_t status = 0;
  for (int i = 0; i < 4; ++i) status |= uint32_t{reply[TARVO_REPLY_STATUS_OFFSET + i]} << (8 * i);
  int32_t result = static_cast<int32_t>(status & 0xFFFF);
  if (result != 0) {
    // The reply text need not be terminated within the block.
    const char* text = reinterpret_cast<const char*>(reply + TARVO_REPLY_TEXT_OFFSET);
    message->assign(text, BoundedLength(text, TARVO_REPLY_TEXT_SIZE));
  }
  return result;
}

}  // namespace
}  // namespace histfeed::classic

extern "C" HISTFEED_API int32_t HISTFEED_CALL KelSendConfigRecord(
    const char* pointName, const char* firstText, const char* secondText, const char* thirdText,
    int32_t analog, int32_t flag1, int32_t shortNumber1, int32_t flag2, const char* shortText1,
    const char* shortText2, int32_t flag3, double value1, int32_t flag4, double value2,
    int32_t flag5, double value3, int32_t flag6, double value4, int32_t flag7,
    double value5, int32_t flag8, double value6, int32_t flag9, int32_t flag10,
    int32_t longNumber1, int32_t longNumber2, int32_t shortNumber2, double value7, int32_t shortNumber3,
    double value8, double value9, const char* field1, const char* field2,
    const char* field3, const char* field4, const char* field5, const char* field6,
    const char* field7, const char* field8, const char* field9, const char* row1,
    const char* row2, const char* row3, const char* row4, const char* row5,
    const char* row6, const char* row7, const char* row8, const char* row9,
    const char* row10, char* message, int32_t messageSize) {
  histfeed::classic::ConfigArguments arguments{
      pointName, firstText,   secondText,   thirdText,    analog,   flag1,    shortNumber1,  flag2,
      shortText1,     shortText2,   flag3,   value1, flag4,   value2, flag5,   value3,
      flag6,    value4, flag7,   value5, flag8,   value6, flag9,   flag10,
      longNumber1,  longNumber2, shortNumber2, value7, shortNumber3, value8, value9,
      {field1, field2, field3, field4, field5, field6, field7, field8, field9},
      {row1, row2, row3, row4, row5, row6, row7, row8, row9, row10}};
  std::string text;
  int32_t result = histfeed::classic::SendConfigRecord(arguments, &text);
  if (result != 0) histfeed::classic::PutMessage(message, messageSize, text);
  return result;
}
