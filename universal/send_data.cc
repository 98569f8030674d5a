// SPDX-License-Identifier: Apache-2.0
#include "histfeed.h"
#include "universal/send_data.h"

#include "universal/diagnostics.h"
#include "wire/frame_format.h"

namespace histfeed::universal {
namespace {

// The acknowledgement byte as the trace lines print it: widened as a
// signed char, so 0x80 appears as 0xffffff80.
unsigned int Widened(char ack) {
  return static_cast<unsigned int>(static_cast<int>(static_cast<signed char>(ack)));
}

// Sends the frame on one of the key's links and, when asked, reads the
// answer within the key's time-out.
LinkExchange SendOn(const Key& key, ServiceLink& link, const char* frame, int32_t length,
                    bool readAck) {
  return link.Send(frame, length, readAck, int64_t{key.ackTimeoutSeconds.load()} * 1000);
}

int32_t AlternateAttempt(Key& key, const char* frame, int32_t length) {
  if (key.alternate.state.load() != kConnected) return HISTFEED_NOT_SENT;
  bool readAck = key.ackEnabled.load() != 0;
  LinkExchange exchange = SendOn(key, key.alternate, frame, length, readAck);
  if (exchange.sent <= 0) {
    PassTrace("SendData() ALT Data Error - bytes=%d", exchange.sent);
    key.currentConnection = kUsePrimary;
    return HISTFEED_NOT_SENT;
  }
  if (!readAck) {
    key.currentConnection = kUseAlternate;
    return 0;
  }
  if (exchange.ackResult != 0) {
    PassTrace("SendData() ALT Data Error - bytes=%d", exchange.sent);
    key.currentConnection = kUsePrimary;
    return HISTFEED_NOT_SENT;
  }
  if (exchange.ack == kAck) {
    key.currentConnection = kUseAlternate;
    return 0;
  }
  key.currentConnection = kUsePrimary;
  PassTrace("SendData() Data Error - BAD ACK char (%#.2x) - ignore", Widened(exchange.ack));
  return HISTFEED_REJECTED;
}

// The primary send has just failed and the alternate is connected.
int32_t FailoverAttempt(Key& key, const char* frame, int32_t length) {
  bool readAck = key.ackEnabled.load() != 0;
  LinkExchange exchange = SendOn(key, key.alternate, frame, length, readAck);
  if (exchange.sent <= 0) {
    PassTrace("SendData() ALT Data Error - bytes=%d", exchange.sent);
    return HISTFEED_NOT_SENT;
  }
  if (!readAck) {
    key.currentConnection = kUseAlternate;
    return 0;
  }
  if (exchange.ackResult != 0) return HISTFEED_NOT_SENT;
  if (exchange.ack == kAck) {
    key.currentConnection = kUseAlternate;
    return 0;
  }
  PassTrace("SendData() ALT Data Error - BAD ACK char (%#.2x) - ignore", Widened(exchange.ack));
  return HISTFEED_REJECTED;
}

int32_t PrimaryAttempt(Key& key, const char* frame, int32_t length) {
  bool readAck = key.ackEnabled.load() != 0;
  LinkExchange exchange = SendOn(key, key.primary, frame, length, readAck);
  if (exchange.sent <= 0) {
    if (key.alternate.state.load() == kConnected) return FailoverAttempt(key, frame, length);
    PassTrace("SendData() PRI Data Error - bytes=%d", exchange.sent);
    return HISTFEED_NOT_SENT;
  }
  if (!readAck) {
    key.currentConnection = kUsePrimary;
    return 0;
  }
  if (exchange.ackResult != 0) {
    // No failover here: the primary may have taken the frame after all.
    PassTrace("SendData() PRI Data Error - BAD ACK=%d", exchange.ackResult);
    return HISTFEED_NOT_SENT;
  }
  if (exchange.ack == kAck) {
    key.currentConnection = kUsePrimary;
    return 0;
  }
  if (key.alternate.state.load() == kConnected) return AlternateAttempt(key, frame, length);
  PassTrace("SendData() Data Error - BAD ACK char (%#.2x) - ignore", Widened(exchange.ack));
  return HISTFEED_REJECTED;
}

// Trace lines that let an observer follow where data goes and how much of
// it was delivered.
void TraceDataFrame(const Key& key, DataRoute before, int32_t result,
                    const char* frame, int32_t length) {
  if (!DebugMessagesOn()) return;
  DataRoute after = key.currentConnection.load();
  if (after != before) {
    PassTrace(after == kUseAlternate ? "SendData() data moved to ALT" : "SendData() data moved to PRI");
  }
  int records = FrameRecordCount(reinterpret_cast<const uint8_t*>(frame), static_cast<size_t>(length));
  if (result != 0 || records == 0) return;
  const char* service = after == kUseAlternate ? "ALT" : "PRI";
  if (key.ackEnabled.load() != 0) {
    PassTrace("SendData() %s Data good ACK - records=%d", service, records);
  } else {
    PassTrace("SendData() %s Data sent no error - records=%d", service, records);
  }
}

int32_t SendDataFrame(Key& key, const char* frame, int32_t length) {
  DataRoute before = key.currentConnection.load();
  int32_t result = key.primary.state.load() == kConnected && before == kUsePrimary
                       ? PrimaryAttempt(key, frame, length)
                       : AlternateAttempt(key, frame, length);
  TraceDataFrame(key, before, result, frame, length);
  return result;
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

// Trace lines with a format chosen at run time; every text above takes
// at most one integer argument.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
void TraceWith(const char* format, int32_t value) { PassTrace(format, value); }
void TraceWith(const char* format, unsigned int value) { PassTrace(format, value); }
void TraceWith(const char* format) { PassTrace(format, 0); }
#pragma GCC diagnostic pop

// Configuration is accepted with 0x06 or 0x15.
int32_t ConfigStep(Key& key, ServiceLink& link, const char* frame, int32_t length,
                   const ConfigTexts& texts) {
  bool readAck = key.ackEnabled.load() != 0;
  int32_t result = 0;
  LinkExchange exchange = SendOn(key, link, frame, length, readAck);
  if (exchange.sent <= 0) {
    TraceWith(texts.sendError, exchange.sent);
    result = HISTFEED_NOT_SENT;
  } else if (readAck) {
    TraceWith(texts.ackResult, exchange.ackResult);
    if (exchange.ackResult != 0) {
      TraceWith(texts.badAck, exchange.ackResult);
      result = HISTFEED_NOT_SENT;
    } else if (exchange.ack != kAck && exchange.ack != kNak) {
      TraceWith(texts.badAckChar, Widened(exchange.ack));
      result = HISTFEED_REJECTED;
    }
    if (result == 0) TraceWith(texts.goodAck);
  }
  if (result == 0) TraceWith(texts.sent);
  return result;
}

int32_t SendConfigFrame(Key& key, const char* frame, int32_t length) {
  LinkState primary = key.primary.state.load();
  LinkState alternate = key.alternate.state.load();
  if (alternate == kDisconnected || primary == kDisconnected) {
    PassTrace(primary == kDisconnected ? "SendData() CONFIG FAILED - not connected to primary"
                                       : "SendData() CONFIG FAILED - not connected to alternate");
    return HISTFEED_NOT_SENT;
  }
  int32_t alternateResult = 0;
  if (alternate == kConnected) {
    alternateResult = ConfigStep(key, key.alternate, frame, length, kAlternateConfig);
  }
  int32_t primaryResult = ConfigStep(key, key.primary, frame, length, kPrimaryConfig);
  if (alternateResult != 0) {
    PassTrace("SendData() ALT Config SendError return=%d", alternateResult);
    return alternateResult;
  }
  if (primaryResult == 0) return 0;
  PassTrace("SendData() PRI Config SendError return=%d", primaryResult);
  return primaryResult;
}

}  // namespace

int32_t SendData(Key& key, const char* frame, int32_t length, int32_t isConfig) {
  if (frame == nullptr || length <= 0) return HISTFEED_NOT_SENT;
  if (key.primary.state.load() == kDisconnected &&
      key.alternate.state.load() == kDisconnected) {
    return HISTFEED_NOT_SENT;
  }
  return isConfig != 0 ? SendConfigFrame(key, frame, length) : SendDataFrame(key, frame, length);
}

}  // namespace histfeed::universal
