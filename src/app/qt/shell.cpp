#include "app/qt/shell.h"

#include <QFile>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QStringList>
#include <cstdio>
#include <memory>

#include "app/qt/app.h"
#include "app/qt/service_control.h"
#include "app/qt/shell_mode.h"

namespace talvex {
namespace {

int NoDesktop(TalvexShellHost* host, const char* why) {
  std::snprintf(host->reason, sizeof host->reason, "%s", why);
  return TALVEX_SHELL_NO_DESKTOP;
}

// Qt ends the program when no platform plugin starts; the fallback plugin
// that always starts must be there before Qt is asked for anything.
bool FallbackPluginPresent() {
  QStringList folders = qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH")
                            .split(QLatin1Char(':'), Qt::SkipEmptyParts);
  QStringList bases =
      qEnvironmentVariable("QT_PLUGIN_PATH").split(QLatin1Char(':'), Qt::SkipEmptyParts);
  bases << QLibraryInfo::path(QLibraryInfo::PluginsPath);
  for (const QString& base : bases) folders << base + QStringLiteral("/platforms");
  const QString file = QStringLiteral("/libq%1.so").arg(QLatin1String(kFallbackPlatform));
  for (const QString& folder : folders) {
    if (QFile::exists(folder + file)) return true;
  }
  return false;
}

int RunShell(TalvexShellHost* host) {
  const ShellMode mode = ChooseShellMode(CurrentShellEnvironment());
  if (!mode.desktop) return NoDesktop(host, "QT_QPA_PLATFORM names no platform plugin");
  if (!FallbackPluginPresent()) {
    return NoDesktop(host, "Qt's platform plugins are not installed (libqminimal.so is missing)");
  }
  // Qt tries the plugins in order; the fallback plugin at the end of the list
  // always starts, and tells us that there is no desktop to show.
  qputenv("QT_QPA_PLATFORM", mode.platforms.toLocal8Bit());
  DialogOptions options;
  if (host->terminationRequested != nullptr) {
    options.terminationRequested = [host] { return host->terminationRequested() != 0; };
  }
  HostService service(*host);
  // Qt sees the program's name only: the other arguments are the server's.
  char* qtArgv[] = {const_cast<char*>(host->programName), nullptr};
  int qtArgc = 1;
  auto app = std::make_unique<CTalvexServerApp>(qtArgc, qtArgv, service, options);
  if (mode.headlessOnFallback &&
      QGuiApplication::platformName() == QLatin1String(kFallbackPlatform)) {
    app.reset();
    const QByteArray tried = mode.platforms.section(QLatin1Char(';'), 0, -2).toLocal8Bit();
    char why[200];
    std::snprintf(why, sizeof why, "no desktop could be reached (Qt platform plugins tried: %s)",
                  tried.constData());
    return NoDesktop(host, why);
  }
  return app->Run();
}

}  // namespace
}  // namespace talvex

extern "C" int talvex_shell_main(TalvexShellHost* host) {
  if (host == nullptr) return TALVEX_SHELL_NO_DESKTOP;
  if (host->abiVersion != TALVEX_SHELL_ABI_VERSION) {
    return talvex::NoDesktop(host, "the desktop shell was built for another talvex-server");
  }
  // Nothing may unwind into the server's C call.
  try {
    return talvex::RunShell(host);
  } catch (...) {
    return talvex::NoDesktop(host, "the desktop shell ran out of memory");
  }
}
