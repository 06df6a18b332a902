// The server without a desktop: starts the HTTP service, reports on one line
// whether it listens, and runs until SIGINT or SIGTERM.
#pragma once

#include "app/options.h"

namespace talvex {

// Exit codes: 0 after a clean stop, 1 when the service could not listen or
// ended by itself.
int RunHeadless(const ServerOptions& options);

}  // namespace talvex
