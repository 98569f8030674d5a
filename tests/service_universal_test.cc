// SPDX-License-Identifier: Apache-2.0
// The reference service's universal listener: what it stores and how it
// answers well-formed, malformed and hostile streams.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <limits>
#include <map>
#include <thread>
#include <vector>

#include "service/event_log.h"
#include "service/listeners/universal_listener.h"
#include "service/storage/storage.h"
#include "tests/support/loopback.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_backend.h"
#include "tests/support/temp_directory.h"
#include "wire/config_record.h"
#include "wire/frame_format.h"

namespace histfeed::service {
namespace {

using testing::ReadExactly;
using testing::WriteAll;
using universal::FindRecordType;
using universal::PointValue;
using universal::RecordType;

int Connect(uint16_t port) {
  int fd = testing::ConnectLoopback(port);
  EXPECT_GE(fd, 0);
  return fd;
}

std::vector<uint8_t> Frame(int code, const std::vector<PointValue>& points,
                           std::vector<uint8_t> extension = {}) {
  const RecordType& type = *FindRecordType(code);
  std::vector<uint8_t> records(points.size() * type.recordBytes);
  for (size_t i = 0; i < points.size(); ++i) {
    universal::EncodeRecord(type, points[i], &records[i * type.recordBytes]);
  }
  extension.resize(type.extensionBytes);
  std::vector<uint8_t> frame(universal::FrameLength(type, points.size()));
  universal::EncodeFrame(type, extension.data(), records.data(),
                         static_cast<uint16_t>(points.size()), frame.data());
  return frame;
}

// A frame of one point-id record of value `value`.
std::vector<uint8_t> OnePoint(int32_t time, const char* id = "P", double value = 1) {
  return Frame(1, {{time, 0, id, 0, value, {}}});
}

// Whether the peer closed the connection without a further byte.
bool Closed(int fd) {
  uint8_t byte;
  return !ReadExactly(fd, &byte, 1);
}

class ServiceUniversalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEventLogQuiet(true);
    ASSERT_NE(backend_.storage, nullptr);
  }
  void Start(UniversalFaults faults = {}, ConnectionLimits limits = {}) {
    listener_ = std::make_unique<UniversalListener>(backend_.writer, backend_.metrics, faults,
                                                    limits);
    ASSERT_EQ(listener_->Start("127.0.0.1", 0), "");
  }
  void TearDown() override {
    if (listener_) listener_->Stop();
  }

  // Sends a frame and returns the answer byte, or -1 when the connection ended.
  static int Exchange(int fd, const std::vector<uint8_t>& bytes) {
    EXPECT_TRUE(WriteAll(fd, bytes.data(), bytes.size()));
    uint8_t answer = 0;
    return ReadExactly(fd, &answer, 1) ? answer : -1;
  }

  std::vector<PointSummary> Summaries() {
    std::string error;
    std::vector<PointSummary> summaries = backend_.storage->Summarize(&error);
    EXPECT_EQ(error, "");
    return summaries;
  }

  testing::TempDirectory dir_;
  testing::ServiceBackend backend_{dir_.File("history.db")};
  std::unique_ptr<UniversalListener> listener_;
};

TEST_F(ServiceUniversalTest, StoresEveryRecordShapeAndAcknowledgesAfterCommit) {
  Start();
  int fd = Connect(listener_->port());
  EXPECT_EQ(Exchange(fd, Frame(1, {{100, 5, "P1", 1, 1.5, {}}, {101, 6, "P2", 0, 2.5, {}}})), 6);
  EXPECT_EQ(Exchange(fd, Frame(18, {{102, 7, std::string(140, 'x'), 0, 0, "on"}})), 6);
  std::vector<uint8_t> id(61, 0);
  std::memcpy(id.data(), "long.block", 10);
  EXPECT_EQ(Exchange(fd, Frame(7, {{103, 0, {}, 0, 3.0, {}}, {104, 0, {}, 0, 4.0, {}}}, id)), 6);
  uint8_t stamp[6];
  universal::EncodeBlockTime(200, 250, stamp);
  EXPECT_EQ(Exchange(fd, Frame(17, {{0, 0, "E1", 0, 9.0, {}}}, {stamp, stamp + 6})), 6);
  uint8_t heartBeat[12];
  universal::EncodeHeartBeatFrame(heartBeat);
  EXPECT_EQ(Exchange(fd, {heartBeat, heartBeat + 12}), 6);
  close(fd);

  EXPECT_EQ(backend_.Totals().values, 6);
  std::vector<PointSummary> summaries = Summaries();
  ASSERT_EQ(summaries.size(), 5u);
  std::map<std::string, PointSummary> byPoint;
  for (const PointSummary& summary : summaries) byPoint[summary.point] = summary;
  EXPECT_EQ(byPoint["long.block"].count, 2);
  EXPECT_EQ(byPoint["long.block"].lastTime, 104);
  EXPECT_EQ(byPoint["E1"].firstTime, 200);
  EXPECT_EQ(byPoint[std::string(129, 'x')].lastValue, "on");
  EXPECT_EQ(byPoint["P2"].lastValue, "2.5");
  EXPECT_EQ(listener_->counters().heartBeats.load(), 1);
}

TEST_F(ServiceUniversalTest, ConfigurationsAreReplacedAndDeleted) {
  Start();
  int fd = Connect(listener_->port());
  universal::ConfigFields fields;
  fields.pointId = "TIC101";
  fields.description = "Reactor temperature";
  std::vector<uint8_t> config(universal::kConfigRecordBytes);
  universal::EncodeConfigRecord(fields, config.data());
  const RecordType& type = *FindRecordType(5);
  std::vector<uint8_t> frame(universal::FrameLength(type, 1));
  universal::EncodeFrame(type, nullptr, config.data(), 1, frame.data());
  EXPECT_EQ(Exchange(fd, frame), 6);
  EXPECT_EQ(Exchange(fd, frame), 6);
  EXPECT_EQ(backend_.Totals().configs, 1);
  EXPECT_EQ(Exchange(fd, Frame(13, {{0, 0, "TIC101", 0, 0, {}}})), 6);
  EXPECT_EQ(backend_.Totals().configs, 0);
  close(fd);
}

TEST_F(ServiceUniversalTest, MalformedFramesAreRefusedWhileOthersGoOn) {
  Start();
  int fd = Connect(listener_->port());
  int other = Connect(listener_->port());

  auto bent = [](size_t at, uint8_t value) {
    std::vector<uint8_t> frame = OnePoint(1);
    frame.at(at) = value;
    return frame;
  };
  EXPECT_EQ(Exchange(fd, bent(36, 0)), 0x15);  // end marker
  EXPECT_EQ(Exchange(fd, bent(6, 4)), 0x15);   // no such record type
  EXPECT_EQ(Exchange(fd, bent(8, 2)), 0x15);   // count disagrees with the length
  EXPECT_EQ(Exchange(fd, OnePoint(1)), 6);  // the stream goes on

  // A client that stops in the middle of a frame holds up nobody else.
  std::vector<uint8_t> half = OnePoint(2, "Q", 2);
  WriteAll(fd, half.data(), half.size() / 2);
  EXPECT_EQ(Exchange(other, OnePoint(3, "R", 3)), 6);

  // An oversized length cannot be followed: refused, then closed.
  std::vector<uint8_t> huge = OnePoint(1);
  universal::PutU32(&huge[2], 1u << 30);
  EXPECT_EQ(Exchange(other, huge), 0x15);
  EXPECT_TRUE(Closed(other));
  close(fd);
  close(other);
  EXPECT_EQ(backend_.Totals().values, 2);
}

TEST_F(ServiceUniversalTest, InjectedFaultsNakAndClose) {
  Start(UniversalFaults{2, 0, 3, false});
  int fd = Connect(listener_->port());
  EXPECT_EQ(Exchange(fd, OnePoint(1)), 6);
  EXPECT_EQ(Exchange(fd, OnePoint(2)), 0x15);  // every second frame
  EXPECT_EQ(Exchange(fd, OnePoint(3)), 6);     // the third, then it closes
  EXPECT_TRUE(Closed(fd));
  close(fd);
  EXPECT_EQ(backend_.Totals().values, 2);  // the refused frame stored nothing
}

TEST_F(ServiceUniversalTest, EveryDoubleIsStoredBitForBitAndOncePerTimeStamp) {
  Start();
  int fd = Connect(listener_->port());
  const double payloadNaN = std::bit_cast<double>(uint64_t{0xfff4000000000123});
  const std::vector<double> values = {std::numeric_limits<double>::quiet_NaN(), payloadNaN,
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(), -0.0, 0.1,
                                      std::numeric_limits<double>::denorm_min()};
  const std::vector<std::string> names = {"P0", "P1", "P2", "P3", "P4", "P5", "P6"};
  std::vector<PointValue> points;
  for (size_t i = 0; i < values.size(); ++i) {
    points.push_back({static_cast<int32_t>(100 + i), 0, names[i], 0, values[i], {}});
  }
  auto frame = Frame(1, points);
  EXPECT_EQ(Exchange(fd, frame), 6);
  EXPECT_EQ(Exchange(fd, frame), 6);  // a replay after a lost acknowledgement
  points[5].value = 0.2;              // a repeat with another value replaces it
  EXPECT_EQ(Exchange(fd, Frame(1, {points[5]})), 6);
  close(fd);

  EXPECT_EQ(backend_.Totals().values, static_cast<int64_t>(values.size()));
  std::vector<std::string> texts;
  for (const PointSummary& summary : Summaries()) texts.push_back(summary.lastValue);
  EXPECT_EQ(texts, (std::vector<std::string>{"nan(0x7ff8000000000000)", "nan(0xfff4000000000123)",
                                             "inf", "-inf", "-0", "0.2", "5e-324"}));
}

TEST_F(ServiceUniversalTest, StalledAndIdleConnectionsAreClosedAndTheLimitHolds) {
  using std::chrono::milliseconds;
  ConnectionLimits limits;
  limits.maxConnections = 3;
  limits.frameTimeout = milliseconds(300);
  limits.idleTimeout = milliseconds(600);
  Start({}, limits);
  int stalled = Connect(listener_->port());
  int idle = Connect(listener_->port());
  int good = Connect(listener_->port());
  EXPECT_EQ(Exchange(good, OnePoint(1)), 6);
  // A fourth is one too many: closed at once, the others go on.
  int beyond = Connect(listener_->port());
  EXPECT_TRUE(Closed(beyond));
  close(beyond);

  // A frame whose length looks right but whose bytes stop half way, and a
  // connection that never sends: both are closed, neither answered.
  std::vector<uint8_t> half = OnePoint(2, "Q", 2);
  ASSERT_TRUE(WriteAll(stalled, half.data(), half.size() / 2));
  EXPECT_TRUE(Closed(stalled));
  EXPECT_TRUE(Closed(idle));
  EXPECT_TRUE(Closed(good));  // idle too, by now
  for (int fd : {stalled, idle, good}) close(fd);
  ASSERT_TRUE(testing::WaitUntil([&] { return listener_->openConnections() == 0; }));
  good = Connect(listener_->port());  // their places are free again
  EXPECT_EQ(Exchange(good, OnePoint(3, "P", 3)), 6);
  close(good);
  EXPECT_EQ(backend_.Totals().values, 2);
}

}  // namespace
}  // namespace histfeed::service
