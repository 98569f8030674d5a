// SPDX-License-Identifier: Apache-2.0
// RecordQueue throughput beside the plain copies and file I/O it is built
// from, measured in the same run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_system.h"
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

// The push that spills a full 50 x 8,192 ring into a file (written under a
// temporary name, synced, renamed, the directory synced), and the pops
// that load the file back and take its records, the last of which deletes
// it. Filling the ring before the spill is not timed.
void SpillAndReload(benchmark::State& state) {
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
    for (int i = 0; i < kSlots; ++i) {  // the file's records, then the one pushed
      histfeed::QueuePop(queue, record.data(), kSlotSize, &length);
    }
  }
  state.SetBytesProcessed(state.iterations() * (8 + 2 * kSlots + size_t{kSlots} * kSlotSize));
  histfeed::QueueDestroy(queue);
}

void BM_QueueSpillReload(benchmark::State& state) { SpillAndReload(state); }
BENCHMARK(BM_QueueSpillReload)->Unit(benchmark::kMicrosecond);

// Syncs that return at once, to tell the queue's own work from the disk's.
class NoSyncFiles : public histfeed::platform::FileSystemWrapper {
 public:
  NoSyncFiles() : FileSystemWrapper(histfeed::platform::DefaultFiles()) {}
  std::unique_ptr<histfeed::platform::OutputFile> CreateFile(const std::string& path) override {
    class File : public histfeed::platform::OutputFile {
     public:
      explicit File(std::unique_ptr<histfeed::platform::OutputFile> file) : file_(std::move(file)) {}
      bool Write(const void* data, size_t size) override { return file_->Write(data, size); }
      bool Sync() override { return true; }
      bool Close() override { return file_->Close(); }

     private:
      std::unique_ptr<histfeed::platform::OutputFile> file_;
    };
    return std::make_unique<File>(FileSystemWrapper::CreateFile(path));
  }
  bool SyncDirectory(const std::string&) override { return true; }
};

// The same spill and reload with the syncs left out (rename kept).
void BM_QueueSpillReloadWithoutSync(benchmark::State& state) {
  NoSyncFiles files;
  histfeed::platform::SetFilesForTesting(&files);
  SpillAndReload(state);
  histfeed::platform::SetFilesForTesting(nullptr);
}
BENCHMARK(BM_QueueSpillReloadWithoutSync)->Unit(benchmark::kMicrosecond);

constexpr size_t kImageBytes = 8 + 2 * kSlots + size_t{kSlots} * kSlotSize;

// Baseline: write the same bytes to a file in the same directory, read
// them back and delete the file.
void BM_FileWriteReadDelete(benchmark::State& state) {
  std::string path = BenchDirectory() + "baseline.bin";
  std::vector<uint8_t> image(kImageBytes, 0x33), back(kImageBytes);
  for (auto _ : state) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    std::fwrite(image.data(), 1, kImageBytes, out);
    std::fclose(out);
    std::FILE* in = std::fopen(path.c_str(), "rb");
    benchmark::DoNotOptimize(std::fread(back.data(), 1, kImageBytes, in));
    std::fclose(in);
    std::remove(path.c_str());
  }
  state.SetBytesProcessed(state.iterations() * kImageBytes);
}
BENCHMARK(BM_FileWriteReadDelete)->Unit(benchmark::kMicrosecond);

// The same with what makes a spill durable: a sync of the file, a rename
// into place and a sync of the directory. Its distance from the plain
// baseline is what the syncs cost on this disk.
void BM_FileWriteSyncRenameReadDelete(benchmark::State& state) {
  histfeed::platform::FileSystem& files = histfeed::platform::DefaultFiles();
  std::string dir = BenchDirectory();
  std::string path = dir + "baseline.bin";
  std::vector<uint8_t> image(kImageBytes, 0x33), back(kImageBytes);
  for (auto _ : state) {
    auto out = files.CreateFile(path + ".tmp");
    out->Write(image.data(), kImageBytes);
    out->Sync();
    out->Close();
    files.RenameFile(path + ".tmp", path);
    files.SyncDirectory(dir);
    auto in = files.OpenFile(path);
    benchmark::DoNotOptimize(in->Read(back.data(), kImageBytes));
    in.reset();
    files.RemoveFile(path);
  }
  state.SetBytesProcessed(state.iterations() * kImageBytes);
}
BENCHMARK(BM_FileWriteSyncRenameReadDelete)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
