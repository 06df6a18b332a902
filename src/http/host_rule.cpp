#include "http/host_rule.h"

#include <cstdint>

#include "platform/net.h"

namespace talvex {

namespace {

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool EqualsCaseless(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

// ":" and the service's port in decimal, or nothing.
bool PortPartFits(std::string_view rest, std::uint16_t port) {
  if (rest.empty()) return true;
  if (rest.size() < 2 || rest.size() > 6 || rest[0] != ':') return false;
  unsigned value = 0;
  for (char c : rest.substr(1)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value == port;
}

bool IsWildcard(const platform::IpAddress& address) {
  const int size = address.v6 ? 16 : 4;
  for (int i = 0; i < size; ++i) {
    if (address.bytes[i] != 0) return false;
  }
  return true;
}

bool SameAddress(const platform::IpAddress& a, const platform::IpAddress& b) {
  if (a.v6 != b.v6) return false;
  const int size = a.v6 ? 16 : 4;
  for (int i = 0; i < size; ++i) {
    if (a.bytes[i] != b.bytes[i]) return false;
  }
  return true;
}

// An IP address the service listens on, "[...]" around an IPv6 one.
bool ListenedAddress(const ServiceConfig& config, std::string_view name) {
  const bool bracketed = name.size() > 2 && name.front() == '[' && name.back() == ']';
  platform::IpAddress address;
  if (!platform::ParseIpAddress(bracketed ? name.substr(1, name.size() - 2) : name, &address) ||
      address.v6 != bracketed) {
    return false;
  }
  for (const platform::IpAddress& listened : config.listen) {
    if (IsWildcard(listened) || SameAddress(listened, address)) return true;
  }
  return false;
}

}  // namespace

bool HostNamesService(const ServiceConfig& config, std::string_view host) {
  // The port follows the last colon behind an IPv6 address's bracket.
  std::size_t split = host.size();
  if (host.starts_with("[")) {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    split = close + 1;
  } else if (const std::size_t colon = host.find(':'); colon != std::string_view::npos) {
    split = colon;
  }
  if (!PortPartFits(host.substr(split), config.port)) return false;
  const std::string_view name = host.substr(0, split);
  if (name.empty()) return false;
  for (std::string_view own : {"127.0.0.1", "localhost", "[::1]"}) {
    if (EqualsCaseless(name, own)) return true;
  }
  for (const std::string& allowed : config.allowHosts) {
    if (EqualsCaseless(name, allowed)) return true;
  }
  return ListenedAddress(config, name);
}

bool HostAllowed(const ServiceConfig& config, int hostLines, std::string_view host) {
  if (hostLines == 0) return true;
  return hostLines == 1 && HostNamesService(config, host);
}

}  // namespace talvex
