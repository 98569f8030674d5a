// SPDX-License-Identifier: Apache-2.0
#include "service/command_line.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

namespace histfeed::service {
namespace {

bool ParseNumber(const char* text, long low, long high, long* out) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  *out = value;
  return true;
}

// Seconds, fractions allowed, as a positive number of milliseconds.
bool ParseSeconds(const char* text, std::chrono::milliseconds* out) {
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds >= 0.001) || seconds > 30 * 24 * 3600.0) {
    return false;
  }
  *out = std::chrono::milliseconds(std::llround(seconds * 1000));
  return true;
}

// A span such as "90d", "12h", "30m" or "3600s" (w for weeks, y for years
// of 365 days).
bool ParseDuration(const char* text, std::chrono::milliseconds* out) {
  char* end = nullptr;
  double amount = std::strtod(text, &end);
  if (end == text || !(amount > 0)) return false;
  static const std::map<std::string, double> kSeconds = {
      {"s", 1}, {"m", 60}, {"h", 3600}, {"d", 86400}, {"w", 7 * 86400}, {"y", 365 * 86400}};
  auto unit = kSeconds.find(end);
  if (unit == kSeconds.end()) return false;
  double seconds = amount * unit->second;
  if (seconds < 1 || seconds > 1000.0 * 365 * 86400) return false;
  *out = std::chrono::milliseconds(std::llround(seconds * 1000));
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

// What dump understands besides --db; everything else belongs to serve.
const std::set<std::string> kDumpFlags = {"--db", "--csv", "--quiet", "--values"};

// `value` takes the flag's value, nullptr when there is none.
std::string ParseFlag(const std::string& flag, const std::function<const char*()>& value,
                      Options* options) {
  long number = 0;
  if (flag == "--csv") {
    options->csv = true;
  } else if (flag == "--values") {
    options->values = true;
  } else if (flag == "--sync") {
    const char* text = value();
    std::string mode = text == nullptr ? "" : text;
    if (mode != "normal" && mode != "full") return "--sync needs normal or full";
    options->storage.sync = mode == "full" ? SyncMode::kFull : SyncMode::kNormal;
  } else if (flag == "--retain") {
    const char* text = value();
    if (text == nullptr || !ParseDuration(text, &options->storage.retain)) {
      return "--retain needs a span such as 90d, 12h or 30m (s, m, h, d, w, y), at least 1s";
    }
  } else if (flag == "--silent") {
    options->faults.silent = true;
  } else if (flag == "--busy") {
    options->classicFaults.busy = true;
  } else if (flag == "--quiet") {
    options->quiet = true;
  } else if (flag == "--load") {
    const char* text = value();
    if (text == nullptr || !IsLoadText(text)) return "--load needs two numbers, as in 120,400";
    options->classicFaults.load = text;
  } else if (flag == "--db" || flag == "--listen" || flag == "--http") {
    const char* text = value();
    if (text == nullptr || *text == '\0') return flag + " needs a value";
    (flag == "--db" ? options->database : flag == "--listen" ? options->listen : options->http) =
        text;
  } else if (flag == "--frame-timeout" || flag == "--idle-timeout") {
    const char* text = value();
    auto& limit = flag == "--frame-timeout" ? options->limits.frameTimeout
                                            : options->limits.idleTimeout;
    if (text == nullptr || !ParseSeconds(text, &limit)) {
      return flag + " needs a number of seconds, at least 0.001";
    }
  } else if (flag == "--universal-port" || flag == "--nak-every" || flag == "--ack-delay-ms" ||
             flag == "--close-after" || flag == "--classic-port" || flag == "--busy-count" ||
             flag == "--refuse-every" || flag == "--service-kind" ||
             flag == "--max-connections") {
    const char* text = value();
    long low = flag == "--max-connections" ? 1 : 0;
    long high = flag.ends_with("-port") ? 65535 : 1000000000;
    if (text == nullptr || !ParseNumber(text, low, high, &number)) {
      return flag + " needs a number from " + std::to_string(low) + " to " +
             std::to_string(high);
    }
    int whole = static_cast<int>(number);
    if (flag == "--universal-port") options->universalPort = static_cast<uint16_t>(number);
    if (flag == "--nak-every") options->faults.nakEvery = whole;
    if (flag == "--ack-delay-ms") options->faults.ackDelayMs = whole;
    if (flag == "--close-after") options->faults.closeAfter = whole;
    if (flag == "--classic-port") options->classicPort = static_cast<uint16_t>(number);
    if (flag == "--busy-count") options->classicFaults.busyCount = whole;
    if (flag == "--refuse-every") options->classicFaults.refuseEvery = whole;
    if (flag == "--service-kind") options->classicFaults.serviceKind = whole;
    if (flag == "--max-connections") options->limits.maxConnections = whole;
  } else {
    return "unknown argument " + flag;
  }
  return "";
}

}  // namespace

std::string ParseCommandLine(int argc, const char* const* argv, Options* options) {
  int i = 1;
  if (i < argc && argv[i][0] != '-') options->command = argv[i++];
  auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
  for (; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      options->command = "help";
      return "";
    }
    if (flag == "--version") {
      options->command = "version";
      return "";
    }
    if (options->command == "dump" && kDumpFlags.count(flag) == 0) {
      return flag + " does not apply to dump";
    }
    std::string error = ParseFlag(flag, value, options);
    if (!error.empty()) return error;
  }
  if (options->command == "help" || options->command == "version") return "";
  if (options->command != "serve" && options->command != "dump") {
    return "unknown command " + options->command;
  }
  if (options->command == "serve" && (options->csv || options->values)) {
    return "--csv and --values apply to dump only";
  }
  if (options->database.empty()) return "--db is required";
  return "";
}

const char* UsageText() {
  return "usage: histfeed-service serve --db FILE [--listen HOST] [--universal-port N]\n"
         "                              [--classic-port N] [--max-connections N]\n"
         "                              [--frame-timeout SECONDS] [--idle-timeout SECONDS]\n"
         "                              [--http [ADDRESS:]PORT] [--quiet]\n"
         "                              [--sync normal|full] [--retain SPAN]\n"
         "         faults to show:      [--nak-every N] [--ack-delay-ms N] [--close-after N]\n"
         "                              [--silent] [--busy] [--busy-count N] [--load N,M]\n"
         "                              [--refuse-every N] [--service-kind N]\n"
         "       histfeed-service dump --db FILE [--csv | --values]\n"
         "       histfeed-service --help | --version\n"
         "\n"
         "serve stores what sources deliver into FILE (created when missing), on\n"
         "HOST (a name or address, default 127.0.0.1), universal port 5450 and classic\n"
         "port 5451 unless told otherwise. Each port holds at most --max-connections\n"
         "connections (default 4096); a frame must arrive whole within --frame-timeout\n"
         "seconds of its first byte (default 30), and a connection with no frame for\n"
         "--idle-timeout seconds is closed (default 900).\n"
         "--http shows the service's pages, /metrics and JSON on PORT (on ADDRESS,\n"
         "default 127.0.0.1); off unless asked for.\n"
         "--sync full makes each acknowledged value survive a power loss, not only a\n"
         "crash of the service (normal). --retain SPAN (90d, 12h, 30m; s m h d w y)\n"
         "removes values older than that in the background; off unless asked for.\n"
         "dump prints each point's count, first and last time and value, or with\n"
         "--values every value as CSV, reading an existing FILE without changing it.\n";
}

}  // namespace histfeed::service
