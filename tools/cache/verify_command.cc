// SPDX-License-Identifier: Apache-2.0
// histfeed-cache verify: whether files are whole, and what is wrong where.
#include "tools/cache/cache_file_view.h"
#include "tools/cache/commands.h"

namespace histfeed::cache_tool {
namespace {

void Describe(const FileView& view, std::ostream& out) {
  if (view.kind == FileKind::kSetAside) {
    out << "set-aside file, " << view.frames.size() << " frames";
    if (view.delivered > 0) out << ", the first " << view.delivered << " already resent";
    return;
  }
  out << "cache file, " << view.frames.size() << " of " << view.announced
      << " records pass their checks, "
      << (view.checksummed ? "checksums sound" : "no checksum trailer");
}

}  // namespace

int VerifyFiles(const std::vector<std::string>& files, std::ostream& out, std::ostream& err) {
  int status = kExitDone;
  for (const std::string& path : files) {
    FileView view;
    std::string error = ReadFileView(path, &view);
    if (!error.empty()) {
      err << "histfeed-cache: " << error << "\n";
      status = kExitBadInput;
      continue;
    }
    out << path << ": " << (view.whole() ? "whole" : "damaged") << " (";
    Describe(view, out);
    out << ")\n";
    for (const FileFault& fault : view.faults) out << "  " << fault.what << ": " << fault.where << "\n";
    if (!view.whole() && status == kExitDone) status = kExitDamaged;
  }
  return status;
}

}  // namespace histfeed::cache_tool
