// Loading and running the desktop shell library from talvex-server.
#pragma once

#include <string>

#include "app/shell_abi.h"

namespace talvex {

// The shell library's file name, and where the server looks for it: beside
// itself (the build tree), then in ../lib/talvex (the installed layout).
inline constexpr char kShellLibraryName[] = "talvex-shell-qt.so";

// Whether the environment names a desktop for the shell: QT_QPA_PLATFORM,
// DISPLAY or WAYLAND_DISPLAY set and not empty.
bool DesktopNamed();

// The host record that hands the HTTP service (as configured) to a shell;
// without the termination check.
TalvexShellHost HttpServiceShellHost(const char* programName);

// Loads the shell and runs it over the HTTP service (as configured). Returns
// the program's exit code; or, when the shell cannot run (not installed, a
// library of its own missing, no desktop reachable), returns -1 with the
// reason in *why and no service thread left behind.
int RunDesktopShell(const char* programName, std::string* why);

}  // namespace talvex
