#include "app/qt/shell_mode.h"

#include <QStringList>
#include <QtGlobal>

namespace talvex {

ShellMode ChooseShellMode(const ShellEnvironment& env) {
  ShellMode mode;
  QStringList platforms;
  if (!env.qpaPlatform.trimmed().isEmpty()) {
    for (const QString& name : QString::fromLocal8Bit(env.qpaPlatform).split(QLatin1Char(';'))) {
      if (!name.trimmed().isEmpty()) platforms << name.trimmed();
    }
  } else {
    if (!env.waylandDisplay.isEmpty()) platforms << QStringLiteral("wayland");
    if (!env.display.isEmpty()) platforms << QStringLiteral("xcb");
    if (platforms.isEmpty()) return mode;
  }
  if (platforms.isEmpty()) return mode;
  const QString fallback = QLatin1String(kFallbackPlatform);
  bool fallbackListed = false;
  for (const QString& name : platforms) {
    // An explicit choice of the fallback plugin itself is honoured.
    if (name.section(QLatin1Char(':'), 0, 0) == fallback) fallbackListed = true;
  }
  if (!fallbackListed) platforms << fallback;
  mode.desktop = true;
  mode.headlessOnFallback = !fallbackListed;
  mode.platforms = platforms.join(QLatin1Char(';'));
  return mode;
}

ShellEnvironment CurrentShellEnvironment() {
  ShellEnvironment env;
  env.qpaPlatform = qgetenv("QT_QPA_PLATFORM");
  env.display = qgetenv("DISPLAY");
  env.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
  return env;
}

}  // namespace talvex
