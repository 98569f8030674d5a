// SPDX-License-Identifier: Apache-2.0
#include "tools/cache/cache_tool.h"

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "tools/cache/commands.h"

#ifndef HISTFEED_VERSION
#error "HISTFEED_VERSION comes from tools/cache/CMakeLists.txt"
#endif

namespace histfeed::cache_tool {
namespace {

struct Arguments {
  std::string command;
  std::vector<std::string> operands;
  std::optional<std::string> prefix, extension, output, to;
  bool json = false, csv = false, ack = false;
  int64_t timeoutMs = 10000;
};

// Which options each command takes.
bool Accepts(const std::string& command, const std::string& flag) {
  if (command == "list") return flag == "--prefix" || flag == "--ext" || flag == "--json";
  if (command == "dump") return flag == "--csv" || flag == "--json";
  if (command == "salvage") return flag == "--out";
  if (command == "resend") return flag == "--to" || flag == "--ack" || flag == "--timeout";
  return false;
}

bool ParseSeconds(const char* text, int64_t* ms) {
  char* end = nullptr;
  double seconds = std::strtod(text, &end);
  if (end == text || *end != '\0' || !(seconds >= 0.001) || seconds > 3600) return false;
  *ms = static_cast<int64_t>(seconds * 1000);
  return true;
}

// An error text, empty when the flag was understood.
std::string ParseFlag(const std::string& flag, const std::function<const char*()>& value,
                      Arguments* arguments) {
  if (flag == "--json" || flag == "--csv" || flag == "--ack") {
    (flag == "--json" ? arguments->json : flag == "--csv" ? arguments->csv : arguments->ack) = true;
    return "";
  }
  const char* text = value();
  if (text == nullptr) return flag + " needs a value";
  if (flag == "--timeout") {
    return ParseSeconds(text, &arguments->timeoutMs) ? ""
                                                      : "--timeout needs seconds, 0.001 to 3600";
  }
  (flag == "--prefix" ? arguments->prefix
   : flag == "--ext"  ? arguments->extension
   : flag == "--out"  ? arguments->output
                      : arguments->to) = text;
  return "";
}

std::string Parse(int argc, const char* const* argv, Arguments* arguments) {
  if (argc < 2) return "a command is needed";
  arguments->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (!word.starts_with("--")) {
      arguments->operands.push_back(word);
      continue;
    }
    if (!Accepts(arguments->command, word)) {
      return word + " does not apply to " + arguments->command;
    }
    std::string error = ParseFlag(word, [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; },
                                  arguments);
    if (!error.empty()) return error;
  }
  return "";
}

// HOST:PORT; false when it is not one.
bool SplitHostPort(const std::string& text, std::string* host, uint16_t* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  char* end = nullptr;
  long number = std::strtol(text.c_str() + colon + 1, &end, 10);
  if (end == text.c_str() + colon + 1 || *end != '\0' || number < 1 || number > 65535) return false;
  *host = text.substr(0, colon);
  *port = static_cast<uint16_t>(number);
  return true;
}

std::string CheckOperands(const Arguments& a) {
  size_t n = a.operands.size();
  if (a.command == "list" && n != 1) return "list takes one directory";
  if (a.command == "verify" && n == 0) return "verify takes one or more files";
  if ((a.command == "dump" || a.command == "salvage" || a.command == "resend") && n != 1) {
    return a.command + " takes one file";
  }
  if (a.command == "dump" && a.csv && a.json) return "dump takes --csv or --json, not both";
  if (a.command == "salvage" && !a.output) return "salvage needs --out NEW";
  if (a.command == "resend" && !a.to) return "resend needs --to HOST:PORT";
  return "";
}

int Run(const Arguments& a, std::ostream& out, std::ostream& err) {
  Format format = a.json ? Format::kJson : a.csv ? Format::kCsv : Format::kText;
  if (a.command == "list") {
    return ListDirectory(ListRequest{a.operands[0], a.prefix, a.extension, format,
                                     platform::CalendarNow().seconds},
                         out, err);
  }
  if (a.command == "verify") return VerifyFiles(a.operands, out, err);
  if (a.command == "dump") return DumpFile(a.operands[0], format, out, err);
  if (a.command == "salvage") return SalvageFile(a.operands[0], *a.output, out, err);
  ResendRequest request{a.operands[0], "", 0, a.ack, a.timeoutMs};
  if (!SplitHostPort(*a.to, &request.host, &request.port)) {
    err << "histfeed-cache: --to needs HOST:PORT, not " << *a.to << "\n" << UsageText();
    return kExitBadInput;
  }
  return ResendFile(request, out, err);
}

}  // namespace

int RunCacheTool(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  for (int i = 1; i < argc; ++i) {
    std::string word = argv[i];
    if (word == "--help" || word == "-h" || (i == 1 && word == "help")) {
      out << "histfeed-cache: what a histfeed queue's disk cache holds\n" << UsageText();
      return kExitDone;
    }
    if (word == "--version") {
      out << "histfeed-cache " << HISTFEED_VERSION << "\n";
      return kExitDone;
    }
  }
  Arguments arguments;
  std::string problem = Parse(argc, argv, &arguments);
  static const char* const kCommands[] = {"list", "verify", "dump", "salvage", "resend"};
  if (problem.empty() && std::find(std::begin(kCommands), std::end(kCommands),
                                   arguments.command) == std::end(kCommands)) {
    problem = "unknown command " + arguments.command;
  }
  if (problem.empty()) problem = CheckOperands(arguments);
  if (!problem.empty()) {
    err << "histfeed-cache: " << problem << "\n" << UsageText();
    return kExitBadInput;
  }
  try {
    return Run(arguments, out, err);
  } catch (const std::exception& error) {
    // A file too large for memory, for one: said, never a crash.
    err << "histfeed-cache: " << arguments.command << " failed: " << error.what() << "\n";
    return kExitBadInput;
  }
}

const char* UsageText() {
  return "usage: histfeed-cache list DIR [--prefix P] [--ext E] [--json]\n"
         "       histfeed-cache verify FILE...\n"
         "       histfeed-cache dump FILE [--csv | --json]\n"
         "       histfeed-cache salvage FILE --out NEW\n"
         "       histfeed-cache resend FILE --to HOST:PORT [--ack] [--timeout SECONDS]\n"
         "       histfeed-cache --help | --version\n"
         "\n"
         "list shows the cache files of DIR in the order a queue delivers them, then\n"
         "set-aside and damaged files, each with its frames, records, values, first\n"
         "and last time stamp, size and checksums, and a total with the age of the\n"
         "oldest waiting value. verify checks each FILE whole (exit 0) or says what\n"
         "is damaged and where (exit 1). dump prints the records of FILE decoded by\n"
         "type. salvage writes what a queue would save of a damaged FILE as a new\n"
         "cache file NEW. resend sends the frames of FILE to a service in order,\n"
         "with --ack waiting for each acknowledgement (up to --timeout seconds,\n"
         "default 10), and takes each delivered frame out of FILE; it stops at the\n"
         "first refusal. Only list, verify and dump are safe on files a running\n"
         "library uses; resend a cache file only when no source uses that cache.\n"
         "Exit status: 0 done, 1 damaged, refused or failed, 2 bad input.\n";
}

}  // namespace histfeed::cache_tool
