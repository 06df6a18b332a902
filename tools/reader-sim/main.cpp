// talvex-reader-sim: a simulated identity card reader on a pseudo-terminal.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "reader-sim/engine.h"
#include "reader-sim/pty_server.h"

#ifndef TALVEX_VERSION
#define TALVEX_VERSION "0"
#endif

namespace {

using talvex::sim::CardImage;
using talvex::sim::Command;
using talvex::sim::Engine;
using talvex::sim::Fault;
using talvex::sim::PtyServer;
using talvex::sim::SampleKind;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

const char kHelp[] =
    "Usage: talvex-reader-sim [OPTIONS]\n"
    "\n"
    "A simulated identity card reader on a pseudo-terminal. It answers the reader's\n"
    "frame protocol (start-up, probe, find card, select card, read base message)\n"
    "like a reader on a serial line, so that talvex-server and web pages can be\n"
    "developed without hardware. When ready it prints the terminal's path as one\n"
    "line on standard output; it runs until SIGINT or SIGTERM and then exits 0.\n"
    "\n"
    "Card on the reader (one of; default --sample resident):\n"
    "  --sample KIND          a built-in card: resident, foreign or hmt\n"
    "  --card FILE            a card from a card file (see README.md)\n"
    "  --no-card              no card: find card answers 80, select 81, read 80\n"
    "  SIGUSR1 takes the card off the reader or puts it back.\n"
    "  --lift-after-read      find the card only once per placement: after a read\n"
    "                         find, select and read answer as without a card until\n"
    "                         the card is taken off and put back (SIGUSR1 twice);\n"
    "                         default: a card on the reader is found again and again\n"
    "\n"
    "Line:\n"
    "  --link PATH            also make PATH a symbolic link to the terminal, e.g.\n"
    "                         $TALVEX_PORTS/com7 for serial port 7; an existing\n"
    "                         symbolic link is replaced, anything else is refused;\n"
    "                         no directories are created; removed again at exit\n"
    "  --baud RATE            pace the answers at RATE baud, 10 bits per byte, as a\n"
    "                         real line does (115200: 1295-byte answer in 112 ms);\n"
    "                         default: no pacing\n"
    "\n"
    "Faults:\n"
    "  --fault CMD:KIND[:VALUE][:COUNT]\n"
    "                         spoil the answers to CMD (startup, probe, find, select,\n"
    "                         read); repeatable. KIND:\n"
    "                           status:V        status byte SW3 = V (e.g. 0x41)\n"
    "                           checksum[:X]    checksum XOR X (default 1)\n"
    "                           stray[:B]       byte B (default 0) before the preamble\n"
    "                           len:N           LEN field = N (e.g. 3 or 2362)\n"
    "                           short[:N]       only the 7-byte head and N more bytes\n"
    "                           silence         no answer at all\n"
    "                           text-length:T   read answer's text length = T\n"
    "                           photo-length:P  read answer's photo length = P\n"
    "                         COUNT: number of answers to spoil, or always (default).\n"
    "                         Examples: read:status:0x41  find:silence:1\n"
    "                                   read:short::2   read:len:2362:always\n"
    "  --random-faults SEED[:PERCENT]\n"
    "                         spoil PERCENT % (default 10) of all answers with faults\n"
    "                         drawn from SEED; the same seed repeats the same faults\n"
    "\n"
    "Other:\n"
    "  -v, --verbose          log each frame (hex, command, status) on standard error\n"
    "  --help                 this text\n"
    "  --version              the version\n"
    "\n"
    "Answers to requests with a wrong checksum carry status 10, to unknown commands\n"
    "status 21.\n";

int g_wakeWrite = -1;

void OnSignal(int sig) {
  const unsigned char b = static_cast<unsigned char>(sig);
  const int saved = errno;
  if (write(g_wakeWrite, &b, 1) < 0) {
    // Nothing to do: the pipe is full and a wake-up is pending anyway.
  }
  errno = saved;
}

struct WakeContext {
  Engine* engine;
  std::optional<CardImage> card;  // the card to put back on SIGUSR1
  bool verbose;
};

bool OnWake(unsigned char sig, void* context) {
  auto* w = static_cast<WakeContext*>(context);
  if (sig == SIGUSR1) {
    const bool on = !w->engine->HasCard();
    if (on && w->card) {
      w->engine->SetCard(w->card);
    } else {
      w->engine->SetCard(std::nullopt);
    }
    if (w->verbose) {
      std::fputs(w->engine->HasCard() ? "reader-sim: card put on the reader\n"
                                      : "reader-sim: card taken off the reader\n",
                 stderr);
    }
    return true;
  }
  return false;  // SIGINT, SIGTERM, SIGHUP: stop
}

// Makes `link` a symbolic link to `target`: a new one, or replacing a
// symbolic link; refuses anything else that is there.
bool MakeLink(const std::string& link, const std::string& target, std::string* error) {
  struct stat st;
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      *error = link + " exists and is not a symbolic link; not replacing it";
      return false;
    }
    // Replace it in one step: a client never finds the name missing.
    const std::string temp = link + ".reader-sim-" + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(target.c_str(), temp.c_str()) != 0 || rename(temp.c_str(), link.c_str()) != 0) {
      *error = link + ": " + strerror(errno);
      unlink(temp.c_str());
      return false;
    }
    return true;
  }
  if (errno != ENOENT || symlink(target.c_str(), link.c_str()) != 0) {
    *error = link + ": " + strerror(errno);
    return false;
  }
  return true;
}

// Removes the link at exit if it still leads to our terminal.
void RemoveLink(const std::string& link, const std::string& target) {
  char buf[512];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
  if (n < 0) return;
  buf[n] = '\0';
  if (target == buf) unlink(link.c_str());
}

bool ParseBaud(std::string_view text, int* baud) {
  if (text.empty() || text.size() > 8) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v != 0 && (v < 50 || v > 4000000)) return false;
  *baud = v;
  return true;
}

bool ParseRandom(std::string_view text, std::uint32_t* seed, unsigned* percent) {
  std::string_view seedText = text, percentText = "10";
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos) {
    seedText = text.substr(0, colon);
    percentText = text.substr(colon + 1);
  }
  auto number = [](std::string_view t, unsigned long long limit, unsigned long long* out) {
    if (t.empty() || t.size() > 10) return false;
    unsigned long long v = 0;
    for (char c : t) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > limit) return false;
    *out = v;
    return true;
  };
  unsigned long long s = 0, p = 0;
  if (!number(seedText, 0xFFFFFFFFull, &s) || !number(percentText, 100, &p)) return false;
  *seed = static_cast<std::uint32_t>(s);
  *percent = static_cast<unsigned>(p);
  return true;
}

int Usage(const std::string& message) {
  std::fprintf(stderr, "talvex-reader-sim: %s\nTry 'talvex-reader-sim --help'.\n", message.c_str());
  return kExitUsage;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "talvex-reader-sim: %s\n", message.c_str());
  return kExitFailure;
}

struct SimOptions {
  std::optional<std::string> cardFile, link;
  std::optional<SampleKind> sample;
  bool noCard = false, verbose = false, liftAfterRead = false;
  int baud = 0;
  std::vector<std::pair<Command, Fault>> faults;
  std::optional<std::pair<std::uint32_t, unsigned>> random;
};

bool TakesValue(std::string_view arg) {
  return arg == "--link" || arg == "--card" || arg == "--sample" || arg == "--baud" ||
         arg == "--fault" || arg == "--random-faults";
}

// One option that takes a value; the usage error, or empty.
std::string ApplyValue(std::string_view arg, const std::string& v, SimOptions* o) {
  if (arg == "--link") {
    if (v.empty()) return "--link needs a path";
    o->link = v;
  } else if (arg == "--card") {
    o->cardFile = v;
  } else if (arg == "--sample") {
    SampleKind k;
    if (!talvex::sim::ParseSampleKind(v, &k)) {
      return "unknown sample \"" + v + "\" (resident, foreign or hmt)";
    }
    o->sample = k;
  } else if (arg == "--baud") {
    if (!ParseBaud(v, &o->baud)) return "bad baud rate \"" + v + "\"";
  } else if (arg == "--fault") {
    Command c;
    Fault f;
    std::string error;
    if (!talvex::sim::ParseFaultSpec(v, &c, &f, &error)) return error;
    o->faults.emplace_back(c, f);
  } else {
    std::uint32_t seed;
    unsigned percent;
    if (!ParseRandom(v, &seed, &percent)) {
      return "bad --random-faults \"" + v + "\" (SEED[:PERCENT], percent 0 to 100)";
    }
    o->random = std::make_pair(seed, percent);
  }
  return std::string();
}

// The command line: -1 to go on, else the exit code (help, version, usage).
int ParseArguments(int argc, char** argv, SimOptions* o) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("talvex-reader-sim %s\n", TALVEX_VERSION);
      return 0;
    }
    if (arg == "-v" || arg == "--verbose") {
      o->verbose = true;
    } else if (arg == "--no-card") {
      o->noCard = true;
    } else if (arg == "--lift-after-read") {
      o->liftAfterRead = true;
    } else if (TakesValue(arg)) {
      if (i + 1 >= argc) return Usage(std::string(arg) + " needs a value");
      const std::string error = ApplyValue(arg, argv[++i], o);
      if (!error.empty()) return Usage(error);
    } else {
      return Usage("unknown option \"" + std::string(arg) + "\"");
    }
  }
  if ((o->cardFile ? 1 : 0) + (o->sample ? 1 : 0) + (o->noCard ? 1 : 0) > 1) {
    return Usage("--card, --sample and --no-card exclude each other");
  }
  return -1;
}

void HandleSignals(int wakeWrite) {
  g_wakeWrite = wakeWrite;
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaction(sig, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Serves `engine` on a new pseudo-terminal until a signal ends the run.
int Serve(Engine& engine, const SimOptions& o, const std::optional<CardImage>& card) {
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::perror("talvex-reader-sim: pipe");
    return kExitFailure;
  }
  HandleSignals(wake[1]);

  PtyServer::Options options;
  options.baud = o.baud;
  options.verbose = o.verbose;
  PtyServer server(&engine, options);
  std::string error;
  if (!server.Open(&error)) return Failure(error);
  if (o.link && !MakeLink(*o.link, server.SlavePath(), &error)) return Failure(error);
  std::printf("%s\n", server.SlavePath().c_str());
  std::fflush(stdout);

  WakeContext context{&engine, card, o.verbose};
  const bool ok = server.Run(wake[0], OnWake, &context, &error);
  if (o.link) RemoveLink(*o.link, server.SlavePath());
  return ok ? 0 : Failure(error);
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions o;
  if (const int exit = ParseArguments(argc, argv, &o); exit >= 0) return exit;

  std::optional<CardImage> card;
  if (o.cardFile) {
    CardImage c;
    std::string error;
    if (!talvex::sim::LoadCardFile(*o.cardFile, &c, &error)) return Failure(error);
    card = c;
  } else {
    card = talvex::sim::SampleCard(o.sample.value_or(SampleKind::Resident));
  }

  Engine engine(o.noCard ? std::nullopt : card);
  engine.SetLiftAfterRead(o.liftAfterRead);
  for (const auto& [c, f] : o.faults) engine.AddFault(c, f);
  if (o.random) engine.SetRandomFaults(o.random->first, o.random->second);
  return Serve(engine, o, card);
}
