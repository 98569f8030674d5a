// histfeed-service: a reference historian service for trying and testing
// histfeed. It stores what sources deliver in one SQLite database.
//
//   histfeed-service serve --db FILE [--listen ADDRESS] [--universal-port N]
//                          [--nak-every N] [--ack-delay-ms N] [--close-after N]
//                          [--silent] [--classic-port N] [--busy] [--busy-count N]
//                          [--load N,M] [--refuse-every N] [--service-kind N] [--quiet]
//                          [--http [ADDRESS:]PORT]
//   histfeed-service dump --db FILE [--csv]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "service/classic_listener.h"
#include "service/event_log.h"
#include "service/http/http_server.h"
#include "service/service_metrics.h"
#include "service/storage.h"
#include "service/storage_reader.h"
#include "service/universal_listener.h"

namespace histfeed::service {
namespace {

constexpr uint16_t kDefaultUniversalPort = 5450;
constexpr uint16_t kDefaultClassicPort = 5451;

struct Options {
  std::string command = "serve";
  std::string database;
  std::string listen = "127.0.0.1";
  uint16_t universalPort = kDefaultUniversalPort;
  UniversalFaults faults;
  uint16_t classicPort = kDefaultClassicPort;
  ClassicFaults classicFaults;
  bool csv = false;
  bool quiet = false;
  std::string httpHost;  // empty: no HTTP side
  uint16_t httpPort = 0;
};

int Usage(const char* problem) {
  std::fprintf(stderr,
               "histfeed-service: %s\n"
               "usage: histfeed-service serve --db FILE [--listen ADDRESS] [--universal-port N]\n"
               "                              [--nak-every N] [--ack-delay-ms N]\n"
               "                              [--close-after N] [--silent]\n"
               "                              [--classic-port N] [--busy] [--busy-count N]\n"
               "                              [--load N,M] [--refuse-every N]\n"
               "                              [--service-kind N] [--quiet]\n"
               "                              [--http [ADDRESS:]PORT]\n"
               "       histfeed-service dump --db FILE [--csv]\n",
               problem);
  return 2;
}

bool ParseNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// "n,m" or "n/m", two decimal numbers: a load a classic client reads.
bool IsLoadText(const char* text) {
  const char* at = text;
  auto digits = [&at] {
    const char* start = at;
    while (*at >= '0' && *at <= '9') ++at;
    return at > start;
  };
  if (!digits() || (*at != ',' && *at != '/')) return false;
  ++at;
  return digits() && *at == '\0';
}

// Returns an error text, empty when the arguments were understood.
std::string Parse(int argc, char** argv, Options* options) {
  int i = 1;
  if (i < argc && argv[i][0] != '-') options->command = argv[i++];
  for (; i < argc; ++i) {
    std::string flag = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    long number = 0;
    if (flag == "--csv") {
      options->csv = true;
    } else if (flag == "--silent") {
      options->faults.silent = true;
    } else if (flag == "--busy") {
      options->classicFaults.busy = true;
    } else if (flag == "--load") {
      const char* text = value();
      if (text == nullptr || !IsLoadText(text)) return "--load needs two numbers, as in 120,400";
      options->classicFaults.load = text;
    } else if (flag == "--quiet") {
      options->quiet = true;
    } else if (flag == "--http") {
      const char* text = value();
      if (text == nullptr) return "--http needs [ADDRESS:]PORT";
      std::string error = http::SplitHostPort(text, &options->httpHost, &options->httpPort);
      if (!error.empty()) return error;
    } else if (flag == "--db" || flag == "--listen") {
      const char* text = value();
      if (text == nullptr) return flag + " needs a value";
      (flag == "--db" ? options->database : options->listen) = text;
    } else if (flag == "--universal-port" || flag == "--nak-every" ||
               flag == "--ack-delay-ms" || flag == "--close-after" ||
               flag == "--classic-port" || flag == "--busy-count" ||
               flag == "--refuse-every" || flag == "--service-kind") {
      const char* text = value();
      long high = flag.ends_with("-port") ? 65535 : 1000000000;
      if (text == nullptr || !ParseNumber(text, 0, high, &number)) {
        return flag + " needs a number from 0 to " + std::to_string(high);
      }
      if (flag == "--universal-port") options->universalPort = static_cast<uint16_t>(number);
      if (flag == "--nak-every") options->faults.nakEvery = static_cast<int>(number);
      if (flag == "--ack-delay-ms") options->faults.ackDelayMs = static_cast<int>(number);
      if (flag == "--close-after") options->faults.closeAfter = static_cast<int>(number);
      if (flag == "--classic-port") options->classicPort = static_cast<uint16_t>(number);
      if (flag == "--busy-count") options->classicFaults.busyCount = static_cast<int>(number);
      if (flag == "--refuse-every") options->classicFaults.refuseEvery = static_cast<int>(number);
      if (flag == "--service-kind") options->classicFaults.serviceKind = static_cast<int32_t>(number);
    } else {
      return "unknown argument " + flag;
    }
  }
  if (options->command != "serve" && options->command != "dump") {
    return "unknown command " + options->command;
  }
  if (options->database.empty()) return "--db is required";
  return "";
}

std::string TimeText(int64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  gmtime_r(&time, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &utc);
  return text;
}

int Dump(Storage& storage, bool csv) {
  auto summaries = storage.Summarize();
  if (csv) {
    std::printf("family,id_kind,point,count,first_time,last_time,first_value,last_value\n");
  } else {
    std::printf("%-10s %-9s %-32s %8s  %-19s  %-19s  %s -> %s\n", "family", "id kind", "point",
                "values", "first (UTC)", "last (UTC)", "first", "last");
  }
  for (const PointSummary& s : summaries) {
    if (csv) {
      std::printf("%s,%s,\"%s\",%lld,%lld,%lld,\"%s\",\"%s\"\n", s.family.c_str(),
                  s.idKind.c_str(), s.point.c_str(), static_cast<long long>(s.count),
                  static_cast<long long>(s.firstTime), static_cast<long long>(s.lastTime),
                  s.firstValue.c_str(), s.lastValue.c_str());
    } else {
      std::printf("%-10s %-9s %-32s %8lld  %-19s  %-19s  %s -> %s\n", s.family.c_str(),
                  s.idKind.c_str(), s.point.c_str(), static_cast<long long>(s.count),
                  TimeText(s.firstTime).c_str(), TimeText(s.lastTime).c_str(),
                  s.firstValue.c_str(), s.lastValue.c_str());
    }
  }
  if (!csv) {
    std::printf("%zu points, %lld values, %lld configurations\n", summaries.size(),
                static_cast<long long>(storage.CountValues()),
                static_cast<long long>(storage.CountConfigs()));
  }
  return 0;
}

int Serve(Storage& storage, const Options& options) {
  // Signals are taken by this thread alone, so a stop is always clean.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  ServiceMetrics metrics;
  storage.SetMetrics(&metrics);
  // The pages read through a connection of their own (opened first, so a
  // bad --http stops the service before it takes any connection).
  StorageReader reader;
  http::HttpServer pages(metrics, reader, HISTFEED_VERSION);
  if (!options.httpHost.empty()) {
    std::string error = reader.Open(options.database);
    if (error.empty()) error = pages.Start(options.httpHost, options.httpPort);
    if (!error.empty()) {
      LogEvent("%s", error.c_str());
      return 1;
    }
    LogEvent("http pages on http://%s:%u/", options.httpHost.c_str(), pages.port());
  }
  UniversalListener universal(storage, options.faults, &metrics);
  std::string error = universal.Start(options.listen, options.universalPort);
  if (!error.empty()) {
    LogEvent("%s", error.c_str());
    return 1;
  }
  ClassicListener classic(storage, options.classicFaults, &metrics);
  error = classic.Start(options.listen, options.classicPort);
  if (!error.empty()) {
    LogEvent("%s", error.c_str());
    universal.Stop();
    return 1;
  }
  LogEvent("universal listening on %s:%u, classic on %s:%u, storing into %s",
           options.listen.c_str(), universal.port(), options.listen.c_str(), classic.port(),
           options.database.c_str());

  int64_t reported = -1;
  int64_t reportedClassic = -1;
  for (;;) {
    timespec tick{5, 0};
    int signal = sigtimedwait(&stopSignals, nullptr, &tick);
    if (signal == SIGINT || signal == SIGTERM) break;
    const UniversalCounters& counters = universal.counters();
    int64_t frames = counters.frames.load();
    if (frames != reported) {
      LogEvent("progress: %lld frames, %lld values, %lld configurations, %lld deletions, "
               "%lld refused", static_cast<long long>(frames),
               static_cast<long long>(counters.values.load()),
               static_cast<long long>(counters.configs.load()),
               static_cast<long long>(counters.deletions.load()),
               static_cast<long long>(counters.refused.load()));
      reported = frames;
    }
    const ClassicCounters& classicCounters = classic.counters();
    int64_t requests = classicCounters.requests.load();
    if (requests != reportedClassic) {
      LogEvent("progress: %lld classic requests, %lld values, %lld configurations, "
               "%lld refused, %lld busy", static_cast<long long>(requests),
               static_cast<long long>(classicCounters.values.load()),
               static_cast<long long>(classicCounters.configs.load()),
               static_cast<long long>(classicCounters.refused.load()),
               static_cast<long long>(classicCounters.busyAnswers.load()));
      reportedClassic = requests;
    }
  }
  LogEvent("stopping");
  universal.Stop();
  classic.Stop();
  pages.Stop();
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
  std::string problem = Parse(argc, argv, &options);
  if (!problem.empty()) return Usage(problem.c_str());
  SetEventLogQuiet(options.quiet);
  Storage storage;
  // dump only reads: it neither needs write access nor creates a database.
  std::string error = options.command == "dump" ? storage.OpenReadOnly(options.database)
                                                : storage.Open(options.database);
  if (!error.empty()) {
    std::fprintf(stderr, "histfeed-service: %s\n", error.c_str());
    return 1;
  }
  return options.command == "dump" ? Dump(storage, options.csv) : Serve(storage, options);
}
