// SPDX-License-Identifier: Apache-2.0
// The disk cache behind a RecordQueue: file names, the byte layout, order
// across spills and reloads, files left by an earlier run, the file limit,
// and files that cannot be trusted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "queue/checksum.h"
#include "queue/record_queue.h"
#include "tests/support/temp_directory.h"

namespace histfeed {
namespace {

namespace fs = std::filesystem;

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string U16(uint16_t value) {
  return std::string{static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
}

// A cache image of n slots of 4 bytes; slot i holds the number i + 100.
std::string Image(uint16_t n, uint16_t size, uint16_t read, uint16_t write,
                  uint16_t length = 4) {
  std::string bytes = U16(n) + U16(size) + U16(read) + U16(write);
  for (uint16_t i = 0; i < n; ++i) bytes += U16(length);
  for (uint16_t i = 0; i < n; ++i) {
    uint32_t value = i + 100u;
    std::string slot(size, '\0');
    std::memcpy(slot.data(), &value, std::min<size_t>(4, size));
    bytes += slot;
  }
  return bytes;
}

class QueueCacheTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // A test's own file system went with its body; the queues, which
    // still remove files as they go, use the real one.
    platform::SetFilesForTesting(nullptr);
    queues_.clear();
  }

  // A queue of `slots` slots of 4 bytes whose messages are collected.
  RecordQueue* NewQueue(uint16_t slots = 3) {
    std::unique_ptr<RecordQueue> owned;
    EXPECT_EQ(RecordQueue::Create(slots, 4, &owned), 0);
    RecordQueue* queue = owned.get();
    queue->SetMessageSink([this](QueueMessageKind, const char* line) {
      std::lock_guard<std::mutex> lock(mutex_);
      messages_.emplace_back(line);
    });
    queues_.push_back(std::move(owned));
    return queue;
  }

  RecordQueue* CachedQueue(uint32_t maxFiles = 0, uint32_t deleteOldest = 0,
                           const char* prefix = "Q", uint16_t slots = 3) {
    RecordQueue* queue = NewQueue(slots);
    EXPECT_EQ(queue->EnableCache(maxFiles, deleteOldest, prefix, dir_.path().c_str()), 0);
    return queue;
  }

  void Destroy(RecordQueue* queue) {
    std::erase_if(queues_, [queue](auto& owned) { return owned.get() == queue; });
  }

  static int32_t Push(RecordQueue* queue, uint32_t value) {
    return queue->Push(&value, sizeof value);
  }
  static int32_t Pop(RecordQueue* queue, uint32_t* value) {
    uint16_t length = 0;
    return queue->Pop(value, sizeof *value, &length);
  }
  // Pops everything; stops at the first failure and returns its code.
  static int32_t Drain(RecordQueue* queue, std::vector<uint32_t>* out) {
    uint32_t value;
    int32_t result;
    while ((result = Pop(queue, &value)) == 0) out->push_back(value);
    return result;
  }

  bool Said(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::find(messages_.begin(), messages_.end(), line) != messages_.end();
  }
  // How many lines began with `start`.
  int SaidStarting(const std::string& start) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count_if(messages_.begin(), messages_.end(), [&](auto& line) {
      return line.rfind(start, 0) == 0;
    }));
  }

  std::string File(const std::string& name) { return dir_.File(name); }

  testing::TempDirectory dir_;
  std::vector<std::unique_ptr<RecordQueue>> queues_;
  std::mutex mutex_;
  std::vector<std::string> messages_;
};

TEST_F(QueueCacheTest, SpillWritesTheRingImageByteForByte) {
  RecordQueue* queue = CachedQueue();
  for (uint32_t v = 100; v < 103; ++v) ASSERT_EQ(Push(queue, v), 0);
  ASSERT_EQ(Push(queue, 103), 0);  // full ring: spills, then takes 103

  // First pass: read index 3 (before slot 0), write index 2. The checksum
  // trailer follows the image, which a reader of the image never reaches.
  std::string file = ReadWholeFile(File("Q1.que"));
  EXPECT_EQ(file.substr(0, 26), Image(3, 4, 3, 2));
  EXPECT_EQ(file.size(), 26u + 12 + 4 * 3);
  EXPECT_EQ(file.substr(26, 4), "HFQ1");
  EXPECT_TRUE(Said("Exported cache file, " + File("Q1.que")));
  EXPECT_EQ(queue->Count(), 1);

  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(queue, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{100, 101, 102, 103}));
  EXPECT_FALSE(fs::exists(File("Q1.que")));
  EXPECT_TRUE(Said("Loaded queue from cache file, " + File("Q1.que")));
}

TEST(CacheChecksumTest, IsCrc32cWhateverThePathAndHowTheBytesAreSplit) {
  const std::string check = "123456789";
  EXPECT_EQ(ExtendCrc32c(0, check.data(), check.size()), 0xE3069283u);
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7 + 3);
  for (size_t split : {size_t{0}, size_t{1}, size_t{7}, size_t{8}, size_t{500}, size_t{999}}) {
    uint32_t tables = ExtendCrc32cWithTables(
        ExtendCrc32cWithTables(0, bytes.data(), split), bytes.data() + split, bytes.size() - split);
    EXPECT_EQ(tables, ExtendCrc32c(0, bytes.data(), bytes.size())) << split;
  }
  // Many buffers at once, of lengths that do and do not share whole words.
  const size_t sizes[] = {1000, 999, 17, 0, 8, 500, 7, 256, 335};
  for (size_t count = 1; count <= std::size(sizes); ++count) {
    std::vector<uint32_t> crcs(count, 0x1234);
    std::vector<const uint8_t*> data(count);
    for (size_t i = 0; i < count; ++i) data[i] = reinterpret_cast<const uint8_t*>(bytes.data()) + i;
    ExtendCrc32cOfMany(crcs.data(), data.data(), sizes, count);
    for (size_t i = 0; i < count; ++i) {
      EXPECT_EQ(crcs[i], ExtendCrc32cWithTables(0x1234, data[i], sizes[i])) << count << " " << i;
    }
  }
}

TEST_F(QueueCacheTest, AFileStaysOnDiskUntilItsLastRecordIsTaken) {
  RecordQueue* queue = CachedQueue();
  for (uint32_t v = 0; v < 7; ++v) ASSERT_EQ(Push(queue, v), 0);  // 1: 0-2, 2: 3-4, ring 5-6
  uint32_t value;
  ASSERT_EQ(Pop(queue, &value), 0);
  ASSERT_EQ(Pop(queue, &value), 0);
  EXPECT_TRUE(fs::exists(File("Q1.que")));  // 2 still waits in memory
  ASSERT_EQ(Pop(queue, &value), 0);
  EXPECT_FALSE(fs::exists(File("Q1.que")));
  ASSERT_EQ(Pop(queue, &value), 0);  // 3, from file 2
  // The process dies here: nothing is saved, yet only the ring is lost.
  Destroy(queue);

  RecordQueue* next = CachedQueue();
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(next, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{3, 4}));  // 3 again: a duplicate, not a loss
}

TEST_F(QueueCacheTest, KeepsOrderThroughManySpillsAndReloads) {
  RecordQueue* queue = CachedQueue(0, 0, "Order", 4);
  std::vector<uint32_t> received;
  uint32_t next = 0;
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 7; ++i) ASSERT_EQ(Push(queue, next++), 0);
    uint32_t value;
    for (int i = 0; i < 5; ++i) {
      ASSERT_EQ(Pop(queue, &value), 0);
      received.push_back(value);
    }
  }
  EXPECT_EQ(Drain(queue, &received), kQueueEmpty);
  ASSERT_EQ(received.size(), next);
  for (uint32_t i = 0; i < next; ++i) ASSERT_EQ(received[i], i);
}

TEST_F(QueueCacheTest, PeekManyHandsOutCachedRecordsOneAtATime) {
  RecordQueue* queue = CachedQueue();
  for (uint32_t v = 100; v < 104; ++v) ASSERT_EQ(Push(queue, v), 0);  // 100-102 spilled
  uint32_t seen[3] = {};
  uint16_t lengths[3] = {};
  uint16_t count = 0;
  std::vector<uint32_t> order;
  while (queue->PeekMany(seen, sizeof(uint32_t), lengths, 3, &count) == kQueueOk) {
    ASSERT_EQ(count, 1);  // the ring's record waits behind the cache
    EXPECT_EQ(lengths[0], sizeof(uint32_t));
    order.push_back(seen[0]);
    uint32_t popped = 0;
    ASSERT_EQ(Pop(queue, &popped), 0);
    EXPECT_EQ(popped, seen[0]);
  }
  EXPECT_EQ(order, (std::vector<uint32_t>{100, 101, 102, 103}));
}

TEST_F(QueueCacheTest, DefaultsAndPathRules) {
  auto previous = fs::current_path();
  fs::current_path(dir_.path());
  RecordQueue* defaults = NewQueue();
  ASSERT_EQ(defaults->EnableCache(0, 0, nullptr, ""), 0);
  for (uint32_t v = 0; v < 4; ++v) ASSERT_EQ(Push(defaults, v), 0);
  EXPECT_TRUE(fs::exists("Cache/KelQueue1.que"));

  // A dot anywhere in the path means no ".que"; backslashes are separators.
  RecordQueue* dotted = NewQueue();
  ASSERT_EQ(dotted->EnableCache(0, 0, "Dot", ".\\Dotted"), 0);
  for (uint32_t v = 0; v < 4; ++v) ASSERT_EQ(Push(dotted, v), 0);
  EXPECT_TRUE(fs::exists("Dotted/Dot1"));

  RecordQueue* ownExtension = NewQueue();
  ASSERT_EQ(ownExtension->EnableCache(0, 0, "Q.dat", "Ext"), 0);
  for (uint32_t v = 0; v < 7; ++v) ASSERT_EQ(Push(ownExtension, v), 0);
  EXPECT_TRUE(fs::exists("Ext/Q1.dat"));
  EXPECT_TRUE(fs::exists("Ext/Q2.dat"));
  fs::current_path(previous);
}

TEST_F(QueueCacheTest, EnableRefusesASecondCallAndAnUnusableDirectory) {
  RecordQueue* queue = CachedQueue();
  EXPECT_EQ(queue->EnableCache(0, 0, "Other", dir_.path().c_str()),
            kQueueCacheAlreadyEnabled);
  EXPECT_TRUE(Said("Cacheing already enabled"));

  RecordQueue* orphan = NewQueue();
  std::string missing = File("no/such/dir");
  EXPECT_EQ(orphan->EnableCache(0, 0, "Q", missing.c_str()), kQueueBadCacheDirectory);
  EXPECT_TRUE(Said("Failed to enable cacheing - bad path specified, " + missing + "/"));
  // Still a plain queue: no cache to spill into.
  for (uint32_t v = 0; v < 3; ++v) ASSERT_EQ(Push(orphan, v), 0);
  EXPECT_EQ(Push(orphan, 3), kQueueFull);
}

TEST_F(QueueCacheTest, FilesLeftByAnEarlierRunComeFirstAndGapsAreSkipped) {
  // An earlier queue spills three files and goes away; its ring is lost.
  RecordQueue* earlier = CachedQueue();
  for (uint32_t v = 0; v < 9; ++v) ASSERT_EQ(Push(earlier, v), 0);  // files 1, 2, 3
  Destroy(earlier);
  fs::rename(File("Q3.que"), File("Q9.que"));
  fs::rename(File("Q2.que"), File("Q7.que"));
  fs::rename(File("Q1.que"), File("Q3.que"));

  RecordQueue* later = CachedQueue();
  ASSERT_EQ(Push(later, 500), 0);
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(later, &values), kQueueEmpty);
  // File 3: 0 1 2; file 7: 3 4; file 9: 5 6; then the ring.
  EXPECT_EQ(values, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 500}));

  // The next spill continues after the highest number found.
  for (uint32_t v = 0; v < 4; ++v) ASSERT_EQ(Push(later, v), 0);
  EXPECT_TRUE(fs::exists(File("Q10.que")));
}

TEST_F(QueueCacheTest, DamagedFilesAreSetAsideAndTheirSoundRecordsGoOn) {
  RecordQueue* writer = CachedQueue();
  for (uint32_t v = 100; v < 104; ++v) ASSERT_EQ(Push(writer, v), 0);
  Destroy(writer);
  const std::string sound = ReadWholeFile(File("Q1.que"));
  ASSERT_EQ(sound.size(), 50u);
  auto bent = [&](size_t at) {
    std::string bytes = sound;
    bytes[at] ^= 0x40;
    return bytes;
  };
  struct Case {
    std::string bytes;
    std::vector<uint32_t> delivered;  // before the ring's 7
    bool setAside;
  };
  const Case cases[] = {
      {sound.substr(0, 26), {100, 101, 102}, false},  // no trailer: the plain layout
      {sound.substr(0, 49), {100, 101, 102}, true},   // trailer cut off
      {sound.substr(0, 24), {100, 101}, true},        // cut inside the last record
      {sound.substr(0, 11), {}, true},                // cut inside the lengths
      {sound.substr(0, 3), {}, true},                 // cut inside the header
      {bent(18), {100, 102}, true},                   // a value changed in record 2
      {bent(10), {100, 102}, true},                   // record 2's length changed
      {bent(40), {100, 101, 102}, true},              // the trailer itself damaged
      {bent(0), {}, true},                            // slot count 0
      {sound + "x", {100, 101, 102}, true},           // longer than its layout
  };
  int setAside = 0;
  for (const Case& c : cases) {
    WriteWholeFile(File("Q1.que"), c.bytes);
    RecordQueue* queue = CachedQueue();
    ASSERT_EQ(Push(queue, 7), 0);
    std::vector<uint32_t> values;
    EXPECT_EQ(Drain(queue, &values), kQueueEmpty) << c.bytes.size();
    std::vector<uint32_t> expected = c.delivered;
    expected.push_back(7);
    EXPECT_EQ(values, expected) << c.bytes.size();
    EXPECT_FALSE(fs::exists(File("Q1.que")));
    if (c.setAside) {
      std::string aside = File(++setAside == 1 ? "Q1.que.bad" : "Q1.que." + std::to_string(setAside) + ".bad");
      EXPECT_EQ(ReadWholeFile(aside), c.bytes);  // kept as found, never overwritten
      EXPECT_EQ(SaidStarting("Cache file " + File("Q1.que") + " is damaged ("), setAside);
      EXPECT_EQ(SaidStarting("Failed loading queue from cache file, " + File("Q1.que")), setAside);
    }
    Destroy(queue);
  }
  EXPECT_EQ(SaidStarting("Cache file"), setAside);
  // Files set aside are never taken for cache files again.
  RecordQueue* later = CachedQueue();
  uint32_t value;
  EXPECT_EQ(Pop(later, &value), kQueueEmpty);
}

TEST_F(QueueCacheTest, RecordsTheOwnerRefusesAreSetAsideAndTheRestSurviveACrash) {
  RecordQueue* writer = CachedQueue();
  for (uint32_t v = 100; v < 107; ++v) ASSERT_EQ(Push(writer, v), 0);  // 1: 100-102, 2: 103-104
  Destroy(writer);
  auto refuse101 = [](const uint8_t* record, uint16_t) { return record[0] != 101; };
  RecordQueue* queue = CachedQueue();
  queue->SetRecordCheck(refuse101);
  uint32_t value;
  ASSERT_EQ(Pop(queue, &value), 0);
  EXPECT_EQ(value, 100u);
  EXPECT_TRUE(Said("Cache file " + File("Q1.que") + " is damaged (a record that is not valid): " +
                   "set aside as " + File("Q1.que.bad") + ", 2 of 3 records saved"));
  Destroy(queue);  // dies holding the saved 102 in memory

  RecordQueue* next = CachedQueue();
  next->SetRecordCheck(refuse101);
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(next, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{100, 102, 103, 104}));
  EXPECT_EQ(SaidStarting("Cache file"), 1);
  EXPECT_TRUE(fs::exists(File("Q1.que.bad")));
}

TEST_F(QueueCacheTest, HeadersThatDisagreeWithTheFileAreSetAside) {
  struct Case {
    std::string image;
    std::vector<uint32_t> delivered;
  };
  const Case cases[] = {
      {Image(0, 4, 0, 0), {}},                            // no slots
      {Image(3, 0, 3, 2), {}},                            // no slot size
      {Image(3, 4, 4, 2), {}},                            // read index beyond "before slot 0"
      {Image(3, 4, 3, 3), {}},                            // write index beyond the last slot
      {Image(3, 4, 3, 2, 5), {}},                         // a length above the slot size
      {Image(3, 4, 3, 2) + "x", {100, 101, 102}},         // longer than its header says
      {U16(65535) + U16(65535) + U16(0), {}},             // huge sizes in a tiny file
  };
  for (const Case& c : cases) {
    WriteWholeFile(File("Q1.que"), c.image);
    RecordQueue* queue = CachedQueue();
    std::vector<uint32_t> values;
    EXPECT_EQ(Drain(queue, &values), kQueueEmpty) << c.image.size();
    EXPECT_EQ(values, c.delivered) << c.image.size();
    EXPECT_TRUE(fs::exists(File("Q1.que.bad"))) << c.image.size();
    fs::remove(File("Q1.que.bad"));
    fs::remove(File("Q1.que"));
    Destroy(queue);
  }
}

TEST_F(QueueCacheTest, AFileWithNoRecordsIsPassedOver) {
  WriteWholeFile(File("Q1.que"), Image(3, 4, 1, 1));
  WriteWholeFile(File("Q2.que"), Image(3, 4, 0, 1));  // record 101
  RecordQueue* queue = CachedQueue();
  ASSERT_EQ(Push(queue, 7), 0);
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(queue, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{101, 7}));
}

TEST_F(QueueCacheTest, FileLimitRefusesOrDeletesTheOldest) {
  RecordQueue* strict = CachedQueue(1, 0, "Strict");
  for (uint32_t v = 0; v < 5; ++v) ASSERT_EQ(Push(strict, v), 0);  // file 1, ring full again
  EXPECT_EQ(Push(strict, 5), kQueueFull);
  EXPECT_FALSE(fs::exists(File("Strict2.que")));
  // A file being read back stays on disk, and counts, until its last
  // record is taken.
  uint32_t value;
  uint16_t length = 0;
  ASSERT_EQ(strict->Peek(&value, sizeof value, &length), 0);
  EXPECT_EQ(Push(strict, 5), kQueueFull);
  EXPECT_FALSE(fs::exists(File("Strict2.que")));
  for (uint32_t v = 0; v < 3; ++v) ASSERT_EQ(Pop(strict, &value), 0);
  ASSERT_EQ(Push(strict, 5), 0);  // file 1 delivered: its room is free again
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_.path()), {}), 1);  // Strict2.que

  RecordQueue* rolling = CachedQueue(2, 1, "Roll");
  for (uint32_t v = 0; v < 8; ++v) ASSERT_EQ(Push(rolling, v), 0);  // file 3 replaced file 1
  EXPECT_TRUE(Said("Deleting the oldest cacheing queue file, " + File("Roll1.que")));
  EXPECT_FALSE(fs::exists(File("Roll1.que")));
  EXPECT_TRUE(fs::exists(File("Roll3.que")));
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(rolling, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{3, 4, 5, 6, 7}));

  // Room is made from the files waiting in line, never from the one being
  // read back.
  RecordQueue* replaying = CachedQueue(2, 1, "Replay");
  for (uint32_t v = 0; v < 5; ++v) ASSERT_EQ(Push(replaying, v), 0);  // file 1: 0-2, ring 3-4
  ASSERT_EQ(Pop(replaying, &value), 0);  // 0; file 1 is read back
  for (uint32_t v = 5; v < 8; ++v) ASSERT_EQ(Push(replaying, v), 0);  // 2: 3-4, then 3: 5-6
  EXPECT_TRUE(Said("Deleting the oldest cacheing queue file, " + File("Replay2.que")));
  EXPECT_TRUE(fs::exists(File("Replay1.que")));
  values.clear();
  EXPECT_EQ(Drain(replaying, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{1, 2, 5, 6, 7}));

  // The newest file is never deleted to make room.
  RecordQueue* single = CachedQueue(1, 1, "Single");
  for (uint32_t v = 0; v < 5; ++v) ASSERT_EQ(Push(single, v), 0);
  EXPECT_EQ(Push(single, 5), kQueueFull);
  EXPECT_TRUE(Said("Cacheing queue failed - internal queueing error"));
}

TEST_F(QueueCacheTest, RecordsInMemoryAreSavedForTheNextQueue) {
  RecordQueue* queue = CachedQueue();
  for (uint32_t v = 0; v < 9; ++v) ASSERT_EQ(Push(queue, v), 0);  // files 1 (0-2), 2 (3-4), 3 (5-6)
  uint32_t value;
  ASSERT_EQ(Pop(queue, &value), 0);  // file 1 is now in memory, 0 taken
  ASSERT_EQ(queue->SaveToCache(), 0);
  Destroy(queue);

  RecordQueue* next = CachedQueue();
  ASSERT_EQ(Push(next, 100), 0);
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(next, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 100}));
  EXPECT_EQ(NewQueue()->SaveToCache(), kQueueFull);  // no cache, nothing to save into
}

// Injects disk failures into the cache's file operations, with the
// operating system's error number a real failure would leave, and logs
// the calls that make a spill durable.
class FailingFiles : public platform::FileSystemWrapper {
 public:
  FailingFiles() : FileSystemWrapper(platform::DefaultFiles()) {}

  std::atomic<bool> refuseCreate{false};
  std::atomic<bool> failWrites{false};
  std::atomic<bool> failSync{false};
  std::atomic<bool> refuseRemove{false};
  std::atomic<bool> refuseRename{false};
  std::vector<std::string> log;  // "create|sync|close|rename|syncdir <path>"

  std::unique_ptr<platform::OutputFile> CreateFile(const std::string& path) override {
    log.push_back("create " + path);
    if (refuseCreate) return Fail<std::unique_ptr<platform::OutputFile>>(EACCES);
    auto file = FileSystemWrapper::CreateFile(path);
    return file ? std::make_unique<Writer>(*this, std::move(file)) : nullptr;
  }
  bool RemoveFile(const std::string& path) override {
    return refuseRemove ? Fail<bool>(EACCES) : FileSystemWrapper::RemoveFile(path);
  }
  bool RenameFile(const std::string& from, const std::string& to) override {
    log.push_back("rename " + from + " " + to);
    return refuseRename ? Fail<bool>(EACCES) : FileSystemWrapper::RenameFile(from, to);
  }
  bool SyncDirectory(const std::string& directory) override {
    log.push_back("syncdir " + directory);
    return FileSystemWrapper::SyncDirectory(directory);
  }

 private:
  template <typename T>
  static T Fail(int error) {
    errno = error;
    return T{};
  }

  // Writes half of every block when told to, as a full disk would.
  class Writer : public platform::OutputFile {
   public:
    Writer(FailingFiles& files, std::unique_ptr<platform::OutputFile> file)
        : files_(files), file_(std::move(file)) {}
    bool Write(const void* data, size_t size) override {
      if (!files_.failWrites) return file_->Write(data, size);
      file_->Write(data, size / 2);
      return Fail<bool>(ENOSPC);
    }
    bool Sync() override {
      files_.log.push_back("sync");
      return files_.failSync ? Fail<bool>(EIO) : file_->Sync();
    }
    bool Close() override {
      files_.log.push_back("close");
      return file_->Close();
    }

   private:
    FailingFiles& files_;
    std::unique_ptr<platform::OutputFile> file_;
  };
};

TEST_F(QueueCacheTest, ASpillReachesItsNameOnlyWholeAndSynced) {
  FailingFiles files;
  platform::SetFilesForTesting(&files);
  // Left by a run killed in mid-spill: removed, and never read as records.
  WriteWholeFile(File("Q4.que.tmp"), Image(3, 4, 3, 2).substr(0, 20));
  WriteWholeFile(File("Other.que.tmp"), "not ours");
  RecordQueue* queue = CachedQueue();
  EXPECT_FALSE(fs::exists(File("Q4.que.tmp")));
  EXPECT_TRUE(fs::exists(File("Other.que.tmp")));
  for (uint32_t v = 0; v < 3; ++v) ASSERT_EQ(Push(queue, v), 0);

  files.refuseCreate = true;
  EXPECT_EQ(Push(queue, 3), kQueueFull);
  EXPECT_TRUE(Said("Unable to open cache file for export, " + File("Q1.que")));
  files.refuseCreate = false;
  files.failWrites = true;
  EXPECT_EQ(Push(queue, 3), kQueueFull);
  files.failWrites = false;
  files.failSync = true;
  EXPECT_EQ(Push(queue, 3), kQueueFull);
  EXPECT_FALSE(fs::exists(File("Q1.que")));  // no half file left to wedge reloads
  EXPECT_FALSE(fs::exists(File("Q1.que.tmp")));
  // Said once, with the path and the system's reason, not on every push.
  EXPECT_EQ(SaidStarting("Cache spill failed"), 1);
  EXPECT_TRUE(Said("Cache spill failed, " + File("Q1.que") + ": " + std::strerror(EACCES) +
                   "; records are refused until a spill succeeds"));

  files.failSync = false;
  files.log.clear();
  ASSERT_EQ(Push(queue, 3), 0);
  EXPECT_TRUE(Said("Cache spills succeed again, " + File("Q1.que")));
  const std::vector<std::string> durable = {
      "create " + File("Q1.que.tmp"), "sync", "close",
      "rename " + File("Q1.que.tmp") + " " + File("Q1.que"), "syncdir " + dir_.path()};
  EXPECT_EQ(files.log, durable);
  EXPECT_TRUE(fs::exists(File("Q1.que")));  // the same number, once it worked
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(queue, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{0, 1, 2, 3}));
}

TEST_F(QueueCacheTest, AnUndeletableLoadedFileIsStillDeliveredAndSaysItWillBeAgain) {
  FailingFiles files;
  platform::SetFilesForTesting(&files);
  RecordQueue* queue = CachedQueue();
  for (uint32_t v = 0; v < 4; ++v) ASSERT_EQ(Push(queue, v), 0);
  files.refuseRemove = true;  // a read-only directory
  files.refuseRename = true;
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(queue, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_TRUE(Said("Load queue failed to delete file " + File("Q1.que")));
  EXPECT_TRUE(Said("Cache file " + File("Q1.que") +
                   " stays on disk: its records, delivered now, will be delivered again when "
                   "the cache is next enabled"));
  EXPECT_TRUE(fs::exists(File("Q1.que")));
}

TEST_F(QueueCacheTest, ADeliveredFileLeavesTheLineAtOnceAndTheDiskWhenIdleOrRoomIsNeeded) {
  // Left by a run that ended before removing it: removed, never delivered.
  WriteWholeFile(File("Q9.que.done"), Image(3, 4, 3, 2));
  FailingFiles files;
  platform::SetFilesForTesting(&files);
  RecordQueue* queue = CachedQueue(2);
  EXPECT_FALSE(fs::exists(File("Q9.que.done")));
  for (uint32_t v = 0; v < 4; ++v) ASSERT_EQ(Push(queue, v), 0);  // 1: 0-2, ring 3
  std::vector<uint32_t> values;
  EXPECT_EQ(Drain(queue, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{0, 1, 2, 3}));
  EXPECT_FALSE(fs::exists(File("Q1.que")));  // out of line at once
  EXPECT_TRUE(fs::exists(File("Q1.que.done")));
  queue->RemoveDeliveredFiles();  // what the owner does when idle
  EXPECT_FALSE(fs::exists(File("Q1.que.done")));

  // At the file limit a delivered file goes before a spill needs its room.
  for (uint32_t v = 10; v < 14; ++v) ASSERT_EQ(Push(queue, v), 0);  // 2: 10-11, ring 12-13
  values.clear();
  ASSERT_EQ(Pop(queue, &values.emplace_back()), 0);
  ASSERT_EQ(Pop(queue, &values.emplace_back()), 0);
  EXPECT_TRUE(fs::exists(File("Q2.que.done")));
  for (uint32_t v = 14; v < 17; ++v) ASSERT_EQ(Push(queue, v), 0);  // 3: 12-13, 4: 14-15
  EXPECT_FALSE(fs::exists(File("Q2.que.done")));
  EXPECT_TRUE(fs::exists(File("Q3.que")));

  // One that cannot be removed is said to stay, and never comes back.
  files.refuseRemove = true;
  EXPECT_EQ(Drain(queue, &values), kQueueEmpty);
  EXPECT_EQ(values, (std::vector<uint32_t>{10, 11, 12, 13, 14, 15, 16}));
  queue->RemoveDeliveredFiles();
  EXPECT_TRUE(Said("Delivered cache file could not be removed, " + File("Q3.que.done") + ": " +
                   std::strerror(EACCES)));
  Destroy(queue);
  files.refuseRemove = false;
  RecordQueue* next = CachedQueue();
  uint32_t value;
  EXPECT_EQ(Pop(next, &value), kQueueEmpty);
  EXPECT_FALSE(fs::exists(File("Q3.que.done")));
}

TEST_F(QueueCacheTest, RecordsThatCannotBeSavedAreShownAsLostWithTheReason) {
  FailingFiles files;
  platform::SetFilesForTesting(&files);
  RecordQueue* queue = CachedQueue();
  for (uint32_t v = 0; v < 7; ++v) ASSERT_EQ(Push(queue, v), 0);  // 1: 0-2, 2: 3-4, ring 5-6
  uint32_t value;
  ASSERT_EQ(Pop(queue, &value), 0);  // file 1 loaded, and still on disk
  files.refuseCreate = true;
  std::vector<uint32_t> lost;
  std::string reason;
  auto collect = [&](const uint8_t* record, uint16_t length) {
    ASSERT_EQ(length, 4);
    lost.push_back(record[0]);
  };
  EXPECT_EQ(queue->SaveToCache(collect, &reason), kQueueFull);
  // 1 and 2 are still in file 1; only the ring's records have no file.
  EXPECT_EQ(lost, (std::vector<uint32_t>{5, 6}));
  EXPECT_EQ(reason, "cache file in " + dir_.path() + " could not be written: " +
                        std::strerror(EACCES));
  EXPECT_TRUE(Said("Records in memory were lost: " + reason));

  RecordQueue* uncached = NewQueue();
  ASSERT_EQ(Push(uncached, 9), 0);
  lost.clear();
  EXPECT_EQ(uncached->SaveToCache(collect, &reason), kQueueFull);
  EXPECT_EQ(lost, (std::vector<uint32_t>{9}));
  EXPECT_EQ(reason, "the queue has no disk cache");
}

}  // namespace
}  // namespace histfeed
