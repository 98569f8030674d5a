// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "classic/config_request.h"
#include "histfeed.h"
#include "tests/support/classic_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

int32_t Send(const ConfigArguments& a, char* message, int32_t size) {
  return KelSendConfigRecord(
      a.pointName, a.firstText, a.secondText, a.thirdText, a.analog, a.flag1, a.shortNumber1, a.flag2, a.shortText1,
      a.shortText2, a.flag3, a.value1, a.flag4, a.value2, a.flag5, a.value3, a.flag6,
      a.value4, a.flag7, a.value5, a.flag8, a.value6, a.flag9, a.flag10, a.longNumber1,
      a.longNumber2, a.shortNumber2, a.value7, a.shortNumber3, a.value8, a.value9, a.fields[0],
      a.fields[1], a.fields[2], a.fields[3], a.fields[4], a.fields[5], a.fields[6], a.fields[7],
      a.fields[8], a.rows[0], a.rows[1], a.rows[2], a.rows[3], a.rows[4], a.rows[5], a.rows[6],
      a.rows[7], a.rows[8], a.rows[9], message, size);
}

// One full argument set.
ConfigArguments FullArguments() {
  ConfigArguments a{};
  a.pointName = " plant.unit1.ab12345678 ";
  a.firstText = "  Feed pump discharge pressure  ";
  a.secondText = "Pressure transmitter on the discharge";
  a.thirdText = "BARG";
  a.analog = 1;
  a.flag1 = 1;
  a.shortNumber1 = 42;
  a.flag2 = 0;
  a.shortText1 = "Area 7";
  a.shortText2 = "exactly16chars!!";
  a.flag3 = 1;
  a.value1 = 0.1;
  a.flag4 = 0;
  a.value2 = -250.5;
  a.flag5 = 2;
  a.value3 = 1e20;
  a.flag6 = 0;
  a.value4 = 0;
  a.flag7 = 1;
  a.value5 = 123456789.0;
  a.flag8 = 0;
  a.value6 = 3.25;
  a.flag9 = 1;
  a.flag10 = 0;
  a.longNumber1 = 60;
  a.longNumber2 = 123456;
  a.shortNumber2 = 7;
  a.value7 = 99.5;
  a.shortNumber3 = 1234;
  a.value8 = -1;
  a.value9 = 5e-5;
  static const char* fields[kConfigFieldTexts] = {
      "first field", nullptr, "third field that is longer than thirty-two", nullptr, nullptr,
      nullptr,       nullptr, nullptr, "last field"};
  static const char* rows[kConfigRows] = {"row one", nullptr, nullptr, nullptr, nullptr,
                                          nullptr,   nullptr, nullptr, nullptr, "row ten"};
  for (int k = 0; k < kConfigFieldTexts; ++k) a.fields[k] = fields[k];
  for (int k = 0; k < kConfigRows; ++k) a.rows[k] = rows[k];
  return a;
}

void Put(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
  std::memcpy(bytes.data() + offset, text.data(), text.size());
}

// The request FullArguments should give, written out field by field; the
// stamp field holds what the fake's stamp wrote.
std::vector<uint8_t> ExpectedFullRequest(bool splitRows) {
  std::vector<uint8_t> r(TARVO_CONFIG_REQUEST_SIZE, 0);
  r[0] = 0xA7;  // 8103
  r[1] = 0x1F;
  r[2] = 1;
  std::memset(r.data() + 8, 0x5A, 64);
  Put(r, 72, "AB123456");
  Put(r, 81, "FEED PUMP DISCHARGE PRESSURE");
  Put(r, 142, "Pressure transmitter on ");
  Put(r, 167, "BARG");
  Put(r, 176, "AI");
  Put(r, 179, "Y");
  Put(r, 180, "0042");
  Put(r, 185, "N");
  Put(r, 186, "Area 7");
  Put(r, 203, "exactly16chars!!");
  Put(r, 220, "Y");
  Put(r, 221, "             0.1");
  Put(r, 238, "N");
  Put(r, 239, "          -250.5");
  Put(r, 256, "Y");
  Put(r, 257, "           1E+20");
  Put(r, 274, "N");
  Put(r, 275, "               0");
  Put(r, 292, "Y");
  Put(r, 293, "       123456789");
  Put(r, 310, "N");
  Put(r, 311, "            3.25");
  Put(r, 328, "Y");
  Put(r, 329, "N");
  Put(r, 330, "000060");
  Put(r, 337, "123456");
  Put(r, 344, "0007");
  Put(r, 349, "            99.5");
  Put(r, 366, "1234");
  Put(r, 371, "              -1");
  Put(r, 388, "           5E-05");
  Put(r, 405, "first field");
  Put(r, 405 + 64, "third field that is longer than ");
  Put(r, 405 + 256, "last field");
  if (splitRows) {
    Put(r, 693, "  Feed pump discharge pressure  ");
    Put(r, 693 + 128, "Pressure transmitter on the disc");
    Put(r, 693 + 160, "harge");
  } else {
    Put(r, 693, "row one");
    Put(r, 693 + 288, "row ten");
  }
  return r;
}

class ConfigRecordTest : public ClassicTest {
 protected:
  ConfigRecordTest() { std::memset(message_, 'X', sizeof(message_)); }
  std::string Message() const { return std::string(message_, strnlen(message_, sizeof(message_))); }

  std::vector<uint8_t> SentRequest() const {
    std::vector<FakeClientLibrary::Call> calls = fake_.CallsOf(TARVO_ORDINAL_CONFIG_EXCHANGE);
    return calls.empty() ? std::vector<uint8_t>() : calls.back().request;
  }

  char message_[300];
};

TEST(ParsePointNameTest, SplitsAtTheSecondDot) {
  char service[kConfigServiceSize];
  char point[kConfigPointIdSize];
  ASSERT_TRUE(ParsePointName(" PLANT.UNIT1.AB12345678", service, point));
  EXPECT_STREQ(service, "PLANT.UNIT1");
  EXPECT_STREQ(point, "AB123456");
  ASSERT_TRUE(ParsePointName("A..B.C", service, point));  // a dot right after the first is skipped
  EXPECT_STREQ(service, "A..B");
  EXPECT_STREQ(point, "C");
  ASSERT_TRUE(ParsePointName("VERYLONGSERVICENAME.UNIT.P", service, point));
  EXPECT_STREQ(service, "VERYLONGSERVICENA");
  // Only the first 39 characters after the leading spaces are looked at.
  std::string far = "   " + std::string(30, 'S') + ".U." + std::string(20, 'P');
  ASSERT_TRUE(ParsePointName(far.c_str(), service, point));
  EXPECT_STREQ(point, "PPPPPP");
  far = std::string(36, 'S') + ".U.P";
  EXPECT_FALSE(ParsePointName(far.c_str(), service, point));

  for (const char* bad : {"PLANT", "PLANT.UNIT1", ".PLANT.UNIT1.P", "PLANT.UNIT1.", "A.", "A..",
                          "A..B", "", "   "}) {
    EXPECT_FALSE(ParsePointName(bad, service, point)) << bad;
  }
  EXPECT_FALSE(ParsePointName(nullptr, service, point));
}

TEST_F(ConfigRecordTest, FullArgumentSetGivesTheRequestByteForByte) {
  fake_.SetServiceKind(1);
  ASSERT_EQ(Send(FullArguments(), message_, sizeof(message_)), 0);
  EXPECT_EQ(message_[0], 'X');  // untouched on success
  EXPECT_EQ(SentRequest(), ExpectedFullRequest(false));
  std::vector<FakeClientLibrary::Call> calls = fake_.Calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].ordinal, TARVO_ORDINAL_STARTUP);
  EXPECT_EQ(calls[1].ordinal, TARVO_ORDINAL_CONNECT);
  EXPECT_EQ(calls[1].service, "PLANT.UNIT1");
  EXPECT_EQ(calls[2].ordinal, TARVO_ORDINAL_SERVICE_KIND);
  EXPECT_EQ(calls[3].ordinal, TARVO_ORDINAL_STAMP);
  EXPECT_EQ(calls[3].size, 64);
  EXPECT_EQ(calls[4].service, "PLANT.UNIT1");
  EXPECT_EQ(calls[4].stampAddress, static_cast<const uint8_t*>(calls[4].requestAddress) + 8);
  EXPECT_EQ(calls[4].replyOnEntry, std::vector<uint8_t>(TARVO_REPLY_SIZE, 0));
}

TEST_F(ConfigRecordTest, SplitServiceKindCarriesTheTwoTextsInRows) {
  fake_.SetServiceKind(0);
  ASSERT_EQ(Send(FullArguments(), message_, sizeof(message_)), 0);
  EXPECT_EQ(SentRequest(), ExpectedFullRequest(true));

  ConfigArguments a = FullArguments();
  std::string forty = std::string(32, 'a') + "bbbbbbbb";
  a.firstText = forty.c_str();
  std::string long3(250, 'z');  // six rows take 192 characters of it
  a.secondText = long3.c_str();
  ASSERT_EQ(Send(a, message_, sizeof(message_)), 0);
  std::vector<uint8_t> sent = SentRequest();
  std::string rows(sent.begin() + 693, sent.begin() + 1013);
  EXPECT_EQ(rows.substr(0, 40), forty);
  EXPECT_EQ(rows.substr(40, 88), std::string(88, '\0'));
  EXPECT_EQ(rows.substr(128, 192), std::string(192, 'z'));
  EXPECT_EQ(std::string(sent.begin() + 1013, sent.end()), std::string(3, '\0'));
  EXPECT_EQ(std::string(sent.begin() + 81, sent.begin() + 141),
            std::string(32, 'A') + "BBBBBBBB" + std::string(20, '\0'));
}

TEST_F(ConfigRecordTest, OverwideNumbersAndTextsKeepWhatFits) {
  ConfigArguments a = FullArguments();
  a.analog = 0;
  a.shortNumber1 = 65535;           // five digits fill the field
  a.shortNumber2 = 0x10000 + 12;   // low 16 bits
  a.shortNumber3 = -1;             // low 16 bits: 65535
  a.longNumber1 = INT32_MIN;
  a.longNumber2 = 1234567;
  a.value1 = std::numeric_limits<double>::quiet_NaN();
  a.value2 = -std::numeric_limits<double>::infinity();
  a.value3 = -std::numeric_limits<double>::max();
  a.value7 = -1.234567891e-300;
  std::string huge(5000, 'h');
  a.firstText = huge.c_str();
  a.secondText = huge.c_str();
  a.thirdText = huge.c_str();
  a.shortText1 = nullptr;
  a.shortText2 = huge.c_str();
  for (auto& field : a.fields) field = huge.c_str();
  for (auto& row : a.rows) row = huge.c_str();
  ASSERT_EQ(Send(a, message_, sizeof(message_)), 0);
  std::vector<uint8_t> r = SentRequest();
  ASSERT_EQ(r.size(), size_t{TARVO_CONFIG_REQUEST_SIZE});
  auto text = [&](size_t offset, size_t size) {
    return std::string(r.begin() + static_cast<long>(offset),
                       r.begin() + static_cast<long>(offset + size));
  };
  EXPECT_EQ(text(176, 3), std::string("DI\0", 3));
  EXPECT_EQ(text(180, 6), "65535N");  // the flag after it is its own
  EXPECT_EQ(text(330, 7), "-214748");
  EXPECT_EQ(text(337, 7), "1234567");
  EXPECT_EQ(text(344, 5), std::string("0012\0", 5));
  EXPECT_EQ(text(366, 5), "65535");
  EXPECT_EQ(text(221, 17), std::string("             NAN\0", 17));
  EXPECT_EQ(text(239, 17), std::string("            -INF\0", 17));
  EXPECT_EQ(text(257, 17), std::string("-1.79769313E+308\0", 17));
  EXPECT_EQ(text(349, 17), std::string("-1.23456789E-300\0", 17));
  EXPECT_EQ(text(81, 61), std::string(60, 'H') + '\0');
  EXPECT_EQ(text(167, 10), std::string(8, 'h') + '\0' + 'D');
  EXPECT_EQ(text(186, 17), std::string(17, '\0'));
  EXPECT_EQ(text(405, 288), std::string(288, 'h'));
  EXPECT_EQ(text(693, 320), std::string(320, 'h'));
  EXPECT_EQ(text(1013, 3), std::string(3, '\0'));
}

TEST_F(ConfigRecordTest, EachFailureHasItsResultAndMessage) {
  ConfigArguments a = FullArguments();
  fake_.ScriptStartup({1});
  EXPECT_EQ(Send(a, message_, sizeof(message_)), -1);
  EXPECT_EQ(Message(), "Unable to initialize KEL");

  ConfigArguments bad = a;
  bad.pointName = "  plant.unit1  ";
  EXPECT_EQ(Send(bad, message_, sizeof(message_)), -1);
  EXPECT_EQ(Message(),
            "Unable to resolve service and point identifier from point name, PLANT.UNIT1");
  bad.pointName = ".plant.unit1.p";
  EXPECT_EQ(Send(bad, message_, sizeof(message_)), -1);
  bad.pointName = nullptr;
  EXPECT_EQ(Send(bad, message_, sizeof(message_)), -1);

  fake_.ScriptConnect({17});
  EXPECT_EQ(Send(a, message_, sizeof(message_)), 17);
  EXPECT_EQ(Message(), "Failed connecting to service, PLANT.UNIT1");

  fake_.ScriptExchanges({FakeAnswer{-9, 0, "ignored", {}}});
  EXPECT_EQ(Send(a, message_, sizeof(message_)), -9);
  EXPECT_EQ(Message(), "Request failed");

  fake_.ScriptExchanges({Refuse(0x70021, "point exists")});
  EXPECT_EQ(Send(a, message_, sizeof(message_)), 0x21);
  EXPECT_EQ(Message(), "point exists");

  // A reply text without a terminator is read only within the block.
  fake_.ScriptExchanges({Refuse(0xFFFF, std::string(300, 'e'))});
  EXPECT_EQ(Send(a, message_, sizeof(message_)), 0xFFFF);
  EXPECT_EQ(Message(), std::string(TARVO_REPLY_TEXT_SIZE, 'e'));
  EXPECT_EQ(fake_.CountOf(TARVO_ORDINAL_STARTUP), 2u);  // started once, then kept
}

TEST_F(ConfigRecordTest, MessageIsCutToTheCallersSize) {
  ConfigArguments a = FullArguments();
  fake_.SetConnectDefault(3);
  EXPECT_EQ(Send(a, message_, 10), 3);
  EXPECT_EQ(std::string(message_, 11), std::string("Failed co", 9) + '\0' + 'X');
  std::memset(message_, 'X', sizeof(message_));
  EXPECT_EQ(Send(a, message_, 1), 3);
  EXPECT_EQ(std::string(message_, 2), std::string("\0X", 2));
  std::memset(message_, 'X', sizeof(message_));
  EXPECT_EQ(Send(a, message_, 0x10000), 3);  // low 16 bits: 0
  EXPECT_EQ(message_[0], 'X');
  EXPECT_EQ(Send(a, message_, 0x10000 + 4), 3);
  EXPECT_EQ(std::string(message_, 5), std::string("Fai\0X", 5));
  EXPECT_EQ(Send(a, nullptr, 100), 3);
}

}  // namespace
}  // namespace histfeed::testing
