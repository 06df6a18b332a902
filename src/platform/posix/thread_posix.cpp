#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <exception>
#include <new>
#include <system_error>

#include "platform/thread.h"

namespace talvex::platform {

namespace {

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

bool HoldTerminationRequests() {
  const sigset_t set = TerminationSignals();
  return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

const char* WaitForTerminationRequest(int timeoutMs) {
  const sigset_t set = TerminationSignals();
  timespec timeout{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
  for (;;) {
    const int sig = sigtimedwait(&set, nullptr, &timeout);
    if (sig == SIGINT) return "SIGINT";
    if (sig == SIGTERM) return "SIGTERM";
    if (sig < 0 && errno == EAGAIN) return nullptr;
    // EINTR (another signal was handled): wait again; the period restarts,
    // which only delays the caller's next check.
  }
}

}  // namespace talvex::platform
