// SPDX-License-Identifier: Apache-2.0
#include "tests/support/service_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "tests/support/loopback.h"
#include "tests/support/scaled_clock.h"

extern char** environ;

namespace histfeed::testing {
namespace {

bool Accepts(uint16_t port) {
  int fd = ConnectLoopback(port);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// The number after `name` in /proc/PID/status, or -1.
long StatusNumber(pid_t pid, const std::string& name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name, 0) == 0) return std::stol(line.substr(name.size()));
  }
  return -1;
}

}  // namespace

ServiceProcess::ServiceProcess(std::string program, std::string database, uint16_t port,
                               std::vector<std::string> extra, int openFiles)
    : program_(std::move(program)),
      database_(std::move(database)),
      port_(port),
      classicPort_(FreeLoopbackPort()),
      extra_(std::move(extra)),
      openFiles_(openFiles) {}

ServiceProcess::~ServiceProcess() { Stop(SIGTERM); }

bool ServiceProcess::Start() {
  std::vector<std::string> words = {program_, "serve", "--db", database_, "--universal-port",
                                    std::to_string(port_), "--classic-port",
                                    std::to_string(classicPort_)};
  if (logFile_.empty()) words.push_back("--quiet");
  words.insert(words.end(), extra_.begin(), extra_.end());
  std::string shell = shellPrefix_;
  // The shell lowers both limits, so the service cannot raise them again.
  if (openFiles_ > 0) shell += "ulimit -n " + std::to_string(openFiles_) + " && ";
  if (!shell.empty()) words.insert(words.begin(), {"/bin/sh", "-c", shell + "exec \"$@\"", "sh"});
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  if (!logFile_.empty()) {
    posix_spawn_file_actions_addopen(&files, 2, logFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  }
  // posix_spawn, not fork: the library's threads are running.
  int spawned = posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return false;
  return WaitUntil([&] { return Accepts(port_); });
}

void ServiceProcess::Stop(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::optional<int> ServiceProcess::StopWithin(int signal, std::chrono::milliseconds limit) {
  if (pid_ <= 0) return std::nullopt;
  kill(pid_, signal);
  int status = 0;
  bool ended = WaitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, limit);
  if (!ended) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
  if (!ended) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

long ServiceProcess::ResidentKilobytes() const { return StatusNumber(pid_, "VmRSS:"); }

int ServiceProcess::Threads() const { return static_cast<int>(StatusNumber(pid_, "Threads:")); }

long ServiceProcess::ProcessorTicks() const {
  std::ifstream file("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');  // the name may hold blanks
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int number = 3; number <= 15 && fields >> field; ++number) {
    if (number == 14) utime = std::stol(field);
    if (number == 15) stime = std::stol(field);
  }
  return utime + stime;
}

}  // namespace histfeed::testing
