#include "service/universal_listener.h"

#include <chrono>
#include <thread>

#include "service/event_log.h"
#include "service/universal_frame_rows.h"
#include "universal/frame_format.h"

namespace histfeed::service {
namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

const char* FrameErrorText(universal::FrameError error) {
  using universal::FrameError;
  switch (error) {
    case FrameError::kNone: return "none";
    case FrameError::kTooShort: return "too short";
    case FrameError::kBadStartMarker: return "bad start marker";
    case FrameError::kBadLength: return "bad length";
    case FrameError::kUnknownType: return "unknown record type";
    case FrameError::kCountMismatch: return "record count disagrees with length";
    case FrameError::kBadEndMarker: return "bad end marker";
  }
  return "?";
}

}  // namespace

UniversalListener::UniversalListener(Storage& storage, UniversalFaults faults,
                                     ServiceMetrics* metrics)
    : storage_(storage),
      faults_(faults),
      metrics_(metrics),
      listener_("universal", [this](int socket, const std::string& peer) { Serve(socket, peer); }) {}

void UniversalListener::Serve(int socket, const std::string& peer) {
  uint8_t frame[universal::kMaxFrameBytes];
  int64_t framesHere = 0;
  MetricsConnection seen(metrics_, Family::kUniversal, peer);
  auto answer = [&](uint8_t byte) {
    if (faults_.ackDelayMs > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(faults_.ackDelayMs));
    }
    bool sent = WriteAll(socket, &byte, 1);
    if (sent) seen.AnswerSent(byte);
    return sent;
  };
  for (;;) {
    if (!ReadExactly(socket, frame, universal::kFrameHeaderBytes)) return;
    uint32_t length = universal::PeekFrameLength(frame);
    if (length < universal::kFrameOverheadBytes || length > universal::kMaxFrameBytes) {
      // Without a trustworthy length the stream cannot be followed further.
      ++counters_.refused;
      const char* reason = length == 0 ? "bad start marker" : "bad length";
      seen.Rejected(reason);
      LogEvent("universal %s: refused a frame (%s), closing", peer.c_str(), reason);
      answer(kNak);
      return;
    }
    if (!ReadExactly(socket, frame + universal::kFrameHeaderBytes,
                     length - universal::kFrameHeaderBytes)) {
      return;
    }
    ++framesHere;
    ++counters_.frames;
    universal::DecodedFrame decoded;
    universal::FrameError error = universal::DecodeFrame({frame, length}, &decoded);
    bool carriesValues = error == universal::FrameError::kNone && !decoded.type->isConfig;
    seen.FrameReceived(carriesValues ? decoded.count : 0);
    if (error != universal::FrameError::kNone) {
      ++counters_.refused;
      seen.Rejected(FrameErrorText(error));
      LogEvent("universal %s: refused a frame (%s)", peer.c_str(), FrameErrorText(error));
      if (!answer(kNak)) return;
      continue;
    }
    if (faults_.silent) continue;
    if (faults_.nakEvery > 0 && framesHere % faults_.nakEvery == 0) {
      seen.Rejected("refused as asked");
      if (!answer(kNak)) return;
      continue;
    }
    if (decoded.heartBeat) {
      ++counters_.heartBeats;
    } else {
      Batch batch = UniversalFrameRows(decoded);
      if (!storage_.Commit(batch)) {
        LogEvent("universal %s: could not store a frame", peer.c_str());
        seen.Rejected("could not store");
        if (!answer(kNak)) return;
        continue;
      }
      counters_.values += static_cast<int64_t>(batch.values.size());
      counters_.configs += static_cast<int64_t>(batch.configs.size());
      counters_.deletions += static_cast<int64_t>(batch.deletions.size());
    }
    if (!answer(kAck)) return;
    if (faults_.closeAfter > 0 && framesHere >= faults_.closeAfter) {
      LogEvent("universal %s: closing after %lld frames, as asked", peer.c_str(),
               static_cast<long long>(framesHere));
      return;
    }
  }
}

}  // namespace histfeed::service
