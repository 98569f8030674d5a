// SPDX-License-Identifier: Apache-2.0
// A PostgreSQL server for the tests: the one ctest started for the whole
// run (its directory in HISTFEED_TEST_POSTGRESQL), else one of this
// process, made with scripts/postgres-cluster.sh in a temporary directory
// and removed at the end. Each test takes databases of its own.
//
// Where the machine has no PostgreSQL server programs, tests skip with a
// loud message; with HISTFEED_REQUIRE_POSTGRESQL set (CI) they fail.
#ifndef HISTFEED_TESTS_SUPPORT_POSTGRES_SERVER_H_
#define HISTFEED_TESTS_SUPPORT_POSTGRES_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

namespace histfeed::testing {

class PostgresServer {
 public:
  // The server the tests of this run share, or null (with the reason in
  // *why) when there is none to be had.
  static PostgresServer* Shared(std::string* why);
  // A server of this caller's alone, which it may stop and start again.
  static std::unique_ptr<PostgresServer> Own(std::string* why);

  ~PostgresServer();
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  // A new, empty database, removed with the server object: its
  // connection string.
  std::string NewDatabase();
  // The connection string of `database` on this server.
  std::string ConnectionTo(const std::string& database) const;
  uint16_t port() const { return port_; }

  // Stops the server (PostgreSQL's fast shutdown) and starts it again on
  // the same port; only for a server of one's own.
  bool Stop();
  bool Start();

 private:
  PostgresServer(std::string directory, uint16_t port, bool own)
      : directory_(std::move(directory)), port_(port), own_(own) {}
  static std::unique_ptr<PostgresServer> Launch(std::string* why);

  std::string directory_;
  uint16_t port_;
  bool own_;
  int databases_ = 0;
};

// Whether the tests must not skip for want of a server.
bool PostgresRequired();

}  // namespace histfeed::testing

// In a test: skips it (or fails it, where a server is required) when
// `server` is null.
#define HISTFEED_NEED_POSTGRES(server, why)                                         \
  do {                                                                              \
    if ((server) == nullptr) {                                                      \
      if (::histfeed::testing::PostgresRequired()) FAIL() << (why);                 \
      GTEST_SKIP() << "NO POSTGRESQL SERVER, SO THIS TEST DID NOT RUN: " << (why);  \
    }                                                                               \
  } while (false)

#endif  // HISTFEED_TESTS_SUPPORT_POSTGRES_SERVER_H_
