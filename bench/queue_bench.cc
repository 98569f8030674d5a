// RecordQueue throughput beside the plain copies and file I/O it is built
// from, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "queue/record_queue.h"

namespace {

constexpr uint16_t kSlots = 50;
constexpr uint16_t kSlotSize = 8192;

// Push then pop one 8,192-byte record: two copies of the record.
void BM_QueuePushPop(benchmark::State& state) {
  histfeed::RecordQueue* queue = nullptr;
  histfeed::QueueCreate(&queue, kSlots, kSlotSize);
  std::vector<uint8_t> in(kSlotSize, 0x5A), out(kSlotSize);
  uint16_t length = 0;
  for (auto _ : state) {
    histfeed::QueuePush(queue, in.data(), kSlotSize);
    histfeed::QueuePop(queue, out.data(), kSlotSize, &length);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kSlotSize);
  histfeed::QueueDestroy(queue);
}
BENCHMARK(BM_QueuePushPop);

// Baseline: the same two copies with memcpy, into a slot and back out.
void BM_MemcpyInAndOut(benchmark::State& state) {
  std::vector<uint8_t> in(kSlotSize, 0x5A), slots(size_t{kSlots} * kSlotSize), out(kSlotSize);
  size_t slot = 0;
  for (auto _ : state) {
    uint8_t* at = slots.data() + slot * kSlotSize;
    std::memcpy(at, in.data(), kSlotSize);
    benchmark::ClobberMemory();
    std::memcpy(out.data(), at, kSlotSize);
    benchmark::DoNotOptimize(out.data());
    slot = (slot + 1) % kSlots;
  }
  state.SetBytesProcessed(state.iterations() * kSlotSize);
}
BENCHMARK(BM_MemcpyInAndOut);

std::string BenchDirectory() {
  auto dir = std::filesystem::temp_directory_path() / "histfeed-bench-cache";
  std::filesystem::create_directories(dir);
  return dir.string() + "/";
}

// The push that spills a full 50 x 8,192 ring into a file, and the pop that
// loads the file back (and deletes it). Filling and draining the ring
// around them is not timed.
void BM_QueueSpillReload(benchmark::State& state) {
  std::string dir = BenchDirectory();
  histfeed::RecordQueue* queue = nullptr;
  histfeed::QueueCreate(&queue, kSlots, kSlotSize);
  histfeed::QueueEnableCache(queue, 0, 0, "Bench", dir.c_str());
  std::vector<uint8_t> record(kSlotSize, 0x33);
  uint16_t length = 0;
  for (auto _ : state) {
    state.PauseTiming();
    while (histfeed::QueueCount(queue) < kSlots - 1) {
      histfeed::QueuePush(queue, record.data(), kSlotSize);
    }
    state.ResumeTiming();
    histfeed::QueuePush(queue, record.data(), kSlotSize);  // spills the ring
    histfeed::QueuePop(queue, record.data(), kSlotSize, &length);  // loads the file
    state.PauseTiming();
    while (histfeed::QueuePop(queue, record.data(), kSlotSize, &length) == 0) {
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * (8 + 2 * kSlots + size_t{kSlots} * kSlotSize));
  histfeed::QueueDestroy(queue);
}
BENCHMARK(BM_QueueSpillReload)->Unit(benchmark::kMicrosecond);

// Baseline: write the same bytes to a file in the same directory, read
// them back and delete the file.
void BM_FileWriteReadDelete(benchmark::State& state) {
  std::string path = BenchDirectory() + "baseline.bin";
  size_t bytes = 8 + 2 * kSlots + size_t{kSlots} * kSlotSize;
  std::vector<uint8_t> image(bytes, 0x33), back(bytes);
  for (auto _ : state) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(image.data(), 1, bytes, out);
    std::fclose(out);
    std::FILE* in = std::fopen(path.c_str(), "rb");
    benchmark::DoNotOptimize(std::fread(back.data(), 1, bytes, in));
    std::fclose(in);
    std::remove(path.c_str());
  }
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK(BM_FileWriteReadDelete)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
