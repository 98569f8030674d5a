// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "classic/add_request.h"
#include "classic/sender.h"
#include "classic/service_buffer.h"
#include "classic/service_load.h"
#include "client_library/plugin_client_library.h"
#include "histfeed.h"
#include "tests/support/classic_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

std::mutex sleepsMutex;
std::vector<int64_t> sleeps;

void RecordSleep(int64_t ms) {
  std::lock_guard<std::mutex> lock(sleepsMutex);
  sleeps.push_back(ms);
}

class AddRecordTest : public ClassicTest {
 protected:
  void SetUp() override {
    ClassicTest::SetUp();
    TakeSleeps();
    SetThrottleObserverForTesting(RecordSleep);
  }
  void TearDown() override {
    SetThrottleObserverForTesting(nullptr);
    ClassicTest::TearDown();
  }

  static std::vector<int64_t> TakeSleeps() {
    std::lock_guard<std::mutex> lock(sleepsMutex);
    std::vector<int64_t> taken;
    taken.swap(sleeps);
    return taken;
  }

  // Record i of buffer b as bytes.
  static std::vector<uint8_t> Record(int32_t b, int i) {
    std::vector<uint8_t> image = RequestImage(BufferNumber(b));
    size_t size =
        ServiceBuffers()[BufferNumber(b)].kind != 0 ? sizeof(LongIdRecord) : sizeof(ShortIdRecord);
    auto start = image.begin() + static_cast<long>(kRecordsOffset + size * i);
    return std::vector<uint8_t>(start, start + static_cast<long>(size));
  }
  static ShortIdRecord ShortRecord(int32_t b, int i) {
    ShortIdRecord record;
    std::memcpy(&record, Record(b, i).data(), sizeof(record));
    return record;
  }
  static LongIdRecord LongRecord(int32_t b, int i) {
    LongIdRecord record;
    std::memcpy(&record, Record(b, i).data(), sizeof(record));
    return record;
  }

  static int32_t AddAnalog(const char* service, const char* point, double value) {
    return KelAddAnalogShortIdRecordNoStatus(service, point, 1000, value);
  }

  static void StoreLoad(const char* service, uint32_t count, uint32_t capacity) {
    platform::MutexLock lock(Classic().bufferLock);
    StoreServiceLoad(service, LoadReport{count, capacity});
  }
};

TEST_F(AddRecordTest, StatusWordsFromFlags) {
  EXPECT_EQ(PackAnalogStatus(0, 0, 0, 0, 0, 0, 0, 0), 0x0003);
  EXPECT_EQ(PackAnalogStatus(1, 0, 0, 0, 0, 0, 0, 0), 0x0023);
  EXPECT_EQ(PackAnalogStatus(0, 1, 1, 0, 0, 0, 0, 0), 0x0053);
  EXPECT_EQ(PackAnalogStatus(0, 0, 0, 0, 1, 0, 0, 0), 0x001B);
  EXPECT_EQ(PackAnalogStatus(0, 0, 0, 0, 0, 1, 1, 0), 0x008F);
  EXPECT_EQ(PackAnalogStatus(-7, 0, 0, 1, 0, 0, 0, 1), 0x01A3);
  EXPECT_EQ(PackAnalogStatus(1, 1, 1, 1, 1, 1, 1, 1), 0x01FF);
  EXPECT_EQ(PackDigitalStatus(0, 0, 0, 0, 0), 0x1003);
  EXPECT_EQ(PackDigitalStatus(1, 0, 0, 0, 0), 0x1043);
  EXPECT_EQ(PackDigitalStatus(0, 1, 0, 1, 0), 0x1087);
  EXPECT_EQ(PackDigitalStatus(1, 0, 1, 0, 2), 0x1153);
}

TEST_F(AddRecordTest, AnalogShortRecordIsWrittenInPlace) {
  // Bytes the record does not write keep what the buffer held.
  std::memset(ServiceBuffers()[BufferNumber(0)].request + kRecordsOffset, 0xEE, sizeof(ShortIdRecord));
  ASSERT_EQ(KelAddAnalogShortIdRecord("Plant", "FIC101", 1234567, 0.1, 1, 0, 0, 0, 0, 0, 0, 1), 0);
  EXPECT_STREQ(ServiceBuffers()[BufferNumber(0)].serviceName, "Plant");
  EXPECT_EQ(+ServiceBuffers()[BufferNumber(0)].kind, kShortIdKind);
  EXPECT_EQ(CountOf(BufferNumber(0)), 1);
  EXPECT_EQ(StateOf(BufferNumber(0)), kInUse);
  std::vector<uint8_t> expected = {0x87, 0xD6, 0x12, 0x00,  // time
                                   0x00, 0x00,              // milliseconds
                                   'F', 'I', 'C', '1', '0', '1', 0, 0,
                                   0xEE,                    // not written
                                   0x23, 0x01};             // status
  std::string value = std::string(13, ' ') + "0.1";
  expected.insert(expected.end(), value.begin(), value.end());
  expected.push_back(0);
  expected.insert(expected.end(), 6, 0xEE);  // not written
  EXPECT_EQ(Record(0, 0), expected);
}

TEST_F(AddRecordTest, EachMemberFamilyWritesItsKindValueStatusAndMilliseconds) {
  ASSERT_EQ(KelAddDigitalShortIdRecord("S", "D1", 5, 1, "OPEN", 0, 0, 0, 1), 0);
  ASSERT_EQ(KelAddShortIdRecord("S", "T1", 6, "some text that is too long", 0xABCD, 77), 0);
  ASSERT_EQ(KelAddAnalogShortIdMsecRecord("S", "A1", 7, -2.5, 0, 0, 0, 0, 0, 0, 0, 0, 999), 0);
  ASSERT_EQ(KelAddAnalogShortIdMsecRecordNoStatus("S", "A2", 8, 1e300, 12), 0);
  ASSERT_EQ(KelAddDigitalShortIdMsecRecord("S", "D2", 9, 0, "CLOSED", 1, 0, 0, 0, 500), 0);
  ShortIdRecord digital = ShortRecord(0, 0);
  EXPECT_EQ(+digital.status, 0x1143);
  EXPECT_EQ(+digital.milliseconds, 0);
  EXPECT_STREQ(digital.value, "OPEN");
  ShortIdRecord text = ShortRecord(0, 1);
  EXPECT_EQ(+text.status, 0xABCD);
  EXPECT_EQ(+text.milliseconds, 77);
  EXPECT_STREQ(text.value, "some text that i");
  ShortIdRecord msec = ShortRecord(0, 2);
  EXPECT_EQ(+msec.milliseconds, 999);
  EXPECT_EQ(+msec.status, 0x0003);
  EXPECT_STREQ(msec.value, "            -2.5");
  ShortIdRecord noStatus = ShortRecord(0, 3);
  EXPECT_EQ(+noStatus.status, 0);
  EXPECT_EQ(+noStatus.milliseconds, 12);
  EXPECT_STREQ(noStatus.value, "          1E+300");
  EXPECT_EQ(+ShortRecord(0, 4).status, 0x1083);
  EXPECT_EQ(CountOf(BufferNumber(0)), 5);

  std::string longName(70, 'L');
  ASSERT_EQ(KelAddAnalogLongIdRecord("S", longName.c_str(), 10, 3, 0, 0, 0, 0, 0, 0, 1, 0), 0);
  ASSERT_EQ(KelAddDigitalLongIdRecord("S", "LD", 11, 0, "ON", 0, 0, 0, 0), 0);
  ASSERT_EQ(KelAddAnalogLongIdRecordNoStatus("S", "LA", 12, 4), 0);
  ASSERT_EQ(KelAddAnalogLongIdMsecRecord("S", "LM", 13, 5, 0, 0, 0, 0, 0, 0, 0, 0, 321), 0);
  ASSERT_EQ(KelAddDigitalLongIdMsecRecord("S", "LN", 14, 0, "OFF", 0, 0, 0, 0, 7), 0);
  ASSERT_EQ(KelAddAnalogLongIdMsecRecordNoStatus("S", "LO", 15, 6, 8), 0);
  EXPECT_EQ(+ServiceBuffers()[BufferNumber(1)].kind, kLongIdKind);
  EXPECT_EQ(CountOf(BufferNumber(1)), 6);
  LongIdRecord first = LongRecord(1, 0);
  EXPECT_EQ(std::string(first.pointId, sizeof(first.pointId)), std::string(60, 'L'));
  EXPECT_EQ(+first.status, 0x0007);
  EXPECT_STREQ(first.value, "               3");
  EXPECT_EQ(+LongRecord(1, 1).status, 0x1003);
  EXPECT_EQ(+LongRecord(1, 2).status, 0);
  EXPECT_EQ(+LongRecord(1, 3).milliseconds, 321);
  EXPECT_STREQ(LongRecord(1, 4).value, "OFF");
  EXPECT_EQ(+LongRecord(1, 5).milliseconds, 8);
  EXPECT_EQ(+LongRecord(1, 5).time, 15);
}

TEST_F(AddRecordTest, ShortIdentifierKeepsEightCharactersWithoutTerminator) {
  ASSERT_EQ(AddAnalog("Plant", "ABCDEFGHIJKL", 1), 0);
  ShortIdRecord record = ShortRecord(0, 0);
  EXPECT_EQ(std::string(record.pointId, 8), "ABCDEFGH");
  EXPECT_EQ(+record.unused1, 0);  // the byte after the identifier is not written
}

TEST_F(AddRecordTest, InvalidArgumentsStoreNothing) {
  EXPECT_EQ(KelAddAnalogShortIdMsecRecordNoStatus("Plant", "P", 1, 1.0, 1000), -1);
  EXPECT_EQ(KelAddShortIdRecord("Plant", "P", 1, "x", 0, 65535), -1);
  EXPECT_EQ(AddAnalog(nullptr, "P", 1), -1);
  EXPECT_EQ(AddAnalog("", "P", 1), -1);
  EXPECT_EQ(AddAnalog("Plant", nullptr, 1), -1);
  EXPECT_EQ(AddAnalog("Plant", "", 1), -1);
  EXPECT_EQ(AddAnalog(" \t ", "P", 1), -1);
  EXPECT_EQ(AddAnalog("Plant", "  ", 1), -1);
  EXPECT_EQ(StateOf(BufferNumber(0)), kFree);
  // Only the low 16 bits of milliseconds count.
  EXPECT_EQ(KelAddAnalogShortIdMsecRecordNoStatus("Plant", "P", 1, 1.0, 0x10000 + 999), 0);
  EXPECT_EQ(+ShortRecord(0, 0).milliseconds, 999);
}

TEST_F(AddRecordTest, ValuesAndTextsOfAnySizeStayInsideTheRecord) {
  double values[] = {std::numeric_limits<double>::quiet_NaN(),
                     -std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::max(), -1.234567891234e-300, 123456789012.0};
  for (double value : values) ASSERT_EQ(AddAnalog("Plant", "P", value), 0);
  std::string huge(100000, 'x');
  ASSERT_EQ(KelAddShortIdRecord(huge.c_str(), huge.c_str(), 1, huge.c_str(), 1, 1), 0);
  ASSERT_EQ(KelAddShortIdRecord("Plant", "P", 1, nullptr, 1, 1), 0);
  const char* expected[] = {"             NAN", "            -INF", "-1.79769313E+308",
                            "-1.23456789E-300", "  1.23456789E+11"};
  for (int i = 0; i < 5; ++i) EXPECT_STREQ(ShortRecord(0, i).value, expected[i]) << i;
  EXPECT_EQ(ShortRecord(0, 6).value[0], '\0');
  EXPECT_EQ(ServiceBuffers()[BufferNumber(1)].serviceName, std::string(19, 'x'));
  EXPECT_EQ(std::string(ShortRecord(1, 0).value), std::string(16, 'x'));
}

TEST(ValueTextTest, MatchesPrintfForEveryKindOfDouble) {
  std::vector<double> values = {0.0, -0.0, 0.1, 1e20, 1e-5, 1e-4, 123456789.0, 1234567890.0,
                                999999999.5, 9999999995.0, 0.000123456789012,
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::quiet_NaN(),
                                -std::numeric_limits<double>::quiet_NaN(),
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity()};
  std::mt19937_64 random(7);
  for (int i = 0; i < 200000; ++i) {
    uint64_t bits = random();
    double value;
    std::memcpy(&value, &bits, sizeof(value));
    values.push_back(value);
    values.push_back(static_cast<double>(static_cast<int64_t>(bits) >> (bits % 60)) / 1000.0);
  }
  for (double value : values) {
    char expected[64];
    std::snprintf(expected, sizeof(expected), "%16.9G", value);
    char text[kValueTextSize];
    std::memset(text, 'X', sizeof(text));
    FormatValueText(value, text);
    ASSERT_STREQ(text, expected) << value;
  }
}

TEST_F(AddRecordTest, NamesAreTrimmedButLoadIsLookedUpUntrimmed) {
  StoreLoad("Plant", 900, 1000);
  ASSERT_EQ(AddAnalog("  Plant\t", "  FIC101 ", 1), 0);
  EXPECT_TRUE(TakeSleeps().empty());
  EXPECT_STREQ(ServiceBuffers()[BufferNumber(0)].serviceName, "Plant");
  EXPECT_EQ(std::string(ShortRecord(0, 0).pointId, 8), std::string("FIC101\0\0", 8));
  ASSERT_EQ(AddAnalog("PLANT", "FIC101", 1), 0);
  EXPECT_EQ(TakeSleeps(), std::vector<int64_t>{1000});
  EXPECT_EQ(CountOf(BufferNumber(0)), 2);  // same buffer
}

TEST_F(AddRecordTest, ServiceThrottleFollowsTheReportedLoadAndTheBusyFlag) {
  struct Case {
    uint32_t count;
    uint32_t capacity;
    std::vector<int64_t> sleeps;
  } cases[] = {{751, 1000, {1000}}, {750, 1000, {500}}, {501, 1000, {500}}, {500, 1000, {50}},
               {251, 1000, {50}},   {250, 1000, {}},    {4000000000u, 4000000000u, {1000}}};
  for (const Case& c : cases) {
    StoreLoad("Plant", c.count, c.capacity);
    ASSERT_EQ(AddAnalog("Plant", "P", 1), 0);
    EXPECT_EQ(TakeSleeps(), c.sleeps) << c.count << "/" << c.capacity;
  }
  Classic().busy = 1;
  ASSERT_EQ(AddAnalog("Other", "P", 1), 0);
  EXPECT_EQ(TakeSleeps(), std::vector<int64_t>{10000});
  Classic().busy = 0;
}

TEST_F(AddRecordTest, QueueThrottleFollowsTheSendQueueDepth) {
  ASSERT_EQ(StartSender(), 1);
  fake_.HoldExchanges();
  struct Step {
    int depth;
    std::vector<int64_t> sleeps;
  } steps[] = {{250, {}}, {251, {10}}, {374, {10}}, {375, {50}}, {436, {50}},
               {437, std::vector<int64_t>(200, 50)}};
  int queued = 0;
  for (const Step& step : steps) {
    for (; queued < step.depth; ++queued) {
      std::string service = "Q" + std::to_string(queued);
      ASSERT_EQ(ServiceBuffers().Queue(AddRecords(service.c_str(), kShortIdKind, 1)), 1);
    }
    ASSERT_EQ(ServiceBuffers().SendQueueDepth(), step.depth);
    ASSERT_EQ(AddAnalog("Plant", "P", 1), 0);
    EXPECT_EQ(TakeSleeps(), step.sleeps) << step.depth;
  }
}

TEST_F(AddRecordTest, FullBufferIsQueuedAndTheNextRecordOpensANewOne) {
  fake_.HoldExchanges();
  for (int i = 0; i < 99; ++i) ASSERT_EQ(AddAnalog("Plant", "P", i), 0);
  EXPECT_EQ(StateOf(BufferNumber(0)), kInUse);
  ASSERT_EQ(AddAnalog("Plant", "P", 99), 0);
  EXPECT_EQ(StateOf(BufferNumber(0)), kPendingFlush);
  EXPECT_EQ(CountOf(BufferNumber(0)), 100);
  ASSERT_EQ(AddAnalog("Plant", "P", 100), 0);
  EXPECT_EQ(StateOf(BufferNumber(1)), kInUse);
  EXPECT_EQ(CountOf(BufferNumber(1)), 1);
  EXPECT_STREQ(ShortRecord(1, 0).value, "             100");

  for (int i = 0; i < 45; ++i) {
    ASSERT_EQ(KelAddAnalogLongIdRecordNoStatus("Plant", "L", i, i), 0);
  }
  EXPECT_EQ(StateOf(BufferNumber(2)), kPendingFlush);
  ASSERT_EQ(KelAddAnalogLongIdRecordNoStatus("Plant", "L", 45, 45), 0);
  EXPECT_EQ(StateOf(BufferNumber(3)), kInUse);
  fake_.ReleaseExchanges();
  ASSERT_TRUE(WaitUntil([] { return StateOf(BufferNumber(0)) == kFree && StateOf(BufferNumber(2)) == kFree; }));
  std::vector<FakeClientLibrary::Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].request[2], 100);
  EXPECT_EQ(sent[1].ordinal, TARVO_ORDINAL_LONG_ID_EXCHANGE);
  EXPECT_EQ(sent[1].request[2], 45);
}

TEST_F(AddRecordTest, FullBufferThatCouldNotBeQueuedIsNeverWrittenPast) {
  fake_.ScriptStartup(std::vector<int32_t>(101, 1));  // no sender for 101 calls
  for (int i = 0; i < 100; ++i) ASSERT_EQ(AddAnalog("Plant", "P", i), 0);
  EXPECT_EQ(StateOf(BufferNumber(0)), kInUse);
  std::vector<uint8_t> before = RequestImage(BufferNumber(1));
  EXPECT_EQ(AddAnalog("Plant", "P", 100), -3);
  EXPECT_EQ(CountOf(BufferNumber(0)), 100);
  EXPECT_EQ(RequestImage(BufferNumber(1)), before);
  // Once the sender runs, the full buffer leaves and the record gets a new one.
  ASSERT_EQ(AddAnalog("Plant", "P", 101), 0);
  EXPECT_EQ(CountOf(BufferNumber(1)), 1);
  ASSERT_TRUE(WaitUntil([] { return StateOf(BufferNumber(0)) == kFree; }));
}

TEST_F(AddRecordTest, ExtendedNamesAreResolvedIntoShortBuffers) {
  fake_.SetResolve(0, "PT000042");
  ASSERT_EQ(KelAddAnalogExtIdMsecRecord(" Plant ", "Area.Unit.Long extended name", 1, 2.0, 0, 0,
                                        0, 0, 0, 0, 0, 0, 5),
            0);
  std::vector<FakeClientLibrary::Call> connects = fake_.CallsOf(TARVO_ORDINAL_CONNECT);
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_EQ(connects[0].service, " Plant ");
  std::vector<FakeClientLibrary::Call> resolves = fake_.CallsOf(TARVO_ORDINAL_RESOLVE_POINT);
  ASSERT_EQ(resolves.size(), 1u);
  EXPECT_EQ(resolves[0].service, " Plant ");
  EXPECT_EQ(resolves[0].extendedName, "Area.Unit.Long extended name");
  EXPECT_EQ(resolves[0].size, 10);
  EXPECT_EQ(+ServiceBuffers()[BufferNumber(0)].kind, kShortIdKind);
  EXPECT_EQ(std::string(ShortRecord(0, 0).pointId, 8), "PT000042");
  EXPECT_EQ(+ShortRecord(0, 0).milliseconds, 5);

  ASSERT_EQ(KelAddAnalogExtIdRecord("Plant", "X", 1, 1, 0, 0, 0, 0, 0, 0, 0, 0), 0);
  ASSERT_EQ(KelAddDigitalExtIdRecord("Plant", "X", 1, 0, "ON", 0, 0, 0, 0), 0);
  ASSERT_EQ(KelAddAnalogExtIdRecordNoStatus("Plant", "X", 1, 1), 0);
  ASSERT_EQ(KelAddAnalogExtIdMsecRecordNoStatus("Plant", "X", 1, 1, 3), 0);
  ASSERT_EQ(KelAddDigitalExtIdMsecRecord("Plant", "X", 1, 0, "ON", 0, 0, 0, 0, 4), 0);
  EXPECT_EQ(CountOf(BufferNumber(0)), 6);
  EXPECT_EQ(+ShortRecord(0, 3).status, 0);
  EXPECT_EQ(+ShortRecord(0, 5).milliseconds, 4);

  fake_.ScriptConnect({7});
  EXPECT_EQ(KelAddAnalogExtIdRecordNoStatus("Plant", "X", 1, 1), -1);
  fake_.SetResolve(3, "PT000043");
  EXPECT_EQ(KelAddAnalogExtIdRecordNoStatus("Plant", "X", 1, 1), -1);
  EXPECT_EQ(KelAddAnalogExtIdMsecRecordNoStatus("Plant", "X", 1, 1, 1000), -1);
  EXPECT_EQ(CountOf(BufferNumber(0)), 6);
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_RESOLVE_POINT), 7u);  // none for the bad milliseconds
}

TEST_F(AddRecordTest, RecordsReachAPluginEndToEnd) {
  std::string error;
  std::unique_ptr<client_library::ClientLibrary> plugin =
      client_library::LoadPluginClientLibrary(ANSWERING_PLUGIN_PATH, &error);
  ASSERT_NE(plugin, nullptr) << error;
  client_library::ClientLibrary* previous = client_library::SetClientLibraryForTesting(plugin.get());
  for (int i = 0; i < 99; ++i) ASSERT_EQ(AddAnalog("Plant", "P", i), 0);
  ASSERT_EQ(KelAddAnalogExtIdRecordNoStatus("Plant", "A.B.C", 1, 1), 0);
  EXPECT_EQ(std::string(ShortRecord(0, 99).pointId, 8), "RESOLVED");
  // The plug-in reports the records it received as the service's load.
  LoadReport load{};
  EXPECT_TRUE(WaitUntil([&] { return LookUpServiceLoad("PLANT", &load); }));
  EXPECT_EQ(load.count, 100u);
  EXPECT_EQ(load.capacity, 1000u);
  EXPECT_TRUE(WaitUntil([] { return StateOf(BufferNumber(0)) == kFree; }));
  StopSenderNow();
  client_library::SetClientLibraryForTesting(previous);
}

}  // namespace
}  // namespace histfeed::testing
