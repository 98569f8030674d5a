// SPDX-License-Identifier: Apache-2.0
#include "service/listeners/classic_listener.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "histfeed/tarvo_plugin.h"
#include "service/event_log.h"
#include "service/listeners/classic_request_rows.h"
#include "service/listeners/stream_connection.h"
#include "service/printable_text.h"
#include "wire/classic_network_protocol.h"

namespace histfeed::service {
namespace {

namespace network = client_library::network;

constexpr size_t kMaxRequestBytes =
    network::kRequestHeadSize + network::kExtendedNameMax + TARVO_SHORT_ID_REQUEST_SIZE;

std::vector<uint8_t> ReplyBlock(uint32_t status, const std::string& text) {
  std::vector<uint8_t> reply(TARVO_REPLY_SIZE, 0);
  for (int i = 0; i < 4; ++i) {
    reply[TARVO_REPLY_STATUS_OFFSET + i] = static_cast<uint8_t>(status >> (8 * i));
  }
  // Always terminated inside the block.
  size_t length = std::min(text.size(), static_cast<size_t>(TARVO_REPLY_TEXT_SIZE - 1));
  std::memcpy(reply.data() + TARVO_REPLY_TEXT_OFFSET, text.data(), length);
  return reply;
}

std::vector<uint8_t> ReplyMessage(uint16_t call, int32_t result, const void* payload,
                                  size_t size) {
  std::vector<uint8_t> message(network::kReplyHeadSize + size);
  network::EncodeReplyHead(call, result, static_cast<uint32_t>(size), message.data());
  if (size > 0) std::memcpy(message.data() + network::kReplyHeadSize, payload, size);
  return message;
}

}  // namespace

class ClassicListener::Connection final : public StreamConnection {
 public:
  Connection(asio::ip::tcp::socket socket, ClassicListener& owner, const std::string& peer)
      : StreamConnection(std::move(socket), owner.listener_, peer, kMaxRequestBytes),
        owner_(owner) {}

 protected:
  Framing Measure(const uint8_t* pending, size_t size, size_t* length) override {
    if (size < network::kRequestHeadSize) return Framing::kNeedMore;
    network::HeadError error = network::DecodeRequestHead(pending, &head_);
    if (error != network::HeadError::kNone) {
      headError_ = network::HeadErrorText(error);
      return Framing::kBroken;
    }
    *length = network::kRequestHeadSize + head_.payloadLength;
    return size >= *length ? Framing::kComplete : Framing::kNeedMore;
  }

  // Without a trustworthy head the stream cannot be followed further.
  void Broken() override {
    ++owner_.counters_.refused;
    metrics().Rejected(id(), headError_);
    LogClientEvent("classic %s: refused a request (%s), closing", peer().c_str(), headError_);
    Close();
  }

  void Handle(const uint8_t* message, size_t) override {
    ++owner_.counters_.requests;
    const uint8_t* payload = message + network::kRequestHeadSize;
    size_t size = head_.payloadLength;
    switch (head_.call) {
      case network::kConnectCall:
        metrics().FrameReceived(id(), 0);
        Answer(ReplyMessage(head_.call, 0, nullptr, 0));
        return;
      case network::kServiceKindCall:
        metrics().FrameReceived(id(), 0);
        Answer(ReplyMessage(head_.call, owner_.ServiceKind(), nullptr, 0));
        return;
      case network::kResolveCall:
        metrics().FrameReceived(id(), 0);
        Resolve(payload, size);
        return;
      case network::kConfigCall:
        Config(payload, size);
        return;
      case network::kShortIdCall:
      case network::kLongIdCall:
        Data(head_.call == network::kLongIdCall, payload, size);
        return;
    }
    Close();  // a call the head decoder let through but nobody serves
  }

 private:
  void Resolve(const uint8_t* payload, size_t size) {
    std::string identifier;
    std::string_view name(reinterpret_cast<const char*>(payload),
                          strnlen(reinterpret_cast<const char*>(payload), size));
    if (ResolveExtendedName(name, &identifier)) {
      Answer(ReplyMessage(head_.call, 0, identifier.data(), identifier.size()));
      return;
    }
    LogClientEvent("classic %s: cannot resolve \"%s\"", peer().c_str(),
                   VisibleText(name.substr(0, 200)).c_str());
    Answer(ReplyMessage(head_.call, 1, nullptr, 0));
  }

  void Data(bool longKind, const uint8_t* request, size_t size) {
    DataFaults faults = owner_.NextDataFaults();
    Batch batch;
    std::string error;
    bool valid = ClassicDataRows(head_.service, longKind, request, size, &batch, &error);
    metrics().FrameReceived(id(), valid ? static_cast<int64_t>(batch.values.size()) : 0);
    if (faults.busy) {
      ++owner_.counters_.busyAnswers;
      Block(kClassicBusy, "busy");
    } else if (faults.refuse) {
      ++owner_.counters_.refused;
      Refuse("refused as asked", kClassicRefusedAsAsked, "refused as asked");
    } else if (!valid) {
      LogClientEvent("classic %s: refused a data request for %s (%s)", peer().c_str(),
                     VisibleText(head_.service).c_str(), error.c_str());
      ++owner_.counters_.refused;
      Refuse("malformed request", kClassicMalformed, error);
    } else {
      int64_t values = static_cast<int64_t>(batch.values.size());
      Store(owner_.writer_, std::move(batch), [this, values, load = faults.load](bool stored) {
        if (!stored) {
          ++owner_.counters_.refused;
          LogClientEvent("classic %s: could not store a data request for %s", peer().c_str(),
                         VisibleText(head_.service).c_str());
          Refuse("not stored", kClassicNotStored, "could not store the records");
          return;
        }
        owner_.counters_.values += values;
        Block(0, load);
      });
    }
  }

  void Config(const uint8_t* request, size_t size) {
    metrics().FrameReceived(id(), 0);
    Batch batch;
    std::string error;
    if (!ClassicConfigRow(head_.service, request, size, &batch, &error)) {
      ++owner_.counters_.refused;
      LogClientEvent("classic %s: refused a configuration for %s (%s)", peer().c_str(),
                     VisibleText(head_.service).c_str(), error.c_str());
      Refuse("malformed request", kClassicMalformed, error);
      return;
    }
    Store(owner_.writer_, std::move(batch), [this](bool stored) {
      if (!stored) {
        ++owner_.counters_.refused;
        LogClientEvent("classic %s: could not store a configuration for %s", peer().c_str(),
                       VisibleText(head_.service).c_str());
        Refuse("not stored", kClassicNotStored, "could not store the configuration");
        return;
      }
      ++owner_.counters_.configs;
      Block(0, "");
    });
  }

  void Refuse(const char* reason, uint32_t status, const std::string& text) {
    metrics().Rejected(id(), reason);
    Block(status, text);
  }

  // Answers a data or configuration request with its reply block.
  void Block(uint32_t status, const std::string& text) {
    metrics().AnswerSent(id(), status == 0 ? 0x06 : 0x15);
    std::vector<uint8_t> block = ReplyBlock(status, text);
    Answer(ReplyMessage(head_.call, 0, block.data(), block.size()));
  }

  ClassicListener& owner_;
  network::RequestHead head_;  // of the request at hand
  const char* headError_ = "";
};

ClassicListener::ClassicListener(StorageWriter& writer, ServiceMetrics& metrics,
                                 ClassicFaults faults, ConnectionLimits limits)
    : writer_(writer),
      faults_(std::move(faults)),
      listener_("classic", Family::kClassic, metrics, limits) {}

std::string ClassicListener::Listen(const std::string& host, uint16_t port) {
  return listener_.Listen(host, port, [this](asio::ip::tcp::socket socket, const std::string& peer) {
    return std::make_shared<Connection>(std::move(socket), *this, peer);
  });
}

void ClassicListener::SetFaults(const ClassicFaults& faults) {
  platform::MutexLock lock(faultsMutex_);
  faults_ = faults;
}

int32_t ClassicListener::ServiceKind() {
  platform::MutexLock lock(faultsMutex_);
  return faults_.serviceKind;
}

ClassicListener::DataFaults ClassicListener::NextDataFaults() {
  platform::MutexLock lock(faultsMutex_);
  DataFaults next;
  ++dataRequests_;
  if (faults_.busy || faults_.busyCount > 0) {
    next.busy = true;
    if (faults_.busyCount > 0) --faults_.busyCount;
  } else if (faults_.refuseEvery > 0 && dataRequests_ % faults_.refuseEvery == 0) {
    next.refuse = true;
  }
  next.load = faults_.load;
  return next;
}

}  // namespace histfeed::service
