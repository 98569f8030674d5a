// SPDX-License-Identifier: Apache-2.0
// histfeed-service: a reference historian service for trying and testing
// histfeed. It stores what sources deliver in one SQLite file, or in a
// PostgreSQL database that several services may share.
//
// Its command line is in command_line.cc.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <ctime>
#include <string>
#include <thread>

#include "service/command_line.h"
#include "service/event_log.h"
#include "service/http/http_server.h"
#include "service/listeners/classic_listener.h"
#include "service/listeners/universal_listener.h"
#include "service/printable_text.h"
#include "service/service_metrics.h"
#include "service/storage/open_storage.h"
#include "service/storage/storage.h"
#include "service/storage/storage_writer.h"
#include "service/value_text.h"

#ifndef HISTFEED_VERSION
#error "HISTFEED_VERSION comes from service/CMakeLists.txt"
#endif

namespace histfeed::service {
namespace {

std::string TimeText(int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

// Names and texts are bytes from the sources: a control byte must not
// reach the terminal, nor a line feed split a row, nor a cell run as a
// spreadsheet formula.
int Dump(Storage& storage, bool csv) {
  std::string error;
  auto summaries = storage.Summarize(&error);
  DatabaseTotals totals = storage.Totals(&error);
  if (!error.empty()) {
    std::fprintf(stderr, "histfeed-service: %s\n", error.c_str());
    return 1;
  }
  if (csv) {
    std::printf("family,id_kind,point,count,first_time,last_time,first_value,last_value\n");
  } else {
    std::printf("%-10s %-9s %-32s %8s  %-19s  %-19s  %s -> %s\n", "family", "id kind", "point",
                "values", "first (UTC)", "last (UTC)", "first", "last");
  }
  for (const PointSummary& s : summaries) {
    if (csv) {
      std::printf("%s,%s,%s,%lld,%lld,%lld,%s,%s\n", s.family.c_str(), s.idKind.c_str(),
                  CsvField(s.point).c_str(),
                  static_cast<long long>(s.count), static_cast<long long>(s.firstTime),
                  static_cast<long long>(s.lastTime), CsvField(s.firstValue).c_str(),
                  CsvField(s.lastValue).c_str());
    } else {
      std::printf("%-10s %-9s %-32s %8lld  %-19s  %-19s  %s -> %s\n", s.family.c_str(),
                  s.idKind.c_str(), VisibleText(s.point).c_str(), static_cast<long long>(s.count),
                  TimeText(s.firstTime).c_str(), TimeText(s.lastTime).c_str(),
                  VisibleText(s.firstValue).c_str(), VisibleText(s.lastValue).c_str());
    }
  }
  if (!csv) {
    std::printf("%zu points, %lld values, %lld configurations\n", summaries.size(),
                static_cast<long long>(totals.values), static_cast<long long>(totals.configs));
  }
  return 0;
}

// Every stored value, one CSV line each, point by point in time order:
// numbers as dump writes them, texts quoted as CSV fields.
int DumpValues(Storage& storage) {
  std::printf("family,id_kind,point,time,msec,status,value\n");
  std::string error;
  storage.ForEachValue(
      [](const PointKey& key, const StoredValue& value) {
        ValueTime time = ValueTime::OfMillis(value.millis);
        std::string text = value.isText ? CsvField(value.text) : ExactValueText(value.value);
        std::printf("%s,%s,%s,%lld,%d,%d,%s\n", key.family.c_str(), key.idKind.c_str(),
                    CsvField(key.point).c_str(), static_cast<long long>(time.time), time.msec,
                    value.status, text.c_str());
        return true;
      },
      &error);
  if (error.empty()) return 0;
  std::fprintf(stderr, "histfeed-service: %s\n", error.c_str());
  return 1;
}

// Each connection takes a descriptor: asks for as many as the system lets
// this process have, and says so when the connection limits need more.
void RaiseDescriptorLimit(const ConnectionLimits& limits) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
  if (files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
    getrlimit(RLIMIT_NOFILE, &files);
  }
  // Two ports, and a few for the database and the log.
  rlim_t wanted = 2 * static_cast<rlim_t>(limits.maxConnections) + 32;
  if (files.rlim_cur != RLIM_INFINITY && files.rlim_cur < wanted) {
    LogEvent("only %llu open files allowed, fewer than --max-connections %d on two ports "
             "needs; beyond them connections wait until others close",
             static_cast<unsigned long long>(files.rlim_cur), limits.maxConnections);
  }
}

// The signals serve takes: blocked in every thread (before any starts,
// the storage's own included) and waited for by the main thread alone, so
// none ends the process without its clean stop.
sigset_t ServeSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, signal);
  return signals;
}

const char* StopSignalName(int signal) {
  return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "SIGHUP";
}

// A stop that has not ended after this long (a commit on a stalled disk,
// a page query at the end of its budget) or a second stop signal ends the
// process at once. Nothing is lost by that: whatever was acknowledged is
// committed, and nothing uncommitted was acknowledged.
constexpr int kStopGraceSeconds = 5;

void LeaveIfTheStopHangs() {
  std::thread([] {
    sigset_t stops = ServeSignals();
    sigdelset(&stops, SIGUSR1);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kStopGraceSeconds);
    int signal = -1;
    // An interrupted wait (a debugger, a sanitizer's exit checks) waits on.
    for (auto left = deadline - std::chrono::steady_clock::now(); left.count() > 0;
         left = deadline - std::chrono::steady_clock::now()) {
      auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
      timespec wait{static_cast<time_t>(seconds.count()),
                    static_cast<long>(std::chrono::nanoseconds(left - seconds).count())};
      signal = sigtimedwait(&stops, nullptr, &wait);
      if (signal > 0 || errno != EINTR) break;
    }
    if (signal > 0) {
      LogEvent("a second stop signal: leaving now");
    } else {
      LogEvent("the stop takes longer than %d s: leaving now", kStopGraceSeconds);
    }
    std::_Exit(1);
  }).detach();
}

// The progress lines: written when the counts moved, or when asked.
class Progress {
 public:
  void Log(const UniversalCounters& counters, const ClassicCounters& classicCounters,
           bool asked) {
    int64_t frames = counters.frames.load();
    if (frames != reported_ || asked) {
      LogEvent("progress: %lld frames, %lld values, %lld configurations, %lld deletions, "
               "%lld refused", static_cast<long long>(frames),
               static_cast<long long>(counters.values.load()),
               static_cast<long long>(counters.configs.load()),
               static_cast<long long>(counters.deletions.load()),
               static_cast<long long>(counters.refused.load()));
      reported_ = frames;
    }
    int64_t requests = classicCounters.requests.load();
    if (requests != reportedClassic_ || asked) {
      LogEvent("progress: %lld classic requests, %lld values, %lld configurations, "
               "%lld refused, %lld busy", static_cast<long long>(requests),
               static_cast<long long>(classicCounters.values.load()),
               static_cast<long long>(classicCounters.configs.load()),
               static_cast<long long>(classicCounters.refused.load()),
               static_cast<long long>(classicCounters.busyAnswers.load()));
      reportedClassic_ = requests;
    }
  }

 private:
  int64_t reported_ = -1;
  int64_t reportedClassic_ = -1;
};

int Serve(Storage& storage, const Options& options) {
  signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit(options.limits);

  // The writer outlives the listeners: they wait for the answers it owes.
  ServiceMetrics metrics;
  // The pages read through the storage's reading side (started first, so
  // a bad --http stops the service before it takes any connection).
  http::HttpServer pages(metrics, storage, HISTFEED_VERSION, options.pages);
  if (!options.http.empty()) {
    std::string host;
    uint16_t port = 0;
    std::string error = http::SplitHostPort(options.http, &host, &port);
    if (error.empty()) error = pages.Start(host, port);
    if (!error.empty()) {
      LogEvent("%s", error.c_str());
      return 1;
    }
    std::string shown = host.find(':') == std::string::npos ? host : "[" + host + "]";
    LogEvent("http pages on http://%s:%u/ (at most %d connections)", shown.c_str(), pages.port(),
             pages.connectionLimit());
  }
  StorageWriter writer(storage, metrics);
  // Both ports are bound before either accepts: once one does, its
  // connections may take every descriptor left.
  UniversalListener universal(writer, metrics, options.faults, options.limits);
  ClassicListener classic(writer, metrics, options.classicFaults, options.limits);
  std::string error = universal.Listen(options.listen, options.universalPort);
  if (error.empty()) error = classic.Listen(options.listen, options.classicPort);
  if (!error.empty()) {
    LogEvent("%s", error.c_str());
    return 1;
  }
  universal.Serve();
  classic.Serve();
  LogEvent("universal listening on %s:%u, classic on %s:%u, storing into %s",
           options.listen.c_str(), universal.port(), options.listen.c_str(), classic.port(),
           storage.Where().c_str());

  sigset_t signals = ServeSignals();
  Progress progress;
  for (;;) {
    timespec tick{5, 0};
    int signal = sigtimedwait(&signals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM || signal == SIGHUP) {
      LogEvent("stopping (%s)", StopSignalName(signal));
      break;
    }
    FlushClientEvents();
    progress.Log(universal.counters(), classic.counters(), signal == SIGUSR1);
  }
  LeaveIfTheStopHangs();
  universal.Stop();
  classic.Stop();
  pages.Stop();
  writer.Stop();
  FlushClientEvents();
  LogEvent("stopped; %lld values stored in this run",
           static_cast<long long>(universal.counters().values.load() +
                                  classic.counters().values.load()));
  return 0;
}

}  // namespace
}  // namespace histfeed::service

int main(int argc, char** argv) {
  using namespace histfeed::service;
  Options options;
  std::string problem = ParseCommandLine(argc, argv, &options);
  if (!problem.empty()) {
    std::fprintf(stderr, "histfeed-service: %s\n%s", problem.c_str(), UsageText());
    return 2;
  }
  if (options.command == "help") {
    std::printf("histfeed-service: a reference historian service for histfeed\n%s",
                UsageText());
    return 0;
  }
  if (options.command == "version") {
    std::printf("histfeed-service %s\n", HISTFEED_VERSION);
    return 0;
  }
  SetEventLogQuiet(options.quiet);
  if (options.command == "serve") {
    sigset_t signals = ServeSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  }
  // dump only reads: it neither needs write access nor creates a database.
  options.storage.readOnly = options.command == "dump";
  std::string error;
  std::unique_ptr<Storage> storage = OpenStorage(options.database, options.storage, &error);
  if (storage == nullptr) {
    std::fprintf(stderr, "histfeed-service: %s\n", error.c_str());
    return 1;
  }
  if (options.command == "dump") {
    return options.values ? DumpValues(*storage) : Dump(*storage, options.csv);
  }
  try {
    return Serve(*storage, options);
  } catch (const std::exception& failure) {  // Asio reports a lack of resources so
    std::fprintf(stderr, "histfeed-service: %s\n", failure.what());
    return 1;
  }
}
