// SPDX-License-Identifier: Apache-2.0
// RecordQueue throughput beside the plain copies and file I/O it is built
// from, measured in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "queue/record_queue.h"

namespace {

constexpr uint16_t kSlots = 50;
constexpr uint16_t kSlotSize = 8192;

// Push then pop one 8,192-byte record: two copies of the record.
void BM_QueuePushPop(benchmark::State& state) {
  std::unique_ptr<histfeed::RecordQueue> queue;
  histfeed::RecordQueue::Create(kSlots, kSlotSize, &queue);
  std::vector<uint8_t> in(kSlotSize, 0x5A), out(kSlotSize);
  uint16_t length = 0;
  for (auto _ : state) {
    queue->Push(in.data(), kSlotSize);
    queue->Pop(out.data(), kSlotSize, &length);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kSlotSize);
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

constexpr size_t kImageBytes = 8 + 2 * kSlots + size_t{kSlots} * kSlotSize;

// Spill and reload against plain file I/O of the same bytes, in pairs:
//
//   BM_QueueSpillReload             the push that spills a full 50 x 8,192
//                                   ring (temporary name, file synced,
//                                   renamed, directory synced), the pops
//                                   that load the file back and take its
//                                   records (the last one renames the file
//                                   out of line), and the removal of the
//                                   delivered file that the queue's owner
//                                   asks for when it is idle
//   BM_FileWriteSyncRenameReadDelete  its baseline: the same image bytes
//                                   written under a temporary name, the
//                                   file synced, renamed, the directory
//                                   synced, read back whole, deleted; one
//                                   sync of the file, one of the directory
//                                   and one rename each, so the candidate's
//                                   extra is its checksums, its copies and
//                                   the rename that takes a delivered file
//                                   out of line
//   BM_QueueSpillReloadWithoutSync  the candidate with both syncs made
//                                   no-ops (renames kept)
//   BM_FileWriteRenameReadDelete    its baseline: the same without syncs
//   BM_FileWriteReadDelete          write, read, delete: no rename, no sync
//
// Each pair's distance between the synced and the unsynced run is what
// the two syncs cost on this disk. All are timed on the wall clock; the
// filling of the ring before a spill is left out by reading the clock
// around the rest (pausing the benchmark's timer would cost more than a
// rename, as it reads the thread's processor time through the kernel).
void SpillAndReload(benchmark::State& state) {
  std::string dir = BenchDirectory();
  std::unique_ptr<histfeed::RecordQueue> queue;
  histfeed::RecordQueue::Create(kSlots, kSlotSize, &queue);
  queue->EnableCache(0, 0, "Bench", dir.c_str());
  std::vector<uint8_t> record(kSlotSize, 0x33);
  uint16_t length = 0;
  for (auto _ : state) {
    while (queue->Count() < kSlots - 1) {
      queue->Push(record.data(), kSlotSize);
    }
    auto start = std::chrono::steady_clock::now();
    queue->Push(record.data(), kSlotSize);  // spills the ring
    for (int i = 0; i < kSlots; ++i) {  // the file's records, then the one pushed
      queue->Pop(record.data(), kSlotSize, &length);
    }
    queue->RemoveDeliveredFiles();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetBytesProcessed(state.iterations() * kImageBytes);
  queue.reset();
}

void BM_QueueSpillReload(benchmark::State& state) { SpillAndReload(state); }
BENCHMARK(BM_QueueSpillReload)->UseManualTime()->Unit(benchmark::kMicrosecond);

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

void BM_QueueSpillReloadWithoutSync(benchmark::State& state) {
  NoSyncFiles files;
  histfeed::platform::SetFilesForTesting(&files);
  SpillAndReload(state);
  histfeed::platform::SetFilesForTesting(nullptr);
}
BENCHMARK(BM_QueueSpillReloadWithoutSync)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The baselines, through the same file system layer as the queue.
void WriteRenameReadDelete(benchmark::State& state, bool sync) {
  histfeed::platform::FileSystem& files = histfeed::platform::DefaultFiles();
  std::string dir = BenchDirectory();
  std::string path = dir + "baseline.bin";
  std::vector<uint8_t> image(kImageBytes, 0x33), back(kImageBytes);
  for (auto _ : state) {
    auto out = files.CreateFile(path + ".tmp");
    out->Write(image.data(), kImageBytes);
    if (sync) out->Sync();
    out->Close();
    files.RenameFile(path + ".tmp", path);
    if (sync) files.SyncDirectory(dir);
    auto in = files.OpenFile(path);
    benchmark::DoNotOptimize(in->Read(back.data(), kImageBytes));
    in.reset();
    files.RemoveFile(path);
  }
  state.SetBytesProcessed(state.iterations() * kImageBytes);
}

void BM_FileWriteSyncRenameReadDelete(benchmark::State& state) {
  WriteRenameReadDelete(state, true);
}
BENCHMARK(BM_FileWriteSyncRenameReadDelete)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FileWriteRenameReadDelete(benchmark::State& state) { WriteRenameReadDelete(state, false); }
BENCHMARK(BM_FileWriteRenameReadDelete)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FileWriteReadDelete(benchmark::State& state) {
  histfeed::platform::FileSystem& files = histfeed::platform::DefaultFiles();
  std::string path = BenchDirectory() + "baseline.bin";
  std::vector<uint8_t> image(kImageBytes, 0x33), back(kImageBytes);
  for (auto _ : state) {
    auto out = files.CreateFile(path);
    out->Write(image.data(), kImageBytes);
    out->Close();
    auto in = files.OpenFile(path);
    benchmark::DoNotOptimize(in->Read(back.data(), kImageBytes));
    in.reset();
    files.RemoveFile(path);
  }
  state.SetBytesProcessed(state.iterations() * kImageBytes);
}
BENCHMARK(BM_FileWriteReadDelete)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
