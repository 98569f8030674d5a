// SPDX-License-Identifier: Apache-2.0
// The real service process killed and restarted under a stream from a
// universal key with acknowledgement and a queue: every value the library
// accepted must end up in the database, once the queue has drained.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>
#include <string>
#include <vector>

#include "histfeed.h"
#include "queue/record_queue.h"
#include "tests/support/database_rows.h"
#include "tests/support/loopback.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_directory.h"
#include "tests/support/universal_fixture.h"

namespace histfeed::testing {
namespace {

// Each universal value stored, as "point|time".
std::multiset<std::string> StoredPointTimes(const std::string& database) {
  std::multiset<std::string> stored;
  for (const std::string& row : StoredValues(database, "universal")) {
    size_t point = row.find('|') + 1;
    size_t time = row.find('|', point) + 1;
    stored.insert(row.substr(point, row.find('|', time) - point));
  }
  return stored;
}

class ServiceRestartTest : public UniversalTest {
 protected:
  ScopedTimeScale fast_{20};
  TempDirectory dir_;
};

TEST_F(ServiceRestartTest, KilledAndRestartedServiceLosesNoAcceptedValue) {
  const uint16_t port = FreeLoopbackPort();
  ServiceProcess service(HISTFEED_SERVICE_BINARY, dir_.File("history.db"), port);
  ASSERT_TRUE(service.Start());

  int32_t key = -1;
  ASSERT_EQ(VornMxUniversalInitialize(&key, 1, 1, 1, 409 * 4, "Restart",
                                      dir_.path().c_str()),
            0);
  ASSERT_EQ(VornMxUniversalDataConnect(key, "127.0.0.1", port, nullptr, 0), 0);

  constexpr int kFrames = 240, kPoints = 20, kKillAt = 60, kRestartAt = 180;
  const std::string points[kPoints] = {"P0",  "P1",  "P2",  "P3",  "P4",  "P5",  "P6",
                                       "P7",  "P8",  "P9",  "P10", "P11", "P12", "P13",
                                       "P14", "P15", "P16", "P17", "P18", "P19"};
  std::multiset<std::string> accepted;
  for (int frame = 0; frame < kFrames; ++frame) {
    if (frame == kKillAt) service.Stop(SIGKILL);
    // 120 frames arrive while the service is down: more than the queue's
    // 50 slots, so some wait in cache files.
    if (frame == kRestartAt) {
      ASSERT_TRUE(service.Start());
    }
    for (int point = 0; point < kPoints; ++point) {
      ASSERT_EQ(VornMxAddRec(key, points[point].c_str(), 1000 + frame, 0, 0, frame), 0);
    }
    ASSERT_EQ(VornMxFlushUniversalRecord(key, 1), 0) << "frame " << frame;
    for (const std::string& point : points) {
      accepted.insert(point + "|" + std::to_string(1000 + frame));
    }
  }

  universal::Key& connection = universal::KeyAt(key);
  ASSERT_TRUE(WaitUntil(
      [&] {
        return connection.outbox().QueueForTesting()->Count() == 0 &&
               StoredPointTimes(dir_.File("history.db")).size() >= accepted.size();
      },
      std::chrono::seconds(60)));
  VornMxUniversalCloseSocket(key);
  service.Stop(SIGTERM);

  std::multiset<std::string> stored = StoredPointTimes(dir_.File("history.db"));
  std::set<std::string> distinct(stored.begin(), stored.end());
  EXPECT_EQ(distinct, std::set<std::string>(accepted.begin(), accepted.end()));
  // The frame the service had stored when it was killed may come again; it
  // is kept once.
  EXPECT_EQ(stored.size(), distinct.size());
}

}  // namespace
}  // namespace histfeed::testing
