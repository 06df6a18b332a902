#include "app/options.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

namespace talvex {

namespace {

constexpr const char* kVersion = "1.0.0";

// A decimal port number 1..65535 with nothing around it.
bool ParsePort(std::string_view text, std::uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return false;
  *port = static_cast<std::uint16_t>(value);
  return true;
}

ParsedOptions UsageError(std::string message) {
  ParsedOptions parsed;
  parsed.verdict = OptionsVerdict::kUsageError;
  parsed.error = std::move(message);
  return parsed;
}

}  // namespace

ParsedOptions ParseServerOptions(int argc, const char* const* argv) {
  ParsedOptions parsed;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    // "--port N" and "--port=N" alike.
    std::string_view value;
    bool hasValue = false;
    std::string_view name = arg;
    if (const std::size_t eq = arg.find('=');
        arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasValue = true;
    }
    if (name == "--help" || name == "-h") {
      parsed.verdict = OptionsVerdict::kHelp;
      return parsed;
    }
    if (name == "--version") {
      parsed.verdict = OptionsVerdict::kVersion;
      return parsed;
    }
    if (name == "--headless" && !hasValue) {
      parsed.options.headless = true;
      continue;
    }
    if ((name == "--diagnose" || name == "--json") && !hasValue) {
      (name == "--json" ? parsed.options.json : parsed.options.diagnose) = true;
      continue;
    }
    if (name == "--port") {
      if (!hasValue) {
        if (i + 1 >= argc) return UsageError("--port needs a port number (1-65535)");
        value = argv[++i];
      }
      if (!ParsePort(value, &parsed.options.service.port)) {
        return UsageError("--port takes a number from 1 to 65535, not '" + std::string(value) +
                          "'");
      }
      continue;
    }
    return UsageError("unknown argument '" + std::string(arg) + "'");
  }
  if (parsed.options.json && !parsed.options.diagnose)
    return UsageError("--json goes with --diagnose");
  return parsed;
}

int ReportOptionsVerdict(const ParsedOptions& parsed) {
  switch (parsed.verdict) {
    case OptionsVerdict::kRun:
      return -1;
    case OptionsVerdict::kHelp:
      PrintUsage(stdout);
      return 0;
    case OptionsVerdict::kVersion:
      std::printf("talvex-server %s\n", kVersion);
      return 0;
    case OptionsVerdict::kUsageError:
      std::fprintf(stderr, "talvex-server: %s\n", parsed.error.c_str());
      PrintUsage(stderr);
      return 2;
  }
  return 2;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: talvex-server [--headless] [--port N] | --diagnose [--json] [--port N]\n"
               "       | --help | --version\n"
               "\n"
               "Answers GET http://127.0.0.1:%u/readCard with the identity card on the\n"
               "attached reader (fields separated by '|', then the photo as Base64 JPEG).\n"
               "On a desktop it runs under a tray icon; without a display it runs as a\n"
               "service.\n"
               "\n"
               "  --headless  run the service without the desktop window and tray icon,\n"
               "              until SIGINT (Ctrl-C) or SIGTERM\n"
               "  --port N    listen on TCP port N (1-65535) instead of %u\n"
               "  --diagnose  report what the server would find (readers, photo decoder,\n"
               "              port, temporary folder) and why, without starting it\n"
               "  --json      with --diagnose: the report as one JSON object on stdout\n"
               "  --help      show this text\n"
               "  --version   show the version\n"
               "\n"
               "Exit codes: 0 after a clean stop (and for --help, --version), 1 when the\n"
               "service could not listen or ended by itself, 2 for a wrong argument.\n"
               "--diagnose exits 0 when a reader answered and everything else is usable,\n"
               "otherwise with the first problem's code: 3 no reader found, 4 a reader's\n"
               "device is not accessible (permission denied), 5 the photo decoder library\n"
               "is missing or lacks GetBmp, 6 the service port is held by another program,\n"
               "7 the temporary folder is unusable, 8 a reader is held by another program.\n",
               static_cast<unsigned>(kServicePort), static_cast<unsigned>(kServicePort));
}

}  // namespace talvex
