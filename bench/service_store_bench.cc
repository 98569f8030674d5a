// SPDX-License-Identifier: Apache-2.0
// Values per second from VornMxAddRec through the reference service into
// its SQLite database (each frame acknowledged only once committed), beside
// the service committing the same rows directly, without the network.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/service_under_bench.h"
#include "histfeed.h"
#include "service/listeners/universal_frame_rows.h"
#include "service/storage/sqlite/sqlite_storage.h"
#include "tests/support/temp_directory.h"
#include "wire/frame_format.h"

namespace histfeed {
namespace {

constexpr int32_t kFrameRecords = 326;  // a full PointIdRec frame
constexpr int32_t kPoints = 50;

std::vector<std::string> PointNames() {
  std::vector<std::string> names;
  for (int32_t i = 0; i < kPoints; ++i) names.push_back("TIC" + std::to_string(100 + i));
  return names;
}

// The rows of one full frame, as the service makes them from what it reads.
service::Batch FullFrameRows(int32_t time) {
  const universal::RecordType& type = *universal::FindRecordType(1);
  std::vector<std::string> names = PointNames();
  std::vector<uint8_t> records(size_t{kFrameRecords} * type.recordBytes);
  for (int32_t i = 0; i < kFrameRecords; ++i) {
    universal::EncodeRecord(type, universal::PointValue{time, 0, names[i % kPoints], 0, 1.0 * i, {}},
                            &records[size_t(i) * type.recordBytes]);
  }
  std::vector<uint8_t> frame(universal::FrameLength(type, kFrameRecords));
  universal::EncodeFrame(type, nullptr, records.data(), kFrameRecords, frame.data());
  universal::DecodedFrame decoded;
  universal::DecodeFrame(frame, &decoded);
  return service::UniversalFrameRows(decoded);
}

void BM_AddRecIntoService(benchmark::State& state) {
  ServiceUnderBench service;
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  int32_t key = -1;
  VornMxUniversalInitialize(&key, 1, 0, 0, 0, nullptr, nullptr);
  if (VornMxUniversalDataConnect(key, "127.0.0.1", service.port(), nullptr, 0) != 0) {
    VornMxUniversalCloseSocket(key);
    return state.SkipWithError("connect failed");
  }
  std::vector<std::string> names = PointNames();
  int32_t time = 1000000;
  for (auto _ : state) {
    for (int32_t i = 0; i < kFrameRecords; ++i) {
      if (VornMxAddRec(key, names[i % kPoints].c_str(), time, 0, 0, 1.0 * i) != 0) {
        state.SkipWithError("add failed");
        break;
      }
    }
    if (VornMxFlushUniversalRecord(key, 1) != 0) state.SkipWithError("flush failed");
    ++time;
  }
  state.SetItemsProcessed(state.iterations() * kFrameRecords);
  VornMxUniversalCloseSocket(key);
}

void BM_DirectInsert(benchmark::State& state) {
  testing::TempDirectory dir;
  std::string error;
  std::unique_ptr<service::Storage> storage =
      service::sqlite::OpenStorage(dir.File("bench.db"), {}, &error);
  if (storage == nullptr) return state.SkipWithError("no database");
  service::Batch batch = FullFrameRows(1000000);
  for (auto _ : state) {
    // New time stamps each round: a repeat would store nothing.
    for (service::ValueRow& row : batch.values) ++row.time;
    if (!storage->Commit(batch)) state.SkipWithError("commit failed");
  }
  state.SetItemsProcessed(state.iterations() * kFrameRecords);
}

// Baseline first, so each ratio compares neighbours of one run.
BENCHMARK(BM_DirectInsert)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_AddRecIntoService)->UseRealTime()->MinTime(1.0);

}  // namespace
}  // namespace histfeed

BENCHMARK_MAIN();
