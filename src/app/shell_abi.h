// The interface between talvex-server and its desktop shell, which lives in a
// library of its own (talvex-shell-qt.so) so that the server itself loads no
// GUI library. Plain C, so that nothing of either side's C++ runtime state
// crosses it: the service stays in the server, the shell only drives it.
#pragma once

extern "C" {

// Raised whenever a field changes meaning; the server refuses a shell that
// was built for another version.
#define TALVEX_SHELL_ABI_VERSION 2

struct TalvexShellHost {
  int abiVersion;  // TALVEX_SHELL_ABI_VERSION
  // The program's name, for the toolkit (its other arguments are the server's).
  const char* programName;
  // The service operations of the dialog: 1 when the service thread was
  // created, 0 when not; stop (waits for the thread); whether a thread runs
  // (one that ended by itself counts as none, and start clears it away).
  int (*startService)(void);
  void (*stopService)(void);
  int (*serviceThreadExists)(void);
  // Whether SIGINT or SIGTERM arrived since the last call; null when the
  // server could not hold them for the shell.
  int (*terminationRequested)(void);
  // The report of talvex-server --diagnose as UTF-8 text, written into
  // buffer[0..size) and NUL-terminated (cut short when it does not fit);
  // returns the report's whole length in bytes without the NUL, so that a
  // second call with a larger buffer gets all of it. Takes a few seconds
  // (serial ports are probed). Null when the server offers no diagnosis.
  unsigned long (*diagnosisReport)(char* buffer, unsigned long size);
  // Filled by the shell when it returns TALVEX_SHELL_NO_DESKTOP: why (one
  // line, NUL-terminated).
  char reason[256];
};

// What the shell returns when there is no desktop to show after all (no
// platform plugin of the toolkit starts): the server then runs headless.
#define TALVEX_SHELL_NO_DESKTOP (-100)

// The shell's one export: runs the tray icon and dialog until Exit and
// returns the program's exit code, or TALVEX_SHELL_NO_DESKTOP.
typedef int (*TalvexShellMainFn)(struct TalvexShellHost* host);
#define TALVEX_SHELL_ENTRY "talvex_shell_main"

}  // extern "C"
