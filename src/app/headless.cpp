#include "app/headless.h"

#include <cstdio>
#include <optional>

#include "core/result.h"
#include "http/service.h"
#include "platform/thread.h"

namespace talvex {

namespace {

// How often the server looks whether the service thread ended by itself.
constexpr int kCheckPeriodMs = 1000;

// Why the service thread ended, for the one line the server prints.
void PrintEnded(ResultCode code, bool atStart, unsigned port, bool listenGiven) {
  if (code == kBindFailed && listenGiven) {
    // A --listen address may also be one this machine does not have.
    std::fprintf(stderr,
                 "Talvex could not listen on port %u of the --listen addresses: the port is "
                 "already in use, or an address is not one of this machine's\n",
                 port);
  } else if (code == kBindFailed) {
    std::fprintf(stderr, "Talvex could not listen on port %u: the port is already in use\n", port);
  } else if (atStart) {
    std::fprintf(stderr, "Talvex could not listen on port %u (error %d)\n", port, ToNumber(code));
  } else {
    std::fprintf(stderr, "Talvex HTTP service ended by itself (error %d)\n", ToNumber(code));
  }
}

}  // namespace

int RunHeadless(const ServerOptions& options) {
  ConfigureHttpService(options.service);
  const unsigned port = options.service.port;
  // Before the service thread exists, so that it inherits the mask and the
  // requests reach the wait below.
  platform::HoldTerminationRequests();
  if (StartHttpService() == 0) {
    std::fprintf(stderr, "Talvex could not start the HTTP service thread\n");
    return 1;
  }
  if (!WaitUntilHttpServiceListens()) {
    // The thread ended before it listened, so it has left its result.
    PrintEnded(HttpServiceExitCode().value_or(kWaitFailed), true, port,
               !options.service.listen.empty());
    StopHttpService();
    return 1;
  }
  std::printf("Talvex listening on port %u\n", port);
  std::fflush(stdout);

  for (;;) {
    if (platform::WaitForTerminationRequest(kCheckPeriodMs) != nullptr) break;
    if (const std::optional<ResultCode> ended = HttpServiceExitCode()) {
      PrintEnded(*ended, false, port, !options.service.listen.empty());
      StopHttpService();
      return 1;
    }
  }
  StopHttpService();
  return 0;
}

}  // namespace talvex
