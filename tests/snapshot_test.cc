// SPDX-License-Identifier: Apache-2.0
// The debug snapshot of the classic buffers: its exact text, appending,
// failures, and consistency while records are being added.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "classic/sender.h"
#include "classic/service_buffer.h"
#include "histfeed.h"
#include "platform/file_system.h"
#include "tests/support/classic_fixture.h"
#include "tests/support/local_zone.h"
#include "tests/support/temp_directory.h"

namespace histfeed::testing {
namespace {

using namespace histfeed::classic;

const std::string kSeparator = "=================================================\n";

class SnapshotTest : public LocalZoneTest {
 protected:
  void SetUp() override {
    // Eastern standard time all year: local times differ from UTC.
    UseTzVariable("EST5");
    ResetClassicStateForTesting();
  }
  void TearDown() override {
    StopSenderNow();
    ResetClassicStateForTesting();
  }

  std::string Path(const std::string& name = "snap.txt") const { return output_.File(name); }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static std::string Block(int b, const std::string& name, int count, const std::string& state,
                           const std::string& records = "") {
    return kSeparator + std::to_string(b) + ") \"" + name + "\" count=" + std::to_string(count) +
           " status=" + state + "\n" + kSeparator + records + kSeparator;
  }

  static std::string FreshDump() {
    std::string dump;
    for (int b = 0; b < kServiceBufferCount; ++b) dump += Block(b, "", 0, "FREE");
    return dump;
  }

  // The block of buffer b within a dump.
  static std::string BlockOf(const std::string& dump, int b) {
    std::string start = kSeparator + std::to_string(b) + ") ";
    size_t from = dump.find(start);
    size_t to = dump.find(kSeparator + std::to_string(b + 1) + ") ", from + 1);
    if (from == std::string::npos) return "";
    return dump.substr(from, to == std::string::npos ? std::string::npos : to - from);
  }

  ScopedTimeScale fast_{1000};
  FakeClientLibrary fake_;
  TempDirectory output_;
};

template <typename Record>
int32_t AddRecord(const char* service, int32_t kind, const Record& record) {
  BufferNumber b = ServiceBuffers().Acquire(service, kind);
  ServiceBuffer& buffer = ServiceBuffers()[b];
  uint16_t n = RecordCount(buffer);
  std::memcpy(buffer.request + kRecordsOffset + n * sizeof(Record), &record, sizeof(Record));
  SetRecordCount(buffer, static_cast<uint16_t>(n + 1));
  ServiceBuffers().Release(b);
  return b.value();
}

TEST_F(SnapshotTest, FreshLibraryGivesFiveHundredEmptyFreeBlocks) {
  ASSERT_EQ(SnapShotDebug(Path().c_str()), 0);
  std::string dump = ReadFile(Path());
  EXPECT_EQ(dump, FreshDump());
  std::string firstBlock = kSeparator + "0) \"\" count=0 status=FREE\n" + kSeparator + kSeparator;
  EXPECT_EQ(dump.substr(0, firstBlock.size()), firstBlock);
  EXPECT_EQ(dump.size(), 500 * (3 * kSeparator.size()) + 10 * 26 + 90 * 27 + 400 * 28);
}

TEST_F(SnapshotTest, SecondSnapshotIsAppended) {
  ASSERT_EQ(SnapShotDebug(Path().c_str()), 0);
  AddRecords("SVC", kShortIdKind, 1);
  ASSERT_EQ(SnapShotDebug(Path().c_str()), 0);
  std::string dump = ReadFile(Path());
  std::string first = FreshDump();
  ASSERT_GT(dump.size(), first.size());
  EXPECT_EQ(dump.substr(0, first.size()), first);
  std::string header = kSeparator + "0) \"SVC\" count=1 status=IN USE\n";
  EXPECT_EQ(BlockOf(dump.substr(first.size()), 0).substr(0, header.size()), header);
}

TEST_F(SnapshotTest, RecordsOfBothKindsWithTheirLocalTimes) {
  ShortIdRecord first{};
  first.time = 5 * 86400;  // 1970-01-06 00:00:00 UTC
  first.milliseconds = 7;
  std::memcpy(first.pointId, "TAG1", 4);
  std::strcpy(first.value, "               1");
  ShortIdRecord second{};
  second.time = 951782400;  // 2000-02-29 00:00:00 UTC
  second.milliseconds = 999;
  std::memcpy(second.pointId, "EIGHTCHR", 8);  // fills its field: no terminator
  second.unused1 = 'X';                        // a stale byte right behind it
  second.status = 0x4141;
  std::strcpy(second.value, "OPEN");
  ShortIdRecord third{};
  third.time = -1;  // before 1970: no local time
  std::memcpy(third.pointId, "NEG", 3);
  std::strcpy(third.value, "x");
  int32_t shortBuffer = AddRecord("Plant North", kShortIdKind, first);
  AddRecord("Plant North", kShortIdKind, second);
  AddRecord("Plant North", kShortIdKind, third);

  LongIdRecord longRecord{};
  longRecord.time = 1000;
  longRecord.milliseconds = 12;
  std::string longId(60, 'L');
  std::memcpy(longRecord.pointId, longId.data(), longId.size());
  longRecord.unused1 = 'Y';
  std::strcpy(longRecord.value, "       2.5E+12");
  int32_t longBuffer = AddRecord("plant north", kLongIdKind, longRecord);
  ASSERT_EQ(shortBuffer, 0);
  ASSERT_EQ(longBuffer, 1);

  ASSERT_EQ(SnapShotDebug(Path().c_str()), 0);
  std::string dump = ReadFile(Path());
  // The time text ends in a newline, so each record's milliseconds start
  // the next line, and "(null)" has none.
  EXPECT_EQ(BlockOf(dump, 0),
            Block(0, "Plant North", 3, "IN USE",
                  "   TAG1                 1  Mon Jan  5 19:00:00 1970\n 7 ms"
                  "   EIGHTCHR  OPEN  Mon Feb 28 19:00:00 2000\n 999 ms"
                  "   NEG  x  (null) 0 ms"));
  EXPECT_EQ(BlockOf(dump, 1), Block(1, "plant north", 1, "IN USE",
                                    "   " + longId +
                                        "         2.5E+12  Wed Dec 31 19:16:40 1969\n 12 ms"));
  EXPECT_EQ(BlockOf(dump, 2), Block(2, "", 0, "FREE"));
}

TEST_F(SnapshotTest, EveryStateHasItsText) {
  BufferNumber acquired = ServiceBuffers().Acquire("A", kShortIdKind);
  BufferNumber pending = AddRecords("B", kShortIdKind, 1);
  {
    platform::MutexLock lock(Classic().bufferLock);
    ASSERT_TRUE(ServiceBuffers().ClaimLocked(pending));
    ServiceBuffers()[BufferNumber(499)].state = 7;
  }
  ASSERT_EQ(SnapShotDebug(Path().c_str()), 0);
  std::string dump = ReadFile(Path());
  EXPECT_NE(BlockOf(dump, acquired.value()).find("\"A\" count=0 status=ACQUIRED\n"), std::string::npos);
  EXPECT_NE(BlockOf(dump, pending.value()).find("\"B\" count=1 status=PENDING FLUSH\n"),
            std::string::npos);
  EXPECT_NE(BlockOf(dump, 499).find("499) \"\" count=0 status=??? 7\n"), std::string::npos);
}

TEST_F(SnapshotTest, CountBeyondTheBufferShowsOnlyTheRecordsThatFit) {
  BufferNumber b = AddRecords("A", kLongIdKind, 1);
  {
    platform::MutexLock lock(Classic().bufferLock);
    SetRecordCount(ServiceBuffers()[b], 60000);
  }
  ASSERT_EQ(SnapShotDebug(Path().c_str()), 0);
  std::string block = BlockOf(ReadFile(Path()), b.value());
  EXPECT_NE(block.find("count=60000"), std::string::npos);
  size_t records = 0;
  for (size_t at = block.find(" ms"); at != std::string::npos; at = block.find(" ms", at + 1)) {
    ++records;
  }
  EXPECT_EQ(records, 45u);
}

class FailingClose : public platform::FileSystemWrapper {
 public:
  FailingClose() : FileSystemWrapper(platform::DefaultFiles()) {}
  std::unique_ptr<platform::OutputFile> AppendFile(const std::string& path) override {
    class File : public platform::OutputFile {
     public:
      explicit File(std::unique_ptr<platform::OutputFile> inner) : inner_(std::move(inner)) {}
      bool Write(const void* data, size_t size) override { return inner_->Write(data, size); }
      bool Sync() override { return inner_->Sync(); }
      bool Close() override {
        inner_->Close();
        return false;
      }

     private:
      std::unique_ptr<platform::OutputFile> inner_;
    };
    auto inner = FileSystemWrapper::AppendFile(path);
    return inner ? std::make_unique<File>(std::move(inner)) : nullptr;
  }
};

TEST_F(SnapshotTest, MissingPathUnopenableFileAndFailedCloseGiveMinusOne) {
  EXPECT_EQ(SnapShotDebug(nullptr), -1);
  EXPECT_EQ(SnapShotDebug(""), -1);
  EXPECT_EQ(SnapShotDebug(Path("no such directory/snap.txt").c_str()), -1);
  FailingClose failing;
  platform::SetFilesForTesting(&failing);
  EXPECT_EQ(SnapShotDebug(Path().c_str()), -1);
  platform::SetFilesForTesting(nullptr);
  EXPECT_EQ(ReadFile(Path()), FreshDump());  // written all the same
}

TEST_F(SnapshotTest, EveryCountMatchesItsRecordsWhileRecordsAreAdded) {
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const char* services[] = {"A", "B", "C"};
    for (int i = 0; i < 3 * 90; ++i) {
      // One whole add call, as the entry points make it.
      platform::MutexLock lock(Classic().addLock);
      AddRecords(services[i % 3], i % 2 == 0 ? kShortIdKind : kLongIdKind, 1);
    }
    done = true;
  });
  int snapshots = 0;
  while (!done.load() || snapshots < 3) {
    std::string path = Path("snap" + std::to_string(snapshots++) + ".txt");
    ASSERT_EQ(SnapShotDebug(path.c_str()), 0);
    std::string dump = ReadFile(path);
    for (int b = 0; b < 6; ++b) {
      std::string block = BlockOf(dump, b);
      size_t countAt = block.find("count=");
      ASSERT_NE(countAt, std::string::npos);
      int count = std::stoi(block.substr(countAt + 6));
      int records = 0;
      for (size_t at = block.find(" ms"); at != std::string::npos;
           at = block.find(" ms", at + 1)) {
        ++records;
      }
      ASSERT_EQ(records, count) << "buffer " << b << " in snapshot " << snapshots;
      ASSERT_EQ(block.find("ACQUIRED"), std::string::npos);
    }
  }
  writer.join();
}

}  // namespace
}  // namespace histfeed::testing
