// SPDX-License-Identifier: Apache-2.0
// The classic family end to end: buffers delivered by the sender through
// the built-in network backend to the reference service's classic
// listener, stored in a temporary database; the service's busy and load
// answers reaching the family's busy flag and rate table.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "classic/sender.h"
#include "classic/service_buffer.h"
#include "classic/service_load.h"
#include "client_library/client_library.h"
#include "client_library/network_client_library.h"
#include "histfeed.h"
#include "platform/socket.h"
#include "service/event_log.h"
#include "service/listeners/classic_listener.h"
#include "service/listeners/classic_request_rows.h"
#include "service/storage/storage.h"
#include "tests/support/classic_fixture.h"
#include "tests/support/database_rows.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_backend.h"
#include "tests/support/temp_directory.h"
#include "wire/classic_network_protocol.h"

namespace histfeed::service {
namespace {

using namespace histfeed::classic;
using histfeed::testing::AddRecords;
using histfeed::testing::StateOf;
using histfeed::testing::WaitUntil;

uint32_t ReplyStatus(const uint8_t* reply) {
  uint32_t status;
  std::memcpy(&status, reply + TARVO_REPLY_STATUS_OFFSET, 4);
  return status;
}

// No faults but the one field set to `value`.
template <typename Field, typename Value>
ClassicFaults Faults(Field ClassicFaults::*field, Value value) {
  ClassicFaults faults;
  faults.*field = value;
  return faults;
}

// A request of `size` bytes with its code and record count, the rest zero.
std::vector<uint8_t> Request(size_t size, uint16_t code, uint8_t count) {
  std::vector<uint8_t> request(size, 0);
  request[0] = code & 0xFF;
  request[1] = static_cast<uint8_t>(code >> 8);
  request[2] = count;
  return request;
}

std::vector<uint8_t> ConfigRequest(const char* pointId, const char* description) {
  std::vector<uint8_t> request = Request(TARVO_CONFIG_REQUEST_SIZE, TARVO_CODE_CONFIG, 1);
  std::memcpy(request.data() + 72, pointId, std::min<size_t>(std::strlen(pointId), 8));
  std::memcpy(request.data() + 81, description, std::strlen(description));
  return request;
}

class ServiceClassicTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetEventLogQuiet(true);
    ResetClassicStateForTesting();
    ASSERT_NE(service_.storage, nullptr);
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

  // Starts the listener and the sender.
  ::testing::AssertionResult StartWithSender(ClassicFaults faults = {}) {
    Start(faults);
    if (StartSender() != 1) return ::testing::AssertionFailure() << "no sender";
    return ::testing::AssertionSuccess();
  }

  void TearDown() override {
    if (listener_) listener_->SetFaults({});
    histfeed::testing::StopSenderNow();
    client_library::SetClientLibraryForTesting(nullptr);
    if (listener_) listener_->Stop();
    ResetClassicStateForTesting();
  }

  // Queues the buffer and waits until the sender has delivered it.
  ::testing::AssertionResult Deliver(BufferNumber b) {
    if (ServiceBuffers().Queue(b) != 1) return ::testing::AssertionFailure() << "not queued";
    if (!WaitUntil([&] { return StateOf(b) == kFree; })) {
      return ::testing::AssertionFailure() << "not delivered";
    }
    return ::testing::AssertionSuccess();
  }

  // What the service stored, a row per value: id kind|point|time|msec|status|value
  // (the value "-" when it was kept as text).
  std::vector<std::string> StoredRows() const {
    std::vector<std::string> rows;
    for (const std::string& row : histfeed::testing::StoredValues(path_, "classic")) {
      rows.push_back(row.substr(0, row.rfind('|')));  // the text column left out
    }
    return rows;
  }

  histfeed::testing::ScopedTimeScale fast_{100};
  histfeed::testing::TempDirectory dir_;
  std::string path_ = dir_.File("history.db");
  histfeed::testing::ServiceBackend service_{path_};
  std::unique_ptr<ClassicListener> listener_;
  std::unique_ptr<client_library::ClientLibrary> backend_;
};

TEST_F(ServiceClassicTest, SenderDeliversShortAndLongBuffersIntoTheDatabase) {
  ASSERT_TRUE(StartWithSender());
  ASSERT_TRUE(Deliver(AddRecords("plant", kShortIdKind, 3)));
  ASSERT_TRUE(Deliver(AddRecords("Plant", kLongIdKind, 2)));
  EXPECT_EQ(StoredRows(), (std::vector<std::string>{
                              "long|PLANT.P0|1000|0|4099|0", "long|PLANT.P1|1001|1|4099|1",
                              "point|PLANT.P0|1000|0|3|0", "point|PLANT.P1|1001|1|3|1",
                              "point|PLANT.P2|1002|2|3|2"}));  // status 0x1003
  EXPECT_EQ(listener_->counters().values.load(), 5);
  EXPECT_EQ(Classic().busy.load(), 0);
}

TEST_F(ServiceClassicTest, LoadReportReachesTheRateTable) {
  ASSERT_TRUE(StartWithSender(Faults(&ClassicFaults::load, "120,400")));
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 1)));
  LoadReport report{};
  ASSERT_TRUE(LookUpServiceLoad("PLANT", &report));
  EXPECT_EQ(report.count, 120u);
  EXPECT_EQ(report.capacity, 400u);
}

TEST_F(ServiceClassicTest, BusyServiceHoldsTheBufferAndSetsTheBusyFlagUntilItRecovers) {
  ASSERT_TRUE(StartWithSender(Faults(&ClassicFaults::busy, true)));
  BufferNumber b = AddRecords("Plant", kShortIdKind, 4);
  ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  ASSERT_TRUE(WaitUntil([] { return Classic().busy.load() == 1; }));
  ASSERT_TRUE(WaitUntil([&] { return listener_->counters().busyAnswers.load() >= 3; }));
  EXPECT_EQ(StateOf(b), kPendingFlush);
  EXPECT_EQ(StoredRows().size(), 0u);

  listener_->SetFaults({});
  ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  EXPECT_EQ(Classic().busy.load(), 0);
  EXPECT_EQ(StoredRows().size(), 4u);  // stored once, despite the repeats
}

TEST_F(ServiceClassicTest, RefusedRequestsAreDeliveredAgainWithoutLossOrDuplicates) {
  ASSERT_TRUE(StartWithSender(Faults(&ClassicFaults::refuseEvery, 2)));
  const char* services[] = {"Plant", "Plant.Unit1"};
  std::vector<BufferNumber> buffers;
  for (int i = 0; i < 2; ++i) buffers.push_back(AddRecords(services[i], kShortIdKind, 5 + i));
  for (BufferNumber b : buffers) ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  for (BufferNumber b : buffers) ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  std::vector<std::string> rows = StoredRows();
  ASSERT_EQ(rows.size(), 11u);
  // Point by point: the first buffer's points, then the second's.
  EXPECT_EQ(rows[0], "point|PLANT.P0|1000|0|3|0");
  EXPECT_EQ(rows[5], "point|PLANT.UNIT1.P0|1000|0|3|0");
  EXPECT_GE(listener_->counters().refused.load(), 1);
}

TEST_F(ServiceClassicTest, ConfigurationResolveAndServiceKindCalls) {
  Start(Faults(&ClassicFaults::serviceKind, 1));
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
  EXPECT_EQ(service_.Totals().configs, 1);

  // Two records in a configuration request: refused with a reason.
  request[2] = 2;
  ASSERT_EQ(ConfigExchange("Plant.Unit1", request.data(), reply), 0);
  EXPECT_EQ(ReplyStatus(reply), kClassicMalformed);
  EXPECT_NE(reinterpret_cast<const char*>(reply + TARVO_REPLY_TEXT_OFFSET)[0], '\0');
  EXPECT_EQ(service_.Totals().configs, 1);
}

TEST_F(ServiceClassicTest, DeliveryResumesAfterTheServiceRestarts) {
  ASSERT_TRUE(StartWithSender());
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 2)));
  uint16_t port = listener_->port();
  listener_->Stop();
  // Down: the buffer waits at the head of the send queue.
  BufferNumber b = AddRecords("Plant", kShortIdKind, 3);
  ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  EXPECT_EQ(StateOf(b), kPendingFlush);
  Start({}, port);
  ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  // P0 and P1 come again with the same time stamps and are kept once; P2 is new.
  EXPECT_EQ(StoredRows().size(), 3u);
}

TEST_F(ServiceClassicTest, StopProcessClosesTheBackendsConnections) {
  ASSERT_TRUE(StartWithSender());
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 2)));
  EXPECT_EQ(listener_->openConnections(), 1);
  EXPECT_EQ(StopProcess(), 0);
  EXPECT_TRUE(WaitUntil([&] { return listener_->openConnections() == 0; }));
  // The next delivery connects again.
  ASSERT_EQ(StartSender(), 1);
  ASSERT_TRUE(Deliver(AddRecords("Plant", kShortIdKind, 3)));
  EXPECT_EQ(StoredRows().size(), 3u);
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
  ASSERT_TRUE(StartWithSender());
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
  histfeed::testing::ServiceBackend backend(dir.File("history.db"));
  ClassicListener listener(backend.writer, backend.metrics, {});
  ASSERT_EQ(listener.Start("127.0.0.1", 0), "");
  unsetenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE);
  std::string map = "plant=127.0.0.1:" + std::to_string(listener.port());
  ASSERT_EQ(setenv(client_library::network::kServicesVariable, map.c_str(), 1), 0);
  ResetClassicStateForTesting();

  ASSERT_EQ(StartSender(), 1);
  BufferNumber b = AddRecords("PLANT", kShortIdKind, 3);
  ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  EXPECT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  histfeed::testing::StopSenderNow();
  EXPECT_EQ(backend.Totals().values, 3);
  listener.Stop();
  ResetClassicStateForTesting();
}

TEST(ClassicRequestRowsTest, RecordsBecomeRowsAndMalformedRequestsAreRefused) {
  std::vector<uint8_t> request = Request(TARVO_SHORT_ID_REQUEST_SIZE, TARVO_CODE_SHORT_ID_DATA, 4);
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
