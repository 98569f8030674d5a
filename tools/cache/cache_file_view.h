// SPDX-License-Identifier: Apache-2.0
// A file of a queue's cache directory as the tool sees it: a cache file
// (the image of a ring, in line or set aside as damaged) or a set-aside
// file (frames no service took, each as a u16 length and its bytes), read
// whole and checked the way the universal queue checks what it reads back.
#ifndef HISTFEED_TOOLS_CACHE_CACHE_FILE_VIEW_H_
#define HISTFEED_TOOLS_CACHE_CACHE_FILE_VIEW_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "queue/cache_file.h"

namespace histfeed::cache_tool {

enum class FileKind { kCacheFile, kSetAside };

struct FrameInFile {
  const uint8_t* bytes;
  uint16_t length;
  uint64_t offset;  // of its bytes in the file
};

// Something wrong with a file, and where.
struct FileFault {
  std::string what;
  std::string where;
};

struct FileView {
  std::string path;
  FileKind kind = FileKind::kCacheFile;
  uint64_t size = 0;           // on disk
  std::vector<uint8_t> bytes;  // read, never more than the format allows
  // Cache files: the header, whether a sound checksum trailer was found,
  // and how many records the header announces.
  CacheFileHeader header{};
  bool checksummed = false;
  uint16_t announced = 0;
  // The frames that pass every check, oldest first: for a cache file what
  // the queue would deliver from it, for a set-aside file every whole one.
  std::vector<FrameInFile> frames;
  // Set-aside files: the frames at the start that a resend already
  // delivered, by its progress file (they stay in the file until the
  // last is delivered).
  size_t delivered = 0;
  std::vector<FileFault> faults;  // none for a whole file

  bool whole() const { return faults.empty(); }
};

// The directory part of a path, ending in its separator ("." for none).
std::string DirectoryOf(const std::string& path);

// Whether a file name is that of a set-aside file: <prefix>SetAside<ext>.bad.
bool IsSetAsideName(const std::string& path);

// Reads and checks a file; an error text when it cannot be read at all.
std::string ReadFileView(const std::string& path, FileView* view);

// Checks the bytes of a file already in view->bytes (view->path names it).
void CheckFileView(FileView* view);

}  // namespace histfeed::cache_tool

#endif  // HISTFEED_TOOLS_CACHE_CACHE_FILE_VIEW_H_
