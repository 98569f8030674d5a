#include "universal/send_data.h"

#include "universal/diagnostics.h"
#include "universal/frame_format.h"
#include "universal/mx_connection.h"

namespace histfeed::universal {
namespace {

enum Service : int32_t { kPrimary = 0, kAlternate = 1 };

// What happened to one frame on one service.
struct Exchange {
  int32_t sent = 0;       // bytes sent, or 0 / -1 when the send failed
  int32_t ackResult = 0;  // GetAckBack's result, when an answer was read
  char ack = 0;
};

// The acknowledgement byte as the trace lines print it: widened as a
// signed char, so 0x80 appears as 0xffffff80.
unsigned int Widened(char ack) {
  return static_cast<unsigned int>(static_cast<int>(static_cast<signed char>(ack)));
}

// Sends the frame on one service and, when asked, reads its answer. The
// service's link stays locked for both, so concurrent senders never take
// each other's byte. A failed send marks the service not connected.
Exchange SendOnService(int32_t key, Service service, const char* frame, int32_t length,
                       bool readAck) {
  MxConnection& connection = Connection(key);
  KeyControl& control = connection.control;
  ServiceLink& link = service == kAlternate ? control.alternateLink : control.primaryLink;
  Exchange exchange;
  std::lock_guard<std::mutex> lock(link.exchange);
  platform::SocketHandle socket =
      service == kAlternate ? connection.alternateSocket.load() : connection.primarySocket.load();
  // An answer that came after an earlier wait gave up must not pass for
  // the answer to this frame.
  if (readAck && link.answerOverdue) {
    platform::DiscardPending(socket);
    link.answerOverdue = false;
  }
  exchange.sent = platform::SendAll(socket, frame, length);
  if (exchange.sent <= 0) {
    (service == kAlternate ? connection.alternateState : connection.primaryState) = kDisconnected;
    return exchange;
  }
  if (readAck) {
    exchange.ackResult = GetAckBack(key, service, &exchange.ack);
    if (exchange.ackResult != 0) link.answerOverdue = true;
  }
  return exchange;
}

int32_t AlternateAttempt(int32_t key, const char* frame, int32_t length) {
  MxConnection& connection = Connection(key);
  if (connection.alternateState.load() != kConnected) return kNotSent;
  bool readAck = connection.ackEnabled.load() != 0;
  Exchange exchange = SendOnService(key, kAlternate, frame, length, readAck);
  if (exchange.sent <= 0) {
    PassTrace("SendData() ALT Data Error - bytes=%d", exchange.sent);
    connection.currentConnection = kUsePrimary;
    return kNotSent;
  }
  if (!readAck) {
    connection.currentConnection = kUseAlternate;
    return 0;
  }
  if (exchange.ackResult != 0) {
    PassTrace("SendData() ALT Data Error - bytes=%d", exchange.sent);
    connection.currentConnection = kUsePrimary;
    return kNotSent;
  }
  if (exchange.ack == kAck) {
    connection.currentConnection = kUseAlternate;
    return 0;
  }
  connection.currentConnection = kUsePrimary;
  PassTrace("SendData() Data Error - BAD ACK char (%#.2x) - ignore", Widened(exchange.ack));
  return kRejected;
}

// The primary send has just failed and the alternate is connected.
int32_t FailoverAttempt(int32_t key, const char* frame, int32_t length) {
  MxConnection& connection = Connection(key);
  bool readAck = connection.ackEnabled.load() != 0;
  Exchange exchange = SendOnService(key, kAlternate, frame, length, readAck);
  if (exchange.sent <= 0) {
    PassTrace("SendData() ALT Data Error - bytes=%d", exchange.sent);
    return kNotSent;
  }
  if (!readAck) {
    connection.currentConnection = kUseAlternate;
    return 0;
  }
  if (exchange.ackResult != 0) return kNotSent;
  if (exchange.ack == kAck) {
    connection.currentConnection = kUseAlternate;
    return 0;
  }
  PassTrace("SendData() ALT Data Error - BAD ACK char (%#.2x) - ignore", Widened(exchange.ack));
  return kRejected;
}

int32_t PrimaryAttempt(int32_t key, const char* frame, int32_t length) {
  MxConnection& connection = Connection(key);
  bool readAck = connection.ackEnabled.load() != 0;
  Exchange exchange = SendOnService(key, kPrimary, frame, length, readAck);
  if (exchange.sent <= 0) {
    if (connection.alternateState.load() == kConnected) return FailoverAttempt(key, frame, length);
    PassTrace("SendData() PRI Data Error - bytes=%d", exchange.sent);
    return kNotSent;
  }
  if (!readAck) {
    connection.currentConnection = kUsePrimary;
    return 0;
  }
  if (exchange.ackResult != 0) {
    // No failover here: the primary may have taken the frame after all.
    PassTrace("SendData() PRI Data Error - BAD ACK=%d", exchange.ackResult);
    return kNotSent;
  }
  if (exchange.ack == kAck) {
    connection.currentConnection = kUsePrimary;
    return 0;
  }
  if (connection.alternateState.load() == kConnected) return AlternateAttempt(key, frame, length);
  PassTrace("SendData() Data Error - BAD ACK char (%#.2x) - ignore", Widened(exchange.ack));
  return kRejected;
}

// Trace lines that let an observer follow where data goes and how much of
// it was delivered.
void TraceDataFrame(const MxConnection& connection, int32_t before, int32_t result,
                    const char* frame, int32_t length) {
  if (!DebugMessagesOn()) return;
  int32_t after = connection.currentConnection.load();
  if (after != before) {
    PassTrace(after == kUseAlternate ? "SendData() data moved to ALT" : "SendData() data moved to PRI");
  }
  int records = FrameRecordCount(reinterpret_cast<const uint8_t*>(frame), static_cast<size_t>(length));
  if (result != 0 || records == 0) return;
  const char* service = after == kUseAlternate ? "ALT" : "PRI";
  if (connection.ackEnabled.load() != 0) {
    PassTrace("SendData() %s Data good ACK - records=%d", service, records);
  } else {
    PassTrace("SendData() %s Data sent no error - records=%d", service, records);
  }
}

int32_t SendDataFrame(int32_t key, const char* frame, int32_t length) {
  MxConnection& connection = Connection(key);
  int32_t before = connection.currentConnection.load();
  int32_t result = connection.primaryState.load() == kConnected && before == kUsePrimary
                       ? PrimaryAttempt(key, frame, length)
                       : AlternateAttempt(key, frame, length);
  TraceDataFrame(connection, before, result, frame, length);
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
int32_t ConfigStep(int32_t key, Service service, const char* frame, int32_t length,
                   const ConfigTexts& texts) {
  MxConnection& connection = Connection(key);
  bool readAck = connection.ackEnabled.load() != 0;
  int32_t result = 0;
  Exchange exchange = SendOnService(key, service, frame, length, readAck);
  if (exchange.sent <= 0) {
    TraceWith(texts.sendError, exchange.sent);
    result = kNotSent;
  } else if (readAck) {
    TraceWith(texts.ackResult, exchange.ackResult);
    if (exchange.ackResult != 0) {
      TraceWith(texts.badAck, exchange.ackResult);
      result = kNotSent;
    } else if (exchange.ack != kAck && exchange.ack != kNak) {
      TraceWith(texts.badAckChar, Widened(exchange.ack));
      result = kRejected;
    }
    if (result == 0) TraceWith(texts.goodAck);
  }
  if (result == 0) TraceWith(texts.sent);
  return result;
}

int32_t SendConfigFrame(int32_t key, const char* frame, int32_t length) {
  MxConnection& connection = Connection(key);
  int32_t primary = connection.primaryState.load();
  int32_t alternate = connection.alternateState.load();
  if (alternate == kDisconnected || primary == kDisconnected) {
    PassTrace(primary == kDisconnected ? "SendData() CONFIG FAILED - not connected to primary"
                                       : "SendData() CONFIG FAILED - not connected to alternate");
    return kNotSent;
  }
  int32_t alternateResult = 0;
  if (alternate == kConnected) {
    alternateResult = ConfigStep(key, kAlternate, frame, length, kAlternateConfig);
  }
  int32_t primaryResult = ConfigStep(key, kPrimary, frame, length, kPrimaryConfig);
  if (alternateResult != 0) {
    PassTrace("SendData() ALT Config SendError return=%d", alternateResult);
    return alternateResult;
  }
  if (primaryResult == 0) return 0;
  PassTrace("SendData() PRI Config SendError return=%d", primaryResult);
  return primaryResult;
}

}  // namespace

int32_t SendData(int32_t key, const char* frame, int32_t length, int32_t isConfig) {
  if (!IsValidKey(key) || frame == nullptr || length <= 0) return kNotSent;
  MxConnection& connection = Connection(key);
  if (connection.primaryState.load() == kDisconnected &&
      connection.alternateState.load() == kDisconnected) {
    return kNotSent;
  }
  return isConfig != 0 ? SendConfigFrame(key, frame, length) : SendDataFrame(key, frame, length);
}

}  // namespace histfeed::universal
