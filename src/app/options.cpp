#include "app/options.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "http/loop.h"
#include "platform/net.h"
#include "platform/settings.h"
#include "platform/utf.h"

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

// Messages quote what the user or the file gave: their control bytes are
// shown escaped, never sent to the terminal.
ParsedOptions UsageError(const std::string& message) {
  ParsedOptions parsed;
  parsed.verdict = OptionsVerdict::kUsageError;
  parsed.error = EscapeForTerminal(message);
  return parsed;
}

// ::ffff:a.b.c.d stands for an IPv4 address, which an IPv6 listener does not
// take: the listen must name the IPv4 form.
bool IsMappedIpv4(const platform::IpAddress& address, std::string* why) {
  for (int i = 0; i < 10; ++i) {
    if (address.bytes[i] != 0) return false;
  }
  if (address.bytes[10] != 0xFF || address.bytes[11] != 0xFF) return false;
  platform::IpAddress v4;
  v4.v6 = false;
  for (int i = 0; i < 4; ++i) v4.bytes[i] = address.bytes[12 + i];
  *why = "is an IPv4 address written as IPv6: use its IPv4 form, " + platform::FormatIpAddress(v4);
  return true;
}

// An IPv4 address, or an IPv6 address in brackets ("[::1]"). The port is
// always --port's.
bool ParseListenText(std::string_view text, platform::IpAddress* address, std::string* why) {
  if (text.starts_with("[")) {
    if (!text.ends_with("]") || text.size() < 3 ||
        !platform::ParseIpAddress(text.substr(1, text.size() - 2), address) || !address->v6) {
      *why = "is not an IPv6 address in brackets, like [::1]";
      return false;
    }
    return !IsMappedIpv4(*address, why);
  }
  if (text.find(':') != std::string_view::npos) {
    *why = "holds a colon: an IPv6 address goes in brackets ([::1]) and the port is --port's";
    return false;
  }
  if (!platform::ParseIpAddress(text, address)) {
    *why = "is not an IPv4 address like 0.0.0.0 or 192.168.1.20 (host names are not taken)";
    return false;
  }
  return true;
}

bool IsHostChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '[' || c == ']' || c == ':';
}

constexpr const char* kOriginForm =
    "an origin is written as browsers send it, scheme://host[:port] with the scheme and "
    "host in lower case, no default port (80 for http, 443 for https) and no path, like "
    "https://clinic.example or http://10.0.0.5:8080";

// scheme://host[:port] exactly as a browser sends it in Origin: http or
// https in lower case, a lower-case host, no default port, no path, no
// trailing slash.
bool ValidOrigin(std::string_view text, std::string* why) {
  std::size_t rest = 0;
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') {
      *why = "is not what a browser sends: " + std::string(kOriginForm);
      return false;
    }
  }
  if (text.starts_with("http://")) {
    rest = 7;
  } else if (text.starts_with("https://")) {
    rest = 8;
  } else {
    *why = "does not start with http:// or https://";
    return false;
  }
  const std::string_view host = text.substr(rest);
  if (host.empty()) {
    *why = "has no host";
    return false;
  }
  for (char c : host) {
    if (!IsHostChar(c)) {
      *why = c == '/' ? "has a path or a trailing slash: " + std::string(kOriginForm)
                      : "holds a character no origin has";
      return false;
    }
  }
  // A port, when there is one, is a number after the last colon (outside
  // an IPv6 host's brackets).
  const std::size_t close = host.rfind(']');
  const std::size_t colon = host.rfind(':');
  if (colon != std::string_view::npos && (close == std::string_view::npos || colon > close)) {
    std::uint16_t port = 0;
    if (!ParsePort(host.substr(colon + 1), &port)) {
      *why = "has a port that is not a number from 1 to 65535";
      return false;
    }
    if (port != (rest == 7 ? 80 : 443) && host.substr(colon + 1).front() != '0') return true;
    *why = "is not what a browser sends: " + std::string(kOriginForm);
    return false;
  }
  return true;
}

// One value of a setting that may repeat; false with *why when it is wrong.
bool AddListen(ServerOptions& options, std::string_view text, std::string* why) {
  platform::IpAddress address;
  if (!ParseListenText(text, &address, why)) return false;
  if (options.service.listen.size() >= static_cast<std::size_t>(kMaxListeners)) {
    *why = "is one address too many (at most " + std::to_string(kMaxListeners) + ")";
    return false;
  }
  options.service.listen.push_back(address);
  options.listenTexts.emplace_back(text);
  return true;
}

bool AddOrigin(ServerOptions& options, std::string_view text, std::string* why) {
  if (!ValidOrigin(text, why)) return false;
  options.service.allowOrigins.emplace_back(text);
  return true;
}

// A name a request's Host may give (--allow-host): a host name of letters,
// digits, '-' and '.', or an IP address ([...] around an IPv6 one), without
// a port. Kept in lower case.
bool AddAllowHost(ServerOptions& options, std::string_view text, std::string* why) {
  platform::IpAddress address;
  const bool bracketed = text.size() > 2 && text.front() == '[' && text.back() == ']';
  if (bracketed && !platform::ParseIpAddress(text.substr(1, text.size() - 2), &address)) {
    *why = "is not an IPv6 address in brackets, like [fe80::1]";
    return false;
  }
  if (!bracketed) {
    const bool nameChars = !text.empty() && text.front() != '.' && text.front() != '-' &&
                           text.find_first_not_of(
                               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRS"
                               "TUVWXYZ0123456789-.") == std::string_view::npos;
    if (!nameChars) {
      *why = text.find(':') != std::string_view::npos
                 ? "holds a colon: give the name alone (the service's port is always allowed)"
                 : "is not a host name like kiosk.clinic.example or an address";
      return false;
    }
  }
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  options.service.allowHosts.push_back(std::move(lower));
  return true;
}

// A probe interval in milliseconds, kMinPollMs to kMaxPollMs.
bool ParsePollMs(std::string_view text, int* out) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < kMinPollMs || value > kMaxPollMs) return false;
  *out = value;
  return true;
}

std::string PollMsError(std::string_view name, std::string_view value) {
  return std::string(name) + " takes a number of milliseconds from " + std::to_string(kMinPollMs) +
         " to " + std::to_string(kMaxPollMs) + ", not '" + std::string(value) + "'";
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// A value of a setting, split at white space and commas.
std::vector<std::string_view> Values(std::string_view text) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    const std::size_t start = i;
    while (i < text.size() && text[i] != ' ' && text[i] != '\t' && text[i] != ',') ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

// One setting from the site; an empty string when it was taken.
std::string ApplySetting(std::string_view name, std::string_view value, ParsedOptions& parsed) {
  ServerOptions& options = parsed.options;
  std::string why;
  const std::vector<std::string_view> values = Values(value);
  if (name == "port") {
    if (values.size() != 1 || !ParsePort(values[0], &options.service.port)) {
      return "port takes a number from 1 to 65535, not '" + std::string(value) + "'";
    }
    return std::string();
  }
  if (name == "poll-ms") {
    if (values.size() != 1 || !ParsePollMs(values[0], &options.service.pollMs)) {
      return PollMsError(name, value);
    }
    return std::string();
  }
  if (name == "listen" || name == "allow-origin" || name == "allow-host") {
    if (values.empty()) return std::string(name) + " needs a value";
    for (std::string_view v : values) {
      const bool ok = name == "listen"         ? AddListen(options, v, &why)
                      : name == "allow-origin" ? AddOrigin(options, v, &why)
                                               : AddAllowHost(options, v, &why);
      if (!ok) return std::string(name) + " '" + std::string(v) + "' " + why;
    }
    return std::string();
  }
  return "unknown setting '" + std::string(name) +
         "' (known: port, listen, allow-origin, allow-host, poll-ms)";
}

// Which of the site's settings the command line leaves to it.
bool SiteDecides(std::string_view name, const ParsedOptions& parsed) {
  if (name == "port") return !parsed.portGiven;
  if (name == "listen") return !parsed.listenGiven;
  if (name == "allow-origin") return !parsed.originGiven;
  if (name == "allow-host") return !parsed.hostGiven;
  if (name == "poll-ms") return !parsed.pollGiven;
  return true;  // an unknown name is reported
}

void ConfigError(ParsedOptions& parsed, const std::string& message) {
  parsed.verdict = OptionsVerdict::kConfigError;
  parsed.error = EscapeForTerminal(message);
}

// One command-line argument. "--port N" and "--port=N" alike: a long
// option with '=' carries its value, else the value (for an option that
// takes one) is the next argument.
struct Argument {
  std::string_view name;
  std::string_view value;
  bool hasValue = false;
};

Argument SplitArgument(std::string_view text) {
  Argument arg;
  arg.name = text;
  if (const std::size_t eq = text.find('=');
      text.starts_with("--") && eq != std::string_view::npos) {
    arg.name = text.substr(0, eq);
    arg.value = text.substr(eq + 1);
    arg.hasValue = true;
  }
  return arg;
}

// The options that take no value; false for any other name.
bool SetSwitch(std::string_view name, ServerOptions& options) {
  if (name == "--headless") {
    options.headless = true;
  } else if (name == "--verbose") {
    options.verbose = true;
  } else if (name == "--diagnose") {
    options.diagnose = true;
  } else if (name == "--json") {
    options.json = true;
  } else {
    return false;
  }
  return true;
}

// The error for --port, --listen or --allow-origin last on the line.
std::string MissingValueError(std::string_view name) {
  if (name == "--port") return "--port needs a port number (1-65535)";
  if (name == "--listen") return "--listen needs an address (0.0.0.0, [::])";
  if (name == "--poll-ms") return "--poll-ms needs a number of milliseconds (100-5000)";
  if (name == "--allow-host") return "--allow-host needs a host name (kiosk.clinic.example)";
  return "--allow-origin needs an origin (https://host[:port])";
}

std::string ApplyAllowHostOption(std::string_view value, ParsedOptions& parsed) {
  std::string why;
  if (!AddAllowHost(parsed.options, value, &why)) {
    return "--allow-host '" + std::string(value) + "' " + why;
  }
  parsed.hostGiven = true;
  return std::string();
}

// --port, --listen, --allow-origin or --allow-host with its value; an empty string when
// it was taken, else the usage error.
std::string ApplyValueOption(std::string_view name, std::string_view value, ParsedOptions& parsed) {
  if (name == "--port") {
    if (!ParsePort(value, &parsed.options.service.port)) {
      return "--port takes a number from 1 to 65535, not '" + std::string(value) + "'";
    }
    parsed.portGiven = true;
    return std::string();
  }
  if (name == "--poll-ms") {
    if (!ParsePollMs(value, &parsed.options.service.pollMs)) return PollMsError(name, value);
    parsed.pollGiven = true;
    return std::string();
  }
  if (name == "--allow-host") return ApplyAllowHostOption(value, parsed);
  const bool listen = name == "--listen";
  std::string why;
  if (listen ? !AddListen(parsed.options, value, &why) : !AddOrigin(parsed.options, value, &why)) {
    return std::string(name) + " '" + std::string(value) + "' " + why;
  }
  (listen ? parsed.listenGiven : parsed.originGiven) = true;
  return std::string();
}

}  // namespace

void ApplySettingsText(std::string_view text, const std::string& source, ParsedOptions& parsed) {
  // Editors on Windows start a UTF-8 file with a byte order mark.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  int number = 0;
  while (!text.empty() && parsed.verdict == OptionsVerdict::kRun) {
    const std::size_t end = text.find('\n');
    const std::string_view raw = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#') continue;
    const std::string where = source + ":" + std::to_string(number) + ": ";
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      ConfigError(parsed, where + "expected 'name = value', found '" + std::string(line) + "'");
      return;
    }
    const std::string_view name = Trim(line.substr(0, eq));
    if (!SiteDecides(name, parsed)) continue;
    const std::string why = ApplySetting(name, Trim(line.substr(eq + 1)), parsed);
    if (!why.empty()) ConfigError(parsed, where + why);
  }
}

void WarnIfReachableFromNetwork(const ServerOptions& options) {
  std::string reachable;
  for (std::size_t i = 0; i < options.service.listen.size(); ++i) {
    if (platform::IsLoopbackAddress(options.service.listen[i])) continue;
    reachable += (reachable.empty() ? "" : ", ") + options.listenTexts[i];
  }
  if (reachable.empty()) return;
  std::fprintf(stderr,
               "talvex-server: warning: listening on %s: other hosts on the network can read "
               "the identity card on the reader\n",
               reachable.c_str());
  std::fflush(stderr);
}

ParsedOptions ParseServerOptions(int argc, const char* const* argv) {
  ParsedOptions parsed = ParseServerArguments(argc, argv);
  if (parsed.verdict != OptionsVerdict::kRun) return parsed;
  const char* named = std::getenv("TALVEX_CONFIG");
  const std::string path =
      named != nullptr && *named != '\0' ? std::string(named) : platform::DefaultSettingsFile();
  std::string text;
  bool missing = false;
  std::string why;
  if (!path.empty() && platform::ReadSettingsFile(path, &text, &missing, &why)) {
    ApplySettingsText(text, path, parsed);
    return parsed;
  }
  if (!missing) {
    ConfigError(parsed, path + ": " + why);
    return parsed;
  }
  if (named != nullptr && *named != '\0') {
    ConfigError(parsed, path + ": no such file (named by TALVEX_CONFIG)");
    return parsed;
  }
  // Without a file, the installer's registry values (Windows only).
  std::vector<std::pair<std::string, std::string>> values;
  if (!platform::ReadMachineSettings(&values)) return parsed;
  for (const auto& [name, value] : values) {
    // The key also holds what the installer keeps for itself; only the
    // settings are read, and an empty one is left unset.
    if (name != "port" && name != "listen" && name != "allow-origin" && name != "allow-host" &&
        name != "poll-ms") {
      continue;
    }
    if (Values(value).empty() || !SiteDecides(name, parsed)) continue;
    const std::string why = ApplySetting(name, value, parsed);
    if (!why.empty()) {
      ConfigError(parsed,
                  std::string(platform::MachineSettingsSource()) + "\\" + name + ": " + why);
      return parsed;
    }
  }
  return parsed;
}

ParsedOptions ParseServerArguments(int argc, const char* const* argv) {
  ParsedOptions parsed;
  for (int i = 1; i < argc; ++i) {
    Argument arg = SplitArgument(argv[i]);
    if (arg.name == "--help" || arg.name == "-h") {
      parsed.verdict = OptionsVerdict::kHelp;
      return parsed;
    }
    if (arg.name == "--version") {
      parsed.verdict = OptionsVerdict::kVersion;
      return parsed;
    }
    if (!arg.hasValue && SetSwitch(arg.name, parsed.options)) continue;
    if (arg.name == "--browser-policy") {
      std::string_view word = arg.value;
      BrowserPolicyAction next = BrowserPolicyAction::kNone;
      if (!arg.hasValue && i + 1 < argc && ParseBrowserPolicyAction(argv[i + 1], &next) &&
          next != BrowserPolicyAction::kPrint) {
        word = argv[++i];
      }
      if (!ParseBrowserPolicyAction(word, &parsed.options.browserPolicy))
        return UsageError("--browser-policy takes install, remove or nothing, not '" +
                          std::string(word) + "'");
      continue;
    }
    if (arg.name == "--port" || arg.name == "--listen" || arg.name == "--allow-origin" ||
        arg.name == "--allow-host" || arg.name == "--poll-ms") {
      if (!arg.hasValue) {
        if (i + 1 >= argc) return UsageError(MissingValueError(arg.name));
        arg.value = argv[++i];
      }
      const std::string error = ApplyValueOption(arg.name, arg.value, parsed);
      if (!error.empty()) return UsageError(error);
      continue;
    }
    return UsageError("unknown argument '" + std::string(argv[i]) + "'");
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
    case OptionsVerdict::kConfigError:
      std::fprintf(stderr, "talvex-server: %s\n", parsed.error.c_str());
      return 2;
  }
  return 2;
}

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: talvex-server [--headless] [--verbose] [--port N] [--listen ADDR]...\n"
               "                     [--allow-origin ORIGIN]... [--allow-host NAME]...\n"
               "                     [--poll-ms N]\n"
               "       | --diagnose [--json] [--port N] | --help | --version\n"
               "       | --browser-policy [install|remove] [--allow-origin ORIGIN]...\n"
               "\n"
               "Answers GET http://127.0.0.1:%u/readCard with the identity card on the\n"
               "attached reader (fields separated by '|', then the photo as Base64 JPEG),\n"
               "and GET /events with an event stream that tells when a card is placed.\n"
               "On a desktop it runs under a tray icon; without a display it runs as a\n"
               "service. It listens on 127.0.0.1 and ::1 only, unless told otherwise.\n"
               "\n"
               "  --headless  run the service without the desktop window and tray icon,\n"
               "              until SIGINT (Ctrl-C) or SIGTERM\n"
               "  --port N    listen on TCP port N (1-65535) instead of %u\n"
               "  --listen ADDR\n"
               "              listen on ADDR instead of loopback: an IPv4 address (0.0.0.0\n"
               "              for every interface) or an IPv6 one in brackets ([::]); may\n"
               "              be repeated. Other hosts can then read the card.\n"
               "  --allow-origin ORIGIN\n"
               "              answer pages of ORIGIN (scheme://host[:port], e.g.\n"
               "              https://clinic.example) only; a page of any other origin\n"
               "              gets 290|请求来源不被允许; may be repeated\n"
               "  --allow-host NAME\n"
               "              also answer requests that reach the service by the host name\n"
               "              NAME (a thin client's); besides it only 127.0.0.1, localhost,\n"
               "              [::1] and the --listen addresses are answered, any other Host\n"
               "              gets 291|请求主机不被允许; may be repeated\n"
               "  --poll-ms N while a page listens on /events, look for a card every N ms\n"
               "              (100-5000, default 250)\n"
               "  --verbose   log every frame exchanged with the reader (command, status\n"
               "              bytes, lengths, ms) and every device discovery tried, with\n"
               "              the reason it was taken or refused\n"
               "  --diagnose  report what the server would find (readers, photo decoder,\n"
               "              port, temporary folder) and why, without starting it\n"
               "  --json      with --diagnose: the report as one JSON object on stdout\n"
               "  --browser-policy [install|remove]\n"
               "              print the browser policies that let the pages of the allowed\n"
               "              origins (--allow-origin, settings) reach the service with no\n"
               "              prompt or block; install writes them for Chromium, Google\n"
               "              Chrome and Edge (as root / administrator), remove takes back\n"
               "              what Talvex wrote\n"
               "  --help      show this text\n"
               "  --version   show the version\n"
               "\n"
               "Settings the command line leaves out come from the file TALVEX_CONFIG\n"
               "names, else /etc/talvex/talvex.conf (on Windows talvex.conf beside the\n"
               "program, else HKLM\\Software\\Talvex): lines 'port = N', 'listen = ADDR',\n"
               "'allow-origin = ORIGIN', 'allow-host = NAME', 'poll-ms = N', '#' comments.\n"
               "\n"
               "Each answered request is logged as one line on stderr (on Windows also in\n"
               "%%LOCALAPPDATA%%\\Talvex\\talvex.log, 1 MiB, one older file talvex.log.1):\n"
               "  TIME request client=ADDR:PORT path=/readCard code=N transport=T port=P\n"
               "  reader_ms=N photo_ms=N sent=N\n"
               "No card data is ever logged, with --verbose neither.\n"
               "\n"
               "Exit codes: 0 after a clean stop (and for --help, --version), 1 when the\n"
               "service could not listen or ended by itself, 2 for a wrong argument or\n"
               "settings file.\n"
               "--diagnose exits 0 when a reader answered and everything else is usable,\n"
               "otherwise with the first problem's code: 3 no reader found, 4 a reader's\n"
               "device is not accessible (permission denied), 5 the photo decoder library\n"
               "is missing or lacks GetBmp, 6 the service port is held by another program,\n"
               "7 the temporary folder is unusable, 8 a reader is held by another program.\n",
               static_cast<unsigned>(kServicePort), static_cast<unsigned>(kServicePort));
}

}  // namespace talvex
