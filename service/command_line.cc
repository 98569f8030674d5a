// SPDX-License-Identifier: Apache-2.0
#include "service/command_line.h"

#include <algorithm>
#include <cctype>
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

// The names of --http-host: host names as a browser sends them, any case.
std::string ReadHostNames(const char* text, std::vector<std::string>* names) {
  std::string list = text;
  for (size_t start = 0; start <= list.size();) {
    size_t comma = std::min(list.find(',', start), list.size());
    std::string name = list.substr(start, comma - start);
    if (name.empty() || name.find_first_of(" /:[]@") != std::string::npos) {
      return "--http-host needs host names separated by commas, as in historian,historian.plant";
    }
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names->push_back(name);
    start = comma + 1;
  }
  return "";
}

// Who may connect, and how many at once: to the data ports and the pages.
// Returns whether `flag` is one of these, with *error set when its value
// cannot be read.
bool ParseAccessFlag(const std::string& flag, const std::function<const char*()>& value,
                     Options* options, std::string* error) {
  if (flag != "--allow" && flag != "--http-allow" && flag != "--http-host" &&
      flag != "--http-timeout" && flag != "--max-connections-per-address" &&
      flag != "--http-max-connections") {
    return false;
  }
  const char* text = value();
  long number = 0;
  if (text == nullptr || *text == '\0') {
    *error = flag + " needs a value";
  } else if (flag == "--allow" || flag == "--http-allow") {
    AddressFilter& filter = flag == "--allow" ? options->limits.allowed : options->pages.allowed;
    std::string problem = AddressFilter::Parse(text, &filter);
    if (!problem.empty()) *error = flag + ": " + problem;
  } else if (flag == "--http-host") {
    *error = ReadHostNames(text, &options->pages.hostNames);
  } else if (flag == "--http-timeout") {
    if (!ParseSeconds(text, &options->pages.requestTimeout)) {
      *error = flag + " needs a number of seconds, at least 0.001";
    }
  } else if (!ParseNumber(text, 1, 1000000000, &number)) {
    *error = flag + " needs a number from 1 to 1000000000";
  } else if (flag == "--max-connections-per-address") {
    options->limits.maxPerAddress = static_cast<int>(number);
  } else {
    options->pages.maxConnections = static_cast<int>(number);
  }
  return true;
}

// What dump understands besides --db; everything else belongs to serve.
const std::set<std::string> kDumpFlags = {"--db", "--csv", "--quiet", "--values"};

// `value` takes the flag's value, nullptr when there is none.
std::string ParseFlag(const std::string& flag, const std::function<const char*()>& value,
                      Options* options) {
  long number = 0;
  std::string error;
  if (ParseAccessFlag(flag, value, options, &error)) return error;
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
  return "usage: histfeed-service serve --db FILE|CONNECTION [--listen HOST] [--universal-port N]\n"
         "                              [--classic-port N] [--max-connections N]\n"
         "                              [--max-connections-per-address N]\n"
         "                              [--allow CIDR[,CIDR...]]\n"
         "                              [--frame-timeout SECONDS] [--idle-timeout SECONDS]\n"
         "                              [--http [ADDRESS:]PORT] [--http-allow CIDR[,CIDR...]]\n"
         "                              [--http-host NAME[,NAME...]]\n"
         "                              [--http-max-connections N] [--http-timeout SECONDS]\n"
         "                              [--sync normal|full] [--retain SPAN] [--quiet]\n"
         "         faults to show:      [--nak-every N] [--ack-delay-ms N] [--close-after N]\n"
         "                              [--silent] [--busy] [--busy-count N] [--load N,M]\n"
         "                              [--refuse-every N] [--service-kind N]\n"
         "       histfeed-service dump --db FILE|CONNECTION [--csv | --values]\n"
         "       histfeed-service --help | --version\n"
         "\n"
         "serve stores what sources deliver into FILE (created when missing), or into\n"
         "the PostgreSQL database a libpq CONNECTION string names (postgresql://...\n"
         "or \"host=... dbname=...\"; several services may share one), on\n"
         "HOST (a name or an IPv4 or IPv6 address, default 127.0.0.1), universal port\n"
         "5450 and classic port 5451 unless told otherwise. Each port holds at most\n"
         "--max-connections connections (default 4096), at most\n"
         "--max-connections-per-address of them from one address (default 1024), and\n"
         "only from the networks --allow lists (default: any); a frame must arrive\n"
         "whole within --frame-timeout seconds of its first byte (default 30), and a\n"
         "connection with no frame for --idle-timeout seconds is closed (default 900).\n"
         "The protocols carry no credentials: whoever reaches a port can store, change\n"
         "and delete. Listen on loopback, or restrict with --allow and a firewall.\n"
         "--http shows the service's pages, /metrics and JSON on PORT (on ADDRESS,\n"
         "default 127.0.0.1); off unless asked for. They take connections from the\n"
         "networks --http-allow lists (default: any), at most --http-max-connections\n"
         "at once (default 64), answer requests whose Host is an IP address, localhost\n"
         "or a name --http-host gives, and wait --http-timeout seconds for a request\n"
         "(default 10).\n"
         "--sync full makes each acknowledged value survive a power loss, not only a\n"
         "crash of the service (normal). --retain SPAN (90d, 12h, 30m; s m h d w y)\n"
         "removes values older than that in the background; off unless asked for.\n"
         "SIGTERM, SIGINT and SIGHUP stop serve cleanly; SIGUSR1 logs its counts.\n"
         "dump prints each point's count, first and last time and value, or with\n"
         "--values every value as CSV, reading an existing FILE without changing it;\n"
         "bytes that are not printable are shown as \\xHH.\n";
}

}  // namespace histfeed::service
