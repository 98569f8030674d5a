// SPDX-License-Identifier: Apache-2.0
// histfeed-cache salvage: what the queue would save from a damaged cache
// file, written as a whole file it can load.
#include "platform/file_system.h"
#include "queue/cache_file.h"
#include "tools/cache/cache_file_view.h"
#include "tools/cache/commands.h"

namespace histfeed::cache_tool {

int SalvageFile(const std::string& file, const std::string& output, std::ostream& out,
                std::ostream& err) {
  platform::FileSystem& files = platform::Files();
  if (files.Exists(output)) {
    err << "histfeed-cache: " << output << " exists; salvage writes only a new file\n";
    return kExitBadInput;
  }
  FileView view;
  std::string error = ReadFileView(file, &view);
  if (!error.empty()) {
    err << "histfeed-cache: " << error << "\n";
    return kExitBadInput;
  }
  if (view.kind == FileKind::kSetAside) {
    err << "histfeed-cache: " << file
        << " is a set-aside file, a list of frames rather than a cache file; resend or dump it\n";
    return kExitBadInput;
  }
  if (view.frames.empty()) {
    err << "histfeed-cache: nothing in " << file << " passes its checks; nothing written\n";
    return kExitDamaged;
  }
  std::vector<CacheRecord> records;
  for (const FrameInFile& frame : view.frames) records.push_back(CacheRecord{frame.bytes, frame.length});
  Ring ring;
  if (!PackCacheRecords(records, view.header.slotSize, &ring)) {
    err << "histfeed-cache: out of memory\n";
    return kExitDamaged;
  }
  CacheFileWrite written = WriteCacheFileWhole(ring, output, DirectoryOf(output), &error);
  if (written == CacheFileWrite::kNotCreated || written == CacheFileWrite::kNotWritten) {
    err << "histfeed-cache: " << output << " could not be written: " << error << "\n";
    return kExitDamaged;
  }
  out << output << ": " << view.frames.size() << " of " << view.announced << " records of "
      << file << " saved" << (view.whole() ? " (the file was whole)" : "") << "\n";
  return kExitDone;
}

}  // namespace histfeed::cache_tool
