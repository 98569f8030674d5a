// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to what reads classic traffic: the request head
// the service reads and the reply head the client library reads, the rows
// the service builds from data and configuration requests, and the
// resolution of an extended point name.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "service/listeners/classic_request_rows.h"
#include "wire/classic_network_protocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace histfeed;
  namespace network = client_library::network;
  uint8_t requestHead[network::kRequestHeadSize] = {};
  std::memcpy(requestHead, data, size < sizeof requestHead ? size : sizeof requestHead);
  network::RequestHead request;
  network::DecodeRequestHead(requestHead, &request);
  uint8_t replyHead[network::kReplyHeadSize] = {};
  std::memcpy(replyHead, data, size < sizeof replyHead ? size : sizeof replyHead);
  network::ReplyHead reply;
  const uint16_t calls[] = {network::kConnectCall, network::kServiceKindCall,
                            network::kResolveCall,  network::kShortIdCall,
                            network::kLongIdCall,   network::kConfigCall};
  uint16_t expectedCall = calls[size > 0 ? data[0] % 6 : 0];
  network::DecodeReplyHead(replyHead, expectedCall, &reply);

  service::Batch batch;
  std::string error;
  service::ClassicDataRows("SVC", false, data, size, &batch, &error);
  service::ClassicDataRows("SVC", true, data, size, &batch, &error);
  service::ClassicConfigRow("SVC", data, size, &batch, &error);

  std::string identifier;
  service::ResolveExtendedName(std::string_view(reinterpret_cast<const char*>(data), size),
                               &identifier);
  return 0;
}
