// SPDX-License-Identifier: Apache-2.0
// The request and reply messages of the built-in network backend, shared
// by the library (which asks) and the reference service (which answers).
//
// Request: a 44-byte head, then the payload.
//   0  4  magic "HFCQ"
//   4  2  call: the client library ordinal (1410, 1519, 1527, 2004, 2005, 2006)
//   6  2  zero
//   8 32  service name, NUL-padded (longer names are cut to 31 characters)
//  40  4  payload length
// Reply: a 16-byte head, then the payload.
//   0  4  magic "HFCA"
//   4  2  the call answered
//   6  2  zero
//   8  4  result (signed): what the library call returns
//  12  4  payload length
// Payloads: data and configuration exchanges carry the request (4072, 4032
// or 1016 bytes) and are answered with the 256-byte reply block; a resolve
// carries the extended name (at most 1024 bytes) and is answered with the
// point identifier (at most 64 bytes, no terminator); connect and service
// kind carry nothing either way. All integers are little-endian.
#ifndef HISTFEED_WIRE_CLASSIC_NETWORK_PROTOCOL_H_
#define HISTFEED_WIRE_CLASSIC_NETWORK_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace histfeed::client_library::network {

inline constexpr size_t kRequestHeadSize = 44;
inline constexpr size_t kReplyHeadSize = 16;
inline constexpr size_t kServiceFieldSize = 32;
inline constexpr size_t kExtendedNameMax = 1024;
inline constexpr size_t kResolvedIdMax = 64;

enum Call : uint16_t {
  kConnectCall = 1410,
  kServiceKindCall = 1519,
  kResolveCall = 1527,
  kShortIdCall = 2004,
  kLongIdCall = 2005,
  kConfigCall = 2006,
};

// Whether `call` is one of the calls above.
bool IsKnownCall(uint16_t call);

// The payload size a request of `call` must have; for a resolve, the most
// it may have.
size_t RequestPayloadLimit(uint16_t call);

// The payload size a reply to `call` must have; for a resolve, the most.
size_t ReplyPayloadLimit(uint16_t call);

struct RequestHead {
  uint16_t call = 0;
  std::string service;
  uint32_t payloadLength = 0;
};

struct ReplyHead {
  uint16_t call = 0;
  int32_t result = 0;
  uint32_t payloadLength = 0;
};

enum class HeadError {
  kNone,
  kBadMagic,
  kUnknownCall,
  kWrongCall,     // a reply to another call than the one asked
  kBadLength,     // a payload length the call does not allow
};

const char* HeadErrorText(HeadError error);

void EncodeRequestHead(uint16_t call, const char* service, uint32_t payloadLength,
                       uint8_t out[kRequestHeadSize]);
HeadError DecodeRequestHead(const uint8_t in[kRequestHeadSize], RequestHead* head);

void EncodeReplyHead(uint16_t call, int32_t result, uint32_t payloadLength,
                     uint8_t out[kReplyHeadSize]);
// Checks a reply head against the call that was asked.
HeadError DecodeReplyHead(const uint8_t in[kReplyHeadSize], uint16_t expectedCall,
                          ReplyHead* head);

}  // namespace histfeed::client_library::network

#endif  // HISTFEED_WIRE_CLASSIC_NETWORK_PROTOCOL_H_
