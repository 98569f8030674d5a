// SPDX-License-Identifier: Apache-2.0
// histfeed-cache list: what waits in a cache directory.
#include <cstdio>
#include <string>

#include "platform/file_system.h"
#include "service/http/json_writer.h"
#include "tools/cache/cache_directory.h"
#include "tools/cache/cache_file_view.h"
#include "tools/cache/commands.h"
#include "tools/cache/frame_values.h"

namespace histfeed::cache_tool {
namespace {

struct ListedFile {
  CacheEntry entry;
  bool read = false;  // files being written or delivered are not read
  std::string error;  // why it could not be read
  FileView view;
  ValueTotals totals;
};

// The checksum state of a file, in a word.
std::string ChecksumState(const ListedFile& file) {
  if (!file.error.empty()) return "unreadable";
  if (!file.view.whole()) return "damaged";
  if (file.view.kind == FileKind::kSetAside) return "none";
  return file.view.checksummed ? "sound" : "none";
}

ListedFile ReadListed(const std::string& directory, const CacheEntry& entry) {
  ListedFile file;
  file.entry = entry;
  std::string path = directory + entry.name;
  if (entry.kind == EntryKind::kBeingWritten || entry.kind == EntryKind::kDelivered) {
    if (auto opened = platform::Files().OpenFile(path)) file.view.size = opened->Size();
    return file;
  }
  file.read = true;
  file.error = ReadFileView(path, &file.view);
  for (size_t i = file.view.delivered; i < file.view.frames.size(); ++i) {
    file.totals.Add(file.view.frames[i].bytes, file.view.frames[i].length);
  }
  return file;
}

struct Totals {
  int64_t waitingFiles = 0, frames = 0, bytes = 0;
  ValueTotals values;
  int64_t setAsideFiles = 0, setAsideFrames = 0, damagedFiles = 0, deliveredFiles = 0,
          beingWritten = 0;
};

Totals Sum(const std::vector<ListedFile>& files) {
  Totals totals;
  for (const ListedFile& file : files) {
    int64_t frames = static_cast<int64_t>(file.view.frames.size() - file.view.delivered);
    switch (file.entry.kind) {
      case EntryKind::kCacheFile:
        ++totals.waitingFiles;
        totals.frames += frames;
        totals.bytes += static_cast<int64_t>(file.view.size);
        totals.values.Add(file.totals);
        break;
      case EntryKind::kSetAside:
        ++totals.setAsideFiles;
        totals.setAsideFrames += frames;
        break;
      case EntryKind::kDamaged: ++totals.damagedFiles; break;
      case EntryKind::kDelivered: ++totals.deliveredFiles; break;
      case EntryKind::kBeingWritten: ++totals.beingWritten; break;
    }
  }
  return totals;
}

std::string AgeText(int64_t seconds) {
  if (seconds < 0) return "in the future";
  char text[64];
  std::snprintf(text, sizeof text, "%lld d %02lld:%02lld:%02lld ago",
                static_cast<long long>(seconds / 86400), static_cast<long long>(seconds / 3600 % 24),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return text;
}

std::string OptionalTime(const std::optional<int64_t>& time) {
  return time ? TimeText(*time) : "-";
}

void WriteText(const std::vector<ListedFile>& files, const Totals& totals, int64_t now,
               std::ostream& out) {
  char line[512];
  std::snprintf(line, sizeof line, "%-28s %-9s %6s %7s %7s  %-19s  %-19s %9s  %s\n", "file",
                "kind", "frames", "records", "values", "first (UTC)", "last (UTC)", "bytes",
                "checksums");
  out << line;
  for (const ListedFile& file : files) {
    const FileView& view = file.view;
    std::snprintf(line, sizeof line, "%-28s %-9s %6lld %7lld %7lld  %-19s  %-19s %9llu  %s",
                  file.entry.name.c_str(), EntryKindName(file.entry.kind),
                  static_cast<long long>(view.frames.size() - view.delivered),
                  static_cast<long long>(file.totals.records),
                  static_cast<long long>(file.totals.values),
                  OptionalTime(file.totals.firstTime).c_str(),
                  OptionalTime(file.totals.lastTime).c_str(),
                  static_cast<unsigned long long>(view.size),
                  file.read ? ChecksumState(file).c_str() : "-");
    out << line;
    if (!file.error.empty()) out << " (" << file.error << ")";
    if (!view.faults.empty()) out << " (" << view.faults.front().what << ")";
    if (view.delivered > 0) out << " (" << view.delivered << " frames already resent)";
    out << "\n";
  }
  out << "total: " << totals.waitingFiles << " cache files waiting, " << totals.frames
      << " frames, " << totals.values.records << " records, " << totals.values.values
      << " values, " << totals.bytes << " bytes";
  if (totals.values.firstTime) {
    out << "; oldest waiting value " << TimeText(*totals.values.firstTime) << " UTC, "
        << AgeText(now - *totals.values.firstTime);
  }
  out << "\n";
  if (totals.setAsideFrames + totals.damagedFiles + totals.deliveredFiles + totals.beingWritten > 0) {
    out << "also: " << totals.setAsideFrames << " frames set aside in " << totals.setAsideFiles
        << " files, " << totals.damagedFiles << " damaged files set aside, "
        << totals.deliveredFiles << " delivered files waiting for removal, "
        << totals.beingWritten << " files being written\n";
  }
}

void WriteJson(const std::string& directory, const std::vector<ListedFile>& files,
               const Totals& totals, int64_t now, std::ostream& out) {
  service::http::JsonWriter json;
  json.BeginObject().Member("directory", directory).Key("files").BeginArray();
  for (const ListedFile& file : files) {
    const FileView& view = file.view;
    json.BeginObject()
        .Member("name", file.entry.name)
        .Member("kind", std::string(EntryKindName(file.entry.kind)))
        .Member("prefix", file.entry.prefix)
        .Member("extension", file.entry.extension);
    if (file.entry.kind != EntryKind::kSetAside) json.Member("number", file.entry.number);
    json.Member("bytes", view.size);
    if (file.read) {
      json.Member("frames", view.frames.size() - view.delivered)
          .Member("records", file.totals.records)
          .Member("values", file.totals.values);
      json.Key("first_time");
      file.totals.firstTime ? json.Int(*file.totals.firstTime) : json.Null();
      json.Key("last_time");
      file.totals.lastTime ? json.Int(*file.totals.lastTime) : json.Null();
      json.Member("checksums", ChecksumState(file));
      json.Key("damage");
      view.faults.empty() ? json.Null() : json.String(view.faults.front().what);
      if (file.entry.kind == EntryKind::kSetAside) json.Member("resent", view.delivered);
      if (!file.error.empty()) json.Member("error", file.error);
    }
    json.EndObject();
  }
  json.EndArray().Key("total").BeginObject()
      .Member("cache_files", totals.waitingFiles)
      .Member("frames", totals.frames)
      .Member("records", totals.values.records)
      .Member("values", totals.values.values)
      .Member("bytes", totals.bytes);
  json.Key("oldest_time");
  totals.values.firstTime ? json.Int(*totals.values.firstTime) : json.Null();
  json.Key("oldest_age_seconds");
  totals.values.firstTime ? json.Int(now - *totals.values.firstTime) : json.Null();
  json.Member("set_aside_files", totals.setAsideFiles)
      .Member("set_aside_frames", totals.setAsideFrames)
      .Member("damaged_files", totals.damagedFiles)
      .Member("delivered_files", totals.deliveredFiles)
      .Member("being_written", totals.beingWritten)
      .EndObject()
      .EndObject();
  out << json.text() << "\n";
}

}  // namespace

int ListDirectory(const ListRequest& request, std::ostream& out, std::ostream& err) {
  std::string directory = request.directory.empty() ? "." : request.directory;
  if (!platform::IsPathSeparator(directory.back())) directory.push_back(platform::kPathSeparator);
  if (!platform::Files().IsDirectory(directory)) {
    err << "histfeed-cache: " << request.directory << " is not a directory\n";
    return kExitBadInput;
  }
  std::vector<ListedFile> files;
  for (const CacheEntry& entry : FindCacheEntries(directory, request.prefix, request.extension)) {
    files.push_back(ReadListed(directory, entry));
  }
  Totals totals = Sum(files);
  if (request.format == Format::kJson) {
    WriteJson(directory, files, totals, request.now, out);
  } else {
    WriteText(files, totals, request.now, out);
  }
  return kExitDone;
}

}  // namespace histfeed::cache_tool
