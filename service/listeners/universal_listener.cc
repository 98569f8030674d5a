// SPDX-License-Identifier: Apache-2.0
#include "service/listeners/universal_listener.h"

#include "service/event_log.h"
#include "service/listeners/stream_connection.h"
#include "service/listeners/universal_frame_rows.h"
#include "wire/frame_format.h"

namespace histfeed::service {
namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

}  // namespace

class UniversalListener::Connection final : public StreamConnection {
 public:
  Connection(asio::ip::tcp::socket socket, UniversalListener& owner, const std::string& peer)
      : StreamConnection(std::move(socket), owner.listener_, peer, universal::kMaxFrameBytes),
        owner_(owner) {}

 protected:
  Framing Measure(const uint8_t* pending, size_t size, size_t* length) override {
    if (size < universal::kFrameHeaderBytes) return Framing::kNeedMore;
    uint32_t frameLength = universal::PeekFrameLength(pending);
    if (frameLength < universal::kFrameOverheadBytes || frameLength > universal::kMaxFrameBytes) {
      badLength_ = frameLength == 0 ? "bad start marker" : "bad length";
      return Framing::kBroken;
    }
    *length = frameLength;
    return size >= frameLength ? Framing::kComplete : Framing::kNeedMore;
  }

  // Without a trustworthy length the stream cannot be followed further.
  void Broken() override {
    ++owner_.counters_.refused;
    metrics().Rejected(id(), badLength_);
    LogClientEvent("universal %s: refused a frame (%s), closing", peer().c_str(), badLength_);
    Reply(kNak, /*thenClose=*/true);
  }

  void Handle(const uint8_t* frame, size_t length) override {
    ++framesHere_;
    ++owner_.counters_.frames;
    universal::DecodedFrame decoded;
    universal::FrameError error = universal::DecodeFrame({frame, length}, &decoded);
    if (error != universal::FrameError::kNone) {
      metrics().FrameReceived(id(), 0);
      ++owner_.counters_.refused;
      metrics().Rejected(id(), FrameErrorText(error));
      LogClientEvent("universal %s: refused a frame (%s)", peer().c_str(), FrameErrorText(error));
      Reply(kNak);
      return;
    }
    Batch batch = UniversalFrameRows(decoded);
    metrics().FrameReceived(id(), static_cast<int64_t>(batch.values.size()));
    const UniversalFaults& faults = owner_.faults_;
    if (faults.silent) {
      Skip();
    } else if (faults.nakEvery > 0 && framesHere_ % faults.nakEvery == 0) {
      Reply(kNak);
    } else if (decoded.heartBeat) {
      ++owner_.counters_.heartBeats;
      Acknowledge();
    } else {
      StoreFrame(std::move(batch));
    }
  }

 private:
  void StoreFrame(Batch batch) {
    int64_t values = static_cast<int64_t>(batch.values.size());
    int64_t configs = static_cast<int64_t>(batch.configs.size());
    int64_t deletions = static_cast<int64_t>(batch.deletions.size());
    Store(owner_.writer_, std::move(batch), [this, values, configs, deletions](bool stored) {
      if (!stored) {
        metrics().Rejected(id(), "not stored");
        LogClientEvent("universal %s: could not store a frame", peer().c_str());
        Reply(kNak);
        return;
      }
      owner_.counters_.values += values;
      owner_.counters_.configs += configs;
      owner_.counters_.deletions += deletions;
      Acknowledge();
    });
  }

  void Acknowledge() {
    int closeAfter = owner_.faults_.closeAfter;
    bool last = closeAfter > 0 && framesHere_ >= closeAfter;
    if (last) {
      LogClientEvent("universal %s: closing after %lld frames, as asked", peer().c_str(),
                     static_cast<long long>(framesHere_));
    }
    Reply(kAck, last);
  }

  void Reply(uint8_t byte, bool thenClose = false) {
    metrics().AnswerSent(id(), byte);
    int delayMs = owner_.faults_.ackDelayMs;
    if (delayMs <= 0) {
      Answer({byte}, thenClose);
      return;
    }
    After(std::chrono::milliseconds(delayMs), [this, byte, thenClose] { Answer({byte}, thenClose); });
  }

  UniversalListener& owner_;
  int64_t framesHere_ = 0;
  const char* badLength_ = "";
};

UniversalListener::UniversalListener(StorageWriter& writer, ServiceMetrics& metrics,
                                     UniversalFaults faults, ConnectionLimits limits)
    : writer_(writer),
      faults_(faults),
      listener_("universal", Family::kUniversal, metrics, limits) {}

std::string UniversalListener::Listen(const std::string& host, uint16_t port) {
  return listener_.Listen(host, port, [this](asio::ip::tcp::socket socket, const std::string& peer) {
    return std::make_shared<Connection>(std::move(socket), *this, peer);
  });
}

}  // namespace histfeed::service
