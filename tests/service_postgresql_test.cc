// SPDX-License-Identifier: Apache-2.0
// The histfeed-service program on PostgreSQL: two services feeding one
// database at once, a server that stops and starts again under a
// streaming source, databases it must leave alone and connection strings
// it cannot use.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service/storage/open_storage.h"
#include "service/storage/postgresql/connection.h"
#include "tests/support/command_output.h"
#include "tests/support/http_exchange.h"
#include "tests/support/loopback.h"
#include "tests/support/postgres_server.h"
#include "tests/support/scaled_clock.h"
#include "tests/support/service_process.h"
#include "tests/support/temp_directory.h"
#include "tests/support/value_frame.h"

namespace histfeed::testing {
namespace {

// The rows of `sql` on the database `connection` names, each as text, its
// columns joined by '|' with "-" for NULL; fails the test when it cannot.
std::vector<std::string> PostgresRows(const std::string& connection, const std::string& sql) {
  service::postgresql::Connection db;
  std::string error = db.Open(connection);
  if (!error.empty()) {
    ADD_FAILURE() << error;
    return {};
  }
  // PQexec answers in text, as a person reads the rows.
  std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(db.get(), sql.c_str()), PQclear);
  if (PQresultStatus(result.get()) != PGRES_TUPLES_OK) {
    ADD_FAILURE() << sql << ": " << PQresultErrorMessage(result.get());
    return {};
  }
  std::vector<std::string> rows;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    std::string text;
    for (int column = 0; column < PQnfields(result.get()); ++column) {
      if (column > 0) text += '|';
      text += PQgetisnull(result.get(), row, column) ? "-" : PQgetvalue(result.get(), row, column);
    }
    rows.push_back(std::move(text));
  }
  return rows;
}

// Sends one frame of point-id records and returns the answer byte, or -1.
int SendValues(int socket, const std::vector<universal::PointValue>& values) {
  std::vector<uint8_t> frame = ValueFrame(values);
  uint8_t answer = 0;
  if (!WriteAll(socket, frame.data(), frame.size()) || !ReadExactly(socket, &answer, 1)) return -1;
  return answer;
}

// Runs the program with `arguments` (ended after 30 s at most); its exit
// status, and all it wrote in *output.
int RunService(const std::string& arguments, std::string* output) {
  std::string command = std::string("timeout 30 ") + HISTFEED_SERVICE_BINARY + " " + arguments;
  return RunCommand(command + " 2>&1", output);
}

// `text` as one word of the shell.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string FileText(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The line of /metrics that starts with `name`, empty when there is none.
std::string MetricLine(uint16_t httpPort, const std::string& name) {
  std::istringstream body(HttpGet(httpPort, "/metrics").body);
  for (std::string line; std::getline(body, line);) {
    if (line.rfind(name, 0) == 0) return line;
  }
  return "";
}

std::string One(const std::vector<std::string>& rows) { return rows.size() == 1 ? rows[0] : "?"; }

// Every stored value is one row of one point, and no (point, time) twice.
void ExpectNoDuplicateRows(const std::string& database, size_t expected) {
  EXPECT_EQ(One(PostgresRows(
                database, "SELECT count(*), count(DISTINCT (point_id, time)) FROM point_values")),
            std::to_string(expected) + "|" + std::to_string(expected));
  EXPECT_EQ(One(PostgresRows(database,
                             "SELECT count(*) FROM point_values v "
                             "LEFT JOIN points p ON p.id = v.point_id WHERE p.id IS NULL")),
            "0");
}

TEST(ServicePostgresqlTest, TwoServicesStoreSharedAndOwnPointsIntoOneDatabase) {
  std::string why;
  PostgresServer* server = PostgresServer::Shared(&why);
  HISTFEED_NEED_POSTGRES(server, why);
  const std::string database = server->NewDatabase();
  const uint16_t ports[] = {FreeLoopbackPort(), FreeLoopbackPort()};
  ServiceProcess first(HISTFEED_SERVICE_BINARY, database, ports[0]);
  ServiceProcess second(HISTFEED_SERVICE_BINARY, database, ports[1]);
  // Started together, both find the database empty and race to make it.
  std::atomic<bool> firstStarted{false};
  std::thread starting([&] { firstStarted = first.Start(); });
  ASSERT_TRUE(second.Start());
  starting.join();
  ASSERT_TRUE(firstStarted);

  // Two sources on each service. Every frame holds the same shared points
  // with identical values (the second service's sources name them in the
  // opposite order: rows locked in the order received would deadlock),
  // and points of the source's own.
  constexpr int kSources = 4, kFrames = 40, kShared = 8, kOwn = 4;
  std::vector<std::string> shared, own[kSources];
  for (int i = 0; i < kShared; ++i) shared.push_back("SHARED" + std::to_string(i));
  for (int source = 0; source < kSources; ++source) {
    for (int i = 0; i < kOwn; ++i) {
      own[source].push_back("OWN" + std::to_string(source) + "." + std::to_string(i));
    }
  }
  std::atomic<int> acknowledged{0};
  std::vector<std::thread> sources;
  for (int source = 0; source < kSources; ++source) {
    sources.emplace_back([&, source] {
      int socket = ConnectLoopback(ports[source / 2]);
      for (int frame = 0; frame < kFrames && socket >= 0; ++frame) {
        std::vector<universal::PointValue> values;
        int32_t time = 1000 + frame;
        for (const std::string& name : shared) {
          values.push_back({time, 0, name, 0, 0.5 * frame, {}});
        }
        if (source >= 2) std::reverse(values.begin(), values.end());
        for (const std::string& name : own[source]) values.push_back({time, 0, name, 0, -1.0, {}});
        if (SendValues(socket, values) == 0x06) ++acknowledged;
      }
      if (socket >= 0) close(socket);
    });
  }
  for (std::thread& thread : sources) thread.join();
  EXPECT_EQ(acknowledged, kSources * kFrames);

  // One id per point, every value once, the shared ones as sent.
  const size_t points = kShared + kSources * kOwn;
  EXPECT_EQ(One(PostgresRows(database, "SELECT count(*), count(DISTINCT id), "
                                       "count(DISTINCT (family, id_kind, name)) FROM points")),
            std::to_string(points) + "|" + std::to_string(points) + "|" + std::to_string(points));
  ExpectNoDuplicateRows(database, points * kFrames);
  EXPECT_EQ(One(PostgresRows(database,
                             "SELECT count(*), count(*) FILTER (WHERE v.value <> "
                             "(extract(epoch FROM v.time) - 1000) * 0.5) FROM point_values v "
                             "JOIN points p ON p.id = v.point_id WHERE p.name LIKE 'SHARED%'")),
            std::to_string(kShared * kFrames) + "|0");
  EXPECT_EQ(PostgresRows(database, "SELECT application, version FROM histfeed_schema").size(), 1u);

  // Either service's dump reads what both stored.
  std::string output;
  EXPECT_EQ(RunService("dump --db " + Quoted(database), &output), 0) << output;
  EXPECT_NE(output.find(std::to_string(points) + " points, " +
                        std::to_string(points * kFrames) + " values"),
            std::string::npos)
      << output;
}

// A server stopped and started again under a source that streams frames
// of ten values on one connection and sends a refused frame again until
// it is acknowledged, as a source's queue does.
TEST(ServicePostgresqlTest, ServerStoppedAndStartedUnderAStreamLosesAndDoublesNothing) {
  std::string why;
  std::unique_ptr<PostgresServer> server = PostgresServer::Own(&why);
  HISTFEED_NEED_POSTGRES(server.get(), why);
  // The server trusts any password; the log must show none.
  const std::string secret = "Pw4Histfeed";
  std::string database = server->NewDatabase();
  database.replace(database.find("histfeed@"), 9, "histfeed:" + secret + "@");
  const uint16_t port = FreeLoopbackPort(), httpPort = FreeLoopbackPort();
  TempDirectory dir;
  ServiceProcess service(HISTFEED_SERVICE_BINARY, database, port,
                         {"--http", "127.0.0.1:" + std::to_string(httpPort)});
  service.LogTo(dir.File("service.log"));
  ASSERT_TRUE(service.Start());

  std::atomic<bool> streaming{true}, serverDown{false};
  std::atomic<int> acknowledged{0}, refused{0}, acknowledgedWhileDown{0};
  std::set<std::string> acknowledgedValues;  // the source's until it ends
  std::thread source([&] {
    std::vector<std::string> names;
    for (int point = 0; point < 10; ++point) names.push_back("P" + std::to_string(point));
    int socket = ConnectLoopback(port);
    for (int32_t time = 1000; streaming && socket >= 0;) {
      std::vector<universal::PointValue> values;
      for (const std::string& name : names) values.push_back({time, 0, name, 0, 0.25 * time, {}});
      bool down = serverDown;
      int answer = SendValues(socket, values);
      if (answer == 0x06) {
        acknowledgedWhileDown += down ? 1 : 0;
        for (const std::string& name : names) {
          acknowledgedValues.insert(name + "|" + std::to_string(time));
        }
        ++time;
        ++acknowledged;
      } else if (answer == 0x15) {
        ++refused;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      } else {
        break;
      }
    }
    if (socket >= 0) close(socket);
  });
  auto acknowledgedMore = [&](int frames) {
    int from = acknowledged;
    return WaitUntil([&] { return acknowledged >= from + frames; }, std::chrono::seconds(30));
  };
  EXPECT_TRUE(acknowledgedMore(20));

  ASSERT_TRUE(server->Stop());
  serverDown = true;
  EXPECT_TRUE(WaitUntil([&] { return refused >= 5; }));
  EXPECT_EQ(MetricLine(httpPort, "histfeed_store_connected"),
            "histfeed_store_connected{store=\"postgresql\"} 0");
  EXPECT_NE(MetricLine(httpPort, "histfeed_store_last_error_info"), "");
  EXPECT_NE(MetricLine(httpPort, "histfeed_store_last_commit_seconds"), "");

  // The same service stores again, without a restart.
  serverDown = false;
  ASSERT_TRUE(server->Start());
  EXPECT_TRUE(acknowledgedMore(20));
  streaming = false;
  source.join();
  EXPECT_EQ(MetricLine(httpPort, "histfeed_store_connected"),
            "histfeed_store_connected{store=\"postgresql\"} 1");
  EXPECT_EQ(service.StopWithin(SIGTERM, std::chrono::seconds(10)), 0);

  EXPECT_EQ(acknowledgedWhileDown, 0);
  std::vector<std::string> rows =
      PostgresRows(database, "SELECT convert_from(p.name, 'UTF8'), "
                             "extract(epoch FROM v.time)::bigint FROM point_values v "
                             "JOIN points p ON p.id = v.point_id");
  EXPECT_EQ(std::set<std::string>(rows.begin(), rows.end()), acknowledgedValues);
  ExpectNoDuplicateRows(database, acknowledgedValues.size());
  // Said once when the server went, once when it was back.
  std::string log = FileText(dir.File("service.log"));
  EXPECT_EQ(Occurrences(log, "cannot be reached"), 1u) << log;
  EXPECT_EQ(Occurrences(log, "is back after"), 1u) << log;
  EXPECT_EQ(log.find(secret), std::string::npos) << log;
}

// The relations, their columns and every row of the tables: what a
// refusal must leave as it was.
std::vector<std::string> Catalogue(const std::string& database) {
  std::vector<std::string> rows = PostgresRows(
      database,
      "SELECT n.nspname, c.relname, c.relkind, string_agg(a.attname || ' ' || "
      "format_type(a.atttypid, a.atttypmod), ', ' ORDER BY a.attnum) FROM pg_class c "
      "JOIN pg_namespace n ON n.oid = c.relnamespace "
      "LEFT JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 AND NOT a.attisdropped "
      "WHERE n.nspname NOT IN ('pg_catalog', 'information_schema', 'pg_toast') "
      "GROUP BY 1, 2, 3 ORDER BY 1, 2");
  for (const std::string& table :
       PostgresRows(database, "SELECT quote_ident(relname) FROM pg_class "
                              "WHERE relnamespace = 'public'::regnamespace AND relkind = 'r'")) {
    for (const std::string& row :
         PostgresRows(database, "SELECT row_to_json(t)::text FROM " + table + " t ORDER BY 1")) {
      rows.push_back(table + ": " + row);
    }
  }
  return rows;
}

TEST(ServicePostgresqlTest, RefusesADatabaseOfAnotherProgramOrVersionAndLeavesItAsItWas) {
  std::string why;
  PostgresServer* server = PostgresServer::Shared(&why);
  HISTFEED_NEED_POSTGRES(server, why);
  struct Case {
    const char* name;
    bool histfeedTables;  // the service makes its tables first
    const char* setUp;    // then this SQL
    const char* reason;
  } cases[] = {
      {"another program's tables", false,
       "CREATE TABLE orders (id integer PRIMARY KEY, item text); "
       "INSERT INTO orders VALUES (1, 'valve'); CREATE VIEW open_orders AS SELECT * FROM orders",
       "holds tables of another program: open_orders, orders"},
      {"a later histfeed layout", true, "UPDATE histfeed_schema SET version = version + 1",
       "written by another version of histfeed-service"},
      {"another application's mark", false,
       "CREATE TABLE histfeed_schema (application text, version integer); "
       "INSERT INTO histfeed_schema VALUES ('someone-else', 1)",
       "names no histfeed-service layout"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string database = server->NewDatabase();
    if (c.histfeedTables) {
      std::string error;
      ASSERT_NE(service::OpenStorage(database, service::StorageOptions(), &error), nullptr)
          << error;
    }
    service::postgresql::Connection db;
    ASSERT_EQ(db.Open(database), "");
    ASSERT_TRUE(db.Exec(c.setUp)) << db.error();
    std::vector<std::string> before = Catalogue(database);
    const std::string serve =
        "serve --quiet --universal-port " + std::to_string(FreeLoopbackPort());
    for (const std::string& command : {serve, std::string("dump")}) {
      std::string output;
      EXPECT_EQ(RunService(command + " --db " + Quoted(database), &output), 1) << command;
      EXPECT_NE(output.find("is not a histfeed-service database"), std::string::npos) << output;
      EXPECT_NE(output.find(c.reason), std::string::npos) << output;
      EXPECT_NE(output.find("it was left as it was"), std::string::npos) << output;
    }
    EXPECT_EQ(Catalogue(database), before);
  }
}

TEST(ServicePostgresqlTest, UnusableConnectionStringsExitOneAndNeverShowThePassword) {
  std::string why;
  PostgresServer* server = PostgresServer::Shared(&why);
  HISTFEED_NEED_POSTGRES(server, why);
  const std::string port = std::to_string(server->port());
  const std::string closedPort = std::to_string(FreeLoopbackPort());
  const std::string secret = "Pw4Histfeed";
  struct Case {
    std::string connection;
    std::string reason;  // part of what libpq says
  } cases[] = {
      {"host=127.0.0.1 password=" + secret + " dbname='unterminated", "unterminated quoted"},
      {"postgresql://histfeed:" + secret + "@127.0.0.1:99999/x", "invalid"},
      {"postgresql://histfeed:" + secret + "@127.0.0.1:" + closedPort + "/x", "refused"},
      {"postgresql://histfeed:" + secret + "@127.0.0.1:" + port + "/no_such_database",
       "database \"no_such_database\" does not exist"},
      {"host=127.0.0.1 port=" + port + " user=nobody_here password=" + secret +
           " dbname=postgres",
       "role \"nobody_here\" does not exist"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connection);
    std::string output;
    EXPECT_EQ(RunService("serve --universal-port " + std::to_string(FreeLoopbackPort()) +
                             " --db " + Quoted(c.connection),
                         &output),
              1);
    EXPECT_NE(output.find("PostgreSQL"), std::string::npos) << output;
    EXPECT_NE(output.find(c.reason), std::string::npos) << output;
    EXPECT_EQ(output.find(secret), std::string::npos) << output;
  }
}

}  // namespace
}  // namespace histfeed::testing
