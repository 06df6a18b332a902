// The HTTP service on TCP port 10012: a thread with one event loop over the
// stop signal, the listener and up to 62 clients.
#pragma once

#include <cstdint>

#include "card/result_codes.h"

namespace talvex {

inline constexpr std::uint16_t kServicePort = 10012;
inline constexpr int kMaxClients = 62;

// What the service listens on.
struct ServiceConfig {
  std::uint16_t port = kServicePort;
};

// The configuration every later StartHttpService uses (the default until
// this is called). Call only while no service thread exists.
void ConfigureHttpService(const ServiceConfig& config);
const ServiceConfig& HttpServiceConfig();

// 1 when the service thread was created, 0 when it was not. Call only while
// no service thread exists.
int StartHttpService();
// Ends the service thread (waiting for it without a time limit) and releases
// the stop signal and the thread; does nothing when no thread exists.
void StopHttpService();
// Whether a service thread exists (the thread handle is non-null). It stays
// true after the thread ended by itself, until StopHttpService.
bool HttpServiceThreadExists();
// The exit code of a service thread that has ended by itself, or -1 while it
// runs or when there is none. Lets the headless server say why it stopped.
ResultCode HttpServiceExitCode();
// Waits until the service thread listens on its port (true) or has ended
// without getting there (false; HttpServiceExitCode tells why). False at once
// when no service thread exists.
bool WaitUntilHttpServiceListens();

}  // namespace talvex
