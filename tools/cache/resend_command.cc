// SPDX-License-Identifier: Apache-2.0
// histfeed-cache resend: sends the frames of a file to a service, in
// order, and takes each delivered frame out of the file before the next
// one goes, so that a crash part-way loses nothing and sends at most one
// frame again.
#include <cstdio>
#include <span>

#include "platform/file_system.h"
#include "platform/socket.h"
#include "queue/cache_file.h"
#include "service/listeners/universal_frame_rows.h"
#include "tools/cache/cache_file_view.h"
#include "tools/cache/commands.h"
#include "tools/cache/resend_progress.h"
#include "wire/frame_format.h"

namespace histfeed::cache_tool {
namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

std::string ByteText(uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", byte);
  return text;
}

class Connection {
 public:
  ~Connection() { platform::Sockets().CloseSocket(socket_); }

  // An error text, empty once connected.
  std::string Open(const std::string& host, uint16_t port, int64_t timeoutMs) {
    platform::SocketSystem& sockets = platform::Sockets();
    if (sockets.StartSockets() != 0) return "the socket layer could not be started";
    uint8_t address[4];
    if (!sockets.ResolveIpv4(host.c_str(), address)) return "unknown host " + host;
    socket_ = sockets.OpenStreamSocket();
    if (socket_ == platform::kInvalidSocket ||
        !sockets.ConnectSocketWithin(socket_, platform::MakeIpv4Address(address, port),
                                     timeoutMs)) {
      return "cannot connect to " + host + ":" + std::to_string(port);
    }
    return "";
  }

  // Sends a frame and, when asked, reads its answer. An error text, empty
  // when the service took the frame.
  std::string Deliver(const FrameInFile& frame, bool ack, int64_t timeoutMs) {
    platform::SocketSystem& sockets = platform::Sockets();
    if (sockets.SendAll(socket_, frame.bytes, frame.length) != frame.length) {
      return "the connection failed while sending";
    }
    if (!ack) return "";
    uint8_t answer = 0;
    platform::WaitResult wait;
    int32_t got = sockets.ReceiveWithin(socket_, &answer, 1, timeoutMs, &wait);
    if (wait == platform::WaitResult::kTimedOut) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(timeoutMs) / 1000);
      return std::string("no acknowledgement within ") + seconds +
             " s; the service may have stored it, so it may arrive twice";
    }
    if (got <= 0) return "the service closed the connection before answering";
    // Configuration is taken with either byte, as the library takes it.
    bool config = universal::IsConfigRecordType(universal::FrameRecordType(frame.bytes, frame.length));
    if (answer == kAck || (config && answer == kNak)) return "";
    return "the service refused it (answered " + ByteText(answer) + ")";
  }

 private:
  platform::SocketHandle socket_ = platform::kInvalidSocket;
};

// Removes a file whose frames have all been delivered.
std::string RemoveDelivered(const std::string& path) {
  platform::FileSystem& files = platform::Files();
  if (!files.RemoveFile(path) && files.Exists(path)) {
    return path + " could not be removed: " + files.ErrorText();
  }
  files.SyncDirectory(DirectoryOf(path));
  return "";
}

// Takes frames [0, delivered) out of the file on disk. An error text.
std::string TakeOut(const FileView& view, size_t delivered) {
  const FrameInFile& last = view.frames[delivered - 1];
  std::string error;
  if (view.kind == FileKind::kSetAside) {
    if (SaveDeliveredPrefix(view.path, view.bytes, last.offset + last.length, &error)) return "";
    return ProgressFileName(view.path) + " could not be written: " + error;
  }
  if (delivered == view.frames.size()) return RemoveDelivered(view.path);
  std::vector<CacheRecord> left;
  for (size_t i = delivered; i < view.frames.size(); ++i) {
    left.push_back(CacheRecord{view.frames[i].bytes, view.frames[i].length});
  }
  Ring ring;
  if (!PackCacheRecords(left, view.header.slotSize, &ring)) return "out of memory";
  CacheFileWrite written = WriteCacheFileWhole(ring, view.path, DirectoryOf(view.path), &error);
  if (written == CacheFileWrite::kNotCreated || written == CacheFileWrite::kNotWritten) {
    return view.path + " could not be rewritten: " + error;
  }
  return "";
}

// Sends the waiting frames of `view`; counts them in *sent. An error
// text, empty when all went.
std::string SendWaiting(const FileView& view, const ResendRequest& request,
                        Connection& connection, size_t* sent) {
  for (size_t i = view.delivered; i < view.frames.size(); ++i) {
    const FrameInFile& frame = view.frames[i];
    std::string where = "frame " + std::to_string(i + 1) + " of " + view.path;
    universal::DecodedFrame decoded;
    universal::FrameError invalid =
        universal::DecodeFrame(std::span(frame.bytes, frame.length), &decoded);
    if (invalid != universal::FrameError::kNone) {
      return where + " is not a valid frame (" + service::FrameErrorText(invalid) +
             "): no service takes it";
    }
    std::string refused = connection.Deliver(frame, request.ack, request.timeoutMs);
    if (!refused.empty()) return where + ": " + refused;
    std::string error = TakeOut(view, i + 1);
    if (!error.empty()) return where + " was delivered, but " + error;
    ++*sent;
  }
  return "";
}

}  // namespace

int ResendFile(const ResendRequest& request, std::ostream& out, std::ostream& err) {
  FileView view;
  std::string error = ReadFileView(request.file, &view);
  if (!error.empty()) {
    err << "histfeed-cache: " << error << "\n";
    return kExitBadInput;
  }
  if (view.kind == FileKind::kCacheFile && !view.whole()) {
    err << "histfeed-cache: " << request.file << " is damaged (" << view.faults.front().what
        << "); save what passes its checks with salvage, then resend that file\n";
    return kExitBadInput;
  }
  Connection connection;
  if (view.delivered < view.frames.size()) {
    error = connection.Open(request.host, request.port, request.timeoutMs);
    if (!error.empty()) {
      err << "histfeed-cache: " << error << "; nothing sent\n";
      return kExitDamaged;
    }
  }
  size_t sent = 0;
  for (;;) {
    error = SendWaiting(view, request, connection, &sent);
    if (!error.empty()) break;
    if (view.kind == FileKind::kCacheFile) {
      if (view.frames.empty()) error = RemoveDelivered(request.file);
      break;
    }
    // A library may have appended to a set-aside file meanwhile.
    FileView again;
    error = ReadFileView(request.file, &again);
    if (!error.empty()) break;
    if (!again.whole() && again.delivered == again.frames.size()) {
      error = request.file + " ends in a frame cut short (" + again.faults.front().where +
              "); the file stays";
      break;
    }
    if (again.delivered == again.frames.size() && again.bytes.size() == view.bytes.size()) {
      error = RemoveDelivered(request.file);
      if (error.empty()) error = RemoveDelivered(ProgressFileName(request.file));
      break;
    }
    view = std::move(again);
  }
  out << "resent " << sent << " frames of " << request.file << " to " << request.host << ":"
      << request.port << (request.ack ? ", each acknowledged" : "") << "\n";
  if (!error.empty()) {
    err << "histfeed-cache: stopped: " << error << "\n";
    return kExitDamaged;
  }
  out << request.file << ": every frame delivered, the file is removed\n";
  return kExitDone;
}

}  // namespace histfeed::cache_tool
