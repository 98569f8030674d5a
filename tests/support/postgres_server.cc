// SPDX-License-Identifier: Apache-2.0
#include "tests/support/postgres_server.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "service/storage/postgresql/connection.h"
#include "tests/support/command_output.h"

#ifndef HISTFEED_SOURCE_DIR
#error "HISTFEED_SOURCE_DIR comes from tests/CMakeLists.txt"
#endif

namespace histfeed::testing {
namespace {

constexpr int kNoServerPrograms = 77;

std::string Script() { return std::string(HISTFEED_SOURCE_DIR) + "/scripts/postgres-cluster.sh"; }

// Runs the cluster script; its exit status, what it wrote in *output.
int RunScript(const std::string& arguments, std::string* output) {
  return RunCommand("'" + Script() + "' " + arguments + " 2>&1", output);
}

uint16_t PortIn(const std::string& directory) {
  std::ifstream file(directory + "/port");
  unsigned port = 0;
  file >> port;
  return static_cast<uint16_t>(port);
}

}  // namespace

bool PostgresRequired() { return std::getenv("HISTFEED_REQUIRE_POSTGRESQL") != nullptr; }

std::unique_ptr<PostgresServer> PostgresServer::Launch(std::string* why) {
  char pattern[] = "/tmp/histfeed-postgres.XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    *why = "cannot make a directory for the server";
    return nullptr;
  }
  std::string output;
  int status = RunScript(std::string("start '") + pattern + "' 0 --fast", &output);
  if (status != 0) {
    *why = status == kNoServerPrograms ? "no PostgreSQL server programs on this machine"
                                       : "the server did not start: " + output;
    std::string ignored;
    RunScript(std::string("remove '") + pattern + "'", &ignored);
    rmdir(pattern);  // the script removes nothing where it finds no server programs
    return nullptr;
  }
  return std::unique_ptr<PostgresServer>(new PostgresServer(pattern, PortIn(pattern), true));
}

PostgresServer* PostgresServer::Shared(std::string* why) {
  static std::string reason;
  static std::unique_ptr<PostgresServer> server = [] {
    const char* directory = std::getenv("HISTFEED_TEST_POSTGRESQL");
    if (directory != nullptr && PortIn(directory) != 0) {
      return std::unique_ptr<PostgresServer>(
          new PostgresServer(directory, PortIn(directory), false));
    }
    return Launch(&reason);
  }();
  if (server == nullptr) *why = reason;
  return server.get();
}

std::unique_ptr<PostgresServer> PostgresServer::Own(std::string* why) { return Launch(why); }

PostgresServer::~PostgresServer() {
  std::string output;
  if (own_) {
    RunScript("remove '" + directory_ + "' immediate", &output);
    return;
  }
  // The shared server stays for the others; this process's databases go.
  service::postgresql::Connection admin;
  if (!admin.Open(ConnectionTo("postgres")).empty()) return;
  for (int i = 1; i <= databases_; ++i) {
    admin.Exec("DROP DATABASE IF EXISTS histfeed_test_" + std::to_string(getpid()) + "_" +
               std::to_string(i) + " WITH (FORCE)");
  }
}

std::string PostgresServer::ConnectionTo(const std::string& database) const {
  return "postgresql://histfeed@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

std::string PostgresServer::NewDatabase() {
  std::string name = "histfeed_test_" + std::to_string(getpid()) + "_" +
                     std::to_string(++databases_);
  service::postgresql::Connection admin;
  std::string error = admin.Open(ConnectionTo("postgres"));
  if (error.empty() && !admin.Exec("CREATE DATABASE " + name)) error = admin.error();
  if (!error.empty()) std::fprintf(stderr, "cannot make database %s: %s\n", name.c_str(),
                                   error.c_str());
  return ConnectionTo(name);
}

bool PostgresServer::Stop() {
  std::string output;
  return own_ && RunScript("stop '" + directory_ + "' fast", &output) == 0;
}

bool PostgresServer::Start() {
  std::string output;
  return own_ &&
         RunScript("start '" + directory_ + "' " + std::to_string(port_) + " --fast", &output) == 0;
}

}  // namespace histfeed::testing
