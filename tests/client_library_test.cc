// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "classic/sender.h"
#include "classic/service_buffer_table.h"
#include "client_library/client_library.h"
#include "client_library/network_client_library.h"
#include "client_library/plugin_client_library.h"
#include "platform/socket.h"
#include "tests/support/scaled_clock.h"

namespace histfeed::client_library {
namespace {

TEST(PluginClientLibraryTest, BindsAllNineFunctions) {
  std::string error;
  std::unique_ptr<ClientLibrary> plugin = LoadPluginClientLibrary(ANSWERING_PLUGIN_PATH, &error);
  ASSERT_NE(plugin, nullptr) << error;
  EXPECT_EQ(plugin->Startup(0), 0);
  EXPECT_EQ(plugin->Connect("Plant"), 0);
  EXPECT_EQ(plugin->Disconnect("Plant"), 0);
  uint8_t request[TARVO_SHORT_ID_REQUEST_SIZE] = {};
  request[2] = 42;
  EXPECT_EQ(plugin->Stamp(request + TARVO_STAMP_OFFSET, TARVO_STAMP_SIZE), 0);
  EXPECT_EQ(request[TARVO_STAMP_OFFSET], 'T');
  EXPECT_EQ(request[TARVO_STAMP_OFFSET + TARVO_STAMP_SIZE], 0);
  TarvoReplyBlock reply{};
  EXPECT_EQ(plugin->ShortIdExchange("Plant", request, &reply), 0);
  EXPECT_STREQ(reply.text, "42,1000");
  EXPECT_EQ(plugin->LongIdExchange("Plant", request, &reply), 0);
  EXPECT_EQ(plugin->ConfigExchange("Plant", request, &reply), 0);
  EXPECT_EQ(plugin->ServiceKind("Plant"), 1);
  char point[10];
  EXPECT_EQ(plugin->ResolvePoint("Plant", "Plant.Unit.Tag", point, sizeof(point)), 0);
  EXPECT_STREQ(point, "RESOLVED");
}

TEST(PluginClientLibraryTest, LibraryThatCannotBeUsedIsRefusedWithAReason) {
  std::string error;
  EXPECT_EQ(LoadPluginClientLibrary("/nonexistent/libnothing.so", &error), nullptr);
  EXPECT_NE(error.find("cannot load"), std::string::npos) << error;
  EXPECT_EQ(LoadPluginClientLibrary(INCOMPLETE_PLUGIN_PATH, &error), nullptr);
  EXPECT_NE(error.find("TarvoResolvePoint"), std::string::npos) << error;
  EXPECT_EQ(LoadPluginClientLibrary("", &error), nullptr);
  EXPECT_EQ(LoadPluginClientLibrary(nullptr, nullptr), nullptr);
}

TEST(ClientLibraryTest, WithoutAPluginTheNetworkBackendServes) {
  testing::ScopedTimeScale fast(100);
  unsetenv(TARVO_PLUGIN_ENVIRONMENT_VARIABLE);
  // Every service at a port where nothing listens.
  uint16_t closedPort = 0;
  platform::Sockets().CloseSocket(platform::Sockets().ListenLoopback(0, &closedPort));
  std::string services = "*=127.0.0.1:" + std::to_string(closedPort);
  ASSERT_EQ(setenv(network::kServicesVariable, services.c_str(), 1), 0);
  EXPECT_EQ(Startup(0), 0);
  EXPECT_EQ(classic::StartClientLibrary(), 0);
  EXPECT_EQ(Connect("Plant"), kNetworkUnreachable);
  uint8_t stamp[TARVO_STAMP_SIZE] = {};
  EXPECT_EQ(Stamp(stamp, sizeof stamp), 0);
}

}  // namespace
}  // namespace histfeed::client_library
