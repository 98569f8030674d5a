#include "service/classic_listener.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "client_library/network_protocol.h"
#include "client_library/tarvo_plugin.h"
#include "service/classic_request_rows.h"
#include "service/event_log.h"

namespace histfeed::service {
namespace {

namespace network = client_library::network;

void SetReply(uint8_t* reply, uint32_t status, const std::string& text) {
  std::memset(reply, 0, TARVO_REPLY_SIZE);
  for (int i = 0; i < 4; ++i) {
    reply[TARVO_REPLY_STATUS_OFFSET + i] = static_cast<uint8_t>(status >> (8 * i));
  }
  // Always terminated inside the block.
  size_t length = std::min(text.size(), static_cast<size_t>(TARVO_REPLY_TEXT_SIZE - 1));
  std::memcpy(reply + TARVO_REPLY_TEXT_OFFSET, text.data(), length);
}

// The reason a reply block refuses its request, or null when it does not.
const char* RefusalReason(const uint8_t* reply) {
  uint32_t status = 0;
  for (int i = 3; i >= 0; --i) status = (status << 8) | reply[TARVO_REPLY_STATUS_OFFSET + i];
  switch (status) {
    case 0: return nullptr;
    case kClassicNotStored: return "could not store";
    case kClassicMalformed: return "malformed request";
    case kClassicRefusedAsAsked: return "refused as asked";
    case kClassicBusy: return "busy";
  }
  return "refused";
}

bool SendReply(int socket, uint16_t call, int32_t result, const void* payload, size_t size) {
  std::vector<uint8_t> message(network::kReplyHeadSize + size);
  network::EncodeReplyHead(call, result, static_cast<uint32_t>(size), message.data());
  if (size > 0) std::memcpy(message.data() + network::kReplyHeadSize, payload, size);
  return WriteAll(socket, message.data(), message.size());
}

}  // namespace

ClassicListener::ClassicListener(Storage& storage, ClassicFaults faults, ServiceMetrics* metrics)
    : storage_(storage),
      faults_(std::move(faults)),
      metrics_(metrics),
      listener_("classic", [this](int socket, const std::string& peer) { Serve(socket, peer); }) {}

void ClassicListener::SetFaults(const ClassicFaults& faults) {
  std::lock_guard<std::mutex> lock(faultsMutex_);
  faults_ = faults;
}

void ClassicListener::Serve(int socket, const std::string& peer) {
  uint8_t head[network::kRequestHeadSize];
  std::vector<uint8_t> payload(network::kExtendedNameMax + TARVO_SHORT_ID_REQUEST_SIZE);
  MetricsConnection seen(metrics_, Family::kClassic, peer);
  for (;;) {
    if (!ReadExactly(socket, head, sizeof head)) return;
    network::RequestHead request;
    network::HeadError error = network::DecodeRequestHead(head, &request);
    if (error != network::HeadError::kNone) {
      // Without a trustworthy head the stream cannot be followed further.
      ++counters_.refused;
      seen.Rejected(network::HeadErrorText(error));
      LogEvent("classic %s: refused a request (%s), closing", peer.c_str(),
               network::HeadErrorText(error));
      return;
    }
    if (request.payloadLength > 0 && !ReadExactly(socket, payload.data(), request.payloadLength)) {
      return;
    }
    ++counters_.requests;
    int64_t values = 0;
    bool sent = false;
    switch (request.call) {
      case network::kConnectCall:
        sent = SendReply(socket, request.call, 0, nullptr, 0);
        break;
      case network::kServiceKindCall: {
        int32_t kind;
        {
          std::lock_guard<std::mutex> lock(faultsMutex_);
          kind = faults_.serviceKind;
        }
        sent = SendReply(socket, request.call, kind, nullptr, 0);
        break;
      }
      case network::kResolveCall: {
        std::string identifier;
        std::string_view name(reinterpret_cast<const char*>(payload.data()),
                              strnlen(reinterpret_cast<const char*>(payload.data()),
                                      request.payloadLength));
        if (ResolveExtendedName(name, &identifier)) {
          sent = SendReply(socket, request.call, 0, identifier.data(), identifier.size());
        } else {
          LogEvent("classic %s: cannot resolve \"%.*s\"", peer.c_str(),
                   static_cast<int>(std::min<size_t>(name.size(), 200)), name.data());
          sent = SendReply(socket, request.call, 1, nullptr, 0);
        }
        break;
      }
      case network::kShortIdCall:
      case network::kLongIdCall:
      case network::kConfigCall: {
        uint8_t reply[TARVO_REPLY_SIZE];
        if (request.call == network::kConfigCall) {
          AnswerConfig(request.service, payload.data(), request.payloadLength, reply, peer);
        } else {
          values = AnswerData(request.service, request.call == network::kLongIdCall,
                              payload.data(), request.payloadLength, reply, peer);
        }
        if (const char* reason = RefusalReason(reply)) seen.Rejected(reason);
        sent = SendReply(socket, request.call, 0, reply, sizeof reply);
        break;
      }
    }
    seen.FrameReceived(values);
    if (!sent) return;
  }
}

int64_t ClassicListener::AnswerData(const std::string& service, bool longKind,
                                 const uint8_t* request, size_t size, uint8_t* reply,
                                 const std::string& peer) {
  bool busy = false;
  bool refuse = false;
  std::string load;
  {
    std::lock_guard<std::mutex> lock(faultsMutex_);
    ++dataRequests_;
    if (faults_.busy || faults_.busyCount > 0) {
      busy = true;
      if (faults_.busyCount > 0) --faults_.busyCount;
    } else if (faults_.refuseEvery > 0 && dataRequests_ % faults_.refuseEvery == 0) {
      refuse = true;
    }
    load = faults_.load;
  }
  if (busy) {
    ++counters_.busyAnswers;
    SetReply(reply, kClassicBusy, "busy");
    return 0;
  }
  if (refuse) {
    ++counters_.refused;
    SetReply(reply, kClassicRefusedAsAsked, "refused as asked");
    return 0;
  }
  Batch batch;
  std::string error;
  if (!ClassicDataRows(service, longKind, request, size, &batch, &error)) {
    ++counters_.refused;
    LogEvent("classic %s: refused a data request for %s (%s)", peer.c_str(), service.c_str(),
             error.c_str());
    SetReply(reply, kClassicMalformed, error);
    return 0;
  }
  if (!storage_.Commit(batch)) {
    ++counters_.refused;
    LogEvent("classic %s: could not store a data request for %s", peer.c_str(), service.c_str());
    SetReply(reply, kClassicNotStored, "could not store the records");
    return 0;
  }
  counters_.values += static_cast<int64_t>(batch.values.size());
  SetReply(reply, 0, load);
  return static_cast<int64_t>(batch.values.size());
}

void ClassicListener::AnswerConfig(const std::string& service, const uint8_t* request,
                                   size_t size, uint8_t* reply, const std::string& peer) {
  Batch batch;
  std::string error;
  if (!ClassicConfigRow(service, request, size, &batch, &error)) {
    ++counters_.refused;
    LogEvent("classic %s: refused a configuration for %s (%s)", peer.c_str(), service.c_str(),
             error.c_str());
    SetReply(reply, kClassicMalformed, error);
    return;
  }
  if (!storage_.Commit(batch)) {
    ++counters_.refused;
    LogEvent("classic %s: could not store a configuration for %s", peer.c_str(),
             service.c_str());
    SetReply(reply, kClassicNotStored, "could not store the configuration");
    return;
  }
  ++counters_.configs;
  SetReply(reply, 0, "");
}

}  // namespace histfeed::service
