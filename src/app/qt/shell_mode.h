// Whether the server runs under the desktop shell or headless, and which Qt
// platform plugins are tried for the desktop.
#pragma once

#include <QByteArray>
#include <QString>

namespace talvex {

// The platform plugin Qt falls back to when none of the desktop's plugins
// starts (a DISPLAY that cannot be reached, a Wayland socket gone): seeing it
// chosen, the server runs headless instead of aborting.
inline constexpr char kFallbackPlatform[] = "minimal";

struct ShellEnvironment {
  QByteArray qpaPlatform;     // QT_QPA_PLATFORM
  QByteArray display;         // DISPLAY
  QByteArray waylandDisplay;  // WAYLAND_DISPLAY
};

struct ShellMode {
  bool desktop = false;
  // The platform list handed to Qt ("a;b;minimal"), when desktop.
  QString platforms;
  // Whether Qt ending up on the fallback plugin means "no desktop" (false
  // when the fallback plugin was asked for by name).
  bool headlessOnFallback = false;
};

// The desktop shell runs when Qt was given a platform or a display exists
// (the server has already left --headless out).
ShellMode ChooseShellMode(const ShellEnvironment& env);

// The environment of this process.
ShellEnvironment CurrentShellEnvironment();

}  // namespace talvex
