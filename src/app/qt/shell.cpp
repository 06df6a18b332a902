#include "app/qt/shell.h"

#include <QGuiApplication>
#include <memory>

#include "app/qt/app.h"
#include "app/qt/service_control.h"
#include "app/qt/shell_mode.h"

namespace talvex {

int RunDesktopShell(int argc, char** argv, HeadlessEntry headless) {
  const ShellMode mode = ChooseShellMode(CurrentShellEnvironment(argc, argv));
  if (!mode.desktop) return headless(argc, argv);

  // Qt tries the plugins in order and aborts the program when none starts;
  // the fallback plugin at the end of the list always starts, and tells us
  // that there is no desktop to show.
  qputenv("QT_QPA_PLATFORM", mode.platforms.toLocal8Bit());
  int qtArgc = argc;
  auto app = std::make_unique<CTalvexServerApp>(qtArgc, argv, HttpService());
  if (mode.headlessOnFallback &&
      QGuiApplication::platformName() == QLatin1String(kFallbackPlatform)) {
    app.reset();
    return headless(argc, argv);
  }
  return app->Run();
}

}  // namespace talvex
