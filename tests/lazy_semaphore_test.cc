// SPDX-License-Identifier: Apache-2.0
#include "platform/lazy_semaphore.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "tests/support/scaled_clock.h"

namespace histfeed::platform {
namespace {

TEST(LazySemaphoreTest, FreshSlotIsAnUnlockedLock) {
  LazySemaphore slot;
  EXPECT_EQ(SemRelease(slot), 0);  // empty slot: nothing to release
  EXPECT_EQ(SemWait(slot, kWaitForever), 0);
  EXPECT_NE(slot.handle.load(), nullptr);
  EXPECT_EQ(SemRelease(slot), 0);
  EXPECT_NE(SemRelease(slot), 0);  // already at its maximum of 1
  EXPECT_EQ(SemWait(slot, 0), 0);
  SemRelease(slot);
  SemDestroy(slot);
}

TEST(LazySemaphoreTest, WaitOnAHeldSemaphoreTimesOut) {
  testing::ScopedTimeScale fast(100);
  LazySemaphore slot;
  ASSERT_EQ(SemWait(slot, kWaitForever), 0);
  int32_t result = 0;
  std::thread other([&] { result = SemWait(slot, 500); });
  other.join();
  EXPECT_EQ(result, -1);
  SemRelease(slot);
  SemDestroy(slot);
}

TEST(LazySemaphoreTest, ConcurrentFirstWaitsCreateOneSemaphore) {
  for (int round = 0; round < 20; ++round) {
    LazySemaphore slot;
    std::vector<std::thread> threads;
    std::vector<platform::BinarySemaphore*> seen(8);
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&, i] {
        SemWait(slot, kWaitForever);
        seen[i] = slot.handle.load();
        SemRelease(slot);
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(std::set<platform::BinarySemaphore*>(seen.begin(), seen.end()).size(), 1u);
    SemDestroy(slot);
  }
}

TEST(LazySemaphoreTest, ExcludesConcurrentHolders) {
  LazySemaphore slot;
  int counter = 0;  // guarded by slot
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 10000; ++k) {
        SemWait(slot, kWaitForever);
        ++counter;
        SemRelease(slot);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 40000);
  SemDestroy(slot);
}

// Two threads hand two semaphores back and forth, so nearly every wait
// has to sleep and every release has to find the sleeper. A missed
// wake-up would show as a timed-out wait (the limit is only ever reached
// on failure).
TEST(LazySemaphoreTest, ReleasesAlwaysWakeASleepingWaiter) {
  constexpr int32_t kNeverMs = 20000;
  LazySemaphore ping;
  LazySemaphore pong;
  ASSERT_EQ(SemWait(ping, kWaitForever), 0);
  ASSERT_EQ(SemWait(pong, kWaitForever), 0);
  int failures = 0;
  std::thread other([&] {
    for (int i = 0; i < 2000; ++i) {
      if (SemWait(ping, kNeverMs) != 0) ++failures;
      SemRelease(pong);
    }
  });
  int myFailures = 0;
  for (int i = 0; i < 2000; ++i) {
    SemRelease(ping);
    if (SemWait(pong, kNeverMs) != 0) ++myFailures;
  }
  other.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(myFailures, 0);
  SemDestroy(ping);
  SemDestroy(pong);
}

}  // namespace
}  // namespace histfeed::platform
