#include "queue/lazy_semaphore.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "tests/support/scaled_clock.h"

namespace histfeed {
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
        SemLock lock(slot);
        ++counter;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, 40000);
  SemDestroy(slot);
}

}  // namespace
}  // namespace histfeed
