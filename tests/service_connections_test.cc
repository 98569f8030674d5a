// SPDX-License-Identifier: Apache-2.0
// The service program under many connections: a plant's worth of idle
// sources on few threads, a limit that refuses one more, and no spinning
// when it runs out of file descriptors.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_directory.h"
#include "wire/frame_format.h"

namespace histfeed::testing {
namespace {

// A one-record frame for point P at `time`, and the answer to it.
int SendFrame(int fd, int32_t time) {
  const universal::RecordType& type = *universal::FindRecordType(1);
  std::vector<uint8_t> record(type.recordBytes);
  universal::EncodeRecord(type, {time, 0, "P", 0, 1.5, {}}, record.data());
  std::vector<uint8_t> frame(universal::FrameLength(type, 1));
  universal::EncodeFrame(type, nullptr, record.data(), 1, frame.data());
  if (!WriteAll(fd, frame.data(), frame.size())) return -1;
  uint8_t answer = 0;
  return ReadExactly(fd, &answer, 1) ? answer : -1;
}

void CloseAll(std::vector<int>& fds) {
  for (int fd : fds) close(fd);
  fds.clear();
}

TEST(ServiceConnectionsTest, HoldsThreeThousandIdleSourcesOnFewThreadsAndRefusesOneMore) {
  constexpr int kIdle = 3000;
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  const rlimit saved = files;
  // This process holds the client ends; the service raises its own limit.
  files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
  if (files.rlim_cur < kIdle + 200 || setrlimit(RLIMIT_NOFILE, &files) != 0) {
    GTEST_SKIP() << "needs " << kIdle + 200 << " open files";
  }
  TempDirectory dir;
  uint16_t port = FreeLoopbackPort();
  ServiceProcess service(HISTFEED_SERVICE_BINARY, dir.File("history.db"), port,
                         {"--max-connections", std::to_string(kIdle + 1),
                          "--max-connections-per-address", std::to_string(kIdle + 1)});
  ASSERT_TRUE(service.Start());

  std::vector<int> idle;
  for (int i = 0; i < kIdle; ++i) {
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0) << "connection " << i;
    idle.push_back(fd);
  }
  int good = ConnectLoopback(port);
  ASSERT_GE(good, 0);
  EXPECT_EQ(SendFrame(good, 100), 0x06);
  EXPECT_EQ(SendFrame(good, 101), 0x06);
  EXPECT_GT(service.Threads(), 0);
  EXPECT_LE(service.Threads(), 8);

  // One beyond the limit: accepted by the system, closed by the service.
  int beyond = ConnectLoopback(port);
  ASSERT_GE(beyond, 0);
  uint8_t byte = 0;
  EXPECT_FALSE(ReadExactly(beyond, &byte, 1));
  close(beyond);
  EXPECT_EQ(SendFrame(good, 102), 0x06);
  close(good);
  CloseAll(idle);
  service.Stop(SIGTERM);
  setrlimit(RLIMIT_NOFILE, &saved);
}

TEST(ServiceConnectionsTest, OutOfFileDescriptorsItWaitsWithoutSpinningAndRecovers) {
  TempDirectory dir;
  uint16_t port = FreeLoopbackPort();
  ServiceProcess service(HISTFEED_SERVICE_BINARY, dir.File("history.db"), port, {},
                         /*openFiles=*/64);
  ASSERT_TRUE(service.Start());
  std::vector<int> idle;
  for (int i = 0; i < 100; ++i) {  // more than it can hold; the rest wait in the backlog
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    idle.push_back(fd);
  }
  int good = ConnectLoopback(port);
  ASSERT_GE(good, 0);

  // A spinning accept loop burns a processor; a waiting one next to nothing.
  long ticksBefore = service.ProcessorTicks();
  auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  double elapsedTicks = std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                            .count() * static_cast<double>(sysconf(_SC_CLK_TCK));
  EXPECT_LT(static_cast<double>(service.ProcessorTicks() - ticksBefore), elapsedTicks / 4);

  // Once sources leave, the waiting ones are taken in and answered.
  CloseAll(idle);
  EXPECT_EQ(SendFrame(good, 100), 0x06);
  close(good);
}

// The program's exit code for `arguments`, its standard output in *output.
int RunService(const std::string& arguments, std::string* output = nullptr) {
  std::string command = std::string(HISTFEED_SERVICE_BINARY) + " " + arguments + " 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  char chunk[256];
  std::string text;
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) text += chunk;
  int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ServiceCommandLineTest, HelpVersionAndDumpAnswerAsAsked) {
  std::string output;
  for (const char* help : {"--help", "-h", "help", "serve --help"}) {
    EXPECT_EQ(RunService(help, &output), 0) << help;
    EXPECT_NE(output.find("usage:"), std::string::npos) << help;
  }
  EXPECT_EQ(RunService("--version", &output), 0);
  EXPECT_EQ(output.rfind("histfeed-service ", 0), 0u);

  TempDirectory dir;
  std::string missing = dir.File("typo.db");
  EXPECT_EQ(RunService("dump --db " + missing), 1);
  EXPECT_NE(access(missing.c_str(), F_OK), 0);  // no empty database left behind
  EXPECT_EQ(RunService("dump --db " + missing + " --listen 127.0.0.1"), 2);
  EXPECT_EQ(RunService("dump --db " + missing + " --nak-every 2"), 2);

  // A host name, and a database dump reads without writing.
  uint16_t port = FreeLoopbackPort();
  std::string database = dir.File("history.db");
  {
    ServiceProcess service(HISTFEED_SERVICE_BINARY, database, port, {"--listen", "localhost"});
    ASSERT_TRUE(service.Start());
    int fd = ConnectLoopback(port);
    EXPECT_EQ(SendFrame(fd, 100), 0x06);
    close(fd);
  }
  ASSERT_EQ(chmod(database.c_str(), 0444), 0);
  EXPECT_EQ(RunService("dump --db " + database + " --csv", &output), 0);
  EXPECT_NE(output.find("universal,point,\"P\",1,100,100,\"1.5\",\"1.5\""), std::string::npos)
      << output;
}

}  // namespace
}  // namespace histfeed::testing
