// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "classic/service_buffer_table.h"
#include "classic/service_load.h"
#include "tests/support/classic_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

// A reply block on the heap at its exact size, so that reading past it is
// caught by the address sanitizer.
std::unique_ptr<uint8_t[]> ReplyWithText(const std::string& text) {
  auto reply = std::make_unique<uint8_t[]>(TARVO_REPLY_SIZE);
  std::memset(reply.get(), 0, TARVO_REPLY_SIZE);
  std::memcpy(reply.get() + TARVO_REPLY_TEXT_OFFSET, text.data(),
              std::min<size_t>(text.size(), TARVO_REPLY_TEXT_SIZE));
  return reply;
}

bool Parse(const std::string& text, LoadReport* report) {
  return ParseLoadReport(ReplyWithText(text).get(), report);
}

TEST(LoadReportTest, ReadsCountAndCapacity) {
  LoadReport report{};
  ASSERT_TRUE(Parse("120,400", &report));
  EXPECT_EQ(report.count, 120u);
  EXPECT_EQ(report.capacity, 400u);
  ASSERT_TRUE(Parse("120/400", &report));
  EXPECT_EQ(report.capacity, 400u);
  ASSERT_TRUE(Parse(" +12abc, 40 items", &report));  // atol: blanks, sign, stops at a non-digit
  EXPECT_EQ(report.count, 12u);
  EXPECT_EQ(report.capacity, 40u);
}

TEST(LoadReportTest, IgnoresEmptyMalformedAndZeroReports) {
  LoadReport report{77, 77};
  EXPECT_FALSE(Parse("", &report));
  EXPECT_FALSE(Parse("120", &report));
  EXPECT_FALSE(Parse(",400", &report));
  EXPECT_FALSE(Parse("0,400", &report));
  EXPECT_FALSE(Parse("120,", &report));
  EXPECT_FALSE(Parse("120,abc", &report));
  // Negative or beyond 32 bits: no load a service means; it must not throttle.
  EXPECT_FALSE(Parse("-5,-1", &report));
  EXPECT_FALSE(Parse("5,-1", &report));
  EXPECT_FALSE(Parse("99999999999999,1", &report));
  EXPECT_FALSE(Parse("5," + std::string(TARVO_REPLY_TEXT_SIZE - 2, '9'), &report));
  EXPECT_EQ(report.count, 77u);
}

TEST(LoadReportTest, UnterminatedTextIsReadOnlyWithinTheBlock) {
  LoadReport report{};
  EXPECT_FALSE(Parse(std::string(TARVO_REPLY_TEXT_SIZE, '7'), &report));
  ASSERT_TRUE(Parse("5," + std::string(TARVO_REPLY_TEXT_SIZE - 3, '0') + "9", &report));
  EXPECT_EQ(report.capacity, 9u);
  // The separator must leave two bytes of the block behind it.
  std::string text = std::string(243, '0') + "1" + "," + "3";  // comma at block offset 252
  ASSERT_TRUE(Parse(text, &report));
  EXPECT_EQ(report.capacity, 3u);
  text = std::string(244, '0') + "1,33";  // offset 253: the last two bytes hold digits
  ASSERT_TRUE(Parse(text, &report));
  EXPECT_EQ(report.capacity, 33u);
  text = std::string(246, '1') + ",3";  // offset 254: one byte left
  EXPECT_FALSE(Parse(text, &report));
}

class ServiceRateTableTest : public ClassicTest {
 protected:
  void Store(const char* service, uint32_t count, uint32_t capacity) {
    platform::MutexLock lock(Classic().bufferLock);
    StoreServiceLoad(service, LoadReport{count, capacity});
  }
  std::string RowName(int row) {
    platform::MutexLock lock(Classic().bufferLock);
    return Classic().rates[row].serviceName;
  }
};

TEST_F(ServiceRateTableTest, EleventhServiceReplacesTheLowestLoadBelowOne) {
  // Loads 0.9, 0.8, ..., with rows 3 and 6 both at the lowest, 0.1.
  const uint32_t counts[10] = {90, 80, 70, 10, 50, 40, 10, 20, 100, 150};
  for (int i = 0; i < 10; ++i) Store(("S" + std::to_string(i)).c_str(), counts[i], 100);
  Store("s4", 55, 100);  // its own row, found ignoring case
  EXPECT_EQ(RowName(4), "S4");
  Store("Eleventh", 1, 2);
  EXPECT_EQ(RowName(3), "Eleventh");  // the lower of the two equal rows
  LoadReport report{};
  ASSERT_TRUE(LookUpServiceLoad("ELEVENTH", &report));
  EXPECT_EQ(report.count, 1u);
  EXPECT_FALSE(LookUpServiceLoad("S3", &report));
  Store("Twelfth", 3, 4);
  EXPECT_EQ(RowName(6), "Twelfth");
}

TEST_F(ServiceRateTableTest, OnlyAsciiCapitalsMatchTheirSmallLetters) {
  Store("Ab@[Z\xC1\xDA-19chars-lon", 5, 10);
  LoadReport report{};
  EXPECT_TRUE(LookUpServiceLoad("aB@[z\xC1\xDA-19CHARS-LON", &report));
  // Neighbours of the capitals, and bytes above 127 whose low bits spell
  // one, are not letters to fold.
  EXPECT_FALSE(LookUpServiceLoad("ab`[z\xC1\xDA-19chars-lon", &report));
  EXPECT_FALSE(LookUpServiceLoad("ab@{z\xC1\xDA-19chars-lon", &report));
  EXPECT_FALSE(LookUpServiceLoad("ab@[z\xE1\xDA-19chars-lon", &report));
  EXPECT_FALSE(LookUpServiceLoad("ab@[z\xC1\xFA-19chars-lon", &report));
  EXPECT_FALSE(LookUpServiceLoad("Ab@[Z\xC1\xDA-19chars-lon-", &report));  // 20 characters
}

TEST_F(ServiceRateTableTest, ReportIsDroppedWhenEveryRowIsAtCapacity) {
  for (int i = 0; i < 10; ++i) Store(("S" + std::to_string(i)).c_str(), 100 + i, 100);
  Store("Late", 1, 100);
  LoadReport report{};
  EXPECT_FALSE(LookUpServiceLoad("Late", &report));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(RowName(i), "S" + std::to_string(i));
}

}  // namespace
}  // namespace histfeed::testing
