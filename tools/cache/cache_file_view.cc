// SPDX-License-Identifier: Apache-2.0
#include "tools/cache/cache_file_view.h"

#include <span>

#include "platform/file_system.h"
#include "service/listeners/universal_frame_rows.h"
#include "tools/cache/resend_progress.h"
#include "wire/frame_format.h"

namespace histfeed::cache_tool {
namespace {

constexpr const char* kSetAsideMark = "SetAside";
constexpr const char* kBadSuffix = ".bad";
constexpr size_t kMostFaultsNamed = 16;

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Offset(uint64_t offset) { return "offset " + std::to_string(offset); }

// Why a frame is not valid, or empty when it is.
std::string FrameFault(const uint8_t* bytes, uint16_t length) {
  universal::DecodedFrame decoded;
  universal::FrameError error = universal::DecodeFrame(std::span(bytes, length), &decoded);
  if (error == universal::FrameError::kNone) return "";
  return std::string("not a valid frame (") + service::FrameErrorText(error) + ")";
}

// Notes a fault; past the first kMostFaultsNamed of them (a header
// may announce thousands of records cut short) they are only counted.
template <typename MakeFault>
void AddFault(FileView* view, size_t* more, const MakeFault& make) {
  if (view->faults.size() >= kMostFaultsNamed) {
    ++*more;
  } else {
    view->faults.push_back(make());
  }
}

void SayMoreFaults(FileView* view, size_t more) {
  if (more == 0) return;
  view->faults.push_back(
      FileFault{"and " + std::to_string(more) + " more faults", "not named one by one"});
}

uint16_t Advance(const CacheFileHeader& header, uint16_t index) {
  uint32_t next = index + 1u;
  return next >= header.slotCount ? 0 : static_cast<uint16_t>(next);
}

// Where a record of the ring image lies: its place among the records the
// header announces, its slot, and the offset of its length.
std::string RecordPlace(const CacheFileHeader& header, size_t place, uint16_t slot) {
  return "record " + std::to_string(place + 1) + ", slot " + std::to_string(slot) + ", length at " +
         Offset(kCacheFileHeaderBytes + 2u * slot) + ", bytes at " +
         Offset(CacheFileBytes(header.slotCount, 0) + uint64_t{slot} * header.slotSize);
}

// Where a fault of the image as a whole lies.
std::string ImagePlace(const FileView& view, const std::string& what) {
  const CacheFileHeader& h = view.header;
  uint64_t image = CacheFileBytes(h.slotCount, h.slotSize);
  std::string size = "the file has " + std::to_string(view.size) + " bytes";
  if (what == "cut short") return size + ", its header announces " + std::to_string(image);
  if (what == "checksum mismatch") {
    return "header and lengths, bytes 0 to " + std::to_string(CacheFileBytes(h.slotCount, 0));
  }
  return size + ", its header announces " + std::to_string(image) + ", or " +
         std::to_string(image + CacheTrailerBytes(h.slotCount)) + " with its checksums";
}

void CheckCacheFile(FileView* view) {
  const uint8_t* bytes = view->bytes.data();
  DecodedCacheFile decoded = DecodeCacheFile(bytes, view->bytes.size(), universal::IsValidFrame);
  if (view->bytes.size() >= kCacheFileHeaderBytes) view->header = DecodeCacheFileHeader(bytes);
  view->checksummed = decoded.checksummed;
  view->announced = decoded.recordsAnnounced;
  for (const CacheRecord& record : decoded.records) {
    view->frames.push_back(FrameInFile{record.bytes, record.length,
                                       static_cast<uint64_t>(record.bytes - bytes)});
  }
  if (decoded.damage == nullptr) return;
  const CacheFileHeader& h = view->header;
  if (view->bytes.size() < kCacheFileHeaderBytes || !IsPlausibleCacheFileHeader(h)) {
    std::string where = view->bytes.size() < kCacheFileHeaderBytes
                            ? "the file has " + std::to_string(view->size) + " bytes"
                            : "header: " + std::to_string(h.slotCount) + " slots of " +
                                  std::to_string(h.slotSize) + " bytes, read index " +
                                  std::to_string(h.readIndex) + ", write index " +
                                  std::to_string(h.writeIndex);
    view->faults.push_back(FileFault{decoded.damage, where});
    return;
  }
  const char* firstRecordFault = nullptr;
  for (const char* fault : decoded.recordFaults) {
    if (firstRecordFault == nullptr) firstRecordFault = fault;
  }
  // The file as a whole is damaged when its first fault is none of its
  // records'.
  if (firstRecordFault == nullptr || std::string(decoded.damage) != firstRecordFault) {
    view->faults.push_back(FileFault{decoded.damage, ImagePlace(*view, decoded.damage)});
  }
  uint16_t slot = h.readIndex;
  size_t more = 0;
  for (size_t place = 0; place < decoded.recordFaults.size(); ++place) {
    slot = Advance(h, slot);
    const char* fault = decoded.recordFaults[place];
    if (fault == nullptr) continue;
    AddFault(view, &more, [&] {
      std::string what = fault;
      if (what == "a record that is not valid") {
        // The record lies whole inside the file, or it would be cut short.
        uint16_t length = universal::GetU16(bytes + kCacheFileHeaderBytes + 2u * slot);
        what = FrameFault(bytes + CacheFileBytes(h.slotCount, 0) + size_t{slot} * h.slotSize,
                          length);
      }
      return FileFault{what, RecordPlace(h, place, slot)};
    });
  }
  SayMoreFaults(view, more);
}

void CheckSetAsideFile(FileView* view) {
  const std::vector<uint8_t>& bytes = view->bytes;
  size_t at = 0, more = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 2) {
      view->faults.push_back(FileFault{"cut short", "a length of one byte at " + Offset(at)});
      break;
    }
    uint16_t length = universal::GetU16(&bytes[at]);
    if (bytes.size() - at - 2 < length) {
      view->faults.push_back(FileFault{
          "cut short", "frame " + std::to_string(view->frames.size() + 1) + " at " + Offset(at) +
                           " announces " + std::to_string(length) + " bytes, " +
                           std::to_string(bytes.size() - at - 2) + " follow"});
      break;
    }
    std::string fault = FrameFault(&bytes[at + 2], length);
    if (!fault.empty()) {
      AddFault(view, &more, [&] {
        return FileFault{fault, "frame " + std::to_string(view->frames.size() + 1) + " at " +
                                    Offset(at)};
      });
    }
    view->frames.push_back(FrameInFile{&bytes[at + 2], length, at + 2});
    at += 2u + length;
  }
  SayMoreFaults(view, more);
  uint64_t delivered = DeliveredPrefix(view->path, bytes);
  while (view->delivered < view->frames.size() &&
         view->frames[view->delivered].offset < delivered) {
    ++view->delivered;
  }
}

}  // namespace

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

bool IsSetAsideName(const std::string& path) {
  std::string name = BaseName(path);
  std::string_view suffix = kBadSuffix;
  if (!name.ends_with(suffix)) return false;
  name.resize(name.size() - suffix.size());
  // The extension runs from the last dot, as the library splits names.
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return name.ends_with(kSetAsideMark) && name.size() > std::string_view(kSetAsideMark).size();
}

std::string ReadFileView(const std::string& path, FileView* view) {
  platform::FileSystem& files = platform::Files();
  std::unique_ptr<platform::InputFile> file = files.OpenFile(path);
  if (!file) return path + ": cannot be read: " + files.ErrorText();
  view->path = path;
  view->kind = IsSetAsideName(path) ? FileKind::kSetAside : FileKind::kCacheFile;
  view->size = file->Size();
  uint64_t most = view->size;
  uint8_t head[kCacheFileHeaderBytes];
  size_t got = 0;
  if (view->kind == FileKind::kCacheFile) {
    // As the queue reads it: never more than its header allows.
    got = file->Read(head, sizeof head);
    most = CacheFileReadLimit(head, got, view->size);
  }
  if (most > SIZE_MAX / 2) return path + ": too large to read (" + std::to_string(most) + " bytes)";
  view->bytes.assign(head, head + got);
  view->bytes.resize(static_cast<size_t>(most));
  size_t read = got + file->Read(view->bytes.data() + got, view->bytes.size() - got);
  view->bytes.resize(read);
  CheckFileView(view);
  return "";
}

void CheckFileView(FileView* view) {
  view->frames.clear();
  view->faults.clear();
  view->delivered = 0;
  if (view->kind == FileKind::kSetAside) {
    CheckSetAsideFile(view);
  } else {
    CheckCacheFile(view);
  }
}

}  // namespace histfeed::cache_tool
