// The server without a desktop: starts the HTTP service, reports on one line
// whether it listens, and runs until SIGINT or SIGTERM.
#pragma once

namespace talvex {

// Exit codes: 0 after a clean stop (and for --help / --version), 1 when the
// service could not listen or ended by itself, 2 for a wrong argument.
int RunHeadless(int argc, char** argv);

}  // namespace talvex
