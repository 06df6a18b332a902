// The server's command line, shared by talvex-server and TalvexServer.exe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "http/service.h"

namespace talvex {

struct ServerOptions {
  bool headless = false;
  bool diagnose = false;  // --diagnose: print the one-shot report and exit
  bool json = false;      // --json (with --diagnose): the report as one JSON object
  ServiceConfig service;
};

enum class OptionsVerdict {
  kRun,         // start the server with the options
  kHelp,        // --help / -h: print the usage on stdout, exit 0
  kVersion,     // --version: print the version on stdout, exit 0
  kUsageError,  // a wrong argument: the error and the usage on stderr, exit 2
};

struct ParsedOptions {
  OptionsVerdict verdict = OptionsVerdict::kRun;
  ServerOptions options;
  std::string error;  // for kUsageError: one line, without the program name
};

ParsedOptions ParseServerOptions(int argc, const char* const* argv);

// For every verdict but kRun: prints what it asks for and returns the exit
// code (0 or 2). Returns -1 for kRun.
int ReportOptionsVerdict(const ParsedOptions& parsed);

void PrintUsage(std::FILE* out);

}  // namespace talvex
