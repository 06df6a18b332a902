// The HTTP service on TCP port 10012: a thread with one event loop over the
// stop signal, the listeners and up to 62 clients.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/result.h"
#include "platform/net.h"

namespace talvex {

inline constexpr std::uint16_t kServicePort = 10012;
inline constexpr int kMaxClients = 62;
// How often the reader is probed for a card while event streams are open.
inline constexpr int kDefaultPollMs = 250;
inline constexpr int kMinPollMs = 100;
inline constexpr int kMaxPollMs = 5000;

// What the service listens on, and whom it answers.
struct ServiceConfig {
  ServiceConfig() = default;
  explicit ServiceConfig(std::uint16_t onPort) : port(onPort) {}

  std::uint16_t port = kServicePort;
  // Empty: 127.0.0.1 and ::1 (where the system has IPv6).
  std::vector<platform::IpAddress> listen;
  // Empty: every request is answered with "access-control-allow-origin: *".
  // Otherwise a request whose Origin is listed gets that origin back, one
  // with another Origin is refused with 290, one without is answered as ever.
  std::vector<std::string> allowOrigins;
  // Names a request's Host may give besides 127.0.0.1, localhost, [::1] and
  // the listen addresses (--allow-host), lower case.
  std::vector<std::string> allowHosts;
  // The probe interval while event streams are open, kMinPollMs..kMaxPollMs.
  int pollMs = kDefaultPollMs;
};

// The configuration every later StartHttpService uses (the default until
// this is called). Call only while no service thread exists.
void ConfigureHttpService(const ServiceConfig& config);
const ServiceConfig& HttpServiceConfig();

// 1 when the service thread was created, 0 when it was not (also when there
// was not the memory for it: the shells call this, and no exception reaches
// them). Call only while no service thread exists.
int StartHttpService() noexcept;
// Ends the service thread (waiting for it without a time limit) and releases
// the stop signal and the thread; does nothing when no thread exists.
void StopHttpService();
// Whether a service thread exists (the thread handle is non-null). It stays
// true after the thread ended by itself, until StopHttpService.
bool HttpServiceThreadExists();
// The result of a service thread that has ended by itself; none while it runs
// or when there is no thread. Lets the headless server say why it stopped.
std::optional<ResultCode> HttpServiceExitCode();
// Waits until the service thread listens on its port (true) or has ended
// without getting there (false; HttpServiceExitCode tells why). False at once
// when no service thread exists.
bool WaitUntilHttpServiceListens();

}  // namespace talvex
