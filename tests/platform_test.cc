// SPDX-License-Identifier: Apache-2.0
// The contract every platform implementation must meet.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/file_system.h"
#include "platform/thread.h"
#include "tests/support/failing_platform.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/temp_directory.h"

namespace histfeed::platform {
namespace {

TEST(ClockTest, ScaledSleepPassesLibraryTimeQuickly) {
  testing::ScopedTimeScale fast(1000);
  auto realStart = std::chrono::steady_clock::now();
  int64_t start = MonotonicMs();
  SleepMs(5000);
  EXPECT_GE(MonotonicMs() - start, 5000);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, std::chrono::seconds(2));
}

TEST(ClockTest, MonotonicTimeNeverGoesBackWhenTheScaleChanges) {
  int64_t before;
  {
    testing::ScopedTimeScale fast(10000);
    SleepMs(1000);
    before = MonotonicMs();
  }
  EXPECT_GE(MonotonicMs(), before);
}

TEST(ClockTest, CalendarClockIsUnscaledUtc) {
  testing::ScopedTimeScale fast(1000);
  CalendarTime now = CalendarNow();
  EXPECT_GT(now.seconds, 1700000000);
  EXPECT_GE(now.milliseconds, 0);
  EXPECT_LT(now.milliseconds, 1000);
}

TEST(EventTest, WaitTimesOutThenSeesSet) {
  testing::ScopedTimeScale fast(100);
  Event event;
  EXPECT_FALSE(event.Wait(100));
  event.Set();
  EXPECT_TRUE(event.Wait(-1));
  event.Reset();
  EXPECT_FALSE(event.IsSet());
}

std::atomic<int> bodyRuns{0};
Event releaseBody;
void CountingBody(int32_t argument) {
  bodyRuns += argument;
  releaseBody.Wait(-1);
}

TEST(ThreadTest, RunsBodyWithArgumentAndJoinsWithTimeOut) {
  testing::ScopedTimeScale fast(100);
  bodyRuns = 0;
  releaseBody.Reset();
  Thread thread;
  ASSERT_EQ(thread.Start(2048, [] { CountingBody(7); }), 0);
  EXPECT_TRUE(testing::WaitUntil([] { return bodyRuns.load() == 7; }));
  EXPECT_FALSE(thread.Join(200));  // still blocked in its body
  releaseBody.Set();
  EXPECT_TRUE(thread.Join(-1));
  EXPECT_FALSE(thread.Started());
}

TEST(ThreadTest, InjectedStartFailureLeavesHandleEmpty) {
  testing::FailNextThreadStarts(1);
  Thread thread;
  EXPECT_NE(thread.Start(2048, [] { CountingBody(1); }), 0);
  EXPECT_FALSE(thread.Started());
  EXPECT_TRUE(thread.Join(0));
}

TEST(FileSystemTest, CreatesWritesReadsFindsAndRemoves) {
  testing::TempDirectory dir;
  FileSystem& files = Files();
  std::string sub = dir.path() + "sub";
  EXPECT_TRUE(files.MakeDirectory(sub + "/"));
  EXPECT_TRUE(files.IsDirectory(sub));
  EXPECT_FALSE(files.MakeDirectory(dir.path() + "missing/child"));

  auto out = files.CreateFile(sub + "/Q12.que");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->Write("abc", 3));
  EXPECT_TRUE(out->Close());
  auto in = files.OpenFile(sub + "/Q12.que");
  ASSERT_NE(in, nullptr);
  char bytes[8] = {};
  EXPECT_EQ(in->Size(), 3u);
  EXPECT_EQ(in->Read(bytes, sizeof bytes), 3u);
  EXPECT_STREQ(bytes, "abc");
  in.reset();

  auto found = files.FindFiles(sub, "Q*.que");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], "Q12.que");
  EXPECT_TRUE(files.RemoveFile(sub + "/Q12.que"));
  EXPECT_FALSE(files.Exists(sub + "/Q12.que"));
  EXPECT_EQ(files.OpenFile(sub + "/Q12.que"), nullptr);
}

TEST(WildcardTest, MatchesStarsAndSingleCharacters) {
  EXPECT_TRUE(MatchesWildcard("KelQueue12.que", "KelQueue*.que"));
  EXPECT_TRUE(MatchesWildcard("KelQueue.que", "KelQueue*.que"));
  EXPECT_FALSE(MatchesWildcard("KelQueue12.quex", "KelQueue*.que"));
  EXPECT_TRUE(MatchesWildcard("a.b.c", "*.c"));
  EXPECT_TRUE(MatchesWildcard("ab", "a?"));
  EXPECT_FALSE(MatchesWildcard("a", "a?"));
}

}  // namespace
}  // namespace histfeed::platform
