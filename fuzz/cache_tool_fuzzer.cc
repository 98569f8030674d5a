// SPDX-License-Identifier: Apache-2.0
// Feeds arbitrary bytes to histfeed-cache's reader, as a cache file and as
// a set-aside file, and to the universal family's queue as a cache file
// left by an earlier run. The reader must not read out of bounds, and its
// verdict must be the queue's: the file is damaged exactly when the queue
// sets it aside, and the queue delivers exactly the frames it counts.
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/one_cache_file.h"
#include "queue/record_queue.h"
#include "tools/cache/cache_file_view.h"
#include "wire/frame_format.h"

namespace {

using histfeed::cache_tool::FileKind;
using histfeed::cache_tool::FileView;

std::vector<std::vector<uint8_t>> DeliveredByTheQueue() {
  std::vector<std::vector<uint8_t>> delivered;
  std::unique_ptr<histfeed::RecordQueue> queue;
  if (histfeed::RecordQueue::Create(4, 8192, &queue) != 0) std::abort();
  queue->SetRecordCheck(histfeed::universal::IsValidFrame);
  queue->EnableCache(0, 0, "Q", "F");
  std::vector<uint8_t> record(65535);
  uint16_t length = 0;
  while (queue->Pop(record.data(), 65535, &length) == 0) {
    delivered.emplace_back(record.begin(), record.begin() + length);
  }
  queue.reset();
  return delivered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  histfeed::fuzz::OneCacheFile files(data, size);
  histfeed::platform::SetFilesForTesting(&files);
  FileView view;
  if (!histfeed::cache_tool::ReadFileView(histfeed::fuzz::OneCacheFile::kPath, &view).empty()) {
    std::abort();
  }
  std::vector<std::vector<uint8_t>> delivered = DeliveredByTheQueue();
  std::vector<std::vector<uint8_t>> counted;
  for (const auto& frame : view.frames) counted.emplace_back(frame.bytes, frame.bytes + frame.length);
  if (files.setAside() == view.whole() || delivered != counted) std::abort();

  FileView aside;
  aside.path = "F/QSetAside.que.bad";
  aside.kind = FileKind::kSetAside;
  aside.bytes.assign(data, data + size);
  histfeed::cache_tool::CheckFileView(&aside);
  histfeed::platform::SetFilesForTesting(nullptr);
  return 0;
}
