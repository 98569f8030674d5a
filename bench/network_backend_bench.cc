// SPDX-License-Identifier: Apache-2.0
// Data exchanges per second through the built-in network backend to the
// reference service's classic listener on loopback: answered without
// storing (the transport alone) and stored (a full buffer of 100 records
// committed per exchange), beside the same exchange through a plug-in
// that answers in-process, in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "client_library/network_client_library.h"
#include "client_library/plugin_client_library.h"
#include "service/event_log.h"
#include "service/listeners/classic_listener.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "service/storage/storage_writer.h"

namespace {

using namespace histfeed;

std::vector<uint8_t> FullShortRequest() {
  std::vector<uint8_t> request(TARVO_SHORT_ID_REQUEST_SIZE, 0);
  request[0] = TARVO_CODE_SHORT_ID_DATA & 0xFF;
  request[1] = TARVO_CODE_SHORT_ID_DATA >> 8;
  request[2] = TARVO_SHORT_ID_RECORDS_MAX;
  for (int i = 0; i < TARVO_SHORT_ID_RECORDS_MAX; ++i) {
    uint8_t* record = request.data() + TARVO_REQUEST_HEADER_SIZE + i * TARVO_SHORT_ID_RECORD_SIZE;
    char point[9];
    std::snprintf(point, sizeof point, "P%07d", i);
    std::memcpy(record + 6, point, 8);
    std::snprintf(reinterpret_cast<char*>(record + 17), 17, "%16.9G", i * 1.5);
  }
  return request;
}

void RunExchanges(benchmark::State& state, client_library::ClientLibrary& backend) {
  std::vector<uint8_t> request = FullShortRequest();
  uint8_t reply[TARVO_REPLY_SIZE];
  for (auto _ : state) {
    std::memset(reply, 0, sizeof reply);
    if (backend.ShortIdExchange("Plant", request.data(), reply) != 0) {
      state.SkipWithError("exchange failed");
      return;
    }
    benchmark::DoNotOptimize(reply);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_PluginExchange(benchmark::State& state) {
  std::unique_ptr<client_library::ClientLibrary> plugin =
      client_library::LoadPluginClientLibrary(ANSWERING_PLUGIN_PATH, nullptr);
  if (!plugin) {
    state.SkipWithError("the answering plug-in did not load");
    return;
  }
  RunExchanges(state, *plugin);
}

// state.range(0): 1 stores every request, 0 refuses each one unstored.
void BM_NetworkExchange(benchmark::State& state) {
  service::SetEventLogQuiet(true);
  std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("histfeed-bench-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::filesystem::create_directories(directory);
  {
    std::string error;
    std::unique_ptr<service::Storage> storage =
        service::sqlite::OpenStorage((directory / "history.db").string(), {}, &error);
    if (storage == nullptr) {
      state.SkipWithError("cannot open the database");
      return;
    }
    service::ClassicFaults faults;
    if (state.range(0) == 0) faults.refuseEvery = 1;
    service::ServiceMetrics metrics;
    service::StorageWriter writer(*storage, metrics);
    service::ClassicListener listener(writer, metrics, faults);
    if (!listener.Start("127.0.0.1", 0).empty()) {
      state.SkipWithError("cannot listen");
      return;
    }
    std::string map = "Plant=127.0.0.1:" + std::to_string(listener.port());
    auto backend = client_library::MakeNetworkClientLibrary(
        client_library::network::ServiceAddresses::Parse(map, nullptr));
    RunExchanges(state, *backend);
    listener.Stop();
  }
  std::filesystem::remove_all(directory);
}

BENCHMARK(BM_PluginExchange);
BENCHMARK(BM_NetworkExchange)->ArgName("stored")->Arg(0)->Arg(1)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
