// SPDX-License-Identifier: Apache-2.0
// histfeed-cache on files the library writes itself: spilled rings,
// set-aside frames, damaged and cut files with and without their checksum
// trailer; verify against what the queue accepts over the fuzz corpus;
// resend to a peer and to the reference service, killed part-way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "queue/record_queue.h"
#include "tests/support/database_rows.h"
#include "tests/support/fake_historian.h"
#include "tests/support/loopback.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_directory.h"
#include "tools/cache/cache_file_view.h"
#include "tools/cache/cache_tool.h"
#include "universal/outbox.h"
#include "wire/frame_format.h"

extern char** environ;

namespace histfeed::testing {
namespace {

namespace fs = std::filesystem;
using namespace histfeed::universal;

using Bytes = std::vector<uint8_t>;

Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<std::streamsize>(bytes.size()));
}

// A frame of one record of `type` for point "P<sequence>" at 1700000000 + sequence.
Bytes Frame(uint32_t sequence, int32_t typeCode = 1) {
  const RecordType& type = *FindRecordType(typeCode);
  std::string point = "P" + std::to_string(sequence);
  Bytes record(type.recordBytes);
  EncodeRecord(type, PointValue{static_cast<int32_t>(1700000000 + sequence), 250, point, 3,
                                sequence + 0.5, "on"},
               record.data());
  Bytes frame(FrameLength(type, 1));
  EncodeFrame(type, nullptr, record.data(), 1, frame.data());
  return frame;
}

// Frames pushed through the universal family's queue (50 slots of 8,192
// bytes) with its cache in `dir`: full rings spill, and what is left in
// memory is saved when the queue goes, as closing a key does.
void QueueFrames(const std::string& dir, const char* prefix, uint32_t from, uint32_t to) {
  std::unique_ptr<RecordQueue> queue;
  ASSERT_EQ(RecordQueue::Create(kQueueSlots, kQueueSlotBytes, &queue), 0);
  queue->SetRecordCheck(IsValidFrame);
  ASSERT_EQ(queue->EnableCache(0, 0, prefix, dir.c_str()), 0);
  for (uint32_t i = from; i < to; ++i) {
    Bytes frame = Frame(i);
    ASSERT_EQ(queue->Push(frame.data(), static_cast<uint16_t>(frame.size())), 0);
  }
  ASSERT_EQ(queue->SaveToCache(), 0);
  queue.reset();
}

// Frames given up on, in the set-aside file the queue keeps beside its cache.
void SetAsideFrames(const std::string& dir, const char* prefix, const std::vector<Bytes>& frames) {
  std::unique_ptr<RecordQueue> queue;
  ASSERT_EQ(RecordQueue::Create(2, kQueueSlotBytes, &queue), 0);
  ASSERT_EQ(queue->EnableCache(0, 0, prefix, dir.c_str()), 0);
  std::string where;
  for (const Bytes& frame : frames) {
    ASSERT_EQ(queue->SetAside(frame.data(), static_cast<uint16_t>(frame.size()), &where), 0);
  }
  queue.reset();
}

struct ToolRun {
  int status;
  std::string out, err;
};

ToolRun Tool(std::vector<std::string> words) {
  words.insert(words.begin(), "histfeed-cache");
  std::vector<const char*> argv;
  for (const std::string& word : words) argv.push_back(word.c_str());
  std::ostringstream out, err;
  int status = cache_tool::RunCacheTool(static_cast<int>(argv.size()), argv.data(), out, err);
  return ToolRun{status, out.str(), err.str()};
}

// The data records' sequence numbers in a series of frames.
std::vector<uint32_t> Sequences(const std::vector<Bytes>& frames) {
  std::vector<uint32_t> sequences;
  for (const Bytes& frame : frames) {
    DecodedFrame decoded;
    if (DecodeFrame(frame, &decoded) != FrameError::kNone || decoded.heartBeat) continue;
    sequences.push_back(GetU32(decoded.records.data()) - 1700000000u);
  }
  return sequences;
}

std::vector<uint32_t> Range(uint32_t from, uint32_t to) {
  std::vector<uint32_t> values;
  for (uint32_t i = from; i < to; ++i) values.push_back(i);
  return values;
}

// The frames a file waits to deliver, as the tool reads them.
std::vector<uint32_t> Waiting(const std::string& path) {
  cache_tool::FileView view;
  if (!cache_tool::ReadFileView(path, &view).empty()) return {};
  std::vector<Bytes> frames;
  for (size_t i = view.delivered; i < view.frames.size(); ++i) {
    frames.emplace_back(view.frames[i].bytes, view.frames[i].bytes + view.frames[i].length);
  }
  return Sequences(frames);
}

class CacheToolTest : public ::testing::Test {
 protected:
  std::string File(const std::string& name) { return dir_.File(name); }
  TempDirectory dir_;
};

TEST_F(CacheToolTest, ListShowsEveryKindOfFileInReplayOrderAndChangesNothing) {
  QueueFrames(dir_.path(), "Q", 0, 130);  // 1: 0-49, 2: 50-98, 3: 99-129
  SetAsideFrames(dir_.path(), "Q", {Frame(500), Frame(501)});
  Bytes cut = ReadBytes(File("Q2.que"));
  cut.resize(cut.size() / 2);
  WriteBytes(File("Q2.que.bad"), cut);
  WriteBytes(File("Q4.que.tmp"), cut);
  WriteBytes(File("Q0.que.done"), cut);
  WriteBytes(File("Other.txt"), {1, 2, 3});
  std::map<std::string, Bytes> before;
  for (auto& entry : fs::directory_iterator(dir_.path())) {
    before[entry.path().string()] = ReadBytes(entry.path().string());
  }

  ToolRun text = Tool({"list", dir_.path()});
  EXPECT_EQ(text.status, 0) << text.err;
  std::vector<std::string> lines;
  std::istringstream in(text.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line.substr(0, 36));
  const std::vector<std::string> expected = {
      "file                         kind   ", "Q1.que                       cache  ",
      "Q2.que                       cache  ", "Q3.que                       cache  ",
      "Q0.que.done                  deliver", "Q2.que.bad                   damaged",
      "Q4.que.tmp                   writing", "QSetAside.que.bad            set-asi",
      "total: 3 cache files waiting, 130 fr", "also: 2 frames set aside in 1 files,"};
  EXPECT_EQ(lines, expected) << text.out;
  EXPECT_NE(text.out.find("Q1.que                       cache         50      50      50  "
                          "2023-11-14 22:13:20  2023-11-14 22:14:09    409920  sound"),
            std::string::npos);
  EXPECT_NE(text.out.find("oldest waiting value 2023-11-14 22:13:20 UTC"), std::string::npos);
  EXPECT_NE(text.out.find("damaged (cut short)"), std::string::npos);

  ToolRun json = Tool({"list", dir_.path(), "--prefix", "Q", "--ext", ".que", "--json"});
  EXPECT_EQ(json.status, 0);
  EXPECT_NE(json.out.find(R"({"name":"Q3.que","kind":"cache","prefix":"Q","extension":".que",)"
                          R"("number":3,"bytes":409920,"frames":31,"records":31,"values":31,)"
                          R"("first_time":1700000099,"last_time":1700000129,"checksums":"sound",)"
                          R"("damage":null})"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find(R"("total":{"cache_files":3,"frames":130,"records":130,"values":130,)"),
            std::string::npos);
  EXPECT_EQ(Tool({"list", dir_.path(), "--prefix", "Other"}).out.find("Q1"), std::string::npos);

  for (const auto& [path, bytes] : before) EXPECT_EQ(ReadBytes(path), bytes) << path;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}),
            static_cast<std::ptrdiff_t>(before.size()));
}

TEST_F(CacheToolTest, VerifySaysWhatIsWrongAndWhere) {
  QueueFrames(dir_.path(), "Q", 0, 50);  // one full ring: Q1.que
  SetAsideFrames(dir_.path(), "Q", {Frame(7), Frame(8)});
  const Bytes whole = ReadBytes(File("Q1.que"));
  const size_t image = whole.size() - (12 + 4 * 50);  // without the checksum trailer
  const size_t slot2 = 8 + 2 * 50 + 2 * 8192;         // bytes of slot 2, record 3
  const Bytes aside = ReadBytes(File("QSetAside.que.bad"));
  struct Case {
    const char* name;
    Bytes bytes;
    int status;
    std::string expected;
  };
  auto bent = [](Bytes bytes, size_t at) {
    bytes[at] ^= 0x40;
    return bytes;
  };
  auto cut = [](Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
  };
  const Case cases[] = {
      {"whole.que", whole, 0, "whole (cache file, 50 of 50 records pass their checks, checksums sound)\n"},
      {"plain.que", cut(whole, image), 0,
       "whole (cache file, 50 of 50 records pass their checks, no checksum trailer)\n"},
      {"record.que", bent(whole, slot2 + 12), 1,
       "damaged (cache file, 49 of 50 records pass their checks, checksums sound)\n"
       "  checksum mismatch: record 3, slot 2, length at offset 12, bytes at offset 16492\n"},
      {"marker.que", bent(cut(whole, image), slot2 + 35), 1,
       "damaged (cache file, 49 of 50 records pass their checks, no checksum trailer)\n"
       "  not a valid frame (bad end marker): record 3, slot 2, length at offset 12, bytes at "
       "offset 16492\n"},
      {"lengths.que", bent(whole, 9), 1,
       "damaged (cache file, 49 of 50 records pass their checks, checksums sound)\n"
       "  checksum mismatch: header and lengths, bytes 0 to 108\n"
       "  a record longer than its slot: record 1, slot 0, length at offset 8, bytes at offset 108\n"},
      {"longer.que", cut(whole, whole.size() + 1), 1,
       "damaged (cache file, 50 of 50 records pass their checks, no checksum trailer)\n"
       "  longer than its header says, or its checksums are damaged: the file has 409921 bytes, "
       "its header announces 409708, or 409920 with its checksums\n"},
      {"short.que", cut(whole, 5), 1,
       "damaged (cache file, 0 of 0 records pass their checks, no checksum trailer)\n"
       "  shorter than its header: the file has 5 bytes\n"},
      {"QSetAside.que.bad", aside, 0, "whole (set-aside file, 2 frames)\n"},
      {"XSetAside.que.bad", cut(aside, aside.size() - 3), 1,
       "damaged (set-aside file, 1 frames)\n"
       "  cut short: frame 2 at offset 39 announces 37 bytes, 34 follow\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.File(std::string("v/") + c.name);
    fs::create_directories(dir_.File("v"));
    WriteBytes(path, c.bytes);
    ToolRun run = Tool({"verify", path});
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out, path + ": " + c.expected);
  }
  // A cut cache file names each record it lost; a missing file is bad input.
  WriteBytes(File("cut.que"), cut(whole, slot2 + 100));
  ToolRun run = Tool({"verify", File("cut.que"), File("Q1.que")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("cut.que: damaged (cache file, 3 of 50 records pass their checks, no "
                         "checksum trailer)\n  cut short: record 4, slot 3,"),
            std::string::npos);
  EXPECT_NE(run.out.find("Q1.que: whole"), std::string::npos);
  run = Tool({"verify", File("missing.que")});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("missing.que: cannot be read: "), std::string::npos);
}

// Where verify's verdict and the queue's can be compared: what the queue
// delivers from a file and whether it sets the file aside.
struct QueueVerdict {
  bool setAside;
  std::vector<Bytes> delivered;
};

QueueVerdict LoadAsTheQueueDoes(const std::string& dir, const Bytes& bytes) {
  fs::create_directories(dir);
  for (auto& entry : fs::directory_iterator(dir)) fs::remove(entry.path());
  WriteBytes(dir + "Q1.que", bytes);
  QueueVerdict verdict{};
  std::unique_ptr<RecordQueue> queue;
  EXPECT_EQ(RecordQueue::Create(kQueueSlots, kQueueSlotBytes, &queue), 0);
  queue->SetRecordCheck(IsValidFrame);
  EXPECT_EQ(queue->EnableCache(0, 0, "Q", dir.c_str()), 0);
  std::vector<uint8_t> record(65536);
  uint16_t length = 0;
  while (queue->Pop(record.data(), 65535, &length) == 0) {
    verdict.delivered.emplace_back(record.begin(), record.begin() + length);
  }
  queue.reset();
  verdict.setAside = fs::exists(dir + "Q1.que.bad");
  return verdict;
}

TEST_F(CacheToolTest, VerifyAgreesWithWhatTheQueueAcceptsOverTheFuzzCorpus) {
  std::vector<Bytes> inputs;
  for (const char* corpus : {"cache_reload_fuzzer", "cache_tool_fuzzer"}) {
    for (auto& entry : fs::directory_iterator(std::string(HISTFEED_SOURCE_DIR "/fuzz/seeds/") + corpus)) {
      inputs.push_back(ReadBytes(entry.path().string()));
    }
  }
  QueueFrames(dir_.path(), "L", 0, 6);
  inputs.push_back(ReadBytes(File("L1.que")));
  // Each input, and each cut short and with one byte bent at places that
  // reach the header, the lengths, the records and the trailer.
  std::vector<Bytes> variants;
  for (const Bytes& input : inputs) {
    variants.push_back(input);
    for (size_t part = 1; part <= 8; ++part) {
      Bytes cut(input.begin(), input.begin() + input.size() * part / 9);
      variants.push_back(cut);
      Bytes bent = input;
      bent[bent.size() * part / 9] ^= 0x21;
      variants.push_back(bent);
    }
    Bytes longer = input;
    longer.push_back(0);
    variants.push_back(longer);
  }
  std::string queueDir = File("queue/");
  fs::create_directories(queueDir);
  int whole = 0;
  for (size_t i = 0; i < variants.size(); ++i) {
    SCOPED_TRACE("variant " + std::to_string(i));
    WriteBytes(File("v.que"), variants[i]);
    cache_tool::FileView view;
    ASSERT_EQ(cache_tool::ReadFileView(File("v.que"), &view), "");
    ToolRun run = Tool({"verify", File("v.que")});
    EXPECT_EQ(run.status, view.whole() ? 0 : 1);
    QueueVerdict queue = LoadAsTheQueueDoes(queueDir, variants[i]);
    EXPECT_EQ(queue.setAside, !view.whole());
    std::vector<Bytes> frames;
    for (const auto& frame : view.frames) frames.emplace_back(frame.bytes, frame.bytes + frame.length);
    EXPECT_EQ(queue.delivered, frames);
    whole += view.whole();
  }
  EXPECT_GE(whole, 2);  // both kinds of verdict were reached
  EXPECT_LT(whole, static_cast<int>(variants.size()));
}

TEST_F(CacheToolTest, DumpDecodesRecordsByTypeAsTheServiceStoresThem) {
  std::unique_ptr<RecordQueue> queue;
  ASSERT_EQ(RecordQueue::Create(8, kQueueSlotBytes, &queue), 0);
  ASSERT_EQ(queue->EnableCache(0, 0, "D", dir_.path().c_str()), 0);
  uint8_t heartBeat[kHeartBeatFrameBytes];
  EncodeHeartBeatFrame(heartBeat);
  std::vector<Bytes> frames = {Frame(1), Frame(2, 11), Frame(3, 13), Bytes(heartBeat, heartBeat + 12)};
  for (const Bytes& frame : frames) {
    ASSERT_EQ(queue->Push(frame.data(), static_cast<uint16_t>(frame.size())), 0);
  }
  ASSERT_EQ(queue->SaveToCache(), 0);
  queue.reset();

  ToolRun csv = Tool({"dump", File("D1.que"), "--csv"});
  EXPECT_EQ(csv.status, 0);
  EXPECT_EQ(csv.out,
            "frame,type,row,id_kind,point,time,msec,status,value,text\n"
            "1,PointIdRec,value,point,\"P1\",1700000001,250,3,\"1.5\",\"\"\n"
            "2,PointIdAsciiRec,value,point,\"P2\",1700000002,250,3,\"on\",\"\"\n"
            "3,DeletePointIdRec,deletion,point,\"P3\",,,,\"\",\"\"\n"
            "4,PointIdRec,heartbeat,,\"\",,,,\"\",\"\"\n");
  ToolRun text = Tool({"dump", File("D1.que")});
  EXPECT_NE(text.out.find("    1 PointIdRec           value     point    P1                       "
                          "2023-11-14 22:13:21.250      3  1.5\n"),
            std::string::npos)
      << text.out;
  ToolRun json = Tool({"dump", File("D1.que"), "--json"});
  EXPECT_NE(json.out.find(R"({"frame":2,"type":"PointIdAsciiRec","row":"value","id_kind":"point",)"
                          R"("point":"P2","time":1700000002,"msec":250,"status":3,"value":"on"})"),
            std::string::npos)
      << json.out;

  // A set-aside file shows its frames, those that are not valid too.
  Bytes bent = Frame(9);
  bent.back() = 0;
  SetAsideFrames(dir_.path(), "D", {bent, Frame(10)});
  csv = Tool({"dump", File("DSetAside.que.bad"), "--csv"});
  EXPECT_EQ(csv.out,
            "frame,type,row,id_kind,point,time,msec,status,value,text\n"
            "1,,invalid,,\"\",,,,\"\",\"bad end marker, 37 bytes\"\n"
            "2,PointIdRec,value,point,\"P10\",1700000010,250,3,\"10.5\",\"\"\n");
}

TEST_F(CacheToolTest, SalvageWritesWhatTheQueueWouldSaveAsAFileItLoads) {
  QueueFrames(dir_.path(), "S", 0, 50);
  Bytes damaged = ReadBytes(File("S1.que"));
  damaged[8 + 2 * 50 + 4 * 8192 + 20] ^= 1;  // record 5's bytes
  WriteBytes(File("S1.que.bad"), damaged);
  fs::remove(File("S1.que"));

  ToolRun run = Tool({"salvage", File("S1.que.bad"), "--out", File("S1.que")});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, File("S1.que") + ": 49 of 50 records of " + File("S1.que.bad") + " saved\n");
  EXPECT_EQ(Tool({"verify", File("S1.que")}).status, 0);
  std::vector<uint32_t> expected = Range(0, 50);
  expected.erase(expected.begin() + 4);
  EXPECT_EQ(Waiting(File("S1.que")), expected);
  QueueVerdict queue = LoadAsTheQueueDoes(File("q/"), ReadBytes(File("S1.que")));
  EXPECT_FALSE(queue.setAside);
  EXPECT_EQ(Sequences(queue.delivered), expected);

  EXPECT_EQ(Tool({"salvage", File("S1.que.bad"), "--out", File("S1.que")}).status, 2);  // exists
  SetAsideFrames(dir_.path(), "S", {Frame(1)});
  run = Tool({"salvage", File("SSetAside.que.bad"), "--out", File("new.que")});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("is a set-aside file"), std::string::npos);
  EXPECT_FALSE(fs::exists(File("new.que")));
}

TEST_F(CacheToolTest, BadArgumentsAreRefusedWithAClearMessage) {
  const struct {
    std::vector<std::string> words;
    int status;
    std::string said;
  } cases[] = {
      {{}, 2, "histfeed-cache: a command is needed\nusage:"},
      {{"fsck", "x"}, 2, "histfeed-cache: unknown command fsck\n"},
      {{"list"}, 2, "histfeed-cache: list takes one directory\n"},
      {{"list", ".", "--csv"}, 2, "histfeed-cache: --csv does not apply to list\n"},
      {{"dump", "f", "--csv", "--json"}, 2, "histfeed-cache: dump takes --csv or --json, not both\n"},
      {{"salvage", "f"}, 2, "histfeed-cache: salvage needs --out NEW\n"},
      {{"resend", "f", "--to"}, 2, "histfeed-cache: --to needs a value\n"},
      {{"resend", "f", "--to", "host"}, 2, "histfeed-cache: --to needs HOST:PORT, not host\n"},
      {{"resend", "f", "--to", "h:1", "--timeout", "0"}, 2,
       "histfeed-cache: --timeout needs seconds, 0.001 to 3600\n"},
  };
  for (const auto& c : cases) {
    ToolRun run = Tool(c.words);
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.err.rfind(c.said, 0), 0u) << run.err;
  }
  ToolRun help = Tool({"list", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: histfeed-cache list DIR"), std::string::npos);
  ToolRun version = Tool({"--version"});
  EXPECT_EQ(version.out, "histfeed-cache " HISTFEED_VERSION_TEXT "\n");
}

// A peer whose answers decide where a resend stops.
class ResendTest : public CacheToolTest {
 protected:
  void SetUp() override {
    peer_.SetKeepFrames(true);
    QueueFrames(dir_.path(), "R", 0, 50);  // R1.que: 0-49
    std::vector<Bytes> aside;
    for (uint32_t i = 100; i < 140; ++i) aside.push_back(Frame(i));
    SetAsideFrames(dir_.path(), "R", aside);
  }

  std::vector<std::string> Resend(const std::string& file) {
    return {"resend", file, "--to", "127.0.0.1:" + std::to_string(peer_.port()), "--ack",
            "--timeout", "5"};
  }

  // The files SetUp writes: a cache file and a set-aside file, with the
  // sequence numbers of their frames.
  struct ResentFile {
    const char* file;
    uint32_t first, last;
  };
  static constexpr ResentFile kFiles[] = {{"R1.que", 0, 50}, {"RSetAside.que.bad", 100, 140}};

  FakeHistorian peer_;
};

TEST_F(ResendTest, DeliveredFramesLeaveTheFileAndARefusalStopsWithItsReason) {
  for (const ResentFile& f : kFiles) {
    SCOPED_TRACE(f.file);
    std::string path = File(f.file);
    uint32_t refused = f.first + 30;
    peer_.SetResponder([refused](const std::vector<uint8_t>& frame) {
      return Sequences({frame}) == std::vector<uint32_t>{refused} ? Reply::Nak() : Reply::Ack();
    });
    ToolRun run = Tool(Resend(path));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "histfeed-cache: stopped: frame 31 of " + path +
                           ": the service refused it (answered 0x15)\n");
    EXPECT_EQ(Waiting(path), Range(refused, f.last));
    EXPECT_EQ(Tool({"verify", path}).status, 0);  // still a whole file

    peer_.SetResponder([](const std::vector<uint8_t>&) { return Reply::Ack(); });
    run = Tool(Resend(path));
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(path + ".sent"));
  }
  std::vector<uint32_t> expected = Range(0, 31);
  for (uint32_t i : Range(30, 50)) expected.push_back(i);
  for (uint32_t i : Range(100, 131)) expected.push_back(i);
  for (uint32_t i : Range(130, 140)) expected.push_back(i);
  EXPECT_EQ(Sequences(peer_.Frames()), expected);  // the refused frame twice: refused, then taken

  // A damaged cache file is not resent: salvaging it first keeps what fails its checks.
  QueueFrames(dir_.path(), "X", 0, 3);
  Bytes bytes = ReadBytes(File("X1.que"));
  bytes[8 + 2 * 50 + 20] ^= 1;
  WriteBytes(File("X1.que"), bytes);
  ToolRun run = Tool(Resend(File("X1.que")));
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find("is damaged (checksum mismatch); save what passes its checks with "
                         "salvage, then resend that file"),
            std::string::npos);
  EXPECT_EQ(ReadBytes(File("X1.que")), bytes);
}

pid_t SpawnTool(const std::vector<std::string>& words, const std::string& log) {
  std::vector<std::string> all = {HISTFEED_CACHE_BINARY};
  all.insert(all.end(), words.begin(), words.end());
  std::vector<char*> argv;
  for (std::string& word : all) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST_F(ResendTest, KilledPartWayItLosesNothingAndSendsAtMostOneFrameAgain) {
  peer_.SetReplyDelay(std::chrono::milliseconds(5));
  for (const ResentFile& f : kFiles) {
    SCOPED_TRACE(f.file);
    std::string path = File(f.file);
    int64_t before = peer_.FrameCount();
    // Killed three times at whatever point it has reached, then let finish.
    for (int64_t kill = 8; kill <= 24; kill += 8) {
      pid_t tool = SpawnTool(Resend(path), File("tool.log"));
      ASSERT_GT(tool, 0);
      ASSERT_TRUE(WaitUntil([&] { return peer_.FrameCount() >= before + kill; }));
      ::kill(tool, SIGKILL);
      EXPECT_EQ(WaitForExit(tool), -SIGKILL);
      EXPECT_EQ(Tool({"verify", path}).status, 0);
    }
    EXPECT_EQ(WaitForExit(SpawnTool(Resend(path), File("tool.log"))), 0);
    EXPECT_FALSE(fs::exists(path));
  }
  std::vector<uint32_t> got = Sequences(peer_.Frames());
  std::vector<uint32_t> distinct;
  size_t repeated = 0;
  for (uint32_t sequence : got) {
    if (!distinct.empty() && distinct.back() == sequence) {
      ++repeated;  // sent again right after a kill
    } else {
      distinct.push_back(sequence);
    }
  }
  std::vector<uint32_t> expected = Range(0, 50);
  for (uint32_t i : Range(100, 140)) expected.push_back(i);
  EXPECT_EQ(distinct, expected);
  EXPECT_LE(repeated, 6u);  // at most one for each of the six kills
}

TEST_F(CacheToolTest, ResendToTheReferenceServiceKilledPartWayDeliversEveryValue) {
  QueueFrames(dir_.path(), "Ref", 0, 120);  // three files
  const uint16_t port = FreeLoopbackPort();
  std::string database = File("history.db");
  ServiceProcess service(HISTFEED_SERVICE_BINARY, database, port, {"--ack-delay-ms", "10"});
  ASSERT_TRUE(service.Start());
  auto stored = [&] {  // the points with values, by name
    std::set<std::string> points;
    for (const std::string& row : StoredValues(database, "universal")) {
      size_t name = row.find('|') + 1;
      points.insert(row.substr(name, row.find('|', name) - name));
    }
    return points;
  };
  std::vector<std::string> resend = {"resend", File("Ref1.que"), "--to",
                                     "127.0.0.1:" + std::to_string(port), "--ack"};
  pid_t tool = SpawnTool(resend, File("tool.log"));
  ASSERT_TRUE(WaitUntil([&] { return stored().size() >= 20; }));
  service.Stop(SIGKILL);
  EXPECT_EQ(WaitForExit(tool), 1);
  std::ifstream log(File("tool.log"));
  std::string said((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(said.find("histfeed-cache: stopped: frame "), std::string::npos) << said;

  ASSERT_TRUE(service.Start());
  for (const char* file : {"Ref1.que", "Ref2.que", "Ref3.que"}) {
    resend[1] = File(file);
    EXPECT_EQ(WaitForExit(SpawnTool(resend, File("tool.log"))), 0) << file;
  }
  service.Stop(SIGTERM);
  std::set<std::string> expected;
  for (uint32_t i = 0; i < 120; ++i) expected.insert("P" + std::to_string(i));
  EXPECT_EQ(stored(), expected);
  EXPECT_NE(Tool({"list", dir_.path(), "--prefix", "Ref"}).out.find("total: 0 cache files waiting"),
            std::string::npos);
}

}  // namespace
}  // namespace histfeed::testing
