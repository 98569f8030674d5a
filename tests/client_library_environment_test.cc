// SPDX-License-Identifier: Apache-2.0
// The backend named by HISTFEED_CLIENT_LIBRARY, chosen at the first call.
// Each build of this file is its own program, since the choice is made
// once per process: PLUGIN_PATH names the plug-in, and PLUGIN_USABLE says
// whether it has all nine functions.
#include <gtest/gtest.h>

#include <cstdlib>

#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "classic/service_load.h"
#include "client_library/client_library.h"
#include "tests/support/classic_fixture.h"
#include "tests/support/scaled_clock.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

TEST(ENVIRONMENT_TEST_SUITE, PluginNamedByTheEnvironmentIsUsedOrRefused) {
  ScopedTimeScale fast(100);
  ASSERT_EQ(setenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE, PLUGIN_PATH, 1), 0);
  // The first call, whichever it is, loads the plug-in.
  char point[10] = {};
  int32_t resolved = client_library::ResolvePoint("Plant", "Plant.Unit.Tag", point, sizeof(point));
  // Later changes of the environment are not looked at again.
  ASSERT_EQ(setenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE, "/nonexistent/other.so", 1), 0);
  if (!PLUGIN_USABLE) {
    EXPECT_NE(resolved, 0);
    EXPECT_NE(client_library::Startup(0), 0);
    EXPECT_NE(client_library::Connect("Plant"), 0);
    EXPECT_EQ(StartClientLibrary(), -1);
    EXPECT_EQ(StartSender(), 0);
    return;
  }
  EXPECT_EQ(resolved, 0);
  EXPECT_STREQ(point, "RESOLVED");

  ASSERT_EQ(StartSender(), 1);
  BufferNumber b = AddRecords("Plant", kLongIdKind, 3);
  ASSERT_EQ(ServiceBuffers().Queue(b), 1);
  ASSERT_TRUE(WaitUntil([&] { return StateOf(b) == kFree; }));
  LoadReport report{};
  ASSERT_TRUE(LookUpServiceLoad("Plant", &report));
  EXPECT_EQ(report.count, 3u);  // the plug-in saw three records
  EXPECT_EQ(report.capacity, 1000u);
  StopSenderNow();
}

}  // namespace
}  // namespace histfeed::testing
