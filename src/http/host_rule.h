// Which Host a card request may name. A page whose name was made to resolve
// to this machine (DNS rebinding) sends its own name in Host and no Origin;
// only the names of this service are served.
#pragma once

#include <string>
#include <string_view>

#include "http/service.h"

namespace talvex {

// Whether `host` (a Host header's value as sent) names this service:
// 127.0.0.1, localhost or [::1]; an address the service listens on (with a
// wildcard listen, any IP address: a page cannot rebind an address); or a
// name of config.allowHosts. Each with or without ":" and the service's
// port; names compare without regard to ASCII case.
bool HostNamesService(const ServiceConfig& config, std::string_view host);

// Whether a request with `hostLines` Host lines, the last `host`, is served:
// none (local programs send none; browsers always do), or one that names
// the service.
bool HostAllowed(const ServiceConfig& config, int hostLines, std::string_view host);

}  // namespace talvex
