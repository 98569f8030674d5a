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

constexpr BufferNumber B(int32_t number) { return BufferNumber(number); }

TEST_F(ServiceBufferTest, CaseVariantsShareABufferWhileKindsDoNot) {
  ServiceBufferTable& buffers = ServiceBuffers();
  BufferNumber first = buffers.Acquire("Plant1", kShortIdKind);
  ASSERT_EQ(first, B(0));
  EXPECT_TRUE(buffers.Release(first));
  EXPECT_EQ(buffers.Acquire("PLANT1", kShortIdKind), first);
  EXPECT_TRUE(buffers.Release(first));
  EXPECT_EQ(buffers.Acquire("plant1", kLongIdKind), B(1));
  EXPECT_TRUE(buffers.Release(B(1)));
  EXPECT_EQ(buffers.Acquire("Plant2", kShortIdKind), B(2));
  EXPECT_TRUE(buffers.Release(B(2)));
  EXPECT_EQ(buffers.Acquire("plANT1", 7), B(1));  // any non-zero kind is long
  buffers.Release(B(1));
  EXPECT_STREQ(ServiceBuffers()[B(1)].serviceName, "plANT1");
}

TEST_F(ServiceBufferTest, AnAcquiredMatchOnlyLooksAtFreeBuffersBeforeIt) {
  ServiceBufferTable& buffers = ServiceBuffers();
  ASSERT_EQ(buffers.Acquire("X", kShortIdKind), B(0));
  buffers.Release(B(0));
  ASSERT_EQ(buffers.Acquire("A", kShortIdKind), B(1));  // held ACQUIRED
  // Buffers after the match are never reached.
  EXPECT_EQ(buffers.Acquire("a", kShortIdKind), kNoBuffer);
  {
    platform::MutexLock lock(Classic().bufferLock);
    ASSERT_TRUE(buffers.ClaimLocked(B(0)));
    buffers.FreeLocked(B(0));
  }
  EXPECT_EQ(buffers.Acquire("a", kShortIdKind), B(0));
  buffers.Release(B(0));
  buffers.Release(B(1));
  EXPECT_EQ(buffers.Acquire("A", kShortIdKind), B(0));  // the lowest match wins
  buffers.Release(B(0));
}

TEST_F(ServiceBufferTest, OverlongNamesAreCutAndNeverMatch) {
  const char* name = "ABCDEFGHIJKLMNOPQRSTUVWXY";  // 25 characters
  BufferNumber b = ServiceBuffers().Acquire(name, kShortIdKind);
  ServiceBuffers().Release(b);
  EXPECT_EQ(std::string(ServiceBuffers()[b].serviceName), std::string(name, 19));
  EXPECT_EQ(ServiceBuffers()[b].serviceName[19], '\0');
  EXPECT_NE(ServiceBuffers().Acquire(name, kShortIdKind), b);
  EXPECT_EQ(ServiceBuffers().Acquire(nullptr, kShortIdKind), kNoBuffer);
}

TEST_F(ServiceBufferTest, ReleaseAndQueueRefuseBadNumbersAndOtherStates) {
  EXPECT_EQ(ServiceBuffers().Release(B(500)), 0);
  EXPECT_EQ(ServiceBuffers().Release(B(-1)), 0);
  EXPECT_EQ(ServiceBuffers().Queue(B(500)), 0);
  EXPECT_EQ(ServiceBuffers().Queue(B(-1)), 0);

  EXPECT_EQ(ServiceBuffers().Queue(B(3)), 0);  // FREE
  EXPECT_EQ(StateOf(B(3)), kFree);
  BufferNumber b = ServiceBuffers().Acquire("S", kShortIdKind);
  EXPECT_EQ(ServiceBuffers().Queue(b), 0);  // ACQUIRED
  EXPECT_EQ(StateOf(b), kAcquired);
  EXPECT_EQ(ServiceBuffers().Release(b), 1);
  EXPECT_EQ(ServiceBuffers().Release(b), 0);  // was IN USE already
  EXPECT_EQ(ServiceBuffers().Queue(b), 0);    // no send queue yet
  EXPECT_EQ(StateOf(b), kInUse);

  fake_.HoldExchanges();
  ASSERT_EQ(StartSender(), 1);
  EXPECT_EQ(ServiceBuffers().Queue(b), 1);
  EXPECT_EQ(StateOf(b), kPendingFlush);
  EXPECT_EQ(ServiceBuffers().Queue(b), 0);
  EXPECT_EQ(StateOf(b), kPendingFlush);
}

// What a scan of buffers 0 to 499 gives, written out plainly.
ServiceBufferChoice ScanForBuffer(const std::string& wanted, int32_t kind)
    REQUIRES(Classic().bufferLock) {
  BufferNumber match, firstFree, victim;
  uint16_t largest = 0;
  for (int32_t number = 0; number < kServiceBufferCount; ++number) {
    BufferNumber b(number);
    const ServiceBuffer& buffer = ServiceBuffers()[b];
    BufferState state = ServiceBuffers().StateOf(b);
    if ((state == kInUse || state == kAcquired) && (buffer.kind != 0) == (kind != 0) &&
        strcasecmp(buffer.serviceName, wanted.c_str()) == 0) {
      match = b;
      break;
    }
    if (state == kFree && firstFree == kNoBuffer) firstFree = b;
    if (state == kInUse && firstFree == kNoBuffer && RecordCount(buffer) > largest) {
      largest = RecordCount(buffer);
      victim = b;
    }
  }
  if (match != kNoBuffer && ServiceBuffers().StateOf(match) == kInUse) return {match, kNoBuffer};
  if (firstFree != kNoBuffer) return {firstFree, kNoBuffer};
  return {kNoBuffer, victim};
}

TEST_F(ServiceBufferTest, IndexGivesExactlyTheResultsOfAScan) {
  std::mt19937 random(20261209);
  std::vector<std::string> names;
  for (int i = 0; i < 700; ++i) names.push_back("Svc" + std::to_string(i));
  names.push_back("");
  names.push_back("NineteenCharacters1");
  names.push_back("TwentyCharactersLong");
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(random); };
  ServiceBufferTable& buffers = ServiceBuffers();
  std::vector<BufferNumber> acquired;  // left ACQUIRED for a while

  for (int step = 0; step < 30000; ++step) {
    std::string name = names[pick(names.size())];
    if (!acquired.empty() && pick(4) == 0) name = ServiceBuffers()[acquired.back()].serviceName;
    for (char& c : name) {
      if (pick(2)) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    int32_t kind = pick(4) == 0 ? kLongIdKind : kShortIdKind;
    ServiceBufferChoice expected, got;
    {
      platform::MutexLock lock(Classic().bufferLock);
      expected = ScanForBuffer(name, kind);
      got = buffers.Choose(name.c_str(), kind);
    }
    ASSERT_EQ(got.taken, expected.taken) << "step " << step << " name " << name;
    ASSERT_EQ(got.victim, expected.victim) << "step " << step << " name " << name;

    platform::MutexLock lock(Classic().bufferLock);
    if (got.taken != kNoBuffer) {
      ASSERT_EQ(buffers.Take(name.c_str(), kind, nullptr), got.taken);
      ServiceBuffer& buffer = buffers[got.taken];
      SetRecordCount(buffer, static_cast<uint16_t>(RecordCount(buffer) + 1 + pick(3)));
      if (pick(20) == 0) {
        acquired.push_back(got.taken);
      } else {
        buffers.ReleaseLocked(got.taken);
      }
    } else if (got.victim != kNoBuffer) {
      ASSERT_TRUE(buffers.ClaimLocked(got.victim));
    }
    // Now and then, the sender finishes buffers and held ones are released.
    if (pick(3) == 0) {
      BufferNumber b(static_cast<int32_t>(pick(kServiceBufferCount)));
      if (buffers.StateOf(b) == kPendingFlush) {
        SetRecordCount(buffers[b], 0);
        buffers.FreeLocked(b);
      } else if (buffers.StateOf(b) == kInUse && pick(4) == 0) {
        buffers.ClaimLocked(b);
      }
    }
    if (!acquired.empty() && pick(8) == 0) {
      buffers.ReleaseLocked(acquired.back());
      acquired.pop_back();
    }
  }
}

// Fills all 500 buffers with services of their own, buffer b holding a
// count that repeats now and then; returns the buffer numbers in the order
// the victim rule takes them: fullest first, the lower number on a tie.
std::vector<BufferNumber> FillEveryBuffer() {
  std::vector<BufferNumber> order;
  for (int32_t i = 0; i < kServiceBufferCount; ++i) {
    std::string name = "Full" + std::to_string(i);
    BufferNumber b = ServiceBuffers().Acquire(name.c_str(), kShortIdKind);
    EXPECT_EQ(b, B(i));
    SetRecordCount(ServiceBuffers()[b], static_cast<uint16_t>(1 + (i * 37) % 97));
    ServiceBuffers().Release(b);
    order.push_back(b);
  }
  std::stable_sort(order.begin(), order.end(), [](BufferNumber x, BufferNumber y) {
    return RecordCount(ServiceBuffers()[x]) > RecordCount(ServiceBuffers()[y]);
  });
  return order;
}

TEST_F(ServiceBufferTest, FullTableQueuesTheFullestBuffersOneByOneThenGivesUp) {
  ASSERT_EQ(StartSender(), 1);
  std::vector<BufferNumber> order = FillEveryBuffer();
  fake_.HoldExchanges();  // the sender frees nothing meanwhile

  EXPECT_EQ(ServiceBuffers().Acquire("Newcomer", kShortIdKind), kNoBuffer);
  for (size_t i = 0; i < order.size(); ++i) {
    EXPECT_EQ(StateOf(order[i]), i < 100 ? kPendingFlush : kInUse) << "rank " << i;
  }

  fake_.ReleaseExchanges();
  ASSERT_TRUE(WaitUntil([&] { return StateOf(order[99]) == kFree; }));
  std::vector<FakeClientLibrary::Call> sent = fake_.DataExchanges();
  ASSERT_EQ(sent.size(), 100u);
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(sent[i].service, "Full" + std::to_string(order[i].value())) << "rank " << i;
  }
  // The lowest of the freed buffers now takes the newcomer.
  BufferNumber lowest = *std::min_element(
      order.begin(), order.begin() + 100,
      [](BufferNumber x, BufferNumber y) { return x.value() < y.value(); });
  EXPECT_EQ(ServiceBuffers().Acquire("Newcomer", kShortIdKind), lowest);
}

TEST_F(ServiceBufferTest, FullTableRecordLandsInTheBufferTheSenderFreed) {
  ASSERT_EQ(StartSender(), 1);
  std::vector<BufferNumber> order = FillEveryBuffer();
  BufferNumber b;
  {
    ScopedTimeScale realTime(1);  // 100 attempts, 2 ms apart: time for one delivery
    b = ServiceBuffers().Acquire("Newcomer", kShortIdKind);
  }
  ASSERT_NE(b, kNoBuffer);
  std::vector<FakeClientLibrary::Call> sent = fake_.DataExchanges();
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0].service, "Full" + std::to_string(order[0].value()));
  EXPECT_NE(std::find(order.begin(), order.begin() + static_cast<long>(sent.size()), b),
            order.end());
  EXPECT_STREQ(ServiceBuffers()[b].serviceName, "Newcomer");
}

}  // namespace
}  // namespace histfeed::testing
