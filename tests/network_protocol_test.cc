// SPDX-License-Identifier: Apache-2.0
// The messages of the built-in network backend and its map of service
// addresses: what goes on the wire, and what is refused.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wire/classic_network_protocol.h"
#include "client_library/service_addresses.h"
#include "histfeed/tarvo_plugin.h"

namespace histfeed::client_library::network {
namespace {

TEST(NetworkProtocolTest, RequestHeadCarriesCallServiceAndLength) {
  uint8_t head[kRequestHeadSize];
  EncodeRequestHead(kShortIdCall, "Plant", TARVO_SHORT_ID_REQUEST_SIZE, head);
  EXPECT_EQ(std::memcmp(head, "HFCQ", 4), 0);
  EXPECT_EQ(head[4] | (head[5] << 8), 2004);
  EXPECT_EQ(head[40] | (head[41] << 8), TARVO_SHORT_ID_REQUEST_SIZE);
  RequestHead decoded;
  ASSERT_EQ(DecodeRequestHead(head, &decoded), HeadError::kNone);
  EXPECT_EQ(decoded.call, kShortIdCall);
  EXPECT_EQ(decoded.service, "Plant");
  EXPECT_EQ(decoded.payloadLength, TARVO_SHORT_ID_REQUEST_SIZE);

  // A long name is cut so that the field keeps a terminator; no name at all
  // gives an empty field.
  std::string longName(80, 'x');
  EncodeRequestHead(kConnectCall, longName.c_str(), 0, head);
  ASSERT_EQ(DecodeRequestHead(head, &decoded), HeadError::kNone);
  EXPECT_EQ(decoded.service, std::string(kServiceFieldSize - 1, 'x'));
  EncodeRequestHead(kConnectCall, nullptr, 0, head);
  ASSERT_EQ(DecodeRequestHead(head, &decoded), HeadError::kNone);
  EXPECT_EQ(decoded.service, "");
}

TEST(NetworkProtocolTest, RequestHeadsThatCannotBeFollowedAreRefused) {
  uint8_t head[kRequestHeadSize];
  RequestHead decoded;
  EncodeRequestHead(kConfigCall, "Plant", TARVO_CONFIG_REQUEST_SIZE, head);
  head[0] = 'X';
  EXPECT_EQ(DecodeRequestHead(head, &decoded), HeadError::kBadMagic);
  EncodeRequestHead(1234, "Plant", 0, head);
  EXPECT_EQ(DecodeRequestHead(head, &decoded), HeadError::kUnknownCall);
  // Each exchange has its one size; connect and kind carry nothing.
  EncodeRequestHead(kShortIdCall, "Plant", TARVO_LONG_ID_REQUEST_SIZE, head);
  EXPECT_EQ(DecodeRequestHead(head, &decoded), HeadError::kBadLength);
  EncodeRequestHead(kConnectCall, "Plant", 1, head);
  EXPECT_EQ(DecodeRequestHead(head, &decoded), HeadError::kBadLength);
  EncodeRequestHead(kResolveCall, "Plant", kExtendedNameMax + 1, head);
  EXPECT_EQ(DecodeRequestHead(head, &decoded), HeadError::kBadLength);
  EncodeRequestHead(kResolveCall, "Plant", 0xFFFFFFFFu, head);
  EXPECT_EQ(DecodeRequestHead(head, &decoded), HeadError::kBadLength);
  EncodeRequestHead(kResolveCall, "Plant", kExtendedNameMax, head);
  EXPECT_EQ(DecodeRequestHead(head, &decoded), HeadError::kNone);
  // A service field without a terminator is read within the field only.
  EncodeRequestHead(kConnectCall, "Plant", 0, head);
  std::memset(head + 8, 'y', kServiceFieldSize);
  ASSERT_EQ(DecodeRequestHead(head, &decoded), HeadError::kNone);
  EXPECT_EQ(decoded.service.size(), kServiceFieldSize);
}

TEST(NetworkProtocolTest, ReplyHeadIsCheckedAgainstTheCallAsked) {
  uint8_t head[kReplyHeadSize];
  ReplyHead decoded;
  EncodeReplyHead(kLongIdCall, -7, TARVO_REPLY_SIZE, head);
  ASSERT_EQ(DecodeReplyHead(head, kLongIdCall, &decoded), HeadError::kNone);
  EXPECT_EQ(decoded.result, -7);
  EXPECT_EQ(decoded.payloadLength, static_cast<uint32_t>(TARVO_REPLY_SIZE));
  EXPECT_EQ(DecodeReplyHead(head, kShortIdCall, &decoded), HeadError::kWrongCall);

  EncodeReplyHead(kLongIdCall, 0, TARVO_REPLY_SIZE - 1, head);
  EXPECT_EQ(DecodeReplyHead(head, kLongIdCall, &decoded), HeadError::kBadLength);
  EncodeReplyHead(kServiceKindCall, 3, 4, head);
  EXPECT_EQ(DecodeReplyHead(head, kServiceKindCall, &decoded), HeadError::kBadLength);
  EncodeReplyHead(kResolveCall, 0, kResolvedIdMax + 1, head);
  EXPECT_EQ(DecodeReplyHead(head, kResolveCall, &decoded), HeadError::kBadLength);
  EncodeReplyHead(kResolveCall, 0, 0, head);
  EXPECT_EQ(DecodeReplyHead(head, kResolveCall, &decoded), HeadError::kNone);
  EncodeReplyHead(kConnectCall, 0, 0, head);
  std::memcpy(head, "HFCQ", 4);  // a request where a reply belongs
  EXPECT_EQ(DecodeReplyHead(head, kConnectCall, &decoded), HeadError::kBadMagic);
  EncodeReplyHead(999, 0, 0, head);
  EXPECT_EQ(DecodeReplyHead(head, kConnectCall, &decoded), HeadError::kUnknownCall);
}

TEST(NetworkProtocolTest, EveryBitFlipOfAReplyHeadIsDecodedSafely) {
  uint8_t good[kReplyHeadSize];
  EncodeReplyHead(kShortIdCall, 0, TARVO_REPLY_SIZE, good);
  for (size_t bit = 0; bit < kReplyHeadSize * 8; ++bit) {
    uint8_t head[kReplyHeadSize];
    std::memcpy(head, good, sizeof head);
    head[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    ReplyHead decoded;
    HeadError error = DecodeReplyHead(head, kShortIdCall, &decoded);
    // Only the result and the zero padding may change without a refusal.
    bool harmless = (bit / 8 >= 6 && bit / 8 < 12);
    EXPECT_EQ(error == HeadError::kNone, harmless) << "bit " << bit;
    if (error == HeadError::kNone) {
      EXPECT_EQ(decoded.payloadLength, TARVO_REPLY_SIZE + 0u);
    }
  }
}

TEST(ServiceAddressesTest, NamesMapIgnoringCaseAndOthersGoToTheDefault) {
  std::vector<std::string> rejected;
  ServiceAddresses map = ServiceAddresses::Parse(
      " Plant = 10.0.0.5:6001 ;plant.unit1=historian.local:6002;;PLANT=10.9.9.9:1", &rejected);
  EXPECT_TRUE(rejected.empty());
  EXPECT_EQ(map.Find("PLANT").host, "10.0.0.5");  // the first entry of a name wins
  EXPECT_EQ(map.Find("plant ").port, 6001);
  EXPECT_EQ(map.Find("Plant.Unit1").host, "historian.local");
  EXPECT_EQ(map.Find("Plant.Unit1").port, 6002);
  ServiceAddress other = map.Find("Elsewhere");
  EXPECT_EQ(other.host, kDefaultServiceHost);
  EXPECT_EQ(other.port, kDefaultServicePort);

  ServiceAddresses empty = ServiceAddresses::Parse("", nullptr);
  EXPECT_EQ(empty.Find("Plant").host, "127.0.0.1");
  EXPECT_EQ(empty.Find("Plant").port, 5451);
}

TEST(ServiceAddressesTest, StarEntryReplacesTheDefault) {
  ServiceAddresses map = ServiceAddresses::Parse("*=10.1.1.1:7000;A=10.2.2.2:7001", nullptr);
  EXPECT_EQ(map.Find("B").host, "10.1.1.1");
  EXPECT_EQ(map.Find("B").port, 7000);
  EXPECT_EQ(map.Find("a").port, 7001);
}

TEST(ServiceAddressesTest, EntriesThatCannotBeReadAreSkippedAndReported) {
  std::vector<std::string> rejected;
  ServiceAddresses map = ServiceAddresses::Parse(
      "NoEquals:1;=10.0.0.1:5;A=10.0.0.1;B=10.0.0.1:0;C=10.0.0.1:65536;D=:80;E=h:8x;"
      "F=10.0.0.1:123456;Good=10.0.0.7:80",
      &rejected);
  EXPECT_EQ(rejected.size(), 8u);
  EXPECT_EQ(map.Find("Good").port, 80);
  for (const char* name : {"A", "B", "C", "D", "E", "F"}) {
    EXPECT_EQ(map.Find(name).port, kDefaultServicePort) << name;
  }
}

}  // namespace
}  // namespace histfeed::client_library::network
