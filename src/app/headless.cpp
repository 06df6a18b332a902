#include "app/headless.h"

#include <cstdio>
#include <cstring>

#include "card/result_codes.h"
#include "http/service.h"
#include "platform/thread.h"

namespace talvex {

namespace {

constexpr const char* kVersion = "1.0.0";
// How often the server looks whether the service thread ended by itself.
constexpr int kCheckPeriodMs = 1000;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: talvex-server [--headless | --help | --version]\n"
               "\n"
               "Answers GET http://127.0.0.1:%u/readCard with the identity card on the\n"
               "attached reader (fields separated by '|', then the photo as Base64 JPEG).\n"
               "\n"
               "  --headless  run the service without the desktop window and tray icon,\n"
               "              until SIGINT (Ctrl-C) or SIGTERM\n"
               "  --help      show this text\n"
               "  --version   show the version\n",
               static_cast<unsigned>(kServicePort));
}

// Why the service thread ended, for the one line the server prints.
void PrintEnded(ResultCode code, bool atStart) {
  if (code == kBindFailed) {
    std::fprintf(stderr, "Talvex could not listen on port %u: the port is already in use\n",
                 static_cast<unsigned>(kServicePort));
  } else if (atStart) {
    std::fprintf(stderr, "Talvex could not listen on port %u (error %d)\n",
                 static_cast<unsigned>(kServicePort), code);
  } else {
    std::fprintf(stderr, "Talvex HTTP service ended by itself (error %d)\n", code);
  }
}

}  // namespace

int RunHeadless(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("talvex-server %s\n", kVersion);
      return 0;
    }
    if (std::strcmp(argv[i], "--headless") != 0) {
      std::fprintf(stderr, "talvex-server: unknown argument '%s'\n", argv[i]);
      PrintUsage(stderr);
      return 2;
    }
  }

  // Before the service thread exists, so that it inherits the mask and the
  // requests reach the wait below.
  platform::HoldTerminationRequests();
  if (StartHttpService() == 0) {
    std::fprintf(stderr, "Talvex could not start the HTTP service thread\n");
    return 1;
  }
  if (!WaitUntilHttpServiceListens()) {
    PrintEnded(HttpServiceExitCode(), true);
    StopHttpService();
    return 1;
  }
  std::printf("Talvex listening on port %u\n", static_cast<unsigned>(kServicePort));
  std::fflush(stdout);

  for (;;) {
    if (platform::WaitForTerminationRequest(kCheckPeriodMs) != nullptr) break;
    const ResultCode ended = HttpServiceExitCode();
    if (ended != -1) {
      PrintEnded(ended, false);
      StopHttpService();
      return 1;
    }
  }
  StopHttpService();
  return 0;
}

}  // namespace talvex
