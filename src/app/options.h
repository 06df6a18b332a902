// The server's command line, shared by talvex-server and TalvexServer.exe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "app/browser_policy.h"
#include "http/service.h"

namespace talvex {

struct ServerOptions {
  bool headless = false;
  bool diagnose = false;  // --diagnose: print the one-shot report and exit
  bool json = false;      // --json (with --diagnose): the report as one JSON object
  bool verbose = false;   // --verbose: frame and discovery lines in the log as well
  // --browser-policy [install|remove]: the browser policies, then exit
  BrowserPolicyAction browserPolicy = BrowserPolicyAction::kNone;
  ServiceConfig service;
  std::vector<std::string> listenTexts;  // the --listen addresses as written
};

enum class OptionsVerdict {
  kRun,          // start the server with the options
  kHelp,         // --help / -h: print the usage on stdout, exit 0
  kVersion,      // --version: print the version on stdout, exit 0
  kUsageError,   // a wrong argument: the error and the usage on stderr, exit 2
  kConfigError,  // a wrong settings file or registry value: the error on stderr, exit 2
};

struct ParsedOptions {
  OptionsVerdict verdict = OptionsVerdict::kRun;
  ServerOptions options;
  std::string error;  // for kUsageError: one line, without the program name
  // Which settings the command line gave (they win over the site's).
  bool portGiven = false, listenGiven = false, originGiven = false, hostGiven = false,
       pollGiven = false;
};

// The command line alone.
ParsedOptions ParseServerArguments(int argc, const char* const* argv);
// The command line, then the site's settings for what it left out: the file
// named by TALVEX_CONFIG, else /etc/talvex/talvex.conf on Linux; on Windows
// talvex.conf beside the program, else HKLM\Software\Talvex.
ParsedOptions ParseServerOptions(int argc, const char* const* argv);

// Settings text ("name = value" lines; # comments; names port, listen,
// allow-origin, allow-host, poll-ms; a leading UTF-8 byte order mark is
// skipped) applied to what the command line left out. A wrong line makes the
// verdict kConfigError, naming `source` and the line.
void ApplySettingsText(std::string_view text, const std::string& source, ParsedOptions& parsed);

// One line on stderr when the service will listen beyond loopback.
void WarnIfReachableFromNetwork(const ServerOptions& options);

// For every verdict but kRun: prints what it asks for and returns the exit
// code (0 or 2). Returns -1 for kRun.
int ReportOptionsVerdict(const ParsedOptions& parsed);

void PrintUsage(std::FILE* out);

}  // namespace talvex
