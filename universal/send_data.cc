// SPDX-License-Identifier: Apache-2.0
// Direct sending of one finished frame, with failover between the primary
// and the alternate service and the one-byte acknowledgement.
//
// Each exchange is classified once (not sent, no answer, accepted,
// rejected), and one small table says for each way of trying a data frame
// what that outcome comes to.
#include <optional>

#include "histfeed.h"
#include "universal/diagnostics.h"
#include "universal/transport.h"
#include "wire/frame_format.h"

namespace histfeed::universal {
namespace {

constexpr char kAck = 0x06;
constexpr char kNak = 0x15;

// Configuration is accepted with either answer; data only with 0x06.
Outcome Classify(const LinkExchange& exchange, bool readAck, bool nakAccepts) {
  if (exchange.sent <= 0) return Outcome::kNotSent;
  if (!readAck) return Outcome::kAccepted;
  if (exchange.ackResult != 0) return Outcome::kNoAnswer;
  if (exchange.ack == kAck || (nakAccepts && exchange.ack == kNak)) return Outcome::kAccepted;
  return Outcome::kRejected;
}

// The acknowledgement byte as the trace lines print it: widened as a
// signed char, so 0x80 appears as 0xffffff80.
unsigned int Widened(char ack) {
  return static_cast<unsigned int>(static_cast<int>(static_cast<signed char>(ack)));
}

// What a step's trace line prints.
enum class Shows { kBytesSent, kAckResult, kAckByte };

// Where data frames go from then on.
enum class RouteAfter { kKeep, kPrimary, kAlternate };

struct DataStep {
  int32_t result;
  RouteAfter route;
  const char* trace;  // null: no line
  Shows shows;
  // With the alternate connected, the frame is tried this way instead,
  // and that attempt decides.
  std::optional<Attempt> onAlternate;
};

constexpr const char* kPrimaryNotSent = "SendData() PRI Data Error - bytes=%d";
constexpr const char* kPrimaryNoAnswer = "SendData() PRI Data Error - BAD ACK=%d";
constexpr const char* kAlternateNotSent = "SendData() ALT Data Error - bytes=%d";
constexpr const char* kBadAck = "SendData() Data Error - BAD ACK char (%#.2x) - ignore";
constexpr const char* kAlternateBadAck = "SendData() ALT Data Error - BAD ACK char (%#.2x) - ignore";

constexpr int32_t kNotSent = HISTFEED_NOT_SENT;
constexpr int32_t kRejected = HISTFEED_REJECTED;
constexpr RouteAfter kKeep = RouteAfter::kKeep;
constexpr RouteAfter kToPrimary = RouteAfter::kPrimary;
constexpr RouteAfter kToAlternate = RouteAfter::kAlternate;

// [attempt][outcome], both in the order of their enums.
constexpr DataStep kDataSteps[3][4] = {
    // Attempt::kPrimary. An answer missing from the primary is not failed
    // over: the primary may have taken the frame after all.
    {{kNotSent, kKeep, kPrimaryNotSent, Shows::kBytesSent, Attempt::kFailover},
     {kNotSent, kKeep, kPrimaryNoAnswer, Shows::kAckResult, {}},
     {0, kToPrimary, nullptr, Shows::kBytesSent, {}},
     {kRejected, kKeep, kBadAck, Shows::kAckByte, Attempt::kAlternate}},
    // Attempt::kAlternate: any failure sends data back to the primary.
    {{kNotSent, kToPrimary, kAlternateNotSent, Shows::kBytesSent, {}},
     {kNotSent, kToPrimary, kAlternateNotSent, Shows::kBytesSent, {}},
     {0, kToAlternate, nullptr, Shows::kBytesSent, {}},
     {kRejected, kToPrimary, kBadAck, Shows::kAckByte, {}}},
    // Attempt::kFailover: data stays aimed at the primary unless it lands.
    {{kNotSent, kKeep, kAlternateNotSent, Shows::kBytesSent, {}},
     {kNotSent, kKeep, nullptr, Shows::kBytesSent, {}},
     {0, kToAlternate, nullptr, Shows::kBytesSent, {}},
     {kRejected, kKeep, kAlternateBadAck, Shows::kAckByte, {}}},
};

// Trace lines with a format chosen at run time; every text here takes at
// most one integer argument.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void TraceWith(const char* format, int32_t value) { PassTrace(format, value); }
void TraceWith(const char* format, unsigned int value) { PassTrace(format, value); }
void TraceWith(const char* format) { PassTrace(format, 0); }
#pragma GCC diagnostic pop

void TraceStep(const DataStep& step, const LinkExchange& exchange) {
  if (step.trace == nullptr) return;
  switch (step.shows) {
    case Shows::kBytesSent: TraceWith(step.trace, exchange.sent); break;
    case Shows::kAckResult: TraceWith(step.trace, exchange.ackResult); break;
    case Shows::kAckByte: TraceWith(step.trace, Widened(exchange.ack)); break;
  }
}

// The texts of one service's configuration step.
struct ConfigTexts {
  const char* sendError;
  const char* ackResult;
  const char* badAck;
  const char* badAckChar;
  const char* goodAck;
  const char* sent;
};

constexpr ConfigTexts kAlternateConfig = {
    "SendData() ALT Config Error - bytes=%d",       "SendData() ALT Config - GetAckBack()=%d",
    "SendData() ALT Config Error - BAD ACK=%d",     "SendData() ALT Config Error - BAD ACK char (%#.2x)",
    "SendData() ALT Config good ACK",               "SendData() ALT Config sent no error"};
constexpr ConfigTexts kPrimaryConfig = {
    "SendData() PRI Config Error - bytes=%d",  "SendData() PRI Config - GetAckBack()=%d",
    "SendData() PRI Config Error - BAD ACK=%d",
    "SendData() PRI Config Error - BAD ACK char (%#.2x) - ignore",
    "SendData() PRI Config good ACK",          "SendData() PRI Config sent no error"};

// One service's part of a configuration frame, told by its lines.
int32_t ConfigResult(const LinkExchange& exchange, bool readAck, const ConfigTexts& texts) {
  Outcome outcome = Classify(exchange, readAck, /*nakAccepts=*/true);
  if (outcome == Outcome::kNotSent) {
    TraceWith(texts.sendError, exchange.sent);
    return HISTFEED_NOT_SENT;
  }
  if (readAck) TraceWith(texts.ackResult, exchange.ackResult);
  if (outcome == Outcome::kNoAnswer) {
    TraceWith(texts.badAck, exchange.ackResult);
    return HISTFEED_NOT_SENT;
  }
  if (outcome == Outcome::kRejected) {
    TraceWith(texts.badAckChar, Widened(exchange.ack));
    return HISTFEED_REJECTED;
  }
  if (readAck) TraceWith(texts.goodAck);
  TraceWith(texts.sent);
  return 0;
}

}  // namespace

LinkExchange Transport::SendOn(ServiceLink& link, const char* frame, int32_t length,
                               bool readAck) {
  return link.Send(frame, length, readAck, int64_t{ackTimeoutSeconds_.load()} * 1000);
}

int32_t Transport::TryDataFrame(Attempt attempt, const char* frame, int32_t length) {
  ServiceLink& link = attempt == Attempt::kPrimary ? primary_ : alternate_;
  if (attempt == Attempt::kAlternate && !alternate_.Connected()) return HISTFEED_NOT_SENT;
  bool readAck = ackEnabled();
  LinkExchange exchange = SendOn(link, frame, length, readAck);
  Outcome outcome = Classify(exchange, readAck, /*nakAccepts=*/false);
  const DataStep& step = kDataSteps[static_cast<int>(attempt)][static_cast<int>(outcome)];
  if (step.onAlternate && alternate_.Connected()) return TryDataFrame(*step.onAlternate, frame, length);
  if (step.route == RouteAfter::kPrimary) route_ = kUsePrimary;
  if (step.route == RouteAfter::kAlternate) route_ = kUseAlternate;
  TraceStep(step, exchange);
  return step.result;
}

// Trace lines that let an observer follow where data goes and how much of
// it was delivered.
void Transport::TraceDataFrame(DataRoute before, int32_t result, const char* frame,
                               int32_t length) const {
  if (!DebugMessagesOn()) return;
  DataRoute after = route_.load();
  if (after != before) {
    PassTrace(after == kUseAlternate ? "SendData() data moved to ALT" : "SendData() data moved to PRI");
  }
  int records = FrameRecordCount(reinterpret_cast<const uint8_t*>(frame), static_cast<size_t>(length));
  if (result != 0 || records == 0) return;
  const char* service = after == kUseAlternate ? "ALT" : "PRI";
  if (ackEnabled()) {
    PassTrace("SendData() %s Data good ACK - records=%d", service, records);
  } else {
    PassTrace("SendData() %s Data sent no error - records=%d", service, records);
  }
}

int32_t Transport::SendDataFrame(const char* frame, int32_t length) {
  DataRoute before = route_.load();
  Attempt first = primary_.Connected() && before == kUsePrimary ? Attempt::kPrimary
                                                                : Attempt::kAlternate;
  int32_t result = TryDataFrame(first, frame, length);
  TraceDataFrame(before, result, frame, length);
  return result;
}

int32_t Transport::SendConfigFrame(const char* frame, int32_t length) {
  LinkState primary = primary_.state();
  LinkState alternate = alternate_.state();
  if (alternate == kDisconnected || primary == kDisconnected) {
    PassTrace(primary == kDisconnected ? "SendData() CONFIG FAILED - not connected to primary"
                                       : "SendData() CONFIG FAILED - not connected to alternate");
    return HISTFEED_NOT_SENT;
  }
  bool readAck = ackEnabled();
  int32_t alternateResult = 0;
  if (alternate == kConnected) {
    alternateResult = ConfigResult(SendOn(alternate_, frame, length, readAck), readAck,
                                   kAlternateConfig);
  }
  int32_t primaryResult = ConfigResult(SendOn(primary_, frame, length, readAck), readAck,
                                       kPrimaryConfig);
  if (alternateResult != 0) {
    PassTrace("SendData() ALT Config SendError return=%d", alternateResult);
    return alternateResult;
  }
  if (primaryResult == 0) return 0;
  PassTrace("SendData() PRI Config SendError return=%d", primaryResult);
  return primaryResult;
}

int32_t Transport::Send(const char* frame, int32_t length, bool isConfig) {
  if (frame == nullptr || length <= 0) return HISTFEED_NOT_SENT;
  if (primary_.state() == kDisconnected && alternate_.state() == kDisconnected) {
    return HISTFEED_NOT_SENT;
  }
  return isConfig ? SendConfigFrame(frame, length) : SendDataFrame(frame, length);
}

}  // namespace histfeed::universal
