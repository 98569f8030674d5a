// SPDX-License-Identifier: Apache-2.0
// The histfeed-service program run by a test: one database, fixed ports.
#ifndef HISTFEED_TESTS_SUPPORT_SERVICE_PROCESS_H_
#define HISTFEED_TESTS_SUPPORT_SERVICE_PROCESS_H_

#include <sys/types.h>

#include <cstdint>
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

  // Shell commands run before the service starts (limits, traps), and a
  // file for its standard error; both optional, set before Start.
  void SetShellPrefix(std::string prefix) { shellPrefix_ = std::move(prefix); }
  void SetLogFile(std::string path) { logFile_ = std::move(path); }
  // Whether it logs its events (by default it does not).
  void SetQuiet(bool quiet) { quiet_ = quiet; }

  // Starts it and waits until it accepts connections; false if it did not.
  bool Start();
  void Stop(int signal);

  pid_t pid() const { return pid_; }
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
  std::string shellPrefix_, logFile_;
  bool quiet_ = true;
  pid_t pid_ = -1;
};

}  // namespace histfeed::testing

#endif  // HISTFEED_TESTS_SUPPORT_SERVICE_PROCESS_H_
