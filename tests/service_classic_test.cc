// SPDX-License-Identifier: Apache-2.0
// The classic family end to end: buffers delivered by the sender through
// the built-in network backend to the reference service's classic
// listener, stored in a temporary database; the service's busy and load
// answers reaching the family's busy flag and rate table.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "classic/sender.h"
#include "histfeed.h"
#include "classic/service_buffer.h"
#include "classic/service_load.h"
#include "client_library/client_library.h"
#include "client_library/network_client_library.h"
#include "client_library/network_protocol.h"
#include "platform/socket.h"
#include "service/classic_listener.h"
#include "service/classic_request_rows.h"
#include "service/event_log.h"
#include "service/storage.h"
#include "tests/support/classic_fixture.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_backend.h"
#include "tests/support/temp_directory.h"

namespace histfeed::service {
namespace {

using namespace histfeed::classic;
using histfeed::testing::AddRecords;
using histfeed::testing::StateOf;
using histfeed::testing::WaitUntil;

struct StoredValue {
  std::string idKind, point;
  int64_t time = 0;
  int32_t msec = 0, status = 0;
  bool isNumber = false;
  double value = 0;
  std::string text;
};

// Reads what the service stored, through a connection of its own.
std::vector<StoredValue> StoredValues(const std::string& path) {
  std::vector<StoredValue> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return rows;
  }
  sqlite3_stmt* statement = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT id_kind, point, time, msec, status, value, text_value FROM "
                     "point_values WHERE family = 'classic' ORDER BY rowid",
                     -1, &statement, nullptr);
  while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
    StoredValue row;
    row.idKind = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    row.point = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
    row.time = sqlite3_column_int64(statement, 2);
    row.msec = sqlite3_column_int(statement, 3);
    row.status = sqlite3_column_int(statement, 4);
    row.isNumber = sqlite3_column_type(statement, 5) != SQLITE_NULL;
    row.value = sqlite3_column_double(statement, 5);
    const unsigned char* text = sqlite3_column_text(statement, 6);
    row.text = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    rows.push_back(row);
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

uint32_t ReplyStatus(const uint8_t* reply) {
  uint32_t status;
  std::memcpy(&status, reply + TARVO_REPLY_STATUS_OFFSET, 4);
  return status;
}

std::vector<uint8_t> ConfigRequest(const char* pointId, const char* description) {
  std::vector<uint8_t> request(TARVO_CONFIG_REQUEST_SIZE, 0);
  request[0] = TARVO_CODE_CONFIG & 0xFF;
  request[1] = TARVO_CODE_CONFIG >> 8;
  request[2] = 1;
  std::memcpy(request.data() + 72, pointId, std::min<size_t>(std::strlen(pointId), 8));
  std::memcpy(request.data() + 81, description, std::strlen(description));
  return request;
}

class ServiceClassicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEventLogQuiet(true);
    ResetClassicStateForTesting();
    ASSERT_EQ(storage_.Open(path_), "");
  }

  void Start(ClassicFaults faults = {}, uint16_t port = 0) {
    listener_ = std::make_unique<ClassicListener>(service_.writer, service_.metrics, faults);
    ASSERT_EQ(listener_->Start("127.0.0.1", port), "");
    if (backend_ == nullptr) {
      std::string map = "Plant=127.0.0.1:" + std::to_string(listener_->port()) +
                        ";Plant.Unit1=127.0.0.1:" + std::to_string(listener_->port());
      // Time-outs far beyond what a loaded machine needs to answer.
      backend_ = client_library::MakeNetworkClientLibrary(
          client_library::network::ServiceAddresses::Parse(map, nullptr), {1000000, 1000000});
      client_library::SetClientLibraryForTesting(backend_.get());
    }
  }

  void TearDown() override {
    if (listener_) listener_->SetFaults({});
    histfeed::testing::StopSenderNow();
    client_library::SetClientLibraryForTesting(nullptr);
    if (listener_) listener_->Stop();
    ResetClassicStateForTesting();
  }

  // Queues the buffer and waits until the sender has delivered it.
  ::testing::AssertionResult Deliver(int32_t b) {
    if (QueueServiceBuffer(b) != 1) return ::testing::AssertionFailure() << "not queued";
    if (!WaitUntil([&] { return StateOf(b) == kFree; })) {
      return ::testing::AssertionFailure() << "not delivered";
    }
    return ::testing::AssertionSuccess();
  }

  histfeed::testing::ScopedTimeScale fast_{100};
  histfeed::testing::TempDirectory dir_;
  std::string path_ = dir_.File("history.db");
  Storage storage_;
  histfeed::testing::ServiceBackend service_{storage_};
  std::unique_ptr<ClassicListener> listener_;
  std::unique_ptr<client_library::ClientLibrary> backend_;
};

TEST_F(ServiceClassicTest, SenderDeliversShortAndLongBuffersIntoTheDatabase) {
  Start();
  ASSERT_EQ(StartSender(), 1);
  ASSERT_TRUE(Deliver(AddRecords("plant", kShortIdKind, 3)));
  ASSERT_TRUE(Deliver(AddRecords("Plant", kLongIdKind, 2)));

  std::vector<StoredValue> rows = StoredValues(path_);
  ASSERT_EQ(rows.size(), 5u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rows[i].idKind, "point");
    EXPECT_EQ(rows[i].point, "PLANT.P" + std::to_string(i));
    EXPECT_EQ(rows[i].time, 1000 + i);
    EXPECT_EQ(rows[i].msec, i);
    EXPECT_EQ(rows[i].status, 3);
    EXPECT_TRUE(rows[i].isNumber);
    EXPECT_EQ(rows[i].value, i);
  }
  EXPECT_EQ(rows[3].idKind, "long");
  EXPECT_EQ(rows[4].point, "PLANT.P1");
  EXPECT_EQ(rows[4].status, 0x1003);
  EXPECT_EQ(listener_->counters().values.load(), 5);
  EXPECT_EQ(Classic().busy.load(), 0);
}

TEST_F(ServiceClassicTest, LoadReportReachesTheRateTable) {
  ClassicFaults faults;
  faults.load = "120,400";
  Start(faults);
  ASSERT_EQ(StartSender(), 1);
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 1)));
  LoadReport report{};
  ASSERT_TRUE(LookUpServiceLoad("PLANT", &report));
  EXPECT_EQ(report.count, 120u);
  EXPECT_EQ(report.capacity, 400u);
}

TEST_F(ServiceClassicTest, BusyServiceHoldsTheBufferAndSetsTheBusyFlagUntilItRecovers) {
  ClassicFaults busy;
  busy.busy = true;
  Start(busy);
  ASSERT_EQ(StartSender(), 1);
  int32_t b = AddRecords("Plant", kShortIdKind, 4);
  ASSERT_EQ(QueueServiceBuffer(b), 1);
  ASSERT_TRUE(WaitUntil([] { return Classic().busy.load() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return listener_->counters().busyAnswers.load() >= 3; }));
  EXPECT_EQ(StateOf(b), kPendingFlush);
  EXPECT_EQ(StoredValues(path_).size(), 0u);

  listener_->SetFaults({});
  ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  EXPECT_EQ(Classic().busy.load(), 0);
  EXPECT_EQ(StoredValues(path_).size(), 4u);  // stored once, despite the repeats
}

TEST_F(ServiceClassicTest, RefusedRequestsAreDeliveredAgainWithoutLossOrDuplicates) {
  ClassicFaults faults;
  faults.refuseEvery = 2;
  Start(faults);
  ASSERT_EQ(StartSender(), 1);
  const char* services[] = {"Plant", "Plant.Unit1"};
  std::vector<int32_t> buffers;
  for (int i = 0; i < 2; ++i) buffers.push_back(AddRecords(services[i], kShortIdKind, 5 + i));
  for (int32_t b : buffers) ASSERT_EQ(QueueServiceBuffer(b), 1);
  for (int32_t b : buffers) ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  std::vector<StoredValue> rows = StoredValues(path_);
  ASSERT_EQ(rows.size(), 11u);
  // In order: the first buffer's rows, then the second's.
  EXPECT_EQ(rows[0].point, "PLANT.P0");
  EXPECT_EQ(rows[5].point, "PLANT.UNIT1.P0");
  EXPECT_GE(listener_->counters().refused.load(), 1);
}

TEST_F(ServiceClassicTest, ConfigurationResolveAndServiceKindCalls) {
  ClassicFaults faults;
  faults.serviceKind = 1;
  Start(faults);
  using namespace histfeed::client_library;
  ASSERT_EQ(Connect("Plant.Unit1"), 0);
  EXPECT_EQ(ServiceKind("Plant.Unit1"), 1);
  char point[10];
  ASSERT_EQ(ResolvePoint("Plant", "Plant.Unit1.tag12345678", point, sizeof point), 0);
  EXPECT_STREQ(point, "TAG12345");
  EXPECT_NE(ResolvePoint("Plant", "Plant.Unit1.", point, sizeof point), 0);

  std::vector<uint8_t> request = ConfigRequest("AB123456", "BOILER FEED PUMP");
  uint8_t reply[TARVO_REPLY_SIZE] = {};
  ASSERT_EQ(Stamp(request.data() + TARVO_STAMP_OFFSET, TARVO_STAMP_SIZE), 0);
  ASSERT_EQ(ConfigExchange("Plant.Unit1", request.data(), reply), 0);
  EXPECT_EQ(ReplyStatus(reply), 0u);
  EXPECT_EQ(storage_.CountConfigs(), 1);

  // Two records in a configuration request: refused with a reason.
  request[2] = 2;
  ASSERT_EQ(ConfigExchange("Plant.Unit1", request.data(), reply), 0);
  EXPECT_EQ(ReplyStatus(reply), kClassicMalformed);
  EXPECT_NE(reinterpret_cast<const char*>(reply + TARVO_REPLY_TEXT_OFFSET)[0], '\0');
  EXPECT_EQ(storage_.CountConfigs(), 1);
}

TEST_F(ServiceClassicTest, DeliveryResumesAfterTheServiceRestarts) {
  Start();
  ASSERT_EQ(StartSender(), 1);
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 2)));
  uint16_t port = listener_->port();
  listener_->Stop();
  // Down: the buffer waits at the head of the send queue.
  int32_t b = AddRecords("Plant", kShortIdKind, 3);
  ASSERT_EQ(QueueServiceBuffer(b), 1);
  EXPECT_EQ(StateOf(b), kPendingFlush);
  Start({}, port);
  ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  // P0 and P1 come again with the same time stamps and are kept once; P2 is new.
  EXPECT_EQ(StoredValues(path_).size(), 3u);
}

TEST_F(ServiceClassicTest, StopProcessClosesTheBackendsConnections) {
  Start();
  ASSERT_EQ(StartSender(), 1);
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 2)));
  EXPECT_EQ(listener_->openConnections(), 1);
  EXPECT_EQ(StopProcess(), 0);
  EXPECT_TRUE(WaitUntil([&] { return listener_->openConnections() == 0; }));
  // The next delivery connects again.
  ASSERT_EQ(StartSender(), 1);
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 3)));
  EXPECT_EQ(StoredValues(path_).size(), 3u);
}

// Texts that end where a protected page begins: reading one byte past
// them stops the test with a fault, with or without a sanitizer.
class GuardedTexts {
 public:
  GuardedTexts() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_ = 17 * page_;
    memory_ = static_cast<char*>(
        mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(memory_, MAP_FAILED);
    EXPECT_EQ(mprotect(memory_ + 16 * page_, page_, PROT_NONE), 0);
  }
  ~GuardedTexts() { munmap(memory_, size_); }
  // `length` bytes of `fill`, no terminator, the last one before the guard.
  const char* Unterminated(char fill, size_t length) {
    char* text = memory_ + 16 * page_ - length;
    std::memset(text, fill, length);
    return text;
  }

 private:
  size_t page_ = 0, size_ = 0;
  char* memory_ = nullptr;
};

TEST_F(ServiceClassicTest, CallerTextsAreReadOnlyWithinTheirFields) {
  Start();
  ASSERT_EQ(StartSender(), 1);
  GuardedTexts texts;
  const size_t kLong = 64 * 1024;
  // A service name with no end is read as far as a service name goes; the
  // call's outcome depends on where that name leads, its safety does not.
  KelAddAnalogExtIdMsecRecordNoStatus(texts.Unterminated('P', kLong), "plant.unit.t1", 1000, 1.5,
                                      0);
  EXPECT_NE(KelAddAnalogShortIdRecord(texts.Unterminated(' ', kLong), "P1", 1000, 1.5, 0, 0, 0, 0,
                                      0, 0, 0, 0),
            0);  // blank as far as a service name goes
  char message[128];
  EXPECT_NE(KelFlushShortIdRecords(texts.Unterminated('Q', kLong), message, sizeof message), 0);
  EXPECT_NE(std::string(message).find(std::string(19, 'Q')), std::string::npos);
  EXPECT_EQ(SnapShotDebug(texts.Unterminated('s', kLong)), -1);  // longer than any path
  int32_t key = -1;
  // A cache folder name longer than any the system takes.
  EXPECT_NE(VornMxUniversalInitialize(&key, 1, 1, 1, 409, texts.Unterminated('c', kLong),
                                      texts.Unterminated('d', kLong)),
            0);
  ASSERT_EQ(VornMxUniversalInitialize(&key, 1, 0, 0, 0, nullptr, nullptr), 0);
  EXPECT_NE(VornMxUniversalDataConnect(key, texts.Unterminated('h', kLong), 1, nullptr, 0), 0);
  VornMxUniversalCloseSocket(key);
}

TEST_F(ServiceClassicTest, HostileStreamIsClosedAndOthersAreStillServed) {
  Start();
  platform::SocketHandle raw = platform::Sockets().OpenStreamSocket();
  uint8_t host[4] = {127, 0, 0, 1};
  ASSERT_TRUE(
      platform::Sockets().ConnectSocket(raw, platform::MakeIpv4Address(host, listener_->port())));
  // A head that claims a huge payload.
  uint8_t head[client_library::network::kRequestHeadSize];
  client_library::network::EncodeRequestHead(client_library::network::kShortIdCall, "Plant",
                                              0x7FFFFFFF, head);
  ASSERT_EQ(platform::Sockets().SendAll(raw, head, sizeof head), static_cast<int32_t>(sizeof head));
  uint8_t byte;
  platform::WaitResult wait;
  EXPECT_EQ(platform::Sockets().ReceiveWithin(raw, &byte, 1, 1000000, &wait),
            0);  // closed, no answer
  platform::Sockets().CloseSocket(raw);
  EXPECT_EQ(listener_->counters().refused.load(), 1);
  EXPECT_EQ(client_library::Connect("Plant"), 0);
}

// No plug-in named: the first call chooses the network backend, which finds
// the service through HISTFEED_SERVICES. Runs at real time, so that the
// backend's own time-outs hold on a loaded machine.
TEST(ServiceClassicEnvironmentTest, WithoutAPluginServicesAreFoundThroughTheEnvironment) {
  SetEventLogQuiet(true);
  histfeed::testing::TempDirectory dir;
  Storage storage;
  ASSERT_EQ(storage.Open(dir.File("history.db")), "");
  histfeed::testing::ServiceBackend backend(storage);
  ClassicListener listener(backend.writer, backend.metrics, {});
  ASSERT_EQ(listener.Start("127.0.0.1", 0), "");
  unsetenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE);
  std::string map = "plant=127.0.0.1:" + std::to_string(listener.port());
  ASSERT_EQ(setenv(client_library::network::kServicesVariable, map.c_str(), 1), 0);
  ResetClassicStateForTesting();

  ASSERT_EQ(StartSender(), 1);
  int32_t b = AddRecords("PLANT", kShortIdKind, 3);
  ASSERT_EQ(QueueServiceBuffer(b), 1);
  EXPECT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  histfeed::testing::StopSenderNow();
  EXPECT_EQ(storage.CountValues(), 3);
  listener.Stop();
  ResetClassicStateForTesting();
}

TEST(ClassicRequestRowsTest, RecordsBecomeRowsAndMalformedRequestsAreRefused) {
  std::vector<uint8_t> request(TARVO_SHORT_ID_REQUEST_SIZE, 0);
  request[0] = TARVO_CODE_SHORT_ID_DATA & 0xFF;
  request[1] = TARVO_CODE_SHORT_ID_DATA >> 8;
  request[2] = 4;
  const char* values[] = {"      1.25000000", "ON", "             NAN", ""};
  for (int i = 0; i < 4; ++i) {
    uint8_t* record = request.data() + 72 + 40 * i;
    std::memcpy(record + 6, "ABCDEFGH", 8);  // fills its field: no terminator
    record[14] = 'Z';                        // the byte after it is not part of it
    std::strcpy(reinterpret_cast<char*>(record + 17), values[i]);
  }
  Batch batch;
  std::string error;
  ASSERT_TRUE(ClassicDataRows(" plant ", false, request.data(), request.size(), &batch, &error));
  ASSERT_EQ(batch.values.size(), 4u);
  EXPECT_EQ(batch.values[0].point, "PLANT.ABCDEFGH");
  EXPECT_FALSE(batch.values[0].isText);
  EXPECT_EQ(batch.values[0].value, 1.25);
  EXPECT_TRUE(batch.values[1].isText);
  EXPECT_EQ(batch.values[1].text, "ON");
  // Not a finite number: kept as its text, which a database would not lose.
  EXPECT_TRUE(batch.values[2].isText);
  EXPECT_TRUE(batch.values[3].isText);

  // A value text without a terminator is read within its field only.
  std::memset(request.data() + 72 + 17, '7', 23);
  Batch cut;
  ASSERT_TRUE(ClassicDataRows("Plant", false, request.data(), request.size(), &cut, &error));
  EXPECT_EQ(cut.values[0].value, 77777777777777777.0);

  request[2] = 101;  // more records than a request holds
  Batch refused;
  EXPECT_FALSE(ClassicDataRows("Plant", false, request.data(), request.size(), &refused, &error));
  EXPECT_TRUE(refused.values.empty());
  request[2] = 1;
  EXPECT_FALSE(ClassicDataRows("Plant", true, request.data(), TARVO_LONG_ID_REQUEST_SIZE,
                               &refused, &error));  // short code on a long exchange
  EXPECT_NE(error.find("8101"), std::string::npos) << error;
}

TEST(ClassicRequestRowsTest, ExtendedNamesResolveToTheirLastPart) {
  std::string id;
  ASSERT_TRUE(ResolveExtendedName(" Plant.Unit1.ab12345678 ", &id));
  EXPECT_EQ(id, "AB123456");
  ASSERT_TRUE(ResolveExtendedName("tag", &id));
  EXPECT_EQ(id, "TAG");
  EXPECT_FALSE(ResolveExtendedName("Plant.Unit1.", &id));
  EXPECT_FALSE(ResolveExtendedName("   ", &id));
}

}  // namespace
}  // namespace histfeed::service
