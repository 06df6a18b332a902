// The desktop shell's entry point.
#pragma once

namespace talvex {

// The server without the desktop: runs the service until SIGINT or SIGTERM.
using HeadlessEntry = int (*)(int argc, char** argv);

// Runs the tray icon and dialog over the HTTP service and returns the exit
// code. Without a desktop (no display, or none of Qt's desktop platform
// plugins starts) or with any command-line argument (--headless, --help,
// --version, ...), runs `headless` with the same arguments instead.
int RunDesktopShell(int argc, char** argv, HeadlessEntry headless);

}  // namespace talvex
