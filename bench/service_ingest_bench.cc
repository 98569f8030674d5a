// SPDX-License-Identifier: Apache-2.0
// A plant's sources into one service: 100 connections, each sending full
// frames and waiting for each frame's acknowledgement as a key with
// acknowledgement does, beside one loop committing the same rows through
// Storage frame by frame. The service commits the frames of all sources
// together, so it should come close to the loop (goal: 0.7 of it).
//
//   service_ingest_bench --benchmark_repetitions=3
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/service_under_bench.h"
#include "service/storage.h"
#include "service/universal_frame_rows.h"
#include "tests/support/loopback.h"
#include "tests/support/temp_directory.h"
#include "wire/frame_format.h"

namespace histfeed {
namespace {

constexpr int kSources = 100;
constexpr int32_t kFrameRecords = 326;  // a full PointIdRec frame

// Source `source`'s full frame at `time`: its own points, one value each.
std::vector<uint8_t> FullFrame(int source, int32_t time) {
  const universal::RecordType& type = *universal::FindRecordType(1);
  std::vector<uint8_t> records(size_t{kFrameRecords} * type.recordBytes);
  for (int32_t i = 0; i < kFrameRecords; ++i) {
    std::string point = "S" + std::to_string(source) + "P" + std::to_string(i);
    universal::EncodeRecord(type, universal::PointValue{time, 0, point, 0, 0.5 * i, {}},
                            &records[size_t(i) * type.recordBytes]);
  }
  std::vector<uint8_t> frame(universal::FrameLength(type, kFrameRecords));
  universal::EncodeFrame(type, nullptr, records.data(), kFrameRecords, frame.data());
  return frame;
}

service::Batch RowsOf(const std::vector<uint8_t>& frame) {
  universal::DecodedFrame decoded;
  universal::DecodeFrame(frame, &decoded);
  return service::UniversalFrameRows(decoded);
}

// Every source sends a frame and waits for its answer; an iteration ends
// when all have been answered.
bool Round(const std::vector<int>& sockets, const std::vector<std::vector<uint8_t>>& frames) {
  std::vector<pollfd> waiting;
  for (size_t i = 0; i < sockets.size(); ++i) {
    if (!testing::WriteAll(sockets[i], frames[i].data(), frames[i].size())) return false;
    waiting.push_back(pollfd{sockets[i], POLLIN, 0});
  }
  size_t answered = 0;
  while (answered < waiting.size()) {
    if (poll(waiting.data(), waiting.size(), -1) < 0) return false;
    for (pollfd& entry : waiting) {
      if (entry.fd < 0 || entry.revents == 0) continue;
      uint8_t answer = 0;
      if (!testing::ReadExactly(entry.fd, &answer, 1) || answer != 0x06) return false;
      entry.fd = -entry.fd - 1;  // poll skips negative descriptors
      ++answered;
    }
  }
  return true;
}

void BM_DirectInsert(benchmark::State& state) {
  testing::TempDirectory dir;
  service::Storage storage;
  if (!storage.Open(dir.File("bench.db")).empty()) return state.SkipWithError("no database");
  std::vector<service::Batch> batches;
  for (int source = 0; source < kSources; ++source) batches.push_back(RowsOf(FullFrame(source, 0)));
  for (auto _ : state) {
    for (service::Batch& batch : batches) {
      for (service::ValueRow& row : batch.values) ++row.time;  // a repeat would store nothing
      if (!storage.Commit(batch)) return state.SkipWithError("commit failed");
    }
  }
  state.SetItemsProcessed(state.iterations() * kSources * kFrameRecords);
}

void BM_HundredSourcesIntoService(benchmark::State& state) {
  ServiceUnderBench service;
  if (!service.error.empty()) return state.SkipWithError(service.error.c_str());
  std::vector<int> sockets;
  for (int source = 0; source < kSources; ++source) {
    sockets.push_back(testing::ConnectLoopback(service.port()));
    if (sockets.back() < 0) return state.SkipWithError("connect failed");
  }
  int32_t time = 0;
  std::vector<std::vector<uint8_t>> frames(kSources);
  for (auto _ : state) {
    state.PauseTiming();  // the sources' own encoding is not the service's work
    ++time;
    for (int source = 0; source < kSources; ++source) frames[source] = FullFrame(source, time);
    state.ResumeTiming();
    if (!Round(sockets, frames)) {
      state.SkipWithError("a frame was not acknowledged");
      break;
    }
  }
  state.SetItemsProcessed(state.iterations() * kSources * kFrameRecords);
  for (int fd : sockets) close(fd);
}

// Baseline first, so each ratio compares neighbours of one run.
BENCHMARK(BM_DirectInsert)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_HundredSourcesIntoService)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace histfeed

BENCHMARK_MAIN();
