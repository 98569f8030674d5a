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

extern "C" HISTFEED_API int32_t KelSendConfigRecord(
    const char* pointName, const char* text60, const char* text24, const char* text8,
    int32_t analog, int32_t flag6, int32_t number7, int32_t flag8, const char* text9,
    const char* text10, int32_t flag11, double number12, int32_t flag13, double number14,
    int32_t flag15, double number16, int32_t flag17, double number18, int32_t flag19,
    double number20, int32_t flag21, double number22, int32_t flag23, int32_t flag24,
    int32_t number25, int32_t number26, int32_t number27, double number28, int32_t number29,
    double number30, double number31, const char* field32, const char* field33,
    const char* field34, const char* field35, const char* field36, const char* field37,
    const char* field38, const char* field39, const char* field40, const char* row41,
    const char* row42, const char* row43, const char* row44, const char* row45,
    const char* row46, const char* row47, const char* row48, const char* row49,
    const char* row50, char* message, int32_t messageSize) {
  histfeed::classic::ConfigArguments arguments{
      pointName, text60,   text24,   text8,    analog,   flag6,    number7,  flag8,
      text9,     text10,   flag11,   number12, flag13,   number14, flag15,   number16,
      flag17,    number18, flag19,   number20, flag21,   number22, flag23,   flag24,
      number25,  number26, number27, number28, number29, number30, number31,
      {field32, field33, field34, field35, field36, field37, field38, field39, field40},
      {row41, row42, row43, row44, row45, row46, row47, row48, row49, row50}};
  std::string text;
  int32_t result = histfeed::classic::SendConfigRecord(arguments, &text);
  if (result != 0) histfeed::classic::PutMessage(message, messageSize, text);
  return result;
}
