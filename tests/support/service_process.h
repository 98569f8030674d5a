// SPDX-License-Identifier: Apache-2.0
// The histfeed-service program run by a test: one database, fixed ports.
#ifndef HISTFEED_TESTS_SUPPORT_SERVICE_PROCESS_H_
#define HISTFEED_TESTS_SUPPORT_SERVICE_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace histfeed::testing {

class ServiceProcess {
 public:
  // `program`: the histfeed-service binary; `extra`: more serve options.
  // `openFiles` > 0 starts it with that many file descriptors at most.
  ServiceProcess(std::string program, std::string database, uint16_t port,
                 std::vector<std::string> extra = {}, int openFiles = 0);
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  // Before Start: its log goes to the file at `path` instead of nowhere.
  void LogTo(std::string path) { logFile_ = std::move(path); }
  // Before Start: shell commands run before it (limits, traps), each
  // ending in "&& ".
  void SetShellPrefix(std::string prefix) { shellPrefix_ = std::move(prefix); }
  // Starts it and waits until it accepts connections; false if it did not.
  bool Start();
  void Stop(int signal);
  // Sends `signal` and waits at most `limit` for the end: the exit status,
  // 128 + the signal that killed it, or nothing when it did not end (it
  // is then killed).
  std::optional<int> StopWithin(int signal, std::chrono::milliseconds limit);

  pid_t pid() const { return pid_; }
  uint16_t classicPort() const { return classicPort_; }
  // Its resident memory in KiB, from /proc; -1 when the system cannot tell.
  long ResidentKilobytes() const;
  // Its threads and its processor time in clock ticks, from /proc; -1 when
  // the system cannot tell.
  int Threads() const;
  long ProcessorTicks() const;

 private:
  std::string program_, database_;
  uint16_t port_;
  uint16_t classicPort_;
  std::vector<std::string> extra_;
  int openFiles_;
  std::string logFile_, shellPrefix_;
  pid_t pid_ = -1;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_SERVICE_PROCESS_H_
