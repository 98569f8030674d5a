// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "tests/support/classic_fixture.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

using ServiceBufferTest = ClassicTest;

TEST_F(ServiceBufferTest, CaseVariantsShareABufferWhileKindsDoNot) {
  int32_t first = AcquireServiceBuffer("Plant1", kShortIdKind);
  ASSERT_EQ(first, 0);
  EXPECT_EQ(ReleaseServiceBuffer(first), 1);
  EXPECT_EQ(AcquireServiceBuffer("PLANT1", kShortIdKind), first);
  EXPECT_EQ(ReleaseServiceBuffer(first), 1);
  EXPECT_EQ(AcquireServiceBuffer("plant1", kLongIdKind), 1);
  EXPECT_EQ(ReleaseServiceBuffer(1), 1);
  EXPECT_EQ(AcquireServiceBuffer("Plant2", kShortIdKind), 2);
  EXPECT_EQ(ReleaseServiceBuffer(2), 1);
  EXPECT_EQ(AcquireServiceBuffer("plANT1", 7), 1);  // any non-zero kind is long
  ReleaseServiceBuffer(1);
  EXPECT_STREQ(Buffer(1).serviceName, "plANT1");
}

TEST_F(ServiceBufferTest, AnAcquiredMatchOnlyLooksAtFreeBuffersBeforeIt) {
  ASSERT_EQ(AcquireServiceBuffer("X", kShortIdKind), 0);
  ReleaseServiceBuffer(0);
  ASSERT_EQ(AcquireServiceBuffer("A", kShortIdKind), 1);  // held ACQUIRED
  // Buffers after the match are never reached.
  EXPECT_EQ(AcquireServiceBuffer("a", kShortIdKind), kNoServiceBuffer);
  {
    platform::MutexLock lock(Classic().bufferLock);
    SetBufferState(0, kPendingFlush);
    SetBufferState(0, kFree);
  }
  EXPECT_EQ(AcquireServiceBuffer("a", kShortIdKind), 0);
  ReleaseServiceBuffer(0);
  ReleaseServiceBuffer(1);
  EXPECT_EQ(AcquireServiceBuffer("A", kShortIdKind), 0);  // the lowest match wins
  ReleaseServiceBuffer(0);
}

TEST_F(ServiceBufferTest, OverlongNamesAreCutAndNeverMatch) {
  const char* name = "ABCDEFGHIJKLMNOPQRSTUVWXY";  // 25 characters
  int32_t b = AcquireServiceBuffer(name, kShortIdKind);
  ReleaseServiceBuffer(b);
  EXPECT_EQ(std::string(Buffer(b).serviceName), std::string(name, 19));
  EXPECT_EQ(Buffer(b).serviceName[19], '\0');
  EXPECT_NE(AcquireServiceBuffer(name, kShortIdKind), b);
  EXPECT_EQ(AcquireServiceBuffer(nullptr, kShortIdKind), kNoServiceBuffer);
}

TEST_F(ServiceBufferTest, ReleaseAndQueueRefuseBadNumbersAndOtherStates) {
  EXPECT_EQ(ReleaseServiceBuffer(500), 0);
  EXPECT_EQ(ReleaseServiceBuffer(-1), 0);
  EXPECT_EQ(QueueServiceBuffer(500), 0);
  EXPECT_EQ(QueueServiceBuffer(-1), 0);

  EXPECT_EQ(QueueServiceBuffer(3), 0);  // FREE
  EXPECT_EQ(StateOf(3), kFree);
  int32_t b = AcquireServiceBuffer("S", kShortIdKind);
  EXPECT_EQ(QueueServiceBuffer(b), 0);  // ACQUIRED
  EXPECT_EQ(StateOf(b), kAcquired);
  EXPECT_EQ(ReleaseServiceBuffer(b), 1);
  EXPECT_EQ(ReleaseServiceBuffer(b), 0);  // was IN USE already
  EXPECT_EQ(QueueServiceBuffer(b), 0);    // no send queue yet
  EXPECT_EQ(StateOf(b), kInUse);

  fake_.HoldExchanges();
  ASSERT_EQ(StartSender(), 1);
  EXPECT_EQ(QueueServiceBuffer(b), 1);
  EXPECT_EQ(StateOf(b), kPendingFlush);
  EXPECT_EQ(QueueServiceBuffer(b), 0);
  EXPECT_EQ(StateOf(b), kPendingFlush);
}

// What a scan of buffers 0 to 499 gives, written out plainly.
ServiceBufferChoice ScanForBuffer(const std::string& wanted, int32_t kind)
    REQUIRES(Classic().bufferLock) {
  int32_t match = kNoServiceBuffer, firstFree = kNoServiceBuffer, victim = kNoServiceBuffer;
  uint16_t largest = 0;
  for (int32_t b = 0; b < kServiceBufferCount; ++b) {
    const ServiceBuffer& buffer = Buffer(b);
    BufferState state = GetBufferState(b);
    if ((state == kInUse || state == kAcquired) && (buffer.kind != 0) == (kind != 0) &&
        strcasecmp(buffer.serviceName, wanted.c_str()) == 0) {
      match = b;
      break;
    }
    if (state == kFree && firstFree == kNoServiceBuffer) firstFree = b;
    if (state == kInUse && firstFree == kNoServiceBuffer && RecordCount(buffer) > largest) {
      largest = RecordCount(buffer);
      victim = b;
    }
  }
  if (match != kNoServiceBuffer && GetBufferState(match) == kInUse) return {match, kNoServiceBuffer};
  if (firstFree != kNoServiceBuffer) return {firstFree, kNoServiceBuffer};
  return {kNoServiceBuffer, victim};
}

TEST_F(ServiceBufferTest, IndexGivesExactlyTheResultsOfAScan) {
  std::mt19937 random(20261209);
  std::vector<std::string> names;
  for (int i = 0; i < 700; ++i) names.push_back("Svc" + std::to_string(i));
  names.push_back("");
  names.push_back("NineteenCharacters1");
  names.push_back("TwentyCharactersLong");
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  std::vector<int32_t> acquired;  // left ACQUIRED for a while

  for (int step = 0; step < 30000; ++step) {
    std::string name = names[pick(names.size())];
    if (!acquired.empty() && pick(4) == 0) name = Buffer(acquired.back()).serviceName;
    for (char& c : name) {
      if (pick(2)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    int32_t kind = pick(4) == 0 ? kLongIdKind : kShortIdKind;
    ServiceBufferChoice expected, got;
    {
      platform::MutexLock lock(Classic().bufferLock);
      expected = ScanForBuffer(name, kind);
      got = ChooseServiceBuffer(name.c_str(), kind);
    }
    ASSERT_EQ(got.taken, expected.taken) << "step " << step << " name " << name;
    ASSERT_EQ(got.victim, expected.victim) << "step " << step << " name " << name;

    platform::MutexLock lock(Classic().bufferLock);
    if (got.taken != kNoServiceBuffer) {
      ServiceBuffer& buffer = Buffer(got.taken);
      std::strncpy(buffer.serviceName, name.c_str(), kServiceNameSize - 1);
      buffer.kind = kind;
      SetBufferState(got.taken, kAcquired);
      SetRecordCount(buffer, static_cast<uint16_t>(RecordCount(buffer) + 1 + pick(3)));
      if (pick(20) == 0) {
        acquired.push_back(got.taken);
      } else {
        SetBufferState(got.taken, kInUse);
      }
    } else if (got.victim != kNoServiceBuffer) {
      SetBufferState(got.victim, kPendingFlush);
    }
    // Now and then, the sender finishes buffers and held ones are released.
    if (pick(3) == 0) {
      int32_t b = static_cast<int32_t>(pick(kServiceBufferCount));
      if (GetBufferState(b) == kPendingFlush) {
        SetRecordCount(Buffer(b), 0);
        SetBufferState(b, kFree);
      } else if (GetBufferState(b) == kInUse && pick(4) == 0) {
        SetBufferState(b, kPendingFlush);
      }
    }
    if (!acquired.empty() && pick(8) == 0) {
      SetBufferState(acquired.back(), kInUse);
      acquired.pop_back();
    }
  }
}

// Fills all 500 buffers with services of their own, buffer b holding a
// count that repeats now and then; returns the buffer numbers in the order
// the victim rule takes them: fullest first, the lower number on a tie.
std::vector<int32_t> FillEveryBuffer() {
  std::vector<int32_t> order;
  for (int32_t i = 0; i < kServiceBufferCount; ++i) {
    std::string name = "Full" + std::to_string(i);
    int32_t b = AcquireServiceBuffer(name.c_str(), kShortIdKind);
    EXPECT_EQ(b, i);
    SetRecordCount(Buffer(b), static_cast<uint16_t>(1 + (i * 37) % 97));
    ReleaseServiceBuffer(b);
    order.push_back(b);
  }
  std::stable_sort(order.begin(), order.end(), [](int32_t x, int32_t y) {
    return RecordCount(Buffer(x)) > RecordCount(Buffer(y));
  });
  return order;
}

TEST_F(ServiceBufferTest, FullTableQueuesTheFullestBuffersOneByOneThenGivesUp) {
  ASSERT_EQ(StartSender(), 1);
  std::vector<int32_t> order = FillEveryBuffer();
  fake_.HoldExchanges();  // the sender frees nothing meanwhile

  EXPECT_EQ(AcquireServiceBuffer("Newcomer", kShortIdKind), kNoServiceBuffer);
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(StateOf(order[i]), i < 100 ? kPendingFlush : kInUse) << "rank " << i;
  }

  fake_.ReleaseExchanges();
  ASSERT_TRUE(WaitUntil([&] { return StateOf(order[99]) == kFree; }));
  std::vector<FakeClientLibrary::Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 100u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].service, "Full" + std::to_string(order[i])) << "rank " << i;
  }
  // The lowest of the freed buffers now takes the newcomer.
  int32_t lowest = *std::min_element(order.begin(), order.begin() + 100);
  EXPECT_EQ(AcquireServiceBuffer("Newcomer", kShortIdKind), lowest);
}

TEST_F(ServiceBufferTest, FullTableRecordLandsInTheBufferTheSenderFreed) {
  ASSERT_EQ(StartSender(), 1);
  std::vector<int32_t> order = FillEveryBuffer();
  int32_t b;
  {
    ScopedTimeScale realTime(1);  // 100 attempts, 2 ms apart: time for one delivery
    b = AcquireServiceBuffer("Newcomer", kShortIdKind);
  }
  ASSERT_NE(b, kNoServiceBuffer);
  std::vector<FakeClientLibrary::Call> sent = fake_.DataExchanges();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].service, "Full" + std::to_string(order[0]));
  EXPECT_NE(std::find(order.begin(), order.begin() + static_cast<long>(sent.size()), b),
            order.end());
  EXPECT_STREQ(Buffer(b).serviceName, "Newcomer");
}

}  // namespace
}  // namespace histfeed::testing
