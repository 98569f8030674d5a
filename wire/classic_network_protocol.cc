// SPDX-License-Identifier: Apache-2.0
#include "wire/classic_network_protocol.h"

#include <cstring>

#include "histfeed/tarvo_plugin.h"

namespace histfeed::client_library::network {
namespace {

constexpr uint8_t kRequestMagic[4] = {'H', 'F', 'C', 'Q'};
constexpr uint8_t kReplyMagic[4] = {'H', 'F', 'C', 'A'};

void Put16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

void Put32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint16_t Get16(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t Get32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

// Whether `length` suits a payload whose fixed size or limit is `limit`.
bool LengthFits(uint16_t call, uint32_t length, size_t limit) {
  return call == kResolveCall ? length <= limit : length == limit;
}

}  // namespace

bool IsKnownCall(uint16_t call) {
  switch (call) {
    case kConnectCall:
    case kServiceKindCall:
    case kResolveCall:
    case kShortIdCall:
    case kLongIdCall:
    case kConfigCall:
      return true;
  }
  return false;
}

size_t RequestPayloadLimit(uint16_t call) {
  switch (call) {
    case kResolveCall: return kExtendedNameMax;
    case kShortIdCall: return TARVO_SHORT_ID_REQUEST_SIZE;
    case kLongIdCall: return TARVO_LONG_ID_REQUEST_SIZE;
    case kConfigCall: return TARVO_CONFIG_REQUEST_SIZE;
  }
  return 0;
}

size_t ReplyPayloadLimit(uint16_t call) {
  switch (call) {
    case kResolveCall: return kResolvedIdMax;
    case kShortIdCall:
    case kLongIdCall:
    case kConfigCall:
      return TARVO_REPLY_SIZE;
  }
  return 0;
}

const char* HeadErrorText(HeadError error) {
  switch (error) {
    case HeadError::kNone: return "none";
    case HeadError::kBadMagic: return "bad magic";
    case HeadError::kUnknownCall: return "unknown call";
    case HeadError::kWrongCall: return "reply to another call";
    case HeadError::kBadLength: return "bad payload length";
  }
  return "?";
}

void EncodeRequestHead(uint16_t call, const char* service, uint32_t payloadLength,
                       uint8_t out[kRequestHeadSize]) {
  std::memset(out, 0, kRequestHeadSize);
  std::memcpy(out, kRequestMagic, 4);
  Put16(out + 4, call);
  if (service != nullptr) {
    // Always terminated inside the field, so the peer never reads past it.
    size_t length = strnlen(service, kServiceFieldSize - 1);
    std::memcpy(out + 8, service, length);
  }
  Put32(out + 40, payloadLength);
}

HeadError DecodeRequestHead(const uint8_t in[kRequestHeadSize], RequestHead* head) {
  if (std::memcmp(in, kRequestMagic, 4) != 0) return HeadError::kBadMagic;
  head->call = Get16(in + 4);
  const char* name = reinterpret_cast<const char*>(in + 8);
  head->service.assign(name, strnlen(name, kServiceFieldSize));
  head->payloadLength = Get32(in + 40);
  if (!IsKnownCall(head->call)) return HeadError::kUnknownCall;
  if (!LengthFits(head->call, head->payloadLength, RequestPayloadLimit(head->call))) {
    return HeadError::kBadLength;
  }
  return HeadError::kNone;
}

void EncodeReplyHead(uint16_t call, int32_t result, uint32_t payloadLength,
                     uint8_t out[kReplyHeadSize]) {
  std::memset(out, 0, kReplyHeadSize);
  std::memcpy(out, kReplyMagic, 4);
  Put16(out + 4, call);
  Put32(out + 8, static_cast<uint32_t>(result));
  Put32(out + 12, payloadLength);
}

HeadError DecodeReplyHead(const uint8_t in[kReplyHeadSize], uint16_t expectedCall,
                          ReplyHead* head) {
  if (std::memcmp(in, kReplyMagic, 4) != 0) return HeadError::kBadMagic;
  head->call = Get16(in + 4);
  head->result = static_cast<int32_t>(Get32(in + 8));
  head->payloadLength = Get32(in + 12);
  if (!IsKnownCall(head->call)) return HeadError::kUnknownCall;
  if (head->call != expectedCall) return HeadError::kWrongCall;
  if (!LengthFits(head->call, head->payloadLength, ReplyPayloadLimit(head->call))) {
    return HeadError::kBadLength;
  }
  return HeadError::kNone;
}

}  // namespace histfeed::client_library::network
